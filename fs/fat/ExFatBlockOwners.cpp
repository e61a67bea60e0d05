#include "fs/fat/ExFatBlockOwners.h"

#include <algorithm>
#include <numeric>

#include "fs/fat/ExFatPartition.h"

namespace {
constexpr u64 kFirstHeapCluster = 2;
constexpr size_t kNoBlock = ~size_t(0);

bool InHeap(u64 cluster, u64 clusters) { return cluster >= kFirstHeapCluster && cluster - kFirstHeapCluster < clusters; }

// Whether `weak`, beside `strong`, can only be a copy of strong's own folders read with a shifted
// heap, unless its tree or its files' bytes tell otherwise: it starts where strong starts with
// strong's cluster size (one start and FAT leave room for one heap), or its heap lies inside a
// volume whose boot region and FAT check out.
bool ShiftedCopyOf(const ExFatOwnerLayout& weak, const ExFatOwnerLayout& strong) {
    if (weak.strength >= ExFatLayoutStrength::BootSector || weak.strength >= strong.strength) return false;
    if (weak.volumeStart == strong.volumeStart && weak.sectorsPerCluster == strong.sectorsPerCluster) return true;
    return strong.strength == ExFatLayoutStrength::CheckedBoot && weak.heapStart >= strong.volumeStart &&
           weak.heapStart < strong.volumeEnd;
}
}  // namespace

ExFatBlockOwners::ExFatBlockOwners(const std::vector<ExFatDirectoryBlock>& blocks, const std::vector<ExFatCutSetLink>& links,
                                   u64 deviceSectors, u32 sectorSize)
    : m_blocks(blocks), m_deviceSectors(deviceSectors), m_sectorSize(sectorSize), m_next(blocks.size(), kNoBlock) {
    const auto exactly = [&](u64 sector) {
        auto it = FirstExFatBlockFrom(m_blocks, sector);
        return it != m_blocks.end() && it->firstSector == sector ? size_t(it - m_blocks.begin()) : kNoBlock;
    };
    for (const ExFatCutSetLink& link : links) {
        const size_t head = exactly(link.headBlock);
        const size_t tail = exactly(link.tailBlock);
        if (head != kNoBlock && tail != kNoBlock && head != tail && m_next[head] == kNoBlock) m_next[head] = tail;
    }
}

size_t ExFatBlockOwners::BlockHolding(u64 sector, u64 spc) const {
    auto it = FirstExFatBlockFrom(m_blocks, sector);
    if (it != m_blocks.end() && it->firstSector == sector) return size_t(it - m_blocks.begin());
    if (const std::optional<ExFatBlockPiece> piece = ExFatPieceAt(m_blocks, sector, spc)) return piece->block;
    return it != m_blocks.end() && it->firstSector - sector < spc ? size_t(it - m_blocks.begin()) : kNoBlock;
}

void ExFatBlockOwners::Children(size_t block, const ExFatOwnerLayout& l, std::vector<size_t>& out) const {
    const ExFatDirectoryBlock& b = m_blocks[block];
    const u64 clusterBytes = l.sectorsPerCluster * m_sectorSize;
    const auto add = [&](u64 cluster) {
        if (!InHeap(cluster, l.clusterCount)) return;
        const u64 offset = (cluster - kFirstHeapCluster) * l.sectorsPerCluster;
        if (offset >= m_deviceSectors || l.heapStart >= m_deviceSectors - offset) return;
        const size_t child = BlockHolding(l.heapStart + offset, l.sectorsPerCluster);
        if (child != kNoBlock && child != block) out.push_back(child);
    };
    for (const auto& f : b.files) {
        if (!f.directory) continue;
        // A folder written as one extent holds the clusters after its first as well.
        const u64 clusters = f.contiguous ? std::min(std::max<u64>(1, (f.length + clusterBytes - 1) / clusterBytes),
                                                     kMaxFolderClustersFollowed)
                                          : 1;
        for (u64 k = 0; k < clusters; ++k) add(u64(f.firstCluster) + k);
    }
    for (u32 d : b.deletedFolders) add(d);
    if (m_next[block] != kNoBlock) out.push_back(m_next[block]);
}

