// The deleted-file scan end to end: the scan driver opens fixture images as disks, the real
// enumeration lists their volumes, the session scans each one and the writer recovers what was
// found. The recovered folders are compared with the fixtures' manifests.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>

#include "E2ESupport.h"
#include "Manifest.h"
#include "TestUtil.h"
#include "platform/ProgramDir.h"

namespace {

struct Image {
    const char* name;
    u32 sectorSize;  // declared on the command line; 0 for none
};
const Image kImages[] = {{"ntfs-basic", 0}, {"sector4k", 4096}, {"mbr-disk", 0}, {"gpt-disk", 0}};

std::string ImageArg(const Image& image) { return e2e::ImageArg(image.name, image.sectorSize); }

using e2e::HashTree;
using e2e::LastComponent;

// Where a deleted file may be written: at its own path, or below "LostFiles" with the part of
// its path whose folders' records were lost cut off.
bool IsPlacedAs(const std::string& written, const std::string& original) {
    return e2e::IsPlacedAs(written, original, "LostFiles");
}

TEST(DeletedScanE2E, RecoversTheDeletedNtfsFilesTheManifestsList) {
    testutil::TempDir tmp;
    const std::string cwd = tmp.File("cwd");
    const std::string out = tmp.File("recovered");
    ASSERT_TRUE(MakeDirectories(cwd));

    std::vector<std::string> images;
    std::vector<std::string> args;
    for (const Image& image : kImages) {
        images.push_back(testutil::FixturePath(std::string(image.name) + ".img"));
        args.push_back("--image");
        args.push_back(ImageArg(image));
    }
    const e2e::Untouched untouched(images, cwd);

    std::vector<std::string> run = args;
    for (const char* a : {"--mode", "deleted", "--recover"}) run.push_back(a);
    run.push_back(out);
    run.push_back("--json");
    run.push_back(tmp.File("report.json"));
    const e2e::DriverRun driver = e2e::RunDriverRun(run, cwd, tmp.File("driver.log"));
    const e2e::Json& report = driver.report;
    std::vector<std::string> manifests;
    for (const Image& image : kImages) manifests.push_back(image.name);
    e2e::ExpectRecoveredAsManifests(driver, out, manifests);
    ASSERT_EQ(report["volumes"].kind, e2e::Json::Array);
    u64 expectedTotal = 0;

    for (size_t disk = 0; disk < std::size(kImages); ++disk) {
        e2e::Json manifest;
        ASSERT_TRUE(testutil::ReadJsonFile(testutil::FixturePath(std::string(kImages[disk].name) + ".json"), manifest));
        for (const e2e::Json& partition : manifest["partitions"].items) {
            if (partition["fs"].text != "NTFS") continue;
            const int part = int(partition["index"].number);
            SCOPED_TRACE(std::string(kImages[disk].name) + " partition " + std::to_string(part));

            // The volume the enumeration made of this partition, and its scan.
            const e2e::Json* volume = e2e::FindVolume(report, disk, u64(partition["start_sector"].number));
            ASSERT_NE(volume, nullptr);
            EXPECT_EQ((*volume)["fs"].text, "NTFS");
            const int index = int((*volume)["index"].number);
            const e2e::Json* scan = e2e::FindScan(report, index);
            ASSERT_NE(scan, nullptr);
            ASSERT_EQ((*scan)["trees"].items.size(), 1u);
            EXPECT_EQ((*scan)["trees"].items[0]["fs"].text, "NTFS");

            const std::string volumeDir = out + "/" + std::to_string(index);
            const std::vector<std::string> tops = e2e::ListEntries(volumeDir);
            ASSERT_EQ(tops.size(), 1u);
            const std::string top = volumeDir + "/" + tops[0];
            const std::vector<std::string> written = e2e::ListFiles(top);

            std::set<std::string> deletedNames;
            std::set<std::string> livePaths;
            for (const e2e::Json& f : manifest["files"].items) {
                if (int(f["partition"].number) != part) continue;
                if (f["state"].text == "deleted") {
                    deletedNames.insert(LastComponent(f["path"].text));
                } else {
                    livePaths.insert(e2e::StripLeadingSlash(f["path"].text));
                }
            }
            // Only deleted entries (and the folders that lead to them) are shown and recovered.
            for (const std::string& w : written) {
                EXPECT_TRUE(deletedNames.count(LastComponent(w))) << "not a deleted file: " << w;
                EXPECT_FALSE(livePaths.count(w)) << "a live file was recovered: " << w;
            }

            for (const e2e::Json& f : manifest["files"].items) {
                if (int(f["partition"].number) != part || f["state"].text != "deleted") continue;
                if (f["metadata"].text != "present" || !f["intact"].boolean) continue;
                ++expectedTotal;
                const std::string original = e2e::StripLeadingSlash(f["path"].text);
                auto it = std::find_if(written.begin(), written.end(),
                                       [&](const std::string& w) { return IsPlacedAs(w, original); });
                ASSERT_NE(it, written.end()) << "not recovered: " << original;
                EXPECT_EQ(testutil::Sha256File(top + "/" + *it), f["sha256"].text) << original;
                EXPECT_EQ(e2e::ModificationTime(top + "/" + *it), testutil::ParseUtc(f["mtime"].text)) << original;
            }
        }
    }
    EXPECT_GT(expectedTotal, 0u);

    untouched.Expect();

    // A second recovery into the same folder makes new names and leaves every earlier file alone.
    // Its two deleted files whose clusters newer files took are counted incomplete.
    const std::map<std::string, std::string> before = HashTree(out);
    ASSERT_FALSE(before.empty());
    ASSERT_EQ(e2e::RunDriver({"--image", ImageArg(kImages[0]), "--mode", "deleted", "--volume", "0", "--recover", out},
                             cwd, tmp.File("driver2.log")),
              1);
    const std::map<std::string, std::string> after = HashTree(out);
    for (const auto& [path, hash] : before) {
        auto it = after.find(path);
        ASSERT_NE(it, after.end()) << path;
        EXPECT_EQ(it->second, hash) << path;
    }
    EXPECT_GT(after.size(), before.size());
    EXPECT_EQ(e2e::ListEntries(out + "/0").size(), 2u);
}

TEST(DeletedScanE2E, DriverListsVolumesForAnUnknownIndexAndRunsTheCompleteScan) {
    testutil::TempDir tmp;
    const std::string json = tmp.File("list.json");
    ASSERT_EQ(e2e::RunDriver({"--image", ImageArg(kImages[2]), "--mode", "deleted", "--volume", "17", "--recover",
                              tmp.File("never"), "--json", json},
                             tmp.Path(), tmp.File("list.log")),
              1);
    e2e::Json report;
    ASSERT_TRUE(testutil::ReadJsonFile(json, report));
    EXPECT_EQ(report["volumes"].items.size(), 3u);  // the MBR disk's FAT32, NTFS and FAT16 volumes
    EXPECT_TRUE(report["scans"].items.empty());
    EXPECT_FALSE(testutil::FileExists(tmp.File("never")));

    EXPECT_EQ(e2e::RunDriver({"--image", ImageArg(kImages[0]), "--mode", "complete"}, tmp.Path(),
                             tmp.File("complete.log")),
              0);
}

}  // namespace
