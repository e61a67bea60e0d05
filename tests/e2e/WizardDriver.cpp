#include "WizardDriver.h"

#include <QApplication>
#include <QMenu>
#include <QTest>
#include <atomic>
#include <cstdlib>
#include <filesystem>

#include "app/QZMUIDlg.h"
#include "app/pages/RecoveryGraphWnd.h"
#include "app/pages/RecoveryProgressWnd.h"
#include "app/pages/SelDataLostPartitionWnd.h"
#include "app/pages/SelFileTypeWnd.h"
#include "app/ui/UiLanguage.h"
#include "app/ui/UiResources.h"
#include "devices/VolumeEnumerator.h"
#include "core/Settings.h"
#include "core/Strings.h"
#include "engine/Progress.h"
#include "engine/RecoveryController.h"
#include "engine/RecoveryGraph.h"
#include "platform/ProgramDir.h"
#include "platform/Profile.h"
#include "platform/ui/Window.h"
#include "plugins/Plugins.h"

namespace wizard {

namespace {
std::string LanguageFileName() { return std::filesystem::path(GetLanguageFilePath()).filename().string(); }
// The language files' delay of the result page's tips, in seconds: longer than any test runs.
constexpr const char* kTipDelayKey = "delayTime";
constexpr const char* kHeldTipSeconds = "3600";
}  // namespace

ProgramFolderScope::ProgramFolderScope() : savedProgramDir_(GetProgramDir()) {
    for (const auto& entry : std::filesystem::directory_iterator(savedProgramDir_)) {
        const std::string ext = entry.path().extension().string();
        if (ext != ".dat" && ext != ".xml") continue;
        const std::string copy = dir_.File(entry.path().filename());
        std::filesystem::copy_file(entry.path(), copy);
        // The result page's tips stay until closed: a slow machine must not hide one before it is looked at.
        if (ext == ".dat" && !GetProfileString("string", "caption", "", copy).empty())
            WritePrivateProfileString("string", kTipDelayKey, kHeldTipSeconds, copy.c_str());
    }
    // The browser's skin: its bitmaps and, per language, its texts.
    const std::filesystem::path skin = std::filesystem::path(savedProgramDir_) / "Res";
    if (std::filesystem::is_directory(skin)) std::filesystem::copy(skin, dir_.File("Res"), std::filesystem::copy_options::recursive);
    SetProgramDir(dir_.Path() + "/");
    // The texts are read from the language file of the program folder in use.
    SetLanguageFile(LanguageFileName().c_str());
    if (const char* old = std::getenv("XDG_CONFIG_HOME")) {
        hadConfig_ = true;
        savedConfig_ = old;
    }
    ::setenv("XDG_CONFIG_HOME", dir_.File("config").c_str(), 1);
}

ProgramFolderScope::~ProgramFolderScope() {
    const std::string language = LanguageFileName();
    SetProgramDir(savedProgramDir_);
    SetLanguageFile(language.c_str());
    if (hadConfig_) ::setenv("XDG_CONFIG_HOME", savedConfig_.c_str(), 1);
    else ::unsetenv("XDG_CONFIG_HOME");
}

void EnsureApp() {
    static int argc = 1;
    static char name[] = "test_e2e";
    static char* argv[] = {name, nullptr};
    if (!qApp) new QApplication(argc, argv);
    ui::InstallWindowPost();
    uiwait::InstallModalGuard();
}

::testing::AssertionResult PumpUntil(const std::function<bool()>& pred, const std::string& what) {
    return uiwait::Until(pred, what);
}

void Click(UiCtrl::UiSdkWndBase& page, int x, int y) {
    SendMessage(page.GetHwnd(), WM_MOUSEMOVE, 0, MAKELPARAM(x, y));
    SendMessage(page.GetHwnd(), WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(x, y));
    SendMessage(page.GetHwnd(), WM_LBUTTONUP, 0, MAKELPARAM(x, y));
}

bool ClickItem(UiCtrl::UiSdkWndBase& page, int id) {
    UiCtrl::UiItem* item = page.GetItem(id);
    if (!item || !item->IsVisible()) return false;
    const RECT r = item->GetRect();
    Click(page, (r.left + r.right) / 2, (r.top + r.bottom) / 2);
    return true;
}

bool ClickDialogItem(HomeBaseDialog& dialog, int id) {
    UiCtrl::UiItem* item = dialog.GetClientItem(id);
    if (!item) return false;
    const RECT r = item->GetRect();
    const QPoint at(HomeBaseDialog::ClientToWindowX((r.left + r.right) / 2), HomeBaseDialog::ClientToWindowY((r.top + r.bottom) / 2));
    QTest::mouseMove(&dialog, at);
    QTest::mouseClick(&dialog, Qt::LeftButton, {}, at);
    return true;
}

namespace {
std::atomic<bool> g_heldAtScanEnd{false};

enum Holds : unsigned { kHoldAtStart = 1, kHoldAtEnd = 2 };

// A real scan held at its start while DeepScanStart() is closed, at its end record while
// ScanEnd() is closed, or at both.
class HeldController : public IRecoveryController, public IProgress {
public:
    HeldController(IRecoveryController* real, unsigned holds) : real_(real), holds_(holds) {}
    ~HeldController() override { real_->Release(); }
    u32 GetType() override { return real_->GetType(); }
    u32 Initialize(IRecoveryFilter* filter) override { return real_->Initialize(filter); }
    u32 Run(IStorageDevice* device, IProgress* progress, IDirectoryTree* tree, const char* name, u32 reason) override {
        progress_ = progress;
        if (holds_ & kHoldAtStart) Hold(DeepScanStart(), "the deep scan was held and never let go");
        return real_->Run(device, (holds_ & kHoldAtEnd) ? this : progress, tree, name, reason);
    }
    void Release() override { delete this; }
    void SetFileSystem(u32 fsCode, const char* name) override { real_->SetFileSystem(fsCode, name); }
    u32 GetFileSource(CFileNode* node, u64& start, u32& sectorsPerCluster) override {
        return real_->GetFileSource(node, start, sectorsPerCluster);
    }
    // Only the scan held at the gate lets it go: the session stops a finished scan's
    // controller again when the next scan starts, and that must not open the gate the next
    // scan is held at.
    void Stop() override {
        real_->Stop();
        stopped_ = true;
        if (testutil::Gate* gate = heldAt_.load()) gate->Open();
    }
    i32 OnProgress(const ProgressInfo* record) override {
        if (record && record->Type == kProgressScanEnded) {
            g_heldAtScanEnd = true;
            Hold(ScanEnd(), "the scan was held at its end and never let go");
            g_heldAtScanEnd = false;
        }
        return progress_->OnProgress(record);
    }
    u32 Continued() override { return progress_->Continued(); }
    u32 GetState() override { return progress_->GetState(); }
    ScanRunState* RunState() override { return progress_->RunState(); }

private:
    void Hold(testutil::Gate& gate, const char* never) {
        heldAt_ = &gate;
        if (!stopped_) {
            EXPECT_TRUE(gate.Wait()) << never;
        }
        heldAt_ = nullptr;
    }

