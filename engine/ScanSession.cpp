// The scan session's threads: the scan thread, the release thread, pause and stop.
//
// Thread handles: a scan thread is detached as soon as it starts; its "handle" is the record the
// session keeps until the thread (once its controllers have run) or a waiter lets go of it. Independently of the handle,
// the session keeps the set of scan threads that still run, numbered in the order they were
// started: the release of a controller and its trees waits for the scan threads older than the
// release, so nothing is freed while a scan thread can still touch it, a thread never waits for
// itself, and two threads never wait for each other.
#include <algorithm>
#include <chrono>
#include <cstring>

#include "core/Settings.h"
#include "core/Shell.h"
#include "devices/ScanOptions.h"
#include "devices/VolumeRecord.h"
#include "engine/DetourTree.h"
#include "engine/FileSystemNode.h"
#include "engine/Progress.h"
#include "engine/RecoveryController.h"
#include "engine/RecoveryGraph.h"
#include "platform/Log.h"
#include "platform/Stats.h"
#include "platform/Sync.h"
#include "platform/Text.h"
#include "platform/Time.h"

struct RecoveryGraph::ScanThreadRecord {
    u64 seq = 0;            // start number; a scan thread waits only for smaller ones
    bool ended = false;     // guarded by m_threadLock
    bool scanning = true;   // still running controllers; guarded by m_threadLock
    // A newer DoScan came: the thread makes no controller, runs no further volume, does not
    // show its trees and posts no finish message (that message would end the newer scan's page).
    std::atomic<bool> superseded{false};
    IRecoveryController* controller = nullptr;  // guarded by m_threadLock
};

namespace {

// Every scan started so far is older than this.
constexpr u64 kAllScans = ~0ULL;
constexpr u32 kShortScanMs = 10000;
constexpr u32 kFinishDelayMs = 3000;

constexpr u32 kStatsCheckedKiB = 0x3010;
constexpr u32 kStatsCheckedFiles = 0x3011;
constexpr u32 kStatsFoundFiles = 0x3012;

void LogEntry(const char* function, int line) {
    WriteLog("P[%04d]:T[%04d] run to %s %d\r\n", static_cast<int>(CurrentProcessId()),
             static_cast<int>(CurrentThreadId()), function, line);
}

}  // namespace

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
    std::unique_lock<std::mutex> lk(m_threadLock);
    m_threadChanged.wait(lk, [&] { return m_runningScans.empty() && m_runningReleases == 0; });
}

bool RecoveryGraph::IsScanRunning() {
    std::lock_guard<std::mutex> lk(m_threadLock);
    return !m_runningScans.empty();
}

u64 RecoveryGraph::NextScanSeq() {
    std::lock_guard<std::mutex> lk(m_threadLock);
    return m_lastScanSeq + 1;
}

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
    std::unique_lock<std::mutex> lk(m_threadLock);
    std::shared_ptr<ScanThreadRecord> record = m_scanThread;
    if (!record) return true;
    const bool ended = m_threadChanged.wait_for(lk, std::chrono::milliseconds(ms), [&] { return record->ended; });
    if (m_scanThread == record) m_scanThread.reset();
    return ended;
}

void RecoveryGraph::WaitOlderScanThreads(u64 olderThan) {
    std::unique_lock<std::mutex> lk(m_threadLock);
    auto olderEnded = [&] { return m_runningScans.empty() || m_runningScans.begin()->first >= olderThan; };
    while (!m_threadChanged.wait_for(lk, std::chrono::milliseconds(10000), olderEnded)) {
        LogError("Still waiting for a scan thread to end before its controller is freed");
    }
    if (m_scanThread && m_scanThread->ended) m_scanThread.reset();
}

void RecoveryGraph::StopRunningScanSink(u64 olderThan) {
    bool scanning = false;
    {
        std::lock_guard<std::mutex> lk(m_threadLock);
        // Threads past their controllers (sleeping before the finish message, counting) no
        // longer ask the sink: stopping it then would only stop the next scan.
        for (const auto& e : m_runningScans) {
            if (e.first < olderThan && e.second->scanning) scanning = true;
        }
    }
    if (!scanning) return;
    if (IProgressControl* control = m_progressControl.load()) control->DoStop(false);
    // Without controls, the stop word still reaches the searches that poll it.
    GetScanOptions().SetStopRequested(1);
}

