#include "raw/FileMediaContainerAnalysers.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstring>
#include <vector>

#include "devices/StorageDevice.h"
#include "engine/RawFileInfo.h"
#include "platform/Stats.h"
#include "raw/AnalyserTables.h"
#include "raw/RawScanState.h"
#include "raw/WindowBytes.h"

namespace {

constexpr u64 kWalkBoundFactor = 10;
constexpr u64 kRealMediaBoundFactor = 20;

bool SameText(const u8* bytes, const char* text, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        if (std::toupper(bytes[i]) != std::toupper(static_cast<u8>(text[i]))) return false;
    }
    return true;
}

u64 RoundUp(u64 value, u64 unit) { return unit == 0 ? value : (value + unit - 1) / unit * unit; }

// ---------------------------------------------------------------- RIFF

enum RiffType : u32 {
    kTypeAni = 4, kTypeAvi = 10, kTypeCdr = 13, kTypeClk = 15, kTypeCmx = 16, kTypeCsl = 19, kTypeWav = 67,
};
constexpr u32 kRiffFormAt = 8;
constexpr u32 kRiffFirstChunkAt = 12;
constexpr u32 kRiffCorelTextAt = 20;
constexpr const char* kCorelBinaryMeta = "{Corel Binary Meta File}";
constexpr u64 kRiffHeaderBytes = 8;

// ---------------------------------------------------------------- ASF

using Guid = u8[16];
constexpr Guid kAsfHeader = {0x30, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11,
                             0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE, 0x6C};
constexpr Guid kAsfData = {0x36, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11,
                           0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE, 0x6C};
constexpr Guid kAsfSimpleIndex = {0x90, 0x08, 0x00, 0x33, 0xB1, 0xE5, 0xCF, 0x11,
                                  0x89, 0xF4, 0x00, 0xA0, 0xC9, 0x03, 0x49, 0xCB};
constexpr Guid kAsfStreamProperties = {0x91, 0x07, 0xDC, 0xB7, 0xB7, 0xA9, 0xCF, 0x11,
                                       0x8E, 0xE6, 0x00, 0xC0, 0x0C, 0x20, 0x53, 0x65};
constexpr Guid kAsfAudio = {0x40, 0x9E, 0x69, 0xF8, 0x4D, 0x5B, 0xCF, 0x11,
                            0xA8, 0xFD, 0x00, 0x80, 0x5F, 0x5C, 0x44, 0x2B};
constexpr Guid kAsfVideo = {0xC0, 0xEF, 0x19, 0xBC, 0x4D, 0x5B, 0xCF, 0x11,
                            0xA8, 0xFD, 0x00, 0x80, 0x5F, 0x5C, 0x44, 0x2B};
constexpr Guid kAsfCommand = {0xC0, 0xCF, 0xDA, 0x59, 0xE6, 0x59, 0xD0, 0x11,
                              0xA3, 0xAC, 0x00, 0xA0, 0xC9, 0x03, 0x48, 0xF6};
constexpr Guid kAsfBinary = {0xE2, 0x65, 0xFB, 0x3A, 0xEF, 0x47, 0xF2, 0x40,
                             0xAC, 0x2C, 0x70, 0xA9, 0x0D, 0x71, 0xD3, 0x43};
constexpr u32 kGuidBytes = 16;
constexpr u32 kAsfObjectSizeAt = 16;
constexpr u32 kAsfObjectHeader = 24;
constexpr u64 kAsfTypeSearchBytes = 20480;
constexpr u64 kAsfHugeObject = 100ULL << 32;
constexpr u64 kAsfHugeSize = 1ULL << 32;
constexpr u32 kTypeWma = 7;
constexpr u32 kTypeWmv = 8;

