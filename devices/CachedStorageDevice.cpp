#include "devices/CachedStorageDevice.h"

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

#include "platform/Log.h"
#include "platform/Profile.h"

namespace {

std::mutex g_startFileLock;
std::string g_startFile;

constexpr const char* kStartSection = "main";
constexpr const char* kStartKey = "pos";
constexpr u32 kStartTextSize = 128;

}  // namespace

CStorageDeviceWithCache::CStorageDeviceWithCache(IStorageDevice* inner) : m_inner(inner) {
    Open();
    SetCacheSize(kDefaultBlockSectors);
}

CStorageDeviceWithCache::~CStorageDeviceWithCache() {
    StopCacheThread();
    Close();
}

u64 CStorageDeviceWithCache::GetTotalSectors() { return m_inner ? m_inner->GetTotalSectors() : 0; }

bool CStorageDeviceWithCache::HasUnreadSectors(u64 firstSector, u64 count) {
    if (!m_inner) return count != 0;
    if (m_inner->HasUnreadSectors(firstSector, count)) return true;
    // The current block answers from memory: what its read could not give is unread, even where
    // the device itself keeps no record of it (a read that failed with bad sectors not skipped).
    if (m_currentBlock == kNoBlock || count == 0) return false;
    const u64 end = firstSector + std::min(count, ~u64(0) - firstSector);
    return std::any_of(m_currentUnread.begin(), m_currentUnread.end(),
                       [&](const SectorRange& u) { return firstSector < u.first + u.count && u.first < end; });
}

u32 CStorageDeviceWithCache::GetSectorSize() {
    const u32 size = m_inner ? m_inner->GetSectorSize() : 0;
    return size == 0 ? 512 : size;
}

u32 CStorageDeviceWithCache::Open() { return m_inner ? 1 : 0; }

u32 CStorageDeviceWithCache::Close() { return m_inner ? 1 : 0; }

void CStorageDeviceWithCache::SetStartPositionFile(const std::string& path) {
    std::lock_guard<std::mutex> lk(g_startFileLock);
    g_startFile = path;
}

u64 CStorageDeviceWithCache::ReadStartPosition() const {
    std::string file;
    {
        std::lock_guard<std::mutex> lk(g_startFileLock);
        file = g_startFile;
    }
    if (file.empty()) return 0;
    char text[kStartTextSize] = {};
    if (GetPrivateProfileString(kStartSection, kStartKey, "", text, sizeof(text), file.c_str()) == 0) return 0;
    errno = 0;
    char* end = nullptr;
    const long long value = std::strtoll(text, &end, 10);
    if (errno != 0 || end == text || value < 0) return 0;
    return static_cast<u64>(value);
}

u32 CStorageDeviceWithCache::SetCacheSize(u32 blockSectors) {
    if (blockSectors == 0) return 0;
    StopCacheThread();
    m_sectorBytes = GetSectorSize();
    m_totalSectors = GetTotalSectors();
    m_blockSectors = blockSectors;
    m_cache.reset(new (std::nothrow) u8[BlockBytes()]);
    m_currentBlock = kNoBlock;
    m_currentSectors = 0;
    if (!m_cache) return 0;
    std::memset(m_cache.get(), 0, BlockBytes());
    return 1;
}

std::unique_ptr<CStorageDeviceWithCache::Block> CStorageDeviceWithCache::LoadBlock(u64 first) {
    auto block = std::make_unique<Block>();
    block->first = first;
    block->sectors = first < m_totalSectors ? std::min<u64>(m_blockSectors, m_totalSectors - first) : 0;
    {
        std::lock_guard<std::mutex> lk(m_lock);
        if (!m_spare.empty()) {
            block->data = std::move(m_spare.back());
            m_spare.pop_back();
        }
    }
    if (!block->data) block->data.reset(new (std::nothrow) u8[BlockBytes()]);
    if (!block->data) return block;
    const u64 bytes = block->sectors * m_sectorBytes;
    // Sectors the device cannot give are served as zeros, as a bad area of a disk is.
    if (block->sectors != 0 && m_inner) {
        ReadEverySector(*m_inner, block->data.get(), first, block->sectors, block->unread);
    } else {
        std::memset(block->data.get(), 0, bytes);
    }
    std::memset(block->data.get() + bytes, 0, BlockBytes() - bytes);
    return block;
}

void CStorageDeviceWithCache::StartCacheThread() {
    if (m_thread.joinable() || !m_inner || m_blockSectors == 0) return;
    m_totalSectors = GetTotalSectors();
    // Read-ahead starts on a block boundary, so that the blocks it hands out are the blocks
    // asked for; blocks before the start position are read directly.
    const u64 start = ReadStartPosition();
    {
        std::lock_guard<std::mutex> lk(m_lock);
        m_nextPosition = start - start % m_blockSectors;
        m_running = true;
        m_readerDone = false;
        m_inFlight = false;
    }
    try {
        m_thread = std::thread([this] { CacheThread(); });
    } catch (const std::exception&) {
        // Without a thread every block is read directly; the scan is slower, not wrong.
        std::lock_guard<std::mutex> lk(m_lock);
        m_running = false;
        m_readerDone = true;
    }
}

