#pragma once
// Waits of the window tests that end on the event they wait for, never on the clock: posted
// events handed over, a condition that turned true, a modal window that was shown. A limit is
// only a guard against a hang, generous enough for a loaded machine, and a wait that runs into
// it fails saying what it waited for.
#include <gtest/gtest.h>

#include <QPointer>
#include <QWidget>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace uiwait {

// How long a wait may take before it counts as a hang.
inline constexpr std::chrono::milliseconds kGuard{std::chrono::seconds(60)};
// How long a modal window may stay open while no answer to it runs before it counts as
// forgotten: the test fails naming it and the window is closed.
inline constexpr std::chrono::milliseconds kModalGuard{std::chrono::seconds(60)};

// Hands over every event already posted, deferred deletes included, without waiting for more.
void Flush();
// Turns the event loop (asleep between events) until pred holds. A failure naming `what` when
// the guard ran out first.
[[nodiscard]] ::testing::AssertionResult Until(const std::function<bool()>& pred, const std::string& what,
                                               std::chrono::milliseconds guard = kGuard);
// The same without turning the event loop: for what another thread does while nothing posted to
// the interface thread may be handled yet.
[[nodiscard]] ::testing::AssertionResult UntilWithoutEvents(const std::function<bool()>& pred, const std::string& what,
                                                            std::chrono::milliseconds guard = kGuard);
// Draws a window now, so what a test looks at or saves is what the screen would show.
void Paint(QWidget* w);

// The class and caption of a window, for failure messages.
std::string Describe(const QWidget* w);
// Ends a modal window as its own cancel would, without the questions a cancel may ask.
void EndModal(QWidget* modal, int result);

// Fails a test, naming the window, when a modal window or a popup menu stays open kModalGuard
// after it was shown while no answer to it runs, and closes it: a test whose answer never came
// ends instead of blocking in the window's loop until the test's time runs out. Installed once
// per process by every ModalWatch; test binaries install it with their application as well.
void InstallModalGuard();
// Sets the guard's limit for the windows shown while it lives (the guard's own tests).
class ModalGuardLimit {
public:
    explicit ModalGuardLimit(std::chrono::milliseconds limit);
    ~ModalGuardLimit();
    ModalGuardLimit(const ModalGuardLimit&) = delete;
    ModalGuardLimit& operator=(const ModalGuardLimit&) = delete;

private:
    std::chrono::milliseconds saved_;
};

// The windows a watch answers: modal windows, or popup menus (which run a loop of their own).
enum class Watched { kModal, kPopup };

// Hands each modal window (or popup) shown while it lives to `answer`, once, from inside the
// window's own loop. Windows are caught as they are shown, so one that closes at once is counted
// even when it is gone before its answer could run (that answer is then skipped).
class ModalWatch {
public:
    explicit ModalWatch(std::function<void(QWidget*)> answer, Watched watched = Watched::kModal);
    ~ModalWatch();
    ModalWatch(const ModalWatch&) = delete;
    ModalWatch& operator=(const ModalWatch&) = delete;
    // Modal windows shown so far, and their descriptions in order.
    int Seen() const;
    std::vector<std::string> Names() const;

    struct State;

private:
    std::shared_ptr<State> state_;
};

// An answer for one kind of window: other modal windows are left to close themselves (or to
// the guard).
template <class T>
std::function<void(QWidget*)> OfType(std::function<void(T*)> answer) {
    return [answer = std::move(answer)](QWidget* w) {
        if (auto* t = dynamic_cast<T*>(w)) answer(t);
    };
}

}  // namespace uiwait
