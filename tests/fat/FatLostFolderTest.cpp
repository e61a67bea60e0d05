// Folders the FAT deep search finds only by their own "." and ".." entries: where they are placed
// (under the folder their ".." names, else under "Lost Folders"), how a folder the search made
// stands in for a deleted entry that lost the high word of its first cluster, and what a paused
// preview gets from the search while it ends.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "FatTestSupport.h"
#include "Gate.h"
#include "ImageDevice.h"
#include "RecordingBuilder.h"
#include "TestUtil.h"
#include "ToolImage.h"
#include "engine/FileNode.h"
#include "engine/FileSystemNode.h"
#include "fs/fat/FatDeepSearch.h"
#include "fs/fat/FatFileProperties.h"
#include "fs/fat/FatQuickSearch.h"

namespace {

constexpr u32 kSector = 512;
constexpr u32 kEntry = 32;
constexpr u32 kEndOfChain = 0x0FFFFFFF;
constexpr u64 kRootId = 0;

// Keeps the tree the search builds for the chosen candidate.
class KeepingBuilder : public testutil::RecordingBuilder {
public:
    ~KeepingBuilder() override { DestroySubtree(kept); }
    u32 ApplyFilter(CFileSystemNode* root, CSearchedPartitionInfo*) override {
        DestroySubtree(kept);
        kept = root;
        return 1;
    }
    CFileSystemNode* kept = nullptr;
};

// The block loop over the whole device, then the tree of the first candidate.
std::unique_ptr<CFatCompleteSearch> ScanAndBuild(IStorageDevice& device, KeepingBuilder& builder) {
    constexpr u32 kBlockSectors = 8192;
    auto search = std::make_unique<CFatCompleteSearch>();
    search->SetDevice(&device);
    search->SetBlockSectorCount(kBlockSectors);
    search->SetDirectoryTreeBuilder(&builder);
    search->BeginSearch();
    const u64 total = device.GetTotalSectors();
    for (u64 first = 0; first < total; first += kBlockSectors) {
        search->SearchBlock(first, std::min<u64>(kBlockSectors, total - first));
    }
    search->EndSearch();
    std::vector<CSearchedPartitionInfo*> chosen;
    search->GetSearchedPartitions(chosen);
    EXPECT_FALSE(chosen.empty());
    if (chosen.empty()) return search;
    chosen.resize(1);
    EXPECT_EQ(search->BuildFileSystemTrees(chosen), 1u);
    return search;
}

CFATFileProperties* Props(const CFileNode* n) { return static_cast<CFATFileProperties*>(n->GetFileProperties()); }
std::string Name(const CFileNode* n) { return Props(n) != nullptr ? Props(n)->GetName() : ""; }
bool IsFolder(const CFileNode* n) { return (Props(n)->GetAttributes() & kAttrDirectory) != 0; }

// Every folder of a tree by its node id, without recursion (chains run thousands deep).
std::map<u64, const CFileNode*> FoldersById(const CFileNode* root) {
    std::map<u64, const CFileNode*> out;
    std::deque<const CFileNode*> queue{root};
    while (!queue.empty()) {
        const CFileNode* n = queue.front();
        queue.pop_front();
        out[n->GetId()] = n;
        for (const CFileNode* c = n->GetFirstChild(); c != nullptr; c = c->GetNextSibling()) {
            if (IsFolder(c)) queue.push_back(c);
        }
    }
    return out;
}

std::vector<const CFileNode*> Files(const CFileNode* folder) {
    std::vector<const CFileNode*> out;
    for (const CFileNode* c = folder->GetFirstChild(); c != nullptr; c = c->GetNextSibling()) {
        if (!IsFolder(c)) out.push_back(c);
    }
    return out;
}

// A FAT32 volume of one sector per cluster made by mkfs.vfat, in memory, for folders written
// byte by byte.
struct Fat32Volume {
    std::vector<u8> bytes;
    u64 reserved = 0;
    u64 fatSectors = 0;
    u64 dataStart = 0;

