#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "PartitionTestSupport.h"
#include "TestUtil.h"
#include "devices/DiskDevice.h"
#include "devices/PartitionDevice.h"
#include "devices/PartitionTable.h"

using parttest::FakeAnalyzerScope;
using parttest::MemDisk;

namespace {
struct Part {
    u64 first;
    u64 count;
};

std::vector<Part> Analyse(IStorageDevice* disk, u32* result = nullptr) {
    BasicPartitionList out;
    const u32 n = CPartitionTableAnalyze::AnalyseDisk(disk, out);
    if (result) *result = n;
    std::vector<Part> parts;
    for (auto& r : out) {
        EXPECT_NE(r->device, nullptr);
        EXPECT_EQ(r->device->GetTotalSectors(), r->sectorCount);
        parts.push_back({r->firstSector, r->sectorCount});
    }
    return parts;
}

void ExpectParts(const std::vector<Part>& got, const std::vector<Part>& want) {
    ASSERT_EQ(got.size(), want.size());
    for (size_t i = 0; i < want.size(); ++i) {
        EXPECT_EQ(got[i].first, want[i].first) << "partition " << i;
        EXPECT_EQ(got[i].count, want[i].count) << "partition " << i;
    }
}

void WriteGptEntry(MemDisk& d, u32 index, const char* guidText, u64 first, u64 last) {
    u8* e = d.Sector(2) + index * 128;
    unsigned a, b, c, b0, b1, b2, b3, b4, b5, b6, b7;
    ASSERT_EQ(std::sscanf(guidText, "%8x-%4x-%4x-%2x%2x-%2x%2x%2x%2x%2x%2x", &a, &b, &c, &b0, &b1, &b2, &b3, &b4, &b5,
                          &b6, &b7),
              11);
    WriteLE32(e, a);
    WriteLE16(e + 4, static_cast<u16>(b));
    WriteLE16(e + 6, static_cast<u16>(c));
    const unsigned rest[8] = {b0, b1, b2, b3, b4, b5, b6, b7};
    for (int i = 0; i < 8; ++i) e[8 + i] = static_cast<u8>(rest[i]);
    WriteLE64(e + 32, first);
    WriteLE64(e + 40, last);
}
}  // namespace

TEST(PartitionTable, MbrPrimaryAndLogicalPartitionsInTableAndChainOrder) {
    MemDisk d(200000, 512);
    d.Signature(0);
    d.Entry(0, 0, 0x0C, 2048, 10000, 0x80);
    d.Entry(0, 1, 0x0F, 20000, 100000);  // extended
    d.Entry(0, 2, 0x07, 150000, 5000);   // after the extended entry in table order
    // EBR 1 at 20000: logical at +63, link to EBR 2 at extended start + 30000.
    d.Signature(20000);
    d.Entry(20000, 0, 0x07, 63, 8000);
    d.Entry(20000, 1, 0x05, 30000, 20000);
    // EBR 2 at 50000: logical relative to this table.
    d.Signature(50000);
    d.Entry(50000, 0, 0x0B, 2048, 9000);

    ExpectParts(Analyse(&d), {{2048, 10000}, {20063, 8000}, {52048, 9000}, {150000, 5000}});
}

TEST(PartitionTable, ChainsThatLoopOrNeverEndAreBounded) {
    // An EBR whose link points back at itself and one whose link points at the first EBR.
    {
        MemDisk d(100000, 512);
        d.Signature(0);
        d.Entry(0, 0, 0x05, 1000, 50000);
        d.Signature(1000);
        d.Entry(1000, 0, 0x83, 10, 100);
        d.Entry(1000, 1, 0x05, 5000, 100);  // EBR at 6000
        d.Signature(6000);
        d.Entry(6000, 0, 0x83, 10, 100);
        d.Entry(6000, 1, 0x05, 0, 100);     // back to 1000
        d.Entry(6000, 2, 0x05, 5000, 100);  // itself
        ExpectParts(Analyse(&d), {{1010, 100}, {6010, 100}});
    }
    // A chain of 1000 EBRs whose data entries never repeat a start: the walk stops after a bounded
    // number of tables instead of recursing down the whole chain.
    {
        MemDisk d(4000, 512);
        d.Signature(0);
        d.Entry(0, 0, 0x05, 1, 3000);
        for (u32 s = 1; s <= 1000; ++s) {
            d.Signature(s);
            d.Entry(s, 0, 0x83, 2000, 1);  // at 2000 + s: never repeats
            d.Entry(s, 1, 0x05, s, 1);  // next table at 1 + s
        }
        d.reads = 0;
        const auto parts = Analyse(&d);
        EXPECT_EQ(parts.size(), kMaxPartitionTables - 1);  // sector 0 counts as a table
        EXPECT_LT(d.reads, 400);
    }
}

