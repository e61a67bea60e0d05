// The real main window offscreen: its caption and pages, the main menu, the language switch,
// About, the update check, device changes, the question before closing, the out-of-memory notice
// and the second start. Each state is saved to <build>/screenshots/ for review.
#include <gtest/gtest.h>

#include <QMenu>
#include <QMessageBox>
#include <QPainter>
#include <QScreen>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <thread>
#include <tuple>

#include "HeldEnumeration.h"
#include "TestUtil.h"
#include "UiTestEnv.h"
#include "app/AboutDlg.h"
#include "app/CheckUpdate.h"
#include "app/CrashFilter.h"
#include "app/QZMUIApp.h"
#include "app/QZMUIDlg.h"
#include "app/pages/SelDataLostPartitionWnd.h"
#include "app/pages/Tip3StepWnd.h"
#include "core/Settings.h"
#include "core/VersionInfo.h"
#include "devices/VolumeEnumerator.h"
#include "app/ui/MessageBox.h"
#include "app/ui/UiResources.h"
#include "engine/RecoveryGraph.h"
#include "platform/DeviceWatch.h"
#include "platform/ProgramDir.h"
#include "platform/SingleInstance.h"
#include "platform/ui/Dc.h"

namespace {

bool Save(QWidget* w, const std::string& name) {
    const QImage img = w->grab().toImage();
    return !img.isNull() && img.save(QString::fromStdString(uitest::ScreenshotDir() + "/" + name));
}

// The window with its tooltip drawn where the screen shows it.
bool SaveWithTooltip(CQZMUIDlg& dlg, const std::string& name) {
    QImage img = dlg.grab().toImage();
    if (QWidget* tip = dlg.TooltipWindow(); tip && tip->isVisible()) {
        QPainter p(&img);
        p.drawImage(tip->pos() - dlg.pos(), tip->grab().toImage());
    }
    return img.save(QString::fromStdString(uitest::ScreenshotDir() + "/" + name));
}

std::string Text(const char* key) { return UiResources::Instance().GetString(key); }

// The program folder of the test: the shipped resources, and a Config.dat the test may change.
class MainWindow : public ::testing::Test {
protected:
    void SetUp() override {
        // Changed settings live in the user's configuration folder, which tests running beside
        // this one share: the window's language switches get a folder of their own.
        const char* config = std::getenv("XDG_CONFIG_HOME");
        savedConfigHome_ = config ? config : "";
        ::setenv("XDG_CONFIG_HOME", dir_.File("config").c_str(), 1);
        saved_ = GetProgramDir();
        for (const auto& entry : std::filesystem::directory_iterator(saved_)) {
            const std::string ext = entry.path().extension().string();
            if (ext == ".dat" || ext == ".xml") std::filesystem::copy_file(entry.path(), dir_.File(entry.path().filename()));
        }
        SetProgramDir(dir_.Path());
        ConfigStoreLanguage(0, "English.dat");
        UiResources::Instance().SetLanguage(0, "English.dat");
        dlg_ = std::make_unique<CQZMUIDlg>();
        dlg_->Create();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(dlg_.get()));
    }
    void TearDown() override {
        dlg_.reset();
        RecoveryGraph::Instance().SetStopRequested(0);
        SetProgramDir(saved_);
        UiResources::Instance().SetLanguage(0, "English.dat");
        if (savedConfigHome_.empty()) {
            ::unsetenv("XDG_CONFIG_HOME");
        } else {
            ::setenv("XDG_CONFIG_HOME", savedConfigHome_.c_str(), 1);
        }
    }
    // Runs the menu of the caption strip and hands its popup to fn; false when it never came.
    bool WithMenu(std::function<void(QMenu*)> fn) {
        bool shown = false;
        uiwait::ModalWatch popups([&](QWidget* w) {
            auto* menu = qobject_cast<QMenu*>(w);
            if (!menu || shown) return;
            shown = true;
            fn(menu);
        }, uiwait::Watched::kPopup);
        dlg_->OnClickCmd(CMD_MAIN_MENU, nullptr);
        return shown;
    }
    static QAction* ActionWithId(QMenu* menu, int id) {
        for (QAction* a : menu->actions()) {
            if (a->data().toInt() == id) return a;
            if (a->menu())
                if (QAction* inner = ActionWithId(a->menu(), id)) return inner;
        }
        return nullptr;
    }
    static void Click(QMenu* menu, QAction* action) {
        QTest::mouseClick(menu, Qt::LeftButton, {}, menu->actionGeometry(action).center());
    }

