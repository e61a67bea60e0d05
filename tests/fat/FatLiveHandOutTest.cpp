// What the FAT and exFAT deep searches show while the complete scan still reads the device: the
// entries of every folder sector go to the provisional tree at once, a file among them can be
// recovered through the candidates seen so far while the scan is paused, a builder that refuses
// an entry ends the hand-out but not the trees, and the trees built at the end hold each file
// once.
#include <gtest/gtest.h>

#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "ImageDevice.h"
#include "Manifest.h"
#include "RecordingBuilder.h"
#include "TestUtil.h"
#include "TreeStubs.h"
#include "engine/CompleteRecoveryController.h"
#include "engine/FileNode.h"
#include "engine/FileRecoverer.h"
#include "engine/FileSystemNode.h"
#include "engine/HeadlessSinks.h"
#include "engine/Progress.h"
#include "fs/fat/ExFatDeepSearch.h"
#include "fs/fat/ExFatFileProperties.h"
#include "fs/fat/FatDeepSearch.h"
#include "fs/fat/FatFileProperties.h"

namespace {

constexpr u32 kSector = 512;
constexpr int kPartition = 1;

// Pauses inside the pause point after a given block until resumed.
class PausingProgress : public IProgress {
public:
    explicit PausingProgress(u64 pauseAfter) : m_pauseAfter(pauseAfter) {}
    i32 OnProgress(const ProgressInfo* r) override {
        std::lock_guard<std::mutex> lk(m_lock);
        if (r->Type == kProgressUpdate && r->Total > 1 && ++m_blocks == m_pauseAfter) m_paused = true;
        m_last = r->Type;
        return 1;
    }
    u32 Continued() override {
        std::unique_lock<std::mutex> lk(m_lock);
        if (m_paused) {
            m_blocked = true;
            m_cv.notify_all();
            m_cv.wait(lk, [this] { return !m_paused; });
            m_blocked = false;
        }
        return 1;
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
        m_cv.notify_all();
    }
    u32 LastType() {
        std::lock_guard<std::mutex> lk(m_lock);
        return m_last;
    }

private:
    std::mutex m_lock;
    std::condition_variable m_cv;
    u64 m_pauseAfter;
    u64 m_blocks = 0;
    bool m_paused = false;
    bool m_blocked = false;
    u32 m_last = 0;
};

// Keeps what the builder shows while scanning (until a provisional root leaves the view) and the
// finished roots.
class ShowingTree : public testutil::SilentTree {
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

std::string NameOf(const CFileNode* n) {
    const IFileProperties* p = n->GetFileProperties();
    return p != nullptr && p->GetName() != nullptr ? p->GetName() : "";
}

std::string LastComponent(const std::string& path) { return path.substr(path.rfind('/') + 1); }

// A lost folder's name without its number, which counts the lost folders of the process.
std::string WithoutLostFolderNumber(const std::string& name) {
    if (name.rfind("DIR", 0) != 0 || name.size() == 3) return name;
    for (size_t i = 3; i < name.size(); ++i) {
        if (name[i] < '0' || name[i] > '9') return name;
    }
    return "DIR";
}

// Path below the root ("/a/b") -> how often the tree holds a file there.
void CountPaths(const CFileNode* node, const std::string& path, std::map<std::string, int>& out) {
    for (const CFileNode* c = node->GetFirstChild(); c != nullptr; c = c->GetNextSibling()) {
        const std::string at = path + "/" + WithoutLostFolderNumber(NameOf(c));
        const IFileProperties* p = c->GetFileProperties();
        if (p != nullptr && (p->GetAttributes() & kAttrDirectory) != 0) {
            CountPaths(c, at, out);
        } else {
            ++out[at];
        }
    }
}

struct LiveCase {
    const char* image;
    u32 nodeCode;  // the file-system code of the provisional tree its entries hang below
};

class LiveHandOut : public ::testing::TestWithParam<LiveCase> {};

// The scan pauses in its last block. By then the provisional tree shows the live files the
// manifest lists, and each unfragmented one read through the candidates seen so far has the
// manifest's data. After the scan the chosen tree holds every live file at its path, once.
TEST_P(LiveHandOut, PausedScanShowsFoundFilesAndReadsThemThroughTheCandidatesSoFar) {
    const LiveCase& param = GetParam();
    const std::string image = std::string(param.image) + ".img";
    testutil::ImageDevice device(testutil::FixturePath(image), kSector);
    ASSERT_TRUE(device.IsOpen());
    const u64 blockSectors = CCompleteRecoveryController::kBlockBytes / kSector;
    const u64 blocks = (device.GetTotalSectors() + blockSectors - 1) / blockSectors;
    ASSERT_GE(blocks, 2u);

    testutil::AcceptAllFilter filter;
    ShowingTree tree;
    PausingProgress progress(blocks - 1);
    CCompleteRecoveryController controller;
    ASSERT_EQ(controller.Initialize(&filter), 1u);
    u32 result = ~0u;
    std::thread scan([&] { result = controller.Run(&device, &progress, &tree, param.image, 0); });
    progress.WaitUntilBlocked();

    const std::vector<testutil::ManifestFile> files = testutil::LoadManifest(std::string(param.image) + ".json", kPartition);
    std::multimap<std::string, CFileNode*> shownByName;
    {
        std::lock_guard<std::mutex> lk(tree.lock);
        for (CFileNode* n : tree.shown) shownByName.emplace(NameOf(n), n);
    }
    // Read through the candidates seen so far, as a preview reads it while the scan is paused:
    // the sha256 shows that the extent and the data area's place are the volume's.
    testutil::TempDir tmp;
    SetCurrentRecoveryController(&controller);
    size_t live = 0;
    size_t shown = 0;
    size_t read = 0;
    for (const testutil::ManifestFile& f : files) {
        if (!f.live) continue;
        ++live;
        const auto [first, last] = shownByName.equal_range(LastComponent(f.path));
        shown += first != last ? 1 : 0;
        if (first == last || f.fragmented || f.size == 0) continue;
        bool same = false;
        for (auto it = first; it != last && !same; ++it) {
            CFileNode* node = it->second;
            if (node->GetFileSystemType() != param.nodeCode || node->GetFileProperties()->GetSize() != f.size) continue;
            u64 start = ~u64(0);
            u32 spc = 0;
            EXPECT_EQ(controller.GetFileSource(node, start, spc), 1u) << f.path;
            CountingRecoverCallback callback;
            CFileRecoverer writer;
            const std::string target = tmp.File("recovered-" + std::to_string(read));
            if (writer.RecoverFile(&callback, &device, node, target.c_str(), false)) {
                same = testutil::Sha256File(target) == f.sha256;
            }
        }
        EXPECT_TRUE(same) << "not read with its data while paused: " << f.path;
        ++read;
    }
    SetCurrentRecoveryController(nullptr);
    // A few entries wait unplaced while the loop runs (see LiveHandOutFat): most are shown.
    EXPECT_GE(shown * 10, live * 8) << shown << " of " << live << " live files shown while scanning";
    EXPECT_GT(read, 0u);

    progress.Resume();
    scan.join();
    EXPECT_EQ(result, 0u);
    EXPECT_EQ(progress.LastType(), kProgressScanEnded);
    ASSERT_EQ(tree.finishedRoots.size(), 1u);
    std::map<std::string, int> paths;
    CountPaths(tree.finishedRoots[0], "", paths);
    for (const testutil::ManifestFile& f : files) {
        if (f.live) {
            EXPECT_EQ(paths[f.path], 1) << f.path;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Volumes, LiveHandOut,
                         ::testing::Values(LiveCase{"fat32-basic", kFsFat32}, LiveCase{"fat16-basic", kFsFat32},
                                           LiveCase{"exfat-basic", kFsExFat}),
                         [](const auto& info) {
                             std::string name = info.param.image;
                             for (char& c : name) c = c == '-' ? '_' : c;
                             return name;
                         });

// A builder that keeps a tree it is given and counts the files in it.
class KeepingBuilder : public testutil::RecordingBuilder {
public:
    ~KeepingBuilder() override { DestroySubtree(m_kept); }
    u32 ApplyFilter(CFileSystemNode* root, CSearchedPartitionInfo*) override {
        DestroySubtree(m_kept);
        m_kept = root;
        return 1;
    }
    std::map<std::string, int> KeptPaths() const {
        std::map<std::string, int> paths;
        if (m_kept != nullptr) CountPaths(m_kept, "", paths);
        return paths;
    }

private:
    CFileSystemNode* m_kept = nullptr;
};

template <typename Search>
std::unique_ptr<Search> Scan(IStorageDevice& device, IDirecotryTreeBuilder* builder) {
    constexpr u32 kBlockSectors = 2048;
    auto search = std::make_unique<Search>();
    search->SetDevice(&device);
    search->SetBlockSectorCount(kBlockSectors);
    search->SetDirectoryTreeBuilder(builder);
    search->BeginSearch();
    const u64 total = device.GetTotalSectors();
    for (u64 first = 0; first < total; first += kBlockSectors) {
        search->SearchBlock(first, std::min<u64>(kBlockSectors, total - first));
    }
    search->EndSearch();
    return search;
}

template <typename Search>
std::map<std::string, int> BuiltPaths(Search& search, KeepingBuilder& builder) {
    search.SetDirectoryTreeBuilder(&builder);
    std::vector<CSearchedPartitionInfo*> chosen;
    search.GetSearchedPartitions(chosen);
    EXPECT_FALSE(chosen.empty());
    if (chosen.empty()) return {};
    chosen.resize(1);
    EXPECT_EQ(search.BuildFileSystemTrees(chosen), 1u);
    return builder.KeptPaths();
}

// The builder refuses the fourth entry: nothing more is handed to it, and the candidates and the
// tree built for the chosen one are those of a scan whose every entry was taken.
template <typename Search>
void RefusalEndsTheHandOutOnly(const char* image, u32 treeKind) {
    SCOPED_TRACE(image);
    testutil::MemoryDevice device(testutil::ReadFileBytes(testutil::FixturePath(std::string(image) + ".img")), kSector);
    testutil::RecordingBuilder taking;
    const auto all = Scan<Search>(device, &taking);
    EXPECT_TRUE(all->IsHandingOutEntries());
    ASSERT_GT(taking.nodes.size(), 4u);
    for (const auto& n : taking.nodes) EXPECT_EQ(n.treeKind, treeKind);

    testutil::RecordingBuilder refusing;
    refusing.refuseNodeAt = 3;
    const auto cut = Scan<Search>(device, &refusing);
    EXPECT_FALSE(cut->IsHandingOutEntries());
    EXPECT_EQ(refusing.addFoundCalls, 4u);
    EXPECT_EQ(refusing.nodes.size(), 3u);

    KeepingBuilder fromAll;
    KeepingBuilder fromCut;
    const std::map<std::string, int> expected = BuiltPaths(*all, fromAll);
    EXPECT_FALSE(expected.empty());
    EXPECT_EQ(BuiltPaths(*cut, fromCut), expected);
}

TEST(LiveHandOutRefused, EndsTheHandOutButNotTheTrees) {
    RefusalEndsTheHandOutOnly<CFatCompleteSearch>("fat32-basic", kTreeKindFat);
    RefusalEndsTheHandOutOnly<CFatCompleteSearch>("fat16-basic", kTreeKindFat);
    RefusalEndsTheHandOutOnly<CExFatCompleteSearch>("exfat-basic", kTreeKindExFat);
}

// The live files' entries reach the builder with their names and sizes, and hang where their
// folders are: a file of the root below the root's id 0, any other below the id (the first
// cluster) of the folder entry that names its folder, also from a folder's later sectors. Only an
// entry whose folder cannot be told from its sector (a later cluster of a folder lying apart, a
// long name cut by a sector's end) waits unplaced; never one below a wrong folder.
TEST(LiveHandOutFat, EntriesCarryTheParentAndIdTheirFoldersGive) {
    constexpr u64 kUnknownParent = kFatContinuationCluster;
    for (const char* image : {"fat32-basic", "fat16-basic"}) {
        SCOPED_TRACE(image);
        testutil::MemoryDevice device(testutil::ReadFileBytes(testutil::FixturePath(std::string(image) + ".img")),
                                      kSector);
        testutil::RecordingBuilder builder;
        const auto search = Scan<CFatCompleteSearch>(device, &builder);
        ASSERT_EQ(builder.roots.size(), 1u);
        EXPECT_EQ(builder.roots[0].name, "FAT32");
        EXPECT_EQ(builder.roots[0].id, 0u);
        std::multimap<std::string, const testutil::RecordedNode*> byName;
        for (const auto& n : builder.nodes) {
            if (!n.IsDeleted()) byName.emplace(n.name, &n);
        }
        size_t live = 0;
        size_t placed = 0;
        for (const testutil::ManifestFile& f : testutil::LoadManifest(std::string(image) + ".json", kPartition)) {
            if (!f.live) continue;
            ++live;
            const std::string folderPath = f.path.substr(0, f.path.rfind('/'));
            // The ids the folder's own entry may carry (the root has none: 0).
            std::set<u64> folderIds;
            if (folderPath.empty()) {
                folderIds.insert(0);
            } else {
                const auto [a, b] = byName.equal_range(LastComponent(folderPath));
                for (auto it = a; it != b; ++it) {
                    if (it->second->IsFolder()) folderIds.insert(it->second->id);
                }
            }
            bool here = false;
            const auto [first, last] = byName.equal_range(LastComponent(f.path));
            for (auto it = first; it != last; ++it) {
                const testutil::RecordedNode& n = *it->second;
                if (n.size != f.size || n.parentId == kUnknownParent) continue;
                EXPECT_EQ(folderIds.count(n.parentId), 1u) << f.path << " below " << n.parentId;
                here = true;
            }
            placed += here ? 1 : 0;
        }
        EXPECT_GE(placed * 10, live * 8) << placed << " of " << live << " live files placed";
    }
}

// A found file gets the one extent its size needs from its first cluster (the node's id for
// FAT, the entry's for exFAT) while the loop runs; nothing else does, and nothing at all once the
// search has ended.
struct ApplyCase {
    const char* what;
    bool folder;
    u64 firstCluster;
    u64 size;
    bool ended;
    bool extent;
    DataRunExtent expected;
};

TreeNodePtr MakeFoundNode(bool exfat, const ApplyCase& c) {
    TreeNodePtr node = CreateFileNode();
    if (exfat) {
        PropertiesRef<CExFatFileProperties> p(NewExFatFileProperties());
        p->SetFirstCluster(u32(c.firstCluster));
        p->SetSize(c.size);
        p->SetAttributes(c.folder ? kAttrDirectory : 0);
        node->SetFileProperties(p.release());
        node->SetId(7);  // the entry's sector: not a cluster
    } else {
        PropertiesRef<CFATFileProperties> p(NewFATFileProperties());
        p->SetFirstCluster(u32(c.firstCluster));
        p->SetSize(c.size);
        p->SetAttributes(c.folder ? kAttrDirectory : 0);
        node->SetFileProperties(p.release());
        node->SetId(c.firstCluster);
    }
    return node;
}

TEST(LiveHandOutApply, GivesAFoundFileTheExtentItsSizeNeedsUntilTheSearchEnds) {
    // Clusters of 8 sectors of 512 bytes: 4096 bytes.
    const ApplyCase cases[] = {
        {"one byte", false, 2, 1, false, true, {0, 1}},
        {"a cluster and a byte", false, 10, 4097, false, true, {8, 2}},
        {"whole clusters", false, 100, 3 * 4096, false, true, {98, 3}},
        {"empty file", false, 10, 0, false, false, {}},
        {"no data cluster", false, 1, 100, false, false, {}},
        {"folder", true, 10, 4096, false, false, {}},
        {"after the search", false, 10, 4097, true, false, {}},
    };
    for (const bool exfat : {false, true}) {
        for (const ApplyCase& c : cases) {
            SCOPED_TRACE(std::string(exfat ? "exFAT " : "FAT ") + c.what);
            std::unique_ptr<ICompleteFileSystemSearchController> search(exfat ? CreateExFatCompleteSearch()
                                                                              : CreateFatCompleteSearch());
            search->BeginSearch();
            if (c.ended) search->EndSearch();
            CSearchedPartitionInfo candidate(kSector);
            candidate.SetSectorsPerCluster(8);
            TreeNodePtr node = MakeFoundNode(exfat, c);
            EXPECT_EQ(search->ApplyToFileNode(node.get(), &candidate), 1u);
            std::unique_ptr<IDataRunList> runs(node->GetFileProperties()->CreateDataRunList());
            const size_t extents = runs ? runs->GetExtentCount() : 0;
            ASSERT_EQ(extents, c.extent ? 1u : 0u);
            if (c.extent) {
                EXPECT_EQ(runs->GetExtent(0), c.expected);
            }
        }
    }
}

}  // namespace
