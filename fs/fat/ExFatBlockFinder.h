#pragma once
// Finding an exFAT volume from its directories when both of its boot regions are gone. The block
// walker joins consecutive sectors of valid directory entries into directory blocks (at most one
// cluster each); the root directory's block is known by its allocation-bitmap and up-case entries.
// A set cut where one cluster of a folder ends is kept in two halves (the head, at the end of one
// block, and the tail, at the start of another) until its other half is met; the two are joined
// again when the set's checksum and every entry check out, which ties the two blocks as clusters
// of one folder.
// The finder then tries, for each root block, every cluster size the block admits and every root
// cluster between the system clusters and its first file: the heap start this implies must put
// the up-case table where an up-case table was seen or the allocation bitmap where its bits of the
// system clusters are set, and the blocks of the subdirectories where their entries say they are.
#include <algorithm>
#include <array>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "engine/FileTypeHintList.h"
#include "fs/fat/ExFatCutJoin.h"
#include "fs/fat/ExFatEntrySet.h"
#include "platform/Types.h"

constexpr u32 kExFatBlockLabel = 0x1;
constexpr u32 kExFatBlockBitmap = 0x2;
constexpr u32 kExFatBlockUpcase = 0x4;
// A root directory lists the volume's label, allocation bitmap and up-case table.
constexpr u32 kExFatBlockRoot = kExFatBlockLabel | kExFatBlockBitmap | kExFatBlockUpcase;
// The block begins with the secondaries of a set whose file entry lies elsewhere, and ends with a
// set whose secondaries lie elsewhere: a folder's entry set cut where its cluster ends.
constexpr u32 kExFatBlockBeginsWithTail = 0x8;
constexpr u32 kExFatBlockEndsCut = 0x10;
// It lists a folder in use.
constexpr u32 kExFatBlockListsFolders = 0x20;

// A set cut at the end of one folder cluster (the head block) and finished at the start of
// another (the tail block), joined again: the two blocks are clusters of one folder.
struct ExFatCutSetLink {
    u64 headBlock = 0;  // first sectors of the two blocks
    u64 tailBlock = 0;
    ExFatEntrySet set;
};

// What a root directory lists besides its sets: the allocation bitmap, the up-case table and the
// label. Few blocks list any of them, so a block keeps them apart.
struct ExFatRootEntries {
    u32 systemEnd = 2;        // the first cluster after the bitmap and the up-case table
    u32 bitmapCluster = 0;
    u64 bitmapClusters = 0;   // clusters the allocation bitmap covers
    u32 upcaseCluster = 0;
    u64 upcaseLength = 0;
    std::u16string label;
};

// One run of consecutive directory sectors. A device can hold millions of them: each is kept
// small, and what few blocks have stands apart.
struct ExFatDirectoryBlock {
    // A cluster is 512 bytes at the least and 32 MiB at the most.
    static constexpr u32 kMinClusterBytes = 512;
    static constexpr u32 kMaxClusterBytes = 0x2000000;

    u64 firstSector = ~u64(0);
    u32 sectorCount = 0;
    u32 flags = 0;
    u32 setCount = 0;
    u32 lowestCluster = 0xFFFFFFF6u;  // of the sets that name a heap cluster
    // Of those sets that are not folders, live or deleted: a folder made before its files stands
    // just before the first of them, whereas a folder it lists (a deleted one too, whose cluster
    // may have gone to a later folder) may lie anywhere.
    u32 lowestFileCluster = 0xFFFFFFF6u;
    u32 highestCluster = 0;
    // Bounds of the cluster size: bytes while the block grows, sectors once it is finished.
    u32 minCluster = kMinClusterBytes;
    u32 maxCluster = kMaxClusterBytes;
    // UTF-16 units of the names of its sets, all told (saturating): what their copies will take.
    u32 nameUnits = 0;
    // In-use sets that name a heap cluster: first cluster, length, whether contiguous, whether a
    // folder, and the sector of its file entry counted from the block's first sector.
    struct Extent {
        Extent(u32 first, u64 bytes, bool isContiguous, bool isDirectory = false, u32 at = 0)
            : length(bytes), firstCluster(first), sector(at), contiguous(isContiguous), directory(isDirectory) {}
        u64 length;
        u32 firstCluster;
        // A block holds one cluster at the most: 65,536 sectors of 512 bytes.
        u32 sector : 30;
        u32 contiguous : 1;
        u32 directory : 1;
    };
    // In the order found.
    std::vector<Extent> files;
    // The first clusters of the deleted folders it lists: a folder that lists them was the
    // volume's, whose clusters they name, whatever became of them since.
    std::vector<u32> deletedFolders;
    // Only for a block that lists a bitmap, an up-case table or a label.
    std::shared_ptr<ExFatRootEntries> root;

