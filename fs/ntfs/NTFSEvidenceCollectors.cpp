#include "fs/ntfs/NTFSEvidenceCollectors.h"

#include <algorithm>
#include <cstring>

#include "devices/ScanOptions.h"
#include "fs/ntfs/NTFSFileRecord.h"
#include "fs/ntfs/NTFSRecord.h"
#include "fs/ntfs/NTFSTemplates.h"

namespace {

constexpr u32 kUnit = 512;
constexpr u32 kAttrDefUnits = kNtfsAttrDefTemplateSize / kUnit;
constexpr u32 kPageUnits = ntfslog::kPageSize / kUnit;
constexpr u32 kMaxRunRecords = 16;  // a run of system records reaches record 8 at the most
constexpr i32 kMftNumber = 0;
constexpr i32 kMftMirrNumber = 1;
constexpr i32 kLogFileNumber = 2;
constexpr i32 kAttrDefNumber = 4;
constexpr i32 kBitmapNumber = 6;
constexpr i32 kUpCaseNumber = 10;

bool Known(u64 v) { return v != kNtfsUnknown; }

}  // namespace

NTFSScanGeometry NTFSScanGeometry::For(u32 sectorSize) {
    NTFSScanGeometry g;
    g.sectorSize = sectorSize < kUnit || sectorSize % kUnit != 0 ? kUnit : sectorSize;
    // Records are at least 1024 bytes and one sector at the least.
    g.recordStride = std::max<u32>(1, ntfs::kMinRecordSize / g.sectorSize);
    g.slotsPerSector = g.sectorSize / kUnit;
    g.pageSectors = std::max<u32>(1, ntfslog::kPageSize / g.sectorSize);
    return g;
}

u64 CountMatchesInRuns(const NtfsSectorMatchSet& set, const CSearchedFileRecord& r, u64 start, u32 spc,
                       u32 slotsPerSector) {
    u64 n = 0;
    for (const NTFSRun& run : r.runs) {
        if (run.lcn == kSparseLCN || run.count == 0) continue;
        const unsigned __int128 first = (static_cast<unsigned __int128>(run.lcn) * spc + start) * slotsPerSector;
        const unsigned __int128 last =
            (static_cast<unsigned __int128>(run.lcn + run.count) * spc + start) * slotsPerSector - 1;
        if (last >> 64) continue;  // a run beyond any device
        n += set.CountIn(static_cast<u64>(first), static_cast<u64>(last));
    }
    return n;
}

// ---- $AttrDef and $UpCase ----

CNTFSTemplateSectorCollector::CNTFSTemplateSectorCollector(Kind kind, const NTFSCollectorContext& context)
    : m_kind(kind), m_context(context) {}

bool CNTFSTemplateSectorCollector::MatchesAttrDefUnit(const u8* unit) {
    const u8* t = NtfsAttrDefTemplate();
    // Nearly every sector of a disk differs from each template unit in its first eight bytes:
    // comparing those as one word keeps the full comparison for the few that can match.
    const u64 head = ReadLE64(unit);
    for (u32 i = 0; i < kAttrDefUnits; ++i) {
        const u8* candidate = t + i * kUnit;
        if (ReadLE64(candidate) == head && std::memcmp(unit, candidate, kUnit) == 0) return true;
    }
    return false;
}

namespace {
// Pages of the upper-case table whose first unit does not map into the page itself (0x2D00 maps
// to a Georgian capital in current tables), so the page is not found by its own index.
struct UpCaseException {
    u16 firstUnit;
    u32 page;
};
std::vector<UpCaseException> BuildUpCaseExceptions() {
    std::vector<UpCaseException> out;
    const u8* t = NtfsUpCaseTemplate();
    for (u32 page = 0; page < kNtfsUpCaseTemplateSize / kUnit; ++page) {
        if (t[page * kUnit + 1] != page) out.push_back({ReadLE16(t + page * kUnit), page});
    }
    return out;
}
}  // namespace

