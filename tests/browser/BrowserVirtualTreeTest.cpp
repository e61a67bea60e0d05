// The trees by file type and by modified date: paging of big buckets, the sorting of files into
// categories, extensions, years and months, and a real scan of the NTFS fixture whose files the
// two trees must hold exactly as the path tree does.
#include <gtest/gtest.h>

#include <QApplication>
#include <QTest>
#include <deque>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>

#include "BrowserScanFixture.h"
#include "EventRecorder.h"
#include "TreeClick.h"
#include "platform/Stats.h"
#include "BrowserTestTree.h"
#include "Manifest.h"
#include "TestUtil.h"
#include "browser/model/BrowserConfig.h"
#include "browser/model/BrowserSkin.h"
#include "browser/model/FileSelCtrl.h"
#include "browser/model/ListModel.h"
#include "browser/model/NodeManager.h"
#include "browser/model/VirtualNode.h"
#include "browser/views/Container.h"
#include "browser/views/ThumbnailWorker.h"
#include "ListWait.h"

using namespace FileSelCtrl;
using namespace browsertest;

namespace {

// 2026-06-15 12:00 in the local-seconds scale of the date tree.
constexpr i64 kNow = 1781524800;
constexpr i64 kDaySeconds = 86400;
// FILETIME of a local-seconds value, for a process whose zone is UTC (set below).
u64 FileTimeOf(i64 seconds) { return static_cast<u64>(seconds + 11644473600LL) * 10000000ULL; }

CFileVirtualNode* ChildNamed(const CFileVirtualNode* node, const std::string& base) {
    for (CFileVirtualNode* c : node->AllChildren()) {
        if (c->BaseName() == base) return c;
    }
    return nullptr;
}

std::vector<CFileNode*> FilesOf(const CFileVirtualNode* node) {
    std::vector<CFileNode*> out;
    node->CollectItems(out);
    return out;
}

// Every file a bucket holds, its pages' included.
void AllFiles(const CFileVirtualNode* node, std::multiset<std::string>& out) {
    for (CFileNode* f : FilesOf(node)) out.insert(ScanNodeName(f));
    for (const CFileVirtualNode* c : node->AllChildren()) AllFiles(c, out);
}

class VirtualTrees : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ::setenv("TZ", "UTC", 1), tzset(); }
    void TearDown() override { Free(root); }
    CFileSystemNode* root = Root();
};

