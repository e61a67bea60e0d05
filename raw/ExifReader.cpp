#include "raw/ExifReader.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

enum ExifTag : u16 {
    kTagThumbnailOffset = 0x0201,
    kTagThumbnailLength = 0x0202,
    kTagMake = 0x010F,
    kTagModel = 0x0110,
    kTagOrientation = 0x0112,
    kTagXResolution = 0x011A,
    kTagYResolution = 0x011B,
    kTagResolutionUnit = 0x0128,
    kTagExposureTime = 0x829A,
    kTagFNumber = 0x829D,
    kTagExifDirectory = 0x8769,
    kTagExposureProgram = 0x8822,
    kTagIsoEquivalent = 0x8827,
    kTagExifVersion = 0x9000,
    kTagDateTimeOriginal = 0x9003,
    kTagDateTimeDigitized = 0x9004,
    kTagCompressedBitsPerPixel = 0x9102,
    kTagBrightness = 0x9203,
    kTagExposureBias = 0x9204,
    kTagSubjectDistance = 0x9206,
    kTagMeteringMode = 0x9207,
    kTagLightSource = 0x9208,
    kTagFlash = 0x9209,
    kTagFocalLength = 0x920A,
    kTagMakerNote = 0x927C,
    kTagUserComment = 0x9286,
    kTagImageWidth = 0xA002,
    kTagImageHeight = 0xA003,
    kTagInteropDirectory = 0xA005,
    kTagFocalPlaneXResolution = 0xA20E,
    kTagFocalPlaneYResolution = 0xA20F,
    kTagFocalPlaneUnits = 0xA210,
};

enum ExifFormat : u16 {
    kFormatByte = 1, kFormatAscii, kFormatShort, kFormatLong, kFormatRational, kFormatSByte, kFormatUndefined,
    kFormatSShort, kFormatSLong, kFormatSRational, kFormatFloat, kFormatDouble,
};
constexpr u32 kFormatBytes[] = {0, 1, 1, 2, 4, 8, 1, 1, 2, 4, 8, 4, 8};
constexpr u16 kLastFormat = kFormatDouble;

constexpr u32 kHeaderBytes = 6;       // "Exif" and two zero bytes
constexpr u32 kTiffHeaderBytes = 8;   // byte order, 42, first directory offset
constexpr u32 kEntryBytes = 12;
constexpr u16 kTiffMagic = 42;
constexpr u32 kFirstDirectoryLow = 8;
constexpr u32 kFirstDirectorySlack = 8;
constexpr i32 kIsoScaleBelow = 50;
constexpr i32 kIsoScale = 200;
constexpr u32 kMaxDirectoryDepth = 16;
constexpr size_t kErrorBytes = 128;

char g_lastError[kErrorBytes] = "";

// A value of any format as a 32-bit integer, saturated; values come from the disk and may be anything.
i32 ToInt(double v) {
    if (!(v == v)) return 0;
    if (v >= 2147483647.0) return 2147483647;
    if (v <= -2147483648.0) return -2147483647 - 1;
    return static_cast<i32>(v);
}
u64 ToOffset(double v) {
    if (!(v > 0)) return 0;
    return v >= 18446744073709549568.0 ? ~u64(0) : static_cast<u64>(v);
}

class Parser {
public:
    Parser(const u8* base, u64 length, bool bigEndian, ExifInfo& info)
        : m_base(base), m_length(length), m_bigEndian(bigEndian), m_info(info) {}

    u32 WalkDirectory(u64 dir, u32 depth);
    u32 largestWidth = 0;

private:
    u32 Fail(const char* text) {
        std::snprintf(g_lastError, sizeof(g_lastError), "%s", text);
        return 0;
    }
    u16 Get16(const u8* p) const { return m_bigEndian ? ReadBE16(p) : ReadLE16(p); }
    u32 Get32(const u8* p) const { return m_bigEndian ? ReadBE32(p) : ReadLE32(p); }
    double Number(const u8* p, u16 format) const;
    void Store(u16 tag, u16 format, u32 count, u64 byteCount, const u8* value);
    static void CopyText(char* out, size_t room, const u8* value, u64 byteCount) {
        const size_t n = static_cast<size_t>(std::min<u64>(byteCount, room - 1));
        std::memcpy(out, value, n);
        out[n] = 0;
    }
    static float UnitFactor(i32 unit);

    const u8* m_base;
    u64 m_length;
    bool m_bigEndian;
    ExifInfo& m_info;
    std::vector<u64> m_walking;
    u64 m_thumbnailOffset = 0;
    u64 m_thumbnailSize = 0;
    bool m_thumbnailOffsetSeen = false;
    bool m_thumbnailSizeSeen = false;
};

