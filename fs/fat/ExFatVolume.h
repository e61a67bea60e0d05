#pragma once
// The exFAT boot sector and the exFAT volume analyser of the volume enumeration.
#include <algorithm>

#include "devices/Volume.h"
#include "platform/Types.h"

class IStorageDevice;

// The number of times value can be halved while it is greater than 1 (0 for 0 and 1).
u32 Log2Floor(u32 value);

// Whether the sector (at least 512 bytes) is an exFAT boot sector of a device whose sectors are
// deviceSectorSize bytes.
bool IsExFatBootSector(const u8* sector, u32 deviceSectorSize);

// Fields of a boot sector that passed IsExFatBootSector (a copy of its first 512 bytes).
class CExFatBootSector {
public:
    explicit CExFatBootSector(const u8* sector);

    u32 GetBytesPerSector() const { return u32(1) << m_bytes[108]; }
    u32 GetSectorsPerCluster() const { return u32(1) << m_bytes[109]; }
    u32 GetBytesPerSectorShift() const { return m_bytes[108]; }
    u32 GetSectorsPerClusterShift() const { return m_bytes[109]; }
    u64 GetFatOffset() const { return ReadLE32(m_bytes + 80); }
    u32 GetFatCount() const { return m_bytes[110]; }
    u32 GetFatLength() const { return ReadLE32(m_bytes + 84); }
    u32 GetActiveFat() const { return ReadLE16(m_bytes + 106) & 1; }
    u64 GetVolumeLength() const { return ReadLE64(m_bytes + 72); }
    u32 GetRootCluster() const { return ReadLE32(m_bytes + 96); }
    u64 GetClusterHeapOffset() const { return ReadLE32(m_bytes + 88); }
    u32 GetClusterCount() const { return ReadLE32(m_bytes + 92); }
    u32 GetFileSystemCode() const { return kFsExFat; }
    // The volume's length as far as its cluster heap reaches: a damaged length field claiming
    // more than its clusters can fill does not make files look as long as it says.
    u64 GetAddressableLength() const {
        return std::min(GetVolumeLength(), GetClusterHeapOffset() + (u64(GetClusterCount()) << GetSectorsPerClusterShift()));
    }

private:
    u8 m_bytes[512];
};

// Reads the sector at firstSector of the device into a buffer of the device's sector size and
// checks it; false when the sector size cannot be that of an exFAT volume, the read fails or the
// check fails. sector receives at least 512 bytes.
bool ReadExFatBootSector(IStorageDevice* device, u64 firstSector, u8* sector512);

class CExFatVolumeAnalyer : public IVolume {
public:
    static constexpr u32 kLabelUnits = 260;

    CExFatVolumeAnalyer() = default;
    ~CExFatVolumeAnalyer() override = default;

    u32 GetFileSystemType() override { return kFsExFat; }
    u64 GetTotalSectors() override { return m_totalSectors; }
    // Nothing happens for a null out or a size not above the label's length + 1; otherwise the
    // label in the system code page (at most 256 bytes) with its terminator, never more than size
    // bytes.
    void GetVolumeLabel(char* out, u32 size) override;

    void SetTotalSectors(u64 sectors) { m_totalSectors = sectors; }
    char16_t* GetLabelBuffer() { return m_label; }
    u32 GetLabelLength() const;

private:
    u64 m_totalSectors = 0;
    char16_t m_label[kLabelUnits] = {};
};

// The analyser of the exFAT volume at firstSector, or null when it is not exFAT or cannot be read.
CExFatVolumeAnalyer* CreateExFatVolumeAnalyer(IStorageDevice* device, u64 firstSector);
// 7 when the sector is an exFAT boot sector of the given sector size, else 9.
u32 ClassifyExFatBootSector(const u8* sector, u32 sectorSize);
