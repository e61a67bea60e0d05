#include "raw/FileImageAnalysers.h"

#include <algorithm>
#include <cstring>
#include <iterator>

#include "engine/RawFileInfo.h"
#include "raw/AnalyserReads.h"
#include "raw/AnalyserTables.h"

namespace {

// ---- PNG
constexpr u8 kPngTail[4] = {0x0D, 0x0A, 0x1A, 0x0A};
constexpr u64 kPngSignatureBytes = 8;
constexpr u64 kPngChunkOverhead = 12;       // length, type, CRC
constexpr u64 kPngFirstChunkEnd = 20;       // signature, IHDR length and type, CRC
constexpr u64 kPngWalkLimit = 0x1400000;
constexpr u64 kFourGiB = u64(1) << 32;

// ---- GIF
constexpr u8 kGifTrailer = 0x3B;
constexpr u8 kGifExtension = 0x21;
constexpr u8 kGifImage = 0x2C;
constexpr u64 kGifHeaderBytes = 13;
constexpr u64 kGifDescriptorBytes = 10;
constexpr u64 kGifScreenFlagsAt = 10;
constexpr u64 kGifImageFlagsAt = 9;
constexpr u8 kGifTableFlag = 0x80;
constexpr u8 kGifTableSizeMask = 7;
constexpr u64 kGifResyncLimit = 1024;

// ---- PSD
constexpr u64 kPsdHeaderBytes = 26;
constexpr u64 kPsdColourDataAt = 26;
constexpr u64 kPsdFirstSectionAt = 30;
enum PsdCompression : u16 { kPsdRaw = 0, kPsdRle = 1 };
// What a version-1 header can describe; fields beyond are damage, and their product would run
// past 64 bits.
constexpr u64 kPsdMaxChannels = 56;
constexpr u64 kPsdMaxSide = 30000;
constexpr u16 kPsdDepths[] = {1, 8, 16, 32};

// ---- CPT
constexpr u32 kCptTableOffset = 316;
constexpr u64 kCptTableAt = 52;
constexpr u64 kCptCountAt = 40;
constexpr u64 kCptTableEntryBytes = 8;
constexpr u64 kCptObjectDataAt = 60;
constexpr u64 kCptObjectLengthAt = 32;

// ---- X3F
constexpr char kX3fDirectory[] = "SECd";
constexpr u64 kX3fEndAfterMarker = 76;

// ---- ICO
constexpr u16 kIcoIcon = 1;
constexpr u16 kIcoCursor = 2;
constexpr u16 kIcoMaxImages = 16;
constexpr u64 kIcoHeaderBytes = 6;
constexpr u64 kIcoEntryBytes = 16;
constexpr u16 kIcoMaxBitCount = 256;
constexpr u32 kIcoMaxField = 0xA00000;
constexpr u64 kIcoMaxSize = 0x100000;

// ---- WMF
constexpr u8 kWmfPlaceable[4] = {0xD7, 0xCD, 0xC6, 0x9A};
constexpr u32 kWmfInnerHeader = 0x00090001;
constexpr u64 kWmfPlaceableBytes = 22;

// ---- TTF
constexpr u32 kTtfMaxTables = 31;
constexpr u64 kTtfDirectoryBytes = 12;
constexpr u64 kTtfRecordBytes = 16;
constexpr const char* kTtfKnownTags[] = {"DSIG", "cmap", "glyf", "head", "hhea", "hmtx", "loca", "maxp", "name",
                                         "post", "OS/2", "cvt ", "EBDT", "EBLC", "EBSC", "fpgm", "gasp", "hdmx",
                                         "kern", "LTSH", "prep", "PCLT", "VDMX", "vhea", "vmtx"};

u64 ColourTableBytes(u8 flags) { return 3ull << ((flags & kGifTableSizeMask) + 1); }

// Skips a chain of GIF sub-blocks starting at `p`; false when a byte of it cannot be read or the
// chain runs past the largest file offset.
bool SkipSubBlocks(ScopedReadWindow& w, u64& p) {
    const u64 bound = LargestFileOffset();
    while (p <= bound) {
        const u8* n = w.Bytes(p, 1);
        if (!n) return false;
        p += 1 + *n;
        if (*n == 0) return true;
    }
    return false;
}

}  // namespace

// ------------------------------------------------------------------------------------------ PNG

