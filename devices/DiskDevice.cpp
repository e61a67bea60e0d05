#include "devices/DiskDevice.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <set>
#include <string>
#include <vector>

#include "devices/ScanOptions.h"
#include "platform/DeviceWatch.h"
#include "platform/Errors.h"
#include "platform/Log.h"
#include "platform/Text.h"

namespace {

constexpr u32 kMaxNotReadyReopens = 3;
constexpr u32 kReadAttempts = 3;
constexpr u32 kBadAreaUnit = 2048;
constexpr u32 kBadAreaMinUnits = 10;
constexpr u32 kBadAreaMaxUnits = 50;
constexpr u32 kGrowingBufferFirst = 5952;
constexpr u32 kGrowingBufferStep = 3840;
constexpr u32 kGrowingBufferLimit = 16u << 20;
// An extended-partition chain longer than this is damaged (or loops); a disk holds far fewer.
constexpr u32 kMaxChainTables = 256;

u64 SaturatingAdd(u64 a, u64 b) { return a > UINT64_MAX - b ? UINT64_MAX : a + b; }

bool IsExtendedType(u8 type) { return type == 0x05 || type == 0x0F || type == 0x85; }

// Descriptor texts come padded with spaces: drop the leading ones and cut at the first double
// space, keeping one space.
std::string TidyText(std::string text) {
    const size_t first = text.find_first_not_of(' ');
    text.erase(0, first == std::string::npos ? text.size() : first);
    const size_t pair = text.find("  ");
    if (pair != std::string::npos) text.resize(pair + 1);
    return text;
}

void CopyDescriptorText(const u8* descriptor, u32 size, u32 offset, char* field) {
    if (offset >= size) return;  // points outside what the device returned
    const u8* begin = descriptor + offset;
    const u8* nul = static_cast<const u8*>(std::memchr(begin, 0, size - offset));
    const size_t length = nul ? static_cast<size_t>(nul - begin) : size - offset;
    const std::string text = TidyText(std::string(reinterpret_cast<const char*>(begin), length));
    CopyUtf8Bounded(field, kDiskTextSize, text);
}

}  // namespace

const char* BusTypeName(u32 busType) {
    switch (busType) {
        case bus_type::kScsi: return "SCSI Disk Device";
        case bus_type::kAtapi: return "ATAPI Bus";
        case bus_type::kAta: return "ATA Bus";
        case bus_type::k1394: return "1394 Disk Device";
        case bus_type::kSsa: return "SSA Disk Device";
        case bus_type::kFibre: return "FIBER Disk Device";
        case bus_type::kUsb: return "USB Device";
        case bus_type::kRaid: return "RAID Disk Device";
        default: return "";
    }
}

void ParseStorageDescriptor(const u8* descriptor, u32 size, DiskDescription* out) {
    std::memset(out, 0, sizeof(*out));
    if (!descriptor || size < kStorageDescriptorHeaderSize) return;
    out->busType = ReadLE32(descriptor + 28);
    CopyUtf8Bounded(out->busName, kDiskTextSize, BusTypeName(out->busType));
    const u32 productOffset = ReadLE32(descriptor + 16);
    const u32 revisionOffset = ReadLE32(descriptor + 20);
    const u32 vendorOffset = ReadLE32(descriptor + 12);
    const u32 serialOffset = ReadLE32(descriptor + 24);
    if (productOffset != 0) CopyDescriptorText(descriptor, size, productOffset, out->product);
    if (revisionOffset != 0) CopyDescriptorText(descriptor, size, revisionOffset, out->revision);
    if (vendorOffset != 0) CopyDescriptorText(descriptor, size, vendorOffset, out->vendor);
    if (serialOffset != 0 && serialOffset != 0xFFFFFFFFu)
        CopyDescriptorText(descriptor, size, serialOffset, out->serialNumber);
}

// ---------------------------------------------------------------------------------------------
// Bad-sector map

CBadSectorMap::~CBadSectorMap() { ClearBadRanges(); }

