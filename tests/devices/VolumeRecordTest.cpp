#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "TestUtil.h"
#include "devices/VolumeRecord.h"
#include "platform/Mounts.h"

namespace fs = std::filesystem;

TEST(VolumeRecordLayout, StoredFieldsSitAtTheirOffsets) {
    VolumeRecord r;
    int deviceStandIn = 0, diskA = 0, diskB = 0;
    r.device = reinterpret_cast<IStorageDevice*>(&deviceStandIn);
    r.kind = kVolumeKindDynamic;
    r.fsCode = kFsNtfs;
    r.driveLetter = 'E';
    r.SetLabel("Data volume");
    r.usb = 1;
    ASSERT_TRUE(r.AddExtent(2048, 40960, reinterpret_cast<CDiskDevice*>(&diskA)));
    ASSERT_TRUE(r.AddExtent(0x123456789ull, 7, reinterpret_cast<CDiskDevice*>(&diskB)));
    r.SetDiskText("ACME  Disk  USB Device");

    u8 stored[kVolumeRecordSize];
    StoreVolumeRecord(r, stored);
    EXPECT_EQ(ReadLE32(stored + 0), 0u);
    EXPECT_NE(ReadLE32(stored + 4), 0u);
    EXPECT_EQ(ReadLE32(stored + 8), 1u);
    EXPECT_EQ(ReadLE32(stored + 12), 3u);
    EXPECT_EQ(stored[16], 'E');
    EXPECT_STREQ(reinterpret_cast<const char*>(stored + 17), "Data volume");
    EXPECT_EQ(ReadLE32(stored + 117), 0u);
    EXPECT_EQ(ReadLE32(stored + 121), 1u);
    EXPECT_EQ(ReadLE64(stored + 125), 2048u);
    EXPECT_EQ(ReadLE64(stored + 133), 40960u);
    EXPECT_NE(ReadLE32(stored + 141), 0u);
    EXPECT_EQ(ReadLE64(stored + 145), 0x123456789ull);
    EXPECT_EQ(ReadLE32(stored + 125 + 2 * 20 + 16), 0u);  // the list ends at the third extent
    EXPECT_STREQ(reinterpret_cast<const char*>(stored + 765), "ACME  Disk  USB Device");

    VolumeRecord back;
    ASSERT_TRUE(LoadVolumeRecord(stored, sizeof(stored), &back));
    EXPECT_EQ(back.device, nullptr);
    EXPECT_EQ(back.kind, 1u);
    EXPECT_EQ(back.fsCode, 3u);
    EXPECT_EQ(back.driveLetter, 'E');
    EXPECT_STREQ(back.label, "Data volume");
    EXPECT_EQ(back.ExtentCount(), 2u);
    EXPECT_EQ(back.extents[1].firstSector, 0x123456789ull);
    EXPECT_STREQ(back.diskText, "ACME  Disk  USB Device");
    EXPECT_FALSE(LoadVolumeRecord(stored, kVolumeRecordSize - 1, &back));
}

TEST(VolumeRecordLayout, ImageRecordsKeepTheirIndexPathAndFullExtentTablesCountAsNone) {
    VolumeRecord image;
    image.source = 1;
    std::strcpy(image.imagePath, "/data/backup/disk.edf");
    u8 stored[kVolumeRecordSize];
    StoreVolumeRecord(image, stored);
    EXPECT_STREQ(reinterpret_cast<const char*>(stored + 280), "/data/backup/disk.edf");
    VolumeRecord back;
    ASSERT_TRUE(LoadVolumeRecord(stored, sizeof(stored), &back));
    EXPECT_STREQ(back.imagePath, "/data/backup/disk.edf");

    // A label that fills the field is cut so that the stored text stays terminated.
    VolumeRecord full;
    std::string longLabel(150, 'x');
    full.SetLabel(longLabel.c_str());
    int disk = 0;
    for (u32 i = 0; i < kVolumeMaxExtents; ++i) full.AddExtent(i, 1, reinterpret_cast<CDiskDevice*>(&disk));
    EXPECT_FALSE(full.AddExtent(99, 1, reinterpret_cast<CDiskDevice*>(&disk)));
    EXPECT_EQ(full.ExtentCount(), 0u);
    StoreVolumeRecord(full, stored);
    EXPECT_EQ(stored[17 + 99], 0);
    EXPECT_EQ(std::strlen(reinterpret_cast<const char*>(stored + 17)), 99u);
}

