#include "platform/Mounts.h"

#include <sys/statvfs.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

namespace {
// mountinfo escapes space, tab, newline and backslash as a backslash and three octal digits.
std::string DecodeOctalEscapes(const std::string& s) {
    std::string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\' && i + 3 < s.size()) {
            const char a = s[i + 1], b = s[i + 2], c = s[i + 3];
            if (a >= '0' && a <= '3' && b >= '0' && b <= '7' && c >= '0' && c <= '7') {
                out.push_back(static_cast<char>((a - '0') * 64 + (b - '0') * 8 + (c - '0')));
                i += 3;
                continue;
            }
        }
        out.push_back(s[i]);
    }
    return out;
}

bool ParseDeviceNumber(const std::string& s, u32* major, u32* minor) {
    const size_t colon = s.find(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 >= s.size()) return false;
    try {
        size_t used = 0;
        const unsigned long ma = std::stoul(s.substr(0, colon), &used, 10);
        if (used != colon) return false;
        const unsigned long mi = std::stoul(s.substr(colon + 1), &used, 10);
        if (used != s.size() - colon - 1) return false;
        if (ma > 0xFFFFFFFFul || mi > 0xFFFFFFFFul) return false;
        *major = static_cast<u32>(ma);
        *minor = static_cast<u32>(mi);
        return true;
    } catch (...) {
        return false;
    }
}

// The first line of a small sysfs file, without its line feed.
bool ReadLine(const fs::path& p, std::string* out) {
    std::ifstream in(p);
    if (!in) return false;
    std::getline(in, *out);
    return true;
}

bool ReadNumber(const fs::path& p, u64* out) {
    std::string line;
    if (!ReadLine(p, &line)) return false;
    try {
        size_t used = 0;
        const unsigned long long v = std::stoull(line, &used, 10);
        if (used == 0) return false;
        *out = v;
        return true;
    } catch (...) {
        return false;
    }
}

bool SamePath(const std::string& a, const std::string& b) {
    std::error_code ea, eb;
    const fs::path ca = fs::weakly_canonical(a, ea);
    const fs::path cb = fs::weakly_canonical(b, eb);
    if (ea || eb) return a == b;
    return ca == cb;
}

u32 LogicalSectorSize(const fs::path& diskDir) {
    u64 v = 0;
    if (ReadNumber(diskDir / "queue" / "logical_block_size", &v) && v >= 512 && v <= 65536 && v % 512 == 0) {
        return static_cast<u32>(v);
    }
    return 512;
}
}  // namespace

std::vector<MountEntry> ParseMountInfo(const std::string& text) {
    std::vector<MountEntry> out;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::vector<std::string> f;
        std::string word;
        while (fields >> word) f.push_back(word);
        // id parent maj:min root mountpoint options [optional...] - fstype source superoptions
        size_t dash = 0;
        for (size_t i = 6; i < f.size(); ++i) {
            if (f[i] == "-") {
                dash = i;
                break;
            }
        }
        if (dash == 0 || dash + 2 >= f.size()) continue;
        MountEntry e;
        if (!ParseDeviceNumber(f[2], &e.major, &e.minor)) continue;
        e.root = DecodeOctalEscapes(f[3]);
        e.mountPoint = DecodeOctalEscapes(f[4]);
        e.fsType = DecodeOctalEscapes(f[dash + 1]);
        e.source = DecodeOctalEscapes(f[dash + 2]);
        out.push_back(std::move(e));
    }
    return out;
}

std::vector<MountEntry> ReadMountInfo() {
    std::ifstream in("/proc/self/mountinfo");
    if (!in) return {};
    std::stringstream ss;
    ss << in.rdbuf();
    return ParseMountInfo(ss.str());
}

bool LocateBlockDevice(u32 major, u32 minor, const std::vector<DiskTableEntry>& table, BlockDevicePlace* out,
                       const std::string& sysRoot) {
    if (!out) return false;
    std::error_code ec;
    const fs::path link = fs::path(sysRoot) / "dev" / "block" / (std::to_string(major) + ":" + std::to_string(minor));
    const fs::path dev = fs::canonical(link, ec);
    if (ec) return false;

    u64 sizeUnits = 0;  // sysfs counts 512-byte units whatever the sector size
    if (!ReadNumber(dev / "size", &sizeUnits)) return false;
    fs::path diskDir = dev;
    u64 startBytes = 0;
    if (fs::exists(dev / "partition", ec)) {
        u64 startUnits = 0;
        if (!ReadNumber(dev / "start", &startUnits)) return false;
        startBytes = startUnits * 512;
        diskDir = dev.parent_path();
    }
    const std::string diskName = diskDir.filename().string();

    for (size_t i = 0; i < table.size(); ++i) {
        const DiskTableEntry& entry = table[i];
        BlockDevicePlace place;
        place.diskNumber = static_cast<int>(i);
        place.lengthBytes = sizeUnits * 512;
        if (!entry.isImage) {
            if (entry.sysName.empty() || entry.sysName != diskName) continue;
            place.startBytes = startBytes;
            place.sectorSize = LogicalSectorSize(diskDir);
        } else {
            // An image is reached through a loop device that it backs.
            std::string backing;
            if (!ReadLine(diskDir / "loop" / "backing_file", &backing) || backing.empty()) continue;
            if (!SamePath(backing, entry.path)) continue;
            u64 offset = 0;
            ReadNumber(diskDir / "loop" / "offset", &offset);
            place.startBytes = offset + startBytes;
            place.sectorSize = entry.imageSectorSize ? entry.imageSectorSize : 512;
        }
        *out = place;
        return true;
    }
    return false;
}

namespace {
// Blocks of unit bytes, all ones when the product passes 2^64.
u64 BlockBytes(u64 blocks, u64 unit) {
    u64 bytes = 0;
    return __builtin_mul_overflow(blocks, unit, &bytes) ? ~u64(0) : bytes;
}

void FillVolumeSpace(const struct statvfs& st, VolumeSpace* out) {
    const u64 unit = st.f_frsize ? st.f_frsize : st.f_bsize;
    out->totalBytes = BlockBytes(st.f_blocks, unit);
    out->totalFreeBytes = BlockBytes(st.f_bfree, unit);
    out->freeBytesToCaller = BlockBytes(st.f_bavail, unit);
}

// Less than this in all is no file system to put files on.
constexpr u64 kMinDestinationBytes = 101;
}  // namespace

bool QueryVolumeSpace(const std::string& path, VolumeSpace* out) {
    if (!out) return false;
    struct statvfs st{};
    if (statvfs(path.c_str(), &st) != 0) return false;
    FillVolumeSpace(st, out);
    return true;
}

bool QueryVolumeSpaceAt(int folder, VolumeSpace* out) {
    if (!out || folder < 0) return false;
    struct statvfs st{};
    if (fstatvfs(folder, &st) != 0) return false;
    FillVolumeSpace(st, out);
    return true;
}

std::optional<u64> FolderFreeBytesAt(int folder) {
    VolumeSpace space;
    if (!QueryVolumeSpaceAt(folder, &space) || space.totalBytes < kMinDestinationBytes) return std::nullopt;
    return space.freeBytesToCaller;
}
