#pragma once
// Window handles and message posting as engine code sees them. No Qt here: the scan session,
// the writer and the searches post to windows through these calls, and the UI layer installs
// the real implementation at start-up. Until then (tests, the scan driver) a headless sink takes
// every message and lets a test look at them.
#include <functional>
#include <vector>

#include "platform/Types.h"

struct WindowHandleTag;
using HWND = WindowHandleTag*;
using WPARAM = std::uintptr_t;
using LPARAM = std::intptr_t;
using LRESULT = std::intptr_t;

// Private messages between the pages, the browser and the scan keep their numbers.
constexpr u32 WM_UI_TOGGLE_PAGE = WM_USER_MSG + 4112;
constexpr u32 WM_UI_VOLUME_CLICKED = WM_USER_MSG + 4113;
constexpr u32 WM_UI_SCAN_FINISHED = WM_USER_MSG + 4144;
constexpr u32 WM_UI_DO_SEARCH = WM_USER_MSG + 4145;
constexpr u32 WM_UI_REFRESH_FILES = WM_USER_MSG + 4146;
constexpr u32 WM_UI_FREEZE_VIEW = WM_USER_MSG + 4147;
constexpr u32 WM_UI_SELECTION_CHANGED = WM_USER_MSG + 6144;
constexpr u32 WM_UI_DEVICES_CHANGED = WM_USER_MSG + 6169;
constexpr u32 WM_UI_VOLUME_REMOVED = WM_USER_MSG + 6170;
constexpr u32 WM_UI_DEVNODES_CHANGED = WM_USER_MSG + 6171;

// Queues the message for the window's thread; false when the window does not exist.
bool PostMessage(HWND window, u32 message, WPARAM wParam, LPARAM lParam);
// Runs the window's handler and returns its result. From a thread other than the window's it
// blocks until the window's thread has handled the message; 0 when the window does not exist
// or went away before handling it.
LRESULT SendMessage(HWND window, u32 message, WPARAM wParam, LPARAM lParam);
bool IsWindow(HWND window);

struct WindowPostFunctions {
    bool (*post)(HWND, u32, WPARAM, LPARAM);
    LRESULT (*send)(HWND, u32, WPARAM, LPARAM);
    bool (*isWindow)(HWND);
};
// Installs an implementation (copied); null puts the headless sink back.
void SetWindowPostFunctions(const WindowPostFunctions* functions);

// Puts the headless sink in place for its lifetime and then the table that was there before, so
// that code handing out made-up handles does not depend on whether a window was built earlier
// in the same process (a window installs the real table).
class HeadlessWindowPostScope {
public:
    HeadlessWindowPostScope();
    ~HeadlessWindowPostScope();
    HeadlessWindowPostScope(const HeadlessWindowPostScope&) = delete;
    HeadlessWindowPostScope& operator=(const HeadlessWindowPostScope&) = delete;

private:
    const WindowPostFunctions* previous_;
};

// The headless sink: every non-null handle counts as a window; posted and sent messages are
// recorded in arrival order; a send answers what the send handler returns (0 without one).
struct HeadlessMessage {
    HWND window;
    u32 message;
    WPARAM wParam;
    LPARAM lParam;
    bool sent;
};
namespace headless {
std::vector<HeadlessMessage> TakeMessages();
void SetSendHandler(std::function<LRESULT(const HeadlessMessage&)> handler);
}  // namespace headless
