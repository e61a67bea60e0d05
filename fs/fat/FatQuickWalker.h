#pragma once
// The walk of a FAT volume's folders that both scans run: the deleted-file scan hands what it finds
// to the tree builder as it goes, the complete scan keeps the whole tree and places the folder
// starts no walk reached. Private to the FAT searches.
#include <deque>
#include <list>
#include <map>
#include <memory>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "engine/ClusterClaims.h"
#include "engine/FileNode.h"
#include "engine/FileSystemNode.h"
#include "engine/Progress.h"
#include "fs/fat/FatDBR.h"
#include "fs/fat/FatFileProperties.h"
#include "fs/fat/FatFolderPlacement.h"
#include "fs/fat/FatQuickSearch.h"
#include "fs/fat/FatRevise.h"
#include "fs/fat/FatReviseLook.h"
#include "fs/fat/FatTable.h"

class IDirecotryTreeBuilder;
class IRawFileAnalyser;
class IStorageDevice;

namespace fatwalk {

constexpr u32 kRunStopped = 2;

// The cluster a folder's ".." names when its first sector does not begin with "." and "..".
constexpr u64 kNoHome = ~0ULL;

// The zeros met in one folder's entries, sector by sector of the volume.
struct ZeroRun {
    bool open = false;        // the last entry read was zeros
    u64 first = 0;            // the sector the open run began in
    u64 last = 0;             // the sector of its last zeros so far
    bool listedAfter = false;  // a valid entry followed zeros
};

// One folder's walk: what the revise pass and the recycle-bin pairing gather across its pieces.
struct FolderContext {
    CFileNode* folder = nullptr;
    std::vector<CFileNode*> referenceFiles;    // deleted files of the tree, and live reference nodes
    std::vector<CFileNode*> referenceFolders;  // deleted folders of the tree, and live reference nodes
    std::vector<TreeNodePtr> ownedReferences;  // live reference nodes, freed after the pass
    std::list<CFileNode*> recyclePending;
    // Files of a deleted or lost folder whose own entries are not marked deleted: a chain of the
    // FAT from such a file's first cluster may still be its own.
    std::unordered_set<const CFileNode*> unmarked;
    // A cluster no chain leads to is read strictly: its entries end at the first one that is no
    // entry or names a cluster outside the volume, for what follows is most likely other data.
    bool strict = false;
};

// What a folder's claim on the clusters of its entries weighs as.
struct FatFolderPieceAge {
    bool claims = false;  // false: no claim (a folder the search made)
    ClaimAge age;
};

// Clusters [first, first + count) a walk read as one folder's entries.
struct FatFolderPiece {
    u64 first = 0;
    u64 count = 0;
    FatFolderPieceAge age;
};

// A live file as a claim and a moved entry's match need it.
struct FatLiveFile {
    u32 first = 0;
    u32 size = 0;
    // The entry's creation and modification date and time as stored (date in the high half); 0
    // for a file of the tree, whose properties hold them.
    u32 created = 0;
    u32 modified = 0;
};

// The creation time of the "." entry that begins `entries`; 0 when they begin with none.
FILETIME64 CreationTimeOfDot(const u8* entries);

class CFATQuickWalker : private IFatFolderPlacementHost {
public:
    CFATQuickWalker(CFATQuickSearch& search, IStorageDevice* device, IProgress* progress, const CFATDBR& dbr,
                    IFATTable* fat);
    ~CFATQuickWalker() override;

    void Run();

private:
    // What the placement of folders by their ".." asks of the walk.
    CFileNode* FolderAt(u64 cluster) const override { return KnownFolder(cluster); }
    CFileNode* LostFolders() override { return LostFoldersNode(); }
    CFileNode* AddFolder(CFileNode* under, u64 cluster, u64 parentCluster) override;
    void WalkQueued() override { DrainQueue(); }
    std::vector<u64> TakeFound() override {
        std::vector<u64> found;
        found.swap(m_newFolders);
        return found;
    }
    void MoveFolder(CFileNode* folder, CFileNode* parent) override;
    bool Stopped() const override { return m_runState == kRunStopped; }

