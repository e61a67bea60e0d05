// Files found by signature around the partition a whole-disk complete scan chooses, on disks made
// by the file systems' tools with pictures laid outside the partitions and in the chosen one's free
// clusters: each comes back once, byte for byte, under the disk's lost-files root or the
// partition's own. Its live files come back by name only (a picture inside one too), those past
// the longest path through their folder. A saved result, loaded again, recovers the same.
#include <gtest/gtest.h>

#include <limits.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
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
using Files = std::map<std::string, std::vector<u8>>;  // relative path -> bytes

constexpr u64 kSector = 512;
constexpr u64 kPartitionStart = 2048;
const std::string kLostRoot = "更多丢失文件/";

// A picture laid at a disk sector, and where it comes back below the disk's folder.
struct Planted {
    const char* sample;
    u64 sector;
    std::string path;
};

// The disk: its size, its partition table (type, start, sectors; the volume goes in the first),
// the pictures laid on it and the files the volume holds by name (paths below the disk's folder).
struct Disk {
    u64 sectors;
    std::vector<std::array<u64, 3>> table;
    std::vector<Planted> planted;
    Files live;
};

void LayDisk(const std::string& volume, const Disk& d, const std::string& image) {
    std::vector<u8> bytes(d.sectors * kSector, 0);
    const std::vector<u8> partition = testutil::ReadFileBytes(volume);
    ASSERT_EQ(partition.size(), d.table[0][2] * kSector);
    std::copy(partition.begin(), partition.end(), bytes.begin() + long(d.table[0][1] * kSector));
    for (size_t i = 0; i < d.table.size(); ++i) {
        e2e::PutMbrPartition(bytes, i, u8(d.table[i][0]), d.table[i][1], d.table[i][2]);
    }
    for (const Planted& p : d.planted) {
        const std::vector<u8> sample = testutil::ReadFileBytes(e2e::RawSample(p.sample));
        ASSERT_LE(p.sector * kSector + sample.size(), bytes.size()) << p.sample;
        std::copy(sample.begin(), sample.end(), bytes.begin() + long(p.sector * kSector));
    }
    ASSERT_TRUE(testutil::WriteFileBytes(image, bytes));
}

// Runs the driver over the image; returns the whole-disk scan's folder below `out` ("" when the
// report has none).
std::string RunScan(const testutil::TempDir& tmp, const std::vector<std::string>& args, const std::string& out,
                    const std::string& name, Json& report) {
    std::vector<std::string> all = args;
    all.insert(all.end(), {"--recover", out, "--json", tmp.File(name + ".json")});
    EXPECT_EQ(e2e::RunDriver(all, tmp.File("cwd"), tmp.File(name + ".log")), 0);
    EXPECT_TRUE(testutil::ReadJsonFile(tmp.File(name + ".json"), report));
    const Json* disk = e2e::FindVolume(report, 0, 0);
    return disk && (*disk)["kind"].text == "disk" ? out + "/" + std::to_string(int((*disk)["index"].number)) : "";
}

std::map<std::string, std::string> Hashes(const Files& files) {
    std::map<std::string, std::string> out;
    for (const auto& [path, bytes] : files) out[path] = testutil::Sha256Hex(bytes.data(), bytes.size());
    return out;
}

// Every planted picture and live file at its path with its bytes, and nothing else: nothing twice.
void ExpectRecovered(const std::string& folder, const Disk& d) {
    Files expected = d.live;
    for (const Planted& p : d.planted) expected[p.path] = testutil::ReadFileBytes(e2e::RawSample(p.sample));
    EXPECT_EQ(Hashes(testutil::ReadFilesBelow(folder)), Hashes(expected));
}

