#include "fs/fat/FatQuickSearch.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <deque>
#include <list>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "devices/ScanOptions.h"
#include "devices/StorageDevice.h"
#include "engine/DirectoryTreeBuilder.h"
#include "engine/FileNode.h"
#include "engine/FileSystemNode.h"
#include "engine/Progress.h"
#include "engine/RecycleBin.h"
#include "fs/fat/FatDBR.h"
#include "fs/fat/FatDirEntry.h"
#include "fs/fat/FatFileProperties.h"
#include "fs/fat/FatFolderPlacement.h"
#include "fs/fat/FatRevise.h"
#include "fs/fat/FatTable.h"
#include "platform/Log.h"

namespace {
constexpr u32 kPieceSectors = 128;
constexpr u32 kBufferSectors = 130;
constexpr u32 kMaxCarriedBytes = 1023;
constexpr u32 kRunStopped = 2;
constexpr u64 kFirstDataCluster = 2;
constexpr u64 kFatBackupBootSector = 6;
// Runs of zeros amid folder entries the walk writes a trace line for; the rest are counted.
constexpr u64 kMaxTracedZeroRuns = 1024;

// Calls `visit` with the properties of each file of the tree below `root` while it answers true.
// The tree is walked without recursion: a damaged volume nests folders thousands deep.
template <typename Visit>
void ForEachFile(CFileNode* root, Visit visit) {
    std::vector<CFileNode*> pending{root};
    while (!pending.empty()) {
        CFileNode* folder = pending.back();
        pending.pop_back();
        for (CFileNode* node = folder->GetFirstChild(); node != nullptr; node = node->GetNextSibling()) {
            CFATFileProperties* p = FatPropertiesOf(node);
            if (p == nullptr) continue;
            if ((p->GetAttributes() & kAttrDirectory) != 0) {
                pending.push_back(node);
            } else if (!visit(p)) {
                return;
            }
        }
    }
}

// Whether the 32 bytes of an entry are all zero: a never-used slot, or a sector a failing disk
// gave back as zeros.
bool IsZeroEntry(const u8* entry) {
    return std::all_of(entry, entry + kFatDirEntrySize, [](u8 b) { return b == 0; });
}

// The zeros met in one folder's entries, sector by sector of the volume.
struct ZeroRun {
    bool open = false;        // the last entry read was zeros
    u64 first = 0;            // the sector the open run began in
    u64 last = 0;             // the sector of its last zeros so far
    bool listedAfter = false;  // a valid entry followed zeros
};

bool IsDeletedNode(CFileNode* node) {
    CFATFileProperties* p = FatPropertiesOf(node);
    return p != nullptr && (p->GetState() & 1) != 0;
}

bool IsTemporaryNode(CFileNode* node) {
    CFATFileProperties* p = FatPropertiesOf(node);
    return p != nullptr && (p->GetState() & kFatTemporaryState) != 0;
}

// The cluster a folder's ".." names when its first sector does not begin with "." and "..".
constexpr u64 kNoHome = ~0ULL;

// How a folder's ".." names the folder it is listed in.
enum class DotDotMatch { kNone, kLowWord, kExact };
// Gives how the ".." of the folder both entries name names the folder at a parent cluster.
using DotDotMatcher = std::function<DotDotMatch(u64 parentCluster)>;

// Negative when the new folder replaces the existing one. `home` tells how the folder's ".."
// names each entry's folder, asked only when both entries are deleted.
int CompareDuplicateFolders(CFileNode* existing, CFileNode* found, const DotDotMatcher& home) {
    const bool existingDeleted = IsDeletedNode(existing);
    const bool foundDeleted = IsDeletedNode(found);
    if (!existingDeleted && !foundDeleted) {
        ReleaseTrace("Some thing must be wrong! \t\t\t\t\t\t\tWe found two undeleted directory got the same first "
                     "cluster number!");
        return 1;
    }
    if (!existingDeleted) return 1;
    if (!foundDeleted) return -1;
    // A folder moved away leaves a deleted entry at its old place; when it is then deleted where it
    // went, two deleted entries name it. Its own ".." was rewritten by the move: the entry in the
    // folder it names is the folder's last place. A folder the search made has no entry of its
    // own: its place came from that ".." already, and an entry found for it gives it its name.
    // A ".." that names a folder exactly beats one that only shares its low word.
    const u32 states = FatPropertiesOf(existing)->GetState() | FatPropertiesOf(found)->GetState();
    if ((states & kFatTemporaryState) == 0) {
        const DotDotMatch existingHome = home(FatPropertiesOf(existing)->GetParentCluster());
        const DotDotMatch foundHome = home(FatPropertiesOf(found)->GetParentCluster());
        if (existingHome != foundHome) return foundHome > existingHome ? -1 : 1;
    }
    FILETIME64 a = 0;
    FILETIME64 b = 0;
    FatPropertiesOf(existing)->GetModificationTime(a);
    FatPropertiesOf(found)->GetModificationTime(b);
    return b > a ? -1 : 1;
}

// One folder's walk: what the revise pass and the recycle-bin pairing gather across its pieces.
struct FolderContext {
    CFileNode* folder = nullptr;
    std::vector<CFileNode*> referenceFiles;    // deleted files of the tree, and live reference nodes
    std::vector<CFileNode*> referenceFolders;  // deleted folders of the tree, and live reference nodes
    std::vector<TreeNodePtr> ownedReferences;  // live reference nodes, freed after the pass
    std::list<CFileNode*> recyclePending;
    // A cluster no chain leads to is read strictly: its entries end at the first one that is no
    // entry or names a cluster outside the volume, for what follows is most likely other data.
    bool strict = false;
};

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
    // Where a deleted FAT32 folder's entry lost the high word of its first cluster: the cluster
    // with its low word that begins its folder; 0 when none can be told to be its own, and
    // always 0 for an entry whose high word is not 0. The folder starts of the low word it does
    // not take go to `unclaimed`.
    u64 HighWordCandidate(CFileNode* folder, u64 recorded, std::vector<u64>& unclaimed);
    // The deleted-file scan's place for the folders no entry could be told to name that no walk
    // reached: each under the folder its ".." names when a walk found it, else under "Lost
    // Folders", as a "DIR" folder.
    void PlaceUnclaimedFolders();
    // Places folders no walk reached (cluster -> the cluster its ".." names, kFatNoParentCluster
    // for none) as "DIR" folders under the folders their ".." names (see CFatFolderPlacement).
    void PlaceByDotDot(const std::map<u64, u64>& parentOf);
    // Makes `node`, which replaces the duplicate `old`, known wherever `old` was.
    void Supersede(CFileNode* old, CFileNode* node);
    // A deleted FAT32 folder entry that keeps no high word: it names its folder by the low word
    // alone, and where another folder has that cluster its own may lie at a higher word.
    bool NamesLowWordOnly(CFileNode* node) const {
        const CFATFileProperties* p = FatPropertiesOf(node);
        return m_fsCode == kFsFat32 && p->GetState() == kFatDeletedState && p->GetFirstCluster() <= kFatLowWordMask;
    }
    // Whether another folder has the cluster the folder's entry names.
    bool HeldByAnother(CFileNode* folder, u64 cluster) const {
        const auto it = m_folders.find(cluster);
        return it != m_folders.end() && it->second != folder;
    }
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
    void RevisePass(FolderContext& ctx);
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
    std::unordered_set<CFileNode*> m_discarded;
    std::vector<TreeNodePtr> m_discardedNodes;
    std::vector<IRawFileAnalyser*> m_analysers;
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
    u64 m_zeroRunsTraced = 0;  // runs of zeros amid folder entries passed over, traced or not
};

