#pragma once
// The deleted-file scan of an exFAT volume: it follows the root directory and every directory
// below it through their clusters and hands the tree builder the root and one node per complete
// entry set, deleted sets included. Live folders are walked before deleted ones: a cluster that a
// live folder holds is that folder's. A deleted folder's freed chain is read as the run of
// clusters from its first one, passing over what other folders read: a deleted folder whose
// first cluster a live folder reads now (a new folder often takes the cluster a deleted one had)
// still lists what its other clusters hold, under an id of its own.
// A file's bytes are its own only where no other file holds its clusters now and, for a file
// whose FAT chain orders its clusters, only as far as the volume's own FAT gives that chain: a
// deleted file whose clusters the allocation bitmap, a live file or a deleted file written after
// it gives to another, and a live file whose chain is not known, are written as far as they go and
// counted incomplete.
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "engine/ClusterClaims.h"
#include "engine/FileNode.h"
#include "engine/FileProperties.h"
#include "engine/FsServices.h"
#include "fs/fat/ExFatEntrySet.h"
#include "fs/fat/ExFatFileProperties.h"
#include "fs/fat/ExFatPartition.h"

// Search results (shared with the FAT quick search).
constexpr u32 kExFatQuickDone = 0;
constexpr u32 kExFatQuickMissingArgument = 0xCD0005;
constexpr u32 kExFatQuickNoBootSector = 0xF20015;

// An entry set's timestamp (DOS date in the high word, time in the low one) and its hundredths of
// a second (0 to 199, past the even second; more is no valid count and adds nothing) as a
// FILETIME; 0 when it names no valid time.
FILETIME64 ExFatTimeToFileTime(u32 timestamp, u8 tenMilliseconds = 0);

// A set of clusters kept as ranges of neighbours, so that a walk passing over the clusters other
// folders read jumps a whole range at once.
class ExFatClusterRanges {
public:
    // False when the cluster was in the set already.
    bool Insert(u32 cluster);
    // Adds the clusters [first, end), merging them with the ranges they touch.
    void InsertRange(u64 first, u64 end);
    bool Contains(u32 cluster) const;
    // Whether any cluster of [first, end) is in the set.
    bool Overlaps(u64 first, u64 end) const;
    // The first cluster from `cluster` on that is not in the set.
    u64 NextOutside(u64 cluster) const;
    void Clear() { m_ranges.clear(); }
    // Calls f(first, end) for each range, in order.
    template <class F>
    void ForEachRange(F f) const {
        for (const auto& [first, end] : m_ranges) f(u64(first), end);
    }

private:
    std::map<u32, u64> m_ranges;  // first cluster -> one past the last
};

class CExFatQuickSearch : public IQuickFileSystemSearchController {
public:
    CExFatQuickSearch() = default;
    ~CExFatQuickSearch() override = default;

    void SetDirectoryTreeBuilder(IDirecotryTreeBuilder* builder) override { m_builder = builder; }
    // The scanned partition: code 7, sectors per cluster, the heap start as its start sector and
    // the sector size; nothing before a search has read a boot sector.
    void GetSearchedPartitions(std::vector<CSearchedPartitionInfo*>& out) override;
    // 0 when the walk ran (also when the user stopped it: the scan checks that itself);
    // 0xCD0005 without a volume, progress sink or builder; 0xF20015 when the volume has no
    // readable exFAT boot sector.
    u32 Search(IStorageDevice* volume, IProgress* progress) override;

    CExFatPartition* GetPartition() { return m_partition.get(); }
    // Off for a volume whose FAT was not found: its boot sector is a stand-in, so the walk reads
    // every chain as contiguous instead of reading a FAT where none is.
    void SetFatUsable(bool usable) { m_fatUsable = usable; }
    // A volume found from its subfolders alone has no root directory to walk.
    void SetRootKnown(bool known) { m_rootKnown = known; }
    // Off for a volume whose root directory, and so the allocation bitmap it lists, may be
    // another volume's: deleted files are then weighed against the live files found alone.
    void SetBitmapTrusted(bool trusted) { m_bitmapTrusted = trusted; }
    // On for a volume whose heap and cluster size were guessed from its folders alone: a file
    // whose first bytes read as zeros where that layout puts them is counted incomplete, since
    // the layout most likely puts it where its bytes are not.
    void SetLayoutGuessed(bool guessed) { m_layoutGuessed = guessed; }

    // After a search that walked no folder (the complete scan's tree of a chosen volume): one set
    // found elsewhere, handed over as a walk's own below the folder `parentId`; a folder it
    // names is not walked. `deletedParent` marks it deleted with its folder; a `displaced`
    // folder gets an id that no set names as its parent.
    void HandOverSet(const ExFatEntrySet& set, u64 parentId, bool deletedParent, bool displaced = false);

