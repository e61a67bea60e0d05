// FAT run lists, file properties and their saved form, the cluster-use test and the estimate of
// a deleted FAT32 file's first cluster.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <vector>

#include "SavedSections.h"
#include "engine/FileNode.h"
#include "engine/FsServices.h"
#include "engine/RSData.h"
#include "fs/fat/FatFactories.h"
#include "fs/fat/FatFileProperties.h"
#include "fs/fat/FatRevise.h"
#include "fs/fat/FatTable.h"
#include "fs/fat/FatVolumeAnalyze.h"
#include "platform/Log.h"
#include "platform/Time.h"
#include "raw/AnalyserRegistry.h"

namespace {
class MapTable : public IFATTable {
public:
    u32 GetEntry(u32 cluster) override {
        ++lookups;
        auto it = entries.find(cluster);
        return it == entries.end() ? 0 : it->second;
    }
    std::map<u32, u32> entries;
    u64 lookups = 0;
};

std::vector<DataRunExtent> Extents(IDataRunList* list) {
    std::vector<DataRunExtent> out;
    if (list == nullptr) return out;
    for (DataRunExtent* e = list->GetFirstExtent(); e != nullptr; e = list->GetNextExtent()) out.push_back(*e);
    return out;
}

class FatRuns : public ::testing::Test {
protected:
    void SetUp() override { SetLoggingEnabled(false); }
    void TearDown() override { SetLoggingEnabled(true); }
    MapTable fat;
    FatVolumeGeometry volume{&fat, 1, 512, 100000, 0};
};

TEST_F(FatRuns, LiveFilesFollowTheirChain) {
    fat.entries = {{10, 11}, {11, 15}, {15, 0x0FFFFFFF}};
    std::unique_ptr<CFATDataRunList> runs(BuildFATRuns(volume, 10, 3 * 512, false));
    EXPECT_EQ(Extents(runs.get()), (std::vector<DataRunExtent>{{8, 2}, {13, 1}}));
    EXPECT_EQ(runs->GetKind(), 0u);

    // A chain that ends early still covers the size; a bad mark ends the chain as an end mark does.
    fat.entries = {{20, 0x0FFFFFF7}};
    std::unique_ptr<CFATDataRunList> bad(BuildFATRuns(volume, 20, 3 * 512, false));
    EXPECT_EQ(Extents(bad.get()), (std::vector<DataRunExtent>{{18, 3}}));
}

TEST_F(FatRuns, LiveChainsThatLoopOrLeaveTheVolumeEnd) {
    // 30 -> 31 -> 30 ...: the walk ends within the volume's cluster count.
    fat.entries = {{30, 31}, {31, 30}};
    std::unique_ptr<CFATDataRunList> loop(BuildFATRuns(volume, 30, 1ULL << 40, false));
    EXPECT_LT(fat.lookups, 2 * 100000 + 10);
    EXPECT_EQ(loop, nullptr);  // the size cannot fit the volume
    // A next cluster past the volume ends the chain there.
    fat.entries = {{40, 500000}};
    std::unique_ptr<CFATDataRunList> past(BuildFATRuns(volume, 40, 2 * 512, false));
    EXPECT_EQ(Extents(past.get()), (std::vector<DataRunExtent>{{38, 2}}));
}

TEST_F(FatRuns, DeletedFilesTakeConsecutiveClustersUpToTheVolumeEnd) {
    fat.entries = {{101, 0x0FFFFFF7}};
    std::unique_ptr<CFATDataRunList> runs(BuildFATRuns(volume, 100, 2 * 512 + 256, true));
    EXPECT_EQ(Extents(runs.get()), (std::vector<DataRunExtent>{{98, 1}, {100, 2}}));
    EXPECT_EQ(BuildFATRuns(volume, 100, 0, true), nullptr);

    // The data area begins 1000 sectors into the volume: runs stop at the volume's end, not
    // 1000 sectors beyond it.
    FatVolumeGeometry shifted{&fat, 4, 512, 10000, 1000};
    std::unique_ptr<CFATDataRunList> tail(BuildFATRuns(shifted, 2240, 1 << 20, true));
    ASSERT_NE(tail, nullptr);
    const std::vector<DataRunExtent> e = Extents(tail.get());
    ASSERT_EQ(e.size(), 1u);
    EXPECT_EQ(1000 + (u64(e[0].start) + e[0].length) * 4, 10000u);
    EXPECT_EQ(BuildFATRuns(shifted, 2252, 512, true), nullptr);  // starts past the end
}

TEST_F(FatRuns, FirstClusterBelowTwoGivesNoRuns) {
    for (bool deleted : {false, true}) {
        EXPECT_EQ(BuildFATRuns(volume, 0, 4096, deleted), nullptr);
        EXPECT_EQ(BuildFATRuns(volume, 1, 4096, deleted), nullptr);
    }
    FatVolumeGeometry noFat{nullptr, 1, 512, 1000, 0};
    EXPECT_EQ(BuildFATRuns(noFat, 1, 4096, false), nullptr);
    std::unique_ptr<CFATDataRunList> whole(BuildFATRuns(noFat, 10, 4096, false));
    EXPECT_EQ(Extents(whole.get()), (std::vector<DataRunExtent>{{8, 8}}));
    EXPECT_EQ(BuildFATRuns(noFat, 990, 1 << 20, false), nullptr);  // overflows the volume
}

TEST(FatRunList, MergesOnlyContinuingExtents) {
    CFATDataRunList list;
    AppendExtentMerged(&list, {5, 2});
    AppendExtentMerged(&list, {7, 3});
    AppendExtentMerged(&list, {-1, 4});
    AppendExtentMerged(&list, {3, 1});
    AppendExtentMerged(&list, {20, 1});
    EXPECT_EQ(Extents(&list), (std::vector<DataRunExtent>{{5, 5}, {-1, 4}, {3, 1}, {20, 1}}));
}

using testutil::MemoryStream;

TEST(FatProperties, EntryFieldsAndFixedAnswers) {
    u8 entry[32] = {};
    std::memcpy(entry, "\xE5OO     TXT", 11);
    entry[11] = 0x20;
    WriteLE16(entry + 24, (40 << 9) | (3 << 5) | 10);
    WriteLE16(entry + 22, (10 << 11) | (19 << 5) | 14);
    WriteLE16(entry + 16, (40 << 9) | (13 << 5) | 10);  // month 13: no time
    WriteLE32(entry + 28, 1234);
    CFATFileProperties* p = CreateFATFilePropertiesFromEntry("#OO.TXT", entry).release();
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->GetSize(), 1234u);
    EXPECT_EQ(p->GetState(), 1);
    FILETIME64 t = 0;
    p->GetModificationTime(t);
    u64 want = 0;
    ASSERT_TRUE(DosDateTimeToFileTime((40 << 9) | (3 << 5) | 10, (10 << 11) | (19 << 5) | 14, want));
    EXPECT_EQ(t, want);
    p->GetCreationTime(t);
    EXPECT_EQ(t, 0u);
    EXPECT_EQ(p->GetValidFields(), 0xFFu);
    EXPECT_EQ(p->GetFileSystemKind(), 1u);
    EXPECT_EQ(p->SetFlag(5), 1);
    EXPECT_EQ(p->GetFlag(), 0);
    EXPECT_EQ(CreateFATFilePropertiesFromEntry(nullptr, entry).release(), nullptr);
    p->Release();