CFATQuickWalker::CFATQuickWalker(CFATQuickSearch& search, IStorageDevice* device, IProgress* progress,
                                 const CFATDBR& dbr, IFATTable* fat)
    : m_search(search),
      m_device(device),
      m_progress(progress),
      m_builder(search.GetBuilder()),
      m_fsCode(dbr.GetFATType()),
      m_spc(dbr.GetSectorsPerCluster()),
      m_fat(fat),
      m_sectorSize(device->GetSectorSize()) {
    const FatWalkOptions& options = search.GetWalkOptions();
    m_keepTree = options.keepTree;
    m_fatless = options.keepTree && !options.loadFat1 && !options.loadFat2;
    if (m_fatless) m_continuations.insert(options.continuationClusters.begin(), options.continuationClusters.end());
    const u64 fatsEnd = u64(dbr.GetReservedSectors()) + u64(dbr.GetFATCount()) * dbr.GetFATSize();
    if (m_fsCode == kFsFat16) {
        m_rootStart = fatsEnd;
        m_rootSectors = CFATVolumeReader::RootRegionSectors(dbr);
        m_dataStart = m_rootStart + m_rootSectors;
    } else {
        m_dataStart = fatsEnd;
        m_rootCluster = dbr.GetRootCluster();
        m_rootStart = ClusterSector(m_rootCluster < 2 ? 2 : m_rootCluster);
    }
    // The volume reaches as far as its boot sector says, within the clusters its FAT can name (a
    // damaged total claims more). The device may end before it does (an image cut short): what
    // lies past its end cannot be read, but a file there is still the volume's, its runs where
    // they are, and the reader says it finds nothing.
    m_volumeSectors = options.fatSizeGuessed ? std::max<u64>(dbr.GetTotalSectors(), m_dataStart)
                                             : CFATVolumeReader::AddressableSectors(dbr);
    m_totalSectors = std::min<u64>(m_volumeSectors, device->GetTotalSectors());
    m_clusterLimit = m_totalSectors > m_dataStart ? (m_totalSectors - m_dataStart) / m_spc : 0;
    m_volumeClusterLimit = (m_volumeSectors - m_dataStart) / m_spc;
    m_geometry = {m_fat, m_spc, m_sectorSize, m_volumeSectors, m_dataStart, m_totalSectors};
}

CFATQuickWalker::~CFATQuickWalker() {
    DropDiscarded();
    DestroySubtree(m_root);
}

bool CFATQuickWalker::Continue() {
    if (m_runState == kRunStopped) return false;
    if (m_progress->Continued() == 0) {
        m_runState = kRunStopped;
        return false;
    }
    return true;
}

void CFATQuickWalker::Report(u64 done) {
    m_info.Type = kProgressUpdate;
    m_info.Total = 100;
    m_info.Done = done;
    m_progress->OnProgress(&m_info);
}

void CFATQuickWalker::Hand(CFileNode* node) {
    if (m_keepTree) return;
    // A deleted folder whose entry names cluster 0 and that no higher word gave holds nothing;
    // by that id the builder would take it for the root.
    if (node != m_root && node->GetId() == m_root->GetId() && IsFatFolderNode(node)) return;
    TreeNodePtr clone = CloneTreeNode(node);
    if (!clone) return;
    u32 error = 0;
    if (m_builder->AddFoundFileNode(clone.get(), kTreeKindFat, &error) != 0) clone.release();
}

FileSystemNodePtr CFATQuickWalker::MakeRootNode() {
    FileSystemNodePtr root = CreateFileSystemNode();
    PropertiesRef<CFATFileProperties> p(NewFATFileProperties());
    if (!root || !p) return nullptr;
    p->SetName(IsFatCode(m_fsCode) ? FileSystemTypeName(m_fsCode) : "UNKNOWN");
    p->SetAttributes(u16(p->GetAttributes() | kAttrDirectory));
    p->SetFirstCluster(0);
    p->SetParentCluster(0xFFFFFFFFu);
    root->SetFileProperties(p.release());
    root->SetPartitionGeometry(m_dataStart, m_spc);
    root->SetFileSystemType(m_fsCode);
    root->SetId(0);
    return root;
}

void CFATQuickWalker::Run() {
    if (m_fsCode == kFsFat32 && GetScanOptions().GetFatRevise() != 0) {
        m_analysers = m_search.GetReviseAnalysers();
        // Without header analysers every deleted file would look headerless and be moved by the
        // estimate; the pass is left out until they are available.
        m_revise = !m_analysers.empty();
    }
    m_buffer.assign(u64(kBufferSectors) * m_sectorSize, 0);

    Report(0);
    if (!Continue()) return;
    if (m_volumeSectors > m_totalSectors) {
        ReleaseTrace("FAT volume of %llu sectors: the device holds only %llu of them (an image shorter than the "
                     "volume); what lies from cluster %llu on cannot be read",
                     static_cast<unsigned long long>(m_volumeSectors), static_cast<unsigned long long>(m_totalSectors),
                     static_cast<unsigned long long>(m_clusterLimit + 2));
    }

    m_root = MakeRootNode().release();
    if (m_root == nullptr) return;
    if (!m_keepTree) {
        FileSystemNodePtr rootClone(static_cast<CFileSystemNode*>(m_root->Clone()));
        if (!rootClone || m_builder->AddFileSystemTree(rootClone.get()) == 0) return;
        rootClone.release();
    }
    m_search.GetRecord().SetSectorsPerCluster(m_spc);
    m_search.GetRecord().SetFirstDataSector(m_dataStart);
    // Runs hold cluster - 2: the writer places them from the record's start, so the start it
    // hands out is the first sector of the cluster area, not the volume's first sector.
    m_search.GetRecord().SetPartitionStart(m_dataStart);

    bool rootWalked = false;
    if (m_fsCode == kFsFat32) {
        rootWalked = WalkFolderChain(m_root, m_rootCluster, true);
    } else {
        std::vector<u8> region;
        if (m_rootSectors > 0) {
            region.assign(m_rootSectors * m_sectorSize, 0);
            if (m_device->Read(region.data(), m_rootStart, m_rootSectors)) {
                ZeroRun zeros;
                FollowZeros(zeros, m_root, 0, region.data(), region.size(), m_rootStart);
                FolderContext ctx;
                ctx.folder = m_root;
                ParseFolderBuffer(region.data(), u32(region.size()), ctx);
                rootWalked = true;
            }
        }
    }

    if (rootWalked) DrainQueue();
    if (rootWalked) PlaceUnclaimedFolders();
    // Every volume whose clusters hold folder sectors gets its "Lost Folders" in one place, first
    // among the root's additions, whether or not anything comes to hang there.
    if (m_keepTree && HoldsFolderSightings()) LostFoldersNode();
    // The files found so far may hold a stored volume, and so may those of the lost folders.
    if (m_keepTree && m_runState != kRunStopped) FindStoredVolumes();
    if (m_keepTree && m_runState != kRunStopped) FindFileHeldSightings();
    if (m_keepTree && m_runState != kRunStopped) PlaceLostFolders();
    if (m_keepTree && m_runState != kRunStopped) FindStoredVolumes();
    if (m_keepTree && m_runState != kRunStopped) PlaceLostClusters();
    // Every walk has run: a folder that went to "Lost Folders" before the walk that found its
    // parent goes there now.
    if (m_runState != kRunStopped) m_placement.Rehome();
    if (m_leftToFiles != 0) {
        ReleaseTrace("FAT walk: %llu folder sectors lie in the clusters of live files; they are those files' content, "
                     "not folders of this volume",
                     static_cast<unsigned long long>(m_leftToFiles));
    }
    if (m_zeroRunsTraced > kMaxTracedZeroRuns) {
        ReleaseTrace("FAT walk: past the first %llu lines, %llu more runs of zeros amid folder entries were passed over "
                     "without a line in the log",
                     static_cast<unsigned long long>(kMaxTracedZeroRuns),
                     static_cast<unsigned long long>(m_zeroRunsTraced - kMaxTracedZeroRuns));
    }
    DropDiscarded();
    if (m_keepTree && m_runState != kRunStopped) {
        MergeTemporaryFolders(m_root, [this](u32 cluster) { return DotCreationTime(cluster); });
    }

    if (m_lostFolders != nullptr && !m_keepTree) {
        // The deleted-file scan shows "Lost Folders" only where something stayed there.
        if (m_lostFolders->GetFirstChild() != nullptr) {
            Hand(m_lostFolders);
        } else {
            m_root->RemoveChild(m_lostFolders);
            DestroySubtree(m_lostFolders);
            m_lostFolders = nullptr;
        }
    }
    for (CFileNode* folder : m_deferred) Hand(folder);
    m_deferred.clear();
    if (m_keepTree) {
        m_search.SetStoredVolumeSightings(m_leftToStored, m_storedStarts.size());
        m_search.SetWalkedFolderClusters(m_dirClusters);
        m_search.KeepTree(m_root);
        m_root = nullptr;
    }
}

