// Files found by signature outside every partition the complete scan chose: a disk with a FAT32
// partition made by mkfs.fat and mtools and a partition of a kind no search knows, a picture in
// the gap before the FAT32 partition, one in the other partition and one in the unpartitioned
// space after both. The whole-disk complete scan recovers both under the lost-files
// root beside the partition's tree, byte for byte; the partition's own files come back as before,
// and a picture lying in the partition's free clusters comes back once, in the partition's own
// lost files. A saved result, loaded again, recovers the same files.
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
constexpr u64 kPartitionSectors = 81920;  // enough clusters of one sector for FAT32
constexpr u64 kPartitionEnd = kPartitionStart + kPartitionSectors;
constexpr u64 kOtherStart = kPartitionEnd;
constexpr u64 kOtherSectors = 2048;
constexpr u64 kOtherEnd = kOtherStart + kOtherSectors;
constexpr u64 kTailSectors = 2048;
constexpr u64 kDiskSectors = kOtherEnd + kTailSectors;
constexpr u8 kFat32LbaType = 0x0C;
constexpr u8 kLinuxType = 0x83;
constexpr const char* kLostRoot = "更多丢失文件";
constexpr const char* kPartitionRoot = "FAT32";

using e2e::RawSample;

// A picture laid at a sector of the disk, where the scan must find it by its signature.
struct Planted {
    const char* sample;
    u64 sector;
    const char* folder;  // the type's description
    const char* name;    // the recovered file's name
    bool outside;        // outside the partition: under the disk's lost-files root
};

const Planted kPlanted[] = {
    {"sample.png", 64, "Portable Network Graphic file", "Morvenda_000.PNG", true},
    {"sample.gif", kOtherStart + 256, "GIF graphics file", "Morvenda_000.GIF", true},
    {"plain.tif", kOtherEnd + 512, "Tagged Image File", "Morvenda_000.TIF", true},
    // In the last free clusters of the fresh volume: the partition's own lost files.
    {"sample.psd", kPartitionEnd - 4096, "Adobe Photoshop file", "Morvenda_000.PSD", false},
};

// Files the partition holds by name; their data must come back at their path.
struct Copied {
    const char* sample;
    const char* path;
};
const Copied kCopied[] = {{"sample.ico", "sample.ico"}, {"letter.rtf", "Letters/letter.rtf"}};

void MakeDisk(const std::string& image) {
    ASSERT_TRUE(RunQuiet("truncate -s " + std::to_string(kDiskSectors * kSector) + " " + image));
    ASSERT_TRUE(RunQuiet("mkfs.fat -F 32 -s 1 -n OUTSIDE --mbr=n --offset " + std::to_string(kPartitionStart) +
                         " -h " + std::to_string(kPartitionStart) + " " + image + " " +
                         std::to_string(kPartitionSectors * kSector / 1024)))
        << "mkfs.fat failed";
    const std::string at = image + "@@" + std::to_string(kPartitionStart * kSector);
    ASSERT_TRUE(RunQuiet("mmd -i " + at + " ::/Letters"));
    for (const Copied& c : kCopied) {
        ASSERT_TRUE(RunQuiet("mcopy -i " + at + " " + RawSample(c.sample) + " ::/" + c.path)) << c.path;
    }
    std::vector<u8> bytes = testutil::ReadFileBytes(image);
    ASSERT_EQ(bytes.size(), kDiskSectors * kSector);
    // Two primary partitions in the table: the FAT32 one and one whose sectors hold no file system.
    e2e::PutMbrPartition(bytes, 0, kFat32LbaType, kPartitionStart, kPartitionSectors);
    e2e::PutMbrPartition(bytes, 1, kLinuxType, kOtherStart, kOtherSectors);
    for (const Planted& p : kPlanted) {
        const std::vector<u8> sample = testutil::ReadFileBytes(RawSample(p.sample));
        ASSERT_FALSE(sample.empty()) << p.sample;
        ASSERT_LE(p.sector * kSector + sample.size(), bytes.size()) << p.sample;
        std::copy(sample.begin(), sample.end(), bytes.begin() + static_cast<long>(p.sector * kSector));
    }
    ASSERT_TRUE(testutil::WriteFileBytes(image, bytes));
}

// The folder the driver recovers the whole-disk scan into.
std::string DiskFolder(const Json& report, const std::string& out) {
    const Json* disk = e2e::FindVolume(report, 0, 0);
    if (!disk || (*disk)["kind"].text != "disk") return "";
    return out + "/" + std::to_string(int((*disk)["index"].number));
}

// Every written file's hash, with how often it was written.
std::map<std::string, size_t> HashCounts(const std::string& root) {
    std::map<std::string, size_t> out;
    for (const auto& [path, hash] : e2e::HashTree(root)) ++out[hash];
    return out;
}

