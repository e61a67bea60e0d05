#include "fs/fat/ExFatBlockTree.h"

#include <algorithm>
#include <deque>
#include <iterator>
#include <set>
#include <unordered_map>
#include <unordered_set>

#include "fs/fat/ExFatCutJoin.h"
#include "fs/fat/ExFatPartition.h"
#include "fs/fat/ExFatVolume.h"
#include "platform/Log.h"

namespace {

constexpr u32 kFirstCluster = 2;
// A set has 19 entries at the most: two sectors at a cluster's end hold all of one cut there.
constexpr u64 kCutSectors = 2;
constexpr size_t kNone = ~size_t(0);
// Times a guessed run of a folder is widened over the clusters other folders hold in it.
constexpr size_t kGuessRounds = 8;

// The offset in `tail` (the last sectors of a piece) of a file entry whose set runs past its end;
// false when none does.
bool CutSetIn(const u8* tail, size_t bytes, size_t& offset) {
    const size_t entries = bytes / kExFatEntrySize;
    bool found = false;
    for (size_t k = 0; k < entries; ++k) {
        const u8 type = tail[k * kExFatEntrySize];
        if (u8(type | kExFatTypeInUse) != kExFatFileEntry) continue;
        const size_t secondaries = tail[k * kExFatEntrySize + 1];
        found = k + 1 + secondaries > entries;
        offset = k * kExFatEntrySize;
    }
    return found;
}

struct GeometryMath {
    explicit GeometryMath(const ExFatTreeGeometry& g) : g(g) {
        const u64 heapClusters = (g.end - g.heapStart) / g.sectorsPerCluster;
        clusterEnd = kFirstCluster + std::min<u64>({heapClusters, g.clusterCount, u64(kExFatChainEnd) - kFirstCluster});
        const u64 clusterBytes = g.sectorsPerCluster * g.sectorSize;
        limits = ExFatWalkLimits::Make(std::max(g.end, g.volumeSectors), Log2Floor(g.sectorSize),
                                       Log2Floor(u32(std::min<u64>(clusterBytes, 1u << 31))));
    }
    bool InHeap(u64 cluster) const { return cluster >= kFirstCluster && cluster < clusterEnd; }
    u64 ClusterOf(u64 sector) const { return (sector - g.heapStart) / g.sectorsPerCluster + kFirstCluster; }
    u64 SectorOf(u32 cluster) const { return g.heapStart + u64(cluster - kFirstCluster) * g.sectorsPerCluster; }
    bool EndsCluster(const ExFatTreePiece& p) const { return p.first + p.count == SectorOf(p.cluster) + g.sectorsPerCluster; }

    const ExFatTreeGeometry& g;
    u64 clusterEnd = 0;
    ExFatWalkLimits limits;
};

bool UsableGeometry(const ExFatTreeGeometry& g) {
    return g.sectorsPerCluster != 0 && g.end > g.heapStart && g.sectorSize != 0;
}

// Who says a cluster belongs to a folder; a stronger claim wins over a weaker one, and of two
// live folders naming one cluster the first listed keeps it (a folder walk reads a cluster once).
// A guess is only a live folder's length laid out after its known clusters, for one whose chain
// is lost: it places a piece that nothing else places, and ties no cut set.
enum class Claim : u8 { None, Guess, DeletedRun, Live, Root };
constexpr size_t kRunLevels = 3;  // Guess, DeletedRun and Live: the claims a run walks

struct Owner {
    u32 folder = 0;
    Claim claim = Claim::None;
    u32 next = 0;  // the folder's cluster after this one; 0 when nothing says
};

class TreePlacer {
public:
    TreePlacer(ExFatTreeTable&& table, const std::vector<ExFatCutSetLink>& links, const ExFatTreeGeometry& g,
               const ExFatFatReader& fat)
        : m_table(std::move(table)), m_links(links), m_m(g), m_fat(fat) {
        const u64 clusterBytes = g.sectorsPerCluster * g.sectorSize;
        m_maxFolderClusters = std::max<u64>(1, kExFatMaxFolderBytes / clusterBytes);
        for (const ExFatTreePiece& p : m_table.pieces) {
            if ((p.flags & ExFatTreePiece::kTailOnly) != 0) continue;
            if (m_wanted.empty() || m_wanted.back() != p.cluster) m_wanted.push_back(p.cluster);
        }
        m_owners.assign(m_wanted.size(), Owner{});
        for (auto& open : m_open) {
            open.resize(m_wanted.size() + 1);
            for (size_t k = 0; k < open.size(); ++k) open[k] = k;
        }
        for (size_t i = 0; i < m_table.pieces.size(); ++i) {
            const ExFatTreePiece& p = m_table.pieces[i];
            if ((p.flags & ExFatTreePiece::kTailOnly) != 0) continue;
            if (p.flags & ExFatTreePiece::kBlockLast) m_lastPieceOf[BlockStart(i)] = i;
            if (p.flags & ExFatTreePiece::kBeginsWithTail) m_tailStarts.push_back(p.first);
        }
    }