    IFileProperties* root = CreateFATFileProperties(1);
    ASSERT_NE(root, nullptr);
    EXPECT_STREQ(root->GetName(), "FAT16");
    EXPECT_NE(root->GetAttributes() & kAttrDirectory, 0);
    root->Release();
}

TEST(FatProperties, SaveAndLoadKeepEveryField) {
    CFATFileProperties* p = NewFATFileProperties();
    p->SetName("report.txt");
    p->SetSize(5000);
    p->SetAttributes(0x20);
    p->SetModificationTime(123456789);
    p->SetState(1);
    p->SetFirstCluster(77);
    p->SetParentCluster(12);
    MemoryStream plain;
    p->Save(&plain);
    // Without runs the record ends with the flag 0.
    EXPECT_EQ(plain.bytes.size(), 2u + 10 + 8 + 2 + 24 + 1 + 4 + 4 + 4);
    EXPECT_EQ(ReadLE32(plain.bytes.data() + plain.bytes.size() - 4), 0u);

    auto* runs = new CFATDataRunList;
    runs->AppendExtent(75, 3);
    runs->AppendExtent(200, 7);
    p->SetDataRunList(runs);
    MemoryStream withRuns;
    p->Save(&withRuns);
    CFATFileProperties* back = LoadFATFileProperties(&withRuns);
    ASSERT_NE(back, nullptr);
    EXPECT_STREQ(back->GetName(), "report.txt");
    EXPECT_EQ(back->GetSize(), 5000u);
    EXPECT_EQ(back->GetFirstCluster(), 77u);
    EXPECT_EQ(back->GetParentCluster(), 12u);
    FILETIME64 t = 0;
    back->GetModificationTime(t);
    EXPECT_EQ(t, 123456789u);
    std::unique_ptr<IDataRunList> list(back->CreateDataRunList());
    EXPECT_EQ(Extents(list.get()), (std::vector<DataRunExtent>{{75, 3}, {200, 7}}));
    back->Release();

    // A record cut short throws and leaks nothing.
    MemoryStream cut;
    cut.bytes.assign(withRuns.bytes.begin(), withRuns.bytes.begin() + 20);
    EXPECT_THROW(LoadFATFileProperties(&cut), IRSException);
    p->Release();
}

