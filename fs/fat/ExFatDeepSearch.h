#pragma once
// The exFAT deep search of the complete scan. It looks at every sector once and keeps the exFAT
// boot sectors (main, or the backup twelve sectors on) and the sectors that begin with a file
// entry set. The boot sectors become candidates, confirmed by the FAT where the boot sector puts
// it and voted for by the entry sets that begin clusters of their heap. Volumes whose boot regions
// are both gone are found from their directory blocks (see ExFatBlockFinder.h and
// ExFatBlockRules.h) and walked through a stand-in boot sector. Each directory block then goes to
// the volume whose layout it fits best (see ExFatBlockOwners.h), and a chosen volume's tree is
// built from the blocks it owns (see ExFatBlockTree.h); a block no folder holds hangs under "Lost
// Folders". A volume without its own boot region and FAT follows chains only through a FAT that
// holds the chains its folders call for (see ExFatChainTally.h). While the block loop runs, every
// complete entry set is shown at once below the provisional exFAT tree.
#include <array>
#include <functional>
#include <map>
#include <memory>
#include <utility>
#include <vector>

#include "engine/CandidateLooks.h"
#include "engine/SearchedPartitionInfo.h"
#include "fs/fat/ExFatBlockFinder.h"
#include "fs/fat/ExFatBlockOwners.h"
#include "fs/fat/ExFatBlockRules.h"
#include "fs/fat/FatFamilyDeepSearch.h"

class CExFatPartition;
class CExFatQuickSearch;
class CFileSystemNode;

constexpr u32 kExFatFlagBoot = 0x1;
constexpr u32 kExFatFlagBackupBoot = 0x2;
constexpr u32 kExFatFlagFatSeen = 0x4;
constexpr u32 kExFatFlagSecondFatSeen = 0x8;
constexpr u32 kExFatFlagFromEntrySets = 0x10;
// Made from a root directory's block, without a boot sector.
constexpr u32 kExFatFlagFromDirectoryBlocks = 0x20;
// Found from folders below the root: the root directory's cluster is not known.
constexpr u32 kExFatFlagRootUnknown = 0x40;

// The weight of a candidate's own structures: both boot sectors 50, one 45, none 10; the same
// again for its FAT copies.
u64 ExFatCandidateScore(u32 flags);

// A boot sector that places a volume found from its directories: the FAT at `fatSector` (none
// when 0: the stand-in then points at one sector before the heap, and the walk must not use it),
// the heap at `volume.heapStart`. The volume starts 24 sectors (both boot regions) before its
// FAT and ends with its heap, at `limit` at the latest; `volumeLength` is the part of it the device
// holds. False when no such volume fits.
bool MakeExFatStandInBoot(const ExFatInferredVolume& volume, u64 fatSector, u32 fatLength, u32 sectorSize, u64 limit,
                          u64 deviceSectors, std::array<u8, 512>& boot, u64& volumeStart, u64& volumeLength);

// An exFAT partition candidate: the base record, then the boot sector it was made from (512
// bytes) and its flags.
class CExFatSearchedPartitionInfo : public CSearchedPartitionInfo {
public:
    static constexpr u32 kBootBytes = 512;

    explicit CExFatSearchedPartitionInfo(u32 sectorSize) : CSearchedPartitionInfo(sectorSize) {}
    u32 GetKind() override { return 4; }
    // Both go to the search that made the candidate; 0 without one.
    u32 TestFileNode(CFileNode* node) override;
    u32 ApplyToFileNode(CFileNode* node) override;
    void Save(IRSData* stream) override;
    void Load(IRSData* stream) override;

    const std::array<u8, kBootBytes>& GetBoot() const { return m_boot; }
    void SetBoot(const u8* bytes);
    u32 GetFlags() const { return m_flags; }
    void SetFlags(u32 flags) { m_flags = flags; }
    u64 GetHeapStart() const;  // device sector of cluster 2
    u64 GetClusterAreaStart() const override { return GetHeapStart(); }

private:
    std::array<u8, kBootBytes> m_boot{};
    u32 m_flags = 0;
};

