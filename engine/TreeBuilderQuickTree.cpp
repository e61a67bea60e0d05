// The deleted-file scan's tree: deleted entries under the folders that lead to them.
#include <deque>
#include <unordered_set>

#include "engine/DirectoryTree.h"
#include "engine/FileNode.h"
#include "engine/FileProperties.h"
#include "engine/FileSystemNode.h"
#include "engine/PartitionTree.h"
#include "engine/RecycleBin.h"

CQuickScanTree::CQuickScanTree() { m_lostFilesBuilder.Init(m_code, &m_orphanFolders, &m_orphanFiles); }

CQuickScanTree::~CQuickScanTree() {
    for (auto& e : m_fileIndex) DestroyTreeNode(e.second);
    for (auto& e : m_existingFolders) DestroyTreeNode(e.second);
}

bool CQuickScanTree::SetRoot(u32 code, CFileSystemNode* root, IStorageDevice* device, IDirectoryTree* consumer) {
    // A second root would leave the first one's entries without an owner in view; the volume
    // has one root.
    if (!device || !root || code == kFsUnknown || !root->IsFileSystemNode() || m_root) return false;
    m_code = code;
    m_root = root;
    m_device = device;
    m_consumer = consumer;
    m_folderIndex.emplace(root->GetId(), root);
    m_lostFilesBuilder.Init(code, &m_orphanFolders, &m_orphanFiles);
    return true;
}

int CQuickScanTree::Locate(CFileNode* node, std::vector<CFileNode*>* output) {
    return LinkUnder(node, ChooseParent(node), output);
}

int CQuickScanTree::LinkUnder(CFileNode* node, CFileNode* parent, std::vector<CFileNode*>* output) {
    if (!parent) return 0;
    if (node->GetParent()) return 1;
    if (parent == node) return -1;
    if (node->GetFirstChild()) {
        for (const CFileNode* a = parent->GetParent(); a; a = a->GetParent()) {
            if (a == node) return -1;
        }
    }
    parent->AddChild(node);
    if (IsFolderNode(node)) {
        m_folderIndex.emplace(node->GetId(), node);
    } else {
        m_fileIndex.emplace(node->GetId(), node);
    }
    if (output) output->push_back(node);
    if (IsInRecycleBin(parent)) PairRecycledEntry(node);
    return 1;
}

void CQuickScanTree::PairRecycledEntry(CFileNode* node) {
    if (m_pairingList.size() > kMaxPairingList) return;
    CFileNode* partner = FindRecycleBinPair(m_pairingList, node);
    if (!partner) return;
    CFileNode* info = IsRecycleBinInfoFile(node) ? node : partner;
    CFileNode* data = info == node ? partner : node;
    RestoreRecycledFileName(m_device, data, info);
    if (IsFolderNode(data) && m_consumer) m_consumer->SelectNode(data);
}

bool CQuickScanTree::BringInAncestors(CFileNode* node, std::vector<CFileNode*>* output) {
    if (!m_root) return false;
    // Walk up through the live folders kept aside. The walk ends at the root or at a folder that
    // is linked already; an id met twice is a reference cycle on disk and ends it unsuccessfully.
    std::deque<CFileNode*> chain;
    std::unordered_set<u64> visited;
    const u64 rootId = m_root->GetId();
    u64 id = node->GetParentId();
    while (id != rootId && m_folderIndex.find(id) == m_folderIndex.end()) {
        auto it = m_existingFolders.find(id);
        if (it == m_existingFolders.end() || !visited.insert(id).second) return false;
        chain.push_front(it->second);
        id = it->second->GetParentId();
    }

    for (CFileNode* folder : chain) {
        if (m_folderIndex.find(folder->GetId()) != m_folderIndex.end()) continue;
        TreeNodePtr clone = CloneTreeNode(folder);
        if (!clone || Locate(clone.get(), output) != 1) return false;
        AttachWaitingChildren(clone.release(), output);
    }
    if (Locate(node, output) != 1) return false;
    AttachWaitingChildren(node, output);
    return true;
}

u32 CQuickScanTree::AddNode(CFileNode* node, std::vector<CFileNode*>* output) {
    if (!node) return 0;
    if (IsDeletedNode(node)) {
        const int located = Locate(node, output);
        if (located == 1) {
            AttachWaitingChildren(node, output);
            return 1;
        }
        if (located == 0 && BringInAncestors(node, output)) return 1;
        KeepAsOrphan(node);
        return 0;
    }
    if (IsFolderNode(node)) {
        const u64 id = node->GetId();
        const bool awaited = m_orphanFolders.find(id) != m_orphanFolders.end() ||
                             m_orphanFiles.find(id) != m_orphanFiles.end();
        if (awaited && BringInAncestors(node, output)) return 1;
        m_existingFolders.emplace(id, node);
        return 0;
    }
    DestroyTreeNode(node);
    return 0;
}

CFileNode* CQuickScanTree::ChooseExFatHeldParent(const CFileNode* node) const {
    auto range = m_folderIndex.equal_range(node->GetParentId());
    if (range.first == range.second) return nullptr;
    if (IsInRecycleBin(range.first->second)) return ChooseParent(node);
    for (auto it = range.first; it != range.second; ++it) {
        if (IsInRecycleBin(it->second)) return it->second;
    }
    return nullptr;
}

u32 CQuickScanTree::AddHeldNode(CFileNode* node, std::vector<CFileNode*>* output) {
    if (!node) return 0;
    const IFileProperties* p = node->GetFileProperties();
    const bool folder = IsFolderNode(node);
    int located;
    if (!folder && p && p->GetFileSystemKind() == kPropertiesExFat) {
        located = LinkUnder(node, ChooseExFatHeldParent(node), output);
    } else {
        located = Locate(node, output);
    }
    if (located == 1) {
        AttachWaitingChildren(node, output);
        return 1;
    }
    if (BringInAncestors(node, output)) return 1;
    KeepAsOrphan(node);
    return 0;
}

u32 CQuickScanTree::FinishBuild(std::vector<CFileNode*>* output) {
    // Orphans whose live ancestors arrived only after them are linked now, while the folders
    // kept aside are still there to lead to them.
    if (m_root) {
        std::vector<CFileNode*> orphans;
        for (auto& e : m_orphanFolders) orphans.push_back(e.second);
        for (auto& e : m_orphanFiles) orphans.push_back(e.second);
        for (CFileNode* n : orphans) {
            if (n->GetParent()) continue;  // linked meanwhile as a waiting child
            NodeMultimap& map = IsFolderNode(n) ? m_orphanFolders : m_orphanFiles;
            if (!EraseNodeEntry(map, n->GetParentId(), n)) continue;
            if (!BringInAncestors(n, output)) map.emplace(n->GetParentId(), n);
        }
    }

    for (auto& e : m_existingFolders) DestroyTreeNode(e.second);
    m_existingFolders.clear();

    if ((m_orphanFolders.empty() && m_orphanFiles.empty()) || !m_root || m_lostFiles) return 0;
    m_lostFiles = m_lostFilesBuilder.Build(output);
    if (!m_lostFiles) return 0;
    m_root->AddChild(m_lostFiles.get());
    return 1;
}
