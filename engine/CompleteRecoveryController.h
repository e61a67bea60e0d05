#pragma once
// The complete scan: a whole device is read once, in blocks of 4 MiB through a read-ahead cache,
// and every block is handed to each deep search the plug-in rows offer, in the rows' order.
// Afterwards the tree builder's evaluation chooses among the partitions the searches propose, the
// searches that proposed them build the chosen partitions' trees and lost files, or, with none
// chosen, the files found by signature become lost files.
#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "engine/Progress.h"
#include "engine/RecoveryController.h"

class CRawFileInfoPool;
class CSearchedPartitionInfo;
class CStorageDeviceWithCache;
class ICompleteFileSystemSearchController;
class IDirecotryTreeBuilder;
class IRecoveryFilter;
class IStorageDevice;

// A partition the finished scan chose, as reports show it.
struct FoundPartitionSummary {
    u64 startSector = 0;
    u64 sectors = 0;
    u32 sectorsPerCluster = 0;
    u32 fsCode = 9;
    std::string label;
    double score = 0.0;
};

// How the read-ahead served the last run's blocks.
struct ReadAheadStatistics {
    u64 queuedBlocks = 0;  // blocks the reader had ready
    u64 directBlocks = 0;  // blocks read when asked for
    u64 waitMicroseconds = 0;  // the scan's time waiting for the reader
};

class CCompleteRecoveryController : public IRecoveryController {
public:
    // 4 MiB of data per block.
    static constexpr u32 kBlockBytes = 0x400000;
    static constexpr u32 kFallbackBlockSectors = 0x2000;
    // The block loop fills at most this share of the progress bar.
    static constexpr double kBlockLoopShare = 0.8;
    // The progress record of the finishing pass.
    static constexpr u64 kFinishingDone = 100;

    CCompleteRecoveryController();
    ~CCompleteRecoveryController() override;

    u32 GetType() override { return kControllerCompleteScan; }
    u32 Initialize(IRecoveryFilter* filter) override;
    u32 Run(IStorageDevice* device, IProgress* progress, IDirectoryTree* consumer, const char* displayName,
            u32 lostDataReason) override;
    void Release() override { delete this; }
    void SetFileSystem(u32 fsCode, const char* name) override;
    u32 GetFileSource(CFileNode* node, u64& startSector, u32& sectorsPerCluster) override;
    void Stop() override { m_stop.store(1); }

    // Sectors per block for a device of this sector size (0 taken as 512).
    static u32 BlockSectorsFor(u32 sectorSize);
    // Whether the node lies in the candidate by its record sector, its extents and the cluster
    // size its size implies.
    static bool NodeFitsCandidate(CFileNode* node, CSearchedPartitionInfo* candidate);

    IDirecotryTreeBuilder* GetBuilder() const { return m_builder; }
    // The partitions chosen by the last finished run, with their labels.
    std::vector<FoundPartitionSummary> GetFoundPartitions() const;
    size_t GetSearchCount() const;
    ReadAheadStatistics GetReadAheadStatistics() const { return m_readAhead; }

protected:
    // The deep searches of one run, in the order they see each block.
    virtual void CreateSearches(std::vector<std::unique_ptr<ICompleteFileSystemSearchController>>& out);

private:
    u32 BlockLoop(CStorageDeviceWithCache& cached, u64 lastSector, IProgress* progress);
    void FinishingPass(IStorageDevice* device);
    void RetireSearches();
    void Send(u32 type, u64 total, u64 done);

    IDirecotryTreeBuilder* m_builder = nullptr;
    // Builders of earlier runs: their trees may still be on screen.
    std::vector<IDirecotryTreeBuilder*> m_earlierBuilders;
    IRecoveryFilter* m_filter = nullptr;
    IStorageDevice* m_device = nullptr;
    // Guards the list against GetFileSource on another thread while a run makes or frees it.
    mutable std::mutex m_searchLock;
    std::vector<std::unique_ptr<ICompleteFileSystemSearchController>> m_searches;
    // Searches of finished runs: the trees still name their candidates, which they own.
    std::vector<std::unique_ptr<ICompleteFileSystemSearchController>> m_retired;
    u32 m_fsCode = 9;
    std::string m_displayName;
    std::unique_ptr<CRawFileInfoPool> m_pool;
    IProgress* m_progress = nullptr;
    std::atomic<u32> m_stop{0};
    std::vector<FoundPartitionSummary> m_found;
    ReadAheadStatistics m_readAhead;
    ProgressInfo m_record;  // one record reused for every report of a run
};
