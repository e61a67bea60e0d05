#include "engine/ClusterClaims.h"

#include <algorithm>
#include <set>

#include "engine/DataRunList.h"
#include "engine/FileProperties.h"
#include "platform/Log.h"

namespace {

// Compare's answers.
constexpr int kFirstNewer = -1;
constexpr int kSecondNewer = 1;
constexpr int kNoOrder = 0;
constexpr int kNoWeighing = 2;

// Which of two deleted claims was written last, from what each recorded; kNoOrder when nothing
// proves it.
int CompareDeleted(const ClaimAge& a, const ClaimAge& b) {
    if (a.lsn != 0 && b.lsn != 0 && a.lsn != b.lsn) return a.lsn > b.lsn ? kFirstNewer : kSecondNewer;
    if (a.writtenFrom != 0 && b.writtenUntil != 0 && a.writtenFrom > b.writtenUntil) return kFirstNewer;
    if (b.writtenFrom != 0 && a.writtenUntil != 0 && b.writtenFrom > a.writtenUntil) return kSecondNewer;
    return kNoOrder;
}

// The order of two claims that weigh against each other, live or deleted, of one file system or
// found by signature.
int CompareAges(const ClaimAge& a, const ClaimAge& b) {
    if (a.generation != b.generation) return a.generation > b.generation ? kFirstNewer : kSecondNewer;
    if (a.carved != b.carved) return a.carved ? kSecondNewer : kFirstNewer;
    if (a.inUse != b.inUse) return a.inUse ? kFirstNewer : kSecondNewer;
    // Two live files on one cluster: the volume is cross-linked, and neither can be trusted.
    if (a.inUse) return kNoOrder;
    return CompareDeleted(a, b);
}

}  // namespace

bool ClaimIsNewer(const ClaimAge& a, const ClaimAge& b) {
    if (a.carved && b.carved) return false;
    return CompareAges(a, b) == kFirstNewer;
}

ClaimAge AgeFromTimes(const IFileProperties& properties, u32 generation, bool inUse) {
    ClaimAge age;
    age.generation = generation;
    age.inUse = inUse;
    const u32 valid = properties.GetValidFields();
    FILETIME64 created = 0, modified = 0;
    if ((valid & kValidCreationTime) != 0) properties.GetCreationTime(created);
    if ((valid & kValidModificationTime) != 0) properties.GetModificationTime(modified);
    // Without a creation time the modification time is the only mark of the write.
    age.writtenFrom = created != 0 ? created : modified;
    age.writtenUntil = std::max(created, modified);
    return age;
}

CClusterClaims::ClaimId CClusterClaims::Add(IFileProperties* file, const ClaimAge& age, Owner owner) {
    m_claims.push_back({file, age, owner});
    return ClaimId(m_claims.size() - 1);
}

void CClusterClaims::AddSectors(ClaimId claim, u64 first, u64 count) {
    if (count == 0 || claim >= m_claims.size()) return;
    const u64 end = first + count < first ? ~u64(0) : first + count;
    // A file's runs are mostly in order: a run that continues the last extent of its claim
    // lengthens it instead of adding one.
    if (!m_extents.empty() && m_extents.back().claim == claim && m_extents.back().end == first) {
        m_extents.back().end = end;
    } else {
        m_extents.push_back({first, end, claim});
    }
    m_indexed = false;
}

void CClusterClaims::AddRuns(ClaimId claim, const IDataRunList& runs, u64 size, u64 volumeStart,
                             u32 sectorsPerCluster, u32 sectorSize) {
    if (sectorsPerCluster == 0 || sectorSize == 0 || runs.IsResident()) return;
    const u64 clusterBytes = u64(sectorsPerCluster) * sectorSize;
    u64 covered = 0;
    for (size_t i = 0; i < runs.GetExtentCount() && covered < size; ++i) {
        const DataRunExtent& e = runs.GetExtent(i);
        const u64 left = size - covered;
        // Bytes of the file this extent holds, then the sectors they fill.
        const unsigned __int128 extentBytes = static_cast<unsigned __int128>(e.length) * clusterBytes;
        const u64 bytes = extentBytes < left ? u64(extentBytes) : left;
        covered += bytes;
        if (e.start < 0 || bytes == 0) continue;
        const unsigned __int128 first =
            static_cast<unsigned __int128>(u64(e.start)) * sectorsPerCluster + volumeStart;
        if (first > ~u64(0)) continue;
        AddSectors(claim, u64(first), bytes / sectorSize + (bytes % sectorSize != 0 ? 1 : 0));
    }
}

