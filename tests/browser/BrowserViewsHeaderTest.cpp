// The details view's skinned header (sort arrows, the name column's check box, the narrowest
// column) and the skinned scroll bars of the lists and trees, on a folder of generated files.
#include <gtest/gtest.h>

#include <QApplication>
#include <QMouseEvent>
#include <QTest>
#include <filesystem>

#include "BrowserTestTree.h"
#include "browser/model/BrowserSkin.h"
#include "browser/model/FileSelCtrl.h"
#include "browser/model/ListModel.h"
#include "browser/model/NodeManager.h"
#include "browser/views/Container.h"
#include "browser/views/HeaderCtrl.h"
#include "browser/views/Icons.h"
#include "browser/views/ScrollBar.h"
#include "browser/views/SearchDlg.h"
#include "app/dialogs/SearchDlg.h"
#include "app/ui/UiItem.h"
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include "platform/Sync.h"
#include "ui/UiWait.h"
#include "ListWait.h"

using namespace FileSelCtrl;

namespace {

constexpr int kFiles = 300;

void SendMouse(QWidget* w, QEvent::Type type, QPoint at, Qt::MouseButtons buttons) {
    QMouseEvent e(type, at, w->mapToGlobal(at), Qt::LeftButton, buttons, Qt::NoModifier);
    QApplication::sendEvent(w, &e);
}

class BrowserHeaderAndBars : public ::testing::Test {
protected:
    void SetUp() override {
        browser = testutil::OpenEmptyBrowser();
        container = browser->Container();
        root = browsertest::Root();
        for (int i = 0; i < kFiles; ++i) {
            browsertest::Add(root, "file" + std::to_string(1000 + i) + (i % 3 ? ".txt" : ".jpg"), false, 100 + (i * 37) % 1000,
                             browsertest::kFileTime2020 + static_cast<u64>(i) * browsertest::kFileTimeDay);
        }
        CFileVirtualNodeManager& manager = CFileVirtualNodeManager::Instance();
        manager.AddFileSystemNode(root, nullptr, nullptr, false);
        while (manager.ProcessPending(kInfinite)) {
        }
        // A finished result: no scan adds to the lists, so they take checks.
        browser->SetBuildState(false);
        container->Left()->SelectTree(kTabPath);
        manager.ShowFolder(manager.PathRoot());
        testutil::WaitForRows();
        container->Right()->SetViewMode(true);
        QApplication::processEvents();
    }
    void TearDown() override {
        browser->ClearAll();
        browsertest::Free(root);
    }

    CFileListCtrl* Details() const { return container->Right()->Details(); }
    CHeaderCtrlEx* Header() const { return static_cast<CHeaderCtrlEx*>(Details()->horizontalHeader()); }
    QPoint Middle(int section) const {
        return QPoint(Header()->sectionViewportPosition(section) + Header()->sectionSize(section) / 2, Header()->height() / 2);
    }

