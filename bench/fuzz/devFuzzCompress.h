#pragma once
// The decompressor road of the fuzzing: streams made by each compressor, damaged, and fed to the
// matching decompressor in pieces of random size into output areas of random size, with a bound
// on the rounds. Header-only: the harness and the smoke tests share it.
#include <vector>

#include "bench/fuzz/devFuzzCommon.h"
#include "devices/Compressor.h"

namespace devfuzz {

// The whole of `input` compressed by the compressor of `type` (empty when it fails).
inline std::vector<u8> CompressAll(u32 type, const std::vector<u8>& input) {
    ICompressor* c = CreateCompressor(type);
    std::vector<u8> out;
    if (!c) return out;
    const u32 parameter = type == kCompressionLzma ? (1u << 16) : 0x800000;
    if (c->Init(type == kCompressionBzip2 ? 1 : 5, parameter) != 0) {
        DestroyCompressor(c);
        return out;
    }
    std::vector<u8> area(input.size() * 2 + 4096);
    c->SetInput(input.data(), static_cast<u32>(input.size()));
    c->SetOutput(area.data(), static_cast<u32>(area.size()));
    i32 rc = 0;
    for (int round = 0; round < 64 && c->GetAvailIn() != 0 && rc >= 0; ++round) rc = c->Compress(false);
    for (int round = 0; round < 64 && rc >= 0 && rc != 1 && rc != 4; ++round) rc = c->Compress(true);
    if (rc >= 0) out.assign(area.data(), area.data() + (area.size() - c->GetAvailOut()));
    c->End();
    DestroyCompressor(c);
    return out;
}

// Feeds `input` to a decompressor of `type`; returns the bytes produced (at most `limit`).
inline u64 DecompressBounded(Rng& rng, u32 type, const std::vector<u8>& input, u64 limit) {
    IDecompressor* d = CreateDecompressor(type);
    if (!d) return 0;
    u64 produced = 0;
    if (d->Init() == 0) {
        // The callers' pattern: the whole input once, then output areas until the stream ends,
        // fails, or a round produces nothing.
        std::vector<u8> area(1 + rng.Below(8192));
        d->SetInput(input.data(), static_cast<u32>(input.size()));
        for (int round = 0; round < 100000 && produced < limit; ++round) {
            d->SetOutput(area.data(), static_cast<u32>(area.size()));
            const i32 rc = d->Decompress();
            const u32 out = static_cast<u32>(area.size()) - d->GetAvailOut();
            produced += out;
            if (rc < 0 || rc == 1 || rc == 4 || out == 0) break;
        }
    }
    d->End();
    DestroyDecompressor(d);
    return produced;
}

}  // namespace devfuzz