int CClusterClaims::Compare(const Claim& a, const Claim& b) const {
    if (&a == &b) return kNoWeighing;
    if (a.owner != 0 && a.owner == b.owner) return kNoWeighing;
    if (a.file == nullptr && b.file == nullptr) return kNoWeighing;
    if (a.age.carved && b.age.carved) return kNoWeighing;
    // A structure of the volume in use and a live file on it agree: the structure is how the
    // volume says the file holds its clusters.
    if (a.age.inUse && b.age.inUse && a.age.generation == b.age.generation &&
        (a.file == nullptr || b.file == nullptr)) {
        return kNoWeighing;
    }
    return CompareAges(a.age, b.age);
}

void CClusterClaims::BuildIndex() const {
    if (m_indexed) return;
    m_sorted = m_extents;
    std::sort(m_sorted.begin(), m_sorted.end(), [](const Extent& x, const Extent& y) { return x.first < y.first; });
    m_maxEnd.resize(m_sorted.size());
    u64 maxEnd = 0;
    for (size_t i = 0; i < m_sorted.size(); ++i) {
        maxEnd = std::max(maxEnd, m_sorted[i].end);
        m_maxEnd[i] = maxEnd;
    }
    m_indexed = true;
}

bool CClusterClaims::AnyClaimOn(u64 first, u64 count, Owner exceptOwner) const {
    if (count == 0) return false;
    BuildIndex();
    const u64 end = first + count < first ? ~u64(0) : first + count;
    // Extents that start before the range ends, walked back while one of them may still reach in.
    size_t i = size_t(std::lower_bound(m_sorted.begin(), m_sorted.end(), end,
                                       [](const Extent& x, u64 value) { return x.first < value; }) -
                      m_sorted.begin());
    while (i > 0 && m_maxEnd[i - 1] > first) {
        --i;
        const Extent& x = m_sorted[i];
        if (x.end <= first) continue;
        const Owner owner = m_claims[x.claim].owner;
        if (exceptOwner == 0 || owner != exceptOwner) return true;
    }
    return false;
}

std::vector<CClusterClaims::ClaimId> CClusterClaims::Weigh(const char* what) {
    BuildIndex();
    std::vector<bool> lost(m_claims.size(), false);
    // The extents that have started and not ended yet, ordered by where they end.
    std::multiset<std::pair<u64, size_t>> open;
    for (size_t i = 0; i < m_sorted.size(); ++i) {
        const Extent& x = m_sorted[i];
        while (!open.empty() && open.begin()->first <= x.first) open.erase(open.begin());
        const Claim& cx = m_claims[x.claim];
        for (const auto& [end, j] : open) {
            const ClaimId other = m_sorted[j].claim;
            if (other == x.claim) continue;
            const Claim& co = m_claims[other];
            switch (Compare(cx, co)) {
                case kFirstNewer: lost[other] = true; break;
                case kSecondNewer: lost[x.claim] = true; break;
                case kNoOrder:
                    lost[x.claim] = true;
                    lost[other] = true;
                    break;
                default: break;
            }
        }
        open.emplace(x.end, i);
    }
    std::vector<ClaimId> losers;
    for (ClaimId id = 0; id < m_claims.size(); ++id) {
        if (!lost[id]) continue;
        IFileProperties* file = m_claims[id].file;
        // A structure's claim is never counted: it is no file.
        if (file == nullptr) continue;
        losers.push_back(id);
        if ((file->GetState() & kStateClustersTaken) != 0) continue;
        file->SetState(u8(file->GetState() | kStateClustersTaken));
        const char* name = file->GetName();
        ReleaseTrace("%s: file %s: clusters of its data belong to another file now; it is counted incomplete",
                     what != nullptr ? what : "", name != nullptr ? name : "");
    }
    return losers;
}
