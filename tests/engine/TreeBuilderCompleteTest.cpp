// The tree builder in complete mode: provisional trees per file system, the choice of partition
// candidates, one new tree per chosen candidate, lost files and the RAW sub-tree.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "TreeBuilderTestFeed.h"
#include "engine/DirectoryTreeBuilder.h"
#include "engine/PartitionTree.h"
#include "engine/SearchedPartitionInfo.h"

using namespace feed;

namespace {

// A candidate that claims the nodes whose record sector lies in its range.
class RangeCandidate : public CSearchedPartitionInfo {
public:
    RangeCandidate(u32 code, u64 start, u64 sectors, u64 bootScore) : CSearchedPartitionInfo(512) {
        SetFileSystemCode(code);
        SetPartitionStart(start);
        SetFoundStart(start);
        SetTotalSectors(sectors);
        SetSectorsPerCluster(8);
        SetBootScore(bootScore);
    }
    u32 TestFileNode(CFileNode* node) override {
        ++tested;
        const u64 s = node->GetRecordSector();
        return s >= GetFoundStart() && s < GetFoundStart() + GetTotalSectors();
    }
    int tested = 0;
};

CFileSystemNode* RawRoot(const char* name) {
    CFileSystemNode* r = CreateFileSystemNode().release();
    auto* p = static_cast<CRAWFileProperties*>(CreateRAWFileProperties().release());
    SetFolderPropertiesName(p, name);
    r->SetFileProperties(p);
    r->SetFileSystemType(6);
    r->SetPartitionGeometry(0, 1);
    r->SetId(0);
    return r;
}

class CompleteBuilderTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(builder.Init("Disk 0", &consumer, &filter, kBuilderCompleteMode, &device, 0), 1u);
    }
    CFileNode* At(CFileNode* n, u64 recordSector) {
        n->SetRecordSector(recordSector);
        return n;
    }
    MemoryDevice device{4096};
    RecordingConsumer consumer;
    NameFilter filter;
    CDirectoryTreeBuilder builder;
};

TEST_F(CompleteBuilderTest, EntriesWithoutATreeOfTheirKindStayWithTheCaller) {
    u32 error = 0;
    CFileNode* n = File(10, 5, "a.txt");
    EXPECT_EQ(builder.AddFoundFileNode(n, kTreeKindNtfs, &error), 0u);
    EXPECT_EQ(error, kErrorNoTreeOfKind);
    ASSERT_EQ(builder.AddFileSystemTree(Root(3, 5, "NTFS")), 1u);
    error = 0;
    EXPECT_EQ(builder.AddFoundFileNode(n, kTreeKindExt, &error), 0u);  // EXT never has a tree
    EXPECT_EQ(error, kErrorNoTreeOfKind);
    DestroyTreeNode(n);
    // Both were reported to the consumer and counted before the tree test.
    EXPECT_EQ(consumer.filesFound, 2);
    EXPECT_EQ(builder.GetNodeCount(), 2u);
}

