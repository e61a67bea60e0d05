#include "devices/StorageDevice.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "devices/SimulateDevice.h"

IStorageDevice::~IStorageDevice() { delete m_view512; }

bool IStorageDevice::HasUnreadSectors(u64 firstSector, u64 count) {
    const u64 total = GetTotalSectors();
    return count != 0 && total != 0 && (firstSector >= total || count > total - firstSector);
}

IStorageDevice* IStorageDevice::Get512ByteSectorDevice() {
    if (GetSectorSize() == 512) return this;
    if (!m_view512) {
        try {
            m_view512 = new CSimulateStorageDevice(this);
        } catch (const std::bad_alloc&) {
            return nullptr;
        }
    }
    return m_view512;
}

void AppendSectorRange(SectorRanges& ranges, u64 first, u64 count) {
    if (count == 0) return;
    if (!ranges.empty() && ranges.back().first + ranges.back().count == first) {
        ranges.back().count += count;
        return;
    }
    ranges.push_back({first, count});
}

void JoinSectorRanges(SectorRanges& ranges) {
    std::sort(ranges.begin(), ranges.end(), [](const SectorRange& a, const SectorRange& b) { return a.first < b.first; });
    SectorRanges joined;
    for (const SectorRange& r : ranges) {
        if (!joined.empty() && r.first <= joined.back().first + joined.back().count) {
            const u64 end = std::max(joined.back().first + joined.back().count, r.first + r.count);
            joined.back().count = end - joined.back().first;
        } else if (r.count != 0) {
            joined.push_back(r);
        }
    }
    ranges.swap(joined);
}

void FindUnreadSectors(IStorageDevice& device, u64 first, u64 count, SectorRanges& out) {
    if (count == 0 || !device.HasUnreadSectors(first, count)) return;
    // Parts known to hold an unread sector; the left one is taken first, so out stays in order.
    SectorRanges pending{{first, count}};
    while (!pending.empty()) {
        const SectorRange r = pending.back();
        pending.pop_back();
        if (r.count == 1) {
            AppendSectorRange(out, r.first, 1);
            continue;
        }
        const SectorRange left{r.first, r.count / 2};
        const SectorRange right{r.first + left.count, r.count - left.count};
        if (device.HasUnreadSectors(right.first, right.count)) pending.push_back(right);
        if (device.HasUnreadSectors(left.first, left.count)) pending.push_back(left);
    }
}

namespace {
bool AllZero(const u8* p, size_t bytes) {
    return bytes == 0 || (p[0] == 0 && std::memcmp(p, p + 1, bytes - 1) == 0);
}

// What a read of r into `at` (result readOk) leaves to do: sectors found unread are zeroed and
// go to unread; the readable sectors between them that came back as zeros (a disk answers a
// request that meets its bad area with zeros throughout), and the halves of a failed read, go to
// again.
void SettleRead(IStorageDevice& device, bool readOk, const SectorRange& r, u8* at, size_t sectorSize,
                SectorRanges& unread, SectorRanges& again) {
    if (readOk) {
        // FindUnreadSectors asks of the whole range first: a read without unread sectors costs
        // that one question.
        SectorRanges found;
        FindUnreadSectors(device, r.first, r.count, found);
        // None, or a device that says "unread" of the whole but of no part: it keeps what it gave.
        if (found.empty()) return;
        auto readAgain = [&](u64 first, u64 end) {
            if (first < end && AllZero(at + (first - r.first) * sectorSize, (end - first) * sectorSize)) {
                again.push_back({first, end - first});
            }
        };
        u64 cursor = r.first;
        for (const SectorRange& f : found) {
            std::memset(at + (f.first - r.first) * sectorSize, 0, f.count * sectorSize);
            unread.push_back(f);
            readAgain(cursor, f.first);
            cursor = f.first + f.count;
        }
        readAgain(cursor, r.first + r.count);
        return;
    }
    std::memset(at, 0, r.count * sectorSize);
    if (r.count == 1) {
        unread.push_back(r);
        return;
    }
    const u64 half = r.count / 2;
    again.push_back({r.first + half, r.count - half});
    again.push_back({r.first, half});
}
}  // namespace

void ReadEverySector(IStorageDevice& device, void* buffer, u64 first, u64 count, SectorRanges& unread) {
    if (count == 0) return;
    u8* base = static_cast<u8*>(buffer);
    const size_t sectorSize = device.GetSectorSize();
    SectorRanges found;
    SectorRanges again;
    SettleRead(device, device.Read(base, first, count) != 0, {first, count}, base, sectorSize, found, again);
    // Every part read again is smaller than the one it came from, so this ends.
    while (!again.empty()) {
        const SectorRange r = again.back();
        again.pop_back();
        u8* at = base + (r.first - first) * sectorSize;
        SettleRead(device, device.Read(at, r.first, r.count) != 0, r, at, sectorSize, found, again);
    }
    JoinSectorRanges(found);
    for (const SectorRange& f : found) AppendSectorRange(unread, f.first, f.count);
}

bool ReportsUnread(IStorageDevice& device, const SectorRanges& ranges) {
    for (const SectorRange& r : ranges) {
        SectorRanges reported;
        FindUnreadSectors(device, r.first, r.count, reported);
        u64 sectors = 0;
        for (const SectorRange& f : reported) sectors += f.count;
        if (sectors != r.count) return false;
    }
    return true;
}