TEST(PartitionTable, RepeatedStartStopsOnlyTheTableThatRepeats) {
    MemDisk d(100000, 512);
    d.Signature(0);
    d.Entry(0, 0, 0x07, 2000, 100);
    d.Entry(0, 1, 0x05, 1000, 50000);
    d.Signature(1000);
    d.Entry(1000, 0, 0x07, 1000, 100);  // starts at 2000, already listed: this table ends here
    d.Entry(1000, 1, 0x07, 3000, 100);  // never read
    d.Entry(0, 2, 0x07, 9000, 100);
    ExpectParts(Analyse(&d), {{2000, 100}, {9000, 100}});
}

TEST(PartitionTable, MbrValidityRules) {
    // LDM entry in any slot: 0 and no records, even without a signature.
    {
        MemDisk d(10000, 512);
        d.Entry(0, 0, 0x07, 63, 1000);
        d.Entry(0, 3, 0x42, 2000, 1000);
        BasicPartitionList out;
        EXPECT_EQ(CPartitionTableAnalyze::AnalyseDisk(&d, out), 0u);
        EXPECT_TRUE(out.empty());
    }
    // A boot indicator of 0x01 (in an otherwise empty slot too) rejects the table.
    {
        MemDisk d(10000, 512);
        d.Signature(0);
        d.Entry(0, 0, 0x07, 63, 1000);
        d.Sector(0)[446 + 48] = 0x01;
        EXPECT_TRUE(Analyse(&d).empty());
    }
    // Missing signature: nothing.
    {
        MemDisk d(10000, 512);
        d.Entry(0, 0, 0x07, 63, 1000);
        EXPECT_TRUE(Analyse(&d).empty());
    }
    // Type 0 with a start and a count is a partition; one past the disk's end is cut there; one
    // that starts beyond the end is dropped.
    {
        MemDisk d(10000, 512);
        d.Signature(0);
        d.Entry(0, 0, 0x00, 100, 200);
        d.Entry(0, 1, 0x07, 9000, 5000);
        d.Entry(0, 2, 0x07, 20000, 5000);
        d.Entry(0, 3, 0x07, 500, 0);  // zero count: runs to the end of the disk
        ExpectParts(Analyse(&d), {{100, 200}, {9000, 1000}, {500, 9500}});
    }
}