    // The id of a deleted folder whose first cluster a live folder holds now: the place of its
    // file entry counted in entries, with the top bit set, which names no sector, so that no
    // set takes it for its parent. Folders listed side by side get ids of their own.
    u64 DisplacedFolderId(const ExFatEntrySet& set) const;
    static constexpr u64 kDisplacedIdBit = u64(1) << 63;
    // Once every set was handed over: the deleted files, held back until then, are weighed
    // against the live files, the allocation bitmap and each other, and handed over; the log says
    // what was found so. The deleted-file search does it at its end.
    void FinishHandOver();

private:
    // A directory waiting for its walk.
    struct PendingFolder {
        u32 firstCluster = 0;
        u64 budget = 0;  // bytes still to read
        bool noFatChain = false;
        bool deleted = false;
        // A displaced folder: the id its sets name as their parent, and how many clusters of its
        // run, from its first one, belong to the live folder that took that cluster.
        bool displaced = false;
        u64 id = 0;
        u64 liveClusters = 0;
        std::string name;  // for the log; empty for the root
    };

    // Zeros amid a live folder's entries: a range of its sectors that a failing disk gave back
    // as zeros, or, when nothing but zeros follows to the end of its clusters, its end.
    struct ZeroRun {
        bool open = false;     // the zeros go on at the end of the cluster read last
        bool passed = false;   // entries follow them: to be told once a set among them is complete
        u64 first = 0;         // sectors: the first zero entry's, and the one of the entry after them
        u64 end = 0;
        size_t setsBefore = 0;  // sets parsed when the entries after them were taken up
    };

    // A deleted folder met in a live folder, handed over once every live folder was walked.
    struct DeferredFolder {
        ExFatEntrySet set;
        u64 parentId = 0;
    };

    bool Prepare(const u8* bootSector);
    // Walks the queued folders, live ones first, until none is left or the user stops.
    void WalkQueued();
    // Hands over the deleted folders met in live ones and queues their walks after the live
    // folders'; one whose first cluster a live folder holds is displaced.
    void ReleaseDeferred();
    // Reads one directory and hands its sets over. A cluster that cannot be read ends only this
    // folder's walk, and is logged with the folder and the cluster.
    void WalkDirectory(const PendingFolder& folder);
    // Feeds one cluster of a live folder to the parser from its first entry, or from the first
    // entry after the zeros of `zeros` when they reach into it; false when an entry that is no
    // zero and no valid directory entry ends the folder's entries.
    bool FeedLiveCluster(const PendingFolder& folder, u64 sector, ZeroRun& zeros);
    void TellZeroRun(const PendingFolder& folder, ZeroRun& zeros);
    // The next cluster of a deleted folder's run at or after `cluster` that no folder read or
    // holds; `runEnd` when none is left.
    u64 NextOfRun(u64 cluster, u64 runEnd) const;
    void HandOver(const ExFatEntrySet& set, bool deletedParent, u64 parentId, bool displaced = false);
    // The runs of a file (none for a folder, an empty file or a first cluster outside the heap);
    // a deleted set whose freed chain ends early goes on contiguously from `guessedFrom` (0: no
    // cluster is guessed), a set in use whose chain is not known past a cluster ends there.
    CExFatDataRunList* BuildRuns(const ExFatEntrySet& set, u64& guessedFrom);
    void BookClusters(const CExFatDataRunList& runs);
    void Report(u64 done, u64 total);
    // Reads where the allocation bitmap the root directory lists lies; it is believed only where
    // it marks its own first cluster and the root's in use.
    void PlaceBitmap(u32 activeFat);

