#include "fs/ntfs/NTFSRecord.h"

#include <algorithm>
#include <atomic>
#include <cstring>

#include "fs/ntfs/NTFSDBR.h"
#include "fs/ntfs/NTFSRunList.h"
#include "platform/Text.h"

using namespace ntfs;

bool IsValidFileRecordHeader(const u8* r, u32 length) {
    if (r == nullptr || length < kRecordHeaderSize) return false;
    if (std::memcmp(r, "FILE", 4) != 0) return false;
    const u32 count = RecordUsaCount(r);
    const u32 allocated = RecordAllocatedSize(r);
    if (count > 16) return false;
    if (allocated > kMaxRecordSize || allocated % 1024 != 0) return false;
    if (u32(count - 1) > allocated / kFixupStride) return false;  // count 0 wraps and fails
    const u32 usa = RecordUsaOffset(r);
    return usa >= 42 && usa <= 256;
}

u32 RecordSpan(const u8* r, u32 length) {
    if (r == nullptr) return 0;
    if (length >= kRecordHeaderSize) {
        const u32 allocated = RecordAllocatedSize(r);
        if (allocated >= kMinRecordSize && allocated <= kMaxRecordSize && allocated <= length) return allocated;
    }
    return std::min(length, kMaxRecordSize);
}

u32 RecordWalkLimit(const u8* r, u32 length) {
    const u32 span = RecordSpan(r, length);
    if (span < kRecordHeaderSize) return 0;
    const u32 used = RecordBytesInUse(r);
    u32 limit = (used >= 1 && used <= span) ? used : span;
    if (limit < kMinRecordSize) limit = std::min(span, kMinRecordSize);
    return limit;
}

namespace {
// The update-sequence array and the strides it covers inside `length` bytes; false when the
// array itself is not where it could be (it must lie before the first stride's fixup slot).
bool FixupGeometry(const u8* r, u32 length, u32& usaOffset, u32& strides) {
    if (r == nullptr || length < kMinRecordSize) return false;
    usaOffset = RecordUsaOffset(r);
    const u32 count = RecordUsaCount(r);
    if (count == 0 || usaOffset + 2 * count > kFixupStride - 2) return false;
    strides = std::min(count - 1, length / kFixupStride);
    return true;
}
}  // namespace

bool CheckFileRecordFixups(const u8* r, u32 length) {
    u32 usa = 0, strides = 0;
    if (!FixupGeometry(r, length, usa, strides)) return false;
    const u16 usn = ReadLE16(r + usa);
    for (u32 i = 0; i < strides; ++i) {
        if (ReadLE16(r + (i + 1) * kFixupStride - 2) != usn) return false;
    }
    return true;
}

bool ApplyFileRecordFixups(u8* r, u32 length) {
    if (!CheckFileRecordFixups(r, length)) return false;
    u32 usa = 0, strides = 0;
    FixupGeometry(r, length, usa, strides);
    for (u32 i = 0; i < strides; ++i) {
        std::memcpy(r + (i + 1) * kFixupStride - 2, r + usa + 2 * (i + 1), 2);
    }
    return true;
}

bool RestoreFileRecordFixups(u8* r, u32 length) {
    u32 usa = 0, strides = 0;
    if (!FixupGeometry(r, length, usa, strides)) return false;
    for (u32 i = 0; i < strides; ++i) {
        u8* slot = r + (i + 1) * kFixupStride - 2;
        std::memcpy(r + usa + 2 * (i + 1), slot, 2);
        std::memcpy(slot, r + usa, 2);
    }
    return true;
}

namespace {
bool WalkAttributes(const u8* r, u32 span) {
    const u32 limit = RecordWalkLimit(r, span);
    u32 off = RecordFirstAttributeOffset(r);
    // Offsets only grow (every step adds a nonzero length), so the walk ends.
    while (u64(off) + 8 <= limit) {
        const u32 type = ReadLE32(r + off);
        if (type == kAttrEnd) return true;
        if (!IsValidAttributeHeader(r + off, span - off)) return false;
        if (type == kAttrFileName && !IsValidFileNameAttribute(r + off, span - off)) return false;
        const u32 len = AttrLength(r + off);
        if (len == 0) return true;
        off += len;
    }
    return true;
}

// Copies the record part of a buffer and applies its fixups when they check.
u32 FixedCopy(const u8* bytes, u32 length, u8 (&copy)[kMaxRecordSize]) {
    const u32 span = RecordSpan(bytes, length);
    std::memcpy(copy, bytes, span);
    ApplyFileRecordFixups(copy, span);
    return span;
}
}  // namespace