TEST(PartitionTable, FileSystemLengthWinsAndLargeMismatchListsBoth) {
    FakeAnalyzerScope fake;
    MemDisk d(400000, 512);
    d.Signature(0);
    // Slightly shorter file system (as NTFS, which leaves out its backup boot sector).
    d.Entry(0, 0, 0x07, 2048, 24576);
    d.FakeVolume(2048, kFsNtfs, 24575, "Small diff");
    // A FAT volume 40000 sectors shorter than its entry: listed with both lengths, entry first.
    d.Entry(0, 1, 0x0C, 30000, 100000);
    d.FakeVolume(30000, kFsFat32, 60000, "BIGDIFF");
    // A file system claiming to run past the disk: the entry's length stays.
    d.Entry(0, 2, 0x07, 200000, 1000);
    d.FakeVolume(200000, kFsNtfs, 999999, "Too long");
    // Entry and volume both run past the disk's end (a cut image): the disk's end cuts the
    // window, the shorter of the two lengths stays the volume's.
    d.Entry(0, 3, 0x07, 390000, 20000);
    d.FakeVolume(390000, kFsNtfs, 19999, "Cut");

    BasicPartitionList out;
    ASSERT_EQ(CPartitionTableAnalyze::AnalyseDisk(&d, out), 5u);
    EXPECT_EQ(out[0]->sectorCount, 24575u);
    EXPECT_EQ(out[0]->fileSystemCode, kFsNtfs);
    EXPECT_STREQ(out[0]->volumeLabel, "Small diff");
    EXPECT_EQ(out[1]->firstSector, 30000u);
    EXPECT_EQ(out[1]->sectorCount, 100000u);
    EXPECT_EQ(out[1]->fileSystemCode, kFsFat32);
    EXPECT_STREQ(out[1]->volumeLabel, "BIGDIFF");
    EXPECT_EQ(out[2]->firstSector, 30000u);
    EXPECT_EQ(out[2]->sectorCount, 60000u);
    EXPECT_EQ(out[3]->sectorCount, 1000u);
    EXPECT_EQ(out[3]->fileSystemCode, kFsNtfs);
    EXPECT_EQ(out[3]->device->GetVolumeSectors(), 1000u);
    EXPECT_EQ(out[4]->device->GetTotalSectors(), 10000u);
    EXPECT_EQ(out[4]->device->GetVolumeSectors(), 19999u);
    // The partition device is a window over the disk at the record's start.
    auto* window = dynamic_cast<CBasicPartitionDevice*>(out[1]->device.get());
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(window->GetStartSector(), 30000u);

    // An entry running past the disk's end over a volume that fits on it: the volume is as long
    // as it says, not as its entry.
    MemDisk fitting(400000, 512);
    fitting.Signature(0);
    fitting.Entry(0, 0, 0x07, 390000, 20000);
    fitting.FakeVolume(390000, kFsNtfs, 5000, "Fits");
    BasicPartitionList fits;
    ASSERT_EQ(CPartitionTableAnalyze::AnalyseDisk(&fitting, fits), 1u);
    EXPECT_EQ(fits[0]->sectorCount, 5000u);
    EXPECT_EQ(fits[0]->device->GetVolumeSectors(), 5000u);
}

TEST(PartitionTable, FileSystemAtSectorZeroWithoutTable) {
    FakeAnalyzerScope fake;
    MemDisk d(50000, 512);
    d.FakeVolume(0, kFsFat16, 40000, "WHOLE");
    BasicPartitionList out;
    ASSERT_EQ(CPartitionTableAnalyze::AnalyseDisk(&d, out), 1u);
    EXPECT_EQ(out[0]->firstSector, 0u);
    EXPECT_EQ(out[0]->sectorCount, 40000u);
    EXPECT_EQ(out[0]->fileSystemCode, kFsFat16);
    // A boot sector that claims more than the disk holds gets the disk's length.
    MemDisk big(50000, 512);
    big.FakeVolume(0, kFsNtfs, 90000, "X");
    ExpectParts(Analyse(&big), {{0, 50000}});
}

TEST(PartitionTable, GptEntriesByTypeTable) {
    MemDisk d(100000, 512);
    d.Signature(0);
    d.Entry(0, 0, 0xEE, 1, 99999);
    // LBA 1 (the GPT header) is left damaged: the array at LBA 2 is read regardless.
    WriteGptEntry(d, 0, "EBD0A0A2-B9E5-4433-87C0-68B6B72699C7", 2048, 42047);   // basic data
    WriteGptEntry(d, 1, "C12A7328-F81F-11D2-BA4B-00A0C93EC93B", 50000, 50999);  // EFI system
    WriteGptEntry(d, 2, "024DEE41-33E7-11D3-9D69-0008C781F39F", 60000, 60999);  // MBR scheme: skipped
    WriteGptEntry(d, 3, "11111111-2222-3333-4444-555555555555", 61000, 61999);  // unknown: skipped
    WriteGptEntry(d, 127, "E3C9E316-0B5C-4DB8-817D-F92DF00215AE", 70000, 70000);  // one sector
    BasicPartitionList out;
    ASSERT_EQ(CPartitionTableAnalyze::AnalyseDisk(&d, out), 3u);
    EXPECT_EQ(out[0]->firstSector, 2048u);
    EXPECT_EQ(out[0]->sectorCount, 40000u);
    EXPECT_EQ(out[0]->fileSystemCode, kFsUnknown);
    EXPECT_EQ(out[1]->firstSector, 50000u);
    EXPECT_EQ(out[2]->firstSector, 70000u);
    EXPECT_EQ(out[2]->sectorCount, 1u);
}