void CFATQuickWalker::DrainQueue() {
    u64 count = 1;
    u64 lastPercent = 1;
    while (!m_queue.empty() || !m_later.empty()) {
        if (m_queue.empty()) {
            for (CFileNode* later : m_later) {
                if (!IsDiscarded(later)) Enqueue(later);
            }
            m_later.clear();
            continue;
        }
        CFileNode* folder = m_queue.front();
        if (IsDiscarded(folder)) {
            m_queue.pop_front();
            --m_discardedQueued;
            continue;
        }
        ++count;
        const u64 percent = count * 100 / (count + m_queue.size() - m_discardedQueued);
        if (percent > lastPercent) {
            Report(percent);
            lastPercent = percent;
        }
        if (!Continue()) break;
        m_queue.pop_front();
        m_queued.erase(folder);
        // A folder placed by its ".." may hold folders placed under it before it was read: only
        // a walk, not a child, says its entries were read.
        if (m_walkedFolders.count(folder) != 0) continue;
        CFATFileProperties* p = FatPropertiesOf(folder);
        const u64 first = p->GetFirstCluster();
        // Another folder has the cluster this entry's low word names: the entry's own folder is
        // looked for at the higher words, once every other entry has claimed its folder.
        const bool lowWordHeld = NamesLowWordOnly(folder) && HeldByAnother(folder, first);
        // A deleted folder whose ".." names another folder than the one that lists it may have
        // moved, or its cluster may be a live folder's now: walked after the others, so that a
        // live entry naming the cluster claims it first and no live file is handed as deleted.
        if (p->GetState() == kFatDeletedState && m_postponed.insert(folder).second) {
            const u64 home = lowWordHeld ? kNoHome : DotDotCluster(first);
            if (lowWordHeld || (home != kNoHome && MatchDotDot(home, p->GetParentCluster()) == DotDotMatch::kNone)) {
                m_later.push_back(folder);
                continue;
            }
        }
        m_walkedFolders.insert(folder);
        if (!lowWordHeld && WalkFolderChain(folder, first, false)) continue;
        if (m_runState == kRunStopped) break;
        if (m_fsCode != kFsFat32 || p->GetState() != 1) continue;
        std::vector<u64> unclaimed;
        const u64 candidate = HighWordCandidate(folder, first, unclaimed);
        if (m_runState == kRunStopped) break;
        // The complete scan places such folders with the other folder starts it saw.
        if (!m_keepTree) m_unclaimed.insert(m_unclaimed.end(), unclaimed.begin(), unclaimed.end());
        bool found = false;
        if (candidate != 0) {
            p->SetDataRunList(BuildFATRuns(m_geometry, u32(candidate), p->GetSize(), true));
            // The folder is known by the cluster it was found at: its entries name it as their
            // folder by that id, and a ".." naming that cluster names it.
            const u64 recordedId = folder->GetId();
            folder->SetId(candidate);
            found = WalkFolderChain(folder, candidate, false);
            if (!found) {
                folder->SetId(recordedId);
            } else if (m_folders.emplace(candidate, folder).second && m_noteNewFolders) {
                m_newFolders.push_back(candidate);
            }
        }
        if (m_runState == kRunStopped) break;
        if (!found && lowWordHeld) JudgeDuplicate(folder, first);
    }
}

void CFATQuickWalker::Supersede(CFileNode* old, CFileNode* node) {
    // The folder is known at its entry's cluster and by its id, the cluster a retry of higher
    // words found it at where that differs. The entries already handed name it by that id.
    for (const u64 cluster : {u64(FatPropertiesOf(old)->GetFirstCluster()), old->GetId()}) {
        if (const auto mapped = m_folders.find(cluster); mapped != m_folders.end() && mapped->second == old) {
            mapped->second = node;
        }
    }
    node->SetId(old->GetId());
}

void CFATQuickWalker::MoveChildren(CFileNode* from, CFileNode* to) {
    while (CFileNode* child = from->GetFirstChild()) {
        from->RemoveChild(child);
        to->AddChild(child);
    }
}

bool CFATQuickWalker::ChallengerWins(CFileNode* holder, CFileNode* challenger, const CFileNode* challengerPlace,
                                     u64 cluster) {
    // A folder that holds the challenger (directly or further up) cannot give way to it: its
    // children would be moved below one of themselves.
    if (FatIsAncestorOrSelf(holder, challengerPlace)) return false;
    // The cluster's ".." is read only when the comparison gets as far as needing it.
    u64 home = kNoHome;
    bool homeRead = false;
    const auto matchHome = [&](u64 parent) {
        if (!homeRead) home = DotDotCluster(cluster);
        homeRead = true;
        return MatchDotDot(home, parent);
    };
    return CompareDuplicateFolders(holder, challenger, matchHome) < 0;
}

void CFATQuickWalker::JudgeDuplicate(CFileNode* folder, u64 cluster) {
    const auto it = m_folders.find(cluster);
    if (it == m_folders.end() || it->second == folder || IsDiscarded(it->second)) return;
    CFileNode* holder = it->second;
    const bool folderWins = ChallengerWins(holder, folder, folder, cluster);
    CFileNode* loser = folderWins ? holder : folder;
    if (folderWins) {
        MoveChildren(holder, folder);
        it->second = folder;
        Supersede(holder, folder);
    }
    const CFATFileProperties* lp = FatPropertiesOf(loser);
    DebugTrace("Discard a directory named %s, cur: %x, parent:%x", lp->GetName(), unsigned(lp->GetFirstCluster()),
               unsigned(lp->GetParentCluster()));
    Discard(loser);
}

CFileNode* CFATQuickWalker::MakeReferenceNode(const u8* entries, u32 length, u64 cluster, FolderContext& ctx) {
    PropertiesRef<CFATFileProperties> properties = CreateFATFilePropertiesFromEntries(entries, length);
    TreeNodePtr ref = properties ? CreateFileNode() : nullptr;
    if (!ref) return nullptr;
    properties->SetFirstCluster(u32(cluster));
    ref->SetFileProperties(properties.release());
    ctx.ownedReferences.push_back(std::move(ref));
    return ctx.ownedReferences.back().get();
}

TreeNodePtr CFATQuickWalker::MakeLostFolderNode(const char* name, u64 cluster, u64 parentCluster) {
    PropertiesRef<CFATFileProperties> p(NewFATFileProperties());
    TreeNodePtr node = CreateFileNode();
    if (!p || !node) return nullptr;
    p->SetName(name);
    p->SetAttributes(u16(p->GetAttributes() | kAttrDirectory));
    p->SetState(kFatLostFolderState);
    p->SetFirstCluster(u32(cluster));
    p->SetParentCluster(u32(parentCluster));
    node->SetFileProperties(p.release());
    node->SetId(cluster);
    node->SetParentId(parentCluster);
    return node;
}

CFileNode* CFATQuickWalker::AddLostFolder(CFileNode* under, u64 cluster, u64 parentCluster) {
    char name[32];
    std::snprintf(name, sizeof(name), "DIR%u", unsigned(NextLostFolderNumber()));
    CFileNode* dir = MakeLostFolderNode(name, cluster, parentCluster).release();
    if (dir == nullptr) return nullptr;
    under->AddChild(dir);
    m_folders[cluster] = dir;
    Enqueue(dir);
    return dir;
}

