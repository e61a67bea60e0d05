#pragma once
// One QApplication for the whole test binary, with the guard against modal windows nobody
// answers; the waits and modal answers themselves are the shared ones of ui/UiWait.h.
#include <QApplication>
#include <QTest>
#include <QTimer>
#include <functional>
#include <string>

#include "platform/ui/Window.h"
#include "ui/UiWait.h"

namespace uitest {

QApplication* App();
// Where screenshots for review go: <build>/screenshots/.
std::string ScreenshotDir();

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
