#include "raw/FileBoxVideoAnalysers.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <vector>

#include "engine/RawFileInfo.h"
#include "raw/AnalyserTables.h"
#include "raw/MpegAudioHeader.h"
#include "raw/RawTextConvert.h"
#include "raw/WindowBytes.h"

namespace {

constexpr u64 kWalkBoundFactor = 10;
constexpr u32 kBrandAt = 4;
constexpr u32 kBrandBytes = 8;

bool BrandIs(const u8* sector, const char* brand) {
    for (u32 i = 0; i < kBrandBytes; ++i) {
        if (std::tolower(sector[kBrandAt + i]) != std::tolower(static_cast<u8>(brand[i]))) return false;
    }
    return true;
}

bool BrandIn(const u8* sector, std::initializer_list<const char*> brands) {
    for (const char* b : brands) {
        if (BrandIs(sector, b)) return true;
    }
    return false;
}

// ---------------------------------------------------------------- QuickTime

constexpr u32 kBoxHeader = 8;
constexpr const char* kMovBoxes[] = {"free", "mdat", "pnot", "moov", "wide", "ftyp",
                                     "mvhd", "trak", "udta", "meta", "mvex"};

// ---------------------------------------------------------------- FLV

constexpr u32 kFlvHeaderBytes = 13;
constexpr u32 kFlvVersionAt = 3;
constexpr u8 kFlvVersion = 1;
constexpr u64 kFlvFirstTagSizeAt = 9;
constexpr u32 kFlvTagKindAt = 4;
constexpr u32 kFlvDataSizeAt = 5;
constexpr u32 kFlvTagLookBytes = 8;
constexpr u64 kFlvPreviousSizeField = 4;
constexpr u64 kFlvTagHeader = 11;
enum FlvTagKind : u8 { kFlvAudio = 8, kFlvVideo = 9, kFlvScript = 18 };

// ---------------------------------------------------------------- MP3

constexpr u32 kId3HeaderBytes = 10;
constexpr u32 kId3VersionAt = 3;
constexpr u32 kId3SizeAt = 6;
constexpr u32 kId3FrameHeader = 10;
constexpr u32 kId3FrameSizeAt = 4;
constexpr u32 kTextBytes = 260;
constexpr u32 kId3v1Bytes = 128;
constexpr u32 kId3v1TitleAt = 3;
constexpr u32 kId3v1TitleBytes = 30;
constexpr u32 kId3v1YearAt = 93;
constexpr u32 kId3v1YearBytes = 4;
constexpr u32 kLongestSkip = 65536;
constexpr u32 kFrameHeaderBytes = 4;
enum Id3Encoding : u8 { kLatin1 = 0, kUtf16 = 1, kUtf8 = 3 };
constexpr u8 kBomLittle[2] = {0xFF, 0xFE};
constexpr u32 kUtf16SmallestFrame = 4;

bool IsId3Header(const u8* b) {
    return std::memcmp(b, "ID3", 3) == 0 && (b[kId3VersionAt] == 3 || b[kId3VersionAt] == 4);
}

// Fixed-length text up to its first zero byte.
std::string ZeroEnded(const u8* bytes, size_t n) {
    const u8* end = std::find(bytes, bytes + n, u8(0));
    return std::string(reinterpret_cast<const char*>(bytes), static_cast<size_t>(end - bytes));
}

// The text of an ID3 text frame, converted to the code page; never more than the text buffer
// holds, and never more than the frame and the readable bytes give.
std::string FrameText(const u8* data, u32 dataBytes) {
    if (dataBytes == 0) return std::string();
    const u8 encoding = data[0];
    const u8* text = data + 1;
    const u32 textBytes = std::min(dataBytes - 1, kTextBytes - 1);
    u8 out[kTextBytes] = {};
    switch (encoding) {
        case kLatin1:
            return ZeroEnded(text, textBytes);
        case kUtf16: {
            if (dataBytes < kUtf16SmallestFrame || std::memcmp(text, kBomLittle, 2) != 0) return std::string();
            const u32 units = std::min(dataBytes - 3, 2 * kTextBytes) / 2;
            std::vector<u16> wide(units);
            for (u32 i = 0; i < units; ++i) wide[i] = ReadLE16(text + 2 + 2 * i);
            const auto zero = std::find(wide.begin(), wide.end(), u16(0));
            const size_t n = Utf16ToUtf8(wide.data(), static_cast<size_t>(zero - wide.begin()), out, kTextBytes - 1);
            return ZeroEnded(out, n);
        }
        case kUtf8: {
            const size_t n = Utf8ToCodePage(text, ZeroEnded(text, textBytes).size(), out, kTextBytes - 1);
            return ZeroEnded(out, n);
        }
        default:
            return std::string();
    }
}

}  // namespace

