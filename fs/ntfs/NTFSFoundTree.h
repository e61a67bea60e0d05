#pragma once
// The directory tree of an NTFS partition the deep search found: the FILE records it saw inside
// the partition, grouped by the $MFT that places them, linked by parent record number from the
// root folder (record 5), with what stays unreachable under "Other lost files", all below one
// volume folder named after the partition.
#include <vector>

#include "engine/FileSystemNode.h"
#include "fs/ntfs/NTFSEvidenceCollectors.h"

class CFileNode;
class CFileSystemNode;
class CNTFSSearchController;
class IDataRunList;
class IDirecotryTreeBuilder;
class IStorageDevice;
struct NtfsRecordRun;

constexpr const char* kOtherLostFilesName = "Other lost files";
constexpr u64 kOtherLostFilesId = u64(-14);
// Orphans are adopted only by folders from this record number on (below are metadata files).
constexpr u64 kFirstUserRecord = 25;

struct NTFSFoundTreeInput {
    CSearchedNTFSPartitionInfo* partition = nullptr;
    std::vector<NTFSMftRecordDetail>* mftDetails = nullptr;
    const std::vector<NtfsRecordRun>* recordRuns = nullptr;
    IStorageDevice* device = nullptr;
    u32 treeId = 0;
    IDirecotryTreeBuilder* builder = nullptr;  // for its category filter
    CNTFSSearchController* search = nullptr;   // makes nodes from records
};

// The volume folder with everything below it, owned by the caller; null for a partition that is
// not an NTFS candidate.
FileSystemNodePtr BuildFoundPartitionTree(const NTFSFoundTreeInput& input);

// Removes every file of size 0 below the folder, then every folder left without children, up to
// (not including) the folder itself.
void PruneEmptyTreeNodes(CFileNode* folder);

// The clusters of a partition that the files of a tree use.
class CClusterUseMap {
public:
    CClusterUseMap(u64 startSector, u32 sectorsPerCluster, u32 sectorSize, u64 clusters);
    // The cluster of an MFT record, and the next one when a cluster is a single sector (a
    // 1024-byte record then spans two).
    void MarkRecord(u64 recordSector);
    // Every cluster of the runs (cluster numbers of the partition) until `size` bytes are covered.
    void MarkExtents(const IDataRunList& runs, u64 size);
    bool IsUsed(u64 cluster) const { return cluster < m_bits.size() && m_bits[cluster]; }
    u64 GetStartSector() const { return m_start; }
    u32 GetSectorsPerCluster() const { return m_spc; }
    u64 GetClusterCount() const { return m_bits.size(); }
    u64 CountUsed() const;

private:
    void Mark(u64 cluster);
    u64 m_start;
    u32 m_spc;
    u32 m_sectorSize;
    std::vector<bool> m_bits;
};
