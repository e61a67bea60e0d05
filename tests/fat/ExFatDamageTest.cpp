// Damaged exFAT volumes (in-memory copies of the fixture with looping chains, clusters past the
// heap, broken entry sets, self-containing folders, odd sector sizes and failing reads): the
// quick search and the analyser end cleanly, never read outside their buffers and never hang.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "ExFatSets.h"
#include "FatTestSupport.h"
#include "TestUtil.h"
#include "engine/DataRunList.h"
#include "engine/DirectoryTree.h"
#include "engine/FileNode.h"
#include "engine/FileProperties.h"
#include "engine/FileSystemNode.h"
#include "engine/PartitionTree.h"
#include "engine/RecoveryFilter.h"
#include "fs/fat/ExFatBlockFinder.h"
#include "fs/fat/ExFatFileProperties.h"
#include "fs/fat/ExFatQuickSearch.h"
#include "fs/fat/ExFatVolume.h"
#include "platform/Log.h"
#include "platform/Text.h"

using namespace fattest;

namespace {
// The exFAT fixture in memory with its layout, for patching.
struct Volume {
    std::vector<u8> bytes;
    u64 fatOffset = 0;  // bytes
    u64 heap = 0;       // bytes
    u32 clusterBytes = 0;
    u32 clusterCount = 0;
    u32 root = 0;

