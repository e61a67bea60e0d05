// The browser's widgets offscreen: the tip's placement and its immediate mode on the image
// buttons, the tab strip's press, release and close rules, the command bar's places and its
// reset, the left view's tabs and the container's layout.
#include <gtest/gtest.h>

#include <QApplication>
#include <QMouseEvent>
#include <QTest>

#include "browser/model/BrowserSkin.h"
#include "browser/model/FileSelCtrl.h"
#include "browser/model/FileSelCtrlSink.h"
#include "browser/model/ListModel.h"
#include "browser/model/NodeManager.h"
#include "browser/views/Container.h"
#include "browser/views/Icons.h"
#include "browser/views/ToolTip.h"
#include "browser/views/Widgets.h"
#include "BrowserScanFixture.h"
#include "BrowserTestTree.h"
#include "EventRecorder.h"
#include "platform/Stats.h"
#include "platform/Sync.h"
#include "platform/Time.h"
#include "platform/WindowPost.h"
#include "platform/ui/Window.h"
#include "ui/UiWait.h"
#include "ListWait.h"
#include <thread>
#include <filesystem>

using namespace FileSelCtrl;

namespace {

int g_argc = 1;
char g_arg0[] = "test_browser";
char* g_argv[] = {g_arg0, nullptr};

void EnsureApp() {
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    if (!QApplication::instance()) new QApplication(g_argc, g_argv);
}

void Release(QWidget* w, QPoint at) {
    QMouseEvent up(QEvent::MouseButtonRelease, at, w->mapToGlobal(at), Qt::LeftButton, Qt::NoButton, Qt::NoModifier);
    QApplication::sendEvent(w, &up);
}
void Press(QWidget* w, QPoint at) {
    QMouseEvent down(QEvent::MouseButtonPress, at, w->mapToGlobal(at), Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(w, &down);
}

TEST(BrowserTip, OpensBesideTheCursorAndStaysOnTheScreen) {
    const QSize screen(1000, 800);
    const QSize tip(100, 20);
    const struct {
        QPoint cursor;
        QPoint expected;
    } cases[] = {
        {{100, 100}, {108, 116}},  // room everywhere: right of and below the cursor
        {{950, 100}, {858, 116}},  // near the right edge: to the left
        {{100, 790}, {108, 769}},  // near the bottom: above, one pixel clear
        {{950, 790}, {850, 769}},  // both: left of and above the cursor
    };
    for (const auto& c : cases) EXPECT_EQ(TipPosition(c.cursor, tip, screen), c.expected) << c.cursor.x() << "," << c.cursor.y();
}

TEST(BrowserTip, AnImageButtonShowsItsTipAtOnceAndAClickClosesIt) {
    EnsureApp();
    QWidget parent;
    CButtonEx button(ID_VIEW_DETAILS, &parent);
    button.SetTipText("Details");
    parent.show();
    QTest::mouseMove(&button, QPoint(5, 5));
    QMouseEvent move(QEvent::MouseMove, QPointF(5, 5), button.mapToGlobal(QPointF(5, 5)), Qt::NoButton, Qt::NoButton, Qt::NoModifier);
    QApplication::sendEvent(&button, &move);
    EXPECT_TRUE(button.Tip().IsShown());
    EXPECT_EQ(button.Tip().Text(), "Details");
    Press(&button, QPoint(5, 5));
    EXPECT_FALSE(button.Tip().IsShown()) << "a click closes the tip";
}

TEST(BrowserTabs, PressReleaseAndCloseFollowTheirRules) {
    EnsureApp();
    CWndTabCtrl tabs(nullptr);
    tabs.resize(300, 32);
    tabs.show();
    EXPECT_TRUE(tabs.AddTab("Path", kTabPath, false));
    EXPECT_TRUE(tabs.AddTab("Type", kTabType, false));
    EXPECT_FALSE(tabs.AddTab("Again", kTabType, false)) << "one tab per id";
    EXPECT_TRUE(tabs.Select(kTabPath));
    int pl = 0, pr = 0, tl = 0, tr = 0;
    ASSERT_TRUE(tabs.TabExtent(kTabPath, pl, pr));
    ASSERT_TRUE(tabs.TabExtent(kTabType, tl, tr));
    EXPECT_EQ(pl, 6);
    EXPECT_EQ(tl, pr + 1);
    // The chosen tab is marked by its underline alone: above it the strip's band shows as it
    // does beside the tabs.
    {
        const QImage strip = tabs.grab().toImage();
        const int y = strip.height() / 2;
        const QColor band = strip.pixelColor(strip.width() - 10, y);
        EXPECT_EQ(strip.pixelColor(pl + 2, y), band) << "the chosen tab is filled";
        EXPECT_EQ(strip.pixelColor(tl + 2, y), band);
        EXPECT_EQ(strip.pixelColor((pl + pr) / 2, strip.height() - 3), QColor(117, 126, 136)) << "its underline";
    }

    std::vector<u32> chosen;
    int closes = 0;
    QObject::connect(&tabs, &CWndTabCtrl::selectTree, [&](u32 id) { chosen.push_back(id); });
    QObject::connect(&tabs, &CWndTabCtrl::closeSearch, [&] { ++closes; });
    Press(&tabs, QPoint(tl + 5, 10));
    Release(&tabs, QPoint(tr + 50, 10));
    EXPECT_TRUE(chosen.empty()) << "a release outside the pressed tab selects nothing";
    Release(&tabs, QPoint(tl + 5, 10));
    EXPECT_EQ(chosen, std::vector<u32>{kTabType}) << "a later release over it does";

    ASSERT_TRUE(tabs.AddTab("Search", kTabSearch, true));
    int sl = 0, sr = 0;
    ASSERT_TRUE(tabs.TabExtent(kTabSearch, sl, sr));
    EXPECT_EQ(sr - sl, QFontMetrics(tabs.font()).horizontalAdvance("Search") + 40) << "closable tabs have room for the cross";
    Press(&tabs, QPoint(sr - 10, 12));
    Release(&tabs, QPoint(sr - 10, 12));
    EXPECT_EQ(closes, 1);
    EXPECT_EQ(chosen.size(), 1u) << "the cross closes without selecting";
    Press(&tabs, QPoint(sr - 16, 12));
    Release(&tabs, QPoint(sr - 16, 12));
    EXPECT_EQ(closes, 1) << "outside the cross the caption is hit";
    EXPECT_EQ(tabs.CurrentId(), int(kTabSearch));
    EXPECT_TRUE(tabs.RemoveSearchTab());
    EXPECT_EQ(tabs.CurrentId(), -1) << "no tab is selected until the view picks one";
    EXPECT_FALSE(tabs.RemoveSearchTab());
}

TEST(BrowserCommandBar, ButtonsSitAtTheRightEndAndFollowTheScanState) {
    EnsureApp();
    Skin() = BrowserSkin();
    CWndRightCommand bar(nullptr);
    bar.resize(700, 32);
    bar.show();
    QApplication::processEvents();
    const int expectedX[] = {560, 588, 616, 644};
    const int ids[] = {ID_VIEW_SEARCH, ID_VIEW_LARGEICONS, ID_VIEW_DETAILS, ID_VIEW_PREVIEWPANE};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(bar.Button(ids[i])->pos(), QPoint(expectedX[i], 6)) << ids[i];
    }
    std::vector<std::pair<bool, bool>> requests;  // (preview pane, details)
    bool preview = false;
    QObject::connect(&bar, &CWndRightCommand::showPreviewPane, [&](bool on) { preview = on; });
    QObject::connect(&bar, &CWndRightCommand::setViewMode, [&](bool details) { requests.push_back({preview, details}); });

    bar.ResetCommands(false);
    EXPECT_TRUE(bar.Button(ID_VIEW_DETAILS)->IsPressed());
    EXPECT_FALSE(bar.Button(ID_VIEW_LARGEICONS)->isEnabled());
    EXPECT_FALSE(bar.Button(ID_VIEW_SEARCH)->isEnabled());
    EXPECT_TRUE(bar.Button(ID_VIEW_DETAILS)->isEnabled());
    requests.clear();
    QTest::mouseClick(bar.Button(ID_VIEW_LARGEICONS), Qt::LeftButton);
    EXPECT_TRUE(requests.empty()) << "a disabled button does nothing";
    QTest::mouseClick(bar.Button(ID_VIEW_DETAILS), Qt::LeftButton);
    EXPECT_EQ(requests, (std::vector<std::pair<bool, bool>>{{false, true}}));

    bar.ResetCommands(true);
    EXPECT_TRUE(bar.Button(ID_VIEW_PREVIEWPANE)->IsPressed());
    EXPECT_FALSE(bar.Button(ID_VIEW_DETAILS)->IsPressed());
    requests.clear();
    QTest::mouseClick(bar.Button(ID_VIEW_LARGEICONS), Qt::LeftButton);
    EXPECT_EQ(requests, (std::vector<std::pair<bool, bool>>{{false, false}}));
    EXPECT_EQ(bar.Button(ID_VIEW_LARGEICONS)->ImageIndex(), 2) << "the chosen view shows pressed";

    // Each view chosen is a usage event of its own; a disabled button reports nothing.
    testutil::EventRecorder stats;
    SetStatsFallbackSink(&stats);
    for (int id : {ID_VIEW_LARGEICONS, ID_VIEW_DETAILS, ID_VIEW_PREVIEWPANE}) QTest::mouseClick(bar.Button(id), Qt::LeftButton);
    bar.ResetCommands(false);
    QTest::mouseClick(bar.Button(ID_VIEW_LARGEICONS), Qt::LeftButton);
    SetStatsFallbackSink(nullptr);
    EXPECT_EQ(stats.events, (std::vector<u32>{8481, 8483, 8482}));
}

TEST(BrowserViews, TabsChooseTreesAndTheSearchLayoutAndTheContainerLaysOut) {
    EnsureApp();
    CFileSelCtrl* browser = CFileSelCtrl::GetInstance();
    browser->Create(nullptr, RECT{0, 0, 1000, 600});
    CFileSelCtrlContainer* container = browser->Container();
    container->resize(1000, 600);
    container->show();
    QApplication::processEvents();
    EXPECT_EQ(container->Left()->geometry(), QRect(0, 0, 200, 599));
    EXPECT_EQ(container->Right()->geometry(), QRect(201, 0, 799, 599));

    CWndLeftView* left = container->Left();
    left->SelectTree(kTabType);
    EXPECT_EQ(left->CurrentTree(), left->TypeTree());
    EXPECT_EQ(CFileVirtualNodeManager::Instance().CurrentTreeKind(), kTreeKindType);
    left->SelectTree(kTabType);
    EXPECT_EQ(left->CurrentTree(), left->TypeTree()) << "choosing it again changes nothing";
    left->SelectTree(kTabPath);

    left->ShowSearchTab();
    EXPECT_TRUE(CFileListData::IsSearchShown());
    EXPECT_TRUE(left->IsCollapsed());
    EXPECT_EQ(container->Right()->geometry(), QRect(0, 0, 1000, 599)) << "the results fill the browser";
    left->CloseSearch();
    EXPECT_FALSE(CFileListData::IsSearchShown());
    EXPECT_EQ(left->CurrentTree(), left->PathTree()) << "back to the tree used before";
    EXPECT_EQ(container->Right()->geometry(), QRect(201, 0, 799, 599));
    left->CloseSearch();  // no Search tab: only the page hears of it
    EXPECT_EQ(left->CurrentTree(), left->PathTree());

    // The preview pane needs 296 pixels: the splitter moves to give them.
    container->DropSplitter(800);
    EXPECT_EQ(container->LeftWidth(), 800);
    container->Right()->ShowPreviewPane(true);
    QApplication::processEvents();
    EXPECT_EQ(container->Right()->width(), 296);
    container->Right()->ShowPreviewPane(false);
    container->DropSplitter(200);

    // A walked tree with a partly checked folder, for the eye.
    CFileSystemNode* root = browsertest::Root();
    const char* const folders[] = {"Documents", "Photos", "Music", "Projects"};
    for (const char* name : folders) {
        CFileNode* f = browsertest::Add(root, name, true);
        CFileNode* sub = browsertest::Add(f, std::string(name) + " 2019", true);
        for (int i = 0; i < 6; ++i) {
            browsertest::Add(f, std::string(name).substr(0, 3) + "_" + std::to_string(i) + (i % 2 ? ".jpg" : ".docx"), false,
                             u64(1000 + 7919 * i), browsertest::kFileTime2020 + u64(i) * browsertest::kFileTimeDay);
            browsertest::Add(sub, "old_" + std::to_string(i) + ".txt", false, u64(10 * i + 1), browsertest::kFileTime2020);
        }
    }
    CFileVirtualNodeManager& manager = CFileVirtualNodeManager::Instance();
    browser->ClearAll();
    browser->SetBuildState(true);
    browser->AddFileSystemNode(root, true);
    browser->SetBuildState(false);
    while (manager.ProcessPending(kInfinite)) {
    }
    QApplication::processEvents();
    CBindingNode* part = (*manager.PathRoot()->GetChildren())[0];
    CBindingNode* docs = (*part->GetChildren())[0];
    container->Left()->PathTree()->SelectNodeItem(docs);
    testutil::WaitForRows();
    CFileListData::FolderModel().SetItemCheck(2, false);
    CFileListData::FolderModel().SetItemCheck(4, false);
    container->Left()->PathTree()->expand(container->Left()->PathTree()->TreeModel()->IndexOf(docs));
    container->Right()->Details()->SelectRow(3);
    QApplication::processEvents();
    EXPECT_EQ(docs->GetCheckState(), kImagePartly);
    EXPECT_EQ(part->GetCheckState(), kImagePartly);
    const std::string dir = std::string(MORVENDA_BINARY_DIR) + "/screenshots";
    std::filesystem::create_directories(dir);
    EXPECT_TRUE(container->grab().save(QString::fromStdString(dir + "/browser-tree-en.png")));
    browser->ClearAll();
    browsertest::Free(root);
}

TEST(BrowserViews, DeliveriesReachTheWindowThroughPostedMessages) {
    EnsureApp();
    ui::InstallWindowPost();
    CFileSelCtrl* browser = CFileSelCtrl::GetInstance();
    browser->Create(nullptr, RECT{0, 0, 800, 500});
    browser->Container()->show();
    browser->ClearAll();
    CFileSystemNode* root = browsertest::Root();
    for (int f = 0; f < 20; ++f) {
        CFileNode* folder = browsertest::Add(root, "F" + std::to_string(f), true);
        for (int i = 0; i < 50; ++i) browsertest::Add(folder, "x" + std::to_string(i), false, 1);
    }
    // Only the event loop runs here: the drain notices posted to the browser's window bind it.
    std::thread scan([&] { browser->AddFileSystemNode(root, true); });
    CFileVirtualNodeManager& manager = CFileVirtualNodeManager::Instance();
    auto bound = [&] {
        const auto* parts = manager.PathRoot()->GetChildren();
        return !parts->empty() && (*parts)[0]->GetChildren()->size() == 20u;
    };
    EXPECT_TRUE(uiwait::Until([&] { return bound() && !manager.HasPending(); }, "the tree bound by the drain notices"));
    scan.join();
    // Nothing is pending for good only once the scan thread has posted its last notice.
    EXPECT_TRUE(uiwait::Until([&] { return !manager.HasPending(); }, "the last drain notice"));
    EXPECT_TRUE(bound());
    // A search runs on its own thread; its hits and the Search tab arrive on this one.
    std::thread search([&] { browser->Search("X4"); });
    search.join();
    EXPECT_TRUE(uiwait::Until([] { return CFileListData::SearchModel().GetCount() != 0; }, "the search's hits"));
    EXPECT_EQ(CFileListData::SearchModel().GetCount(), 20 * 11) << "x4 and x40 to x49 in every folder";
    EXPECT_TRUE(CFileListData::IsSearchShown());
    EXPECT_EQ(browser->Container()->Left()->Tabs()->CurrentId(), int(kTabSearch));
    browser->Container()->Left()->CloseSearch();
    EXPECT_FALSE(CFileListData::IsSearchShown());

    // A removal from another thread waits for the window to let go, and gets it.
    std::thread removal([&] { browser->RemoveFileSystemNode(root); });
    EXPECT_TRUE(uiwait::Until([&] { return manager.PathRoot()->GetChildren()->empty(); }, "the removal"));
    removal.join();
    EXPECT_TRUE(manager.PathRoot()->GetChildren()->empty());
    // A file handed over by message goes to the page's recovery, held; nothing else does.
    struct Sink : IFileSelCtrlSink {
        void OnCheckChanged(bool) override {}
        void Reserved1() override {}
        IStorageDevice* GetSourceDevice(IStorageDevice**) override { return nullptr; }
        void RecoverNode(const HeldFile& file) override { recovered = file; }
        HeldFile recovered;
    } sink;
    browser->SetSink(&sink);
    CFileNode* file = root->GetFirstChild()->GetFirstChild();
    for (CFileNode* handed : {static_cast<CFileNode*>(nullptr), static_cast<CFileNode*>(root), file}) {
        SendMessage(browser->Container()->Handle(), WM_FILESEL_RECOVERNODE, 0, reinterpret_cast<LPARAM>(handed));
        EXPECT_EQ(sink.recovered && sink.recovered->IsFileOf(file), handed == file);
    }
    browser->SetSink(nullptr);

    SetWindowPostFunctions(nullptr);
    browser->ClearAll();
    browsertest::Free(root);
}

TEST(BrowserViews, AHoveredTabAndItsCrossTakeTheSelectedCaptionColourTillTheMouseLeaves) {
    CFileSelCtrl* browser = testutil::OpenEmptyBrowser();
    CWndLeftView* left = browser->Container()->Left();
    CWndTabCtrl* tabs = left->Tabs();
    left->ShowSearchTab();
    left->SelectTree(kTabPath);
    const QColor lit = FromArgb(Skin().tabCaptionSelected);
    const QColor normal = FromArgb(Skin().tabCaptionNormal);
    auto move = [&](QPoint at) {
        QMouseEvent e(QEvent::MouseMove, at, tabs->mapToGlobal(at), Qt::NoButton, Qt::NoButton, Qt::NoModifier);
        QApplication::sendEvent(tabs, &e);
    };
    int left0 = 0, right0 = 0, leftS = 0, rightS = 0;
    ASSERT_TRUE(tabs->TabExtent(kTabType, left0, right0));
    ASSERT_TRUE(tabs->TabExtent(kTabSearch, leftS, rightS));
    EXPECT_EQ(tabs->CaptionColour(kTabType), normal);

    // Over the Type tab's caption: it lights, the others keep theirs.
    move(QPoint((left0 + right0) / 2, tabs->height() / 2));
    EXPECT_EQ(tabs->HoveredId(), int(kTabType));
    EXPECT_EQ(tabs->CaptionColour(kTabType), lit);
    EXPECT_EQ(tabs->CaptionColour(kTabSearch), normal);
    EXPECT_EQ(tabs->CaptionColour(kTabPath), lit) << "the selected tab";
    tabs->repaint();
    ASSERT_TRUE(browser->Container()->grab().save(QString::fromStdString(browsertest::ScreenshotPath("browser-tab-hover-en.png"))));

    // Over the search tab's cross: caption and cross light; beside the cross only the caption.
    move(QPoint(rightS - 9, 12));
    EXPECT_EQ(tabs->HoveredId(), int(kTabSearch));
    EXPECT_TRUE(tabs->IsCrossHovered());
    EXPECT_EQ(tabs->CrossColour(kTabSearch), lit);
    EXPECT_EQ(tabs->CaptionColour(kTabType), normal);
    move(QPoint(leftS + 4, 12));
    EXPECT_FALSE(tabs->IsCrossHovered());
    EXPECT_EQ(tabs->CrossColour(kTabSearch), normal);
    EXPECT_EQ(tabs->CaptionColour(kTabSearch), lit);

    // Leaving the strip restores every tab.
    QEvent leave(QEvent::Leave);
    QApplication::sendEvent(tabs, &leave);
    EXPECT_EQ(tabs->HoveredId(), -1);
    EXPECT_EQ(tabs->CaptionColour(kTabSearch), normal);
    left->CloseSearch();
    browser->ClearAll();
}

}  // namespace