    ExFatBlockTree Place() {
        const size_t readSets = m_table.sets.size();
        ClaimRoot();
        ClaimFolders(0, readSets);
        AcceptLinks();
        m_joined.assign(m_table.pieces.size(), kNone);
        for (size_t i = 0; i < m_table.pieces.size(); ++i) JoinCutSet(i);
        ClaimFolders(readSets, m_table.sets.size());

        // Each set with its folder, in the order of the pieces on the device.
        std::vector<Child> byParent;
        byParent.reserve(m_table.sets.size());
        std::set<u32> lost;
        for (size_t i = 0; i < m_table.pieces.size(); ++i) {
            const ExFatTreePiece& p = m_table.pieces[i];
            if (p.setBegin == p.setEnd && m_joined[i] == kNone) continue;
            const auto [parent, isLost] = Resolve(i);
            if (isLost) lost.insert(parent);
            const Owner* owner = OwnerOf(p.cluster);
            const bool deletedClaim = owner != nullptr && owner->claim == Claim::DeletedRun;
            for (size_t s = p.setBegin; s < p.setEnd; ++s) byParent.push_back({parent, deletedClaim, s});
            if (m_joined[i] != kNone) byParent.push_back({parent, deletedClaim, m_joined[i]});
        }
        std::stable_sort(byParent.begin(), byParent.end(), [](const Child& a, const Child& b) { return a.parent < b.parent; });
        return Order(byParent, lost);
    }

private:
    u64 BlockStart(size_t i) const {
        while (i > 0 && (m_table.pieces[i].flags & ExFatTreePiece::kBlockFirst) == 0) --i;
        return m_table.pieces[i].first;
    }

    size_t IndexOf(u32 cluster) const {
        auto it = std::lower_bound(m_wanted.begin(), m_wanted.end(), cluster);
        return it != m_wanted.end() && *it == cluster ? size_t(it - m_wanted.begin()) : kNone;
    }

    // The first wanted cluster at or after index k that no claim of `level` or stronger holds yet:
    // each run passes over what earlier runs took at once, so overlapping runs stay linear.
    size_t FirstOpen(size_t level, size_t k) {
        std::vector<size_t>& open = m_open[level];
        size_t root = k;
        while (open[root] != root) root = open[root];
        while (open[k] != root) {
            const size_t up = open[k];
            open[k] = root;
            k = up;
        }
        return root;
    }

    void Take(u32 cluster, u32 folder, Claim claim, u32 next) {
        const size_t k = IndexOf(cluster);
        if (k == kNone) return;
        Owner& o = m_owners[k];
        if (claim <= o.claim) return;
        o = Owner{folder, claim, next};
        for (size_t level = 0; level < kRunLevels; ++level) {
            if (u8(claim) >= u8(Claim::Guess) + level) m_open[level][k] = k + 1;
        }
    }

    // The folder a claim of an entry gives the cluster; a guess is none.
    const Owner* OwnerOf(u64 cluster) const {
        const Owner* o = ClaimOf(cluster);
        return o != nullptr && o->claim > Claim::Guess ? o : nullptr;
    }

    const Owner* ClaimOf(u64 cluster) const {
        if (cluster > 0xFFFFFFFFull) return nullptr;
        const size_t k = IndexOf(u32(cluster));
        return k != kNone && m_owners[k].claim != Claim::None ? &m_owners[k] : nullptr;
    }

    void ClaimRoot() {
        if (!m_m.InHeap(m_m.g.rootCluster)) return;
        ClaimChain(m_m.g.rootCluster, m_maxFolderClusters, Claim::Root);
    }

