#pragma once
// Drives the real main window offscreen for the wizard's end-to-end tests: one QApplication,
// clicks delivered as the window messages a mouse makes, waits that keep the event loop turning
// until what they wait for happened, modal dialogs answered as they appear, and screenshots for
// review.
#include <QWidget>
#include <functional>
#include <memory>
#include <string>

#include "Gate.h"
#include "TestUtil.h"
#include "app/ui/HomeBaseDialog.h"
#include "app/ui/UiSdkWndBase.h"
#include "ui/UiWait.h"

class CQZMUIDlg;
class IRecoveryController;
namespace UiCtrl {
class SelDataLostPartitionWnd;
}

namespace wizard {

void EnsureApp();
// The program folder of a window test while it lives: the shipped texts and skins (the browser's
// Res folder too) copied into a folder of the test's own, with the user's configuration folder
// (Config.dat, the language choice) beside them. Tests run side by side, and one test's settings
// written into a shared Config.dat would steer another's window.
class ProgramFolderScope {
public:
    ProgramFolderScope();
    ~ProgramFolderScope();
    ProgramFolderScope(const ProgramFolderScope&) = delete;
    ProgramFolderScope& operator=(const ProgramFolderScope&) = delete;
    // A path inside the test's program folder.
    std::string File(const std::string& name) const { return dir_.File(name); }

private:
    testutil::TempDir dir_;
    std::string savedProgramDir_;
    bool hadConfig_ = false;
    std::string savedConfig_;
};
// Turns the event loop until pred holds; a failure naming `what` when it never did.
[[nodiscard]] ::testing::AssertionResult PumpUntil(const std::function<bool()>& pred,
                                                   const std::string& what = "the awaited state");
// A press and release at a point of a page window, or on the middle of one of its items.
void Click(UiCtrl::UiSdkWndBase& page, int x, int y);
bool ClickItem(UiCtrl::UiSdkWndBase& page, int id);
// A mouse click on the middle of a skin item of a skinned dialog; false when it has no such item.
bool ClickDialogItem(HomeBaseDialog& dialog, int id);
// Runs an answer on each modal dialog shown from now on until the watch goes.
using uiwait::ModalWatch;
// Ends a modal dialog of the program with the given result.
using uiwait::EndModal;
// What a window test runs the program with: the app, a program folder of its own (its state
// folder inside it), a copy of the mbr-disk fixture as the machine's only disk, the plug-ins.
void StartWindowProgram(std::unique_ptr<ProgramFolderScope>& program, const testutil::TempDir& disks);
// The interface language as the menu leaves it: stored in the settings, loaded, set.
void UseLanguage(int index, const char* file);
// On the place page once it has listed: its refresh item, then the new list. The disk list is the
// process's, made when its first window opened; a test with a disk folder of its own refreshes it
// as a user who attached a disk does.
void RefreshDisks(UiCtrl::SelDataLostPartitionWnd& place);
// A press and release on the middle of an item of the main window's caption strip.
void ClickCaptionItem(CQZMUIDlg& dlg, int id);
// The main menu opened from its caption item and the entry of the command clicked, also one of
// a sub-menu; false when the menu holds no such entry.
bool ChooseMenuEntry(CQZMUIDlg& dlg, int command);
// A language entry of the main menu clicked, as a user switches; returns once the window runs
// in that language.
void SwitchLanguageByMenu(CQZMUIDlg& dlg, int index);
// From the file-type page: Next, the tile of the first volume with that file-system name, Scan;
// returns on the result page once the scan has ended and its finish items show.
void ScanVolumeByTile(CQZMUIDlg& dlg, const char* fsName);
// The same clicks; returns on the result page as soon as it shows, the scan started.
void StartScanByTile(CQZMUIDlg& dlg, const char* fsName);
// The strip's deep-scan item clicked; returns once the deep scan it started has ended and its
// finish items show (its start is counted by the strip, so a scan too short to be seen running
// is waited for all the same).
[[nodiscard]] ::testing::AssertionResult RunDeepScanFromStrip(CQZMUIDlg& dlg);
// The deep scans the window starts are the real ones, each held before it starts while
// DeepScanStart() is closed (and let go by a stop), so that a test can pause or measure a running
// strip however fast the machine scans. Install with RecoveryGraph::SetControllerFactory.
testutil::Gate& DeepScanStart();
IRecoveryController* MakeHeldDeepScan(u32 mode);
// Every scan held so, the deleted-file scan too.
IRecoveryController* MakeHeldScan(u32 mode);
// Deep scans held at their start and at their end: the running strip and its tip, then the wait
// box of the finishing pass, stay while a test looks.
IRecoveryController* MakeDeepScanHeldAtStartAndEnd(u32 mode);
// Scans held at their end while ScanEnd() is closed (or until stopped), their trees in the browser
// and the strip running, however fast the machine scans. HeldAtScanEnd(): one waits there now.
testutil::Gate& ScanEnd();
IRecoveryController* MakeScanHeldAtItsEnd(u32 mode);
bool HeldAtScanEnd();
// <build>/screenshots/<name>.png; false when the picture could not be written.
bool Shot(QWidget* w, const std::string& name);
// The dialog stands over the window, centred on it, as an owned dialog opens.
[[nodiscard]] ::testing::AssertionResult OpensOver(const QWidget* dialog, const QWidget* window);
// Moves the main window away from where the screen's middle would put it, as a user does.
void MoveAside(QWidget* window);

}  // namespace wizard
