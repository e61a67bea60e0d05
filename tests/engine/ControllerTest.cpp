// The deleted-file scan controller and the controller factory, driven with a synthetic quick
// search so that every path of Run can be reached without a real file system.
#include <gtest/gtest.h>

#include <functional>

#include "TreeBuilderTestFeed.h"
#include "engine/DirectoryTreeBuilder.h"
#include "engine/FsServices.h"
#include "engine/HeadlessSinks.h"
#include "engine/RecoveryControllers.h"
#include "engine/SearchedPartitionInfo.h"

namespace {

using feed::File;
using feed::Folder;

class FakeQuickSearch : public IQuickFileSystemSearchController {
public:
    ~FakeQuickSearch() override {
        for (CSearchedPartitionInfo* p : partitions) delete p;
    }
    void SetDirectoryTreeBuilder(IDirecotryTreeBuilder* b) override { builder = b; }
    void GetSearchedPartitions(std::vector<CSearchedPartitionInfo*>& out) override {
        out.insert(out.end(), partitions.begin(), partitions.end());
    }
    u32 Search(IStorageDevice*, IProgress* progress) override { return body ? body(builder, progress) : 0; }

    IDirecotryTreeBuilder* builder = nullptr;
    std::function<u32(IDirecotryTreeBuilder*, IProgress*)> body;
    std::vector<CSearchedPartitionInfo*> partitions;
};

class TestController : public CDeletedRecoveryController {
public:
    std::function<IQuickFileSystemSearchController*()> make;

protected:
    IQuickFileSystemSearchController* CreateQuickSearch() override { return make ? make() : nullptr; }
};

void Feed(IDirecotryTreeBuilder* b, CFileNode* node) {
    u32 error = 0;
    b->AddFoundFileNode(node, kTreeKindNtfs, &error);
}

// A volume root, a live folder with a deleted file, a live file and a deleted orphan.
u32 SmallVolume(IDirecotryTreeBuilder* b, CFileSystemNode** rootOut) {
    CFileSystemNode* root = feed::Root(3, 5, "NTFS");
    if (rootOut) *rootOut = root;
    b->AddFileSystemTree(root);
    Feed(b, Folder(30, 5, "Docs"));
    Feed(b, File(40, 30, "gone.txt", true));
    Feed(b, File(42, 5, "live.txt", false));
    Feed(b, File(41, 999, "orphan.txt", true));
    return 0;
}

CSearchedPartitionInfo* Partition(u64 start, u32 spc) {
    auto* p = new CSearchedPartitionInfo(512);
    p->SetPartitionStart(start);
    p->SetSectorsPerCluster(spc);
    return p;
}

class ControllerTest : public ::testing::Test {
protected:
    void SetUp() override { progress.DoStart(); }

