#pragma once
// Shows a device of larger sectors (4096 bytes, say) as a device of 512-byte sectors. Usable by
// one thread at a time: it keeps the last inner sector it read.
#include "devices/StorageDevice.h"

class CSimulateStorageDevice : public IStorageDevice {
public:
    // The inner device is not owned.
    explicit CSimulateStorageDevice(IStorageDevice* inner);
    ~CSimulateStorageDevice() override;

    u32 Read(void* buffer, u64 firstSector, u64 count) override;
    bool HasUnreadSectors(u64 firstSector, u64 count) override;
    u64 GetTotalSectors() override;
    u32 GetSectorSize() override { return 512; }
    u32 Open() override { return 1; }
    u32 Close() override { return 1; }
    IStorageDevice* GetInnerDevice() override { return m_inner; }

private:
    bool EnsureRatio();

    u8* m_buffer = nullptr;     // one inner sector
    IStorageDevice* m_inner;
    u32 m_ratio = 0;            // inner sector size / 512
    u64 m_heldSector = 0;       // 1 + the inner sector the buffer holds; 0 = nothing
};
