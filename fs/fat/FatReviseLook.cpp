#include "fs/fat/FatReviseLook.h"

#include <algorithm>
#include <iterator>

#include "devices/StorageDevice.h"
#include "raw/RawFileAnalyser.h"

namespace {
// Heads closer than this on the device are read in one run: reading the bytes between costs less
// than another read of a stick. A run is never longer than kMaxRunBytes.
constexpr u64 kMaxGapBytes = 32 * 1024;
constexpr u64 kMaxRunBytes = 1024 * 1024;
// Heads kept at the most before the oldest are let go (a folder of very many deleted files).
constexpr size_t kMaxHeads = 16384;
// A header check may look this far past a cluster's start, as the carving search lets it.
constexpr u64 kHeadBytes = IRawFileAnalyser::kHeaderLookAheadBytes;
// What a header check is given at the least.
constexpr u64 kMinHeadBytes = 512;
}  // namespace

CFatClusterHeads::CFatClusterHeads(IStorageDevice* device, u64 dataStart, u32 sectorsPerCluster, u64 clusters)
    : m_device(device), m_dataStart(dataStart), m_spc(sectorsPerCluster), m_clusters(clusters),
      m_sectorSize(device != nullptr ? device->GetSectorSize() : 512) {
    if (m_sectorSize == 0) m_sectorSize = 512;
    m_headSectors = (std::max(kHeadBytes, kMinHeadBytes) + m_sectorSize - 1) / m_sectorSize;
}

void CFatClusterHeads::Read(std::vector<u64> clusters) {
    if (m_device == nullptr) return;
    std::erase_if(clusters, [this](u64 c) { return !IsCluster(c) || m_heads.count(c) != 0; });
    if (clusters.empty()) return;
    if (m_heads.size() + clusters.size() > kMaxHeads) m_heads.clear();
    std::sort(clusters.begin(), clusters.end());
    clusters.erase(std::unique(clusters.begin(), clusters.end()), clusters.end());
    const u64 total = m_device->GetTotalSectors();
    const u64 gapSectors = std::max<u64>(1, kMaxGapBytes / m_sectorSize);
    const u64 runSectors = std::max<u64>(m_headSectors, kMaxRunBytes / m_sectorSize);
    size_t first = 0;
    while (first < clusters.size()) {
        const u64 start = SectorOf(clusters[first]);
        u64 end = start + m_headSectors;
        size_t next = first + 1;
        while (next < clusters.size()) {
            const u64 at = SectorOf(clusters[next]);
            if (at > end + gapSectors || at + m_headSectors - start > runSectors) break;
            end = std::max(end, at + m_headSectors);
            ++next;
        }
        if (start < total) {
            end = std::min(end, total);
            const auto from = clusters.begin();
            ReadRun(start, end - start, std::vector<u64>(from + std::ptrdiff_t(first), from + std::ptrdiff_t(next)));
        } else {
            for (size_t i = first; i < next; ++i) m_heads[clusters[i]].clear();
        }
        first = next;
    }
}

void CFatClusterHeads::ReadRun(u64 firstSector, u64 count, const std::vector<u64>& clusters) {
    std::vector<u8> bytes(count * m_sectorSize, 0);
    ++m_reads;
    if (m_device->Read(bytes.data(), firstSector, count) == 0) {
        // A run that fails is read head by head, so that one bad sector costs only its own.
        if (clusters.size() > 1) {
            for (const u64 c : clusters) {
                const u64 at = SectorOf(c);
                ReadRun(at, std::min(m_headSectors, firstSector + count - at), {c});
            }
            return;
        }
        // A head whose look-ahead fails is kept from its first sector alone.
        std::fill(bytes.begin(), bytes.end(), 0);
        ++m_reads;
        if (count <= 1 || m_device->Read(bytes.data(), firstSector, 1) == 0) {
            m_heads[clusters.front()].clear();
            return;
        }
        count = 1;
    }
    for (const u64 c : clusters) {
        const u64 offset = (SectorOf(c) - firstSector) * m_sectorSize;
        const u64 held = std::min<u64>(m_headSectors * m_sectorSize, count * m_sectorSize - offset);
        std::vector<u8>& head = m_heads[c];
        head.assign(bytes.begin() + std::ptrdiff_t(offset), bytes.begin() + std::ptrdiff_t(offset + held));
        if (head.size() < kMinHeadBytes) head.resize(kMinHeadBytes, 0);
    }
}

