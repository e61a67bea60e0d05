// Faults the fuzzing of the NTFS road found, each rebuilt as a described damage of a fixture copy
// and run through the same road (search, tree builder, writer).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>

#include "TestUtil.h"
#include "bench/fuzz/NtfsFuzzRoad.h"

namespace {

std::vector<u8> LoadImage(const char* name) {
    std::ifstream in(testutil::FixturePath(name), std::ios::binary | std::ios::ate);
    std::vector<u8> bytes(in ? size_t(in.tellg()) : 0);
    in.seekg(0);
    in.read(reinterpret_cast<char*>(bytes.data()), std::streamsize(bytes.size()));
    return in ? bytes : std::vector<u8>{};
}

u32 RecordNumber(const std::vector<u8>& image, const ntfsfuzz::RecordSpot& spot) {
    return ReadLE32(image.data() + spot.offset + 0x2C);
}

const ntfsfuzz::AttributeSpot* FindAttribute(const ntfsfuzz::RecordSpot& spot, u32 type) {
    for (const ntfsfuzz::AttributeSpot& a : spot.attributes) {
        if (a.type == type) return &a;
    }
    return nullptr;
}

// The largest total of sectors the walk announced.
struct TotalProgress : ntfsfuzz::QuietProgress {
    i32 OnProgress(const ProgressInfo* info) override {
        if (info != nullptr) total = std::max<u64>(total, info->Total);
        return 1;
    }
    u64 total = 0;
};

// Every user file record of the volume gets the edit.
template <typename F>
void EditUserFiles(std::vector<u8>& image, const ntfsfuzz::ImageMap& map, F&& edit) {
    for (const ntfsfuzz::RecordSpot& spot : map.records) {
        if (RecordNumber(image, spot) < 16 || FindAttribute(spot, 0x80) == nullptr) continue;
        ntfsfuzz::EditRecord(image, spot, [&](u8* r, size_t) { edit(r, spot); });
    }
}

// Times just beyond the signed 64-bit range (a damaged $STANDARD_INFORMATION) overflowed when the
// writer set them on the recovered file.
TEST(NtfsFuzzRegression, TimesBeyondTheSignedRangeAreSetWithoutOverflow) {
    std::vector<u8> image = LoadImage("ntfs-basic.img");
    ASSERT_FALSE(image.empty());
    const ntfsfuzz::ImageMap map = ntfsfuzz::MapImage(image, 512);
    EditUserFiles(image, map, [](u8* r, const ntfsfuzz::RecordSpot& spot) {
        for (u32 type : {0x10u, 0x30u}) {
            const ntfsfuzz::AttributeSpot* a = FindAttribute(spot, type);
            if (a == nullptr || a->value.length < 32) continue;
            // Creation, modification and access times (the change time lies between them).
            for (u32 field = 0; field < 4; ++field) {
                ntfsfuzz::PutLE(r + a->value.offset + (type == 0x30 ? 8 : 0) + 8 * field, 0x8000000000000000ull + field, 8);
            }
        }
    });
    ntfsfuzz::BufferDevice device(image, 512);
    testutil::TempDir scratch;
    const ntfsfuzz::RoadResult r = ntfsfuzz::RunRoad(&device, scratch.Path() + "/out");
    EXPECT_EQ(r.searchResult, 0u);
    EXPECT_GT(r.filesWritten, 40u);
}

// A boot sector that claims a volume far larger than the device, and an $MFT whose one run
// claims 2^28 clusters: the walk went through every sector of that run, reading nothing, for as
// long as it took to count to two thousand million.
TEST(NtfsFuzzRegression, MFTRunsBeyondTheDeviceAreNotWalked) {
    std::vector<u8> image = LoadImage("ntfs-basic.img");
    ASSERT_FALSE(image.empty());
    const ntfsfuzz::ImageMap map = ntfsfuzz::MapImage(image, 512);
    ASSERT_FALSE(map.records.empty());
    const ntfsfuzz::RecordSpot& mft = map.records[0];
    ASSERT_EQ(RecordNumber(image, mft), 0u);
    const ntfsfuzz::AttributeSpot* data = FindAttribute(mft, 0x80);
    ASSERT_NE(data, nullptr);
    ASSERT_GE(data->runs.length, 8u);
    const u64 mftCluster = ReadLE64(image.data() + 0x30);
    ASSERT_LT(mftCluster, 0x80u);
    ntfsfuzz::PutLE(image.data() + 0x28, 1ull << 40, 8);
    ntfsfuzz::EditRecord(image, mft, [&](u8* r, size_t) {
        const u8 runs[] = {0x14, 0x00, 0x00, 0x00, 0x10, u8(mftCluster), 0x00};
        std::memcpy(r + data->runs.offset, runs, sizeof(runs));
    });

    ntfsfuzz::BufferDevice device(image, 512);
    TotalProgress progress;
    ntfsfuzz::CollectingBuilder builder(0);
    CNTFSQuickSearch search;
    search.SetDirectoryTreeBuilder(&builder);
    EXPECT_EQ(search.Search(&device, &progress), 0u);
    // The walk covers no more sectors than the device has, and finds the records it holds.
    EXPECT_GT(progress.total, 0u);
    EXPECT_LE(progress.total, device.GetTotalSectors());
    EXPECT_GT(builder.found, 50u);
}

}  // namespace
