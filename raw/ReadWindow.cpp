#include "raw/ReadWindow.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstring>
#include <memory>

#include "devices/BufferStorageDevice.h"
#include "devices/ScanOptions.h"
#include "devices/StorageDevice.h"
#include "engine/RawFileInfo.h"
#include "raw/RAWSearchController.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#define MORVENDA_WINDOW_POISON 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#include <sanitizer/asan_interface.h>
#define MORVENDA_WINDOW_POISON 1
#endif
#endif

namespace {

constexpr i32 kWindowBytesWithoutDevice = 65536;
constexpr u32 kMp4MaxBoxes = 500;
constexpr u64 kMp4BoundFactor = 10;
constexpr u32 kTrailingZeroCheck = 8;
// The go-on query may take a lock; walks that stay inside one window ask it this seldom.
constexpr u32 kContinueCheckCalls = 256;

// Serves the scan thread only, one window at a time.
u8* SharedBuffer() {
    static std::unique_ptr<u8[]> buffer(new u8[kReadWindowBufferBytes]);
    return buffer.get();
}

// The buffer is sized for the largest sectors; in the sanitizer build the part past what a
// window of smaller sectors fills is poisoned, so that a walk reading past what it was given
// shows there as it would past the device's bytes.
void MarkFilled(u8* buffer, u32 filled) {
#ifdef MORVENDA_WINDOW_POISON
    ASAN_UNPOISON_MEMORY_REGION(buffer, filled);
    ASAN_POISON_MEMORY_REGION(buffer + filled, kReadWindowBufferBytes - filled);
#else
    (void)buffer;
    (void)filled;
#endif
}

bool AllZero(const u8* p, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        if (p[i] != 0) return false;
    }
    return true;
}

}  // namespace

u64 LargestFileOffset() { return GetScanOptions().GetSizeUnit(); }

void ReadWindowOpen(ReadWindow& window, IStorageDevice* device, u64 firstSector) {
    window.device = device;
    window.ring = dynamic_cast<const CBufferStorageDevice*>(device);
    window.firstSector = firstSector;
    window.held = kNoWindow;
    window.heldBytes = nullptr;
    window.callsSinceContinueCheck = 0;
    window.sectorSize = device ? device->GetSectorSize() : 0;
    window.usable = device != nullptr && window.sectorSize > 0 && window.sectorSize <= kReadWindowLargestSector;
    window.windowBytes = device ? static_cast<i32>(window.sectorSize << 7) : kWindowBytesWithoutDevice;
}

void ReadWindowClose(ReadWindow& window) {
    window.held = kNoWindow;
    window.heldBytes = nullptr;
}

const u8* ReadWindowGetBytes(ReadWindow& window, u64 offset, u32* available) {
    if (!window.usable || window.windowBytes <= 0) return nullptr;
    const u64 size = static_cast<u64>(window.windowBytes);
    const u64 w = offset / size;
    const u64 r = offset % size;
    if (w != window.held || ++window.callsSinceContinueCheck >= kContinueCheckCalls) {
        window.callsSinceContinueCheck = 0;
        if (RawContinueCheck() == 0) return nullptr;
    }
    const u32 filled = kReadWindowBufferSectors * window.sectorSize;
    if (available) *available = static_cast<u32>(filled - r);
    if (w == window.held) return window.heldBytes + r;

    if (w > (~u64(0) - window.firstSector) / kReadWindowSectors) return nullptr;
    const u64 first = window.firstSector + w * kReadWindowSectors;
    if (window.ring) {
        if (const u8* inRing = window.ring->Peek(first, kReadWindowBufferSectors)) {
            window.held = w;
            window.heldBytes = inRing;
            return inRing + r;
        }
    }
    u8* buffer = SharedBuffer();
    // The shared buffer is about to change: no window may go on trusting what it held there.
    window.held = kNoWindow;
    MarkFilled(buffer, filled);
    // A whole read fills every byte a caller may look at; only a short one leaves zeros behind.
    if (window.device->Read(buffer, first, kReadWindowBufferSectors) == 0) {
        // Near the device's end only the sectors that are left can be read; the rest reads as zeros.
        const u64 total = window.device->GetTotalSectors();
        if (first >= total) return nullptr;
        const u64 left = std::min<u64>(total - first, kReadWindowBufferSectors);
        std::memset(buffer, 0, filled);
        if (left == kReadWindowBufferSectors || window.device->Read(buffer, first, left) == 0) return nullptr;
    }
    window.held = w;
    window.heldBytes = buffer;
    return buffer + r;
}

const u8* FindBytes(const u8* buffer, i32 length, const u8* pattern, u32 patternLength) {
    if (!buffer || length < 1 || !pattern || patternLength == 0 || patternLength > static_cast<u32>(length)) {
        return nullptr;
    }
    // The C library's searches look at many bytes per step; the end searches run over most of
    // the found files' bytes. A pattern's first byte is found first: most spans (runs of zeros,
    // compressed data) lack it, and skipping to it spares the longer search its set-up.
    const size_t n = static_cast<size_t>(length);
    const u8* first = static_cast<const u8*>(std::memchr(buffer, pattern[0], n));
    if (!first || patternLength == 1) return first;
    const size_t left = n - static_cast<size_t>(first - buffer);
    return static_cast<const u8*>(::memmem(first, left, pattern, patternLength));
}

