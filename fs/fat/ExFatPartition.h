#pragma once
// The exFAT FAT, read through a cache of at most nine 1 MiB pieces, and the cluster arithmetic
// of an exFAT partition that the quick and deep searches share.
#include <map>
#include <memory>
#include <vector>

#include "engine/SearchedPartitionInfo.h"
#include "platform/Types.h"

class IStorageDevice;

// Chain values: below 2, or from this value up, a chain ends.
constexpr u32 kExFatChainEnd = 0xFFFFFFF6u;
// What a FAT read answers when it has no entry to give.
constexpr u32 kExFatNoEntry = 0xFFFFFFFFu;

inline bool IsExFatChainCluster(u32 value) { return value >= 2 && value < kExFatChainEnd; }

// An exFAT folder holds 256 MiB at the most.
constexpr u64 kExFatMaxFolderBytes = u64(256) << 20;

// The clusters a folder of `dataLength` bytes spans, at least one: a deleted folder's FAT chain
// is freed with it, so its entries are looked for in that many clusters from its first one.
inline u64 ExFatFolderRunClusters(u64 dataLength, u64 clusterBytes) {
    if (clusterBytes == 0) return 1;
    const u64 length = dataLength < kExFatMaxFolderBytes ? dataLength : kExFatMaxFolderBytes;
    const u64 clusters = (length + clusterBytes - 1) / clusterBytes;
    return clusters > 0 ? clusters : 1;
}

class ExFatFatCache {
public:
    static constexpr u32 kPieceBytes = 0x100000;
    static constexpr u32 kMaxPieces = 9;

    ExFatFatCache() = default;
    ~ExFatFatCache() { Close(); }
    ExFatFatCache(const ExFatFatCache&) = delete;
    ExFatFatCache& operator=(const ExFatFatCache&) = delete;

    // Reads the first piece of the FAT of fatLength sectors at firstFatSector; the cache stays
    // closed when the FAT does not end before the device's last sector or that read fails.
    void Open(IStorageDevice* device, u64 firstFatSector, u32 fatLength, u32 clusterCount);
    bool IsOpen() const { return m_open; }
    // The stored entry of a cluster; 0xFFFFFFFF when the cache is closed, the cluster lies past
    // the FAT, or its piece cannot be read.
    u32 GetEntry(u32 cluster);
    void Close();

    // For inspection.
    size_t GetPieceCount() const { return m_pieces.size(); }
    bool HasPieceAt(u64 sector) const { return m_pieces.count(sector) != 0; }
    u32 GetSectorsPerPiece() const { return m_sectorsPerPiece; }

private:
    bool ReadPiece(u8* piece, u64 pieceSector);

    IStorageDevice* m_device = nullptr;
    u64 m_firstSector = 0;
    u32 m_fatLength = 0;
    u32 m_sectorsPerPiece = 0;
    u32 m_sectorSize = 0;
    bool m_open = false;
    std::map<u64, std::unique_ptr<u8[]>> m_pieces;
};

// The volume's allocation bitmap, as its root directory lists it: which clusters the volume has
// given to a file or folder now. Its clusters are read a sector at a time, as they are asked for.
class ExFatAllocationBitmap {
public:
    // The bitmap's clusters lie at `clusterSectors` (the device sector of each, in order); it
    // covers `clusters` clusters of the heap.
    void Place(IStorageDevice* device, std::vector<u64> clusterSectors, u32 sectorsPerCluster, u64 clusters);
    void Clear();
    bool IsPlaced() const { return m_device != nullptr; }
    // Whether the bitmap marks the heap cluster in use; false where it does not reach or cannot
    // be read.
    bool InUse(u32 cluster);
    // Whether a sector of the bitmap could not be read since it was placed.
    bool HadReadFailure() const { return m_readFailed; }

private:
    IStorageDevice* m_device = nullptr;
    std::vector<u64> m_clusterSectors;
    u32 m_sectorsPerCluster = 0;
    u32 m_sectorSize = 0;
    u64 m_clusters = 0;
    u64 m_cachedSector = ~u64(0);
    bool m_cachedOk = false;
    bool m_readFailed = false;
    std::vector<u8> m_sector;
};

// The cluster geometry of an exFAT partition (file-system code 7).
class CExFatPartition : public CSearchedPartitionInfo {
public:
    explicit CExFatPartition(u32 sectorSize = 512);
    ~CExFatPartition() override = default;

    // The first sector of a cluster: heap start + (cluster - 2) x sectors per cluster.
    u64 ClusterToSector(u32 cluster) const;
    // The cluster that holds a sector of the heap (rounding up within a cluster).
    u32 SectorToCluster(u64 sector) const;
    // The next cluster of a chain; 0xFFFFFFFF ends it. A chain without FAT entries
    // (noFatChain) is contiguous: its next cluster is the following one.
    u32 NextCluster(u32 cluster, bool noFatChain);
    // Whether a cluster number names a cluster of the heap.
    bool IsHeapCluster(u32 cluster) const {
        return IsExFatChainCluster(cluster) && u64(cluster) - 2 < m_clusterCount;
    }

    // The used-cluster set: one bit per heap cluster that the device holds, sized by
    // SetClusterCount; clusters outside it are never marked.
    void MarkClusterUsed(u32 cluster);
    bool IsClusterMarkedUsed(u32 cluster) const;
    const std::vector<u8>& GetUsedClusterBits() const { return m_usedClusters; }

    // The heap's cluster count, and how many of its clusters the used-cluster set covers (at
    // most the count: a damaged count must not size a huge set for a small device).
    void SetClusterCount(u32 count, u64 trackedClusters);
    u32 GetClusterCount() const { return m_clusterCount; }

    ExFatFatCache m_fat;
    u32 m_sectorSize = 512;
    u32 m_sectorsPerCluster = 0;
    u32 m_clusterLimit = 0;  // the larger of ClusterCount and the FAT's entry count
    u32 m_rootCluster = 0xFFFFFFFFu;
    u32 m_bytesPerSector = 512;
    u64 m_heapStart = 0;
    u64 m_volumeFirstSector = 0;
    u64 m_volumeLength = 0;

private:
    u32 m_clusterCount = 0;
    std::vector<u8> m_usedClusters;
};
