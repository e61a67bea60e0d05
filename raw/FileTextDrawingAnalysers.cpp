#include "raw/FileTextDrawingAnalysers.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "devices/StorageDevice.h"
#include "engine/RawFileInfo.h"
#include "raw/AnalyserReads.h"
#include "raw/AnalyserTables.h"

namespace {

// ---- RTF
constexpr u64 kRtfFirstExamined = 4;
constexpr u64 kRtfSkipped = 5;

// ---- EPS
constexpr char kEpsTextStart[] = "%!PS-Adobe";
constexpr char kEpsEndComment[] = "%AI9_PrivateDataEnd";
constexpr u64 kEpsEndAfterMarker = 19 + 2;
constexpr u64 kEpsBoundDivisor = 4;
constexpr u64 kEpsKindAt = 28;

// ---- SVG
constexpr char kSvgStart[] = "<?xml version=\"";
constexpr const char* kSvgTags[] = {"<svg ", "<svg\n ", "<svg\r ", "<svg> ", "<svg>\n", "<svg>\r"};
constexpr u8 kSvgEnd[] = {0x0A, '<', '/', 's', 'v', 'g', '>'};
constexpr u64 kSvgEndAfterMarker = 9;
constexpr u64 kSvgBound = 0x100001;
constexpr u64 kSvgBoundaryBack = 16;
constexpr u32 kSvgBoundaryBytes = 32;

// ---- DXF
constexpr char kDxfHeader[] = "\nSECTION\r\n  2\r\nHEADER\r\n";

// ---- DWG
constexpr u32 kDwgVersionBytes = 8;
constexpr const char* kDwgVersions[] = {"AC1018", "AC1015", "AC1014", "AC1013", "AC1009", "AC1012", "AC1021", "AC1024"};
constexpr u8 kDwgImageSentinel[16] = {0x1F, 0x25, 0x6D, 0x07, 0xD4, 0x36, 0x28, 0x28,
                                      0x9D, 0x57, 0xCA, 0x3F, 0x9D, 0x44, 0x10, 0x2B};
constexpr u8 kDwgR2004Block[16] = {0x68, 0x40, 0xF8, 0xF7, 0x92, 0x2A, 0xB5, 0xEF,
                                   0x18, 0xDD, 0x0B, 0xF1, 0xF1, 0xBB, 0xE9, 0xEB};
constexpr u64 kDwgRecordCountAt = 21;
constexpr u64 kDwgImageAt = 13;
constexpr u64 kDwgRecordsAt = 25;
constexpr u64 kDwgRecordBytes = 9;
constexpr u32 kDwgMaxRecords = 100;
constexpr u64 kDwgBlockAt = 128;
constexpr u32 kDwgBlockBytes = 16;
constexpr u64 kDwgR2004End = 108;
constexpr u64 kDwgR2007Start = 256;
constexpr u64 kDwgR2007End = 1024;
constexpr u64 kDwgR2010Start = 1024;
constexpr u64 kDwgR2010End = 108;

// The index of the first '{', '}' or zero byte of the n at b, or n. Eight bytes are tested a
// step: (v - 0x01..01) & ~v has a high bit set exactly when v has a zero byte.
u32 FirstBraceOrZero(const u8* b, u32 n) {
    constexpr u64 kOnes = 0x0101010101010101ull;
    constexpr u64 kHighBits = 0x8080808080808080ull;
    constexpr u64 kOpen = kOnes * '{';
    constexpr u64 kClose = kOnes * '}';
    u32 i = 0;
    for (; i + sizeof(u64) <= n; i += sizeof(u64)) {
        u64 v = 0;
        std::memcpy(&v, b + i, sizeof(v));
        const u64 open = v ^ kOpen;
        const u64 close = v ^ kClose;
        if ((((v - kOnes) & ~v) | ((open - kOnes) & ~open) | ((close - kOnes) & ~close)) & kHighBits) break;
    }
    while (i < n && b[i] != '{' && b[i] != '}' && b[i] != 0) ++i;
    return i;
}

bool Tail16Zero(const u8* sector, u64 s) { return ReadLE16(sector + s - 2) == 0; }
bool Tail32Zero(const u8* sector, u64 s) { return ReadLE32(sector + s - 4) == 0; }

// The marker in the sector before p and the one at p (only the one at p when p is 0).
bool FindAroundBoundary(ScopedReadWindow& w, u64 p, u64 s, const void* marker, u32 length, u64& at) {
    return w.Find(p > 0 ? p - s : 0, static_cast<u32>(p > 0 ? 2 * s : s), marker, length, at);
}


}  // namespace