    // A FAT chain from `first`, `clusters` long at the most: each cluster knows the one after it
    // while the FAT names a heap cluster. The chains of a sound volume share no cluster, so all
    // of them together are about as long as the heap; copies of folder entries that name long
    // chains of their own stop at the first cluster once twice that has been walked. Answers the
    // clusters the chain named.
    u64 ClaimChain(u32 first, u64 clusters, Claim claim) {
        std::unordered_set<u32> seen;
        u32 cluster = first;
        u64 taken = 0;
        while (taken < clusters && seen.insert(cluster).second) {
            const bool follow = m_fat && taken + 1 < clusters && m_chainSteps < 2 * m_m.clusterEnd;
            ++m_chainSteps;
            ++taken;
            const u32 entry = follow ? m_fat(cluster) : 0;
            const u32 next = m_m.InHeap(entry) ? entry : 0;
            Take(cluster, first, claim, next);
            m_lastNamed = cluster;
            if (next == 0) break;
            cluster = next;
        }
        return taken;
    }

    // The folder at `folder` holds the clusters from `from` to before `end` where no claim as
    // strong holds them already.
    void ClaimRun(u32 folder, u64 from, u64 end, Claim claim) {
        end = std::min(end, m_m.clusterEnd);
        const size_t level = size_t(claim) - size_t(Claim::Guess);
        const size_t at = size_t(std::lower_bound(m_wanted.begin(), m_wanted.end(), from) - m_wanted.begin());
        for (size_t k = FirstOpen(level, at); k < m_wanted.size() && m_wanted[k] < end; k = FirstOpen(level, k + 1)) {
            const u32 cluster = m_wanted[k];
            const bool knowsNext = claim != Claim::Guess && u64(cluster) + 1 < end;
            Take(cluster, folder, claim, knowsNext ? cluster + 1 : 0);
        }
    }

    struct Guess {
        u32 folder;
        u64 from;
        u64 clusters;
    };

    // The rest of each live folder whose chain is lost, laid out from where its known clusters
    // end over the clusters no other live folder holds, once every live folder has claimed.
    void GuessRuns(const std::vector<Guess>& guesses) {
        if (guesses.empty()) return;
        std::vector<size_t> heldBefore(m_wanted.size() + 1, 0);  // live-held wanted clusters before k
        for (size_t k = 0; k < m_wanted.size(); ++k) {
            heldBefore[k + 1] = heldBefore[k] + (m_owners[k].claim >= Claim::Live ? 1 : 0);
        }
        const auto heldIn = [&](u64 from, u64 end) {
            const auto at = [&](u64 c) { return size_t(std::lower_bound(m_wanted.begin(), m_wanted.end(), c) - m_wanted.begin()); };
            return heldBefore[at(end)] - heldBefore[at(from)];
        };
        for (const Guess& g : guesses) {
            // Each folder held inside the run pushes its end one cluster on; a few rounds settle it.
            u64 end = g.from + g.clusters;
            for (size_t round = 0; round < kGuessRounds; ++round) {
                const u64 wider = std::min(g.from + g.clusters + heldIn(g.from, end), m_m.clusterEnd);
                if (wider == end) break;
                end = wider;
            }
            ClaimRun(g.folder, g.from, end, Claim::Guess);
        }
    }

    // Live folders first, so that a deleted entry can tell that it names a live folder's cluster.
    void ClaimFolders(size_t from, size_t to) {
        const u64 clusterBytes = m_m.g.sectorsPerCluster * m_m.g.sectorSize;
        const auto clustersOf = [&](const ExFatEntrySet& set) {
            return ExFatFolderRunClusters(set.dataLength, clusterBytes);
        };
        const auto isFolder = [&](const ExFatEntrySet& set) { return set.IsDirectory() && m_m.InHeap(set.firstCluster); };
        std::vector<Guess> guesses;
        for (size_t s = from; s < to; ++s) {
            const ExFatEntrySet& set = m_table.sets[s];
            // The same folder listed again (a stale copy of its entry) is walked once.
            if (!isFolder(set) || set.inUse == 0 || !m_claimed.insert({set.firstCluster, u8(Claim::Live)}).second) continue;
            const u64 clusters = clustersOf(set);
            if (set.noFatChain != 0) {
                ClaimRun(set.firstCluster, set.firstCluster, u64(set.firstCluster) + clusters, Claim::Live);
                continue;
            }
            // Without a FAT only the folder's first cluster is known.
            const u64 named = ClaimChain(set.firstCluster, m_fat ? clusters : 1, Claim::Live);
            if (named < clusters) {
                u64& lacking = m_liveLacking[set.firstCluster];
                lacking = std::max(lacking, clusters);
                // Clusters are given out in runs where they can be: the rest most likely follows.
                guesses.push_back({set.firstCluster, u64(m_lastNamed) + 1, clusters - named});
            }
        }
        GuessRuns(guesses);
        for (size_t s = from; s < to; ++s) {
            const ExFatEntrySet& set = m_table.sets[s];
            if (!isFolder(set) || set.inUse != 0 || !m_claimed.insert({set.firstCluster, u8(Claim::DeletedRun)}).second) continue;
            // A deleted entry naming the first cluster of a live folder whose chain is not known
            // in full is where that folder stood before a move: the clusters after it are the
            // live folder's as likely as the old entry's, and its run guesses none of them.
            u64 start = set.firstCluster;
            if (auto live = m_liveLacking.find(set.firstCluster); live != m_liveLacking.end()) start += live->second;
            ClaimRun(set.firstCluster, start, u64(set.firstCluster) + clustersOf(set), Claim::DeletedRun);
        }
    }