i32 RecoveryGraph::DoScan(u32 mode) {
    {
        // A scanning thread's controller is freed only after the thread has left the set, which
        // takes this lock. Every scan still running is superseded by this one.
        std::lock_guard<std::mutex> lk(m_threadLock);
        for (const auto& e : m_runningScans) {
            e.second->superseded.store(true);
            if (e.second->scanning && e.second->controller) e.second->controller->Stop();
        }
    }
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

    auto record = std::make_shared<ScanThreadRecord>();
    std::lock_guard<std::mutex> lk(m_threadLock);
    record->seq = m_lastScanSeq + 1;
    try {
        // The new thread registers under this lock, so no release can miss it.
        std::thread t([this, record] { ScanThreadBody(record); });
        t.detach();
    } catch (const std::exception&) {
        LogError("The scan thread could not be created");
        return -1;
    }
    m_lastScanSeq = record->seq;
    m_runningScans.emplace(record->seq, record);
    m_scanThread = record;
    return 0;
}

void RecoveryGraph::ScanThreadBody(std::shared_ptr<ScanThreadRecord> self) {
    {
        // DoScan registers the thread before it lets go of this lock.
        std::lock_guard<std::mutex> lk(m_threadLock);
    }
    ScanThread(*self);
    std::lock_guard<std::mutex> lk(m_threadLock);
    self->ended = true;
    self->scanning = false;
    self->controller = nullptr;
    m_runningScans.erase(self->seq);
    m_threadChanged.notify_all();
}

i32 RecoveryGraph::ScanThread(ScanThreadRecord& self) {
    // The previous scan's controller and trees go first; an older scan thread still running
    // is waited for, so that two scans never share the session.
    for (;;) {
        IRecoveryController* previous = nullptr;
        std::vector<CFileSystemNode*> roots;
        if (TakeForRelease(previous, roots)) {
            RunReleaseThread(previous, std::move(roots), true, self.seq, m_previousMode.load());
            SetCurrentRecoveryController(nullptr);
            continue;
        }
        bool olderRunning;
        {
            std::lock_guard<std::mutex> lk(m_threadLock);
            olderRunning = !m_runningScans.empty() && m_runningScans.begin()->first < self.seq;
        }
        if (!olderRunning) break;
        WaitOlderScanThreads(self.seq);
    }
    // A newer scan came meanwhile: it makes the controller, not this thread.
    if (self.superseded.load()) return 0;

    const u64 start = GetTickCount64Ms();
    LogEntry("RecoveryGraph::ScanThread", 371);

    const u32 mode = m_mode.load();
    ControllerFactory factory = m_factory.load();
    IRecoveryController* controller = factory ? factory(mode) : CreateRecoveryController(mode);
    if (!controller) return -1;
    bool registered = false;
    {
        std::lock_guard<std::mutex> lk(m_threadLock);
        if (!self.superseded.load()) {
            self.controller = controller;
            m_controller.store(controller);
            registered = true;
        }
    }
    if (!registered) {
        // Superseded before it ran: nobody else knows this controller.
        controller->Release();
        return 0;
    }

    if (controller->Initialize(&m_filter) != 1) {
        {
            std::lock_guard<std::mutex> lk(m_threadLock);
            self.controller = nullptr;
        }
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
        if (!self.superseded.load() && m_controller.load() == controller) m_detour->SetView(m_view.load());
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
        if (self.superseded.load()) break;
        if (!record) continue;
        const std::string name = ScanDisplayName(*record);
        controller->SetFileSystem(record->fsCode, name.c_str());
        controller->Run(record->device, m_progress.load(), m_detour.get(), name.c_str(), m_reason.load());
    }

    // A release made while this scan ran has taken the controller: it must not come back as
    // the current one.
    if (m_controller.load() == controller) SetCurrentRecoveryController(controller);
    {
        std::lock_guard<std::mutex> lk(m_threadLock);
        self.scanning = false;
        if (m_scanThread.get() == &self) m_scanThread.reset();
    }

    // A short scan stays on screen a moment before its page moves on.
    if (GetTickCount64Ms() - start < kShortScanMs) SleepMs(kFinishDelayMs);
    LogEntry("RecoveryGraph::ScanThread", 438);
    if (m_stopRequested.load() || self.superseded.load()) return 0;
    return DoReCaculateCheckedFileInfo();
}

