// The result page of the real main window, offscreen, driven by clicks on its items as a user
// drives it, on a fixture disk given as MORVENDA_DISKS: what the strip says was found against
// the trees it shows (after the deleted-file scan, the deep scan and a load), the save item, the
// pause button holding every read of a deep scan, and what a stopped scan leaves on the strip.
// Each state is saved to <build>/screenshots/ in English, German and Japanese for review.
#include <gtest/gtest.h>

#include <QApplication>
#include <QFileDialog>
#include <QLineEdit>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <regex>

#include "TestUtil.h"
#include "WizardDriver.h"
#include "app/QZMUIDlg.h"
#include "app/dialogs/FreezeTipDlg.h"
#include "app/dialogs/SaveRestoreScanResult.h"
#include "app/pages/RecoveryGraphWnd.h"
#include "app/pages/SelDataLostPartitionWnd.h"
#include "app/pages/SelFileTypeWnd.h"
#include "app/ui/MessageBox.h"
#include "app/ui/UiLanguage.h"
#include "app/ui/UiResources.h"
#include "browser/TreeClick.h"
#include "browser/views/Container.h"
#include "browser/views/TreeCtrl.h"
#include "core/Settings.h"
#include "devices/ScanOptions.h"
#include "engine/FileSystemNode.h"
#include "engine/RecoveryGraph.h"
#include "engine/ScanRunState.h"
#include "platform/Log.h"
#include "platform/Sync.h"
#include "plugins/Plugins.h"

namespace {

namespace fs = std::filesystem;
using UiCtrl::RecoveryProgressWnd;
using UiCtrl::SelDataLostPartitionWnd;

struct Language {
    int index;
    const char* file;
    const char* tag;
};
const Language kLanguages[] = {{0, "English.dat", "en"}, {2, "Deutsch.dat", "de"}, {1, "Japanese.dat", "ja"}};
// The program's message box answers with the number of the button pressed.
constexpr int kFirstButton = 1;
constexpr int kSecondButton = 2;

std::string Text(const char* key) { return UiResources::Instance().GetString(key); }

// The files and bytes of the trees the session shows, or only the checked ones, as a recovery
// of them counts them.
std::pair<u64, u64> TreeTotals(bool checkedOnly = false) {
    u64 files = 0, bytes = 0;
    for (CFileSystemNode* root : RecoveryGraph::Instance().GetTreeRoots()) {
        SelectionStatistics stats;
        if (checkedOnly) CountSubtree(root, &stats, false, 0);
        else root->GetStatistics(&stats);
        files += checkedOnly ? stats.checkedFiles : stats.files;
        bytes += checkedOnly ? stats.checkedBytes : stats.bytes;
    }
    return {files, bytes};
}

// What the strip must say for those totals, formatted as the strip formats it.
std::string ExpectedFoundText(std::pair<u64, u64> totals) {
    char text[512];
    std::snprintf(text, sizeof text, Text("FoundFileTip").c_str(), static_cast<unsigned long long>(totals.first),
                  static_cast<double>(totals.second) / 1048576.0, "MB");
    return text;
}

// What the selected-files line must say for that many checked files and bytes: the unit steps
// up past 1 MiB and 1 GiB.
std::string ExpectedSelectedText(u64 files, u64 bytes) {
    constexpr u64 kMiB = 1048576, kGiB = 1073741824;
    const u64 unit = bytes <= kMiB ? 1024 : (bytes <= kGiB ? kMiB : kGiB);
    char text[512];
    std::snprintf(text, sizeof text, Text("SelectedFileTip").c_str(), static_cast<unsigned>(files),
                  static_cast<double>(bytes) / static_cast<double>(unit), bytes <= kMiB ? "KB" : (bytes <= kGiB ? "MB" : "GB"));
    return text;
}

// Bytes this process has read through read(2) and its kin so far.
u64 BytesReadByProcess() {
    std::ifstream io("/proc/self/io");
    std::string key;
    u64 value = 0;
    while (io >> key >> value)
        if (key == "rchar:") return value;
    return 0;
}

class ResultWindow : public ::testing::TestWithParam<Language> {
protected:
    void SetUp() override {
        wizard::StartWindowProgram(program_, disks_);
        const Language lang = GetParam();
        wizard::UseLanguage(lang.index, lang.file);
        prefix_ = std::string("result-") + lang.tag + "-";
        dlg_ = std::make_unique<CQZMUIDlg>();
        dlg_->Create();
        // Message boxes are answered with their first button, and their texts kept; the wait
        // boxes close by themselves.
        modal_ = std::make_unique<wizard::ModalWatch>([this](QWidget* m) {
            if (auto* box = dynamic_cast<QZMMessageBox*>(m)) {
                messages_.push_back(box->Text());
                wizard::EndModal(m, boxAnswer_ ? boxAnswer_(box) : kFirstButton);
            } else if (auto* files = qobject_cast<QFileDialog*>(m)) {
                fileDialogs_++;
                auto* name = files->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
                ASSERT_NE(name, nullptr);
                name->setText(QString::fromStdString(typedName_));
                static_cast<QDialog*>(files)->accept();
            }
        });
    }
    void TearDown() override {
        wizard::DeepScanStart().Open();
        RecoveryGraph::Instance().SetControllerFactory(nullptr);
        // Home, as a user ends with a result: the session lets its trees and volumes go.
        if (wizard::ClickItem(Strip(), RecoveryProgressWnd::kItemHome)) {
            EXPECT_TRUE(wizard::PumpUntil([&] { return dlg_->CurrentPage() == dlg_->FileTypePage()->GetHwnd(); }, "home"));
        }
        modal_.reset();
        dlg_.reset();
        RecoveryGraph::Instance().SetStopRequested(0);
        UiResources::Instance().SetLanguage(0, "English.dat");
        SetUiLanguage(0, "English.dat");
        ::unsetenv("XDG_STATE_HOME");
        program_.reset();
    }
    RecoveryProgressWnd& Strip() { return dlg_->ResultPage()->Progress(); }
    bool ScanOver() { return !Strip().IsRunningOrTimed() && !RecoveryGraph::Instance().IsScanRunning(); }
    void ScanVolume(const char* fsName) { wizard::ScanVolumeByTile(*dlg_, fsName); }
    void ExpectStripShowsTheTrees(const char* when) {
        SCOPED_TRACE(when);
        const auto totals = TreeTotals();
        EXPECT_GT(totals.first, 0u);
        EXPECT_EQ(RecoveryGraph::Instance().GetFoundFileCount(), totals.first);
        EXPECT_EQ(RecoveryGraph::Instance().GetFoundFileBytes(), totals.second);
        EXPECT_EQ(Strip().FoundText(), ExpectedFoundText(totals));
    }

