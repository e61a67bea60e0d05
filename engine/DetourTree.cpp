#include "engine/DetourTree.h"

#include <deque>

#include "engine/BrowserServices.h"
#include "engine/FileNode.h"
#include "engine/FileProperties.h"
#include "engine/FileSystemNode.h"

namespace {

bool IsFileWithProperties(const CFileNode* node, u64* size) {
    const IFileProperties* p = node ? node->GetFileProperties() : nullptr;
    if (!p || (p->GetAttributes() & kAttrDirectory)) return false;
    if (size) *size = p->GetSize();
    return true;
}

// What the browser's AddFileSystemNodeWithCallback does for the counts, for a view that is not
// the browser: every node of the tree, breadth first, until the callback says stop.
void WalkWithCallback(CFileSystemNode* root, bool (*callback)(CFileNode*, void*), void* context) {
    std::deque<CFileNode*> queue{root};
    while (!queue.empty()) {
        CFileNode* node = queue.front();
        queue.pop_front();
        if (!callback(node, context)) return;
        for (CFileNode* c = node->GetFirstChild(); c; c = c->GetNextSibling()) queue.push_back(c);
    }
}

}  // namespace

void RecoveryGraph::DetourTree::SetRootText(const char* text) {
    if (IDirectoryTree* view = m_view.load()) view->SetRootText(text);
}

void RecoveryGraph::DetourTree::AddNodes(const std::vector<CFileNode*>& nodes, u32 arg) {
    IDirectoryTree* view = m_view.load();
    if (!view) return;
    std::vector<CFileNode*> accepted;
    if (auto* browser = dynamic_cast<FileSelCtrl::IFileSelCtrl*>(view)) {
        browser->FilterNodes(nodes, accepted, arg);
    } else {
        view->AddNodes(nodes, arg);
        accepted = nodes;
    }
    if (m_owner->m_mode.load() != kScanModeDeleted) return;
    for (CFileNode* n : accepted) {
        u64 size = 0;
        if (!IsFileWithProperties(n, &size)) continue;
        m_owner->m_checkedFileCount.fetch_add(1);
        AddSaturating(m_owner->m_checkedBytes, size);
        AddSaturating(m_owner->m_viewCheckedBytes, size);
    }
}

void RecoveryGraph::DetourTree::AddFileSystemNode(CFileSystemNode* root, bool flag) {
    if (!root || !m_view.load()) return;
    // The session keeps the root only while the view is still set: once a release has taken the
    // trees, a root that a finishing scan hands over stays its controller's alone (the release
    // frees it with the controller) and goes nowhere.
    IDirectoryTree* view = m_owner->AddViewedTree(root);
    if (!view) return;
    if (auto* browser = dynamic_cast<FileSelCtrl::IFileSelCtrl*>(view)) {
        browser->AddFileSystemNodeWithCallback(root, &RecoveryGraph::CountCheckedFile, this, flag);
        return;
    }
    view->AddFileSystemNode(root, flag);
    WalkWithCallback(root, &RecoveryGraph::CountCheckedFile, this);
}

void RecoveryGraph::DetourTree::RemoveFileSystemNode(CFileSystemNode* root) {
    m_owner->RemoveFileSystemTree(root);
    if (IDirectoryTree* view = m_view.load()) view->RemoveFileSystemNode(root);
}

void RecoveryGraph::DetourTree::OnFileFound(CFileNode* node) {
    u64 size = 0;
    if (!IsFileWithProperties(node, &size)) return;
    m_owner->m_foundFileCount.fetch_add(1);
    if (size <= kMaxSummedFoundFileSize) AddSaturating(m_owner->m_foundFileBytes, size);
}

void RecoveryGraph::DetourTree::SelectNode(CFileNode* node) {
    if (IDirectoryTree* view = m_view.load()) view->SelectNode(node);
}
