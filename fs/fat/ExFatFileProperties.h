#pragma once
// The description of a file or folder found on an exFAT volume, and the exFAT run list.
#include <string>

#include "engine/DataRunList.h"
#include "engine/FilePropertiesBase.h"

// The second cluster word of the properties of a file-system root.
constexpr u32 kExFatRootClusterWord = 0xFFFFFFFFu;

class CExFatFileProperties : public CFilePropertiesBase {
public:
    CExFatFileProperties() = default;

    // The stored length does not count the terminating zero; a null name changes nothing.
    void SetName(const char* name) override { SetName16(name, false); }
    u32 GetValidFields() const override { return 0xFF; }
    void Save(IRSData* stream) const override;
    u32 GetFileSystemKind() const override { return kPropertiesExFat; }
    // Reads the form Save writes; the flag byte is cleared.
    void Load(IRSData* stream) override;

    using CFilePropertiesBase::SetAccessTime;
    using CFilePropertiesBase::SetCreationTime;
    using CFilePropertiesBase::SetModificationTime;
    using CFilePropertiesBase::SetSize;
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

private:
    u32 m_firstCluster = 0;
    u32 m_secondCluster = 0;
    u8 m_chainFlag = 1;
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
// Makes the properties a folder (attributes 0x10) of the given name; a null object is left alone.
void SetFolderPropertiesName(CExFatFileProperties* properties, const char* name);
// New folder properties of the given name (count 1), or null when memory runs out.
IFileProperties* CreateExFatFolderProperties(const char* name);
