// The scan session's threads under awkward timings, each forced with gates rather than sleeps:
// rescans while the previous scan is still being torn down, a release racing the one a new scan
// thread makes, a scan that hands over a tree while it is being released, and the finish message
// of a scan that a newer one superseded. Also the headless sink's pause against its stop.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <memory>
#include <thread>
#include <vector>

#include "TestUtil.h"
#include "TreeBuilderTestFeed.h"
#include "devices/VolumeEnumerator.h"
#include "devices/VolumeRecord.h"
#include "engine/HeadlessSinks.h"
#include "engine/RecoveryController.h"
#include "engine/RecoveryGraph.h"
#include "platform/Sync.h"
#include "platform/Time.h"

namespace {

// What the controllers of one test do and did.
struct Script {
    Event runGate{true, true};      // Run waits here (deaf to Stop) before it returns
    Event releaseGate{true, true};  // Release waits here before it frees
    Event releaseEntered{true, false};
    bool loopUntilStopped = false;  // Run asks Continued until told to stop
    bool treeOnStop = false;        // the first Stop makes Run hand over a second tree first
    bool readAfterGate = false;     // Run reads the first sector of its device after the gate
    u32 readResult = 0;
    std::vector<u8> readBytes;
    Event stopSeen{true, false};
    Event treeHandedOver{true, false};
    std::atomic<int> made{0};
    std::atomic<int> runs{0};
    std::atomic<int> running{0};
    std::atomic<int> stops{0};
    std::atomic<int> released{0};
    std::atomic<int> releasedWhileRunning{0};
};
Script* g_script = nullptr;

class GatedController : public IRecoveryController {
public:
    explicit GatedController(Script* s) : m_s(s) { ++m_s->made; }
    ~GatedController() override {
        for (CFileSystemNode* root : m_roots) {
            DestroyTreeNode(root->GetFirstChild());
            DestroyTreeNode(root);
        }
    }
    u32 GetType() override { return 0; }
    u32 Initialize(IRecoveryFilter* filter) override { return filter ? 1 : 0; }
    u32 Run(IStorageDevice* device, IProgress* progress, IDirectoryTree* consumer, const char*, u32) override {
        ++m_s->running;
        ++m_s->runs;
        HandOver(consumer, 40);
        if (m_s->treeOnStop) {
            m_s->stopSeen.Wait(20000);
            HandOver(consumer, 41);
            m_s->treeHandedOver.Set();
        }
        while (m_s->loopUntilStopped && m_stop.load() == 0 && progress->Continued()) SleepMs(1);
        m_s->runGate.Wait(20000);
        if (m_s->readAfterGate) {
            m_s->readBytes.assign(device->GetSectorSize(), 0);
            m_s->readResult = device->Read(m_s->readBytes.data(), 0, 1);
        }
        --m_s->running;
        return 0;
    }
    void Release() override {
        m_s->releaseEntered.Set();
        m_s->releaseGate.Wait(20000);
        if (m_s->running.load() != 0) ++m_s->releasedWhileRunning;
        ++m_s->released;
        delete this;
    }
    void SetFileSystem(u32, const char*) override {}
    u32 GetFileSource(CFileNode*, u64&, u32&) override { return 0; }
    void Stop() override {
        m_stop = 1;
        if (++m_s->stops == 1 && m_s->treeOnStop) {
            m_s->stopSeen.Set();
            m_s->treeHandedOver.Wait(20000);
        }
    }

private:
    void HandOver(IDirectoryTree* consumer, u64 record) {
        CFileSystemNode* root = feed::Root(3, 5, "NTFS");
        root->AddChild(feed::File(record, 5, "a.txt", true, 1000));
        m_roots.push_back(root);
        consumer->AddFileSystemNode(root, false);
    }

    Script* m_s;
    std::vector<CFileSystemNode*> m_roots;
    std::atomic<u32> m_stop{0};
};

IRecoveryController* MakeGated(u32) { return new GatedController(g_script); }

template <class Pred>
bool WaitUntil(Pred pred, u32 ms = 15000) {
    const u64 start = GetTickCount64Ms();
    while (!pred()) {
        if (GetTickCount64Ms() - start > ms) return false;
        SleepMs(2);
    }
    return true;
}

class SessionThreadsTest : public ::testing::Test {
protected:
    void SetUp() override {
        g_script = &script;
        headless::TakeMessages();
        record.device = &device;
        record.fsCode = kFsNtfs;
        record.SetLabel("Data");
        session.SelectVolume(-1, nullptr);
        session.SelectVolume(0, &record);
        session.SetControllerFactory(&MakeGated);
        session.SetProgress(&progress, &progress, progress.GetWindow());
        session.SetDirectoryTree(&view);
        session.SetStopRequested(0);
        // Reaching DoScan's time-out must not take ten seconds here.
        session.SetThreadWaitMs(300);
        SetCurrentRecoveryController(nullptr);
        progress.DoStart();
    }
    void TearDown() override {
        script.runGate.Set();
        script.releaseGate.Set();
        session.ReleaseController(true);
        EXPECT_FALSE(session.IsScanRunning());
        EXPECT_EQ(script.released.load(), script.made.load());
        EXPECT_EQ(script.releasedWhileRunning.load(), 0);
        session.SetThreadWaitMs(10000);
        session.SetControllerFactory(nullptr);
        session.SetProgress(nullptr, nullptr, nullptr);
        session.SetDirectoryTree(nullptr);
        session.SelectVolume(-1, nullptr);
        g_script = nullptr;
    }

