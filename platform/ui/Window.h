#pragma once
// The window layer: every window of the program derives from WindowOf<some Qt widget>. It is
// reachable by a handle, receives numbered messages through OnMessage (posted, sent, and the
// mouse, size, paint, timer and key input Qt delivers, translated into their Windows
// messages), and has per-window timers and mouse leave/hover tracking.
#include <QDialog>
#include <QEvent>
#include <QPaintEvent>
#include <QWidget>
#include <map>
#include <utility>

#include "platform/ui/Dc.h"
#include "platform/ui/WinDefs.h"

namespace ui {

enum class CursorShape { Arrow, Hand, Wait };

// Installs the Qt implementation of PostMessage/SendMessage/IsWindow (idempotent).
void InstallWindowPost();

// True on the thread the windows live on; the others post to them rather than touch them.
bool OnUiThread();

class WindowCore {
public:
    WindowCore();
    virtual ~WindowCore();
    WindowCore(const WindowCore&) = delete;
    WindowCore& operator=(const WindowCore&) = delete;

    HWND Handle() const { return handle_; }
    virtual QWidget* Widget() = 0;

    // The window procedure. Unhandled messages answer 0.
    virtual LRESULT OnMessage(u32 message, WPARAM wParam, LPARAM lParam);
    // Looked at before a key press is handled; true swallows it.
    virtual bool PreTranslateMessage(u32 message, WPARAM wParam, LPARAM lParam);

    // Per-window timers by id; WM_TIMER carries the id in wParam.
    bool SetTimer(u32 id, u32 milliseconds);
    bool KillTimer(u32 id);
    // One WM_MOUSELEAVE when the mouse next leaves the window.
    void TrackMouseLeave();
    // One WM_MOUSEHOVER when the mouse rests inside for the given time.
    void TrackMouseHover(u32 milliseconds);
    void CancelTracking();

    void Invalidate();
    virtual void InvalidateRect(const RECT& r);
    CursorShape SetCursorShape(CursorShape shape);

    // The device context of the paint in progress (during WM_PAINT only).
    Dc* PaintDc() const { return paintDc_; }

    // UI thread only.
    static WindowCore* FromHandle(HWND window);
    static QWidget* WidgetFromHandle(HWND window);

protected:
    void Attach(QObject* self);
    // Each returns true when the event was consumed and the Qt base must not see it.
    bool DispatchEvent(QEvent* e);
    // Input events are handed to the Qt base as well when this is set (real controls).
    bool passInputToBase_ = false;

private:
    friend struct WindowRegistry;
    bool DispatchMouse(QEvent* e);
    void DispatchPaint();
    void HoverCheck();

    HWND handle_ = nullptr;
    QObject* object_ = nullptr;
    std::map<int, u32> qtTimerToId_;
    std::map<u32, int> idToQtTimer_;
    bool trackLeave_ = false;
    bool trackHover_ = false;
    u32 hoverMs_ = 400;
    int hoverTimer_ = 0;
    Dc* paintDc_ = nullptr;
    CursorShape cursor_ = CursorShape::Arrow;
};

template <class Base>
class WindowOf : public Base, public WindowCore {
public:
    template <class... Args>
    explicit WindowOf(Args&&... args) : Base(std::forward<Args>(args)...) {
        Attach(this);
        Base::setMouseTracking(true);
    }
    QWidget* Widget() override { return this; }

protected:
    bool event(QEvent* e) override {
        if (DispatchEvent(e)) return true;
        return Base::event(e);
    }
    // Painting always goes through WM_PAINT (event() takes it first; this serves bases whose
    // paintEvent is abstract).
    void paintEvent(QPaintEvent* e) override { DispatchEvent(e); }
};

// Window handles for the many functions that take one.
bool PostCommand(HWND window, int id, LPARAM lParam = 0);
void InvalidateWindow(HWND window);
void InvalidateWindowRect(HWND window, const RECT& r);
// Sets the window's cursor and returns the previous one.
CursorShape SetWindowCursor(HWND window, CursorShape shape);

// The program's main window: the owner of a dialog made without a parent. Null when none.
void SetMainWindow(QWidget* window);
QWidget* MainWindow();

// Moves a top-level window that is not shown yet so that it opens centred over the owner's
// window, kept on the owner's screen. The position counts as the program's own: the window
// system takes it as given rather than placing the window by its own rules.
void PlaceCentredOver(QWidget* window, QWidget* owner);

// A modal or modeless dialog: OnInitDialog runs once before it is first shown; DoModal runs a
// local event loop until EndDialog. Unless it placed itself, a dialog opens centred over its
// owner: its parent's window, or, without a parent, the open modal dialog, the active window or
// the main window, as an owned dialog opens over the window it belongs to.
class Dialog : public WindowOf<QDialog> {
public:
    explicit Dialog(QWidget* parent = nullptr);
    int DoModal();
    // Builds and shows the dialog without a modal loop.
    bool Create();
    void EndDialog(int result);
    bool IsInitialised() const { return initialised_; }
    // The window this dialog opens over; null when there is none to take.
    QWidget* Owner() const;

protected:
    virtual bool OnInitDialog() { return true; }
    void reject() override;  // the window system's close becomes IDCANCEL

private:
    void PlaceOverOwner();

    bool initialised_ = false;
    bool endedEarly_ = false;
};

}  // namespace ui
