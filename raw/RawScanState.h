#pragma once
// What the length walks of one scan's files share from one file to the next, whichever analyser
// walks them. The RAW search makes one of these per scan and hands it to each record it books,
// and the walks of those records (in the block loop or in the lost-file pass after it) find it
// there. A record without one is walked alone. The analysers serve every scan of the process: one
// that keeps something of its own last walk (the MPEG analyser its stream) ties it to this object,
// so that a later scan does not meet it.
#include "platform/Types.h"
#include "raw/RealMediaIndexScan.h"

// The TAR archive the search passes through, in device bytes. Each member header of an archive
// bears the archive's mark, so every one would be found as an archive of its own, running to
// the archive's end: a header is a new archive only when it is neither the header the one met
// before announces nor inside that one's member data.
class CTarArchiveTrail {
public:
    // Whether the member header at byte `at`, whose member data and padding end at byte `next`
    // (where the next header lies), begins an archive. Asked again for the same header, it
    // answers the same. A header inside a member's data leaves the trail where it is.
    bool BeginsArchive(u64 at, u64 next) {
        if (m_open && at == m_member) return m_memberBegins;
        if (m_open && at > m_member && at < m_next) return false;
        m_memberBegins = !(m_open && at == m_next);
        m_open = true;
        m_member = at;
        m_next = next;
        return m_memberBegins;
    }

private:
    bool m_open = false;
    bool m_memberBegins = false;
    u64 m_member = 0;  // the header met last
    u64 m_next = 0;    // where it says the next one lies
};

class CRawScanState {
public:
    explicit CRawScanState(u32 sectorSize = 512) : m_sectorSize(sectorSize) {}

    CRmIndexMarkerScan& RealMediaIndex() { return m_realMediaIndex; }
    CTarArchiveTrail& TarTrail() { return m_tarTrail; }
    // Bytes per sector of the scanned device.
    u32 SectorSize() const { return m_sectorSize; }

private:
    u32 m_sectorSize;
    CRmIndexMarkerScan m_realMediaIndex;
    CTarArchiveTrail m_tarTrail;
};