u32 FilePNGAnalyser::CheckFileHeader(const u8* sector, u32 /*held*/, CRawFileInfo& record) {
    if (std::memcmp(sector + 4, kPngTail, sizeof(kPngTail)) != 0) return 0;
    record.fileType = kType;
    return 1;
}

u32 FilePNGAnalyser::AnalyseFileSize(CRawFileInfo& record, IStorageDevice* reader) {
    ScopedReadWindow w(reader, record.startSector);
    const u8* head = w.Bytes(0, 24);
    if (!head) return 0;
    if (!SameBytes(head + 12, "IHDR") || static_cast<i32>(ReadBE32(head + 16)) < 1 ||
        static_cast<i32>(ReadBE32(head + 20)) < 1) {
        return 0;
    }
    u64 p = ReadBE32(head + kPngSignatureBytes) + kPngFirstChunkEnd;
    bool imageData = false;
    for (;;) {
        if (p >= kFourGiB || p > kPngWalkLimit) return 0;
        const u8* chunk = w.Bytes(p, 8);
        if (!chunk) return 0;
        const u32 length = ReadBE32(chunk);
        if (length > kPngWalkLimit) break;
        if (SameBytes(chunk + 4, "IDAT")) imageData = true;
        const bool end = SameBytes(chunk + 4, "IEND");
        p += length + kPngChunkOverhead;
        if (end) {
            record.size = p;
            return 1;
        }
    }
    if (!imageData) return 0;
    record.size = p;
    return 1;
}

// ------------------------------------------------------------------------------------------ GIF

u32 FileGIFAnalyser::CheckFileHeader(const u8* sector, u32 /*held*/, CRawFileInfo& record) {
    if ((sector[4] != '7' && sector[4] != '9') || sector[5] != 'a') return 0;
    record.fileType = kType;
    return 1;
}

u32 FileGIFAnalyser::AnalyseFileSize(CRawFileInfo& record, IStorageDevice* reader) {
    ScopedReadWindow w(reader, record.startSector);
    const u8* head = w.Bytes(0, kGifHeaderBytes);
    if (!head) return 0;
    const bool version89a = head[4] == '9';
    const u8 screenFlags = head[kGifScreenFlagsAt];
    u64 p = kGifHeaderBytes + ((screenFlags & kGifTableFlag) ? ColourTableBytes(screenFlags) : 0);
    const u8* b = w.Bytes(p, 1);
    if (!b) return 0;
    const u64 bound = LargestFileOffset();
    while (*b != kGifTrailer) {
        while (*b == kGifExtension) {
            p += 2;
            if (!SkipSubBlocks(w, p)) return 0;
            b = w.Bytes(p, 1);
            if (!b) return 0;
        }
        if (*b == kGifTrailer) break;
        // Stray bytes between blocks: look for the next image descriptor or the trailer.
        u64 q = p;
        for (;;) {
            if (q - p > kGifResyncLimit) return 0;
            const u8* s = w.Bytes(q, 2);
            if (!s) return 0;
            if (s[0] == kGifImage) break;
            if (s[0] == kGifTrailer && s[1] == 0) break;
            if (version89a && s[0] == kGifExtension) {
                const u8* skip = w.Bytes(q + 2, 1);
                if (!skip) return 0;
                q += *skip;
            }
            ++q;
        }
        p = q;
        b = w.Bytes(p, 1);
        if (!b) return 0;
        if (*b == kGifTrailer) break;
        const u8* descriptor = w.Bytes(p, kGifDescriptorBytes);
        if (!descriptor) return 0;
        const u8 imageFlags = descriptor[kGifImageFlagsAt];
        p += kGifDescriptorBytes + ((imageFlags & kGifTableFlag) ? ColourTableBytes(imageFlags) : 0) + 1;
        if (!SkipSubBlocks(w, p)) return 0;
        b = w.Bytes(p, 1);
        if (!b || p > bound) break;
    }
    record.size = p + 1;
    return 1;
}

// ------------------------------------------------------------------------------------------ PSD

u32 FilePSDAnalyser::CheckFileHeader(const u8* /*sector*/, u32 /*held*/, CRawFileInfo& record) {
    record.fileType = kType;
    return 1;
}

