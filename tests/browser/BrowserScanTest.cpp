// The browser on screen (offscreen platform), fed by a real deleted-file scan of the NTFS
// fixture through the scan session: the path tree fills while the scan runs, folders open from
// the keyboard, check boxes fold, every column sorts both ways, the command bar switches views
// and the right-click menu offers Recovery and Preview. Screenshots go to build/screenshots/.
#include <gtest/gtest.h>

#include <QApplication>
#include <QHeaderView>
#include <QMenu>
#include <QTest>
#include <QTimer>
#include <algorithm>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <set>
#include <thread>

#include "BrowserScanFixture.h"
#include "Manifest.h"
#include "TestUtil.h"
#include "browser/model/BrowserConfig.h"
#include "browser/model/FileSelCtrl.h"
#include "browser/model/NodeManager.h"
#include "browser/preview/PreviewPane.h"
#include "browser/views/Container.h"
#include "browser/views/PreviewEntry.h"
#include "engine/FileNode.h"
#include "engine/FileProperties.h"
#include "ListWait.h"
#include "TreeClick.h"
#include "browser/views/HeaderCtrl.h"
#include "browser/views/Icons.h"

using namespace FileSelCtrl;
using namespace browsertest;

namespace {

// The browser's windows and then the application go before the process ends, while the toolkit
// can still take them down.
class QtTeardown : public ::testing::Environment {
public:
    void TearDown() override {
        FileSelCtrl::CFileSelCtrl::DestroyInstance();
        delete QApplication::instance();
    }
};
[[maybe_unused]] ::testing::Environment* const g_env = ::testing::AddGlobalTestEnvironment(new QtTeardown);

std::vector<std::string> ListNames() {
    CFileListData& list = CFileListData::GetCurrent();
    std::vector<std::string> names;
    for (int i = 0; i < list.GetCount(); ++i) {
        RefHolder<FileList_Item> row(list.GetItem(i));
        names.push_back(row->name);
    }
    return names;
}

int RowOf(const std::string& name) {
    const auto names = ListNames();
    auto it = std::find(names.begin(), names.end(), name);
    return it == names.end() ? -1 : static_cast<int>(it - names.begin());
}

class BrowserScan : public ScanFixture {
protected:
    static void SetUpTestSuite() { StartScanApplication(testutil::FixturePath("ntfs-basic.img")); }

    void TearDown() override {
        browser->ClearAll();
        browser->SetSink(nullptr);
        browser->SetLanguage(0);
    }

    // Runs the deleted-file scan of the fixture's NTFS volume with the browser as the view;
    // during() runs once the first folders show, with the scan paused.
    void Scan(const std::function<void()>& during) {
        VolumeRecord* ntfs = EnumeratedVolume(kFsNtfs);
        ASSERT_NE(ntfs, nullptr) << "the fixture's NTFS volume is enumerated";
        volumeDevice = ntfs->device;
        // The scan thread waits at its end until the folders it handed over were looked at.
        progress.release.Close();
        progress.holdAtEnd = true;
        struct Release {
            HoldingProgress& p;
            ~Release() {
                p.holdAtEnd = false;
                p.release.Open();
            }
        } release{progress};
        ASSERT_EQ(StartScan(ntfs, kScanModeDeleted), 0);
        bool sawDuring = false;
        const bool finished = PumpUntilScanEnds([&] {
            if (!sawDuring && !Manager().PathRoot()->GetChildren()->empty()) {
                EXPECT_TRUE(RecoveryGraph::Instance().IsScanRunning()) << "the scan thread still runs";
                progress.DoPause();
                Settle();
                during();
                sawDuring = true;
                progress.DoContinue();
                progress.release.Open();
            }
        });
        ASSERT_TRUE(finished);
        EXPECT_FALSE(progress.timedOut.load()) << "the scan thread was held at its end and never let go";
        EXPECT_TRUE(sawDuring) << "folders showed while the scan ran";
        SettleScan();
    }