bool CFATQuickWalker::HoldsFolderSightings() const {
    const FatWalkOptions& options = m_search.GetWalkOptions();
    for (const FatFolderSighting& f : options.folderStarts) {
        if (IsCluster(f.cluster)) return true;
    }
    for (u32 c : options.continuationClusters) {
        if (IsCluster(c)) return true;
    }
    return false;
}

void CFATQuickWalker::FindStoredVolumes() {
    std::vector<std::pair<u64, u64>> open;  // first sector and length of each volume not yet placed
    for (const auto& [first, end] : m_search.GetWalkOptions().foundVolumes) {
        if (end > first && std::find(m_storedStarts.begin(), m_storedStarts.end(), first) == m_storedStarts.end()) {
            open.emplace_back(first, end - first);
        }
    }
    if (open.empty()) return;
    ForEachFile(m_root, [&](CFATFileProperties* p) {
        const u64 fileSectors = p->GetSize() / m_sectorSize;
        std::unique_ptr<IDataRunList> runs;
        for (size_t i = open.size(); i-- > 0;) {
            const auto [first, length] = open[i];
            if (fileSectors < length) continue;
            if (!runs) runs.reset(p->CreateDataRunList());
            if (!runs) break;
            // The volume's sectors are the file's from the one its first sector is on, in the
            // file's order: a fragmented file spreads them over the device.
            std::vector<std::pair<u64, u64>> sectors;
            u64 offset = 0;  // in the file, of the current extent
            u64 left = 0;    // of the volume, once its first sector is met
            bool met = false;
            for (size_t e = 0; e < runs->GetExtentCount() && (!met || left != 0); ++e) {
                const DataRunExtent& extent = runs->GetExtent(e);
                if (extent.start < 0) break;
                const u64 from = ClusterSector(u64(extent.start) + 2);
                const u64 to = from + extent.length * m_spc;
                u64 at = from;
                if (!met && first >= from && first < to) {
                    const u64 into = offset + (first - from);
                    if (into >= fileSectors || fileSectors - into < length) break;
                    met = true;
                    left = length;
                    at = first;
                }
                if (met) {
                    const u64 take = std::min(left, to - at);
                    sectors.emplace_back(at, at + take);
                    left -= take;
                }
                offset += to - from;
            }
            if (!met || left != 0) continue;
            ReleaseTrace("FAT walk: the volume at sector %llu (%llu sectors) lies in the file %s; its folder "
                         "sectors are left to it",
                         static_cast<unsigned long long>(first), static_cast<unsigned long long>(length),
                         p->GetName() != nullptr ? p->GetName() : "");
            m_stored.insert(m_stored.end(), sectors.begin(), sectors.end());
            m_storedStarts.push_back(first);
            open.erase(open.begin() + std::ptrdiff_t(i));
        }
        return !open.empty();
    });
    // Sorted and disjoint, for the lookup.
    std::sort(m_stored.begin(), m_stored.end());
    std::vector<std::pair<u64, u64>> merged;
    for (const auto& range : m_stored) {
        if (!merged.empty() && range.first <= merged.back().second) {
            merged.back().second = std::max(merged.back().second, range.second);
        } else {
            merged.push_back(range);
        }
    }
    m_stored = std::move(merged);
}

void CFATQuickWalker::FindFileHeldSightings() {
    // Without a FAT a file's clusters are a guess: a folder found inside that guess may be one
    // that took the clusters over.
    if (m_fatless) return;
    const FatWalkOptions& options = m_search.GetWalkOptions();
    std::vector<u64> unreached;
    for (const FatFolderSighting& f : options.folderStarts) {
        if (IsCluster(f.cluster) && !IsReached(f.cluster)) unreached.push_back(f.cluster);
    }
    for (const u32 c : options.continuationClusters) {
        if (IsCluster(c) && m_dirClusters.count(c) == 0) unreached.push_back(c);
    }
    if (unreached.empty()) return;
    std::sort(unreached.begin(), unreached.end());
    unreached.erase(std::unique(unreached.begin(), unreached.end()), unreached.end());
    // A live file's clusters are its own by the FAT: a folder sector there is a copy inside the
    // file, or a volume stored in it (one of a kind the search does not know, such as a floppy
    // image), and its entries name that volume's clusters, not this one's.
    ForEachFile(m_root, [&](CFATFileProperties* p) {
        if ((p->GetState() & kFatDeletedState) != 0) return true;
        std::unique_ptr<IDataRunList> runs(p->CreateDataRunList());
        for (size_t e = 0; runs && e < runs->GetExtentCount(); ++e) {
            const DataRunExtent& extent = runs->GetExtent(e);
            if (extent.start < 0) continue;
            const u64 first = u64(extent.start) + 2;
            auto it = std::lower_bound(unreached.begin(), unreached.end(), first);
            for (; it != unreached.end() && *it - first < extent.length; ++it) m_fileHeld.insert(*it);
        }
        return true;
    });
}

bool CFATQuickWalker::LeftToFile(u64 cluster) {
    if (m_fileHeld.count(cluster) == 0) return false;
    ++m_leftToFiles;
    return true;
}

bool CFATQuickWalker::LeftToStoredVolume(u64 cluster) {
    if (m_stored.empty()) return false;
    const u64 sector = ClusterSector(cluster);
    const auto after = std::upper_bound(m_stored.begin(), m_stored.end(), std::make_pair(sector, ~u64(0)));
    if (after == m_stored.begin() || sector >= std::prev(after)->second) return false;
    ++m_leftToStored;
    return true;
}

CFileNode* CFATQuickWalker::KnownFolder(u64 cluster) const {
    if (cluster == 0 || (m_fsCode == kFsFat32 && cluster == m_rootCluster)) return m_root;
    const auto it = m_folders.find(cluster);
    return it != m_folders.end() ? it->second : nullptr;
}

namespace {
// The creation time of the "." entry that begins `entries`; 0 when they begin with none.
FILETIME64 CreationTimeOfDot(const u8* entries) {
    const CFATDirEntry dot(entries);
    if (!dot.IsDotEntry() || !dot.IsDirectory()) return 0;
    PropertiesRef<CFATFileProperties> props = CreateFATFilePropertiesFromEntries(entries, kFatDirEntrySize);
    FILETIME64 created = 0;
    if (props) props->GetCreationTime(created);
    return created;
}
}  // namespace

u64 CFATQuickWalker::HighWordCandidate(CFileNode* folder, u64 recorded, std::vector<u64>& unclaimed) {
    // The same low word in the higher 65536-cluster blocks: each cluster there that begins a
    // folder no walk read and no other entry names could be this folder (ChooseLowWordFolder
    // says which).
    FILETIME64 created = 0;
    FatPropertiesOf(folder)->GetCreationTime(created);
    const u64 listedIn = folder->GetParent() != nullptr ? folder->GetParent()->GetId() : kNoHome;
    std::vector<u8> sector;
    std::vector<FatLowWordCandidate> starts;  // every folder start of the low word, whoever's it is
    for (u64 k = 0; k < recorded / kFatHighWordStep + kFatHighWordsTried; ++k) {
        const u64 candidate = recorded + k * kFatHighWordStep;
        // A low word of 0 or 1 is no cluster by itself: its folder lies at a higher word.
        if (candidate < kFirstDataCluster) continue;
        if (!IsCluster(candidate)) break;
        if (m_dirClusters.count(candidate) != 0) continue;
        if (const auto named = m_folders.find(candidate); named != m_folders.end() && named->second != folder) continue;
        if (!Continue()) return 0;
        if (!ReadFolderStart(candidate, sector)) continue;
        starts.push_back({candidate, CreationTimeOfDot(sector.data()),
                          MatchDotDot(DotDotOf(sector.data()), listedIn) != DotDotMatch::kNone});
    }
    u64 chosen = 0;
    const char* name = FatPropertiesOf(folder)->GetName();
    if (recorded >= kFatHighWordStep) {
        // The entry kept a high word, so it lost none: the folders of its low word in other
        // blocks are not its own, whatever their times. They are still folders no entry names.
        if (!starts.empty()) {
            ReleaseTrace("Deleted folder %s at cluster %llx kept the high word of its first cluster: the %zu folders "
                         "of its low word in other blocks are not its own",
                         name, static_cast<unsigned long long>(recorded), starts.size());
        }
    } else if (const size_t choice = ChooseLowWordFolder(created, starts); choice != kFatNoLowWordChoice) {
        chosen = starts[choice].cluster;
        if (starts.size() > 1) {
            ReleaseTrace("Deleted folder %s at cluster %llx: of the %zu folders of its low word, the one at cluster "
                         "%llx is its own by time or by \"..\"",
                         name, static_cast<unsigned long long>(recorded), starts.size(),
                         static_cast<unsigned long long>(chosen));
        }
    } else if (!starts.empty()) {
        ReleaseTrace("Deleted folder %s at cluster %llx: %zu folders share its low word, none of them its own by time "
                     "or by \"..\"",
                     name, static_cast<unsigned long long>(recorded), starts.size());
    }
    // The folders this entry does not take may be those of entries a duplicate of this one
    // pushed out of the walk (an older deleted entry of the same low word): they stay candidates
    // for the unclaimed folders, so that their files are not lost.
    for (const FatLowWordCandidate& start : starts) {
        if (start.cluster != chosen) unclaimed.push_back(start.cluster);
    }
    return chosen;
}

