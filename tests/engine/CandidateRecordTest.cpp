// Partition candidates, their saved form, the 64-bit keyed table and the file-type hints.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "SavedSections.h"
#include "engine/FileTypeHintList.h"
#include "engine/Int64HashTable.h"
#include "engine/RSData.h"
#include "engine/RawFileInfo.h"
#include "engine/SearchedPartitionInfo.h"
#include "engine/TextConvert.h"

namespace {
using testutil::MemoryStream;

CRawFileInfo MakeFound(u64 sector, u32 type) {
    CRawFileInfo info;
    info.startSector = sector;
    info.fileType = type;
    return info;
}

constexpr u32 kJpg = 35;
constexpr u32 kMp3 = 43;
}  // namespace

TEST(CandidateRecord, ConstructionDefaultsAndSectorSize) {
    CSearchedPartitionInfo plain(0);
    EXPECT_EQ(plain.GetSectorSize(), 512u);
    EXPECT_EQ(CSearchedPartitionInfo(1000).GetSectorSize(), 512u);
    EXPECT_EQ(CSearchedPartitionInfo(4096).GetSectorSize(), 4096u);
    EXPECT_EQ(CSearchedPartitionInfo(1536).GetSectorSize(), 1536u);
    EXPECT_EQ(plain.GetFileSystemCode(), 9u);
    EXPECT_EQ(plain.GetBootScore(), 1u);
    EXPECT_EQ(plain.GetScore(), 0.0);
    EXPECT_EQ(plain.GetKind(), 6u);
    EXPECT_EQ(plain.TestFileNode(nullptr), 0u);
    EXPECT_EQ(plain.ApplyToFileNode(nullptr), 0u);
    EXPECT_EQ(plain.GetSearchController(), nullptr);
    EXPECT_EQ(plain.GetPartitionId(), 0u);
}

TEST(CandidateRecord, SaveWritesFieldsInOrderAndLoadRestoresThem) {
    CSearchedPartitionInfo saved(4096);
    saved.SetFileSystemCode(3);
    saved.SetSectorsPerCluster(8);
    saved.SetPartitionStart(0x0102030405060708ull);
    saved.SetFoundStart(2048);
    saved.SetRawTypeMatches(17);
    saved.SetEvidenceCount(99);
    saved.SetPartitionId(0xCAFEF00D);
    saved.SetTotalSectors(1u << 30);
    saved.SetBootScore(120);
    saved.SetScore(0.75);
    saved.SetChosenFlag(1);
    saved.SetWholeDeviceFlag(1);
    saved.SetSearchController(reinterpret_cast<ICompleteFileSystemSearchController*>(&saved));

    MemoryStream stream;
    saved.Save(&stream);
    ASSERT_EQ(stream.bytes.size(), CSearchedPartitionInfo::kSavedSize);
    ASSERT_EQ(stream.bytes.size(), 76u);
    const u8* b = stream.bytes.data();
    EXPECT_EQ(ReadLE32(b + 0), 3u);
    EXPECT_EQ(ReadLE32(b + 4), 8u);
    EXPECT_EQ(ReadLE64(b + 8), 0x0102030405060708ull);
    EXPECT_EQ(ReadLE64(b + 16), 2048u);
    EXPECT_EQ(ReadLE64(b + 24), 17u);
    EXPECT_EQ(ReadLE64(b + 32), 99u);
    EXPECT_EQ(ReadLE32(b + 40), 0xCAFEF00Du);
    EXPECT_EQ(ReadLE64(b + 44), 1ull << 30);
    EXPECT_EQ(ReadLE64(b + 52), 120u);
    EXPECT_EQ(ReadLE64(b + 60), 0x3FE8000000000000ull);  // 0.75
    EXPECT_EQ(ReadLE32(b + 68), 1u);
    EXPECT_EQ(ReadLE32(b + 72), 4096u);

    CSearchedPartitionInfo loaded(512);
    loaded.Load(&stream);
    EXPECT_EQ(stream.pos, stream.bytes.size());
    EXPECT_EQ(loaded.GetFileSystemCode(), 3u);
    EXPECT_EQ(loaded.GetSectorsPerCluster(), 8u);
    EXPECT_EQ(loaded.GetPartitionStart(), 0x0102030405060708ull);
    EXPECT_EQ(loaded.GetFoundStart(), 2048u);
    EXPECT_EQ(loaded.GetRawTypeMatches(), 17u);
    EXPECT_EQ(loaded.GetEvidenceCount(), 99u);
    EXPECT_EQ(loaded.GetPartitionId(), 0xCAFEF00Du);
    EXPECT_EQ(loaded.GetTotalSectors(), 1ull << 30);
    EXPECT_EQ(loaded.GetBootScore(), 120u);
    EXPECT_EQ(loaded.GetScore(), 0.75);
    EXPECT_EQ(loaded.GetChosenFlag(), 1u);
    EXPECT_EQ(loaded.GetSectorSize(), 4096u);
    // Neither the owner nor the whole-device flag is part of the saved form.
    EXPECT_EQ(loaded.GetSearchController(), nullptr);
    EXPECT_EQ(loaded.GetWholeDeviceFlag(), 0u);
}

