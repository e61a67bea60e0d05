#pragma once
// Small found-file trees for the browser's tests: folders and files with the fields the browser
// reads, under a file-system root.
#include <string>

#include "engine/FileNode.h"
#include "engine/FileProperties.h"
#include "engine/FileSystemNode.h"

namespace browsertest {

class Props : public IFileProperties {
public:
    u32 GetNameLength() const override { return static_cast<u32>(name.size() + 1); }
    void SetName(const char* n) override { name = n ? n : ""; }
    const char* GetName() const override { return name.c_str(); }
    u64 GetSize() const override { return size; }
    u16 GetAttributes() const override { return attributes; }
    void GetExtraName(std::string& out) const override { out.clear(); }
    void GetCreationTime(FILETIME64& out) const override { out = modified; }
    void GetModificationTime(FILETIME64& out) const override { out = modified; }
    void GetAccessTime(FILETIME64& out) const override { out = 0; }
    u16 GetState() const override { return kStateDeleted; }
    u8 SetState(u8 s) override { return s; }
    IDataRunList* CreateDataRunList() const override { return nullptr; }
    u32 GetValidFields() const override { return validFields; }
    u8 GetFlag() const override { return 0; }
    u8 SetFlag(u8) override { return 0; }
    void Save(IRSData*) const override {}
    u32 GetFileSystemKind() const override { return kPropertiesNtfs; }
    void Load(IRSData*) override {}

    std::string name;
    u64 size = 0;
    u16 attributes = kAttrArchive;
    FILETIME64 modified = 0;
    u32 validFields = kValidSize | kValidAttributes | kValidModificationTime;
};

// A day in FILETIME units from 2020-01-01.
constexpr u64 kFileTime2020 = 132223104000000000ULL;
constexpr u64 kFileTimeDay = 864000000000ULL;

inline CFileNode* Add(CFileNode* parent, const std::string& name, bool folder, u64 size = 0, u64 modified = 0) {
    auto* p = new Props;
    p->name = name;
    p->size = size;
    p->attributes = folder ? kAttrDirectory : kAttrArchive;
    p->modified = modified;
    CFileNode* n = CreateFileNode();
    n->SetFileProperties(p);
    if (parent) parent->AddChild(n);
    return n;
}

inline CFileSystemNode* Root(u32 fsCode = 3) {
    CFileSystemNode* root = CreateFileSystemNode();
    root->SetFileSystemType(fsCode);
    auto* p = new Props;
    p->name = "NTFS";
    p->attributes = kAttrDirectory;
    root->SetFileProperties(p);
    return root;
}

// Frees a whole tree, children before parents.
inline void Free(CFileNode* node) {
    if (!node) return;
    for (CFileNode* c = node->GetFirstChild(); c;) {
        CFileNode* next = c->GetNextSibling();
        Free(c);
        c = next;
    }
    DeleteFileNode(node);
}

}  // namespace browsertest
