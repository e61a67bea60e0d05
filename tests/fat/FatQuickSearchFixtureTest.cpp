// The deleted-file scan of the FAT fixtures: every deleted file that a walk from the root reaches
// is found under its folder with the name its entry carries, intact ones read back with the
// manifest's sha256, and the volume analyser names each volume.
#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <string>
#include <vector>

#include "FatTestSupport.h"
#include "TestUtil.h"
#include "devices/PartitionDevice.h"
#include "engine/DirectoryTree.h"
#include "engine/FileNode.h"
#include "engine/FileProperties.h"
#include "engine/FileSystemNode.h"
#include "engine/PartitionTree.h"
#include "engine/RecoveryFilter.h"
#include "fs/fat/FatQuickSearch.h"
#include "fs/fat/FatVolumeAnalyze.h"
#include "platform/Log.h"

using namespace fattest;

namespace {
struct FixtureCase {
    const char* image;
    int partition;
    u64 start;
    u64 sectors;
    u32 fsCode;
    const char* label;
    int reachableIntact;
};

const CFileNode* FindRecorded(const RecordingBuilder& builder, const std::string& path) {
    for (const CFileNode* n : builder.nodes) {
        if (testutil::PathKey(builder.PathOf(n)) == testutil::PathKey(path)) return n;
    }
    return nullptr;
}

class FatFixture : public DeletedFilesFixture<FixtureCase> {};

TEST_P(FatFixture, VolumeAnalyserNamesFileSystemAndLabel) {
    const FixtureCase& c = GetParam();
    CFatVolumeAnalyze analyser(image.get(), c.start);
    EXPECT_EQ(analyser.GetFileSystemType(), c.fsCode);
    EXPECT_EQ(analyser.GetTotalSectors(), c.sectors);
    char label[101] = {};
    analyser.GetVolumeLabel(label, 100);
    EXPECT_STREQ(label, c.label);
}

TEST_P(FatFixture, QuickSearchFindsEveryReachableDeletedFile) {
    const FixtureCase& c = GetParam();
    RecordingBuilder builder;
    CountingProgress progress;
    CFATQuickSearch search;
    search.SetDirectoryTreeBuilder(&builder);
    ASSERT_EQ(search.Search(volume.get(), &progress), 0u);
    ASSERT_NE(builder.root, nullptr);
    EXPECT_EQ(builder.root->GetFileSystemType(), c.fsCode);
    EXPECT_EQ(builder.rootsOffered, 1u);
    EXPECT_FALSE(progress.reported.empty());

    // Nothing live in a live folder is handed over: every file is deleted or inside a deleted
    // folder, both of which carry the deleted state.
    for (size_t i = 0; i < builder.nodes.size(); ++i) {
        const IFileProperties* p = builder.nodes[i]->GetFileProperties();
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(builder.treeKinds[i], 0u);
        if ((p->GetAttributes() & kAttrDirectory) == 0) {
            EXPECT_EQ(p->GetState() & 1, 1) << builder.PathOf(builder.nodes[i]);
        }
    }

    int reachable = 0;
    int intact = 0;
    for (const ExpectedFile& e : expected) {
        if (!e.reachable) continue;
        ++reachable;
        const std::string path = Folder(e.path) + "/" + ScanName(e.nameOnDisk);
        SCOPED_TRACE(path);
        const CFileNode* node = FindRecorded(builder, path);
        ASSERT_NE(node, nullptr);
        ASSERT_NO_FATAL_FAILURE(ExpectDeletedAsManifest(*volume, builder, *node, e));
        // Later files took the clusters of every damaged one, and of no intact one.
        EXPECT_EQ((node->GetFileProperties()->GetState() & (kStateContentUnconfirmed | kStateClustersTaken)) == 0,
                  e.intact);
        intact += e.intact;
    }
    EXPECT_GT(reachable, 0);
    EXPECT_EQ(intact, GetParam().reachableIntact);
}

TEST_P(FatFixture, RealBuilderShowsReachableDeletedFilesUnderTheirFolders) {
    QuickTree tree;
    ASSERT_NO_FATAL_FAILURE(BuildQuickTree(volume.get(), std::make_unique<CFATQuickSearch>(), true, tree));
    CFileSystemNode* root = tree.root;
    std::map<std::string, const CFileNode*> paths;
    CollectPaths(root, paths, testutil::PathKey);
    for (const ExpectedFile& e : expected) {
        if (!e.reachable) continue;
        const std::string path = Folder(e.path) + "/" + ScanName(e.nameOnDisk);
        auto it = paths.find(testutil::PathKey(path));
        ASSERT_NE(it, paths.end()) << path;
        if (!e.intact) continue;
        std::vector<u8> data;
        ASSERT_TRUE(ReadThroughRuns(*volume, *root, *it->second, data)) << path;
        EXPECT_EQ(testutil::Sha256Hex(data.data(), data.size()), e.sha256) << path;
    }
}

INSTANTIATE_TEST_SUITE_P(Images, FatFixture,
                         ::testing::Values(FixtureCase{"fat16-basic", 1, 0, 65536, 1, "FIX_FAT16", 3},
                                           FixtureCase{"fat32-basic", 1, 0, 81920, 2, "FIX_FAT32", 4},
                                           FixtureCase{"mbr-disk", 1, 2048, 73728, 2, "MBR_FAT32", 1},
                                           FixtureCase{"mbr-disk", 6, 104448, 24576, 1, "MBR_FAT16", 0}),
                         [](const auto& info) {
                             std::string name = std::string(info.param.image) + "_" + std::to_string(info.param.partition);
                             for (char& ch : name) {
                                 if (ch == '-') ch = '_';
                             }
                             return name;
                         });
}  // namespace