    static CFileVirtualNodeManager& Manager() { return CFileVirtualNodeManager::Instance(); }
    CFileTreeCtrl* PathTree() const { return container->Left()->PathTree(); }
    CFileListCtrl* Details() const { return container->Right()->Details(); }

    CBindingNode* TopFolder(const std::string& name) {
        for (CBindingNode* c : *Manager().PathRoot()->GetChildren()) {
            if (c->GetName() == name) return c;
        }
        return nullptr;
    }

    IStorageDevice* volumeDevice = nullptr;
};

TEST_F(BrowserScan, ARunningScanFillsTheTreeAndTheFinishedResultCanBeWorkedWith) {
    Scan([&] {
        EXPECT_FALSE(container->Right()->Commands()->Button(ID_VIEW_LARGEICONS)->isEnabled())
            << "the view buttons wait for the scan";
        ASSERT_TRUE(container->grab().save(QString::fromStdString(ScreenshotPath("browser-scanning-en.png"))));
    });

    u64 checkedFiles = 0, checkedBytes = 0, allFiles = 0;
    Manager().CountChecked(checkedFiles, checkedBytes, allFiles);
    EXPECT_GT(allFiles, 0u);
    EXPECT_EQ(checkedFiles, allFiles) << "found files arrive checked";

    // Every file of the scan's trees is listed in the folder the browser binds it to, and the
    // deleted files of the manifest are among them.
    std::multiset<std::string> scanned, listed;
    ForEachScannedFile([&](CFileNode* file) { scanned.insert(ScanNodeName(file)); });
    std::deque<CBindingNode*> folders{Manager().PathRoot()};
    while (!folders.empty()) {
        CBindingNode* b = folders.front();
        folders.pop_front();
        Manager().ShowFolder(b);
        testutil::WaitForRows();
        for (int r = 0; r < CFileListData::FolderModel().GetCount(); ++r) {
            RefHolder<FileList_Item> row(CFileListData::FolderModel().GetItem(r));
            if (!row->IsFolderRow()) listed.insert(row->name);
        }
        for (CBindingNode* c : *b->GetChildren()) folders.push_back(c);
    }
    EXPECT_EQ(listed, scanned);
    int deletedFound = 0;
    for (const auto& f : testutil::LoadManifest("ntfs-basic.json", 1)) {
        if (!f.live && scanned.count(f.path.substr(f.path.rfind('/') + 1))) ++deletedFound;
    }
    EXPECT_GT(deletedFound, 0) << "the deleted files of the fixture are in the browser";

    // The root lists its folders; Enter on a folder row opens it in the tree and the list.
    Manager().ShowFolder(Manager().PathRoot());
    testutil::WaitForRows();
    Settle();
    ASSERT_FALSE(Manager().PathRoot()->GetChildren()->empty());
    CBindingNode* top = (*Manager().PathRoot()->GetChildren())[0];
    Details()->setFocus();
    Details()->SelectRow(RowOf(top->GetName()));
    QTest::keyClick(Details(), Qt::Key_Return);
    Settle();
    EXPECT_EQ(Manager().CurrentFolder(), top);
    EXPECT_EQ(CFileTreeModel::NodeOf(PathTree()->currentIndex()), top) << "the tree follows the opened folder";

    CBindingNode* folder = top;

    // Unchecking the folder in the tree unchecks its files and the checked count and size go
    // down by what the folder held; the root follows its children.
    u64 folderFiles = 0, folderBytes = 0;
    std::deque<CFileNode*> queue{folder->GetFileNode()};
    while (!queue.empty()) {
        CFileNode* n = queue.front();
        queue.pop_front();
        for (CFileNode* c = n->GetFirstChild(); c; c = c->GetNextSibling()) {
            if (IsScanFolder(c)) {
                queue.push_back(c);
            } else {
                ++folderFiles;
                folderBytes += c->GetFileProperties()->GetSize();
            }
        }
    }
    CFileTreeModel* tree = PathTree()->TreeModel();
    const QModelIndex folderIndex = tree->IndexOf(folder);
    ASSERT_TRUE(tree->setData(folderIndex, Qt::Unchecked, Qt::CheckStateRole));
    EXPECT_EQ(tree->data(folderIndex, Qt::CheckStateRole).toInt(), Qt::Unchecked);
    size_t topEntries = 0;
    for (CFileNode* r : Manager().PathRoot()->TreeRoots()) {
        for (CFileNode* c = r->GetFirstChild(); c; c = c->GetNextSibling()) ++topEntries;
    }
    const bool alone = topEntries == 1;  // the folder is all the root holds
    EXPECT_EQ(tree->data(tree->index(0, 0), Qt::CheckStateRole).toInt(), alone ? Qt::Unchecked : Qt::PartiallyChecked);
    u64 nowFiles = 0, nowBytes = 0;
    Manager().CountChecked(nowFiles, nowBytes, allFiles);
    EXPECT_EQ(nowFiles, checkedFiles - folderFiles);
    EXPECT_EQ(nowBytes, checkedBytes - folderBytes);
    EXPECT_EQ(sink.lastChecked, !alone) << "the page hears whether anything is still checked";
    for (int r = 0; r < Details()->ListModel()->rowCount(); ++r) {
        EXPECT_EQ(Details()->ListModel()->data(Details()->ListModel()->index(r, 0), Qt::CheckStateRole).toInt(), Qt::Unchecked);
    }
    // One row back on: the folder is partly checked.
    const int firstFile = [&] {
        for (int r = 0; r < CFileListData::FolderModel().GetCount(); ++r) {
            RefHolder<FileList_Item> row(CFileListData::FolderModel().GetItem(r));
            if (!row->IsFolderRow()) return r;
        }
        return -1;
    }();
    ASSERT_GE(firstFile, 0);
    Details()->ListModel()->setData(Details()->ListModel()->index(firstFile, 0), Qt::Checked, Qt::CheckStateRole);
    EXPECT_EQ(folder->GetCheckState(), folderFiles > 1 ? kImagePartly : kImageChecked);
    EXPECT_NE(Manager().PathRoot()->GetCheckState(), kImageUnchecked);
    EXPECT_TRUE(sink.lastChecked);
    tree->setData(folderIndex, Qt::Unchecked, Qt::CheckStateRole);  // partly -> unchecked
    tree->setData(folderIndex, Qt::Checked, Qt::CheckStateRole);    // unchecked -> checked
    Manager().CountChecked(nowFiles, nowBytes, allFiles);
    EXPECT_EQ(nowFiles, checkedFiles);

    // Every column sorts both ways from a click on its header.
    QHeaderView* header = Details()->horizontalHeader();
    for (int column = 0; column < Details()->ListModel()->columnCount(); ++column) {
        for (int click = 0; click < 2; ++click) {
            QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, QPoint(header->sectionViewportPosition(column) + 10, 5));
            Settle();
            CFileListData& list = CFileListData::FolderModel();
            EXPECT_EQ(list.SortColumn(), static_cast<u32>(column));
            const bool ascending = list.SortAscending();
            for (int r = 1; r < list.GetCount(); ++r) {
                RefHolder<FileList_Item> a(list.GetItem(r - 1));
                RefHolder<FileList_Item> b(list.GetItem(r));
                if (column == kColumnSize) {
                    EXPECT_TRUE(ascending ? a->size <= b->size : a->size >= b->size);
                }
                if (column == kColumnName) {
                    EXPECT_TRUE(ascending ? a->name <= b->name : a->name >= b->name);
                }
            }
        }
    }
    // The listing settles, its first row is chosen and reaches the preview pane.
    EXPECT_TRUE(PumpUntil([&] { return RefHolder<FileList_Item>(Details()->SelectedRow()) && CWndPreview::LiveWorkers() == 0; },
                          "the first row in the preview pane"));
    Settle();
    ASSERT_TRUE(container->grab().save(QString::fromStdString(ScreenshotPath("browser-done-en.png"))));

