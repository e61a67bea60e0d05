#include "fs/fat/ExFatEntrySet.h"

#include <algorithm>

#include "platform/Text.h"

namespace {
bool AllZero(const u8* p, u32 from, u32 to) {
    for (u32 i = from; i <= to; ++i) {
        if (p[i] != 0) return false;
    }
    return true;
}

// Whether (length >> shift) + firstCluster stays a cluster number below the chain end.
bool ClusterSpanFits(u64 length, u32 shift, u32 firstCluster) {
    const u64 end = (length >> shift) + firstCluster;
    return end <= 0xFFFFFFFFull && end < 0xFFFFFFF6ull;
}

// Checks of the allocation bitmap and up-case entries, less their reserved bytes.
bool CheckSystemEntry(const u8* entry, const ExFatWalkLimits& limits) {
    const u32 first = ReadLE32(entry + 20);
    const u64 length = ReadLE64(entry + 24);
    if (first < 2 || first >= 0xFFFFFFF6u) return false;
    if ((length >> limits.sectorShift) >= limits.lengthLimit) return false;
    return ClusterSpanFits(length, limits.clusterShift, first);
}

u16 Rotate(u16 sum) { return u16(((sum & 1) ? 0x8000 : 0) + (sum >> 1)); }
}  // namespace

ExFatWalkLimits ExFatWalkLimits::Make(u64 lengthLimit, u32 sectorShift, u32 clusterShift) {
    ExFatWalkLimits limits;
    limits.lengthLimit = lengthLimit;
    limits.sectorShift = sectorShift;
    limits.clusterShift = clusterShift;
    limits.entriesPerSector = sectorShift >= 5 && sectorShift < 37 ? u32(1) << (sectorShift - 5) : 0;
    return limits;
}

bool IsExFatNameCharacter(u16 unit) {
    if (unit >= 256) return true;
    if (unit <= 0x19 || unit == 0xFF) return false;
    switch (unit) {
        case '"': case '*': case '/': case ':': case '<': case '>': case '?': case '\\': case '|':
            return false;
        default:
            return true;
    }
}

bool IsExFatBenignEntryType(u8 type) {
    switch (u8(type | kExFatTypeInUse)) {
        case 0xA0:  // Volume GUID
        case 0xA1:  // padding
        case 0xA2:  // access-control table
        case 0xE0:  // vendor extension
        case 0xE1:  // vendor allocation
            return true;
        default:
            return false;
    }
}

bool IsValidExFatTimestamp(u32 timestamp) {
    const u32 seconds2 = timestamp & 0x1F;
    const u32 minute = (timestamp >> 5) & 0x3F;
    const u32 hour = (timestamp >> 11) & 0x1F;
    const u32 day = (timestamp >> 16) & 0x1F;
    const u32 month = (timestamp >> 21) & 0x0F;
    return day != 0 && month >= 1 && month <= 12 && hour <= 23 && minute <= 59 && seconds2 < 30;
}

bool CheckExFatFileEntry(const u8* entry) {
    const u8 secondaries = entry[1];
    if (secondaries < 2 || secondaries > 18) return false;
    for (u32 offset : {8u, 12u, 16u}) {
        if (!IsValidExFatTimestamp(ReadLE32(entry + offset))) return false;
    }
    // The reserved fields are not judged: the system that wrote the volume sets bits in them
    // (0x8000 at offset 6 for an encrypted file), and a set stays one by its type, its counts
    // and its name.
    return entry[20] <= 199 && entry[21] <= 199;
}

bool CheckExFatStreamEntry(const u8* entry, const ExFatWalkLimits& limits) {
    // Reserved fields (byte 2, offsets 6 and 16) are not judged, as in the file entry: an
    // encrypted file's stream entry has 0x0001 at offset 6.
    const u32 first = ReadLE32(entry + 20);
    if (first == 1 || first > 0xFFFFFFF6u) return false;
    const u64 valid = ReadLE64(entry + 8);
    const u64 length = ReadLE64(entry + 24);
    if ((length >> limits.sectorShift) >= limits.lengthLimit) return false;
    if ((valid >> limits.sectorShift) >= limits.lengthLimit) return false;
    const bool noFatChain = (entry[1] & 2) != 0;
    if (first != 0 && noFatChain) {
        if (!ClusterSpanFits(length, limits.clusterShift, first)) return false;
        if (!ClusterSpanFits(valid, limits.clusterShift, first)) return false;
    }
    return true;
}

bool CheckExFatNameEntry(const u8* entry) {
    if (entry[1] != 0) return false;
    if (ReadLE16(entry + 2) == 0) return false;
    for (u32 i = 0; i < 15; ++i) {
        const u16 unit = ReadLE16(entry + 2 + 2 * i);
        if (unit == 0) break;
        if (!IsExFatNameCharacter(unit)) return false;
    }
    return true;
}

