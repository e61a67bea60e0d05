#pragma once
// A stand-in for the directory-tree builder that records what a search hands it: the roots and,
// for every found node, its ids and a copy of its properties' fields and data runs. It owns and
// frees every node it takes. Header-only, so that the support library needs no engine code.
#include <memory>
#include <string>
#include <vector>

#include "TreeStubs.h"
#include "engine/DataRunList.h"
#include "engine/DirectoryTreeBuilder.h"
#include "engine/FileNode.h"
#include "engine/FileProperties.h"
#include "engine/FileSystemNode.h"

namespace testutil {

struct RecordedNode {
    u64 id = 0;
    u64 parentId = 0;
    u32 treeKind = 0;
    bool hasProperties = false;
    std::string name;
    u64 size = 0;
    u16 attributes = 0;
    u16 state = 0;
    FILETIME64 modificationTime = 0;
    bool resident = false;
    std::vector<DataRunExtent> runs;

    bool IsFolder() const { return (attributes & kAttrDirectory) != 0; }
    bool IsDeleted() const { return (state & kStateDeleted) != 0; }
};

struct RecordedRoot {
    u64 id = 0;
    std::string name;
    std::string label;
    u32 fileSystem = 0;
    u64 startSector = 0;
    u32 sectorsPerCluster = 0;
};

class RecordingBuilder : public NullTreeBuilder {
public:
    ~RecordingBuilder() override {
        for (CFileSystemNode* root : m_roots) delete root;
    }

    // Refuse every root (AddFileSystemTree answers 0).
    bool refuseRoots = false;
    // Answer 0 with this error for the node with this index (0-based) among the found nodes.
    long refuseNodeAt = -1;
    u32 refuseError = 0x13;

    std::vector<RecordedRoot> roots;
    std::vector<RecordedNode> nodes;
    u32 addFoundCalls = 0;

    u32 AddFileSystemTree(CFileSystemNode* root) override {
        if (refuseRoots || root == nullptr) return 0;
        RecordedRoot r;
        r.id = root->GetId();
        if (const IFileProperties* p = root->GetFileProperties()) r.name = p->GetName() ? p->GetName() : "";
        r.label = root->GetVolumeLabel() ? root->GetVolumeLabel() : "";
        r.fileSystem = root->GetFileSystemType();
        root->GetPartitionGeometry(r.startSector, r.sectorsPerCluster);
        roots.push_back(r);
        m_roots.push_back(root);
        return 1;
    }
    u32 AddFoundFileNode(CFileNode* node, u32 treeKind, u32* error) override {
        if (error) *error = 0;
        const long index = long(addFoundCalls++);
        if (node == nullptr) return 0;
        if (index == refuseNodeAt) {
            if (error) *error = refuseError;
            return 0;
        }
        RecordedNode r;
        r.id = node->GetId();
        r.parentId = node->GetParentId();
        r.treeKind = treeKind;
        if (const IFileProperties* p = node->GetFileProperties()) {
            r.hasProperties = true;
            r.name = p->GetName() ? p->GetName() : "";
            r.size = p->GetSize();
            r.attributes = p->GetAttributes();
            r.state = p->GetState();
            p->GetModificationTime(r.modificationTime);
            std::unique_ptr<IDataRunList> list(p->CreateDataRunList());
            if (list) {
                r.resident = list->IsResident();
                for (size_t i = 0; i < list->GetExtentCount(); ++i) r.runs.push_back(list->GetExtent(i));
            }
        }
        nodes.push_back(std::move(r));
        DeleteFileNode(node);
        return 1;
    }
    u64 GetNodeCount() override { return nodes.size(); }
    CFileSystemNode* GetTreeRoot(CSearchedPartitionInfo*) override { return m_roots.empty() ? nullptr : m_roots[0]; }

    const RecordedNode* FindById(u64 id) const {
        for (const RecordedNode& n : nodes) {
            if (n.id == id) return &n;
        }
        return nullptr;
    }

private:
    std::vector<CFileSystemNode*> m_roots;
};

}  // namespace testutil