    bool Continue();
    void Report(u64 done);
    FileSystemNodePtr MakeRootNode();
    bool WalkFolderChain(CFileNode* folder, u64 firstCluster, bool dotsForbidden);
    void DrainQueue();
    void PlaceLostFolders();
    void PlaceLostClusters();
    CFileNode* LostFoldersNode();
    // The folder a ".." cluster names when a walk found it (the root for cluster 0 and for the
    // FAT32 root cluster); null when it was not found.
    CFileNode* KnownFolder(u64 cluster) const;
    // Reads the first sector of the folder at `cluster` into `sector`: false when it cannot be
    // read or does not begin with a "." that names the cluster and a "..".
    bool ReadFolderStart(u64 cluster, std::vector<u8>& sector) const;
    FILETIME64 DotCreationTime(u32 cluster) const;
    // The cluster of the folder that the ".." entry of the folder at `cluster` names, the root as
    // 0; kNoHome when the folder's first sector cannot be read or holds no "." and "..".
    u64 DotDotCluster(u64 cluster) const;
    // The same of a folder's first sector, read.
    u64 DotDotOf(const u8* folderStart) const;
    // How a ".." naming `home` names the folder at `parent`. Some tools write a moved folder's
    // ".." with the low word of its new parent's first cluster only: such a ".." names a folder
    // of its low word, but only where no folder has that cluster itself. The root is named by 0
    // alone.
    DotDotMatch MatchDotDot(u64 home, u64 parent) const;
    // The retry of higher words for the deleted FAT32 folders whose walk from their entry's
    // cluster failed or that look at the higher words (LooksAtHigherWords), all those the walk has
    // met so far at once: which folder start of its low word is each entry's own
    // (ChooseLowWordFolders), each walked from there. An entry that finds none while another
    // folder holds its cluster is that folder's duplicate (JudgeDuplicate). The folder starts no
    // entry takes go to the unclaimed folders of the deleted-file scan.
    void RetryHigherWords();
    // Adds to `starts` the folder starts at the higher words of `recorded` that no walk read and
    // no folder holds, each once (`seen` holds those found); false when the user stopped.
    bool FindLowWordStarts(u64 recorded, std::vector<FatLowWordCandidate>& starts, std::unordered_set<u64>& seen);
    // The deleted-file scan's place for the folders no entry could be told to name that no walk
    // reached: each under the folder its ".." names when a walk found it, else under "Lost
    // Folders", as a "DIR" folder.
    void PlaceUnclaimedFolders();
    // Places folders no walk reached (cluster -> the cluster its ".." names, kFatLostFoldersId
    // for none) as "DIR" folders under the folders their ".." names (see CFatFolderPlacement).
    void PlaceByDotDot(const std::map<u64, u64>& parentOf);
    // Makes `node`, which replaces the duplicate `old`, known wherever `old` was.
    void Supersede(CFileNode* old, CFileNode* node);
    // What the claim rules (JudgeClusterClaim) need of a folder.
    FatFolderClaim ClaimOf(CFileNode* folder) const;
    // Whether another folder holds the cluster the folder's entry names, and the rules say the
    // folder's own lies at a higher word of it rather than it being that one's duplicate.
    bool LooksAtHigherWords(CFileNode* folder) const;
    // The folder's entry names the cluster another folder has, and no higher word gave it a
    // folder of its own: the two entries are one folder's, and the comparison of duplicates
    // says which of them the folder keeps.
    void JudgeDuplicate(CFileNode* folder, u64 cluster);
    // Whether a folder found at a cluster another folder already holds takes its place.
    bool ChallengerWins(CFileNode* holder, CFileNode* challenger, const CFileNode* challengerPlace, u64 cluster);
    // Moves the children of `from` under `to`.
    static void MoveChildren(CFileNode* from, CFileNode* to);
    // Whether a walk read the cluster as a folder's, or a folder starting there is in the tree.
    bool IsReached(u64 cluster) const override {
        return m_dirClusters.count(cluster) != 0 || m_folders.count(cluster) != 0;
    }
    // Whether a folder sector seen on the device lies in the volume's clusters.
    bool HoldsFolderSightings() const;
    // Adds to m_stored the sectors of the found volumes (see FatWalkOptions) that one file of the
    // tree so far holds from their first sector to their last.
    void FindStoredVolumes();
    // Whether the cluster lies in a volume stored in a file; counts it when it does.
    bool LeftToStoredVolume(u64 cluster);
    // Finds the folder sightings no walk reached that lie in the clusters of a live file of the
    // tree (m_fileHeld): they are that file's content.
    void FindFileHeldSightings();
    // Whether the cluster is such a sighting's; counts it when it is.
    bool LeftToFile(u64 cluster);
    TreeNodePtr MakeLostFolderNode(const char* name, u64 cluster, u64 parentCluster);
    // A "DIR" folder for the folder starting at `cluster`, added under `under` and queued for its
    // walk; null when memory runs out.
    CFileNode* AddLostFolder(CFileNode* under, u64 cluster, u64 parentCluster);
    // A reference node of a live entry for the revise pass, owned by the context; null when
    // memory runs out.
    CFileNode* MakeReferenceNode(const u8* entries, u32 length, u64 cluster, FolderContext& ctx);
    i64 ParseFolderBuffer(const u8* buffer, u32 length, FolderContext& ctx);
    void BookFolder(CFileNode* node, FolderContext& ctx, bool& kept);
    // The deleted files of a folder just read: the revise pass places their first clusters.
    void JudgeDeletedFiles(FolderContext& ctx);
    void RevisePass(FolderContext& ctx);
    // Where the folder's own entries begin (a deleted folder found at a higher word: where it was
    // read); 0 when unknown.
    u64 FolderStart(CFileNode* folder) const;
    // Notes that the deleted file begins at `first` (its data taken in a row from there). Where
    // that is known well enough (`bounding`), the estimates of the files judged after it pass
    // over those clusters.
    void ClaimFirstClusters(CFATFileProperties* p, u64 first, bool bounding);
    // Once every folder was read: a deleted file placed where only its written bytes, its header
    // or the files on one side of it told, at a cluster another file the walk found later holds,
    // is counted incomplete where that file is not proven written before it.
    void CheckProvisionalFirstClusters();
    // Who claims clusters for a deleted file that begins at `first`.
    static u64 FileIdentity(CFATFileProperties* p, u64 first);
    // The runs [first, end) of the chain the FAT gives from `first` when it ends after exactly the
    // clusters a file of `size` bytes needs (that file's own chain, as a rule); empty otherwise.
    std::vector<std::pair<u64, u64>> ChainOfSize(u64 first, u64 size) const;
    // Every claim on the volume's clusters, once the walk has placed every folder and file: the
    // chains of both FAT copies, the live files and folders, the deleted ones with their times,
    // those of deleted and found folders below them. Those whose clusters a claim proven newer
    // holds are counted incomplete (see CClusterClaims). A deleted entry that is a live file's
    // old one (a move) reads that file's chain and shares its claim. Defined in
    // FatClusterClaims.cpp.
    void WeighClaims();
    // Without a FAT: counts incomplete every file whose guessed run reaches where a live file or
    // folder begins.
    template <class ForEachFile, class ForEachCluster, class IsLive>
    void FlagGuessesOverLiveStarts(const ForEachFile& forEachFile, const ForEachCluster& forEachCluster,
                                   const IsLive& isLive);
    // Notes a live file's entry that the deleted-file scan lists nowhere: its first cluster is
    // claimed, and a deleted entry a move left is told by it.
    void NoteLiveFile(const u8* entry);
    // Notes the clusters [first, first + count) a walk read as `folder`'s entries, with the age
    // its claim on them has (FolderClaimAge).
    void NoteFolderPiece(u64 first, u64 count, const FatFolderPieceAge& age);
    // How a folder's claim on the clusters of its entries weighs: null when it makes none (a
    // folder the search made, whose age nothing tells).
    FatFolderPieceAge FolderClaimAge(CFileNode* folder) const;
    // The live file (its index in m_liveFiles) whose move left the deleted entry: of the entry's
    // first cluster, or on FAT32 of its low word, size and times (the indexes hold the live files
    // by first cluster and by low word); kNoMatch for none.
    static constexpr u32 kNoMatch = ~0u;
    u32 MovedFrom(const CFATFileProperties& p, const std::vector<u32>& byFirst,
                  const std::vector<u32>& byLowWord) const;
    // Cluster runs the FAT copies give to chains, as [first, end).
    std::vector<std::pair<u64, u64>> ChainedClusterRuns();
    // Whether a chain of the FAT holds the cluster: no deleted file's data lies there any more. A
    // bad cluster is no file's; without a FAT nothing is known to be held.
    bool Taken(u64 cluster) const {
        if (m_fatless || !IsCluster(cluster)) return false;
        const u32 entry = m_fat->GetEntry(u32(cluster));
        return entry != 0 && entry != kFatBadCluster;
    }
    bool IsCluster(u64 cluster) const { return cluster >= 2 && cluster - 2 < m_clusterLimit; }
    // Inside the volume but past the device's end (an image of a card that failed there).
    bool PastDeviceEnd(u64 cluster) const {
        return cluster >= 2 && cluster - 2 >= m_clusterLimit && cluster - 2 < m_volumeClusterLimit;
    }
    // Follows the zeros amid a folder's entries over `length` bytes from device sector
    // `firstSector` on: zeros followed by a valid entry do not end the folder, and the log says
    // which sectors were passed over.
    void FollowZeros(ZeroRun& run, CFileNode* folder, u64 firstCluster, const u8* bytes, u64 length,
                     u64 firstSector);
    // "(root)" or the folder's name, for the log.
    static const char* FolderName(CFileNode* folder);
    // Says in the log that the folder entries `what` at `cluster`, past the device's end, cannot be
    // read; `where` names the folder and how it leads there.
    void TellPastDeviceEnd(const std::string& where, u64 cluster, const char* what) const;
    // The cluster after `cluster` in a folder's chain. Without a FAT a folder is taken to go on
    // into the next cluster while that one holds folder entries without "." and "..".
    u32 NextFolderCluster(u64 cluster) {
        if (!m_fatless) return m_fat->GetEntry(u32(cluster));
        const u64 next = cluster + 1;
        return m_continuations.count(next) != 0 && m_dirClusters.count(next) == 0 ? u32(next) : 0;
    }
    u64 ClusterSector(u64 cluster) const { return m_dataStart + (cluster - 2) * m_spc; }
    void Hand(CFileNode* node);
    void Enqueue(CFileNode* folder) {
        m_queue.push_back(folder);
        m_queued.insert(folder);
    }
    // A folder that gave way to a duplicate stays where it is until the walk ends: the queue, the
    // lists and its parent's children that still hold it pass over it, instead of each
    // replacement searching them all (a folder of many duplicates made that quadratic).
    void Discard(CFileNode* folder);
    bool IsDiscarded(CFileNode* node) const { return m_discarded.count(node) != 0; }
    // Unlinks the discarded folders, each parent's children in one pass, and frees them.
    void DropDiscarded();

