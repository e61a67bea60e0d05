#include "fs/fat/FatFolderPlacement.h"

#include <algorithm>
#include <set>
#include <unordered_map>
#include <unordered_set>

#include "engine/FileNode.h"

bool FatIsAncestorOrSelf(const CFileNode* candidate, const CFileNode* node) {
    for (u32 steps = 0; node != nullptr; node = node->GetParent(), ++steps) {
        if (node == candidate || steps >= kFatMaxAncestorSteps) return true;
    }
    return false;
}

size_t ChooseLowWordFolder(FILETIME64 created, const std::vector<FatLowWordCandidate>& candidates) {
    std::vector<size_t> sameTime;
    std::vector<size_t> open;
    for (size_t i = 0; i < candidates.size(); ++i) {
        const FILETIME64 dot = candidates[i].dotCreated;
        if (created != 0 && dot == created) sameTime.push_back(i);
        if (created == 0 || dot == 0 || dot == created) open.push_back(i);
    }
    const std::vector<size_t>& timeAllows = sameTime.empty() ? open : sameTime;
    if (timeAllows.size() == 1) return timeAllows.front();
    size_t only = kFatNoLowWordChoice;
    for (const size_t i : timeAllows) {
        if (!candidates[i].namesListingFolder) continue;
        if (only != kFatNoLowWordChoice) return kFatNoLowWordChoice;
        only = i;
    }
    return only;
}

u64 CFatFolderPlacement::RingEntry(const std::map<u64, u64>& parentOf, u64 lowestLeft,
                                   const std::unordered_set<u64>& handled) {
    // Every folder left waits for another one left, so the walk up from any of them ends in a
    // ring; the folders on the way are below it.
    std::unordered_set<u64> seen;
    u64 at = lowestLeft;
    while (seen.insert(at).second) {
        const auto up = parentOf.find(at);
        if (up == parentOf.end() || parentOf.count(up->second) == 0 || handled.count(up->second) != 0) return at;
        at = up->second;
    }
    // `at` is on the ring: its lowest cluster is the entry, whatever folder the walk began at.
    u64 entry = at;
    for (u64 c = parentOf.at(at); c != at; c = parentOf.at(c)) entry = std::min(entry, c);
    return entry;
}

void CFatFolderPlacement::Place(const std::map<u64, u64>& parentOf) {
    // Each folder is looked at a bounded number of times, however deep they nest.
    std::unordered_map<u64, std::vector<u64>> waiting;  // parent cluster -> folders waiting for it
    std::set<u64> parentUnknown;  // waiting for a parent that is none of these
    std::vector<u64> ready;
    for (const auto& [cluster, parent] : parentOf) {
        if (parent == kFatNoParentCluster || m_host.FolderAt(parent) != nullptr) {
            ready.push_back(cluster);
            continue;
        }
        waiting[parent].push_back(cluster);
        if (parentOf.count(parent) == 0) parentUnknown.insert(cluster);
    }
    std::unordered_set<u64> handled;
    auto lowestLeft = parentOf.begin();
    while (!m_host.Stopped()) {
        // Folders found since the last look free those waiting for them.
        for (const u64 known : m_host.TakeFound()) {
            const auto freed = waiting.find(known);
            if (freed == waiting.end()) continue;
            ready.insert(ready.end(), freed->second.begin(), freed->second.end());
            waiting.erase(freed);
        }
        if (ready.empty()) {
            // No folder is known for any of those left. Those whose parent none of them is go
            // under "Lost Folders" together: a walk of any of them may find another's parent, and
            // Rehome moves it there once every walk has run.
            for (const u64 cluster : parentUnknown) {
                if (handled.count(cluster) == 0) ready.push_back(cluster);
            }
            parentUnknown.clear();
            if (ready.empty()) {
                while (lowestLeft != parentOf.end() && handled.count(lowestLeft->first) != 0) ++lowestLeft;
                if (lowestLeft == parentOf.end()) break;
                ready.push_back(RingEntry(parentOf, lowestLeft->first, handled));
            }
        }
        std::sort(ready.begin(), ready.end());
        std::vector<u64> level;
        level.swap(ready);
        bool placed = false;
        bool outOfMemory = false;
        for (const u64 cluster : level) {
            if (!handled.insert(cluster).second) continue;
            // Those waiting for it follow once it is placed, or found by a walk meanwhile.
            if (const auto below = waiting.find(cluster); below != waiting.end()) {
                ready.insert(ready.end(), below->second.begin(), below->second.end());
                waiting.erase(below);
            }
            if (m_host.IsReached(cluster)) continue;
            const u64 parent = parentOf.at(cluster);
            CFileNode* under = parent != kFatNoParentCluster ? m_host.FolderAt(parent) : nullptr;
            const bool lost = under == nullptr;
            if (lost) under = m_host.LostFolders();
            outOfMemory = under == nullptr;
            if (outOfMemory) break;
            CFileNode* folder = m_host.AddFolder(under, cluster, parent);
            outOfMemory = folder == nullptr;
            if (outOfMemory) break;
            if (lost && parent != kFatNoParentCluster) m_released.push_back({folder, parent});
            placed = true;
        }
        if (outOfMemory) break;
        if (placed) m_host.WalkQueued();
    }
}

void CFatFolderPlacement::Rehome() {
    CFileNode* lostFolders = nullptr;
    for (const Released& r : m_released) {
        if (m_host.Stopped()) break;
        if (lostFolders == nullptr) lostFolders = m_host.LostFolders();
        if (r.folder->GetParent() != lostFolders) continue;
        CFileNode* parent = m_host.FolderAt(r.parent);
        // A parent a walk found below the folder itself leaves the folder where it is: the ring
        // it is part of enters "Lost Folders" through it.
        if (parent == nullptr || FatIsAncestorOrSelf(r.folder, parent)) continue;
        m_host.MoveFolder(r.folder, parent);
    }
    m_released.clear();
}
