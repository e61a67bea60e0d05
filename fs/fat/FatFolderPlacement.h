#pragma once
// Where a folder that no entry names goes: under the folder its ".." names, whether a walk found
// that folder or it was placed here by its own "..", whatever the order of their clusters; under
// "Lost Folders" only when no folder has the cluster its ".." names. Both scans of a FAT volume
// place such folders through this one rule.
#include <map>
#include <unordered_set>
#include <vector>

#include "platform/Types.h"

class CFileNode;

// What a folder's ".." names when it names no parent (its own cluster, or no folder start).
constexpr u64 kFatNoParentCluster = 0xFFFFFFFFu;

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

// A folder start that a deleted entry whose first cluster lost its high word may name: one at the
// entry's low word in a higher 65,536-cluster block.
struct FatLowWordCandidate {
    u64 cluster = 0;
    FILETIME64 dotCreated = 0;        // its "." entry's creation time; 0 when it holds none
    bool namesListingFolder = false;  // its ".." names the folder that lists the entry
};

constexpr size_t kFatNoLowWordChoice = ~size_t(0);

// Which of the candidates the entry created at `created` (0 when unknown) names, or
// kFatNoLowWordChoice. A folder's "." entry is written with the folder's own entry and keeps its
// creation time: one whose known time differs is another folder's, and one whose time matches is
// taken before those without a time. Many cameras write no creation time: then a lone candidate
// is taken, or of several the one alone whose ".." names the folder listing the entry; else the
// entry could be any one's. Both the retry of higher words and the merge of the folders a scan
// made for such folder starts choose by this rule.
size_t ChooseLowWordFolder(FILETIME64 created, const std::vector<FatLowWordCandidate>& candidates);

class CFatFolderPlacement {
public:
    explicit CFatFolderPlacement(IFatFolderPlacementHost& host) : m_host(host) {}

    // Places the folder starts of `parentOf` (cluster -> the cluster its ".." names, or
    // kFatNoParentCluster), each once. A folder waits for the folder its ".." names: one of these,
    // or one a walk finds. When none is ready, every folder whose parent is none of these goes
    // under "Lost Folders" at once, so that all their walks run before any is judged parentless;
    // what is left then hangs in or below rings of folders naming each other, and each ring enters
    // "Lost Folders" through its own lowest cluster, everything below it nesting under it.
    void Place(const std::map<u64, u64>& parentOf);

    // Moves each folder that went under "Lost Folders" while the folder its ".." names was not
    // found under that folder, where a walk has found it since and it does not lie below the
    // folder itself. Called once every walk has run.
    void Rehome();

private:
    // The ring that the folders left (those of parentOf not yet handled) hang in or below: its
    // lowest cluster, reached from the lowest cluster left along the ".." of each.
    static u64 RingEntry(const std::map<u64, u64>& parentOf, u64 lowestLeft, const std::unordered_set<u64>& handled);

    struct Released {
        CFileNode* folder;
        u64 parent;
    };
    IFatFolderPlacementHost& m_host;
    std::vector<Released> m_released;
};
