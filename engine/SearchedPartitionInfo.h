#pragma once
// A partition that a search found: a deep-search candidate of the complete scan, or the one
// partition a quick search scanned. File-system searches derive their own candidate classes.
#include "devices/FileSystemCode.h"
#include "platform/Types.h"

class CFileNode;
class ICompleteFileSystemSearchController;
class IRSData;

class CSearchedPartitionInfo {
public:
    // A sector size of 0, or one that is not a multiple of 512, is taken as 512.
    explicit CSearchedPartitionInfo(u32 sectorSize = 512);
    virtual ~CSearchedPartitionInfo() = default;

    // 0 NTFS candidates, 1 FAT candidates, 6 this base record.
    virtual u32 GetKind() { return 6; }
    virtual u32 TestFileNode(CFileNode* /*node*/) { return 0; }
    virtual u32 ApplyToFileNode(CFileNode* /*node*/) { return 0; }
    // Writes the saved record (derived classes append their own fields); throws CRSException.
    virtual void Save(IRSData* stream);
    // Reads the record written by Save, in the same order; throws CRSException.
    virtual void Load(IRSData* stream);

    u32 GetFileSystemCode() const { return m_fsCode; }
    void SetFileSystemCode(u32 code) { m_fsCode = code; }
    u32 GetSectorsPerCluster() const { return m_sectorsPerCluster; }
    void SetSectorsPerCluster(u32 spc) { m_sectorsPerCluster = spc; }
    u64 GetPartitionStart() const { return m_partitionStart; }
    // The device sector from which the run lists of its file system count clusters: the volume's
    // first sector unless the file system counts from a data area further on.
    virtual u64 GetClusterAreaStart() const { return m_partitionStart; }
    void SetPartitionStart(u64 sector) { m_partitionStart = sector; }
    u64 GetFoundStart() const { return m_foundStart; }
    void SetFoundStart(u64 sector) { m_foundStart = sector; }
    u64 GetRawTypeMatches() const { return m_rawTypeMatches; }
    void SetRawTypeMatches(u64 n) { m_rawTypeMatches = n; }
    void AddRawTypeMatch() { ++m_rawTypeMatches; }
    u64 GetEvidenceCount() const { return m_evidenceCount; }
    void SetEvidenceCount(u64 n) { m_evidenceCount = n; }
    u32 GetSectorSize() const { return m_sectorSize; }
    u32 GetPartitionId() const { return m_partitionId; }
    void SetPartitionId(u32 id) { m_partitionId = id; }
    u64 GetTotalSectors() const { return m_totalSectors; }
    void SetTotalSectors(u64 n) { m_totalSectors = n; }
    u64 GetBootScore() const { return m_bootScore; }
    void SetBootScore(u64 score) { m_bootScore = score; }
    double GetScore() const { return m_score; }
    void SetScore(double score) { m_score = score; }
    u32 GetWholeDeviceFlag() const { return m_wholeDevice; }
    void SetWholeDeviceFlag(u32 flag) { m_wholeDevice = flag; }
    u32 GetChosenFlag() const { return m_chosen; }
    void SetChosenFlag(u32 flag) { m_chosen = flag; }
    ICompleteFileSystemSearchController* GetSearchController() const { return m_owner; }
    void SetSearchController(ICompleteFileSystemSearchController* owner) { m_owner = owner; }

    // Size of the base record as Save writes it.
    static constexpr u32 kSavedSize = 4 + 4 + 8 + 8 + 8 + 8 + 4 + 8 + 8 + 8 + 4 + 4;

protected:
    // 512 for 0 or for a size that is not a multiple of 512.
    static u32 NormaliseSectorSize(u32 sectorSize);

    u32 m_fsCode = kFsUnknown;
    u32 m_sectorsPerCluster = 0;
    u64 m_partitionStart = 0;
    u64 m_foundStart = 0;
    u64 m_rawTypeMatches = 0;
    u64 m_evidenceCount = 0;
    u32 m_sectorSize = 512;
    u32 m_partitionId = 0;
    u64 m_totalSectors = 0;
    u64 m_bootScore = 1;
    double m_score = 0.0;
    u32 m_wholeDevice = 0;  // not saved
    u32 m_chosen = 0;
    ICompleteFileSystemSearchController* m_owner = nullptr;  // not saved
};
