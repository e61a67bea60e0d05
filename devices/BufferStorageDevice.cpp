#include "devices/BufferStorageDevice.h"

#include <cstring>
#include <limits>
#include <new>

CBufferStorageDevice::~CBufferStorageDevice() = default;

bool CBufferStorageDevice::Init(IStorageDevice* inner, u64 windowFirst, u32 sectorSize, u32 sectorsPerBlock,
                                u32 blockCount) {
    m_ring.reset();
    m_initialised = false;
    m_held = 0;
    m_head = 0;
    m_inner = inner;
    m_windowFirst = windowFirst;
    m_sectorSize = static_cast<i32>(sectorSize);
    m_sectorsPerBlock = sectorsPerBlock;
    m_blockCount = blockCount;
    const u64 capacity = u64(sectorsPerBlock) * blockCount;
    const u32 bytesPerSector = GetSectorSize();
    if (capacity == 0 || capacity > std::numeric_limits<u32>::max() ||
        capacity > std::numeric_limits<size_t>::max() / bytesPerSector) {
        m_capacity = 0;
        return false;
    }
    m_capacity = static_cast<u32>(capacity);
    // Left unfilled: only appended sectors are ever served, and a scan of a small disk touches
    // no more of the ring than it fills.
    m_ring.reset(new (std::nothrow) u8[size_t(capacity) * bytesPerSector]);
    if (!m_ring) return false;
    m_initialised = true;
    return true;
}

void CBufferStorageDevice::AppendBlock(const void* block) {
    if (!m_initialised || !block) return;
    const size_t bytes = size_t(m_sectorsPerBlock) * GetSectorSize();
    std::memcpy(m_ring.get() + size_t(m_head) * GetSectorSize(), block, bytes);
    m_head = static_cast<u32>((u64(m_head) + m_sectorsPerBlock) % m_capacity);
    if (m_held == m_capacity) {
        m_windowFirst += m_sectorsPerBlock;
    } else {
        m_held += m_sectorsPerBlock;
    }
}

u32 CBufferStorageDevice::PositionOf(u64 sector) const {
    // While the ring fills, the oldest sector sits at position 0; once full, at the head.
    const u64 base = m_held == m_capacity ? m_head : 0;
    return static_cast<u32>((base + (sector - m_windowFirst)) % m_capacity);
}

const u8* CBufferStorageDevice::Peek(u64 firstSector, u64 count) const {
    if (!m_initialised || count == 0 || firstSector < m_windowFirst) return nullptr;
    const u64 into = firstSector - m_windowFirst;
    if (into >= m_held || count > m_held - into) return nullptr;
    const u64 p = PositionOf(firstSector);
    if (p + count > m_capacity) return nullptr;
    const u64 sectorBytes = m_sectorSize > 0 ? u64(m_sectorSize) : kDefaultSectorSize;
    return m_ring.get() + p * sectorBytes;
}

u32 CBufferStorageDevice::Read(void* buffer, u64 firstSector, u64 count) {
    if (!m_initialised || !buffer) return 0;
    const u64 windowEnd = m_windowFirst + m_held;  // one past the last held sector
    const bool inside = count > 0 && m_held > 0 && firstSector >= m_windowFirst && firstSector < windowEnd &&
                        count <= windowEnd - firstSector;
    if (!inside) return m_inner ? m_inner->Read(buffer, firstSector, count) : 0;

    const size_t sectorBytes = GetSectorSize();
    const u64 p = PositionOf(firstSector);
    u8* out = static_cast<u8*>(buffer);
    if (p + count <= m_capacity) {
        std::memcpy(out, m_ring.get() + p * sectorBytes, size_t(count) * sectorBytes);
    } else {
        const u64 firstPart = m_capacity - p;
        std::memcpy(out, m_ring.get() + p * sectorBytes, size_t(firstPart) * sectorBytes);
        std::memcpy(out + firstPart * sectorBytes, m_ring.get(), size_t(count - firstPart) * sectorBytes);
    }
    return 1;
}

u32 CBufferStorageDevice::Close() {
    m_ring.reset();
    m_initialised = false;
    m_held = 0;
    m_head = 0;
    return 1;
}
