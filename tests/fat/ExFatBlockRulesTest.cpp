// Layouts of exFAT volumes found from folder blocks alone, where neither a boot sector nor the
// root directory survives: a tree of folders that sit where their parents' entries put them
// fixes the layout, a block that explains only itself makes none when its files collide or it
// would lie on another file's cluster, and a volume a boot sector already places keeps its own
// folders. Folders side by side stand together before their first file, where their files' lengths
// or their spacing tell the cluster size. A root block found without its boot sector places the
// heap by its own cluster.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "fs/fat/ExFatBlockOwners.h"
#include "fs/fat/ExFatBlockRules.h"

namespace {

constexpr u64 kDeviceSectors = 1u << 14;
constexpr u32 kSectorSize = 512;
constexpr u64 kHeap = 1000;
constexpr u64 kSpc = 8;

struct FolderSpec {
    u32 cluster;                   // where the folder is on the volume
    std::vector<u32> folders;      // first clusters of the folders it lists
    std::vector<u32> files = {};   // first clusters of its files, one cluster each
    u32 flags = 0;                 // of the walker's block
    // Its cluster is full to its end and the next folder's follows it: the walker reads the
    // two as one block.
    bool runsIntoNext = false;
    // The folder's first cluster, when this is a further cluster of it that a set cut across
    // the two ties to it.
    u32 continues = 0;
    u32 fileClusters = 1;  // the length of each of its files, all written as one extent
    // First clusters of the deleted folders it lists.
    std::vector<u32> deletedFolders = {};
};

// The block a folder of a volume with heap kHeap gives the walker.
ExFatDirectoryBlock Block(const FolderSpec& f, u64 minSpc, u64 maxSpc) {
    ExFatDirectoryBlock b;
    b.firstSector = kHeap + (f.cluster - 2) * kSpc;
    b.sectorCount = 1;
    b.flags = f.flags;
    b.minCluster = minSpc;
    b.maxCluster = maxSpc;
    auto name = [&](u32 c, bool directory) {
        ++b.setCount;
        b.lowestCluster = std::min(b.lowestCluster, c);
        b.highestCluster = std::max(b.highestCluster, c);
        if (!directory) b.lowestFileCluster = std::min(b.lowestFileCluster, c);
    };
    auto add = [&](u32 c, bool directory) {
        name(c, directory);
        b.files.emplace_back(c, kSpc * kSectorSize, true, directory);
        if (directory) b.flags |= kExFatBlockListsFolders;
    };
    for (u32 c : f.deletedFolders) {
        name(c, true);
        b.deletedFolders.push_back(c);
    }
    for (u32 c : f.folders) add(c, true);
    for (u32 c : f.files) {
        add(c, false);
        b.files.back().length = u64(f.fileClusters) * kSpc * kSectorSize;
    }
    return b;
}

// A volume of the whole device whose heap begins at `heap`; its root cluster 0 when not known.
ExFatOwnerLayout Volume(u64 heap, u64 spc, ExFatLayoutStrength strength, u32 root = 0) {
    ExFatOwnerLayout l;
    l.heapStart = heap;
    l.sectorsPerCluster = spc;
    l.volumeEnd = kDeviceSectors;
    l.clusterCount = (kDeviceSectors - heap) / spc;
    l.rootCluster = root;
    l.strength = strength;
    return l;
}

using enum ExFatLayoutStrength;

struct RulesCase {
    const char* name;
    std::vector<FolderSpec> folders;  // ascending by cluster
    u64 minSpc, maxSpc;               // cluster-size bounds every block admits
    bool knownVolume;                 // a boot sector places the volume at kHeap
    std::vector<std::pair<u64, u64>> layouts;  // heap start, sectors per cluster
    // Where a FAT and an up-case table begin, seen on the device.
    std::vector<u64> fatStarts = {};
    std::vector<u64> upcaseStarts = {};
    // Layouts (heap start, sectors per cluster) under which the device confirms every block, as
    // its files' last sectors would.
    std::vector<std::pair<u64, u64>> confirmed = {};
};

const std::vector<u64> kFatBeforeHeap = {kHeap - 100};
const std::vector<u64> kUpcaseAtCluster3 = {kHeap + kSpc};
const std::vector<u64> kUpcaseAtCluster4 = {kHeap + 2 * kSpc};

// Four folders deep, each the parent of the next; the last one's file lies further away than
// the cluster after it, so that block alone proposes a wrong heap.
const std::vector<FolderSpec> kChain = {
    {10, {20}, {11}}, {20, {30}, {21}}, {30, {40}, {31}}, {40, {}, {45}}};

const std::vector<FolderSpec> kOlderPair = {{10, {31}}, {31, {}, {11, 13, 15, 17, 19}}};

const RulesCase kCases[] = {
    {"ChainFixesTheLayout", kChain, kSpc, kSpc, false, {{kHeap, kSpc}}},
    {"ChainAmongOtherClusterSizes", kChain, 1, 64, false, {{kHeap, kSpc}}},
    {"KnownVolumeKeepsItsFolders", kChain, kSpc, kSpc, true, {}},
    {"LoneFolderAfterItsOwnClusterStandsAlone", {{50, {}, {51, 52}}}, kSpc, kSpc, false, {{kHeap, kSpc}}},
    {"LoneFolderWhoseFilesCollideMakesNone", {{50, {}, {51, 51}}}, kSpc, kSpc, false, {}},
    // The second folder's first file lies two clusters on: alone it would be taken one cluster
    // further than it is, on the cluster of a file the first folder lists.
    // What begins with the rest of a cut set is no folder's first cluster: it places nothing.
    {"FolderBeginningWithACutTailMakesNone", {{50, {}, {51, 52}, kExFatBlockBeginsWithTail}}, kSpc, kSpc, false, {}},
    // Each folder lists the next, the last the first; their first files lie further on.
    {"RingOfFoldersFixesTheLayout", {{10, {20}, {15}}, {20, {30}, {25}}, {30, {10}, {35}}}, kSpc, kSpc, false,
     {{kHeap, kSpc}}},
    // Each parent's cluster is walked on into the next folder's, full of that folder's entries.
    {"FoldersSideBySideFixTheLayout",
     {{10, {12, 13}, {}, 0, true}, {11, {}, {25}}, {12, {14}, {30}, 0, true}, {13, {}, {40, 41}}, {14, {16}, {50}},
      {16, {}, {60}}},
     kSpc, kSpc, false, {{kHeap, kSpc}}},
    // The parent's own subfolder is gone; its further cluster lists the rest of the tree, whose
    // folders each keep their file apart from their own cluster.
    {"FoldersOfAFurtherClusterFixTheLayout",
     {{10, {60}, {15}}, {11, {30}, {}, kExFatBlockBeginsWithTail, false, 10}, {30, {40}, {35}}, {40, {50}, {45}},
      {50, {}, {55}}},
     kSpc, kSpc, false, {{kHeap, kSpc}}},
    {"FolderOnAnotherFoldersFileMakesNoLayout", {{50, {}, {51, 61}}, {60, {}, {62}}}, kSpc, kSpc, false,
     {{kHeap, kSpc}}},
    // Four folders made one after another, then filled in turn with files of three clusters: their
    // full first clusters are read as one block, which a larger cluster would hold whole. The
    // files, laid end to end, fix the cluster size, and the four stand just before the first file.
    {"FoldersReadAsOneBlockStandBeforeTheirFiles",
     {{10, {}, {14, 26, 38}, 0, true, 0, 3}, {11, {}, {17, 29, 41}, 0, true, 0, 3}, {12, {}, {20, 32, 44}, 0, true, 0, 3},
      {13, {}, {23, 35, 47}, 0, false, 0, 3}},
     1, 64, false, {{kHeap, kSpc}}, kFatBeforeHeap},
    // A lone folder whose files own two clusters each: their lengths allow every size from 4 to 64
    // sectors; only an up-case table where one layout puts it decides.
    {"LoneFolderTakesTheClusterSizeItsUpcaseTableConfirms", {{50, {}, {51, 53, 55, 57}}}, 4, 64, false, {{kHeap, kSpc}},
     kFatBeforeHeap, kUpcaseAtCluster3},
    {"LoneFolderAtSizesNothingConfirmsMakesNone", {{50, {}, {51, 53, 55, 57}}}, 4, 64, false, {}, kFatBeforeHeap},
    // The same four folders each filling part of its cluster: four blocks one cluster apart.
    {"FoldersOneClusterApartStandBeforeTheirFiles",
     {{10, {}, {14, 18, 22}}, {11, {}, {15, 19, 23}}, {12, {}, {16, 20, 24}}, {13, {}, {17, 21, 25}}}, kSpc, kSpc, false,
     {{kHeap, kSpc}}},
    // A folder moved into another and deleted with it, and its first cluster taken by a later
    // folder beside the root: the folders that list a deleted folder still stand just before
    // their first files, where the volume the root places has them.
    {"FoldersListingAnOlderDeletedFolderKeepTheirPlace",
     {{4, {37}, {}, 0, false, 0, 1, {5}}, {5, {}, {6, 10, 11}}, {30, {}, {31, 33, 34}, 0, false, 0, 1, {5}}},
     kSpc, kSpc, true, {}},
    // A folder on the cluster of a deleted folder it lists, alone, would be taken one cluster
    // before it is: that layout reads one of its files from the next folder's cluster.
    {"LayoutPuttingAFileOnAFoldersClusterMakesNone",
     {{10, {}, {11, 13}, 0, false, 0, 2, {10}}, {15, {}, {16}}}, kSpc, kSpc, false, {{kHeap, kSpc}}},
    {"FolderBesideTheRootOnADeletedFoldersClusterFixesTheLayout",
     {{4, {37}, {}, 0, false, 0, 1, {5}}, {5, {}, {6, 10, 11}}}, kSpc, kSpc, false, {{kHeap, kSpc}}},
    // An older volume's folder and the subfolder made after its files, all that a re-format left:
    // the pair fits many cluster sizes and scores too little alone; what the device shows where
    // one layout puts the files decides, and nothing shown makes none.
    {"FolderAndSubfolderAfterItsFilesTakeTheLayoutTheDeviceConfirms", kOlderPair, 1, 64, false, {{kHeap, kSpc}}, {}, {},
     {{kHeap, kSpc}}},
    {"FolderAndSubfolderAfterItsFilesMakeNoneWhereNothingConfirms", kOlderPair, 1, 64, false, {}},
    // A newer volume's FAT and up-case table stand where many heaps would have them: they confirm
    // nothing of an older pair's files.
    {"FolderAndSubfolderAfterItsFilesMakeNoneOnStructuresAlone", kOlderPair, 1, 64, false, {}, kFatBeforeHeap,
     kUpcaseAtCluster4},
};

class ExFatBlockRulesTable : public ::testing::TestWithParam<RulesCase> {};

TEST_P(ExFatBlockRulesTable, ProposesTheLayoutsTheFoldersAgreeOn) {
    const RulesCase& t = GetParam();
    std::vector<ExFatDirectoryBlock> blocks;
    for (size_t i = 0; i < t.folders.size(); ++i) {
        ExFatDirectoryBlock b = Block(t.folders[i], t.minSpc, t.maxSpc);
        if (i != 0 && t.folders[i - 1].runsIntoNext) {
            ExFatDirectoryBlock& joined = blocks.back();
            const u32 at = u32(b.firstSector - joined.firstSector);
            joined.sectorCount = at + b.sectorCount;
            for (auto e : b.files) joined.files.push_back((e.sector = at, e));
            joined.lowestCluster = std::min(joined.lowestCluster, b.lowestCluster);
            joined.lowestFileCluster = std::min(joined.lowestFileCluster, b.lowestFileCluster);
            joined.highestCluster = std::max(joined.highestCluster, b.highestCluster);
            joined.setCount += b.setCount;
            joined.flags |= b.flags & kExFatBlockListsFolders;
            continue;
        }
        blocks.push_back(std::move(b));
    }
    std::vector<ExFatCutSetLink> links;
    for (const FolderSpec& f : t.folders) {
        if (f.continues != 0) links.push_back({kHeap + (f.continues - 2) * kSpc, kHeap + (f.cluster - 2) * kSpc, {}});
    }
    ExFatBlockRules rules(blocks, kDeviceSectors, kSectorSize);
    rules.SetCutSetLinks(links);
    std::vector<ExFatKnownLayout> known;
    if (t.knownVolume) {
        known.push_back({kHeap, kSpc, kDeviceSectors, kExFatEvidenceMainBoot});
        // The blocks the volume reaches or places are its own, as the deep search gives them.
        std::vector<bool> own;
        const ExFatBlockOwners owners(blocks, links, kDeviceSectors, kSectorSize);
        for (auto fit : owners.Fits(Volume(kHeap, kSpc, CheckedBoot))) own.push_back(fit >= ExFatBlockFit::Placed);
        rules.SetKnownBlocks(own);
    }
    ExFatLayoutEvidence evidence{&t.fatStarts, &t.upcaseStarts, nullptr};
    if (!t.confirmed.empty()) {
        evidence.read = [&t](const ExFatDirectoryBlock&, u64 heap, u64 spc) {
            const bool shown = std::find(t.confirmed.begin(), t.confirmed.end(), std::pair{heap, spc}) != t.confirmed.end();
            return shown ? 2 * ExFatLayoutEvidence::kStructureWeight : 0u;
        };
    }
    rules.SetLayoutEvidence(std::move(evidence));
    std::vector<std::pair<u64, u64>> found;
    for (const ExFatBlockLayout& l : rules.Find(known)) found.emplace_back(l.heapStart, l.sectorsPerCluster);
    EXPECT_EQ(found, t.layouts);
}

INSTANTIATE_TEST_SUITE_P(Cases, ExFatBlockRulesTable, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<RulesCase>& info) { return std::string(info.param.name); });

