#pragma once
// exFAT directory entries: the checks of each 32-byte entry, the entry-set checksum, the parser
// that turns a directory's entries into complete entry sets, and the volume-label walk.
#include <string>
#include <vector>

#include "platform/Types.h"

constexpr u32 kExFatEntrySize = 32;

// Entry types; bit 7 is the in-use bit.
constexpr u8 kExFatTypeInUse = 0x80;
constexpr u8 kExFatFileEntry = 0x85;
constexpr u8 kExFatStreamEntry = 0xC0;
constexpr u8 kExFatNameEntry = 0xC1;
constexpr u8 kExFatBitmapEntry = 0x81;
constexpr u8 kExFatUpcaseEntry = 0x82;
constexpr u8 kExFatLabelEntry = 0x83;
// Where a stream extension, an allocation bitmap or an up-case table entry keeps its first
// cluster and its length.
constexpr u32 kExFatEntryFirstClusterOffset = 20;
constexpr u32 kExFatEntryLengthOffset = 24;
// Bit 6 of a type marks a secondary entry, which belongs to the set of the primary before it.
constexpr u8 kExFatTypeSecondary = 0x40;
// The longest set: a file entry and its 18 secondaries.
constexpr u32 kExFatMaxSecondaries = 18;

constexpr u16 kExFatAttrDirectory = 0x10;
// Characters of a name, UTF-16 units: at most 255 (17 name entries of 15).
constexpr u32 kExFatMaxNameUnits = 255;
// The longest converted name kept, in bytes (a 512-byte buffer with its terminator).
constexpr u32 kExFatMaxNameBytes = 511;

// What lengths and clusters an entry may name.
struct ExFatWalkLimits {
    u64 lengthLimit = 0;  // in sectors: the device's or the volume's size
    u32 sectorShift = 9;
    u32 clusterShift = 9;
    u32 entriesPerSector = 16;

    // Limits for sectors of 1 << sectorShift bytes and clusters of 1 << clusterShift bytes.
    static ExFatWalkLimits Make(u64 lengthLimit, u32 sectorShift, u32 clusterShift);
};

// One parsed entry set.
struct ExFatEntrySet {
    u8 count = 0;         // entries taken so far
    u8 expected = 0;      // secondary entries still expected
    u8 inUse = 0;         // the in-use bit of the file entry
    u16 attributes = 0;
    u32 createTime = 0;   // DOS layout: date in the high word, time in the low word
    u32 modifyTime = 0;
    u32 accessTime = 0;
    // Hundredths of a second past the even second of createTime and modifyTime (0 to 199).
    u8 createTime10ms = 0;
    u8 modifyTime10ms = 0;
    u64 dataLength = 0;
    u32 firstCluster = 0;
    u8 noFatChain = 0;
    u8 nameLength = 0;
    std::string name;     // UTF-8, at most kExFatMaxNameBytes bytes
    std::u16string nameUnits;
    u64 position = 0;     // the sector (or the cluster's first sector) of the file entry
    u32 entryOffset = 0;  // of the file entry, in bytes from the start of `position`
    u64 entriesSinceBegin = 0;

    bool IsDirectory() const { return (attributes & kExFatAttrDirectory) != 0; }
    // The file entry's place on the device counted in entries: no two sets share it.
    u64 EntryNumber(u32 sectorSize) const {
        return position * (sectorSize / kExFatEntrySize) + entryOffset / kExFatEntrySize;
    }
    // Adds the characters of a name entry, up to the first zero and the set's name length.
    void AppendNameEntry(const u8* entry);
};

// Entry checks: each answers false on the first field out of range.
bool IsValidExFatTimestamp(u32 timestamp);
bool CheckExFatFileEntry(const u8* entry);
bool CheckExFatStreamEntry(const u8* entry, const ExFatWalkLimits& limits);
bool CheckExFatNameEntry(const u8* entry);
bool CheckExFatLabelEntry(const u8* entry);
bool CheckExFatBitmapEntry(const u8* entry, const ExFatWalkLimits& limits);
bool CheckExFatUpcaseEntry(const u8* entry, const ExFatWalkLimits& limits);
// Whether a name character (a UTF-16 unit) may stand in a name; units from 256 up always may.
bool IsExFatNameCharacter(u16 unit);
// The benign entry types the format defines (Volume GUID, padding, access-control table, vendor
// extension, vendor allocation), in use or deleted: a walk passes over them.
bool IsExFatBenignEntryType(u8 type);

// The set checksum over `length` bytes (the set's entries) against the stored one; a deleted set
// also matches the checksum it had while it was in use.
bool ExFatSetChecksumMatches(const u8* set, u32 length, u16 stored);

// The quick search's parser: entries of one directory, fed in order, become complete sets.
class ExFatEntrySetParser {
public:
    void SetLimits(const ExFatWalkLimits& limits) { m_limits = limits; }
    const ExFatWalkLimits& GetLimits() const { return m_limits; }
    // Clears the set in progress.
    void Reset();
    // Parses the whole entries of the buffer from byte `from` on; position is recorded in the
    // sets whose file entry lies in it. False at the first entry that is no valid directory
    // entry, whose offset StoppedAt then gives.
    bool Feed(const u8* entries, u32 byteCount, u64 position, u32 from = 0);
    u32 StoppedAt() const { return m_stoppedAt; }
    std::vector<ExFatEntrySet>& GetSets() { return m_sets; }
    void ClearSets() { m_sets.clear(); }

private:
    void ResetRecord();
    // Drops the set in progress and passes over the next `secondaries` secondary entries, so
    // that one damaged set does not end the walk of its folder.
    void SkipSet(u32 secondaries);

    ExFatWalkLimits m_limits;
    ExFatEntrySet m_current;
    u32 m_skip = 0;  // secondary entries of a damaged set still to pass over
    u32 m_stoppedAt = 0;
    std::vector<ExFatEntrySet> m_sets;
};

// Walks the entries of a root-directory cluster and keeps the last volume label met (cut after
// its character count) in label, a buffer of labelLength (at least 12) UTF-16 units. True when
// the walk stopped at an entry that is no valid directory entry, false when every entry passed.
bool CollectExFatLabel(const u8* entries, u32 byteCount, char16_t* label, u32 labelLength,
                       const ExFatWalkLimits& limits);