    CFileSelCtrl* browser = nullptr;
    CFileSelCtrlContainer* container = nullptr;
    CFileSystemNode* root = nullptr;
};

TEST_F(BrowserHeaderAndBars, ACellWhoseDrawingCutItsTextKeepsTheWholeTextForItsTipTillItFits) {
    CFileListCtrl* list = Details();
    list->setColumnWidth(kColumnDate, 24);
    list->viewport()->repaint();
    const QModelIndex date = list->ListModel()->index(0, kColumnDate);
    const QRect cell = list->visualRect(date);
    QString text;
    QRect area;
    ASSERT_TRUE(list->CutCellText(cell.center(), text, area));
    EXPECT_EQ(text, list->ListModel()->data(date, Qt::DisplayRole).toString());
    EXPECT_EQ(area, cell);
    const QRect size = list->visualRect(list->ListModel()->index(0, kColumnSize));
    EXPECT_FALSE(list->CutCellText(size.center(), text, area)) << "a size fits its column";

    list->setColumnWidth(kColumnDate, 300);
    list->viewport()->repaint();
    EXPECT_FALSE(list->CutCellText(list->visualRect(date).center(), text, area)) << "drawn whole, the tip is gone";

    list->setColumnWidth(kColumnDate, 24);
    list->viewport()->repaint();
    ASSERT_GT(list->CellTipCount(), 0u);
    // A new listing starts without the old one's tips.
    list->ListModel()->OnRowsReset();
    EXPECT_EQ(list->CellTipCount(), 0u);
}

TEST_F(BrowserHeaderAndBars, ColumnsSortWithArrowsAndTheNameColumnChecksTheList) {
    CHeaderCtrlEx* header = Header();
    CFileListData& list = CFileListData::FolderModel();
    ASSERT_EQ(list.GetCount(), kFiles);
    const struct {
        int column;
        u32 arrow;
        u32 otherColumn;
        u32 otherArrow;
    } clicks[] = {
        {kColumnType, kArrowAscending, kColumnSize, kArrowNone},
        {kColumnType, kArrowDescending, kColumnSize, kArrowNone},
        {kColumnSize, kArrowAscending, kColumnType, kArrowNone},
        {kColumnSize, kArrowDescending, kColumnType, kArrowNone},
        {kColumnSize, kArrowAscending, kColumnName, kArrowNone},
    };
    for (const auto& c : clicks) {
        QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, Middle(c.column));
        EXPECT_EQ(header->SortArrowOf(c.column), c.arrow) << c.column;
        EXPECT_EQ(header->SortArrowOf(static_cast<int>(c.otherColumn)), c.otherArrow);
        EXPECT_EQ(list.SortColumn(), static_cast<u32>(c.column));
        EXPECT_EQ(list.SortAscending(), c.arrow == kArrowAscending);
    }
    for (int r = 1; r < list.GetCount(); ++r) {
        RefHolder<FileList_Item> a(list.GetItem(r - 1)), b(list.GetItem(r));
        ASSERT_LE(a->size, b->size);
    }

    // A press on a divider sorts nothing; dragging it left stops at the narrowest column.
    const int divider = header->sectionViewportPosition(kColumnDate) + header->sectionSize(kColumnDate) - 1;
    const int widthBefore = header->sectionSize(kColumnDate);
    SendMouse(header->viewport(), QEvent::MouseButtonPress, QPoint(divider, 5), Qt::LeftButton);
    SendMouse(header->viewport(), QEvent::MouseMove, QPoint(divider - widthBefore + 10, 5), Qt::LeftButton);
    SendMouse(header->viewport(), QEvent::MouseButtonRelease, QPoint(divider - widthBefore + 10, 5), Qt::NoButton);
    EXPECT_EQ(header->SortArrowOf(kColumnSize), kArrowAscending);
    EXPECT_EQ(header->SortArrowOf(kColumnDate), kArrowNone);
    EXPECT_EQ(header->sectionSize(kColumnDate), kMinColumnWidth);

    // The check box of the name column: all rows on, all off; a partly checked list unchecks.
    list.CheckAll(false);
    EXPECT_EQ(header->CheckImage(), kImageUnchecked);
    const QPoint box = header->CheckRect(kColumnName).center();
    QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, box);
    EXPECT_EQ(list.GetCheckState(), kImageChecked);
    EXPECT_EQ(header->SortArrowOf(kColumnName), kArrowNone) << "the box click sorts nothing";
    list.SetItemCheck(0, false);
    EXPECT_EQ(header->CheckImage(), kImagePartly);
    QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, box);
    EXPECT_EQ(list.GetCheckState(), kImageUnchecked);
    list.SetItemCheck(1, true);
    header->SetCheckColumnEnabled(false);
    EXPECT_EQ(header->CheckImage(), kImageUnchecked) << "a switched-off box shows unchecked";
    QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, box);
    EXPECT_EQ(list.GetCheckState(), kImagePartly) << "a switched-off box checks nothing";
    header->SetCheckColumnEnabled(true);
    header->SetCheckImage(list.GetCheckState());
    QApplication::processEvents();
    std::filesystem::create_directories(std::string(MORVENDA_BINARY_DIR) + "/screenshots");
    EXPECT_TRUE(container->grab().save(QString::fromStdString(std::string(MORVENDA_BINARY_DIR) + "/screenshots/browser-details-header.png")));
}

