#include "fs/fat/FatFamilyDeepSearch.h"

#include <algorithm>
#include <cstring>

#include "devices/CachedStorageDevice.h"
#include "engine/DirectoryTreeBuilder.h"
#include "engine/FileProperties.h"
#include "engine/FileSystemNode.h"
#include "engine/LostFileCollector.h"
#include "engine/RawFileInfoPool.h"

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

u32 CFatFamilyCompleteSearch::CollectLostFiles(std::vector<CSearchedPartitionInfo*>& chosen) {
    if (!m_builder || !m_pool || m_pool->IsEmpty() || !m_device) return 0;
    for (CSearchedPartitionInfo* c : chosen) {
        if (!m_builder->GetTreeRoot(c)) continue;
        LostFileCollector collector;
        collector.Collect(m_device, *m_pool, m_builder, c, nullptr);
    }
    return 1;
}

void CFatFamilyCompleteSearch::AddProvisionalRoot(IFileProperties* properties, u32 fsCode, u64 id) {
    CFileSystemNode* root = m_builder != nullptr ? CreateFileSystemNode() : nullptr;
    if (!root || !properties) {
        DestroyTreeNode(root);
        if (properties) properties->Release();
        return;
    }
    root->SetFileProperties(properties);
    root->SetPartitionGeometry(0, 0);
    root->SetFileSystemType(fsCode);
    root->SetId(id);
    if (m_builder->AddFileSystemTree(root) == 0) DestroyTreeNode(root);
}

bool CFatFamilyCompleteSearch::ReadSector(u64 sector, std::vector<u8>& buffer) {
    if (!m_device || sector >= m_device->GetTotalSectors()) return false;
    buffer.assign(m_sectorSize, 0);
    return m_device->Read(buffer.data(), sector, 1) != 0;
}