    testutil::TempDir dir_;
    std::string saved_;
    std::string savedConfigHome_;
    std::unique_ptr<CQZMUIDlg> dlg_;
};

TEST_F(MainWindow, OpensAt900By600WithItsCaptionAndTheFirstPage) {
    EXPECT_EQ(dlg_->size(), QSize(900, 600));
    // In the middle of its screen by its own placing, which the window system is told: the
    // dialogs open over it wherever the window system would have put it.
    EXPECT_TRUE(dlg_->testAttribute(Qt::WA_Moved)) << "its place left to the window system";
    const QPoint offCentre = dlg_->frameGeometry().center() - dlg_->screen()->availableGeometry().center();
    EXPECT_LE(offCentre.manhattanLength(), 2) << offCentre.x() << "," << offCentre.y();
    EXPECT_EQ(dlg_->windowTitle().toStdString(), Text("caption"));
    for (int id : {148, 133, 139, 177, 299}) EXPECT_NE(dlg_->GetCaptionItem(id), nullptr) << id;
    EXPECT_FALSE(dlg_->GetCaptionItem(133)->IsEnabled());
    EXPECT_TRUE(dlg_->GetCaptionItem(299)->IsEnabled());
    ASSERT_NE(dlg_->PageAt(CQZMUIDlg::kFileTypePage), nullptr);
    EXPECT_EQ(dlg_->CurrentPage(), dlg_->PageAt(CQZMUIDlg::kFileTypePage)->GetHwnd());
    EXPECT_TRUE(dlg_->PageAt(CQZMUIDlg::kFileTypePage)->Widget()->isVisible());
    EXPECT_FALSE(dlg_->PageAt(CQZMUIDlg::kResultPage)->Widget()->isVisible());
    EXPECT_TRUE(Save(dlg_.get(), "main_window.png"));
    // The caption keeps its 35 rows over the first page: its last row is the caption's green.
    EXPECT_EQ(dlg_->grab().toImage().pixel(500, HomeBaseDialog::kCaptionHeight - 1), ui::ColorFromRef(0x80D21F).rgb());
    dlg_->GetCaptionItem(177)->SetState(UiCtrl::kStateHover);
    dlg_->ShowCaptionTip(dlg_->GetCaptionItem(177)->GetRect().left, 10, 1, dlg_->GetCaptionItem(177)->GetName(), 1);
    uiwait::Flush();
    EXPECT_TRUE(SaveWithTooltip(*dlg_, "main_window_menu_tip.png"));
    dlg_->ShowCaptionTip(0, 0, 0, std::string(), 1);
    EXPECT_FALSE(dlg_->TooltipWindow()->isVisible());

    // Its pages go with it, the result page first and the file-type page last.
    std::vector<int> gone;
    for (int page = 0; page < CQZMUIDlg::kPageCount; ++page)
        QObject::connect(dlg_->PageAt(CQZMUIDlg::Page(page))->Widget(), &QObject::destroyed, [&gone, page] { gone.push_back(page); });
    dlg_.reset();
    EXPECT_EQ(gone, (std::vector<int>{CQZMUIDlg::kResultPage, CQZMUIDlg::kStepStrip, CQZMUIDlg::kPlacePage, CQZMUIDlg::kReasonPage, CQZMUIDlg::kFileTypePage}));
}