TEST(CandidateRecord, DamagedSavedFormsThrowOrAreNormalised) {
    CSearchedPartitionInfo saved(512);
    MemoryStream stream;
    saved.Save(&stream);
    // A saved sector size of 0 would make every sector computation divide by zero.
    WriteLE32(stream.bytes.data() + 72, 0);
    CSearchedPartitionInfo loaded(4096);
    loaded.Load(&stream);
    EXPECT_EQ(loaded.GetSectorSize(), 512u);

    stream.bytes.resize(50);
    stream.pos = 0;
    try {
        loaded.Load(&stream);
        ADD_FAILURE() << "a short record must throw";
    } catch (const IRSException& e) {
        EXPECT_EQ(e.GetCode(), static_cast<u32>(kRSEndOfData));
    }
}

TEST(Int64HashTable, BucketsByRegionAndFindsEveryKey) {
    CInt64HashTable table;
    CRawFileInfo a = MakeFound(0x10000, 1), b = MakeFound(0x10000 + 4096ull * 0x10000, 2), c = MakeFound(5, 3);
    EXPECT_EQ(CInt64HashTable::BucketOf(a.startSector), CInt64HashTable::BucketOf(b.startSector));
    EXPECT_TRUE(table.Insert(a.startSector, &a));
    EXPECT_TRUE(table.Insert(b.startSector, &b));
    EXPECT_TRUE(table.Insert(c.startSector, &c));
    EXPECT_FALSE(table.Insert(a.startSector, &c));  // a key is filed once
    EXPECT_EQ(table.GetCount(), 3u);
    EXPECT_EQ(table.Lookup(a.startSector), &a);
    EXPECT_EQ(table.Lookup(b.startSector), &b);
    EXPECT_EQ(table.Lookup(c.startSector), &c);
    EXPECT_EQ(table.Lookup(0x10001), nullptr);
    EXPECT_EQ(table.Lookup(~u64(0)), nullptr);
    ASSERT_EQ(table.GetEntries().size(), 3u);
    EXPECT_EQ(table.GetEntries().front().second, &a);
    table.Clear();
    EXPECT_EQ(table.GetCount(), 0u);
    EXPECT_EQ(table.Lookup(a.startSector), nullptr);
}

TEST(FileTypeHint, ExtensionRules) {
    CFileTypeHint hint;
    EXPECT_TRUE(hint.InitFromAnsiName("PHOTO.JPG", 9, 10, 200));
    EXPECT_EQ(hint.GetFileType(), kJpg);
    EXPECT_EQ(hint.GetFirstCluster(), 10u);
    EXPECT_EQ(hint.GetRecordSector(), 200u);
    // Each refusal leaves the hint as it was.
    EXPECT_FALSE(hint.InitFromAnsiName("a.jpeg", 6, 1, 1));       // extension over 4 characters
    EXPECT_FALSE(hint.InitFromAnsiName(".jpg", 4, 1, 1));         // dot first
    EXPECT_FALSE(hint.InitFromAnsiName("ab", 2, 1, 1));           // too short
    EXPECT_FALSE(hint.InitFromAnsiName("noext", 5, 1, 1));
    EXPECT_FALSE(hint.InitFromAnsiName("x.zzz", 5, 1, 1));        // unknown
    EXPECT_FALSE(hint.InitFromAnsiName("x.nrw", 5, 1, 1));        // types after 77 are not hinted
    EXPECT_FALSE(hint.InitFromAnsiName("x.accdb", 7, 1, 1));
    EXPECT_FALSE(hint.InitFromAnsiName("x.mp3", 5, ~u64(0), 1));  // negative cluster
    EXPECT_FALSE(hint.InitFromAnsiName("x.mp3", 5, 1, ~u64(0)));  // negative sector
    EXPECT_FALSE(hint.InitFromAnsiName(nullptr, 5, 1, 1));
    EXPECT_EQ(hint.GetFileType(), kJpg);
    EXPECT_EQ(hint.GetFirstCluster(), 10u);
    // Only `length` characters count.
    EXPECT_FALSE(hint.InitFromAnsiName("SONG.MP3", 6, 1, 1));
    EXPECT_TRUE(hint.InitFromAnsiName("SONG.MP3\0garbage", 8, 1, 1));
    EXPECT_EQ(hint.GetFileType(), kMp3);
    EXPECT_EQ(CFileTypeHint::LookupExtension("Docx"), 73u);
    EXPECT_EQ(CFileTypeHint::LookupExtension("3ds"), 1u);
    EXPECT_EQ(CFileTypeHint::LookupExtension("raw"), 0u);

    const char16_t wide[] = u"Holiday.Jpg";
    EXPECT_TRUE(hint.InitFromWideName(wide, 11, 4, 5));
    EXPECT_EQ(hint.GetFileType(), kJpg);
    const char16_t accented[] = u"x.jp\u00E9";
    EXPECT_FALSE(hint.InitFromWideName(accented, 5, 4, 5));
}

