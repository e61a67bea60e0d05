#include "engine/FileNode.h"

#include <new>
#include <vector>

#include "engine/DataRunList.h"
#include "engine/FileProperties.h"

CFileNode::~CFileNode() {
    if (m_properties != nullptr) m_properties->Release();
    m_properties = nullptr;
    m_parent = nullptr;
    m_firstChild = nullptr;
    m_nextSibling = nullptr;
}

CFileNode* CFileNode::Clone() const {
    CFileNode* copy = new (std::nothrow) CFileNode;
    if (copy == nullptr) return nullptr;
    copy->m_parentId = m_parentId;
    copy->m_id = m_id;
    copy->m_recordSector = m_recordSector;
    if (m_properties != nullptr) {
        m_properties->AddRef();
        copy->m_properties = m_properties;
    }
    return copy;
}

bool CFileNode::GetPartitionGeometry(u64& startSector, u32& sectorsPerCluster) const {
    for (const CFileNode* n = m_parent; n != nullptr; n = n->m_parent) {
        if (n->IsFileSystemNode()) return n->GetPartitionGeometry(startSector, sectorsPerCluster);
    }
    startSector = 0;
    sectorsPerCluster = 0;
    return false;
}

u32 CFileNode::GetFileSystemType() const {
    for (const CFileNode* n = this; n != nullptr; n = n->m_parent) {
        if (n->IsFileSystemNode()) return n->GetFileSystemType();
    }
    return kFsUnknown;
}

u32 CFileNode::Save(IRSData* /*stream*/) const { return 0; }

u32 CFileNode::Load(IRSData* /*stream*/) { return 0; }

void CFileNode::AddChild(CFileNode* child) {
    if (child == nullptr) return;
    child->m_parent = this;
    child->m_nextSibling = m_firstChild;
    m_firstChild = child;
}

bool CFileNode::RemoveChild(CFileNode* child) {
    if (child == nullptr || m_firstChild == nullptr) return false;
    if (m_firstChild == child) {
        m_firstChild = child->m_nextSibling;
    } else {
        CFileNode* previous = m_firstChild;
        while (previous->m_nextSibling != nullptr && previous->m_nextSibling != child) previous = previous->m_nextSibling;
        if (previous->m_nextSibling != child) return false;
        previous->m_nextSibling = child->m_nextSibling;
    }
    child->m_parent = nullptr;
    child->m_nextSibling = nullptr;
    return true;
}

TreeNodePtr CreateFileNode() { return TreeNodePtr(new (std::nothrow) CFileNode); }

TreeNodePtr CreateFileNodeObject() { return CreateFileNode(); }

TreeNodePtr CloneTreeNode(const CFileNode* node) { return TreeNodePtr(node != nullptr ? node->Clone() : nullptr); }

void DeleteFileNode(CFileNode* node) { delete node; }

void DestroyTreeNode(CFileNode* node) { delete node; }

void DestroySubtree(CFileNode* root) {
    if (!root) return;
    std::vector<CFileNode*> all{root};
    for (size_t i = 0; i < all.size(); ++i) {
        for (CFileNode* c = all[i]->GetFirstChild(); c; c = c->GetNextSibling()) all.push_back(c);
    }
    if (CFileNode* parent = root->GetParent()) parent->RemoveChild(root);
    for (CFileNode* n : all) DestroyTreeNode(n);
}

void ForEachLiveRunList(const CFileNode& root,
                        const std::function<void(const IFileProperties&, const IDataRunList&)>& fn) {
    std::vector<const CFileNode*> pending{&root};
    while (!pending.empty()) {
        const CFileNode* node = pending.back();
        pending.pop_back();
        for (const CFileNode* child = node->GetFirstChild(); child != nullptr; child = child->GetNextSibling()) {
            if (!child->IsFileSystemNode()) pending.push_back(child);
        }
        const IFileProperties* p = node->GetFileProperties();
        if (p == nullptr || (p->GetState() & kStateDeleted) != 0) continue;
        std::unique_ptr<IDataRunList> runs(p->CreateDataRunList());
        if (runs) fn(*p, *runs);
    }
}
