#pragma once
// The browser on screen (offscreen platform) as the view of a real scan through the scan session:
// the application, the UI thread's turns, the fixture volumes the enumeration finds, and a test
// fixture that shows the browser, starts a scan, waits for its end and releases it.
#include <gtest/gtest.h>

#include <QApplication>
#include <atomic>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Gate.h"
#include "ListWait.h"
#include "TestUtil.h"
#include "ui/UiWait.h"
#include "browser/model/BindingNode.h"
#include "browser/model/BrowserConfig.h"
#include "browser/model/FileSelCtrl.h"
#include "browser/model/FileSelCtrlSink.h"
#include "browser/model/NodeManager.h"
#include "browser/views/Container.h"
#include "devices/VolumeEnumerator.h"
#include "devices/VolumeRecord.h"
#include "engine/FileNode.h"
#include "engine/HeadlessSinks.h"
#include "engine/RecoveryGraph.h"
#include "platform/Time.h"
#include "platform/ui/Window.h"

// The file systems register themselves through the plug-in table where the tree has one.
#if __has_include("plugins/Plugins.h")
#include "plugins/Plugins.h"
inline void RegisterScanFileSystems() { RegisterAllPlugins(); }
#else
#include "engine/FileSystems.h"
inline void RegisterScanFileSystems() { RegisterFileSystemAnalyzers(); }
#endif

namespace browsertest {

// The offscreen application the browser's windows need, made once; the scans see `disks` (a
// list of images separated by ':') as the machine's disks.
inline void StartScanApplication(const std::string& disks) {
    static int argc = 1;
    static char arg0[] = "test_browser";
    static char* argv[] = {arg0, nullptr};
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    if (!QApplication::instance()) new QApplication(argc, argv);
    uiwait::InstallModalGuard();
    const char* listed = std::getenv("MORVENDA_DISKS");
    const bool changed = listed == nullptr || disks != listed;
    ::setenv("MORVENDA_DISKS", disks.c_str(), 1);
    // The file systems are known before volumes are listed: the list names each one's.
    RegisterScanFileSystems();
    // The volume list is the process's: a test with other disks than the one before lists again.
    if (changed) EnumCollectPartition::Instance().EnumThread();
}

inline std::string ScreenshotPath(const std::string& name) {
    const std::string dir = std::string(MORVENDA_BINARY_DIR) + "/screenshots";
    std::filesystem::create_directories(dir);
    return dir + "/" + name;
}

// One turn of the UI thread: Qt's events and a slice of the browser's queued deliveries, as the
// posted drain notice would run them in the program.
inline void Turn() {
    QApplication::processEvents();
    FileSelCtrl::CFileVirtualNodeManager::Instance().ProcessPending(FileSelCtrl::kDrainSliceMs);
}

// Turns until pred holds; a failure naming `what` when it never did.
template <class Pred>
::testing::AssertionResult PumpUntil(Pred pred, const std::string& what = "the awaited state") {
    return uiwait::Until([&] {
        Turn();
        return pred();
    }, what);
}

// Turns until nothing is left to hand over: Qt's posted events and the browser's deliveries.
inline void Settle() {
    EXPECT_TRUE(PumpUntil([] { return !FileSelCtrl::CFileVirtualNodeManager::Instance().HasPending(); },
                          "the browser's deliveries"));
    // A folder opened meanwhile is listed on the loader thread: its rows, then what they start.
    testutil::WaitForRows();
    uiwait::Flush();
    testutil::WaitForRows();
}

// The scan's progress sink. A test may hold the scan thread at the scan's end record, with the
// trees handed over and the scan still running, so that what the browser shows of a running
// scan can be looked at however fast the scan is.
class HoldingProgress : public CHeadlessProgress {
public:
    i32 OnProgress(const ProgressInfo* record) override {
        if (record && record->Type == kProgressScanEnded && holdAtEnd.load() && !release.Wait()) timedOut = true;
        return CHeadlessProgress::OnProgress(record);
    }
    std::atomic<bool> holdAtEnd{false};
    testutil::Gate release;
    std::atomic<bool> timedOut{false};
};

// The page's side of the browser: what it was told about checks and asked to recover, and the
// device it answers as the source.
class RecordingSink : public IFileSelCtrlSink {
public:
    void OnCheckChanged(bool checked) override {
        ++checkReports;
        lastChecked = checked;
    }
    void Reserved1() override {}
    IStorageDevice* GetSourceDevice(IStorageDevice** out) override {
        if (out) *out = device;
        return device;
    }
    void RecoverNode(const HeldFile& file) override { recovered.push_back(file); }

