#pragma once
// Writes compressed disk images for the tests and the fuzzing: an index file (512-byte header
// and block end offsets), its part list ("edp", one path per CR LF line) and the part files (a
// 512-byte prefix, then the stored blocks). Header-only, so that the support library needs no
// device code.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "devices/Compressor.h"
#include "devices/ImageFileDevice.h"
#include "platform/Types.h"

namespace testutil {

struct CompressedImageLayout {
    u32 compression = kCompressionZlib;  // 1 bzip2, 2 zlib, 3 LZMA, anything else stored
    u32 sectorSize = 512;
    u32 parts = 1;              // blocks are shared out evenly, the last part taking the rest
    u32 keepRawEvery = 0;       // every n-th block is kept as it is (0: none)
};

// One block compressed as a whole; empty when the compressor failed.
inline std::vector<u8> CompressBlock(u32 type, const u8* data, u32 size) {
    ICompressor* c = CreateCompressor(type);
    std::vector<u8> out;
    if (!c) return out;
    const u32 parameter = type == kCompressionLzma ? (1u << 20) : 0x800000;
    if (c->Init(type == kCompressionBzip2 ? 1 : 5, parameter) != 0) {
        DestroyCompressor(c);
        return out;
    }
    std::vector<u8> area(size + size / 2 + 4096);
    c->SetInput(data, size);
    c->SetOutput(area.data(), static_cast<u32>(area.size()));
    i32 rc = 0;
    for (int round = 0; round < 64 && c->GetAvailIn() != 0 && rc >= 0; ++round) rc = c->Compress(false);
    for (int round = 0; round < 64 && rc >= 0 && rc != 1 && rc != 4; ++round) rc = c->Compress(true);
    if (rc >= 0) out.assign(area.data(), area.data() + (area.size() - c->GetAvailOut()));
    c->End();
    DestroyCompressor(c);
    return out;
}

// Whole-file reads and writes of their own, so that the fuzzing harnesses need no test library.
inline std::vector<u8> ReadImageFile(const std::string& path) {
    std::vector<u8> out;
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return out;
    u8 buffer[1 << 16];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) out.insert(out.end(), buffer, buffer + n);
    std::fclose(f);
    return out;
}

inline bool WriteImageFile(const std::string& path, const std::vector<u8>& bytes) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    const bool ok = bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return std::fclose(f) == 0 && ok;
}

// The image of `raw` (padded with zeros to whole blocks) at `indexPath`; its parts are
// indexPath + ".partN". False when a file could not be written or a block not compressed.
inline bool WriteCompressedImage(const std::vector<u8>& raw, const std::string& indexPath,
                                 const CompressedImageLayout& layout) {
    const u32 blockBytes = layout.sectorSize * kImageBlockSectors;
    const u32 blocks = static_cast<u32>((raw.size() + blockBytes - 1) / blockBytes);
    const u32 parts = std::max(1u, std::min(layout.parts, blocks));
    const bool compressing = layout.compression >= kCompressionBzip2 && layout.compression <= kCompressionLzma;

    std::vector<u8> index(kImageBlockTableOffset + 4ull * blocks, 0);
    std::snprintf(reinterpret_cast<char*>(index.data()), kImageNameSize, "%s", "Test image");
    WriteLE32(index.data() + kImageSectorSizeOffset, layout.sectorSize);
    WriteLE32(index.data() + kImageCompressionOffset, layout.compression);
    WriteLE32(index.data() + kImagePartCountOffset, parts);
    WriteLE32(index.data() + kImageBlockCountOffset, blocks);
    std::string list;
    std::vector<u8> block(blockBytes);
    // Most blocks of a fixture are empty, and a block compresses to the same bytes every time:
    // the empty block is compressed once.
    std::vector<u8> emptyStored;
    bool emptyDone = false;
    u32 next = 0;
    for (u32 p = 0; p < parts; ++p) {
        const u32 count = p + 1 < parts ? blocks / parts : blocks - next;
        WriteLE32(index.data() + kImageBlocksPerPartOffset + 4 * p, count);
        std::vector<u8> part(kImageHeaderSize, 0);
        for (u32 b = next; b < next + count; ++b) {
            std::fill(block.begin(), block.end(), 0);
            const size_t from = static_cast<size_t>(b) * blockBytes;
            if (from < raw.size()) {
                std::copy(raw.begin() + static_cast<long>(from),
                          raw.begin() + static_cast<long>(std::min(raw.size(), from + blockBytes)), block.begin());
            }
            std::vector<u8> stored;
            if (compressing && !(layout.keepRawEvery && b % layout.keepRawEvery == 0)) {
                const bool empty = block[0] == 0 && std::memcmp(block.data(), block.data() + 1, blockBytes - 1) == 0;
                if (empty && emptyDone) {
                    stored = emptyStored;
                } else {
                    stored = CompressBlock(layout.compression, block.data(), blockBytes);
                    if (empty) {
                        emptyStored = stored;
                        emptyDone = true;
                    }
                }
                if (stored.empty()) return false;
            }
            if (stored.empty() || stored.size() >= blockBytes) stored = block;
            part.insert(part.end(), stored.begin(), stored.end());
            WriteLE32(index.data() + kImageBlockTableOffset + 4ull * b, static_cast<u32>(part.size() - kImageHeaderSize));
        }
        const std::string partPath = indexPath + ".part" + std::to_string(p);
        if (!WriteImageFile(partPath, part)) return false;
        list += partPath + "\r\n";
        next += count;
    }
    return WriteImageFile(indexPath, index) &&
           WriteImageFile(CImageFile::PartListPath(indexPath), std::vector<u8>(list.begin(), list.end()));
}

}  // namespace testutil
