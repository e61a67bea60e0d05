// The scan session: the user's choice, the trees the scan produced and the counts, and the
// session's threads: the scan thread, the release thread, pause and stop.
//
// The scan threads are numbered in the order they were started (their owner, m_scanThreads,
// joins them): the release of a controller and its trees waits for the scan threads older than
// the release, so nothing is freed while a scan thread can still touch it, a thread never waits
// for itself, and two threads never wait for each other. The "stored" scan thread is the one the
// last DoScan started, until it is past its controllers or a waiter lets go of it.
#include "engine/RecoveryGraph.h"

#include <algorithm>
#include <cstring>

#include "core/Settings.h"
#include "core/Shell.h"
#include "devices/ScanOptions.h"
#include "devices/VolumeEnumerator.h"
#include "devices/VolumeRecord.h"
#include "engine/DetourTree.h"
#include "engine/FileNode.h"
#include "engine/FileProperties.h"
#include "engine/FileSystemNode.h"
#include "engine/Progress.h"
#include "engine/RecoveryController.h"
#include "engine/SavedResult.h"
#include "platform/Log.h"
#include "platform/Stats.h"
#include "platform/Sync.h"
#include "platform/Text.h"
#include "platform/Time.h"

namespace {
// The session as the enumeration's stop query sees it; null once the session is gone, so that a
// late enumeration never reads a destroyed object.
std::atomic<RecoveryGraph*> g_liveSession{nullptr};

bool SessionStopRequested() {
    RecoveryGraph* session = g_liveSession.load();
    return session && session->GetStopRequested() != 0;
}

// Every scan started so far is older than this.
constexpr u64 kAllScans = ScanThreads::kAllThreads;
constexpr u32 kShortScanMs = 10000;

constexpr u32 kStatsCheckedKiB = 0x3010;
constexpr u32 kStatsCheckedFiles = 0x3011;
constexpr u32 kStatsFoundFiles = 0x3012;

void LogEntry(const char* function, int line) {
    WriteLog("P[%04d]:T[%04d] run to %s %d\r\n", static_cast<int>(CurrentProcessId()),
             static_cast<int>(CurrentThreadId()), function, line);
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
        m_checkedFileCount.store(0);
        m_checkedBytes.store(0);
        m_viewCheckedBytes.store(0);
        m_foundFileCount.store(0);
        m_foundFileBytes.store(0);
        m_secondFoundFileCount.store(0);
        m_cancelCount.store(0);
        ForgetLostVolumes();
        std::lock_guard<std::mutex> lk(m_treeLock);
        m_firstVolumeForm.reset();
        return 0;
    }
    if (index != -1) m_volumeIndex.store(static_cast<u32>(index));
    // The disks are read now, while they are there.
    auto form = std::make_shared<SavedVolumeForm>();
    if (!TakeSavedVolumeForm(*record, *form)) form.reset();
    {
        std::lock_guard<std::mutex> lk(m_treeLock);
        if (m_selectedVolumes.empty()) m_firstVolumeForm = std::move(form);
        m_selectedVolumes.push_back(std::move(record));
    }
    m_nothingSelected.store(0);
    return 0;
}

