// A fixed run of seeded mutations through the FAT and exFAT deep searches' road, as the fuzzing
// harness runs it: every input must come back without a crash, a hang or a sanitizer report. The
// clean disks first show that the road is really travelled: the volume is found behind its gap
// (also with its boot sector wiped) and its files are written.
#include <gtest/gtest.h>

#include "Manifest.h"
#include "TestUtil.h"
#include "bench/fuzz/FatDeepFuzzRoad.h"

namespace {

struct Seed {
    const char* image;
    u64 leadSectors;
    bool wipeBoot;
    bool exfat;
};

class FatDeepFuzzSmoke : public ::testing::TestWithParam<Seed> {};

TEST_P(FatDeepFuzzSmoke, SeededMutationsRunTheDeepSearchRoad) {
    const Seed& seed = GetParam();
    const std::vector<u8> volume = testutil::ReadFileBytes(testutil::FixturePath(seed.image));
    ASSERT_FALSE(volume.empty());
    testutil::TempDir scratch;
    // The fixtures' largest files are a few MiB: the clean run writes them all.
    ntfsfuzz::Limits limits;
    limits.maxFileBytes = 64ull << 20;
    limits.maxPassBytes = 256ull << 20;
    auto run = [&](const std::vector<u8>& disk, u32 block, const std::string& out) {
        ntfsfuzz::BufferDevice device(disk, fatdeepfuzz::kSectorBytes);
        return seed.exfat ? fatdeepfuzz::RunDeepRoad<CExFatCompleteSearch>(&device, block, out, limits)
                          : fatdeepfuzz::RunDeepRoad<CFatCompleteSearch>(&device, block, out, limits);
    };
    {
        const fatdeepfuzz::DeepResult r =
            run(fatdeepfuzz::MakeDisk(volume, seed.leadSectors, seed.wipeBoot), 7, scratch.Path() + "/clean");
        EXPECT_EQ(r.chosen, 1u);
        EXPECT_GT(r.treeFiles, 10u);
        EXPECT_GT(r.filesWritten, 10u);
        // The FAT16 start without a boot sector is a guess; the others are where the volume is.
        if (!seed.wipeBoot || seed.exfat) {
            EXPECT_EQ(r.startSector, seed.leadSectors);
        }
    }
    const u32 blocks[] = {1, 7, 64, 1000, 8192};
    for (u64 n = 0; n < 12; ++n) {
        SCOPED_TRACE(n);
        std::vector<u8> disk = fatdeepfuzz::MakeDisk(volume, seed.leadSectors, seed.wipeBoot);
        fatdeepfuzz::DeepMutator(0xFA7D0000 + n).Mutate(disk, size_t(seed.leadSectors) * fatdeepfuzz::kSectorBytes);
        run(disk, blocks[n % 5], scratch.Path() + "/m");
        fatdeepfuzz::MergeMadeUpSightings(0xFA7D0000 + n, disk.size() / fatdeepfuzz::kSectorBytes);
    }
}

INSTANTIATE_TEST_SUITE_P(Disks, FatDeepFuzzSmoke,
                         ::testing::Values(Seed{"fat16-basic.img", 2048, true, false},
                                           Seed{"fat32-basic.img", 63, false, false},
                                           Seed{"exfat-basic.img", 2048, true, true}),
                         [](const ::testing::TestParamInfo<Seed>& info) {
                             return testutil::FixtureTestName(info.param.image) +
                                    (info.param.wipeBoot ? "_WipedBoot" : "");
                         });

}  // namespace