// ---------------------------------------------------------------- MP4 and 3GP

u32 FileMP4Analyser::CheckFileHeader(const u8* sector, u32 /*held*/, CRawFileInfo& record) {
    if (BrandIn(sector, {"ftypisom", "ftypmp41", "ftypmp42"})) {
        record.fileType = kType;
    } else if (BrandIs(sector, "ftypM4A ")) {
        record.fileType = kTypeAudio;
    } else if (BrandIs(sector, "ftypM4V ")) {
        record.fileType = kTypeVideo;
    } else {
        return 0;
    }
    record.size = 0;
    return 1;
}

u32 FileMP4Analyser::AnalyseFileSize(CRawFileInfo& record, IStorageDevice* reader) {
    return WalkMp4Boxes(record, reader);
}

u32 File3GPAnalyser::CheckFileHeader(const u8* sector, u32 /*held*/, CRawFileInfo& record) {
    if (!BrandIn(sector, {"ftyp3g2a", "ftyp3gp4", "ftyp3gp5", "ftypmmp4"})) return 0;
    record.fileType = kType;
    record.size = 0;
    return 1;
}

u32 File3GPAnalyser::AnalyseFileSize(CRawFileInfo& record, IStorageDevice* reader) {
    return WalkMp4Boxes(record, reader);
}

// ---------------------------------------------------------------- QuickTime

u32 FileMOVAnalyser::CheckFileHeader(const u8* sector, u32 /*held*/, CRawFileInfo& record) {
    if (std::memcmp(sector + kBrandAt, "ftyp", 4) != 0) return 0;
    if (BrandIn(sector, {"ftypisom", "ftyp3gp4", "ftyp3g2a", "ftypmmp4", "ftypM4A ", "ftypM4V ", "ftypmp41",
                         "ftypmp42"})) {
        return 0;
    }
    record.fileType = kType;
    return 1;
}

u32 FileMOVAnalyser::AnalyseFileSize(CRawFileInfo& record, IStorageDevice* reader) {
    ScopedReadWindow w(reader, record.startSector);
    const u64 limit = LargestFileOffset() * kWalkBoundFactor;
    u64 pos = 0;
    while (pos <= limit) {
        const u8* box = WindowBytes(w.window, pos, kBoxHeader);
        if (!box) break;
        const u32 size = ReadBE32(box);
        if (size < kBoxHeader) break;
        bool known = false;
        for (const char* type : kMovBoxes) known = known || std::memcmp(box + 4, type, 4) == 0;
        if (!known) break;
        pos += size;
    }
    record.size = pos;
    return 1;
}

// ---------------------------------------------------------------- FLV

u32 FileFLVAnalyser::CheckFileHeader(const u8* sector, u32 /*held*/, CRawFileInfo&) {
    return std::memcmp(sector, "FLV", 3) == 0 ? 1 : 0;
}

u32 FileFLVAnalyser::AnalyseFileSize(CRawFileInfo& record, IStorageDevice* reader) {
    ScopedReadWindow w(reader, record.startSector);
    const u64 limit = LargestFileOffset() * kWalkBoundFactor;
    const u8* header = WindowBytes(w.window, 0, kFlvHeaderBytes);
    if (!header || header[kFlvVersionAt] != kFlvVersion || ReadBE32(header + kFlvFirstTagSizeAt) != 0) return 0;
    u64 pos = kFlvFirstTagSizeAt;
    u64 result = pos;
    u32 expected = 1;
    u32 tracked = 0;
    bool end = false;
    while (true) {
        const u8* tag = WindowBytes(w.window, pos, kFlvTagLookBytes);
        if (!tag || pos > limit) break;
        const u32 prev = ReadBE32(tag);
        const u8 kind = tag[kFlvTagKindAt];
        const u32 data = (u32(tag[kFlvDataSizeAt]) << 16) | (u32(tag[kFlvDataSizeAt + 1]) << 8) | tag[kFlvDataSizeAt + 2];
        if (prev == (expected == 0 ? 1 : expected) || (kind != kFlvAudio && kind != kFlvVideo && kind != kFlvScript)) {
            result = pos + kFlvPreviousSizeField;
            break;
        }
        expected = data;
        if (prev != tracked) {
            if (tracked == 0) {
                tracked = prev;
            } else {
                end = true;
            }
        } else {
            tracked = data + static_cast<u32>(kFlvTagHeader);
        }
        pos += data + kFlvTagHeader + kFlvPreviousSizeField;
        result = pos;
        if (end) break;
    }
    record.size = std::min(result, limit);
    record.fileType = kType;
    return 1;
}

