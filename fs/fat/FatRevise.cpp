#include "fs/fat/FatRevise.h"

#include <vector>

#include "devices/StorageDevice.h"
#include "engine/FileNode.h"
#include "raw/AnalyserRegistry.h"
#include "fs/fat/FatFileProperties.h"

namespace {
constexpr u64 kHighWordStep = 65536;
constexpr u64 kMaxReferenceSizeTenth = 0x19000001;

struct Reference {
    u64 seconds;
    u64 cluster;
    u64 size;
    bool deleted;
};

std::vector<Reference> Collect(const std::vector<CFileNode*>& references) {
    std::vector<Reference> out;
    for (CFileNode* node : references) {
        if (node == nullptr) continue;
        auto* p = dynamic_cast<CFATFileProperties*>(node->GetFileProperties());
        if (p == nullptr || p->GetSize() / 10 >= kMaxReferenceSizeTenth) continue;
        FILETIME64 created = 0;
        p->GetCreationTime(created);
        out.push_back({created / 10000000, p->GetFirstCluster(), p->GetSize(), (p->GetState() & 1) != 0});
    }
    return out;
}
}  // namespace

bool IsPEImageHeader(const u8* sector, u32 sectorSize) {
    if (sector == nullptr || sectorSize < 64 || sector[0] != 'M' || sector[1] != 'Z') return false;
    const u64 offset = ReadLE32(sector + 60);
    if (offset + 3 > u64(sectorSize) + 1) return false;
    return sector[offset] == 'P' && sector[offset + 1] == 'E';
}

bool HasKnownFileHeader(IStorageDevice* device, u64 dataStart, u32 sectorsPerCluster, u64 cluster,
                        const std::vector<IRawFileAnalyser*>& analysers) {
    if (cluster > kHighWordStep) return true;
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

u64 EstimateDeletedFirstCluster(const std::vector<CFileNode*>& references, u64 size, u64 recordedCluster,
                                FILETIME64 creationTime, u64 clusterBytes) {
    if (recordedCluster >= kHighWordStep || clusterBytes == 0) return recordedCluster;
    const u64 low = recordedCluster & 0xFFFF;
    const u64 seconds = creationTime / 10000000;
    const std::vector<Reference> refs = Collect(references);

    if (size != 0) {
        const Reference* nearest = nullptr;
        for (const Reference& r : refs) {
            if (!r.deleted || r.seconds > seconds) continue;
            if (nearest == nullptr || r.seconds > nearest->seconds) nearest = &r;
        }
        if (nearest != nullptr && nearest->cluster > kHighWordStep) {
            const u64 end = nearest->cluster + nearest->size / clusterBytes;
            return (end / kHighWordStep) * kHighWordStep + low;
        }
    }

    // The live neighbours in creation time: the file was most likely written next to them.
    const Reference* before = nullptr;
    const Reference* after = nullptr;
    const Reference* highest = nullptr;
    for (const Reference& r : refs) {
        if (r.deleted) continue;
        if (highest == nullptr || r.cluster > highest->cluster) highest = &r;
        if (r.seconds <= seconds) {
            if (before == nullptr || r.seconds > before->seconds) before = &r;
        } else if (after == nullptr || r.seconds < after->seconds) {
            after = &r;
        }
    }
    if (highest == nullptr) return recordedCluster;
    const u64 limit = highest->cluster + (highest->size + clusterBytes - 1) / clusterBytes;
    for (const Reference* neighbour : {before, after}) {
        if (neighbour == nullptr) continue;
        const u64 candidate = (neighbour->cluster / kHighWordStep) * kHighWordStep + low;
        if (candidate <= limit) return candidate;
    }
    return recordedCluster;
}

std::vector<IRawFileAnalyser*> GetFatReviseAnalysers() {
    const auto& list = CRawFileAnalyserRegistry::Instance().GetOffsetAnalyserList(0);
    return std::vector<IRawFileAnalyser*>(list.begin(), list.end());
}