// The type the stream-type identifiers after a stream properties object reveal, or 0.
u32 AsfStreamType(const u8* bytes, i32 length) {
    const u8* props = FindBytes(bytes, length, kAsfStreamProperties, kGuidBytes);
    if (!props) return 0;
    const i32 after = length - static_cast<i32>(props - bytes) - static_cast<i32>(kGuidBytes);
    if (after <= static_cast<i32>(kGuidBytes)) return 0;
    const u8* rest = props + kGuidBytes;
    if (FindBytes(rest, after, kAsfVideo, kGuidBytes)) {
        const bool other = FindBytes(rest, after, kAsfCommand, kGuidBytes) || FindBytes(rest, after, kAsfBinary, kGuidBytes);
        return other ? 0 : kTypeWmv;
    }
    return FindBytes(rest, after, kAsfAudio, kGuidBytes) ? kTypeWma : 0;
}

// ---------------------------------------------------------------- RealMedia

constexpr u32 kRmClassifyBytes = 1024;
constexpr u32 kRmVideoSpan = 160;
constexpr const char* kRmVideoStream = "Video Stream";
constexpr const char* kRmChunks[] = {"PROP", "MDPR", "CONT", "DATA", "INDX"};
constexpr u32 kChunkHeader = 8;

// ---------------------------------------------------------------- Ogg

constexpr u32 kOggSegmentsAt = 26;
constexpr u32 kOggPageHeader = 27;
constexpr u32 kOggLongestHeader = kOggPageHeader + 255;

// ---------------------------------------------------------------- MPEG

constexpr u8 kMpgAcceptedMarks[][4] = {{0x21, 0x00, 0x01, 0x00}, {0x21, 0x00, 0x71, 0x6F}, {0x44, 0x00, 0x2C, 0x48},
                                       {0x21, 0x00, 0x01, 0x09}, {0x44, 0x00, 0x04, 0x00}, {0x2F, 0xFF, 0xFF, 0x13},
                                       {0x44, 0x00, 0x04, 0x04}};
constexpr u8 kMpg2Marks[][4] = {{0x44, 0x00, 0x2C, 0x48}, {0x44, 0x00, 0x14, 0x80}, {0x44, 0x00, 0x04, 0x00},
                                {0x44, 0x00, 0x04, 0x04}};
constexpr u32 kMpgMarkAt = 4;
constexpr u64 kMpg2PackHeader = 14;
constexpr u64 kMpg1PackHeader = 12;
constexpr u8 kPackStart = 0xBA;
constexpr u8 kSequenceStart = 0xB3;
constexpr u8 kSystemHeader = 0xBB;
constexpr u32 kPacketLengthAt = 4;
constexpr u64 kPacketHeader = 6;
constexpr u32 kZeroRunLimit = 100;
constexpr u64 kSystemHeaderEarly = 102400;
constexpr u32 kMpgLookBytes = 32;
// Set when an MPEG analyser goes away; the next walk of any of them clears its kept stream first.
std::atomic<bool> g_mpgKeptStale{false};

bool IsStartCode(const u8* p) { return p[0] == 0 && p[1] == 0 && p[2] == 1; }

template <size_t N>
bool OneOf(const u8* bytes, const u8 (&marks)[N][4]) {
    for (const auto& m : marks) {
        if (std::memcmp(bytes, m, 4) == 0) return true;
    }
    return false;
}

// ---------------------------------------------------------------- MIDI

constexpr u64 kMidiFirstTrack = 14;
constexpr u32 kMidiFormatAt = 8;
constexpr u32 kMidiTracksAt = 10;
constexpr u16 kMidiLargestFormat = 2;
constexpr u8 kMidiHeaderLength[4] = {0, 0, 0, 6};

// ---------------------------------------------------------------- Monkey's Audio

constexpr u16 kApeDescriptorVersion = 3980;
constexpr u32 kApeVersionAt = 4;
constexpr u32 kApeDescriptorFields[] = {8, 12, 16, 20, 32};
constexpr u32 kApeFrameDataAt = 24;
constexpr u64 kApeTagFooter = 32;
constexpr u64 kApeSeekTableAt = 40;
constexpr u64 kApeSeekTableAfterWav = 84;
constexpr u32 kApeEntry = 4;

}  // namespace

// ---------------------------------------------------------------- RIFF