    // The command bar switches views once the scan is over.
    CWndRightView* right = container->Right();
    EXPECT_TRUE(right->IsPreviewShown()) << "the preview pane shows when the scan stops";
    QTest::mouseClick(right->Commands()->Button(ID_VIEW_LARGEICONS), Qt::LeftButton);
    Settle();
    EXPECT_TRUE(right->Icons()->isVisible());
    EXPECT_FALSE(right->Details()->isVisible());
    EXPECT_FALSE(right->IsPreviewShown());
    ASSERT_TRUE(container->grab().save(QString::fromStdString(ScreenshotPath("browser-icons-en.png"))));
    QTest::mouseClick(right->Commands()->Button(ID_VIEW_DETAILS), Qt::LeftButton);
    Settle();
    EXPECT_TRUE(right->Details()->isVisible());
    EXPECT_FALSE(right->IsPreviewShown());
    QTest::mouseClick(right->Commands()->Button(ID_VIEW_PREVIEWPANE), Qt::LeftButton);
    Settle();
    EXPECT_TRUE(right->IsPreviewShown());
    EXPECT_TRUE(right->Commands()->Button(ID_VIEW_PREVIEWPANE)->IsPressed());
    EXPECT_FALSE(right->Commands()->Button(ID_VIEW_DETAILS)->IsPressed());

