#pragma once
// The files a complete scan found by signature. The RAW deep search adds them; the other deep
// searches count how many agree with their candidates, and the lost-file pass turns them into
// nodes. The pool owns its records.
#include <memory>
#include <vector>

#include "engine/Int64HashTable.h"
#include "platform/Types.h"

class CRawFileInfo;

class CRawFileInfoPool {
public:
    CRawFileInfoPool();
    ~CRawFileInfoPool();
    CRawFileInfoPool(const CRawFileInfoPool&) = delete;
    CRawFileInfoPool& operator=(const CRawFileInfoPool&) = delete;

    // Takes the record over and indexes it by its first sector (a second record of the same
    // sector is kept but not indexed). Returns the stored record.
    CRawFileInfo* Add(std::unique_ptr<CRawFileInfo> record);
    // In the order they were added.
    const std::vector<std::unique_ptr<CRawFileInfo>>& GetRecords() const { return m_records; }
    // By first sector.
    const CInt64HashTable& GetIndex() const { return m_index; }
    size_t GetCount() const { return m_records.size(); }
    bool IsEmpty() const { return m_records.empty(); }

private:
    CInt64HashTable m_index;
    std::vector<std::unique_ptr<CRawFileInfo>> m_records;
};
