#include "fs/ntfs/NTFSPartitionCandidate.h"

#include <algorithm>

#include "engine/FsServices.h"
#include "engine/RSData.h"
#include "fs/ntfs/NTFSDBR.h"
#include "fs/ntfs/NTFSRecord.h"

namespace {

constexpr u64 kMinimumVolumeSectors = 8;
// A volume's boot area: no record lies in its first 4096 bytes (8 sectors of 512 bytes, one of
// 4096).
constexpr u64 kBootAreaBytes = 4096;
constexpr u32 kClusterSizes[] = {1, 2, 4, 8, 16, 32, 64, 128};

// Points each sighting adds to the score.
constexpr u64 kPointsPerBit = 10;
constexpr u64 kPointsMirrorAfterMft = 30;
constexpr u64 kPointsPerCount = 10;
constexpr i64 kFullUpCase = 256;
constexpr i64 kFullLogPages = 10000;
constexpr i64 kFullAttrDef = 5;

u64 CountPoints(u64 matches, i64 full) {
    // An unknown count (all ones) reads as -1 and adds nothing.
    const i64 n = static_cast<i64>(matches);
    const i64 points = static_cast<i64>(kPointsPerCount) * (n / full);
    return static_cast<u64>(std::clamp<i64>(points, 0, kPointsPerCount));
}

}  // namespace

CSearchedNTFSPartitionInfo::CSearchedNTFSPartitionInfo(u32 sectorSize) : CSearchedPartitionInfo(sectorSize) {
    SetFileSystemCode(kFsNtfs);
}

u32 CSearchedNTFSPartitionInfo::TestFileNode(CFileNode* node) {
    ICompleteFileSystemSearchController* owner = GetSearchController();
    return owner ? owner->TestFileNode(node, this) : 0;
}

u32 CSearchedNTFSPartitionInfo::ApplyToFileNode(CFileNode* node) {
    ICompleteFileSystemSearchController* owner = GetSearchController();
    return owner ? owner->ApplyToFileNode(node, this) : 0;
}

void CSearchedNTFSPartitionInfo::Save(IRSData* stream) {
    CSearchedPartitionInfo::Save(stream);
    stream->WriteU64(m_serial);
    stream->WriteU32(m_formatWord);
    stream->WriteU32(m_evidence);
    stream->WriteU32(static_cast<u32>(m_mftNumbering));
    stream->WriteU32(static_cast<u32>(m_mftNumbering >> 32));
    for (u64 v : {m_clusterCount, m_logPageMatches, m_attrDefMatches, m_upCaseMatches, m_mftSector,
                  m_logFileRecordSector, m_attrDefRecordSector, m_upCaseRecordSector, m_bitmapSectors}) {
        stream->WriteU64(v);
    }
}

void CSearchedNTFSPartitionInfo::Load(IRSData* stream) {
    CSearchedPartitionInfo::Load(stream);
    m_serial = stream->ReadU64();
    m_formatWord = stream->ReadU32();
    m_evidence = stream->ReadU32();
    const u64 low = stream->ReadU32();
    const u64 high = stream->ReadU32();
    m_mftNumbering = low | (high << 32);
    for (u64* v : {&m_clusterCount, &m_logPageMatches, &m_attrDefMatches, &m_upCaseMatches, &m_mftSector,
                   &m_logFileRecordSector, &m_attrDefRecordSector, &m_upCaseRecordSector, &m_bitmapSectors}) {
        *v = stream->ReadU64();
    }
}

u64 CSearchedNTFSPartitionInfo::ComputeScore() const {
    u64 score = 0;
    for (u32 bit : {ntfsev::kBootSector, ntfsev::kBackupBootSector, ntfsev::kMftRecord, ntfsev::kMirrorRun,
                    ntfsev::kRestartPage, ntfsev::kSecondRestartPage}) {
        if (m_evidence & bit) score += kPointsPerBit;
    }
    if (m_evidence & ntfsev::kMirrorAfterMft) score += kPointsMirrorAfterMft;
    score += CountPoints(m_upCaseMatches, kFullUpCase);
    score += CountPoints(m_logPageMatches, kFullLogPages);
    score += CountPoints(m_attrDefMatches, kFullAttrDef);
    return score;
}