    // What tells a file's entry set apart: a deleted set with the same first cluster, length and
    // times as a live one is that file's entry left behind by a move or a rename.
    struct FileKey {
        u32 firstCluster = 0;
        u64 length = 0;
        u32 createTime = 0;
        u32 modifyTime = 0;
        bool operator==(const FileKey&) const = default;
    };
    struct FileKeyHash {
        size_t operator()(const FileKey& k) const {
            return std::hash<u64>()((u64(k.firstCluster) << 32) ^ k.length ^ (u64(k.createTime) << 16) ^ k.modifyTime);
        }
    };
    static FileKey KeyOf(const ExFatEntrySet& set) {
        return {set.firstCluster, set.dataLength, set.createTime, set.modifyTime};
    }
    // The clusters a live file or folder holds: a deleted file on them holds that one's bytes.
    void BookLive(const ExFatEntrySet& set, const CExFatDataRunList* runs);
    // The claim owner of a file's entry sets: one per file, so that the entry a move or a rename
    // left behind and the file it names do not weigh against each other.
    CClusterClaims::Owner OwnerOf(const FileKey& key);
    // A deleted file and the clusters it claims: the runs its entry gives for certain, and from
    // `guessedFrom` on (0: none) the run its freed chain is taken to have gone on in.
    struct HeldDeleted {
        TreeNodePtr node;
        FileKey key;
        u64 guessedFrom = 0;
        bool entryFreed = true;
    };
    // A freed chain's guessed run laid again, once every live file and folder is known, on the
    // clusters from its first guessed one that none of them holds: writing a file through the
    // gaps, the volume passed over the clusters they held then.
    void GuessAroundLive(HeldDeleted& held);
    // Every claim on the volume's clusters: what the live files and folders hold and the
    // allocation bitmap marks, the deleted folders' first clusters and the held deleted files.
    // The volume in use agrees with itself: its live files and folders, and its bitmap, are one
    // claim that holds what they hold, whose state no weighing changes (two live files that
    // share a cluster are the volume's damage, not a deleted file's).
    void ClaimClusters(CClusterClaims& claims, const std::vector<HeldDeleted>& held);
    // A held file's claim: the clusters its entry gives for certain with the file's own age, and
    // the guessed rest with an age that proves it written after nothing, so that a guess never
    // takes a cluster from another file and loses it to every file proven newer.
    void ClaimHeld(CClusterClaims& claims, const HeldDeleted& held, const ClaimAge& age, CClusterClaims::Owner owner);
    // The sectors of `bytes` bytes of the cluster run [first, first + clusters).
    void ClaimClusterRun(CClusterClaims& claims, CClusterClaims::ClaimId claim, u64 first, u64 clusters, u64 bytes) const;
    // Whether the first bytes the runs give (up to kBlankProbeBytes of the first cluster) read as
    // zeros; false where they cannot be read.
    bool BeginsBlank(const CExFatDataRunList& runs, u64 length);
    static constexpr u64 kBlankProbeBytes = 4096;
    // The log's account of files written short or counted incomplete, told once per search.
    void TellFindings();

    IDirecotryTreeBuilder* m_builder = nullptr;
    IStorageDevice* m_volume = nullptr;
    IProgress* m_progress = nullptr;
    std::unique_ptr<CExFatPartition> m_partition;
    ExFatEntrySetParser m_parser;
    std::vector<u8> m_cluster;
    u32 m_clusterBytes = 0;
    bool m_fatUsable = true;
    bool m_rootKnown = true;
    ExFatClusterRanges m_readClusters;  // by every walk: each cluster is read once
    ExFatClusterRanges m_liveRead;      // read or held by the walks of live folders
    ExFatClusterRanges m_taken;         // read or held: what a deleted folder's run passes over
    // Live folders whose chain ended before their size did: first cluster -> the clusters their
    // size spans. The rest of such a folder is not known, so no deleted folder takes it.
    std::unordered_map<u32, u64> m_cutLiveFolders;
    // The first clusters of the folders listed so far: a live folder's chain that runs on past
    // its entries' end into one of them is damaged there, and lists nothing of that folder.
    std::unordered_set<u32> m_folderStarts;
    std::deque<PendingFolder> m_queue;         // live folders
    std::deque<PendingFolder> m_deletedQueue;  // walked after every live one
    std::vector<DeferredFolder> m_deferred;
    bool m_deferDeleted = false;  // while live folders are walked

    ExFatAllocationBitmap m_bitmap;
    bool m_bitmapTrusted = true;
    bool m_layoutGuessed = false;
    std::vector<u8> m_probe;  // the sectors BeginsBlank reads
    ExFatClusterRanges m_liveHeld;  // clusters of the live files and folders handed over
    std::unordered_set<FileKey, FileKeyHash> m_liveFiles;
    std::unordered_map<FileKey, CClusterClaims::Owner, FileKeyHash> m_owners;
    std::vector<HeldDeleted> m_heldDeleted;
    // Deleted folders handed over: first cluster and the age of its entries.
    std::vector<std::pair<u32, ClaimAge>> m_deletedFolders;
    // Deleted files counted incomplete for clusters another holds, and live files written short
    // where their FAT chain is not known; the first of each, by name, for the log.
    u64 m_takenCount = 0;
    std::string m_firstTaken;
    u64 m_chainUnknownCount = 0;
    std::string m_firstChainUnknown;
    u64 m_blankCount = 0;  // files of a guessed layout that begin with zeros
    std::string m_firstBlank;
};
