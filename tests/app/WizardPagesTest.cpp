// The wizard's pieces on their own, offscreen: the progress strip as the scan's progress sink
// (its percent, time left, phase end and stop rules, driven from a scan-side thread), the tip
// box, the place page's refusal to scan without a choice and its title strip, the file-type mask
// and toggles, and the check of a scan result's target that never touches an existing file.
#include <gtest/gtest.h>

#include <QApplication>
#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <thread>
#include <tuple>
#include <vector>

#include "HeldEnumeration.h"
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
#include "platform/Profile.h"
#include "platform/ProgramDir.h"
#include "platform/Time.h"
#include "platform/ui/Dc.h"
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

// The languages whose pictures are saved to <build>/screenshots/ for review.
const std::tuple<int, const char*, const char*> kShotLanguages[] = {{0, "English.dat", "en"}, {2, "Deutsch.dat", "de"}, {1, "Japanese.dat", "ja"}};
void Shot(QWidget* w, const std::string& name) {
    std::filesystem::create_directories(MORVENDA_BINARY_DIR "/screenshots");
    w->grab().save(QString::fromStdString(MORVENDA_BINARY_DIR "/screenshots/" + name + ".png"));
}

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

// While a scan runs, and while the user pauses it, the title stands in (66, 18)-(784, 36), cut at
// the bar's end where the page is narrower, and the animation or the paused picture in
// (16, 20)-(66, 70), in every language.
TEST_F(Strip, TheRunningTitleAndItsPictureStandInTheirPlaces) {
    const RECT title = UiCtrl::RecoveryProgressWnd::kTitleRect, picture = UiCtrl::RecoveryProgressWnd::kPictureRect;
    constexpr int kDarkInk = 96, kBarFrameTop = 37, kButtonsFromRight = 200, kEdge = 4;
    const QFontMetrics fm(*UiResources::Instance().GetFont(18, 700, false));
    for (const int width : {1100, 900}) {
        strip_.Widget()->resize(width, UiCtrl::RecoveryProgressWnd::kStripHeight);
        strip_.OnSize(0, 0);
        for (const auto& [number, file, tag] : kShotLanguages) {
            UiResources::Instance().SetLanguage(number, file);
            for (const bool paused : {false, true}) {
                SCOPED_TRACE(std::string(tag) + (paused ? " paused " : " running ") + std::to_string(width));
                strip_.DoStart();
                if (paused) strip_.DoPause();
                uiwait::Paint(strip_.Widget());
                Shot(strip_.Widget(), "strip-" + std::string(paused ? "paused-" : "running-") + tag + "-" + std::to_string(width));
                const QImage image = strip_.Widget()->grab().toImage();
                // What is drawn in a part of the strip: left, top, right and bottom, ends excluded.
                const auto drawn = [&](int x0, int y0, int x1, int y1, auto ink) {
                    QRect box;
                    for (int y = y0; y < y1; ++y)
                        for (int x = x0; x < x1; ++x)
                            if (ink(image.pixel(x, y))) box |= QRect(x, y, 1, 1);
                    return box;
                };
                // The title, from the top to the bar's frame and up to the buttons; every Latin
                // title begins with a capital (Japanese glyphs come from a face of other measures).
                const QRect text = drawn(title.left, 0, width - kButtonsFromRight, kBarFrameTop, [](QRgb c) { return qGray(c) < kDarkInk; });
                EXPECT_TRUE(text.top() >= title.top && text.bottom() < title.bottom && text.right() < std::min<int>(title.right, width - 210))
                    << "title drawn in " << text.left() << "," << text.top() << "-" << text.right() + 1 << "," << text.bottom() + 1;
                const int lineTop = int(title.top) + (int(title.bottom - title.top) - fm.height()) / 2;
                EXPECT_TRUE(number == 1 || std::abs(text.top() - (lineTop + fm.ascent() - fm.capHeight())) <= 1) << "the title's first ink row";
                // The picture, inside the strip's edge: within its place and filling most of it.
                const QRect shown = drawn(kEdge, kEdge, title.left, UiCtrl::RecoveryProgressWnd::kStripHeight - kEdge,
                                          [](QRgb c) { return (c | 0xFF000000u) != 0xFFFFFFFFu; });
                EXPECT_TRUE(QRect(QPoint(picture.left, picture.top), QPoint(picture.right - 1, picture.bottom - 1)).contains(shown) &&
                            shown.width() > (picture.right - picture.left) * 3 / 4 && shown.height() > (picture.bottom - picture.top) * 3 / 4)
                    << "picture drawn in " << shown.left() << "," << shown.top() << "-" << shown.right() + 1 << "," << shown.bottom() + 1;
                strip_.DoStop(false);
            }
        }
    }
    UiResources::Instance().SetLanguage(0, "English.dat");
}

