// The complete scan of FAT volumes end to end: the scan driver reads whole disks and volumes, the
// FAT deep search finds the volumes from their boot sectors (also where no partition table names
// them any more) and the writer recovers every live file and every deleted file whose data is
// intact. Files under a folder whose own entry was overwritten come back below a "DIRn" folder
// in that folder's place when its parent was found, else below "Lost Folders".
#include <gtest/gtest.h>

#include <strings.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "E2ESupport.h"
#include "Manifest.h"
#include "TestUtil.h"
#include "platform/ProgramDir.h"
#include "platform/Types.h"

namespace {

using e2e::Json;

std::string LastComponent(const std::string& path) { return path.substr(path.rfind('/') + 1); }

using e2e::NameStandsFor;

// Whether `at` is "Lost Folders/DIRn/<tail>" where `path` ends in "/<tail>".
bool InLostFolderBySuffix(const std::string& at, const std::string& path) {
    const std::string lost = "Lost Folders/DIR";
    if (at.compare(0, lost.size(), lost) != 0) return false;
    const size_t slash = at.find('/', lost.size());
    if (slash == std::string::npos) return false;
    const std::string tail = at.substr(slash);
    const std::string rooted = "/" + path;
    return rooted.size() >= tail.size() && rooted.compare(rooted.size() - tail.size(), tail.size(), tail) == 0;
}

std::vector<std::string> Components(const std::string& path) {
    std::vector<std::string> out;
    for (size_t from = 0;;) {
        const size_t slash = path.find('/', from);
        out.push_back(path.substr(from, slash - from));
        if (slash == std::string::npos) return out;
        from = slash + 1;
    }
}

// Whether `at` is `path` with one folder on the way (whose entry is gone) named "DIRn" instead;
// names of deleted entries may have lost their first character.
bool InDirFolderInPlace(const std::string& at, const std::string& path) {
    const std::vector<std::string> written = Components(at);
    const std::vector<std::string> original = Components(path);
    if (written.size() != original.size()) return false;
    size_t renamed = 0;
    for (size_t i = 0; i < written.size(); ++i) {
        if (NameStandsFor(written[i], original[i])) continue;
        const bool dir = i + 1 < written.size() && written[i].size() > 3 && written[i].compare(0, 3, "DIR") == 0 &&
                         written[i].find_first_not_of("0123456789", 3) == std::string::npos;
        if (!dir) return false;
        ++renamed;
    }
    return renamed == 1;
}

// Relative path -> sha256 of every file below root.
std::multimap<std::string, std::string> FilesByHash(const std::string& root) {
    std::multimap<std::string, std::string> out;
    for (const std::string& f : e2e::ListFiles(root)) out.emplace(testutil::Sha256File(root + "/" + f), f);
    return out;
}

// The complete scan of `imagePath` (the fixture `fixture`, or a damaged copy of it) into `out`,
// checked file by file against the fixture's manifest; with `fatGone` no fragmented file can be
// read whole.
e2e::DriverRun RunComplete(const std::string& imagePath, const std::string& fixture, const std::string& volume,
                           const std::string& out, const testutil::TempDir& tmp, const std::string& name,
                           bool fatGone = false, std::vector<std::string> unseen = {}) {
    const std::vector<std::string> args = {"--image",   imagePath,   "--mode", "complete", "--volume",
                                           volume,      "--recover",            out,      "--json",
                                           tmp.File(name + ".json"), "--lost-reason", "1"};
    e2e::DriverRun run = e2e::RunDriverRun(args, tmp.File("cwd"), tmp.File(name + ".log"));
    e2e::ExpectRecoveredAsManifests(run, out, {fixture}, {.fragmented = fatGone, .unseen = std::move(unseen)});
    return run;
}

// The reachability record of each deleted file, by partition and path.
std::map<std::pair<int, std::string>, const Json*> ReachIndex(const Json& reach) {
    std::map<std::pair<int, std::string>, const Json*> out;
    for (const Json& f : reach["files"].items) out[{int(f["partition"].number), f["path"].text}] = &f;
    return out;
}

struct Checked {
    size_t live = 0;
    size_t deleted = 0;
    size_t lostFolder = 0;
};

// Every live file of the partition, and every deleted one with intact data and a surviving
// entry, is below `top` with its data: live and reachable files at their path (a deleted folder
// on the way may have lost its first character), the others at their path with the folder whose
// entry is gone named "DIRn", or below "Lost Folders/DIRn", with the name their entry carries.
// Without a FAT (`fatGone`) only unfragmented files can come back whole; fragmented ones are
// left out of the check.
Checked ExpectPartitionRecovered(const Json& manifest, const Json& reach, int partition, const std::string& top,
                                 bool fatGone = false) {
    const std::multimap<std::string, std::string> written = FilesByHash(top);
    const auto reachIndex = ReachIndex(reach);
    Checked checked;
    for (const Json& f : manifest["files"].items) {
        if (int(f["partition"].number) != partition) continue;
        const bool live = f["state"].text == "live";
        const bool wanted = live || (f["intact"].boolean && f["metadata"].text != "gone");
        if (!wanted || (fatGone && f["fragmented"].boolean)) continue;
        const std::string path = f["path"].text.substr(1);
        const auto r = reachIndex.find({partition, f["path"].text});
        const bool reachable = live || r == reachIndex.end() || (*r->second)["reachable"].boolean;
        // The name the entry carries now, where the walk from the root meets it.
        std::string name = LastComponent(path);
        if (r != reachIndex.end() && (*r->second)["name_on_disk"].kind == Json::String) {
            name = (*r->second)["name_on_disk"].text;
        }
        bool found = false;
        const auto [first, last] = written.equal_range(f["sha256"].text);
        for (auto it = first; it != last && !found; ++it) {
            const std::string& at = it->second;
            if (live) {
                // Without a FAT a folder's later clusters cannot be chained to it: what they
                // list comes back below a "DIR" folder, by the rest of its path.
                found = at == path || (fatGone && InLostFolderBySuffix(at, path));
            } else if (reachable) {
                found = NameStandsFor(LastComponent(at), name) &&
                        (at.compare(0, std::string("Lost Folders/").size(), "Lost Folders/") != 0 || fatGone);
            } else {
                found = (at.compare(0, std::string("Lost Folders/DIR").size(), "Lost Folders/DIR") == 0 &&
                         NameStandsFor(LastComponent(at), LastComponent(path))) ||
                        InDirFolderInPlace(at, path);
            }
        }
        EXPECT_TRUE(found) << "not recovered with its data and name: " << path;
        if (live) {
            ++checked.live;
        } else {
            ++checked.deleted;
            if (!reachable) ++checked.lostFolder;
        }
    }
    return checked;
}

const Json* FoundAt(const Json& scan, u64 startSector) {
    for (const Json& f : scan["found_partitions"].items) {
        if (u64(f["start_sector"].number) == startSector) return &f;
    }
    return nullptr;
}

// The writer's folder of the found tree whose name begins with `fs`.
std::string TreeFolder(const std::string& volumeDir, const std::string& fs) {
    std::string found;
    for (const std::string& e : e2e::ListEntries(volumeDir)) {
        if (e.size() >= fs.size() && strncasecmp(e.c_str(), fs.c_str(), fs.size()) == 0) found = volumeDir + "/" + e;
    }
    return found;
}

TEST(FatDeepScanE2E, FindsTheWipedFat16VolumeBesideTheNtfsOne) {
    testutil::TempDir tmp;
    ASSERT_TRUE(MakeDirectories(tmp.File("cwd")));
    const e2e::Untouched untouched({testutil::FixturePath("lost-partition-wiped.img")}, tmp.File("cwd"));
    const std::string out = tmp.File("recovered");
    const e2e::DriverRun run = RunComplete(e2e::ImageArg("lost-partition-wiped"), "lost-partition-wiped", "disk:0", out,
                                           tmp, "wiped");
    const Json& report = run.report;
    Json manifest, reach;
    ASSERT_TRUE(testutil::ReadJsonFile(testutil::FixturePath("lost-partition-wiped.json"), manifest));
    ASSERT_TRUE(testutil::ReadJsonFile(testutil::FixturePath("lost-partition-wiped.reach.json"), reach));
    ASSERT_EQ(report["scans"].items.size(), 1u);
    const Json& scan = report["scans"].items[0];
    ASSERT_EQ(scan["found_partitions"].items.size(), 2u);
    ASSERT_NE(FoundAt(scan, 2048), nullptr);
    const Json* fat = FoundAt(scan, 51200);
    ASSERT_NE(fat, nullptr);
    EXPECT_EQ((*fat)["fs"].text, "FAT16");
    EXPECT_EQ(u64((*fat)["sectors"].number), 40960u);
    EXPECT_EQ((*fat)["label"].text, "LOSTFAT16");

    const std::string top = TreeFolder(out + "/" + std::to_string(int(scan["volume"].number)), "FAT16");
    ASSERT_FALSE(top.empty());
    const Checked c = ExpectPartitionRecovered(manifest, reach, 2, top);
    EXPECT_EQ(c.live, 11u);
    EXPECT_EQ(c.deleted, 4u);
    EXPECT_EQ(c.lostFolder, 2u);
    untouched.Expect();
}

constexpr u64 kAnyStart = ~u64(0);

struct FatVolumeCase {
    const char* image;
    std::vector<u64> zeroed;       // sectors wiped in a copy of the image
    std::vector<u32> zeroedSlots;  // partition-table entries wiped in the copy
    bool zeroGpt;                  // both GPT entry arrays wiped in the copy
    const char* volume;            // the driver's --volume
    int partition;                 // in the manifest
    u64 foundStart;                // where the scanned device has the volume; kAnyStart for a guess
    const char* fs;
    size_t lostFolderFiles;
    bool fatGone = false;  // both FAT copies zeroed too
    std::vector<std::string> unseen = {};  // damaged files the scan cannot tell damaged
};

constexpr u32 kMbrTableOffset = 446;
constexpr u32 kMbrEntrySize = 16;
constexpr u32 kImageSector = 512;
constexpr u32 kGptBackupLba = 32;
constexpr u32 kGptEntriesLba = 72;
constexpr u32 kGptEntryCount = 80;
constexpr u32 kGptEntrySize = 84;

// The image itself, or a copy in `tmp` with the case's sectors and table entries zeroed.
std::string PrepareImage(const FatVolumeCase& t, const testutil::TempDir& tmp) {
    if (t.zeroed.empty() && t.zeroedSlots.empty() && !t.zeroGpt) return e2e::ImageArg(t.image);
    std::vector<u8> bytes = testutil::ReadFileBytes(testutil::FixturePath(std::string(t.image) + ".img"));
    for (u64 s : t.zeroed) std::fill_n(bytes.begin() + std::ptrdiff_t(s * kImageSector), kImageSector, u8(0));
    for (u32 e : t.zeroedSlots) {
        std::fill_n(bytes.begin() + kMbrTableOffset + e * kMbrEntrySize, kMbrEntrySize, u8(0));
    }
    if (t.zeroGpt) {
        // The primary header at sector 1 names the entry array and the backup header.
        const u8* header = bytes.data() + kImageSector;
        const u64 entries = ReadLE64(header + kGptEntriesLba);
        const u64 span = u64(ReadLE32(header + kGptEntryCount)) * ReadLE32(header + kGptEntrySize);
        const u64 backup = ReadLE64(header + kGptBackupLba);
        const u64 backupEntries = ReadLE64(bytes.data() + backup * kImageSector + kGptEntriesLba);
        for (u64 at : {entries, backupEntries}) {
            std::fill_n(bytes.begin() + std::ptrdiff_t(at * kImageSector), span, u8(0));
        }
    }
    const std::string path = tmp.File("damaged.img");
    return testutil::WriteFileBytes(path, bytes) ? path : std::string();
}

// The sectors from `first` up to `end`.
std::vector<u64> SectorRange(u64 first, u64 end) {
    std::vector<u64> out;
    for (u64 s = first; s < end; ++s) out.push_back(s);
    return out;
}

// The boot sectors (and the FAT32 backup) and both FAT copies of a volume at sector 0.
std::vector<u64> BootAndFats(std::vector<u64> boots, u64 firstFat, u64 fatsEnd) {
    const std::vector<u64> fats = SectorRange(firstFat, fatsEnd);
    boots.insert(boots.end(), fats.begin(), fats.end());
    return boots;
}

// The sectors of both boot regions (main and backup) of the exFAT volume at `start`.
std::vector<u64> ExFatBootRegions(u64 start) {
    constexpr u64 kBootRegionsSectors = 24;
    return SectorRange(start, start + kBootRegionsSectors);
}

// The FAT and exFAT volumes of the fixtures, intact and with their boot sectors or tables gone;
// one deep scan each.
const FatVolumeCase kEveryFatVolume[] = {
    {"fat16-basic", {}, {}, false, "all", 1, 0, "FAT16", 4},
    {"fat32-basic", {}, {}, false, "all", 1, 0, "FAT32", 4},
    {"exfat-basic", {}, {}, false, "all", 1, 0, "EXFAT", 0},
    {"mbr-disk", {}, {}, false, "disk:0", 1, 2048, "FAT32", 2},
    {"mbr-disk", {}, {}, false, "disk:0", 6, 104448, "FAT16", 2},
    {"gpt-disk", {}, {}, false, "disk:0", 2, 43008, "EXFAT", 0},
    // Boot sectors gone: the volume is found from its folders and FAT copies, or from the
    // FAT32 backup boot sector.
    {"fat16-basic", {0}, {}, false, "disk:0", 1, kAnyStart, "FAT16", 4},
    {"fat32-basic", {0}, {}, false, "disk:0", 1, 0, "FAT32", 4},
    {"fat32-basic", {0, 6}, {}, false, "disk:0", 1, 0, "FAT32", 4},
    {"exfat-basic", {0}, {}, false, "disk:0", 1, 0, "EXFAT", 0},
    {"mbr-disk", {2048, 2054, 104448}, {0}, false, "disk:0", 1, kAnyStart, "FAT32", 2},
    {"mbr-disk", {2048, 2054, 104448}, {0}, false, "disk:0", 6, kAnyStart, "FAT16", 2},
    {"gpt-disk", {43008}, {}, true, "disk:0", 2, 43008, "EXFAT", 0},
    // Both boot regions gone: the volume is found from its root directory and the folders
    // below it, where its allocation bitmap, up-case table and FAT agree.
    {"exfat-basic", ExFatBootRegions(0), {}, false, "disk:0", 1, kAnyStart, "EXFAT", 0},
    {"gpt-disk", ExFatBootRegions(43008), {}, true, "disk:0", 2, kAnyStart, "EXFAT", 0},
    // Boot sectors and both FAT copies gone: the folders alone give the layout, and the
    // files are read as contiguous.
    {"fat16-basic", BootAndFats({0}, 4, 132), {}, false, "disk:0", 1, kAnyStart, "FAT16", 4, true},
    // The deleted SVG's clusters past its first hold a fragmented live file of the root, whose
    // entry lies in a root cluster only the lost FAT leads to: nothing the scan can read says
    // another file took them.
    {"fat32-basic", BootAndFats({0, 6}, 32, 1292), {}, false, "disk:0", 1, kAnyStart, "FAT32", 4, true,
     {"/Projects/src/deep/nested/level5/文件会議_6.svg"}},
};

class FatDeepScanEveryVolume : public ::testing::TestWithParam<FatVolumeCase> {};

TEST_P(FatDeepScanEveryVolume, RecoversLiveDeletedAndOrphanedFiles) {
    const FatVolumeCase& t = GetParam();
    SCOPED_TRACE(std::string(t.image) + " partition " + std::to_string(t.partition) +
                 (t.zeroed.empty() && !t.zeroGpt ? "" : " damaged"));
    testutil::TempDir tmp;
    ASSERT_TRUE(MakeDirectories(tmp.File("cwd")));
    const std::string out = tmp.File("recovered");
    const e2e::DriverRun run = RunComplete(PrepareImage(t, tmp), t.image, t.volume, out, tmp, "run", t.fatGone, t.unseen);
    const Json& report = run.report;
    Json manifest, reach;
    ASSERT_TRUE(testutil::ReadJsonFile(testutil::FixturePath(std::string(t.image) + ".json"), manifest));
    ASSERT_TRUE(testutil::ReadJsonFile(testutil::FixturePath(std::string(t.image) + ".reach.json"), reach));
    ASSERT_EQ(report["scans"].items.size(), 1u);
    const Json& scan = report["scans"].items[0];
    bool foundType = false;
    for (const Json& f : scan["found_partitions"].items) {
        if (f["fs"].text == t.fs && (t.foundStart == kAnyStart || u64(f["start_sector"].number) == t.foundStart)) {
            foundType = true;
        }
    }
    EXPECT_TRUE(foundType);
    // Every found tree is a folder of its own; the one of this volume carries its type.
    const std::string volumeDir = out + "/" + std::to_string(int(scan["volume"].number));
    const std::string top = TreeFolder(volumeDir, t.fs);
    ASSERT_FALSE(top.empty());
    const Checked c = ExpectPartitionRecovered(manifest, reach, t.partition, top, t.fatGone);
    EXPECT_GT(c.live, 0u);
    EXPECT_GT(c.deleted, 0u);
    EXPECT_EQ(c.lostFolder, t.lostFolderFiles);
}

// Both boot regions and the root directory gone: the folders below the root agree on the layout.
// What the root listed is lost, but every subfolder comes back below "Lost Folders" with its
// files, their names and their data (the FAT is intact, so fragmented files too).
struct RootGoneCase {
    const char* image;
    u64 volumeStart;
    int partition;  // in the manifest
    bool zeroGpt;
};

class ExFatRootGone : public ::testing::TestWithParam<RootGoneCase> {};

TEST_P(ExFatRootGone, SubfoldersComeBackWithNamesAndData) {
    constexpr u32 kHeapOffsetField = 88;
    constexpr u32 kRootClusterField = 96;
    constexpr u32 kClusterShiftField = 109;
    constexpr u32 kFirstCluster = 2;
    const RootGoneCase& t = GetParam();
    testutil::TempDir tmp;
    ASSERT_TRUE(MakeDirectories(tmp.File("cwd")));
    const std::vector<u8> bytes = testutil::ReadFileBytes(testutil::FixturePath(std::string(t.image) + ".img"));
    ASSERT_GE(bytes.size(), (t.volumeStart + 1) * kImageSector);
    const u8* boot = bytes.data() + t.volumeStart * kImageSector;
    const u64 spc = u64(1) << boot[kClusterShiftField];
    const u64 rootSector = t.volumeStart + ReadLE32(boot + kHeapOffsetField) +
                           (ReadLE32(boot + kRootClusterField) - kFirstCluster) * spc;
    ASSERT_LE((rootSector + spc) * kImageSector, bytes.size());
    FatVolumeCase damage{t.image, ExFatBootRegions(t.volumeStart), {}, t.zeroGpt, "disk:0", t.partition, kAnyStart, "EXFAT", 0};
    for (u64 s = rootSector; s < rootSector + spc; ++s) damage.zeroed.push_back(s);

    const std::string out = tmp.File("recovered");
    const e2e::DriverRun run = RunComplete(PrepareImage(damage, tmp), t.image, "disk:0", out, tmp, "run");
    const Json& report = run.report;
    Json manifest;
    ASSERT_TRUE(testutil::ReadJsonFile(testutil::FixturePath(std::string(t.image) + ".json"), manifest));
    ASSERT_EQ(report["scans"].items.size(), 1u);
    const Json& scan = report["scans"].items[0];
    size_t exfat = 0;
    for (const Json& f : scan["found_partitions"].items) exfat += f["fs"].text == "EXFAT" ? 1 : 0;
    EXPECT_EQ(exfat, 1u);
    const std::string top = TreeFolder(out + "/" + std::to_string(int(scan["volume"].number)), "EXFAT");
    ASSERT_FALSE(top.empty());

    const std::multimap<std::string, std::string> written = FilesByHash(top);
    size_t checked = 0;
    for (const Json& f : manifest["files"].items) {
        if (int(f["partition"].number) != t.partition) continue;
        const std::string path = f["path"].text.substr(1);
        const bool wanted = f["state"].text == "live" || (f["intact"].boolean && f["metadata"].text != "gone");
        if (!wanted || path.find('/') == std::string::npos) continue;
        bool found = false;
        const auto [first, last] = written.equal_range(f["sha256"].text);
        for (auto it = first; it != last && !found; ++it) found = InLostFolderBySuffix(it->second, path);
        EXPECT_TRUE(found) << "not recovered with its data and name below a lost folder: " << path;
        ++checked;
    }
    EXPECT_GT(checked, 0u);
}

INSTANTIATE_TEST_SUITE_P(Volumes, ExFatRootGone,
                         ::testing::Values(RootGoneCase{"exfat-basic", 0, 1, false}, RootGoneCase{"gpt-disk", 43008, 2, true}),
                         [](const ::testing::TestParamInfo<RootGoneCase>& info) {
                             std::string name = info.param.image;
                             std::replace(name.begin(), name.end(), '-', '_');
                             return name;
                         });

INSTANTIATE_TEST_SUITE_P(Volumes, FatDeepScanEveryVolume, ::testing::ValuesIn(kEveryFatVolume),
                         [](const ::testing::TestParamInfo<FatVolumeCase>& info) {
                             std::string name = std::string(info.param.image) + "_" + std::to_string(info.param.partition) +
                                                (info.param.zeroed.empty() && !info.param.zeroGpt ? "" : "_damaged") + "_" +
                                                std::to_string(info.index);
                             std::replace(name.begin(), name.end(), '-', '_');
                             return name;
                         });

}  // namespace
