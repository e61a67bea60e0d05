#include "fs/fat/ExFatBlockRules.h"

#include <algorithm>
#include <deque>
#include <iterator>
#include <optional>
#include <unordered_set>

#include "fs/fat/ExFatEntrySet.h"
#include "fs/fat/ExFatPartition.h"
#include "fs/fat/ExFatVolume.h"

namespace {
constexpr u32 kFirstHeapCluster = 2;
constexpr u64 kFatEntryBytes = 4;
constexpr u64 kExFatLastCluster = kExFatChainEnd - 1;
// A folder's own cluster is taken to stand just before its first file's.
constexpr u32 kClustersBeforeFirstFile = 1;
// Folders a tree test follows at the most.
constexpr size_t kMaxTreeFolders = 1u << 16;
// Folder pieces whose trees are known to fail, kept at the most (all layouts together).
constexpr size_t kMaxFailingKept = 1u << 18;
// Sectors per cluster at the most: 32 MiB clusters of 512-byte sectors.
constexpr u64 kMaxSectorsPerCluster = ExFatDirectoryBlock::kMaxClusterBytes / 512;

// A layout with more than one in this many of its folders on file clusters is a misplaced one.
constexpr size_t kCollisionShare = 4;
// File extents looked at below a folder's cluster: ranges that began further back and still
// reach it are long contiguous files, rare among the files of one heap.
constexpr size_t kCollisionLookBack = 64;

constexpr size_t kNoBlock = ~size_t(0);
// Clusters a cut set ties after a folder's block that the layout tests take as that folder's:
// enough to place a layout, while a long chain is not walked again from each of its blocks.
constexpr size_t kTiedBlocksFollowed = 64;
// The claim of a block taken alone, as a root or as a continuation.
constexpr u64 kAloneWeight = 1;
// The files that judge a cluster size are those of the blocks of a block's stretch and of the
// stretches on either side: folders written together lie together, and their files with them.
constexpr size_t kFitStretchBlocks = 256;
// Files measured for one stretch at the most.
constexpr size_t kMaxFitFiles = 1u << 15;
// Stretches whose files' clusters are kept, at every cluster size together.
constexpr size_t kMaxFileClustersKept = 64;
// Folder blocks side by side taken together at the most.
constexpr size_t kMaxRunBlocks = 64;

bool BeginsWithTail(const ExFatDirectoryBlock& b) { return (b.flags & kExFatBlockBeginsWithTail) != 0; }
}  // namespace