// ------------------------------------------------------------------------------------------ RTF

u32 FileRTFAnalyser::CheckFileHeader(const u8* sector, u32 /*held*/, CRawFileInfo& record) {
    if (sector[4] != 'f') return 0;
    record.fileType = kType;
    return 1;
}

u32 FileRTFAnalyser::AnalyseFileSize(CRawFileInfo& record, IStorageDevice* reader) {
    ScopedReadWindow w(reader, record.startSector);
    const u64 bound = LargestFileOffset();
    i64 depth = 1;
    u64 p = kRtfFirstExamined;
    u32 result = 1;
    // Only braces and a zero byte change the walk: the bytes between them are passed over a
    // window span at a time.
    while (p <= bound) {
        u32 got = 0;
        const u64 wanted = p == kRtfFirstExamined ? 1 : std::min<u64>(bound - p + 1, std::numeric_limits<u32>::max());
        const u8* b = w.Span(p, static_cast<u32>(wanted), got);
        if (!b || got == 0) {
            result = 0;
            break;
        }
        const u32 i = FirstBraceOrZero(b, got);
        if (i == got) {
            p = p + got == kRtfSkipped ? p + got + 1 : p + got;
            continue;
        }
        p += i;
        const u8 c = b[i];
        if (c == '{') ++depth;
        if (c == '}') --depth;
        if (c == 0 && depth > 0) {
            result = 0;
            break;
        }
        p = p + 1 == kRtfSkipped ? p + 2 : p + 1;
        if (depth == 0) break;
    }
    record.size = p;
    // A walk that ended inside a group did not find the file's end: its own bytes still owe a
    // closing brace for every group open, and a file short of them is never whole.
    if (result == 0 && depth > 0) {
        const u64 owed = u64(depth);
        record.missingBytes = owed > ~u64(0) - record.missingBytes ? ~u64(0) : record.missingBytes + owed;
    }
    return result;
}

// ------------------------------------------------------------------------------------------ EPS

u32 FileEPSAnalyser::CheckFileHeader(const u8* sector, u32 /*held*/, CRawFileInfo& record) {
    if (SameBytes(sector, kEpsTextStart)) {
        record.fileType = kType;
        record.size = 0;
        return 1;
    }
    const u8* kind = sector + kEpsKindAt;
    if (kind[0] != 0xFF || kind[1] != 0xFF) return 0;
    if ((kind[2] == 0x25 && kind[3] == 0x21) || (kind[2] == 0 && kind[3] == 0)) {
        record.size = u64(ReadLE32(sector + 12)) + ReadLE32(sector + 16) + ReadLE32(sector + 20) + ReadLE32(sector + 24);
    } else if (kind[2] == 0x49 && kind[3] == 0x49) {
        record.size = u64(ReadLE32(sector + 4)) + ReadLE32(sector + 8);
    } else {
        return 0;
    }
    // Damaged section fields would make a file of many gigabytes.
    if (record.size > LargestFileOffset()) {
        record.size = 0;
        return 0;
    }
    record.fileType = kType;
    return 1;
}

u32 FileEPSAnalyser::AnalyseFileSize(CRawFileInfo& record, IStorageDevice* reader) {
    ScopedReadWindow w(reader, record.startSector);
    const u64 s = w.SectorSize();
    if (s == 0 || !w.Bytes(0, static_cast<u32>(s))) return 0;
    // Only Illustrator writes the end comment: the search of any other text EPS runs to its
    // bound, which must not lie beyond the disk's last byte.
    u64 bound = LargestFileOffset() / kEpsBoundDivisor;
    const u64 total = reader->GetTotalSectors();
    if (total > record.startSector) bound = std::min(bound, (total - record.startSector) * s - s);
    const u32 markerBytes = sizeof(kEpsEndComment) - 1;
    u64 p = 0;
    while (p <= bound) {
        // The sectors the window holds from p are looked at where they lie; a marker search may
        // move the window, so the span is asked for again after one.
        u32 got = 0;
        const u8* span = w.Span(p, std::numeric_limits<u32>::max(), got);
        if (!span || got < s) break;
        for (u64 k = 0; k + s <= got && p <= bound; k += s) {
            if (Tail32Zero(span + k, s)) {
                u64 at = 0;
                if (w.Find(p, static_cast<u32>(s), kEpsEndComment, markerBytes, at) ||
                    FindAroundBoundary(w, p, s, kEpsEndComment, markerBytes, at)) {
                    record.size = at + kEpsEndAfterMarker;
                    return 1;
                }
                p += s;
                break;
            }
            p += s;
        }
    }
    record.size = p;
    return 1;
}