TEST(VolumeMounts, MountInfoLinesWithEscapesAndOptionalFields) {
    const std::string text =
        "22 1 8:1 / / rw,relatime shared:1 - ext4 /dev/sda1 rw\n"
        "40 22 8:17 / /media/my\\040disk rw,nosuid shared:7 master:2 - vfat /dev/sdb1 rw,fmask=0022\n"
        "41 22 8:17 /sub /srv/bind rw - vfat /dev/sdb1 rw\n"
        "garbage line\n"
        "42 22 0:45 / /proc rw - proc proc rw\n"
        "43 22 x:1 / /bad rw - ext4 /dev/x rw\n"
        "44 22 7:0 / /mnt/no-source rw -\n";
    const auto m = ParseMountInfo(text);
    ASSERT_EQ(m.size(), 4u);
    EXPECT_EQ(m[0].major, 8u);
    EXPECT_EQ(m[0].minor, 1u);
    EXPECT_EQ(m[1].mountPoint, "/media/my disk");
    EXPECT_EQ(m[1].fsType, "vfat");
    EXPECT_EQ(m[1].source, "/dev/sdb1");
    EXPECT_EQ(m[2].root, "/sub");
    EXPECT_EQ(m[3].major, 0u);
}

namespace {
void WriteText(const fs::path& p, const std::string& text) {
    fs::create_directories(p.parent_path());
    std::ofstream(p) << text << "\n";
}
}  // namespace

TEST(VolumeMounts, BlockDevicesAreLocatedOnTheDisksOfTheTable) {
    testutil::TempDir dir;
    const fs::path sys = dir.Path();
    // sdb with 4096-byte sectors and partition sdb2 at 512-byte unit 2048; loop0 backs an image at
    // byte offset 1048576 and has a partition loop0p1.
    const fs::path sdb = sys / "devices/pci/block/sdb";
    WriteText(sdb / "size", "2097152");
    WriteText(sdb / "queue/logical_block_size", "4096");
    WriteText(sdb / "sdb2/partition", "2");
    WriteText(sdb / "sdb2/start", "2048");
    WriteText(sdb / "sdb2/size", "81920");
    const std::string image = dir.File("disk.img");
    WriteText(image, "");
    const fs::path loop = sys / "devices/virtual/block/loop0";
    WriteText(loop / "size", "131072");
    WriteText(loop / "loop/backing_file", image);
    WriteText(loop / "loop/offset", "1048576");
    WriteText(loop / "loop0p1/partition", "1");
    WriteText(loop / "loop0p1/start", "2048");
    WriteText(loop / "loop0p1/size", "4096");
    fs::create_directories(sys / "dev/block");
    fs::create_directory_symlink(sdb / "sdb2", sys / "dev/block/8:18");
    fs::create_directory_symlink(sdb, sys / "dev/block/8:16");
    fs::create_directory_symlink(loop / "loop0p1", sys / "dev/block/259:0");
    fs::create_directory_symlink(loop / "loop0p1", sys / "dev/block/259:1");

    DiskTableEntry sda{"/dev/sda", "sda", false, 0}, sdbEntry{"/dev/sdb", "sdb", false, 0};
    BlockDevicePlace place;
    ASSERT_TRUE(LocateBlockDevice(8, 18, {sda, sdbEntry}, &place, sys.string()));
    EXPECT_EQ(place.diskNumber, 1);
    EXPECT_EQ(place.startBytes, 2048u * 512);
    EXPECT_EQ(place.lengthBytes, 81920u * 512);
    EXPECT_EQ(place.sectorSize, 4096u);
    ASSERT_TRUE(LocateBlockDevice(8, 16, {sdbEntry}, &place, sys.string()));
    EXPECT_EQ(place.startBytes, 0u);
    EXPECT_FALSE(LocateBlockDevice(8, 18, {sda}, &place, sys.string()));
    EXPECT_FALSE(LocateBlockDevice(9, 9, {sda, sdbEntry}, &place, sys.string()));

    // With a table of images only the loop devices that they back are found.
    DiskTableEntry other{dir.File("other.img"), "", true, 512}, img{image, "", true, 4096};
    ASSERT_TRUE(LocateBlockDevice(259, 0, {other, img}, &place, sys.string()));
    EXPECT_EQ(place.diskNumber, 1);
    EXPECT_EQ(place.startBytes, 1048576u + 2048u * 512);
    EXPECT_EQ(place.sectorSize, 4096u);
    EXPECT_FALSE(LocateBlockDevice(259, 0, {other}, &place, sys.string()));
    EXPECT_FALSE(LocateBlockDevice(8, 18, {other, img}, &place, sys.string()));
}
