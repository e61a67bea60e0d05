#pragma once
// Re-entrant critical sections, manual/auto-reset events, named mutexes of this process, and
// small thread helpers.
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>

#include "platform/Types.h"

constexpr u32 kInfinite = 0xFFFFFFFFu;
constexpr u32 kWaitObject0 = 0;
constexpr u32 kWaitTimeout = 258;

// A critical section may be entered again by the thread that holds it.
class CriticalSection {
public:
    void Enter() { m_.lock(); }
    void Leave() { m_.unlock(); }
    bool TryEnter() { return m_.try_lock(); }
    std::recursive_mutex& Native() { return m_; }

private:
    std::recursive_mutex m_;
};

class CsGuard {
public:
    explicit CsGuard(CriticalSection& cs) : cs_(cs) { cs_.Enter(); }
    ~CsGuard() { cs_.Leave(); }
    CsGuard(const CsGuard&) = delete;
    CsGuard& operator=(const CsGuard&) = delete;

private:
    CriticalSection& cs_;
};

// Manual-reset events stay set until Reset; auto-reset events release one waiter and clear.
class Event {
public:
    explicit Event(bool manualReset = true, bool initiallySet = false)
        : manual_(manualReset), set_(initiallySet) {}
    void Set();
    void Reset();
    bool IsSet() const;
    // Returns kWaitObject0 when signalled, kWaitTimeout when the time ran out.
    u32 Wait(u32 milliseconds = kInfinite);

private:
    mutable std::mutex m_;
    std::condition_variable cv_;
    bool manual_;
    bool set_;
};

// Named mutexes are a process-wide table: two users of one name share one mutex.
class NamedMutex {
public:
    explicit NamedMutex(const std::string& name);
    ~NamedMutex();
    // Returns kWaitObject0 when owned, kWaitTimeout when the time ran out.
    u32 Wait(u32 milliseconds = kInfinite);
    void Release();
    const std::string& Name() const { return name_; }

    struct Shared;

private:
    std::string name_;
    std::shared_ptr<Shared> shared_;
    // Ownership taken through this handle: its destruction gives back only that, never what
    // another handle of the same thread holds.
    int held_ = 0;
};

void SleepMs(u32 milliseconds);
u32 CurrentProcessId();
u32 CurrentThreadId();