TEST_F(MainWindow, TheMenuOffersItsEntriesAndTheLanguagesWithTheCurrentOneGreyed) {
    std::unique_ptr<QMenu> menu(dlg_->BuildMenu());
    ASSERT_TRUE(menu);
    std::vector<int> ids;
    QMenu* languages = nullptr;
    for (QAction* a : menu->actions()) {
        if (a->menu()) languages = a->menu();
        else ids.push_back(a->data().toInt());
    }
    EXPECT_EQ(ids, (std::vector<int>{2, 8, 1}));
    ASSERT_NE(languages, nullptr);
    ASSERT_EQ(languages->actions().size(), 6);
    for (int i = 0; i < 6; ++i) {
        QAction* a = languages->actions()[i];
        EXPECT_EQ(a->data().toInt(), 100 + i);
        EXPECT_EQ(a->isChecked() && !a->isEnabled(), i == 0) << i;
    }
    EXPECT_EQ(dlg_->LanguageFiles(), (std::vector<std::string>{"English.dat", "Japanese.dat", "Deutsch.dat",
                                                                 "French.dat", "Spanish.dat", "Portuguesa(Br).dat"}));
    EXPECT_EQ(dlg_->SwitchLanguage(6), -1);

    ConfigWriteInt("CanSwitchLanguage", 0);
    menu.reset(dlg_->BuildMenu());
    for (QAction* a : menu->actions()) EXPECT_EQ(a->menu(), nullptr);
    ConfigWriteInt("CanSwitchLanguage", 1);
}

TEST_F(MainWindow, TheMenuOpensAboutWithTheCompiledVersion) {
    std::string version;
    bool aboutShown = false;
    std::string shot = "about.png";
    uiwait::ModalWatch about(uiwait::OfType<AboutDlg>([&](AboutDlg* w) {
        aboutShown = true;
        version = w->Version();
        EXPECT_TRUE(Save(w, shot));
        // "Version" and "Homepage" stand at the top of their places of unlike heights, not centred.
        const QImage face = w->grab().toImage();
        const auto inkBelowTop = [&](int left, int top) {
            for (int y = top; y < top + 20; ++y)
                for (int x = left; x < 260; ++x)
                    if (qGray(face.pixel(HomeBaseDialog::ClientToWindowX(x), HomeBaseDialog::ClientToWindowY(y))) < 128) return y - top;
            return -1;
        };
        EXPECT_GE(inkBelowTop(155, 95), 0);
        EXPECT_NEAR(inkBelowTop(135, 135), inkBelowTop(155, 95), 1) << shot;  // a pixel apart, as letters are smoothed
        // The background is a white foot of 45 pixels, one pixel in from each side; above it
        // the client area keeps its own colour.
        const RECT c = w->ClientRect();
        QImage back(c.Width(), c.Height(), QImage::Format_RGB32);
        back.fill(Qt::black);
        {
            QPainter p(&back);
            ui::Dc dc(&p);
            w->DrawBackground(&dc);
        }
        const int foot = c.Height() - 45, mid = c.Width() / 2;
        for (const auto& [x, y, white] : {std::tuple{mid, foot, true}, {mid, c.Height() - 1, true}, {1, foot, true},
                                          {c.Width() - 2, c.Height() - 1, true}, {mid, foot - 1, false}, {mid, 0, false},
                                          {0, c.Height() - 1, false}, {c.Width() - 1, foot, false}})
            EXPECT_EQ(back.pixel(x, y) == qRgb(255, 255, 255), white) << x << "," << y;
        ui::PostCommand(w->Handle(), HomeBaseDialog::kCmdClose);
    }));
    EXPECT_TRUE(WithMenu([&](QMenu* menu) {
        EXPECT_TRUE(Save(menu, "main_menu.png"));
        QAction* language = nullptr;
        for (QAction* a : menu->actions())
            if (a->menu()) language = a;
        ASSERT_NE(language, nullptr);
        Click(menu, language);
        EXPECT_TRUE(uiwait::Until([&] { return language->menu()->isVisible(); }, "the languages submenu"));
        uiwait::Flush();
        EXPECT_TRUE(Save(language->menu(), "main_menu_languages.png"));
        language->menu()->close();
        Click(menu, ActionWithId(menu, CQZMUIDlg::kMenuAbout));
    }));
    EXPECT_TRUE(aboutShown);
    EXPECT_EQ(version, ProductVersionText());

    // The same box in German and Japanese, for the eye.
    for (const auto& [language, name] : {std::pair{2, "about_german.png"}, std::pair{1, "about_japanese.png"}}) {
        ASSERT_EQ(dlg_->SwitchLanguage(language), 0);
        aboutShown = false;
        shot = name;
        EXPECT_TRUE(WithMenu([&](QMenu* menu) { Click(menu, ActionWithId(menu, CQZMUIDlg::kMenuAbout)); }));
        EXPECT_TRUE(aboutShown);
    }
    ASSERT_EQ(dlg_->SwitchLanguage(0), 0);
}

