#pragma once
// The process-wide scan session the wizard pages drive: what the user chose (volumes or known
// folders, the lost-data reason, the file types through the category filter), one scan at a time
// on its own thread, the controller of that scan, the roots of the trees it produced and the
// counts the pages show. Between the controllers and the browser sits the session's own
// IDirectoryTree (RecoveryGraph::DetourTree, engine/DetourTree.h), which forwards every finished
// tree to the view and keeps the counts on the way.
//
// Threads: the scan thread (one scan at a time) runs the controller; a release thread frees the
// previous scan's controller and trees so that neither a new scan nor the user interface waits for
// that. A controller and its trees are freed only once every scan thread that could still touch
// them has ended and no reader holds the trees. Each family of threads has its owner
// (platform/ScanThreads.h), which numbers, stops and joins them.
#include <atomic>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "engine/RecoveryFilter.h"
#include "platform/ScanThreads.h"
#include "platform/Types.h"
#include "platform/WindowPost.h"

class CFileNode;
class CFileSystemNode;
class IDirectoryTree;
class IProgress;
class IRecoveryController;
class IStorageDevice;
struct SavedVolumeForm;
struct VolumeRecord;

// ScanMode values.
constexpr u32 kScanModeDeleted = 0;
constexpr u32 kScanModeComplete = 1;
constexpr u32 kScanModeRestored = 4;

// The progress page's own controls besides IProgress: the session pauses, resumes and stops the
// scan through them. The progress page (and the headless sink of the driver and the tests)
// implements both interfaces.
class IProgressControl {
public:
    virtual ~IProgressControl() = default;
    // State paused: the scan threads block in IProgress::Continued.
    virtual void DoPause() = 0;
    // Only from the paused state: running again, the blocked scan threads wake.
    virtual void DoContinue() = 0;
    // Go-on cleared, the pause released so that a blocked scan wakes and reads the stop, and the
    // ScanOptions stop word set. With ask, the user may decline: -1 and nothing changes.
    virtual i32 DoStop(bool ask) = 0;
};

// "%s (%C:%s)" of the record's label, its letter ('*' without one) and the file-system name of its
// code, at most 259 bytes: the name a scanned volume is shown under.
std::string ScanDisplayName(const VolumeRecord& record);

class RecoveryGraph {
public:
    class DetourTree;

    static RecoveryGraph& Instance();

    RecoveryGraph(const RecoveryGraph&) = delete;
    RecoveryGraph& operator=(const RecoveryGraph&) = delete;

    // --- the user's choice ---
    // A null record clears the selection; otherwise the record is appended (and the index kept
    // unless it is -1). Always 0. The session holds the record, its device and its disks until the
    // selection is cleared and every scan that runs on it has ended: a record of the process-wide
    // enumeration survives a refresh meanwhile; any other record stays its caller's to keep.
    i32 SelectVolume(i32 index, VolumeRecord* record);
    i32 SelectVolume(i32 index, std::shared_ptr<VolumeRecord> record);
    // The chosen volumes' disk went away: nothing is chosen any more, but the counts of what the
    // scan found stay, as its trees do, and so does the saved form of the first volume.
    void ForgetLostVolumes();
    // What a saved result records of the first chosen volume, taken when it was chosen (null
    // when its disks could not be identified then); it outlives a lost disk, so that the trees
    // still shown can be saved naming it, until the selection is cleared.
    std::shared_ptr<const SavedVolumeForm> GetFirstVolumeForm();
    i32 AddFolderPath(const std::string& path);
    // Copies the folder paths only in the deleted-file mode.
    i32 GetFolderPaths(std::list<std::string>& out);
    VolumeRecord* GetFirstVolume();
    // The first chosen volume, kept alive (with its device and disks) for as long as the caller
    // holds it, even when the selection is cleared meanwhile.
    std::shared_ptr<VolumeRecord> HoldFirstVolume();
    IStorageDevice* GetFirstVolumeDevice();
    void SetFileTypeMask(u32 mask);
    IRecoveryFilter* GetFilter() { return &m_filter; }
    void SetReason(u32 reason) { m_reason.store(reason); }
    u32 GetReason() const { return m_reason.load(); }

    // --- trees ---
    // -1 for a null root or one whose file-system type is above 9; 0 otherwise (a root already
    // there is not added twice).
    i32 AddFileSystemTree(CFileSystemNode* root);
    i32 RemoveFileSystemTree(CFileSystemNode* root);
    std::vector<CFileSystemNode*> GetTreeRoots();
    // The per-node callback handed to the view: counts a file into the checked counts; false
    // for a null node or context, a node without properties, or once the count was cancelled.
    static bool CountCheckedFile(CFileNode* node, void* context);