    bool IsRoot() const { return (flags & kExFatBlockRoot) == kExFatBlockRoot; }
    // Whether `sectorsPerCluster` lies within the block's (finished) bounds.
    bool Admits(u64 sectorsPerCluster) const {
        return sectorsPerCluster >= minCluster && sectorsPerCluster <= maxCluster;
    }
    bool HasDirectories() const { return (flags & kExFatBlockListsFolders) != 0; }
    const ExFatRootEntries& RootEntries() const {
        static const ExFatRootEntries kNone;
        return root ? *root : kNone;
    }
    ExFatRootEntries& EditRootEntries() {
        if (!root) root = std::make_shared<ExFatRootEntries>();
        return *root;
    }
};

// The first of `blocks` (sorted by first sector, as the walker leaves them) that begins at or
// after `sector`.
inline std::vector<ExFatDirectoryBlock>::const_iterator FirstExFatBlockFrom(
    const std::vector<ExFatDirectoryBlock>& blocks, u64 sector) {
    return std::lower_bound(blocks.begin(), blocks.end(), sector,
                            [](const ExFatDirectoryBlock& b, u64 s) { return b.firstSector < s; });
}

// The part of a block that one cluster of a layout holds, in sectors from the block's first. The
// walker knows no cluster size: a folder's cluster full to its end, followed on the device by a
// cluster of another folder, is walked as one block, so a layout's tests cut blocks where its
// clusters end.
struct ExFatBlockPiece {
    size_t block = 0;
    u32 first = 0;
    u32 end = 0;  // the sector after its last
};

// The clusters a block spans when its clusters hold `sectorsPerCluster` sectors: a block is read on
// across the clusters of folders that lie side by side.
inline u64 ExFatClustersSpanned(const ExFatDirectoryBlock& b, u64 sectorsPerCluster) {
    return std::max<u64>(1, (b.sectorCount + sectorsPerCluster - 1) / sectorsPerCluster);
}

// Whether the folder clusters [own, own + clusters), which hold the blocks [first, end) of
// `blocks`, stand just before the first file they list (the lowest first cluster of their sets,
// `lowest`, or of those that are not folders, `lowestFile`), and no two of their files, nor a
// file and those clusters, share a cluster of `clusterBytes` bytes: folders made just before
// their files, as a volume lays out what it writes.
bool ExFatClustersStandBeforeTheirFiles(const std::vector<ExFatDirectoryBlock>& blocks, size_t first, size_t end,
                                        u64 own, u64 clusters, u32 lowest, u32 lowestFile, u64 clusterBytes);

// The piece of `blocks` (sorted by first sector) that the cluster of `sectorsPerCluster` sectors
// beginning at `sector` holds: a block that begins there, or one that begins a whole number of
// clusters before it and has the file entry of an in-use set in that sector. None when no block
// holds it so.
std::optional<ExFatBlockPiece> ExFatPieceAt(const std::vector<ExFatDirectoryBlock>& blocks, u64 sector,
                                            u64 sectorsPerCluster);