TEST_F(MainWindow, TheLanguageSwitchesEveryTextAndTheFontWithoutARestart) {
    const struct {
        int index;
        const char* file;
        const char* face;
        const char* shot;
    } steps[] = {
        {2, "Deutsch.dat", "Arial", "main_window_german.png"},
        {1, "Japanese.dat", "Meiryo UI", "main_window_japanese.png"},
        {0, "English.dat", "Arial", nullptr},
    };
    for (const auto& s : steps) {
        SCOPED_TRACE(s.file);
        ASSERT_EQ(dlg_->SwitchLanguage(s.index), 0);
        EXPECT_EQ(ConfigLanguage(), s.index);
        EXPECT_EQ(ConfigReadString("LanguageName", ""), s.file);
        EXPECT_STREQ(UiResources::FontFace(), s.face);
        EXPECT_EQ(UiResources::Instance().GetFont(15, 500, false)->family().toStdString(), s.face);
        EXPECT_EQ(std::string(dlg_->GetCaptionItem(148)->GetName()), Text("TipClose"));
        EXPECT_EQ(dlg_->windowTitle().toStdString(), Text("caption"));
        EXPECT_TRUE(dlg_->PlaceRefreshPending());
        if (!s.shot) continue;
        UiCtrl::UiItem* close = dlg_->GetCaptionItem(148);
        dlg_->ShowCaptionTip(close->GetRect().left, 10, 1, close->GetName(), 1);
        uiwait::Flush();
        EXPECT_TRUE(SaveWithTooltip(*dlg_, s.shot));
        dlg_->ShowCaptionTip(0, 0, 0, std::string(), 1);
        EXPECT_TRUE(WithMenu([&](QMenu* menu) {
            const std::string name = std::string("main_menu_") + (s.index == 1 ? "japanese" : "german") + ".png";
            EXPECT_TRUE(Save(menu, name));
            EXPECT_EQ(menu->actions().back()->text().toStdString(), Text("MenuAbout"));
            menu->close();
        }));
    }
    EXPECT_EQ(Text("TipClose"), "Close");
}

TEST_F(MainWindow, TheUpdateCheckContactsNothingAndEndsOnTheNewestVersion) {
    bool checked = false;
    uiwait::ModalWatch answer(uiwait::OfType<CheckUpdate>([&](CheckUpdate* update) {
        EXPECT_TRUE(uiwait::Until([&] { return !update->IsAnimating(); }, "the update check's result"));
        EXPECT_EQ(update->ResultText(), Text("AlreadyBeNewest"));
        EXPECT_EQ(update->ResultImageId(), CheckUpdate::kResultImage);
        EXPECT_FALSE(update->GetClientItem(CheckUpdate::kItemDownload)->IsVisible());
        EXPECT_TRUE(update->GetClientItem(CheckUpdate::kItemClose)->IsVisible());
        EXPECT_TRUE(Save(update, "update_check.png"));
        checked = true;
        ui::PostCommand(update->Handle(), CheckUpdate::kItemClose);
    }));
    EXPECT_EQ(dlg_->RunMenuEntry(CQZMUIDlg::kMenuUpdate), 0);
    EXPECT_TRUE(checked);
}

TEST_F(MainWindow, TheUpdateWorkerHandsItsResultOverOnlyThroughAPostedMessage) {
    CheckUpdate update(dlg_->Handle());
    update.Create();
    // Once the worker has posted its result, nothing of it reaches the dialog until the
    // interface thread handles the message.
    ASSERT_TRUE(uiwait::UntilWithoutEvents([&] { return update.ResultPosted(); }, "the worker's result"));
    EXPECT_TRUE(update.IsAnimating());
    EXPECT_TRUE(update.ResultText().empty());
    EXPECT_TRUE(Save(&update, "update_check_waiting.png"));
    EXPECT_TRUE(uiwait::Until([&] { return !update.IsAnimating(); }, "the result taken over"));
    EXPECT_EQ(update.ResultText(), Text("AlreadyBeNewest"));
    ui::PostCommand(update.Handle(), HomeBaseDialog::kCmdClose);
    EXPECT_TRUE(uiwait::Until([&] { return !update.isVisible(); }, "the closed update window"));
}

