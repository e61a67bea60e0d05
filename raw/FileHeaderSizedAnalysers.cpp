#include "raw/FileHeaderSizedAnalysers.h"

#include <cstring>

#include "engine/RawFileInfo.h"
#include "raw/AnalyserTables.h"
#include "raw/ReadWindow.h"

namespace {

constexpr u32 kEmfSignature = 0x464D4520;  // " EMF"
constexpr u32 kEmfSignatureAt = 40;
constexpr u32 kEmfSizeAt = 48;
constexpr u32 kEmfReservedAt = 58;

constexpr u32 kSwfSizeAt = 4;
constexpr u8 kSwfVersionAt = 3;
constexpr u8 kSwfCompressedFromVersion = 6;
constexpr u64 kSwfCompressedHeader = 8;

constexpr u16 kBmpMagic = 0x4D42;  // "BM"
constexpr u32 kBmpSizeAt = 2;
constexpr u32 kBmpReserved1At = 6;
constexpr u32 kBmpReserved2At = 8;
constexpr u32 kBmpInfoSizeAt = 14;
constexpr u32 kBmpInfoHeader = 40;
constexpr u32 kBmpInfoHeaderV5 = 124;

constexpr u16 k3dsMainChunk = 0x4D4D;
constexpr u16 k3dsEditorChunk = 0x3D3D;
constexpr u32 k3dsSizeAt = 2;
constexpr u32 k3dsEditorIdAt = 16;
constexpr u32 k3dsEditorSizeAt = 18;

constexpr u32 kMrwHeaderSizeAt = 4;
constexpr u64 kMrwBlockHeader = 8;
constexpr u32 kMrwHeightAt = 24;
constexpr u32 kMrwWidthAt = 26;
constexpr u32 kMrwBitsAt = 32;
constexpr u64 kBitsPerByte = 8;

constexpr u32 kChmVersionAt = 8;
constexpr u32 kChmHeaderLength = 0x60;
constexpr u32 kChmGuid1At = 24;
constexpr u32 kChmGuid2At = 40;
constexpr u8 kChmGuid1[16] = {0x10, 0xFD, 0x01, 0x7C, 0xAA, 0x7B, 0xD0, 0x11,
                              0x9E, 0x0C, 0x00, 0xA0, 0xC9, 0x22, 0xE6, 0xEC};
constexpr u8 kChmGuid2[16] = {0x11, 0xFD, 0x01, 0x7C, 0xAA, 0x7B, 0xD0, 0x11,
                              0x9E, 0x0C, 0x00, 0xA0, 0xC9, 0x22, 0xE6, 0xEC};
constexpr u32 kChmSection0At = 96;
constexpr u32 kChmSection0Offset = 0x1FE;
constexpr u32 kChmZeroAt[] = {100, 112, 116};
constexpr u32 kChmSizeAt = 104;

constexpr u32 kEbmlSizeAt = 4;
constexpr u64 kLatestSegmentAt = 512;  // a Segment that begins later is not looked for
constexpr u8 kSegmentId[4] = {0x18, 0x53, 0x80, 0x67};
constexpr u32 kSegmentSizeLowAt = 8;   // the low half of the Segment's eight-byte size field
constexpr u32 kSegmentHeaderBytes = 12;
constexpr u32 kEbmlLongestSize = 8;

constexpr u32 kAuDataOffsetAt = 4;
constexpr u32 kAuDataSizeAt = 8;
constexpr u32 kAuSmallestHeader = 24;
constexpr u32 kAuUnknownSize = 0xFFFFFFFFu;

}  // namespace

u32 FileEMFAnalyser::CheckFileHeader(const u8* sector, u32 /*held*/, CRawFileInfo& record) {
    if (ReadLE32(sector + kEmfSignatureAt) != kEmfSignature) return 0;
    if (ReadLE16(sector + kEmfReservedAt) != 0) return 0;
    const u32 size = ReadLE32(sector + kEmfSizeAt);
    if (size == 0) return 0;
    record.fileType = kType;
    record.size = size;
    return 1;
}

u32 FileSWFAnalyser::CheckFileHeader(const u8* sector, u32 /*held*/, CRawFileInfo& record) {
    const bool plain = std::memcmp(sector, "FWS", 3) == 0;
    const bool compressed = std::memcmp(sector, "CWS", 3) == 0 && sector[kSwfVersionAt] >= kSwfCompressedFromVersion;
    if (!plain && !compressed) return 0;
    record.fileType = kType;
    record.size = u64(ReadLE32(sector + kSwfSizeAt)) + (compressed ? kSwfCompressedHeader : 0);
    return 1;
}

