#include "raw/FileArchiveAnalysers.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>

#include "engine/RawFileInfo.h"
#include "raw/AnalyserTables.h"
#include "raw/ArchiveRecords.h"
#include "raw/WindowBytes.h"

namespace {

// ---------------------------------------------------------------- ZIP

constexpr u32 kZipNameLengthAt = 26;
constexpr u32 kZipNameAt = 30;
constexpr u64 kZipBoundFactor = 20;
constexpr u64 kZipLongestAdvance = 0x500000;
constexpr u32 kZipQuietTail = 16;
constexpr u32 kTailWord = 4;

constexpr u32 kZipCentralNameLengthAt = 28;
constexpr u32 kZipCentralNameAt = 46;
// Every office package holds its content-types part, wherever its packer put it.
constexpr std::string_view kOfficeMarkerParts[] = {"[Content_Types].xml", "docProps/app.xml"};

// The file name a local or central record holds, cut to the readable bytes.
std::string_view EntryName(const u8* entry, u32 available) {
    u32 lengthAt = 0, nameAt = 0;
    if (available >= kZipNameAt && ReadLE32(entry) == kZipLocalHeader) {
        lengthAt = kZipNameLengthAt;
        nameAt = kZipNameAt;
    } else if (available >= kZipCentralNameAt && ReadLE32(entry) == kZipCentralHeader) {
        lengthAt = kZipCentralNameLengthAt;
        nameAt = kZipCentralNameAt;
    } else {
        return {};
    }
    const u32 length = std::min<u32>(ReadLE16(entry + lengthAt), available - nameAt);
    const std::string_view name(reinterpret_cast<const char*>(entry + nameAt), length);
    return name.substr(0, name.find('\0'));
}

bool AllZero(const u8* p, u32 n) { return std::all_of(p, p + n, [](u8 c) { return c == 0; }); }

// ---------------------------------------------------------------- RAR

constexpr u8 kRarMarkerRest[3] = {0x1A, 0x07, 0x00};
constexpr u64 kRarMarkerBytes = 7;
constexpr u32 kRarFirstBlockLook = 505;
constexpr u32 kRarBlockLook = 32;
constexpr u64 kRarBoundFactor = 200;
constexpr u8 kRarEndBlock[7] = {0xC4, 0x3D, 0x7B, 0x00, 0x40, 0x07, 0x00};

// ---------------------------------------------------------------- CAB

constexpr u32 kCabReservedAt[] = {4, 12, 20};
constexpr u32 kCabSizeAt = 8;
constexpr u32 kCabVersionAt = 24;
constexpr u16 kCabVersion = 0x0103;

// ---------------------------------------------------------------- StuffIt

constexpr u32 kSitKindAt = 7;
constexpr u32 kSitLengthAt = 84;
constexpr u64 kWalkBoundFactor = 10;
constexpr u8 kSitxMarker[3] = {0x02, 0xD7, 0x0A};
constexpr u8 kSitxTrailer[4] = {0x98, 0xF6, 0x42, 0x88};
constexpr u32 kSitxTrailerAt = 4;
constexpr u32 kSitxKindAt = 3;
constexpr u32 kSitxOverlapFrom = 17;
constexpr u32 kSitxOverlapBack = 16;
constexpr u32 kSitxOverlapSpan = 32;
constexpr u32 kSitxLook = kSitxTrailerAt + sizeof kSitxTrailer;

u64 SitxTrailerLength(u8 kind) {
    constexpr u64 kTrailerEnd = 8;
    switch (kind) {
        case 0x19: return 4 + kTrailerEnd;
        case 0x3B: return 5 + kTrailerEnd;
        default: return 6 + kTrailerEnd;
    }
}

// ---------------------------------------------------------------- DMG

constexpr u8 kBzipDiskImage[10] = {0x42, 0x5A, 0x68, 0x31, 0x31, 0x41, 0x59, 0x26, 0x53, 0x59};
constexpr u64 kKolyBytes = 512;
constexpr u64 kKolyLookBackFrom = 10241;

}  // namespace

// ---------------------------------------------------------------- ZIP

u32 FileZIPAnalyser::CheckFileHeader(const u8*, u32 /*held*/, CRawFileInfo& record) {
    record.fileType = kType;
    return 1;
}

void FileZIPAnalyser::ClassifyFirstEntry(const u8* entry, u32 available) {
    m_office = false;
    m_drawing = false;
    if (available < kZipNameAt || ReadLE32(entry) != kZipLocalHeader) return;
    const u32 length = std::min<u32>(ReadLE16(entry + kZipNameLengthAt), available - kZipNameAt);
    const std::string name(reinterpret_cast<const char*>(entry + kZipNameAt), length);
    const std::string named = name.substr(0, name.find('\0'));
    if (named == "[Content_Types].xml" || named == "docProps/app.xml" || named.find("doc") != std::string::npos) {
        m_office = true;
    }
    if (named == "content/riffData.cdr") m_drawing = true;
}

