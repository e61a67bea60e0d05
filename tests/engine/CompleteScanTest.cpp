// The complete scan's controller: the block loop and its progress records, the finishing pass,
// stops, where a node's partition lies while the scan is paused, and a file recovered from a
// paused scan of a real image.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ImageDevice.h"
#include "Manifest.h"
#include "TestUtil.h"
#include "TreeStubs.h"
#include "engine/CompleteRecoveryController.h"
#include "engine/DataRunList.h"
#include "engine/FileNode.h"
#include "engine/FileRecoverer.h"
#include "engine/FileSystemNode.h"
#include "engine/FsServices.h"
#include "engine/HeadlessSinks.h"
#include "engine/Progress.h"
#include "engine/RecoveryControllers.h"
#include "fs/ntfs/NTFSFileProperties.h"
#include "fs/ntfs/NTFSPartitionCandidate.h"

namespace {

// A device of zeros that holds no bytes.
class ZeroDevice : public IStorageDevice {
public:
    ZeroDevice(u32 sectorSize, u64 sectors) : m_size(sectorSize), m_total(sectors) {}
    u32 Read(void* buffer, u64 first, u64 count) override {
        if (first >= m_total || count > m_total - first) return 0;
        std::memset(buffer, 0, size_t(count) * m_size);
        return 1;
    }
    u64 GetTotalSectors() override { return m_total; }
    u32 GetSectorSize() override { return m_size; }
    u32 Open() override { return 1; }
    u32 Close() override { return 1; }

private:
    u32 m_size;
    u64 m_total;
};

// Records the calls a deep search gets, in order.
class RecordingSearch : public ICompleteFileSystemSearchController {
public:
    explicit RecordingSearch(std::vector<std::string>& log) : m_log(log) {}
    void SetDirectoryTreeBuilder(IDirecotryTreeBuilder*) override { m_log.push_back("builder"); }
    void GetSearchedPartitions(std::vector<CSearchedPartitionInfo*>&) override { m_log.push_back("partitions"); }
    void SetDevice(IStorageDevice*) override { m_log.push_back("device"); }
    void SetBlockSectorCount(u32 n) override { m_log.push_back("block " + std::to_string(n)); }
    void BeginSearch() override { m_log.push_back("begin"); }
    void EndSearch() override { m_log.push_back("end"); }
    u32 SearchBlock(u64 first, u64 count) override {
        blocks.emplace_back(first, count);
        return 1;
    }
    void SetFoundFilePool(CRawFileInfoPool* pool) override { m_log.push_back(pool ? "pool" : "no pool"); }
    u32 BuildFileSystemTrees(std::vector<CSearchedPartitionInfo*>&) override { return 1; }
    u32 CollectLostFiles(std::vector<CSearchedPartitionInfo*>&) override { return 1; }
    u32 TestFileNode(CFileNode*, CSearchedPartitionInfo*) override { return 0; }
    u32 ApplyToFileNode(CFileNode*, CSearchedPartitionInfo*) override { return 0; }
    u32 SaveState(IRSData*) override { return 0; }
    u32 LoadState(IRSData*) override { return 0; }
    u32 GetKind() override { return 0; }

    std::vector<std::pair<u64, u64>> blocks;

private:
    std::vector<std::string>& m_log;
};

class RecordingController : public CCompleteRecoveryController {
public:
    std::vector<std::string> log;
    RecordingSearch* search = nullptr;

protected:
    void CreateSearches(std::vector<std::unique_ptr<ICompleteFileSystemSearchController>>& out) override {
        auto s = std::make_unique<RecordingSearch>(log);
        search = s.get();
        out.push_back(std::move(s));
    }
};

// Keeps every record; stops (Continued 0) at a given call, or sets the controller's stop flag at
// a given block record; pauses after a given block until resumed.
class RecordingProgress : public IProgress {
public:
    i32 OnProgress(const ProgressInfo* r) override {
        std::unique_lock<std::mutex> lk(m_lock);
        records.push_back(*r);
        if (r->Type == kProgressUpdate && r->Total > 1) ++blockRecords;
        if (stopControllerAt && blockRecords == stopControllerAt) stopControllerAt = 0, controller->Stop();
        if (pauseAfterBlock && blockRecords == pauseAfterBlock) m_paused = true;
        return 1;
    }
    u32 Continued() override {
        std::unique_lock<std::mutex> lk(m_lock);
        ++continued;
        if (m_paused) {
            m_blocked = true;
            m_cv.notify_all();
            m_cv.wait(lk, [this] { return !m_paused; });
            m_blocked = false;
        }
        if (stopAfterBlock && blockRecords >= stopAfterBlock) return 0;
        return stopAtCall && continued >= stopAtCall ? 0 : 1;
    }
    u32 GetState() override {
        std::lock_guard<std::mutex> lk(m_lock);
        return m_paused ? kProgressPaused : kProgressRunning;
    }
    void WaitUntilBlocked() {
        std::unique_lock<std::mutex> lk(m_lock);
        m_cv.wait(lk, [this] { return m_blocked; });
    }
    void Resume() {
        std::lock_guard<std::mutex> lk(m_lock);
        m_paused = false;
        pauseAfterBlock = 0;
        m_cv.notify_all();
    }