TEST_F(VirtualTrees, BigBucketsPageByTenThousandAndDetachTheirTreeEverywhere) {
    auto* bucket = new CFileVirtualDisplayNode("jpg", kIconFolder, nullptr, kTreeKindType, true, kInsertLast);
    CFileNode* folder = Add(root, "DCIM", true);
    std::vector<CFileNode*> files;
    const u32 total = 10 * kPageSize + 1;
    for (u32 i = 0; i < total; ++i) {
        files.push_back(Add(folder, "p" + std::to_string(i) + ".jpg", false));
        CFileVirtualNode* took = nullptr;
        ASSERT_TRUE(bucket->AddEntryPaged(files.back(), &took));
        const u32 expectedPage = i / kPageSize;
        if (expectedPage == 0) {
            ASSERT_EQ(took, bucket) << i;
        } else {
            ASSERT_EQ(took, bucket->AllChildren()[expectedPage - 1]) << i;
        }
        took->Release();
        if (i == kPageSize - 1) {
            EXPECT_EQ(FilesOf(bucket).size(), kPageSize) << "the 10000th file stays in the bucket";
            ASSERT_EQ(bucket->AllChildren().size(), 1u) << "and makes the first page";
        }
        if (i == kPageSize) {
            EXPECT_EQ(bucket->GetName(), "jpg (10001)");
        }
    }
    const std::vector<std::pair<size_t, std::string>> pageNames{{0, "10000 - 19999"}, {8, "90000 - 99999"}, {9, "100000 - 109999"}};
    for (const auto& [index, name] : pageNames) {
        ASSERT_GT(bucket->AllChildren().size(), index);
        EXPECT_EQ(bucket->AllChildren()[index]->BaseName(), name);
    }
    EXPECT_EQ(bucket->GetEntryCount(), total);
    EXPECT_TRUE(bucket->IsSystemFolder());
    EXPECT_FALSE(bucket->AllChildren()[0]->IsSystemFolder()) << "a page is no bucket of its own";

    // All checked in the bucket, one page partly: the bucket is partly checked.
    for (CFileNode* f : files) f->SetCheckState(kChecked);
    CFileVirtualNode* page = bucket->AllChildren()[0];
    page->RefreshCheckStates();
    FilesOf(page)[0]->SetCheckState(kUnchecked);
    page->StoreCheckState(page->ComputeCheckState());
    EXPECT_EQ(page->GetCheckState(), kImagePartly);
    EXPECT_EQ(bucket->ComputeCheckState(), kImagePartly);

    // A second tree's files go in too; detaching the first leaves only the second's and makes
    // the last page current.
    CFileSystemNode* other = Root();
    CFileNode* late = Add(other, "late.jpg", false);
    CFileVirtualNode* took = nullptr;
    bucket->AddEntryPaged(late, &took);
    took->Release();
    EXPECT_EQ(bucket->DetachRootEntries(root), total);
    EXPECT_EQ(bucket->GetEntryCount(), 1u);
    for (CFileVirtualNode* p : bucket->AllChildren()) EXPECT_EQ(p->GetEntryCount(), p == took ? 1u : 0u) << p->BaseName();
    CFileNode* next = Add(other, "next.jpg", false);
    bucket->AddEntryPaged(next, &took);
    EXPECT_EQ(took, bucket->AllChildren().back()) << "new files go to the last page";
    took->Release();
    bucket->Clear();
    EXPECT_TRUE(bucket->IsEmpty());
    EXPECT_EQ(bucket->ComputeCheckState(), kImageUnchecked);
    bucket->Release();
    Free(other);
}

TEST_F(VirtualTrees, FilesSortIntoCategoriesExtensionsAndOther) {
    const std::string xml = (std::filesystem::temp_directory_path() / "morvenda-filetype-test.xml").string();
    std::ofstream(xml) << "<T><Graphics><e>JPG</e><e>png</e><e>jpg</e></Graphics><Document><e>txt</e><e/></Document>"
                          "<Audio><x>gz</x></Audio></T>";
    auto* types = new CFileTypeNode(kIconFolder, nullptr, "All File Types", false, true, kCategoryRoot, kInsertLast);
    types->BuildFrom(xml);
    struct Case {
        const char* name;
        bool folder;
        const char* category;  // null: not classified
        const char* bucket;    // null: the category takes it itself
    } cases[] = {
        {"Photo.JPG", false, "Graphics", "jpg"}, {"a.png", false, "Graphics", "png"}, {"README", false, "Other", nullptr},
        {"notes.txt", false, "Document", "txt"}, {"x.tar.gz", false, "Audio", "gz"},  {"Folder.jpg", true, nullptr, nullptr},
        {"data.bin", false, "Other", nullptr},
    };
    for (const Case& c : cases) {
        CFileNode* node = Add(root, c.name, c.folder);
        std::vector<CFileVirtualNode*> took;
        types->ClassifyFile(node, took);
        if (!c.category) {
            EXPECT_TRUE(took.empty()) << c.name;
            continue;
        }
        ASSERT_EQ(took.size(), 1u) << c.name;
        CFileVirtualNode* category = ChildNamed(types, c.category);
        ASSERT_NE(category, nullptr) << c.category;
        EXPECT_EQ(took[0], c.bucket ? ChildNamed(category, c.bucket) : category) << c.name;
        took[0]->Release();
    }
    EXPECT_EQ(types->GetEntryCount(), 6u) << "the folder is not counted";
    CFileVirtualNode* graphics = ChildNamed(types, "Graphics");
    EXPECT_EQ(graphics->GetName(), "Graphics (2)");
    // The repeated extension made a second node that never takes a file.
    u32 jpgNodes = 0;
    for (CFileVirtualNode* c : graphics->AllChildren()) jpgNodes += c->BaseName() == "jpg";
    EXPECT_EQ(jpgNodes, 2u);
    for (CFileNode* n = root->GetFirstChild(); n; n = n->GetNextSibling()) {
        const std::string name = ScanNodeName(n);
        const CFileVirtualNode* expected = name == "Photo.JPG" ? ChildNamed(graphics, "jpg") : name == "README" ? ChildNamed(types, "Other") : nullptr;
        if (expected) {
            EXPECT_EQ(types->FindBucket(n), expected) << name;
        }
    }

    // Shown: each category put first as it shows (here in the order of the list), "Other" last.
    for (CFileVirtualNode* c : types->AllChildren()) {
        if (c->GetEntryCount()) c->Reveal();
    }
    std::vector<std::string> shown;
    for (CBindingNode* c : *types->GetChildren()) shown.push_back(static_cast<CFileVirtualNode*>(c)->BaseName());
    EXPECT_EQ(shown, (std::vector<std::string>{"Document", "Audio", "Graphics", "Other"}));
    types->Release();

    // Without the file type list every file lands in "Other".
    auto* bare = new CFileTypeNode(kIconFolder, nullptr, "All File Types", false, true, kCategoryRoot, kInsertLast);
    bare->BuildFrom(xml + ".missing");
    std::vector<CFileVirtualNode*> took;
    bare->ClassifyFile(root->GetFirstChild(), took);
    ASSERT_EQ(took.size(), 1u);
    EXPECT_EQ(took[0], bare->AllChildren().back());
    took[0]->Release();
    bare->Release();
    std::filesystem::remove(xml);
}

