// The lists' ready state: while a scan adds files, and after the browser was reset, the lists
// take no check clicks (rows, header, select-all bar) and no Enter, and an empty list says it is
// loading; once no scan runs all of them work. The details list marks deleted files, draws the
// chosen row in the skin's colour at the skin's row height, and a double click on the check-box
// zone opens nothing.
#include <gtest/gtest.h>

#include <QApplication>
#include <QHeaderView>
#include <QTest>
#include <thread>

#include "BrowserScanFixture.h"
#include "BrowserTestTree.h"
#include "ListWait.h"
#include "TreeClick.h"
#include "browser/model/BrowserSkin.h"
#include "browser/model/FileSelCtrl.h"
#include "browser/model/ListModel.h"
#include "browser/model/NodeManager.h"
#include "browser/views/Container.h"
#include "browser/views/PreviewEntry.h"
#include "browser/views/Widgets.h"
#include "browser/views/HeaderCtrl.h"
#include "browser/views/IconCtrl.h"
#include "browser/views/Icons.h"
#include "browser/views/ListCtrl.h"
#include "browser/preview/PreviewPane.h"
#include "platform/Sync.h"
#include "ui/UiWait.h"

using namespace FileSelCtrl;

namespace {

CFileNode* AddFile(CFileNode* parent, const std::string& name, bool deleted) {
    auto* p = new browsertest::Props;
    p->name = name;
    p->size = 1000;
    p->attributes = kAttrArchive;
    p->state = deleted ? kStateDeleted : 0;
    CFileNode* n = CreateFileNode().release();
    n->SetFileProperties(p);
    parent->AddChild(n);
    return n;
}

class BrowserReadyState : public ::testing::Test {
protected:
    void SetUp() override {
        // A message the browser would show in a box is a finding here, never a wait.
        SetBrowserMessageFunction([](const std::string& text) { ADD_FAILURE() << "the browser said: " << text; });
        browser = testutil::OpenEmptyBrowser();
        container = browser->Container();
        root = browsertest::Root();
        for (const char* folder : {"Album", "DIR2", "Old stuff"}) browsertest::Add(root, folder, true);
        AddFile(root, "kept.txt", false);
        AddFile(root, "deleted.txt", true);
        CFileVirtualNodeManager& manager = CFileVirtualNodeManager::Instance();
        manager.AddFileSystemNode(root, nullptr, nullptr, true);
        while (manager.ProcessPending(kInfinite)) {
        }
        container->Left()->SelectTree(kTabPath);
        ASSERT_NE(Volume(), nullptr);
        QApplication::processEvents();
        container->Left()->PathTree()->SelectNodeItem(Volume());
        testutil::WaitForRows();
        container->Right()->SetViewMode(true);
        QApplication::processEvents();
        testutil::WaitForRows();
    }
    void TearDown() override {
        SetBrowserMessageFunction(nullptr);
        browser->SetBuildState(false);
        browser->ClearAll();
        browsertest::Free(root);
    }
    static CBindingNode* Volume() {
        const auto* volumes = CFileVirtualNodeManager::Instance().PathRoot()->GetChildren();
        return volumes && !volumes->empty() ? (*volumes)[0] : nullptr;
    }
    CFileListCtrl* Details() const { return container->Right()->Details(); }
    CHeaderCtrlEx* Header() const { return static_cast<CHeaderCtrlEx*>(Details()->horizontalHeader()); }
    // The row of a name in the shown list, -1 when absent.
    int RowOf(const std::string& name) const {
        CFileListData& list = CFileListData::GetCurrent();
        for (int r = 0; r < list.GetCount(); ++r) {
            RefHolder<FileList_Item> row(list.GetItem(r));
            if (row && row->name == name) return r;
        }
        return -1;
    }
    u32 CheckOf(int row) const {
        RefHolder<FileList_Item> item(CFileListData::GetCurrent().GetItem(row));
        return item ? item->GetCheckState() : 0;
    }

