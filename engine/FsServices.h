#pragma once
// The search-controller interfaces every file-system search (NTFS, FAT, exFAT, RAW) implements.
// The engine creates searches only through the plug-in table (engine/FileSystemPlugins.h); a
// row without a factory leaves its search out of a scan.
#include <vector>

#include "platform/Types.h"

class CFileNode;
class CRawFileInfoPool;
class CSearchedPartitionInfo;
class IDirecotryTreeBuilder;
class IProgress;
class IRSData;
class IStorageDevice;

// The operations every search shares: where to hand found nodes, and the partitions it found.
class IFileSystemSearchController {
public:
    virtual void SetDirectoryTreeBuilder(IDirecotryTreeBuilder* builder) = 0;
    // Appends the partition records of this search to out.
    virtual void GetSearchedPartitions(std::vector<CSearchedPartitionInfo*>& out) = 0;
    virtual ~IFileSystemSearchController() = default;
};

// A search over one known volume's metadata (the deleted-file scan).
class IQuickFileSystemSearchController : public IFileSystemSearchController {
public:
    // 0 when the search ran to its end; any other value is a scan error code.
    virtual u32 Search(IStorageDevice* device, IProgress* progress) = 0;
};

// A deep search over a whole device (the complete scan): it sees every block once, in ascending
// order, then proposes partition candidates and builds the trees of those chosen.
class ICompleteFileSystemSearchController : public IFileSystemSearchController {
public:
    virtual void SetDevice(IStorageDevice* device) = 0;
    virtual void SetBlockSectorCount(u32 sectors) = 0;
    virtual void BeginSearch() = 0;
    virtual void EndSearch() = 0;
    // The block is already in the (cached) device; the result is informational.
    virtual u32 SearchBlock(u64 firstSector, u64 sectorCount) = 0;
    virtual void SetFoundFilePool(CRawFileInfoPool* pool) = 0;
    virtual u32 BuildFileSystemTrees(std::vector<CSearchedPartitionInfo*>& chosen) = 0;
    virtual u32 CollectLostFiles(std::vector<CSearchedPartitionInfo*>& chosen) = 0;
    // Reached through the candidates this search made (CSearchedPartitionInfo::TestFileNode and
    // ApplyToFileNode of its derived candidates).
    virtual u32 TestFileNode(CFileNode* node, CSearchedPartitionInfo* candidate) = 0;
    virtual u32 ApplyToFileNode(CFileNode* node, CSearchedPartitionInfo* candidate) = 0;
    virtual u32 SaveState(IRSData* stream) = 0;
    virtual u32 LoadState(IRSData* stream) = 0;
    // 0 NTFS, 1 FAT, 2 RAW, 4 exFAT.
    virtual u32 GetKind() = 0;
    // The scan's progress, for searches that poll it between blocks (the RAW search does).
    virtual void SetGlobalParameter(IProgress* /*progress*/) {}
};
