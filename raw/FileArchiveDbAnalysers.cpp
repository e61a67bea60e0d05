#include "raw/FileArchiveDbAnalysers.h"

#include <cctype>
#include <cstring>
#include <string>

#include "devices/StorageDevice.h"
#include "engine/RawFileInfo.h"
#include "raw/AnalyserReads.h"
#include "raw/AnalyserTables.h"
#include "raw/RawScanState.h"

namespace {

// ---- LZH
constexpr u32 kLzhHeaderBytes = 21;
constexpr u64 kLzhMethodAt = 2;
constexpr u64 kLzhPackedAt = 7;
constexpr u64 kLzhLevelAt = 20;
constexpr u8 kLzhLevel2 = 2;

bool IsLzhMethod(const u8* header) {
    return SameBytes(header + kLzhMethodAt, "-lh5-") || SameBytes(header + kLzhMethodAt, "-lh0-");
}

// The bytes from a member's header to the next one. Level 0 and 1 headers give their length
// after a length byte and a checksum byte, and a level-1 member's packed size counts its
// extended headers; a level-2 header gives its whole length in its first two bytes.
// A level-2 length too short to hold the header itself is damage: the walk ends there (0), since
// a member must always move it forward.
u64 LzhMemberBytes(const u8* header) {
    u64 headerBytes = 2 + u64(header[0]);
    if (header[kLzhLevelAt] == kLzhLevel2) {
        headerBytes = ReadLE16(header);
        if (headerBytes < kLzhHeaderBytes) return 0;
    }
    return headerBytes + ReadLE32(header + kLzhPackedAt);
}

// ---- TAR
constexpr u32 kTarBlock = 512;
constexpr u64 kTarMagicAt = 257;
constexpr u64 kTarSizeAt = 124;
constexpr u32 kTarSizeDigits = 11;
constexpr i8 kTarNameThreshold = 32;

bool HasTarMagic(const u8* block) { return SameBytes(block + kTarMagicAt, "ustar"); }

// A member's data fills whole 512-byte blocks, whatever the sectors of the disk under it.
u64 TarPadded(u64 bytes) { return (bytes + kTarBlock - 1) / kTarBlock * kTarBlock; }

u64 TarMemberSize(const u8* block) {
    u64 size = 0;
    for (u32 i = 0; i < kTarSizeDigits; ++i) {
        const u8 c = block[kTarSizeAt + i];
        size = size * 8 + (c >= '0' && c <= '9' ? u64(c - '0') : 0);
    }
    return size;
}

// ---- MDB
constexpr u64 kMdbPage = 4096;
constexpr u64 kMdbLargest = 0x6400000;
constexpr u8 kMdbStart[4] = {0x00, 0x01, 0x00, 0x00};
constexpr u64 kMdbNameAt = 4;
constexpr u64 kMdbNameBytes = 16;  // the engine name and its zero byte

// ---- GZ
constexpr u8 kGzFlagsLimit = 63;
constexpr u8 kGzExtraFlagsBest = 2;
constexpr u8 kGzExtraFlagsFast = 4;
constexpr u8 kGzOsLimit = 14;
constexpr u8 kGzOsUnknown = 255;
constexpr u64 kGzHeaderBytes = 10;
constexpr u64 kGzFieldLimit = 0x1400000;
constexpr u64 kGzNameLimit = 260;
constexpr u32 kGzTrailingZeros = 8;
enum GzFlag : u8 { kGzHeaderCrc = 2, kGzExtra = 4, kGzName = 8, kGzComment = 16 };

// ---- HTML
constexpr u64 kHtmlSearchBound = 0x100000;
constexpr u64 kWideSearchBound = 0x100000;
constexpr u64 kWideTagFrom = 2;
constexpr u64 kWideTagTo = 498;
constexpr u64 kWideWalkStart = 14;
constexpr u64 kWideEndTagSkip = 16;
constexpr u16 kWideNotCharacter = 0xFFFF;
constexpr u16 kWideByteOrderMark = 0xFEFF;

bool SameTextIgnoringCase(const u8* bytes, const char* text, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        if (std::toupper(bytes[i]) != std::toupper(static_cast<u8>(text[i]))) return false;
    }
    return true;
}

// UTF-16 little-endian characters against an ASCII text, ignoring case.
bool SameWideIgnoringCase(const u8* bytes, const char* text) {
    for (size_t i = 0; text[i]; ++i) {
        const u16 c = ReadLE16(bytes + 2 * i);
        if (c > 0x7F || std::toupper(c) != std::toupper(static_cast<u8>(text[i]))) return false;
    }
    return true;
}

}  // namespace

// ------------------------------------------------------------------------------------------ LZH

u32 FileLZHAnalyser::CheckFileHeader(const u8* sector, u32 /*held*/, CRawFileInfo& record) {
    if (!IsLzhMethod(sector)) return 0;
    record.fileType = kType;
    return 1;
}