    std::vector<ProgressInfo> records;
    u64 continued = 0;
    u64 stopAtCall = 0;
    u64 stopAfterBlock = 0;
    u64 blockRecords = 0;
    u64 pauseAfterBlock = 0;
    u64 stopControllerAt = 0;
    IRecoveryController* controller = nullptr;

private:
    std::mutex m_lock;
    std::condition_variable m_cv;
    bool m_paused = false;
    bool m_blocked = false;
};

struct LoopCase {
    u32 sectorSize;
    u64 sectors;
    u32 blockSectors;
    u64 blocks;
    u64 lastCount;
};

TEST(CompleteScan, ReadsTheDeviceInBlocksAndReportsAtMostEightyPercent) {
    const LoopCase cases[] = {
        {512, 8192 * 3 + 1, 8192, 4, 1},
        {4096, 1024 * 2, 1024, 2, 1024},
        {512, 8192 * 10, 8192, 10, 8192},
    };
    for (const LoopCase& t : cases) {
        SCOPED_TRACE(t.sectors);
        ZeroDevice device(t.sectorSize, t.sectors);
        testutil::AcceptAllFilter filter;
        testutil::SilentTree tree;
        RecordingProgress progress;
        RecordingController controller;
        ASSERT_EQ(controller.Initialize(&filter), 1u);
        ASSERT_EQ(controller.Run(&device, &progress, &tree, "disk", 0), 0u);

        ASSERT_NE(controller.search, nullptr);
        const auto& blocks = controller.search->blocks;
        ASSERT_EQ(blocks.size(), t.blocks);
        for (size_t b = 0; b < blocks.size(); ++b) {
            EXPECT_EQ(blocks[b].first, b * t.blockSectors);
            EXPECT_EQ(blocks[b].second, b + 1 == blocks.size() ? t.lastCount : t.blockSectors);
        }
        const std::vector<std::string> expectedStart = {"device", "block " + std::to_string(t.blockSectors),
                                                        "builder", "begin", "pool", "end", "partitions"};
        EXPECT_EQ(controller.log, expectedStart);

        // Begin record, phase record with the block count, one record per block, the finishing
        // pass, the end.
        const auto& r = progress.records;
        ASSERT_EQ(r.size(), 1 + 1 + t.blocks + 1 + 1);
        EXPECT_EQ(r[0].Type, kProgressUpdate);
        EXPECT_EQ(r[0].Total, 1u);
        EXPECT_EQ(r[1].Type, kProgressPhaseBegins);
        EXPECT_EQ(r[1].Total, t.blocks);
        for (u64 b = 0; b < t.blocks; ++b) {
            EXPECT_EQ(r[2 + b].Type, kProgressUpdate);
            EXPECT_EQ(r[2 + b].Total, t.blocks);
            EXPECT_EQ(r[2 + b].Done, u64(double(b + 1) * 0.8));
        }
        EXPECT_EQ(r[2 + t.blocks].Type, kProgressPhaseDone);
        EXPECT_EQ(r[2 + t.blocks].Done, 100u);
        EXPECT_EQ(r.back().Type, kProgressScanEnded);
        EXPECT_EQ(r.back().Done, 1u);
        // The searches are gone once the run is over.
        EXPECT_EQ(controller.GetSearchCount(), 0u);
    }
}

TEST(CompleteScan, AUserStopStillFinishesButTheControllersStopDoesNot) {
    ZeroDevice device(512, 8192 * 6);
    testutil::AcceptAllFilter filter;
    testutil::SilentTree tree;
    {
        RecordingProgress progress;
        progress.stopAtCall = 3;  // the third block is never read
        RecordingController controller;
        ASSERT_EQ(controller.Initialize(&filter), 1u);
        EXPECT_EQ(controller.Run(&device, &progress, &tree, "disk", 0), 0u);
        EXPECT_EQ(controller.search->blocks.size(), 2u);
        // What was found so far is still evaluated and shown.
        EXPECT_NE(std::find(controller.log.begin(), controller.log.end(), "end"), controller.log.end());
    }
    {
        RecordingProgress progress;
        RecordingController controller;
        progress.controller = &controller;
        progress.stopControllerAt = 2;
        ASSERT_EQ(controller.Initialize(&filter), 1u);
        EXPECT_EQ(controller.Run(&device, &progress, &tree, "disk", 0), 0u);
        EXPECT_EQ(controller.search->blocks.size(), 6u);
        EXPECT_EQ(std::find(controller.log.begin(), controller.log.end(), "end"), controller.log.end());
        EXPECT_EQ(progress.records.back().Type, kProgressScanEnded);
    }
}

TEST(CompleteScan, RefusesMissingPartnersAndRunsTwiceWithAPoolEachTime) {
    ZeroDevice device(512, 8192);
    ZeroDevice empty(512, 0);
    testutil::AcceptAllFilter filter;
    testutil::SilentTree tree;
    RecordingProgress progress;
    RecordingController controller;
    EXPECT_EQ(controller.Initialize(nullptr), 0u);
    ASSERT_EQ(controller.Initialize(&filter), 1u);
    EXPECT_EQ(controller.Run(nullptr, &progress, &tree, "x", 0), kErrCompleteMissingArgument);
    EXPECT_EQ(controller.Run(&device, nullptr, &tree, "x", 0), kErrCompleteMissingArgument);
    EXPECT_EQ(controller.Run(&device, &progress, nullptr, "x", 0), kErrCompleteMissingArgument);
    EXPECT_EQ(controller.Run(&empty, &progress, &tree, "x", 0), kErrCompleteNoSectors);
    // A second run gets a pool of its own: its searches are handed one, not the freed one.
    controller.log.clear();
    ASSERT_EQ(controller.Run(&device, &progress, &tree, "x", 0), 0u);
    EXPECT_NE(std::find(controller.log.begin(), controller.log.end(), "pool"), controller.log.end());
    EXPECT_EQ(std::find(controller.log.begin(), controller.log.end(), "no pool"), controller.log.end());
}

// A node below an NTFS root whose file of `size` bytes has one run of `clusters` clusters at
// cluster 10, recorded at `recordSector`.
struct NtfsNode {
    CFileSystemNode* root = nullptr;
    CFileNode* node = nullptr;
    NtfsNode(u64 size, u64 clusters, u64 recordSector) {
        root = CreateFileSystemNode().release();
        root->SetFileSystemType(kFsNtfs);
        node = CreateFileNode().release();
        CNTFSFileProperties* p = CreateNTFSFileProperties().release();
        NTFSFilePropertiesData data;
        data.name = "file.bin";
        data.nameLength = 9;
        data.size = size;
        p->SetData(data);
        CNoneResidentNTFSDataRunList runs;
        runs.AppendExtent(10, clusters);
        p->SetRunList(&runs);
        node->SetFileProperties(p);
        node->SetRecordSector(recordSector);
        root->AddChild(node);
    }
    ~NtfsNode() {
        root->RemoveChild(node);
        DestroyTreeNode(node);
        DestroyTreeNode(root);
    }
};

TEST(CompleteScan, ANodeFitsACandidateByItsRecordItsExtentsAndTheClusterSizeItsSizeImplies) {
    struct FitCase {
        u64 size;
        u64 clusters;
        u32 spc;
        u64 recordSector;
        bool fits;
    };
    const FitCase cases[] = {
        {409600, 100, 8, 5000, true},    // 409600 / 100 / 512 = 8
        {409600, 100, 16, 5000, false},
        {409601, 100, 16, 5000, true},   // rounds up to 9, which implies 16
        {409601, 100, 8, 5000, false},
        {4096, 1, 1, 5000, false},       // one sector per cluster never fits
        {4096, 1, 8, 5000, true},        // under two clusters: no implied size
        {409600, 100, 8, 1000, false},   // the record lies at the found start: not inside
        {409600, 100, 8, 1000 + 20000, false},  // past the end
    };
    for (const FitCase& t : cases) {
        SCOPED_TRACE(std::to_string(t.size) + " spc " + std::to_string(t.spc) + " at " + std::to_string(t.recordSector));
        NtfsNode n(t.size, t.clusters, t.recordSector);
        CSearchedNTFSPartitionInfo c(512);
        c.SetSectorsPerCluster(t.spc);
        c.SetPartitionStart(1000);
        c.SetFoundStart(1000);
        c.SetTotalSectors(20000);
        EXPECT_EQ(CCompleteRecoveryController::NodeFitsCandidate(n.node, &c), t.fits);
    }
}

TEST(CompleteScan, FileSourceIsAskedOnlyWhileARunHoldsItsSearches) {
    NtfsNode n(409600, 100, 5000);
    CCompleteRecoveryController controller;
    u64 start = 77;
    u32 spc = 3;
    EXPECT_EQ(controller.GetFileSource(n.node, start, spc), 0u);
    EXPECT_EQ(start, 77u);
    EXPECT_EQ(spc, 3u);
}

// The paused scan of a real image: a file found while the device is read is recovered through
// the candidate the search holds so far, and the scan then runs to its end.
class RecordingTree : public testutil::SilentTree {
public:
    void AddNodes(const std::vector<CFileNode*>& nodes, u32) override {
        std::lock_guard<std::mutex> lk(lock);
        shown.insert(shown.end(), nodes.begin(), nodes.end());
    }
    void AddFileSystemNode(CFileSystemNode* root, bool finished) override {
        std::lock_guard<std::mutex> lk(lock);
        if (finished) finishedRoots.push_back(root);
    }
    void RemoveFileSystemNode(CFileSystemNode*) override {
        std::lock_guard<std::mutex> lk(lock);
        shown.clear();
    }
    std::mutex lock;
    std::vector<CFileNode*> shown;
    std::vector<CFileSystemNode*> finishedRoots;
};

// Runs while the scan thread waits inside the pause point.
void CheckRecoveryWhilePaused(CCompleteRecoveryController& controller, IStorageDevice& device, RecordingTree& tree) {
    // A large live file, the one the manifest lists first.
    const std::vector<testutil::ManifestFile> files = testutil::LoadManifest("ntfs-basic.json", 1);
    const testutil::ManifestFile* wanted = nullptr;
    for (const auto& f : files) {
        if (f.live && !f.compressed && !f.sparse && !f.resident && f.size > 1000000) {
            wanted = &f;
            break;
        }
    }
    ASSERT_NE(wanted, nullptr);
    const std::string name = wanted->path.substr(wanted->path.rfind('/') + 1);
    CFileNode* node = nullptr;
    {
        std::lock_guard<std::mutex> lk(tree.lock);
        for (CFileNode* n : tree.shown) {
            const IFileProperties* p = n->GetFileProperties();
            if (p && p->GetName() && name == p->GetName()) node = n;
        }
    }
    ASSERT_NE(node, nullptr) << name;
    u64 start = 99;
    u32 spc = 99;
    EXPECT_EQ(controller.GetFileSource(node, start, spc), 1u);
    EXPECT_EQ(start, 0u);
    EXPECT_EQ(spc, 8u);

    testutil::TempDir tmp;
    SetCurrentRecoveryController(&controller);
    CountingRecoverCallback callback;
    CFileRecoverer writer;
    const std::string target = tmp.File("recovered.bin");
    EXPECT_TRUE(writer.RecoverFile(&callback, &device, node, target.c_str(), false));
    SetCurrentRecoveryController(nullptr);
    EXPECT_EQ(testutil::Sha256File(target), wanted->sha256);

}

TEST(CompleteScan, RecoversAFileWhileThePausedScanHoldsTheDevice) {
    const std::string image = testutil::FixturePath("ntfs-basic.img");
    testutil::ImageDevice device(image, 512);
    ASSERT_TRUE(device.IsOpen());
    testutil::AcceptAllFilter filter;
    RecordingTree tree;
    RecordingProgress progress;
    progress.pauseAfterBlock = 6;  // of 16
    CCompleteRecoveryController controller;
    ASSERT_EQ(controller.Initialize(&filter), 1u);
    u32 result = ~0u;
    std::thread scan([&] { result = controller.Run(&device, &progress, &tree, "ntfs-basic", 0); });
    progress.WaitUntilBlocked();

    CheckRecoveryWhilePaused(controller, device, tree);
    progress.Resume();
    scan.join();
    EXPECT_EQ(result, 0u);
    EXPECT_EQ(tree.finishedRoots.size(), 1u);
    const std::vector<FoundPartitionSummary> found = controller.GetFoundPartitions();
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].startSector, 0u);
    EXPECT_EQ(found[0].label, "Fixtures NTFS");
}

}  // namespace