u32 FileRIFFAnalyser::CheckFileHeader(const u8* sector, u32 /*held*/, CRawFileInfo& record) {
    const u8* form = sector + kRiffFormAt;
    const u8* chunk = sector + kRiffFirstChunkAt;
    record.size = 0;
    u32 type = kType;
    if (SameText(form, "WAVE", 4) && SameText(chunk, "fmt ", 4)) {
        type = kTypeWav;
    } else if (SameText(form, "AVI ", 4) && SameText(chunk, "LIST", 4)) {
        type = kTypeAvi;
    } else if (SameText(form, "ACON", 4) && (SameText(chunk, "LIST", 4) || SameText(chunk, "anih", 4))) {
        type = kTypeAni;
    } else if (std::memcmp(form, "CMX1", 4) == 0 &&
               std::memcmp(sector + kRiffCorelTextAt, kCorelBinaryMeta, std::strlen(kCorelBinaryMeta)) == 0) {
        type = kTypeCmx;
    } else if (SameText(form, "CARC", 4) && SameText(chunk, "vrsn", 4)) {
        type = kTypeClk;
    } else if (SameText(form, "CSL2", 4) && SameText(chunk, "vrsn", 4)) {
        type = kTypeCsl;
    } else if (SameText(chunk, "vrsn", 4)) {
        for (const char* cdr : {"CDR7", "CDR8", "cdr8", "CDR9", "CDRA", "CDRB", "CDRC"}) {
            if (SameText(form, cdr, 4)) type = kTypeCdr;
        }
    }
    record.fileType = type;
    return 1;
}

u32 FileRIFFAnalyser::AnalyseFileSize(CRawFileInfo& record, IStorageDevice* reader) {
    ScopedReadWindow w(reader, record.startSector);
    const u8* bytes = WindowBytes(w.window, 0, kChunkHeader);
    if (!bytes) return 0;
    // The chunk length leaves out its own 8-byte header, which the file also holds.
    record.size = RoundUp(ReadLE32(bytes + 4) + kRiffHeaderBytes, w.window.sectorSize);
    return 1;
}

// ---------------------------------------------------------------- AIFF

u32 CFileAIFAnalyzer::CheckFileHeader(const u8* sector, u32 /*held*/, CRawFileInfo& record) {
    if (std::memcmp(sector + kRiffFormAt, "AIF", 3) != 0) return 0;
    record.fileType = kType;
    return 1;
}

u32 CFileAIFAnalyzer::AnalyseFileSize(CRawFileInfo& record, IStorageDevice* reader) {
    if (!reader) return 0;
    ScopedReadWindow w(reader, record.startSector);
    const u8* bytes = WindowBytes(w.window, 0, kRiffFirstChunkAt);
    if (bytes && std::memcmp(bytes, "FORM", 4) == 0 && std::memcmp(bytes + kRiffFormAt, "AIF", 3) == 0) {
        record.size = u64(ReadBE32(bytes + 4)) + kChunkHeader;
    } else {
        record.size = 0;
    }
    return 1;
}

// ---------------------------------------------------------------- ASF

u32 FileASFAnalyser::CheckFileHeader(const u8* sector, u32 /*held*/, CRawFileInfo& record) {
    if (std::memcmp(sector + 4, kAsfHeader + 4, kGuidBytes - 4) != 0) return 0;
    record.fileType = kType;
    record.size = 0;
    return 1;
}

