#include "raw/FileJPGAnalyser.h"

#include <algorithm>
#include <cstring>

#include "devices/StorageDevice.h"
#include "engine/RawFileInfo.h"
#include "raw/ExifReader.h"
#include "raw/ReadWindow.h"

namespace {

enum JpegMarker : u8 {
    kMarker = 0xFF,
    kStartOfImage = 0xD8,
    kEndOfImage = 0xD9,
    kStartOfScan = 0xDA,
    kQuantTable = 0xDB,
    kBaselineFrame = 0xC0,
    kDefineHuffman = 0xC4,
    kJpgReserved = 0xC8,
    kArithmeticTable = 0xCC,
    kFrameLast = 0xCF,
    kExtension = 0xEE,
};

constexpr u32 kIdentifierAt = 6;         // "JFIF" or "Exif" after the first segment's length
constexpr u64 kExifBlockAt = 6;          // APP1 right after the start marker
constexpr u64 kJfifExifBlockAt = 24;     // APP1 after a standard 16-byte APP0
constexpr u64 kSegmentLengthBytes = 2;
constexpr u64 kWalkStart = 2;
constexpr u8 kPrecision = 8;
constexpr u8 kColourComponents = 3;
constexpr u64 kBoundDivisor = 10;
constexpr u32 kTrailingZeros = 6;
constexpr const char* kNameUnsafe = "\\/:?\"<>|*\r\n";

bool SameLetters(const u8* bytes, const char* word) {
    for (int i = 0; i < 4; ++i) {
        const u8 a = bytes[i] >= 'a' && bytes[i] <= 'z' ? u8(bytes[i] - 32) : bytes[i];
        const u8 b = word[i] >= 'a' && word[i] <= 'z' ? u8(word[i] - 32) : u8(word[i]);
        if (a != b) return false;
    }
    return true;
}

// Start-of-frame codes: C0 to CF except the Huffman table (C4), the reserved C8 and the
// arithmetic-coding table (CC).
bool IsFrameHeader(u8 code) {
    return code >= kBaselineFrame && code <= kFrameLast && code != kDefineHuffman && code != kJpgReserved &&
           code != kArithmeticTable;
}

bool AllZero(const u8* p, u32 n) {
    for (u32 i = 0; i < n; ++i) {
        if (p[i] != 0) return false;
    }
    return true;
}

std::string CleanName(const char* text) {
    std::string out;
    for (const char* c = text; *c; ++c) {
        if (!std::strchr(kNameUnsafe, *c)) out.push_back(*c);
    }
    return out;
}

u64 Bound() { return LargestFileOffset() / kBoundDivisor; }

}  // namespace

u32 FileJPGAnalyser::CheckFileHeader(const u8* sector, u32 /*held*/, CRawFileInfo& record) {
    const bool identified = SameLetters(sector + kIdentifierAt, "JFIF") || SameLetters(sector + kIdentifierAt, "Exif");
    const bool plain = sector[0] == kMarker && sector[1] == kStartOfImage && sector[2] == kMarker &&
                       (sector[3] == kQuantTable || sector[3] == kExtension);
    if (!identified && !plain) return 0;
    record.fileType = kTypeJpeg;
    return 1;
}

u32 FileJPGAnalyser::AnalyseFileSize(CRawFileInfo& record, IStorageDevice* reader) {
    m_text1.clear();
    m_text2.clear();
    m_subTypeId = -1;
    m_subTypeText.clear();
    m_sectorSize = 0;
    if (!reader) return 0;
    m_sectorSize = reader->GetSectorSize();
    ReadWindow window;
    ReadWindowOpen(window, reader, record.startSector);
    const u8* head = ReadWindowGetBytes(window, 0);
    if (!head || m_sectorSize == 0) return 0;
    u32 result = 0;
    if (SameLetters(head + kIdentifierAt, "JFIF")) {
        result = ExifRoad(record, window, kJfifExifBlockAt);
    } else if (SameLetters(head + kIdentifierAt, "Exif")) {
        result = ExifRoad(record, window, kExifBlockAt);
    } else {
        result = PlainRoad(record, window);
    }
    ReadWindowClose(window);
    return result;
}

