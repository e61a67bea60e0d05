#include "fs/fat/FatSearchedPartitionInfo.h"

#include <new>

#include "engine/FsServices.h"
#include "engine/RSData.h"

u32 CFATSearchedPartitionInfo::TestFileNode(CFileNode* node) {
    ICompleteFileSystemSearchController* owner = GetSearchController();
    return owner != nullptr ? owner->TestFileNode(node, this) : 0;
}

u32 CFATSearchedPartitionInfo::ApplyToFileNode(CFileNode* node) {
    ICompleteFileSystemSearchController* owner = GetSearchController();
    return owner != nullptr ? owner->ApplyToFileNode(node, this) : 0;
}

void CFATSearchedPartitionInfo::Save(IRSData* stream) {
    if (stream == nullptr) return;
    CSearchedPartitionInfo::Save(stream);
    stream->WriteU16(m_reservedSectors);
    stream->WriteU32(m_sectorsPerFat);
    stream->WriteU32(m_clusterCount);
    stream->WriteU32(m_root);
    stream->WriteU32(m_flags);
}

void CFATSearchedPartitionInfo::Load(IRSData* stream) {
    if (stream == nullptr) return;
    CSearchedPartitionInfo::Load(stream);
    m_reservedSectors = stream->ReadU16();
    m_sectorsPerFat = stream->ReadU32();
    m_clusterCount = stream->ReadU32();
    m_root = stream->ReadU32();
    m_flags = stream->ReadU32();
}

CFATSearchedPartitionInfo* CreateFATSearchedPartitionInfo(u32 sectorSize) {
    return new (std::nothrow) CFATSearchedPartitionInfo(sectorSize);
}

void DeleteSearchedPartitionInfo(CSearchedPartitionInfo* candidate) { delete candidate; }