TEST_F(MainWindow, ClosingAsksFirstAndStopsTheScanSession) {
    for (int answer : {QZMMessageBox::kIdSecond, QZMMessageBox::kIdFirst}) {
        std::string text;
        bool answered = false;
        uiwait::ModalWatch question(uiwait::OfType<QZMMessageBox>([&](QZMMessageBox* box) {
            text = box->Text();
            if (answer == QZMMessageBox::kIdSecond) {
                EXPECT_TRUE(Save(box, "exit_question.png"));
            }
            ui::PostCommand(box->Handle(), answer);
            answered = true;
        }));
        ui::PostCommand(dlg_->Handle(), HomeBaseDialog::kCmdClose);
        // The question's loop has ended once no modal window is left; the close a yes posts
        // is handed over with the events after it.
        EXPECT_TRUE(uiwait::Until([&] { return answered && !QApplication::activeModalWidget(); }, "the exit question"));
        if (answer == QZMMessageBox::kIdFirst) {
            EXPECT_TRUE(uiwait::Until([&] { return !dlg_->isVisible(); }, "the window to close"));
        }
        uiwait::Flush();
        EXPECT_EQ(text, Text("ExitNow"));
        EXPECT_EQ(dlg_->isVisible(), answer == QZMMessageBox::kIdSecond);
    }
    EXPECT_TRUE(dlg_->IsClosing());
    EXPECT_EQ(RecoveryGraph::Instance().GetStopRequested(), 1u);
}

TEST_F(MainWindow, EscapeAndEnterNeverCloseIt) {
    for (Qt::Key key : {Qt::Key_Escape, Qt::Key_Return}) {
        QTest::keyClick(dlg_.get(), key);
        uiwait::Flush();
        EXPECT_TRUE(dlg_->isVisible()) << key;
    }
}

TEST_F(MainWindow, PageCommandsAndDeviceChangesFollowThePages) {
    HWND fileTypes = dlg_->PageAt(CQZMUIDlg::kFileTypePage)->GetHwnd();
    HWND place = dlg_->PageAt(CQZMUIDlg::kPlacePage)->GetHwnd();
    HWND result = dlg_->PageAt(CQZMUIDlg::kResultPage)->GetHwnd();
    // A disk arriving while another page shows is remembered for the place page.
    PostMessage(dlg_->Handle(), WM_DEVICECHANGE, kDbtDeviceArrival, 0);
    uiwait::Flush();
    EXPECT_TRUE(dlg_->PlaceRefreshPending());

    dlg_->OnClickCmd(CMD_NEXT, fileTypes);
    EXPECT_EQ(dlg_->CurrentPage(), place);
    EXPECT_FALSE(dlg_->PlaceRefreshPending());
    EXPECT_FALSE(dlg_->GetCaptionItem(CMD_IMPORT_SCAN)->IsEnabled());

    // While the place page shows, a change goes to it at once.
    PostMessage(dlg_->Handle(), WM_DEVICECHANGE, kDbtDeviceRemoveComplete, kDbtDevtypVolume);
    PostMessage(dlg_->Handle(), WM_DEVICECHANGE, kDbtDevNodesChanged, 0);
    uiwait::Flush();
    EXPECT_FALSE(dlg_->PlaceRefreshPending());

    // The step strip over the place page reaches the screen whole, one pixel in from the left:
    // its divider, its last row, lies across the window (as far as the window reaches), idle and
    // while the page looks for disks, in each language.
    QWidget* strip = dlg_->StepStrip()->Widget();
    auto* placePage = dynamic_cast<UiCtrl::SelDataLostPartitionWnd*>(dlg_->PageAt(CQZMUIDlg::kPlacePage));
    ASSERT_TRUE(strip->isVisible() && placePage);
    const QRect shown(strip->mapTo(dlg_.get(), QPoint(0, 0)), strip->size());
    EXPECT_EQ(shown.bottom(), HomeBaseDialog::ClientToWindowY(69));
    const auto idle = [&] {
        return uiwait::Until([&] { return !placePage->TimerRunning() && EnumCollectPartition::Instance().WaitDone(0); }, "the page idle");
    };
    for (const auto& [index, tag] : {std::pair{2, "de"}, {1, "ja"}, {0, "en"}})
        for (const bool busy : {false, true}) {
            ASSERT_EQ(dlg_->SwitchLanguage(index), 0);
            ASSERT_TRUE(idle());
            testutil::HeldEnumeration held;
            if (busy) SendMessage(place, WM_COMMAND, UiCtrl::SelDataLostPartitionWnd::kCmdRefresh, 0);
            ASSERT_TRUE(!busy || held.Reached());
            uiwait::Paint(dlg_.get());
            const QImage window = dlg_->grab().toImage();
            window.save(QString::fromStdString(uitest::ScreenshotDir() + "/step_strip_" + (busy ? "busy_" : "idle_") + tag + ".png"));
            for (const int x : {shown.left() + 1, shown.center().x(), std::min(shown.right(), window.width() - 1)})
                EXPECT_EQ(window.pixel(x, shown.bottom()), ui::ColorFromRef(0xE6E6E6).rgb()) << tag << (busy ? " busy" : " idle") << " at x " << x;
        }
    ASSERT_TRUE(idle());
    dlg_->OnClickCmd(CMD_BACK, place);
    EXPECT_EQ(dlg_->CurrentPage(), fileTypes);
    EXPECT_TRUE(dlg_->GetCaptionItem(CMD_IMPORT_SCAN)->IsEnabled());
    dlg_->OnClickCmd(CMD_NEXT, fileTypes);
    dlg_->OnClickCmd(CMD_START_SCAN, place);
    EXPECT_EQ(dlg_->CurrentPage(), result);
    EXPECT_FALSE(dlg_->PageAt(CQZMUIDlg::kPlacePage)->Widget()->isVisible());
    dlg_->OnClickCmd(CMD_GO_HOME, result);
    EXPECT_EQ(dlg_->CurrentPage(), fileTypes);
    EXPECT_FALSE(dlg_->WizardUsed());
    EXPECT_TRUE(dlg_->GetCaptionItem(CMD_IMPORT_SCAN)->IsEnabled());
}