u32 FileZIPAnalyser::AnalyseFileSize(CRawFileInfo& record, IStorageDevice* reader) {
    ScopedReadWindow w(reader, record.startSector);
    u32 type = kType;
    u32 available = 0;
    const u8* first = ReadWindowGetBytes(w.window, 0, &available);
    if (!first) return 0;
    if (!ZipRecordIsValid(first, available)) {
        record.size = 0;
        return 0;
    }
    ClassifyFirstEntry(first, available);
    const std::string name(EntryName(first, available));
    const u32 firstAvailable = available;
    const u64 bound = LargestFileOffset() * kZipBoundFactor;
    u64 position = 0;
    // Packers put the office marker parts anywhere; when the first entry is not one, a later one
    // turns the office naming on and the records are read again with it.
    for (int pass = 0; pass < 2; ++pass) {
        type = kType;
        u64 entryLength = 0;
        first = ReadWindowGetBytes(w.window, 0, &available);
        if (!first || !ZipRecordLength(first, firstAvailable, entryLength, m_office, type)) return 0;
        bool officeMarker = false;
        // Entry lengths add up in 64 bits: a 32-bit sum would wrap and walk the same records again.
        position = entryLength;
        while (position <= bound) {
            const u8* entry = ReadWindowGetBytes(w.window, position, &available);
            if (!entry || !ZipRecordIsValid(entry, available)) break;
            const std::string_view entryName = EntryName(entry, available);
            for (std::string_view part : kOfficeMarkerParts) officeMarker = officeMarker || entryName == part;
            if (!ZipRecordLength(entry, available, entryLength, m_office, type)) break;
            position += entryLength;
        }
        if (m_office || !officeMarker) break;
        m_office = true;
    }
    if (m_drawing && !m_office) type = kTypeDrawing;

    const u32 s = w.window.sectorSize;
    u64 aligned = position / s * s;
    u64 size = aligned;
    if (const u8* sector = WindowBytes(w.window, aligned, s)) {
        if (ReadLE32(sector + s - kTailWord) == 0) {
            size = position;
        } else if (aligned <= bound) {
            // The archive's data goes on in this sector: up to the first later sector that ends quietly.
            for (u64 advanced = 0; advanced <= kZipLongestAdvance;) {
                aligned += s;
                advanced += s;
                const u8* next = WindowBytes(w.window, aligned, s);
                if (!next || AllZero(next + s - kZipQuietTail, kZipQuietTail) || aligned > bound) break;
            }
            size = aligned;
        }
    }
    record.fileType = type;
    record.size = size;
    record.SetNameText(name);
    return 1;
}

// ---------------------------------------------------------------- RAR

u32 FileRARAnalyser::CheckFileHeader(const u8* sector, u32 /*held*/, CRawFileInfo& record) {
    if (std::memcmp(sector + 4, kRarMarkerRest, sizeof kRarMarkerRest) != 0) return 0;
    record.fileType = kType;
    return 1;
}

u32 FileRARAnalyser::AnalyseFileSize(CRawFileInfo& record, IStorageDevice* reader) {
    ScopedReadWindow w(reader, record.startSector);
    u32 available = 0;
    const u8* start = ReadWindowGetBytes(w.window, 0, &available);
    if (!start || available <= kRarMarkerBytes) return 0;
    u64 length = 0;
    const size_t firstLook = std::min<size_t>(kRarFirstBlockLook, available - kRarMarkerBytes);
    if (!RarBlockSize(start + kRarMarkerBytes, firstLook, length)) return 0;
    u64 position = kRarMarkerBytes + length;
    const u8* block = ReadWindowGetBytes(w.window, position, &available);
    if (!block) return 0;
    const u64 bound = LargestFileOffset() * kRarBoundFactor;
    while (RarBlockSize(block, std::min<u32>(kRarBlockLook, available), length)) {
        position += length;
        if (position > bound) break;
        block = ReadWindowGetBytes(w.window, position, &available);
        if (!block) return 0;
    }
    if (available >= sizeof kRarEndBlock && std::memcmp(block, kRarEndBlock, sizeof kRarEndBlock) == 0) {
        position += sizeof kRarEndBlock;
    }
    record.size = position;
    return 1;
}

// ---------------------------------------------------------------- CAB

u32 FileCABAnalyser::CheckFileHeader(const u8* sector, u32 /*held*/, CRawFileInfo& record) {
    record.fileType = kType;
    bool reservedClear = true;
    for (u32 at : kCabReservedAt) reservedClear = reservedClear && ReadLE32(sector + at) == 0;
    const u32 size = ReadLE32(sector + kCabSizeAt);
    if (!reservedClear || ReadLE16(sector + kCabVersionAt) != kCabVersion || size == 0) {
        record.size = 0;
        return 0;
    }
    record.size = size;
    return 1;
}

