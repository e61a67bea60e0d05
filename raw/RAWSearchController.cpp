#include "raw/RAWSearchController.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <new>

#include "devices/CachedStorageDevice.h"
#include "devices/ScanOptions.h"
#include "devices/StorageDevice.h"
#include "engine/Progress.h"
#include "engine/RawFileInfo.h"
#include "engine/RawFileInfoPool.h"
#include "raw/AnalyserRegistry.h"
#include "raw/RawFileAnalyser.h"
#include "raw/RawScanState.h"

namespace {

constexpr u32 kSignatureSet = 0;
constexpr u64 kContinuePollSectors = 64;

// The progress of the RAW search that runs now; one runs at a time, on the scan thread.
std::atomic<IProgress*> g_continueHolder{nullptr};

bool StopRequested() { return GetScanOptions().IsStopRequested(); }

// An analyser that throws has not recognised the sector (or finished its walk). A size the
// header states (the file is not walked then) that runs past the end of the device is no match
// either: a few bytes that happen to look like a header (an MP3 frame holding "FWS") would
// otherwise be written out as gigabytes of zeros.
// `held` is how many bytes from the sector's start the caller's buffer holds.
u32 TryHeader(IRawFileAnalyser* analyser, const u8* sector, u32 held, CRawFileInfo& record, u64 bytesToEnd) {
    u32 result = 0;
    try {
        result = analyser->CheckFileHeader(sector, held, record);
    } catch (...) {
        result = 0;
    }
    if (result != 0 && record.size > bytesToEnd) result = 0;
    // What a check that said no wrote into the record must not reach the next analyser or file;
    // where the record is looked for, and the scan it is looked for in, stay.
    if (result == 0) {
        const u64 startSector = record.startSector;
        std::shared_ptr<CRawScanState> scan = std::move(record.scan);
        record = CRawFileInfo();
        record.startSector = startSector;
        record.scan = std::move(scan);
    }
    return result;
}

}  // namespace

u32 RawContinueCheck() {
    IProgress* progress = g_continueHolder.load(std::memory_order_acquire);
    return progress ? progress->Continued() : 1;
}

ICompleteFileSystemSearchController* CreateRAWSearchController() {
    return new (std::nothrow) CRAWSearchController();
}

CRAWSearchController::CRAWSearchController() : CRAWSearchController(CRawFileAnalyserRegistry::Instance()) {}

CRAWSearchController::CRAWSearchController(const CRawFileAnalyserRegistry& registry) : m_registry(registry) {}

CRAWSearchController::~CRAWSearchController() {
    // A stopped scan never reaches EndSearch; its progress must not outlive it here.
    IProgress* mine = m_progress;
    g_continueHolder.compare_exchange_strong(mine, nullptr, std::memory_order_acq_rel);
}

void CRAWSearchController::SetGlobalParameter(IProgress* progress) {
    m_progress = progress;
    g_continueHolder.store(progress, std::memory_order_release);
}

void CRAWSearchController::SetDevice(IStorageDevice* device) {
    m_device = device;
    m_cache = dynamic_cast<CStorageDeviceWithCache*>(device);
}

void CRAWSearchController::BuildStageTable() {
    m_stages.reset(new (std::nothrow) std::array<u8, 65536>());
    if (!m_stages) return;
    for (const auto& [key, analyser] : m_registry.GetSignature4Map(kSignatureSet)) {
        if (analyser) (*m_stages)[key & 0xFFFFu] |= kStage4;
    }
    for (const auto& [key, analyser] : m_registry.GetSignature2Map(kSignatureSet)) {
        if (analyser) (*m_stages)[key] |= kStage2;
    }
}

