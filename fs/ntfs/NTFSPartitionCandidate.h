#pragma once
// Hypotheses of the NTFS deep search: "an NTFS volume starts at sector X with Y sectors per
// cluster", the evidence each kind of sighting adds to them, the set that keeps them ordered by
// that key, and the score they end with.
#include <functional>
#include <memory>
#include <set>
#include <vector>

#include "devices/FileSystemCode.h"
#include "engine/CandidateLooks.h"
#include "engine/SearchedPartitionInfo.h"
#include "fs/ntfs/NTFSRunList.h"

class CNTFSDBR;

namespace ntfsev {
constexpr u32 kBootSector = 0x01;        // a boot sector at the start
constexpr u32 kBackupBootSector = 0x02;  // a boot sector at start + its own total sectors
constexpr u32 kMirrorAfterMft = 0x04;    // $MFT and $MFTMirr runs both where the volume puts them
constexpr u32 kMftRecord = 0x08;         // a $MFT record where its own $DATA places it
constexpr u32 kMirrorRun = 0x10;         // a $MFT/$MFTMirr run where the mirror places it
constexpr u32 kIndexRecord = 0x20;       // an INDX record where a folder's runs place it
constexpr u32 kRestartPage = 0x40;       // a $LogFile restart page where its record places it
constexpr u32 kSecondRestartPage = 0x80; // the second restart page 8 sectors later
}  // namespace ntfsev

constexpr u64 kNtfsUnknown = ~u64(0);
// Every list of sightings stops growing here.
constexpr size_t kNtfsMaxSightings = 500000;

class CSearchedNTFSPartitionInfo : public CSearchedPartitionInfo {
public:
    explicit CSearchedNTFSPartitionInfo(u32 sectorSize = 512);

    u32 GetKind() override { return 0; }
    u32 TestFileNode(CFileNode* node) override;
    u32 ApplyToFileNode(CFileNode* node) override;
    void Save(IRSData* stream) override;
    void Load(IRSData* stream) override;

    u64 GetSerial() const { return m_serial; }
    void SetSerial(u64 v) { m_serial = v; }
    u32 GetEvidence() const { return m_evidence; }
    void SetEvidence(u32 v) { m_evidence = v; }
    void AddEvidence(u32 bits) { m_evidence |= bits; }
    u64 GetMftNumbering() const { return m_mftNumbering; }
    void SetMftNumbering(u64 v) { m_mftNumbering = v; }
    u64 GetClusterCount() const { return m_clusterCount; }
    void SetClusterCount(u64 v) { m_clusterCount = v; }
    u64 GetLogPageMatches() const { return m_logPageMatches; }
    void SetLogPageMatches(u64 v) { m_logPageMatches = v; }
    u64 GetAttrDefMatches() const { return m_attrDefMatches; }
    void SetAttrDefMatches(u64 v) { m_attrDefMatches = v; }
    u64 GetUpCaseMatches() const { return m_upCaseMatches; }
    void SetUpCaseMatches(u64 v) { m_upCaseMatches = v; }
    u64 GetMftSector() const { return m_mftSector; }
    void SetMftSector(u64 v) { m_mftSector = v; }
    u64 GetLogFileRecordSector() const { return m_logFileRecordSector; }
    void SetLogFileRecordSector(u64 v) { m_logFileRecordSector = v; }
    u64 GetAttrDefRecordSector() const { return m_attrDefRecordSector; }
    void SetAttrDefRecordSector(u64 v) { m_attrDefRecordSector = v; }
    u64 GetUpCaseRecordSector() const { return m_upCaseRecordSector; }
    void SetUpCaseRecordSector(u64 v) { m_upCaseRecordSector = v; }
    u64 GetBitmapSectors() const { return m_bitmapSectors; }
    void SetBitmapSectors(u64 v) { m_bitmapSectors = v; }
    // INDX confirmations are kept in the base record's evidence count.
    u64 GetIndexConfirmations() const { return GetEvidenceCount(); }
    void AddIndexConfirmation() { SetEvidenceCount(GetEvidenceCount() + 1); }

    // The score from the evidence bits and the template counts (0 to 120).
    u64 ComputeScore() const;

    static constexpr u32 kFormatWord = 2;

private:
    u64 m_serial = 0;
    u32 m_formatWord = kFormatWord;
    u32 m_evidence = 0;
    u64 m_mftNumbering = 0;
    u64 m_clusterCount = kNtfsUnknown;
    u64 m_logPageMatches = kNtfsUnknown;
    u64 m_attrDefMatches = kNtfsUnknown;
    u64 m_upCaseMatches = kNtfsUnknown;
    u64 m_mftSector = kNtfsUnknown;
    u64 m_logFileRecordSector = kNtfsUnknown;
    u64 m_attrDefRecordSector = kNtfsUnknown;
    u64 m_upCaseRecordSector = kNtfsUnknown;
    u64 m_bitmapSectors = kNtfsUnknown;
};

using NTFSCandidatePtr = std::unique_ptr<CSearchedNTFSPartitionInfo>;

// The device a candidate must fit: its sectors and sector size.
struct NTFSDeviceBounds {
    u64 totalSectors = 0;
    u32 sectorSize = 512;
};

