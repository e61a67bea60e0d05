// A fixed run of the saved-contents fuzzing road, so every build keeps exercising it: a real
// result's folder list, volume and trees sections, damaged and loaded as the import loads them.
#include <gtest/gtest.h>

#include <sys/resource.h>

#include <array>
#include <memory>
#include <string>

#include "TestUtil.h"
#include "bench/fuzz/savedFuzz.h"
#include "fs/fat/FatQuickSearch.h"
#include "fs/ntfs/NTFSQuickSearch.h"

namespace {

// Saved results of an NTFS and a FAT16 fixture's deleted-file scans, the inputs both runs damage.
std::array<savedfuzz::Sections, 2> Seeds() {
    return {savedfuzz::SeedSections(testutil::FixturePath("ntfs-basic.img"),
                                    std::unique_ptr<IQuickFileSystemSearchController>(CreateNTFSQuickSearch())),
            savedfuzz::SeedSections(testutil::FixturePath("fat16-basic.img"), std::make_unique<CFATQuickSearch>())};
}

TEST(SavedContentFuzzSmoke, DamagedSectionsLoadOrFailWithAStreamCode) {
    testutil::TempDir dir;
    const std::array<savedfuzz::Sections, 2> seeds = Seeds();
    const std::string path = dir.File("fuzz.rsf");
    for (const auto& s : seeds) {
        ASSERT_GT(s.trees.size(), 200u);
        devfuzz::Rng none(0);
        savedfuzz::WriteResult(path, s, none, false);
        const savedfuzz::Outcome intact = savedfuzz::LoadResult(path);
        EXPECT_TRUE(intact.foldersRead);
        EXPECT_TRUE(intact.volumeRead);
        EXPECT_EQ(intact.roots, 2u);
        EXPECT_EQ(intact.failures, 0u);
    }
    u32 treesLoaded = 0, failed = 0;
    for (u64 seed = 1; seed <= 120; ++seed) {
        devfuzz::Rng rng(seed);
        const savedfuzz::Outcome o = savedfuzz::FuzzSections(rng, seeds[seed % 2], path);
        treesLoaded += o.roots > 0 ? 1 : 0;
        failed += o.failures > 0 ? 1 : 0;
    }
    // The damage reaches both outcomes: some trees still load, some loads fail.
    EXPECT_GT(treesLoaded, 5u);
    EXPECT_GT(failed, 20u);
}

// The stored form damaged: chunk headers, compressed bytes, chunks forged to inflate to one
// value and repeated up to thousands of times, section lengths. Each load ends with a tree or a
// stream code, and (under the sanitizer build's limits) in memory of the order of the file.
TEST(SavedContentFuzzSmoke, DamagedStoredChunksLoadOrFailWithAStreamCode) {
    testutil::TempDir dir;
    const std::array<savedfuzz::Sections, 2> seeds = Seeds();
    const std::string path = dir.File("fuzz.rsf");
    const std::string scratch = dir.File("chunk.rsf");
    {
        // Written and split, an intact result joins to the same bytes: the road damages only
        // what it means to.
        devfuzz::Rng none(0);
        savedfuzz::WriteResult(path, seeds[0], none, false);
        const std::vector<u8> bytes = testutil::ReadFileBytes(path);
        savedfuzz::StoredFile stored = savedfuzz::SplitStored(bytes);
        ASSERT_EQ(stored.sections.size(), 3u);
        EXPECT_FALSE(stored.sections[2].chunks.empty());
        EXPECT_EQ(savedfuzz::JoinStored(stored, false), bytes);
    }
    constexpr u64 kRounds = 150;
    constexpr long kMostResidentKiB = 1024 * 1024;
    u32 treesLoaded = 0, failed = 0;
    for (u64 seed = 1; seed <= kRounds; ++seed) {
        devfuzz::Rng rng(seed);
        const savedfuzz::Outcome o = savedfuzz::FuzzStoredChunks(rng, seeds[seed % 2], path, scratch);
        treesLoaded += o.roots > 0 ? 1 : 0;
        failed += o.failures > 0 ? 1 : 0;
        EXPECT_LE(o.failures, 3u);
    }
    EXPECT_GT(treesLoaded, 5u);
    EXPECT_GT(failed, kRounds / 4);
    // No load of a file of a few megabytes took memory of another order (one once zero-filled a
    // string of gigabytes before it failed).
    struct rusage usage {};
    ASSERT_EQ(::getrusage(RUSAGE_SELF, &usage), 0);
    EXPECT_LT(usage.ru_maxrss, kMostResidentKiB);
}

TEST(SavedContentFuzzSmoke, DamagedCompressedImagesOpenReadOrRefuse) {
    testutil::TempDir dir;
    const std::vector<u8> raw = testutil::ReadFileBytes(testutil::FixturePath("fat16-basic.img"));
    const savedfuzz::ImageSeed seed = savedfuzz::MakeImageSeed(raw, dir.File("fuzz.idx"), kCompressionZlib);
    ASSERT_EQ(seed.files.size(), 5u);
    u32 opened = 0, refused = 0, failedReads = 0;
    for (u64 s = 1; s <= 60; ++s) {
        devfuzz::Rng rng(s);
        const savedfuzz::ImageOutcome o = savedfuzz::FuzzImage(rng, seed);
        opened += o.opened ? 1 : 0;
        refused += o.opened ? 0 : 1;
        failedReads += o.opened && !o.readAll ? 1 : 0;
    }
    EXPECT_GT(opened, 10u);
    EXPECT_GT(refused, 5u);
    EXPECT_GT(failedReads, 5u);
}

TEST(SavedContentFuzzSmoke, DamagedLdmDatabasesJoinParseAndLinkWithinBounds) {
    const std::vector<u8> seed = savedfuzz::LdmSeedArea();
    {
        const LdmDatabase db = BuildDatabase(ParseVblkRecords(seed.data(), seed.size()), 512);
        EXPECT_EQ(db.volumes.size(), 5u);
        size_t complete = 0;
        for (const LdmVolumeRecord& v : db.volumes) complete += IsVolumeComplete(db, v) ? 1 : 0;
        EXPECT_EQ(complete, 5u);
    }
    u32 someComplete = 0, someBroken = 0;
    for (u64 s = 1; s <= 300; ++s) {
        devfuzz::Rng rng(s);
        const savedfuzz::LdmOutcome o = savedfuzz::FuzzLdm(rng, seed);
        someComplete += o.complete > 0 ? 1 : 0;
        someBroken += o.complete < 5 ? 1 : 0;
    }
    EXPECT_GT(someComplete, 100u);
    EXPECT_GT(someBroken, 30u);
}

}  // namespace
