#pragma once
// A window of sectors on another device; sector numbers given to it are relative to the window.
#include "devices/StorageDevice.h"

class CBasicPartitionDevice : public IStorageDevice {
public:
    // The parent is not owned.
    CBasicPartitionDevice(IStorageDevice* parent, u64 firstSector, u64 sectorCount);

    u32 Read(void* buffer, u64 firstSector, u64 count) override;
    bool HasUnreadSectors(u64 firstSector, u64 count) override;
    u64 GetTotalSectors() override { return m_sectorCount; }
    u32 GetSectorSize() override;
    u32 Open() override { return 1; }
    u32 Close() override { return 1; }

    u64 GetStartSector() const { return m_firstSector; }
    IStorageDevice* GetParentDevice() const { return m_parent; }

private:
    IStorageDevice* m_parent;
    u64 m_firstSector;
    u64 m_sectorCount;
};