    feed::MemoryDevice device{2048};
    CHeadlessProgress progress;
    feed::RecordingConsumer consumer;
    feed::NameFilter filter;
};

TEST_F(ControllerTest, FactoryMakesOnlyTheModesThatExist) {
    IRecoveryController* deleted = CreateRecoveryController(kControllerDeletedScan);
    ASSERT_NE(deleted, nullptr);
    EXPECT_EQ(deleted->GetType(), kControllerDeletedScan);
    EXPECT_EQ(deleted->Initialize(nullptr), 0u);
    EXPECT_EQ(deleted->Initialize(&filter), 1u);
    deleted->Release();
    EXPECT_EQ(CreateRecoveryController(4), nullptr);
    EXPECT_EQ(CreateRecoveryController(2), nullptr);
}

TEST_F(ControllerTest, MissingArgumentIsAnErrorWithoutRecords) {
    TestController c;
    c.Initialize(&filter);
    EXPECT_EQ(c.Run(nullptr, &progress, &consumer, "x", 0), kErrCompleteMissingArgument);
    EXPECT_EQ(c.Run(&device, nullptr, &consumer, "x", 0), kErrCompleteMissingArgument);
    EXPECT_EQ(c.Run(&device, &progress, nullptr, "x", 0), kErrCompleteMissingArgument);
    EXPECT_EQ(progress.RecordCount(kProgressUpdate) + progress.RecordCount(kProgressScanEnded), 0u);
    EXPECT_EQ(c.GetBuilder(), nullptr);
}

TEST_F(ControllerTest, UnsupportedFileSystemsEndWithTheirRecord) {
    for (u32 code : {4u, 5u, 6u, 8u, 9u}) {
        CDeletedRecoveryController c;  // the real search factory
        c.Initialize(&filter);
        c.SetFileSystem(code, "Vol (*:EXT2)");
        CHeadlessProgress p;
        p.DoStart();
        EXPECT_EQ(c.Run(&device, &p, &consumer, nullptr, 0), kErrDeletedNoQuickSearch) << code;
        EXPECT_EQ(p.RecordCount(kProgressUpdate), 1u);
        EXPECT_EQ(p.RecordCount(kProgressScanEnded), 1u);
        EXPECT_EQ(c.GetDisplayName(), "Vol (*:EXT2)");
    }
    EXPECT_EQ(consumer.rootText, "Vol (*:EXT2)");
}

TEST_F(ControllerTest, BuilderRefusalReturnsAfterTheBeginRecord) {
    TestController c;  // no filter: the builder's Init refuses
    EXPECT_EQ(c.Run(&device, &progress, &consumer, "x", 0), kErrDeletedBuilderRefused);
    EXPECT_EQ(progress.RecordCount(kProgressUpdate), 1u);
    EXPECT_EQ(progress.RecordCount(kProgressScanEnded), 0u);
}

TEST_F(ControllerTest, SuccessfulSearchShowsDeletedEntriesAndLostFiles) {
    TestController c;
    c.Initialize(&filter);
    c.SetFileSystem(3, "Data (*:NTFS)");
    c.make = [] {
        auto* s = new FakeQuickSearch;
        s->body = [](IDirecotryTreeBuilder* b, IProgress*) { return SmallVolume(b, nullptr); };
        return s;
    };
    EXPECT_EQ(c.Run(&device, &progress, &consumer, "Data (*:NTFS)", 0), 0u);
    ASSERT_EQ(consumer.shownRoots.size(), 1u);
    const std::set<std::string> paths = feed::PathsBelow(consumer.shownRoots[0]);
    EXPECT_TRUE(paths.count("NTFS/Docs/gone.txt"));
    EXPECT_TRUE(paths.count("NTFS/LostFiles/orphan.txt"));
    EXPECT_FALSE(paths.count("NTFS/live.txt"));  // a deleted-file scan shows deleted entries only
    EXPECT_EQ(progress.RecordCount(kProgressUpdate), 1u);
    EXPECT_EQ(progress.RecordCount(kProgressScanEnded), 1u);
    EXPECT_GE(progress.ContinuedCalls(), 4u);  // the builder asks once per found entry
}

TEST_F(ControllerTest, StoppedOrFailedSearchNeverFinishesItsTree) {
    for (bool stop : {true, false}) {
        TestController c;
        c.Initialize(&filter);
        c.SetFileSystem(3, nullptr);
        c.make = [&c, stop] {
            auto* s = new FakeQuickSearch;
            s->body = [&c, stop](IDirecotryTreeBuilder* b, IProgress*) -> u32 {
                SmallVolume(b, nullptr);
                if (stop) {
                    c.Stop();
                    return 0;
                }
                return 0x5D0011;
            };
            return s;
        };
        feed::RecordingConsumer seen;
        const u32 result = c.Run(&device, &progress, &seen, "x", 0);
        EXPECT_EQ(result, stop ? 0u : 0x5D0011u);
        // The orphan only reaches the view through FinishBuild's "LostFiles".
        for (CFileSystemNode* root : seen.shownRoots) {
            EXPECT_FALSE(feed::PathsBelow(root).count("NTFS/LostFiles/orphan.txt"));
        }
        for (u32 arg : seen.batchArgs) EXPECT_NE(arg, 1u);
    }
}

TEST_F(ControllerTest, FileSourceComesFromTheSearchThatHoldsTheNode) {
    TestController c;
    c.Initialize(&filter);
    CFileNode* loose = File(7, 5, "x.bin");
    u64 start = 99;
    u32 spc = 99;
    // No search yet: the node answers for itself (it has no root, so it knows nothing).
    EXPECT_EQ(c.GetFileSource(loose, start, spc), 0u);
    EXPECT_EQ(c.GetFileSource(nullptr, start, spc), 0u);

    // Two volumes through one controller: each tree keeps its own search.
    CFileSystemNode* roots[2] = {};
    for (int run = 0; run < 2; ++run) {
        c.make = [run, &roots] {
            auto* s = new FakeQuickSearch;
            if (run == 0) s->partitions.push_back(Partition(2048, 8));
            if (run == 1) s->partitions.push_back(Partition(77824, 4));
            s->body = [run, &roots](IDirecotryTreeBuilder* b, IProgress*) { return SmallVolume(b, &roots[run]); };
            return s;
        };
        ASSERT_EQ(c.Run(&device, &progress, &consumer, "v", 0), 0u);
    }
    ASSERT_EQ(consumer.shownRoots.size(), 2u);
    ASSERT_NE(roots[0], roots[1]);
    // The first volume's tree is still alive and answers with its own partition.
    CFileNode* first = roots[0]->GetFirstChild();
    ASSERT_NE(first, nullptr);
    ASSERT_EQ(c.GetFileSource(first, start, spc), 1u);
    EXPECT_EQ(start, 2048u);
    EXPECT_EQ(spc, 8u);
    ASSERT_EQ(c.GetFileSource(roots[1]->GetFirstChild(), start, spc), 1u);
    EXPECT_EQ(start, 77824u);
    EXPECT_EQ(spc, 4u);
    DestroyTreeNode(loose);
}

TEST_F(ControllerTest, SearchWithoutPartitionsLeavesOutputsAlone) {
    TestController c;
    c.Initialize(&filter);
    c.make = [] {
        auto* s = new FakeQuickSearch;
        s->body = [](IDirecotryTreeBuilder* b, IProgress*) { return SmallVolume(b, nullptr); };
        return s;
    };
    ASSERT_EQ(c.Run(&device, &progress, &consumer, "v", 0), 0u);
    u64 start = 5;
    u32 spc = 6;
    EXPECT_EQ(c.GetFileSource(consumer.shownRoots.at(0), start, spc), 0u);
    EXPECT_EQ(start, 5u);
    EXPECT_EQ(spc, 6u);
}

}  // namespace
