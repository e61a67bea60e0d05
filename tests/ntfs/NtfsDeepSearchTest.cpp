// The NTFS deep search over the fixture images, block by block through the read-ahead cache, as
// the complete scan drives it: which candidates it proposes and with what evidence, and the
// pieces of its sector tests on hand-made bytes.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <memory>
#include <optional>
#include <vector>

#include "ImageDevice.h"
#include "NtfsTestSupport.h"
#include "SavedSections.h"
#include "ToolImage.h"
#include "RecordingBuilder.h"
#include "TestUtil.h"
#include "devices/CachedStorageDevice.h"
#include "engine/CompleteRecoveryController.h"
#include "fs/ntfs/NTFSDeepSearch.h"
#include "fs/ntfs/NTFSDBR.h"
#include "fs/ntfs/NTFSLogFile.h"
#include "fs/ntfs/NTFSTemplates.h"
#include "fs/ntfs/NTFSFoundTree.h"
#include "engine/DataRunList.h"
#include "engine/FileNode.h"
#include "engine/FileProperties.h"
#include "fs/ntfs/NTFSFileProperties.h"

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
        const CSearchedNTFSPartitionInfo* best = ntfstest::BestCandidate(search);
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


// Runs the search over a device in memory with blocks of `blockSectors`, no cache in front.
void RunPlain(CNTFSSearchController& search, IStorageDevice& device, IDirecotryTreeBuilder* builder, u32 blockSectors) {
    search.SetDevice(&device);
    search.SetBlockSectorCount(blockSectors);
    search.SetDirectoryTreeBuilder(builder);
    search.BeginSearch();
    const u64 total = device.GetTotalSectors();
    for (u64 first = 0; first < total; first += blockSectors) {
        search.SearchBlock(first, std::min<u64>(blockSectors, total - first));
    }
    search.EndSearch();
}

std::vector<u8> FixtureSectors(const char* image, u64 first, u64 count, u32 sectorSize = 512) {
    ImageDevice device(testutil::FixturePath(image), sectorSize);
    std::vector<u8> out(size_t(count) * sectorSize);
    if (!device.Read(out.data(), first, count)) out.clear();
    return out;
}

TEST(NtfsDeepSearch, BootSectorsMakeOneCandidatePerVolume) {
    std::vector<u8> boot = FixtureSectors("ntfs-basic.img", 0, 1);
    ASSERT_EQ(boot.size(), 512u);
    WriteLE64(boot.data() + 0x28, 1000);  // the volume's total sectors
    struct Case {
        std::vector<u64> bootSectors;
        std::vector<std::pair<u64, u32>> expected;  // start, evidence
    };
    const Case cases[] = {
        {{100, 1100}, {{100, ntfsev::kBootSector | ntfsev::kBackupBootSector}}},
        // The primary's own backup hypothesis (at 500) goes when its real backup is seen.
        {{1500, 2500}, {{1500, ntfsev::kBootSector | ntfsev::kBackupBootSector}}},
        // Only the backup is left: the volume before it, and the hypothesis that it is a primary.
        {{1100}, {{100, ntfsev::kBackupBootSector}, {1100, ntfsev::kBootSector}}},
        // A backup hypothesis before the device's start is not made.
        {{5}, {{5, ntfsev::kBootSector}}},
    };
    for (const Case& t : cases) {
        SCOPED_TRACE(t.bootSectors.front());
        testutil::MemoryDevice device(512, 4000);
        for (u64 at : t.bootSectors) device.Put(at * 512, boot);
        CNTFSSearchController search;
        RunPlain(search, device, nullptr, 256);
        std::vector<std::pair<u64, u32>> found;
        search.GetCandidates().ForEach([&found](const CSearchedNTFSPartitionInfo& c) {
            found.emplace_back(c.GetPartitionStart(), c.GetEvidence());
            EXPECT_EQ(c.GetSectorsPerCluster(), 8u);
            EXPECT_EQ(c.GetTotalSectors(), 1000u);
        });
        EXPECT_EQ(found, t.expected);
    }
}

