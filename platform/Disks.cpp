#include "platform/Disks.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <scsi/sg.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>

#include "platform/Errors.h"

namespace {

constexpr u32 kTracksPerCylinder = 255;
constexpr u32 kSectorsPerTrack = 63;

bool IsDigits(const std::string& s) {
    return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

bool PathExists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

// First line of a sysfs attribute without its line end; empty when absent.
std::string ReadSysfsLine(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    if (!in || !std::getline(in, line)) return std::string();
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    return line;
}

DiskTableEntry ParseImageEntry(const std::string& item) {
    DiskTableEntry e;
    e.isImage = true;
    e.imageSectorSize = 512;
    e.path = item;
    const size_t at = item.rfind('@');
    if (at != std::string::npos && at > 0) {
        const std::string size = item.substr(at + 1);
        if (IsDigits(size) && size.size() <= 9) {
            const unsigned long n = std::strtoul(size.c_str(), nullptr, 10);
            if (IsSupportedImageSectorSize(static_cast<u32>(n))) {
                e.path = item.substr(0, at);
                e.imageSectorSize = static_cast<u32>(n);
            }
        }
    }
    return e;
}

bool IsDirectory(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// A folder in the list stands for the image files in it, in name order, each with the folder's
// sector size: images copied in or taken out come and go like plugged disks. Hidden files are
// left out, so that a copy in progress under a dot name is not taken for a disk.
void AppendFolderImages(const DiskTableEntry& folder, std::vector<DiskTableEntry>& table) {
    std::vector<std::string> names;
    if (DIR* dir = ::opendir(folder.path.c_str())) {
        while (const dirent* d = ::readdir(dir)) {
            const std::string name = d->d_name;
            if (name.empty() || name[0] == '.') continue;
            struct stat st {};
            if (::stat((folder.path + "/" + name).c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
            names.push_back(name);
        }
        ::closedir(dir);
    }
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        DiskTableEntry e = folder;
        e.path = folder.path + (folder.path.back() == '/' ? "" : "/") + name;
        table.push_back(e);
    }
}

std::vector<DiskTableEntry> ImageTable(const char* list) {
    std::vector<DiskTableEntry> table;
    std::string all(list);
    size_t pos = 0;
    while (pos <= all.size()) {
        size_t end = all.find(':', pos);
        if (end == std::string::npos) end = all.size();
        const std::string item = all.substr(pos, end - pos);
        if (!item.empty()) {
            const DiskTableEntry e = ParseImageEntry(item);
            if (IsDirectory(e.path)) AppendFolderImages(e, table);
            else table.push_back(e);
        }
        pos = end + 1;
    }
    return table;
}

std::vector<DiskTableEntry> BlockDeviceTable() {
    std::vector<std::string> names;
    if (DIR* dir = ::opendir("/sys/block")) {
        while (const dirent* d = ::readdir(dir)) {
            const std::string name = d->d_name;
            if (name.empty() || name[0] == '.') continue;
            if (name.rfind("ram", 0) == 0 || name.rfind("zram", 0) == 0) continue;
            // An unbound loop device has nothing to read.
            if (name.rfind("loop", 0) == 0 && !PathExists("/sys/block/" + name + "/loop/backing_file")) continue;
            names.push_back(name);
        }
        ::closedir(dir);
    }
    std::sort(names.begin(), names.end());
    std::vector<DiskTableEntry> table;
    for (const std::string& name : names) {
        DiskTableEntry e;
        e.path = "/dev/" + name;
        e.sysName = name;
        table.push_back(e);
    }
    return table;
}

struct FaultState {
    std::mutex lock;
    std::vector<DiskReadFault> faults;
};

FaultState& Faults() {
    static FaultState* s = new FaultState;  // kept to process exit: reads may run during teardown
    return *s;
}

std::atomic<u64> g_readCount{0};

// The error errno of a fault that this read meets, 0 for none.
int TakeFault(int diskNumber, u64 offset, u64 bytes) {
    FaultState& st = Faults();
    std::lock_guard<std::mutex> lk(st.lock);
    if (st.faults.empty() || bytes == 0) return 0;
    const u64 end = (offset > UINT64_MAX - bytes) ? UINT64_MAX : offset + bytes;
    for (DiskReadFault& f : st.faults) {
        if (f.diskNumber != -1 && f.diskNumber != diskNumber) continue;
        if (f.remaining == 0) continue;
        if (end <= f.firstByte || offset >= f.endByte) continue;
        if (f.remaining > 0) --f.remaining;
        return f.errnoValue;
    }
    return 0;
}

bool ImageSize(const DiskHandle& h, u64* bytes) {
    struct stat st {};
    if (::fstat(h.fd, &st) != 0) {
        SetLastErrorFromErrno();
        return false;
    }
    const u64 ss = h.imageSectorSize ? h.imageSectorSize : 512;
    *bytes = (static_cast<u64>(st.st_size) / ss) * ss;
    return true;
}

u32 BlockSectorSize(int fd) {
    int logical = 0;
    if (::ioctl(fd, BLKSSZGET, &logical) == 0 && logical > 0) return static_cast<u32>(logical);
    unsigned int physical = 0;
    if (::ioctl(fd, BLKPBSZGET, &physical) == 0 && physical > 0) return physical;
    return 0;
}

bool Fail(u32 code) {
    SetLastErrorCode(code);
    return false;
}

struct SysPartition {
    u32 number;
    u64 start;  // 512-byte units, as sysfs gives them
    u64 size;
};

std::vector<SysPartition> SysfsPartitions(const std::string& sysName) {
    std::vector<SysPartition> parts;
    const std::string base = "/sys/block/" + sysName;
    if (DIR* dir = ::opendir(base.c_str())) {
        while (const dirent* d = ::readdir(dir)) {
            const std::string name = d->d_name;
            if (name.empty() || name[0] == '.') continue;
            const std::string number = ReadSysfsLine(base + "/" + name + "/partition");
            const std::string start = ReadSysfsLine(base + "/" + name + "/start");
            const std::string size = ReadSysfsLine(base + "/" + name + "/size");
            if (!IsDigits(number) || !IsDigits(start) || !IsDigits(size)) continue;
            parts.push_back({static_cast<u32>(std::strtoul(number.c_str(), nullptr, 10)),
                             std::strtoull(start.c_str(), nullptr, 10), std::strtoull(size.c_str(), nullptr, 10)});
        }
        ::closedir(dir);
    }
    std::sort(parts.begin(), parts.end(), [](const SysPartition& a, const SysPartition& b) { return a.number < b.number; });
    return parts;
}

// Bus type of a block device from where it hangs in the device tree.
u32 TransportBusType(const std::string& sysName) {
    char resolved[PATH_MAX];
    const std::string link = "/sys/block/" + sysName;
    if (!::realpath(link.c_str(), resolved)) return 0;
    const std::string path = resolved;
    if (path.find("/usb") != std::string::npos) return 7;
    if (path.find("/ata") != std::string::npos) return 3;
    if (path.find("/target") != std::string::npos || PathExists(link + "/device/scsi_device")) return 1;
    return 0;
}

}  // namespace

std::vector<DiskTableEntry> GetDiskTable() {
    if (const char* list = std::getenv("MORVENDA_DISKS")) return ImageTable(list);
    return BlockDeviceTable();
}

bool GetDiskTableEntry(int diskNumber, DiskTableEntry* out) {
    if (diskNumber < 0) return false;
    const std::vector<DiskTableEntry> table = GetDiskTable();
    if (static_cast<size_t>(diskNumber) >= table.size()) return false;
    *out = table[static_cast<size_t>(diskNumber)];
    return true;
}

bool IsSupportedImageSectorSize(u32 bytes) {
    return bytes >= kMinImageSectorSize && bytes <= kMaxImageSectorSize && (bytes & (bytes - 1)) == 0;
}

DiskFileId DiskFileIdOf(const struct stat& st) {
    const bool block = S_ISBLK(st.st_mode);
    DiskFileId id;
    id.device = block ? static_cast<u64>(st.st_rdev) : static_cast<u64>(st.st_dev);
    id.inode = block ? 0 : static_cast<u64>(st.st_ino);
    return id;
}

namespace {
bool OpenEntry(const DiskTableEntry& e, int diskNumber, const DiskFileId* expected, DiskHandle* out) {
    *out = DiskHandle();
    // Non-blocking only while the kind is unknown: opening a named pipe would otherwise wait for
    // a writer for good.
    const int fd = ::open(e.path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        SetLastErrorFromErrno();
        return false;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !(S_ISBLK(st.st_mode) || S_ISREG(st.st_mode)) ||
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) {
        ::close(fd);
        return Fail(win32::kInvalidHandle);
    }
    const bool block = S_ISBLK(st.st_mode);
    const DiskFileId id = DiskFileIdOf(st);
    if (expected && !(id == *expected)) {
        ::close(fd);
        return Fail(win32::kDeviceNotConnected);
    }
    out->fd = fd;
    out->diskNumber = diskNumber;
    out->isImage = !block;
    out->imageSectorSize = e.isImage ? e.imageSectorSize : 512;
    out->entry = e;
    out->id = id;
    return true;
}
}  // namespace

bool DiskOpen(int diskNumber, DiskHandle* out) {
    DiskTableEntry e;
    if (!GetDiskTableEntry(diskNumber, &e)) {
        *out = DiskHandle();
        return Fail(win32::kFileNotFound);
    }
    return OpenEntry(e, diskNumber, nullptr, out);
}

bool DiskOpenEntry(const DiskTableEntry& entry, int diskNumber, DiskHandle* out) {
    return OpenEntry(entry, diskNumber, nullptr, out);
}

bool DiskReopen(const DiskHandle& previous, DiskHandle* out) {
    if (previous.entry.path.empty()) {
        *out = DiskHandle();
        return Fail(win32::kInvalidHandle);
    }
    return OpenEntry(previous.entry, previous.diskNumber, &previous.id, out);
}

void DiskClose(DiskHandle* handle) {
    if (handle->fd >= 0) ::close(handle->fd);
    *handle = DiskHandle();
}

bool DiskGetLength(const DiskHandle& handle, u64* bytes) {
    if (!handle.IsValid()) return Fail(win32::kInvalidHandle);
    if (handle.isImage) return ImageSize(handle, bytes);
    u64 size = 0;
    if (::ioctl(handle.fd, BLKGETSIZE64, &size) != 0) {
        SetLastErrorFromErrno();
        return false;
    }
    *bytes = size;
    return true;
}

bool DiskGetGeometry(const DiskHandle& handle, DiskGeometry* out) {
    if (!handle.IsValid()) return Fail(win32::kInvalidHandle);
    u32 sectorSize = handle.isImage ? handle.imageSectorSize : BlockSectorSize(handle.fd);
    if (sectorSize == 0) return Fail(win32::kNotSupported);
    u64 length = 0;
    if (!DiskGetLength(handle, &length)) return false;
    *out = DiskGeometry();
    out->bytesPerSector = sectorSize;
    out->tracksPerCylinder = kTracksPerCylinder;
    out->sectorsPerTrack = kSectorsPerTrack;
    out->cylinders = length / sectorSize / (kTracksPerCylinder * kSectorsPerTrack);
    out->mediaType = kMediaTypeFixed;
    if (!handle.isImage && !handle.entry.sysName.empty() &&
        ReadSysfsLine("/sys/block/" + handle.entry.sysName + "/removable") == "1") {
        out->mediaType = kMediaTypeRemovable;
    }
    return true;
}

bool DiskScsiReadCapacity(const DiskHandle& handle, u8 targetId, void* out, u32 outSize, u32* returned) {
    *returned = 0;
    if (!handle.IsValid()) return Fail(win32::kInvalidHandle);
    if (outSize < kScsiPassThroughOutputSize) return Fail(win32::kInsufficientBuffer);
    if (handle.isImage) return Fail(win32::kNotSupported);
    u8 cdb[10] = {0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    u8 sense[32] = {};
    u8 data[8] = {};
    sg_io_hdr_t io {};
    io.interface_id = 'S';
    io.cmd_len = sizeof(cdb);
    io.cmdp = cdb;
    io.dxfer_direction = SG_DXFER_FROM_DEV;
    io.dxfer_len = sizeof(data);
    io.dxferp = data;
    io.mx_sb_len = sizeof(sense);
    io.sbp = sense;
    io.timeout = 4000;
    if (::ioctl(handle.fd, SG_IO, &io) != 0) {
        SetLastErrorFromErrno();
        return false;
    }
    if ((io.info & SG_INFO_OK_MASK) != SG_INFO_OK) return Fail(win32::kIoDevice);
    u8* o = static_cast<u8*>(out);
    std::memset(o, 0, kScsiPassThroughOutputSize);
    // The request block as the pass-through returns it, then the sense area and the data.
    WriteLE16(o + 0, kScsiPassThroughSize);
    o[2] = io.status;
    o[4] = targetId;
    o[6] = sizeof(cdb);
    o[8] = 1;  // data in
    WriteLE32(o + 12, sizeof(data) - static_cast<u32>(io.resid > 0 ? io.resid : 0));
    WriteLE32(o + 16, 4);
    WriteLE32(o + 20, kScsiPassThroughDataOffset);
    WriteLE32(o + 24, kScsiPassThroughSize);
    std::memcpy(o + 28, cdb, sizeof(cdb));
    std::memcpy(o + kScsiPassThroughSize, sense, sizeof(sense));
    std::memcpy(o + kScsiPassThroughDataOffset, data, sizeof(data));
    *returned = kScsiPassThroughOutputSize;
    return true;
}

bool DiskReadAt(const DiskHandle& handle, void* buffer, u64 offset, u64 bytes, u64* done) {
    *done = 0;
    g_readCount.fetch_add(1, std::memory_order_relaxed);
    if (!handle.IsValid()) return Fail(win32::kInvalidHandle);
    if (offset > static_cast<u64>(INT64_MAX) || bytes > static_cast<u64>(INT64_MAX) - offset)
        return Fail(win32::kInvalidParameter);
    if (const int err = TakeFault(handle.diskNumber, offset, bytes)) {
        SetLastErrorCode(Win32FromErrno(err));
        return false;
    }
    u8* p = static_cast<u8*>(buffer);
    while (*done < bytes) {
        const u64 want = std::min<u64>(bytes - *done, 1u << 30);
        const ssize_t n = ::pread(handle.fd, p + *done, want, static_cast<off_t>(offset + *done));
        if (n < 0) {
            if (errno == EINTR) continue;
            SetLastErrorFromErrno();
            return false;
        }
        if (n == 0) break;  // end of the disk
        *done += static_cast<u64>(n);
    }
    if (handle.isImage) {
        // An image ends at its last whole sector.
        u64 length = 0;
        if (ImageSize(handle, &length)) {
            const u64 limit = offset >= length ? 0 : length - offset;
            if (*done > limit) *done = limit;
        }
    }
    return true;
}

bool DiskDeviceControl(const DiskHandle& handle, u32 code, void* out, u32 outSize, u32* returned) {
    *returned = 0;
    if (!handle.IsValid()) return Fail(win32::kInvalidHandle);
    u8* o = static_cast<u8*>(out);
    switch (code) {
        case kIoctlDiskGetDriveGeometry: {
            if (outSize < sizeof(DiskGeometry)) return Fail(win32::kInsufficientBuffer);
            DiskGeometry g;
            if (!DiskGetGeometry(handle, &g)) return false;
            std::memcpy(o, &g, sizeof(g));
            *returned = sizeof(g);
            return true;
        }
        case kIoctlDiskGetLengthInfo: {
            if (outSize < 8) return Fail(win32::kInsufficientBuffer);
            u64 length = 0;
            if (!DiskGetLength(handle, &length)) return false;
            WriteLE64(o, length);
            *returned = 8;
            return true;
        }
        case kIoctlDiskGetDriveLayoutEx: {
            // DRIVE_LAYOUT_INFORMATION_EX: a 48-byte header, then 144 bytes per partition.
            const std::vector<SysPartition> parts =
                handle.isImage ? std::vector<SysPartition>() : SysfsPartitions(handle.entry.sysName);
            const u64 need = 48 + 144 * static_cast<u64>(parts.size());
            if (outSize < need) return Fail(win32::kInsufficientBuffer);
            std::memset(o, 0, need);
            WriteLE32(o + 0, 0);  // partition style MBR
            WriteLE32(o + 4, static_cast<u32>(parts.size()));
            for (size_t i = 0; i < parts.size(); ++i) {
                u8* e = o + 48 + 144 * i;
                WriteLE64(e + 8, parts[i].start * 512);
                WriteLE64(e + 16, parts[i].size * 512);
                WriteLE32(e + 24, parts[i].number);
                e[34] = 1;  // recognized
            }
            *returned = static_cast<u32>(need);
            return true;
        }
        default:
            return Fail(win32::kNotSupported);
    }
}

bool DiskQueryDescriptor(int diskNumber, void* out, u32 outSize, u32* returned) {
    *returned = 0;
    DiskTableEntry e;
    if (!GetDiskTableEntry(diskNumber, &e)) return Fail(win32::kFileNotFound);
    return DiskQueryDescriptor(e, out, outSize, returned);
}

bool DiskQueryDescriptor(const DiskTableEntry& e, void* out, u32 outSize, u32* returned) {
    *returned = 0;
    if (!PathExists(e.path)) return Fail(win32::kFileNotFound);
    if (outSize < kStorageDescriptorHeaderSize) return Fail(win32::kInsufficientBuffer);

    std::string vendor, product, revision, serial;
    bool hasRevision = true;
    u32 busType = 0;
    if (e.isImage) {
        vendor = "Morvenda";
        product = "Disk image";
        const size_t slash = e.path.rfind('/');
        serial = slash == std::string::npos ? e.path : e.path.substr(slash + 1);
        hasRevision = false;
    } else {
        const std::string dev = "/sys/block/" + e.sysName + "/device/";
        vendor = ReadSysfsLine(dev + "vendor");
        product = ReadSysfsLine(dev + "model");
        revision = ReadSysfsLine(dev + "rev");
        serial = ReadSysfsLine(dev + "serial");
        if (serial.empty()) serial = ReadSysfsLine(dev + "wwid");
        if (serial.empty()) serial = ReadSysfsLine("/sys/block/" + e.sysName + "/wwid");
        busType = TransportBusType(e.sysName);
    }

    u8* o = static_cast<u8*>(out);
    std::memset(o, 0, outSize);
    u32 pos = kStorageDescriptorHeaderSize;
    // Texts that do not fit are left out (offset 0), as a short buffer gets them.
    auto put = [&](const std::string& text, u32 offsetField) {
        const u64 need = text.size() + 1;
        if (pos + need > outSize) return;
        std::memcpy(o + pos, text.c_str(), need);
        WriteLE32(o + offsetField, pos);
        pos += static_cast<u32>(need);
    };
    WriteLE32(o + 0, 40);  // version: the descriptor's own size
    o[8] = 0;              // direct-access device
    o[10] = e.isImage ? 0 : (ReadSysfsLine("/sys/block/" + e.sysName + "/removable") == "1");
    if (!vendor.empty()) put(vendor, 12);
    if (!product.empty()) put(product, 16);
    if (hasRevision && !revision.empty()) put(revision, 20);
    if (!serial.empty()) put(serial, 24);
    WriteLE32(o + 28, busType);
    WriteLE32(o + 4, pos);
    *returned = pos;
    return true;
}

void AddDiskReadFault(const DiskReadFault& fault) {
    FaultState& st = Faults();
    std::lock_guard<std::mutex> lk(st.lock);
    st.faults.push_back(fault);
}

void ClearDiskReadFaults() {
    FaultState& st = Faults();
    std::lock_guard<std::mutex> lk(st.lock);
    st.faults.clear();
}

u64 GetDiskReadCount() { return g_readCount.load(std::memory_order_relaxed); }
void ResetDiskReadCount() { g_readCount.store(0, std::memory_order_relaxed); }

bool IsOnRemovableDisk(const std::string& device, const std::string& sysRoot) {
    namespace fs = std::filesystem;
    std::error_code ec;
    // "/dev/disk/by-label/..." and the like name the same device under another name.
    const fs::path node = fs::canonical(device, ec);
    const std::string name = (ec ? fs::path(device) : node).filename().string();
    if (name.empty()) return false;
    fs::path block = fs::canonical(fs::path(sysRoot) / "class" / "block" / name, ec);
    if (ec) return false;
    // A partition's folder lies inside its disk's.
    if (fs::exists(block / "partition", ec)) block = block.parent_path();
    return ReadSysfsLine((block / "removable").string()) == "1";
}
