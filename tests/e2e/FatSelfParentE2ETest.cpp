// FAT32 volumes made with mkfs.vfat and mtools whose folders' ".." entries were overwritten with
// the folder's own cluster: the complete scan still finds the volume from those folders when its
// boot sector and FATs are gone, and reads every folder from its first cluster when the root is
// gone. Such a ".." costs the folder its place under its parent, nothing more.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "E2ESupport.h"
#include "TestUtil.h"
#include "ToolImage.h"
#include "platform/ProgramDir.h"
#include "platform/Types.h"

namespace {

using testutil::MissingTools;
using testutil::RunQuiet;

constexpr u64 kSector = 512;
constexpr u64 kEntryBytes = 32;
constexpr u64 kImageBytes = 64ull << 20;

// The regions of a FAT32 volume as its boot sector gives them.
struct Fat32Layout {
    u64 reserved = 0;
    u64 fatSectors = 0;
    u64 fatCount = 0;
    u64 rootCluster = 0;
    u64 dataStart = 0;  // sector of cluster 2; one sector per cluster
};

Fat32Layout ReadLayout(const std::vector<u8>& image) {
    Fat32Layout l;
    l.reserved = ReadLE16(image.data() + 14);
    l.fatCount = image[16];
    l.fatSectors = ReadLE32(image.data() + 36);
    l.rootCluster = ReadLE32(image.data() + 44);
    l.dataStart = l.reserved + l.fatCount * l.fatSectors;
    return l;
}

u32 EntryCluster(const u8* e) { return (u32(ReadLE16(e + 20)) << 16) | ReadLE16(e + 26); }
void SetEntryCluster(u8* e, u32 cluster) {
    WriteLE16(e + 20, u16(cluster >> 16));
    WriteLE16(e + 26, u16(cluster));
}

// Sets the ".." of every folder's first cluster to the folder's own; answers how many.
size_t PointDotDotsAtThemselves(std::vector<u8>& image, const Fat32Layout& l) {
    size_t changed = 0;
    for (u64 at = l.dataStart * kSector; at + kSector <= image.size(); at += kSector) {
        u8* s = image.data() + at;
        if (std::memcmp(s, ".          ", 11) != 0 || std::memcmp(s + kEntryBytes, "..         ", 11) != 0) continue;
        SetEntryCluster(s + kEntryBytes, EntryCluster(s));
        ++changed;
    }
    return changed;
}

// A made folder tree: each file's content hash by its path below the root ("A/X/name").
struct SourceTree {
    testutil::TempDir tmp;
    std::string image = tmp.File("volume.img");
    std::map<std::string, std::string> hashByPath;
};

// Writes `count` files with long names and contents of their own into `folder` of the source
// tree, and remembers them under `path`.
void AddFiles(SourceTree& tree, const std::string& folder, const std::string& path, u32 count, u32 seed) {
    ASSERT_TRUE(MakeDirectories(folder));
    for (u32 i = 0; i < count; ++i) {
        const std::string name = "file " + std::to_string(seed + i) + " with a long name.bin";
        const std::vector<u8> bytes = testutil::DistinctBytes(400 + (seed + i) * 37 % 5000, seed + i);
        ASSERT_TRUE(testutil::WriteFileBytes(folder + "/" + name, bytes));
        tree.hashByPath[(path.empty() ? "" : path + "/") + name] = testutil::Sha256Hex(bytes.data(), bytes.size());
    }
}

// A 64 MiB FAT32 volume of one sector per cluster holding the given folders (each with `files`
// files; "" is the root) written with mtools, read back into memory.
void MakeVolume(SourceTree& tree, const std::vector<std::string>& folders, u32 files, std::vector<u8>& bytes) {
    const std::string source = tree.tmp.File("source");
    u32 seed = 0;
    for (const std::string& f : folders) {
        ASSERT_NO_FATAL_FAILURE(AddFiles(tree, source + (f.empty() ? "/root" : "/tree/" + f), f, files, seed));
        seed += files;
    }
    ASSERT_TRUE(RunQuiet("truncate -s " + std::to_string(kImageBytes) + " " + tree.image));
    ASSERT_TRUE(RunQuiet("mkfs.vfat -F 32 -s 1 " + tree.image));
    ASSERT_TRUE(RunQuiet("cd " + source + "/tree && mcopy -s -i " + tree.image + " * ::/"));
    if (testutil::FileExists(source + "/root")) {
        ASSERT_TRUE(RunQuiet("cd " + source + "/root && mcopy -i " + tree.image + " * ::/"));
    }
    bytes = testutil::ReadFileBytes(tree.image);
    ASSERT_EQ(bytes.size(), kImageBytes);
}

// The complete scan of the whole image, recovered to `out`; each recovered file by its content
// hash, as its path below the volume's tree folder.
std::multimap<std::string, std::string> RecoverAll(const SourceTree& tree, const std::string& out) {
    const std::string cwd = tree.tmp.File("cwd");
    EXPECT_TRUE(MakeDirectories(cwd));
    const std::vector<std::string> args = {"--image", tree.image, "--mode",    "complete",
                                           "--volume", "disk:0",  "--recover", out};
    EXPECT_EQ(e2e::RunDriver(args, cwd, tree.tmp.File("run.log")), 0);
    std::multimap<std::string, std::string> found;
    for (const std::string& f : e2e::ListFiles(out)) {
        // "<volume>/FAT32/..." : the part below the tree folder.
        const size_t tree = f.find("/FAT32/");
        found.emplace(testutil::Sha256File(out + "/" + f), tree == std::string::npos ? f : f.substr(tree + 7));
    }
    return found;
}

std::string FolderOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? "" : path.substr(0, slash);
}
std::string NameOf(const std::string& path) { return path.substr(path.rfind('/') + 1); }