bool CheckExFatLabelEntry(const u8* entry) {
    const u8 count = entry[1];
    if (count > 11) return false;
    for (u32 i = 0; i < 11; ++i) {
        const u16 unit = ReadLE16(entry + 2 + 2 * i);
        if (i < count) {
            if (!IsExFatNameCharacter(unit)) return false;
        } else if (unit != 0) {
            return false;
        }
    }
    return ReadLE32(entry + 24) == 0 && ReadLE32(entry + 28) == 0;
}

bool CheckExFatBitmapEntry(const u8* entry, const ExFatWalkLimits& limits) {
    return CheckSystemEntry(entry, limits) && AllZero(entry, 2, 19);
}

bool CheckExFatUpcaseEntry(const u8* entry, const ExFatWalkLimits& limits) {
    return CheckSystemEntry(entry, limits) && AllZero(entry, 1, 3) && AllZero(entry, 8, 19);
}

bool ExFatSetChecksumMatches(const u8* set, u32 length, u16 stored) {
    if (set == nullptr || length < kExFatEntrySize) return false;
    const bool deleted = set[0] == (kExFatFileEntry & ~kExFatTypeInUse);
    u16 sum = 0;
    u16 inUseSum = 0;
    for (u32 i = 0; i < length; ++i) {
        if (i == 2 || i == 3) continue;
        sum = u16(Rotate(sum) + set[i]);
        if (deleted) {
            u8 byte = set[i];
            if (i == 0) {
                byte = kExFatFileEntry;
            } else if (i == kExFatEntrySize) {
                byte = kExFatStreamEntry;
            } else if (i % kExFatEntrySize == 0) {
                byte = kExFatNameEntry;
            }
            inUseSum = u16(Rotate(inUseSum) + byte);
        }
    }
    return sum == stored || (deleted && inUseSum == stored);
}

void ExFatEntrySet::AppendNameEntry(const u8* entry) {
    // The name ends at its stated length (the whole of the set when that is 0) and at the first
    // zero character; it never grows past the longest exFAT name.
    const u32 limit = nameLength != 0 ? nameLength : kExFatMaxNameUnits;
    bool added = false;
    for (u32 i = 0; i < 15 && nameUnits.size() < limit; ++i) {
        const u16 unit = ReadLE16(entry + 2 + 2 * i);
        if (unit == 0) break;
        nameUnits.push_back(char16_t(unit));
        added = true;
    }
    if (!added) return;
    // Converted as a whole, so that a surrogate pair split between two entries stays one
    // character.
    const std::string text = Utf16ToUtf8(nameUnits, '_');
    name.assign(Utf8Prefix(text, kExFatMaxNameBytes));
}

void ExFatEntrySetParser::ResetRecord() { m_current = ExFatEntrySet(); }

void ExFatEntrySetParser::Reset() {
    ResetRecord();
    m_skip = 0;
}

void ExFatEntrySetParser::SkipSet(u32 secondaries) {
    ResetRecord();
    m_skip = std::min(secondaries, kExFatMaxSecondaries);
}

