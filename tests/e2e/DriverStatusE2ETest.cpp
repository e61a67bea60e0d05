// What the scan driver answers when not everything it was asked for could be done: its exit
// status and the line on stderr that says why, and its counts when an image is cut short.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <random>
#include <sstream>

#include "E2ESupport.h"
#include "Manifest.h"
#include "TestUtil.h"
#include "platform/ProgramDir.h"
#include "platform/Text.h"

namespace {

using testutil::ReadFileText;

std::string LastComponent(const std::string& path) { return path.substr(path.rfind('/') + 1); }

TEST(DriverStatusE2E, OnlyACompleteJobExitsWithZero) {
    testutil::TempDir tmp;
    const std::string ntfs = e2e::ImageArg("ntfs-basic");
    const std::string fifo = tmp.File("pipe.img");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::string noise = tmp.File("noise.img");
    std::vector<u8> bytes(1 << 20);
    std::mt19937 rng(7);
    for (u8& b : bytes) b = u8(rng());
    ASSERT_TRUE(testutil::WriteFileBytes(noise, bytes));
    // Images with no whole sector: nothing on them can be scanned.
    const std::string empty = tmp.File("empty.img");
    ASSERT_TRUE(testutil::WriteFileBytes(empty, {}));
    const std::string crumb = tmp.File("crumb.img");
    ASSERT_TRUE(testutil::WriteFileBytes(crumb, std::vector<u8>(511, 0xF6)));
    const std::string smallSector = tmp.File("small-sector.img");
    ASSERT_TRUE(testutil::WriteFileBytes(smallSector, std::vector<u8>(2048, 0)));

    struct Case {
        std::vector<std::string> args;
        int status;
        const char* says;  // on stderr; empty for a run that succeeds
    };
    const Case cases[] = {
        {{"--image", ntfs, "--volume", "none"}, 0, ""},
        {{"--image", ntfs, "--volume", "5"}, 1, "no volume 5 (1 volume(s) found)"},
        {{"--image", ntfs, "--volume", "disk:3"}, 1, "no disk 3"},
        {{"--image", tmp.Path()}, 1, "is a folder, not a disk image"},
        {{"--image", noise}, 1, "no volume found on the image(s)"},
        {{"--image", fifo}, 1, "neither a regular file nor a block device"},
        {{"--image", ntfs + "@1536"}, 1, "bad sector size"},
        {{"--image", ntfs + "@8192"}, 1, "bad sector size"},
        {{"--image", tmp.File("missing.img")}, 1, "cannot read image"},
        {{"--image", empty}, 1, "holds 0 byte(s), less than one sector of 512: nothing to scan"},
        {{"--image", empty, "--mode", "complete", "--volume", "disk:0"}, 1, "holds 0 byte(s)"},
        {{"--image", crumb}, 1, "holds 511 byte(s), less than one sector of 512"},
        {{"--image", smallSector + "@4096"}, 1, "holds 2048 byte(s), less than one sector of 4096"},
        {{"--image", ntfs, "--mode", "complete"}, 0, ""},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        const Case& c = cases[i];
        std::vector<std::string> args = c.args;
        if (std::find(args.begin(), args.end(), "--mode") == args.end()) {
            args.push_back("--mode");
            args.push_back("deleted");
        }
        const std::string log = tmp.File("run" + std::to_string(i) + ".log");
        SCOPED_TRACE(args[1]);
        EXPECT_EQ(e2e::RunDriver(args, tmp.Path(), log), c.status);
        const std::string output = ReadFileText(log);
        if (c.status != 0) {
            const size_t line = output.find("scan_driver: ");
            ASSERT_NE(line, std::string::npos) << output;
            EXPECT_NE(output.find(c.says, line), std::string::npos) << output;
        } else {
            EXPECT_EQ(output.find("scan_driver: "), std::string::npos) << output;
        }
    }
}

// The deleted files of ntfs-basic whose records are still there, in the order of their data.
std::vector<testutil::ManifestFile> DeletedWithRecords() {
    std::vector<testutil::ManifestFile> files;
    for (const testutil::ManifestFile& f : testutil::LoadManifest("ntfs-basic.json", 1)) {
        if (!f.live && f.metadataPresent && !f.resident && f.runs.size() == 1) files.push_back(f);
    }
    std::sort(files.begin(), files.end(), [](const auto& a, const auto& b) { return a.runs[0].first < b.runs[0].first; });
    return files;
}

TEST(DriverStatusE2E, ACutImageCountsWhatIsMissingAndNeverAsRecovered) {
    const std::vector<testutil::ManifestFile> deleted = DeletedWithRecords();
    ASSERT_GE(deleted.size(), 3u);
    // The image ends in the middle of a file's data: those before it come back whole, it comes
    // back incomplete, those after it fail.
    const testutil::ManifestFile& cutFile = deleted[deleted.size() / 2];
    const u64 cut = (cutFile.runs[0].first + cutFile.size / 2) / 512 * 512;

    testutil::TempDir tmp;
    const std::string image = testutil::CopyFixture(tmp, "ntfs-basic.img");
    ASSERT_EQ(::truncate(image.c_str(), off_t(cut)), 0);

    const std::string whole = tmp.File("whole");
    const std::string partial = tmp.File("partial");
    // The whole image's two deleted files whose clusters newer files took are counted incomplete.
    ASSERT_EQ(e2e::RunDriver({"--image", e2e::ImageArg("ntfs-basic"), "--mode", "deleted", "--recover", whole},
                             tmp.Path(), tmp.File("whole.log")),
              1);
    ASSERT_EQ(e2e::RunDriver({"--image", image, "--mode", "deleted", "--recover", partial, "--json",
                              tmp.File("report.json")},
                             tmp.Path(), tmp.File("partial.log")),
              1);
    EXPECT_NE(ReadFileText(tmp.File("partial.log")).find("scan_driver: "), std::string::npos);

    e2e::Json report;
    ASSERT_TRUE(testutil::ReadJsonFile(tmp.File("report.json"), report));
    const e2e::Json& recovered = report["recovered"];
    const u64 files = u64(recovered["files"].number);
    const u64 failed = u64(recovered["failed"].number);
    const u64 incomplete = u64(recovered["incomplete"].number);
    EXPECT_GE(files, deleted.size() / 2);
    EXPECT_GE(incomplete, 1u);
    EXPECT_GE(failed, deleted.size() - deleted.size() / 2 - 1);
    u64 found = 0;
    for (const e2e::Json& scan : report["scans"].items) {
        for (const e2e::Json& tree : scan["trees"].items) found += u64(tree["files"].number);
    }
    EXPECT_EQ(files + failed + incomplete, found);

    // Failed files leave nothing; a file counted as recovered is the one the whole image gives.
    const std::vector<std::string> written = e2e::ListFiles(partial);
    EXPECT_EQ(written.size(), files + incomplete);
    u64 differing = 0;
    for (const std::string& path : written) {
        differing += testutil::ReadFileBytes(partial + "/" + path) != testutil::ReadFileBytes(whole + "/" + path);
    }
    EXPECT_LE(differing, incomplete);

    // The file the image cuts keeps what the image holds of it, and zeros after.
    auto it = std::find_if(written.begin(), written.end(),
                           [&](const std::string& w) { return LastComponent(w) == LastComponent(cutFile.path); });
    ASSERT_NE(it, written.end());
    const std::vector<u8> full = testutil::ReadFileBytes(whole + "/" + *it);
    ASSERT_EQ(full.size(), cutFile.size);
    std::vector<u8> expected(full.begin(), full.begin() + long(cut - cutFile.runs[0].first));
    expected.resize(full.size(), 0);
    EXPECT_EQ(testutil::ReadFileBytes(partial + "/" + *it), expected);
}

// Gives the deleted exFAT entry set named `name` the first cluster 0 its size does not fit, as
// a damaged volume may, with the set's checksum made right again. False when there is none.
bool ZeroFirstCluster(std::vector<u8>& image, const std::string& name) {
    constexpr u8 kDeletedFile = 0x05, kDeletedStream = 0x40;
    constexpr size_t kEntry = 32, kNameUnits = 15;
    const std::u16string wanted = Utf8ToUtf16(name);
    for (size_t at = 0; at + 2 * kEntry <= image.size(); at += kEntry) {
        u8* set = image.data() + at;
        if (set[0] != kDeletedFile || set[kEntry] != kDeletedStream) continue;
        const size_t entries = size_t(set[1]) + 1;
        if (entries < 3 || at + entries * kEntry > image.size() || set[kEntry + 3] != wanted.size()) continue;
        std::u16string found;
        for (size_t e = 2; e < entries; ++e) {
            for (size_t u = 0; u < kNameUnits; ++u) found += char16_t(ReadLE16(set + e * kEntry + 2 + 2 * u));
        }
        if (found.compare(0, wanted.size(), wanted) != 0) continue;
        WriteLE32(set + kEntry + 20, 0);
        u16 sum = 0;
        for (size_t i = 0; i < entries * kEntry; ++i) {
            if (i == 2 || i == 3) continue;
            sum = u16(((sum & 1) ? 0x8000 : 0) + (sum >> 1) + set[i]);
        }
        WriteLE16(set + 2, sum);
        return true;
    }
    return false;
}

TEST(DriverStatusE2E, AFileThatFailsLeavesNoEmptyFileBehind) {
    testutil::TempDir tmp;
    std::string victim;
    u64 victimSize = 0;
    for (const testutil::ManifestFile& f : testutil::LoadManifest("exfat-basic.json", 1)) {
        if (!f.live && f.intact && f.size > 0) {
            victim = LastComponent(f.path);
            victimSize = f.size;
            break;
        }
    }
    ASSERT_FALSE(victim.empty());
    std::vector<u8> bytes = testutil::ReadFileBytes(testutil::FixturePath("exfat-basic.img"));
    ASSERT_TRUE(ZeroFirstCluster(bytes, victim)) << victim;
    const std::string image = tmp.File("exfat.img");
    ASSERT_TRUE(testutil::WriteFileBytes(image, bytes));

    const std::string out = tmp.File("out");
    EXPECT_EQ(e2e::RunDriver({"--image", image, "--mode", "deleted", "--recover", out, "--json", tmp.File("r.json")},
                             tmp.Path(), tmp.File("run.log"), {"TZ=UTC"}),
              1);
    e2e::Json report;
    ASSERT_TRUE(testutil::ReadJsonFile(tmp.File("r.json"), report));
    EXPECT_EQ(u64(report["recovered"]["failed"].number), 1u);
    EXPECT_GE(u64(report["recovered"]["files"].number), 1u);
    for (const std::string& path : e2e::ListFiles(out)) {
        EXPECT_NE(LastComponent(path), victim) << "a file " << victimSize << " bytes long with no data was written";
        struct stat st {};
        ASSERT_EQ(::stat((out + "/" + path).c_str(), &st), 0);
        EXPECT_GT(st.st_size, 0) << path;
    }
}

}  // namespace