TEST_F(VirtualTrees, FilesSortIntoYearsAndMonthsOrOther) {
    auto* dates = new CFileTimeNode(kIconFolder, nullptr, "Modified Date", false, DateKind::Root, kInsertLast);
    dates->BuildAt(kNow);
    ASSERT_EQ(dates->AllChildren().size(), 11u) << "ten years and Other";
    EXPECT_EQ(dates->AllChildren()[0]->BaseName(), "2026");
    EXPECT_EQ(dates->AllChildren()[0]->AllChildren().size(), 6u) << "this year up to June";
    EXPECT_EQ(dates->AllChildren()[9]->BaseName(), "2017");
    EXPECT_EQ(dates->AllChildren()[9]->AllChildren().size(), 12u);
    struct Case {
        i64 when;  // 0: no date
        const char* year;
        const char* month;
    } cases[] = {
        {kNow, "2026", "06 June"},
        {kNow + 400 * kDaySeconds, "2026", "06 June"},  // after now: the open current month
        {1767225600, "2026", "01 Janurary"},             // 2026-01-01 00:00, the first second of the year
        {1767225599, "2025", "12 December"},
        {1488326400, "2017", "03 March"},
        {1483228799, "Other", nullptr},  // the last second of 2016
        {0, "Other", nullptr},
    };
    for (const Case& c : cases) {
        CFileNode* node = Add(root, "f", false, 0, c.when ? FileTimeOf(c.when) : 0);
        CFileVirtualNode* took = nullptr;
        dates->AddFile(node, &took);
        ASSERT_NE(took, nullptr) << c.when;
        CFileVirtualNode* year = ChildNamed(dates, c.year);
        ASSERT_NE(year, nullptr);
        EXPECT_EQ(took, c.month ? ChildNamed(year, c.month) : year) << c.when;
        EXPECT_TRUE(took->Classify(node));
        took->Release();
    }
    EXPECT_EQ(dates->GetEntryCount(), 7u);
    EXPECT_EQ(ChildNamed(dates, "2026")->GetEntryCount(), 3u);
    CFileVirtualNode* folderTook = nullptr;
    dates->AddFile(Add(root, "dir", true, 0, FileTimeOf(kNow)), &folderTook);
    EXPECT_EQ(folderTook, nullptr) << "folders have no date bucket";

    // Shown in order: years ascending, months by their number, Other last.
    for (CFileVirtualNode* year : dates->AllChildren()) {
        for (CFileVirtualNode* m : year->AllChildren()) {
            if (m->GetEntryCount()) m->Reveal();
        }
        if (year->GetEntryCount()) year->Reveal();
    }
    std::vector<std::string> shown;
    for (CBindingNode* c : *dates->GetChildren()) shown.push_back(static_cast<CFileVirtualNode*>(c)->BaseName());
    EXPECT_EQ(shown, (std::vector<std::string>{"2017", "2025", "2026", "Other"}));
    std::vector<std::string> months;
    for (CBindingNode* c : *ChildNamed(dates, "2026")->GetChildren()) months.push_back(static_cast<CFileVirtualNode*>(c)->BaseName());
    EXPECT_EQ(months, (std::vector<std::string>{"01 Janurary", "06 June"}));
    dates->Release();
}