    u32 NextOf(u32 cluster) const {
        const Owner* o = OwnerOf(cluster);
        return o != nullptr ? o->next : 0;
    }

    size_t PieceAt(u64 sector) const {
        const auto& pieces = m_table.pieces;
        auto it = std::lower_bound(pieces.begin(), pieces.end(), sector,
                                   [](const ExFatTreePiece& p, u64 s) { return p.first < s; });
        return it != pieces.end() && it->first == sector ? size_t(it - pieces.begin()) : kNone;
    }

    // A cut set joined across two clusters ties them where the head's folder chain says nothing
    // of the cluster after it; where it names one, only that one can hold the rest.
    void AcceptLinks() {
        for (const ExFatCutSetLink& link : m_links) {
            auto head = m_lastPieceOf.find(link.headBlock);
            if (head == m_lastPieceOf.end() || link.tailBlock < m_m.g.heapStart) continue;
            const ExFatTreePiece& hp = m_table.pieces[head->second];
            const u64 tailCluster = m_m.ClusterOf(link.tailBlock);
            if (!m_m.EndsCluster(hp) || !m_m.InHeap(tailCluster) || m_m.SectorOf(u32(tailCluster)) != link.tailBlock) continue;
            const u32 next = NextOf(hp.cluster);
            if (next != 0 && next != tailCluster) continue;
            m_headOf.emplace(link.tailBlock, head->second);
            m_tailOf.emplace(head->second, link.tailBlock);
        }
    }

    // The set whose head ends piece `i`, finished from the piece that begins at `tail`.
    bool JoinAt(size_t i, u64 tail, ExFatEntrySet& joined) const {
        const size_t t = PieceAt(tail);
        if (t == kNone) return false;
        const ExFatTreePiece& hp = m_table.pieces[i];
        const ExFatTreePiece& tp = m_table.pieces[t];
        if ((tp.flags & ExFatTreePiece::kBeginsWithTail) == 0) return false;
        const u8* head = m_table.cutBytes.data() + hp.headAt;
        const u8* rest = m_table.cutBytes.data() + tp.tailAt;
        const u64 entryByte = (hp.first + hp.count) * m_m.g.sectorSize - hp.headBytes;
        if (!JoinExFatCutSet(head, hp.headBytes, entryByte / m_m.g.sectorSize, rest, tp.tailBytes,
                             ExFatLeadingSecondaries(rest, tp.tailBytes), m_m.limits, joined)) {
            return false;
        }
        joined.entryOffset = u32(entryByte % m_m.g.sectorSize);
        return true;
    }

    void Joined(size_t i, u64 tail, ExFatEntrySet&& set) {
        const ExFatTreePiece& p = m_table.pieces[i];
        m_joined[i] = m_table.sets.size();
        m_table.sets.push_back(std::move(set));
        if (tail == p.first + p.count && (p.flags & ExFatTreePiece::kBlockLast) == 0) {
            m_joinedOn.insert(i + 1);
        } else if (NextOf(p.cluster) == 0 && m_headOf.emplace(tail, i).second) {
            m_tailOf.emplace(i, tail);
        }
    }

