#include "devices/StorageDevice.h"

#include <new>

#include "devices/SimulateDevice.h"

IStorageDevice::~IStorageDevice() { delete m_view512; }

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