// The piece's in-use sets that name a heap cluster, in the order found.
std::pair<std::vector<ExFatDirectoryBlock::Extent>::const_iterator, std::vector<ExFatDirectoryBlock::Extent>::const_iterator>
ExFatPieceFiles(const ExFatDirectoryBlock& block, const ExFatBlockPiece& piece);
// The piece the block's own first cluster holds.
inline ExFatBlockPiece ExFatFirstPiece(const std::vector<ExFatDirectoryBlock>& blocks, size_t block,
                                       u64 sectorsPerCluster) {
    return {block, 0, u32(std::min<u64>(blocks[block].sectorCount, sectorsPerCluster))};
}

// Walks sectors in ascending order into directory blocks.
class ExFatBlockWalker {
public:
    void SetGeometry(u64 deviceSectors, u32 sectorSize);
    // A volume seen on the device is `sectors` long, longer than the device where it ends first (an
    // image cut short): its files' lengths are judged against it.
    void AdmitVolumeLength(u64 sectors) { m_limits.lengthLimit = std::max(m_limits.lengthLimit, sectors); }
    // Where the walker books what each complete file set's name says its data is (none: no hints).
    void SetHintList(CFileTypeHintList* hints) { m_hints = hints; }
    // Receives each complete file set as it is met (none: sets are only counted into blocks).
    using SetSink = std::function<void(const ExFatEntrySet& set)>;
    void SetSetSink(SetSink sink) { m_sink = std::move(sink); }
    // One sector of directory data, or the sector that ends a block (a boot sector, a FAT, zeros
    // or data: WalkSector finds that out). Finished blocks are appended to `out`.
    void WalkSector(u64 sector, const u8* bytes, std::vector<ExFatDirectoryBlock>& out);
    // The cut sets joined again so far, in the order they were joined.
    const std::vector<ExFatCutSetLink>& GetCutSetLinks() const { return m_links; }
    // How many stored halves new heads and tails were tried against, all told.
    u64 PartnersTried() const { return m_partnersTried; }
    // Frees the heads and tails that found no partner.
    void DropUnjoinedCuts() {
        m_heads.clear();
        m_tails.clear();
    }
    // From here on blocks are only told apart, for their count: no set is handed on or booked
    // as a hint, and no cut set is kept or joined.
    void CountBlocksOnly() {
        m_sink = nullptr;
        m_hints = nullptr;
        m_keepCuts = false;
        DropUnjoinedCuts();
    }
    // Ends the current block. Most sectors end none: that case costs one test here.
    void FinishBlock(std::vector<ExFatDirectoryBlock>& out) {
        if (m_block.sectorCount != 0 || m_set.taken != 0 || m_skip != 0) FinishOpenBlock(out);
    }

private:
    struct SetInProgress {
        u32 taken = 0;     // entries of the set so far
        u32 expected = 0;  // secondaries still expected
        bool inUse = false;
        u16 attributes = 0;
        u32 firstCluster = 0;
        u64 dataLength = 0;
        bool contiguous = false;
        u64 position = 0;       // the sector of the file entry
        std::u16string name;    // kept only while hints are booked or sets handed on
        // Kept for the set sink.
        u32 createTime = 0;
        u32 modifyTime = 0;
        u32 accessTime = 0;
        u8 nameLength = 0;
    };
    // The entries of a set before its cut, and the first entries of a sector that begins with
    // the rest of one.
    struct StoredHead {
        u64 position = 0;
        std::vector<u8> entries;
    };
    // A tail holds every secondary of the longest set: with 512-byte sectors it reaches into the
    // block's second sector.
    static constexpr size_t kTailBytes = kExFatTailBytes;
    // Halves kept in each store at the most. The walk goes up the device and a new half is tried
    // only against its nearest partners, so the half furthest back makes room for a new one.
    static constexpr size_t kMaxStoredCuts = 1u << 16;
    struct StoredTail {
        std::array<u8, kTailBytes> entries{};
        u32 leadingSecondaries = 0;  // of one in-use state, from the first entry on
    };
    enum class Step { Go, Stop };
    void RegisterHead(u64 blockSector);
    // Keeps the first bytes of a block that begins with a tail; the tail is registered once it
    // holds kTailBytes or its block ends.
    void BeginTail(u64 blockSector, const u8* bytes);
    void TakeTailBytes(const u8* bytes);
    void RegisterPendingTail();
    void RegisterTail(u64 blockSector, const StoredTail& tail);
    // The set the head and the tail make, when its checksum and every entry check out.
    bool Rejoin(const StoredHead& head, const StoredTail& tail, ExFatEntrySet& joined) const;
    void Link(u64 headBlock, u64 tailBlock, ExFatEntrySet&& set);
    void FinishOpenBlock(std::vector<ExFatDirectoryBlock>& out);
    Step WalkEntry(const u8* entry);
    void CompleteSet();
    void SkipSet(u32 secondaries);
    void HandOnSet() const;

