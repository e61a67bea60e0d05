// Linking of found entries into partition trees and the deleted-file scan's tree, and the
// "LostFiles" folder of entries that never found their parent.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "TreeBuilderTestFeed.h"
#include "engine/PartitionTree.h"

using namespace feed;

namespace {

bool Contains(const std::vector<CFileNode*>& v, const CFileNode* n) { return std::find(v.begin(), v.end(), n) != v.end(); }

class PartitionTreeTest : public ::testing::Test {
protected:
    void SetUp() override {
        root = Root(3, 5, "NTFS");
        ASSERT_TRUE(tree.Init(3, root));
    }
    CPartitionTree tree;
    CFileSystemNode* root = nullptr;
};

TEST_F(PartitionTreeTest, InitRefusesUnknownCodeAndNullRoot) {
    CPartitionTree other;
    CFileSystemNode* r = Root(9, 1);
    EXPECT_FALSE(other.Init(9, r));
    EXPECT_FALSE(other.Init(3, nullptr));
    DestroyTreeNode(r);
}

TEST_F(PartitionTreeTest, FileBeforeItsFolderIsLinkedWhenTheFolderArrives) {
    std::vector<CFileNode*> out;
    CFileNode* file = File(100, 40, "a.txt");
    EXPECT_EQ(tree.AddNode(file, &out), 0);
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(tree.GetOrphanFiles().size(), 1u);

    CFileNode* folder = Folder(40, 5, "docs");
    EXPECT_EQ(tree.AddNode(folder, &out), 1);
    EXPECT_EQ(PathOf(file), "NTFS/docs/a.txt");
    EXPECT_TRUE(Contains(out, folder));
    EXPECT_TRUE(Contains(out, file));
    EXPECT_TRUE(tree.GetOrphanFiles().empty());
    EXPECT_EQ(tree.GetNodeCount(), 3u);
    EXPECT_EQ(tree.GetNodeAt(0), root);
    EXPECT_EQ(tree.GetNodeAt(3), nullptr);
}

TEST_F(PartitionTreeTest, OrphanChainIsLinkedCompletelyWhenItsTopArrives) {
    std::vector<CFileNode*> out;
    CFileNode* leaf = File(400, 30, "deep.txt");
    CFileNode* c = Folder(30, 20, "c");
    CFileNode* b = Folder(20, 10, "b");
    tree.AddNode(leaf, &out);
    tree.AddNode(c, &out);
    tree.AddNode(b, &out);
    EXPECT_TRUE(out.empty());
    CFileNode* a = Folder(10, 5, "a");
    EXPECT_EQ(tree.AddNode(a, &out), 1);
    EXPECT_EQ(PathOf(leaf), "NTFS/a/b/c/deep.txt");
    EXPECT_EQ(out.size(), 4u);
    EXPECT_TRUE(tree.GetOrphanFolders().empty());
    EXPECT_TRUE(tree.GetOrphanFiles().empty());
}

TEST_F(PartitionTreeTest, SameIdFoldersChooseTheOneCreatedNoLaterThanTheChild) {
    CFileNode* newer = MakeNode({50, 5, "newer", true, false, 0, 2000});
    CFileNode* older = MakeNode({50, 5, "older", true, false, 0, 1000});
    tree.AddNode(newer, nullptr);
    tree.AddNode(older, nullptr);
    CFileNode* child = MakeNode({60, 50, "child", false, false, 1, 1500});
    ASSERT_EQ(tree.AddNode(child, nullptr), 1);
    EXPECT_EQ(child->GetParent(), older);
    // None qualifies: the first of that id.
    CFileNode* early = MakeNode({61, 50, "early", false, false, 1, 10});
    ASSERT_EQ(tree.AddNode(early, nullptr), 1);
    EXPECT_EQ(early->GetParent(), newer);
}

TEST_F(PartitionTreeTest, ParentIdNamingAFileKeepsTheChildOrphanedUntilLostFiles) {
    tree.AddNode(File(70, 5, "plain.bin"), nullptr);
    CFileNode* orphan = File(71, 70, "child.bin");
    EXPECT_EQ(tree.AddNode(orphan, nullptr), 0);
    std::vector<CFileNode*> out;
    tree.AttachLostFiles(&out);
    ASSERT_NE(tree.GetLostFilesFolder(), nullptr);
    EXPECT_EQ(PathOf(orphan), "NTFS/LostFiles/child.bin");
    EXPECT_EQ(out.front(), tree.GetLostFilesFolder());
    EXPECT_EQ(tree.GetLostFilesFolder()->GetFileProperties()->GetAttributes() & kAttrDirectory, kAttrDirectory);
    // Built once only.
    CFileNode* first = tree.GetLostFilesFolder();
    tree.AttachLostFiles(nullptr);
    EXPECT_EQ(tree.GetLostFilesFolder(), first);
}

TEST_F(PartitionTreeTest, ChildrenOfADeletedFolderBecomeDeleted) {
    CFileNode* folder = Folder(80, 5, "gone", true);
    CFileNode* file = File(81, 80, "f.txt", false);
    tree.AddNode(file, nullptr);
    tree.AddNode(folder, nullptr);
    EXPECT_EQ(file->GetFileProperties()->GetState(), 1);
}

TEST_F(PartitionTreeTest, OrphanFolderKeepsItsChildrenBelowLostFiles) {
    CFileNode* top = Folder(90, 999, "lost-top");
    CFileNode* sub = Folder(91, 90, "sub");
    CFileNode* f1 = File(92, 91, "f1");
    CFileNode* f2 = File(93, 90, "f2");
    for (CFileNode* n : {f1, sub, f2, top}) tree.AddNode(n, nullptr);
    std::vector<CFileNode*> out;
    tree.AttachLostFiles(&out);
    EXPECT_EQ(PathOf(f1), "NTFS/LostFiles/lost-top/sub/f1");
    EXPECT_EQ(PathOf(f2), "NTFS/LostFiles/lost-top/f2");
    ASSERT_FALSE(out.empty());
    EXPECT_EQ(out.front(), tree.GetLostFilesFolder());
    EXPECT_EQ(std::set<CFileNode*>(out.begin(), out.end()).size(), out.size());  // each once
    EXPECT_EQ(out.size(), 5u);
}

TEST_F(PartitionTreeTest, OrphanParentCycleEndsUnderLostFilesWithoutALoop) {
    CFileNode* a = Folder(200, 201, "A");
    CFileNode* b = Folder(201, 200, "B");
    CFileNode* self = Folder(202, 202, "S");
    CFileNode* inSelf = File(203, 202, "inS");
    for (CFileNode* n : {a, b, self, inSelf}) EXPECT_EQ(tree.AddNode(n, nullptr), 0);
    tree.AttachLostFiles(nullptr);
    const std::set<std::string> paths = PathsBelow(root);
    EXPECT_EQ(paths.count("CYCLE"), 0u);
    EXPECT_EQ(PathOf(inSelf), "NTFS/LostFiles/S/inS");
    EXPECT_TRUE(PathOf(a).rfind("NTFS/LostFiles/", 0) == 0);
    EXPECT_TRUE(PathOf(b).rfind("NTFS/LostFiles/", 0) == 0);
}

TEST_F(PartitionTreeTest, NoLostFilesWithoutOrphansNorForRawTrees) {
    tree.AddNode(File(300, 5, "ok"), nullptr);
    tree.AttachLostFiles(nullptr);
    EXPECT_EQ(tree.GetLostFilesFolder(), nullptr);

    CPartitionTree raw;
    ASSERT_TRUE(raw.Init(6, Root(6, 0, "RAW")));
    raw.AddNode(File(1, 77, "orphan"), nullptr);
    raw.AttachLostFiles(nullptr);
    EXPECT_EQ(raw.GetLostFilesFolder(), nullptr);
}

TEST_F(PartitionTreeTest, RawEntriesGoToTheRawSubTreeWhichDropsEmptyTypeFolders) {
    CFileNode* refused = File(1, 1, "not-raw");
    EXPECT_EQ(tree.InsertNode(refused), 0u);  // not RAW properties: refused, the caller keeps it
    DestroyTreeNode(refused);

    CFileSystemNode* rawRoot = CreateFileSystemNode().release();
    auto* rp = static_cast<CRAWFileProperties*>(CreateRAWFileProperties().release());
    SetFolderPropertiesName(rp, "More lost files");
    rawRoot->SetFileProperties(rp);
    rawRoot->SetFileSystemType(6);
    rawRoot->SetId(0);
    rawRoot->SetParentId(root->GetId());
    ASSERT_EQ(tree.InsertNode(rawRoot), 1u);
    CFileNode* jpg = RawFolder(20, 0, "JPEG");
    CFileNode* empty = RawFolder(21, 0, "PNG");
    CFileNode* photo = RawFile(1000, 20, "f1.jpg", 0, 100);
    for (CFileNode* n : {jpg, empty, photo}) ASSERT_EQ(tree.InsertNode(n), 1u);
    EXPECT_EQ(tree.AttachRawSubTree(), 1u);
    EXPECT_EQ(PathOf(photo), "NTFS/More lost files/JPEG/f1.jpg");
    EXPECT_EQ(empty->GetParent(), nullptr);
    // A second finish must not link the sub-tree twice.
    tree.AttachRawSubTree();
    EXPECT_EQ(PathsBelow(root).count("CYCLE"), 0u);
}

TEST_F(PartitionTreeTest, ApplyFilterReplacesTheContentAndDropsRefusedFiles) {
    CFileNode* oldFolder = Folder(10, 5, "old");
    tree.AddNode(oldFolder, nullptr);
    tree.AddNode(File(11, 10, "old.txt"), nullptr);
    tree.AddNode(File(12, 777, "waiting"), nullptr);  // an orphan: kept by the tree

    CFileSystemNode* fresh = Root(3, 5, "NTFS2");
    CFileNode* dir = Folder(20, 5, "dir");
    CFileNode* keep = File(21, 20, "keep.doc");
    CFileNode* drop = File(22, 20, "drop.exe");
    fresh->AddChild(dir);
    dir->AddChild(keep);
    dir->AddChild(drop);
    NameFilter filter;
    filter.refused = {"drop.exe"};
    ASSERT_TRUE(tree.ApplyFilter(fresh, &filter));
    EXPECT_EQ(tree.GetRoot(), fresh);
    EXPECT_EQ(PathsBelow(fresh), (std::set<std::string>{"NTFS2", "NTFS2/dir", "NTFS2/dir/keep.doc"}));
    // Later entries find the folders of the new subtree.
    CFileNode* late = File(23, 20, "late.doc");
    EXPECT_EQ(tree.AddNode(late, nullptr), 1);
    EXPECT_EQ(PathOf(late), "NTFS2/dir/late.doc");
    EXPECT_EQ(tree.GetOrphanFiles().size(), 1u);
}

TEST_F(PartitionTreeTest, ApplyFilterOnExFatIndexesOnlyTheRoot) {
    CPartitionTree ex;
    ASSERT_TRUE(ex.Init(7, Root(7, 4096, "EXFAT")));
    CFileSystemNode* fresh = Root(7, 4096, "EXFAT");
    CFileNode* dir = Folder(8192, 4096, "dir");
    fresh->AddChild(dir);
    ASSERT_TRUE(ex.ApplyFilter(fresh, nullptr));
    EXPECT_EQ(ex.GetFolderIndex().size(), 1u);
    CFileNode* file = File(9000, 8192, "f");
    EXPECT_EQ(ex.AddNode(file, nullptr), 0);  // dir is not indexed
    EXPECT_EQ(ex.AddNode(File(9001, 4096, "top"), nullptr), 1);
}

// ---------------------------------------------------------------------------------------------

class QuickTreeTest : public ::testing::Test {
protected:
    void SetUp() override {
        root = Root(3, 5, "NTFS");
        ASSERT_TRUE(tree.SetRoot(3, root, &device, &consumer));
    }
    MemoryDevice device{64};
    RecordingConsumer consumer;
    CQuickScanTree tree;
    CFileSystemNode* root = nullptr;
};

TEST_F(QuickTreeTest, SetRootRefusesBadArgumentsAndASecondRoot) {
    CQuickScanTree other;
    CFileSystemNode* r = Root(3, 5);
    EXPECT_FALSE(other.SetRoot(3, r, nullptr, &consumer));
    EXPECT_FALSE(other.SetRoot(9, r, &device, &consumer));
    EXPECT_FALSE(tree.SetRoot(3, r, &device, &consumer));
    DestroyTreeNode(r);
}

TEST_F(QuickTreeTest, DeletedFileBringsInTheLiveFoldersLeadingToIt) {
    std::vector<CFileNode*> out;
    EXPECT_EQ(tree.AddNode(Folder(30, 5, "Users"), &out), 0u);
    EXPECT_EQ(tree.AddNode(Folder(31, 30, "me"), &out), 0u);
    EXPECT_EQ(tree.AddNode(Folder(32, 5, "Windows"), &out), 0u);
    EXPECT_EQ(tree.AddNode(File(33, 31, "live.txt"), &out), 0u);  // live files are dropped
    CFileNode* gone = File(34, 31, "gone.txt", true);
    EXPECT_EQ(tree.AddNode(gone, &out), 1u);
    EXPECT_EQ(PathOf(gone), "NTFS/Users/me/gone.txt");
    EXPECT_EQ(out.size(), 3u);  // two clones and the file
    tree.FinishBuild(&out);
    EXPECT_EQ(PathsBelow(root), (std::set<std::string>{"NTFS", "NTFS/Users", "NTFS/Users/me", "NTFS/Users/me/gone.txt"}));
    EXPECT_EQ(tree.GetLostFilesFolder(), nullptr);
    EXPECT_TRUE(tree.GetExistingFolders().empty());
}

TEST_F(QuickTreeTest, LiveFolderAwaitedByOrphansIsBroughtIn) {
    CFileNode* gone = File(41, 40, "gone.txt", true);
    EXPECT_EQ(tree.AddNode(gone, nullptr), 0u);
    std::vector<CFileNode*> out;
    CFileNode* folder = Folder(40, 5, "Docs");
    EXPECT_EQ(tree.AddNode(folder, &out), 1u);
    EXPECT_EQ(PathOf(gone), "NTFS/Docs/gone.txt");
    EXPECT_TRUE(Contains(out, gone));
}

TEST_F(QuickTreeTest, AncestorsArrivingAfterTheOrphanAreUsedAtFinish) {
    CFileNode* gone = File(52, 51, "late-parents.txt", true);
    tree.AddNode(gone, nullptr);
    tree.AddNode(Folder(51, 50, "inner"), nullptr);  // its own parent is still unknown
    tree.AddNode(Folder(50, 5, "outer"), nullptr);
    std::vector<CFileNode*> out;
    tree.FinishBuild(&out);
    EXPECT_EQ(PathOf(gone), "NTFS/outer/inner/late-parents.txt");
    EXPECT_EQ(tree.GetLostFilesFolder(), nullptr);
}

TEST_F(QuickTreeTest, ParentReferenceCycleEndsTheWalkAndLandsInLostFiles) {
    tree.AddNode(Folder(60, 61, "ping"), nullptr);
    tree.AddNode(Folder(61, 60, "pong"), nullptr);
    tree.AddNode(Folder(62, 62, "self"), nullptr);
    CFileNode* a = File(63, 60, "in-cycle.txt", true);
    CFileNode* b = File(64, 62, "in-self.txt", true);
    EXPECT_EQ(tree.AddNode(a, nullptr), 0u);
    EXPECT_EQ(tree.AddNode(b, nullptr), 0u);
    std::vector<CFileNode*> out;
    EXPECT_EQ(tree.FinishBuild(&out), 1u);
    EXPECT_EQ(PathOf(a), "NTFS/LostFiles/in-cycle.txt");
    EXPECT_EQ(PathOf(b), "NTFS/LostFiles/in-self.txt");
    EXPECT_EQ(out.front(), tree.GetLostFilesFolder());
    EXPECT_EQ(PathsBelow(root).count("CYCLE"), 0u);
}

TEST_F(QuickTreeTest, OrphanWhoseParentIdNowNamesAnotherFileGoesToLostFiles) {
    // Record 70 was the folder; it now holds a live file.
    tree.AddNode(File(70, 5, "reused.dat"), nullptr);
    CFileNode* gone = File(71, 70, "orphan.txt", true);
    CFileNode* goneDir = Folder(72, 70, "orphan-dir", true);
    CFileNode* inside = File(73, 72, "inside.txt", true);
    for (CFileNode* n : {gone, goneDir, inside}) tree.AddNode(n, nullptr);
    tree.FinishBuild(nullptr);
    EXPECT_EQ(PathOf(gone), "NTFS/LostFiles/orphan.txt");
    EXPECT_EQ(PathOf(inside), "NTFS/LostFiles/orphan-dir/inside.txt");
}

TEST_F(QuickTreeTest, DeepTreesLinkWithoutRecursion) {
    constexpr u64 kDepth = 5000;
    // Live folders top-down, then a deleted file at the bottom.
    for (u64 i = 0; i < kDepth; ++i) tree.AddNode(Folder(1000 + i, i == 0 ? 5 : 1000 + i - 1, "d"), nullptr);
    CFileNode* bottom = File(9999, 1000 + kDepth - 1, "bottom.txt", true);
    EXPECT_EQ(tree.AddNode(bottom, nullptr), 1u);
    u64 depth = 0;
    for (const CFileNode* n = bottom; n->GetParent(); n = n->GetParent()) ++depth;
    EXPECT_EQ(depth, kDepth + 1);

    // Deleted folders bottom-up: every one an orphan until the top arrives.
    std::vector<CFileNode*> out;
    for (u64 i = kDepth; i-- > 0;) tree.AddNode(Folder(20000 + i, i == 0 ? 5 : 20000 + i - 1, "x", true), &out);
    EXPECT_EQ(out.size(), kDepth);
    EXPECT_TRUE(tree.GetOrphanFolders().empty());
}

TEST_F(QuickTreeTest, HeldEntriesAreLinkedWhateverTheirState) {
    std::vector<CFileNode*> out;
    CFileNode* bin = Folder(80, 5, "$Recycle.Bin");
    EXPECT_EQ(tree.AddHeldNode(bin, &out), 1u);
    CFileNode* live = File(81, 80, "$RABC.txt");
    EXPECT_EQ(tree.AddHeldNode(live, &out), 1u);
    EXPECT_EQ(PathOf(live), "NTFS/$Recycle.Bin/$RABC.txt");
}

TEST_F(QuickTreeTest, ExFatHeldFilesPreferTheFolderInsideTheRecycleBin) {
    CFileNode* bin = Folder(80, 5, "$Recycle.Bin");
    tree.AddHeldNode(bin, nullptr);
    CFileNode* plain = Folder(90, 5, "plain");
    CFileNode* inBin = Folder(90, 80, "S-1-5");  // same id, inside the bin
    tree.AddHeldNode(plain, nullptr);
    tree.AddHeldNode(inBin, nullptr);
    CFileNode* file = MakeNode({91, 90, "$RX.jpg", false, true, 5, 0, kPropertiesExFat});
    EXPECT_EQ(tree.AddHeldNode(file, nullptr), 1u);
    EXPECT_EQ(file->GetParent(), inBin);
}

}  // namespace