class FatSelfParentE2E : public ::testing::Test {
protected:
    void SetUp() override {
        const std::string missing = MissingTools({"mkfs.vfat", "mcopy", "truncate"});
        if (!missing.empty()) {
            GTEST_SKIP() << "needs the packages dosfstools, mtools and coreutils; missing: " << missing;
        }
    }
};

// Boot sector, its backup and both FATs are gone; the folders are what is left to find the
// volume by. Every file comes back with its bytes, once.
TEST_F(FatSelfParentE2E, AVolumeWithoutBootSectorAndFatsIsFoundFromSuchFolders) {
    SourceTree tree;
    std::vector<u8> bytes;
    ASSERT_NO_FATAL_FAILURE(MakeVolume(tree, {"A", "B", "C", ""}, 57, bytes));
    ASSERT_EQ(tree.hashByPath.size(), 228u);
    const Fat32Layout layout = ReadLayout(bytes);
    ASSERT_EQ(PointDotDotsAtThemselves(bytes, layout), 3u);
    std::fill(bytes.begin(), bytes.begin() + long(layout.dataStart * kSector), u8(0));
    ASSERT_TRUE(testutil::WriteFileBytes(tree.image, bytes));

    // Without a FAT a folder's later clusters are read apart from its first one, so a long name
    // cut at a cluster's end comes back as the short name: the bytes tell the files apart.
    const auto found = RecoverAll(tree, tree.tmp.File("out"));
    for (const auto& [path, hash] : tree.hashByPath) EXPECT_EQ(found.count(hash), 1u) << path;
}

// The root cluster is gone and every ".." names its own folder: each folder comes back whole
// from its first cluster on, the top ones under "Lost Folders", the others under the parent whose
// entry names them.
TEST_F(FatSelfParentE2E, EachFolderComesBackWholeWhenTheRootIsGone) {
    SourceTree tree;
    std::vector<u8> bytes;
    const std::vector<std::string> folders = {"A", "B", "C", "A/X", "A/X/Y", "B/Z"};
    ASSERT_NO_FATAL_FAILURE(MakeVolume(tree, folders, 30, bytes));
    const Fat32Layout layout = ReadLayout(bytes);
    ASSERT_EQ(PointDotDotsAtThemselves(bytes, layout), folders.size());
    const u64 root = (layout.dataStart + layout.rootCluster - 2) * kSector;
    std::fill(bytes.begin() + long(root), bytes.begin() + long(root + kSector), u8(0));
    ASSERT_TRUE(testutil::WriteFileBytes(tree.image, bytes));

    const auto found = RecoverAll(tree, tree.tmp.File("out"));
    // Where the files of each source folder came back; one place per folder.
    std::map<std::string, std::set<std::string>> placesOf;
    for (const auto& [path, hash] : tree.hashByPath) {
        const auto it = found.find(hash);
        ASSERT_NE(it, found.end()) << path;
        EXPECT_EQ(found.count(hash), 1u) << path;
        EXPECT_EQ(NameOf(it->second), NameOf(path));
        placesOf[FolderOf(path)].insert(FolderOf(it->second));
    }
    for (const std::string& f : folders) {
        ASSERT_EQ(placesOf[f].size(), 1u) << f << " is split";
        const std::string place = *placesOf[f].begin();
        if (f.find('/') == std::string::npos) {
            // Its entry was in the root: it has lost its name and its parent.
            EXPECT_EQ(FolderOf(place), "Lost Folders") << f;
        } else {
            EXPECT_EQ(place, *placesOf[FolderOf(f)].begin() + "/" + NameOf(f)) << f;
        }
    }
}

}  // namespace