    // Where the rest of a set cut at the piece's end may lie, the likeliest first: where the
    // folder's chain names the next cluster, only that one; then the tail the block walker
    // joined; then the cluster the walker read on into; then the nearest tails nothing ties yet.
    void JoinCutSet(size_t i) {
        const ExFatTreePiece& p = m_table.pieces[i];
        if (p.headBytes == 0) return;
        ExFatEntrySet joined;
        if (const u32 next = NextOf(p.cluster); next != 0) {
            const u64 tail = m_m.SectorOf(next);
            if (JoinAt(i, tail, joined)) Joined(i, tail, std::move(joined));
            return;
        }
        if (auto it = m_tailOf.find(i); it != m_tailOf.end()) {
            const u64 tail = it->second;
            if (JoinAt(i, tail, joined)) Joined(i, tail, std::move(joined));
            return;
        }
        if ((p.flags & ExFatTreePiece::kBlockLast) == 0 && JoinAt(i, p.first + p.count, joined)) {
            Joined(i, p.first + p.count, std::move(joined));
            return;
        }
        const Owner* mine = OwnerOf(p.cluster);
        auto at = std::lower_bound(m_tailStarts.begin(), m_tailStarts.end(), p.first);
        const auto found = NearestExFatCutPartner(
            m_tailStarts.begin(), m_tailStarts.end(), at, p.first, [](u64 sector) { return sector; },
            [&](u64 sector) {
                if (m_headOf.count(sector) != 0) return false;
                // A tail another folder owns is that folder's.
                const Owner* owner = OwnerOf(m_m.ClusterOf(sector));
                if (owner != nullptr && (mine == nullptr || mine->folder != owner->folder)) return false;
                return JoinAt(i, sector, joined);
            });
        if (found != m_tailStarts.end()) Joined(i, *found, std::move(joined));
    }

    // The piece whose folder this piece continues, when no folder owns its cluster.
    bool Predecessor(size_t i, size_t& before) const {
        const ExFatTreePiece& p = m_table.pieces[i];
        if (auto it = m_headOf.find(p.first); it != m_headOf.end()) {
            before = it->second;
            return true;
        }
        // Two folders' clusters may lie side by side: only a set that runs on over the cluster's
        // end ties the piece to the one before it.
        if ((p.flags & ExFatTreePiece::kBlockFirst) != 0 || m_joinedOn.count(i) == 0) return false;
        before = i - 1;
        return true;
    }

    // The folder of a piece, and whether it is a lost one. Chains of pieces tied by cut sets are
    // followed once: each piece remembers its answer.
    std::pair<u32, bool> Resolve(size_t i) {
        if (m_resolved.empty()) m_resolved.assign(m_table.pieces.size(), Resolution{});
        std::vector<size_t> path;
        std::pair<u32, bool> answer{m_table.pieces[i].cluster, true};
        for (size_t at = i;;) {
            Resolution& r = m_resolved[at];
            if (r.state == Resolution::kDone) {
                answer = {r.folder, r.lost};
                break;
            }
            if (r.state == Resolution::kOpen) {
                answer = {m_table.pieces[at].cluster, true};  // a ring of cut sets: nothing roots it
                break;
            }
            r.state = Resolution::kOpen;
            path.push_back(at);
            if (const Owner* owner = OwnerOf(m_table.pieces[at].cluster); owner != nullptr) {
                answer = {owner->folder, false};
                break;
            }
            size_t before = 0;
            if (!Predecessor(at, before)) {
                const Owner* guess = ClaimOf(m_table.pieces[at].cluster);
                answer = guess != nullptr ? std::pair<u32, bool>{guess->folder, false}
                                          : std::pair<u32, bool>{m_table.pieces[at].cluster, true};
                break;
            }
            at = before;
        }
        for (size_t at : path) m_resolved[at] = Resolution{Resolution::kDone, answer.first, answer.second};
        return answer;
    }

    // Whether a live folder's claim holds the cluster.
    bool LiveHolds(u32 cluster) const {
        const Owner* o = OwnerOf(cluster);
        return o != nullptr && o->claim >= Claim::Live;
    }

    struct Child {
        u32 parent = 0;
        bool deletedClaim = false;  // its cluster is only a deleted folder's
        size_t set = 0;
    };

