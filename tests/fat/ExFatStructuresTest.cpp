// exFAT structures: the boot-sector check, entry checks and set checksums (against the sets a
// real driver wrote), the entry-set parser, the label walk, the FAT cache and the properties.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "SavedSections.h"
#include "FatTestSupport.h"
#include "TestUtil.h"
#include "engine/CompactRunList.h"
#include "engine/DataRunList.h"
#include "engine/RSData.h"
#include "fs/fat/ExFatEntrySet.h"
#include "fs/fat/ExFatFileProperties.h"
#include "fs/fat/ExFatPartition.h"
#include "fs/fat/ExFatVolume.h"

using namespace fattest;

namespace {
// ---- boot sector ----
std::vector<u8> ValidBootSector() {
    std::vector<u8> s(512, 0);
    s[0] = 0xEB;
    std::memcpy(s.data() + 3, "EXFAT   ", 8);
    WriteLE64(s.data() + 72, 65536);  // volume length
    WriteLE32(s.data() + 80, 2048);   // FAT offset
    WriteLE32(s.data() + 84, 64);     // FAT length
    WriteLE32(s.data() + 88, 4096);   // heap offset
    WriteLE32(s.data() + 92, 7680);   // cluster count
    WriteLE32(s.data() + 96, 5);      // root cluster
    s[108] = 9;
    s[109] = 3;
    s[110] = 1;
    s[510] = 0x55;
    s[511] = 0xAA;
    return s;
}

TEST(ExFatBoot, CheckAcceptsAValidSectorAndRejectsEachBrokenRule) {
    EXPECT_TRUE(IsExFatBootSector(ValidBootSector().data(), 512));
    EXPECT_EQ(Log2Floor(0), 0u);
    EXPECT_EQ(Log2Floor(1), 0u);
    EXPECT_EQ(Log2Floor(4096), 12u);
    EXPECT_EQ(Log2Floor(4097), 12u);

    auto broken = [](auto change, u32 deviceSectorSize = 512) {
        std::vector<u8> s = ValidBootSector();
        change(s.data());
        return IsExFatBootSector(s.data(), deviceSectorSize);
    };
    EXPECT_FALSE(broken([](u8* s) { s[10] = 'X'; }));                 // "EXFAT  X"
    EXPECT_FALSE(broken([](u8* s) { s[40] = 1; }));                   // must-be-zero area
    EXPECT_FALSE(broken([](u8* s) { s[511] = 0; }));                  // signature
    EXPECT_FALSE(broken([](u8*) {}, 4096));                           // shift 9 on a 4096 device
    EXPECT_FALSE(broken([](u8* s) { s[109] = 17; }));                 // 9 + 17 > 25
    EXPECT_FALSE(broken([](u8* s) { s[110] = 3; }));                  // FAT count
    EXPECT_FALSE(broken([](u8* s) { WriteLE32(s + 96, 1); }));        // root cluster
    EXPECT_FALSE(broken([](u8* s) { WriteLE32(s + 80, 0xFFFFFFF0u); WriteLE64(s + 72, ~0ull); }));  // FAT end > 2^32
    EXPECT_FALSE(broken([](u8* s) { WriteLE32(s + 84, 2049); }));     // FAT runs into the heap
    EXPECT_FALSE(broken([](u8* s) { WriteLE32(s + 92, 7681 * 8); })); // heap past the volume
    // One cluster whose heap starts at the volume's end passes the heap rule.
    EXPECT_TRUE(broken([](u8* s) {
        WriteLE32(s + 88, 65536);
        WriteLE32(s + 92, 1);
    }));
    // Cluster shift 16 with 512-byte sectors: 32 MiB clusters are the largest allowed.
    EXPECT_TRUE(broken([](u8* s) {
        s[109] = 16;
        WriteLE32(s + 92, 1);
    }));

    // A length field that claims far more than the heap can fill is believed only as far as the
    // heap reaches; one within it stands.
    std::vector<u8> longer = ValidBootSector();
    WriteLE64(longer.data() + 72, u64(1) << 60);
    ASSERT_TRUE(IsExFatBootSector(longer.data(), 512));
    EXPECT_EQ(CExFatBootSector(longer.data()).GetAddressableLength(), 4096u + 7680u * 8);
    EXPECT_EQ(CExFatBootSector(ValidBootSector().data()).GetAddressableLength(), 65536u);
}

// ---- entry checks ----
u32 Stamp(u32 year, u32 month, u32 day, u32 hour, u32 minute, u32 seconds2) {
    return (year << 25) | (month << 21) | (day << 16) | (hour << 11) | (minute << 5) | seconds2;
}

std::vector<u8> FileEntry(u8 type, u8 secondaries, u16 attributes) {
    std::vector<u8> e(32, 0);
    e[0] = type;
    e[1] = secondaries;
    WriteLE16(e.data() + 4, attributes);
    const u32 t = Stamp(40, 3, 7, 12, 30, 10);
    WriteLE32(e.data() + 8, t);
    WriteLE32(e.data() + 12, t);
    WriteLE32(e.data() + 16, t);
    return e;
}

std::vector<u8> StreamEntry(u8 type, u8 flags, u8 nameLength, u32 firstCluster, u64 length) {
    std::vector<u8> e(32, 0);
    e[0] = type;
    e[1] = flags;
    e[3] = nameLength;
    WriteLE64(e.data() + 8, length);
    WriteLE32(e.data() + 20, firstCluster);
    WriteLE64(e.data() + 24, length);
    return e;
}

std::vector<u8> NameEntry(u8 type, const std::u16string& units) {
    std::vector<u8> e(32, 0);
    e[0] = type;
    for (size_t i = 0; i < units.size() && i < 15; ++i) WriteLE16(e.data() + 2 + 2 * i, u16(units[i]));
    return e;
}

const ExFatWalkLimits kLimits = ExFatWalkLimits::Make(65536, 9, 12);

TEST(ExFatEntries, ChecksRefuseOutOfRangeFields) {
    EXPECT_TRUE(IsValidExFatTimestamp(Stamp(127, 12, 31, 23, 59, 29)));
    EXPECT_FALSE(IsValidExFatTimestamp(Stamp(40, 3, 0, 1, 1, 1)));
    EXPECT_FALSE(IsValidExFatTimestamp(Stamp(40, 13, 1, 1, 1, 1)));
    EXPECT_FALSE(IsValidExFatTimestamp(Stamp(40, 3, 1, 24, 1, 1)));
    EXPECT_FALSE(IsValidExFatTimestamp(Stamp(40, 3, 1, 1, 60, 1)));
    EXPECT_FALSE(IsValidExFatTimestamp(Stamp(40, 3, 1, 1, 1, 30)));

    EXPECT_TRUE(CheckExFatFileEntry(FileEntry(0x85, 2, 0x20).data()));
    EXPECT_FALSE(CheckExFatFileEntry(FileEntry(0x85, 1, 0x20).data()));
    EXPECT_FALSE(CheckExFatFileEntry(FileEntry(0x85, 19, 0x20).data()));
    std::vector<u8> file = FileEntry(0x85, 2, 0x20);
    file[21] = 200;
    EXPECT_FALSE(CheckExFatFileEntry(file.data()));

    EXPECT_TRUE(CheckExFatStreamEntry(StreamEntry(0xC0, 1, 1, 0, 0).data(), kLimits));  // empty file
    EXPECT_FALSE(CheckExFatStreamEntry(StreamEntry(0xC0, 1, 1, 1, 0).data(), kLimits));
    EXPECT_FALSE(CheckExFatStreamEntry(StreamEntry(0xC0, 1, 1, 0xFFFFFFF7u, 0).data(), kLimits));
    EXPECT_FALSE(CheckExFatStreamEntry(StreamEntry(0xC0, 1, 1, 5, 65536ull * 512).data(), kLimits));
    // A contiguous file may not reach the chain-end values.
    EXPECT_FALSE(CheckExFatStreamEntry(StreamEntry(0xC0, 3, 1, 0xFFFFFFF0u, 0x10000).data(),
                                       ExFatWalkLimits::Make(~0ull, 9, 12)));

    EXPECT_TRUE(CheckExFatNameEntry(NameEntry(0xC1, u"a\u4e00b").data()));
    EXPECT_FALSE(CheckExFatNameEntry(NameEntry(0xC1, u"a*b").data()));
    EXPECT_FALSE(CheckExFatNameEntry(NameEntry(0xC1, u"").data()));
    std::vector<u8> flagged = NameEntry(0xC1, u"ab");
    flagged[1] = 1;
    EXPECT_FALSE(CheckExFatNameEntry(flagged.data()));

    std::vector<u8> label(32, 0);
    label[0] = 0x83;
    label[1] = 3;
    WriteLE16(label.data() + 2, 'A');
    WriteLE16(label.data() + 4, 'B');
    WriteLE16(label.data() + 6, 'C');
    EXPECT_TRUE(CheckExFatLabelEntry(label.data()));
    WriteLE16(label.data() + 8, 'D');  // a fourth character after a count of 3
    EXPECT_FALSE(CheckExFatLabelEntry(label.data()));
}

// Every entry set of the fixture's directories carries a checksum that matches, deleted ones
// included (their checksum was computed while they were in use); a changed byte breaks it.
TEST(ExFatEntries, SetChecksumsOfARealVolumeMatch) {
    const std::vector<u8> image = testutil::ReadFileBytes(testutil::FixturePath("exfat-basic.img"));
    ASSERT_GE(image.size(), 512u);
    const u64 heap = u64(ReadLE32(image.data() + 88)) * 512;
    const u64 clusterBytes = 512u << image[109];
    int inUse = 0;
    int deleted = 0;
    // The directories of this volume lie in clusters 5 to 20.
    for (u64 cluster = 5; cluster <= 20; ++cluster) {
        const u8* dir = image.data() + heap + (cluster - 2) * clusterBytes;
        for (u64 at = 0; at + 32 <= clusterBytes; at += 32) {
            const u8 type = dir[at];
            if (type != 0x85 && type != 0x05) continue;
            const u32 length = (u32(dir[at + 1]) + 1) * 32;
            if (at + length > clusterBytes) continue;
            std::vector<u8> set(dir + at, dir + at + length);
            const u16 stored = ReadLE16(set.data() + 2);
            EXPECT_TRUE(ExFatSetChecksumMatches(set.data(), length, stored)) << "cluster " << cluster << " at " << at;
            (type == 0x85 ? inUse : deleted)++;
            set[length - 1] ^= 0x01;
            EXPECT_FALSE(ExFatSetChecksumMatches(set.data(), length, stored));
        }
    }
    EXPECT_GT(inUse, 10);
    EXPECT_GT(deleted, 3);
}

std::vector<u8> Join(std::initializer_list<std::vector<u8>> entries) {
    std::vector<u8> out;
    for (const auto& e : entries) out.insert(out.end(), e.begin(), e.end());
    return out;
}

TEST(ExFatEntries, ParserJoinsSetsAcrossFeedsAndResetsBrokenOnes) {
    ExFatEntrySetParser parser;
    parser.SetLimits(kLimits);
    parser.Reset();
    // A set cut by the end of a cluster completes in the next one; its position is where its
    // file entry lay.
    const std::vector<u8> first = Join({FileEntry(0x05, 3, 0x20), StreamEntry(0x40, 3, 20, 100, 5000)});
    const std::vector<u8> second = Join({NameEntry(0x41, u"0123456789abcde"), NameEntry(0x41, u"fghij")});
    ASSERT_TRUE(parser.Feed(first.data(), u32(first.size()), 800));
    ASSERT_TRUE(parser.Feed(second.data(), u32(second.size()), 808));
    ASSERT_EQ(parser.GetSets().size(), 1u);
    const ExFatEntrySet& set = parser.GetSets()[0];
    EXPECT_EQ(set.name, "0123456789abcdefghij");
    EXPECT_EQ(set.inUse, 0);
    EXPECT_EQ(set.position, 800u);
    EXPECT_EQ(set.firstCluster, 100u);
    EXPECT_EQ(set.dataLength, 5000u);
    EXPECT_EQ(set.noFatChain, 1);
    parser.ClearSets();

    // A name entry straight after the file entry, and a stream entry of the other in-use state,
    // drop the set but not the feed.
    const std::vector<u8> broken = Join({FileEntry(0x85, 2, 0x20), NameEntry(0xC1, u"x"),
                                         FileEntry(0x85, 2, 0x20), StreamEntry(0x40, 1, 1, 9, 10),
                                         NameEntry(0xC1, u"y"), FileEntry(0x85, 2, 0x20),
                                         StreamEntry(0xC0, 1, 1, 9, 10), NameEntry(0xC1, u"z")});
    ASSERT_TRUE(parser.Feed(broken.data(), u32(broken.size()), 0));
    ASSERT_EQ(parser.GetSets().size(), 1u);
    EXPECT_EQ(parser.GetSets()[0].name, "z");
    parser.ClearSets();

    // An entry of no known type ends the feed.
    const std::vector<u8> stop = Join({std::vector<u8>(32, 0), FileEntry(0x85, 2, 0x20)});
    EXPECT_FALSE(parser.Feed(stop.data(), u32(stop.size()), 0));
}

TEST(ExFatEntries, NamesAreBoundedByTheirLengthAndTheBuffer) {
    ExFatEntrySetParser parser;
    parser.SetLimits(kLimits);
    // The name stops at its stated length, even when the set has more characters.
    std::vector<u8> entries = Join({FileEntry(0x85, 2, 0x20), StreamEntry(0xC0, 1, 3, 9, 10),
                                    NameEntry(0xC1, u"abcdefgh")});
    ASSERT_TRUE(parser.Feed(entries.data(), u32(entries.size()), 0));
    ASSERT_EQ(parser.GetSets().size(), 1u);
    EXPECT_EQ(parser.GetSets()[0].name, "abc");
    parser.ClearSets();

    // A stated length longer than the set gives what the set holds.
    entries = Join({FileEntry(0x85, 2, 0x20), StreamEntry(0xC0, 1, 200, 9, 10), NameEntry(0xC1, u"short")});
    ASSERT_TRUE(parser.Feed(entries.data(), u32(entries.size()), 0));
    ASSERT_EQ(parser.GetSets().size(), 1u);
    EXPECT_EQ(parser.GetSets()[0].name, "short");
    parser.ClearSets();

    // 17 entries of three-byte characters (765 bytes) are cut at a character boundary within
    // the 511-byte name; a surrogate pair split between two entries stays one character.
    std::vector<std::vector<u8>> parts{FileEntry(0x85, 18, 0x20), StreamEntry(0xC0, 1, 255, 9, 10)};
    std::u16string first(14, u'\u4e00');
    first.push_back(char16_t(0xD83D));
    parts.push_back(NameEntry(0xC1, first));
    std::u16string second(1, char16_t(0xDE00));
    second.append(14, u'\u4e00');
    parts.push_back(NameEntry(0xC1, second));
    for (int i = 0; i < 15; ++i) parts.push_back(NameEntry(0xC1, std::u16string(15, u'\u4e00')));
    entries.clear();
    for (const auto& p : parts) entries.insert(entries.end(), p.begin(), p.end());
    ASSERT_TRUE(parser.Feed(entries.data(), u32(entries.size()), 0));
    ASSERT_EQ(parser.GetSets().size(), 1u);
    const std::string& name = parser.GetSets()[0].name;
    EXPECT_LE(name.size(), 511u);
    EXPECT_EQ(name.size() % 3, 1u);  // 14 x 3 + the 4-byte emoji + whole 3-byte characters
    EXPECT_EQ(name.substr(42, 4), "\xF0\x9F\x98\x80");
}

TEST(ExFatEntries, LabelWalkKeepsTheLastLabelAndStopsAtTheEnd) {
    std::vector<u8> label(32, 0);
    label[0] = 0x83;
    label[1] = 2;
    WriteLE16(label.data() + 2, 'O');
    WriteLE16(label.data() + 4, 'K');
    std::vector<u8> bitmap(32, 0);
    bitmap[0] = 0x81;
    WriteLE32(bitmap.data() + 20, 2);
    WriteLE64(bitmap.data() + 24, 960);
    char16_t buffer[260] = {};
    buffer[5] = u'Z';  // left-over characters are cut
    std::vector<u8> entries = Join({bitmap, label});
    EXPECT_FALSE(CollectExFatLabel(entries.data(), u32(entries.size()), buffer, 260, kLimits));
    EXPECT_EQ(std::u16string(buffer), u"OK");
    entries.insert(entries.end(), 32, 0);
    entries.insert(entries.end(), label.begin(), label.end());
    EXPECT_TRUE(CollectExFatLabel(entries.data(), u32(entries.size()), buffer, 260, kLimits));
    bitmap[4] = 1;  // a reserved byte
    EXPECT_TRUE(CollectExFatLabel(bitmap.data(), 32, buffer, 260, kLimits));
}

// ---- FAT cache ----
// A device whose FAT (entry i = i + 1) starts at sector 1 and spans fatSectors sectors.
std::unique_ptr<MemoryDevice> FatDevice(u32 fatSectors, u32 extraSectors) {
    std::vector<u8> bytes(u64(1 + fatSectors + extraSectors) * 512, 0);
    for (u64 i = 0; i < u64(fatSectors) * 128; ++i) WriteLE32(bytes.data() + 512 + i * 4, u32(i + 1));
    return std::make_unique<MemoryDevice>(std::move(bytes), 512);
}

TEST(ExFatFatCacheTest, PiecesAreReadOnDemandAndTheLowestIsReused) {
    const u32 fatSectors = 10 * 2048 + 100;  // ten pieces and a bit
    auto device = FatDevice(fatSectors, 1);
    ExFatFatCache cache;
    cache.Open(device.get(), 1, fatSectors, 0);
    ASSERT_TRUE(cache.IsOpen());
    EXPECT_EQ(cache.GetSectorsPerPiece(), 2048u);
    EXPECT_EQ(cache.GetPieceCount(), 1u);
    EXPECT_EQ(cache.GetEntry(262143), 262144u);
    EXPECT_EQ(cache.GetPieceCount(), 1u);
    EXPECT_EQ(cache.GetEntry(262144), 262145u);  // the second piece
    EXPECT_TRUE(cache.HasPieceAt(1 + 2048));
    for (u32 piece = 2; piece < 9; ++piece) EXPECT_EQ(cache.GetEntry(piece * 262144 + 7), piece * 262144 + 8);
    EXPECT_EQ(cache.GetPieceCount(), 9u);
    // The tenth piece takes the place of the lowest one, though it was used last.
    EXPECT_EQ(cache.GetEntry(5), 6u);
    EXPECT_EQ(cache.GetEntry(9 * 262144 + 1), 9 * 262144 + 2u);
    EXPECT_EQ(cache.GetPieceCount(), 9u);
    EXPECT_FALSE(cache.HasPieceAt(1));
    // The last piece is only partly FAT: it is read to the FAT's end, not to the device's.
    EXPECT_EQ(cache.GetEntry(10 * 262144 + 3), 10 * 262144 + 4u);
    // Past the FAT, and for clusters whose offset overflows 32 bits: no entry.
    EXPECT_EQ(cache.GetEntry(u32(u64(fatSectors) * 128)), kExFatNoEntry);
    EXPECT_EQ(cache.GetEntry(0x40000001u), kExFatNoEntry);
    EXPECT_EQ(cache.GetEntry(0xFFFFFFFFu), kExFatNoEntry);
    cache.Close();
    EXPECT_FALSE(cache.IsOpen());
    EXPECT_EQ(cache.GetEntry(1), kExFatNoEntry);
}

TEST(ExFatFatCacheTest, StaysClosedWhenTheFatCannotBeRead) {
    auto device = FatDevice(16, 0);
    ExFatFatCache cache;
    cache.Open(device.get(), 1, 16, 0);  // ends on the device's last sector
    EXPECT_FALSE(cache.IsOpen());
    cache.Open(device.get(), 1, 0, 0);
    EXPECT_FALSE(cache.IsOpen());
    cache.Open(nullptr, 1, 4, 0);
    EXPECT_FALSE(cache.IsOpen());
    auto failing = FatDevice(8 * 2048, 1);
    failing->failFrom = 1 + 2048;
    cache.Open(failing.get(), 1, 8 * 2048, 0);
    ASSERT_TRUE(cache.IsOpen());
    EXPECT_EQ(cache.GetEntry(3), 4u);
    EXPECT_EQ(cache.GetEntry(262144 + 3), kExFatNoEntry);  // a failed read answers the chain end
    EXPECT_EQ(cache.GetPieceCount(), 1u);
}

TEST(ExFatPartitionTest, NextClusterAndUsedClusters) {
    auto device = FatDevice(16, 1);
    CExFatPartition p;
    p.m_heapStart = 100;
    p.m_sectorsPerCluster = 8;
    p.m_clusterLimit = 1000;
    p.SetClusterCount(998, 998);
    EXPECT_EQ(p.ClusterToSector(2), 100u);
    EXPECT_EQ(p.ClusterToSector(5), 124u);
    EXPECT_EQ(p.SectorToCluster(124), 5u);
    EXPECT_EQ(p.SectorToCluster(125), 6u);
    EXPECT_EQ(p.NextCluster(7, false), kExFatNoEntry);  // closed FAT
    p.m_fat.Open(device.get(), 1, 16, 998);
    EXPECT_EQ(p.NextCluster(7, false), 8u);  // the FAT entry
    EXPECT_EQ(p.NextCluster(7, true), 8u);   // contiguous
    EXPECT_EQ(p.NextCluster(999, true), kExFatNoEntry);
    EXPECT_EQ(p.NextCluster(0xFFFFFFFFu, true), kExFatNoEntry);

    EXPECT_TRUE(p.IsHeapCluster(999));
    EXPECT_FALSE(p.IsHeapCluster(1000));
    p.MarkClusterUsed(999);
    p.MarkClusterUsed(1000);
    p.MarkClusterUsed(0xFFFFFFF5u);
    p.MarkClusterUsed(1);
    EXPECT_TRUE(p.IsClusterMarkedUsed(999));
    EXPECT_FALSE(p.IsClusterMarkedUsed(1000));
    EXPECT_EQ(p.GetUsedClusterBits().size(), 125u);
    // A damaged cluster count does not size the set beyond what the device holds.
    p.SetClusterCount(0xFFFFFFF0u, 64);
    EXPECT_EQ(p.GetUsedClusterBits().size(), 8u);
    p.MarkClusterUsed(5000);
    EXPECT_FALSE(p.IsClusterMarkedUsed(5000));
}

using testutil::MemoryStream;

TEST(ExFatPropertiesTest, RunsMergeAndTheSavedFormRoundTrips) {
    auto* runs = new CExFatDataRunList;
    runs->AppendClusterRun({10, 2});
    runs->AppendClusterRun({12, 3});  // continues: merged
    runs->AppendClusterRun({-1, 4});
    runs->AppendClusterRun({3, 1});   // after a sparse extent: separate
    ASSERT_EQ(runs->GetExtentCount(), 3u);
    EXPECT_EQ(runs->GetExtent(0), (DataRunExtent{10, 5}));
    EXPECT_EQ(runs->GetKind(), kRunListExFat);

    CExFatFileProperties* p = NewExFatFileProperties();
    p->SetName("Zürich crème.jpg");
    p->SetSize(65565);
    p->SetAttributes(0x20);
    p->SetCreationTime(111);
    p->SetModificationTime(222);
    p->SetAccessTime(333);
    p->SetState(kStateDeleted);
    p->SetFirstCluster(1745);
    p->SetSecondClusterWord(0xABCD);
    p->SetFlag(7);
    p->SetRunList(runs);
    p->SetName(nullptr);  // changes nothing
    EXPECT_EQ(p->GetFileSystemKind(), kPropertiesExFat);
    EXPECT_TRUE(p->IsDeleted());

    MemoryStream stream;
    p->Save(&stream);
    CExFatFileProperties* q = LoadExFatFileProperties(&stream);
    ASSERT_NE(q, nullptr);
    EXPECT_STREQ(q->GetName(), "Zürich crème.jpg");
    EXPECT_EQ(q->GetNameLength(), p->GetNameLength());
    EXPECT_EQ(q->GetSize(), 65565u);
    EXPECT_EQ(q->GetAttributes(), 0x20);
    FILETIME64 t = 0;
    q->GetCreationTime(t);
    EXPECT_EQ(t, 111u);
    q->GetModificationTime(t);
    EXPECT_EQ(t, 222u);
    q->GetAccessTime(t);
    EXPECT_EQ(t, 333u);
    EXPECT_EQ(q->GetState(), kStateDeleted);
    EXPECT_EQ(q->GetFirstCluster(), 1745u);
    EXPECT_EQ(q->GetSecondClusterWord(), 0xABCDu);
    EXPECT_EQ(q->GetFlag(), 0);
    std::unique_ptr<IDataRunList> loaded(q->CreateDataRunList());
    ASSERT_NE(loaded, nullptr);
    ASSERT_EQ(loaded->GetExtentCount(), 3u);
    EXPECT_EQ(loaded->GetExtent(2), (DataRunExtent{3, 1}));

    // A cut saved form throws and frees the half-made object.
    stream.bytes.resize(stream.bytes.size() - 3);
    stream.pos = 0;
    EXPECT_THROW(LoadExFatFileProperties(&stream), CRSException);
    p->Release();
    q->Release();

    IFileProperties* root = CreateExFatFolderProperties("exFAT");
    ASSERT_NE(root, nullptr);
    EXPECT_STREQ(root->GetName(), "exFAT");
    EXPECT_EQ(root->GetAttributes() & kAttrDirectory, kAttrDirectory);
    EXPECT_EQ(static_cast<CExFatFileProperties*>(root)->GetSecondClusterWord(), kExFatRootClusterWord);
    EXPECT_EQ(root->CreateDataRunList(), nullptr);
    root->Release();
}
}  // namespace
