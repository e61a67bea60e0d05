// Whose bytes each cluster of a walked FAT volume holds: every file and folder of the walk, and
// the chains of the FAT copies, claim the clusters they read, and the one place that weighs claims
// says which files lost theirs to a newer one.
#include <algorithm>
#include <memory>
#include <numeric>
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
constexpr u64 kFatCopyReadSectors = 64;
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

// Who reads a file of the walk as its own, for the weighing.
enum class PendingKind : u8 { kLive, kMoved, kOwnChain, kDeleted, kStaleDeleted };
// Sixteen bytes a file: the deleted-file scan of a large stick holds one for each of its files.
struct PendingClaim {
    static constexpr u32 kKindBits = 3;
    static constexpr u32 kMaxCount = (1u << (32 - kKindBits)) - 1;
    PendingClaim(CFATFileProperties* p, PendingKind k) : file(p), kind(u32(k)) {}
    PendingKind Kind() const { return PendingKind(kind); }
    void SetKind(PendingKind k) { kind = u32(k); }

    CFATFileProperties* file;
    // The clusters read, where they are one run (most files) of at most kMaxCount: the runs are
    // not made again. count 0: made again.
    u32 first = 0;
    u32 count : 32 - kKindBits = 0;
    u32 kind : kKindBits;
};

// Per cluster of the volume (from cluster 2): whether what the volume holds now takes it (a chain
// of either FAT copy, a live folder, a live file's first cluster), whether a live file of the
// tree reads it, and whether one or more than one file claim reads it. A file whose clusters no
// other claim reads, and, deleted, that nothing the volume holds takes, is its own: only the
// others go to the weighing, which keeps its cost to the clusters that are contested.
class CClusterMarks {
public:
    // `live`: whether the live files of a tree are marked (the complete scan's).
    CClusterMarks(u64 clusters, bool live)
        : m_clusters(clusters), m_used(Words(clusters)), m_live(live ? Words(clusters) : 0), m_one(Words(clusters)),
          m_more(Words(clusters)) {}
    void MarkUsed(u64 first, u64 count) {
        // Chains run over whole words of clusters: those are set at once.
        if (first < kFatFirstDataCluster) return;
        u64 i = first - kFatFirstDataCluster;
        const u64 end = i + std::min(count, m_clusters > i ? m_clusters - i : 0);
        for (; i < end && i % kBits != 0; ++i) Set(m_used, i);
        for (; i + kBits <= end; i += kBits) m_used[i / kBits] = ~u64(0);
        for (; i < end; ++i) Set(m_used, i);
    }
    void MarkLive(u64 first, u64 count) {
        Each(first, count, [this](u64 i) { Set(m_live, i); });
    }
    void CountReaders(u64 first, u64 count) {
        Each(first, count, [this](u64 i) {
            if (Get(m_one, i)) Set(m_more, i);
            Set(m_one, i);
        });
    }
    bool AnyLive(u64 first, u64 count) const {
        bool any = false;
        if (m_live.empty()) return false;
        Each(first, count, [&](u64 i) { any = any || Get(m_live, i); });
        return any;
    }
    // Whether another claim reads one of the clusters, or, for a claim that is not in use, the
    // volume holds one now.
    bool Contested(u64 first, u64 count, bool deleted) const {
        bool any = false;
        Each(first, count, [&](u64 i) { any = any || Get(m_more, i) || (deleted && Get(m_used, i)); });
        return any;
    }
    // Calls fn(first cluster, count) for each run of [first, first + count) the volume holds now.
    template <class Fn>
    void ForEachUsedWithin(u64 first, u64 count, Fn fn) const {
        u64 start = 0, length = 0;
        Each(first, count, [&](u64 i) {
            if (Get(m_used, i)) {
                if (length == 0) start = i;
                ++length;
                return;
            }
            if (length != 0) fn(start + kFatFirstDataCluster, length);
            length = 0;
        });
        if (length != 0) fn(start + kFatFirstDataCluster, length);
    }
    // Calls fn(first cluster, count) for each run of clusters the volume holds now.
    template <class Fn>
    void ForEachUsedRun(Fn fn) const {
        u64 start = 0;
        bool open = false;
        for (u64 i = 0; i <= m_clusters;) {
            // Whole words alike with the run are passed over at once.
            const u64 word = i < m_clusters && i % kBits == 0 ? m_used[i / kBits] : 1;
            if (i + kBits <= m_clusters && i % kBits == 0 && word == (open ? ~u64(0) : 0)) {
                i += kBits;
                continue;
            }
            const bool used = i < m_clusters && Get(m_used, i);
            if (used && !open) start = i;
            if (!used && open) fn(start + kFatFirstDataCluster, i - start);
            open = used;
            ++i;
        }
    }

private:
    static constexpr u64 kBits = 64;
    static size_t Words(u64 clusters) { return size_t((clusters + kBits - 1) / kBits); }
    static bool Get(const std::vector<u64>& bits, u64 i) { return (bits[i / kBits] >> (i % kBits) & 1) != 0; }
    static void Set(std::vector<u64>& bits, u64 i) { bits[i / kBits] |= u64(1) << (i % kBits); }
    // Calls fn(index) for each cluster of [first, first + count) inside the volume.
    template <class Fn>
    void Each(u64 first, u64 count, Fn fn) const {
        if (first < kFatFirstDataCluster) return;
        const u64 from = first - kFatFirstDataCluster;
        const u64 to = from + std::min(count, m_clusters > from ? m_clusters - from : 0);
        for (u64 i = from; i < to; ++i) fn(i);
    }