TEST(TipBox, ShowsOnlyWithABufferAndPlacesShortTextsLower) {
    EnsureApp();
    UiCtrl::TipInfoWnd tip;
    EXPECT_EQ(tip.ShowWithDelay("TipDeep"), -1);  // no window, no buffer yet
    QWidget host;
    host.resize(600, 400);
    host.setAutoFillBackground(true);
    host.setPalette(QPalette(Qt::red));  // a pixel the box leaves unpainted shows
    tip.Create(nullptr, nullptr, ui::MakeRect(0, 0, UiCtrl::TipInfoWnd::kWidth, UiCtrl::TipInfoWnd::kHeight), WS_CHILD);
    tip.Widget()->setParent(&host);
    host.show();
    EXPECT_EQ(tip.ShowWithDelay(nullptr), -1);
    EXPECT_EQ(tip.ShowWithDelay("TipDeep"), 0);
    EXPECT_TRUE(tip.IsShown());
    EXPECT_EQ(tip.Text(), UiResources::Instance().GetString("TipDeep"));
    tip.Hide();
    EXPECT_FALSE(tip.IsShown());
    // Every tip is short, so starts lower: in Japanese too, where a character takes three bytes.
    for (const auto& [number, file, tag] : kShotLanguages) {
        UiResources::Instance().SetLanguage(number, file);
        for (const char* key : {"TipDeep", "TipLostPartitonScan"}) {
            ASSERT_EQ(tip.ShowWithDelay(key), 0);
            EXPECT_EQ(tip.TextTop(), 40) << key << " " << file;
            uiwait::Paint(tip.Widget());
            Shot(tip.Widget(), std::string("tipbox-") + key + "-" + tag);
            // The whole box is painted: its frame colour in its corners, white one pixel in.
            const QImage box = host.grab(tip.Widget()->geometry()).toImage();
            const QRgb frame = ui::ColorFromRef(0x80D21F).rgb(), white = qRgb(255, 255, 255);
            const int right = box.width() - 1, bottom = box.height() - 1;
            for (const auto& [x, y, rgb] : {std::tuple{0, 0, frame}, {right, bottom, frame}, {1, 1, white}, {right - 1, bottom - 1, white}})
                EXPECT_EQ(box.pixel(x, y), rgb) << x << "," << y << " " << key << " " << file;
        }
    }
    // The tip hides by its own timer after the language's "delayTime" seconds, 8 in a language
    // file without it (the program's own).
    testutil::TempDir program;
    const std::string shipped = GetProgramDir(), language = program.File("English.dat");
    std::filesystem::copy_file(shipped + "English.dat", language);
    ASSERT_TRUE(WritePrivateProfileString("string", "delayTime", "1", language.c_str()));
    for (const auto& [folder, delay] : {std::pair{program.Path() + "/", 1}, {shipped, UiCtrl::TipInfoWnd::kDefaultDelaySeconds}}) {
        SetProgramDir(folder);
        UiResources::Instance().SetLanguage(0, "English.dat");
        ASSERT_EQ(tip.ShowWithDelay("TipDeep"), 0);
        EXPECT_EQ(tip.DelaySeconds(), delay) << folder;
    }
    EXPECT_EQ(UiCtrl::TipInfoWnd::kDefaultDelaySeconds, 8);
    SetProgramDir(program.Path() + "/");
    UiResources::Instance().SetLanguage(0, "English.dat");
    ASSERT_EQ(tip.ShowWithDelay("TipDeep"), 0);
    EXPECT_TRUE(uiwait::Until([&] { return !tip.IsShown(); }, "the tip's end by its own timer"));
    SetProgramDir(shipped);
    UiResources::Instance().SetLanguage(0, "English.dat");
}

TEST(PlacePage, RefusesToScanWithoutAChosenTile) {
    EnsureApp();
    UiCtrl::SelDataLostPartitionWnd place;
    RecoveryGraph::Instance().SelectVolume(0, static_cast<VolumeRecord*>(nullptr));
    // Before any tile exists, and so before one is chosen, the session is handed nothing.
    EXPECT_EQ(place.DoClickScan(), -1);
    EXPECT_EQ(RecoveryGraph::Instance().GetFirstVolume(), nullptr);
}

