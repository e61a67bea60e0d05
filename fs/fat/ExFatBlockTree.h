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
// two clusters. A piece nothing places begins a lost folder of its own. A cluster that a live
// folder holds is that folder's: a deleted folder that had it before lists nothing.
//
// The build reads first and places after: the pieces' sets and the halves of their cut sets are
// read into a table (ReadExFatTreePieces), and the placement works on that table alone
// (PlaceExFatTreePieces), so that it needs no device.
#include <functional>
#include <vector>

#include "fs/fat/ExFatBlockFinder.h"
#include "fs/fat/ExFatEntrySet.h"
#include "platform/Types.h"

struct ExFatTreeGeometry {
    u64 heapStart = 0;          // device sector of cluster 2
    u64 sectorsPerCluster = 0;
    u64 end = 0;                // first device sector past the volume, or past the device where it ends first
    u32 sectorSize = 512;
    u32 clusterCount = 0;       // heap clusters
    u32 rootCluster = 0;        // 0 when the root directory is not known
    u64 volumeSectors = 0;      // the volume's own length: its files may reach past `end` (an image cut short)
};

// Reads `count` device sectors at `sector` into `out` (count x sector size bytes).
using ExFatSectorReader = std::function<bool(u64 sector, u64 count, u8* out)>;
// The FAT entry of a cluster; null when the volume's FAT cannot be read.
using ExFatFatReader = std::function<u32(u32 cluster)>;

// The part of a directory block that lies in one cluster of the volume, as placement needs it.
struct ExFatTreePiece {
    static constexpr u8 kBlockFirst = 0x1;
    static constexpr u8 kBlockLast = 0x2;      // the block ends with it
    static constexpr u8 kBlockEndsCut = 0x4;   // the block ends with a set cut there
    static constexpr u8 kBeginsWithTail = 0x8; // the rest of a set cut at the end of another cluster
    // Only the rest of a cut set, in a cluster that made no block: read for joins alone.
    static constexpr u8 kTailOnly = 0x10;

    u64 first = 0;
    u32 count = 0;  // sectors
    u32 cluster = 0;
    u8 flags = 0;
    // The piece's complete sets: [setBegin, setEnd) of the table's sets.
    size_t setBegin = 0;
    size_t setEnd = 0;
    // In the table's cut bytes: the entries of a set cut at the piece's end, from its file entry
    // on (none when no set is cut there), and, for a piece that begins with a tail, its first
    // entries.
    size_t headAt = 0;
    u32 headBytes = 0;
    size_t tailAt = 0;
    u32 tailBytes = 0;
};

struct ExFatTreeTable {
    std::vector<ExFatTreePiece> pieces;  // ascending by first sector
    std::vector<ExFatEntrySet> sets;
    std::vector<u8> cutBytes;
    // Blocks whose sectors could not be read: their sets are missing from the tree.
    u64 unreadPieces = 0;
};

struct ExFatPlacedSet {
    size_t set = 0;        // in the tree's sets
    u32 parent = 0;        // the folder's first cluster (the root's, or a lost folder's cluster)
    bool deleted = false;  // listed by a deleted or a lost folder: deleted with it
    // A deleted folder whose first cluster a live folder holds now: it lists nothing from that
    // cluster, and no set names its first cluster for it.
    bool displaced = false;
    // For a set of such a folder's other clusters: the folder's set, its parent (else none).
    size_t displacedParent = ~size_t(0);
};

struct ExFatBlockTree {
    std::vector<ExFatEntrySet> sets;  // read from the pieces, then the cut sets joined again
    // In the order they are handed over: each folder's sets after the folder itself, the root's
    // first, live folders before deleted ones, then each lost folder's.
    std::vector<ExFatPlacedSet> placed;
    // Clusters that begin a lost folder (a piece of a folder whose own entry is gone), in the
    // order the lost folders are made.
    std::vector<u32> lostFolders;
};

// `blocks` sorted by first sector, as the block walker leaves them. The tails the walker joined
// and the clusters the FAT names after a cut head are read too, where no block begins.
ExFatTreeTable ReadExFatTreePieces(const std::vector<ExFatDirectoryBlock>& blocks,
                                   const std::vector<ExFatCutSetLink>& links, const ExFatTreeGeometry& geometry,
                                   const ExFatSectorReader& read, const ExFatFatReader& fat);
ExFatBlockTree PlaceExFatTreePieces(ExFatTreeTable&& table, const std::vector<ExFatCutSetLink>& links,
                                    const ExFatTreeGeometry& geometry, const ExFatFatReader& fat);

ExFatBlockTree BuildExFatBlockTree(const std::vector<ExFatDirectoryBlock>& blocks,
                                   const std::vector<ExFatCutSetLink>& links, const ExFatTreeGeometry& geometry,
                                   const ExFatSectorReader& read, const ExFatFatReader& fat);
