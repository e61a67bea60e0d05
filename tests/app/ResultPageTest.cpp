// The result page on its own, offscreen: a name search waits in the page's wait box while the
// search thread runs and ends with the hits listed; the tip before a recovery in a paused scan,
// and the session's wish to skip it once; the warning pictures of the recovery's dialogs. Saved
// to <build>/screenshots/ for review.
#include <gtest/gtest.h>

#include <QApplication>
#include <filesystem>
#include <map>
#include <typeinfo>

#include "../browser/BrowserTestTree.h"
#include "TestUtil.h"
#include "ui/UiWait.h"
#include "app/dialogs/ExportResult.h"
#include "app/dialogs/FreezeTipDlg.h"
#include "app/dialogs/RecoveryTipInScanDlg.h"
#include "app/dialogs/SelExportPathDlg.h"
#include "app/pages/RecoveryGraphWnd.h"
#include "app/ui/UiLanguage.h"
#include "app/ui/UiResources.h"
#include "browser/model/ListModel.h"
#include "browser/model/NodeManager.h"
#include "core/Settings.h"
#include "engine/Progress.h"
#include "engine/RecoveryGraph.h"
#include "platform/ProgramDir.h"
#include "platform/ui/Window.h"

namespace {

namespace fs = std::filesystem;
using FileSelCtrl::CFileListData;
using FileSelCtrl::CFileVirtualNodeManager;

void EnsureApp() {
    static int argc = 1;
    static char name[] = "test_app";
    static char* argv[] = {name, nullptr};
    if (!qApp) new QApplication(argc, argv);
    ui::InstallWindowPost();
    uiwait::InstallModalGuard();
}

void UseLanguage(u32 id, const char* file) {
    UiResources::Instance().SetLanguage(id, file);
    SetUiLanguage(id, file);
}

std::string Shot(const std::string& name) {
    const std::string folder = std::string(MORVENDA_BINARY_DIR) + "/screenshots/";
    fs::create_directories(folder);
    return folder + name + ".png";
}

// A scan that runs, for the session's pause.
class RunningScan : public IProgress {
public:
    i32 OnProgress(const ProgressInfo*) override { return 0; }
    u32 Continued() override { return 1; }
    u32 GetState() override { return kProgressRunning; }
};

class ResultPage : public ::testing::Test {
protected:
    void SetUp() override {
        EnsureApp();
        saved_ = GetProgramDir();
        for (const auto& entry : fs::directory_iterator(saved_)) {
            const std::string ext = entry.path().extension().string();
            if (ext == ".dat" || ext == ".xml") fs::copy_file(entry.path(), dir_.File(entry.path().filename()));
        }
        SetProgramDir(dir_.Path() + "/");
        // The user's own settings are never touched: Config.dat changes land in the test's folder.
        if (const char* old = std::getenv("XDG_CONFIG_HOME")) savedXdg_ = old;
        ::setenv("XDG_CONFIG_HOME", dir_.File("config").c_str(), 1);
        UseLanguage(0, "English.dat");
        page_ = std::make_unique<UiCtrl::RecoveryGraphWnd>();
        page_->Create(nullptr, nullptr, ui::MakeRect(0, 0, 900, 520), WS_CHILD);
        page_->Widget()->resize(900, 520);
        page_->OnSize(0, 0);
    }
    void TearDown() override {
        page_.reset();
        UseLanguage(0, "English.dat");
        SetProgramDir(saved_);
        if (savedXdg_.empty()) ::unsetenv("XDG_CONFIG_HOME");
        else ::setenv("XDG_CONFIG_HOME", savedXdg_.c_str(), 1);
    }
    testutil::TempDir dir_;
    std::string saved_;
    std::string savedXdg_;
    std::unique_ptr<UiCtrl::RecoveryGraphWnd> page_;
};

void Drain() {
    CFileVirtualNodeManager& manager = CFileVirtualNodeManager::Instance();
    while (manager.ProcessPending(kInfinite)) {
    }
}

TEST_F(ResultPage, ASearchWaitsInItsBoxUntilTheThreadHasSearchedAndItsHitsAreListed) {
    ASSERT_NE(page_->Browser(), nullptr);
    CFileSystemNode* root = browsertest::Root();
    CFileNode* photos = browsertest::Add(root, "Photos", true);
    for (int i = 0; i < 40; ++i) browsertest::Add(photos, "IMG_" + std::to_string(i) + ".JPG", false, 100 + i);
    browsertest::Add(root, "letter.doc", false, 10);
    CFileVirtualNodeManager::Instance().AddFileSystemNode(root, nullptr, nullptr, true);
    Drain();

    for (const auto& [language, file, suffix] : {std::tuple{0u, "English.dat", "en"}, std::tuple{1u, "Deutsch.dat", "de"}}) {
        SCOPED_TRACE(file);
        UseLanguage(language, file);
        page_->ApplyLanguage();
        std::string waitText;
        uiwait::ModalWatch box(uiwait::OfType<FreezeTipDlg>([&](FreezeTipDlg* wait) { waitText = wait->ShownText(); }));
        EXPECT_EQ(SendMessage(page_->GetHwnd(), WM_UI_DO_SEARCH, reinterpret_cast<WPARAM>("img"), 0),
                  UiCtrl::RecoveryGraphWnd::kSearchDone);
        EXPECT_EQ(box.Seen(), 1) << "the page waits in its box while the search runs";
        EXPECT_EQ(page_->Busy(), 0u);
        // The box may be gone before its answer ran; when it ran, it said what it waits for.
        if (!waitText.empty()) {
            EXPECT_EQ(waitText, UiResources::Instance().GetString("Wait4Search"));
        }
        ASSERT_TRUE(uiwait::Until(
            [] {
                Drain();
                return CFileListData::IsSearchShown() && CFileListData::SearchModel().GetCount() == 40;
            },
            "the search's 40 hits, listed in the search view"));
        uiwait::Paint(page_->Widget());
        page_->Widget()->grab().save(QString::fromStdString(Shot(std::string("result-page-search-") + suffix)));
    }
    EXPECT_EQ(SendMessage(page_->GetHwnd(), WM_UI_DO_SEARCH, 0, 0), UiCtrl::RecoveryGraphWnd::kSearchNoBrowser);

    page_.reset();
    CFileVirtualNodeManager::Instance().ClearAll();
    browsertest::Free(root);
}

TEST_F(ResultPage, TheTipBeforeARecoveryInAPausedScanIsSkippedOnceWhenTheSessionAsks) {
    RecoveryGraph& session = RecoveryGraph::Instance();
    RunningScan scan;
    session.SetProgress(&scan, nullptr, nullptr);
    ASSERT_EQ(ConfigShowTip(), 1);
    int tips = 0;
    uiwait::ModalWatch answer(uiwait::OfType<RecoveryTipInScanDlg>([&](RecoveryTipInScanDlg* tip) {
        ++tips;
        tip->OnCommand(RecoveryTipInScanDlg::kItemCancel, 0);
    }));

    // Not paused for the recovery: no tip, and the skip waits for a recovery that is.
    session.SetSkipTip(1);
    EXPECT_TRUE(page_->ConfirmRecoveryInPause());
    EXPECT_EQ(tips, 0);
    EXPECT_EQ(session.GetSkipTip(), 1u);

    ASSERT_EQ(session.PauseScan(true), 0);
    ASSERT_EQ(session.GetPausedBySession(), 1u);
    // Skipped once: the flag is used up, and the next recovery asks again.
    EXPECT_TRUE(page_->ConfirmRecoveryInPause());
    EXPECT_EQ(tips, 0);
    EXPECT_EQ(session.GetSkipTip(), 0u);
    EXPECT_FALSE(page_->ConfirmRecoveryInPause()) << "the declined tip ends the recovery";
    EXPECT_EQ(tips, 1);
    EXPECT_EQ(answer.Seen(), 1);

    session.PauseScan(false);
    session.SetProgress(nullptr, nullptr, nullptr);
}

// Pixels of the warning mark's amber in a picture of a window.
int AmberPixels(const QImage& image) {
    int n = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) {
            const QColor c = image.pixelColor(x, y);
            if (c.red() > 200 && c.green() > 110 && c.green() < 160 && c.blue() < 60) ++n;
        }
    return n;
}

