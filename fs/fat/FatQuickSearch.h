#pragma once
// The deleted-file scan of a FAT16 or FAT32 volume: it confirms the boot sector, loads the FAT,
// walks the directory tree from the root and hands the tree builder the root, every deleted file
// and folder, everything inside a deleted folder, and every live folder.
#include <functional>
#include <unordered_set>
#include <utility>
#include <vector>

#include "engine/ClusterClaims.h"
#include "engine/FsServices.h"
#include "fs/fat/FatFileProperties.h"
#include "fs/fat/FatFolderPlacement.h"
#include "fs/fat/FatSearchedPartitionInfo.h"

class CFileSystemNode;
class IRawFileAnalyser;

// Search results.
constexpr u32 kFatQuickDone = 0;
constexpr u32 kFatQuickMissingArgument = 0xCD0005;
constexpr u32 kFatQuickNoBootSector = 0xF20015;
constexpr u32 kFatQuickStopped = 0x148000D;

// Whether the sector is a usable FAT16/FAT32 boot sector of the volume at partitionStart whose
// FAT copies begin with their marks. fatCode receives 9, or the code of the FAT marks found
// (copy 2 decides when both copies show marks).
bool CheckFATBootSector(const u8* sector, u64 partitionStart, IStorageDevice* device, u32& fatCode);

// A folder start ("." and ".." entries) seen on the device: the folder's own first cluster and
// its parent's.
struct FatFolderSighting {
    u32 cluster = 0;
    u32 parent = 0;
};

// How the complete scan uses the walker: it keeps the whole tree, live files included, instead of
// handing entries to a builder, and gives the folder starts no walk reached a place under
// "Lost Folders".
struct FatWalkOptions {
    bool keepTree = false;
    std::vector<FatFolderSighting> folderStarts;
    // Which FAT copies the walk may read. With neither, a volume whose copies are both gone is
    // walked without a FAT (every chain read as contiguous) and its boot sector needs no FAT
    // marks.
    bool loadFat1 = true;
    bool loadFat2 = true;
    // The boot sector stands in for one that is gone, its FAT size guessed from where the data
    // area begins (no FAT copy was seen): its total alone says how far the volume reaches.
    bool fatSizeGuessed = false;
    // First clusters of folder sectors without "." and ".." seen on the device: those no walk
    // reached become "DIR" folders under "Lost Folders" with the entries they hold.
    std::vector<u32> continuationClusters;
    // Sector ranges [first, end) of the walked device where volumes found on their own lie (their
    // boot sector and a FAT copy check out). One that a file of this volume holds from its first
    // sector on is that file's content: the folder sectors there are its own, and read as this
    // volume's lost folders their entries would give files the bytes of this volume's clusters.
    std::vector<std::pair<u64, u64>> foundVolumes;
};

// A claim on a walked volume's clusters, kept for the complete scan to weigh the volume against
// those formatted over or under it. A file's claim (file not null) is what its runs read; a
// structure's (file null) is `count` sectors of the walked device from `first`.
struct FatVolumeClaim {
    IFileProperties* file = nullptr;
    ClaimAge age;
    u64 first = 0;
    u64 count = 0;
};

// Folder names the complete scan gives to folders whose own entry is gone.
constexpr const char* kFatLostFoldersName = "Lost Folders";
// The first cluster of a "DIR" folder made from a folder's later cluster: its own first cluster
// is not known.
constexpr u64 kFatContinuationFolderId = 0xFFFFFFFFu;

// The creation time of the "." entry that begins the folder at `cluster`; 0 when the cluster
// begins with none or it holds no time.
using FatDotCreationTime = std::function<FILETIME64(u32 cluster)>;

// Gives each deleted folder below `root` that came out empty the contents of the folder the search
// made for the same place: the "DIR" folder beside it whose first cluster has the entry's as its
// low 16 bits (an entry whose high word was cleared), chosen as the retry of higher words chooses
// (ChooseLowWordFolders); a "DIR" folder two entries choose stays apart. The "DIR" node, which holds the
// files, takes the entry's name, times and state with the full first cluster; the emptied node
// carries the "DIR" name. Every folder of the tree is looked at once.
void MergeTemporaryFolders(CFileNode* root, const FatDotCreationTime& dotCreated);

// The number of the next "DIR" folder: one counter for the whole process and every volume, so
// that the lost folders of two volumes never share a name.
u32 NextLostFolderNumber();

class CFATQuickSearch : public IQuickFileSystemSearchController {
public:
    CFATQuickSearch();
    ~CFATQuickSearch() override;

    void SetDirectoryTreeBuilder(IDirecotryTreeBuilder* builder) override { m_builder = builder; }
    void GetSearchedPartitions(std::vector<CSearchedPartitionInfo*>& out) override { out.push_back(&m_record); }
    u32 Search(IStorageDevice* device, IProgress* progress) override;

    // The header analysers of the revise pass; by default those the RAW registry offers.
    void SetReviseAnalysers(const std::vector<IRawFileAnalyser*>& analysers) {
        m_analysers = analysers;
        m_analysersSet = true;
    }

    void SetWalkOptions(FatWalkOptions options) { m_options = std::move(options); }
    const FatWalkOptions& GetWalkOptions() const { return m_options; }
    // The tree a walk with keepTree made (the caller owns it), or null.
    CFileSystemNode* TakeTree() {
        CFileSystemNode* t = m_tree;
        m_tree = nullptr;
        return t;
    }
    void KeepTree(CFileSystemNode* root) { m_tree = root; }
    // The volume's folder clusters the last walk read.
    const std::unordered_set<u64>& GetWalkedFolderClusters() const { return m_walked; }
    void SetWalkedFolderClusters(std::unordered_set<u64> walked) { m_walked = std::move(walked); }
    // The claims of the last walk with keepTree, its files' among them (they live as long as its
    // tree).
    std::vector<FatVolumeClaim> TakeClaims() { return std::move(m_claims); }
    void KeepClaims(std::vector<FatVolumeClaim> claims) { m_claims = std::move(claims); }
    // The folder sightings the last walk left to volumes stored in its files, and how many such
    // volumes it found.
    u64 GetSightingsLeftToStoredVolumes() const { return m_leftToStored; }
    size_t GetStoredVolumeCount() const { return m_storedVolumes; }
    void SetStoredVolumeSightings(u64 left, size_t volumes) {
        m_leftToStored = left;
        m_storedVolumes = volumes;
    }

    IDirecotryTreeBuilder* GetBuilder() const { return m_builder; }
    CFATSearchedPartitionInfo& GetRecord() { return m_record; }
    const std::vector<IRawFileAnalyser*>& GetReviseAnalysers();

private:
    IDirecotryTreeBuilder* m_builder = nullptr;
    IStorageDevice* m_device = nullptr;
    IProgress* m_progress = nullptr;
    CFATSearchedPartitionInfo m_record;
    std::vector<IRawFileAnalyser*> m_analysers;
    bool m_analysersSet = false;
    FatWalkOptions m_options;
    CFileSystemNode* m_tree = nullptr;
    std::unordered_set<u64> m_walked;
    std::vector<FatVolumeClaim> m_claims;
    u64 m_leftToStored = 0;
    size_t m_storedVolumes = 0;
};