// From a boot sector at `start` (none for a negative start or fewer than 8 sectors left); the
// size is the boot sector's total sectors, cut at the device's end.
NTFSCandidatePtr MakeCandidateFromDBR(const CNTFSDBR& dbr, i64 start, u32 evidence, const NTFSDeviceBounds& bounds);
// From a record at sector R that its volume places at cluster L: start R - L x s; none when that
// is negative or leaves the record in the volume's first 8 sectors. The size runs to the
// device's end.
NTFSCandidatePtr CreateNTFSPartitionFromRecord(u64 recordSector, u64 cluster, u32 sectorsPerCluster, u32 evidence,
                                               const NTFSDeviceBounds& bounds);
// The same for 1, 2, 4, ... 128 sectors per cluster.
std::vector<NTFSCandidatePtr> CreateNTFSPartitionsForAllClusterSizes(u64 recordSector, u64 cluster, u32 evidence,
                                                                     const NTFSDeviceBounds& bounds);

// The deep search's candidates, ordered by start and then sectors per cluster; equal keys keep
// their insertion order. The set owns its candidates. The scan thread adds to them and changes
// their evidence while a preview of the paused scan looks at them from another thread (a pause is
// noticed between steps of the scan thread, which may still be in one): every operation holds the
// set's lock, and a candidate that leaves the set stays alive with the set, for a caller may still
// hold it.
class CNTFSCandidateSet {
public:
    struct Less {
        bool operator()(const NTFSCandidatePtr& a, const NTFSCandidatePtr& b) const;
    };
    using Store = std::multiset<NTFSCandidatePtr, Less>;

    CSearchedNTFSPartitionInfo* Insert(NTFSCandidatePtr c);
    // Calls f for every candidate with the key of c (start, sectors per cluster), in order.
    void ForSameKey(u64 start, u32 sectorsPerCluster, const std::function<void(CSearchedNTFSPartitionInfo&)>& f);
    bool HasSameKey(u64 start, u32 sectorsPerCluster) const;
    // Clears `clear`, sets `set` on every same-key candidate; one left without evidence leaves
    // the set. Whether any same-key candidate existed.
    bool MergeEvidence(const CSearchedNTFSPartitionInfo& c, u32 set, u32 clear);
    // Every same-key candidate gets the INDX bit and one more confirmation.
    bool ConfirmIndex(const CSearchedNTFSPartitionInfo& c);
    // Inserts c unless a same-key candidate confirms it.
    void ConfirmOrInsert(NTFSCandidatePtr c);
    // Merges (setting `evidence`) or, when nothing had its key, inserts.
    void MergeOrInsert(NTFSCandidatePtr c, u32 evidence);

    // Calls f for every candidate, in order.
    void ForEach(const std::function<void(const CSearchedNTFSPartitionInfo&)>& f) const;
    // Calls keep for every candidate, in order, with the candidate's place in that order; one
    // for which it answers false leaves the set.
    void Sweep(const std::function<bool(CSearchedNTFSPartitionInfo&, size_t place)>& keep);
    // Appends the candidates for a look from any thread. Until Settle, the look gets copies of
    // them as they are now, made anew only when the set changed; every copy handed out stays
    // alive with the set. After Settle it gets the candidates themselves.
    void HandOut(std::vector<CSearchedPartitionInfo*>& out);
    // The set changes no more: looks get the candidates themselves from now on.
    void Settle();
    size_t Size() const;
    void Clear();

private:
    CCandidateLooks<CSearchedNTFSPartitionInfo>::Lock Lock() const { return m_looks.Hold(); }
    // Takes the candidate out of the set (it stays alive until Clear); the next one.
    Store::iterator Retire(Store::iterator it);

    // Its lock guards the set; it keeps the copies looks get until Settle.
    CCandidateLooks<CSearchedNTFSPartitionInfo> m_looks;
    // Counts the changes to the set and to its candidates.
    u64 m_version = 1;
    Store m_items;
    std::vector<NTFSCandidatePtr> m_retired;
};

// A FILE record the deep search keeps: where it was found, the runs of its unnamed $DATA and its
// log sequence number; the $LogFile form also derives its sectors per cluster.
struct CSearchedFileRecord {
    u64 sector = kNtfsUnknown;
    NTFSRunList runs;
    u64 lsn = 0;
    u32 sectorsPerCluster = 0;
    bool operator==(const CSearchedFileRecord& o) const {
        return sector == o.sector && lsn == o.lsn && runs == o.runs;
    }
    // From a fixed-up record; false when it has no unnamed non-resident $DATA.
    bool Load(const u8* record, u32 length, u64 recordSector, bool deriveClusterSize);
    u64 FirstLCN() const { return LookupLCN(runs, 0); }
};

// Ranges of sectors that matched a template, in the order found.
class NtfsSectorMatchSet {
public:
    struct Range {
        u64 first;
        u64 count;
    };
    void Add(u64 sector);
    void AddRange(u64 first, u64 count);
    // Sectors of [first, last] in the set.
    u64 CountIn(u64 first, u64 last) const;
    size_t RangeCount() const { return m_ranges.size(); }
    void Clear() { m_ranges.clear(); }

private:
    std::vector<Range> m_ranges;
};