    // Right-click on a file: the menu offers Recovery and Preview; Recovery hands the file on.
    Details()->SelectRow(firstFile);
    RefHolder<FileList_Item> chosen(Details()->SelectedRow());
    ASSERT_TRUE(chosen);
    QStringList offered;
    uiwait::ModalWatch popup([&](QWidget* w) {
        auto* menu = qobject_cast<QMenu*>(w);
        if (!menu) return;
        for (QAction* a : menu->actions()) offered << a->text();
        menu->actions().first()->trigger();
        menu->close();
    }, uiwait::Watched::kPopup);
    const QRect cell = Details()->visualRect(Details()->ListModel()->index(firstFile, 1));
    QContextMenuEvent rightClick(QContextMenuEvent::Mouse, cell.center(), Details()->viewport()->mapToGlobal(cell.center()));
    QApplication::sendEvent(Details()->viewport(), &rightClick);
    Settle();
    EXPECT_EQ(offered, (QStringList{"Recovery", "Preview"}));
    ASSERT_EQ(sink.recovered.size(), 1u);
    EXPECT_TRUE(sink.recovered[0]->IsFileOf(chosen->fileNode));

    // Preview without a source device: the user is told, nothing is copied.
    std::vector<std::string> told;
    SetBrowserMessageFunction([&](const std::string& text) { told.push_back(text); });
    std::vector<std::string> viewed;
    SetPreviewViewer([&](CFileNode*, const std::string& name, const std::string& temp) {
        viewed.push_back(name + "=" + testutil::Sha256File(temp));
    });
    Details()->OnCommand(ID_FILESEL_PREVIEW);
    ASSERT_EQ(told.size(), 1u);
    EXPECT_TRUE(viewed.empty());

    // With the scanned volume as the source the file is copied out and shown: the copy holds
    // the manifest's bytes when the fixture kept them intact.
    sink.device = volumeDevice;
    Details()->OnCommand(ID_FILESEL_PREVIEW);
    SetBrowserMessageFunction(nullptr);
    SetPreviewViewer(nullptr);
    ASSERT_EQ(viewed.size(), 1u) << (told.size() > 1 ? told.back() : std::string());
    EXPECT_EQ(told.size(), 1u);
    for (const auto& f : testutil::LoadManifest("ntfs-basic.json", 1)) {
        if (f.path.substr(f.path.rfind('/') + 1) == chosen->name && f.intact) {
            EXPECT_EQ(viewed[0], chosen->name + "=" + f.sha256);
        }
    }
    sink.device = nullptr;

