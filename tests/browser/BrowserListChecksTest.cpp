// The list's check sum and its views: a recount takes the sum from the rows again, a search
// holds the pictures while its hits arrive and readies the list, a long list reaches the views
// a slice at a time, and a name the icon view had to cut shows whole in its tip.
#include <gtest/gtest.h>

#include <QApplication>
#include <QMouseEvent>
#include <QPainter>
#include <QPropertyAnimation>
#include <QSignalSpy>
#include <QTest>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "BrowserScanFixture.h"
#include "BrowserTestTree.h"
#include "ListWait.h"
#include "TreeClick.h"
#include "browser/model/FileSelCtrl.h"
#include "browser/model/ListModel.h"
#include "browser/model/NodeManager.h"
#include "browser/views/Container.h"
#include "browser/views/HeaderCtrl.h"
#include "browser/views/IconCtrl.h"
#include "platform/Sync.h"
#include "ui/UiWait.h"

using namespace FileSelCtrl;

namespace {

constexpr int kHits = 6;
const std::string kLongName = "a holiday picture whose name is far too long for its strip.jpg";

// Records how a list model steers the thumbnail worker, with the rows the list held then.
class CountingQueue : public IThumbnailQueue {
public:
    explicit CountingQueue(const CFileListData& list) : m_list(list) {}
    void Hold() override { calls.emplace_back("hold", m_list.GetCount()); }
    void Resume() override { calls.emplace_back("resume", m_list.GetCount()); }
    void ClearQueue() override {}
    std::vector<std::pair<std::string, int>> calls;

private:
    const CFileListData& m_list;
};

class BrowserListChecks : public ::testing::Test {
protected:
    void SetUp() override {
        browser = testutil::OpenEmptyBrowser();
        container = browser->Container();
        root = browsertest::Root();
        // A: one subfolder S of two files; B: pictures, one with a long name.
        CFileNode* a = browsertest::Add(root, "A", true);
        s = browsertest::Add(a, "S", true);
        s1 = browsertest::Add(s, "s1.txt", false, 10);
        browsertest::Add(s, "s2.txt", false, 10);
        CFileNode* b = browsertest::Add(root, "B", true);
        for (int i = 0; i < kHits; ++i) hits.push_back(browsertest::Add(b, "hit" + std::to_string(i) + ".jpg", false, 10));
        browsertest::Add(b, kLongName, false, 10);
        browsertest::Add(b, "s.jpg", false, 10);
        Register();
        container->Right()->SetViewMode(true);
    }
    void Register() {
        CFileVirtualNodeManager& manager = CFileVirtualNodeManager::Instance();
        manager.AddFileSystemNode(root, nullptr, nullptr, true);
        while (manager.ProcessPending(kInfinite)) {
        }
        testutil::WaitForRows();
    }
    void TearDown() override {
        container->Left()->CloseSearch();
        browser->ClearAll();
        browsertest::Free(root);
        CFileSelCtrl::DestroyInstance();
    }

    CBindingNode* Folder(const std::string& name) const {
        CBindingNode* volume = (*CFileVirtualNodeManager::Instance().PathRoot()->GetChildren())[0];
        for (CBindingNode* c : *volume->GetChildren())
            if (c->GetName() == name) return c;
        return nullptr;
    }
    // As a click on the folder in the path tree opens it.
    void Open(const std::string& name) {
        container->Left()->PathTree()->SelectNodeItem(Folder(name));
        testutil::WaitForRows();
        uiwait::Flush();
        testutil::WaitForRows();
    }
    int RowOf(const std::string& name) const {
        CFileListData& list = CFileListData::GetCurrent();
        for (int r = 0; r < list.GetCount(); ++r) {
            RefHolder<FileList_Item> row(list.GetItem(r));
            if (row->name == name) return r;
        }
        return -1;
    }
    CFileListQtModel* View() const { return container->Right()->Details()->ListModel(); }

