#pragma once
// The end-marker search of RealMedia files with a video stream looks, sector by sector from the
// file's start, for the first sector that ends in a zero word and holds the marker of the last
// index chunk (or has it across its start). Where no such sector follows, the search runs to
// its bound or to the device's end, and every further sighting before that marker would read
// the same sectors again: a dense disk holds many ".RMF" sightings, most of them false.
//
// The sectors' answers do not depend on where the search began (only the file's own first
// sector lacks the bytes before it, and the end rule looks at that one itself), so one scan
// serves every sighting of a device in one RAW search (it lives in the search's CRawScanState):
// it moves forward from the first sighting, keeps the marker sectors it met ahead of the
// sightings still to come, and reads each sector once. Sightings are sized in ascending order,
// as the RAW search books them.
#include <deque>

#include "platform/Types.h"

class IStorageDevice;
struct ReadWindow;

class CRmIndexMarkerScan {
public:
    // The marker: an "INDX" chunk of 20 bytes that names no further index.
    static constexpr u32 kMarkerBytes = 20;
    static const u8 kMarker[kMarkerBytes];
    // A marker across a sector's start lies in the 64 bytes from 32 before it.
    static constexpr u32 kLookBack = 32;
    static constexpr u32 kAroundBytes = 64;

    struct Hit {
        u64 sector = 0;
        bool within = false;  // the marker lies inside the sector, at `offset`; else across its start
        u32 offset = 0;
    };

    // Forgets everything; a new scan (or another device) begins.
    void Reset();

    // The first marker sector in [first, last] of the reader's device, both below its end and
    // `first` above the file's first sector; false in `answered` when the device could not be
    // read there or the scan was stopped (the caller then walks the file itself).
    bool FirstHit(IStorageDevice* reader, u64 first, u64 last, Hit& hit, bool& answered);

    // Whether a sector (of `sectorSize` bytes, with the 32 bytes before it in `before`, or none)
    // ends the search, and how.
    static bool SectorHit(const u8* sector, u32 sectorSize, const u8* before, Hit& hit);

private:
    void StartAt(IStorageDevice* reader, u64 sector);
    // Looks at sectors from the frontier up to `last` until one holds the marker.
    bool Extend(u64 last);

    IStorageDevice* m_reader = nullptr;
    u32 m_sectorSize = 0;
    bool m_started = false;
    u64 m_origin = 0;    // where the present scan began
    u64 m_frontier = 0;  // every sector from the origin below it has been looked at
    u8 m_before[kLookBack] = {};  // the last bytes of the sector before the frontier
    std::deque<Hit> m_hits;       // marker sectors from the origin below the frontier, ascending
};

// The end of a RealMedia file with a video stream: from its first sector on (k = 0, 1, ... while
// k x s stays within the bound), the first sector that ends in a zero word and holds the marker
// ends the file after the marker, one that has the marker across its start ends it with itself.
// Where a sector can no longer be read the file ends with the one before (no file when that is
// the first); past the bound, with the last sector looked at. The device's sectors after the
// first are looked at through the scan shared by the sightings of the device when the file's
// scan holds one, otherwise (and where that scan cannot answer, and past the device's end)
// through the file's own window, which reads zeros past the end up to its next window.
class CRmIndexEnd {
public:
    // `window` is open over the file; `shared` may be null.
    CRmIndexEnd(ReadWindow& window, u64 firstSector, CRmIndexMarkerScan* shared)
        : m_window(window), m_first(firstSector), m_shared(shared) {}

    // 1 and the size; 0 when the file's first sector cannot be read.
    u32 Measure(u64 bound, u64& size);

private:
    static constexpr u64 kNoSector = ~u64(0);
    using Hit = CRmIndexMarkerScan::Hit;

    // The first sector of [from, last] (from the file's first sector) that ends the search;
    // otherwise false, with the first sector that could not be read in `unreadable`, or kNoSector.
    bool FirstHit(u64 from, u64 last, Hit& hit, u64& unreadable);
    bool OwnFirstHit(u64 from, u64 last, Hit& hit, u64& unreadable);

    ReadWindow& m_window;
    u64 m_first;
    CRmIndexMarkerScan* m_shared;
    bool m_windowStale = false;  // the shared scan has read into the buffer behind the window
};
