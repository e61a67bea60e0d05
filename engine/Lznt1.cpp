#include "engine/Lznt1.h"

#include <algorithm>
#include <cstring>

namespace {
// A chunk header's top bit: set, the chunk is compressed; clear, its bytes are stored as they are.
constexpr u16 kCompressedChunkFlag = 0x8000;

// Whether bytes [0, n) hold more than `longest` zeros in a row. Only the last byte of each
// window that could hold such a run is looked at first, so data with few zeros is passed over.
bool HasZeroRunLongerThan(const u8* p, size_t n, size_t longest) {
    const size_t window = longest + 1;
    size_t start = 0;
    while (n - start >= window) {
        const size_t last = start + window - 1;
        if (p[last] != 0) {
            start = last + 1;
            continue;
        }
        size_t k = last;
        while (k > start && p[k - 1] == 0) --k;
        if (k == start) return true;
        start = k;
    }
    return false;
}

bool AllZero(const u8* p, size_t n) { return std::all_of(p, p + n, [](u8 b) { return b == 0; }); }

// Adds the output ranges of the stored chunk whose bytes lie at in[begin, end) and land at
// out[slot...] that lie on whole sectors of zeros.
void AddZeroedStoredSectors(const u8* in, size_t begin, size_t end, size_t slot, size_t sectorSize,
                            Lznt1UnitResult& result) {
    for (size_t s = (begin + sectorSize - 1) / sectorSize * sectorSize; s + sectorSize <= end; s += sectorSize) {
        if (!AllZero(in + s, sectorSize)) continue;
        const size_t from = slot + (s - begin), to = from + sectorSize;
        if (!result.zeroedStored.empty() && result.zeroedStored.back().second == from) {
            result.zeroedStored.back().second = to;
        } else {
            result.zeroedStored.emplace_back(from, to);
        }
    }
}
}  // namespace

i32 DecompressLznt1Unit(const u8* in, size_t inSize, u8* out, size_t outCapacity, size_t* consumed,
                        bool* reachedBefore) {
    if (consumed != nullptr) *consumed = 0;
    if (reachedBefore != nullptr) *reachedBefore = false;
    if (in == nullptr || out == nullptr || inSize < 2) return -1;
    const u32 header = ReadLE16(in);
    const size_t capacity = std::min(outCapacity, kLznt1ChunkSize);

    if ((header & kCompressedChunkFlag) == 0) {
        // A stored chunk: its bytes follow the header as they are.
        const size_t n = (header & 0x0FFF) + 1;
        if (n > inSize - 2 || n > capacity) return -1;
        std::memcpy(out, in + 2, n);
        if (consumed != nullptr) *consumed = n + 2;
        return i32(n);
    }

    const size_t end = size_t(header & 0x0FFF) + 3;
    if (end > inSize) return -1;
    if (HasZeroRunLongerThan(in + 2, end - 2, kLongestCompressedZeroRun)) return -1;
    size_t p = 2;
    i32 o = 0;
    while (p < end) {
        const u8 flags = in[p++];
        for (u32 bit = 0; bit < 8 && p < end; ++bit) {
            if ((flags & (1u << bit)) == 0) {
                if (size_t(o) >= capacity) return -1;
                out[o++] = in[p++];
                continue;
            }
            if (end - p < 2) return -1;
            const u32 token = ReadLE16(in + p);
            p += 2;
            // The split between displacement and length moves with the output position.
            u32 n = 0;
            for (i32 t = o - 1; t >= 16; t >>= 1) ++n;
            const i32 displacement = i32(token >> (12 - n)) + 1;
            const i32 length = i32(token & (0x0FFFu >> n)) + 3;
            if (size_t(o) + size_t(length) > capacity) return -1;
            if (displacement > o && reachedBefore != nullptr) *reachedBefore = true;
            for (i32 i = 0; i < length; ++i, ++o) {
                const i32 source = o - displacement;
                out[o] = source < 0 ? 0 : out[source];
            }
        }
    }
    if (consumed != nullptr) *consumed = end;
    return o;
}

bool DecompressLznt1Buffer(const u8* in, size_t inSize, u8* out, size_t outSize, size_t dataBytes, size_t sectorSize,
                           Lznt1UnitResult& result) {
    result.good = 0;
    result.damaged = false;
    result.zeroedStored.clear();
    if (in == nullptr || out == nullptr) {
        result.damaged = true;
        return false;
    }
    const auto damagedFrom = [&result](size_t good) {
        result.damaged = true;
        result.good = good;
        return false;
    };
    size_t pos = 0;
    size_t slot = 0;
    // The unit is complete once its slots are filled or its chunks reach the data's end: what
    // lies after that in its last cluster is slack, no byte of the unit's, whatever it holds.
    while (slot < outSize && result.good < dataBytes && inSize - pos >= 2) {
        if (ReadLE16(in + pos) == 0) {
            // Short of the data. On zeros from a sector boundary on, a zeroed sector took the
            // chunks from here, and the last one before them unless it is whole and the zeros
            // begin after it.
            const size_t sectorStart = sectorSize == 0 ? pos : pos - pos % sectorSize;
            const bool zeroedSector = sectorSize != 0 && AllZero(in + sectorStart, pos - sectorStart);
            const bool lastWhole = result.good == slot && sectorStart == pos;
            return damagedFrom(zeroedSector && !lastWhole && slot != 0 ? slot - kLznt1ChunkSize : result.good);
        }
        size_t used = 0;
        bool reachedBefore = false;
        const i32 n = DecompressLznt1Unit(in + pos, inSize - pos, out + slot, outSize - slot, &used, &reachedBefore);
        if (n < 0 || reachedBefore) return damagedFrom(slot);
        // Only the data's last chunk is short.
        if (size_t(n) < kLznt1ChunkSize && slot + size_t(n) < dataBytes) return damagedFrom(slot);
        if ((ReadLE16(in + pos) & kCompressedChunkFlag) == 0 && sectorSize != 0) {
            AddZeroedStoredSectors(in, pos + 2, pos + used, slot, sectorSize, result);
        }
        result.good = slot + size_t(n);
        pos += used;
        slot += kLznt1ChunkSize;
    }
    // The input ended: the chunks must have reached every byte of the data by then.
    if (result.good < dataBytes) return damagedFrom(result.good);
    return true;
}
