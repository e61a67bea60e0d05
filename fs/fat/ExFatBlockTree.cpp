#include "fs/fat/ExFatBlockTree.h"

#include <algorithm>
#include <iterator>
#include <map>
#include <set>
#include <unordered_map>
#include <unordered_set>

#include "fs/fat/ExFatPartition.h"
#include "fs/fat/ExFatVolume.h"

namespace {

constexpr u32 kFirstCluster = 2;
// A set has 19 entries at the most: two sectors at a cluster's end hold all of one cut there,
// and two at the next cluster's start hold all of its rest.
constexpr u64 kCutSectors = 2;
// An exFAT folder holds 256 MiB at the most.
constexpr u64 kMaxFolderBytes = u64(256) << 20;
// Loose tails a cut set is tried against, nearest first: a device of unmatched halves must not
// make the build quadratic.
constexpr u32 kTailsTried = 64;
// The two bytes of the file entry that hold the set's checksum.
constexpr u32 kSetChecksumOffset = 2;

// The part of a block that lies in one cluster of the volume.
struct Piece {
    u64 first = 0;
    u64 count = 0;
    u32 cluster = 0;
    size_t block = 0;
    bool blockFirst = false;
    bool blockLast = false;  // and the block ends with it
    bool beginsWithTail = false;  // the rest of a set cut at the end of another cluster
};

// Who says a cluster belongs to a folder; a stronger claim wins over a weaker one.
enum class Claim : u8 { None, DeletedRun, Run, Chain, Root };

struct Owner {
    u32 folder = 0;
    Claim claim = Claim::None;
    u32 next = 0;  // the folder's cluster after this one; 0 when nothing says
};

class TreeBuilder {
public:
    TreeBuilder(const std::vector<ExFatDirectoryBlock>& blocks, const std::vector<ExFatCutSetLink>& links,
                const ExFatTreeGeometry& g, const ExFatSectorReader& read, const ExFatFatReader& fat)
        : m_blocks(blocks), m_links(links), m_g(g), m_read(read), m_fat(fat) {
        const u64 heapClusters = (g.end - g.heapStart) / g.sectorsPerCluster;
        m_clusterEnd = kFirstCluster + std::min<u64>({heapClusters, g.clusterCount, u64(kExFatChainEnd) - kFirstCluster});
        const u64 clusterBytes = g.sectorsPerCluster * g.sectorSize;
        m_limits = ExFatWalkLimits::Make(g.end, Log2Floor(g.sectorSize), Log2Floor(u32(std::min<u64>(clusterBytes, 1u << 31))));
        m_maxFolderClusters = std::max<u64>(1, kMaxFolderBytes / clusterBytes);
    }

    ExFatBlockTree Build() {
        CutPieces();
        std::vector<std::vector<ExFatEntrySet>> own(m_pieces.size());
        for (size_t i = 0; i < m_pieces.size(); ++i) ParsePiece(m_pieces[i], own[i]);
        ClaimRoot();
        for (const auto& sets : own) ClaimFolders(sets);
        AcceptLinks();
        for (const Piece& p : m_pieces) {
            if (p.beginsWithTail) m_tailStarts.push_back(p.first);
        }
        std::vector<std::vector<ExFatEntrySet>> joined(m_pieces.size());
        for (size_t i = 0; i < m_pieces.size(); ++i) JoinCutSet(i, joined[i]);
        for (const auto& sets : joined) ClaimFolders(sets);

        ExFatBlockTree out;
        std::set<u32> lost;
        for (size_t i = 0; i < m_pieces.size(); ++i) {
            if (own[i].empty() && joined[i].empty()) continue;
            const auto [parent, isLost] = Resolve(i);
            if (isLost) lost.insert(parent);
            for (auto* sets : {&own[i], &joined[i]}) {
                for (ExFatEntrySet& set : *sets) out.sets.push_back({std::move(set), parent});
            }
        }
        out.lostFolders.assign(lost.begin(), lost.end());
        return out;
    }

private:
    bool InHeap(u64 cluster) const { return cluster >= kFirstCluster && cluster < m_clusterEnd; }
    u64 ClusterOf(u64 sector) const { return (sector - m_g.heapStart) / m_g.sectorsPerCluster + kFirstCluster; }
    u64 SectorOf(u32 cluster) const { return m_g.heapStart + u64(cluster - kFirstCluster) * m_g.sectorsPerCluster; }
    bool EndsCluster(const Piece& p) const { return p.first + p.count == SectorOf(p.cluster) + m_g.sectorsPerCluster; }

