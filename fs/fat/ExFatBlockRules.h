#pragma once
// Finding an exFAT volume whose root directory is gone too: pairs of folder blocks whose entries
// place one at the other's cluster, and single blocks taken as the cluster just before their
// first file, propose layouts (heap start, sectors per cluster). Where the files' lengths fix the
// cluster size, or folder blocks follow each other one cluster apart, folders side by side are
// taken together just before their first file. A file may own more clusters than its length
// needs, so where one block allows several cluster sizes, something the device shows besides the
// files' lengths must confirm one of them (a FAT right before its heap, its up-case table or
// bitmap, its files' bytes); where nothing does, or two tie, the block proposes none. A pair whose
// tree scores too little to tell alone (a folder and the one subfolder of it a re-format left),
// or whose subfolder was made after the files it lists, is held to the same: the device must
// confirm its layout above every other the pair allows. A layout that rests on single blocks alone must fit the lengths of the files around them, and put the
// folder blocks around them where its clusters begin and no file lies. Every layout then books the
// blocks its heap holds and claims those it explains; a layout whose claims another one claims at
// least as strongly is dropped. The blocks a known volume owns (see ExFatBlockOwners.h) are its
// own from the start.
#include <array>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <unordered_set>
#include <utility>
#include <vector>

#include "fs/fat/ExFatBlockFinder.h"
#include "platform/Types.h"

// Evidence of a layout, highest first in the candidate order.
constexpr u32 kExFatEvidenceMainBoot = 0x80000000u;
constexpr u32 kExFatEvidenceBackupBoot = 0x40000000u;
constexpr u32 kExFatEvidenceRootBlock = 0x10000000u;
constexpr u32 kExFatEvidencePair = 0x8000000u;
constexpr u32 kExFatEvidenceSingleBlock = 0x2000000u;

// A volume a boot sector or a root block already places: its blocks are its own.
struct ExFatKnownLayout {
    u64 heapStart = 0;
    u64 sectorsPerCluster = 0;
    u64 volumeEnd = 0;  // the first sector after its heap
    u32 evidence = 0;
    u64 volumeStart = 0;
};

// What the lengths of a stretch of folders' files say of the cluster size. A volume lays the files
// it writes one after another, so at its own cluster size many files of two clusters or more end
// exactly where the next file begins; at a larger size none of them does (they would end short of
// it), at a smaller one they reach into it.
// A file as its entry set gives it.
struct ExFatFileExtent {
    u64 first = 0;  // cluster
    u64 length = 0;
    bool contiguous = false;
    bool directory = false;
};

struct ExFatClusterFit {
    // Sectors per cluster 1 to 65,536: 32 MiB clusters of 512-byte sectors.
    static constexpr size_t kSizes = 17;
    // Files that must end where the next begins before the lengths tell the cluster size.
    static constexpr u32 kLeastFits = 3;
    // A size is ruled out when another lays at least this many times as many files end to end.
    static constexpr u32 kFitShare = 4;

    std::array<u32, kSizes> fits{};      // by the shift of the sectors per cluster
    std::array<u32, kSizes> overlaps{};

    static ExFatClusterFit Measure(std::vector<ExFatFileExtent> files, u32 sectorSize);
    // Whether the files allow `sectorsPerCluster`: none reaches into the next too often, and no
    // other size lays far more of them end to end.
    bool Allows(u64 sectorsPerCluster) const;
    // Whether the files rule `sectorsPerCluster` out: too many of them reach into the next. (A
    // file may own more clusters than its length needs, so files that end short of the next rule
    // out nothing by themselves.)
    bool RulesOut(u64 sectorsPerCluster) const;
    // The size the files fix, when one alone lays enough of them end to end; 0 when none does.
    u64 Decided() const;

private:
    // Whether at 2^k sectors per cluster more files reach into the next than end where it begins.
    bool TooShort(size_t k) const;
    u32 BestFits() const;
};

// A layout the blocks alone give.
struct ExFatBlockLayout {
    u64 heapStart = 0;
    u64 sectorsPerCluster = 0;
    u32 evidence = 0;
    // The first sectors of the blocks it claimed, ascending.
    std::vector<u64> claimed;
};

// What the device shows of a layout besides its folders: a layout that one lone folder allows at
// several cluster sizes is taken only where something else confirms one of them.
struct ExFatLayoutEvidence {
    // Sectors that begin a FAT, and an up-case table, ascending: a FAT stands right before its
    // heap, the up-case table in the heap's first clusters after the allocation bitmap.
    const std::vector<u64>* fatStarts = nullptr;
    const std::vector<u64>* upcaseStarts = nullptr;
    // What the layout's own clusters say of the block (its allocation bitmap marks the block's
    // clusters, its files end where their lengths say, files found by their signatures begin
    // where its files do), weighed as kStructureWeight a structure; null: nothing is read.
    std::function<u32(const ExFatDirectoryBlock& block, u64 heapStart, u64 sectorsPerCluster)> read;

