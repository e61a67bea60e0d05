#pragma once
// The NTFS boot sector: recognition and the volume geometry read from it.
#include "platform/Types.h"

// The largest cluster an NTFS volume may have.
constexpr u64 kNtfsMaxClusterBytes = 2u << 20;

// Sectors per cluster as the boot sector's byte 13 encodes them: a power of two from 1 to 128 as
// it stands, or, for the clusters above that, a byte n of 0xF4 or more meaning 2^(256 - n); 0
// for any other byte.
u32 DecodeNtfsSectorsPerCluster(u8 value);
// The byte that DecodeNtfsSectorsPerCluster reads back as `sectorsPerCluster` (a power of two up
// to 4096); 0 for a count it cannot express.
u8 EncodeNtfsSectorsPerCluster(u32 sectorsPerCluster);

// Only the OEM id "NTFS    " (any case); the partition-table code uses it to name a file system.
bool IsNTFSOemID(const u8* sector);
// The full boot-sector test: the fixed-zero fields, and sectors per cluster that make a cluster of
// at most 2 MiB; the other geometry values are not judged here.
bool IsValidNTFSDBR(const u8* sector);

class CNTFSDBR {
public:
    static constexpr u32 kSize = 512;

    CNTFSDBR();
    // Copies the sector when it passes IsValidNTFSDBR; a failed test leaves the copy unchanged.
    bool SetDBRData(const u8* sector);

    const u8* GetData() const { return m_data; }
    u16 GetBytesPerSector() const;
    // Decoded from the boot sector's byte (see DecodeNtfsSectorsPerCluster).
    u32 GetSectorsPerCluster() const;
    u64 GetTotalSectors() const;
    u64 GetMFTCluster() const;
    u64 GetMFTMirrCluster() const;
    u64 GetVolumeSerial() const;
    void GetOEMID(char out[8]) const;
    // Bytes per MFT record as the boot sector encodes it: a positive byte counts clusters, a
    // negative one -n means 2^n bytes, 0 means 1024. An encoding that cannot be represented
    // (2^n with n above 31, or a product above 32 bits) answers 0.
    u32 GetFileRecordSize() const;
    // Whether the record size is one this program can read: a power of two from 1024 to 4096
    // bytes and no smaller than the device's sector (records are addressed in whole sectors).
    // A volume whose boot sector fails this is refused rather than read with a wrong stride.
    bool HasUsableFileRecordSize(u32 deviceSectorSize) const;

private:
    u8 m_data[kSize];
};

// Record-size rule of HasUsableFileRecordSize for callers that only hold the size.
bool IsUsableFileRecordSize(u32 recordSize, u32 deviceSectorSize);