    // Blocks may run on over a cluster's end (the walker knows no cluster size): each cluster's
    // part is placed by itself.
    void CutPieces() {
        auto it = FirstExFatBlockFrom(m_blocks, m_g.heapStart);
        for (; it != m_blocks.end() && it->firstSector < m_g.end; ++it) {
            const u64 blockEnd = it->firstSector + it->sectorCount;
            const u64 stop = std::min(blockEnd, m_g.end);
            const size_t from = m_pieces.size();
            for (u64 s = it->firstSector; s < stop;) {
                const u64 cluster = ClusterOf(s);
                if (!InHeap(cluster)) break;
                const u64 e = std::min(stop, SectorOf(u32(cluster)) + m_g.sectorsPerCluster);
                Piece p;
                p.first = s;
                p.count = e - s;
                p.cluster = u32(cluster);
                p.block = size_t(it - m_blocks.begin());
                p.blockFirst = m_pieces.size() == from;
                p.blockLast = e == blockEnd;
                m_pieces.push_back(p);
                m_wanted.insert(u32(cluster));
                s = e;
            }
            if (m_pieces.size() != from && m_pieces.back().blockLast) m_lastPieceOf[it->firstSector] = m_pieces.size() - 1;
        }
    }

    bool ReadSectors(u64 sector, u64 count, std::vector<u8>& buffer) const {
        buffer.assign(size_t(count) * m_g.sectorSize, 0);
        return count != 0 && m_read(sector, count, buffer.data());
    }

    // Feeds sectors one by one, so that each set records the sector of its file entry; a sector
    // the parser refuses costs the rest of that sector only.
    void Feed(ExFatEntrySetParser& parser, const std::vector<u8>& bytes, u64 first) const {
        for (u64 k = 0; k * m_g.sectorSize < bytes.size(); ++k) {
            if (!parser.Feed(bytes.data() + k * m_g.sectorSize, m_g.sectorSize, first + k)) parser.Reset();
        }
    }

    void ParsePiece(Piece& p, std::vector<ExFatEntrySet>& sets) const {
        std::vector<u8> bytes;
        if (!ReadSectors(p.first, p.count, bytes)) return;
        const u8 type = u8(bytes[0] | kExFatTypeInUse);
        p.beginsWithTail = p.first == SectorOf(p.cluster) && (type == kExFatStreamEntry || type == kExFatNameEntry);
        ExFatEntrySetParser parser;
        parser.SetLimits(m_limits);
        Feed(parser, bytes, p.first);
        sets.swap(parser.GetSets());
    }

    void Take(u32 cluster, u32 folder, Claim claim, u32 next) {
        if (m_wanted.count(cluster) == 0) return;
        Owner& o = m_owners[cluster];
        if (claim <= o.claim) return;
        o = Owner{folder, claim, next};
    }

    void ClaimRoot() {
        if (!InHeap(m_g.rootCluster)) return;
        ClaimChain(m_g.rootCluster, m_maxFolderClusters, Claim::Root);
    }

