#pragma once
// Drives the real main window offscreen for the wizard's end-to-end tests: one QApplication,
// clicks delivered as the window messages a mouse makes, waits that keep the event loop turning,
// modal dialogs answered as they appear, and screenshots for review.
#include <QWidget>
#include <functional>
#include <memory>
#include <string>

#include "TestUtil.h"
#include "app/ui/UiSdkWndBase.h"

namespace wizard {

void EnsureApp();
// The program folder of a window test while it lives: the shipped texts and skin copied into a
// folder of the test's own, with the user's configuration folder (Config.dat, the language
// choice) beside them. Tests run side by side, and one test's settings written into a shared
// Config.dat would steer another's window.
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
// Turns the event loop for a while, or until pred holds (false when it never did).
void Pump(int milliseconds);
bool PumpUntil(const std::function<bool()>& pred, int milliseconds = 20000);
// A press and release at a point of a page window, or on the middle of one of its items.
void Click(UiCtrl::UiSdkWndBase& page, int x, int y);
bool ClickItem(UiCtrl::UiSdkWndBase& page, int id);
// Runs fn on each modal dialog that becomes active from now on (polling every 10 ms) until the
// returned guard goes.
class ModalWatch {
public:
    explicit ModalWatch(std::function<void(QWidget*)> fn);
    ~ModalWatch();
    int Seen() const;

private:
    struct State;
    std::shared_ptr<State> state_;
};
// Ends a modal dialog of the program with the given result.
void EndModal(QWidget* dialog, int result);
// <build>/screenshots/<name>.png; false when the picture could not be written.
bool Shot(QWidget* w, const std::string& name);

}  // namespace wizard
