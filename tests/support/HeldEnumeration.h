#pragma once
// Holds the disk enumerations of the process once they have listed the disks, before they read
// them, until the test lets them go: a window that shows the enumeration running (the place
// page's spinner and wait text) keeps showing it while the test looks, however fast the machine
// lists the disks.
#include <gtest/gtest.h>

#include "Gate.h"
#include "devices/VolumeEnumerator.h"

namespace testutil {

class HeldEnumeration {
public:
    HeldEnumeration() {
        HoldNext();
        EnumCollectPartition::SetListedHook(&Hold);
    }
    ~HeldEnumeration() {
        Release();
        EnumCollectPartition::SetListedHook(nullptr);
    }
    HeldEnumeration(const HeldEnumeration&) = delete;
    HeldEnumeration& operator=(const HeldEnumeration&) = delete;

    // Lets the held enumeration, and every later one, go on.
    void Release() { Held().letGo.Open(); }
    // Holds the next enumeration that lists the disks.
    void HoldNext() {
        Held().letGo.Close();
        Held().reached.Close();
    }
    // Whether an enumeration waits here (false when none came before the guard ran out).
    [[nodiscard]] bool Reached() const { return Held().reached.Wait(); }

private:
    struct Gates {
        Gate letGo, reached;
    };
    static Gates& Held() {
        static Gates gates;
        return gates;
    }
    static void Hold(EnumCollectPartition*) {
        Held().reached.Open();
        EXPECT_TRUE(Held().letGo.Wait()) << "the enumeration was held and never let go";
    }
};

}  // namespace testutil
