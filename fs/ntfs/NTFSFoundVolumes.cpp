#include "fs/ntfs/NTFSFoundVolumes.h"

#include <algorithm>

#include "fs/ntfs/NTFSPartitionCandidate.h"
#include "fs/ntfs/NTFSRecord.h"
#include "fs/ntfs/NTFSRunList.h"

namespace {
constexpr u64 kSmallestCluster = 512;
constexpr u64 kLargestCluster = u64(2) << 20;

bool IsClusterSize(u64 bytes, u32 sectorSize) {
    return bytes >= kSmallestCluster && bytes <= kLargestCluster && (bytes & (bytes - 1)) == 0 && sectorSize != 0 &&
           bytes % sectorSize == 0;
}

bool SameName(const u8* a, const u8* b) {
    const u8 length = AttrNameLength(a);
    if (AttrNameLength(b) != length) return false;
    const u32 bytes = 2u * length;
    // The header check bounds a name inside its attribute.
    if (AttrNameOffset(a) + bytes > AttrLength(a) || AttrNameOffset(b) + bytes > AttrLength(b)) return false;
    return std::equal(a + AttrNameOffset(a), a + AttrNameOffset(a) + bytes, b + AttrNameOffset(b));
}

// Of the attribute of this type named as the first non-resident one of the type (unnamed for
// $DATA, the file's own stream): its allocated size over the clusters of all its extents.
u32 AttributeClusterBytes(const u8* record, u32 length, u32 type, u32 sectorSize) {
    const u8* first = nullptr;
    u64 allocated = 0;
    u64 clusters = 0;
    bool atZero = false;
    for (u32 n = 0;; ++n) {
        const u8* a = FindRecordAttribute(record, length, type, n);
        if (a == nullptr) break;
        if (type == ntfs::kAttrData && AttrNameLength(a) != 0) continue;
        if (first != nullptr && !SameName(first, a)) continue;
        // Resident data takes no cluster, so it tells nothing of their size.
        if (!AttrIsNonResident(a)) return 0;
        if (first == nullptr) first = a;
        u32 pairsLength = 0;
        const u8* pairs = AttrMappingPairs(a, &pairsLength);
        if (pairs == nullptr || !ValidateMappingPairs(pairs, pairsLength)) return 0;
        const u64 extent = SumMappingPairsLengths(pairs, pairsLength);
        if (extent > ~u64(0) - clusters) return 0;
        clusters += extent;
        if (AttrFirstVCN(a) == 0) {
            atZero = true;
            allocated = AttrAllocatedSize(a);
        }
    }
    if (!atZero || clusters == 0 || allocated % clusters != 0) return 0;
    const u64 bytes = allocated / clusters;
    return IsClusterSize(bytes, sectorSize) ? u32(bytes) : 0;
}
}  // namespace

u32 RecordClusterBytes(const u8* fixedRecord, u32 length, u32 sectorSize) {
    if (fixedRecord == nullptr) return 0;
    // With an attribute list, extents of an attribute may stand in extension records.
    if (FindRecordAttribute(fixedRecord, length, ntfs::kAttrAttributeList, 0) != nullptr) return 0;
    const u32 data = AttributeClusterBytes(fixedRecord, length, ntfs::kAttrData, sectorSize);
    return data != 0 ? data : AttributeClusterBytes(fixedRecord, length, ntfs::kAttrIndexAllocation, sectorSize);
}

CNtfsVolumePlacer::CNtfsVolumePlacer(NtfsVolumeKey chosen, u32 recordStride,
                                     const std::vector<const NTFSMFTLocation*>& mfts,
                                     const CNTFSCandidateSet* candidates)
    : m_chosen(chosen), m_stride(std::max<u32>(1, recordStride)), m_mfts(mfts) {
    if (candidates != nullptr) {
        candidates->ForEach([this](const CSearchedNTFSPartitionInfo& c) {
            m_candidates[c.GetSectorsPerCluster()].push_back(
                {c.GetPartitionStart(), c.GetTotalSectors(), c.ComputeScore()});
        });
    }
    for (auto& [spc, list] : m_candidates) {
        std::stable_sort(list.begin(), list.end(),
                         [](const Candidate& a, const Candidate& b) { return a.score > b.score; });
    }
}

bool CNtfsVolumePlacer::HasCandidate(u64 start, u32 sectorsPerCluster, u64 sector) const {
    const auto it = m_candidates.find(sectorsPerCluster);
    if (it == m_candidates.end()) return false;
    return std::any_of(it->second.begin(), it->second.end(), [&](const Candidate& c) {
        return c.start == start && sector >= start && sector - start < c.sectors;
    });
}

CNtfsVolumePlacer::Placement CNtfsVolumePlacer::Place(u64 sector, u64 recordNumber, u32 sectorsPerCluster) const {
    const u32 spc = sectorsPerCluster;
    // The starts at which an $MFT of this cluster size holds the record under its own number,
    // the chosen start first.
    std::vector<u64> starts;
    if (recordNumber != ~u64(0) && spc != 0) {
        const unsigned __int128 offset = static_cast<unsigned __int128>(recordNumber) * m_stride;
        for (const NTFSMFTLocation* mft : m_mfts) {
            if (mft == nullptr || mft->GetSectorsPerCluster() != spc || offset / spc > ~u64(0)) continue;
            const u64 lcn = LookupLCN(mft->GetRuns(), u64(offset / spc));
            if (lcn == kSparseLCN) continue;
            const unsigned __int128 place = static_cast<unsigned __int128>(lcn) * spc + offset % spc;
            if (place > sector) continue;
            const u64 start = sector - u64(place);
            if (std::find(starts.begin(), starts.end(), start) == starts.end()) starts.push_back(start);
        }
        const auto chosen = std::find(starts.begin(), starts.end(), m_chosen.start);
        if (chosen != starts.end()) std::rotate(starts.begin(), chosen, chosen + 1);
    }
    for (u64 start : starts) {
        if (HasCandidate(start, spc, sector)) return {{start, spc}, false};
    }
    if (spc == m_chosen.sectorsPerCluster) return {m_chosen, false};
    if (!starts.empty()) return {{starts.front(), spc}, false};
    if (HasCandidate(m_chosen.start, spc, sector)) return {{m_chosen.start, spc}, false};
    const auto it = m_candidates.find(spc);
    if (it != m_candidates.end()) {
        for (const Candidate& c : it->second) {
            if (sector >= c.start && sector - c.start < c.sectors) return {{c.start, spc}, false};
        }
    }
    return {{m_chosen.start, spc}, true};
}

bool StandsInsideVolumeFormattedOver(const CSearchedNTFSPartitionInfo& candidate,
                                     const std::vector<const CSearchedNTFSPartitionInfo*>& all) {
    if ((candidate.GetEvidence() & ntfsev::kBootSector) != 0) return false;
    const u64 start = candidate.GetPartitionStart();
    const u64 mft = candidate.GetMftSector();
    for (const CSearchedNTFSPartitionInfo* host : all) {
        if (host == nullptr || host == &candidate || (host->GetEvidence() & ntfsev::kBootSector) == 0) continue;
        // The host's tree is built from its own $MFT; without one it nests nothing for certain.
        if (host->GetMftSector() == kNtfsUnknown) continue;
        const u64 hostStart = host->GetPartitionStart();
        const u64 hostEnd = hostStart + std::min(host->GetTotalSectors(), ~u64(0) - hostStart);
        const auto inside = [&](u64 sector) { return sector >= hostStart && sector < hostEnd; };
        if (inside(start) && (mft == kNtfsUnknown || inside(mft))) return true;
    }
    return false;
}
