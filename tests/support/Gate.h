#pragma once
// A one-way gate between a test and a thread it holds: the thread waits until the test opens it.
// The wait's limit is only a guard against a hang; running into it is reported, so a test whose
// event never came fails instead of stopping the run.
#include <chrono>
#include <condition_variable>
#include <mutex>

namespace testutil {

class Gate {
public:
    static constexpr std::chrono::seconds kGuard{60};

    void Open() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            open_ = true;
        }
        opened_.notify_all();
    }
    void Close() {
        std::lock_guard<std::mutex> lock(mutex_);
        open_ = false;
    }
    bool IsOpen() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return open_;
    }
    // True once open; false when the guard ran out first.
    [[nodiscard]] bool Wait(std::chrono::milliseconds guard = kGuard) const {
        std::unique_lock<std::mutex> lock(mutex_);
        return opened_.wait_for(lock, guard, [this] { return open_; });
    }

private:
    mutable std::mutex mutex_;
    mutable std::condition_variable opened_;
    bool open_ = false;
};

}  // namespace testutil
