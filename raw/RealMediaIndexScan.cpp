#include "raw/RealMediaIndexScan.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "devices/StorageDevice.h"
#include "raw/ReadWindow.h"
#include "raw/WindowBytes.h"

namespace {
constexpr u32 kTailWord = 4;
}  // namespace

// "INDX", 20 bytes long, version 0, no entries, stream number 2, no further index.
const u8 CRmIndexMarkerScan::kMarker[kMarkerBytes] = {'I', 'N', 'D', 'X', 0, 0, 0, 0x14, 0, 0,
                                                      0,   0,   0,   0,   0, 2, 0, 0,    0, 0};

void CRmIndexMarkerScan::Reset() {
    m_reader = nullptr;
    m_sectorSize = 0;
    m_started = false;
    m_origin = 0;
    m_frontier = 0;
    m_hits.clear();
}

bool CRmIndexMarkerScan::SectorHit(const u8* sector, u32 sectorSize, const u8* before, Hit& hit) {
    if (sectorSize < kAroundBytes || ReadLE32(sector + sectorSize - kTailWord) != 0) return false;
    if (const u8* m = FindBytes(sector, static_cast<i32>(sectorSize), kMarker, kMarkerBytes)) {
        hit.within = true;
        hit.offset = static_cast<u32>(m - sector);
        return true;
    }
    if (!before) return false;
    u8 around[kAroundBytes];
    std::memcpy(around, before, kLookBack);
    std::memcpy(around + kLookBack, sector, kAroundBytes - kLookBack);
    if (!FindBytes(around, static_cast<i32>(kAroundBytes), kMarker, kMarkerBytes)) return false;
    hit.within = false;
    hit.offset = 0;
    return true;
}

void CRmIndexMarkerScan::StartAt(IStorageDevice* reader, u64 sector) {
    m_reader = reader;
    m_sectorSize = reader->GetSectorSize();
    m_origin = sector;
    m_frontier = sector;
    m_hits.clear();
    m_started = false;
    if (sector == 0 || m_sectorSize < kAroundBytes || m_sectorSize > kReadWindowLargestSector) return;
    std::vector<u8> previous(m_sectorSize, 0);
    if (reader->Read(previous.data(), sector - 1, 1) == 0) return;
    std::memcpy(m_before, previous.data() + m_sectorSize - kLookBack, kLookBack);
    m_started = true;
}

bool CRmIndexMarkerScan::Extend(u64 last) {
    // A window of its own for each call: between two sightings other walks use the shared buffer.
    ReadWindow window;
    ReadWindowOpen(window, m_reader, m_origin);
    const u32 s = m_sectorSize;
    bool ok = true;
    while (m_frontier <= last) {
        u32 available = 0;
        const u8* bytes = ReadWindowGetBytes(window, (m_frontier - m_origin) * s, &available);
        if (!bytes || available < s) {
            ok = false;
            break;
        }
        // Every whole sector the window holds is looked at from the one pointer.
        u64 n = std::min<u64>(available / s, last - m_frontier + 1);
        bool found = false;
        for (u64 i = 0; i < n; ++i) {
            const u8* sector = bytes + i * s;
            Hit hit;
            if (SectorHit(sector, s, m_before, hit)) {
                hit.sector = m_frontier;
                m_hits.push_back(hit);
                found = true;
            }
            std::memcpy(m_before, sector + s - kLookBack, kLookBack);
            ++m_frontier;
            if (found) break;
        }
        if (found) break;
    }
    ReadWindowClose(window);
    return ok;
}

bool CRmIndexMarkerScan::FirstHit(IStorageDevice* reader, u64 first, u64 last, Hit& hit, bool& answered) {
    answered = true;
    if (!reader || first == 0 || first > last || last >= reader->GetTotalSectors()) {
        answered = false;
        return false;
    }
    if (reader != m_reader || !m_started || first < m_origin || first > m_frontier) StartAt(reader, first);
    if (!m_started) {
        answered = false;
        return false;
    }
    while (!m_hits.empty() && m_hits.front().sector < first) m_hits.pop_front();
    if (m_hits.empty() && m_frontier <= last && !Extend(last)) {
        // Unreadable or stopped: the next sighting begins afresh.
        m_started = false;
        answered = false;
        return false;
    }
    if (m_hits.empty() || m_hits.front().sector > last) return false;
    hit = m_hits.front();
    return true;
}

u32 CRmIndexEnd::Measure(u64 bound, u64& size) {
    const u64 s = m_window.sectorSize;
    if (s == 0) return 0;
    const u64 last = bound / s;
    Hit hit;
    u64 unreadable = kNoSector;
    if (FirstHit(0, last, hit, unreadable)) {
        const u64 at = hit.sector * s;
        size = hit.within ? at + hit.offset + CRmIndexMarkerScan::kMarkerBytes : at + s;
        return 1;
    }
    if (unreadable == 0) return 0;
    size = unreadable == kNoSector ? (last + 1) * s : (unreadable - 1) * s;
    return 1;
}

bool CRmIndexEnd::FirstHit(u64 from, u64 last, Hit& hit, u64& unreadable) {
    IStorageDevice* reader = m_window.device;
    const u64 total = reader ? reader->GetTotalSectors() : 0;
    if (!m_shared || from != 0 || m_first >= total) return OwnFirstHit(from, last, hit, unreadable);
    // The file's own first sector has no bytes before it; the shared scan begins after it.
    if (OwnFirstHit(0, 0, hit, unreadable) || unreadable != kNoSector) return unreadable == kNoSector;
    const u64 lastOnDevice = std::min(last, total - 1 - m_first);
    if (lastOnDevice >= 1) {
        bool answered = false;
        Hit shared;
        const bool found = m_shared->FirstHit(reader, m_first + 1, m_first + lastOnDevice, shared, answered);
        m_windowStale = true;
        if (!answered) return OwnFirstHit(1, last, hit, unreadable);
        if (found) {
            hit = shared;
            hit.sector -= m_first;
            return true;
        }
    }
    return lastOnDevice < last && OwnFirstHit(lastOnDevice + 1, last, hit, unreadable);
}

bool CRmIndexEnd::OwnFirstHit(u64 from, u64 last, Hit& hit, u64& unreadable) {
    if (m_windowStale) {
        ReadWindowOpen(m_window, m_window.device, m_first);
        m_windowStale = false;
    }
    const u32 s = m_window.sectorSize;
    u8 before[CRmIndexMarkerScan::kLookBack];
    bool hasBefore = false;
    if (from > 0) {
        if (const u8* b = WindowBytes(m_window, from * s - CRmIndexMarkerScan::kLookBack, CRmIndexMarkerScan::kLookBack)) {
            std::memcpy(before, b, sizeof before);
            hasBefore = true;
        }
    }
    for (u64 k = from; k <= last; ++k) {
        const u8* sector = WindowBytes(m_window, k * s, s);
        if (!sector) {
            unreadable = k;
            return false;
        }
        if (CRmIndexMarkerScan::SectorHit(sector, s, hasBefore ? before : nullptr, hit)) {
            hit.sector = k;
            return true;
        }
        std::memcpy(before, sector + s - CRmIndexMarkerScan::kLookBack, sizeof before);
        hasBefore = true;
    }
    return false;
}
