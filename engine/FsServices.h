#pragma once
// What the scan engine uses of the FAT and exFAT analysis, and the search-controller interfaces
// every file-system search (NTFS, FAT, exFAT, RAW) implements. The engine creates searches only
// through the factories below; a factory that answers null leaves its search out of a scan.
#include <list>
#include <vector>

#include "platform/Types.h"

class CFileNode;
class CRawFileInfoPool;
class CSearchedPartitionInfo;
class IDirecotryTreeBuilder;
class IFileProperties;
class IProgress;
class IRSData;
class IStorageDevice;
class IVolume;

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
    virtual void SetGlobalParameter(u32 /*value*/) {}
};

// Searches of FAT (FsCode 0, 1, 2) and exFAT (FsCode 7) volumes; null when not available.
IQuickFileSystemSearchController* CreateFATQuickSearch();
IQuickFileSystemSearchController* CreateExFatQuickSearch();
// Deep searches; GetKind 1 (FAT) and 4 (exFAT). Null when not available.
ICompleteFileSystemSearchController* CreateFatCompleteSearch();
ICompleteFileSystemSearchController* CreateExFatCompleteSearch();

// New FAT or exFAT properties (kinds 1 and 4); for codes 0, 1 and 2 the FAT properties are named
// "FAT12", "FAT16" and "FAT32", the exFAT ones "EXFAT". Null when they cannot be made.
IFileProperties* CreateFATFileProperties(u32 fsCode);
IFileProperties* CreateExFatFileProperties();

// The exFAT analyser of the partition at firstSector, or null when it is not exFAT.
IVolume* CreateExFatVolumeAnalyzer(IStorageDevice* device, u64 firstSector);

// Recycle bins. A recycle-bin folder is a folder named (ignoring case) "Recycler", "Recycled",
// "$Recycle.Bin" or "$RECYCLE.BI0".
bool IsRecycleBinFolder(CFileNode* node);
// The node or one of the ancestors it is already linked to is a recycle-bin folder.
bool IsInRecycleBin(CFileNode* node);
// A name of at least two characters beginning "$I" or "#I" (a deleted entry shows '#').
bool IsRecycleBinInfoFile(CFileNode* node);
// Pairs an entry just linked inside a recycle bin with its companion in `pending` (the same name
// with the second character 'I' for 'R' or back). Returns the companion, taken out of the list,
// or null after keeping the entry in the list for a later companion.
CFileNode* FindRecycleBinPair(std::list<CFileNode*>& pending, CFileNode* node);
// Gives dataFile the last component of the original path stored in infoFile's data.
void RestoreRecycledFileName(IStorageDevice* device, CFileNode* dataFile, CFileNode* infoFile);
