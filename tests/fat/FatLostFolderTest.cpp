// Folders the FAT deep search finds only by their own "." and ".." entries: where they are placed
// (under the folder their ".." names, else under "Lost Folders"), how a folder the search made
// stands in for a deleted entry that lost the high word of its first cluster, and what a paused
// preview gets from the search while it ends.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <deque>
#include <fstream>
#include <functional>
#include <map>
#include <numeric>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "FatTestSupport.h"
#include "Gate.h"
#include "RecordingBuilder.h"
#include "ToolImage.h"
#include "fs/fat/FatDeepSearch.h"
#include "fs/fat/FatFileProperties.h"
#include "fs/fat/FatQuickSearch.h"

namespace {

constexpr u32 kSector = 512;
constexpr u32 kEntry = 32;
constexpr u32 kEndOfChain = 0x0FFFFFFF;

// Keeps the tree the search builds for the chosen candidate.
class KeepingBuilder : public testutil::RecordingBuilder {
public:
    ~KeepingBuilder() override { DestroySubtree(kept); }
    u32 ApplyFilter(CFileSystemNode* root, CSearchedPartitionInfo*) override {
        DestroySubtree(kept);
        kept = root;
        return 1;
    }
    CFileSystemNode* kept = nullptr;
};

// The block loop over the whole device.
void SearchBlocks(CFatCompleteSearch& search, IStorageDevice& device, u32 blockSectors) {
    search.SetDevice(&device);
    search.SetBlockSectorCount(blockSectors);
    search.BeginSearch();
    const u64 total = device.GetTotalSectors();
    for (u64 first = 0; first < total; first += blockSectors) {
        search.SearchBlock(first, std::min<u64>(blockSectors, total - first));
    }
}

// The complete scan's tree of the first volume the FAT deep search finds on the device.
void BuildDeepTree(IStorageDevice& device, KeepingBuilder& builder) {
    CFatCompleteSearch search;
    search.SetDirectoryTreeBuilder(&builder);
    SearchBlocks(search, device, 8192);
    search.EndSearch();
    std::vector<CSearchedPartitionInfo*> chosen;
    search.GetSearchedPartitions(chosen);
    ASSERT_FALSE(chosen.empty());
    chosen.resize(1);
    ASSERT_EQ(search.BuildFileSystemTrees(chosen), 1u);
    ASSERT_NE(builder.kept, nullptr);
}

// The deleted-file scan of the device, its nodes in `builder`.
void QuickScan(IStorageDevice& device, fattest::RecordingBuilder& builder) {
    fattest::CountingProgress progress;
    CFATQuickSearch search;
    search.SetDirectoryTreeBuilder(&builder);
    ASSERT_EQ(search.Search(&device, &progress), 0u);
}

CFATFileProperties* Props(const CFileNode* n) { return static_cast<CFATFileProperties*>(n->GetFileProperties()); }
std::string Name(const CFileNode* n) { return Props(n) != nullptr ? Props(n)->GetName() : ""; }
bool IsFolder(const CFileNode* n) { return (Props(n)->GetAttributes() & kAttrDirectory) != 0; }
std::vector<const CFileNode*> Children(const CFileNode* folder, bool folders) {
    std::vector<const CFileNode*> out;
    for (const CFileNode* c = folder->GetFirstChild(); c != nullptr; c = c->GetNextSibling()) {
        if (IsFolder(c) == folders) out.push_back(c);
    }
    return out;
}
std::string Read(IStorageDevice& device, const CFileSystemNode& root, const CFileNode& file) {
    std::vector<u8> data;
    EXPECT_TRUE(fattest::ReadThroughRuns(device, root, file, data));
    return std::string(data.begin(), data.end());
}

// Where each file's content comes back: the path of the folder holding it, in each scan.
struct FileHolders {
    std::map<std::string, std::string> quick;
    std::map<std::string, std::string> deep;
};
void PutEntry(u8* e, const char* name11, u8 attributes, u32 cluster, u32 size) {
    std::memcpy(e, name11, 11);
    e[11] = attributes;
    WriteLE16(e + 20, u16(cluster >> 16));
    WriteLE16(e + 26, u16(cluster));
    WriteLE32(e + 28, size);
}

std::string ContentOf(u32 cluster) { return "in " + std::to_string(cluster); }

// A sparse FAT32 volume of one sector per cluster (80 MiB unless asked), as mkfs.vfat makes it,
// written into by cluster.
struct Fat32Volume {
    testutil::TempDir tmp;
    const std::string image = tmp.File("volume.img");
    std::fstream file;
    u8 boot[kSector] = {};
    u64 dataStart = 0;

