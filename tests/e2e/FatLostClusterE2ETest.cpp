// A deleted FAT32 folder whose entries filled several clusters that do not follow one another:
// the complete scan reads its first cluster where the folder's entry points, and the files listed
// in its later clusters, whose chain the deletion freed, come back under "Lost Folders" with
// their names and data.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <string_view>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "E2ESupport.h"
#include "Manifest.h"
#include "TestUtil.h"
#include "ToolImage.h"
#include "platform/ProgramDir.h"
#include "platform/Types.h"

namespace {

using testutil::MissingTools;
using testutil::RunQuiet;

// Distinct bytes for each file, under one cluster of the image (512 bytes).
std::string Content(u32 seed) {
    std::string out(300 + seed, '\0');
    u32 x = seed * 2654435761u + 1;
    for (char& c : out) {
        x = x * 1664525u + 1013904223u;
        c = char('a' + (x >> 24) % 26);
    }
    return out;
}

std::string LastComponent(const std::string& path) { return path.substr(path.rfind('/') + 1); }

constexpr u32 kFiles = 24;

std::string SpreadName(u32 i) { return "spread file number " + std::to_string(100 + i) + ".txt"; }

// fat32-basic with a deleted folder "Spread" of kFiles long-named files. Each file takes a data
// cluster between two of the folder's clusters, so the folder's clusters (16 entries each, 3 per
// long-named file) are spread over the volume.
struct SpreadImage {
    testutil::TempDir tmp;
    const std::string image = tmp.File("deep.img");
    std::map<std::string, std::string> contentByName;  // each file's content hash by its name
};
void MakeSpreadImage(SpreadImage& spread) {
    const testutil::TempDir& tmp = spread.tmp;
    const std::string& image = spread.image;
    std::map<std::string, std::string>& contentByName = spread.contentByName;
    ASSERT_TRUE(testutil::WriteFileBytes(image, testutil::ReadFileBytes(testutil::FixturePath("fat32-basic.img"))));
    ASSERT_TRUE(RunQuiet("mmd -i " + image + " ::/Spread"));
    for (u32 i = 0; i < kFiles; ++i) {
        const std::string name = SpreadName(i);
        const std::string source = tmp.File("source.txt");
        std::ofstream(source, std::ios::binary | std::ios::trunc) << Content(i);
        ASSERT_TRUE(RunQuiet("mcopy -i " + image + " " + source + " \"::/Spread/" + name + "\"")) << name;
        contentByName[name] = testutil::Sha256File(source);
    }
    ASSERT_TRUE(RunQuiet("mdeltree -i " + image + " ::/Spread"));
}

// The scan driver's complete scan of the whole disk `image`, a copy of fat32-basic that the tools
// wrote into (over free clusters, some of them its deleted files' data), recovered to `out` and
// checked file by file against fat32-basic's manifest.
void RecoverWithCompleteScan(const testutil::TempDir& tmp, const std::string& image, const std::string& out) {
    ASSERT_TRUE(MakeDirectories(tmp.File("cwd")));
    const std::vector<std::string> args = {"--image", image, "--mode", "complete", "--volume", "disk:0",
                                           "--recover", out, "--json", tmp.File("run.json")};
    e2e::ExpectRecoveredAsManifests(e2e::RunDriverRun(args, tmp.File("cwd"), tmp.File("run.log")), out,
                                    {"fat32-basic"}, {.deleted = true});
}

// Each file below `out`, by the hash of its content.
std::map<std::string, std::string> PathByHash(const std::string& out) {
    std::map<std::string, std::string> pathByHash;
    for (const std::string& f : e2e::ListFiles(out)) pathByHash[testutil::Sha256File(out + "/" + f)] = f;
    return pathByHash;
}

TEST(FatLostClusterE2E, FilesOfADeletedFoldersLaterClustersComeBackUnderLostFolders) {
    const std::string missing = MissingTools({"mmd", "mcopy", "mdeltree"});
    if (!missing.empty()) GTEST_SKIP() << "needs the package mtools; missing: " << missing;
    SpreadImage spread;
    ASSERT_NO_FATAL_FAILURE(MakeSpreadImage(spread));
    const std::string out = spread.tmp.File("recovered");
    ASSERT_NO_FATAL_FAILURE(RecoverWithCompleteScan(spread.tmp, spread.image, out));

    // By data: where each file came back. A deleted short entry lost its first character, the
    // long name keeps the whole name.
    const std::map<std::string, std::string> pathByHash = PathByHash(out);
    size_t inLostFolders = 0;
    size_t inFirstCluster = 0;
    for (const auto& [name, hash] : spread.contentByName) {
        const auto at = pathByHash.find(hash);
        ASSERT_NE(at, pathByHash.end()) << "not recovered: " << name;
        const std::string written = LastComponent(at->second);
        // A short entry at the start of a cluster whose long-name pieces ended the cluster before
        // it keeps only its 8.3 name.
        const bool shortName = written.find('~') != std::string::npos && written.size() <= 12 &&
                               written.compare(written.size() - 4, 4, ".TXT") == 0;
        EXPECT_TRUE(written.substr(1) == name.substr(1) || shortName) << at->second << " for " << name;
        if (at->second.find("/Lost Folders/DIR") != std::string::npos) {
            ++inLostFolders;
        } else if (at->second.find("/Spread/") != std::string::npos) {
            ++inFirstCluster;
        }
    }
    // The first cluster holds "." and ".." and five files; the rest are in later clusters.
    EXPECT_GT(inFirstCluster, 0u);
    EXPECT_GT(inLostFolders, kFiles / 2);
    EXPECT_EQ(inFirstCluster + inLostFolders, size_t(kFiles));
}

// A later cluster of a deleted folder is read strictly: its entries end at the first one that
// names a cluster outside the volume, for what follows it is taken for other data; the files
// listed before it still come back.
TEST(FatLostClusterE2E, ALostClustersEntriesEndAtOneThatNamesAClusterOutsideTheVolume) {
    const std::string missing = MissingTools({"mmd", "mcopy", "mdeltree"});
    if (!missing.empty()) GTEST_SKIP() << "needs the package mtools; missing: " << missing;
    SpreadImage spread;
    ASSERT_NO_FATAL_FAILURE(MakeSpreadImage(spread));
    const std::string& image = spread.image;
    std::map<std::string, std::string>& contentByName = spread.contentByName;

    // Where each file's 8.3 entry lies: after its two long-name entries, the second of which
    // (stored first) holds the name's last 13 characters, their 6th to 11th from its byte 14.
    constexpr size_t kEntry = 32;
    constexpr size_t kCluster = 512;
    std::vector<u8> bytes = testutil::ReadFileBytes(image);
    const std::string_view all(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    std::map<u32, size_t> shortEntryOf;
    for (u32 i = 0; i < kFiles; ++i) {
        const std::string tail = SpreadName(i).substr(13);
        std::string utf16;
        for (char ch : tail) utf16 += std::string{ch, '\0'};
        const size_t piece = all.find(utf16.substr(10, 12));
        ASSERT_NE(piece, std::string_view::npos) << tail;
        ASSERT_EQ(piece % kEntry, 14u) << tail;
        shortEntryOf[i] = piece / kEntry * kEntry + 2 * kEntry;
    }
    // A file past the first cluster whose entries and the previous file's 8.3 entry share one
    // cluster: that 8.3 entry gets a first cluster far outside the volume.
    u32 target = kFiles;
    for (u32 i = 8; i < kFiles && target == kFiles; ++i) {
        const size_t previous = shortEntryOf[i - 1];
        if (previous / kCluster == (shortEntryOf[i] - 2 * kEntry) / kCluster) target = i;
    }
    ASSERT_LT(target, kFiles);
    const size_t corrupt = shortEntryOf[target - 1];
    WriteLE16(bytes.data() + corrupt + 20, 0x0FFF);
    WriteLE16(bytes.data() + corrupt + 26, 0xFFF0);
    ASSERT_TRUE(testutil::WriteFileBytes(image, bytes));

    const std::string out = spread.tmp.File("recovered");
    ASSERT_NO_FATAL_FAILURE(RecoverWithCompleteScan(spread.tmp, image, out));
    const std::map<std::string, std::string> pathByHash = PathByHash(out);
    for (u32 i = 0; i < kFiles; ++i) {
        if (i == target - 1) continue;
        const bool after = shortEntryOf[i] / kCluster == corrupt / kCluster && shortEntryOf[i] > corrupt;
        const bool before = shortEntryOf[i] / kCluster == corrupt / kCluster && shortEntryOf[i] < corrupt;
        const bool found = pathByHash.count(contentByName[SpreadName(i)]) != 0;
        if (after) {
            EXPECT_FALSE(found) << SpreadName(i) << " follows the damaged entry";
        } else if (before) {
            EXPECT_TRUE(found) << SpreadName(i) << " precedes the damaged entry";
        }
    }
    EXPECT_EQ(pathByHash.count(contentByName[SpreadName(target)]), 0u);
}

// A folder whose own entry is gone, but whose ".." names a folder the walk from the root found,
// comes back in its place under a "DIR" name with its files, not below "Lost Folders"; so does a
// folder whose ".." names the root.
TEST(FatLostClusterE2E, AFolderWithoutItsEntryComesBackUnderTheParentItsDotDotNames) {
    const std::string missing = MissingTools({"mmd", "mcopy"});
    if (!missing.empty()) GTEST_SKIP() << "needs the package mtools; missing: " << missing;
    testutil::TempDir tmp;
    const std::string image = tmp.File("tree.img");
    ASSERT_TRUE(testutil::WriteFileBytes(image, testutil::ReadFileBytes(testutil::FixturePath("fat32-basic.img"))));
    for (const char* folder : {"::/ALPHA", "::/ALPHA/BETA", "::/GAMMA"}) {
        ASSERT_TRUE(RunQuiet("mmd -i " + image + " " + folder)) << folder;
    }
    const std::string source = tmp.File("INNER.TXT");
    std::ofstream(source, std::ios::binary | std::ios::trunc) << Content(7);
    const std::string sourceHash = testutil::Sha256File(source);
    ASSERT_TRUE(RunQuiet("mcopy -i " + image + " " + source + " ::/ALPHA/BETA/INNER.TXT"));
    ASSERT_TRUE(RunQuiet("mcopy -i " + image + " " + source + " ::/GAMMA/OUTER.TXT"));

    // The 8.3 entries of BETA (in ALPHA) and of GAMMA (in the root) are zeroed: name, attributes
    // and all. Their folders' own "." and ".." stay.
    std::vector<u8> bytes = testutil::ReadFileBytes(image);
    constexpr u8 kFolderAttribute = 0x10;
    constexpr size_t kEntryBytes = 32;
    for (const std::string name : {"BETA       ", "GAMMA      "}) {
        std::string needle = name;
        needle.push_back(char(kFolderAttribute));
        const std::string_view all(reinterpret_cast<const char*>(bytes.data()), bytes.size());
        size_t zeroed = 0;
        for (size_t at = all.find(needle); at != std::string_view::npos; at = all.find(needle, at + 1)) {
            if (at % kEntryBytes != 0) continue;
            std::fill(bytes.begin() + long(at), bytes.begin() + long(at + kEntryBytes), u8(0));
            ++zeroed;
        }
        ASSERT_EQ(zeroed, 1u) << name;
    }
    ASSERT_TRUE(testutil::WriteFileBytes(image, bytes));

    const std::string out = tmp.File("recovered");
    ASSERT_NO_FATAL_FAILURE(RecoverWithCompleteScan(tmp, image, out));

    // Below the volume's tree folder: ALPHA/DIRn/INNER.TXT and DIRm/OUTER.TXT.
    auto isDirName = [](const std::string& n) {
        return n.size() > 3 && n.compare(0, 3, "DIR") == 0 && n.find_first_not_of("0123456789", 3) == std::string::npos;
    };
    bool inner = false;
    bool outer = false;
    for (const std::string& f : e2e::ListFiles(out)) {
        if (testutil::Sha256File(out + "/" + f) != sourceHash) continue;
        EXPECT_EQ(f.find("Lost Folders"), std::string::npos) << f;
        std::vector<std::string> parts;
        for (size_t from = 0, slash = 0; slash != std::string::npos; from = slash + 1) {
            slash = f.find('/', from);
            parts.push_back(f.substr(from, slash - from));
        }
        const size_t n = parts.size();
        if (n >= 3 && parts[n - 1] == "INNER.TXT" && isDirName(parts[n - 2]) && parts[n - 3] == "ALPHA") inner = true;
        if (n >= 3 && parts[n - 1] == "OUTER.TXT" && isDirName(parts[n - 2]) && parts[n - 3].rfind("FAT32", 0) == 0) {
            outer = true;
        }
    }
    EXPECT_TRUE(inner) << "INNER.TXT not at ALPHA/DIRn/INNER.TXT";
    EXPECT_TRUE(outer) << "OUTER.TXT not at DIRn/OUTER.TXT below the root";
}

// A FAT16 volume stored as the content of a file of the FAT32 volume, with files before and after
// it. The stored volume's root directory lies among the outer volume's clusters; read as one of
// its lost folders, its file would get the bytes of an outer cluster. No file may come back with
// bytes not its own, with the outer volume's boot region kept or zeroed, with a floppy image
// (FAT12, a volume the search does not know) in place of the FAT16 volume, and with the image cut
// short (where the outer volume keeps fewer clusters than FAT32 has).
TEST(FatLostClusterE2E, AVolumeStoredInAFileKeepsItsFolderSectors) {
    const std::string missing = MissingTools({"mmd", "mcopy", "mkfs.fat"});
    if (!missing.empty()) GTEST_SKIP() << "needs the packages mtools and dosfstools; missing: " << missing;
    constexpr u64 kOuterReservedBytes = 32 * 512;
    const struct {
        const char* what;
        bool zeroReserved;
        const char* makeStored;  // the stored volume, formatted in place
        u64 cutAt;               // the image's length, 0 for all of it
    } rows[] = {
        {"boot region kept", false, "truncate -s 4M {} && mkfs.fat -F 16 -s 1 {}", 0},
        {"reserved sectors zeroed", true, "truncate -s 4M {} && mkfs.fat -F 16 -s 1 {}", 0},
        {"a floppy image", false, "truncate -s 1440K {} && mkfs.fat -F 12 {}", 0},
        {"cut short", false, "truncate -s 4M {} && mkfs.fat -F 16 -s 1 {}", 32u << 20},
        {"a floppy image, reserved sectors zeroed, cut short", true, "truncate -s 1440K {} && mkfs.fat -F 12 {}",
         32u << 20},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        testutil::TempDir tmp;
        const std::string image = tmp.File("outer.img");
        const std::string stored = tmp.File("stored.img");
        const std::string inner = tmp.File("INNER.TXT");
        std::ofstream(inner, std::ios::binary | std::ios::trunc) << Content(11);
        std::string make = row.makeStored;
        for (size_t at = make.find("{}"); at != std::string::npos; at = make.find("{}")) make.replace(at, 2, stored);
        ASSERT_TRUE(RunQuiet(make + " && mcopy -i " + stored + " " + inner + " ::/INNER.TXT"));
        ASSERT_TRUE(testutil::WriteFileBytes(image, testutil::ReadFileBytes(testutil::FixturePath("fat32-basic.img"))));
        const std::string after = tmp.File("AFTER.TXT");
        std::ofstream(after, std::ios::binary | std::ios::trunc) << Content(12);
        ASSERT_TRUE(RunQuiet("mcopy -i " + image + " " + stored + " ::/DISK.IMG && mcopy -i " + image + " " + after +
                             " ::/AFTER.TXT"));
        if (row.zeroReserved || row.cutAt != 0) {
            std::vector<u8> bytes = testutil::ReadFileBytes(image);
            if (row.zeroReserved) std::fill(bytes.begin(), bytes.begin() + long(kOuterReservedBytes), u8(0));
            if (row.cutAt != 0) bytes.resize(row.cutAt);
            ASSERT_TRUE(testutil::WriteFileBytes(image, bytes));
        }
        const std::string out = tmp.File("recovered");
        ASSERT_NO_FATAL_FAILURE(RecoverWithCompleteScan(tmp, image, out));
        const std::map<std::string, std::string> pathByHash = PathByHash(out);
        EXPECT_EQ(pathByHash.count(testutil::Sha256File(stored)), 1u) << "the stored volume's file";
        EXPECT_EQ(pathByHash.count(testutil::Sha256File(after)), 1u) << "the file after it";
        for (const std::string& f : e2e::ListFiles(out)) {
            if (LastComponent(f) != "INNER.TXT") continue;
            EXPECT_EQ(testutil::Sha256File(out + "/" + f), testutil::Sha256File(inner)) << f;
        }
    }
}

// A volume filled with files in folders, formatted again with another cluster size and written
// to: the complete scan lists the volume in use with its new files exact and whole, the older
// volume's tree inside it read with its own clusters, and no file holding bytes not its own (the
// new files', the new FATs' zeros) counted whole.
TEST(FatLostClusterE2E, AVolumeFormattedOverWithOtherClustersStandsInTheVolumeInUse) {
    const std::string missing = MissingTools({"mkfs.vfat", "mmd", "mcopy"});
    if (!missing.empty()) GTEST_SKIP() << "needs the packages mtools and dosfstools; missing: " << missing;
    const struct {
        const char* what;
        const char* fat;
        u32 mib, oldSectors, newSectors, newFiles;
    } rows[] = {
        {"FAT32, 512-byte clusters, then 1 KiB", "32", 80, 1, 2, 3},
        {"FAT16, 16 KiB clusters, then 4 KiB", "16", 128, 32, 8, 0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        testutil::TempDir tmp;
        const std::string image = tmp.File("volume.img");
        const std::string mkfs = std::string("mkfs.vfat -F ") + row.fat + " -s ";
        std::set<std::string> written;  // every file's content hash
        ASSERT_TRUE(RunQuiet("truncate -s " + std::to_string(row.mib) + "M " + image + " && " + mkfs +
                             std::to_string(row.oldSectors) + " " + image));
        for (const char* folder : {"PHOTOS", "PHOTOS/Y2020", "DOCS"}) {
            ASSERT_TRUE(RunQuiet("mmd -i " + image + " ::/" + folder));
            for (u32 i = 0; i < 4; ++i) {
                const std::string source = tmp.File("source.bin");
                std::ofstream(source, std::ios::binary | std::ios::trunc)
                    << std::string(i * 9000 + 700, char('a' + i)) + folder;
                written.insert(testutil::Sha256File(source));
                const std::string target = std::string("::/") + folder + "/F" + std::to_string(i) + ".DAT";
                ASSERT_TRUE(RunQuiet("mcopy -i " + image + " " + source + " " + target));
            }
        }
        ASSERT_TRUE(RunQuiet(mkfs + std::to_string(row.newSectors) + " " + image));
        std::map<std::string, std::string> newByName;
        for (u32 i = 0; i < row.newFiles; ++i) {
            const std::string name = "NEW" + std::to_string(i) + ".BIN";
            const std::string source = tmp.File(name);
            std::ofstream(source, std::ios::binary | std::ios::trunc)
                << Content(1000 + i) + std::string(20000 * (i + 1), 'n');
            newByName[name] = testutil::Sha256File(source);
            written.insert(newByName[name]);
            ASSERT_TRUE(RunQuiet("mcopy -i " + image + " " + source + " ::/" + name));
        }
        ASSERT_TRUE(MakeDirectories(tmp.File("cwd")));
        const std::string out = tmp.File("recovered");
        const e2e::DriverRun run = e2e::RunDriverRun(
            {"--image", image, "--mode", "complete", "--volume", "0", "--recover", out}, tmp.File("cwd"),
            tmp.File("run.log"));
        const std::map<std::string, std::string> pathByHash = PathByHash(out);
        for (const auto& [name, hash] : newByName) {
            ASSERT_EQ(pathByHash.count(hash), 1u) << name;
            EXPECT_EQ(LastComponent(pathByHash.at(hash)), name);
            EXPECT_EQ(std::count(pathByHash.at(hash).begin(), pathByHash.at(hash).end(), '/'), 2) << "in the root";
        }
        size_t oldBack = 0;
        for (const std::string& f : e2e::ListFiles(out)) {
            const bool own = written.count(testutil::Sha256File(out + "/" + f)) != 0;
            const bool whole = std::none_of(run.incomplete.begin(), run.incomplete.end(), [&](const std::string& p) {
                return p.size() >= f.size() && p.compare(p.size() - f.size(), f.size(), f) == 0;
            });
            EXPECT_TRUE(own || !whole) << "bytes not its own, counted whole: " << f;
            oldBack += own && f.find("-byte clusters/") != std::string::npos;
        }
        EXPECT_GT(oldBack, 0u) << "the older volume's tree, read with its own clusters";
    }
}

}  // namespace
