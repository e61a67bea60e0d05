#pragma once
// The 32-byte entries of FAT directories: plausibility, short and long names, and the judgement
// whether a buffer of entries is (part of) a directory.
#include <string>

#include "engine/FileProperties.h"
#include "platform/Types.h"

class CFATFileProperties;

constexpr u32 kFatDirEntrySize = 32;
constexpr u8 kFatDeletedMark = 0xE5;
constexpr u8 kFatAttrLongName = 0x0F;
constexpr u8 kFatAttrVolumeLabel = 0x08;
constexpr u8 kFatAttrDirectory = 0x10;
// The byte after the attributes holds the case of an all-lower-case 8.3 name: the system writes
// the name in capitals and these flags, and shows the flagged parts in lower case.
constexpr u32 kFatCaseFlagsOffset = 12;
constexpr u8 kFatLowerCaseName = 0x08;
constexpr u8 kFatLowerCaseExtension = 0x10;
// A FAT32 entry keeps its first cluster's high 16 bits apart from the low ones, and some tools
// clear them when they delete the entry: the folder or file then lies at the low word plus some
// multiple of the step.
constexpr u64 kFatHighWordStep = 0x10000;
constexpr u32 kFatLowWordMask = 0xFFFF;
// The first cluster of the data area: 0 and 1 name no cluster.
constexpr u64 kFatFirstDataCluster = 2;
// Whether a first cluster read from an entry names a high word (65,536 and up): such an entry
// lost none. Below it the entry may have lost one, or never had one.
constexpr bool FatNamesHighWord(u64 cluster) { return cluster >= kFatHighWordStep; }
// Higher words a deleted folder's first cluster is tried at, past the recorded one's own.
constexpr u64 kFatHighWordsTried = 50;
// Longest converted long-name piece kept, in bytes.
constexpr u32 kFatLongNamePieceMax = 100;

// A view of one entry in the caller's buffer (at least 32 bytes), not owned.
class CFATDirEntry {
public:
    explicit CFATDirEntry(const u8* entry) : m_entry(entry) {}

    bool IsValid(bool clusterSizeRule) const;
    bool IsDeleted() const { return m_entry[0] == kFatDeletedMark; }
    bool IsLongNameEntry() const { return m_entry[11] == kFatAttrLongName; }
    bool IsDirectory() const { return (m_entry[11] & kFatAttrDirectory) != 0; }
    bool IsVolumeLabel() const { return m_entry[11] == kFatAttrVolumeLabel; }
    bool IsEmptyName() const { return m_entry[0] == 0; }
    u8 GetAttributes() const { return m_entry[11]; }
    u64 GetFirstCluster() const;
    u32 GetSize() const { return ReadLE32(m_entry + 28); }
    // The 8.3 name: "NAME.EXT" ("NAMEEXT" with noDot), or "NAME" without an extension; a leading
    // 0xE5 shows as '#'; parts with a lower-case flag in lower case (not for a volume label).
    // Writes at most 64 bytes including the terminator.
    void GetShortName(char* out, bool noDot) const;
    // The 13 characters of a long-name entry up to the first 0, in the system code page, at most
    // 100 bytes and a terminator (out holds 101 bytes); false when nothing converts.
    bool GetLongNamePiece(char* out) const;
    bool IsDotEntry() const;
    bool IsDotDotEntry() const;
    void SetFirstClusterOverride(u64 cluster) { m_override = cluster; }
    void EnableFirstClusterOverride(bool enable) { m_useOverride = enable; }
    const u8* GetData() const { return m_entry; }

private:
    const u8* m_entry;
    bool m_useOverride = false;
    u64 m_override = 0;
};

// The short name of an entry as text (see GetShortName). Name bytes from 0x80 up are OEM
// characters of code page 437 and are converted, so the text is always valid UTF-8.
std::string FatShortNameText(const u8* entry, bool noDot);

// All 32 bytes zero.
bool IsEndOfDirectoryEntry(const u8* entry);
// Not empty and free of ? * | \ / : " < >.
bool IsValidLongFileName(const char* name);
// The checksum of a short name that its long-name entries carry, with firstByte in place of the
// name's first byte.
u8 FatShortNameChecksum(const u8* entry, u8 firstByte);
// Whether `count` long-name entries (as stored, the last piece first) make the whole long name of
// the short entry that follows them: the same checksum in every piece, and for a live entry the
// last-piece mark and the short name's checksum; for a deleted one, whose ordinals are gone,
// the end of the name in the piece stored first.
bool IsCompleteLongNameRun(const u8* entries, u32 count, const u8* shortEntry);
// Whether a long name ends in the extension its short entry was made from (the first three
// characters of its last extension, upper-cased); no extension on either side also agrees.
bool LongNameEndsInShortExtension(const std::string& longName, const u8* shortEntry);
// Properties of the entry run (long-name entries, then the short entry) named by its long name
// when that converts, is valid and complete, else by its short name; null without a short entry.
PropertiesRef<CFATFileProperties> CreateFATFilePropertiesFromEntries(const u8* entries, u32 length);

// What AnalyzeFATFolderSector found in one buffer.
struct FolderSectorState {
    u32 result = 0;  // 0 not a directory, 1 part of one, 2 the start of one
    i32 count = 0;   // entries handed to the callback
    u64 dotCluster = 0;
    u64 dotDotCluster = 0;
    u64 highestCluster = 0;
    u32 length = 0;  // bytes of the buffer, set by the caller
};

class CFATDirEntry;

class CFatFolderAnalyzeCB {
public:
    virtual ~CFatFolderAnalyzeCB() = default;
    virtual void OnFolderEntry(FolderSectorState& state, CFATDirEntry& entry, i32 longNameIndex, u32 entryIndex,
                               bool folderHasDots, u32 user) = 0;
};

// Judges whether the buffer (state.length bytes) holds directory entries; true unless the result
// is 0.
bool AnalyzeFATFolderSector(FolderSectorState& state, const u8* buffer, CFatFolderAnalyzeCB* cb, u32 user);