    // --- what the pages set ---
    // The progress sink, its controls (may be null: pause and stop then reach only the
    // controller) and the window that receives the finish message.
    void SetProgress(IProgress* progress, IProgressControl* control, HWND progressWindow);
    IProgress* GetProgress() const { return m_progress.load(); }
    void SetPageWindow(HWND window) { m_pageWindow.store(window); }
    HWND GetPageWindow() const { return m_pageWindow.load(); }
    IDirectoryTree* GetDirectoryTree() const { return m_view.load(); }
    void SetDirectoryTree(IDirectoryTree* view) { m_view.store(view); }
    // Where the chosen folders go before a deleted-file scan (the browser's folder filter);
    // without one they are not passed on.
    using FolderFilterSink = void (*)(const std::string& path);
    void SetFolderFilterSink(FolderFilterSink sink) { m_folderSink.store(sink); }
    // The controller factory (CreateRecoveryController unless replaced; tests put theirs here).
    using ControllerFactory = IRecoveryController* (*)(u32 mode);
    void SetControllerFactory(ControllerFactory factory);

    // --- the scan ---
    u32 GetScanMode() const { return m_mode.load(); }
    IRecoveryController* GetController() const { return m_controller.load(); }
    u32 GetVolumeIndex() const { return m_volumeIndex.load(); }
    // 0 when started (or for mode 4, which starts nothing), -1 when the thread could not be made.
    // beforeThread runs once the older scans were stopped and before the new thread starts: the
    // progress sink starts its run there, for a thread that asked it first would read "stopped"
    // and end at once with nothing found.
    i32 DoScan(u32 mode, const std::function<void()>& beforeThread = nullptr);
    // -1 without a controller; else the controller and the progress sink are stopped, 0.
    i32 StopScan();
    // The browser's pause around a recovery or a preview it starts. Pause: a running scan is
    // paused and the pause marked as the session's (the paused-for-recovery flag, which is also
    // the paused-for-preview flag of a preview): the progress page then shows the scan as still
    // searching and leaves the windows as they are, and the recovery shows its tip. Resume:
    // only a pause so marked is lifted, never the user's. -1 without a progress sink; 0
    // otherwise.
    i32 PauseScan(bool pause);
    // Detaches the view, then waits up to 10 s for the scan thread. 0.
    i32 CloseScanThread();
    // How long DoScan, CloseScanThread and the destructor wait for a scan thread (10 s; tests
    // shorten it to reach the time-out).
    void SetThreadWaitMs(u32 ms) { m_threadWaitMs.store(ms); }
    // How long a short scan stays on screen before its finish message (3 s). A caller with no
    // screen to show it on (the scan driver) sets 0.
    static constexpr u32 kShortScanPauseMs = 3000;
    void SetShortScanPauseMs(u32 ms) { m_shortScanPauseMs.store(ms); }
    // Frees the controller and the trees on a release thread; waits for it when asked. 0.
    i32 ReleaseController(bool wait);
    // A thread that reads found nodes outside the scan (a preview's copy) holds the trees while
    // it does: a release frees nothing until every reader has let go. Readers must stop soon
    // once their work is cancelled, since a release may be waited for on the UI thread.
    ScanThreads::TreeReader HoldTrees() { return m_scanThreads.HoldTrees(); }
    // Count pass, statistics and the finish message; returns whether the message was posted.
    i32 DoReCaculateCheckedFileInfo();
    // The found-file count and size become those of the trees the view holds: what a scan
    // counted as it went (candidates a deep search later dropped, files a stop cut off) is not
    // what the user is shown. Call only while no scan thread adds to the trees.
    void CountFoundFilesFromTrees();
    // Any thread: the checked files of every tree the session holds and their bytes, read from
    // the nodes as the user's checks leave them. False (nothing counted) while a scan is still
    // adding to or dropping trees; the trees counted stay alive until the count is done.
    bool CountCheckedInTrees(u64& files, u64& bytes);

    // --- counters the pages read ---
    u32 GetCheckedFileCount() const { return m_checkedFileCount.load(); }
    u64 GetCheckedBytes() const { return m_checkedBytes.load(); }
    u64 GetViewCheckedBytes() const { return m_viewCheckedBytes.load(); }
    u64 GetFoundFileCount() const { return m_foundFileCount.load(); }
    u64 GetFoundFileBytes() const { return m_foundFileBytes.load(); }
    // Files found beyond those the trees show, which the found-files line names on its own; a
    // new scan and going home zero it.
    u64 GetSecondFoundFileCount() const { return m_secondFoundFileCount.load(); }
    void SetSecondFoundFileCount(u64 n) { m_secondFoundFileCount.store(n); }
    // Set when a recovery during a scan paused for it is not to show the tip first (the preview
    // it is started from told the user already, in its warning strip); the recovery reads it and
    // clears it.
    void SetSkipTip(u32 skip) { m_skipTip.store(skip); }
    u32 GetSkipTip() const { return m_skipTip.load(); }
    void SetCancelCount(u32 n) { m_cancelCount.store(n); }
    u32 GetCancelCount() const { return m_cancelCount.load(); }
    void SetStopRequested(u32 v) { m_stopRequested.store(v); }
    u32 GetStopRequested() const { return m_stopRequested.load(); }
    u32 GetNothingSelected() const { return m_nothingSelected.load(); }
    u32 GetPausedBySession() const { return m_pausedBySession.load(); }
    // Whether a scan thread is running (it may have cleared its handle already).
    bool IsScanRunning();