TEST_F(MainWindow, AnImageCopiedIntoTheDisksFolderReachesTheWindow) {
    testutil::TempDir disks;
    const char* old = std::getenv("MORVENDA_DISKS");
    const std::string saved = old ? old : "";
    ::setenv("MORVENDA_DISKS", disks.Path().c_str(), 1);
    {
        DeviceWatcher watcher(dlg_->Handle(), 10);
        watcher.Start();
        EXPECT_FALSE(dlg_->PlaceRefreshPending());
        std::ofstream(disks.File("usb.img"), std::ios::binary) << std::string(4096, '\0');
        EXPECT_TRUE(uiwait::Until([&] { return dlg_->PlaceRefreshPending(); }, "the new disk's notice"))
            << "the place page will enumerate again";
    }
    if (old) ::setenv("MORVENDA_DISKS", saved.c_str(), 1);
    else ::unsetenv("MORVENDA_DISKS");
}

TEST_F(MainWindow, AnImportTakesOnlyResultFilesWhateverTheCaseOfTheirEnding) {
    // None of them exists: a result file is tried (its load window comes and fails first), any
    // other name is refused at once.
    const struct {
        const char* name;
        int result;
        const char* key;
    } cases[] = {{"scan.rsf2", -2, "InvalidRsf"}, {"scan.txt", -2, "InvalidRsf"}, {"SCAN.RSF", -3, "ImportFailed"}};
    for (const auto& c : cases) {
        std::vector<std::string> texts;
        uiwait::ModalWatch box(uiwait::OfType<QZMMessageBox>([&](QZMMessageBox* b) {
            texts.push_back(b->Text());
            ui::PostCommand(b->Handle(), QZMMessageBox::kIdFirst);
        }));
        HWND page = nullptr;
        EXPECT_EQ(dlg_->ImportScanResultFrom(dir_.File(c.name), &page), c.result) << c.name;
        EXPECT_EQ(texts, std::vector<std::string>{Text(c.key)}) << c.name;
    }
}

