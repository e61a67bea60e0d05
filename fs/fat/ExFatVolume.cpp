#include "fs/fat/ExFatVolume.h"

#include <cstring>
#include <memory>
#include <new>
#include <unordered_set>

#include "devices/StorageDevice.h"
#include "devices/VolumeAnalyzerSet.h"
#include "fs/fat/ExFatEntrySet.h"
#include "fs/fat/ExFatPartition.h"
#include "platform/Text.h"

namespace {
constexpr u32 kMaxLabelBytes = 256;
}  // namespace

u32 Log2Floor(u32 value) {
    u32 shift = 0;
    while (value > 1) {
        value >>= 1;
        ++shift;
    }
    return shift;
}

bool IsExFatBootSector(const u8* sector, u32 deviceSectorSize) {
    if (sector == nullptr) return false;
    if (ReadLE16(sector + 510) != 0xAA55) return false;
    if (std::memcmp(sector + 3, "EXFAT   ", 8) != 0) return false;
    for (u32 i = 11; i <= 63; ++i) {
        if (sector[i] != 0) return false;
    }
    const u32 sectorShift = sector[108];
    const u32 clusterShift = sector[109];
    if (sectorShift < 9 || sectorShift > 12 || (u32(1) << sectorShift) != deviceSectorSize) return false;
    if (sectorShift + clusterShift > 25) return false;
    if (sector[110] != 1 && sector[110] != 2) return false;
    const u64 volumeLength = ReadLE64(sector + 72);
    const u64 fatOffset = ReadLE32(sector + 80);
    const u64 fatLength = ReadLE32(sector + 84);
    const u64 heapOffset = ReadLE32(sector + 88);
    const u64 clusterCount = ReadLE32(sector + 92);
    const u32 rootCluster = ReadLE32(sector + 96);
    if (fatLength == 0 || heapOffset == 0 || fatOffset == 0 || volumeLength == 0 || clusterCount == 0) return false;
    if (rootCluster < 2) return false;
    if (fatOffset > volumeLength || heapOffset > volumeLength) return false;
    const u64 fatEnd = fatOffset + fatLength;
    if (fatEnd > 0xFFFFFFFFull || fatEnd > heapOffset) return false;
    return heapOffset + ((clusterCount - 1) << clusterShift) <= volumeLength;
}

CExFatBootSector::CExFatBootSector(const u8* sector) { std::memcpy(m_bytes, sector, sizeof(m_bytes)); }

bool ReadExFatBootSector(IStorageDevice* device, u64 firstSector, u8* sector512) {
    if (device == nullptr || sector512 == nullptr) return false;
    const u32 sectorSize = device->GetSectorSize();
    // Only sectors of 512 to 4096 bytes can carry an exFAT volume; the buffer is the device's
    // own sector size, so a larger sector can never overrun it.
    if (sectorSize < 512 || sectorSize > 4096 || (sectorSize & (sectorSize - 1)) != 0) return false;
    std::unique_ptr<u8[]> buffer(new (std::nothrow) u8[sectorSize]);
    if (!buffer) return false;
    std::memset(buffer.get(), 0, sectorSize);
    if (device->Read(buffer.get(), firstSector, 1) == 0) return false;
    if (!IsExFatBootSector(buffer.get(), sectorSize)) return false;
    std::memcpy(sector512, buffer.get(), 512);
    return true;
}

u32 CExFatVolumeAnalyer::GetLabelLength() const {
    u32 n = 0;
    while (n < kLabelUnits && m_label[n] != 0) ++n;
    return n;
}

void CExFatVolumeAnalyer::GetVolumeLabel(char* out, u32 size) {
    if (out == nullptr) return;
    const u32 length = GetLabelLength();
    if (size <= length + 1) return;
    out[0] = '\0';
    const std::string text = Utf16ToUtf8(std::u16string(m_label, length), '_');
    const u32 capacity = size < kMaxLabelBytes + 1 ? size : kMaxLabelBytes + 1;
    CopyUtf8Bounded(out, capacity, text);
}

CExFatVolumeAnalyer* CreateExFatVolumeAnalyer(IStorageDevice* device, u64 firstSector) {
    u8 sector[512];
    if (!ReadExFatBootSector(device, firstSector, sector)) return nullptr;
    const CExFatBootSector boot(sector);
    CExFatVolumeAnalyer* analyser = new (std::nothrow) CExFatVolumeAnalyer;
    if (analyser == nullptr) return nullptr;
    analyser->SetTotalSectors(boot.GetVolumeLength());

    ExFatFatCache fat;
    fat.Open(device, firstSector + boot.GetFatOffset(), boot.GetFatLength(), boot.GetClusterCount());

    const u32 sectorSize = device->GetSectorSize();
    const u32 spc = boot.GetSectorsPerCluster();
    const u32 clusterBytes = sectorSize * spc;  // at most 32 MiB by the boot-sector check
    std::unique_ptr<u8[]> cluster(new (std::nothrow) u8[clusterBytes]);
    if (!cluster) return analyser;
    const u64 dataStart = firstSector + boot.GetClusterHeapOffset();
    const ExFatWalkLimits limits =
        ExFatWalkLimits::Make(boot.GetVolumeLength(), Log2Floor(sectorSize), Log2Floor(clusterBytes));
    const u64 clusterCount = boot.GetClusterCount();

    std::unordered_set<u32> visited;
    u32 current = boot.GetRootCluster();
    // Clusters past the heap end the walk, so it reads each heap cluster at most once.
    while (IsExFatChainCluster(current) && u64(current) - 2 < clusterCount && visited.insert(current).second) {
        if (device->Read(cluster.get(), dataStart + (u64(current) - 2) * spc, spc) == 0) break;
        if (CollectExFatLabel(cluster.get(), clusterBytes, analyser->GetLabelBuffer(),
                              CExFatVolumeAnalyer::kLabelUnits, limits)) {
            break;
        }
        current = fat.GetEntry(current);
    }
    return analyser;
}

u32 ClassifyExFatBootSector(const u8* sector, u32 sectorSize) {
    if (sectorSize < 512) return kFsUnknown;
    return IsExFatBootSector(sector, sectorSize) ? kFsExFat : kFsUnknown;
}