ExFatClusterFit ExFatClusterFit::Measure(std::vector<ExFatFileExtent> files, u32 sectorSize) {
    std::sort(files.begin(), files.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    ExFatClusterFit fit;
    for (size_t i = 0; i + 1 < files.size(); ++i) {
        const ExFatFileExtent& f = files[i];
        // Two entries of one first cluster (a stale copy of a folder) tell nothing of its length.
        if (i != 0 && files[i - 1].first == f.first) continue;
        size_t n = i + 1;
        while (n < files.size() && files[n].first == f.first) ++n;
        if (n == files.size() || !f.contiguous || f.length == 0) continue;
        const u64 next = files[n].first;
        for (size_t k = 0; k < kSizes; ++k) {
            const u64 clusterBytes = (u64(1) << k) * sectorSize;
            const u64 clusters = (f.length + clusterBytes - 1) / clusterBytes;
            // A file of one cluster ends where the next begins at every larger size too.
            if (clusters < 2) break;
            if (f.first + clusters == next) ++fit.fits[k];
            if (f.first + clusters > next) ++fit.overlaps[k];
        }
    }
    return fit;
}

bool ExFatClusterFit::TooShort(size_t k) const { return overlaps[k] >= kLeastFits && overlaps[k] > fits[k]; }

u32 ExFatClusterFit::BestFits() const {
    // Files followed by a gap (a deleted file's clusters) may end there at a size too short as
    // well; the sizes at which files reach into their neighbours do not count.
    u32 best = 0;
    for (size_t k = 0; k < kSizes; ++k) {
        if (!TooShort(k)) best = std::max(best, fits[k]);
    }
    return best;
}

bool ExFatClusterFit::RulesOut(u64 sectorsPerCluster) const {
    return TooShort(Log2Floor(u32(std::min<u64>(sectorsPerCluster, u64(1) << (kSizes - 1)))));
}

bool ExFatClusterFit::Allows(u64 sectorsPerCluster) const {
    const size_t k = Log2Floor(u32(std::min<u64>(sectorsPerCluster, u64(1) << (kSizes - 1))));
    if (TooShort(k)) return false;
    const u32 best = BestFits();
    return best < kLeastFits || u64(fits[k]) * kFitShare >= best;
}

u64 ExFatClusterFit::Decided() const {
    const u32 best = BestFits();
    if (best < kLeastFits) return 0;
    u64 decided = 0;
    for (size_t k = 0; k < kSizes; ++k) {
        if (TooShort(k) || u64(fits[k]) * kFitShare < best) continue;
        if (decided != 0) return 0;
        decided = u64(1) << k;
    }
    return decided;
}

ExFatBlockRules::ExFatBlockRules(const std::vector<ExFatDirectoryBlock>& blocks, u64 deviceSectors, u32 sectorSize)
    : m_blocks(blocks),
      m_deviceSectors(deviceSectors),
      m_sectorSize(sectorSize),
      m_claimed(blocks.size(), false),
      m_taken(blocks.size(), false),
      m_next(blocks.size(), kNoBlock),
      m_confirmedSpc(blocks.size(), 0) {}

const ExFatDirectoryBlock* ExFatBlockRules::BlockAt(u64 sector, size_t& index) const {
    auto it = FirstExFatBlockFrom(m_blocks, sector);
    if (it == m_blocks.end() || it->firstSector != sector) return nullptr;
    index = size_t(it - m_blocks.begin());
    return &*it;
}

u64 ExFatBlockRules::TreeTest(size_t root, u64 heapStart, u64 spc, u64 threshold, std::vector<size_t>* tree) const {
    // A tree that reaches a folder whose own tree cannot be the layout's cannot be either: a
    // failure is kept for the folders on the way down to it, so that a ring of lost folders, or a
    // long chain of them, is not walked again from each of its folders.
    const std::pair<u64, u64> layout{heapStart, spc};
    const auto known = m_failingTrees.find(layout);
    const auto failsBelow = [&](u64 sector) { return known != m_failingTrees.end() && known->second.count(sector) != 0; };
    struct Node {
        ExFatBlockPiece piece;
        u64 depth;
        size_t parent;
    };
    // The clusters a cut set ties after the root are the root folder's own: their folders are
    // its children too.
    std::vector<Node> nodes{{ExFatFirstPiece(m_blocks, root, spc), 1, kNoBlock}};
    for (size_t at = m_next[root], steps = 0; at != kNoBlock && at != root && steps < kTiedBlocksFollowed;
         at = m_next[at], ++steps) {
        nodes.push_back({ExFatFirstPiece(m_blocks, at, spc), 1, 0});
    }
    const auto sectorOf = [&](const ExFatBlockPiece& piece) { return m_blocks[piece.block].firstSector + piece.first; };
    const auto fail = [&](size_t node) {
        // Kept while the memory it takes stays small; past that, trees are walked again.
        for (size_t at = node; at != kNoBlock && m_failingCount < kMaxFailingKept; at = nodes[at].parent) {
            m_failingCount += m_failingTrees[layout].insert(sectorOf(nodes[at].piece)).second ? 1 : 0;
        }
        return u64(0);
    };
    if (failsBelow(sectorOf(nodes.front().piece))) return 0;
    u64 score = 0;
    // A block the layout cuts into clusters of several folders is found once: `found` lists
    // the blocks, `foundAt` the node that found each.
    std::vector<size_t> found;
    std::vector<size_t> foundAt;
    std::unordered_set<size_t> seen;
    // Two folders of one volume never share a cluster, and a tree whose blocks do fails
    // whatever it scores: each block's files are laid into the clusters as it is found, and the
    // first overlap ends the test at once, so that folders listing each other are not walked
    // whole from each of them.
    TakenClusters taken;
    const auto collide = [&](size_t earlier, size_t later) {
        // Every folder above both blocks reaches the two of them.
        std::unordered_set<size_t> above;
        for (size_t at = foundAt[earlier]; at != kNoBlock; at = nodes[at].parent) above.insert(at);
        size_t common = foundAt[later];
        while (common != kNoBlock && above.count(common) == 0) common = nodes[common].parent;
        return common != kNoBlock ? fail(common) : 0;
    };
    for (size_t at = 0; at < nodes.size(); ++at) {
        if (!seen.insert(nodes[at].piece.block).second) continue;
        found.push_back(nodes[at].piece.block);
        foundAt.push_back(at);
        if (const auto other = LayFiles(taken, found.back(), found.size() - 1, spc)) {
            return collide(*other, found.size() - 1);
        }
    }
    std::unordered_set<u32> visited;
    for (size_t at = 0; at < nodes.size(); ++at) {
        const ExFatBlockPiece piece = nodes[at].piece;
        const u64 depth = nodes[at].depth;
        const auto [from, to] = ExFatPieceFiles(m_blocks[piece.block], piece);
        for (auto f = from; f != to; ++f) {
            if (!f->directory) continue;
            if (visited.size() >= kMaxTreeFolders) break;
            if (!visited.insert(f->firstCluster).second) continue;
            const u64 offset = u64(f->firstCluster - kFirstHeapCluster) * spc;
            if (offset >= m_deviceSectors || heapStart >= m_deviceSectors - offset) return fail(at);
            const std::optional<ExFatBlockPiece> child = ExFatPieceAt(m_blocks, heapStart + offset, spc);
            if (!child) continue;
            const ExFatDirectoryBlock& b = m_blocks[child->block];
            const bool cutTail = child->first == 0 && BeginsWithTail(b);
            if (m_claimed[child->block] || cutTail || !b.Admits(spc) || failsBelow(sectorOf(*child))) {
                return fail(at);
            }
            if (b.highestCluster >= kFirstHeapCluster &&
                heapStart + u64(b.highestCluster - kFirstHeapCluster) * spc > m_deviceSectors) {
                return fail(at);
            }
            score += depth;
            nodes.push_back({*child, depth + 1, at});
            if (seen.insert(child->block).second) {
                found.push_back(child->block);
                foundAt.push_back(nodes.size() - 1);
                if (const auto other = LayFiles(taken, child->block, found.size() - 1, spc)) {
                    return collide(*other, found.size() - 1);
                }
            }
        }
    }
    if (score < threshold || score == 0) return 0;
    if (tree != nullptr) *tree = std::move(found);
    return score;
}

std::optional<size_t> ExFatBlockRules::LayFiles(TakenClusters& taken, size_t block, size_t place, u64 spc) const {
    // Each file's clusters as a range; the ranges laid so far never overlap.
    const u64 clusterBytes = spc * m_sectorSize;
    for (const auto& f : m_blocks[block].files) {
        const u64 clusters = f.contiguous ? std::max<u64>(1, (f.length + clusterBytes - 1) / clusterBytes) : 1;
        const u64 first = f.firstCluster;
        const u64 end = first + clusters;
        auto next = taken.lower_bound(first);
        if (next != taken.end() && next->first < end) return next->second.second;
        if (next != taken.begin() && std::prev(next)->second.first > first) return std::prev(next)->second.second;
        taken.emplace_hint(next, first, std::make_pair(end, place));
    }
    return std::nullopt;
}

std::pair<size_t, size_t> ExFatBlockRules::StretchAround(size_t block) const {
    const size_t stretch = block / kFitStretchBlocks;
    const size_t begin = stretch == 0 ? 0 : (stretch - 1) * kFitStretchBlocks;
    return {begin, std::min(m_blocks.size(), (stretch + 2) * kFitStretchBlocks)};
}

std::vector<ExFatFileExtent> ExFatBlockRules::FilesAround(size_t block, u64 spc) const {
    // The folders a known volume owns are that volume's, whose clusters count from its own heap;
    // so are those the device confirms for a volume of another cluster size than `spc`.
    const auto [begin, end] = StretchAround(block);
    std::vector<ExFatFileExtent> files;
    for (size_t i = begin; i < end && files.size() < kMaxFitFiles; ++i) {
        if (KnownBlock(i) || (spc != 0 && m_confirmedSpc[i] != 0 && m_confirmedSpc[i] != spc)) continue;
        for (const auto& f : m_blocks[i].files) files.push_back({f.firstCluster, f.length, f.contiguous != 0, f.directory != 0});
    }
    return files;
}

const ExFatClusterFit& ExFatBlockRules::FitAround(size_t block, u64 spc) const {
    const std::pair<size_t, u64> key{block / kFitStretchBlocks, spc};
    auto it = m_fits.find(key);
    if (it != m_fits.end()) return it->second;
    return m_fits.emplace(key, ExFatClusterFit::Measure(FilesAround(block, spc), m_sectorSize)).first->second;
}

const ExFatBlockRules::FileClusters& ExFatBlockRules::FileClustersAround(size_t block, u64 spc) const {
    const std::pair<size_t, u64> key{block / kFitStretchBlocks, spc};
    auto it = m_fileClusters.find(key);
    if (it != m_fileClusters.end()) return it->second;
    // The layouts judged lie mostly in a few stretches; past that, the kept ones make room.
    if (m_fileClusters.size() >= kMaxFileClustersKept) m_fileClusters.clear();
    const u64 clusterBytes = spc * m_sectorSize;
    FileClusters files;
    for (const ExFatFileExtent& f : FilesAround(block, spc)) {
        if (f.directory) continue;
        const u64 clusters = f.contiguous ? std::max<u64>(1, (f.length + clusterBytes - 1) / clusterBytes) : 1;
        files.ranges.emplace_back(f.first, f.first + clusters);
    }
    std::sort(files.ranges.begin(), files.ranges.end());
    u64 reach = 0;
    for (const auto& r : files.ranges) files.reach.push_back(reach = std::max(reach, r.second));
    return m_fileClusters.emplace(key, std::move(files)).first->second;
}

bool ExFatBlockRules::IsSingleBlockGuess(const Candidate& c) const {
    return !c.known && (c.evidence & ~kExFatEvidenceSingleBlock) == 0;
}

bool ExFatBlockRules::FitsItsSurroundings(const Candidate& c) const {
    // A tree of folders found where their parents' entries put them places the layout by
    // itself; a layout that rests on single blocks must also fit what lies around them.
    if (!IsSingleBlockGuess(c) || c.attached.empty()) return true;
    const size_t own = *c.attached.begin();
    // The files' lengths allow its cluster size (where the device confirms it, unless they rule it
    // out)...
    const ExFatClusterFit& fit = FitAround(own, c.spc);
    if (c.confirmations != 0 ? fit.RulesOut(c.spc) : !fit.Allows(c.spc)) return false;
    // ... and the folder blocks of its heap around its own begin clusters, none of them one of
    // its files' clusters. Each block weighs as many as the sets it lists: those are the files a
    // misplaced folder would give wrong bytes.
    const FileClusters& files = FileClustersAround(own, c.spc);
    const auto [begin, end] = StretchAround(own);
    u64 limit = c.volumeEnd;
    const auto next = std::upper_bound(m_knownStarts.begin(), m_knownStarts.end(), c.heapStart);
    if (next != m_knownStarts.end()) limit = std::min(limit, *next);
    u64 looked = 0;
    u64 misplaced = 0;
    for (size_t i = begin; i < end; ++i) {
        const ExFatDirectoryBlock& b = m_blocks[i];
        if (b.setCount == 0 || KnownBlock(i) || !Holds(c, b) || b.firstSector >= limit) continue;
        // A block the device confirms as a folder of a volume of another cluster size (one
        // formatted over this one, or this one over it) is that volume's.
        if (m_confirmedSpc[i] != 0 && m_confirmedSpc[i] != c.spc) continue;
        looked += b.setCount;
        if (!OnBoundary(c, b.firstSector)) {
            misplaced += b.setCount;
            continue;
        }
        const u64 cluster = (b.firstSector - c.heapStart) / c.spc + kFirstHeapCluster;
        const u64 clusterEnd = cluster + ExFatClustersSpanned(b, c.spc);
        // The files that begin before the block's clusters end; the furthest of them must end
        // before they begin.
        const auto after = std::lower_bound(files.ranges.begin(), files.ranges.end(), std::make_pair(clusterEnd, u64(0)));
        if (after != files.ranges.begin() && files.reach[size_t(after - files.ranges.begin()) - 1] > cluster) {
            misplaced += b.setCount;
        }
    }
    return misplaced * kCollisionShare <= looked;
}

ExFatBlockRules::Run ExFatBlockRules::RunAround(size_t block, u64 spc, bool sizeFixed) const {
    const ExFatDirectoryBlock& b = m_blocks[block];
    const u64 spanned = ExFatClustersSpanned(b, spc);
    const Run alone{block, block + 1, spanned, b.lowestCluster, b.lowestFileCluster, spanned == 1};
    // Every block of a stretch of folders side by side has the same run: the blocks are asked in
    // order, so it is found once per stretch and cluster size, not once per block.
    RunMemo& memo = m_runs[Log2Floor(u32(std::min<u64>(spc, u64(1) << (ExFatClusterFit::kSizes - 1))))];
    if (memo.spc != spc || memo.sizeFixed != sizeFixed || block < memo.run.first || block >= memo.run.end) {
        memo.spc = spc;
        memo.sizeFixed = sizeFixed;
        memo.run = SideBySide(block, spc, sizeFixed);
    }
    return memo.run.placed ? memo.run : alone;
}

ExFatBlockRules::Run ExFatBlockRules::SideBySide(size_t block, u64 spc, bool sizeFixed) const {
    const auto adjacent = [&](size_t at) {
        return m_blocks[at].firstSector == m_blocks[at - 1].firstSector + ExFatClustersSpanned(m_blocks[at - 1], spc) * spc;
    };
    // Not placed: the blocks [first, end) share the answer, each standing alone.
    Run run{block, block + 1, 0, 0, 0, false};
    while (run.first > 0 && run.end - run.first <= kMaxRunBlocks && adjacent(run.first)) --run.first;
    while (run.end < m_blocks.size() && run.end - run.first <= kMaxRunBlocks && adjacent(run.end)) ++run.end;
    // A longer line of folders side by side is not taken as one (its blocks stand alone), so that
    // finding a block's run is a bounded walk.
    if (run.end - run.first > kMaxRunBlocks) return run;
    const ExFatDirectoryBlock& last = m_blocks[run.end - 1];
    run.clusters = (last.firstSector - m_blocks[run.first].firstSector) / spc + ExFatClustersSpanned(last, spc);
    if (run.clusters == 1) return run;
    // One block read on across clusters would be cut into clusters at any smaller size too; blocks
    // that each fill one cluster and follow each other one cluster apart tell the size by their
    // spacing.
    if (!sizeFixed) {
        if (run.end - run.first == 1) return run;
        for (size_t at = run.first; at < run.end; ++at) {
            if (ExFatClustersSpanned(m_blocks[at], spc) != 1) return run;
        }
    }
    // The folders a run lists, live or deleted, may be its own clusters (or clusters a folder of
    // the run took over from a deleted one): its files, live or deleted, begin after it.
    std::vector<u32> folders;
    u32 firstFile = kExFatChainEnd;
    for (size_t at = run.first; at < run.end; ++at) {
        firstFile = std::min(firstFile, m_blocks[at].lowestFileCluster);
        for (const auto& f : m_blocks[at].files) {
            if (f.directory) folders.push_back(f.firstCluster);
        }
    }
    std::sort(folders.begin(), folders.end());
    if (firstFile >= kExFatChainEnd || firstFile < kFirstHeapCluster + run.clusters) return run;
    if (!folders.empty() && folders.front() < firstFile - run.clusters) return run;
    run.lowest = firstFile;
    run.lowestFile = firstFile;
    run.placed = true;
    return run;
}

bool ExFatBlockRules::ConsistentAlone(size_t block, const Candidate& c) const {
    // The block's clusters, and those of the folders beside it where they or the files' lengths
    // tell the cluster size, stand just before their first file's.
    const Run run = RunAround(block, c.spc, c.spc == FitAround(block).Decided());
    const u64 own = (m_blocks[run.first].firstSector - c.heapStart) / c.spc + kFirstHeapCluster;
    return ExFatClustersStandBeforeTheirFiles(m_blocks, run.first, run.end, own, run.clusters, run.lowest, run.lowestFile,
                                              c.spc * m_sectorSize);
}

bool ExFatBlockRules::FoldersAndFilesCollide(const Candidate& c) const {
    // Where a file's data lies no folder can lie, seen from both sides: the clusters the layout
    // gives the folder blocks it claims must not be clusters the live files of its heap name, and
    // the live files those folders list must not lie on clusters it gives to the folder blocks of
    // its heap. A layout some clusters off the volume's own reads every file of those folders
    // from clusters the volume gives to others.
    const u64 clusterBytes = c.spc * m_sectorSize;
    using Range = std::pair<u64, u64>;  // clusters [first, end)
    const auto clustersOf = [&](const ExFatDirectoryBlock::Extent& f) {
        const u64 clusters = f.contiguous ? std::max<u64>(1, (f.length + clusterBytes - 1) / clusterBytes) : 1;
        return Range{f.firstCluster, f.firstCluster + clusters};
    };
    const auto ownCluster = [&](u64 sector) { return (sector - c.heapStart) / c.spc + kFirstHeapCluster; };
    std::vector<Range> fileClusters;
    std::vector<Range> folderClusters;
    const u64 dataStart = c.heapStart + kFirstHeapCluster * c.spc;
    const auto begin = FirstExFatBlockFrom(m_blocks, dataStart);
    // Folders of a known volume further on are that volume's, whose clusters count from its heap.
    u64 end = c.volumeEnd;
    const auto next = std::upper_bound(m_knownStarts.begin(), m_knownStarts.end(), c.heapStart);
    if (next != m_knownStarts.end()) end = std::min(end, *next);
    for (auto it = begin; it != m_blocks.end() && it->firstSector < end; ++it) {
        if (KnownBlock(size_t(it - m_blocks.begin()))) continue;
        if (it->Admits(c.spc) && OnBoundary(c, it->firstSector)) {
            const u64 own = ownCluster(it->firstSector);
            folderClusters.emplace_back(own, own + ExFatClustersSpanned(*it, c.spc));
        }
        for (const auto& f : it->files) {
            if (!f.directory) fileClusters.push_back(clustersOf(f));
        }
    }
    std::sort(fileClusters.begin(), fileClusters.end());
    std::sort(folderClusters.begin(), folderClusters.end());
    size_t onFiles = 0;
    for (const auto& [block, weight] : c.claimed) {
        const u64 own = ownCluster(m_blocks[block].firstSector);
        auto it = std::upper_bound(fileClusters.begin(), fileClusters.end(), Range{own, ~u64(0)});
        // Ranges may nest; the longest reach before `own` decides.
        bool covered = false;
        for (auto back = it; back != fileClusters.begin() && !covered;) {
            --back;
            covered = back->second > own;
            if (it - back > ptrdiff_t(kCollisionLookBack)) break;
        }
        onFiles += covered ? 1 : 0;
    }
    if (onFiles * kCollisionShare > c.claimed.size()) return true;
    // Folder blocks do not overlap one another: the neighbours of a file's first cluster decide.
    size_t files = 0;
    size_t onFolders = 0;
    for (const auto& [block, weight] : c.claimed) {
        for (const auto& f : m_blocks[block].files) {
            if (f.directory) continue;
            const Range r = clustersOf(f);
            const auto after = std::lower_bound(folderClusters.begin(), folderClusters.end(), Range{r.first, 0});
            const bool overlaps = (after != folderClusters.end() && after->first < r.second) ||
                                  (after != folderClusters.begin() && std::prev(after)->second > r.first);
            ++files;
            onFolders += overlaps ? 1 : 0;
        }
    }
    return onFolders * kCollisionShare > files;
}

bool ExFatBlockRules::Holds(const Candidate& c, const ExFatDirectoryBlock& b) const {
    return b.firstSector >= c.heapStart + kFirstHeapCluster * c.spc && b.firstSector + b.sectorCount - 1 < c.volumeEnd;
}

void ExFatBlockRules::Attach(Candidate& c, size_t block, u64 claimWeight) {
    // The clusters a cut set ties to this one are the same folder's: they go with it. A block
    // attached (or claimed) before brought its own along then: the walk ends there, so that a
    // long chain is walked once, not once from each of its blocks.
    for (size_t at = block, steps = 0; at != kNoBlock && steps < m_blocks.size(); at = m_next[at], ++steps) {
        const bool attachedBefore = !c.attached.insert(at).second;
        if (claimWeight == 0) {
            if (attachedBefore && at != block) break;
            continue;
        }
        if (at != block && attachedBefore && c.claimed.count(at) != 0) break;
        m_claimed[at] = true;
        c.claimed[at] = at == block ? claimWeight : kAloneWeight;
    }
}

void ExFatBlockRules::SetCutSetLinks(const std::vector<ExFatCutSetLink>& links) {
    for (const ExFatCutSetLink& link : links) {
        size_t head = 0, tail = 0;
        if (BlockAt(link.headBlock, head) == nullptr || BlockAt(link.tailBlock, tail) == nullptr || head == tail) continue;
        if (m_next[head] == kNoBlock) m_next[head] = tail;
    }
}

ExFatBlockRules::Candidate* ExFatBlockRules::FindOrMake(u64 heapStart, u64 spc, u32 evidence, bool& made) {
    made = false;
    auto it = m_byLayout.find({heapStart, spc});
    if (it != m_byLayout.end()) {
        m_candidates[it->second].evidence |= evidence;
        return &m_candidates[it->second];
    }
    Trim();
    Candidate c;
    c.heapStart = heapStart;
    c.spc = spc;
    c.volumeEnd = m_deviceSectors;
    c.evidence = evidence;
    m_byLayout[{heapStart, spc}] = m_candidates.size();
    m_candidates.push_back(std::move(c));
    made = true;
    return &m_candidates.back();
}

void ExFatBlockRules::Trim() {
    if (m_candidates.size() < kMaxCandidates) return;
    // The oldest guesses go; the volumes placed by boot sectors and root blocks stay.
    std::vector<Candidate> kept;
    const size_t drop = m_candidates.size() - kTrimmedCandidates;
    size_t dropped = 0;
    for (Candidate& c : m_candidates) {
        if (!c.known && dropped < drop) {
            ++dropped;
            continue;
        }
        kept.push_back(std::move(c));
    }
    m_candidates = std::move(kept);
    m_byLayout.clear();
    for (size_t i = 0; i < m_candidates.size(); ++i) m_byLayout[{m_candidates[i].heapStart, m_candidates[i].spc}] = i;
}

void ExFatBlockRules::SortCandidates() {
    std::stable_sort(m_candidates.begin(), m_candidates.end(), [](const Candidate& a, const Candidate& b) {
        if (a.evidence != b.evidence) return a.evidence > b.evidence;
        return a.attached.size() > b.attached.size();
    });
    m_byLayout.clear();
    for (size_t i = 0; i < m_candidates.size(); ++i) m_byLayout[{m_candidates[i].heapStart, m_candidates[i].spc}] = i;
}

bool ExFatBlockRules::Explained(size_t block) {
    const ExFatDirectoryBlock& b = m_blocks[block];
    size_t tried = 0;
    for (Candidate& c : m_candidates) {
        if (!Holds(c, b)) continue;
        if (++tried > kExplainTries) return false;
        if (!b.Admits(c.spc) || !OnBoundary(c, b.firstSector)) continue;
        if (c.attached.count(block) != 0) return true;
        if (!b.HasDirectories()) continue;
        const u64 threshold = c.evidence > kExFatEvidencePair ? 1 : kPairWeight;
        std::vector<size_t> tree;
        if (TreeTest(block, c.heapStart, c.spc, threshold, &tree) == 0) continue;
        for (size_t t : tree) Attach(c, t);
        SortCandidates();
        return true;
    }
    return false;
}

std::vector<u32> ExFatBlockRules::FoldersOf(size_t block) const {
    std::vector<u32> folders;
    // Damaged ties can form a ring: each block gives its folders once.
    std::vector<size_t> seen;
    for (size_t at = block, steps = 0; at != kNoBlock && steps <= kTiedBlocksFollowed; at = m_next[at], ++steps) {
        if (std::find(seen.begin(), seen.end(), at) != seen.end()) break;
        seen.push_back(at);
        if (!m_blocks[at].HasDirectories()) continue;
        for (const auto& f : m_blocks[at].files) {
            if (f.directory) folders.push_back(f.firstCluster);
        }
    }
    return folders;
}

bool ExFatBlockRules::Pair(size_t ai, const std::vector<u32>& aFolders, size_t bi, u64 weight) {
    const ExFatDirectoryBlock& a = m_blocks[ai];
    const ExFatDirectoryBlock& b = m_blocks[bi];
    // The layouts of the best score so far: one that scores higher drops them.
    std::vector<Proposal> proposals;
    u64 best = kPairLeastScore;
    // Layouts whose trees score too little to tell alone (a folder and the one subfolder of it
    // that survived score one: any two blocks make such a pair at some layout).
    std::vector<Proposal> weak;
    const bool weighWeak = weight == kFinalPairWeight && !m_claimed[ai] && !m_claimed[bi];
    for (u64 p = a.minCluster; p != 0 && p <= a.maxCluster && p <= kMaxSectorsPerCluster; p <<= 1) {
        // A block longer than p is cut where the layout's clusters end (see TreeTest).
        if (!b.Admits(p)) continue;
        const u64 distance = a.firstSector > b.firstSector ? a.firstSector - b.firstSector : b.firstSector - a.firstSector;
        if (distance % p != 0) break;
        // The folders A lists, in its own cluster and in the clusters a cut set ties after it:
        // each one placed at B gives a heap. The walk ends at the first that puts the heap
        // before the device or A inside the system clusters.
        const auto tryFolder = [&](u32 d) {
            // A folder most often comes before the files it lists; one made after them (its files
            // moved in) is weighed only by what the device shows.
            const bool filesBefore = d > b.highestCluster;
            if (filesBefore && !weighWeak) return true;
            const u64 offset = u64(d - kFirstHeapCluster) * p;
            if (offset > b.firstSector) return false;
            const u64 heap = b.firstSector - offset;
            // The parent stands at least one cluster past the system clusters (the bitmap and the
            // up-case table).
            if (heap + 3 * p > a.firstSector) return false;
            const u64 parentCluster = (a.firstSector - heap) / p + kFirstHeapCluster;
            if (parentCluster > a.highestCluster || m_setAside.count({heap, p}) != 0) return true;
            std::vector<size_t> tree;
            const u64 score = TreeTest(ai, heap, p, weighWeak ? 1 : weight, &tree);
            if (score < std::max(weight, best) || filesBefore) {
                // A file may own more clusters than its length needs, so only the sizes the files
                // around rule out are not weighed.
                if (score != 0 && weighWeak && weak.size() < kWeakPairLayouts && !FitAround(bi).RulesOut(p)) {
                    weak.push_back({heap, p, std::move(tree)});
                }
                return true;
            }
            if (score > best) proposals.clear();
            best = score;
            proposals.push_back({heap, p, std::move(tree)});
            return true;
        };
        for (u32 d : aFolders) {
            if (!tryFolder(d)) break;
        }
    }
    if (proposals.empty() && !weak.empty()) return ProposeWeakPair(weak, bi);
    for (const Proposal& proposal : proposals) {
        bool made = false;
        Candidate* c = FindOrMake(proposal.heap, proposal.spc, kExFatEvidencePair, made);
        for (size_t t : proposal.tree) Attach(*c, t);
    }
    return !proposals.empty();
}

bool ExFatBlockRules::ProposeWeakPair(const std::vector<Proposal>& weak, size_t child) {
    // Each layout is weighed by what the device shows where it puts the child's files (their
    // tails, their signatures, the bitmap marking them) and its structures (a FAT before the heap,
    // the up-case table); one confirmed as much as a structure seen, by its files' bytes among
    // others, and better than every other the pair allows, is the pair's. A FAT before the heap
    // alone does not do: the newer volume's FAT stands before many heaps. Past the reads allowed
    // none is weighed, since a best among some of them tells nothing.
    if (weak.size() > kMaxWeakPairsWeighed - m_weakPairsWeighed) return false;
    m_weakPairsWeighed += weak.size();
    const Proposal* pick = nullptr;
    u32 best = 0;
    u32 bestFromFiles = 0;
    bool tie = false;
    for (const Proposal& proposal : weak) {
        u32 fromFiles = 0;
        const u32 score = Confirmations(child, proposal.heap, proposal.spc, &fromFiles);
        if (score > best) {
            best = score;
            bestFromFiles = fromFiles;
            pick = &proposal;
            tie = false;
        } else if (score == best) {
            tie = true;
        }
    }
    if (pick == nullptr || tie || best < ExFatLayoutEvidence::kStructureWeight || bestFromFiles == 0) return false;
    bool made = false;
    Candidate* c = FindOrMake(pick->heap, pick->spc, kExFatEvidencePair, made);
    c->confirmations = std::max(c->confirmations, best);
    for (size_t t : pick->tree) Attach(*c, t);
    return true;
}

void ExFatBlockRules::SingleBlock(size_t index) {
    const ExFatDirectoryBlock& b = m_blocks[index];
    if (b.setCount == 0 || b.lowestCluster < kFirstHeapCluster + kClustersBeforeFirstFile ||
        b.lowestCluster > kExFatLastCluster) {
        return;
    }
    // At the size the files' lengths fix, the folders whose clusters lie side by side (one block
    // read on across them, or blocks that follow each other cluster by cluster) are taken
    // together, just before the first file of any of them: folders made one after another, then
    // filled. At other sizes a block longer than a cluster places nothing, since any shorter
    // cluster would place it too.
    const u64 fixed = FitAround(index).Decided();
    std::vector<std::pair<u64, u64>> options;  // heap start, sectors per cluster
    bool attached = false;
    for (u64 p = b.minCluster; p != 0 && p <= b.maxCluster && p <= kMaxSectorsPerCluster; p <<= 1) {
        const Run run = RunAround(index, p, p == fixed);
        if (!run.placed) continue;
        if (run.lowest < kFirstHeapCluster + run.clusters || run.lowest > kExFatLastCluster) continue;
        const u64 offset = (run.lowest - run.clusters - kFirstHeapCluster) * p;
        const u64 first = m_blocks[run.first].firstSector;
        if (offset > first) continue;
        const u64 heap = first - offset;
        if (heap + u64(b.highestCluster - kFirstHeapCluster) * p > m_deviceSectors) continue;
        auto it = m_byLayout.find({heap, p});
        if (it != m_byLayout.end()) {
            m_candidates[it->second].evidence |= kExFatEvidenceSingleBlock;
            Attach(m_candidates[it->second], index);
            attached = true;
            continue;
        }
        options.emplace_back(heap, p);
    }
    // A layout other folders already gave is the one; else the files' lengths allow each size
    // proposed here (a file may own more clusters than its length needs), and only what the
    // device shows of one of them, alone, decides.
    if (attached || options.empty()) return;
    size_t pick = 0;
    u32 best = 0;
    bool tie = false;
    for (size_t k = 0; k < options.size(); ++k) {
        const u32 score = Confirmations(index, options[k].first, options[k].second);
        if (score > best) {
            best = score;
            pick = k;
            tie = false;
        } else if (score == best) {
            tie = true;
        }
    }
    if (options.size() > 1 && (best == 0 || tie)) {
        if (m_undecided++ == 0) m_firstUndecided = b.firstSector;
        return;
    }
    bool isNew = false;
    Candidate* c = FindOrMake(options[pick].first, options[pick].second, kExFatEvidenceSingleBlock, isNew);
    c->confirmations = std::max(c->confirmations, best);
    Attach(*c, index);
}

u32 ExFatBlockRules::Confirmations(size_t block, u64 heap, u64 spc, u32* fromFiles) const {
    const ExFatDirectoryBlock& b = m_blocks[block];
    if (spc == 0 || heap >= m_deviceSectors) return 0;
    const u64 clusters = std::min<u64>((m_deviceSectors - heap) / spc, kExFatChainEnd - kFirstHeapCluster);
    const auto fatSectors = [&](u64 count) {
        return ((count + kFirstHeapCluster) * kFatEntryBytes + m_sectorSize - 1) / m_sectorSize;
    };
    u32 score = 0;
    if (m_evidence.fatStarts != nullptr) {
        // The FAT right before the heap: long enough for the block's clusters, and the heap no
        // further on than the longest FAT (two copies) the volume can have and an alignment.
        const auto& fats = *m_evidence.fatStarts;
        const auto below = std::lower_bound(fats.begin(), fats.end(), heap);
        if (below != fats.begin()) {
            const u64 fat = *std::prev(below);
            const u64 slack = 2 * fatSectors(clusters) + ExFatLayoutEvidence::kHeapAlignmentBytes / m_sectorSize;
            if (fat + fatSectors(b.highestCluster) <= heap && heap - fat <= slack) score += ExFatLayoutEvidence::kStructureWeight;
        }
    }
    if (m_evidence.upcaseStarts != nullptr) {
        // The up-case table follows the allocation bitmap, which covers every cluster of the heap.
        const u64 bitmapClusters = (clusters / 8 + spc * m_sectorSize - 1) / (spc * m_sectorSize);
        const u64 from = heap + spc;
        const u64 to = std::min(b.firstSector, heap + (kFirstHeapCluster + bitmapClusters) * spc);
        const auto& upcase = *m_evidence.upcaseStarts;
        for (auto it = std::lower_bound(upcase.begin(), upcase.end(), from); it != upcase.end() && *it <= to; ++it) {
            if ((*it - heap) % spc == 0) {
                score += ExFatLayoutEvidence::kStructureWeight;
                break;
            }
        }
    }
    const u32 read = m_evidence.read ? m_evidence.read(b, heap, spc) : 0;
    if (fromFiles != nullptr) *fromFiles = read;
    return score + read;
}

void ExFatBlockRules::Consolidate() {
    SortCandidates();
    std::fill(m_confirmedSpc.begin(), m_confirmedSpc.end(), 0);
    for (const Candidate& c : m_candidates) {
        if (c.known || c.confirmations == 0) continue;
        for (size_t i : c.attached) m_confirmedSpc[i] = m_confirmedSpc[i] == 0 || m_confirmedSpc[i] == c.spc ? c.spc : ~u64(0);
    }
    // What the files around a layout say depends on the folders confirmed for other sizes.
    std::erase_if(m_fits, [](const auto& entry) { return entry.first.second != 0; });
    m_fileClusters.clear();
    size_t blocksLeft = 0;
    for (size_t i = 0; i < m_blocks.size(); ++i) blocksLeft += m_taken[i] ? 0 : 1;
    for (Candidate& c : m_candidates) {
        // A known volume owns its blocks already; it is not handed out again.
        if (c.known) continue;
        // A layout that rests on single blocks is refused where what lies around them rules it out.
        bool setAside = c.attached.size() > blocksLeft;
        for (size_t i : c.attached) setAside = setAside || m_taken[i];
        // The costlier rule last: only a layout still standing is judged by what lies around it.
        setAside = setAside || !FitsItsSurroundings(c);
        if (setAside) {
            m_setAside.emplace(c.heapStart, c.spc);
            continue;
        }
        c.attached.clear();
        c.bookedOnBoundary.clear();
        // Blocks are sorted by sector: the walk starts at the candidate's first data cluster.
        const u64 dataStart = c.heapStart + kFirstHeapCluster * c.spc;
        const auto begin = FirstExFatBlockFrom(m_blocks, dataStart);
        for (size_t i = size_t(begin - m_blocks.begin()); i < m_blocks.size(); ++i) {
            const ExFatDirectoryBlock& b = m_blocks[i];
            if (b.firstSector >= c.volumeEnd) break;
            if (m_taken[i] || !b.Admits(c.spc) || !Holds(c, b)) continue;
            const bool boundary = OnBoundary(c, b.firstSector);
            if (boundary) c.bookedOnBoundary.push_back(b.firstSector);
            if (boundary && !BeginsWithTail(b) && c.attached.count(i) == 0) {
                std::vector<size_t> tree;
                const u64 score = TreeTest(i, c.heapStart, c.spc, 1, &tree);
                if (score != 0) {
                    for (size_t t : tree) Attach(c, t, score);
                } else if (ConsistentAlone(i, c)) {
                    Attach(c, i, kAloneWeight);
                }
            }
            // A root directory the layout holds is the volume's own.
            if (b.IsRoot()) Attach(c, i, kAloneWeight);
        }
        if (c.bookedOnBoundary.empty() || c.attached.empty()) {
            m_setAside.emplace(c.heapStart, c.spc);
            continue;
        }
        const u64 low = c.bookedOnBoundary.front();
        const u64 high = c.bookedOnBoundary.back();
        for (size_t i : c.attached) {
            if (m_blocks[i].firstSector >= low && m_blocks[i].firstSector <= high && !m_taken[i]) {
                m_taken[i] = true;
                --blocksLeft;
            }
        }
        m_accepted.push_back(std::move(c));
    }
    m_candidates.clear();
    m_byLayout.clear();
}

std::vector<ExFatBlockLayout> ExFatBlockRules::HandOut() {
    std::stable_sort(m_accepted.begin(), m_accepted.end(), [](const Candidate& a, const Candidate& b) {
        if (a.evidence != b.evidence) return a.evidence > b.evidence;
        return a.attached.size() > b.attached.size();
    });
    std::vector<ExFatBlockLayout> out;
    std::vector<bool> dropped(m_accepted.size(), false);
    for (size_t i = 0; i < m_accepted.size(); ++i) {
        if (dropped[i]) continue;
        const Candidate& a = m_accepted[i];
        for (size_t j = i + 1; j < m_accepted.size(); ++j) {
            const Candidate& b = m_accepted[j];
            if (dropped[j] || b.claimed.size() > a.claimed.size()) continue;
            bool covered = true;
            for (const auto& [block, weight] : b.claimed) {
                auto it = a.claimed.find(block);
                if (it == a.claimed.end() || it->second < weight) {
                    covered = false;
                    break;
                }
            }
            dropped[j] = covered;
        }
        if (a.known || a.claimed.empty()) continue;
        if (FoldersAndFilesCollide(a)) continue;
        ExFatBlockLayout l;
        l.heapStart = a.heapStart;
        l.sectorsPerCluster = a.spc;
        l.evidence = a.evidence;
        // The blocks are in the order of their sectors.
        for (const auto& [block, weight] : a.claimed) l.claimed.push_back(m_blocks[block].firstSector);
        out.push_back(std::move(l));
    }
    return out;
}

std::vector<ExFatBlockLayout> ExFatBlockRules::Find(const std::vector<ExFatKnownLayout>& known) {
    for (const ExFatKnownLayout& k : known) m_knownStarts.push_back(k.volumeStart);
    std::sort(m_knownStarts.begin(), m_knownStarts.end());
    // The blocks the known volumes own are theirs from the start.
    for (size_t i = 0; i < m_blocks.size(); ++i) m_taken[i] = KnownBlock(i);
    for (const ExFatKnownLayout& k : known) {
        if (k.sectorsPerCluster == 0 || m_byLayout.count({k.heapStart, k.sectorsPerCluster}) != 0) continue;
        Candidate c;
        c.heapStart = k.heapStart;
        c.spc = k.sectorsPerCluster;
        c.volumeEnd = k.volumeEnd;
        c.evidence = k.evidence;
        c.known = true;
        m_byLayout[{c.heapStart, c.spc}] = m_candidates.size();
        m_candidates.push_back(std::move(c));
    }
    SortCandidates();
    const size_t n = m_blocks.size();
    // While the blocks come in: each block not yet explained is paired with its neighbours.
    for (size_t a = 0; a < n; ++a) {
        const ExFatDirectoryBlock& b = m_blocks[a];
        if (b.IsRoot() || KnownBlock(a) || Explained(a) || !b.HasDirectories()) continue;
        const size_t from = a > kPairBefore ? a - kPairBefore : 0;
        const std::vector<u32> folders = FoldersOf(a);
        bool proposed = false;
        for (size_t i = from; i < n && i <= a + kPairAfter; ++i) {
            const ExFatDirectoryBlock& other = m_blocks[i];
            if (i == a || other.IsRoot() || KnownBlock(i) || !other.HasDirectories() || BeginsWithTail(other)) continue;
            proposed = Pair(a, folders, i, kPairWeight) || proposed;
        }
        if (proposed) SortCandidates();
    }
    // The layouts found so far take their blocks first; the final pass proposes layouts for the
    // blocks they leave, and those are shared out in turn.
    Consolidate();
    std::vector<size_t> left;
    for (size_t i = 0; i < n; ++i) {
        if (!m_taken[i]) left.push_back(i);
    }
    for (size_t at = 0; at < left.size(); ++at) {
        const size_t a = left[at];
        if (BeginsWithTail(m_blocks[a])) continue;
        SingleBlock(a);
        if (!m_blocks[a].HasDirectories()) continue;
        const size_t from = at > kFinalPairBefore ? at - kFinalPairBefore : 0;
        const std::vector<u32> folders = FoldersOf(a);
        for (size_t j = from; j < left.size() && j <= at + kFinalPairAfter; ++j) {
            if (j != at && !BeginsWithTail(m_blocks[left[j]])) Pair(a, folders, left[j], kFinalPairWeight);
        }
    }
    Consolidate();
    return HandOut();
}