// A preview of a paused scan looks at the candidates from another thread, while the scan thread
// may still be in a step that changes them: what it is handed stays as it was and stays alive,
// also when the scan later drops the candidate (here the backup hypothesis of the boot sector at
// 1500, void once its real backup at 2500 is seen).
TEST(NtfsDeepSearch, CandidatesLookedAtDuringTheBlockLoopStayAsHandedOut) {
    constexpr u32 kBlockSectors = 64;
    constexpr u64 kSectors = 4000;
    std::vector<u8> boot = FixtureSectors("ntfs-basic.img", 0, 1);
    ASSERT_EQ(boot.size(), 512u);
    WriteLE64(boot.data() + 0x28, 1000);
    testutil::MemoryDevice device(512, kSectors);
    for (u64 at : {1500, 2500}) device.Put(at * 512, boot);

    CNTFSSearchController search;
    search.SetDevice(&device);
    search.SetBlockSectorCount(kBlockSectors);
    search.BeginSearch();
    std::atomic<bool> scanning{true};
    std::atomic<u64> looks{0};
    std::thread preview([&] {
        while (scanning.load()) {
            std::vector<CSearchedPartitionInfo*> seen;
            search.GetSearchedPartitions(seen);
            for (CSearchedPartitionInfo* c : seen) EXPECT_LT(c->GetPartitionStart(), kSectors);
            looks.fetch_add(1);
        }
    });
    std::vector<CSearchedPartitionInfo*> early;
    for (u64 first = 0; first < kSectors; first += kBlockSectors) {
        search.SearchBlock(first, std::min<u64>(kBlockSectors, kSectors - first));
        if (first <= 1500 && 1500 < first + kBlockSectors) search.GetSearchedPartitions(early);
        // Each block waits for a look of the other thread, so that looks and steps interleave.
        for (const u64 before = looks.load(); looks.load() == before;) std::this_thread::yield();
    }
    scanning.store(false);
    preview.join();

    std::vector<std::pair<u64, u32>> handed;
    for (CSearchedPartitionInfo* c : early) {
        handed.emplace_back(c->GetPartitionStart(), static_cast<CSearchedNTFSPartitionInfo*>(c)->GetEvidence());
    }
    const std::vector<std::pair<u64, u32>> expectedEarly = {{500, ntfsev::kBackupBootSector},
                                                            {1500, ntfsev::kBootSector}};
    EXPECT_EQ(handed, expectedEarly);
    search.EndSearch();
    std::vector<CSearchedPartitionInfo*> last;
    search.GetSearchedPartitions(last);
    std::vector<u64> starts;
    for (CSearchedPartitionInfo* c : last) starts.push_back(c->GetPartitionStart());
    EXPECT_EQ(starts, (std::vector<u64>{1500}));
}

