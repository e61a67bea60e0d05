#include "platform/WindowPost.h"

#include <atomic>
#include <mutex>

namespace {
std::mutex g_sinkLock;
std::vector<HeadlessMessage> g_sinkMessages;
std::function<LRESULT(const HeadlessMessage&)> g_sendHandler;

bool SinkPost(HWND w, u32 m, WPARAM wp, LPARAM lp) {
    if (!w) return false;
    std::lock_guard<std::mutex> lk(g_sinkLock);
    g_sinkMessages.push_back({w, m, wp, lp, false});
    return true;
}

LRESULT SinkSend(HWND w, u32 m, WPARAM wp, LPARAM lp) {
    if (!w) return 0;
    std::function<LRESULT(const HeadlessMessage&)> handler;
    const HeadlessMessage msg{w, m, wp, lp, true};
    {
        std::lock_guard<std::mutex> lk(g_sinkLock);
        g_sinkMessages.push_back(msg);
        handler = g_sendHandler;
    }
    // The handler runs unlocked: it may post or send again.
    return handler ? handler(msg) : 0;
}

bool SinkIsWindow(HWND w) { return w != nullptr; }

const WindowPostFunctions kHeadless{SinkPost, SinkSend, SinkIsWindow};
// Installed tables live for the whole process: a caller on another thread may still be using
// the previous one while a new one is installed.
WindowPostFunctions g_installed[8];
std::atomic<int> g_installedCount{0};
std::atomic<const WindowPostFunctions*> g_current{&kHeadless};
std::mutex g_installLock;
}  // namespace

void SetWindowPostFunctions(const WindowPostFunctions* functions) {
    std::lock_guard<std::mutex> lk(g_installLock);
    if (!functions || !functions->post || !functions->send || !functions->isWindow) {
        g_current.store(&kHeadless);
        return;
    }
    for (int i = 0; i < g_installedCount.load(); ++i) {
        const WindowPostFunctions& f = g_installed[i];
        if (f.post == functions->post && f.send == functions->send && f.isWindow == functions->isWindow) {
            g_current.store(&f);
            return;
        }
    }
    const int n = g_installedCount.load();
    if (n >= 8) return;  // a handful of distinct tables at most; more is a programming error
    g_installed[n] = *functions;
    g_installedCount.store(n + 1);
    g_current.store(&g_installed[n]);
}

HeadlessWindowPostScope::HeadlessWindowPostScope() {
    std::lock_guard<std::mutex> lk(g_installLock);
    previous_ = g_current.exchange(&kHeadless);
}

HeadlessWindowPostScope::~HeadlessWindowPostScope() {
    std::lock_guard<std::mutex> lk(g_installLock);
    g_current.store(previous_);
}

bool PostMessage(HWND window, u32 message, WPARAM wParam, LPARAM lParam) {
    return g_current.load()->post(window, message, wParam, lParam);
}

LRESULT SendMessage(HWND window, u32 message, WPARAM wParam, LPARAM lParam) {
    return g_current.load()->send(window, message, wParam, lParam);
}

bool IsWindow(HWND window) { return g_current.load()->isWindow(window); }

namespace headless {
std::vector<HeadlessMessage> TakeMessages() {
    std::lock_guard<std::mutex> lk(g_sinkLock);
    std::vector<HeadlessMessage> out;
    out.swap(g_sinkMessages);
    return out;
}

void SetSendHandler(std::function<LRESULT(const HeadlessMessage&)> handler) {
    std::lock_guard<std::mutex> lk(g_sinkLock);
    g_sendHandler = std::move(handler);
}
}  // namespace headless