TEST_F(BrowserHeaderAndBars, SkinnedBarsReplaceTheSystemBarsAndPageByTheViewsPage) {
    for (QAbstractScrollArea* area : std::initializer_list<QAbstractScrollArea*>{
             Details(), container->Left()->PathTree(), container->Left()->TypeTree(), container->Right()->Icons()->List()}) {
        auto* vertical = qobject_cast<CFileSelScrollBar*>(area->verticalScrollBar());
        auto* horizontal = qobject_cast<CFileSelScrollBar*>(area->horizontalScrollBar());
        ASSERT_NE(vertical, nullptr) << area->metaObject()->className();
        ASSERT_NE(horizontal, nullptr);
        EXPECT_EQ(vertical->sizeHint().width(), Skin().scrollBarSize);
        EXPECT_EQ(horizontal->sizeHint().height(), Skin().scrollBarSize);
    }
    auto* bar = static_cast<CFileSelScrollBar*>(Details()->verticalScrollBar());
    ASSERT_TRUE(bar->isVisible());
    EXPECT_EQ(bar->width(), Skin().scrollBarSize);
    ASSERT_GT(bar->maximum(), 0);
    // A click on the track below the thumb moves by one vertical page, the rows the view shows.
    const QRect thumb = bar->PartRect(QStyle::SC_ScrollBarSlider);
    const QRect down = bar->PartRect(QStyle::SC_ScrollBarAddLine);
    ASSERT_LT(thumb.bottom() + 2, down.top());
    const int page = bar->pageStep();
    EXPECT_EQ(page, Details()->viewport()->height() / kRowHeight);
    QTest::mouseClick(bar, Qt::LeftButton, {}, QPoint(bar->width() / 2, (thumb.bottom() + down.top()) / 2));
    EXPECT_EQ(bar->value(), page);
    QTest::mouseClick(bar, Qt::LeftButton, {}, down.center());
    EXPECT_EQ(bar->value(), page + 1) << "the arrow moves one row";
    // The icon view pages by its own height.
    container->Right()->SetViewMode(false);
    QApplication::processEvents();
    CFileIconCtrl* icons = container->Right()->Icons()->List();
    auto* iconBar = static_cast<CFileSelScrollBar*>(icons->verticalScrollBar());
    ASSERT_GT(iconBar->maximum(), 0);
    EXPECT_EQ(iconBar->pageStep(), icons->viewport()->height());
    QApplication::processEvents();
    EXPECT_TRUE(container->grab().save(QString::fromStdString(std::string(MORVENDA_BINARY_DIR) + "/screenshots/browser-icon-view-scroll.png")));
    container->Right()->ShowPreviewPane(false);
    icons->setCurrentIndex(icons->model()->index(kFiles - 1, 0));
    container->Right()->ShowPreviewPane(true);
    QApplication::processEvents();  // the cell must stay in sight once the view has laid its cells out again
    EXPECT_TRUE(icons->viewport()->rect().contains(icons->visualRect(icons->currentIndex()))) << "the chosen cell, out of sight";
    container->Right()->SetViewMode(true);
}

TEST(BrowserScrollBarGeometry, ArrowsAreSquareAndTheThumbIsThePagesShareOfTheChannel) {
    constexpr int kPart = 9;
    // A 218-pixel bar has a 200-pixel channel; ranges as the scroll area keeps them (the
    // maximum is the last first-visible line: a span of 100 lines with a page of 10 ends at 90).
    const struct {
        const char* what;
        int minimum, maximum, page, position;
        int thumbStart, thumbLength;
    } cases[] = {
        {"a page of 10 in 100 lines", 0, 90, 10, 0, kPart, 20},
        {"the same at its end", 0, 90, 10, 90, kPart + 180, 20},
        {"half way", 0, 90, 10, 45, kPart + 90, 20},
        {"a page of 1 in 100 lines keeps 6 pixels", 0, 99, 1, 99, kPart + 194, kMinThumbLength},
        {"a position past the end stays inside", 0, 90, 10, 500, kPart + 180, 20},
        {"a range that does not start at 0", 50, 140, 10, 95, kPart + 90, 20},
    };
    for (const auto& c : cases) {
        for (bool vertical : {true, false}) {
            const ScrollBarGeometry g = LayOutScrollBar(vertical, 218, kPart, c.minimum, c.maximum, c.page, c.position);
            // A horizontal bar's thumb read along its own axis.
            const QRect thumb = vertical ? g.thumb : QRect(g.thumb.top(), g.thumb.left(), g.thumb.height(), g.thumb.width());
            EXPECT_EQ(thumb.top(), c.thumbStart) << c.what << (vertical ? " vertical" : " horizontal");
            EXPECT_EQ(thumb.height(), c.thumbLength) << c.what;
            EXPECT_EQ(g.firstArrow.size(), QSize(kPart, kPart)) << c.what;
            EXPECT_EQ(g.secondArrow.size(), QSize(kPart, kPart)) << c.what;
            EXPECT_EQ(vertical ? g.secondArrow.top() : g.secondArrow.left(), 218 - kPart) << c.what;
            EXPECT_EQ(vertical ? g.channel.height() : g.channel.width(), 200) << c.what;
        }
    }
    // Nothing to scroll: no thumb.
    EXPECT_TRUE(LayOutScrollBar(true, 218, kPart, 0, 0, 10, 0).thumb.isEmpty());
}