    bool Make(const testutil::TempDir& tmp, u64 megabytes) {
        const std::string image = tmp.File("volume.img");
        if (!testutil::RunQuiet("truncate -s " + std::to_string(megabytes) + "M " + image) ||
            !testutil::RunQuiet("mkfs.vfat -F 32 -s 1 " + image)) {
            return false;
        }
        bytes = testutil::ReadFileBytes(image);
        reserved = ReadLE16(bytes.data() + 14);
        fatSectors = ReadLE32(bytes.data() + 36);
        dataStart = reserved + 2 * fatSectors;
        return bytes.size() == megabytes << 20;
    }
    u8* Cluster(u64 c) { return bytes.data() + (dataStart + c - 2) * kSector; }
    void SetFat(u64 c, u32 value) {
        for (u64 copy = 0; copy < 2; ++copy) {
            WriteLE32(bytes.data() + (reserved + copy * fatSectors) * kSector + c * 4, value);
        }
    }
};

void PutEntry(u8* e, const char* name11, u8 attributes, u32 cluster, u32 size) {
    std::memcpy(e, name11, 11);
    e[11] = attributes;
    WriteLE16(e + 20, u16(cluster >> 16));
    WriteLE16(e + 26, u16(cluster));
    WriteLE32(e + 28, size);
}

// A folder at `cluster` that no entry names, with ".." naming `parent` and one six-byte file
// "F.TXT" in the next cluster holding `content`.
void PutLostFolder(Fat32Volume& v, u32 cluster, u32 parent, const std::string& content) {
    u8* folder = v.Cluster(cluster);
    PutEntry(folder, ".          ", kAttrDirectory, cluster, 0);
    PutEntry(folder + kEntry, "..         ", kAttrDirectory, parent, 0);
    PutEntry(folder + 2 * kEntry, "F       TXT", 0x20, cluster + 1, u32(content.size()));
    std::memcpy(v.Cluster(cluster + 1), content.data(), content.size());
    v.SetFat(cluster, kEndOfChain);
    v.SetFat(cluster + 1, kEndOfChain);
}

std::string ContentOf(u32 cluster) {
    char text[8];
    std::snprintf(text, sizeof text, "%06u", cluster % 1000000);
    return text;
}

class FatLostFolders : public ::testing::Test {
protected:
    void SetUp() override {
        SetLoggingEnabled(false);
        const std::string missing = testutil::MissingTools({"mkfs.vfat", "truncate"});
        if (!missing.empty()) GTEST_SKIP() << "needs the packages dosfstools and coreutils; missing: " << missing;
    }
    void TearDown() override { SetLoggingEnabled(true); }
};

// 32,000 folders that no entry names, each naming the one before in "..", the first naming the
// root; a ring of four naming each other, with a fifth below one of them; a folder whose ".."
// names itself, with one below it. Each folder lands under the one its ".." names; a ring enters
// "Lost Folders" through its lowest cluster, and a folder naming itself goes there whole.
TEST_F(FatLostFolders, EachFolderLandsUnderTheFolderItsDotDotNames) {
    testutil::TempDir tmp;
    Fat32Volume v;
    ASSERT_TRUE(v.Make(tmp, 40));
    constexpr u32 kChain = 32000;
    constexpr u32 kFirst = 100;
    std::map<u32, u64> parentOf;  // folder cluster -> the node id it must hang under
    u32 at = kFirst;
    for (u32 k = 0; k < kChain; ++k, at += 2) {
        const u32 parent = k == 0 ? 0 : at - 2;
        PutLostFolder(v, at, parent, ContentOf(at));
        parentOf[at] = parent;
    }
    const u32 ring = at;
    const u32 ringParents[] = {ring + 6, ring, ring + 2, ring + 4, ring + 4};
    for (u32 i = 0; i < 5; ++i) PutLostFolder(v, ring + 2 * i, ringParents[i], ContentOf(ring + 2 * i));
    parentOf[ring] = kFatLostFoldersId;
    for (u32 i = 1; i < 5; ++i) parentOf[ring + 2 * i] = ringParents[i];
    const u32 self = ring + 10;
    PutLostFolder(v, self, self, ContentOf(self));
    PutLostFolder(v, self + 2, self, ContentOf(self + 2));
    parentOf[self] = kFatLostFoldersId;
    parentOf[self + 2] = self;

    testutil::MemoryDevice device(std::move(v.bytes), kSector);
    KeepingBuilder builder;
    const auto search = ScanAndBuild(device, builder);
    ASSERT_NE(builder.kept, nullptr);
    const std::map<u64, const CFileNode*> folders = FoldersById(builder.kept);
    for (const auto& [cluster, parent] : parentOf) {
        const auto it = folders.find(cluster);
        ASSERT_NE(it, folders.end()) << "folder at cluster " << cluster << " is missing";
        const CFileNode* folder = it->second;
        ASSERT_NE(folder->GetParent(), nullptr);
        ASSERT_EQ(folder->GetParent()->GetId(), parent) << "folder at cluster " << cluster;
        if (parent == kFatLostFoldersId) {
            EXPECT_EQ(folder->GetParent()->GetParent()->GetId(), kRootId);
        }
        const std::vector<const CFileNode*> files = Files(folder);
        ASSERT_EQ(files.size(), 1u) << "folder at cluster " << cluster;
        if (cluster % 1000 == 0 || cluster >= ring) {
            std::vector<u8> data;
            ASSERT_TRUE(fattest::ReadThroughRuns(device, *builder.kept, *files[0], data));
            EXPECT_EQ(std::string(data.begin(), data.end()), ContentOf(cluster));
        }
    }
}

// A deleted folder entry whose high word of its first cluster was cleared names a cluster where
// its folder does not start, further than the retries of higher words reach (50 x 65,536 + 5 on
// a 1.75 GiB volume of one sector per cluster, a sparse file). The folder is found from its own
// "." and ".." and made beside the entry; the two become one folder: the entry's name, state and
// times with the full first cluster, holding the files. The emptied stand-in keeps its "DIR" name.
TEST_F(FatLostFolders, AFolderMadeForAnEntryThatLostItsHighWordTakesTheEntrysPlace) {
    const std::string missing = testutil::MissingTools({"mmd", "mcopy"});
    if (!missing.empty()) GTEST_SKIP() << "needs the package mtools; missing: " << missing;
    testutil::TempDir tmp;
    const std::string image = tmp.File("big.img");
    constexpr u64 kMegabytes = 1792;
    const std::string note = "the note in the folder whose entry was cut\n";
    const std::string noteFile = tmp.File("NOTE.TXT");
    std::ofstream(noteFile, std::ios::binary) << note;
    ASSERT_TRUE(testutil::RunQuiet("truncate -s " + std::to_string(kMegabytes) + "M " + image));
    ASSERT_TRUE(testutil::RunQuiet("mkfs.vfat -F 32 -s 1 " + image));
    ASSERT_TRUE(testutil::RunQuiet("mmd -i " + image + " ::/PHOTOS && mcopy -i " + image + " " + noteFile +
                                   " ::/PHOTOS/NOTE.TXT"));

    // Patched in place: the volume is sparse.
    std::fstream f(image, std::ios::in | std::ios::out | std::ios::binary);
    ASSERT_TRUE(f.good());
    auto readAt = [&](u64 offset, u8* out, size_t n) {
        f.seekg(std::streamoff(offset));
        f.read(reinterpret_cast<char*>(out), std::streamsize(n));
    };
    auto writeAt = [&](u64 offset, const u8* in, size_t n) {
        f.seekp(std::streamoff(offset));
        f.write(reinterpret_cast<const char*>(in), std::streamsize(n));
    };
    u8 boot[kSector];
    readAt(0, boot, kSector);
    const u64 reserved = ReadLE16(boot + 14);
    const u64 fatSectors = ReadLE32(boot + 36);
    const u64 dataStart = reserved + 2 * fatSectors;
    const u32 rootCluster = ReadLE32(boot + 44);
    auto clusterOffset = [&](u64 c) { return (dataStart + c - 2) * kSector; };
    auto freeCluster = [&](u64 c) {
        const u8 zero[4] = {};
        for (u64 copy = 0; copy < 2; ++copy) writeAt((reserved + copy * fatSectors) * kSector + c * 4, zero, 4);
    };

    u8 root[kSector];
    readAt(clusterOffset(rootCluster), root, kSector);
    u8* entry = nullptr;
    for (u32 at = 0; at < kSector; at += kEntry) {
        if (std::memcmp(root + at, "PHOTOS     ", 11) == 0) entry = root + at;
    }
    ASSERT_NE(entry, nullptr);
    const u32 old = (u32(ReadLE16(entry + 20)) << 16) | ReadLE16(entry + 26);
    constexpr u32 kLowWord = 5;
    constexpr u32 kStart = 50 * 65536 + kLowWord;
    ASSERT_LT(u64(kStart), (kMegabytes << 11) - dataStart);
    u8 folder[kSector];
    readAt(clusterOffset(old), folder, kSector);
    const u32 noteCluster = ReadLE16(folder + 2 * kEntry + 26);
    ASSERT_NE(old, kLowWord);
    ASSERT_NE(noteCluster, kLowWord);
    // The folder's cluster moves to kStart; the entry keeps only the low word and is deleted.
    WriteLE16(folder + 20, u16(kStart >> 16));
    WriteLE16(folder + 26, u16(kStart));
    writeAt(clusterOffset(kStart), folder, kSector);
    const u8 zeros[kSector] = {};
    writeAt(clusterOffset(old), zeros, kSector);
    entry[0] = 0xE5;
    WriteLE16(entry + 20, 0);
    WriteLE16(entry + 26, u16(kLowWord));
    writeAt(clusterOffset(rootCluster), root, kSector);
    freeCluster(old);
    freeCluster(noteCluster);
    f.close();

    testutil::ImageDevice device(image, kSector);
    ASSERT_TRUE(device.IsOpen());
    KeepingBuilder builder;
    const auto search = ScanAndBuild(device, builder);
    ASSERT_NE(builder.kept, nullptr);
    const CFileNode* holder = nullptr;
    const CFileNode* emptied = nullptr;
    for (const CFileNode* c = builder.kept->GetFirstChild(); c != nullptr; c = c->GetNextSibling()) {
        if (!IsFolder(c) || c->GetId() == kFatLostFoldersId) continue;
        if (c->GetFirstChild() != nullptr) {
            EXPECT_EQ(holder, nullptr) << "a second folder holds files: " << Name(c);
            holder = c;
        } else {
            emptied = c;
        }
    }
    ASSERT_NE(holder, nullptr);
    EXPECT_EQ(Name(holder).substr(1), "HOTOS");
    EXPECT_EQ(Props(holder)->GetFirstCluster(), kStart);
    EXPECT_EQ(Props(holder)->GetState() & kFatTemporaryState, 0u);
    EXPECT_NE(Props(holder)->GetState() & kFatDeletedState, 0u);
    const std::vector<const CFileNode*> files = Files(holder);
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(Name(files[0]), "NOTE.TXT");
    std::vector<u8> data;
    ASSERT_TRUE(fattest::ReadThroughRuns(device, *builder.kept, *files[0], data));
    EXPECT_EQ(std::string(data.begin(), data.end()), note);
    ASSERT_NE(emptied, nullptr);
    EXPECT_EQ(Name(emptied).rfind("DIR", 0), 0u) << Name(emptied);
    EXPECT_EQ(Props(emptied)->GetState(), kFatLostFolderState);
}

// One folder's children before and after the merge, in child order.
struct Child {
    const char* name;
    u8 state;
    u32 firstCluster;
    bool holdsFiles;
};
struct Merged {
    const char* name;
    u32 firstCluster;
};
struct MergeCase {
    const char* what;
    std::vector<Child> children;
    std::vector<Merged> after;
};

TreeNodePtr MakeFolder(const Child& c) {
    TreeNodePtr node = CreateFileNode();
    PropertiesRef<CFATFileProperties> p(NewFATFileProperties());
    p->SetName(c.name);
    p->SetAttributes(kAttrDirectory);
    p->SetState(c.state);
    p->SetFirstCluster(c.firstCluster);
    node->SetFileProperties(p.release());
    if (c.holdsFiles) {
        TreeNodePtr file = CreateFileNode();
        PropertiesRef<CFATFileProperties> fp(NewFATFileProperties());
        fp->SetName("NOTE.TXT");
        file->SetFileProperties(fp.release());
        node->AddChild(file.release());
    }
    return node;
}

TEST(FatTemporaryFolders, AnEmptyDeletedFolderTakesOverTheFirstStandInOfItsLowWord) {
    constexpr u8 kLive = 0;
    constexpr u8 kDeleted = kFatDeletedState;
    constexpr u8 kMade = kFatLostFolderState;
    const MergeCase cases[] = {
        {"a stand-in and the entry it stands for",
         {{"DIR7", kMade, 0x320005, true}, {"_HOTOS", kDeleted, 5, false}},
         {{"_HOTOS", 0x320005}, {"DIR7", 0x320005}}},
        {"the entry's folder holds files itself",
         {{"DIR7", kMade, 0x320005, true}, {"_HOTOS", kDeleted, 5, true}},
         {{"DIR7", 0x320005}, {"_HOTOS", 5}}},
        {"a live entry",
         {{"DIR7", kMade, 0x320005, true}, {"PHOTOS", kLive, 5, false}},
         {{"DIR7", 0x320005}, {"PHOTOS", 5}}},
        {"another low word",
         {{"DIR7", kMade, 0x320006, true}, {"_HOTOS", kDeleted, 5, false}},
         {{"DIR7", 0x320006}, {"_HOTOS", 5}}},
        {"an entry that kept its high word",
         {{"DIR7", kMade, 0x10005, true}, {"_HOTOS", kDeleted, 0x10005, false}},
         {{"DIR7", 0x10005}, {"_HOTOS", 0x10005}}},
        {"the first of two stand-ins",
         {{"DIR1", kMade, 0x10005, true}, {"DIR2", kMade, 0x20005, true}, {"_HOTOS", kDeleted, 5, false}},
         {{"_HOTOS", 0x10005}, {"DIR2", 0x20005}, {"DIR1", 0x10005}}},
        {"one stand-in for two entries",
         {{"DIR7", kMade, 0x320005, true}, {"_A", kDeleted, 5, false}, {"_B", kDeleted, 5, false}},
         {{"_A", 0x320005}, {"DIR7", 0x320005}, {"_B", 5}}},
    };
    for (const MergeCase& c : cases) {
        SCOPED_TRACE(c.what);
        // The folders lie one level down: every folder of the tree is looked at.
        TreeNodePtr root = MakeFolder({"FAT32", kLive, 0, false});
        TreeNodePtr parent = MakeFolder({"Sub", kLive, 3, false});
        std::vector<CFileNode*> children;
        for (const Child& child : c.children) children.push_back(MakeFolder(child).release());
        for (auto it = children.rbegin(); it != children.rend(); ++it) parent->AddChild(*it);
        root->AddChild(parent.release());

        MergeTemporaryFolders(root.get());
        ASSERT_EQ(children.size(), c.after.size());
        for (size_t i = 0; i < children.size(); ++i) {
            EXPECT_EQ(Name(children[i]), c.after[i].name) << "child " << i;
            EXPECT_EQ(Props(children[i])->GetFirstCluster(), c.after[i].firstCluster) << "child " << i;
        }
        DestroySubtree(root.release());
    }
}

// Holds the first device read after it is armed until the test lets it go.
class HeldDevice : public IStorageDevice {
public:
    explicit HeldDevice(IStorageDevice& inner) : m_inner(inner) {}
    u32 Read(void* buffer, u64 first, u64 count) override {
        if (armed.exchange(false)) {
            reached.Open();
            if (!release.Wait()) return 0;
        }
        return m_inner.Read(buffer, first, count);
    }
    u64 GetTotalSectors() override { return m_inner.GetTotalSectors(); }
    u32 GetSectorSize() override { return m_inner.GetSectorSize(); }
    u32 Open() override { return 1; }
    u32 Close() override { return 1; }