u32 FileBMPAnalyser::CheckFileHeader(const u8* sector, u32 /*held*/, CRawFileInfo& record) {
    if (ReadLE16(sector) != kBmpMagic || ReadLE16(sector + kBmpReserved1At) != 0 ||
        ReadLE16(sector + kBmpReserved2At) != 0) {
        return 0;
    }
    record.fileType = kType;
    const u32 info = ReadLE32(sector + kBmpInfoSizeAt);
    if (info != kBmpInfoHeader && info != kBmpInfoHeaderV5) {
        record.size = 0;
        return 0;
    }
    record.size = ReadLE32(sector + kBmpSizeAt);
    return 1;
}

u32 File3DSAnalyser::CheckFileHeader(const u8* sector, u32 /*held*/, CRawFileInfo& record) {
    if (ReadLE16(sector) != k3dsMainChunk || ReadLE16(sector + k3dsEditorIdAt) != k3dsEditorChunk) return 0;
    record.fileType = kType;
    const u32 size = ReadLE32(sector + k3dsSizeAt);
    if (ReadLE32(sector + k3dsEditorSizeAt) > size || size == 0) return 0;
    record.size = size;
    return 1;
}

u32 FileMRWAnalyser::CheckFileHeader(const u8* sector, u32 /*held*/, CRawFileInfo& record) {
    // Three 8- and 16-bit fields multiply past 32 bits; a product that would claim more than the
    // largest file a walk may reach is cut to that.
    const u64 pixels = u64(sector[kMrwBitsAt]) * ReadBE16(sector + kMrwHeightAt) * ReadBE16(sector + kMrwWidthAt);
    const u64 size = u64(ReadBE32(sector + kMrwHeaderSizeAt)) + kMrwBlockHeader + pixels / kBitsPerByte;
    record.fileType = kType;
    const u64 bound = LargestFileOffset();
    record.size = bound != 0 && size > bound ? bound : size;
    return 1;
}

u32 FileCHMAnalyser::CheckFileHeader(const u8* sector, u32 /*held*/, CRawFileInfo& record) {
    if (std::memcmp(sector, "ITSF", 4) != 0 || ReadLE32(sector + kChmVersionAt) != kChmHeaderLength) return 0;
    if (std::memcmp(sector + kChmGuid1At, kChmGuid1, sizeof kChmGuid1) != 0 ||
        std::memcmp(sector + kChmGuid2At, kChmGuid2, sizeof kChmGuid2) != 0) {
        return 0;
    }
    if (ReadLE32(sector + kChmSection0At) != kChmSection0Offset) return 0;
    for (u32 at : kChmZeroAt) {
        if (ReadLE32(sector + at) != 0) return 0;
    }
    record.fileType = kType;
    record.size = ReadLE64(sector + kChmSizeAt);
    return 1;
}

u32 FileMKVAnalyser::CheckFileHeader(const u8* sector, u32 held, CRawFileInfo& record) {
    const u8 lead = sector[kEbmlSizeAt];
    if (lead == 0) return 0;
    u32 n = 1;
    while (!(lead & (0x80u >> (n - 1)))) ++n;
    if (n > kEbmlLongestSize) return 0;
    u64 value = lead & ((0x80u >> (n - 1)) - 1);
    for (u32 i = 1; i < n; ++i) value = (value << 8) | sector[kEbmlSizeAt + i];
    if (value > kLatestSegmentAt) return 0;
    const u64 p = kEbmlSizeAt + n + value;
    if (p > kLatestSegmentAt) return 0;
    // A Segment near the sector's end has its ID and size field in the bytes after the sector;
    // where the caller holds fewer (the disk ends there), the file cannot be confirmed.
    if (p + kSegmentHeaderBytes > held) return 0;
    if (std::memcmp(sector + p, kSegmentId, sizeof kSegmentId) != 0) return 0;
    record.fileType = kType;
    record.size = p + kSegmentHeaderBytes + ReadBE32(sector + p + kSegmentSizeLowAt);
    return 1;
}

u32 FileAUAnalyser::CheckFileHeader(const u8* sector, u32 /*held*/, CRawFileInfo& record) {
    record.fileType = kType;
    const u32 offset = ReadBE32(sector + kAuDataOffsetAt);
    const u32 size = ReadBE32(sector + kAuDataSizeAt);
    if (offset < kAuSmallestHeader || size == kAuUnknownSize) {
        record.size = 0;
        return 0;
    }
    record.size = u64(offset) + size;
    return 1;
}

IRawFileAnalyser* CreateHeaderSizedAnalyser(RawAnalyserClass cls) {
    switch (cls) {
        case RawAnalyserClass::EMF: return new FileEMFAnalyser();
        case RawAnalyserClass::SWF: return new FileSWFAnalyser();
        case RawAnalyserClass::BMP: return new FileBMPAnalyser();
        case RawAnalyserClass::ThreeDS: return new File3DSAnalyser();
        case RawAnalyserClass::MRW: return new FileMRWAnalyser();
        case RawAnalyserClass::CHM: return new FileCHMAnalyser();
        case RawAnalyserClass::MKV: return new FileMKVAnalyser();
        case RawAnalyserClass::AU: return new FileAUAnalyser();
        default: return nullptr;
    }
}
