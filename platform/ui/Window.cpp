#include "platform/ui/Window.h"

#include <QApplication>
#include <QCursor>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QPointer>
#include <QScreen>
#include <QWindow>
#include <QThread>
#include <QTimerEvent>
#include <QWheelEvent>
#include <algorithm>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <unordered_map>

namespace ui {

namespace {

// State shared by a cross-thread send and the event that carries it: the event completes it
// when handled or, if the window went away first, when Qt deletes the event unhandled.
struct SendState {
    std::mutex m;
    std::condition_variable cv;
    bool done = false;
    LRESULT result = 0;
    void Complete(LRESULT r) {
        std::lock_guard<std::mutex> lk(m);
        if (done) return;
        result = r;
        done = true;
        cv.notify_all();
    }
    LRESULT Wait() {
        std::unique_lock<std::mutex> lk(m);
        cv.wait(lk, [&] { return done; });
        return result;
    }
};

const QEvent::Type kMessageEvent = static_cast<QEvent::Type>(QEvent::registerEventType());

class MessageEvent : public QEvent {
public:
    MessageEvent(u32 m, WPARAM w, LPARAM l, std::shared_ptr<SendState> s)
        : QEvent(kMessageEvent), message(m), wParam(w), lParam(l), send(std::move(s)) {}
    ~MessageEvent() override {
        if (send) send->Complete(0);
    }
    u32 message;
    WPARAM wParam;
    LPARAM lParam;
    std::shared_ptr<SendState> send;
};

u32 VirtualKey(int qtKey) {
    switch (qtKey) {
    case Qt::Key_Escape: return VK_ESCAPE;
    case Qt::Key_Return:
    case Qt::Key_Enter: return VK_RETURN;
    case Qt::Key_F1: return VK_F1;
    default:
        if (qtKey >= Qt::Key_A && qtKey <= Qt::Key_Z) return static_cast<u32>(qtKey);
        if (qtKey >= Qt::Key_0 && qtKey <= Qt::Key_9) return static_cast<u32>(qtKey);
        return static_cast<u32>(qtKey) & 0xFFFF;
    }
}

Qt::CursorShape QtCursor(CursorShape s) {
    switch (s) {
    case CursorShape::Hand: return Qt::PointingHandCursor;
    case CursorShape::Wait: return Qt::WaitCursor;
    default: return Qt::ArrowCursor;
    }
}

}  // namespace

// Handles are numbers, never addresses, so that a stale handle cannot name a new window that
// happens to sit at the old one's address.
struct WindowRegistry {
    struct Entry {
        WindowCore* core;
        QObject* object;
    };
    std::mutex lock;
    std::unordered_map<std::uintptr_t, Entry> windows;
    std::uintptr_t next = 0x10000;

    static WindowRegistry& Get() {
        static WindowRegistry* r = new WindowRegistry;  // outlives every static window
        return *r;
    }

    static bool Post(HWND w, u32 m, WPARAM wp, LPARAM lp) {
        WindowRegistry& r = Get();
        std::lock_guard<std::mutex> lk(r.lock);
        auto it = r.windows.find(reinterpret_cast<std::uintptr_t>(w));
        if (it == r.windows.end() || !it->second.object) return false;
        // Posting under the lock: the window cannot be destroyed in between, and Qt drops the
        // event if it is destroyed before the event is delivered.
        QCoreApplication::postEvent(it->second.object, new MessageEvent(m, wp, lp, nullptr));
        return true;
    }

    static LRESULT Send(HWND w, u32 m, WPARAM wp, LPARAM lp) {
        WindowRegistry& r = Get();
        std::shared_ptr<SendState> state;
        WindowCore* direct = nullptr;
        {
            std::lock_guard<std::mutex> lk(r.lock);
            auto it = r.windows.find(reinterpret_cast<std::uintptr_t>(w));
            if (it == r.windows.end() || !it->second.object) return 0;
            if (QThread::currentThread() == it->second.object->thread()) {
                direct = it->second.core;
            } else {
                state = std::make_shared<SendState>();
                QCoreApplication::postEvent(it->second.object, new MessageEvent(m, wp, lp, state), Qt::HighEventPriority);
            }
        }
        if (direct) return direct->OnMessage(m, wp, lp);
        // The window's thread handles the event from whatever event loop it runs, a modal
        // dialog's included; if the window dies first the event's destructor releases us.
        return state->Wait();
    }