// The warning note of the destination folder, the tip before a recovery in a paused scan and a
// failed recovery's result each show their warning picture.
TEST_F(ResultPage, TheDestinationNoteTheRecoveryTipAndAFailedResultShowTheirWarningPictures) {
    UiResources& res = UiResources::Instance();
    const QImage* note = res.LoadImageFromResource(kResTypeBitmap, SelExportPathDlg::kWarningPicture);
    const QImage* picture = res.LoadImageFromResource(kResTypeBitmap, ExportResult::kFailurePicture);
    ASSERT_NE(note, nullptr);
    ASSERT_NE(picture, nullptr);
    EXPECT_EQ(note->size(), QSize(16, 16));
    EXPECT_EQ(picture->size(), QSize(65, 65));
    SetFolderOpener([](const std::string&) { return true; });
    for (const auto& [language, file, suffix] : {std::tuple{0u, "English.dat", "en"}, std::tuple{1u, "Deutsch.dat", "de"}}) {
        SCOPED_TRACE(file);
        UseLanguage(language, file);
        std::map<std::string, int> amber;
        int shots = 1;
        uiwait::ModalWatch answer([&](QWidget* shown) {
            uiwait::Paint(shown);
            const QImage image = shown->grab().toImage();
            auto* dialog = dynamic_cast<HomeBaseDialog*>(shown);
            ASSERT_NE(dialog, nullptr);
            const std::string name = typeid(*dialog).name();
            amber[name] = AmberPixels(image);
            image.save(QString::fromStdString(Shot(std::string("warning-picture-") + std::to_string(shots++) + "-" + suffix)));
            dialog->EndDialog(IDCANCEL);
        });
        SelExportPathDlg folder(nullptr);
        folder.DoModal();
        RecoveryTipInScanDlg tip(nullptr);
        tip.DoModal();
        for (bool success : {false, true}) {
            ExportResult result(nullptr);
            result.targetPath = dir_.Path();
            result.success = success;
            result.DoModal();
            // The completed result has no warning: its count replaces the failed one's.
            if (!success) {
                EXPECT_GT(amber[typeid(ExportResult).name()], 0) << "a failed result shows the picture";
            }
        }
        EXPECT_EQ(answer.Seen(), 4);
        EXPECT_EQ(amber[typeid(ExportResult).name()], 0) << "a completed result shows none";
        EXPECT_GT(amber[typeid(SelExportPathDlg).name()], 0);
        EXPECT_GT(amber[typeid(RecoveryTipInScanDlg).name()], 0);
    }
    SetFolderOpener(nullptr);
}

