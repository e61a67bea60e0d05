#pragma once
// The FAT boot sector: whether 512 bytes are the boot sector of a FAT16 or FAT32 volume, the
// boot-parameter fields by the type found, and where the volume's regions lie on the device.
#include "devices/FileSystemCode.h"
#include "platform/Types.h"

class IStorageDevice;

// Sector sizes the FAT readers accept: a multiple of 512 up to 4096. A device that reports
// anything else is not read as FAT at all (the boot check needs the BPB to agree with it).
bool IsUsableFatSectorSize(u32 sectorSize);

class CFATDBR {
public:
    // The sector (at least 512 bytes) is read in place and must outlive this object.
    CFATDBR(const u8* sector, u32 deviceSectorSize);
    ~CFATDBR() {}

    u32 GetFATType() const { return m_fsCode; }
    bool IsValid() const { return m_fsCode != kFsUnknown; }

    u16 GetBytesPerSector() const;
    u8 GetSectorsPerCluster() const;
    u16 GetReservedSectors() const;
    u8 GetFATCount() const;
    u16 GetRootEntryCount() const;
    u32 GetFATSize() const;
    u32 GetTotalSectors() const;
    u32 GetRootCluster() const;
    u32 GetDeviceSectorSize() const { return m_sectorSize; }

    // The first byte is nonzero and the sector ends with 0x55 0xAA.
    static bool HasBootSignature(const u8* sector);

private:
    bool CheckFAT16() const;
    bool CheckFAT32() const;

    const u8* m_sector;
    u32 m_fsCode = kFsUnknown;
    u32 m_sectorSize;
};

// The classification alone, for the partition-table code that names a volume's file system.
u32 ClassifyFatBootSector(const u8* sector, u32 sectorSize);

// Turns a boot sector's fields into device sectors, and finds the volume label.
class CFATVolumeReader {
public:
    explicit CFATVolumeReader(IStorageDevice* device);

    // First device sector of the cluster; all ones for an unrecognised boot sector.
    u64 ClusterToSector(u64 partitionStart, const CFATDBR& dbr, u64 cluster) const;
    // Sectors of the FAT16 root region.
    static u64 RootRegionSectors(const CFATDBR& dbr);
    // Device sector of cluster 2.
    static u64 DataAreaStart(u64 partitionStart, const CFATDBR& dbr);
    // The volume's sectors as far as its boot sector says, within the clusters its FAT can name:
    // a damaged total claims more than the volume can hold. Never less than its data area's start.
    static u64 AddressableSectors(const CFATDBR& dbr);
    // Writes at most 11 characters and a terminating 0 when a label entry is found; otherwise
    // leaves out untouched and answers false.
    bool GetVolumeLabel(u64 partitionStart, const CFATDBR& dbr, char* out);

private:
    // 1 label found, 0 none here (keep looking), -1 stop the search without a label.
    int SearchLabel(const u8* buffer, u32 length, char* out) const;

    IStorageDevice* m_device;
    u32 m_sectorSize;
};