    // The hand-over order: from the root, then from each lost folder; within each walk live
    // folders before deleted ones, so that a cluster a live folder holds lists its files under it.
    // A deleted folder whose first cluster a live one took keeps what its other clusters list.
    ExFatBlockTree Order(const std::vector<Child>& byParent, const std::set<u32>& lost) {
        ExFatBlockTree out;
        out.placed.reserve(byParent.size());
        std::unordered_set<u32> expanded;
        std::unordered_map<u32, size_t> displacedAt;  // first cluster -> the displaced folder's set
        std::vector<ExFatPlacedSet> heldBack;         // a displaced folder's own, placed last
        auto expand = [&](u32 folder, bool deleted) {
            std::deque<u32> live;
            std::deque<u32> gone;
            (deleted ? gone : live).push_back(folder);
            while (!live.empty() || !gone.empty()) {
                const bool atDeleted = live.empty();
                std::deque<u32>& queue = atDeleted ? gone : live;
                const u32 at = queue.front();
                queue.pop_front();
                if (!expanded.insert(at).second) continue;
                auto it = std::lower_bound(byParent.begin(), byParent.end(), at,
                                           [](const Child& e, u32 c) { return e.parent < c; });
                for (; it != byParent.end() && it->parent == at; ++it) {
                    ExFatPlacedSet placed{it->set, at, atDeleted, false};
                    if (!atDeleted && it->deletedClaim) {
                        placed.deleted = true;
                        heldBack.push_back(placed);
                        continue;
                    }
                    const ExFatEntrySet& set = m_table.sets[it->set];
                    if (set.IsDirectory() && m_m.InHeap(set.firstCluster)) {
                        const bool childDeleted = atDeleted || set.inUse == 0;
                        if (set.inUse == 0 && LiveHolds(set.firstCluster)) {
                            placed.displaced = true;
                            displacedAt.emplace(set.firstCluster, it->set);
                        } else {
                            (childDeleted ? gone : live).push_back(set.firstCluster);
                        }
                    }
                    out.placed.push_back(placed);
                }
            }
        };
        if (m_m.g.rootCluster != 0) expand(m_m.g.rootCluster, false);
        // Only walks from the root hold sets back (the others are deleted walks): they go below
        // the deleted folder when one lost its first cluster so, else where they were.
        for (ExFatPlacedSet placed : std::vector<ExFatPlacedSet>(std::move(heldBack))) {
            if (auto d = displacedAt.find(placed.parent); d != displacedAt.end()) placed.displacedParent = d->second;
            out.placed.push_back(placed);
            const ExFatEntrySet& set = m_table.sets[placed.set];
            if (!set.IsDirectory() || !m_m.InHeap(set.firstCluster)) continue;
            if (set.inUse == 0 && LiveHolds(set.firstCluster)) {
                out.placed.back().displaced = true;
            } else {
                expand(set.firstCluster, true);
            }
        }
        // What a folder whose own entry is gone lists is taken as deleted with it.
        auto lostFolder = [&](u32 cluster) {
            if (expanded.count(cluster) != 0) return;
            out.lostFolders.push_back(cluster);
            expand(cluster, true);
        };
        for (u32 cluster : lost) lostFolder(cluster);
        // Folders whose sets no walk from the root or a lost folder reaches (a folder listed only
        // inside itself) stand as lost folders too.
        for (auto it = byParent.begin(); it != byParent.end(); ++it) {
            if (it == byParent.begin() || std::prev(it)->parent != it->parent) lostFolder(it->parent);
        }
        out.sets = std::move(m_table.sets);
        return out;
    }

    struct Resolution {
        static constexpr u8 kNew = 0;
        static constexpr u8 kOpen = 1;
        static constexpr u8 kDone = 2;
        u8 state = kNew;
        u32 folder = 0;
        bool lost = false;
    };

    ExFatTreeTable m_table;
    const std::vector<ExFatCutSetLink>& m_links;
    GeometryMath m_m;
    const ExFatFatReader& m_fat;
    u64 m_maxFolderClusters = 1;
    u64 m_chainSteps = 0;  // FAT entries followed, all chains together
    u32 m_lastNamed = 0;   // the last cluster the latest chain named
    std::vector<u32> m_wanted;  // clusters that hold a piece, ascending
    std::vector<Owner> m_owners;  // by index in m_wanted
    // Per run level: each wanted cluster's index points at itself while open, else on.
    std::vector<size_t> m_open[kRunLevels];
    std::set<std::pair<u32, u8>> m_claimed;
    // Live folders whose chain named fewer clusters than their length: first cluster -> length.
    std::unordered_map<u32, u64> m_liveLacking;
    std::unordered_map<u64, size_t> m_lastPieceOf;  // block's first sector -> its last piece
    std::unordered_map<u64, size_t> m_headOf;       // tail sector -> head piece
    std::unordered_map<size_t, u64> m_tailOf;       // head piece -> tail sector
    std::vector<size_t> m_joined;                   // piece -> the set joined at its end
    std::vector<Resolution> m_resolved;
    std::vector<u64> m_tailStarts;  // pieces that begin a cluster with the rest of a set, ascending
    std::unordered_set<size_t> m_joinedOn;  // pieces that a set of the piece before runs into
};

// Reads each piece once: its complete sets, and the halves of the sets cut at its ends.
class PieceReader {
public:
    PieceReader(const ExFatTreeGeometry& g, const ExFatSectorReader& read, const ExFatFatReader& fat)
        : m_m(g), m_read(read), m_fat(fat) {}

