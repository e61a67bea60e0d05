#include "fs/fat/FatDBR.h"

#include <strings.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <unordered_set>
#include <vector>

#include "devices/StorageDevice.h"
#include "fs/fat/FatDirEntry.h"
#include "platform/Text.h"

namespace {
constexpr u32 kMaxFatSectorSize = 4096;
constexpr u32 kFat32ClusterLimit = 0x0FFFFFF0;

bool IsPowerOfTwoClusterSize(u8 spc) { return spc != 0 && (spc & (spc - 1)) == 0; }
}  // namespace

bool IsUsableFatSectorSize(u32 sectorSize) {
    return sectorSize >= 512 && sectorSize <= kMaxFatSectorSize && sectorSize % 512 == 0;
}

CFATDBR::CFATDBR(const u8* sector, u32 deviceSectorSize) : m_sector(sector), m_sectorSize(deviceSectorSize) {
    if (m_sector == nullptr || !IsUsableFatSectorSize(m_sectorSize)) return;
    if (CheckFAT16()) {
        m_fsCode = kFsFat16;
    } else if (CheckFAT32()) {
        m_fsCode = kFsFat32;
    }
}

bool CFATDBR::CheckFAT16() const {
    const u8* s = m_sector;
    if (strncasecmp(reinterpret_cast<const char*>(s + 54), "FAT16   ", 8) != 0) return false;
    if (s[16] != 2) return false;
    if (!IsPowerOfTwoClusterSize(s[13])) return false;
    if (ReadLE16(s + 11) != m_sectorSize) return false;
    const u32 rootEntries = ReadLE16(s + 17);
    if (rootEntries < 224) return false;
    if ((rootEntries * 32) % m_sectorSize != 0) return false;
    if (ReadLE16(s + 22) == 0) return false;
    return s[510] == 0x55 && s[511] == 0xAA;
}

bool CFATDBR::CheckFAT32() const {
    const u8* s = m_sector;
    if (strncasecmp(reinterpret_cast<const char*>(s + 82), "FAT32   ", 8) != 0) return false;
    if (s[16] != 2) return false;
    if (!IsPowerOfTwoClusterSize(s[13])) return false;
    if (ReadLE16(s + 11) != m_sectorSize) return false;
    if (ReadLE32(s + 36) == 0) return false;
    return s[510] == 0x55 && s[511] == 0xAA;
}

u16 CFATDBR::GetBytesPerSector() const { return IsValid() ? ReadLE16(m_sector + 11) : 0; }
u8 CFATDBR::GetSectorsPerCluster() const { return IsValid() ? m_sector[13] : 0; }
u16 CFATDBR::GetReservedSectors() const { return m_sector != nullptr ? ReadLE16(m_sector + 14) : 0; }
u8 CFATDBR::GetFATCount() const { return IsValid() ? m_sector[16] : 0; }
u16 CFATDBR::GetRootEntryCount() const { return m_sector != nullptr ? ReadLE16(m_sector + 17) : 0; }

u32 CFATDBR::GetFATSize() const {
    if (m_fsCode == kFsFat16) return ReadLE16(m_sector + 22);
    if (m_fsCode == kFsFat32) return ReadLE32(m_sector + 36);
    return 0;
}

u32 CFATDBR::GetTotalSectors() const {
    if (m_fsCode == kFsFat16) {
        const u16 small = ReadLE16(m_sector + 19);
        return small != 0 ? small : ReadLE32(m_sector + 32);
    }
    if (m_fsCode == kFsFat32) return ReadLE32(m_sector + 32);
    return 0;
}

u32 CFATDBR::GetRootCluster() const { return m_fsCode == kFsFat32 ? ReadLE32(m_sector + 44) : 0; }

bool CFATDBR::HasBootSignature(const u8* sector) {
    return sector != nullptr && sector[0] != 0 && sector[510] == 0x55 && sector[511] == 0xAA;
}

u32 ClassifyFatBootSector(const u8* sector, u32 sectorSize) { return CFATDBR(sector, sectorSize).GetFATType(); }

CFATVolumeReader::CFATVolumeReader(IStorageDevice* device)
    : m_device(device), m_sectorSize(device != nullptr ? device->GetSectorSize() : 512) {}

u64 CFATVolumeReader::RootRegionSectors(const CFATDBR& dbr) {
    const u32 sectorSize = dbr.GetDeviceSectorSize();
    return sectorSize == 0 ? 0 : u64(dbr.GetRootEntryCount()) * 32 / sectorSize;
}