bool ValidateFileRecord(const u8* r, u32 length) {
    if (r == nullptr || length < kMinRecordSize) return false;
    if (!IsValidFileRecordHeader(r, length)) return false;
    u8 copy[kMaxRecordSize];
    const u32 span = FixedCopy(r, length, copy);
    return WalkAttributes(copy, span);
}

bool IsValidAttributeHeader(const u8* a, u32 bytesLeft) {
    if (a == nullptr || bytesLeft < 16) return false;
    const u32 len = AttrLength(a);
    if (len > bytesLeft) return false;
    if (len == 0) return true;  // ends a walk; nothing more is read from it
    if (AttrNameLength(a) != 0 && u32(AttrNameOffset(a)) + 2u * AttrNameLength(a) > len) return false;
    if (!AttrIsNonResident(a)) {
        if (len < 24) return false;
        return u64(AttrValueOffset(a)) + AttrValueLength(a) <= len;
    }
    if (len < 64) return false;
    const u32 pairs = AttrMappingPairsOffset(a);
    if (pairs < 64 || pairs > len) return false;
    if (AttrType(a) == kAttrData && !ValidateMappingPairs(a + pairs, len - pairs)) return false;
    return true;
}

namespace {
constexpr u16 kNtfsNameSeparator = u'/';
}  // namespace

bool IsValidNTFSFileName(const u8* name, u32 length) {
    if (name == nullptr) return length == 0;
    for (u32 i = 0; i < length; ++i) {
        const u16 c = ReadLE16(name + 2 * i);
        if (c == 0) break;
        // The POSIX namespace allows every character but the separator (ntfs-3g writes names
        // with \ : * ? " < > | every day); the name of the recovered file is made safe for the
        // target folder when it is written, not here.
        if (c == kNtfsNameSeparator) return false;
    }
    return true;
}

bool ReadFileNameAttribute(const u8* a, NTFSFileNameInfo& out) {
    if (a == nullptr || AttrType(a) != kAttrFileName) return false;
    u32 valueLength = 0;
    const u8* v = AttrResidentValue(a, &valueLength);
    if (v == nullptr || valueLength < 66) return false;
    const u8 nameLength = v[64];
    if (66u + 2u * nameLength > valueLength) return false;
    out.parentRecord = ReadLE64(v) & 0xFFFFFFFFFFFFull;
    out.parentSequence = ReadLE16(v + 6);
    out.creationTime = ReadLE64(v + 8);
    out.modificationTime = ReadLE64(v + 16);
    out.accessTime = ReadLE64(v + 32);
    out.dataSize = ReadLE64(v + 48);
    out.flags = ReadLE32(v + 56);
    out.nameLength = nameLength;
    out.nameSpace = std::min<u8>(v[65], 4);
    out.name = v + 66;
    return true;
}

const NTFSFileNameInfo* ChooseRecordName(const std::vector<NTFSFileNameInfo>& names) {
    if (names.size() > 1 && names[1].nameSpace == kFileNameSpaceWin32) return &names[1];
    return names.empty() ? nullptr : &names[0];
}

bool IsValidFileNameAttribute(const u8* a, u32 bytesLeft) {
    if (a == nullptr || bytesLeft < 16 || AttrType(a) != kAttrFileName) return false;
    if (!IsValidAttributeHeader(a, bytesLeft) || AttrLength(a) == 0) return false;
    NTFSFileNameInfo info;
    if (!ReadFileNameAttribute(a, info)) return false;
    return IsValidNTFSFileName(info.name, info.nameLength);
}

const u8* AttrResidentValue(const u8* a, u32* valueLength) {
    if (a == nullptr || AttrIsNonResident(a)) return nullptr;
    const u32 len = AttrLength(a);
    if (len < 24) return nullptr;
    const u32 off = AttrValueOffset(a);
    const u32 vlen = AttrValueLength(a);
    if (u64(off) + vlen > len) return nullptr;
    if (valueLength) *valueLength = vlen;
    return a + off;
}

const u8* AttrMappingPairs(const u8* a, u32* pairsLength) {
    if (a == nullptr || !AttrIsNonResident(a)) return nullptr;
    const u32 len = AttrLength(a);
    if (len < 64) return nullptr;
    const u32 off = AttrMappingPairsOffset(a);
    if (off < 64 || off >= len) return nullptr;
    if (pairsLength) *pairsLength = len - off;
    return a + off;
}