    CFileSelCtrl* browser = nullptr;
    CFileSelCtrlContainer* container = nullptr;
    CFileSystemNode* root = nullptr;
};

TEST_F(BrowserReadyState, AResetOrScanningBrowserTakesNoChecksNorEnterUntilTheScanStops) {
    CFileListCtrl* list = Details();
    CFileListQtModel* model = list->ListModel();
    CFileIconCommand* bar = container->Right()->Icons()->Bar();
    // A click on the header's box while it takes none presses the column: the rows may move.
    int file = RowOf("kept.txt");
    int folder = RowOf("Album");
    ASSERT_GE(file, 0);
    ASSERT_GE(folder, 0);

    // Just reset, and then while a scan adds files: nothing is ready.
    for (const char* when : {"after the reset", "while a scan runs"}) {
        if (std::string(when) == "while a scan runs") browser->SetBuildState(true);
        EXPECT_FALSE(model->IsReady()) << when;
        EXPECT_FALSE(container->Right()->Icons()->List()->IsReady()) << when;
        EXPECT_FALSE(Header()->IsCheckAllowed()) << when;
        EXPECT_FALSE(bar->IsActive()) << when;
        const u32 before = CheckOf(file);
        browsertest::ClickCheckBox(list, model->index(file, kColumnName));
        EXPECT_EQ(CheckOf(file), before) << when << ": the row's box took a click";
        const u32 listBefore = CFileListData::GetCurrent().GetCheckState();
        QTest::mouseClick(Header()->viewport(), Qt::LeftButton, {}, Header()->CheckRect(kColumnName).center());
        EXPECT_EQ(CFileListData::GetCurrent().GetCheckState(), listBefore) << when << ": the header's box took a click";
        file = RowOf("kept.txt");
        folder = RowOf("Album");
        list->SelectRow(folder);
        QTest::keyClick(list, Qt::Key_Return);
        EXPECT_EQ(CFileVirtualNodeManager::Instance().CurrentFolder(), Volume()) << when << ": Enter opened the folder";
    }

    // While nothing may be checked the boxes show unchecked, whatever the rows say.
    EXPECT_EQ(Header()->CheckImage(), kImageUnchecked);
    EXPECT_EQ(bar->CheckImage(), kImageUnchecked);

    // The scan stopped: the boxes show the list's state again, and the same clicks work.
    browser->SetBuildState(false);
    EXPECT_EQ(Header()->CheckImage(), CFileListData::GetCurrent().GetCheckState());
    EXPECT_EQ(bar->CheckImage(), CFileListData::GetCurrent().GetCheckState());
    EXPECT_TRUE(model->IsReady());
    EXPECT_TRUE(Header()->IsCheckAllowed());
    EXPECT_TRUE(bar->IsActive());
    const u32 before = CheckOf(file);
    browsertest::ClickCheckBox(list, model->index(file, kColumnName));
    EXPECT_NE(CheckOf(file), before) << "the row's box";
    QTest::mouseClick(Header()->viewport(), Qt::LeftButton, {}, Header()->CheckRect(kColumnName).center());
    const u32 all = CFileListData::GetCurrent().GetCheckState();
    EXPECT_TRUE(all == kImageChecked || all == kImageUnchecked) << "the header's box checks or unchecks every row";

    // A double click on the check-box zone opens nothing; on the name it enters the folder.
    folder = RowOf("Album");
    const QRect folderRow = list->visualRect(model->index(folder, kColumnName));
    list->SelectRow(folder);
    QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, QPoint(kCheckZoneRight, folderRow.center().y()));
    EXPECT_EQ(CFileVirtualNodeManager::Instance().CurrentFolder(), Volume());
    QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, QPoint(kCheckZoneRight + 8, folderRow.center().y()));
    testutil::WaitForRows();
    ASSERT_NE(CFileVirtualNodeManager::Instance().CurrentFolder(), Volume());
    EXPECT_EQ(CFileVirtualNodeManager::Instance().CurrentFolder()->GetName(), "Album");
}

