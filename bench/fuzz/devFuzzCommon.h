#pragma once
// Shared pieces of the device-layer and saved-stream fuzzing: a small deterministic generator and
// byte mutations that favour the values damaged tables and records carry (0, all ones, sign
// bits, values just past a limit). Header-only, so the harness and the smoke tests use the same.
#include <algorithm>
#include <cstring>
#include <vector>

#include "platform/Types.h"

namespace devfuzz {

// splitmix64: one seed gives one sequence on every platform.
class Rng {
public:
    explicit Rng(u64 seed) : m_state(seed) {}
    u64 Next() {
        u64 z = (m_state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    // Uniform in [0, n); 0 for n == 0.
    u64 Below(u64 n) { return n == 0 ? 0 : Next() % n; }
    bool OneIn(u64 n) { return Below(n) == 0; }

private:
    u64 m_state;
};

// A value a damaged field is likely to hold, near `typical` (a plausible value of the field).
inline u64 InterestingValue(Rng& rng, u64 typical, u32 width) {
    const u64 mask = width >= 8 ? ~0ull : (1ull << (8 * width)) - 1;
    switch (rng.Below(12)) {
        case 0: return 0;
        case 1: return 1;
        case 2: return mask;
        case 3: return mask >> 1;
        case 4: return (mask >> 1) + 1;
        case 5: return (typical + 1) & mask;
        case 6: return (typical - 1) & mask;
        case 7: return (typical * 2) & mask;
        case 8: return (typical + rng.Below(64)) & mask;
        case 9: return (typical - rng.Below(64)) & mask;
        case 10: return u64(1) << rng.Below(8 * width);
        default: return rng.Next() & mask;
    }
}

inline u64 ReadField(const u8* p, u32 width) {
    u64 v = 0;
    for (u32 i = 0; i < width; ++i) v |= u64(p[i]) << (8 * i);
    return v;
}

inline void WriteField(u8* p, u32 width, u64 v) {
    for (u32 i = 0; i < width; ++i) p[i] = static_cast<u8>(v >> (8 * i));
}

// One generic mutation of `size` bytes at `data`: a bit flip, a random byte, a field of 1, 2, 4
// or 8 bytes given an interesting value, or a run of bytes copied from elsewhere in the buffer.
inline void MutateBytes(Rng& rng, u8* data, size_t size) {
    if (size == 0) return;
    const size_t at = rng.Below(size);
    switch (rng.Below(5)) {
        case 0: data[at] ^= static_cast<u8>(1u << rng.Below(8)); break;
        case 1: data[at] = static_cast<u8>(rng.Next()); break;
        case 2:
        case 3: {
            static const u32 kWidths[] = {1, 2, 4, 8};
            u32 width = kWidths[rng.Below(4)];
            if (width > size) width = 1;
            const size_t p = rng.Below(size - width + 1);
            WriteField(data + p, width, InterestingValue(rng, ReadField(data + p, width), width));
            break;
        }
        default: {
            const size_t len = 1 + rng.Below(16);
            const size_t from = rng.Below(size);
            const size_t to = rng.Below(size);
            const size_t n = std::min({len, size - from, size - to});
            std::memmove(data + to, data + from, n);
            break;
        }
    }
}

// Mutations of a byte string that may also change its length: inserted, removed or cut bytes.
inline void MutateStream(Rng& rng, std::vector<u8>& bytes, u32 rounds) {
    for (u32 r = 0; r < rounds; ++r) {
        const u64 op = rng.Below(20);
        if (op == 0 && !bytes.empty()) {
            bytes.resize(rng.Below(bytes.size()));  // cut short
        } else if (op == 1 && !bytes.empty()) {
            const size_t at = rng.Below(bytes.size());
            const size_t n = std::min<size_t>(1 + rng.Below(8), bytes.size() - at);
            bytes.erase(bytes.begin() + static_cast<long>(at), bytes.begin() + static_cast<long>(at + n));
        } else if (op == 2) {
            const size_t at = rng.Below(bytes.size() + 1);
            const size_t n = 1 + rng.Below(8);
            std::vector<u8> extra(n);
            for (u8& b : extra) b = static_cast<u8>(rng.Next());
            bytes.insert(bytes.begin() + static_cast<long>(at), extra.begin(), extra.end());
        } else {
            MutateBytes(rng, bytes.data(), bytes.size());
        }
    }
}

}  // namespace devfuzz
