// The complete scan of exFAT volumes made by the system's own tools (mkfs.exfat and the exFAT
// FUSE driver), end to end through the scan driver: a healthy volume with its own boot regions,
// cards quick-formatted over older folders, volumes whose boot regions are zeroed, and folders
// laid out byte by byte on volumes that mkfs.exfat made. Every file must come back under its own
// name with its own bytes, and no file of other bytes may stand under one of those names.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "E2ESupport.h"
#include "ExFatSets.h"
#include "TestUtil.h"
#include "ToolImage.h"
#include "platform/Types.h"

namespace {

using e2e::Json;
using testutil::FuseMount;
using testutil::kExFatAttrArchive;
using testutil::kExFatAttrFolder;
using testutil::LoopDevice;
using testutil::MakeExFatSet;
using testutil::MissingTools;
using testutil::RunQuiet;
using testutil::TempDir;

constexpr u32 kCluster = 4096;
constexpr u64 kSector = 512;
constexpr u64 kMiB = 1024 * 1024;
constexpr u32 kEntry = 32;
constexpr u32 kEndOfChain = 0xFFFFFFFFu;
// Both boot regions of a volume: twelve sectors each.
constexpr u64 kBootRegionsSectors = 24;

// Name -> bytes of every file a test wrote through the driver.
using Written = std::map<std::string, std::vector<u8>>;

class ExFatFiller {
public:
    explicit ExFatFiller(std::string mountPoint) : m_mount(std::move(mountPoint)) {}
    bool Folder(const std::string& path) { return std::filesystem::create_directories(m_mount + "/" + path); }
    bool File(const std::string& path, size_t size, u32 seed) {
        return Bytes(path, testutil::DistinctBytes(size, seed));
    }
    bool Bytes(const std::string& path, std::vector<u8> bytes) {
        std::ofstream out(m_mount + "/" + path, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
        out.close();
        if (!out) return false;
        m_written[path.substr(path.rfind('/') + 1)] = std::move(bytes);
        return true;
    }
    const Written& Files() const { return m_written; }

private:
    std::string m_mount;
    Written m_written;
};

std::string MissingExFatTools() { return MissingTools({"mkfs.exfat", "mount.exfat-fuse", "losetup", "umount"}); }

// An image of `megabytes` made by mkfs.exfat with 4 KiB clusters and filled through the driver.
void MakeToolVolume(const TempDir& dir, const std::string& image, u64 megabytes,
                    const std::function<void(ExFatFiller&)>& fill, Written& written) {
    const std::string mountPoint = dir.File("mnt");
    std::filesystem::create_directories(mountPoint);
    ASSERT_TRUE(RunQuiet("truncate -s " + std::to_string(megabytes) + "M " + image)) << "cannot make " << image;
    ASSERT_TRUE(RunQuiet("mkfs.exfat -c " + std::to_string(kCluster) + " " + image)) << "mkfs.exfat failed";
    LoopDevice loop(image);
    ASSERT_FALSE(loop.Path().empty()) << "no loop device for " << image;
    FuseMount mount({"mount.exfat-fuse", "-d", loop.Path(), mountPoint}, mountPoint);
    ASSERT_TRUE(mount.IsMounted()) << "mount.exfat-fuse could not mount " << loop.Path();
    ExFatFiller filler(mountPoint);
    fill(filler);
    ASSERT_TRUE(mount.Unmount()) << "the exFAT driver did not end cleanly";
    written = filler.Files();
}

// The driver's trace log goes to `tmp`'s folder "state/Morvenda".
int RunComplete(const TempDir& tmp, const std::string& image, const std::string& volume, const std::string& out,
                const std::string& name, const std::vector<std::string>& extra = {}) {
    std::filesystem::create_directories(tmp.File("cwd"));
    std::vector<std::string> args = {"--image", image, "--mode",    "complete",           "--volume",
                                     volume,    "--recover", out, "--json", tmp.File(name + ".json")};
    args.insert(args.end(), extra.begin(), extra.end());
    return e2e::RunDriver(args, tmp.File("cwd"), tmp.File(name + ".log"), {"XDG_STATE_HOME=" + tmp.File("state")});
}

std::string TraceLog(const TempDir& tmp) { return testutil::ReadFileText(tmp.File("state/Morvenda/MorvendaTrace.log")); }

// Every written file is below `out` under its own name with its own bytes, and every recovered
// file that bears one of those names holds that name's bytes.
void ExpectEveryFileOwnContent(const std::string& out, const Written& written) {
    std::map<std::string, size_t> good;
    size_t wrongContent = 0;
    for (const std::string& rel : e2e::ListFiles(out)) {
        const std::string name = e2e::LastComponent(rel);
        auto it = written.find(name);
        if (it == written.end()) continue;
        if (testutil::ReadFileBytes(out + "/" + rel) == it->second) {
            ++good[name];
        } else {
            ++wrongContent;
            ADD_FAILURE() << "another file's bytes under the name " << rel;
        }
    }
    size_t missing = 0;
    for (const auto& [name, bytes] : written) {
        if (good.count(name) == 0) {
            ++missing;
            ADD_FAILURE() << "not recovered with its bytes: " << name;
        }
    }
    EXPECT_EQ(missing, 0u) << "of " << written.size() << " files";
    EXPECT_EQ(wrongContent, 0u);
}

// Whether the trace log counts the recovered file `rel` incomplete.
bool CountedIncomplete(const std::string& log, const std::string& rel) {
    const std::string tail = "/" + rel + "\n";
    for (size_t at = log.find("Incomplete file"); at != std::string::npos; at = log.find("Incomplete file", at + 1)) {
        const size_t end = log.find('\n', at);
        if (end != std::string::npos && end + 1 >= tail.size() && log.compare(end + 1 - tail.size(), tail.size(), tail) == 0) {
            return true;
        }
    }
    return false;
}

constexpr const char* kNotePrefix = "quarterly figures";

// The folders below `out` that hold the recovered notes: a folder whose clusters lie apart comes
// back as one.
std::set<std::string> NoteFolders(const std::string& out) {
    std::set<std::string> folders;
    for (const std::string& rel : e2e::ListFiles(out)) {
        if (e2e::LastComponent(rel).rfind(kNotePrefix, 0) == 0) folders.insert(rel.substr(0, rel.rfind('/')));
    }
    return folders;
}

bool ZeroSectors(const std::string& image, u64 first, u64 count) {
    std::fstream f(image, std::ios::binary | std::ios::in | std::ios::out);
    const std::vector<char> zeros(count * kSector, 0);
    f.seekp(std::streamoff(first * kSector));
    f.write(zeros.data(), std::streamsize(zeros.size()));
    return bool(f);
}

// A healthy volume: three hundred small files in one folder and a few in the root. Copies of the
// root cluster past the volume's end (a disk larger than its volume) must not place a second
// volume over it either; an image cut short after the files (a failing card's partial copy) still
// holds the volume, which the log says is longer than the image. A file longer than the whole
// image, which the cut goes through, is still the volume's and is counted incomplete, and the
// files written after it are counted failed, also where both boot regions are gone and the
// folders alone place the volume. With the root directory gone too, folders made one after
// another and then filled in turn with files of several clusters are placed by their files'
// lengths: their full first clusters, side by side, would fit one larger cluster.
struct HealthyCase {
    const char* volume;
    u32 rootCopies;
    u64 cutMiB = 0;
    u64 largeMiB = 0;  // written before the root's other files
    bool bootGone = false;
    u32 folders = 1;
    bool rootGone = false;
};

class ExFatHealthyToolVolume : public ::testing::TestWithParam<HealthyCase> {};

TEST_P(ExFatHealthyToolVolume, EveryFileComesBackWithItsOwnBytes) {
    const std::string missing = MissingExFatTools();
    if (!missing.empty()) GTEST_SKIP() << "needs exfatprogs, exfat-fuse, losetup and umount; missing: " << missing;
    constexpr u64 kVolumeMiB = 64;
    constexpr u32 kFolderFiles = 300;
    constexpr u32 kRootCluster = 5;    // where mkfs.exfat puts it with 4 KiB clusters
    constexpr u64 kHeapSector = 4096;  // likewise
    constexpr u32 kLongestFile = 5;    // clusters, where the files are spread over several folders
    const HealthyCase& t = GetParam();
    const bool pastCut = t.largeMiB != 0;
    TempDir tmp;
    const std::string image = tmp.File("healthy.img");
    Written written;
    MakeToolVolume(tmp, image, kVolumeMiB, [&t](ExFatFiller& f) {
        const auto folder = [&t](u32 i) { return "Docs" + (t.folders > 1 ? std::to_string(i % t.folders) : std::string()); };
        for (u32 k = 0; k < t.folders; ++k) ASSERT_TRUE(f.Folder(folder(k)));
        for (u32 i = 0; i < kFolderFiles; ++i) {
            const size_t size = t.folders > 1 ? 1000 + (i % kLongestFile) * kCluster : 1000;
            ASSERT_TRUE(f.File(folder(i) + "/file_" + std::to_string(i) + ".dat", size, i + 1));
        }
        // Files written after the large one lie past the cut, listed where the cut leaves them.
        std::string late;
        if (t.largeMiB != 0) {
            ASSERT_TRUE(f.File("video.raw", t.largeMiB * kMiB, 1003));
            late = "Docs/";
        }
        ASSERT_TRUE(f.File(late + "readme.txt", 3000, 1001));
        ASSERT_TRUE(f.File(late + "photo.raw", 3 * kCluster + 100, 1002));
    }, written);
    if (HasFatalFailure()) return;
    // The root's own files go with it.
    if (pastCut || t.rootGone) {
        for (const char* name : {"video.raw", "readme.txt", "photo.raw"}) written.erase(name);
    }
    if (t.rootCopies != 0) {
        std::vector<u8> bytes = testutil::ReadFileBytes(image);
        const u64 rootOffset = (kHeapSector + (kRootCluster - 2) * (kCluster / kSector)) * kSector;
        const std::vector<u8> root(bytes.begin() + i64(rootOffset), bytes.begin() + i64(rootOffset + kCluster));
        bytes.resize(bytes.size() + 4 * kMiB, 0);
        for (u32 k = 0; k < t.rootCopies; ++k) {
            std::memcpy(bytes.data() + kVolumeMiB * kMiB + (7 + 13 * k) * kCluster, root.data(), root.size());
        }
        ASSERT_TRUE(testutil::WriteFileBytes(image, bytes));
    }
    if (t.cutMiB != 0) std::filesystem::resize_file(image, t.cutMiB * kMiB);
    if (t.bootGone) {
        ASSERT_TRUE(ZeroSectors(image, 0, kBootRegionsSectors));
    }
    if (t.rootGone) {
        ASSERT_TRUE(ZeroSectors(image, kHeapSector + (kRootCluster - 2) * (kCluster / kSector), kCluster / kSector));
    }

    const std::string out = tmp.File("recovered");
    EXPECT_EQ(RunComplete(tmp, image, t.volume, out, "run"), pastCut ? 1 : 0);
    Json report;
    ASSERT_TRUE(testutil::ReadJsonFile(tmp.File("run.json"), report));
    EXPECT_EQ(u64(report["recovered"]["incomplete"].number), pastCut ? 1u : 0u);
    EXPECT_EQ(u64(report["recovered"]["failed"].number), pastCut ? 2u : 0u);
    ASSERT_EQ(report["scans"].items.size(), 1u);
    const Json& found = report["scans"].items[0]["found_partitions"];
    ASSERT_EQ(found.items.size(), 1u);
    ExpectEveryFileOwnContent(out, written);
    // Without its boot regions the volume is placed by its folders and FAT, not by its start.
    if (t.bootGone) return;
    EXPECT_EQ(u64(found.items[0]["start_sector"].number), 0u);
    if (t.cutMiB != 0) {
        EXPECT_EQ(u64(found.items[0]["sectors"].number), t.cutMiB * kMiB / kSector);
        EXPECT_NE(TraceLog(tmp).find("exFAT volume of " + std::to_string(kVolumeMiB * kMiB / kSector) +
                                     " sectors, of which the device holds " + std::to_string(t.cutMiB * kMiB / kSector)),
                  std::string::npos);
    }
}

INSTANTIATE_TEST_SUITE_P(Scans, ExFatHealthyToolVolume,
                         ::testing::Values(HealthyCase{"0", 0}, HealthyCase{"disk:0", 0}, HealthyCase{"disk:0", 2},
                                           HealthyCase{"disk:0", 0, 40}, HealthyCase{"disk:0", 0, 40, 48},
                                           HealthyCase{"disk:0", 0, 40, 48, true},
                                           HealthyCase{"disk:0", 0, 0, 0, true, 4, true}),
                         [](const ::testing::TestParamInfo<HealthyCase>& info) {
                             const HealthyCase& c = info.param;
                             return std::string(c.volume[0] == 'd' ? "WholeDisk" : "Volume") +
                                    std::to_string(c.rootCopies) + "RootCopies" +
                                    (c.cutMiB != 0 ? "CutTo" + std::to_string(c.cutMiB) + "MiB" : "") +
                                    (c.largeMiB != 0 ? "With" + std::to_string(c.largeMiB) + "MiBFile" : "") +
                                    (c.bootGone ? "WithoutBootRegions" : "") +
                                    (c.folders > 1 ? "In" + std::to_string(c.folders) + "Folders" : "") +
                                    (c.rootGone ? "WithoutRoot" : "");
                         });

// A folder of long names over three clusters that the driver took one after a large file each,
// so that they lie apart and entry sets are cut where the first two clusters end.
void FillNotesApart(ExFatFiller& f) {
    constexpr u32 kNotes = 60;
    constexpr u32 kBlockerEvery = 20;
    ASSERT_TRUE(f.Folder("Notes"));
    for (u32 i = 0; i < kNotes; ++i) {
        char name[96];
        std::snprintf(name, sizeof(name), "Notes/%s of the regional office number %02u.csv", kNotePrefix, unsigned(i));
        ASSERT_TRUE(f.File(name, 700 + i, 2000 + i));
        if (i % kBlockerEvery == kBlockerEvery / 2) {
            ASSERT_TRUE(f.File("between" + std::to_string(i) + ".bin", 50 * kCluster, 3000 + i));
        }
    }
}

TEST(ExFatToolScanE2E, QuickFormattedCardGivesBackTheFolderWhoseClustersLieApart) {
    const std::string missing = MissingExFatTools();
    if (!missing.empty()) GTEST_SKIP() << "needs exfatprogs, exfat-fuse, losetup and umount; missing: " << missing;
    TempDir tmp;
    const std::string image = tmp.File("card.img");
    Written written;
    MakeToolVolume(tmp, image, 128, FillNotesApart, written);
    if (HasFatalFailure()) return;
    // The quick format writes a new boot region, FAT, bitmap and root; the old folders stay.
    ASSERT_TRUE(RunQuiet("mkfs.exfat -c " + std::to_string(kCluster) + " " + image)) << "mkfs.exfat failed";
    // Only the notes are looked for: the large files were listed in the old root.
    for (auto it = written.begin(); it != written.end();) {
        it = it->first.rfind(kNotePrefix, 0) == 0 ? std::next(it) : written.erase(it);
    }

    const std::string out = tmp.File("recovered");
    ASSERT_EQ(RunComplete(tmp, image, "disk:0", out, "card"), 0);
    ExpectEveryFileOwnContent(out, written);
    // The folder's own entry went with the old root: it comes back whole as a lost folder.
    const std::set<std::string> folders = NoteFolders(out);
    ASSERT_EQ(folders.size(), 1u);
    EXPECT_NE(folders.begin()->find("Lost Folders/DIR"), std::string::npos) << *folders.begin();
}

// Both boot regions zeroed; with the FAT gone too, a folder's clusters that lie apart are tied
// only by the set cut across them.
class ExFatWithoutBootRegions : public ::testing::TestWithParam<bool> {};

TEST_P(ExFatWithoutBootRegions, FilesOfCutSetsComeBackUnderTheirNames) {
    const std::string missing = MissingExFatTools();
    if (!missing.empty()) GTEST_SKIP() << "needs exfatprogs, exfat-fuse, losetup and umount; missing: " << missing;
    constexpr u32 kFatOffsetField = 80;
    constexpr u32 kFatLengthField = 84;
    const bool fatGone = GetParam();
    TempDir tmp;
    const std::string image = tmp.File("noboot.img");
    Written written;
    MakeToolVolume(tmp, image, 64, [](ExFatFiller& f) {
        FillNotesApart(f);
        ASSERT_TRUE(f.Folder("Music/Live"));
        for (u32 i = 0; i < 25; ++i) {
            char name[96];
            std::snprintf(name, sizeof(name), "Music/Live/a recording made on the evening of day %02u.bin", unsigned(i));
            ASSERT_TRUE(f.File(name, 2 * kCluster + 10 * i, 4000 + i));
        }
    }, written);
    if (HasFatalFailure()) return;
    // The large files were written in one piece but their FAT chains are what place their clusters.
    for (auto it = written.begin(); fatGone && it != written.end();) {
        it = it->first.rfind("between", 0) == 0 ? written.erase(it) : std::next(it);
    }
    const std::vector<u8> boot = testutil::ReadFileBytes(image);
    ASSERT_GE(boot.size(), kSector);
    ASSERT_TRUE(ZeroSectors(image, 0, kBootRegionsSectors));
    if (fatGone) {
        ASSERT_TRUE(ZeroSectors(image, ReadLE32(boot.data() + kFatOffsetField), ReadLE32(boot.data() + kFatLengthField)));
    }

    const std::string out = tmp.File("recovered");
    ASSERT_EQ(RunComplete(tmp, image, "disk:0", out, "noboot"), 0);
    ExpectEveryFileOwnContent(out, written);
    // The root names the folder: both of its clusters come back under its own name.
    const std::set<std::string> folders = NoteFolders(out);
    ASSERT_EQ(folders.size(), 1u);
    EXPECT_EQ(e2e::LastComponent(*folders.begin()), "Notes");
}

INSTANTIATE_TEST_SUITE_P(Fat, ExFatWithoutBootRegions, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return std::string(info.param ? "FatGone" : "FatKept");
                         });

// A card whose note and recording were deleted (or the recording moved into NEW) before a picture
// went into NEW or the root: where the picture took their clusters they are counted incomplete in
// both scans; where their clusters stayed free, or the moved file holds them, they are whole.
struct TakenCase {
    u32 clusterBytes;
    bool pictureInFolder;
    u32 taken;  // of the deleted files the scans still list
    bool recordingMoved = false;
};

class ExFatDeletedFilesTaken : public ::testing::TestWithParam<TakenCase> {};

TEST_P(ExFatDeletedFilesTaken, AreCountedIncompleteWhereALaterFileHoldsTheirClusters) {
    if (!MissingExFatTools().empty()) GTEST_SKIP() << "needs exfatprogs, exfat-fuse, losetup and umount";
    const TakenCase& t = GetParam();
    TempDir tmp;
    const std::string image = tmp.File("card.img");
    const std::string mnt = tmp.File("mnt");
    std::filesystem::create_directories(mnt);
    std::filesystem::create_directories(tmp.File("cwd"));
    ASSERT_TRUE(RunQuiet("truncate -s 64M " + image + " && mkfs.exfat -c " + std::to_string(t.clusterBytes) + " " + image));
    const Written deleted = {{"NOTES.TXT", testutil::DistinctBytes(15000, 1)}, {"OLD.MP3", testutil::DistinctBytes(60000, 2)}};
    LoopDevice loop(image);
    for (const bool later : {false, true}) {  // a mount for each session of the card's
        FuseMount mount({"mount.exfat-fuse", "-d", loop.Path(), mnt}, mnt);
        ASSERT_TRUE(mount.IsMounted());
        ExFatFiller f(mnt);
        if (!later) {
            ASSERT_TRUE(f.Folder("NEW") && f.Bytes("NOTES.TXT", deleted.at("NOTES.TXT")) && f.Bytes("OLD.MP3", deleted.at("OLD.MP3")));
        } else {
            std::filesystem::remove(mnt + "/NOTES.TXT");
            if (t.recordingMoved) {
                std::filesystem::rename(mnt + "/OLD.MP3", mnt + "/NEW/OLD.MP3");
            } else {
                std::filesystem::remove(mnt + "/OLD.MP3");
            }
            ASSERT_TRUE(f.File(t.pictureInFolder ? "NEW/PIC.PNG" : "PIC.PNG", 120000, 3));
        }
        ASSERT_TRUE(mount.Unmount());
    }
    for (const char* mode : {"deleted", "complete"}) {
        SCOPED_TRACE(mode);
        const std::string out = tmp.File(mode);
        const std::string state = tmp.File(std::string(mode) + "-state");
        e2e::RunDriver({"--image", image, "--mode", mode, "--volume", mode[0] == 'c' ? "disk:0" : "0", "--recover", out},
                       tmp.File("cwd"), tmp.File("driver.log"), {"XDG_STATE_HOME=" + state});
        const std::string log = testutil::ReadFileText(state + "/Morvenda/MorvendaTrace.log");
        u32 taken = 0;
        for (const std::string& rel : e2e::ListFiles(out)) {
            auto it = deleted.find(e2e::LastComponent(rel));
            if (it == deleted.end()) continue;
            const bool own = testutil::ReadFileBytes(out + "/" + rel) == it->second;
            EXPECT_EQ(CountedIncomplete(log, rel), !own) << rel;
            taken += own ? 0 : 1;
        }
        EXPECT_EQ(taken, t.taken);
    }
}

INSTANTIATE_TEST_SUITE_P(Cards, ExFatDeletedFilesTaken,
                         ::testing::Values(TakenCase{512, true, 2}, TakenCase{512, false, 1}, TakenCase{4096, true, 2},
                                           TakenCase{4096, false, 1}, TakenCase{131072, true, 1},
                                           TakenCase{131072, false, 0}, TakenCase{4096, true, 1, true}),
                         [](const ::testing::TestParamInfo<TakenCase>& info) {
                             const TakenCase& c = info.param;
                             return std::to_string(c.clusterBytes) + (c.pictureInFolder ? "InAFolder" : "InTheRoot") +
                                    (c.recordingMoved ? "RecordingMoved" : "");
                         });

// A volume whose boot regions and root are gone, and a sound volume after it on the same disk:
// the layout the lost one's folders give stands beside the sound one, and neither loses a file.
TEST(ExFatToolScanE2E, LostVolumeBeforeASoundOneComesBackBesideIt) {
    const std::string missing = MissingExFatTools();
    if (!missing.empty()) GTEST_SKIP() << "needs exfatprogs, exfat-fuse, losetup and umount; missing: " << missing;
    constexpr u64 kVolumeMiB = 32;
    constexpr u32 kRootCluster = 5;    // where mkfs.exfat puts it with 4 KiB clusters
    constexpr u64 kHeapSector = 4096;  // likewise
    TempDir tmp;
    Written lost, sound;
    MakeToolVolume(tmp, tmp.File("lost.img"), kVolumeMiB, [](ExFatFiller& f) {
        ASSERT_TRUE(f.Folder("Albums/Summer"));
        for (u32 i = 0; i < 30; ++i) ASSERT_TRUE(f.File("Albums/Summer/beach " + std::to_string(i) + ".jpg", 5000 + i, 5000 + i));
        ASSERT_TRUE(f.Folder("Albums/Winter"));
        for (u32 i = 0; i < 30; ++i) ASSERT_TRUE(f.File("Albums/Winter/snow " + std::to_string(i) + ".jpg", 6000 + i, 6000 + i));
    }, lost);
    if (HasFatalFailure()) return;
    MakeToolVolume(tmp, tmp.File("sound.img"), kVolumeMiB, [](ExFatFiller& f) {
        ASSERT_TRUE(f.Folder("Letters"));
        for (u32 i = 0; i < 40; ++i) ASSERT_TRUE(f.File("Letters/letter " + std::to_string(i) + ".txt", 900 + i, 7000 + i));
    }, sound);
    if (HasFatalFailure()) return;
    std::vector<u8> disk = testutil::ReadFileBytes(tmp.File("lost.img"));
    const u8* boot = disk.data();
    ASSERT_EQ(ReadLE32(boot + 88), kHeapSector);
    ASSERT_EQ(ReadLE32(boot + 96), kRootCluster);
    std::fill(disk.begin(), disk.begin() + i64(kBootRegionsSectors * kSector), u8(0));
    const u64 root = (kHeapSector + (kRootCluster - 2) * (kCluster / kSector)) * kSector;
    std::fill(disk.begin() + i64(root), disk.begin() + i64(root + kCluster), u8(0));
    const std::vector<u8> second = testutil::ReadFileBytes(tmp.File("sound.img"));
    disk.insert(disk.end(), second.begin(), second.end());
    const std::string image = tmp.File("disk.img");
    ASSERT_TRUE(testutil::WriteFileBytes(image, disk));

    const std::string out = tmp.File("recovered");
    std::filesystem::create_directories(tmp.File("cwd"));
    const std::vector<std::string> args = {"--image", image, "--mode", "complete", "--volume", "disk:0", "--recover", out,
                                           "--json", tmp.File("two.json"), "--lost-reason", "1"};
    ASSERT_EQ(e2e::RunDriver(args, tmp.File("cwd"), tmp.File("two.log")), 0);
    Json report;
    ASSERT_TRUE(testutil::ReadJsonFile(tmp.File("two.json"), report));
    std::set<u64> starts;
    for (const Json& f : report["scans"].items[0]["found_partitions"].items) starts.insert(u64(f["start_sector"].number));
    EXPECT_EQ(starts.count(kVolumeMiB * kMiB / kSector), 1u) << "the sound volume is not among the found ones";
    Written all = lost;
    all.insert(sound.begin(), sound.end());
    ExpectEveryFileOwnContent(out, all);
}

// The clusters of the root's first folder, followed through the FAT, that end inside a set of 18
// or 19 entries after its first or second entry.
size_t LongSetsCutAtClusterEnds(const std::vector<u8>& image) {
    constexpr u8 kFileEntry = 0x85;
    constexpr u8 kLongestSecondaries = 17;
    const u64 fat = u64(ReadLE32(image.data() + 80)) * kSector;
    auto clusterAt = [&](u32 cluster) { return u64(ReadLE32(image.data() + 88)) * kSector + u64(cluster - 2) * kCluster; };
    u32 folder = 0;
    const u64 root = clusterAt(ReadLE32(image.data() + 96));
    for (u64 at = root; at + 2 * kEntry <= root + kCluster && folder == 0; at += kEntry) {
        if (image[at] == kFileEntry && (ReadLE16(&image[at + 4]) & 0x10) != 0) folder = ReadLE32(&image[at + kEntry + 20]);
    }
    size_t cut = 0;
    for (u32 cluster = folder, steps = 0; cluster >= 2 && cluster < 0xFFFFFFF7u && steps < 64; ++steps) {
        const u64 end = clusterAt(cluster) + kCluster;
        if (end > image.size()) break;
        const u8* last = &image[end - kEntry];
        const u8* before = last - kEntry;
        cut += (last[0] == kFileEntry && last[1] >= kLongestSecondaries) ||
               (before[0] == kFileEntry && before[1] >= kLongestSecondaries && last[0] == 0xC0);  // a stream entry
        cluster = ReadLE32(&image[fat + 4 * u64(cluster)]);
    }
    return cut;
}

// Names of 226 to 255 characters make sets of 18 and 19 entries; where a folder's cluster ends
// after the first or the second entry of one, the rest of the set begins the folder's next
// cluster, which lies apart after a large file. A 4 MiB exFAT volume stored as a file follows,
// then another folder. With the boot regions and the FAT gone only the cut sets tie the clusters:
// every file comes back under its long name, and the stored volume, being a file's content, does
// not end the volume around it.
TEST(ExFatToolScanE2E, LongNamesCutNearTheirStartAndFilesAfterAStoredVolumeComeBack) {
    const std::string missing = MissingExFatTools();
    if (!missing.empty()) GTEST_SKIP() << "needs exfatprogs, exfat-fuse, losetup and umount; missing: " << missing;
    constexpr u32 kFatOffsetField = 80;
    constexpr u32 kFatLengthField = 84;
    constexpr u32 kEntriesPerCluster = kCluster / 32;
    // Names of up to 15 characters take three entries, of 16 to 30 four.
    constexpr u32 kShortSet = 3;
    constexpr u32 kMiddleSet = 4;
    struct Cut {
        u32 nameLength;
        u32 entriesBefore;  // of the set, before the cluster's end
    };
    const Cut cuts[] = {{255, 1}, {241, 2}, {230, 1}};
    TempDir tmp;
    const std::string stored = tmp.File("stored.img");
    ASSERT_TRUE(RunQuiet("truncate -s 4M " + stored + " && mkfs.exfat -c " + std::to_string(kCluster) + " " + stored));
    const std::string image = tmp.File("long.img");
    Written written;
    u32 seed = 11000;
    MakeToolVolume(tmp, image, 64, [&](ExFatFiller& f) {
        ASSERT_TRUE(f.Folder("Long"));
        u32 used = 0;  // entries of the folder's current cluster
        u32 shortNames = 0;
        auto pad = [&](u32 entries) {
            const std::string n = std::to_string(100 + shortNames++);
            ASSERT_TRUE(f.File((entries == kMiddleSet ? "Long/a middle sized name " : "Long/p") + n + ".txt", 500, seed++));
            used += entries;
        };
        for (size_t c = 0; c < std::size(cuts); ++c) {
            // Fill the cluster up to where the long set must begin.
            const u32 room = kEntriesPerCluster - cuts[c].entriesBefore - used;
            for (u32 left = room; left != 0;) {
                const u32 entries = left % kShortSet != 0 && left >= kMiddleSet ? kMiddleSet : kShortSet;
                ASSERT_LE(entries, left) << "no sets fill " << room << " entries";
                pad(entries);
                left -= entries;
            }
            ASSERT_TRUE(f.File("between" + std::to_string(c) + ".bin", 40 * kCluster, seed++));
            std::string name = "Long/";
            while (name.size() < 5 + cuts[c].nameLength) name += "a long name " + std::to_string(c) + " ";
            name.resize(5 + cuts[c].nameLength);
            ASSERT_TRUE(f.File(name, 700 + c, seed++));
            used = 2 + (cuts[c].nameLength + 14) / 15 - cuts[c].entriesBefore;
        }
        for (u32 i = 0; i < 5; ++i) pad(kShortSet);
        ASSERT_TRUE(f.Bytes("disk image.img", testutil::ReadFileBytes(stored)));
        ASSERT_TRUE(f.Folder("After"));
        for (u32 i = 0; i < 40; ++i) ASSERT_TRUE(f.File("After/after " + std::to_string(i) + ".txt", 3000 + i, 9000 + i));
    }, written);
    if (HasFatalFailure()) return;
    for (auto it = written.begin(); it != written.end();) {
        it = it->first.rfind("between", 0) == 0 ? written.erase(it) : std::next(it);
    }
    const std::vector<u8> boot = testutil::ReadFileBytes(image);
    ASSERT_GE(boot.size(), kSector);
    EXPECT_EQ(LongSetsCutAtClusterEnds(boot), std::size(cuts)) << "the driver laid the folder out otherwise";
    ASSERT_TRUE(ZeroSectors(image, 0, kBootRegionsSectors));
    ASSERT_TRUE(ZeroSectors(image, ReadLE32(boot.data() + kFatOffsetField), ReadLE32(boot.data() + kFatLengthField)));

    const std::string out = tmp.File("recovered");
    ASSERT_EQ(RunComplete(tmp, image, "disk:0", out, "long", {"--lost-reason", "1"}), 0);
    ExpectEveryFileOwnContent(out, written);
}

// Folder -> file name -> bytes that must come back there.
using Expected = std::map<std::string, std::map<std::string, std::vector<u8>>>;

// An image that mkfs.exfat made, patched in memory and written back.
struct ToolVolume {
    std::vector<u8> bytes;
    u64 fat = 0;   // byte offsets
    u64 heap = 0;
    u32 clusterBytes = 0;
    u32 root = 0;

