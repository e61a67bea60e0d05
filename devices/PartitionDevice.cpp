#include "devices/PartitionDevice.h"

#include <cstring>

CBasicPartitionDevice::CBasicPartitionDevice(IStorageDevice* parent, u64 firstSector, u64 sectorCount,
                                             u64 volumeSectors)
    : m_parent(parent),
      m_firstSector(firstSector),
      m_sectorCount(sectorCount),
      m_volumeSectors(volumeSectors > sectorCount ? volumeSectors : sectorCount) {}

u32 CBasicPartitionDevice::GetSectorSize() { return m_parent ? m_parent->GetSectorSize() : 512; }

bool CBasicPartitionDevice::HasUnreadSectors(u64 firstSector, u64 count) {
    if (IStorageDevice::HasUnreadSectors(firstSector, count)) return true;
    return count != 0 && (!m_parent || m_parent->HasUnreadSectors(m_firstSector + firstSector, count));
}

u32 CBasicPartitionDevice::Read(void* buffer, u64 firstSector, u64 count) {
    if (!m_parent) return 0;
    if (static_cast<i64>(firstSector) < 0 || firstSector >= m_sectorCount || count > m_sectorCount) return 0;
    const u64 left = m_sectorCount - firstSector;
    const u64 n = count > left ? left : count;
    const u32 result = m_parent->Read(buffer, m_firstSector + firstSector, n);
    // What lies past the window's end reads as zeros.
    if (n < count) {
        const u64 sectorSize = m_parent->GetSectorSize();
        std::memset(static_cast<u8*>(buffer) + n * sectorSize, 0, (count - n) * sectorSize);
    }
    return result;
}
