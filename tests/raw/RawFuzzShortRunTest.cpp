// Short seeded runs of the RAW fuzzers (bench/fuzz/raw_fuzz and raw_family_fuzz for long ones):
// damaged Exif blocks, damaged JPEG walks, random text and archive bytes, and every format
// analyser over a skeleton of its format strewn with identifiers and absurd lengths must neither
// crash, read outside their buffers (the sanitizer build runs these too), walk without end nor
// state a size past the bound.
#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <string>

#include "bench/fuzz/RawFamilyFuzzRoad.h"
#include "bench/fuzz/RawFuzzRoad.h"
#include "raw/AnalyserTables.h"
#include "raw/RawFileAnalyser.h"

namespace {

constexpr u64 kSeeds = 3000;
// Per group of analyser families; a seed of these costs a disk of up to 200 sectors.
constexpr u64 kFamilySeeds = 2000;

// Every seed ran, none broke a rule, and at least `minRan` of them got past the first gate (a
// damaged input refused at once exercises nothing behind it).
template <class Road>
void ExpectShortRun(Road road, u64 seeds, u64 minRan) {
    fuzzverdict::Tally tally;
    for (u64 seed = 0; seed < seeds; ++seed) tally.Add(road(seed), seed);
    EXPECT_EQ(tally.inputs, seeds);
    EXPECT_EQ(tally.failed, 0u) << tally.firstFailure;
    EXPECT_GE(tally.ran, minRan);
}

// Damage breaks most blocks somewhere; about one in five still parses whole.
TEST(RawFuzzShortRun, ExifBlocks) { ExpectShortRun(rawfuzz::RunExif, kSeeds, kSeeds / 8); }

TEST(RawFuzzShortRun, JpegWalks) { ExpectShortRun(rawfuzz::RunJpegWalk, kSeeds / 3, kSeeds / 6); }

TEST(RawFuzzShortRun, TextAndArchiveRecords) { ExpectShortRun(rawfuzz::RunText, kSeeds, kSeeds); }

// The containers group runs in the family walk tests; the groups below run here.
class RawFamilyFuzzShortRun : public ::testing::TestWithParam<std::string> {};

TEST_P(RawFamilyFuzzShortRun, HeaderChecksAndWalks) {
    for (const rawfamilyfuzz::Group& group : rawfamilyfuzz::Groups()) {
        if (group.name != GetParam()) continue;
        ExpectShortRun([&](u64 seed) { return rawfamilyfuzz::RunGroup(group, seed); }, kFamilySeeds, kFamilySeeds / 4);
        return;
    }
    FAIL() << "no fuzz group named " << GetParam();
}

INSTANTIATE_TEST_SUITE_P(Groups, RawFamilyFuzzShortRun,
                         ::testing::Values("images-fonts", "tiff-raw", "archive-db-html", "text-drawing", "documents"),
                         [](const auto& info) {
                             std::string name;
                             for (char c : info.param) name += c == '-' ? '_' : c;
                             return name;
                         });

// A class the factory builds but no group names would never be fuzzed; one named twice would
// take seeds from its neighbours.
TEST(RawFamilyFuzzShortRun, EveryClassTheFactoryBuildsIsInOneGroup) {
    std::multiset<u32> named;
    for (const rawfamilyfuzz::Group& group : rawfamilyfuzz::Groups()) {
        for (RawAnalyserClass cls : group.classes) named.insert(static_cast<u32>(cls));
    }
    for (u32 i = 0; i < kRawAnalyserClassCount; ++i) {
        const auto cls = static_cast<RawAnalyserClass>(i);
        std::unique_ptr<IRawFileAnalyser> analyser(CreateRawFileAnalyser(cls));
        EXPECT_EQ(named.count(i), analyser ? 1u : 0u) << GetRawAnalyserClassInfo(cls).name;
    }
}

}  // namespace
