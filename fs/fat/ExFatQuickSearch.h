#pragma once
// The deleted-file scan of an exFAT volume: it follows the root directory and every directory
// below it through their clusters and hands the tree builder the root and one node per complete
// entry set, deleted sets included.
#include <deque>
#include <memory>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "engine/FsServices.h"
#include "fs/fat/ExFatEntrySet.h"
#include "fs/fat/ExFatPartition.h"

class CExFatDataRunList;
class CExFatFileProperties;
class CFileNode;

// Search results (shared with the FAT quick search).
constexpr u32 kExFatQuickDone = 0;
constexpr u32 kExFatQuickMissingArgument = 0xCD0005;
constexpr u32 kExFatQuickNoBootSector = 0xF20015;

// An entry set's timestamp (DOS date in the high word, time in the low one) as a FILETIME; 0 when
// it names no valid time.
FILETIME64 ExFatTimeToFileTime(u32 timestamp);

class CExFatQuickSearch : public IQuickFileSystemSearchController {
public:
    CExFatQuickSearch() = default;
    ~CExFatQuickSearch() override = default;

    void SetDirectoryTreeBuilder(IDirecotryTreeBuilder* builder) override { m_builder = builder; }
    // The scanned partition: code 7, sectors per cluster, the heap start as its start sector and
    // the sector size; nothing before a search has read a boot sector.
    void GetSearchedPartitions(std::vector<CSearchedPartitionInfo*>& out) override;
    // 0 when the walk ran (also when the user stopped it: the scan checks that itself);
    // 0xCD0005 without a volume, progress sink or builder; 0xF20015 when the volume has no
    // readable exFAT boot sector.
    u32 Search(IStorageDevice* volume, IProgress* progress) override;

    CExFatPartition* GetPartition() { return m_partition.get(); }
    // Off for a volume whose FAT was not found: its boot sector is a stand-in, so the walk reads
    // every chain as contiguous instead of reading a FAT where none is.
    void SetFatUsable(bool usable) { m_fatUsable = usable; }
    // A volume found from its subfolders alone has no root directory to walk.
    void SetRootKnown(bool known) { m_rootKnown = known; }

    // After a search: whether its walks read the cluster, and a walk of one more folder whose
    // own entry is gone, its sets handed over with `parentId` as parent (the complete scan's
    // lost folders). A folder whose first cluster was read already is left alone.
    bool WasClusterRead(u32 cluster) const { return m_readClusters.count(cluster) != 0; }
    void WalkOrphanFolder(u32 firstCluster);
    // The folder whose walk read a cluster: its id and whether it was deleted. False when no
    // walk read it.
    bool FolderOfCluster(u32 cluster, u64& folderId, bool& deleted) const;
    // One more cluster of a folder a walk read, found apart from the folder's chain: its sets
    // go below the folder `folderId` (the entries before its first set, the rest of a set cut
    // at the end of another cluster, are passed over).
    void WalkContinuation(u32 cluster, u64 folderId, bool deleted);
    // A set of the folder `folderId` that the caller put together, handed over as a walk's own.
    void HandOverSet(const ExFatEntrySet& set, u64 folderId, bool deleted);

private:
    // A directory waiting for its walk.
    struct PendingFolder {
        u32 firstCluster = 0;
        u64 budget = 0;  // bytes still to read
        bool noFatChain = false;
        bool deleted = false;
    };

    bool Prepare(const u8* bootSector);
    // Reads one directory and hands its sets over; false only when a cluster read failed.
    bool WalkDirectory(const PendingFolder& folder);
    // Walks the folders queued so far and those they list.
    void WalkQueued();
    void HandOver(const ExFatEntrySet& set, bool deletedParent, u64 parentId);
    // The runs of a file (none for a folder, an empty file or a first cluster outside the heap);
    // a deleted file whose freed chain ends early goes on contiguously.
    CExFatDataRunList* BuildRuns(const ExFatEntrySet& set, bool deleted);
    void BookClusters(const CExFatDataRunList& runs);
    void Report(u64 done, u64 total);

    IDirecotryTreeBuilder* m_builder = nullptr;
    IStorageDevice* m_volume = nullptr;
    IProgress* m_progress = nullptr;
    std::unique_ptr<CExFatPartition> m_partition;
    ExFatEntrySetParser m_parser;
    std::vector<u8> m_cluster;
    u32 m_clusterBytes = 0;
    bool m_fatUsable = true;
    bool m_rootKnown = true;
    struct ReadBy {
        u64 folderId = 0;
        bool deleted = false;
    };
    std::unordered_map<u32, ReadBy> m_readClusters;
    std::deque<PendingFolder> m_queue;
};
