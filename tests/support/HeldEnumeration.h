#pragma once
// Holds the disk enumeration of the process once it has listed the disks, before it reads them,
// until the test lets it go: a window that shows the enumeration running (the place page's
// spinner and wait text) keeps showing it while the test looks, however fast the machine lists
// the disks. Every enumeration that reaches that point while a hold lives waits there.
#include <gtest/gtest.h>

#include <atomic>

#include "Gate.h"
#include "devices/VolumeEnumerator.h"

namespace testutil {

class HeldEnumeration {
public:
    HeldEnumeration() {
        Held().letGo.Close();
        Held().timedOut = false;
        EnumCollectPartition::SetListedHook(&Hold);
    }
    ~HeldEnumeration() {
        Release();
        EnumCollectPartition::SetListedHook(nullptr);
        EXPECT_FALSE(Held().timedOut.load()) << "the enumeration was held and never let go";
    }
    HeldEnumeration(const HeldEnumeration&) = delete;
    HeldEnumeration& operator=(const HeldEnumeration&) = delete;

    // Lets the held enumeration, and every later one, go on.
    void Release() { Held().letGo.Open(); }

private:
    struct State {
        Gate letGo;
        std::atomic<bool> timedOut{false};
    };
    static State& Held() {
        static State state;
        return state;
    }
    static void Hold(EnumCollectPartition*) {
        if (!Held().letGo.Wait()) Held().timedOut = true;
    }
};

}  // namespace testutil