void CStorageDeviceWithCache::CacheThread() {
    for (;;) {
        u64 first = 0;
        {
            std::unique_lock<std::mutex> lk(m_lock);
            m_roomReady.wait(lk, [this] { return !m_running || m_queue.size() <= m_readAheadCount; });
            if (!m_running || m_nextPosition >= m_totalSectors) {
                m_readerDone = true;
                m_dataReady.notify_all();
                return;
            }
        }
        // Outside the lock: a gate that holds the reader must not hold the scan's own reads.
        if (m_readGate && !m_readGate()) {
            std::lock_guard<std::mutex> lk(m_lock);
            m_readerDone = true;
            m_dataReady.notify_all();
            return;
        }
        {
            std::lock_guard<std::mutex> lk(m_lock);
            if (!m_running || m_nextPosition >= m_totalSectors) {
                m_readerDone = true;
                m_dataReady.notify_all();
                return;
            }
            first = m_nextPosition;
            m_nextPosition += m_blockSectors;
            m_inFlight = true;
        }
        std::unique_ptr<Block> block = LoadBlock(first);
        {
            std::lock_guard<std::mutex> lk(m_lock);
            m_inFlight = false;
            if (block->data) m_queue.push_back(std::move(block));
        }
        m_dataReady.notify_all();
    }
}

u32 CStorageDeviceWithCache::SetCurCacheBlock(u32 blockNumber) {
    if (!m_inner || m_blockSectors == 0) return 0;
    const u64 total = GetTotalSectors();
    const u64 blocks = total / m_blockSectors + (total % m_blockSectors != 0 ? 1 : 0);
    if (blockNumber >= blocks) return 0;
    if (!m_cache) return 1;

    const u64 wanted = u64(blockNumber) * m_blockSectors;
    std::unique_ptr<Block> found;
    const auto waitStart = std::chrono::steady_clock::now();
    {
        std::unique_lock<std::mutex> lk(m_lock);
        // The block is in the queue or on its way while the reader has not passed it.
        m_dataReady.wait(lk, [&] {
            if (!m_queue.empty() || m_readerDone || !m_running) return true;
            return !m_inFlight && m_nextPosition > wanted;
        });
        while (!m_queue.empty() && m_queue.front()->first < wanted) {
            m_spare.push_back(std::move(m_queue.front()->data));
            m_queue.pop_front();
        }
        if (!m_queue.empty() && m_queue.front()->first == wanted) {
            found = std::move(m_queue.front());
            m_queue.pop_front();
        }
    }
    m_roomReady.notify_one();
    m_waitMicroseconds += static_cast<u64>(
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - waitStart).count());

    if (found) {
        ++m_queuedHits;
    } else {
        ++m_directLoads;
        found = LoadBlock(wanted);
        if (!found->data) return 0;
    }
    m_cache.swap(found->data);
    m_currentUnread.swap(found->unread);
    m_currentSectors = found->sectors;
    m_currentBlock = blockNumber;
    {
        std::lock_guard<std::mutex> lk(m_lock);
        m_spare.push_back(std::move(found->data));
        // Two spare buffers keep the reader from allocating; more would only hold memory.
        if (m_spare.size() > 2) m_spare.resize(2);
    }
    return 1;
}

void CStorageDeviceWithCache::StopCacheThread() {
    {
        std::lock_guard<std::mutex> lk(m_lock);
        m_running = false;
    }
    m_roomReady.notify_all();
    if (m_thread.joinable()) m_thread.join();
    m_dataReady.notify_all();
    std::lock_guard<std::mutex> lk(m_lock);
    m_queue.clear();
    m_spare.clear();
}

const u8* CStorageDeviceWithCache::PeekCurrentBlock(u64 first, u64 count) const {
    if (m_currentBlock == kNoBlock || !m_cache) return nullptr;
    const u64 s = m_currentBlock * m_blockSectors;
    if (first < s || count > m_currentSectors || first - s > m_currentSectors - count) return nullptr;
    return m_cache.get() + (first - s) * m_sectorBytes;
}

const u8* PeekOrReadBlock(CStorageDeviceWithCache* cache, IStorageDevice* device, u64 first, u64 count,
                          u32 sectorSize, std::vector<u8>& scratch) {
    if (cache) {
        if (const u8* block = cache->PeekCurrentBlock(first, count)) return block;
    }
    if (!device) return nullptr;
    try {
        scratch.resize(size_t(count) * sectorSize);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
    return device->Read(scratch.data(), first, count) != 0 ? scratch.data() : nullptr;
}

u32 CStorageDeviceWithCache::Read(void* buffer, u64 firstSector, u64 count) {
    if (!m_inner) return 0;
    if (m_currentBlock == kNoBlock) return m_inner->Read(buffer, firstSector, count);
    u8* out = static_cast<u8*>(buffer);
    const u64 s = m_currentBlock * m_blockSectors;
    const u64 e = s + m_currentSectors;  // sectors past the device's end are never cached
    u32 result = 1;
    u64 done = 0;
    if (firstSector < s) {
        done = std::min(count, s - firstSector);
        if (m_inner->Read(out, firstSector, done) == 0) result = 0;
        if (done == count) return result;
    }
    const u64 at = firstSector + done;
    if (at >= s && at < e) {
        const u64 n = std::min(firstSector + count, e) - at;
        std::memcpy(out + done * m_sectorBytes, m_cache.get() + (at - s) * m_sectorBytes, n * m_sectorBytes);
        done += n;
        if (done == count) return result;
    }
    if (m_inner->Read(out + done * m_sectorBytes, firstSector + done, count - done) == 0) result = 0;
    return result;
}
