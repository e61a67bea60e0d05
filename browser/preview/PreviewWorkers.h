#pragma once
// The threads that copy the preview pane's pictures out of the scan. However often the user picks
// another file and whatever the disk does (a failing stick or a lost share may keep one read
// waiting for minutes), few of them exist. At most kMaxPaneWorkers serve orders still wanted; a
// worker whose order was cancelled while it is inside a read is let go as the end of the program
// lets it go: it stores nothing, ends when the read returns, and no longer keeps a newer pick
// waiting, so that a disk with a few bad places still shows every other picture. Let-go workers
// count towards kMaxPreviewWorkers in all: a pick made while no worker may be started waits in one
// place, where a newer pick replaces it, and an order that is no longer wanted is never started.
// A file picked again while its own copy hangs waits for that copy's lock, not in the disk, and
// leaves once it is cancelled: only the distinct files whose reads hang keep workers.
//
// When the program ends every order is cancelled and the workers are waited for a short while.
// A worker still inside a read then is left to end on its own: it holds what it reads (a held
// file, which keeps the scanned volume), its temporary copy is removed through a registry that
// is never destroyed, and a cancelled order hands nothing back.
#include <atomic>
#include <condition_variable>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/Types.h"

namespace FileSelCtrl {

struct Preview_Item;

constexpr int kMaxPaneWorkers = 2;
// Every worker, let go or not: a disk whose reads all hang keeps no more threads than these.
constexpr int kMaxPreviewWorkers = 8;
// The workers' name among the process's threads (at most 15 characters).
constexpr const char* kPreviewWorkerThreadName = "preview copy";
// How long the end of the program waits for the workers to leave their reads.
constexpr u32 kPreviewWorkersExitWaitMs = 2000;

class CPreviewWorkers {
public:
    // Copies the order's file and hands the picture back (HandBack); true when it did.
    using Run = bool (*)(const std::shared_ptr<Preview_Item>& order);

    // The process's one set of workers; never destroyed (see above).
    static CPreviewWorkers& Instance();
    CPreviewWorkers(const CPreviewWorkers&) = delete;
    CPreviewWorkers& operator=(const CPreviewWorkers&) = delete;

    // UI thread. The order is run by the next worker free, started now while fewer than
    // kMaxPaneWorkers serve wanted orders and fewer than kMaxPreviewWorkers exist; an order still
    // waiting is dropped for it. False when no worker could be made: nothing runs then.
    bool Submit(std::shared_ptr<Preview_Item> order, Run run);
    // A worker: posts `deliver` to the UI thread unless the order was cancelled, under the lock
    // that Stop cancels under, so nothing reaches an application that is ending. True when posted.
    bool HandBack(const Preview_Item& order, std::function<void()> deliver);
    // UI thread: a posted hand-back has run.
    void Delivered();
    // UI thread. Cancels every order and waits up to waitMs for the workers to end; true when
    // none is left. Orders submitted later run as before.
    bool Stop(u32 waitMs);

    // Worker threads alive, a worker left inside a read included (one that ended is joined first).
    int Threads();
    // Orders submitted and not done: waiting, running, or handed back and not yet delivered.
    int Orders() const { return m_orders.load(); }

private:
    struct Worker {
        std::thread thread;  // let go (detached) when it was left inside a read
        bool ended = false;
        // The order it runs; none while it starts or looks for the next.
        std::shared_ptr<Preview_Item> order;
    };

    CPreviewWorkers() = default;
    void Loop(Worker* self);
    // Under the lock: joins the workers that ended and forgets them. A thread counts until it is
    // joined, so the system never lists more than kMaxPreviewWorkers of them.
    void JoinEnded();
    // Under the lock: the workers not let go (running a wanted order, or about to take one).
    int ServingLocked() const;

    std::mutex m_lock;
    std::condition_variable m_ended;
    std::shared_ptr<Preview_Item> m_waiting;
    Run m_waitingRun = nullptr;
    std::list<Worker> m_workers;
    std::atomic<int> m_orders{0};
};

}  // namespace FileSelCtrl
