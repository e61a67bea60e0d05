#pragma once
// Byte-level access to MFT (FILE) records: header tests, update-sequence fixups, the attribute
// walk and readers for the attribute fields the scans use. Every function takes the length of
// the buffer it may touch; nothing here reads outside it, whatever the bytes say.
#include <string>
#include <vector>

#include "platform/Types.h"

namespace ntfs {
constexpr u32 kAttrStandardInformation = 0x10;
constexpr u32 kAttrAttributeList = 0x20;
constexpr u32 kAttrFileName = 0x30;
constexpr u32 kAttrVolumeName = 0x60;
constexpr u32 kAttrData = 0x80;
constexpr u32 kAttrIndexRoot = 0x90;
constexpr u32 kAttrIndexAllocation = 0xA0;
constexpr u32 kAttrLoggedUtilityStream = 0x100;
constexpr u32 kAttrEnd = 0xFFFFFFFF;

constexpr u32 kMinRecordSize = 1024;
constexpr u32 kMaxRecordSize = 4096;
// The update sequence protects every 512-byte stride of a record, whatever the sector size.
constexpr u32 kFixupStride = 512;
constexpr u32 kRecordHeaderSize = 48;

constexpr u16 kAttrFlagCompressed = 0x0001;
constexpr u16 kAttrFlagEncrypted = 0x4000;
constexpr u32 kFileNameFlagDirectory = 0x10000000;
constexpr u64 kInvalid = ~u64(0);
}  // namespace ntfs

// ---- record header (the buffer must hold at least ntfs::kRecordHeaderSize bytes) ----
bool IsValidFileRecordHeader(const u8* record, u32 length);
inline u16 RecordUsaOffset(const u8* r) { return ReadLE16(r + 4); }
inline u16 RecordUsaCount(const u8* r) { return ReadLE16(r + 6); }
inline u64 RecordLogSequenceNumber(const u8* r) { return ReadLE64(r + 8); }
inline u16 RecordSequenceNumber(const u8* r) { return ReadLE16(r + 16); }
inline u16 RecordFirstAttributeOffset(const u8* r) { return ReadLE16(r + 20); }
inline u16 RecordFlags(const u8* r) { return ReadLE16(r + 22); }
inline bool RecordIsInUse(const u8* r) { return (RecordFlags(r) & 1) != 0; }
inline bool RecordIsDirectory(const u8* r) { return (RecordFlags(r) & 2) != 0; }
inline u32 RecordBytesInUse(const u8* r) { return ReadLE32(r + 24); }
inline u32 RecordAllocatedSize(const u8* r) { return ReadLE32(r + 28); }
inline u64 RecordBaseReference(const u8* r) { return ReadLE64(r + 32); }
inline u64 RecordBaseRecordNumber(const u8* r) { return ReadLE64(r + 32) & 0xFFFFFFFFFFFFull; }
inline bool RecordIsExtension(const u8* r) { return RecordBaseReference(r) != 0; }
inline bool RecordIsNewerLayout(const u8* r) { return RecordUsaOffset(r) >= 48 && ReadLE16(r + 42) == 0; }
inline u32 RecordNumberField(const u8* r) { return ReadLE32(r + 44); }

// Bytes of the buffer that belong to the record: the allocated size from the header when the
// buffer holds it, else the buffer.
u32 RecordSpan(const u8* record, u32 length);
// Where the attribute walk ends: the record's bytes in use (the fixed 1024-byte stretch at the
// least, for records whose in-use count is damaged), never beyond RecordSpan. Attributes are
// looked for only at offsets below this limit minus 8.
u32 RecordWalkLimit(const u8* record, u32 length);

// ---- update-sequence fixups: every 512-byte stride the record's count covers ----
bool CheckFileRecordFixups(const u8* record, u32 length);
// Applies the fixups only when the check passes.
bool ApplyFileRecordFixups(u8* record, u32 length);
bool RestoreFileRecordFixups(u8* record, u32 length);
// Header test and attribute walk on a copy with the fixups applied; the buffer is not changed.
bool ValidateFileRecord(const u8* record, u32 length);

// ---- attributes ----
// `bytesLeft` is what the record holds from the attribute on.
bool IsValidAttributeHeader(const u8* attribute, u32 bytesLeft);
bool IsValidFileNameAttribute(const u8* attribute, u32 bytesLeft);
// `name` is UTF-16LE bytes; walks up to `length` characters or a 0 character. Only '/' makes a
// name invalid: every other character is legal in the POSIX namespace.
bool IsValidNTFSFileName(const u8* name, u32 length);

// The n-th attribute (n from 0) of a type in a record whose fixups are applied; only attributes
// with a sound header are seen, so an attribute's own length bounds every read of its fields.
const u8* FindRecordAttribute(const u8* record, u32 length, u32 type, u32 n);
i32 FindRecordAttributeOffset(const u8* record, u32 length, u32 type, u32 n);
u32 CountRecordAttributes(const u8* record, u32 length, u32 type);
// Every attribute with a sound header, in the lookup walk's order.
std::vector<const u8*> RecordAttributes(const u8* record, u32 length);

