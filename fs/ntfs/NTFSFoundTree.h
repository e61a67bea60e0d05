#pragma once
// The directory tree of an NTFS partition the deep search found: the FILE records it saw inside
// the partition, grouped by the $MFT that places them, linked by parent record number from the
// root folder (record 5), with what stays unreachable under "Other lost files", all below one
// volume folder named after the partition.
#include <vector>

#include "engine/FileSystemNode.h"
#include "fs/ntfs/NTFSClusterUse.h"
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
