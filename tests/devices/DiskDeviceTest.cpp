// The disk device over images of the disk table: reads, the read policy and bad areas.
#include <cerrno>
#include <cstdio>
#include <fstream>
#include <memory>

#include "DiskDeviceTestSupport.h"
#include "devices/DiskDevice.h"
#include "devices/PartitionDevice.h"
#include "platform/Errors.h"

using namespace disktest;

namespace {

class DiskDeviceTest : public DiskTableTest {};

TEST_F(DiskDeviceTest, DiskTableListsImagesWithTheirSectorSizes) {
    UseDisks("/x/a.img:/x/sector4k.img@4096::/x/odd@name.img:/x/b.img@");
    const std::vector<DiskTableEntry> table = GetDiskTable();
    ASSERT_EQ(table.size(), 4u);
    EXPECT_EQ(table[0].path, "/x/a.img");
    EXPECT_EQ(table[0].imageSectorSize, 512u);
    EXPECT_TRUE(table[0].isImage);
    EXPECT_EQ(table[1].path, "/x/sector4k.img");
    EXPECT_EQ(table[1].imageSectorSize, 4096u);
    // A suffix that is not a sector size belongs to the file name.
    EXPECT_EQ(table[2].path, "/x/odd@name.img");
    EXPECT_EQ(table[2].imageSectorSize, 512u);
    EXPECT_EQ(table[3].path, "/x/b.img@");
}

TEST_F(DiskDeviceTest, ImageReadsReturnTheFileBytes) {
    const std::string path = testutil::FixturePath("mbr-disk.img");
    const std::vector<u8> file = ReadWholeFile(path);
    ASSERT_EQ(file.size(), 64u << 20);
    UseDisks(path);
    CDiskDevice disk(0);
    ASSERT_TRUE(disk.IsOpen());
    EXPECT_EQ(disk.GetDiskNumber(), 0);
    EXPECT_EQ(disk.GetSectorSize(), 512u);
    EXPECT_EQ(disk.GetTotalSectors(), file.size() / 512);
    EXPECT_FALSE(disk.IsDynamicDisk());
    DiskGeometry g {};
    ASSERT_TRUE(disk.GetGeometry(&g));
    EXPECT_EQ(g.bytesPerSector, 512u);
    EXPECT_LE(g.cylinders * g.tracksPerCylinder * g.sectorsPerTrack, disk.GetTotalSectors());

    // Through the bounce buffer (up to 4 MiB) and straight into the caller's buffer (larger).
    for (const auto& [first, count] : std::vector<std::pair<u64, u64>>{{0, 1}, {2047, 3}, {100, 8192}, {4000, 10241}}) {
        std::vector<u8> buf(count * 512, 0xCC);
        ASSERT_EQ(disk.Read(buf.data(), first, count), 1u) << first;
        EXPECT_EQ(0, std::memcmp(buf.data(), file.data() + first * 512, buf.size())) << first;
    }
    EXPECT_TRUE(disk.BadSectors().GetRanges().empty());
}

TEST_F(DiskDeviceTest, ImageLengthIsRoundedDownToWholeSectors) {
    testutil::TempDir dir;
    const std::string path = MakePatternImage(dir, "odd.img", 4096 * 10 + 100);
    UseDisks(path + "@4096");
    CDiskDevice disk(0);
    ASSERT_TRUE(disk.IsOpen());
    EXPECT_EQ(disk.GetSectorSize(), 4096u);
    EXPECT_EQ(disk.GetTotalSectors(), 10u);
    std::vector<u8> buf(4096);
    ASSERT_EQ(disk.Read(buf.data(), 9, 1), 1u);
    EXPECT_TRUE(MatchesPattern(buf.data(), 9 * 4096, 4096));
    // The partial sector past the end is not part of the disk.
    GetScanOptions().SetSkipBadSectors(0);
    EXPECT_EQ(disk.Read(buf.data(), 10, 1), 0u);
}

TEST_F(DiskDeviceTest, DiskNumbersOutsideTheTableCannotOpen) {
    const std::string path = testutil::FixturePath("fat12-small.img");
    std::string list;
    for (int i = 0; i < 22; ++i) list += (i ? ":" : "") + path;
    UseDisks(list);
    CDiskDevice d19(19);
    EXPECT_TRUE(d19.IsOpen());
    CDiskDevice d20(20);
    EXPECT_FALSE(d20.IsOpen());
    EXPECT_EQ(d20.Open(), 0u);
    EXPECT_EQ(d20.GetDiskNumber(), 20);
    CDiskDevice d21(21);
    EXPECT_FALSE(d21.IsOpen());
    EXPECT_EQ(d21.GetDiskNumber(), -1);
    CDiskDevice negative(-1);
    EXPECT_FALSE(negative.IsOpen());
    EXPECT_EQ(negative.GetDiskNumber(), -1);

    // A disk that is not open has no size, caches nothing, and reads fail.
    UseDisks(path + ":/nonexistent/missing.img");
    CDiskDevice missing(1);
    EXPECT_FALSE(missing.IsOpen());
    EXPECT_EQ(missing.GetSectorSize(), 0u);
    EXPECT_EQ(missing.GetTotalSectors(), 0u);
    u8 sector[512];
    EXPECT_EQ(missing.Read(sector, 0, 1), 0u);
    // Once the disk is there, the next call asks again.
    UseDisks(path + ":" + path);
    ASSERT_EQ(missing.Open(), 1u);
    EXPECT_EQ(missing.GetTotalSectors(), 2880u);
}

TEST_F(DiskDeviceTest, ReadOfFourGibibytesIsRefusedWithoutTouchingTheDisk) {
    UseDisks(testutil::FixturePath("fat12-small.img"));
    CDiskDevice disk(0);
    ASSERT_TRUE(disk.IsOpen());
    LogMark mark;
    ResetDiskReadCount();
    u8 sentinel[512];
    std::memset(sentinel, 0xAB, sizeof(sentinel));
    const u64 limit = (u64(1) << 32) / 512;
    EXPECT_EQ(disk.Read(sentinel, 0, limit), 0u);
    EXPECT_EQ(disk.Read(sentinel, 0, u64(-5)), 0u);
    EXPECT_EQ(GetDiskReadCount(), 0u);
    EXPECT_EQ(sentinel[0], 0xAB);
    EXPECT_NE(mark.Since().find("Pxv:Read sector parameter error = 8388608"), std::string::npos);
    EXPECT_TRUE(disk.BadSectors().GetRanges().empty());
}

TEST_F(DiskDeviceTest, ShortReadAtTheEndOfTheDisk) {
    testutil::TempDir dir;
    const std::string path = MakePatternImage(dir, "small.img", 512 * 64);
    UseDisks(path);
    CDiskDevice disk(0);
    ASSERT_EQ(disk.GetTotalSectors(), 64u);
    std::vector<u8> buf(512 * 4, 0xCC);

    GetScanOptions().SetSkipBadSectors(0);
    EXPECT_EQ(disk.Read(buf.data(), 62, 4), 0u);
    EXPECT_TRUE(disk.BadSectors().GetRanges().empty());

    // The end of the disk is no bad area, also with skipping on: the read fails, gives the
    // sectors that are there with zeros after them, and leaves the sectors before the end
    // readable (as a carved file that ends there must be).
    GetScanOptions().SetSkipBadSectors(1);
    std::fill(buf.begin(), buf.end(), 0xCC);
    EXPECT_EQ(disk.Read(buf.data(), 62, 4), 0u);
    EXPECT_TRUE(MatchesPattern(buf.data(), 62 * 512, 1024));
    EXPECT_TRUE(AllZero(buf.data() + 1024, 1024));
    EXPECT_TRUE(disk.BadSectors().GetRanges().empty());
    std::fill(buf.begin(), buf.end(), 0xCC);
    EXPECT_EQ(disk.Read(buf.data(), 60, 4), 1u);
    EXPECT_TRUE(MatchesPattern(buf.data(), 60 * 512, 2048));
    EXPECT_EQ(disk.Read(buf.data(), 64, 1), 0u);
    EXPECT_TRUE(disk.BadSectors().GetRanges().empty());
}

// A disk stays the disk it was enumerated as: when disks come or go and its number names another
// one, opening it again (as the not-ready retry does) and describing it still reach the same
// image, and an image replaced under its path is refused rather than read in its place.
TEST_F(DiskDeviceTest, ADiskKeepsItsIdentityWhenTheTableChanges) {
    testutil::TempDir dir;
    auto image = [&](const std::string& name, u8 fill) {
        const std::string path = dir.File(name);
        std::ofstream(path, std::ios::binary) << std::string(512 * 8, static_cast<char>(fill));
        return path;
    };
    const std::string a = image("a.img", 0xA1), b = image("b.img", 0xB2), c = image("c.img", 0xC3);
    UseDisks(a + ":" + b);
    const std::vector<DiskTableEntry> enumerated = GetDiskTable();
    ASSERT_EQ(enumerated.size(), 2u);
    CDiskDevice disk(1);
    ASSERT_TRUE(disk.IsOpen());
    EXPECT_EQ(disk.GetPath(), b);
    u8 sector[512] = {};
    auto firstByte = [&] {
        sector[0] = 0;
        return disk.Read(sector, 0, 1) == 1 ? sector[0] : 0;
    };
    EXPECT_EQ(firstByte(), 0xB2);

    // Disk 0 went away and a new disk came after: number 1 now lists c.img.
    UseDisks(b + ":" + c);
    disk.Close();
    ASSERT_EQ(disk.Open(), 1u);
    EXPECT_EQ(firstByte(), 0xB2);
    DiskDescription description{};
    ASSERT_TRUE(disk.GetDiskDescription(&description));
    EXPECT_STREQ(description.serialNumber, "b.img");
    // A device made from the entry the enumeration read opens that disk, not today's number 0.
    CDiskDevice fromEntry(0, enumerated[0]);
    ASSERT_TRUE(fromEntry.IsOpen());
    EXPECT_EQ(fromEntry.Read(sector, 0, 1), 1u);
    EXPECT_EQ(sector[0], 0xA1);

    // Another file now answers to b.img's path: it is not the disk that was enumerated.
    ASSERT_EQ(std::rename(c.c_str(), b.c_str()), 0);
    disk.Close();
    EXPECT_EQ(disk.Open(), 0u);
    EXPECT_FALSE(disk.IsOpen());
    EXPECT_EQ(GetLastErrorCode(), win32::kDeviceNotConnected);
}

// Fixture for reads that fail in a chosen area of a 64 MiB disk.
class BadAreaTest : public DiskTableTest {
protected:
    void SetUp() override {
        DiskTableTest::SetUp();
        path_ = testutil::FixturePath("mbr-disk.img");
        file_ = ReadWholeFile(path_);
        UseDisks(path_);
        disk_ = std::make_unique<CDiskDevice>(0);
        ASSERT_TRUE(disk_->IsOpen());
        ASSERT_EQ(disk_->GetTotalSectors(), 131072u);
    }
    static void FailSectors(u64 first, u64 end, int err, int times = -1) {
        DiskReadFault f;
        f.firstByte = first * 512;
        f.endByte = end * 512;
        f.errnoValue = err;
        f.remaining = times;
        AddDiskReadFault(f);
    }
    bool ReadMatches(u64 first, u64 count) {
        std::vector<u8> buf(count * 512, 0xCC);
        return disk_->Read(buf.data(), first, count) == 1 &&
               std::memcmp(buf.data(), file_.data() + first * 512, buf.size()) == 0;
    }