// ---- cluster use ----
TEST(FatClusterUse, AnswersForEverySector) {
    std::vector<u8> bits = {0x05};  // clusters 0 and 2 (numbers 2 and 4) in use
    CClusterUseBitMap map({&bits, 100, 4, 6});
    EXPECT_TRUE(map.IsClusterUsed(99));    // before the cluster area
    EXPECT_TRUE(map.IsClusterUsed(100));   // index 0
    EXPECT_FALSE(map.IsClusterUsed(104));  // index 1
    EXPECT_TRUE(map.IsClusterUsed(111));   // index 2
    EXPECT_TRUE(map.IsClusterUsed(124));   // index 6: past the last whole cluster
    CClusterUseBitMap empty({nullptr, 100, 4, 0});
    EXPECT_FALSE(empty.IsClusterUsed(5));
    // A vector shorter than the count: clusters it lacks are not claimed free.
    CClusterUseBitMap shortBits({&bits, 0, 1, 64});
    EXPECT_TRUE(shortBits.IsClusterUsed(40));
}

// ---- the estimate of a lost high word ----
CFileNode* Ref(u32 cluster, u64 size, u64 createdSeconds, bool deleted) {
    CFATFileProperties* p = NewFATFileProperties();
    p->SetFirstCluster(cluster);
    p->SetSize(size);
    p->SetCreationTime(createdSeconds * 10000000);
    p->SetState(deleted ? 1 : 0);
    CFileNode* n = CreateFileNode().release();
    n->SetFileProperties(p);
    return n;
}

