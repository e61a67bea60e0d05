#pragma once
// What the length walks of one scan's files share from one file to the next, whichever analyser
// walks them. The RAW search makes one of these per scan and hands it to each record it books,
// and the walks of those records (in the block loop or in the lost-file pass after it) find it
// there. A record without one is walked alone. The analysers serve every scan of the process: one
// that keeps something of its own last walk (the MPEG analyser its stream) ties it to this object,
// so that a later scan does not meet it.
#include "raw/RealMediaIndexScan.h"

class CRawScanState {
public:
    CRmIndexMarkerScan& RealMediaIndex() { return m_realMediaIndex; }

private:
    CRmIndexMarkerScan m_realMediaIndex;
};