// Files written one after another end where the next begins at their volume's cluster size only:
// at a smaller one they reach into it, at a larger one they end short of it.
struct FitCase {
    const char* name;
    std::vector<std::pair<u64, u64>> files;  // first cluster, length in bytes
    u64 decided;                             // sectors per cluster, 0: none
    std::vector<u64> ruledOut;
};

constexpr u64 kThreeClusters = 3 * kSpc * kSectorSize - 100;

const FitCase kFitCases[] = {
    {"FilesEndToEndFixTheirClusterSize",
     {{10, kThreeClusters}, {13, kThreeClusters}, {16, kThreeClusters}, {19, kThreeClusters}, {22, kThreeClusters}},
     kSpc,
     {kSpc / 2, kSpc * 2}},
    // The clusters of deleted files between two of them leave the others end to end.
    {"AGapOfDeletedFilesLeavesTheSizeFixed",
     {{10, kThreeClusters}, {13, kThreeClusters}, {16, kThreeClusters}, {25, kThreeClusters}, {28, kThreeClusters},
      {31, kThreeClusters}},
     kSpc,
     {kSpc / 2, kSpc * 2}},
    // Files of one cluster fit any larger cluster as well.
    {"FilesOfOneClusterFixNoSize", {{10, 1000}, {11, 1000}, {12, 1000}, {13, 1000}, {14, 1000}}, 0, {}},
    // A stale copy of a folder lists its files again: two files end to end are still too few.
    {"StaleCopiesCountOnce",
     {{10, kThreeClusters}, {10, kThreeClusters}, {13, kThreeClusters}, {13, kThreeClusters}, {16, kThreeClusters}},
     0,
     {}},
};

