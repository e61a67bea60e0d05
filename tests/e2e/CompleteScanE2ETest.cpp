// The complete scan end to end: the scan driver reads whole disks (or single volumes) block by
// block, the NTFS deep search finds the volumes, also those no partition table names any more,
// and the writer recovers every file of the trees it builds. The recovered folders are compared
// with the fixtures' manifests and with what the deleted-file scan recovers.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/xattr.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <set>

#include "E2ESupport.h"
#include "Manifest.h"
#include "ntfs/NtfsLogWriter.h"
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

e2e::DriverRun RunComplete(const std::vector<std::string>& images, const std::string& volume, const std::string& out,
                           const testutil::TempDir& tmp, const std::string& name,
                           const std::vector<std::string>& extra = {}) {
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
    return e2e::RunDriverRun(args, tmp.File("cwd"), tmp.File(name + ".log"));
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
    const e2e::DriverRun run =
        RunComplete({e2e::ImageArg("lost-partition-wiped")}, "disk:0", out, tmp, "wiped", {"--lost-reason", "1"});
    e2e::ExpectRecoveredAsManifests(run, out, {"lost-partition-wiped"});
    const Json& report = run.report;
    Json manifest;
    ASSERT_TRUE(testutil::ReadJsonFile(testutil::FixturePath("lost-partition-wiped.json"), manifest));
    // On both volumes, every deleted file whose entry stands but whose clusters newer files took.
    size_t overwritten = 0;
    for (const Json& f : manifest["files"].items) {
        overwritten += f["state"].text == "deleted" && f["metadata"].text == "present" && !f["intact"].boolean;
    }
    EXPECT_EQ(report["recovered"]["incomplete"].number, double(overwritten));
    EXPECT_EQ(report["recovered"]["failed"].number, 0);
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
    const e2e::DriverRun run = RunComplete({e2e::ImageArg("lost-partition-reformat")}, "disk:0", out, tmp, "reformat");
    e2e::ExpectRecoveredAsManifests(run, out, {"lost-partition-reformat"});
    const Json& report = run.report;
    Json manifest;
    ASSERT_TRUE(testutil::ReadJsonFile(testutil::FixturePath("lost-partition-reformat.json"), manifest));
    size_t overwritten = 0;
    for (const Json& f : manifest["files"].items) {
        overwritten += f["format_generation"].number == 1 && f["old_mft_record"].text == "present" &&
                       !f["intact"].boolean;
    }
    EXPECT_EQ(report["recovered"]["incomplete"].number, double(overwritten));
    EXPECT_EQ(report["recovered"]["failed"].number, 0);
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
    const e2e::DriverRun deleted = e2e::RunDriverRun({"--image", args[0], "--mode", "deleted", "--recover",
                                                      tmp.File("deleted"), "--json", tmp.File("deleted.json")},
                                                     tmp.File("cwd"), tmp.File("deleted.log"));
    const e2e::DriverRun complete = RunComplete(args, "all", tmp.File("complete"), tmp, "complete");
    e2e::ExpectRecoveredAsManifests(deleted, tmp.File("deleted"), {image.name});
    e2e::ExpectRecoveredAsManifests(complete, tmp.File("complete"), {image.name});
    const Json& report = complete.report;
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

// Runs `change` on the NTFS image mounted at mnt by ntfs-3g: false when mounting, the change or
// unmounting fails.
bool InNtfsMount(const std::string& image, const std::string& mnt, const std::function<bool()>& change) {
    testutil::FuseMount mount({"ntfs-3g", "-o", "no_detach", image, mnt}, mnt);
    return mount.IsMounted() && change() && mount.Unmount();
}

// A file with two names (hard links) in two folders comes back under one of its names in that
// name's own folder, never under one name in the other name's folder; when the file is deleted
// and the record of the folder its first name names is gone (as a delete and a damaged record
// leave them), under the other name in the folder that stands, in both scans. Its first name has
// a short alias, so that the record's first two names both lie in that folder.
struct TwoNamesScan {
    const char* mode;
    const char* volume;
    bool firstFolderGone;
};
class CompleteScanNames : public ::testing::TestWithParam<TwoNamesScan> {};

TEST_P(CompleteScanNames, AFileWithTwoNamesComesBackUnderANameInThatNamesFolder) {
    const std::string missing = testutil::MissingTools({"mkntfs", "ntfs-3g", "umount"});
    if (!missing.empty()) GTEST_SKIP() << "needs the packages ntfs-3g and mount (umount); missing: " << missing;
    const TwoNamesScan scan = GetParam();
    testutil::TempDir tmp;
    const std::string image = tmp.File("ntfs.img");
    const std::string mnt = tmp.File("mnt");
    std::filesystem::create_directories(mnt);
    ASSERT_TRUE(testutil::RunQuiet("truncate -s 64M " + image + " && mkntfs -F -Q -q " + image));
    const std::vector<u8> bytes = testutil::DistinctBytes(23823, 3);
    const std::string first = "Orig/o03 long name.bin";
    struct stat orig = {};
    struct stat file = {};
    ASSERT_TRUE(InNtfsMount(image, mnt, [&] {
        std::filesystem::create_directories(mnt + "/Orig");
        std::filesystem::create_directories(mnt + "/Links");
        if (!testutil::WriteFileBytes(mnt + "/" + first, bytes)) return false;
        if (::setxattr((mnt + "/" + first).c_str(), "system.ntfs_dos_name", "O03LON~1.BIN", 12, 0) != 0) return false;
        std::filesystem::create_hard_link(mnt + "/" + first, mnt + "/Links/o03_link.bin");
        // ntfs-3g numbers its inodes by MFT record.
        return ::stat((mnt + "/Orig").c_str(), &orig) == 0 && ::stat((mnt + "/" + first).c_str(), &file) == 0;
    }));
    std::set<std::string> names = {first, "Links/o03_link.bin"};
    if (scan.firstFolderGone) {
        std::vector<u8> disk = testutil::ReadFileBytes(image);
        constexpr size_t kRecord = 1024;
        constexpr size_t kFlags = 22;
        size_t changed = 0;
        for (size_t at = 0; at + kRecord <= disk.size() && changed < 2; at += kRecord) {
            if (std::memcmp(disk.data() + at, "FILE", 4) != 0) continue;
            const u32 number = ReadLE32(disk.data() + at + 44);
            if (number == orig.st_ino) std::fill_n(disk.begin() + long(at), kRecord, u8(0));
            if (number == file.st_ino) disk[at + kFlags] &= u8(~1u);  // not in use
            changed += number == orig.st_ino || number == file.st_ino ? 1 : 0;
        }
        ASSERT_EQ(changed, 2u);
        ASSERT_TRUE(testutil::WriteFileBytes(image, disk));
        names = {"Links/o03_link.bin"};
    }
    const std::string out = tmp.File("out");
    ASSERT_EQ(e2e::RunDriver({"--image", image, "--mode", scan.mode, "--volume", scan.volume, "--recover", out},
                             tmp.Path(), tmp.File("scan.log")),
              0);
    const std::vector<std::string> volumes = e2e::ListEntries(out);
    ASSERT_EQ(volumes.size(), 1u);
    const std::string hash = testutil::Sha256Hex(bytes.data(), bytes.size());
    size_t found = 0;
    for (const auto& [path, written] : HashTree(TopFolder(out + "/" + volumes[0]))) {
        if (written != hash) continue;
        ++found;
        EXPECT_EQ(names.count(path), 1u) << path;
    }
    EXPECT_GE(found, 1u);
}

INSTANTIATE_TEST_SUITE_P(Scans, CompleteScanNames,
                         ::testing::Values(TwoNamesScan{"complete", "disk:0", false},
                                           TwoNamesScan{"complete", "disk:0", true},
                                           TwoNamesScan{"deleted", "0", true}),
                         [](const ::testing::TestParamInfo<TwoNamesScan>& info) {
                             return std::string(info.param.mode) + (info.param.firstFolderGone ? "_folder_gone" : "");
                         });

// A deleted file whose clusters a file written after it took, that file since deleted too: no
// file in use holds the clusters, yet the first file's bytes there are the second's. Wherever a
// scan writes the first file with other bytes, it counts it incomplete.
struct TakenByDeletedScan {
    const char* mode;
    const char* volume;
    const char* lostReason;
    u32 clusterBytes;
};
class DeletedFileTakenByALaterDeletedFile : public ::testing::TestWithParam<TakenByDeletedScan> {};

TEST_P(DeletedFileTakenByALaterDeletedFile, IsNeverWrittenWholeWithTheOthersBytes) {
    const std::string missing = testutil::MissingTools({"mkntfs", "ntfs-3g", "umount"});
    if (!missing.empty()) GTEST_SKIP() << "needs the packages ntfs-3g and mount (umount); missing: " << missing;
    const TakenByDeletedScan scan = GetParam();
    testutil::TempDir tmp;
    const std::string image = tmp.File("ntfs.img");
    const std::string mnt = tmp.File("mnt");
    std::filesystem::create_directories(mnt);
    ASSERT_TRUE(testutil::RunQuiet("truncate -s 16M " + image + " && mkntfs -F -Q -q -c " +
                                   std::to_string(scan.clusterBytes) + " " + image));
    constexpr size_t kLeftFree = 400 * 1024;
    const std::vector<u8> old = testutil::DistinctBytes(40000, 7);
    // In one mount, so that BIG.BIN takes a record of its own: it takes every free cluster,
    // OLD.MP3's among them, and is deleted.
    ASSERT_TRUE(InNtfsMount(image, mnt, [&] {
        const std::filesystem::space_info space = std::filesystem::space(mnt);
        if (space.available < kLeftFree) return false;
        if (!testutil::WriteFileBytes(mnt + "/filler.bin", testutil::DistinctBytes(space.available - kLeftFree, 1)) ||
            !testutil::WriteFileBytes(mnt + "/OLD.MP3", old) || !std::filesystem::remove(mnt + "/OLD.MP3")) {
            return false;
        }
        const std::vector<u8> block = testutil::DistinctBytes(4096, 9);
        if (FILE* f = std::fopen((mnt + "/BIG.BIN").c_str(), "wb")) {
            while (std::fwrite(block.data(), 1, block.size(), f) == block.size() && std::fflush(f) == 0) {
            }
            std::fclose(f);
        }
        return std::filesystem::remove(mnt + "/BIG.BIN");
    }));
    const std::string out = tmp.File("out");
    std::vector<std::string> args = {"--image", image, "--mode", scan.mode, "--volume", scan.volume, "--recover", out};
    if (*scan.lostReason != 0) args.insert(args.end(), {"--lost-reason", scan.lostReason});
    const e2e::DriverRun run = e2e::RunDriverRun(args, tmp.Path(), tmp.File("scan.log"));
    ASSERT_GE(run.status, 0);
    const std::string hash = testutil::Sha256Hex(old.data(), old.size());
    size_t written = 0;
    for (const std::string& path : e2e::ListFiles(out)) {
        if (LastComponent(path) != "OLD.MP3") continue;
        ++written;
        const std::vector<u8> bytes = testutil::ReadFileBytes(out + "/" + path);
        if (testutil::Sha256Hex(bytes.data(), bytes.size()) == hash) continue;
        const bool counted = std::any_of(run.incomplete.begin(), run.incomplete.end(), [&path](const std::string& i) {
            return i.size() >= path.size() && i.compare(i.size() - path.size(), path.size(), path) == 0;
        });
        EXPECT_TRUE(counted) << "written whole with another file's bytes: " << path;
    }
    EXPECT_GE(written, 1u);
}

INSTANTIATE_TEST_SUITE_P(Scans, DeletedFileTakenByALaterDeletedFile,
                         ::testing::Values(TakenByDeletedScan{"deleted", "0", "", 4096},
                                           TakenByDeletedScan{"complete", "0", "0", 512},
                                           TakenByDeletedScan{"complete", "disk:0", "1", 65536}),
                         [](const ::testing::TestParamInfo<TakenByDeletedScan>& info) {
                             return std::string(info.param.mode) + "_" + std::to_string(info.param.clusterBytes);
                         });

// ---- an NTFS image made with ntfs-3g, read back byte by byte ----

// The 1024-byte MFT record with that number (the first copy at a 1024-byte boundary), with the
// update sequence put back as the record is in memory; empty when none is found.
std::vector<u8> FindMftRecord(const std::vector<u8>& image, u32 number, bool inUseFolder) {
    constexpr size_t kRecord = 1024;
    for (size_t at = 0; at + kRecord <= image.size(); at += kRecord) {
        const u8* r = image.data() + at;
        if (std::memcmp(r, "FILE", 4) != 0 || ReadLE32(r + 44) != number) continue;
        if (inUseFolder && (ReadLE16(r + 22) & 3) != 3) continue;
        std::vector<u8> record(r, r + kRecord);
        const u16 usaOffset = ReadLE16(r + 4);
        const u16 usaCount = ReadLE16(r + 6);
        for (u32 i = 1; i < usaCount && usaOffset + 2u * i + 2 <= kRecord && i * 512 <= kRecord; ++i) {
            std::memcpy(record.data() + i * 512 - 2, r + usaOffset + 2 * i, 2);
        }
        return record;
    }
    return {};
}

// Byte offset of the journal ($LogFile, record 2) in the image: its first run; 0 when not found.
u64 JournalOffset(const std::vector<u8>& image) {
    const std::vector<u8> record = FindMftRecord(image, 2, false);
    if (record.empty() || image.size() < 512) return 0;
    const u64 clusterBytes = u64(ReadLE16(image.data() + 0x0B)) * image[0x0D];
    for (u32 at = ReadLE16(record.data() + 20); at + 16 <= record.size();) {
        const u8* a = record.data() + at;
        const u32 type = ReadLE32(a);
        const u32 length = ReadLE32(a + 4);
        if (type == 0xFFFFFFFF || length == 0 || at + length > record.size()) break;
        if (type == 0x80 && a[8] != 0 && a[9] == 0) {
            const u8* pairs = a + ReadLE16(a + 32);
            const u32 lengthBytes = pairs[0] & 0xF, offsetBytes = pairs[0] >> 4;
            u64 lcn = 0;
            for (u32 i = 0; i < offsetBytes; ++i) lcn |= u64(pairs[1 + lengthBytes + i]) << (8 * i);
            return lcn * clusterBytes;
        }
        at += length;
    }
    return 0;
}

// A folder deleted with its files, its record then taken by a new folder B. The folder's files
// come back with their bytes where each scan puts files whose folder is unknown, the subfolder
// with them, none of them inside the new folder; when the journal still holds the lost folder's
// record they come back in it, under its own name.
enum class TakenLayout {
    kFolderFirst,         // A/f1.bin, A/S/f2.bin: the folder's record comes before its files'
    kFileBelowFolder,     // A/f1.bin on a record below A's, which the walk reads ahead
    kJournalHoldsFolder,  // as the first, with A's record image in the journal
};
struct TakenFolderScan {
    const char* mode;
    const char* volume;
    const char* lostFolder;
    TakenLayout layout;
};
class FolderRecordTakenByANewFolder : public ::testing::TestWithParam<TakenFolderScan> {};

std::string TakenFolderScanName(const ::testing::TestParamInfo<TakenFolderScan>& info) {
    static const char* const kLayouts[] = {"folder_first", "file_below_folder", "journal_holds_folder"};
    return std::string(info.param.mode) + "_" + kLayouts[int(info.param.layout)];
}

TEST_P(FolderRecordTakenByANewFolder, ItsFilesStandWithTheFilesWhoseFolderIsUnknownOrInTheJournalsFolder) {
    const std::string missing = testutil::MissingTools({"mkntfs", "ntfs-3g", "umount"});
    if (!missing.empty()) GTEST_SKIP() << "needs the packages ntfs-3g and mount (umount); missing: " << missing;
    const TakenFolderScan scan = GetParam();
    testutil::TempDir tmp;
    const std::string image = tmp.File("ntfs.img");
    const std::string mnt = tmp.File("mnt");
    std::filesystem::create_directories(mnt);
    ASSERT_TRUE(testutil::RunQuiet("truncate -s 64M " + image + " && mkntfs -F -Q -q " + image));
    std::map<std::string, std::vector<u8>> files = {{"A/f1.bin", testutil::DistinctBytes(20000, 1)}};
    if (scan.layout != TakenLayout::kFileBelowFolder) files["A/S/f2.bin"] = testutil::DistinctBytes(20000, 2);
    auto touch = [&mnt](const std::string& name) { return testutil::WriteFileBytes(mnt + "/" + name, {}); };
    // ntfs-3g gives a new record the lowest free number from where its last one was taken in this
    // mount, starting a mount from the lowest and the next 8 after a freed number.
    std::vector<std::function<bool()>> mounts;
    if (scan.layout == TakenLayout::kFileBelowFolder) {
        // x takes 64 and y1..y7 65..71, so that A takes 72; f1 then takes x's 64; t takes y1's 65,
        // so that B skips f1's 64 and takes A's 72.
        mounts.push_back([&] {
            for (const char* name : {"x", "y1", "y2", "y3", "y4", "y5", "y6", "y7"}) {
                if (!touch(name)) return false;
            }
            return std::filesystem::create_directory(mnt + "/A");
        });
        mounts.push_back([&] {
            return std::filesystem::remove(mnt + "/x") && std::filesystem::remove(mnt + "/y1") &&
                   testutil::WriteFileBytes(mnt + "/A/f1.bin", files["A/f1.bin"]);
        });
        mounts.push_back([&] {
            return touch("t") && std::filesystem::remove_all(mnt + "/A") > 0 &&
                   std::filesystem::create_directory(mnt + "/B");
        });
    } else {
        mounts.push_back([&] {
            std::filesystem::create_directories(mnt + "/A/S");
            for (const auto& [path, bytes] : files) {
                if (!testutil::WriteFileBytes(mnt + "/" + path, bytes)) return false;
            }
            return true;
        });
        mounts.push_back([&] {
            return std::filesystem::remove_all(mnt + "/A") > 0 && std::filesystem::create_directory(mnt + "/B");
        });
    }
    std::vector<u8> folderImage;
    for (size_t m = 0; m < mounts.size(); ++m) {
        struct stat folder = {};
        // ntfs-3g numbers its inodes by MFT record.
        ASSERT_TRUE(InNtfsMount(image, mnt, [&] { return mounts[m]() && (m != 0 || ::stat((mnt + "/A").c_str(), &folder) == 0); }))
            << "mount " << m;
        if (m == 0) folderImage = FindMftRecord(testutil::ReadFileBytes(image), u32(folder.st_ino), true);
    }
    ASSERT_FALSE(folderImage.empty());
    if (scan.layout == TakenLayout::kJournalHoldsFolder) {
        // ntfs-3g keeps no journal: the one a driver that does would have left is laid in.
        std::vector<u8> bytes = testutil::ReadFileBytes(image);
        const u64 journal = JournalOffset(bytes);
        ASSERT_NE(journal, 0u);
        ntfslogtest::LogWriter writer(ntfslog::kFirstRecordPage + 1);
        writer.Append(0x100, ntfslogtest::ImageRecord(0x100, folderImage));
        const std::vector<std::vector<u8>> pages = writer.DevicePages();
        const std::vector<u8>& page = pages[ntfslog::kFirstRecordPage];
        ASSERT_LE(journal + (ntfslog::kFirstRecordPage + 1) * ntfslogtest::kPage, bytes.size());
        const u64 pageAt = journal + u64(ntfslog::kFirstRecordPage) * ntfslogtest::kPage;
        std::copy(page.begin(), page.end(), bytes.begin() + long(pageAt));
        ASSERT_TRUE(testutil::WriteFileBytes(image, bytes));
    }

    const std::string out = tmp.File("out");
    ASSERT_EQ(e2e::RunDriver({"--image", image, "--mode", scan.mode, "--volume", scan.volume, "--lost-reason", "1",
                              "--recover", out},
                             tmp.Path(), tmp.File("scan.log")),
              0);
    const std::vector<std::string> volumes = e2e::ListEntries(out);
    ASSERT_EQ(volumes.size(), 1u);
    const std::map<std::string, std::string> written = HashTree(TopFolder(out + "/" + volumes[0]));
    const bool inJournal = scan.layout == TakenLayout::kJournalHoldsFolder;
    for (const auto& [path, bytes] : files) {
        // Below the lost-files folder without the deleted folder's own name, or in the folder
        // the journal gave back.
        const std::string expected = inJournal ? path : scan.lostFolder + path.substr(1);
        const auto it = written.find(expected);
        ASSERT_NE(it, written.end()) << expected;
        EXPECT_EQ(it->second, testutil::Sha256Hex(bytes.data(), bytes.size())) << path;
    }
    for (const auto& w : written) EXPECT_NE(w.first.compare(0, 2, "B/"), 0) << w.first;
}

INSTANTIATE_TEST_SUITE_P(
    Scans, FolderRecordTakenByANewFolder,
    ::testing::Values(TakenFolderScan{"deleted", "0", "LostFiles", TakenLayout::kFolderFirst},
                      TakenFolderScan{"complete", "disk:0", "Other lost files", TakenLayout::kFolderFirst},
                      TakenFolderScan{"deleted", "0", "LostFiles", TakenLayout::kFileBelowFolder},
                      TakenFolderScan{"complete", "disk:0", "Other lost files", TakenLayout::kFileBelowFolder},
                      TakenFolderScan{"deleted", "0", "LostFiles", TakenLayout::kJournalHoldsFolder},
                      TakenFolderScan{"complete", "disk:0", "Other lost files", TakenLayout::kJournalHoldsFolder}),
    TakenFolderScanName);

}  // namespace
