#pragma once
// What the NTFS deep search gathers while it reads a device, and how it turns it into evidence
// for its candidates: runs of system records that begin with $MFT, the $AttrDef, $UpCase and
// $LogFile records with the sectors that equal their standard contents, and $LogFile restart and
// log pages.
#include <memory>
#include <vector>

#include "fs/ntfs/NTFSLogFile.h"
#include "fs/ntfs/NTFSPartitionCandidate.h"

// The sizes the collectors measure in: device sectors, records and 512-byte template units.
struct NTFSScanGeometry {
    u32 sectorSize = 512;
    u32 recordStride = 2;     // device sectors from one FILE record to the next
    u32 slotsPerSector = 1;   // 512-byte units per device sector
    u32 pageSectors = 8;      // device sectors of a 4096-byte log page
    static NTFSScanGeometry For(u32 sectorSize);
};

// One $MFT record the search found, with the journal parser of its volume.
struct NTFSMftRecordDetail {
    NTFSMFTLocation* location = nullptr;  // owned by the search's $MFT record list
    std::unique_ptr<CNTFSLogFileParser> parser;
};

// A run of system records that began with $MFT, and the $MFTMirr record met in it.
struct NTFSMftRecordRun {
    NTFSMFTLocation* mft = nullptr;           // owned by the search's $MFT record list
    CSearchedFileRecord* mirror = nullptr;    // owned by the search's $MFTMirr list
};

// What the collectors share: the candidates, the device's bounds and the scan's geometry.
struct NTFSCollectorContext {
    CNTFSCandidateSet* candidates = nullptr;
    NTFSDeviceBounds bounds;
    NTFSScanGeometry geometry;
    IStorageDevice* device = nullptr;
};

// Sectors of a record's runs, counted in the match set's units.
u64 CountMatchesInRuns(const NtfsSectorMatchSet& set, const CSearchedFileRecord& r, u64 start, u32 sectorsPerCluster,
                       u32 slotsPerSector);

// $AttrDef or $UpCase: their FILE records and the sectors equal to the standard table.
class CNTFSTemplateSectorCollector {
public:
    enum class Kind { kAttrDef, kUpCase };
    CNTFSTemplateSectorCollector(Kind kind, const NTFSCollectorContext& context);

    void OnRecord(const u8* record, u32 length, u64 sector);
    // Tests each 512-byte unit of the sector.
    void OnSector(const u8* sector, u64 sectorNumber);
    // The candidate's record sector and match count.
    void Fill(CSearchedNTFSPartitionInfo& c) const;

    const NtfsSectorMatchSet& Matches() const { return m_matches; }
    static bool MatchesAttrDefUnit(const u8* unit);
    static bool MatchesUpCaseUnit(const u8* unit);

private:
    const CSearchedFileRecord* ChooseRecord(const CSearchedNTFSPartitionInfo& c, u32 recordNumber) const;

    Kind m_kind;
    const NTFSCollectorContext& m_context;
    std::vector<CSearchedFileRecord> m_records;
    NtfsSectorMatchSet m_matches;
};

// $LogFile records, restart pages and log pages.
class CNTFSRestartPageCollector {
public:
    explicit CNTFSRestartPageCollector(const NTFSCollectorContext& context);

    void AnalyzeRSTRRecord(u64 sector);
    void OnLogFileRecord(const u8* record, u32 length, u64 sector);
    // The log-page pass over a block (first sector, sector count) in memory; a page cut by the
    // block's end is completed from the next block.
    void LogPagePass(const u8* block, u64 firstSector, u64 sectors);
    void Fill(CSearchedNTFSPartitionInfo& c) const;

    const NtfsSectorMatchSet& LogPages() const { return m_logPages; }
    size_t RestartPageCount() const { return m_restartPages.size(); }
    bool IsFull() const { return m_records.size() >= kNtfsMaxSightings; }

private:
    void Propose(u64 sector, const CSearchedFileRecord& r, u32 evidence);
    void TakePage(const u8* page, u64 slot);

    const NTFSCollectorContext& m_context;
    std::vector<CSearchedFileRecord> m_records;
    std::vector<u64> m_restartPages;
    NtfsSectorMatchSet m_logPages;  // in 512-byte units
    u8 m_carry[ntfslog::kPageSize] = {};
    u32 m_carrySlots = 0;
    u64 m_carryFirstSlot = kNtfsUnknown;
};

// Follows the runs of system records that begin with a $MFT record and makes the $MFT and
// $MFTMirr hypotheses.
class CNTFSFileRecordCollector {
public:
    CNTFSFileRecordCollector(const NTFSCollectorContext& context, std::vector<std::unique_ptr<NTFSMFTLocation>>& mfts,
                             std::vector<std::unique_ptr<CSearchedFileRecord>>& mirrors,
                             std::vector<NTFSMftRecordRun>& runs, std::vector<NTFSMftRecordDetail>& details);

    // Every FILE-record sector in device order: its bytes as read, and a fixed-up copy or null
    // when the sector holds no valid record.
    void Feed(u64 sector, const u8* raw, const u8* fixed, u32 length);
    // Ends an open run (the device's end) and settles the mirror hypotheses left open.
    void Flush();
    bool IsFull(bool mirror) const;

private:
    void EndRun();
    void MftHypotheses();
    void MirrorHypothesis();
    void GiveRunState(CSearchedNTFSPartitionInfo& c) const;

    const NTFSCollectorContext& m_context;
    std::vector<std::unique_ptr<NTFSMFTLocation>>& m_mfts;
    std::vector<std::unique_ptr<CSearchedFileRecord>>& m_mirrors;
    std::vector<NTFSMftRecordRun>& m_runs;
    std::vector<NTFSMftRecordDetail>& m_details;

    u64 m_runStart = kNtfsUnknown;
    NTFSMFTLocation* m_runMft = nullptr;
    CSearchedFileRecord* m_runMirror = nullptr;
    u64 m_runClusters = kNtfsUnknown;
    // Runs of $MFT and $MFTMirr records that neither reading placed when they ended: the
    // hypothesis that the run is the mirror, and the start that its being the $MFT gives.
    struct PendingMirror {
        NTFSCandidatePtr hypothesis;
        u64 mftStart = 0;
    };
    std::vector<PendingMirror> m_pendingMirrors;
};
