// The tree windows by path and by type: their check boxes follow checks made behind their back
// only when a refresh recomputes them (asked for, or pending after new items or a check in
// another tree), their names are drawn again on request, and a reset leaves only the root.
#include <gtest/gtest.h>

#include <QApplication>
#include <QSignalSpy>
#include <QTest>
#include <string>
#include <vector>

#include "BrowserScanFixture.h"
#include "BrowserTestTree.h"
#include "TreeClick.h"
#include "ListWait.h"
#include "browser/model/FileSelCtrl.h"
#include "browser/model/ListModel.h"
#include "browser/model/NodeManager.h"
#include "browser/views/Container.h"
#include "browser/views/Icons.h"
#include "browser/views/PreviewEntry.h"
#include "browser/views/TreeCtrl.h"
#include "platform/Sync.h"

using namespace FileSelCtrl;

namespace {

class BrowserTreeControls : public ::testing::Test {
protected:
    void SetUp() override {
        browser = testutil::OpenEmptyBrowser();
        container = browser->Container();
        root = browsertest::Root();
        CFileNode* docs = browsertest::Add(root, "Docs", true);
        first = browsertest::Add(docs, "a.txt", false, 10);
        browsertest::Add(docs, "b.txt", false, 10);
        browsertest::Add(docs, "c.jpg", false, 10);
        CFileVirtualNodeManager& manager = CFileVirtualNodeManager::Instance();
        manager.SetSink(&sink);
        manager.AddFileSystemNode(root, nullptr, nullptr, true);
        while (manager.ProcessPending(kInfinite)) {
        }
        testutil::WaitForRows();
        // No scan runs: check clicks and refreshes count.
        container->Left()->PathTree()->SetBuildState(true);
        container->Left()->TypeTree()->SetBuildState(true);
    }
    void TearDown() override {
        CFileVirtualNodeManager::Instance().SetSink(nullptr);
        container->Left()->SelectTree(kTabPath);
        browser->ClearAll();
        browsertest::Free(root);
        CFileSelCtrl::DestroyInstance();
    }
    CBindingNode* Docs() const {
        CBindingNode* volume = (*CFileVirtualNodeManager::Instance().PathRoot()->GetChildren())[0];
        return (*volume->GetChildren())[0];
    }

