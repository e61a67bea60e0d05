#pragma once
// The description of a file or folder found on an exFAT volume, and the exFAT run list.
#include <string>

#include "engine/DataRunList.h"
#include "engine/FileProperties.h"

class CCompactRunList;

// The second cluster word of the properties of a file-system root.
constexpr u32 kExFatRootClusterWord = 0xFFFFFFFFu;

class CExFatFileProperties : public IFileProperties {
public:
    CExFatFileProperties() = default;
    ~CExFatFileProperties() override;

    u32 GetNameLength() const override { return m_nameLength; }
    // Null leaves the name as it is.
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
    u8 GetFlag() const override { return m_flag; }
    u8 SetFlag(u8 flag) override { m_flag = flag; return 1; }
    void Save(IRSData* stream) const override;
    u32 GetFileSystemKind() const override { return kPropertiesExFat; }
    // Reads the form Save writes; the flag byte is cleared.
    void Load(IRSData* stream) override;

    void SetSize(u64 size) { m_size = size; }
    void SetAttributes(u16 attributes) { m_attributes = attributes; }
    void SetCreationTime(FILETIME64 t) { m_creationTime = t; }
    void SetModificationTime(FILETIME64 t) { m_modificationTime = t; }
    void SetAccessTime(FILETIME64 t) { m_accessTime = t; }
    u32 GetFirstCluster() const { return m_firstCluster; }
    void SetFirstCluster(u32 cluster) { m_firstCluster = cluster; }
    u32 GetSecondClusterWord() const { return m_secondCluster; }
    void SetSecondClusterWord(u32 word) { m_secondCluster = word; }
    // Whether a walk of this folder's clusters takes them as contiguous (see
    // CExFatPartition::NextCluster). Kept in memory only.
    u8 GetChainFlag() const { return m_chainFlag; }
    void SetChainFlag(u8 flag) { m_chainFlag = flag; }
    bool IsDeleted() const { return (m_state & kStateDeleted) != 0; }
    // Keeps the compact form of the list and deletes the list (the properties take it over);
    // null drops the runs.
    void SetRunList(IDataRunList* runs);
    bool HasRuns() const { return m_runs != nullptr; }

private:
    void ClearRuns();

    char* m_name = nullptr;
    u16 m_nameLength = 0;
    u64 m_size = 0;
    u16 m_attributes = 0;
    FILETIME64 m_creationTime = 0;
    FILETIME64 m_modificationTime = 0;
    FILETIME64 m_accessTime = 0;
    u8 m_state = 0;
    u8 m_flag = 0;
    u32 m_firstCluster = 0;
    u32 m_secondCluster = 0;
    u8 m_chainFlag = 1;
    CCompactRunList* m_runs = nullptr;
};

// Extents in clusters counted from cluster 2.
class CExFatDataRunList : public IDataRunList {
public:
    u32 GetKind() const override { return kRunListExFat; }
    // Grows the last extent when the new one continues it (never a sparse one), else appends a
    // copy.
    void AppendClusterRun(const DataRunExtent& extent);
};

// A new empty properties object (count 1), or null when memory runs out.
CExFatFileProperties* NewExFatFileProperties();
// Properties read from a saved form; the stream's exception is passed on after the object is
// freed.
CExFatFileProperties* LoadExFatFileProperties(IRSData* stream);
