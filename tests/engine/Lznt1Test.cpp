#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "Lznt1Chunks.h"
#include "engine/Lznt1.h"

namespace {
using Bytes = std::vector<u8>;

using testutil::RepeatChunk;

TEST(Lznt1, StoredAndCompressedChunks) {
    // 0x3FFF: a stored chunk of 4096 bytes.
    Bytes stored(2 + 4096);
    stored[0] = 0xFF;
    stored[1] = 0x3F;
    for (size_t i = 2; i < stored.size(); ++i) stored[i] = u8(i * 7);
    Bytes out(4096);
    size_t used = 0;
    ASSERT_EQ(DecompressLznt1Unit(stored.data(), stored.size(), out.data(), out.size(), &used), 4096);
    EXPECT_EQ(used, stored.size());
    EXPECT_TRUE(std::equal(out.begin(), out.end(), stored.begin() + 2));

    const Bytes c = RepeatChunk("abc", 9);
    ASSERT_EQ(DecompressLznt1Unit(c.data(), c.size(), out.data(), out.size(), &used), 12);
    EXPECT_EQ(used, c.size());
    EXPECT_EQ(std::string(out.begin(), out.begin() + 12), "abcabcabcabc");

    // A back-reference at the chunk's first byte reaches before it: zeros.
    const Bytes early = {0x02, 0xB0, 0x01, 0x00, 0x00};
    out.assign(4096, 0xEE);
    ASSERT_EQ(DecompressLznt1Unit(early.data(), early.size(), out.data(), out.size(), &used), 3);
    EXPECT_EQ(out[0], 0);
    EXPECT_EQ(out[2], 0);
}

TEST(Lznt1, DisplacementWidthFollowsThePosition) {
    // 17 literals, then a token at position 17: 4 displacement bits + 1 more (n = 1), so the
    // token 0x2000 means displacement (0x2000 >> 11) + 1 = 5 and length 3.
    Bytes c = {0, 0};
    const std::string text = "ABCDEFGHIJKLMNOPQ";
    size_t i = 0;
    for (int group = 0; group < 3; ++group) {
        const size_t n = std::min<size_t>(8, text.size() - i);
        u8 flags = 0;
        if (group == 2) flags = u8(1u << n);
        c.push_back(flags);
        for (size_t k = 0; k < n; ++k) c.push_back(u8(text[i++]));
        if (group == 2) {
            c.push_back(0x00);
            c.push_back(0x20);
        }
    }
    const u16 header = u16(0xB000 | (c.size() - 3));
    c[0] = u8(header);
    c[1] = u8(header >> 8);
    Bytes out(4096);
    ASSERT_EQ(DecompressLznt1Unit(c.data(), c.size(), out.data(), out.size(), nullptr), 20);
    EXPECT_EQ(std::string(out.begin(), out.begin() + 20), text + "MNO");
}

TEST(Lznt1, DamagedChunksAreRefused) {
    Bytes out(4096);
    // The header announces more bytes than there are.
    const Bytes longHeader = {0xFF, 0xBF, 0x00, 'a'};
    EXPECT_EQ(DecompressLznt1Unit(longHeader.data(), longHeader.size(), out.data(), out.size(), nullptr), -1);
    const Bytes longStored = {0xFF, 0x3F, 1, 2, 3};
    EXPECT_EQ(DecompressLznt1Unit(longStored.data(), longStored.size(), out.data(), out.size(), nullptr), -1);
    // A token cut off by the chunk's end.
    const Bytes cutToken = {0x01, 0xB0, 0x01, 0x05};
    EXPECT_EQ(DecompressLznt1Unit(cutToken.data(), cutToken.size(), out.data(), out.size(), nullptr), -1);
    // Output that would pass the 4096-byte chunk: 3 literals, then two tokens of 4098 bytes.
    Bytes overflow = {0, 0, 0x18, 'a', 'b', 'c', 0xFF, 0x2F, 0xFF, 0x2F};
    overflow[0] = u8(overflow.size() - 3);
    overflow[1] = 0xB0;
    EXPECT_EQ(DecompressLznt1Unit(overflow.data(), overflow.size(), out.data(), out.size(), nullptr), -1);
    // A smaller output room than the chunk needs.
    const Bytes c = RepeatChunk("abc", 9);
    EXPECT_EQ(DecompressLznt1Unit(c.data(), c.size(), out.data(), 8, nullptr), -1);
    // The most zeros a compressor writes in a row (eight zero tokens, a zero flag, seven zero
    // literals) decode; one more is a zeroed sector's.
    Bytes zeros = {0x19, 0xB0, 0xFF};
    zeros.resize(27, 0);
    zeros.push_back('a');
    EXPECT_EQ(DecompressLznt1Unit(zeros.data(), zeros.size(), out.data(), out.size(), nullptr), 32);
    zeros.back() = 0;
    EXPECT_EQ(DecompressLznt1Unit(zeros.data(), zeros.size(), out.data(), out.size(), nullptr), -1);
}

TEST(Lznt1, UnitPlacesChunksAtTheirSlots) {
    Bytes in = RepeatChunk("abc", 4093);
    const Bytes last = RepeatChunk("xyz", 100);  // 103 bytes: the data's last chunk is short
    in.insert(in.end(), last.begin(), last.end());
    in.push_back(0);
    in.push_back(0);
    in.push_back(0x41);  // after the zero header: ignored
    Bytes out(3 * 4096, 0);
    Lznt1UnitResult r;
    ASSERT_TRUE(DecompressLznt1Buffer(in.data(), in.size(), out.data(), out.size(), out.size(), 512, r));
    EXPECT_EQ(r.good, 4096u + 103);
    EXPECT_EQ(out[4095], 'a');
    EXPECT_EQ(std::string(out.begin() + 4096, out.begin() + 4102), "xyzxyz");
    EXPECT_EQ(out[4096 + 103], 0);

    // The unit is full after its last slot: further chunks are not decoded.
    ASSERT_TRUE(DecompressLznt1Buffer(in.data(), in.size(), out.data(), 4096, 4096, 512, r));
    EXPECT_EQ(r.good, 4096u);

    // The unit fails, keeping the chunks before the damage: a short chunk with another after it; a
    // damaged chunk after a whole one; a zero header on a zeroed sector that took a stored chunk's tail.
    Bytes shortFirst = RepeatChunk("abc", 100), damaged = RepeatChunk("abc", 4093), cut(2 + 520 + 2, 0);
    shortFirst.insert(shortFirst.end(), in.begin(), in.end());
    damaged.insert(damaged.end(), {0xFF, 0xBF, 0x00});
    std::fill(cut.begin() + 2, cut.begin() + 512, 0x41);
    WriteLE16(cut.data(), 0x3000 | 519);
    for (const auto& [chunks, good] : {std::pair(shortFirst, 0u), {damaged, 4096u}, {cut, 0u}}) {
        EXPECT_FALSE(DecompressLznt1Buffer(chunks.data(), chunks.size(), out.data(), out.size(), 8192, 512, r));
        EXPECT_EQ(r.good, good);
    }
}

TEST(Lznt1, RandomInputNeverLeavesItsBuffers) {
    std::mt19937 rng(1234);
    for (int round = 0; round < 3000; ++round) {
        Bytes in(1 + rng() % 9000);
        for (u8& b : in) b = u8(rng());
        if (round % 2 == 0 && in.size() >= 2) in[1] |= 0x80;  // mostly compressed chunks
        // Exact-size heap buffers let the address sanitizer see any stray access.
        const size_t outSize = (1 + rng() % 16) * 4096;
        Bytes out(outSize);
        Lznt1UnitResult result;
        DecompressLznt1Buffer(in.data(), in.size(), out.data(), out.size(), outSize, 512, result);
        EXPECT_LE(result.good, outSize);
    }
}
}  // namespace