// A deleted-file scan of the NTFS fixture through the scan session, the browser as its view.
class VirtualTreesOnScan : public ScanFixture {
protected:
    static void SetUpTestSuite() { StartScanApplication(testutil::FixturePath("ntfs-basic.img")); }

    void TearDown() override {
        ReleaseScan();
        browser->SetSink(nullptr);
    }

    void Scan(u32 mode) { ScanToEnd(kFsNtfs, mode); }
};

// Every file the path tree holds is in one bucket of each virtual tree, the counts add up, and
// the shown buckets are exactly those that hold files.
void ExpectTreesHoldThePathTreesFiles() {
    CFileVirtualNodeManager& manager = CFileVirtualNodeManager::Instance();
    std::multiset<std::string> scanned;
    ForEachScannedFile([&](CFileNode* file) {
        if (manager.Filter().Match(file)) scanned.insert(ScanNodeName(file));
    });
    ASSERT_FALSE(scanned.empty());
    for (CFileVirtualNode* tree : std::initializer_list<CFileVirtualNode*>{manager.TypeRoot(), manager.DateRoot()}) {
        SCOPED_TRACE(tree->BaseName());
        EXPECT_EQ(tree->GetEntryCount(), scanned.size());
        std::multiset<std::string> held;
        AllFiles(tree, held);
        EXPECT_EQ(held, scanned) << "every file once, in one bucket";
        u32 sum = 0;
        for (CFileVirtualNode* c : tree->AllChildren()) sum += c->GetEntryCount();
        EXPECT_EQ(sum, scanned.size());
        // The shown buckets are exactly those that hold files, and their labels carry the counts.
        std::deque<const CFileVirtualNode*> nodes{tree};
        while (!nodes.empty()) {
            const CFileVirtualNode* n = nodes.front();
            nodes.pop_front();
            u32 shownSum = static_cast<u32>(FilesOf(n).size());
            for (CBindingNode* c : *n->GetChildren()) {
                EXPECT_GT(c->GetEntryCount(), 0u) << c->GetName();
                shownSum += c->GetEntryCount();
                nodes.push_back(static_cast<const CFileVirtualNode*>(c));
            }
            EXPECT_EQ(shownSum, n->GetEntryCount()) << n->GetName();
            // The window never claims rows the bucket does not show (after an earlier scan).
            EXPECT_LE(n->ShownChildren(), n->GetChildren()->size()) << n->GetName();
        }
    }
    // Every extension bucket holds files of its extension only.
    for (CFileVirtualNode* category : manager.TypeRoot()->AllChildren()) {
        for (CFileVirtualNode* ext : category->AllChildren()) {
            for (CFileNode* f : FilesOf(ext)) {
                const std::string name = LowerUtf8(ScanNodeName(f));
                EXPECT_EQ(name.substr(name.rfind('.') + 1), ext->BaseName()) << name;
            }
        }
    }
}

TEST_F(VirtualTreesOnScan, ACompleteScanSortsEveryFoundFileIntoBothTrees) {
    Scan(kScanModeComplete);
    ExpectTreesHoldThePathTreesFiles();
}