// The scan chose the one partition, of `sectors`, and what lies outside it got a RAW tree of its own.
void ExpectChosen(const Json& report, const Disk& d, u64 sectors) {
    const Json* scan = e2e::FindScan(report, int((*e2e::FindVolume(report, 0, 0))["index"].number));
    ASSERT_NE(scan, nullptr);
    ASSERT_EQ((*scan)["found_partitions"].items.size(), 1u);
    EXPECT_EQ(u64((*scan)["found_partitions"].items[0]["start_sector"].number), kPartitionStart);
    EXPECT_EQ(u64((*scan)["found_partitions"].items[0]["sectors"].number), sectors);
    std::map<std::string, u64> trees;
    for (const Json& t : (*scan)["trees"].items) trees[t["fs"].text] = u64(t["files"].number);
    ASSERT_EQ(trees.size(), 2u);
    EXPECT_EQ(trees["RAW"], u64(std::count_if(d.planted.begin(), d.planted.end(),
                                              [](const Planted& p) { return p.path.rfind(kLostRoot, 0) == 0; })));
}

TEST(OutsidePartitionCarveE2E, FatPartitionFilesOutsideComeBackBesideItsTreeOnceAndDeepOnesThroughTheirFolder) {
    const std::string missing = testutil::MissingTools({"mkfs.fat", "mmd", "mcopy", "truncate"});
    if (!missing.empty()) GTEST_SKIP() << "needs dosfstools and mtools; missing: " << missing;
    constexpr u64 kSectors = 81920;  // enough clusters of one sector for FAT32
    constexpr u64 kOtherStart = kPartitionStart + kSectors;  // a partition no search knows
    constexpr u64 kOtherEnd = kOtherStart + 2048;
    Disk d{kOtherEnd + 2048,
           {{0x0C, kPartitionStart, kSectors}, {0x83, kOtherStart, 2048}},
           {{"sample.png", 64, kLostRoot + "Portable Network Graphic file/Morvenda_000.PNG"},
            {"sample.gif", kOtherStart + 256, kLostRoot + "GIF graphics file/Morvenda_000.GIF"},
            {"plain.tif", kOtherEnd + 512, kLostRoot + "Tagged Image File/Morvenda_000.TIF"},
            // In the last free clusters of the fresh volume: the partition's own lost files.
            {"sample.psd", kOtherStart - 4096, "FAT32/" + kLostRoot + "Adobe Photoshop file/Morvenda_000.PSD"}},
           {}};
    testutil::TempDir tmp;
    ASSERT_EQ(mkdir(tmp.File("cwd").c_str(), 0755), 0);
    const std::string volume = tmp.File("volume.img");
    ASSERT_TRUE(RunQuiet("truncate -s " + std::to_string(kSectors * kSector) + " " + volume));
    ASSERT_TRUE(RunQuiet("mkfs.fat -F 32 -s 1 -n OUTSIDE -h " + std::to_string(kPartitionStart) + " " + volume));
    ASSERT_TRUE(RunQuiet("mmd -i " + volume + " ::/Letters"));
    for (const auto& [sample, path] :
         {std::pair{"sample.ico", "sample.ico"}, std::pair{"letter.rtf", "Letters/letter.rtf"}}) {
        ASSERT_TRUE(RunQuiet("mcopy -i " + volume + " " + e2e::RawSample(sample) + " ::/" + path)) << path;
        d.live[std::string("FAT32/") + path] = testutil::ReadFileBytes(e2e::RawSample(sample));
    }
    // 18 nested folders of 250-byte names, a file in each: the deepest lie past the longest path.
    std::string inside;
    for (int level = 0; level < 18; ++level) {
        std::string folder = "level " + std::to_string(level) + " ";
        folder.resize(250, char('a' + level));
        inside += "/" + folder;
        const std::string name = "file-" + std::to_string(level) + ".bin";
        const std::vector<u8> bytes = testutil::DistinctBytes(1000, u32(level + 1));
        ASSERT_TRUE(testutil::WriteFileBytes(tmp.File(name), bytes));
        ASSERT_TRUE(RunQuiet("mmd -i " + volume + " '::" + inside + "'")) << level;
        ASSERT_TRUE(RunQuiet("mcopy -i " + volume + " " + tmp.File(name) + " '::" + inside + "/" + name + "'"));
        d.live["FAT32" + inside + "/" + name] = bytes;
    }
    const std::string image = tmp.File("disk.img");
    ASSERT_NO_FATAL_FAILURE(LayDisk(volume, d, image));

    e2e::Untouched untouched({image}, tmp.File("cwd"));
    Json report;
    const std::string saved = tmp.File("scan.rsf");
    const std::string folder = RunScan(
        tmp, {"--image", image, "--mode", "complete", "--volume", "disk:0", "--save", saved}, tmp.File("recovered"),
        "scan", report);
    untouched.Expect();
    ASSERT_FALSE(folder.empty()) << "no whole-disk volume in the report";
    ASSERT_NO_FATAL_FAILURE(ExpectChosen(report, d, kSectors));
    size_t pastLongestPath = 0;
    for (const auto& [path, bytes] : d.live) pastLongestPath += (folder + "/" + path).size() >= PATH_MAX ? 1 : 0;
    EXPECT_GE(pastLongestPath, 2u);
    ExpectRecovered(folder, d);

    Json loadReport;
    const std::string loaded = RunScan(tmp, {"--image", image, "--load", saved}, tmp.File("loaded"), "load", loadReport);
    ASSERT_FALSE(loaded.empty());
    ExpectRecovered(loaded, d);
}

