// Recovered files deeper than the longest path the system takes: a FAT32 volume made by mkfs.vfat
// and mtools with 18 nested folders of 250-byte names and one file in each. The complete scan's
// recovery writes every file with its bytes, the deepest ones through their folder, and leaves no
// empty file behind.
#include <gtest/gtest.h>

#include <limits.h>
#include <sys/stat.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "E2ESupport.h"
#include "TestUtil.h"
#include "ToolImage.h"
#include "platform/Types.h"

namespace {

using testutil::RunQuiet;

constexpr int kLevels = 18;
constexpr size_t kFolderNameBytes = 250;
constexpr size_t kFileBytes = 1000;
constexpr const char* kVolumeSize = "34M";
constexpr const char* kPartitionRoot = "FAT32";

std::string FolderName(int level) {
    std::string name = "level " + std::to_string(level) + " ";
    name.resize(kFolderNameBytes, char('a' + level % 26));
    return name;
}
std::string FileName(int level) { return "file-" + std::to_string(level) + ".bin"; }

TEST(DeepPathRecoverE2E, FilesDeeperThanTheLongestPathAreWrittenThroughTheirFolder) {
    const std::string missing = testutil::MissingTools({"mkfs.vfat", "mmd", "mcopy", "truncate"});
    if (!missing.empty()) GTEST_SKIP() << "needs dosfstools and mtools; missing: " << missing;
    testutil::TempDir tmp;
    const std::string cwd = tmp.File("cwd");
    ASSERT_EQ(mkdir(cwd.c_str(), 0755), 0);
    const std::string image = tmp.File("deep.img");
    ASSERT_TRUE(RunQuiet(std::string("truncate -s ") + kVolumeSize + " " + image));
    ASSERT_TRUE(RunQuiet("mkfs.vfat -F 32 -n LONGP " + image));
    std::map<std::string, std::vector<u8>> expected;
    std::string inside;
    for (int level = 0; level < kLevels; ++level) {
        inside += "/" + FolderName(level);
        ASSERT_TRUE(RunQuiet("mmd -i " + image + " '::" + inside + "'")) << "level " << level;
        const std::string source = tmp.File(FileName(level));
        const std::vector<u8> bytes = testutil::DistinctBytes(kFileBytes, u32(level + 1));
        ASSERT_TRUE(testutil::WriteFileBytes(source, bytes));
        ASSERT_TRUE(RunQuiet("mcopy -i " + image + " " + source + " '::" + inside + "/" + FileName(level) + "'"));
        expected[std::string(kPartitionRoot) + inside + "/" + FileName(level)] = bytes;
    }

    const std::string out = tmp.File("out");
    EXPECT_EQ(e2e::RunDriver({"--image", image, "--mode", "complete", "--volume", "disk:0", "--lost-reason", "1",
                              "--recover", out},
                             cwd, tmp.File("scan.log")),
              0);
    // One scan, one folder of it.
    const std::vector<std::string> scans = e2e::ListEntries(out);
    ASSERT_EQ(scans.size(), 1u);
    const std::string folder = out + "/" + scans[0];

    // The deepest files lie past the longest path: the case this is about.
    size_t pastLongestPath = 0;
    for (const auto& [path, bytes] : expected) pastLongestPath += (folder + "/" + path).size() >= PATH_MAX ? 1 : 0;
    EXPECT_GE(pastLongestPath, 2u);

    const std::map<std::string, std::vector<u8>> written = testutil::ReadFilesBelow(folder);
    EXPECT_EQ(written.size(), expected.size());
    for (const auto& [path, bytes] : expected) {
        const auto found = written.find(path);
        ASSERT_NE(found, written.end()) << "missing at depth " << std::count(path.begin(), path.end(), '/');
        EXPECT_EQ(found->second, bytes) << "at depth " << std::count(path.begin(), path.end(), '/');
    }
}

}  // namespace
