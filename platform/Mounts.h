#pragma once
// Mounted volumes of the system and where their block devices lie on the disks of the platform's
// disk table: /proc/self/mountinfo, sysfs (/sys/dev/block/MAJ:MIN, partition start and size,
// loop backing files) and statvfs.
#include <optional>
#include <string>
#include <vector>

#include "platform/Disks.h"
#include "platform/Types.h"

struct MountEntry {
    u32 major = 0;
    u32 minor = 0;
    std::string root;        // the mounted subtree of the file system ("/" for the whole volume)
    std::string mountPoint;  // octal escapes (\040 and the like) decoded
    std::string fsType;      // "ext4", "vfat", "ntfs3", ...
    std::string source;      // "/dev/sda1", ...
};

// Parses the text of a mountinfo file; malformed lines are skipped.
std::vector<MountEntry> ParseMountInfo(const std::string& text);
// The mounts of this process; empty when /proc/self/mountinfo cannot be read.
std::vector<MountEntry> ReadMountInfo();

// Where a block device lies on a disk of the disk table.
struct BlockDevicePlace {
    int diskNumber = -1;
    u64 startBytes = 0;   // from the start of the disk
    u64 lengthBytes = 0;
    u32 sectorSize = 512; // the disk's logical sector size
};

// Locates block device MAJ:MIN on a disk of table: a partition of a listed whole disk, a listed
// whole disk itself, or (for image entries) a loop device or a partition of one whose backing file
// is the image. sysRoot is the sysfs mount point ("/sys"; tests give a tree of their own).
bool LocateBlockDevice(u32 major, u32 minor, const std::vector<DiskTableEntry>& table, BlockDevicePlace* out,
                       const std::string& sysRoot = "/sys");

struct VolumeSpace {
    u64 freeBytesToCaller = 0;
    u64 totalBytes = 0;
    u64 totalFreeBytes = 0;
};
// statvfs of a path; false when the query fails. Byte counts past 2^64 stay at all ones.
bool QueryVolumeSpace(const std::string& path, VolumeSpace* out);
// The same for an open folder, whatever the length of its path.
bool QueryVolumeSpaceAt(int folder, VolumeSpace* out);
// The bytes a folder's file system gives this process for new files, read from its open handle;
// none when they cannot be read or the file system holds less than any usable destination (a
// pseudo file system such as /proc says it holds nothing).
std::optional<u64> FolderFreeBytesAt(int folder);
