// Faults the mutation fuzzer of bench/fuzz found on the FAT and exFAT road, each kept as the
// smallest damage of a fixture copy that showed it, and a bounded run of seeded mutations that
// keeps the whole road (analysers, deleted-file scan, tree builder, writer) exercised.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <list>
#include <string>
#include <vector>

#include "TestUtil.h"
#include "bench/fuzz/fat_road.h"
#include "engine/FileNode.h"
#include "fs/fat/FatFileProperties.h"
#include "engine/RecycleBin.h"
#include "platform/Log.h"

namespace {

class FatFuzzRoad : public ::testing::Test {
protected:
    void SetUp() override { SetLoggingEnabled(false); }
    void TearDown() override { SetLoggingEnabled(true); }

    static fatfuzz::Seed Load(const char* name) {
        for (const fatfuzz::SeedSource& src : fatfuzz::SeedSources()) {
            if (std::string(src.name) != name) continue;
            fatfuzz::Seed s;
            s.name = name;
            EXPECT_TRUE(fatfuzz::LoadVolume(testutil::FixturePath(src.image), src.offset, src.length, s.bytes));
            EXPECT_TRUE(fatfuzz::Describe(s));
            return s;
        }
        ADD_FAILURE() << name;
        return {};
    }
    std::string Out() const { return dir.Path() + "/out"; }
    // The names of every node below the root.
    static std::vector<std::string> Names(CFileNode* root) {
        std::vector<std::string> names;
        std::vector<CFileNode*> stack{root};
        while (!stack.empty()) {
            CFileNode* n = stack.back();
            stack.pop_back();
            for (CFileNode* c = n->GetFirstChild(); c != nullptr; c = c->GetNextSibling()) {
                stack.push_back(c);
                const IFileProperties* p = c->GetFileProperties();
                if (p != nullptr && p->GetName() != nullptr) names.push_back(p->GetName());
            }
        }
        return names;
    }
    // The deleted-file scan of a FAT volume in memory; the names of its tree.
    static std::vector<std::string> ScanNames(std::vector<u8>& bytes) {
        fatfuzz::BytesDevice device(bytes, 512, ~0ULL, ~0ULL);
        testutil::AcceptAllFilter filter;
        testutil::SilentTree consumer;
        fatfuzz::GoOnProgress progress;
        CDeletedRecoveryController controller;
        controller.Initialize(&filter);
        controller.SetFileSystem(1, "Volume");
        EXPECT_EQ(controller.Run(&device, &progress, &consumer, "Volume", 0), 0u);
        auto* builder = dynamic_cast<CDirectoryTreeBuilder*>(controller.GetBuilder());
        if (builder == nullptr || builder->GetQuickTree()->GetRoot() == nullptr) return {};
        return Names(builder->GetQuickTree()->GetRoot());
    }

