#pragma once
// How analysers read a found file by byte offset: a window of 128 sectors (plus one sector of
// overlap, so a structure that starts in the window's last sector reads from one pointer) over
// the reader device, and the small readers several analysers share.
#include "platform/Types.h"

class CBufferStorageDevice;
class CRawFileInfo;
class IStorageDevice;

constexpr u32 kReadWindowSectors = 128;
constexpr u32 kReadWindowBufferSectors = kReadWindowSectors + 1;
constexpr u32 kReadWindowLargestSector = 4096;
constexpr u32 kReadWindowBufferBytes = kReadWindowBufferSectors * kReadWindowLargestSector;
constexpr u64 kNoWindow = ~u64(0);

// One per length search, on the analyser's stack. The buffer behind it is shared by every window
// of the scan thread, so a window's record of what it holds is valid only until another window
// reads; analysers never interleave two windows. Over the ring of blocks the search has just
// scanned, a window whose sectors the ring holds points into the ring instead of copying them.
struct ReadWindow {
    IStorageDevice* device = nullptr;
    const CBufferStorageDevice* ring = nullptr;  // device, when it is such a ring
    u64 firstSector = 0;
    u64 held = kNoWindow;
    const u8* heldBytes = nullptr;  // the first byte of the held window
    i32 windowBytes = 0;
    u32 sectorSize = 0;
    u32 callsSinceContinueCheck = 0;
    // A device whose sectors do not fit the shared buffer is refused: every read answers null.
    bool usable = false;
};

void ReadWindowOpen(ReadWindow& window, IStorageDevice* device, u64 firstSector);
void ReadWindowClose(ReadWindow& window);
// The byte at `offset` from the file's start, or null when the scan was stopped (asked each time
// the window moves and every few calls inside one) or the window could not be read. `available`, when given, receives how many bytes may be read from the
// pointer (at least one sector more than is left of the window); the pointer stays valid until
// the next call on any window.
const u8* ReadWindowGetBytes(ReadWindow& window, u64 offset, u32* available = nullptr);

// The first occurrence of the pattern in the buffer, or null.
const u8* FindBytes(const u8* buffer, i32 length, const u8* pattern, u32 patternLength);

struct TextEndMarker {
    static constexpr u32 kTextBytes = 64;
    u8 text[kTextBytes] = {};
    u32 length = 0;
    u64 searchBound = 0;  // 0: the scan options' largest file offset
};
// Sets the record's size from the first sector-end-padded sector that holds the marker; a case
// flag of 0 tries the marker's lower-case and upper-case forms. Always 1.
u32 FindTextEndMarker(CRawFileInfo& record, IStorageDevice* reader, const TextEndMarker& marker, u32 matchCase);

// Walks the top-level boxes of an ISO base media file; 1 and the record's size set, or 0 when
// the first box cannot be read.
u32 WalkMp4Boxes(CRawFileInfo& record, IStorageDevice* reader);

// The low four bytes of an 8-byte big-endian field, sign-extended; true when positive.
bool ReadBigEndianSize(const u8* field, i64& size);
bool IsGzipHeader(const u8* header);

u32 Crc32Update(u32 crc, const u8* bytes, i32 length);
inline u32 Crc32Buffer(const u8* bytes, i32 length) { return Crc32Update(0, bytes, length); }

// The largest offset a walk goes to, from the scan options.
u64 LargestFileOffset();
