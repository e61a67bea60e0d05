// The scan session's threads: the scan thread, the release thread, pause and stop.
//
// Thread handles: a scan thread is detached as soon as it starts; its "handle" is the record the
// session keeps until the thread (step 9) or a waiter lets go of it. Independently of the handle,
// the session keeps the set of scan threads that still run: the release of a controller and its
// trees waits on that set, so nothing is freed while a scan thread can still touch it, and a
// thread never waits for itself.
#include <chrono>
#include <cstring>

#include "app/core/Settings.h"
#include "app/core/Shell.h"
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
    std::thread::id id;
    bool ended = false;     // guarded by m_threadLock
    bool scanning = true;   // still running controllers (before step 9); guarded by m_threadLock
    IRecoveryController* controller = nullptr;  // guarded by m_threadLock
};

namespace {

constexpr u32 kThreadWaitMs = 10000;
constexpr u32 kShortScanMs = 10000;
constexpr u32 kFinishDelayMs = 3000;

constexpr u32 kStatsCheckedKiB = 0x3010;
constexpr u32 kStatsCheckedFiles = 0x3011;
constexpr u32 kStatsFoundFiles = 0x3012;

void LogEntry(const char* function, int line) {
    WriteLog("P[%04d]:T[%04d] run to %s %d\r\n", static_cast<int>(CurrentProcessId()),
             static_cast<int>(CurrentThreadId()), function, line);
}

const char* ScanFileSystemName(u32 fsCode) {
    switch (fsCode) {
        case 0: return "FAT12";
        case 1: return "FAT16";
        case 2: return "FAT32";
        case 3: return "NTFS";
        case 4: return "EXT2";
        case 5: return "EXT3";
        case 6: return "RAW";
        case 7: return "EXFAT";
        case 9: return "UNKONWN";
        default: return "";
    }
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
    const std::thread::id self = std::this_thread::get_id();
    m_detour->SetView(nullptr);
    WaitStoredScanThread(kThreadWaitMs);
    bool haveTrees;
    {
        std::lock_guard<std::mutex> lk(m_treeLock);
        haveTrees = !m_treeRoots.empty();
    }
    if (m_controller.load() || haveTrees) {
        RunReleaseThread(m_controller.load(), true);
        m_controller.store(nullptr);
        SetCurrentRecoveryController(nullptr);
    }
    // No thread of the session may outlive it.
    StopRunningScanSink(self);
    std::unique_lock<std::mutex> lk(m_threadLock);
    m_threadChanged.wait(lk, [&] { return m_runningScans.empty() && m_runningReleases == 0; });
}

bool RecoveryGraph::IsScanRunning() {
    std::lock_guard<std::mutex> lk(m_threadLock);
    return !m_runningScans.empty();
}

bool RecoveryGraph::WaitStoredScanThread(u32 ms) {
    std::unique_lock<std::mutex> lk(m_threadLock);
    std::shared_ptr<ScanThreadRecord> record = m_scanThread;
    if (!record) return true;
    const bool ended = m_threadChanged.wait_for(lk, std::chrono::milliseconds(ms), [&] { return record->ended; });
    if (m_scanThread == record) m_scanThread.reset();
    return ended;
}

void RecoveryGraph::WaitOtherScanThreads(std::thread::id caller) {
    std::unique_lock<std::mutex> lk(m_threadLock);
    auto othersEnded = [&] {
        for (const auto& e : m_runningScans) {
            if (e.first != caller) return false;
        }
        return true;
    };
    while (!m_threadChanged.wait_for(lk, std::chrono::milliseconds(kThreadWaitMs), othersEnded)) {
        LogError("RecoveryGraph: still waiting for a scan thread to end before its controller is freed");
    }
    if (m_scanThread && m_scanThread->ended) m_scanThread.reset();
}

void RecoveryGraph::StopRunningScanSink(std::thread::id caller) {
    bool scanning = false;
    {
        std::lock_guard<std::mutex> lk(m_threadLock);
        // Threads past their controllers (sleeping before the finish message, counting) no
        // longer ask the sink: stopping it then would only stop the next scan.
        for (const auto& e : m_runningScans) {
            if (e.first != caller && e.second->scanning) scanning = true;
        }
    }
    if (!scanning) return;
    if (IProgressControl* control = m_progressControl.load()) control->DoStop(false);
    // Without controls, the stop word still reaches the searches that poll it.
    GetScanOptions().SetStopRequested(1);
}

i32 RecoveryGraph::DoScan(u32 mode) {
    m_detour->SetView(nullptr);
    // A scan still running when a new one is asked for is stopped first, so that the wait below
    // does not run into a paused scan's time-out.
    StopRunningScanSink(std::this_thread::get_id());
    {
        // A scanning thread's controller is freed only after the thread has left the set, which
        // takes this lock.
        std::lock_guard<std::mutex> lk(m_threadLock);
        for (const auto& e : m_runningScans) {
            if (e.second->scanning && e.second->controller) e.second->controller->Stop();
        }
    }
    WaitStoredScanThread(kThreadWaitMs);
    WriteLog("%s %d\r\n", "RecoveryGraph::DoScan", static_cast<int>(mode));
    m_previousMode.store(m_mode.exchange(mode));
    ResetCounters();
    if (mode == kScanModeRestored) return 0;

    auto record = std::make_shared<ScanThreadRecord>();
    std::lock_guard<std::mutex> lk(m_threadLock);
    try {
        // The new thread registers under this lock, so no release can miss it.
        std::thread t([this, record] { ScanThreadBody(record); });
        record->id = t.get_id();
        t.detach();
    } catch (const std::exception&) {
        LogError("RecoveryGraph::DoScan: the scan thread could not be created");
        return -1;
    }
    m_runningScans.emplace(record->id, record);
    m_scanThread = record;
    return 0;
}

void RecoveryGraph::ScanThreadBody(std::shared_ptr<ScanThreadRecord> self) {
    {
        // DoScan registers the thread before it lets go of this lock.
        std::lock_guard<std::mutex> lk(m_threadLock);
    }
    ScanThread();
    std::lock_guard<std::mutex> lk(m_threadLock);
    self->ended = true;
    self->scanning = false;
    self->controller = nullptr;
    m_runningScans.erase(std::this_thread::get_id());
    m_threadChanged.notify_all();
}

i32 RecoveryGraph::ScanThread() {
    const std::thread::id self = std::this_thread::get_id();
    // 1. The previous scan's controller and trees go first; an older scan thread still running
    // is waited for, so that two scans never share the session.
    for (;;) {
        bool haveTrees;
        {
            std::lock_guard<std::mutex> lk(m_treeLock);
            haveTrees = !m_treeRoots.empty();
        }
        if (m_controller.load() || haveTrees) {
            RunReleaseThread(m_controller.load(), true, self, false, m_previousMode.load());
            m_controller.store(nullptr);
            SetCurrentRecoveryController(nullptr);
            continue;
        }
        bool othersRunning = false;
        {
            std::lock_guard<std::mutex> lk(m_threadLock);
            for (const auto& e : m_runningScans) othersRunning = othersRunning || e.first != self;
        }
        if (!othersRunning) break;
        WaitOtherScanThreads(self);
    }

    // 2.
    const u64 start = GetTickCount64Ms();
    LogEntry("RecoveryGraph::ScanThread", 371);

    // 3.
    const u32 mode = m_mode.load();
    ControllerFactory factory = m_factory.load();
    IRecoveryController* controller = factory ? factory(mode) : CreateRecoveryController(mode);
    if (!controller) return -1;
    m_controller.store(controller);
    {
        std::lock_guard<std::mutex> lk(m_threadLock);
        auto it = m_runningScans.find(self);
        if (it != m_runningScans.end()) it->second->controller = controller;
    }

    // 4.
    if (controller->Initialize(&m_filter) != 1) {
        {
            std::lock_guard<std::mutex> lk(m_threadLock);
            auto it = m_runningScans.find(self);
            if (it != m_runningScans.end()) it->second->controller = nullptr;
        }
        IRecoveryController* expected = controller;
        m_controller.compare_exchange_strong(expected, nullptr);
        controller->Release();
        return -2;
    }

    // 5.
    GetScanOptions().SetStopRequested(0);
    GetScanOptions().SetScanRaw(static_cast<u32>(ConfigScanRaw()));

    // 6.
    m_detour->SetView(m_view.load());

    // 7.
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

    // 8.
    std::vector<VolumeRecord*> volumes;
    {
        std::lock_guard<std::mutex> lk(m_treeLock);
        volumes = m_selectedVolumes;
    }
    for (VolumeRecord* record : volumes) {
        if (!record) continue;
        const std::string name = ScanDisplayName(*record);
        controller->SetFileSystem(record->fsCode, name.c_str());
        controller->Run(record->device, m_progress.load(), m_detour.get(), name.c_str(), m_reason.load());
    }

    // 9. A release made while this scan ran has taken the controller: it must not come back as
    // the current one.
    if (m_controller.load() == controller) SetCurrentRecoveryController(controller);
    {
        std::lock_guard<std::mutex> lk(m_threadLock);
        auto it = m_runningScans.find(self);
        if (it != m_runningScans.end()) it->second->scanning = false;
        if (m_scanThread && m_scanThread->id == self) m_scanThread.reset();
    }

    // 10.
    if (GetTickCount64Ms() - start < kShortScanMs) SleepMs(kFinishDelayMs);
    // 11.
    LogEntry("RecoveryGraph::ScanThread", 438);
    // 12.
    if (m_stopRequested.load()) return 0;
    return DoReCaculateCheckedFileInfo();
}

i32 RecoveryGraph::DoReCaculateCheckedFileInfo() {
    bool keepCounts;
    {
        std::lock_guard<std::mutex> lk(m_treeLock);
        keepCounts = m_mode.load() == kScanModeDeleted && !m_folderPaths.empty();
    }
    if (!keepCounts) {
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
    StopRunningScanSink(std::this_thread::get_id());
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
    WaitStoredScanThread(kThreadWaitMs);
    return 0;
}

i32 RecoveryGraph::ReleaseController(bool wait) {
    bool haveTrees;
    {
        std::lock_guard<std::mutex> lk(m_treeLock);
        haveTrees = !m_treeRoots.empty();
    }
    IRecoveryController* controller = m_controller.load();
    if (controller || haveTrees) {
        RunReleaseThread(controller, wait);
        m_controller.store(nullptr);
        SetCurrentRecoveryController(nullptr);
    }
    return 0;
}

void RecoveryGraph::RunReleaseThread(IRecoveryController* controller, bool wait) {
    RunReleaseThread(controller, wait, std::this_thread::get_id(), true, m_mode.load());
}

void RecoveryGraph::RunReleaseThread(IRecoveryController* controller, bool wait, std::thread::id caller,
                                     bool stopSink, u32 mode) {
    {
        std::lock_guard<std::mutex> lk(m_threadLock);
        ++m_runningReleases;
    }
    auto body = [this, controller, mode, caller, stopSink] {
        ReleaseThread(controller, mode, caller, stopSink);
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

i32 RecoveryGraph::ReleaseThread(IRecoveryController* controller, u32 mode, std::thread::id caller, bool stopSink) {
    // 1.
    std::vector<CFileSystemNode*> roots;
    {
        std::lock_guard<std::mutex> lk(m_treeLock);
        roots.swap(m_treeRoots);
    }
    // 2. A paused scan only wakes when its progress sink is stopped too.
    if (controller) controller->Stop();
    if (stopSink) StopRunningScanSink(caller);
    // 3. Every scan thread but the one that asked for this release must have ended before
    // anything is freed.
    m_detour->SetView(nullptr);
    WaitOtherScanThreads(caller);
    // 4.
    LogEntry("RecoveryGraph::ReleaseThread", 210);
    // 5.
    if (controller) {
        IRecoveryController* expected = controller;
        m_controller.compare_exchange_strong(expected, nullptr);
        if (GetCurrentRecoveryController() == controller) SetCurrentRecoveryController(nullptr);
        controller->Release();
    } else if (mode == kScanModeRestored) {
        for (CFileSystemNode* root : roots) FreeRestoredTree(root);
    }
    // 6.
    LogEntry("RecoveryGraph::ReleaseThread", 244);
    return 0;
}
