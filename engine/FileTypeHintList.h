#pragma once
// File-type hints: what a directory entry's extension says a file should be, and where its data
// should start. A deep search books one hint per named entry; once the RAW search has found files
// by signature, the hints inside a candidate partition that point at a file of the same type
// count as evidence for that candidate.
#include <string>
#include <vector>

#include "platform/Types.h"

class CInt64HashTable;
class CSearchedPartitionInfo;

class CFileTypeHint {
public:
    static constexpr u64 kNone = ~u64(0);

    // The extension after the last '.' is looked up among the file types of the RAW search (ids 1
    // to 77). The name must have at least 3 characters, the dot may not be the first one and the
    // extension has at most 4 characters. An unknown extension, or a first cluster or record
    // sector that is negative as a signed value, answers false and leaves the hint unchanged.
    bool InitFromWideName(const char16_t* name, u8 length, u64 firstCluster, u64 recordSector);
    bool InitFromAnsiName(const char* name, u8 length, u64 firstCluster, u64 recordSector);

    u32 GetFileType() const { return m_fileType; }
    u64 GetFirstCluster() const { return m_firstCluster; }
    u64 GetRecordSector() const { return m_recordSector; }

    // The file type of an extension (without its dot, any letter case); 0 when unknown.
    static u32 LookupExtension(const std::string& extension);

private:
    bool InitFromExtension(const std::string& extension, u64 firstCluster, u64 recordSector);

    u32 m_fileType = 0;
    u64 m_firstCluster = kNone;
    u64 m_recordSector = kNone;
};

class CFileTypeHintList {
public:
    void Clear() { m_hints.clear(); }
    void Add(const CFileTypeHint& hint) { m_hints.push_back(hint); }
    // Appends a hint when the name's extension gives a known file type; true when appended.
    bool AddFromAnsiName(const char* name, u8 length, u64 firstCluster, u64 recordSector);
    // Adds one RAW type match to the candidate for each hint inside it whose data sector holds a
    // file found by signature of the hint's type. Hints are expected in ascending record-sector
    // order: the first hint at or past the candidate's end ends the count.
    void CountRawTypeMatches(const CInt64HashTable& foundFiles, CSearchedPartitionInfo& candidate) const;

    size_t GetCount() const { return m_hints.size(); }
    const std::vector<CFileTypeHint>& GetHints() const { return m_hints; }

private:
    std::vector<CFileTypeHint> m_hints;
};
