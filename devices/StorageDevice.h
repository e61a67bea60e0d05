#pragma once
// A device of fixed-size sectors addressed by unsigned 64-bit sector numbers: every reader of the
// program (partition tables, file systems, deep searches, the writer, the preview) reads through it.
#include <vector>

#include "platform/Types.h"

class CSimulateStorageDevice;

// Sectors [first, first + count).
struct SectorRange {
    u64 first = 0;
    u64 count = 0;
    bool operator==(const SectorRange&) const = default;
};
using SectorRanges = std::vector<SectorRange>;

class IStorageDevice {
public:
    IStorageDevice() = default;
    IStorageDevice(const IStorageDevice&) = delete;
    IStorageDevice& operator=(const IStorageDevice&) = delete;
    virtual ~IStorageDevice();

    // 1 on success, 0 on failure; fills count x sector size bytes of buffer.
    virtual u32 Read(void* buffer, u64 firstSector, u64 count) = 0;
    virtual u64 GetTotalSectors() = 0;
    virtual u32 GetSectorSize() = 0;
    virtual u32 Open() = 0;
    virtual u32 Close() = 0;
    // Whether a read of these sectors puts zeros in place of some the medium did not give: sectors
    // past the device's end, or an area found bad, which reads skip with success so that a scan
    // goes on. Whoever presents what it reads as a file's content asks here after a read.
    virtual bool HasUnreadSectors(u64 firstSector, u64 count);
    // Sectors of the volume this device holds, as the volume's own boot sector (or, without one,
    // its partition table entry) gives them. More than GetTotalSectors when the disk ends before
    // the volume does, as a failing disk's partial image does: the device stops at the disk's end,
    // yet a file that reaches past it is still the volume's, and reads there come back unread.
    virtual u64 GetVolumeSectors() { return GetTotalSectors(); }
    // The device this one wraps; null for a device that wraps none.
    virtual IStorageDevice* GetInnerDevice() { return nullptr; }

    // The device itself when its sectors are 512 bytes, else a 512-byte view over it, made once
    // and owned by this device (null when it cannot be made).
    IStorageDevice* Get512ByteSectorDevice();

protected:
    u32 m_sectorSize = 0;  // cached sector size, 0 while unknown

private:
    CSimulateStorageDevice* m_view512 = nullptr;
};

// The sectors of [first, first + count) that the device reports unread (HasUnreadSectors),
// appended to out in order, neighbours joined. The request is halved until each part is wholly
// unread or wholly not, so a request with none costs one question.
void FindUnreadSectors(IStorageDevice& device, u64 first, u64 count, SectorRanges& out);

// Reads [first, first + count) into buffer keeping every sector the device gives: a read that
// fails is halved down to the sectors that fail, and where a read that comes back with unread
// sectors gave zeros around them it is read again there (a disk answers a whole request that
// meets a bad area with zeros).
// What the device cannot give is zeros, and is appended to unread in order, neighbours joined.
// A healthy request costs one read and one question.
void ReadEverySector(IStorageDevice& device, void* buffer, u64 first, u64 count, SectorRanges& unread);

// Whether the device reports every sector of the ranges unread: zeros it put in place of sectors
// it does not report are a read that failed.
bool ReportsUnread(IStorageDevice& device, const SectorRanges& ranges);

// Appends [first, first + count) to ranges, joined with the last one when it follows it.
void AppendSectorRange(SectorRanges& ranges, u64 first, u64 count);
// Puts ranges in order and joins those that overlap or follow one another.
void JoinSectorRanges(SectorRanges& ranges);
