#pragma once
// A table keyed by 64-bit sector numbers. Keys group into 4096 buckets by their 65536-sector region,
// so the records of one area of a device sit together; a list keeps every entry in insertion order.
#include <list>
#include <map>
#include <utility>
#include <vector>

#include "platform/Types.h"

class CRawFileInfo;

class CInt64HashTable {
public:
    static constexpr u32 kBucketCount = 4096;
    using Entry = std::pair<u64, CRawFileInfo*>;

    CInt64HashTable();

    static u32 BucketOf(u64 key) { return static_cast<u32>((key >> 16) % kBucketCount); }

    // Adds the pointer under key; false (and nothing changes) when the key is already present.
    bool Insert(u64 key, CRawFileInfo* value);
    // The stored pointer, null when the key is absent.
    CRawFileInfo* Lookup(u64 key) const;
    u64 GetCount() const { return m_count; }
    const std::list<Entry>& GetEntries() const { return m_entries; }
    // Forgets every entry; the pointed-to records belong to the caller.
    void Clear();

private:
    std::vector<std::map<u64, CRawFileInfo*>> m_buckets;
    std::list<Entry> m_entries;
    u64 m_count = 0;
};