    int checkReports = 0;
    bool lastChecked = false;
    std::vector<HeldFile> recovered;
    IStorageDevice* device = nullptr;
};

// Every file (not folder) of the trees the scan gave the browser, breadth first.
template <class Visit>
void ForEachScannedFile(Visit visit) {
    std::deque<CFileNode*> walk;
    for (CFileNode* root : FileSelCtrl::CFileVirtualNodeManager::Instance().PathRoot()->TreeRoots()) {
        walk.push_back(root);
    }
    while (!walk.empty()) {
        CFileNode* n = walk.front();
        walk.pop_front();
        for (CFileNode* c = n->GetFirstChild(); c; c = c->GetNextSibling()) {
            if (FileSelCtrl::IsScanFolder(c)) {
                walk.push_back(c);
            } else {
                visit(c);
            }
        }
    }
}

class ScanFixture : public ::testing::Test {
protected:
    void SetUp() override {
        // The windows post to the UI thread as in the program, whatever table a test before left.
        ui::InstallWindowPost();
        browser = FileSelCtrl::CFileSelCtrl::GetInstance();
        browser->SetLanguage(0);
        ASSERT_TRUE(browser->Create(nullptr, RECT{0, 0, 1000, 600}) || browser->Container());
        browser->SetSink(&sink);
        container = browser->Container();
        container->resize(1000, 600);
        container->show();
        browser->ClearAll();
        Settle();
    }

    // The enumerated volume of the file system (the last one when there are several), once the
    // enumeration ended; null when there is none. Its lists are kept until the next call: the
    // enumeration the process's first look at the volumes starts may end after the suite's own
    // and publish new lists, which would free the record under the scan of it.
    static VolumeRecord* EnumeratedVolume(u32 fsCode) {
        EnumCollectPartition& enumeration = EnumCollectPartition::Instance();
        if (!enumeration.WaitDone(120000)) return nullptr;
        static std::shared_ptr<const EnumeratedVolumes> held;
        held = enumeration.Snapshot();
        VolumeRecord* found = nullptr;
        for (VolumeRecord* r : held->volumes.Records()) {
            if (r && r->fsCode == fsCode) found = r;
        }
        return found;
    }

    // Starts the scan of the volume with the browser as its view; the session's answer.
    i32 StartScan(VolumeRecord* volume, u32 mode) {
        RecoveryGraph& session = RecoveryGraph::Instance();
        session.SetProgress(&progress, &progress, progress.GetWindow());
        session.SetDirectoryTree(browser);
        session.SetFileTypeMask(kFileTypeMaskAll);
        session.SelectVolume(-1, nullptr);
        session.SelectVolume(0, volume);
        progress.DoStart();
        browser->SetBuildState(true);
        return session.DoScan(mode);
    }

    // Turns the UI thread until the scan ended, eachTurn() before every look.
    ::testing::AssertionResult PumpUntilScanEnds(const std::function<void()>& eachTurn = {}) {
        RecoveryGraph& session = RecoveryGraph::Instance();
        return PumpUntil([&] {
            if (eachTurn) eachTurn();
            return progress.WaitForFinish(0) || !session.IsScanRunning();
        }, "the end of the scan");
    }

    // The browser takes what the scan left queued and leaves its build state.
    void SettleScan() {
        Settle();
        browser->SetBuildState(false);
        Settle();
    }

    // The scan of the fixture's volume of that file system to its end, with the volume as the
    // sink's source device.
    void ScanToEnd(u32 fsCode, u32 mode) {
        VolumeRecord* volume = EnumeratedVolume(fsCode);
        ASSERT_NE(volume, nullptr);
        sink.device = volume->device;
        ASSERT_EQ(StartScan(volume, mode), 0);
        ASSERT_TRUE(PumpUntilScanEnds());
        SettleScan();
    }

    void ReleaseScan() {
        RecoveryGraph& session = RecoveryGraph::Instance();
        browser->ClearAll();
        session.ReleaseController(true);
        session.SetDirectoryTree(nullptr);
        session.SetProgress(nullptr, nullptr, nullptr);
        session.SelectVolume(-1, nullptr);
    }

    FileSelCtrl::CFileSelCtrl* browser = nullptr;
    FileSelCtrl::CFileSelCtrlContainer* container = nullptr;
    RecordingSink sink;
    HoldingProgress progress;
};

}  // namespace browsertest