    // False when the tools fail or the boot sector cannot be read back.
    bool Make(u32 megabytes = 80) {
        const std::string size = std::to_string(megabytes) + "M ";
        if (!testutil::RunQuiet("truncate -s " + size + image + " && mkfs.vfat -F 32 -s 1 " + image)) return false;
        file.open(image, std::ios::in | std::ios::out | std::ios::binary);
        if (!file.read(reinterpret_cast<char*>(boot), kSector)) return false;
        dataStart = ReadLE16(boot + 14) + 2 * u64(ReadLE32(boot + 36));
        return true;
    }
    void Write(u64 cluster, const void* in, size_t n, u64 offset = 0) {
        file.seekp(std::streamoff((dataStart + cluster - 2) * kSector + offset));
        file.write(static_cast<const char*>(in), std::streamsize(n));
    }
    u32 RootCluster() const { return ReadLE32(boot + 44); }
};

// Both scans of the volume, once its writing is done.
void FindFileHolders(Fat32Volume& v, FileHolders& out) {
    v.file.close();
    ASSERT_FALSE(v.file.fail());
    testutil::ImageDevice device(v.image, kSector);
    ASSERT_TRUE(device.IsOpen());
    fattest::RecordingBuilder quick;
    ASSERT_NO_FATAL_FAILURE(QuickScan(device, quick));
    for (const CFileNode* n : quick.nodes) {
        if (!IsFolder(n)) out.quick[Read(device, *quick.root, *n)] = fattest::Folder(quick.PathOf(n));
    }
    KeepingBuilder builder;
    ASSERT_NO_FATAL_FAILURE(BuildDeepTree(device, builder));
    std::map<std::string, const CFileNode*> paths;
    fattest::CollectPaths(builder.kept, paths);
    for (const auto& [path, n] : paths) {
        if (!IsFolder(n)) out.deep[Read(device, *builder.kept, *n)] = fattest::Folder(path);
    }
}

class FatLostFolders : public ::testing::Test {
protected:
    void SetUp() override {
        SetLoggingEnabled(false);
        const std::string missing = testutil::MissingTools({"mkfs.vfat", "truncate"});
        if (!missing.empty()) GTEST_SKIP() << "needs the packages dosfstools and coreutils; missing: " << missing;
    }
    void TearDown() override { SetLoggingEnabled(true); }
};

// On a 1.75 GiB sparse FAT32 volume of one sector per cluster, folders written byte by byte that
// no entry names, each found by its "." and "..":
// - 32,000 folders each naming the one before in "..", the first naming the root (placing them
//   was quadratic); a ring of four naming each other, with a fifth below one of them; a folder
//   whose ".." names itself (it was refused, its files lost), with one below it. Each folder lands
//   under the one its ".." names; a ring enters "Lost Folders" through its lowest cluster, and a
//   folder naming itself goes there whole.
// - a folder at 50 x 65,536 + 5, whose deleted entry in the root lost the high word of its first
//   cluster (further than the retries of higher words reach). It is made beside the entry as a
//   "DIR" stand-in; the two become one folder: the entry's name and state with the full first
//   cluster, holding the files. The emptied stand-in keeps its "DIR" name.
TEST_F(FatLostFolders, EachFolderLandsUnderItsDotDotOrTakesThePlaceOfItsCutEntry) {
    testutil::TempDir tmp;
    const std::string image = tmp.File("volume.img");
    constexpr u64 kMegabytes = 1792;
    ASSERT_TRUE(testutil::RunQuiet("truncate -s 1792M " + image + " && mkfs.vfat -F 32 -s 1 " + image));
    std::fstream file(image, std::ios::in | std::ios::out | std::ios::binary);
    u8 boot[kSector] = {};
    ASSERT_TRUE(file.read(reinterpret_cast<char*>(boot), kSector));
    const u64 fats[] = {ReadLE16(boot + 14), ReadLE16(boot + 14) + ReadLE32(boot + 36)};  // first sectors
    const u64 dataStart = fats[1] + ReadLE32(boot + 36);
    auto write = [&](u64 cluster, const void* in, size_t n) {
        file.seekp(std::streamoff((dataStart + cluster - 2) * kSector));
        file.write(static_cast<const char*>(in), std::streamsize(n));
    };
    // A folder at `cluster` with ".." naming `parent` and one file "F.TXT" in the next cluster
    // holding `content`; both in the FAT when `allocated`.
    auto putFolder = [&](u32 cluster, u32 parent, const std::string& content, bool allocated) {
        u8 folder[kSector] = {};
        PutEntry(folder, ".          ", kAttrDirectory, cluster, 0);
        PutEntry(folder + kEntry, "..         ", kAttrDirectory, parent, 0);
        PutEntry(folder + 2 * kEntry, "F       TXT", 0x20, cluster + 1, u32(content.size()));
        write(cluster, folder, kSector);
        write(cluster + 1, content.data(), content.size());
        u8 ends[8];
        WriteLE32(ends, kEndOfChain);
        WriteLE32(ends + 4, kEndOfChain);
        for (u64 fat = 0; allocated && fat < 2; ++fat) {
            file.seekp(std::streamoff(fats[fat] * kSector + cluster * 4));
            file.write(reinterpret_cast<const char*>(ends), 8);
        }
    };
    std::map<u32, u64> parentOf;  // folder cluster -> the node id it must hang under
    auto put = [&](u32 cluster, u32 dotDot, u64 placedUnder) {
        putFolder(cluster, dotDot, ContentOf(cluster), true);
        parentOf[cluster] = placedUnder;
    };
    constexpr u32 kChainHead = 100;
    u32 at = kChainHead;
    for (u32 k = 0; k < 32000; ++k, at += 2) put(at, k == 0 ? 0 : at - 2, k == 0 ? 0 : at - 2);
    const u32 ring = at;
    const u32 ringParents[] = {ring + 6, ring, ring + 2, ring + 4, ring + 4};
    for (u32 i = 0; i < 5; ++i) put(ring + 2 * i, ringParents[i], i == 0 ? kFatLostFoldersId : ringParents[i]);
    const u32 self = ring + 10;
    put(self, self, kFatLostFoldersId);
    put(self + 2, self, self);

    constexpr u32 kLowWord = 5;
    constexpr u32 kStart = 50 * 65536 + kLowWord;
    ASSERT_LT(u64(kStart), (kMegabytes << 11) - dataStart);
    const std::string note = "the note in the folder whose entry was cut\n";
    putFolder(kStart, 0, note, false);
    u8 entry[kEntry] = {};  // the root's first entry: the folder's, deleted, with the low word only
    PutEntry(entry, "_HOTOS     ", kAttrDirectory, kLowWord, 0);
    entry[0] = 0xE5;
    write(ReadLE32(boot + 44), entry, kEntry);
    file.close();
    ASSERT_FALSE(file.fail());

    testutil::ImageDevice device(image, kSector);
    ASSERT_TRUE(device.IsOpen());
    KeepingBuilder builder;
    ASSERT_NO_FATAL_FAILURE(BuildDeepTree(device, builder));
    std::map<u64, const CFileNode*> folders;  // by node id, without recursion: the chain is deep
    for (std::deque<const CFileNode*> queue{builder.kept}; !queue.empty(); queue.pop_front()) {
        folders[queue.front()->GetId()] = queue.front();
        for (const CFileNode* c : Children(queue.front(), true)) queue.push_back(c);
    }
    for (const auto& [cluster, parent] : parentOf) {
        const auto it = folders.find(cluster);
        ASSERT_NE(it, folders.end()) << "folder at cluster " << cluster << " is missing";
        const CFileNode* folder = it->second;
        ASSERT_NE(folder->GetParent(), nullptr);
        ASSERT_EQ(folder->GetParent()->GetId(), parent) << "folder at cluster " << cluster;
        if (parent == kFatLostFoldersId) {
            EXPECT_EQ(folder->GetParent()->GetParent()->GetId(), 0u);
        }
        const std::vector<const CFileNode*> files = Children(folder, false);
        ASSERT_EQ(files.size(), 1u) << "folder at cluster " << cluster;
        if (cluster % 1000 == 0 || cluster >= ring) {
            EXPECT_EQ(Read(device, *builder.kept, *files[0]), ContentOf(cluster));
        }
    }

    const CFileNode* holder = nullptr;
    const CFileNode* emptied = nullptr;
    for (const CFileNode* c : Children(builder.kept, true)) {
        if (c->GetId() == kFatLostFoldersId || c->GetId() == kChainHead) continue;
        if (c->GetFirstChild() != nullptr) {
            EXPECT_EQ(holder, nullptr) << "a second folder holds files: " << Name(c);
            holder = c;
        } else {
            emptied = c;
        }
    }
    ASSERT_NE(holder, nullptr);
    EXPECT_EQ(Name(holder).substr(1), "HOTOS");
    EXPECT_EQ(Props(holder)->GetFirstCluster(), kStart);
    EXPECT_EQ(Props(holder)->GetState() & kFatTemporaryState, 0u);
    EXPECT_NE(Props(holder)->GetState() & kFatDeletedState, 0u);
    const std::vector<const CFileNode*> files = Children(holder, false);
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(Name(files[0]), "F.TXT");
    EXPECT_EQ(Read(device, *builder.kept, *files[0]), note);
    ASSERT_NE(emptied, nullptr);
    EXPECT_EQ(Name(emptied).rfind("DIR", 0), 0u) << Name(emptied);
    EXPECT_EQ(Props(emptied)->GetState(), kFatLostFolderState);
}

// Two deleted FAT32 folders whose entries in the root lost the high word of their first cluster
// (both read cluster 5), their folders at 65,536 + 5 and 2 x 65,536 + 5: only a folder whose "."
// entry's creation time is the entry's, or a lone one, is taken for the entry's; many cameras
// write no creation time, and then neither folder is given the entry's name: both scans keep each
// folder's files in a "DIR" folder. Neither entry is the other's duplicate: each takes the folder
// its own time tells, or leaves it a "DIR" folder, whichever is listed first. An entry that kept a
// high word (A's naming 65,536 + 5, where no folder begins) lost none. An untimed folder whose ".."
// names no folder is nobody's: its file stays in a "DIR" folder.
TEST_F(FatLostFolders, AnEntryThatLostItsHighWordTakesOnlyAFolderItsTimeOrAloneTellsIsItsOwn) {
    constexpr u32 kLowWord = 5;
    constexpr u32 kFolderA = 2 * 65536 + kLowWord;
    constexpr u32 kFolderB = 65536 + kLowWord;
    constexpr u32 kNowhere = 5000;  // a cluster where no folder is
    constexpr u16 kDate = (44u << 9) | (5u << 5) | 10u;
    const struct {
        const char* what;
        bool entryTimes;      // the entries carry creation times (A's and B's differ)
        bool dotTimes;        // the "." entries carry their folder's entry's creation time
        bool withFolderB;     // else B's folder was overwritten
        bool alphaTakesA;     // the kept entry A holds A's file, in both scans
        u32 alphaHighWord = 0;  // the high word A's entry kept
        bool bravoTakesB = false;  // B's entry holds B's file
        bool bravoLive = false;    // B is a live folder at the low word itself
        bool bravoFirst = false;   // B's entry is listed before A's
        bool bravoUntimed = false;  // B's entry and "." carry no time, whatever A's do
        bool stranger = false;  // A's folder gone; at B's an untimed folder whose ".." names none holds "S-file"
    } rows[] = {
        {"no creation times, two folders of the low word", false, false, true, false},
        {"creation times tell each entry's folder", true, true, true, true, 0, true},
        {"no creation times, A's folder alone", false, false, false, true},
        {"entries with creation times, \".\" entries without", true, false, true, false},
        {"A's entry kept the high word of 65,536 + 5", false, false, false, false, 1},
        {"a live folder at the low word itself, listed before A", false, false, true, true, 0, true, true, true},
        {"a live folder at the low word itself, listed after A, with times", true, true, true, true, 0, true, true},
        {"times for A, none for B, B listed first", true, true, true, true, 0, true, false, true, true},
        {"a live folder at the low word itself and a stranger, A's folder gone", true, true, true, false, 0, false,
         true, false, false, true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        Fat32Volume v;
        ASSERT_TRUE(v.Make());
        auto write = [&v](u64 cluster, const void* in, size_t n, u64 offset = 0) { v.Write(cluster, in, n, offset); };
        // A folder with one file, its ".." `dotDot`, and its entry (if named) in the root, created
        // `minute`s into the day.
        auto put = [&](u32 folder, u32 entryAt, const char* name11, const std::string& content, u16 minute,
                       u32 highWord, bool timed = true, u32 dotDot = 0) {
            u8 dir[kSector] = {};
            PutEntry(dir, ".          ", kAttrDirectory, folder, 0);
            PutEntry(dir + kEntry, "..         ", kAttrDirectory, dotDot, 0);
            PutEntry(dir + 2 * kEntry, "\xE5       TXT", 0x20, folder + 1, u32(content.size()));
            u8* entry = dir + 3 * kEntry;
            PutEntry(entry, name11 != nullptr ? name11 : "           ", kAttrDirectory, highWord * 65536 + kLowWord, 0);
            for (auto [e, stamped] : {std::pair{dir, row.dotTimes}, std::pair{entry, row.entryTimes}}) {
                WriteLE16(e + 14, stamped && timed ? u16(minute << 5) : 0);
                WriteLE16(e + 16, stamped && timed ? kDate : 0);
            }
            WriteLE16(entry + 22, u16(minute << 5));  // A's entry written last: it is the one kept
            WriteLE16(entry + 24, kDate);
            if (name11 != nullptr) write(v.RootCluster(), entry, kEntry, entryAt * kEntry);
            std::memset(entry, 0, kEntry);
            write(folder, dir, kSector);
            write(folder + 1, content.data(), content.size());
        };
        put(kFolderA, row.bravoFirst ? 1 : 0, "\xE5LPHA      ", row.stranger ? "" : "A-file", 2, row.alphaHighWord);
        if (row.stranger) {
            const u8 zeros[kSector] = {};
            write(kFolderA, zeros, kSector);
            put(kFolderB, 0, nullptr, "S-file", 3, 0, false, kNowhere);
        }
        if (row.bravoLive) {
            put(kLowWord, row.bravoFirst ? 0 : 1, "BRAVO      ", "B-file", 1, 0);
            const u8 end[4] = {0xFF, 0xFF, 0xFF, 0x0F};
            for (u64 fat : {u64(ReadLE16(v.boot + 14)), ReadLE16(v.boot + 14) + u64(ReadLE32(v.boot + 36))}) {
                v.file.seekp(std::streamoff(fat * kSector + kLowWord * 4));
                v.file.write(reinterpret_cast<const char*>(end), 4);
            }
        } else if (row.withFolderB) {
            put(kFolderB, row.bravoFirst ? 0 : 1, "\xE5RAVO      ", "B-file", 1, 0, !row.bravoUntimed);
        }

        // The name of the folder that holds each file's content, in each scan.
        FileHolders holders;
        ASSERT_NO_FATAL_FAILURE(FindFileHolders(v, holders));
        for (auto* holder : {&holders.quick, &holders.deep}) {
            for (auto& [content, folder] : *holder) folder = folder.substr(folder.rfind('/') + 1);
            EXPECT_NE((*holder)["B-file"], "#LPHA");
            const char* alphaIn = row.stranger ? "" : row.alphaTakesA ? "#LPHA" : "DIR";
            EXPECT_EQ((*holder)["A-file"].rfind(alphaIn, 0), 0u) << (*holder)["A-file"];
            EXPECT_EQ((*holder)["S-file"].rfind(row.stranger ? "DIR" : "", 0), 0u) << (*holder)["S-file"];
            const char* bravoIn = !row.withFolderB ? "" : row.bravoLive ? "BRAVO" : row.bravoTakesB ? "#RAVO" : "DIR";
            EXPECT_EQ((*holder)["B-file"].rfind(bravoIn, 0), 0u) << (*holder)["B-file"];
        }
    }
}

// Folders that no entry names, each at a higher word of a deleted root entry that lost its own
// (cluster 100 unless a row says, no creation times), each ".." naming the root or another of
// them, whatever the order of their clusters. Both scans read every such folder, also one below
// another placed before that one was read, and give each file in a folder of its own, below the
// folder its ".." names; the entry takes the folder whose ".." alone names the root, so both scans
// give the same paths. A row may put a folder at a low cluster of its own (only the complete scan
// sees it: no entry's low word names it), below the folder a retry of the entry found. Folders
// in a ring of ".." enter "Lost Folders" through the ring's lowest cluster, whatever hangs below;
// a folder listed by a live entry in another is found by that one's walk alone where its start
// was zeroed, and a folder naming it in ".." still goes below it, whatever the clusters' order; a
// ring only such walks close enters through its lowest cluster too.
TEST_F(FatLostFolders, FoldersNoEntryNamesAreReadAtEveryDepth) {
    constexpr u32 kEmptyCluster = 99;  // a ".." naming a cluster where no folder is
    constexpr auto At = [](u32 k) { return 100 + k * 65536; };
    const struct {
        const char* what;
        std::vector<u32> parents;        // of folder k (from 1), 0 for the root
        std::vector<u32> clusters = {};  // of folder k, else the low word + k x 65,536
        u32 lowWord = 100;
        std::vector<u32> lost = {};      // folders that go under "Lost Folders"
        std::vector<u32> listedIn = {};  // of folder k: the folder holding a live entry "X<k>" for it
        std::vector<u32> noStart = {};   // listed folders whose "." and ".." (and files) are zeros
    } rows[] = {
        {"one below the other", {0, 1}},
        {"three deep", {0, 1, 2}},
        {"two beside each other below the first", {0, 1, 1}},
        {"the parent at the higher cluster", {2, 0}},
        {"two below the third, the one below the root last", {3, 3, 0}},
        {"three deep, the middle level at the highest cluster", {3, 0, 2}},
        {"four deep, each level at a lower cluster than the one above", {2, 3, 4, 0}},
        {"an entry of low word 0", {0}, {}, 0},
        {"an entry of low word 1, a folder below", {0, 1}, {}, 1},
        {"a folder at a low cluster below the one found at a higher word", {0, 1}, {100 + 65536, 5000}},
        {"two folders of one low word below the one found at a higher word", {0, 1, 1}, {100 + 65536, 5000, 5000 + 65536}},
        {"a ring of two, one below it at the lowest cluster", {2, 3, 2}, {}, 100, {2}},
        {"a ring of two, one below it at the highest cluster", {2, 1, 1}, {}, 100, {1}},
        {"a ring of three, a chain of two below it at clusters on both sides", {3, 4, 5, 5, 2}, {}, 100, {2}},
        {"a parent three walks deep, the folder below it at the lowest cluster", {5, kEmptyCluster, 2, 3, 4}, {}, 100,
         {2}, {0, 0, 2, 3, 4}, {5}},
        {"a parent three walks deep, the folder below it at the highest cluster", {kEmptyCluster, 1, 2, 3, 4}, {}, 100,
         {1}, {0, 1, 2, 3, 0}, {4}},
        // Each ".." names a folder only another's walk finds: 1, 2 (3) name 3, 4 (4, 5, 6), listed in 2, 1 (2, 3, 1).
        {"a ring of two that walks close", {3, 4, 0, 0}, {At(1), At(2), 7000, 7010}, 100, {1}, {0, 0, 2, 1}, {3, 4}},
        {"a ring of three that walks close", {4, 5, 6, 0, 0, 0}, {At(2), At(3), At(1), 7000, 7010, 7020}, 100, {3},
         {0, 0, 0, 2, 3, 1}, {4, 5, 6}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        Fat32Volume v;
        ASSERT_TRUE(v.Make(192));
        auto clusterOf = [&](u32 k) {
            if (k == 0) return 0u;
            if (k == kEmptyCluster) return 5000u;
            return row.clusters.empty() ? row.lowWord + k * 65536 : row.clusters[k - 1];
        };
        auto content = [](u32 k) { return "file of folder " + std::to_string(k); };
        auto listing = [&](u32 k) { return k <= row.listedIn.size() ? row.listedIn[k - 1] : 0u; };
        auto NoStart = [&](u32 k) { return std::find(row.noStart.begin(), row.noStart.end(), k) != row.noStart.end(); };
        std::map<u32, std::vector<u8>> sectors;
        for (u32 k = 1; k <= row.parents.size(); ++k) {
            std::vector<u8>& dir = sectors[k];
            dir.resize(kSector);
            if (NoStart(k)) continue;
            PutEntry(dir.data(), ".          ", kAttrDirectory, clusterOf(k), 0);
            PutEntry(dir.data() + kEntry, "..         ", kAttrDirectory, clusterOf(row.parents[k - 1]), 0);
            PutEntry(dir.data() + 2 * kEntry, "\xE5       TXT", 0x20, clusterOf(k) + 1, u32(content(k).size()));
            v.Write(clusterOf(k) + 1, content(k).data(), content(k).size());
        }
        for (u32 k = 1; k <= row.parents.size(); ++k) {
            const std::string name = "X" + std::to_string(k) + std::string(10 - std::to_string(k).size(), ' ');
            if (listing(k) != 0) PutEntry(sectors[listing(k)].data() + 3 * kEntry, name.c_str(), kAttrDirectory, clusterOf(k), 0);
        }
        for (const auto& [k, dir] : sectors) v.Write(clusterOf(k), dir.data(), kSector);
        u8 entry[kEntry] = {};
        PutEntry(entry, "\xE5IR        ", kAttrDirectory, row.lowWord, 0);
        v.Write(v.RootCluster(), entry, kEntry);
        FileHolders holders;
        ASSERT_NO_FATAL_FAILURE(FindFileHolders(v, holders));
        // Else a folder no entry names lies at a low cluster, where the deleted-file scan does not look.
        const bool quickSeesAll = row.clusters.empty() || !row.listedIn.empty();
        for (auto* holder : {&holders.quick, &holders.deep}) {
            if (holder == &holders.quick && !quickSeesAll) continue;
            std::set<std::string> folders;
            // A listed folder's path is its listing folder's and its entry's name.
            std::function<std::string(u32)> pathOf = [&](u32 k) -> std::string {
                if (listing(k) != 0) return pathOf(listing(k)) + "/X" + std::to_string(k);
                return (*holder)[content(k)];
            };
            for (u32 k = 1; k <= row.parents.size(); ++k) {
                if (NoStart(k)) continue;
                EXPECT_EQ(holder->count(content(k)), 1u) << content(k) << " is missing";
                EXPECT_EQ((*holder)[content(k)], pathOf(k));
                const u32 parent = row.parents[k - 1];
                const bool lost = std::find(row.lost.begin(), row.lost.end(), k) != row.lost.end();
                const std::string above = lost ? std::string("/") + kFatLostFoldersName : parent == 0 ? "" : pathOf(parent);
                EXPECT_EQ(fattest::Folder((*holder)[content(k)]), above) << (*holder)[content(k)];
                EXPECT_TRUE(folders.insert((*holder)[content(k)]).second) << (*holder)[content(k)];
            }
        }
        // The "DIR" numbers go on from scan to scan.
        for (auto* holder : {&holders.quick, &holders.deep}) {
            for (auto& [content, path] : *holder) path = std::regex_replace(path, std::regex("DIR[0-9]+"), "DIR");
        }
        if (quickSeesAll) {
            EXPECT_EQ(holders.quick, holders.deep);
        }
    }
}

// A deleted FAT32 folder entry whose first cluster (5) begins no folder is tried at the higher
// words of that cluster; a sector there that begins like a folder but whose "." names another
// cluster is a folder's copy inside a file, and its files are never given the entry's name.
TEST_F(FatLostFolders, TheHigherWordsOfAnEntryTakeOnlyAFolderWhoseDotNamesItself) {
    constexpr u32 kLowWord = 5;
    constexpr u32 kHigher = 65536 + kLowWord;
    constexpr u32 kCopiedFrom = 777;
    Fat32Volume v;
    ASSERT_TRUE(v.Make());
    u8 copy[kSector] = {};
    PutEntry(copy, ".          ", kAttrDirectory, kCopiedFrom, 0);
    PutEntry(copy + kEntry, "..         ", kAttrDirectory, 0, 0);
    const std::string content = "B-file";
    PutEntry(copy + 2 * kEntry, "B       TXT", 0x20, kHigher + 1, u32(content.size()));
    v.Write(kHigher, copy, kSector);
    v.Write(kHigher + 1, content.data(), content.size());
    u8 entry[kEntry] = {};
    PutEntry(entry, "\xE5LD        ", kAttrDirectory, kLowWord, 0);
    v.Write(v.RootCluster(), entry, kEntry);
    FileHolders holders;
    ASSERT_NO_FATAL_FAILURE(FindFileHolders(v, holders));
    EXPECT_EQ(holders.quick.count(content), 0u) << holders.quick[content];
    EXPECT_EQ(holders.deep.count(content), 0u) << holders.deep[content];
}

// Which folder start at a higher word each deleted entry of its low word takes, in any order of
// either. Times 1 and 2 are creation times, 0 none; listing folders are 10 and 20, 99 names none.
TEST(FatLowWordChoice, EachEntryTakesTheFolderStartItsTimeOrItsDotDotTells) {
    constexpr u64 kLow = 5;
    constexpr size_t kNone = kFatNoLowWordChoice;
    const auto at = [](u64 k) { return kLow + k * 65536; };
    const struct {
        const char* what;
        std::vector<FatLowWordEntry> entries;
        std::vector<FatLowWordCandidate> candidates;
        std::vector<size_t> chosen;  // of each entry
    } rows[] = {
        {"its time, whatever its \"..\" names", {{kLow, 1, 10}}, {{at(1), 1, 99}}, {0}},
        {"no time, its \"..\" the lister", {{kLow, 1, 10}}, {{at(1), 0, 10}}, {0}},
        {"no time, its \"..\" naming nothing: a stranger", {{kLow, 1, 10}}, {{at(1), 0, 99}}, {kNone}},
        {"another time, its \"..\" the lister", {{kLow, 1, 10}}, {{at(1), 2, 10}}, {kNone}},
        {"two of its time, one naming the lister", {{kLow, 1, 10}}, {{at(1), 1, 99}, {at(2), 1, 10}}, {1}},
        {"another low word", {{kLow, 1, 10}}, {{at(1) + 1, 1, 10}}, {kNone}},
        {"the timed entry first", {{kLow, 1, 10}, {kLow, 0, 10}}, {{at(1), 1, 10}, {at(2), 0, 10}}, {0, 1}},
        {"two entries of no time, one folder", {{kLow, 0, 10}, {kLow, 0, 10}}, {{at(1), 0, 10}}, {kNone, kNone}},
        {"entries of two listers", {{kLow, 0, 10}, {kLow, 0, 20}}, {{at(1), 0, 20}, {at(2), 0, 10}}, {1, 0}},
        {"three entries", {{kLow, 1, 10}, {kLow, 2, 10}, {kLow, 0, 10}}, {{at(1), 2, 10}, {at(2), 0, 10}, {at(3), 1, 10}},
         {2, 0, 1}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        // Every order of the entries, and of the candidates: e[i] is the i-th entry listed.
        std::vector<size_t> e(row.entries.size()), c(row.candidates.size());
        std::iota(e.begin(), e.end(), 0);
        do {
            std::iota(c.begin(), c.end(), 0);
            do {
                std::vector<FatLowWordEntry> entries;
                std::vector<FatLowWordCandidate> candidates;
                for (const size_t i : e) entries.push_back(row.entries[i]);
                for (const size_t i : c) candidates.push_back(row.candidates[i]);
                const std::vector<size_t> choice = ChooseLowWordFolders(entries, candidates, std::equal_to<u64>());
                for (size_t i = 0; i < e.size(); ++i) EXPECT_EQ(choice[i] == kNone ? kNone : c[choice[i]], row.chosen[e[i]]);
            } while (std::next_permutation(c.begin(), c.end()));
        } while (std::next_permutation(e.begin(), e.end()));
    }
}

// A folder of the merge table, before the merge.
struct Child {
    const char* name;
    u8 state;
    u32 firstCluster;
    bool holdsFiles;
    // The entry's creation time; for a stand-in, that of its "." entry.
    FILETIME64 created = 0;
};

TreeNodePtr MakeNode(const Child& c, u16 attributes = kAttrDirectory) {
    TreeNodePtr node = CreateFileNode();
    PropertiesRef<CFATFileProperties> p(NewFATFileProperties());
    p->SetName(c.name);
    p->SetAttributes(attributes);
    p->SetState(c.state);
    p->SetFirstCluster(c.firstCluster);
    if ((c.state & kFatTemporaryState) == 0) p->SetCreationTime(c.created);
    node->SetFileProperties(p.release());
    if (c.holdsFiles) node->AddChild(MakeNode({"NOTE.TXT", 0, 0, false}, 0).release());
    return node;
}

// The stand-in that holds the files takes the entry's name, the emptied entry the stand-in's name
// and full first cluster; where the low word does not tell which stand-in is whose, the "."
// entry's creation time does, or nothing changes.
TEST(FatTemporaryFolders, AnEmptyDeletedFolderTakesOverTheStandInOfItsLowWord) {
    constexpr u8 kLive = 0;
    constexpr u8 kDel = kFatDeletedState;
    constexpr u8 kMade = kFatLostFolderState;
    const struct {
        const char* what;
        std::vector<Child> children;
        std::vector<std::pair<int, int>> merged;  // stand-in, entry
    } cases[] = {
        {"a stand-in and the entry it stands for", {{"DIR7", kMade, 0x320005, true}, {"_HOTOS", kDel, 5, false}}, {{0, 1}}},
        {"the entry's folder holds files itself", {{"DIR7", kMade, 0x320005, true}, {"_HOTOS", kDel, 5, true}}, {}},
        {"a live entry", {{"DIR7", kMade, 0x320005, true}, {"PHOTOS", kLive, 5, false}}, {}},
        {"another low word", {{"DIR7", kMade, 0x320006, true}, {"_HOTOS", kDel, 5, false}}, {}},
        {"an entry that kept its high word", {{"DIR7", kMade, 0x10005, true}, {"_HOTOS", kDel, 0x10005, false}}, {}},
        {"two stand-ins whose times do not tell",
         {{"DIR1", kMade, 0x10005, true, 100}, {"DIR2", kMade, 0x20005, true, 100}, {"_HOTOS", kDel, 5, false, 100}}, {}},
        {"one stand-in for two entries",
         {{"DIR7", kMade, 0x320005, true}, {"_A", kDel, 5, false}, {"_B", kDel, 5, false}}, {}},
        {"two stand-ins for two entries, told apart by time",
         {{"DIR1", kMade, 0x10005, true, 200}, {"DIR2", kMade, 0x20005, true, 100}, {"_A", kDel, 5, false, 100},
          {"_B", kDel, 5, false, 200}},
         {{1, 2}, {0, 3}}},
        {"two stand-ins and two entries without creation times (a camera's)",
         {{"DIR1", kMade, 0x10005, true}, {"DIR2", kMade, 0x20005, true}, {"_A", kDel, 5, false}, {"_B", kDel, 5, false}},
         {}},
        {"stand-ins without times beside one whose time tells",
         {{"DIR1", kMade, 0x10005, true}, {"DIR2", kMade, 0x20005, true}, {"DIR3", kMade, 0x30005, true, 100},
          {"_A", kDel, 5, false}, {"_B", kDel, 5, false, 100}},
         {{2, 4}}},
        {"the one stand-in whose time is the entry's",
         {{"DIR1", kMade, 0x10005, true, 300}, {"DIR2", kMade, 0x20005, true, 100}, {"_A", kDel, 5, false, 100}},
         {{1, 2}}},
        {"a lone stand-in whose time is another's, as the retry of higher words judges it",
         {{"DIR7", kMade, 0x320005, true, 300}, {"_HOTOS", kDel, 5, false, 100}}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<Child> after = c.children;
        for (const auto& [standIn, entry] : c.merged) {
            std::swap(after[standIn].name, after[entry].name);
            after[entry].firstCluster = after[standIn].firstCluster;
        }
        // The folders lie one level down: every folder of the tree is looked at.
        TreeNodePtr root = MakeNode({"FAT32", kLive, 0, false});
        TreeNodePtr parent = MakeNode({"Sub", kLive, 3, false});
        std::vector<CFileNode*> children;
        for (const Child& ch : c.children) children.push_back(MakeNode(ch).release());
        for (auto it = children.rbegin(); it != children.rend(); ++it) parent->AddChild(*it);
        root->AddChild(parent.release());

        MergeTemporaryFolders(root.get(), [&](u32 cluster) {
            for (const Child& ch : c.children) {
                if ((ch.state & kFatTemporaryState) != 0 && ch.firstCluster == cluster) return ch.created;
            }
            return FILETIME64(0);
        });
        for (size_t i = 0; i < children.size(); ++i) {
            EXPECT_EQ(Name(children[i]), after[i].name) << "child " << i;
            EXPECT_EQ(Props(children[i])->GetFirstCluster(), after[i].firstCluster) << "child " << i;
        }
        DestroySubtree(root.release());
    }
}

// Holds the first device read after it is armed until the test lets it go.
class HeldDevice : public testutil::MemoryDevice {
public:
    using testutil::MemoryDevice::MemoryDevice;
    u32 Read(void* buffer, u64 first, u64 count) override {
        if (armed.exchange(false)) {
            reached.Open();
            if (!release.Wait()) return 0;
        }
        return MemoryDevice::Read(buffer, first, count);
    }
    std::atomic<bool> armed{false};
    testutil::Gate reached;
    testutil::Gate release;
};

std::vector<u64> Starts(const std::vector<CSearchedPartitionInfo*>& candidates) {
    std::vector<u64> out;
    for (const CSearchedPartitionInfo* c : candidates) out.push_back(c->GetPartitionStart());
    return out;
}

// A preview of a paused scan may look while the scan thread ends the search (here held in its
// read of the FAT copies): the look gets the candidates of the block loop (it got none), and what
// it was given stays alive after the search has ended.
TEST(FatDeepSearchLooks, ALookWhileTheSearchEndsGetsTheCandidatesOfTheBlockLoop) {
    SetLoggingEnabled(false);
    HeldDevice device(testutil::ReadFileBytes(testutil::FixturePath("fat32-basic.img")), kSector);
    CFatCompleteSearch search;
    SearchBlocks(search, device, 2048);
    std::vector<CSearchedPartitionInfo*> paused;
    search.GetSearchedPartitions(paused);
    ASSERT_EQ(Starts(paused), std::vector<u64>{0});

    device.armed = true;
    std::thread ending([&] { search.EndSearch(); });
    const bool held = device.reached.Wait();
    std::vector<CSearchedPartitionInfo*> during;
    if (held) search.GetSearchedPartitions(during);
    device.release.Open();
    ending.join();
    ASSERT_TRUE(held);
    EXPECT_EQ(Starts(during), Starts(paused));

    std::vector<CSearchedPartitionInfo*> ended;
    search.GetSearchedPartitions(ended);
    EXPECT_EQ(Starts(ended), std::vector<u64>{0});
    EXPECT_EQ(Starts(during), Starts(paused));
    SetLoggingEnabled(true);
}

}  // namespace