class ExFatClusterFitTable : public ::testing::TestWithParam<FitCase> {};

TEST_P(ExFatClusterFitTable, TellsTheClusterSizeTheFilesLengthsFix) {
    const FitCase& t = GetParam();
    std::vector<ExFatFileExtent> files;
    for (const auto& [first, length] : t.files) files.push_back({first, length, true, false});
    const ExFatClusterFit fit = ExFatClusterFit::Measure(files, kSectorSize);
    EXPECT_EQ(fit.Decided(), t.decided);
    if (t.decided != 0) {
        EXPECT_TRUE(fit.Allows(t.decided));
    }
    for (u64 spc : t.ruledOut) EXPECT_FALSE(fit.Allows(spc)) << spc << " sectors per cluster";
}

INSTANTIATE_TEST_SUITE_P(Cases, ExFatClusterFitTable, ::testing::ValuesIn(kFitCases),
                         [](const ::testing::TestParamInfo<FitCase>& info) { return std::string(info.param.name); });

// A root block at cluster 5 after the bitmap (2) and the up-case table (3), with its up-case
// table seen where the layout puts it: the root cluster found places the volume's heap.
struct RootCase {
    const char* name;
    FolderSpec root;
    u64 heapClusters = 1000;  // as the bitmap covers them
};