    Volume() : bytes(Fixture()) {
        const u8* b = bytes.data();
        fatOffset = u64(ReadLE32(b + 80)) * 512;
        heap = u64(ReadLE32(b + 88)) * 512;
        clusterBytes = 512u << b[109];
        clusterCount = ReadLE32(b + 92);
        root = ReadLE32(b + 96);
    }
    // Read once: each test patches a copy.
    static const std::vector<u8>& Fixture() {
        static const std::vector<u8> kBytes = testutil::ReadFileBytes(testutil::FixturePath("exfat-basic.img"));
        return kBytes;
    }
    u8* Cluster(u32 cluster) { return bytes.data() + heap + u64(cluster - 2) * clusterBytes; }
    u64 ClusterSector(u32 cluster) const { return (heap + u64(cluster - 2) * clusterBytes) / 512; }
    void SetFat(u32 cluster, u32 value) { WriteLE32(bytes.data() + fatOffset + u64(cluster) * 4, value); }
    // The file entry of the set named `name` in a directory cluster; null when none.
    u8* FindSet(u32 dirCluster, const std::string& name) {
        u8* dir = Cluster(dirCluster);
        for (u32 at = 0; at + 96 <= clusterBytes; at += 32) {
            if (dir[at] != 0x85 && dir[at] != 0x05) continue;
            const u32 secondaries = dir[at + 1];
            const u32 nameLength = dir[at + 35];
            std::u16string units;
            for (u32 k = 2; k <= secondaries && at + 32 * k + 32 <= clusterBytes; ++k) {
                for (u32 i = 0; i < 15; ++i) units.push_back(char16_t(ReadLE16(dir + at + 32 * k + 2 + 2 * i)));
            }
            units.resize(std::min<size_t>(units.size(), nameLength));
            if (Utf16ToUtf8(units) == name) return dir + at;
        }
        return nullptr;
    }
    std::unique_ptr<MemoryDevice> Device(u32 sectorSize = 512) const {
        return std::make_unique<MemoryDevice>(bytes, sectorSize);
    }
};

// Stream-entry fields of a set found by FindSet.
void SetFirstCluster(u8* set, u32 cluster) { WriteLE32(set + 32 + 20, cluster); }
u32 FirstCluster(const u8* set) { return ReadLE32(set + 32 + 20); }

constexpr u32 kDocuments = 9;
constexpr u32 kProjects = 11;
constexpr u32 kSrc = 12;
constexpr u32 kLiveRecordings = 17;
const char* const kIntactPdf =
    "Forecast contract meeting portrait inventory album recording client melody library morning garden 44.pdf";

const CFileNode* FindNamed(const RecordingBuilder& builder, const std::string& name) {
    for (const CFileNode* n : builder.nodes) {
        const IFileProperties* p = n->GetFileProperties();
        if (p && p->GetName() && name == p->GetName()) return n;
    }
    return nullptr;
}

std::vector<DataRunExtent> RunsOf(const CFileNode* node) {
    std::vector<DataRunExtent> out;
    std::unique_ptr<IDataRunList> list(node->GetFileProperties()->CreateDataRunList());
    if (list) {
        for (size_t i = 0; i < list->GetExtentCount(); ++i) out.push_back(list->GetExtent(i));
    }
    return out;
}

struct Scan {
    RecordingBuilder builder;
    CountingProgress progress;
    u32 result = 0;
    explicit Scan(IStorageDevice* device, bool layoutGuessed = false) {
        CExFatQuickSearch search;
        search.SetDirectoryTreeBuilder(&builder);
        search.SetLayoutGuessed(layoutGuessed);
        result = search.Search(device, &progress);
    }
};

class ExFatDamage : public ::testing::Test {
protected:
    void SetUp() override { SetLoggingEnabled(false); }
    void TearDown() override { SetLoggingEnabled(true); }
    Volume vol;
};

TEST_F(ExFatDamage, UnusableVolumesAnswerTheNoBootSectorCode) {
    // Sectors larger than 4096 bytes: the boot sector is read into a buffer of the device's own
    // size and refused.
    auto big = vol.Device(8192);
    EXPECT_EQ(Scan(big.get()).result, kExFatQuickNoBootSector);
    EXPECT_EQ(CreateExFatVolumeAnalyer(big.get(), 0), nullptr);
    // A FAT volume, an unreadable device, a broken boot sector.
    ImageDevice fat(testutil::FixturePath("fat16-basic.img"), 512);
    ASSERT_TRUE(fat.IsOpen());
    Scan onFat(&fat);
    EXPECT_EQ(onFat.result, kExFatQuickNoBootSector);
    EXPECT_EQ(onFat.builder.rootsOffered, 0u);
    auto unreadable = vol.Device();
    unreadable->failFrom = 0;
    EXPECT_EQ(Scan(unreadable.get()).result, kExFatQuickNoBootSector);
    EXPECT_EQ(CreateExFatVolumeAnalyer(unreadable.get(), 0), nullptr);
    vol.bytes[108] = 13;
    auto broken = vol.Device();
    EXPECT_EQ(Scan(broken.get()).result, kExFatQuickNoBootSector);

    CExFatQuickSearch search;
    CountingProgress progress;
    EXPECT_EQ(search.Search(broken.get(), &progress), kExFatQuickMissingArgument);  // no builder
}

TEST_F(ExFatDamage, LoopingAndRunawayChainsEnd) {
    // The root directory's chain points back to itself; a live fragmented file's chain loops
    // back to its first cluster; another live file's chain leaves the heap.
    vol.SetFat(vol.root, vol.root);
    u8* fragmented = vol.FindSet(kProjects, "window_morning_738.txt");
    ASSERT_NE(fragmented, nullptr);
    const u32 first = FirstCluster(fragmented);
    vol.SetFat(first + 3, first);
    auto device = vol.Device();
    Scan scan(device.get());
    ASSERT_EQ(scan.result, 0u);
    ASSERT_NE(FindNamed(scan.builder, kIntactPdf), nullptr);
    const CFileNode* node = FindNamed(scan.builder, "window_morning_738.txt");
    ASSERT_NE(node, nullptr);
    EXPECT_EQ(RunsOf(node), (std::vector<DataRunExtent>{{i64(first) - 2, 4}}));
    EXPECT_EQ(scan.progress.reported.back(), 1u);

    // The analyser's label walk ends on the same loop.
    std::unique_ptr<CExFatVolumeAnalyer> analyser(CreateExFatVolumeAnalyer(device.get(), 0));
    ASSERT_NE(analyser, nullptr);
    char label[64] = {};
    analyser->GetVolumeLabel(label, sizeof label);
    EXPECT_STREQ(label, "FIX EXFAT");
}

TEST_F(ExFatDamage, ClustersPastTheHeapGiveNoRunsAndNoWalk) {
    u8* pdf = vol.FindSet(kProjects, kIntactPdf);
    ASSERT_NE(pdf, nullptr);
    SetFirstCluster(pdf, vol.clusterCount + 2);  // the first number past the heap
    u8* png = vol.FindSet(kProjects,
                          "Piano autumn letter analysis photo library server update camera estimate 41.png");
    ASSERT_NE(png, nullptr);
    SetFirstCluster(png, vol.clusterCount);  // near the end: the extent stops at the heap's end
    u8* src = vol.FindSet(kProjects, "src");
    ASSERT_NE(src, nullptr);
    SetFirstCluster(src, 0xFFFFFFF0u);
    vol.SetFat(vol.root, vol.clusterCount + 10);
    auto device = vol.Device();
    Scan scan(device.get());
    ASSERT_EQ(scan.result, 0u);
    const CFileNode* pdfNode = FindNamed(scan.builder, kIntactPdf);
    ASSERT_NE(pdfNode, nullptr);
    EXPECT_TRUE(RunsOf(pdfNode).empty());
    const CFileNode* pngNode = FindNamed(scan.builder,
                                         "Piano autumn letter analysis photo library server update camera estimate 41.png");
    ASSERT_NE(pngNode, nullptr);
    EXPECT_EQ(RunsOf(pngNode), (std::vector<DataRunExtent>{{i64(vol.clusterCount) - 2, 2}}));
    // Nothing below src was read.
    EXPECT_EQ(FindNamed(scan.builder, "note-03 record.txt"), nullptr);
    EXPECT_NE(FindNamed(scan.builder, "src"), nullptr);
}

TEST_F(ExFatDamage, BrokenEntrySetsAreDroppedOrCutWithoutLosingTheirNeighbours) {
    // A bad checksum does not stop the quick parser; a set whose secondary count is too small
    // for its name keeps the part it holds; a name entry with a refused character ends the
    // directory's parse at that entry.
    u8* pdf = vol.FindSet(kProjects, kIntactPdf);
    ASSERT_NE(pdf, nullptr);
    WriteLE16(pdf + 2, u16(ReadLE16(pdf + 2) ^ 0x5555));
    u8* png = vol.FindSet(kProjects,
                          "Piano autumn letter analysis photo library server update camera estimate 41.png");
    ASSERT_NE(png, nullptr);
    png[1] = 3;  // stream + two name entries: 30 characters of the name
    u8* deleted = vol.FindSet(kSrc, "note-03 record.txt");
    ASSERT_NE(deleted, nullptr);
    WriteLE16(deleted + 64 + 2, '*');
    auto device = vol.Device();
    Scan scan(device.get());
    ASSERT_EQ(scan.result, 0u);
    EXPECT_NE(FindNamed(scan.builder, kIntactPdf), nullptr);
    EXPECT_NE(FindNamed(scan.builder, "Piano autumn letter analysis p"), nullptr);
    EXPECT_EQ(FindNamed(scan.builder, "note-03 record.txt"), nullptr);
    EXPECT_NE(FindNamed(scan.builder, "deep"), nullptr);  // src's sets before the broken one
    EXPECT_NE(FindNamed(scan.builder, "violin_beach_873.xls"), nullptr);
}

TEST_F(ExFatDamage, AFolderThatContainsItselfIsReadOnce) {
    // src names its parent's cluster, deep names the root's: each cluster is read once and the
    // real builder links what it gets without hanging.
    u8* src = vol.FindSet(kProjects, "src");
    ASSERT_NE(src, nullptr);
    SetFirstCluster(src, kProjects);
    u8* deep = vol.FindSet(kSrc, "deep");
    ASSERT_NE(deep, nullptr);
    SetFirstCluster(deep, vol.root);
    auto device = vol.Device();
    {
        Scan scan(device.get());
        ASSERT_EQ(scan.result, 0u);
        int pdfs = 0;
        for (const CFileNode* n : scan.builder.nodes) {
            const IFileProperties* p = n->GetFileProperties();
            if (p->GetName() == std::string(kIntactPdf)) ++pdfs;
        }
        EXPECT_EQ(pdfs, 1);
    }

    QuickTree tree;
    ASSERT_NO_FATAL_FAILURE(BuildQuickTree(device.get(), std::make_unique<CExFatQuickSearch>(), false, tree));
    CFileSystemNode* root = tree.root;
    // The tree is finite: a bounded walk meets every node.
    std::vector<const CFileNode*> stack{root};
    size_t seen = 0;
    while (!stack.empty() && seen < 10000) {
        const CFileNode* n = stack.back();
        stack.pop_back();
        ++seen;
        for (const CFileNode* c = n->GetFirstChild(); c != nullptr; c = c->GetNextSibling()) stack.push_back(c);
    }
    EXPECT_LT(seen, 10000u);
}

TEST_F(ExFatDamage, AFailedReadEndsTheWalkWithoutParsingAStaleBuffer) {
    // Reads from the Projects folder on fail: what the earlier folders gave is kept, and no set
    // is handed over as a child of Projects or of anything after it.
    auto device = vol.Device();
    device->failFrom = vol.ClusterSector(kProjects);
    Scan scan(device.get());
    ASSERT_EQ(scan.result, 0u);
    EXPECT_NE(FindNamed(scan.builder, "note-01 melody.txt"), nullptr);  // in Documents, read before
    EXPECT_NE(FindNamed(scan.builder, "Projects"), nullptr);
    for (const CFileNode* n : scan.builder.nodes) EXPECT_LT(n->GetParentId(), vol.ClusterSector(kProjects));
    EXPECT_EQ(scan.progress.reported.back(), 1u);
}

TEST_F(ExFatDamage, ProgressNeverMovesBackAndAStopEndsTheFolderLoop) {
    auto device = vol.Device();
    Scan scan(device.get());
    ASSERT_EQ(scan.result, 0u);
    const std::vector<u64>& done = scan.progress.reported;
    ASSERT_GE(done.size(), 2u);
    // Folders walked so far, each report beyond the last percentage.
    for (size_t i = 1; i + 1 < done.size(); ++i) EXPECT_GT(done[i], done[i - 1]);

    RecordingBuilder builder;
    CountingProgress stopping;
    stopping.stopAfter = 1;  // the first pause point answers stop
    CExFatQuickSearch search;
    search.SetDirectoryTreeBuilder(&builder);
    EXPECT_EQ(search.Search(device.get(), &stopping), 0u);
    EXPECT_NE(FindNamed(builder, "Projects"), nullptr);            // the root was walked
    EXPECT_EQ(FindNamed(builder, "note-01 melody.txt"), nullptr);  // no folder after it
}

TEST_F(ExFatDamage, ALiveFolderKeepsTheClusterADeletedFolderHadBefore) {
    // A root file's set becomes a deleted folder whose first cluster is src's: the root lists it
    // before Projects, yet src's entries stay src's, live, and the deleted folder lists nothing.
    u8* file = vol.FindSet(vol.root, "Paulo a\xC3\xB1o-89.ttf");
    ASSERT_NE(file, nullptr);
    std::vector<u8> folder = testutil::MakeExFatSet("A deleted folder", kSrc, vol.clusterBytes, testutil::kExFatAttrFolder, false);
    ASSERT_EQ(folder.size(), size_t(32) * (file[1] + 1));
    for (size_t at = 0; at < folder.size(); at += 32) folder[at] &= 0x7F;
    std::copy(folder.begin(), folder.end(), file);
    auto device = vol.Device();
    QuickTree tree;
    ASSERT_NO_FATAL_FAILURE(BuildQuickTree(device.get(), std::make_unique<CExFatQuickSearch>(), false, tree));
    std::map<std::string, const CFileNode*> named;
    CollectPaths(tree.root, named, [](const std::string& path) { return path.substr(path.rfind('/') + 1); });
    ASSERT_TRUE(named.count("deep") && named.count("A deleted folder"));
    EXPECT_EQ(std::string(named["deep"]->GetParent()->GetFileProperties()->GetName()), "src");
    EXPECT_EQ(named["deep"]->GetFileProperties()->GetState() & 1, 0);
    EXPECT_EQ(named["A deleted folder"]->GetFirstChild(), nullptr);
}

TEST_F(ExFatDamage, AFolderThatCannotBeReadCostsOnlyItsOwnEntries) {
    // Documents lies on a stretch of the card that cannot be read, Projects lists src as deleted,
    // and the image stops soon after the folders, before the end of a recording that claims to be
    // longer than the whole image (a failing card's partial copy): the walk goes on past
    // Documents, the recording is listed, and the deleted src, walked after every live folder,
    // still lists its files and folders.
    constexpr u64 kCutSector = 4300;
    constexpr u64 kRecordingBytes = 3 << 20;
    u8* src = vol.FindSet(kProjects, "src");
    u8* recording = vol.FindSet(kLiveRecordings, "DSC37522.AIF");
    ASSERT_TRUE(src != nullptr && recording != nullptr);
    testutil::MarkExFatSetDeleted(src);
    WriteLE64(recording + 32 + 8, kRecordingBytes);
    WriteLE64(recording + 32 + 24, kRecordingBytes);
    vol.bytes.resize(kCutSector * 512);
    auto device = vol.Device();
    device->failBegin = vol.ClusterSector(kDocuments);
    device->failEnd = device->failBegin + vol.clusterBytes / 512;
    Scan scan(device.get());
    ASSERT_EQ(scan.result, 0u);
    EXPECT_EQ(FindNamed(scan.builder, "Reports 2019"), nullptr);  // listed in Documents alone
    EXPECT_NE(FindNamed(scan.builder, "DSC37522.AIF"), nullptr);  // Music, walked after Documents
    for (const char* name : {"note-03 record.txt", "IMG_0489.TXT"}) {
        const CFileNode* node = FindNamed(scan.builder, name);
        ASSERT_NE(node, nullptr) << name;
        EXPECT_EQ(node->GetFileProperties()->GetState() & kStateDeleted, kStateDeleted) << name;
    }
    EXPECT_EQ(scan.progress.reported.back(), 1u);
}

// A deleted folder whose first cluster the live "Large files" took lists the clusters of its run
// that no live folder holds, and never what the live folder lists.
TEST_F(ExFatDamage, ADisplacedDeletedFolderListsOnlyTheClustersNoLiveFolderHolds) {
    constexpr u32 kLarge = 1041;        // "Large files": one cluster, its file's data after it
    constexpr u32 kDataCluster = 1100;  // any cluster: the files' bytes are not read
    constexpr u32 kNew = 20;            // the folder "New", listed after "Large files"
    const struct {
        const char* what;
        u32 liveClusters;
        bool liveChainCut;   // the FAT no longer names the live folder's second cluster
        bool liveFirstFull;  // else its entries end in its first cluster
        bool liveListsSecond;
        u32 afterSecond = 0xFFFFFFFF;  // the FAT entry of the live folder's second cluster
    } rows[] = {
        {"the live folder took the first of the deleted one's two clusters", 1, false, false, false},
        {"a two-cluster live folder took the first two of three", 2, false, true, true},
        {"as before, the live folder's FAT chain lost", 2, true, true, false},
        // Zeros end its entries in its first cluster, yet its chain and size hold the second:
        // what the second lists is its own.
        {"the live folder's entries end before its second cluster", 2, false, false, true},
        {"as before, its chain running on into the folder New", 3, false, false, true, kNew},
    };
    auto fill = [](Volume& v, u32 cluster, const std::string& prefix, bool deleted) {
        u8* dir = v.Cluster(cluster);
        std::memset(dir, 0, v.clusterBytes);
        for (int i = 1; i <= 3; ++i) {
            std::vector<u8> set = testutil::MakeExFatSet(prefix + std::to_string(i) + ".dat", kDataCluster, 100,
                                                         testutil::kExFatAttrArchive, true);
            if (deleted) testutil::MarkExFatSetDeleted(set.data());
            std::memcpy(dir + (i - 1) * set.size(), set.data(), set.size());
        }
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        Volume v;
        u8* large = v.FindSet(v.root, "Large files");
        ASSERT_TRUE(large != nullptr && FirstCluster(large) == kLarge);
        if (row.liveClusters > 1) {
            large[32 + 1] = 0x01;  // a FAT chain
            WriteLE64(large + 32 + 8, u64(row.liveClusters) * v.clusterBytes);
            WriteLE64(large + 32 + 24, u64(row.liveClusters) * v.clusterBytes);
            v.SetFat(kLarge, row.liveChainCut ? 0 : kLarge + 1);
            v.SetFat(kLarge + 1, row.afterSecond);
            fill(v, kLarge + 1, "live_", false);
        }
        // Allocation-bitmap entries, which the walk passes over, fill the cluster to its end.
        for (u32 at = 0; row.liveFirstFull && at < v.clusterBytes; at += 32) {
            if (v.Cluster(kLarge)[at] == 0) v.Cluster(kLarge)[at] = 0x81;
        }
        const u32 goneAt = kLarge + std::min(row.liveClusters, 2u);  // next to the live folder's clusters
        fill(v, goneAt, "gone_", true);
        u8* file = v.FindSet(v.root, "Paulo a\xC3\xB1o-89.ttf");
        std::vector<u8> folder = testutil::MakeExFatSet("A deleted folder", kLarge, u64(goneAt - kLarge + 1) * v.clusterBytes,
                                                        testutil::kExFatAttrFolder, false);
        ASSERT_TRUE(file != nullptr && folder.size() == size_t(32) * (file[1] + 1));
        testutil::MarkExFatSetDeleted(folder.data());
        std::copy(folder.begin(), folder.end(), file);

        auto device = v.Device();
        QuickTree tree;
        ASSERT_NO_FATAL_FAILURE(BuildQuickTree(device.get(), std::make_unique<CExFatQuickSearch>(), false, tree));
        std::map<std::string, const CFileNode*> paths;
        CollectPaths(tree.root, paths);
        std::vector<std::string> listed;
        for (const CFileNode* c = paths["/A deleted folder"]->GetFirstChild(); c != nullptr; c = c->GetNextSibling()) {
            listed.push_back(NameOf(c));
            EXPECT_EQ(c->GetFileProperties()->GetState() & kStateDeleted, kStateDeleted);
        }
        std::sort(listed.begin(), listed.end());
        EXPECT_EQ(listed, (std::vector<std::string>{"gone_1.dat", "gone_2.dat", "gone_3.dat"}));
        Scan scan(device.get());
        const CFileNode* live = FindNamed(scan.builder, "live_1.dat");
        EXPECT_EQ(live != nullptr, row.liveListsSecond);
        EXPECT_TRUE(live == nullptr || live->GetParentId() == v.ClusterSector(kLarge));
        // New's, walked after Large files: a chain past zeros does not take another folder's files.
        const CFileNode* newFile = FindNamed(scan.builder, "FILE7234.TXT");
        ASSERT_NE(newFile, nullptr);
        EXPECT_EQ(newFile->GetParentId(), v.ClusterSector(kNew));
    }
}

TEST_F(ExFatDamage, LabelOfAVolumeWithoutOne) {
    // The label entry says "no label" (a character count of 0).
    u8* dir = vol.Cluster(vol.root);
    u8* label = nullptr;
    for (u32 at = 0; at < vol.clusterBytes; at += 32) {
        if (dir[at] == 0x83) label = dir + at;
    }
    ASSERT_NE(label, nullptr);
    std::memset(label + 1, 0, 31);
    auto device = vol.Device();
    std::unique_ptr<CExFatVolumeAnalyer> analyser(CreateExFatVolumeAnalyer(device.get(), 0));
    ASSERT_NE(analyser, nullptr);
    char out[8] = {'x', 'x', 0};
    analyser->GetVolumeLabel(out, 1);  // not above length + 1: untouched
    EXPECT_STREQ(out, "xx");
    analyser->GetVolumeLabel(out, 2);
    EXPECT_STREQ(out, "");
}
}  // namespace

