#pragma once
// One QApplication for the whole test binary, and helpers to drive modal dialogs.
#include <QApplication>
#include <QTest>
#include <QTimer>
#include <functional>
#include <string>

#include "platform/ui/Window.h"

namespace uitest {

QApplication* App();
// Where screenshots for review go: <build>/screenshots/.
std::string ScreenshotDir();
// Runs fn on the UI thread as soon as a modal dialog is active (polling every 10 ms, at most
// 5 s); fn gets the active modal widget.
void WhenModal(std::function<void(QWidget*)> fn);
// Processes events for a while.
void Pump(int milliseconds = 20);

// A plain window that records what reaches it.
class RecordingWindow : public ui::WindowOf<QWidget> {
public:
    struct Msg {
        u32 message;
        WPARAM wParam;
        LPARAM lParam;
        bool onUiThread;
    };
    LRESULT OnMessage(u32 message, WPARAM wParam, LPARAM lParam) override;
    std::vector<Msg> messages;
    std::function<LRESULT(u32, WPARAM, LPARAM)> handler;
    int Count(u32 message) const;
};

}  // namespace uitest