const RootCase kRootCases[] = {
    {"RootBeforeItsFirstFile", {5, {6}, {8}}},
    // A folder entry naming the root itself hides no cluster the root may stand at.
    {"EntryNamingTheRootItselfLeavesItsPlace", {5, {5, 6}, {8}}},
    // A file of the heap past the device's end: an image cut short.
    {"FilePastTheEndOfAnImageCutShort", {5, {6}, {3000}}, 4000},
};

class ExFatRootBlockTable : public ::testing::TestWithParam<RootCase> {};

TEST_P(ExFatRootBlockTable, FindsTheRootClusterThatPlacesTheHeap) {
    const RootCase& t = GetParam();
    constexpr u32 kBitmap = 2;
    constexpr u32 kUpcase = 3;
    ExFatDirectoryBlock root = Block(t.root, kSpc, kSpc);
    root.flags = kExFatBlockRoot;
    ExFatRootEntries& entries = root.EditRootEntries();
    entries.bitmapCluster = kBitmap;
    entries.upcaseCluster = kUpcase;
    entries.systemEnd = kUpcase + 1;
    entries.bitmapClusters = t.heapClusters;
    const std::vector<u64> upcase{kHeap + (kUpcase - 2) * kSpc};
    const auto found = ExFatPartitionFinder(kDeviceSectors, kSectorSize).Find({root}, upcase, nullptr);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].rootCluster, t.root.cluster);
    EXPECT_EQ(found[0].heapStart, root.firstSector - (t.root.cluster - 2) * kSpc);
}

