// The scan session: the user's choice, the trees the scan produced and the counts. The threads
// (scan, release) live in ScanSession.cpp.
#include "engine/RecoveryGraph.h"

#include <algorithm>

#include "devices/VolumeEnumerator.h"
#include "devices/VolumeRecord.h"
#include "engine/DetourTree.h"
#include "engine/FileNode.h"
#include "engine/FileProperties.h"
#include "engine/FileSystemNode.h"
#include "engine/RecoveryController.h"

namespace {
// The session as the enumeration's stop query sees it; null once the session is gone, so that a
// late enumeration never reads a destroyed object.
std::atomic<RecoveryGraph*> g_liveSession{nullptr};

bool SessionStopRequested() {
    RecoveryGraph* session = g_liveSession.load();
    return session && session->GetStopRequested() != 0;
}
}  // namespace

RecoveryGraph& RecoveryGraph::Instance() {
    // Built on first use, destroyed at process exit (the destructor waits for the threads).
    static RecoveryGraph instance;
    return instance;
}

RecoveryGraph::RecoveryGraph() : m_detour(std::make_unique<DetourTree>(this)) {
    // Closing the main window sets the session's stop word; an enumeration waiting for an
    // earlier one then gives up.
    g_liveSession.store(this);
    EnumCollectPartition::SetStopQuery(&SessionStopRequested);
}

void RecoveryGraph::ForgetLiveSession() {
    EnumCollectPartition::SetStopQuery(nullptr);
    g_liveSession.store(nullptr);
}

i32 RecoveryGraph::SelectVolume(i32 index, VolumeRecord* record) {
    return SelectVolume(index, EnumCollectPartition::HoldEnumerated(record));
}

i32 RecoveryGraph::SelectVolume(i32 index, std::shared_ptr<VolumeRecord> record) {
    if (!record) {
        {
            std::lock_guard<std::mutex> lk(m_treeLock);
            m_selectedVolumes.clear();
            m_folderPaths.clear();
        }
        m_checkedFileCount.store(0);
        m_checkedBytes.store(0);
        m_viewCheckedBytes.store(0);
        m_foundFileCount.store(0);
        m_foundFileBytes.store(0);
        m_cancelCount.store(0);
        m_nothingSelected.store(1);
        return 0;
    }
    if (index != -1) m_volumeIndex.store(static_cast<u32>(index));
    {
        std::lock_guard<std::mutex> lk(m_treeLock);
        m_selectedVolumes.push_back(std::move(record));
    }
    m_nothingSelected.store(0);
    return 0;
}

i32 RecoveryGraph::AddFolderPath(const std::string& path) {
    std::lock_guard<std::mutex> lk(m_treeLock);
    m_folderPaths.push_back(path);
    return 0;
}

i32 RecoveryGraph::GetFolderPaths(std::list<std::string>& out) {
    if (m_mode.load() != kScanModeDeleted) return 0;
    std::lock_guard<std::mutex> lk(m_treeLock);
    out = m_folderPaths;
    return 0;
}

VolumeRecord* RecoveryGraph::GetFirstVolume() {
    std::lock_guard<std::mutex> lk(m_treeLock);
    return m_selectedVolumes.empty() ? nullptr : m_selectedVolumes.front().get();
}

std::shared_ptr<VolumeRecord> RecoveryGraph::HoldFirstVolume() {
    std::lock_guard<std::mutex> lk(m_treeLock);
    return m_selectedVolumes.empty() ? nullptr : m_selectedVolumes.front();
}

IStorageDevice* RecoveryGraph::GetFirstVolumeDevice() {
    VolumeRecord* first = GetFirstVolume();
    return first ? first->device : nullptr;
}

void RecoveryGraph::SetFileTypeMask(u32 mask) { m_filter.SetFileTypeMask(mask); }

i32 RecoveryGraph::AddFileSystemTree(CFileSystemNode* root) {
    if (!root || root->GetFileSystemType() > kFsUnknown) return -1;
    std::lock_guard<std::mutex> lk(m_treeLock);
    if (std::find(m_treeRoots.begin(), m_treeRoots.end(), root) == m_treeRoots.end()) m_treeRoots.push_back(root);
    return 0;
}

i32 RecoveryGraph::RemoveFileSystemTree(CFileSystemNode* root) {
    if (!root || root->GetFileSystemType() > kFsUnknown) return -1;
    std::lock_guard<std::mutex> lk(m_treeLock);
    m_treeRoots.erase(std::remove(m_treeRoots.begin(), m_treeRoots.end(), root), m_treeRoots.end());
    return 0;
}

std::vector<CFileSystemNode*> RecoveryGraph::GetTreeRoots() {
    std::lock_guard<std::mutex> lk(m_treeLock);
    return m_treeRoots;
}

bool RecoveryGraph::CountCheckedFile(CFileNode* node, void* context) {
    if (!node || !context) return false;
    const IFileProperties* p = node->GetFileProperties();
    if (!p) return false;
    if (p->GetAttributes() & kAttrDirectory) return true;
    RecoveryGraph* owner = static_cast<DetourTree*>(context)->GetOwner();
    const u64 size = p->GetSize();
    owner->m_checkedFileCount.fetch_add(1);
    owner->m_checkedBytes.fetch_add(size);
    owner->m_viewCheckedBytes.fetch_add(size);
    return owner->m_cancelCount.load() == 0;
}

void RecoveryGraph::SetProgress(IProgress* progress, IProgressControl* control, HWND progressWindow) {
    m_progress.store(progress);
    m_progressControl.store(control);
    m_progressWindow.store(progressWindow);
}

void RecoveryGraph::SetControllerFactory(ControllerFactory factory) { m_factory.store(factory); }

void RecoveryGraph::ResetCounters() {
    m_checkedFileCount.store(0);
    m_checkedBytes.store(0);
    m_viewCheckedBytes.store(0);
    m_foundFileCount.store(0);
    m_foundFileBytes.store(0);
    m_cancelCount.store(0);
    m_pausedBySession.store(0);
}

void RecoveryGraph::FreeRestoredTree(CFileSystemNode* root) {
    if (!root) return;
    // Breadth first with a queue: each dequeued node's children join the queue before the node
    // goes; the root goes last.
    std::vector<CFileNode*> queue;
    for (CFileNode* c = root->GetFirstChild(); c; c = c->GetNextSibling()) queue.push_back(c);
    for (size_t i = 0; i < queue.size(); ++i) {
        CFileNode* n = queue[i];
        for (CFileNode* c = n->GetFirstChild(); c; c = c->GetNextSibling()) queue.push_back(c);
    }
    for (CFileNode* n : queue) DeleteFileNode(n);
    DeleteFileSystemNode(root);
}