    testutil::TempDir dir;
};

// The recycle bin planted in the FAT16 fixture pairs its "$I" and "$R" entries: the data file
// gets the name the info file holds, and the road writes it.
TEST_F(FatFuzzRoad, PlantedRecycleBinNamesItsFile) {
    fatfuzz::Seed s = Load("fat16");
    std::vector<u8> bytes = fatfuzz::PlantRecycleBin(s);
    ASSERT_FALSE(bytes.empty());
    fatfuzz::BytesDevice device(bytes, 512, ~0ULL, ~0ULL);
    testutil::AcceptAllFilter filter;
    testutil::SilentTree consumer;
    fatfuzz::GoOnProgress progress;
    CDeletedRecoveryController controller;
    controller.Initialize(&filter);
    controller.SetFileSystem(1, "Volume");
    ASSERT_EQ(controller.Run(&device, &progress, &consumer, "Volume", 0), 0u);
    auto* builder = dynamic_cast<CDirectoryTreeBuilder*>(controller.GetBuilder());
    ASSERT_NE(builder, nullptr);
    CFileSystemNode* root = builder->GetQuickTree()->GetRoot();
    ASSERT_NE(root, nullptr);
    const std::vector<std::string> names = Names(root);
    EXPECT_NE(std::find(names.begin(), names.end(), "report final.txt"), names.end());
    EXPECT_NE(std::find(names.begin(), names.end(), "#IAB12CD.TXT"), names.end());
}

// A fixed sequence of seeded mutations of each kind of volume through the whole road; the
// sanitizers and the time bound catch what goes wrong.
TEST_F(FatFuzzRoad, SeededMutationsEndCleanly) {
    std::vector<fatfuzz::Seed> seeds;
    for (const char* name : {"fat16", "fat32", "exfat", "gpt-exfat"}) seeds.push_back(Load(name));
    fatfuzz::Seed bin = seeds[0];
    bin.name = "fat16-recycled";
    bin.bytes = fatfuzz::PlantRecycleBin(seeds[0]);
    ASSERT_TRUE(fatfuzz::Describe(bin));
    seeds.push_back(std::move(bin));

    std::vector<std::vector<u8>> work;
    for (const fatfuzz::Seed& seed : seeds) work.push_back(seed.bytes);
    const auto start = std::chrono::steady_clock::now();
    u64 scans = 0;
    u64 recovered = 0;
    for (u64 c = 1; c <= 75; ++c) {
        const size_t which = c % seeds.size();
        const fatfuzz::RoadResult r =
            fatfuzz::RunCase(seeds[which], work[which], c * 0x9E3779B97F4A7C15ULL, Out(), 1ull << 20);
        if (c % 25 == 0) {
            // The working copies are restored after every case.
            for (size_t i = 0; i < seeds.size(); ++i) ASSERT_TRUE(work[i] == seeds[i].bytes) << "case " << c;
        }
        if (r.searchResult == 0) ++scans;
        recovered += r.recoveredFiles;
    }
    for (u64 c = 1; c <= 2000; ++c) fatfuzz::RunParsers(c);
    // Most mutations leave a volume the search can walk, and files come out of it.
    EXPECT_GT(scans, 30u);
    EXPECT_GT(recovered, 50u);
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), 60.0);
}

}  // namespace

namespace {
// A short folder entry (11-character name, first byte included).
void FolderEntry(u8* e, const char* name11, u32 cluster) {
    std::memcpy(e, name11, 11);
    e[11] = 0x10;
    std::memset(e + 12, 0, 20);
    WriteLE16(e + 24, 0x5A21);  // a plausible date
    WriteLE16(e + 26, u16(cluster));
}

// A FAT16 fixture copy whose root holds a deleted folder that opens a chain of `depth` nested
// deleted folders, one cluster each, from cluster `first` on.
std::vector<u8> NestedFolders(const fatfuzz::Seed& s, u32 first, u32 depth, u32 backLinks = 0) {
    std::vector<u8> b = s.bytes;
    const u64 rootStart = s.dataStart - u64(ReadLE16(b.data() + 17)) * 32;
    u64 slot = rootStart;
    while (slot < s.dataStart && b[slot] != 0 && b[slot] != 0xE5) slot += 32;
    auto entry = [&b](u64 at, const char* name, u32 cluster) { FolderEntry(b.data() + at, name, cluster); };
    entry(slot, "\xE5" "EEP       ", first);
    for (u32 i = 0; i < depth; ++i) {
        const u32 c = first + i;
        const u64 at = s.dataStart + u64(c - 2) * s.clusterBytes;
        std::memset(b.data() + at, 0, s.clusterBytes);
        entry(at, ".          ", c);
        entry(at + 32, "..         ", i == 0 ? 0 : c - 1);
        if (i + 1 < depth) {
            entry(at + 64, "\xE5" "UB        ", c + 1);
        } else {
            entry(at + 64, "\xE5" "ILE    TXT", first + depth);
            b[at + 64 + 11] = 0x20;
            WriteLE32(b.data() + at + 64 + 28, 10);
        }
        // Live entries that name the top folder's cluster again.
        for (u32 k = 0; k < backLinks && 96 + 32 * (k + 1) <= s.clusterBytes; ++k) {
            entry(at + 96 + 32 * k, "BACK       ", first);
        }
        WriteLE16(b.data() + s.fatStart + u64(c) * 2, 0);
        WriteLE16(b.data() + s.fatStart + s.fatBytes + u64(c) * 2, 0);
    }
    return b;
}
}  // namespace

