// The tree of an exFAT volume built from the folder blocks the complete scan found, end to end
// through the scan driver: folders laid out byte by byte on volumes that mkfs.exfat made, and a
// camera card formatted again over its folders. Every file comes back with its own bytes.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "E2ESupport.h"
#include "ExFatSets.h"
#include "TestUtil.h"
#include "ToolImage.h"
#include "platform/Types.h"

namespace {

using e2e::Json;
using testutil::MakeExFatSet;
using testutil::RunQuiet;
using testutil::TempDir;

constexpr u64 kSector = 512;
constexpr u32 kEntry = 32;
constexpr u32 kEndOfChain = 0xFFFFFFFFu;
using testutil::kExFatAttrArchive;
using testutil::kExFatAttrFolder;

// Folder -> file name -> bytes that must come back there.
using Expected = std::map<std::string, std::map<std::string, std::vector<u8>>>;

// An image that mkfs.exfat made, patched in memory and written back.
struct ToolVolume {
    std::vector<u8> bytes;
    u64 fat = 0;   // byte offsets
    u64 heap = 0;
    u32 clusterBytes = 0;
    u32 root = 0;

    bool Make(const std::string& image, u64 megabytes, u32 cluster) {
        if (!RunQuiet("truncate -s " + std::to_string(megabytes) + "M " + image + " && mkfs.exfat -c " +
                      std::to_string(cluster) + " " + image)) {
            return false;
        }
        bytes = testutil::ReadFileBytes(image);
        if (bytes.size() < kSector) return false;
        fat = u64(ReadLE32(bytes.data() + 80)) * kSector;
        heap = u64(ReadLE32(bytes.data() + 88)) * kSector;
        clusterBytes = u32(kSector) << bytes[109];
        root = ReadLE32(bytes.data() + 96);
        return clusterBytes == cluster;
    }
    u8* Cluster(u32 cluster) { return bytes.data() + heap + u64(cluster - 2) * clusterBytes; }
    void SetFat(u32 cluster, u32 value) { WriteLE32(bytes.data() + fat + u64(cluster) * 4, value); }
    void Lay(const std::vector<u32>& clusters, const std::vector<u8>& entries) {
        testutil::LayExFatEntries(clusters, entries, clusterBytes, [this](u32 c) { return Cluster(c); });
    }
    // Appends a set to the root directory, after the entries mkfs.exfat wrote.
    void AddToRoot(const std::vector<u8>& set) {
        u8* dir = Cluster(root);
        while (*dir != 0) dir += kEntry;
        std::copy(set.begin(), set.end(), dir);
    }
    // A file of one cluster at `cluster` without a FAT chain.
    std::vector<u8> File(const std::string& name, u32 cluster, const std::vector<u8>& content) {
        std::copy(content.begin(), content.end(), Cluster(cluster));
        return MakeExFatSet(name, cluster, content.size(), kExFatAttrArchive, true);
    }
};

void Append(std::vector<u8>& to, const std::vector<u8>& set) { to.insert(to.end(), set.begin(), set.end()); }

int RunComplete(const TempDir& tmp, const std::string& image, const std::string& out, Json& report) {
    std::filesystem::create_directories(tmp.File("cwd"));
    const std::vector<std::string> args = {"--image", image, "--mode", "complete", "--volume", "disk:0",
                                           "--lost-reason", "1", "--recover", out, "--json", tmp.File("run.json")};
    const int status = e2e::RunDriver(args, tmp.File("cwd"), tmp.File("run.log"));
    if (!testutil::ReadJsonFile(tmp.File("run.json"), report)) ADD_FAILURE() << "no report";
    return status;
}

// Every expected file stands below its own folder with its bytes; a file of another folder (a
// lost folder of stale entries) may bear the same name.
void ExpectFilesInTheirFolders(const std::string& out, const Expected& expected) {
    std::set<std::string> placed;
    for (const std::string& rel : e2e::ListFiles(out)) {
        const std::string name = e2e::LastComponent(rel);
        auto folder = expected.find(e2e::LastComponent(rel.substr(0, rel.rfind('/'))));
        if (folder == expected.end() || folder->second.count(name) == 0) continue;
        EXPECT_TRUE(testutil::ReadFileBytes(out + "/" + rel) == folder->second.at(name)) << "another file's bytes: " << rel;
        placed.insert(name);
    }
    for (const auto& [folder, files] : expected) {
        for (const auto& [name, bytes] : files) EXPECT_EQ(placed.count(name), 1u) << "not in " << folder << ": " << name;
    }
}

std::string Numbered(const char* format, u32 n) {
    char name[96];
    std::snprintf(name, sizeof(name), format, unsigned(n));
    return name;
}

// How each case lays its folders out; it fills `expected` with what must come back.
struct LayoutCase {
    const char* name;
    u32 clusterBytes;
    void (*lay)(ToolVolume& v, Expected& expected);
};

// Folder `folder` in the root, of `count` files named by `format` with their data from cluster
// `data` on, its entries laid over clusters `first` and `second` (chained by the FAT when
// `chained`). Gives back the entries.
std::vector<u8> LayFolder(ToolVolume& v, Expected& expected, const std::string& folder, const char* format, u32 count,
                          u32 first, u32 second, u32 data, bool chained) {
    std::vector<u8> entries;
    for (u32 i = 0; i < count; ++i) {
        const std::string name = Numbered(format, i);
        const std::vector<u8> content = testutil::DistinctBytes(100 + i, data + i);
        Append(entries, v.File(name, data + i, content));
        expected[folder][name] = content;
    }
    v.Lay({first, second}, entries);
    if (chained) v.SetFat(first, second), v.SetFat(second, kEndOfChain);
    v.AddToRoot(MakeExFatSet(folder, first, 2ull * v.clusterBytes, kExFatAttrFolder, false));
    return entries;
}

// Folder P (clusters 50 and 300 by its FAT chain) of 45 files, the set of file 25 cut at the end
// of its first cluster. A free cluster between the two begins with the same rest of that set and
// lists stale sets under the live names, pointing at other files' bytes.
void LayStaleLookAlike(ToolVolume& v, Expected& expected) {
    const char* kLive = "live file number %03u with a long name.txt";
    const u32 base = v.root + 45;
    const std::vector<u8> entries = LayFolder(v, expected, "P", kLive, 45, base, base + 250, base + 300, true);
    // The stale cluster: the rest of the cut set, then sets of the live names over wrong data.
    const size_t cutAt = v.clusterBytes;
    ASSERT_EQ(cutAt % (entries.size() / 45), 3u * kEntry) << "the cut falls after the set's first three entries";
    std::vector<u8> look(entries.begin() + i64(cutAt), entries.begin() + i64(cutAt + 2 * kEntry));
    for (u32 k = 0; k < 10; ++k) {
        Append(look, MakeExFatSet(Numbered(kLive, 26 + 2 * k), base + 300 + k, 20, kExFatAttrArchive, true));
        Append(look, v.File(Numbered("stale file %03u.txt", k), base + 400 + k, testutil::DistinctBytes(30, k)));
    }
    v.Lay({base + 150}, look);
}

// Folder Docs (clusters 6 and 32 by its FAT chain) of 40 files with one sector of its first
// cluster zeroed: the files whose sets touch that sector are gone, every other one stays in Docs.
void LayDocs(ToolVolume& v, Expected& expected, u32 zeroedSector) {
    const char* kName = "document number %02u with a long name.txt";
    const std::vector<u8> entries = LayFolder(v, expected, "Docs", kName, 40, v.root + 1, v.root + 27, v.root + 60, true);
    const size_t set = entries.size() / 40;
    for (u32 i = 0; i < 40 && i * set < v.clusterBytes; ++i) {
        if (i * set / kSector <= zeroedSector && ((i + 1) * set - 1) / kSector >= zeroedSector) {
            expected["Docs"].erase(Numbered(kName, i));
        }
    }
    std::fill_n(v.Cluster(v.root + 1) + u64(zeroedSector) * kSector, kSector, u8(0));
}

void LayDocsMiddleSectorZeroed(ToolVolume& v, Expected& expected) { LayDocs(v, expected, 3); }
void LayDocsFirstSectorZeroed(ToolVolume& v, Expected& expected) { LayDocs(v, expected, 0); }

// Folder BIG of two 512-byte clusters whose FAT entries are free: its last set is cut at the end
// of the first, and the second holds only the rest of that set.
void LayLastSetCut(ToolVolume& v, Expected& expected) {
    const std::vector<u8> entries = LayFolder(v, expected, "BIG", "f%u", 6, v.root + 40, v.root + 70, v.root + 100, false);
    ASSERT_GT(entries.size(), v.clusterBytes);
    ASSERT_LT(entries.size(), v.clusterBytes + kSector);
}

// Folder BIG of 300 512-byte clusters laid out backwards, each ending inside a set; its first
// cluster's FAT entry ends the chain, so only the cut sets tie its clusters.
void LayBackwardCutChain(ToolVolume& v, Expected& expected) {
    constexpr u32 kClusters = 300;
    const u32 entriesPerCluster = v.clusterBytes / kEntry;
    std::vector<u8> entries;
    for (u32 i = 0; entries.size() < u64(kClusters) * v.clusterBytes; ++i) {
        // A set that would end where a cluster ends gets a longer name, so that it runs over; its
        // number stands in its last name entry, so that no two cut sets end alike.
        std::string name = "e" + std::to_string(i);
        const u32 at = u32(entries.size() / kEntry) % entriesPerCluster;
        if ((at + 3) % entriesPerCluster == 0) name = "long name number " + std::to_string(i);
        Append(entries, MakeExFatSet(name, 0, 0, kExFatAttrArchive, false));
        if (entries.size() <= u64(kClusters) * v.clusterBytes) expected["BIG"][name] = {};
    }
    std::vector<u32> clusters;
    const u32 top = v.root + 40 + kClusters;
    for (u32 k = 0; k < kClusters; ++k) clusters.push_back(top - k);
    v.Lay(clusters, entries);
    v.SetFat(top, kEndOfChain);
    v.AddToRoot(MakeExFatSet("BIG", top, u64(kClusters) * v.clusterBytes, kExFatAttrFolder, false));
}

const LayoutCase kLayouts[] = {
    {"StaleLookAlikeClusterStaysOutOfTheFolder", 4096, LayStaleLookAlike},
    {"ZeroedMiddleSectorCostsOnlyItsSets", 4096, LayDocsMiddleSectorZeroed},
    {"ZeroedFirstSectorCostsOnlyItsSets", 4096, LayDocsFirstSectorZeroed},
    {"LastSetCutIntoAClusterOfItsOwn", 512, LayLastSetCut},
    {"FolderTiedOnlyByCutSetsLaidBackwards", 512, LayBackwardCutChain},
};

class ExFatFolderBlocks : public ::testing::TestWithParam<LayoutCase> {};

TEST_P(ExFatFolderBlocks, EveryFileComesBackInItsFolder) {
    if (testutil::ToolPath("mkfs.exfat").empty()) GTEST_SKIP() << "needs mkfs.exfat (exfatprogs)";
    const LayoutCase& t = GetParam();
    TempDir tmp;
    const std::string image = tmp.File("volume.img");
    ToolVolume v;
    ASSERT_TRUE(v.Make(image, 32, t.clusterBytes)) << "mkfs.exfat failed";
    Expected expected;
    t.lay(v, expected);
    if (HasFatalFailure()) return;
    ASSERT_TRUE(testutil::WriteFileBytes(image, v.bytes));

    const std::string out = tmp.File("recovered");
    Json report;
    ASSERT_EQ(RunComplete(tmp, image, out, report), 0);
    ExpectFilesInTheirFolders(out, expected);
}

INSTANTIATE_TEST_SUITE_P(Layouts, ExFatFolderBlocks, ::testing::ValuesIn(kLayouts),
                         [](const ::testing::TestParamInfo<LayoutCase>& info) { return std::string(info.param.name); });

// A camera card: a partition at sector 8192 formatted, filled through the driver (pictures,
// notes, recordings, more notes, the first notes deleted) and formatted again. The folders'
// entries lie in the old clusters, some side by side; the card's one volume gives them back.
TEST(ExFatFolderBlocksE2E, CardFormattedAgainGivesBackEveryFolder) {
    const std::string missing = testutil::MissingTools({"mkfs.exfat", "mount.exfat-fuse", "losetup", "umount"});
    if (!missing.empty()) GTEST_SKIP() << "needs exfatprogs, exfat-fuse, losetup and umount; missing: " << missing;
    constexpr u64 kDiskSectors = 128 * 2048;
    constexpr u64 kPartitionStart = 8192;
    TempDir tmp;
    const std::string image = tmp.File("card.img");
    std::vector<u8> disk(kDiskSectors * kSector, 0);
    e2e::PutMbrPartition(disk, 0, 0x07, kPartitionStart, kDiskSectors - kPartitionStart);
    ASSERT_TRUE(testutil::WriteFileBytes(image, disk));

    std::map<std::string, std::vector<u8>> written;
    {
        testutil::LoopDevice loop(image, kPartitionStart * kSector, (kDiskSectors - kPartitionStart) * kSector);
        ASSERT_FALSE(loop.Path().empty()) << "no loop device";
        ASSERT_TRUE(RunQuiet("mkfs.exfat -L SDCARD " + loop.Path()));
        const std::string mnt = tmp.File("mnt");
        std::filesystem::create_directories(mnt);
        {
            testutil::FuseMount mount({"mount.exfat-fuse", "-d", loop.Path(), mnt}, mnt);
            ASSERT_TRUE(mount.IsMounted());
            auto write = [&](const std::string& path, std::vector<u8> bytes) {
                ASSERT_TRUE(testutil::WriteFileBytes(mnt + "/" + path, bytes)) << path;
                written[path.substr(path.rfind('/') + 1)] = std::move(bytes);
            };
            std::filesystem::create_directories(mnt + "/DCIM/100MEDIA");
            for (u32 i = 0; i < 40; ++i) write(Numbered("DCIM/100MEDIA/IMG_%04u.JPG", i), testutil::DistinctBytes(30000 + 37 * i, i));
            // Notes as a notes app leaves them: empty until written.
            std::filesystem::create_directories(mnt + "/Notes");
            for (u32 i = 0; i < 50; ++i) write(Numbered("Notes/note %02u.txt", i), {});
            std::filesystem::create_directories(mnt + "/Audio");
            for (u32 i = 0; i < 4; ++i) write(Numbered("Audio/take%u.wav", i), testutil::DistinctBytes(50000 + 1234 * i, 1000 + i));
            for (u32 i = 50; i < 100; ++i) write(Numbered("Notes/note %02u.txt", i), {});
            for (u32 i = 0; i < 10; ++i) write(Numbered("Notes/table %u.csv", i), testutil::DistinctBytes(400 + i, 2000 + i));
            for (u32 i = 0; i < 3; ++i) write(Numbered("Notes/paper %u.pdf", i), testutil::DistinctBytes(5000 + i, 3000 + i));
            for (u32 i = 0; i < 50; ++i) {
                const std::string name = Numbered("note %02u.txt", i);
                ASSERT_TRUE(std::filesystem::remove(mnt + "/Notes/" + name));
                written.erase(name);
            }
            ASSERT_TRUE(mount.Unmount());
        }
        ASSERT_TRUE(RunQuiet("mkfs.exfat -L SDCARD " + loop.Path()));
    }
    ASSERT_EQ(written.size(), 107u);

    const std::string out = tmp.File("recovered");
    Json report;
    ASSERT_EQ(RunComplete(tmp, image, out, report), 0);
    const Json& found = report["scans"].items[0]["found_partitions"];
    ASSERT_EQ(found.items.size(), 1u) << "a volume guessed from the card's folders is listed beside it";
    EXPECT_EQ(u64(found.items[0]["start_sector"].number), kPartitionStart);
    // The folders' own entries went with the old root: they come back as lost folders.
    std::map<std::string, size_t> good;
    for (const std::string& rel : e2e::ListFiles(out)) {
        auto it = written.find(e2e::LastComponent(rel));
        if (it != written.end() && testutil::ReadFileBytes(out + "/" + rel) == it->second) ++good[it->first];
    }
    for (const auto& [name, bytes] : written) EXPECT_EQ(good.count(name), 1u) << "not back with its bytes: " << name;
}

}  // namespace