bool CNTFSTemplateSectorCollector::MatchesUpCaseUnit(const u8* unit) {
    const u8* t = NtfsUpCaseTemplate();
    const u8* page = t + u32(unit[1]) * kUnit;
    if (ReadLE16(page) == ReadLE16(unit)) return std::memcmp(unit, page, kUnit) == 0;
    static const std::vector<UpCaseException> exceptions = BuildUpCaseExceptions();
    for (const UpCaseException& e : exceptions) {
        if (e.firstUnit == ReadLE16(unit)) return std::memcmp(unit, t + e.page * kUnit, kUnit) == 0;
    }
    return false;
}

void CNTFSTemplateSectorCollector::OnRecord(const u8* record, u32 length, u64 sector) {
    if (m_records.size() >= kNtfsMaxSightings) return;
    CSearchedFileRecord r;
    if (r.Load(record, length, sector, false)) m_records.push_back(std::move(r));
}

void CNTFSTemplateSectorCollector::OnSector(const u8* sector, u64 sectorNumber) {
    const u32 k = m_context.geometry.slotsPerSector;
    for (u32 u = 0; u < k; ++u) {
        const u8* unit = sector + u * kUnit;
        const bool match = m_kind == Kind::kAttrDef ? MatchesAttrDefUnit(unit) : MatchesUpCaseUnit(unit);
        if (match) m_matches.Add(sectorNumber * k + u);
    }
}

const CSearchedFileRecord* CNTFSTemplateSectorCollector::ChooseRecord(const CSearchedNTFSPartitionInfo& c,
                                                                      u32 recordNumber) const {
    if (Known(c.GetMftSector())) {
        const u64 at = c.GetMftSector() + u64(recordNumber) * m_context.geometry.recordStride;
        for (const CSearchedFileRecord& r : m_records) {
            if (r.sector == at) return &r;
        }
        return nullptr;
    }
    const u64 start = c.GetPartitionStart();
    const u64 end = start + c.GetTotalSectors();
    for (const CSearchedFileRecord& r : m_records) {
        if (r.sector >= start && r.sector < end) return &r;
    }
    return nullptr;
}

void CNTFSTemplateSectorCollector::Fill(CSearchedNTFSPartitionInfo& c) const {
    const bool attrDef = m_kind == Kind::kAttrDef;
    const CSearchedFileRecord* r = ChooseRecord(c, attrDef ? kAttrDefNumber : kUpCaseNumber);
    const u64 matches = r ? CountMatchesInRuns(m_matches, *r, c.GetPartitionStart(), c.GetSectorsPerCluster(),
                                               m_context.geometry.slotsPerSector)
                          : 0;
    if (attrDef) {
        if (r) c.SetAttrDefRecordSector(r->sector);
        c.SetAttrDefMatches(matches);
    } else {
        if (r) c.SetUpCaseRecordSector(r->sector);
        c.SetUpCaseMatches(matches);
    }
}

// ---- $LogFile ----

CNTFSRestartPageCollector::CNTFSRestartPageCollector(const NTFSCollectorContext& context) : m_context(context) {}

void CNTFSRestartPageCollector::Propose(u64 sector, const CSearchedFileRecord& r, u32 evidence) {
    NTFSCandidatePtr c = CreateNTFSPartitionFromRecord(sector, r.FirstLCN(), r.sectorsPerCluster, evidence,
                                                       m_context.bounds);
    m_context.candidates->MergeOrInsert(std::move(c), evidence);
}

void CNTFSRestartPageCollector::AnalyzeRSTRRecord(u64 sector) {
    if (m_restartPages.size() >= kNtfsMaxSightings) return;
    const u64 page = m_context.geometry.pageSectors;
    const bool second = !m_restartPages.empty() && sector >= page && m_restartPages.back() == sector - page;
    for (const CSearchedFileRecord& r : m_records) {
        if (!Known(r.FirstLCN()) || r.sectorsPerCluster == 0) continue;
        if (second) {
            Propose(sector - page, r, ntfsev::kSecondRestartPage);
        } else {
            Propose(sector, r, ntfsev::kRestartPage);
            if (sector > page) Propose(sector - page, r, ntfsev::kSecondRestartPage);
        }
    }
    m_restartPages.push_back(sector);
}

