// The browser's model without windows: the folder filter, the configuration and its file, the
// icon records, the binding nodes' check folding, the hand-over queue, the list model's sort and
// check sums, removals and searches. The test thread stands in for the UI thread and drains the
// queue itself.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <future>
#include <thread>

#include "BrowserTestTree.h"
#include "TestUtil.h"
#include "browser/model/BrowserConfig.h"
#include "browser/model/BrowserSkin.h"
#include "browser/model/FileSelCtrl.h"
#include "browser/model/ListModel.h"
#include "browser/model/NodeManager.h"
#include "platform/Log.h"
#include "platform/ProgramDir.h"
#include "platform/Sync.h"
#include "platform/WindowPost.h"
#include "ui/UiWait.h"

using namespace FileSelCtrl;
using browsertest::Add;

namespace {

CFileVirtualNodeManager& Manager() { return CFileVirtualNodeManager::Instance(); }

void Drain() {
    while (Manager().ProcessPending(kInfinite)) {
    }
}

// Root(NTFS) -> Docs{a.txt 100, b.jpg 300, Old{c.doc 50}}, Music{d.mp3 700}, top.bin 5
struct SmallTree {
    CFileSystemNode* root = browsertest::Root();
    CFileNode* docs = Add(root, "Docs", true);
    CFileNode* music = Add(root, "Music", true);
    CFileNode* top = Add(root, "top.bin", false, 5, browsertest::kFileTime2020);
    CFileNode* a = Add(docs, "a.txt", false, 100, browsertest::kFileTime2020 + 2 * browsertest::kFileTimeDay);
    CFileNode* b = Add(docs, "b.jpg", false, 300, 0);
    CFileNode* old = Add(docs, "Old", true);
    CFileNode* c = Add(old, "c.doc", false, 50, browsertest::kFileTime2020);
    CFileNode* d = Add(music, "d.mp3", false, 700, browsertest::kFileTime2020);
    ~SmallTree() { browsertest::Free(root); }
};

class BrowserModel : public ::testing::Test {
protected:
    void SetUp() override {
        // The names these cases expect are the built-in texts; a window test of the same
        // process may have loaded a language's.
        Skin() = BrowserSkin();
        Manager().ClearAll();
        Manager().SetUiWindow(nullptr);
        Manager().SetCurrentTreeKind(kTreeKindPath);
        CFileListData::SelectModel(false, true);
    }
    void TearDown() override { Manager().ClearAll(); }

    // The cases hand the manager made-up window handles: only the headless sink takes them.
    HeadlessWindowPostScope headlessPost_;

