#include "platform/Sync.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <thread>

void Event::Set() {
    {
        std::lock_guard<std::mutex> lk(m_);
        set_ = true;
    }
    if (manual_)
        cv_.notify_all();
    else
        cv_.notify_one();
}

void Event::Reset() {
    std::lock_guard<std::mutex> lk(m_);
    set_ = false;
}

bool Event::IsSet() const {
    std::lock_guard<std::mutex> lk(m_);
    return set_;
}

u32 Event::Wait(u32 milliseconds) {
    std::unique_lock<std::mutex> lk(m_);
    auto ready = [this] { return set_; };
    if (milliseconds == kInfinite) {
        cv_.wait(lk, ready);
    } else if (!cv_.wait_for(lk, std::chrono::milliseconds(milliseconds), ready)) {
        return kWaitTimeout;
    }
    if (!manual_) set_ = false;
    return kWaitObject0;
}

// An owner-tracking mutex so that the owning thread may wait on it again (as a Windows mutex).
struct NamedMutex::Shared {
    std::mutex m;
    std::condition_variable cv;
    std::thread::id owner;
    int depth = 0;
};

namespace {
std::mutex g_tableLock;
std::map<std::string, std::weak_ptr<NamedMutex::Shared>>& Table() {
    static std::map<std::string, std::weak_ptr<NamedMutex::Shared>> table;
    return table;
}
}  // namespace

NamedMutex::NamedMutex(const std::string& name) : name_(name) {
    std::lock_guard<std::mutex> lk(g_tableLock);
    auto& table = Table();
    auto it = table.find(name);
    if (it != table.end()) shared_ = it->second.lock();
    if (!shared_) {
        shared_ = std::make_shared<Shared>();
        table[name] = shared_;
    }
    for (auto i = table.begin(); i != table.end();) {
        if (i->second.expired())
            i = table.erase(i);
        else
            ++i;
    }
}

NamedMutex::~NamedMutex() {
    std::unique_lock<std::mutex> lk(shared_->m);
    if (shared_->owner != std::this_thread::get_id() || held_ == 0 || shared_->depth == 0) return;
    shared_->depth -= held_ < shared_->depth ? held_ : shared_->depth;
    held_ = 0;
    if (shared_->depth == 0) {
        shared_->owner = std::thread::id();
        lk.unlock();
        shared_->cv.notify_all();
    }
}

u32 NamedMutex::Wait(u32 milliseconds) {
    std::unique_lock<std::mutex> lk(shared_->m);
    const auto self = std::this_thread::get_id();
    auto free = [&] { return shared_->depth == 0 || shared_->owner == self; };
    if (milliseconds == kInfinite) {
        shared_->cv.wait(lk, free);
    } else if (!shared_->cv.wait_for(lk, std::chrono::milliseconds(milliseconds), free)) {
        return kWaitTimeout;
    }
    shared_->owner = self;
    ++shared_->depth;
    ++held_;
    return kWaitObject0;
}

void NamedMutex::Release() {
    std::unique_lock<std::mutex> lk(shared_->m);
    if (shared_->owner != std::this_thread::get_id() || shared_->depth == 0) return;
    if (held_ > 0) --held_;
    if (--shared_->depth == 0) {
        shared_->owner = std::thread::id();
        lk.unlock();
        shared_->cv.notify_all();
    }
}

void SleepMs(u32 milliseconds) { std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds)); }

u32 CurrentProcessId() { return static_cast<u32>(::getpid()); }
u32 CurrentThreadId() { return static_cast<u32>(::syscall(SYS_gettid)); }
