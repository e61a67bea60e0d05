#include "fs/fat/ExFatPartition.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <utility>

#include "devices/StorageDevice.h"

void ExFatFatCache::Open(IStorageDevice* device, u64 firstFatSector, u32 fatLength, u32 /*clusterCount*/) {
    Close();
    if (device == nullptr || fatLength == 0) return;
    if (firstFatSector + fatLength >= device->GetTotalSectors()) return;
    const u32 sectorSize = device->GetSectorSize();
    // A piece holds whole sectors; a sector larger than a piece cannot be cached.
    if (sectorSize == 0 || sectorSize > kPieceBytes) return;
    m_device = device;
    m_firstSector = firstFatSector;
    m_fatLength = fatLength;
    m_sectorSize = sectorSize;
    m_sectorsPerPiece = kPieceBytes / sectorSize;

    std::unique_ptr<u8[]> piece(new (std::nothrow) u8[kPieceBytes]);
    if (!piece || !ReadPiece(piece.get(), firstFatSector)) {
        m_device = nullptr;
        return;
    }
    m_pieces.emplace(firstFatSector, std::move(piece));
    m_open = true;
}

bool ExFatFatCache::ReadPiece(u8* piece, u64 pieceSector) {
    // Only the FAT's own sectors are read: the last piece of a FAT near the device's end would
    // otherwise fail as a whole. The rest of the piece reads as zeros (free clusters).
    const u64 offset = pieceSector - m_firstSector;
    const u64 count = std::min<u64>(m_sectorsPerPiece, m_fatLength - offset);
    std::memset(piece, 0, kPieceBytes);
    return m_device->Read(piece, pieceSector, count) != 0;
}

u32 ExFatFatCache::GetEntry(u32 cluster) {
    if (!m_open) return kExFatNoEntry;
    const u64 byteOffset = u64(cluster) * 4;
    if (byteOffset + 4 > u64(m_fatLength) * m_sectorSize) return kExFatNoEntry;
    const u64 sectorIndex = byteOffset / m_sectorSize;
    const u64 pieceIndex = sectorIndex - sectorIndex % m_sectorsPerPiece;
    const u64 pieceSector = m_firstSector + pieceIndex;
    const u64 inPiece = byteOffset - pieceIndex * m_sectorSize;

    auto it = m_pieces.find(pieceSector);
    if (it != m_pieces.end()) return ReadLE32(it->second.get() + inPiece);

    std::unique_ptr<u8[]> piece;
    if (m_pieces.size() < kMaxPieces) {
        piece.reset(new (std::nothrow) u8[kPieceBytes]);
        if (!piece) return kExFatNoEntry;
    } else {
        // Full: the piece of the lowest FAT sector makes room, whatever its age.
        auto lowest = m_pieces.begin();
        piece = std::move(lowest->second);
        m_pieces.erase(lowest);
    }
    if (!ReadPiece(piece.get(), pieceSector)) return kExFatNoEntry;
    const u32 value = ReadLE32(piece.get() + inPiece);
    m_pieces.emplace(pieceSector, std::move(piece));
    return value;
}

void ExFatFatCache::Close() {
    m_pieces.clear();
    m_open = false;
    m_device = nullptr;
}

void ExFatAllocationBitmap::Place(IStorageDevice* device, std::vector<u64> clusterSectors, u32 sectorsPerCluster,
                                  u64 clusters) {
    Clear();
    if (device == nullptr || clusterSectors.empty() || sectorsPerCluster == 0 || device->GetSectorSize() == 0) return;
    m_device = device;
    m_clusterSectors = std::move(clusterSectors);
    m_sectorsPerCluster = sectorsPerCluster;
    m_sectorSize = device->GetSectorSize();
    m_clusters = clusters;
    m_sector.assign(m_sectorSize, 0);
}

void ExFatAllocationBitmap::Clear() {
    m_device = nullptr;
    m_clusterSectors.clear();
    m_clusters = 0;
    m_cachedSector = ~u64(0);
    m_cachedOk = false;
    m_readFailed = false;
}

bool ExFatAllocationBitmap::InUse(u32 cluster) {
    if (m_device == nullptr || cluster < 2 || u64(cluster) - 2 >= m_clusters) return false;
    const u64 bit = u64(cluster) - 2;
    const u64 byte = bit / 8;
    const u64 sectorIndex = byte / m_sectorSize;
    const u64 bitmapCluster = sectorIndex / m_sectorsPerCluster;
    if (bitmapCluster >= m_clusterSectors.size()) return false;
    const u64 sector = m_clusterSectors[bitmapCluster] + sectorIndex % m_sectorsPerCluster;
    if (sector != m_cachedSector) {
        m_cachedSector = sector;
        m_cachedOk = m_device->Read(m_sector.data(), sector, 1) != 0;
        m_readFailed = m_readFailed || !m_cachedOk;
    }
    return m_cachedOk && ((m_sector[byte % m_sectorSize] >> (bit % 8)) & 1) != 0;
}

CExFatPartition::CExFatPartition(u32 sectorSize) : CSearchedPartitionInfo(sectorSize) { SetFileSystemCode(kFsExFat); }

u64 CExFatPartition::ClusterToSector(u32 cluster) const {
    return m_heapStart + (u64(cluster) - 2) * m_sectorsPerCluster;
}

u32 CExFatPartition::SectorToCluster(u64 sector) const {
    if (m_sectorsPerCluster == 0) return 0;
    return u32((sector - m_heapStart + m_sectorsPerCluster - 1) / m_sectorsPerCluster + 2);
}

u32 CExFatPartition::NextCluster(u32 cluster, bool noFatChain) {
    u32 next = kExFatNoEntry;
    if (!noFatChain || !m_fat.IsOpen()) {
        next = m_fat.GetEntry(cluster);
    } else if (cluster < 0xFFFFFFFFu) {
        next = cluster + 1;
    }
    if (next >= m_clusterLimit) return kExFatNoEntry;
    return next;
}

void CExFatPartition::SetClusterCount(u32 count, u64 trackedClusters) {
    m_clusterCount = count;
    const u64 tracked = std::min<u64>(count, trackedClusters);
    m_usedClusters.assign((tracked + 7) / 8, 0);
}

void CExFatPartition::MarkClusterUsed(u32 cluster) {
    if (!IsHeapCluster(cluster)) return;
    const u64 index = u64(cluster) - 2;
    if (index / 8 >= m_usedClusters.size()) return;
    m_usedClusters[index / 8] = u8(m_usedClusters[index / 8] | (1u << (index % 8)));
}

bool CExFatPartition::IsClusterMarkedUsed(u32 cluster) const {
    if (!IsHeapCluster(cluster)) return false;
    const u64 index = u64(cluster) - 2;
    if (index / 8 >= m_usedClusters.size()) return false;
    return (m_usedClusters[index / 8] >> (index % 8)) & 1;
}