u32 FileLZHAnalyser::AnalyseFileSize(CRawFileInfo& record, IStorageDevice* reader) {
    ScopedReadWindow w(reader, record.startSector);
    const u8* header = w.Bytes(0, kLzhHeaderBytes);
    if (!header) return 0;
    const u64 bound = LargestFileOffset();
    u64 pos = 0;
    for (;;) {
        if (!IsLzhMethod(header)) {
            if (pos == 0) return 0;
            break;
        }
        // The header length is unsigned: every member moves the walk forward.
        const u64 member = LzhMemberBytes(header);
        if (member == 0) {
            if (pos == 0) return 0;
            break;
        }
        pos += member;
        if (pos > bound) break;
        header = w.Bytes(pos, kLzhHeaderBytes);
        if (!header) break;
    }
    record.size = pos;
    return 1;
}

// ------------------------------------------------------------------------------------------ TAR

u32 FileTARAnalyser::CheckFileHeader(const u8* sector, u32 /*held*/, CRawFileInfo& record) {
    if (!HasTarMagic(sector)) return 0;
    if (record.scan) {
        // The scan's trail tells a member header of an archive found before from a new archive.
        u64 at = 0;
        const u64 next = TarPadded(TarMemberSize(sector)) + kTarBlock;
        if (!__builtin_mul_overflow(record.startSector, u64(record.scan->SectorSize()), &at) &&
            !record.scan->TarTrail().BeginsArchive(at, at + next)) {
            return 0;
        }
    }
    record.fileType = kType;
    return 1;
}

u32 FileTARAnalyser::AnalyseFileSize(CRawFileInfo& record, IStorageDevice* reader) {
    ScopedReadWindow w(reader, record.startSector);
    const u64 sector = w.SectorSize();
    const u8* block = w.Bytes(0, kTarBlock);
    if (!block || sector == 0) return 0;
    const u64 bound = LargestFileOffset();
    u64 pos = 0;
    for (;;) {
        if (static_cast<i8>(block[0]) > kTarNameThreshold && !HasTarMagic(block)) {
            if (pos == 0) return 0;
            break;
        }
        pos += kTarBlock;
        const u64 member = TarMemberSize(block);
        // A folder, a link or an empty file has no data but a header of its own; the block
        // that ends the archive has neither.
        if (member == 0 && !HasTarMagic(block)) break;
        pos += TarPadded(member);
        if (pos > bound) break;
        block = w.Bytes(pos, kTarBlock);
        if (!block) break;
    }
    record.size = pos;
    return 1;
}

// ------------------------------------------------------------------------------------------ MDB

u32 FileMDBAnalyser::CheckFileHeader(const u8* sector, u32 /*held*/, CRawFileInfo& record) {
    if (std::memcmp(sector, kMdbStart, sizeof(kMdbStart)) != 0) return 0;
    if (std::memcmp(sector + kMdbNameAt, "Standard Jet DB", kMdbNameBytes) == 0) {
        record.fileType = kType;
        return 1;
    }
    if (std::memcmp(sector + kMdbNameAt, "Standard ACE DB", kMdbNameBytes) == 0) {
        record.fileType = kTypeAccdb;
        return 1;
    }
    return 0;
}

u32 FileMDBAnalyser::AnalyseFileSize(CRawFileInfo& record, IStorageDevice* reader) {
    ScopedReadWindow w(reader, record.startSector);
    const u64 bound = LargestFileOffset();
    u64 pos = kMdbPage;
    while (pos <= bound) {
        const u8* page = w.Bytes(pos, 1);
        if (!page || *page == 0) break;
        pos += kMdbPage;
        if (pos >= kMdbLargest) break;
    }
    record.size = pos;
    return 1;
}

// ------------------------------------------------------------------------------------------- GZ

u32 FileGZAnalyser::CheckFileHeader(const u8* sector, u32 /*held*/, CRawFileInfo& record) {
    if (!IsGzipHeader(sector) || sector[3] > kGzFlagsLimit) return 0;
    if (sector[8] != kGzExtraFlagsBest && sector[8] != kGzExtraFlagsFast) return 0;
    if (sector[9] >= kGzOsLimit && sector[9] != kGzOsUnknown) return 0;
    record.fileType = kType;
    return 1;
}

