// The real main window, offscreen, in each language of its language menu, on a fixture disk
// given as MORVENDA_DISKS: the file-type page, the place page, the result page after a scan, the
// preview window, the About window, the save's and the recovery's windows, the strip and the
// page's tips while a deep scan runs and once it is paused, the recovery tip of a paused scan, the
// question on closing during it, and every message box on the way each drawn, and every
// text they draw must show whole (not clipped, not shortened with an ellipsis). Screenshots go to <build>/screenshots/.
#include <gtest/gtest.h>
#include <tinyxml.h>

#include <QAbstractButton>
#include <QFileDialog>
#include <QLineEdit>
#include <QLabel>
#include <QStyle>
#include <QTest>
#include <algorithm>
#include <filesystem>
#include <set>

#include "Gate.h"
#include "TestUtil.h"
#include "WizardDriver.h"
#include "app/AboutDlg.h"
#include "app/QZMUIDlg.h"
#include "app/dialogs/PreviewFrameDlg.h"
#include "app/dialogs/SaveRestoreScanResult.h"
#include "app/dialogs/ExportProgress.h"
#include "app/dialogs/ExportResult.h"
#include "app/dialogs/RecoveryTipInScanDlg.h"
#include "app/dialogs/SelExportPathDlg.h"
#include "app/dialogs/WarmTipDlg.h"
#include "app/pages/RecoveryGraphWnd.h"
#include "app/pages/SelDataLostPartitionWnd.h"
#include "app/pages/SelFileTypeWnd.h"
#include "app/ui/MessageBox.h"
#include "app/ui/UiLanguage.h"
#include "app/ui/UiResources.h"
#include "browser/ListWait.h"
#include "browser/model/FileSelCtrl.h"
#include "browser/model/ListModel.h"
#include "browser/model/NodeManager.h"
#include "browser/preview/PreviewDialog.h"
#include "browser/views/Container.h"
#include "core/Settings.h"
#include "engine/Progress.h"
#include "engine/RecoveryController.h"
#include "engine/RecoveryGraph.h"
#include "platform/ProgramDir.h"
#include "platform/ui/ButtonPlus.h"
#include "platform/ui/ButtonResources.h"
#include "platform/ui/MsBtn.h"
#include "platform/ui/Dc.h"
#include "plugins/Plugins.h"

