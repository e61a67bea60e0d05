// The complete scan end to end: the scan driver reads whole disks (or single volumes) block by
// block, the NTFS deep search finds the volumes, also those no partition table names any more,
// and the writer recovers every file of the trees it builds. The recovered folders are compared
// with the fixtures' manifests and with what the deleted-file scan recovers.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <set>

#include "E2ESupport.h"
#include "Manifest.h"
#include "TestUtil.h"
#include "ToolImage.h"
#include "platform/ProgramDir.h"

namespace {

using e2e::Json;

using e2e::HashTree;
using e2e::LastComponent;

// A file is placed at its own path, or below "Other lost files" with the folders whose records
// were lost cut off the front of its path.
bool IsPlacedAs(const std::string& written, const std::string& original) {
    return e2e::IsPlacedAs(written, original, "Other lost files");
}

// The one top folder the writer made for a scanned volume.
std::string TopFolder(const std::string& volumeDir) {
    const std::vector<std::string> tops = e2e::ListEntries(volumeDir);
    return tops.size() == 1 ? volumeDir + "/" + tops[0] : std::string();
}

int RunComplete(const std::vector<std::string>& images, const std::string& volume, const std::string& out,
                const testutil::TempDir& tmp, const std::string& name, const std::vector<std::string>& extra = {}) {
    std::vector<std::string> args;
    for (const std::string& image : images) {
        args.push_back("--image");
        args.push_back(image);
    }
    for (const std::string& a : {std::string("--mode"), std::string("complete"), std::string("--volume"), volume,
                                 std::string("--recover"), out, std::string("--json"), tmp.File(name + ".json")}) {
        args.push_back(a);
    }
    args.insert(args.end(), extra.begin(), extra.end());
    return e2e::RunDriver(args, tmp.File("cwd"), tmp.File(name + ".log"));
}

// Checks that every file of the partition the predicate picks was recovered below `top` at a
// place IsPlacedAs allows (or, with anywhere, by its name in any folder) with its sha256.
template <typename Pick>
size_t ExpectRecovered(const Json& manifest, int partition, const std::string& top, Pick pick, bool anywhere) {
    const std::map<std::string, std::string> written = HashTree(top);
    size_t checked = 0;
    for (const Json& f : manifest["files"].items) {
        if (int(f["partition"].number) != partition || !pick(f)) continue;
        ++checked;
        const std::string original = e2e::StripLeadingSlash(f["path"].text);
        bool found = false;
        for (const auto& [path, hash] : written) {
            const bool placed = anywhere ? LastComponent(path) == LastComponent(original) : IsPlacedAs(path, original);
            if (placed && hash == f["sha256"].text) found = true;
        }
        EXPECT_TRUE(found) << "not recovered with its data: " << original;
    }
    return checked;
}

TEST(CompleteScanE2E, FindsTheWipedNtfsVolumeAndRecoversItsFiles) {
    testutil::TempDir tmp;
    ASSERT_TRUE(MakeDirectories(tmp.File("cwd")));
    const std::string image = testutil::FixturePath("lost-partition-wiped.img");
    const e2e::Untouched untouched({image}, tmp.File("cwd"));
    const std::string out = tmp.File("recovered");
    // The disk also holds a lost FAT volume: with the reason "partition lost" both are handed out.
    ASSERT_EQ(RunComplete({e2e::ImageArg("lost-partition-wiped")}, "disk:0", out, tmp, "wiped", {"--lost-reason", "1"}),
              0);

    Json report, manifest;
    ASSERT_TRUE(testutil::ReadJsonFile(tmp.File("wiped.json"), report));
    ASSERT_TRUE(testutil::ReadJsonFile(testutil::FixturePath("lost-partition-wiped.json"), manifest));
    ASSERT_EQ(report["scans"].items.size(), 1u);
    const Json& scan = report["scans"].items[0];
    EXPECT_EQ(scan["mode"].text, "complete");
    const Json& found = scan["found_partitions"];
    ASSERT_EQ(found.items.size(), 2u);
    const Json* ntfs = nullptr;
    for (const Json& f : found.items) {
        if (f["fs"].text == "NTFS") ntfs = &f;
    }
    ASSERT_NE(ntfs, nullptr);
    // The backup boot sector's size: the file system's, one sector short of the wiped entry.
    EXPECT_EQ(u64((*ntfs)["start_sector"].number), 2048u);
    EXPECT_EQ(u64((*ntfs)["sectors"].number), 49151u);
    EXPECT_EQ((*ntfs)["label"].text, "LOSTNTFS");
    EXPECT_GT((*ntfs)["score"].number, 0.0);

    const int volume = int(scan["volume"].number);
    std::string top;
    for (const std::string& entry : e2e::ListEntries(out + "/" + std::to_string(volume))) {
        if (entry.compare(0, 4, "NTFS") == 0) top = out + "/" + std::to_string(volume) + "/" + entry;
    }
    ASSERT_FALSE(top.empty());
    const size_t checked = ExpectRecovered(
        manifest, 1, top,
        [](const Json& f) {
            return f["state"].text == "live" || (f["intact"].boolean && f["metadata"].text == "present");
        },
        false);
    EXPECT_EQ(checked, 13u + 3u);
    untouched.Expect();
}

TEST(CompleteScanE2E, BringsBackTheFirstGenerationOfAReformattedVolume) {
    testutil::TempDir tmp;
    ASSERT_TRUE(MakeDirectories(tmp.File("cwd")));
    const std::string out = tmp.File("recovered");
    ASSERT_EQ(RunComplete({e2e::ImageArg("lost-partition-reformat")}, "disk:0", out, tmp, "reformat"), 0);
    Json report, manifest;
    ASSERT_TRUE(testutil::ReadJsonFile(tmp.File("reformat.json"), report));
    ASSERT_TRUE(testutil::ReadJsonFile(testutil::FixturePath("lost-partition-reformat.json"), manifest));
    ASSERT_EQ(report["scans"].items.size(), 1u);
    const Json& found = report["scans"].items[0]["found_partitions"];
    ASSERT_EQ(found.items.size(), 1u);
    EXPECT_EQ(u64(found.items[0]["start_sector"].number), 2048u);
    EXPECT_EQ(found.items[0]["label"].text, "NEWVOL");

    const std::string top = TopFolder(out + "/" + std::to_string(int(report["scans"].items[0]["volume"].number)));
    ASSERT_FALSE(top.empty());
    // The first generation comes back from its old records, by name, wherever its data is intact.
    const size_t old = ExpectRecovered(
        manifest, 1, top,
        [](const Json& f) {
            return f["format_generation"].number == 1 && f["intact"].boolean && f["old_mft_record"].text == "present";
        },
        true);
    EXPECT_EQ(old, 17u);
    // Beside the new volume's own files, at their paths.
    const size_t fresh =
        ExpectRecovered(manifest, 1, top, [](const Json& f) { return f["state"].text == "live"; }, false);
    EXPECT_EQ(fresh, 2u);
}

struct IntactImage {
    const char* name;
    u32 sectorSize;
};
std::ostream& operator<<(std::ostream& os, const IntactImage& i) { return os << i.name; }

// One disk at a time: each case is a deleted and a complete scan of its own.
class CompleteScanIntact : public ::testing::TestWithParam<IntactImage> {};

TEST_P(CompleteScanIntact, FindsWhatTheDeletedScanFindsOnIntactVolumes) {
    const IntactImage image = GetParam();
    testutil::TempDir tmp;
    ASSERT_TRUE(MakeDirectories(tmp.File("cwd")));
    const std::vector<std::string> args{e2e::ImageArg(image.name, image.sectorSize)};
    const e2e::Untouched untouched({testutil::FixturePath(std::string(image.name) + ".img")}, tmp.File("cwd"));
    ASSERT_EQ(e2e::RunDriver({"--image", args[0], "--mode", "deleted", "--recover", tmp.File("deleted"), "--json",
                              tmp.File("deleted.json")},
                             tmp.File("cwd"), tmp.File("deleted.log")),
              0);
    ASSERT_EQ(RunComplete(args, "all", tmp.File("complete"), tmp, "complete"), 0);

    Json report;
    ASSERT_TRUE(testutil::ReadJsonFile(tmp.File("complete.json"), report));
    size_t compared = 0;
    Json manifest;
    ASSERT_TRUE(testutil::ReadJsonFile(testutil::FixturePath(std::string(image.name) + ".json"), manifest));
    for (const Json& partition : manifest["partitions"].items) {
        if (partition["fs"].text != "NTFS") continue;
        const int part = int(partition["index"].number);
        SCOPED_TRACE(std::string(image.name) + " partition " + std::to_string(part));
        const Json* volume = e2e::FindVolume(report, 0, u64(partition["start_sector"].number));
        ASSERT_NE(volume, nullptr);
        const int index = int((*volume)["index"].number);
        const Json* scan = e2e::FindScan(report, index);
        ASSERT_NE(scan, nullptr);
        ASSERT_EQ((*scan)["found_partitions"].items.size(), 1u);
        EXPECT_EQ(u64((*scan)["found_partitions"].items[0]["start_sector"].number), 0u);

        const std::string fromDeleted = TopFolder(tmp.File("deleted") + "/" + std::to_string(index));
        const std::string fromComplete = TopFolder(tmp.File("complete") + "/" + std::to_string(index));
        ASSERT_FALSE(fromDeleted.empty());
        ASSERT_FALSE(fromComplete.empty());
        // Every deleted file the deleted scan brings back, with the same name and data.
        const std::map<std::string, std::string> complete = HashTree(fromComplete);
        for (const auto& [path, hash] : HashTree(fromDeleted)) {
            ++compared;
            const bool same = std::any_of(complete.begin(), complete.end(), [&](const auto& c) {
                return LastComponent(c.first) == LastComponent(path) && c.second == hash;
            });
            EXPECT_TRUE(same) << "the deleted scan found what the complete scan did not: " << path;
        }
        // And every live file at its own path.
        ExpectRecovered(manifest, part, fromComplete, [](const Json& f) { return f["state"].text == "live"; }, false);
    }
    EXPECT_GT(compared, 0u);
    untouched.Expect();
}

INSTANTIATE_TEST_SUITE_P(Disks, CompleteScanIntact,
                         ::testing::Values(IntactImage{"ntfs-basic", 0}, IntactImage{"sector4k", 4096},
                                           IntactImage{"mbr-disk", 0}, IntactImage{"gpt-disk", 0}),
                         [](const ::testing::TestParamInfo<IntactImage>& info) {
                             std::string name = info.param.name;
                             std::replace(name.begin(), name.end(), '-', '_');
                             return name;
                         });

// A folder deleted with its files and subfolder, its record then taken by a new folder: the
// files come back with their bytes where each scan puts files whose folder is unknown, the
// subfolder with them, and none of them inside the new folder.
struct TakenFolderScan {
    const char* mode;
    const char* volume;
    const char* lostFolder;
};
class FolderRecordTakenByANewFolder : public ::testing::TestWithParam<TakenFolderScan> {};

TEST_P(FolderRecordTakenByANewFolder, ItsFilesStandWithTheFilesWhoseFolderIsUnknown) {
    const std::string missing = testutil::MissingTools({"mkntfs", "ntfs-3g", "umount"});
    if (!missing.empty()) GTEST_SKIP() << "needs the packages ntfs-3g and mount (umount); missing: " << missing;
    testutil::TempDir tmp;
    const std::string image = tmp.File("ntfs.img");
    const std::string mnt = tmp.File("mnt");
    std::filesystem::create_directories(mnt);
    ASSERT_TRUE(testutil::RunQuiet("truncate -s 64M " + image + " && mkntfs -F -Q -q " + image));
    const std::map<std::string, std::vector<u8>> files = {{"A/f1.bin", testutil::DistinctBytes(20000, 1)},
                                                          {"A/S/f2.bin", testutil::DistinctBytes(20000, 2)}};
    for (const bool second : {false, true}) {
        testutil::FuseMount mount({"ntfs-3g", "-o", "no_detach", image, mnt}, mnt);
        ASSERT_TRUE(mount.IsMounted());
        if (!second) {
            std::filesystem::create_directories(mnt + "/A/S");
            for (const auto& [path, bytes] : files) ASSERT_TRUE(testutil::WriteFileBytes(mnt + "/" + path, bytes));
        } else {
            std::filesystem::remove_all(mnt + "/A");
            std::filesystem::create_directories(mnt + "/B");
        }
        ASSERT_TRUE(mount.Unmount());
    }
    const TakenFolderScan scan = GetParam();
    const std::string out = tmp.File("out");
    ASSERT_EQ(e2e::RunDriver({"--image", image, "--mode", scan.mode, "--volume", scan.volume, "--lost-reason", "1",
                              "--recover", out},
                             tmp.Path(), tmp.File("scan.log")),
              0);
    const std::vector<std::string> volumes = e2e::ListEntries(out);
    ASSERT_EQ(volumes.size(), 1u);
    const std::map<std::string, std::string> written = HashTree(TopFolder(out + "/" + volumes[0]));
    for (const auto& [path, bytes] : files) {
        // Below the lost-files folder, without the deleted folder's own name.
        const auto it = written.find(scan.lostFolder + path.substr(1));
        ASSERT_NE(it, written.end()) << path;
        EXPECT_EQ(it->second, testutil::Sha256Hex(bytes.data(), bytes.size())) << path;
    }
    for (const auto& w : written) EXPECT_NE(w.first.compare(0, 2, "B/"), 0) << w.first;
}

INSTANTIATE_TEST_SUITE_P(Scans, FolderRecordTakenByANewFolder,
                         ::testing::Values(TakenFolderScan{"deleted", "0", "LostFiles"},
                                           TakenFolderScan{"complete", "disk:0", "Other lost files"}),
                         [](const auto& info) { return std::string(info.param.mode); });

}  // namespace