u32 FilePSDAnalyser::AnalyseFileSize(CRawFileInfo& record, IStorageDevice* reader) {
    ScopedReadWindow w(reader, record.startSector);
    const u8* head = w.Bytes(0, kPsdFirstSectionAt);
    if (!head) return 0;
    static constexpr u8 kReserved[6] = {};
    if (ReadBE16(head + 4) != 1 || std::memcmp(head + 6, kReserved, sizeof(kReserved)) != 0) return 0;
    const u64 channels = ReadBE16(head + 12);
    const u64 height = ReadBE32(head + 14);
    const u64 width = ReadBE32(head + 18);
    const u64 depth = ReadBE16(head + 22);
    if (channels == 0 || channels > kPsdMaxChannels || height == 0 || height > kPsdMaxSide || width == 0 ||
        width > kPsdMaxSide || std::find(std::begin(kPsdDepths), std::end(kPsdDepths), depth) == std::end(kPsdDepths)) {
        return 0;
    }
    u64 p = u64(ReadBE32(head + kPsdColourDataAt)) + kPsdFirstSectionAt;
    for (int section = 0; section < 2; ++section) {  // image resources, then layers and masks
        const u8* length = w.Bytes(p, 4);
        if (!length) return 0;
        p += u64(ReadBE32(length)) + 4;
    }
    const u8* compression = w.Bytes(p, 2);
    if (!compression) return 0;
    const u16 method = ReadBE16(compression);
    p += 2;
    if (method == kPsdRaw) {
        // The product of the largest fields needs 38 bits.
        record.size = p + depth * channels * width * height / 8;
        return 1;
    }
    if (method != kPsdRle) return 0;
    const u64 rows = channels * height;
    const u64 bound = LargestFileOffset();
    u64 total = 0;
    for (u64 row = 0; row < rows && p <= bound; ++row) {
        const u8* count = w.Bytes(p, 2);
        if (!count) return 0;
        total += ReadBE16(count);
        p += 2;
    }
    record.size = p + total;
    return 1;
}

// ------------------------------------------------------------------------------------------ CPT

u32 FileCPTAnalyser::CheckFileHeader(const u8* sector, u32 /*held*/, CRawFileInfo& record) {
    if (!SameBytes(sector + 4, "FILE") || ReadLE32(sector + kCptTableAt) != kCptTableOffset) return 0;
    record.fileType = kType;
    record.size = 0;
    return 1;
}

u32 FileCPTAnalyser::AnalyseFileSize(CRawFileInfo& record, IStorageDevice* reader) {
    ScopedReadWindow w(reader, record.startSector);
    auto read32 = [&w](u64 at, u32& value) {
        const u8* b = w.Bytes(at, 4);
        if (!b) return false;
        value = ReadLE32(b);
        return true;
    };
    u32 table = 0, count = 0, last = 0, k = 0, atData = 0, a = 0, next = 0;
    if (!read32(kCptTableAt, table) || !read32(kCptCountAt, count)) return 0;
    // An empty table has no last object to read.
    if (count == 0) return 0;
    if (!read32(table + kCptTableEntryBytes * count - kCptTableEntryBytes, last)) return 0;
    u64 q = u64(last) + kCptObjectDataAt;
    if (!read32(u64(last) + kCptObjectLengthAt, k) || !read32(q, atData)) return 0;
    if (k != 0 && atData == k) q += k;
    if (!read32(q, a) || !read32(q + 4, next)) return 0;
    if (a != 0 && next != 0) {
        u32 offset = 0, length = 0;
        if (a < 8 || !read32(u64(a) - 8, offset) || !read32(u64(a) - 4, length)) return 0;
        record.size = u64(offset) + length;
    } else {
        record.size = last;
    }
    return 1;
}

// ------------------------------------------------------------------------------------------ X3F

u32 FileX3FAnalyser::CheckFileHeader(const u8* /*sector*/, u32 /*held*/, CRawFileInfo& record) {
    record.fileType = kType;
    return 1;
}

u32 FileX3FAnalyser::AnalyseFileSize(CRawFileInfo& record, IStorageDevice* reader) {
    if (!reader) return 0;
    ScopedReadWindow w(reader, record.startSector);
    const u64 step = w.SectorSize();
    const u64 bound = LargestFileOffset() / 2;
    const u32 markerBytes = sizeof(kX3fDirectory) - 1;
    u64 p = 0;
    u64 size = 0;
    bool found = false;
    while (step != 0 && p <= bound) {
        const u8* sector = w.Bytes(p, static_cast<u32>(step));
        if (!sector) break;
        const u8* lastWord = sector + step - 4;
        if (ReadLE32(lastWord) != 0) {
            if (SameBytes(lastWord, kX3fDirectory)) {
                size = p + step - 4 + kX3fEndAfterMarker;
                found = true;
                break;
            }
            p += step;
            continue;
        }
        u64 at = 0;
        if (w.Find(p, static_cast<u32>(step), kX3fDirectory, markerBytes, at) ||
            w.Find(p > 0 ? p - step : 0, static_cast<u32>(p > 0 ? 2 * step : step), kX3fDirectory, markerBytes, at)) {
            size = at + kX3fEndAfterMarker;
            found = true;
            break;
        }
        p += step;
    }
    record.size = found ? size : p;
    record.fileType = kType;
    return 1;
}