    ExFatTreeTable Read(const std::vector<ExFatDirectoryBlock>& blocks, const std::vector<ExFatCutSetLink>& links) {
        for (const ExFatCutSetLink& link : links) m_loneTails.push_back(link.tailBlock);
        // The walker counted each block's sets: the table is sized once, for a vector that grows
        // by doubling would hold up to three times what it keeps while it moves.
        size_t blockCount = 0;
        size_t setCount = 0;
        for (auto b = FirstExFatBlockFrom(blocks, m_m.g.heapStart); b != blocks.end() && b->firstSector < m_m.g.end; ++b) {
            ++blockCount;
            setCount += b->setCount;
        }
        m_table.pieces.reserve(blockCount);
        m_table.sets.reserve(setCount + links.size());
        auto it = FirstExFatBlockFrom(blocks, m_m.g.heapStart);
        for (; it != blocks.end() && it->firstSector < m_m.g.end; ++it) {
            const u64 blockEnd = it->firstSector + it->sectorCount;
            const u64 stop = std::min(blockEnd, m_m.g.end);
            bool first = true;
            for (u64 s = it->firstSector; s < stop;) {
                const u64 cluster = m_m.ClusterOf(s);
                if (!m_m.InHeap(cluster)) break;
                const u64 e = std::min(stop, m_m.SectorOf(u32(cluster)) + m_m.g.sectorsPerCluster);
                ExFatTreePiece p;
                p.first = s;
                p.count = u32(e - s);
                p.cluster = u32(cluster);
                if (first) p.flags |= ExFatTreePiece::kBlockFirst;
                if (e == blockEnd) {
                    p.flags |= ExFatTreePiece::kBlockLast;
                    if ((it->flags & kExFatBlockEndsCut) != 0) p.flags |= ExFatTreePiece::kBlockEndsCut;
                }
                ReadPiece(p);
                m_table.pieces.push_back(p);
                first = false;
                s = e;
            }
        }
        ReadLoneTails();
        m_table.cutBytes.shrink_to_fit();
        if (m_table.unreadPieces != 0) {
            ReleaseTrace("exFAT tree: %llu folder pieces could not be read; their entries are missing",
                         static_cast<unsigned long long>(m_table.unreadPieces));
        }
        return std::move(m_table);
    }

private:
    // Keeps the first entries of the piece just read, which begins with the rest of a cut set:
    // only its leading secondaries can finish a set.
    void KeepTail(ExFatTreePiece& p) {
        p.flags |= ExFatTreePiece::kBeginsWithTail;
        p.tailAt = m_table.cutBytes.size();
        p.tailBytes = u32(ExFatLeadingSecondaries(m_bytes.data(), std::min(kExFatTailBytes, m_bytes.size())) * kExFatEntrySize);
        m_table.cutBytes.insert(m_table.cutBytes.end(), m_bytes.begin(), m_bytes.begin() + p.tailBytes);
    }

    void ReadPiece(ExFatTreePiece& p) {
        const u32 ss = m_m.g.sectorSize;
        m_bytes.assign(size_t(p.count) * ss, 0);
        p.setBegin = p.setEnd = m_table.sets.size();
        if (!m_read(p.first, p.count, m_bytes.data())) {
            ++m_table.unreadPieces;
            return;
        }
        if (p.first == m_m.SectorOf(p.cluster) && IsExFatSetSecondary(m_bytes[0])) KeepTail(p);
        // Sector by sector, so that each set records the sector of its file entry; a sector the
        // parser refuses costs the rest of that sector only.
        ExFatEntrySetParser parser;
        parser.SetLimits(m_m.limits);
        for (u64 k = 0; k < p.count; ++k) {
            if (!parser.Feed(m_bytes.data() + k * ss, ss, p.first + k)) parser.Reset();
        }
        for (ExFatEntrySet& set : parser.GetSets()) {
            // Placement and the nodes need the name in one form only.
            std::u16string().swap(set.nameUnits);
            m_table.sets.push_back(std::move(set));
        }
        p.setEnd = m_table.sets.size();
        // A set cut at the cluster's end, where the block goes on into the next cluster or ends
        // with a cut set.
        const bool mayEndCut = (p.flags & ExFatTreePiece::kBlockLast) == 0 || (p.flags & ExFatTreePiece::kBlockEndsCut) != 0;
        if (!m_m.EndsCluster(p) || !mayEndCut) return;
        const size_t tailBytes = size_t(std::min<u64>(kCutSectors, p.count)) * ss;
        const u8* tail = m_bytes.data() + m_bytes.size() - tailBytes;
        size_t offset = 0;
        if (!CutSetIn(tail, tailBytes, offset)) return;
        p.headAt = m_table.cutBytes.size();
        p.headBytes = u32(tailBytes - offset);
        m_table.cutBytes.insert(m_table.cutBytes.end(), tail + offset, tail + tailBytes);
        // The cluster the FAT names next holds the rest, found there even when it is no block.
        const u32 next = m_fat ? m_fat(p.cluster) : 0;
        if (m_m.InHeap(next)) m_loneTails.push_back(m_m.SectorOf(next));
    }

