// The program's exit with a scan still running: the scan is stopped and its controller released
// while the program still runs, not left to the static teardown.
#include <gtest/gtest.h>

#include <atomic>

#include "app/QZMUIApp.h"
#include "ui/UiWait.h"
#include "devices/VolumeRecord.h"
#include "engine/HeadlessSinks.h"
#include "engine/RecoveryController.h"
#include "engine/RecoveryGraph.h"
#include "engine/TreeBuilderTestFeed.h"
#include "platform/Sync.h"

namespace {

std::atomic<int> g_running{0};
std::atomic<int> g_released{0};

// Scans until it is told to stop.
class EndlessController : public IRecoveryController {
public:
    u32 GetType() override { return 0; }
    u32 Initialize(IRecoveryFilter* filter) override { return filter ? 1 : 0; }
    u32 Run(IStorageDevice*, IProgress* progress, IDirectoryTree*, const char*, u32) override {
        ++g_running;
        while (stop_.load() == 0 && progress->Continued()) SleepMs(1);
        --g_running;
        return 0;
    }
    void Release() override {
        ++g_released;
        delete this;
    }
    void SetFileSystem(u32, const char*) override {}
    u32 GetFileSource(CFileNode*, u64&, u32&) override { return 0; }
    void Stop() override { stop_ = 1; }

private:
    std::atomic<u32> stop_{0};
};

IRecoveryController* MakeEndless(u32) { return new EndlessController; }

TEST(ProgramExit, ARunningScanIsStoppedAndReleasedBeforeTheProgramReturns) {
    RecoveryGraph& session = RecoveryGraph::Instance();
    feed::MemoryDevice device{64};
    VolumeRecord record;
    record.device = &device;
    record.fsCode = kFsNtfs;
    CHeadlessProgress progress;
    CHeadlessDirectoryTree view;
    session.SelectVolume(-1, nullptr);
    session.SelectVolume(0, &record);
    session.SetControllerFactory(&MakeEndless);
    session.SetProgress(&progress, &progress, progress.GetWindow());
    session.SetDirectoryTree(&view);
    session.SetStopRequested(0);
    progress.DoStart();

    ASSERT_EQ(session.DoScan(kScanModeDeleted), 0);
    ASSERT_TRUE(uiwait::UntilWithoutEvents([] { return g_running.load() == 1; }, "the scan thread's run"));

    ReleaseScanAtExit();
    EXPECT_FALSE(session.IsScanRunning());
    EXPECT_EQ(g_running.load(), 0);
    EXPECT_EQ(g_released.load(), 1);
    EXPECT_EQ(session.GetController(), nullptr);

    session.SetStopRequested(0);
    session.SetControllerFactory(nullptr);
    session.SetProgress(nullptr, nullptr, nullptr);
    session.SetDirectoryTree(nullptr);
    session.SelectVolume(-1, nullptr);
}

}  // namespace
