#include "fs/fat/FatFamilyDeepSearch.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <memory>

#include "devices/CachedStorageDevice.h"
#include "engine/DirectoryTreeBuilder.h"
#include "engine/FileProperties.h"
#include "engine/FileSystemNode.h"
#include "engine/LostFileCollector.h"
#include "engine/DataRunList.h"
#include "engine/FileNode.h"
#include "engine/Int64HashTable.h"
#include "engine/RawFileInfo.h"
#include "engine/RawFileInfoPool.h"
#include "engine/SearchedPartitionInfo.h"

u32 CBootOverlayDevice::Read(void* buffer, u64 first, u64 count) {
    if (m_volume->Read(buffer, first, count) == 0) return 0;
    if (first == 0 && count > 0) std::memcpy(buffer, m_boot.data(), std::min<size_t>(m_boot.size(), GetSectorSize()));
    return 1;
}

void CFatFamilyCompleteSearch::SetDevice(IStorageDevice* device) {
    m_device = device;
    m_cache = dynamic_cast<CStorageDeviceWithCache*>(device);
    m_sectorSize = device != nullptr ? device->GetSectorSize() : 512;
}

u32 CFatFamilyCompleteSearch::SearchBlock(u64 first, u64 count) {
    if (!m_device || count == 0 || m_sectorSize < 512) return 0;
    const u8* block = PeekOrReadBlock(m_cache, m_device, first, count, m_sectorSize, m_block);
    if (!block) return 0;
    for (u64 i = 0; i < count; ++i) ClassifySector(first + i, block + i * m_sectorSize);
    return 1;
}

std::vector<ClusterExtent> LiveFileClusters(const CFileNode* root) {
    std::vector<ClusterExtent> extents;
    if (root == nullptr) return extents;
    ForEachLiveRunList(*root, [&](const IFileProperties& p, const IDataRunList& runs) {
        if ((p.GetAttributes() & kAttrDirectory) != 0) return;
        for (size_t i = 0; i < runs.GetExtentCount(); ++i) {
            const DataRunExtent& e = runs.GetExtent(i);
            if (e.start >= 0 && e.length != 0) extents.push_back({u64(e.start), u64(e.start) + e.length});
        }
    });
    std::sort(extents.begin(), extents.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    // Merged, so that one binary search answers for a cluster.
    std::vector<ClusterExtent> merged;
    for (const ClusterExtent& e : extents) {
        if (!merged.empty() && e.first <= merged.back().end) {
            merged.back().end = std::max(merged.back().end, e.end);
        } else {
            merged.push_back(e);
        }
    }
    return merged;
}

bool IsClusterInExtents(const std::vector<ClusterExtent>& extents, u64 index) {
    auto it = std::upper_bound(extents.begin(), extents.end(), index,
                               [](u64 i, const ClusterExtent& e) { return i < e.first; });
    return it != extents.begin() && index < std::prev(it)->end;
}

u64 CountHintsFoundAt(const CFileTypeHintList& hints, const CRawFileInfoPool& pool, u64 recordFrom, u64 recordEnd,
                      u64 dataStart, u64 sectorsPerCluster, u64 clusters) {
    const std::vector<CFileTypeHint>& all = hints.GetHints();
    auto it = std::lower_bound(all.begin(), all.end(), recordFrom,
                               [](const CFileTypeHint& h, u64 s) { return h.GetRecordSector() < s; });
    u64 matches = 0;
    for (; it != all.end() && it->GetRecordSector() < recordEnd; ++it) {
        if (it->GetFirstCluster() >= clusters) continue;
        const CRawFileInfo* found = pool.GetIndex().Lookup(dataStart + it->GetFirstCluster() * sectorsPerCluster);
        if (found != nullptr && found->fileType == it->GetFileType()) ++matches;
    }
    return matches;
}

void CountTypeMatches(const CFileTypeHintList& hints, const CRawFileInfoPool& pool, CSearchedPartitionInfo& c,
                      u64 dataStart) {
    const u64 start = c.GetPartitionStart();
    const u64 end = start + c.GetTotalSectors();
    const u64 spc = c.GetSectorsPerCluster();
    if (spc == 0 || end <= dataStart) return;
    const u64 matches = CountHintsFoundAt(hints, pool, start, end, dataStart, spc, (end - dataStart) / spc);
    for (u64 i = 0; i < matches; ++i) c.AddRawTypeMatch();
}

u32 CFatFamilyCompleteSearch::CollectLostFiles(std::vector<CSearchedPartitionInfo*>& chosen) {
    if (!m_builder || !m_pool || m_pool->IsEmpty() || !m_device) return 0;
    for (CSearchedPartitionInfo* c : chosen) {
        CFileSystemNode* root = m_builder->GetTreeRoot(c);
        u64 dataStart = 0;
        u32 spc = 0;
        if (!root || !root->GetPartitionGeometry(dataStart, spc) || spc == 0) continue;
        const u64 end = c->GetPartitionStart() + c->GetTotalSectors();
        const u64 clusters = end > dataStart ? (end - dataStart) / spc : 0;
        const std::vector<ClusterExtent> live = LiveFileClusters(root);
        LostFileCollector collector;
        collector.KeepToFreeClusters(dataStart, spc, clusters,
                                     [&live](u64 index) { return IsClusterInExtents(live, index); });
        collector.Collect(m_device, *m_pool, m_builder, c, nullptr);
    }
    return 1;
}

void CFatFamilyCompleteSearch::AddProvisionalRoot(PropertiesRef<> properties, u32 fsCode, u64 id) {
    FileSystemNodePtr root = m_builder != nullptr ? CreateFileSystemNode() : nullptr;
    if (!root || !properties) return;
    root->SetFileProperties(properties.release());
    root->SetPartitionGeometry(0, 0);
    root->SetFileSystemType(fsCode);
    root->SetId(id);
    if (m_builder->AddFileSystemTree(root.get()) != 0) root.release();
}

bool CFatFamilyCompleteSearch::ReadSector(u64 sector, std::vector<u8>& buffer) {
    if (!m_device || sector >= m_device->GetTotalSectors()) return false;
    buffer.assign(m_sectorSize, 0);
    return m_device->Read(buffer.data(), sector, 1) != 0;
}
