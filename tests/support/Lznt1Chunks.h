#pragma once
// Compressed LZNT1 chunks made by hand for the tests of the decompressor and of the writer.
#include <vector>

#include "platform/Types.h"

namespace testutil {

// A chunk of the three characters `three` as literals, then one back-reference of displacement 3
// that expands the chunk to `length` bytes.
inline std::vector<u8> RepeatChunk(const char* three, u32 length) {
    std::vector<u8> c = {0, 0, 0x08, u8(three[0]), u8(three[1]), u8(three[2])};
    const u16 token = u16((2u << 12) | (length - 3));
    c.push_back(u8(token));
    c.push_back(u8(token >> 8));
    const u16 header = u16(0xB000 | (c.size() - 3));
    c[0] = u8(header);
    c[1] = u8(header >> 8);
    return c;
}

// A chunk that expands to 4096 bytes, appended to `data`: `literals` (64 more than a multiple of
// 72) bytes of a pattern `seed` shifts, then 18-byte back-references repeating the last of them.
inline std::vector<u8> LongChunk(u32 literals, u32 seed, std::vector<u8>& data) {
    std::vector<u8> c = {0, 0};
    for (u32 o = 0; o < literals; ++o) {
        if (o % 8 == 0) c.push_back(0);
        data.push_back(u8(1 + (o * 7 + seed) % 251));
        c.push_back(data.back());
    }
    data.resize(data.size() + 4096 - literals, data.back());
    for (u32 t = 0; t < (4096 - literals) / 18; ++t) {
        if (t % 8 == 0) c.push_back(0xFF);
        c.insert(c.end(), {15, 0});  // displacement 1, length 18
    }
    WriteLE16(c.data(), u16(0xB000 | (c.size() - 3)));
    return c;
}

}  // namespace testutil
