// Saved results end to end: the scan driver saves each volume's scan of a fixture, loads every
// saved file again in place of a scan, and both recoveries must write the same files (paths,
// contents, times). A load finds its disk by what identifies the disk, not by its place in the
// disk list; a disk that is not the saved one, and a damaged file, fail the load.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <limits>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "CompressedImage.h"
#include "E2ESupport.h"
#include "TestUtil.h"
#include "devices/ImageFileDevice.h"
#include "devices/VolumeRecord.h"
#include "engine/FileSystemNode.h"
#include "engine/RSData.h"
#include "engine/SavedResult.h"
#include "platform/ProgramDir.h"
#include "plugins/Plugins.h"

namespace {

struct Image {
    const char* name;
    u32 sectorSize;
};
const Image kImages[] = {{"ntfs-basic", 0}, {"mbr-disk", 0}, {"gpt-disk", 0}, {"fat16-basic", 0},
                         {"fat32-basic", 0}, {"exfat-basic", 0}, {"sector4k", 4096}};
// The scan modes whose results are saved and loaded.
const char* const kModes[] = {"deleted", "complete"};

struct RecoveredFile {
    std::string sha256;
    i64 mtime;
    bool operator==(const RecoveredFile& o) const { return sha256 == o.sha256 && mtime == o.mtime; }
};

// Files found by their signature carry no time of their own: they keep the time they were
// written, which differs between two recoveries, so only earlier times are compared.
std::map<std::string, RecoveredFile> Recovered(const std::string& root,
                                                 i64 writtenFrom = std::numeric_limits<i64>::max()) {
    std::map<std::string, RecoveredFile> out;
    for (const std::string& f : e2e::ListFiles(root)) {
        const i64 mtime = e2e::ModificationTime(root + "/" + f);
        out[f] = {testutil::Sha256File(root + "/" + f), mtime >= writtenFrom ? writtenFrom : mtime};
    }
    return out;
}

int LoadedVolume(const std::string& json) {
    e2e::Json report;
    if (!testutil::ReadJsonFile(json, report) || report["scans"].items.size() != 1) return -1;
    return int(report["scans"].items[0]["volume"].number);
}

// One disk and one scan mode at a time.
class SavedResultRoundTrip : public ::testing::TestWithParam<std::tuple<const char*, Image>> {};

TEST_P(SavedResultRoundTrip, LoadedResultsRecoverWhatTheScanRecovered) {
    const char* const mode = std::get<0>(GetParam());
    const Image image = std::get<1>(GetParam());
    SCOPED_TRACE(std::string(image.name) + " " + mode);
    testutil::TempDir tmp;
    const i64 writtenFrom = static_cast<i64>(std::time(nullptr)) - 1;
    const std::string arg = e2e::ImageArg(image.name, image.sectorSize);
    const std::string scanned = tmp.File("scanned");
    const int status = e2e::RunDriver({"--image", arg, "--mode", mode, "--recover", scanned, "--save",
                                       tmp.File("result.rsf"), "--json", tmp.File("scan.json")},
                                      tmp.Path(), tmp.File("scan.log"));
    e2e::Json report;
    ASSERT_TRUE(testutil::ReadJsonFile(tmp.File("scan.json"), report));
    // A deleted file whose data was written over counts incomplete in the scan and its saved result.
    const size_t damaged = e2e::DamagedDeletedFiles(std::string(image.name) + ".json");
    e2e::ExpectOnlyDamagedIncomplete(status, report, damaged);
    const size_t scans = report["scans"].items.size();
    ASSERT_GT(scans, 0u);
    u64 files = 0;
    for (const e2e::Json& scan : report["scans"].items) {
        const int volume = int(scan["volume"].number);
        SCOPED_TRACE("volume " + std::to_string(volume));
        const std::string saved =
            tmp.File(scans > 1 ? "result." + std::to_string(volume) + ".rsf" : "result.rsf");
        const std::string loaded = tmp.File("loaded" + std::to_string(volume));
        const std::string json = tmp.File("load" + std::to_string(volume) + ".json");
        const int loadStatus =
            e2e::RunDriver({"--image", arg, "--load", saved, "--recover", loaded, "--json", json}, tmp.Path(),
                           tmp.File("load.log"));
        e2e::Json loadReport;
        ASSERT_TRUE(testutil::ReadJsonFile(json, loadReport));
        e2e::ExpectOnlyDamagedIncomplete(loadStatus, loadReport, damaged);
        ASSERT_EQ(LoadedVolume(json), volume);
        const std::string sub = "/" + std::to_string(volume);
        const auto expected = Recovered(scanned + sub, writtenFrom);
        EXPECT_EQ(Recovered(loaded + sub, writtenFrom), expected);
        files += expected.size();
    }
    EXPECT_GT(files, 0u);
}

INSTANTIATE_TEST_SUITE_P(ModesAndDisks, SavedResultRoundTrip, ::testing::Combine(::testing::ValuesIn(kModes), ::testing::ValuesIn(kImages)),
                         [](const ::testing::TestParamInfo<std::tuple<const char*, Image>>& info) {
                             std::string name = std::string(std::get<0>(info.param)) + "_" + std::get<1>(info.param).name;
                             std::replace(name.begin(), name.end(), '-', '_');
                             return name;
                         });

// A disk whose partition table was wiped lists no volume: its complete scan is one of the whole
// disk, and the result saved from it loads by finding that disk again, as a volume's result
// finds its volume, and recovers what the scan recovered.
TEST(SavedResultE2E, AWholeDiskResultOfADiskWithoutVolumesLoads) {
    testutil::TempDir tmp;
    const i64 writtenFrom = static_cast<i64>(std::time(nullptr)) - 1;
    const std::string arg = e2e::ImageArg("lost-partition-wiped");
    ASSERT_EQ(e2e::RunDriver({"--image", arg, "--mode", "complete", "--volume", "disk:0", "--recover", tmp.File("scanned"),
                              "--save", tmp.File("disk.rsf"), "--json", tmp.File("scan.json")},
                             tmp.Path(), tmp.File("scan.log")),
              0);
    const int scannedVolume = LoadedVolume(tmp.File("scan.json"));
    ASSERT_GE(scannedVolume, 0);
    const auto expected = Recovered(tmp.File("scanned/" + std::to_string(scannedVolume)), writtenFrom);
    ASSERT_FALSE(expected.empty());

    ASSERT_EQ(e2e::RunDriver({"--image", arg, "--load", tmp.File("disk.rsf"), "--recover", tmp.File("loaded"), "--json",
                              tmp.File("load.json")},
                             tmp.Path(), tmp.File("load.log")),
              0)
        << testutil::ReadFileText(tmp.File("load.log"));
    e2e::Json report;
    ASSERT_TRUE(testutil::ReadJsonFile(tmp.File("load.json"), report));
    const int loadedVolume = LoadedVolume(tmp.File("load.json"));
    ASSERT_GE(loadedVolume, 0);
    ASSERT_LT(size_t(loadedVolume), report["volumes"].items.size());
    EXPECT_EQ(report["volumes"].items[size_t(loadedVolume)]["kind"].text, "disk");
    EXPECT_EQ(Recovered(tmp.File("loaded/" + std::to_string(loadedVolume)), writtenFrom), expected);
}

TEST(SavedResultE2E, LoadFindsItsDiskByDescriptionNotByPlace) {
    testutil::TempDir tmp;
    const std::string mbr = e2e::ImageArg("mbr-disk");
    const std::string gpt = e2e::ImageArg("gpt-disk");
    // The volume's two deleted pictures whose clusters newer files took are counted incomplete,
    // after the load as well.
    ASSERT_EQ(e2e::RunDriver({"--image", mbr, "--image", gpt, "--mode", "deleted", "--volume", "1", "--recover",
                              tmp.File("scanned"), "--save", tmp.File("r.rsf")},
                             tmp.Path(), tmp.File("scan.log")),
              1);
    const auto expected = Recovered(tmp.File("scanned/1"));
    ASSERT_FALSE(expected.empty());

    // The GPT disk listed first moves the MBR disk's volumes behind its own.
    ASSERT_EQ(e2e::RunDriver({"--image", gpt, "--image", mbr, "--load", tmp.File("r.rsf"), "--recover",
                              tmp.File("loaded"), "--json", tmp.File("l.json")},
                             tmp.Path(), tmp.File("load.log")),
              1);
    const int volume = LoadedVolume(tmp.File("l.json"));
    ASSERT_GT(volume, 1);
    EXPECT_EQ(Recovered(tmp.File("loaded/" + std::to_string(volume))), expected);

    // The same bytes under another name are another disk (its serial is its file name).
    const std::string copy = testutil::CopyFixture(tmp, "mbr-disk.img");
    const std::string renamed = tmp.File("other-disk.img");
    ASSERT_EQ(std::rename(copy.c_str(), renamed.c_str()), 0);
    EXPECT_EQ(e2e::RunDriver({"--image", renamed, "--load", tmp.File("r.rsf")}, tmp.Path(), tmp.File("other.log")), 1);

    // A damaged file fails the load and nothing is recovered.
    std::ifstream in(tmp.File("r.rsf"), std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_GT(bytes.size(), 400u);
    for (size_t keep : {size_t(100), size_t(300), bytes.size() - 10}) {
        SCOPED_TRACE(keep);
        std::ofstream(tmp.File("cut.rsf"), std::ios::binary | std::ios::trunc) << bytes.substr(0, keep);
        EXPECT_EQ(e2e::RunDriver({"--image", mbr, "--load", tmp.File("cut.rsf"), "--recover", tmp.File("never")},
                                 tmp.Path(), tmp.File("cut.log")),
                  1);
        EXPECT_FALSE(testutil::FileExists(tmp.File("never")));
    }
}

// A result whose volume is a compressed disk image: the trees of a scan of ntfs-basic, stored
// with a volume record that names an image of the same file system. The load opens the image
// again from its index and recovers from it what the scan recovered.
TEST(SavedResultE2E, AResultOnACompressedImageReopensTheImage) {
    RegisterAllPlugins();
    testutil::TempDir tmp;
    const std::string arg = e2e::ImageArg("ntfs-basic");
    // Its two deleted files whose clusters newer files took are counted incomplete, after the
    // load as well.
    ASSERT_EQ(e2e::RunDriver({"--image", arg, "--mode", "deleted", "--recover", tmp.File("scanned"), "--save",
                              tmp.File("plain.rsf")},
                             tmp.Path(), tmp.File("scan.log")),
              1);
    const std::string index = tmp.File("ntfs.idx");
    ASSERT_TRUE(testutil::WriteCompressedImage(testutil::ReadFileBytes(testutil::FixturePath("ntfs-basic.img")), index,
                                               {kCompressionZlib, 512, 3, 0}));
    std::vector<CFileSystemNode*> roots;
    {
        CRSDataEx in(0);
        ASSERT_TRUE(in.Open(tmp.File("plain.rsf").c_str(), 0));
        FooDIRBuildCallback none;
        ASSERT_TRUE(LoadScanTrees(&in, roots, &none));
    }
    const std::string saved = tmp.File("image.rsf");
    {
        CImageFileDeviceWithDecompress image(index.c_str());
        VolumeRecord volume;
        MakeImageVolumeRecord(&image, kFsNtfs, "Fixtures NTFS", volume);
        CRSDataEx out(1);
        ASSERT_TRUE(out.Open(saved.c_str(), 1));
        out.WriteHeader(MakeScanResultHeader(kSavedResultVersion));
        WriteFolderList(&out, {});
        WriteDeviceList(&out, &volume);
        FooDIRBuildCallback none;
        ASSERT_TRUE(SaveScanTrees(roots, &out, &none));
        out.Close();
    }
    for (CFileSystemNode* root : roots) DestroySavedTree(root);

    ASSERT_EQ(e2e::RunDriver({"--image", arg, "--load", saved, "--recover", tmp.File("loaded"), "--json",
                              tmp.File("load.json")},
                             tmp.Path(), tmp.File("load.log")),
              1);
    e2e::Json report;
    ASSERT_TRUE(testutil::ReadJsonFile(tmp.File("load.json"), report));
    ASSERT_EQ(report["volumes"].items.size(), 2u);  // the disk's volume, then the image's
    EXPECT_EQ(report["volumes"].items[1]["kind"].text, "image");
    ASSERT_EQ(LoadedVolume(tmp.File("load.json")), 1);
    const auto expected = Recovered(tmp.File("scanned/0"));
    ASSERT_FALSE(expected.empty());
    EXPECT_EQ(Recovered(tmp.File("loaded/1")), expected);

    // Without one of its parts the image is not opened and the load fails.
    std::remove((index + ".part1").c_str());
    EXPECT_EQ(e2e::RunDriver({"--image", arg, "--load", saved}, tmp.Path(), tmp.File("missing.log")), 1);
}

}  // namespace