namespace {

// A user stop half-way through a real image: the block loop ends there, and the finishing pass
// still builds and shows the volume from what was read so far.
TEST(CompleteScan, AStoppedScanShowsWhatItFoundSoFar) {
    testutil::ImageDevice device(testutil::FixturePath("ntfs-basic.img"), 512);
    ASSERT_TRUE(device.IsOpen());
    testutil::AcceptAllFilter filter;
    RecordingTree tree;
    RecordingProgress progress;
    progress.stopAfterBlock = 8;  // of 16
    CCompleteRecoveryController controller;
    ASSERT_EQ(controller.Initialize(&filter), 1u);
    EXPECT_EQ(controller.Run(&device, &progress, &tree, "ntfs-basic", 0), 0u);
    u64 blocks = 0;
    for (const ProgressInfo& r : progress.records) blocks += r.Type == kProgressUpdate && r.Total == 16;
    EXPECT_EQ(blocks, 8u);
    ASSERT_EQ(tree.finishedRoots.size(), 1u);
    EXPECT_GT(CountTree(tree.finishedRoots[0]).files, 0u);
    EXPECT_EQ(controller.GetFoundPartitions().size(), 1u);
    EXPECT_EQ(progress.records.back().Type, kProgressScanEnded);
}

}  // namespace
