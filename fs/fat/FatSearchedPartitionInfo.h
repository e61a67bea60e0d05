#pragma once
// A FAT partition: the one volume a quick search scans, or a deep-search candidate.
#include "engine/SearchedPartitionInfo.h"

// Flags of a FAT partition record.
constexpr u32 kFatFlagBootFat12 = 0x001;
constexpr u32 kFatFlagBootFat16 = 0x002;
constexpr u32 kFatFlagBootFat32 = 0x004;
constexpr u32 kFatFlagBackupBootFat32 = 0x008;
constexpr u32 kFatFlagFromDirectory = 0x010;
constexpr u32 kFatFlagFat1Seen = 0x040;
constexpr u32 kFatFlagFat1Usable = 0x080;
constexpr u32 kFatFlagFat2Seen = 0x100;
constexpr u32 kFatFlagFat2Usable = 0x200;

class CFATSearchedPartitionInfo : public CSearchedPartitionInfo {
public:
    explicit CFATSearchedPartitionInfo(u32 sectorSize) : CSearchedPartitionInfo(sectorSize) {}

    u32 GetKind() override { return 1; }
    u32 TestFileNode(CFileNode* node) override;
    u32 ApplyToFileNode(CFileNode* node) override;
    // The base record, then reserved sectors (2 bytes), sectors per FAT, cluster count, root and
    // flags (4 bytes each).
    void Save(IRSData* stream) override;
    void Load(IRSData* stream) override;

    u16 GetReservedSectors() const { return m_reservedSectors; }
    void SetReservedSectors(u16 n) { m_reservedSectors = n; }
    u32 GetSectorsPerFat() const { return m_sectorsPerFat; }
    void SetSectorsPerFat(u32 n) { m_sectorsPerFat = n; }
    u32 GetClusterCount() const { return m_clusterCount; }
    void SetClusterCount(u32 n) { m_clusterCount = n; }
    u32 GetRoot() const { return m_root; }
    void SetRoot(u32 root) { m_root = root; }
    u32 GetFlags() const { return m_flags; }
    void SetFlags(u32 flags) { m_flags = flags; }
    void AddFlags(u32 flags) { m_flags |= flags; }
    // Device sector of cluster 2 (not part of the saved record).
    u64 GetFirstDataSector() const { return m_firstDataSector; }
    void SetFirstDataSector(u64 sector) { m_firstDataSector = sector; }
    // FAT runs count from cluster 2; a loaded record, which does not know it, counts from the
    // volume's start.
    u64 GetClusterAreaStart() const override { return m_firstDataSector != 0 ? m_firstDataSector : m_partitionStart; }

private:
    u16 m_reservedSectors = 0;
    u32 m_sectorsPerFat = 0;
    u32 m_clusterCount = 0;
    u32 m_root = 0;
    u32 m_flags = 0;
    u64 m_firstDataSector = 0;
};

CFATSearchedPartitionInfo* CreateFATSearchedPartitionInfo(u32 sectorSize);
void DeleteSearchedPartitionInfo(CSearchedPartitionInfo* candidate);
