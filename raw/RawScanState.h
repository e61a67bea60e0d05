#pragma once
// What the length walks of one scan's files share from one file to the next. The analysers serve
// every scan of the process, so they keep nothing of a scan: the RAW search makes one of these
// per scan and hands it to each record it books, and the walks of those records (in the block
// loop or in the lost-file pass after it) find it there. A record without one is walked alone.
#include "raw/RealMediaIndexScan.h"

class CRawScanState {
public:
    // The sectors of an MPEG stream sized last: the pack headers inside it are no files of their own.
    struct MpegStream {
        u64 firstSector = 0;
        u64 sectors = 0;
    };

    CRmIndexMarkerScan& RealMediaIndex() { return m_realMediaIndex; }
    MpegStream& LastMpegStream() { return m_lastMpegStream; }

private:
    CRmIndexMarkerScan m_realMediaIndex;
    MpegStream m_lastMpegStream;
};