TEST_F(BrowserReadyState, TheIconViewTakesOverTheChosenRowAndTakesNoEnterUntilTheListIsReady) {
    browser->SetBuildState(false);
    CWndRightView* right = container->Right();
    CFileIconCtrl* icons = right->Icons()->List();
    // The row chosen in the details list is the one chosen in the icon view, shown chosen, and back.
    const int kept = RowOf("kept.txt"), deleted = RowOf("deleted.txt");
    ASSERT_TRUE(kept >= 0 && deleted >= 0);
    Details()->SelectRow(kept);
    QTest::mouseClick(right->Commands()->Button(ID_VIEW_LARGEICONS), Qt::LeftButton);
    QApplication::processEvents();
    ASSERT_TRUE(icons->isVisible());
    EXPECT_TRUE(icons->selectionModel()->isSelected(icons->currentIndex()));
    EXPECT_EQ(icons->currentIndex().row(), kept);
    uiwait::Paint(container);
    const QRect cell = icons->CellRect(kept);
    EXPECT_EQ(QColor(icons->viewport()->grab().toImage().pixel(cell.center().x(), cell.bottom() - 10)), FromColour(Skin().listSelected))
        << "the cell's name strip shows chosen";
    ASSERT_TRUE(container->grab().save(QString::fromStdString(browsertest::ScreenshotPath("browser-icon-view-keeps-row-en.png"))));
    QTest::mouseClick(icons->viewport(), Qt::LeftButton, {}, icons->CellRect(deleted).center());
    ASSERT_EQ(icons->currentIndex().row(), deleted);
    EXPECT_TRUE(right->Preview()->Item() && right->Preview()->Item()->name == "deleted.txt") << "the pane follows the icon view";
    QTest::mouseClick(right->Commands()->Button(ID_VIEW_DETAILS), Qt::LeftButton);
    QApplication::processEvents();
    ASSERT_TRUE(Details()->isVisible());
    RefHolder<FileList_Item> chosen(Details()->SelectedRow());
    EXPECT_TRUE(chosen && RowOf(chosen->name) == deleted);

    // While a scan adds files the icon view opens nothing on Enter, a file no more than a folder;
    // ready again, Enter opens the folder.
    int opened = 0;
    SetBrowserMessageFunction([&](const std::string&) { ++opened; });
    SetPreviewViewer([&](CFileNode*, const std::string&, const std::string&) { ++opened; });
    for (const bool building : {true, false}) {
        browser->SetBuildState(building);
        right->SetViewMode(false);
        QApplication::processEvents();
        if (building) {
            ASSERT_FALSE(icons->IsReady());
        }
        icons->setFocus();
        for (const char* name : building ? std::vector<const char*>{"kept.txt", "Album"} : std::vector<const char*>{"Album"}) {
            icons->setCurrentIndex(icons->model()->index(RowOf(name), 0));
            QTest::keyClick(icons, Qt::Key_Return);
            QApplication::processEvents();
            if (building) {
                EXPECT_EQ(opened, 0) << "Enter opened " << name;
                EXPECT_EQ(CFileVirtualNodeManager::Instance().CurrentFolder(), Volume()) << "Enter opened " << name;
            }
        }
    }
    testutil::WaitForRows();
    ASSERT_NE(CFileVirtualNodeManager::Instance().CurrentFolder(), Volume());
    EXPECT_EQ(CFileVirtualNodeManager::Instance().CurrentFolder()->GetName(), "Album");
    SetPreviewViewer(nullptr);
    right->SetViewMode(true);
}

TEST_F(BrowserReadyState, AnEmptyFolderSaysItLoadsUntilReadyThenThatItIsEmpty) {
    CFileListCtrl* list = Details();
    const int folder = RowOf("Album");
    ASSERT_GE(folder, 0);
    RefHolder<FileList_Item> row(CFileListData::GetCurrent().GetItem(folder));
    container->Left()->PathTree()->SelectNodeItem(row->folderNode);
    testutil::WaitForRows();
    ASSERT_EQ(list->ListModel()->rowCount(), 0);
    browser->SetBuildState(true);
    QApplication::processEvents();
    ASSERT_TRUE(container->grab().save(QString::fromStdString(browsertest::ScreenshotPath("browser-loading-en.png"))));
    // The text is drawn in the first band, centred: its pixels are the empty-list grey.
    auto hasText = [&] {
        const QImage band = list->viewport()->grab(QRect(0, 0, list->viewport()->width(), kRowHeight)).toImage();
        int dark = 0;
        for (int y = 0; y < band.height(); ++y)
            for (int x = 0; x < band.width(); ++x) dark += qGray(band.pixel(x, y)) < 160;
        return dark;
    };
    const int loading = hasText();
    EXPECT_GT(loading, 0) << "no loading text";
    browser->SetBuildState(false);
    QApplication::processEvents();
    const int empty = hasText();
    EXPECT_GT(empty, 0) << "no empty-folder text";
    // "Loading,Please wait..." and "This folder is empty!" differ in their drawn pixels.
    EXPECT_NE(loading, empty);
}