void CNTFSRestartPageCollector::OnLogFileRecord(const u8* record, u32 length, u64 sector) {
    if (m_records.size() >= kNtfsMaxSightings) return;
    CSearchedFileRecord r;
    if (!r.Load(record, length, sector, true)) return;
    const u64 page = m_context.geometry.pageSectors;
    if (r.sectorsPerCluster != 0 && Known(r.FirstLCN())) {
        for (size_t i = 0; i < m_restartPages.size(); ++i) {
            const u64 at = m_restartPages[i];
            if (i + 1 < m_restartPages.size() && m_restartPages[i + 1] == at + page) {
                Propose(at, r, ntfsev::kRestartPage | ntfsev::kSecondRestartPage);
                ++i;
            } else {
                Propose(at, r, ntfsev::kRestartPage);
                if (at > page) Propose(at - page, r, ntfsev::kSecondRestartPage);
            }
        }
    }
    m_records.push_back(std::move(r));
}

void CNTFSRestartPageCollector::TakePage(const u8* page, u64 slot) {
    if (IsValidLogPage(page, ntfslog::kPageSize)) m_logPages.AddRange(slot, kPageUnits);
}

void CNTFSRestartPageCollector::LogPagePass(const u8* block, u64 firstSector, u64 sectors) {
    const u64 k = m_context.geometry.slotsPerSector;
    const u64 firstSlot = firstSector * k;
    const u64 n = sectors * k;
    u64 i = 0;
    if (m_carrySlots > 0) {
        if (m_carryFirstSlot + m_carrySlots == firstSlot && m_carrySlots + n >= kPageUnits) {
            const u32 need = kPageUnits - m_carrySlots;
            std::memcpy(m_carry + m_carrySlots * kUnit, block, size_t(need) * kUnit);
            TakePage(m_carry, m_carryFirstSlot);
            i = need;
        }
        m_carrySlots = 0;
        m_carryFirstSlot = kNtfsUnknown;
    }
    while (i < n) {
        const u8* p = block + i * kUnit;
        if (p[0] != 'R' || std::memcmp(p, "RCRD", 4) != 0) {
            ++i;
            continue;
        }
        if (n - i < kPageUnits) {
            m_carrySlots = static_cast<u32>(n - i);
            m_carryFirstSlot = firstSlot + i;
            std::memcpy(m_carry, p, size_t(m_carrySlots) * kUnit);
            return;
        }
        TakePage(p, firstSlot + i);
        i += kPageUnits;
    }
}

void CNTFSRestartPageCollector::Fill(CSearchedNTFSPartitionInfo& c) const {
    const CSearchedFileRecord* r = nullptr;
    const u32 stride = m_context.geometry.recordStride;
    if (Known(c.GetMftSector())) {
        const u64 at = c.GetMftSector() + u64(kLogFileNumber) * stride;
        for (const CSearchedFileRecord& x : m_records) {
            if (x.sector == at) {
                r = &x;
                break;
            }
        }
    } else {
        const u64 end = c.GetPartitionStart() + c.GetTotalSectors();
        for (const CSearchedFileRecord& x : m_records) {
            if (x.sector >= c.GetPartitionStart() && x.sector < end) {
                r = &x;
                break;
            }
        }
    }
    if (r) c.SetLogFileRecordSector(r->sector);
    c.SetLogPageMatches(r ? CountMatchesInRuns(m_logPages, *r, c.GetPartitionStart(), c.GetSectorsPerCluster(),
                                               m_context.geometry.slotsPerSector)
                          : 0);
}

// ---- runs of system records ----

CNTFSFileRecordCollector::CNTFSFileRecordCollector(const NTFSCollectorContext& context,
                                                   std::vector<std::unique_ptr<NTFSMFTLocation>>& mfts,
                                                   std::vector<std::unique_ptr<CSearchedFileRecord>>& mirrors,
                                                   std::vector<NTFSMftRecordRun>& runs,
                                                   std::vector<NTFSMftRecordDetail>& details)
    : m_context(context), m_mfts(mfts), m_mirrors(mirrors), m_runs(runs), m_details(details) {}