void CRAWSearchController::BeginSearch() {
    m_pending.clear();
    m_block.reset();
    m_blockBytes = 0;
    if (!m_device || m_blockSectors == 0) return;
    m_sectorSize = m_device->GetSectorSize();
    if (m_sectorSize == 0) return;
    if (!m_ring.Init(m_device, 0, m_sectorSize, m_blockSectors, kRingBlocks)) return;
    // The walks of this scan's files share what they learn of its device; an earlier scan's
    // records keep theirs.
    m_scanState.reset(new (std::nothrow) CRawScanState(m_sectorSize));
    if (!m_scanState) return;
    BuildStageTable();
    if (!m_stages) return;
    // A header check near the block's end sees as far as anywhere else: the seam holds the
    // block's last look-ahead bytes and as many from the device after it.
    m_lookAhead = std::max<u32>(m_sectorSize, IRawFileAnalyser::kHeaderLookAheadBytes);
    m_lookAhead = (m_lookAhead + m_sectorSize - 1) / m_sectorSize * m_sectorSize;
    m_seam.reset(new (std::nothrow) u8[size_t(m_lookAhead) * 2]);
    if (!m_seam) return;
    m_blockBytes = size_t(m_sectorSize) * m_blockSectors;
    m_block.reset(new (std::nothrow) u8[m_blockBytes]());
    if (!m_block) m_blockBytes = 0;
}

u32 CRAWSearchController::MakeSeam(const u8* block, u64 firstSector, u64 count, u64 seamFrom) {
    const u64 blockBytes = count * m_sectorSize;
    const u64 kept = blockBytes - seamFrom;
    std::memcpy(m_seam.get(), block + seamFrom, size_t(kept));
    const u64 next = firstSector + count;
    const u64 total = m_device->GetTotalSectors();
    const u64 wanted = std::min<u64>(m_lookAhead / m_sectorSize, next < total ? total - next : 0);
    // Unreadable, what follows is not looked at: the check sees what the block holds.
    if (wanted == 0 || m_device->Read(m_seam.get() + kept, next, wanted) == 0) return u32(kept);
    return u32(kept + wanted * m_sectorSize);
}

u64 CRAWSearchController::BytesToEnd(u64 sector) const {
    const u64 total = m_device ? m_device->GetTotalSectors() : 0;
    return sector < total ? (total - sector) * m_sectorSize : 0;
}

IRawFileAnalyser* CRAWSearchController::MatchSector(const u8* sector, u64 sectorNumber, u32 held, CRawFileInfo& record,
                                                    bool& stopped) {
    const u64 bytesToEnd = BytesToEnd(sectorNumber);
    const u8 stage = (*m_stages)[CRawFileAnalyserRegistry::Signature2Key(sector)];
    if (stage & kStage4) {
        IRawFileAnalyser* a = m_registry.FindSignature4(CRawFileAnalyserRegistry::Signature4Key(sector));
        if (a && TryHeader(a, sector, held, record, bytesToEnd) != 0) return a;
    }
    if (stage & kStage2) {
        const auto range = m_registry.FindSignature2(CRawFileAnalyserRegistry::Signature2Key(sector));
        IRawFileAnalyser* last = nullptr;
        u32 result = 0;
        for (auto it = range.first; it != range.second; ++it) {
            last = it->second;
            result = TryHeader(last, sector, held, record, bytesToEnd);
            if (result == 1) break;
        }
        if (result != 0) return last;
    }
    const auto& offsetList = m_registry.GetOffsetAnalyserList(kSignatureSet);
    const auto& probes = m_registry.GetOffsetProbes(kSignatureSet);
    for (size_t k = 0; k < offsetList.size(); ++k) {
        if (!probes[k].Matches(sector)) continue;
        if (StopRequested()) {
            stopped = true;
            return nullptr;
        }
        if (TryHeader(offsetList[k], sector, held, record, bytesToEnd) != 0) return offsetList[k];
    }
    return nullptr;
}

bool CRAWSearchController::AnyOffsetProbeMatches(const u8* sector) const {
    for (const OffsetProbe& probe : m_registry.GetOffsetProbes(kSignatureSet)) {
        if (probe.Matches(sector)) return true;
    }
    return false;
}

