#pragma once
// The form in which every properties object keeps its extents, in memory and in saved results:
// NTFS mapping pairs ended by a 0 byte, plus the value offset of a resident attribute.
#include <vector>

#include "platform/Types.h"

class IDataRunList;
class IRSData;

class CCompactRunList {
public:
    CCompactRunList() = default;
    ~CCompactRunList() { delete[] m_runs; }
    CCompactRunList(const CCompactRunList&) = delete;
    CCompactRunList& operator=(const CCompactRunList&) = delete;

    // A new compact list of the list's extents; null for a null or empty list.
    static CCompactRunList* Create(IDataRunList* list);
    // A new resident (kind 1) or non-resident (kind 2) NTFS list of the stored extents, owned by
    // the caller; null when there is no buffer or nothing decodes.
    IDataRunList* Expand() const;
    // Encoded bytes including the terminating 0; 0 without a buffer.
    u32 GetEncodedLength() const;
    // u32 N, N bytes of mapping pairs, u16 resident offset.
    void Save(IRSData* stream) const;
    // A new compact list read from a saved form; null for a null stream. Pairs that are
    // malformed or cut off end the list where they begin.
    static CCompactRunList* Load(IRSData* stream);

    u16 GetResidentOffset() const { return m_residentOffset; }
    const u8* GetEncodedRuns() const { return m_runs; }

private:
    u16 m_residentOffset = 0;  // nonzero only for a resident NTFS attribute
    u8* m_runs = nullptr;      // mapping pairs ended by 0; always well-formed up to that 0
};

// The smallest n in 1..8 such that -2^(8n-1) <= v < 2^(8n-1); 8 when none is smaller.
u32 SignedFieldSize(i64 v);
// Appends one mapping pair: the header (offsetSize << 4 | lengthSize), the length's low
// lengthSize bytes and the delta's low offsetSize bytes, least significant first.
void AppendMappingPair(std::vector<u8>& out, u64 length, u32 lengthSize, i64 delta, u32 offsetSize);
// The extents as mapping pairs ended by 0 in a new[] buffer of exactly that size; null for an
// empty list. *size receives the buffer size when given.
u8* EncodeRunList(IDataRunList* list, u32* size = nullptr);
