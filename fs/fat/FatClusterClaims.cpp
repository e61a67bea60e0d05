// Whose bytes each cluster of a walked FAT volume holds: every file and folder of the walk, and
// the chains of the FAT copies, claim the clusters they read, and the one place that weighs claims
// says which files lost theirs to a newer one.
#include <algorithm>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "devices/FileSystemCode.h"
#include "devices/StorageDevice.h"
#include "engine/ClusterClaims.h"
#include "engine/DataRunList.h"
#include "fs/fat/FatDirEntry.h"
#include "fs/fat/FatQuickWalker.h"
#include "platform/Log.h"
#include "platform/Time.h"

namespace fatwalk {

namespace {
// Entries of the volume's walked tree. Those that deleted folders and folders the search found
// list are older than every entry of a live folder: such a folder's clusters may have been given
// again since, and what its entries name may have been written over by files whose entries
// still stand.
constexpr u32 kWalkedEntryGeneration = 2;
constexpr u32 kStaleEntryGeneration = 1;
// Sectors of the second FAT copy read at once.
constexpr u64 kFatCopyReadSectors = 256;
// The low word of a FAT32 first cluster, which Windows keeps alone in a deleted entry.
constexpr u64 kLowWordMask = 0xFFFF;
constexpr u64 kLowWordLimit = 0x10000;
constexpr u32 kFat16BadMark = 0xFFF7;
constexpr u32 kFat32EntryMask = 0x0FFFFFFF;
// Where a short entry keeps its creation and modification dates and times.
constexpr u32 kCreationTimeAt = 14;
constexpr u32 kCreationDateAt = 16;
constexpr u32 kModificationTimeAt = 22;
constexpr u32 kModificationDateAt = 24;

// A folder of the tree whose entries are stale: deleted, or made by the search for one found.
bool MakesStale(const IFileProperties* p) {
    return p != nullptr && (p->GetState() & (kFatDeletedState | kFatTemporaryState)) != 0;
}

struct ListedFile {
    CFATFileProperties* p;
    bool stale;  // a deleted or found folder lists it, directly or further up
};

// What a deleted entry's times prove of when its clusters were written. A creation time equal to
// the modification time (to the two seconds they are compared at) may not have been set by the
// volume when the file was made: a tool that keeps a source's times writes both alike, and a
// file written at once looks the same. It is then no later than the write, and bounds it from
// below only.
ClaimAge DeletedEntryAge(const CFATFileProperties& p, u32 generation) {
    ClaimAge age = AgeFromTimes(p, generation, false);
    FILETIME64 created = 0, modified = 0;
    p.GetCreationTime(created);
    p.GetModificationTime(modified);
    if (created != 0 && created == modified) age.writtenUntil = 0;
    return age;
}

FILETIME64 EntryTime(const u8* entry, u32 dateAt, u32 timeAt) {
    FILETIME64 value = 0;
    return DosDateTimeToFileTime(ReadLE16(entry + dateAt), ReadLE16(entry + timeAt), value) ? value : 0;
}
}  // namespace

FatFolderPieceAge CFATQuickWalker::FolderClaimAge(CFileNode* folder) const {
    FatFolderPieceAge result;
    const CFATFileProperties* p = FatPropertiesOf(folder);
    if (p == nullptr || (p->GetState() & kFatTemporaryState) != 0) return result;
    bool stale = false;
    for (const CFileNode* up = folder->GetParent(); up != nullptr && !stale; up = up->GetParent()) {
        stale = MakesStale(up->GetFileProperties());
    }
    const bool live = (p->GetState() & kFatDeletedState) == 0 && !stale;
    result.claims = true;
    const u32 generation = stale ? kStaleEntryGeneration : kWalkedEntryGeneration;
    result.age = live ? AgeFromTimes(*p, generation, true) : DeletedEntryAge(*p, generation);
    return result;
}

void CFATQuickWalker::NoteFolderPiece(u64 first, u64 count, const FatFolderPieceAge& age) {
    if (!age.claims || count == 0) return;
    if (!m_folderPieces.empty()) {
        FatFolderPiece& last = m_folderPieces.back();
        if (last.first + last.count == first && last.age.age.inUse == age.age.inUse &&
            last.age.age.generation == age.age.generation && last.age.age.writtenFrom == age.age.writtenFrom &&
            last.age.age.writtenUntil == age.age.writtenUntil) {
            last.count += count;
            return;
        }
    }
    m_folderPieces.push_back({first, count, age});
}

std::vector<std::pair<u64, u64>> CFATQuickWalker::ChainedClusterRuns() {
    std::vector<std::pair<u64, u64>> runs;
    if (m_fatless) return runs;
    const u32 width = m_fsCode == kFsFat32 ? 4 : m_fsCode == kFsFat16 ? 2 : 0;
    // The second copy, where it is read, as far as its sectors go and it begins as a FAT does.
    u64 copyEntries = 0;
    std::vector<u8> chunk;
    u64 chunkFirst = 0, chunkEntries = 0;
    if (width != 0 && m_secondFatStart != 0 && m_fatSectors != 0) {
        std::vector<u8> sector(m_sectorSize, 0);
        u32 code = kFsUnknown;
        if (m_device->Read(sector.data(), m_secondFatStart, 1) && IsFATStartSector(sector.data(), m_sectorSize, code)) {
            copyEntries = m_fatSectors * m_sectorSize / width;
        }
    }
    const u64 perSector = width != 0 ? m_sectorSize / width : 0;
    bool readFailed = false;
    const auto copyHolds = [&](u64 cluster) {
        if (cluster >= copyEntries) return false;
        if (cluster < chunkFirst || cluster >= chunkFirst + chunkEntries) {
            const u64 firstSector = cluster / perSector;
            const u64 sectors = std::min<u64>(kFatCopyReadSectors, m_fatSectors - firstSector);
            chunk.assign(sectors * m_sectorSize, 0);
            chunkFirst = firstSector * perSector;
            chunkEntries = sectors * perSector;
            if (!m_device->Read(chunk.data(), m_secondFatStart + firstSector, sectors)) {
                // Those entries say nothing: the first copy still answers for their clusters.
                std::fill(chunk.begin(), chunk.end(), 0);
                if (!readFailed) {
                    ReleaseTrace("FAT walk: sectors %llu-%llu of the second FAT copy could not be read; the clusters "
                                 "they give are known from the first copy only",
                                 static_cast<unsigned long long>(m_secondFatStart + firstSector),
                                 static_cast<unsigned long long>(m_secondFatStart + firstSector + sectors - 1));
                }
                readFailed = true;
            }
        }
        const u8* at = chunk.data() + (cluster - chunkFirst) * width;
        if (width == 2) {
            const u32 value = u32(at[0]) | u32(at[1]) << 8;
            return value != 0 && value != kFat16BadMark;
        }
        const u32 value = (u32(at[0]) | u32(at[1]) << 8 | u32(at[2]) << 16 | u32(at[3]) << 24) & kFat32EntryMask;
        return value != 0 && value != kFatBadCluster;
    };
    for (u64 c = kFatFirstDataCluster; IsCluster(c); ++c) {
        if (!Taken(c) && !copyHolds(c)) continue;
        if (!runs.empty() && runs.back().second == c) {
            ++runs.back().second;
        } else {
            runs.emplace_back(c, c + 1);
        }
    }
    return runs;
}

void CFATQuickWalker::NoteLiveFile(const u8* entry) {
    const CFATDirEntry view(entry);
    if (view.GetSize() == 0 || !IsCluster(view.GetFirstCluster())) return;
    // The times as the entry's properties read them (without the creation time's hundredths).
    m_liveFiles.push_back({view.GetFirstCluster(), view.GetSize(), EntryTime(entry, kCreationDateAt, kCreationTimeAt),
                           EntryTime(entry, kModificationDateAt, kModificationTimeAt), nullptr});
}

void CFATQuickWalker::WeighClaims() {
    if (m_root == nullptr) return;
    // Every file of the tree, with whether a stale folder lists it.
    std::vector<ListedFile> files;
    std::vector<std::pair<CFileNode*, bool>> pending{{m_root, false}};
    while (!pending.empty()) {
        const auto [folder, stale] = pending.back();
        pending.pop_back();
        for (CFileNode* child = folder->GetFirstChild(); child != nullptr; child = child->GetNextSibling()) {
            if (IsDiscarded(child)) continue;
            CFATFileProperties* p = FatPropertiesOf(child);
            if (p == nullptr) continue;
            if ((p->GetAttributes() & kAttrDirectory) != 0) {
                pending.emplace_back(child, stale || MakesStale(p));
            } else if (p->GetSize() != 0) {
                files.push_back({p, stale});
            }
        }
    }
    const auto isLive = [this](const ListedFile& f) {
        return !f.stale && (f.p->GetState() & kFatDeletedState) == 0 && m_unmarked.count(f.p) == 0;
    };
    for (const ListedFile& f : files) {
        if (!isLive(f)) continue;
        FatLiveFile live{f.p->GetFirstCluster(), f.p->GetSize(), 0, 0, f.p};
        f.p->GetCreationTime(live.created);
        f.p->GetModificationTime(live.modified);
        m_liveFiles.push_back(live);
    }

    CClusterClaims claims;
    // The complete scan keeps every claim to weigh this volume against those formatted over or
    // under it.
    std::vector<FatVolumeClaim> kept;
    const auto addFile = [&](CFATFileProperties* p, const ClaimAge& age, CClusterClaims::Owner owner) {
        // Without a FAT a live file's runs past its first cluster are a guess (read as
        // contiguous): they take clusters from deleted files, but two live files whose guesses
        // meet are not cross-linked for that.
        const bool guessed = m_fatless && age.inUse;
        const CClusterClaims::ClaimId id = claims.Add(guessed ? nullptr : p, age, owner);
        std::unique_ptr<IDataRunList> runs(p->CreateDataRunList());
        if (runs) claims.AddRuns(id, *runs, p->GetSize(), m_dataStart, m_spc, m_sectorSize);
        if (m_keepTree) kept.push_back({p, age, 0, 0});
    };
    const auto addClusters = [&](CClusterClaims::ClaimId id, const ClaimAge& age, u64 first, u64 count) {
        claims.AddSectors(id, ClusterSector(first), count * m_spc);
        if (m_keepTree) kept.push_back({nullptr, age, ClusterSector(first), count * m_spc});
    };

    // A deleted entry whose first cluster (or, on FAT32, its low word alone, which Windows keeps),
    // size and times are a live file's is the entry that file's move left: one file, read from the
    // live chain, whose claim is the live file's own.
    std::unordered_multimap<u64, size_t> liveByCluster;
    for (size_t i = 0; i < m_liveFiles.size(); ++i) {
        const u64 first = m_liveFiles[i].first;
        liveByCluster.emplace(first, i);
        if (m_fsCode == kFsFat32 && first >= kLowWordLimit) liveByCluster.emplace(first & kLowWordMask, i);
    }
    std::vector<CClusterClaims::Owner> liveOwners(m_liveFiles.size(), 0);
    std::vector<std::pair<CFATFileProperties*, CClusterClaims::Owner>> movedOwners;
    CClusterClaims::Owner nextOwner = 1;
    for (const ListedFile& f : files) {
        CFATFileProperties* p = f.p;
        if (isLive(f) || (p->GetState() & kFatDeletedState) == 0 || m_unmarked.count(p) != 0) continue;
        FILETIME64 created = 0, modified = 0;
        p->GetCreationTime(created);
        p->GetModificationTime(modified);
        const auto [from, to] = liveByCluster.equal_range(p->GetFirstCluster());
        for (auto it = from; it != to; ++it) {
            const FatLiveFile& live = m_liveFiles[it->second];
            if (live.size != p->GetSize() || live.modified == 0 || live.modified != modified || live.created != created) {
                continue;
            }
            CFATDataRunList* runs = BuildFATRuns(m_geometry, u32(live.first), live.size, false);
            if (runs == nullptr) break;
            p->SetDataRunList(runs);
            p->SetState(u8(p->GetState() & ~kStateContentUnconfirmed));
            if (liveOwners[it->second] == 0) liveOwners[it->second] = nextOwner++;
            movedOwners.emplace_back(p, liveOwners[it->second]);
            ReleaseTrace("Deleted file %s (first cluster %llx) is the entry a move left of the live file of first "
                         "cluster %llx, of the same size and times: read from that file's chain",
                         p->GetName() != nullptr ? p->GetName() : "", static_cast<unsigned long long>(p->GetFirstCluster()),
                         static_cast<unsigned long long>(live.first));
            break;
        }
    }

    // What the volume holds now comes first: a file of a stale folder is still the owner of the
    // chain of its size from its first cluster where no live entry claims it.
    ClaimAge inUse;
    inUse.generation = kWalkedEntryGeneration;
    inUse.inUse = true;
    for (const FatFolderPiece& piece : m_folderPieces) {
        if (!piece.age.age.inUse) continue;
        addClusters(claims.Add(nullptr, piece.age.age), piece.age.age, piece.first, piece.count);
    }
    // The live files no tree holds claim their first clusters (their chains are the FAT's); those
    // of the tree claim what they are read from, so that files sharing a cluster show.
    const CClusterClaims::ClaimId unlisted = claims.Add(nullptr, inUse);
    for (size_t i = 0; i < m_liveFiles.size(); ++i) {
        const FatLiveFile& live = m_liveFiles[i];
        if (live.listed == nullptr) {
            addClusters(unlisted, inUse, live.first, 1);
        } else {
            addFile(live.listed, AgeFromTimes(*live.listed, kWalkedEntryGeneration, true), liveOwners[i]);
        }
    }
    std::unordered_set<const CFATFileProperties*> claimed;
    for (const auto& [p, owner] : movedOwners) {
        addFile(p, inUse, owner);
        claimed.insert(p);
    }
    // Without a FAT nothing tells whether such a file's clusters are its own: it is taken to be
    // live, its runs a guess as every live file's.
    std::vector<CFATFileProperties*> ownChains;
    for (const ListedFile& f : files) {
        if (m_unmarked.count(f.p) == 0) continue;
        if (m_fatless) {
            ownChains.push_back(f.p);
            continue;
        }
        const std::vector<std::pair<u64, u64>> chain = ChainOfSize(f.p->GetFirstCluster(), f.p->GetSize());
        const bool free = !chain.empty() && std::none_of(chain.begin(), chain.end(), [&](const auto& run) {
            return claims.AnyClaimOn(ClusterSector(run.first), (run.second - run.first) * m_spc, 0);
        });
        if (free) ownChains.push_back(f.p);
    }
    for (CFATFileProperties* p : ownChains) {
        addFile(p, AgeFromTimes(*p, kWalkedEntryGeneration, true), 0);
        claimed.insert(p);
    }
    for (const ListedFile& f : files) {
        CFATFileProperties* p = f.p;
        // A first cluster the estimate chose without confirmation is counted incomplete already;
        // its guess takes no cluster from another file.
        if (isLive(f) || claimed.count(p) != 0 || (p->GetState() & kStateContentUnconfirmed) != 0) continue;
        addFile(p, DeletedEntryAge(*p, f.stale ? kStaleEntryGeneration : kWalkedEntryGeneration), 0);
    }
    for (const FatFolderPiece& piece : m_folderPieces) {
        if (piece.age.age.inUse) continue;
        addClusters(claims.Add(nullptr, piece.age.age), piece.age.age, piece.first, piece.count);
    }
    const CClusterClaims::ClaimId fatChains = claims.Add(nullptr, inUse);
    for (const auto& [first, end] : ChainedClusterRuns()) {
        addClusters(fatChains, inUse, first, end - first);
    }
    const std::string what = std::string(FileSystemTypeName(m_fsCode)) + " walk";
    claims.Weigh(what.c_str());
    if (m_keepTree) m_search.KeepClaims(std::move(kept));
}

}  // namespace fatwalk