namespace {

namespace fs = std::filesystem;
using namespace FileSelCtrl;
using UiCtrl::RecoveryProgressWnd;
using UiCtrl::SelDataLostPartitionWnd;

// The workers of the recovery's and the save's progress windows wait at their start until the
// window was drawn and measured: a small job would otherwise close it before it was looked at.
testutil::Gate g_workersLetGo;
void HoldWorker() { EXPECT_TRUE(g_workersLetGo.Wait()) << "a progress window's worker was held and never let go"; }

// The language file of a number of the skin's language menu.
std::string MenuLanguageFile(int index) {
    TiXmlDocument skin;
    if (!skin.LoadFile((GetProgramDir() + "Resource.xml").c_str(), TIXML_ENCODING_UTF8)) return {};
    const TiXmlElement* menu = skin.RootElement()->FirstChildElement("MenuItem");
    int n = 0;
    for (const TiXmlElement* e = menu ? menu->FirstChildElement() : nullptr; e; e = e->NextSiblingElement()) {
        if (std::string(e->Value()).find("Language") == std::string::npos) continue;
        for (const TiXmlElement* l = e->FirstChildElement(); l; l = l->NextSiblingElement())
            if (n++ == index && l->Attribute("file")) return l->Attribute("file");
    }
    return {};
}


// The labels and buttons of a window whose text does not fit them (a button's text also keeps
// the style's margin).
void CollectCutWidgets(QWidget* root, const std::string& where, std::set<std::string>& cuts) {
    for (QLabel* label : root->findChildren<QLabel*>()) {
        if (!label->isVisible() || label->text().isEmpty() || label->wordWrap()) continue;
        const int needed = label->fontMetrics().horizontalAdvance(label->text());
        if (needed > label->contentsRect().width())
            cuts.insert(where + " label \"" + label->text().toStdString() + "\" needs " + std::to_string(needed) + " px, has " +
                           std::to_string(label->contentsRect().width()));
    }
    for (QAbstractButton* button : root->findChildren<QAbstractButton*>()) {
        if (!button->isVisible() || button->text().isEmpty()) continue;
        const int needed = button->fontMetrics().horizontalAdvance(button->text()) + button->style()->pixelMetric(QStyle::PM_ButtonMargin);
        if (needed > button->width())
            cuts.insert(where + " button \"" + button->text().toStdString() + "\" needs " + std::to_string(needed) + " px, has " +
                        std::to_string(button->width()));
    }
}

class WindowTextFit : public ::testing::TestWithParam<int> {
protected:
    void SetUp() override {
        g_workersLetGo.Close();
        ExportProgress::SetWorkerStartHook([](ExportProgress*) { HoldWorker(); });
        SaveRestoreScanResult::SetWorkerStartHook([](SaveRestoreScanResult*) { HoldWorker(); });
        wizard::StartWindowProgram(program_, disks_);
        file_ = MenuLanguageFile(GetParam());
        ASSERT_FALSE(file_.empty()) << "no language " << GetParam() << " in the menu";
        wizard::UseLanguage(GetParam(), file_.c_str());
        dlg_ = std::make_unique<CQZMUIDlg>();
        dlg_->Create();
        // Each window that shows is drawn and measured before it is answered.
        boxes_ = std::make_unique<wizard::ModalWatch>([this](QWidget* m) {
            if (auto* files = qobject_cast<QFileDialog*>(m)) {  // the system's own, typed into
                if (auto* name = files->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"))) name->setText(QString::fromStdString(program_->File("saved")));
                static_cast<QDialog*>(files)->accept();
                return;
            }
            if (!dynamic_cast<QZMMessageBox*>(m) && !dynamic_cast<AboutDlg*>(m) && !dynamic_cast<SaveRestoreScanResult*>(m) &&
                !dynamic_cast<SelExportPathDlg*>(m) && !dynamic_cast<ExportProgress*>(m) && !dynamic_cast<ExportResult*>(m) &&
                !dynamic_cast<WarmTipDlg*>(m) && !dynamic_cast<RecoveryTipInScanDlg*>(m))
                return;  // the preview window has an answer of its own
            const std::string saved = phase_;
            phase_ = uiwait::Describe(m);
            uiwait::Paint(m);
            CollectCutWidgets(m, phase_, cuts_);
            wizard::Shot(m, "fit-" + Tag() + "-" + dialogShot_ + std::to_string(++dialogs_));
            phase_ = saved;
            if (auto* folder = dynamic_cast<SelExportPathDlg*>(m)) {
                folder->SetQuiet(true);
                folder->SetPath(program_->File("recovered"));
                SendMessage(folder->Handle(), WM_COMMAND, SelExportPathDlg::kItemOk, 0);
            } else if (dynamic_cast<ExportProgress*>(m) || dynamic_cast<SaveRestoreScanResult*>(m)) {
                g_workersLetGo.Open();
                EXPECT_TRUE(wizard::PumpUntil([m] { return !m->isVisible(); }, "the end of the recovery or the save"));
                g_workersLetGo.Close();
            } else if (dynamic_cast<ExportResult*>(m)) {
                recovered_ = true;
                wizard::EndModal(m, IDOK);
            } else {
                if (dynamic_cast<AboutDlg*>(m)) aboutShown_ = true;
                if (auto* box = dynamic_cast<QZMMessageBox*>(m)) messages_.push_back(box->Text());
                wizard::EndModal(m, 1);
            }
        });
        // A folder the user chose may be longer than any window: it is shortened by design.
        previous_ = ui::SetDrawnTextObserver([this](const ui::DrawnText& t) {
            if (t.cut && t.text.rfind(program_->File(""), 0) != 0)
                cuts_.insert(phase_ + ": \"" + t.text + "\" needs " + std::to_string(t.neededWidth) + " x " + std::to_string(t.neededHeight) +
                                " px in " + t.fontFamily + ", has " + std::to_string(t.rect.Width()) + " x " + std::to_string(t.rect.Height()));
        });
    }
    void TearDown() override {
        ui::SetDrawnTextObserver(previous_);
        g_workersLetGo.Open();
        ExportProgress::SetWorkerStartHook(nullptr);
        SaveRestoreScanResult::SetWorkerStartHook(nullptr);
        wizard::DeepScanStart().Open();
        if (dlg_ && dlg_->CurrentPage() == dlg_->ResultPage()->GetHwnd() &&
            wizard::ClickItem(dlg_->ResultPage()->Progress(), RecoveryProgressWnd::kItemHome)) {
            EXPECT_TRUE(wizard::PumpUntil([&] { return dlg_->CurrentPage() == dlg_->FileTypePage()->GetHwnd(); }, "home"));
        }
        boxes_.reset();
        dlg_.reset();
        RecoveryGraph::Instance().SetControllerFactory(nullptr);
        RecoveryGraph::Instance().SetStopRequested(0);
        UiResources::Instance().SetLanguage(0, "English.dat");
        SetUiLanguage(0, "English.dat");
        ::unsetenv("XDG_STATE_HOME");
        program_.reset();
    }
    // Draws the main window now and keeps its picture.
    void Look(const std::string& phase) {
        phase_ = phase;
        uiwait::Paint(dlg_.get());
        EXPECT_TRUE(wizard::Shot(dlg_.get(), "fit-" + Tag() + "-" + phase));
    }
    void ExpectNothingCut() const {
        std::string all;
        for (const std::string& c : cuts_) all += c + "\n";
        EXPECT_TRUE(cuts_.empty()) << file_ << ": " << cuts_.size() << " cut texts:\n" << all;
    }
    std::string Tag() const { return fs::path(file_).stem().string(); }
    CFileSelCtrlContainer& Container() { return *dlg_->ResultPage()->Browser()->Container(); }
    static int RowOf(const std::string& name) {
        CFileListData& list = CFileListData::FolderModel();
        for (int r = 0; r < list.GetCount(); ++r)
            if (RefHolder<FileList_Item>(list.GetItem(r))->name.ends_with(name)) return r;
        return -1;
    }
    void OpenRow(int row) {
        CFileListCtrl* list = Container().Right()->Details();
        QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, list->visualRect(list->model()->index(row, 0)).center());
        testutil::WaitForRows();
    }

