// A picture copied onto a FAT32 volume and deleted, then a live text file written into the middle
// of the clusters it held: the complete scan finds the picture by its signature in the free
// cluster it began in, and the file it writes holds the text where the text lies now. Counted
// whole it would be a picture with another file's bytes, so it is counted incomplete; without the
// text it comes back exact and whole. With 512 and 4,096-byte sectors, a cluster each.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <string>
#include <vector>

#include "E2ESupport.h"
#include "TestUtil.h"
#include "ToolImage.h"
#include "platform/Types.h"

namespace {

using testutil::RunQuiet;

constexpr u64 kVolumeSectors = 70000;  // clusters enough for FAT32 at a sector each
constexpr u32 kFsInfoNextFree = 0x1EC;  // of the FSInfo sector, the next cluster to give
constexpr u32 kFirstDataCluster = 2;
constexpr const char* kPicture = "sample.psd";
const std::string kFoundPicture = "FAT32/更多丢失文件/Adobe Photoshop file/Morvenda_000.PSD";

struct Case {
    u32 sectorSize;
    bool textOverPicture;
};

u32 Le(const std::vector<u8>& b, size_t at, int bytes) {
    u32 v = 0;
    for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | b[at + size_t(i)];
    return v;
}

class CarvedOverLive : public ::testing::TestWithParam<Case> {};

TEST_P(CarvedOverLive, AFoundFileHoldingALiveFilesBytesIsCountedIncomplete) {
    const std::string missing = testutil::MissingTools({"mkfs.fat", "mcopy", "mdel", "truncate"});
    if (!missing.empty()) GTEST_SKIP() << "needs dosfstools and mtools; missing: " << missing;
    const Case c = GetParam();
    testutil::TempDir tmp;
    ASSERT_EQ(mkdir(tmp.File("cwd").c_str(), 0755), 0);
    const std::string image = tmp.File("volume.img");
    const std::vector<u8> picture = testutil::ReadFileBytes(e2e::RawSample(kPicture));
    ASSERT_TRUE(RunQuiet("truncate -s " + std::to_string(kVolumeSectors * c.sectorSize) + " " + image));
    ASSERT_TRUE(RunQuiet("mkfs.fat -F 32 -s 1 -S " + std::to_string(c.sectorSize) + " -n TAKEN " + image));
    ASSERT_TRUE(RunQuiet("MTOOLS_SKIP_CHECK=1 mcopy -i " + image + " " + e2e::RawSample(kPicture) + " ::/PICTURE.PSD"));
    ASSERT_TRUE(RunQuiet("MTOOLS_SKIP_CHECK=1 mdel -i " + image + " ::/PICTURE.PSD"));

    // Where the picture lies: its clusters follow one another on a fresh volume.
    std::vector<u8> bytes = testutil::ReadFileBytes(image);
    const auto at = std::search(bytes.begin(), bytes.end(), picture.begin(), picture.end());
    ASSERT_NE(at, bytes.end());
    const u64 offset = u64(at - bytes.begin());
    const u64 dataStart = u64(Le(bytes, 0x0E, 2) + Le(bytes, 0x10, 1) * Le(bytes, 0x24, 4)) * c.sectorSize;
    const u64 clusters = (picture.size() + c.sectorSize - 1) / c.sectorSize;
    ASSERT_GE(clusters, 3u);
    const u32 first = u32((offset - dataStart) / c.sectorSize) + kFirstDataCluster;
    if (c.textOverPicture) {
        // The volume gives the text the cluster in the middle of the picture's.
        const u32 middle = first + u32(clusters / 2);
        for (int i = 0; i < 4; ++i) bytes[c.sectorSize + kFsInfoNextFree + size_t(i)] = u8(middle >> (8 * i));
        ASSERT_TRUE(testutil::WriteFileBytes(image, bytes));
        const std::string text(c.sectorSize / 2, 't');
        ASSERT_TRUE(testutil::WriteFileBytes(tmp.File("notes.txt"), std::vector<u8>(text.begin(), text.end())));
        ASSERT_TRUE(RunQuiet("MTOOLS_SKIP_CHECK=1 mcopy -i " + image + " " + tmp.File("notes.txt") + " ::/NOTES.TXT"));
        const std::vector<u8> after = testutil::ReadFileBytes(image);
        ASSERT_FALSE(std::equal(picture.begin(), picture.end(), after.begin() + long(offset)))
            << "the text did not land on the picture's clusters";
    }

    const std::string out = tmp.File("recovered");
    const e2e::DriverRun run = e2e::RunDriverRun({"--image", image + "@" + std::to_string(c.sectorSize), "--mode",
                                                  "complete", "--volume", "disk:0", "--recover", out, "--json",
                                                  tmp.File("report.json")},
                                                 tmp.File("cwd"), tmp.File("run.log"));
    // The volume at sector 0 is listed too: the whole disk is the one the scan ran on.
    const auto disk = std::find_if(run.report["volumes"].items.begin(), run.report["volumes"].items.end(),
                                   [](const e2e::Json& v) { return v["kind"].text == "disk"; });
    ASSERT_NE(disk, run.report["volumes"].items.end());
    const std::string folder = out + "/" + std::to_string(int((*disk)["index"].number)) + "/";
    const std::string found = folder + kFoundPicture;
    ASSERT_TRUE(testutil::FileExists(found)) << found;
    const bool exact = testutil::ReadFileBytes(found) == picture;
    const bool whole = run.incomplete.count(found) == 0;
    EXPECT_EQ(exact, !c.textOverPicture);
    EXPECT_EQ(whole, exact) << found;
    if (c.textOverPicture) {
        EXPECT_EQ(testutil::ReadFileBytes(folder + "FAT32/NOTES.TXT").size(), c.sectorSize / 2);
        EXPECT_EQ(run.incomplete.count(folder + "FAT32/NOTES.TXT"), 0u);
    }
}

INSTANTIATE_TEST_SUITE_P(Sectors, CarvedOverLive,
                         ::testing::Values(Case{512, true}, Case{512, false}, Case{4096, true}, Case{4096, false}),
                         [](const ::testing::TestParamInfo<Case>& info) {
                             return std::to_string(info.param.sectorSize) +
                                    (info.param.textOverPicture ? "_text_over_it" : "_free");
                         });

}  // namespace
