// Pause, continue and stop of a running scan through the progress strip of the real main window.
// The volume is a fixture's, chosen on the place page; the scan itself is a stand-in controller
// that reports steps slowly enough to be paused, so that holding the scan thread can be seen:
// while paused no step is made, after continuing the steps go on, a stop wakes a paused scan and
// ends it. The strip's percent never goes back and the time left appears once it can be estimated.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>

#include "TestUtil.h"
#include "WizardDriver.h"
#include "app/QZMUIDlg.h"
#include "core/Settings.h"
#include "app/dialogs/FreezeTipDlg.h"
#include "app/pages/RecoveryGraphWnd.h"
#include "app/pages/SelDataLostPartitionWnd.h"
#include "app/pages/SelFileTypeWnd.h"
#include "app/ui/MessageBox.h"
#include "app/ui/UiLanguage.h"
#include "app/ui/UiResources.h"
#include "engine/Progress.h"
#include "engine/RecoveryController.h"
#include "engine/RecoveryGraph.h"
#include "platform/ProgramDir.h"
#include "plugins/Plugins.h"

namespace {

namespace fs = std::filesystem;
using UiCtrl::RecoveryProgressWnd;
using UiCtrl::SelDataLostPartitionWnd;

constexpr u64 kSteps = 400;
constexpr auto kStepTime = std::chrono::milliseconds(5);
std::atomic<u64> g_steps{0};
std::atomic<int> g_running{0};

class SteppingController : public IRecoveryController {
public:
    u32 GetType() override { return 0; }
    u32 Initialize(IRecoveryFilter*) override { return 1; }
    u32 Run(IStorageDevice*, IProgress* progress, IDirectoryTree*, const char*, u32) override {
        ++g_running;
        ProgressInfo info;
        info.Type = kProgressUpdate;
        info.Total = kSteps;
        bool goOn = true;
        for (u64 i = 1; i <= kSteps && goOn && !stop_.load(); ++i) {
            info.Done = i;
            ++g_steps;
            goOn = progress->OnProgress(&info) != 0;
            std::this_thread::sleep_for(kStepTime);
        }
        if (goOn && !stop_.load()) {
            // The phase ends: the result view is frozen while the scan finishes it.
            info.Type = kProgressPhaseDone;
            info.Done = kSteps;
            progress->OnProgress(&info);
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
        }
        --g_running;
        return 0;
    }
    void Release() override { delete this; }
    void SetFileSystem(u32, const char*) override {}
    u32 GetFileSource(CFileNode*, u64&, u32&) override { return 0; }
    void Stop() override { stop_ = true; }

private:
    std::atomic<bool> stop_{false};
};

// The deleted-file scan steps; the complete scan is left to the session as it stands.
IRecoveryController* MakeController(u32 mode) { return mode == kScanModeDeleted ? new SteppingController : CreateRecoveryController(mode); }

const char* const kLanguageFiles[] = {"English.dat", "Japanese.dat", "Deutsch.dat"};

class ScanControl : public ::testing::TestWithParam<int> {
protected:
    void SetUp() override {
        wizard::EnsureApp();
        program_ = std::make_unique<wizard::ProgramFolderScope>();
        fs::copy_file(std::string(MORVENDA_FIXTURES_DIR) + "/mbr-disk.img", disks_.File("mbr-disk.img"));
        ::setenv("MORVENDA_DISKS", disks_.Path().c_str(), 1);
        RegisterAllPlugins();
        const int language = GetParam();
        ConfigStoreLanguage(language, kLanguageFiles[language]);
        UiResources::Instance().SetLanguage(language, kLanguageFiles[language]);
        SetUiLanguage(static_cast<u32>(language), kLanguageFiles[language]);
        prefix_ = std::string("scan-") + (language == 0 ? "en" : "de") + "-";
        g_steps = 0;
        RecoveryGraph::Instance().SetControllerFactory(&MakeController);
        dlg_ = std::make_unique<CQZMUIDlg>();
        dlg_->Create();
        wizard::Pump(50);
    }
    void TearDown() override {
        dlg_.reset();
        RecoveryGraph::Instance().SetControllerFactory(nullptr);
        RecoveryGraph::Instance().SetStopRequested(0);
        UiResources::Instance().SetLanguage(0, "English.dat");
        SetUiLanguage(0, "English.dat");
        program_.reset();
    }
    // File types, then the NTFS tile, then scan: the result page with the strip running.
    void StartScan() {
        auto& types = *dlg_->FileTypePage();
        auto& place = *dlg_->PlacePage();
        ASSERT_TRUE(wizard::ClickItem(types, UiCtrl::SelFileTypeWnd::kItemNext));
        ASSERT_TRUE(wizard::PumpUntil([&] { return dlg_->CurrentPage() == place.GetHwnd() && !place.TimerRunning(); }));
        auto& container = place.GroupAt(SelDataLostPartitionWnd::kGroupDisks).container;
        UiCtrl::VolumeItem* ntfs = nullptr;
        for (int i = 0; i < container.TileCount(); ++i)
            if (container.TileAt(i)->text2 == "NTFS") ntfs = container.TileAt(i);
        ASSERT_NE(ntfs, nullptr);
        const RECT r = ntfs->GetRect();
        wizard::Click(container, (r.left + r.right) / 2, (r.top + r.bottom) / 2);
        ASSERT_TRUE(wizard::ClickItem(place, SelDataLostPartitionWnd::kItemScan));
        ASSERT_TRUE(wizard::PumpUntil([&] { return dlg_->CurrentPage() == dlg_->ResultPage()->GetHwnd(); }));
        ASSERT_TRUE(wizard::PumpUntil([&] { return g_running.load() == 1; }));
    }
    // Steps made over a while.
    u64 StepsDuring(int milliseconds) {
        const u64 before = g_steps.load();
        wizard::Pump(milliseconds);
        return g_steps.load() - before;
    }

