#pragma once
// The owner of a family of worker threads (the scan session's scan and release threads, the
// preview's copy workers, the volume enumeration). Every thread is numbered in the order it was
// started and joined by its owner, never detached: an ended thread is joined when the next one
// starts or when the owner waits for it, and the owner's destructor joins whatever still runs.
//
// A thread waits only for threads older than itself, so no two threads wait for each other and
// none waits for itself. The owner also counts the readers of what its threads build (the found
// trees): whoever frees those waits until no TreeReader is held.
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/Types.h"

class ScanThreads {
public:
    // Older than this: every thread started so far, and every one started later.
    static constexpr u64 kAllThreads = ~0ULL;
    // How long a wait without end goes before it logs that it still waits.
    static constexpr u32 kStallLogMs = 10000;

    // The thread's own number, handed to its body.
    using Body = std::function<void(u64 number)>;

    // Held by a thread while it reads what the owner's threads built; moving hands it on.
    class TreeReader {
    public:
        TreeReader() = default;
        TreeReader(TreeReader&& other) noexcept : m_owner(other.m_owner) { other.m_owner = nullptr; }
        TreeReader& operator=(TreeReader&& other) noexcept;
        TreeReader(const TreeReader&) = delete;
        TreeReader& operator=(const TreeReader&) = delete;
        ~TreeReader() { Reset(); }
        // Lets go before the guard goes.
        void Reset();
        explicit operator bool() const { return m_owner != nullptr; }

    private:
        friend class ScanThreads;
        explicit TreeReader(ScanThreads* owner) : m_owner(owner) {}
        ScanThreads* m_owner = nullptr;
    };

    ScanThreads() = default;
    ScanThreads(const ScanThreads&) = delete;
    ScanThreads& operator=(const ScanThreads&) = delete;
    // Joins every thread (JoinAll); it asks none of them to stop.
    ~ScanThreads();

    // Runs body on a new thread numbered after every thread started before. The thread counts as
    // running before Start returns, until its body has returned and its captures are gone. The
    // number, or 0 when no thread could be made (nothing runs then).
    u64 Start(Body body);
    // The number the next Start gives: every thread started so far is older.
    u64 NextNumber() const;

    // Whether a thread numbered below olderThan still runs.
    bool AnyRunning(u64 olderThan = kAllThreads) const;
    // Whether a thread numbered below olderThan runs and has not called EndBusy yet.
    bool AnyBusy(u64 olderThan = kAllThreads) const;
    // Blocks until no thread numbered below olderThan runs; logs every kStallLogMs meanwhile.
    void WaitOlder(u64 olderThan);
    // Waits up to `ms` for thread `number` to end; true once it has (or never ran).
    bool WaitFor(u64 number, u32 ms);

    // Marks every running thread numbered below olderThan as asked to stop and calls the stop
    // hook of each one still busy.
    void RequestStop(u64 olderThan = kAllThreads);
    bool StopRequested(u64 number) const;
    // Installs what RequestStop calls for this thread while it is busy; false (nothing installed)
    // when the thread was asked to stop already. An empty hook removes the one installed. The
    // hook runs under the owner's lock: it must only signal.
    bool SetStopHook(u64 number, std::function<void()> hook);
    // The thread is past the work a stop concerns: RequestStop no longer calls its hook and
    // AnyBusy no longer counts it.
    void EndBusy(u64 number);

    // RequestStop for every thread, then JoinAll.
    void StopAll();
    // Waits for every thread and joins it. Never from one of the owner's own threads.
    void JoinAll();

    // A reader of the built trees; WaitNoTreeReaders blocks while any is held.
    TreeReader HoldTrees();
    void WaitNoTreeReaders();
    u32 TreeReaderCount() const;

private:
    struct Entry {
        std::thread thread;
        bool ended = false;
        bool stop = false;
        bool busy = true;
        std::function<void()> stopHook;
    };

    void Run(u64 number, Body body);
    void ReleaseTreeReader();
    // Takes the ended threads (but the calling one) out of the table, to be joined unlocked.
    void TakeEnded(std::unique_lock<std::mutex>& lk, std::vector<std::thread>& out);
    static void Join(std::vector<std::thread>& threads);

    mutable std::mutex m_lock;
    std::condition_variable m_changed;
    // Running threads, and ended ones not joined yet, by number (oldest first).
    std::map<u64, Entry> m_threads;
    u64 m_lastNumber = 0;
    u32 m_treeReaders = 0;
};
