// The walker's folders that no entry names: folder starts found at the higher words of a deleted
// entry's cluster or seen on the device by the complete scan, the retry of higher words that
// decides which of them an entry names, and "Lost Folders".
#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "devices/StorageDevice.h"
#include "fs/fat/FatDirEntry.h"
#include "fs/fat/FatQuickWalker.h"
#include "platform/Log.h"

namespace {

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

}  // namespace

namespace fatwalk {

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

FILETIME64 CreationTimeOfDot(const u8* entries) {
    const CFATDirEntry dot(entries);
    if (!dot.IsDotEntry() || !dot.IsDirectory()) return 0;
    PropertiesRef<CFATFileProperties> props = CreateFATFilePropertiesFromEntries(entries, kFatDirEntrySize);
    FILETIME64 created = 0;
    if (props) props->GetCreationTime(created);
    return created;
}

bool CFATQuickWalker::FindLowWordStarts(u64 recorded, std::vector<FatLowWordCandidate>& starts,
                                        std::unordered_set<u64>& seen) {
    std::vector<u8> sector;
    for (u64 k = 0; k < recorded / kFatHighWordStep + kFatHighWordsTried; ++k) {
        const u64 candidate = recorded + k * kFatHighWordStep;
        // A low word of 0 or 1 is no cluster by itself: its folder lies at a higher word.
        if (candidate < kFatFirstDataCluster) continue;
        if (!IsCluster(candidate)) break;
        if (m_dirClusters.count(candidate) != 0 || m_folders.count(candidate) != 0) continue;
        if (!Continue()) return false;
        if (!ReadFolderStart(candidate, sector) || !seen.insert(candidate).second) continue;
        starts.push_back({candidate, CreationTimeOfDot(sector.data()), DotDotOf(sector.data())});
    }
    return true;
}

void CFATQuickWalker::RetryHigherWords() {
    std::vector<CFileNode*> waiting;
    waiting.swap(m_higherWordsWaiting);
    std::erase_if(waiting, [this](CFileNode* folder) { return IsDiscarded(folder); });
    // Every folder start of each low word, whoever's it is: the entries of one low word choose
    // among the same ones. Entries of one recorded cluster look at the same higher words: once.
    std::vector<FatLowWordCandidate> starts;
    std::unordered_set<u64> recordedRead;
    std::unordered_set<u64> seen;
    std::vector<FatLowWordEntry> entries;
    std::vector<CFileNode*> entryFolders;
    std::vector<CFileNode*> keptHighWord;
    for (CFileNode* folder : waiting) {
        const CFATFileProperties* p = FatPropertiesOf(folder);
        const u64 recorded = p->GetFirstCluster();
        if (recordedRead.insert(recorded).second && !FindLowWordStarts(recorded, starts, seen)) return;
        if (FatNamesHighWord(recorded)) {
            keptHighWord.push_back(folder);
            continue;
        }
        FatLowWordEntry entry{recorded, 0, folder->GetParent() != nullptr ? folder->GetParent()->GetId() : kNoHome};
        p->GetCreationTime(entry.created);
        entries.push_back(entry);
        entryFolders.push_back(folder);
    }
    std::unordered_map<u64, size_t> startsOfLowWord;
    for (const FatLowWordCandidate& start : starts) ++startsOfLowWord[start.cluster & kFatLowWordMask];
    for (CFileNode* folder : keptHighWord) {
        // The entry kept a high word, so it lost none: the folders of its low word in other blocks
        // are not its own, whatever their times. They are still folders no entry names.
        const CFATFileProperties* p = FatPropertiesOf(folder);
        if (const size_t others = startsOfLowWord[p->GetFirstCluster() & kFatLowWordMask]; others != 0) {
            ReleaseTrace("Deleted folder %s at cluster %llx kept the high word of its first cluster: the %zu folders of "
                         "its low word in other blocks are not its own",
                         p->GetName(), static_cast<unsigned long long>(p->GetFirstCluster()), others);
        }
    }
    const std::vector<size_t> choice = ChooseLowWordFolders(
        entries, starts, [this](u64 dotDot, u64 listedIn) { return MatchDotDot(dotDot, listedIn) != DotDotMatch::kNone; });
    std::vector<bool> taken(starts.size(), false);
    for (size_t e = 0; e < entries.size() && m_runState != kRunStopped; ++e) {
        CFileNode* folder = entryFolders[e];
        CFATFileProperties* p = FatPropertiesOf(folder);
        const u64 recorded = entries[e].lowWord;
        const size_t ofLowWord = startsOfLowWord[recorded];
        bool found = false;
        if (choice[e] != kFatNoLowWordChoice) {
            const u64 candidate = starts[choice[e]].cluster;
            if (ofLowWord > 1) {
                ReleaseTrace("Deleted folder %s at cluster %llx: of the %zu folders of its low word, the one at cluster "
                             "%llx is its own by time or by \"..\"",
                             p->GetName(), static_cast<unsigned long long>(recorded), ofLowWord,
                             static_cast<unsigned long long>(candidate));
            }
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
            // A folder start a walk read meanwhile is no longer open; one walked here is taken.
            taken[choice[e]] = found;
        } else if (ofLowWord != 0) {
            ReleaseTrace("Deleted folder %s at cluster %llx: %zu folders share its low word, none of them its own by "
                         "time or by \"..\"",
                         p->GetName(), static_cast<unsigned long long>(recorded), ofLowWord);
        }
        if (m_runState == kRunStopped) return;
        // Another folder has the cluster the entry names and no higher word gave it one of its own:
        // the two entries are one folder's.
        if (!found && LooksAtHigherWords(folder)) JudgeDuplicate(folder, recorded);
    }
    // The folders no entry takes may be those of entries a duplicate pushed out of the walk (an
    // older deleted entry of the same low word): the deleted-file scan places them as folders no
    // entry names, so that their files are not lost. The complete scan places them with the other
    // folder starts it saw.
    for (size_t c = 0; c < starts.size() && !m_keepTree; ++c) {
        if (!taken[c]) m_unclaimed.push_back(starts[c].cluster);
    }
}

void CFATQuickWalker::PlaceUnclaimedFolders() {
    // After the walk, so that a live entry anywhere claims its folder first; the folders placed
    // here may hold entries that leave more unclaimed. Each cluster is placed once.
    while (!m_unclaimed.empty() && m_runState != kRunStopped) {
        std::map<u64, u64> parentOf;
        for (const u64 cluster : m_unclaimed) {
            if (IsReached(cluster) || parentOf.count(cluster) != 0) continue;
            const u64 parent = DotDotCluster(cluster);
            parentOf.emplace(cluster, parent == kNoHome || parent == cluster ? kFatLostFoldersId : parent);
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
    const bool lowWordOnly = home != 0 && !FatNamesHighWord(home) && (parent & kFatLowWordMask) == home;
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
        JudgeDeletedFiles(ctx);
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
        parentOf.emplace(f.cluster, f.parent == f.cluster ? kFatLostFoldersId : u64(f.parent));
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


}  // namespace fatwalk
