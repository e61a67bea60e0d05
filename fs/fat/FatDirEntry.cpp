#include "fs/fat/FatDirEntry.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string>

#include "devices/ScanOptions.h"
#include "fs/fat/FatFileProperties.h"
#include "platform/Log.h"
#include "platform/Text.h"

namespace {
bool IsPlausibleDate(u16 date) {
    if (date == 0) return true;
    const u32 day = date & 0x1F;
    const u32 month = (date >> 5) & 0x0F;
    return month >= 1 && month <= 12 && day != 0;
}

bool IsPlausibleTime(u16 time) {
    if (time == 0) return true;
    return (time >> 11) < 24 && ((time >> 5) & 0x3F) < 60 && (time & 0x1F) < 30;
}

// Blank-padded field without its trailing blanks, with OEM bytes converted to UTF-8.
std::string FieldText(const u8* bytes, size_t size, bool deletedMark) {
    std::string raw(reinterpret_cast<const char*>(bytes), size);
    while (!raw.empty() && raw.back() == ' ') raw.pop_back();
    if (deletedMark && !raw.empty() && static_cast<u8>(raw[0]) == kFatDeletedMark) raw[0] = '#';
    bool ascii = true;
    for (char c : raw) ascii = ascii && static_cast<u8>(c) < 0x80;
    if (ascii) return raw;
    std::string converted;
    if (CodePageToUtf8("CP437", raw.data(), raw.size(), converted)) return converted;
    for (char& c : raw) {
        if (static_cast<u8>(c) >= 0x80) c = '_';
    }
    return raw;
}

// A name part stored with its lower-case flag: its capitals (ASCII and the Latin-1 ones the OEM
// characters of a short name can hold) in lower case.
std::string LowerCasePart(const std::string& text) {
    // Most short names are ASCII: their capitals are lowered in place.
    if (std::all_of(text.begin(), text.end(), [](char c) { return static_cast<u8>(c) < 0x80; })) {
        return AsciiLower(text);
    }
    std::u16string units = Utf8ToUtf16(text);
    for (char16_t& u : units) {
        const bool ascii = u >= u'A' && u <= u'Z';
        const bool latin1 = u >= 0xC0 && u <= 0xDE && u != 0xD7;  // not the multiplication sign
        if (ascii || latin1) u = char16_t(u + 0x20);
    }
    return Utf16ToUtf8(units);
}

bool IsDotName(const u8* e, size_t dots) {
    for (size_t i = 0; i < 8; ++i) {
        const u8 want = i < dots ? '.' : ' ';
        if (e[i] != want) return false;
    }
    return e[8] == ' ' && e[9] == ' ' && e[10] == ' ' && (e[11] & kFatAttrDirectory) != 0;
}
}  // namespace

bool CFATDirEntry::IsValid(bool clusterSizeRule) const {
    const u8* e = m_entry;
    const u8 attributes = e[11];
    if (attributes == kFatAttrLongName) return true;
    if (clusterSizeRule) {
        const u32 size = GetSize();
        if ((attributes & kFatAttrDirectory) != 0) {
            if (size != 0 && ReadLE16(e + 20) != 0) return false;
        } else {
            const u64 cluster = GetFirstCluster();
            if ((size == 0 && cluster != 0) || (size != 0 && cluster == 0)) return false;
        }
    }
    const ScanOptions& options = GetScanOptions();
    if (options.GetFatDateCheck() != 0) {
        if (!IsPlausibleDate(ReadLE16(e + 16)) || !IsPlausibleDate(ReadLE16(e + 24)) || !IsPlausibleDate(ReadLE16(e + 18)))
            return false;
    }
    if (options.GetFatTimeCheck() != 0) {
        if (!IsPlausibleTime(ReadLE16(e + 14)) || !IsPlausibleTime(ReadLE16(e + 22))) return false;
    }
    if ((attributes & 0x40) != 0) return false;
    if (attributes == kFatAttrVolumeLabel) return true;
    if (e[0] == ' ') return false;
    for (u32 i = 0; i < 11; ++i) {
        const u8 c = e[i];
        if (c >= 0x80) {
            ++i;  // a double-byte character: its second byte is not tested
            continue;
        }
        if (c < 0x1A) return false;
        switch (c) {
            case '"': case '*': case '/': case ':': case '<': case '>': case '?': case '\\': case '|':
                return false;
            default:
                break;
        }
    }
    return true;
}

