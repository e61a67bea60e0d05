#pragma once
// The NTFS deep search of the complete scan. It looks at every sector of a device once, in
// blocks, and recognises NTFS boot sectors, $LogFile restart and log pages, INDX index records,
// FILE records and the standard $AttrDef and $UpCase sectors. Each sighting is evidence for NTFS
// volumes that may start anywhere, also where no partition table points any more; FILE records
// are reported to the tree builder at once, so the browser fills while the device is read. After
// the evaluation chose among the candidates, the search builds the chosen volume's tree from
// the records it saw.
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "engine/FileNode.h"
#include "engine/FileTypeHintList.h"
#include "engine/FsServices.h"
#include "fs/ntfs/NTFSEvidenceCollectors.h"
#include "fs/ntfs/NTFSFileRecord.h"
#include "fs/ntfs/NTFSTakenFolders.h"

class CCommonFileRecordInfo;
class CFileNode;
class CNTFSFileProperties;
class CStorageDeviceWithCache;

// One INDX record: where it starts, the VCN it says it has, its log sequence number and the
// folder its entries belong to.
struct NtfsIndexSighting {
    u64 sector = 0;
    u64 vcn = 0;
    u64 lsn = 0;
    u32 parent = 0;
};

// FILE records laid one record stride apart.
struct NtfsRecordRun {
    u64 firstSector = 0;
    u64 count = 0;
};

// The INDX record test: magic, sizes, update sequence (checked and applied on a copy) and an
// entry walk that stays inside the record and finds every entry under one folder. On success
// the folder's record number (low 32 bits) goes to `parent`, -1 when the record has no entry.
bool CheckIndexRecord(const u8* record, u32 length, u64* parent);
// "RSTR", the journal's name at offset 144 and a sound update sequence over 4096 bytes.
bool IsNTFSRestartPage(const u8* page, u32 length);

class CNTFSSearchController : public ICompleteFileSystemSearchController {
public:
    // Look-ahead of a sector's tests, in sectors.
    static constexpr u32 kWindowSectors = 16;
    static constexpr u32 kIndexRecordSize = 4096;

    CNTFSSearchController();
    ~CNTFSSearchController() override;
    // The folder check reaches back into the search.
    CNTFSSearchController(const CNTFSSearchController&) = delete;
    CNTFSSearchController& operator=(const CNTFSSearchController&) = delete;

    void SetDirectoryTreeBuilder(IDirecotryTreeBuilder* builder) override { m_builder = builder; }
    void GetSearchedPartitions(std::vector<CSearchedPartitionInfo*>& out) override;
    void SetDevice(IStorageDevice* device) override;
    void SetBlockSectorCount(u32 sectors) override { m_blockSectors = sectors; }
    void BeginSearch() override;
    void EndSearch() override;
    u32 SearchBlock(u64 firstSector, u64 sectorCount) override;
    void SetFoundFilePool(CRawFileInfoPool* pool) override { m_pool = pool; }
    u32 BuildFileSystemTrees(std::vector<CSearchedPartitionInfo*>& chosen) override;
    u32 CollectLostFiles(std::vector<CSearchedPartitionInfo*>& chosen) override;
    u32 TestFileNode(CFileNode*, CSearchedPartitionInfo*) override { return 0; }
    u32 ApplyToFileNode(CFileNode* node, CSearchedPartitionInfo* candidate) override;
    u32 SaveState(IRSData* stream) override;
    u32 LoadState(IRSData* stream) override;
    u32 GetKind() override { return 0; }

    // A node of the record at `sector` (bytes as read); none for extension and metadata records
    // and records without a usable name. With a candidate the runs get its cluster size, and
    // with an $MFT location the record number comes from where the record lies in it.
    TreeNodePtr MakeFoundFileNode(const u8* raw, u32 length, u64 sector, CSearchedNTFSPartitionInfo* candidate,
                                 const NTFSMFTLocation* mft);

    // For inspection.
    const CNTFSCandidateSet& GetCandidates() const { return m_candidates; }
    CNTFSCandidateSet& GetCandidates() { return m_candidates; }
    const std::vector<NtfsRecordRun>& GetRecordRuns() const { return m_recordRuns; }
    const std::vector<std::unique_ptr<NTFSMFTLocation>>& GetMftRecords() const { return m_mftRecords; }
    bool IsLiveReporting() const { return m_liveReporting; }
    const NTFSScanGeometry& GetGeometry() const { return m_context.geometry; }

private:
    void AnalyzeNTFSDBRSector(u64 sector, const u8* p);
    void AnalyzeIndexSector(u64 sector, const u8* p, u32 window);
    void AnalyzeIndexRecord(u64 sector, const u8* record, u32 length);
    void AnalyzeNTFSFileRecordSector(u64 sector, const u8* p, u32 window);
    void AnalyzeFileRecord(u64 sector, const u8* raw, u32 length);
    void FoundFolderWithIndexAllocation(u64 sector, const u8* raw, const u8* fixed, u32 length);
    void FoundOtherRecord(u64 sector, const u8* raw, const u8* fixed, u32 length);
    void ReportFoundFile(u64 sector, const u8* raw, u32 length);
    TreeNodePtr MakeRecordNode(const u8* raw, u32 length, u64 sector, CSearchedNTFSPartitionInfo* candidate,
                               const NTFSMFTLocation* mft, CCommonFileRecordInfo& info);