    testutil::TempDir disks_, work_;
    std::unique_ptr<wizard::ProgramFolderScope> program_;
    std::unique_ptr<CQZMUIDlg> dlg_;
    std::unique_ptr<wizard::ModalWatch> modal_;
    std::vector<std::string> messages_;
    std::string typedName_;
    int fileDialogs_ = 0;
    // The answer to a message box, when not its first button.
    std::function<int(QZMMessageBox*)> boxAnswer_;
    std::string prefix_;
};

class SavedResultWindow : public ResultWindow {};

TEST_P(SavedResultWindow, FoundCountsAgreeWithTheTreesAfterEachScanAndALoadAndTheSaveItemSavesThem) {
    ASSERT_NO_FATAL_FAILURE(ScanVolume("NTFS"));
    auto& result = *dlg_->ResultPage();
    ExpectStripShowsTheTrees("deleted-file scan");
    UiCtrl::UiItem* save = Strip().GetItem(RecoveryProgressWnd::kItemSaveScan);
    ASSERT_NE(save, nullptr);
    EXPECT_TRUE(save->IsVisible());
    EXPECT_TRUE(save->IsEnabled());
    EXPECT_TRUE(Strip().GetItem(RecoveryProgressWnd::kItemDeepScan)->IsVisible());
    wizard::Shot(dlg_.get(), prefix_ + "01-deleted-scan-finished");

    // The deep scan of the same volume: its own trees, counted as shown.
    ASSERT_TRUE(wizard::RunDeepScanFromStrip(*dlg_));
    ExpectStripShowsTheTrees("deep scan");
    EXPECT_FALSE(Strip().GetItem(RecoveryProgressWnd::kItemDeepScan)->IsVisible());
    EXPECT_FALSE(result.Tip().IsShown()) << "the deep-scan tip outlived the scan";
    wizard::Shot(dlg_.get(), prefix_ + "02-deep-scan-finished");
    const auto scanned = TreeTotals();

    // The save item: the file dialog, then the result is written where the user said.
    typedName_ = work_.File("deep");
    messages_.clear();
    ASSERT_TRUE(wizard::ClickItem(Strip(), RecoveryProgressWnd::kItemSaveScan));
    ASSERT_TRUE(wizard::PumpUntil([&] { return !messages_.empty(); }));
    EXPECT_EQ(fileDialogs_, 1);
    EXPECT_EQ(messages_, std::vector<std::string>{Text("ExportOk")});
    EXPECT_TRUE(fs::exists(work_.File("deep.rsf")));

    // Home, then the caption's import item loads it: the same counts, and no deep scan offered,
    // also after the language changes under it.
    ASSERT_TRUE(wizard::ClickItem(Strip(), RecoveryProgressWnd::kItemHome));
    ASSERT_TRUE(wizard::PumpUntil([&] { return dlg_->CurrentPage() == dlg_->FileTypePage()->GetHwnd(); }));
    EXPECT_TRUE(dlg_->GetCaptionItem(CMD_IMPORT_SCAN)->IsEnabled());
    typedName_ = work_.File("deep.rsf");
    wizard::ClickCaptionItem(*dlg_, CMD_IMPORT_SCAN);
    ASSERT_TRUE(wizard::PumpUntil([&] { return dlg_->CurrentPage() == result.GetHwnd() && ScanOver(); }));
    ASSERT_TRUE(wizard::PumpUntil([&] { return Strip().GetItem(RecoveryProgressWnd::kItemHome)->IsVisible(); }));
    EXPECT_EQ(TreeTotals(), scanned);
    ExpectStripShowsTheTrees("load");
    EXPECT_FALSE(Strip().GetItem(RecoveryProgressWnd::kItemDeepScan)->IsVisible());
    wizard::Shot(dlg_.get(), prefix_ + "03-loaded");
    const Language other = GetParam().index == 0 ? kLanguages[1] : kLanguages[0];
    ASSERT_NO_FATAL_FAILURE(wizard::SwitchLanguageByMenu(*dlg_, other.index));
    ASSERT_TRUE(wizard::PumpUntil([&] { return Strip().FoundText() == ExpectedFoundText(TreeTotals()); }, "the found text in the new language"));
    EXPECT_FALSE(Strip().GetItem(RecoveryProgressWnd::kItemDeepScan)->IsVisible()) << "offered after the switch";
    ExpectStripShowsTheTrees("load, after the language switch");
    ASSERT_NO_FATAL_FAILURE(wizard::SwitchLanguageByMenu(*dlg_, GetParam().index));
}

TEST_P(ResultWindow, ThePauseButtonHoldsEveryReadOfADeepScanAndAStopEndsItPlainly) {
    ASSERT_NO_FATAL_FAILURE(ScanVolume("NTFS"));
    auto& result = *dlg_->ResultPage();
    ScanRunState& run = *Strip().RunState();

    // Paused from the strip's own button as soon as the deep scan runs; the scan is held at its
    // start until then, for a small disk is scanned before a loaded machine handles the click.
    wizard::DeepScanStart().Close();
    RecoveryGraph::Instance().SetControllerFactory(&wizard::MakeHeldDeepScan);
    ASSERT_TRUE(wizard::ClickItem(Strip(), RecoveryProgressWnd::kItemDeepScan));
    ASSERT_TRUE(wizard::PumpUntil([&] { return Strip().GetItem(RecoveryProgressWnd::kItemPause)->IsVisible(); }));
    const std::string log = LogFilePath("Morvenda.log");
    const size_t logged = testutil::ReadFileText(log).size();
    // The pause's tip hides itself after its delay: the test counts its showings.
    const u64 tips = result.Tip().TimesShown();
    ASSERT_TRUE(wizard::ClickItem(Strip(), RecoveryProgressWnd::kItemPause));
    ASSERT_TRUE(wizard::PumpUntil([&] { return run.GetState() != kProgressRunning; }));
    ASSERT_EQ(run.GetState(), kProgressPaused) << "the deep scan ended before the pause";
    wizard::DeepScanStart().Open();
    // The scan thread comes to rest at its pause point; a block the read-ahead had begun before
    // the pause is let finish (a stretch of the strip's ticks with next to nothing read).
    ASSERT_TRUE(wizard::PumpUntil([&] { return run.Get().waiting >= 1; }));
    // The scan thread marks its pause in the program's log with this process's id and its own.
    const std::string text = testutil::ReadFileText(log);
    const std::string lines = text.size() >= logged ? text.substr(logged) : text;  // moved aside when full
    std::smatch mark;
    ASSERT_TRUE(std::regex_search(lines, mark, std::regex("P\\[0*" + std::to_string(CurrentProcessId()) +
                                                          "\\]:T\\[([0-9]+)\\] run to UiCtrl::RecoveryProgressWnd::Continued ")))
        << lines;
    EXPECT_NE(std::stoul(mark[1]), 0u) << "the scan thread's id";
    EXPECT_NE(std::stoul(mark[1]), CurrentThreadId()) << "not the window's thread";
    constexpr u64 kBlockBytes = 1000 * 512;  // one read-ahead block of the device
    constexpr u64 kQuietBytes = 64 * 1024;
    auto bytesReadOver = [&](u64 ticks) {
        const u64 before = BytesReadByProcess();
        const u64 start = Strip().TimerTicks();
        EXPECT_TRUE(wizard::PumpUntil([&] { return Strip().TimerTicks() >= start + ticks; }));
        return BytesReadByProcess() - before;
    };
    ASSERT_TRUE(wizard::PumpUntil([&] { return bytesReadOver(10) < kQuietBytes; }));
    // From then on the scan makes no step and the disk is not read.
    const u64 steps = run.Get().steps;
    EXPECT_LT(bytesReadOver(50), kBlockBytes) << "the disk was read while paused";
    EXPECT_EQ(run.Get().steps, steps) << "the scan stepped on while paused";
    EXPECT_TRUE(RecoveryGraph::Instance().IsScanRunning());
    EXPECT_TRUE(Strip().GetItem(RecoveryProgressWnd::kItemContinue)->IsVisible());
    EXPECT_TRUE(wizard::PumpUntil([&] { return result.Tip().TimesShown() > tips; }, "the tip of the pause"));
    wizard::Shot(dlg_.get(), prefix_ + "04-deep-scan-paused");

    // Continued, the scan steps on.
    ASSERT_TRUE(wizard::ClickItem(Strip(), RecoveryProgressWnd::kItemContinue));
    ASSERT_TRUE(wizard::PumpUntil([&] { return run.GetState() != kProgressPaused; }));
    ASSERT_TRUE(wizard::PumpUntil([&] { return run.Get().steps > steps || ScanOver(); }));

    // Paused again and stopped: the tips and the pause tooltip go, and the strip says stopped.
    const u64 pauseTips = result.Tip().TimesShown();
    if (wizard::ClickItem(Strip(), RecoveryProgressWnd::kItemPause) &&
        wizard::PumpUntil([&] { return run.GetState() != kProgressRunning; }) && run.GetState() == kProgressPaused) {
        ASSERT_TRUE(wizard::PumpUntil([&] { return result.Tip().TimesShown() > pauseTips; }, "the tip of the second pause"));
        SendMessage(Strip().GetHwnd(), WM_MOUSEMOVE, 0, MAKELPARAM(Strip().GetItem(RecoveryProgressWnd::kItemContinue)->GetRect().left + 5, 30));
        ASSERT_TRUE(wizard::ClickItem(Strip(), RecoveryProgressWnd::kItemStop));
        ASSERT_TRUE(wizard::PumpUntil([&] { return ScanOver(); }));
        ASSERT_TRUE(wizard::PumpUntil([&] { return Strip().GetItem(RecoveryProgressWnd::kItemHome)->IsVisible() && !result.Tip().IsShown(); },
                                      "the finish items without the tip"));
        EXPECT_TRUE(Strip().UserStopped());
        EXPECT_FALSE(result.Tip().IsShown()) << "the pause tip outlived the stop";
        EXPECT_FALSE(dlg_->TooltipWindow()->isVisible()) << "the pause tooltip outlived the stop";
        ExpectStripShowsTheTrees("stopped deep scan");
        wizard::Shot(dlg_.get(), prefix_ + "05-deep-scan-stopped");
    }
}

// A stop question that the scan's own end meets: the strip keeps showing the run behind the
// open question and, once it is answered (either way), says the scan completed, with what it
// found; nothing is stopped by an answer that came after the end.
class StopQuestionWindow : public ResultWindow {
protected:
    // Stop (the first button) or go on (the second), by the language's place in the table.
    int Answer() const { return GetParam().index == 2 ? kSecondButton : kFirstButton; }
};

TEST_P(StopQuestionWindow, AStopQuestionThatTheScansEndMeetsChangesNothing) {
    ASSERT_NO_FATAL_FAILURE(ScanVolume("NTFS"));
    wizard::DeepScanStart().Close();
    RecoveryGraph::Instance().SetControllerFactory(&wizard::MakeHeldDeepScan);
    ASSERT_TRUE(wizard::ClickItem(Strip(), RecoveryProgressWnd::kItemDeepScan));
    ASSERT_TRUE(wizard::PumpUntil([&] { return Strip().GetItem(RecoveryProgressWnd::kItemStop)->IsVisible(); }));
    int questions = 0;
    std::string behind;
    bool finishItemsBehind = true;
    boxAnswer_ = [&](QZMMessageBox* box) {
        if (box->Text() != Text("Sure2Stop")) return kFirstButton;
        ++questions;
        // The scan runs to its end while the question is open.
        wizard::DeepScanStart().Open();
        EXPECT_TRUE(wizard::PumpUntil([] { return !RecoveryGraph::Instance().IsScanRunning(); },
                                      "the deep scan's end behind the question"));
        uiwait::Flush();
        behind = Strip().TitleKey();
        finishItemsBehind = Strip().GetItem(RecoveryProgressWnd::kItemHome)->IsVisible();
        return Answer();
    };
    ASSERT_TRUE(wizard::ClickItem(Strip(), RecoveryProgressWnd::kItemStop));
    ASSERT_TRUE(wizard::PumpUntil([&] {
        return questions == 1 && ScanOver() && Strip().GetItem(RecoveryProgressWnd::kItemHome)->IsVisible();
    }, "the strip's end after the answer"));
    uiwait::Flush();
    EXPECT_EQ(behind, "Searching") << "the strip told the end behind the open question";
    EXPECT_FALSE(finishItemsBehind);
    EXPECT_STREQ(Strip().TitleKey(), "ScanCompleted");
    EXPECT_FALSE(Strip().UserStopped());
    EXPECT_EQ(GetScanOptions().GetStopRequested(), 0u) << "an answer after the end asked the scan to stop";
    ExpectStripShowsTheTrees("deep scan that met the stop question");
    // Everything the deep scan found stays checked; the line says so once its thread counted.
    const auto totals = TreeTotals();
    ASSERT_GT(totals.second, 1048576u);
    const std::string everything = ExpectedSelectedText(totals.first, totals.second);
    EXPECT_TRUE(wizard::PumpUntil([&] { return Strip().SelectedText() == everything; }, "the selected-files line"));
    wizard::Shot(dlg_.get(), prefix_ + "06-stop-question-met-the-end-" + (Answer() == kFirstButton ? "stop" : "go-on"));

    // Every folder of the found volumes unchecked but one, as a user keeps one folder: the line
    // follows each click, summed over all the trees as a recovery counts them.
    FileSelCtrl::CFileTreeCtrl* tree = dlg_->ResultPage()->Browser()->Container()->Left()->PathTree();
    QAbstractItemModel* model = tree->model();
    const QModelIndex top = model->index(0, 0);
    tree->expand(top);
    for (int v = 0; v < model->rowCount(top); ++v) {
        const QModelIndex volume = model->index(v, 0, top);
        tree->expand(volume);
        for (int f = 0; f < model->rowCount(volume); ++f)
            if (v != 0 || f != 1) browsertest::ClickCheckBox(tree, model->index(f, 0, volume));
    }
    const auto checked = TreeTotals(true);
    ASSERT_GT(checked.first, 0u);
    ASSERT_LT(checked.first, totals.first);
    const std::string some = ExpectedSelectedText(checked.first, checked.second);
    EXPECT_TRUE(wizard::PumpUntil([&] { return Strip().SelectedText() == some; }, "the selected-files line after the unchecks"))
        << Strip().SelectedText() << " in place of " << some;
    wizard::Shot(dlg_.get(), prefix_ + "07-selected-after-unchecking-folders");
}

INSTANTIATE_TEST_SUITE_P(Languages, StopQuestionWindow, ::testing::ValuesIn(kLanguages),
                         [](const ::testing::TestParamInfo<Language>& info) { return std::string(info.param.tag); });
INSTANTIATE_TEST_SUITE_P(Languages, SavedResultWindow, ::testing::ValuesIn(kLanguages),
                         [](const ::testing::TestParamInfo<Language>& info) { return std::string(info.param.tag); });
INSTANTIATE_TEST_SUITE_P(Languages, ResultWindow, ::testing::Values(kLanguages[0], kLanguages[1]),
                         [](const ::testing::TestParamInfo<Language>& info) { return std::string(info.param.tag); });

}  // namespace
