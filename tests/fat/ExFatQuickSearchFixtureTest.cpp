// The deleted-file scan of the exFAT fixtures: every deleted file that a walk from the root
// reaches is found under its folder with its name, size and time, intact ones read back with the
// manifest's sha256, and the volume analyser names each volume.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "FatTestSupport.h"
#include "TestUtil.h"
#include "devices/PartitionDevice.h"
#include "devices/VolumeAnalyzerSet.h"
#include "engine/DataRunReader.h"
#include "engine/DirectoryTree.h"
#include "engine/FileNode.h"
#include "engine/FileProperties.h"
#include "engine/FileSystemNode.h"
#include "engine/FsServices.h"
#include "engine/PartitionTree.h"
#include "engine/RecoveryFilter.h"
#include "fs/fat/ExFatFileProperties.h"
#include "fs/fat/ExFatQuickSearch.h"
#include "fs/fat/ExFatVolume.h"
#include "fs/fat/FatFactories.h"
#include "platform/Log.h"
#include "plugins/Plugins.h"

using namespace fattest;

namespace {
struct ExFatCase {
    const char* image;
    int partition;
    u64 start;
    u64 sectors;
    const char* label;
    int reachableIntact;
};

// "/a/b" of a recorded node through the parent ids of the folders handed over; the root's id
// ends the path. A live folder wins over a deleted one of the same id.
std::string PathOf(const RecordingBuilder& builder, const CFileNode* node) {
    const u64 rootId = builder.root->GetId();
    std::string path;
    for (int steps = 0; node != nullptr && steps < 64; ++steps) {
        path = "/" + NameOf(node) + path;
        const u64 parent = node->GetParentId();
        if (parent == rootId) return path;
        const CFileNode* up = nullptr;
        for (const CFileNode* n : builder.nodes) {
            const IFileProperties* np = n->GetFileProperties();
            if (n != node && n->GetId() == parent && np && (np->GetAttributes() & kAttrDirectory)) {
                up = n;
                if ((np->GetState() & kStateDeleted) == 0) break;
            }
        }
        node = up;
    }
    return "?" + path;
}

class ExFatFixture : public DeletedFilesFixture<ExFatCase> {};

TEST_P(ExFatFixture, AnalyserNamesFileSystemSizeAndLabel) {
    const ExFatCase& c = GetParam();
    std::unique_ptr<IVolume> analyser(CreateExFatVolumeAnalyzer(image.get(), c.start));
    ASSERT_NE(analyser, nullptr);
    EXPECT_EQ(analyser->GetFileSystemType(), 7u);
    EXPECT_EQ(analyser->GetTotalSectors(), c.sectors);
    char label[100] = {};
    analyser->GetVolumeLabel(label, sizeof label);
    EXPECT_STREQ(label, c.label);

    // Through the enumeration's analyser set, which asks NTFS and FAT first.
    RegisterAllPlugins();
    VolumeAnalyzerSet set(image.get(), c.start);
    IVolume* recognised = set.GetRecognized();
    ASSERT_NE(recognised, nullptr);
    EXPECT_EQ(recognised->GetFileSystemType(), 7u);
    u8 boot[512];
    ASSERT_TRUE(image->Read(boot, c.start, 1));
    EXPECT_EQ(GetBootSectorClassifier(VolumeAnalyzerSlot::kExFat)(boot, 512), 7u);
}

TEST_P(ExFatFixture, QuickSearchFindsEveryReachableDeletedFile) {
    const ExFatCase& c = GetParam();
    RecordingBuilder builder;
    CountingProgress progress;
    CExFatQuickSearch search;
    search.SetDirectoryTreeBuilder(&builder);
    ASSERT_EQ(search.Search(volume.get(), &progress), 0u);
    ASSERT_NE(builder.root, nullptr);
    EXPECT_EQ(builder.root->GetFileSystemType(), 7u);
    EXPECT_EQ(builder.rootsOffered, 1u);
    ASSERT_FALSE(progress.reported.empty());
    for (size_t i = 0; i < builder.treeKinds.size(); ++i) EXPECT_EQ(builder.treeKinds[i], u32(kTreeKindExFat));

    // The partition record gives the geometry the recovery reads runs with.
    std::vector<CSearchedPartitionInfo*> partitions;
    search.GetSearchedPartitions(partitions);
    ASSERT_EQ(partitions.size(), 1u);
    u64 start = 0;
    u32 spc = 0;
    ASSERT_TRUE(builder.root->GetPartitionGeometry(start, spc));
    EXPECT_EQ(partitions[0]->GetFileSystemCode(), 7u);
    EXPECT_EQ(partitions[0]->GetPartitionStart(), start);
    EXPECT_EQ(partitions[0]->GetSectorsPerCluster(), spc);

    int reachable = 0;
    int intact = 0;
    for (const ExpectedFile& e : expected) {
        if (!e.reachable) continue;
        ++reachable;
        const std::string path = Folder(e.path) + "/" + e.nameOnDisk;
        SCOPED_TRACE(path);
        const CFileNode* node = nullptr;
        for (const CFileNode* n : builder.nodes) {
            if (PathOf(builder, n) == path) node = n;
        }
        ASSERT_NE(node, nullptr);
        EXPECT_EQ(node->GetFileProperties()->GetFileSystemKind(), kPropertiesExFat);
        ASSERT_NO_FATAL_FAILURE(ExpectDeletedAsManifest(*volume, builder, *node, e));
        intact += e.intact;
    }
    EXPECT_GT(reachable, 0);
    EXPECT_EQ(intact, c.reachableIntact);
}

TEST_P(ExFatFixture, RealBuilderShowsReachableDeletedFilesUnderTheirFolders) {
    QuickTree tree;
    std::unique_ptr<IQuickFileSystemSearchController> search(CreateExFatQuickSearch());
    ASSERT_NE(search, nullptr);
    ASSERT_NO_FATAL_FAILURE(BuildQuickTree(volume.get(), std::move(search), true, tree));
    CFileSystemNode* root = tree.root;
    EXPECT_EQ(root->GetFileSystemType(), 7u);
    std::map<std::string, const CFileNode*> paths;
    CollectPaths(root, paths);
    int intact = 0;
    for (const ExpectedFile& e : expected) {
        if (!e.reachable) continue;
        const std::string path = Folder(e.path) + "/" + e.nameOnDisk;
        auto it = paths.find(path);
        ASSERT_NE(it, paths.end()) << path;
        if (!e.intact) continue;
        ++intact;
        // Read back as the recovery does, through the tree root's geometry.
        CDataRunReader reader;
        ASSERT_TRUE(reader.OpenNode(volume.get(), const_cast<CFileNode*>(it->second))) << path;
        std::vector<u8> data(e.size);
        u32 done = 0;
        ASSERT_TRUE(reader.Read(0, data.data(), u32(data.size()), &done)) << path;
        ASSERT_EQ(done, e.size);
        EXPECT_EQ(testutil::Sha256Hex(data.data(), data.size()), e.sha256) << path;
    }
    EXPECT_EQ(intact, GetParam().reachableIntact);
}

INSTANTIATE_TEST_SUITE_P(Images, ExFatFixture,
                         ::testing::Values(ExFatCase{"exfat-basic", 1, 0, 65536, "FIX EXFAT", 3},
                                           ExFatCase{"gpt-disk", 2, 43008, 40960, "GPT EXFAT", 2}),
                         [](const auto& info) {
                             std::string name = std::string(info.param.image) + "_" + std::to_string(info.param.partition);
                             for (char& ch : name) {
                                 if (ch == '-') ch = '_';
                             }
                             return name;
                         });
}  // namespace
