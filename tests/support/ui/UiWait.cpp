#include "ui/UiWait.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QDialog>
#include <QEvent>
#include <QTimer>
#include <cstdlib>
#include <cxxabi.h>
#include <thread>
#include <typeinfo>

#include "platform/ui/Window.h"

namespace uiwait {

namespace {

// How often a wait looks at its condition when nothing else wakes the loop: a condition may
// turn true on another thread without an event.
constexpr std::chrono::milliseconds kWakeInterval{10};
// Properties kept on a modal window: how often it was shown (a later showing of the same
// window has its own guard), and how many answers to it are running.
constexpr const char* kShowing = "uiwaitShowing";
constexpr const char* kAnswering = "uiwaitAnswering";
std::chrono::milliseconds g_modalLimit = kModalGuard;

bool IsShown(QObject* o, QEvent* e, Watched watched) {
    if (e->type() != QEvent::Show || !o->isWidgetType()) return false;
    auto* w = static_cast<QWidget*>(o);
    if (!w->isWindow()) return false;
    return watched == Watched::kModal ? w->isModal() : w->windowType() == Qt::Popup;
}

class ModalGuardFilter : public QObject {
public:
    bool eventFilter(QObject* o, QEvent* e) override {
        if (IsShown(o, e, Watched::kModal) || IsShown(o, e, Watched::kPopup)) Arm(static_cast<QWidget*>(o));
        return false;
    }

private:
    void Arm(QWidget* w) {
        const int showing = w->property(kShowing).toInt() + 1;
        w->setProperty(kShowing, showing);
        Watch(QPointer<QWidget>(w), showing);
    }
    void Watch(QPointer<QWidget> w, int showing) {
        const std::chrono::milliseconds limit = g_modalLimit;
        QTimer::singleShot(limit, this, [this, w, showing, limit] {
            if (!w || !w->isVisible() || w->property(kShowing).toInt() != showing) return;
            // An answer still at work (pumping while a worker writes) has its own guards.
            if (w->property(kAnswering).toInt() > 0) return Watch(w, showing);
            ADD_FAILURE() << "the window " << Describe(w) << " stayed open " << limit.count()
                          << " ms and nothing answered it: closed it";
            EndModal(w, IDCANCEL);
        });
    }
};

}  // namespace

void Flush() {
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

::testing::AssertionResult Until(const std::function<bool()>& pred, const std::string& what,
                                 std::chrono::milliseconds guard) {
    const QDeadlineTimer deadline(guard);
    QTimer wake;
    wake.start(kWakeInterval);
    while (!pred()) {
        if (deadline.hasExpired())
            return ::testing::AssertionFailure()
                   << "waited " << std::chrono::duration_cast<std::chrono::seconds>(guard).count() << " s for " << what
                   << ", in vain";
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult UntilWithoutEvents(const std::function<bool()>& pred, const std::string& what,
                                              std::chrono::milliseconds guard) {
    const QDeadlineTimer deadline(guard);
    while (!pred()) {
        if (deadline.hasExpired())
            return ::testing::AssertionFailure()
                   << "waited " << std::chrono::duration_cast<std::chrono::seconds>(guard).count() << " s for " << what
                   << ", in vain";
        std::this_thread::sleep_for(kWakeInterval);
    }
    return ::testing::AssertionSuccess();
}

void Paint(QWidget* w) {
    Flush();
    if (w && w->isVisible()) w->repaint();
}

std::string Describe(const QWidget* w) {
    if (!w) return "(gone)";
    const char* mangled = typeid(*w).name();
    int status = 0;
    std::unique_ptr<char, void (*)(void*)> name(abi::__cxa_demangle(mangled, nullptr, nullptr, &status), std::free);
    std::string text = status == 0 && name ? name.get() : mangled;
    const QString title = w->windowTitle();
    if (!title.isEmpty()) text += " \"" + title.toStdString() + "\"";
    return text;
}

void EndModal(QWidget* modal, int result) {
    if (auto* d = dynamic_cast<ui::Dialog*>(modal)) d->EndDialog(result);
    else if (auto* q = qobject_cast<QDialog*>(modal)) q->done(result);
    else if (modal) modal->close();
}

void InstallModalGuard() {
    static ModalGuardFilter* guard = nullptr;
    if (guard || !qApp) return;
    guard = new ModalGuardFilter;
    qApp->installEventFilter(guard);
}

ModalGuardLimit::ModalGuardLimit(std::chrono::milliseconds limit) : saved_(g_modalLimit) { g_modalLimit = limit; }

ModalGuardLimit::~ModalGuardLimit() { g_modalLimit = saved_; }

struct ModalWatch::State : QObject {
    std::function<void(QWidget*)> answer;
    Watched watched = Watched::kModal;
    std::vector<std::string> names;

    bool eventFilter(QObject* o, QEvent* e) override {
        if (!IsShown(o, e, watched)) return false;
        QPointer<QWidget> w(static_cast<QWidget*>(o));
        names.push_back(Describe(w));
        // Posted, so it runs inside the window's loop: an answer that ends the window before
        // that loop turns would leave the loop waiting for an end that already happened.
        QMetaObject::invokeMethod(this, [this, w] {
            // What the window asked for as it was shown (its first paint) comes first.
            if (w && w->isVisible()) Flush();
            if (!w || !w->isVisible()) return;
            w->setProperty(kAnswering, w->property(kAnswering).toInt() + 1);
            answer(w);
            if (w) w->setProperty(kAnswering, w->property(kAnswering).toInt() - 1);
        }, Qt::QueuedConnection);
        return false;
    }
};

ModalWatch::ModalWatch(std::function<void(QWidget*)> answer, Watched watched) : state_(std::make_shared<State>()) {
    InstallModalGuard();
    state_->answer = std::move(answer);
    state_->watched = watched;
    qApp->installEventFilter(state_.get());
}

ModalWatch::~ModalWatch() {
    if (qApp) qApp->removeEventFilter(state_.get());
}

int ModalWatch::Seen() const { return static_cast<int>(state_->names.size()); }

std::vector<std::string> ModalWatch::Names() const { return state_->names; }

}  // namespace uiwait
