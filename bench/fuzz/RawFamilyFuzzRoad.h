#pragma once
// Inputs of the fuzzer of the container, media, archive and document analysers: a small disk
// whose first sector carries one of the analyser's signatures, followed by random bytes strewn
// with the chunk, box, page and record identifiers their walks look for, under random lengths.
// Each analyser checks the header and walks the file; no walk may read outside the device's
// bytes (the sanitizer build), loop without end, or state a size past its bound. The same seed
// always gives the same input.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "ImageDevice.h"
#include "engine/RawFileInfo.h"
#include "raw/AnalyserTables.h"
#include "raw/RawFileAnalyser.h"
#include "raw/ReadWindow.h"

namespace rawfamilyfuzz {

using Rng = std::mt19937_64;
using C = RawAnalyserClass;

inline constexpr C kClasses[] = {
    C::EMF, C::SWF, C::BMP, C::ThreeDS, C::MRW, C::CHM, C::MKV, C::AU,  C::RIFF, C::AIF, C::ASF,
    C::RM_RMVB, C::Ogg, C::MPG, C::MID, C::APE, C::MP4, C::ThreeGP, C::MOV, C::FLV, C::MP3, C::ZIP,
    C::RAR, C::CAB, C::SIT, C::DMG, C::OLE, C::LowDoc, C::MNY, C::ONE, C::WPD, C::DBX, C::HLP,
};

// What the walks look for: dropped at random places of the body.
inline const std::vector<std::string>& Identifiers() {
    static const std::vector<std::string> ids = {
        "OggS", "MTrk", "PROP", "MDPR", "DATA", "INDX", "moov", "mdat", "free", "wide", "ftyp", "TAG",
        "ID3\x03", "APETAGEX", "koly", "PK\x03\x04", "PK\x01\x02", "PK\x05\x06", "RIFF", "FORM",
        std::string("\x00\x00\x01\xBA", 4), std::string("\x00\x00\x01\xBB", 4), std::string("\x00\x00\x01\xE0", 4),
        std::string("\xFF\xFB\x90\x00", 4), std::string("\x02\xD7\x0A\x00\x98\xF6\x42\x88", 8),
        std::string("\x36\x26\xB2\x75\x8E\x66\xCF\x11\xA6\xD9\x00\xAA\x00\x62\xCE\x6C", 16),
        std::string("\x90\x08\x00\x33\xB1\xE5\xCF\x11\x89\xF4\x00\xA0\xC9\x03\x49\xCB", 16),
        std::string("\xC4\x3D\x7B\x00\x40\x07\x00", 7),
    };
    return ids;
}

// The bytes one of the class's registry signatures puts at the start of a sector.
inline std::vector<u8> Signature(C cls, Rng& rng) {
    std::vector<std::vector<u8>> found;
    for (const Signature4Entry& e : Signature4Assignments()) {
        if (e.cls == cls) found.push_back({e.bytes[0], e.bytes[1], e.bytes[2], e.bytes[3]});
    }
    for (const Signature2Entry& e : Signature2Inserts()) {
        if (e.cls == cls) found.push_back({e.bytes[0], e.bytes[1]});
    }
    if (found.empty()) return {};
    return found[rng() % found.size()];
}

inline void PutLength(std::vector<u8>& disk, size_t at, Rng& rng) {
    static const u32 kLengths[] = {0, 1, 6, 8, 24, 512, 4096, 0x7FFFFFFF, 0x80000000u, 0xFFFFFFFFu};
    const u32 value = rng() % 2 ? kLengths[rng() % std::size(kLengths)] : u32(rng() % 2048);
    for (int i = 0; i < 4 && at + i < disk.size(); ++i) {
        disk[at + i] = u8(rng() % 2 ? value >> (8 * i) : value >> (24 - 8 * i));
    }
}

inline void Run(u64 seed) {
    Rng rng(seed);
    const C cls = kClasses[rng() % std::size(kClasses)];
    std::unique_ptr<IRawFileAnalyser> analyser(CreateRawFileAnalyser(cls));
    if (!analyser) std::abort();
    const u32 sectorSize = rng() % 4 == 0 ? 4096 : 512;
    const u64 sectors = 2 + rng() % 200;
    testutil::MemoryDevice device(sectorSize, sectors);
    std::vector<u8>& disk = device.data;
    const u32 fill = u32(rng() % 3);
    for (u8& b : disk) b = fill == 0 ? 0 : fill == 1 ? u8(rng()) : u8(rng() % 4 ? 0 : rng());
    const std::vector<u8> signature = Signature(cls, rng);
    std::copy(signature.begin(), signature.end(), disk.begin());
    // Header fields: random lengths at random places of the first sector.
    for (int i = 0, n = int(rng() % 24); i < n; ++i) PutLength(disk, rng() % 200, rng);
    for (int i = 0, n = int(rng() % 64); i < n; ++i) {
        const std::string& id = Identifiers()[rng() % Identifiers().size()];
        const size_t at = rng() % 3 == 0 ? (rng() % sectors) * sectorSize : rng() % disk.size();
        if (at + id.size() + 8 > disk.size()) continue;
        std::memcpy(disk.data() + at, id.data(), id.size());
        PutLength(disk, at + id.size(), rng);
    }
    std::vector<u8> sector(disk.begin(), disk.begin() + sectorSize);
    CRawFileInfo record;
    record.startSector = 0;
    if (analyser->CheckFileHeader(sector.data(), record) == 0 && rng() % 2) return;
    record.size = 0;
    analyser->AnalyseFileSize(record, &device);
    // The widest bound of these walks (RAR) and one last block past it.
    if (record.size > LargestFileOffset() * 200 + (u64(1) << 33)) std::abort();
}

}  // namespace rawfamilyfuzz
