#pragma once
// Small found-file trees for the browser's tests: folders and files with the fields the browser
// reads, under a file-system root.
#include <string>

#include "engine/FileNode.h"
#include "engine/FileProperties.h"
#include "engine/FileSystemNode.h"
#include "SettableProperties.h"

namespace browsertest {

// The browser's trees date a file by its modification time and always show it deleted.
class Props : public testutil::SettableProperties {
public:
    Props() {
        state = kStateDeleted;
        validFields = kValidSize | kValidAttributes | kValidModificationTime;
    }
    void GetCreationTime(FILETIME64& out) const override { out = modified; }
    u8 SetState(u8 s) override { return s; }
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
    CFileNode* n = CreateFileNode().release();
    n->SetFileProperties(p);
    if (parent) parent->AddChild(n);
    return n;
}

inline CFileSystemNode* Root(u32 fsCode = 3) {
    CFileSystemNode* root = CreateFileSystemNode().release();
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