    // The weight of a structure seen where the layout puts it.
    static constexpr u32 kStructureWeight = 4;
    // How far past its FAT a formatter may begin a heap, to align it: 32 MiB.
    static constexpr u64 kHeapAlignmentBytes = u64(32) << 20;
};

class ExFatBlockRules {
public:
    // Neighbours paired with a block while the blocks are walked, and in the final pass.
    static constexpr size_t kPairBefore = 31;
    static constexpr size_t kPairAfter = 128;
    static constexpr size_t kFinalPairBefore = 8;
    static constexpr size_t kFinalPairAfter = 7;
    static constexpr u64 kPairWeight = 7;
    static constexpr u64 kFinalPairWeight = 3;
    // A pair's tree must score at least this much.
    static constexpr u64 kPairLeastScore = 5;
    // Layouts of a pair scoring less, weighed by reading the device: per pair, and in all (the
    // reads are the deep search's, shared with the single-block rule).
    static constexpr size_t kWeakPairLayouts = 2 * ExFatClusterFit::kSizes;
    static constexpr u64 kMaxWeakPairsWeighed = 256;
    static constexpr size_t kExplainTries = 16;
    static constexpr size_t kMaxCandidates = 1024;
    static constexpr size_t kTrimmedCandidates = 512;

    // `blocks` sorted by first sector.
    ExFatBlockRules(const std::vector<ExFatDirectoryBlock>& blocks, u64 deviceSectors, u32 sectorSize);

    // The pairs of blocks the walker tied by a set cut across them.
    void SetCutSetLinks(const std::vector<ExFatCutSetLink>& links);
    // The blocks the known volumes own (by block), which no layout found here takes.
    void SetKnownBlocks(std::vector<bool> known) { m_known = std::move(known); }
    void SetLayoutEvidence(ExFatLayoutEvidence evidence) { m_evidence = std::move(evidence); }
    // Layouts of volumes no known layout explains, best first.
    std::vector<ExFatBlockLayout> Find(const std::vector<ExFatKnownLayout>& known);
    // The lone blocks that allowed several cluster sizes of which nothing confirmed one alone,
    // and the first of them: they proposed no layout.
    u64 UndecidedBlocks() const { return m_undecided; }
    u64 FirstUndecidedSector() const { return m_firstUndecided; }
    // How much of what the device shows confirms the layout for the block (see
    // ExFatLayoutEvidence); 0 without evidence.
    // `fromFiles`, when given, gets the part its files' bytes give.
    u32 Confirmations(size_t block, u64 heapStart, u64 sectorsPerCluster, u32* fromFiles = nullptr) const;

private:
    struct Candidate {
        u64 heapStart = 0;
        u64 spc = 0;
        u64 volumeEnd = 0;
        u32 evidence = 0;
        // What the device shows of it beyond its folders (see Confirmations).
        u32 confirmations = 0;
        bool known = false;
        std::set<size_t> attached;  // block indices
        std::vector<u64> bookedOnBoundary;
        std::map<size_t, u64> claimed;  // block index -> weight
    };

