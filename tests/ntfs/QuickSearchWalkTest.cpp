// How the quick search walks the $MFT: batches, stopping, refusals, and the records a batch cuts.
#include <gtest/gtest.h>

#include "QuickSearchTestSupport.h"
#include "TestUtil.h"

using namespace quicktest;
using testutil::RecordedNode;

namespace {

std::unique_ptr<QuickRun> ScanBasic(const std::function<void(QuickRun&)>& prepare) {
    auto run = std::make_unique<QuickRun>();
    prepare(*run);
    testutil::ImageDevice device(testutil::FixturePath("ntfs-basic.img"), 512);
    CNTFSQuickSearch search;
    search.SetDirectoryTreeBuilder(&run->builder);
    run->result = search.Search(&device, &run->progress);
    return run;
}

TEST(QuickSearchWalk, MissingDeviceOrProgressAndRefusedRoot) {
    testutil::RecordingBuilder builder;
    CountingProgress progress;
    CNTFSQuickSearch search;
    search.SetDirectoryTreeBuilder(&builder);
    testutil::ImageDevice device(testutil::FixturePath("ntfs-basic.img"), 512);
    EXPECT_EQ(search.Search(nullptr, &progress), kNtfsQuickNoDeviceOrProgress);
    EXPECT_EQ(search.Search(&device, nullptr), kNtfsQuickNoDeviceOrProgress);

    std::unique_ptr<QuickRun> run = ScanBasic([](QuickRun& r) { r.builder.refuseRoots = true; });
    EXPECT_EQ(run->result, kNtfsQuickRootRefused);
    EXPECT_TRUE(run->builder.nodes.empty());

    // The search's partition record: the whole device as an NTFS volume.
    std::vector<CSearchedPartitionInfo*> partitions;
    CNTFSQuickSearch scanned;
    testutil::RecordingBuilder b2;
    scanned.SetDirectoryTreeBuilder(&b2);
    ASSERT_EQ(scanned.Search(&device, &progress), 0u);
    scanned.GetSearchedPartitions(partitions);
    ASSERT_EQ(partitions.size(), 1u);
    EXPECT_EQ(partitions[0]->GetFileSystemCode(), 3u);
    EXPECT_EQ(partitions[0]->GetSectorsPerCluster(), 8u);
    EXPECT_EQ(partitions[0]->GetTotalSectors(), device.GetTotalSectors() - 1);
}

TEST(QuickSearchWalk, StoppingEndsTheWalkAfterTheCurrentPiece) {
    std::unique_ptr<QuickRun> full = ScanBasic([](QuickRun&) {});
    ASSERT_EQ(full->result, 0u);
    // The volume's $MFT is one run of 312 sectors: pieces of 128, 128 and 56 sectors. The third
    // question stops the walk, so only the records of the first two batches (0 to 127) come.
    std::unique_ptr<QuickRun> stopped = ScanBasic([](QuickRun& r) { r.progress.stopAtCall = 3; });
    EXPECT_EQ(stopped->result, 0u);
    EXPECT_FALSE(stopped->builder.nodes.empty());
    EXPECT_LT(stopped->builder.nodes.size(), full->builder.nodes.size());
    for (const RecordedNode& n : stopped->builder.nodes) EXPECT_LT(n.id, 128u) << n.name;
    const ProgressInfo& last = stopped->progress.reports.back();
    EXPECT_EQ(last.Done, last.Total);
}

TEST(QuickSearchWalk, RefusedNodeSkipsTheRestOfItsBatchOnly) {
    std::unique_ptr<QuickRun> full = ScanBasic([](QuickRun&) {});
    long firstOfSecond = -1, firstOfThird = -1;
    for (size_t i = 0; i < full->builder.nodes.size(); ++i) {
        const u64 id = full->builder.nodes[i].id;
        if (firstOfSecond < 0 && id >= 64 && id < 128) firstOfSecond = long(i);
        if (firstOfThird < 0 && id >= 128 && id < 1000) firstOfThird = long(i);
    }
    ASSERT_GE(firstOfSecond, 0);
    ASSERT_GT(firstOfThird, firstOfSecond + 1);

    std::unique_ptr<QuickRun> run = ScanBasic([&](QuickRun& r) { r.builder.refuseNodeAt = firstOfSecond; });
    EXPECT_EQ(run->result, 0u);  // the last batch went well
    size_t thirdBatch = 0;
    for (const RecordedNode& n : run->builder.nodes) {
        EXPECT_FALSE(n.id >= 64 && n.id < 128) << n.name;
        if (n.id >= 128) ++thirdBatch;
    }
    EXPECT_EQ(thirdBatch, full->builder.nodes.size() - size_t(firstOfThird));

    // A refusal in the last batch is the walk's answer.
    run = ScanBasic([&](QuickRun& r) {
        r.builder.refuseNodeAt = firstOfThird;
        r.builder.refuseError = 0x13;
    });
    EXPECT_EQ(run->result, 0x13u);
    EXPECT_EQ(run->builder.nodes.size(), size_t(firstOfThird));
}

std::vector<u8> FileRecord(u32 number, const std::u16string& name, u32 attributes) {
    ntfstest::RecordBuilder r;
    r.Number(number).InUse(false);
    r.StandardInformation(0x01D5000000000000ull, attributes);
    r.FileName(5, name, 1, 100);
    r.Resident(0x80, std::vector<u8>(100, 'x'));
    return r.Build();
}

TEST(QuickSearchWalk, PartialBatchCutsItsLastRecord) {
    MemoryDevice device(512, 4096);
    testutil::RecordingBuilder builder;
    CNTFSQuickSearch search;
    search.SetDirectoryTreeBuilder(&builder);
    search.SetGeometry(&device, 8, 512);

    // Five sectors of 1024-byte records: two whole ones and the first half of a third.
    std::vector<u8> batch;
    for (const auto& r : {FileRecord(0, u"a.txt", 0x20), FileRecord(1, u"link", 0x400),
                          FileRecord(2, u"c.txt", 0x20)}) {
        batch.insert(batch.end(), r.begin(), r.end());
    }
    batch.resize(5 * 512);
    const u64 mftSectors[5] = {40, 41, 42, 43, 44};
    const u64 deviceSectors[5] = {1000, 1001, 1002, 1003, 1004};
    EXPECT_EQ(search.AnalyzeRecordBatch(batch.data(), 5, 2, mftSectors, deviceSectors), 0u);
    ASSERT_EQ(builder.nodes.size(), 2u);
    // Numbers come from the place in the $MFT, not from the header.
    EXPECT_EQ(builder.nodes[0].id, 20u);
    EXPECT_EQ(builder.nodes[0].name, "a.txt");
    EXPECT_EQ(builder.nodes[0].parentId, 5u);
    EXPECT_TRUE(builder.nodes[0].IsDeleted());
    EXPECT_EQ(builder.nodes[0].size, 100u);
    // A reparse point gets an id no file names as its parent.
    EXPECT_EQ(builder.nodes[1].id, u64(-10));
    EXPECT_EQ(builder.nodes[1].name, "link");
}

}  // namespace
