#pragma once
// Shared pieces of the FAT tests: a tree builder that keeps what a search hands it, a progress
// sink and a read through a node's runs; the devices and the fixtures' ground truth come from
// the shared test support.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "ImageDevice.h"
#include "Json.h"
#include "Manifest.h"
#include "TreeStubs.h"
#include "TestUtil.h"
#include "devices/PartitionDevice.h"
#include "devices/StorageDevice.h"
#include "engine/DirectoryTreeBuilder.h"
#include "engine/FsServices.h"
#include "engine/Progress.h"
#include "platform/Log.h"

class CFileNode;
class CFileSystemNode;

namespace fattest {

using testutil::ExpectedFile;
using testutil::ImageDevice;
using testutil::Json;
using testutil::LoadDeletedFiles;
using testutil::LoadFixtureJson;
using testutil::MemoryDevice;
using testutil::ScanName;

// ---- builder and progress ----
// Keeps the nodes a search hands over (and frees them), so that tests can look at the nodes
// themselves and read through their runs.
class RecordingBuilder : public testutil::NullTreeBuilder {
public:
    ~RecordingBuilder() override;
    u32 AddFileSystemTree(CFileSystemNode* root) override;
    u32 AddFoundFileNode(CFileNode* node, u32 treeKind, u32* error) override;
    u64 GetNodeCount() override { return nodes.size(); }
    CFileSystemNode* GetTreeRoot(CSearchedPartitionInfo*) override { return root; }

    // "/Folder/name" built from the parent ids of the folders handed over.
    std::string PathOf(const CFileNode* node) const;
    const CFileNode* FindByPath(const std::string& path) const;

    CFileSystemNode* root = nullptr;
    std::vector<CFileNode*> nodes;  // in the order handed over
    std::vector<u32> treeKinds;
    bool refuseRoot = false;
    u32 rootsOffered = 0;
};

class CountingProgress : public IProgress {
public:
    i32 OnProgress(const ProgressInfo* record) override;
    u32 Continued() override;
    u32 GetState() override { return 1; }
    std::vector<u64> reported;
    u64 continuedCalls = 0;
    u64 stopAfter = ~0ULL;  // Continued answers 0 from this call on
};

// The name of a node's properties, "" without one.
std::string NameOf(const CFileNode* n);
// "/a/b" of a folder's path with its last name cut off.
std::string Folder(const std::string& path);
// Every node below the root of a linked tree, by its path below the root ("/a/b") as `key` makes
// it; without recursion.
void CollectPaths(const CFileNode* root, std::map<std::string, const CFileNode*>& out,
                  const std::function<std::string(const std::string&)>& key = [](const std::string& p) { return p; });

// One FAT or exFAT fixture volume of a parameterised suite: the image, the volume as a window of
// it and the deleted files of its partition. `Case` names image, partition, start and sectors.
template <typename Case>
class DeletedFilesFixture : public ::testing::TestWithParam<Case> {
protected:
    void SetUp() override {
        SetLoggingEnabled(false);
        const Case& c = this->GetParam();
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

// What a search handed over for a deleted file of the manifest: deleted, with its size and time,
// and for an intact one the content read through its runs.
void ExpectDeletedAsManifest(IStorageDevice& volume, const RecordingBuilder& builder, const CFileNode& node,
                             const ExpectedFile& e);

// The real tree builder in quick mode, fed by a quick search over a volume; released with the
// object.
struct QuickTree {
    ~QuickTree();
    testutil::SilentTree consumer;
    testutil::AcceptAllFilter filter;
    CountingProgress progress;
    IDirecotryTreeBuilder* builder = nullptr;
    CFileSystemNode* root = nullptr;  // of the builder's quick tree
};
// Runs `search` over the volume into `out` (with `out.progress` as the builder's progress too
// when `builderProgress`) and ends it before the build is finished; fails the test when the
// builder or the search refuses, or no tree is made.
void BuildQuickTree(IStorageDevice* volume, std::unique_ptr<IQuickFileSystemSearchController> search,
                    bool builderProgress,
                    QuickTree& out);

// The file's bytes through its runs, read with the root's geometry; false when a read fails.
bool ReadThroughRuns(IStorageDevice& device, const CFileSystemNode& root, const CFileNode& node, std::vector<u8>& out);

}  // namespace fattest
