#pragma once
// One collected volume (a basic partition, an unpartitioned area or a dynamic volume) as the place
// page shows it, the scan session scans it and saved results store it. The stored form is a fixed
// 1277-byte little-endian record; in memory the pointers are real pointers, and the conversion is
// done field by field.
#include <string>

#include "devices/FileSystemCode.h"
#include "platform/Types.h"

class CDiskDevice;
class IStorageDevice;

constexpr u32 kVolumeKindBasic = 0;    // basic partition or unpartitioned area
constexpr u32 kVolumeKindDynamic = 1;  // dynamic (LDM) volume

constexpr u32 kVolumeRecordSize = 1277;
constexpr u32 kVolumeLabelSize = 100;
constexpr u32 kVolumeMaxExtents = 32;
constexpr u32 kVolumeDiskTextSize = 512;
// Byte offsets of the stored record.
constexpr u32 kVolumeRecordExtentsOffset = 125;
constexpr u32 kVolumeRecordExtentSize = 20;
constexpr u32 kVolumeRecordDiskTextOffset = 765;
// A record of a volume on a disk image (source not 0) keeps the image's index path here.
constexpr u32 kVolumeRecordImagePathOffset = 280;

struct VolumeExtent {
    u64 firstSector = 0;
    u64 sectorCount = 0;
    CDiskDevice* disk = nullptr;  // not owned; null ends the extent list
};

struct VolumeRecord {
    u32 source = 0;                     // 0: a volume on a live disk; else one on a disk image
    IStorageDevice* device = nullptr;   // owned by whoever holds the record's list
    u32 kind = kVolumeKindBasic;
    u32 fsCode = kFsUnknown;
    char driveLetter = 0;               // 0 on Linux (mount points stand in), but a dynamic volume's drive hint
    char label[kVolumeLabelSize] = {};
    u32 reserved = 0;                   // stored at offset 117, always 0
    u32 usb = 0;                        // 1 for a basic partition on a USB disk
    VolumeExtent extents[kVolumeMaxExtents];
    char diskText[kVolumeDiskTextSize] = {};
    char imagePath[kMaxPath] = {};      // index file of a disk-image volume (source not 0)

    // Extents before the first one without a disk. A table whose 32 extents all hold a disk counts
    // as none, as saved results read it.
    u32 ExtentCount() const;
    // Appends an extent in the first free slot; false when all 32 are taken.
    bool AddExtent(u64 firstSector, u64 sectorCount, CDiskDevice* disk);
    void SetLabel(const char* text);
    void SetDiskText(const char* text);
};

// The stored 1277 bytes. Pointer fields become 4-byte tokens that are nonzero exactly when the
// pointer is set: their value has no meaning outside the running process.
void StoreVolumeRecord(const VolumeRecord& record, u8 out[kVolumeRecordSize]);
// Reads a stored record; the device is null and each extent's disk is a placeholder only to be
// tested against null (the caller replaces it). False when fewer than 1277 bytes are given.
bool LoadVolumeRecord(const u8* data, size_t size, VolumeRecord* out);
// Placeholder disk pointer that LoadVolumeRecord puts into extents whose stored disk was set.
CDiskDevice* StoredDiskPlaceholder();
