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
#include "platform/Text.h"

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

std::string Folder(const std::string& path) { return path.substr(0, path.rfind('/')); }

// Folders without a long name show their 8.3 name, upper-case ("src" is "SRC"): folders compare
// without regard to ASCII case, names exactly.
std::string PathKey(const std::string& path) {
    const size_t slash = path.rfind('/');
    return AsciiLower(path.substr(0, slash)) + path.substr(slash);
}

const CFileNode* FindRecorded(const RecordingBuilder& builder, const std::string& path) {
    for (const CFileNode* n : builder.nodes) {
        if (PathKey(builder.PathOf(n)) == PathKey(path)) return n;
    }
    return nullptr;
}

class SilentTree : public IDirectoryTree {
public:
    void SetRootText(const char*) override {}
    void AddNodes(const std::vector<CFileNode*>&, u32) override {}
    void AddFileSystemNode(CFileSystemNode*, bool) override {}
    void RemoveFileSystemNode(CFileSystemNode*) override {}
};

class AcceptAll : public IRecoveryFilter {
public:
    bool GetFlag() override { return false; }
    void SetFlag(i32) override {}
    u32 Accept(CFileNode*) override { return 1; }
    void SetFileTypeMask(u32) override {}
    u32 GetFileTypeMask(CFileNode*) override { return 0; }
};

std::string NameOf(const CFileNode* n) {
    const IFileProperties* p = n->GetFileProperties();
    return p && p->GetName() ? p->GetName() : "";
}

// Paths below the root of a linked tree ("/a/b"), without recursion.
void CollectPaths(const CFileNode* root, std::map<std::string, const CFileNode*>& out) {
    std::vector<std::pair<const CFileNode*, std::string>> stack{{root, ""}};
    while (!stack.empty()) {
        auto [node, path] = stack.back();
        stack.pop_back();
        for (const CFileNode* c = node->GetFirstChild(); c != nullptr; c = c->GetNextSibling()) {
            const std::string p = path + "/" + NameOf(c);
            out.emplace(PathKey(p), c);
            stack.push_back({c, p});
        }
    }
}

class FatFixture : public ::testing::TestWithParam<FixtureCase> {
protected:
    void SetUp() override {
        SetLoggingEnabled(false);
        const FixtureCase& c = GetParam();
        image = std::make_unique<ImageDevice>(testutil::FixturePath(std::string(c.image) + ".img"), 512);
        ASSERT_TRUE(image->IsOpen());
        volume = std::make_unique<CBasicPartitionDevice>(image.get(), c.start, c.sectors);
        expected = LoadDeletedFiles(c.image, c.partition);
        ASSERT_FALSE(expected.empty());
    }
    void TearDown() override { SetLoggingEnabled(true); }

    std::unique_ptr<ImageDevice> image;
    std::unique_ptr<CBasicPartitionDevice> volume;
    std::vector<ExpectedFile> expected;
};

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
        const IFileProperties* p = node->GetFileProperties();
        EXPECT_EQ(p->GetState() & 1, 1);
        EXPECT_EQ(p->GetSize(), e.size);
        FILETIME64 mtime = 0;
        p->GetModificationTime(mtime);
        EXPECT_EQ(IsoTime(mtime), e.mtime);
        if (!e.intact) continue;
        ++intact;
        std::vector<u8> data;
        ASSERT_TRUE(ReadThroughRuns(*volume, *builder.root, *node, data));
        EXPECT_EQ(testutil::Sha256Hex(data.data(), data.size()), e.sha256);
    }
    EXPECT_GT(reachable, 0);
    EXPECT_EQ(intact, GetParam().reachableIntact);
}

TEST_P(FatFixture, RealBuilderShowsReachableDeletedFilesUnderTheirFolders) {
    SilentTree consumer;
    AcceptAll filter;
    IDirecotryTreeBuilder* builder = CreateDirectoryTreeBuilder();
    ASSERT_NE(builder, nullptr);
    ASSERT_EQ(builder->Init("Volume", &consumer, &filter, kBuilderQuickMode, volume.get(), 0), 1u);
    CountingProgress progress;
    builder->SetProgress(&progress);
    {
        CFATQuickSearch search;
        search.SetDirectoryTreeBuilder(builder);
        ASSERT_EQ(search.Search(volume.get(), &progress), 0u);
    }
    builder->FinishSearch();
    builder->FinishBuild();
    CFileSystemNode* root = static_cast<CDirectoryTreeBuilder*>(builder)->GetQuickTree()->GetRoot();
    ASSERT_NE(root, nullptr);
    std::map<std::string, const CFileNode*> paths;
    CollectPaths(root, paths);
    for (const ExpectedFile& e : expected) {
        if (!e.reachable) continue;
        const std::string path = Folder(e.path) + "/" + ScanName(e.nameOnDisk);
        auto it = paths.find(PathKey(path));
        ASSERT_NE(it, paths.end()) << path;
        if (!e.intact) continue;
        std::vector<u8> data;
        ASSERT_TRUE(ReadThroughRuns(*volume, *root, *it->second, data)) << path;
        EXPECT_EQ(testutil::Sha256Hex(data.data(), data.size()), e.sha256) << path;
    }
    builder->Release();
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
