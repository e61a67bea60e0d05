// The NTFS deep search over the fixture images, block by block through the read-ahead cache, as
// the complete scan drives it: which candidates it proposes and with what evidence, and the
// pieces of its sector tests on hand-made bytes.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "ImageDevice.h"
#include "RecordingBuilder.h"
#include "TestUtil.h"
#include "devices/CachedStorageDevice.h"
#include "engine/CompleteRecoveryController.h"
#include "fs/ntfs/NTFSDeepSearch.h"
#include "fs/ntfs/NTFSLogFile.h"
#include "fs/ntfs/NTFSTemplates.h"

namespace {

using testutil::ImageDevice;

// Runs the search over the whole image and leaves it after EndSearch.
void RunSearch(CNTFSSearchController& search, IStorageDevice& device, testutil::RecordingBuilder& builder) {
    const u32 blockSectors = CCompleteRecoveryController::BlockSectorsFor(device.GetSectorSize());
    CStorageDeviceWithCache cached(&device);
    cached.SetCacheSize(blockSectors);
    cached.StartCacheThread();
    search.SetDevice(&cached);
    search.SetBlockSectorCount(blockSectors);
    search.SetDirectoryTreeBuilder(&builder);
    search.BeginSearch();
    const u64 total = device.GetTotalSectors();
    for (u64 b = 0; b * blockSectors < total; ++b) {
        cached.SetCurCacheBlock(static_cast<u32>(b));
        search.SearchBlock(b * blockSectors, std::min<u64>(blockSectors, total - b * blockSectors));
    }
    search.EndSearch();
    cached.StopCacheThread();
    search.SetDevice(&device);
}

const CSearchedNTFSPartitionInfo* Best(const CNTFSSearchController& search) {
    const CSearchedNTFSPartitionInfo* best = nullptr;
    for (const auto& c : search.GetCandidates().Items()) {
        if (!best || c->GetBootScore() > best->GetBootScore()) best = c.get();
    }
    return best;
}

struct FixtureCase {
    const char* image;
    u32 sectorSize;
    u64 start;
    u64 sectors;
    u32 evidence;  // bits the volume's candidate must carry at least
};

TEST(NtfsDeepSearch, FindsTheVolumesOfTheFixturesWithTheirBootSectorGeometry) {
    const FixtureCase cases[] = {
        {"ntfs-basic.img", 512, 0, 131071, ntfsev::kBootSector | ntfsev::kBackupBootSector},
        {"sector4k.img", 4096, 0, 8191, ntfsev::kBootSector | ntfsev::kBackupBootSector},
        {"mbr-disk.img", 512, 77824, 24575, ntfsev::kBootSector | ntfsev::kBackupBootSector},
        {"gpt-disk.img", 512, 2048, 40959, ntfsev::kBootSector | ntfsev::kBackupBootSector},
        // The primary boot sector is zeroed: only its backup at the volume's end is left.
        {"lost-partition-wiped.img", 512, 2048, 49151, ntfsev::kBackupBootSector},
        {"lost-partition-reformat.img", 512, 2048, 73727, ntfsev::kBootSector | ntfsev::kBackupBootSector},
    };
    for (const FixtureCase& t : cases) {
        SCOPED_TRACE(t.image);
        ImageDevice device(testutil::FixturePath(t.image), t.sectorSize);
        ASSERT_TRUE(device.IsOpen());
        testutil::RecordingBuilder builder;
        CNTFSSearchController search;
        RunSearch(search, device, builder);
        const CSearchedNTFSPartitionInfo* best = Best(search);
        ASSERT_NE(best, nullptr);
        EXPECT_EQ(best->GetPartitionStart(), t.start);
        EXPECT_EQ(best->GetTotalSectors(), t.sectors);
        EXPECT_EQ(best->GetEvidence() & t.evidence, t.evidence) << std::hex << best->GetEvidence();
        EXPECT_NE(best->GetMftSector(), kNtfsUnknown);
        EXPECT_EQ(best->GetSearchController(), &search);
        EXPECT_GT(best->GetBootScore(), 50u);
        EXPECT_FALSE(search.GetRecordRuns().empty());
        // Every FILE record of a user file was shown while the device was read.
        EXPECT_FALSE(builder.nodes.empty());
        ASSERT_EQ(builder.roots.size(), 1u);
        EXPECT_EQ(builder.roots[0].name, "NTFS");
        EXPECT_EQ(best->GetUpCaseMatches(), 256u);
    }
}

}  // namespace