NTFSCandidatePtr MakeCandidateFromDBR(const CNTFSDBR& dbr, i64 start, u32 evidence, const NTFSDeviceBounds& bounds) {
    if (start < 0 || static_cast<u64>(start) >= bounds.totalSectors) return nullptr;
    const u32 spc = dbr.GetSectorsPerCluster();
    if (spc == 0) return nullptr;
    const u64 room = bounds.totalSectors - static_cast<u64>(start);
    const u64 total = dbr.GetTotalSectors();
    const u64 size = total < room ? total : room;
    if (size < kMinimumVolumeSectors) return nullptr;
    auto c = std::make_unique<CSearchedNTFSPartitionInfo>(bounds.sectorSize);
    c->SetSectorsPerCluster(spc);
    c->SetPartitionStart(static_cast<u64>(start));
    c->SetSerial(dbr.GetVolumeSerial());
    c->SetClusterCount(size / spc);
    // The boot sector's own count, not a whole number of clusters: the backup boot sector sits
    // in the sector right after it.
    c->SetTotalSectors(size);
    c->SetEvidence(evidence);
    return c;
}

NTFSCandidatePtr CreateNTFSPartitionFromRecord(u64 recordSector, u64 cluster, u32 sectorsPerCluster, u32 evidence,
                                               const NTFSDeviceBounds& bounds) {
    if (sectorsPerCluster == 0 || cluster > recordSector / sectorsPerCluster) return nullptr;
    const u64 start = recordSector - cluster * sectorsPerCluster;
    const u64 bootArea = std::max<u64>(1, kBootAreaBytes / (bounds.sectorSize ? bounds.sectorSize : 512));
    if (recordSector - start < bootArea || start >= bounds.totalSectors) return nullptr;
    auto c = std::make_unique<CSearchedNTFSPartitionInfo>(bounds.sectorSize);
    c->SetSectorsPerCluster(sectorsPerCluster);
    c->SetPartitionStart(start);
    c->SetEvidenceCount(0);
    const u64 clusters = (bounds.totalSectors - start) / sectorsPerCluster;
    c->SetClusterCount(clusters);
    c->SetTotalSectors(clusters * sectorsPerCluster);
    c->SetEvidence(evidence);
    return c;
}

std::vector<NTFSCandidatePtr> CreateNTFSPartitionsForAllClusterSizes(u64 recordSector, u64 cluster, u32 evidence,
                                                                     const NTFSDeviceBounds& bounds) {
    std::vector<NTFSCandidatePtr> out;
    for (u32 s : kClusterSizes) {
        if (NTFSCandidatePtr c = CreateNTFSPartitionFromRecord(recordSector, cluster, s, evidence, bounds)) {
            out.push_back(std::move(c));
        }
    }
    return out;
}

bool CNTFSCandidateSet::Less::operator()(const NTFSCandidatePtr& a, const NTFSCandidatePtr& b) const {
    if (a->GetPartitionStart() != b->GetPartitionStart()) return a->GetPartitionStart() < b->GetPartitionStart();
    return a->GetSectorsPerCluster() < b->GetSectorsPerCluster();
}

CSearchedNTFSPartitionInfo* CNTFSCandidateSet::Insert(NTFSCandidatePtr c) {
    if (!c) return nullptr;
    const auto lock = Lock();
    ++m_version;
    CSearchedNTFSPartitionInfo* raw = c.get();
    // A multiset inserts an equal key after the ones it holds: insertion order is kept.
    m_items.insert(std::move(c));
    return raw;
}

namespace {
// A probe with the key only, for lookups.
NTFSCandidatePtr Probe(u64 start, u32 spc) {
    auto p = std::make_unique<CSearchedNTFSPartitionInfo>();
    p->SetPartitionStart(start);
    p->SetSectorsPerCluster(spc);
    return p;
}
}  // namespace

void CNTFSCandidateSet::ForSameKey(u64 start, u32 spc, const std::function<void(CSearchedNTFSPartitionInfo&)>& f) {
    const NTFSCandidatePtr probe = Probe(start, spc);
    const auto lock = Lock();
    ++m_version;
    auto range = m_items.equal_range(probe);
    for (auto it = range.first; it != range.second; ++it) f(**it);
}

bool CNTFSCandidateSet::HasSameKey(u64 start, u32 spc) const {
    const NTFSCandidatePtr probe = Probe(start, spc);
    const auto lock = Lock();
    return m_items.find(probe) != m_items.end();
}

bool CNTFSCandidateSet::MergeEvidence(const CSearchedNTFSPartitionInfo& c, u32 set, u32 clear) {
    const NTFSCandidatePtr probe = Probe(c.GetPartitionStart(), c.GetSectorsPerCluster());
    const auto lock = Lock();
    ++m_version;
    auto range = m_items.equal_range(probe);
    bool any = false;
    for (auto it = range.first; it != range.second;) {
        any = true;
        CSearchedNTFSPartitionInfo& item = **it;
        item.SetEvidence((item.GetEvidence() & ~clear) | set);
        if (item.GetEvidence() == 0) {
            it = Retire(it);
        } else {
            ++it;
        }
    }
    return any;
}