    // The same result in German.
    ASSERT_TRUE(browser->SetLanguage(2));
    Settle();
    EXPECT_EQ(Details()->ListModel()->headerData(0, Qt::Horizontal, Qt::DisplayRole).toString(), "Name");
    EXPECT_EQ(Details()->ListModel()->headerData(3, Qt::Horizontal, Qt::DisplayRole).toString(), QString::fromUtf8("Größe"));
    ASSERT_TRUE(container->grab().save(QString::fromStdString(ScreenshotPath("browser-done-de.png"))));
    browser->SetLanguage(0);

    ReleaseScan();
    EXPECT_TRUE(Manager().PathRoot()->GetChildren()->empty());
    EXPECT_EQ(CFileListData::FolderModel().GetCount(), 0);
}

TEST_F(BrowserScan, KeyboardOpensFoldersInTheTreeAndLaysOutTheContainer) {
    Scan([] {});
    PathTree()->setFocus();
    const QModelIndex root = PathTree()->TreeModel()->index(0, 0);
    PathTree()->setCurrentIndex(root);
    const QModelIndex first = PathTree()->TreeModel()->index(0, 0, root);
    ASSERT_TRUE(first.isValid());
    QTest::keyClick(PathTree(), Qt::Key_Down);
    Settle();
    EXPECT_EQ(PathTree()->currentIndex(), first);
    EXPECT_EQ(Manager().CurrentFolder(), CFileTreeModel::NodeOf(first)) << "moving in the tree lists the folder";
    const bool wasOpen = PathTree()->isExpanded(first);
    QTest::keyClick(PathTree(), Qt::Key_Return);
    Settle();
    EXPECT_NE(PathTree()->isExpanded(first), wasOpen);

    // The container's splitter: the first layout, a refused drop and the preview pane's room.
    EXPECT_EQ(container->Left()->width(), 200);
    EXPECT_EQ(container->Right()->x(), 201);
    container->DropSplitter(30);
    EXPECT_EQ(container->LeftWidth(), 200) << "a left view below 55 pixels is refused";
    EXPECT_EQ(ClampContainerSplitter(990, 1000, 1, 55), 1000 - 1 - 55 - 1);
    EXPECT_EQ(ContainerLeftWidth(false, 0, 0, 1000, 1, 55), 200);
    ReleaseScan();
}

}  // namespace

