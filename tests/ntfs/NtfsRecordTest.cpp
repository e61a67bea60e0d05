// Boot sector, MFT record header, fixups and the attribute walk.
#include <gtest/gtest.h>

#include "NtfsTestSupport.h"
#include "TestUtil.h"
#include "fs/ntfs/NTFSDBR.h"
#include "fs/ntfs/NTFSFileRecord.h"

using namespace ntfstest;

namespace {
std::vector<u8> BootSector() {
    std::vector<u8> b(512, 0);
    std::memcpy(b.data() + 3, "NTFS    ", 8);
    WriteLE16(b.data() + 11, 512);
    b[13] = 8;
    b[21] = 0xF8;
    WriteLE64(b.data() + 40, 131071);
    WriteLE64(b.data() + 48, 4);
    b[64] = 0xF6;
    b[510] = 0x55;
    b[511] = 0xAA;
    return b;
}

TEST(NtfsBootSector, AcceptsAndRefusesFields) {
    std::vector<u8> b = BootSector();
    EXPECT_TRUE(IsValidNTFSDBR(b.data()));
    std::memcpy(b.data() + 3, "ntfs    ", 8);
    EXPECT_TRUE(IsValidNTFSDBR(b.data()));
    b[21] = 0x12;  // media byte is not judged
    EXPECT_TRUE(IsValidNTFSDBR(b.data()));

    auto refused = [](std::vector<u8> s) { return !IsValidNTFSDBR(s.data()); };
    std::vector<u8> c = BootSector();
    WriteLE16(c.data() + 19, 100);
    EXPECT_TRUE(refused(c));
    c = BootSector();
    c[13] = 3;
    EXPECT_TRUE(refused(c));
    c = BootSector();
    c[13] = 0;
    EXPECT_TRUE(refused(c));
    for (u16 bps : {u16(0), u16(520)}) {
        c = BootSector();
        WriteLE16(c.data() + 11, bps);
        EXPECT_TRUE(refused(c));
    }
    c = BootSector();
    WriteLE16(c.data() + 11, 4096);
    EXPECT_TRUE(IsValidNTFSDBR(c.data()));
    c = BootSector();
    c[511] = 0;
    EXPECT_TRUE(refused(c));
    EXPECT_FALSE(IsValidNTFSDBR(nullptr));

    CNTFSDBR dbr;
    EXPECT_FALSE(dbr.SetDBRData(c.data()));
    EXPECT_EQ(dbr.GetTotalSectors(), 0u);  // a refused sector leaves the copy as it was
    ASSERT_TRUE(dbr.SetDBRData(BootSector().data()));
    EXPECT_EQ(dbr.GetTotalSectors(), 131071u);
    EXPECT_EQ(dbr.GetMFTCluster(), 4u);
}

TEST(NtfsBootSector, RecordSizeEncodingAndUsableSizes) {
    auto sizeOf = [](u8 byte, u16 bps, u8 spc) {
        std::vector<u8> b = BootSector();
        b[64] = byte;
        WriteLE16(b.data() + 11, bps);
        b[13] = spc;
        CNTFSDBR dbr;
        EXPECT_TRUE(dbr.SetDBRData(b.data()));
        return dbr.GetFileRecordSize();
    };
    EXPECT_EQ(sizeOf(0xF6, 512, 8), 1024u);
    EXPECT_EQ(sizeOf(0xF4, 512, 8), 4096u);
    EXPECT_EQ(sizeOf(0x00, 512, 8), 1024u);
    EXPECT_EQ(sizeOf(0x02, 512, 8), 8192u);
    EXPECT_EQ(sizeOf(0x01, 4096, 1), 4096u);
    // Shifts beyond 31 bits are not representable: no size instead of undefined arithmetic.
    EXPECT_EQ(sizeOf(0x80, 512, 8), 0u);
    EXPECT_EQ(sizeOf(0xC0, 512, 8), 0u);

    EXPECT_TRUE(IsUsableFileRecordSize(1024, 512));
    EXPECT_TRUE(IsUsableFileRecordSize(4096, 4096));
    EXPECT_FALSE(IsUsableFileRecordSize(1024, 4096));  // smaller than a sector
    EXPECT_FALSE(IsUsableFileRecordSize(8192, 512));
    EXPECT_FALSE(IsUsableFileRecordSize(512, 512));
    EXPECT_FALSE(IsUsableFileRecordSize(3072, 512));
    EXPECT_FALSE(IsUsableFileRecordSize(0, 512));
}

TEST(NtfsRecordHeader, HeaderFields) {
    std::vector<u8> r = RecordBuilder().Build();
    EXPECT_TRUE(IsValidFileRecordHeader(r.data(), u32(r.size())));
    std::vector<u8> c = r;
    WriteLE16(c.data() + 6, 0);
    EXPECT_FALSE(IsValidFileRecordHeader(c.data(), u32(c.size())));
    for (u16 usa : {u16(41), u16(257)}) {
        c = r;
        WriteLE16(c.data() + 4, usa);
        EXPECT_FALSE(IsValidFileRecordHeader(c.data(), u32(c.size())));
    }
    c = r;
    WriteLE32(c.data() + 28, 2000);
    EXPECT_FALSE(IsValidFileRecordHeader(c.data(), u32(c.size())));
    std::vector<u8> big = RecordBuilder(4096).Build();
    EXPECT_EQ(RecordUsaCount(big.data()), 9);
    EXPECT_TRUE(IsValidFileRecordHeader(big.data(), 4096));
    EXPECT_FALSE(ValidateFileRecord(r.data(), 1023));
}

TEST(NtfsRecordFixups, EveryStrideTheCountCoversIsRepaired) {
    RecordBuilder b(4096);
    b.FileName(5, u"a.txt");
    std::vector<u8> plain = b.Build(false);
    for (u32 i = 1; i <= 8; ++i) WriteLE16(plain.data() + i * 512 - 2, u16(0x1100 + i));
    // Rebuild the protected form from these stride ends.
    std::vector<u8> protectedRecord = plain;
    for (u32 i = 0; i < 8; ++i) {
        WriteLE16(protectedRecord.data() + 48 + 2 * (i + 1), ReadLE16(plain.data() + (i + 1) * 512 - 2));
        WriteLE16(protectedRecord.data() + (i + 1) * 512 - 2, ReadLE16(plain.data() + 48));
    }
    std::vector<u8> r = protectedRecord;
    ASSERT_TRUE(CheckFileRecordFixups(r.data(), 4096));
    ASSERT_TRUE(ApplyFileRecordFixups(r.data(), 4096));
    for (u32 i = 1; i <= 8; ++i) EXPECT_EQ(ReadLE16(r.data() + i * 512 - 2), 0x1100 + i) << i;
    ASSERT_TRUE(RestoreFileRecordFixups(r.data(), 4096));
    EXPECT_EQ(r, protectedRecord);

    // A torn stride fails the check; Apply then changes nothing.
    r = protectedRecord;
    WriteLE16(r.data() + 7 * 512 - 2, 0xBEEF);
    EXPECT_FALSE(CheckFileRecordFixups(r.data(), 4096));
    std::vector<u8> before = r;
    EXPECT_FALSE(ApplyFileRecordFixups(r.data(), 4096));
    EXPECT_EQ(r, before);
    EXPECT_FALSE(CheckFileRecordFixups(r.data(), 1000));
}

TEST(NtfsRecordWalk, AttributesOfA4096ByteRecordAreFoundUpToItsUsedSize) {
    RecordBuilder b(4096);
    b.StandardInformation(1, 0x20);
    // Fill past the first two strides so that the $FILE_NAME lies beyond offset 1016 and its
    // value crosses a stride end.
    b.Resident(0x80, std::vector<u8>(1500, 0x41), u"pad1");
    b.FileName(5, u"far.txt");
    std::vector<u8> r = b.Build();
    ASSERT_TRUE(ValidateFileRecord(r.data(), 4096));
    CNTFSFileRecord record;
    ASSERT_TRUE(record.Init(r.data(), 4096, 100, nullptr, nullptr));
    u32 offset = 0;
    const u8* fn = record.FindAttribute(ntfs::kAttrFileName, 0, &offset, nullptr);
    ASSERT_NE(fn, nullptr);
    EXPECT_GT(offset, 1016u);
    EXPECT_TRUE(FileNameMatches(fn, u"far.txt"));
    // The named $DATA value is intact across the stride end it crosses.
    u32 len = 0;
    const u8* v = AttrResidentValue(record.FindAttribute(0x80, 0, nullptr, nullptr), &len);
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(std::vector<u8>(v, v + len), std::vector<u8>(1500, 0x41));
}

TEST(NtfsRecordWalk, MalformedAttributesMakeTheRecordInvalid) {
    {
        RecordBuilder b;
        b.FileName(5, u"bad/name");
        std::vector<u8> r = b.Build();
        EXPECT_FALSE(ValidateFileRecord(r.data(), 1024));
    }
    for (const char16_t* name : {u"a:b", u"back\\slash", u"what?", u"star*", u"\"quoted\"", u"<angle>", u"pipe|"}) {
        // Legal in the POSIX namespace, which ntfs-3g writes: the record stays valid.
        RecordBuilder b;
        b.FileName(5, name);
        std::vector<u8> r = b.Build();
        EXPECT_TRUE(ValidateFileRecord(r.data(), 1024));
    }
    {
        RecordBuilder b;
        const u32 at = b.FileName(5, u"ok.txt");
        std::vector<u8> r = b.Build();
        WriteLE32(r.data() + at + 4, 0x2000);  // attribute length past the record
        EXPECT_FALSE(ValidateFileRecord(r.data(), 1024));
        WriteLE32(r.data() + at + 4, 0x60);
        WriteLE16(r.data() + at + 20, 0x50);  // value offset + length past the attribute
        EXPECT_FALSE(ValidateFileRecord(r.data(), 1024));
    }
    {
        // A $FILE_NAME whose name length runs past its value.
        RecordBuilder b;
        const u32 at = b.FileName(5, u"ok.txt");
        std::vector<u8> r = b.Build();
        r[at + 24 + 64] = 200;
        EXPECT_FALSE(ValidateFileRecord(r.data(), 1024));
    }
    {
        // A non-resident attribute too short for its own fields, and mapping pairs outside it.
        RecordBuilder b;
        const u32 at = b.NonResident(0x80, {0x11, 0x02, 0x10, 0x00}, 0, 1, 8192, 5000, 5000);
        std::vector<u8> r = b.Build();
        std::vector<u8> c = r;
        WriteLE32(c.data() + at + 4, 40);
        EXPECT_FALSE(ValidateFileRecord(c.data(), 1024));
        c = r;
        WriteLE16(c.data() + at + 32, 0x400);
        EXPECT_FALSE(ValidateFileRecord(c.data(), 1024));
        c = r;
        c[at + 64] = 0x51;  // a 5-byte offset field
        EXPECT_FALSE(ValidateFileRecord(c.data(), 1024));
        EXPECT_TRUE(ValidateFileRecord(r.data(), 1024));
    }
    {
        // The walk stops at 1016 in a 1024-byte record: nothing past it is looked at.
        RecordBuilder b;
        b.Resident(0x80, std::vector<u8>(1024 - 56 - 24 - 8, 0), u"");
        std::vector<u8> r = b.Build();
        EXPECT_TRUE(ValidateFileRecord(r.data(), 1024));
        EXPECT_EQ(CountRecordAttributes(r.data(), 1024, 0x80), 1u);
    }
}

TEST(NtfsRecordWalk, MetadataNamesAndLabels) {
    RecordBuilder b;
    b.Number(3);
    b.StandardInformation(0, 0x06);
    b.FileName(5, u"$Volume");
    std::vector<u8> label(2 * 6);
    const char16_t text[] = u"Été 年";
    for (int i = 0; i < 5; ++i) WriteLE16(label.data() + 2 * i, u16(text[i]));
    label.resize(10);
    b.Resident(0x60, label);
    std::vector<u8> raw = b.Build();
    CNTFSFileRecord record;
    ASSERT_TRUE(record.Init(raw.data(), 1024, 0, nullptr, nullptr));
    EXPECT_EQ(GetSystemFileNumber(record.GetRecord(), 1024), 3);
    EXPECT_TRUE(IsSystemMetadataRecord(record.GetRecord(), 1024));
    EXPECT_TRUE(IsNamedSystemRecordRaw(raw.data(), 1024, u"$Volume"));
    EXPECT_FALSE(IsNamedSystemRecordRaw(raw.data(), 1024, u"$MFT"));
    char out[81];
    ASSERT_TRUE(ReadVolumeNameFromRecord(raw.data(), 1024, out, sizeof(out)));
    EXPECT_STREQ(out, "Été 年");
}

TEST(NtfsClusterGuess, RoundsToClusterSizes) {
    SetScanSectorSize(512);
    EXPECT_EQ(GuessSectorsPerCluster(4096, 1), 8);
    EXPECT_EQ(GuessSectorsPerCluster(3 * 512, 1), 4);
    EXPECT_EQ(GuessSectorsPerCluster(100 * 512, 1), 128);
    // Clusters above 64 KiB, up to the largest of 2 MiB.
    EXPECT_EQ(GuessSectorsPerCluster(200 * 512, 1), 256);
    EXPECT_EQ(GuessSectorsPerCluster(u64(4096) * 512 * 3, 3), 4096);
    EXPECT_EQ(GuessSectorsPerCluster(u64(4097) * 512, 1), 0);
    EXPECT_EQ(GuessSectorsPerCluster(4096, 0), 0);
    SetScanSectorSize(4096);
    EXPECT_EQ(GuessSectorsPerCluster(4096, 1), 1);
    EXPECT_EQ(GuessSectorsPerCluster(u64(512) * 4096, 1), 512);
    EXPECT_EQ(GuessSectorsPerCluster(u64(513) * 4096, 1), 0);
    SetScanSectorSize(512);
}

TEST(NtfsBootSector, VolumeLabelOfFixtures) {
    struct Case {
        const char* image;
        u32 sectorSize;
        u64 start;
        const char* label;
    };
    for (const Case& c : {Case{"ntfs-basic.img", 512, 0, "Fixtures NTFS"}, Case{"sector4k.img", 4096, 0, "NTFS 4K"},
                          Case{"mbr-disk.img", 512, 77824, "Logical NTFS"}}) {
        ImageDevice device(testutil::FixturePath(c.image), c.sectorSize);
        std::vector<u8> boot(c.sectorSize);
        ASSERT_TRUE(device.Read(boot.data(), c.start, 1));
        CNTFSDBR dbr;
        ASSERT_TRUE(dbr.SetDBRData(boot.data()));
        char label[81];
        CNTFSVolumeReader reader(&device);
        ASSERT_TRUE(reader.GetVolumeLabel(c.start, dbr, label, sizeof(label)));
        EXPECT_STREQ(label, c.label);
    }
}
}  // namespace
