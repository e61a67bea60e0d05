#include "fs/fat/ExFatChainTally.h"

#include <algorithm>
#include <unordered_set>

#include "fs/fat/ExFatPartition.h"
#include "fs/fat/ExFatQuickSearch.h"

namespace {

constexpr u32 kFirstHeapCluster = 2;

class ChainTally {
public:
    ChainTally(const ExFatFatReader& fat, u64 clusterCount) : m_fat(fat), m_clusterEnd(kFirstHeapCluster + clusterCount) {}

    bool InHeap(u64 cluster) const { return cluster >= kFirstHeapCluster && cluster < m_clusterEnd; }

    // The clusters other entries hold: every first cluster, and the runs of contiguous ones.
    void Hold(const ExFatDirectoryBlock::Extent& e, u64 clusterBytes) {
        if (!InHeap(e.firstCluster)) return;
        const u64 clusters = e.contiguous ? std::max<u64>(1, (e.length + clusterBytes - 1) / clusterBytes) : 1;
        m_held.InsertRange(e.firstCluster, std::min<u64>(u64(e.firstCluster) + clusters, m_clusterEnd));
    }

    // Follows the chain from `first` for `clusters` clusters (0: as long as it goes, a root's);
    // answers whether it was held, broken, or tells nothing.
    enum class Verdict { Held, Broken, Silent };
    Verdict Follow(u32 first, u64 clusters) {
        // A chain of known length that loops never reaches its end mark at that length: only the
        // root's, which has none, is watched for a cluster met twice.
        std::unordered_set<u32> seen{first};
        u32 cluster = first;
        const u64 limit = clusters != 0 ? clusters : kExFatTalliedRootClusters;
        for (u64 named = 1;; ++named) {
            const u32 next = m_fat(cluster);
            if (next >= kExFatChainEnd) {
                // An end mark: where the length says, or for a root after more than its first cluster.
                if (clusters != 0) return named == clusters ? Verdict::Held : Verdict::Broken;
                return named > 1 ? Verdict::Held : Verdict::Silent;
            }
            if (named >= limit) return clusters != 0 ? Verdict::Broken : Verdict::Silent;
            if (!InHeap(next) || (clusters == 0 && !seen.insert(next).second) || m_held.Contains(next)) {
                return Verdict::Broken;
            }
            cluster = next;
        }
    }

private:
    const ExFatFatReader& m_fat;
    u64 m_clusterEnd;
    ExFatClusterRanges m_held;
};

}  // namespace

ExFatChainTally TallyExFatChains(const std::vector<const ExFatDirectoryBlock*>& blocks, u32 rootCluster,
                                 const ExFatFatReader& fat, u64 clusterBytes, u64 clusterCount) {
    ExFatChainTally tally;
    if (!fat || clusterBytes == 0) return tally;
    ChainTally chains(fat, clusterCount);
    for (const ExFatDirectoryBlock* b : blocks) {
        for (const auto& e : b->files) chains.Hold(e, clusterBytes);
    }
    const auto count = [&](ChainTally::Verdict v) {
        if (v == ChainTally::Verdict::Held) ++tally.held;
        if (v == ChainTally::Verdict::Broken) ++tally.broken;
    };
    if (chains.InHeap(rootCluster)) count(chains.Follow(rootCluster, 0));
    u64 followed = 0;
    u64 budget = kExFatTalliedClusters;
    for (const ExFatDirectoryBlock* b : blocks) {
        for (const auto& e : b->files) {
            if (followed == kExFatChainsTallied) return tally;
            // A file of one cluster, or one written as a single run, has no chain to tell by; one
            // longer than the clusters left to follow tells nothing either.
            const u64 clusters = (e.length + clusterBytes - 1) / clusterBytes;
            if (e.contiguous || clusters < 2 || clusters > budget || !chains.InHeap(e.firstCluster)) continue;
            budget -= clusters;
            ++followed;
            count(chains.Follow(e.firstCluster, clusters));
        }
    }
    return tally;
}