    static bool IsWindowImpl(HWND w) {
        WindowRegistry& r = Get();
        std::lock_guard<std::mutex> lk(r.lock);
        return r.windows.count(reinterpret_cast<std::uintptr_t>(w)) != 0;
    }
};

namespace {
// Dialogs the layer did not make (the file dialogs of the toolkit) are placed as the layer's own
// are: the toolkit would centre them on a guess of where their window stands, and leave the rest
// to the window system, which may put them anywhere.
class ForeignDialogPlacement : public QObject {
public:
    bool eventFilter(QObject* object, QEvent* e) override {
        if (e->type() != QEvent::Show || !object->isWidgetType()) return false;
        auto* dialog = qobject_cast<QDialog*>(object);
        if (!dialog || !dialog->isWindow() || dialog->testAttribute(Qt::WA_Moved) || dynamic_cast<WindowCore*>(dialog)) return false;
        QWidget* owner = dialog->parentWidget() ? dialog->parentWidget()->window() : MainWindow();
        if (owner && owner != dialog && owner->isVisible()) PlaceCentredOver(dialog, owner);
        return false;
    }
};

void InstallForeignDialogPlacement() {
    static QPointer<ForeignDialogPlacement> filter;
    if (filter || !QCoreApplication::instance()) return;
    filter = new ForeignDialogPlacement;
    filter->setParent(QCoreApplication::instance());
    QCoreApplication::instance()->installEventFilter(filter);
}
}  // namespace

bool OnUiThread() { return qApp && QThread::currentThread() == qApp->thread(); }

void InstallWindowPost() {
    static const WindowPostFunctions f{WindowRegistry::Post, WindowRegistry::Send, WindowRegistry::IsWindowImpl};
    SetWindowPostFunctions(&f);
    InstallForeignDialogPlacement();
}

WindowCore::WindowCore() {
    InstallWindowPost();
    WindowRegistry& r = WindowRegistry::Get();
    std::lock_guard<std::mutex> lk(r.lock);
    const std::uintptr_t id = r.next;
    r.next += 4;
    handle_ = reinterpret_cast<HWND>(id);
    r.windows[id] = {this, nullptr};
}

WindowCore::~WindowCore() {
    WindowRegistry& r = WindowRegistry::Get();
    std::lock_guard<std::mutex> lk(r.lock);
    r.windows.erase(reinterpret_cast<std::uintptr_t>(handle_));
}

void WindowCore::Attach(QObject* self) {
    object_ = self;
    WindowRegistry& r = WindowRegistry::Get();
    std::lock_guard<std::mutex> lk(r.lock);
    r.windows[reinterpret_cast<std::uintptr_t>(handle_)].object = self;
}

WindowCore* WindowCore::FromHandle(HWND window) {
    WindowRegistry& r = WindowRegistry::Get();
    std::lock_guard<std::mutex> lk(r.lock);
    auto it = r.windows.find(reinterpret_cast<std::uintptr_t>(window));
    return it == r.windows.end() ? nullptr : it->second.core;
}

QWidget* WindowCore::WidgetFromHandle(HWND window) {
    WindowCore* c = FromHandle(window);
    return c ? c->Widget() : nullptr;
}

LRESULT WindowCore::OnMessage(u32, WPARAM, LPARAM) { return 0; }

bool WindowCore::PreTranslateMessage(u32, WPARAM, LPARAM) { return false; }

bool WindowCore::SetTimer(u32 id, u32 milliseconds) {
    if (!object_) return false;
    KillTimer(id);
    const int qtId = object_->startTimer(static_cast<int>(milliseconds));
    if (qtId == 0) return false;
    qtTimerToId_[qtId] = id;
    idToQtTimer_[id] = qtId;
    return true;
}

bool WindowCore::KillTimer(u32 id) {
    auto it = idToQtTimer_.find(id);
    if (it == idToQtTimer_.end()) return false;
    object_->killTimer(it->second);
    qtTimerToId_.erase(it->second);
    idToQtTimer_.erase(it);
    return true;
}

void WindowCore::TrackMouseLeave() { trackLeave_ = true; }

void WindowCore::TrackMouseHover(u32 milliseconds) {
    trackHover_ = true;
    hoverMs_ = milliseconds ? milliseconds : 1;
    HoverCheck();
}

void WindowCore::CancelTracking() {
    trackLeave_ = false;
    trackHover_ = false;
    if (hoverTimer_) {
        object_->killTimer(hoverTimer_);
        hoverTimer_ = 0;
    }
}

void WindowCore::HoverCheck() {
    if (!object_) return;
    if (hoverTimer_) object_->killTimer(hoverTimer_);
    hoverTimer_ = trackHover_ ? object_->startTimer(static_cast<int>(hoverMs_)) : 0;
}

void WindowCore::Invalidate() {
    if (QWidget* w = Widget()) w->update();
}

void WindowCore::InvalidateRect(const RECT& r) {
    if (QWidget* w = Widget()) w->update(ToQRect(r));
}

CursorShape WindowCore::SetCursorShape(CursorShape shape) {
    const CursorShape old = cursor_;
    cursor_ = shape;
    if (QWidget* w = Widget()) w->setCursor(QCursor(QtCursor(shape)));
    return old;
}

bool WindowCore::DispatchMouse(QEvent* e) {
    auto* me = static_cast<QMouseEvent*>(e);
    const QPoint p = me->position().toPoint();
    const LPARAM lp = MAKELPARAM(p.x(), p.y());
    WPARAM keys = (me->buttons() & Qt::LeftButton) ? MK_LBUTTON : 0;
    switch (e->type()) {
    case QEvent::MouseMove:
        if (trackHover_) HoverCheck();
        OnMessage(WM_MOUSEMOVE, keys, lp);
        return true;
    case QEvent::MouseButtonPress:
        if (me->button() != Qt::LeftButton) return false;
        OnMessage(WM_LBUTTONDOWN, keys | MK_LBUTTON, lp);
        return true;
    case QEvent::MouseButtonDblClick:
        if (me->button() != Qt::LeftButton) return false;
        OnMessage(WM_LBUTTONDBLCLK, keys | MK_LBUTTON, lp);
        return true;
    case QEvent::MouseButtonRelease:
        if (me->button() != Qt::LeftButton) return false;
        OnMessage(WM_LBUTTONUP, keys, lp);
        return true;
    default:
        return false;
    }
}

void WindowCore::DispatchPaint() {
    QWidget* w = Widget();
    QPainter painter(w);
    Dc dc(&painter);
    paintDc_ = &dc;
    OnMessage(WM_PAINT, 0, 0);
    paintDc_ = nullptr;
}

bool WindowCore::DispatchEvent(QEvent* e) {
    if (e->type() == kMessageEvent) {
        auto* m = static_cast<MessageEvent*>(e);
        const LRESULT r = OnMessage(m->message, m->wParam, m->lParam);
        if (m->send) m->send->Complete(r);
        return true;
    }
    switch (e->type()) {
    case QEvent::Paint:
        DispatchPaint();
        return true;
    case QEvent::MouseMove:
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseButtonDblClick: {
        const bool handled = DispatchMouse(e);
        return handled && !passInputToBase_;
    }
    case QEvent::Leave:
        if (hoverTimer_) {
            object_->killTimer(hoverTimer_);
            hoverTimer_ = 0;
        }
        if (trackLeave_) {
            trackLeave_ = false;
            trackHover_ = false;
            OnMessage(WM_MOUSELEAVE, 0, 0);
        }
        return false;
    case QEvent::Wheel: {
        auto* we = static_cast<QWheelEvent*>(e);
        const QPoint p = we->position().toPoint();
        OnMessage(WM_MOUSEWHEEL, MAKEWPARAM(0, we->angleDelta().y()), MAKELPARAM(p.x(), p.y()));
        return !passInputToBase_;
    }
    case QEvent::Resize: {
        const QSize s = static_cast<QResizeEvent*>(e)->size();
        OnMessage(WM_SIZE, 0, MAKELPARAM(s.width(), s.height()));
        return false;
    }
    case QEvent::Timer: {
        const int qtId = static_cast<QTimerEvent*>(e)->timerId();
        if (qtId == hoverTimer_ && hoverTimer_) {
            object_->killTimer(hoverTimer_);
            hoverTimer_ = 0;
            if (trackHover_) {
                trackHover_ = false;
                const QPoint p = Widget()->mapFromGlobal(QCursor::pos());
                OnMessage(WM_MOUSEHOVER, 0, MAKELPARAM(p.x(), p.y()));
            }
            return true;
        }
        auto it = qtTimerToId_.find(qtId);
        if (it == qtTimerToId_.end()) return false;
        OnMessage(WM_TIMER, it->second, 0);
        return true;
    }
    case QEvent::KeyPress: {
        auto* ke = static_cast<QKeyEvent*>(e);
        const u32 vk = VirtualKey(ke->key());
        if (PreTranslateMessage(WM_KEYDOWN, vk, 0)) return true;
        OnMessage(WM_KEYDOWN, vk, 0);
        return false;
    }
    default:
        return false;
    }
}

bool PostCommand(HWND window, int id, LPARAM lParam) {
    return PostMessage(window, WM_COMMAND, static_cast<WPARAM>(static_cast<u32>(id)), lParam);
}

void InvalidateWindow(HWND window) {
    if (WindowCore* w = WindowCore::FromHandle(window)) w->Invalidate();
}

void InvalidateWindowRect(HWND window, const RECT& r) {
    if (WindowCore* w = WindowCore::FromHandle(window)) w->InvalidateRect(r);
}

CursorShape SetWindowCursor(HWND window, CursorShape shape) {
    if (WindowCore* w = WindowCore::FromHandle(window)) return w->SetCursorShape(shape);
    return CursorShape::Arrow;
}

namespace {
QPointer<QWidget>& MainWindowRef() {
    static QPointer<QWidget> window;
    return window;
}

// The window a dialog may open over: shown and not the dialog itself.
QWidget* UsableOwner(QWidget* candidate, const QWidget* dialog) {
    return candidate && candidate != dialog && candidate->isVisible() ? candidate->window() : nullptr;
}
}  // namespace

void SetMainWindow(QWidget* window) { MainWindowRef() = window; }
QWidget* MainWindow() { return MainWindowRef().data(); }

Dialog::Dialog(QWidget* parent) : WindowOf<QDialog>(parent) {}

QWidget* Dialog::Owner() const {
    if (const QWidget* parent = parentWidget()) return UsableOwner(parent->window(), this);
    if (QWidget* modal = UsableOwner(QApplication::activeModalWidget(), this)) return modal;
    if (QWidget* active = UsableOwner(QApplication::activeWindow(), this)) return active;
    return UsableOwner(MainWindow(), this);
}

void PlaceCentredOver(QWidget* window, QWidget* owner) {
    if (!window || !owner) return;
    owner = owner->window();
    // The frame, where the window system already told it, is what the user sees and what a move
    // places.
    QRect placed(QPoint(0, 0), window->frameGeometry().size());
    placed.moveCenter(owner->frameGeometry().center());
    // A window larger than its owner stays on the owner's screen.
    if (const QScreen* screen = owner->screen()) {
        const QRect area = screen->availableGeometry();
        placed.moveLeft(std::max(area.left(), std::min(placed.left(), area.right() - placed.width() + 1)));
        placed.moveTop(std::max(area.top(), std::min(placed.top(), area.bottom() - placed.height() + 1)));
    }
    window->move(placed.topLeft());
}

void Dialog::PlaceOverOwner() {
    // The main window and a dialog that placed itself keep their places.
    if (this == MainWindow() || testAttribute(Qt::WA_Moved)) return;
    QWidget* owner = Owner();
    if (!owner || owner == this) return;
    // Without a parent the window system learns whom the dialog belongs to all the same.
    if (!parentWidget()) {
        create();
        if (windowHandle() && owner->windowHandle()) windowHandle()->setTransientParent(owner->windowHandle());
    }
    PlaceCentredOver(this, owner);
}

int Dialog::DoModal() {
    endedEarly_ = false;
    if (!initialised_) {
        initialised_ = true;
        OnInitDialog();
    }
    // EndDialog during initialisation ends the dialog before it is shown.
    if (endedEarly_) {
        endedEarly_ = false;
        return result();
    }
    PlaceOverOwner();
    return exec();
}

bool Dialog::Create() {
    if (!initialised_) {
        initialised_ = true;
        OnInitDialog();
    }
    if (!isVisible()) PlaceOverOwner();
    show();
    return true;
}

void Dialog::EndDialog(int result) {
    if (!isVisible()) endedEarly_ = true;
    done(result);
}

void Dialog::reject() { EndDialog(IDCANCEL); }

}  // namespace ui