u32 CBadSectorMap::AddBadRange(u64 first, u64 end) {
    CsGuard guard(m_lock);
    try {
        m_ranges.emplace(first, BadSectorRange{first, end});
    } catch (const std::bad_alloc&) {
        return win32::kNotEnoughMemory;
    }
    return 0;
}

bool CBadSectorMap::IsInBadRange(u64 first, u64 end) {
    CsGuard guard(m_lock);
    if (m_ranges.empty() || first >= end) return false;
    // Ranges are keyed by their start, so only those starting before `end` can meet it; a range
    // holds the sectors before its end sector, as a request does, so one that only touches the
    // request's edge holds none of its sectors.
    const auto last = m_ranges.lower_bound(end);
    for (auto it = m_ranges.begin(); it != last; ++it) {
        if (first < it->second.endSector) return true;
    }
    return false;
}

void CBadSectorMap::ClearBadRanges() {
    CsGuard guard(m_lock);
    m_ranges.clear();
}

std::vector<BadSectorRange> CBadSectorMap::GetRanges() {
    CsGuard guard(m_lock);
    std::vector<BadSectorRange> out;
    for (const auto& kv : m_ranges) out.push_back(kv.second);
    return out;
}

void CBadSectorMap::SetSectorSize(u32 bytes) {
    CsGuard guard(m_lock);
    m_sectorSize = bytes;
}

u32 CBadSectorMap::GetSectorSize() {
    CsGuard guard(m_lock);
    return m_sectorSize;
}

// ---------------------------------------------------------------------------------------------
// Disk device

CDiskDevice::CDiskDevice(i32 diskNumber) : m_diskNumber(diskNumber) { Open(); }

CDiskDevice::CDiskDevice(i32 diskNumber, const DiskTableEntry& entry) : m_diskNumber(diskNumber) {
    m_identity.entry = entry;
    Open();
}

CDiskDevice::~CDiskDevice() {
    Close();
    std::free(m_bounceBuffer);
    m_bounceBuffer = nullptr;
    m_badSectors.ClearBadRanges();
}

i32 CDiskDevice::GetDiskNumber() const { return (m_diskNumber >= 0 && m_diskNumber <= 20) ? m_diskNumber : -1; }

u32 CDiskDevice::Open() {
    if (m_diskNumber < 0 || m_diskNumber > kMaxDiskNumber) return 0;
    if (IsOpen()) Close();
    DiskHandle handle;
    // Once opened, the device stays that disk: opening it again goes through the table entry it
    // was opened with, not through whatever the disk table lists under its number by now.
    bool opened;
    if (m_identified) {
        opened = DiskReopen(m_identity, &handle);
    } else if (!m_identity.entry.path.empty()) {
        opened = DiskOpenEntry(m_identity.entry, m_diskNumber, &handle);
    } else {
        opened = DiskOpen(m_diskNumber, &handle);
    }
    if (!opened) {
        m_handle = DiskHandle();
        return 0;
    }
    m_handle = handle;
    m_identity = handle;
    m_identity.fd = -1;
    m_identified = true;
    if (!DiskGetLength(m_handle, &m_bytesAtOpen)) m_bytesAtOpen = 0;
    const u32 sectorSize = GetSectorSize();
    const u64 total = GetTotalSectors();
    m_dynamicDisk = DetectDynamicDisk(total, sectorSize) ? 1 : 0;
    return 1;
}

u32 CDiskDevice::Close() {
    if (IsOpen()) DiskClose(&m_handle);
    m_handle = DiskHandle();
    return 1;
}

bool CDiskDevice::GetGeometry(DiskGeometry* out) {
    if (!IsOpen()) return false;
    if (!DiskStillThere(m_handle, m_bytesAtOpen)) {
        SetLastErrorCode(win32::kDeviceNotConnected);
        return false;
    }
    return DiskGetGeometry(m_handle, out);
}

u32 CDiskDevice::GetSectorSize() {
    if (m_sectorSize > 0) return m_sectorSize;
    if (!IsOpen()) return 0;
    DiskGeometry g {};
    u32 size = 512;
    if (DiskGetGeometry(m_handle, &g) && g.bytesPerSector != 0 && g.bytesPerSector % 512 == 0) size = g.bytesPerSector;
    m_sectorSize = size;
    return m_sectorSize;
}