u64 ExFatBlockOwners::FoldersOnGrid(size_t block, const ExFatOwnerLayout& l, const std::vector<ExFatBlockFit>& fits) const {
    // A folder that names itself (as a damaged one may) names a folder where its entry says too.
    u64 count = 0;
    const auto at = [&](u64 cluster) {
        if (!InHeap(cluster, l.clusterCount)) return;
        const u64 offset = (cluster - kFirstHeapCluster) * l.sectorsPerCluster;
        if (offset >= m_deviceSectors || l.heapStart >= m_deviceSectors - offset) return;
        const size_t folder = BlockHolding(l.heapStart + offset, l.sectorsPerCluster);
        if (folder != kNoBlock && fits[folder] >= ExFatBlockFit::OnGrid) ++count;
    };
    for (const auto& f : m_blocks[block].files) {
        if (f.directory) at(f.firstCluster);
    }
    for (u32 d : m_blocks[block].deletedFolders) at(d);
    return count;
}

void ExFatBlockOwners::Spread(std::vector<ExFatBlockFit>& fits, std::vector<size_t> seeds, ExFatBlockFit level,
                              const ExFatOwnerLayout& layout) const {
    std::vector<bool> seen(m_blocks.size(), false);
    std::vector<size_t> children;
    while (!seeds.empty()) {
        const size_t at = seeds.back();
        seeds.pop_back();
        if (fits[at] == ExFatBlockFit::None || seen[at]) continue;
        seen[at] = true;
        fits[at] = std::max(fits[at], level);
        children.clear();
        Children(at, layout, children);
        for (size_t c : children) {
            if (!seen[c] && fits[c] != ExFatBlockFit::None) seeds.push_back(c);
        }
    }
}

std::vector<ExFatBlockFit> ExFatBlockOwners::Fits(const ExFatOwnerLayout& l) const {
    std::vector<ExFatBlockFit> fits(m_blocks.size(), ExFatBlockFit::None);
    const u64 spc = l.sectorsPerCluster;
    if (spc == 0 || l.heapStart >= m_deviceSectors) return fits;
    const u64 clusterBytes = spc * m_sectorSize;
    const u64 end = std::min(l.volumeEnd, m_deviceSectors);
    const auto first = FirstExFatBlockFrom(m_blocks, l.heapStart + kFirstHeapCluster * spc);
    std::vector<size_t> placed;
    for (size_t i = size_t(first - m_blocks.begin()); i < m_blocks.size() && m_blocks[i].firstSector < end; ++i) {
        const ExFatDirectoryBlock& b = m_blocks[i];
        fits[i] = ExFatBlockFit::InSpan;
        const u64 offset = b.firstSector - l.heapStart;
        const bool filesInHeap = b.highestCluster < kFirstHeapCluster || InHeap(b.highestCluster, l.clusterCount);
        if (offset % spc != 0 || !b.Admits(spc) || !filesInHeap) continue;
        fits[i] = ExFatBlockFit::OnGrid;
        const u64 own = offset / spc + kFirstHeapCluster;
        if (std::binary_search(l.placed.begin(), l.placed.end(), b.firstSector) ||
            ExFatClustersStandBeforeTheirFiles(m_blocks, i, i + 1, own, ExFatClustersSpanned(b, spc), b.lowestCluster,
                                               b.lowestFileCluster, clusterBytes)) {
            placed.push_back(i);
        }
    }
    // A folder whose subfolders begin the clusters its entries name places the layout as well.
    std::vector<size_t> children;
    for (size_t i = size_t(first - m_blocks.begin()); i < m_blocks.size() && m_blocks[i].firstSector < end; ++i) {
        if (fits[i] != ExFatBlockFit::OnGrid || (!m_blocks[i].HasDirectories() && m_blocks[i].deletedFolders.empty())) continue;
        children.clear();
        Children(i, l, children);
        const bool named = std::any_of(children.begin(), children.end(), [&](size_t c) {
            return c != m_next[i] && fits[c] >= ExFatBlockFit::OnGrid;
        });
        if (named) placed.push_back(i);
    }
    Spread(fits, std::move(placed), ExFatBlockFit::Placed, l);
    if (InHeap(l.rootCluster, l.clusterCount)) {
        const u64 offset = (l.rootCluster - kFirstHeapCluster) * spc;
        if (offset < m_deviceSectors && l.heapStart < m_deviceSectors - offset) {
            const size_t root = BlockHolding(l.heapStart + offset, spc);
            if (root != kNoBlock) Spread(fits, {root}, ExFatBlockFit::Reached, l);
        }
    }
    return fits;
}