u64 CFATDirEntry::GetFirstCluster() const {
    if (m_useOverride && m_override > 0) return m_override;
    return (u64(ReadLE16(m_entry + 20)) << 16) | ReadLE16(m_entry + 26);
}

std::string FatShortNameText(const u8* entry, bool noDot) {
    std::string name = FieldText(entry, 8, true);
    std::string extension = FieldText(entry + 8, 3, false);
    // A label is shown as stored; its flag byte means nothing.
    if (entry[11] != kFatAttrVolumeLabel) {
        const u8 caseFlags = entry[kFatCaseFlagsOffset];
        if ((caseFlags & kFatLowerCaseName) != 0) name = LowerCasePart(name);
        if ((caseFlags & kFatLowerCaseExtension) != 0) extension = LowerCasePart(extension);
    }
    if (extension.empty()) return name;
    return noDot ? name + extension : name + "." + extension;
}

void CFATDirEntry::GetShortName(char* out, bool noDot) const {
    if (out == nullptr) return;
    CopyUtf8Bounded(out, 64, FatShortNameText(m_entry, noDot));
}

bool CFATDirEntry::GetLongNamePiece(char* out) const {
    if (out == nullptr) return false;
    static const u32 kOffsets[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
    // The piece's units gathered side by side, as the converter reads them.
    u8 piece[sizeof(kOffsets) / sizeof(kOffsets[0]) * 2];
    size_t units = 0;
    for (u32 offset : kOffsets) {
        if (m_entry[offset] == 0 && m_entry[offset + 1] == 0) break;
        piece[2 * units] = m_entry[offset];
        piece[2 * units + 1] = m_entry[offset + 1];
        ++units;
    }
    if (units == 0) {
        // An empty piece cannot be converted; its entry adds nothing to the name.
        DebugTrace("Error msg:%d", 87);
        return false;
    }
    const std::string text = Utf16LeToUtf8(piece, units, '_');
    CopyUtf8Bounded(out, kFatLongNamePieceMax + 1, text);
    return true;
}

bool CFATDirEntry::IsDotEntry() const { return IsDotName(m_entry, 1); }
bool CFATDirEntry::IsDotDotEntry() const { return IsDotName(m_entry, 2); }

bool IsEndOfDirectoryEntry(const u8* entry) {
    if (entry == nullptr) return false;
    for (u32 i = 0; i < kFatDirEntrySize; ++i) {
        if (entry[i] != 0) return false;
    }
    return true;
}

bool IsValidLongFileName(const char* name) {
    if (name == nullptr || name[0] == '\0') return false;
    return std::strpbrk(name, "?*|\\/:\"<>") == nullptr;
}

u8 FatShortNameChecksum(const u8* entry, u8 firstByte) {
    u8 sum = 0;
    for (u32 i = 0; i < 11; ++i) sum = u8(((sum & 1) << 7) + (sum >> 1) + (i == 0 ? firstByte : entry[i]));
    return sum;
}

bool IsCompleteLongNameRun(const u8* entries, u32 count, const u8* shortEntry) {
    if (count == 0) return false;
    // Every piece names the same short entry.
    const u8 checksum = entries[13];
    for (u32 i = 1; i < count; ++i) {
        if (entries[u64(i) * kFatDirEntrySize + 13] != checksum) return false;
    }
    const bool deleted = shortEntry[0] == kFatDeletedMark;
    if (!deleted) {
        // A live entry keeps its ordinals: the piece stored first is the last one (0x40) and the
        // checksum covers the short name as it stands.
        return (entries[0] & 0x40) != 0 && FatShortNameChecksum(shortEntry, shortEntry[0]) == checksum;
    }
    // Deletion overwrote the ordinals and the short name's first byte. The name is complete when
    // the piece stored first holds its end (a 0 after the last character). A name that fills its
    // pieces exactly has no such 0; it is taken when it ends in the extension the short name was
    // made from, which a run whose outermost pieces were overwritten (a name cut short) does not.
    static const u32 kOffsets[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
    for (u32 offset : kOffsets) {
        if (ReadLE16(entries + offset) == 0) return true;
    }
    return false;
}

bool LongNameEndsInShortExtension(const std::string& longName, const u8* shortEntry) {
    std::string shortExt(reinterpret_cast<const char*>(shortEntry + 8), 3);
    while (!shortExt.empty() && shortExt.back() == ' ') shortExt.pop_back();
    const size_t dot = longName.rfind('.');
    const bool hasExt = dot != std::string::npos && dot != 0 && dot + 1 < longName.size();
    if (shortExt.empty()) return !hasExt;
    if (!hasExt) return false;
    const std::string longExt = longName.substr(dot + 1);
    for (size_t i = 0; i < shortExt.size(); ++i) {
        if (i >= longExt.size()) return false;
        const u8 c = static_cast<u8>(longExt[i]);
        if (c >= 0x80) return true;  // an OEM substitute stands in the short name from here
        if (std::toupper(c) != static_cast<u8>(shortExt[i])) return false;
    }
    return true;
}

PropertiesRef<CFATFileProperties> CreateFATFilePropertiesFromEntries(const u8* entries, u32 length) {
    if (entries == nullptr) return {};
    std::string longName;
    const u8* shortEntry = nullptr;
    u32 pieces = 0;
    for (u32 offset = 0; offset + kFatDirEntrySize <= length; offset += kFatDirEntrySize) {
        CFATDirEntry entry(entries + offset);
        if (!entry.IsLongNameEntry()) {
            shortEntry = entries + offset;
            break;
        }
        ++pieces;
        char piece[kFatLongNamePieceMax + 1] = {};
        if (entry.GetLongNamePiece(piece)) longName.insert(0, piece);
    }
    if (shortEntry == nullptr) return {};
    bool useLong = !longName.empty() && IsValidLongFileName(longName.c_str());
    if (useLong && !IsCompleteLongNameRun(entries, pieces, shortEntry)) {
        useLong = shortEntry[0] == kFatDeletedMark && LongNameEndsInShortExtension(longName, shortEntry);
    }
    const std::string name = useLong ? longName : FatShortNameText(shortEntry, false);
    return CreateFATFilePropertiesFromEntry(name.c_str(), shortEntry);
}

bool AnalyzeFATFolderSector(FolderSectorState& state, const u8* buffer, CFatFolderAnalyzeCB* cb, u32 user) {
    state.result = 0;
    state.count = 0;
    state.dotCluster = 0;
    state.dotDotCluster = 0;
    state.highestCluster = 0;
    if (buffer == nullptr) return false;
    bool dotSeen = false;
    bool dotDotSeen = false;
    i32 longNameIndex = -1;
    u64 previousCluster = ~0ULL;
    bool stop = false;

    for (u32 i = 0; u64(i + 1) * kFatDirEntrySize <= state.length; ++i) {
        const u8* raw = buffer + u64(i) * kFatDirEntrySize;
        CFATDirEntry entry(raw);
        if (!entry.IsValid(true)) {
            if (state.count == 0 && !(dotSeen && dotDotSeen)) {
                stop = true;
            } else if (!IsEndOfDirectoryEntry(raw)) {
                stop = true;
            }
            break;
        }
        if (entry.IsLongNameEntry()) {
            longNameIndex = i32(i);
            continue;
        }
        const u64 cluster = entry.GetFirstCluster();
        if (entry.IsVolumeLabel()) longNameIndex = -1;
        if (cluster > state.highestCluster) state.highestCluster = cluster;
        if (i == 0 && entry.IsDotEntry()) {
            state.dotCluster = cluster;
            dotSeen = true;
            longNameIndex = -1;
            continue;
        }
        if (i == 1 && entry.IsDotDotEntry()) {
            state.dotDotCluster = cluster;
            dotDotSeen = true;
            longNameIndex = -1;
            continue;
        }
        if (dotDotSeen && longNameIndex != -1 && cluster == state.dotDotCluster) longNameIndex = -1;
        if (cb != nullptr) cb->OnFolderEntry(state, entry, longNameIndex, i, dotSeen && dotDotSeen, user);
        if (!entry.IsDeleted()) {
            if (cluster == previousCluster) {
                stop = true;
                break;
            }
            previousCluster = cluster;
        }
        ++state.count;
    }

    if (dotSeen && dotDotSeen) {
        state.result = 2;
    } else if (state.count > 0 && !stop) {
        state.result = 1;
        state.dotCluster = 0;
        state.dotDotCluster = 0;
    } else {
        state.result = 0;
        state.count = 0;
        state.dotCluster = 0;
        state.dotDotCluster = 0;
        state.highestCluster = 0;
    }
    return state.result != 0;
}
