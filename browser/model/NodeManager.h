#pragma once
// The single owner of the browser's roots, the current folder and the folder filter, and the
// hand-over of delivered trees to the UI thread.
//
// The thread that delivers trees (the scan or the import of a saved result) only tests nodes
// against the folder filter and queues them; the UI thread binds them in bounded slices, so
// that neither side ever waits for the other while it holds a lock, and the UI stays responsive
// while a million files arrive. Removing a tree is queued too; its caller waits (holding no
// lock) until the UI thread has let go of every node of the tree.
#include <atomic>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <vector>

#include "browser/model/BindingNode.h"
#include "browser/model/FolderFilter.h"
#include "browser/model/SearchFilter.h"
#include "browser/model/VirtualNode.h"
#include "platform/WindowPost.h"

class CFileNode;
class IDIRBuildCallback;
class IFileSelCtrlSink;
class IRSData;
class Event;

namespace FileSelCtrl {

// Posted to the UI window: bind what the delivering thread queued.
constexpr u32 WM_FILETREE_INSERTNODE = WM_USER_MSG + 1011;
constexpr u32 WM_FILETREE_ENDUPDATE = WM_USER_MSG + 1012;
constexpr u32 WM_FILETREE_UPDATENODE = WM_USER_MSG + 1013;
constexpr u32 WM_FILETREE_BEGINUPDATE = WM_USER_MSG + 1014;

// What a tree window learns of its nodes (UI thread).
class ITreeObserver {
public:
    virtual ~ITreeObserver() = default;
    virtual void OnChildAdded(CBindingNode* parent, CBindingNode* child) = 0;
    virtual void OnNodeChanged(CBindingNode* node) = 0;
    virtual void OnBeginReset() = 0;
    virtual void OnEndReset() = 0;
    virtual void OnBuildEnded() = 0;
    virtual u32 TreeKind() const = 0;
    // Checks were made elsewhere (another tree, the list): the window's next refresh recomputes
    // the check boxes from the files instead of reading them.
    virtual void SetRefreshPending() = 0;
    // While no scan runs: the check boxes follow the files again, recomputed when asked or when
    // a refresh is pending.
    virtual void RefreshCheckImages(bool recompute) = 0;
};

using NodeCallback = bool (*)(CFileNode*, void*);

class CFileVirtualNodeManager : public INodeHost {
public:
    static CFileVirtualNodeManager& Instance();
    CFileVirtualNodeManager();
    ~CFileVirtualNodeManager() override;

    void CreateRoots();
    void ReleaseRoots();

    // ---- any thread (the delivering thread)
    void AddFileSystemNode(CFileNode* root, NodeCallback callback, void* context, bool walk);
    // Tests the node against the filter and queues it; false when the filter rejects it.
    bool AddNode(CFileNode* node);
    // Returns once no browser object refers to the tree any more.
    bool RemoveFileSystemNode(CFileNode* root);
    void SetRootText(const char* text);
    void SelectNode(CFileNode* node);
    // A build of trees starts (a scan runs or goes on) or ends (the scan ended or was paused).
    // The end takes effect after every delivery queued before it: only then are the trees and
    // lists ready for checks, or a check would miss the folders still queued. Answers the number
    // of this ask; the idle listener hears the end with it.
    u64 SetBuildState(bool building);
    // Lists the files whose names hold the text (any case) in every shown tree; the hits reach
    // the search list on the UI thread.
    void Search(const std::string& text);
    // The same with every filter of the search criteria (wildcards, name endings, dates, sizes,
    // attributes).
    void Search(const FileSearchSettings& settings);
    // Writes the file-system trees the browser shows (or has queued to show), in the order they
    // came, into a saved result; false for a null stream or callback, or when the writing failed.
    // A tree is not removed while it is written.
    bool ExportScanResult(IRSData* stream, IDIRBuildCallback* callback);

    // ---- UI thread
    // The window that receives the drain notices, and its thread.
    void SetUiWindow(HWND window);
    // Binds queued deliveries for at most budgetMs; true when more wait.
    bool ProcessPending(u32 budgetMs);
    // Held while the trees are read off the UI thread (a list loader); binding on the UI thread
    // skips its turn instead of waiting for it.
    std::recursive_timed_mutex& TreeLock() { return m_drainLock; }
    // Any thread: asks the UI thread for the drain it skipped.
    void ResumeDrain();
    bool HasPending();
    // Empties the trees, the lists and the queue (a new scan, a loaded result, going home).
    void ClearAll();
    void ShowFolder(CBindingNode* folder);
    CBindingNode* CurrentFolder() const { return m_current; }
    // Tells the page whether something is checked: with recount, whether the root of the tree
    // on screen holds a checked file (brought up to date first while the search list shows),
    // else the value as given.
    void ReportCheckState(bool recount, bool value);
    // A check in the list: the trees behind it recompute their boxes at their next refresh (in
    // the search view both, else those not on screen).
    void MarkTreesForRefresh();
    // A file's folder recomputes its state upwards (a check from the search list).
    void UpdateFolderOf(const CFileNode* file);
    // The path tree's folders over the files take their states from what they hold again, each
    // folder touched and each of its ancestors once, deepest first: the recovery enters only
    // folders whose own state is not unchecked, and the counts read the files.
    void UpdateFoldersOf(const std::vector<CFileNode*>& files);
    void SetObservers(ITreeObserver* pathTree, ITreeObserver* typeTree);
    void SetObserver(u32 treeKind, ITreeObserver* observer);
    void SetCurrentTreeKind(u32 kind) { m_currentTreeKind = kind; }
    u32 CurrentTreeKind() const { return m_currentTreeKind; }
    void SetSink(IFileSelCtrlSink* sink) { m_sink = sink; }
    // Runs on the UI thread when search hits arrive, before they are listed.
    void SetSearchListener(std::function<void()> listener) { m_searchListener = std::move(listener); }
    // Hears, where the queue is drained, that the build whose end was asked under `ask` has
    // taken effect: the windows become idle unless a later ask overtook it.
    using IdleListener = std::function<void(bool idle, u64 ask)>;
    void SetIdleListener(IdleListener listener) { m_idleListener = std::move(listener); }
    // The number of the latest build-state ask; a new number for an idle state set directly.
    u64 LatestBuildAsk() const { return m_buildAsks.load(); }
    u64 TakeBuildAsk() { return m_buildAsks.fetch_add(1) + 1; }
    IFileSelCtrlSink* Sink() const { return m_sink; }
    bool IsPopulated() const { return m_populated; }
    bool IsBuilding() const { return m_building; }

