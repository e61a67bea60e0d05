// Damaged FAT volumes (copies of the fixtures with broken chains, entries and geometry): the
// quick search and the analyser end cleanly, never read outside the volume and never hang.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "FatTestSupport.h"
#include "TestUtil.h"
#include "engine/DataRunList.h"
#include "engine/FileNode.h"
#include "engine/FileProperties.h"
#include "engine/FileSystemNode.h"
#include "fs/fat/FatQuickSearch.h"
#include "fs/fat/FatVolumeAnalyze.h"
#include "platform/Log.h"

using namespace fattest;

namespace {
// A FAT image in memory with its layout, for patching.
struct Volume {
    std::vector<u8> bytes;
    u32 sectorSize = 512;
    u32 reserved = 0;
    u32 fatSectors = 0;
    u32 spc = 0;
    u64 rootStart = 0;  // byte offset of the FAT16 root region
    u64 dataStart = 0;  // byte offset of cluster 2
    bool fat32 = false;

    explicit Volume(const std::string& fixture) : bytes(testutil::ReadFileBytes(testutil::FixturePath(fixture))) {
        const u8* b = bytes.data();
        reserved = ReadLE16(b + 14);
        spc = b[13];
        fat32 = ReadLE16(b + 22) == 0;
        fatSectors = fat32 ? ReadLE32(b + 36) : ReadLE16(b + 22);
        const u64 fatsEnd = u64(reserved + 2 * fatSectors) * sectorSize;
        rootStart = fatsEnd;
        dataStart = fat32 ? fatsEnd : fatsEnd + u64(ReadLE16(b + 17)) * 32;
    }
    u64 ClusterOffset(u64 cluster) const { return dataStart + (cluster - 2) * spc * sectorSize; }
    // Sets a FAT entry in both copies.
    void SetFat(u32 cluster, u32 value) {
        for (u32 copy = 0; copy < 2; ++copy) {
            u8* fat = bytes.data() + u64(reserved + copy * fatSectors) * sectorSize;
            if (fat32) {
                WriteLE32(fat + u64(cluster) * 4, value);
            } else {
                WriteLE16(fat + u64(cluster) * 2, u16(value));
            }
        }
    }
    u32 GetFat(u32 cluster) const {
        const u8* fat = bytes.data() + u64(reserved) * sectorSize;
        return fat32 ? ReadLE32(fat + u64(cluster) * 4) : ReadLE16(fat + u64(cluster) * 2);
    }
    // Offset of the first 32-byte-aligned short entry with these 11 name bytes.
    u64 FindEntry(const char* name11) const {
        for (u64 off = rootStart; off + 32 <= bytes.size(); off += 32) {
            if (std::memcmp(bytes.data() + off, name11, 11) == 0 && bytes[off + 11] != 0x0F) return off;
        }
        return 0;
    }
    static u32 EntryCluster(const u8* e) { return (u32(ReadLE16(e + 20)) << 16) | ReadLE16(e + 26); }
    static void SetEntryCluster(u8* e, u32 c) {
        WriteLE16(e + 20, u16(c >> 16));
        WriteLE16(e + 26, u16(c));
    }
};

struct Scan {
    RecordingBuilder builder;
    CountingProgress progress;
    u32 result = 0;
};

std::unique_ptr<Scan> RunScan(IStorageDevice& device) {
    auto scan = std::make_unique<Scan>();
    CFATQuickSearch search;
    search.SetDirectoryTreeBuilder(&scan->builder);
    scan->result = search.Search(&device, &scan->progress);
    return scan;
}

// Both scans' walks of a volume: the deleted-file scan's, handed to the builder, and the complete
// scan's, which keeps its whole tree; each found node by its path.
struct Walks {
    std::unique_ptr<Scan> quick;
    std::unique_ptr<CFileSystemNode, void (*)(CFileSystemNode*)> tree{nullptr,
                                                                      [](CFileSystemNode* r) { DestroySubtree(r); }};
    std::map<std::string, const CFileNode*> paths[2];
};
void WalkBoth(IStorageDevice& device, Walks& walks) {
    walks.quick = RunScan(device);
    for (const CFileNode* n : walks.quick->builder.nodes) walks.paths[0][walks.quick->builder.PathOf(n)] = n;
    CFATQuickSearch walk;
    RecordingBuilder unused;
    walk.SetDirectoryTreeBuilder(&unused);
    FatWalkOptions keep;
    keep.keepTree = true;
    walk.SetWalkOptions(keep);
    CountingProgress progress;
    EXPECT_EQ(walk.Search(&device, &progress), 0u);
    walks.tree.reset(walk.TakeTree());
    ASSERT_NE(walks.tree, nullptr);
    CollectPaths(walks.tree.get(), walks.paths[1]);
}

// Every extent of every handed-over file lies inside the volume's data area.
void ExpectRunsInside(const Scan& scan, u64 volumeSectors) {
    ASSERT_NE(scan.builder.root, nullptr);
    u64 start = 0;
    u32 spc = 0;
    scan.builder.root->GetPartitionGeometry(start, spc);
    for (const CFileNode* n : scan.builder.nodes) {
        std::unique_ptr<IDataRunList> runs(n->GetFileProperties()->CreateDataRunList());
        if (!runs) continue;
        for (DataRunExtent* e = runs->GetFirstExtent(); e != nullptr; e = runs->GetNextExtent()) {
            EXPECT_GE(e->start, 0);
            EXPECT_LE(start + (u64(e->start) + e->length) * spc, volumeSectors) << scan.builder.PathOf(n);
        }
    }
}

class FatDamage : public ::testing::Test {
protected:
    void SetUp() override { SetLoggingEnabled(false); }
    void TearDown() override { SetLoggingEnabled(true); }
};

TEST_F(FatDamage, Fat12VolumeIsRefused) {
    ImageDevice device(testutil::FixturePath("fat12-small.img"), 512);
    ASSERT_TRUE(device.IsOpen());
    std::unique_ptr<Scan> scan = RunScan(device);
    EXPECT_EQ(scan->result, kFatQuickNoBootSector);
    EXPECT_EQ(scan->builder.rootsOffered, 0u);
    CFatVolumeAnalyze analyser(&device, 0);
    EXPECT_EQ(analyser.GetFileSystemType(), 9u);
    EXPECT_EQ(analyser.GetTotalSectors(), 0u);
    char label[100];
    std::memset(label, 'x', sizeof label);
    analyser.GetVolumeLabel(label, sizeof label);
    for (char c : label) EXPECT_EQ(c, 0);
}

TEST_F(FatDamage, SectorSizesAboveFourKilobytesAreRefused) {
    // The device reports 8192-byte sectors.
    ImageDevice big(testutil::FixturePath("fat16-basic.img"), 8192);
    EXPECT_EQ(RunScan(big)->result, kFatQuickNoBootSector);
    EXPECT_EQ(CFatVolumeAnalyze(&big, 0).GetFileSystemType(), 9u);
    // The boot sector claims 8192-byte sectors on a 512-byte device, and so does its backup.
    Volume v("fat32-basic.img");
    WriteLE16(v.bytes.data() + 11, 8192);
    WriteLE16(v.bytes.data() + 6 * 512 + 11, 8192);
    MemoryDevice device(v.bytes, 512);
    EXPECT_EQ(RunScan(device)->result, kFatQuickNoBootSector);
}

TEST_F(FatDamage, DamagedPrimaryBootSectorFallsBackToBackup) {
    Volume v("fat32-basic.img");
    std::memset(v.bytes.data(), 0, 512);
    MemoryDevice device(v.bytes, 512);
    std::unique_ptr<Scan> scan = RunScan(device);
    EXPECT_EQ(scan->result, 0u);
    ASSERT_NE(scan->builder.root, nullptr);
    EXPECT_EQ(scan->builder.root->GetFileSystemType(), 2u);
    EXPECT_FALSE(scan->builder.nodes.empty());
}

TEST_F(FatDamage, LoopingRootChainEnds) {
    Volume v("fat32-basic.img");
    const u32 root = ReadLE32(v.bytes.data() + 44);
    // The root chain turns back onto its first cluster; the table is no longer plausible and the
    // walk goes on without it.
    u32 last = root;
    for (int i = 0; i < 100000 && v.GetFat(last) >= 2 && v.GetFat(last) < 0x0FFFFFF8; ++i) last = v.GetFat(last);
    v.SetFat(last, root);
    MemoryDevice device(v.bytes, 512);
    std::unique_ptr<Scan> scan = RunScan(device);
    EXPECT_EQ(scan->result, 0u);
    ExpectRunsInside(*scan, device.GetTotalSectors());
}

TEST_F(FatDamage, ClustersPastTheEndAreNeverRead) {
    Volume v("fat16-basic.img");
    // A deleted file whose first cluster lies past the volume, and a live folder whose chain
    // leads past it.
    const u64 file = v.FindEntry("\xE5OTE-0~1TXT");
    ASSERT_NE(file, 0u);
    Volume::SetEntryCluster(v.bytes.data() + file, 0xFFF0);
    const u64 music = v.FindEntry("MUSIC      ");
    ASSERT_NE(music, 0u);
    const u32 musicCluster = Volume::EntryCluster(v.bytes.data() + music);
    v.SetFat(musicCluster, 0xFFF0);
    MemoryDevice device(v.bytes, 512);
    std::unique_ptr<Scan> scan = RunScan(device);
    EXPECT_EQ(scan->result, 0u);
    ExpectRunsInside(*scan, device.GetTotalSectors());
    for (const CFileNode* n : scan->builder.nodes) EXPECT_NE(n->GetId(), 0xFFF0u);
}

TEST_F(FatDamage, FirstClusterBelowTwoWithASizeGivesNoRuns) {
    Volume v("fat16-basic.img");
    const u64 a = v.FindEntry("\xE5OTE-0~1TXT");
    const u64 b = v.FindEntry("\xE5IOLIN  AU ");
    ASSERT_NE(a, 0u);
    ASSERT_NE(b, 0u);
    Volume::SetEntryCluster(v.bytes.data() + a, 0);
    Volume::SetEntryCluster(v.bytes.data() + b, 1);
    MemoryDevice device(v.bytes, 512);
    std::unique_ptr<Scan> scan = RunScan(device);
    EXPECT_EQ(scan->result, 0u);
    ExpectRunsInside(*scan, device.GetTotalSectors());
    for (const CFileNode* n : scan->builder.nodes) {
        const std::string name = n->GetFileProperties()->GetName();
        EXPECT_NE(name, "#OTE-0~1.TXT");
        EXPECT_NE(name, "#IOLIN.AU");
    }
}

TEST_F(FatDamage, DirectoryThatContainsItselfEnds) {
    Volume v("fat16-basic.img");
    const u64 music = v.FindEntry("MUSIC      ");
    ASSERT_NE(music, 0u);
    const u32 musicCluster = Volume::EntryCluster(v.bytes.data() + music);
    // The folder's third entry is made a folder entry pointing back at the folder itself, and
    // its fourth one at the root folder's parent chain (cluster 0 stands for the root).
    u8* third = v.bytes.data() + v.ClusterOffset(musicCluster) + 2 * 32;
    u8* fourth = third + 32;
    std::memcpy(third, "LOOP       ", 11);
    third[11] = 0x10;
    WriteLE32(third + 28, 0);
    Volume::SetEntryCluster(third, musicCluster);
    std::memcpy(fourth, "\xE5OOPBACK   ", 11);
    fourth[11] = 0x10;
    WriteLE32(fourth + 28, 0);
    Volume::SetEntryCluster(fourth, musicCluster);
    // A subfolder of Music whose entries lead back to Music.
    const u64 live = v.FindEntry("LIVERE~1   ");
    ASSERT_NE(live, 0u);
    const u32 liveCluster = Volume::EntryCluster(v.bytes.data() + live);
    u8* back = v.bytes.data() + v.ClusterOffset(liveCluster) + 2 * 32;
    std::memcpy(back, "\xE5" "ACK      ", 11);
    back[11] = 0x10;
    WriteLE32(back + 28, 0);
    Volume::SetEntryCluster(back, musicCluster);
    MemoryDevice device(v.bytes, 512);
    std::unique_ptr<Scan> scan = RunScan(device);
    EXPECT_EQ(scan->result, 0u);
    for (const CFileNode* n : scan->builder.nodes) EXPECT_EQ(scan->builder.PathOf(n).rfind("?", 0), std::string::npos);

    // Music deleted, and the entry leading back to it newer than Music's own: of two deleted
    // folders of one cluster the newer one wins, but not when it lies inside the other.
    v.bytes[music] = 0xE5;
    WriteLE16(back + 24, u16(ReadLE16(v.bytes.data() + music + 24) + (1 << 9)));
    MemoryDevice deletedMusic(v.bytes, 512);
    scan = RunScan(deletedMusic);
    EXPECT_EQ(scan->result, 0u);
    // Every handed-over path resolves within the bound of PathOf: no folder leads back to itself.
    for (const CFileNode* n : scan->builder.nodes) EXPECT_EQ(scan->builder.PathOf(n).rfind("?", 0), std::string::npos);
}

// Deleted folder entries naming Music's cluster (Music's own entry in the root made deleted):
// where its files go. Of two deleted entries, the one in the folder Music's ".." names is its last
// place (a folder moved there and deleted; the move left its old entry behind); else the newer
// one. The losers leave no trace in the lists the walk keeps (a replacement no longer searches
// them): in both scans Music is one folder, the winner, holding each of its files once. Some tools
// write a moved folder's ".." with the low word of its new parent's first cluster only; a ".." that
// names a folder exactly beats one that only shares its low word (a live twin of Archive at its
// higher word).
struct DuplicateRow {
    const char* what;
    bool dotDotNamesArchive;
    // Copies of Music's entry: in the root (else in Archive), their names and how many years
    // after Music's own entry each was last written.
    std::vector<std::tuple<bool, const char*, u16>> copies;
    const char* winner;
    const char* fixture = "fat16-basic.img";
    // Archive's folder moved past cluster 65,535, and Music's ".." naming it by its low word.
    bool dotDotLowWordOnly = false;
    // Years after Music's own entry a copy in a live twin of Archive, at its cluster + 65,536 and
    // listed after it, was last written; -1 for no twin.
    int twinCopy = -1;
};

TEST_F(FatDamage, DuplicateFolderEntriesGiveTheFolderToOnePlace) {
    const DuplicateRow rows[] = {
        {"the newest entry of one folder",
         false,
         {{true, "\xE5UP1", 1}, {true, "\xE5UP2", 3}, {true, "\xE5UP3", 2}},
         "/#UP2"},
        {"moved into Archive and deleted there, the old entry newer", true, {{false, "\xE5USIC", 0}}, "/Archive/#USIC"},
        {"a newer copy in Archive while \"..\" names the root", false, {{false, "\xE5USIC", 2}}, "/Music"},
        {"moved into Archive past cluster 65,535 and deleted there, \"..\" with the low word only",
         true,
         {{false, "\xE5USIC", 0}},
         "/Archive/#USIC",
         "fat32-basic.img",
         true},
        {"moved into Archive and deleted there, a newer copy in a live twin of Archive's low word",
         true,
         {{false, "\xE5USIC", 0}},
         "/Archive/#USIC",
         "fat32-basic.img",
         false,
         1},
    };
    for (const DuplicateRow& row : rows) {
        SCOPED_TRACE(row.what);
        Volume v(row.fixture);
        const u64 music = v.FindEntry("MUSIC      ");
        const u64 archive = v.FindEntry("ARCHIVE    ");
        ASSERT_TRUE(music != 0 && archive != 0);
        const u32 musicCluster = Volume::EntryCluster(v.bytes.data() + music);
        u32 archiveCluster = Volume::EntryCluster(v.bytes.data() + archive);
        if (row.dotDotLowWordOnly) {
            // Archive's chain moves to free clusters from 66,000 on; its entry and "." follow.
            constexpr u32 kMovedTo = 66000;
            std::vector<u32> chain;
            for (u32 c = archiveCluster; c >= 2 && c < 0x0FFFFFF8 && chain.size() < 16; c = v.GetFat(c)) {
                chain.push_back(c);
            }
            const u64 clusterBytes = u64(v.spc) * v.sectorSize;
            for (u32 i = 0; i < chain.size(); ++i) {
                ASSERT_EQ(v.GetFat(kMovedTo + i), 0u);
                std::memcpy(v.bytes.data() + v.ClusterOffset(kMovedTo + i), v.bytes.data() + v.ClusterOffset(chain[i]),
                            clusterBytes);
                v.SetFat(kMovedTo + i, i + 1 < chain.size() ? kMovedTo + i + 1 : 0x0FFFFFFF);
                v.SetFat(chain[i], 0);
            }
            archiveCluster = kMovedTo;
            Volume::SetEntryCluster(v.bytes.data() + archive, archiveCluster);
            Volume::SetEntryCluster(v.bytes.data() + v.ClusterOffset(archiveCluster), archiveCluster);
        }
        // The twin's entry goes in the first free slot from the root's first sector on (the
        // FAT32 root is full: in the folder after it).
        const u32 twin = archiveCluster + 65536;
        if (row.twinCopy >= 0) {
            ASSERT_EQ(v.GetFat(twin), 0u);
            v.SetFat(twin, 0x0FFFFFFF);
            std::memcpy(v.bytes.data() + v.ClusterOffset(twin), v.bytes.data() + v.ClusterOffset(archiveCluster), 64);
            Volume::SetEntryCluster(v.bytes.data() + v.ClusterOffset(twin), twin);
            u64 slot = v.rootStart;
            while (v.bytes[slot] != 0) slot += 32;
            std::memcpy(v.bytes.data() + slot, "TWIN       ", 11);
            std::memcpy(v.bytes.data() + slot + 11, v.bytes.data() + archive + 11, 21);
            Volume::SetEntryCluster(v.bytes.data() + slot, twin);
        }
        v.bytes[music] = 0xE5;
        if (row.dotDotNamesArchive) {
            const u32 dotDot = row.dotDotLowWordOnly ? archiveCluster & 0xFFFF : archiveCluster;
            Volume::SetEntryCluster(v.bytes.data() + v.ClusterOffset(musicCluster) + 32, dotDot);
        }
        const auto putCopy = [&](u64 slot, const char* name, u16 yearsLater) {
            while (v.bytes[slot] != 0) slot += 32;
            u8* e = v.bytes.data() + slot;
            std::memcpy(e, v.bytes.data() + music, 32);
            std::memcpy(e, "           ", 11);
            std::memcpy(e, name, std::strlen(name));
            WriteLE16(e + 24, u16(ReadLE16(e + 24) + (yearsLater << 9)));
        };
        for (const auto& [inRoot, name, yearsLater] : row.copies) {
            putCopy(inRoot ? v.rootStart : v.ClusterOffset(archiveCluster), name, yearsLater);
        }
        if (row.twinCopy >= 0) putCopy(v.ClusterOffset(twin), "\xE5USIC", u16(row.twinCopy));
        MemoryDevice device(v.bytes, 512);
        Walks walks;
        ASSERT_NO_FATAL_FAILURE(WalkBoth(device, walks));
        for (size_t walk = 0; walk < 2; ++walk) {
            SCOPED_TRACE(walk == 0 ? "deleted-file scan" : "complete scan");
            std::multiset<std::string> folders;
            std::set<std::string> holders;
            for (const auto& [path, node] : walks.paths[walk]) {
                const bool folder = (node->GetFileProperties()->GetAttributes() & kAttrDirectory) != 0;
                if (node->GetId() == musicCluster && folder) folders.insert(path);
                const u64 parent = walk == 0 ? node->GetParentId() : node->GetParent()->GetId();
                if (parent == musicCluster) holders.insert(Folder(path));
            }
            EXPECT_EQ(folders, std::multiset<std::string>{row.winner});
            EXPECT_EQ(holders, std::set<std::string>{row.winner});
        }
        std::set<std::string> handed;  // the deleted-file scan hands each of Music's files once
        for (const CFileNode* n : walks.quick->builder.nodes) {
            EXPECT_TRUE(n->GetParentId() != musicCluster || handed.insert(walks.quick->builder.PathOf(n)).second);
        }
    }
}

// Documents moved into Archive: its old entry in the root is deleted and walked before Archive
// lists it live. The live folder takes the cluster, and the deleted-file scan hands over only
// its deleted file, not its live ones as deleted.
TEST_F(FatDamage, ADeletedEntryOfALiveFolderHandsNoLiveFileAsDeleted) {
    Volume v("fat32-basic.img");
    const u64 documents = v.FindEntry("DOCUME~1   ");
    const u64 archive = v.FindEntry("ARCHIVE    ");
    ASSERT_TRUE(documents != 0 && archive != 0);
    const u32 folder = Volume::EntryCluster(v.bytes.data() + documents);
    const u32 archiveCluster = Volume::EntryCluster(v.bytes.data() + archive);
    u64 slot = v.ClusterOffset(archiveCluster);
    while (v.bytes[slot] != 0) slot += 32;
    std::memcpy(v.bytes.data() + slot, v.bytes.data() + documents, 32);
    v.bytes[documents] = 0xE5;
    Volume::SetEntryCluster(v.bytes.data() + v.ClusterOffset(folder) + 32, archiveCluster);
    MemoryDevice device(v.bytes, 512);
    std::unique_ptr<Scan> scan = RunScan(device);
    std::set<std::string> files;
    for (const CFileNode* n : scan->builder.nodes) {
        const bool file = (n->GetFileProperties()->GetAttributes() & kAttrDirectory) == 0;
        if (n->GetParentId() == folder && file) files.insert(scan->builder.PathOf(n));
    }
    EXPECT_EQ(files.size(), 1u);
    EXPECT_EQ(Folder(*files.begin()), "/Archive/DOCUME~1");
}

// A deleted text file of Projects whose entry may have lost the high word of its first cluster,
// its own cluster a live file's now: the live files written on either side of it lie at high word 1, so the
// estimate moves it there where that cluster holds written bytes no chain holds. Named as a photo,
// it is moved where a photo begins; where nothing was written there, or a chain holds it, it stays
// at its own cluster, the live photo's now, and is counted incomplete.
TEST_F(FatDamage, ADeletedFileIsMovedOnlyToAClusterNoLiveChainHolds) {
    constexpr u32 kHighWord = 0x10000;
    const u8 kJpegStart[] = {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10, 'J', 'F', 'I', 'F', 0x00};
    const u8 kText[] = "DSC28533,one,two,three";
    const struct {
        const char* what;
        bool taken, photo;
        const u8* there;  // the bytes at the estimated cluster; null: never written
        size_t length;
        bool moved, whole;
        bool lowWordZero = false;  // the entry names cluster 0: its low word is 0, at block 1 that is 65,536
    } rows[] = {
        {"the estimated cluster is written and free", false, false, kText, sizeof kText, true, true},
        {"the estimated cluster is never written", false, false, nullptr, 0, false, false},
        {"the estimated cluster is in use", true, false, kText, sizeof kText, false, false},
        {"a photo, its header at the estimated cluster", false, true, kJpegStart, sizeof kJpegStart, true, true},
        {"a photo, the one cluster left written without its header", false, true, kText, sizeof kText, true, true},
        {"low word 0, the one cluster of it written", false, false, kText, sizeof kText, true, true, true},
        {"low word 0, a photo, its header there", false, true, kJpegStart, sizeof kJpegStart, true, true, true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        Volume v("fat32-basic.img");
        const u64 csv = v.FindEntry("\xE5SC28533CSV");
        ASSERT_NE(csv, 0u);
        if (row.lowWordZero) Volume::SetEntryCluster(v.bytes.data() + csv, 0);
        // Its own cluster is a live file's now; with the low word 0 it names none.
        const u32 recorded = Volume::EntryCluster(v.bytes.data() + csv);
        const u32 own = row.lowWordZero ? 0u : recorded;
        ASSERT_TRUE(row.lowWordZero || v.GetFat(recorded) != 0);
        // The live photo whose chain runs over its recorded cluster stays where it lies: it is
        // what took the cluster.
        for (const char* live : {"DSC25862RTF", "AUTUMN  CSV"}) {
            const u64 entry = v.FindEntry(live);
            Volume::SetEntryCluster(v.bytes.data() + entry, Volume::EntryCluster(v.bytes.data() + entry) + kHighWord);
        }
        const u32 estimated = own + kHighWord;
        ASSERT_EQ(v.GetFat(estimated), 0u);
        if (row.taken) v.SetFat(estimated, 0x0FFFFFFF);
        if (row.photo) std::memcpy(v.bytes.data() + csv + 8, "JPG", 3);
        if (row.there != nullptr) std::memcpy(v.bytes.data() + v.ClusterOffset(estimated), row.there, row.length);
        MemoryDevice device(v.bytes, 512);
        Walks walks;
        ASSERT_NO_FATAL_FAILURE(WalkBoth(device, walks));
        const std::string path = row.photo ? "/Projects/#SC28533.JPG" : "/Projects/#SC28533.CSV";
        for (size_t walk = 0; walk < 2; ++walk) {
            SCOPED_TRACE(walk == 0 ? "deleted-file scan" : "complete scan");
            ASSERT_EQ(walks.paths[walk].count(path), 1u);
            const IFileProperties* p = walks.paths[walk][path]->GetFileProperties();
            std::unique_ptr<IDataRunList> runs(p->CreateDataRunList());
            ASSERT_TRUE(runs && runs->GetFirstExtent());
            EXPECT_EQ(u64(runs->GetFirstExtent()->start) + 2, row.moved ? estimated : own);
            // Kept at its own cluster, which the live photo holds now, it loses that cluster to it.
            EXPECT_EQ((p->GetState() & (kStateContentUnconfirmed | kStateClustersTaken)) == 0, row.whole);
        }
    }
}

// Two deleted files of Documents and src, or a deleted file and what the volume holds now, read
// from one cluster: only the claim proven written last keeps it, the other is counted incomplete.
// A creation time later than everything the other file's times say of its last write proves the
// order, a copy's kept modification time does not spoil it; a creation time equal to the
// modification time (as a tool that keeps both of a source's times writes it) bounds nothing from
// above. What either FAT copy gives to a chain, and a live folder, are the volume's now. A deleted
// entry of a live file's first cluster, size and times is the one the file's move left: that
// file's own, read from its chain and whole.
TEST_F(FatDamage, OfTwoClaimsOnOneClusterOnlyTheOneProvenNewerIsWhole) {
    struct Stamp {
        u16 date, time;
    };
    constexpr Stamp k2015{(35 << 9) | (6 << 5) | 1, 0};
    constexpr Stamp k2020{(40 << 9) | (3 << 5) | 1, (10 << 11)};
    constexpr Stamp k2020Later{(40 << 9) | (3 << 5) | 1, (11 << 11)};
    constexpr Stamp k2021{(41 << 9) | (3 << 5) | 1, (10 << 11)};
    constexpr Stamp k2021Later{(41 << 9) | (3 << 5) | 1, (11 << 11)};
    enum class Place { kApart, kShared, kLiveFolderFat1Zero, kSecondFatOnly, kMovedLiveFile };
    const struct {
        const char* what;
        Place place;
        Stamp aCreated, aModified, bCreated, bModified;
        bool aTaken, bTaken;
    } rows[] = {
        {"apart, each on its own clusters", Place::kApart, k2020, k2020Later, k2021, k2021Later, false, false},
        {"b written after a", Place::kShared, k2020, k2020Later, k2021, k2021Later, true, false},
        {"a written after b", Place::kShared, k2021, k2021Later, k2020, k2020Later, false, true},
        {"b a copy that kept an old modification time", Place::kShared, k2020, k2020Later, k2021, k2015, true, false},
        {"b a copy that kept both old times", Place::kShared, k2020, k2020Later, k2015, k2015, true, true},
        {"b created in the second a was last written", Place::kShared, k2020, k2020Later, k2020Later, k2021, true,
         true},
        {"a on a live folder's first cluster, FAT 1's entry for it zero", Place::kLiveFolderFat1Zero, k2020,
         k2020Later, k2021, k2021Later, true, false},
        {"a on clusters only the second FAT gives to a chain", Place::kSecondFatOnly, k2020, k2020Later, k2021,
         k2021Later, true, false},
        {"a the entry a live file's move left", Place::kMovedLiveFile, k2020, k2020Later, k2021, k2021Later, false,
         false},
    };
    const auto stamp = [](u8* entry, Stamp created, Stamp modified) {
        entry[13] = 0;
        WriteLE16(entry + 14, created.time);
        WriteLE16(entry + 16, created.date);
        WriteLE16(entry + 22, modified.time);
        WriteLE16(entry + 24, modified.date);
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        Volume v("fat32-basic.img");
        const u64 a = v.FindEntry("\xE5YRICS~1XLS");
        const u64 b = v.FindEntry("\xE5OTE-0~1TXT");
        ASSERT_TRUE(a != 0 && b != 0);
        u8* entryA = v.bytes.data() + a;
        u8* entryB = v.bytes.data() + b;
        stamp(entryA, row.aCreated, row.aModified);
        stamp(entryB, row.bCreated, row.bModified);
        const u32 ownA = Volume::EntryCluster(entryA);
        u32 expectedA = ownA;
        if (row.place == Place::kShared) Volume::SetEntryCluster(entryB, ownA);
        if (row.place == Place::kLiveFolderFat1Zero) {
            const u32 folder = Volume::EntryCluster(v.bytes.data() + v.FindEntry("ARCHIVE    "));
            Volume::SetEntryCluster(entryA, folder);
            WriteLE32(v.bytes.data() + u64(v.reserved) * v.sectorSize + u64(folder) * 4, 0);
            expectedA = folder;
        }
        if (row.place == Place::kSecondFatOnly) {
            ASSERT_EQ(v.GetFat(ownA), 0u);
            WriteLE32(v.bytes.data() + u64(v.reserved + v.fatSectors) * v.sectorSize + u64(ownA) * 4, 0x0FFFFFFF);
        }
        if (row.place == Place::kMovedLiveFile) {
            const u8* live = v.bytes.data() + v.FindEntry("AUTUMN  CSV");
            std::memcpy(entryA + 13, live + 13, 32 - 13);
            expectedA = Volume::EntryCluster(live);
        }
        MemoryDevice device(v.bytes, 512);
        Walks walks;
        ASSERT_NO_FATAL_FAILURE(WalkBoth(device, walks));
        for (size_t walk = 0; walk < 2; ++walk) {
            SCOPED_TRACE(walk == 0 ? "deleted-file scan" : "complete scan");
            const std::string pathA = "/Documents/#YRICS~1.XLS";
            const std::string pathB = "/Projects/src/" + ScanName("note-01 server.txt");
            ASSERT_EQ(walks.paths[walk].count(pathA), 1u);
            ASSERT_EQ(walks.paths[walk].count(pathB), 1u);
            const IFileProperties* pa = walks.paths[walk][pathA]->GetFileProperties();
            const IFileProperties* pb = walks.paths[walk][pathB]->GetFileProperties();
            EXPECT_EQ((pa->GetState() & kStateClustersTaken) != 0, row.aTaken);
            EXPECT_EQ((pb->GetState() & kStateClustersTaken) != 0, row.bTaken);
            // A shared cluster is another file's, not a guess.
            EXPECT_EQ(pa->GetState() & kStateContentUnconfirmed, 0);
            std::unique_ptr<IDataRunList> runs(pa->CreateDataRunList());
            ASSERT_TRUE(runs && runs->GetFirstExtent());
            EXPECT_EQ(u64(runs->GetFirstExtent()->start) + 2, expectedA);
        }
    }
}

TEST_F(FatDamage, FailedReadsEndTheWalkWithoutStaleEntries) {
    Volume v("fat32-basic.img");
    MemoryDevice device(v.bytes, 512);
    // Everything past the FATs fails: the root chain cannot be read.
    device.failFrom = v.dataStart / 512;
    std::unique_ptr<Scan> scan = RunScan(device);
    EXPECT_EQ(scan->result, 0u);
    EXPECT_TRUE(scan->builder.nodes.empty());
}

TEST_F(FatDamage, AFolderThatCannotBeReadCostsOnlyItsOwnEntries) {
    // Documents lies on a stretch that cannot be read, Videos past the end of an image cut short
    // (a card that failed there), Music's chain goes on past that end, and Projects lists src as
    // deleted: every other folder is still walked, the deleted src after the live ones, and the
    // log names the folders past the end.
    for (const char* fixture : {"fat16-basic.img", "fat32-basic.img"}) {
        SCOPED_TRACE(fixture);
        testutil::TempDir state;
        testutil::EnvOverride stateHome("XDG_STATE_HOME", state.Path());
        Volume v(fixture);
        const u64 documents = v.FindEntry("DOCUME~1   ");
        const u64 src = v.FindEntry("SRC        ");
        const u64 videos = v.FindEntry("VIDEOS     ");
        const u64 music = v.FindEntry("MUSIC      ");
        ASSERT_TRUE(documents != 0 && src != 0 && videos != 0 && music != 0);
        v.bytes[src] = 0xE5;
        const u32 last = u32((v.bytes.size() - v.dataStart) / (u64(v.spc) * 512) + 1);  // the image is the volume
        Volume::SetEntryCluster(v.bytes.data() + videos, last);
        const u32 musicCluster = Volume::EntryCluster(v.bytes.data() + music);
        v.SetFat(musicCluster, last);
        v.bytes.resize(v.ClusterOffset(last));
        MemoryDevice device(v.bytes, 512);
        device.failBegin = v.ClusterOffset(Volume::EntryCluster(v.bytes.data() + documents)) / 512;
        device.failEnd = device.failBegin + v.spc;
        SetLoggingEnabled(true);
        std::unique_ptr<Scan> scan = RunScan(device);
        SetLoggingEnabled(false);
        EXPECT_EQ(scan->result, 0u);
        std::set<std::string> paths;
        for (const CFileNode* n : scan->builder.nodes) paths.insert(scan->builder.PathOf(n));
        EXPECT_EQ(paths.count("/Documents/Reports 2019"), 0u);
        EXPECT_EQ(paths.count("/Music/Live Recordings"), 1u);
        EXPECT_EQ(paths.count("/Projects/#rc/deep/nested/level5"), 1u);
        const std::string log = testutil::ReadFileText(LogFilePath("MorvendaTrace.log"));
        EXPECT_NE(log.find("FAT folder of first cluster " + std::to_string(last) + ", listed in the folder of first"),
                  std::string::npos);
        EXPECT_NE(log.find("FAT folder of first cluster " + std::to_string(musicCluster) +
                           ": its chain goes on at cluster " + std::to_string(last) + ", past the device's end"),
                  std::string::npos);
    }
}

// Sectors a copy of a failing disk gave back as zeros: in a live folder's chain, zeros followed by
// entries do not end the folder (here its first sector, "." and ".." included), and the log names
// the folder and the sectors passed over; a folder whose clusters hold only zeros is said to be
// unreadable and the rest of the tree is still walked; with both FAT copies zeroed the log says
// why no tree is given. Past 1,024 runs of zeros the log counts the rest in one line.
TEST_F(FatDamage, ZerosAmidAFolderSEntriesDoNotEndItAndTheLogSaysWhatWasPassedOver) {
    constexpr u32 kFolder = 5;  // below Photos, of two one-sector clusters
    constexpr u32 kSecondCluster = 1851;
    const struct {
        const char* what;
        std::vector<u32> zeroedClusters;   // none: both FAT copies zeroed
        std::set<std::string> filesBelow;  // the deleted files the folder lists
        const char* said;
        u32 addedClusters = 0;  // appended to the folder's chain, each of zero and valid entries by turns
    } rows[] = {
        {"its first sector zeroed", {kFolder}, {"backup_concert_260.ico", "\xE6\x98\xA0\xE7\x94\xBB\xE8\xB3\x87\xE6\x96\x99_21.jpg"},
         "hold only zeros amid its entries; passed over, its entries after them are listed"},
        {"both its clusters zeroed", {kFolder, kSecondCluster}, {}, "its clusters hold only zeros; the folder cannot be read"},
        {"both FAT copies zeroed", {}, {}, "is sound, but neither FAT copy (sectors 32 and "},
        {"more runs of zeros than the log has lines for", {kFolder}, {}, "past the first 1024 lines, 97 more runs", 140},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        testutil::TempDir state;
        testutil::EnvOverride stateHome("XDG_STATE_HOME", state.Path());
        Volume v("fat32-basic.img");
        ASSERT_EQ(Volume::EntryCluster(v.bytes.data() + v.FindEntry("____~1     ")), kFolder);
        ASSERT_EQ(v.GetFat(kFolder), kSecondCluster);
        for (u32 c : row.zeroedClusters) std::memset(v.bytes.data() + v.ClusterOffset(c), 0, 512);
        const bool fatsZeroed = row.zeroedClusters.empty();
        if (fatsZeroed) std::memset(v.bytes.data() + u64(v.reserved) * 512, 0, u64(2) * v.fatSectors * 512);
        u32 last = kSecondCluster;
        for (u32 c = kSecondCluster + 1, added = 0; added < row.addedClusters; ++c) {
            ASSERT_LE(v.ClusterOffset(c) + 512, v.bytes.size());
            if (v.GetFat(c) != 0) continue;
            u8* at = v.bytes.data() + v.ClusterOffset(c);
            std::memset(at, 0, 512);
            for (u32 e = 32; e < 512; e += 64) std::memcpy(at + e, "\xE5XTRA   TXT\x20", 12);
            v.SetFat(last, c);
            v.SetFat(c, 0x0FFFFFFF);
            last = c;
            ++added;
        }
        MemoryDevice device(v.bytes, 512);
        SetLoggingEnabled(true);
        std::unique_ptr<Scan> scan = RunScan(device);
        SetLoggingEnabled(false);
        EXPECT_EQ(scan->result, fatsZeroed ? kFatQuickNoBootSector : 0u);
        std::set<std::string> below;
        size_t restOfTree = 0;
        for (const CFileNode* n : scan->builder.nodes) {
            if (n->GetParentId() == kFolder) below.insert(NameOf(n));
            restOfTree += scan->builder.PathOf(n) == "/Music/Live Recordings" ? 1 : 0;
        }
        if (row.addedClusters == 0) {
            EXPECT_EQ(below, row.filesBelow);
        }
        EXPECT_EQ(restOfTree, fatsZeroed ? 0u : 1u);
        const std::string log = testutil::ReadFileText(LogFilePath("MorvendaTrace.log"));
        EXPECT_NE(log.find(row.said), std::string::npos);
        size_t lines = 0;
        for (size_t at = log.find("amid its entries; passed over"); at != std::string::npos;
             at = log.find("amid its entries; passed over", at + 1)) {
            ++lines;
        }
        EXPECT_LE(lines, 1024u);
    }
}

// The first FAT copy lost its first sector: the second holds the chains, and the deleted files
// in the later clusters of a folder are found as on the intact volume.
TEST_F(FatDamage, TheSecondFatCopyStandsInForAFirstThatLostItsStart) {
    for (const char* fixture : {"fat16-basic.img", "fat32-basic.img"}) {
        SCOPED_TRACE(fixture);
        Volume v(fixture);
        std::set<std::string> paths[2];
        for (std::set<std::string>& found : paths) {
            MemoryDevice device(v.bytes, 512);
            std::unique_ptr<Scan> scan = RunScan(device);
            for (const CFileNode* n : scan->builder.nodes) found.insert(scan->builder.PathOf(n));
            std::memset(v.bytes.data() + u64(v.reserved) * 512, 0, 512);
        }
        EXPECT_EQ(paths[1], paths[0]);
    }
}

TEST_F(FatDamage, StopDuringTheWalkReturnsStoppedAfterHandingOverDeferredFolders) {
    ImageDevice device(testutil::FixturePath("fat16-basic.img"), 512);
    Scan scan;
    scan.progress.stopAfter = 4;
    CFATQuickSearch search;
    search.SetDirectoryTreeBuilder(&scan.builder);
    EXPECT_EQ(search.Search(&device, &scan.progress), kFatQuickStopped);
    EXPECT_NE(scan.builder.root, nullptr);
}

TEST_F(FatDamage, MissingArgumentsAreReported) {
    ImageDevice device(testutil::FixturePath("fat16-basic.img"), 512);
    CountingProgress progress;
    RecordingBuilder builder;
    CFATQuickSearch search;
    search.SetDirectoryTreeBuilder(&builder);
    EXPECT_EQ(search.Search(nullptr, &progress), kFatQuickMissingArgument);
    EXPECT_EQ(search.Search(&device, nullptr), kFatQuickMissingArgument);
    builder.refuseRoot = true;
    EXPECT_EQ(search.Search(&device, &progress), 0u);
    EXPECT_TRUE(builder.nodes.empty());
}
}  // namespace