TEST_F(MainWindow, TheOutOfMemoryNoticeOfAnotherThreadIsShownByTheInterfaceThread) {
    std::string text;
    uiwait::ModalWatch notice(uiwait::OfType<QMessageBox>([&](QMessageBox* box) {
        text = box->text().toStdString();
        EXPECT_EQ(box->windowTitle().toStdString(), kProgramTitle);
        EXPECT_TRUE(Save(box, "out_of_memory_notice.png"));
        box->accept();
    }));
    std::atomic<bool> done{false};
    std::thread worker([&] {
        ShowOutOfMemoryNotice();
        done = true;
    });
    EXPECT_TRUE(uiwait::Until([&] { return done.load(); }, "the notice to be answered"));
    worker.join();
    EXPECT_EQ(text, Text("WithoutMem"));
}

TEST_F(MainWindow, ASecondStartSaysSoAndAsksTheFirstWindowToTheFront) {
    testutil::TempDir runtime(testutil::kRuntimeTempBase);
    std::filesystem::permissions(runtime.Path(), std::filesystem::perms::owner_all);
    const char* old = std::getenv("XDG_RUNTIME_DIR");
    const std::string saved = old ? old : "";
    ::setenv("XDG_RUNTIME_DIR", runtime.Path().c_str(), 1);
    {
        InstanceBeacon beacon(kMainWindowClass);
        ASSERT_TRUE(beacon.Listen());
        std::string text;
        uiwait::ModalWatch answer(uiwait::OfType<QZMMessageBox>([&](QZMMessageBox* box) {
            text = box->Text();
            EXPECT_TRUE(Save(box, "already_running.png"));
            ui::PostCommand(box->Handle(), QZMMessageBox::kIdFirst);
        }));
        EXPECT_EQ(CheckAlreadyRunning(true), 0);
        EXPECT_EQ(text, Text("AlreadyRun"));
        // The request was sent before the call returned; the limit only guards a hang.
        pollfd p{beacon.Descriptor(), POLLIN, 0};
        ASSERT_EQ(::poll(&p, 1, static_cast<int>(uiwait::kGuard.count())), 1);
        EXPECT_EQ(beacon.AcceptRequest(), kRaiseRequest);
        EXPECT_EQ(CheckAlreadyRunning(false), 1);
    }
    dlg_->showMinimized();
    uiwait::Flush();
    BringToFront(*dlg_);
    EXPECT_TRUE(uiwait::Until([&] { return !dlg_->isMinimized(); }, "the window out of its minimised state"));
    EXPECT_FALSE(dlg_->isMinimized());
    EXPECT_TRUE(dlg_->isVisible());
    if (old) ::setenv("XDG_RUNTIME_DIR", saved.c_str(), 1);
    else ::unsetenv("XDG_RUNTIME_DIR");
}

}  // namespace

namespace {

// Dark pixels (text) inside a rectangle of an image, and whether its edge is highlighted.
int DarkPixels(const QImage& img, const QRect& r) {
    int n = 0;
    for (int y = r.top(); y <= r.bottom(); ++y)
        for (int x = r.left(); x <= r.right(); ++x) n += qGray(img.pixel(x, y)) < 100;
    return n;
}

class MainMenu : public MainWindow {};

TEST_F(MainMenu, TheEntryUnderThePointerStaysReadableInAFramedMenu) {
    bool looked = false;
    EXPECT_TRUE(WithMenu([&](QMenu* menu) {
        QAction* language = nullptr;
        for (QAction* a : menu->actions())
            if (a->menu()) language = a;
        ASSERT_NE(language, nullptr);
        QTest::mouseMove(menu, menu->actionGeometry(language).center());
        menu->setActiveAction(language);
        uiwait::Paint(menu);
        const QImage img = menu->grab().toImage();
        const QRect hovered = menu->actionGeometry(language);
        EXPECT_GT(DarkPixels(img, hovered), 20) << "the hovered entry's text vanished";
        EXPECT_NE(img.pixelColor(hovered.left() + 2, hovered.center().y()), QColor(Qt::white)) << "no highlight";
        // The frame: the menu's outermost pixels are darker than its white face.
        EXPECT_LT(qGray(img.pixel(0, img.height() / 2)), 200);
        EXPECT_TRUE(Save(menu, "main_menu_hover.png"));
        looked = true;
        language->menu()->close();
        menu->close();
    }));
    EXPECT_TRUE(looked);
}

}  // namespace
