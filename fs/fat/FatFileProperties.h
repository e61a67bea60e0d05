#pragma once
// The description of a file or folder found on a FAT volume, and how its clusters become runs.
#include <string>

#include "engine/DataRunList.h"
#include "engine/FileProperties.h"

class CCompactRunList;
class IFATTable;

class CFATFileProperties : public IFileProperties {
public:
    CFATFileProperties() = default;
    ~CFATFileProperties() override;

    u32 GetNameLength() const override { return m_nameLength; }
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
    u32 GetValidFields() const override { return 0xFF; }
    u8 GetFlag() const override { return 0; }
    u8 SetFlag(u8 /*flag*/) override { return 1; }
    void Save(IRSData* stream) const override;
    u32 GetFileSystemKind() const override { return kPropertiesFat; }
    void Load(IRSData* stream) override;

    void SetSize(u64 size) { m_size = size; }
    void SetAttributes(u16 attributes) { m_attributes = attributes; }
    void SetCreationDateTime(u16 date, u16 time);
    void SetModificationDateTime(u16 date, u16 time);
    void SetAccessDate(u16 date);
    void SetCreationTime(FILETIME64 t) { m_creationTime = t; }
    void SetModificationTime(FILETIME64 t) { m_modificationTime = t; }
    void SetAccessTime(FILETIME64 t) { m_accessTime = t; }
    void ClearCreationTime() { m_creationTime = 0; }
    void ClearModificationTime() { m_modificationTime = 0; }
    void ClearAccessTime() { m_accessTime = 0; }
    void SetFirstCluster(u32 cluster) { m_firstCluster = cluster; }
    u32 GetFirstCluster() const { return m_firstCluster; }
    void SetParentCluster(u32 cluster) { m_parentCluster = cluster; }
    u32 GetParentCluster() const { return m_parentCluster; }
    // Keeps the compact form of the list and deletes the list; null changes nothing.
    void SetDataRunList(IDataRunList* runs);
    void ClearRunList();
    bool HasRuns() const { return m_runs != nullptr; }

private:
    char* m_name = nullptr;
    u16 m_nameLength = 0;
    u64 m_size = 0;
    u16 m_attributes = 0;
    FILETIME64 m_creationTime = 0;
    FILETIME64 m_modificationTime = 0;
    FILETIME64 m_accessTime = 0;
    u8 m_state = 0;
    u32 m_firstCluster = 0;
    u32 m_parentCluster = 0xFFFFFFFFu;
    CCompactRunList* m_runs = nullptr;
};

class CFATDataRunList : public IDataRunList {
public:
    u32 GetKind() const override { return kRunListFat; }
};

// A new empty properties object (count 1).
CFATFileProperties* NewFATFileProperties();
// Properties of a short entry (32 bytes) named `name`; null when either is null.
CFATFileProperties* CreateFATFilePropertiesFromEntry(const char* name, const u8* entry);
// Properties read from a saved form; null when the stream throws (the exception is passed on
// after the object is freed).
CFATFileProperties* LoadFATFileProperties(IRSData* stream);

// Grows the last extent when the new one continues it (never a sparse one), else appends a copy.
void AppendExtentMerged(IDataRunList* list, const DataRunExtent& extent);

// What run building needs of the volume.
struct FatVolumeGeometry {
    IFATTable* fat = nullptr;  // null: the file's clusters are taken as one contiguous extent
    u32 sectorsPerCluster = 0;
    u32 sectorSize = 0;
    u64 totalSectors = 0;  // of the volume, from the boot sector
    u64 dataStart = 0;     // sectors of the volume before cluster 2
};

// The runs of a file from its first cluster: a live file follows its FAT chain, a deleted one
// takes consecutive clusters (skipping those the FAT marks bad). Null for a file that overflows
// the volume, one without any cluster, or a first cluster below 2.
CFATDataRunList* BuildFATRuns(const FatVolumeGeometry& volume, u32 firstCluster, u64 size, bool deleted);
