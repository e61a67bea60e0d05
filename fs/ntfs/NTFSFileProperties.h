#pragma once
// The description of one file or folder an NTFS scan finds, and how an MFT record becomes one.
#include <memory>
#include <string>

#include "engine/FileProperties.h"
#include "fs/ntfs/NTFSFileRecord.h"

class CCompactRunList;
class CFileNode;
class IDataRunList;
class IStorageDevice;

// The fields of CNTFSFileProperties as one plain block, filled by MakeNTFSFileProperties.
struct NTFSFilePropertiesData {
    std::string name;
    u16 nameLength = 0;
    u64 size = 0;
    u16 attributes = 0;
    u64 creationTime = 0;
    u64 modificationTime = 0;
    u64 accessTime = 0;
    u8 state = 0;
    u64 recordSector = 0;
    CCompactRunList* runList = nullptr;  // handed over to the properties by SetData
    u64 recordNumber = 0;
};

class CNTFSFileProperties : public IFileProperties {
public:
    CNTFSFileProperties() = default;
    ~CNTFSFileProperties() override;

    u32 GetNameLength() const override { return m_nameLength; }
    // The stored length counts the terminating zero; a null name changes nothing.
    void SetName(const char* name) override;
    const char* GetName() const override { return m_name; }
    u64 GetSize() const override { return m_size; }
    u16 GetAttributes() const override { return m_attributes; }
    void GetExtraName(std::string& out) const override { out.clear(); }
    void GetCreationTime(FILETIME64& out) const override { out = m_creationTime; }
    void GetModificationTime(FILETIME64& out) const override { out = m_modificationTime; }
    void GetAccessTime(FILETIME64& out) const override { out = m_accessTime; }
    u16 GetState() const override { return m_state; }
    u8 SetState(u8 state) override { m_state = state; return m_state; }
    IDataRunList* CreateDataRunList() const override;
    u32 GetValidFields() const override { return 0x2FF; }
    u8 GetFlag() const override { return m_flag; }
    u8 SetFlag(u8 flag) override { const u8 old = m_flag; m_flag = flag; return old; }
    void Save(IRSData* stream) const override;
    u32 GetFileSystemKind() const override { return kPropertiesNtfs; }
    void Load(IRSData* stream) override;

    // Every field of the block but the flag and the extension records; takes over its run list.
    void SetData(NTFSFilePropertiesData& block);
    void SetAttributes(u16 attributes) { m_attributes = attributes; }
    void SetSize(u64 size) { m_size = size; }
    void SetRecordSector(u64 sector) { m_recordSector = sector; }
    u64 GetRecordSector() const { return m_recordSector; }
    // Takes over the list (null: none); the old one is freed.
    void SetExtensionRecords(NTFSExtensionRecordList* list);
    const NTFSExtensionRecordList* GetExtensionRecords() const { return m_extensions; }
    void CopyExtensionRecords(NTFSExtensionRecordList& to) const;
    u64 GetRecordNumber() const { return m_recordNumber; }
    // Replaces the stored runs by the compact form of the list; a null list changes nothing.
    void SetRunList(IDataRunList* list);
    const CCompactRunList* GetRunList() const { return m_runs; }

private:
    char* m_name = nullptr;
    u16 m_nameLength = 0;
    u64 m_size = 0;
    u16 m_attributes = 0;
    u64 m_creationTime = 0;
    u64 m_modificationTime = 0;
    u64 m_accessTime = 0;
    u8 m_state = 0;
    u8 m_flag = 0;
    u64 m_recordSector = 0;
    CCompactRunList* m_runs = nullptr;
    NTFSExtensionRecordList* m_extensions = nullptr;
    u64 m_recordNumber = 0;
};

CNTFSFileProperties* CreateNTFSFileProperties();
// A new properties object filled from a saved form (freed again when the stream throws).
CNTFSFileProperties* LoadNTFSFileProperties(IRSData* stream);

// The properties of one MFT record, or null when it has no usable $FILE_NAME. parent receives the
// parent folder's record number (left alone when unknown). When volumeClusters is known, runs
// that reach past the volume are clipped to it.
CNTFSFileProperties* MakeNTFSFileProperties(u64 recordSector, CNTFSFileRecord& record, u64 bytesPerCluster,
                                            u64* parent, u64 volumeClusters = 0);
// A size that is negative as a signed number becomes the allocated bytes of the runs.
// A negative size becomes the bytes its runs cover; sectors are the device's own, which on a
// 4096-byte-sector volume are not 512 bytes.
void FixNegativeSize(CNTFSFileProperties* properties, u8 sectorsPerCluster, u32 bytesPerSector);

// The node's MFT record re-read from the device; null for folders, non-NTFS nodes and records
// that do not validate.
std::unique_ptr<CNTFSFileRecord> LoadNodeMFTRecord(CFileNode* node, IStorageDevice* device);
// The EFS metadata stream of an encrypted file ($LOGGED_UTILITY_STREAM), which must begin with
// its own length.
bool ReadNTFSLoggedUtilityStream(CFileNode* node, IStorageDevice* device, u64& size, void* buffer, u32 capacity);
// (ReadNTFSResidentData is declared in engine/DataRunReader.h.)