double Parser::Number(const u8* p, u16 format) const {
    switch (format) {
        case kFormatSByte: return static_cast<i8>(p[0]);
        case kFormatByte: case kFormatAscii: case kFormatUndefined: return p[0];
        case kFormatShort: return Get16(p);
        case kFormatSShort: return static_cast<i16>(Get16(p));
        case kFormatLong: return Get32(p);
        case kFormatSLong: return static_cast<i32>(Get32(p));
        case kFormatRational: case kFormatSRational: {
            const bool sign = format == kFormatSRational;
            const double num = sign ? double(static_cast<i32>(Get32(p))) : double(Get32(p));
            const double den = sign ? double(static_cast<i32>(Get32(p + 4))) : double(Get32(p + 4));
            return den == 0 ? 0.0 : num / den;
        }
        case kFormatFloat: {
            const u32 bits = Get32(p);
            float f;
            std::memcpy(&f, &bits, sizeof(f));
            return f;
        }
        case kFormatDouble: {
            const u64 bits = m_bigEndian ? ReadBE64(p) : ReadLE64(p);
            double d;
            std::memcpy(&d, &bits, sizeof(d));
            return d;
        }
        default: return 0.0;
    }
}

float Parser::UnitFactor(i32 unit) {
    switch (unit) {
        case 1: case 2: return 1.0f;                // inch
        case 3: return 0.3937008f;                  // centimetre
        case 4: return 0.03937008f;                 // millimetre
        case 5: return 0.0000393701f;               // micrometre
        default: return 0.0f;
    }
}

void Parser::Store(u16 tag, u16 format, u32 count, u64 byteCount, const u8* value) {
    const double number = Number(value, format);
    switch (tag) {
        case kTagMake: CopyText(m_info.cameraMake, sizeof(m_info.cameraMake), value, byteCount); break;
        case kTagModel: CopyText(m_info.cameraModel, sizeof(m_info.cameraModel), value, byteCount); break;
        case kTagDateTimeOriginal: CopyText(m_info.dateTime, sizeof(m_info.dateTime), value, byteCount); break;
        case kTagDateTimeDigitized:
            CopyText(m_info.dateTimeDigitized, sizeof(m_info.dateTimeDigitized), value, byteCount);
            break;
        case kTagExifVersion: CopyText(m_info.version, sizeof(m_info.version), value, byteCount); break;
        case kTagOrientation:
            m_info.orientation = ToInt(number);
            if (m_info.orientation < 1 || m_info.orientation > 8) {
                Fail("Undefined rotation value");
                m_info.orientation = 0;
            }
            break;
        case kTagExposureTime: m_info.exposureTime = float(number); break;
        case kTagFNumber: m_info.fNumber = float(number); break;
        case kTagExposureProgram: m_info.exposureProgram = ToInt(number); break;
        case kTagIsoEquivalent:
            m_info.isoEquivalent = ToInt(number);
            if (m_info.isoEquivalent < kIsoScaleBelow) m_info.isoEquivalent = ToInt(double(m_info.isoEquivalent) * kIsoScale);
            break;
        case kTagCompressedBitsPerPixel: m_info.compressedBitsPerPixel = ToInt(number); break;
        case kTagBrightness: m_info.brightness = float(number); break;
        case kTagExposureBias: m_info.exposureBias = float(number); break;
        case kTagSubjectDistance: m_info.subjectDistance = float(number); break;
        case kTagMeteringMode: m_info.meteringMode = ToInt(number); break;
        case kTagLightSource: m_info.lightSource = ToInt(number); break;
        case kTagFlash: m_info.flash = ToInt(number); break;
        case kTagFocalLength: m_info.focalLength = float(number); break;
        case kTagFocalPlaneXResolution: m_info.focalPlaneXResolution = float(number); break;
        case kTagFocalPlaneYResolution: m_info.focalPlaneYResolution = float(number); break;
        case kTagFocalPlaneUnits: m_info.focalPlaneUnits = UnitFactor(ToInt(number)); break;
        case kTagXResolution: m_info.xResolution = float(number); break;
        case kTagYResolution: m_info.yResolution = float(number); break;
        case kTagResolutionUnit: m_info.resolutionUnit = UnitFactor(ToInt(number)); break;
        case kTagImageWidth: case kTagImageHeight:
            if (number > largestWidth && number < 4294967296.0) largestWidth = static_cast<u32>(number);
            break;
        case kTagUserComment:
            m_info.userComment = value;
            m_info.userCommentLength = static_cast<u32>(byteCount);
            break;
        case kTagMakerNote:
            m_info.makerNote = value;
            m_info.makerNoteLength = static_cast<u32>(byteCount);
            break;
        case kTagThumbnailOffset:
            m_thumbnailOffset = ToOffset(number);
            m_thumbnailOffsetSeen = true;
            break;
        case kTagThumbnailLength:
            m_thumbnailSize = ToOffset(number);
            m_thumbnailSizeSeen = true;
            break;
        default: break;
    }
    (void)count;
}

