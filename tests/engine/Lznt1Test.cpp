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
    ASSERT_TRUE(DecompressLznt1Buffer(in.data(), in.size(), out.data(), out.size(), 4096 + 103, 512, r));
    EXPECT_EQ(r.good, 4096u + 103);
    EXPECT_EQ(out[4095], 'a');
    EXPECT_EQ(std::string(out.begin() + 4096, out.begin() + 4102), "xyzxyz");
    EXPECT_EQ(out[4096 + 103], 0);
}

// A unit's chunks reach every byte of its data and fill no more slots than it has: a unit that
// breaks either is damaged, keeping the chunks before the damage. `good` is where they end.
TEST(Lznt1, DamagedUnitsKeepTheChunksBeforeTheDamage) {
    const auto join = [](std::initializer_list<Bytes> parts) {
        Bytes all;
        for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
        return all;
    };
    const Bytes whole = RepeatChunk("abc", 4093), shortOne = RepeatChunk("abc", 100), end = {0, 0};
    Bytes zeroedTail(2 + 520 + 2, 0);  // a stored chunk whose tail a zeroed sector took
    std::fill(zeroedTail.begin() + 2, zeroedTail.begin() + 512, 0x41);
    WriteLE16(zeroedTail.data(), 0x3000 | 519);
    Bytes damagedChunk = whole;
    damagedChunk.insert(damagedChunk.end(), {0xFF, 0xBF, 0x00});
    // A whole chunk of one back-reference at its first byte: it refers to what lies before it.
    const Bytes early = {0x01, 0xB0, 0x01, 0xFD, 0x0F};
    // Another file's unit in a stored cluster: its first chunk ends its data in mid-sector.
    Bytes foreign = join({RepeatChunk("xyz", 2588), end});
    foreign.resize(512, 0x77);
    struct Row {
        const char* what;
        Bytes chunks;
        size_t slots;
        size_t dataBytes;
        size_t good;
    };
    const Row rows[] = {
        {"a short chunk with another after it", join({shortOne, whole}), 2, 8192, 0},
        {"a damaged chunk after a whole one", damagedChunk, 2, 8192, 4096},
        {"a zero header on a zeroed sector that took a stored chunk's tail", zeroedTail, 2, 8192, 0},
        {"a foreign chunk in the first slot, short of the data", foreign, 16, 65536, 0},
        {"a foreign chunk in a middle slot", join({whole, whole, foreign}), 16, 65536, 8192},
        {"the last slot short where the data goes on", join({whole, shortOne, end}), 2, 8000, 4096},
        {"a zero header in mid-sector short of the data", join({whole, end, Bytes(100, 0x41)}), 16, 65536, 4096},
        {"the input ending short of the data", join({whole, whole}), 16, 65536, 8192},
        {"a back-reference before the chunk's first byte", join({whole, early, end}), 2, 8192, 4096},
    };
    Bytes out(16 * 4096);
    Lznt1UnitResult r;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        EXPECT_FALSE(DecompressLznt1Buffer(row.chunks.data(), row.chunks.size(), out.data(), row.slots * 4096,
                                           row.dataBytes, 512, r));
        EXPECT_TRUE(r.damaged);
        EXPECT_EQ(r.good, row.good);
    }
    // Sound units: whole chunks to the data's end, a last one short where the data ends, and
    // whatever follows the chunk that completes them (a zero header, another file's chunk, stray
    // bytes in the cluster's slack).
    const Bytes stray(60, 0x5A);
    const Row sound[] = {
        {"whole chunks filling the unit", join({whole, whole}), 2, 8192, 8192},
        {"a short last chunk where the data ends", join({whole, shortOne, end, Bytes(50, 0x41)}), 2, 4096 + 103, 4199},
        {"a file's last unit", join({whole, end}), 16, 4096, 4096},
        {"stray bytes after a full unit's last chunk", join({whole, whole, stray}), 2, 8192, 8192},
        {"a chunk after a full unit's last slot", join({whole, whole, shortOne, end}), 2, 8192, 8192},
        {"stray bytes after the data's short last chunk", join({whole, shortOne, stray}), 16, 4096 + 103, 4199},
        {"a whole chunk after the data's whole last one", join({whole, whole}), 16, 4096, 4096},
    };
    for (const Row& row : sound) {
        SCOPED_TRACE(row.what);
        EXPECT_TRUE(DecompressLznt1Buffer(row.chunks.data(), row.chunks.size(), out.data(), row.slots * 4096,
                                          row.dataBytes, 512, r));
        EXPECT_EQ(r.good, row.good);
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
