// Named mutexes across threads: what one handle's destruction gives back.
#include <gtest/gtest.h>

#include <thread>

#include "platform/Sync.h"

namespace {

u32 WaitFromAnotherThread(const char* name, u32 ms, bool release) {
    u32 answer = 0;
    std::thread other([&] {
        NamedMutex m(name);
        answer = m.Wait(ms);
        if (answer == kWaitObject0 && release) m.Release();
    });
    other.join();
    return answer;
}

// A second handle of the same name on the owning thread (looked at, or taken again and not
// given back) must not, when it goes, free what the first handle holds.
TEST(NamedMutexThreads, ClosingAnotherHandleKeepsTheOwnersHold) {
    NamedMutex owner("ReviewHold");
    ASSERT_EQ(owner.Wait(0), kWaitObject0);
    { NamedMutex look("ReviewHold"); }
    EXPECT_EQ(WaitFromAnotherThread("ReviewHold", 30, true), kWaitTimeout);
    {
        NamedMutex again("ReviewHold");
        ASSERT_EQ(again.Wait(0), kWaitObject0);  // the owner may take it again
    }
    EXPECT_EQ(WaitFromAnotherThread("ReviewHold", 30, true), kWaitTimeout);
    owner.Release();
    EXPECT_EQ(WaitFromAnotherThread("ReviewHold", 1000, true), kWaitObject0);
}

// A handle that goes while it holds the mutex gives back what it took.
TEST(NamedMutexThreads, AHandleThatGoesWhileHoldingFreesTheMutex) {
    {
        NamedMutex m("ReviewDrop");
        ASSERT_EQ(m.Wait(0), kWaitObject0);
        ASSERT_EQ(m.Wait(0), kWaitObject0);
    }
    EXPECT_EQ(WaitFromAnotherThread("ReviewDrop", 1000, true), kWaitObject0);
}

}  // namespace
