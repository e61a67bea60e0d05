// The FAT deep search on the fixtures' images and on damaged copies of them: which sectors it
// takes for boot sectors and folder starts, the candidates it makes of them, and its saved state.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include "ImageDevice.h"
#include "TestUtil.h"
#include "TreeStubs.h"
#include "engine/RSData.h"
#include "fs/fat/ExFatDeepSearch.h"
#include "fs/fat/FatDBR.h"
#include "fs/fat/FatDeepSearch.h"
#include "platform/Log.h"

namespace {

using testutil::MemoryDevice;

constexpr u32 kSector = 512;

std::vector<u8> Image(const std::string& name) { return testutil::ReadFileBytes(testutil::FixturePath(name + ".img")); }

void ZeroSector(std::vector<u8>& image, u64 sector) {
    std::memset(image.data() + sector * kSector, 0, kSector);
}

// Runs the search's block loop over the whole device in blocks of `blockSectors`.
template <typename Search = CFatCompleteSearch>
std::unique_ptr<Search> Scan(IStorageDevice& device, u32 blockSectors = 2048, u64 folderBudget = 0,
                             size_t setStartCap = CExFatCompleteSearch::kMaxSetStarts) {
    auto search = std::make_unique<Search>();
    if constexpr (std::is_same_v<Search, CExFatCompleteSearch>) {
        if (folderBudget != 0) search->SetFolderDataBudget(folderBudget);
        search->SetSightingCap(kExFatSetStarts, setStartCap);
    }
    search->SetDevice(&device);
    search->SetBlockSectorCount(blockSectors);
    search->BeginSearch();
    const u64 total = device.GetTotalSectors();
    for (u64 first = 0; first < total; first += blockSectors) {
        search->SearchBlock(first, std::min<u64>(blockSectors, total - first));
    }
    search->EndSearch();
    return search;
}

constexpr u64 kGuessedStart = ~u64(0);

struct CandidateCase {
    const char* image;
    std::vector<u64> zeroed;  // sectors wiped in the copy
    u64 start;
    u32 fsCode;
    u32 flagsSet;
    u32 flagsClear;
    u64 cutAt = 0;  // the copy ends at this sector (an image cut short), else where the image does
};

TEST(FatDeepSearch, MakesOneCandidatePerVolumeFromWhatSurvives) {
    const CandidateCase cases[] = {
        {"fat16-basic", {}, 0, kFsFat16, kFatFlagBootFat16 | kFatFlagFat1Seen | kFatFlagFat2Seen | kFatFlagFromDirectory, 0},
        {"fat32-basic", {}, 0, kFsFat32,
         kFatFlagBootFat32 | kFatFlagBackupBootFat32 | kFatFlagFat1Seen | kFatFlagFat2Seen, 0},
        // Only the backup tells where the volume starts.
        {"fat32-basic", {0}, 0, kFsFat32, kFatFlagBackupBootFat32 | kFatFlagFat1Seen, kFatFlagBootFat32},
        {"lost-partition-wiped", {}, 51200, kFsFat16, kFatFlagBootFat16 | kFatFlagFat1Seen, 0},
        // No boot sector at all: the folders and FAT copies give the layout, the start is a guess.
        {"fat16-basic", {0}, kGuessedStart, kFsFat16, kFatFlagFromDirectory | kFatFlagFat1Seen | kFatFlagFat2Seen,
         kFatFlagBootFat16},
        {"fat32-basic", {0, 6}, 0, kFsFat32, kFatFlagFromDirectory | kFatFlagFat1Seen | kFatFlagFat2Seen,
         kFatFlagBootFat32 | kFatFlagBackupBootFat32},
        // Nor the first sector of one FAT copy: the other copy, where it lies, holds the chains.
        {"fat32-basic", {0, 6, 32}, 0, kFsFat32, kFatFlagFromDirectory | kFatFlagFat2Seen | kFatFlagFat2Usable,
         kFatFlagBootFat32 | kFatFlagFat1Seen | kFatFlagFat1Usable},
        {"fat32-basic", {0, 6, 662}, 0, kFsFat32, kFatFlagFromDirectory | kFatFlagFat1Seen | kFatFlagFat1Usable,
         kFatFlagBootFat32 | kFatFlagFat2Seen | kFatFlagFat2Usable},
        // Unless the other copy's next sector does not match: then neither is read.
        {"fat32-basic", {0, 6, 32, 663}, kGuessedStart, kFsFat32, kFatFlagFromDirectory,
         kFatFlagFat1Seen | kFatFlagFat2Seen | kFatFlagFat1Usable | kFatFlagFat2Usable},
        // An image cut short: the part of the volume it holds, too few clusters for FAT32 though
        // its boot sector or its FAT says FAT32; from its folders, the stand-in claims the rest.
        {"fat32-basic", {}, 0, kFsFat32, kFatFlagBootFat32 | kFatFlagBackupBootFat32 | kFatFlagFat1Seen, 0, 40000},
        {"fat32-basic", {0, 6}, 0, kFsFat32, kFatFlagFromDirectory | kFatFlagFat1Seen | kFatFlagFat2Seen,
         kFatFlagBootFat32, 40000},
    };
    for (const CandidateCase& c : cases) {
        SCOPED_TRACE(std::string(c.image) + (c.zeroed.empty() ? "" : " damaged") + (c.cutAt != 0 ? " cut" : ""));
        std::vector<u8> bytes = Image(c.image);
        for (u64 s : c.zeroed) ZeroSector(bytes, s);
        if (c.cutAt != 0) bytes.resize(c.cutAt * kSector);
        MemoryDevice device(std::move(bytes), kSector);
        const auto search = Scan(device);
        ASSERT_EQ(search->GetCandidates().size(), 1u);
        const CFATSearchedPartitionInfo& got = *search->GetCandidates().front();
        if (c.start != kGuessedStart) {
            EXPECT_EQ(got.GetPartitionStart(), c.start);
        }
        // The data area is where the intact volume has it.
        MemoryDevice intact(Image(c.image), kSector);
        const auto reference = Scan(intact);
        ASSERT_FALSE(reference->GetCandidates().empty());
        EXPECT_EQ(got.GetFirstDataSector(), reference->GetCandidates().front()->GetFirstDataSector());
        EXPECT_EQ(got.GetSectorsPerCluster(), reference->GetCandidates().front()->GetSectorsPerCluster());
        EXPECT_EQ(got.GetSectorsPerFat(), reference->GetCandidates().front()->GetSectorsPerFat());
        EXPECT_EQ(got.GetFileSystemCode(), c.fsCode);
        EXPECT_EQ(got.GetFlags() & c.flagsSet, c.flagsSet);
        EXPECT_EQ(got.GetFlags() & c.flagsClear, 0u);
        EXPECT_GT(got.GetEvidenceCount(), 0u);
        EXPECT_EQ(got.GetBootScore(), CandidateScore(got.GetFileSystemCode(), got.GetFlags()));
        EXPECT_LE(got.GetPartitionStart() + got.GetTotalSectors(), device.GetTotalSectors());
        if (c.cutAt != 0 && (got.GetFlags() & kFatFlagBootFat32) == 0) {
            std::vector<u8> boot;
            MakeStandInBootSector(got, kSector, boot);
            EXPECT_GT(CFATDBR(boot.data(), kSector).GetTotalSectors(), device.GetTotalSectors());
        }
    }
}

TEST(FatDeepSearch, StandInBootSectorPlacesTheRegionsOfItsCandidate) {
    for (const char* image : {"fat16-basic", "fat32-basic"}) {
        SCOPED_TRACE(image);
        MemoryDevice device(Image(image), kSector);
        const auto search = Scan(device);
        ASSERT_EQ(search->GetCandidates().size(), 1u);
        const CFATSearchedPartitionInfo& c = *search->GetCandidates().front();
        std::vector<u8> boot;
        MakeStandInBootSector(c, kSector, boot);
        const CFATDBR dbr(boot.data(), kSector);
        ASSERT_EQ(dbr.GetFATType(), c.GetFileSystemCode());
        EXPECT_EQ(CFATVolumeReader::DataAreaStart(c.GetPartitionStart(), dbr), c.GetFirstDataSector());
        EXPECT_EQ(dbr.GetTotalSectors(), c.GetTotalSectors());
        EXPECT_EQ(dbr.GetSectorsPerCluster(), c.GetSectorsPerCluster());
    }
}

TEST(FatDeepSearch, FindsNoVolumeWhereEveryFatStructureIsGone) {
    MemoryDevice device(Image("carve-mix"), kSector);
    EXPECT_TRUE(Scan(device)->GetCandidates().empty());
    EXPECT_TRUE(Scan<CExFatCompleteSearch>(device)->GetCandidates().empty());
}

struct ExFatCase {
    const char* image;
    std::vector<u64> zeroed;
    u64 start;
    u32 flagsSet;
    u32 flagsClear;
    // Of the folder data kept (0: the search's own); the blocks past it are counted, not kept.
    u64 folderBudget = 0;
    size_t setStartCap = CExFatCompleteSearch::kMaxSetStarts;
};

constexpr u64 kExFatBasicFatSector = 2048;

TEST(ExFatDeepSearch, MakesOneCandidateFromTheMainOrTheBackupBootSector) {
    const ExFatCase cases[] = {
        {"exfat-basic", {}, 0, kExFatFlagBoot | kExFatFlagBackupBoot | kExFatFlagFatSeen | kExFatFlagFromEntrySets, 0},
        {"exfat-basic", {0}, 0, kExFatFlagBackupBoot | kExFatFlagFatSeen | kExFatFlagFromEntrySets, kExFatFlagBoot},
        {"gpt-disk", {}, 43008, kExFatFlagBoot | kExFatFlagFatSeen, 0},
        // The first block spends it: the volume is still made from its boot sector and FAT.
        {"exfat-basic", {}, 0, kExFatFlagBoot | kExFatFlagBackupBoot | kExFatFlagFatSeen, 0, 1},
        // Its FAT's start is gone and its entry sets past the cap: its root directory confirms it.
        {"exfat-basic", {kExFatBasicFatSector}, 0, kExFatFlagBoot | kExFatFlagBackupBoot, kExFatFlagFatSeen, 0, 0},
    };
    for (const ExFatCase& c : cases) {
        SCOPED_TRACE(std::string(c.image) + (c.zeroed.empty() ? "" : " damaged"));
        std::vector<u8> bytes = Image(c.image);
        for (u64 s : c.zeroed) ZeroSector(bytes, s);
        MemoryDevice device(std::move(bytes), kSector);
        const auto search = Scan<CExFatCompleteSearch>(device, 333, c.folderBudget, c.setStartCap);
        EXPECT_EQ(search->GetTurnedAway(kExFatSetStarts) != 0, c.setStartCap == 0);
        if (c.setStartCap == 0) {
            const std::string log = testutil::ReadFileText(LogFilePath("MorvendaTrace.log"));
            EXPECT_NE(log.find("entry-set starts kept: " + std::to_string(search->GetTurnedAway(kExFatSetStarts)) +
                               " past the cap of 0 turned away"),
                      std::string::npos);
        }
        if (c.folderBudget != 0) {
            const auto unlimited = Scan<CExFatCompleteSearch>(device, 333);
            EXPECT_EQ(search->GetDirectoryBlocks().size(), 1u);
            EXPECT_GT(search->GetDroppedDirectoryBlocks(), 0u);
            EXPECT_EQ(search->GetDirectoryBlocks().size() + search->GetDroppedDirectoryBlocks(),
                      unlimited->GetDirectoryBlocks().size());
        } else {
            EXPECT_EQ(search->GetDroppedDirectoryBlocks(), 0u);
        }
        ASSERT_EQ(search->GetCandidates().size(), 1u);
        const CExFatSearchedPartitionInfo& got = *search->GetCandidates().front();
        EXPECT_EQ(got.GetPartitionStart(), c.start);
        EXPECT_EQ(got.GetFileSystemCode(), u32(kFsExFat));
        EXPECT_EQ(got.GetFlags() & c.flagsSet, c.flagsSet);
        EXPECT_EQ(got.GetFlags() & c.flagsClear, 0u);
        EXPECT_LE(got.GetPartitionStart() + got.GetTotalSectors(), device.GetTotalSectors());
        // Its votes: the entry sets kept that begin clusters of its heap.
        const u64 heap = got.GetHeapStart();
        const auto votes = std::count_if(search->GetSetStarts().begin(), search->GetSetStarts().end(), [&](u64 s) {
            return s >= heap && s < got.GetPartitionStart() + got.GetTotalSectors() && (s - heap) % got.GetSectorsPerCluster() == 0;
        });
        EXPECT_EQ(got.GetEvidenceCount(), u64(votes));
    }
}

TEST(FatDeepSearch, DropsABootSectorThatNothingConfirms) {
    // A copy of a boot sector inside a file: no FAT copy where it points, no folder in its area.
    // The device has room for the volume it describes, so the sector passes the boot-sector
    // checks.
    std::vector<u8> bytes = Image("fat16-basic");
    std::vector<u8> lone(bytes.size() + 8 * kSector, 0);
    std::memcpy(lone.data() + 8 * kSector, bytes.data(), kSector);
    MemoryDevice device(std::move(lone), kSector);
    const auto search = Scan(device);
    EXPECT_EQ(search->GetBootSightings().size(), 1u);
    EXPECT_TRUE(search->GetCandidates().empty());
}

TEST(FatDeepSearch, SeesTheSameSectorsWhateverTheBlockSize) {
    MemoryDevice device(Image("fat32-basic"), kSector);
    const auto whole = Scan(device, 4096);
    for (u32 block : {1u, 7u, 128u}) {
        SCOPED_TRACE(block);
        const auto split = Scan(device, block);
        ASSERT_EQ(split->GetFolderStarts().size(), whole->GetFolderStarts().size());
        ASSERT_EQ(split->GetBootSightings().size(), whole->GetBootSightings().size());
        for (size_t i = 0; i < whole->GetFolderStarts().size(); ++i) {
            EXPECT_EQ(split->GetFolderStarts()[i].sector, whole->GetFolderStarts()[i].sector);
        }
    }
}

TEST(FatDeepSearch, TellsFolderStartsFromLookAlikes) {
    struct Case {
        const char* name;
        const char* dot;
        const char* dotDot;
        u8 attributes;
        u32 cluster;
        u32 parent;
        bool folder;
    };
    const Case cases[] = {
        {"folder", ".          ", "..         ", 0x10, 5, 0, true},
        {"file entries", ".          ", "..         ", 0x20, 5, 0, false},
        {"dots out of order", "..         ", ".          ", 0x10, 5, 0, false},
        {"a folder whose \"..\" names itself", ".          ", "..         ", 0x10, 5, 5, true},
        {"cluster below the data area", ".          ", "..         ", 0x10, 1, 0, false},
        {"a name after the dot", ".A         ", "..         ", 0x10, 5, 0, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        u8 sector[kSector] = {};
        std::memcpy(sector, c.dot, 11);
        std::memcpy(sector + 32, c.dotDot, 11);
        sector[11] = sector[32 + 11] = c.attributes;
        sector[26] = u8(c.cluster);
        sector[20] = u8(c.cluster >> 16);
        sector[32 + 26] = u8(c.parent);
        u32 cluster = 0;
        u32 parent = 0;
        EXPECT_EQ(IsFatFolderStart(sector, cluster, parent), c.folder);
        if (c.folder) {
            EXPECT_EQ(cluster, c.cluster);
            EXPECT_EQ(parent, c.parent);
        }
    }
}

// The block loop writes a trace line for each boot sector and folder sector it keeps, in the
// words below, up to a cap per kind; past it one line at the end counts the rest.
TEST(FatDeepSearch, TracesTheSectorsItFindsUpToACapAndCountsTheRest) {
    testutil::TempDir state;
    testutil::EnvOverride stateHome("XDG_STATE_HOME", state.Path());
    SetLoggingEnabled(true);
    const auto traced = [](const std::string& log, const char* kind, u64 sector) {
        return log.find("Found a valid " + std::string(kind) + " at sector:" + std::to_string(sector) + "\n") !=
               std::string::npos;
    };
    MemoryDevice fixture(Image("fat32-basic"), kSector);
    const auto found = Scan(fixture);
    const std::string log = testutil::ReadFileText(LogFilePath("MorvendaTrace.log"));
    EXPECT_TRUE(traced(log, "DBR", 0) && traced(log, "DBR", 6));
    for (const auto& f : found->GetFolderStarts()) {
        EXPECT_TRUE(traced(log, f.IsContinuation() ? "part dir entry" : "first dir entry", f.sector)) << f.sector;
    }
    EXPECT_EQ(log.find("were not written to the log"), std::string::npos);

    // A device of folder sectors without "." and ".." (one file entry each), five past the cap.
    const u64 sectors = CFatCompleteSearch::kMaxTracedSightings + 5;
    std::vector<u8> bytes(sectors * kSector, 0);
    for (u64 s = 0; s < sectors; ++s) {
        std::memcpy(bytes.data() + s * kSector, "FILE    TXT\x20", 12);
        WriteLE16(bytes.data() + s * kSector + 26, 3);
        WriteLE32(bytes.data() + s * kSector + 28, 10);
    }
    MemoryDevice many(bytes, kSector);
    ASSERT_EQ(Scan(many)->GetFolderStarts().size(), sectors);
    const std::string after = testutil::ReadFileText(LogFilePath("MorvendaTrace.log")).substr(log.size());
    EXPECT_TRUE(traced(after, "part dir entry", CFatCompleteSearch::kMaxTracedSightings - 1));
    EXPECT_FALSE(traced(after, "part dir entry", sectors - 1));
    EXPECT_NE(after.find(", 0 boot sectors, 0 first folder sectors and 5 later folder sectors found were not written "
                         "to the log"),
              std::string::npos);
}

MGUID StateSection() { return MGUID{0x0FA7D5EEu, 1, 2, {3, 4, 5, 6, 7, 8, 9, 10}}; }

// Writes a search's state as the state section of a new result file.
template <class Search>
bool WriteState(const std::string& path, Search& search) {
    CRSData w(1);
    if (!w.Open(path.c_str(), 1) || !w.WriteHeader(MakeScanResultHeader(1))) return false;
    w.BeginSection(StateSection());
    const bool saved = search.SaveState(&w) == 1u;
    w.EndSection();
    w.Close();
    return saved;
}

// Opens a result file at its state section.
bool OpenState(CRSData& r, const std::string& path) {
    ScanResultHeader h;
    return r.Open(path.c_str(), 0) && r.ReadHeader(h) && r.BeginSection(StateSection());
}

TEST(FatDeepSearch, SavedStateRoundTripsAndADamagedOneChangesNothing) {
    MemoryDevice device(Image("fat16-basic"), kSector);
    const auto search = Scan(device);
    ASSERT_FALSE(search->GetFolderStarts().empty());
    // Folder starts and the sectors that continue a folder are both kept.
    const auto& records = search->GetFolderStarts();
    EXPECT_TRUE(std::any_of(records.begin(), records.end(), [](const auto& f) { return f.IsContinuation(); }));
    EXPECT_TRUE(std::any_of(records.begin(), records.end(), [](const auto& f) { return !f.IsContinuation(); }));
    testutil::TempDir dir;
    const std::string path = dir.File("state.rsf");
    ASSERT_TRUE(WriteState(path, *search));
    CFatCompleteSearch loaded;
    {
        CRSData r(0);
        ASSERT_TRUE(OpenState(r, path));
        EXPECT_EQ(r.GetSectionLength(), CFatCompleteSearch::kFolderStartCountBytes +
                                            CFatCompleteSearch::kFolderStartRecordBytes * search->GetFolderStarts().size());
        EXPECT_EQ(loaded.LoadState(&r), 1u);
    }
    ASSERT_EQ(loaded.GetFolderStarts().size(), search->GetFolderStarts().size());
    for (size_t i = 0; i < loaded.GetFolderStarts().size(); ++i) {
        EXPECT_EQ(loaded.GetFolderStarts()[i].sector, search->GetFolderStarts()[i].sector);
        EXPECT_EQ(loaded.GetFolderStarts()[i].cluster, search->GetFolderStarts()[i].cluster);
        EXPECT_EQ(loaded.GetFolderStarts()[i].parent, search->GetFolderStarts()[i].parent);
    }

    // A count larger than the records that follow: the stream ends, the loaded state stays.
    const std::string bad = dir.File("bad.rsf");
    {
        CRSData w(1);
        ASSERT_TRUE(w.Open(bad.c_str(), 1));
        ASSERT_TRUE(w.WriteHeader(MakeScanResultHeader(1)));
        w.BeginSection(StateSection());
        w.WriteU32(0xFFFFFFFFu);
        w.WriteU64(7);
        w.EndSection();
        w.Close();
    }
    CRSData r(0);
    ASSERT_TRUE(OpenState(r, bad));
    EXPECT_THROW(loaded.LoadState(&r), IRSException);
    EXPECT_EQ(loaded.GetFolderStarts().size(), search->GetFolderStarts().size());
}

TEST(ExFatDeepSearch, SavedStateRoundTrips) {
    // The exFAT search keeps nothing in a saved result: its section is empty and reading it
    // takes nothing from the stream.
    MemoryDevice device(Image("exfat-basic"), kSector);
    const auto search = Scan<CExFatCompleteSearch>(device);
    ASSERT_FALSE(search->GetSetStarts().empty());
    testutil::TempDir dir;
    const std::string path = dir.File("state.rsf");
    ASSERT_TRUE(WriteState(path, *search));
    CExFatCompleteSearch loaded;
    CRSData r(0);
    ASSERT_TRUE(OpenState(r, path));
    EXPECT_EQ(r.GetSectionLength(), 0u);
    EXPECT_EQ(loaded.LoadState(&r), 1u);
}

}  // namespace

namespace {

// A builder that refuses every tree: what a refused tree held must go with it (the sanitizer
// build's leak check sees anything left behind).
template <typename Search>
void RefusedTreesLeaveNothing(const char* image) {
    SCOPED_TRACE(image);
    MemoryDevice device(Image(image), kSector);
    const auto search = Scan<Search>(device);
    ASSERT_FALSE(search->GetCandidates().empty());
    testutil::NullTreeBuilder refusing;
    search->SetDirectoryTreeBuilder(&refusing);
    std::vector<CSearchedPartitionInfo*> chosen;
    for (const auto& c : search->GetCandidates()) chosen.push_back(c.get());
    EXPECT_EQ(search->BuildFileSystemTrees(chosen), 0u);
}

}  // namespace

TEST(FatFamilyDeepSearch, ATreeTheBuilderRefusesGoesWithEverythingBelowItsRoot) {
    RefusedTreesLeaveNothing<CFatCompleteSearch>("fat32-basic");
    RefusedTreesLeaveNothing<CFatCompleteSearch>("fat16-basic");
    RefusedTreesLeaveNothing<CExFatCompleteSearch>("exfat-basic");
}