    std::atomic<bool> armed{false};
    testutil::Gate reached;
    testutil::Gate release;

private:
    IStorageDevice& m_inner;
};

std::vector<u64> Starts(const std::vector<CSearchedPartitionInfo*>& candidates) {
    std::vector<u64> out;
    for (const CSearchedPartitionInfo* c : candidates) out.push_back(c->GetPartitionStart());
    return out;
}

// A preview of a paused scan may look while the scan thread ends the search (here held in its
// read of the FAT copies): the look gets the candidates of the block loop, and what it was given
// stays alive after the search has ended.
TEST(FatDeepSearchLooks, ALookWhileTheSearchEndsGetsTheCandidatesOfTheBlockLoop) {
    SetLoggingEnabled(false);
    testutil::MemoryDevice inner(testutil::ReadFileBytes(testutil::FixturePath("fat32-basic.img")), kSector);
    HeldDevice device(inner);
    constexpr u32 kBlockSectors = 2048;
    CFatCompleteSearch search;
    search.SetDevice(&device);
    search.SetBlockSectorCount(kBlockSectors);
    search.BeginSearch();
    const u64 total = device.GetTotalSectors();
    for (u64 first = 0; first < total; first += kBlockSectors) {
        search.SearchBlock(first, std::min<u64>(kBlockSectors, total - first));
    }
    std::vector<CSearchedPartitionInfo*> paused;
    search.GetSearchedPartitions(paused);
    ASSERT_EQ(Starts(paused), std::vector<u64>{0});

    device.armed = true;
    std::thread ending([&] { search.EndSearch(); });
    const bool held = device.reached.Wait();
    std::vector<CSearchedPartitionInfo*> during;
    if (held) search.GetSearchedPartitions(during);
    device.release.Open();
    ending.join();
    ASSERT_TRUE(held);
    EXPECT_EQ(Starts(during), Starts(paused));

    std::vector<CSearchedPartitionInfo*> ended;
    search.GetSearchedPartitions(ended);
    EXPECT_EQ(Starts(ended), std::vector<u64>{0});
    EXPECT_EQ(Starts(during), Starts(paused));
    SetLoggingEnabled(true);
}

}  // namespace
