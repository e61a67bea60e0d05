#pragma once
// Where a folder that no entry names goes: under the folder its ".." names, whether a walk found
// that folder or it was placed here by its own "..", whatever the order of their clusters; under
// "Lost Folders" only when no folder has the cluster its ".." names. And the rules of a cluster two
// folders claim: which keeps it, and which folder start at a higher word a deleted FAT32 entry that
// lost the high word of its first cluster names. Both scans of a FAT volume follow these rules.
#include <functional>
#include <map>
#include <unordered_set>
#include <vector>

#include "platform/Types.h"

class CFileNode;

// The id of "Lost Folders", and what a folder start whose ".." names no parent is placed under
// (its ".." names its own cluster, or no folder start).
constexpr u64 kFatLostFoldersId = 0xFFFFFFFFu;

// Levels an ancestor test climbs. No path on a FAT volume is longer than 260 characters, so no
// real folder lies deeper; a damaged volume can nest folders thousands of levels deep, and a walk
// to the root for each of their entries made the search's time grow with the square of the depth.
constexpr u32 kFatMaxAncestorSteps = 260;

// Whether candidate is node or one of its ancestors. A chain longer than the bound counts as
// holding it: the caller then keeps the tree as it is, which never moves a folder below itself.
bool FatIsAncestorOrSelf(const CFileNode* candidate, const CFileNode* node);

// What the placement asks of the walk that owns the tree.
class IFatFolderPlacementHost {
public:
    virtual ~IFatFolderPlacementHost() = default;
    // The folder at the cluster, found by a walk or placed; null when there is none.
    virtual CFileNode* FolderAt(u64 cluster) const = 0;
    // Whether a walk read the cluster as a folder's, or a folder starting there is in the tree.
    virtual bool IsReached(u64 cluster) const = 0;
    // "Lost Folders", made on first need; null when memory runs out.
    virtual CFileNode* LostFolders() = 0;
    // A folder for the folder start at `cluster` whose ".." names `parentCluster`, linked under
    // `under` and queued for its walk; null when memory runs out.
    virtual CFileNode* AddFolder(CFileNode* under, u64 cluster, u64 parentCluster) = 0;
    // Walks the folders queued so far.
    virtual void WalkQueued() = 0;
    // The clusters folders were found at by walks since the last call.
    virtual std::vector<u64> TakeFound() = 0;
    // Moves a folder from under "Lost Folders" to under `parent`.
    virtual void MoveFolder(CFileNode* folder, CFileNode* parent) = 0;
    virtual bool Stopped() const = 0;
};

// What the walk knows of a folder that claims a cluster.
struct FatFolderClaim {
    bool deleted = false;
    bool temporary = false;    // made by the search for a folder start no entry named
    bool lowWordOnly = false;  // see FatNamesLowWordOnly
    FILETIME64 modified = 0;
    u64 listedIn = 0;  // the cluster of the folder that lists its entry
};

// Whether a folder entry names its folder by the low word of its first cluster alone: a deleted
// FAT32 entry whose high word is 0, as many systems clear it on deletion. Where another folder
// has the cluster its low word names, its own folder may lie at a higher word.
bool FatNamesLowWordOnly(bool fat32, u32 state, u64 firstCluster);

// How a folder's ".." names the folder an entry of it is listed in.
enum class DotDotMatch { kNone, kLowWord, kExact };
// How the ".." of the folder at the cluster both entries name names the folder at a cluster.
using DotDotMatcher = std::function<DotDotMatch(u64 listingFolder)>;

// What becomes of two folders that claim one cluster: the holder, which has it now, and the
// challenger, met later.
enum class FatClaimOutcome {
    // The challenger names the cluster by its low word alone, where a live folder or another such
    // entry holds it: its own folder may lie at a higher word, and it looks there; the holder keeps
    // the cluster.
    kChallengerLooksHigher,
    // The other way round: the live challenger takes the cluster, and the holder, which read it
    // by its low word alone, looks at the higher words.
    kHolderLooksHigher,
    // Two entries of one folder: FatChallengerReplaces says which stays.
    kDuplicates,
};
FatClaimOutcome JudgeClusterClaim(const FatFolderClaim& holder, const FatFolderClaim& challenger);