    // A FAT chain from `first`, `clusters` long at the most: each cluster knows the one after it
    // while the FAT names a heap cluster. The chains of a sound volume share no cluster, so all
    // of them together are about as long as the heap; copies of folder entries that name long
    // chains of their own stop at the first cluster once twice that has been walked.
    void ClaimChain(u32 first, u64 clusters, Claim claim) {
        std::unordered_set<u32> seen;
        u32 cluster = first;
        for (u64 taken = 0; taken < clusters && seen.insert(cluster).second; ++taken) {
            const bool follow = m_fat && taken + 1 < clusters && m_chainSteps < 2 * m_clusterEnd;
            ++m_chainSteps;
            const u32 entry = follow ? m_fat(cluster) : 0;
            const u32 next = InHeap(entry) ? entry : 0;
            Take(cluster, first, claim, next);
            if (next == 0) return;
            cluster = next;
        }
    }

    void ClaimRun(u32 first, u64 clusters, Claim claim) {
        const u64 end = std::min<u64>(u64(first) + clusters, m_clusterEnd);
        for (auto it = m_wanted.lower_bound(first); it != m_wanted.end() && *it < end; ++it) {
            Take(*it, first, claim, u64(*it) + 1 < end ? *it + 1 : 0);
        }
    }

    void ClaimFolders(const std::vector<ExFatEntrySet>& sets) {
        const u64 clusterBytes = m_g.sectorsPerCluster * m_g.sectorSize;
        for (const ExFatEntrySet& set : sets) {
            if (!set.IsDirectory() || !InHeap(set.firstCluster)) continue;
            const u64 length = std::min(set.dataLength, kMaxFolderBytes);
            const u64 clusters = std::max<u64>(1, (length + clusterBytes - 1) / clusterBytes);
            Claim claim = Claim::DeletedRun;
            if (set.inUse != 0) claim = set.noFatChain != 0 ? Claim::Run : Claim::Chain;
            // The same folder listed again (a stale copy of its entry) is walked once.
            if (!m_claimed.insert({set.firstCluster, u8(claim)}).second) continue;
            if (claim == Claim::Chain) {
                // Without a FAT only the folder's first cluster is known.
                ClaimChain(set.firstCluster, m_fat ? clusters : 1, claim);
            } else {
                ClaimRun(set.firstCluster, clusters, claim);
            }
        }
    }

    // A cut set joined across two clusters ties them where the head's folder chain says nothing
    // of the cluster after it; where it names one, only that one can hold the rest.
    void AcceptLinks() {
        for (const ExFatCutSetLink& link : m_links) {
            auto head = m_lastPieceOf.find(link.headBlock);
            if (head == m_lastPieceOf.end() || link.tailBlock < m_g.heapStart) continue;
            const Piece& hp = m_pieces[head->second];
            const u64 tailCluster = ClusterOf(link.tailBlock);
            if (!EndsCluster(hp) || !InHeap(tailCluster) || SectorOf(u32(tailCluster)) != link.tailBlock) continue;
            const u32 next = NextOf(hp.cluster);
            if (next != 0 && next != tailCluster) continue;
            m_headOf.emplace(link.tailBlock, head->second);
            m_tailOf.emplace(head->second, link.tailBlock);
        }
    }

    u32 NextOf(u32 cluster) const {
        auto it = m_owners.find(cluster);
        return it != m_owners.end() ? it->second.next : 0;
    }