u32 FileGZAnalyser::AnalyseFileSize(CRawFileInfo& record, IStorageDevice* reader) {
    ScopedReadWindow w(reader, record.startSector);
    const u64 sector = w.SectorSize();
    const u64 limit = 2 * LargestFileOffset();
    const u8* head = w.Bytes(0, kGzHeaderBytes);
    if (!head || sector == 0 || !IsGzipHeader(head)) return 0;
    const u8 flags = head[3];
    if (!w.Bytes(kGzHeaderBytes, 1)) return 0;
    u64 pos = kGzHeaderBytes;
    enum class Field { Read, Unreadable, TooLong };
    // Moves past a zero-terminated field, keeping up to the name limit of its text.
    auto skipText = [&](std::string* text) {
        for (;;) {
            if (pos > kGzFieldLimit) return Field::TooLong;
            const u8* c = w.Bytes(pos, 1);
            if (!c) return Field::Unreadable;
            ++pos;
            if (*c == 0) return Field::Read;
            if (text && text->size() < kGzNameLimit) text->push_back(static_cast<char>(*c));
        }
    };
    if (flags & kGzExtra) {
        const u8* length = w.Bytes(pos, 2);
        if (!length) return 0;
        pos += 2 + u64(ReadLE16(length));
    }
    Field field = Field::Read;
    if (flags & kGzName) {
        std::string name;
        field = skipText(&name);
        if (field == Field::Read) record.SetNameText(name);
    }
    if (field == Field::Read && (flags & kGzComment)) field = skipText(nullptr);
    if (field == Field::Unreadable) return 0;
    if (field == Field::TooLong) {
        record.size = pos;
        return 1;
    }
    if (flags & kGzHeaderCrc) pos += 2;
    pos += sector - pos % sector;
    while (pos < limit) {
        const u8* bytes = w.Bytes(pos, static_cast<u32>(sector));
        if (!bytes) break;
        static constexpr u8 kZeros[kGzTrailingZeros] = {};
        pos += sector;
        if (std::memcmp(bytes + sector - kGzTrailingZeros, kZeros, kGzTrailingZeros) == 0) break;
    }
    record.size = pos;
    return 1;
}

// ----------------------------------------------------------------------------------------- HTML

u32 FileHTMAnalyser::CheckFileHeader(const u8* sector, u32 /*held*/, CRawFileInfo& record) {
    if (!SameTextIgnoringCase(sector, "<HTML", 5) && !SameTextIgnoringCase(sector, "<!DOCTYPE HTML", 14)) return 0;
    record.fileType = kType;
    return 1;
}

u32 FileHTMAnalyser::AnalyseFileSize(CRawFileInfo& record, IStorageDevice* reader) {
    TextEndMarker marker;
    static constexpr char kEnd[] = "</html>";
    marker.length = sizeof(kEnd) - 1;
    std::memcpy(marker.text, kEnd, marker.length);
    marker.searchBound = kHtmlSearchBound;
    const u32 result = FindTextEndMarker(record, reader, marker, 0);
    const u64 sector = reader ? reader->GetSectorSize() : 0;
    if (sector != 0) record.size = (record.size + sector - 1) / sector * sector;
    return result;
}

u32 FileUnicodeHTMAnalyser::CheckFileHeader(const u8* sector, u32 /*held*/, CRawFileInfo& record) {
    static constexpr u8 kStart[4] = {0xFF, 0xFE, 0x3C, 0x00};
    if (std::memcmp(sector, kStart, sizeof(kStart)) != 0) return 0;
    record.fileType = kType;
    return 1;
}

u32 FileUnicodeHTMAnalyser::AnalyseFileSize(CRawFileInfo& record, IStorageDevice* reader) {
    ScopedReadWindow w(reader, record.startSector);
    const u8* head = w.Bytes(0, static_cast<u32>(kWideTagTo + 12));
    if (!head) return 0;
    if (!SameWideIgnoringCase(head + 2, "<HTML>") && ReadLE16(head + 4) != '!') return 0;
    bool tag = false;
    for (u64 at = kWideTagFrom; at <= kWideTagTo && !tag; at += 2) tag = SameWideIgnoringCase(head + at, "<HTML>");
    if (!tag) return 0;
    u64 pos = kWideWalkStart;
    while (pos <= kWideSearchBound) {
        const u8* c = w.Bytes(pos, 14);
        if (!c) return 0;
        const u16 ch = ReadLE16(c);
        if (ch == '<' && SameWideIgnoringCase(c, "</HTML>")) {
            pos += kWideEndTagSkip;
            break;
        }
        if (ch == kWideNotCharacter || ch == kWideByteOrderMark || ch == 0) break;
        pos += 2;
    }
    record.size = pos;
    return 1;
}

IRawFileAnalyser* CreateArchiveDbAnalyser(RawAnalyserClass cls) {
    switch (cls) {
        case RawAnalyserClass::LZH: return new FileLZHAnalyser();
        case RawAnalyserClass::TAR: return new FileTARAnalyser();
        case RawAnalyserClass::MDB: return new FileMDBAnalyser();
        case RawAnalyserClass::GZ: return new FileGZAnalyser();
        case RawAnalyserClass::HTM: return new FileHTMAnalyser();
        case RawAnalyserClass::UnicodeHTM: return new FileUnicodeHTMAnalyser();
        default: return nullptr;
    }
}
