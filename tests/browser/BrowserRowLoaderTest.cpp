// The list's row loader and the thumbnail steering around it: opening a folder lists it on the
// loader thread while the UI thread keeps going, a newer folder abandons an older load, the
// thumbnail worker is held while rows change and paused on request, and a ready picture reaches
// the view as a notice for just its row.
#include <gtest/gtest.h>

#include <QApplication>
#include <QSignalSpy>
#include <algorithm>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "BrowserTestTree.h"
#include "EventRecorder.h"
#include "ListWait.h"
#include "browser/model/FileSelCtrl.h"
#include "browser/model/ListModel.h"
#include "browser/model/NodeManager.h"
#include "browser/model/UsageEvents.h"
#include "browser/views/Container.h"
#include "browser/views/PreviewEntry.h"
#include "engine/HeadlessSinks.h"
#include "engine/Progress.h"
#include "engine/RecoveryGraph.h"
#include "platform/Stats.h"
#include "platform/Sync.h"

using namespace FileSelCtrl;

namespace {

constexpr int kFilesA = 5000;  // more than one loader batch
constexpr int kFilesB = 7;

// Records how the list models steer the thumbnail worker.
class RecordingQueue : public IThumbnailQueue {
public:
    void Hold() override { calls.push_back("hold"); }
    void Resume() override { calls.push_back("resume"); }
    void ClearQueue() override { calls.push_back("clear"); }
    std::vector<std::string> calls;
};

class BrowserLoader : public ::testing::Test {
protected:
    void SetUp() override {
        browser = testutil::OpenEmptyBrowser();
        container = browser->Container();
        root = browsertest::Root();
        CFileNode* a = browsertest::Add(root, "A", true);
        CFileNode* b = browsertest::Add(root, "B", true);
        for (int i = 0; i < kFilesA; ++i) browsertest::Add(a, "a" + std::to_string(i) + ".txt", false, 10);
        for (int i = 0; i < kFilesB; ++i) browsertest::Add(b, "b" + std::to_string(i) + ".jpg", false, 10);
        CFileVirtualNodeManager& manager = CFileVirtualNodeManager::Instance();
        manager.AddFileSystemNode(root, nullptr, nullptr, true);
        while (manager.ProcessPending(kInfinite)) {
        }
        container->Right()->SetViewMode(true);
        QApplication::processEvents();
        testutil::WaitForRows();
    }
    void TearDown() override {
        browser->ClearAll();
        browsertest::Free(root);
        // The lists go back to having no view: later tests list folders without a window.
        CFileSelCtrl::DestroyInstance();
    }

    CBindingNode* Folder(const std::string& name) const {
        CBindingNode* volume = (*CFileVirtualNodeManager::Instance().PathRoot()->GetChildren())[0];
        for (CBindingNode* c : *volume->GetChildren()) {
            if (c->GetName() == name) return c;
        }
        return nullptr;
    }
    std::set<char> RowInitials() const {
        std::set<char> out;
        CFileListData& list = CFileListData::FolderModel();
        for (int r = 0; r < list.GetCount(); ++r) {
            RefHolder<FileList_Item> row(list.GetItem(r));
            out.insert(row->name.empty() ? '?' : row->name[0]);
        }
        return out;
    }
    CFileListQtModel* View() const { return container->Right()->Details()->ListModel(); }

