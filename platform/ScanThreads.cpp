#include "platform/ScanThreads.h"

#include <chrono>
#include <exception>
#include <system_error>

#include "platform/Log.h"

ScanThreads::TreeReader& ScanThreads::TreeReader::operator=(TreeReader&& other) noexcept {
    if (this != &other) {
        Reset();
        m_owner = other.m_owner;
        other.m_owner = nullptr;
    }
    return *this;
}

void ScanThreads::TreeReader::Reset() {
    if (m_owner) m_owner->ReleaseTreeReader();
    m_owner = nullptr;
}

ScanThreads::~ScanThreads() { JoinAll(); }

u64 ScanThreads::Start(Body body) {
    std::vector<std::thread> ended;
    u64 number = 0;
    {
        std::unique_lock<std::mutex> lk(m_lock);
        TakeEnded(lk, ended);
        number = m_lastNumber + 1;
        Entry& entry = m_threads[number];
        try {
            // The thread waits for this lock before its body runs: its handle is stored first.
            entry.thread = std::thread([this, number, body = std::move(body)]() mutable { Run(number, std::move(body)); });
            m_lastNumber = number;
        } catch (const std::system_error& e) {
            LogError("A thread could not be created: %s", e.what());
            m_threads.erase(number);
            number = 0;
        }
    }
    Join(ended);
    return number;
}

void ScanThreads::Run(u64 number, Body body) {
    { std::lock_guard<std::mutex> lk(m_lock); }
    try {
        body(number);
    } catch (const std::exception& e) {
        LogError("Thread %llu ended by an exception: %s", static_cast<unsigned long long>(number), e.what());
    }
    // What the body holds goes before the thread counts as ended: a waiter may free what it names.
    body = nullptr;
    std::lock_guard<std::mutex> lk(m_lock);
    auto it = m_threads.find(number);
    if (it != m_threads.end()) {
        it->second.ended = true;
        it->second.busy = false;
        it->second.stopHook = nullptr;
    }
    m_changed.notify_all();
}

u64 ScanThreads::NextNumber() const {
    std::lock_guard<std::mutex> lk(m_lock);
    return m_lastNumber + 1;
}

bool ScanThreads::AnyRunning(u64 olderThan) const {
    std::lock_guard<std::mutex> lk(m_lock);
    for (const auto& [number, entry] : m_threads) {
        if (number >= olderThan) break;
        if (!entry.ended) return true;
    }
    return false;
}

bool ScanThreads::AnyBusy(u64 olderThan) const {
    std::lock_guard<std::mutex> lk(m_lock);
    for (const auto& [number, entry] : m_threads) {
        if (number >= olderThan) break;
        if (!entry.ended && entry.busy) return true;
    }
    return false;
}

void ScanThreads::WaitOlder(u64 olderThan) {
    std::vector<std::thread> ended;
    {
        std::unique_lock<std::mutex> lk(m_lock);
        auto olderEnded = [&] {
            for (const auto& [number, entry] : m_threads) {
                if (number >= olderThan) return true;
                if (!entry.ended) return false;
            }
            return true;
        };
        while (!m_changed.wait_for(lk, std::chrono::milliseconds(kStallLogMs), olderEnded)) {
            LogError("Still waiting for a thread older than %llu to end", static_cast<unsigned long long>(olderThan));
        }
        TakeEnded(lk, ended);
    }
    Join(ended);
}

bool ScanThreads::WaitFor(u64 number, u32 ms) {
    std::vector<std::thread> ended;
    bool done = false;
    {
        std::unique_lock<std::mutex> lk(m_lock);
        done = m_changed.wait_for(lk, std::chrono::milliseconds(ms), [&] {
            auto it = m_threads.find(number);
            return it == m_threads.end() || it->second.ended;
        });
        TakeEnded(lk, ended);
    }
    Join(ended);
    return done;
}

void ScanThreads::RequestStop(u64 olderThan) {
    std::lock_guard<std::mutex> lk(m_lock);
    for (auto& [number, entry] : m_threads) {
        if (number >= olderThan) break;
        if (entry.ended) continue;
        entry.stop = true;
        if (entry.busy && entry.stopHook) entry.stopHook();
    }
}

bool ScanThreads::StopRequested(u64 number) const {
    std::lock_guard<std::mutex> lk(m_lock);
    auto it = m_threads.find(number);
    return it != m_threads.end() && it->second.stop;
}

bool ScanThreads::SetStopHook(u64 number, std::function<void()> hook) {
    std::lock_guard<std::mutex> lk(m_lock);
    auto it = m_threads.find(number);
    if (it == m_threads.end()) return false;
    if (hook && it->second.stop) return false;
    it->second.stopHook = std::move(hook);
    return true;
}

void ScanThreads::EndBusy(u64 number) {
    std::lock_guard<std::mutex> lk(m_lock);
    auto it = m_threads.find(number);
    if (it == m_threads.end()) return;
    it->second.busy = false;
    it->second.stopHook = nullptr;
    m_changed.notify_all();
}

void ScanThreads::StopAll() {
    RequestStop(kAllThreads);
    JoinAll();
}

void ScanThreads::JoinAll() {
    const std::thread::id self = std::this_thread::get_id();
    std::vector<std::thread> ended;
    {
        std::unique_lock<std::mutex> lk(m_lock);
        m_changed.wait(lk, [&] {
            for (const auto& [number, entry] : m_threads) {
                if (!entry.ended && entry.thread.get_id() != self) return false;
            }
            return true;
        });
        TakeEnded(lk, ended);
    }
    Join(ended);
}

ScanThreads::TreeReader ScanThreads::HoldTrees() {
    std::lock_guard<std::mutex> lk(m_lock);
    ++m_treeReaders;
    return TreeReader(this);
}

void ScanThreads::ReleaseTreeReader() {
    std::lock_guard<std::mutex> lk(m_lock);
    if (m_treeReaders > 0) --m_treeReaders;
    m_changed.notify_all();
}

void ScanThreads::WaitNoTreeReaders() {
    std::unique_lock<std::mutex> lk(m_lock);
    while (!m_changed.wait_for(lk, std::chrono::milliseconds(kStallLogMs), [this] { return m_treeReaders == 0; })) {
        LogError("Still waiting for %u readers of the found trees before they are freed", m_treeReaders);
    }
}

u32 ScanThreads::TreeReaderCount() const {
    std::lock_guard<std::mutex> lk(m_lock);
    return m_treeReaders;
}

void ScanThreads::TakeEnded(std::unique_lock<std::mutex>&, std::vector<std::thread>& out) {
    const std::thread::id self = std::this_thread::get_id();
    for (auto it = m_threads.begin(); it != m_threads.end();) {
        if (it->second.ended && it->second.thread.get_id() != self) {
            out.push_back(std::move(it->second.thread));
            it = m_threads.erase(it);
        } else {
            ++it;
        }
    }
}

void ScanThreads::Join(std::vector<std::thread>& threads) {
    for (std::thread& t : threads) {
        if (t.joinable()) t.join();
    }
    threads.clear();
}
