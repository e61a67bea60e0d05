#pragma once
// The FAT deep search of the complete scan. It looks at every sector of the device once and
// keeps two kinds of sightings: FAT boot sectors (primary, or the FAT32 backup six sectors on)
// and folder starts (a "." entry followed by ".."). After the block loop the boot sectors become
// partition candidates, confirmed by the FAT copies where the boot sector puts them and voted for
// by the folder starts that lie where their cluster numbers say; the tree of a chosen candidate
// is walked from its root, and the folder starts no walk reached go under "Lost Folders".
#include <array>
#include <functional>
#include <map>
#include <memory>
#include <vector>

#include "engine/CandidateLooks.h"
#include "engine/FileNode.h"
#include "fs/fat/FatDirEntry.h"
#include "fs/fat/FatFamilyDeepSearch.h"
#include "fs/fat/FatQuickSearch.h"
#include "fs/fat/FatSearchedPartitionInfo.h"

// A boot sector seen during the block loop, with the fields the candidate needs.
struct FatBootSighting {
    u64 sector = 0;
    u32 fsCode = kFsUnknown;
    u32 sectorsPerCluster = 0;
    u16 reservedSectors = 0;
    u8 fatCount = 0;
    u32 sectorsPerFat = 0;
    u32 totalSectors = 0;
    u32 root = 0;  // FAT12/16: root-directory sectors; FAT32: root cluster
};

// A directory sector seen during the block loop: its sector, and the clusters of its "." and ".."
// entries; a sector that continues a folder (entries without "." and "..") has
// kFatContinuationCluster in both. Saved as 16 bytes.
constexpr u32 kFatContinuationCluster = 0xFFFFFFFFu;
struct FatFolderStart {
    u64 sector = 0;
    u32 cluster = 0;
    u32 parent = 0;

    bool IsContinuation() const { return cluster == kFatContinuationCluster; }
};

// Whether a boot sector, read as the one of a volume that starts at `start`, can be a volume's:
// its data area begins on the device, its cluster count lies in its type's range, its FAT holds
// that many clusters and, for FAT32, the root cluster lies among them. The counts are the boot
// sector's own (a volume the device ends inside, as in an image cut short, is still one), or
// those of the part of it the device holds.
bool FatBootMakesCandidate(const FatBootSighting& boot, u64 start, u64 deviceSectors, u32 sectorSize);
// The sectors of the volume before its data area (cluster 2).
u64 FatBootDataOffset(const FatBootSighting& boot);

// Which FAT copies a candidate may read, as the scan options allow them.
struct FatCopyUse {
    bool first = true;
    bool second = true;
};

// Whether the sector (at least 64 bytes) begins with the "." and ".." entries of a folder; their
// first clusters go to cluster and parent.
bool IsFatFolderStart(const u8* sector, u32& cluster, u32& parent);

// The weight of a candidate's own structures: its FAT copies and boot sectors, 20 to 100.
u64 CandidateScore(u32 fsCode, u32 flags);

// The candidates the sightings make: one per volume start, the FAT32 backup merged into its
// primary. `deviceSectors` bounds every candidate; `fatStartAt` answers whether a FAT copy begins
// at a device sector (null: no copy is confirmed).
// `folders` must be sorted by sector.
using FatStartTest = std::function<bool(u64 sector)>;
std::vector<std::unique_ptr<CFATSearchedPartitionInfo>> MakeFatCandidates(const std::vector<FatBootSighting>& boots,
                                                                          const std::vector<FatFolderStart>& folders,
                                                                          u64 deviceSectors, u32 sectorSize,
                                                                          const FatStartTest& fatStartAt,
                                                                          FatCopyUse use = {});

// Whether the device sectors `a` and `b` both read and hold the same bytes, not all zero.
using FatSectorsMatch = std::function<bool(u64 a, u64 b)>;

// Volumes whose boot sectors are gone, from the folder starts that agree on one cluster layout
// (at least two per layout) and the FAT copies and FAT32 information sector seen before their
// data area. Where the start of only one FAT32 copy is seen, the other copy's place is taken
// from the data area when `sectorsMatch` finds the copies' second sectors alike (null: never).
// Where no FAT copies are seen, the layout alone places the FATs and the root: the candidate
// then reads no FAT. Layouts inside one of `existing` are left out. All lists must be sorted.
std::vector<std::unique_ptr<CFATSearchedPartitionInfo>> MakeFatDirectoryCandidates(
    const std::vector<FatFolderStart>& folders, const std::vector<u64>& fatStarts, const std::vector<u64>& infoSectors,
    const std::vector<std::unique_ptr<CFATSearchedPartitionInfo>>& existing, u64 deviceSectors, u32 sectorSize,
    FatCopyUse use = {}, const FatSectorsMatch& sectorsMatch = nullptr);

