#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "HeldEnumeration.h"
#include "PartitionTestSupport.h"
#include "TestUtil.h"
#include "core/Strings.h"
#include "devices/PartitionDevice.h"
#include "devices/VolumeEnumerator.h"
#include "platform/Log.h"

namespace {
// Points the disk table at the given images for the lifetime of the object.
class DiskTableScope {
public:
    explicit DiskTableScope(const std::string& list) {
        const char* old = std::getenv("MORVENDA_DISKS");
        hadOld_ = old != nullptr;
        if (old) old_ = old;
        setenv("MORVENDA_DISKS", list.c_str(), 1);
    }
    ~DiskTableScope() {
        if (hadOld_) {
            setenv("MORVENDA_DISKS", old_.c_str(), 1);
        } else {
            unsetenv("MORVENDA_DISKS");
        }
    }

private:
    bool hadOld_ = false;
    std::string old_;
};

// A sparse disk of `mib` MiB with one MBR partition at 2048 of `sectors` sectors.
std::string MakeSparseDisk(const testutil::TempDir& dir, const char* name, long long mib, u32 sectors) {
    const std::string path = dir.File(name);
    const int fd = open(path.c_str(), O_CREAT | O_RDWR | O_TRUNC, 0644);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(ftruncate(fd, mib * 1024 * 1024), 0);
    u8 mbr[512] = {};
    u8* e = mbr + 446;
    e[4] = 0x07;
    WriteLE32(e + 8, 2048);
    WriteLE32(e + 12, sectors);
    mbr[510] = 0x55;
    mbr[511] = 0xAA;
    EXPECT_EQ(pwrite(fd, mbr, sizeof(mbr), 0), 512);
    close(fd);
    return path;
}

VolumeRecord RecordWithLetter(char letter) {
    VolumeRecord r;
    r.driveLetter = letter;
    return r;
}
}  // namespace

TEST(VolumeEnumerator, UnpartitionedGapsAboveTheThreshold) {
    const u64 total = 1000000;
    // A partition that ends 0x32001 sectors before the end leaves one area; 0x32000 leaves none.
    auto gaps = FindUnpartitionedGaps({{2048, total - 2048 - 0x32001, nullptr}}, total);
    ASSERT_EQ(gaps.size(), 1u);
    EXPECT_EQ(gaps[0].firstSector, total - 0x32001);
    EXPECT_EQ(gaps[0].sectorCount, 0x32001u);
    EXPECT_TRUE(FindUnpartitionedGaps({{2048, total - 2048 - 0x32000, nullptr}}, total).empty());
    // Leading and middle gaps, extents given out of order.
    gaps = FindUnpartitionedGaps({{700000, 300000, nullptr}, {0x32001, 100000, nullptr}}, total);
    ASSERT_EQ(gaps.size(), 2u);
    EXPECT_EQ(gaps[0].firstSector, 0u);
    EXPECT_EQ(gaps[0].sectorCount, 0x32001u);
    EXPECT_EQ(gaps[1].firstSector, 0x32001u + 100000);
    // A partition listed twice (table length and file-system length) and one inside another
    // leave no gap behind the shorter ones.
    gaps = FindUnpartitionedGaps({{0, 900000, nullptr}, {0, 100000, nullptr}, {500000, 1000, nullptr}}, total);
    EXPECT_TRUE(gaps.empty());
    // No partitions at all: the whole disk is one area.
    gaps = FindUnpartitionedGaps({}, total);
    ASSERT_EQ(gaps.size(), 1u);
    EXPECT_EQ(gaps[0].sectorCount, total);
}

TEST(VolumeEnumerator, RecordsSortByLetterWithLetterlessLastInCollectedOrder) {
    VolumeRecord d = RecordWithLetter('D'), c = RecordWithLetter('C'), n1 = RecordWithLetter(0),
                 n2 = RecordWithLetter(0), e = RecordWithLetter('E');
    std::vector<VolumeRecord*> v = {&n1, &d, &c, &n2, &e};
    CCollectAllBasicPartitionandDynamicVolume::SortByDriveLetter(v);
    EXPECT_EQ(v, (std::vector<VolumeRecord*>{&c, &d, &e, &n1, &n2}));
}

TEST(VolumeEnumerator, DiskText) {
    DiskDescription d{};
    std::strcpy(d.vendor, "(Standard disk drives)");
    std::strcpy(d.product, "Samsung SSD");
    std::strcpy(d.busName, "ATA Bus");
    EXPECT_EQ(MakeDiskText(d), "Samsung SSD  ATA Bus");
    std::strcpy(d.vendor, "ACME");
    EXPECT_EQ(MakeDiskText(d), "ACME  Samsung SSD  ATA Bus");
    std::memset(d.product, 'P', 100);
    EXPECT_EQ(MakeDiskText(d).size(), 49u);
}