TEST(FileTypeHint, CountsMatchesInsideTheCandidateOnly) {
    CInt64HashTable found;
    CRawFileInfo jpgAt1080 = MakeFound(1000 + 10 * 8, kJpg);
    CRawFileInfo mp3At1160 = MakeFound(1000 + 20 * 8, kMp3);
    CRawFileInfo jpgAt1400 = MakeFound(1000 + 50 * 8, kJpg);
    found.Insert(jpgAt1080.startSector, &jpgAt1080);
    found.Insert(mp3At1160.startSector, &mp3At1160);
    found.Insert(jpgAt1400.startSector, &jpgAt1400);

    CSearchedPartitionInfo candidate(512);
    candidate.SetPartitionStart(1000);
    candidate.SetTotalSectors(5000);
    candidate.SetSectorsPerCluster(8);

    CFileTypeHintList hints;
    ASSERT_TRUE(hints.AddFromAnsiName("BEFORE.JPG", 10, 10, 900));   // record before the start
    ASSERT_TRUE(hints.AddFromAnsiName("A.JPG", 5, 10, 1001));        // matches jpgAt1080
    ASSERT_TRUE(hints.AddFromAnsiName("B.JPG", 5, 20, 1002));        // an mp3 lies there
    ASSERT_TRUE(hints.AddFromAnsiName("C.MP3", 5, 20, 1003));        // matches mp3At1160
    ASSERT_TRUE(hints.AddFromAnsiName("D.JPG", 5, 999, 1004));       // data past the end
    ASSERT_TRUE(hints.AddFromAnsiName("E.JPG", 5, 1ull << 62, 1005));  // product overflows
    ASSERT_TRUE(hints.AddFromAnsiName("F.JPG", 5, 11, 1006));        // nothing found there
    ASSERT_TRUE(hints.AddFromAnsiName("END.JPG", 7, 50, 6000));      // at the end: stops
    ASSERT_TRUE(hints.AddFromAnsiName("LATE.JPG", 8, 50, 1007));     // never reached
    EXPECT_FALSE(hints.AddFromAnsiName("README", 6, 1, 1));
    EXPECT_EQ(hints.GetCount(), 9u);

    hints.CountRawTypeMatches(found, candidate);
    EXPECT_EQ(candidate.GetRawTypeMatches(), 2u);

    // A candidate whose end would pass 2^64 does not wrap around.
    CSearchedPartitionInfo huge(512);
    huge.SetPartitionStart(1000);
    huge.SetTotalSectors(~u64(0));
    huge.SetSectorsPerCluster(8);
    hints.CountRawTypeMatches(found, huge);
    EXPECT_EQ(huge.GetRawTypeMatches(), 4u);  // A, C, END and LATE

    hints.Clear();
    EXPECT_EQ(hints.GetCount(), 0u);
}

TEST(TextConvert, WideToAnsi) {
    EXPECT_EQ(WideToAnsiString(std::u16string()), "");
    EXPECT_EQ(WideToAnsiString(u"report.docx"), "report.docx");
    EXPECT_EQ(WideToAnsiString(u"r\u00E9sum\u00E9"), "r\xC3\xA9sum\xC3\xA9");
    const char16_t lone[] = {u'a', 0xD800, u'b'};
    EXPECT_EQ(WideToAnsiString(lone, 3), "a_b");
    EXPECT_EQ(WideToAnsiString(nullptr, 4), "");
}