TEST_F(BrowserHeaderAndBars, ThePressedArrowIsDrawnPressedAndTheThumbFollowsTheRange) {
    auto* bar = static_cast<CFileSelScrollBar*>(Details()->verticalScrollBar());
    ASSERT_TRUE(bar->isVisible());
    ASSERT_GT(bar->maximum(), 0);
    const QRect thumb = bar->PartRect(QStyle::SC_ScrollBarSlider);
    const int channel = bar->height() - 2 * bar->PartSize();
    const int span = bar->maximum() - bar->minimum() + bar->pageStep();
    EXPECT_EQ(thumb.height(), std::max(kMinThumbLength, bar->pageStep() * channel / span));
    EXPECT_EQ(thumb.top(), bar->PartSize() + (bar->value() - bar->minimum()) * (channel - thumb.height()) / (bar->maximum() - bar->minimum()));
    const QRect down = bar->PartRect(QStyle::SC_ScrollBarAddLine);
    EXPECT_EQ(down, QRect(0, bar->height() - bar->PartSize(), bar->PartSize(), bar->PartSize()));

    // Held down, the arrow shows the pressed strip's cell; let go, it shows hover or normal.
    const QImage before = bar->grab(down).toImage();
    SendMouse(bar, QEvent::MouseButtonPress, down.center(), Qt::LeftButton);
    EXPECT_EQ(bar->PressedPart(), QStyle::SC_ScrollBarAddLine);
    const QImage held = bar->grab(down).toImage();
    EXPECT_FALSE(held == before) << "the pressed arrow looks as before";
    QImage pressedCell = SkinImage(Skin().scrollClick).copy(0, 0, bar->PartSize(), bar->PartSize()).convertToFormat(QImage::Format_ARGB32);
    EXPECT_TRUE(held.convertToFormat(QImage::Format_ARGB32) == pressedCell) << "the pressed strip's down arrow";
    const QRect thumbHeld = bar->PartRect(QStyle::SC_ScrollBarSlider);
    QEvent leave(QEvent::Leave);
    QApplication::sendEvent(bar, &leave);
    SendMouse(bar, QEvent::MouseButtonRelease, down.center(), Qt::NoButton);
    EXPECT_EQ(bar->PressedPart(), QStyle::SC_None);
    EXPECT_FALSE(bar->grab(down).toImage() == held);
    EXPECT_GE(bar->value(), 1) << "the arrow moved a line";
    EXPECT_GT(thumbHeld.top(), thumb.top() - 1);
    QApplication::processEvents();
    ASSERT_TRUE(container->grab().save(QString::fromStdString(std::string(MORVENDA_BINARY_DIR) + "/screenshots/browser-scroll-bar.png")));
}

// A click on a skin item of a skinned dialog, where the user sees it.
void ClickDialogItem(HomeBaseDialog& dialog, int id) {
    const RECT r = dialog.GetClientItem(id)->GetRect();
    const QPoint at(HomeBaseDialog::ClientToWindowX((r.left + r.right) / 2), HomeBaseDialog::ClientToWindowY((r.top + r.bottom) / 2));
    QTest::mouseMove(&dialog, at);
    QTest::mouseClick(&dialog, Qt::LeftButton, {}, at);
    uiwait::Flush();
}

