// No recovered file is longer than the disk it came from. Length fields are read from the disk
// and can say anything: a ZIP or RIFF header that claims gigabytes on a disk of a few megabytes
// (sized in the lost-file pass when the disk is smaller than the RAW search's ring, in the block
// loop when it is larger), a FAT image cut short whose boot sector still claims the whole volume,
// and a FAT32 boot sector that claims 2^32 - 1 sectors. Each disk goes through the scan driver's
// deleted-file or complete scan, and every file it writes is measured against the image. A
// carved file whose header claims more than the disk holds after it is cut at the disk's end:
// it is the disk's bytes from its start on, counted incomplete, and the run fails. A copy of a
// fixture cut short or with sectors zeroed, as a failing disk's partial image is, gives no file
// counted whole that the same scan of the whole fixture does not give: what lies past the cut is
// counted incomplete or failed, never written as zeros and counted whole; a file larger than what
// the cut copy holds, not than the disk copied, is listed and counted so, never left out unsaid.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <functional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "E2ESupport.h"
#include "TestUtil.h"

namespace {

constexpr u64 kKiB = 1024;
constexpr u64 kMiB = 1024 * kKiB;
constexpr u64 kSector = 512;
constexpr u32 kDirEntryBytes = 32;
constexpr u8 kDeletedMark = 0xE5;
constexpr u8 kLongNameAttributes = 0x0F;
constexpr u8 kFolderOrLabel = 0x18;
constexpr u32 kHugeSize = 0xFFFFFFFFu;
constexpr int kAllRecovered = 0;
constexpr int kSomeIncomplete = 1;

std::string Lower(std::string text) {
    for (char& ch : text) ch = char(std::tolower(static_cast<unsigned char>(ch)));
    return text;
}

// A ZIP local header whose stored data claims 2.4 GB.
std::vector<u8> HugeZipHeader() {
    std::vector<u8> h(kSector, 0x41);
    const u8 fixed[] = {'P', 'K', 3, 4, 20, 0, 0, 0, 0, 0, 0, 0, 0x21, 0x4A};
    std::memcpy(h.data(), fixed, sizeof fixed);
    WriteLE32(h.data() + 14, 0x12345678u);  // CRC
    WriteLE32(h.data() + 18, 0x90000000u);  // compressed size
    WriteLE32(h.data() + 22, 0x90000000u);
    WriteLE16(h.data() + 26, 8);  // name length
    WriteLE16(h.data() + 28, 0);
    std::memcpy(h.data() + 30, "data.bin", 8);
    return h;
}

// A RIFF header whose first chunk claims 2 GiB.
std::vector<u8> HugeRiffHeader() {
    std::vector<u8> h(kSector, 0x52);
    std::memcpy(h.data(), "RIFF", 4);
    WriteLE32(h.data() + 4, 0x7FFFFFF8u);
    std::memcpy(h.data() + 8, "WAVEfmt ", 8);
    return h;
}

struct Geometry {
    u64 reserved = 0;
    u64 fats = 0;
    u64 fatSectors = 0;
    u64 rootEntries = 0;
    u64 spc = 0;
    u32 rootCluster = 0;
    u64 RootStart() const { return (reserved + fats * fatSectors) * kSector; }
    u64 DataStart() const { return RootStart() + rootEntries * kDirEntryBytes; }
};

Geometry ReadGeometry(const std::vector<u8>& image) {
    Geometry g;
    g.spc = image[13];
    g.reserved = ReadLE16(image.data() + 14);
    g.fats = image[16];
    g.rootEntries = ReadLE16(image.data() + 17);
    g.fatSectors = ReadLE16(image.data() + 22);
    if (g.fatSectors == 0) {
        g.fatSectors = ReadLE32(image.data() + 36);
        g.rootCluster = ReadLE32(image.data() + 44);
    }
    return g;
}

// The first short-name file entry of the directory at `at` (its first sector's entries) that is
// deleted or live as asked; its offset, or 0.
u64 FindFileEntry(const std::vector<u8>& image, u64 at, u64 bytes, bool deleted) {
    for (u64 e = at; e + kDirEntryBytes <= at + bytes && e + kDirEntryBytes <= image.size(); e += kDirEntryBytes) {
        const u8 first = image[e];
        const u8 attributes = image[e + 11];
        if (first == 0 || attributes == kLongNameAttributes || (attributes & kFolderOrLabel) != 0) continue;
        if ((first == kDeletedMark) == deleted && first != '.') return e;
    }
    return 0;
}

// Makes the image at `path`; false when the fixture cannot be read or holds no such entry.
using MakeImage = std::function<bool(const std::string& path)>;

struct BoundCase {
    const char* name;
    const char* mode;
    const char* volume;
    MakeImage make;
    // A file the run must write (so that the bound is not met by writing nothing): a name part,
    // in any case. Null where the image holds none of its files' bytes.
    const char* mustWrite;
    int status;
    // Where the carved headers lie: each is cut at the disk's end. Empty for the file systems.
    std::vector<u64> carvedAt;
    // The fixture the image is a damaged copy of; null when it is none.
    const char* source = nullptr;
    // Files past the cut whose entries the image still holds: at least these are counted failed or
    // incomplete, none left out unsaid.
    u64 unread = 0;
};

MakeImage Carved(u64 bytes, std::vector<u64> offsets) {
    return [bytes, offsets](const std::string& path) {
        std::vector<e2e::PlantedFile> files;
        for (size_t i = 0; i < offsets.size(); ++i) {
            files.push_back({i % 2 == 0 ? HugeZipHeader() : HugeRiffHeader(), offsets[i]});
        }
        return e2e::WritePlantedImage(path, files, bytes);
    };
}

BoundCase CarvedCase(const char* name, u64 bytes, const std::vector<u64>& offsets) {
    return {name, "complete", "disk:0", Carved(bytes, offsets), "zip", kSomeIncomplete, offsets};
}

// The carved header a written file stands for: the file is the disk's bytes from that offset to
// the disk's end. None (the end) when no header fits.
u64 CarvedStartOf(const std::vector<u8>& file, const std::vector<u8>& disk, const std::vector<u64>& offsets) {
    for (const u64 at : offsets) {
        if (at + file.size() == disk.size() && std::equal(file.begin(), file.end(), disk.begin() + long(at))) return at;
    }
    return disk.size();
}

// fat16-basic (32 MiB) cut to 16 MiB, its deleted root file claiming 4 GiB.
bool MakeCutFat16(const std::string& path) {
    std::vector<u8> image = testutil::ReadFileBytes(testutil::FixturePath("fat16-basic.img"));
    if (image.size() < 16 * kMiB) return false;
    image.resize(16 * kMiB);
    const Geometry g = ReadGeometry(image);
    const u64 entry = FindFileEntry(image, g.RootStart(), g.rootEntries * kDirEntryBytes, true);
    if (entry == 0) return false;
    WriteLE32(image.data() + entry + 28, kHugeSize);
    return testutil::WriteFileBytes(path, image);
}

// fat32-basic whose boot sector claims 2^32 - 1 sectors, a live root file or the deleted
// Projects/PROJECT.TXT claiming 4 GiB: the volume is no longer than its FAT can name, so the file
// is still too large for it.
MakeImage Fat32ClaimingTooMuch(bool deleted) {
    return [deleted](const std::string& path) {
        std::vector<u8> image = testutil::ReadFileBytes(testutil::FixturePath("fat32-basic.img"));
        if (image.size() < kMiB) return false;
        const Geometry g = ReadGeometry(image);
        const u64 root = g.DataStart() + (g.rootCluster - 2) * g.spc * kSector;
        u64 entry = 0;
        if (deleted) {
            const std::string_view name = "?ROJECT TXT";  // its first byte the deleted mark
            const auto at = std::search(image.begin(), image.end(), name.begin(), name.end(), [](u8 a, char b) {
                return b == '?' ? a == kDeletedMark : a == u8(b);
            });
            if (at != image.end() && (at - image.begin()) % kDirEntryBytes == 0) entry = u64(at - image.begin());
        } else {
            entry = FindFileEntry(image, root, g.spc * kSector, false);
        }
        if (entry == 0) return false;
        WriteLE32(image.data() + entry + 28, kHugeSize);
        WriteLE32(image.data() + 32, kHugeSize);
        return testutil::WriteFileBytes(path, image);
    };
}

// A fixture kept up to `keep` bytes, with the sectors `zeroed` zeroed as a copy tool writes sectors
// it could not read.
MakeImage DamagedCopy(const char* fixture, u64 keep, std::vector<u64> zeroed) {
    return [=](const std::string& path) {
        std::vector<u8> image = testutil::ReadFileBytes(testutil::FixturePath(fixture));
        if (image.size() < keep || (!zeroed.empty() && keep < (zeroed.back() + 1) * kSector)) return false;
        image.resize(keep);
        for (const u64 sector : zeroed) std::fill_n(image.begin() + long(sector * kSector), kSector, 0);
        return testutil::WriteFileBytes(path, image);
    };
}

// exfat-basic cut to 8 MiB, the deleted set of a file at 2 MiB claiming `length` bytes.
MakeImage ExFatDeletedClaiming(u64 length) {
    return [length](const std::string& path) {
        std::vector<u8> image = testutil::ReadFileBytes(testutil::FixturePath("exfat-basic.img"));
        const char16_t name[] = u"project_data_32";  // its first name entry's units: "project_data_320.wmv"
        const u8* units = reinterpret_cast<const u8*>(name);
        const auto at = std::search(image.begin(), image.end(), units, units + sizeof name - sizeof name[0]);
        // The file and stream entries precede the first name entry, whose units begin 2 bytes in.
        constexpr long kUnitsInSet = 2 * kDirEntryBytes + 2;
        if (at == image.end() || at - image.begin() < kUnitsInSet || image.size() < 8 * kMiB) return false;
        u8* set = &*at - kUnitsInSet;
        WriteLE64(set + 40, length);  // the stream's valid and whole lengths
        WriteLE64(set + 56, length);
        u16 sum = 0;  // over the set as it was in use
        for (u32 i = 0; i < kDirEntryBytes * (set[1] + 1u); ++i) {
            const u8 b = i % kDirEntryBytes == 0 ? u8(set[i] | 0x80) : set[i];
            if (i != 2 && i != 3) sum = u16(((sum & 1) != 0 ? 0x8000 : 0) + (sum >> 1) + b);
        }
        WriteLE16(set + 2, sum);
        image.resize(8 * kMiB);
        return testutil::WriteFileBytes(path, image);
    };
}

// ntfs-basic is 64 MiB, its MFT at 16 KiB.
MakeImage DamagedNtfs(u64 keep, u64 zeroFrom = 0, u64 zeroTo = 0) {
    std::vector<u64> zeroed;
    for (u64 sector = zeroFrom / kSector; sector < zeroTo / kSector; ++sector) zeroed.push_back(sector);
    return DamagedCopy("ntfs-basic.img", keep, zeroed);
}

const BoundCase kCases[] = {
    CarvedCase("Raw1MiB", 1 * kMiB, {64 * kSector, 256 * kSector}),
    CarvedCase("Raw16MiB", 16 * kMiB, {kMiB, 15 * kMiB}),
    CarvedCase("Raw100MiB", 100 * kMiB, {kMiB, 90 * kMiB, 99 * kMiB}),
    // The deleted-file scan leaves out a file larger than the volume (a deleted one whose clusters
    // later files took); the others still come back, the four other such ones counted incomplete.
    {"Fat16CutShortDeletedScan", "deleted", "all", MakeCutFat16, ".mp3", kSomeIncomplete, {}, "fat16-basic.img", 4},
    {"Fat16CutShortCompleteScan", "complete", "disk:0", MakeCutFat16, ".gz", kSomeIncomplete, {}, "fat16-basic.img"},
    // The files of its last 24 MiB are gone; in the other, records 70 to 79.
    {"NtfsCutShortDeletedScan", "deleted", "all", DamagedNtfs(40 * kMiB), ".png", kSomeIncomplete, {},
     "ntfs-basic.img"},
    {"NtfsCutShortCompleteScan", "complete", "disk:0", DamagedNtfs(40 * kMiB), ".pdf", kSomeIncomplete, {},
     "ntfs-basic.img"},
    // ntfs-basic's two deleted files whose clusters newer files took are counted incomplete.
    {"NtfsZeroedRecordsCompleteScan", "complete", "disk:0", DamagedNtfs(64 * kMiB, 172 * kSector, 192 * kSector),
     ".pdf", kSomeIncomplete, {}, "ntfs-basic.img", 2},
    // Without boot sectors (0, 6) and FAT starts (32; 663 after the second's, so neither is read),
    // cut after 8000 of 81920 sectors: the five files of Projects past the cut and the large file
    // it cuts are the guessed layout's own. Too few clusters are left for FAT32, but the room its
    // FATs had is a FAT32 volume's: read as FAT32, from its root cluster.
    {"Fat32WithoutBootOrFatsCutShortCompleteScan", "complete", "disk:0",
     DamagedCopy("fat32-basic.img", 8000 * kSector, {0, 6, 32, 663}), ".psd", kSomeIncomplete, {}, nullptr, 6},
    // Cut after the folders that hold deleted files, or after their MFT records: a file larger
    // than what the image holds is still the volume's, listed and counted failed or incomplete.
    {"Fat16CutAfterItsFoldersDeletedScan", "deleted", "all", DamagedCopy("fat16-basic.img", 128 * kKiB, {}),
     nullptr, kSomeIncomplete, {}, "fat16-basic.img", 8},
    {"Fat32CutAfterItsFoldersDeletedScan", "deleted", "all", DamagedCopy("fat32-basic.img", 700 * kKiB, {}),
     nullptr, kSomeIncomplete, {}, "fat32-basic.img", 6},
    {"ExFatFileLargerThanCutImageDeletedScan", "deleted", "all", ExFatDeletedClaiming(24 * kMiB), ".wmv",
     kSomeIncomplete, {}, "exfat-basic.img", 4},
    {"NtfsCutAfterItsRecordsDeletedScan", "deleted", "all", DamagedNtfs(160 * kKiB), nullptr, kSomeIncomplete, {},
     "ntfs-basic.img", 5},
    // fat32-basic's two deleted pictures whose data was written over are counted incomplete.
    {"Fat32ClaimingTooMuchDeletedScan", "deleted", "all", Fat32ClaimingTooMuch(false), ".txt", kSomeIncomplete, {},
     nullptr, 2},
    {"Fat32ClaimingTooMuchCompleteScan", "complete", "disk:0", Fat32ClaimingTooMuch(false), ".txt", kSomeIncomplete,
     {}, nullptr, 2},
    {"Fat32DeletedFileClaimingTooMuchDeletedScan", "deleted", "all", Fat32ClaimingTooMuch(true), ".txt",
     kSomeIncomplete, {}, nullptr, 2},
};

class DeviceBoundE2E : public ::testing::TestWithParam<BoundCase> {};

TEST_P(DeviceBoundE2E, NoRecoveredFileIsLongerThanItsDisk) {
    const BoundCase& c = GetParam();
    testutil::TempDir tmp;
    const std::string image = tmp.File("disk.img");
    ASSERT_TRUE(c.make(image)) << "image not made";
    struct stat imageStat {};
    ASSERT_EQ(::stat(image.c_str(), &imageStat), 0);
    // A damaged copy's files are those of the disk it was copied from, which is the bound.
    struct stat sourceStat {};
    ASSERT_TRUE(c.source == nullptr || ::stat(testutil::FixturePath(c.source).c_str(), &sourceStat) == 0);
    const u64 diskBytes = std::max(u64(imageStat.st_size), u64(sourceStat.st_size));
    const std::string out = tmp.File("out");
    const int status = e2e::RunDriver({"--image", image, "--mode", c.mode, "--volume", c.volume, "--recover", out,
                                       "--json", tmp.File("report.json")},
                                      tmp.Path(), tmp.File("run.log"));
    const std::string log = testutil::ReadFileText(tmp.File("run.log"));
    EXPECT_EQ(status, c.status) << log;
    testutil::Json report;
    ASSERT_TRUE(testutil::ReadJsonFile(tmp.File("report.json"), report)) << log;
    const testutil::Json& recovered = report["recovered"];
    EXPECT_GE(u64(recovered["failed"].number + recovered["incomplete"].number), c.unread) << log;
    bool wroteExpected = c.mustWrite == nullptr;
    std::vector<u64> carvedWritten;
    const std::vector<u8> disk = c.carvedAt.empty() ? std::vector<u8>() : testutil::ReadFileBytes(image);
    for (const std::string& f : e2e::ListFiles(out)) {
        struct stat st {};
        ASSERT_EQ(::stat((out + "/" + f).c_str(), &st), 0);
        EXPECT_LE(u64(st.st_size), diskBytes) << f;
        wroteExpected = wroteExpected || Lower(f).find(c.mustWrite) != std::string::npos;
        // A carved file ends where the disk does, not a disk's length after its own start.
        if (!c.carvedAt.empty()) {
            const u64 start = CarvedStartOf(testutil::ReadFileBytes(out + "/" + f), disk, c.carvedAt);
            EXPECT_NE(start, disk.size()) << f << " (" << st.st_size << " bytes) is not a header's rest of the disk";
            carvedWritten.push_back(start);
        }
    }
    EXPECT_TRUE(wroteExpected) << "no file with " << c.mustWrite << " written";
    if (!c.carvedAt.empty()) {
        std::sort(carvedWritten.begin(), carvedWritten.end());
        EXPECT_EQ(carvedWritten, c.carvedAt);
        EXPECT_EQ(u64(recovered["incomplete"].number), c.carvedAt.size()) << log;
        EXPECT_EQ(u64(recovered["files"].number), 0u) << log;
        EXPECT_NE(log.find(std::to_string(c.carvedAt.size()) + " incomplete"), std::string::npos) << log;
    }
    if (c.source != nullptr) {
        const std::string whole = tmp.File("whole");
        e2e::RunDriver({"--image", testutil::FixturePath(c.source), "--mode", c.mode, "--volume", c.volume,
                        "--recover", whole},
                       tmp.Path(), tmp.File("whole.log"));
        std::set<std::string> wholeFiles;
        for (const auto& [path, hash] : e2e::HashTree(whole)) wholeFiles.insert(hash);
        u64 others = 0;
        for (const auto& [path, hash] : e2e::HashTree(out)) others += wholeFiles.count(hash) == 0 ? 1 : 0;
        EXPECT_LE(others, u64(recovered["incomplete"].number)) << log;
    }
}

INSTANTIATE_TEST_SUITE_P(Disks, DeviceBoundE2E, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<BoundCase>& info) { return std::string(info.param.name); });

}  // namespace
