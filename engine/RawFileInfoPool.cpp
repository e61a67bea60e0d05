#include "engine/RawFileInfoPool.h"

#include "engine/RawFileInfo.h"

CRawFileInfoPool::CRawFileInfoPool() = default;
CRawFileInfoPool::~CRawFileInfoPool() = default;

CRawFileInfo* CRawFileInfoPool::Add(std::unique_ptr<CRawFileInfo> record) {
    if (!record) return nullptr;
    CRawFileInfo* stored = record.get();
    m_records.push_back(std::move(record));
    m_index.Insert(stored->startSector, stored);
    return stored;
}