// ------------------------------------------------------------------------------------------ SVG

u32 FileSVGAnalyser::CheckFileHeader(const u8* sector, u32 held, CRawFileInfo& record) {
    if (!SameBytes(sector, kSvgStart)) return 0;
    const i32 searched = static_cast<i32>(std::min(held, kHeaderSearchBytes));
    bool tag = false;
    for (const char* t : kSvgTags) {
        const u32 n = static_cast<u32>(std::strlen(t));
        tag = tag || FindBytes(sector, searched, reinterpret_cast<const u8*>(t), n) != nullptr;
    }
    if (!tag) return 0;
    record.fileType = kType;
    record.size = 0;
    return 1;
}

u32 FileSVGAnalyser::AnalyseFileSize(CRawFileInfo& record, IStorageDevice* reader) {
    if (!reader) return 0;
    ScopedReadWindow w(reader, record.startSector);
    const u64 s = w.SectorSize();
    u64 p = 0;
    while (s != 0 && p < kSvgBound) {
        const u8* sector = w.Bytes(p, static_cast<u32>(s));
        if (!sector) break;
        if (Tail16Zero(sector, s)) {
            u64 at = 0;
            if (w.Find(p, static_cast<u32>(s), kSvgEnd, sizeof(kSvgEnd), at)) {
                p = at + kSvgEndAfterMarker;
                break;
            }
            // A closing tag split across the boundary: the file ends with this sector.
            if (p > 0 && w.Find(p - kSvgBoundaryBack, kSvgBoundaryBytes, kSvgEnd, sizeof(kSvgEnd), at)) {
                p += s;
                break;
            }
        }
        p += s;
    }
    record.size = p;
    record.fileType = kType;
    return 1;
}

// ------------------------------------------------------------------------------------------ DXF

u32 FileDXFAnalyser::CheckFileHeader(const u8* sector, u32 /*held*/, CRawFileInfo& record) {
    if (!SameBytes(sector + 4, kDxfHeader)) return 0;
    record.fileType = kType;
    return 1;
}

u32 FileDXFAnalyser::AnalyseFileSize(CRawFileInfo& record, IStorageDevice* reader) {
    TextEndMarker marker;
    static constexpr char kEnd[] = "EOF\r\n";
    marker.length = sizeof(kEnd) - 1;
    std::memcpy(marker.text, kEnd, marker.length);
    return FindTextEndMarker(record, reader, marker, 1);
}

// ------------------------------------------------------------------------------------------ DWG

u32 FileDWGAnalyser::CheckFileHeader(const u8* sector, u32 /*held*/, CRawFileInfo& record) {
    for (const char* version : kDwgVersions) {
        if (SameBytes(sector, version) && sector[6] == 0 && sector[7] == 0) {
            record.fileType = kType;
            return 1;
        }
    }
    return 0;
}

