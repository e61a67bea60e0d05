#pragma once
// A physical disk of the platform's disk table, read through a page-aligned bounce buffer, with
// retries after not-ready errors and a map of bad areas that later reads answer with zeros.
#include <map>
#include <string>
#include <vector>

#include "devices/DiskDescription.h"
#include "devices/StorageDevice.h"
#include "platform/Disks.h"
#include "platform/Sync.h"

struct BadSectorRange {
    u64 firstSector;
    u64 endSector;
};

// Bad areas of one disk, keyed by their first sector. Each operation takes the map's own lock.
class CBadSectorMap {
public:
    CBadSectorMap() = default;
    ~CBadSectorMap();
    CBadSectorMap(const CBadSectorMap&) = delete;
    CBadSectorMap& operator=(const CBadSectorMap&) = delete;

    // 0, or ERROR_NOT_ENOUGH_MEMORY; a range whose first sector is already present is kept.
    u32 AddBadRange(u64 first, u64 end);
    // True when some range {s, e} holds a sector of [first, end): first < e and s < end. A
    // range, like the request, ends before its end sector.
    bool IsInBadRange(u64 first, u64 end);
    void ClearBadRanges();
    std::vector<BadSectorRange> GetRanges();

    void SetSectorSize(u32 bytes);
    u32 GetSectorSize();

private:
    CriticalSection m_lock;
    std::map<u64, BadSectorRange> m_ranges;
    u32 m_sectorSize = 512;  // 512 until the disk's geometry is known
};

class CDiskDevice : public IStorageDevice {
public:
    static constexpr u32 kBounceBufferSize = 0x400000;
    static constexpr i32 kMaxDiskNumber = 19;  // numbers 0..19 can be opened

    explicit CDiskDevice(i32 diskNumber);
    // The disk of a table entry read earlier (the enumeration reads the table once for all disks).
    CDiskDevice(i32 diskNumber, const DiskTableEntry& entry);
    ~CDiskDevice() override;

    u32 Read(void* buffer, u64 firstSector, u64 count) override;
    bool HasUnreadSectors(u64 firstSector, u64 count) override;
    u64 GetTotalSectors() override;
    u32 GetSectorSize() override;
    u32 Open() override;
    u32 Close() override;

    bool IsOpen() const { return m_handle.IsValid(); }
    // The disk number when it lies in 0..20, else -1.
    i32 GetDiskNumber() const;
    // The block device or image the device stands for; empty for a device made by number that
    // never opened.
    const std::string& GetPath() const { return m_identity.entry.path; }
    bool IsDynamicDisk() const { return m_dynamicDisk != 0; }

    // Fails once the disk went away (see DiskStillThere), even where its descriptor still
    // answers: this is how the program asks whether the scanned disk is still there.
    bool GetGeometry(DiskGeometry* out);
    // Issues a control code that returns a variable-sized structure, growing the buffer while the
    // answer does not fit. On success *out is the caller's, released with delete[].
    bool QueryWithGrowingBuffer(u8** out, u32 controlCode);
    bool GetDiskDescription(DiskDescription* out);
    bool DetectDynamicDisk(u64 totalSectors, u32 sectorSize);

    // The inner read of Read: 1 success (or zeros for a recorded or newly found bad area when skip
    // is on), 0 failure; *error receives the system's error of a failed read.
    u32 ReadSector(const DiskHandle& handle, void* buffer, u64 first, u64 count, bool skip, u32* error);
    // Estimates how far a bad area starting at `start` reaches and records it.
    void UpdateBadSector(const DiskHandle& handle, u64 start, u32 unit, u32 minUnits, u32 maxUnits);

    CBadSectorMap& BadSectors() { return m_badSectors; }

private:
    // Zeros the request and records the bad area it starts; the answer a read with skipping on gives.
    u32 TreatAsBadArea(const DiskHandle& handle, void* buffer, u64 first, u64 count);
    // Whether a read with skipping on answers the request with zeros for a recorded bad area.
    bool ReadsAsBadArea(u64 first, u64 count);

    u8* m_bounceBuffer = nullptr;
    u32 m_dynamicDisk = 0;
    DiskHandle m_handle;
    // The entry the device opens, and once it was opened the file behind it (no descriptor).
    DiskHandle m_identity;
    bool m_identified = false;
    i32 m_diskNumber;
    u64 m_totalSectors = 0;
    u64 m_bytesAtOpen = 0;  // the disk's length when it was opened; a disk cut shorter has gone
    i32 m_notReadyCount = 0;
    bool m_reopening = false;  // a not-ready re-open is running (its reads do not retry)
    CBadSectorMap m_badSectors;
    CriticalSection m_lock;
};

// Fills a DiskDescription from a STORAGE_DEVICE_DESCRIPTOR of `size` bytes. Text offsets are
// checked against the buffer; a text that runs past the end is cut there.
void ParseStorageDescriptor(const u8* descriptor, u32 size, DiskDescription* out);
