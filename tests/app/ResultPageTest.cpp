// The result page on its own, offscreen: a name search waits in the page's wait box while the
// search thread runs and ends with the hits listed; the tip before a recovery in a paused scan,
// and the session's wish to skip it once; the warning pictures of the recovery's dialogs; the
// dialogs' faces and what they report of the user's keys and clicks. Saved to
// <build>/screenshots/ for review.
#include <gtest/gtest.h>

#include <QApplication>
#include <QLineEdit>
#include <QPointer>
#include <QTest>
#include <algorithm>
#include <atomic>
#include <filesystem>
#include <functional>
#include <map>
#include <thread>
#include <typeinfo>

#include "../browser/BrowserScanFixture.h"
#include "../browser/BrowserTestTree.h"
#include "../browser/TreeClick.h"
#include "EventRecorder.h"
#include "Gate.h"
#include "TestUtil.h"
#include "ui/UiWait.h"
#include "ui/UrlCatcher.h"
#include "app/CheckUpdate.h"
#include "app/dialogs/ExportProgress.h"
#include "app/dialogs/ExportResult.h"
#include "app/dialogs/FreezeTipDlg.h"
#include "app/dialogs/RecoveryTipInScanDlg.h"
#include "app/dialogs/SaveRestoreScanResult.h"
#include "app/dialogs/SearchDlg.h"
#include "app/dialogs/SelExportPathDlg.h"
#include "app/dialogs/ShellTreeCtrl.h"
#include "app/pages/RecoveryGraphWnd.h"
#include "app/ui/MessageBox.h"
#include "app/ui/UiLanguage.h"
#include "app/ui/UiResources.h"
#include "browser/model/BrowserConfig.h"
#include "browser/model/BrowserSkin.h"
#include "browser/model/FileSelCtrl.h"
#include "browser/model/ListModel.h"
#include "browser/model/NodeManager.h"
#include "browser/views/Container.h"
#include "browser/views/Widgets.h"
#include "core/Settings.h"
#include "engine/HeadlessSinks.h"
#include "engine/Progress.h"
#include "engine/RecoveryGraph.h"
#include "platform/ProgramDir.h"
#include "platform/Stats.h"
#include "platform/ui/Dc.h"
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