// A damaged volume whose folders nest thousands of levels deep, each level naming the top folder
// again: every folder is walked and linked. The recycle-bin look-up of each folder and the
// ancestor test of each repeated folder no longer climb the whole chain above it; both made the
// scan quadratic in the depth (14000 levels took seconds, a larger volume hours).
TEST_F(FatFuzzRoad, DeeplyNestedFoldersAreAllWalked) {
    const fatfuzz::Seed s = Load("fat16");
    std::vector<u8> bytes = NestedFolders(s, 2000, 1500, 60);
    fatfuzz::BytesDevice device(bytes, 512, ~0ULL, ~0ULL);
    const fatfuzz::RoadResult r = fatfuzz::RunRoad(&device, 1, Out(), 1 << 20);
    EXPECT_EQ(r.searchResult, 0u);
    EXPECT_GE(r.counts.folders, 1500u);
}

// A folder met again, newer, 300 levels down: the ancestor test no longer climbs to the
// root for it (that made the search quadratic in the depth) and counts so deep a chain as holding
// the folder, so the deleted folder met first keeps its place and its file.
TEST_F(FatFuzzRoad, DuplicateFolderFarDownKeepsTheFirstOne) {
    const fatfuzz::Seed s = Load("fat16");
    const u32 depth = 300;
    const u32 old = 2000 + depth + 10;
    std::vector<u8> bytes = NestedFolders(s, 2000, depth);
    // "#OLD" in the root: a deleted folder holding a deleted file.
    const u64 rootStart = s.dataStart - u64(ReadLE16(bytes.data() + 17)) * 32;
    u64 slot = rootStart;
    while (slot < s.dataStart && bytes[slot] != 0) slot += 32;
    ASSERT_LT(slot, s.dataStart);
    FolderEntry(bytes.data() + slot, "\xE5" "OLD       ", old);
    const u64 at = s.dataStart + u64(old - 2) * s.clusterBytes;
    std::memset(bytes.data() + at, 0, s.clusterBytes);
    FolderEntry(bytes.data() + at, ".          ", old);
    FolderEntry(bytes.data() + at + 32, "..         ", 0);
    FolderEntry(bytes.data() + at + 64, "\xE5" "LDFILE TXT", old + 1);
    bytes[at + 64 + 11] = 0x20;
    WriteLE32(bytes.data() + at + 64 + 28, 10);
    // The deepest folder names the same cluster with a later date (deleted, as its folder is).
    const u64 deepest = s.dataStart + u64(2000 + depth - 1 - 2) * s.clusterBytes;
    FolderEntry(bytes.data() + deepest + 96, "NEWER      ", old);
    WriteLE16(bytes.data() + deepest + 96 + 24, 0x5A22);

    const std::vector<std::string> names = ScanNames(bytes);
    EXPECT_NE(std::find(names.begin(), names.end(), "#OLD"), names.end());
    EXPECT_NE(std::find(names.begin(), names.end(), "#LDFILE.TXT"), names.end());
    EXPECT_EQ(std::find(names.begin(), names.end(), "NEWER"), names.end());
}

// The look-up stops 260 levels up: nothing the shell recycles lies deeper below its bin.
TEST(RecycleBinDepth, LookUpEndsAtItsBound) {
    auto folder = [](const char* name) {
        CFileNode* n = CreateFileNode().release();
        CFATFileProperties* p = NewFATFileProperties();
        p->SetName(name);
        p->SetAttributes(kAttrDirectory);
        n->SetFileProperties(p);
        return n;
    };
    CFileNode* bin = folder("RECYCLED");
    std::vector<CFileNode*> chain{bin};
    for (int i = 0; i < 400; ++i) {
        CFileNode* n = folder("sub");
        chain.back()->AddChild(n);
        chain.push_back(n);
    }
    EXPECT_TRUE(IsInRecycleBin(chain[1]));
    EXPECT_TRUE(IsInRecycleBin(chain[259]));
    EXPECT_FALSE(IsInRecycleBin(chain[260]));
    EXPECT_FALSE(IsInRecycleBin(chain[400]));
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
        if ((*it)->GetParent() != nullptr) (*it)->GetParent()->RemoveChild(*it);
        DestroyTreeNode(*it);
    }
}