TEST(VolumeEnumerator, EnumeratesFixtureDisksAndUnpartitionedAreas) {
    testutil::TempDir dir;
    const std::string sparse = MakeSparseDisk(dir, "sparse.img", 1024, 100000);
    // An image that ends before its partition does, as a failing disk's partial copy.
    const std::string cutDisk = MakeSparseDisk(dir, "cut.img", 64, 200000);
    DiskTableScope table(testutil::FixturePath("mbr-disk.img") + ":" + testutil::FixturePath("gpt-disk.img") + ":" +
                         sparse + ":" + cutDisk);
    EnumCollectPartition e;
    ASSERT_TRUE(e.EnumThread());
    EXPECT_TRUE(e.IsDone());
    EXPECT_FALSE(e.IsRunning());
    ASSERT_EQ(e.Disks().size(), 4u);

    struct Want {
        size_t disk;
        u64 first;
        u64 count;
    };
    const std::vector<Want> want = {{0, 2048, 73728}, {0, 77824, 24576}, {0, 104448, 24576},
                                    {1, 2048, 40960}, {1, 43008, 40960}, {2, 2048, 100000}, {3, 2048, 129024}};
    const auto& volumes = e.Volumes();
    ASSERT_EQ(volumes.size(), want.size());
    for (size_t i = 0; i < want.size(); ++i) {
        const VolumeRecord* r = volumes[i];
        EXPECT_EQ(r->source, 0u);
        EXPECT_EQ(r->kind, kVolumeKindBasic);
        EXPECT_EQ(r->driveLetter, 0);
        EXPECT_EQ(r->ExtentCount(), 1u);
        EXPECT_EQ(r->extents[0].disk, e.Disks()[want[i].disk].get()) << i;
        EXPECT_EQ(r->extents[0].firstSector, want[i].first) << i;
        EXPECT_EQ(r->extents[0].sectorCount, want[i].count) << i;
        ASSERT_NE(r->device, nullptr);
        EXPECT_EQ(r->device->GetTotalSectors(), want[i].count);
        EXPECT_EQ(r->usb, 0u);
        EXPECT_STREQ(r->diskText, "Morvenda  Disk image  ");
    }
    // The first partition's device reads the FAT32 boot sector of the manifest's partition.
    u8 boot[512];
    ASSERT_EQ(volumes[0]->device->Read(boot, 0, 1), 1u);
    EXPECT_EQ(std::memcmp(boot + 82, "FAT32", 5), 0);

    // Only the sparse disk has room left: from the partition's end to the disk's end.
    ASSERT_EQ(e.UnpartitionedAreas().size(), 1u);
    const VolumeRecord* area = e.UnpartitionedAreas()[0];
    EXPECT_EQ(area->kind, kVolumeKindBasic);
    EXPECT_EQ(area->fsCode, 0u);
    EXPECT_EQ(std::string(area->label), GetLocalizedString("LostDesc") + "-1");
    EXPECT_EQ(area->extents[0].disk, e.Disks()[2].get());
    EXPECT_EQ(area->extents[0].firstSector, 102048u);
    EXPECT_EQ(area->extents[0].sectorCount, 2097152u - 102048u);
    ASSERT_NE(area->device, nullptr);
    EXPECT_EQ(area->device->GetTotalSectors(), 2097152u - 102048u);

    // Images are not mounted: the host's own volumes never show.
    EXPECT_TRUE(e.MountedVolumes().empty());
    EXPECT_EQ(e.DiskSizeText(), "Disk[0]:size[64]M;Disk[1]:size[42]M;Disk[2]:size[1024]M;Disk[3]:size[64]M;");
    // The cut partition keeps its own length.
    EXPECT_EQ(volumes.back()->device->GetVolumeSectors(), 200000u);
    EXPECT_EQ(e.PartitionSizeText().rfind("Disk[0]:partition:[0]size[36]M;Disk[0]:partition:[1]size[12]M;", 0), 0u);

    // A second enumeration starts from fresh lists.
    ASSERT_TRUE(e.EnumThread());
    EXPECT_EQ(e.Volumes().size(), want.size());
    // Each enumeration says once what the disk holds of the cut partition.
    const std::string log = testutil::ReadFileText(LogFilePath("MorvendaTrace.log"));
    const std::string cut = "Partition at sector 2048 of disk 3 (UNKNOWN) is 200000 sectors long, of which the disk "
                            "holds 129024";
    size_t said = 0;
    for (size_t at = log.find(cut); at != std::string::npos; at = log.find(cut, at + 1)) ++said;
    EXPECT_EQ(said, 2u);
    EXPECT_EQ(e.UnpartitionedAreas().size(), 1u);
    EXPECT_EQ(std::string(e.UnpartitionedAreas()[0]->label), GetLocalizedString("LostDesc") + "-1");
}

