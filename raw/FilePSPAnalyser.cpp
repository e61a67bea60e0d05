#include "raw/FilePSPAnalyser.h"

#include <cstring>

#include "engine/RawFileInfo.h"
#include "raw/AnalyserReads.h"
#include "raw/AnalyserTables.h"

namespace {

constexpr u8 kPspHeader[32] = {'P', 'a', 'i', 'n', 't', ' ', 'S', 'h', 'o', 'p', ' ', 'P', 'r', 'o', ' ', 'I',
                               'm', 'a', 'g', 'e', ' ', 'F', 'i', 'l', 'e', 0x0A, 0x1A, 0, 0, 0, 0, 0};
constexpr u8 kBlockMarker[4] = {0x7E, 0x42, 0x4B, 0x00};
constexpr u64 kFirstBlock = 36;
constexpr u64 kBlockHeaderBytes = 10;
constexpr u64 kBlockLengthAt = 6;
constexpr u64 kShortestFile = 512;

constexpr u64 kPstVersionAt = 10;
enum PstVersion : u8 { kPstAnsi = 14, kPstUnicode = 23 };
constexpr u64 kPstAnsiSizeAt = 168;
constexpr u64 kPstUnicodeSizeAt = 184;
constexpr u64 kPstUnknownSize = 0x100000;

}  // namespace

u32 FilePSPAnalyser::CheckFileHeader(const u8* sector, u32 /*held*/, CRawFileInfo& record) {
    if (std::memcmp(sector, kPspHeader, sizeof(kPspHeader)) != 0) return 0;
    record.fileType = kType;
    return 1;
}

u32 FilePSPAnalyser::AnalyseFileSize(CRawFileInfo& record, IStorageDevice* reader) {
    ScopedReadWindow w(reader, record.startSector);
    const u8* block = w.Bytes(kFirstBlock, kBlockHeaderBytes);
    if (!block || std::memcmp(block, kBlockMarker, sizeof(kBlockMarker)) != 0) return 0;
    const u64 bound = LargestFileOffset();
    // Positions are 64-bit and every block moves them on by its header at least.
    u64 p = kFirstBlock;
    for (;;) {
        p += u64(ReadLE32(block + kBlockLengthAt)) + kBlockHeaderBytes;
        if (p > bound) break;
        block = w.Bytes(p, kBlockHeaderBytes);
        if (!block) return 0;
        if (std::memcmp(block, kBlockMarker, sizeof(kBlockMarker)) != 0) break;
    }
    if (p < kShortestFile) return 0;
    record.size = p;
    return 1;
}

u32 FilePSTAnalyser::CheckFileHeader(const u8* sector, u32 /*held*/, CRawFileInfo& record) {
    switch (sector[kPstVersionAt]) {
        case kPstAnsi: record.size = ReadLE32(sector + kPstAnsiSizeAt); break;
        case kPstUnicode: record.size = ReadLE32(sector + kPstUnicodeSizeAt); break;
        default: record.size = kPstUnknownSize; break;
    }
    record.fileType = kType;
    return 1;
}

IRawFileAnalyser* CreatePaintMailAnalyser(RawAnalyserClass cls) {
    switch (cls) {
        case RawAnalyserClass::PSP: return new FilePSPAnalyser();
        case RawAnalyserClass::PST: return new FilePSTAnalyser();
        default: return nullptr;
    }
}