void CFATQuickWalker::PlaceUnclaimedFolders() {
    // After the walk, so that a live entry anywhere claims its folder first; the folders placed
    // here may hold entries that leave more unclaimed. Each cluster is placed once.
    while (!m_unclaimed.empty() && m_runState != kRunStopped) {
        std::map<u64, u64> parentOf;
        for (const u64 cluster : m_unclaimed) {
            if (IsReached(cluster) || parentOf.count(cluster) != 0) continue;
            const u64 parent = DotDotCluster(cluster);
            parentOf.emplace(cluster, parent == kNoHome || parent == cluster ? kFatNoParentCluster : parent);
        }
        m_unclaimed.clear();
        PlaceByDotDot(parentOf);
    }
}

bool CFATQuickWalker::ReadFolderStart(u64 cluster, std::vector<u8>& sector) const {
    if (!IsCluster(cluster)) return false;
    sector.assign(std::max<u32>(m_sectorSize, 2 * kFatDirEntrySize), 0);
    if (!m_device->Read(sector.data(), ClusterSector(cluster), 1)) return false;
    const CFATDirEntry dot(sector.data());
    const CFATDirEntry dotDot(sector.data() + kFatDirEntrySize);
    // A folder's "." names its own cluster: a sector that only looks like a folder's start (a
    // copy of one inside a file) lists files by another volume's clusters.
    return dot.IsDotEntry() && dotDot.IsDotDotEntry() && dot.GetFirstCluster() == cluster;
}

FILETIME64 CFATQuickWalker::DotCreationTime(u32 cluster) const {
    std::vector<u8> sector;
    return ReadFolderStart(cluster, sector) ? CreationTimeOfDot(sector.data()) : 0;
}

DotDotMatch CFATQuickWalker::MatchDotDot(u64 home, u64 parent) const {
    if (home == kNoHome) return DotDotMatch::kNone;
    if (home == parent) return DotDotMatch::kExact;
    const bool lowWordOnly = home != 0 && home <= kFatLowWordMask && (parent & kFatLowWordMask) == home;
    return lowWordOnly && KnownFolder(home) == nullptr ? DotDotMatch::kLowWord : DotDotMatch::kNone;
}

u64 CFATQuickWalker::DotDotCluster(u64 cluster) const {
    std::vector<u8> sector;
    return ReadFolderStart(cluster, sector) ? DotDotOf(sector.data()) : kNoHome;
}

u64 CFATQuickWalker::DotDotOf(const u8* folderStart) const {
    const u64 parent = CFATDirEntry(folderStart + kFatDirEntrySize).GetFirstCluster();
    // Some systems name the FAT32 root by its cluster rather than by 0.
    return m_fsCode == kFsFat32 && parent == m_rootCluster ? 0 : parent;
}

CFileNode* CFATQuickWalker::LostFoldersNode() {
    if (m_lostFolders == nullptr) {
        m_lostFolders = MakeLostFolderNode(kFatLostFoldersName, kFatLostFoldersId, kFatLostFoldersId).release();
        if (m_lostFolders == nullptr) return nullptr;
        m_lostFolders->SetParentId(m_root->GetId());
        m_root->AddChild(m_lostFolders);
    }
    return m_lostFolders;
}

void CFATQuickWalker::PlaceLostClusters() {
    // A folder's later clusters that no walk reached: its chain is gone (a deleted folder whose
    // clusters were not contiguous), but the entries they hold still name their files.
    std::vector<u8> cluster(u64(m_spc) * m_sectorSize, 0);
    for (u32 c : m_search.GetWalkOptions().continuationClusters) {
        if (!IsCluster(c) || m_dirClusters.count(c) != 0 || LeftToStoredVolume(c) || LeftToFile(c)) continue;
        if (!Continue()) return;
        if (!m_device->Read(cluster.data(), ClusterSector(c), m_spc)) continue;
        m_dirClusters.insert(c);
        ReleaseTrace("Build Lost Cluster %d Sector %llu", int(c), static_cast<unsigned long long>(ClusterSector(c)));
        if (LostFoldersNode() == nullptr) return;
        char name[32];
        std::snprintf(name, sizeof(name), "DIR%u", unsigned(NextLostFolderNumber()));
        CFileNode* dir = MakeLostFolderNode(name, kFatContinuationFolderId, kFatLostFoldersId).release();
        if (dir == nullptr) return;
        m_lostFolders->AddChild(dir);
        FolderContext ctx;
        ctx.folder = dir;
        ctx.strict = true;
        ParseFolderBuffer(cluster.data(), u32(cluster.size()), ctx);
        DrainQueue();
        if (m_runState == kRunStopped) return;
    }
}

void CFATQuickWalker::PlaceLostFolders() {
    // The folder starts no walk reached, each cluster once (its first sighting), with the parent
    // its ".." names. A ".." that names its own folder names no parent: the folder and its files
    // are still there, only the way up is lost.
    std::map<u64, u64> parentOf;
    for (const FatFolderSighting& f : m_search.GetWalkOptions().folderStarts) {
        if (!IsCluster(f.cluster) || IsReached(f.cluster) || LeftToStoredVolume(f.cluster) || LeftToFile(f.cluster)) {
            continue;
        }
        parentOf.emplace(f.cluster, f.parent == f.cluster ? kFatNoParentCluster : u64(f.parent));
    }
    PlaceByDotDot(parentOf);
}

void CFATQuickWalker::PlaceByDotDot(const std::map<u64, u64>& parentOf) {
    m_noteNewFolders = true;
    m_newFolders.clear();
    m_placement.Place(parentOf);
    m_noteNewFolders = false;
    m_newFolders.clear();
}

CFileNode* CFATQuickWalker::AddFolder(CFileNode* under, u64 cluster, u64 parentCluster) {
    if (m_keepTree) {
        ReleaseTrace("Build Cluster %d Sector %llu", int(cluster), static_cast<unsigned long long>(ClusterSector(cluster)));
    }
    // The deleted-file scan names the parent by its node, as the builder links them.
    CFileNode* dir = AddLostFolder(under, cluster, m_keepTree ? parentCluster : under->GetId());
    if (dir == nullptr) return nullptr;
    if (under != m_lostFolders) dir->SetParentId(under->GetId());
    // Handed with the deleted folders at the end: an entry found later may still name it.
    if (!m_keepTree) m_deferred.push_back(dir);
    return dir;
}

void CFATQuickWalker::MoveFolder(CFileNode* folder, CFileNode* parent) {
    if (IsDiscarded(folder) || folder->GetParent() == nullptr) return;
    folder->GetParent()->RemoveChild(folder);
    parent->AddChild(folder);
    folder->SetParentId(parent->GetId());
    if (!m_keepTree) FatPropertiesOf(folder)->SetParentCluster(u32(parent->GetId()));
    ReleaseTrace("FAT folder at cluster %llu: the folder its \"..\" names turned up at a later walk; moved there "
                 "from \"%s\"",
                 static_cast<unsigned long long>(FatPropertiesOf(folder)->GetFirstCluster()), kFatLostFoldersName);
}

