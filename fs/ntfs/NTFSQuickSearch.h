#pragma once
// The deleted-file scan of a known NTFS volume: finds the $MFT through the boot sector, names the
// volume's root, opens the journal for salvage, then reads every MFT record in batches and hands
// each file or folder record, live or deleted, to the directory-tree builder, which links them by
// record number (the root folder is record 5).
#include <memory>
#include <unordered_map>
#include <vector>

#include "engine/FsServices.h"
#include "engine/SearchedPartitionInfo.h"
#include "fs/ntfs/NTFSClusterUse.h"
#include "fs/ntfs/NTFSLogFile.h"
#include "fs/ntfs/NTFSRunList.h"
#include "fs/ntfs/NTFSTakenFolders.h"

class CNTFSDBR;
class CNTFSFileProperties;

// Answers of Search besides 0 (scan error codes: place and cause).
constexpr u32 kNtfsQuickNoDeviceOrProgress = 0x650005;
constexpr u32 kNtfsQuickNoBootSector = 0x750015;
constexpr u32 kNtfsQuickNoMFT = 0x800016;
constexpr u32 kNtfsQuickRootRefused = 0x8F0017;
constexpr u32 kNtfsQuickNoBatchBuffer = 0x1C30004;

class CNTFSQuickSearch : public IQuickFileSystemSearchController {
public:
    // Sectors read and analysed per batch.
    static constexpr u32 kBatchSectors = 128;

    CNTFSQuickSearch();
    ~CNTFSQuickSearch() override = default;
    // The folder check reaches back into the search.
    CNTFSQuickSearch(const CNTFSQuickSearch&) = delete;
    CNTFSQuickSearch& operator=(const CNTFSQuickSearch&) = delete;

    void SetDirectoryTreeBuilder(IDirecotryTreeBuilder* builder) override { m_builder = builder; }
    // Appends the one partition record of this search (owned by the search).
    void GetSearchedPartitions(std::vector<CSearchedPartitionInfo*>& out) override { out.push_back(&m_partition); }
    // The device is the volume itself: sector 0 is its boot sector.
    u32 Search(IStorageDevice* device, IProgress* progress) override;

    // ---- the steps of Search, open for the tests ----
    // Geometry taken from the boot sector; set by Search before the other steps run.
    void SetGeometry(IStorageDevice* device, u32 sectorsPerCluster, u64 volumeClusters);
    bool LocateMFT(const CNTFSDBR& dbr, NTFSMFTLocation& location);
    bool ReadMFTRecordZero(u64 sector, u32 sectorsPerRecord, NTFSMFTLocation& location);
    void CompleteMFTRunsFromExtensions(const u8* record, u32 length, u64 sector, u32 sectorsPerRecord,
                                       NTFSMFTLocation& location);
    // The label of record 3 ($Volume); refused for an unknown $MFT start or a record size this
    // program cannot read. True when the record was read, even when it holds no label.
    bool ReadQuickVolumeLabel(u64 mftStartSector, u32 recordSize, char* label, u32 labelSize);
    bool AddRootNode(const char* label, u64 firstSector, u32 sectorsPerCluster);
    u32 WalkMFT(const NTFSRunList& runs, u32 sectorsPerRecord);
    // Analyses n sectors of records; mftSectors[i] is sector i's place inside the $MFT (so its
    // record number is that over the sectors per record), deviceSectors[i] where it was read.
    u32 AnalyzeRecordBatch(const u8* buffer, u32 n, u32 sectorsPerRecord, const u64* mftSectors,
                           const u64* deviceSectors);
    // 0 when the builder did not take the node (the rest of the batch is then skipped).
    // Takes over the properties' reference; the node it makes goes to the builder or away.
    u32 AddRecordNode(u64 recordNumber, u64 parent, PropertiesRef<CNTFSFileProperties> properties, u32* status);
    void ReportProgress(u64 total, u64 done, u32 status);
    // Weighs the claims of the walk's records: a deleted file whose clusters a record in use, or a
    // file deleted after it, holds is counted incomplete.
    void WeighClaims();
    // The volume the walk's records claim sectors of: the device itself, the only generation.
    NtfsClaimVolume ClaimVolume() const;
    // The id a record's node names for its folder: the parent number, unless the record is
    // deleted and its folder's record now belongs to another folder (StaleFolderId). A folder
    // record the walk has not reached yet is read ahead. When the journal still holds the lost
    // folder's record, a deleted folder node with the stale id is added first (once).
    u64 LinkedParentId(u64 parent, u16 parentSequence, bool inUse, u32 sectorsPerRecord);

    const NTFSRunList& GetMFTRuns() const { return m_mftRuns; }
    CNTFSLogFileParser& GetLogFileParser() { return m_logFile; }

private:
    // What the walk learnt of a record: whether it was read, whether it is a folder and in use,
    // and its sequence number.
    struct RecordSlot {
        u16 sequence = 0;
        u8 flags = 0;
    };
    static constexpr u8 kSlotSeen = 1;
    static constexpr u8 kSlotFolder = 2;
    static constexpr u8 kSlotInUse = 4;
    // `fixed` is the record with its fixups applied; null for bytes that are no record.
    void NoteRecord(u64 number, const u8* fixed);
    const RecordSlot* FindSlot(u64 number) const;
    const RecordSlot* ReadSlotAhead(u64 number, u32 sectorsPerRecord);
    CTakenFolderLinker::FolderLook LookUpFolder(u64 record, u16 namedSequence);

    IDirecotryTreeBuilder* m_builder = nullptr;
    IStorageDevice* m_device = nullptr;
    IProgress* m_progress = nullptr;
    CSearchedPartitionInfo m_partition{512};
    CNTFSLogFileParser m_logFile;

    u32 m_sectorSize = 512;
    u32 m_sectorsPerCluster = 1;
    u64 m_volumeClusters = 0;
    NTFSRunList m_mftRuns;  // the $MFT's runs, cut to the volume
    // What the volume's records in use claim of the disk, as the walk reads them, and its
    // deleted files with their records' sectors and log sequence numbers; the walk's end weighs
    // them. The $MFT's bitmap of records in use (empty when unread) tells its records from an
    // older volume's left there. The deleted files are held here until the weighing, as the
    // builder may let their nodes go before.
    struct DeletedFile {
        PropertiesRef<CNTFSFileProperties> properties;
        u64 recordSector = 0;
        u64 lsn = 0;
    };
    std::unique_ptr<CNtfsClaims> m_claims;
    std::vector<u8> m_mftRecordsInUse;
    std::vector<DeletedFile> m_deletedFiles;
    // By record number from 0, as the walk goes; records far past that (a damaged run list may
    // place some there) and those read ahead are kept aside.
    std::vector<RecordSlot> m_slots;
    std::unordered_map<u64, RecordSlot> m_sparseSlots;
    // Of the walk's records, for the folders read ahead.
    u32 m_sectorsPerRecord = 0;
    CTakenFolderLinker m_folderLinks;
};

// A new search, or null when memory runs out.
IQuickFileSystemSearchController* CreateNTFSQuickSearch();