u64 CDiskDevice::GetTotalSectors() {
    if (m_totalSectors > 0) return m_totalSectors;
    if (!IsOpen()) return 0;
    DiskGeometry g {};
    if (!DiskGetGeometry(m_handle, &g)) return 0;
    const u32 sectorSize = (g.bytesPerSector != 0 && g.bytesPerSector % 512 == 0) ? g.bytesPerSector : 512;
    m_sectorSize = sectorSize;
    m_badSectors.SetSectorSize(sectorSize);

    const u64 cylinder = u64(g.tracksPerCylinder) * g.sectorsPerTrack;
    const u64 geometric = g.cylinders * cylinder;
    u64 total = geometric;
    u64 length = 0;
    if (DiskGetLength(m_handle, &length) && length / sectorSize >= geometric) {
        total = length / sectorSize;
    } else {
        u64 capacity[2] = {0, 0};
        for (u8 target = 0; target < 2; ++target) {
            u8 out[kScsiPassThroughOutputSize] = {};
            u32 returned = 0;
            if (DiskScsiReadCapacity(m_handle, target, out, sizeof(out), &returned) &&
                returned == kScsiPassThroughOutputSize)
                capacity[target] = u64(ReadBE32(out + kScsiPassThroughDataOffset)) + 1;
        }
        const u64 upper = geometric + cylinder;
        auto within = [&](u64 c) { return c > geometric && c < upper; };
        if (capacity[0] == capacity[1]) {
            if (capacity[0] != 0 && within(capacity[0])) total = capacity[0];
        } else if (within(capacity[0])) {
            total = capacity[0];
        } else if (within(capacity[1])) {
            total = capacity[1];
        }
    }
    m_totalSectors = total;
    return m_totalSectors;
}

bool CDiskDevice::QueryWithGrowingBuffer(u8** out, u32 controlCode) {
    *out = nullptr;
    u32 size = kGrowingBufferFirst;
    while (size <= kGrowingBufferLimit) {
        u8* buffer = new u8[size];
        u32 returned = 0;
        if (DiskDeviceControl(m_handle, controlCode, buffer, size, &returned)) {
            *out = buffer;
            return true;
        }
        const u32 error = GetLastErrorCode();
        delete[] buffer;
        if (error != win32::kInsufficientBuffer) return false;
        size += kGrowingBufferStep;
    }
    return false;
}

bool CDiskDevice::GetDiskDescription(DiskDescription* out) {
    std::memset(out, 0, sizeof(*out));
    if (m_diskNumber < 0) return false;
    const u32 size = GetSectorSize() + 39;
    std::vector<u8> buffer(size);
    u32 returned = 0;
    const bool described = m_identity.entry.path.empty()
                               ? DiskQueryDescriptor(m_diskNumber, buffer.data(), size, &returned)
                               : DiskQueryDescriptor(m_identity.entry, buffer.data(), size, &returned);
    if (!described) return false;
    ParseStorageDescriptor(buffer.data(), std::min(returned, size), out);
    return true;
}