u32 CRAWSearchController::SearchBlock(u64 firstSector, u64 sectorCount) {
    if (!m_block || !m_pool || !m_stages || sectorCount == 0) return 1;
    const auto& offsetList = m_registry.GetOffsetAnalyserList(kSignatureSet);
    if (m_registry.GetSignature4Map(kSignatureSet).empty() && m_registry.GetSignature2Map(kSignatureSet).empty() &&
        offsetList.empty()) {
        return 1;
    }
    const u64 count = sectorCount < m_blockSectors ? sectorCount : m_blockSectors;
    // A whole block the scan's cache holds is looked at where it lies; only a short last block
    // or a block from elsewhere is copied, so that its tail can be zeroed.
    const u8* block = m_cache && count == m_blockSectors ? m_cache->PeekCurrentBlock(firstSector, count) : nullptr;
    if (!block) {
        if (m_device->Read(m_block.get(), firstSector, count) == 0) {
            // The ring counts its sectors by blocks: an unreadable block still takes its place.
            std::memset(m_block.get(), 0, m_blockBytes);
            AppendAndSize(m_block.get(), firstSector, count, true);
            return 1;
        }
        if (count < m_blockSectors) std::memset(m_block.get() + count * m_sectorSize, 0, m_blockBytes - count * m_sectorSize);
        block = m_block.get();
    }

    std::unique_ptr<CRawFileInfo> held;
    bool stopped = false;
    const u64 blockBytes = count * m_sectorSize;
    const u64 seamFrom = blockBytes > m_lookAhead ? blockBytes - m_lookAhead : 0;
    u32 seamBytes = 0;  // 0 until a sector of the block's tail is checked
    for (u64 i = 0; i < count; ++i) {
        const u8* sector = block + i * m_sectorSize;
        // The go-on query may take a lock; asking it every few sectors keeps pauses prompt
        // without paying for it on every sector. The stop flag is read on every one.
        if (i % kContinuePollSectors == 0 && RawContinueCheck() == 0) break;
        if (StopRequested()) {
            stopped = true;
            break;
        }
        if (ReadLE32(sector) == 0) continue;
        if ((*m_stages)[ReadLE16(sector)] == kStageNone && !AnyOffsetProbeMatches(sector)) continue;
        if (!held) {
            held.reset(new (std::nothrow) CRawFileInfo());
            if (!held) break;
        }
        // What follows the sector is there to look at, past the block's end too; a header check
        // reads no more than its format needs of it.
        const u64 offset = i * m_sectorSize;
        const u8* bytes = sector;
        u32 look = m_lookAhead;
        if (offset >= seamFrom) {
            if (seamBytes == 0) seamBytes = MakeSeam(block, firstSector, count, seamFrom);
            bytes = m_seam.get() + (offset - seamFrom);
            look = std::min<u32>(m_lookAhead, seamBytes - u32(offset - seamFrom));
        }
        // A header check may ask where it is and what the scan met before it (TAR).
        held->startSector = firstSector + i;
        held->scan = m_scanState;
        IRawFileAnalyser* match = MatchSector(bytes, firstSector + i, look, *held, stopped);
        if (stopped) break;
        if (!match) continue;
        held->analyserTypeId = match->GetAnalyserTypeId();
        held->analyser = match;
        CRawFileInfo* booked = m_pool->Add(std::move(held));
        if (booked && booked->size == 0) m_pending.push_back(booked);
    }
    held.reset();

    AppendAndSize(block, firstSector, count, !stopped);
    return 1;
}

void CRAWSearchController::AppendAndSize(const u8* block, u64 firstSector, u64 count, bool mayWalk) {
    // Files are sized only once the ring has filled, as a disk too small to fill it leaves every
    // file to the lost-file pass; the disk's last block sizes every file still waiting. The walks
    // run before the block goes in, while the ring still holds the oldest waiting file's start.
    if (mayWalk && m_ring.IsFull()) {
        const u64 lastSector = firstSector + count - 1;
        const u64 lag = u64(kSizingLagBlocks) * m_blockSectors;
        if (firstSector + count >= m_device->GetTotalSectors()) {
            SizePendingFiles(lastSector);
        } else if (lastSector >= lag) {
            SizePendingFiles(lastSector - lag);
        }
    }
    m_ring.AppendBlock(block);
}

void CRAWSearchController::SizePendingFiles(u64 lastStart) {
    while (!m_pending.empty()) {
        CRawFileInfo* record = m_pending.front();
        if (StopRequested() || RawContinueCheck() == 0 || record->startSector > lastStart) return;
        try {
            if (record->analyser) record->analyser->AnalyseFileSize(*record, &m_ring);
        } catch (...) {
            // A walk that threw leaves the record as it got it; it is done all the same.
        }
        // What lies past the end of the device is no part of any file found on it; the file is
        // then cut, not whole.
        record->CutAt(BytesToEnd(record->startSector));
        m_pending.pop_front();
    }
}

void CRAWSearchController::EndSearch() {
    m_pending.clear();
    m_block.reset();
    m_blockBytes = 0;
    g_continueHolder.store(nullptr, std::memory_order_release);
}
