#include "fs/ntfs/NTFSVolume.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#include "devices/FileSystemCode.h"
#include "devices/StorageDevice.h"
#include "devices/VolumeAnalyzerSet.h"
#include "fs/ntfs/NTFSDBR.h"
#include "fs/ntfs/NTFSFileRecord.h"


CNtfsVolumeAnalyze::CNtfsVolumeAnalyze(IStorageDevice* device, u64 firstSector) {
    if (device == nullptr) return;
    const u32 sectorSize = device->GetSectorSize();
    if (sectorSize == 0) return;
    // One sector of the device, whatever its size; the boot sector is its first 512 bytes.
    std::vector<u8> sector(std::max<u32>(sectorSize, CNTFSDBR::kSize), 0);
    if (device->Read(sector.data(), firstSector, 1) == 0) return;
    CNTFSDBR dbr;
    if (!dbr.SetDBRData(sector.data()) || !dbr.HasUsableFileRecordSize(sectorSize)) return;
    m_fsCode = kFsNtfs;
    m_totalSectors = dbr.GetTotalSectors();
    CNTFSVolumeReader reader(device);
    reader.GetVolumeLabel(firstSector, dbr, m_label, sizeof(m_label));
}

void CNtfsVolumeAnalyze::GetVolumeLabel(char* out, u32 size) {
    if (out == nullptr) return;
    std::memcpy(out, m_label, std::min<u32>(size, sizeof(m_label)));
}

IVolume* CreateNTFSVolumeAnalyzer(IStorageDevice* device, u64 firstSector) {
    return new (std::nothrow) CNtfsVolumeAnalyze(device, firstSector);
}

u32 ClassifyNTFSBootSector(const u8* sector, u32 sectorSize) {
    if (sectorSize == 0) sectorSize = 512;
    CNTFSDBR dbr;
    if (sector == nullptr || !dbr.SetDBRData(sector) || !dbr.HasUsableFileRecordSize(sectorSize)) return kFsUnknown;
    return kFsNtfs;
}
