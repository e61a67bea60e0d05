#pragma once
// Salvage from the NTFS journal ($LogFile). When a file is deleted its MFT record usually keeps
// its name but loses its size and data runs; the journal still holds recent images of whole MFT
// records and the undo data of attribute changes. The parser reads the whole journal once,
// keeps those record images and every log record, and then completes deleted records that lost
// their data: from a matching record image, or from the record's own $DATA attributes with the
// journal's undo data laid back over them.
#include <memory>
#include <unordered_map>
#include <vector>

#include "fs/ntfs/NTFSFileProperties.h"
#include "fs/ntfs/NTFSFileRecord.h"
#include "fs/ntfs/NTFSRunList.h"

class CNTFSFileProperties;
class IDataRunList;
class IStorageDevice;

namespace ntfslog {
constexpr u32 kPageSize = 4096;
constexpr u32 kPageHeaderSize = 64;
constexpr u32 kPageDataSize = kPageSize - kPageHeaderSize;  // 4032
constexpr u32 kLogRecordHeaderSize = 48;
// Offset of the redo data when it follows a 40-byte client header.
constexpr u32 kRedoImageOffset = 88;
constexpr u32 kImageSize = 1024;
// The journal names a place inside a cluster in blocks of this size.
constexpr u32 kLogBlockBytes = 512;
// The first pages hold the restart areas; log records begin on this page.
constexpr u32 kFirstRecordPage = 4;

// Fields of a log record (offsets from the record's start).
inline u64 LogRecordLSN(const u8* r) { return ReadLE64(r); }
inline u32 LogClientDataLength(const u8* r) { return ReadLE32(r + 24); }
}  // namespace ntfslog

// The update-sequence test of a log page: "RCRD", count 9 at offset 6, array at offset 40, and
// the last two bytes of each of its eight 512-byte sectors equal to the sequence number. The deep
// search's log-page pass accepts pages by the same test. `length` must be at least 4096.
bool IsValidLogPage(const u8* page, u32 length);
// Puts the saved bytes back at the end of each sector; false (and nothing changed) when the page
// fails IsValidLogPage.
bool ApplyLogPageFixups(u8* page, u32 length);

// A folder whose whole record image the journal holds: what it was called and where it stood
// while that record with that sequence number was it.
struct NTFSLoggedFolder {
    u64 parent = ~u64(0);  // record number of its own folder
    u16 parentSequence = 0;
    PropertiesRef<CNTFSFileProperties> properties;
};

class CNTFSLogFileParser {
public:
    CNTFSLogFileParser() = default;
    ~CNTFSLogFileParser();
    CNTFSLogFileParser(const CNTFSLogFileParser&) = delete;
    CNTFSLogFileParser& operator=(const CNTFSLogFileParser&) = delete;

    // Finds the $LogFile record (MFT record 2) through the first extent of the $MFT runs. The
    // runs' clusters count from partitionStart (a sector of the device); 0 sectors per cluster
    // is taken as 8. False for a null device or run list, a record that is not $LogFile, or a
    // device whose sectors do not divide a log page.
    bool Open(IStorageDevice* device, const NTFSRunList* mftRuns, u32 sectorsPerCluster, u64 partitionStart = 0);
    // Collects the record images and the log records, then frees the page image. Always true;
    // a parser that is not open collects nothing.
    bool Parse();
    // Gives a deleted record's properties the size and runs the journal still knows. `record`
    // holds at least 1024 bytes of the MFT record with its fixups applied; key is the parent
    // reference of its file name (all ones when unknown); extensions are absolute sectors of its
    // extension records. False when nothing suitable was found.
    bool ApplyToRecord(const u8* record, CNTFSFileProperties* properties, u64 key,
                       const NTFSExtensionRecordList* extensions);
    void Reset();
    // The folder the journal last saw as that record with that sequence number; null when none.
    const NTFSLoggedFolder* FindFolder(u64 number, u16 sequence) const;

    bool IsOpened() const { return m_opened; }
    bool IsParsed() const { return m_parsed; }
    size_t GetRecordImageCount() const { return m_images.size(); }
    size_t GetLogRecordCount() const { return m_logRecords.size(); }
    u64 GetPageCount() const { return m_pageCount; }

    // The MFT record a log record targets, given the cluster it names and the 512-byte block
    // inside that cluster; all ones when the block starts no record.
    static u64 TargetRecordNumber(u64 vcn, u16 clusterBlockOffset, u32 sectorsPerCluster, u32 sectorSize = 512);

private:
    struct RecordImage {
        u64 key = ~u64(0);
        PropertiesRef<CNTFSFileProperties> properties;
    };
    // The fields of a stored log record that laying it over a record needs.
    struct LogRecord {
        u32 length = 0;  // bytes stored
        u32 clientLength = 0;
        u16 undoOffset = 0;
        u16 undoLength = 0;
        u16 recordOffset = 0;
        u16 attributeOffset = 0;
        u16 clusterBlockOffset = 0;
        u32 targetVCN = 0;
        const u8* bytes = nullptr;  // inside the record store
    };
    enum class Walk { kImages, kLogRecords };

    bool LoadPages();
    void WalkPages(Walk walk);
    void ReadLastPageCarry(std::vector<u8>& carry);
    void StepImages(const u8* record, u32 available);
    void StepLogRecords(const u8* record, u32 available);
    // `image` is a protected folder record that `logRecord` carries.
    void KeepFolderImage(const u8* logRecord, const u8* image);
    // The properties a record image describes, and its parent in *parent; null for an image
    // that does not parse.
    PropertiesRef<CNTFSFileProperties> ImageProperties(const u8* image, u64* parent) const;
    // Lays the undo data the journal holds for the record's $DATA attributes over the 1024
    // bytes at `record` (inside the work buffer).
    void LayLogOverRecord(u8* record);
    void CollectDataAttributes(const u8* record, std::vector<std::vector<u8>>& out);
    const RecordImage* ChooseImage(const u8* record, const CNTFSFileProperties* properties, u64 key) const;

    bool m_opened = false;
    IStorageDevice* m_device = nullptr;
    IDataRunList* m_runs = nullptr;  // of $LogFile, owned
    u32 m_sectorsPerCluster = 8;
    u64 m_partitionStart = 0;
    u32 m_sectorSize = 512;
    u64 m_pageCount = 0;
    std::unique_ptr<u8[]> m_pages;        // the whole log; freed after Parse
    bool m_pagesLoaded = false;
    std::unique_ptr<u8[]> m_store;        // copies of the log records, end to end
    u64 m_storeCapacity = 0;
    u64 m_storeUsed = 0;
    PropertiesRef<CNTFSFileProperties> m_logFileProperties;
    std::vector<RecordImage> m_images;
    // By StaleFolderId(record number, sequence number).
    std::unordered_map<u64, NTFSLoggedFolder> m_folders;
    std::vector<LogRecord> m_logRecords;
    // Log records by the MFT record they target.
    std::unordered_multimap<u64, size_t> m_byTarget;
    bool m_compressed = false;
    bool m_parsed = false;
};
