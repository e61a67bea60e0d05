#pragma once
// The description of a file or folder found on a FAT volume, and how its clusters become runs.
#include <string>

#include "engine/DataRunList.h"
#include "engine/FileNode.h"
#include "engine/FilePropertiesBase.h"

class IFATTable;

// State bits of FAT properties beside the deleted bit.
constexpr u32 kFatDeletedState = kStateDeleted;
constexpr u32 kFatTemporaryState = 0x8;  // a folder made by the search, standing in for one whose entry is not known
constexpr u32 kFatLostFolderState = kFatDeletedState | kFatTemporaryState;

class CFATFileProperties : public CFilePropertiesBase {
public:
    CFATFileProperties() = default;

    // The stored length does not count the terminating zero; a null name changes nothing.
    void SetName(const char* name) override { SetName16(name, false); }
    u32 GetValidFields() const override { return 0xFF; }
    // FAT keeps no flag.
    u8 GetFlag() const override { return 0; }
    u8 SetFlag(u8 /*flag*/) override { return 1; }
    void Save(IRSData* stream) const override;
    u32 GetFileSystemKind() const override { return kPropertiesFat; }
    void Load(IRSData* stream) override;

    using CFilePropertiesBase::SetAccessTime;
    using CFilePropertiesBase::SetCreationTime;
    using CFilePropertiesBase::SetModificationTime;
    using CFilePropertiesBase::SetSize;
    void SetCreationDateTime(u16 date, u16 time);
    void SetModificationDateTime(u16 date, u16 time);
    void SetAccessDate(u16 date);
    void ClearCreationTime() { m_creationTime = 0; }
    void ClearModificationTime() { m_modificationTime = 0; }
    void ClearAccessTime() { m_accessTime = 0; }
    void SetFirstCluster(u32 cluster) { m_firstCluster = cluster; }
    u32 GetFirstCluster() const { return m_firstCluster; }
    void SetParentCluster(u32 cluster) { m_parentCluster = cluster; }
    u32 GetParentCluster() const { return m_parentCluster; }
    // Keeps the compact form of the list and deletes the list; null changes nothing.
    void SetDataRunList(IDataRunList* runs);
    void ClearRunList() { ClearRuns(); }

private:
    u32 m_firstCluster = 0;
    u32 m_parentCluster = 0xFFFFFFFFu;
};

class CFATDataRunList : public IDataRunList {
public:
    u32 GetKind() const override { return kRunListFat; }
};

// A new empty properties object (count 1).
CFATFileProperties* NewFATFileProperties();
// Properties of a short entry (32 bytes) named `name`; null when either is null.
PropertiesRef<CFATFileProperties> CreateFATFilePropertiesFromEntry(const char* name, const u8* entry);
// Properties read from a saved form; null when the stream throws (the exception is passed on
// after the object is freed).
CFATFileProperties* LoadFATFileProperties(IRSData* stream);
// Makes the properties a folder (attributes 0x10) of the given name; a null object is left alone.
void SetFolderPropertiesName(CFATFileProperties* properties, const char* name);
// New folder properties of the given name (count 1), or null when memory runs out; the FAT
// code (0, 1 or 2) does not change the class.
IFileProperties* CreateFATFolderProperties(u32 fsCode, const char* name);

// Grows the last extent when the new one continues it (never a sparse one), else appends a copy.
void AppendExtentMerged(IDataRunList* list, const DataRunExtent& extent);

// What run building needs of the volume.
struct FatVolumeGeometry {
    IFATTable* fat = nullptr;  // null: the file's clusters are taken as one contiguous extent
    u32 sectorsPerCluster = 0;
    u32 sectorSize = 0;
    u64 totalSectors = 0;  // of the volume, from the boot sector
    u64 dataStart = 0;     // sectors of the volume before cluster 2
    u64 deviceSectors = 0;  // of the volume's sectors, those the device holds (0: all of them)
};

// The runs of a file from its first cluster: a live file follows its FAT chain, a deleted one
// takes consecutive clusters (skipping those the FAT marks bad) up to the device's end. Null for
// a file that overflows the volume, one without any cluster, or a first cluster below 2. A live
// chain may go on past the device's end: its runs are where the FAT puts them.
CFATDataRunList* BuildFATRuns(const FatVolumeGeometry& volume, u32 firstCluster, u64 size, bool deleted);

// The FAT properties of a node the FAT searches made; null for a null node.
inline CFATFileProperties* FatPropertiesOf(CFileNode* node) {
    return node != nullptr ? static_cast<CFATFileProperties*>(node->GetFileProperties()) : nullptr;
}
// Whether the node is a folder of a FAT volume.
inline bool IsFatFolderNode(const CFileNode* node) {
    const IFileProperties* p = node->GetFileProperties();
    return p != nullptr && p->GetFileSystemKind() == kPropertiesFat && (p->GetAttributes() & kAttrDirectory) != 0;
}