namespace {

// Searches the marker in `span` bytes at `at`; sets the size and answers true when found.
bool SearchAt(ReadWindow& window, u64 at, u32 span, const u8* text, u32 length, CRawFileInfo& record) {
    u32 available = 0;
    const u8* bytes = ReadWindowGetBytes(window, at, &available);
    if (!bytes) return false;
    const i32 n = static_cast<i32>(std::min(span, available));
    if (const u8* hit = FindBytes(bytes, n, text, length)) {
        record.size = at + static_cast<u64>(hit - bytes) + length;
        return true;
    }
    return false;
}

}  // namespace

u32 FindTextEndMarker(CRawFileInfo& record, IStorageDevice* reader, const TextEndMarker& marker, u32 matchCase) {
    ReadWindow window;
    ReadWindowOpen(window, reader, record.startSector);
    const u32 length = std::min(marker.length, TextEndMarker::kTextBytes);
    std::array<u8, TextEndMarker::kTextBytes> lower{}, upper{};
    for (u32 i = 0; i < length; ++i) {
        lower[i] = static_cast<u8>(std::tolower(marker.text[i]));
        upper[i] = static_cast<u8>(std::toupper(marker.text[i]));
    }
    const u32 step = window.sectorSize;
    const u64 bound = marker.searchBound ? marker.searchBound : LargestFileOffset();
    u64 p = 0;
    while (window.usable && length > 0 && p <= bound) {
        u32 available = 0;
        const u8* bytes = ReadWindowGetBytes(window, p, &available);
        if (!bytes || available < step) break;
        if (ReadLE16(bytes + step - 2) != 0) {
            p += step;
            continue;
        }
        const bool endsHere = AllZero(bytes + step - kTrailingZeroCheck, kTrailingZeroCheck);
        if (matchCase) {
            if (SearchAt(window, p, step, marker.text, length, record)) return 1;
        } else if (SearchAt(window, p, step, lower.data(), length, record) ||
                   SearchAt(window, p, step, upper.data(), length, record)) {
            return 1;
        }
        // The marker may cross into this sector from the one before.
        const u64 back = p > 0 ? p - step : 0;
        const u32 span = p > 0 ? 2 * step : step;
        const u8* form = matchCase ? marker.text : upper.data();
        if (matchCase && endsHere) {
            if (!SearchAt(window, back, 2 * step, form, length, record)) record.size = back;
            return 1;
        }
        if (SearchAt(window, back, span, form, length, record)) return 1;
        p += step;
    }
    record.size = p;
    return 1;
}

u32 WalkMp4Boxes(CRawFileInfo& record, IStorageDevice* reader) {
    static constexpr const char* kNames[] = {"mdat", "moov", "free", "moof", "mfra", "uuid"};
    static constexpr u32 kBoxHeader = 16;
    ReadWindow window;
    ReadWindowOpen(window, reader, record.startSector);
    u32 available = 0;
    const u8* bytes = ReadWindowGetBytes(window, 0, &available);
    if (!bytes || available < kBoxHeader) return 0;
    const i32 firstSize = static_cast<i32>(ReadBE32(bytes));
    if (firstSize <= 0) return 0;
    u64 position = static_cast<u64>(firstSize);
    const u64 bound = LargestFileOffset() * kMp4BoundFactor;
    for (u32 box = 0; box < kMp4MaxBoxes && position <= bound; ++box) {
        bytes = ReadWindowGetBytes(window, position, &available);
        if (!bytes || available < kBoxHeader) break;
        const i32 size = static_cast<i32>(ReadBE32(bytes));
        if (size <= 0) break;
        if (size == 1) {
            if (std::memcmp(bytes + 4, "mdat", 4) != 0 && std::memcmp(bytes + 12, "mdat", 4) != 0) break;
            i64 large = 0;
            if (!ReadBigEndianSize(bytes + 8, large)) return 0;
            position += static_cast<u64>(large);
            continue;
        }
        bool known = false;
        for (const char* name : kNames) {
            if (std::memcmp(bytes + 4, name, 4) == 0 || std::memcmp(bytes + 12, name, 4) == 0) {
                known = true;
                break;
            }
        }
        if (!known) break;
        position += static_cast<u64>(size);
    }
    record.size = position;
    return 1;
}

bool ReadBigEndianSize(const u8* field, i64& size) {
    size = static_cast<i64>(static_cast<i32>(ReadBE32(field + 4)));
    return size > 0;
}

bool IsGzipHeader(const u8* h) {
    constexpr u8 kMethodDeflate = 8;
    constexpr u8 kFlagsLimit = 32;
    constexpr u8 kOsLimit = 14;
    return h && h[0] == 0x1F && h[1] == 0x8B && h[2] == kMethodDeflate && h[3] < kFlagsLimit && h[9] < kOsLimit;
}

u32 Crc32Update(u32 crc, const u8* bytes, i32 length) {
    static const std::array<u32, 256> table = [] {
        std::array<u32, 256> t{};
        for (u32 n = 0; n < 256; ++n) {
            u32 c = n;
            for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[n] = c;
        }
        return t;
    }();
    if (!bytes || length <= 0) return crc;
    crc = ~crc;
    for (i32 i = 0; i < length; ++i) crc = table[(crc ^ bytes[i]) & 0xFF] ^ (crc >> 8);
    return ~crc;
}