// The search thread waits at its start until the test has looked at the page's wait box.
testutil::Gate g_searchLetGo;

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
        g_searchLetGo.Open();
        UiCtrl::RecoveryGraphWnd::SetSearchStartHook(nullptr);
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

    UiCtrl::RecoveryGraphWnd::SetSearchStartHook([](UiCtrl::RecoveryGraphWnd*) { EXPECT_TRUE(g_searchLetGo.Wait()) << "the search was never let go"; });
    for (const auto& [language, file, suffix] : {std::tuple{0u, "English.dat", "en"}, std::tuple{1u, "Deutsch.dat", "de"}}) {
        SCOPED_TRACE(file);
        UseLanguage(language, file);
        page_->ApplyLanguage();
        g_searchLetGo.Close();
        uiwait::ModalWatch box(uiwait::OfType<FreezeTipDlg>([&](FreezeTipDlg* wait) {
            EXPECT_EQ(wait->ShownText(), UiResources::Instance().GetString("Wait4Search")) << "what the box waits for";
            g_searchLetGo.Open();
        }));
        EXPECT_EQ(SendMessage(page_->GetHwnd(), WM_UI_DO_SEARCH, reinterpret_cast<WPARAM>("img"), 0),
                  UiCtrl::RecoveryGraphWnd::kSearchDone);
        EXPECT_EQ(box.Seen(), 1) << "the page waits in its box while the search runs";
        EXPECT_EQ(page_->Busy(), 0u);
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

    // From the browser's search command: the dialog posts the search and ends half a second after
    // the press while the search still runs, its wait box alone on screen.
    InstallSearchDialog();
    for (const auto& [language, file, suffix] : {std::tuple{0u, "English.dat", "en"}, std::tuple{2u, "Deutsch.dat", "de"},
                                                 std::tuple{1u, "Japanese.dat", "ja"}}) {
        SCOPED_TRACE(file);
        UseLanguage(language, file);
        page_->ApplyLanguage();
        g_searchLetGo.Close();
        QPointer<::SearchDlg> dialog;
        bool endedWhileSearching = false;
        uiwait::ModalWatch watch([&](QWidget* shown) {
            if (auto* search = dynamic_cast<::SearchDlg*>(shown)) {
                dialog = search;
                QTest::keyClicks(search->Edit(), "img");
                SendMessage(search->Handle(), WM_COMMAND, ::SearchDlg::kItemSearch, 0);
                EXPECT_TRUE(search->Searching()) << "the press handed the search on without waiting for it";
            } else if (auto* wait = dynamic_cast<FreezeTipDlg*>(shown)) {
                EXPECT_TRUE(uiwait::Until([&] { return !dialog || !dialog->isVisible(); }, "the search dialog's end while the search runs"));
                uiwait::Paint(page_->Widget());
                wait->grab().save(QString::fromStdString(Shot(std::string("search-running-dialog-ended-") + suffix)));
                endedWhileSearching = wait->isVisible() && page_->Busy() != 0;
                g_searchLetGo.Open();
            }
        });
        QMetaObject::invokeMethod(page_->Browser()->Container()->Right()->Commands(), "openSearch", Qt::DirectConnection);
        EXPECT_TRUE(uiwait::Until([&] { return watch.Seen() == 2 && page_->Busy() == 0; }, "the search's end"));
        EXPECT_TRUE(endedWhileSearching) << "the search dialog stayed open through the search";
    }

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

// The session's view; told idle off the UI thread (the scan thread's pause), it holds there until let go.
struct SlowToldView : CHeadlessDirectoryTree {
    void SetBuildState(bool building) override {
        if (!building && !ui::OnUiThread()) {
            ++offThreadAsks;
            EXPECT_TRUE(letGo.Wait()) << "the scan thread's ask was held and never let go";
        }
        this->building = building;
    }
    std::atomic<bool> building{false};
    std::atomic<int> offThreadAsks{0};
    testutil::Gate letGo;
};

// The scan thread pauses just as the user continues: the view stays building, for the scan runs on.
TEST_F(ResultPage, APauseTheScanThreadSawBeforeTheUsersContinueLeavesTheViewBuilding) {
    UiCtrl::RecoveryProgressWnd& strip = page_->Progress();
    SlowToldView view;
    RecoveryGraph::Instance().SetDirectoryTree(&view);
    strip.DoStart();
    strip.DoPause();
    std::thread scan([&] { strip.Continued(); });
    ASSERT_TRUE(uiwait::Until([&] { return view.offThreadAsks.load() > 0 || strip.RunState()->Get().waiting > 0; },
                              "the scan thread at its pause point"));
    strip.DoContinue();
    view.letGo.Open();
    scan.join();
    uiwait::Flush();
    EXPECT_TRUE(view.building) << "the view was left idle while the scan runs";
    strip.DoStop(false);
    RecoveryGraph::Instance().SetDirectoryTree(page_->Browser());
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

// Workers of the progress windows held at their start until the test has looked at the window.
std::atomic<bool> g_releaseWorkers{false};
void HoldWorker() {
    while (!g_releaseWorkers.load()) std::this_thread::yield();
}

void ClickClientItem(HomeBaseDialog* dialog, int id) {
    const RECT r = dialog->GetClientItem(id)->GetRect();
    const QPoint at(HomeBaseDialog::ClientToWindowX((r.left + r.right) / 2), HomeBaseDialog::ClientToWindowY((r.top + r.bottom) / 2));
    QTest::mouseMove(dialog, at);
    QTest::mouseClick(dialog, Qt::LeftButton, {}, at);
}

// Each dialog in four languages: white but for a one-pixel side edge and the band at its foot in the
// base colour; F1 opens help; Cancel in the recovery asks first; the destination dialog shows its
// tree's border and reports the chosen folder; the result's link opens its folder.
TEST_F(ResultPage, EachDialogIsWhiteAboveTheBandAtItsFootAndReportsWhatTheUserDoes) {
    constexpr QRgb kWhite = qRgb(255, 255, 255);
    constexpr QRgb kBase = qRgb(0xF4, 0xF4, 0xF4);
    constexpr QRgb kBorder = qRgb(196, 196, 196);
    constexpr int kDarkInk = 96;
    constexpr int kFootHeight = 45;
    constexpr u32 kStatsHelpKey = 8451, kStatsCancelConfirmed = 8707, kStatsPathLink = 8708, kStatsDestination = 12300;
    constexpr const char* kFileName = "IMG_0001.JPG";
    struct StatsTexts : testutil::EventRecorder {
        void RecordText(u32 code, const char* text) override { texts.emplace_back(code, text); }
        std::vector<std::pair<u32, std::string>> texts;
    } stats;
    SetStatsFallbackSink(&stats);
    uiwait::UrlCatcher help(QStringLiteral("https"));
    SetFolderOpener([](const std::string&) { return true; });
    ExportProgress::SetWorkerStartHook([](ExportProgress*) { HoldWorker(); });
    SaveRestoreScanResult::SetWorkerStartHook([](SaveRestoreScanResult*) { HoldWorker(); });
    std::vector<std::string> drawn, cut;
    const ui::DrawnTextObserver previous = ui::SetDrawnTextObserver([&](const ui::DrawnText& t) {
        drawn.push_back(t.text);
        // The destination lies wherever the suite is built and may be cut as a user's long path is.
        if (t.cut && t.text != dir_.Path())
            cut.push_back(t.text + " needs " + std::to_string(t.neededWidth) + " x " + std::to_string(t.neededHeight));
    });
    const auto text = [](const char* key) { return UiResources::Instance().GetString(key); };
    // The first row of dark ink from (left, top) to (right, top + 24) in the window's picture.
    const auto firstInkRow = [](const QImage& image, int left, int top, int right) {
        for (int y = top - 4; y < top + 24; ++y)
            for (int x = left; x < right; ++x)
                if (qGray(image.pixel(HomeBaseDialog::ClientToWindowX(x), HomeBaseDialog::ClientToWindowY(y))) < kDarkInk) return y;
        return -1;
    };
    std::vector<std::string> searched;
    const auto result = [&](bool success) {
        ExportResult dialog(nullptr);
        std::tie(dialog.targetPath, dialog.success, dialog.fileCount) = std::tuple{dir_.Path(), success, 2};
        (success ? dialog.counts.written : dialog.counts.failed) = 2;
        dialog.DoModal();
    };
    const struct {
        const char* name;
        std::function<void()> open;
    } dialogs[] = {
        {"message-box", [&] { ShowMessageBox(nullptr, text("RecoverLostDevice").c_str(), nullptr, MB_ICONWARNING); }},
        {"save-failed-box", [&] { ShowMessageBox(nullptr, (text("ExportFailed") + "\n" + text("ExportNoDisk")).c_str(), nullptr, MB_ICONWARNING); }},
        {"update-check", [] { CheckUpdate(nullptr).DoModal(); }},
        {"destination", [] { SelExportPathDlg(nullptr).DoModal(); }},
        {"recovery-progress", [] { ExportProgress(nullptr).DoModal(); }},
        {"save-progress", [&] { SaveRestoreScanResult(nullptr, ScanResultTransfer::kExport, dir_.File("band.rsf")).DoModal(); }},
        {"load-progress", [&] { SaveRestoreScanResult(nullptr, ScanResultTransfer::kImport, dir_.File("none.rsf")).DoModal(); }},
        {"search", [&] { ::SearchDlg([&](const std::string& text) { searched.push_back(text); }).DoModal(); }},
        {"recovery-failed", [&] { result(false); }},
        {"recovery-completed", [&] { result(true); }},
    };
    for (const auto& [language, file, suffix] : {std::tuple{0u, "English.dat", "en"}, std::tuple{2u, "Deutsch.dat", "de"},
                                                 std::tuple{1u, "Japanese.dat", "ja"}, std::tuple{4u, "Spanish.dat", "es"}}) {
        UseLanguage(language, file);
        // The search dialog's texts are the browser's, from the program's own folder.
        FileSelCtrl::LoadBrowserSkin(saved_ + "Res" + FileSelCtrl::CFileSelCtrlConfig::LanguageFolder(static_cast<int>(language)) +
                                         "/FileSelCtrl.xml",
                                     FileSelCtrl::Skin());
        for (const auto& dialog : dialogs) {
            SCOPED_TRACE(std::string(dialog.name) + " " + file);
            g_releaseWorkers.store(false);
            drawn.clear();
            stats.texts.clear();
            stats.events.clear();
            help.opened.clear();
            bool stop = false;
            int questions = 0;
            QPointer<QWidget> question;
            uiwait::ModalWatch answer([&](QWidget* shown) {
                if (auto* box = dynamic_cast<QZMMessageBox*>(shown); box && box->Text() == text("ConfirmCancel")) {
                    ++questions;
                    question = box;
                    ClickClientItem(box, stop ? QZMMessageBox::kIdFirst : QZMMessageBox::kIdSecond);
                    return;
                }
                auto* home = dynamic_cast<HomeBaseDialog*>(shown);
                ASSERT_NE(home, nullptr);
                if (auto* update = dynamic_cast<CheckUpdate*>(shown)) {
                    EXPECT_TRUE(uiwait::Until([&] { return !update->IsAnimating(); }, "the update check's result"));
                }
                if (auto* progress = dynamic_cast<ExportProgress*>(shown)) {
                    progress->OnBegin(3, 300);
                    progress->OnFileName(kFileName);
                    progress->OnBytesDone(120);
                    SendMessage(progress->Handle(), WM_TIMER, ExportProgress::kTimerId, 0);
                }
                // The destination tree offers a removable volume beside the system's.
                if (auto* folder = dynamic_cast<SelExportPathDlg*>(shown)) {
                    std::vector<DestinationVolume> volumes = MountedDestinationVolumes();
                    volumes.push_back({QStringLiteral("STICK"), QString::fromStdString(dir_.Path()), true});
                    folder->Tree()->Populate(volumes);
                    QAbstractItemModel* tree = folder->Tree()->model();
                    const QString removable = tree->index(tree->rowCount() - 1, 0).data().toString();
                    EXPECT_TRUE(removable.startsWith(QString::fromStdString("Removable (" + dir_.Path() + ") "))) << removable.toStdString();
                }
                drawn.clear();
                cut.clear();
                uiwait::Paint(shown);
                EXPECT_EQ(cut, std::vector<std::string>{}) << "texts that do not fit";
                const QImage image = shown->grab().toImage();
                image.save(QString::fromStdString(Shot(std::string("dialog-") + dialog.name + "-" + suffix)));
                const RECT client = home->ClientRect();
                const auto at = [&](int x, int y) {
                    return image.pixel(HomeBaseDialog::ClientToWindowX(x), HomeBaseDialog::ClientToWindowY(y)) | 0xFF000000u;
                };
                const int foot = client.bottom - kFootHeight;
                for (const int y : {foot / 2, foot - 1, foot, client.bottom - 1}) {
                    for (const int x : {1, int(client.right) - 2}) EXPECT_EQ(at(x, y), y < foot ? kWhite : kBase) << "x " << x << ", y " << y;
                    for (const int x : {0, int(client.right) - 1}) EXPECT_EQ(at(x, y), kBase) << "the edge at x " << x << ", y " << y;
                }
                QTest::keyClick(shown->focusWidget() ? shown->focusWidget() : shown, Qt::Key_F1);
                EXPECT_EQ(help.opened, std::vector<std::string>{text("helpUrl")});
                EXPECT_EQ(stats.events, std::vector<u32>{kStatsHelpKey});
                if (dynamic_cast<ExportProgress*>(shown)) {
                    const std::string line = UiResources::Instance().GetString("RecoveryFile") + kFileName;
                    EXPECT_NE(std::find(drawn.begin(), drawn.end(), line), drawn.end()) << "the name right after the text: " << line;
                    // Not a single line: the text stands at the top of its place, (15, 60)-(432, 80).
                    const QFontMetrics fm(*UiResources::Instance().GetFont(16, 100, false));
                    EXPECT_NEAR(firstInkRow(image, 15, 60, 432), 60 + fm.ascent() + fm.tightBoundingRect(QString::fromStdString(line)).top(), 1)
                        << "the text's first ink row";
                }
                if (auto* folder = dynamic_cast<SelExportPathDlg*>(shown)) {
                    // In client coordinates: the band from x 20 to the tree's left at 23, from y 15 to its top at 17.
                    for (const int y : {20, 120, 230}) EXPECT_EQ(at(21, y), kBorder) << "left of the tree at y " << y;
                    for (const int x : {30, 300, 550}) EXPECT_EQ(at(x, 15), kBorder) << "above the tree at x " << x;
                    EXPECT_EQ(at(10, 120), kWhite) << "the body beside the border";
                    const QString note = QString::fromStdString(UiResources::Instance().GetString("DontSaveInSrc"));
                    // The note's lines stand at the top of their places, never centred in them: from
                    // (40, 250) and (40, 270) in two lines, or wrapped from (40, 248).
                    const QFontMetrics fm(*UiResources::Instance().GetFont(16, 100, false));
                    const auto inkTop = [&](const QString& line, int top) { return top + fm.ascent() + fm.tightBoundingRect(line).top(); };
                    if (language == 4) {
                        const qsizetype cut = note.size() * 7 / 8;
                        EXPECT_NE(std::find(drawn.begin(), drawn.end(), note.left(cut).toStdString()), drawn.end());
                        EXPECT_NE(std::find(drawn.begin(), drawn.end(), note.mid(cut).toStdString()), drawn.end());
                        EXPECT_NEAR(firstInkRow(image, 40, 250, 570), inkTop(note.left(cut), 250), 1) << "the first line's first ink row";
                        EXPECT_NEAR(firstInkRow(image, 40, 270, 570), inkTop(note.mid(cut), 270), 1) << "the second line's first ink row";
                    } else {
                        EXPECT_NEAR(firstInkRow(image, 40, 248, 570), inkTop(note, 248), 1) << "the note's first ink row";
                    }
                    folder->SetPath(dir_.Path());
                    SendMessage(folder->Handle(), WM_COMMAND, SelExportPathDlg::kItemOk, 0);
                    EXPECT_EQ(stats.texts, (std::vector<std::pair<u32, std::string>>{{kStatsDestination, dir_.Path()}}));
                    return;
                }
                if (auto* progress = dynamic_cast<ExportProgress*>(shown)) {
                    for (const bool yes : {false, true}) {
                        stop = yes;
                        ClickClientItem(progress, ExportProgress::kItemCancel);
                        EXPECT_TRUE(uiwait::Until([&] { return questions == (yes ? 2 : 1) && !(question && question->isVisible()); },
                                                  "the answered question before the recovery stops"));
                        EXPECT_EQ(progress->CancelRequested(), yes);
                    }
                    EXPECT_EQ(stats.events, (std::vector<u32>{kStatsHelpKey, kStatsCancelConfirmed}));
                }
                if (dynamic_cast<ExportProgress*>(shown) || dynamic_cast<SaveRestoreScanResult*>(shown)) {
                    // Let go, the worker finds nothing to do and ends its window.
                    g_releaseWorkers.store(true);
                    return;
                }
                if (auto* search = dynamic_cast<::SearchDlg*>(shown)) {
                    // The field the name is typed into is grey from (30, 67) on, 350 by 17, beside
                    // its text as after it; the row above it is the dialog's white.
                    for (const auto& [x, y, rgb] : {std::tuple{30, 75, kBorder}, {379, 75, kBorder}, {30, 66, kWhite}, {200, 66, kWhite}, {380, 75, kWhite}})
                        EXPECT_EQ(at(x, y), rgb) << "at " << x << "," << y;
                    EXPECT_EQ(search->Edit()->size(), QSize(350, 17));
                    // Search hands the text on once and disables the field; the dialog stays half
                    // a second (held open here while it is looked at), a second press handing on
                    // nothing, and then ends by itself.
                    EXPECT_EQ(search->EndDelay(), 500);
                    search->SetEndDelay(static_cast<int>(uiwait::kGuard.count()));
                    QTest::keyClicks(search->Edit(), "img");
                    searched.clear();
                    for (int press = 0; press < 2; ++press) ClickClientItem(search, ::SearchDlg::kItemSearch);
                    EXPECT_EQ(searched, std::vector<std::string>{"img"});
                    EXPECT_TRUE(search->isVisible() && search->Searching());
                    EXPECT_FALSE(search->Edit()->isEnabled());
                    uiwait::Paint(shown);
                    shown->grab().save(QString::fromStdString(Shot(std::string("dialog-search-searching-") + suffix)));
                    search->SetEndDelay(0);
                    EXPECT_TRUE(uiwait::Until([&] { return !search->isVisible(); }, "the search dialog's own end"));
                    return;
                }
                if (auto* finished = dynamic_cast<ExportResult*>(shown)) {
                    // The title's first line stands at the top of its place from (68, 68), 12 lower on a failure.
                    const int top = finished->success ? 68 : 80;
                    const QFontMetrics fm(*UiResources::Instance().GetFont(17, 600, false));
                    const QString title = QString::fromStdString(text(finished->success ? "RecoveryCompleted" : "RecoveryFailed"));
                    EXPECT_NEAR(firstInkRow(image, 68, top, 450), top + fm.ascent() + fm.tightBoundingRect(title).top(), 1)
                        << "the title's first ink row";
                }
                if (auto* completed = dynamic_cast<ExportResult*>(shown); completed && completed->success) {
                    ClickClientItem(completed, ExportResult::kItemPathLink);
                    EXPECT_TRUE(uiwait::Until([&] { return stats.events.size() == 2; }, "the path link's report"));
                    EXPECT_EQ(stats.events, (std::vector<u32>{kStatsHelpKey, kStatsPathLink}));
                }
                home->EndDialog(IDCANCEL);
            });
            dialog.open();
            EXPECT_EQ(answer.Seen(), questions + 1);
        }
    }
    ui::SetDrawnTextObserver(previous);
    FileSelCtrl::LoadBrowserSkin(saved_ + "Res" + FileSelCtrl::CFileSelCtrlConfig::LanguageFolder(0) + "/FileSelCtrl.xml", FileSelCtrl::Skin());
    g_releaseWorkers.store(true);
    ExportProgress::SetWorkerStartHook(nullptr);
    SaveRestoreScanResult::SetWorkerStartHook(nullptr);
    SetFolderOpener(nullptr);
    SetStatsFallbackSink(nullptr);
    UseLanguage(0, "English.dat");
}

// A volume unchecked in the path tree, then files checked in the type tree or a bucket's list:
// the path tree's folders follow at once, so what the page counts is what its Recover writes.
TEST_F(ResultPage, WhatIsCheckedInTheTypeTabIsWhatTheRecoveryWrites) {
    using namespace FileSelCtrl;
    struct Scan : browsertest::ScanFixture {
        void TestBody() override {}
        using ScanFixture::browser, ScanFixture::ScanToEnd, ScanFixture::ReleaseScan;
    } scan;
    browsertest::StartScanApplication(testutil::FixturePath("ntfs-basic.img"));
    // The type tree sorts by the program's FileType.xml, read when the roots are made.
    page_.reset();
    fs::copy(saved_ + "Res", dir_.File("Res"), fs::copy_options::recursive);
    CFileVirtualNodeManager& manager = CFileVirtualNodeManager::Instance();
    manager.ReleaseRoots();
    manager.CreateRoots();
    page_ = std::make_unique<UiCtrl::RecoveryGraphWnd>();
    page_->Create(nullptr, nullptr, ui::MakeRect(0, 0, 900, 520), WS_CHILD);
    page_->Widget()->resize(900, 520);
    page_->Widget()->show();
    SetFolderOpener([](const std::string&) { return true; });
    auto click = [](QAbstractItemView* view, const QModelIndex& at, int wanted) {
        browsertest::ClickCheckBox(view, at);
        EXPECT_EQ(at.data(Qt::CheckStateRole).toInt(), wanted);
    };
    scan.browser = page_->Browser();
    for (const u32 mode : {kScanModeComplete, kScanModeDeleted}) {
        ASSERT_NO_FATAL_FAILURE(scan.ScanToEnd(kFsNtfs, mode));
        RecoveryGraph::Instance().SetProgress(&page_->Progress(), &page_->Progress(), page_->Progress().GetHwnd());
        for (const bool inList : {false, true}) {
            SCOPED_TRACE(std::string(mode == kScanModeComplete ? "complete" : "deleted") + (inList ? ", a file in a list" : ", the type root"));
            CFileSelCtrlContainer* c = page_->Browser()->Container();
            auto tab = [&](u32 id) { browsertest::ClickTab(c->Left()->Tabs(), id); uiwait::Flush(); return c->Left()->CurrentTree(); };
            CFileTreeCtrl* tree = tab(kTabPath);
            click(tree, tree->TreeModel()->IndexOf((*manager.PathRoot()->GetChildren())[0]), Qt::Unchecked);
            tree = tab(kTabType);
            if (inList) {  // the first picture bucket that holds files
                std::vector<CFileVirtualNode*> buckets = manager.TypeRoot()->AllChildren()[0]->AllChildren();
                const auto pictures = std::find_if(buckets.begin(), buckets.end(), [](auto* b) { return b->GetEntryCount() > 0; });
                ASSERT_NE(pictures, buckets.end());
                tree->SelectNodeItem(*pictures);
                browsertest::Settle();
                click(c->Right()->Details(), c->Right()->Details()->model()->index(0, kColumnName), Qt::Checked);
            } else {
                click(tree, tree->TreeModel()->IndexOf(manager.TypeRoot()), Qt::Checked);
            }
            const std::string target = dir_.File("out-" + std::to_string(mode) + std::to_string(inList));
            fs::create_directories(target);
            RecoverCounts n;
            u64 files = 0;
            uiwait::ModalWatch answer([&](QWidget* m) {
                if (auto* folder = dynamic_cast<SelExportPathDlg*>(m)) {
                    folder->SetQuiet(true);
                    folder->SetPath(target);
                    SendMessage(folder->Handle(), WM_COMMAND, SelExportPathDlg::kItemOk, 0);
                } else if (auto* result = dynamic_cast<ExportResult*>(m)) {
                    n = result->counts, files = result->fileCount;
                    result->EndDialog(IDOK);
                } else if (!dynamic_cast<ExportProgress*>(m)) {
                    uiwait::EndModal(m, IDOK);  // the thanks after the result
                }
            });
            SendMessage(page_->GetHwnd(), WM_COMMAND, UiCtrl::RecoveryGraphWnd::kItemRecover, 0);
            ASSERT_TRUE(uiwait::Until([&] { return files > 0; }, "the recovery's result"));
            EXPECT_EQ(n.written + n.incomplete + n.failed, files) << "counted files the recovery did not write";
        }
        scan.ReleaseScan();
    }
    SetFolderOpener(nullptr);
}

}  // namespace
