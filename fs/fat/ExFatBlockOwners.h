#pragma once
// Which volume each exFAT folder block belongs to, decided in one place for every volume the deep
// search knows of. A disk formatted again over an older volume holds the folders of both, often
// in one stretch of sectors; read with the other volume's heap and cluster size, a folder's files
// come back as zeros or as other files' bytes. So a block goes to the volume whose layout it fits
// best, never to the one whose sectors merely hold it:
// - a folder of the volume's tree, from its root down (live or deleted entries), names the block's
//   cluster;
// - the layout places the block by itself: it stands just before its first file, its folders lie
//   where its entries put them, or the layout's finder placed it so;
// - it begins one of the layout's clusters, admits its cluster size and its files lie in its heap;
// - it only lies inside the volume (a cluster whose first sectors are gone, at best).
// Where two layouts fit a block alike, the one under which its files' last sectors end where
// their lengths say decides, then the fit, then the strength of each volume's own evidence. A
// layout guessed from folders beside a volume at its own start, or inside a volume whose boot
// region and FAT check out, wins a block from that volume only by its tree or its files' bytes (a
// folder of that volume read with a shifted heap also stands just before its first file): by its
// files' last sectors, or by more of the folders the block names beginning folder blocks there (an
// older volume's folder whose files hold no tail to read).
#include <functional>
#include <vector>

#include "fs/fat/ExFatBlockFinder.h"
#include "platform/Types.h"

// How well a block fits a layout, weakest first.
enum class ExFatBlockFit : u8 { None, InSpan, OnGrid, Placed, Reached };

// What a volume's own structures show of it, weakest first.
enum class ExFatLayoutStrength : u8 { Guessed, RootBlock, BootSector, CheckedBoot };

// A volume's layout as the owners of the blocks need it.
struct ExFatOwnerLayout {
    u64 heapStart = 0;  // device sector of cluster 2
    u64 sectorsPerCluster = 0;
    u64 volumeStart = 0;
    u64 volumeEnd = 0;  // the first sector after it
    u64 clusterCount = 0;
    u32 rootCluster = 0;  // 0: not known
    ExFatLayoutStrength strength = ExFatLayoutStrength::Guessed;
    // First sectors of the blocks the layout's finder placed, ascending.
    std::vector<u64> placed;
};

// How many of the block's files, read with the layout (heap start, sectors per cluster), end in a
// sector that holds their last bytes and zeros after them: where a volume wrote them. It bounds
// its own reads.
using ExFatFileTailWitness = std::function<u32(const ExFatDirectoryBlock& block, u64 heapStart, u64 sectorsPerCluster)>;

class ExFatBlockOwners {
public:
    static constexpr u32 kNoOwner = ~u32(0);
    // Layouts weighed at the most, strongest first; those past them own nothing.
    static constexpr size_t kMaxLayouts = 64;
    // Clusters of a contiguous folder followed as its own at the most.
    static constexpr u64 kMaxFolderClustersFollowed = 64;

    // `blocks` sorted by first sector; `links` the cut sets the walker joined.
    ExFatBlockOwners(const std::vector<ExFatDirectoryBlock>& blocks, const std::vector<ExFatCutSetLink>& links,
                     u64 deviceSectors, u32 sectorSize);

    // How well each block fits the layout.
    std::vector<ExFatBlockFit> Fits(const ExFatOwnerLayout& layout) const;
    // The layout (its index in `layouts`) each block belongs to; kNoOwner where none holds it.
    // Without `tails` no file is read.
    std::vector<u32> Assign(const std::vector<ExFatOwnerLayout>& layouts, const ExFatFileTailWitness& tails) const;

private:
    // The block whose sectors hold the cluster at `sector` as a folder's: one that begins in it
    // (after sectors lost to damage too), or one read on from an earlier cluster whose sets begin
    // there again. None: kNoBlock.
    size_t BlockHolding(u64 sector, u64 sectorsPerCluster) const;
    // Raises to `level` every block below `seeds` in the layout's tree that the layout holds.
    void Spread(std::vector<ExFatBlockFit>& fits, std::vector<size_t> seeds, ExFatBlockFit level,
                const ExFatOwnerLayout& layout) const;
    // How many of the folders the block names begin, under the layout, a block on its grid (the
    // block itself among them): what its tree shows of the layout.
    u64 FoldersOnGrid(size_t block, const ExFatOwnerLayout& layout, const std::vector<ExFatBlockFit>& fits) const;
    // The blocks whose clusters the block names as its folders', or ties to itself by a cut set.
    void Children(size_t block, const ExFatOwnerLayout& layout, std::vector<size_t>& out) const;

    const std::vector<ExFatDirectoryBlock>& m_blocks;
    u64 m_deviceSectors;
    u32 m_sectorSize;
    std::vector<size_t> m_next;  // the block a cut set ties after each one
};
