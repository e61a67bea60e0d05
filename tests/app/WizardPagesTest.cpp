// The wizard's pieces on their own, offscreen: the progress strip as the scan's progress sink
// (its percent, time left, phase end and stop rules, driven from a scan-side thread), the tip
// box, the place page's refusal to scan without a choice, the file-type mask, and the check of a
// scan result's target that never touches an existing file.
#include <gtest/gtest.h>

#include <QApplication>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <thread>

#include "TestUtil.h"
#include "ui/UiWait.h"
#include "core/Settings.h"
#include "core/Strings.h"
#include "app/dialogs/RecoveryTipInScanDlg.h"
#include "app/pages/RecoveryGraphWnd.h"
#include "app/pages/SelDataLostPartitionWnd.h"
#include "app/pages/SelFileTypeWnd.h"
#include "app/pages/Tip3StepWnd.h"
#include "app/ui/UiResources.h"
#include "devices/ScanOptions.h"
#include "engine/RecoveryGraph.h"
#include "platform/Time.h"
#include "platform/ui/Window.h"

namespace {

void EnsureApp() {
    static int argc = 1;
    static char name[] = "test_app";
    static char* argv[] = {name, nullptr};
    if (!qApp) new QApplication(argc, argv);
    ui::InstallWindowPost();
    uiwait::InstallModalGuard();
}

// The strip's clock while a test sets it.
std::atomic<u64> g_now{0};
u64 TestClock() { return g_now.load(); }

ProgressInfo Step(u32 type, u64 done, u64 total) {
    ProgressInfo info;
    info.Type = type;
    info.Done = done;
    info.Total = total;
    return info;
}

class Strip : public ::testing::Test {
protected:
    void SetUp() override {
        EnsureApp();
        host_ = std::make_unique<QWidget>();
        host_->resize(900, 200);
        strip_.Create(nullptr, nullptr, ui::MakeRect(0, 0, 900, UiCtrl::RecoveryProgressWnd::kStripHeight), WS_CHILD);
        strip_.Widget()->resize(900, UiCtrl::RecoveryProgressWnd::kStripHeight);
        strip_.OnSize(0, 0);
    }
    void TearDown() override {
        UiCtrl::RecoveryProgressWnd::SetClock(nullptr);
        strip_.DoStop(false);
        GetScanOptions().SetStopRequested(0);
    }
    UiCtrl::RecoveryProgressWnd strip_;
    std::unique_ptr<QWidget> host_;
};

TEST_F(Strip, PercentOnlyRisesWithinAPhaseAndAPhaseEndTakesItToTheTop) {
    strip_.DoStart();
    struct Case {
        u32 type;
        u64 done, total;
        i32 answer;
        int percent;
    };
    // In order: each record on the state the one before left.
    const Case cases[] = {
        {kProgressUpdate, 0, 100, 1, 0},     // nothing done yet: the bar stays
        {kProgressUpdate, 40, 100, 1, 40},
        {kProgressUpdate, 30, 100, 1, 40},   // a smaller step leaves the bar where it was
        {kProgressUpdate, 50, 0, -1, 40},    // no total: refused
        {kProgressUpdate, 120, 100, 1, 40},  // more done than there is: ignored
        {kProgressScanEnded, 90, 100, 1, 40},
        {kProgressPhaseDone, 1, 100, 1, 100},
        {kProgressUpdate, 10, 100, 1, 100},  // a later step cannot lower it
    };
    for (const Case& c : cases) {
        const ProgressInfo info = Step(c.type, c.done, c.total);
        EXPECT_EQ(strip_.OnProgress(&info), c.answer) << c.type << " " << c.done << "/" << c.total;
        EXPECT_EQ(strip_.Percent(), c.percent) << c.type << " " << c.done << "/" << c.total;
    }
    EXPECT_EQ(strip_.OnProgress(nullptr), -1);
    // Above 95 percent the scan can no longer be stopped or paused: the strip's next tick says so.
    EXPECT_TRUE(uiwait::Until([&] {
        return !strip_.GetItem(UiCtrl::RecoveryProgressWnd::kItemStop)->IsEnabled() &&
               !strip_.GetItem(UiCtrl::RecoveryProgressWnd::kItemPause)->IsEnabled();
    }, "stop and pause disabled by the strip's tick"));
}

TEST_F(Strip, TimeLeftAppearsOnceItCanBeEstimated) {
    g_now = 5000;
    UiCtrl::RecoveryProgressWnd::SetClock(TestClock);
    strip_.DoStart();
    EXPECT_EQ(strip_.TimeLeftText(), UiResources::Instance().GetString("CalcTime"));
    const ProgressInfo info = Step(kProgressUpdate, 10, 100);
    strip_.OnProgress(&info);
    EXPECT_EQ(strip_.SecondsLeft(), 0) << "nothing to estimate by before any time has passed";
    g_now = 5000 + 1100;
    strip_.OnProgress(&info);
    // 1.1 s for a tenth: 9.9 s remain, shown in whole seconds.
    EXPECT_EQ(strip_.SecondsLeft(), 9);
    EXPECT_TRUE(uiwait::Until([&] { return strip_.TimeLeftText() == "   00:00:09"; }, "the time left on the strip's tick"));
}

TEST_F(Strip, AStopWakesAScanThreadBlockedInThePauseAndItReadsTheStop) {
    strip_.DoStart();
    strip_.DoPause();
    EXPECT_EQ(strip_.GetState(), kProgressPaused);
    std::atomic<int> answer{-1};
    std::atomic<bool> reporting{false};
    std::atomic<bool> returned{false};
    std::thread scan([&] {
        const ProgressInfo info = Step(kProgressUpdate, 5, 100);
        reporting = true;
        answer = strip_.OnProgress(&info);
        returned = true;
    });
    EXPECT_TRUE(uiwait::UntilWithoutEvents([&] { return reporting.load(); }, "the scan thread's report"));  // joined below on every road
    EXPECT_FALSE(returned.load()) << "a paused strip let the scan thread through";
    // The stop comes from a thread that is not the interface's (the session's release thread).
    std::thread([&] { strip_.DoStop(false); }).join();
    scan.join();
    EXPECT_EQ(answer.load(), 0);
    EXPECT_EQ(strip_.GetState(), kProgressStopped);
    EXPECT_EQ(GetScanOptions().GetStopRequested(), 1u);
    // Continue in any state but paused does nothing.
    strip_.DoContinue();
    EXPECT_EQ(strip_.GetState(), kProgressStopped);
}

TEST_F(Strip, FilesFoundBeyondTheTreesAreNamedAfterTheFoundFilesUntilANewScanOrGoingHome) {
    RecoveryGraph& session = RecoveryGraph::Instance();
    const auto foundText = [&](u64 second) {
        session.SetSecondFoundFileCount(second);
        strip_.DoStart();
        strip_.OnScanFinishedMsg();
        return strip_.FoundText();
    };
    const std::string plain = foundText(0);
    EXPECT_EQ(plain, FormatLocalized("FoundFileTip", "%llu%.2f%s", static_cast<unsigned long long>(session.GetFoundFileCount()),
                                     static_cast<double>(session.GetFoundFileBytes()) / 1048576.0, "MB"));
    ASSERT_NE(UiResources::Instance().GetString("FoundFileTip1").find("%llu"), std::string::npos);
    EXPECT_EQ(foundText(7), plain + " " + FormatLocalized("FoundFileTip1", "%llu", 7ULL));
    uiwait::Paint(strip_.Widget());
    const std::string dir = std::string(MORVENDA_BINARY_DIR) + "/screenshots";
    std::filesystem::create_directories(dir);
    EXPECT_TRUE(strip_.Widget()->grab().save(QString::fromStdString(dir + "/strip-found-second-count.png")));

    // Going home and a new scan each zero it.
    session.SelectVolume(0, static_cast<VolumeRecord*>(nullptr));
    EXPECT_EQ(session.GetSecondFoundFileCount(), 0u);
    session.SetSecondFoundFileCount(7);
    ASSERT_EQ(session.DoScan(kScanModeRestored), 0);  // a loaded result: no scan thread runs
    EXPECT_EQ(session.GetSecondFoundFileCount(), 0u);
    EXPECT_EQ(foundText(0), plain);
}

TEST(TipBox, ShowsOnlyWithABufferAndPlacesShortTextsLower) {
    EnsureApp();
    UiCtrl::TipInfoWnd tip;
    EXPECT_EQ(tip.ShowWithDelay("TipDeep"), -1);  // no window, no buffer yet
    QWidget host;
    host.resize(600, 400);
    tip.Create(nullptr, nullptr, ui::MakeRect(0, 0, UiCtrl::TipInfoWnd::kWidth, UiCtrl::TipInfoWnd::kHeight), WS_CHILD);
    EXPECT_EQ(tip.ShowWithDelay(nullptr), -1);
    EXPECT_EQ(tip.ShowWithDelay("TipDeep"), 0);
    EXPECT_TRUE(tip.IsShown());
    EXPECT_EQ(tip.Text(), UiResources::Instance().GetString("TipDeep"));
    EXPECT_EQ(tip.TextTop(), tip.Text().size() < UiCtrl::TipInfoWnd::kShortText ? 40 : 30);
    tip.Hide();
    EXPECT_FALSE(tip.IsShown());
}

TEST(PlacePage, RefusesToScanWithoutAChosenTile) {
    EnsureApp();
    UiCtrl::SelDataLostPartitionWnd place;
    RecoveryGraph::Instance().SelectVolume(0, static_cast<VolumeRecord*>(nullptr));
    // Before any tile exists, and so before one is chosen, the session is handed nothing.
    EXPECT_EQ(place.DoClickScan(), -1);
    EXPECT_EQ(RecoveryGraph::Instance().GetFirstVolume(), nullptr);
}

TEST(FileTypes, MasksOfTheChoices) {
    EnsureApp();
    QWidget host;
    UiCtrl::SelFileTypeWnd types;
    types.Create(nullptr, nullptr, ui::MakeRect(0, 0, 896, 566), WS_CHILD);
    EXPECT_TRUE(types.AllTypes());
    EXPECT_EQ(types.ChosenMask(), UiCtrl::SelFileTypeWnd::kMaskAllTypes);
    // Each type toggled on its own, as a click does (the toggle flips, then the page hears of it).
    auto toggle = [&](int id) {
        auto* item = dynamic_cast<UiCtrl::UiCheckBtnWithoutWnd*>(types.GetItem(id));
        ASSERT_NE(item, nullptr);
        item->SetChecked(!item->IsChecked());
        types.OnCommand(id);
    };
    toggle(UiCtrl::SelFileTypeWnd::kItemMusic);
    EXPECT_EQ(types.ChosenMask(), 0x04u);
    for (int id : {UiCtrl::SelFileTypeWnd::kItemPhotos, UiCtrl::SelFileTypeWnd::kItemDocuments, UiCtrl::SelFileTypeWnd::kItemVideos,
                   UiCtrl::SelFileTypeWnd::kItemOther})
        toggle(id);
    // All five one by one: the same mask as all types, without the all-types state.
    EXPECT_EQ(types.ChosenMask(), 0x6Eu);
    EXPECT_FALSE(types.AllTypes());
    toggle(UiCtrl::SelFileTypeWnd::kItemAllTypes);
    EXPECT_TRUE(types.AllTypes());
    toggle(UiCtrl::SelFileTypeWnd::kItemAllTypes);
    EXPECT_FALSE(types.ChoiceMade());
    EXPECT_FALSE(types.GetItem(UiCtrl::SelFileTypeWnd::kItemNext)->IsEnabled());
    types.Reset();
    EXPECT_TRUE(types.AllTypes());
    EXPECT_TRUE(types.ChoiceMade());
}

TEST(SaveTarget, AnExistingFileIsNeverOpenedAndReplacedOnlyWhenConfirmed) {
    testutil::TempDir dir;
    const std::string existing = dir.File("result.rsf");
    {
        std::ofstream(existing) << "kept";
    }
    auto content = [&] {
        std::ifstream in(existing);
        return std::string((std::istreambuf_iterator<char>(in)), {});
    };
    static int asked = 0;
    auto decline = [](const std::string&) { return ++asked, false; };
    auto confirm = [](const std::string&) { return ++asked, true; };
    EXPECT_EQ(UiCtrl::RecoveryGraphWnd::CheckSaveTarget(existing, decline), UiCtrl::RecoveryGraphWnd::kSaveTargetKept);
    EXPECT_EQ(UiCtrl::RecoveryGraphWnd::CheckSaveTarget(existing, confirm), 0);
    EXPECT_EQ(asked, 2);
    EXPECT_EQ(content(), "kept");  // the probe wrote beside it, not into it
    EXPECT_EQ(UiCtrl::RecoveryGraphWnd::CheckSaveTarget(dir.File("new.rsf"), decline), 0);
    EXPECT_EQ(asked, 2);  // a new name asks nothing
    EXPECT_EQ(UiCtrl::RecoveryGraphWnd::CheckSaveTarget("x", confirm), -4);
    EXPECT_EQ(UiCtrl::RecoveryGraphWnd::CheckSaveTarget(dir.File("missing/sub/new.rsf"), confirm), -4);
    // Nothing of the probes is left behind.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path()), {}), 1);
}

TEST(RecoveryTip, TheSuppressChoiceIsStoredWhenItChangesEvenIfTheTipIsCancelled) {
    testutil::TempDir config;
    testutil::EnvOverride userConfig("XDG_CONFIG_HOME", config.Path());
    EnsureApp();
    RecoveryTipInScanDlg tip(nullptr);
    tip.Create();
    ASSERT_NE(tip.GetClientItem(RecoveryTipInScanDlg::kItemDontShow), nullptr);
    tip.OnCommand(RecoveryTipInScanDlg::kItemDontShow, 1);
    tip.OnCommand(RecoveryTipInScanDlg::kItemCancel, 0);
    EXPECT_EQ(ConfigShowTip(), 0);
    tip.OnCommand(RecoveryTipInScanDlg::kItemDontShow, 0);
    EXPECT_EQ(ConfigShowTip(), 1);
    const QImage shot = tip.grab().toImage();
    const std::string dir = std::string(MORVENDA_BINARY_DIR) + "/screenshots";
    std::filesystem::create_directories(dir);
    EXPECT_TRUE(shot.save(QString::fromStdString(dir + "/scan-en-08-recovery-tip.png")));
}

}  // namespace
