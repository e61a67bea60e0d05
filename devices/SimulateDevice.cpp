#include "devices/SimulateDevice.h"

#include <cstring>

CSimulateStorageDevice::CSimulateStorageDevice(IStorageDevice* inner) : m_inner(inner) {
    if (!m_inner) {
        m_ratio = 1;
        return;
    }
    EnsureRatio();
}

CSimulateStorageDevice::~CSimulateStorageDevice() { delete[] m_buffer; }

// A device that reports no sector size yet (a disk that is not open) gets its ratio once it does;
// until then the view has no sectors, rather than dividing by zero.
bool CSimulateStorageDevice::EnsureRatio() {
    if (!m_inner) return false;
    if (m_ratio != 0) return true;
    const u32 innerSize = m_inner->GetSectorSize();
    if (innerSize < 512) return false;
    m_buffer = new u8[innerSize];
    m_ratio = innerSize / 512;
    m_heldSector = 0;
    return true;
}

u64 CSimulateStorageDevice::GetTotalSectors() {
    if (!EnsureRatio()) return 0;
    return m_inner->GetTotalSectors() * m_ratio;
}

bool CSimulateStorageDevice::HasUnreadSectors(u64 firstSector, u64 count) {
    if (IStorageDevice::HasUnreadSectors(firstSector, count)) return true;
    if (count == 0 || !EnsureRatio()) return count != 0;
    const u64 first = firstSector / m_ratio;
    const u64 last = (firstSector + count - 1) / m_ratio;
    return m_inner->HasUnreadSectors(first, last - first + 1);
}

u32 CSimulateStorageDevice::Read(void* buffer, u64 firstSector, u64 count) {
    if (!EnsureRatio()) return 0;
    u8* out = static_cast<u8*>(buffer);
    for (u64 i = 0; i < count; ++i) {
        const u64 sector = firstSector + i;
        const u64 innerSector = sector / m_ratio;
        if (m_heldSector != innerSector + 1) {
            if (!m_inner->Read(m_buffer, innerSector, 1)) {
                m_heldSector = 0;
                return 0;
            }
            m_heldSector = innerSector + 1;
        }
        std::memcpy(out + i * 512, m_buffer + (sector % m_ratio) * 512, 512);
    }
    return 1;
}
