// The result of a recovery whose files did not all come back, and the tip after a recovery: it shows while Config.dat says so, its check box turns it off for
// later runs and back on, the keyboard cannot close it, and its link opens the language file's
// address. Saved to <build>/screenshots/ for review.
#include <gtest/gtest.h>

#include <QApplication>
#include <QTest>
#include <QTimer>
#include <filesystem>
#include <tuple>

#include "TestUtil.h"
#include "ui/UiWait.h"
#include "core/Settings.h"
#include "app/dialogs/ExportResult.h"
#include "app/dialogs/WarmTipDlg.h"
#include "app/ui/SkinItems.h"
#include "app/ui/UiLanguage.h"
#include "app/ui/UiResources.h"
#include "platform/ProgramDir.h"
#include "platform/ui/WinDefs.h"

namespace {

namespace fs = std::filesystem;

std::vector<std::string> g_urls;
bool RecordUrl(const std::string& url) {
    g_urls.push_back(url);
    return true;
}

QApplication& App() {
    static int argc = 1;
    static char name[] = "warmtip";
    static char* argv[] = {name, nullptr};
    if (!QApplication::instance()) new QApplication(argc, argv);
    uiwait::InstallModalGuard();
    return *static_cast<QApplication*>(QApplication::instance());
}

class RecoveryDialogs : public ::testing::Test {
protected:
    void SetUp() override {
        App();
        saved_ = GetProgramDir();
        for (const auto& entry : fs::directory_iterator(saved_)) {
            const std::string ext = entry.path().extension().string();
            if (ext == ".dat" || ext == ".xml") fs::copy_file(entry.path(), dir_.File(entry.path().filename()));
        }
        SetProgramDir(dir_.Path() + "/");
        // The user's own settings are never touched: Config.dat changes land in the test's folder.
        if (const char* old = std::getenv("XDG_CONFIG_HOME")) savedXdg_ = old;
        ::setenv("XDG_CONFIG_HOME", dir_.File("config").c_str(), 1);
        UiResources::Instance().SetLanguage(0, "English.dat");
        SetUiLanguage(0, "English.dat");
        WarmTipDlg::SetUrlOpener(RecordUrl);
        g_urls.clear();
    }
    void TearDown() override {
        WarmTipDlg::SetUrlOpener(nullptr);
        SetProgramDir(saved_);
        if (savedXdg_.empty()) ::unsetenv("XDG_CONFIG_HOME");
        else ::setenv("XDG_CONFIG_HOME", savedXdg_.c_str(), 1);
    }
    testutil::TempDir dir_;
    std::string saved_;
    std::string savedXdg_;
};

void Click(WarmTipDlg& tip, int x, int y) {
    tip.OnMessage(WM_MOUSEMOVE, 0, MAKELPARAM(x, y));
    tip.OnMessage(WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(x, y));
    tip.OnMessage(WM_LBUTTONUP, 0, MAKELPARAM(x, y));
}

void ClickItem(WarmTipDlg& tip, int id) {
    const RECT r = tip.GetItem(id)->GetRect();
    Click(tip, (r.left + r.right) / 2, (r.top + r.bottom) / 2);
}

TEST_F(RecoveryDialogs, WarmTipTheCheckBoxTurnsItOffAndOnTheKeysDoNotCloseItAndTheLinkOpensTheAddress) {
    ASSERT_EQ(ConfigShowWarm(), 1);
    int shown = 0;
    uiwait::ModalWatch answer(uiwait::OfType<WarmTipDlg>([&](WarmTipDlg* tip) {
        ++shown;
        ASSERT_NE(tip->GetItem(WarmTipDlg::kItemDontShow), nullptr);
        ASSERT_NE(tip->GetItem(WarmTipDlg::kItemClose), nullptr);
        EXPECT_TRUE(tip->PreTranslateMessage(WM_KEYDOWN, VK_ESCAPE, 0));
        EXPECT_TRUE(tip->PreTranslateMessage(WM_KEYDOWN, VK_RETURN, 0));
        EXPECT_FALSE(tip->PreTranslateMessage(WM_KEYDOWN, 'A', 0));
        tip->grab().save(QString::fromStdString(std::string(MORVENDA_BINARY_DIR) + "/screenshots/warmtip-01.png"));
        // The link area, between the items: the language file's address.
        Click(*tip, (WarmTipDlg::kLinkRect.left + WarmTipDlg::kLinkRect.right) / 2,
              (WarmTipDlg::kLinkRect.top + WarmTipDlg::kLinkRect.bottom) / 2);
        QApplication::processEvents();
        ClickItem(*tip, WarmTipDlg::kItemDontShow);
        QApplication::processEvents();
        EXPECT_EQ(ConfigShowWarm(), 0);
        ClickItem(*tip, WarmTipDlg::kItemDontShow);
        QApplication::processEvents();
        EXPECT_EQ(ConfigShowWarm(), 1);
        ClickItem(*tip, WarmTipDlg::kItemDontShow);
        QApplication::processEvents();
        tip->grab().save(QString::fromStdString(std::string(MORVENDA_BINARY_DIR) + "/screenshots/warmtip-02-checked.png"));
        EXPECT_TRUE(tip->isVisible());
        ClickItem(*tip, WarmTipDlg::kItemClose);
    }));
    fs::create_directories(std::string(MORVENDA_BINARY_DIR) + "/screenshots");
    ShowWarmTipIfWanted(nullptr);
    EXPECT_EQ(shown, 1);
    EXPECT_EQ(g_urls, std::vector<std::string>{UiResources::Instance().GetString("TBUrl")});
    EXPECT_FALSE(g_urls.empty() || g_urls[0].empty());
    // Turned off: the next recovery shows nothing.
    EXPECT_EQ(ConfigShowWarm(), 0);
    ShowWarmTipIfWanted(nullptr);
    EXPECT_EQ(shown, 1);
}

// The thank-you picture covers the whole face in every language: wherever no text or item is
// drawn, the face shows the picture's own pixel.
TEST_F(RecoveryDialogs, WarmTipDrawsItsPictureOverItsWholeFaceInEveryLanguage) {
    const std::tuple<int, const char*, const char*> languages[] = {{0, "English.dat", "en"}, {2, "Deutsch.dat", "de"}, {1, "Japanese.dat", "ja"}};
    for (const auto& [index, file, tag] : languages) {
        SCOPED_TRACE(file);
        UiResources::Instance().SetLanguage(index, file);
        SetUiLanguage(index, file);
        const QImage* picture = UiResources::Instance().LoadImageFromResource(kResTypeBitmap, WarmTipDlg::kFirstPicture + index);
        ASSERT_NE(picture, nullptr) << "no picture for the language";
        ASSERT_EQ(picture->size(), QSize(WarmTipDlg::kWidth, WarmTipDlg::kHeight));
        int shown = 0;
        uiwait::ModalWatch answer(uiwait::OfType<WarmTipDlg>([&](WarmTipDlg* tip) {
            ++shown;
            const QImage face = tip->grab().toImage();
            face.save(QString::fromStdString(std::string(MORVENDA_BINARY_DIR) + "/screenshots/warmtip-" + tag + ".png"));
            ASSERT_EQ(face.size(), QSize(WarmTipDlg::kWidth, WarmTipDlg::kHeight));
            // The left band and the corners, clear of the texts (from x 170) and the items.
            for (const QPoint at : {QPoint(2, 2), QPoint(10, 60), QPoint(10, 200), QPoint(150, 10), QPoint(537, 2), QPoint(537, 200),
                                    QPoint(2, 342), QPoint(300, 342)}) {
                EXPECT_EQ(face.pixelColor(at).rgb(), picture->pixelColor(at).rgb()) << "at " << at.x() << ", " << at.y();
            }
            ClickItem(*tip, WarmTipDlg::kItemClose);
        }));
        ShowWarmTipIfWanted(nullptr);
        EXPECT_EQ(shown, 1);
    }
}

std::vector<std::string> g_folders;
bool RecordFolder(const std::string& folder) {
    g_folders.push_back(folder);
    return true;
}

TEST_F(RecoveryDialogs, AResultWithFilesNotRecoveredWholeSaysSoAndOnlyASuccessOpensTheFolder) {
    SetFolderOpener(RecordFolder);
    struct Case {
        const char* shot;
        u32 writerResult;
        u64 written, incomplete, failed;
        bool opened;
    } cases[] = {
        {"export-05-result-one-file-failed", kRecoverOk, 11, 0, 1, false},
        {"export-06-result-completed-one-file", kRecoverOk, 1, 0, 0, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.shot);
        g_folders.clear();
        ExportResult result(nullptr);
        result.targetPath = dir_.File("Recovered data 12-07-2026 at 10_00_00");
        result.counts.written = c.written;
        result.counts.incomplete = c.incomplete;
        result.counts.failed = c.failed;
        result.fileCount = c.written + c.incomplete + c.failed;
        result.success = ExportSucceeded(c.writerResult, result.counts);
        uiwait::ModalWatch answer(uiwait::OfType<ExportResult>([&](ExportResult* shown) {
            shown->grab().save(QString::fromStdString(std::string(MORVENDA_BINARY_DIR) + "/screenshots/" + c.shot + ".png"));
            shown->EndDialog(IDOK);
        }));
        result.DoModal();
        EXPECT_EQ(answer.Seen(), 1);
        EXPECT_EQ(g_folders.size(), c.opened ? 1u : 0u);
    }
    SetFolderOpener(nullptr);
}

TEST_F(RecoveryDialogs, ACompletedResultShowsItsPictureAndThePathAsALinkThatOpensTheFolder) {
    SetFolderOpener(RecordFolder);
    for (const auto& [index, file, tag] :
         {std::tuple{0, "English.dat", "en"}, std::tuple{2, "Deutsch.dat", "de"}, std::tuple{1, "Japanese.dat", "ja"}}) {
        SCOPED_TRACE(tag);
        UiResources::Instance().SetLanguage(index, file);
        SetUiLanguage(static_cast<u32>(index), file);
        g_folders.clear();
        ExportResult result(nullptr);
        result.targetPath = dir_.File("Recovered data 12-07-2026 at 10_00_00");
        result.counts.written = 3;
        result.fileCount = 3;
        result.success = true;
        uiwait::ModalWatch answer(uiwait::OfType<ExportResult>([&](ExportResult* shown) {
            auto* label = dynamic_cast<UiCtrl::UIStaticItem*>(shown->GetClientItem(ExportResult::kItemPathLabel));
            auto* link = dynamic_cast<UiCtrl::UILinkItem*>(shown->GetClientItem(ExportResult::kItemPathLink));
            UiCtrl::UiItem* picture = shown->GetClientItem(ExportResult::kItemPicture);
            ASSERT_TRUE(label && link && picture);
            EXPECT_TRUE(link->IsVisible() && label->IsVisible() && picture->IsVisible());
            EXPECT_EQ(link->Text(), result.targetPath);
            EXPECT_EQ(link->GetRect().left, label->GetTextRect().right + 4) << "the link follows its label";
            shown->grab().save(QString::fromStdString(std::string(MORVENDA_BINARY_DIR) + "/screenshots/export-07-result-link-" + tag + ".png"));
            // The folder opened as the dialog showed; a click on the link opens it again.
            ASSERT_EQ(g_folders.size(), 1u);
            const RECT r = link->GetRect();
            const QPoint at(HomeBaseDialog::ClientToWindowX((r.left + r.right) / 2), HomeBaseDialog::ClientToWindowY((r.top + r.bottom) / 2));
            QTest::mouseMove(shown, at);
            QTest::mouseClick(shown, Qt::LeftButton, {}, at);
            uiwait::Flush();
            EXPECT_EQ(g_folders, (std::vector<std::string>{result.targetPath, result.targetPath}));
            shown->EndDialog(IDOK);
        }));
        result.DoModal();
        EXPECT_EQ(answer.Seen(), 1);
    }
    UiResources::Instance().SetLanguage(0, "English.dat");
    SetUiLanguage(0, "English.dat");
    SetFolderOpener(nullptr);
}

}  // namespace
