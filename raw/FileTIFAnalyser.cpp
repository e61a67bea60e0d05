#include "raw/FileTIFAnalyser.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "engine/RawFileInfo.h"
#include "raw/AnalyserReads.h"
#include "raw/AnalyserTables.h"
#include "raw/ExifReader.h"

namespace {

enum TiffTag : u16 {
    kTagMake = 0x010F,
    kTagModel = 0x0110,
    kTagStripOffsets = 0x0111,
    kTagStripByteCounts = 0x0117,
    kTagDateTime = 0x0132,
    kTagTileOffsets = 0x0144,
    kTagTileByteCounts = 0x0145,
    kTagSubIfds = 0x014A,
    kTagJpegOffset = 0x0201,
    kTagJpegLength = 0x0202,
    kTagPreviewData = 0x0280,
    kTagIptc = 0x83BB,
    kTagExifIfd = 0x8769,
    kTagPhotoshopPrivate = 0x935C,
    kTagCaptureTime = 0x9003,
    kTagMakerNote = 0x927C,
    kTagDngVersion = 0xC612,
};

enum RawType : u32 {
    kTypeNef = 77,
    kTypeCr2 = 83,
    kTypeSr2 = 84,
    kTypeArw = 85,
    kTypeRaw = 86,
    kTypeRw2 = 87,
    kTypeRaf = 89,
    kTypeDcr = 97,
    kTypeKdc = 98,
    kType3fr = 99,
    kTypeErf = 100,
    kTypeMef = 101,
    kTypePef = 104,
    kTypeSrw = 106,
    kTypeOrf = 107,
};

constexpr u32 kMaxEntries = 512;
constexpr u32 kEntryBytes = 12;
constexpr u32 kMaxNestedVisits = 15;
constexpr u32 kMaxSubIfds = 512;
// Next-directory links only move forward, but a forged chain may still be long.
constexpr u32 kMaxDirectories = 1024;
constexpr u64 kIfdBoundFactor = 4;
constexpr u32 kMakeTextLimit = 64;
constexpr u32 kDateTimeBytes = 20;
constexpr u32 kCaptureTimeBytes = 64;

constexpr char kRafStart[] = "FUJIFILMCCD-RAW ";
constexpr u64 kRafTiffAt = 160;
constexpr u64 kRafPairs[3] = {84, 92, 100};
constexpr u64 kRafExtraAt = 132;
constexpr u64 kRafJpegReadLimit = 0x80001;
constexpr u8 kPanasonicStart[4] = {0x49, 0x49, 0x55, 0x00};

constexpr u8 kJpegStarts[3][4] = {{0xFF, 0xD8, 0xFF, 0xE0}, {0xFF, 0xD8, 0xFF, 0xE1}, {0xFF, 0xD8, 0xFF, 0xDB}};

// Canon CIFF closing records and how far past their start the file ends.
struct CrwEnd {
    u8 kind;
    u64 endAfter;
};
constexpr CrwEnd kCrwEnds[] = {{0xA8, 70}, {0xB2, 60}, {0xE4, 50}};
constexpr u64 kCrwDefaultSize = 52428800;
constexpr u32 kCrwPatternBytes = 6;
constexpr u64 kCrwBackBytes = 80;
constexpr u32 kCrwBackSpan = 96;

u32 FieldSize(u16 type) {
    switch (type) {
        case 1: case 2: case 6: case 7: return 1;
        case 3: case 8: return 2;
        case 4: case 9: case 11: return 4;
        case 5: case 10: case 12: return 8;
        default: return 0;
    }
}

std::string Upper(std::string text) {
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

std::string Cleaned(const std::string& text) {
    CRawFileInfo scratch;
    scratch.SetNameText(text);
    return scratch.nameText;
}

// The closing record starting at p, or null.
const CrwEnd* FindCrwEnd(const u8* p) {
    if (p[0] != 0x07 || p[1] != 0x28 || p[3] != 0 || p[4] != 0 || p[5] != 0) return nullptr;
    for (const CrwEnd& end : kCrwEnds) {
        if (p[2] == end.kind) return &end;
    }
    return nullptr;
}

}  // namespace

u64 FileTIFAnalyser::Entry::Bytes() const { return u64(FieldSize(type)) * count; }

u16 FileTIFAnalyser::Read16(const u8* p) const { return m_bigEndian ? ReadBE16(p) : ReadLE16(p); }
u32 FileTIFAnalyser::Read32(const u8* p) const { return m_bigEndian ? ReadBE32(p) : ReadLE32(p); }

u32 FileTIFAnalyser::CheckFileHeader(const u8* sector, u32 /*held*/, CRawFileInfo& record) {
    if (SameBytes(sector, "FUJI") && std::memcmp(sector + 4, "FILMCCD-RAW ", 12) != 0) return 0;
    record.fileType = kType;
    return 1;
}

// Copies a directory's entries out of the window entry by entry, so that no read goes past what
// the window holds; false when the directory cannot be read or its count is out of range.
bool FileTIFAnalyser::ReadDirectory(ScopedReadWindow& w, u64 at, std::vector<Entry>& entries, u32& next) {
    entries.clear();
    const u8* count = w.Bytes(at, 2);
    if (!count) return false;
    const u32 n = Read16(count);
    if (n < 1 || n > kMaxEntries) return false;
    for (u32 i = 0; i < n; ++i) {
        const u8* e = w.Bytes(at + 2 + u64(kEntryBytes) * i, kEntryBytes);
        if (!e) return false;
        Entry entry;
        entry.tag = Read16(e);
        entry.type = Read16(e + 2);
        entry.count = Read32(e + 4);
        // A short value sits in the field's first bytes, whatever the byte order.
        entry.value = entry.Bytes() <= 2 && FieldSize(entry.type) == 2 ? Read16(e + 8) : Read32(e + 8);
        entries.push_back(entry);
    }
    const u8* link = w.Bytes(at + 2 + u64(kEntryBytes) * n, 4);
    next = link ? Read32(link) : 0;
    return true;
}

// The last element of an offset or count table (held in the entry itself when it fits).
bool FileTIFAnalyser::LastValue(ScopedReadWindow& w, const Entry& entry, u64 base, u64& value) {
    const u32 size = FieldSize(entry.type);
    if (entry.count == 0 || (size != 2 && size != 4)) return false;
    if (entry.Bytes() <= 4) {
        value = entry.count == 1 ? entry.value : 0;
        return entry.count == 1;
    }
    const u8* last = w.Bytes(base + entry.value + u64(size) * (entry.count - 1), size);
    if (!last) return false;
    value = size == 2 ? Read16(last) : Read32(last);
    return true;
}

std::string FileTIFAnalyser::ReadText(ScopedReadWindow& w, const Entry& entry, u64 base, u32 limit) {
    const u32 length = std::min(entry.count, limit);
    if (length == 0) return std::string();
    u8 inline_[4];
    const u8* bytes = nullptr;
    if (entry.count <= 4) {
        for (int i = 0; i < 4; ++i) inline_[i] = u8(m_bigEndian ? entry.value >> (24 - 8 * i) : entry.value >> (8 * i));
        bytes = inline_;
    } else {
        bytes = w.Bytes(base + entry.value, length);
    }
    if (!bytes) return std::string();
    const u8* end = static_cast<const u8*>(std::memchr(bytes, 0, length));
    return std::string(reinterpret_cast<const char*>(bytes), end ? size_t(end - bytes) : length);
}

void FileTIFAnalyser::HandleTables(ScopedReadWindow& w, const Table& offsets, const Table& counts, u64 base,
                                   bool strips) {
    if (!offsets.known || !counts.known) return;
    if (!strips && (offsets.entry.count != counts.entry.count ||
                    FieldSize(offsets.entry.type) != FieldSize(counts.entry.type))) {
        return;
    }
    u64 lastOffset = 0, lastCount = 0;
    if (!LastValue(w, offsets.entry, base, lastOffset) || !LastValue(w, counts.entry, base, lastCount)) return;
    Raise(base + lastOffset + lastCount);
    if (strips && offsets.entry.count == 1) {
        if (const u8* start = w.Bytes(base + lastOffset, 4)) {
            for (const u8* jpeg : kJpegStarts) {
                if (std::memcmp(start, jpeg, 4) == 0) m_extraA = base + lastOffset;
            }
        }
    }
}

void FileTIFAnalyser::ReadRafHeader(ScopedReadWindow& w, const u8* head) {
    m_raf = true;
    for (u64 at : kRafPairs) Raise(u64(ReadBE32(head + at)) + ReadBE32(head + at + 4));
    const u32 extra = ReadBE32(head + kRafExtraAt);
    const u32 jpegAt = ReadBE32(head + kRafPairs[0]);
    if (jpegAt < kRafJpegReadLimit) {
        u32 got = 0;
        const u8* jpeg = w.Span(jpegAt, ~u32(0), got);
        if (jpeg && got > 6 && jpeg[0] == 0xFF && jpeg[1] == 0xD8 && jpeg[2] == 0xFF && jpeg[3] == 0xE1) {
            const u32 segment = ReadBE16(jpeg + 4);
            ExifInfo info;
            if (segment > 2 && ParseExifBlock(jpeg + 6, std::min<u64>(segment - 2, got - 6), info) != 0) {
                m_text1 = std::strchr(info.cameraModel, '<') ? info.cameraMake : info.cameraModel;
                m_text2 = info.dateTime;
            }
        }
    }
    if (extra != 0) m_farthest += extra;
    m_base = kRafTiffAt;
}

void FileTIFAnalyser::Walk(ScopedReadWindow& w) {
    const u8* header = w.Bytes(m_base, 8);
    if (!header) return;
    u64 ifd = Read32(header + 4);
    const u64 bound = LargestFileOffset() * kIfdBoundFactor;
    u32 previousNext = 0;
    std::vector<Entry> entries;
    for (u32 directory = 0; directory < kMaxDirectories; ++directory) {
        u32 next = 0;
        if (ifd > bound || !ReadDirectory(w, m_base + ifd, entries, next)) return;
        Table strips, stripCounts, tiles, tileCounts;
        for (const Entry& e : entries) {
            if (e.Bytes() > 4) Raise(m_base + e.value + e.Bytes());
            switch (e.tag) {
                case kTagMake:
                    m_maker = ReadText(w, e, m_base, kMakeTextLimit);
                    if (Upper(m_maker).find("EPSON") != std::string::npos) m_epson = true;
                    break;
                case kTagModel: m_model = ReadText(w, e, m_base, kMakeTextLimit); break;
                case kTagStripOffsets:
                case kTagJpegOffset: strips = {true, e}; break;
                case kTagStripByteCounts:
                case kTagJpegLength: stripCounts = {true, e}; break;
                case kTagDateTime: m_dateTime = ReadText(w, e, m_base, kDateTimeBytes); break;
                case kTagTileOffsets: tiles = {true, e}; break;
                case kTagTileByteCounts: tileCounts = {true, e}; break;
                case kTagDngVersion: m_dng = true; break;
                default: break;
            }
        }
        HandleTables(w, strips, stripCounts, m_base, true);
        HandleTables(w, tiles, tileCounts, m_base, false);
        // Nested directories last: their reads replace what the window held.
        for (const Entry& e : entries) {
            if (e.tag == kTagSubIfds && !m_epson) {
                const u32 n = std::min(e.count, kMaxSubIfds);
                for (u32 i = 0; i < n; ++i) {
                    u64 at = e.value;
                    if (n > 1) {
                        const u8* p = w.Bytes(m_base + e.value + 4ull * i, 4);
                        if (!p) break;
                        at = Read32(p);
                    }
                    NestedWalk(w, m_base + at, 0);
                }
            } else if (e.tag == kTagExifIfd) {
                NestedWalk(w, m_base + e.value, 0);
            }
        }
        if (m_raf || next == 0 || next <= previousNext) return;
        previousNext = next;
        ifd = next;
    }
}

void FileTIFAnalyser::NestedWalk(ScopedReadWindow& w, u64 at, u64 base) {
    std::vector<Entry> entries;
    while (at != 0) {
        if (++m_visits > kMaxNestedVisits) return;
        u32 next = 0;
        if (!ReadDirectory(w, at, entries, next)) return;
        Table strips, stripCounts, tiles, tileCounts;
        for (const Entry& e : entries) {
            if (e.Bytes() > 4) Raise(u64(e.value) + e.Bytes());
            switch (e.tag) {
                case kTagPreviewData:
                case kTagIptc: Raise(u64(e.value) + base + e.Bytes()); break;
                case kTagCaptureTime:
                    if (m_text2.empty()) m_text2 = ReadText(w, e, base, kCaptureTimeBytes);
                    break;
                case kTagDngVersion: m_dng = true; break;
                case kTagStripOffsets:
                case kTagJpegOffset: strips = {true, e}; break;
                case kTagStripByteCounts:
                case kTagJpegLength: stripCounts = {true, e}; break;
                case kTagTileOffsets: tiles = {true, e}; break;
                case kTagTileByteCounts: tileCounts = {true, e}; break;
                default: break;
            }
        }
        Raise(at + 2 + u64(kEntryBytes) * entries.size() + 4);
        HandleTables(w, strips, stripCounts, base, true);
        HandleTables(w, tiles, tileCounts, base, false);
        for (const Entry& e : entries) {
            if (e.tag == kTagExifIfd) {
                Raise(u64(e.value) + e.Bytes() + base);
                NestedWalk(w, u64(e.value) + base, base);
            } else if (e.tag == kTagMakerNote) {
                // Maker notes that are no plain directory stop at their count or their first read.
                NestedWalk(w, u64(e.value) + base, 0);
            }
        }
        if (next == 0) return;
        at = u64(next) + base + (m_raf ? kRafTiffAt : 0);
    }
}

u32 FileTIFAnalyser::MakerType(u32 type, bool panasonicStart) const {
    const std::string make = Upper(m_maker);
    auto has = [&make](const char* word) { return make.find(word) != std::string::npos; };
    if (has("NIKON")) return kTypeNef;
    if (has("CANON")) return kTypeCr2;
    if (has("SONY")) return m_model.find("DSC-R1") != std::string::npos ? kTypeSr2 : kTypeArw;
    if (has("PANASONIC")) {
        if (!panasonicStart) return kTypeRw2;
        return m_model.find("DMC-") != std::string::npos ? kTypeRw2 : kTypeRaw;
    }
    if (has("LEICA")) return panasonicStart ? kTypeRaw : type;
    if (has("KODAK")) return m_model.find("DCS Pro SLR") != std::string::npos ? kTypeDcr : kTypeKdc;
    if (has("EPSON")) return kTypeErf;
    if (has("HASSELBLAD")) return kType3fr;
    if (has("MAMIYA")) return kTypeMef;
    if (has("PENTAX")) return kTypePef;
    if (has("SAMSUNG")) return kTypeSrw;
    if (has("OLYMPUS")) return kTypeOrf;
    return kType;
}

u32 FileTIFAnalyser::AnalyseFileSize(CRawFileInfo& record, IStorageDevice* reader) {
    m_text1.clear();
    m_text2.clear();
    m_maker.clear();
    m_model.clear();
    m_dateTime.clear();
    m_subTypeText.clear();
    m_bigEndian = m_raf = m_epson = m_dng = false;
    m_base = 0;
    m_farthest = 0;
    m_bound = LargestFileOffset() * kIfdBoundFactor;
    m_visits = 1;
    m_extraA = m_extraB = 0;
    ScopedReadWindow w(reader, record.startSector);
    const u64 sector = w.SectorSize();
    const u8* first = sector ? w.Bytes(0, static_cast<u32>(sector)) : nullptr;
    if (!first || sector < kRafTiffAt + 8) return 0;
    std::vector<u8> head(first, first + sector);
    u32 type = record.fileType == 0 ? kType : record.fileType;
    if (std::memcmp(head.data(), kRafStart, sizeof(kRafStart) - 1) == 0) {
        type = kTypeRaf;
        ReadRafHeader(w, head.data());
    }
    const bool panasonicStart = std::memcmp(head.data(), kPanasonicStart, sizeof(kPanasonicStart)) == 0;
    if (panasonicStart) type = kTypeRaw;
    m_bigEndian = head[m_base] == 'M' && head[m_base + 1] == 'M';
    try {
        Walk(w);
    } catch (...) {
        return 0;
    }
    if (!m_dng && !m_raf) type = MakerType(type == kTypeRaw ? kTypeRaw : kType, panasonicStart);
    if (m_text1.empty()) m_text1 = m_model.empty() || m_model.find('<') != std::string::npos ? m_maker : m_model;
    if (m_text2.empty()) m_text2 = m_dateTime;
    m_text1 = Cleaned(m_text1);
    m_subTypeText = m_text1;
    record.fileType = type;
    record.SetNameText(m_text1);
    record.SetSecondText(m_text2);
    if (record.subTypeFlag != 0 && !m_text1.empty()) {
        record.subType = static_cast<i32>(m_subTypeId);
        record.subTypeText = m_subTypeText;
    }
    record.size = m_farthest;
    return 1;
}

// ------------------------------------------------------------------------------------------ CRW

u32 FileCRWAnalyser::CheckFileHeader(const u8* sector, u32 /*held*/, CRawFileInfo& record) {
    if (sector[4] != 0 || sector[5] != 0 || !SameBytes(sector + 6, "HEAP")) return 0;
    if (!SameBytes(sector + 10, "CCDR") && !SameBytes(sector + 10, "TIFP") && !SameBytes(sector + 10, "ARCH")) return 0;
    if (sector[14] != 2) return 0;
    m_headerSeen = true;
    record.fileType = kType;
    return 1;
}

u32 FileCRWAnalyser::AnalyseFileSize(CRawFileInfo& record, IStorageDevice* reader) {
    ScopedReadWindow w(reader, record.startSector);
    const u64 s = w.SectorSize();
    u64 size = kCrwDefaultSize;
    u64 p = 0;
    while (s >= kCrwBackBytes && p <= kCrwDefaultSize) {
        const u8* sector = w.Bytes(p, static_cast<u32>(s));
        if (!sector) break;
        if (ReadLE32(sector + s - 4) != 0) {
            p += s;
            continue;
        }
        bool found = false;
        for (u64 i = 0; i + kCrwPatternBytes < s && !found; ++i) {
            if (const CrwEnd* end = FindCrwEnd(sector + i)) {
                size = p + i + end->endAfter;
                found = true;
            }
        }
        if (found) break;
        // A record split across the boundary with the sector before.
        if (p > 0) {
            const u8* back = w.Bytes(p - kCrwBackBytes, kCrwBackSpan);
            for (u32 i = 0; back && !found && i + kCrwPatternBytes <= kCrwBackSpan; ++i) {
                found = FindCrwEnd(back + i) != nullptr;
            }
            if (found) size = p + s;
        }
        if (found) break;
        p += s;
    }
    record.size = size;
    record.fileType = kType;
    return 1;
}

IRawFileAnalyser* CreateTiffRawAnalyser(RawAnalyserClass cls) {
    switch (cls) {
        case RawAnalyserClass::TIF: return new FileTIFAnalyser();
        case RawAnalyserClass::CRW: return new FileCRWAnalyser();
        default: return nullptr;
    }
}
