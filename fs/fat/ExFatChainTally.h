#pragma once
// Whether a FAT found for an exFAT volume is that volume's own. A volume found from its folders
// takes the FAT that lies before its heap; where a newer volume was formatted over it, that FAT is
// the newer one's, and its chains would give the older volume's fragmented files and folders
// other files' clusters. A FAT that is the volume's own still holds the chains its folders' entries
// call for: each names as many heap clusters as the entry's length needs, then ends, and runs into
// no cluster another entry of the volume begins at or holds.
#include <vector>

#include "fs/fat/ExFatBlockFinder.h"
#include "fs/fat/ExFatBlockTree.h"
#include "platform/Types.h"

struct ExFatChainTally {
    u64 held = 0;    // chains the FAT gives as their entries call for
    u64 broken = 0;  // chains that end early, run on, leave the heap, loop or run into another's clusters
};

// Chains followed at the most, and the clusters followed in all: a chain past what is left of
// them counts neither way. A file's chain is as long as its entry says, however long that is: a
// volume of small clusters has chains of hundreds of thousands. The root's chain has no length and
// is followed this far at the most.
constexpr u64 kExFatChainsTallied = 64;
constexpr u64 kExFatTalliedClusters = u64(1) << 24;
constexpr u64 kExFatTalliedRootClusters = u64(1) << 16;

// Follows through `fat` the chains of the live files and folders the blocks list whose entries say
// a FAT chain orders their clusters, and the root folder's chain from `rootCluster` (0: not known;
// the root has no length, so a chain of its first cluster alone tells nothing). The heap holds
// `clusterCount` clusters of `clusterBytes` bytes.
ExFatChainTally TallyExFatChains(const std::vector<const ExFatDirectoryBlock*>& blocks, u32 rootCluster,
                                 const ExFatFatReader& fat, u64 clusterBytes, u64 clusterCount);

// Whether the tally shows the volume's own FAT: more chains held than broken, or, for a FAT its
// own boot sector places (`placedByBoot`), none broken.
inline bool IsExFatVolumesOwnFat(const ExFatChainTally& tally, bool placedByBoot) {
    return tally.held > tally.broken || (placedByBoot && tally.broken == 0);
}