// The details list of the scanned volume in English and in German: a few known files' date,
// type and size cells as a user of each language reads them, switching with the language.
TEST_F(BrowserScan, TheDetailsListGivesDatesTypesAndSizesInTheInterfaceLanguage) {
    ::setenv("TZ", "UTC", 1);  // the fixture's times are UTC; the list shows wall-clock times
    tzset();
    Scan([] {});
    // Deleted files whose folders are gone are listed in the scan's folder of lost files.
    CBindingNode* lostFiles = nullptr;
    for (std::deque<CBindingNode*> walk{Manager().PathRoot()}; !walk.empty() && !lostFiles; walk.pop_front()) {
        Manager().ShowFolder(walk.front());  // a folder's children are bound when it is opened
        testutil::WaitForRows();
        for (CBindingNode* c : *walk.front()->GetChildren()) {
            if (c->GetName() == "LostFiles") lostFiles = c;
            walk.push_back(c);
        }
    }
    ASSERT_NE(lostFiles, nullptr);
    Manager().ShowFolder(lostFiles);
    testutil::WaitForRows();
    Settle();

    struct Cells {
        const char* name;
        const char* date[2];
        const char* type[2];
        const char* size;
    };
    const Cells files[] = {
        {"DSC00929.DOC", {"9/15/2021 6:11:30 AM", "15.09.2021 06:11:30"}, {"Word document", "Word-Dokument"}, "14.50 KB"},
        {"Paulo Größe-45.jpg", {"12/20/2021 9:05:02 PM", "20.12.2021 21:05:02"}, {"JPEG image", "JPEG-Bild"}, "186.10 KB"},
        {"Ærøskøbing año-82.zip", {"11/9/2019 4:48:46 AM", "09.11.2019 04:48:46"}, {"Zip archive", "Zip-Archiv"}, "4.38 KB"},
    };
    const struct {
        int id;
        const char* screenshot;
    } languages[] = {{2, "browser-details-de.png"}, {0, "browser-details-en.png"}};
    for (const auto& language : languages) {
        browser->SetLanguage(language.id);
        Settle();
        const int l = language.id == 0 ? 0 : 1;
        QAbstractItemModel* model = Details()->ListModel();
        auto cell = [&](int row, int column) { return model->data(model->index(row, column), Qt::DisplayRole).toString().toStdString(); };
        for (const Cells& f : files) {
            SCOPED_TRACE(std::string(f.name) + " in language " + std::to_string(language.id));
            const int row = RowOf(f.name);
            ASSERT_GE(row, 0);
            EXPECT_EQ(cell(row, kColumnDate), f.date[l]);
            EXPECT_EQ(cell(row, kColumnType), f.type[l]);
            EXPECT_EQ(cell(row, kColumnSize), f.size);
        }
        ASSERT_TRUE(container->grab().save(QString::fromStdString(ScreenshotPath(language.screenshot))));
    }
}

TEST(BrowserSizeText, EachUnitRunsUpToAndIncludingItsBound) {
    const struct {
        u64 bytes;
        const char* text;
    } cases[] = {
        {0, "0.00 KB"},           {500, "0.49 KB"},           {1048576, "1024.00 KB"},
        {1048577, "1.00 MB"},     {1073741824, "1024.00 MB"}, {1073741825, "1.00 GB"},
        {5497558138880, "5120.00 GB"},
    };
    for (const auto& c : cases) EXPECT_EQ(FormatSizeText(c.bytes), c.text) << c.bytes;
}