    // A cluster that holds only the rest of a cut set and then nothing makes no block of its own:
    // where the block walker joined such a tail, or the FAT names its cluster, its first entries
    // are read for the join, as a piece that holds no sets and belongs to no folder by itself.
    void ReadLoneTails() {
        const u32 ss = m_m.g.sectorSize;
        std::sort(m_loneTails.begin(), m_loneTails.end());
        m_loneTails.erase(std::unique(m_loneTails.begin(), m_loneTails.end()), m_loneTails.end());
        const size_t blockPieces = m_table.pieces.size();
        for (u64 sector : m_loneTails) {
            if (sector < m_m.g.heapStart || sector >= m_m.g.end) continue;
            const u64 cluster = m_m.ClusterOf(sector);
            if (!m_m.InHeap(cluster) || m_m.SectorOf(u32(cluster)) != sector) continue;
            auto at = std::lower_bound(m_table.pieces.begin(), m_table.pieces.begin() + ptrdiff_t(blockPieces), sector,
                                       [](const ExFatTreePiece& p, u64 s) { return p.first < s; });
            if (at != m_table.pieces.begin() + ptrdiff_t(blockPieces) && at->first == sector) continue;
            const u64 count = std::min<u64>({(kExFatTailBytes + ss - 1) / ss, m_m.g.sectorsPerCluster, m_m.g.end - sector});
            m_bytes.assign(size_t(count) * ss, 0);
            if (!m_read(sector, count, m_bytes.data()) || !IsExFatSetSecondary(m_bytes[0])) continue;
            ExFatTreePiece p;
            p.first = sector;
            p.count = u32(count);
            p.cluster = u32(cluster);
            p.flags = ExFatTreePiece::kTailOnly;
            p.setBegin = p.setEnd = m_table.sets.size();
            KeepTail(p);
            m_table.pieces.push_back(p);
        }
        std::inplace_merge(m_table.pieces.begin(), m_table.pieces.begin() + ptrdiff_t(blockPieces), m_table.pieces.end(),
                           [](const ExFatTreePiece& a, const ExFatTreePiece& b) { return a.first < b.first; });
        std::vector<u64>().swap(m_loneTails);
    }

    GeometryMath m_m;
    const ExFatSectorReader& m_read;
    const ExFatFatReader& m_fat;
    ExFatTreeTable m_table;
    std::vector<u64> m_loneTails;  // sectors where a tail may begin that no block begins
    std::vector<u8> m_bytes;
};

}  // namespace

ExFatTreeTable ReadExFatTreePieces(const std::vector<ExFatDirectoryBlock>& blocks,
                                   const std::vector<ExFatCutSetLink>& links, const ExFatTreeGeometry& geometry,
                                   const ExFatSectorReader& read, const ExFatFatReader& fat) {
    if (!UsableGeometry(geometry) || !read) return {};
    return PieceReader(geometry, read, fat).Read(blocks, links);
}

ExFatBlockTree PlaceExFatTreePieces(ExFatTreeTable&& table, const std::vector<ExFatCutSetLink>& links,
                                    const ExFatTreeGeometry& geometry, const ExFatFatReader& fat) {
    if (!UsableGeometry(geometry)) return {};
    return TreePlacer(std::move(table), links, geometry, fat).Place();
}

ExFatBlockTree BuildExFatBlockTree(const std::vector<ExFatDirectoryBlock>& blocks,
                                   const std::vector<ExFatCutSetLink>& links, const ExFatTreeGeometry& geometry,
                                   const ExFatSectorReader& read, const ExFatFatReader& fat) {
    return PlaceExFatTreePieces(ReadExFatTreePieces(blocks, links, geometry, read, fat), links, geometry, fat);
}