TEST_F(VirtualTreesOnScan, TypeAndDateTreesHoldEveryFileThePathTreeHolds) {
    Scan(kScanModeDeleted);
    ExpectTreesHoldThePathTreesFiles();
    CFileVirtualNodeManager& manager = CFileVirtualNodeManager::Instance();

    // Listing a bucket shows its files; unchecking it in its tree unchecks exactly them, and the
    // path tree follows when it is shown again.
    CFileVirtualNode* bucket = nullptr;
    for (CBindingNode* c : *manager.TypeRoot()->GetChildren()) {
        auto* v = static_cast<CFileVirtualNode*>(c);
        if (!v->GetChildren()->empty()) bucket = static_cast<CFileVirtualNode*>((*v->GetChildren())[0]);
    }
    ASSERT_NE(bucket, nullptr) << "a category with an extension bucket";
    container->Left()->SelectTree(kTabType);
    container->Left()->TypeTree()->SelectNodeItem(bucket);
    testutil::WaitForRows();
    Settle();
    EXPECT_EQ(manager.CurrentFolder(), bucket);
    EXPECT_EQ(CFileListData::FolderModel().GetCount(), static_cast<int>(bucket->GetEntryCount()));
    CFileTreeModel* typeModel = container->Left()->TypeTree()->TreeModel();
    ASSERT_TRUE(typeModel->setData(typeModel->IndexOf(bucket), Qt::Unchecked, Qt::CheckStateRole));
    for (CFileNode* f : FilesOf(bucket)) EXPECT_EQ(f->GetCheckState(), kUnchecked);
    EXPECT_EQ(manager.TypeRoot()->GetCheckState(), kImagePartly);
    Settle();
    std::filesystem::create_directories(std::string(MORVENDA_BINARY_DIR) + "/screenshots");
    EXPECT_TRUE(container->grab().save(QString::fromStdString(std::string(MORVENDA_BINARY_DIR) + "/screenshots/browser-type-tree.png")));
    container->Left()->SelectTree(kTabPath);
    EXPECT_EQ(manager.PathRoot()->GetCheckState(), kImagePartly);

    // The date tree has no tab; a window of its own shows it for the screenshot.
    {
        CFileTreeCtrl dateTree(kTreeKindDate, nullptr);
        dateTree.resize(260, 360);
        dateTree.show();
        for (CBindingNode* year : *manager.DateRoot()->GetChildren()) {
            const QModelIndex i = dateTree.TreeModel()->IndexOf(year);
            if (dateTree.TreeModel()->canFetchMore(i)) dateTree.TreeModel()->fetchMore(i);
            dateTree.expand(i);
        }
        Settle();
        EXPECT_TRUE(dateTree.grab().save(QString::fromStdString(std::string(MORVENDA_BINARY_DIR) + "/screenshots/browser-date-tree.png")));
    }
}

