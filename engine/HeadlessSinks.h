#pragma once
// The scan session's sinks without a user interface: the progress sink and the tree consumer
// that the scan driver and the tests hand to RecoveryGraph in place of the progress page and the
// browser.
#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "engine/DirectoryTree.h"
#include "engine/FileRecoverCallback.h"
#include "engine/Progress.h"
#include "engine/RecoveryGraph.h"
#include "engine/ScanRunState.h"
#include "platform/Sync.h"
#include "platform/WindowPost.h"

// Pauses, resumes and stops like the progress page: Continued blocks while paused and answers 0
// once stopped; a stop releases the pause and sets the ScanOptions stop word. Its own address
// serves as the window that receives the finish message.
class CHeadlessProgress : public IProgress, public IProgressControl {
public:
    CHeadlessProgress() = default;

    i32 OnProgress(const ProgressInfo* record) override;
    u32 Continued() override;
    u32 GetState() override;
    ScanRunState* RunState() override { return &m_run; }

    // Only a running sink pauses; a stopped one stays stopped.
    void DoPause() override;
    void DoContinue() override;
    // Nobody to ask: a stop is always confirmed.
    i32 DoStop(bool ask) override;
    // A scan begins: running, not paused.
    void DoStart();

    HWND GetWindow() const { return reinterpret_cast<HWND>(const_cast<CHeadlessProgress*>(this)); }
    // Waits for WM_UI_SCAN_FINISHED posted to this sink's window through the headless message
    // sink (other messages are kept for OtherMessages); the scan then counts as over.
    bool WaitForFinish(u32 milliseconds);
    std::vector<HeadlessMessage> OtherMessages();

    u64 ContinuedCalls() const { return m_continuedCalls.load(); }
    u64 RecordCount(u32 type) const { return type < 8 ? m_records[type].load() : 0; }
    // Tick (ms) of the last record of type 4, 0 when none came.
    u64 LastEndTick() const { return m_lastEndTick.load(); }

private:
    ScanRunState m_run;
    std::atomic<u64> m_continuedCalls{0};
    std::atomic<u64> m_records[8] = {};
    std::atomic<u64> m_lastEndTick{0};
    std::mutex m_lock;
    std::vector<HeadlessMessage> m_other;
};

// Keeps the roots of the trees it is shown, for a look at them after the scan. The roots stay
// owned by the scan's controller.
class CHeadlessDirectoryTree : public IDirectoryTree {
public:
    void SetRootText(const char* text) override;
    void AddNodes(const std::vector<CFileNode*>& nodes, u32 arg) override;
    void AddFileSystemNode(CFileSystemNode* root, bool flag) override;
    void RemoveFileSystemNode(CFileSystemNode* root) override;
    void OnFileFound(CFileNode* node) override;

    std::vector<CFileSystemNode*> Roots();
    std::string RootText();
    u64 NodesAdded() const { return m_nodesAdded.load(); }
    void Clear();

private:
    std::mutex m_lock;
    std::vector<CFileSystemNode*> m_roots;
    std::string m_rootText;
    std::atomic<u64> m_nodesAdded{0};
};

// A recovery callback that counts the files and bytes the writer reports and never cancels: the
// writer's sink when nobody watches (the scan driver, tests).
struct CountingRecoverCallback : IFileRecoverCallback {
    i32 OnBegin(u32, u64) override { return 0; }
    i32 OnFilesDone(u32 n) override {
        files += n;
        return 0;
    }
    i32 OnBytesDone(u64 n) override {
        bytes += n;
        return 0;
    }
    i32 OnStep(u32) override { return 0; }
    i32 OnFileName(const char*) override { return 0; }
    i32 IsCancelled() override { return 0; }

    u64 files = 0;
    u64 bytes = 0;
};

struct TreeCounts {
    u64 files = 0;    // nodes with properties that are not folders
    u64 folders = 0;  // folders below the root
    u64 deleted = 0;  // files and folders whose state has the deleted bit
    u64 bytes = 0;    // sizes of the files
};
// Counts a tree breadth first; the walk is bounded by the number of nodes it can meet.
TreeCounts CountTree(CFileSystemNode* root);
// Gives every node of the tree the checked state and recounts the root's statistics.
void CheckWholeTree(CFileSystemNode* root);