TEST_F(BrowserReadyState, TheDetailsListMarksDeletedFilesAndDrawsTheChosenRowInTheSkinsColour) {
    browser->SetBuildState(false);
    CFileListCtrl* list = Details();
    CFileListQtModel* model = list->ListModel();
    const int kept = RowOf("kept.txt");
    const int deleted = RowOf("deleted.txt");
    ASSERT_GE(kept, 0);
    ASSERT_GE(deleted, 0);
    EXPECT_EQ(list->rowHeight(0), kRowHeight);
    EXPECT_EQ(kRowHeight, 32);
    EXPECT_TRUE(model->data(model->index(deleted, kColumnName), kRoleDeleted).toBool());
    EXPECT_FALSE(model->data(model->index(kept, kColumnName), kRoleDeleted).toBool());
    EXPECT_FALSE(model->data(model->index(RowOf("Album"), kColumnName), kRoleDeleted).toBool());

    // The two files have the same picture: only the deleted one's carries the mark.
    list->SelectRow(RowOf("Album"));
    QApplication::processEvents();
    const QImage shot = list->viewport()->grab().toImage();
    auto picture = [&](int row) {
        const QRect r = list->visualRect(model->index(row, kColumnName));
        return shot.copy(QRect(r.left(), r.top(), kCheckZoneRight + 24, r.height()));
    };
    EXPECT_FALSE(picture(kept) == picture(deleted)) << "no deleted-file mark";
    ASSERT_FALSE(SkinImage(kLostFileImage).isNull()) << "the shipped skin has the mark";

    // The chosen row is filled with the skin's colour, beyond its texts.
    list->SelectRow(kept);
    QApplication::processEvents();
    const QRect r = list->visualRect(model->index(kept, kColumnType));
    const QImage row = list->viewport()->grab(r).toImage();
    EXPECT_EQ(QColor(row.pixel(row.width() - 2, 2)), FromColour(Skin().listSelected));
    ASSERT_TRUE(container->grab().save(QString::fromStdString(browsertest::ScreenshotPath("browser-deleted-marks-en.png"))));

    // The preview pane beside it: the texts stand the reserve and the gap below the frame, and
    // frame, gap and texts are centred in the pane together.
    CWndPreview* pane = container->Right()->Preview();
    ASSERT_TRUE(pane->isVisible());
    const QRect frame = pane->FrameRect();
    const QRect labels = pane->LabelRect();
    ASSERT_FALSE(labels.isEmpty());
    EXPECT_EQ(labels.top(), frame.top() + frame.height() + kPaneReserve + kPaneTextGap);
    const int block = frame.height() + kPaneReserve + kPaneTextGap + labels.height();
    EXPECT_LE(std::abs(frame.top() - (pane->height() - block) / 2), 1);
    for (const char* folder : {"Album", "DIR2", "Old stuff"}) {  // a folder's name that fits shows whole
        list->SelectRow(RowOf(folder));
        EXPECT_EQ(pane->ShownLine(0), QStringLiteral("   ") + folder);
    }
}

// While the page clears or freezes the view, a folder chosen in the tree is not listed and no row is drawn.
TEST_F(BrowserReadyState, WhileThePageClearsOrFreezesTheViewTheTreeListsNothingAndTheListsDrawNoRows) {
    browser->SetBuildState(false);
    CFileTreeCtrl* tree = container->Left()->PathTree();
    const auto darkPixels = [](QWidget* w) {
        uiwait::Paint(w);
        const QImage shot = w->grab().toImage();
        int dark = 0;
        for (int y = 0; y < shot.height(); ++y) for (int x = 0; x < shot.width(); ++x) dark += qGray(shot.pixel(x, y)) < 160;
        return dark;
    };
    for (const bool details : {true, false}) {
        SCOPED_TRACE(details ? "the details list" : "the icon view");
        container->Right()->SetViewMode(details);
        QWidget* rows = details ? Details()->viewport() : container->Right()->Icons()->List()->viewport();
        tree->setCurrentIndex(tree->TreeModel()->IndexOf(Volume()));
        testutil::WaitForRows();
        ASSERT_GT(darkPixels(rows), 0) << "the rows are drawn";
        SetViewBusy(true);
        EXPECT_EQ(darkPixels(rows), 0) << "a row was drawn while the view was cleared";
        tree->setCurrentIndex(tree->TreeModel()->IndexOf((*Volume()->GetChildren())[0]));
        testutil::WaitForRows();
        EXPECT_EQ(CFileVirtualNodeManager::Instance().CurrentFolder(), Volume()) << "the tree listed the folder chosen meanwhile";
        SetViewBusy(false);
        EXPECT_GT(darkPixels(rows), 0) << "the rows came back";
    }
}

