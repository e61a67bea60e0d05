// The tree builder in quick mode (the deleted-file scan): what is shown while the search runs,
// recycle-bin content held back until FinishSearch, and recycled files named from info files.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "TreeBuilderTestFeed.h"
#include "engine/DirectoryTreeBuilder.h"
#include "engine/PartitionTree.h"

using namespace feed;

namespace {

// Version 2 info file: version, size, deletion time, path length, path.
void WriteInfoFile(MemoryDevice& device, u64 sector, const std::u16string& path) {
    const size_t at = sector * 512;
    device.data[at] = 2;
    device.data[at + 24] = static_cast<u8>(path.size() + 1);
    device.PutUnits(at + 28, path);
}

class QuickBuilderTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(builder.Init("Volume C", &consumer, &filter, kBuilderQuickMode, &device, 0), 1u);
        root = Root(3, 5, "NTFS");
        ASSERT_EQ(builder.AddFileSystemTree(root), 1u);
    }
    u32 Feed(CFileNode* node) {
        u32 error = 99;
        const u32 r = builder.AddFoundFileNode(node, kTreeKindNtfs, &error);
        EXPECT_EQ(error, 0u);
        return r;
    }

    MemoryDevice device{64};
    RecordingConsumer consumer;
    NameFilter filter;
    CDirectoryTreeBuilder builder;
    CFileSystemNode* root = nullptr;
};

TEST(TreeBuilderInit, RefusesMissingArguments) {
    MemoryDevice device(8);
    RecordingConsumer consumer;
    NameFilter filter;
    CDirectoryTreeBuilder b;
    EXPECT_EQ(b.Init(nullptr, &consumer, &filter, 0, &device, 0), 0u);
    EXPECT_EQ(b.Init("x", nullptr, &filter, 0, &device, 0), 0u);
    EXPECT_EQ(b.Init("x", &consumer, nullptr, 0, &device, 0), 0u);
    EXPECT_EQ(b.Init("x", &consumer, &filter, 0, nullptr, 0), 0u);
    EXPECT_EQ(b.Init("Disk 1", &consumer, &filter, 0, &device, 0), 1u);
    EXPECT_EQ(consumer.rootText, "Disk 1");
    EXPECT_EQ(b.AddFileSystemTree(nullptr), 0u);
}

TEST_F(QuickBuilderTest, ShowsOnlyDeletedEntriesAndTheFoldersLeadingToThem) {
    Feed(Folder(30, 5, "Users"));
    Feed(Folder(31, 5, "Program Files"));
    Feed(File(32, 30, "live.txt"));
    EXPECT_TRUE(consumer.shownRoots.empty());  // nothing deleted yet
    Feed(File(33, 30, "gone.txt", true));
    ASSERT_EQ(consumer.shownRoots.size(), 1u);
    EXPECT_EQ(consumer.shownRoots[0], root);
    EXPECT_EQ(consumer.ShownNames(), (std::set<std::string>{"Users", "gone.txt"}));
    EXPECT_EQ(consumer.filesFound, 1);

    EXPECT_EQ(builder.FinishSearch(), 1u);
    EXPECT_EQ(builder.FinishBuild(), 1u);
    EXPECT_EQ(consumer.shownRoots.size(), 1u);
    EXPECT_EQ(consumer.batchArgs.back(), 1u);
    EXPECT_EQ(PathsBelow(root), (std::set<std::string>{"NTFS", "NTFS/Users", "NTFS/Users/gone.txt"}));
}

TEST_F(QuickBuilderTest, RefusedTooLargeAndPropertylessEntriesAreDropped) {
    filter.refused = {"skip.exe"};
    EXPECT_EQ(Feed(File(40, 5, "skip.exe", true)), 1u);
    const u64 deviceBytes = 64 * 512;
    EXPECT_EQ(Feed(File(41, 5, "as-large.bin", true, deviceBytes)), 1u);
    EXPECT_EQ(Feed(File(42, 5, "huge.bin", true, ~0ull)), 1u);  // a garbage size with its top bit set
    EXPECT_EQ(Feed(File(43, 5, "fits.bin", true, deviceBytes - 1)), 1u);
    CFileNode* bare = CreateFileNode().release();
    bare->SetId(44);
    bare->SetParentId(5);
    EXPECT_EQ(Feed(bare), 1u);
    EXPECT_EQ(PathsBelow(root), (std::set<std::string>{"NTFS", "NTFS/fits.bin"}));
}