bool CNTFSCandidateSet::ConfirmIndex(const CSearchedNTFSPartitionInfo& c) {
    bool any = false;
    ForSameKey(c.GetPartitionStart(), c.GetSectorsPerCluster(), [&](CSearchedNTFSPartitionInfo& item) {
        any = true;
        item.AddEvidence(ntfsev::kIndexRecord);
        item.AddIndexConfirmation();
    });
    return any;
}

void CNTFSCandidateSet::ConfirmOrInsert(NTFSCandidatePtr c) {
    const auto lock = Lock();
    if (c && !ConfirmIndex(*c)) Insert(std::move(c));
}

void CNTFSCandidateSet::MergeOrInsert(NTFSCandidatePtr c, u32 evidence) {
    const auto lock = Lock();
    if (c && !MergeEvidence(*c, evidence, 0)) Insert(std::move(c));
}

void CNTFSCandidateSet::ForEach(const std::function<void(const CSearchedNTFSPartitionInfo&)>& f) const {
    const auto lock = Lock();
    for (const NTFSCandidatePtr& c : m_items) f(*c);
}

void CNTFSCandidateSet::Sweep(const std::function<bool(CSearchedNTFSPartitionInfo&, size_t)>& keep) {
    const auto lock = Lock();
    ++m_version;
    size_t place = 0;
    for (auto it = m_items.begin(); it != m_items.end(); ++place) {
        it = keep(**it, place) ? std::next(it) : Retire(it);
    }
}

void CNTFSCandidateSet::HandOut(std::vector<CSearchedPartitionInfo*>& out) {
    const auto lock = Lock();
    // The scan thread may still be changing the candidates themselves: a look from another
    // thread gets copies, made under the lock.
    const bool copied = m_looks.HandOutCopies(out, m_version, [this] {
        std::vector<NTFSCandidatePtr> copies;
        for (const NTFSCandidatePtr& c : m_items) copies.push_back(std::make_unique<CSearchedNTFSPartitionInfo>(*c));
        return copies;
    });
    if (copied) return;
    for (const NTFSCandidatePtr& c : m_items) out.push_back(c.get());
}

void CNTFSCandidateSet::Settle() { m_looks.End(); }

CNTFSCandidateSet::Store::iterator CNTFSCandidateSet::Retire(Store::iterator it) {
    const auto lock = Lock();
    ++m_version;
    auto next = std::next(it);
    m_retired.push_back(std::move(m_items.extract(it).value()));
    return next;
}

size_t CNTFSCandidateSet::Size() const {
    const auto lock = Lock();
    return m_items.size();
}

void CNTFSCandidateSet::Clear() {
    const auto lock = Lock();
    m_items.clear();
    m_retired.clear();
    m_looks.Begin();
}

bool CSearchedFileRecord::Load(const u8* record, u32 length, u64 recordSector, bool deriveClusterSize) {
    sector = recordSector;
    lsn = RecordLogSequenceNumber(record);
    runs.clear();
    const u8* data = FindRecordAttribute(record, length, ntfs::kAttrData, 0);
    // Only the unnamed stream: skip named ones.
    for (u32 n = 1; data && AttrNameLength(data) != 0; ++n) data = FindRecordAttribute(record, length, ntfs::kAttrData, n);
    if (!data || !AttrIsNonResident(data)) return false;
    u32 pairsLength = 0;
    const u8* pairs = AttrMappingPairs(data, &pairsLength);
    if (!pairs || !DecodeRunsChecked(runs, pairs, pairsLength)) return false;
    if (deriveClusterSize) sectorsPerCluster = GuessSectorsPerClusterFromAttribute(data);
    return true;
}

void NtfsSectorMatchSet::Add(u64 sector) { AddRange(sector, 1); }

void NtfsSectorMatchSet::AddRange(u64 first, u64 count) {
    if (count == 0) return;
    if (!m_ranges.empty() && m_ranges.back().first + m_ranges.back().count == first) {
        m_ranges.back().count += count;
        return;
    }
    if (m_ranges.size() >= kNtfsMaxSightings) return;
    m_ranges.push_back({first, count});
}

u64 NtfsSectorMatchSet::CountIn(u64 first, u64 last) const {
    if (last < first) return 0;
    // Ranges are added in device order, so they are sorted by their first sector.
    auto it = std::upper_bound(m_ranges.begin(), m_ranges.end(), first,
                               [](u64 v, const Range& r) { return v < r.first; });
    if (it != m_ranges.begin()) --it;
    u64 n = 0;
    for (; it != m_ranges.end() && it->first <= last; ++it) {
        const u64 end = it->first + it->count - 1;
        if (end < first) continue;
        n += std::min(end, last) - std::max(it->first, first) + 1;
    }
    return n;
}
