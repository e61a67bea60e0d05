#include "fs/ntfs/NTFSDBR.h"

#include <cstring>

namespace {
// Bytes from this one up hold the sectors per cluster as a negative power of two.
constexpr u8 kFirstNegativeShiftByte = 0xF4;
// The largest count the plain byte holds.
constexpr u32 kMaxPlainSectorsPerCluster = 128;
}  // namespace

u32 DecodeNtfsSectorsPerCluster(u8 value) {
    if (value >= kFirstNegativeShiftByte) return u32(1) << (256 - u32(value));
    if (value == 0 || (value & (value - 1)) != 0) return 0;
    return value;
}

u8 EncodeNtfsSectorsPerCluster(u32 sectorsPerCluster) {
    if (sectorsPerCluster == 0 || (sectorsPerCluster & (sectorsPerCluster - 1)) != 0) return 0;
    if (sectorsPerCluster <= kMaxPlainSectorsPerCluster) return u8(sectorsPerCluster);
    u32 shift = 0;
    while ((u32(1) << shift) < sectorsPerCluster) ++shift;
    return shift <= 256 - u32(kFirstNegativeShiftByte) ? u8(256 - shift) : 0;
}

bool IsNTFSOemID(const u8* sector) {
    if (sector == nullptr) return false;
    static const char kOem[8] = {'N', 'T', 'F', 'S', ' ', ' ', ' ', ' '};
    for (int i = 0; i < 8; ++i) {
        u8 c = sector[3 + i];
        if (c >= 'a' && c <= 'z') c = u8(c - 'a' + 'A');
        if (c != u8(kOem[i])) return false;
    }
    return true;
}

bool IsValidNTFSDBR(const u8* sector) {
    if (sector == nullptr) return false;
    if (!IsNTFSOemID(sector)) return false;
    const u16 bytesPerSector = ReadLE16(sector + 11);
    if (bytesPerSector == 0 || bytesPerSector % 512 != 0) return false;
    if (ReadLE16(sector + 14) != 0) return false;
    // Clusters above 64 KiB carry their sectors per cluster as a negative power of two.
    const u32 sectorsPerCluster = DecodeNtfsSectorsPerCluster(sector[13]);
    if (sectorsPerCluster == 0 || u64(bytesPerSector) * sectorsPerCluster > kNtfsMaxClusterBytes) return false;
    static const int kZeroBytes[] = {16, 17, 18, 19, 20, 22, 23, 32, 33, 34, 35};
    for (int off : kZeroBytes) {
        if (sector[off] != 0) return false;
    }
    return sector[510] == 0x55 && sector[511] == 0xAA;
}

CNTFSDBR::CNTFSDBR() { std::memset(m_data, 0, sizeof(m_data)); }

bool CNTFSDBR::SetDBRData(const u8* sector) {
    if (!IsValidNTFSDBR(sector)) return false;
    std::memcpy(m_data, sector, kSize);
    return true;
}

u16 CNTFSDBR::GetBytesPerSector() const { return ReadLE16(m_data + 11); }
u32 CNTFSDBR::GetSectorsPerCluster() const { return DecodeNtfsSectorsPerCluster(m_data[13]); }
u64 CNTFSDBR::GetTotalSectors() const { return ReadLE64(m_data + 40); }
u64 CNTFSDBR::GetMFTCluster() const { return ReadLE64(m_data + 48); }
u64 CNTFSDBR::GetMFTMirrCluster() const { return ReadLE64(m_data + 56); }
u64 CNTFSDBR::GetVolumeSerial() const { return ReadLE64(m_data + 72); }
void CNTFSDBR::GetOEMID(char out[8]) const { std::memcpy(out, m_data + 3, 8); }

u32 CNTFSDBR::GetFileRecordSize() const {
    const i8 v = static_cast<i8>(m_data[64]);
    if (v == 0) return 1024;
    if (v < 0) {
        const int shift = -int(v);
        return shift <= 31 ? (u32(1) << shift) : 0;
    }
    const u64 size = u64(u8(v)) * GetBytesPerSector() * GetSectorsPerCluster();
    return size <= 0xFFFFFFFFull ? u32(size) : 0;
}

bool IsUsableFileRecordSize(u32 recordSize, u32 deviceSectorSize) {
    if (recordSize < 1024 || recordSize > 4096) return false;
    if ((recordSize & (recordSize - 1)) != 0) return false;
    return deviceSectorSize != 0 && recordSize >= deviceSectorSize;
}

bool CNTFSDBR::HasUsableFileRecordSize(u32 deviceSectorSize) const {
    return IsUsableFileRecordSize(GetFileRecordSize(), deviceSectorSize);
}
