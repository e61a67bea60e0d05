#pragma once
// The platform's physical disks. Disk n is entry n of the disk table: the whole-disk block devices
// of /sys/block in name order (loop devices only with a backing file; ram and zram left out), or,
// when MORVENDA_DISKS is set, the image files it lists separated by ':' (disk 0 first; an entry
// PATH@N gives the image N-byte logical sectors, 512 by default; an entry that is a folder stands
// for the image files in it, in name order). Disks are only ever opened read-only.
#include <string>
#include <vector>

#include "platform/Types.h"

struct DiskTableEntry {
    std::string path;          // /dev/NAME or the image file
    std::string sysName;       // NAME under /sys/block; empty for an image
    bool isImage = false;
    u32 imageSectorSize = 0;   // declared logical sector size of an image
};

// The logical sector sizes an image may declare: powers of two from 512 to 4096. An entry with
// any other PATH@N suffix is taken as a path as a whole.
constexpr u32 kMinImageSectorSize = 512;
constexpr u32 kMaxImageSectorSize = 4096;
bool IsSupportedImageSectorSize(u32 bytes);

// The current disk table (MORVENDA_DISKS is read on every call).
std::vector<DiskTableEntry> GetDiskTable();
bool GetDiskTableEntry(int diskNumber, DiskTableEntry* out);

// What tells one opened disk from another behind the same path: a block device's number, an
// image file's device and inode.
struct DiskFileId {
    u64 device = 0;
    u64 inode = 0;
    bool operator==(const DiskFileId&) const = default;
};
// The identity of what stat answered for a disk's path: a block device by its number, any other
// file by its device and inode.
DiskFileId DiskFileIdOf(const struct stat& st);

// An open disk. The table entry it was opened from travels with it: what was enumerated is what
// is asked and opened again, whatever the table says by then.
struct DiskHandle {
    int fd = -1;
    int diskNumber = -1;
    bool isImage = false;
    u32 imageSectorSize = 0;
    DiskTableEntry entry;
    DiskFileId id;
    bool IsValid() const { return fd >= 0; }
};

// Opens disk n read-only; only a regular file or a block device is a disk (anything else, a
// named pipe say, fails at once). On failure returns false with the last error set.
bool DiskOpen(int diskNumber, DiskHandle* out);
// Opens the disk of an entry read from the table earlier, under the number it had there.
bool DiskOpenEntry(const DiskTableEntry& entry, int diskNumber, DiskHandle* out);
// Opens the disk a handle was opened on again, through the entry it carried; refused with
// kDeviceNotConnected when another disk or file now answers to that path.
bool DiskReopen(const DiskHandle& previous, DiskHandle* out);
void DiskClose(DiskHandle* handle);

// The drive geometry as IOCTL_DISK_GET_DRIVE_GEOMETRY returns it (24 bytes).
struct DiskGeometry {
    u64 cylinders;
    u32 mediaType;
    u32 tracksPerCylinder;
    u32 sectorsPerTrack;
    u32 bytesPerSector;
};
static_assert(sizeof(DiskGeometry) == 24, "drive geometry layout");

constexpr u32 kMediaTypeFixed = 12;
constexpr u32 kMediaTypeRemovable = 11;

// Geometry of an open disk: the logical sector size (BLKSSZGET, else BLKPBSZGET; an image's
// declared size) and the conventional 255 x 63 translation of its length.
bool DiskGetGeometry(const DiskHandle& handle, DiskGeometry* out);
// Length in bytes (BLKGETSIZE64; an image's size rounded down to whole sectors).
bool DiskGetLength(const DiskHandle& handle, u64* bytes);

// SCSI READ CAPACITY (10) through SG_IO, answered in the shape of the pass-through request:
// out receives 84 bytes (44-byte request block, 32 sense bytes, 8 data bytes at offset 76).
// Linux addresses the device through its handle, so the target id does not change the answer.
constexpr u32 kScsiPassThroughSize = 44;
constexpr u32 kScsiPassThroughDataOffset = 76;
constexpr u32 kScsiPassThroughOutputSize = 84;
bool DiskScsiReadCapacity(const DiskHandle& handle, u8 targetId, void* out, u32 outSize, u32* returned);

// Reads `bytes` bytes at byte `offset`; *done receives the bytes read. A read cut short by the end
// of the disk returns true with *done < bytes. A failure returns false with the last error set.
bool DiskReadAt(const DiskHandle& handle, void* buffer, u64 offset, u64 bytes, u64* done);

// Control codes of the disk layer that DiskDeviceControl answers.
constexpr u32 kIoctlDiskGetDriveGeometry = 0x00070000;
constexpr u32 kIoctlDiskGetDriveLayoutEx = 0x00070050;
constexpr u32 kIoctlDiskGetLengthInfo = 0x0007405C;
// Answers a control code into out; a buffer that is too small fails with kInsufficientBuffer.
// DRIVE_LAYOUT_INFORMATION_EX lists the partitions the kernel knows of a block device (none for
// an image).
bool DiskDeviceControl(const DiskHandle& handle, u32 code, void* out, u32 outSize, u32* returned);

// STORAGE_DEVICE_DESCRIPTOR of disk n as IOCTL_STORAGE_QUERY_PROPERTY returns it: a 36-byte header
// (version, size, device type, modifier, removable, queueing, offsets of vendor, product,
// revision and serial, bus type, raw length) followed by the NUL-terminated texts. From sysfs for
// a block device; a fixed record for an image (vendor "Morvenda", product "Disk image", the file
// name as serial, bus type 0). Fails with kInsufficientBuffer when outSize cannot hold the header.
constexpr u32 kStorageDescriptorHeaderSize = 36;
bool DiskQueryDescriptor(int diskNumber, void* out, u32 outSize, u32* returned);
// The same for the disk of a table entry (the one a handle carries).
bool DiskQueryDescriptor(const DiskTableEntry& entry, void* out, u32 outSize, u32* returned);

// Test seam in the read path: reads that touch bytes [firstByte, endByte) of the disk fail with
// errnoValue (mapped to the last error as any failed read). remaining counts the failing reads
// left (-1: no limit). diskNumber -1 matches every disk.
struct DiskReadFault {
    int diskNumber = -1;
    u64 firstByte = 0;
    u64 endByte = 0;
    int errnoValue = 0;
    int remaining = -1;
};
void AddDiskReadFault(const DiskReadFault& fault);
void ClearDiskReadFaults();
// Reads that reached DiskReadAt since the last reset (faulted ones included).
u64 GetDiskReadCount();
void ResetDiskReadCount();
// Whether the block device (a "/dev/..." path) is, or is a partition of, a disk whose sysfs
// "removable" flag is set; sysRoot is where sysfs is mounted.
bool IsOnRemovableDisk(const std::string& device, const std::string& sysRoot = "/sys");