    CSystemRootNode* PathRoot() const { return m_pathRoot; }
    CFileTypeNode* TypeRoot() const { return m_typeRoot; }
    CFileTimeNode* DateRoot() const { return m_dateRoot; }
    CBindingNode* RootOf(u32 treeKind) const;
    // A tree's check boxes follow the files again (checks made in another tree or list).
    void RefreshTreeStates(u32 treeKind);
    CFolderFilter& Filter() { return m_filter; }
    // The checked files of every shown tree and their bytes.
    void CountChecked(u64& files, u64& bytes, u64& allFiles);
    void Relabel();

    // INodeHost
    bool Passes(const CFileNode* node) override { return m_filter.Match(node); }
    bool IsCurrentFolder(const CBindingNode* node) override { return node && node == m_current; }
    void RefreshTreeItem(CBindingNode* node) override;
    void RefreshRowOf(CBindingNode* node) override;
    void RefreshAllRows() override;
    void FilesCheckedElsewhere(const std::vector<CFileNode*>& files) override { UpdateFoldersOf(files); }

private:
    enum class Kind { Nodes, Tree, WalkedTree, Remove, RootText, Select, BuildState, SearchHits };
    struct Delivery {
        Kind kind = Kind::Nodes;
        std::vector<CFileNode*> nodes;
        CFileNode* node = nullptr;
        std::string text;
        bool flag = false;
        u64 generation = 0;
        u64 removals = 0;  // search hits: the removals counted when the trees were read
        u64 ask = 0;       // build state: the number of the ask
        std::shared_ptr<Event> done;
        size_t cursor = 0;
        // Set once the UI thread took the delivery: the deliverer no longer adds to it.
        bool taken = false;
    };

    void Enqueue(Delivery&& d);
    // On the UI thread with nothing queued before it, the delivery takes effect at once.
    bool ApplyAtOnce(Delivery& d);
    void QueueNode(CFileNode* node);
    bool OnUiThread() const;
    bool UiAlive() const;
    // Binds one delivery; false when the budget ran out inside a batch.
    bool Apply(Delivery& d, u64 deadline);
    void BindNode(CFileNode* node, std::vector<CFileNode*>& rows, std::vector<CFileVirtualNode*>& touched);
    // Sorts a bound file into the type and date trees.
    void ClassifyNode(CFileNode* node, std::vector<CFileNode*>& rows, std::vector<CFileVirtualNode*>& touched);
    void Reveal(CFileVirtualNode* bucket);
    void AfterBatch(std::vector<CFileVirtualNode*>& touched);
    void ResetNodes();
    void SearchWith(const FileSearchSettings& settings, bool acceptable);
    void ApplyRemove(CFileNode* root);
    ITreeObserver* ObserverOf(u32 kind) const;

    CSystemRootNode* m_pathRoot = nullptr;
    CFileTypeNode* m_typeRoot = nullptr;
    CFileTimeNode* m_dateRoot = nullptr;
    CBindingNode* m_current = nullptr;
    bool m_populated = false;
    bool m_building = false;
    u32 m_currentTreeKind = kTreeKindPath;
    CFolderFilter m_filter;
    IFileSelCtrlSink* m_sink = nullptr;
    std::function<void()> m_searchListener;
    IdleListener m_idleListener;
    std::atomic<u64> m_buildAsks{0};
    ITreeObserver* m_pathObserver = nullptr;
    ITreeObserver* m_typeObserver = nullptr;
    ITreeObserver* m_dateObserver = nullptr;

    // The queue between the delivering thread and the UI thread.
    std::mutex m_queueLock;
    std::deque<Delivery> m_queue;
    std::atomic<bool> m_drainPosted{false};
    std::atomic<u64> m_generation{0};
    std::atomic<u64> m_removals{0};
    // Taken by whoever binds: the UI thread, or the caller itself when no UI window exists.
    std::recursive_timed_mutex m_drainLock;
    HWND m_uiWindow = nullptr;
    u32 m_uiThread = 0;
    // Searches read the trees under a shared hold; a removal waits for them.
    std::shared_mutex m_treeUse;
    std::vector<CFileNode*> m_searchRoots;  // guarded by m_queueLock
};

}  // namespace FileSelCtrl