    DetourTree& GetDetour() { return *m_detour; }

private:
    friend class DetourTree;

    RecoveryGraph();
    ~RecoveryGraph();
    static void ForgetLiveSession();

    // The body of scan thread `seq`; a newer DoScan asks it to stop (it is superseded then).
    i32 ScanThread(u64 seq);
    // Takes the controller and the tree roots out of the session for a release, and detaches the
    // view, all under the tree lock: whoever takes them owns them, so two releases never free one
    // controller, and a scan still finishing can no longer add a root the release would miss.
    // False when there is nothing to release.
    bool TakeForRelease(IRecoveryController*& controller, std::vector<CFileSystemNode*>& roots);
    // The detour's add: keeps the root while the view is still set and answers that view (null
    // once a release has taken the trees; the root then stays its controller's alone).
    IDirectoryTree* AddViewedTree(CFileSystemNode* root);
    // The release thread's body: stops the controller, waits until no scan thread older than
    // `olderThan` runs, then frees the controller, or the restored trees of mode 4.
    i32 ReleaseThread(IRecoveryController* controller, std::vector<CFileSystemNode*>& roots, u32 mode,
                      u64 olderThan);
    // Runs ReleaseThread on a thread of its own and waits for it when asked.
    void RunReleaseThread(IRecoveryController* controller, std::vector<CFileSystemNode*> roots, bool wait,
                          u64 olderThan, u32 mode);
    // Waits up to `ms` for the stored scan thread; then forgets its handle. False on time-out.
    bool WaitStoredScanThread(u32 ms);
    // Stops the progress sink when a scan thread older than `olderThan` is still scanning.
    void StopRunningScanSink(u64 olderThan);
    void ResetCounters();
    static void FreeRestoredTree(CFileSystemNode* root);

    std::atomic<u32> m_reason{0};
    std::mutex m_treeLock;  // TreeRoots, SelectedVolumes, FolderPaths
    std::vector<CFileSystemNode*> m_treeRoots;
    std::atomic<u32> m_checkedFileCount{0};
    std::atomic<u64> m_checkedBytes{0};
    std::atomic<u64> m_viewCheckedBytes{0};
    std::atomic<u32> m_cancelCount{0};
    std::atomic<u32> m_stopRequested{0};
    std::atomic<u32> m_volumeIndex{0};
    std::atomic<u32> m_nothingSelected{0};
    std::atomic<u32> m_pausedBySession{0};
    std::atomic<u64> m_foundFileCount{0};
    std::atomic<u64> m_foundFileBytes{0};
    std::atomic<u64> m_secondFoundFileCount{0};
    std::atomic<u32> m_skipTip{0};
    std::vector<std::shared_ptr<VolumeRecord>> m_selectedVolumes;
    std::shared_ptr<const SavedVolumeForm> m_firstVolumeForm;
    std::list<std::string> m_folderPaths;
    CRecoveryFilter m_filter;
    std::atomic<u32> m_mode{kScanModeDeleted};
    // The mode of what the session held when DoScan changed the mode: a restored result's trees
    // are freed by the next scan's release even though the mode is no longer 4 by then.
    std::atomic<u32> m_previousMode{kScanModeDeleted};
    std::atomic<IProgress*> m_progress{nullptr};
    std::atomic<IProgressControl*> m_progressControl{nullptr};
    std::atomic<HWND> m_progressWindow{nullptr};
    std::atomic<IDirectoryTree*> m_view{nullptr};
    std::atomic<HWND> m_pageWindow{nullptr};
    std::atomic<IRecoveryController*> m_controller{nullptr};
    std::unique_ptr<DetourTree> m_detour;
    std::atomic<FolderFilterSink> m_folderSink{nullptr};
    std::atomic<ControllerFactory> m_factory{nullptr};

    std::atomic<u32> m_threadWaitMs{10000};
    std::atomic<u32> m_shortScanPauseMs{kShortScanPauseMs};
    // The number of the last scan thread DoScan started, until the thread is past its controllers
    // or a waiter lets go of it (0: none).
    std::atomic<u64> m_storedScan{0};
    // Last, so destroyed first: their threads use everything above. A scan thread is busy while
    // it runs controllers; its stop hook stops its controller.
    ScanThreads m_scanThreads;
    ScanThreads m_releaseThreads;
};
