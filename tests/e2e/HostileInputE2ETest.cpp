// The scan driver against input made to hurt it: arguments that would silently turn an option
// off, partition tables that list one partition over and over, names that Linux can hold but
// Windows cannot, a recovery folder with a symbolic link standing in it, and sectors that look
// like the header of a file larger than the disk.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <sstream>

#include "E2ESupport.h"
#include "Manifest.h"
#include "TestUtil.h"
#include "devices/VolumeEnumerator.h"

namespace {

using testutil::ReadFileText;

// The driver's report of a run with these arguments; its exit status in `status`.
testutil::Json RunForReport(const testutil::TempDir& tmp, std::vector<std::string> args, int& status,
                            const std::string& tag) {
    const std::string json = tmp.File(tag + ".json");
    args.insert(args.end(), {"--json", json});
    status = e2e::RunDriver(args, tmp.Path(), tmp.File(tag + ".log"));
    testutil::Json report;
    EXPECT_TRUE(testutil::ReadJsonFile(json, report)) << ReadFileText(tmp.File(tag + ".log"));
    return report;
}

// Replaces each UTF-16 character `from` of every stored copy of `name` by `to`.
void RenameOnDisk(std::vector<u8>& image, const std::u16string& name, size_t at, char16_t to) {
    std::string needle(reinterpret_cast<const char*>(name.data()), name.size() * 2);
    std::string_view bytes(reinterpret_cast<const char*>(image.data()), image.size());
    size_t found = 0;
    for (size_t p = bytes.find(needle); p != std::string_view::npos; p = bytes.find(needle, p + 1)) {
        WriteLE16(image.data() + p + 2 * at, static_cast<u16>(to));
        ++found;
    }
    EXPECT_GT(found, 0u) << "no copy of the name on the image";
}

TEST(HostileInputE2E, ArgumentsThatWouldTurnAnOptionOffAreRefused) {
    testutil::TempDir tmp;
    const std::string image = e2e::ImageArg("fat16-basic");
    struct Case {
        std::vector<std::string> args;
        int status;
        const char* says;  // on stderr; empty for a run that succeeds
    };
    const Case cases[] = {
        {{"--mode", "deleted", "--recover", ""}, 1, "--recover needs a path"},
        {{"--mode", "deleted", "--save", ""}, 1, "--save needs a path"},
        {{"--mode", "deleted", "--json", ""}, 1, "--json needs a path"},
        {{"--load", ""}, 1, "--load needs a path"},
        {{"--mode", "deleted", "--volume", "-0"}, 1, "no volume -0"},
        {{"--mode", "deleted", "--volume", " 0"}, 1, "no volume  0"},
        {{"--mode", "deleted", "--volume", "+0"}, 1, "no volume +0"},
        {{"--mode", "deleted", "--volume", "disk:-0"}, 1, "no disk -0"},
        {{"--volume", "none"}, 0, ""},
        {{"--mode", "deleted", "--volume", "0"}, 0, ""},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        const Case& c = cases[i];
        std::vector<std::string> args = {"--image", image};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const std::string log = tmp.File("run" + std::to_string(i) + ".log");
        SCOPED_TRACE(c.args.back().empty() ? c.args[c.args.size() - 2] + " \"\"" : c.args.back());
        EXPECT_EQ(e2e::RunDriver(args, tmp.Path(), log), c.status);
        const std::string output = ReadFileText(log);
        if (c.status != 0) {
            EXPECT_NE(output.find(std::string("scan_driver: ") + c.says), std::string::npos) << output;
        } else {
            EXPECT_EQ(output.find("scan_driver: "), std::string::npos) << output;
        }
    }
}

// A result saved from a scan of a whole disk names that disk as its volume: it loads, and its
// files recover as the scan's did.
TEST(HostileInputE2E, AResultSavedFromAWholeDiskLoads) {
    testutil::TempDir tmp;
    const std::string image = e2e::ImageArg("fat16-basic");
    const std::string saved = tmp.File("disk.rsf");
    const e2e::DriverRun scan = e2e::RunDriverRun({"--image", image, "--volume", "disk:0", "--mode", "complete", "--save",
                                                   saved, "--recover", tmp.File("a"), "--json", tmp.File("scan.json")},
                                                  tmp.Path(), tmp.File("scan.log"));
    e2e::ExpectRecoveredAsManifests(scan, tmp.File("a"), {"fat16-basic"});
    const testutil::Json& scanned = scan.report;
    const e2e::DriverRun load = e2e::RunDriverRun(
        {"--image", image, "--load", saved, "--recover", tmp.File("b"), "--json", tmp.File("load.json")}, tmp.Path(),
        tmp.File("load.log"));
    ASSERT_EQ(load.status, scan.status) << ReadFileText(tmp.File("load.log"));
    EXPECT_EQ(load.incomplete.size(), scan.incomplete.size());
    const testutil::Json& loaded = load.report;
    ASSERT_EQ(loaded["scans"].items.size(), 1u);
    ASSERT_FALSE(loaded["volumes"].items.empty());
    // The loaded whole disk follows the volumes the disk's table gives.
    EXPECT_EQ(loaded["volumes"].items.back()["kind"].text, "disk");
    EXPECT_EQ(loaded["scans"].items[0]["volume"].number, loaded["volumes"].items.back()["index"].number);
    EXPECT_GT(loaded["recovered"]["files"].number, 0.0);
    EXPECT_EQ(loaded["recovered"]["files"].number, scanned["recovered"]["files"].number);
    EXPECT_EQ(e2e::ListFiles(tmp.File("b")).size(), e2e::ListFiles(tmp.File("a")).size());
}

// A GPT whose 128 entries all name the same partition lists that partition once.
TEST(HostileInputE2E, APartitionTheTableListsManyTimesIsOneVolume) {
    testutil::TempDir tmp;
    const std::string path = testutil::CopyFixture(tmp, "gpt-disk.img");
    std::vector<u8> bytes = testutil::ReadFileBytes(path);
    constexpr size_t kEntries = 1024, kEntrySize = 128, kEntryCount = 128;
    for (size_t i = 1; i < kEntryCount; ++i) {
        std::memcpy(bytes.data() + kEntries + i * kEntrySize, bytes.data() + kEntries, kEntrySize);
    }
    ASSERT_TRUE(testutil::WriteFileBytes(path, bytes));
    int status = -1;
    const testutil::Json report = RunForReport(tmp, {"--image", path, "--volume", "none"}, status, "list");
    EXPECT_EQ(status, 0);
    size_t basic = 0;
    for (const testutil::Json& v : report["volumes"].items) basic += v["kind"].text == "basic" ? 1 : 0;
    EXPECT_EQ(basic, 1u);
}

// A disk whose table and boot sector are gone (a blank one, large enough for its whole to count
// as an area): its area is listed without a file-system name.
TEST(HostileInputE2E, AnUnpartitionedAreaHasNoFileSystemName) {
    testutil::TempDir tmp;
    const std::string blank = tmp.File("blank.img");
    std::ofstream(blank).close();
    ASSERT_EQ(::truncate(blank.c_str(), off_t(kUnpartitionedGapSectors + 1) * 1024), 0);
    int status = -1;
    const testutil::Json report = RunForReport(tmp, {"--image", blank, "--volume", "none"}, status, "list");
    EXPECT_EQ(status, 0);
    size_t areas = 0;
    for (const testutil::Json& v : report["volumes"].items) {
        if (v["kind"].text != "unpartitioned") continue;
        ++areas;
        EXPECT_EQ(v["fs"].text, "") << v["label"].text;
    }
    EXPECT_GT(areas, 0u);
}

// ntfs-3g writes names that Windows cannot hold, and a damaged record may hold control
// characters: the first are recovered under their own names, the second with '_' in place of
// the control characters, both with their contents.
TEST(HostileInputE2E, NtfsNamesWithWindowsReservedCharactersAreRecovered) {
    testutil::TempDir tmp;
    const std::string path = testutil::CopyFixture(tmp, "ntfs-basic.img");
    std::vector<u8> bytes = testutil::ReadFileBytes(path);
    RenameOnDisk(bytes, u"customer_morning_144.png", 8, u':');
    RenameOnDisk(bytes, u"DSC00929.DOC", 3, u'\n');
    ASSERT_TRUE(testutil::WriteFileBytes(path, bytes));
    int status = -1;
    const std::string out = tmp.File("out");
    RunForReport(tmp, {"--image", path, "--mode", "deleted", "--recover", out}, status, "scan");
    const std::vector<std::string> files = e2e::ListFiles(out);
    struct Expected {
        const char* name;
        const char* manifestPath;
    };
    for (const Expected& e : {Expected{"customer:morning_144.png", "/Temp/customer_morning_144.png"},
                              Expected{"DSC_0929.DOC", "/Temp/cache/old versions/DSC00929.DOC"}}) {
        SCOPED_TRACE(e.name);
        const auto it = std::find_if(files.begin(), files.end(),
                                     [&](const std::string& f) { return e2e::LastComponent(f) == e.name; });
        ASSERT_NE(it, files.end()) << "not recovered";
        // The bytes are the fixture's own: only the name was changed on the disk.
        const auto manifest = testutil::LoadManifest("ntfs-basic.json", 1);
        const auto entry = std::find_if(manifest.begin(), manifest.end(),
                                        [&](const testutil::ManifestFile& f) { return f.path == e.manifestPath; });
        ASSERT_NE(entry, manifest.end());
        EXPECT_EQ(testutil::Sha256File(out + "/" + *it), entry->sha256);
    }
}

// A symbolic link standing where the driver makes the volume's folder would send every file
// elsewhere: the run is refused and nothing lands outside the recovery folder.
TEST(HostileInputE2E, ALinkInTheRecoveryFolderIsNotFollowed) {
    testutil::TempDir tmp;
    const std::string out = tmp.File("out");
    const std::string elsewhere = tmp.File("elsewhere");
    ASSERT_EQ(::mkdir(out.c_str(), 0700), 0);
    ASSERT_EQ(::mkdir(elsewhere.c_str(), 0700), 0);
    ASSERT_EQ(::symlink(elsewhere.c_str(), (out + "/0").c_str()), 0);
    const std::string log = tmp.File("run.log");
    EXPECT_EQ(e2e::RunDriver({"--image", e2e::ImageArg("fat16-basic"), "--mode", "deleted", "--recover", out},
                             tmp.Path(), log),
              1);
    EXPECT_NE(ReadFileText(log).find("is a symbolic link"), std::string::npos) << ReadFileText(log);
    EXPECT_TRUE(e2e::ListEntries(elsewhere).empty());
}

// Sectors that look like the header of a Flash or bitmap file larger than the whole disk (as an
// MP3 frame holding "FWS" does) are no file; one whose stated size fits is carved whole.
TEST(HostileInputE2E, NoCarvedFileRunsPastTheEndOfTheDisk) {
    testutil::TempDir tmp;
    constexpr u64 kImageBytes = 1 << 20;
    constexpr u32 kFitting = 3000;
    auto header = [](const char* magic, u32 sizeAt, u32 size) {
        std::vector<u8> h(512, 0x5A);
        std::memcpy(h.data(), magic, std::strlen(magic));
        WriteLE32(h.data() + sizeAt, size);
        return h;
    };
    std::vector<u8> swfTooLarge = header("FWS\x0A", 4, 0xD5000000u);
    std::vector<u8> bmpTooLarge = header("BM", 2, 8u << 20);
    WriteLE32(bmpTooLarge.data() + 6, 0);
    WriteLE32(bmpTooLarge.data() + 14, 40);
    std::vector<u8> swfFitting = header("FWS\x0A", 4, kFitting);
    swfFitting.resize(kFitting, 0x33);
    const std::string path = tmp.File("disk.img");
    ASSERT_TRUE(e2e::WritePlantedImage(
        path, {{swfTooLarge, 64 * 512}, {bmpTooLarge, 256 * 512}, {swfFitting, 512 * 512}}, kImageBytes));
    const std::string out = tmp.File("out");
    int status = -1;
    RunForReport(tmp, {"--image", path, "--volume", "disk:0", "--mode", "complete", "--recover", out}, status, "scan");
    size_t fitting = 0;
    for (const std::string& f : e2e::ListFiles(out)) {
        struct stat st {};
        ASSERT_EQ(::stat((out + "/" + f).c_str(), &st), 0);
        EXPECT_LE(u64(st.st_size), kImageBytes) << f;
        fitting += u64(st.st_size) == kFitting ? 1 : 0;
    }
    EXPECT_EQ(fitting, 1u);
}

}  // namespace