inline u32 AttrType(const u8* a) { return ReadLE32(a); }
inline u32 AttrLength(const u8* a) { return ReadLE32(a + 4); }
inline bool AttrIsNonResident(const u8* a) { return a[8] != 0; }
inline u8 AttrNameLength(const u8* a) { return a[9]; }
inline u16 AttrNameOffset(const u8* a) { return ReadLE16(a + 10); }
inline u16 AttrFlags(const u8* a) { return ReadLE16(a + 12); }
inline u16 AttrInstance(const u8* a) { return ReadLE16(a + 14); }
// Resident fields (valid after IsValidAttributeHeader on a resident attribute).
inline u32 AttrValueLength(const u8* a) { return ReadLE32(a + 16); }
inline u16 AttrValueOffset(const u8* a) { return ReadLE16(a + 20); }
// Non-resident fields (valid after IsValidAttributeHeader on a non-resident attribute).
inline u64 AttrFirstVCN(const u8* a) { return ReadLE64(a + 16); }
inline u64 AttrLastVCN(const u8* a) { return ReadLE64(a + 24); }
inline u16 AttrMappingPairsOffset(const u8* a) { return ReadLE16(a + 32); }
inline u16 AttrCompressionUnit(const u8* a) { return ReadLE16(a + 34); }
inline u64 AttrAllocatedSize(const u8* a) { return ReadLE64(a + 40); }
inline u64 AttrDataSize(const u8* a) { return ReadLE64(a + 48); }
inline u64 AttrInitializedSize(const u8* a) { return ReadLE64(a + 56); }
// The resident value with its length, or null for a non-resident attribute or a value the
// attribute does not hold.
const u8* AttrResidentValue(const u8* attribute, u32* valueLength);
// The mapping pairs of a non-resident attribute and their byte count; null when absent.
const u8* AttrMappingPairs(const u8* attribute, u32* pairsLength);

// The name space of a $FILE_NAME that holds the long (Win32) name, and of one that holds the
// short (DOS) name of the same link.
constexpr u8 kFileNameSpaceWin32 = 1;
constexpr u8 kFileNameSpaceDos = 2;

// $FILE_NAME value fields, read once the attribute has been checked to hold them.
struct NTFSFileNameInfo {
    u64 parentRecord = 0;  // 48-bit record number of the parent folder
    u16 parentSequence = 0;  // the sequence number that record had when the name was made
    u64 creationTime = 0;
    u64 modificationTime = 0;
    u64 accessTime = 0;
    u64 dataSize = 0;
    u32 flags = 0;
    u8 nameLength = 0;   // in UTF-16 units
    u8 nameSpace = 0;    // values above 4 read as 4; 1 is the Win32 name
    const u8* name = nullptr;  // UTF-16LE, nameLength units, inside the record
};
bool ReadFileNameAttribute(const u8* attribute, NTFSFileNameInfo& out);
// Every $FILE_NAME of a record whose fixups are applied, in the record's order, appended to out;
// one whose value does not hold its fields is passed over.
void ReadRecordFileNames(const u8* record, u32 length, std::vector<NTFSFileNameInfo>& out);
// The name a record is known by, of its first two names: the second when it is the Win32 name,
// else the first; null when no name was read. A file with several names (hard links) has a
// folder per name, so its folder is taken from this same name wherever that one names a folder
// (ChooseFolderName).
const NTFSFileNameInfo* ChooseRecordName(const std::vector<NTFSFileNameInfo>& names);
// True when the attribute is a $FILE_NAME whose name is exactly `text`.
bool FileNameMatches(const u8* attribute, const char16_t* text);

// $STANDARD_INFORMATION, used only when the attribute holds its first 40 value bytes.
struct NTFSStandardInfo {
    u64 creationTime = 0;
    u64 modificationTime = 0;
    u64 accessTime = 0;
    u32 attributes = 0;
};
bool ReadStandardInformation(const u8* attribute, NTFSStandardInfo& out);

// ---- folders, metadata files, labels ----
bool IsFolderWithIndexAllocation(const u8* record, u32 length);
// Number of the metadata file the record's first $FILE_NAME names, or -1.
i32 GetSystemFileNumber(const u8* record, u32 length);
bool IsSystemMetadataRecord(const u8* record, u32 length);
bool IsNamedSystemRecord(const u8* record, u32 length, const char16_t* name);
// The same on raw bytes that are validated (and fixed up on a copy) first.
bool IsNamedSystemRecordRaw(const u8* bytes, u32 length, const char16_t* name);
bool IsVolumeRecord(const u8* record, u32 length);
bool IsMFTRecord(const u8* record, u32 length);
bool IsMFTMirrRecord(const u8* record, u32 length);
bool IsLogFileRecord(const u8* record, u32 length);
bool IsBitmapRecord(const u8* record, u32 length);
bool IsAttrDefRecord(const u8* record, u32 length);
bool IsUpCaseRecord(const u8* record, u32 length);
// The $Volume record's label into out (at most 80 bytes and outSize - 1, UTF-8, NUL-ended).
// The bytes are raw (fixups not applied); false when the record does not qualify.
bool ReadVolumeNameFromRecord(const u8* bytes, u32 length, char* out, u32 outSize);

// UTF-16LE name to the system code page (UTF-8), '_' for what does not convert.
std::string NTFSNameToString(const u8* name, u32 units);

// ---- cluster-size estimates ----
// The process-wide sector size the estimates divide by (512 until a deep search sets it).
void SetScanSectorSize(u32 sectorSize);
u32 GetScanSectorSize();
// Sectors per cluster of `clusters` that hold `bytes`: the quotient rounded up to a power of two;
// 0 for no cluster or a cluster above the largest NTFS has.
u32 GuessSectorsPerCluster(u64 bytes, u32 clusters);
// Over a non-resident attribute's initialized size and the total clusters of its mapping pairs;
// 0 when either is not positive or the pairs do not check.
u32 GuessSectorsPerClusterFromAttribute(const u8* attribute);