u32 FileDWGAnalyser::AnalyseFileSize(CRawFileInfo& record, IStorageDevice* reader) {
    ScopedReadWindow w(reader, record.startSector);
    m_sectorSize = w.SectorSize();
    const u8* head = w.Bytes(0, kDwgBlockAt + kDwgBlockBytes);
    if (!head || m_sectorSize == 0) return 0;
    u8 block[kDwgBlockBytes];
    std::memcpy(block, head + kDwgBlockAt, kDwgBlockBytes);
    const u64 largest = LargestFileOffset();
    if (SameBytes(head, "AC1012") || SameBytes(head, "AC1013") || SameBytes(head, "AC1014") ||
        SameBytes(head, "AC1015")) {
        return SectionRecords(record, w);
    }
    if (SameBytes(head, "AC1018")) {
        if (std::memcmp(block, kDwgR2004Block, kDwgBlockBytes) != 0) return 0;
        record.size = EndBlockSearch(w, block, "AC1018", 0, kDwgR2004End, false);
        return 1;
    }
    if (SameBytes(head, "AC1021")) {
        record.size = largest < kDwgR2007Start ? kDwgR2007Start
                                               : EndBlockSearch(w, block, "AC1021", kDwgR2007Start, kDwgR2007End, true);
        return 1;
    }
    if (SameBytes(head, "AC1024")) {
        record.size = largest < kDwgR2010Start ? kDwgR2010Start
                                               : EndBlockSearch(w, block, "AC1024", kDwgR2010Start, kDwgR2010End, true);
        return 1;
    }
    return 0;  // AC1009 and anything else carry nothing that gives their length
}

u32 FileDWGAnalyser::SectionRecords(CRawFileInfo& record, ScopedReadWindow& w) {
    const u8* head = w.Bytes(0, kDwgRecordsAt);
    if (!head) return 0;
    const u32 count = ReadLE32(head + kDwgRecordCountAt);
    const u32 image = ReadLE32(head + kDwgImageAt);
    if (count == 0 || image == 0 || count > kDwgMaxRecords) return 0;
    const u8* sentinel = w.Bytes(image, sizeof(kDwgImageSentinel));
    if (!sentinel || std::memcmp(sentinel, kDwgImageSentinel, sizeof(kDwgImageSentinel)) != 0) return 0;
    const u8* records = w.Bytes(kDwgRecordsAt, static_cast<u32>(kDwgRecordBytes * count));
    if (!records) return 0;
    u32 position = 0, size = 0;
    for (u32 i = 0; i < count; ++i) {
        const u8* r = records + kDwgRecordBytes * i;
        if (i == 0 || ReadLE32(r + 1) > position) {
            position = ReadLE32(r + 1);
            size = ReadLE32(r + 5);
        }
    }
    if (position == 0 || size == 0) return 0;
    record.size = u64(position) + size;
    return 1;
}

u64 FileDWGAnalyser::EndBlockSearch(ScopedReadWindow& w, const u8* block, const char* version, u64 start,
                                    u64 endAfter, bool stopAtZeroTail) {
    const u64 s = m_sectorSize;
    const u64 bound = LargestFileOffset();
    char versionText[kDwgVersionBytes] = {};
    std::memcpy(versionText, version, std::strlen(version));
    u64 p = start;
    while (p <= bound) {
        const u8* sector = w.Bytes(p, static_cast<u32>(s));
        if (!sector) return p;
        if (!Tail16Zero(sector, s)) {
            p += s;
            continue;
        }
        const u64 into = p % s;
        const u32 rest = static_cast<u32>(s - into);
        u64 at = 0;
        if (w.Find(p, rest, block, kDwgBlockBytes, at)) {
            // A header copy in the same bytes means the block found may be the header's own.
            u64 versionAt = 0;
            const bool header = w.Find(p, rest, versionText, kDwgVersionBytes, versionAt) && versionAt != at;
            if (!header) return at + endAfter;
            if (p > 0 && w.Find(p - s, rest, block, kDwgBlockBytes, at)) return at + endAfter;
        } else {
            const bool zeroTail = ReadLE32(sector + s - 4) == 0 && ReadLE32(sector + s - 8) == 0;
            if (FindAroundBoundary(w, p, s, block, kDwgBlockBytes, at)) return at + endAfter;
            if (stopAtZeroTail && zeroTail) return p + rest;
        }
        p += rest;
    }
    return p;
}

IRawFileAnalyser* CreateTextDrawingAnalyser(RawAnalyserClass cls) {
    switch (cls) {
        case RawAnalyserClass::RTF: return new FileRTFAnalyser();
        case RawAnalyserClass::EPS: return new FileEPSAnalyser();
        case RawAnalyserClass::SVG: return new FileSVGAnalyser();
        case RawAnalyserClass::DXF: return new FileDXFAnalyser();
        case RawAnalyserClass::DWG: return new FileDWGAnalyser();
        default: return nullptr;
    }
}