u64 CFATVolumeReader::DataAreaStart(u64 partitionStart, const CFATDBR& dbr) {
    u64 start = partitionStart + dbr.GetReservedSectors() + u64(dbr.GetFATCount()) * dbr.GetFATSize();
    if (dbr.GetFATType() == kFsFat16) start += RootRegionSectors(dbr);
    return start;
}

u64 CFATVolumeReader::AddressableSectors(const CFATDBR& dbr) {
    const u64 dataStart = DataAreaStart(0, dbr);
    const u64 entryBytes = dbr.GetFATType() == kFsFat16 ? 2 : 4;
    const u64 fatClusters = u64(dbr.GetFATSize()) * dbr.GetDeviceSectorSize() / entryBytes;
    const u64 fatClusterEnd = dataStart + (fatClusters > 2 ? fatClusters - 2 : 0) * dbr.GetSectorsPerCluster();
    return std::max<u64>(std::min<u64>(dbr.GetTotalSectors(), fatClusterEnd), dataStart);
}

u64 CFATVolumeReader::ClusterToSector(u64 partitionStart, const CFATDBR& dbr, u64 cluster) const {
    if (!dbr.IsValid()) return ~0ULL;
    return DataAreaStart(partitionStart, dbr) + (cluster - 2) * dbr.GetSectorsPerCluster();
}

int CFATVolumeReader::SearchLabel(const u8* buffer, u32 length, char* out) const {
    for (u32 offset = 0; offset + 32 <= length; offset += 32) {
        CFATDirEntry entry(buffer + offset);
        if (!entry.IsValid(false)) return -1;
        if (entry.IsDeleted() || buffer[offset + 11] != 0x08) continue;
        if (buffer[offset] == 0) return -1;
        std::string label = FatShortNameText(buffer + offset, true);
        CopyUtf8Bounded(out, 12, label);
        return 1;
    }
    return 0;
}

bool CFATVolumeReader::GetVolumeLabel(u64 partitionStart, const CFATDBR& dbr, char* out) {
    if (!dbr.IsValid() || m_device == nullptr || out == nullptr) return false;
    const u32 spc = dbr.GetSectorsPerCluster();
    const u64 pieceBytes = u64(spc) * m_sectorSize;
    std::vector<u8> buffer(pieceBytes);
    char label[12] = {};

    if (dbr.GetFATType() == kFsFat16) {
        const u64 rootSectors = RootRegionSectors(dbr);
        if (rootSectors == 0) return false;
        const u64 rootStart = partitionStart + dbr.GetReservedSectors() + u64(dbr.GetFATCount()) * dbr.GetFATSize();
        for (u64 i = 0; i <= (rootSectors - 1) / spc; ++i) {
            if (!m_device->Read(buffer.data(), rootStart + i * spc, spc)) continue;
            const int found = SearchLabel(buffer.data(), u32(pieceBytes), label);
            if (found < 0) return false;
            if (found > 0) {
                std::memcpy(out, label, sizeof(label));
                return true;
            }
        }
        return false;
    }

    // FAT32: the root chain, with the first FAT read piece by piece. The walk keeps the clusters
    // it has visited and stops after as many clusters as the FAT can hold, so a chain that loops
    // or runs away ends.
    const u64 fatStart = partitionStart + dbr.GetReservedSectors();
    const u64 entriesPerPiece = pieceBytes / 4;
    const u64 maxClusters = u64(dbr.GetFATSize()) * m_sectorSize / 4;
    std::vector<u8> fatPiece(pieceBytes);
    u64 loadedPiece = ~0ULL;
    std::unordered_set<u32> visited;
    u32 cluster = dbr.GetRootCluster();
    while (cluster >= 2 && cluster < kFat32ClusterLimit && visited.size() < maxClusters) {
        if (!visited.insert(cluster).second) return false;
        const u64 sector = ClusterToSector(partitionStart, dbr, cluster);
        if (m_device->Read(buffer.data(), sector, spc)) {
            const int found = SearchLabel(buffer.data(), u32(pieceBytes), label);
            if (found < 0) return false;
            if (found > 0) {
                std::memcpy(out, label, sizeof(label));
                return true;
            }
        }
        const u64 piece = cluster / entriesPerPiece;
        if (piece != loadedPiece) {
            if (!m_device->Read(fatPiece.data(), fatStart + piece * spc, spc)) return false;
            loadedPiece = piece;
        }
        cluster = ReadLE32(fatPiece.data() + (cluster % entriesPerPiece) * 4);
    }
    return false;
}