TEST(VolumeEnumerator, DestroyingWhileTheThreadRunsWaitsForIt) {
    DiskTableScope table(testutil::FixturePath("mbr-disk.img") + ":" + testutil::FixturePath("gpt-disk.img"));
    for (int i = 0; i < 3; ++i) {
        auto e = std::make_unique<EnumCollectPartition>();
        e->StartEnumeration();
        e->StartEnumeration();  // a second one waits for the first, then gives up on the stop
        e.reset();
    }
}

// A disk plugged in while an enumeration runs is in the lists a refresh asked for after it: the
// one that was running does not answer that ask, the next one does. An ask given up on a stop is
// answered by the lists of the one running, so that no one waits for ever.
TEST(VolumeEnumerator, ListsAskedForDuringAnEnumerationComeFromTheNextOne) {
    testutil::TempDir disks;
    std::filesystem::copy_file(testutil::FixturePath("mbr-disk.img"), disks.File("a.img"));
    DiskTableScope table(disks.Path());
    EnumCollectPartition e;
    testutil::HeldEnumeration held;
    struct Unhook {
        ~Unhook() { EnumCollectPartition::SetStopQuery(nullptr); }
    } unhook;

    e.StartEnumeration();
    ASSERT_TRUE(held.Reached());
    std::filesystem::copy_file(testutil::FixturePath("gpt-disk.img"), disks.File("b.img"));
    e.StartEnumeration();  // the refresh after the disk came
    held.Release();
    ASSERT_TRUE(e.WaitDone(60000));
    EXPECT_EQ(e.Disks().size(), 2u) << "the lists of the enumeration that began before the disk came";

    held.HoldNext();
    e.StartEnumeration();
    ASSERT_TRUE(held.Reached());
    EXPECT_FALSE(e.IsDone());
    EnumCollectPartition::SetStopQuery([] { return true; });
    EXPECT_FALSE(e.EnumThread()) << "an enumeration that waits gives up on the stop";
    EXPECT_FALSE(e.IsDone()) << "done before the running one has published its lists";
    held.Release();
    EXPECT_TRUE(e.WaitDone(60000)) << "the given-up ask still waited for";
    EXPECT_EQ(e.Disks().size(), 2u);
}

TEST(VolumeEnumerator, SizeTextsFromMountedVolumesOrExtents) {
    DiskTableScope table(testutil::FixturePath("mbr-disk.img"));
    CDiskDevice disk(0);
    ASSERT_TRUE(disk.IsOpen());
    CBasicPartitionDevice window(&disk, 2048, 73728);
    VolumeRecord r;
    r.device = &window;
    r.AddExtent(2048, 73728, &disk);

    std::string text, mountPoint;
    float used = -1;
    GetVolumeSizeText(&r, {}, &text, &used, &mountPoint);
    EXPECT_EQ(text, "36.00 MB");
    EXPECT_TRUE(mountPoint.empty());

    MountedVolumeInfo m;
    m.diskNumber = 0;
    m.firstSector = 2048;
    m.totalBytes = 4ull * 1073741824;
    m.freeBytesToCaller = 1073741824;
    m.path = "/media/usb";
    GetVolumeSizeText(&r, {m}, &text, &used, &mountPoint);
    const std::string freeOf = GetLocalizedString("FreeOf");
    EXPECT_EQ(text, "1.00 GB " + freeOf + " 4.00 GB");
    EXPECT_FLOAT_EQ(used, 75.0f);
    EXPECT_EQ(mountPoint, "/media/usb");
    EXPECT_EQ(FindVolumeMountPoint(&r, {m}), "/media/usb");
    m.firstSector = 2049;
    EXPECT_TRUE(FindVolumeMountPoint(&r, {m}).empty());

    EXPECT_TRUE(GetFirstDiskGeometry(&r));
    EXPECT_FALSE(GetFirstDiskGeometry(nullptr));
}

TEST(VolumeEnumerator, FreeSpaceOfAMountPoint) {
    testutil::TempDir dir;
    std::string text;
    float used = -1;
    ASSERT_EQ(GetFreeOfText(dir.Path(), &used, &text), 0);
    EXPECT_GE(used, 0.0f);
    EXPECT_LE(used, 100.0f);
    EXPECT_NE(text.find(" GB") == std::string::npos ? text.find(" MB") : 0, std::string::npos);
    u64 freeBytes = 0;
    EXPECT_EQ(CheckDestinationDrive(dir.Path(), &freeBytes), 0);
    EXPECT_GT(freeBytes, 0u);
    EXPECT_EQ(GetFreeOfText(dir.File("missing"), &used, &text), -1);
    EXPECT_EQ(CheckDestinationDrive("", &freeBytes), -1);
}

TEST(VolumeEnumerator, MountedFileSystemCodes) {
    EXPECT_EQ(MountedFileSystemCode("ntfs3"), kFsNtfs);
    EXPECT_EQ(MountedFileSystemCode("NTFS"), kFsNtfs);
    EXPECT_EQ(MountedFileSystemCode("vfat"), kFsFat16);
    EXPECT_EQ(MountedFileSystemCode("ext4"), kFsUnknown);
}