    // Where the rest of a set cut at the piece's end may lie, the likeliest first. Where the
    // folder's chain names the next cluster, only that one.
    std::vector<u64> Continuations(size_t i) const {
        const Piece& p = m_pieces[i];
        if (const u32 next = NextOf(p.cluster); next != 0) return {SectorOf(next)};
        std::vector<u64> out;
        if (auto it = m_tailOf.find(i); it != m_tailOf.end()) return {it->second};
        // The walker read on into the cluster that lies next.
        if (!p.blockLast) out.push_back(p.first + p.count);
        // Blocks that begin with the rest of a set and that nothing ties yet, nearest first.
        auto after = std::lower_bound(m_tailStarts.begin(), m_tailStarts.end(), p.first);
        auto before = after;
        for (u32 tried = 0; tried < kTailsTried;) {
            const bool hasAfter = after != m_tailStarts.end();
            const bool hasBefore = before != m_tailStarts.begin();
            if (!hasAfter && !hasBefore) break;
            const u64 sector = hasAfter && (!hasBefore || *after - p.first <= p.first - *std::prev(before)) ? *after++
                                                                                                       : *--before;
            if (m_headOf.count(sector) != 0) continue;
            const auto owner = m_owners.find(u32(ClusterOf(sector)));
            if (owner != m_owners.end() && owner->second.claim != Claim::None) {
                const auto mine = m_owners.find(p.cluster);
                if (mine == m_owners.end() || mine->second.folder != owner->second.folder) continue;
            }
            ++tried;
            out.push_back(sector);
        }
        return out;
    }

    // The offset in `head` of a file entry whose set runs past its end; false when none does.
    static bool CutSetIn(const std::vector<u8>& head, size_t& offset) {
        const size_t entries = head.size() / kExFatEntrySize;
        bool found = false;
        for (size_t k = 0; k < entries; ++k) {
            const u8 type = head[k * kExFatEntrySize];
            if (u8(type | kExFatTypeInUse) != kExFatFileEntry) continue;
            const size_t secondaries = head[k * kExFatEntrySize + 1];
            found = k + 1 + secondaries > entries;
            offset = k * kExFatEntrySize;
        }
        return found;
    }

    // The set whose head ends the piece, finished from the sectors at `tail`, when its checksum
    // and every entry check out.
    bool JoinAt(const std::vector<u8>& head, size_t offset, u64 headFirst, u64 tail, ExFatEntrySet& joined) const {
        if (tail < m_g.heapStart || tail >= m_g.end) return false;
        std::vector<u8> rest;
        if (!ReadSectors(tail, std::min(kCutSectors, m_g.end - tail), rest)) return false;
        const size_t length = size_t(head[offset + 1] + 1) * kExFatEntrySize;
        const size_t fromHead = head.size() - offset;
        if (length <= fromHead || length - fromHead > rest.size()) return false;
        std::vector<u8> set(head.begin() + ptrdiff_t(offset), head.end());
        set.insert(set.end(), rest.begin(), rest.begin() + ptrdiff_t(length - fromHead));
        if (!ExFatSetChecksumMatches(set.data(), u32(set.size()), ReadLE16(set.data() + kSetChecksumOffset))) return false;
        ExFatEntrySetParser parser;
        parser.SetLimits(m_limits);
        if (!parser.Feed(set.data(), u32(set.size()), headFirst + offset / m_g.sectorSize)) return false;
        std::vector<ExFatEntrySet>& sets = parser.GetSets();
        if (sets.size() != 1 || sets.front().count != set.size() / kExFatEntrySize) return false;
        joined = std::move(sets.front());
        return true;
    }

    void JoinCutSet(size_t i, std::vector<ExFatEntrySet>& sets) {
        const Piece& p = m_pieces[i];
        if (!EndsCluster(p)) return;
        if (p.blockLast && (m_blocks[p.block].flags & kExFatBlockEndsCut) == 0) return;
        const u64 headSectors = std::min(kCutSectors, p.count);
        const u64 headFirst = p.first + p.count - headSectors;
        std::vector<u8> head;
        size_t offset = 0;
        if (!ReadSectors(headFirst, headSectors, head) || !CutSetIn(head, offset)) return;
        for (u64 tail : Continuations(i)) {
            ExFatEntrySet joined;
            if (!JoinAt(head, offset, headFirst, tail, joined)) continue;
            sets.push_back(std::move(joined));
            if (tail == p.first + p.count && !p.blockLast) {
                m_joinedOn.insert(i + 1);
            } else if (NextOf(p.cluster) == 0 && m_headOf.emplace(tail, i).second) {
                m_tailOf.emplace(i, tail);
            }
            return;
        }
    }