// The layout of a volume whose data area begins at `dataStart` with `sectorsPerCluster`, from
// that alone: the FAT type the device's room gives it (or, on a device that ends before a FAT32
// volume could, the room before the data area when `fat16RootSeen` says no FAT16 root folder
// stands right before it), FATs just large enough, one reserved sector and, for FAT16, a root
// region of 16 KiB. False when no type fits.
struct FatGuessedLayout {
    u32 fsCode = kFsUnknown;
    u64 start = 0;
    u64 clusters = 0;
    u32 sectorsPerFat = 0;
    u32 root = 0;  // FAT16: root-region sectors; FAT32: root cluster
    u64 totalSectors = 0;
    // The most clusters the volume can have: FATs filling the room before the data area name
    // them (at least `clusters`, within the type's range).
    u64 roomClusters = 0;
};
bool GuessFatLayout(u64 dataStart, u32 sectorsPerCluster, u64 deviceSectors, u32 sectorSize, FatGuessedLayout& out,
                    bool fat16RootSeen = false);

// A boot sector that places the candidate's regions as it has them, for a volume whose own boot
// sectors are gone. `out` receives one sector of `sectorSize` bytes.
void MakeStandInBootSector(const CFATSearchedPartitionInfo& candidate, u32 sectorSize, std::vector<u8>& out);

// Besides keeping its sightings, the search shows the entries of every folder sector it meets at
// once: they go to the builder's provisional FAT tree while the block loop runs, so the user sees
// files before any volume is chosen. The trees of the chosen volumes are built afresh after the
// loop; the provisional tree goes when they replace it.
class CFatCompleteSearch : public CFatFamilyCompleteSearch, private CFatFolderAnalyzeCB {
public:
    // Sightings kept at the most; a device full of look-alike sectors stops adding more, and the
    // log says how many were turned away. A folder sector costs its 16-byte record (and a few
    // bytes more while the candidates are made): 2^23 of them, 128 MiB, hold every folder sector
    // of any real volume with room for look-alikes in files besides.
    static constexpr size_t kMaxBootSightings = 1u << 16;
    static constexpr size_t kMaxFolderStarts = 1u << 23;
    static constexpr size_t kMaxFatStarts = 1u << 16;
    // Folder sectors whose entries go to the provisional tree while the block loop runs.
    static constexpr size_t kMaxShownFolderSectors = 1u << 20;
    static constexpr u32 kFolderStartRecordBytes = 16;
    static constexpr u32 kFolderStartCountBytes = 4;
    static constexpr size_t kMaxTypeHints = 1u << 22;
    // Trace lines written for each kind of sector the block loop keeps (boot sectors, folders'
    // first and later sectors); the rest are counted in one line at the end.
    static constexpr u64 kMaxTracedSightings = 1024;
    // Added to the generation of a host volume's claims when its guests are weighed against them:
    // above any a walk gives.
    static constexpr u32 kHostGenerationStep = 4;
    // Room for the name of a volume standing in another's tree.
    static constexpr size_t kGuestNameBytes = 96;

    CFatCompleteSearch();
    ~CFatCompleteSearch() override;

    void GetSearchedPartitions(std::vector<CSearchedPartitionInfo*>& out) override;
    void BeginSearch() override;
    void EndSearch() override;
    u32 BuildFileSystemTrees(std::vector<CSearchedPartitionInfo*>& chosen) override;
    // The directory records: a u32 count, then 16 bytes each (sector, cluster, parent cluster).
    u32 SaveState(IRSData* stream) override;
    u32 LoadState(IRSData* stream) override;
    u32 GetKind() override { return 1; }
    // While the block loop runs, a found file (its id is its first cluster) gets the one extent
    // its size needs from there in the candidate's clusters, so that it can be read before the
    // trees are built. Answers 1; once the search has ended nothing changes.
    u32 ApplyToFileNode(CFileNode* node, CSearchedPartitionInfo* candidate) override;

    void ClassifySector(u64 sector, const u8* bytes) override;

    // Whether found entries still go to the builder: a refused one stops them for the rest of
    // the search.
    bool IsHandingOutEntries() const { return m_handOut; }

