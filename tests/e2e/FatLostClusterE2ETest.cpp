// A deleted FAT32 folder whose entries filled several clusters that do not follow one another:
// the complete scan reads its first cluster where the folder's entry points, and the files listed
// in its later clusters, whose chain the deletion freed, come back under "Lost Folders" with
// their names and data.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "E2ESupport.h"
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

TEST(FatLostClusterE2E, FilesOfADeletedFoldersLaterClustersComeBackUnderLostFolders) {
    const std::string missing = MissingTools({"mmd", "mcopy", "mdeltree"});
    if (!missing.empty()) GTEST_SKIP() << "needs the package mtools; missing: " << missing;
    testutil::TempDir tmp;
    ASSERT_TRUE(MakeDirectories(tmp.File("cwd")));
    const std::string image = tmp.File("deep.img");
    ASSERT_TRUE(testutil::WriteFileBytes(image, testutil::ReadFileBytes(testutil::FixturePath("fat32-basic.img"))));

    // Each file takes a data cluster between two of the folder's clusters, so the folder's
    // clusters (16 entries each, 3 per long-named file) are spread over the volume.
    constexpr u32 kFiles = 24;
    ASSERT_TRUE(RunQuiet("mmd -i " + image + " ::/Spread"));
    std::map<std::string, std::string> contentByName;
    for (u32 i = 0; i < kFiles; ++i) {
        const std::string name = "spread file number " + std::to_string(100 + i) + ".txt";
        const std::string source = tmp.File("source.txt");
        std::ofstream(source, std::ios::binary | std::ios::trunc) << Content(i);
        ASSERT_TRUE(RunQuiet("mcopy -i " + image + " " + source + " \"::/Spread/" + name + "\"")) << name;
        contentByName[name] = testutil::Sha256File(source);
    }
    ASSERT_TRUE(RunQuiet("mdeltree -i " + image + " ::/Spread"));

    const std::string out = tmp.File("recovered");
    const std::vector<std::string> args = {"--image", image, "--mode", "complete", "--volume", "disk:0",
                                           "--recover", out, "--json", tmp.File("run.json")};
    ASSERT_EQ(e2e::RunDriver(args, tmp.File("cwd"), tmp.File("run.log")), 0);

    // By data: where each file came back. A deleted short entry lost its first character, the
    // long name keeps the whole name.
    std::map<std::string, std::string> pathByHash;
    for (const std::string& f : e2e::ListFiles(out)) pathByHash[testutil::Sha256File(out + "/" + f)] = f;
    size_t inLostFolders = 0;
    size_t inFirstCluster = 0;
    for (const auto& [name, hash] : contentByName) {
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

}  // namespace
