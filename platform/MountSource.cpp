#include "platform/MountSource.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

namespace {

constexpr const char* kMountInfo = "/proc/self/mountinfo";
constexpr const char* kSysRoot = "/sys";
// Fields of a mountinfo line before the optional ones: id, parent id, major:minor, root, mount
// point, options. After the "-" separator: file-system type, source, super options.
constexpr size_t kDeviceField = 2;
// Devices stacked deeper than this (a mapping over a RAID over a loop device ...) are not
// followed; the bound also ends a loop in a damaged sysfs tree.
constexpr size_t kMaxStackedDevices = 8;

bool StatPath(const std::string& path, struct stat& out) { return !path.empty() && ::stat(path.c_str(), &out) == 0; }

bool SameFile(const std::string& path, const struct stat& file) {
    struct stat st {};
    return StatPath(path, st) && st.st_dev == file.st_dev && st.st_ino == file.st_ino;
}

std::string ParentOf(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// The folder itself or the nearest existing folder above it.
bool StatExistingAncestor(std::string path, struct stat& out) {
    if (path.empty()) path = ".";
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    for (size_t depth = 0; depth < PATH_MAX; ++depth) {
        if (StatPath(path, out)) return true;
        if (path == "/" || path == ".") return false;
        path = ParentOf(path);
    }
    return false;
}

// mountinfo writes space, tab, line feed and backslash in paths as three octal digits.
std::string Unescape(const std::string& field) {
    const auto octal = [](char c) { return c >= '0' && c <= '7'; };
    std::string out;
    for (size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size() && octal(field[i + 1]) && octal(field[i + 2]) &&
            octal(field[i + 3])) {
            out += static_cast<char>(((field[i + 1] - '0') << 6) | ((field[i + 2] - '0') << 3) | (field[i + 3] - '0'));
            i += 3;
        } else {
            out += field[i];
        }
    }
    return out;
}

std::string ReadFirstLine(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

std::string DeviceText(dev_t device) { return std::to_string(major(device)) + ":" + std::to_string(minor(device)); }

// The sysfs folder of a block device by its number; empty when sysfs does not know it.
std::string DeviceFolder(const std::string& sysRoot, dev_t device) {
    char resolved[PATH_MAX];
    const std::string link = sysRoot + "/dev/block/" + DeviceText(device);
    if (::realpath(link.c_str(), resolved) == nullptr) return std::string();
    return resolved;
}

// The sysfs folder of the whole disk a block device's folder belongs to: its own, or its
// parent's for a partition.
std::string WholeDiskOf(const std::string& folder) {
    struct stat st {};
    return StatPath(folder + "/partition", st) ? ParentOf(folder) : folder;
}

// Whether the block device with sysfs folder `folder` is the disk or a partition of it, a loop
// device (or a partition of one) backed by the image, or a device built on such ones (device
// mapper, software RAID), whose parts sysfs lists under "slaves".
bool DeviceFolderIsOnDisk(const std::string& folder, const struct stat& disk, const std::string& diskWhole,
                          size_t depth) {
    const std::string whole = WholeDiskOf(folder);
    if (S_ISBLK(disk.st_mode) ? whole == diskWhole : SameFile(ReadFirstLine(whole + "/loop/backing_file"), disk)) {
        return true;
    }
    if (depth >= kMaxStackedDevices) return false;
    std::error_code error;
    for (const auto& slave : std::filesystem::directory_iterator(whole + "/slaves", error)) {
        char resolved[PATH_MAX];
        if (::realpath(slave.path().c_str(), resolved) == nullptr) continue;
        if (DeviceFolderIsOnDisk(resolved, disk, diskWhole, depth + 1)) return true;
    }
    return false;
}

bool BlockDeviceIsOnDisk(const std::string& sysRoot, dev_t device, const struct stat& disk) {
    if (S_ISBLK(disk.st_mode) && device == disk.st_rdev) return true;
    const std::string folder = DeviceFolder(sysRoot, device);
    if (folder.empty()) return false;
    const std::string diskWhole = S_ISBLK(disk.st_mode) ? WholeDiskOf(DeviceFolder(sysRoot, disk.st_rdev)) : "";
    if (S_ISBLK(disk.st_mode) && diskWhole.empty()) return false;
    return DeviceFolderIsOnDisk(folder, disk, diskWhole, 0);
}

// The sources of the mounts of the file system with device number `device`.
std::vector<std::string> MountSources(const std::string& mountinfo, dev_t device) {
    std::vector<std::string> sources;
    const std::string wanted = DeviceText(device);
    std::istringstream lines(mountinfo);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::vector<std::string> f;
        for (std::string field; fields >> field;) f.push_back(field);
        if (f.size() <= kDeviceField || f[kDeviceField] != wanted) continue;
        for (size_t i = kDeviceField + 1; i + 2 < f.size(); ++i) {
            if (f[i] == "-") {
                sources.push_back(Unescape(f[i + 2]));
                break;
            }
        }
    }
    return sources;
}

}  // namespace

bool IsFolderOnDisk(const std::string& folder, const std::string& disk, const std::string& mountinfo,
                    const std::string& sysRoot) {
    struct stat diskStat {};
    struct stat folderStat {};
    if (!StatPath(disk, diskStat) || !StatExistingAncestor(folder, folderStat)) return false;
    // A kernel file system on the disk, a partition of it or a loop device over the image.
    if (BlockDeviceIsOnDisk(sysRoot, folderStat.st_dev, diskStat)) return true;
    // A FUSE file system names what it reads in the mount table.
    for (const std::string& source : MountSources(mountinfo, folderStat.st_dev)) {
        struct stat sourceStat {};
        if (!StatPath(source, sourceStat)) continue;
        if (sourceStat.st_dev == diskStat.st_dev && sourceStat.st_ino == diskStat.st_ino) return true;
        if (S_ISBLK(sourceStat.st_mode) && BlockDeviceIsOnDisk(sysRoot, sourceStat.st_rdev, diskStat)) return true;
    }
    return false;
}

bool IsFolderOnDisk(const std::string& folder, const std::string& disk) {
    std::ifstream in(kMountInfo);
    std::stringstream text;
    text << in.rdbuf();
    return IsFolderOnDisk(folder, disk, text.str(), kSysRoot);
}