// Of two entries of one folder, whether the challenger replaces the holder. A live one beats a
// deleted one and the first of two live ones stays. Of two deleted ones, the one in the folder
// the folder's ".." names wins (`home`, asked only then): a folder moved away leaves a deleted
// entry at its old place, its ".." rewritten by the move; a ".." that names a folder exactly beats
// one that only shares its low word. Else the later written one wins, the holder on equal times.
// A folder the search made gives way to an entry, never to another such folder.
bool FatChallengerReplaces(const FatFolderClaim& holder, const FatFolderClaim& challenger, const DotDotMatcher& home);

// A deleted FAT32 folder entry whose first cluster lost its high word (the low word only).
struct FatLowWordEntry {
    u64 lowWord = 0;
    FILETIME64 created = 0;  // 0 when the entry holds no creation time
    u64 listedIn = 0;        // the cluster of the folder that lists it
};

// A folder start at a higher word such an entry may name.
struct FatLowWordCandidate {
    u64 cluster = 0;
    FILETIME64 dotCreated = 0;            // its "." entry's creation time; 0 when it holds none
    u64 dotDot = kFatLostFoldersId;  // the cluster its ".." names
};

// Whether a folder whose ".." names `dotDot` is listed in the folder at `listedIn`.
using FatNamesListingFolder = std::function<bool(u64 dotDot, u64 listedIn)>;

constexpr size_t kFatNoLowWordChoice = ~size_t(0);

// Which folder start each entry names: for entry i, the index of its candidate, or
// kFatNoLowWordChoice. A folder's "." entry is written with the folder's own entry and keeps its
// creation time: a candidate is an entry's when its time is the entry's (of several such, the one
// alone whose ".." names the folder listing the entry), or, where either time is unknown (many
// cameras write none), when it alone of the entry's candidates names that folder in "..". One
// whose known time differs is another folder's, and one that names neither by time nor by ".."
// is no entry's: it stays a folder of its own. Entries whose time decides claim first; a
// candidate two entries choose is neither's; what one takes is no longer open to the others, and
// the choice runs until nothing moves, so the order the entries are listed in changes nothing.
// The retry of higher words of both scans and the merge of the folders the complete scan made for
// such folder starts choose by this rule.
std::vector<size_t> ChooseLowWordFolders(const std::vector<FatLowWordEntry>& entries,
                                         const std::vector<FatLowWordCandidate>& candidates,
                                         const FatNamesListingFolder& namesListingFolder);

class CFatFolderPlacement {
public:
    explicit CFatFolderPlacement(IFatFolderPlacementHost& host) : m_host(host) {}

    // Places the folder starts of `parentOf` (cluster -> the cluster its ".." names, or
    // kFatLostFoldersId), each once. A folder waits for the folder its ".." names: one of these,
    // or one a walk finds. When none is ready, every folder whose parent is none of these goes
    // under "Lost Folders" at once, so that all their walks run before any is judged parentless;
    // what is left then hangs in or below rings of folders naming each other, and each ring enters
    // "Lost Folders" through its own lowest cluster, everything below it nesting under it.
    void Place(const std::map<u64, u64>& parentOf);

    // Moves each folder that went under "Lost Folders" while the folder its ".." names was not
    // found under that folder, where a walk has found it since and it does not lie below the
    // folder itself. Highest cluster first: where walks close a ring, every folder of it but the
    // last moved finds its parent, so the ring enters "Lost Folders" through its lowest cluster as
    // a ring of ".." alone does. Called once every walk has run.
    void Rehome();

private:
    // The ring that the folders left (those of parentOf not yet handled) hang in or below: its
    // lowest cluster, reached from the lowest cluster left along the ".." of each.
    static u64 RingEntry(const std::map<u64, u64>& parentOf, u64 lowestLeft, const std::unordered_set<u64>& handled);

    struct Released {
        CFileNode* folder;
        u64 cluster;
        u64 parent;
    };
    IFatFolderPlacementHost& m_host;
    std::vector<Released> m_released;
};
