#include "devices/VolumeRecord.h"

#include <cstring>

#include "platform/Text.h"

u32 VolumeRecord::ExtentCount() const {
    for (u32 i = 0; i < kVolumeMaxExtents; ++i) {
        if (!extents[i].disk) return i;
    }
    return 0;
}

bool VolumeRecord::AddExtent(u64 firstSector, u64 sectorCount, CDiskDevice* disk) {
    for (auto& e : extents) {
        if (!e.disk) {
            e.firstSector = firstSector;
            e.sectorCount = sectorCount;
            e.disk = disk;
            return true;
        }
    }
    return false;
}

void VolumeRecord::SetLabel(const char* text) { CopyUtf8Bounded(label, sizeof(label), text ? text : ""); }

void VolumeRecord::SetDiskText(const char* text) { CopyUtf8Bounded(diskText, sizeof(diskText), text ? text : ""); }

namespace {
u32 PointerToken(const void* p) {
    if (!p) return 0;
    const u32 low = static_cast<u32>(reinterpret_cast<uintptr_t>(p));
    return low ? low : 1;
}

// A fixed text field copied into the stored form: at most size-1 bytes and always NUL-terminated.
void StoreText(u8* out, const char* text, size_t size) {
    std::memset(out, 0, size);
    const size_t n = strnlen(text, size - 1);
    std::memcpy(out, text, n);
}

void LoadText(char* out, const u8* in, size_t size) {
    std::memcpy(out, in, size);
    out[size - 1] = 0;
}

alignas(8) unsigned char g_placeholder;
}  // namespace

CDiskDevice* StoredDiskPlaceholder() { return reinterpret_cast<CDiskDevice*>(&g_placeholder); }

void StoreVolumeRecord(const VolumeRecord& r, u8 out[kVolumeRecordSize]) {
    std::memset(out, 0, kVolumeRecordSize);
    WriteLE32(out + 0, r.source);
    WriteLE32(out + 4, PointerToken(r.device));
    WriteLE32(out + 8, r.kind);
    WriteLE32(out + 12, r.fsCode);
    out[16] = static_cast<u8>(r.driveLetter);
    StoreText(out + 17, r.label, kVolumeLabelSize);
    WriteLE32(out + 117, r.reserved);
    WriteLE32(out + 121, r.usb);
    for (u32 i = 0; i < kVolumeMaxExtents; ++i) {
        u8* e = out + kVolumeRecordExtentsOffset + i * kVolumeRecordExtentSize;
        WriteLE64(e, r.extents[i].firstSector);
        WriteLE64(e + 8, r.extents[i].sectorCount);
        WriteLE32(e + 16, PointerToken(r.extents[i].disk));
    }
    StoreText(out + kVolumeRecordDiskTextOffset, r.diskText, kVolumeDiskTextSize);
    if (r.source != 0) StoreText(out + kVolumeRecordImagePathOffset, r.imagePath, kMaxPath);
}

bool LoadVolumeRecord(const u8* data, size_t size, VolumeRecord* out) {
    if (!data || !out || size < kVolumeRecordSize) return false;
    VolumeRecord r;
    r.source = ReadLE32(data + 0);
    r.device = nullptr;
    r.kind = ReadLE32(data + 8);
    r.fsCode = ReadLE32(data + 12);
    r.driveLetter = static_cast<char>(data[16]);
    LoadText(r.label, data + 17, kVolumeLabelSize);
    r.reserved = ReadLE32(data + 117);
    r.usb = ReadLE32(data + 121);
    for (u32 i = 0; i < kVolumeMaxExtents; ++i) {
        const u8* e = data + kVolumeRecordExtentsOffset + i * kVolumeRecordExtentSize;
        r.extents[i].firstSector = ReadLE64(e);
        r.extents[i].sectorCount = ReadLE64(e + 8);
        r.extents[i].disk = ReadLE32(e + 16) ? StoredDiskPlaceholder() : nullptr;
    }
    LoadText(r.diskText, data + kVolumeRecordDiskTextOffset, kVolumeDiskTextSize);
    if (r.source != 0) LoadText(r.imagePath, data + kVolumeRecordImagePathOffset, kMaxPath);
    *out = r;
    return true;
}
