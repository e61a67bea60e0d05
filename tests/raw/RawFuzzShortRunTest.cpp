// Short seeded runs of the RAW fuzzers (bench/fuzz/raw_fuzz for long ones): damaged Exif blocks,
// damaged JPEG walks and random text and archive bytes must neither crash nor read outside their
// buffers (the sanitizer build runs these too).
#include <gtest/gtest.h>

#include "bench/fuzz/RawFuzzRoad.h"

namespace {

constexpr u64 kSeeds = 3000;

TEST(RawFuzzShortRun, ExifBlocks) {
    for (u64 seed = 0; seed < kSeeds; ++seed) rawfuzz::RunExif(seed);
}

TEST(RawFuzzShortRun, JpegWalks) {
    for (u64 seed = 0; seed < kSeeds / 3; ++seed) rawfuzz::RunJpegWalk(seed);
}

TEST(RawFuzzShortRun, TextAndArchiveRecords) {
    for (u64 seed = 0; seed < kSeeds; ++seed) rawfuzz::RunText(seed);
}

}  // namespace