bool CDiskDevice::DetectDynamicDisk(u64 totalSectors, u32 sectorSize) {
    if (sectorSize == 0 || totalSectors < 7) return false;
    // Read fills a whole device sector whatever size the caller names.
    const u32 bufferSize = std::max(sectorSize, GetSectorSize());
    if (bufferSize < 512) return false;
    std::vector<u8> sector(bufferSize);

    bool dynamic = false;
    std::set<u64> visited;
    u64 table = 0;
    u64 base = 0;
    for (u32 walked = 0; walked < kMaxChainTables && !dynamic; ++walked) {
        // A chain that points back at a table it has read, or off the disk, ends here.
        if (table >= totalSectors || !visited.insert(table).second) break;
        if (!Read(sector.data(), table, 1)) break;
        bool extended = false;
        u64 next = 0;
        for (int i = 0; i < 4; ++i) {
            const u8* entry = sector.data() + 446 + 16 * i;
            const u8 type = entry[4];
            if (type == 0x42) {
                dynamic = true;
                break;
            }
            if (IsExtendedType(type) && !extended) {
                extended = true;
                next = u64(ReadLE32(entry + 8)) + base;
            }
        }
        if (dynamic || !extended) break;
        if (table == 0) base = next;
        table = next;
    }

    // An MBR entry decided it; otherwise the protective MBR and the GPT entries do (sector 6 holds
    // nothing either test looks at, so its read is not made).
    if (dynamic) return true;
    if (!Read(sector.data(), 0, 1)) return false;
    if (sector[446 + 4] != 0xEE) return false;
    if (!Read(sector.data(), 2, 1)) return false;

    static const char16_t kMetadata[] = u"LDM metadata partition";
    static const char16_t kData[] = u"LDM data partition";
    u8 metadataName[44];
    u8 dataName[36];
    for (size_t i = 0; i < 22; ++i) WriteLE16(metadataName + 2 * i, static_cast<u16>(kMetadata[i]));
    for (size_t i = 0; i < 18; ++i) WriteLE16(dataName + 2 * i, static_cast<u16>(kData[i]));
    bool hasMetadata = false;
    bool hasData = false;
    for (int i = 0; i < 4; ++i) {
        const u8* name = sector.data() + 128 * i + 56;
        if (std::memcmp(name, metadataName, 43) == 0) hasMetadata = true;
        if (std::memcmp(name, dataName, 35) == 0) hasData = true;
    }
    return hasMetadata && hasData;
}

u32 CDiskDevice::TreatAsBadArea(const DiskHandle& handle, void* buffer, u64 first, u64 count) {
    std::memset(buffer, 0, count * GetSectorSize());
    UpdateBadSector(handle, first, kBadAreaUnit, kBadAreaMinUnits, kBadAreaMaxUnits);
    return 1;
}

u32 CDiskDevice::ReadSector(const DiskHandle& handle, void* buffer, u64 first, u64 count, bool skip, u32* error) {
    *error = 0;
    const u32 sectorSize = GetSectorSize();
    if (static_cast<i64>(count) < 0 || (sectorSize != 0 && count >= (u64(1) << 32) / sectorSize)) {
        LogInfo("-----------------Pxv:Read sector parameter error = %lld---------------",
                static_cast<long long>(count));
        return 0;
    }
    const u64 bytes = count * sectorSize;
    if (!handle.IsValid() || sectorSize == 0) {
        std::memset(buffer, 0, bytes);
        return 0;
    }
    if (skip && ReadsAsBadArea(first, count)) {
        std::memset(buffer, 0, bytes);
        return 1;
    }

    u64 done = 0;
    bool ok = false;
    if (first <= UINT64_MAX / sectorSize) {
        ok = DiskReadAt(handle, buffer, first * sectorSize, bytes, &done);
        if (!ok) *error = GetLastErrorCode();
    } else {
        *error = win32::kSeek;
    }
    if (ok && (done + sectorSize - 1) / sectorSize == count) {
        // A trailing partial sector must not show what the buffer held before.
        std::memset(static_cast<u8*>(buffer) + done, 0, bytes - done);
        return 1;
    }
    if (!skip) {
        LogInfo("ReadSector find bad sector , not ignored\n");
        // A failed transfer leaves zeros, never what the buffer held from an earlier read.
        std::memset(buffer, 0, bytes);
        return 0;
    }
    if (ok) {
        // The read ended early without an error: it met the device's end. What lies past it is
        // no bad media; taking it for a bad area would make the sectors before the end read as
        // zeros from then on.
        std::memset(static_cast<u8*>(buffer) + done, 0, bytes - done);
        return 0;
    }
    // A device that is not ready is not bad media: Read re-opens it and tries again first.
    if (*error == win32::kNotReady) return 0;
    return TreatAsBadArea(handle, buffer, first, count);
}