bool CFATQuickWalker::WalkFolderChain(CFileNode* folder, u64 firstCluster, bool dotsForbidden) {
    // A chain must start at a cluster of the volume; one that leads outside it reads nothing.
    if (!IsCluster(firstCluster)) return false;
    FolderContext ctx;
    ctx.folder = folder;
    u32 carried = 0;
    u64 cluster = firstCluster;
    bool first = true;
    ZeroRun zeros;
    bool zeroStart = false;  // the folder's first entries are zeros
    // Each piece adds at least one new cluster to the set of directory clusters, so the number of
    // pieces is bounded by the volume's clusters.
    while (IsCluster(cluster)) {
        std::vector<u64> piece{cluster};
        u64 last = cluster;
        u32 next = NextFolderCluster(last);
        // Pieces hold at most 128 sectors; a cluster of 128 sectors is a piece by itself.
        while (u64(piece.size()) * m_spc < kPieceSectors && next == last + 1 && IsCluster(next)) {
            piece.push_back(next);
            last = next;
            next = NextFolderCluster(last);
        }
        if (!Continue()) return false;
        const u64 sectors = u64(piece.size()) * m_spc;
        if (!m_device->Read(m_buffer.data() + carried, ClusterSector(piece.front()), sectors)) {
            // A piece that cannot be read ends the chain; nothing stale is parsed.
            ReleaseTrace("FAT folder of first cluster %llu: cluster %llu (sector %llu) could not be read; the "
                         "folder's entries from there on are missing",
                         static_cast<unsigned long long>(firstCluster), static_cast<unsigned long long>(piece.front()),
                         static_cast<unsigned long long>(ClusterSector(piece.front())));
            return !first;
        }
        if (m_dirClusters.count(piece.front()) != 0) return false;
        for (u64 c : piece) m_dirClusters.insert(c);
        if (piece.front() == firstCluster && first) {
            const u8* start = m_buffer.data() + carried;
            CFATDirEntry dot(start);
            CFATDirEntry dotDot(start + kFatDirEntrySize);
            if (dotsForbidden) {
                if (dot.IsDotEntry() || dotDot.IsDotDotEntry()) return false;
            } else if (!dot.IsDotEntry() || !dotDot.IsDotDotEntry()) {
                // A live folder's chain is its own: where its first entries came back as zeros (a
                // copy of a failing disk), the entries after them in its chain are still its. A
                // deleted folder's cluster may be another's by now.
                const bool live = (FatPropertiesOf(folder)->GetState() & kFatDeletedState) == 0;
                zeroStart = live && IsZeroEntry(start) && IsZeroEntry(start + kFatDirEntrySize);
                if (live && !zeroStart) {
                    ReleaseTrace("FAT folder \"%s\" (first cluster %llu): its first sector %llu does not begin with "
                                 "\".\" and \"..\"; the folder cannot be read",
                                 FolderName(folder), static_cast<unsigned long long>(firstCluster),
                                 static_cast<unsigned long long>(ClusterSector(firstCluster)));
                }
                if (!zeroStart) return false;
            }
        }
        first = false;
        FollowZeros(zeros, folder, firstCluster, m_buffer.data() + carried, sectors * m_sectorSize,
                    ClusterSector(piece.front()));
        const u32 length = carried + u32(sectors * m_sectorSize);
        const i64 consumed = ParseFolderBuffer(m_buffer.data(), length, ctx);
        if (consumed < 0) break;
        const u32 left = length - u32(consumed);
        if (left >= 1 && left <= kMaxCarriedBytes) {
            ReleaseTrace("Found unproessed buffer, lengh:%d bytes", int(left));
            std::memmove(m_buffer.data(), m_buffer.data() + consumed, left);
            carried = left;
        } else {
            carried = 0;
        }
        if (!IsFatNextCluster(next)) break;
        if (PastDeviceEnd(next)) {
            // What the entries there list is not known, not even how many files.
            TellPastDeviceEnd("FAT folder of first cluster " + std::to_string(firstCluster) +
                                  ": its chain goes on at cluster " + std::to_string(next) + ",",
                              next, "the folder's entries from there on cannot be read");
            break;
        }
        cluster = next;
    }
    if (zeroStart && !zeros.listedAfter) {
        ReleaseTrace("FAT folder \"%s\" (first cluster %llu): its clusters hold only zeros; the folder cannot be "
                     "read",
                     FolderName(folder), static_cast<unsigned long long>(firstCluster));
        return false;
    }
    if (m_revise) RevisePass(ctx);
    return true;
}

const char* CFATQuickWalker::FolderName(CFileNode* folder) {
    const CFATFileProperties* p = FatPropertiesOf(folder);
    return folder->GetParent() == nullptr || p == nullptr || p->GetName() == nullptr ? "(root)" : p->GetName();
}

void CFATQuickWalker::FollowZeros(ZeroRun& run, CFileNode* folder, u64 firstCluster, const u8* bytes, u64 length,
                                  u64 firstSector) {
    for (u64 at = 0; at + kFatDirEntrySize <= length; at += kFatDirEntrySize) {
        const u64 sector = firstSector + at / m_sectorSize;
        if (IsZeroEntry(bytes + at)) {
            if (!run.open) run.first = sector;
            run.open = true;
            run.last = sector;
            continue;
        }
        if (!run.open) continue;
        run.open = false;
        // Zeros followed by anything but an entry are the folder's end, or damage past it.
        if (!CFATDirEntry(bytes + at).IsValid(false)) continue;
        run.listedAfter = true;
        // A disk that failed all over gives one run in nearly every folder: past the first ones
        // they are counted, and the count said once the walk ends.
        if (m_zeroRunsTraced++ >= kMaxTracedZeroRuns) continue;
        ReleaseTrace("FAT folder \"%s\" (first cluster %llu): sectors %llu to %llu of the volume hold only zeros amid "
                     "its entries; passed over, its entries after them are listed",
                     FolderName(folder), static_cast<unsigned long long>(firstCluster),
                     static_cast<unsigned long long>(run.first), static_cast<unsigned long long>(run.last));
    }
}

void CFATQuickWalker::TellPastDeviceEnd(const std::string& where, u64 cluster, const char* what) const {
    ReleaseTrace("%s past the device's end at sector %llu of %llu: %s", where.c_str(),
                 static_cast<unsigned long long>(ClusterSector(cluster)),
                 static_cast<unsigned long long>(m_device->GetTotalSectors()), what);
}

