#include "engine/CompactRunList.h"

#include <cstring>
#include <new>

#include "engine/DataRunList.h"
#include "engine/RSData.h"

namespace {

// Bytes of complete, well-formed pairs at the start of the buffer (the terminating 0 and
// anything after it not counted). A pair with a field longer than 8 bytes or one that runs past
// the end ends the walk where it begins.
size_t WellFormedPairsLength(const u8* bytes, size_t size) {
    size_t p = 0;
    while (p < size && bytes[p] != 0) {
        const size_t lengthSize = bytes[p] & 0x0F;
        const size_t offsetSize = bytes[p] >> 4;
        if (lengthSize > 8 || offsetSize > 8 || size - p - 1 < lengthSize + offsetSize) break;
        p += 1 + lengthSize + offsetSize;
    }
    return p;
}

}  // namespace

u32 SignedFieldSize(i64 v) {
    for (u32 n = 1; n < 8; ++n) {
        const i64 limit = static_cast<i64>(1) << (8 * n - 1);
        if (v >= -limit && v < limit) return n;
    }
    return 8;
}

void AppendMappingPair(std::vector<u8>& out, u64 length, u32 lengthSize, i64 delta, u32 offsetSize) {
    out.push_back(static_cast<u8>((offsetSize << 4) | (lengthSize & 0x0F)));
    for (u32 i = 0; i < lengthSize; ++i) out.push_back(static_cast<u8>(length >> (8 * i)));
    const u64 bits = static_cast<u64>(delta);
    for (u32 i = 0; i < offsetSize; ++i) out.push_back(static_cast<u8>(bits >> (8 * i)));
}

u8* EncodeRunList(IDataRunList* list, u32* size) {
    if (size != nullptr) *size = 0;
    if (list == nullptr || list->GetExtentCount() == 0) return nullptr;
    std::vector<u8> bytes;
    bytes.reserve(128);
    i64 previous = 0;
    for (size_t i = 0; i < list->GetExtentCount(); ++i) {
        const DataRunExtent& e = list->GetExtent(i);
        const i64 delta = static_cast<i64>(static_cast<u64>(e.start) - static_cast<u64>(previous));
        u32 offsetSize = SignedFieldSize(delta);
        const u32 lengthSize = SignedFieldSize(static_cast<i64>(e.length));
        if (e.start == kSparseExtentStart) {
            offsetSize = 0;
        } else {
            previous = e.start;
        }
        AppendMappingPair(bytes, e.length, lengthSize, delta, offsetSize);
    }
    bytes.push_back(0);
    u8* out = new (std::nothrow) u8[bytes.size()];
    if (out == nullptr) return nullptr;
    std::memcpy(out, bytes.data(), bytes.size());
    if (size != nullptr) *size = static_cast<u32>(bytes.size());
    return out;
}

CCompactRunList* CCompactRunList::Create(IDataRunList* list) {
    if (list == nullptr) return nullptr;
    CCompactRunList* compact = new (std::nothrow) CCompactRunList;
    if (compact == nullptr) return nullptr;
    if (list->GetKind() == kRunListNtfsResident) {
        compact->m_residentOffset = static_cast<u16>(list->GetResidentOffset());
    }
    compact->m_runs = EncodeRunList(list);
    if (compact->m_runs == nullptr) {
        delete compact;
        return nullptr;
    }
    return compact;
}

u32 CCompactRunList::GetEncodedLength() const {
    if (m_runs == nullptr) return 0;
    u32 p = 0;
    while (m_runs[p] != 0) p += (m_runs[p] >> 4) + (m_runs[p] & 0x0F) + 1;
    return p + 1;
}

IDataRunList* CCompactRunList::Expand() const {
    if (m_runs == nullptr) return nullptr;
    const u32 length = GetEncodedLength();
    if (m_residentOffset != 0) {
        CNoneResidentNTFSDataRunList decoded;
        DecodeMappingPairsInto(decoded, m_runs, length);
        const DataRunExtent* first = decoded.GetFirstExtent();
        if (first == nullptr) return nullptr;
        CResidentNTFSDataRunList* resident = new (std::nothrow) CResidentNTFSDataRunList;
        if (resident == nullptr) return nullptr;
        resident->SetResidentData(static_cast<u64>(first->start), first->length, m_residentOffset);
        return resident;
    }
    CNoneResidentNTFSDataRunList* list = new (std::nothrow) CNoneResidentNTFSDataRunList;
    if (list == nullptr) return nullptr;
    list->DecodeMappingPairs(m_runs, static_cast<i32>(length));
    if (list->GetExtentCount() == 0) {
        delete list;
        return nullptr;
    }
    return list;
}

void CCompactRunList::Save(IRSData* stream) const {
    const u32 length = GetEncodedLength();
    stream->WriteU32(length);
    if (length > 0) stream->Write(m_runs, length);
    stream->WriteU16(m_residentOffset);
}

CCompactRunList* CCompactRunList::Load(IRSData* stream) {
    if (stream == nullptr) return nullptr;
    const u32 length = stream->ReadU32();
    // The count comes from the file: it must fit what the section still holds.
    stream->CheckReadable(static_cast<u64>(length) + 2);
    CCompactRunList* compact = new CCompactRunList;
    try {
        if (length > 0) {
            // One byte more than was saved, so that a buffer without its terminating 0 still
            // ends in one.
            compact->m_runs = new u8[static_cast<size_t>(length) + 1];
            stream->Read(compact->m_runs, length);
            compact->m_runs[length] = 0;
            // Keep only well-formed pairs: every later walk relies on the 0 that ends them.
            compact->m_runs[WellFormedPairsLength(compact->m_runs, length)] = 0;
        }
        compact->m_residentOffset = stream->ReadU16();
    } catch (...) {
        delete compact;
        throw;
    }
    return compact;
}