INSTANTIATE_TEST_SUITE_P(Cases, ExFatRootBlockTable, ::testing::ValuesIn(kRootCases),
                         [](const ::testing::TestParamInfo<RootCase>& info) { return std::string(info.param.name); });

// Which volume a folder block (its cluster of the heap at kHeap) belongs to where two layouts could
// read it: the one whose tree names it, then whose files end where their lengths say, then that
// places it; a guess beside a volume at its own start wins nothing by placement alone.
struct OwnerCase {
    const char* name;
    std::vector<ExFatOwnerLayout> layouts;
    std::vector<FolderSpec> blocks;  // ascending by cluster
    std::map<u64, u32> tails;        // heap start -> files whose last sector fits there
    std::vector<u32> owners;         // by block
};

constexpr u32 kNone = ExFatBlockOwners::kNoOwner;
constexpr u64 kShifted = kHeap - kSpc;  // a heap one cluster before kHeap's

const OwnerCase kOwnerCases[] = {
    // The older root (cluster 5 of a heap 64 clusters on) names Old at 600, in the newer volume too.
    {"OlderRootReachesItsFolderInsideTheNewerVolume",
     {Volume(kHeap, kSpc, RootBlock, 5), Volume(kHeap + 64 * kSpc, kSpc, RootBlock, 5)},
     {{5, {6}}, {69, {600}}, {664, {}, {900, 901}}}, {}, {0, 1, 1}},
    // A lost folder of the checked volume, its files two clusters on: the shifted guess places it
    // just before them, but wins it only where its files end where their lengths say.
    {"ShiftedCopyWinsNothingByPlacementAlone", {Volume(kHeap, kSpc, CheckedBoot), Volume(kShifted, kSpc, Guessed)},
     {{100, {}, {102, 103}}}, {}, {0}},
    {"ShiftedCopyWinsWhereItsFilesEndRight", {Volume(kHeap, kSpc, CheckedBoot), Volume(kShifted, kSpc, Guessed)},
     {{100, {}, {102, 103}}}, {{kShifted, 2}}, {1}},
    // A deleted folder the root lists names its block: the root's volume keeps it.
    {"DeletedFolderOfTheRootKeepsItsBlock", {Volume(kHeap, kSpc, RootBlock, 5), Volume(kShifted, kSpc, Guessed)},
     {{5, {}, {}, 0, false, 0, 1, {100}}, {100, {}, {102, 103}}}, {{kShifted, 2}}, {0, 0}},
    // Clusters of 16 sectors put the block between two of theirs: the guess of 8 takes it.
    {"BlockOffTheGridGoesToTheLayoutItBegins", {Volume(kHeap, 2 * kSpc, CheckedBoot), Volume(kHeap, kSpc, Guessed)},
     {{101, {}, {102, 103}}}, {}, {1}},
    // An older volume's folder (cluster 10) and its subfolder (31), made after its files, within a
    // newer checked volume whose grid holds the folder: its subfolder lies where its entry says
    // only under the older layout, which wins it, whether the newer clusters are smaller or larger.
    {"OlderFolderGoesWithItsSubfolderFromSmallerNewerClusters",
     {Volume(kHeap - 64, 1, CheckedBoot), Volume(kHeap, kSpc, Guessed)}, {{10, {31}}, {31, {}, {11, 13}}},
     {{kHeap, 2}}, {1, 1}},
    {"OlderFolderGoesWithItsSubfolderFromLargerNewerClusters",
     {Volume(kHeap, 2 * kSpc, CheckedBoot), Volume(kHeap, kSpc, Guessed)}, {{10, {31}}, {31, {}, {11, 13}}},
     {{kHeap, 2}}, {1, 1}},
    // Folders of the checked volume that each name themselves: a guess shifted so that each names
    // the next wins none of them.
    {"FoldersNamingThemselvesStayWithTheirVolume", {Volume(kHeap, kSpc, CheckedBoot), Volume(kHeap + 2 * kSpc, kSpc, Guessed)},
     {{10, {10}, {11}}, {12, {12}, {13}}}, {}, {0, 0}},
    {"BlockBeforeEveryHeapBelongsToNone", {Volume(kHeap + 4 * kSpc, kSpc, CheckedBoot)}, {{2, {}, {102}}}, {}, {kNone}},
};

TEST(ExFatBlockOwnersTable, EachBlockGoesToTheLayoutItFitsBest) {
    for (const OwnerCase& t : kOwnerCases) {
        SCOPED_TRACE(t.name);
        std::vector<ExFatDirectoryBlock> blocks;
        for (const FolderSpec& f : t.blocks) blocks.push_back(Block(f, 1, 64));
        const ExFatFileTailWitness tails = [&t](const ExFatDirectoryBlock&, u64 heap, u64) {
            return t.tails.count(heap) != 0 ? t.tails.at(heap) : 0u;
        };
        EXPECT_EQ(ExFatBlockOwners(blocks, {}, kDeviceSectors, kSectorSize).Assign(t.layouts, tails), t.owners);
    }
}

}  // namespace
