#include "browser/preview/PreviewWorkers.h"

#include <pthread.h>

#include <QCoreApplication>
#include <QImageReader>
#include <QMetaObject>
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <system_error>
#include <thread>

#include "browser/preview/PreviewPane.h"
#include "platform/Log.h"

namespace FileSelCtrl {

namespace {
void StopAtExit() { CPreviewWorkers::Instance().Stop(kPreviewWorkersExitWaitMs); }
}  // namespace

CPreviewWorkers& CPreviewWorkers::Instance() {
    static CPreviewWorkers* const workers = [] {
        // The picture readers a worker decodes with are made before the workers' end is
        // registered, so that the end (which stops the workers) runs before they are unloaded.
        (void)QImageReader::supportedImageFormats();
        auto* made = new CPreviewWorkers;
        std::atexit(StopAtExit);
        return made;
    }();
    return *workers;
}

bool CPreviewWorkers::Submit(std::shared_ptr<Preview_Item> order, Run run) {
    if (!order || !run) return false;
    std::shared_ptr<Preview_Item> dropped;
    bool taken = true;
    {
        std::lock_guard<std::mutex> hold(m_lock);
        JoinEnded();
        dropped = std::move(m_waiting);
        m_waiting = std::move(order);
        m_waitingRun = run;
        m_orders.fetch_add(1);
        if (dropped) m_orders.fetch_sub(1);
        // A worker let go inside a read takes the waiting order when its read returns; meanwhile
        // it neither counts as serving nor keeps this order from a worker of its own.
        if (ServingLocked() < kMaxPaneWorkers && m_workers.size() < size_t{kMaxPreviewWorkers}) {
            Worker* worker = &m_workers.emplace_back();
            try {
                // The thread waits for this lock before it looks for work: its handle is stored first.
                worker->thread = std::thread([this, worker] { Loop(worker); });
            } catch (const std::system_error& e) {
                LogError("A preview worker could not be started: %s", e.what());
                m_workers.pop_back();
                // A worker that runs takes the order when it is done; without one it is dropped.
                if (m_workers.empty()) {
                    m_waiting->Cancel();
                    m_waiting.reset();
                    m_orders.fetch_sub(1);
                    taken = false;
                }
            }
        }
    }
    if (dropped) dropped->Cancel();
    return taken;
}

void CPreviewWorkers::Loop(Worker* self) {
    // Named, so that a look at the process's threads tells them apart.
    pthread_setname_np(pthread_self(), kPreviewWorkerThreadName);
    std::unique_lock<std::mutex> lk(m_lock);
    while (m_waiting) {
        self->order = std::move(m_waiting);
        std::shared_ptr<Preview_Item> order = self->order;
        const Run run = m_waitingRun;
        m_waiting.reset();
        lk.unlock();
        // An order the user has moved on from is not started: its first read may hang.
        const bool handedBack = !order->cancelled.load() && run(order);
        if (!handedBack) m_orders.fetch_sub(1);
        lk.lock();
        self->order.reset();
        lk.unlock();
        // The order's last reference may go here: its row is let go outside the lock.
        order.reset();
        lk.lock();
    }
    self->ended = true;
    m_ended.notify_all();
}

void CPreviewWorkers::JoinEnded() {
    // An ended worker has let go of the lock for good: it only returns, so it is joined here.
    for (Worker& worker : m_workers)
        if (worker.ended && worker.thread.joinable()) worker.thread.join();
    m_workers.remove_if([](const Worker& worker) { return worker.ended; });
}

bool CPreviewWorkers::HandBack(const Preview_Item& order, std::function<void()> deliver) {
    std::lock_guard<std::mutex> hold(m_lock);
    QCoreApplication* app = QCoreApplication::instance();
    if (order.cancelled.load() || !app) return false;
    // Posted, never sent: the UI thread may be waiting for this worker.
    return QMetaObject::invokeMethod(app, std::move(deliver), Qt::QueuedConnection);
}

void CPreviewWorkers::Delivered() { m_orders.fetch_sub(1); }

bool CPreviewWorkers::Stop(u32 waitMs) {
    std::shared_ptr<Preview_Item> dropped;
    std::vector<std::shared_ptr<Preview_Item>> running;
    bool ended = false;
    int left = 0;
    {
        std::unique_lock<std::mutex> lk(m_lock);
        dropped = std::move(m_waiting);
        if (dropped) {
            dropped->cancelled.store(true);
            m_orders.fetch_sub(1);
        }
        for (const Worker& worker : m_workers)
            if (worker.order) running.push_back(worker.order);
        for (const std::shared_ptr<Preview_Item>& order : running) order->cancelled.store(true);
        const auto allEnded = [this] {
            return std::all_of(m_workers.begin(), m_workers.end(), [](const Worker& worker) { return worker.ended; });
        };
        ended = m_ended.wait_for(lk, std::chrono::milliseconds(waitMs), allEnded);
        // A worker still inside a read goes on alone: nothing may wait for it any more.
        for (Worker& worker : m_workers) {
            if (worker.ended) continue;
            ++left;
            if (worker.thread.joinable()) worker.thread.detach();
        }
        JoinEnded();
    }
    // The rows go back on this thread, the one they belong to.
    if (dropped) dropped->Cancel();
    for (const std::shared_ptr<Preview_Item>& order : running) order->Cancel();
    if (!ended) LogError("%d preview workers are still inside a read of the disk after %u ms; they end on their own", left, waitMs);
    return ended;
}

int CPreviewWorkers::ServingLocked() const {
    return static_cast<int>(std::count_if(m_workers.begin(), m_workers.end(), [](const Worker& worker) {
        return !worker.ended && (!worker.order || !worker.order->cancelled.load());
    }));
}

int CPreviewWorkers::Threads() {
    std::lock_guard<std::mutex> hold(m_lock);
    JoinEnded();
    return static_cast<int>(m_workers.size());
}

}  // namespace FileSelCtrl
