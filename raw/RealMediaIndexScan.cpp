#include "raw/RealMediaIndexScan.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "devices/StorageDevice.h"
#include "raw/ReadWindow.h"

namespace {
constexpr u32 kTailWord = 4;
}  // namespace

const u8 CRmIndexMarkerScan::kMarker[kMarkerBytes] = {'I', 'N', 'D', 'X', 0, 0, 0, 0x14, 0, 0,
                                                      0,   0,   0,   2,   0, 0, 0, 0,    0, 0};

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

bool CRmIndexMarkerScan::DeviceTail(IStorageDevice* reader, u8 (&tail)[kLookBack]) {
    const u64 total = reader ? reader->GetTotalSectors() : 0;
    const u32 s = reader ? reader->GetSectorSize() : 0;
    if (total == 0 || s < kLookBack) return false;
    std::vector<u8> sector(s, 0);
    if (reader->Read(sector.data(), total - 1, 1) == 0) return false;
    std::memcpy(tail, sector.data() + s - kLookBack, kLookBack);
    return true;
}
