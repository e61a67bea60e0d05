// Pause, continue and stop of a running scan through the progress strip of the real main window.
// The volume is a fixture's, chosen on the place page; the scan itself is a stand-in controller
// whose thread the test holds at set steps, so that what the strip does to it can be seen
// whatever the machine's speed: while paused no report is answered, after continuing the steps
// go on, a stop wakes a paused scan and ends it. The strip's percent never goes back and the time
// left appears once it can be estimated.
#include <gtest/gtest.h>

#include <QLabel>

#include <array>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>

#include "Gate.h"
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
#include "browser/model/FileSelCtrl.h"
#include "engine/Progress.h"
#include "engine/RecoveryController.h"
#include "engine/RecoveryGraph.h"
#include "platform/ProgramDir.h"
#include "platform/Time.h"
#include "plugins/Plugins.h"

namespace {

namespace fs = std::filesystem;
using UiCtrl::RecoveryProgressWnd;
using UiCtrl::SelDataLostPartitionWnd;

constexpr u64 kSteps = 400;
// A step's work: the scan takes long enough for the time left to be estimated.
constexpr auto kStepTime = std::chrono::milliseconds(5);
// The scan thread waits at these steps, before reporting them, until the test lets it go.
constexpr std::array<u64, 2> kHoldSteps = {100, 200};
std::array<testutil::Gate, kHoldSteps.size()> g_holds;
std::atomic<u64> g_heldAt{0};
// Reports made, and reports the strip answered: a report made but not answered is one the
// strip holds.
std::atomic<u64> g_steps{0};
std::atomic<u64> g_answered{0};
std::atomic<int> g_running{0};
// The thread stays in the phase end until the test has seen the wait box it brings.
testutil::Gate g_waitBoxSeen;
std::atomic<bool> g_holdTimedOut{false};

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
            for (size_t h = 0; h < kHoldSteps.size(); ++h) {
                if (i != kHoldSteps[h] + 1) continue;
                g_heldAt = kHoldSteps[h];
                if (!g_holds[h].Wait()) g_holdTimedOut = true;
            }
            info.Done = i;
            ++g_steps;
            goOn = progress->OnProgress(&info) != 0;
            ++g_answered;
            std::this_thread::sleep_for(kStepTime);
        }
        if (goOn && !stop_.load()) {
            // The phase ends: the result view is frozen while the scan finishes it.
            info.Type = kProgressPhaseDone;
            info.Done = kSteps;
            progress->OnProgress(&info);
            if (!g_waitBoxSeen.Wait()) g_holdTimedOut = true;
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
        wizard::UseLanguage(language, kLanguageFiles[language]);
        prefix_ = std::string("scan-") + (language == 0 ? "en" : "de") + "-";
        g_steps = 0;
        g_answered = 0;
        g_heldAt = 0;
        g_holdTimedOut = false;
        for (testutil::Gate& hold : g_holds) hold.Close();
        g_waitBoxSeen.Close();
        RecoveryGraph::Instance().SetControllerFactory(&MakeController);
        dlg_ = std::make_unique<CQZMUIDlg>();
        dlg_->Create();
        uiwait::Flush();
    }
    void TearDown() override {
        // A scan thread still held is let go before the window and its session go.
        for (testutil::Gate& hold : g_holds) hold.Open();
        g_waitBoxSeen.Open();
        EXPECT_FALSE(g_holdTimedOut.load()) << "the scan thread was held and never let go";
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
        ASSERT_TRUE(wizard::PumpUntil([&] { return dlg_->CurrentPage() == place.GetHwnd() && !place.TimerRunning(); },
                                      "the place page with its tiles"));
        ASSERT_NO_FATAL_FAILURE(wizard::RefreshDisks(place));
        auto& container = place.GroupAt(SelDataLostPartitionWnd::kGroupDisks).container;
        UiCtrl::VolumeItem* ntfs = nullptr;
        for (int i = 0; i < container.TileCount(); ++i)
            if (container.TileAt(i)->text2 == "NTFS") ntfs = container.TileAt(i);
        ASSERT_NE(ntfs, nullptr);
        const RECT r = ntfs->GetRect();
        wizard::Click(container, (r.left + r.right) / 2, (r.top + r.bottom) / 2);
        ASSERT_TRUE(wizard::ClickItem(place, SelDataLostPartitionWnd::kItemScan));
        ASSERT_TRUE(wizard::PumpUntil([&] { return dlg_->CurrentPage() == dlg_->ResultPage()->GetHwnd(); }, "the result page"));
        ASSERT_TRUE(wizard::PumpUntil([&] { return g_running.load() == 1; }, "the scan thread"));
    }
    // The scan thread waiting at the hold of the given step.
    static ::testing::AssertionResult HeldAt(u64 step) {
        return wizard::PumpUntil([step] { return g_heldAt.load() == step && g_steps.load() == step; },
                                 "the scan thread at step " + std::to_string(step));
    }
    // The scan thread let go from a hold, now inside its next report, which the paused strip
    // does not answer: the events that came meanwhile are handed over and it still waits.
    static ::testing::AssertionResult HeldInThePause(size_t hold) {
        const u64 step = kHoldSteps[hold];
        g_holds[hold].Open();
        if (auto reached = wizard::PumpUntil([step] { return g_steps.load() == step + 1; },
                                             "the report after step " + std::to_string(step));
            !reached)
            return reached;
        uiwait::Flush();
        if (g_answered.load() != step) return ::testing::AssertionFailure() << "the scan went on while paused";
        return ::testing::AssertionSuccess();
    }

    testutil::TempDir disks_;
    std::unique_ptr<wizard::ProgramFolderScope> program_;
    std::string prefix_;
    std::unique_ptr<CQZMUIDlg> dlg_;
};