TEST(PartitionTable, GuidTextAndTypeLookup) {
    const u8 raw[16] = {0xA2, 0xA0, 0xD0, 0xEB, 0xE5, 0xB9, 0x33, 0x44, 0x87, 0xC0, 0x68, 0xB6, 0xB7, 0x26, 0x99, 0xC7};
    char text[37];
    EXPECT_STREQ(FormatGuidText(ReadGuid(raw), text), "EBD0A0A2-B9E5-4433-87C0-68B6B72699C7");
    const GptTypeRow* row = FindGptType(text);
    ASSERT_NE(row, nullptr);
    EXPECT_EQ(row->id, 5);
    // The /usr GUID repeats the Solaris ZFS one; the earlier row wins.
    EXPECT_EQ(FindGptType("6A898CC3-1DD2-11B2-99A6-080020736631")->id, 25);
    for (u32 i = 0; i < kGptTypeCount; ++i) {
        EXPECT_EQ(GptPartitionTypeTable()[i].id, i + 1);
        EXPECT_EQ(std::strlen(GptPartitionTypeTable()[i].guidText), 36u);
    }
}

TEST(PartitionTable, SectorBuffersFollowTheSectorSize) {
    // 8192-byte sectors: every table read takes a whole sector.
    for (u32 ss : {4096u, 8192u}) {
        MemDisk d(2000, ss);
        d.Signature(0);
        d.Entry(0, 0, 0x07, 256, 500);
        d.Entry(0, 1, 0x0F, 800, 1000);
        d.Signature(800);
        d.Entry(800, 0, 0x07, 8, 100);
        ExpectParts(Analyse(&d), {{256, 500}, {808, 100}});
    }
    // A device reporting a sector size too small to hold a table is left alone.
    MemDisk tiny(100, 256);
    EXPECT_TRUE(Analyse(&tiny).empty());
}

TEST(PartitionTable, CodeTables) {
    EXPECT_EQ(MbrTypeToFileSystemCode(0x0E), kFsFat16);
    EXPECT_EQ(MbrTypeToFileSystemCode(0x1B), kFsFat32);
    EXPECT_EQ(MbrTypeToFileSystemCode(0x17), kFsNtfs);
    EXPECT_EQ(MbrTypeToFileSystemCode(0x85), kFsExt2);
    EXPECT_EQ(MbrTypeToFileSystemCode(0x42), kFsUnknown);
    char name[16];
    EXPECT_STREQ(FileSystemCodeName(7, name), "UNKNOWN");
    EXPECT_STREQ(FileSystemCodeName(5, name), "EXT3");
    EXPECT_STREQ(VolumeTypeName(5, name), "STRIPPED");
    EXPECT_STREQ(VolumeTypeName(1, name), "UNKNOWN");
    u8 sector[512] = {};
    EXPECT_EQ(BootSectorFileSystemCode(sector, 512), kFsUnknown);
}

// The fixture disks, read through the disk table as the program reads disks.
class PartitionFixtureTest : public ::testing::Test {
protected:
    void SetUp() override {
        const char* old = std::getenv("MORVENDA_DISKS");
        hadOld_ = old != nullptr;
        if (old) old_ = old;
        const std::string list = testutil::FixturePath("mbr-disk.img") + ":" + testutil::FixturePath("gpt-disk.img");
        setenv("MORVENDA_DISKS", list.c_str(), 1);
    }
    void TearDown() override {
        if (hadOld_) {
            setenv("MORVENDA_DISKS", old_.c_str(), 1);
        } else {
            unsetenv("MORVENDA_DISKS");
        }
    }
    bool hadOld_ = false;
    std::string old_;
};