std::vector<u32> ExFatBlockOwners::Assign(const std::vector<ExFatOwnerLayout>& layouts,
                                          const ExFatFileTailWitness& tails) const {
    std::vector<u32> owners(m_blocks.size(), kNoOwner);
    std::vector<size_t> order(layouts.size());
    std::iota(order.begin(), order.end(), size_t(0));
    std::stable_sort(order.begin(), order.end(),
                     [&](size_t a, size_t b) { return layouts[a].strength > layouts[b].strength; });
    if (order.size() > kMaxLayouts) order.resize(kMaxLayouts);
    std::sort(order.begin(), order.end());
    std::vector<std::vector<ExFatBlockFit>> fits;
    fits.reserve(order.size());
    for (size_t k : order) fits.push_back(Fits(layouts[k]));

    constexpr u32 kNotRead = ~u32(0);
    std::vector<u32> tailsOf(order.size(), kNotRead);
    for (size_t i = 0; i < m_blocks.size(); ++i) {
        std::fill(tailsOf.begin(), tailsOf.end(), kNotRead);
        const auto tailsAt = [&](size_t k) -> u32 {
            if (!tails) return 0;
            if (tailsOf[k] == kNotRead) {
                const ExFatOwnerLayout& l = layouts[order[k]];
                tailsOf[k] = tails(m_blocks[i], l.heapStart, l.sectorsPerCluster);
            }
            return tailsOf[k];
        };
        const auto subfoldersOn = [&](size_t k) { return FoldersOnGrid(i, layouts[order[k]], fits[k]); };
        const auto better = [&](size_t a, size_t b) {
            const ExFatBlockFit fa = fits[a][i];
            const ExFatBlockFit fb = fits[b][i];
            const bool gridA = fa >= ExFatBlockFit::OnGrid;
            if (gridA != (fb >= ExFatBlockFit::OnGrid)) return gridA;
            if ((fa == ExFatBlockFit::Reached) != (fb == ExFatBlockFit::Reached)) return fa == ExFatBlockFit::Reached;
            const ExFatOwnerLayout& la = layouts[order[a]];
            const ExFatOwnerLayout& lb = layouts[order[b]];
            const bool shifted = ShiftedCopyOf(la, lb) || ShiftedCopyOf(lb, la);
            if (!shifted && fa != fb) return fa > fb;
            if (gridA) {
                const u32 ta = tailsAt(a);
                const u32 tb = tailsAt(b);
                if (ta != tb) return ta > tb;
                if (shifted) {
                    const auto sa = subfoldersOn(a);
                    const auto sb = subfoldersOn(b);
                    if (sa != sb) return sa > sb;
                }
            }
            if (la.strength != lb.strength) return la.strength > lb.strength;
            return fa > fb;
        };
        size_t best = kNoBlock;
        for (size_t k = 0; k < order.size(); ++k) {
            if (fits[k][i] == ExFatBlockFit::None) continue;
            if (best == kNoBlock || better(k, best)) best = k;
        }
        if (best != kNoBlock) owners[i] = u32(order[best]);
    }
    return owners;
}