// ---------------------------------------------------------------- StuffIt

u32 FileSITAnalyser::CheckFileHeader(const u8* sector, u32 /*held*/, CRawFileInfo&) {
    return std::memcmp(sector + 4, "fIt", 3) == 0 ? 1 : 0;
}

u32 FileSITAnalyser::AnalyseFileSize(CRawFileInfo& record, IStorageDevice* reader) {
    if (!reader) {
        record.size = 0;
        return 0;
    }
    ScopedReadWindow w(reader, record.startSector);
    const u8* head = WindowBytes(w.window, 0, kSitLengthAt + 4);
    if (!head || (head[kSitKindAt] != ' ' && head[kSitKindAt] != '!')) {
        record.size = 0;
        return 0;
    }
    const u64 bound = LargestFileOffset() * kWalkBoundFactor;
    if (head[kSitKindAt] == ' ') {
        m_typeId = kType;
        record.fileType = kType;
        const u64 length = static_cast<u64>(static_cast<i64>(static_cast<i32>(ReadBE32(head + kSitLengthAt))));
        record.size = length < bound ? length : bound;
        return 1;
    }
    m_typeId = kTypeX;
    record.fileType = kTypeX;
    const u32 s = w.window.sectorSize;
    u64 p = 0;
    while (true) {
        const u8* sector = WindowBytes(w.window, p, s + kSitxLook);
        if (!sector) break;
        if (ReadLE16(sector + s - 2) != 0) {
            p += s;
        } else if (const u8* m = FindBytes(sector, static_cast<i32>(s), kSitxMarker, sizeof kSitxMarker)) {
            if (std::memcmp(m + kSitxTrailerAt, kSitxTrailer, sizeof kSitxTrailer) == 0) {
                p += static_cast<u64>(m - sector) + SitxTrailerLength(m[kSitxKindAt]);
            }
            break;
        } else {
            const u64 from = p >= kSitxOverlapFrom ? p - kSitxOverlapBack : p;
            const u8* around = WindowBytes(w.window, from, kSitxOverlapSpan + kSitxLook);
            const u8* hit =
                around ? FindBytes(around, static_cast<i32>(kSitxOverlapSpan), kSitxMarker, sizeof kSitxMarker) : nullptr;
            p += s;
            if (hit && std::memcmp(hit + kSitxTrailerAt, kSitxTrailer, sizeof kSitxTrailer) == 0) break;
        }
        if (p > bound) break;
    }
    record.size = p;
    return 1;
}

// ---------------------------------------------------------------- DMG

u32 FileDMGAnalyser::CheckFileHeader(const u8* sector, u32 /*held*/, CRawFileInfo& record) {
    if (std::memcmp(sector, kBzipDiskImage, sizeof kBzipDiskImage) != 0) return 0;
    record.fileType = kType;
    return 1;
}

u32 FileDMGAnalyser::AnalyseFileSize(CRawFileInfo& record, IStorageDevice* reader) {
    if (!reader) return 0;
    ScopedReadWindow w(reader, record.startSector);
    const u32 s = w.window.sectorSize;
    const u64 bound = LargestFileOffset() * kWalkBoundFactor;
    u64 p = 0;
    while (true) {
        const u8* sector = WindowBytes(w.window, p, s);
        if (!sector) break;
        if (ReadLE32(sector + s - 4) == 0 && ReadLE32(sector + s - 8) == 0) {
            if (std::memcmp(sector, "koly", 4) == 0) {
                p += kKolyBytes;
                break;
            }
            if (p >= kKolyLookBackFrom && p > s) {
                const u64 q = p - s;
                const u8* before = WindowBytes(w.window, q, s);
                const u8* m =
                    before ? FindBytes(before, static_cast<i32>(s), reinterpret_cast<const u8*>("koly"), 4) : nullptr;
                if (m) {
                    p = q + static_cast<u64>(m - before) + kKolyBytes;
                    break;
                }
                p = q + s;
            }
        }
        p += s;
        if (p > bound) break;
    }
    record.fileType = kType;
    record.size = p;
    return 1;
}

IRawFileAnalyser* CreateArchiveAnalyser(RawAnalyserClass cls) {
    switch (cls) {
        case RawAnalyserClass::ZIP: return new FileZIPAnalyser();
        case RawAnalyserClass::RAR: return new FileRARAnalyser();
        case RawAnalyserClass::CAB: return new FileCABAnalyser();
        case RawAnalyserClass::SIT: return new FileSITAnalyser();
        case RawAnalyserClass::DMG: return new FileDMGAnalyser();
        default: return nullptr;
    }
}