    IRecoveryController* real_;
    const unsigned holds_;
    IProgress* progress_ = nullptr;
    std::atomic<testutil::Gate*> heldAt_{nullptr};
    std::atomic<bool> stopped_{false};
};

// The scan of that mode held where told to; a deep-only hold leaves the other scans as they are.
IRecoveryController* MakeHeld(u32 mode, unsigned holds, bool deepOnly = false) {
    IRecoveryController* real = CreateRecoveryController(mode);
    return real && (!deepOnly || mode == kScanModeComplete) ? new HeldController(real, holds) : real;
}
}  // namespace

testutil::Gate& ScanEnd() {
    static testutil::Gate gate;
    return gate;
}

bool HeldAtScanEnd() { return g_heldAtScanEnd.load(); }

IRecoveryController* MakeScanHeldAtItsEnd(u32 mode) { return MakeHeld(mode, kHoldAtEnd); }

testutil::Gate& DeepScanStart() {
    static testutil::Gate gate;
    return gate;
}

IRecoveryController* MakeHeldDeepScan(u32 mode) { return MakeHeld(mode, kHoldAtStart, true); }
IRecoveryController* MakeDeepScanHeldAtStartAndEnd(u32 mode) { return MakeHeld(mode, kHoldAtStart | kHoldAtEnd, true); }
IRecoveryController* MakeHeldScan(u32 mode) { return MakeHeld(mode, kHoldAtStart); }

bool Shot(QWidget* w, const std::string& name) {
    const std::string dir = std::string(MORVENDA_BINARY_DIR) + "/screenshots";
    std::filesystem::create_directories(dir);
    const QImage img = w->grab().toImage();
    return !img.isNull() && img.save(QString::fromStdString(dir + "/" + name + ".png"));
}

::testing::AssertionResult OpensOver(const QWidget* dialog, const QWidget* window) {
    const QRect d = dialog->frameGeometry();
    const QRect w = window->frameGeometry();
    const QPoint off = d.center() - w.center();
    if (w.contains(d) && std::abs(off.x()) <= 1 && std::abs(off.y()) <= 1) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "the dialog at (" << d.x() << ", " << d.y() << ") " << d.width() << " x " << d.height()
                                         << " is not centred over the window at (" << w.x() << ", " << w.y() << ") " << w.width()
                                         << " x " << w.height();
}

void MoveAside(QWidget* window) { window->move(window->x() + 60, window->y() + 25); }

void StartWindowProgram(std::unique_ptr<ProgramFolderScope>& program, const testutil::TempDir& disks) {
    EnsureApp();
    program = std::make_unique<ProgramFolderScope>();
    ::setenv("XDG_STATE_HOME", program->File("state").c_str(), 1);
    std::filesystem::copy_file(testutil::FixturePath("mbr-disk.img"), disks.File("mbr-disk.img"));
    ::setenv("MORVENDA_DISKS", disks.Path().c_str(), 1);
    RegisterAllPlugins();
}

void UseLanguage(int index, const char* file) {
    ConfigStoreLanguage(index, file);
    UiResources::Instance().SetLanguage(index, file);
    SetUiLanguage(static_cast<u32>(index), file);
}

void RefreshDisks(UiCtrl::SelDataLostPartitionWnd& place) {
    using UiCtrl::SelDataLostPartitionWnd;
    ASSERT_TRUE(PumpUntil([&] { return !place.TimerRunning(); }, "the place page's list"));
    const auto listed = EnumCollectPartition::Instance().Snapshot();
    ASSERT_TRUE(ClickItem(place.GroupAt(SelDataLostPartitionWnd::kGroupDisks).titleStrip, UiCtrl::TitleItemWnd::kRefreshItem));
    ASSERT_TRUE(PumpUntil([&] { return EnumCollectPartition::Instance().Snapshot() != listed && !place.TimerRunning(); },
                          "the refreshed disk list"));
}

void ClickCaptionItem(CQZMUIDlg& dlg, int id) {
    const RECT r = dlg.GetCaptionItem(id)->GetRect();
    const LPARAM at = MAKELPARAM((r.left + r.right) / 2, (r.top + r.bottom) / 2);
    SendMessage(dlg.Handle(), WM_MOUSEMOVE, 0, at);
    SendMessage(dlg.Handle(), WM_LBUTTONDOWN, MK_LBUTTON, at);
    SendMessage(dlg.Handle(), WM_LBUTTONUP, 0, at);
}

bool ChooseMenuEntry(CQZMUIDlg& dlg, int command) {
    bool clicked = false;
    uiwait::ModalWatch popups([&](QWidget* w) {
        auto* menu = qobject_cast<QMenu*>(w);
        if (!menu || clicked) return;
        for (QAction* a : menu->actions()) {
            if (a->data().toInt() == command && !a->menu()) {
                clicked = true;
                QTest::mouseClick(menu, Qt::LeftButton, {}, menu->actionGeometry(a).center());
                return;
            }
            if (!a->menu()) continue;
            for (QAction* entry : a->menu()->actions()) {
                if (entry->data().toInt() != command) continue;
                menu->setActiveAction(a);
                a->menu()->popup(menu->mapToGlobal(menu->actionGeometry(a).topRight()));
                QTest::mouseClick(a->menu(), Qt::LeftButton, {}, a->menu()->actionGeometry(entry).center());
                clicked = true;
                return;
            }
        }
    }, uiwait::Watched::kPopup);
    ClickCaptionItem(dlg, CMD_MAIN_MENU);
    return PumpUntil([&] { return clicked; }, "the menu entry's click");
}

void SwitchLanguageByMenu(CQZMUIDlg& dlg, int index) {
    ASSERT_TRUE(ChooseMenuEntry(dlg, CQZMUIDlg::kMenuLanguageFirst + index)) << "no menu entry of language " << index;
    ASSERT_TRUE(PumpUntil([&] { return GetUiLanguage() == static_cast<u32>(index); }, "the language switch"));
}

void StartScanByTile(CQZMUIDlg& dlg, const char* fsName) {
    using UiCtrl::SelDataLostPartitionWnd;
    auto& types = *dlg.FileTypePage();
    auto& place = *dlg.PlacePage();
    ASSERT_TRUE(ClickItem(types, UiCtrl::SelFileTypeWnd::kItemNext));
    ASSERT_TRUE(PumpUntil([&] { return dlg.CurrentPage() == place.GetHwnd() && !place.TimerRunning(); }, "the place page"));
    ASSERT_NO_FATAL_FAILURE(RefreshDisks(place));
    auto& tiles = place.GroupAt(SelDataLostPartitionWnd::kGroupDisks).container;
    UiCtrl::VolumeItem* tile = nullptr;
    for (int i = 0; i < tiles.TileCount(); ++i)
        if (tiles.TileAt(i)->text2 == fsName) tile = tiles.TileAt(i);
    ASSERT_NE(tile, nullptr) << fsName;
    const RECT r = tile->GetRect();
    Click(tiles, (r.left + r.right) / 2, (r.top + r.bottom) / 2);
    ASSERT_TRUE(ClickItem(place, SelDataLostPartitionWnd::kItemScan));
    ASSERT_TRUE(PumpUntil([&] { return dlg.CurrentPage() == dlg.ResultPage()->GetHwnd(); }, "the result page"));
}

::testing::AssertionResult RunDeepScanFromStrip(CQZMUIDlg& dlg) {
    using UiCtrl::RecoveryProgressWnd;
    RecoveryProgressWnd& strip = dlg.ResultPage()->Progress();
    const u64 runs = strip.RunsStarted();
    if (!ClickItem(strip, RecoveryProgressWnd::kItemDeepScan)) return ::testing::AssertionFailure() << "no deep-scan item to click";
    if (auto ended = PumpUntil([&] {
            return strip.RunsStarted() > runs && !strip.IsRunningOrTimed() && !RecoveryGraph::Instance().IsScanRunning();
        }, "the deep scan's end");
        !ended)
        return ended;
    return PumpUntil([&] { return strip.GetItem(RecoveryProgressWnd::kItemHome)->IsVisible(); }, "the finish items");
}

void ScanVolumeByTile(CQZMUIDlg& dlg, const char* fsName) {
    using UiCtrl::RecoveryProgressWnd;
    RecoveryProgressWnd& strip = dlg.ResultPage()->Progress();
    ASSERT_NO_FATAL_FAILURE(StartScanByTile(dlg, fsName));
    ASSERT_TRUE(PumpUntil([&] { return !strip.IsRunningOrTimed() && !RecoveryGraph::Instance().IsScanRunning(); },
                          "the scan's end"));
    // The finish work reaches the page through posted messages.
    ASSERT_TRUE(PumpUntil([&] { return strip.GetItem(RecoveryProgressWnd::kItemHome)->IsVisible(); }, "the finish items"));
}

}  // namespace wizard
