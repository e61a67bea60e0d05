#include "fs/ntfs/NTFSClusterUse.h"

#include <algorithm>
#include <bit>
#include <cinttypes>
#include <cstring>
#include <memory>
#include <new>

#include "devices/StorageDevice.h"
#include "engine/DataRunList.h"
#include "engine/FileProperties.h"
#include "fs/ntfs/NTFSRecord.h"
#include "platform/Log.h"

namespace {
constexpr u32 kMftBitmapAttribute = 0xB0;
// The $MFT's bitmap of records is read up to this size (2^32 records).
constexpr u64 kMaxMftBitmapBytes = u64(1) << 29;

u64 ClampedMul(u64 a, u64 b) {
    const unsigned __int128 p = static_cast<unsigned __int128>(a) * b;
    return p > ~u64(0) ? ~u64(0) : u64(p);
}
}  // namespace

CClusterUseMap::CClusterUseMap(u64 startSector, u32 sectorsPerCluster, u32 sectorSize, u64 clusters)
    : m_start(startSector), m_spc(sectorsPerCluster == 0 ? 1 : sectorsPerCluster),
      m_sectorSize(sectorSize == 0 ? 512 : sectorSize), m_clusters(clusters),
      m_bits(static_cast<size_t>((clusters + 7) / 8), 0) {}

void CClusterUseMap::Mark(u64 cluster) {
    if (cluster < m_clusters) m_bits[cluster >> 3] |= u8(1u << (cluster & 7));
}

void CClusterUseMap::MarkRange(u64 from, u64 to) {
    if (from >= m_clusters) return;
    to = std::min(to, m_clusters - 1);
    for (; from <= to && (from & 7) != 0; ++from) Mark(from);
    if (from > to) return;
    const u64 wholeBytes = (to - from + 1) / 8;
    std::fill_n(m_bits.begin() + std::ptrdiff_t(from / 8), wholeBytes, u8(0xFF));
    for (from += wholeBytes * 8; from <= to; ++from) Mark(from);
}

void CClusterUseMap::MarkRecord(u64 recordSector) {
    if (recordSector < m_start) return;
    const u64 cluster = (recordSector - m_start) / m_spc;
    Mark(cluster);
    // A 1024-byte record spans two clusters of one 512-byte sector.
    if (u64(m_spc) * m_sectorSize < ntfs::kMinRecordSize) Mark(cluster + 1);
}

void CClusterUseMap::MarkExtents(const IDataRunList& runs, u64 size) { MarkExtents(runs, size, m_start, m_spc); }

template <class F>
bool CClusterUseMap::ForEachStretch(const IDataRunList& runs, u64 size, u64 fileStart, u32 fileSpc, F&& f) const {
    if (fileSpc == 0 || m_clusters == 0) return false;
    const u64 clusterBytes = u64(fileSpc) * m_sectorSize;
    u64 covered = 0;
    for (size_t i = 0; i < runs.GetExtentCount() && covered < size; ++i) {
        const DataRunExtent& e = runs.GetExtent(i);
        // Clusters of this extent that hold the file's bytes.
        const u64 left = size - covered;
        const u64 needed = left / clusterBytes + (left % clusterBytes != 0 ? 1 : 0);
        const u64 clusters = std::min<u64>(e.length, needed);
        covered = clusters >= needed ? size : covered + clusters * clusterBytes;
        // A hole takes no cluster, nor does an extent that is not on the volume.
        if (e.start < 0 || clusters == 0) continue;
        const unsigned __int128 first = static_cast<unsigned __int128>(u64(e.start)) * fileSpc + fileStart;
        u64 from = 0, to = 0;
        if (ClustersHolding(first, first + static_cast<unsigned __int128>(clusters) * fileSpc, from, to) && f(from, to)) {
            return true;
        }
    }
    return false;
}

void CClusterUseMap::MarkExtents(const IDataRunList& runs, u64 size, u64 fileStart, u32 fileSpc) {
    ForEachStretch(runs, size, fileStart, fileSpc, [this](u64 from, u64 to) {
        MarkRange(from, to);
        return false;
    });
}

bool CClusterUseMap::ClustersHolding(unsigned __int128 first, unsigned __int128 end, u64& from, u64& to) const {
    const unsigned __int128 mapEnd = static_cast<unsigned __int128>(m_clusters) * m_spc + m_start;
    if (end <= first || end <= m_start || first >= mapEnd) return false;
    from = first <= m_start ? 0 : u64((first - m_start) / m_spc);
    to = u64((std::min(end, mapEnd) - 1 - m_start) / m_spc);
    return true;
}

u64 CClusterUseMap::CountUsed() const {
    u64 n = 0;
    for (u8 b : m_bits) n += u64(std::popcount(b));
    return n;
}

std::unique_ptr<CClusterUseMap> CreateClusterUseMap(u64 startSector, u32 sectorsPerCluster, u32 sectorSize,
                                                    u64 clusters) {
    try {
        return std::make_unique<CClusterUseMap>(startSector, sectorsPerCluster, sectorSize, clusters);
    } catch (const std::bad_alloc&) {
        LogInfo("No memory for the map of the %" PRIu64 " clusters of the NTFS volume at sector %" PRIu64
                "; the clusters other files hold are not weighed",
                clusters, startSector);
        return nullptr;
    }
}

