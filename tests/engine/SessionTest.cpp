// The scan session: its threads, the pause protocol, stop and release of a running scan, the
// counts its detour keeps, and the finish message. The controllers here are synthetic: one that
// keeps asking IProgress::Continued until it is told to stop, and one that ends at once.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <chrono>
#include <thread>

#include "TreeBuilderTestFeed.h"
#include "devices/ScanOptions.h"
#include "devices/VolumeRecord.h"
#include "engine/DetourTree.h"
#include "engine/HeadlessSinks.h"
#include "engine/RecoveryController.h"
#include "engine/RecoveryGraph.h"
#include "platform/Time.h"

namespace {

// What the synthetic controllers of one test did.
struct Journal {
    std::atomic<int> made{0};
    std::atomic<int> runs{0};
    std::atomic<int> running{0};
    std::atomic<u64> loops{0};
    std::atomic<int> stops{0};
    std::atomic<int> released{0};
    std::atomic<int> releasedWhileRunning{0};
    std::atomic<u64> lastRunStart{0};
    bool blocking = true;
    u32 initializeAnswer = 1;
    bool makeNone = false;
    std::string lastName;
    u32 lastFsCode = 0;
};
Journal* g_journal = nullptr;

class SyntheticController : public IRecoveryController {
public:
    explicit SyntheticController(Journal* j) : m_j(j) { ++m_j->made; }
    u32 GetType() override { return 0; }
    u32 Initialize(IRecoveryFilter* filter) override { return filter ? m_j->initializeAnswer : 0; }
    u32 Run(IStorageDevice*, IProgress* progress, IDirectoryTree* consumer, const char* name, u32) override {
        ++m_j->running;
        ++m_j->runs;
        m_j->lastRunStart = GetTickCount64Ms();
        m_j->lastName = name ? name : "";
        // A tree for the session to keep; the controller owns it, as a real one does.
        m_root = feed::Root(3, 5, "NTFS");
        m_root->AddChild(feed::File(40, 5, "a.txt", true, 1000));
        consumer->AddFileSystemNode(m_root, false);
        while (m_j->blocking && m_stop.load() == 0) {
            if (!progress->Continued()) break;
            ++m_j->loops;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        --m_j->running;
        return 0;
    }
    void Release() override {
        if (m_j->running.load() != 0) ++m_j->releasedWhileRunning;
        ++m_j->released;
        delete this;
    }
    void SetFileSystem(u32 code, const char*) override { m_j->lastFsCode = code; }
    u32 GetFileSource(CFileNode*, u64&, u32&) override { return 0; }
    void Stop() override {
        ++m_j->stops;
        m_stop = 1;
    }
    ~SyntheticController() override {
        if (m_root) {
            DestroyTreeNode(m_root->GetFirstChild());
            DestroyTreeNode(m_root);
        }
    }

private:
    Journal* m_j;
    CFileSystemNode* m_root = nullptr;
    std::atomic<u32> m_stop{0};
};

IRecoveryController* MakeSynthetic(u32) {
    if (g_journal->makeNone) return nullptr;
    return new SyntheticController(g_journal);
}

template <class Pred>
bool WaitUntil(Pred pred, u32 ms = 10000) {
    const u64 start = GetTickCount64Ms();
    while (!pred()) {
        if (GetTickCount64Ms() - start > ms) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

class SessionTest : public ::testing::Test {
protected:
    void SetUp() override {
        g_journal = &journal;
        headless::TakeMessages();
        record.device = &device;
        record.fsCode = kFsNtfs;
        record.SetLabel("Data");
        session.SelectVolume(-1, nullptr);
        session.SelectVolume(3, &record);
        session.SetControllerFactory(&MakeSynthetic);
        session.SetProgress(&progress, &progress, progress.GetWindow());
        session.SetDirectoryTree(&view);
        session.SetStopRequested(0);
        progress.DoStart();
    }
    void TearDown() override {
        session.ReleaseController(true);
        EXPECT_FALSE(session.IsScanRunning());
        session.SetControllerFactory(nullptr);
        session.SetProgress(nullptr, nullptr, nullptr);
        session.SetDirectoryTree(nullptr);
        session.SelectVolume(-1, nullptr);
        EXPECT_EQ(journal.releasedWhileRunning.load(), 0);
        g_journal = nullptr;
    }

    RecoveryGraph& session = RecoveryGraph::Instance();
    Journal journal;
    feed::MemoryDevice device{64};
    VolumeRecord record;
    CHeadlessProgress progress;
    CHeadlessDirectoryTree view;
};

TEST_F(SessionTest, PauseResumeAndStopReachARunningScan) {
    ASSERT_EQ(session.DoScan(kScanModeDeleted), 0);
    ASSERT_TRUE(WaitUntil([&] { return journal.loops.load() > 5; }));
    EXPECT_EQ(journal.lastName, "Data (*:NTFS)");
    EXPECT_EQ(journal.lastFsCode, kFsNtfs);

    // The session pauses a running scan: the controller blocks inside Continued.
    EXPECT_EQ(session.PauseScan(true), 0);
    EXPECT_EQ(progress.GetState(), kProgressPaused);
    EXPECT_EQ(session.GetPausedBySession(), 1u);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const u64 held = journal.loops.load();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_LE(journal.loops.load(), held + 1);

    EXPECT_EQ(session.PauseScan(false), 0);
    EXPECT_EQ(progress.GetState(), kProgressRunning);
    ASSERT_TRUE(WaitUntil([&] { return journal.loops.load() > held + 5; }));

    // A pause the user made is not lifted by the session.
    progress.DoPause();
    EXPECT_EQ(session.PauseScan(false), 0);
    EXPECT_EQ(progress.GetState(), kProgressPaused);
    progress.DoContinue();

    // Stop reaches the controller and the sink; the scan finishes and says so.
    EXPECT_EQ(session.StopScan(), 0);
    EXPECT_GE(journal.stops.load(), 1);
    EXPECT_TRUE(progress.WaitForFinish(15000));
    EXPECT_EQ(journal.running.load(), 0);
    EXPECT_EQ(GetCurrentRecoveryController(), session.GetController());
}

TEST_F(SessionTest, StopWakesAPausedScan) {
    ASSERT_EQ(session.DoScan(kScanModeDeleted), 0);
    ASSERT_TRUE(WaitUntil([&] { return journal.loops.load() > 2; }));
    progress.DoPause();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(session.StopScan(), 0);
    EXPECT_TRUE(WaitUntil([&] { return journal.running.load() == 0; }, 2000));
    EXPECT_EQ(progress.GetState(), kProgressStopped);
    EXPECT_EQ(GetScanOptions().GetStopRequested(), 1u);
}

TEST_F(SessionTest, ReleasingAPausedScanEndsItBeforeFreeingIt) {
    ASSERT_EQ(session.DoScan(kScanModeDeleted), 0);
    ASSERT_TRUE(WaitUntil([&] { return journal.loops.load() > 2; }));
    ASSERT_EQ(session.PauseScan(true), 0);
    const u64 start = GetTickCount64Ms();
    EXPECT_EQ(session.ReleaseController(true), 0);
    EXPECT_LT(GetTickCount64Ms() - start, 5000u);
    EXPECT_EQ(journal.released.load(), 1);
    EXPECT_EQ(journal.releasedWhileRunning.load(), 0);
    EXPECT_EQ(session.GetController(), nullptr);
    EXPECT_TRUE(session.GetTreeRoots().empty());
    // The thread ends on its own (its tail may still be counting an empty list).
    EXPECT_TRUE(WaitUntil([&] { return !session.IsScanRunning(); }, 8000));
}

TEST_F(SessionTest, RescanReleasesThePreviousScanWithoutStalling) {
    journal.blocking = false;
    const u64 first = GetTickCount64Ms();
    ASSERT_EQ(session.DoScan(kScanModeDeleted), 0);
    ASSERT_TRUE(progress.WaitForFinish(15000));
    // A short scan holds its finish message back for three seconds.
    EXPECT_GE(GetTickCount64Ms() - first, 2900u);
    EXPECT_EQ(session.GetTreeRoots().size(), 1u);
    EXPECT_EQ(session.GetCheckedFileCount(), 1u);
    EXPECT_EQ(session.GetCheckedBytes(), 1000u);
    IRecoveryController* previous = session.GetController();
    ASSERT_NE(previous, nullptr);

    progress.DoStart();
    const u64 again = GetTickCount64Ms();
    ASSERT_EQ(session.DoScan(kScanModeDeleted), 0);
    ASSERT_TRUE(WaitUntil([&] { return journal.runs.load() == 2; }));
    // The new scan thread released the old controller without waiting on itself.
    EXPECT_LT(journal.lastRunStart.load() - again, 2000u);
    EXPECT_EQ(journal.released.load(), 1);
    ASSERT_TRUE(progress.WaitForFinish(15000));
    EXPECT_EQ(session.GetTreeRoots().size(), 1u);
    EXPECT_NE(session.GetController(), nullptr);
}

TEST_F(SessionTest, NoControllerOrRefusedInitializeEndsWithoutFinish) {
    journal.makeNone = true;
    ASSERT_EQ(session.DoScan(kScanModeDeleted), 0);
    EXPECT_TRUE(WaitUntil([&] { return !session.IsScanRunning(); }));
    EXPECT_FALSE(progress.WaitForFinish(200));

    journal.makeNone = false;
    journal.initializeAnswer = 0;
    ASSERT_EQ(session.DoScan(kScanModeDeleted), 0);
    EXPECT_TRUE(WaitUntil([&] { return !session.IsScanRunning(); }));
    EXPECT_FALSE(progress.WaitForFinish(200));
    EXPECT_EQ(journal.made.load(), 1);
    EXPECT_EQ(journal.released.load(), 1);
    EXPECT_EQ(journal.runs.load(), 0);
    EXPECT_EQ(session.GetController(), nullptr);
}

TEST_F(SessionTest, ClosingTheMainWindowSkipsTheFinishMessage) {
    journal.blocking = false;
    session.SetStopRequested(1);
    ASSERT_EQ(session.DoScan(kScanModeDeleted), 0);
    EXPECT_TRUE(WaitUntil([&] { return !session.IsScanRunning(); }, 15000));
    EXPECT_FALSE(progress.WaitForFinish(100));
}

TEST_F(SessionTest, RestoredModeStartsNothing) {
    EXPECT_EQ(session.DoScan(kScanModeRestored), 0);
    EXPECT_FALSE(session.IsScanRunning());
    EXPECT_EQ(session.GetScanMode(), kScanModeRestored);
    // Restored trees are the session's to free.
    CFileSystemNode* root = feed::Root(3, 5);
    CFileNode* folder = feed::Folder(30, 5, "d");
    root->AddChild(folder);
    folder->AddChild(feed::File(40, 30, "f"));
    EXPECT_EQ(session.AddFileSystemTree(root), 0);
    EXPECT_EQ(session.ReleaseController(true), 0);  // ASan reports a leak or double free here
    EXPECT_TRUE(session.GetTreeRoots().empty());

    // A restored result is also freed by the release at the start of the next scan, whose mode
    // is no longer 4 by then.
    session.DoScan(kScanModeRestored);
    CFileSystemNode* again = feed::Root(3, 5);
    again->AddChild(feed::File(40, 5, "f"));
    session.AddFileSystemTree(again);
    journal.blocking = false;
    ASSERT_EQ(session.DoScan(kScanModeDeleted), 0);
    ASSERT_TRUE(progress.WaitForFinish(15000));
    const std::vector<CFileSystemNode*> roots = session.GetTreeRoots();
    ASSERT_EQ(roots.size(), 1u);
    // The one root is the new scan's (its file is "a.txt"), not the restored one, which may have
    // left its address to it; LeakSanitizer reports the restored tree if it was dropped.
    ASSERT_NE(roots[0]->GetFirstChild(), nullptr);
    ASSERT_NE(roots[0]->GetFirstChild()->GetFileProperties(), nullptr);
    EXPECT_STREQ(roots[0]->GetFirstChild()->GetFileProperties()->GetName(), "a.txt");
}

// The detour's counting, without any thread.
TEST_F(SessionTest, DetourCountsFoundAndCheckedFiles) {
    session.DoScan(kScanModeRestored);  // counters zeroed, no thread
    RecoveryGraph::DetourTree& detour = session.GetDetour();
    detour.SetView(nullptr);
    CFileSystemNode* root = feed::Root(3, 5);
    CFileNode* big = feed::File(41, 5, "big", true, 0x80000000ULL);
    CFileNode* bigger = feed::File(42, 5, "bigger", true, 0x80000001ULL);
    CFileNode* dir = feed::Folder(30, 5, "dir", true);
    root->AddChild(big);
    root->AddChild(bigger);
    root->AddChild(dir);

    // Without a view nothing is forwarded or kept, but found files are counted.
    detour.AddFileSystemNode(root, false);
    EXPECT_TRUE(session.GetTreeRoots().empty());
    detour.OnFileFound(big);
    detour.OnFileFound(bigger);
    detour.OnFileFound(dir);
    EXPECT_EQ(session.GetFoundFileCount(), 2u);
    EXPECT_EQ(session.GetFoundFileBytes(), 0x80000000ULL);

    detour.SetView(&view);
    detour.AddFileSystemNode(root, false);
    detour.AddFileSystemNode(root, false);
    EXPECT_EQ(session.GetTreeRoots().size(), 1u);
    EXPECT_EQ(view.Roots().size(), 1u);
    EXPECT_EQ(session.GetCheckedFileCount(), 4u);  // both passes counted the two files

    // AddNodes counts only in the deleted-file mode.
    detour.AddNodes({big, dir}, 0);
    EXPECT_EQ(session.GetCheckedFileCount(), 4u);

    // A cancelled count stops the callback.
    session.SetCancelCount(1);
    EXPECT_FALSE(RecoveryGraph::CountCheckedFile(big, &detour));
    EXPECT_TRUE(RecoveryGraph::CountCheckedFile(dir, &detour));
    EXPECT_FALSE(RecoveryGraph::CountCheckedFile(nullptr, &detour));
    EXPECT_FALSE(RecoveryGraph::CountCheckedFile(big, nullptr));
    session.SetCancelCount(0);

    EXPECT_EQ(session.AddFileSystemTree(nullptr), -1);
    CFileSystemNode* odd = feed::Root(10, 5);
    EXPECT_EQ(session.AddFileSystemTree(odd), -1);
    detour.RemoveFileSystemNode(root);
    EXPECT_TRUE(session.GetTreeRoots().empty());
    EXPECT_TRUE(view.Roots().empty());
    detour.SetView(nullptr);
    for (CFileNode* n : {big, bigger, dir}) DestroyTreeNode(n);
    DestroyTreeNode(root);
    DestroyTreeNode(odd);
}

// Sizes come from the disk: found and checked bytes of trees whose files state more than 2^64
// bytes together stay at their largest instead of wrapping to a small number.
TEST_F(SessionTest, TotalsOfTheTreesSaturate) {
    session.DoScan(kScanModeRestored);  // counters zeroed, no thread
    constexpr u64 kHalfOfAll = u64(1) << 63;
    CFileSystemNode* roots[] = {feed::Root(3, 5), feed::Root(3, 5)};
    for (CFileSystemNode* root : roots) {
        root->AddChild(feed::File(41, 5, "huge", true, kHalfOfAll));
        ASSERT_EQ(session.AddFileSystemTree(root), 0);
    }
    session.CountFoundFilesFromTrees();
    EXPECT_EQ(session.GetFoundFileCount(), 2u);
    EXPECT_EQ(session.GetFoundFileBytes(), ~u64(0));
    session.DoReCaculateCheckedFileInfo();
    EXPECT_EQ(session.GetFoundFileBytes(), ~u64(0));
    EXPECT_EQ(session.GetCheckedBytes(), ~u64(0));
    for (CFileSystemNode* root : roots) {
        session.RemoveFileSystemTree(root);
        DestroyTreeNode(root->GetFirstChild());
        DestroyTreeNode(root);
    }
}

// A disk that goes away leaves nothing chosen, while what its scan found stays counted; clearing
// the choice (going home) forgets the counts too.
TEST_F(SessionTest, ALostDiskKeepsTheFoundCountsAndClearingTheChoiceDropsThem) {
    session.DoScan(kScanModeRestored);  // counters zeroed, no thread
    RecoveryGraph::DetourTree& detour = session.GetDetour();
    detour.SetView(nullptr);
    CFileNode* found[] = {feed::File(41, 5, "a", true, 100), feed::File(42, 5, "b", true, 200)};
    for (CFileNode* f : found) detour.OnFileFound(f);
    ASSERT_EQ(session.GetFoundFileCount(), 2u);
    ASSERT_NE(session.GetFirstVolume(), nullptr);

    session.ForgetLostVolumes();
    EXPECT_EQ(session.GetFirstVolume(), nullptr);
    EXPECT_EQ(session.GetNothingSelected(), 1u);
    EXPECT_EQ(session.GetFoundFileCount(), 2u);
    EXPECT_EQ(session.GetFoundFileBytes(), 300u);

    session.SelectVolume(-1, nullptr);
    EXPECT_EQ(session.GetFoundFileCount(), 0u);
    EXPECT_EQ(session.GetFoundFileBytes(), 0u);
    EXPECT_EQ(session.GetNothingSelected(), 1u);
    for (CFileNode* f : found) DestroyTreeNode(f);
}

TEST(SessionNames, DisplayNameOfAVolume) {
    VolumeRecord r;
    r.SetLabel("Data");
    r.fsCode = kFsExFat;
    EXPECT_EQ(ScanDisplayName(r), "Data (*:EXFAT)");
    r.fsCode = 8;
    EXPECT_EQ(ScanDisplayName(r), "Data (*:)");
    r.fsCode = kFsUnknown;
    r.driveLetter = 'E';
    EXPECT_EQ(ScanDisplayName(r), "Data (E:UNKONWN)");
    // A label that fills its field has no terminating zero in it; the name stops at the field.
    std::memset(r.label, 'x', sizeof(r.label));
    EXPECT_EQ(ScanDisplayName(r), std::string(sizeof(r.label), 'x') + " (E:UNKONWN)");
}

}  // namespace
