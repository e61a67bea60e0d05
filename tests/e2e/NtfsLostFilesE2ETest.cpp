// The lost files of a found NTFS partition: a disk with one NTFS partition made by mkntfs and
// written by ntfscp, the same picture also laid before and after the partition, one inside a live
// file and one in the partition's free clusters. The whole-disk complete scan finds every picture
// by its signature; only the one in the free clusters is the partition's lost file, the live files
// come back by name once, and the pictures outside come back once, under the disk's lost-files
// root.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "E2ESupport.h"
#include "TestUtil.h"
#include "ToolImage.h"
#include "platform/Types.h"

namespace {

using e2e::Json;
using testutil::RunQuiet;

constexpr u64 kSector = 512;
constexpr u64 kPartitionStart = 2048;
constexpr u64 kPartitionSectors = 16384;
constexpr u64 kDiskSectors = 24576;
constexpr u64 kClusterBytes = 4096;
constexpr u8 kNtfsType = 0x07;
constexpr const char* kPartitionRoot = "NTFS 1";

using e2e::RawSample;

// Files the partition holds by name.
struct Live {
    const char* name;
    std::vector<u8> bytes;
};

// A picture laid at a disk sector, outside the partition or in its free clusters (a sector the
// fresh volume leaves free: mkntfs puts nothing in the last eighth of a volume this small), and
// where it comes back below the scan's folder: the disk's lost-files root or the partition's.
struct Planted {
    const char* sample;
    u64 sector;
    const char* path;
};
const Planted kPlanted[] = {
    {"sample.png", 1000, "更多丢失文件/Portable Network Graphic file/Morvenda_000.PNG"},
    {"sample.png", 20000, "更多丢失文件/Portable Network Graphic file/Morvenda_001.PNG"},
    {"sample.psd", kPartitionStart + 15000, "NTFS 1/更多丢失文件/Adobe Photoshop file/Morvenda_000.PSD"},
};

std::vector<Live> LiveFiles() {
    // A live file whose second cluster begins with a picture: found by signature there too.
    std::vector<u8> album = testutil::DistinctBytes(kClusterBytes, 7);
    const std::vector<u8> inside = testutil::ReadFileBytes(RawSample("plain.tif"));
    album.insert(album.end(), inside.begin(), inside.end());
    return {{"picture.png", testutil::ReadFileBytes(RawSample("sample.png"))},
            {"photo.gif", testutil::ReadFileBytes(RawSample("sample.gif"))},
            {"album.bin", album}};
}

void MakeDisk(const testutil::TempDir& tmp, const std::string& image, const std::vector<Live>& live) {
    const std::string volume = tmp.File("volume.img");
    ASSERT_TRUE(RunQuiet("truncate -s " + std::to_string(kPartitionSectors * kSector) + " " + volume));
    ASSERT_TRUE(RunQuiet("mkntfs -F -Q -q -c " + std::to_string(kClusterBytes) + " -p " +
                         std::to_string(kPartitionStart) + " " + volume))
        << "mkntfs failed";
    for (const Live& f : live) {
        const std::string source = tmp.File(f.name);
        ASSERT_TRUE(testutil::WriteFileBytes(source, f.bytes));
        ASSERT_TRUE(RunQuiet("ntfscp -f " + volume + " " + source + " " + f.name)) << f.name;
    }
    const std::vector<u8> partition = testutil::ReadFileBytes(volume);
    ASSERT_EQ(partition.size(), kPartitionSectors * kSector);
    std::vector<u8> bytes(kDiskSectors * kSector, 0);
    std::copy(partition.begin(), partition.end(), bytes.begin() + static_cast<long>(kPartitionStart * kSector));
    e2e::PutMbrPartition(bytes, 0, kNtfsType, kPartitionStart, kPartitionSectors);
    for (const Planted& p : kPlanted) {
        const std::vector<u8> sample = testutil::ReadFileBytes(RawSample(p.sample));
        ASSERT_FALSE(sample.empty()) << p.sample;
        std::copy(sample.begin(), sample.end(), bytes.begin() + static_cast<long>(p.sector * kSector));
    }
    ASSERT_TRUE(testutil::WriteFileBytes(image, bytes));
}

TEST(NtfsLostFilesE2E, OnlyPicturesInFreeClustersAreThePartitionsLostFilesAndOutsideOnesStandOnce) {
    const std::string missing = testutil::MissingTools({"mkntfs", "ntfscp", "truncate"});
    if (!missing.empty()) GTEST_SKIP() << "needs the package ntfs-3g; missing: " << missing;
    testutil::TempDir tmp;
    const std::string cwd = tmp.File("cwd");
    ASSERT_EQ(mkdir(cwd.c_str(), 0755), 0);
    const std::string image = tmp.File("disk.img");
    const std::vector<Live> live = LiveFiles();
    ASSERT_NO_FATAL_FAILURE(MakeDisk(tmp, image, live));
    const std::vector<u8> disk = testutil::ReadFileBytes(image);

    const std::string out = tmp.File("recovered");
    ASSERT_EQ(e2e::RunDriver({"--image", image, "--mode", "complete", "--volume", "disk:0", "--lost-reason", "1",
                              "--recover", out, "--json", tmp.File("scan.json")},
                             cwd, tmp.File("scan.log")),
              0);
    Json report;
    ASSERT_TRUE(testutil::ReadJsonFile(tmp.File("scan.json"), report));
    const Json* whole = e2e::FindVolume(report, 0, 0);
    ASSERT_NE(whole, nullptr);
    const std::string folder = out + "/" + std::to_string(int((*whole)["index"].number));
    const Json* scan = e2e::FindScan(report, int((*whole)["index"].number));
    ASSERT_NE(scan, nullptr);
    ASSERT_EQ((*scan)["found_partitions"].items.size(), 1u);
    EXPECT_EQ(u64((*scan)["found_partitions"].items[0]["start_sector"].number), kPartitionStart);

    // The live files by name, once each.
    const std::string tree = folder + "/" + kPartitionRoot;
    for (const Live& f : live) {
        SCOPED_TRACE(f.name);
        EXPECT_EQ(testutil::ReadFileBytes(tree + "/" + f.name), f.bytes);
    }
    // Every picture found by signature where it was laid, under the one root it belongs to.
    std::vector<std::string> expected;
    for (const Planted& p : kPlanted) {
        SCOPED_TRACE(p.sector);
        expected.push_back(p.path);
        e2e::PlantedFile original;
        original.bytes = testutil::ReadFileBytes(RawSample(p.sample));
        original.offset = p.sector * kSector;
        e2e::ExpectCarved(folder + "/" + p.path, original, original.bytes.size(), disk);
    }
    // Nothing else: no picture of a live file and none from outside among the partition's lost
    // files, nothing twice.
    std::vector<std::string> files = e2e::ListFiles(folder);
    for (const Live& f : live) expected.push_back(std::string(kPartitionRoot) + "/" + f.name);
    std::sort(files.begin(), files.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(files, expected);
}

}  // namespace
