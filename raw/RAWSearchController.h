#pragma once
// The deep search of the complete scan that carves files by their signatures: every sector of
// every block is matched against the analyser registry, a match is booked into the found-file
// pool, and files whose header does not give their length are sized once the blocks after them
// have been scanned, through a ring of the blocks read last: most walks then read only memory the
// scan has already read, where they lie, and the disk's bytes are read once more at most by the
// walks that run past what the ring holds.
#include <array>
#include <deque>
#include <memory>
#include <vector>

#include "devices/BufferStorageDevice.h"
#include "engine/FsServices.h"

class CRawFileAnalyserRegistry;
class CRawScanState;
class CStorageDeviceWithCache;
class CRawFileInfo;
class IRawFileAnalyser;

class CRAWSearchController : public ICompleteFileSystemSearchController {
public:
    // The ring holds this many blocks before the current one.
    static constexpr u32 kRingBlocks = 20;
    // A file waits this many blocks after its own before it is sized, so that the walks of most
    // formats end inside the ring; its first block must still be held then.
    static constexpr u32 kSizingLagBlocks = 16;
    static_assert(kSizingLagBlocks < kRingBlocks, "a waiting file's first block must stay in the ring");
    static constexpr u32 kKindRaw = 2;

    // Over the process-wide registry.
    CRAWSearchController();
    // Over a registry of the caller's (tests); not owned.
    explicit CRAWSearchController(const CRawFileAnalyserRegistry& registry);
    ~CRAWSearchController() override;

    void SetDirectoryTreeBuilder(IDirecotryTreeBuilder* builder) override { m_builder = builder; }
    void GetSearchedPartitions(std::vector<CSearchedPartitionInfo*>& /*out*/) override {}
    void SetDevice(IStorageDevice* device) override;
    void SetBlockSectorCount(u32 sectors) override { m_blockSectors = sectors; }
    void BeginSearch() override;
    void EndSearch() override;
    u32 SearchBlock(u64 firstSector, u64 sectorCount) override;
    void SetFoundFilePool(CRawFileInfoPool* pool) override { m_pool = pool; }
    u32 BuildFileSystemTrees(std::vector<CSearchedPartitionInfo*>& /*chosen*/) override { return 0; }
    u32 CollectLostFiles(std::vector<CSearchedPartitionInfo*>& /*chosen*/) override { return 0; }
    u32 TestFileNode(CFileNode* /*node*/, CSearchedPartitionInfo* /*candidate*/) override { return 1; }
    u32 ApplyToFileNode(CFileNode* /*node*/, CSearchedPartitionInfo* /*candidate*/) override { return 1; }
    // The RAW search keeps nothing in a saved scan result.
    u32 SaveState(IRSData* /*stream*/) override { return 1; }
    u32 LoadState(IRSData* /*stream*/) override { return 1; }
    u32 GetKind() override { return kKindRaw; }
    // The scan's progress: its go-on query pauses and stops the search and the analysers' walks.
    void SetGlobalParameter(IProgress* progress) override;

    size_t GetPendingCount() const { return m_pending.size(); }
    const CBufferStorageDevice& GetRing() const { return m_ring; }

private:
    // Which signature stages a sector's first two bytes can reach at all; one table lookup
    // spares the map lookups of the sectors no analyser can match.
    enum SignatureStage : u8 { kStageNone = 0, kStage4 = 1, kStage2 = 2 };

    void BuildStageTable();
    // `held`: the bytes from the sector's start that the scanned block holds.
    IRawFileAnalyser* MatchSector(const u8* sector, u64 sectorNumber, u32 held, CRawFileInfo& record, bool& stopped);
    // The bytes of the device from the sector on; 0 past its end.
    u64 BytesToEnd(u64 sector) const;
    // Whether the sector carries the fixed bytes of any analyser whose signature is not at its start.
    bool AnyOffsetProbeMatches(const u8* sector) const;
    // Keeps the block in the ring and sizes the files that have waited long enough (all of them
    // at the disk's last block), when the ring was full before and `mayWalk`.
    void AppendAndSize(const u8* block, u64 firstSector, u64 count, bool mayWalk);
    // Sizes the waiting files that start at or before `lastStart`.
    void SizePendingFiles(u64 lastStart);
    // Fills the seam from byte `seamFrom` of the block on; the bytes it then holds.
    u32 MakeSeam(const u8* block, u64 firstSector, u64 count, u64 seamFrom);

    const CRawFileAnalyserRegistry& m_registry;
    IStorageDevice* m_device = nullptr;
    CStorageDeviceWithCache* m_cache = nullptr;  // m_device when it is the scan's cache
    IDirecotryTreeBuilder* m_builder = nullptr;  // kept; the search builds no tree
    CRawFileInfoPool* m_pool = nullptr;
    IProgress* m_progress = nullptr;
    u32 m_blockSectors = 0;
    u32 m_sectorSize = 0;
    CBufferStorageDevice m_ring;
    std::deque<CRawFileInfo*> m_pending;  // booked in sector order; the pool owns them
    std::unique_ptr<u8[]> m_block;
    size_t m_blockBytes = 0;
    std::unique_ptr<std::array<u8, 65536>> m_stages;
    u32 m_lookAhead = 0;  // bytes a header check may see from its sector's start, whole sectors
    std::unique_ptr<u8[]> m_seam;  // the block's tail and the device's bytes after it
    std::shared_ptr<CRawScanState> m_scanState;  // shared with the records this scan booked
};

// The RAW search (GetKind 2) over the process-wide registry; null when memory is short.
ICompleteFileSystemSearchController* CreateRAWSearchController();

// 1 to go on; 0 once the scan whose progress the running RAW search holds was stopped. Blocks
// while the user has paused it. With no search running it answers 1.
u32 RawContinueCheck();