namespace {

// The root listing's checks as the user sees them: the path tree's root, every row, the header.
// They agree when the rows fold into the root's state and the header, while it takes checks, shows it; `root` gets the
// root's state.
::testing::AssertionResult RootListingAgrees(CFileTreeCtrl* tree, CFileListCtrl* details, const char* when, int* root = nullptr) {
    CFileVirtualNodeManager::Instance().ShowFolder(CFileVirtualNodeManager::Instance().PathRoot());
    Settle();
    const int rootState = tree->TreeModel()->data(tree->TreeModel()->index(0, 0), Qt::CheckStateRole).toInt();
    if (root) *root = rootState;
    CFileListQtModel* model = details->ListModel();
    if (model->rowCount() == 0) return ::testing::AssertionFailure() << when << ": no rows";
    int folded = model->data(model->index(0, kColumnName), Qt::CheckStateRole).toInt();
    for (int r = 0; r < model->rowCount(); ++r)
        if (model->data(model->index(r, kColumnName), Qt::CheckStateRole).toInt() != folded) folded = Qt::PartiallyChecked;
    const int header = CheckStateOfImage(static_cast<CHeaderCtrlEx*>(details->horizontalHeader())->CheckImage());
    if (rootState != folded || header != (model->IsReady() ? folded : Qt::Unchecked))
        return ::testing::AssertionFailure() << when << ": root " << rootState << ", rows " << folded << ", header " << header;
    return ::testing::AssertionSuccess();
}

// A click on the box of the first file row shown, folder by folder from the root: the file.
CFileNode* ClickFirstFileBox(CFileListCtrl* details) {
    std::deque<CBindingNode*> folders{CFileVirtualNodeManager::Instance().PathRoot()};
    for (; !folders.empty(); folders.pop_front()) {
        CFileVirtualNodeManager::Instance().ShowFolder(folders.front());
        Settle();
        for (int r = 0; r < details->ListModel()->rowCount(); ++r) {
            RefHolder<FileList_Item> row(CFileListData::FolderModel().GetItem(r));
            if (row->IsFolderRow() || IsScanFolder(row->fileNode)) continue;
            ClickCheckBox(details, details->ListModel()->index(r, kColumnName));
            return row->fileNode;
        }
        for (CBindingNode* c : *folders.front()->GetChildren()) folders.push_back(c);
    }
    return nullptr;
}

TEST_F(BrowserScan, ChecksMadeWhilePausedStayAsMadeAndTheRootRowsAndHeaderAgreeThroughTheScan) {
    CFileNode* unchecked = nullptr;
    int root = -1;
    Scan([&] {
        EXPECT_TRUE(RootListingAgrees(PathTree(), Details(), "while the scan runs"));
        // Paused: the window lets the user check again, as the progress strip does on a pause,
        // from the scan thread. The lists are widgets: they follow on this thread alone.
        std::thread([&] { browser->SetBuildState(false); }).join();
        EXPECT_FALSE(Details()->ListModel()->IsReady()) << "the scan thread touched the lists";
        Settle();
        EXPECT_TRUE(Details()->ListModel()->IsReady());
        EXPECT_TRUE(RootListingAgrees(PathTree(), Details(), "paused"));
        unchecked = ClickFirstFileBox(Details());
        ASSERT_NE(unchecked, nullptr) << "a file shows while the scan is paused";
        EXPECT_EQ(unchecked->GetCheckState(), kUnchecked) << "the click unchecked the file";
        EXPECT_TRUE(RootListingAgrees(PathTree(), Details(), "after the click", &root));
        EXPECT_EQ(root, Qt::PartiallyChecked);
        // Going on: the scan adds files again.
        browser->SetBuildState(true);
        Settle();
        EXPECT_TRUE(RootListingAgrees(PathTree(), Details(), "going on"));
    });
    ASSERT_NE(unchecked, nullptr);
    EXPECT_EQ(unchecked->GetCheckState(), kUnchecked) << "the end of the scan checked the file again";
    EXPECT_TRUE(RootListingAgrees(PathTree(), Details(), "after the end", &root));
    EXPECT_EQ(root, Qt::PartiallyChecked);
    ReleaseScan();
}

// The complete scan replaces its provisional trees by the trees of the partitions it chose, built
// anew from the disk: their files arrive checked, whatever the provisional ones showed. The root,
// the rows and the header tell the same before, during the pause and after.
TEST_F(BrowserScan, AfterAPausedCompleteScanTheRootRowsAndHeaderAgree) {
    VolumeRecord* ntfs = EnumeratedVolume(kFsNtfs);
    ASSERT_NE(ntfs, nullptr);
    ASSERT_EQ(StartScan(ntfs, kScanModeComplete), 0);
    bool paused = false;
    const bool finished = PumpUntilScanEnds([&] {
        bool anyFile = false;
        ForEachScannedFile([&](CFileNode*) { anyFile = true; });
        if (paused || !anyFile) return;
        paused = true;
        progress.DoPause();
        Settle();
        EXPECT_TRUE(RootListingAgrees(PathTree(), Details(), "while the scan runs"));
        browser->SetBuildState(false);
        Settle();
        EXPECT_NE(ClickFirstFileBox(Details()), nullptr);
        EXPECT_TRUE(RootListingAgrees(PathTree(), Details(), "paused, one file unchecked"));
        browser->SetBuildState(true);
        progress.DoContinue();
    });
    ASSERT_TRUE(finished);
    ASSERT_TRUE(paused) << "files showed while the scan ran";
    SettleScan();
    int root = -1;
    EXPECT_TRUE(RootListingAgrees(PathTree(), Details(), "after the end", &root));
    EXPECT_EQ(root, Qt::Checked) << "every file arrives checked";
    ReleaseScan();
}

}  // namespace