bool CNTFSFileRecordCollector::IsFull(bool mirror) const {
    return (mirror ? m_mirrors.size() : m_mfts.size()) >= kNtfsMaxSightings;
}

void CNTFSFileRecordCollector::Feed(u64 sector, const u8* raw, const u8* fixed, u32 length) {
    const u32 stride = m_context.geometry.recordStride;
    const bool open = Known(m_runStart) && sector >= m_runStart;
    const u64 distance = open ? sector - m_runStart : 0;
    const bool near = open && distance < u64(kMaxRunRecords) * stride + 1;
    if (near && distance % stride != 0 && !fixed) return;

    const bool base = fixed && !RecordIsExtension(fixed);
    const i32 number = base ? GetSystemFileNumber(fixed, length) : -1;
    const bool continues = near && number >= 0 && distance % stride == 0 && distance / stride == u64(number);
    if (!continues) EndRun();
    if (number < 0) return;

    if (number == kMftNumber) {
        if (IsFull(false)) return;
        CNTFSFileRecord record;
        if (!record.Init(raw, length, sector, m_context.device, nullptr)) return;
        std::unique_ptr<NTFSMFTLocation> location(NTFSMFTLocation::CreateFromRecord(record, sector));
        if (!location) return;
        location->SetSectorsPerRecord(static_cast<u8>(stride));
        m_runStart = sector;
        m_runMft = location.get();
        m_details.push_back({location.get(), std::make_unique<CNTFSLogFileParser>()});
        m_mfts.push_back(std::move(location));
        return;
    }
    if (!continues) return;
    if (number == kMftMirrNumber) {
        auto mirror = std::make_unique<CSearchedFileRecord>();
        if (IsFull(true) || !mirror->Load(fixed, length, sector, false)) {
            EndRun();
            return;
        }
        m_runMirror = mirror.get();
        m_mirrors.push_back(std::move(mirror));
    } else if (number == kBitmapNumber && GetScanOptions().GetNtfsCollectionSwitch() != 0) {
        const u8* data = FindRecordAttribute(fixed, length, ntfs::kAttrData, 0);
        if (data && AttrIsNonResident(data)) {
            u32 pairsLength = 0;
            const u8* pairs = AttrMappingPairs(data, &pairsLength);
            const u64 size = AttrDataSize(data);
            if (pairs && static_cast<i64>(size) > 0 && size < (~u64(0) >> 3) &&
                SumMappingPairsLengths(pairs, pairsLength) > 0) {
                m_runClusters = size * 8;
            }
        }
    }
}

void CNTFSFileRecordCollector::GiveRunState(CSearchedNTFSPartitionInfo& c) const {
    if (!Known(c.GetMftSector())) c.SetMftSector(m_runStart);
    if (!Known(m_runClusters) || m_runClusters == 0) return;
    const u64 spc = c.GetSectorsPerCluster();
    // A boot sector gives the size; the $Bitmap's bits are only rounded up to whole bytes.
    if ((c.GetEvidence() & (ntfsev::kBootSector | ntfsev::kBackupBootSector)) == 0) {
        const u64 clusters = std::min(c.GetClusterCount(), m_runClusters);
        c.SetClusterCount(clusters);
        c.SetTotalSectors(clusters * spc);
    }
    c.SetBitmapSectors(m_runClusters * spc);
}

void CNTFSFileRecordCollector::MftHypotheses() {
    const u64 lcn = m_runMft->GetLCNOfFirstCluster();
    if (!Known(lcn)) return;
    const u32 spc = m_runMft->GetSectorsPerCluster();
    std::vector<NTFSCandidatePtr> hypotheses;
    if (spc != 0) {
        if (auto c = CreateNTFSPartitionFromRecord(m_runStart, lcn, spc, ntfsev::kMftRecord, m_context.bounds)) {
            hypotheses.push_back(std::move(c));
        }
    } else {
        hypotheses = CreateNTFSPartitionsForAllClusterSizes(m_runStart, lcn, ntfsev::kMftRecord, m_context.bounds);
    }
    CNTFSCandidateSet& set = *m_context.candidates;
    for (NTFSCandidatePtr& h : hypotheses) {
        GiveRunState(*h);
        if (set.MergeEvidence(*h, ntfsev::kMftRecord, 0)) {
            set.ForSameKey(h->GetPartitionStart(), h->GetSectorsPerCluster(),
                           [this](CSearchedNTFSPartitionInfo& c) { GiveRunState(c); });
            return;
        }
        set.Insert(std::move(h));
    }
}