    ExFatWalkLimits m_limits;
    u32 m_sectorShift = 9;
    ExFatDirectoryBlock m_block;
    SetInProgress m_set;
    u32 m_skip = 0;
    u64 m_lastSector = ~u64(0);
    u64 m_sector = 0;  // the sector being walked
    CFileTypeHintList* m_hints = nullptr;
    SetSink m_sink;
    // System entries of the sector being walked.
    u32 m_sectorFlags = 0;
    // The raw entries of the set in progress.
    std::vector<u8> m_setBytes;
    // Keyed by the first sector of their block.
    std::map<u64, StoredHead> m_heads;
    std::map<u64, StoredTail> m_tails;
    // The tail of the open block while it waits for the bytes of the block's next sector.
    StoredTail m_pendingTail;
    size_t m_pendingTailBytes = 0;
    u64 m_pendingTailSector = 0;
    bool m_tailPending = false;
    std::vector<ExFatCutSetLink> m_links;
    u64 m_partnersTried = 0;
    bool m_keepCuts = true;
};

// The whole device's evidence, and the volumes it shows.
struct ExFatInferredVolume {
    u64 heapStart = 0;
    u32 sectorsPerCluster = 0;
    u32 rootCluster = 0;
    u64 clusterCount = 0;  // of the heap, which may reach past the device's end (an image cut short)
    u64 blocks = 0;  // directory blocks the volume's tree holds, the root's included
    std::u16string label;
    u32 bitmapCluster = 0;
};

// What the allocation bitmap a layout points at says of the layout's system clusters.
enum class BitmapVerdict { Unknown, Agrees, Disagrees };
// Reads the bitmap's first sector at `sector` and answers whether the bits of the root block's
// bitmap, up-case and root clusters are set.
using BitmapProbe = std::function<BitmapVerdict(u64 sector, const ExFatDirectoryBlock& root, u32 rootCluster)>;

class ExFatPartitionFinder {
public:
    // Scores of an up-case table and an allocation bitmap seen where a layout puts them, against
    // the depth-weighted count of subdirectory blocks found where they belong.
    static constexpr u64 kUpcaseWeight = 8;
    static constexpr u64 kBitmapWeight = 8;
    // Root clusters tried after the system clusters.
    static constexpr u32 kMaxRootClustersTried = 64;

    ExFatPartitionFinder(u64 deviceSectors, u32 sectorSize) : m_deviceSectors(deviceSectors), m_sectorSize(sectorSize) {}

    // `blocks` sorted by first sector; `upcaseStarts` sorted.
    std::vector<ExFatInferredVolume> Find(const std::vector<ExFatDirectoryBlock>& blocks,
                                          const std::vector<u64>& upcaseStarts, const BitmapProbe& bitmapAgrees) const;

    // How well the layout (heap start, sectors per cluster, clusters of the heap) explains the
    // tree below `root`: each subdirectory whose block starts where its first cluster puts it
    // adds its depth. Nothing when a folder lies outside the heap or a block found there cannot
    // be that folder's. `found` counts the blocks reached.
    std::optional<u64> TreeScore(const std::vector<ExFatDirectoryBlock>& blocks, size_t root, u64 heapStart, u64 sectorsPerCluster,
                  u64 clusterCount, u64& found) const;

private:
    u64 m_deviceSectors;
    u32 m_sectorSize;
};
