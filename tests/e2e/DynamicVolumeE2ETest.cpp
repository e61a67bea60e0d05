// Dynamic volumes end to end: the scan driver opens the disks of a written dynamic disk group
// (MBR and GPT disks), the enumeration lists each volume once with its file system and label,
// and the deleted-file scan of each volume recovers what the same file system recovers as a
// plain fixture; with a disk of the group missing, the RAID-5 volume still recovers it all.
#include <gtest/gtest.h>

#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "E2ESupport.h"
#include "LdmGroup.h"
#include "TestUtil.h"

namespace {

struct Recovered {
    std::string sha256;
    i64 mtime;
    bool operator==(const Recovered& o) const { return sha256 == o.sha256 && mtime == o.mtime; }
};
using Files = std::map<std::string, Recovered>;

Files RecoveredFiles(const std::string& root) {
    Files out;
    for (const std::string& f : e2e::ListFiles(root)) {
        out[f] = {testutil::Sha256File(root + "/" + f), e2e::ModificationTime(root + "/" + f)};
    }
    return out;
}

// What the driver recovers from the volume of `fixture` that starts at `start`.
Files FromFixture(const testutil::TempDir& tmp, const ldmtest::StandardVolume& s) {
    const std::string out = tmp.File(std::string("plain-") + s.name);
    const std::string json = out + ".json";
    const int status = e2e::RunDriver(
        {"--image", e2e::ImageArg(s.fixture), "--mode", "deleted", "--recover", out, "--json", json}, tmp.Path(),
        out + ".log");
    e2e::Json report;
    EXPECT_TRUE(testutil::ReadJsonFile(json, report));
    e2e::ExpectOnlyDamagedIncomplete(status, report, e2e::DamagedDeletedFiles(std::string(s.fixture) + ".json"));
    const e2e::Json* volume = e2e::FindVolume(report, 0, s.fixtureStart);
    if (volume == nullptr) return {};
    return RecoveredFiles(out + "/" + std::to_string(int((*volume)["index"].number)));
}

struct GroupRun {
    const char* what;
    size_t disks;
    std::vector<const char*> recovering;  // volumes whose files must all come back
};
std::ostream& operator<<(std::ostream& os, const GroupRun& r) { return os << r.what; }

// The scan driver on the group's first `disks` disks, deleted-file scan of every volume; the
// report's path. With a disk missing, the files of the volumes that lay on it in part cannot be
// read whole: they are counted failed or incomplete, and the run says so in its exit status.
// With every disk only the fixtures' deleted files whose data was written over may be.
std::string ScanGroup(const testutil::TempDir& tmp, const std::vector<std::string>& disks, size_t count) {
    std::vector<std::string> args;
    for (size_t i = 0; i < count; ++i) {
        args.push_back("--image");
        args.push_back(disks[i]);
    }
    const std::string out = tmp.File(std::string("dynamic") + std::to_string(count));
    for (const char* a : {"--mode", "deleted", "--recover"}) args.push_back(a);
    args.push_back(out);
    args.push_back("--json");
    args.push_back(out + ".json");
    const bool diskMissing = count < disks.size();
    const int status = e2e::RunDriver(args, tmp.Path(), out + ".log");
    e2e::Json report;
    EXPECT_TRUE(testutil::ReadJsonFile(out + ".json", report));
    const e2e::Json& recovered = report["recovered"];
    if (diskMissing) {
        EXPECT_EQ(status, 1);
        EXPECT_GT(recovered["failed"].number + recovered["incomplete"].number, 0);
    } else {
        size_t damaged = 0;
        for (const ldmtest::StandardVolume& s : ldmtest::StandardVolumes()) {
            damaged += e2e::DamagedDeletedFiles(std::string(s.fixture) + ".json");
        }
        e2e::ExpectOnlyDamagedIncomplete(status, report, damaged);
    }
    return out;
}

// All disks of the group, then one missing: each is a driver run of its own.
class DynamicVolumeGroup : public ::testing::TestWithParam<GroupRun> {};

TEST_P(DynamicVolumeGroup, EachVolumeListedOnceAndItsDeletedFilesRecovered) {
    const GroupRun& run = GetParam();
    testutil::TempDir tmp;
    const std::vector<std::string> disks = ldmtest::WriteStandardGroup(tmp.Path(), MORVENDA_FIXTURES_DIR);
    ASSERT_EQ(disks.size(), 3u);
    std::map<std::string, Files> plain;
    for (const ldmtest::StandardVolume& s : ldmtest::StandardVolumes()) plain[s.name] = FromFixture(tmp, s);
    const std::string out = ScanGroup(tmp, disks, run.disks);
    e2e::Json report;
    ASSERT_TRUE(testutil::ReadJsonFile(out + ".json", report));

    std::map<std::string, int> byLabel;
    for (const e2e::Json& v : report["volumes"].items) {
        if (v["kind"].text != "dynamic") continue;
        ++byLabel[v["label"].text];
    }
    for (const ldmtest::StandardVolume& s : ldmtest::StandardVolumes()) {
        SCOPED_TRACE(s.name);
        EXPECT_EQ(byLabel[s.label], 1) << "listed once";
        const e2e::Json* volume = nullptr;
        for (const e2e::Json& v : report["volumes"].items) {
            if (v["kind"].text == "dynamic" && v["label"].text == s.label) volume = &v;
        }
        ASSERT_NE(volume, nullptr);
        EXPECT_EQ((*volume)["fs"].text, s.fsName);
        bool recovering = false;
        for (const char* name : run.recovering) recovering = recovering || std::string(name) == s.name;
        if (!recovering) continue;
        const Files got = RecoveredFiles(out + "/" + std::to_string(int((*volume)["index"].number)));
        ASSERT_FALSE(plain[s.name].empty());
        EXPECT_EQ(got, plain[s.name]);
    }
}

INSTANTIATE_TEST_SUITE_P(Disks, DynamicVolumeGroup,
                         ::testing::Values(GroupRun{"all disks", 3, {"Basic", "Span", "Stripe", "Mirror", "Parity"}},
                                           GroupRun{"the third disk missing", 2, {"Basic", "Span", "Mirror", "Parity"}}),
                         [](const ::testing::TestParamInfo<GroupRun>& info) {
                             return info.param.disks == 3 ? std::string("AllDisks") : std::string("ThirdDiskMissing");
                         });

// A saved result of a dynamic volume finds its members' disks again in another order.
TEST(DynamicVolumeE2E, ASavedResultFindsTheMembersInAnotherOrder) {
    testutil::TempDir tmp;
    const std::vector<std::string> disks = ldmtest::WriteStandardGroup(tmp.Path(), MORVENDA_FIXTURES_DIR);
    ASSERT_EQ(disks.size(), 3u);
    Files parityFiles;
    for (const ldmtest::StandardVolume& s : ldmtest::StandardVolumes())
        if (std::string(s.name) == "Parity") parityFiles = FromFixture(tmp, s);
    ASSERT_FALSE(parityFiles.empty());
    const std::string saved = tmp.File("parity.rsf");
    e2e::Json report;
    ASSERT_TRUE(testutil::ReadJsonFile(ScanGroup(tmp, disks, 3) + ".json", report));
    int parity = -1;
    for (const e2e::Json& v : report["volumes"].items) {
        if (v["label"].text == "Fixtures NTFS") parity = int(v["index"].number);
    }
    ASSERT_GE(parity, 0);
    ASSERT_EQ(e2e::RunDriver({"--image", disks[0], "--image", disks[1], "--image", disks[2], "--mode", "deleted",
                              "--volume", std::to_string(parity), "--save", saved},
                             tmp.Path(), tmp.File("save.log")),
              0);
    // The volume's two deleted files whose clusters newer files took are counted incomplete.
    ASSERT_EQ(e2e::RunDriver({"--image", disks[2], "--image", disks[0], "--image", disks[1], "--load", saved,
                              "--recover", tmp.File("loaded"), "--json", tmp.File("loaded.json")},
                             tmp.Path(), tmp.File("load.log")),
              1);
    e2e::Json loaded;
    ASSERT_TRUE(testutil::ReadJsonFile(tmp.File("loaded.json"), loaded));
    ASSERT_EQ(loaded["scans"].items.size(), 1u);
    const int index = int(loaded["scans"].items[0]["volume"].number);
    EXPECT_EQ(RecoveredFiles(tmp.File("loaded/" + std::to_string(index))), parityFiles);
}

}  // namespace