std::vector<u8> ReadMftRecordBitmap(IStorageDevice& device, u64 mftRecordSector, u32 recordSectors, u64 volumeStart,
                                    u32 sectorsPerCluster) {
    const u32 sectorSize = device.GetSectorSize();
    const u64 length = u64(recordSectors) * sectorSize;
    if (sectorsPerCluster == 0 || length < ntfs::kMinRecordSize || length > ntfs::kMaxRecordSize) return {};
    u8 record[ntfs::kMaxRecordSize] = {};
    if (device.Read(record, mftRecordSector, recordSectors) == 0 || !ValidateFileRecord(record, u32(length))) return {};
    ApplyFileRecordFixups(record, RecordSpan(record, u32(length)));
    if (!IsMFTRecord(record, u32(length))) return {};
    const u8* bitmap = FindRecordAttribute(record, u32(length), kMftBitmapAttribute, 0);
    if (bitmap == nullptr) return {};
    if (!AttrIsNonResident(bitmap)) {
        u32 valueLength = 0;
        const u8* value = AttrResidentValue(bitmap, &valueLength);
        return value != nullptr ? std::vector<u8>(value, value + valueLength) : std::vector<u8>();
    }
    u32 pairsLength = 0;
    const u8* pairs = AttrMappingPairs(bitmap, &pairsLength);
    if (pairs == nullptr || !ValidateMappingPairs(pairs, pairsLength)) return {};
    const u64 allocated =
        ClampedMul(ClampedMul(SumMappingPairsLengths(pairs, pairsLength), sectorsPerCluster), sectorSize);
    if (allocated > kMaxMftBitmapBytes) {
        LogInfo("NTFS $MFT bitmap of the volume at sector %" PRIu64 " is %" PRIu64 " bytes; not read", volumeStart,
                allocated);
        return {};
    }
    std::vector<u8> bytes(static_cast<size_t>(allocated), 0);
    if (!ReadNonResidentAttributeData(pairs, pairsLength, bytes.data(), allocated, volumeStart, sectorsPerCluster,
                                      &device)) {
        return {};
    }
    bytes.resize(static_cast<size_t>(std::min<u64>(AttrInitializedSize(bitmap), allocated)));
    return bytes;
}

bool MftBitmapClaims(const std::vector<u8>& bitmap, u64 number) {
    if (bitmap.empty()) return true;
    return number != ~u64(0) && number / 8 < bitmap.size() && (bitmap[number / 8] >> (number % 8) & 1) != 0;
}

void AppendRecordSectors(const u8* fixedRecord, u32 length, u64 volumeStart, u32 sectorsPerCluster,
                         std::vector<NtfsSectorExtent>& out) {
    if (fixedRecord == nullptr || sectorsPerCluster == 0) return;
    for (const u8* a : RecordAttributes(fixedRecord, length)) {
        u32 pairsLength = 0;
        const u8* pairs = AttrIsNonResident(a) ? AttrMappingPairs(a, &pairsLength) : nullptr;
        if (pairs == nullptr || !ValidateMappingPairs(pairs, pairsLength)) continue;
        NTFSRunList runs;
        DecodeNTFSDataRuns(pairs, pairsLength, runs);
        for (const NTFSRun& r : runs) {
            if (r.lcn == kSparseLCN) continue;
            const unsigned __int128 first = static_cast<unsigned __int128>(r.lcn) * sectorsPerCluster + volumeStart;
            const unsigned __int128 sectors = static_cast<unsigned __int128>(r.count) * sectorsPerCluster;
            if (first > ~u64(0) || sectors > ~u64(0) || sectors == 0) continue;
            out.push_back({u64(first), u64(sectors)});
        }
    }
}

void CNtfsClaims::AddRecordInUse(const u8* fixedRecord, u32 length, const NtfsClaimVolume& volume) {
    std::vector<NtfsSectorExtent> extents;
    AppendRecordSectors(fixedRecord, length, volume.start, volume.sectorsPerCluster, extents);
    for (const NtfsSectorExtent& e : extents) AddStructure(volume.generation, e);
}

void CNtfsClaims::AddStructure(u32 generation, const NtfsSectorExtent& extent) {
    m_claims.AddSectors(StructureClaim(generation), extent.first, extent.count);
}

CClusterClaims::ClaimId CNtfsClaims::StructureClaim(u32 generation) {
    const auto it = m_structures.find(generation);
    if (it != m_structures.end()) return it->second;
    ClaimAge age;
    age.generation = generation;
    age.inUse = true;
    const CClusterClaims::ClaimId claim = m_claims.Add(nullptr, age);
    m_structures.emplace(generation, claim);
    return claim;
}

void CNtfsClaims::AddFile(IFileProperties& file, u64 recordSector, u64 lsn, bool inUse, const NtfsClaimVolume& volume) {
    if ((file.GetAttributes() & kAttrDirectory) != 0) return;
    std::unique_ptr<IDataRunList> runs(file.CreateDataRunList());
    if (!runs || runs->IsResident()) return;
    ClaimAge age = AgeFromTimes(file, volume.generation, inUse);
    if (!inUse && volume.lsnsComparable) age.lsn = lsn;
    // The device sector of the record, never 0 for a record: one owner for all it names.
    const CClusterClaims::Owner owner = recordSector + 1;
    const CClusterClaims::ClaimId claim = m_claims.Add(&file, age, owner);
    // A deleted file's bytes past its initialized size were never written: what lies there is
    // not its own to lose.
    const u64 size = inUse ? file.GetSize() : std::min(file.GetInitializedSize(), file.GetSize());
    m_claims.AddRuns(claim, *runs, size, volume.start, volume.sectorsPerCluster, volume.sectorSize);
}
