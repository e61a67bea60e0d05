#include "fs/fat/FatFolderPlacement.h"

#include <algorithm>
#include <set>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "engine/FileNode.h"
#include "fs/fat/FatDirEntry.h"
#include "fs/fat/FatFileProperties.h"
#include "platform/Log.h"

bool FatIsAncestorOrSelf(const CFileNode* candidate, const CFileNode* node) {
    for (u32 steps = 0; node != nullptr; node = node->GetParent(), ++steps) {
        if (node == candidate || steps >= kFatMaxAncestorSteps) return true;
    }
    return false;
}

bool FatNamesLowWordOnly(bool fat32, u32 state, u64 firstCluster) {
    return fat32 && state == kFatDeletedState && !FatNamesHighWord(firstCluster);
}

FatClaimOutcome JudgeClusterClaim(const FatFolderClaim& holder, const FatFolderClaim& challenger) {
    const bool holderLive = !holder.deleted && !holder.temporary;
    const bool challengerLive = !challenger.deleted && !challenger.temporary;
    if (challenger.lowWordOnly && (holderLive || holder.lowWordOnly)) return FatClaimOutcome::kChallengerLooksHigher;
    if (holder.lowWordOnly && challengerLive) return FatClaimOutcome::kHolderLooksHigher;
    return FatClaimOutcome::kDuplicates;
}

bool FatChallengerReplaces(const FatFolderClaim& holder, const FatFolderClaim& challenger, const DotDotMatcher& home) {
    if (!holder.deleted && !challenger.deleted) {
        ReleaseTrace("Some thing must be wrong! \t\t\t\t\t\t\tWe found two undeleted directory got the same first "
                     "cluster number!");
        return false;
    }
    if (!holder.deleted) return false;
    if (!challenger.deleted) return true;
    // A folder the search made has no entry of its own: its place came from its ".." already,
    // and an entry found for it gives it its name.
    if (!holder.temporary && !challenger.temporary) {
        const DotDotMatch holderHome = home(holder.listedIn);
        const DotDotMatch challengerHome = home(challenger.listedIn);
        if (holderHome != challengerHome) return challengerHome > holderHome;
    }
    return challenger.modified > holder.modified;
}

std::vector<size_t> ChooseLowWordFolders(const std::vector<FatLowWordEntry>& entries,
                                         const std::vector<FatLowWordCandidate>& candidates,
                                         const FatNamesListingFolder& namesListingFolder) {
    std::vector<size_t> choice(entries.size(), kFatNoLowWordChoice);
    // Entries of one low word choose among its candidates only: each low word is a choice of its
    // own, so that many low words cost no more than each alone.
    std::unordered_map<u64, std::pair<std::vector<size_t>, std::vector<size_t>>> byLowWord;
    for (size_t e = 0; e < entries.size(); ++e) byLowWord[entries[e].lowWord].first.push_back(e);
    for (size_t c = 0; c < candidates.size(); ++c) {
        const auto group = byLowWord.find(candidates[c].cluster & kFatLowWordMask);
        if (group != byLowWord.end()) group->second.second.push_back(c);
    }
    std::vector<bool> taken(candidates.size(), false);
    for (const auto& [lowWord, group] : byLowWord) {
        const auto& [ofEntries, ofCandidates] = group;
        // The candidate the entry names among those still open, in the round of time (byTime) or
        // of ".."; kFatNoLowWordChoice when that round does not tell.
        const auto pick = [&](const FatLowWordEntry& entry, bool byTime) {
            std::vector<size_t> sameTime;
            std::vector<size_t> byDotDot;
            for (const size_t c : ofCandidates) {
                if (taken[c]) continue;
                const FatLowWordCandidate& candidate = candidates[c];
                if (entry.created != 0 && candidate.dotCreated == entry.created) {
                    sameTime.push_back(c);
                } else if ((entry.created == 0 || candidate.dotCreated == 0) &&
                           namesListingFolder(candidate.dotDot, entry.listedIn)) {
                    byDotDot.push_back(c);
                }
            }
            // A folder of the entry's own time is its, whatever else names its folder.
            if (!sameTime.empty()) {
                if (!byTime) return kFatNoLowWordChoice;
                if (sameTime.size() == 1) return sameTime.front();
                size_t only = kFatNoLowWordChoice;
                for (const size_t c : sameTime) {
                    if (!namesListingFolder(candidates[c].dotDot, entry.listedIn)) continue;
                    if (only != kFatNoLowWordChoice) return kFatNoLowWordChoice;
                    only = c;
                }
                return only;
            }
            return !byTime && byDotDot.size() == 1 ? byDotDot.front() : kFatNoLowWordChoice;
        };
        // Each pass that moves something takes a candidate: at most as many passes as candidates.
        std::unordered_map<size_t, u32> pickers;
        std::vector<size_t> picked(ofEntries.size());
        for (bool moved = !ofCandidates.empty(); moved;) {
            moved = false;
            for (const bool byTime : {true, false}) {
                pickers.clear();
                for (size_t i = 0; i < ofEntries.size(); ++i) {
                    const size_t e = ofEntries[i];
                    picked[i] = choice[e] == kFatNoLowWordChoice ? pick(entries[e], byTime) : kFatNoLowWordChoice;
                    if (picked[i] != kFatNoLowWordChoice) ++pickers[picked[i]];
                }
                for (size_t i = 0; i < ofEntries.size(); ++i) {
                    if (picked[i] == kFatNoLowWordChoice || pickers[picked[i]] != 1) continue;
                    choice[ofEntries[i]] = picked[i];
                    taken[picked[i]] = true;
                    moved = true;
                }
                // What time gave away is looked at again before ".." decides anything.
                if (moved) break;
            }
        }
    }
    return choice;
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
        if (parent == kFatLostFoldersId || m_host.FolderAt(parent) != nullptr) {
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
            CFileNode* under = parent != kFatLostFoldersId ? m_host.FolderAt(parent) : nullptr;
            const bool lost = under == nullptr;
            if (lost) under = m_host.LostFolders();
            outOfMemory = under == nullptr;
            if (outOfMemory) break;
            CFileNode* folder = m_host.AddFolder(under, cluster, parent);
            outOfMemory = folder == nullptr;
            if (outOfMemory) break;
            if (lost && parent != kFatLostFoldersId) m_released.push_back({folder, cluster, parent});
            placed = true;
        }
        if (outOfMemory) break;
        if (placed) m_host.WalkQueued();
    }
}

void CFatFolderPlacement::Rehome() {
    std::sort(m_released.begin(), m_released.end(),
              [](const Released& a, const Released& b) { return a.cluster > b.cluster; });
    CFileNode* lostFolders = nullptr;
    for (const Released& r : m_released) {
        if (m_host.Stopped()) break;
        if (lostFolders == nullptr) lostFolders = m_host.LostFolders();
        if (r.folder->GetParent() != lostFolders) continue;
        CFileNode* parent = m_host.FolderAt(r.parent);
        // A parent a walk found below the folder itself leaves the folder where it is: the ring
        // it is part of enters "Lost Folders" through it, the lowest of the ring's folders that
        // went there.
        if (parent == nullptr || FatIsAncestorOrSelf(r.folder, parent)) continue;
        m_host.MoveFolder(r.folder, parent);
    }
    m_released.clear();
}