// The destination folder dialog: a grey border shows left of its tree and above it, the rest of
// the tree's surroundings stay white.
TEST_F(ResultPage, TheDestinationDialogDrawsItsTreeBorder) {
    constexpr QRgb kBorder = qRgb(196, 196, 196);
    for (const auto& [language, file, suffix] :
         {std::tuple{0u, "English.dat", "en"}, std::tuple{2u, "Deutsch.dat", "de"}, std::tuple{1u, "Japanese.dat", "ja"}}) {
        SCOPED_TRACE(file);
        UseLanguage(language, file);
        uiwait::ModalWatch answer(uiwait::OfType<SelExportPathDlg>([&](SelExportPathDlg* shown) {
            uiwait::Paint(shown);
            const QImage image = shown->grab().toImage();
            image.save(QString::fromStdString(Shot(std::string("destination-") + suffix)));
            // In client coordinates: the band from x 20 to the tree's left at 23, from y 15 to its top at 17.
            const auto at = [&](int x, int y) {
                return image.pixel(HomeBaseDialog::ClientToWindowX(x), HomeBaseDialog::ClientToWindowY(y)) & 0xFFFFFF;
            };
            for (const int y : {20, 120, 230}) EXPECT_EQ(at(21, y), kBorder & 0xFFFFFF) << "left of the tree at y " << y;
            for (const int x : {30, 300, 550}) EXPECT_EQ(at(x, 15), kBorder & 0xFFFFFF) << "above the tree at x " << x;
            EXPECT_EQ(at(10, 120), 0xFFFFFFu) << "white beside the border";
            shown->EndDialog(IDCANCEL);
        }));
        SelExportPathDlg folder(nullptr);
        folder.DoModal();
        EXPECT_EQ(answer.Seen(), 1);
    }
    UseLanguage(0, "English.dat");
}

}  // namespace