u32 FileASFAnalyser::AnalyseFileSize(CRawFileInfo& record, IStorageDevice* reader) {
    ScopedReadWindow w(reader, record.startSector);
    u32 available = 0;
    const u8* header = ReadWindowGetBytes(w.window, 0, &available);
    if (!header || available < kAsfObjectHeader) return 0;
    const u64 span = std::min<u64>({ReadLE64(header + kAsfObjectSizeAt), kAsfTypeSearchBytes, available});
    const u32 found = AsfStreamType(header, static_cast<i32>(span));
    if (found) record.fileType = found;
    // Without a stream properties object in the header's first bytes, the last sector of each
    // object is searched once more.
    const bool searchAgain = !FindBytes(header, static_cast<i32>(span), kAsfStreamProperties, kGuidBytes);

    const u64 limit = LargestFileOffset() * kWalkBoundFactor;
    const u8* const expected[] = {kAsfHeader, kAsfData, kAsfSimpleIndex};
    u64 p = 0;
    for (size_t i = 0; i < std::size(expected); ++i) {
        const u8* object = WindowBytes(w.window, p, kAsfObjectHeader);
        if (!object) return 0;
        if (std::memcmp(object, expected[i], kGuidBytes) != 0) {
            if (expected[i] != kAsfSimpleIndex) return 0;
            record.size = p;
            return 1;
        }
        const u64 objectSize = ReadLE64(object + kAsfObjectSizeAt);
        // Saturating: a size near 2^64 must not wrap the position back into the file.
        p = objectSize > ~u64(0) - p ? ~u64(0) : p + objectSize;
        if (searchAgain && p > 0 && record.fileType == kType && w.window.sectorSize) {
            const u64 lastSector = (p - 1) / w.window.sectorSize * w.window.sectorSize;
            if (const u8* tail = WindowBytes(w.window, lastSector, w.window.sectorSize)) {
                if (const u32 t = AsfStreamType(tail, static_cast<i32>(w.window.sectorSize))) record.fileType = t;
            }
        }
        if (p > limit) {
            record.size = p > kAsfHugeObject ? kAsfHugeSize : p;
            return 1;
        }
    }
    record.size = p;
    return 1;
}

// ---------------------------------------------------------------- RealMedia

bool FileRM_RMVBAnalyser::HasVideoStream(const u8* bytes, u32 length) {
    const u32 span = std::min(length, kRmClassifyBytes);
    const u8* mdpr = FindBytes(bytes, static_cast<i32>(span), reinterpret_cast<const u8*>("MDPR"), 4);
    if (!mdpr) return false;
    const u32 rest = length - static_cast<u32>(mdpr - bytes);
    const u32 video = std::min(rest, kRmVideoSpan);
    return FindBytes(mdpr, static_cast<i32>(video), reinterpret_cast<const u8*>(kRmVideoStream),
                     static_cast<u32>(std::strlen(kRmVideoStream))) != nullptr;
}

u32 FileRM_RMVBAnalyser::CheckFileHeader(const u8* sector, u32 held, CRawFileInfo& record) {
    // The stream headers often lie past the first sector: the bytes after it that the caller
    // holds are looked at too, as far as the length walk looks.
    record.fileType = HasVideoStream(sector, std::min(held, kRmClassifyBytes + kRmVideoSpan)) ? kTypeVariable : kType;
    return 1;
}

u32 FileRM_RMVBAnalyser::AnalyseFileSize(CRawFileInfo& record, IStorageDevice* reader) {
    if (!reader) {
        record.size = 0;
        return 0;
    }
    ScopedReadWindow w(reader, record.startSector);
    u32 available = 0;
    const u8* first = ReadWindowGetBytes(w.window, 0, &available);
    if (!first || available < kChunkHeader) return 0;
    const u64 bound = LargestFileOffset() * kRealMediaBoundFactor;
    // The walk taken follows the type: where the header check held fewer bytes (a failed read
    // after its sector), the type it gave is put right here.
    const bool video = HasVideoStream(first, std::min(available, kRmClassifyBytes + kRmVideoSpan));
    record.fileType = video ? kTypeVariable : kType;
    if (!video) {
        u64 p = ReadBE32(first + 4);
        const u8* chunk = WindowBytes(w.window, p, kChunkHeader);
        while (chunk) {
            bool known = false;
            for (const char* id : kRmChunks) known = known || std::memcmp(chunk, id, 4) == 0;
            if (!known) break;
            const u32 size = ReadBE32(chunk + 4);
            if (size == 0) break;
            p += size;
            if (p > bound) break;
            chunk = WindowBytes(w.window, p, kChunkHeader);
        }
        record.size = p;
        return 1;
    }

    CRmIndexEnd end(w.window, record.startSector, record.scan ? &record.scan->RealMediaIndex() : nullptr);
    u64 size = 0;
    if (end.Measure(bound, size) == 0) return 0;
    record.size = size;
    return 1;
}


// ---------------------------------------------------------------- Ogg

u32 CFileOggAnalyser::CheckFileHeader(const u8*, u32 /*held*/, CRawFileInfo& record) {
    record.fileType = kType;
    return 1;
}

