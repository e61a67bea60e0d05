#pragma once
// One MFT record with its extension records, the volume label, and the folder evidence the
// deep search keeps.
#include <memory>
#include <vector>

#include "fs/ntfs/NTFSDBR.h"
#include "fs/ntfs/NTFSRecord.h"
#include "fs/ntfs/NTFSRunList.h"

class IStorageDevice;

// Where an extension record lies: absolute sector (-1 unknown) and record number.
struct NTFSExtensionRecordLocation {
    u64 sector = ~u64(0);
    u64 recordNumber = 0;
    bool operator==(const NTFSExtensionRecordLocation&) const = default;
};
using NTFSExtensionRecordList = std::vector<NTFSExtensionRecordLocation>;

class CNTFSFileRecord {
public:
    CNTFSFileRecord() = default;
    CNTFSFileRecord(const CNTFSFileRecord&) = delete;
    CNTFSFileRecord& operator=(const CNTFSFileRecord&) = delete;

    // Validates the bytes; a valid record whose fixups check is copied (its own size, at most
    // 4096 bytes) and fixed up, and one extension entry is made per location. Anything else
    // leaves the object empty.
    bool Init(const u8* bytes, u32 length, u64 recordSector, IStorageDevice* device,
              const NTFSExtensionRecordList* extensions);
    bool HasRecord() const { return !m_record.empty(); }
    const u8* GetRecord() const { return m_record.empty() ? nullptr : m_record.data(); }
    u32 GetRecordLength() const { return u32(m_record.size()); }
    u64 GetRecordSector() const { return m_sector; }
    IStorageDevice* GetDevice() const { return m_device; }
    size_t GetExtensionCount() const { return m_extensions.size(); }

    // The n-th attribute of a type over the base record and then the extension records (each
    // read on first use). offset: within the record that holds it; sector: that record's sector.
    const u8* FindAttribute(u32 type, u32 n, u32* offset, u64* sector);
    // Every name of the file, over the base record and then the extension records, as
    // FindAttribute walks them. The names point into this object.
    std::vector<NTFSFileNameInfo> ReadFileNames();
    bool IsInUse() const;
    u64 GetRecordNumber() const;

    // The extension records an $ATTRIBUTE_LIST names, placed through the $MFT runs; none when
    // the record has no list or the list names no other record that can be placed.
    static NTFSExtensionRecordList* LocateExtensionRecords(const u8* bytes, u32 length, u64 recordSector,
                                                           u32 sectorsPerCluster, u64 partitionStart,
                                                           IStorageDevice* device, const NTFSRunList& mftRuns,
                                                           u8 sectorsPerRecord);

private:
    struct Extension {
        u64 sector = ~u64(0);
        u64 recordNumber = 0;
        bool tried = false;
        std::vector<u8> image;  // fixed-up record bytes, empty when absent
    };
    void LoadExtension(Extension& e);

    std::vector<u8> m_record;
    u64 m_sector = ~u64(0);
    IStorageDevice* m_device = nullptr;
    std::vector<Extension> m_extensions;
};

// Sectors per cluster estimated from the $MFT-like record's unnamed $DATA size and run total.
u32 GetSectorsPerClusterFromMFTRecord(CNTFSFileRecord& record);

class CNTFSVolumeReader {
public:
    explicit CNTFSVolumeReader(IStorageDevice* device) : m_device(device) {}
    // Reads record 3 ($Volume) and its label (UTF-8, at most 80 bytes) into out. True when the
    // read succeeded; the label stays empty when the record does not qualify.
    bool GetVolumeLabel(u64 partitionStart, const CNTFSDBR& dbr, char* out, u32 outSize);

private:
    IStorageDevice* m_device;
};

// A folder record the deep search uses as evidence of a volume's geometry.
class CIndexedFolderRecord {
public:
    // From a fixed-up record at `sector`.
    bool FromRecord(const u8* record, u32 length, u64 sector);
    void SetFolderNumber(u64 number) { m_folderNumber = number; }

    u64 GetRecordSector() const { return m_sector; }
    const NTFSRunList& GetRuns() const { return m_runs; }
    u64 GetLogSequenceNumber() const { return m_lsn; }
    u64 GetFolderNumber() const { return m_folderNumber; }
    u32 GetHeaderRecordNumber() const { return m_headerRecordNumber; }
    u32 IsNewerLayout() const { return m_newerLayout; }
    u32 GetSectorsPerCluster() const { return m_sectorsPerCluster; }
    u64 LookupLCN(u64 vcn) const { return ::LookupLCN(m_runs, vcn); }
    u64 GetFirstLCN() const { return ::LookupLCN(m_runs, 0); }

private:
    u64 m_sector = ~u64(0);
    NTFSRunList m_runs;
    u64 m_lsn = 0;
    u64 m_folderNumber = ~u64(0);
    u32 m_headerRecordNumber = 0;
    u32 m_newerLayout = 0;
    u32 m_sectorsPerCluster = 0;
};
