#pragma once
// Small reading helpers the length searches of the image, document and archive analysers share:
// bounded reads through a read window that is closed on every return, and marker searches.
#include <cstring>

#include "platform/Types.h"
#include "raw/ReadWindow.h"

class IStorageDevice;

// A read window over a found file that is closed however the search leaves.
class ScopedReadWindow {
public:
    ScopedReadWindow(IStorageDevice* device, u64 firstSector) { ReadWindowOpen(window, device, firstSector); }
    ~ScopedReadWindow() { ReadWindowClose(window); }
    ScopedReadWindow(const ScopedReadWindow&) = delete;
    ScopedReadWindow& operator=(const ScopedReadWindow&) = delete;

    // `need` bytes at `offset`, or null when the window cannot give that many from there.
    const u8* Bytes(u64 offset, u32 need) {
        u32 available = 0;
        const u8* bytes = ReadWindowGetBytes(window, offset, &available);
        return bytes && available >= need ? bytes : nullptr;
    }
    // Up to `length` bytes at `offset`; `got` receives how many the pointer holds.
    const u8* Span(u64 offset, u32 length, u32& got) {
        u32 available = 0;
        const u8* bytes = ReadWindowGetBytes(window, offset, &available);
        got = bytes ? (available < length ? available : length) : 0;
        return bytes;
    }
    // The first occurrence of the marker in the `length` bytes from `offset`; false when it is
    // not there or the bytes cannot be read.
    bool Find(u64 offset, u32 length, const void* marker, u32 markerLength, u64& at) {
        u32 got = 0;
        const u8* bytes = Span(offset, length, got);
        if (!bytes) return false;
        const u8* hit = FindBytes(bytes, static_cast<i32>(got), static_cast<const u8*>(marker), markerLength);
        if (!hit) return false;
        at = offset + static_cast<u64>(hit - bytes);
        return true;
    }
    u32 SectorSize() const { return window.sectorSize; }

    ReadWindow window;
};

inline bool SameBytes(const u8* bytes, const char* text) { return std::memcmp(bytes, text, std::strlen(text)) == 0; }
