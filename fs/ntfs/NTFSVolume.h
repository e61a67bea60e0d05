#pragma once
// The NTFS volume analyser: whether a partition holds NTFS, how many sectors its boot sector
// gives it and what its label is.
#include "devices/Volume.h"

class IStorageDevice;

class CNtfsVolumeAnalyze : public IVolume {
public:
    // Reads the boot sector at firstSector; a volume whose boot sector fails, or whose MFT
    // record size this program cannot read, stays unrecognised (code 9).
    CNtfsVolumeAnalyze(IStorageDevice* device, u64 firstSector);
    ~CNtfsVolumeAnalyze() override = default;

    u32 GetFileSystemType() override { return m_fsCode; }
    u64 GetTotalSectors() override { return m_totalSectors; }
    // Copies min(size, 100) bytes of the zero-filled label field.
    void GetVolumeLabel(char* out, u32 size) override;

private:
    u32 m_fsCode = kFsUnknown;
    char m_label[100] = {};
    u64 m_totalSectors = 0;
};

// The factory and the boot-sector classifier the volume enumeration asks through its NTFS slot.
IVolume* CreateNTFSVolumeAnalyzer(IStorageDevice* device, u64 firstSector);
// 3 for a valid NTFS boot sector with a readable MFT record size, else 9.
u32 ClassifyNTFSBootSector(const u8* sector, u32 sectorSize);