TEST_P(ScanControl, PauseHoldsTheScanThreadAndContinueResumesIt) {
    ASSERT_NO_FATAL_FAILURE(StartScan());
    wizard::MoveAside(dlg_.get());
    auto& result = *dlg_->ResultPage();
    auto& progress = result.Progress();
    int waitBoxes = 0;
    wizard::ModalWatch modal([&](QWidget* m) {
        if (dynamic_cast<FreezeTipDlg*>(m)) {
            EXPECT_TRUE(wizard::OpensOver(m, dlg_.get())) << "the box of the phase's end";
            EXPECT_TRUE(FileSelCtrl::IsViewBusy()) << "the view-clearing flag is down while the view is frozen";
            if (waitBoxes++ == 0) wizard::Shot(m, prefix_ + "04-waitbox");
            g_waitBoxSeen.Open();
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
    ASSERT_TRUE(HeldAt(kHoldSteps[0]));
    ASSERT_TRUE(wizard::PumpUntil([&] {
        watchPercent();
        return progress.Percent() >= 25 && progress.SecondsLeft() > 0 && progress.TimeLeftText().find(':') != std::string::npos;
    }, "a quarter done and the time left"));
    EXPECT_EQ(progress.GetState(), kProgressRunning);
    wizard::Shot(dlg_.get(), prefix_ + "01-scanning");

    const u64 tips = result.Tip().TimesShown();
    ASSERT_TRUE(wizard::ClickItem(progress, RecoveryProgressWnd::kItemPause));
    ASSERT_TRUE(wizard::PumpUntil([&] { return progress.GetState() == kProgressPaused; }, "the pause"));
    const u64 pausedAt = GetTickCount64Ms();
    EXPECT_TRUE(HeldInThePause(0));
    EXPECT_EQ(g_running.load(), 1);
    EXPECT_TRUE(progress.GetItem(RecoveryProgressWnd::kItemContinue)->IsVisible());
    EXPECT_FALSE(progress.GetItem(RecoveryProgressWnd::kItemPause)->IsVisible());
    // The tip hides itself after its delay: its showing is counted.
    EXPECT_TRUE(wizard::PumpUntil([&] { return result.Tip().TimesShown() > tips; }, "the tip of a paused scan"));
    wizard::Shot(dlg_.get(), prefix_ + "02-paused");
    const u64 startBefore = progress.StartTick();

    const u64 continuedAt = GetTickCount64Ms();
    ASSERT_TRUE(wizard::ClickItem(progress, RecoveryProgressWnd::kItemContinue));
    ASSERT_TRUE(wizard::PumpUntil([&] { return progress.GetState() == kProgressRunning; }, "the continue"));
    // Paused time does not count as scan time: the start moved on by at least what the test
    // saw of the pause.
    EXPECT_GE(progress.StartTick(), startBefore + (continuedAt - pausedAt));
    EXPECT_TRUE(wizard::PumpUntil([] { return g_answered.load() > kHoldSteps[0]; }, "the held report answered"));
    EXPECT_TRUE(wizard::PumpUntil([&] { return !result.Tip().IsShown(); }, "the tip to go"));
    wizard::Shot(dlg_.get(), prefix_ + "03-continued");

    g_holds[1].Open();
    ASSERT_TRUE(wizard::PumpUntil([&] {
        watchPercent();
        return g_running.load() == 0 && !progress.IsRunningOrTimed() && !RecoveryGraph::Instance().IsScanRunning();
    }, "the end of the scans"));
    uiwait::Flush();
    EXPECT_EQ(fell, 0);
    EXPECT_GE(waitBoxes, 1);  // the complete scan that follows has phases of its own
    EXPECT_EQ(result.Busy(), 0u);
    EXPECT_FALSE(FileSelCtrl::IsViewBusy()) << "the view-clearing flag outlived the freeze";
    EXPECT_EQ(g_steps.load(), kSteps);
    EXPECT_FALSE(progress.UserStopped());
    wizard::Shot(dlg_.get(), prefix_ + "05-finished");
}

TEST_P(ScanControl, StopAsksAndAStopWhilePausedEndsTheScan) {
    ASSERT_NO_FATAL_FAILURE(StartScan());
    wizard::MoveAside(dlg_.get());  // the question opens over the window wherever the user put it
    auto& progress = dlg_->ResultPage()->Progress();
    int questions = 0;
    int answer = 2;
    wizard::ModalWatch modal([&](QWidget* m) {
        if (auto* box = dynamic_cast<QZMMessageBox*>(m)) {
            if (box->Text() == UiResources::Instance().GetString("Sure2Stop")) {
                EXPECT_TRUE(wizard::OpensOver(box, dlg_.get())) << "the stop question";
                if (questions++ == 0) wizard::Shot(m, prefix_ + "06-stop-question");
            }
        }
        wizard::EndModal(m, answer);
    });
    // Declined: the scan goes on.
    ASSERT_TRUE(HeldAt(kHoldSteps[0]));
    ASSERT_TRUE(wizard::ClickItem(progress, RecoveryProgressWnd::kItemStop));
    ASSERT_TRUE(wizard::PumpUntil([&] { return questions == 1; }, "the stop question"));
    EXPECT_EQ(progress.GetState(), kProgressRunning);
    g_holds[0].Open();
    EXPECT_TRUE(wizard::PumpUntil([] { return g_answered.load() > kHoldSteps[0]; }, "steps after the declined stop"));

    // Paused, then stopped: the blocked scan thread wakes and ends.
    ASSERT_TRUE(HeldAt(kHoldSteps[1]));
    ASSERT_TRUE(wizard::ClickItem(progress, RecoveryProgressWnd::kItemPause));
    ASSERT_TRUE(wizard::PumpUntil([&] { return progress.GetState() == kProgressPaused; }, "the pause"));
    EXPECT_TRUE(HeldInThePause(1));
    answer = 1;
    ASSERT_TRUE(wizard::ClickItem(progress, RecoveryProgressWnd::kItemStop));
    ASSERT_TRUE(wizard::PumpUntil([&] { return g_running.load() == 0 && !RecoveryGraph::Instance().IsScanRunning(); },
                                  "the stopped scan's end"));
    ASSERT_TRUE(wizard::PumpUntil([&] { return !progress.IsRunningOrTimed(); }, "the strip's end"));
    uiwait::Flush();
    EXPECT_EQ(questions, 2);
    EXPECT_TRUE(progress.UserStopped());
    EXPECT_EQ(progress.GetState(), kProgressStopped);
    EXPECT_EQ(g_answered.load(), kHoldSteps[1] + 1);
    // A stopped scan neither offers nor starts the deep scan.
    EXPECT_EQ(RecoveryGraph::Instance().GetScanMode(), kScanModeDeleted);
    EXPECT_FALSE(progress.GetItem(RecoveryProgressWnd::kItemDeepScan)->IsVisible());
    wizard::Shot(dlg_.get(), prefix_ + "07-stopped");
}

// The pointer rests on the pause item while it is clicked: the tip it shows turns into the
// continue item's as the item does, and back.
TEST_P(ScanControl, ThePauseItemsTipFollowsTheItemUnderThePointer) {
    ASSERT_NO_FATAL_FAILURE(StartScan());
    auto& progress = dlg_->ResultPage()->Progress();
    wizard::ModalWatch modal([&](QWidget* m) {
        if (dynamic_cast<FreezeTipDlg*>(m)) g_waitBoxSeen.Open();
        else wizard::EndModal(m, 1);
    });
    ASSERT_TRUE(HeldAt(kHoldSteps[0]));
    auto* tip = qobject_cast<QLabel*>(dlg_->TooltipWindow());
    ASSERT_NE(tip, nullptr);
    const auto shown = [tip] { return tip->isVisible() ? tip->text().toStdString() : std::string(); };
    const std::string pauseTip = UiResources::Instance().GetString("PauseTip");
    const std::string continueTip = UiResources::Instance().GetString("ContinueTip");

    ASSERT_TRUE(wizard::ClickItem(progress, RecoveryProgressWnd::kItemPause));
    ASSERT_TRUE(wizard::PumpUntil([&] { return progress.GetState() == kProgressPaused; }, "the pause"));
    uiwait::Flush();
    ASSERT_TRUE(progress.GetItem(RecoveryProgressWnd::kItemContinue)->IsVisible());
    EXPECT_EQ(shown(), continueTip);

    ASSERT_TRUE(wizard::ClickItem(progress, RecoveryProgressWnd::kItemContinue));
    ASSERT_TRUE(wizard::PumpUntil([&] { return progress.GetState() == kProgressRunning; }, "the continue"));
    uiwait::Flush();
    ASSERT_TRUE(progress.GetItem(RecoveryProgressWnd::kItemPause)->IsVisible());
    EXPECT_EQ(shown(), pauseTip);

    // Stopped (the question answered with stop), so that the scan ends with the test.
    ASSERT_TRUE(wizard::ClickItem(progress, RecoveryProgressWnd::kItemStop));
    for (testutil::Gate& hold : g_holds) hold.Open();
    ASSERT_TRUE(wizard::PumpUntil([&] { return g_running.load() == 0 && !progress.IsRunningOrTimed(); }, "the stopped scan's end"));
}

INSTANTIATE_TEST_SUITE_P(Languages, ScanControl, ::testing::Values(0, 2),
                         [](const ::testing::TestParamInfo<int>& info) { return info.param == 0 ? "en" : "de"; });

}  // namespace