    CFileSelCtrl* browser = nullptr;
    CFileSelCtrlContainer* container = nullptr;
    CFileSystemNode* root = nullptr;
};

TEST_F(BrowserLoader, AFolderIsListedOnTheLoaderThreadAndTheViewFollowsItsNotices) {
    CBindingNode* a = Folder("A");
    ASSERT_NE(a, nullptr);
    // The loader cannot read the tree while this (the UI) thread holds it: the open returns at
    // once, with nothing listed yet, and a drain on the UI thread would not wait either.
    CFileVirtualNodeManager& manager = CFileVirtualNodeManager::Instance();
    {
        std::lock_guard<std::recursive_timed_mutex> tree(manager.TreeLock());
        manager.ShowFolder(a);
        EXPECT_TRUE(CFileListData::FolderModel().IsLoading());
        EXPECT_EQ(CFileListData::FolderModel().GetCount(), 0);
        EXPECT_TRUE(CFileListData::FolderModel().Loader().IsRunning());
    }
    testutil::WaitForRows();
    EXPECT_FALSE(CFileListData::FolderModel().IsLoading());
    EXPECT_EQ(CFileListData::FolderModel().GetCount(), kFilesA);
    EXPECT_EQ(View()->rowCount(), kFilesA) << "the posted notices brought the view to the model's count";
    EXPECT_EQ(RowInitials(), std::set<char>{'a'});
    EXPECT_EQ(View()->HeaderCheck(), kImageChecked) << "the header box follows once the load ends";
}

TEST_F(BrowserLoader, OpeningAnotherFolderAbandonsTheRunningLoad) {
    CFileVirtualNodeManager& manager = CFileVirtualNodeManager::Instance();
    {
        // Both loads wait for the tree; the first is abandoned before it reads a row.
        std::lock_guard<std::recursive_timed_mutex> tree(manager.TreeLock());
        manager.ShowFolder(Folder("A"));
        manager.ShowFolder(Folder("B"));
    }
    testutil::WaitForRows();
    EXPECT_EQ(CFileListData::FolderModel().GetCount(), kFilesB);
    EXPECT_EQ(RowInitials(), std::set<char>{'b'});
    EXPECT_EQ(View()->rowCount(), kFilesB);

    // Abandoned in the middle: a large folder opened and at once left for a small one.
    manager.ShowFolder(Folder("A"));
    manager.ShowFolder(Folder("B"));
    testutil::WaitForRows();
    EXPECT_EQ(RowInitials(), std::set<char>{'b'});
    EXPECT_EQ(View()->rowCount(), kFilesB);
}

TEST_F(BrowserLoader, ASortChosenWhileRowsArriveCoversEveryRow) {
    CFileVirtualNodeManager& manager = CFileVirtualNodeManager::Instance();
    {
        std::lock_guard<std::recursive_timed_mutex> tree(manager.TreeLock());
        manager.ShowFolder(Folder("A"));
        View()->sort(kColumnName, Qt::DescendingOrder);
    }
    testutil::WaitForRows();
    CFileListData& list = CFileListData::FolderModel();
    ASSERT_EQ(list.GetCount(), kFilesA);
    for (int r = 1; r < list.GetCount(); ++r) {
        RefHolder<FileList_Item> before(list.GetItem(r - 1));
        RefHolder<FileList_Item> after(list.GetItem(r));
        ASSERT_GE(before->name, after->name) << "row " << r;
    }
}

TEST_F(BrowserLoader, TheThumbnailWorkerIsHeldWhileRowsLoadAndPausedOnRequest) {
    RecordingQueue queue;
    CFileListDataCache& cache = CFileListData::FolderModel().DataCache();
    cache.AttachWorker(&queue);
    CFileVirtualNodeManager::Instance().ShowFolder(Folder("B"));
    testutil::WaitForRows();
    const auto hold = std::find(queue.calls.begin(), queue.calls.end(), "hold");
    ASSERT_NE(hold, queue.calls.end()) << "the worker waits while the rows are made";
    EXPECT_EQ(std::count(queue.calls.begin(), hold, "resume"), 0);
    EXPECT_EQ(queue.calls.back(), "resume") << "the new rows' pictures are made once the load ends";
    EXPECT_FALSE(cache.IsHeld());

    queue.calls.clear();
    QSignalSpy empty(View(), &CFileListQtModel::checkEmpty);
    CFileListData::PauseLoading(true);
    EXPECT_TRUE(cache.IsPaused());
    EXPECT_EQ(queue.calls, std::vector<std::string>{"hold"});
    // A paused worker is not woken when a load ends, nor when one is abandoned.
    CFileVirtualNodeManager::Instance().ShowFolder(Folder("A"));
    CFileVirtualNodeManager::Instance().ShowFolder(Folder("B"));
    testutil::WaitForRows();
    EXPECT_TRUE(cache.IsPaused());
    EXPECT_EQ(std::count(queue.calls.begin(), queue.calls.end(), "resume"), 0);
    CFileListData::PauseLoading(false);
    EXPECT_FALSE(cache.IsPaused());
    EXPECT_EQ(queue.calls.back(), "resume");
    QApplication::sendPostedEvents();
    ASSERT_FALSE(empty.isEmpty()) << "resuming tells the pane whether the list has rows";
    EXPECT_TRUE(empty.last().at(0).toBool());
    cache.AttachWorker(nullptr);
}

TEST_F(BrowserLoader, AReadyPictureRedrawsItsRowOrReachesThePreviewPane) {
    CFileVirtualNodeManager::Instance().ShowFolder(Folder("B"));
    testutil::WaitForRows();
    CFileListData& list = CFileListData::FolderModel();
    RefHolder<FileList_Item> row(list.GetItem(3));
    ASSERT_TRUE(row);

    // The report view: the row itself is announced, for the pane to compare with its own.
    QSignalSpy ready(View(), &CFileListQtModel::rowPictureReady);
    list.NotifyRowChanged(row.get());
    QApplication::sendPostedEvents();
    ASSERT_EQ(ready.size(), 1);
    EXPECT_EQ(ready.at(0).at(0).value<quintptr>(), reinterpret_cast<quintptr>(row.get()));

    // The icon view: the row's drawn index is redrawn, and only that row.
    container->Right()->SetViewMode(false);
    QSignalSpy changed(View(), &QAbstractItemModel::dataChanged);
    row->drawnIndex = 3;
    list.NotifyRowChanged(row.get());
    QApplication::sendPostedEvents();
    ASSERT_EQ(changed.size(), 1);
    EXPECT_EQ(changed.at(0).at(0).toModelIndex().row(), 3);
    EXPECT_EQ(changed.at(0).at(1).toModelIndex().row(), 3);
    // A row not drawn since the last sort has nothing to redraw.
    row->drawnIndex = -1;
    list.NotifyRowChanged(row.get());
    QApplication::sendPostedEvents();
    EXPECT_EQ(changed.size(), 1);
    container->Right()->SetViewMode(true);
}

}  // namespace