void RecoveryGraph::ForgetLostVolumes() {
    {
        std::lock_guard<std::mutex> lk(m_treeLock);
        m_selectedVolumes.clear();
        m_folderPaths.clear();
    }
    m_nothingSelected.store(1);
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

std::shared_ptr<const SavedVolumeForm> RecoveryGraph::GetFirstVolumeForm() {
    std::lock_guard<std::mutex> lk(m_treeLock);
    return m_firstVolumeForm;
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
    AddSaturating(owner->m_checkedBytes, size);
    AddSaturating(owner->m_viewCheckedBytes, size);
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
    m_secondFoundFileCount.store(0);
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

std::string ScanDisplayName(const VolumeRecord& record) {
    const std::string label(record.label, strnlen(record.label, sizeof(record.label)));
    const char letter = record.driveLetter ? record.driveLetter : '*';
    std::string name = label + " (" + letter + ":" + ScanFileSystemName(record.fsCode) + ")";
    return std::string(Utf8Prefix(name, kMaxPath - 1));
}

RecoveryGraph::~RecoveryGraph() {
    ForgetLiveSession();
    m_detour->SetView(nullptr);
    WaitStoredScanThread(m_threadWaitMs.load());
    IRecoveryController* controller = nullptr;
    std::vector<CFileSystemNode*> roots;
    if (TakeForRelease(controller, roots)) {
        StopRunningScanSink(kAllScans);
        RunReleaseThread(controller, std::move(roots), true, kAllScans, m_mode.load());
        SetCurrentRecoveryController(nullptr);
    }
    // No thread of the session may outlive it.
    StopRunningScanSink(kAllScans);
    m_scanThreads.JoinAll();
    m_releaseThreads.JoinAll();
}

bool RecoveryGraph::IsScanRunning() { return m_scanThreads.AnyRunning(); }

bool RecoveryGraph::TakeForRelease(IRecoveryController*& controller, std::vector<CFileSystemNode*>& roots) {
    std::lock_guard<std::mutex> lk(m_treeLock);
    if (!m_controller.load() && m_treeRoots.empty()) return false;
    m_detour->SetView(nullptr);
    roots.swap(m_treeRoots);
    controller = m_controller.exchange(nullptr);
    return true;
}

IDirectoryTree* RecoveryGraph::AddViewedTree(CFileSystemNode* root) {
    std::lock_guard<std::mutex> lk(m_treeLock);
    IDirectoryTree* view = m_detour->GetView();
    if (!view) return nullptr;
    if (root->GetFileSystemType() <= kFsUnknown && std::find(m_treeRoots.begin(), m_treeRoots.end(), root) == m_treeRoots.end()) {
        m_treeRoots.push_back(root);
    }
    return view;
}

bool RecoveryGraph::WaitStoredScanThread(u32 ms) {
    u64 stored = m_storedScan.load();
    if (stored == 0) return true;
    const bool ended = m_scanThreads.WaitFor(stored, ms);
    m_storedScan.compare_exchange_strong(stored, 0);
    return ended;
}

void RecoveryGraph::StopRunningScanSink(u64 olderThan) {
    // Threads past their controllers (sleeping before the finish message, counting) no longer
    // ask the sink: stopping it then would only stop the next scan.
    if (!m_scanThreads.AnyBusy(olderThan)) return;
    if (IProgressControl* control = m_progressControl.load()) control->DoStop(false);
    // Without controls, the stop word still reaches the searches that poll it.
    GetScanOptions().SetStopRequested(1);
}

i32 RecoveryGraph::DoScan(u32 mode, const std::function<void()>& beforeThread) {
    // Every scan still running is superseded by this one: it makes no controller, runs no
    // further volume, does not show its trees and posts no finish message (that message would
    // end the newer scan's page). A scanning thread's controller is stopped by its stop hook; it
    // is freed only after the thread has ended.
    m_scanThreads.RequestStop(kAllScans);
    {
        // Under the tree lock, after the marks: a superseded thread cannot set the view again.
        std::lock_guard<std::mutex> lk(m_treeLock);
        m_detour->SetView(nullptr);
    }
    // A scan still running when a new one is asked for is stopped first, so that the wait below
    // does not run into a paused scan's time-out.
    StopRunningScanSink(kAllScans);
    WaitStoredScanThread(m_threadWaitMs.load());
    WriteLog("%s %d\r\n", "RecoveryGraph::DoScan", static_cast<int>(mode));
    m_previousMode.store(m_mode.exchange(mode));
    ResetCounters();
    if (mode == kScanModeRestored) return 0;
    if (beforeThread) beforeThread();

    // The thread counts as running before Start returns, so no release can miss it.
    const u64 seq = m_scanThreads.Start([this](u64 self) { ScanThread(self); });
    if (seq == 0) {
        LogError("The scan thread could not be created");
        return -1;
    }
    m_storedScan.store(seq);
    return 0;
}

i32 RecoveryGraph::ScanThread(u64 seq) {
    // The previous scan's controller and trees go first; an older scan thread still running
    // is waited for, so that two scans never share the session.
    for (;;) {
        IRecoveryController* previous = nullptr;
        std::vector<CFileSystemNode*> roots;
        if (TakeForRelease(previous, roots)) {
            RunReleaseThread(previous, std::move(roots), true, seq, m_previousMode.load());
            SetCurrentRecoveryController(nullptr);
            continue;
        }
        if (!m_scanThreads.AnyRunning(seq)) break;
        m_scanThreads.WaitOlder(seq);
    }
    auto superseded = [this, seq] { return m_scanThreads.StopRequested(seq); };
    // A newer scan came meanwhile: it makes the controller, not this thread.
    if (superseded()) return 0;

    const u64 start = GetTickCount64Ms();
    LogEntry("RecoveryGraph::ScanThread", 371);

    const u32 mode = m_mode.load();
    ControllerFactory factory = m_factory.load();
    IRecoveryController* controller = factory ? factory(mode) : CreateRecoveryController(mode);
    if (!controller) return -1;
    // A newer DoScan stops the controller through the hook while this thread scans.
    const bool registered = m_scanThreads.SetStopHook(seq, [controller] { controller->Stop(); });
    if (registered) m_controller.store(controller);
    if (!registered) {
        // Superseded before it ran: nobody else knows this controller.
        controller->Release();
        return 0;
    }

    if (controller->Initialize(&m_filter) != 1) {
        m_scanThreads.SetStopHook(seq, nullptr);
        // A release that took the controller meanwhile frees it once this thread has ended.
        IRecoveryController* expected = controller;
        if (m_controller.compare_exchange_strong(expected, nullptr)) controller->Release();
        return -2;
    }

    GetScanOptions().SetStopRequested(0);
    GetScanOptions().SetScanRaw(static_cast<u32>(ConfigScanRaw()));
    GetScanOptions().SetFatRevise(static_cast<u32>(ConfigRevise()));

    // Not once a release has taken the controller or a newer scan came: the trees of this
    // scan must then not reach the view or the session's list.
    {
        std::lock_guard<std::mutex> lk(m_treeLock);
        if (!superseded() && m_controller.load() == controller) m_detour->SetView(m_view.load());
    }

    // The browser's folder filter learns the folders a deleted-file scan is limited to.
    if (mode == kScanModeDeleted && m_view.load()) {
        std::list<std::string> folders;
        {
            std::lock_guard<std::mutex> lk(m_treeLock);
            folders = m_folderPaths;
        }
        if (FolderFilterSink sink = m_folderSink.load()) {
            for (const std::string& path : folders) sink(path);
        }
    }

    // Held until the thread ends: a refresh of the enumeration or a cleared selection meanwhile
    // leaves the volumes, their devices and disks alive.
    std::vector<std::shared_ptr<VolumeRecord>> volumes;
    {
        std::lock_guard<std::mutex> lk(m_treeLock);
        volumes = m_selectedVolumes;
    }
    for (const std::shared_ptr<VolumeRecord>& record : volumes) {
        if (superseded()) break;
        if (!record) continue;
        const std::string name = ScanDisplayName(*record);
        controller->SetFileSystem(record->fsCode, name.c_str());
        controller->Run(record->device, m_progress.load(), m_detour.get(), name.c_str(), m_reason.load());
    }

    // A release made while this scan ran has taken the controller: it must not come back as
    // the current one.
    if (m_controller.load() == controller) SetCurrentRecoveryController(controller);
    m_scanThreads.EndBusy(seq);
    u64 stored = seq;
    m_storedScan.compare_exchange_strong(stored, 0);

    // A short scan stays on screen a moment before its page moves on.
    const u32 pause = m_shortScanPauseMs.load();
    if (pause != 0 && GetTickCount64Ms() - start < kShortScanMs) SleepMs(pause);
    LogEntry("RecoveryGraph::ScanThread", 438);
    if (m_stopRequested.load() || superseded()) return 0;
    return DoReCaculateCheckedFileInfo();
}

i32 RecoveryGraph::DoReCaculateCheckedFileInfo() {
    bool keepCounts;
    {
        std::lock_guard<std::mutex> lk(m_treeLock);
        keepCounts = m_mode.load() == kScanModeDeleted && !m_folderPaths.empty();
    }
    if (!keepCounts) {
        m_foundFileCount.store(0);
        m_foundFileBytes.store(0);
        m_checkedFileCount.store(0);
        m_checkedBytes.store(0);
        m_viewCheckedBytes.store(0);
        // The roots stay alive while this runs: a release waits for the scan thread, and the
        // import calls this on the thread that owns the restored roots.
        for (CFileSystemNode* root : GetTreeRoots()) {
            SelectionStatistics stats;
            root->RecountStatistics();
            root->GetStatistics(&stats);
            m_checkedFileCount.fetch_add(stats.files);
            AddSaturating(m_checkedBytes, stats.bytes);
            AddSaturating(m_viewCheckedBytes, stats.bytes);
            // Found is what the trees show, whatever the scan counted on its way.
            m_foundFileCount.fetch_add(stats.files);
            AddSaturating(m_foundFileBytes, stats.bytes);
        }
    }
    StatsValue(kStatsCheckedKiB, m_checkedBytes.load() / 1024);
    StatsValue(kStatsCheckedFiles, m_checkedFileCount.load());
    StatsValue(kStatsFoundFiles, m_foundFileCount.load());
    LogEntry("RecoveryGraph::DoReCaculateCheckedFileInfo", 472);
    LogEntry("UiCtrl::RecoveryProgressWnd::OnScanFinished", 798);
    return PostMessage(m_progressWindow.load(), WM_UI_SCAN_FINISHED, 0, 0) ? 1 : 0;
}

void RecoveryGraph::CountFoundFilesFromTrees() {
    u64 files = 0, bytes = 0;
    for (CFileSystemNode* root : GetTreeRoots()) {
        SelectionStatistics stats;
        root->RecountStatistics();
        root->GetStatistics(&stats);
        files += stats.files;
        bytes = SaturatingAdd(bytes, stats.bytes);
    }
    m_foundFileCount.store(files);
    m_foundFileBytes.store(bytes);
}

bool RecoveryGraph::CountCheckedInTrees(u64& files, u64& bytes) {
    files = bytes = 0;
    // A release of these roots waits for the hold; a scan started after the look at the busy
    // threads begins with such a release, and one started before it is seen busy there.
    ScanThreads::TreeReader hold = m_scanThreads.HoldTrees();
    const std::vector<CFileSystemNode*> roots = GetTreeRoots();
    if (m_scanThreads.AnyBusy()) return false;
    for (CFileSystemNode* root : roots) {
        SelectionStatistics stats;
        CountSubtree(root, &stats, false, 0);
        files += stats.checkedFiles;
        bytes = SaturatingAdd(bytes, stats.checkedBytes);
    }
    return true;
}

i32 RecoveryGraph::StopScan() {
    StopRunningScanSink(kAllScans);
    IRecoveryController* controller = m_controller.load();
    if (!controller) return -1;
    controller->Stop();
    return 0;
}

i32 RecoveryGraph::PauseScan(bool pause) {
    IProgress* progress = m_progress.load();
    if (!progress) return -1;
    IProgressControl* control = m_progressControl.load();
    if (pause) {
        if (progress->GetState() == kProgressRunning) {
            // Set first: the progress page reads it to leave the pause unshown as the user's.
            m_pausedBySession.store(1);
            if (control) {
                control->DoPause();
                // A scan past its last stoppable percent does not pause: there is no pause of
                // the session's to lift, and no recovery waits for the scan.
                if (progress->GetState() != kProgressPaused) m_pausedBySession.store(0);
            }
        }
    } else if (m_pausedBySession.load() == 1) {
        if (control) control->DoContinue();
        m_pausedBySession.store(0);
    }
    return 0;
}

i32 RecoveryGraph::CloseScanThread() {
    m_detour->SetView(nullptr);
    WaitStoredScanThread(m_threadWaitMs.load());
    return 0;
}

i32 RecoveryGraph::ReleaseController(bool wait) {
    const u64 limit = m_scanThreads.NextNumber();
    IRecoveryController* controller = nullptr;
    std::vector<CFileSystemNode*> roots;
    if (!TakeForRelease(controller, roots)) return 0;
    // A paused scan only wakes when its progress sink is stopped too. The sink is the page's:
    // it is stopped here, on the caller's thread, not on the release thread.
    StopRunningScanSink(limit);
    RunReleaseThread(controller, std::move(roots), wait, limit, m_mode.load());
    SetCurrentRecoveryController(nullptr);
    return 0;
}

void RecoveryGraph::RunReleaseThread(IRecoveryController* controller, std::vector<CFileSystemNode*> roots,
                                     bool wait, u64 olderThan, u32 mode) {
    auto shared = std::make_shared<std::vector<CFileSystemNode*>>(std::move(roots));
    const ScanThreads::Body body = [this, controller, mode, olderThan, shared](u64) {
        ReleaseThread(controller, *shared, mode, olderThan);
    };
    const u64 release = m_releaseThreads.Start(body);
    if (release == 0) {
        // No thread to be had: free on this one rather than leak.
        body(0);
        return;
    }
    if (!wait) return;
    while (!m_releaseThreads.WaitFor(release, ScanThreads::kStallLogMs)) {
        LogError("Still waiting for the release of a scan's controller and trees");
    }
}

i32 RecoveryGraph::ReleaseThread(IRecoveryController* controller, std::vector<CFileSystemNode*>& roots, u32 mode,
                                 u64 olderThan) {
    // The roots were taken (and the view detached) by the caller.
    if (controller) controller->Stop();
    // Every scan thread started before this release must have ended before anything is
    // freed; the one that asked for it (a new scan thread) and any newer one are not waited for.
    m_scanThreads.WaitOlder(olderThan);
    m_scanThreads.WaitNoTreeReaders();
    LogEntry("RecoveryGraph::ReleaseThread", 210);
    if (controller) {
        if (GetCurrentRecoveryController() == controller) SetCurrentRecoveryController(nullptr);
        controller->Release();
    } else if (mode == kScanModeRestored) {
        for (CFileSystemNode* root : roots) FreeRestoredTree(root);
    }
    roots.clear();
    LogEntry("RecoveryGraph::ReleaseThread", 244);
    return 0;
}