void CFATQuickWalker::BookFolder(CFileNode* node, FolderContext& ctx, bool& kept) {
    CFATFileProperties* p = FatPropertiesOf(node);
    const u64 cluster = p->GetFirstCluster();
    DebugTrace("Find directory: %s at cluster :%x, parent :%x", p->GetName(), unsigned(cluster),
               unsigned(p->GetParentCluster()));
    kept = true;
    bool walkedBefore = false;
    auto it = m_folders.find(cluster);
    if (it == m_folders.end()) {
        m_folders[cluster] = node;
        if (m_noteNewFolders) m_newFolders.push_back(cluster);
    } else if (const bool oldLive = !IsDeletedNode(it->second) && !IsTemporaryNode(it->second);
               NamesLowWordOnly(node) && (oldLive || NamesLowWordOnly(it->second))) {
        // The entry may name a folder at a higher word of the same low word: it stays apart,
        // and is judged a duplicate only when no higher word gives it a folder of its own.
    } else if (NamesLowWordOnly(it->second) && !IsDeletedNode(node) && !IsTemporaryNode(node)) {
        // A live folder has the cluster a deleted entry named by its low word alone: the cluster
        // is the live folder's, and the deleted entry looks for its own at the higher words. What
        // a walk from the entry read there is the live folder's.
        CFileNode* old = it->second;
        it->second = node;
        if (old->GetId() == cluster && m_walkedFolders.erase(old) != 0) {
            MoveChildren(old, node);
            walkedBefore = true;
            Enqueue(old);
        }
    } else {
        CFileNode* old = it->second;
        const bool newWins = ChallengerWins(old, node, ctx.folder, cluster);
        if (newWins && ctx.strict) {
            // A lost cluster's entry describes the folder better, but the folder keeps its place
            // in the tree: it only takes the entry's name, times and state.
            IFileProperties* before = old->GetFileProperties();
            old->SetFileProperties(node->GetFileProperties());
            node->SetFileProperties(before);
            CFATFileProperties* op = FatPropertiesOf(node);
            DebugTrace("Discard a directory named %s, cur: %x, parent:%x", op->GetName(),
                       unsigned(op->GetFirstCluster()), unsigned(op->GetParentCluster()));
            kept = false;
            return;
        }
        if (newWins) {
            // A folder walked already read the cluster the new entry names: walked again the
            // new one would find it read and look for its cluster at the higher words, taking
            // another folder's files.
            walkedBefore = m_walkedFolders.count(old) != 0;
            MoveChildren(old, node);
            it->second = node;
            Supersede(old, node);
            if (!ctx.recyclePending.empty()) ctx.recyclePending.remove(old);
            CFATFileProperties* op = FatPropertiesOf(old);
            DebugTrace("Discard a directory named %s, cur: %x, parent:%x", op->GetName(), unsigned(op->GetFirstCluster()),
                       unsigned(op->GetParentCluster()));
            Discard(old);
        } else {
            DebugTrace("Discard a directory named %s, cur:%x, parent:%x", p->GetName(), unsigned(cluster),
                       unsigned(p->GetParentCluster()));
            kept = false;
            return;
        }
    }
    if (walkedBefore) {
        m_walkedFolders.insert(node);
    } else {
        Enqueue(node);
    }
    if ((p->GetState() & 1) != 0) ctx.referenceFolders.push_back(node);
}

void CFATQuickWalker::Discard(CFileNode* folder) {
    // Nothing reads a discarded folder's properties again: only the node waits for the walk's end.
    if (IFileProperties* properties = folder->GetFileProperties()) {
        folder->SetFileProperties(nullptr);
        properties->Release();
    }
    m_discardedNodes.emplace_back(folder);
    m_discarded.insert(folder);
    m_walkedFolders.erase(folder);
    if (m_queued.erase(folder) != 0) ++m_discardedQueued;
}

void CFATQuickWalker::DropDiscarded() {
    if (m_discardedNodes.empty()) return;
    const auto discarded = [this](CFileNode* node) { return IsDiscarded(node); };
    std::erase_if(m_queue, discarded);
    std::erase_if(m_later, discarded);
    std::erase_if(m_deferred, discarded);
    m_discardedQueued = 0;
    std::unordered_set<CFileNode*> parents;
    for (const TreeNodePtr& d : m_discardedNodes) {
        if (d->GetParent() != nullptr) parents.insert(d->GetParent());
    }
    std::vector<CFileNode*> kept;
    for (CFileNode* parent : parents) {
        kept.clear();
        while (CFileNode* child = parent->GetFirstChild()) {
            parent->RemoveChild(child);
            if (!IsDiscarded(child)) kept.push_back(child);
        }
        // Children are added in front: in reverse, they come back in their order.
        for (auto it = kept.rbegin(); it != kept.rend(); ++it) parent->AddChild(*it);
    }
    m_discardedNodes.clear();
    m_discarded.clear();
}

i64 CFATQuickWalker::ParseFolderBuffer(const u8* buffer, u32 length, FolderContext& ctx) {
    CFATFileProperties* parentProps = FatPropertiesOf(ctx.folder);
    const bool parentDeleted = (parentProps->GetState() & 1) != 0;
    const u64 parentCluster = parentProps->GetFirstCluster();
    const bool inRecycleBin = IsInRecycleBin(ctx.folder);
    i64 runStart = -1;
    u32 dots = 0;

    for (u32 offset = 0; offset + kFatDirEntrySize <= length; offset += kFatDirEntrySize) {
        const u8* raw = buffer + offset;
        CFATDirEntry entry(raw);
        if (!entry.IsValid(false)) {
            runStart = -1;
            if (ctx.strict) return offset;
            continue;
        }
        if (entry.IsLongNameEntry()) {
            if (runStart < 0) runStart = offset;
            continue;
        }
        if (entry.IsVolumeLabel()) {
            runStart = -1;
            continue;
        }
        if (raw[0] == '.') {
            runStart = -1;
            if (++dots >= 3) return -1;
            continue;
        }
        const u32 begin = runStart >= 0 ? u32(runStart) : offset;
        runStart = -1;
        const bool isDirectory = entry.IsDirectory();
        const bool deleted = entry.IsDeleted();

        if (!isDirectory && !deleted && !parentDeleted && !m_keepTree) {
            if (m_revise) {
                if (CFileNode* ref = MakeReferenceNode(buffer + begin, offset + kFatDirEntrySize - begin,
                                                       entry.GetFirstCluster(), ctx)) {
                    ctx.referenceFiles.push_back(ref);
                }
            }
            continue;
        }
        if (m_revise && isDirectory && !deleted) {
            if (CFileNode* ref = MakeReferenceNode(buffer + begin, offset + kFatDirEntrySize - begin,
                                                   entry.GetFirstCluster(), ctx)) {
                ctx.referenceFolders.push_back(ref);
            }
        }

        const u64 cluster = entry.GetFirstCluster();
        if (cluster > 2 && cluster - 2 >= m_volumeClusterLimit) {
            if (ctx.strict) return offset;
            continue;
        }
        if (isDirectory && PastDeviceEnd(cluster)) {
            // The folder is passed over, and the log says which. A file there is kept: its bytes
            // are counted as unread where it is recovered.
            TellPastDeviceEnd("FAT folder of first cluster " + std::to_string(cluster) +
                                  ", listed in the folder of first cluster " + std::to_string(parentCluster) + ", lies",
                              cluster, "its entries cannot be read");
            continue;
        }
        // An entry naming its own folder is passed over. The FAT32 root has no cluster 0: a
        // deleted folder's entry there that names 0 lost the high word of its first cluster.
        const bool lostHighWord = isDirectory && cluster == 0 && (deleted || parentDeleted) && m_fsCode == kFsFat32;
        if (cluster == parentCluster && !lostHighWord) continue;

        PropertiesRef<CFATFileProperties> properties =
            CreateFATFilePropertiesFromEntries(buffer + begin, offset + kFatDirEntrySize - begin);
        TreeNodePtr made = properties ? CreateFileNode() : nullptr;
        if (!made) continue;
        CFATFileProperties* p = properties.get();
        if (parentDeleted) p->SetState(1);
        p->SetParentCluster(u32(parentCluster));
        p->SetFirstCluster(u32(cluster));
        made->SetFileProperties(properties.release());
        CFileNode* node = made.get();
        node->SetParentId(ctx.folder->GetId());
        node->SetId(cluster);

        if (!isDirectory) {
            DebugTrace("Found a File %s!", p->GetName());
            // A live file's chain is in the FAT; a deleted one's clusters are taken in a row.
            const bool liveChain = !deleted && !parentDeleted;
            CFATDataRunList* runs = BuildFATRuns(m_geometry, u32(cluster), p->GetSize(), !liveChain);
            if (runs == nullptr) {
                DebugTrace("Failed build Datarun list!");
                continue;
            }
            p->SetDataRunList(runs);
            // A live file the complete scan keeps is a reference as the deleted-file scan's live
            // reference nodes are: its neighbours' estimates read its first cluster.
            ctx.referenceFiles.push_back(node);
        } else {
            bool kept = false;
            BookFolder(node, ctx, kept);
            if (!kept) continue;
        }

        ctx.folder->AddChild(made.release());
        if (inRecycleBin) {
            if (CFileNode* companion = FindRecycleBinPair(ctx.recyclePending, node)) {
                const bool nodeIsInfo = IsRecycleBinInfoFile(node);
                RestoreRecycledFileName(m_device, nodeIsInfo ? companion : node, nodeIsInfo ? node : companion);
            }
        }
        if (isDirectory && (p->GetState() & 1) != 0) {
            m_deferred.push_back(node);
        } else {
            Hand(node);
        }
    }
    if (runStart >= 0) {
        DebugTrace("Unporcessed long file name directory entry at %d", int(runStart));
        return runStart;
    }
    return length;
}