const std::vector<u8>* CFatClusterHeads::Head(u64 cluster) {
    if (!IsCluster(cluster)) return nullptr;
    if (m_heads.count(cluster) == 0) Read({cluster});
    const auto it = m_heads.find(cluster);
    return it == m_heads.end() || it->second.empty() ? nullptr : &it->second;
}

bool CFatClusterHeads::Blank(u64 cluster, u64 bytes) {
    const std::vector<u8>* head = Head(cluster);
    if (head == nullptr) return true;
    const u64 looked = std::min<u64>({bytes, head->size(), u64(m_spc) * m_sectorSize});
    if (std::any_of(head->begin(), head->begin() + std::ptrdiff_t(looked), [](u8 b) { return b != 0; })) return false;
    // Zeros as far as the head goes: the rest of the first cluster tells.
    const u64 clusterBytes = u64(m_spc) * m_sectorSize;
    const u64 wanted = std::min(bytes, clusterBytes);
    if (wanted <= looked) return true;
    const u64 from = SectorOf(cluster) + looked / m_sectorSize;
    const u64 sectors = std::min((wanted - looked + m_sectorSize - 1) / m_sectorSize,
                                 m_device->GetTotalSectors() > from ? m_device->GetTotalSectors() - from : 0);
    if (sectors == 0) return true;
    std::vector<u8> rest(sectors * m_sectorSize, 0);
    ++m_reads;
    if (m_device->Read(rest.data(), from, sectors) == 0) return true;
    return std::all_of(rest.begin(), rest.end(), [](u8 b) { return b == 0; });
}

void CFatFileClaims::Add(u64 first, u64 count, u64 owner, const ClaimAge& age) {
    if (count == 0) return;
    m_claims.push_back({first, first + count, owner, age});
    m_sorted = false;
}

bool CFatFileClaims::HeldByNotOlder(u64 cluster, u64 owner, const ClaimAge& age) {
    if (!m_sorted) {
        std::sort(m_claims.begin(), m_claims.end(), [](const Claim& a, const Claim& b) { return a.first < b.first; });
        m_maxEnd.resize(m_claims.size());
        u64 furthest = 0;
        for (size_t k = 0; k < m_claims.size(); ++k) m_maxEnd[k] = furthest = std::max(furthest, m_claims[k].end);
        m_sorted = true;
    }
    auto k = size_t(std::upper_bound(m_claims.begin(), m_claims.end(), cluster,
                                     [](u64 c, const Claim& claim) { return c < claim.first; }) -
                    m_claims.begin());
    // Back over the claims that begin before it while one of them may still reach it.
    while (k-- > 0 && m_maxEnd[k] > cluster) {
        const Claim& claim = m_claims[k];
        if (claim.end > cluster && claim.owner != owner && !ClaimIsNewer(age, claim.age)) return true;
    }
    return false;
}

void CFatClaimedClusters::Add(u64 first, u64 count) {
    if (count == 0) return;
    u64 end = first + count;
    auto it = m_ranges.upper_bound(first);
    if (it != m_ranges.begin()) {
        const auto before = std::prev(it);
        if (before->second >= first) {
            first = before->first;
            end = std::max(end, before->second);
            it = m_ranges.erase(before);
        }
    }
    while (it != m_ranges.end() && it->first <= end) {
        end = std::max(end, it->second);
        it = m_ranges.erase(it);
    }
    m_ranges.emplace(first, end);
}

bool CFatClaimedClusters::Holds(u64 cluster) const {
    auto it = m_ranges.upper_bound(cluster);
    if (it == m_ranges.begin()) return false;
    return cluster < std::prev(it)->second;
}