    CFileSelCtrl* browser = nullptr;
    CFileSelCtrlContainer* container = nullptr;
    CFileSystemNode* root = nullptr;
    CFileNode *s = nullptr, *s1 = nullptr;
    std::vector<CFileNode*> hits;
};

TEST_F(BrowserListChecks, AListOfOnePartlyCheckedFolderRowShowsPartlyCheckedAfterARecount) {
    Open("A");
    CFileListData& list = CFileListData::FolderModel();
    ASSERT_EQ(list.GetCount(), 1);
    ASSERT_NE(View()->HeaderCheck(), kImagePartly);
    // One file of the folder unchecked where the list does not see it: the list keeps its sum
    // until it is recounted.
    s1->SetCheckState(kUnchecked);
    s->SetCheckState(kPartlyChecked);
    list.RecountChecks();
    EXPECT_EQ(list.CheckSum(), 1u);
    EXPECT_EQ(list.GetCheckState(), kImagePartly);
    EXPECT_EQ(View()->HeaderCheck(), kImagePartly);
    uiwait::Flush();
    RefHolder<FileList_Item> selected(container->Right()->Details()->SelectedRow());
    ASSERT_TRUE(selected) << "a recount selects the first row";
    list.SetItemCheck(0, true);
    EXPECT_EQ(View()->HeaderCheck(), kImageChecked);
}

TEST_F(BrowserListChecks, ASearchHoldsThePicturesUntilItsHitsAreListedAndReadiesTheList) {
    for (CFileNode* hit : hits) hit->SetCheckState(kChecked);
    hits.front()->SetCheckState(kUnchecked);
    CFileListData& search = CFileListData::SearchModel();
    CountingQueue queue(search);
    search.DataCache().AttachWorker(&queue);
    View()->SetReady(false);
    CFileIconCtrl* icons = container->Right()->Icons()->List();
    ASSERT_FALSE(icons->IsReady()) << "the icon view follows the list's ready flag";

    CFileVirtualNodeManager& manager = CFileVirtualNodeManager::Instance();
    manager.Search("hit");
    while (manager.ProcessPending(kInfinite)) {
    }
    uiwait::Flush();
    ASSERT_TRUE(CFileListData::IsSearchShown());
    ASSERT_EQ(search.GetCount(), kHits);
    EXPECT_EQ(View()->rowCount(), kHits);
    EXPECT_TRUE(View()->IsReady());
    EXPECT_TRUE(icons->IsReady());
    EXPECT_EQ(search.CheckSum(), 2u * (kHits - 1));
    EXPECT_EQ(View()->HeaderCheck(), kImagePartly);
    ASSERT_FALSE(queue.calls.empty());
    EXPECT_EQ(queue.calls.front(), std::make_pair(std::string("hold"), 0)) << "held before the first hit is listed";
    EXPECT_EQ(queue.calls.back(), std::make_pair(std::string("resume"), kHits)) << "going on once all hits are there";
    search.DataCache().AttachWorker(nullptr);
}

// A check in the search list reaches the page as whether the tree on screen still holds a
// checked file, in each tab: the tree's root is brought up to date first, whatever state its box
// was left in before the search.
TEST_F(BrowserListChecks, ChecksInTheSearchListTellThePageWhatTheTreeOnScreenHoldsInEveryTab) {
    browsertest::RecordingSink sink;
    browser->SetSink(&sink);
    browser->SetBuildState(false);
    auto* header = static_cast<CHeaderCtrlEx*>(container->Right()->Details()->horizontalHeader());
    // One hit checked with the tree's root unchecked before the search, or every hit unchecked
    // with the root checked before.
    const std::pair<u32, bool> cases[] = {{kTabType, true}, {kTabType, false}, {kTabPath, true}, {kTabPath, false}};
    for (const auto& [tab, checkOneHit] : cases) {
        SCOPED_TRACE(std::to_string(tab) + (checkOneHit ? ": one hit checked" : ": every hit unchecked"));
        container->Left()->CloseSearch();
        container->Left()->SelectTree(tab);
        CFileTreeCtrl* tree = container->Left()->CurrentTree();
        const QModelIndex root = tree->TreeModel()->index(0, 0);
        for (int click = 0; click < 2 && (tree->TreeModel()->data(root, Qt::CheckStateRole).toInt() == Qt::Checked) == checkOneHit; ++click)
            browsertest::ClickCheckBox(tree, root);  // a partly checked box unchecks first
        ASSERT_EQ(tree->TreeModel()->data(root, Qt::CheckStateRole).toInt(), checkOneHit ? Qt::Unchecked : Qt::Checked);
        CFileVirtualNodeManager::Instance().Search(checkOneHit ? "hit" : ".");
        while (CFileVirtualNodeManager::Instance().ProcessPending(kInfinite)) {
        }
        uiwait::Flush();
        ASSERT_GT(View()->rowCount(), 0);
        if (checkOneHit) browsertest::ClickCheckBox(container->Right()->Details(), View()->index(0, kColumnName));
        else QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, header->CheckRect(kColumnName).center());
        EXPECT_EQ(sink.lastChecked, checkOneHit) << "the page was told the opposite";
    }
    browser->SetSink(nullptr);
}