namespace {
// The lookup walk: calls visit(offset, type) for each attribute with a sound header, in order,
// until the end marker, a zero length, a bad header or the walk limit; visit answers false to stop.
template <typename Visit>
void ForEachAttribute(const u8* r, u32 length, Visit visit) {
    if (r == nullptr) return;
    const u32 span = RecordSpan(r, length);
    if (span < kRecordHeaderSize) return;
    const u32 limit = RecordWalkLimit(r, span);
    u32 off = RecordFirstAttributeOffset(r);
    while (u64(off) + 8 <= limit) {
        const u32 t = ReadLE32(r + off);
        if (t == kAttrEnd) return;
        if (!IsValidAttributeHeader(r + off, span - off)) return;
        const u32 len = AttrLength(r + off);
        if (len == 0) return;
        if (!visit(off, t)) return;
        off += len;
    }
}
}  // namespace

i32 FindRecordAttributeOffset(const u8* r, u32 length, u32 type, u32 n) {
    i32 found = -1;
    u32 seen = 0;
    ForEachAttribute(r, length, [&](u32 off, u32 t) {
        if (t != type) return true;
        if (seen++ == n) {
            found = i32(off);
            return false;
        }
        return true;
    });
    return found;
}

void ReadRecordFileNames(const u8* r, u32 length, std::vector<NTFSFileNameInfo>& out) {
    ForEachAttribute(r, length, [&](u32 off, u32 t) {
        NTFSFileNameInfo name;
        if (t == kAttrFileName && ReadFileNameAttribute(r + off, name)) out.push_back(name);
        return true;
    });
}

std::vector<const u8*> RecordAttributes(const u8* r, u32 length) {
    std::vector<const u8*> out;
    ForEachAttribute(r, length, [&](u32 off, u32) {
        out.push_back(r + off);
        return true;
    });
    return out;
}

const u8* FindRecordAttribute(const u8* r, u32 length, u32 type, u32 n) {
    const i32 off = FindRecordAttributeOffset(r, length, type, n);
    return off < 0 ? nullptr : r + off;
}

u32 CountRecordAttributes(const u8* r, u32 length, u32 type) {
    // The same walk as the lookup, so that counts and lookups always agree.
    u32 count = 0;
    ForEachAttribute(r, length, [&](u32, u32 t) {
        if (t == type) ++count;
        return true;
    });
    return count;
}

bool FileNameMatches(const u8* a, const char16_t* text) {
    NTFSFileNameInfo info;
    if (text == nullptr || !ReadFileNameAttribute(a, info)) return false;
    u32 n = 0;
    while (text[n] != 0) ++n;
    if (n != info.nameLength) return false;
    for (u32 i = 0; i < n; ++i) {
        if (ReadLE16(info.name + 2 * i) != u16(text[i])) return false;
    }
    return true;
}

bool ReadStandardInformation(const u8* a, NTFSStandardInfo& out) {
    if (a == nullptr || AttrType(a) != kAttrStandardInformation || AttrIsNonResident(a)) return false;
    if (AttrLength(a) < 24 || AttrLength(a) < u32(AttrValueOffset(a)) + 40) return false;
    const u8* v = a + AttrValueOffset(a);
    out.creationTime = ReadLE64(v);
    out.modificationTime = ReadLE64(v + 8);
    out.accessTime = ReadLE64(v + 24);
    out.attributes = ReadLE32(v + 32);
    return true;
}

bool IsFolderWithIndexAllocation(const u8* r, u32 length) {
    if (r == nullptr || RecordSpan(r, length) < kRecordHeaderSize || !RecordIsDirectory(r)) return false;
    const u8* a = FindRecordAttribute(r, length, kAttrIndexAllocation, 0);
    return a != nullptr && AttrIsNonResident(a);
}

namespace {
struct SystemFile {
    i32 number;
    const char16_t* name;
};
const SystemFile kSystemFiles[] = {
    {0, u"$MFT"},     {1, u"$MFTMirr"}, {2, u"$LogFile"}, {3, u"$Volume"},  {4, u"$AttrDef"},
    {5, u"."},        {6, u"$Bitmap"},  {7, u"$Boot"},    {8, u"$BadClus"}, {9, u"$Secure"},
    {10, u"$UpCase"}, {11, u"$Extend"}, {32, u"$Quota"},  {33, u"$ObjId"},  {34, u"$Reparse"},
};

bool SystemAndHidden(const u8* r, u32 length, u32& attributes) {
    NTFSStandardInfo si;
    if (!ReadStandardInformation(FindRecordAttribute(r, length, kAttrStandardInformation, 0), si)) return false;
    attributes = si.attributes;
    return true;
}
}  // namespace

i32 GetSystemFileNumber(const u8* r, u32 length) {
    if (r == nullptr || RecordSpan(r, length) < kRecordHeaderSize || RecordIsExtension(r)) return -1;
    const u8* fn = FindRecordAttribute(r, length, kAttrFileName, 0);
    if (fn == nullptr) return -1;
    for (const SystemFile& f : kSystemFiles) {
        if (FileNameMatches(fn, f.name)) return f.number;
    }
    return -1;
}