// The checks shared by the scan and the load of its saved result.
void ExpectRecovered(const std::string& folder, const std::vector<u8>& disk) {
    for (const Planted& p : kPlanted) {
        SCOPED_TRACE(p.sample);
        const std::string top = p.outside ? folder : folder + "/" + kPartitionRoot;
        const std::string written = top + "/" + kLostRoot + "/" + p.folder + "/" + p.name;
        e2e::PlantedFile original;
        original.bytes = testutil::ReadFileBytes(RawSample(p.sample));
        original.offset = p.sector * kSector;
        e2e::ExpectCarved(written, original, original.bytes.size(), disk);
    }
    for (const Copied& c : kCopied) {
        const std::string written = folder + "/" + kPartitionRoot + "/" + c.path;
        ASSERT_TRUE(testutil::FileExists(written)) << written;
        EXPECT_EQ(testutil::Sha256File(written), testutil::Sha256File(RawSample(c.sample))) << c.path;
    }
    // Nothing twice: the partition's found files are its own, whether by name or by signature.
    const std::map<std::string, size_t> counts = HashCounts(folder);
    for (const Planted& p : kPlanted) EXPECT_EQ(counts.at(testutil::Sha256File(RawSample(p.sample))), 1u) << p.sample;
    for (const Copied& c : kCopied) EXPECT_EQ(counts.at(testutil::Sha256File(RawSample(c.sample))), 1u) << c.path;
    EXPECT_EQ(e2e::ListFiles(folder).size(), std::size(kPlanted) + std::size(kCopied));
}

TEST(OutsidePartitionCarveE2E, FilesFoundOutsideTheChosenPartitionComeBackBesideItsTreeAndOnlyOnce) {
    const std::string missing = testutil::MissingTools({"mkfs.fat", "mmd", "mcopy", "truncate"});
    if (!missing.empty()) GTEST_SKIP() << "needs dosfstools and mtools; missing: " << missing;
    testutil::TempDir tmp;
    const std::string cwd = tmp.File("cwd");
    ASSERT_EQ(mkdir(cwd.c_str(), 0755), 0);
    const std::string image = tmp.File("disk.img");
    ASSERT_NO_FATAL_FAILURE(MakeDisk(image));
    const std::vector<u8> disk = testutil::ReadFileBytes(image);

    e2e::Untouched untouched({image}, cwd);
    const std::string out = tmp.File("recovered");
    const std::string saved = tmp.File("scan.rsf");
    ASSERT_EQ(e2e::RunDriver({"--image", image, "--mode", "complete", "--volume", "disk:0", "--recover", out,
                              "--json", tmp.File("scan.json"), "--save", saved},
                             cwd, tmp.File("scan.log")),
              0);
    untouched.Expect();

    Json report;
    ASSERT_TRUE(testutil::ReadJsonFile(tmp.File("scan.json"), report));
    const std::string folder = DiskFolder(report, out);
    ASSERT_FALSE(folder.empty()) << "no whole-disk volume in the report";
    const Json* scan = e2e::FindScan(report, int((*e2e::FindVolume(report, 0, 0))["index"].number));
    ASSERT_NE(scan, nullptr);
    // The partition was chosen, and the files outside it got a tree of their own beside it.
    ASSERT_EQ((*scan)["found_partitions"].items.size(), 1u);
    EXPECT_EQ(u64((*scan)["found_partitions"].items[0]["start_sector"].number), kPartitionStart);
    EXPECT_EQ(u64((*scan)["found_partitions"].items[0]["sectors"].number), kPartitionSectors);
    std::map<std::string, const Json*> trees;
    for (const Json& t : (*scan)["trees"].items) trees[t["fs"].text] = &t;
    ASSERT_EQ(trees.size(), 2u);
    ASSERT_TRUE(trees.count("RAW"));
    EXPECT_EQ(u64((*trees["RAW"])["files"].number), 3u);
    ASSERT_NO_FATAL_FAILURE(ExpectRecovered(folder, disk));

    const std::string loaded = tmp.File("loaded");
    ASSERT_EQ(e2e::RunDriver({"--image", image, "--load", saved, "--recover", loaded, "--json", tmp.File("load.json")},
                             cwd, tmp.File("load.log")),
              0);
    Json loadReport;
    ASSERT_TRUE(testutil::ReadJsonFile(tmp.File("load.json"), loadReport));
    const std::string loadedFolder = DiskFolder(loadReport, loaded);
    ASSERT_FALSE(loadedFolder.empty());
    ASSERT_NO_FATAL_FAILURE(ExpectRecovered(loadedFolder, disk));
    EXPECT_EQ(e2e::HashTree(loadedFolder), e2e::HashTree(folder));
}

}  // namespace