    testutil::TempDir disks_;
    std::unique_ptr<wizard::ProgramFolderScope> program_;
    std::unique_ptr<CQZMUIDlg> dlg_;
    std::unique_ptr<wizard::ModalWatch> boxes_;
    ui::DrawnTextObserver previous_;
    std::string file_, phase_, dialogShot_ = "dialog-";
    std::set<std::string> cuts_;
    int dialogs_ = 0;
    bool recovered_ = false, aboutShown_ = false;
    std::vector<std::string> messages_;
};

TEST_P(WindowTextFit, EveryTextOfTheMainWindowAndThePreviewShowsWhole) {
    Look("1-types");
    auto& place = *dlg_->PlacePage();
    ASSERT_TRUE(wizard::ClickItem(*dlg_->FileTypePage(), UiCtrl::SelFileTypeWnd::kItemNext));
    ASSERT_TRUE(wizard::PumpUntil([&] { return dlg_->CurrentPage() == place.GetHwnd() && !place.TimerRunning(); }, "the place page"));
    Look("2-place");
    // The place page is left again by its back item; the scan goes through the same pages.
    ASSERT_TRUE(wizard::ClickItem(place, SelDataLostPartitionWnd::kItemBack));
    ASSERT_TRUE(wizard::PumpUntil([&] { return dlg_->CurrentPage() == dlg_->FileTypePage()->GetHwnd(); }, "the file-type page"));
    ASSERT_NO_FATAL_FAILURE(wizard::ScanVolumeByTile(*dlg_, "FAT16"));
    Look("3-result");

    // A found picture opened from the list: the preview window, its buttons whole.
    CFileVirtualNodeManager::Instance().ShowFolder(CFileVirtualNodeManager::Instance().PathRoot());
    testutil::WaitForRows();
    const int photos = RowOf("Photos");
    ASSERT_GE(photos, 0);
    OpenRow(photos);
    const int picture = RowOf(".jpg");
    ASSERT_GE(picture, 0);
    bool shown = false;
    wizard::ModalWatch answer([&](QWidget* w) {
        auto* frame = dynamic_cast<PreviewFrameDlg*>(w);
        if (!frame || !qobject_cast<CFilePreViewDlg*>(&frame->Content()) || shown) return;
        shown = true;
        phase_ = "4-preview";
        uiwait::Paint(frame);
        CollectCutWidgets(frame, phase_, cuts_);
        phase_ = "3-result";
        EXPECT_TRUE(wizard::Shot(frame, "fit-" + Tag() + "-4-preview"));
        wizard::EndModal(frame, 0);
    });
    OpenRow(picture);
    ASSERT_TRUE(wizard::PumpUntil([&] { return shown; }, "the preview window"));

    // The same window as a preview during a scan shows it: with the line that says the scan waits.
    RefHolder<FileList_Item> row(CFileListData::FolderModel().GetItem(picture));
    ASSERT_TRUE(row && row->fileNode);
    CFilePreViewDlg paused(dlg_.get(), CHeldFile::Take(row->fileNode), row->name, program_->File("no-copy.jpg"), PreviewMode::Picture, true);
    paused.show();
    uiwait::Flush();
    ASSERT_NE(paused.Warning(), nullptr);
    // The strip's picture and text stand 8 pixels from its top; its button rises from half its
    // height and 8 pixels above the strip's middle to 5 pixels below it.
    const CWarningDialog& warning = *paused.Warning();
    for (const QLabel* label : warning.findChildren<QLabel*>()) EXPECT_EQ(label->y(), 8);
    const int half = warning.height() / 2, button = ui::ButtonBitmap(CWarningDialog::kCloseBitmap)->height();
    const QWidget* close = warning.CloseButton();
    EXPECT_EQ(std::pair(close->y(), close->y() + close->height()), std::pair(half - button / 2 - 8, half + 5));
    // The strip shows the program's own warning picture. Both sides take the same road through a
    // pixmap: how half-transparent pixels round on it depends on the machine's vector code.
    const QImage* mark = ui::ButtonBitmap(CWarningDialog::kPictureBitmap);
    ASSERT_NE(mark, nullptr);
    EXPECT_EQ(paused.Warning()->Picture().toImage().convertToFormat(QImage::Format_ARGB32),
              QPixmap::fromImage(*mark).toImage().convertToFormat(QImage::Format_ARGB32));
    // German captions have button pictures of their own, Recovery's wide enough for its word.
    const bool german = GetUiLanguage() == 2;
    using Picture = std::pair<QWidget*, int>;
    for (const auto& [widget, picture] : {Picture{paused.RecoveryButton(), german ? 385 : 350}, Picture{paused.CloseButton(), german ? 204 : 200}}) {
        auto* button = static_cast<CButtonPlus*>(widget);
        ASSERT_NE(ui::ButtonBitmap(picture), nullptr);
        EXPECT_EQ(button->NormalSize(), ui::ButtonBitmap(picture)->size()) << button->text().toStdString();
        const QFontMetrics metrics(ui::ButtonFont(*button, 16, 400));
        EXPECT_LT(metrics.horizontalAdvance(button->text()), button->width() - 8) << button->text().toStdString() << " fills its button";
    }
    CollectCutWidgets(&paused, "preview during a scan", cuts_);
    EXPECT_TRUE(wizard::Shot(&paused, "fit-" + Tag() + "-5-preview-paused"));

    // The program's About window from the main menu; the result saved from the strip's item.
    ASSERT_TRUE(wizard::ChooseMenuEntry(*dlg_, CQZMUIDlg::kMenuAbout));
    ASSERT_TRUE(wizard::PumpUntil([&] { return aboutShown_; }, "the About window"));
    // The save's progress window is drawn while its worker waits; the message after it says it saved.
    const std::string saved = UiResources::Instance().GetString("ExportOk");
    ASSERT_TRUE(wizard::ClickItem(dlg_->ResultPage()->Progress(), RecoveryProgressWnd::kItemSaveScan));
    ASSERT_TRUE(wizard::PumpUntil([&] { return std::find(messages_.begin(), messages_.end(), saved) != messages_.end(); },
                                  "the message that the result was saved"));

    // The found files recovered from the strip's item: the destination, progress and result
    // windows and the tip after them.
    fs::create_directories(program_->File("recovered"));
    ASSERT_TRUE(wizard::ClickItem(dlg_->ResultPage()->Progress(), RecoveryProgressWnd::kItemRecover));
    ASSERT_TRUE(wizard::PumpUntil([&] { return recovered_; }, "the recovery's result window"));
    EXPECT_GE(dialogs_, 3);
    ExpectNothingCut();
}

// The deep scan offered after a scan, started and paused from the strip: the strip and the
// page's tip while it runs and paused, the recovery tip of a paused scan, and the question when
// the window is closed during it.
TEST_P(WindowTextFit, EveryTextOfARunningScanAndItsClosingShowsWhole) {
    dialogShot_ = "scan-dialog-";
    ASSERT_NO_FATAL_FAILURE(wizard::ScanVolumeByTile(*dlg_, "FAT16"));
    UiCtrl::RecoveryGraphWnd& page = *dlg_->ResultPage();
    RecoveryProgressWnd& strip = page.Progress();
    wizard::DeepScanStart().Close();
    RecoveryGraph::Instance().SetControllerFactory(&wizard::MakeHeldDeepScan);
    const auto tipSays = [&](const char* key) { return page.Tip().IsShown() && page.Tip().Text() == UiResources::Instance().GetString(key); };
    ASSERT_TRUE(wizard::ClickItem(strip, RecoveryProgressWnd::kItemDeepScan));
    ASSERT_TRUE(wizard::PumpUntil([&] { return strip.GetState() == kProgressRunning && tipSays("TipDeep"); }, "the deep scan and its tip"));
    Look("6-scanning");
    ASSERT_TRUE(wizard::ClickItem(strip, RecoveryProgressWnd::kItemPause));
    ASSERT_TRUE(wizard::PumpUntil([&] { return strip.GetState() == kProgressPaused && tipSays("Sure2Pause"); }, "the pause and its tip"));
    Look("7-paused");
    // The tip a recovery from the browser brings while the scan waits for it.
    RecoveryTipInScanDlg(page.GetHwnd()).DoModal();
    const std::string exit = UiResources::Instance().GetString("ExitNow");
    wizard::DeepScanStart().Open();
    wizard::ClickCaptionItem(*dlg_, HomeBaseDialog::kCmdClose);
    ASSERT_TRUE(wizard::PumpUntil([&] { return std::find(messages_.begin(), messages_.end(), exit) != messages_.end() && !RecoveryGraph::Instance().IsScanRunning(); },
                                  "the closing question and the scan's end"));
    EXPECT_GE(dialogs_, 2);
    ExpectNothingCut();
}

INSTANTIATE_TEST_SUITE_P(MenuLanguages, WindowTextFit, ::testing::Range(0, 6),
                         [](const ::testing::TestParamInfo<int>& info) { return "language" + std::to_string(info.param); });

}  // namespace