    // The piece whose folder this piece continues, when no folder owns its cluster.
    bool Predecessor(size_t i, size_t& before) const {
        const Piece& p = m_pieces[i];
        if (auto it = m_headOf.find(p.first); it != m_headOf.end()) {
            before = it->second;
            return true;
        }
        // Two folders' clusters may lie side by side: only a set that runs on over the cluster's
        // end ties the piece to the one before it.
        if (p.blockFirst || m_joinedOn.count(i) == 0) return false;
        before = i - 1;
        return true;
    }

    // The folder of a piece, and whether it is a lost one. Chains of pieces tied by cut sets are
    // followed once: each piece remembers its answer.
    std::pair<u32, bool> Resolve(size_t i) {
        if (m_resolved.empty()) m_resolved.assign(m_pieces.size(), Resolution{});
        std::vector<size_t> path;
        std::pair<u32, bool> answer{m_pieces[i].cluster, true};
        for (size_t at = i;;) {
            Resolution& r = m_resolved[at];
            if (r.state == Resolution::kDone) {
                answer = {r.folder, r.lost};
                break;
            }
            if (r.state == Resolution::kOpen) {
                answer = {m_pieces[at].cluster, true};  // a ring of cut sets: nothing roots it
                break;
            }
            r.state = Resolution::kOpen;
            path.push_back(at);
            auto owner = m_owners.find(m_pieces[at].cluster);
            if (owner != m_owners.end() && owner->second.claim != Claim::None) {
                answer = {owner->second.folder, false};
                break;
            }
            size_t before = 0;
            if (!Predecessor(at, before)) {
                answer = {m_pieces[at].cluster, true};
                break;
            }
            at = before;
        }
        for (size_t at : path) m_resolved[at] = Resolution{Resolution::kDone, answer.first, answer.second};
        return answer;
    }

    struct Resolution {
        static constexpr u8 kNew = 0;
        static constexpr u8 kOpen = 1;
        static constexpr u8 kDone = 2;
        u8 state = kNew;
        u32 folder = 0;
        bool lost = false;
    };

    const std::vector<ExFatDirectoryBlock>& m_blocks;
    const std::vector<ExFatCutSetLink>& m_links;
    const ExFatTreeGeometry& m_g;
    const ExFatSectorReader& m_read;
    const ExFatFatReader& m_fat;
    u64 m_clusterEnd = 0;
    u64 m_maxFolderClusters = 1;
    u64 m_chainSteps = 0;  // FAT entries followed, all chains together
    ExFatWalkLimits m_limits;
    std::vector<Piece> m_pieces;
    std::set<u32> m_wanted;  // clusters that hold a piece
    std::unordered_map<u32, Owner> m_owners;
    std::set<std::pair<u32, u8>> m_claimed;
    std::map<u64, size_t> m_lastPieceOf;          // block's first sector -> its last piece
    std::unordered_map<u64, size_t> m_headOf;     // tail sector -> head piece
    std::unordered_map<size_t, u64> m_tailOf;     // head piece -> tail sector
    std::vector<Resolution> m_resolved;
    std::vector<u64> m_tailStarts;  // pieces that begin a cluster with the rest of a set, ascending
    std::unordered_set<size_t> m_joinedOn;  // pieces that a set of the piece before runs into
};

}  // namespace

ExFatBlockTree BuildExFatBlockTree(const std::vector<ExFatDirectoryBlock>& blocks,
                                   const std::vector<ExFatCutSetLink>& links, const ExFatTreeGeometry& geometry,
                                   const ExFatSectorReader& read, const ExFatFatReader& fat) {
    if (geometry.sectorsPerCluster == 0 || geometry.end <= geometry.heapStart || geometry.sectorSize == 0 || !read) {
        return {};
    }
    return TreeBuilder(blocks, links, geometry, read, fat).Build();
}
