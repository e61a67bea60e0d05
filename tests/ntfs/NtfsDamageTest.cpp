// Damaged copies of a fixture: a bad record is skipped, the rest of the volume still lists, and
// nothing crashes, hangs or reads out of bounds.
#include <gtest/gtest.h>

#include <random>

#include "NtfsTestSupport.h"
#include "TestUtil.h"
#include "fs/ntfs/NTFSDBR.h"

using namespace ntfstest;

namespace {
constexpr u64 kMftOffset = 4 * 4096;  // ntfs-basic: $MFT at cluster 4, 1024-byte records

void Patch(const std::string& path, u64 offset, const std::vector<u8>& bytes) {
    std::vector<u8> image = testutil::ReadFileBytes(path);
    ASSERT_LE(offset + bytes.size(), image.size());
    std::copy(bytes.begin(), bytes.end(), image.begin() + long(offset));
    ASSERT_TRUE(testutil::WriteFileBytes(path, image));
}

size_t LiveFilesListed(const VolumeListing& v, const std::vector<ManifestFile>& manifest) {
    size_t n = 0;
    for (const ManifestFile& m : manifest) {
        if (m.live && v.Find(m.path, false) != nullptr) ++n;
    }
    return n;
}

const ManifestFile& ByPath(const std::vector<ManifestFile>& manifest, const std::string& path) {
    for (const ManifestFile& m : manifest) {
        if (m.path == path) return m;
    }
    ADD_FAILURE() << path;
    return manifest.front();
}

class NtfsDamage : public ::testing::Test {
protected:
    void SetUp() override {
        manifest = LoadManifest("ntfs-basic.json", 1);
        image = testutil::CopyFixture(dir, "ntfs-basic.img");
        live = 0;
        for (const ManifestFile& m : manifest) live += m.live ? 1 : 0;
    }
    std::unique_ptr<VolumeListing> List() {
        device = std::make_unique<ImageDevice>(image, 512);
        return ListVolume(*device, 0);
    }
    testutil::TempDir dir;
    std::string image;
    std::vector<ManifestFile> manifest;
    size_t live = 0;
    std::unique_ptr<ImageDevice> device;
};

TEST_F(NtfsDamage, RecordsWithBrokenFixupsOrAttributeLengthsAreSkipped) {
    const ManifestFile& torn = ByPath(manifest, "/Documents/note-05 station.txt");
    const ManifestFile& longAttr = ByPath(manifest, "/Music/FILE1990.MID");
    ASSERT_TRUE(torn.resident && longAttr.resident);
    Patch(image, torn.mftRecordOffset + 1022, {0x5A, 0xA5});  // second stride's end
    // First attribute of the record claims 8 KiB.
    std::vector<u8> header = testutil::ReadFileBytes(image);
    const u16 first = ReadLE16(header.data() + longAttr.mftRecordOffset + 20);
    Patch(image, longAttr.mftRecordOffset + first + 4, {0x00, 0x20, 0x00, 0x00});

    std::unique_ptr<VolumeListing> v = List();
    ASSERT_TRUE(v->opened);
    EXPECT_GE(v->recordsSkipped, 2u);
    EXPECT_EQ(v->Find(torn.path, false), nullptr);
    EXPECT_EQ(v->Find(longAttr.path, false), nullptr);
    EXPECT_EQ(LiveFilesListed(*v, manifest), live - 2);
}

TEST_F(NtfsDamage, RunsBeyondTheVolumeAreClipped) {
    std::unique_ptr<VolumeListing> clean = List();
    const WalkedFile* f = clean->Find("/Documents/KITCH67.TXT", false);
    ASSERT_NE(f, nullptr);
    const u64 recordOffset = f->sector * 512;
    std::vector<u8> bytes = testutil::ReadFileBytes(image);
    std::vector<u8> record(bytes.begin() + long(recordOffset), bytes.begin() + long(recordOffset) + 1024);
    ASSERT_TRUE(ApplyFileRecordFixups(record.data(), 1024));
    const i32 data = FindRecordAttributeOffset(record.data(), 1024, 0x80, 0);
    ASSERT_GT(data, 0);
    const u32 pairs = u32(data) + AttrMappingPairsOffset(record.data() + data);
    const u8 h = record[pairs];
    const u32 top = pairs + (h & 0x0F) + (h >> 4);  // highest byte of the first run's LCN field
    ASSERT_NE(top % 512, 510u);
    ASSERT_NE(top % 512, 511u);
    Patch(image, recordOffset + top, {0x7F});

    std::unique_ptr<VolumeListing> v = List();
    const WalkedFile* damaged = v->Find("/Documents/KITCH67.TXT", false);
    ASSERT_NE(damaged, nullptr);
    for (const auto& range : AllocatedRanges(*v, *damaged)) {
        EXPECT_LE(range.first + range.second, v->volumeClusters * v->bytesPerCluster);
    }
    // What the run names outside the volume is nothing the file can be read from.
    std::vector<u8> out;
    EXPECT_FALSE(ReadFileData(*device, *v, *damaged, out));
    EXPECT_EQ(LiveFilesListed(*v, manifest), live);
}

TEST_F(NtfsDamage, AbsurdBootSectorsRefuseTheVolume) {
    const std::vector<u8> original = testutil::ReadFileBytes(image);
    struct Case {
        u64 offset;
        std::vector<u8> bytes;
    };
    for (const Case& c : {Case{64, {0x02}},         // 2 clusters of 4 KiB: 8 KiB records
                          Case{64, {0x80}},         // 2^128 bytes
                          Case{64, {0xF7}},         // 512-byte records
                          Case{64, {0x7F}},         // 127 clusters
                          Case{13, {0x03}},         // 3 sectors per cluster
                          Case{11, {0x00, 0x00}}}) {  // 0 bytes per sector
        ASSERT_TRUE(testutil::WriteFileBytes(image, original));
        Patch(image, c.offset, c.bytes);
        std::unique_ptr<VolumeListing> v = List();
        EXPECT_FALSE(v->opened) << c.offset;
        std::vector<u8> boot(512);
        ASSERT_TRUE(device->Read(boot.data(), 0, 1));
        CNTFSDBR dbr;
        if (dbr.SetDBRData(boot.data())) {
            char label[81];
            CNTFSVolumeReader reader(device.get());
            EXPECT_FALSE(reader.GetVolumeLabel(0, dbr, label, sizeof(label)));
            EXPECT_STREQ(label, "");
        }
    }
}

TEST_F(NtfsDamage, RandomlyCorruptedRecordsNeverCrash) {
    std::vector<u8> bytes = testutil::ReadFileBytes(image);
    std::mt19937 random(20240601);
    // Leave record 0 ($MFT) alone so that the walk reaches the damaged records.
    for (u64 record = 1; record < 144; ++record) {
        const u64 base = kMftOffset + record * 1024;
        const int flips = 1 + int(random() % 12);
        for (int i = 0; i < flips; ++i) {
            const u64 at = base + 20 + random() % 1004;
            bytes[at] = u8(random());
        }
    }
    ASSERT_TRUE(testutil::WriteFileBytes(image, bytes));
    std::unique_ptr<VolumeListing> v = List();
    ASSERT_TRUE(v->opened);
    for (const auto& [n, f] : v->files) {
        if (f.properties->GetSize() > (64u << 20)) continue;
        std::vector<u8> out;
        ReadFileData(*device, *v, f, out);
    }
    SUCCEED() << v->files.size() << " records listed, " << v->recordsSkipped << " skipped";
}
}  // namespace