    // The tree shown while the device is read files a deleted record under a folder of the number
    // it names only once a folder record of that number shows it is that folder (by sequence
    // number); until then the record is held here, unseen, as it would wait in the tree.
    struct HeldRecord {
        TreeNodePtr node;
        u16 namedSequence = 0;
        bool folder = false;
        u64 number = ~u64(0);
        u16 sequence = 0;
        bool inUse = false;
    };
    struct SeenFolder {
        u16 sequence = 0;
        bool inUse = false;
    };
    static HeldRecord Hold(TreeNodePtr node, const CCommonFileRecordInfo& info);
    CTakenFolderLinker::FolderLook LookUpSeenFolder(u64 record, u16 namedSequence) const;
    // Hands the record to the tree; a folder then lets go of the records held for it.
    void HandToTree(HeldRecord record);
    // True when the tree took the record; a folder the tree took counts as seen.
    bool HandOne(HeldRecord& record);
    // Moves the records held for that folder which name its sequence number to `pending`.
    void LetGoFor(const HeldRecord& folder, std::vector<HeldRecord>& pending);
    // At the end of the device: what is still held goes to the tree, filed as the finished
    // trees file it.
    void ReleaseHeldRecords();
    void AddRecordSector(u64 sector, bool newRun);
    void ProposeFromFolder(const CIndexedFolderRecord& folder, const NtfsIndexSighting& sighting);
    void FreeCollectors();
    // The $MFT records that place a candidate's records, rebuilt when the candidate changes.
    const std::vector<const NTFSMFTLocation*>& CandidateMfts(CSearchedNTFSPartitionInfo* candidate);

    IDirecotryTreeBuilder* m_builder = nullptr;
    bool m_liveReporting = true;
    std::vector<const NTFSMFTLocation*> m_candidateMfts;
    CSearchedNTFSPartitionInfo* m_currentCandidate = nullptr;
    u32 m_blockSectors = 0;
    IStorageDevice* m_device = nullptr;
    CStorageDeviceWithCache* m_cache = nullptr;  // m_device when it is the scan's cache
    std::vector<u8> m_block;
    CRawFileInfoPool* m_pool = nullptr;
    std::multimap<u64, NtfsIndexSighting> m_indexSightings;
    CNTFSCandidateSet m_candidates;
    std::multimap<u64, std::unique_ptr<CIndexedFolderRecord>> m_indexedFolders;
    std::vector<std::unique_ptr<CSearchedFileRecord>> m_mirrorRecords;
    std::vector<NTFSMftRecordRun> m_mftRecordRuns;
    std::vector<std::unique_ptr<NTFSMFTLocation>> m_mftRecords;
    std::vector<NtfsRecordRun> m_recordRuns;
    NTFSCollectorContext m_context;
    std::unique_ptr<CNTFSFileRecordCollector> m_fileRecords;
    std::unique_ptr<CNTFSTemplateSectorCollector> m_attrDef;
    std::unique_ptr<CNTFSTemplateSectorCollector> m_upCase;
    std::unique_ptr<CNTFSRestartPageCollector> m_restart;
    CFileTypeHintList m_typeHints;
    std::vector<NTFSMftRecordDetail> m_mftDetails;
    u32 m_treeCounter = 0;
    // By record number, the folder records handed to the tree while the device is read.
    std::unordered_multimap<u64, SeenFolder> m_seenFolders;
    // By the folder number they name.
    std::unordered_multimap<u64, HeldRecord> m_heldRecords;
    CTakenFolderLinker m_folderLinks;

    // Records cut by a block's end, completed from the next block. They belong to one search of
    // one device and start empty with every BeginSearch.
    struct FileCarry {
        bool active = false;
        u64 sector = ~u64(0);
        u8 bytes[ntfs::kMinRecordSize] = {};
    } m_fileCarry;
    struct IndexCarry {
        bool active = false;
        u64 sector = ~u64(0);
        u32 held = 0;  // sectors
        u8 bytes[kIndexRecordSize] = {};
    } m_indexCarry;
};

ICompleteFileSystemSearchController* CreateNTFSSearchController();

// EndSearch prunes weak candidates only past this many, and only those scoring this or less.
constexpr size_t kNtfsUnprunedCandidates = 1000;
constexpr u64 kNtfsPrunedScore = 10;
// With this many candidates or more, those seen only in INDX records that nothing confirms go.
constexpr size_t kNtfsIndexOnlyPruneCount = 50;

// Steps of the search that take longer than this are named in the debug trace.
constexpr u64 kNtfsSlowStepMs = 30;
// The debug-trace line of a step that took `elapsedMs`, with the sector it carries when it has
// one; false (nothing to write) when it took kNtfsSlowStepMs or less.
bool FormatNtfsStepTime(const char* label, std::optional<i64> sector, u64 elapsedMs, std::string& line);
