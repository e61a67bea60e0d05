// A fixed run of the saved-result fuzzing road, so every build keeps exercising it: the records of
// a real quick-search tree, damaged inside the section's logical content (and now and then in the
// stored chunks), loaded back by every loader of a saved form.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "TestUtil.h"
#include "bench/fuzz/devFuzzStream.h"
#include "fs/fat/FatQuickSearch.h"
#include "fs/ntfs/NTFSQuickSearch.h"

namespace {

TEST(SavedStreamFuzzSmoke, DamagedRecordsOfRealTreesLoadOrFailCleanly) {
    testutil::TempDir dir;
    std::vector<std::vector<u8>> seeds;
    seeds.push_back(devfuzz::TreeRecords(testutil::FixturePath("fat16-basic.img"), std::make_unique<CFATQuickSearch>()));
    seeds.push_back(devfuzz::TreeRecords(testutil::FixturePath("ntfs-basic.img"),
                                         std::unique_ptr<IQuickFileSystemSearchController>(CreateNTFSQuickSearch())));
    const std::string path = dir.File("fuzz.rsf");
    for (const std::vector<u8>& seed : seeds) {
        ASSERT_GT(seed.size(), 100u);
        // Intact, the records all load: a root, its files and the trailing end tag.
        devfuzz::Rng none(0);
        devfuzz::WriteSavedFile(path, seed, none, false);
        const devfuzz::LoadOutcome intact = devfuzz::LoadSavedFile(path);
        EXPECT_FALSE(intact.threw);
        EXPECT_EQ(intact.roots, 1u);
        EXPECT_GT(intact.properties, 5u);
    }
    u32 loadedSome = 0;
    for (u64 seed = 1; seed <= 80; ++seed) {
        devfuzz::Rng rng(seed);
        const devfuzz::LoadOutcome outcome = devfuzz::FuzzSavedContent(rng, seeds[seed % seeds.size()], path);
        loadedSome += outcome.properties > 0 ? 1 : 0;
    }
    EXPECT_GT(loadedSome, 10u);  // damage lands in the records, not only in the first bytes
}

}  // namespace