namespace {
// The name a set found by FindSet carries.
std::string NameOfSet(const u8* set) {
    std::u16string units;
    for (u32 k = 2; k <= set[1]; ++k) {
        for (u32 i = 0; i < 15; ++i) units.push_back(char16_t(ReadLE16(set + 32 * k + 2 + 2 * i)));
    }
    units.resize(std::min<size_t>(units.size(), set[35]));
    return Utf16ToUtf8(units);
}

// Puts a 32-byte entry at `offset` of a directory cluster, moving the entries from there one
// place on (the cluster's last entry must be free).
void InsertEntry(Volume& v, u32 cluster, u32 offset, const std::vector<u8>& entry) {
    u8* dir = v.Cluster(cluster);
    ASSERT_EQ(dir[v.clusterBytes - 32], 0) << "no room in the folder's cluster";
    std::memmove(dir + offset + 32, dir + offset, v.clusterBytes - offset - 32);
    std::memcpy(dir + offset, entry.data(), 32);
}

// The file entry of the n-th set of a directory cluster.
u8* NthSet(Volume& v, u32 cluster, u32 n) {
    u8* dir = v.Cluster(cluster);
    for (u32 at = 0; at + 32 <= v.clusterBytes; at += 32) {
        if ((dir[at] == 0x85 || dir[at] == 0x05) && n-- == 0) return dir + at;
    }
    return nullptr;
}
}  // namespace