u32 CFileOggAnalyser::AnalyseFileSize(CRawFileInfo& record, IStorageDevice* reader) {
    if (!reader) return 0;
    ScopedReadWindow w(reader, record.startSector);
    const u64 bound = LargestFileOffset() * kWalkBoundFactor;
    u64 p = 0;
    const u8* page = WindowBytes(w.window, p, kOggLongestHeader);
    while (page && std::memcmp(page, "OggS", 4) == 0 && p <= bound) {
        const u32 segments = page[kOggSegmentsAt];
        u64 next = p + kOggPageHeader;
        for (u32 i = 0; i < segments; ++i) next += u64(page[kOggPageHeader + i]) + 1;
        p = next;
        page = WindowBytes(w.window, p, kOggLongestHeader);
    }
    record.size = p;
    return 1;
}

// ---------------------------------------------------------------- MPEG

u32 FileMPGAnalyser::CheckFileHeader(const u8* sector, u32 /*held*/, CRawFileInfo& record) {
    if (!OneOf(sector + kMpgMarkAt, kMpgAcceptedMarks)) return 0;
    record.fileType = kType;
    return 1;
}

FileMPGAnalyser::~FileMPGAnalyser() { g_mpgKeptStale.store(true); }

u32 FileMPGAnalyser::AnalyseFileSize(CRawFileInfo& record, IStorageDevice* reader) {
    if (g_mpgKeptStale.exchange(false)) m_kept = KeptStream();
    // The stream kept in an earlier scan lies on a device this scan may not even read; without a
    // scan the stream is sized alone and nothing is kept.
    if (record.scan && m_kept.scan.lock() != record.scan) m_kept = KeptStream{0, 0, record.scan};
    KeptStream alone;
    KeptStream& kept = record.scan ? m_kept : alone;
    if (record.startSector > kept.firstSector && record.startSector < kept.firstSector + kept.sectors) {
        record.size = 0;
        return 0;
    }
    ScopedReadWindow w(reader, record.startSector);
    const u8* first = WindowBytes(w.window, 0, kMpgLookBytes);
    if (!first) return 0;
    const u64 h = OneOf(first + kMpgMarkAt, kMpg2Marks) ? kMpg2PackHeader : kMpg1PackHeader;
    const u64 bound = LargestFileOffset() * kWalkBoundFactor;
    u64 p = 0;
    u32 zeros = 0;
    while (p <= bound) {
        const u8* b = WindowBytes(w.window, p, kMpgLookBytes);
        if (!b) return 0;
        if (IsStartCode(b) && (b[3] == kPackStart || b[3] == kSequenceStart)) {
            zeros = 0;
            const u8* after = b + h;
            p += ReadBE16(after + kPacketLengthAt) + h + kPacketHeader;
            if (IsStartCode(after) && after[3] == kSystemHeader) {
                const u8* packet = WindowBytes(w.window, p, kMpgLookBytes);
                if (!packet) return 0;
                if (!IsStartCode(packet)) {
                    if (p < kSystemHeaderEarly) return 0;
                    break;
                }
                p += ReadBE16(packet + kPacketLengthAt) + kPacketHeader;
            }
        } else if (b[0] == 0 && b[1] == 0 && b[2] == 0 && (b[3] == 0 || b[3] == 1)) {
            ++p;
            if (++zeros == kZeroRunLimit) {
                p -= zeros;
                break;
            }
        } else if (IsStartCode(b)) {
            zeros = 0;
            p += ReadBE16(b + kPacketLengthAt) + kPacketHeader;
        } else {
            break;
        }
    }
    StatsEvent(kWalkEvent);
    const u32 s = w.window.sectorSize;
    const u64 end = record.startSector + (p + s - 1) / s;
    if (end >= kept.firstSector && end <= kept.firstSector + kept.sectors) {
        record.size = 0;
        return 0;
    }
    kept.firstSector = record.startSector;
    kept.sectors = (p + s - 1) / s;
    record.fileType = kType;
    record.size = p;
    return 1;
}

// ---------------------------------------------------------------- MIDI