// ------------------------------------------------------------------------------------------ ICO

u32 FileICOAnalyser::CheckFileHeader(const u8* sector, u32 /*held*/, CRawFileInfo& record) {
    const u16 kind = ReadLE16(sector + 2);
    if (kind != kIcoIcon && kind != kIcoCursor) return 0;
    const u16 images = ReadLE16(sector + 4);
    if (images < 1 || images > kIcoMaxImages) return 0;
    record.fileType = kind == kIcoIcon ? kType : kTypeCursor;
    u64 size = kIcoHeaderBytes;
    for (u16 i = 0; i < images; ++i) {
        const u8* entry = sector + kIcoHeaderBytes + kIcoEntryBytes * i;
        if (entry[3] != 0 || ReadLE16(entry + 6) > kIcoMaxBitCount) return 0;
        const u32 bytes = ReadLE32(entry + 8);
        if (bytes > kIcoMaxField || ReadLE32(entry + 12) > kIcoMaxField) return 0;
        size += u64(bytes) + kIcoEntryBytes;
    }
    if (size > kIcoMaxSize) return 0;
    record.size = size;
    return 1;
}

// ------------------------------------------------------------------------------------------ WMF

u32 FileWMFAnalyser::CheckFileHeader(const u8* sector, u32 /*held*/, CRawFileInfo& record) {
    if (std::memcmp(sector, kWmfPlaceable, sizeof(kWmfPlaceable)) != 0) {
        if (ReadLE16(sector + 16) != 0) return 0;
        record.fileType = kType;
        record.size = u64(ReadLE32(sector + 6)) * 2;
        return 1;
    }
    u16 checksum = 0;
    for (u32 i = 0; i < 10; ++i) checksum ^= ReadLE16(sector + 2 * i);
    if (sector[4] != 0 || sector[5] != 0 || ReadLE16(sector + 20) != checksum || ReadLE32(sector + 16) != 0 ||
        ReadLE32(sector + 22) != kWmfInnerHeader || ReadLE16(sector + 38) != 0) {
        return 0;
    }
    record.fileType = kType;
    record.size = u64(ReadLE32(sector + 28)) * 2 + kWmfPlaceableBytes;
    return 1;
}

// ------------------------------------------------------------------------------------------ TTF

u32 FileTTFAnalyser::CheckFileHeader(const u8* sector, u32 /*held*/, CRawFileInfo& record) {
    const u32 tables = ReadBE16(sector + 4);
    if (tables < 1 || tables > kTtfMaxTables) return 0;
    u64 size = kTtfDirectoryBytes + kTtfRecordBytes * tables;
    u32 known = 0;
    for (u32 i = 0; i < tables; ++i) {
        const u8* entry = sector + kTtfDirectoryBytes + kTtfRecordBytes * i;
        size += (u64(ReadBE32(entry + 12)) + 3) & ~u64(3);
        for (const char* tag : kTtfKnownTags) {
            if (std::memcmp(entry, tag, 4) == 0) {
                ++known;
                break;
            }
        }
    }
    if (known * 2 < tables) return 0;
    // Damaged table lengths would make a font of many gigabytes.
    if (size > LargestFileOffset()) return 0;
    record.fileType = kType;
    record.size = size;
    return 1;
}

IRawFileAnalyser* CreateImageFontAnalyser(RawAnalyserClass cls) {
    switch (cls) {
        case RawAnalyserClass::PNG: return new FilePNGAnalyser();
        case RawAnalyserClass::GIF: return new FileGIFAnalyser();
        case RawAnalyserClass::PSD: return new FilePSDAnalyser();
        case RawAnalyserClass::CPT: return new FileCPTAnalyser();
        case RawAnalyserClass::X3F: return new FileX3FAnalyser();
        case RawAnalyserClass::ICO: return new FileICOAnalyser();
        case RawAnalyserClass::WMF: return new FileWMFAnalyser();
        case RawAnalyserClass::TTF: return new FileTTFAnalyser();
        default: return nullptr;
    }
}
