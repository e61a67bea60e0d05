#include "engine/DataRunList.h"

#include "engine/RSData.h"

namespace {
constexpr u32 kSavedExtentSize = 16;
}

void IDataRunList::Clear() {
    m_extents.clear();
    m_cursor = 0;
}

DataRunExtent* IDataRunList::GetFirstExtent() {
    m_cursor = 0;
    return m_extents.empty() ? nullptr : &m_extents.front();
}

DataRunExtent* IDataRunList::GetNextExtent() {
    if (m_cursor < m_extents.size()) ++m_cursor;
    return m_cursor < m_extents.size() ? &m_extents[m_cursor] : nullptr;
}

void IDataRunList::Save(IRSData* stream) const {
    stream->WriteU32(static_cast<u32>(m_extents.size()));
    for (const DataRunExtent& e : m_extents) {
        stream->WriteI64(e.start);
        stream->WriteU64(e.length);
    }
}

void IDataRunList::Load(IRSData* stream) {
    const u32 count = stream->ReadU32();
    // The count comes from the file: it must fit the section before anything is read for it.
    stream->CheckReadable(static_cast<u64>(count) * kSavedExtentSize);
    for (u32 i = 0; i < count; ++i) {
        DataRunExtent e;
        e.start = stream->ReadI64();
        e.length = stream->ReadU64();
        m_extents.push_back(e);
    }
}

void CResidentNTFSDataRunList::Save(IRSData* stream) const {
    IDataRunList::Save(stream);
    stream->WriteU32(m_residentOffset);
}

void CResidentNTFSDataRunList::Load(IRSData* stream) {
    IDataRunList::Load(stream);
    m_residentOffset = stream->ReadU32();
}

void CResidentNTFSDataRunList::SetResidentData(u64 start, u64 length, u32 offset) {
    AppendExtent(start, length);
    m_residentOffset = offset;
}

size_t DecodeMappingPairsInto(IDataRunList& list, const u8* pairs, size_t length) {
    if (pairs == nullptr) return 0;
    size_t p = 0;
    i64 previous = 0;
    while (p < length && pairs[p] != 0) {
        const u32 lengthSize = pairs[p] & 0x0F;
        const u32 offsetSize = pairs[p] >> 4;
        // Fields longer than 8 bytes are outside the format; fields past the end are cut off.
        if (lengthSize > 8 || offsetSize > 8 || length - p - 1 < static_cast<size_t>(lengthSize) + offsetSize) break;
        const u8* field = pairs + p + 1;
        u64 runLength = 0;
        for (u32 i = 0; i < lengthSize; ++i) runLength |= static_cast<u64>(field[i]) << (8 * i);
        field += lengthSize;
        u64 offset = 0;
        for (u32 i = 0; i < offsetSize; ++i) offset |= static_cast<u64>(field[i]) << (8 * i);
        if (offsetSize > 0 && offsetSize < 8 && (field[offsetSize - 1] & 0x80) != 0) {
            offset |= ~0ULL << (8 * offsetSize);  // sign extension
        }
        DataRunExtent e;
        e.length = runLength;
        if (offsetSize == 0) {
            e.start = kSparseExtentStart;
        } else {
            // Damaged pairs may add up past the 64-bit range: wrap instead of overflowing.
            previous = static_cast<i64>(static_cast<u64>(previous) + offset);
            e.start = previous;
        }
        list.AddExtent(e);
        p += 1 + lengthSize + offsetSize;
    }
    return p;
}

u32 CNoneResidentNTFSDataRunList::DecodeMappingPairs(const u8* pairs, i32 length) {
    if (length > 0) DecodeMappingPairsInto(*this, pairs, static_cast<size_t>(length));
    return 1;
}
