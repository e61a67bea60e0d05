#pragma once
// The inputs of the RAW search fuzzers, shared by the long mutation loop (raw_fuzz) and the short
// seeded runs of the test suite: Exif blocks, JPEG files on a small disk and text and archive
// bytes, each made from a seed and damaged by it. The same seed always gives the same input.
#include <algorithm>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "ImageDevice.h"
#include "bench/fuzz/FuzzVerdict.h"
#include "engine/RawFileInfo.h"
#include "raw/ArchiveRecords.h"
#include "raw/ExifReader.h"
#include "raw/FileJPGAnalyser.h"
#include "raw/MpegAudioHeader.h"
#include "raw/RawTextConvert.h"
#include "raw/ReadWindow.h"

namespace rawfuzz {

using Rng = std::mt19937_64;
using fuzzverdict::Verdict;

inline void Put16(std::vector<u8>& v, u16 x, bool big) {
    v.push_back(u8(big ? x >> 8 : x));
    v.push_back(u8(big ? x : x >> 8));
}
inline void Put32(std::vector<u8>& v, u32 x, bool big) {
    for (int i = 0; i < 4; ++i) v.push_back(u8(big ? x >> (24 - 8 * i) : x >> (8 * i)));
}

// A plausible Exif block: two directories linked by the Exif pointer, texts, numbers, a thumbnail.
inline std::vector<u8> SeedExif(Rng& rng) {
    const bool big = rng() & 1;
    std::vector<u8> t = {'E', 'x', 'i', 'f', 0, 0};
    t.insert(t.end(), big ? std::initializer_list<u8>{'M', 'M'} : std::initializer_list<u8>{'I', 'I'});
    Put16(t, 42, big);
    Put32(t, 8, big);
    const u16 tags[] = {0x010F, 0x0110, 0x0112, 0x011A, 0x0128, 0x829A, 0x8827, 0x9003, 0x9286, 0x927C,
                        0xA002, 0xA20E, 0xA210, 0x0201, 0x0202, 0x8769, 0xA005};
    const u32 entries = 1 + u32(rng() % 10);
    const u32 dataAt = 8 + 2 + 12 * entries + 4;
    // Values of up to 39 eight-byte items at up to 64 bytes into the data: all inside it, so that
    // an undamaged block parses and the damage decides what fails. Now and then a pointer goes
    // anywhere.
    constexpr u32 kDataBytes = 400;
    Put16(t, u16(entries), big);
    for (u32 e = 0; e < entries; ++e) {
        Put16(t, tags[rng() % std::size(tags)], big);
        Put16(t, u16(1 + rng() % 12), big);
        Put32(t, u32(rng() % 40), big);
        Put32(t, rng() % 8 ? dataAt + u32(rng() % 64) : u32(rng()), big);
    }
    Put32(t, rng() % 3 == 0 ? u32(rng() % 200) : 0, big);
    for (u32 i = 0; i < kDataBytes; ++i) t.push_back(u8(rng()));
    return t;
}

inline void Damage(std::vector<u8>& bytes, Rng& rng, u32 from = 0) {
    if (bytes.size() <= from) return;
    const u32 hits = 1 + u32(rng() % 8);
    for (u32 h = 0; h < hits; ++h) {
        const size_t at = from + rng() % (bytes.size() - from);
        switch (rng() % 4) {
            case 0: bytes[at] = u8(rng()); break;
            case 1: bytes[at] = 0xFF; break;
            case 2: bytes[at] = 0; break;
            default: bytes[at] ^= u8(1u << (rng() % 8)); break;
        }
    }
    if (rng() % 8 == 0) bytes.resize(from + rng() % (bytes.size() - from + 1));
}

// Parses a damaged block held in a buffer of exactly its size, so that any read past it shows
// under the address sanitizer.
inline Verdict RunExif(u64 seed) {
    Rng rng(seed);
    std::vector<u8> block = SeedExif(rng);
    Damage(block, rng, seed % 2 ? 0 : 14);
    std::unique_ptr<u8[]> exact(new u8[block.size() + 1]);
    std::memcpy(exact.get(), block.data(), block.size());
    ExifInfo info;
    const bool parsed = ParseExifBlock(exact.get(), block.size(), info) == 1;
    if (parsed && info.thumbnail &&
        (info.thumbnail < exact.get() || info.thumbnail + info.thumbnailSize > exact.get() + block.size())) {
        return Verdict::Broke("Exif thumbnail outside its block");
    }
    return Verdict::Ran(parsed);
}

inline std::vector<u8> SeedJpeg(Rng& rng) {
    std::vector<u8> j = {0xFF, 0xD8};
    const u32 start = u32(rng() % 3);
    if (start == 0) {
        j.insert(j.end(), {0xFF, 0xE0, 0, 16, 'J', 'F', 'I', 'F', 0, 1, 1, 0, 0, 1, 0, 1, 0, 0});
    } else if (start == 1) {
        std::vector<u8> exif = SeedExif(rng);
        j.insert(j.end(), {0xFF, 0xE1});
        Put16(j, u16(exif.size() + 2), true);
        j.insert(j.end(), exif.begin(), exif.end());
    }
    j.insert(j.end(), {0xFF, 0xDB, 0, 67, 0});
    for (int i = 0; i < 64; ++i) j.push_back(u8(1 + i));
    j.insert(j.end(), {0xFF, u8(rng() % 2 ? 0xC0 : 0xC2), 0, 17, 8, 0, 48, 0, 64, 3});
    for (int c = 0; c < 3; ++c) j.insert(j.end(), {u8(c + 1), 0x11, 0});
    j.insert(j.end(), {0xFF, 0xDA, 0, 12, 3, 1, 0, 2, 0x11, 3, 0x11, 0, 0x3F, 0});
    const size_t entropy = rng() % 6000;
    for (size_t i = 0; i < entropy; ++i) j.push_back(u8(rng() % 255));
    j.insert(j.end(), {0xFF, 0xD9});
    return j;
}

// A damaged JPEG on a small disk, walked from its first sector; the size found may not run past
// the walk's bound.
inline Verdict RunJpegWalk(u64 seed) {
    Rng rng(seed);
    const u32 sectorSize = rng() % 4 == 0 ? 4096 : 512;
    std::vector<u8> jpeg = SeedJpeg(rng);
    Damage(jpeg, rng, 2);
    const u64 sectors = (jpeg.size() + sectorSize - 1) / sectorSize + 1 + rng() % 300;
    testutil::MemoryDevice device(sectorSize, sectors);
    device.Put(0, jpeg);
    if (rng() % 4 == 0) {
        for (size_t i = jpeg.size(); i < device.data.size(); ++i) device.data[i] = u8(rng());
    }
    FileJPGAnalyser analyser;
    CRawFileInfo record;
    std::vector<u8> sector(device.data.begin(), device.data.begin() + sectorSize);
    const bool recognised = analyser.CheckFileHeader(sector.data(), u32(sector.size()), record) != 0;
    analyser.AnalyseFileSize(record, &device);
    if (record.size > LargestFileOffset() / 10 + 2 * 128 * u64(sectorSize) + 0x20000) {
        return Verdict::Broke("JPEG walk states a size past its bound: " + std::to_string(record.size));
    }
    return Verdict::Ran(recognised);
}

// Random bytes through every converter and record reader, each with a tight target.
inline Verdict RunText(u64 seed) {
    Rng rng(seed);
    std::vector<u8> bytes(rng() % 96);
    for (u8& b : bytes) b = rng() % 3 ? u8(0x80 + rng() % 0x80) : u8(rng());
    std::unique_ptr<u8[]> exact(new u8[bytes.size() + 1]);
    if (!bytes.empty()) std::memcpy(exact.get(), bytes.data(), bytes.size());
    const size_t room = rng() % 40;
    std::unique_ptr<u16[]> units(new u16[room + 1]);
    const size_t n = Utf8ToUtf16(exact.get(), bytes.size(), units.get(), room);
    if (n > room) return Verdict::Broke("UTF-8 to UTF-16 past its room");
    std::unique_ptr<u8[]> back(new u8[room + 1]);
    if (Utf16ToUtf8(units.get(), n, back.get(), room) > room) return Verdict::Broke("UTF-16 to UTF-8 past its room");
    std::vector<u16> wide(bytes.size() / 2);
    if (!wide.empty()) std::memcpy(wide.data(), bytes.data(), wide.size() * 2);
    if (Utf16ToUtf8(wide.data(), wide.size(), back.get(), room) > room) return Verdict::Broke("raw UTF-16 to UTF-8 past its room");
    if (Utf8ToCodePage(exact.get(), bytes.size(), back.get(), room) > room) return Verdict::Broke("UTF-8 to code page past its room");
    u32 code = 0;
    for (size_t i = 0; i < bytes.size(); ++i) Utf8DecodeChar(exact.get() + i, bytes.size() - i, code);
    std::string a(bytes.begin(), bytes.end()), b = a;
    if (!b.empty()) b[rng() % b.size()] = char(rng());
    Utf8Compare(a.c_str(), b.c_str(), rng() % 2 ? ~size_t(0) : rng() % 100);
    size_t chars = 0, counted = 0;
    Utf8CountChars(a.c_str(), chars, counted, rng() % 128);
    u64 size = 0;
    u32 type = u32(rng() % 120);
    RarBlockSize(exact.get(), bytes.size(), size);
    if (bytes.size() >= 4) {
        std::memcpy(exact.get(), rng() % 2 ? "PK\3\4" : "PK\1\2", 4);
        ZipRecordLength(exact.get(), bytes.size(), size, rng() % 2, type);
        ZipRecordIsValid(exact.get(), bytes.size());
        MpegFrameHeader h;
        if (ParseMpegFrameHeader(exact.get(), h)) MpegFrameLength(h);
        Id3SyncSafeSize(exact.get(), code);
    }
    return Verdict::Ran(true);
}

}  // namespace rawfuzz
