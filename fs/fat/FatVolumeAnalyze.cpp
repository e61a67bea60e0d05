#include "fs/fat/FatVolumeAnalyze.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "devices/StorageDevice.h"
#include "devices/VolumeAnalyzerSet.h"
#include "fs/fat/FatDBR.h"

namespace {
constexpr u32 kRecognitionBytes = 16 * 1024;
constexpr u32 kRecognitionSectors = 4;
}  // namespace

CFatVolumeAnalyze::CFatVolumeAnalyze(IStorageDevice* device, u64 firstSector) {
    if (device == nullptr) return;
    const u32 sectorSize = device->GetSectorSize();
    // Four sectors of up to 4096 bytes fill the buffer; other sector sizes are not FAT's.
    if (!IsUsableFatSectorSize(sectorSize)) return;
    std::vector<u8> buffer(kRecognitionBytes, 0);
    if (!device->Read(buffer.data(), firstSector, kRecognitionSectors)) return;
    CFATDBR dbr(buffer.data(), sectorSize);
    if (!dbr.IsValid()) return;
    m_fsCode = dbr.GetFATType();
    // The length the volume can have, not what a damaged total claims: a file is judged against it.
    m_totalSectors = CFATVolumeReader::AddressableSectors(dbr);
    CFATVolumeReader reader(device);
    reader.GetVolumeLabel(firstSector, dbr, m_label);
}

void CFatVolumeAnalyze::GetVolumeLabel(char* out, u32 size) {
    if (out == nullptr) return;
    std::memcpy(out, m_label, std::min<u32>(size, kLabelSize));
}

IVolume* CreateFatVolumeAnalyzer(IStorageDevice* device, u64 firstSector) {
    return new (std::nothrow) CFatVolumeAnalyze(device, firstSector);
}

bool CClusterUseBitMap::IsClusterUsed(u64 sector) {
    if (m_info.clusterCount == 0) return false;
    if (sector < m_info.firstSector || m_info.sectorsPerCluster == 0) return true;
    const u64 index = (sector - m_info.firstSector) / m_info.sectorsPerCluster;
    if (index >= m_info.clusterCount) return true;
    // A bit vector shorter than its cluster count knows nothing of the clusters it lacks: they
    // count as used, as clusters outside the volume do.
    if (m_info.bits == nullptr || index / 8 >= m_info.bits->size()) return true;
    return ((*m_info.bits)[index / 8] >> (index % 8) & 1) != 0;
}