bool ExFatEntrySetParser::Feed(const u8* entries, u32 byteCount, u64 position, u32 from) {
    m_stoppedAt = from;
    if (entries == nullptr) return false;
    for (u32 offset = from; offset + kExFatEntrySize <= byteCount; offset += kExFatEntrySize) {
        m_stoppedAt = offset;
        const u8* entry = entries + offset;
        const u8 type = entry[0];
        const u8 inUse = (type & kExFatTypeInUse) != 0 ? 1 : 0;
        // The secondaries of a damaged set are passed over whatever they hold; a primary entry
        // or the end of the folder ends the skip early.
        if (m_skip != 0) {
            if (type != 0 && (type & kExFatTypeSecondary) != 0) {
                --m_skip;
                ++m_current.entriesSinceBegin;
                continue;
            }
            m_skip = 0;
        }
        switch (type) {
            case kExFatLabelEntry:
            case kExFatLabelEntry & ~kExFatTypeInUse:
                if (!CheckExFatLabelEntry(entry)) return false;
                break;
            case kExFatFileEntry:
            case kExFatFileEntry & ~kExFatTypeInUse:
                ResetRecord();
                if (!CheckExFatFileEntry(entry)) {
                    // One flipped bit in a file entry costs that file only.
                    SkipSet(entry[1]);
                    break;
                }
                m_current.count = 1;
                m_current.inUse = inUse;
                m_current.expected = entry[1];
                m_current.attributes = ReadLE16(entry + 4);
                m_current.createTime = ReadLE32(entry + 8);
                m_current.modifyTime = ReadLE32(entry + 12);
                m_current.accessTime = ReadLE32(entry + 16);
                m_current.createTime10ms = entry[20];
                m_current.modifyTime10ms = entry[21];
                m_current.position = position;
                m_current.entryOffset = offset;
                break;
            case kExFatStreamEntry:
            case kExFatStreamEntry & ~kExFatTypeInUse: {
                const bool joins =
                    m_current.count == 1 && m_current.entriesSinceBegin == 1 && m_current.inUse == inUse;
                if (!CheckExFatStreamEntry(entry, m_limits)) {
                    if (!joins) return false;
                    SkipSet(m_current.expected > 0 ? m_current.expected - 1u : 0);
                    break;
                }
                if (joins) {
                    m_current.count = 2;
                    --m_current.expected;
                    m_current.noFatChain = (entry[1] & 2) != 0 ? 1 : 0;
                    m_current.nameLength = entry[3];
                    m_current.dataLength = ReadLE64(entry + 24);
                    m_current.firstCluster = ReadLE32(entry + 20);
                } else {
                    ResetRecord();
                }
                break;
            }
            case kExFatNameEntry:
            case kExFatNameEntry & ~kExFatTypeInUse: {
                const bool joins = m_current.inUse == inUse && m_current.count >= 2 &&
                                   m_current.count == m_current.entriesSinceBegin &&
                                   m_current.entriesSinceBegin < (1ull << 32);
                if (!CheckExFatNameEntry(entry)) {
                    // A name with a character the system forbids is one damaged set among good
                    // ones; outside a set the entry means this is no folder.
                    if (!joins) return false;
                    SkipSet(m_current.expected > 0 ? m_current.expected - 1u : 0);
                    break;
                }
                if (joins) {
                    m_current.AppendNameEntry(entry);
                    ++m_current.count;
                    --m_current.expected;
                    if (m_current.expected == 0) {
                        m_sets.push_back(m_current);
                        ResetRecord();
                    }
                } else {
                    ResetRecord();
                }
                break;
            }
            case kExFatBitmapEntry:
            case kExFatUpcaseEntry:
                break;
            default:
                if (!IsExFatBenignEntryType(type)) return false;
                // A benign secondary (vendor extension or allocation) still counts toward its
                // set; a benign primary stands alone.
                if ((type & kExFatTypeSecondary) != 0 && m_current.count >= 2 &&
                    m_current.count == m_current.entriesSinceBegin && m_current.inUse == inUse) {
                    ++m_current.count;
                    --m_current.expected;
                    if (m_current.expected == 0) {
                        m_sets.push_back(m_current);
                        ResetRecord();
                    }
                } else if ((type & kExFatTypeSecondary) == 0) {
                    ResetRecord();
                }
                break;
        }
        ++m_current.entriesSinceBegin;
    }
    m_stoppedAt = byteCount;
    return true;
}

bool CollectExFatLabel(const u8* entries, u32 byteCount, char16_t* label, u32 labelLength,
                       const ExFatWalkLimits& limits) {
    if (entries == nullptr) return true;
    for (u32 offset = 0; offset + kExFatEntrySize <= byteCount; offset += kExFatEntrySize) {
        const u8* entry = entries + offset;
        bool passed = false;
        switch (entry[0]) {
            case kExFatLabelEntry:
            case kExFatLabelEntry & ~kExFatTypeInUse:
                passed = CheckExFatLabelEntry(entry);
                if (passed && entry[1] != 0 && label != nullptr && labelLength >= 12) {
                    for (u32 i = 0; i < 11; ++i) label[i] = char16_t(ReadLE16(entry + 2 + 2 * i));
                    label[entry[1]] = 0;
                    label[11] = 0;
                }
                break;
            case kExFatFileEntry:
            case kExFatFileEntry & ~kExFatTypeInUse:
                passed = CheckExFatFileEntry(entry);
                break;
            case kExFatStreamEntry:
            case kExFatStreamEntry & ~kExFatTypeInUse:
                passed = CheckExFatStreamEntry(entry, limits);
                break;
            case kExFatNameEntry:
            case kExFatNameEntry & ~kExFatTypeInUse:
                passed = CheckExFatNameEntry(entry);
                break;
            case kExFatBitmapEntry:
                passed = CheckExFatBitmapEntry(entry, limits);
                break;
            case kExFatUpcaseEntry:
                passed = CheckExFatUpcaseEntry(entry, limits);
                break;
            default:
                break;
        }
        if (!passed) return true;
    }
    return false;
}