// One set of a folder that cannot be used, or a benign entry the walks do not know, costs at most
// that set: every other file of the folder is still listed, with the same runs, and the block
// walker of the complete scan still counts them.
TEST_F(ExFatDamage, OneBadSetOrABenignEntryLeavesTheRestOfTheFolder) {
    auto intact = vol.Device();
    Scan baseline(intact.get());
    ASSERT_EQ(baseline.result, 0u);
    const u64 folderId = vol.ClusterSector(kProjects);
    std::map<std::string, std::vector<DataRunExtent>> expected;
    for (const CFileNode* n : baseline.builder.nodes) {
        if (n->GetParentId() == folderId) expected[n->GetFileProperties()->GetName()] = RunsOf(n);
    }
    ASSERT_GE(expected.size(), 3u);

    struct Case {
        const char* what;
        void (*damage)(Volume& v, u8* set);
        bool victimListed;
    };
    const Case cases[] = {
        {"a name character the system forbids", [](Volume&, u8* set) { WriteLE16(set + 64 + 4, u16('*')); }, false},
        {"a damaged set checksum", [](Volume&, u8* set) { set[2] ^= 0xFF; }, true},
        {"a file entry with month 13",
         [](Volume&, u8* set) { WriteLE32(set + 8, (ReadLE32(set + 8) & ~(0xFu << 21)) | (13u << 21)); }, false},
        {"a Volume GUID entry before the set",
         [](Volume& v, u8* set) {
             std::vector<u8> guid(32, 0);
             guid[0] = 0xA0;
             InsertEntry(v, kProjects, u32(set - v.Cluster(kProjects)), guid);
         },
         true},
        {"a vendor extension entry in the set",
         [](Volume& v, u8* set) {
             std::vector<u8> vendor(32, 0);
             vendor[0] = 0xE0;
             const u32 end = u32(set - v.Cluster(kProjects)) + 32 * (set[1] + 1u);
             ++set[1];
             InsertEntry(v, kProjects, end, vendor);
         },
         true},
        {"a vendor allocation entry in the set",
         [](Volume& v, u8* set) {
             std::vector<u8> vendor(32, 0);
             vendor[0] = 0xE1;
             const u32 end = u32(set - v.Cluster(kProjects)) + 32 * (set[1] + 1u);
             ++set[1];
             InsertEntry(v, kProjects, end, vendor);
         },
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Volume damaged;
        // The second set: the folder's walk must go on past it, and the block walker has a set
        // already when it meets it.
        u8* victim = NthSet(damaged, kProjects, 1);
        ASSERT_NE(victim, nullptr);
        const std::string victimName = NameOfSet(victim);
        ASSERT_EQ(expected.count(victimName), 1u);
        c.damage(damaged, victim);

        auto device = damaged.Device();
        Scan scan(device.get());
        ASSERT_EQ(scan.result, 0u);
        for (const auto& [name, runs] : expected) {
            const CFileNode* node = FindNamed(scan.builder, name);
            if (name == victimName && !c.victimListed) {
                EXPECT_EQ(node, nullptr) << name;
                continue;
            }
            ASSERT_NE(node, nullptr) << name;
            EXPECT_EQ(RunsOf(node), runs) << name;
        }

        ExFatBlockWalker walker;
        walker.SetGeometry(damaged.bytes.size() / 512, 512);
        std::vector<ExFatDirectoryBlock> blocks;
        const u64 first = damaged.ClusterSector(kProjects);
        for (u64 s = 0; s < damaged.clusterBytes / 512; ++s) {
            walker.WalkSector(first + s, damaged.bytes.data() + (first + s) * 512, blocks);
        }
        walker.FinishBlock(blocks);
        u32 sets = 0;
        for (const ExFatDirectoryBlock& b : blocks) sets += b.setCount;
        EXPECT_EQ(sets, expected.size() - (c.victimListed ? 0 : 1));
    }
}

// Files added to the root at free clusters. A live file whose FAT chain runs on past its length
// keeps only its first cluster. A deleted file is counted incomplete where the allocation bitmap
// gives its clusters to another, and of two deleted files that claim one cluster the one created
// after the other was last written keeps it where its claim is certain (a run, a first cluster),
// whatever older modification time it kept as a copy; a freed chain's guessed run keeps nothing,
// nor does the older file under it, and two written at once keep nothing. An entry a move left
// behind keeps the moved file's bytes.
enum Written : u8 {
    kAtTheFixturesTime,
    kDayLater,         // created and modified a day after the others
    kCopiedDayLater,   // created a day after the others, keeping a modification time a year before
    kModifiedDayLater  // created with the others, modified a day after: not written after them
};
struct FileSpec {
    const char* name;
    u32 first;
    bool chained;   // NoFatChain clear
    bool deleted;
    Written later;
    bool taken;     // counted incomplete
};
struct HoldRow {
    const char* name;
    std::vector<FileSpec> files;  // of three clusters less 100 bytes each
    std::map<u32, u32> fat;
    bool bitmapMarks;  // clusters kAt to kAt + 5 in use
    std::vector<DataRunExtent> firstFileRuns = {};  // checked where given
};

constexpr u32 kAt = 2000;  // free in the fixture
const HoldRow kHoldRows[] = {
    {"ChainRunningOnPastItsLength", {{"a", kAt, true, false, kAtTheFixturesTime, false}},
     {{kAt, kAt + 2}, {kAt + 2, kAt + 4}, {kAt + 4, kAt + 6}}, true, {{kAt - 2, 1}}},
    {"DeletedOnClustersInUse", {{"a", kAt, false, true, kAtTheFixturesTime, true}}, {}, true},
    {"NewerRunOverTheOlder", {{"a", kAt, false, true, kAtTheFixturesTime, true}, {"b", kAt + 2, false, true, kDayLater, false}}, {}, false},
    {"NewerGuessOverTheOlder", {{"a", kAt, false, true, kAtTheFixturesTime, true}, {"b", kAt - 2, true, true, kDayLater, true}}, {}, false,
     {{kAt - 2, 3}}},
    {"OlderGuessUnderTheNewer", {{"a", kAt, true, true, kAtTheFixturesTime, true}, {"b", kAt + 2, false, true, kDayLater, false}}, {}, false},
    {"TwoOfOneTime", {{"a", kAt, false, true, kAtTheFixturesTime, true}, {"b", kAt + 2, false, true, kAtTheFixturesTime, true}}, {}, false},
    {"MovedFileUnderANewerGuess",
     {{"a", kAt, false, true, kAtTheFixturesTime, false}, {"moved", kAt, false, false, kAtTheFixturesTime, false}, {"b", kAt - 2, true, true, kDayLater, true}},
     {}, true},
    {"ACopyKeepsItsOldTime", {{"a", kAt, false, true, kAtTheFixturesTime, true}, {"b", kAt + 2, false, true, kCopiedDayLater, false}},
     {}, false},
    {"AnEditIsNoLaterWrite",
     {{"a", kAt, false, true, kAtTheFixturesTime, true}, {"b", kAt + 2, false, true, kModifiedDayLater, true}}, {}, false},
};

TEST_F(ExFatDamage, FilesAreWholeOnlyOnClustersNoOtherFileTookAndAsFarAsTheirChainIsTheirs) {
    constexpr u32 kBitmap = 2;
    constexpr u32 kNextDay = 1u << 16;  // the day field of a timestamp
    constexpr u32 kYear = 1u << 25;     // its year field
    for (const HoldRow& row : kHoldRows) {
        SCOPED_TRACE(row.name);
        Volume v;
        u8* at = v.Cluster(v.root);
        while (*at != 0) at += 32;
        for (const FileSpec& f : row.files) {
            std::vector<u8> set = testutil::MakeExFatSet(f.name, f.first, 3ull * v.clusterBytes - 100, testutil::kExFatAttrArchive, !f.chained);
            if (f.later != kAtTheFixturesTime) {
                if (f.later != kModifiedDayLater) WriteLE32(set.data() + 8, ReadLE32(set.data() + 8) + kNextDay);
                if (f.later == kCopiedDayLater) WriteLE32(set.data() + 12, ReadLE32(set.data() + 12) - kYear);
                if (f.later != kCopiedDayLater) WriteLE32(set.data() + 12, ReadLE32(set.data() + 12) + kNextDay);
                u16 sum = 0;
                for (size_t i = 0; i < set.size(); ++i) sum = i == 2 || i == 3 ? sum : u16((sum >> 1 | sum << 15) + set[i]);
                WriteLE16(set.data() + 2, sum);
            }
            if (f.deleted) testutil::MarkExFatSetDeleted(set.data());
            at = std::copy(set.begin(), set.end(), at);
        }
        for (const auto& [cluster, value] : row.fat) v.SetFat(cluster, value);
        for (u32 c = kAt; c < kAt + 6 && row.bitmapMarks; ++c) v.Cluster(kBitmap)[(c - 2) / 8] |= u8(1u << ((c - 2) % 8));

        auto device = v.Device();
        Scan scan(device.get());
        for (const FileSpec& f : row.files) {
            const CFileNode* node = FindNamed(scan.builder, f.name);
            ASSERT_NE(node, nullptr) << f.name;
            EXPECT_EQ((node->GetFileProperties()->GetState() & kStateClustersTaken) != 0, f.taken) << f.name;
        }
        if (!row.firstFileRuns.empty()) {
            EXPECT_EQ(RunsOf(FindNamed(scan.builder, row.files[0].name)), row.firstFileRuns);
        }
    }
}

// One newer deleted file written over many older ones, in a live folder or in a deleted one: every
// older file is counted incomplete however many share its clusters, and the newer one keeps them.
TEST_F(ExFatDamage, EveryOlderFileUnderANewerOneIsCountedIncompleteHoweverMany) {
    constexpr u32 kFolder = 1900;  // free in the fixture, as are the files' clusters from kAt on
    constexpr u32 kFolderClusters = 4;
    constexpr u32 kNextDay = 1u << 16;
    for (const u32 rivals : {2u, 130u}) {
        for (const bool folderDeleted : {false, true}) {
            SCOPED_TRACE(testing::Message() << rivals << " rivals, folder deleted: " << folderDeleted);
            Volume v;
            u8* at = v.Cluster(v.root);
            while (*at != 0) at += 32;
            std::vector<u8> folder = testutil::MakeExFatSet("F", kFolder, u64(kFolderClusters) * v.clusterBytes,
                                                            testutil::kExFatAttrFolder, true);
            if (folderDeleted) testutil::MarkExFatSetDeleted(folder.data());
            at = std::copy(folder.begin(), folder.end(), at);
            std::vector<u8> big = testutil::MakeExFatSet("big", kAt, u64(rivals) * v.clusterBytes, testutil::kExFatAttrArchive, true);
            for (u32 field : {8u, 12u}) WriteLE32(big.data() + field, ReadLE32(big.data() + field) + kNextDay);
            u16 sum = 0;
            for (size_t i = 0; i < big.size(); ++i) sum = i == 2 || i == 3 ? sum : u16((sum >> 1 | sum << 15) + big[i]);
            WriteLE16(big.data() + 2, sum);
            testutil::MarkExFatSetDeleted(big.data());
            std::copy(big.begin(), big.end(), at);
            u8* inFolder = v.Cluster(kFolder);
            for (u32 i = 0; i < rivals; ++i) {
                char name[16];
                std::snprintf(name, sizeof(name), "s%03u", unsigned(i));
                std::vector<u8> set = testutil::MakeExFatSet(name, kAt + i, v.clusterBytes - 100, testutil::kExFatAttrArchive, true);
                testutil::MarkExFatSetDeleted(set.data());
                inFolder = std::copy(set.begin(), set.end(), inFolder);
            }
            auto device = v.Device();
            Scan scan(device.get());
            const CFileNode* bigNode = FindNamed(scan.builder, "big");
            ASSERT_NE(bigNode, nullptr);
            EXPECT_EQ(bigNode->GetFileProperties()->GetState() & kStateClustersTaken, 0);
            u32 taken = 0;
            for (u32 i = 0; i < rivals; ++i) {
                char name[16];
                std::snprintf(name, sizeof(name), "s%03u", unsigned(i));
                const CFileNode* node = FindNamed(scan.builder, name);
                ASSERT_NE(node, nullptr) << name;
                taken += (node->GetFileProperties()->GetState() & kStateClustersTaken) != 0 ? 1 : 0;
            }
            EXPECT_EQ(taken, rivals);
        }
    }
}

// A volume whose layout was guessed from its folders alone (a re-format at another cluster size)
// may put its files where their bytes are not: a file whose first bytes read as zeros there is
// counted incomplete, live or deleted, and on a volume whose own boot sector placed it nothing
// is flagged for its bytes.
TEST_F(ExFatDamage, AFileOfAGuessedLayoutThatBeginsWithZerosIsCountedIncomplete) {
    constexpr u32 kBlank = kAt;
    constexpr u32 kWritten = kAt + 4;
    for (const bool guessed : {false, true}) {
        for (const bool deleted : {false, true}) {
            SCOPED_TRACE(testing::Message() << "guessed " << guessed << ", deleted " << deleted);
            Volume v;
            u8* at = v.Cluster(v.root);
            while (*at != 0) at += 32;
            std::fill_n(v.Cluster(kBlank), 2 * v.clusterBytes, u8(0));
            std::fill_n(v.Cluster(kWritten), 2 * v.clusterBytes, u8('w'));
            for (const auto& [name, cluster] : {std::pair<const char*, u32>{"blank", kBlank}, {"written", kWritten}}) {
                std::vector<u8> set = testutil::MakeExFatSet(name, cluster, v.clusterBytes + 100, testutil::kExFatAttrArchive, true);
                if (deleted) testutil::MarkExFatSetDeleted(set.data());
                at = std::copy(set.begin(), set.end(), at);
            }
            auto device = v.Device();
            Scan scan(device.get(), guessed);
            const CFileNode* blank = FindNamed(scan.builder, "blank");
            const CFileNode* written = FindNamed(scan.builder, "written");
            ASSERT_NE(blank, nullptr);
            ASSERT_NE(written, nullptr);
            EXPECT_EQ((blank->GetFileProperties()->GetState() & kStateContentUnconfirmed) != 0, guessed);
            EXPECT_EQ(written->GetFileProperties()->GetState() & kStateContentUnconfirmed, 0);
        }
    }
}