void CDiskDevice::UpdateBadSector(const DiskHandle& handle, u64 start, u32 unit, u32 minUnits, u32 maxUnits) {
    LogInfo("UpdateBadSector start = %llu\n", static_cast<unsigned long long>(start));
    if (!handle.IsValid()) return;
    if (unit == 0) unit = 1;
    const u64 sectorSize = m_badSectors.GetSectorSize();
    const u64 unitBytes = u64(unit) * sectorSize;
    u8* probe = nullptr;
    try {
        probe = new u8[unitBytes];
    } catch (const std::bad_alloc&) {
        probe = nullptr;
    }
    u64 units = minUnits;
    if (probe) {
        u32 n = maxUnits;
        while (n > minUnits) {
            LogInfo("UpdateBadSector nBadSectorUnitCount = %d\n", static_cast<int>(n));
            const u64 sector = SaturatingAdd(start, u64(n) * unit);
            if (sector > UINT64_MAX / sectorSize) break;
            u64 done = 0;
            if (!DiskReadAt(handle, probe, sector * sectorSize, unitBytes, &done) || done != unitBytes) break;
            n /= 2;
            if (n < minUnits) {
                n = minUnits;
                break;
            }
        }
        units = n;
        delete[] probe;
    }
    const u64 end = SaturatingAdd(start, units * unit);
    LogInfo("UpdateBadSector find bad sector i64StartOffset = %llu, i64EndOffset = %llu\n",
            static_cast<unsigned long long>(start), static_cast<unsigned long long>(end));
    m_badSectors.AddBadRange(start, end);
}

bool CDiskDevice::ReadsAsBadArea(u64 first, u64 count) {
    return m_badSectors.IsInBadRange(first, SaturatingAdd(first, count));
}

bool CDiskDevice::HasUnreadSectors(u64 firstSector, u64 count) {
    if (IStorageDevice::HasUnreadSectors(firstSector, count)) return true;
    // With skipping off a read of a bad area fails instead.
    return count != 0 && GetScanOptions().GetSkipBadSectors() != 0 && ReadsAsBadArea(firstSector, count);
}

u32 CDiskDevice::Read(void* buffer, u64 firstSector, u64 count) {
    CsGuard guard(m_lock);
    const u32 sectorSize = GetSectorSize();
    // A request ReadSector refuses moves no data, so only a valid one may use the bounce buffer.
    const bool valid = static_cast<i64>(count) >= 0 && (sectorSize == 0 || count < (u64(1) << 32) / sectorSize);
    const u64 bytes = valid ? count * sectorSize : 0;
    if (!m_bounceBuffer) m_bounceBuffer = static_cast<u8*>(std::aligned_alloc(4096, kBounceBufferSize));
    u8* target = (valid && m_bounceBuffer && bytes <= kBounceBufferSize) ? m_bounceBuffer : static_cast<u8*>(buffer);
    const bool skip = GetScanOptions().GetSkipBadSectors() != 0;

    u32 result = 0;
    u32 error = 0;
    if (m_reopening) {
        // A read made while re-opening (the dynamic-disk check) gets one attempt, so a disk that
        // stays not ready cannot nest re-opens without end.
        result = ReadSector(m_handle, target, firstSector, count, skip, &error);
    } else {
        for (u32 attempt = 0; attempt < kReadAttempts; ++attempt) {
            error = 0;
            result = ReadSector(m_handle, target, firstSector, count, skip, &error);
            if (error == win32::kNotReady && m_notReadyCount < static_cast<i32>(kMaxNotReadyReopens)) {
                ++m_notReadyCount;
                LogInfo("--------------Pxv:Disk Device 0x%x not ready ,we will try to read again",
                        static_cast<unsigned>(m_handle.fd));
                m_reopening = true;
                Close();
                Open();
                m_reopening = false;
                LogInfo("--------------Pxv:Disk Device handle = 0x%x", static_cast<unsigned>(m_handle.fd));
                continue;
            }
            m_notReadyCount = 0;
            break;
        }
        // Retries did not help: with skipping on the area is now treated as bad media.
        if (result == 0 && error == win32::kNotReady && skip) result = TreatAsBadArea(m_handle, target, firstSector, count);
    }
    if (target == m_bounceBuffer && target != buffer) std::memcpy(buffer, m_bounceBuffer, bytes);
    return result;
}
