// Mapping pairs, run lookups and record placement.
#include <gtest/gtest.h>

#include "NtfsTestSupport.h"
#include "TestUtil.h"
#include "fs/ntfs/NTFSDBR.h"
#include "fs/ntfs/NTFSRunList.h"

using namespace ntfstest;

namespace {
NTFSRunList Decode(std::vector<u8> pairs) {
    NTFSRunList list;
    DecodeNTFSDataRuns(pairs.data(), u32(pairs.size()), list);
    return list;
}

TEST(NtfsMappingPairs, DecodesSignedOffsetsAndHoles) {
    NTFSRunList one = Decode({0x21, 0x18, 0x34, 0x56, 0x00});
    ASSERT_EQ(one.size(), 1u);
    EXPECT_EQ(one[0], (NTFSRun{0x5634, 0, 0x18}));

    NTFSRunList back = Decode({0x41, 0x01, 0x00, 0x00, 0x90, 0x00, 0x31, 0x01, 0x00, 0x00, 0x80, 0x00});
    ASSERT_EQ(back.size(), 2u);
    EXPECT_EQ(back[1].lcn, 0x900000u - 0x800000u);
    NTFSRunList fwd = Decode({0x31, 0x01, 0x00, 0x00, 0x10, 0x31, 0x01, 0xFF, 0xFF, 0x7F, 0x00});
    EXPECT_EQ(fwd[1].lcn, 0x100000u + 0x7FFFFFu);

    NTFSRunList sparse = Decode({0x11, 0x04, 0x20, 0x01, 0x08, 0x11, 0x02, 0x01, 0x00});
    ASSERT_EQ(sparse.size(), 3u);
    EXPECT_EQ(sparse[1], (NTFSRun{kSparseLCN, 4, 8}));
    EXPECT_EQ(sparse[2].lcn, 0x21u);  // the hole left the running LCN alone
    EXPECT_EQ(sparse[2].vcn, 12u);
    EXPECT_EQ(TotalRunClusters(sparse), 14u);

    // Fields that run past the bytes end the decoding instead of being read.
    EXPECT_TRUE(Decode({0x44, 0x01, 0x02}).empty());
    EXPECT_TRUE(Decode({0x9F, 0x01}).empty());
}

TEST(NtfsMappingPairs, ValidationRefusesWideFieldsAndMissingEnd) {
    const std::vector<u8> good = {0x21, 0x18, 0x34, 0x56, 0x00};
    EXPECT_TRUE(ValidateMappingPairs(good.data(), 5));
    EXPECT_FALSE(ValidateMappingPairs(good.data(), 4));  // the run ends exactly at the end
    const std::vector<u8> wide = {0x51, 0x01, 1, 2, 3, 4, 5, 0x00};
    EXPECT_FALSE(ValidateMappingPairs(wide.data(), u32(wide.size())));
    EXPECT_FALSE(ValidateMappingPairs(good.data(), 0));
    NTFSRunList list = {{1, 2, 3}};
    EXPECT_FALSE(DecodeRunsChecked(list, wide.data(), u32(wide.size())));
    EXPECT_TRUE(list.empty());
    EXPECT_TRUE(DecodeRunsAtVCN(list, good.data(), 5, 100));
    EXPECT_EQ(list[0].vcn, 100u);
    EXPECT_EQ(SumMappingPairsLengths(good.data(), 5), 0x18u);
}

TEST(NtfsRunLookups, LookupsSortingAndClipping) {
    NTFSRunList list = {{100, 10, 5}, {kSparseLCN, 15, 5}, {50, 0, 10}};
    SortRunsByVCN(list);
    EXPECT_EQ(list[0].vcn, 0u);
    EXPECT_EQ(LookupLCN(list, 3), 53u);
    EXPECT_EQ(LookupLCN(list, 12), 102u);
    EXPECT_EQ(LookupLCN(list, 16), kSparseLCN);
    EXPECT_EQ(LookupLCN(list, 20), kSparseLCN);  // one past the last run
    EXPECT_EQ(LookupVCN(list, 104), 14u);
    EXPECT_EQ(LookupVCN(list, 70), kSparseLCN);
    EXPECT_TRUE(ContainsLCN(list, 59));
    EXPECT_FALSE(ContainsLCN(NTFSRunList{}, 0));

    NTFSRunList copy;
    CopyRunList(list, copy);
    EXPECT_TRUE(RunListsEqual(list, copy));

    NTFSRunList clip = {{90, 0, 20}, {500, 20, u64(1) << 60}, {10, 0, 5}};
    EXPECT_TRUE(ClipRunsToVolume(clip, 100));
    EXPECT_EQ(clip[0].count, 10u);
    EXPECT_EQ(clip[1].lcn, kSparseLCN);
    EXPECT_EQ(clip[1].count, 100u);
    EXPECT_EQ(clip[2].count, 5u);
    EXPECT_FALSE(ClipRunsToVolume(clip, 0));
}

TEST(NtfsRunLookups, RecordSectors) {
    const NTFSRunList mft = {{4, 0, 64}};
    EXPECT_EQ(ComputeRecordSector(3, 8, 2048, mft, 2), 2048u + 32u + 6u);
    EXPECT_EQ(ComputeRecordSector(1000, 8, 2048, mft, 2), kSparseLCN);
    EXPECT_EQ(ComputeRecordSector(3, 0, 2048, mft, 2), kSparseLCN);
}

TEST(NtfsRunCollection, CheckedCollectionComparesRunsWithVcnRange) {
    RecordBuilder b;
    b.FileName(5, u"x.bin");
    b.NonResident(0x80, {0x11, 0x04, 0x20, 0x00}, 0, 4, 5 * 4096, 20000, 20000);  // 4 clusters for 5 VCNs
    std::vector<u8> r = b.Build();
    NTFSRunList list;
    u64 size = 0;
    EXPECT_FALSE(CollectUnnamedDataRunsRaw(r.data(), 1024, list, true, &size));
    list.clear();
    EXPECT_TRUE(CollectUnnamedDataRunsRaw(r.data(), 1024, list, false, &size));
    EXPECT_EQ(size, 20000u);
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0], (NTFSRun{0x20, 0, 4}));
}

TEST(NtfsRunCollection, AttributeDataThroughRunsStaysInsideTheBuffer) {
    ImageDevice device(testutil::FixturePath("ntfs-basic.img"), 512);
    std::vector<u8> buffer(3 * 4096, 0xCC);
    // 1 cluster at LCN 0 (the boot sector), a hole, then a run that no longer fits.
    const std::vector<u8> pairs = {0x11, 0x01, 0x00, 0x01, 0x01, 0x11, 0x02, 0x01, 0x00};
    EXPECT_TRUE(ReadNonResidentAttributeData(pairs.data(), u32(pairs.size()), buffer.data(), buffer.size(), 0, 8, &device));
    EXPECT_TRUE(IsNTFSOemID(buffer.data()));
    EXPECT_EQ(buffer[4096], 0);
    EXPECT_EQ(buffer[8192], 0xCC);  // untouched: the third run would pass the capacity
}
}  // namespace