TEST(PlacePage, TheTitleStripShowsItsTitleRuleAndButtonAndWhileBusyItsSpinnerAndWaitText) {
    EnsureApp();
    testutil::TempDir disks;
    testutil::CopyFixture(disks, "fat16-basic.img");
    testutil::EnvOverride useDisks("MORVENDA_DISKS", disks.Path());
    UiCtrl::SelDataLostPartitionWnd place;
    place.Create(nullptr, nullptr, ui::MakeRect(0, 0, 896, 470), WS_CHILD);
    place.Widget()->show();
    place.ShowPage();
    UiCtrl::TitleItemWnd& strip = place.GroupAt(UiCtrl::SelDataLostPartitionWnd::kGroupDisks).titleStrip;
    UiCtrl::UiItem* refresh = strip.GetItem(UiCtrl::TitleItemWnd::kRefreshItem);
    std::map<std::string, RECT> drawn;
    const ui::DrawnTextObserver old = ui::SetDrawnTextObserver([&](const ui::DrawnText& d) { drawn[d.text] = d.rect; });
    // The strip as the screen shows it (one pixel to the right), saved with its page.
    const auto look = [&](const std::string& shot) {
        uiwait::Paint(strip.Widget());
        Shot(place.Widget(), shot);
        return strip.Widget()->grab().toImage().copy(1, 0, strip.Widget()->width() - 1, strip.Widget()->height());
    };
    for (const auto& [number, file, tag] : kShotLanguages) {
        SCOPED_TRACE(file);
        UiResources::Instance().SetLanguage(number, file);
        place.ApplyLanguage();
        ASSERT_TRUE(uiwait::Until([&] { return !place.TimerRunning(); }, "the enumeration's end"));
        const RECT c = strip.ClientRect();
        // Looking for the disks, the refresh's enumeration held: the spinner, the wait text, nothing between.
        testutil::HeldEnumeration held;
        SendMessage(place.GetHwnd(), WM_COMMAND, UiCtrl::SelDataLostPartitionWnd::kCmdRefresh, 0);
        const QImage busy = look(std::string("place-busy-") + tag);
        int spinner = 0, between = 0;
        for (int y = 0; y < 12; ++y)
            for (int x = 226; x < 308; ++x) (x >= 230 && x < 241 && y >= 2 ? spinner : between) += busy.pixel(x, y) != qRgb(255, 255, 255);
        EXPECT_TRUE(spinner > 0 && between == 0) << spinner << " spinner, " << between << " between";
        EXPECT_EQ(drawn[UiResources::Instance().GetString("PlsWaitEnum")], ui::MakeRect(312, 0, c.right, c.bottom));
        EXPECT_FALSE(refresh->IsVisible());
        // Found: the title in green in its band, the rule level with the middle of the button.
        held.Release();
        ASSERT_TRUE(uiwait::Until([&] { return !place.TimerRunning(); }, "the refresh's end"));
        const QImage idle = look(std::string("place-idle-") + tag);
        EXPECT_EQ(drawn[strip.title], ui::MakeRect(62, 0, c.right, 20));
        QColor darkest(Qt::white);
        for (int y = 0; y < 20; ++y)
            for (int x = 62; x < 220; ++x)
                if (idle.pixelColor(x, y).value() < darkest.value()) darkest = idle.pixelColor(x, y);
        EXPECT_NEAR(darkest.hsvHue(), QColor(0x05, 0x82, 0x63).hsvHue(), 8) << darkest.name().toStdString();
        EXPECT_EQ(std::pair(idle.pixel(500, 12), idle.pixel(500, 13)), std::pair(qRgb(0xF2, 0xF2, 0xF2), qRgb(255, 255, 255)));
        EXPECT_EQ(refresh->GetRect(), ui::MakeRect(c.right - 70, 0, c.right - 46, 24));
    }
    ui::SetDrawnTextObserver(old);
    UiResources::Instance().SetLanguage(0, "English.dat");
}

TEST(FileTypes, MasksOfTheChoices) {
    EnsureApp();
    QWidget host;
    UiCtrl::SelFileTypeWnd types;
    types.Create(nullptr, nullptr, ui::MakeRect(0, 0, 896, 566), WS_CHILD);
    // The toggles that look checked, filled with their tint, not white: in the all-types state, only it.
    const auto looksChecked = [&] {
        std::vector<int> ids;
        const QImage face = types.Widget()->grab().toImage();
        for (int id : {100, 101, 102, 103, 104, 106})
            if (face.pixel(types.GetItem(id)->GetRect().left + 4, types.GetItem(id)->GetRect().top + 4) != qRgb(255, 255, 255))
                ids.push_back(id);
        return ids;
    };
    EXPECT_TRUE(types.AllTypes());
    EXPECT_EQ(types.ChosenMask(), UiCtrl::SelFileTypeWnd::kMaskAllTypes);
    EXPECT_EQ(looksChecked(), std::vector<int>{UiCtrl::SelFileTypeWnd::kItemAllTypes});
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
    EXPECT_EQ(looksChecked(), std::vector<int>{UiCtrl::SelFileTypeWnd::kItemAllTypes});
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
