#pragma once
// A synthetic feed of found entries (ids, parent ids, names, deleted flags) for the tree builder
// and its trees, with a consumer that records what it is shown.
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "ImageDevice.h"
#include "SettableProperties.h"
#include "devices/StorageDevice.h"
#include "engine/DirectoryTree.h"
#include "engine/FileNode.h"
#include "engine/FileProperties.h"
#include "engine/FileSystemNode.h"
#include "engine/RawFileProperties.h"
#include "engine/RecoveryFilter.h"

namespace feed {

using FakeProperties = testutil::SettableProperties;

struct Entry {
    u64 id;
    u64 parentId;
    std::string name;
    bool folder = false;
    bool deleted = false;
    u64 size = 0;
    FILETIME64 created = 0;
    u32 kind = kPropertiesNtfs;
};

inline CFileNode* MakeNode(const Entry& e) {
    auto* p = new FakeProperties;
    p->name = e.name;
    p->size = e.size;
    p->attributes = e.folder ? kAttrDirectory : kAttrArchive;
    p->state = e.deleted ? kStateDeleted : 0;
    p->created = e.created;
    p->kind = e.kind;
    CFileNode* n = CreateFileNode().release();
    n->SetFileProperties(p);
    n->SetId(e.id);
    n->SetParentId(e.parentId);
    return n;
}
inline CFileNode* Folder(u64 id, u64 parent, const std::string& name, bool deleted = false) {
    return MakeNode({id, parent, name, true, deleted});
}
inline CFileNode* File(u64 id, u64 parent, const std::string& name, bool deleted = false, u64 size = 10) {
    return MakeNode({id, parent, name, false, deleted, size});
}

// A file-system root of the code with its own root properties (FakeProperties for codes whose
// file-system properties a test does not need).
inline CFileSystemNode* Root(u32 code, u64 id, const std::string& name = "ROOT") {
    CFileSystemNode* r = CreateFileSystemNode().release();
    r->SetFileSystemType(code);
    r->SetId(id);
    r->SetPartitionGeometry(0, 1);
    auto* p = new FakeProperties;
    p->name = name;
    p->attributes = kAttrDirectory;
    r->SetFileProperties(p);
    return r;
}

// A RAW file of `size` bytes whose data lies at `sector` (1 sector per cluster, start 0).
inline CFileNode* RawFile(u64 id, u64 parent, const char* name, u64 sector, u64 size, bool deleted = true) {
    auto* p = static_cast<CRAWFileProperties*>(CreateRAWFileProperties().release());
    p->SetRawFileName(name);
    p->SetAttributes(kAttrArchive);
    p->SetState(deleted ? 1 : 0);
    if (size) p->SetExtent(sector, size);
    CFileNode* n = CreateFileNode().release();
    n->SetFileProperties(p);
    n->SetId(id);
    n->SetParentId(parent);
    return n;
}
inline CFileNode* RawFolder(u64 id, u64 parent, const char* name) {
    auto* p = static_cast<CRAWFileProperties*>(CreateRAWFileProperties().release());
    SetFolderPropertiesName(p, name);
    CFileNode* n = CreateFileNode().release();
    n->SetFileProperties(p);
    n->SetId(id);
    n->SetParentId(parent);
    return n;
}

inline std::string NameOf(const CFileNode* n) {
    const IFileProperties* p = n ? n->GetFileProperties() : nullptr;
    return p && p->GetName() ? p->GetName() : "";
}

// "ROOT/a/b": names from the top of the node's tree down. Bounded so that a cycle shows as a
// failure instead of a hang.
inline std::string PathOf(const CFileNode* n) {
    std::string path;
    for (int steps = 0; n && steps < 100000; ++steps, n = n->GetParent()) {
        path = path.empty() ? NameOf(n) : NameOf(n) + "/" + path;
    }
    return path;
}

// Every path below (and including) a node, depth first; a node met twice is reported as "CYCLE".
inline std::set<std::string> PathsBelow(const CFileNode* top) {
    std::set<std::string> out;
    std::set<const CFileNode*> seen;
    std::vector<const CFileNode*> stack{top};
    while (!stack.empty()) {
        const CFileNode* n = stack.back();
        stack.pop_back();
        if (!seen.insert(n).second) {
            out.insert("CYCLE");
            continue;
        }
        out.insert(PathOf(n));
        for (const CFileNode* c = n->GetFirstChild(); c; c = c->GetNextSibling()) stack.push_back(c);
    }
    return out;
}

class RecordingConsumer : public IDirectoryTree {
public:
    void SetRootText(const char* text) override { rootText = text; }
    void AddNodes(const std::vector<CFileNode*>& nodes, u32 arg) override {
        batches.push_back(nodes);
        batchArgs.push_back(arg);
        for (CFileNode* n : nodes) shownNodes.insert(n);
    }
    void AddFileSystemNode(CFileSystemNode* root, bool flag) override {
        shownRoots.push_back(root);
        rootFlags.push_back(flag);
    }
    void RemoveFileSystemNode(CFileSystemNode* root) override { removedRoots.push_back(root); }
    void OnFileFound(CFileNode*) override { ++filesFound; }
    void SelectNode(CFileNode* node) override { selected.push_back(node); }

    std::set<std::string> ShownNames() const {
        std::set<std::string> names;
        for (CFileNode* n : shownNodes) names.insert(NameOf(n));
        return names;
    }

    std::string rootText;
    std::vector<std::vector<CFileNode*>> batches;
    std::vector<u32> batchArgs;
    std::set<CFileNode*> shownNodes;
    std::vector<CFileSystemNode*> shownRoots;
    std::vector<bool> rootFlags;
    std::vector<CFileSystemNode*> removedRoots;
    std::vector<CFileNode*> selected;
    int filesFound = 0;
};

// Accepts folders always and files unless their name is refused.
class NameFilter : public IRecoveryFilter {
public:
    bool GetFlag() override { return false; }
    void SetFlag(i32) override {}
    u32 Accept(CFileNode* node) override {
        if (!node) return 0;
        const IFileProperties* p = node->GetFileProperties();
        if (!p || (p->GetAttributes() & kAttrDirectory)) return 1;
        return refused.count(NameOf(node)) ? 0 : 1;
    }
    void SetFileTypeMask(u32) override {}
    u32 GetFileTypeMask(CFileNode*) override { return 0x40; }
    std::set<std::string> refused;
};

// 512-byte sectors in memory.
class MemoryDevice : public testutil::MemoryDevice {
public:
    explicit MemoryDevice(size_t sectors) : testutil::MemoryDevice(512u, u64(sectors)) {}
    // Writes UTF-16LE units at a byte offset.
    void PutUnits(size_t offset, const std::u16string& text) {
        for (size_t i = 0; i < text.size(); ++i) {
            data[offset + 2 * i] = static_cast<u8>(text[i] & 0xFF);
            data[offset + 2 * i + 1] = static_cast<u8>(text[i] >> 8);
        }
    }
};

}  // namespace feed