    RecoveryGraph& session = RecoveryGraph::Instance();
    Script script;
    feed::MemoryDevice device{64};
    VolumeRecord record;
    CHeadlessProgress progress;
    CHeadlessDirectoryTree view;
};

// Scan 2 is still releasing scan 1's controller when scan 3 is asked for and DoScan's wait runs
// out: scans 2 and 3 are both in their start at once. Each used to wait for every other scan
// thread, so they waited for each other for good (and the program could not even exit).
TEST_F(SessionThreadsTest, RescansDuringATeardownDoNotWaitForEachOther) {
    ASSERT_EQ(session.DoScan(kScanModeDeleted), 0);
    ASSERT_TRUE(progress.WaitForFinish(15000));
    ASSERT_TRUE(WaitUntil([&] { return !session.IsScanRunning(); }));

    script.releaseGate.Reset();
    progress.DoStart();
    ASSERT_EQ(session.DoScan(kScanModeDeleted), 0);
    ASSERT_EQ(script.releaseEntered.Wait(10000), kWaitObject0);  // scan 2 is freeing scan 1's
    ASSERT_EQ(session.DoScan(kScanModeDeleted), 0);              // its wait for scan 2 runs out
    script.releaseGate.Set();

    ASSERT_TRUE(WaitUntil([&] { return script.runs.load() == 2; }));
    ASSERT_TRUE(WaitUntil([&] { return !session.IsScanRunning(); }));
    // Scan 2 was superseded before it made a controller; scan 3 ran.
    EXPECT_EQ(script.made.load(), 2);
    EXPECT_EQ(script.released.load(), 1);
    EXPECT_NE(session.GetController(), nullptr);
}

// A new scan thread is releasing the old scan's controller (waiting for the old scan, which does
// not react to its stop) when the page releases the session too: the controller is freed once.
TEST_F(SessionThreadsTest, ARaceOfTwoReleasesFreesTheControllerOnce) {
    script.runGate.Reset();
    ASSERT_EQ(session.DoScan(kScanModeDeleted), 0);
    ASSERT_TRUE(WaitUntil([&] { return script.running.load() == 1; }));
    // DoScan stops the old controller, waits 300 ms in vain, and the new thread's release stops
    // it again before it waits for the old scan.
    ASSERT_EQ(session.DoScan(kScanModeDeleted), 0);
    ASSERT_TRUE(WaitUntil([&] { return script.stops.load() >= 2; }));
    EXPECT_EQ(session.ReleaseController(false), 0);
    script.runGate.Set();

    ASSERT_TRUE(WaitUntil([&] { return script.released.load() >= 1 && !session.IsScanRunning(); }));
    SleepMs(50);  // a second release of the same controller would have come by now
    EXPECT_EQ(script.released.load(), 1);
    EXPECT_EQ(script.made.load(), 2);
}

// The release takes the session's trees while the scan hands over one more (its stop makes the
// controller finish a tree). That late root must not stay in the session's list once its
// controller, which frees it, is gone.
TEST_F(SessionThreadsTest, ATreeHandedOverDuringTheReleaseIsNotKept) {
    script.treeOnStop = true;
    ASSERT_EQ(session.DoScan(kScanModeDeleted), 0);
    ASSERT_TRUE(WaitUntil([&] { return session.GetTreeRoots().size() == 1; }));
    EXPECT_EQ(session.ReleaseController(true), 0);
    EXPECT_EQ(script.released.load(), 1);
    EXPECT_TRUE(session.GetTreeRoots().empty());  // anything here now points into freed memory
    EXPECT_EQ(view.Roots().size(), 1u);           // the late tree never reached the view either
}

// A preview's copy reads a found node on a thread of its own: going home meanwhile must not free
// the trees under it, only once the copy has let go.
TEST_F(SessionThreadsTest, AReleaseWaitsForTheReadersOfTheFoundTrees) {
    ASSERT_EQ(session.DoScan(kScanModeDeleted), 0);
    ASSERT_TRUE(WaitUntil([&] { return !session.IsScanRunning(); }));
    ScanThreads::TreeReader reader = session.HoldTrees();
    EXPECT_EQ(session.ReleaseController(false), 0);
    SleepMs(100);
    EXPECT_EQ(script.released.load(), 0);
    reader.Reset();
    EXPECT_TRUE(WaitUntil([&] { return script.released.load() == 1; }));
}

// A scan in its last seconds (past its controllers, before its finish message) when the next
// scan starts must not post its finish: the progress page would take it for the new scan's.
TEST_F(SessionThreadsTest, ASupersededScanPostsNoFinishMessage) {
    ASSERT_EQ(session.DoScan(kScanModeDeleted), 0);
    ASSERT_TRUE(WaitUntil([&] { return GetCurrentRecoveryController() != nullptr; }));
    ASSERT_TRUE(session.IsScanRunning());  // in the pause before its finish message

    script.loopUntilStopped = true;
    ASSERT_EQ(session.DoScan(kScanModeDeleted), 0);
    ASSERT_TRUE(WaitUntil([&] { return script.runs.load() == 2; }));  // the old scan has ended
    EXPECT_FALSE(progress.WaitForFinish(200));

    EXPECT_EQ(session.StopScan(), 0);
    EXPECT_TRUE(progress.WaitForFinish(15000));
    EXPECT_TRUE(WaitUntil([&] { return !session.IsScanRunning(); }));
}

// A pause racing a stop (the session's PauseScan against a release's stop) must not leave the
// sink paused with its stop lost: the scan would block in Continued for good.
TEST(HeadlessProgressTest, APauseAfterAStopDoesNotReviveTheScan) {
    CHeadlessProgress progress;
    progress.DoStart();
    progress.DoStop(false);
    progress.DoPause();
    EXPECT_EQ(progress.GetState(), kProgressStopped);
    std::atomic<bool> returned{false};
    std::atomic<u32> answer{1};
    std::thread scan([&] {
        answer = progress.Continued();
        returned = true;
    });
    EXPECT_TRUE(WaitUntil([&] { return returned.load(); }, 2000));
    progress.DoStop(false);  // frees the thread if it did block
    scan.join();
    EXPECT_EQ(answer.load(), 0u);
    progress.DoContinue();
    EXPECT_EQ(progress.GetState(), kProgressStopped);

    progress.DoStart();
    progress.DoPause();
    EXPECT_EQ(progress.GetState(), kProgressPaused);
    progress.DoContinue();
    EXPECT_EQ(progress.GetState(), kProgressRunning);
}

// The place page refreshes the enumeration (a device change will too) while a scan runs on one of
// its volumes, and the page has dropped its choice meanwhile. The refresh publishes new lists
// over other disks; the scanned volume, its device and its disk stay alive and readable until the
// scan lets them go, and are freed then.
TEST_F(SessionThreadsTest, ARefreshDuringAScanLeavesTheScannedVolumeAlive) {
    struct DiskTable {
        explicit DiskTable(const std::string& list) { ::setenv("MORVENDA_DISKS", list.c_str(), 1); }
        ~DiskTable() { ::unsetenv("MORVENDA_DISKS"); }
    } table(testutil::FixturePath("mbr-disk.img"));
    EnumCollectPartition enumeration;
    ASSERT_TRUE(enumeration.EnumThread());
    ASSERT_FALSE(enumeration.Volumes().empty());
    std::shared_ptr<VolumeRecord> held = enumeration.Hold(enumeration.Volumes()[0]);
    ASSERT_TRUE(held);
    EXPECT_EQ(enumeration.Hold(&record), nullptr);  // not one of the enumeration's records
    std::vector<u8> expected(held->device->GetSectorSize());
    ASSERT_EQ(held->device->Read(expected.data(), 0, 1), 1u);
    const std::weak_ptr<VolumeRecord> watch = held;

    session.SelectVolume(-1, nullptr);
    session.SelectVolume(0, std::move(held));
    script.readAfterGate = true;
    script.runGate.Reset();
    ASSERT_EQ(session.DoScan(kScanModeDeleted), 0);
    ASSERT_TRUE(WaitUntil([&] { return script.running.load() == 1; }));
    session.SelectVolume(-1, nullptr);
    ::setenv("MORVENDA_DISKS", testutil::FixturePath("gpt-disk.img").c_str(), 1);
    ASSERT_TRUE(enumeration.EnumThread());
    EXPECT_FALSE(watch.expired());

    script.runGate.Set();
    ASSERT_TRUE(WaitUntil([&] { return !session.IsScanRunning(); }));
    EXPECT_EQ(script.readResult, 1u);
    EXPECT_EQ(script.readBytes, expected);
    EXPECT_TRUE(watch.expired());
}

}  // namespace