    CDirectoryNode* Child(CBindingNode* parent, const std::string& name) {
        for (CBindingNode* c : *parent->GetChildren()) {
            if (c->GetName() == name) return static_cast<CDirectoryNode*>(c);
        }
        return nullptr;
    }
};

TEST(FolderFilter, ShowsTheWayToAndTheInsideOfChosenFolders) {
    CFileSystemNode* root = browsertest::Root();
    CFileNode* users = Add(root, "Users", true);
    CFileNode* name = Add(users, "Name", true);
    CFileNode* desktop = Add(name, "DeskTop", true);
    CFileNode* photos = Add(desktop, "Photos", true);
    CFileNode* inDesktop = Add(desktop, "x.txt", false);
    CFileNode* inName = Add(name, "y.txt", false);
    CFileNode* other = Add(root, "Other", true);

    CFolderFilter filter;
    EXPECT_TRUE(filter.Match(inName)) << "an empty filter shows everything";
    filter.AddDirectory("C:\\users\\NAME\\Desktop");
    filter.AddDirectory("C:\\Users\\Name\\Desktop\\");  // the same entry, once with a separator
    const struct {
        CFileNode* node;
        bool shown;
    } cases[] = {{root, true},  {users, true},     {name, true},    {desktop, true},
                 {photos, false}, {inDesktop, true}, {inName, false}, {other, false}};
    for (const auto& c : cases) EXPECT_EQ(filter.Match(c.node), c.shown) << browsertest::Props().name << ScanNodeName(c.node);
    filter.Clear();
    EXPECT_TRUE(filter.Match(inName));

    // A deeper choice first makes the shallower folder a way, not a chosen folder.
    filter.AddDirectory("/Users/Name/Desktop");
    filter.AddDirectory("/Users/Name");
    EXPECT_FALSE(filter.Match(inName));
    filter.Clear();
    filter.AddDirectory("/Users/Name");
    filter.AddDirectory("/Users/Name/Desktop");
    EXPECT_TRUE(filter.Match(inName));

    CFileNode* orphan = CreateFileNode().release();  // a chain that ends outside a file-system tree
    EXPECT_FALSE(filter.Match(orphan));
    DeleteFileNode(orphan);
    browsertest::Free(root);
}

TEST(BrowserConfig, LanguageFoldersSettingsAndPaths) {
    testutil::TempDir dir;
    const std::string res = dir.File("Res");
    ASSERT_TRUE(MakeDirectories(res));
    {
        std::ofstream(res + "/Languange.ini") << "[Language]\nId=7\n";
    }
    CFileSelCtrlConfig unknown(res, dir.File("user.ini"));
    EXPECT_EQ(unknown.GetXmlPath(), res + "/FileSelCtrl.xml") << "an id outside 0..5 has no language folder";
    EXPECT_TRUE(unknown.SetLanguage(2));
    EXPECT_EQ(unknown.GetXmlPath(), res + "/Ger/FileSelCtrl.xml");
    EXPECT_FALSE(unknown.SetLanguage(2)) << "the current id writes nothing";
    CFileSelCtrlConfig again(res, dir.File("user.ini"));
    EXPECT_EQ(again.GetLanguage(), 2) << "the user's choice is read back";
    EXPECT_EQ(again.GetResourcePath(), res + "/Ger");
    const char* const folders[] = {"/Eng", "/Jpn", "/Ger", "/Fra", "/Spa", "/Por(Br)"};
    for (int id = 0; id < kLanguageCount; ++id) EXPECT_STREQ(CFileSelCtrlConfig::LanguageFolder(id), folders[id]);
}

TEST(BrowserConfig, IconRecordsAreSharedPerExtensionAndImageNamesFollowFileType) {
    CFileSelIconManager icons;
    EXPECT_EQ(icons.GetFileIcon("Photo.JPG"), icons.GetFileIcon("dir/x.jpg"));
    EXPECT_EQ(icons.GetFileIcon("README"), icons.GetFileIcon("Makefile"));
    EXPECT_EQ(icons.GetFileIcon("a.b/README"), icons.GetFileIcon("Makefile")) << "a dot in a folder is no extension";
    EXPECT_NE(icons.GetFileIcon("x.jpg"), icons.GetFileIcon("x.txt"));
    EXPECT_EQ(icons.GetFolderIcon("/A/b"), icons.GetFolderIcon("/a/B/"));

    const std::vector<std::string> ext = LoadImageExtensions(GetProgramDir() + "Res/FileType.xml");
    ASSERT_FALSE(ext.empty()) << "FileType.xml lists the picture types";
    EXPECT_TRUE(IsImageName("IMG_0001.JPG", ext));
    EXPECT_TRUE(IsImageName("scan.Png\tcopy", ext));
    EXPECT_FALSE(IsImageName("notes.txt", ext));
    EXPECT_FALSE(IsImageName("jpg", ext));
}

TEST(BrowserSkin, FieldsAreCutGuardedOrZeroedAsTheFileSays) {
    testutil::TempDir dir;
    const std::string path = dir.File("FileSelCtrl.xml");
    const std::string long59(59, 'x');
    const std::string long60(60, 'y');
    const std::string jp30 = "名前名前名前名前名前";  // 30 bytes: cut to 19 at a character boundary
    {
        std::ofstream(path) << "<FileSelCtrl><FileListCtrl><HeaderCtrl Font=\"Serif\"/>"
                            << "<Column1 Name=\"" << jp30 << "\" Width=\"200\"/><Column3 Name=\"T\"/></FileListCtrl>"
                            << "<PreviewWnd><TextResource><TipOfLoading>" << long59 << "</TipOfLoading><EmptyDir>" << long60
                            << "</EmptyDir></TextResource></PreviewWnd><TabCtrl crChNormal=\"255\"/></FileSelCtrl>";
    }
    BrowserSkin s;
    ASSERT_TRUE(LoadBrowserSkin(path, s));
    EXPECT_EQ(s.headerFont.face, "Serif");
    EXPECT_EQ(s.headerFont.points, 0);
    EXPECT_EQ(s.headerTextColour, 0u);
    EXPECT_EQ(s.columns[0].name, "名前名前名前") << "19 bytes hold six whole characters";
    EXPECT_EQ(s.columns[0].width, 200);
    EXPECT_EQ(s.columns[2].width, 0) << "a column without a width is not shown";
    EXPECT_EQ(s.columns[1].width, 160);
    EXPECT_EQ(s.tipOfLoading, long59);
    EXPECT_EQ(s.rowLoadingTip, long59) << "a row not loaded yet shows the same text";
    EXPECT_EQ(s.emptyDir, "This folder is empty!") << "a guarded text that does not fit is ignored";
    EXPECT_EQ(s.tabCaptionNormal, 0xFFFF0000u);
    EXPECT_FALSE(LoadBrowserSkin(dir.File("missing.xml"), s));
    EXPECT_EQ(s.columns[0].name, "Name");
    EXPECT_EQ(s.rowLoadingTip, "Loading...") << "without the file a row's own fallback";
    EXPECT_EQ(s.tipOfLoading, "Loading,Please wait...");

    // Every shipped language file parses and its texts fit their fields unchanged.
    const char* const folders[] = {"Eng", "Jpn", "Ger", "Fra", "Spa", "Por(Br)"};
    for (const char* folder : folders) {
        BrowserSkin lang;
        ASSERT_TRUE(LoadBrowserSkin(GetProgramDir() + "Res/" + folder + "/FileSelCtrl.xml", lang)) << folder;
        EXPECT_NE(lang.emptyDir, "") << folder;
        EXPECT_NE(lang.lostPartition, "Losted Partition") << folder;
        if (std::string(folder) != "Eng") {
            EXPECT_NE(lang.tipOfLoading, BrowserSkin().tipOfLoading) << folder;
        }
        for (const ColumnSpec& c : lang.columns) EXPECT_GT(c.width, 0) << folder;
    }
}

TEST_F(BrowserModel, WalkedTreeBindsFoldersAndChecksFoldUpAndDown) {
    SmallTree t;
    const std::string log = LogFilePath("Morvenda.log");
    const size_t logged = testutil::ReadFileText(log).size();
    Manager().AddFileSystemNode(t.root, nullptr, nullptr, true);
    Drain();
    // The walk's start and end are marked in the program's log by this process and thread.
    const std::string logText = testutil::ReadFileText(log);
    const std::string lines = logText.size() >= logged ? logText.substr(logged) : logText;  // moved aside when full
    char mark[128];
    std::snprintf(mark, sizeof mark, "P[%04d]:T[%04d] run to FileSelCtrl::CFileVirtualNodeManager::AddFileSystemNode ",
                  static_cast<int>(CurrentProcessId()), static_cast<int>(CurrentThreadId()));
    size_t marks = 0;
    for (size_t at = lines.find(mark); at != std::string::npos; at = lines.find(mark, at + 1)) ++marks;
    EXPECT_EQ(marks, 2u) << lines;
    CSystemRootNode* root = Manager().PathRoot();
    ASSERT_EQ(root->GetChildren()->size(), 1u);
    CBindingNode* part = (*root->GetChildren())[0];
    EXPECT_EQ(part->GetName(), "Losted Partition1(NTFS)");
    CDirectoryNode* docs = Child(part, "Docs");
    ASSERT_NE(docs, nullptr);
    CDirectoryNode* old = Child(docs, "Old");
    ASSERT_NE(old, nullptr);
    EXPECT_EQ(root->GetCheckState(), kImageChecked) << "found files arrive checked";

    u64 files = 0, bytes = 0, all = 0;
    Manager().CountChecked(files, bytes, all);
    EXPECT_EQ(all, 5u);
    EXPECT_EQ(files, 5u);
    EXPECT_EQ(bytes, 1155u);

    // Unchecking a folder unchecks what lies below it and makes its parents partly checked.
    docs->RefreshItem(kImageUnchecked, true, true);
    EXPECT_EQ(t.a->GetCheckState(), kUnchecked);
    EXPECT_EQ(t.c->GetCheckState(), kUnchecked);
    EXPECT_EQ(old->GetCheckState(), kImageUnchecked);
    EXPECT_EQ(part->GetCheckState(), kImagePartly);
    EXPECT_EQ(root->GetCheckState(), kImagePartly);
    Manager().CountChecked(files, bytes, all);
    EXPECT_EQ(files, 2u);
    EXPECT_EQ(bytes, 705u);

    // One file back: its folder is partly checked; all of them: checked again, and upwards.
    Manager().ShowFolder(docs);
    CFileListData& list = CFileListData::FolderModel();
    ASSERT_EQ(list.GetCount(), 3) << "one folder row and two files";
    EXPECT_EQ(list.GetCheckState(), kImageUnchecked);
    const int ia = list.IndexOfFileNode(t.a);
    list.SetItemCheck(ia, true);
    EXPECT_EQ(docs->GetCheckState(), kImagePartly);
    EXPECT_EQ(list.GetCheckState(), kImagePartly);
    list.CheckAll(true);
    EXPECT_EQ(docs->GetCheckState(), kImageChecked);
    EXPECT_EQ(t.c->GetCheckState(), kChecked);
    EXPECT_EQ(part->GetCheckState(), kImageChecked);
    EXPECT_EQ(list.GetCheckState(), kImageChecked);
    Manager().CountChecked(files, bytes, all);
    EXPECT_EQ(files, 5u);

    // After a build, an empty folder keeps its state; folders follow their children.
    t.c->SetCheckState(kUnchecked);
    Manager().SetBuildState(false);
    Drain();
    EXPECT_EQ(old->GetCheckState(), kImageUnchecked);
    EXPECT_EQ(docs->GetCheckState(), kImagePartly);
}

TEST_F(BrowserModel, PartitionNumbersCountFromOneAgainAfterAClear) {
    SmallTree t1, t2;
    t2.root->SetFileSystemType(99);
    Manager().AddFileSystemNode(t1.root, nullptr, nullptr, true);
    Manager().AddFileSystemNode(t2.root, nullptr, nullptr, true);
    Drain();
    const auto* parts = Manager().PathRoot()->GetChildren();
    ASSERT_EQ(parts->size(), 2u);
    EXPECT_EQ((*parts)[0]->GetName(), "Losted Partition1(NTFS)");
    EXPECT_EQ((*parts)[1]->GetName(), "Losted Partition2(UNKNOWN)");
    Manager().ClearAll();
    Manager().AddFileSystemNode(t2.root, nullptr, nullptr, true);
    Drain();
    EXPECT_EQ((*Manager().PathRoot()->GetChildren())[0]->GetName(), "Losted Partition1(UNKNOWN)");
}

TEST_F(BrowserModel, ARegisteredTreeShowsNodesAsTheyArriveAndOnlyThoseTheFilterPasses) {
    SmallTree t;
    Manager().AddFileSystemNode(t.root, nullptr, nullptr, false);
    Manager().ShowFolder(Manager().PathRoot());
    Drain();
    EXPECT_TRUE(Manager().PathRoot()->GetChildren()->empty()) << "nothing is bound before its node arrives";
    CFileListData& list = CFileListData::FolderModel();
    EXPECT_EQ(list.GetCount(), 1) << "the root lists the tree's own files";

    CFileSelCtrl* browser = CFileSelCtrl::GetInstance();
    browser->SetLanguage(0);
    Manager().Filter().AddDirectory("/Docs");
    std::vector<CFileNode*> out;
    browser->FilterNodes({t.docs, t.music, t.a, t.old, t.c, t.d}, out, 0);
    EXPECT_EQ(out, (std::vector<CFileNode*>{t.docs, t.a}));
    Drain();
    ASSERT_EQ(Manager().PathRoot()->GetChildren()->size(), 1u) << "top folders hang straight under the root";
    EXPECT_EQ(list.GetCount(), 2) << "the Docs folder row joined the listing";
    EXPECT_EQ(list.IndexOfFileNode(t.top), 0);
}

TEST_F(BrowserModel, TheChosenFoldersSurviveTheFirstWalkedTreeButNotClearAll) {
    SmallTree t;
    AddFilterDirectory("/Music");
    Manager().AddFileSystemNode(t.root, nullptr, nullptr, true);
    Drain();
    const auto* part = (*Manager().PathRoot()->GetChildren())[0]->GetChildren();
    ASSERT_EQ(part->size(), 1u);
    EXPECT_EQ((*part)[0]->GetName(), "Music");
    EXPECT_FALSE(Manager().Filter().IsEmpty());
    Manager().ClearAll();
    EXPECT_TRUE(Manager().Filter().IsEmpty());
}

TEST_F(BrowserModel, EveryColumnSortsBothWaysWithOneTotalOrder) {
    CFileSystemNode* root = browsertest::Root();
    CFileNode* folder = Add(root, "F", true);
    const std::string longName(300, 'n');
    const struct {
        const char* name;
        u64 size;
        int day;  // -1: no date
    } files[] = {{"b.txt", 10, 3}, {"a.txt", 10, 3}, {"c.jpg", 5, -1}, {"A.txt", 99, 1}, {"d.mp3", 0, -1}, {"e.txt", 10, 2}};
    for (const auto& f : files) {
        Add(folder, f.name, false, f.size, f.day < 0 ? 0 : browsertest::kFileTime2020 + u64(f.day) * browsertest::kFileTimeDay);
    }
    Add(folder, longName, false, 1, 0);
    Manager().AddFileSystemNode(root, nullptr, nullptr, true);
    Drain();
    CBindingNode* f = (*(*Manager().PathRoot()->GetChildren())[0]->GetChildren())[0];
    Manager().ShowFolder(f);
    CFileListData& list = CFileListData::FolderModel();
    ASSERT_EQ(list.GetCount(), 7);

    auto rows = [&] {
        std::vector<const FileList_Item*> r;
        for (int i = 0; i < list.GetCount(); ++i) {
            FileList_Item* row = list.GetItem(i);
            r.push_back(row);
            row->Release();
        }
        return r;
    };
    bool foundCut = false;
    for (const FileList_Item* r : rows()) foundCut |= r->name == longName.substr(0, 256) + "~1";
    EXPECT_TRUE(foundCut) << "a name of 260 bytes or more is cut to 256 and marked";

    for (u32 column : {kColumnName, kColumnDate, kColumnType, kColumnSize, kColumnQuality}) {
        list.Sort(true, column);
        const auto up = rows();
        list.Sort(false, column);
        const auto down = rows();
        EXPECT_TRUE(std::equal(up.begin(), up.end(), down.rbegin())) << "column " << column << ": descending is the reverse";
        list.Sort(true, column);
        EXPECT_EQ(rows(), up) << "column " << column << ": the order is the same every time";
        for (size_t i = 1; i < up.size(); ++i) {
            const FileList_Item* x = up[i - 1];
            const FileList_Item* y = up[i];
            switch (column) {
                case kColumnName:
                    EXPECT_LE(x->name, y->name);
                    break;
                case kColumnSize:
                    EXPECT_LE(x->size, y->size);
                    break;
                case kColumnDate:
                    EXPECT_FALSE(x->dateStatus != DateStatus::Valid && y->dateStatus == DateStatus::Valid)
                        << "rows without a date come last";
                    if (x->dateStatus == DateStatus::Valid && y->dateStatus == DateStatus::Valid) {
                        EXPECT_LE(x->date, y->date);
                    }
                    break;
                case kColumnType:
                    EXPECT_LE(x->icon->TypeName(), y->icon->TypeName());
                    break;
                default:
                    break;
            }
        }
        for (const FileList_Item* r : up) EXPECT_EQ(r->drawnIndex, -1);
    }
    Manager().ClearAll();
    browsertest::Free(root);
}

TEST_F(BrowserModel, RemovingTheShownTreeEmptiesTheListsAndLeavesNoNodeBehind) {
    auto* t = new SmallTree;
    Manager().AddFileSystemNode(t->root, nullptr, nullptr, true);
    Drain();
    CBindingNode* part = (*Manager().PathRoot()->GetChildren())[0];
    CDirectoryNode* docs = Child(part, "Docs");
    Manager().ShowFolder(Child(docs, "Old"));
    Manager().Search("a");
    Drain();
    EXPECT_EQ(CFileListData::SearchModel().GetCount(), 1) << "a.txt is the one name holding an a";

    // The removal comes from another thread, which waits until the UI thread let go.
    std::thread scan([&] { Manager().RemoveFileSystemNode(t->root); });
    while (Manager().PathRoot()->GetChildren()->size() == 1) Drain();
    scan.join();
    EXPECT_EQ(Manager().CurrentFolder(), Manager().PathRoot());
    EXPECT_EQ(CFileListData::FolderModel().GetCount(), 0);
    EXPECT_EQ(CFileListData::SearchModel().GetCount(), 0);
    delete t;  // under the sanitizers a node still held would be a use after free below
    SmallTree next;
    Manager().AddFileSystemNode(next.root, nullptr, nullptr, true);
    Drain();
    EXPECT_EQ((*Manager().PathRoot()->GetChildren())[0]->GetName(), "Losted Partition2(NTFS)");
}

TEST_F(BrowserModel, SearchHitsGoToTheSearchListAndDeliveriesToTheFolderListOnly) {
    SmallTree t;
    Manager().AddFileSystemNode(t.root, nullptr, nullptr, false);
    Manager().ShowFolder(Manager().PathRoot());
    Drain();
    CFileListData::SelectModel(true, false);
    Manager().Search("ex:");
    Drain();
    EXPECT_EQ(CFileListData::SearchModel().GetCount(), 0) << "a colon is not a name character";
    Manager().Search("MP3");
    Drain();
    ASSERT_EQ(CFileListData::SearchModel().GetCount(), 1);
    EXPECT_EQ(CFileListData::SearchModel().IndexOfFileNode(t.d), 0);

    // While the hits show, new nodes of the shown folder land in the folder list only.
    CFileSelCtrl::GetInstance()->AddNodes({t.docs, t.music, t.a}, 0);
    Drain();
    EXPECT_EQ(CFileListData::SearchModel().GetCount(), 1);
    EXPECT_EQ(CFileListData::FolderModel().GetCount(), 3) << "top.bin and the two folders";
    CFileListData::SelectModel(false, false);
}

TEST_F(BrowserModel, DeliveriesFromAnotherThreadArriveWhileTheUiDrainsInSlices) {
    CFileSystemNode* root = browsertest::Root();
    constexpr int kFolders = 40;
    constexpr int kFiles = 250;
    for (int f = 0; f < kFolders; ++f) {
        CFileNode* folder = Add(root, "folder" + std::to_string(f), true);
        for (int i = 0; i < kFiles; ++i) Add(folder, "file" + std::to_string(i) + ".dat", false, u64(i));
    }
    u64 counted = 0;
    std::thread scan([&] {
        Manager().AddFileSystemNode(
            root, [](CFileNode*, void* c) { return ++*static_cast<u64*>(c) > 0; }, &counted, true);
        Manager().SetBuildState(false);
    });
    size_t slices = 0;
    while (scan.joinable()) {
        Manager().ProcessPending(1);
        ++slices;
        if (!Manager().HasPending() && counted == u64(kFolders * (kFiles + 1) + 1)) {
            scan.join();
        }
    }
    Drain();
    EXPECT_EQ(counted, u64(kFolders * (kFiles + 1) + 1)) << "the callback saw every node, the root too";
    EXPECT_EQ((*Manager().PathRoot()->GetChildren())[0]->GetChildren()->size(), size_t(kFolders));
    EXPECT_GT(slices, 1u);
    Manager().ClearAll();
    browsertest::Free(root);
}

TEST_F(BrowserModel, SearchHitsOfATreeRemovedMeanwhileAreDropped) {
    SmallTree t;
    Manager().AddFileSystemNode(t.root, nullptr, nullptr, true);
    Drain();
    // The removal is queued first (its thread waits for this one, the UI), the search reads the
    // tree before the UI took the removal, and its hits arrive after it.
    int fakeWindow = 0;
    Manager().SetUiWindow(reinterpret_cast<HWND>(&fakeWindow));
    std::thread scan([&] { Manager().RemoveFileSystemNode(t.root); });
    // Not an ASSERT: the removal's thread must be joined on every road out.
    EXPECT_TRUE(uiwait::UntilWithoutEvents([] { return Manager().HasPending(); }, "the queued removal"));
    Manager().Search("a");
    Drain();
    scan.join();
    Manager().SetUiWindow(nullptr);
    headless::TakeMessages();
    EXPECT_EQ(CFileListData::SearchModel().GetCount(), 0);
    EXPECT_TRUE(Manager().PathRoot()->GetChildren()->empty());
}

TEST_F(BrowserModel, RemovingATreeTheBrowserNeverHeldDoesNotWaitForTheUi) {
    SmallTree t;
    // A UI window that nobody drains, as while the UI thread waits for the scan thread.
    int fakeWindow = 0;
    Manager().SetUiWindow(reinterpret_cast<HWND>(&fakeWindow));
    auto removal = std::async(std::launch::async, [&] { return Manager().RemoveFileSystemNode(t.root); });
    EXPECT_EQ(removal.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    Manager().SetUiWindow(nullptr);
}

}  // namespace