    u64 TreeTest(size_t root, u64 heapStart, u64 spc, u64 threshold, std::vector<size_t>* tree) const;
    // Clusters the files of a tree's blocks take: first cluster -> (end, the block's place in the tree).
    using TakenClusters = std::map<u64, std::pair<u64, size_t>>;
    // Lays the files of `block` into `taken`: the place of a block whose files already take one
    // of their clusters (its own when two of its files share one), else none.
    std::optional<size_t> LayFiles(TakenClusters& taken, size_t block, size_t place, u64 spc) const;
    // Folder clusters side by side around a block: blocks[first, end), `clusters` long, whose
    // files begin at `lowest` at the earliest.
    struct Run {
        size_t first;
        size_t end;
        u64 clusters;
        // The lowest first cluster of its sets, and of those that are not folders: a folder
        // stands just before the first of them, or before the first file where a folder it lists
        // (one moved in, say) lies apart.
        u32 lowest;
        u32 lowestFile;
        // Whether the run may be taken as clusters just before its first file at this size.
        bool placed;
    };
    // The blocks that follow each other cluster by cluster around `block` at `spc` sectors per
    // cluster, where they tell that size or `sizeFixed` (the files' lengths fix it); else the
    // block alone.
    Run RunAround(size_t block, u64 spc, bool sizeFixed) const;
    // The run of the blocks side by side with `block`, placed or not, and the blocks it spans.
    Run SideBySide(size_t block, u64 spc, bool sizeFixed) const;
    bool ConsistentAlone(size_t block, const Candidate& c) const;
    // The blocks [first, end) whose files judge a layout at `block`: folders written together lie
    // together, and their files with them.
    std::pair<size_t, size_t> StretchAround(size_t block) const;
    // The files of the folders around a block, but for those of known volumes.
    // With `sectorsPerCluster`, not those of folders the device confirms for another size.
    std::vector<ExFatFileExtent> FilesAround(size_t block, u64 sectorsPerCluster = 0) const;
    // What the files of the folders around a block say of the cluster size (see ExFatClusterFit).
    const ExFatClusterFit& FitAround(size_t block, u64 sectorsPerCluster = 0) const;
    // The clusters the files of the folders around a block take at `spc` sectors per cluster: by
    // first cluster, with the furthest end of the ranges up to each.
    struct FileClusters {
        std::vector<std::pair<u64, u64>> ranges;
        std::vector<u64> reach;
    };
    const FileClusters& FileClustersAround(size_t block, u64 spc) const;
    // Whether nothing but the single-block rule proposed the layout.
    bool IsSingleBlockGuess(const Candidate& c) const;
    // Whether the files around the candidate's folders allow its cluster size, and the folder
    // blocks around them lie where its clusters begin and no file lies.
    bool FitsItsSurroundings(const Candidate& c) const;
    bool Holds(const Candidate& c, const ExFatDirectoryBlock& b) const;
    // Whether the layout puts too many of the folder blocks it claims on clusters that live
    // files of its heap name as their data, or too many of the live files those folders list on
    // clusters it gives to folder blocks of its heap.
    bool FoldersAndFilesCollide(const Candidate& c) const;
    bool OnBoundary(const Candidate& c, u64 sector) const { return (sector - c.heapStart) % c.spc == 0; }
    // Attaches the block and the blocks a cut set ties after it; with a nonzero weight it also
    // claims them (the block with that weight, the ones tied after it with weight 1).
    void Attach(Candidate& c, size_t block, u64 claimWeight = 0);
    Candidate* FindOrMake(u64 heapStart, u64 spc, u32 evidence, bool& made);
    bool Explained(size_t block);
    // The first clusters of the folders the block lists, and the blocks a cut set ties after
    // it: one folder's clusters.
    std::vector<u32> FoldersOf(size_t block) const;
    // Whether the pair proposed a layout; `aFolders` are FoldersOf(a).
    bool Pair(size_t a, const std::vector<u32>& aFolders, size_t b, u64 weight);
    struct Proposal {
        u64 heap;
        u64 spc;
        std::vector<size_t> tree;
    };
    // Whether one of the layouts a pair's trees score too little for, in the final pass, is the
    // one the device confirms where it puts the child block's files.
    bool ProposeWeakPair(const std::vector<Proposal>& weak, size_t child);
    void SingleBlock(size_t block);
    void Trim();
    void SortCandidates();
    void Consolidate();
    std::vector<ExFatBlockLayout> HandOut();
    const ExFatDirectoryBlock* BlockAt(u64 sector, size_t& index) const;
    // Whether a known volume owns the block.
    bool KnownBlock(size_t block) const { return block < m_known.size() && m_known[block]; }

    const std::vector<ExFatDirectoryBlock>& m_blocks;
    u64 m_deviceSectors;
    u32 m_sectorSize;
    std::vector<Candidate> m_candidates;
    std::map<std::pair<u64, u64>, size_t> m_byLayout;  // (heap start, spc) -> index
    std::vector<bool> m_claimed;
    std::vector<bool> m_taken;
    std::vector<Candidate> m_accepted;
    // The block a cut set ties after each block (none: all ones).
    std::vector<size_t> m_next;
    // For each block, the cluster size of the layouts the device confirmed for it (see
    // Confirmations) while a consolidation runs: 0 none, all ones for several sizes.
    std::vector<u64> m_confirmedSpc;
    // Layouts a consolidation set aside: the pair rule does not propose them again.
    std::set<std::pair<u64, u64>> m_setAside;
    // Where the known volumes begin, ascending: a guessed layout's heap ends before the next one.
    std::vector<u64> m_knownStarts;
    // The blocks the known volumes own.
    std::vector<bool> m_known;
    ExFatLayoutEvidence m_evidence;
    u64 m_weakPairsWeighed = 0;
    u64 m_undecided = 0;
    u64 m_firstUndecided = 0;
    // For each layout (heap start, sectors per cluster), the sectors of the folder pieces whose
    // trees fail under it; claims only grow, so a failure stays one.
    mutable std::map<std::pair<u64, u64>, std::unordered_set<u64>> m_failingTrees;
    mutable size_t m_failingCount = 0;
    // FitAround, by stretch of blocks and the cluster size asked about (0: any).
    mutable std::map<std::pair<size_t, u64>, ExFatClusterFit> m_fits;
    mutable std::map<std::pair<size_t, u64>, FileClusters> m_fileClusters;
    // The last run found at each cluster size.
    struct RunMemo {
        u64 spc = 0;
        bool sizeFixed = false;
        Run run{0, 0, 0, 0, 0, false};
    };
    mutable std::array<RunMemo, ExFatClusterFit::kSizes> m_runs{};
};
