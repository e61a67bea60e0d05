#include "engine/Lznt1.h"

#include <algorithm>
#include <cstring>

i32 DecompressLznt1Unit(const u8* in, size_t inSize, u8* out, size_t outCapacity, size_t* consumed) {
    if (consumed != nullptr) *consumed = 0;
    if (in == nullptr || out == nullptr || inSize < 2) return -1;
    const u32 header = ReadLE16(in);
    const size_t capacity = std::min(outCapacity, kLznt1ChunkSize);

    if ((header & 0x8000) == 0) {
        // A stored chunk: its bytes follow the header as they are.
        const size_t n = (header & 0x0FFF) + 1;
        if (n > inSize - 2 || n > capacity) return -1;
        std::memcpy(out, in + 2, n);
        if (consumed != nullptr) *consumed = n + 2;
        return i32(n);
    }

    const size_t end = size_t(header & 0x0FFF) + 3;
    if (end > inSize) return -1;
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
            for (i32 i = 0; i < length; ++i, ++o) {
                const i32 source = o - displacement;
                out[o] = source < 0 ? 0 : out[source];
            }
        }
    }
    if (consumed != nullptr) *consumed = end;
    return o;
}

bool DecompressLznt1Buffer(const u8* in, size_t inSize, u8* out, size_t outSize, size_t* produced,
                           size_t* consumed) {
    if (produced != nullptr) *produced = 0;
    if (consumed != nullptr) *consumed = 0;
    if (in == nullptr || out == nullptr) return false;
    if (consumed != nullptr) *consumed = inSize;
    size_t pos = 0;
    size_t slot = 0;
    while (inSize - pos >= 2 && slot < outSize) {
        if (ReadLE16(in + pos) == 0) {
            if (consumed != nullptr) *consumed = pos;
            break;
        }
        size_t used = 0;
        const i32 n = DecompressLznt1Unit(in + pos, inSize - pos, out + slot, outSize - slot, &used);
        if (n < 0) return false;
        if (produced != nullptr) *produced = slot + size_t(n);
        pos += used;
        slot += kLznt1ChunkSize;
    }
    return true;
}