u32 FileMIDAnalyser::CheckFileHeader(const u8* sector, u32 /*held*/, CRawFileInfo& record) {
    if (std::memcmp(sector + 4, kMidiHeaderLength, 4) != 0) return 0;
    if (ReadBE16(sector + kMidiFormatAt) > kMidiLargestFormat || ReadBE16(sector + kMidiTracksAt) == 0) return 0;
    record.fileType = kType;
    return 1;
}

u32 FileMIDAnalyser::AnalyseFileSize(CRawFileInfo& record, IStorageDevice* reader) {
    ScopedReadWindow w(reader, record.startSector);
    const u64 bound = LargestFileOffset();
    u64 p = kMidiFirstTrack;
    while (p <= bound) {
        const u8* track = WindowBytes(w.window, p, kChunkHeader);
        if (!track || !SameText(track, "MTrk", 4)) break;
        p += u64(ReadBE32(track + 4)) + kChunkHeader;
    }
    record.size = p;
    return 1;
}

// ---------------------------------------------------------------- Monkey's Audio

u32 CFileAPEAnalyser::CheckFileHeader(const u8*, u32 /*held*/, CRawFileInfo& record) {
    record.fileType = kType;
    return 1;
}

u32 CFileAPEAnalyser::AnalyseFileSize(CRawFileInfo& record, IStorageDevice* reader) {
    if (!reader) return 0;
    ScopedReadWindow w(reader, record.startSector);
    const u64 bound = LargestFileOffset() * kWalkBoundFactor;
    u32 available = 0;
    const u8* head = ReadWindowGetBytes(w.window, 0, &available);
    if (!head || available < kApeSeekTableAfterWav + kApeEntry || std::memcmp(head, "MAC ", 4) != 0) {
        record.size = 0;
        return 1;
    }
    if (ReadLE16(head + kApeVersionAt) >= kApeDescriptorVersion) {
        // Summed in 64 bits: five 32-bit fields and a 64-bit one cannot wrap past the bound.
        u64 size = 0;
        for (u32 at : kApeDescriptorFields) size += ReadLE32(head + at);
        const u64 frames = ReadLE64(head + kApeFrameDataAt);
        size = frames > bound ? bound + 1 : size + frames;
        if (size > bound) size = bound;
        while (size < bound) {
            const u8* tag = WindowBytes(w.window, size, 8);
            if (!tag || std::memcmp(tag, "APETAGEX", 8) != 0) break;
            size = std::min(size + kApeTagFooter, bound);
        }
        record.size = size;
        return 1;
    }
    const u64 table = std::memcmp(head + kApeSeekTableAt, "RIFF", 4) == 0 ? kApeSeekTableAfterWav : kApeSeekTableAt;
    const u32 firstFrame = ReadLE32(head + table);
    // The table is read from the window that holds the file's start.
    const u64 tableEnd = std::min<u64>(firstFrame, available - kApeEntry);
    u64 last = 0;
    for (u64 at = table; at + kApeEntry <= tableEnd; at += kApeEntry) {
        if (const u32 entry = ReadLE32(head + at)) last = entry;
    }
    u64 pos = last;
    while (pos < bound) {
        const u8* word = WindowBytes(w.window, pos, kApeEntry);
        if (!word || ReadLE32(word) == 0) break;
        pos += kApeEntry;
    }
    record.size = pos;
    return 1;
}

IRawFileAnalyser* CreateMediaContainerAnalyser(RawAnalyserClass cls) {
    switch (cls) {
        case RawAnalyserClass::RIFF: return new FileRIFFAnalyser();
        case RawAnalyserClass::AIF: return new CFileAIFAnalyzer();
        case RawAnalyserClass::ASF: return new FileASFAnalyser();
        case RawAnalyserClass::RM_RMVB: return new FileRM_RMVBAnalyser();
        case RawAnalyserClass::Ogg: return new CFileOggAnalyser();
        case RawAnalyserClass::MPG: return new FileMPGAnalyser();
        case RawAnalyserClass::MID: return new FileMIDAnalyser();
        case RawAnalyserClass::APE: return new CFileAPEAnalyser();
        default: return nullptr;
    }
}
