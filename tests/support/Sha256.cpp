// The tests' SHA-256, of recovered files and of whole disk images. It is built optimised and
// without the sanitizers' checks in every build (see tests/CMakeLists.txt): it only reads bytes
// the test already holds, and unoptimised and instrumented it took most of the time of the tests
// that hash a fixture image before and after a scan.
#include <algorithm>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "TestUtil.h"

namespace testutil {

namespace {
// A small SHA-256, enough to compare recovered files with the manifests.
struct Sha256 {
    u32 h[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    u8 buf[64];
    size_t bufLen = 0;
    u64 total = 0;
    static u32 Rotr(u32 x, int n) { return (x >> n) | (x << (32 - n)); }
    void Block(const u8* p) {
        static const u32 k[64] = {
            0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
            0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
            0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
            0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
            0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
            0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
            0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
            0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};
        u32 w[64];
        for (int i = 0; i < 16; ++i)
            w[i] = (u32(p[4 * i]) << 24) | (u32(p[4 * i + 1]) << 16) | (u32(p[4 * i + 2]) << 8) | p[4 * i + 3];
        for (int i = 16; i < 64; ++i) {
            const u32 s0 = Rotr(w[i - 15], 7) ^ Rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
            const u32 s1 = Rotr(w[i - 2], 17) ^ Rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
            w[i] = w[i - 16] + s0 + w[i - 7] + s1;
        }
        u32 a = h[0], b = h[1], c = h[2], d = h[3], e = h[4], f = h[5], g = h[6], hh = h[7];
        for (int i = 0; i < 64; ++i) {
            const u32 t1 = hh + (Rotr(e, 6) ^ Rotr(e, 11) ^ Rotr(e, 25)) + ((e & f) ^ (~e & g)) + k[i] + w[i];
            const u32 t2 = (Rotr(a, 2) ^ Rotr(a, 13) ^ Rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
            hh = g; g = f; f = e; e = d + t1; d = c; c = b; b = a; a = t1 + t2;
        }
        h[0] += a; h[1] += b; h[2] += c; h[3] += d; h[4] += e; h[5] += f; h[6] += g; h[7] += hh;
    }
    void Update(const u8* p, size_t n) {
        total += n;
        while (n > 0) {
            // Whole blocks straight from the caller's bytes: only a block's ragged ends are copied.
            if (bufLen == 0 && n >= 64) {
                Block(p);
                p += 64;
                n -= 64;
                continue;
            }
            const size_t take = std::min(n, 64 - bufLen);
            std::copy(p, p + take, buf + bufLen);
            bufLen += take;
            p += take;
            n -= take;
            if (bufLen == 64) {
                Block(buf);
                bufLen = 0;
            }
        }
    }
    std::string Final() {
        const u64 bits = total * 8;
        const u8 pad = 0x80;
        Update(&pad, 1);
        const u8 zero = 0;
        while (bufLen != 56) Update(&zero, 1);
        u8 len[8];
        for (int i = 0; i < 8; ++i) len[i] = static_cast<u8>(bits >> (56 - 8 * i));
        Update(len, 8);
        char out[65];
        for (int i = 0; i < 8; ++i) std::snprintf(out + 8 * i, 9, "%08x", h[i]);
        return std::string(out, 64);
    }
};
}  // namespace

std::string Sha256Hex(const void* data, size_t size) {
    Sha256 s;
    s.Update(static_cast<const u8*>(data), size);
    return s.Final();
}

std::string Sha256File(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    Sha256 s;
    std::vector<char> buf(1 << 20);
    while (in) {
        in.read(buf.data(), static_cast<std::streamsize>(buf.size()));
        s.Update(reinterpret_cast<const u8*>(buf.data()), static_cast<size_t>(in.gcount()));
    }
    return s.Final();
}

}  // namespace testutil
