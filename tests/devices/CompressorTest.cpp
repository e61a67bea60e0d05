#include <gtest/gtest.h>

#include <bzlib.h>
#include <zlib.h>

#include <cstdlib>
#include <memory>
#include <random>
#include <vector>

#include "LzmaDec.h"
#include "devices/Compressor.h"

namespace {

struct CompressorDeleter {
    void operator()(ICompressor* c) const { DestroyCompressor(c); }
};
struct DecompressorDeleter {
    void operator()(IDecompressor* d) const { DestroyDecompressor(d); }
};
using CompressorPtr = std::unique_ptr<ICompressor, CompressorDeleter>;
using DecompressorPtr = std::unique_ptr<IDecompressor, DecompressorDeleter>;

// Half text-like, half random: compressible but not trivially so.
std::vector<u8> SampleData(size_t size, u32 seed) {
    std::mt19937 rng(seed);
    std::vector<u8> v(size);
    for (size_t i = 0; i < size; ++i) v[i] = (i / 4096) % 2 ? u8(rng()) : u8("recovery "[i % 9]);
    return v;
}

i32 LevelFor(u32 type) { return type == kCompressionBzip2 ? 9 : 5; }
u32 ParameterFor(u32 type) { return type == kCompressionLzma ? (1u << 16) : 0x800000; }

// Feeds the input and takes the output in uneven pieces through the push interface.
std::vector<u8> CompressInPieces(ICompressor& c, u32 type, const std::vector<u8>& in) {
    EXPECT_EQ(c.Init(LevelFor(type), ParameterFor(type)), 0);
    std::vector<u8> out;
    u8 room[777];
    size_t fed = 0;
    const size_t pieces[] = {1, 5000, 333, 70000, 12};
    size_t k = 0;
    auto drain = [&] {
        out.insert(out.end(), room, room + (sizeof room - c.GetAvailOut()));
        c.SetOutput(room, sizeof room);
    };
    c.SetOutput(room, sizeof room);
    while (fed < in.size()) {
        const size_t n = std::min(pieces[k++ % 5], in.size() - fed);
        c.SetInput(in.data() + fed, static_cast<u32>(n));
        fed += n;
        while (c.GetAvailIn() != 0) {
            const i32 rc = c.Compress(false);
            EXPECT_GE(rc, 0) << c.GetErrorText(rc);
            if (rc < 0) return {};
            if (c.GetAvailOut() == 0) drain();
        }
    }
    c.SetInput(nullptr, 0);
    for (int guard = 0; guard < 100000; ++guard) {
        const i32 rc = c.Compress(true);
        EXPECT_GE(rc, 0) << c.GetErrorText(rc);
        if (rc < 0) return {};
        if (rc == 1) break;  // stream complete (bzip2, zlib, LZMA all answer 1)
        drain();
    }
    drain();
    c.End();
    return out;
}

std::vector<u8> DecompressInPieces(IDecompressor& d, const std::vector<u8>& in, size_t expected, i32* lastRc) {
    EXPECT_EQ(d.Init(), 0);
    std::vector<u8> out;
    u8 room[1000];
    size_t fed = 0;
    i32 rc = 0;
    for (int guard = 0; guard < 1000000 && rc == 0; ++guard) {
        const size_t n = std::min<size_t>(fed % 3 ? 4321 : 17, in.size() - fed);
        d.SetInput(in.data() + fed, static_cast<u32>(n));
        const bool noInput = n == 0;
        do {
            d.SetOutput(room, sizeof room);
            rc = d.Decompress();
            out.insert(out.end(), room, room + (sizeof room - d.GetAvailOut()));
        } while (rc == 0 && d.GetAvailOut() == 0 && out.size() <= expected + sizeof room);
        fed += n;
        if (noInput) break;
    }
    d.End();
    *lastRc = rc;
    return out;
}

std::vector<u8> OneShotDecode(u32 type, const std::vector<u8>& packed, size_t size) {
    std::vector<u8> out(size + 16);
    if (type == kCompressionZlib) {
        uLongf len = out.size();
        EXPECT_EQ(uncompress(out.data(), &len, packed.data(), packed.size()), Z_OK);
        out.resize(len);
    } else if (type == kCompressionBzip2) {
        unsigned len = static_cast<unsigned>(out.size());
        EXPECT_EQ(BZ2_bzBuffToBuffDecompress(reinterpret_cast<char*>(out.data()), &len,
                                             const_cast<char*>(reinterpret_cast<const char*>(packed.data())),
                                             static_cast<unsigned>(packed.size()), 0, 0),
                  BZ_OK);
        out.resize(len);
    } else {
        ISzAlloc alloc = {[](void*, size_t n) { return std::malloc(n); }, [](void*, void* p) { std::free(p); }};
        EXPECT_GT(packed.size(), size_t(LZMA_PROPS_SIZE));
        SizeT outLen = out.size();
        SizeT inLen = packed.size() - LZMA_PROPS_SIZE;
        ELzmaStatus status;
        EXPECT_EQ(LzmaDecode(out.data(), &outLen, packed.data() + LZMA_PROPS_SIZE, &inLen, packed.data(),
                             LZMA_PROPS_SIZE, LZMA_FINISH_ANY, &status, &alloc),
                  SZ_OK);
        EXPECT_EQ(status, LZMA_STATUS_FINISHED_WITH_MARK);
        out.resize(outLen);
    }
    return out;
}

class CompressorRoundTrip : public ::testing::TestWithParam<u32> {};

TEST_P(CompressorRoundTrip, StreamingPiecesDecodeByLibraryAndWrapper) {
    const u32 type = GetParam();
    const auto data = SampleData(300000, type);
    CompressorPtr c(CreateCompressor(type));
    ASSERT_TRUE(c);
    const auto packed = CompressInPieces(*c, type, data);
    ASSERT_FALSE(packed.empty());
    EXPECT_LT(packed.size(), data.size());
    EXPECT_EQ(OneShotDecode(type, packed, data.size()), data);

    DecompressorPtr d(CreateDecompressor(type));
    ASSERT_TRUE(d);
    i32 rc = 0;
    EXPECT_EQ(DecompressInPieces(*d, packed, data.size(), &rc), data);
    EXPECT_EQ(rc, type == kCompressionZlib ? Z_STREAM_END : type == kCompressionBzip2 ? BZ_STREAM_END : 1);

    // The objects are reusable: a second stream after Init gives the same bytes.
    const auto again = CompressInPieces(*c, type, data);
    EXPECT_EQ(OneShotDecode(type, again, data.size()), data);
    EXPECT_EQ(DecompressInPieces(*d, again, data.size(), &rc), data);
}

TEST_P(CompressorRoundTrip, DamagedInputFailsWithoutCrashOrHang) {
    const u32 type = GetParam();
    const auto data = SampleData(20000, type + 7);
    CompressorPtr c(CreateCompressor(type));
    const auto packed = CompressInPieces(*c, type, data);
    ASSERT_FALSE(packed.empty());
    DecompressorPtr d(CreateDecompressor(type));
    std::mt19937 rng(type);
    int errors = 0;
    for (int trial = 0; trial < 60; ++trial) {
        auto bad = packed;
        if (trial < 20) {
            bad.resize(rng() % bad.size());  // truncated
        } else {
            for (int k = 0; k < 1 + trial % 4; ++k) bad[rng() % bad.size()] ^= u8(1u << (rng() % 8));
        }
        i32 rc = 0;
        const auto out = DecompressInPieces(*d, bad, data.size(), &rc);
        if (rc < 0) ++errors;
        if (rc > 0 && trial >= 20) {
            // A stream that still claims to be complete decodes to at most what was there.
            EXPECT_LE(out.size(), data.size() + 1000);
        }
        if (trial < 20) {
            EXPECT_LE(rc, 0) << "a truncated stream never reaches its end";
        }
    }
    EXPECT_GT(errors, 0);
    // Garbage from the start.
    std::vector<u8> junk(5000);
    for (auto& b : junk) b = u8(rng());
    junk[0] = 0x5D;  // a plausible LZMA property byte
    i32 rc = 0;
    DecompressInPieces(*d, junk, 100000, &rc);
    EXPECT_LE(rc, 0);
}

INSTANTIATE_TEST_SUITE_P(Types, CompressorRoundTrip,
                         ::testing::Values(kCompressionBzip2, kCompressionZlib, kCompressionLzma));

TEST(Compressor, FactoriesAndTexts) {
    EXPECT_EQ(CreateCompressor(0), nullptr);
    EXPECT_EQ(CreateCompressor(4), nullptr);
    EXPECT_EQ(CreateDecompressor(0), nullptr);
    EXPECT_EQ(CreateDecompressor(4), nullptr);
    DestroyCompressor(nullptr);
    DestroyDecompressor(nullptr);
    const char* names[] = {"bzip2", "zlib", "lzma"};
    for (u32 type = 1; type <= 3; ++type) {
        CompressorPtr c(CreateCompressor(type));
        ASSERT_TRUE(c);
        EXPECT_STREQ(c->GetName(), names[type - 1]);
        EXPECT_STREQ(c->GetErrorText(-7), "unknown error");
        EXPECT_STREQ(c->GetErrorText(-2), type == 1 ? "parameter error - bad call"
                                          : type == 2 ? "invalid stream - bad call"
                                                      : "initialization failed");
    }
    CompressorPtr z(CreateCompressor(kCompressionZlib));
    EXPECT_STREQ(z->GetErrorText(-3), "data error");
    CompressorPtr l(CreateCompressor(kCompressionLzma));
    EXPECT_STREQ(l->GetErrorText(-3), "thread synchronization error");
    CompressorPtr b(CreateCompressor(kCompressionBzip2));
    EXPECT_STREQ(b->GetErrorText(-9), "config error");
}

TEST(Compressor, EndedStreamAnswers) {
    const std::vector<u8> data(1000, 'x');
    u8 out[4096];
    // bzip2: finishing again after the end answers 1.
    CompressorPtr b(CreateCompressor(kCompressionBzip2));
    ASSERT_EQ(b->Init(1, 0), 0);
    b->SetInput(data.data(), 1000);
    b->SetOutput(out, sizeof out);
    EXPECT_EQ(b->Compress(false), 0);
    EXPECT_EQ(b->Compress(true), 0);  // BZ_STREAM_END is reported as 0 ...
    EXPECT_EQ(b->Compress(true), 1);  // ... and a repeat as 1
    EXPECT_EQ(b->Compress(true), 1);
    b->End();
    EXPECT_EQ(b->Init(0, 0), BZ_PARAM_ERROR);  // block size 0 is refused

    // LZMA: after the end, Compress(false) is a bad call and Compress(true) answers 0.
    CompressorPtr l(CreateCompressor(kCompressionLzma));
    ASSERT_EQ(l->Init(5, 1u << 16), 0);
    l->SetInput(data.data(), 1000);
    l->SetOutput(out, sizeof out);
    EXPECT_EQ(l->Compress(false), 0);
    EXPECT_EQ(l->GetAvailIn(), 0u);
    EXPECT_EQ(l->Compress(true), 1);
    EXPECT_EQ(l->Compress(false), -1);
    EXPECT_EQ(l->Compress(true), 0);
    EXPECT_EQ(l->End(), 0);
    EXPECT_EQ(l->Init(5, 0xFFFFFFFFu), -2);  // dictionary beyond the encoder's range

    // LZMA ended in the middle of a stream: the worker is stopped and joined.
    ASSERT_EQ(l->Init(5, 1u << 16), 0);
    l->SetInput(data.data(), 1000);
    l->SetOutput(out, 3);
    EXPECT_EQ(l->Compress(false), 0);
    EXPECT_EQ(l->GetAvailOut(), 0u);
    EXPECT_EQ(l->End(), 0);
    ASSERT_EQ(l->Init(5, 1u << 16), 0);  // and a new stream can follow
    l.reset();                           // destroying mid-stream also stops the worker
}

}  // namespace