// After a sort the list's mark stays at its place and the pane shows the row now there.
TEST_F(BrowserReadyState, AfterASortThePaneShowsTheRowNowAtTheChosenPlace) {
    browser->SetBuildState(false);
    container->Right()->ShowPreviewPane(true);
    QHeaderView* header = Details()->horizontalHeader();
    const QPoint nameTitle(header->sectionViewportPosition(kColumnName) + header->sectionSize(kColumnName) / 2, 5);
    QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, nameTitle);
    const int last = Details()->model()->rowCount() - 1;
    Details()->SelectRow(last);
    RefHolder<FileList_Item> before(CFileListData::GetCurrent().GetItem(last));
    QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, nameTitle);
    RefHolder<FileList_Item> now(CFileListData::GetCurrent().GetItem(last));
    ASSERT_NE(now.get(), before.get()) << "the sort moved the rows";
    EXPECT_EQ(Details()->currentIndex().row(), last) << "the mark stays at its place";
    EXPECT_EQ(container->Right()->Preview()->Item(), now.get());
}

// The files below a scan folder checked as `state`, each set to `reset` first when one is given.
size_t FilesChecked(CFileNode* folder, u8 state, int reset = -1) {
    size_t n = 0;
    for (CFileNode* c = folder->GetFirstChild(); c; c = c->GetNextSibling()) {
        if (reset >= 0) c->SetCheckState(static_cast<u8>(reset));
        n += IsScanFolder(c) ? FilesChecked(c, state, reset) : c->GetCheckState() == state;
    }
    return n;
}

// A check given the moment the build ends or pauses (on the scan thread), while the UI thread still
// binds what the scan delivered, holds for every file under the box, also those still queued.
TEST(BrowserLargeTree, ACheckRightAfterTheBuildsEndOrAPauseHoldsForEveryFileStillQueued) {
    constexpr int kFolders = 600, kFilesPerFolder = 399;
    constexpr size_t kFiles = size_t{kFolders} * (kFilesPerFolder + 1);
    CFileSelCtrl* browser = testutil::OpenEmptyBrowser();
    browser->Container()->Left()->SelectTree(kTabPath);
    CFileSystemNode* root = browsertest::Root();
    for (int f = 0; f < kFolders; ++f) {
        CFileNode* folder = browsertest::Add(root, "Folder " + std::to_string(f), true);
        for (int i = 0; i < kFilesPerFolder; ++i) browsertest::Add(folder, "f" + std::to_string(i) + ".txt", false, 100);
        browsertest::Add(browsertest::Add(folder, "Sub", true), "deep.txt", false, 100);
    }
    CFileVirtualNodeManager& manager = CFileVirtualNodeManager::Instance();
    CFileTreeModel* model = browser->Container()->Left()->PathTree()->TreeModel();
    for (const bool fromScanThread : {false, true}) {
        SCOPED_TRACE(fromScanThread ? "a pause reached on the scan thread" : "the scan's end");
        root->SetCheckState(kChecked);
        FilesChecked(root, kChecked, kChecked);
        browser->ClearAll();
        browser->SetBuildState(true);
        manager.AddFileSystemNode(root, nullptr, nullptr, true);
        if (fromScanThread) std::thread([&] { browser->SetBuildState(false); }).join();
        else browser->SetBuildState(false);
        QApplication::processEvents();
        const QModelIndex volume = model->index(0, 0, model->index(0, 0));
        ASSERT_EQ(model->data(volume, Qt::CheckStateRole).toInt(), Qt::Checked);
        browsertest::ClickCheckBox(browser->Container()->Left()->PathTree(), volume);
        const bool took = model->data(volume, Qt::CheckStateRole).toInt() == Qt::Unchecked;
        ASSERT_TRUE(uiwait::Until([&] { return QApplication::processEvents(), !manager.HasPending(); }, "the rest of the binding"));
        EXPECT_EQ(FilesChecked(root, took ? kUnchecked : kChecked), kFiles) << (took ? "the click was taken" : "the click was refused");
        EXPECT_EQ(model->data(volume, Qt::CheckStateRole).toInt(), took ? Qt::Unchecked : Qt::Checked);
    }
    browser->ClearAll();
    browsertest::Free(root);
}

}  // namespace