bool IsSystemMetadataRecord(const u8* r, u32 length) {
    if (GetSystemFileNumber(r, length) < 0) return false;
    u32 attributes = 0;
    if (!SystemAndHidden(r, length, attributes) || (attributes & 4) == 0) return false;
    return (attributes & 2) != 0;
}

bool IsNamedSystemRecord(const u8* r, u32 length, const char16_t* name) {
    if (r == nullptr || RecordSpan(r, length) < kRecordHeaderSize) return false;
    u32 attributes = 0;
    if (!SystemAndHidden(r, length, attributes) || (attributes & 6) != 6) return false;
    return FileNameMatches(FindRecordAttribute(r, length, kAttrFileName, 0), name);
}

bool IsNamedSystemRecordRaw(const u8* bytes, u32 length, const char16_t* name) {
    if (!ValidateFileRecord(bytes, length)) return false;
    u8 copy[kMaxRecordSize];
    const u32 span = FixedCopy(bytes, length, copy);
    return IsNamedSystemRecord(copy, span, name);
}

bool IsVolumeRecord(const u8* r, u32 length) { return IsNamedSystemRecord(r, length, u"$Volume"); }
bool IsMFTRecord(const u8* r, u32 length) { return IsNamedSystemRecord(r, length, u"$MFT"); }
bool IsMFTMirrRecord(const u8* r, u32 length) { return IsNamedSystemRecord(r, length, u"$MFTMirr"); }
bool IsLogFileRecord(const u8* r, u32 length) { return IsNamedSystemRecord(r, length, u"$LogFile"); }
bool IsBitmapRecord(const u8* r, u32 length) { return IsNamedSystemRecord(r, length, u"$Bitmap"); }
bool IsAttrDefRecord(const u8* r, u32 length) { return IsNamedSystemRecord(r, length, u"$AttrDef"); }
bool IsUpCaseRecord(const u8* r, u32 length) { return IsNamedSystemRecord(r, length, u"$UpCase"); }

std::string NTFSNameToString(const u8* name, u32 units) {
    if (name == nullptr || units == 0) return std::string();
    return Utf16LeToUtf8(name, units, '_');
}

bool ReadVolumeNameFromRecord(const u8* bytes, u32 length, char* out, u32 outSize) {
    if (out != nullptr && outSize > 0) out[0] = 0;
    if (out == nullptr || outSize == 0 || !ValidateFileRecord(bytes, length)) return false;
    u8 copy[kMaxRecordSize];
    const u32 span = FixedCopy(bytes, length, copy);
    if (!IsVolumeRecord(copy, span)) return false;
    const u8* a = FindRecordAttribute(copy, span, kAttrVolumeName, 0);
    u32 valueLength = 0;
    const u8* v = AttrResidentValue(a, &valueLength);
    if (v == nullptr) return false;
    const std::string label = NTFSNameToString(v, valueLength / 2);
    CopyUtf8Bounded(out, std::min<u32>(outSize, 81), label);
    return true;
}

namespace {
std::atomic<u32> g_scanSectorSize{512};
}

void SetScanSectorSize(u32 sectorSize) { g_scanSectorSize = sectorSize; }
u32 GetScanSectorSize() { return g_scanSectorSize; }

u32 GuessSectorsPerCluster(u64 bytes, u32 clusters) {
    if (clusters == 0) return 0;
    u32 sectorSize = g_scanSectorSize;
    if (sectorSize == 0 || sectorSize % 512 != 0) sectorSize = 512;
    const u64 d = u64(clusters) * sectorSize;
    const u64 q = bytes / d + (bytes % d != 0 ? 1 : 0);
    // Rounded up to a power of two, the cluster sizes NTFS has, up to the largest of them.
    if (q > kNtfsMaxClusterBytes / sectorSize) return 0;
    u32 sectors = 1;
    while (sectors < q) sectors <<= 1;
    return q == 0 ? 0 : sectors;
}

u32 GuessSectorsPerClusterFromAttribute(const u8* a) {
    u32 pairsLength = 0;
    const u8* pairs = AttrMappingPairs(a, &pairsLength);
    if (pairs == nullptr || !ValidateMappingPairs(pairs, pairsLength)) return 0;
    const i64 initialized = i64(AttrInitializedSize(a));
    const u64 total = SumMappingPairsLengths(pairs, pairsLength);
    if (initialized <= 0 || total == 0 || total > 0xFFFFFFFFull) return 0;
    return GuessSectorsPerCluster(u64(initialized), u32(total));
}
