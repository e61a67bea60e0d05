#include "engine/HeadlessSinks.h"

#include <algorithm>
#include <deque>
#include <unordered_set>

#include "devices/ScanOptions.h"
#include "engine/FileNode.h"
#include "engine/FileProperties.h"
#include "engine/FileSystemNode.h"
#include "platform/Time.h"

i32 CHeadlessProgress::OnProgress(const ProgressInfo* record) {
    if (!record || record->Total == 0) return -1;
    if (record->Type < 8) m_records[record->Type].fetch_add(1);
    if (record->Type == kProgressScanEnded) m_lastEndTick.store(GetTickCount64Ms());
    return static_cast<i32>(Continued());
}

u32 CHeadlessProgress::Continued() {
    m_continuedCalls.fetch_add(1);
    return m_run.WaitWhilePaused() ? 1 : 0;
}

u32 CHeadlessProgress::GetState() { return m_run.GetState(); }

// A stopped scan stays stopped: only DoStart runs it again.
void CHeadlessProgress::DoPause() { m_run.Pause(GetTickCount64Ms()); }

void CHeadlessProgress::DoContinue() { m_run.Continue(GetTickCount64Ms()); }

i32 CHeadlessProgress::DoStop(bool /*ask*/) {
    m_run.Stop();
    GetScanOptions().SetStopRequested(1);
    return 0;
}

void CHeadlessProgress::DoStart() { m_run.Start(GetTickCount64Ms(), 0); }

bool CHeadlessProgress::WaitForFinish(u32 milliseconds) {
    const u64 start = GetTickCount64Ms();
    for (;;) {
        bool finished = false;
        for (const HeadlessMessage& m : headless::TakeMessages()) {
            if (m.window == GetWindow() && m.message == WM_UI_SCAN_FINISHED) {
                finished = true;
            } else {
                std::lock_guard<std::mutex> lk(m_lock);
                m_other.push_back(m);
            }
        }
        if (finished) {
            m_run.Stop();
            return true;
        }
        if (milliseconds != kInfinite && GetTickCount64Ms() - start >= milliseconds) return false;
        SleepMs(10);
    }
}

std::vector<HeadlessMessage> CHeadlessProgress::OtherMessages() {
    std::lock_guard<std::mutex> lk(m_lock);
    std::vector<HeadlessMessage> out;
    out.swap(m_other);
    return out;
}

void CHeadlessDirectoryTree::SetRootText(const char* text) {
    std::lock_guard<std::mutex> lk(m_lock);
    m_rootText = text ? text : "";
}

void CHeadlessDirectoryTree::AddNodes(const std::vector<CFileNode*>& nodes, u32 /*arg*/) {
    m_nodesAdded.fetch_add(nodes.size());
}

void CHeadlessDirectoryTree::AddFileSystemNode(CFileSystemNode* root, bool /*flag*/) {
    if (!root) return;
    std::lock_guard<std::mutex> lk(m_lock);
    if (std::find(m_roots.begin(), m_roots.end(), root) == m_roots.end()) m_roots.push_back(root);
}

void CHeadlessDirectoryTree::RemoveFileSystemNode(CFileSystemNode* root) {
    std::lock_guard<std::mutex> lk(m_lock);
    m_roots.erase(std::remove(m_roots.begin(), m_roots.end(), root), m_roots.end());
}

void CHeadlessDirectoryTree::OnFileFound(CFileNode* /*node*/) {}

std::vector<CFileSystemNode*> CHeadlessDirectoryTree::Roots() {
    std::lock_guard<std::mutex> lk(m_lock);
    return m_roots;
}

std::string CHeadlessDirectoryTree::RootText() {
    std::lock_guard<std::mutex> lk(m_lock);
    return m_rootText;
}

void CHeadlessDirectoryTree::Clear() {
    std::lock_guard<std::mutex> lk(m_lock);
    m_roots.clear();
    m_rootText.clear();
    m_nodesAdded.store(0);
}

TreeCounts CountTree(CFileSystemNode* root) {
    TreeCounts counts;
    if (!root) return counts;
    std::deque<CFileNode*> queue;
    std::unordered_set<CFileNode*> seen{root};
    for (CFileNode* c = root->GetFirstChild(); c; c = c->GetNextSibling()) queue.push_back(c);
    while (!queue.empty()) {
        CFileNode* n = queue.front();
        queue.pop_front();
        if (!seen.insert(n).second) continue;
        const IFileProperties* p = n->GetFileProperties();
        if (p) {
            if (p->GetAttributes() & kAttrDirectory) {
                ++counts.folders;
            } else {
                ++counts.files;
                counts.bytes = SaturatingAdd(counts.bytes, p->GetSize());
            }
            if (p->GetState() & kStateDeleted) ++counts.deleted;
        }
        for (CFileNode* c = n->GetFirstChild(); c; c = c->GetNextSibling()) queue.push_back(c);
    }
    return counts;
}

void CheckWholeTree(CFileSystemNode* root) {
    if (!root) return;
    SelectionStatistics stats;
    CountSubtree(root, &stats, true, kChecked);
    root->RecountStatistics();
}