TEST_F(VirtualTreesOnScan, TheIconViewShowsThumbnailsOfTheFoundPicturesAndChecksFromItsBoxes) {
    Scan(kScanModeDeleted);
    CFileVirtualNodeManager& manager = CFileVirtualNodeManager::Instance();
    CFileVirtualNode* graphics = nullptr;
    for (CFileVirtualNode* c : manager.TypeRoot()->AllChildren()) {
        if (c->BaseName() == Skin().typeGraphics) graphics = c;
    }
    ASSERT_NE(graphics, nullptr);
    ASSERT_GT(graphics->GetEntryCount(), 0u) << "the fixture holds pictures";
    // The category lists its extension buckets; the biggest one lists the pictures.
    CBindingNode* pictures = nullptr;
    for (CBindingNode* c : *graphics->GetChildren()) {
        if (!pictures || c->GetEntryCount() > pictures->GetEntryCount()) pictures = c;
    }
    ASSERT_NE(pictures, nullptr);
    container->Left()->SelectTree(kTabType);
    container->Left()->TypeTree()->SelectNodeItem(pictures);
    testutil::WaitForRows();
    CWndRightView* right = container->Right();
    right->SetViewMode(false);
    Settle();
    CFileIconCtrl* icons = right->Icons()->List();
    ASSERT_TRUE(icons->isVisible());
    const int rows = CFileListData::GetCurrent().GetCount();
    ASSERT_GT(rows, 0);
    // Every picture whose bytes are still on the disk gets its thumbnail from the worker; each
    // fits 130 x 104. Pictures whose data was overwritten get none.
    std::set<std::string> intact;
    for (const auto& f : testutil::LoadManifest("ntfs-basic.json", 1)) {
        if (f.intact) intact.insert(f.path.substr(f.path.rfind('/') + 1));
    }
    auto intactPicturesDone = [&] {
        for (int r = 0; r < rows; ++r) {
            RefHolder<FileList_Item> row(CFileListData::GetCurrent().GetItem(r));
            if (row && !row->IsFolderRow() && intact.count(row->name) && icons->Thumbnail(row->fileNode).isNull()) return false;
        }
        return icons->Worker().Pending() == 0;
    };
    EXPECT_TRUE(PumpUntil([&] {
        icons->viewport()->update();
        return intactPicturesDone();
    }, "the thumbnails of the intact pictures"));
    int thumbnails = 0;
    for (int r = 0; r < rows; ++r) {
        RefHolder<FileList_Item> row(CFileListData::GetCurrent().GetItem(r));
        if (!row || row->IsFolderRow()) continue;
        const QPixmap thumb = icons->Thumbnail(row->fileNode);
        if (intact.count(row->name)) {
            EXPECT_FALSE(thumb.isNull()) << row->name << " has a thumbnail";
        }
        if (thumb.isNull()) continue;
        EXPECT_LE(thumb.width(), kThumbnailWidth);
        EXPECT_LE(thumb.height(), kThumbnailHeight);
        ++thumbnails;
    }
    EXPECT_GT(thumbnails, 0);
    std::filesystem::create_directories(std::string(MORVENDA_BINARY_DIR) + "/screenshots");
    EXPECT_TRUE(container->grab().save(QString::fromStdString(std::string(MORVENDA_BINARY_DIR) + "/screenshots/browser-icon-view.png")));

    // The select-all bar unchecks every row, a cell's box checks its one row back.
    CFileIconCommand* bar = right->Icons()->Bar();
    QTest::mouseClick(bar, Qt::LeftButton, {}, bar->CheckRect().center());
    if (bar->CheckImage() == kImageChecked) QTest::mouseClick(bar, Qt::LeftButton, {}, bar->CheckRect().center());
    Settle();
    EXPECT_EQ(CFileListData::GetCurrent().GetCheckState(), kImageUnchecked);
    EXPECT_EQ(bar->CheckImage(), kImageUnchecked);
    // A click on a picture where the toolkit would put an item's box leaves its check; each left
    // click on a row, in either view, is a usage event.
    const int last = rows - 1;
    testutil::EventRecorder stats;
    SetStatsFallbackSink(&stats);
    icons->setCurrentIndex(icons->model()->index(0, 0));
    QTest::mouseClick(icons->viewport(), Qt::LeftButton, {}, browsertest::CheckBoxOf(icons, icons->model()->index(last, 0)).center());
    Settle();
    EXPECT_EQ(RefHolder<FileList_Item>(CFileListData::GetCurrent().GetItem(last))->GetCheckState(), kImageUnchecked);
    EXPECT_EQ(icons->currentIndex().row(), last) << "the clicked cell was not chosen";
    icons->viewport()->repaint();
    EXPECT_TRUE(container->grab().save(QString::fromStdString(ScreenshotPath("browser-icon-view-picture-click.png"))));
    const QRect cell = icons->CellRect(0);
    QTest::mouseClick(icons->viewport(), Qt::LeftButton, {}, CFileIconCtrl::CheckBoxRect(cell).center());
    Settle();
    RefHolder<FileList_Item> first(CFileListData::GetCurrent().GetItem(0));
    EXPECT_EQ(first->GetCheckState(), kImageChecked);
    EXPECT_EQ(bar->CheckImage(), rows == 1 ? kImageChecked : kImagePartly);
    EXPECT_TRUE(container->grab().save(QString::fromStdString(std::string(MORVENDA_BINARY_DIR) + "/screenshots/browser-icon-view-checks.png")));
    right->SetViewMode(true);
    QTest::mouseClick(right->Details()->viewport(), Qt::LeftButton, {}, right->Details()->visualRect(right->Details()->model()->index(0, kColumnSize)).center());
    SetStatsFallbackSink(nullptr);
    EXPECT_EQ(stats.events, (std::vector<u32>{8473, 8473, 8473}));  // the type tree's, no scan running
}

}  // namespace