// A boot sector seen during the block loop.
struct ExFatBootSighting {
    u64 sector = 0;
    std::array<u8, CExFatSearchedPartitionInfo::kBootBytes> bytes{};
};

// The sectors a file of a volume found from its folders covers, as far as its entry tells.
struct ExFatFileSpan {
    u64 first = 0;
    u64 end = 0;
    u64 bytes = 0;     // the file's length
    u64 listedAt = 0;  // the first sector of the folder block that lists it
};

// Whether the candidate's boot sector (main or backup) and its FAT were both seen where it says.
bool IsCheckedBootVolume(const CExFatSearchedPartitionInfo& candidate);

// Whether the sector begins with a file entry set, in use or deleted: a file entry, its stream
// extension and a first name entry.
bool IsExFatEntrySetStart(const u8* sector);

// The sightings the deep search keeps at the most, by kind; a device full of look-alike sectors
// stops adding more, and the log says how many were turned away.
enum ExFatSightingKind : size_t { kExFatBootSightings, kExFatFatStarts, kExFatUpcaseStarts, kExFatSetStarts, kExFatSightingKinds };

class CExFatCompleteSearch : public CFatFamilyCompleteSearch {
public:
    static constexpr size_t kMaxBootSightings = 1u << 16;
    static constexpr size_t kMaxSetStarts = 1u << 20;
    // What the folder blocks kept may cost, by the time their volume's tree is built, at the
    // most: with the device buffers and the rest of the scan it stays below 4 GB. A volume of
    // two million one-file folders fits; a device with more folder data (or full of look-alike
    // folders) keeps what came first, counts the blocks it drops and says so in the log.
    static constexpr u64 kFolderDataBudget = u64(3) << 30;
    // The estimated cost of a kept block (the block, its piece of the tree build and its place
    // in the layout search), of each of its sets (its extent, its copy in the tree build, its
    // node and properties), of each UTF-16 unit of their names (two UTF-8 copies), and of a
    // joined cut set. Measured costs are about two thirds of these.
    static constexpr u64 kBlockWeight = 384;
    static constexpr u64 kSetWeight = 512;
    static constexpr u64 kNameUnitWeight = 8;
    static constexpr u64 kCutLinkWeight = 256;
    static constexpr size_t kMaxTableStarts = 1u << 16;
    // Files of a block whose last sector is read to weigh a layout, at the most, and sectors read
    // to weigh layouts by their files in one search: a disk of many lost folders is weighed by
    // their entries alone past them.
    static constexpr u32 kTailFilesRead = 8;
    static constexpr u64 kMaxLayoutReads = 1u << 14;
    // The name of a volume's tree inside another's: "EXFAT at sector N, B-byte clusters", or,
    // where its start is not known, "EXFAT at an unknown sector, heap at sector N, B-byte clusters".
    static constexpr size_t kGuestNameBytes = 96;

    CExFatCompleteSearch();
    ~CExFatCompleteSearch() override;

    void GetSearchedPartitions(std::vector<CSearchedPartitionInfo*>& out) override;
    void BeginSearch() override;
    void EndSearch() override;
    u32 BuildFileSystemTrees(std::vector<CSearchedPartitionInfo*>& chosen) override;
    // The exFAT search keeps no state in a saved result.
    u32 SaveState(IRSData*) override { return 1; }
    u32 LoadState(IRSData*) override { return 1; }
    u32 GetKind() override { return 4; }
    // While the block loop runs, a found file gets one extent from its first cluster as long as
    // its size needs in the candidate's clusters (a live one whose FAT chain orders its clusters:
    // its first cluster alone). Answers 1; once the search has ended nothing changes.
    u32 ApplyToFileNode(CFileNode* node, CSearchedPartitionInfo* candidate) override;

    void ClassifySector(u64 sector, const u8* bytes) override;