TEST_F(CompleteBuilderTest, ChosenCandidateGetsANewTreeThatTheSearchesFill) {
    CFileSystemNode* provisional = Root(3, 5, "NTFS");
    ASSERT_EQ(builder.AddFileSystemTree(provisional), 1u);
    u32 error = 0;
    EXPECT_EQ(builder.AddFoundFileNode(At(Folder(30, 5, "dir"), 150), kTreeKindNtfs, &error), 1u);
    EXPECT_EQ(builder.AddFoundFileNode(At(File(31, 30, "a.txt"), 160), kTreeKindNtfs, &error), 1u);
    EXPECT_EQ(builder.AddFoundFileNode(At(File(32, 30, "far.txt"), 3000), kTreeKindNtfs, &error), 1u);
    ASSERT_EQ(consumer.shownRoots.size(), 1u);
    EXPECT_EQ(consumer.shownRoots[0], provisional);
    EXPECT_EQ(consumer.ShownNames(), (std::set<std::string>{"dir", "a.txt", "far.txt"}));
    EXPECT_EQ(builder.GetNodeCount(), 2u);  // files only

    RangeCandidate cand(3, 100, 1000, 50);
    builder.AddEvaluationItem(&cand);
    EXPECT_EQ(builder.FinishSearch(), 1u);
    EXPECT_EQ(cand.tested, 4);  // every node of the provisional tree, its root included
    ASSERT_EQ(consumer.removedRoots.size(), 1u);
    EXPECT_EQ(consumer.removedRoots[0], provisional);

    std::vector<CSearchedPartitionInfo*> chosen;
    EXPECT_EQ(builder.HasEvaluationItem(&chosen), 1u);
    ASSERT_EQ(chosen, std::vector<CSearchedPartitionInfo*>{&cand});
    CFileSystemNode* root = builder.GetTreeRoot(&cand);
    ASSERT_NE(root, nullptr);
    u64 start = 0;
    u32 spc = 0;
    ASSERT_TRUE(root->GetPartitionGeometry(start, spc));
    EXPECT_EQ(start, 100u);
    EXPECT_EQ(spc, 8u);
    EXPECT_EQ(root->GetFileSystemType(), 3u);
    EXPECT_EQ(root->GetId(), 5u);

    // The search fills the new tree.
    EXPECT_EQ(builder.AddFileNode(Folder(30, 5, "dir"), &cand), 1u);
    EXPECT_EQ(builder.AddFileNode(File(31, 30, "a.txt"), &cand), 1u);
    EXPECT_EQ(builder.AddFileNode(File(33, 777, "stray.txt"), &cand), 1u);
    filter.refused = {"refused.exe"};
    EXPECT_EQ(builder.AddFileNode(File(34, 30, "refused.exe"), &cand), 1u);
    CFileNode* nowhere = File(35, 30, "x");
    RangeCandidate stranger(3, 0, 1, 1);
    EXPECT_EQ(builder.AddFileNode(nowhere, &stranger), 0u);
    DestroyTreeNode(nowhere);
    EXPECT_EQ(builder.BuildLostFilesFolder(&cand), 1u);

    // Lost files of the signature search.
    CFileSystemNode* raw = RawRoot("More lost files");
    ASSERT_EQ(builder.InsertNode(raw, &cand), 1u);
    EXPECT_EQ(raw->GetParentId(), 5u);
    ASSERT_EQ(builder.InsertNode(RawFolder(20, 0, "JPEG"), &cand), 1u);
    ASSERT_EQ(builder.InsertNode(RawFolder(21, 0, "PNG"), &cand), 1u);
    ASSERT_EQ(builder.InsertNode(RawFile(1000, 20, "f1.jpg", 0, 100), &cand), 1u);

    // Roots arriving after the search finished are ignored (and kept by the builder).
    EXPECT_EQ(builder.AddFileSystemTree(Root(3, 5, "late")), 1u);
    EXPECT_EQ(builder.GetTrees().size(), 1u);

    const size_t batches = consumer.batches.size();
    EXPECT_EQ(builder.AddFoundFileNode(File(36, 30, "quiet.txt"), kTreeKindNtfs, &error), 1u);
    EXPECT_EQ(consumer.batches.size(), batches);  // linked without being shown one by one

    EXPECT_EQ(builder.FinishBuild(), 1u);
    EXPECT_EQ(consumer.shownRoots.back(), root);
    EXPECT_TRUE(consumer.rootFlags.back());
    EXPECT_EQ(PathsBelow(root), (std::set<std::string>{"NTFS", "NTFS/dir", "NTFS/dir/a.txt", "NTFS/dir/quiet.txt",
                                                       "NTFS/LostFiles", "NTFS/LostFiles/stray.txt",
                                                       "NTFS/More lost files", "NTFS/More lost files/JPEG",
                                                       "NTFS/More lost files/JPEG/f1.jpg"}));
}

TEST_F(CompleteBuilderTest, WithoutChosenCandidateEveryTreeGoesAndLostFilesStartAFreshTree) {
    CFileSystemNode* ntfs = Root(3, 5, "NTFS");
    ASSERT_EQ(builder.AddFileSystemTree(ntfs), 1u);
    ASSERT_EQ(builder.AddFileSystemTree(Root(7, 64, "EXFAT")), 1u);  // never shown
    u32 error = 0;
    builder.AddFoundFileNode(File(31, 5, "a.txt"), kTreeKindNtfs, &error);
    builder.FinishSearch();
    EXPECT_TRUE(builder.GetTrees().empty());
    EXPECT_EQ(consumer.removedRoots, std::vector<CFileSystemNode*>{ntfs});

    CFileSystemNode* raw = RawRoot("More lost files");
    ASSERT_EQ(builder.InsertNode(raw, nullptr), 1u);
    ASSERT_EQ(builder.InsertNode(RawFolder(20, 0, "JPEG"), nullptr), 1u);
    ASSERT_EQ(builder.InsertNode(RawFile(1000, 20, "f1.jpg", 0, 100), nullptr), 1u);
    EXPECT_EQ(builder.GetTreeRoot(nullptr), raw);
    builder.FinishBuild();
    EXPECT_EQ(consumer.shownRoots.back(), raw);
    EXPECT_EQ(PathsBelow(raw), (std::set<std::string>{"More lost files", "More lost files/JPEG",
                                                      "More lost files/JPEG/f1.jpg"}));
}

