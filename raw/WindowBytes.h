#pragma once
// Reads through a read window that also demand a number of bytes behind the pointer, for the
// length walks of the container formats.
#include "raw/ReadWindow.h"

// The bytes at `offset`, or null when they cannot be read or fewer than `need` follow.
inline const u8* WindowBytes(ReadWindow& window, u64 offset, u32 need) {
    u32 available = 0;
    const u8* bytes = ReadWindowGetBytes(window, offset, &available);
    return bytes && available >= need ? bytes : nullptr;
}

// Opens the window over the record's file and closes it when the walk returns.
class ScopedReadWindow {
public:
    ScopedReadWindow(IStorageDevice* device, u64 firstSector) { ReadWindowOpen(window, device, firstSector); }
    ~ScopedReadWindow() { ReadWindowClose(window); }
    ScopedReadWindow(const ScopedReadWindow&) = delete;
    ScopedReadWindow& operator=(const ScopedReadWindow&) = delete;
    ReadWindow window;
};