    u64 m_clusters;
    std::vector<u64> m_used, m_live, m_one, m_more;
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

// A stored date and time (date in the high half) as its properties read it; 0 for none.
FILETIME64 StampTime(u32 stamp) {
    FILETIME64 value = 0;
    return DosDateTimeToFileTime(u16(stamp >> 16), u16(stamp), value) ? value : 0;
}
u32 EntryStamp(const u8* entry, u32 dateAt, u32 timeAt) {
    return u32(ReadLE16(entry + dateAt)) << 16 | ReadLE16(entry + timeAt);
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
    m_liveFiles.push_back({u32(view.GetFirstCluster()), view.GetSize(),
                           EntryStamp(entry, kCreationDateAt, kCreationTimeAt),
                           EntryStamp(entry, kModificationDateAt, kModificationTimeAt)});
}

void CFATQuickWalker::WeighClaims() {
    if (m_root == nullptr) return;
    const u64 clusterBytes = u64(m_spc) * m_sectorSize;
    // Calls fn(first cluster, count) for the clusters a file's data is read from.
    const auto forEachCluster = [clusterBytes](const CFATFileProperties& p, const auto& fn) {
        std::unique_ptr<IDataRunList> runs(p.CreateDataRunList());
        u64 left = (p.GetSize() + clusterBytes - 1) / clusterBytes;
        for (size_t i = 0; runs && i < runs->GetExtentCount() && left > 0; ++i) {
            const DataRunExtent& e = runs->GetExtent(i);
            const u64 count = std::min<u64>(e.length, left);
            left -= count;
            if (e.start >= 0) fn(u64(e.start) + kFatFirstDataCluster, count);
        }
    };
    // Calls fn(file, stale) for every file of the tree that holds bytes, `stale` where a deleted
    // or found folder lists it, directly or further up.
    const auto forEachFile = [this](const auto& fn) {
        std::vector<std::pair<CFileNode*, bool>> folders{{m_root, false}};
        while (!folders.empty()) {
            const auto [folder, stale] = folders.back();
            folders.pop_back();
            for (CFileNode* child = folder->GetFirstChild(); child != nullptr; child = child->GetNextSibling()) {
                CFATFileProperties* p = IsDiscarded(child) ? nullptr : FatPropertiesOf(child);
                if (p == nullptr) continue;
                if ((p->GetAttributes() & kAttrDirectory) != 0) {
                    folders.emplace_back(child, stale || MakesStale(p));
                } else if (p->GetSize() != 0) {
                    fn(p, stale);
                }
            }
        }
    };
    const auto isLive = [this](const CFATFileProperties& p, bool stale) {
        return !stale && (p.GetState() & kFatDeletedState) == 0 && m_unmarked.count(&p) == 0;
    };

    if (m_fatless) FlagGuessesOverLiveStarts(forEachFile, forEachCluster, isLive);

    // What the volume holds now: the chains of either FAT copy, its live folders, the first
    // clusters of the live files the deleted-file scan lists nowhere (their chains are the FAT's),
    // and the clusters the live files of the tree read.
    CClusterMarks marks(m_volumeClusterLimit, m_keepTree);
    for (const auto& [first, end] : ChainedClusterRuns()) marks.MarkUsed(first, end - first);
    for (const FatFolderPiece& piece : m_folderPieces) {
        if (piece.age.age.inUse) marks.MarkUsed(piece.first, piece.count);
    }
    for (const FatLiveFile& live : m_liveFiles) marks.MarkUsed(live.first, 1);
    m_liveListedFrom = m_liveFiles.size();
    if (m_keepTree) {
        forEachFile([&](CFATFileProperties* p, bool stale) {
            if (!isLive(*p, stale)) return;
            m_liveFiles.push_back({p->GetFirstCluster(), u32(p->GetSize()), 0, 0});
            m_liveListed.push_back(p);
            forEachCluster(*p, [&](u64 first, u64 count) { marks.MarkLive(first, count); });
        });
    }

    // A deleted entry whose first cluster (or, on FAT32, its low word alone, which Windows keeps),
    // size and times are a live file's is the entry that file's move left: one file, read from the
    // live chain, whose claim is the live file's own. The live files by first cluster, and those
    // past the first 65,536 by its low word:
    std::vector<u32> byFirst(m_liveFiles.size());
    std::iota(byFirst.begin(), byFirst.end(), 0u);
    std::sort(byFirst.begin(), byFirst.end(),
              [this](u32 a, u32 b) { return m_liveFiles[a].first < m_liveFiles[b].first; });
    std::vector<u32> byLowWord;
    if (m_fsCode == kFsFat32) {
        for (const u32 i : byFirst) {
            if (m_liveFiles[i].first >= kLowWordLimit) byLowWord.push_back(i);
        }
        std::stable_sort(byLowWord.begin(), byLowWord.end(), [this](u32 a, u32 b) {
            return (m_liveFiles[a].first & kLowWordMask) < (m_liveFiles[b].first & kLowWordMask);
        });
    }

    // Each file once, while its properties are at hand: what it claims as, and the clusters it
    // reads counted. A file a stale folder lists unmarked still owns the chain of its size from
    // its first cluster where no live entry reads it; without a FAT nothing tells, and it is taken
    // to be live, its runs a guess as every live file's. A first cluster the estimate chose
    // without confirmation is counted incomplete already: its guess takes no cluster.
    std::vector<PendingClaim> pending;
    pending.reserve(m_treeFiles);
    std::unordered_map<u32, u32> liveOwners;  // of the live files a move left an entry of
    std::unordered_map<u32, u32> owners;      // of the claims those files and those entries make
    std::vector<u32> livePending;  // the claim of each live file of the tree
    u32 nextOwner = 1;
    forEachFile([&](CFATFileProperties* p, bool stale) {
        PendingClaim c(p, stale ? PendingKind::kStaleDeleted : PendingKind::kDeleted);
        if (isLive(*p, stale)) {
            c.SetKind(PendingKind::kLive);
            livePending.push_back(u32(pending.size()));
        } else if (m_unmarked.count(p) != 0) {
            bool own = m_fatless;
            if (!own) {
                const std::vector<std::pair<u64, u64>> chain = ChainOfSize(p->GetFirstCluster(), p->GetSize());
                own = !chain.empty() && std::none_of(chain.begin(), chain.end(), [&](const auto& run) {
                    return marks.AnyLive(run.first, run.second - run.first);
                });
            }
            if (own) c.SetKind(PendingKind::kOwnChain);
        } else if ((p->GetState() & kFatDeletedState) != 0) {
            const u32 match = MovedFrom(*p, byFirst, byLowWord);
            CFATDataRunList* runs =
                match != kNoMatch ? BuildFATRuns(m_geometry, m_liveFiles[match].first, p->GetSize(), false) : nullptr;
            if (runs != nullptr) {
                p->SetDataRunList(runs);
                p->SetState(u8(p->GetState() & ~kStateContentUnconfirmed));
                const auto owner = liveOwners.emplace(match, nextOwner);
                if (owner.second) ++nextOwner;
                c.SetKind(PendingKind::kMoved);
                owners.emplace(u32(pending.size()), owner.first->second);
                ReleaseTrace("Deleted file %s (first cluster %llx) is the entry a move left of the live file of first "
                             "cluster %llx, of the same size and times: read from that file's chain",
                             p->GetName() != nullptr ? p->GetName() : "",
                             static_cast<unsigned long long>(p->GetFirstCluster()),
                             static_cast<unsigned long long>(m_liveFiles[match].first));
            }
        }
        if (c.Kind() != PendingKind::kMoved && c.Kind() != PendingKind::kLive &&
            (p->GetState() & kStateContentUnconfirmed) != 0) {
            return;
        }
        u32 runs = 0;
        forEachCluster(*p, [&](u64 first, u64 count) {
            marks.CountReaders(first, count);
            c.first = u32(first);
            c.count = u32(std::min<u64>(count, PendingClaim::kMaxCount));
            ++runs;
        });
        if (runs != 1 || c.count == PendingClaim::kMaxCount) c.count = 0;
        pending.push_back(c);
    });
    for (const auto& [live, owner] : liveOwners) {
        if (live >= m_liveListedFrom) owners.emplace(livePending[live - m_liveListedFrom], owner);
    }
    for (const FatFolderPiece& piece : m_folderPieces) {
        if (!piece.age.age.inUse) marks.CountReaders(piece.first, piece.count);
    }

    CClusterClaims claims;
    // The complete scan keeps every claim to weigh this volume against those formatted over or
    // under it.
    std::vector<FatVolumeClaim> kept;
    ClaimAge inUse;
    inUse.generation = kWalkedEntryGeneration;
    inUse.inUse = true;
    const CClusterClaims::ClaimId used = claims.Add(nullptr, inUse);
    marks.ForEachUsedRun([&](u64 first, u64 count) {
        claims.AddSectors(used, ClusterSector(first), count * m_spc);
        if (m_keepTree) kept.push_back({nullptr, inUse, ClusterSector(first), count * m_spc});
    });
    for (const FatFolderPiece& piece : m_folderPieces) {
        if (piece.age.age.inUse) continue;
        claims.AddSectors(claims.Add(nullptr, piece.age.age), ClusterSector(piece.first), piece.count * m_spc);
        if (m_keepTree) kept.push_back({nullptr, piece.age.age, ClusterSector(piece.first), piece.count * m_spc});
    }
    for (const PendingClaim& c : pending) {
        const PendingKind kind = c.Kind();
        const bool current = kind == PendingKind::kLive || kind == PendingKind::kOwnChain;
        const bool inUseNow = current || kind == PendingKind::kMoved;
        // A file whose clusters no other claim reads is its own: only the others are weighed.
        bool contested = c.count != 0 && marks.Contested(c.first, c.count, !inUseNow);
        if (c.count == 0) {
            forEachCluster(*c.file, [&](u64 first, u64 count) {
                contested = contested || marks.Contested(first, count, !inUseNow);
            });
        }
        if (!contested && !m_keepTree) continue;
        const ClaimAge age = kind == PendingKind::kMoved ? inUse
                             : current ? AgeFromTimes(*c.file, kWalkedEntryGeneration, true)
                                       : DeletedEntryAge(*c.file, kind == PendingKind::kStaleDeleted
                                                                      ? kStaleEntryGeneration
                                                                      : kWalkedEntryGeneration);
        if (m_keepTree) kept.push_back({c.file, age, 0, 0});
        if (!contested) continue;
        // Without a FAT a live file's runs past its first cluster are a guess (read as
        // contiguous): they take clusters from deleted files, but two live files whose guesses
        // meet are not cross-linked for that.
        const bool guessed = m_fatless && age.inUse;
        const auto owner = owners.find(u32(&c - pending.data()));
        const CClusterClaims::ClaimId id =
            claims.Add(guessed ? nullptr : c.file, age, owner != owners.end() ? owner->second : 0);
        // A deleted file the estimate found written over at its first cluster claims only what
        // the volume holds now: where else it lay nothing but its entry tells, and the deleted
        // files written there since are not weighed against it.
        if (!age.inUse && m_writtenOver.count(c.file) != 0) {
            forEachCluster(*c.file, [&](u64 first, u64 count) {
                marks.ForEachUsedWithin(first, count, [&](u64 used, u64 length) {
                    claims.AddSectors(id, ClusterSector(used), length * m_spc);
                });
            });
            continue;
        }
        std::unique_ptr<IDataRunList> runs(c.file->CreateDataRunList());
        if (runs) claims.AddRuns(id, *runs, c.file->GetSize(), m_dataStart, m_spc, m_sectorSize);
    }
    const std::string what = std::string(FileSystemTypeName(m_fsCode)) + " walk";
    claims.Weigh(what.c_str());
    m_writtenOver.clear();
    if (m_keepTree) m_search.KeepClaims(std::move(kept));
}

template <class ForEachFile, class ForEachCluster, class IsLive>
void CFATQuickWalker::FlagGuessesOverLiveStarts(const ForEachFile& forEachFile, const ForEachCluster& forEachCluster,
                                                const IsLive& isLive) {
    // Without a FAT every file's data is read on from its first cluster as if it lay in one
    // piece. Where a live file or folder begins is what its entry says: a guess that runs over
    // such a start reads another file's bytes from there, and may be read whole by no count of
    // claims, since every guess past a first cluster weighs as the volume's own.
    std::vector<u64> starts;
    for (const FatFolderPiece& piece : m_folderPieces) {
        if (piece.age.age.inUse) starts.push_back(piece.first);
    }
    forEachFile([&](CFATFileProperties* p, bool stale) {
        if (isLive(*p, stale) && IsCluster(p->GetFirstCluster())) starts.push_back(p->GetFirstCluster());
    });
    std::sort(starts.begin(), starts.end());
    u64 flagged = 0;
    forEachFile([&](CFATFileProperties* p, bool) {
        const u64 own = p->GetFirstCluster();
        bool over = false;
        forEachCluster(*p, [&](u64 first, u64 count) {
            for (auto it = std::lower_bound(starts.begin(), starts.end(), first);
                 !over && it != starts.end() && *it < first + count; ++it) {
                over = *it != own;
            }
        });
        if (!over || (p->GetState() & kStateContentUnconfirmed) != 0) return;
        p->SetState(u8(p->GetState() | kStateContentUnconfirmed));
        ++flagged;
    });
    if (flagged != 0) {
        ReleaseTrace("FAT walk without a FAT: %llu files read on past their first cluster as one piece run over where "
                     "a live file or folder begins; they are counted incomplete",
                     static_cast<unsigned long long>(flagged));
    }
}

u32 CFATQuickWalker::MovedFrom(const CFATFileProperties& p, const std::vector<u32>& byFirst,
                               const std::vector<u32>& byLowWord) const {
    FILETIME64 created = 0, modified = 0;
    p.GetCreationTime(created);
    p.GetModificationTime(modified);
    const u64 recorded = p.GetFirstCluster();
    // A moved file's chain is live: its first cluster is one a chain holds, unless the entry kept
    // only its low word.
    const bool lowWordOnly = m_fsCode == kFsFat32 && recorded < kLowWordLimit;
    if (!lowWordOnly && !Taken(recorded)) return kNoMatch;
    for (const bool lowWord : {false, true}) {
        if (lowWord && !lowWordOnly) break;
        const auto keyOf = [&](u32 i) -> u64 {
            return lowWord ? m_liveFiles[i].first & kLowWordMask : m_liveFiles[i].first;
        };
        const std::vector<u32>& index = lowWord ? byLowWord : byFirst;
        auto it = std::lower_bound(index.begin(), index.end(), recorded,
                                   [&](u32 i, u64 key) { return keyOf(i) < key; });
        for (; it != index.end() && keyOf(*it) == recorded; ++it) {
            const FatLiveFile& live = m_liveFiles[*it];
            if (live.size != p.GetSize()) continue;
            FILETIME64 liveCreated = 0, liveModified = 0;
            if (*it >= m_liveListedFrom) {
                m_liveListed[*it - m_liveListedFrom]->GetCreationTime(liveCreated);
                m_liveListed[*it - m_liveListedFrom]->GetModificationTime(liveModified);
            } else {
                liveCreated = StampTime(live.created);
                liveModified = StampTime(live.modified);
            }
            if (liveModified != 0 && liveModified == modified && liveCreated == created) return *it;
        }
    }
    return kNoMatch;
}

}  // namespace fatwalk
