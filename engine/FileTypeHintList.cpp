#include "engine/FileTypeHintList.h"

#include <map>

#include "engine/Int64HashTable.h"
#include "engine/RawFileInfo.h"
#include "engine/RawFileTypes.h"
#include "engine/SearchedPartitionInfo.h"
#include "platform/Text.h"

namespace {
// Types 1 to 77 of the RAW numbering are known by extension; later types are not.
constexpr u32 kFirstHintType = 1;
constexpr u32 kLastHintType = 77;
constexpr size_t kMaxExtension = 4;

const std::map<std::string, u32>& ExtensionMap() {
    static const std::map<std::string, u32> map = [] {
        std::map<std::string, u32> m;
        for (u32 id = kFirstHintType; id <= kLastHintType; ++id) {
            const char* name = FileTypeExtensions[id];
            const std::string key = AsciiLower(std::string(name, strnlen(name, 5)));
            m.emplace(key, id);  // the first id of a name wins
        }
        return m;
    }();
    return map;
}

bool IsNegative(u64 v) { return static_cast<i64>(v) < 0; }
}  // namespace

u32 CFileTypeHint::LookupExtension(const std::string& extension) {
    const auto& map = ExtensionMap();
    auto it = map.find(AsciiLower(extension));
    return it == map.end() ? 0 : it->second;
}

bool CFileTypeHint::InitFromExtension(const std::string& extension, u64 firstCluster, u64 recordSector) {
    if (extension.size() > kMaxExtension) return false;
    const u32 type = LookupExtension(extension);
    if (type == 0 || IsNegative(firstCluster) || IsNegative(recordSector)) return false;
    m_fileType = type;
    m_firstCluster = firstCluster;
    m_recordSector = recordSector;
    return true;
}

bool CFileTypeHint::InitFromAnsiName(const char* name, u8 length, u64 firstCluster, u64 recordSector) {
    if (name == nullptr) return false;
    const std::string text(name, strnlen(name, length));
    const size_t dot = text.rfind('.');
    if (text.size() < 3 || dot == std::string::npos || dot == 0) return false;
    return InitFromExtension(text.substr(dot + 1), firstCluster, recordSector);
}

bool CFileTypeHint::InitFromWideName(const char16_t* name, u8 length, u64 firstCluster, u64 recordSector) {
    if (name == nullptr) return false;
    size_t n = 0;
    while (n < length && name[n] != 0) ++n;
    size_t dot = n;
    for (size_t i = n; i > 0; --i) {
        if (name[i - 1] == u'.') {
            dot = i - 1;
            break;
        }
    }
    if (n < 3 || dot == n || dot == 0) return false;
    std::string extension;
    for (size_t i = dot + 1; i < n; ++i) {
        // Only ASCII extensions can name a known type.
        if (name[i] >= 0x80) return false;
        extension.push_back(static_cast<char>(name[i]));
    }
    return InitFromExtension(extension, firstCluster, recordSector);
}

bool CFileTypeHintList::AddFromAnsiName(const char* name, u8 length, u64 firstCluster, u64 recordSector) {
    CFileTypeHint hint;
    if (!hint.InitFromAnsiName(name, length, firstCluster, recordSector)) return false;
    m_hints.push_back(hint);
    return true;
}

void CFileTypeHintList::CountRawTypeMatches(const CInt64HashTable& foundFiles,
                                            CSearchedPartitionInfo& candidate) const {
    const u64 start = candidate.GetPartitionStart();
    const u32 spc = candidate.GetSectorsPerCluster();
    u64 end = 0;
    // Candidate bounds come from disk evidence: a sum past 2^64 ends at the last sector instead
    // of wrapping below the start.
    if (__builtin_add_overflow(start, candidate.GetTotalSectors(), &end)) end = ~u64(0);
    for (const CFileTypeHint& hint : m_hints) {
        const u64 recordSector = hint.GetRecordSector();
        if (recordSector < start) continue;
        if (recordSector >= end) break;
        u64 offset = 0;
        u64 fileSector = 0;
        if (__builtin_mul_overflow(hint.GetFirstCluster(), u64(spc), &offset) ||
            __builtin_add_overflow(offset, start, &fileSector))
            continue;
        if (fileSector < start || fileSector >= end) continue;
        const CRawFileInfo* found = foundFiles.Lookup(fileSector);
        if (found != nullptr && found->fileType == hint.GetFileType()) candidate.AddRawTypeMatch();
    }
}