void CFATQuickWalker::RevisePass(FolderContext& ctx) {
    ctx.referenceFiles.insert(ctx.referenceFiles.end(), ctx.referenceFolders.begin(), ctx.referenceFolders.end());
    if (!m_discarded.empty()) {
        std::erase_if(ctx.referenceFiles, [this](CFileNode* node) { return IsDiscarded(node); });
    }
    CFATFileProperties* folderProps = FatPropertiesOf(ctx.folder);
    if (folderProps->GetFirstCluster() >= kFatHighWordStep) return;
    const u64 clusterBytes = u64(m_spc) * m_sectorSize;
    // Read once for the folder: the revised runs change no entry the estimates look at.
    const CFatReviseReferences references(ctx.referenceFiles);
    for (CFileNode* node : ctx.referenceFiles) {
        CFATFileProperties* p = FatPropertiesOf(node);
        if (p == nullptr || p->GetState() != 1 || node->GetParent() != ctx.folder) continue;
        const u64 recorded = p->GetFirstCluster();
        if (HasKnownFileHeader(m_device, m_dataStart, m_spc, recorded, m_analysers)) continue;
        FILETIME64 created = 0;
        p->GetCreationTime(created);
        const u64 estimate = references.Estimate(node, p->GetSize(), recorded, created, clusterBytes);
        if (estimate == recorded || estimate > 0xFFFFFFFFu) continue;
        // A cluster a live chain holds is no deleted file's any more: its bytes are another file's.
        if (!m_fatless && IsCluster(estimate) && m_fat->GetEntry(u32(estimate)) != 0) continue;
        CFATDataRunList* runs = BuildFATRuns(m_geometry, u32(estimate), p->GetSize(), true);
        if (runs != nullptr) p->SetDataRunList(runs);
    }
}
}  // namespace

bool CheckFATBootSector(const u8* sector, u64 partitionStart, IStorageDevice* device, u32& fatCode) {
    fatCode = kFsUnknown;
    const u32 sectorSize = device != nullptr ? device->GetSectorSize() : 512;
    CFATDBR dbr(sector, sectorSize);
    if (!dbr.IsValid()) return false;
    if (u64(dbr.GetFATCount()) * dbr.GetFATSize() > dbr.GetTotalSectors()) return false;
    if (device == nullptr) return false;
    std::vector<u8> buffer(sectorSize, 0);
    const u64 copy1 = partitionStart + dbr.GetReservedSectors();
    const u64 copy2 = copy1 + dbr.GetFATSize();
    bool found = false;
    for (u64 at : {copy1, copy2}) {
        if (!device->Read(buffer.data(), at, 1)) continue;
        if (IsFATStartSector(buffer.data(), sectorSize, fatCode)) found = true;
    }
    return found;
}

u32 NextLostFolderNumber() {
    static std::atomic<u32> counter{0};
    return counter.fetch_add(1);
}

CFATQuickSearch::CFATQuickSearch() : m_record(512) {}

CFATQuickSearch::~CFATQuickSearch() { DestroySubtree(m_tree); }

const std::vector<IRawFileAnalyser*>& CFATQuickSearch::GetReviseAnalysers() {
    if (!m_analysersSet) {
        m_analysers = GetFatReviseAnalysers();
        m_analysersSet = true;
    }
    return m_analysers;
}

namespace {
// Says in the log why a volume whose boot sector is sound cannot be walked: neither FAT copy
// where it puts them begins with the FAT's marks (both zeroed, or unreadable), and without a FAT
// no folder's clusters can be followed.
void TellWhyNoBootSector(IStorageDevice* device) {
    const u32 sectorSize = device->GetSectorSize();
    std::vector<u8> sector(sectorSize, 0);
    for (const u64 at : {u64(0), kFatBackupBootSector}) {
        if (!device->Read(sector.data(), at, 1)) continue;
        const CFATDBR dbr(sector.data(), sectorSize);
        if (!dbr.IsValid()) continue;
        const u64 copy1 = dbr.GetReservedSectors();
        ReleaseTrace("FAT boot sector at sector %llu is sound, but neither FAT copy (sectors %llu and %llu of the volume) begins "
                     "with the FAT's marks: without a FAT the volume's folders cannot be followed",
                     static_cast<unsigned long long>(at), static_cast<unsigned long long>(copy1),
                     static_cast<unsigned long long>(copy1 + dbr.GetFATSize()));
        return;
    }
}
}  // namespace

u32 CFATQuickSearch::Search(IStorageDevice* device, IProgress* progress) {
    if (device == nullptr || progress == nullptr || m_builder == nullptr) return kFatQuickMissingArgument;
    m_device = device;
    m_progress = progress;
    const u32 sectorSize = device->GetSectorSize();
    m_record = CFATSearchedPartitionInfo(sectorSize);
    m_record.SetPartitionStart(0);
    m_record.SetFileSystemCode(kFsFat32);
    m_record.SetSectorsPerCluster(1);
    const u64 total = device->GetTotalSectors();
    m_record.SetTotalSectors(total > 0 ? total - 1 : 0);

    if (!IsUsableFatSectorSize(sectorSize)) {
        ReleaseTrace("Failed to read DBR information!");
        return kFatQuickNoBootSector;
    }
    // One sector of the device's own size: the boot sector is judged in its first 512 bytes.
    std::vector<u8> sector(sectorSize, 0);
    u32 fatCode = kFsUnknown;
    bool usable = device->Read(sector.data(), 0, 1) && CheckFATBootSector(sector.data(), 0, device, fatCode);
    if (!usable) {
        std::fill(sector.begin(), sector.end(), 0);
        usable = device->Read(sector.data(), kFatBackupBootSector, 1) &&
                 CheckFATBootSector(sector.data(), 0, device, fatCode);
    }
    const bool fatless = m_options.keepTree && !m_options.loadFat1 && !m_options.loadFat2;
    if (!usable && fatless) {
        // Both FAT copies are gone: the boot sector (a stand-in) stands without their marks.
        std::fill(sector.begin(), sector.end(), 0);
        usable = device->Read(sector.data(), 0, 1) && CFATDBR(sector.data(), sectorSize).IsValid();
        fatCode = CFATDBR(sector.data(), sectorSize).GetFATType();
    }
    if (!usable) {
        TellWhyNoBootSector(device);
        ReleaseTrace("Failed to read DBR information!");
        return kFatQuickNoBootSector;
    }
    m_record.AddFlags((fatCode == kFsFat16 ? 0x03u : 0x0Cu) | 0xC0u);

    CFATDBR dbr(sector.data(), sectorSize);
    // The complete scan says which copies its candidate may read; the quick search reads the first,
    // and the second only where the first lost its start (a failed sector): without any FAT every
    // folder would end after its first cluster, and the deleted files further on would be lost.
    const bool loadCopy1 = (m_record.GetFlags() & 0x80) != 0 && (!m_options.keepTree || m_options.loadFat1);
    const bool loadCopy2 = m_options.keepTree ? m_options.loadFat2 : dbr.GetFATCount() > 1;
    std::unique_ptr<CDoubleFATTable> fat(CreateDoubleFATTable(device, dbr.GetReservedSectors(), dbr.GetFATType(),
                                                              dbr.GetFATSize(), loadCopy1, loadCopy2));
    {
        CFATQuickWalker walker(*this, device, progress, dbr, fat.get());
        walker.Run();
    }
    fat.reset();
    return progress->Continued() == 0 ? kFatQuickStopped : kFatQuickDone;
}
