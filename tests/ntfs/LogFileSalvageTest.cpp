// The journal salvage over synthetic volumes: record images joined across pages, records that
// span too far, the log's wrap-around, undo data laid back over a deleted record, and damage.
#include <gtest/gtest.h>

#include <memory>

#include "NtfsLogWriter.h"
#include "QuickSearchTestSupport.h"
#include "TestUtil.h"
#include "engine/DataRunList.h"
#include "fs/ntfs/NTFSFileProperties.h"
#include "fs/ntfs/NTFSLogFile.h"

using namespace quicktest;
using ntfstest::RecordBuilder;
using namespace ntfslogtest;

namespace {

constexpr u8 kSpc = 8;           // 4 KiB clusters on 512-byte sectors
constexpr u64 kMFTCluster = 4;
constexpr u64 kLogCluster = 16;  // one page per cluster

// A file of 10000 bytes in 3 clusters at cluster 100, as the journal saw it.
std::vector<u8> FileImage(const std::u16string& name, u64 parent = 5, bool folder = false, u64 base = 0) {
    RecordBuilder r;
    r.Number(30).InUse(true).BaseReference(base);
    if (folder) r.Directory();
    r.StandardInformation(0x01D5000000000000ull, folder ? 0x10 : 0x20);
    r.FileName(parent, name, 1, 10000, folder ? 0x10000000 : 0);
    r.NonResident(0x80, {0x21, 0x03, 0x64, 0x00, 0x00}, 0, 2, 12288, 10000, 10000);
    return r.Build(false);
}

// A volume with an $MFT of four records and a journal of `pages` pages.
struct LogVolume {
    explicit LogVolume(u32 pages, std::vector<u8> logRuns = {})
        : device(512, 8192), mftRuns{NTFSRun{kMFTCluster, 0, 4}}, pageCount(pages) {
        if (logRuns.empty()) logRuns = {0x11, u8(pages), u8(kLogCluster), 0x00};
        RecordBuilder mft;
        mft.Number(0).StandardInformation(0, 6);
        mft.FileName(5, u"$MFT");
        RecordBuilder log;
        log.Number(2).StandardInformation(0, 6);
        log.FileName(5, u"$LogFile");
        log.NonResident(0x80, logRuns, 0, pages - 1, u64(pages) * kPage,
                        u64(pages) * kPage, u64(pages) * kPage);
        device.Put(kMFTCluster * kPage, mft.Build());
        device.Put(kMFTCluster * kPage + 2048, log.Build());
    }
    void Write(const LogWriter& writer) { writer.WriteTo(device, kLogCluster * kPage); }
    bool OpenAndParse(CNTFSLogFileParser& parser) {
        if (!parser.Open(&device, &mftRuns, kSpc)) return false;
        return parser.Parse();
    }

