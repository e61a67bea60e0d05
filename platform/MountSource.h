#pragma once
// Whether a folder lies on a file system that is read from a given disk. Writing recovered files
// there would change the disk being scanned, so the scan driver and the recovery dialogs refuse
// such a folder.
#include <string>

// True when `folder` (or, while it does not exist yet, the nearest folder above it that does)
// lies on a file system whose source is `disk` (a disk image or a block device): the disk
// itself, one of its partitions, a loop device backed by the image, or the image mounted
// directly (a FUSE mount). Read from /proc/self/mountinfo and /sys.
bool IsFolderOnDisk(const std::string& folder, const std::string& disk);

// The same with the mount table's text and the root of sysfs given.
bool IsFolderOnDisk(const std::string& folder, const std::string& disk, const std::string& mountinfo,
                    const std::string& sysRoot);