    const std::vector<ExFatBootSighting>& GetBootSightings() const { return m_boots; }
    const std::vector<u64>& GetSetStarts() const { return m_setStarts; }
    const std::vector<std::unique_ptr<CExFatSearchedPartitionInfo>>& GetCandidates() const { return m_candidates; }
    const std::vector<ExFatDirectoryBlock>& GetDirectoryBlocks() const { return m_dirBlocks; }
    // Folder blocks found once the budget was spent, whose entries the trees lack.
    u64 GetDroppedDirectoryBlocks() const { return m_droppedBlocks; }
    // A budget other than kFolderDataBudget for the searches that begin after it.
    void SetFolderDataBudget(u64 bytes) { m_budget = bytes; }
    // A cap other than the kind's own for the searches that begin after it.
    void SetSightingCap(ExFatSightingKind kind, size_t cap) { m_caps[kind] = cap; }
    // Sightings of the kind the cap turned away in the last search.
    u64 GetTurnedAway(ExFatSightingKind kind) const { return m_turnedAway[kind]; }

    bool IsHandingOutEntries() const { return m_handOut; }

private:
    bool FatStartAt(u64 sector);
    // Whether the first sector of the root cluster that the boot sector names (its volume at
    // `start`) lists the volume's allocation bitmap.
    bool RootListsBitmap(const ExFatBootSighting& boot, u64 start);
    // One candidate per volume start the boot sectors show, confirmed by a FAT where
    // `fatStartAt` answers for one or by the entry sets at cluster starts of its heap. Where the
    // cap turned set starts of its heap away, `confirmUnvoted` decides a volume without either.
    std::vector<std::unique_ptr<CExFatSearchedPartitionInfo>> MakeBootCandidates(
        const std::function<bool(u64)>& fatStartAt,
        const std::function<bool(const ExFatBootSighting&, u64 start)>& confirmUnvoted);
    // Keeps a sighting while its kind's cap allows; past it, counts the sighting turned away and
    // says so in the log the first time. False when turned away.
    bool MayKeep(ExFatSightingKind kind, size_t kept, u64 sector);
    void LogTurnedAway() const;
    void HandOutSet(const ExFatEntrySet& set);
    // Candidates of the volumes the directory blocks show, unless a boot sector made them.
    void AddDirectoryCandidates();
    // The FAT that a volume found from its directories has: the last FAT start before its heap
    // with room for the clusters, whose entries of the system clusters are in use; 0 when none.
    // A candidate walked through a stand-in boot sector, unless a known one has its layout;
    // `claimed` are the first sectors of the blocks the layout's finder placed.
    void AddInferredCandidate(const ExFatInferredVolume& volume, u32 extraFlags, std::vector<u64> claimed = {});
    u64 FindFatOf(const ExFatInferredVolume& volume, u32 fatLength);
    // The layouts of the candidates, as the owners of the folder blocks weigh them.
    std::vector<ExFatOwnerLayout> OwnerLayouts() const;
    // Gives each folder block to the candidate whose layout it fits best (see ExFatBlockOwners.h).
    // A candidate found from folders that owns no block with a file then gives nothing to
    // recover, its folders being other volumes' or empty: it goes, and the blocks are shared out
    // again until every one left owns some.
    void ShareOutBlocks();
    // Whether each candidate owns a folder block with a file (see ShareOutBlocks).
    std::vector<bool> CandidatesOwningFiles() const;
    // A volume that owns folders with files and overlaps a stronger one (formatted over it, or
    // it over that one; not one stored in a file of the other, which is that file's content) is
    // not offered by itself: its tree stands inside the stronger one's, where the scan shows it
    // whatever the choice among overlapping candidates.
    void SeatGuests();
    // Reads a sector to weigh a layout while the budget of such reads lasts.
    bool ReadForLayouts(u64 sector, std::vector<u8>& buffer);
    // How many of the block's files, read with the layout, end where their lengths say.
    u32 FileTailsFit(const ExFatDirectoryBlock& block, u64 heapStart, u64 sectorsPerCluster);
    // What the layout's own clusters confirm of it for a block of a lone folder: its allocation
    // bitmap marks the block's clusters, its files end where their lengths say, files found by
    // their signatures begin where its files do.
    u32 LayoutReadsConfirm(const ExFatDirectoryBlock& block, u64 heapStart, u64 sectorsPerCluster);
    // The sectors of the files the folders of the layout (heap start, sectors per cluster) list,
    // by first sector.
    std::vector<ExFatFileSpan> FileSpansOf(u64 heapStart, u64 sectorsPerCluster) const;
    // Whether the sectors [start, end) lie inside one of `files`: a volume stored there is that
    // file's content.
    bool LiesInFile(const std::vector<ExFatFileSpan>& files, u64 start, u64 end) const;
    // The tree of the candidate's volume, built from the folder blocks it owns; null when the
    // volume cannot be walked. The caller owns it.
    CFileSystemNode* BuildTreeOf(CExFatSearchedPartitionInfo* candidate);
    BitmapVerdict ProbeBitmap(u64 sector, const ExFatDirectoryBlock& root, u32 rootCluster);
    // Whether the FAT the candidate's boot sector (its own or a stand-in) places on `volume` is
    // the volume's own: one its boot region and FAT start confirm, or one that holds more of the
    // chains its folders call for than it breaks (see ExFatChainTally.h).
    bool FatIsTheVolumes(const CExFatSearchedPartitionInfo& candidate, IStorageDevice& volume);
    // Where the candidate's volume began, as its own boot region had it or as the volume formatted
    // over it at its start shows; false when that cannot be known.
    bool KnownStartOf(const CExFatSearchedPartitionInfo& candidate, u64& start) const;

