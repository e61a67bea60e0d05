// The owner of the scan threads on its own: numbering, waiting only for older threads, stop
// requests and hooks, the tree-reader guard, and that every thread is joined by its owner.
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <memory>
#include <vector>

#include "platform/ScanThreads.h"

namespace {

// A gate a test opens once; threads block on it.
class Gate {
public:
    void Open() { m_promise.set_value(); }
    void Wait() const { m_future.wait(); }

private:
    std::promise<void> m_promise;
    std::shared_future<void> m_future = m_promise.get_future().share();
};

TEST(ScanThreads, ANewerThreadWaitsForTheOlderOnesOnly) {
    ScanThreads threads;
    EXPECT_EQ(threads.NextNumber(), 1u);
    Gate releaseFirst;
    Gate releaseThird;
    std::vector<int> order;
    std::mutex orderLock;
    auto note = [&](int what) {
        std::lock_guard<std::mutex> lk(orderLock);
        order.push_back(what);
    };
    const u64 first = threads.Start([&](u64) {
        releaseFirst.Wait();
        note(1);
    });
    // The second waits for the first, never for the third, which is newer and still blocked.
    const u64 second = threads.Start([&](u64 self) {
        threads.WaitOlder(self);
        note(2);
    });
    const u64 third = threads.Start([&](u64) {
        releaseThird.Wait();
        note(3);
    });
    EXPECT_EQ(first, 1u);
    EXPECT_EQ(second, 2u);
    EXPECT_EQ(third, 3u);
    EXPECT_EQ(threads.NextNumber(), 4u);
    EXPECT_TRUE(threads.AnyRunning(second));
    EXPECT_FALSE(threads.WaitFor(second, 20));  // still behind the first

    releaseFirst.Open();
    EXPECT_TRUE(threads.WaitFor(second, 60000));
    EXPECT_FALSE(threads.AnyRunning(third));
    EXPECT_TRUE(threads.AnyRunning());
    releaseThird.Open();
    threads.WaitOlder(ScanThreads::kAllThreads);
    EXPECT_FALSE(threads.AnyRunning());
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
    // A number that never ran is no thread to wait for.
    EXPECT_TRUE(threads.WaitFor(99, 0));
}

TEST(ScanThreads, AStopReachesTheOlderThreadsAndTheHooksOfTheBusyOnes) {
    ScanThreads threads;
    Gate hooksSet;
    Gate finish;
    std::atomic<int> hookCalls{0};
    std::atomic<int> hooked{0};
    auto body = [&](u64 self) {
        EXPECT_TRUE(threads.SetStopHook(self, [&] { hookCalls.fetch_add(1); }));
        hooked.fetch_add(1);
        if (self == 2) threads.EndBusy(self);  // past its work: no hook, not busy
        finish.Wait();
    };
    const u64 a = threads.Start(body);
    const u64 b = threads.Start(body);
    const u64 c = threads.Start(body);
    while (hooked.load() < 3) std::this_thread::yield();
    EXPECT_TRUE(threads.AnyBusy(b + 1));  // the first still is

    threads.RequestStop(c);  // the first two
    EXPECT_EQ(hookCalls.load(), 1);  // only the busy one of them
    EXPECT_TRUE(threads.StopRequested(a));
    EXPECT_TRUE(threads.StopRequested(b));
    EXPECT_FALSE(threads.StopRequested(c));
    EXPECT_FALSE(threads.SetStopHook(a, [] {}));  // asked to stop: no hook any more

    threads.RequestStop();
    EXPECT_EQ(hookCalls.load(), 3);  // the first again, and the third
    EXPECT_TRUE(threads.StopRequested(c));
    finish.Open();
    threads.JoinAll();
    EXPECT_FALSE(threads.AnyRunning());
}

TEST(ScanThreads, AFreeWaitsUntilNoTreeReaderIsHeld) {
    ScanThreads threads;
    EXPECT_EQ(threads.TreeReaderCount(), 0u);
    ScanThreads::TreeReader outer = threads.HoldTrees();
    ScanThreads::TreeReader moved = std::move(outer);  // handed on, still one reader
    EXPECT_FALSE(outer);
    EXPECT_TRUE(moved);
    EXPECT_EQ(threads.TreeReaderCount(), 1u);

    std::atomic<bool> freed{false};
    Gate waiting;
    const u64 freer = threads.Start([&](u64) {
        waiting.Open();
        threads.WaitNoTreeReaders();
        freed.store(true);
    });
    waiting.Wait();
    EXPECT_FALSE(threads.WaitFor(freer, 20));
    EXPECT_FALSE(freed.load());
    // A reader started on an owned thread hands its guard to the thread's end.
    Gate readerGo;
    threads.Start([&, reader = std::make_shared<ScanThreads::TreeReader>(threads.HoldTrees())](u64) { readerGo.Wait(); });
    moved.Reset();
    EXPECT_FALSE(threads.WaitFor(freer, 20));
    readerGo.Open();
    EXPECT_TRUE(threads.WaitFor(freer, 60000));
    EXPECT_TRUE(freed.load());
    EXPECT_EQ(threads.TreeReaderCount(), 0u);
}

TEST(ScanThreads, TheOwnerJoinsEveryThreadAndFreesWhatItsBodiesHeld) {
    auto held = std::make_shared<int>(7);
    std::weak_ptr<int> watch = held;
    std::atomic<int> ran{0};
    Gate go;
    {
        ScanThreads threads;
        // Ended threads are joined when the next one starts.
        for (int i = 0; i < 8; ++i) {
            const u64 n = threads.Start([&ran, keep = held](u64) { ran.fetch_add(1); });
            ASSERT_NE(n, 0u);
            ASSERT_TRUE(threads.WaitFor(n, 60000));
        }
        // What a body captured is gone once its thread counts as ended.
        held.reset();
        EXPECT_TRUE(watch.expired());
        // One still blocked when the owner goes: the destructor waits for it.
        threads.Start([&](u64) {
            go.Wait();
            ran.fetch_add(1);
        });
        go.Open();
    }
    EXPECT_EQ(ran.load(), 9);
}

}  // namespace
