#pragma once
// The tree of a chosen exFAT volume, built from the directory blocks the deep search found in its
// heap rather than by walking folders from the root: a walk loses everything behind the first
// damaged entry of a folder, while every block the block walker kept still holds its sets.
//
// Each block is cut where the volume's clusters begin; each piece goes below the folder one of
// whose clusters holds it. A folder's clusters are its FAT chain (or its run, for a folder
// without one), and where the chain names the cluster that follows, it decides: a set cut at a
// cluster's end is finished from that cluster, and a cut set joined to some other cluster does
// not make that cluster the folder's. Where the chain says nothing, the joined cut set ties the
// two clusters. A piece nothing places begins a lost folder of its own.
#include <functional>
#include <vector>

#include "fs/fat/ExFatBlockFinder.h"
#include "fs/fat/ExFatEntrySet.h"
#include "platform/Types.h"

struct ExFatTreeGeometry {
    u64 heapStart = 0;          // device sector of cluster 2
    u64 sectorsPerCluster = 0;
    u64 end = 0;                // first device sector past the volume
    u32 sectorSize = 512;
    u32 clusterCount = 0;       // heap clusters
    u32 rootCluster = 0;        // 0 when the root directory is not known
};

// Reads `count` device sectors at `sector` into `out` (count x sector size bytes).
using ExFatSectorReader = std::function<bool(u64 sector, u64 count, u8* out)>;
// The FAT entry of a cluster; null when the volume's FAT cannot be read.
using ExFatFatReader = std::function<u32(u32 cluster)>;

struct ExFatPlacedSet {
    ExFatEntrySet set;
    u32 parent = 0;  // the folder's first cluster (the root's, or a lost folder's cluster)
};

struct ExFatBlockTree {
    std::vector<ExFatPlacedSet> sets;  // in the order of their blocks on the device
    // Clusters that begin a lost folder, ascending: a piece of a folder whose own entry is gone.
    std::vector<u32> lostFolders;
};

// `blocks` sorted by first sector, as the block walker leaves them.
ExFatBlockTree BuildExFatBlockTree(const std::vector<ExFatDirectoryBlock>& blocks,
                                   const std::vector<ExFatCutSetLink>& links, const ExFatTreeGeometry& geometry,
                                   const ExFatSectorReader& read, const ExFatFatReader& fat);