// A live file whose second cluster begins with a picture is found by signature there too, and
// the two pictures outside the partition lie where an NTFS lost-file pass could see them.
TEST(OutsidePartitionCarveE2E, NtfsLostFilesAreOnlyItsFreeClustersAndOutsideOnesStandOnce) {
    const std::string missing = testutil::MissingTools({"mkntfs", "ntfscp", "truncate"});
    if (!missing.empty()) GTEST_SKIP() << "needs the package ntfs-3g; missing: " << missing;
    constexpr u64 kSectors = 16384;
    constexpr u64 kCluster = 4096;
    Disk d{24576,
           {{0x07, kPartitionStart, kSectors}},
           {{"sample.png", 1000, kLostRoot + "Portable Network Graphic file/Morvenda_000.PNG"},
            {"sample.png", 20000, kLostRoot + "Portable Network Graphic file/Morvenda_001.PNG"},
            // mkntfs puts nothing in the last eighth of a volume this small.
            {"sample.psd", kPartitionStart + 15000, "NTFS 1/" + kLostRoot + "Adobe Photoshop file/Morvenda_000.PSD"}},
           {}};
    std::vector<u8> album = testutil::DistinctBytes(kCluster, 7);
    const std::vector<u8> inside = testutil::ReadFileBytes(e2e::RawSample("plain.tif"));
    album.insert(album.end(), inside.begin(), inside.end());
    const Files live = {{"picture.png", testutil::ReadFileBytes(e2e::RawSample("sample.png"))},
                        {"album.bin", album}};
    testutil::TempDir tmp;
    ASSERT_EQ(mkdir(tmp.File("cwd").c_str(), 0755), 0);
    const std::string volume = tmp.File("volume.img");
    ASSERT_TRUE(RunQuiet("truncate -s " + std::to_string(kSectors * kSector) + " " + volume));
    ASSERT_TRUE(RunQuiet("mkntfs -F -Q -q -c " + std::to_string(kCluster) + " -p " + std::to_string(kPartitionStart) +
                         " " + volume));
    for (const auto& [name, bytes] : live) {
        ASSERT_TRUE(testutil::WriteFileBytes(tmp.File(name), bytes));
        ASSERT_TRUE(RunQuiet("ntfscp -f " + volume + " " + tmp.File(name) + " " + name)) << name;
        d.live["NTFS 1/" + name] = bytes;
    }
    const std::string image = tmp.File("disk.img");
    ASSERT_NO_FATAL_FAILURE(LayDisk(volume, d, image));

    Json report;
    const std::string folder =
        RunScan(tmp, {"--image", image, "--mode", "complete", "--volume", "disk:0", "--lost-reason", "1"},
                tmp.File("recovered"), "scan", report);
    ASSERT_FALSE(folder.empty());
    // The volume leaves its last sector to the boot sector's copy.
    ASSERT_NO_FATAL_FAILURE(ExpectChosen(report, d, kSectors - 1));
    ExpectRecovered(folder, d);
}

}  // namespace
