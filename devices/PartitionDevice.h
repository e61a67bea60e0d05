#pragma once
// A window of sectors on another device; sector numbers given to it are relative to the window.
#include "devices/StorageDevice.h"

class CBasicPartitionDevice : public IStorageDevice {
public:
    // The parent is not owned. volumeSectors: the length the volume claims when the disk ends
    // before it does (the window then stops at the disk's end); a smaller value counts as the window's.
    CBasicPartitionDevice(IStorageDevice* parent, u64 firstSector, u64 sectorCount, u64 volumeSectors = 0);

    u32 Read(void* buffer, u64 firstSector, u64 count) override;
    bool HasUnreadSectors(u64 firstSector, u64 count) override;
    u64 GetTotalSectors() override { return m_sectorCount; }
    u64 GetVolumeSectors() override { return m_volumeSectors; }
    u32 GetSectorSize() override;
    u32 Open() override { return 1; }
    u32 Close() override { return 1; }

    u64 GetStartSector() const { return m_firstSector; }
    IStorageDevice* GetParentDevice() const { return m_parent; }

private:
    IStorageDevice* m_parent;
    u64 m_firstSector;
    u64 m_sectorCount;
    u64 m_volumeSectors;
};
