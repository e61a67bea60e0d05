// The tree of an exFAT volume built from its folder blocks, on a device laid out byte by byte and
// walked by the deep search's block walker: clusters of folders whose entries are gone, tied or
// kept apart by the sets that run over their ends.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "ExFatSets.h"
#include "fs/fat/ExFatBlockTree.h"
#include "fs/fat/ExFatChainTally.h"
#include "fs/fat/ExFatPartition.h"
#include "platform/Types.h"

namespace {

using testutil::MakeExFatSet;

constexpr u32 kSectorSize = 512;
constexpr u64 kHeap = 100;
constexpr u64 kSectorsPerCluster = 2;
constexpr u64 kDeviceSectors = 2048;
constexpr u32 kClusterBytes = u32(kSectorsPerCluster) * kSectorSize;

class Device {
public:
    Device() : m_bytes(kDeviceSectors * kSectorSize, 0) {}
    void Lay(const std::vector<u32>& clusters, const std::vector<u8>& entries) {
        testutil::LayExFatEntries(clusters, entries, kClusterBytes, [this](u32 c) { return Cluster(c); });
    }
    u8* Cluster(u32 cluster) { return m_bytes.data() + (kHeap + u64(cluster - 2) * kSectorsPerCluster) * kSectorSize; }

    ExFatBlockTree Build() {
        ExFatBlockWalker walker;
        walker.SetGeometry(kDeviceSectors, kSectorSize);
        std::vector<ExFatDirectoryBlock> blocks;
        for (u64 s = 0; s < kDeviceSectors; ++s) walker.WalkSector(s, m_bytes.data() + s * kSectorSize, blocks);
        walker.FinishBlock(blocks);
        const ExFatTreeGeometry g{kHeap, kSectorsPerCluster, kDeviceSectors, kSectorSize,
                                  u32((kDeviceSectors - kHeap) / kSectorsPerCluster), 0};
        return BuildExFatBlockTree(
            blocks, walker.GetCutSetLinks(), g,
            [this](u64 sector, u64 count, u8* out) {
                if (sector + count > kDeviceSectors) return false;
                std::copy_n(m_bytes.data() + sector * kSectorSize, count * kSectorSize, out);
                return true;
            },
            nullptr);
    }

private:
    std::vector<u8> m_bytes;
};

std::vector<u8> Cat(std::vector<u8> a, const std::vector<u8>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// `count` sets named prefix0, prefix1, ... of three entries, or of four with `longer` names.
std::vector<u8> Sets(const std::string& prefix, u32 count, bool longer) {
    std::vector<u8> out;
    for (u32 i = 0; i < count; ++i) {
        const std::string name = prefix + std::to_string(i) + (longer ? " of a longer name" : "");
        out = Cat(out, MakeExFatSet(name, 500 + i, 100, testutil::kExFatAttrArchive, true));
    }
    return out;
}

struct TreeCase {
    const char* name;
    void (*lay)(Device& d);
    // A set's name -> the cluster of the lost folder it must stand in.
    std::map<std::string, u32> folders;
    size_t lostFolders;
};

// Two clusters, each ending with the head of a set whose rest begins the other: nothing roots
// the ring, and it comes back as one lost folder.
void LayRing(Device& d) {
    const std::vector<u8> x = MakeExFatSet("x runs from twenty into forty", 600, 1, testutil::kExFatAttrArchive, true);
    const std::vector<u8> y = MakeExFatSet("y runs from forty into twenty", 601, 1, testutil::kExFatAttrArchive, true);
    const size_t head = 64;  // file and stream entries before the cut
    // Cluster 20: the rest of y, sets a, the head of x; cluster 40 likewise the other way.
    std::vector<u8> c20 = Cat(std::vector<u8>(y.begin() + head, y.end()), Sets("a", 7, true));
    c20 = Cat(c20, std::vector<u8>(x.begin(), x.begin() + head));
    std::vector<u8> c40 = Cat(std::vector<u8>(x.begin() + head, x.end()), Sets("b", 7, true));
    c40 = Cat(c40, std::vector<u8>(y.begin(), y.begin() + head));
    ASSERT_EQ(c20.size(), kClusterBytes);
    d.Lay({20}, c20);
    d.Lay({40}, c40);
}

// Two folders' clusters side by side, each full of whole sets: the block walker reads them as
// one run, but nothing ties the second to the first.
void LayNeighbours(Device& d) { d.Lay({30, 31}, Cat(Sets("a", 8, true), Sets("b", 8, true))); }

// One folder's two clusters side by side with a set running over the first one's end.
void LayRunningOver(Device& d) { d.Lay({30, 31}, Sets("c", 15, false)); }

const TreeCase kCases[] = {
    {"RingOfCutSetsIsOneLostFolder", LayRing,
     {{"a0 of a longer name", 20}, {"b4 of a longer name", 20}, {"x runs from twenty into forty", 20},
      {"y runs from forty into twenty", 20}},
     1},
    {"NeighbourClustersOfTwoFoldersStayApart", LayNeighbours, {{"a7 of a longer name", 30}, {"b0 of a longer name", 31}}, 2},
    {"SetRunningOverTiesNeighbourClusters", LayRunningOver, {{"c0", 30}, {"c10", 30}, {"c14", 30}}, 1},
};

class ExFatBlockTreeCases : public ::testing::TestWithParam<TreeCase> {};

TEST_P(ExFatBlockTreeCases, EachSetStandsInTheLostFolderThatHoldsIt) {
    const TreeCase& t = GetParam();
    Device d;
    t.lay(d);
    if (HasFatalFailure()) return;
    const ExFatBlockTree tree = d.Build();
    std::map<std::string, std::vector<u32>> parents;
    for (const ExFatPlacedSet& s : tree.placed) parents[tree.sets[s.set].name].push_back(s.parent);
    for (const auto& [name, folder] : t.folders) {
        ASSERT_EQ(parents[name].size(), 1u) << name;
        EXPECT_EQ(parents[name][0], folder) << name;
    }
    EXPECT_EQ(tree.lostFolders.size(), t.lostFolders);
}

// Placement alone, on tables of pieces (one per cluster, the sets it holds) with no device.
struct TableSet {
    const char* name;
    u32 firstCluster;
    bool folder;
    bool inUse;
    u32 clusters = 1;  // a folder's length
    bool contiguous = false;
};
struct TablePiece {
    u32 cluster;
    std::vector<TableSet> sets;
};
struct Placed {
    const char* name;
    u32 parent;
    bool deleted;
    bool displaced = false;
    bool underDisplaced = false;  // listed by the deleted folder that lost its first cluster
};
struct TableCase {
    const char* name;
    std::vector<TablePiece> pieces;
    std::map<u32, u32> fat;  // cluster -> next
    std::vector<Placed> placed;
};

constexpr u32 kRoot = 5;
const TableCase kTableCases[] = {
    // /P/A (two clusters) was deleted and /Q/B took its first one, though P is listed before Q.
    {"LiveFolderKeepsTheClusterADeletedOneHad",
     {{kRoot, {{"P", 10, true, true}, {"Q", 11, true, true}}}, {10, {{"A", 20, true, false, 2}}},
      {11, {{"B", 20, true, true}}}, {20, {{"b1", 60, false, true}}}, {21, {{"a2", 61, false, false}}}},
     {},
     {{"A", 10, false, true}, {"B", 11, false}, {"b1", 20, false}, {"a2", 20, true, false, true}}},
    {"DeletedFolderNoLiveOneHoldsKeepsItsFiles",
     {{kRoot, {{"P", 10, true, true}}}, {10, {{"A", 20, true, false}}}, {20, {{"a1", 60, false, true}}}},
     {},
     {{"A", 10, false}, {"a1", 20, true}}},
    // A contiguous folder of two clusters, and one whose FAT chain jumps: each later cluster is
    // the folder's.
    {"LaterClustersOfRunAndChainBelongToTheirFolder",
     {{kRoot, {{"R", 30, true, true, 2, true}, {"C", 40, true, true, 2}}}, {30, {{"r1", 60, false, true}}},
      {31, {{"r2", 61, false, true}}}, {40, {{"c1", 62, false, true}}}, {45, {{"c2", 63, false, true}}}},
     {{40, 45}},
     {{"r2", 30, false}, {"c2", 40, false}}},
    // /P/A (clusters 20, 22, 23) moved to /Q/A with its FAT chain lost, /Q/S at 21 between: the
    // entry the move left in P guesses none of A's clusters, and A's rest goes on past S.
    {"MovedFolderKeepsTheClustersItsLostChainHad",
     {{kRoot, {{"P", 10, true, true}, {"Q", 11, true, true}}}, {10, {{"A", 20, true, false, 3}}},
      {11, {{"A", 20, true, true, 3}, {"S", 21, true, true}}}, {20, {{"a1", 60, false, true}}},
      {21, {{"s1", 61, false, true}}}, {22, {{"a2", 62, false, true}}}, {23, {{"a3", 63, false, true}}}},
     {{20, 0}},
     {{"a1", 20, false}, {"s1", 21, false}, {"a2", 20, false}, {"a3", 20, false}}},
    // The same without any FAT (both boot regions gone).
    {"MovedFolderWithoutAFatKeepsItsClusters",
     {{kRoot, {{"P", 10, true, true}, {"Q", 11, true, true}}}, {10, {{"A", 20, true, false, 3}}},
      {11, {{"A", 20, true, true, 3}, {"S", 21, true, true}}}, {20, {{"a1", 60, false, true}}},
      {21, {{"s1", 61, false, true}}}, {22, {{"a2", 62, false, true}}}, {23, {{"a3", 63, false, true}}}},
     {},
     {{"a1", 20, false}, {"s1", 21, false}, {"a2", 20, false}, {"a3", 20, false}}},
    // P and Q name one cluster, and Q2's chain loops through it: the first listed keeps it.
    {"FirstOfTwoLiveFoldersNamingOneClusterKeepsIt",
     {{kRoot, {{"P", 30, true, true, 1, true}, {"Q", 30, true, true, 1, true}, {"Q2", 31, true, true, 2}}},
      {30, {{"p1", 60, false, true}}}, {31, {{"q2", 61, false, true}}}},
     {{31, 30}, {30, 31}},
     {{"p1", 30, false}, {"q2", 31, false}}},
};

class ExFatTablePlacement : public ::testing::TestWithParam<TableCase> {};

TEST_P(ExFatTablePlacement, EachSetGoesToTheFolderThatHoldsItsCluster) {
    const TableCase& t = GetParam();
    ExFatTreeTable table;
    for (const TablePiece& tp : t.pieces) {
        ExFatTreePiece p;
        p.cluster = tp.cluster;
        p.first = kHeap + (tp.cluster - 2) * kSectorsPerCluster;
        p.count = kSectorsPerCluster;
        p.flags = ExFatTreePiece::kBlockFirst | ExFatTreePiece::kBlockLast;
        p.setBegin = table.sets.size();
        for (const TableSet& ts : tp.sets) {
            ExFatEntrySet set;
            set.name = ts.name;
            set.firstCluster = ts.firstCluster;
            set.attributes = ts.folder ? testutil::kExFatAttrFolder : testutil::kExFatAttrArchive;
            set.inUse = ts.inUse ? 1 : 0;
            set.dataLength = u64(ts.clusters) * kClusterBytes;
            set.noFatChain = ts.contiguous ? 1 : 0;
            table.sets.push_back(set);
        }
        p.setEnd = table.sets.size();
        table.pieces.push_back(p);
    }
    const ExFatTreeGeometry g{kHeap, kSectorsPerCluster, kDeviceSectors, kSectorSize,
                              u32((kDeviceSectors - kHeap) / kSectorsPerCluster), kRoot};
    ExFatFatReader fat;
    if (!t.fat.empty()) fat = [&t](u32 c) { return t.fat.count(c) ? t.fat.at(c) : 0xFFFFFFFFu; };
    const ExFatBlockTree tree = PlaceExFatTreePieces(std::move(table), {}, g, fat);
    EXPECT_TRUE(tree.lostFolders.empty());
    for (const Placed& want : t.placed) {
        auto it = std::find_if(tree.placed.begin(), tree.placed.end(),
                               [&](const ExFatPlacedSet& s) { return tree.sets[s.set].name == want.name; });
        ASSERT_NE(it, tree.placed.end()) << want.name;
        EXPECT_EQ(it->parent, want.parent) << want.name;
        EXPECT_EQ(it->deleted, want.deleted) << want.name;
        EXPECT_EQ(it->displaced, want.displaced) << want.name;
        EXPECT_EQ(it->displacedParent < tree.sets.size(), want.underDisplaced) << want.name;
    }
}

INSTANTIATE_TEST_SUITE_P(Tables, ExFatTablePlacement, ::testing::ValuesIn(kTableCases),
                         [](const ::testing::TestParamInfo<TableCase>& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(Layouts, ExFatBlockTreeCases, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<TreeCase>& info) { return std::string(info.param.name); });

}  // namespace

// A FAT is judged the volume's own by the chains its folders call for, however long they are: a
// volume of 512-byte clusters holds files of hundreds of thousands of clusters in one chain.
struct ChainTallyCase {
    const char* name;
    u64 clusters;      // of the one fragmented file's chain, written every other cluster from 2
    u64 breakAt;       // the chain's link past this many clusters points nowhere (0: intact)
    u64 heapClusters;  // of the volume
    u64 held;
    u64 broken;
    bool own;
};
const ChainTallyCase kChainTallyCases[] = {
    {"ShortIntact", 3, 0, 1000, 1, 0, true},
    {"LongIntact", 100000, 0, 250000, 1, 0, true},
    {"LongBrokenMidway", 100000, 50000, 250000, 0, 1, false},
    {"LongerThanTheHeap", 300000, 0, 250000, 0, 1, false},
};

TEST(ExFatChainTally, ALongIntactChainShowsTheVolumesOwnFat) {
    constexpr u32 kFirst = 2;
    constexpr u64 kClusterBytes = 512;
    for (const ChainTallyCase& c : kChainTallyCases) {
        SCOPED_TRACE(c.name);
        std::vector<u32> fat(c.heapClusters + kFirst, 0);
        for (u64 i = 0; i + 1 < c.clusters && kFirst + 2 * (i + 1) < fat.size(); ++i) {
            fat[kFirst + 2 * i] = u32(kFirst + 2 * (i + 1));
        }
        if (kFirst + 2 * (c.clusters - 1) < fat.size()) fat[kFirst + 2 * (c.clusters - 1)] = kExFatChainEnd;
        if (c.breakAt != 0) fat[kFirst + 2 * (c.breakAt - 1)] = u32(c.heapClusters + kFirst + 1);
        ExFatDirectoryBlock block;
        block.files.emplace_back(kFirst, c.clusters * kClusterBytes, false);
        const ExFatChainTally tally =
            TallyExFatChains({&block}, 0, [&fat](u32 cluster) { return cluster < fat.size() ? fat[cluster] : 0u; },
                             kClusterBytes, c.heapClusters);
        EXPECT_EQ(tally.held, c.held);
        EXPECT_EQ(tally.broken, c.broken);
        EXPECT_EQ(IsExFatVolumesOwnFat(tally, false), c.own);
    }
}