    MemoryDevice device;
    NTFSRunList mftRuns;
    u32 pageCount;
};

// The properties of a deleted record that lost its runs, with the record itself.
struct DeletedFile {
    DeletedFile(const std::u16string& name, u32 number, u16 attributes = 0x20) {
        RecordBuilder r;
        r.Number(number).InUse(false);
        r.StandardInformation(0x01D5000000000000ull, attributes);
        r.FileName(5, name, 1, 0);
        dataOffset = r.NonResident(0x80, {0x00}, 0, 0, 0, 0, 0);
        bytes = r.Build();
        EXPECT_TRUE(record.Init(bytes.data(), u32(bytes.size()), 0, nullptr, nullptr));
        properties = MakeNTFSFileProperties(0, record, kSpc * 512, &parent).release();
        EXPECT_NE(properties, nullptr);
        if (properties != nullptr) {
            EXPECT_EQ(properties->GetSize(), 0u);
        }
    }
    ~DeletedFile() {
        if (properties) properties->Release();
    }
    std::vector<DataRunExtent> Runs() const {
        std::vector<DataRunExtent> out;
        std::unique_ptr<IDataRunList> list(properties->CreateDataRunList());
        if (list) {
            for (size_t i = 0; i < list->GetExtentCount(); ++i) out.push_back(list->GetExtent(i));
        }
        return out;
    }
    std::vector<u8> bytes;
    CNTFSFileRecord record;
    CNTFSFileProperties* properties = nullptr;
    u64 parent = ~u64(0);
    u32 dataOffset = 0;
};

TEST(LogFileSalvage, RecordImageGivesADeletedFileItsSizeAndRuns) {
    LogVolume volume(8);
    LogWriter w(8);
    w.Append(0x100, Filler(0x100));
    w.Append(0x101, ImageRecord(0x101, FileImage(u"lost.bin", 77)));
    // Images never kept among the files': a folder (kept apart), an extension record, a file of
    // size 0, and one whose data lived inside its record.
    w.Append(0x102, ImageRecord(0x102, FileImage(u"folder", 5, true)));
    w.Append(0x103, ImageRecord(0x103, FileImage(u"extension", 5, false, 30)));
    RecordBuilder empty;
    empty.Number(31).StandardInformation(0, 0x20);
    empty.FileName(5, u"empty.bin", 1, 0);
    empty.NonResident(0x80, {0x00}, 0, 0, 0, 0, 0);
    w.Append(0x104, ImageRecord(0x104, empty.Build(false)));
    RecordBuilder resident;
    resident.Number(32).StandardInformation(0, 0x20);
    resident.FileName(5, u"small.txt", 1, 5);
    resident.Resident(0x80, {'h', 'e', 'l', 'l', 'o'});
    w.Append(0x105, ImageRecord(0x105, resident.Build(false)));
    volume.Write(w);

    CNTFSLogFileParser parser;
    ASSERT_TRUE(volume.OpenAndParse(parser));
    EXPECT_EQ(parser.GetPageCount(), 8u);
    EXPECT_EQ(parser.GetRecordImageCount(), 1u);
    EXPECT_EQ(parser.GetLogRecordCount(), 6u);
    // The folder's name while its record had that sequence number.
    ASSERT_NE(parser.FindFolder(30, 1), nullptr);
    EXPECT_STREQ(parser.FindFolder(30, 1)->properties->GetName(), "folder");
    EXPECT_EQ(parser.FindFolder(30, 2), nullptr);

    // The name decides even when the folder differs.
    DeletedFile file(u"lost.bin", 30);
    ASSERT_TRUE(parser.ApplyToRecord(file.record.GetRecord(), file.properties, file.parent, nullptr));
    EXPECT_EQ(file.properties->GetSize(), 10000u);
    EXPECT_EQ(file.Runs(), (std::vector<DataRunExtent>{{100, 3}}));

    // Nothing in the journal for another name: runs only from the record, which has none.
    DeletedFile other(u"other.bin", 33);
    EXPECT_TRUE(parser.ApplyToRecord(other.record.GetRecord(), other.properties, other.parent, nullptr));
    EXPECT_EQ(other.properties->GetSize(), 0u);
    // A deleted plain folder without an image is left alone.
    DeletedFile folder(u"somewhere", 34, 0x10);
    folder.properties->SetAttributes(0x10);
    EXPECT_FALSE(parser.ApplyToRecord(folder.record.GetRecord(), folder.properties, folder.parent, nullptr));
}

TEST(LogFileSalvage, RecordsAreJoinedAcrossPagesAndAroundTheLogsEnd) {
    LogVolume volume(8);
    LogWriter w(8);
    // An image that begins near the end of page 4 (at 3504) and ends on page 5.
    w.Append(0x200, Filler(0x200));
    w.Append(0x1FF, Filler(0x1FF, 3504 - 152 - 48));
    w.Append(0x201, ImageRecord(0x201, FileImage(u"joined.bin")));
    w.Append(0x202, Filler(0x202));
    // A record of 4048 bytes: joined, but too long to be stored.
    w.Append(0x203, LogRecord(0x203, std::vector<u8>(4000, 0)));
    w.Append(0x204, Filler(0x204));
    volume.Write(w);

    CNTFSLogFileParser parser;
    ASSERT_TRUE(volume.OpenAndParse(parser));
    EXPECT_EQ(parser.GetRecordImageCount(), 1u);
    EXPECT_EQ(parser.GetLogRecordCount(), 5u);  // all but the long one

    // The log's last page ends with an image that goes on at page 4.
    LogVolume wrapped(8);
    LogWriter w2(8);
    w2.Seek(7, 64);
    w2.Append(0x2FF, Filler(0x2FF, 3600 - 64 - 48));
    w2.Append(0x300, ImageRecord(0x300, FileImage(u"wrapped.bin")));
    w2.Append(0x301, Filler(0x301));
    wrapped.Write(w2);
    CNTFSLogFileParser parser2;
    ASSERT_TRUE(wrapped.OpenAndParse(parser2));
    EXPECT_EQ(parser2.GetRecordImageCount(), 1u);
    DeletedFile file(u"wrapped.bin", 30);
    ASSERT_TRUE(parser2.ApplyToRecord(file.record.GetRecord(), file.properties, file.parent, nullptr));
    EXPECT_EQ(file.properties->GetSize(), 10000u);
}

TEST(LogFileSalvage, RecordSpreadOverThreePagesIsDropped) {
    LogVolume volume(8);
    LogWriter w(8);
    w.Append(0x400, Filler(0x400));
    // A FILE0 body that needs three pages, then an image on the third page.
    std::vector<u8> big(40, 0);
    Put(big, 4, 40, 2);
    std::vector<u8> image = FileImage(u"dropped.bin");
    big.insert(big.end(), image.begin(), image.end());
    big.resize(9000, 0);
    w.Append(0x401, LogRecord(0x401, big));
    w.Append(0x402, ImageRecord(0x402, FileImage(u"after.bin")));
    volume.Write(w);

    CNTFSLogFileParser parser;
    ASSERT_TRUE(volume.OpenAndParse(parser));
    EXPECT_EQ(parser.GetRecordImageCount(), 1u);
    EXPECT_EQ(parser.GetLogRecordCount(), 2u);
    DeletedFile dropped(u"dropped.bin", 30);
    parser.ApplyToRecord(dropped.record.GetRecord(), dropped.properties, dropped.parent, nullptr);
    EXPECT_EQ(dropped.properties->GetSize(), 0u);
    DeletedFile after(u"after.bin", 30);
    ASSERT_TRUE(parser.ApplyToRecord(after.record.GetRecord(), after.properties, after.parent, nullptr));
    EXPECT_EQ(after.properties->GetSize(), 10000u);
}

TEST(LogFileSalvage, UndoDataIsLaidBackOverTheDeletedRecord) {
    EXPECT_EQ(CNTFSLogFileParser::TargetRecordNumber(5, 4, 8), 22u);
    EXPECT_EQ(CNTFSLogFileParser::TargetRecordNumber(5, 3, 8), 19u);
    EXPECT_EQ(CNTFSLogFileParser::TargetRecordNumber(40, 0, 2), 40u);

    DeletedFile probe(u"gone.dat", 40);
    const u16 pairsOffset = ReadLE16(probe.bytes.data() + probe.dataOffset + 32);
    // The mapping pairs the deletion cleared: 5 clusters at cluster 200.
    const std::vector<u8> pairs = {0x21, 0x05, 0xC8, 0x00, 0x00, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    LogVolume volume(8);
    LogWriter w(8);
    w.Append(0x500, UndoRecord(0x500, u16(probe.dataOffset), pairsOffset, 0, 10, pairs));
    // Undo data that points past its own record is never copied.
    {
        std::vector<u8> bad = UndoRecord(0x502, u16(probe.dataOffset), 8, 0, 10, std::vector<u8>(12, 0xEE));
        Put(bad, 48 + 8, 0xFFF0, 2);  // undo offset far past the record
        w.Append(0x502, bad);
    }
    volume.Write(w);
    CNTFSLogFileParser parser;
    ASSERT_TRUE(volume.OpenAndParse(parser));
    EXPECT_EQ(parser.GetRecordImageCount(), 0u);

    DeletedFile file(u"gone.dat", 40);
    ASSERT_TRUE(parser.ApplyToRecord(file.record.GetRecord(), file.properties, file.parent, nullptr));
    EXPECT_EQ(file.Runs(), (std::vector<DataRunExtent>{{200, 5}}));
    EXPECT_EQ(file.properties->GetSize(), 5u * kSpc * 512);

    // For a compressed file undo data of 24 bytes or less is not trusted.
    DeletedFile compressed(u"gone.dat", 40);
    compressed.properties->SetAttributes(0x20 | 0x800);
    EXPECT_TRUE(parser.ApplyToRecord(compressed.record.GetRecord(), compressed.properties, compressed.parent,
                                     nullptr));
    EXPECT_EQ(compressed.properties->GetSize(), 0u);
}

TEST(LogFileSalvage, DamagedJournalNeverReadsOutOfBounds) {
    LogVolume volume(8);
    LogWriter w(8);
    // A client length of nearly 4 GiB, a record whose length runs past the page, a FILE0 body
    // shorter than its header, then a sound image.
    std::vector<u8> huge = Filler(0x600);
    Put(huge, 24, 0xFFFFFFF0u, 4);
    w.Append(0x600, huge);
    volume.Write(w);
    LogWriter w2(8);
    w2.Seek(5, 64);
    std::vector<u8> shortImage = ImageRecord(0x700, FileImage(u"short.bin"));
    shortImage.resize(48 + 40 + 100);
    Put(shortImage, 24, 40 + 100, 4);
    w2.Append(0x700, shortImage);
    w2.Append(0x701, ImageRecord(0x701, FileImage(u"sound.bin")));
    LogVolume both(8);
    both.Write(w2);
    // Page 4 of the first volume goes in front of the second's pages 5 onwards.
    std::vector<u8> page4(volume.device.data.begin() + long((kLogCluster + 4) * kPage),
                          volume.device.data.begin() + long((kLogCluster + 5) * kPage));
    both.device.Put((kLogCluster + 4) * kPage, page4);

    CNTFSLogFileParser parser;
    ASSERT_TRUE(both.OpenAndParse(parser));
    EXPECT_EQ(parser.GetRecordImageCount(), 1u);
    // Garbage pages: a run list that names clusters past the device and pages of noise.
    LogVolume noise(8);
    for (u64 i = 0; i < 8 * kPage; ++i) noise.device.data[kLogCluster * kPage + i] = u8(i * 131 + 7);
    for (u32 p = 0; p < 8; ++p) std::copy_n("RCRD", 4, noise.device.data.begin() + long((kLogCluster + p) * kPage));
    CNTFSLogFileParser parser2;
    EXPECT_TRUE(noise.OpenAndParse(parser2));
    DeletedFile file(u"x.bin", 30);
    parser2.ApplyToRecord(file.record.GetRecord(), file.properties, file.parent, nullptr);

    // Journals whose runs lie past the device, or claim 2^31 clusters: only what the device
    // holds is read.
    for (const std::vector<u8>& runs : {std::vector<u8>{0x31, 0x08, 0xFF, 0xFF, 0x7F, 0x00},
                                        std::vector<u8>{0x14, 0xFF, 0xFF, 0xFF, 0x7F, 0x10, 0x00}}) {
        LogVolume far(8, runs);
        CNTFSLogFileParser p;
        ASSERT_TRUE(far.OpenAndParse(p));
        EXPECT_LE(p.GetPageCount() * kPage, far.device.data.size());
        EXPECT_EQ(p.GetRecordImageCount(), 0u);
    }
}

TEST(LogFileSalvage, OpenFailsCleanly) {
    CNTFSLogFileParser parser;
    LogVolume volume(8);
    EXPECT_FALSE(parser.Open(nullptr, &volume.mftRuns, kSpc));
    EXPECT_FALSE(parser.Open(&volume.device, nullptr, kSpc));
    NTFSRunList none;
    EXPECT_FALSE(parser.Open(&volume.device, &none, kSpc));
    // Record 2 is not $LogFile.
    NTFSRunList elsewhere{NTFSRun{200, 0, 4}};
    EXPECT_FALSE(parser.Open(&volume.device, &elsewhere, kSpc));
    EXPECT_TRUE(parser.Parse());
    EXPECT_EQ(parser.GetRecordImageCount(), 0u);
    DeletedFile file(u"a.bin", 30);
    EXPECT_TRUE(parser.ApplyToRecord(file.record.GetRecord(), file.properties, file.parent, nullptr));
    EXPECT_EQ(file.properties->GetSize(), 0u);
}

TEST(LogFileSalvage, FixtureJournalsOpen) {
    for (const VolumeCase& c : {VolumeCase{"ntfs-basic.img", "", 512, 1, 0, 0}, VolumeCase{"sector4k.img", "", 4096, 1, 0, 0},
                                VolumeCase{"mbr-disk.img", "", 512, 5, 77824, 24576}}) {
        SCOPED_TRACE(c.image);
        VolumeDevice device(testutil::FixturePath(c.image), c);
        testutil::RecordingBuilder builder;
        CountingProgress progress;
        CNTFSQuickSearch search;
        search.SetDirectoryTreeBuilder(&builder);
        ASSERT_EQ(search.Search(device.volume.get(), &progress), 0u);
        EXPECT_TRUE(search.GetLogFileParser().IsOpened());
        EXPECT_TRUE(search.GetLogFileParser().IsParsed());
        EXPECT_GT(search.GetLogFileParser().GetPageCount(), 4u);

        // The same journal found through the whole disk with the partition's start.
        CNTFSLogFileParser parser;
        EXPECT_TRUE(parser.Open(&device.image, &search.GetMFTRuns(), builder.roots[0].sectorsPerCluster, c.start));
        EXPECT_EQ(parser.GetPageCount(), search.GetLogFileParser().GetPageCount());
    }
}

TEST(LogFilePages, FixupsNeedTheWholeUpdateSequence) {
    std::vector<u8> page(kPage, 0);
    std::copy_n("RCRD", 4, page.begin());
    Put(page, 4, 40, 2);
    Put(page, 6, 9, 2);
    Put(page, 40, 0x0909, 2);
    for (u32 i = 1; i <= 8; ++i) {
        Put(page, 40 + 2 * i, 0x1100 + i, 2);
        Put(page, i * 512 - 2, 0x0909, 2);
    }
    std::vector<u8> broken = page;
    Put(broken, 5 * 512 - 2, 0x0808, 2);
    EXPECT_FALSE(IsValidLogPage(broken.data(), kPage));
    EXPECT_FALSE(ApplyLogPageFixups(broken.data(), kPage));
    EXPECT_FALSE(IsValidLogPage(page.data(), kPage - 1));
    ASSERT_TRUE(ApplyLogPageFixups(page.data(), kPage));
    for (u32 i = 1; i <= 8; ++i) EXPECT_EQ(ReadLE16(page.data() + i * 512 - 2), 0x1100 + i);
}

}  // namespace