void FileJPGAnalyser::ReadExif(CRawFileInfo& record, ReadWindow& window, u64 exifAt) {
    u32 available = 0;
    const u8* lengthBytes = ReadWindowGetBytes(window, exifAt - kSegmentLengthBytes, &available);
    if (!lengthBytes || available < kSegmentLengthBytes) return;
    const u32 segment = ReadBE16(lengthBytes);
    if (segment <= kSegmentLengthBytes) return;
    const u8* block = lengthBytes + kSegmentLengthBytes;
    // The block is read where it lies in the window, never beyond what the window holds.
    const u64 blockBytes = std::min<u64>(segment - kSegmentLengthBytes, available - kSegmentLengthBytes);
    ExifInfo info;
    if (ParseExifBlock(block, blockBytes, info) == 0) return;
    const char* camera = std::strchr(info.cameraModel, '<') ? info.cameraMake : info.cameraModel;
    m_text1 = CleanName(camera);
    m_text2 = info.dateTime;
    record.SetNameText(m_text1);
    record.SetSecondText(m_text2);
    if (record.subTypeFlag != 0) {
        m_subTypeId = kSubTypeCamera;
        m_subTypeText = m_text1;
        record.subType = kSubTypeCamera;
        record.subTypeText = m_text1;
    }
}

u32 FileJPGAnalyser::PlainRoad(CRawFileInfo& record, ReadWindow& window) {
    const u64 bound = Bound();
    const u8* b = ReadWindowGetBytes(window, kWalkStart);
    if (!b || b[0] != kMarker) return 0;
    u64 p = kWalkStart;
    while (p <= bound) {
        b = ReadWindowGetBytes(window, p);
        if (!b) return 0;
        const u8 code = b[1];
        if (IsFrameHeader(code)) {
            const u32 length = ReadBE16(b + 2);
            if (b[4] != kPrecision) {
                record.size = 0;
                return 0;
            }
            const u32 height = ReadBE16(b + 5);
            const u32 width = ReadBE16(b + 7);
            if (b[9] != kColourComponents) return 0;
            p += length + kSegmentLengthBytes;
            const u32 limit = width * height * 3u;
            record.size = EndSearch(window, p, limit);
            record.fileType = kTypeJpeg;
            return 1;
        }
        if (code == kStartOfScan) {
            record.size = EndSearch(window, p, bound);
            record.fileType = kTypeJpeg;
            return 1;
        }
        const u32 length = code == kMarker ? 0 : ReadBE16(b + 2);
        p += length + kSegmentLengthBytes;
    }
    record.size = p;
    record.fileType = kTypeJpeg;
    return 1;
}

u32 FileJPGAnalyser::ExifRoad(CRawFileInfo& record, ReadWindow& window, u64 exifAt) {
    ReadExif(record, window, exifAt);
    const u64 bound = Bound();
    u64 p = kWalkStart;
    bool frameSeen = false;
    u32 width = 0;
    u32 height = 0;
    while (p <= bound) {
        const u8* b = ReadWindowGetBytes(window, p);
        if (!b) return 0;
        const u8 code = b[1];
        if (code == kStartOfScan) break;
        if (code == kBaselineFrame && !frameSeen) {
            if (b[4] != kPrecision) return 0;
            height = ReadBE16(b + 5);
            width = ReadBE16(b + 7);
            frameSeen = true;
        }
        const u32 length = code == kMarker ? 0 : ReadBE16(b + 2);
        p += length + kSegmentLengthBytes;
    }
    if (p > bound) {
        record.size = p;
        record.fileType = kTypeJpeg;
        return 1;
    }
    const u32 limit = width * height * 3u;
    record.size = EndSearch(window, p, limit == 0 ? bound : limit);
    record.fileType = kTypeJpeg;
    return 1;
}

u64 FileJPGAnalyser::EndSearch(ReadWindow& window, u64 q, u64 limit) const {
    static constexpr u8 kEnd[2] = {kMarker, kEndOfImage};
    const u64 sectorBytes = m_sectorSize;
    while (q < limit) {
        u32 available = 0;
        const u8* b = ReadWindowGetBytes(window, q, &available);
        if (!b) return q;
        const u32 into = static_cast<u32>(q % sectorBytes);
        const u32 r = static_cast<u32>(sectorBytes) - into;
        if (available < r) return q;
        // Windows begin on a sector boundary, so the whole sector is in the buffer.
        const u8* sector = b - into;
        const u8* last = sector + sectorBytes;
        if (last[-2] == kMarker && last[-1] == kEndOfImage) return q + r;
        if (AllZero(last - kTrailingZeros, kTrailingZeros)) {
            if (const u8* hit = FindBytes(b, static_cast<i32>(r), kEnd, sizeof(kEnd))) return q + (hit - b) + 2;
            if (sector[0] == kEndOfImage && sector[1] == 0 && sector[2] == 0 && sector[3] == 0) return q - into + 1;
        }
        q += r;
    }
    return q;
}