    CFATQuickSearch& m_search;
    IStorageDevice* m_device;
    IProgress* m_progress;
    IDirecotryTreeBuilder* m_builder;
    u32 m_fsCode;
    u32 m_spc;
    u64 m_rootStart = 0;
    u64 m_rootSectors = 0;
    u32 m_rootCluster = 0;
    u64 m_dataStart = 0;
    u64 m_volumeSectors = 0;       // as the boot sector gives it, the device's end aside
    u64 m_totalSectors = 0;        // of those, the ones the device holds
    u64 m_clusterLimit = 0;        // clusters the device holds
    u64 m_volumeClusterLimit = 0;  // clusters of the volume
    IFATTable* m_fat;
    u32 m_runState = 0;
    std::map<u64, CFileNode*> m_folders;
    std::unordered_set<u64> m_dirClusters;
    CFileSystemNode* m_root = nullptr;
    u32 m_sectorSize;
    std::vector<CFileNode*> m_deferred;
    std::deque<CFileNode*> m_queue;
    std::unordered_set<CFileNode*> m_queued;  // in the queue and not yet taken off it
    u64 m_discardedQueued = 0;                // entries of the queue that were discarded
    std::vector<CFileNode*> m_later;          // deleted folders walked once the queue is empty
    std::unordered_set<CFileNode*> m_postponed;  // each postponed once
    std::unordered_set<CFileNode*> m_walkedFolders;  // taken off the queue and walked (or tried)
    std::vector<CFileNode*> m_higherWordsWaiting;    // deleted folders waiting for RetryHigherWords
    std::unordered_set<CFileNode*> m_discarded;
    std::vector<TreeNodePtr> m_discardedNodes;
    std::vector<IRawFileAnalyser*> m_analysers;
    CFatHeaderExpectation m_headers{nullptr};
    // The revise pass's reads of clusters, and the clusters deleted files are known to hold.
    std::unique_ptr<CFatClusterHeads> m_heads;
    CFatClaimedClusters m_reviseClaims;
    // Where every deleted file found so far begins and lies, by owner (FileIdentity).
    CFatFileClaims m_firstClusterClaims;
    struct ProvisionalFirstCluster {
        PropertiesRef<CFATFileProperties> properties;
        u64 cluster;
        FatFirstClusterEvidence evidence;
    };
    std::vector<ProvisionalFirstCluster> m_provisional;
    // Deleted files the estimate placed at a first cluster a chain holds now: written over since.
    std::unordered_set<const CFATFileProperties*> m_writtenOver;
    bool m_revise = false;
    bool m_keepTree = false;
    CFileNode* m_lostFolders = nullptr;
    std::vector<u64> m_unclaimed;  // folders a deleted entry that lost its high word could name
    // While folders are placed by their "..": the clusters folders became known at since the
    // last look, so that a folder waiting for its parent goes there once a walk finds it.
    bool m_noteNewFolders = false;
    std::vector<u64> m_newFolders;
    CFatFolderPlacement m_placement{*this};
    bool m_fatless = false;
    std::unordered_set<u64> m_continuations;
    std::vector<std::pair<u64, u64>> m_stored;  // sectors of the stored volumes: sorted, disjoint
    std::vector<u64> m_storedStarts;            // the first sector of each stored volume
    u64 m_leftToStored = 0;
    std::unordered_set<u64> m_fileHeld;  // clusters of folder sightings inside live files
    u64 m_leftToFiles = 0;
    FatVolumeGeometry m_geometry;
    std::vector<u8> m_buffer;
    ProgressInfo m_info{};
    u64 m_secondFatStart = 0;  // sector of the second FAT copy; 0 where it is not read
    u64 m_fatSectors = 0;
    std::vector<FatFolderPiece> m_folderPieces;
    // The live files: those the deleted-file scan lists nowhere as it met them, then, from
    // m_liveListedFrom on, those of the tree.
    std::vector<FatLiveFile> m_liveFiles;
    size_t m_liveListedFrom = 0;
    std::vector<CFATFileProperties*> m_liveListed;  // the tree's, from m_liveListedFrom on
    size_t m_treeFiles = 0;  // file nodes the walk added to the tree
    // The properties of the entries a deleted or lost folder lists unmarked; compared, never read.
    std::unordered_set<const IFileProperties*> m_unmarked;
    u64 m_zeroRunsTraced = 0;  // runs of zeros amid folder entries passed over, traced or not
};

}  // namespace fatwalk