namespace {
// A FAT16 fixture copy with a live "RECYCLED" folder in its root whose chain of `clusters`
// clusters is full of deleted files that have no companion ("#0000000.TXT", ...).
std::vector<u8> EmptiedRecycleBin(const fatfuzz::Seed& s, u32 first, u32 clusters, u32& files) {
    std::vector<u8> b = s.bytes;
    const u64 rootStart = s.dataStart - u64(ReadLE16(b.data() + 17)) * 32;
    u64 slot = rootStart;
    while (slot < s.dataStart && b[slot] != 0) slot += 32;
    FolderEntry(b.data() + slot, "RECYCLED   ", first);
    files = 0;
    for (u32 i = 0; i < clusters; ++i) {
        const u32 c = first + i;
        for (u32 copy = 0; copy < 2; ++copy) {
            WriteLE16(b.data() + s.fatStart + copy * s.fatBytes + u64(c) * 2, i + 1 < clusters ? c + 1 : 0xFFFF);
        }
        u8* at = b.data() + s.dataStart + u64(c - 2) * s.clusterBytes;
        std::memset(at, 0, s.clusterBytes);
        u32 k = 0;
        if (i == 0) {
            FolderEntry(at, ".          ", c);
            FolderEntry(at + 32, "..         ", 0);
            k = 2;
        }
        for (; k < s.clusterBytes / 32; ++k, ++files) {
            char name[12];
            std::snprintf(name, sizeof name, "X%07uTXT", files);
            u8* e = at + 32 * k;
            FolderEntry(e, name, 3000);
            e[0] = 0xE5;
            e[11] = 0x20;
            WriteLE32(e + 28, 10);
        }
    }
    return b;
}
}  // namespace

// An emptied recycle bin of thousands of entries: every one is listed. Each waited in the
// pairing list and was compared with all that came before it, quadratic in the folder's size
// (64000 entries took more than a minute); the list now keeps the latest 1024.
TEST_F(FatFuzzRoad, LargeEmptiedRecycleBinIsListed) {
    const fatfuzz::Seed s = Load("fat16");
    ASSERT_EQ(ReadLE16(s.bytes.data() + s.fatStart + 9000 * 2), 0u);  // the clusters used are free
    u32 files = 0;
    std::vector<u8> bytes = EmptiedRecycleBin(s, 9000, 60, files);
    const std::vector<std::string> names = ScanNames(bytes);
    EXPECT_GT(files, 3800u);
    EXPECT_EQ(std::count_if(names.begin(), names.end(), [](const std::string& n) { return n.rfind("#0", 0) == 0; }),
              long(files));
}

TEST(RecycleBinPending, WaitingListStaysBoundedAndStillPairs) {
    std::vector<CFileNode*> nodes;
    auto file = [&nodes](const std::string& name) {
        CFileNode* n = CreateFileNode().release();
        CFATFileProperties* p = NewFATFileProperties();
        p->SetName(name.c_str());
        n->SetFileProperties(p);
        nodes.push_back(n);
        return n;
    };
    std::list<CFileNode*> pending;
    EXPECT_EQ(FindRecycleBinPair(pending, file("#IAB12CD.TXT")), nullptr);
    for (int i = 0; i < 3000; ++i) EXPECT_EQ(FindRecycleBinPair(pending, file("#c" + std::to_string(i) + ".txt")), nullptr);
    EXPECT_LE(pending.size(), 1024u);
    // The oldest entry left the list; later companions still meet.
    EXPECT_EQ(FindRecycleBinPair(pending, file("#RAB12CD.TXT")), nullptr);
    CFileNode* info = file("$Ief0.txt");
    EXPECT_EQ(FindRecycleBinPair(pending, info), nullptr);
    EXPECT_EQ(FindRecycleBinPair(pending, file("$rEF0.TXT")), info);
    for (CFileNode* n : nodes) DestroyTreeNode(n);
}
