#include "fs/fat/FatRevise.h"

#include <algorithm>
#include <iterator>
#include <vector>

#include "devices/StorageDevice.h"
#include "engine/FileNode.h"
#include "raw/AnalyserRegistry.h"
#include "fs/fat/FatDirEntry.h"
#include "fs/fat/FatFileProperties.h"

namespace {
constexpr u64 kMaxReferenceSizeTenth = 0x19000001;
constexpr u64 kFileTimeTicksPerSecond = 10000000;
}  // namespace

bool IsPEImageHeader(const u8* sector, u32 sectorSize) {
    if (sector == nullptr || sectorSize < 64 || sector[0] != 'M' || sector[1] != 'Z') return false;
    const u64 offset = ReadLE32(sector + 60);
    if (offset + 3 > u64(sectorSize) + 1) return false;
    return sector[offset] == 'P' && sector[offset + 1] == 'E';
}

bool HasKnownFileHeader(IStorageDevice* device, u64 dataStart, u32 sectorsPerCluster, u64 cluster,
                        const std::vector<IRawFileAnalyser*>& analysers) {
    if (cluster > kFatHighWordStep) return true;
    if (device == nullptr || cluster < 2) return false;
    const u32 sectorSize = device->GetSectorSize();
    std::vector<u8> sector(sectorSize < 512 ? 512 : sectorSize, 0);
    if (!device->Read(sector.data(), dataStart + (cluster - 2) * sectorsPerCluster, 1)) return false;
    for (IRawFileAnalyser* analyser : analysers) {
        if (analyser == nullptr) continue;
        CRawFileInfo record;
        if (analyser->CheckFileHeader(sector.data(), u32(sector.size()), record) != 0) return true;
    }
    return IsPEImageHeader(sector.data(), sectorSize);
}

CFatReviseReferences::CFatReviseReferences(const std::vector<CFileNode*>& references) {
    for (CFileNode* node : references) {
        if (node == nullptr) continue;
        auto* p = dynamic_cast<CFATFileProperties*>(node->GetFileProperties());
        if (p == nullptr || p->GetSize() / 10 >= kMaxReferenceSizeTenth) continue;
        FILETIME64 created = 0;
        p->GetCreationTime(created);
        const Reference r{created / kFileTimeTicksPerSecond, p->GetFirstCluster(), p->GetSize(), node};
        if ((p->GetState() & 1) != 0) {
            m_deleted.push_back(r);
            continue;
        }
        if (m_live.empty() || r.cluster > m_highestLive.cluster) m_highestLive = r;
        m_live.push_back(r);
    }
    // Sorted once, so that every deleted file of a large folder is judged without a walk of all.
    const auto byTime = [](const Reference& a, const Reference& b) { return a.seconds < b.seconds; };
    std::stable_sort(m_deleted.begin(), m_deleted.end(), byTime);
    std::stable_sort(m_live.begin(), m_live.end(), byTime);
}

const CFatReviseReferences::Reference* CFatReviseReferences::LatestUpTo(const std::vector<Reference>& sorted,
                                                                        u64 seconds, const CFileNode* self) {
    auto it = std::upper_bound(sorted.begin(), sorted.end(), seconds,
                               [](u64 s, const Reference& r) { return s < r.seconds; });
    // Each step back passes over one whole second of creations; only `self` can make it take
    // more than one.
    while (it != sorted.begin()) {
        const u64 latest = std::prev(it)->seconds;
        const auto first =
            std::lower_bound(sorted.begin(), it, latest, [](const Reference& r, u64 s) { return r.seconds < s; });
        for (auto r = first; r != it; ++r) {
            if (self == nullptr || r->node != self) return &*r;
        }
        it = first;
    }
    return nullptr;
}

const CFatReviseReferences::Reference* CFatReviseReferences::EarliestAfter(const std::vector<Reference>& sorted,
                                                                           u64 seconds) {
    auto it = std::upper_bound(sorted.begin(), sorted.end(), seconds,
                               [](u64 s, const Reference& r) { return s < r.seconds; });
    return it != sorted.end() ? &*it : nullptr;
}

u64 CFatReviseReferences::Estimate(const CFileNode* self, u64 size, u64 recordedCluster, FILETIME64 creationTime,
                                   u64 clusterBytes) const {
    if (recordedCluster >= kFatHighWordStep || clusterBytes == 0) return recordedCluster;
    const u64 low = recordedCluster & kFatLowWordMask;
    const u64 seconds = creationTime / kFileTimeTicksPerSecond;

    if (size != 0) {
        // The file is one of the deleted references itself, and its own recorded cluster lost
        // the very high word looked for.
        const Reference* nearest = LatestUpTo(m_deleted, seconds, self);
        if (nearest != nullptr && nearest->cluster > kFatHighWordStep) {
            const u64 end = nearest->cluster + nearest->size / clusterBytes;
            return (end / kFatHighWordStep) * kFatHighWordStep + low;
        }
    }

    // The live neighbours in creation time: the file was most likely written next to them.
    if (m_live.empty()) return recordedCluster;
    const u64 limit = m_highestLive.cluster + (m_highestLive.size + clusterBytes - 1) / clusterBytes;
    for (const Reference* neighbour : {LatestUpTo(m_live, seconds), EarliestAfter(m_live, seconds)}) {
        if (neighbour == nullptr) continue;
        const u64 candidate = (neighbour->cluster / kFatHighWordStep) * kFatHighWordStep + low;
        if (candidate <= limit) return candidate;
    }
    return recordedCluster;
}

u64 EstimateDeletedFirstCluster(const std::vector<CFileNode*>& references, const CFileNode* self, u64 size,
                                u64 recordedCluster, FILETIME64 creationTime, u64 clusterBytes) {
    return CFatReviseReferences(references).Estimate(self, size, recordedCluster, creationTime, clusterBytes);
}

std::vector<IRawFileAnalyser*> GetFatReviseAnalysers() {
    const auto& list = CRawFileAnalyserRegistry::Instance().GetOffsetAnalyserList(0);
    return std::vector<IRawFileAnalyser*>(list.begin(), list.end());
}