// A step of the search that took long is named in the debug trace with its sector, when it has
// one; one of 30 ms or less is not.
TEST(NtfsDeepSearch, SlowStepsAreNamedWithTheirSector) {
    struct Case {
        const char* label;
        std::optional<i64> sector;
        u64 elapsedMs;
        const char* line;  // null: nothing written
    };
    const Case cases[] = {
        {"AnalyzeNTFSDBRSector", 123, 30, nullptr},
        {"AnalyzeNTFSDBRSector", 123, 31, "AnalyzeNTFSDBRSector curSector 123 dwElapsedTime 31 \n"},
        {"EndSearch", -1, 4000, "EndSearch curSector -1 dwElapsedTime 4000 \n"},
        {"AnalyzeNTFSFileRecordSector begin", 0x1234567890LL, 0, nullptr},
        {"BuildPartitionInfoAccordingtoFileRecord(pIndexRecordInfo->u64Sector, s64ClusterNO)", std::nullopt, 45,
         "BuildPartitionInfoAccordingtoFileRecord(pIndexRecordInfo->u64Sector, s64ClusterNO) dwElapsedTime 45 \n"},
        {"BuildPartitionInfoAccordingtoFileRecord(pIndexRecordInfo->u64Sector, s64ClusterNO)", std::nullopt, 30,
         nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        std::string line;
        EXPECT_EQ(FormatNtfsStepTime(c.label, c.sector, c.elapsedMs, line), c.line != nullptr);
        if (c.line != nullptr) {
            EXPECT_EQ(line, c.line);
        }
    }
}

TEST(NtfsDeepSearch, CandidatesAreMadeOnlyInsideTheDevice) {
    std::vector<u8> boot = FixtureSectors("ntfs-basic.img", 0, 1);
    CNTFSDBR dbr;
    WriteLE64(boot.data() + 0x28, 1000);
    ASSERT_TRUE(dbr.SetDBRData(boot.data()));
    const NTFSDeviceBounds bounds{4000, 512};
    EXPECT_EQ(MakeCandidateFromDBR(dbr, -1, ntfsev::kBootSector, bounds), nullptr);
    EXPECT_EQ(MakeCandidateFromDBR(dbr, 3993, ntfsev::kBootSector, bounds), nullptr);  // 7 sectors left
    const NTFSCandidatePtr cut = MakeCandidateFromDBR(dbr, 3500, ntfsev::kBootSector, bounds);
    ASSERT_NE(cut, nullptr);
    EXPECT_EQ(cut->GetTotalSectors(), 500u);
    EXPECT_EQ(cut->GetClusterCount(), 62u);

    struct RecordCase {
        u64 record;
        u64 cluster;
        u32 spc;
        u32 sectorSize;
        bool made;
        u64 start;
    };
    const RecordCase cases[] = {
        {1000, 100, 8, 512, true, 200},
        {1000, 126, 8, 512, false, 0},   // the record would lie in the volume's first 8 sectors
        {1000, 125, 8, 512, true, 0},
        {1000, 200, 8, 512, false, 0},   // before the device's start
        {1000, 5, 0, 512, false, 0},
        {12, 4, 2, 4096, true, 4},       // with 4096-byte sectors the boot area is one sector
        {~0ull, ~0ull, 128, 512, false, 0},
    };
    for (const RecordCase& t : cases) {
        SCOPED_TRACE(t.record);
        const NTFSCandidatePtr c =
            CreateNTFSPartitionFromRecord(t.record, t.cluster, t.spc, ntfsev::kIndexRecord, {4000, t.sectorSize});
        ASSERT_EQ(c != nullptr, t.made);
        if (!c) continue;
        EXPECT_EQ(c->GetPartitionStart(), t.start);
        EXPECT_EQ(c->GetTotalSectors() % t.spc, 0u);
        EXPECT_LE(c->GetPartitionStart() + c->GetTotalSectors(), 4000u);
    }
    EXPECT_EQ(CreateNTFSPartitionsForAllClusterSizes(4000, 10, ntfsev::kMftRecord, {100000, 512}).size(), 8u);
    EXPECT_EQ(CreateNTFSPartitionsForAllClusterSizes(100, 10, ntfsev::kMftRecord, {100000, 512}).size(), 4u);  // 1 to 8
}

TEST(NtfsDeepSearch, TheScoreCountsEvidenceBitsAndFullTemplateCounts) {
    struct Case {
        u32 evidence;
        u64 upCase, logPages, attrDef;
        u64 score;
    };
    const Case cases[] = {
        {0x01 | 0x02 | 0x04 | 0x40 | 0x80, 256, 10000, 5, 100},
        {0x01 | 0x02 | 0x04 | 0x40 | 0x80, 255, 9999, 4, 70},
        {0x20, 0, 0, 0, 0},
        {0x08 | 0x10, kNtfsUnknown, kNtfsUnknown, kNtfsUnknown, 20},
        {0xFF, 512, 20000, 10, 120},
    };
    for (const Case& t : cases) {
        CSearchedNTFSPartitionInfo c(512);
        c.SetEvidence(t.evidence);
        c.SetUpCaseMatches(t.upCase);
        c.SetLogPageMatches(t.logPages);
        c.SetAttrDefMatches(t.attrDef);
        EXPECT_EQ(c.ComputeScore(), t.score) << std::hex << t.evidence;
    }
}

TEST(NtfsDeepSearch, SameKeyCandidatesMergeAndLeaveWithoutEvidence) {
    CNTFSCandidateSet set;
    auto make = [](u64 start, u32 spc, u32 evidence) {
        auto c = std::make_unique<CSearchedNTFSPartitionInfo>(512);
        c->SetPartitionStart(start);
        c->SetSectorsPerCluster(spc);
        c->SetEvidence(evidence);
        return c;
    };
    CSearchedNTFSPartitionInfo* first = set.Insert(make(100, 8, ntfsev::kMftRecord));
    CSearchedNTFSPartitionInfo* second = set.Insert(make(100, 8, ntfsev::kIndexRecord));
    set.Insert(make(50, 8, ntfsev::kBootSector));
    set.Insert(make(100, 4, ntfsev::kBootSector));
    // Ordered by start, then cluster size; equal keys in insertion order.
    std::vector<const CSearchedNTFSPartitionInfo*> order;
    set.ForEach([&order](const CSearchedNTFSPartitionInfo& c) { order.push_back(&c); });
    ASSERT_EQ(order.size(), 4u);
    EXPECT_EQ(order[0]->GetPartitionStart(), 50u);
    EXPECT_EQ(order[1]->GetSectorsPerCluster(), 4u);
    EXPECT_EQ(order[2], first);
    EXPECT_EQ(order[3], second);

    EXPECT_TRUE(set.ConfirmIndex(*make(100, 8, 0)));
    EXPECT_EQ(first->GetIndexConfirmations(), 1u);
    EXPECT_EQ(second->GetEvidence(), ntfsev::kIndexRecord);
    // Clearing the only bit a candidate has takes it out of the set.
    EXPECT_TRUE(set.MergeEvidence(*make(100, 8, 0), 0, ntfsev::kIndexRecord));
    EXPECT_EQ(set.Size(), 3u);
    EXPECT_EQ(first->GetEvidence(), ntfsev::kMftRecord);
    EXPECT_FALSE(set.MergeEvidence(*make(7, 8, 0), ntfsev::kBootSector, 0));
    set.MergeOrInsert(make(7, 8, ntfsev::kRestartPage), ntfsev::kRestartPage);
    EXPECT_EQ(set.Size(), 4u);
}

TEST(NtfsDeepSearch, ACandidateSavesAndLoadsEveryField) {
    CSearchedNTFSPartitionInfo c(4096);
    c.SetPartitionStart(2048);
    c.SetSectorsPerCluster(8);
    c.SetTotalSectors(49151);
    c.SetSerial(0x1122334455667788ull);
    c.SetEvidence(0x3F);
    c.SetMftNumbering(0x0000000200000001ull);
    c.SetClusterCount(6143);
    c.SetLogPageMatches(7);
    c.SetAttrDefMatches(5);
    c.SetUpCaseMatches(256);
    c.SetMftSector(2080);
    c.SetLogFileRecordSector(2084);
    c.SetAttrDefRecordSector(2088);
    c.SetUpCaseRecordSector(2100);
    c.SetBitmapSectors(49152);
    testutil::MemoryStream stream;
    c.Save(&stream);
    EXPECT_EQ(stream.bytes.size(), CSearchedPartitionInfo::kSavedSize + 8 + 4 + 4 + 8 + 9 * 8);
    CSearchedNTFSPartitionInfo loaded(512);
    loaded.Load(&stream);
    EXPECT_EQ(loaded.GetPartitionStart(), 2048u);
    EXPECT_EQ(loaded.GetSectorSize(), 4096u);
    EXPECT_EQ(loaded.GetSerial(), c.GetSerial());
    EXPECT_EQ(loaded.GetEvidence(), 0x3Fu);
    EXPECT_EQ(loaded.GetMftNumbering(), c.GetMftNumbering());
    EXPECT_EQ(loaded.GetBitmapSectors(), 49152u);
    EXPECT_EQ(loaded.GetUpCaseRecordSector(), 2100u);
    EXPECT_EQ(loaded.GetSearchController(), nullptr);
}

// Volumes with clusters of 128 KiB and 2 MiB, their primary boot sector wiped: the backup and
// the $MFT records place them with their large clusters.
TEST(NtfsDeepSearch, FindsVolumesWithLargeClusters) {
    const std::string missing = testutil::MissingTools({"mkntfs"});
    if (!missing.empty()) GTEST_SKIP() << "needs the package ntfs-3g; missing: " << missing;
    for (u32 clusterBytes : {131072u, 2097152u}) {
        SCOPED_TRACE(clusterBytes);
        testutil::TempDir dir;
        const std::string image = dir.File("ntfs.img");
        const u64 imageBytes = std::max<u64>(64ull << 20, u64(clusterBytes) * 96);
        ASSERT_TRUE(testutil::RunQuiet("truncate -s " + std::to_string(imageBytes) + " " + image));
        ASSERT_TRUE(testutil::RunQuiet("mkntfs -F -Q -q -c " + std::to_string(clusterBytes) + " " + image));
        ASSERT_TRUE(testutil::RunQuiet("dd if=/dev/zero of=" + image + " bs=512 count=16 conv=notrunc"));
        ImageDevice device(image, 512);
        ASSERT_TRUE(device.IsOpen());
        CNTFSSearchController search;
        RunPlain(search, device, nullptr, 8192);
        const CSearchedNTFSPartitionInfo* best = ntfstest::BestCandidate(search);
        ASSERT_NE(best, nullptr);
        EXPECT_EQ(best->GetPartitionStart(), 0u);
        EXPECT_EQ(best->GetSectorsPerCluster(), clusterBytes / 512);
        EXPECT_EQ(best->GetTotalSectors(), imageBytes / 512 - 1);
        EXPECT_NE(best->GetEvidence() & ntfsev::kBackupBootSector, 0u);
        EXPECT_NE(best->GetMftSector(), kNtfsUnknown);
    }
}

// A volume quick-formatted over another of smaller clusters, the older one's $MFT overwritten
// where the newer one put its own (or left at its larger clusters' place), and its mirror left:
// the mirror places the older volume.
TEST(NtfsDeepSearch, TheMirrorOfAVolumeFormattedOverPlacesIt) {
    const std::string missing = testutil::MissingTools({"mkntfs"});
    if (!missing.empty()) GTEST_SKIP() << "needs the package ntfs-3g; missing: " << missing;
    // The newer volume as large as the older, or smaller: the older's backup boot sector, at
    // its own end, is then left.
    struct Case {
        u32 older, newer;
        const char* newerSectors;
    };
    for (const auto& [older, newer, newerSectors] :
         {Case{8192u, 4096u, ""}, {16384u, 1024u, ""}, {65536u, 4096u, ""}, {2048u, 1024u, " 24000"}}) {
        SCOPED_TRACE(std::to_string(older) + " then " + std::to_string(newer) + newerSectors);
        testutil::TempDir dir;
        const std::string image = dir.File("ntfs.img");
        ASSERT_TRUE(testutil::RunQuiet("truncate -s 16M " + image));
        ASSERT_TRUE(testutil::RunQuiet("mkntfs -F -q -c " + std::to_string(older) + " " + image));
        ASSERT_TRUE(testutil::RunQuiet("mkntfs -F -Q -q -c " + std::to_string(newer) + " " + image + newerSectors));
        ImageDevice device(image, 512);
        CNTFSSearchController search;
        RunPlain(search, device, nullptr, 8192);
        u32 olderEvidence = 0, newerEvidence = 0;
        search.GetCandidates().ForEach([&](const CSearchedNTFSPartitionInfo& c) {
            if (c.GetPartitionStart() != 0) return;
            if (c.GetSectorsPerCluster() == older / 512) olderEvidence |= c.GetEvidence();
            if (c.GetSectorsPerCluster() == newer / 512) newerEvidence |= c.GetEvidence();
        });
        EXPECT_NE(olderEvidence & (ntfsev::kMirrorRun | ntfsev::kMirrorAfterMft), 0u) << std::hex << olderEvidence;
        EXPECT_NE(newerEvidence & ntfsev::kBootSector, 0u) << std::hex << newerEvidence;
        const CSearchedNTFSPartitionInfo* best = ntfstest::BestCandidate(search);
        ASSERT_NE(best, nullptr);
        EXPECT_EQ(best->GetSectorsPerCluster(), newer / 512);
        // The older volume stands inside the newer one's tree: offered as a partition of its
        // own too, each of its files would be written twice.
        std::vector<CSearchedPartitionInfo*> offered;
        search.GetSearchedPartitions(offered);
        for (CSearchedPartitionInfo* c : offered) {
            EXPECT_FALSE(c->GetPartitionStart() == 0 && c->GetSectorsPerCluster() == older / 512);
        }
    }
}

}  // namespace