    const std::vector<FatBootSighting>& GetBootSightings() const { return m_boots; }
    const std::vector<FatFolderStart>& GetFolderStarts() const { return m_folders; }
    const std::vector<u64>& GetFatStarts() const { return m_fatStarts; }
    const std::vector<std::unique_ptr<CFATSearchedPartitionInfo>>& GetCandidates() const { return m_candidates; }

private:
    bool FatStartAt(u64 sector);
    bool SectorsMatch(u64 a, u64 b);
    // The candidates the sightings so far make, for a look at a found file while the block loop
    // is paused. The sightings' lock is held.
    std::vector<std::unique_ptr<CFATSearchedPartitionInfo>> MakeProvisionalCandidates();
    // Grows with every sighting: the copies a look gets are made again when it changes.
    u64 SightingCount() const { return m_boots.size() + m_folders.size() + m_fatStarts.size() + m_infoSectors.size(); }
    void AddFolderSighting(const FatFolderStart& folder);
    // Makes the nodes of a folder sector's entries (the folder analyser calls OnFolderEntry
    // for each) and hands them to the builder while hand-out is on, when the analyser judges
    // the sector as `expected` (a folder's first sector or a later one).
    void HandOutFolderSector(u64 sector, const u8* bytes, u32 expected);
    void OnFolderEntry(FolderSectorState& state, CFATDirEntry& entry, i32 longNameIndex, u32 entryIndex,
                       bool folderHasDots, u32 user) override;
    void HandOutSectorNodes();
    // What each cap bounds; the log names it by `what`.
    enum CapKind : size_t { kCapBoots, kCapFolders, kCapShown, kCapFatStarts, kCapInfoSectors, kCapHints, kCapCount };
    struct CapInfo {
        const char* what;
        size_t cap;
    };
    static const CapInfo kCaps[kCapCount];
    // Counts a sighting a cap turned away; the first one is said in the log at once, the count
    // when the search ends.
    void NoteTurnedAway(CapKind kind, u64 sector);
    void LogTurnedAway() const;
    // The trace lines of the sectors the block loop finds: boot sectors, folders' first sectors
    // and their later ones. A large disk holds millions of folder sectors: past the first lines of
    // each kind only a count is kept, said in one line when the search ends.
    enum TracedKind : size_t { kTracedBoot, kTracedFolderStart, kTracedFolderPart, kTracedCount };
    void TraceSighting(TracedKind kind, u64 sector);
    void LogUntraced() const;
    // Books what the short-name file entries of a folder sector say their data is.
    void BookTypeHints(u64 sector, const u8* bytes);
    // A volume found from its folders alone that overlaps a volume whose boot sector and FAT
    // stand was formatted before it, or over it and lost its boot sector since: it stands in
    // that volume's tree, read with its own layout, not as a volume of its own beside it (the
    // two cannot both be chosen, and the volume in use must be).
    void SeatGuests();
    struct BuiltTree {
        CFileSystemNode* root = nullptr;
        std::vector<FatVolumeClaim> claims;  // structures' in device sectors
        std::vector<u64> folderSectors;      // first sector of each folder cluster the walk read, sorted
        u64 dataStart = 0;                   // device sector of cluster 2
        u32 sectorsPerCluster = 0;
    };
    // A tree walked of the volume the candidate places (null when it cannot be built), with its
    // claims. The folder sightings `leftOut` answers true for are another volume's: this one does
    // not list them.
    BuiltTree BuildTreeOf(CFATSearchedPartitionInfo& c, const std::function<bool(const FatFolderStart&)>& leftOut);
    // Weighs the guests' files against the host's claims: whatever the host volume holds, live or
    // deleted, is newer than anything of a volume it was formatted over.
    void WeighGuests(const BuiltTree& host, const std::vector<BuiltTree>& guests, u64 hostStart) const;

    // Its lock guards the sightings and candidates below while the scan changes them: a paused
    // preview reads them from another thread. It says whether the search has ended (also read by
    // a paused preview placing a found file) and keeps the copies looks get until then.
    CCandidateLooks<CFATSearchedPartitionInfo> m_looks;
    std::vector<FatBootSighting> m_boots;
    std::vector<FatFolderStart> m_folders;
    std::vector<u64> m_fatStarts;
    std::vector<u64> m_infoSectors;  // FAT32 information sectors
    std::vector<std::unique_ptr<CFATSearchedPartitionInfo>> m_candidates;
    // Each guest volume (see SeatGuests) with the volume in whose tree it stands.
    std::map<const CFATSearchedPartitionInfo*, const CFATSearchedPartitionInfo*> m_guestOf;
    std::array<u64, kCapCount> m_turnedAway{};
    std::array<u64, kTracedCount> m_traced{};
    u64 m_shownFolderSectors = 0;
    // The scan options, taken when the search begins.
    bool m_bootTest = true;
    bool m_dateCheck = true;
    FatCopyUse m_copyUse;

    bool m_handOut = true;
    // The folder cluster that entries without "." and ".." are taken to lie in: the parent a
    // label entry names, or the folder whose first sector came last; unknown after a sector that
    // holds no entries.
    u32 m_currentParent = kFatContinuationCluster;
    // The sector being analysed and the nodes made of its entries.
    const u8* m_sectorBytes = nullptr;
    u64 m_sectorNumber = 0;
    std::vector<TreeNodePtr> m_sectorNodes;
};

ICompleteFileSystemSearchController* CreateFatCompleteSearch();
