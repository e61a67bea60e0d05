// FAT run lists, file properties and their saved form, the cluster-use test and the estimate of
// a deleted FAT32 file's first cluster.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <vector>

#include "ImageDevice.h"
#include "SavedSections.h"
#include "engine/FileNode.h"
#include "engine/FsServices.h"
#include "engine/RSData.h"
#include "fs/fat/FatFactories.h"
#include "fs/fat/FatFileProperties.h"
#include "fs/fat/FatRevise.h"
#include "fs/fat/FatReviseLook.h"
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

// The first cluster a deleted file that may have lost its high word is given (512-byte clusters,
// 4,096 bytes, a volume of five blocks unless a row says otherwise): between the files around it
// in the folder's listing (and in creation time, in seconds) whose first clusters are whole, after
// its folder's own cluster; where its name calls for a header, a cluster that holds it; among the
// clusters no chain holds, no other file claims and that were written. The neighbours are listed
// in the folder's order, the file itself (`self`) among them.
TEST(FatRevise, EstimateTakesTheHighWordFromItsNeighbours) {
    struct Neighbour {
        u32 cluster;
        u64 size, created;
        bool deleted, self = false;
    };
    const Neighbour kSelf{0x1234, 4096, 2000, true, true};
    // Live L1 before it and L2 after it in the listing and in time, 100 clusters from 0x31234.
    const Neighbour kL1{0x311D0, 512, 1000, false};
    const Neighbour kL2{0x31298, 512, 3000, false};
    const std::vector<Neighbour> kAround = {kL1, kSelf, kL2};
    constexpr u64 kNotCalledFor = ~0ULL;  // the row's name calls for no header
    constexpr u64 kFiveBlocks = 0x4FFFF;
    const struct {
        const char* what;
        std::vector<Neighbour> neighbours;
        u32 recorded;
        std::vector<u64> headers;  // clusters that begin what the name calls for
        u32 expected;
        bool confirmed;
        std::vector<u64> taken = {}, written = {};  // written empty: every cluster holds bytes
        u64 highest = kFiveBlocks;
        u64 folder = 0;              // the folder's own cluster; 0: unknown
        std::vector<u64> claimed = {};  // clusters other files are known to hold
    } rows[] = {
        {"a first cluster that kept its high word", {}, 0x12345, {kNotCalledFor}, 0x12345, true},
        {"exactly 65,536 kept its high word", {}, 0x10000, {}, 0x10000, true},
        {"a volume of one block: nothing to choose, its cluster taken", {}, 0x1234, {kNotCalledFor}, 0x1234, true,
         {0x1234}, {}, 0xFFFF},
        {"siblings on both sides, one cluster of its low word between them", kAround, 0x1234, {kNotCalledFor},
         0x31234, true},
        {"siblings on both sides, its header between them", kAround, 0x1234, {0x31234, 0x1234}, 0x31234, true},
        {"siblings on both sides, a header its name calls for nowhere: they place it", kAround, 0x1234, {}, 0x31234,
         true},
        {"siblings on both sides, its header only outside them", kAround, 0x1234, {0x11234}, 0x11234, true},
        {"placed where a chain holds it now: it lay there, written over since", kAround, 0x1234, {kNotCalledFor},
         0x31234, true, {0x31234}},
        {"placed where a chain holds it, its recorded cluster held too: it stays", kAround, 0x1234, {kNotCalledFor},
         0x1234, true, {0x31234, 0x1234}},
        {"placed where another file claims it, its header the only one elsewhere", kAround, 0x1234, {0x21234},
         0x21234, true, {}, {}, kFiveBlocks, 0, {0x31234}},
        {"placed where another file claims it, nothing else tells", kAround, 0x1234, {kNotCalledFor}, 0x31234, false,
         {}, {}, kFiveBlocks, 0, {0x31234}},
        {"siblings more than a block apart, its header at one of three between", {{0x10000, 512, 1000, false}, kSelf,
         {0x40000, 512, 3000, false}}, 0x1234, {0x21234, 0x41234}, 0x21234, true},
        {"siblings more than a block apart, its header nowhere: the nearest, unconfirmed",
         {{0x10000, 512, 1000, false}, kSelf, {0x40000, 512, 3000, false}}, 0x1234, {}, 0x11234, false},
        {"the listing and creation times disagree: the listing tells",
         {{0x311D0, 512, 3000, false}, kSelf, {0x31298, 512, 1000, false}}, 0x1234, {kNotCalledFor}, 0x31234, true},
        {"a file written later in a free slot before it tells nothing", {{0x40000, 512, 3000, false}, kSelf, kL2},
         0x1234, {kNotCalledFor}, 0x31234, true, {}, {}, kFiveBlocks, 0x30000},
        {"creation times narrow the listing's window",
         {{0x10000, 512, 1000, false}, kSelf, {0x40000, 512, 3000, false}, {0x31000, 512, 1500, false}}, 0x1234,
         {kNotCalledFor}, 0x31234, true},
        {"the deleted sibling before it kept its high word", {{0x20010, 512 * 100, 1000, true}, kSelf}, 0x1234,
         {kNotCalledFor}, 0x21234, true},
        {"a deleted sibling before it whose high word is lost bounds nothing",
         {{0x0010, 512 * 100, 1000, true}, kSelf, kL2}, 0x1234, {kNotCalledFor}, 0x31234, true},
        {"a folder past 65,535 alone bounds its first file", {kSelf}, 0x1234, {kNotCalledFor}, 0x31234, true, {}, {},
         kFiveBlocks, 0x30100},
        {"a folder past 65,535 and a later sibling", {kSelf, kL2}, 0x1234, {kNotCalledFor}, 0x31234, true, {}, {},
         kFiveBlocks, 0x30000},
        {"a folder past its later sibling bounds nothing", {kSelf, {0x21298, 512, 3000, false}}, 0x1234,
         {kNotCalledFor}, 0x21234, true, {}, {}, kFiveBlocks, 0x30000},
        // The recorded cluster of a folder's first file is its likeliest place, but another file's
        // bytes there confirm nothing: its header is looked for at the others.
        {"a stale low-word cluster: its header at the full one alone", {kSelf}, 0x1234, {0x21234}, 0x21234, true, {},
         {}, kFiveBlocks, 2},
        {"its header at its recorded cluster", {kSelf}, 0x1234, {0x1234}, 0x1234, true, {}, {}, kFiveBlocks, 2},
        {"its header at two clusters no other file claims", {kSelf}, 0x1234, {0x11234, 0x31234}, 0x11234, false},
        {"one of two headers claimed by another file", {kSelf}, 0x1234, {0x11234, 0x31234}, 0x31234, true, {}, {},
         kFiveBlocks, 0, {0x11234}},
        {"no header anywhere: the recorded cluster, unconfirmed", {kSelf}, 0x1234, {}, 0x1234, false},
        {"no header anywhere, one other cluster written", {kSelf}, 0x1234, {}, 0x31234, true, {0x1234}, {0x31234}},
        {"no header anywhere, its own cluster alone written", {kSelf}, 0x1234, {}, 0x1234, true, {}, {0x1234}},
        {"every cluster written, nothing tells", {kSelf}, 0x1234, {kNotCalledFor}, 0x1234, false},
        {"nothing tells, one cluster written", {kSelf}, 0x1234, {kNotCalledFor}, 0x21234, true, {}, {0x21234}},
        {"nothing tells, two clusters written", {kSelf}, 0x1234, {kNotCalledFor}, 0x11234, false, {},
         {0x11234, 0x31234}},
        // Its recorded cluster below 65,536 a live chain holds: it began there unless the files
        // around it say otherwise, and is not moved onto clusters other files hold.
        {"a live chain holds its recorded cluster, the others claimed", {kSelf}, 0x1234, {kNotCalledFor}, 0x1234,
         true, {0x1234}, {}, kFiveBlocks, 0, {0x11234, 0x21234, 0x31234, 0x41234}},
        {"a live chain holds its recorded cluster, its siblings around it", {{0x1200, 512, 1000, false}, kSelf,
         {0x1300, 512, 3000, false}}, 0x1234, {kNotCalledFor}, 0x1234, true, {0x1234}},
        {"a live chain holds its recorded cluster, one other written", {kSelf}, 0x1234, {kNotCalledFor}, 0x31234,
         true, {0x1234}, {0x31234}},
        {"a live chain holds its recorded cluster, its header at two others", {kSelf}, 0x1234, {0x11234, 0x31234},
         0x11234, false, {0x1234}},
        {"a live chain holds its recorded cluster, its header elsewhere", {kSelf}, 0x1234, {0x31234}, 0x31234, true,
         {0x1234}},
        {"a volume of more blocks than are looked at: none confirmed alone", {kSelf}, 0x1234, {kNotCalledFor},
         0x21234, false, {}, {0x21234}, 0x10000 * 100},
        {"low word 0, one cluster written", {}, 0, {kNotCalledFor}, 0x10000, true, {}, {0x10000}},
        {"low word 1 between live siblings", {{0x1FFF0, 512, 1000, false}, {1, 4096, 2000, true, true},
         {0x20010, 512, 3000, false}}, 1, {kNotCalledFor}, 0x20001, true},
        {"low word 0, nothing written", {}, 0, {kNotCalledFor}, 0x10000, false, {}, {0x99999}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        std::vector<CFileNode*> refs;
        const CFileNode* self = nullptr;
        u64 created = 0;
        for (const Neighbour& n : row.neighbours) {
            refs.push_back(Ref(n.cluster, n.size, n.created, n.deleted));
            if (n.self) {
                self = refs.back();
                created = n.created;
            }
        }
        const auto among = [](const std::vector<u64>& v, u64 c) { return std::count(v.begin(), v.end(), c) != 0; };
        FatCandidateLook look;
        look.taken = [&](u64 c) { return among(row.taken, c); };
        look.blank = [&](u64 c) { return !row.written.empty() && !among(row.written, c); };
        look.claimed = [&](u64 c) { return among(row.claimed, c); };
        if (row.headers != std::vector<u64>{kNotCalledFor}) {
            look.holdsHeader = [&](u64 c) { return among(row.headers, c); };
        }
        const FatFirstClusterEstimate estimate =
            EstimateDeletedFirstCluster(CFatReviseReferences(refs, row.folder), self, 4096, row.recorded,
                                        created * 10000000ULL, 512, row.highest, look);
        EXPECT_EQ(estimate.cluster, row.expected);
        EXPECT_EQ(estimate.confirmed, row.confirmed);
        for (CFileNode* n : refs) DestroyTreeNode(n);
    }
}

// The first bytes of the clusters a deleted file may begin at are read once each, those near one
// another in one read; a run that fails is read head by head, so that a bad sector costs only the
// head it holds, which then counts as never written. The clusters known to be other files' are a
// union of ranges.
TEST(FatRevise, CandidateClustersAreReadInRunsOnceEach) {
    constexpr u64 kDataStart = 100;  // one 512-byte sector a cluster
    testutil::MemoryDevice device(512, 4096);
    const auto sectorOf = [](u64 cluster) { return kDataStart + cluster - 2; };
    device.Put(sectorOf(10) * 512, {'A'});
    device.Put(sectorOf(499) * 512, {'B'});
    CFatClusterHeads heads(&device, kDataStart, 1, 3000);
    heads.Read({2000, 10, 14, 12, 10});
    EXPECT_EQ(device.reads, 2u);
    EXPECT_FALSE(heads.Blank(10, 512));
    EXPECT_TRUE(heads.Blank(12, 512));
    heads.Read({12, 2000});
    EXPECT_TRUE(heads.Blank(2000, 512));
    EXPECT_EQ(device.reads, 2u);
    EXPECT_EQ(heads.Head(3002), nullptr);
    EXPECT_EQ(heads.Head(1), nullptr);
    EXPECT_EQ(device.reads, 2u);

    device.failBegin = sectorOf(500);
    device.failEnd = device.failBegin + 1;
    heads.Read({499, 500, 501});
    ASSERT_NE(heads.Head(499), nullptr);
    EXPECT_EQ(heads.Head(499)->front(), 'B');
    EXPECT_EQ(heads.Head(500), nullptr);
    EXPECT_TRUE(heads.Blank(500, 512));
    EXPECT_NE(heads.Head(501), nullptr);

    // Another file holds a cluster unless it is proven written before the one asking; its own
    // claim holds nothing against it.
    CFatFileClaims files;
    ClaimAge older, newer;
    older.writtenFrom = older.writtenUntil = 100;
    newer.writtenFrom = newer.writtenUntil = 200;
    files.Add(100, 50, 1, older);
    files.Add(120, 5, 2, newer);
    EXPECT_FALSE(files.HeldByNotOlder(130, 3, newer));
    EXPECT_TRUE(files.HeldByNotOlder(121, 3, newer));
    EXPECT_TRUE(files.HeldByNotOlder(130, 3, ClaimAge{}));
    EXPECT_FALSE(files.HeldByNotOlder(110, 1, ClaimAge{}));
    EXPECT_FALSE(files.HeldByNotOlder(150, 3, ClaimAge{}));

    CFatClaimedClusters claims;
    claims.Add(10, 5);
    claims.Add(20, 5);
    claims.Add(0, 0);
    EXPECT_FALSE(claims.Holds(17));
    claims.Add(14, 7);
    for (const auto& [cluster, held] : std::vector<std::pair<u64, bool>>{
             {0, false}, {9, false}, {10, true}, {17, true}, {24, true}, {25, false}}) {
        EXPECT_EQ(claims.Holds(cluster), held) << cluster;
    }
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