TEST_F(BrowserListChecks, ALongListReachesTheViewsASliceAtATime) {
    constexpr int kRows = kMaxRowsShownPerNotice + 1000;
    CFileNode* many = browsertest::Add(root, "Many", true);
    for (int i = 0; i < kRows; ++i) browsertest::Add(many, "m" + std::to_string(i), false, 1);
    browser->ClearAll();
    Register();
    QSignalSpy inserted(View(), &QAbstractItemModel::rowsInserted);
    Open("Many");
    ASSERT_TRUE(uiwait::Until([&] { return View()->rowCount() == kRows; }, "every row shown"));
    ASSERT_GE(inserted.size(), 2);
    for (const QList<QVariant>& args : inserted) {
        const int count = args.at(2).toInt() - args.at(1).toInt() + 1;
        EXPECT_LE(count, kMaxRowsShownPerNotice);
    }
}

TEST_F(BrowserListChecks, AnIconCellWhoseNameWasCutShowsTheWholeNameInItsTip) {
    container->Right()->SetViewMode(false);
    Open("B");
    CFileIconCtrl* icons = container->Right()->Icons()->List();
    uiwait::Paint(icons->viewport());
    ASSERT_EQ(CFileListData::GetCurrent().GetCount(), kHits + 2);
    const int longRow = RowOf(kLongName);
    const int shortRow = RowOf("s.jpg");
    ASSERT_GE(longRow, 0);
    ASSERT_GE(shortRow, 0);
    // The name strip lies below the picture, right of the check box.
    auto stripCentre = [&](int row) {
        const QRect cell = icons->CellRect(row);
        return QPoint(cell.center().x() + cell.width() / 4, cell.bottom() - 10);
    };
    QString text;
    QRect area;
    ASSERT_TRUE(icons->CutCellText(stripCentre(longRow), text, area));
    EXPECT_EQ(text.toStdString(), kLongName);
    EXPECT_FALSE(icons->CutCellText(stripCentre(shortRow), text, area)) << "a name that fits has no tip";

    // Resting the pointer on the cut name shows it.
    const QPoint at = stripCentre(longRow);
    QCursor::setPos(icons->viewport()->mapToGlobal(at));
    QMouseEvent move(QEvent::MouseMove, at, icons->viewport()->mapToGlobal(at), Qt::NoButton, Qt::NoButton, Qt::NoModifier);
    QApplication::sendEvent(icons->viewport(), &move);
    // Shown once it has grown to its size.
    ASSERT_TRUE(uiwait::Until([&] { return icons->Tip().IsShown() && icons->Tip().findChildren<QPropertyAnimation*>().isEmpty(); },
                              "the cell tip"));
    EXPECT_EQ(icons->Tip().Text().toStdString(), kLongName);
    // The tip is a window of its own: the shot draws it over the browser where it stands.
    uiwait::Paint(container);
    QImage shot = container->grab().toImage();
    {
        QPainter p(&shot);
        const QWidget& tip = icons->Tip();
        p.drawPixmap(container->mapFromGlobal(tip.mapToGlobal(QPoint(0, 0))), const_cast<QWidget&>(tip).grab());
    }
    const std::string dir = std::string(MORVENDA_BINARY_DIR) + "/screenshots";
    std::filesystem::create_directories(dir);
    EXPECT_TRUE(shot.save(QString::fromStdString(dir + "/browser-icon-view-cell-tip.png")));

    View()->OnRowsReset();
    EXPECT_EQ(icons->CellTipCount(), 0u);
    container->Right()->SetViewMode(true);
}

}  // namespace