    bool Make(const std::string& image, u64 megabytes, u32 cluster, const std::string& options = "") {
        if (!RunQuiet("truncate -s " + std::to_string(megabytes) + "M " + image + " && mkfs.exfat -c " +
                      std::to_string(cluster) + " " + options + " " + image)) {
            return false;
        }
        bytes = testutil::ReadFileBytes(image);
        if (bytes.size() < kSector) return false;
        fat = u64(ReadLE32(bytes.data() + 80)) * kSector;
        heap = u64(ReadLE32(bytes.data() + 88)) * kSector;
        clusterBytes = u32(kSector) << bytes[109];
        root = ReadLE32(bytes.data() + 96);
        return clusterBytes == cluster;
    }
    u8* Cluster(u32 cluster) { return bytes.data() + heap + u64(cluster - 2) * clusterBytes; }
    void SetFat(u32 cluster, u32 value) { WriteLE32(bytes.data() + fat + u64(cluster) * 4, value); }
    void Lay(const std::vector<u32>& clusters, const std::vector<u8>& entries) {
        testutil::LayExFatEntries(clusters, entries, clusterBytes, [this](u32 c) { return Cluster(c); });
    }
    // Appends a set to the root directory, after the entries mkfs.exfat wrote.
    void AddToRoot(const std::vector<u8>& set) {
        u8* dir = Cluster(root);
        while (*dir != 0) dir += kEntry;
        std::copy(set.begin(), set.end(), dir);
    }
    // A file of one cluster at `cluster` without a FAT chain.
    std::vector<u8> File(const std::string& name, u32 cluster, const std::vector<u8>& content) {
        std::copy(content.begin(), content.end(), Cluster(cluster));
        return MakeExFatSet(name, cluster, content.size(), kExFatAttrArchive, true);
    }
};

void Append(std::vector<u8>& to, const std::vector<u8>& set) { to.insert(to.end(), set.begin(), set.end()); }

// The files of this folder need not come back, but wherever one of their names comes back it
// holds that file's bytes.
constexpr const char* kAnyFolder = "*";
// A folder key that begins so names files counted incomplete, beginning with the bytes given.
constexpr char kCountedIncomplete = '?';

// Whether the folder path ends with the folder (one name, or a path of them).
bool FolderEndsWith(const std::string& path, const std::string& folder) {
    if (path.size() < folder.size() || path.compare(path.size() - folder.size(), folder.size(), folder) != 0) return false;
    return path.size() == folder.size() || path[path.size() - folder.size() - 1] == '/';
}

// Every expected file stands below its own folder with its bytes, and is counted whole exactly
// when it is expected whole (`log` is the scan's trace log); a file of another folder (a lost
// folder of stale entries) may bear the same name.
void ExpectFilesInTheirFolders(const std::string& out, const Expected& expected, const std::string& log) {
    std::set<std::pair<std::string, std::string>> placed;
    const auto anywhere = expected.find(kAnyFolder);
    for (const std::string& rel : e2e::ListFiles(out)) {
        const std::string name = e2e::LastComponent(rel);
        const std::vector<u8> bytes = testutil::ReadFileBytes(out + "/" + rel);
        if (anywhere != expected.end() && anywhere->second.count(name) != 0) {
            EXPECT_TRUE(bytes == anywhere->second.at(name)) << "another file's bytes: " << rel;
            continue;
        }
        const std::string folderPath = rel.substr(0, rel.rfind('/'));
        const bool incomplete = CountedIncomplete(log, rel);
        for (const auto& [key, files] : expected) {
            const bool partial = !key.empty() && key[0] == kCountedIncomplete;
            auto file = files.find(name);
            if (key == kAnyFolder || file == files.end() || !FolderEndsWith(folderPath, partial ? key.substr(1) : key)) continue;
            if (partial) {
                EXPECT_TRUE(incomplete) << "counted whole: " << rel;
                EXPECT_TRUE(bytes.size() >= file->second.size() && std::equal(file->second.begin(), file->second.end(), bytes.begin()))
                    << "not its own first bytes: " << rel;
            } else {
                EXPECT_TRUE(bytes == file->second) << "another file's bytes: " << rel;
                EXPECT_FALSE(incomplete) << "counted incomplete: " << rel;
            }
            placed.insert({key, name});
        }
    }
    for (const auto& [folder, files] : expected) {
        if (folder == kAnyFolder) continue;
        for (const auto& [name, bytes] : files) EXPECT_EQ(placed.count({folder, name}), 1u) << "not in " << folder << ": " << name;
    }
}

std::string Numbered(const char* format, u32 n) {
    char name[96];
    std::snprintf(name, sizeof(name), format, unsigned(n));
    return name;
}

// A volume formatted `shift` sectors past the start of the older one in `v`: mkfs.exfat writes its
// metadata and leaves the rest, so the older one's folders stay, often inside the new one's sectors.
struct FormatOver {
    u64 megabytes = 0;  // of the new volume
    u32 clusterBytes = 0;
    u64 shift = 0;
    bool keepBoot = false;  // the new volume's boot region stays; else both copies are zeroed
    bool olderHeapApart = true;  // the older heap begins 4 MiB in, past the new metadata; else with the new one's
    bool olderRootKept = false;  // the older root names Old; else it is zeroed
    bool newHeapApart = false;   // the new heap begins 4 MiB in, past the older one's start
    u32 middleClusterBytes = 0;  // of a 32 MiB volume formatted between the two (0: none), its DIR1 half way in
    bool olderChained = false;     // Old also lists two files whose clusters interleave, chained by the FAT
    bool olderBesideRoot = false;  // Old and Sub stand right after the older root, not three quarters in
    // The folder the older volume's tree stands in, where it stands in the new one's tree.
    const char* olderGuestFolder = nullptr;
};

// How each case lays its folders out; it fills `expected` with what must come back. A case whose
// expected files are all deleted ones runs the deleted-file scan of the volume too, and its log
// must hold `deletedScanLogs` when one is given.
struct LayoutCase {
    const char* name;
    u32 clusterBytes;
    void (*lay)(ToolVolume& v, Expected& expected);
    bool deletedScanToo = false;
    const char* deletedScanLogs = nullptr;
    // Rows without `lay`: a volume formatted over the older one that `clusterBytes` gives.
    FormatOver over = {};
    u32 incompleteOthers = 0;  // files counted incomplete besides the expected ones
};

LayoutCase Over(const char* name, u32 olderClusterBytes, FormatOver over) {
    return {name, olderClusterBytes, nullptr, false, nullptr, over};
}

// Folder `folder` in the root, of `count` files named by `format` with their data from cluster
// `data` on, its entries laid over clusters `first` and `second` (chained by the FAT when
// `chained`). Gives back the entries.
std::vector<u8> LayFolder(ToolVolume& v, Expected& expected, const std::string& folder, const char* format, u32 count,
                          u32 first, u32 second, u32 data, bool chained) {
    std::vector<u8> entries;
    for (u32 i = 0; i < count; ++i) {
        const std::string name = Numbered(format, i);
        const std::vector<u8> content = testutil::DistinctBytes(100 + i, data + i);
        Append(entries, v.File(name, data + i, content));
        expected[folder][name] = content;
    }
    v.Lay({first, second}, entries);
    if (chained) v.SetFat(first, second), v.SetFat(second, kEndOfChain);
    v.AddToRoot(MakeExFatSet(folder, first, 2ull * v.clusterBytes, kExFatAttrFolder, false));
    return entries;
}

// Folder P (clusters 50 and 300 by its FAT chain) of 45 files, the set of file 25 cut at the end
// of its first cluster. A free cluster between the two begins with the same rest of that set and
// lists stale sets under the live names, pointing at other files' bytes.
void LayStaleLookAlike(ToolVolume& v, Expected& expected) {
    const char* kLive = "live file number %03u with a long name.txt";
    const u32 base = v.root + 45;
    const std::vector<u8> entries = LayFolder(v, expected, "P", kLive, 45, base, base + 250, base + 300, true);
    // The stale cluster: the rest of the cut set, then sets of the live names over wrong data.
    const size_t cutAt = v.clusterBytes;
    ASSERT_EQ(cutAt % (entries.size() / 45), 3u * kEntry) << "the cut falls after the set's first three entries";
    std::vector<u8> look(entries.begin() + i64(cutAt), entries.begin() + i64(cutAt + 2 * kEntry));
    for (u32 k = 0; k < 10; ++k) {
        Append(look, MakeExFatSet(Numbered(kLive, 26 + 2 * k), base + 300 + k, 20, kExFatAttrArchive, true));
        Append(look, v.File(Numbered("stale file %03u.txt", k), base + 400 + k, testutil::DistinctBytes(30, k)));
    }
    v.Lay({base + 150}, look);
}

// Folder Docs (clusters 6 and 32 by its FAT chain) of 40 files with one sector of its first
// cluster zeroed: the files whose sets touch that sector are gone, every other one stays in Docs.
void LayDocs(ToolVolume& v, Expected& expected, u32 zeroedSector) {
    const char* kName = "document number %02u with a long name.txt";
    const std::vector<u8> entries = LayFolder(v, expected, "Docs", kName, 40, v.root + 1, v.root + 27, v.root + 60, true);
    const size_t set = entries.size() / 40;
    for (u32 i = 0; i < 40 && i * set < v.clusterBytes; ++i) {
        if (i * set / kSector <= zeroedSector && ((i + 1) * set - 1) / kSector >= zeroedSector) {
            expected["Docs"].erase(Numbered(kName, i));
        }
    }
    std::fill_n(v.Cluster(v.root + 1) + u64(zeroedSector) * kSector, kSector, u8(0));
}

void LayDocsMiddleSectorZeroed(ToolVolume& v, Expected& expected) { LayDocs(v, expected, 3); }
void LayDocsFirstSectorZeroed(ToolVolume& v, Expected& expected) { LayDocs(v, expected, 0); }

// Folder BIG of two 512-byte clusters whose FAT entries are free: its last set is cut at the end
// of the first, and the second holds only the rest of that set.
void LayLastSetCut(ToolVolume& v, Expected& expected) {
    const std::vector<u8> entries = LayFolder(v, expected, "BIG", "f%u", 6, v.root + 40, v.root + 70, v.root + 100, false);
    ASSERT_GT(entries.size(), v.clusterBytes);
    ASSERT_LT(entries.size(), v.clusterBytes + kSector);
}

// Folder BIG of 300 512-byte clusters laid out backwards, each ending inside a set; its first
// cluster's FAT entry ends the chain, so only the cut sets tie its clusters.
void LayBackwardCutChain(ToolVolume& v, Expected& expected) {
    constexpr u32 kClusters = 300;
    const u32 entriesPerCluster = v.clusterBytes / kEntry;
    std::vector<u8> entries;
    for (u32 i = 0; entries.size() < u64(kClusters) * v.clusterBytes; ++i) {
        // A set that would end where a cluster ends gets a longer name, so that it runs over; its
        // number stands in its last name entry, so that no two cut sets end alike.
        std::string name = "e" + std::to_string(i);
        const u32 at = u32(entries.size() / kEntry) % entriesPerCluster;
        if ((at + 3) % entriesPerCluster == 0) name = "long name number " + std::to_string(i);
        Append(entries, MakeExFatSet(name, 0, 0, kExFatAttrArchive, false));
        if (entries.size() <= u64(kClusters) * v.clusterBytes) expected["BIG"][name] = {};
    }
    std::vector<u32> clusters;
    const u32 top = v.root + 40 + kClusters;
    for (u32 k = 0; k < kClusters; ++k) clusters.push_back(top - k);
    v.Lay(clusters, entries);
    v.SetFat(top, kEndOfChain);
    v.AddToRoot(MakeExFatSet("BIG", top, u64(kClusters) * v.clusterBytes, kExFatAttrFolder, false));
}

// Folders alpha and beta made one after the other, their clusters side by side and each full to
// its end, and both boot regions gone: the walker reads each pair of neighbours as one block.
void LayAdjacentFoldersNoBoot(ToolVolume& v, Expected& expected) {
    const u32 base = v.root + 1;
    // Sets of three entries: two clusters' worth, less one set.
    const u32 count = 2 * v.clusterBytes / (3 * kEntry) - 1;
    LayFolder(v, expected, "alpha", "a%03u.txt", count, base, base + 2, base + 10, true);
    LayFolder(v, expected, "beta", "b%03u.txt", count, base + 1, base + 3, base + 10 + count, true);
    std::fill_n(v.bytes.begin(), 24 * kSector, u8(0));
}

// A 4 MiB exFAT volume with one file stored as the content of the volume's file "disk image.img",
// beside a folder: the stored volume's root directory lies among the volume's clusters but
// counts its files' clusters from its own heap. Whatever comes back as its file holds that
// file's own bytes.
void LayStoredVolume(ToolVolume& v, Expected& expected) {
    TempDir tmp;
    ToolVolume inner;
    ASSERT_TRUE(inner.Make(tmp.File("inner.img"), 4, v.clusterBytes)) << "mkfs.exfat failed";
    const std::vector<u8> content = testutil::DistinctBytes(3000, 77);
    inner.AddToRoot(inner.File("inner_file.txt", inner.root + 3, content));
    expected[kAnyFolder]["inner_file.txt"] = content;
    const u32 at = v.root + 100;
    ASSERT_LE(v.heap + u64(at - 2) * v.clusterBytes + inner.bytes.size(), v.bytes.size());
    std::copy(inner.bytes.begin(), inner.bytes.end(), v.Cluster(at));
    v.AddToRoot(MakeExFatSet("disk image.img", at, inner.bytes.size(), kExFatAttrArchive, true));
    LayFolder(v, expected, "Before", "before %02u.txt", 10, v.root + 1, v.root + 2, v.root + 10, true);
}

void LayStoredVolumeWithoutBootRegions(ToolVolume& v, Expected& expected) {
    LayStoredVolume(v, expected);
    std::fill_n(v.bytes.begin(), 24 * kSector, u8(0));
}

constexpr u32 kChainedSetBytes = 4 * kEntry;  // names of 16 to 30 characters

// Folder `folder` in the root whose sets of four entries fill `clusters` to their ends (so that
// none is cut where a cluster ends), chained by the FAT; its files' data from cluster `data` on,
// the files deleted when `deletedFiles`.
void LayChainedFolder(ToolVolume& v, Expected& expected, const std::string& folder, const std::vector<u32>& clusters,
                      u32 data, bool deletedFiles = false) {
    const u32 count = u32(clusters.size()) * v.clusterBytes / kChainedSetBytes;
    std::vector<u8> entries;
    for (u32 i = 0; i < count; ++i) {
        const std::string name = folder + Numbered(" file number %03u.txt", i);
        const std::vector<u8> content = testutil::DistinctBytes(100 + i, data + i);
        Append(entries, v.File(name, data + i, content));
        if (deletedFiles) testutil::MarkExFatSetDeleted(entries.data() + entries.size() - kChainedSetBytes);
        expected[folder][name] = content;
    }
    v.Lay(clusters, entries);
    for (size_t k = 0; k < clusters.size(); ++k) v.SetFat(clusters[k], k + 1 < clusters.size() ? clusters[k + 1] : kEndOfChain);
    v.AddToRoot(MakeExFatSet(folder, clusters.front(), u64(clusters.size()) * v.clusterBytes, kExFatAttrFolder, false));
}

// Folders alpha and beta, their clusters interleaved past the entries of the FAT's first sector,
// and that sector zeroed: the boot sector stands, and the FAT's other sectors still chain them.
void LayInterleavedFoldersFirstFatSectorZeroed(ToolVolume& v, Expected& expected) {
    const u32 base = v.root + u32(kSector / 4);
    LayChainedFolder(v, expected, "alpha", {base, base + 3, base + 6}, base + 10);
    LayChainedFolder(v, expected, "beta", {base + 1, base + 4, base + 7}, base + 200);
    std::fill_n(v.bytes.begin() + i64(v.fat), kSector, u8(0));
}

// Folder Docs of deleted files over `clusters`, chained by the FAT, with `count` of its sectors
// from its `first` on (counted through its clusters) zeroed, as a failing card's copy gives what
// could not be read: every file whose set lies outside them comes back under Docs, in both scans.
void LayDeletedDocsZeroed(ToolVolume& v, Expected& expected, const std::vector<u32>& clusters, u64 first, u64 count) {
    LayChainedFolder(v, expected, "Docs", clusters, clusters.back() + 10, true);
    const u64 sectorsPerCluster = v.clusterBytes / kSector;
    for (u64 k = first; k < first + count; ++k) {
        std::fill_n(v.Cluster(clusters[k / sectorsPerCluster]) + (k % sectorsPerCluster) * kSector, kSector, u8(0));
        for (u64 set = k * kSector / kChainedSetBytes; set < (k + 1) * kSector / kChainedSetBytes; ++set) {
            expected["Docs"].erase("Docs" + Numbered(" file number %03u.txt", u32(set)));
        }
    }
}

void LayDeletedDocsMiddleSectorsZeroed(ToolVolume& v, Expected& expected) {
    LayDeletedDocsZeroed(v, expected, {v.root + 1, v.root + 4, v.root + 7}, 3, 2);
}
void LayDeletedDocsFirstSectorZeroed(ToolVolume& v, Expected& expected) {
    LayDeletedDocsZeroed(v, expected, {v.root + 1, v.root + 4, v.root + 7}, 0, 1);
}
// Two whole clusters of five zeroed.
void LayDeletedDocsClustersZeroed(ToolVolume& v, Expected& expected) {
    const u32 b = v.root + 1;
    LayDeletedDocsZeroed(v, expected, {b, b + 2, b + 4, b + 6, b + 8}, 1, 2);
}

// The FAT's first sector, which chains Docs, zeroed: Docs keeps the files of its first cluster,
// and the deleted-file scan says that the rest of it is missing.
void LayDeletedDocsFatSectorZeroed(ToolVolume& v, Expected& expected) {
    const std::vector<u32> clusters = {v.root + 1, v.root + 4, v.root + 7};
    LayChainedFolder(v, expected, "Docs", clusters, clusters.back() + 10, true);
    for (u32 set = v.clusterBytes / kChainedSetBytes; set < clusters.size() * v.clusterBytes / kChainedSetBytes; ++set) {
        expected["Docs"].erase("Docs" + Numbered(" file number %03u.txt", set));
    }
    std::fill_n(v.bytes.begin() + i64(v.fat), kSector, u8(0));
}

// Folder P lists four deleted folders side by side, each of two clusters; the live Q/Bk took the
// first cluster of Ak, whose deleted files lie in its second: each Ak keeps its own files.
void LayDisplacedFoldersSideBySide(ToolVolume& v, Expected& expected) {
    constexpr u32 kFolders = 4;
    constexpr u32 kFilesEach = 3;
    const u32 p = v.root + 1;
    const u32 q = v.root + 2;
    u32 data = v.root + 3 + 2 * kFolders;
    std::vector<u8> listedInP;
    std::vector<u8> listedInQ;
    for (u32 k = 1; k <= kFolders; ++k) {
        const u32 first = v.root + 1 + 2 * k;
        std::vector<u8> live;
        std::vector<u8> gone;
        for (u32 i = 1; i <= kFilesEach; ++i) {
            const std::string liveName = Numbered("b%u_", k) + Numbered("%u.dat", i);
            const std::string goneName = Numbered("a%u_", k) + Numbered("%u.dat", i);
            const std::vector<u8> liveBytes = testutil::DistinctBytes(50 + i, data);
            Append(live, v.File(liveName, data++, liveBytes));
            expected[kAnyFolder][liveName] = liveBytes;
            const std::vector<u8> goneBytes = testutil::DistinctBytes(70 + i, data);
            Append(gone, v.File(goneName, data++, goneBytes));
            testutil::MarkExFatSetDeleted(gone.data() + gone.size() - 3 * kEntry);
            expected[Numbered("A%u", k)][goneName] = goneBytes;
        }
        v.Lay({first}, live);
        v.Lay({first + 1}, gone);
        Append(listedInQ, MakeExFatSet(Numbered("B%u", k), first, v.clusterBytes, kExFatAttrFolder, true));
        std::vector<u8> folder = MakeExFatSet(Numbered("A%u", k), first, 2ull * v.clusterBytes, kExFatAttrFolder, true);
        testutil::MarkExFatSetDeleted(folder.data());
        Append(listedInP, folder);
    }
    v.Lay({p}, listedInP);
    v.Lay({q}, listedInQ);
    v.AddToRoot(MakeExFatSet("P", p, v.clusterBytes, kExFatAttrFolder, true));
    v.AddToRoot(MakeExFatSet("Q", q, v.clusterBytes, kExFatAttrFolder, true));
}

// The sets of files of `lengths` clusters less 100 bytes from cluster `data` on, each `step`
// clusters after the one before (0: right after it), deleted when `deleted`; they go to
// `expected[folder]`.
std::vector<u8> LayFiles(ToolVolume& v, Expected& expected, const std::string& folder, const std::string& format,
                         const std::vector<u32>& lengths, u32 data, bool deleted, u32 step = 0) {
    std::vector<u8> entries;
    for (u32 i = 0; i < lengths.size(); ++i) {
        const std::string name = Numbered(format.c_str(), i);
        const std::vector<u8> content = testutil::DistinctBytes(lengths[i] * v.clusterBytes - 100, data);
        Append(entries, v.File(name, data, content));
        if (deleted) testutil::MarkExFatSetDeleted(entries.data() + entries.size() - 3 * kEntry);
        expected[folder][name] = content;
        data += step != 0 ? step : lengths[i];
    }
    return entries;
}

// Live folder L beside three deleted folders made one after another and filled in turn, well
// after they were made: taken as folders that stand just before their first file, they would lie
// six clusters later than they do, and with the FAT found below that heap a second volume would
// start where the root's does, numbering every cluster of L's files differently.
void LayDeletedFoldersFilledLater(ToolVolume& v, Expected& expected) {
    const u32 r = v.root;
    constexpr u32 kFolders = 3;
    v.Lay({r + 1}, LayFiles(v, expected, "L", "l%02u.bin", {1, 2, 1}, r + 2, false));
    v.AddToRoot(MakeExFatSet("L", r + 1, v.clusterBytes, kExFatAttrFolder, true));
    for (u32 k = 0; k < kFolders; ++k) {
        const std::string format = Numbered("d%u_", k) + "%u.bin";
        v.Lay({r + 6 + k}, LayFiles(v, expected, kAnyFolder, format, {1, 1}, r + 15 + k, true, kFolders));
        std::vector<u8> set = MakeExFatSet(Numbered("D%u", k), r + 6 + k, v.clusterBytes, kExFatAttrFolder, true);
        testutil::MarkExFatSetDeleted(set.data());
        v.AddToRoot(set);
    }
    std::fill_n(v.bytes.begin(), kBootRegionsSectors * kSector, u8(0));
}

// A lone folder whose files of less than a cluster (32 KiB or more) each own two, its volume's boot
// regions and root zeroed: 4 KiB clusters fit the lengths too; the metadata and file ends tell.
void LayLoneFolderOfPaddedFiles(ToolVolume& v, Expected& expected) {
    const u32 old = v.root + 40;
    v.Lay({old}, LayFiles(v, expected, "DIR0", "padded%02u.bin", {1, 1, 1, 1, 1, 1}, old + 1, false, 2));
    std::fill_n(v.bytes.begin(), kBootRegionsSectors * kSector, u8(0));
    std::fill_n(v.Cluster(v.root), v.clusterBytes, u8(0));
}

// Two files of three clusters written in turns from cluster `at` on, chained by the FAT: without
// it only their first clusters are known to be theirs.
std::vector<u8> LayInterleavedFiles(ToolVolume& v, Expected& expected, const std::string& folder, u32 at) {
    std::vector<u8> entries;
    for (u32 k = 0; k < 2; ++k) {
        const std::string name = Numbered("frag%u.bin", k);
        const std::vector<u8> content = testutil::DistinctBytes(3 * v.clusterBytes - 100, 900 + k);
        for (u32 piece = 0; piece < 3; ++piece) {
            const u32 cluster = at + k + 2 * piece;
            const auto from = content.begin() + i64(piece) * v.clusterBytes;
            std::copy(from, from + std::min<i64>(v.clusterBytes, content.end() - from), v.Cluster(cluster));
            v.SetFat(cluster, piece < 2 ? cluster + 2 : kEndOfChain);
        }
        Append(entries, MakeExFatSet(name, at + k, content.size(), kExFatAttrArchive, false));
        expected[std::string(1, kCountedIncomplete) + folder][name].assign(content.begin(), content.begin() + v.clusterBytes);
    }
    return entries;
}

// The older volume's Old, three quarters in (or right after its root), lists its files and Sub;
// the new root lists New. Each file comes back with its bytes in its folder; Old without its root
// is the first lost folder.
void LayFormattedOver(ToolVolume& v, Expected& expected, const FormatOver& over) {
    constexpr u64 kOlderMegabytes = 32;
    constexpr u64 kNewMetadataClusters = 16;  // past its files, as mkfs.exfat may write them
    TempDir tmp;
    ToolVolume older;
    ASSERT_TRUE(older.Make(tmp.File("older.img"), kOlderMegabytes, v.clusterBytes, over.olderHeapApart ? "-b 2M" : ""));
    const u32 old = over.olderBesideRoot ? older.root + 1
                                         : u32((kOlderMegabytes * kMiB * 3 / 4 - older.heap) / older.clusterBytes + 2);
    const u32 sub = over.olderBesideRoot ? old + 1 : old + 9;
    const u32 oldData = over.olderBesideRoot ? sub + 1 : old + 1;
    const u32 subData = over.olderBesideRoot ? oldData + 8 : sub + 1;
    const std::string guest = over.olderGuestFolder != nullptr ? std::string(over.olderGuestFolder) + "/" : "";
    const std::string oldName = guest + (over.olderRootKept ? "Old" : guest.empty() ? "DIR0" : "Lost Folders/DIR0");
    std::vector<u8> listed = LayFiles(older, expected, oldName, "old%02u.bin", {2, 1, 3, 2}, oldData, false);
    older.Lay({sub}, LayFiles(older, expected, oldName + "/Sub", "sub%02u.bin", {1, 2}, subData, false));
    Append(listed, MakeExFatSet("Sub", sub, older.clusterBytes, kExFatAttrFolder, true));
    if (over.olderChained) Append(listed, LayInterleavedFiles(older, expected, oldName, subData + 3));
    older.Lay({old}, listed);
    older.AddToRoot(MakeExFatSet("Old", old, older.clusterBytes, kExFatAttrFolder, true));
    if (!over.olderRootKept) std::fill_n(older.Cluster(older.root), older.clusterBytes, u8(0));
    ASSERT_LT(older.heap + u64(subData + 9 - 2) * older.clusterBytes, older.bytes.size());

    std::vector<u8> disk = std::move(older.bytes);
    // What mkfs.exfat wrote of a volume, and its clusters [first, end), go over the disk at `at`.
    const auto layOver = [&disk](const ToolVolume& fresh, u64 at, u32 first, u32 end) {
        const u64 metadata = fresh.heap + u64(fresh.root + 1 + kNewMetadataClusters - 2) * fresh.clusterBytes;
        disk.resize(std::max<u64>(disk.size(), at + fresh.bytes.size()), 0);
        std::copy(fresh.bytes.begin(), fresh.bytes.begin() + i64(metadata), disk.begin() + i64(at));
        const u64 from = fresh.heap + u64(first - 2) * fresh.clusterBytes;
        const u64 to = fresh.heap + u64(end - 2) * fresh.clusterBytes;
        std::copy(fresh.bytes.begin() + i64(from), fresh.bytes.begin() + i64(to), disk.begin() + i64(at + from));
    };
    if (over.middleClusterBytes != 0) {
        ToolVolume middle;
        ASSERT_TRUE(middle.Make(tmp.File("middle.img"), kOlderMegabytes, over.middleClusterBytes));
        const u32 mid = u32((kOlderMegabytes * kMiB / 2 - middle.heap) / middle.clusterBytes + 2);
        middle.Lay({mid}, LayFiles(middle, expected, "DIR1", "mid%02u.bin", {1, 2, 1}, mid + 1, false));
        layOver(middle, 0, mid, mid + 5);
    }
    ToolVolume fresh;
    ASSERT_TRUE(fresh.Make(tmp.File("new.img"), over.megabytes, over.clusterBytes, over.newHeapApart ? "-b 2M" : ""));
    const u32 folder = fresh.root + 1;
    fresh.Lay({folder}, LayFiles(fresh, expected, "New", "new%02u.bin", {1, 2, 1}, folder + 1, false));
    fresh.AddToRoot(MakeExFatSet("New", folder, fresh.clusterBytes, kExFatAttrFolder, true));
    layOver(fresh, over.shift * kSector, folder, folder + 5);
    if (!over.keepBoot) std::fill_n(disk.begin() + i64(over.shift * kSector), kBootRegionsSectors * kSector, u8(0));
    v.bytes = std::move(disk);
}

constexpr const char* kDocsPassedOver = "exFAT folder \"Docs\" (first cluster ";

const LayoutCase kLayouts[] = {
    {"InterleavedFoldersKeepTheirChainsWithTheFirstFatSectorZeroed", 4096, LayInterleavedFoldersFirstFatSectorZeroed},
    {"StoredVolumeKeepsItsFolders", 4096, LayStoredVolume},
    {"StoredVolumeKeepsItsFoldersWithoutBootRegions", 4096, LayStoredVolumeWithoutBootRegions},
    // The ten stale sets under live names hold live files' bytes.
    {"StaleLookAlikeClusterStaysOutOfTheFolder", 4096, LayStaleLookAlike, false, nullptr, {}, 10},
    {"ZeroedMiddleSectorCostsOnlyItsSets", 4096, LayDocsMiddleSectorZeroed},
    {"ZeroedFirstSectorCostsOnlyItsSets", 4096, LayDocsFirstSectorZeroed},
    {"LastSetCutIntoAClusterOfItsOwn", 512, LayLastSetCut},
    {"FolderTiedOnlyByCutSetsLaidBackwards", 512, LayBackwardCutChain},
    {"FoldersSideBySideWithoutBootRegions4K", 4096, LayAdjacentFoldersNoBoot},
    {"FoldersSideBySideWithoutBootRegions16K", 16384, LayAdjacentFoldersNoBoot},
    {"DeletedFilesPastZeroedSectors", 4096, LayDeletedDocsMiddleSectorsZeroed, true, kDocsPassedOver},
    {"DeletedFilesPastAZeroedFirstSector", 4096, LayDeletedDocsFirstSectorZeroed, true, kDocsPassedOver},
    {"DeletedFilesPastZeroedClusters", 512, LayDeletedDocsClustersZeroed, true, kDocsPassedOver},
    {"DeletedFilesOfAFolderWhoseChainIsLost", 4096, LayDeletedDocsFatSectorZeroed, true,
     "exFAT folder \"Docs\" (first cluster 6): its chain ends after 1 of the 3 clusters"},
    {"DisplacedFoldersSideBySide512", 512, LayDisplacedFoldersSideBySide, true},
    {"DisplacedFoldersSideBySide4K", 4096, LayDisplacedFoldersSideBySide, true},
    {"DisplacedFoldersSideBySide128K", 131072, LayDisplacedFoldersSideBySide, true},
    {"DeletedFoldersFilledLater", 32768, LayDeletedFoldersFilledLater},
    {"LoneFolderOfPaddedFiles32K", 32768, LayLoneFolderOfPaddedFiles},
    Over("FormattedSmallerOverAnOlderVolume4K", 4096, {8, 4096}),
    Over("FormattedSmallerOverAnOlderVolume32K", 32768, {8, 32768}),
    Over("FormattedSmallerOverAnOlderVolumeWithTheNewBoot4K", 4096, {8, 4096, 0, true}),
    Over("FormattedSmallerAt4KOverAnOlderVolumeOf32K", 32768, {8, 4096}),
    Over("FormattedSmallerOverAnOlderVolumeOfTheSameLayout32K", 32768, {8, 32768, 0, false, false}),
    Over("FormattedSmallerOverAnOlderVolumeOfTheSameLayoutWithTheNewBoot4K", 4096, {8, 4096, 0, true, false}),
    Over("FormattedSmallerOverAnOlderVolumeWhoseRootStays4K", 4096, {8, 4096, 0, false, true, true}),
    Over("FormattedOverShiftedByOneCluster4K", 4096, {16, 4096, 8, false, false}),
    Over("FormattedAt64KWithTheNewBoot4K", 4096, {32, 65536, 0, true, false}),
    Over("FormattedAt4KWithTheNewBoot64K", 65536, {32, 4096, 0, true, false}),
    Over("FormattedLargerWithTheNewBoot4K", 4096, {64, 4096, 0, true, false, false, true}),
    // Three volumes, each formatted over the one before at the same start.
    Over("FormattedAt64KOverOneOf32KOverOneOf4K", 4096, {32, 65536, 0, true, false, false, false, 32768}),
    Over("FormattedAt32KOverOneOf4KOverOneOf128KWithoutBoot", 131072, {32, 32768, 0, false, false, false, false, 4096}),
    // The older FAT went with the new metadata: its fragmented files keep their first clusters.
    // Neither boot region stands, so where the older volume began cannot be known.
    Over("ChainedFilesOfAnOlderVolumeWhoseFatIsGone4K", 4096,
         {8, 32768, 0, false, true, false, false, 0, true, false,
          "EXFAT at an unknown sector, heap at sector 8192, 4096-byte clusters"}),
    Over("ChainedFilesOfAnOlderVolumeUnderTheNewFat32K", 32768,
         {8, 4096, 0, true, false, false, false, 0, true, false, "EXFAT at sector 0, 32768-byte clusters"}),
    // Old and Sub right after the older root (in the first row the new FAT's chain through the older
    // root's cluster runs on into Old's), or Old three quarters in and the older root gone. The new
    // volume, formatted at the older one's start, wrote its FAT where the older one's was.
    Over("NestedFoldersOfA128KVolumeUnder512", 131072,
         {16, 512, 0, true, false, true, false, 0, false, true, "EXFAT at sector 0, 131072-byte clusters"}),
    Over("NestedFoldersOfA64KVolumeUnder4K", 65536,
         {8, 4096, 0, true, false, true, false, 0, false, true, "EXFAT at sector 0, 65536-byte clusters"}),
    Over("NestedFoldersOfA4KVolumeUnder32K", 4096,
         {8, 32768, 0, true, true, true, false, 0, false, true, "EXFAT at sector 0, 4096-byte clusters"}),
    Over("NestedFoldersOfA32KVolumeUnder128K", 32768,
         {8, 131072, 0, true, true, false, false, 0, false, false, "EXFAT at sector 0, 32768-byte clusters"}),
};

class ExFatFolderBlocks : public ::testing::TestWithParam<LayoutCase> {};

TEST_P(ExFatFolderBlocks, EveryFileComesBackInItsFolder) {
    if (testutil::ToolPath("mkfs.exfat").empty()) GTEST_SKIP() << "needs mkfs.exfat (exfatprogs)";
    const LayoutCase& t = GetParam();
    TempDir tmp;
    const std::string image = tmp.File("volume.img");
    ToolVolume v;
    ASSERT_TRUE(v.Make(image, 32, t.clusterBytes)) << "mkfs.exfat failed";
    Expected expected;
    t.lay != nullptr ? t.lay(v, expected) : LayFormattedOver(v, expected, t.over);
    if (HasFatalFailure()) return;
    ASSERT_TRUE(testutil::WriteFileBytes(image, v.bytes));

    u64 incomplete = t.incompleteOthers;
    for (const auto& [folder, files] : expected) incomplete += folder[0] == kCountedIncomplete ? files.size() : 0;
    const std::string out = tmp.File("recovered");
    ASSERT_EQ(RunComplete(tmp, image, "disk:0", out, "run", {"--lost-reason", "1"}), incomplete != 0 ? 1 : 0);
    ExpectFilesInTheirFolders(out, expected, TraceLog(tmp));
    if (!t.deletedScanToo) return;

    SCOPED_TRACE("deleted-file scan");
    const std::string deletedOut = tmp.File("deleted");
    const std::string state = tmp.File("deleted-scan-state");
    ASSERT_EQ(e2e::RunDriver({"--image", image, "--mode", "deleted", "--volume", "0", "--recover", deletedOut},
                             tmp.File("cwd"), tmp.File("deleted.log"), {"XDG_STATE_HOME=" + state}),
              0);
    const std::string log = testutil::ReadFileText(state + "/Morvenda/MorvendaTrace.log");
    ExpectFilesInTheirFolders(deletedOut, expected, log);
    if (t.deletedScanLogs != nullptr) {
        EXPECT_NE(log.find(t.deletedScanLogs), std::string::npos) << log;
    }
}

INSTANTIATE_TEST_SUITE_P(Layouts, ExFatFolderBlocks, ::testing::ValuesIn(kLayouts),
                         [](const ::testing::TestParamInfo<LayoutCase>& info) { return std::string(info.param.name); });

// A camera card: a partition at sector 8192 formatted, filled through the driver (pictures,
// notes, recordings, more notes, the first notes deleted) and formatted again. The folders'
// entries lie in the old clusters, some side by side; the card's one volume gives them back.
TEST(ExFatFolderBlocksE2E, CardFormattedAgainGivesBackEveryFolder) {
    const std::string missing = MissingExFatTools();
    if (!missing.empty()) GTEST_SKIP() << "needs exfatprogs, exfat-fuse, losetup and umount; missing: " << missing;
    constexpr u64 kDiskSectors = 128 * 2048;
    constexpr u64 kPartitionStart = 8192;
    TempDir tmp;
    const std::string image = tmp.File("card.img");
    std::vector<u8> disk(kDiskSectors * kSector, 0);
    e2e::PutMbrPartition(disk, 0, 0x07, kPartitionStart, kDiskSectors - kPartitionStart);
    ASSERT_TRUE(testutil::WriteFileBytes(image, disk));

    Written written;
    {
        LoopDevice loop(image, kPartitionStart * kSector, (kDiskSectors - kPartitionStart) * kSector);
        ASSERT_FALSE(loop.Path().empty()) << "no loop device";
        ASSERT_TRUE(RunQuiet("mkfs.exfat -L SDCARD " + loop.Path()));
        const std::string mnt = tmp.File("mnt");
        std::filesystem::create_directories(mnt);
        {
            FuseMount mount({"mount.exfat-fuse", "-d", loop.Path(), mnt}, mnt);
            ASSERT_TRUE(mount.IsMounted());
            ExFatFiller f(mnt);
            ASSERT_TRUE(f.Folder("DCIM/100MEDIA"));
            for (u32 i = 0; i < 40; ++i) ASSERT_TRUE(f.File(Numbered("DCIM/100MEDIA/IMG_%04u.JPG", i), 30000 + 37 * i, i));
            // Notes as a notes app leaves them: empty until written.
            ASSERT_TRUE(f.Folder("Notes"));
            for (u32 i = 0; i < 50; ++i) ASSERT_TRUE(f.Bytes(Numbered("Notes/note %02u.txt", i), {}));
            ASSERT_TRUE(f.Folder("Audio"));
            for (u32 i = 0; i < 4; ++i) ASSERT_TRUE(f.File(Numbered("Audio/take%u.wav", i), 50000 + 1234 * i, 1000 + i));
            for (u32 i = 50; i < 100; ++i) ASSERT_TRUE(f.Bytes(Numbered("Notes/note %02u.txt", i), {}));
            for (u32 i = 0; i < 10; ++i) ASSERT_TRUE(f.File(Numbered("Notes/table %u.csv", i), 400 + i, 2000 + i));
            for (u32 i = 0; i < 3; ++i) ASSERT_TRUE(f.File(Numbered("Notes/paper %u.pdf", i), 5000 + i, 3000 + i));
            written = f.Files();
            for (u32 i = 0; i < 50; ++i) {
                const std::string name = Numbered("note %02u.txt", i);
                ASSERT_TRUE(std::filesystem::remove(mnt + "/Notes/" + name));
                written.erase(name);
            }
            ASSERT_TRUE(mount.Unmount());
        }
        ASSERT_TRUE(RunQuiet("mkfs.exfat -L SDCARD " + loop.Path()));
    }
    ASSERT_EQ(written.size(), 107u);

    const std::string out = tmp.File("recovered");
    ASSERT_EQ(RunComplete(tmp, image, "disk:0", out, "card", {"--lost-reason", "1"}), 0);
    Json report;
    ASSERT_TRUE(testutil::ReadJsonFile(tmp.File("card.json"), report));
    const Json& found = report["scans"].items[0]["found_partitions"];
    ASSERT_EQ(found.items.size(), 1u) << "a volume guessed from the card's folders is listed beside it";
    EXPECT_EQ(u64(found.items[0]["start_sector"].number), kPartitionStart);
    // The folders' own entries went with the old root: they come back as lost folders.
    ExpectEveryFileOwnContent(out, written);
}

}  // namespace