    // Its lock guards the boot, FAT and entry-set sightings while the scan adds to them: a paused
    // preview reads them from another thread. It says whether the search has ended (read without
    // the lock by ApplyToFileNode) and keeps the copies looks get until then.
    CCandidateLooks<CExFatSearchedPartitionInfo> m_looks;
    std::vector<ExFatBootSighting> m_boots;
    std::vector<u64> m_setStarts;
    std::vector<std::unique_ptr<CExFatSearchedPartitionInfo>> m_candidates;
    ExFatBlockWalker m_walker;
    bool m_walkerReady = false;
    std::vector<ExFatDirectoryBlock> m_dirBlocks;
    std::vector<ExFatDirectoryBlock> m_overflowBlocks;  // finished past the budget, counted and dropped
    u64 m_droppedBlocks = 0;
    u64 m_budget = kFolderDataBudget;
    u64 m_spent = 0;           // of the budget, by the blocks and cut sets kept
    size_t m_linksCounted = 0;  // cut sets whose cost is in m_spent
    bool m_overBudget = false;
    // Walks a sector that may be folder data (null: one that ends the open block).
    void WalkFolderSector(u64 sector, const u8* bytes);
    // Adds the cost of the blocks and cut sets kept since the last call; once the budget is
    // spent the walker only counts blocks.
    void SpendOnNewBlocks(size_t keptBefore, u64 sector);
    std::vector<u64> m_upcaseStarts;
    std::vector<u64> m_fatStarts;
    // The candidate (its index in m_candidates) each folder block belongs to, by block; empty
    // until the search has ended.
    std::vector<u32> m_blockOwners;
    u64 m_layoutReadsLeft = 0;
    // The blocks the finder of each candidate found from folders placed, by candidate.
    std::map<const CExFatSearchedPartitionInfo*, std::vector<u64>> m_claimedBlocks;
    // The candidates whose trees stand inside the tree of a volume they overlap, and that volume.
    std::map<const CExFatSearchedPartitionInfo*, const CExFatSearchedPartitionInfo*> m_guestOf;
    std::array<size_t, kExFatSightingKinds> m_caps{kMaxBootSightings, kMaxTableStarts, kMaxTableStarts, kMaxSetStarts};
    std::array<u64, kExFatSightingKinds> m_turnedAway{};
    std::array<u64, kExFatSightingKinds> m_firstTurnedAway{};  // the sector of the first
    // Found entry sets go to the builder's provisional exFAT tree while the loop runs, until the
    // builder refuses one.
    bool m_handOut = true;
    bool m_sinkSet = false;
};

ICompleteFileSystemSearchController* CreateExFatCompleteSearch();