TEST_F(BrowserHeaderAndBars, TheSearchDialogStartsASearchWhoseHitsFillTheSearchTab) {
    InstallSearchDialog();
    // The dialog on its own: the button follows the text, 29 characters at most, one search.
    std::vector<std::string> asked;
    {
        ::SearchDlg dialog([&](const std::string& text) { asked.push_back(text); });
        dialog.Create();
        UiCtrl::UiItem* search = dialog.GetClientItem(::SearchDlg::kItemSearch);
        ASSERT_NE(search, nullptr);
        ASSERT_NE(dialog.GetCaptionItem(HomeBaseDialog::kCmdClose), nullptr) << "the caption's close item";
        EXPECT_FALSE(search->IsEnabled());
        QTest::keyClicks(dialog.Edit(), "x");
        EXPECT_TRUE(search->IsEnabled());
        QTest::keyClick(dialog.Edit(), Qt::Key_Backspace);
        EXPECT_FALSE(search->IsEnabled());
        ClickDialogItem(dialog, ::SearchDlg::kItemSearch);
        EXPECT_TRUE(dialog.isVisible()) << "a disabled Search does nothing";
        QTest::keyClicks(dialog.Edit(), QString(40, 'a'));
        EXPECT_EQ(dialog.Edit()->text().size(), kSearchTextLimit);
        dialog.Edit()->setText("file100?.jpg");
        std::filesystem::create_directories(std::string(MORVENDA_BINARY_DIR) + "/screenshots");
        EXPECT_TRUE(dialog.grab().save(QString::fromStdString(std::string(MORVENDA_BINARY_DIR) + "/screenshots/browser-search-dialog.png")));
        ClickDialogItem(dialog, ::SearchDlg::kItemSearch);
        EXPECT_EQ(asked, std::vector<std::string>{"file100?.jpg"});
        EXPECT_TRUE(uiwait::Until([&] { return !dialog.isVisible(); }, "the dialog's end after the search"));
        EXPECT_EQ(dialog.result(), kSearchDlgResult);
    }
    for (const int close : {static_cast<int>(::SearchDlg::kItemCancel), HomeBaseDialog::kCmdClose}) {
        ::SearchDlg dialog([&](const std::string& text) { asked.push_back(text); });
        dialog.Create();
        QTest::keyClicks(dialog.Edit(), "y");
        if (close == HomeBaseDialog::kCmdClose) {
            // The caption's close item, in window coordinates.
            const RECT r = dialog.GetCaptionItem(close)->GetRect();
            const QPoint at((r.left + r.right) / 2, (r.top + r.bottom) / 2);
            QTest::mouseMove(&dialog, at);
            QTest::mouseClick(&dialog, Qt::LeftButton, {}, at);
            uiwait::Flush();
        } else {
            ClickDialogItem(dialog, close);
        }
        EXPECT_FALSE(dialog.isVisible());
        EXPECT_EQ(dialog.result(), kSearchDlgResult);
        EXPECT_EQ(asked.size(), 1u) << "cancel and close search nothing";
    }

    // From the command bar: the dialog, the search thread, the hits in the Search tab.
    uiwait::ModalWatch answer([](QWidget* w) {
        if (auto* dialog = dynamic_cast<::SearchDlg*>(w)) {
            dialog->Edit()->setText("file100?.jpg");
            ClickDialogItem(*dialog, ::SearchDlg::kItemSearch);
        }
    });
    container->SetIdle(true);
    container->Right()->Commands()->OnCommand(ID_VIEW_SEARCH);
    SearchRunner().Wait();
    CFileVirtualNodeManager& manager = CFileVirtualNodeManager::Instance();
    while (manager.ProcessPending(kInfinite)) {
    }
    QApplication::processEvents();
    // Every third file is a ".jpg"; of file1000 to file1009 those are 1000, 1003, 1006, 1009.
    EXPECT_EQ(CFileListData::SearchModel().GetCount(), 4);
    EXPECT_TRUE(CFileListData::IsSearchShown());
    EXPECT_TRUE(container->grab().save(QString::fromStdString(std::string(MORVENDA_BINARY_DIR) + "/screenshots/browser-search.png")));
    container->Left()->CloseSearch();
}

}  // namespace