    testutil::TempDir disks_;
    std::unique_ptr<wizard::ProgramFolderScope> program_;
    std::string prefix_;
    std::unique_ptr<CQZMUIDlg> dlg_;
};

TEST_P(ScanControl, PauseHoldsTheScanThreadAndContinueResumesIt) {
    ASSERT_NO_FATAL_FAILURE(StartScan());
    auto& result = *dlg_->ResultPage();
    auto& progress = result.Progress();
    int waitBoxes = 0;
    wizard::ModalWatch modal([&](QWidget* m) {
        if (dynamic_cast<FreezeTipDlg*>(m)) {
            if (waitBoxes++ == 0) wizard::Shot(m, prefix_ + "04-waitbox");
        } else {
            wizard::EndModal(m, 1);
        }
    });
    // Percent and time left once the scan can be estimated; the bar never goes back.
    int highest = 0, fell = 0;
    auto watchPercent = [&] {
        // Only this scan's bar: the deep scan that follows starts from 0 again.
        if (g_running.load() == 0) return;
        const int p = progress.Percent();
        fell += p < highest;
        highest = std::max(highest, p);
    };
    ASSERT_TRUE(wizard::PumpUntil([&] {
        watchPercent();
        return progress.Percent() >= 25 && progress.SecondsLeft() > 0 && progress.TimeLeftText().find(':') != std::string::npos;
    }));
    EXPECT_EQ(progress.GetState(), kProgressRunning);
    wizard::Shot(dlg_.get(), prefix_ + "01-scanning");

    ASSERT_TRUE(wizard::ClickItem(progress, RecoveryProgressWnd::kItemPause));
    wizard::Pump(50);  // a step under way finishes
    EXPECT_EQ(progress.GetState(), kProgressPaused);
    EXPECT_EQ(StepsDuring(300), 0u) << "the scan went on while paused";
    EXPECT_EQ(g_running.load(), 1);
    EXPECT_TRUE(progress.GetItem(RecoveryProgressWnd::kItemContinue)->IsVisible());
    EXPECT_FALSE(progress.GetItem(RecoveryProgressWnd::kItemPause)->IsVisible());
    EXPECT_TRUE(result.Tip().IsShown());
    wizard::Shot(dlg_.get(), prefix_ + "02-paused");
    const u64 startBefore = progress.StartTick();

    ASSERT_TRUE(wizard::ClickItem(progress, RecoveryProgressWnd::kItemContinue));
    wizard::Pump(20);
    EXPECT_EQ(progress.GetState(), kProgressRunning);
    // Paused time does not count as scan time.
    EXPECT_GE(progress.StartTick(), startBefore + 300);
    EXPECT_GT(StepsDuring(100), 0u);
    EXPECT_FALSE(result.Tip().IsShown());
    wizard::Shot(dlg_.get(), prefix_ + "03-continued");

    ASSERT_TRUE(wizard::PumpUntil([&] {
        watchPercent();
        return g_running.load() == 0 && !progress.IsRunningOrTimed() && !RecoveryGraph::Instance().IsScanRunning();
    }));
    wizard::Pump(100);
    EXPECT_EQ(fell, 0);
    EXPECT_GE(waitBoxes, 1);  // the complete scan that follows has phases of its own
    EXPECT_EQ(result.Busy(), 0u);
    EXPECT_EQ(g_steps.load(), kSteps);
    EXPECT_FALSE(progress.UserStopped());
    wizard::Shot(dlg_.get(), prefix_ + "05-finished");
}

TEST_P(ScanControl, StopAsksAndAStopWhilePausedEndsTheScan) {
    ASSERT_NO_FATAL_FAILURE(StartScan());
    auto& progress = dlg_->ResultPage()->Progress();
    int questions = 0;
    int answer = 2;
    wizard::ModalWatch modal([&](QWidget* m) {
        if (auto* box = dynamic_cast<QZMMessageBox*>(m)) {
            if (box->Text() == UiResources::Instance().GetString("Sure2Stop") && questions++ == 0) wizard::Shot(m, prefix_ + "06-stop-question");
        }
        wizard::EndModal(m, answer);
    });
    // Declined: the scan goes on.
    ASSERT_TRUE(wizard::ClickItem(progress, RecoveryProgressWnd::kItemStop));
    ASSERT_TRUE(wizard::PumpUntil([&] { return questions == 1; }));
    wizard::Pump(30);
    EXPECT_EQ(progress.GetState(), kProgressRunning);
    EXPECT_GT(StepsDuring(100), 0u);

    // Paused, then stopped: the blocked scan thread wakes and ends.
    ASSERT_TRUE(wizard::ClickItem(progress, RecoveryProgressWnd::kItemPause));
    wizard::Pump(50);
    EXPECT_EQ(StepsDuring(150), 0u);
    answer = 1;
    ASSERT_TRUE(wizard::ClickItem(progress, RecoveryProgressWnd::kItemStop));
    ASSERT_TRUE(wizard::PumpUntil([&] { return g_running.load() == 0 && !RecoveryGraph::Instance().IsScanRunning(); }, 5000));
    ASSERT_TRUE(wizard::PumpUntil([&] { return !progress.IsRunningOrTimed(); }));
    wizard::Pump(100);
    EXPECT_EQ(questions, 2);
    EXPECT_TRUE(progress.UserStopped());
    EXPECT_EQ(progress.GetState(), kProgressStopped);
    EXPECT_LT(g_steps.load(), kSteps);
    // A stopped scan neither offers nor starts the deep scan.
    EXPECT_EQ(RecoveryGraph::Instance().GetScanMode(), kScanModeDeleted);
    EXPECT_FALSE(progress.GetItem(RecoveryProgressWnd::kItemDeepScan)->IsVisible());
    wizard::Shot(dlg_.get(), prefix_ + "07-stopped");
}

INSTANTIATE_TEST_SUITE_P(Languages, ScanControl, ::testing::Values(0, 2),
                         [](const ::testing::TestParamInfo<int>& info) { return info.param == 0 ? "en" : "de"; });

}  // namespace