// ---------------------------------------------------------------- MP3

u32 FileMP3Analyser::CheckFileHeader(const u8* sector, u32 /*held*/, CRawFileInfo& record) {
    if (!IsId3Header(sector)) return 0;
    record.fileType = kType;
    return 1;
}

u32 FileMP3Analyser::AnalyseFileSize(CRawFileInfo& record, IStorageDevice* reader) {
    ScopedReadWindow w(reader, record.startSector);
    const u8* header = WindowBytes(w.window, 0, kId3HeaderBytes);
    u32 tagSize = 0;
    if (!header || !Id3SyncSafeSize(header + kId3SizeAt, tagSize)) return 0;
    std::string title, year;
    const u64 tagEnd = u64(tagSize) + kId3HeaderBytes;
    if (tagSize != 0) {
        for (u64 at = kId3HeaderBytes; at < tagEnd;) {
            u32 available = 0;
            const u8* frame = ReadWindowGetBytes(w.window, at, &available);
            if (!frame || available < kId3FrameHeader) break;
            const u32 size = ReadBE32(frame + kId3FrameSizeAt);
            if (size == 0) break;
            const u32 readable = std::min<u32>(size, available - kId3FrameHeader);
            if (std::memcmp(frame, "TIT2", 4) == 0) title = FrameText(frame + kId3FrameHeader, readable);
            if (std::memcmp(frame, "TYER", 4) == 0) year = FrameText(frame + kId3FrameHeader, readable);
            at += kId3FrameHeader + u64(size);
        }
    }

    const u64 limit = LargestFileOffset() * kWalkBoundFactor;
    const u32 s = w.window.sectorSize;
    u64 pos = tagEnd;
    u32 skip = 0;
    // Audio resumed after skipped bytes must continue the stream it broke off from: any run of
    // data holds chance frame syncs, and taking them would run the file on into its neighbours.
    MpegFrameHeader last;
    bool haveLast = false;
    while (true) {
        const u64 q = pos + skip;
        if (q > limit) break;
        const u8* b = WindowBytes(w.window, q, kId3v1Bytes);
        if (!b) break;
        MpegFrameHeader frame;
        u32 length = 0;
        if (b[0] == 0xFF && (b[1] & 0xE0) == 0xE0 && (b[2] & 0xF0) != 0xF0 && ParseMpegFrameHeader(b, frame) &&
            (length = MpegFrameLength(frame)) != 0 && (skip == 0 || !haveLast || MpegSameStream(last, frame))) {
            last = frame;
            haveLast = true;
            pos += skip + length;
            skip = 0;
            continue;
        }
        u32 nextTag = 0;
        if (IsId3Header(b) && q % s == 0 && Id3SyncSafeSize(b + kId3SizeAt, nextTag)) break;
        if (std::memcmp(b, "TAG", 3) == 0) {
            const std::string v1Title = ZeroEnded(b + kId3v1TitleAt, kId3v1TitleBytes);
            const std::string v1Year = ZeroEnded(b + kId3v1YearAt, kId3v1YearBytes);
            const u64 after = q + kId3v1Bytes;
            bool trailer = after % s == 0;
            if (!trailer) {
                const u32 rest = s - static_cast<u32>(after % s);
                const u8* tail = WindowBytes(w.window, after, rest);
                trailer = tail && std::all_of(tail, tail + rest, [](u8 c) { return c == 0; });
            }
            if (trailer) {
                if (title.empty()) title = v1Title;
                if (year.empty()) year = v1Year;
                pos += skip + kId3v1Bytes;
                break;
            }
        }
        if (++skip == kLongestSkip) break;
    }
    if (pos <= tagEnd) return 0;
    m_title = title;
    m_year = year;
    record.SetNameText(title);
    record.SetSecondText(year);
    record.size = pos;
    return 1;
}

IRawFileAnalyser* CreateBoxVideoAnalyser(RawAnalyserClass cls) {
    switch (cls) {
        case RawAnalyserClass::MP4: return new FileMP4Analyser();
        case RawAnalyserClass::ThreeGP: return new File3GPAnalyser();
        case RawAnalyserClass::MOV: return new FileMOVAnalyser();
        case RawAnalyserClass::FLV: return new FileFLVAnalyser();
        case RawAnalyserClass::MP3: return new FileMP3Analyser();
        default: return nullptr;
    }
}
