// Every file of the NTFS fixtures, listed from its MFT record and read through its runs.
#include <gtest/gtest.h>

#include "NtfsTestSupport.h"
#include "TestUtil.h"
#include "engine/DataRunList.h"

using namespace ntfstest;

namespace {
struct FixtureCase {
    const char* image;
    const char* manifest;
    u32 sectorSize;
    int partition;
    u64 start;  // in device sectors
};

class NtfsFixture : public ::testing::TestWithParam<FixtureCase> {};

TEST_P(NtfsFixture, EveryLiveAndRecoverableFileMatchesManifest) {
    const FixtureCase& c = GetParam();
    ImageDevice device(testutil::FixturePath(c.image), c.sectorSize);
    ASSERT_TRUE(device.IsOpen());
    std::unique_ptr<VolumeListing> volume = ListVolume(device, c.start);
    ASSERT_TRUE(volume->opened);
    EXPECT_EQ(volume->recordsSkipped, 0u);

    const std::vector<ManifestFile> manifest = LoadManifest(c.manifest, c.partition);
    ASSERT_FALSE(manifest.empty());
    int checked = 0;
    for (const ManifestFile& m : manifest) {
        const bool expectListed = m.live || (m.metadataPresent && m.intact);
        if (!expectListed) continue;
        SCOPED_TRACE(m.path);
        // A deleted file's folder record may since have been reused by another file, so its path
        // no longer resolves: such files are matched by name among the deleted entries.
        const WalkedFile* f = m.live ? volume->Find(m.path, false) : volume->FindDeletedByName(m.path);
        ASSERT_NE(f, nullptr);
        ++checked;
        EXPECT_EQ(f->properties->GetSize(), m.size);
        FILETIME64 mtime = 0;
        f->properties->GetModificationTime(mtime);
        EXPECT_EQ(FileTimeToIsoUtc(mtime), m.mtime);
        std::unique_ptr<IDataRunList> list(f->properties->CreateDataRunList());
        ASSERT_TRUE(list != nullptr);
        EXPECT_EQ(list->IsResident(), m.resident);
        if (m.compressed) {
            EXPECT_NE(f->properties->GetAttributes() & kAttrCompressed, 0);
            EXPECT_EQ(AllocatedRanges(*volume, *f), testutil::MergeRanges(m.runs));
            continue;
        }
        if (m.resident) {
            // The value sits inside the record the manifest names.
            EXPECT_EQ(f->sector * c.sectorSize, m.mftRecordOffset);
        } else {
            EXPECT_EQ(AllocatedRanges(*volume, *f, m.size), testutil::MergeRanges(m.runs));
        }
        std::vector<u8> data;
        ASSERT_TRUE(ReadFileData(device, *volume, *f, data));
        EXPECT_EQ(testutil::Sha256Hex(data.data(), data.size()), m.sha256);
    }
    EXPECT_GT(checked, 10);
}

INSTANTIATE_TEST_SUITE_P(
    Images, NtfsFixture,
    ::testing::Values(FixtureCase{"ntfs-basic.img", "ntfs-basic.json", 512, 1, 0},
                      FixtureCase{"sector4k.img", "sector4k.json", 4096, 1, 0},
                      FixtureCase{"mbr-disk.img", "mbr-disk.json", 512, 5, 77824},
                      FixtureCase{"gpt-disk.img", "gpt-disk.json", 512, 1, 2048}),
    [](const ::testing::TestParamInfo<FixtureCase>& info) { return testutil::FixtureTestName(info.param.image); });
}  // namespace
