#pragma once
// The description of one file or folder an NTFS scan finds, and how an MFT record becomes one.
#include <memory>
#include <string>
#include <vector>

#include "engine/FilePropertiesBase.h"
#include "fs/ntfs/CommonFileRecordInfo.h"
#include "fs/ntfs/NTFSFileRecord.h"

class CCompactRunList;
class CFileNode;
class IDataRunList;
class IStorageDevice;

constexpr u64 kNtfsInitializedSizeUnknown = ~u64(0);

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
    u64 initializedSize = kNtfsInitializedSizeUnknown;  // of the unnamed $DATA; unknown: the whole size
};

class CNTFSFileProperties : public CFilePropertiesBase {
public:
    CNTFSFileProperties() = default;
    ~CNTFSFileProperties() override;

    // The stored length counts the terminating zero; a null name changes nothing.
    void SetName(const char* name) override { SetName16(name, true); }
    u32 GetValidFields() const override { return 0x2FF; }
    u8 SetFlag(u8 flag) override { const u8 old = m_flag; m_flag = flag; return old; }
    void Save(IRSData* stream) const override;
    u32 GetFileSystemKind() const override { return kPropertiesNtfs; }
    void Load(IRSData* stream) override;

    // Every field of the block but the flag and the extension records; takes over its run list.
    void SetData(NTFSFilePropertiesData& block);
    using CFilePropertiesBase::SetSize;
    void SetRecordSector(u64 sector) { m_recordSector = sector; }
    u64 GetRecordSector() const { return m_recordSector; }
    // Takes over the list (null: none); the old one is freed.
    void SetExtensionRecords(NTFSExtensionRecordList* list);
    const NTFSExtensionRecordList* GetExtensionRecords() const { return m_extensions; }
    void CopyExtensionRecords(NTFSExtensionRecordList& to) const;
    u64 GetRecordNumber() const { return m_recordNumber; }
    // Not part of the saved form: a loaded file counts as initialized to its whole size.
    u64 GetInitializedSize() const override { return m_initializedSize < m_size ? m_initializedSize : m_size; }
    // Replaces the stored runs by the compact form of the list; a null list changes nothing.
    void SetRunList(IDataRunList* list);

private:
    u64 m_recordSector = 0;
    NTFSExtensionRecordList* m_extensions = nullptr;
    u64 m_recordNumber = 0;
    u64 m_initializedSize = kNtfsInitializedSizeUnknown;
};

PropertiesRef<CNTFSFileProperties> CreateNTFSFileProperties();
// A new properties object filled from a saved form (freed again when the stream throws).
CNTFSFileProperties* LoadNTFSFileProperties(IRSData* stream);
// Makes the properties a folder (attributes 0x10) of the given name; a null object is left alone.
void SetFolderPropertiesName(CNTFSFileProperties* properties, const char* name);
// New folder properties of the given name (count 1), or null when memory runs out.
IFileProperties* CreateNTFSFolderProperties(const char* name);

// The properties of one MFT record, or null when it has no usable $FILE_NAME. parent receives the
// record number of the folder of the name the properties carry (left alone when unknown), and
// parentSequence the sequence number that name gives it. When volumeClusters is known, what runs
// hold past the volume's end is kept in its place as clusters that cannot be read. Every name of
// the file is weighed, in the base record and in its extension records; with folderKnown, a file
// with names in several folders takes a name whose folder the scan knows (ChooseFolderName).
// namedFolders receives every user folder its names name (NamedUserFolders).
PropertiesRef<CNTFSFileProperties> MakeNTFSFileProperties(u64 recordSector, CNTFSFileRecord& record, u64 bytesPerCluster,
                                            u64* parent, u64 volumeClusters = 0, u16* parentSequence = nullptr,
                                            const NtfsFolderKnown* folderKnown = nullptr,
                                            std::vector<NtfsFolderReference>* namedFolders = nullptr);
// A size that is negative as a signed number becomes the allocated bytes of the runs.
// A negative size becomes the bytes its runs cover; sectors are the device's own, which on a
// 4096-byte-sector volume are not 512 bytes.
void FixNegativeSize(CNTFSFileProperties* properties, u32 sectorsPerCluster, u32 bytesPerSector);

// The node's MFT record re-read from the device; null for folders, non-NTFS nodes and records
// that do not validate.
std::unique_ptr<CNTFSFileRecord> LoadNodeMFTRecord(CFileNode* node, IStorageDevice* device);
// The EFS metadata stream of an encrypted file ($LOGGED_UTILITY_STREAM), which must begin with
// its own length. unreadBytes counts the bytes of it that are zeros where the device could not
// give the sectors.
bool ReadNTFSLoggedUtilityStream(CFileNode* node, IStorageDevice* device, u64& size, void* buffer, u32 capacity,
                                 u64& unreadBytes);
// The value of the node's resident unnamed $DATA attribute, re-read from its MFT record.
bool ReadNTFSResidentData(CFileNode* node, IStorageDevice* device, u64& size, void* buffer, u32 capacity);