void CNTFSFileRecordCollector::MirrorHypothesis() {
    const u64 mirrorLcn = m_runMirror->FirstLCN();
    const u32 spc = m_runMft->GetSectorsPerCluster();
    NTFSCandidatePtr c;
    if (Known(mirrorLcn) && spc != 0) {
        c = CreateNTFSPartitionFromRecord(m_runStart, mirrorLcn, spc, ntfsev::kMirrorRun, m_context.bounds);
    }
    if (!c) {
        MftHypotheses();
        return;
    }
    GiveRunState(*c);
    CNTFSCandidateSet& set = *m_context.candidates;
    const u64 mftLcn = m_runMft->GetLCNOfFirstCluster();
    // The $MFT of this volume is one of its own cluster size: a volume formatted over it at
    // another cluster size may keep its $MFT at the same sector.
    bool mftSeen = false;
    if (Known(mftLcn)) {
        const unsigned __int128 at = static_cast<unsigned __int128>(mftLcn) * spc + c->GetPartitionStart();
        for (const NTFSMftRecordRun& run : m_runs) {
            if (run.mft && run.mft->GetMFTStartSector() == at && run.mft->GetSectorsPerCluster() == spc) mftSeen = true;
        }
    }
    if (mftSeen) {
        set.MergeEvidence(*c, ntfsev::kMirrorAfterMft, ntfsev::kMftRecord);
        return;
    }
    bool any = false;
    set.ForSameKey(c->GetPartitionStart(), c->GetSectorsPerCluster(), [&](CSearchedNTFSPartitionInfo& item) {
        any = true;
        item.AddEvidence(ntfsev::kMirrorRun);
        GiveRunState(item);
    });
    if (any) return;
    // The run may be the $MFT itself, whose first records the mirror copies: that is the first
    // reading. Whether it is the mirror instead is told once the device is read.
    const u64 mftAt = m_runStart;
    MftHypotheses();
    if (Known(mftLcn) && static_cast<unsigned __int128>(mftLcn) * spc <= mftAt) {
        m_pendingMirrors.push_back({std::move(c), mftAt - mftLcn * spc});
    }
}

void CNTFSFileRecordCollector::Flush() {
    EndRun();
    CNTFSCandidateSet& set = *m_context.candidates;
    for (PendingMirror& pending : m_pendingMirrors) {
        CSearchedNTFSPartitionInfo& c = *pending.hypothesis;
        // A volume that nothing but this run's own $MFT record places is no volume this run is
        // the $MFT of: the run is a mirror, and it places its volume, which a newer volume
        // formatted over it may have left with no other trace.
        bool placed = false;
        set.ForSameKey(pending.mftStart, c.GetSectorsPerCluster(), [&placed](CSearchedNTFSPartitionInfo& item) {
            if ((item.GetEvidence() & ~ntfsev::kMftRecord) != 0) placed = true;
        });
        if (placed) continue;
        bool any = false;
        set.ForSameKey(c.GetPartitionStart(), c.GetSectorsPerCluster(), [&any](CSearchedNTFSPartitionInfo& item) {
            any = true;
            item.AddEvidence(ntfsev::kMirrorRun);
        });
        if (!any) set.Insert(std::move(pending.hypothesis));
    }
    m_pendingMirrors.clear();
}

void CNTFSFileRecordCollector::EndRun() {
    if (m_runMft && !m_runMirror) MftHypotheses();
    if (m_runMft && m_runMirror) {
        MirrorHypothesis();
        m_runs.push_back({m_runMft, m_runMirror});
    }
    m_runStart = kNtfsUnknown;
    m_runMft = nullptr;
    m_runMirror = nullptr;
    m_runClusters = kNtfsUnknown;
}