// The first cluster a deleted file that may have lost its high word is given: from its neighbours
// in creation time (seconds; 512-byte clusters), among the clusters of its low word in a volume
// of five blocks unless a row says otherwise, those a chain holds or never written left out; where
// its name calls for a header, the first that holds one. The file (`self`) is no neighbour of its own.
TEST(FatRevise, EstimateTakesTheHighWordFromItsNeighbours) {
    struct Neighbour {
        u32 cluster;
        u64 size, created;
        bool deleted, self = false;
    };
    const std::vector<Neighbour> kThree = {{0x20010, 512 * 100, 1000, true}, {0x30005, 512, 3000, false},
                                           {0x10009, 512, 500, false}, {0x1234, 4096, 2000, true, true}};
    const std::vector<Neighbour> kLiveFar = {{0x10009, 512, 500, false}, {0x30005, 512, 3000, false}};
    // Live at the low word, then L1 before D and L2 after it, 100 clusters from D = 0x11234.
    const std::vector<Neighbour> kAround = {{0x1234, 512, 100, false}, {0x111D0, 512, 1000, false},
                                            {0x11298, 512, 3000, false}};
    constexpr u64 kNotCalledFor = ~0ULL;  // the row's name calls for no header
    constexpr u64 kFiveBlocks = 0x4FFFF;
    const struct {
        const char* what;
        std::vector<Neighbour> neighbours;
        u32 recorded;
        u64 created;
        std::vector<u64> headers;  // clusters that begin what the name calls for
        u32 expected;
        bool confirmed;
        std::vector<u64> taken = {}, written = {};  // written empty: every cluster holds bytes
        u64 highest = kFiveBlocks;
    } rows[] = {
        {"the block of the end of the deleted file before it", kThree, 0x1234, 2000, {kNotCalledFor}, 0x21234, false},
        {"no deleted file before it: the live one before it", kThree, 0x1234, 800, {kNotCalledFor}, 0x11234, false},
        {"a first cluster that kept its high word", kThree, 0x12345, 800, {kNotCalledFor}, 0x12345, true},
        {"exactly 65,536 kept its high word", kThree, 0x10000, 800, {}, 0x10000, true},
        {"no neighbour", {}, 0x1234, 0, {kNotCalledFor}, 0x1234, true},
        {"no neighbour, no header of its type anywhere", {}, 0x1234, 0, {}, 0x1234, true},
        {"a deleted file before it at exactly 65,536", {{65536, 512, 1000, true}}, 100, 2000, {kNotCalledFor}, 65636,
         false},
        {"live files across a block's boundary", {{65436, 512, 1000, false}, {65636, 512, 3000, false}}, 3, 2000,
         {kNotCalledFor}, 65539, false},
        {"live files more than a block apart", {{99, 512, 1000, false}, {103940, 512, 3000, false}}, 3, 2000,
         {kNotCalledFor}, 3, true},
        {"its header after the deleted file before it, its own cluster never written", {{65439, 512, 1000, true}}, 3,
         2000, {65539}, 65539, true, {}, {65539}},
        {"a header elsewhere, its own cluster the likeliest and written", {{65439, 512, 1000, true}}, 3, 2000,
         {65539}, 3, true},
        {"its header at the recorded cluster alone", kLiveFar, 0x1234, 800, {0x1234}, 0x1234, true},
        {"headers at the likeliest and the recorded cluster", kLiveFar, 0x1234, 800, {0x1234, 0x11234}, 0x11234, true},
        {"no header anywhere", kLiveFar, 0x1234, 800, {}, 0x11234, false},
        {"another deleted file of its own second", {kThree[0], kThree[3], {0x40020, 512, 2000, true}}, 0x1234, 2000,
         {kNotCalledFor}, 0x41234, false},
        // Where the others are taken or were never written, the one left is the file's.
        {"live neighbours: the one cluster written between them", kAround, 0x1234, 2000, {kNotCalledFor}, 0x11234,
         true, {0x1234}, {0x11234}},
        {"live neighbours, its header nowhere", kAround, 0x1234, 2000, {}, 0x11234, true, {0x1234}, {0x11234}},
        {"an earlier live neighbour only", {kAround[0], kAround[1]}, 0x1234, 2000, {kNotCalledFor}, 0x11234, true,
         {0x1234}, {0x11234}},
        {"a later live neighbour only", {kAround[0], kAround[2]}, 0x1234, 2000, {}, 0x11234, true, {0x1234},
         {0x11234}},
        {"nothing tells, one cluster written", {kAround[0]}, 0x1234, 2000, {kNotCalledFor}, 0x11234, true, {0x1234},
         {0x11234}},
        {"nothing tells, two clusters written", {kAround[0]}, 0x1234, 2000, {kNotCalledFor}, 0x11234, false, {0x1234},
         {0x11234, 0x31234}},
        {"the deleted file before it ends in a block never written there",
         {{0x20002 - 100, 512 * 10, 1000, true}, {0x20002 + 100, 512, 3000, false}}, 2, 2000, {kNotCalledFor},
         0x20002, true, {2}, {0x20002}},
        {"its cluster taken, nothing written anywhere", {}, 0x1234, 0, {kNotCalledFor}, 0x1234, false, {0x1234},
         {0x99999}},
        {"a volume of one block, its cluster taken", kLiveFar, 0x1234, 800, {kNotCalledFor}, 0x1234, false,
         {0x1234}, {}, 0xFFFF},
        {"a volume of two blocks: the neighbour past its end offers none", kLiveFar, 0x1234, 800, {kNotCalledFor},
         0x11234, true, {0x1234}, {}, 0x1FFFF},
        {"low word 0, one cluster written", {}, 0, 2000, {}, 0x10000, true, {}, {0x10000}},
        {"low word 1 between live neighbours", {{0x1FFF0, 512, 1000, false}, {0x20010, 512, 3000, false}}, 1, 2000,
         {kNotCalledFor}, 0x20001, true, {}, {0x20001}},
        {"low word 0, nothing written", {}, 0, 2000, {kNotCalledFor}, 0x10000, false, {}, {0x99999}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        std::vector<CFileNode*> refs;
        const CFileNode* self = nullptr;
        for (const Neighbour& n : row.neighbours) {
            refs.push_back(Ref(n.cluster, n.size, n.created, n.deleted));
            if (n.self) self = refs.back();
        }
        const auto among = [](const std::vector<u64>& v, u64 c) { return std::count(v.begin(), v.end(), c) != 0; };
        FatCandidateLook look;
        look.taken = [&](u64 c) { return among(row.taken, c); };
        look.blank = [&](u64 c) { return !row.written.empty() && !among(row.written, c); };
        if (row.headers != std::vector<u64>{kNotCalledFor}) look.holdsHeader = [&](u64 c) { return among(row.headers, c); };
        const FatFirstClusterEstimate estimate = EstimateDeletedFirstCluster(
            CFatReviseReferences(refs), self, 4096, row.recorded, row.created * 10000000ULL, 512, row.highest, look);
        EXPECT_EQ(estimate.cluster, row.expected);
        EXPECT_EQ(estimate.confirmed, row.confirmed);
        for (CFileNode* n : refs) DestroyTreeNode(n);
    }

    u8 pe[512] = {'M', 'Z'};
    WriteLE32(pe + 60, 128);
    pe[128] = 'P';
    pe[129] = 'E';
    EXPECT_TRUE(IsPEImageHeader(pe, 512));
    WriteLE32(pe + 60, 511);
    EXPECT_FALSE(IsPEImageHeader(pe, 512));
    WriteLE32(pe + 60, 0xFFFFFFF0);
    EXPECT_FALSE(IsPEImageHeader(pe, 512));
}

// What a name calls for is judged by the carving analysers' header checks, a short name's
// extension standing for the longer ones it begins (".DOC" for ".docx").
TEST(FatRevise, ANameCallsForTheHeaderOfItsType) {
    const CFatHeaderExpectation expect(&CRawFileAnalyserRegistry::Instance());
    u8 jpeg[512] = {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10, 'J', 'F', 'I', 'F', 0x00};
    u8 zip[512] = {'P', 'K', 3, 4, 20, 0, 0, 0, 8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 200, 0, 0, 0, 144, 1, 0, 0, 5, 0, 0, 0};
    std::memcpy(zip + 30, "a.xml", 5);
    const auto holds = [&](const char* name, const u8* b) { return expect.Holds(expect.CalledFor(name), b, 512); };
    EXPECT_TRUE(expect.CalledFor("NOTES.TXT").empty());
    EXPECT_TRUE(holds("photo.jpeg", jpeg));
    EXPECT_FALSE(holds("photo.jpeg", zip));
    EXPECT_TRUE(holds("#EPORT~1.DOC", zip));
}
}  // namespace