TEST_F(QuickBuilderTest, RecycleBinContentIsHeldUntilFinishSearchAndNamedFromInfoFiles) {
    WriteInfoFile(device, 10, u"C:\\Users\\me\\Documents\\report.docx");
    Feed(File(20, 5, "old.txt", true));
    Feed(Folder(40, 5, "$Recycle.Bin"));
    Feed(Folder(41, 40, "S-1-5-21-1000"));
    Feed(RawFile(42, 41, "$IABC123.docx", 10, 120));
    Feed(File(43, 41, "$RABC123.docx"));
    Feed(File(44, 41, "$RZZZ999.txt"));  // its info file is gone
    Feed(Folder(50, 5, "$RmMetadata"));    // NTFS repair metadata is not recycle-bin content
    EXPECT_EQ(builder.GetHeldCount(), 5u);
    EXPECT_EQ(consumer.ShownNames(), (std::set<std::string>{"old.txt"}));

    builder.FinishSearch();
    EXPECT_EQ(builder.GetHeldCount(), 0u);
    builder.FinishBuild();
    EXPECT_EQ(PathsBelow(root), (std::set<std::string>{"NTFS", "NTFS/old.txt", "NTFS/$Recycle.Bin",
                                                       "NTFS/$Recycle.Bin/S-1-5-21-1000",
                                                       "NTFS/$Recycle.Bin/S-1-5-21-1000/report.docx",
                                                       "NTFS/$Recycle.Bin/S-1-5-21-1000/$RZZZ999.txt"}));
    EXPECT_EQ(consumer.ShownNames().count("report.docx"), 1u);
    EXPECT_EQ(consumer.ShownNames().count("$IABC123.docx"), 0u);
}

TEST_F(QuickBuilderTest, HeldFilesAreLinkedEvenWhenNoFolderWasHeld) {
    Feed(Folder(60, 5, "Backup"));
    CFileNode* recycled = File(61, 60, "$RQQQ.txt");
    Feed(recycled);
    EXPECT_EQ(builder.GetHeldCount(), 1u);
    builder.FinishSearch();
    EXPECT_EQ(PathOf(recycled), "NTFS/Backup/$RQQQ.txt");
    EXPECT_EQ(consumer.shownNodes.count(recycled), 1u);
}

TEST_F(QuickBuilderTest, InfoFileWithoutDrivePathLeavesTheNameAlone) {
    WriteInfoFile(device, 12, u"no drive\\here.txt");
    Feed(Folder(40, 5, "$Recycle.Bin"));
    Feed(RawFile(42, 40, "$IDEF.txt", 12, 100));
    CFileNode* data = File(43, 40, "$RDEF.txt");
    Feed(data);
    builder.FinishSearch();
    EXPECT_EQ(PathOf(data), "NTFS/$Recycle.Bin/$RDEF.txt");
}

TEST_F(QuickBuilderTest, TagStopsFinishBuild) {
    Feed(File(33, 5, "gone.txt", true));
    builder.SetTag(1);
    const size_t batches = consumer.batches.size();
    EXPECT_EQ(builder.FinishBuild(), 0u);
    EXPECT_EQ(consumer.batches.size(), batches);
}

TEST_F(QuickBuilderTest, NoTreeKindErrorsInQuickMode) {
    u32 error = 1;
    CFileNode* n = File(70, 5, "x", true);
    EXPECT_EQ(builder.AddFoundFileNode(n, kTreeKindExt, &error), 1u);  // quick mode ignores the kind
    EXPECT_EQ(error, 0u);
}

// ---------------------------------------------------------------------------------------------

class RecycleNameTest : public ::testing::Test {
protected:
    void TearDown() override {
        DestroyTreeNode(entry);
        DestroyTreeNode(info);
    }
    std::string Restore(u64 infoSize = 1024) {
        info = RawFile(1, 0, "$IX", 4, infoSize);
        RestoreRecycleBinName(&device, entry, info, 0, 1);
        return NameOf(entry);
    }
    MemoryDevice device{16};
    CFileNode* entry = File(2, 0, "$RX");
    CFileNode* info = nullptr;
};

TEST_F(RecycleNameTest, FileFromADrivesTopFolderIsNamed) {
    device.PutUnits(4 * 512 + 28, u"D:\\photo.jpg");
    EXPECT_EQ(Restore(), "photo.jpg");
}

TEST_F(RecycleNameTest, NameRunningToTheEndOfTheTextStaysWithinIt) {
    // Drive path early, the last backslash late: the name fills units 501 to 511.
    device.PutUnits(4 * 512 + 28, u"C:\\");
    std::u16string tail = u"\\abcdefghijk";  // the backslash at unit 500
    device.PutUnits(4 * 512 + 1000, tail);
    device.PutUnits(4 * 512 + 1024, u"lmnop");  // beyond the 512 units read
    EXPECT_EQ(Restore(2048), "abcdefghijk");
}

TEST_F(RecycleNameTest, BackslashAtTheVeryStartWithoutDrivePathChangesNothing) {
    device.PutUnits(4 * 512, u"\\name");
    EXPECT_EQ(Restore(), "$RX");
}

TEST_F(RecycleNameTest, UnreadableInfoFileChangesNothing) {
    info = RawFile(1, 0, "$IX", 100, 512);  // beyond the device
    RestoreRecycleBinName(&device, entry, info, 0, 1);
    EXPECT_EQ(NameOf(entry), "$RX");
}

TEST(NtfsRepairMetadata, OnlyRecycledDataNamesAreHeld) {
    struct Case {
        const char* name;
        bool held;
    } cases[] = {{"$RABC.txt", true}, {"#R12345", true}, {"$RmMetadata", false}, {"$Repair", false},
                 {"$R", false},       {"$IABC", false},  {"RABC", false},        {"$Reparse", false}};
    for (const Case& c : cases) {
        CFileNode* n = File(1, 0, c.name);
        EXPECT_EQ(IsNtfsRepairMetadataPath(n), c.held) << c.name;
        DestroyTreeNode(n);
    }
}

}  // namespace
