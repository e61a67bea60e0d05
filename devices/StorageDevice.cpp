#include "devices/StorageDevice.h"

#include <new>

#include "devices/SimulateDevice.h"

IStorageDevice::~IStorageDevice() { delete m_view512; }

bool IStorageDevice::HasUnreadSectors(u64 firstSector, u64 count) {
    const u64 total = GetTotalSectors();
    return count != 0 && total != 0 && (firstSector >= total || count > total - firstSector);
}

IStorageDevice* IStorageDevice::Get512ByteSectorDevice() {
    if (GetSectorSize() == 512) return this;
    if (!m_view512) {
        try {
            m_view512 = new CSimulateStorageDevice(this);
        } catch (const std::bad_alloc&) {
            return nullptr;
        }
    }
    return m_view512;
}