    std::string path_;
    std::vector<u8> file_;
    std::unique_ptr<CDiskDevice> disk_;
};

TEST_F(BadAreaTest, FailingReadWithSkipOnGivesZerosAndTheProbedRange) {
    // Bad from sector 1000 for 30 units: the probe at 50 units reads, the one at 25 fails.
    FailSectors(1000, 1000 + 30 * 2048, EIO);
    LogMark mark;
    std::vector<u8> buf(512 * 8, 0xCC);
    EXPECT_EQ(disk_->Read(buf.data(), 1000, 8), 1u);
    EXPECT_TRUE(AllZero(buf.data(), buf.size()));
    std::vector<BadSectorRange> ranges = disk_->BadSectors().GetRanges();
    ASSERT_EQ(ranges.size(), 1u);
    EXPECT_EQ(ranges[0].firstSector, 1000u);
    EXPECT_EQ(ranges[0].endSector, 1000u + 25 * 2048);
    const std::string log = mark.Since();
    EXPECT_NE(log.find("UpdateBadSector start = 1000"), std::string::npos);
    EXPECT_NE(log.find("UpdateBadSector nBadSectorUnitCount = 50"), std::string::npos);
    EXPECT_NE(log.find("UpdateBadSector nBadSectorUnitCount = 25"), std::string::npos);

    // A one-sector fault: every probe reads and the range is the minimum of 10 units.
    ClearDiskReadFaults();
    FailSectors(500, 501, EIO);
    EXPECT_EQ(disk_->Read(buf.data(), 500, 1), 1u);
    ranges = disk_->BadSectors().GetRanges();
    ASSERT_EQ(ranges.size(), 2u);
    EXPECT_EQ(ranges[0].firstSector, 500u);
    EXPECT_EQ(ranges[0].endSector, 500u + 10 * 2048);

    // Reads outside the recorded areas still return the disk's bytes; right beside one, nothing
    // is unread.
    ClearDiskReadFaults();
    EXPECT_TRUE(ReadMatches(0, 64));
    EXPECT_TRUE(ReadMatches(1000u + 25 * 2048 + 1, 16));
    EXPECT_FALSE(disk_->HasUnreadSectors(500 - 16, 16));
}

TEST_F(BadAreaTest, FailingReadWithSkipOffFailsAndRecordsNothing) {
    GetScanOptions().SetSkipBadSectors(0);
    FailSectors(2048, 2049, EIO);
    LogMark mark;
    std::vector<u8> buf(512 * 4);
    ASSERT_TRUE(ReadMatches(2090, 4));
    // The failed read leaves zeros, not the bytes of the read before it.
    EXPECT_EQ(disk_->Read(buf.data(), 2046, 4), 0u);
    EXPECT_TRUE(AllZero(buf.data(), buf.size()));
    EXPECT_TRUE(disk_->BadSectors().GetRanges().empty());
    EXPECT_NE(mark.Since().find("ReadSector find bad sector , not ignored"), std::string::npos);
    EXPECT_FALSE(ReadMatches(2044, 8));
    ClearDiskReadFaults();
    EXPECT_TRUE(ReadMatches(2044, 8));
}

TEST_F(BadAreaTest, NotReadyReopensAndRetriesBeforeTreatingTheAreaAsBad) {
    for (const u32 skip : {1u, 0u}) {
        GetScanOptions().SetSkipBadSectors(skip);
        ClearDiskReadFaults();
        FailSectors(5000, 5001, ENOMEDIUM, 1);
        LogMark mark;
        EXPECT_TRUE(ReadMatches(4990, 20)) << skip;
        EXPECT_TRUE(disk_->IsOpen());
        EXPECT_TRUE(disk_->BadSectors().GetRanges().empty()) << skip;
        EXPECT_NE(mark.Since().find("not ready ,we will try to read again"), std::string::npos);
    }
}

TEST_F(BadAreaTest, DiskThatStaysNotReady) {
    // Skip off: the read fails after its retries, and ends.
    GetScanOptions().SetSkipBadSectors(0);
    FailSectors(0, 131072, EBUSY);
    std::vector<u8> buf(512 * 2, 0xCC);
    EXPECT_EQ(disk_->Read(buf.data(), 7000, 2), 0u);
    EXPECT_TRUE(disk_->BadSectors().GetRanges().empty());

    // Skip on: once the retries are spent the area counts as bad and reads as zeros.
    ClearDiskReadFaults();
    FailSectors(7000, 7002, EBUSY);
    GetScanOptions().SetSkipBadSectors(1);
    EXPECT_EQ(disk_->Read(buf.data(), 7000, 2), 1u);
    EXPECT_TRUE(AllZero(buf.data(), buf.size()));
    const std::vector<BadSectorRange> ranges = disk_->BadSectors().GetRanges();
    ASSERT_EQ(ranges.size(), 1u);
    EXPECT_EQ(ranges[0].firstSector, 7000u);
    ClearDiskReadFaults();
    EXPECT_TRUE(ReadMatches(0, 16));
    // The zeros of the bad area are no disk's bytes, and the disk says so, also through a
    // partition of it; nor are sectors past the end; with skipping off such a read fails itself.
    CBasicPartitionDevice partition(disk_.get(), 6000, 2000);
    EXPECT_TRUE(partition.HasUnreadSectors(1000, 1));
    EXPECT_FALSE(partition.HasUnreadSectors(0, 16));
    EXPECT_TRUE(partition.HasUnreadSectors(1999, 2));
    GetScanOptions().SetSkipBadSectors(0);
    EXPECT_FALSE(disk_->HasUnreadSectors(7000, 2));
}

TEST(BadSectorMapTest, RangesHoldTheSectorsBeforeTheirEnd) {
    CBadSectorMap map;
    EXPECT_FALSE(map.IsInBadRange(0, 100));
    EXPECT_EQ(map.AddBadRange(100, 200), 0u);
    EXPECT_FALSE(map.IsInBadRange(200, 300));  // begins at the range's end
    EXPECT_FALSE(map.IsInBadRange(50, 100));   // ends at its start
    EXPECT_FALSE(map.IsInBadRange(150, 150));  // holds no sector
    EXPECT_TRUE(map.IsInBadRange(199, 300));
    EXPECT_TRUE(map.IsInBadRange(50, 101));
    EXPECT_TRUE(map.IsInBadRange(120, 130));
    EXPECT_TRUE(map.IsInBadRange(0, 1000));
    EXPECT_FALSE(map.IsInBadRange(0, 99));
    // A range whose start is already known keeps the first one recorded.
    EXPECT_EQ(map.AddBadRange(100, 5000), 0u);
    EXPECT_FALSE(map.IsInBadRange(201, 300));
    EXPECT_EQ(map.AddBadRange(10, 20), 0u);
    EXPECT_TRUE(map.IsInBadRange(19, 30));
    EXPECT_FALSE(map.IsInBadRange(21, 99));
    map.ClearBadRanges();
    EXPECT_FALSE(map.IsInBadRange(0, 1000));
    EXPECT_TRUE(map.GetRanges().empty());
}

}  // namespace
