// A fixed run of seeded mutations of the NTFS fixtures through the whole road (analyser, quick
// search with journal salvage, the real tree builder, the writer), as the fuzzing harness does:
// every input must come back without a crash, a hang or a sanitizer report.
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>

#include "Manifest.h"
#include "TestUtil.h"
#include "bench/fuzz/NtfsFuzzRoad.h"

namespace {

struct Seed {
    const char* image;
    u64 offset;  // bytes
    u64 length;  // bytes; 0: to the end
    u32 sectorSize;
};

std::vector<u8> LoadSlice(const Seed& seed) {
    std::ifstream in(testutil::FixturePath(seed.image), std::ios::binary | std::ios::ate);
    if (!in) return {};
    const u64 size = u64(in.tellg());
    const u64 length = seed.length != 0 ? seed.length : size - seed.offset;
    std::vector<u8> out(length);
    in.seekg(std::streamoff(seed.offset));
    in.read(reinterpret_cast<char*>(out.data()), std::streamsize(length));
    return in ? out : std::vector<u8>{};
}

class NtfsFuzzSmoke : public ::testing::TestWithParam<Seed> {};

TEST_P(NtfsFuzzSmoke, SeededMutationsRunTheWholeRoad) {
    const Seed& seed = GetParam();
    std::vector<u8> clean = LoadSlice(seed);
    ASSERT_FALSE(clean.empty());
    ntfsfuzz::ImageMap map = ntfsfuzz::MapImage(clean, seed.sectorSize);
    ASSERT_GT(map.records.size(), 16u);
    if (map.logPages.empty()) ntfsfuzz::PlantJournal(clean, map);
    testutil::TempDir scratch;
    ntfsfuzz::Limits limits;
    limits.maxFiles = 60;

    // The clean volume first: the road finds and writes files, so the mutations below start from
    // a road that is really travelled.
    {
        ntfsfuzz::BufferDevice device(clean, seed.sectorSize);
        const ntfsfuzz::RoadResult r = ntfsfuzz::RunRoad(&device, scratch.Path() + "/clean", limits);
        EXPECT_EQ(r.fsCode, 3u);
        EXPECT_EQ(r.searchResult, 0u);
        EXPECT_GT(r.quickFiles, 0u);
        EXPECT_GT(r.filesWritten, 10u);
    }
    std::vector<u8> work;
    for (u64 n = 0; n < 25; ++n) {
        SCOPED_TRACE(n);
        work = clean;
        ntfsfuzz::Mutator mutator(map, 0x5EED0000 + n);
        mutator.Mutate(work);
        ntfsfuzz::BufferDevice device(work, seed.sectorSize);
        ntfsfuzz::RunRoad(&device, scratch.Path() + "/m", limits);
    }
}

INSTANTIATE_TEST_SUITE_P(Volumes, NtfsFuzzSmoke,
                         ::testing::Values(Seed{"ntfs-basic.img", 0, 0, 512}, Seed{"sector4k.img", 0, 0, 4096},
                                           Seed{"mbr-disk.img", 77824ull * 512, 24576ull * 512, 512},
                                           Seed{"gpt-disk.img", 2048ull * 512, 40960ull * 512, 512}),
                         [](const ::testing::TestParamInfo<Seed>& info) {
                             return testutil::FixtureTestName(info.param.image);
                         });

// The planted journal is one the salvage reads: its record images are collected.
TEST(NtfsFuzzSmokeJournal, PlantedJournalIsParsed) {
    std::vector<u8> clean = LoadSlice(Seed{"ntfs-basic.img", 0, 0, 512});
    ASSERT_FALSE(clean.empty());
    ntfsfuzz::ImageMap map = ntfsfuzz::MapImage(clean, 512);
    ntfsfuzz::PlantJournal(clean, map);
    ASSERT_FALSE(map.logPages.empty());
    ntfsfuzz::BufferDevice device(clean, 512);
    ntfsfuzz::QuietProgress progress;
    ntfsfuzz::CollectingBuilder builder(0);
    CNTFSQuickSearch search;
    search.SetDirectoryTreeBuilder(&builder);
    search.Search(&device, &progress);
    EXPECT_GT(search.GetLogFileParser().GetRecordImageCount(), 10u);
}

}  // namespace