TEST_F(CompleteBuilderTest, OneTreePerCandidateEvenWithTwoProvisionalTreesOfItsCode) {
    builder.AddFileSystemTree(Root(3, 5, "NTFS"));
    builder.AddFileSystemTree(Root(3, 5, "NTFS"));
    RangeCandidate cand(3, 0, 1000, 50);
    builder.AddEvaluationItem(&cand);
    builder.FinishSearch();
    ASSERT_EQ(builder.GetTrees().size(), 1u);
    EXPECT_EQ(builder.GetTrees()[0]->GetPartition(), &cand);
}

TEST_F(CompleteBuilderTest, CandidatesOfTwoFileSystemsGetTheirOwnTrees) {
    CDirectoryTreeBuilder wide;
    ASSERT_EQ(wide.Init("Disk 0", &consumer, &filter, kBuilderCompleteMode, &device, 1), 1u);
    wide.AddFileSystemTree(Root(3, 5, "NTFS"));
    wide.AddFileSystemTree(Root(2, 0, "FAT32"));
    RangeCandidate ntfs(3, 0, 1000, 50);
    RangeCandidate fat(1, 2000, 1000, 40);  // FAT16 matches the FAT tree
    wide.AddEvaluationItem(&ntfs);
    wide.AddEvaluationItem(&fat);
    wide.FinishSearch();
    ASSERT_EQ(wide.GetTrees().size(), 2u);
    CFileSystemNode* fatRoot = wide.GetTreeRoot(&fat);
    ASSERT_NE(fatRoot, nullptr);
    EXPECT_EQ(fatRoot->GetFileSystemType(), 1u);
    u64 start = 0;
    u32 spc = 0;
    fatRoot->GetPartitionGeometry(start, spc);
    EXPECT_EQ(start, 2000u);
    ASSERT_NE(wide.GetTreeRoot(&ntfs), nullptr);
    EXPECT_EQ(NameOf(wide.GetTreeRoot(&ntfs)), "NTFS");
}

TEST_F(CompleteBuilderTest, TagKeepsTheProvisionalTreesAndSuppressesFinishBuild) {
    CFileSystemNode* ntfs = Root(3, 5, "NTFS");
    builder.AddFileSystemTree(ntfs);
    builder.SetTag(1);
    builder.FinishSearch();
    EXPECT_EQ(builder.GetTrees().size(), 1u);
    EXPECT_TRUE(consumer.removedRoots.empty());
    builder.FinishBuild();
    EXPECT_TRUE(consumer.shownRoots.empty());
}

TEST_F(CompleteBuilderTest, ApplyFilterReplacesAShownRootThroughTheConsumer) {
    CFileSystemNode* provisional = Root(3, 5, "NTFS");
    builder.AddFileSystemTree(provisional);
    u32 error = 0;
    builder.AddFoundFileNode(File(31, 5, "a.txt"), kTreeKindNtfs, &error);
    RangeCandidate stranger(3, 0, 1, 1);
    CFileSystemNode* other = Root(3, 5, "other");
    EXPECT_EQ(builder.ApplyFilter(other, &stranger), 0u);
    DestroyTreeNode(other);

    CFileSystemNode* built = Root(3, 5, "BUILT");
    CFileNode* dir = Folder(30, 5, "dir");
    built->AddChild(dir);
    filter.refused = {"no.exe"};
    dir->AddChild(File(40, 30, "no.exe"));
    dir->AddChild(File(41, 30, "yes.doc"));
    EXPECT_EQ(builder.ApplyFilter(built, nullptr), 1u);
    EXPECT_EQ(consumer.removedRoots, std::vector<CFileSystemNode*>{provisional});
    EXPECT_EQ(PathsBelow(built), (std::set<std::string>{"BUILT", "BUILT/dir", "BUILT/dir/yes.doc"}));
}

}  // namespace