    CFileSelCtrl* browser = nullptr;
    CFileSelCtrlContainer* container = nullptr;
    CFileSystemNode* root = nullptr;
    CFileNode* first = nullptr;
    browsertest::RecordingSink sink;
};

TEST_F(BrowserTreeControls, TheLeftViewHoldsAPathAndATypeTreeControl) {
    EXPECT_NE(qobject_cast<CFilePathTreeCtrl*>(container->Left()->PathTree()), nullptr);
    EXPECT_NE(qobject_cast<CFileTypeTreeCtrl*>(container->Left()->TypeTree()), nullptr);
    EXPECT_EQ(container->Left()->PathTree()->GetTreeKind(), kTreeKindPath);
    EXPECT_EQ(container->Left()->TypeTree()->GetTreeKind(), kTreeKindType);
}

TEST_F(BrowserTreeControls, CheckBoxesAreRecomputedWhenAskedOrPending) {
    CFileTreeCtrl* path = container->Left()->PathTree();
    CFileTreeCtrl* type = container->Left()->TypeTree();
    path->RefreshCheckImages(true);
    ASSERT_EQ(Docs()->GetCheckState(), kImageChecked);
    EXPECT_FALSE(path->IsRefreshPending());

    // A file unchecked behind the tree's back: a plain refresh reads the stored states.
    first->SetCheckState(kUnchecked);
    path->RefreshCheckImages(false);
    EXPECT_EQ(Docs()->GetCheckState(), kImageChecked);
    path->RefreshCheckImages(true);
    EXPECT_EQ(Docs()->GetCheckState(), kImagePartly);

    // A check click in the type tree leaves the path tree's refresh pending; that refresh
    // recomputes and clears it.
    first->SetCheckState(kChecked);
    type->RefreshCheckImages(false);  // its own items' arrival was pending
    ASSERT_FALSE(type->IsRefreshPending());
    CFileTreeModel* types = type->TreeModel();
    const QModelIndex typeRoot = types->index(0, 0);
    ASSERT_TRUE(typeRoot.isValid());
    ASSERT_TRUE(types->setData(typeRoot, Qt::Unchecked, Qt::CheckStateRole));
    EXPECT_TRUE(path->IsRefreshPending());
    EXPECT_FALSE(type->IsRefreshPending());
    path->RefreshCheckImages(false);
    EXPECT_FALSE(path->IsRefreshPending());
    EXPECT_EQ(Docs()->GetCheckState(), kImageUnchecked);

    // While a scan adds files the boxes are left alone, pending or not.
    path->SetRefreshPending();
    path->SetBuildState(false);
    first->SetCheckState(kChecked);
    path->RefreshCheckImages(true);
    EXPECT_TRUE(path->IsRefreshPending());
    EXPECT_EQ(Docs()->GetCheckState(), kImageUnchecked);
    path->SetBuildState(true);
}

TEST_F(BrowserTreeControls, NamesAreDrawnAgainAndAResetLeavesTheRootAlone) {
    CFileTreeCtrl* path = container->Left()->PathTree();
    CFileTreeModel* model = path->TreeModel();
    QSignalSpy changed(model, &QAbstractItemModel::dataChanged);
    path->RefreshNames();
    EXPECT_GE(changed.size(), 2) << "the root and its shown items";
    // The items go once their nodes did; the root stays.
    path->expand(model->index(0, 0));
    browser->ClearAll();
    path->ResetItems();
    EXPECT_EQ(model->rowCount(), 1);
    EXPECT_EQ(model->rowCount(model->index(0, 0)), 0);
}

TEST_F(BrowserTreeControls, UncheckingEverythingInTheTypeTabTellsThePageNothingIsChecked) {
    CWndLeftView* left = container->Left();
    browsertest::ClickTab(left->Tabs(), kTabType);
    ASSERT_EQ(left->CurrentTree(), left->TypeTree());
    CFileTreeCtrl* type = left->TypeTree();
    CFileTreeModel* model = type->TreeModel();
    const QModelIndex typeRoot = model->index(0, 0);
    ASSERT_GE(model->rowCount(typeRoot), 2) << "the text and picture categories";

    // The whole root off, then on again.
    browsertest::ClickCheckBox(type, typeRoot);
    ASSERT_EQ(CFileTreeModel::NodeOf(typeRoot)->GetCheckState(), kImageUnchecked);
    EXPECT_FALSE(sink.lastChecked) << "nothing is checked: Recover has nothing to do";
    browsertest::ClickCheckBox(type, typeRoot);
    EXPECT_TRUE(sink.lastChecked);

    // Every category off, one by one: the last one leaves nothing checked.
    const int categories = model->rowCount(typeRoot);
    for (int row = 0; row < categories; ++row) {
        const QModelIndex category = model->index(row, 0, typeRoot);
        ASSERT_EQ(CFileTreeModel::NodeOf(category)->GetCheckState(), kImageChecked) << row;
        const int reports = sink.checkReports;
        browsertest::ClickCheckBox(type, category);
        ASSERT_EQ(CFileTreeModel::NodeOf(category)->GetCheckState(), kImageUnchecked) << row;
        EXPECT_GT(sink.checkReports, reports) << row;
        EXPECT_EQ(sink.lastChecked, row + 1 < categories) << "after category " << row;
    }
}

// A click on a check image, even at its edge and twice quickly, only checks: nothing chosen, opened or listed.
TEST_F(BrowserTreeControls, AClickOnACheckImageNeitherChoosesNorOpensTheItem) {
    CFileTreeCtrl* path = container->Left()->PathTree();
    CFileTreeModel* model = path->TreeModel();
    path->SelectNodeItem(Docs()->GetParent());
    testutil::WaitForRows();
    const QModelIndex volume = model->IndexOf(Docs()->GetParent());
    if (model->canFetchMore(volume)) model->fetchMore(volume);
    path->expand(volume);
    const QModelIndex docs = model->IndexOf(Docs());
    const QRect image = SkinCheckImageRect(browsertest::CheckBoxOf(path, docs));  // overhangs the style's box
    const QPoint edge(image.left(), image.center().y());
    QTest::mouseClick(path->viewport(), Qt::LeftButton, {}, edge);
    EXPECT_EQ(Docs()->GetCheckState(), kImageUnchecked);
    QTest::mouseDClick(path->viewport(), Qt::LeftButton, {}, edge);
    testutil::WaitForRows();
    EXPECT_EQ(path->currentIndex(), volume) << "the item was chosen";
    EXPECT_FALSE(path->isExpanded(docs)) << "the item was opened";
    EXPECT_EQ(CFileVirtualNodeManager::Instance().CurrentFolder(), Docs()->GetParent()) << "the item was listed";
}

// A scan hands entries over last made first: the path tree shows folders (and volumes) in the order
// they were made, newest volume first; the list keeps their arrival.
TEST(BrowserPathTreeOrder, EachFolderAndVolumeComesAboveThoseBeforeIt) {
    CFileSelCtrl* browser = testutil::OpenEmptyBrowser();
    CFileTreeCtrl* tree = browser->Container()->Left()->PathTree();
    CFileVirtualNodeManager& manager = CFileVirtualNodeManager::Instance();
    CFileSystemNode* volumes[] = {browsertest::Root(), browsertest::Root(7)};
    for (CFileSystemNode* volume : volumes) {
        for (const char* name : {"Alpha", "Beta", "Gamma"}) browsertest::Add(volume, name, true);
        manager.AddFileSystemNode(volume, nullptr, nullptr, true);
    }
    while (manager.ProcessPending(kInfinite)) continue;
    CFileTreeModel* model = tree->TreeModel();
    const QModelIndex root = model->index(0, 0);
    EXPECT_EQ(CFileTreeModel::NodeOf(model->index(0, 0, root))->GetFileNode(), volumes[1]) << "the newer volume first";
    for (int row = 0; row < 2; ++row) {
        const QModelIndex volume = model->index(row, 0, root);
        tree->SelectNodeItem(CFileTreeModel::NodeOf(volume));
        testutil::WaitForRows();
        if (model->canFetchMore(volume)) model->fetchMore(volume);
        std::vector<std::string> shown, listed;
        for (int r = 0; r < model->rowCount(volume); ++r) shown.push_back(CFileTreeModel::NodeOf(model->index(r, 0, volume))->GetName());
        for (int r = 0; r < CFileListData::FolderModel().GetCount(); ++r)
            listed.push_back(RefHolder<FileList_Item>(CFileListData::FolderModel().GetItem(r))->name);
        EXPECT_EQ(shown, (std::vector<std::string>{"Alpha", "Beta", "Gamma"})) << "volume " << row;
        EXPECT_EQ(listed, (std::vector<std::string>{"Gamma", "Beta", "Alpha"})) << "volume " << row;
    }
    browser->ClearAll();
    for (CFileSystemNode* volume : volumes) browsertest::Free(volume);
}

TEST_F(BrowserTreeControls, BehindAModalDialogTheTreeStaysReadable) {
    CFileTreeCtrl* path = container->Left()->PathTree();
    CFileTreeModel* model = path->TreeModel();
    const QModelIndex volume = model->index(0, 0, model->index(0, 0));
    ASSERT_TRUE(volume.isValid());
    path->expand(model->index(0, 0));
    path->expand(volume);
    // The focus frame leaves with the focus when the window is disabled: compare without it.
    container->Right()->Details()->setFocus();
    QApplication::processEvents();
    const QImage enabled = path->viewport()->grab().toImage();
    {
        // What a preview does while its dialog is up: the main window is disabled behind it.
        container->activateWindow();
        QApplication::setActiveWindow(container);
        CUIWaitProc behindDialog;
        ASSERT_FALSE(path->isEnabled()) << "the window behind the dialog is disabled";
        QApplication::processEvents();
        const QImage disabled = path->viewport()->grab().toImage();
        ASSERT_EQ(disabled.size(), enabled.size());
        // Labels, pictures, boxes and the white ground look as they did.
        EXPECT_TRUE(disabled == enabled) << "the disabled tree is drawn differently";
        ASSERT_TRUE(container->grab().save(QString::fromStdString(browsertest::ScreenshotPath("browser-tree-behind-dialog-en.png"))));
    }
    EXPECT_TRUE(path->isEnabled());
}

TEST_F(BrowserTreeControls, AnEmptyTreesRootBoxTakesNoClickAndANewTreeWaitsForTheScansEnd) {
    CWndLeftView* left = container->Left();
    // Every tree emptied, no scan running: no root box has anything to check.
    browser->ClearAll();
    browser->SetBuildState(false);
    for (u32 tab : {kTabType, kTabPath}) {
        browsertest::ClickTab(left->Tabs(), tab);
        CFileTreeCtrl* tree = left->CurrentTree();
        CFileTreeModel* model = tree->TreeModel();
        const QModelIndex treeRoot = model->index(0, 0);
        ASSERT_EQ(model->rowCount(treeRoot), 0) << tab;
        const u32 before = CFileTreeModel::NodeOf(treeRoot)->GetCheckState();
        const int reports = sink.checkReports;
        browsertest::ClickCheckBox(tree, treeRoot);
        EXPECT_EQ(CFileTreeModel::NodeOf(treeRoot)->GetCheckState(), before) << "tab " << tab;
        EXPECT_EQ(sink.checkReports, reports) << "tab " << tab << ": the page was told of a check";
    }
    // A tree window made anew takes no check clicks until told that no scan runs.
    {
        CFileTypeTreeCtrl fresh(nullptr);
        EXPECT_FALSE(fresh.TreeModel()->IsIdle());
        EXPECT_FALSE(fresh.TreeModel()->flags(fresh.TreeModel()->index(0, 0)) & Qt::ItemIsUserCheckable);
    }
    // The shown tree registers again: the fresh window took its place with the manager.
    left->TypeTree()->InitTree();
}

}  // namespace
