// A fixed run of seeded mutations through the NTFS deep search's road, as the fuzzing harness
// runs it: every input must come back without a crash, a hang or a sanitizer report. The clean
// disks first show that the road is really travelled: the volume is found and its files written.
#include <gtest/gtest.h>

#include <fstream>

#include "Manifest.h"
#include "TestUtil.h"
#include "bench/fuzz/NtfsDeepFuzzRoad.h"

namespace {

struct Seed {
    const char* image;
    u32 sectorSize;
    u64 leadSectors;
    bool wipeBoot;
};

std::vector<u8> LoadImage(const char* name) {
    std::ifstream in(testutil::FixturePath(name), std::ios::binary | std::ios::ate);
    if (!in) return {};
    std::vector<u8> out(size_t(in.tellg()));
    in.seekg(0);
    in.read(reinterpret_cast<char*>(out.data()), std::streamsize(out.size()));
    return in ? out : std::vector<u8>{};
}

class NtfsDeepFuzzSmoke : public ::testing::TestWithParam<Seed> {};

TEST_P(NtfsDeepFuzzSmoke, SeededMutationsRunTheDeepSearchRoad) {
    const Seed& seed = GetParam();
    const std::vector<u8> volume = LoadImage(seed.image);
    ASSERT_FALSE(volume.empty());
    const ntfsfuzz::ImageMap map = ntfsfuzz::MapImage(volume, seed.sectorSize);
    testutil::TempDir scratch;
    ntfsfuzz::Limits limits;
    {
        const std::vector<u8> disk = ntfsdeepfuzz::MakeDisk(volume, seed.sectorSize, seed.leadSectors, seed.wipeBoot);
        ntfsfuzz::BufferDevice device(disk, seed.sectorSize);
        // A block length that cuts records at block ends.
        const ntfsdeepfuzz::DeepResult r = ntfsdeepfuzz::RunDeepRoad(&device, 17, scratch.Path() + "/clean", limits);
        EXPECT_EQ(r.startSector, seed.leadSectors);
        EXPECT_GT(r.treeFiles, 10u);
        EXPECT_GT(r.filesWritten, 10u);
    }
    const u32 blocks[] = {9, 17, 64, 1000, 8192};
    for (u64 n = 0; n < 12; ++n) {
        SCOPED_TRACE(n);
        std::vector<u8> disk = ntfsdeepfuzz::MakeDisk(volume, seed.sectorSize, seed.leadSectors, seed.wipeBoot);
        ntfsdeepfuzz::DeepMutator mutator(map, 0xDEE90000 + n);
        mutator.Mutate(disk, size_t(seed.leadSectors) * seed.sectorSize, volume.size(), seed.sectorSize);
        ntfsfuzz::BufferDevice device(disk, seed.sectorSize);
        ntfsdeepfuzz::RunDeepRoad(&device, blocks[n % 5], scratch.Path() + "/m", limits);
    }
}

INSTANTIATE_TEST_SUITE_P(Disks, NtfsDeepFuzzSmoke,
                         ::testing::Values(Seed{"ntfs-basic.img", 512, 2048, true},
                                           Seed{"sector4k.img", 4096, 256, false}),
                         [](const ::testing::TestParamInfo<Seed>& info) {
                             return testutil::FixtureTestName(info.param.image);
                         });

}  // namespace
