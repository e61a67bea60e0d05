#include "engine/Int64HashTable.h"

CInt64HashTable::CInt64HashTable() : m_buckets(kBucketCount) {}

bool CInt64HashTable::Insert(u64 key, CRawFileInfo* value) {
    auto& bucket = m_buckets[BucketOf(key)];
    if (!bucket.emplace(key, value).second) return false;
    m_entries.emplace_back(key, value);
    ++m_count;
    return true;
}

CRawFileInfo* CInt64HashTable::Lookup(u64 key) const {
    const auto& bucket = m_buckets[BucketOf(key)];
    auto it = bucket.find(key);
    return it == bucket.end() ? nullptr : it->second;
}

void CInt64HashTable::Clear() {
    for (auto& bucket : m_buckets) bucket.clear();
    m_entries.clear();
    m_count = 0;
}