i32 RecoveryGraph::DoReCaculateCheckedFileInfo() {
    bool keepCounts;
    {
        std::lock_guard<std::mutex> lk(m_treeLock);
        keepCounts = m_mode.load() == kScanModeDeleted && !m_folderPaths.empty();
    }
    const bool restored = m_mode.load() == kScanModeRestored;
    if (!keepCounts) {
        if (restored) {
            m_foundFileCount.store(0);
            m_foundFileBytes.store(0);
        }
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
            m_checkedBytes.fetch_add(stats.bytes);
            m_viewCheckedBytes.fetch_add(stats.bytes);
            // No scan counted the files of a loaded result as it found them: its trees hold them.
            if (restored) {
                m_foundFileCount.fetch_add(stats.files);
                m_foundFileBytes.fetch_add(stats.bytes);
            }
        }
    }
    StatsValue(kStatsCheckedKiB, m_checkedBytes.load() / 1024);
    StatsValue(kStatsCheckedFiles, m_checkedFileCount.load());
    StatsValue(kStatsFoundFiles, m_foundFileCount.load());
    LogEntry("RecoveryGraph::DoReCaculateCheckedFileInfo", 472);
    LogEntry("UiCtrl::RecoveryProgressWnd::OnScanFinished", 798);
    return PostMessage(m_progressWindow.load(), WM_UI_SCAN_FINISHED, 0, 0) ? 1 : 0;
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
            m_pausedBySession.store(1);
            if (control) control->DoPause();
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

void RecoveryGraph::AddTreeReader() {
    std::lock_guard<std::mutex> lk(m_threadLock);
    ++m_treeReaders;
}

void RecoveryGraph::RemoveTreeReader() {
    std::lock_guard<std::mutex> lk(m_threadLock);
    if (m_treeReaders > 0) --m_treeReaders;
    m_threadChanged.notify_all();
}

i32 RecoveryGraph::ReleaseController(bool wait) {
    const u64 limit = NextScanSeq();
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
    {
        std::lock_guard<std::mutex> lk(m_threadLock);
        ++m_runningReleases;
    }
    auto shared = std::make_shared<std::vector<CFileSystemNode*>>(std::move(roots));
    auto body = [this, controller, mode, olderThan, shared] {
        ReleaseThread(controller, *shared, mode, olderThan);
        std::lock_guard<std::mutex> lk(m_threadLock);
        --m_runningReleases;
        m_threadChanged.notify_all();
    };
    try {
        std::thread t(body);
        if (wait) {
            t.join();
        } else {
            t.detach();
        }
    } catch (const std::exception&) {
        // No thread to be had: free on this one rather than leak or leave the count up.
        body();
    }
}

i32 RecoveryGraph::ReleaseThread(IRecoveryController* controller, std::vector<CFileSystemNode*>& roots, u32 mode,
                                 u64 olderThan) {
    // The roots were taken (and the view detached) by the caller.
    if (controller) controller->Stop();
    // Every scan thread started before this release must have ended before anything is
    // freed; the one that asked for it (a new scan thread) and any newer one are not waited for.
    WaitOlderScanThreads(olderThan);
    {
        std::unique_lock<std::mutex> lk(m_threadLock);
        while (!m_threadChanged.wait_for(lk, std::chrono::milliseconds(10000), [this] { return m_treeReaders == 0; })) {
            LogError("Still waiting for %u readers of the found trees before they are freed", m_treeReaders);
        }
    }
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
