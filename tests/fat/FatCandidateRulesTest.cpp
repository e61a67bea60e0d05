// The rules by which the FAT and exFAT deep searches weigh and admit partition candidates: the
// score of what a candidate's own structures show, the checks a boot sector must pass before it
// makes a candidate, the layout a volume gets from its folders alone, and the exFAT volume found
// from its directory blocks when its boot regions are gone.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "ImageDevice.h"
#include "Json.h"
#include "TestUtil.h"
#include "engine/RawFileInfo.h"
#include "engine/RawFileInfoPool.h"
#include "engine/FileNode.h"
#include "engine/FileProperties.h"
#include "engine/FileSystemNode.h"
#include "fs/fat/ExFatBlockFinder.h"
#include "fs/fat/ExFatDeepSearch.h"
#include "fs/fat/ExFatVolume.h"
#include "fs/fat/FatDeepSearch.h"
#include "fs/fat/FatFileProperties.h"

namespace {

TEST(FatCandidateRules, ScoresFollowTheBootSectorsAndFatCopiesSeen) {
    struct Case {
        u32 fsCode;
        u32 flags;
        u64 score;
    };
    const Case cases[] = {
        {kFsFat32, kFatFlagBootFat32 | kFatFlagBackupBootFat32 | kFatFlagFat1Seen | kFatFlagFat2Seen, 100},
        {kFsFat32, kFatFlagBootFat32 | kFatFlagFat1Seen | kFatFlagFat2Seen, 95},
        {kFsFat32, kFatFlagBackupBootFat32 | kFatFlagFat1Seen, 90},
        {kFsFat32, kFatFlagBootFat32, 55},
        {kFsFat32, kFatFlagFromDirectory, 20},
        {kFsFat16, kFatFlagBootFat16 | kFatFlagFat1Seen | kFatFlagFat2Seen, 100},
        {kFsFat16, kFatFlagBootFat16 | kFatFlagFat2Seen, 95},
        {kFsFat16, kFatFlagFromDirectory | kFatFlagFat1Seen | kFatFlagFat2Seen, 60},
        {kFsFat16, kFatFlagFromDirectory, 20},
        {kFsFat12, kFatFlagBootFat12, 60},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(CandidateScore(c.fsCode, c.flags), c.score) << "code " << c.fsCode << " flags 0x" << std::hex << c.flags;
    }

    const Case exfat[] = {
        {kFsExFat, kExFatFlagBoot | kExFatFlagBackupBoot | kExFatFlagFatSeen | kExFatFlagSecondFatSeen, 100},
        {kFsExFat, kExFatFlagBoot | kExFatFlagBackupBoot | kExFatFlagFatSeen, 95},
        {kFsExFat, kExFatFlagBoot | kExFatFlagFatSeen, 90},
        {kFsExFat, kExFatFlagBackupBoot, 55},
        {kFsExFat, kExFatFlagFromDirectoryBlocks | kExFatFlagFatSeen, 55},
        {kFsExFat, kExFatFlagFromDirectoryBlocks, 20},
    };
    for (const Case& c : exfat) EXPECT_EQ(ExFatCandidateScore(c.flags), c.score) << "flags 0x" << std::hex << c.flags;
}

// The fixtures' own boot sectors, and copies with one field out of line.
TEST(FatCandidateRules, ABootSectorMakesACandidateOnlyWhereAVolumeCanHaveIt) {
    // fat16-basic: 4 reserved sectors, 2 FATs of 64 sectors, 32 root sectors, 4 sectors per
    // cluster, 65536 sectors. fat32-basic: 32 reserved, 2 FATs of 630, 1 sector per cluster,
    // 81920 sectors, root cluster 2.
    const FatBootSighting fat16{0, kFsFat16, 4, 4, 2, 64, 65536, 32};
    const FatBootSighting fat32{0, kFsFat32, 1, 32, 2, 630, 81920, 2};
    struct Case {
        const char* what;
        FatBootSighting boot;
        u64 start;
        u64 deviceSectors;
        bool made;
    };
    auto with = [](FatBootSighting b, auto change) {
        change(b);
        return b;
    };
    const Case cases[] = {
        {"FAT16 as it is", fat16, 0, 65536, true},
        {"FAT32 as it is", fat32, 0, 81920, true},
        {"FAT32 read as the backup of a volume six sectors earlier", fat32, 6, 81926, true},
        {"FAT16 FAT one sector short of its clusters", with(fat16, [](auto& b) { b.sectorsPerFat = 63; }), 0, 65536,
         false},
        {"FAT32 FAT one sector short", with(fat32, [](auto& b) { b.sectorsPerFat = 629; }), 0, 81920, false},
        {"FAT32 root cluster past the clusters", with(fat32, [](auto& b) { b.root = 90000; }), 0, 81920, false},
        // 16343 clusters make FAT16, not FAT32.
        {"FAT32 with a FAT16 cluster count", with(fat32, [](auto& b) { b.sectorsPerCluster = 8; }), 0, 81920, false},
        // A device that ends inside the volume (an image cut short, here before its 0xFF5th
        // cluster) holds its start: the volume is its boot sector's, not one of FAT12's size.
        {"FAT16 cut short", fat16, 0, 164 + 4 * 0xFF4, true},
        {"FAT16 cut right after its data area's start", fat16, 0, 165, true},
        {"FAT32 whose damaged total claims more than its FAT names",
         with(fat32, [](auto& b) { b.totalSectors = 0x7FFFFFFF; }), 0, 81920, true},
        {"FAT16 data area past the device", fat16, 0, 100, false},
        {"start past the device", fat16, 70000, 65536, false},
        {"no sectors per cluster", with(fat16, [](auto& b) { b.sectorsPerCluster = 0; }), 0, 65536, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(FatBootMakesCandidate(c.boot, c.start, c.deviceSectors, 512), c.made) << c.what;
    }
}

TEST(FatCandidateRules, AVolumeWithoutFatsGetsItsLayoutFromItsDataArea) {
    struct Case {
        u64 dataStart;
        u32 spc;
        u64 deviceSectors;
        bool made;
        u32 fsCode;
        u64 start;
        u32 sectorsPerFat;
        u32 root;
        bool fat16RootSeen = false;  // folder sectors right before the data area
    };
    const Case cases[] = {
        // The fixtures' layouts: the FATs and the FAT16 root region end where the data begins.
        {164, 4, 65536, true, kFsFat16, 3, 64, 32},
        {1292, 1, 81920, true, kFsFat32, 31, 630, 2},
        // No room before the data area for FATs of any type.
        {10, 1, 65536, false, kFsUnknown, 0, 0, 0},
        {1000, 1, 1000, false, kFsUnknown, 0, 0, 0},
        // A 512 MiB FAT32 volume of 4 KiB clusters on an image cut at 200 MiB: the clusters left
        // would fit FAT16, the room its FATs had only FAT32; unless a FAT16 root folder stands
        // right before the data area.
        {2080, 8, 409600, true, kFsFat32, 1283, 398, 2},
        {2080, 8, 409600, true, kFsFat16, 1649, 199, 32, true},
        // A FAT16 volume on a disk whose first volume begins at sector 2048.
        {2212, 4, 67584, true, kFsFat16, 2051, 64, 32, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.dataStart);
        FatGuessedLayout layout;
        ASSERT_EQ(GuessFatLayout(c.dataStart, c.spc, c.deviceSectors, 512, layout, c.fat16RootSeen), c.made);
        if (!c.made) continue;
        EXPECT_EQ(layout.fsCode, c.fsCode);
        EXPECT_EQ(layout.start, c.start);
        EXPECT_EQ(layout.sectorsPerFat, c.sectorsPerFat);
        EXPECT_EQ(layout.root, c.root);
        // A FAT32 volume reaches as far as FATs filling its room name clusters, past a cut.
        if (c.fsCode == kFsFat32) {
            EXPECT_GE(layout.roomClusters, 0xFFF4u);
        }
        // The guessed reserved sector, two FATs and root region end at the data area.
        const u64 rootSectors = c.fsCode == kFsFat16 ? c.root : 0;
        EXPECT_EQ(layout.start + 1 + 2 * u64(layout.sectorsPerFat) + rootSectors, c.dataStart);
    }
}

// A 2 GiB FAT32 volume of 1 KiB clusters (FATs of 16,258 sectors from sector 32, data at 32,548)
// formatted over with 16 KiB clusters (FATs of 1,024 sectors, data at 2,080): the older volume's
// folders agree on its layout, inside the newer volume, and its second FAT copy stands.
TEST(FatCandidateRules, AVolumeFormattedOverIsFoundFromItsFoldersAndItsOwnFats) {
    constexpr u64 kDevice = 4194304;
    constexpr u64 kOldData = 32548;
    const struct {
        const char* what;
        bool newerBoot;         // the newer volume's boot sector stands
        u64 dataStart;          // where the folders put the data area
        u32 spc;
        std::vector<u64> fats;  // FAT copy starts seen
        bool made;
        u32 fsCode;
        u32 perFat;
        u32 flagsSet, flagsClear;
    } rows[] = {
        {"its FAT32 pair past a pair that reads as FAT16, the first copy the newer volume's", true, kOldData, 2,
         {32, 1056, 16290}, true, kFsFat32, 16258, kFatFlagFat1Seen | kFatFlagFat2Seen | kFatFlagFat2Usable,
         kFatFlagFat1Usable},
        {"no newer volume: both copies its own", false, kOldData, 2, {32, 1056, 16290}, true, kFsFat32, 16258,
         kFatFlagFat1Usable | kFatFlagFat2Usable, 0},
        {"the layout of the volume over it is that volume", true, 2080, 32, {32, 1056}, false, 0, 0, 0, 0},
        {"no pair whose type holds its clusters: the layout alone", true, kOldData, 2, {1056, 16290}, true, kFsFat32,
         0, kFatFlagFromDirectory, kFatFlagFat1Seen | kFatFlagFat2Seen},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        std::vector<FatFolderStart> folders;
        for (u32 cluster = 3; cluster < 11; ++cluster) {
            folders.push_back({row.dataStart + (cluster - 2) * row.spc, cluster, 2});
        }
        std::vector<std::unique_ptr<CFATSearchedPartitionInfo>> existing;
        if (row.newerBoot) {
            existing.emplace_back(CreateFATSearchedPartitionInfo(512));
            CFATSearchedPartitionInfo& newer = *existing.back();
            newer.SetFileSystemCode(kFsFat32);
            newer.SetPartitionStart(0);
            newer.SetTotalSectors(kDevice);
            newer.SetReservedSectors(32);
            newer.SetSectorsPerFat(1024);
            newer.SetSectorsPerCluster(32);
            newer.SetFirstDataSector(2080);
            newer.SetFlags(kFatFlagBootFat32 | kFatFlagFat1Seen | kFatFlagFat2Seen);
        }
        const auto made = MakeFatDirectoryCandidates(folders, row.fats, {}, existing, kDevice, 512);
        const auto it = std::find_if(made.begin(), made.end(), [&](const auto& c) {
            return c->GetFirstDataSector() == row.dataStart && c->GetSectorsPerCluster() == row.spc;
        });
        ASSERT_EQ(it != made.end(), row.made);
        if (!row.made) continue;
        const CFATSearchedPartitionInfo& c = **it;
        EXPECT_EQ(c.GetFileSystemCode(), row.fsCode);
        if (row.perFat != 0) {
            EXPECT_EQ(c.GetSectorsPerFat(), row.perFat);
            EXPECT_EQ(c.GetPartitionStart(), 0u);
        }
        EXPECT_EQ(c.GetFlags() & row.flagsSet, row.flagsSet);
        EXPECT_EQ(c.GetFlags() & row.flagsClear, 0u);
    }
}

// exfat-basic with its main and backup boot regions zeroed: the search finds the volume from its
// root directory's block where the intact boot sector puts the heap.
TEST(ExFatBlockFinder, FindsAVolumeWhoseBootRegionsAreGone) {
    std::vector<u8> bytes = testutil::ReadFileBytes(testutil::FixturePath("exfat-basic.img"));
    ASSERT_GT(bytes.size(), 512u);
    const u64 heap = ReadLE32(bytes.data() + 88);
    const u32 spc = 1u << bytes[109];
    const u32 root = ReadLE32(bytes.data() + 96);
    const u64 fatOffset = ReadLE32(bytes.data() + 80);
    std::memset(bytes.data(), 0, 24 * 512);
    testutil::MemoryDevice device(std::move(bytes), 512);

    CExFatCompleteSearch search;
    search.SetDevice(&device);
    search.SetBlockSectorCount(2048);
    search.BeginSearch();
    for (u64 first = 0; first < device.GetTotalSectors(); first += 2048) search.SearchBlock(first, 2048);
    search.EndSearch();

    size_t roots = 0;
    for (const ExFatDirectoryBlock& b : search.GetDirectoryBlocks()) {
        if (!b.IsRoot()) continue;
        ++roots;
        EXPECT_EQ(b.firstSector, heap + u64(root - 2) * spc);
        EXPECT_EQ(b.RootEntries().label, u"FIX EXFAT");
    }
    EXPECT_EQ(roots, 1u);
    ASSERT_EQ(search.GetCandidates().size(), 1u);
    const CExFatSearchedPartitionInfo& c = *search.GetCandidates().front();
    EXPECT_EQ(c.GetFlags() & kExFatFlagFromDirectoryBlocks, kExFatFlagFromDirectoryBlocks);
    EXPECT_EQ(c.GetFlags() & kExFatFlagFatSeen, kExFatFlagFatSeen);
    EXPECT_EQ(c.GetHeapStart(), heap);
    EXPECT_EQ(c.GetSectorsPerCluster(), spc);
    // The stand-in boot sector names the FAT where the volume has it and the root cluster.
    const CExFatBootSector boot(c.GetBoot().data());
    EXPECT_EQ(c.GetPartitionStart() + boot.GetFatOffset(), fatOffset);
    EXPECT_EQ(boot.GetRootCluster(), root);
    EXPECT_GT(c.GetEvidenceCount(), 1u);
}

}  // namespace

namespace {
// A file node of the tree with FAT properties, runs {start, length} in clusters from cluster 2.
CFileNode* FileWithRuns(bool deleted, std::vector<std::pair<u64, u64>> runs, bool folder = false) {
    CFATFileProperties* p = NewFATFileProperties();
    if (folder) p->SetAttributes(u16(p->GetAttributes() | kAttrDirectory));
    if (deleted) p->SetState(kStateDeleted);
    auto* list = new CFATDataRunList;
    for (const auto& [start, length] : runs) list->AppendExtent(start, length);
    p->SetDataRunList(list);
    CFileNode* node = CreateFileNode().release();
    node->SetFileProperties(p);
    return node;
}
}  // namespace

// The lost-file pass of a FAT or exFAT tree takes only the found files that begin in a cluster no
// live file of the tree uses; deleted files and folders leave their clusters free.
TEST(FatCandidateRules, LiveFilesOfATreeMarkTheirClustersUsed) {
    CFileSystemNode* root = CreateFileSystemNode().release();
    CFileNode* folder = FileWithRuns(false, {{100, 4}}, true);
    root->AddChild(folder);
    folder->AddChild(FileWithRuns(false, {{10, 3}, {40, 2}}));
    folder->AddChild(FileWithRuns(false, {{12, 5}}));
    root->AddChild(FileWithRuns(true, {{20, 2}}));
    const std::vector<ClusterExtent> used = LiveFileClusters(root);
    struct Case {
        u64 index;
        bool used;
    };
    for (const Case c : {Case{9, false}, Case{10, true}, Case{16, true}, Case{17, false}, Case{20, false},
                         Case{40, true}, Case{41, true}, Case{42, false}, Case{100, false}}) {
        EXPECT_EQ(IsClusterInExtents(used, c.index), c.used) << c.index;
    }
    // A node frees itself alone: the whole tree, leaves first.
    std::vector<CFileNode*> nodes{root};
    for (size_t i = 0; i < nodes.size(); ++i) {
        for (CFileNode* child = nodes[i]->GetFirstChild(); child != nullptr; child = child->GetNextSibling()) {
            nodes.push_back(child);
        }
    }
    for (auto it = nodes.rbegin(); it != nodes.rend(); ++it) DestroyTreeNode(*it);
}

// Every file entry a deep search meets books where its name says a file of its type starts; a
// file the signature search found there with that type is evidence for the candidate.
TEST(FatCandidateRules, TypeHintsPointAtTheFilesTheirNamesDescribe) {
    struct Case {
        const char* image;
        bool exfat;
    };
    for (const Case& t : {Case{"fat16-basic", false}, Case{"fat32-basic", false}, Case{"exfat-basic", true}}) {
        SCOPED_TRACE(t.image);
        testutil::Json manifest;
        ASSERT_TRUE(testutil::ReadJsonFile(testutil::FixturePath(std::string(t.image) + ".json"), manifest));
        std::set<u64> fileStarts;
        for (const testutil::Json& f : manifest["files"].items) fileStarts.insert(u64(f["byte_offset"].number) / 512);
        testutil::MemoryDevice device(testutil::ReadFileBytes(testutil::FixturePath(std::string(t.image) + ".img")), 512);

        std::unique_ptr<CFatFamilyCompleteSearch> search;
        if (t.exfat) {
            search = std::make_unique<CExFatCompleteSearch>();
        } else {
            search = std::make_unique<CFatCompleteSearch>();
        }
        search->SetDevice(&device);
        search->BeginSearch();
        search->SearchBlock(0, device.GetTotalSectors());
        search->EndSearch();
        std::vector<CSearchedPartitionInfo*> candidates;
        search->GetSearchedPartitions(candidates);
        ASSERT_EQ(candidates.size(), 1u);
        CSearchedPartitionInfo& c = *candidates.front();
        u64 dataStart = 0;
        if (t.exfat) {
            dataStart = static_cast<CExFatSearchedPartitionInfo&>(c).GetHeapStart();
        } else {
            dataStart = static_cast<CFATSearchedPartitionInfo&>(c).GetFirstDataSector();
        }

        const std::vector<CFileTypeHint>& hints = search->GetTypeHints().GetHints();
        ASSERT_GE(hints.size(), 5u);
        size_t onAFile = 0;
        for (const CFileTypeHint& h : hints) onAFile += fileStarts.count(dataStart + h.GetFirstCluster() * c.GetSectorsPerCluster());
        // Deleted entries whose clusters were taken again point elsewhere; the rest hit.
        EXPECT_GE(onAFile * 10, hints.size() * 9);

        // One found file at a hint's cluster with its type, and one with another type.
        CRawFileInfoPool pool;
        const CFileTypeHint& first = hints.front();
        auto match = std::make_unique<CRawFileInfo>();
        match->startSector = dataStart + first.GetFirstCluster() * c.GetSectorsPerCluster();
        match->fileType = first.GetFileType();
        pool.Add(std::move(match));
        const CFileTypeHint& second = hints[1];
        auto other = std::make_unique<CRawFileInfo>();
        other->startSector = dataStart + second.GetFirstCluster() * c.GetSectorsPerCluster();
        other->fileType = second.GetFileType() + 1;
        pool.Add(std::move(other));
        const u64 before = c.GetRawTypeMatches();
        CountTypeMatches(search->GetTypeHints(), pool, c, dataStart);
        EXPECT_GE(c.GetRawTypeMatches(), before + 1);
        EXPECT_LE(c.GetRawTypeMatches(), before + 1 + (hints.size() - 2));
    }
}