u32 Parser::WalkDirectory(u64 dir, u32 depth) {
    if (depth > kMaxDirectoryDepth) return Fail("Too deeply nested EXIF directories");
    if (std::find(m_walking.begin(), m_walking.end(), dir) != m_walking.end()) return Fail("EXIF directory loop");
    if (dir >= m_length || m_length - dir < 2) return Fail("Illegally sized directory");
    m_walking.push_back(dir);
    const u64 entries = Get16(m_base + dir);
    const u64 tableEnd = dir + 2 + kEntryBytes * entries;
    if (tableEnd > m_length) return Fail("Illegally sized directory");

    for (u64 e = 0; e < entries; ++e) {
        const u8* entry = m_base + dir + 2 + kEntryBytes * e;
        const u16 tag = Get16(entry);
        const u16 format = Get16(entry + 2);
        const u32 count = Get32(entry + 4);
        if (format < 1 || format > kLastFormat) return Fail("Illegal format code in EXIF dir");
        const u64 byteCount = u64(count) * kFormatBytes[format];
        const u8* value = entry + 8;
        if (byteCount > 4) {
            const u64 offset = Get32(entry + 8);
            if (offset >= m_length || byteCount > m_length - offset) {
                return Fail("Illegal pointer offset value in EXIF.");
            }
            value = m_base + offset;
        }
        if (tag == kTagExifDirectory || tag == kTagInteropDirectory) {
            const u64 sub = Get32(value);
            if (sub >= m_length) return Fail("Illegal subdirectory link");
            if (WalkDirectory(sub, depth + 1) == 0) return 0;
            continue;
        }
        // A value of no bytes has nothing to store (and its pointer may sit at the very end).
        if (byteCount == 0) continue;
        if (byteCount < kFormatBytes[format]) continue;
        Store(tag, format, count, byteCount, value);
    }

    // The link to the next directory follows the table; a table that ends the data has none.
    if (m_length - tableEnd >= 2) {
        const u64 next = Get16(m_base + tableEnd);
        if (next != 0) {
            if (next >= m_length) return Fail("Illegal subdirectory link");
            if (WalkDirectory(next, depth + 1) == 0) return 0;
        }
    }

    if (m_thumbnailOffsetSeen && m_thumbnailSizeSeen && m_thumbnailOffset < m_length &&
        m_thumbnailSize <= m_length - m_thumbnailOffset) {
        m_info.thumbnail = m_base + m_thumbnailOffset;
        m_info.thumbnailSize = static_cast<u32>(m_thumbnailSize);
    }
    m_walking.pop_back();
    return 1;
}

}  // namespace

const char* ExifLastError() { return g_lastError; }

u32 ParseExifBlock(const u8* block, u64 length, ExifInfo& info) {
    info.cleared0 = 0;
    info.cleared1 = 0;
    auto fail = [](const char* text) {
        std::snprintf(g_lastError, sizeof(g_lastError), "%s", text);
        return 0u;
    };
    if (!block || length < kHeaderBytes + kTiffHeaderBytes || std::memcmp(block, "Exif\0\0", kHeaderBytes) != 0) {
        return fail("Incorrect Exif header");
    }
    bool bigEndian = false;
    if (block[6] == 'I' && block[7] == 'I') {
        bigEndian = false;
    } else if (block[6] == 'M' && block[7] == 'M') {
        bigEndian = true;
    } else {
        return fail("Invalid Exif alignment marker.");
    }
    const u8* tiff = block + kHeaderBytes;
    const u16 magic = bigEndian ? ReadBE16(tiff + 2) : ReadLE16(tiff + 2);
    if (magic != kTiffMagic) return fail("Invalid Exif start (1)");
    const u32 firstOffset = bigEndian ? ReadBE32(tiff + 4) : ReadLE32(tiff + 4);
    if (firstOffset - kFirstDirectoryLow > kFirstDirectorySlack) return fail("Suspicious offset of first IFD value");

    Parser parser(tiff, length - kHeaderBytes, bigEndian, info);
    if (parser.WalkDirectory(kTiffHeaderBytes, 0) == 0) return 0;
    if (info.focalPlaneXResolution != 0) {
        info.ccdWidth = info.focalPlaneUnits * float(parser.largestWidth) / info.focalPlaneXResolution;
    }
    return 1;
}