// ---- pausing for a preview

namespace {

TEST(PreviewPause, OnlyARunningScanIsPausedAsTheSessionsAndOnlyThePreviewsOwnPauseIsLifted) {
    RecoveryGraph& session = RecoveryGraph::Instance();
    CHeadlessProgress progress;
    session.SetProgress(&progress, &progress, progress.GetWindow());
    const struct {
        bool running;
        bool userPaused;
        bool pausedForPreview;
        u32 stateAfter;
    } cases[] = {
        {true, false, true, kProgressRunning},   // paused for the preview, running again after
        {true, true, false, kProgressPaused},    // the user's pause stays
        {false, false, false, kProgressStopped}, // nothing runs: nothing to pause
    };
    for (const auto& c : cases) {
        progress.DoStop(false);
        if (c.running) progress.DoStart();
        if (c.userPaused) progress.DoPause();
        PauseScanForPreview();
        EXPECT_EQ(IsScanPausedForPreview(), c.pausedForPreview) << c.running << c.userPaused;
        // The pause is the session's: the strip reads it as such.
        EXPECT_EQ(session.GetPausedBySession(), c.pausedForPreview ? 1u : 0u);
        if (c.running) {
            EXPECT_EQ(progress.GetState(), kProgressPaused);
        }
        // The preview's warning strip spares a recovery from it the tip, until the preview ends.
        const u32 warned = c.pausedForPreview ? 1 : 0;
        session.SetSkipTip(warned);
        ResumeScanAfterPreview();
        EXPECT_FALSE(IsScanPausedForPreview());
        EXPECT_EQ(session.GetSkipTip(), 0u) << c.running << c.userPaused;
        EXPECT_EQ(progress.GetState(), c.stateAfter) << c.running << c.userPaused;
        // A second resume never continues a scan the preview did not pause.
        ResumeScanAfterPreview();
        EXPECT_EQ(progress.GetState(), c.stateAfter);
    }
    session.SetProgress(nullptr, nullptr, nullptr);
}

}  // namespace

// ---- usage events

namespace {

TEST(BrowserUsageEvents, ClicksBySortsAndTreesReachTheStatisticsSink) {
    const struct {
        u32 treeKind;
        bool scanRunning;
        u32 event;
    } clicks[] = {
        {kTreeKindPath, true, 8469}, {kTreeKindType, true, 8470}, {kTreeKindDate, true, 8471},
        {kTreeKindPath, false, 8472}, {kTreeKindType, false, 8473}, {kTreeKindDate, false, 8474},
    };
    for (const auto& c : clicks) EXPECT_EQ(ItemClickEvent(c.treeKind, c.scanRunning), c.event) << c.treeKind << c.scanRunning;

    testutil::EventRecorder stats;
    SetStatsFallbackSink(&stats);
    CFileListData& list = CFileListData::SearchModel();
    for (u32 column = kColumnName; column <= kColumnQuality; ++column) list.Sort(true, column);
    ReportItemClick(kTreeKindType);
    SetStatsFallbackSink(nullptr);
    StatsEvent(1);  // dropped: no sink any more
    // The quality column has no event of its own; no scan runs here.
    EXPECT_EQ(stats.events, (std::vector<u32>{8484, 8485, 8486, 8487, 8473}));
}

}  // namespace