TEST_F(PartitionFixtureTest, MbrAndGptFixturesListTheManifestPartitions) {
    CDiskDevice mbr(0);
    ASSERT_TRUE(mbr.IsOpen());
    ExpectParts(Analyse(&mbr), {{2048, 73728}, {77824, 24576}, {104448, 24576}});
    CDiskDevice gpt(1);
    ASSERT_TRUE(gpt.IsOpen());
    ExpectParts(Analyse(&gpt), {{2048, 40960}, {43008, 40960}});
}

namespace {
class CodeAnalyzer : public IVolume {
public:
    explicit CodeAnalyzer(u32 code) : m_code(code) {}
    u32 GetFileSystemType() override { return m_code; }
    u64 GetTotalSectors() override { return 0; }
    void GetVolumeLabel(char* out, u32 size) override { std::memset(out, 0, size); }
    u32 m_code;
};
IVolume* NotMine(IStorageDevice*, u64) { return new CodeAnalyzer(kFsUnknown); }
IVolume* Fat32(IStorageDevice*, u64) { return new CodeAnalyzer(kFsFat32); }
IVolume* NoExFat(IStorageDevice*, u64) { return nullptr; }
u32 FatSays16(const u8*, u32) { return kFsFat16; }
u32 FatSaysNo(const u8*, u32) { return kFsUnknown; }
u32 NtfsSaysYes(const u8*, u32) { return kFsNtfs; }
}  // namespace

TEST(PartitionTable, AnalyserSetAsksInOrderAndClassifiersPlugIn) {
    MemDisk d(100, 512);
    {
        VolumeAnalyzerSet empty(&d, 0);
        EXPECT_EQ(empty.GetRecognized(), nullptr);
    }
    RegisterVolumeAnalyzer(VolumeAnalyzerSlot::kNtfs, &NotMine);
    RegisterVolumeAnalyzer(VolumeAnalyzerSlot::kFat, &Fat32);
    RegisterVolumeAnalyzer(VolumeAnalyzerSlot::kExFat, &NoExFat);
    {
        VolumeAnalyzerSet set(&d, 0);
        EXPECT_EQ(set.Count(), 2u);
        ASSERT_NE(set.GetRecognized(), nullptr);
        EXPECT_EQ(set.GetRecognized()->GetFileSystemType(), kFsFat32);
    }
    RegisterVolumeAnalyzer(VolumeAnalyzerSlot::kFat, &NotMine);
    {
        // Nobody recognises the partition: the last analyser asked answers (with 9).
        VolumeAnalyzerSet set(&d, 0);
        ASSERT_NE(set.GetRecognized(), nullptr);
        EXPECT_EQ(set.GetRecognized()->GetFileSystemType(), kFsUnknown);
    }
    for (auto slot : {VolumeAnalyzerSlot::kNtfs, VolumeAnalyzerSlot::kFat, VolumeAnalyzerSlot::kExFat}) {
        RegisterVolumeAnalyzer(slot, nullptr);
    }

    u8 sector[512] = {};
    RegisterBootSectorClassifier(VolumeAnalyzerSlot::kNtfs, &NtfsSaysYes);
    RegisterBootSectorClassifier(VolumeAnalyzerSlot::kFat, &FatSays16);
    EXPECT_EQ(BootSectorFileSystemCode(sector, 512), kFsFat16);  // the FAT reader is asked first
    RegisterBootSectorClassifier(VolumeAnalyzerSlot::kFat, &FatSaysNo);
    EXPECT_EQ(BootSectorFileSystemCode(sector, 512), kFsNtfs);
    RegisterBootSectorClassifier(VolumeAnalyzerSlot::kNtfs, nullptr);
    RegisterBootSectorClassifier(VolumeAnalyzerSlot::kFat, nullptr);
}
