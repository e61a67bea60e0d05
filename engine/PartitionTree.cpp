#include "engine/PartitionTree.h"

#include <deque>
#include <iterator>
#include <new>
#include <unordered_set>

#include "engine/FileNode.h"
#include "engine/FileProperties.h"
#include "engine/FileSystemNode.h"
#include "engine/RecoveryFilter.h"

bool IsFolderNode(const CFileNode* node) {
    const IFileProperties* p = node ? node->GetFileProperties() : nullptr;
    return p && (p->GetAttributes() & kAttrDirectory);
}

bool IsDeletedNode(const CFileNode* node) {
    const IFileProperties* p = node ? node->GetFileProperties() : nullptr;
    return p && (p->GetState() & kStateDeleted);
}

bool EraseNodeEntry(NodeMultimap& map, u64 key, const CFileNode* node) {
    auto range = map.equal_range(key);
    for (auto it = range.first; it != range.second; ++it) {
        if (it->second == node) {
            map.erase(it);
            return true;
        }
    }
    return false;
}

namespace {

// Unlinks a node from its parent and from its children, then destroys it, so that nothing that
// survives points at it.
void DetachAndDestroy(CFileNode* node) {
    while (CFileNode* child = node->GetFirstChild()) node->RemoveChild(child);
    if (CFileNode* parent = node->GetParent()) parent->RemoveChild(node);
    DestroyTreeNode(node);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// CLinkingTree

CLinkingTree::~CLinkingTree() {
    for (auto& e : m_folderIndex) DestroyTreeNode(e.second);
    for (auto& e : m_orphanFolders) DestroyTreeNode(e.second);
    for (auto& e : m_orphanFiles) DestroyTreeNode(e.second);
}

CFileNode* CLinkingTree::ChooseParent(const CFileNode* node) const {
    auto range = m_folderIndex.equal_range(node->GetParentId());
    if (range.first == range.second) return nullptr;
    if (std::next(range.first) == range.second) return range.first->second;
    const IFileProperties* own = node->GetFileProperties();
    if (own) {
        FILETIME64 created = 0;
        own->GetCreationTime(created);
        for (auto it = range.first; it != range.second; ++it) {
            const IFileProperties* p = it->second->GetFileProperties();
            if (!p) continue;
            FILETIME64 parentCreated = 0;
            p->GetCreationTime(parentCreated);
            if (parentCreated <= created) return it->second;
        }
    }
    return range.first->second;
}

void CLinkingTree::KeepAsOrphan(CFileNode* node) {
    NodeMultimap& map = IsFolderNode(node) ? m_orphanFolders : m_orphanFiles;
    map.emplace(node->GetParentId(), node);
}

void CLinkingTree::AttachWaitingChildren(CFileNode* folder, std::vector<CFileNode*>* output) {
    if (!IsFolderNode(folder)) return;
    std::deque<CFileNode*> queue{folder};
    std::vector<CFileNode*> taken;
    while (!queue.empty()) {
        const u64 id = queue.front()->GetId();
        queue.pop_front();
        for (NodeMultimap* map : {&m_orphanFolders, &m_orphanFiles}) {
            const bool folders = map == &m_orphanFolders;
            taken.clear();
            auto range = map->equal_range(id);
            for (auto it = range.first; it != range.second;) {
                // Entries already hung below "LostFiles" stay where they are, and stay owned.
                if (it->second->GetParent()) {
                    ++it;
                    continue;
                }
                taken.push_back(it->second);
                it = map->erase(it);
            }
            for (CFileNode* n : taken) {
                if (Locate(n, output) == 1) {
                    if (folders) queue.push_back(n);
                } else {
                    KeepAsOrphan(n);
                }
            }
        }
    }
}

// ---------------------------------------------------------------------------------------------
// CPartitionTree

CPartitionTree::CPartitionTree() { m_lostFilesBuilder.Init(m_code, &m_orphanFolders, &m_orphanFiles); }

CPartitionTree::~CPartitionTree() { DeleteAllNodes(); }

void CPartitionTree::DeleteAllNodes() {
    for (CFileNode* n : m_linkedFiles) DestroyTreeNode(n);
    m_linkedFiles.clear();
    for (CFileNode* n : m_unindexed) DestroyTreeNode(n);
    m_unindexed.clear();
    delete m_rawSubTree;
    m_rawSubTree = nullptr;
}

bool CPartitionTree::Init(u32 code, CFileSystemNode* root) {
    if (code == kFsUnknown || !root || !root->IsFileSystemNode()) return false;
    m_code = code;
    m_root = root;
    m_lostFilesBuilder.SetCode(code);
    // A root given twice stays indexed once.
    EraseNodeEntry(m_folderIndex, root->GetId(), root);
    m_folderIndex.emplace(root->GetId(), root);
    return true;
}

int CPartitionTree::Locate(CFileNode* node, std::vector<CFileNode*>* output) {
    if (m_folderIndex.find(node->GetParentId()) == m_folderIndex.end()) return 0;
    if (node->GetParent()) return 1;
    CFileNode* parent = ChooseParent(node);
    if (!parent || parent == node) return -1;
    // A node that already carries children must not end up below one of them.
    if (node->GetFirstChild()) {
        for (const CFileNode* a = parent->GetParent(); a; a = a->GetParent()) {
            if (a == node) return -1;
        }
    }
    parent->AddChild(node);
    if (IsDeletedNode(parent)) {
        if (IFileProperties* p = node->GetFileProperties()) p->SetState(1);
    }
    if (IsFolderNode(node)) {
        m_folderIndex.emplace(node->GetId(), node);
    } else {
        m_linkedFiles.push_back(node);
    }
    if (output) output->push_back(node);
    return 1;
}

int CPartitionTree::AddNode(CFileNode* node, std::vector<CFileNode*>* output) {
    if (!node) return -1;
    const int result = Locate(node, output);
    if (result == 1) {
        AttachWaitingChildren(node, output);
    } else if (result == 0) {
        KeepAsOrphan(node);
    }
    return result;
}

u32 CPartitionTree::InsertNode(CFileNode* node) {
    if (!node) return 0;
    const IFileProperties* p = node->GetFileProperties();
    if (!p || p->GetFileSystemKind() != kPropertiesRaw) return 0;
    if (!m_rawSubTree) {
        m_rawSubTree = new (std::nothrow) CPartitionTree();
        if (!m_rawSubTree) return 0;
    }
    if (node->IsFileSystemNode()) return m_rawSubTree->Init(kFsRaw, static_cast<CFileSystemNode*>(node)) ? 1 : 0;
    return m_rawSubTree->AddNode(node, nullptr) == -1 ? 0 : 1;
}

void CPartitionTree::AttachLostFiles(std::vector<CFileNode*>* output) {
    if (m_code == kFsRaw || m_lostFiles || !m_root) return;
    m_lostFilesBuilder.Init(m_code, &m_orphanFolders, &m_orphanFiles);
    m_lostFiles = m_lostFilesBuilder.Build(output);
    if (m_lostFiles) m_root->AddChild(m_lostFiles.get());
}

u32 CPartitionTree::AttachRawSubTree() {
    if (!m_rawSubTree) return 0;
    CFileSystemNode* subRoot = m_rawSubTree->GetRoot();
    if (!subRoot) return 1;
    for (CFileNode* c = subRoot->GetFirstChild(); c;) {
        CFileNode* next = c->GetNextSibling();
        // Type folders that received no file are dropped from view (they stay owned).
        if (IsFolderNode(c) && !c->GetFirstChild()) subRoot->RemoveChild(c);
        c = next;
    }
    if (m_root && !subRoot->GetParent() && subRoot != m_root) m_root->AddChild(subRoot);
    return 1;
}

bool CPartitionTree::ApplyFilter(CFileSystemNode* root, IRecoveryFilter* filter) {
    if (!root || !root->IsFileSystemNode()) return false;

    // The new subtree, which the tree keeps.
    std::unordered_set<CFileNode*> keep;
    {
        std::deque<CFileNode*> queue{root};
        while (!queue.empty()) {
            CFileNode* n = queue.front();
            queue.pop_front();
            if (!keep.insert(n).second) continue;
            for (CFileNode* c = n->GetFirstChild(); c; c = c->GetNextSibling()) queue.push_back(c);
        }
    }
    if (CFileNode* parent = root->GetParent()) parent->RemoveChild(root);

    // Everything linked before goes, unless it is part of the new subtree.
    std::vector<CFileNode*> old;
    for (auto& e : m_folderIndex) old.push_back(e.second);
    old.insert(old.end(), m_linkedFiles.begin(), m_linkedFiles.end());
    old.insert(old.end(), m_unindexed.begin(), m_unindexed.end());
    if (m_lostFiles) old.push_back(m_lostFiles.release());
    m_folderIndex.clear();
    m_linkedFiles.clear();
    m_unindexed.clear();
    for (CFileNode* n : old) {
        if (!keep.count(n)) DetachAndDestroy(n);
    }

    m_root = root;
    const bool exFat = root->GetFileSystemType() == kFsExFat;
    std::deque<CFileNode*> queue{root};
    std::unordered_set<CFileNode*> seen;
    while (!queue.empty()) {
        CFileNode* n = queue.front();
        queue.pop_front();
        if (!seen.insert(n).second) continue;
        for (CFileNode* c = n->GetFirstChild(); c; c = c->GetNextSibling()) queue.push_back(c);
        // A subtree handed in may contain former orphans of this tree: one owner only.
        if (!EraseNodeEntry(m_orphanFolders, n->GetParentId(), n)) EraseNodeEntry(m_orphanFiles, n->GetParentId(), n);
        if (n != root && filter && !n->GetFirstChild() && !filter->Accept(n)) {
            DetachAndDestroy(n);
            continue;
        }
        if (n == root) {
            m_folderIndex.emplace(n->GetId(), n);
        } else if (exFat) {
            m_unindexed.push_back(n);
        } else if (IsFolderNode(n)) {
            m_folderIndex.emplace(n->GetId(), n);
        } else {
            m_linkedFiles.push_back(n);
        }
    }
    return true;
}

u64 CPartitionTree::GetNodeCount() const {
    return m_folderIndex.size() + m_orphanFolders.size() + m_linkedFiles.size() + m_orphanFiles.size();
}

CFileNode* CPartitionTree::GetNodeAt(u64 position) const {
    u64 i = 0;
    CFileNode* found = nullptr;
    ForEachNode([&](CFileNode* n) {
        if (i++ == position) found = n;
    });
    return found;
}
