#pragma once
// Holds the disk enumerations of the process once they have listed the disks, before they read
// them, until the test lets them go: the place page's spinner and wait text stay while the test
// looks, however fast the machine lists the disks.
#include <gtest/gtest.h>

#include "Gate.h"
#include "devices/VolumeEnumerator.h"

namespace testutil {

class HeldEnumeration {
public:
    HeldEnumeration() { HoldNext(); EnumCollectPartition::SetListedHook(&Hold); }
    ~HeldEnumeration() { Release(); EnumCollectPartition::SetListedHook(nullptr); }
    HeldEnumeration(const HeldEnumeration&) = delete;
    HeldEnumeration& operator=(const HeldEnumeration&) = delete;

    // Lets the held enumeration, and every later one, go on.
    void Release() { letGo_.Open(); }
    // Holds the next enumeration that lists the disks.
    void HoldNext() { letGo_.Close(); reached_.Close(); }
    // Whether an enumeration waits here (false when none came before the guard ran out).
    [[nodiscard]] bool Reached() const { return reached_.Wait(); }

private:
    static void Hold(EnumCollectPartition*) {
        reached_.Open();
        EXPECT_TRUE(letGo_.Wait()) << "the enumeration was held and never let go";
    }
    static inline Gate letGo_, reached_;
};

}  // namespace testutil
