#pragma once
// A read-ahead cache in front of the device a complete scan reads block by block. A background
// thread reads the following blocks sequentially into a queue; the scan moves the cache window
// to the next block with SetCurCacheBlock, and every Read inside that block is answered from
// memory, so the deep searches' repeated reads of one block cost a copy and the scan never waits
// on the disk while the queue holds blocks.
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "devices/StorageDevice.h"

class CStorageDeviceWithCache : public IStorageDevice {
public:
    static constexpr u32 kDefaultBlockSectors = 1000;
    static constexpr u32 kDefaultReadAheadBlocks = 10;
    static constexpr u64 kNoBlock = ~u64(0);

    // The inner device is borrowed and must outlive the cache.
    explicit CStorageDeviceWithCache(IStorageDevice* inner);
    ~CStorageDeviceWithCache() override;

    u32 Read(void* buffer, u64 firstSector, u64 count) override;
    bool HasUnreadSectors(u64 firstSector, u64 count) override;
    u64 GetTotalSectors() override;
    u32 GetSectorSize() override;
    // 1 when an inner device is set: a cache is always built over a device.
    u32 Open() override;
    u32 Close() override;

    // One block of blockSectors sectors, zeroed; no block is held afterwards. 0 for 0 sectors or
    // when the buffer cannot be had.
    u32 SetCacheSize(u32 blockSectors);
    // Reads the first blocks ahead from ReadStartPosition (aligned down to a block) and starts
    // the thread. Does nothing while a thread runs.
    void StartCacheThread();
    // Makes block k the current block: the read-ahead copy when the queue holds it, else a
    // direct read. 0 without an inner device or for a block at or past the device's end (the
    // current block is then unchanged).
    u32 SetCurCacheBlock(u32 blockNumber);
    // Ends the thread and drops every block still queued.
    void StopCacheThread();
    // Asked by the read-ahead thread before each block it reads; it may hold the thread (while
    // the scan is paused, no block is read ahead either) and ends the reading with false. Set
    // before StartCacheThread.
    void SetReadGate(std::function<bool()> gate) { m_readGate = std::move(gate); }

    // The current block's bytes of sectors [first, first + count) when they all lie in it, else
    // null: a reader of the whole block can look at it without a copy. Valid until the next
    // SetCurCacheBlock.
    const u8* PeekCurrentBlock(u64 first, u64 count) const;

    // The sector at which read-ahead begins: section "main", key "pos" of the start-position
    // file, a signed decimal number; 0 when the file or the key is missing or the value is not a
    // number in range.
    u64 ReadStartPosition() const;
    // A debugging aid: where ReadStartPosition looks (none by default).
    static void SetStartPositionFile(const std::string& path);

    u32 GetBlockSectors() const { return m_blockSectors; }
    u64 GetCurrentBlock() const { return m_currentBlock; }
    void SetReadAheadCount(u32 blocks) { m_readAheadCount = blocks == 0 ? 1 : blocks; }
    // Blocks served from the read-ahead queue and blocks that had to be read directly.
    u64 GetQueuedHits() const { return m_queuedHits; }
    u64 GetDirectLoads() const { return m_directLoads; }
    // Time the scan spent in SetCurCacheBlock waiting for the reader, in microseconds.
    u64 GetWaitMicroseconds() const { return m_waitMicroseconds; }

private:
    struct Block {
        u64 first = 0;    // first sector
        u64 sectors = 0;  // sectors that exist (the last block of a device may be short)
        std::unique_ptr<u8[]> data;
        SectorRanges unread;  // sectors the device could not give: zeros in data
    };
    // A block of blockSectors x sector size bytes holding the sectors at `first`, every one the
    // device gives; a sector it cannot give is zeros, never stale bytes of an earlier block, and
    // is kept in the block's unread ranges.
    std::unique_ptr<Block> LoadBlock(u64 first);
    void CacheThread();
    u64 BlockBytes() const { return u64(m_blockSectors) * m_sectorBytes; }

    IStorageDevice* m_inner;
    std::unique_ptr<u8[]> m_cache;
    u32 m_blockSectors = 0;
    u32 m_sectorBytes = 512;
    u64 m_totalSectors = 0;
    u64 m_currentBlock = kNoBlock;
    u64 m_currentSectors = 0;
    SectorRanges m_currentUnread;  // of the current block

    std::mutex m_lock;  // the queue, the next position and the running flag
    std::condition_variable m_dataReady;
    std::condition_variable m_roomReady;
    std::deque<std::unique_ptr<Block>> m_queue;
    std::vector<std::unique_ptr<u8[]>> m_spare;  // block buffers to reuse
    bool m_running = false;
    bool m_readerDone = false;  // the reader passed the device's end or stopped
    bool m_inFlight = false;    // the reader is filling a block outside the lock
    u64 m_nextPosition = 0;
    u32 m_readAheadCount = kDefaultReadAheadBlocks;
    std::thread m_thread;
    std::function<bool()> m_readGate;

    u64 m_queuedHits = 0;
    u64 m_directLoads = 0;
    u64 m_waitMicroseconds = 0;
};

// The bytes of sectors [first, first + count) for a search that walks a whole block: the cache's
// current block where it holds them (cache may be null), else read from device into scratch.
// Null when scratch cannot be sized or the read fails.
const u8* PeekOrReadBlock(CStorageDeviceWithCache* cache, IStorageDevice* device, u64 first, u64 count,
                          u32 sectorSize, std::vector<u8>& scratch);

