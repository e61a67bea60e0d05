#pragma once
// Inputs of the fuzzer of the format analysers, one group of families at a time: a small disk
// whose first sector carries one of the analyser's signatures (at its offset for the analysers
// that look inside the sector), the skeleton of its format where its walk needs one, then random
// bytes strewn with the chunk, box, page, block and record identifiers the walks look for, under
// random lengths. Each analyser checks the header and walks the file; no walk may read outside
// the device's bytes (the sanitizer build), loop without end, or state a size past its bound. The
// same seed and group always give the same input.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "ImageDevice.h"
#include "RawFamilyLayouts.h"
#include "bench/fuzz/FuzzVerdict.h"
#include "engine/RawFileInfo.h"
#include "raw/AnalyserTables.h"
#include "raw/RawFileAnalyser.h"
#include "raw/ReadWindow.h"

namespace rawfamilyfuzz {

using C = RawAnalyserClass;

// One group of analyser families and the identifiers their walks follow.
struct Group {
    const char* name;
    std::span<const C> classes;
    std::span<const std::string> identifiers;
    // Whether the sizes the header checks state are held to the bound too; some container and
    // document headers give their length in units of many bytes, and so may state any size.
    bool boundedHeaderSizes;
};

// The header-sized, archive, compound, audio and video container families.
inline constexpr C kClasses[] = {
    C::EMF, C::SWF, C::BMP, C::ThreeDS, C::MRW, C::CHM, C::MKV, C::AU,  C::RIFF, C::AIF, C::ASF,
    C::RM_RMVB, C::Ogg, C::MPG, C::MID, C::APE, C::MP4, C::ThreeGP, C::MOV, C::FLV, C::MP3, C::ZIP,
    C::RAR, C::CAB, C::SIT, C::DMG, C::OLE, C::LowDoc, C::MNY, C::ONE, C::WPD, C::DBX, C::HLP,
};
inline constexpr C kImageFontClasses[] = {C::PNG, C::GIF, C::PSD, C::CPT, C::X3F, C::ICO, C::WMF, C::TTF};
inline constexpr C kTiffRawClasses[] = {C::TIF, C::CRW, C::JPG};
inline constexpr C kArchiveDbClasses[] = {C::LZH, C::TAR, C::MDB, C::GZ, C::HTM, C::UnicodeHTM};
inline constexpr C kTextDrawingClasses[] = {C::RTF, C::EPS, C::SVG, C::DXF, C::DWG};
inline constexpr C kDocumentClasses[] = {C::PDF, C::PSP, C::PST};

inline std::string Wide(const char* text) {
    std::string w;
    for (; *text; ++text) w += std::string{*text, '\0'};
    return w;
}

inline const std::vector<std::string>& ContainerIdentifiers() {
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

inline const std::vector<std::string>& ImageFontIdentifiers() {
    static const std::vector<std::string> ids = {
        "IEND", "IDAT", "IHDR", "tEXt", "SECd", "SECd", std::string(";\0", 2), ",", "!\xF9\x04", "8BIM",
        "glyf", "head", std::string("\x01\x00\x09\x00", 4),
    };
    return ids;
}

inline const std::vector<std::string>& TiffRawIdentifiers() {
    static const std::vector<std::string> ids = {
        std::string("\x07\x28\xA8\x00\x00\x00", 6), std::string("\x07\x28\xB2\x00\x00\x00", 6),
        std::string("\x07\x28\xE4\x00\x00\x00", 6), "\xFF\xD8\xFF\xE1", "\xFF\xD9", "\xFF\xDA",
        std::string("Exif\0\0II*\0\x08\0\0\0", 14), std::string("II*\0", 4), std::string("MM\0*", 4),
        "NIKON", "SEIKO EPSON", "SONY", "DSC-R1", "DCS Pro SLR",
    };
    return ids;
}

inline const std::vector<std::string>& ArchiveDbIdentifiers() {
    static const std::vector<std::string> ids = {
        std::string("\x16\x00-lh5-", 7), std::string("\x16\x00-lh0-", 7), "ustar", "ustar  ", "</html>", "</HTML>", Wide("</HTML>"),
        std::string("\xFF\xFF", 2), std::string("\xFE\xFF", 2), "\x1F\x8B\x08", std::string("\0\0\0\0\0\0\0\0", 8),
    };
    return ids;
}

inline const std::vector<std::string>& TextDrawingIdentifiers() {
    static const std::vector<std::string> ids = {
        "{", "}", "}}}", "{{", std::string("\0", 1), "%AI9_PrivateDataEnd", "\n</svg>", "</svg>", "EOF\r\n",
        "  0\r\nEOF\r\n", std::string("AC1018\0\0", 8), std::string("AC1021\0\0", 8),
        "\x68\x40\xF8\xF7\x92\x2A\xB5\xEF\x18\xDD\x0B\xF1\xF1\xBB\xE9\xEB",
        "\x1F\x25\x6D\x07\xD4\x36\x28\x28\x9D\x57\xCA\x3F\x9D\x44\x10\x2B",
    };
    return ids;
}

inline const std::vector<std::string>& DocumentIdentifiers() {
    static const std::vector<std::string> ids = {
        "%%EOF", "%%EOF\r\n", "%%EOF\n", "endobj", "xref", "startxref", "/Linearized", "/L ", "trailer",
        std::string("~BK\0", 4), "%!PS-Adobe", "Adobe Illustrator", "!BDN",
    };
    return ids;
}

inline const std::vector<Group>& Groups() {
    static const std::vector<Group> groups = {
        {"containers", kClasses, ContainerIdentifiers(), false},
        {"images-fonts", kImageFontClasses, ImageFontIdentifiers(), true},
        {"tiff-raw", kTiffRawClasses, TiffRawIdentifiers(), true},
        {"archive-db-html", kArchiveDbClasses, ArchiveDbIdentifiers(), true},
        {"text-drawing", kTextDrawingClasses, TextDrawingIdentifiers(), true},
        {"documents", kDocumentClasses, DocumentIdentifiers(), true},
    };
    return groups;
}

// The bytes one of the class's registry signatures puts at the start of a sector; empty for the
// classes found by a magic inside the sector.
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

// The magic of the analysers that look inside the sector rather than at its first bytes.
inline void PutOffsetMagic(C cls, Disk& d) {
    if (cls == C::LZH) d.Put(2, d.rng() % 2 ? "-lh5-"sv : "-lh0-"sv);
    if (cls == C::EMF) d.Put(40, " EMF"sv);
    if (cls == C::TAR) d.Put(257, "ustar"sv);
}

inline void PutLength(std::vector<u8>& disk, size_t at, Rng& rng) {
    static const u32 kLengths[] = {0, 1, 6, 8, 24, 512, 4096, 0x7FFFFFFF, 0x80000000u, 0xFFFFFFFFu};
    const u32 value = rng() % 2 ? kLengths[rng() % std::size(kLengths)] : u32(rng() % 2048);
    for (int i = 0; i < 4 && at + i < disk.size(); ++i) {
        disk[at + i] = u8(rng() % 2 ? value >> (8 * i) : value >> (24 - 8 * i));
    }
}

// Zeros, random bytes, or mostly zeros with random bytes among them; eight bytes a draw, which
// keeps the short runs of the sanitizer build quick.
inline void FillDisk(std::vector<u8>& disk, Rng& rng) {
    const u32 fill = u32(rng() % 3);
    if (fill == 0) return;
    for (size_t i = 0; i + 8 <= disk.size(); i += 8) {
        u64 draw = rng();
        if (fill == 2) draw &= rng() & rng() & 0x00FF00FF00FF00FFull;
        std::memcpy(disk.data() + i, &draw, 8);
    }
}

// The largest size a walk may state: the widest bound of the walks (RAR's) and one last block
// past it, above every 32-bit length a header may give; a Photoshop image without compression
// may add the largest its header can describe (56 channels of 30000 x 30000 pixels of 32 bits).
inline u64 StatedSizeBound(C cls) {
    const u64 walks = LargestFileOffset() * 200 + (u64(1) << 33);
    return cls == C::PSD ? walks + u64(56) * 30000 * 30000 * 32 / 8 : walks;
}

// Which analyser broke which rule; the seed replays it.
inline fuzzverdict::Verdict Fail(const char* what, C cls, u64 value) {
    return fuzzverdict::Verdict::Broke(std::string(GetRawAnalyserClassInfo(cls).name) + ": " + what + ", " +
                                        std::to_string(value));
}

inline fuzzverdict::Verdict RunGroup(const Group& group, u64 seed) {
    Rng rng(seed);
    const C cls = group.classes[rng() % group.classes.size()];
    std::unique_ptr<IRawFileAnalyser> analyser(CreateRawFileAnalyser(cls));
    if (!analyser) return Fail("not built", cls, 0);
    const u32 sectorSize = rng() % 4 == 0 ? 4096 : 512;
    const u64 sectors = 2 + rng() % 200;
    std::vector<u8> disk(size_t(sectorSize) * sectors);
    FillDisk(disk, rng);
    // The end searches step over sectors whose last bytes are not zero.
    if (rng() % 2) {
        for (u64 s = 1; s <= sectors; ++s) {
            if (rng() % 3 == 0) std::memset(disk.data() + s * sectorSize - 16, 0, 16);
        }
    }
    Disk d{disk, rng, sectorSize};
    const std::vector<u8> signature = Signature(cls, rng);
    std::copy(signature.begin(), signature.end(), disk.begin());
    Lay(cls, d);
    PutOffsetMagic(cls, d);
    // Header fields: random lengths at random places of the first sector.
    for (int i = 0, n = int(rng() % (rng() % 2 ? 24 : 4)); i < n; ++i) PutLength(disk, rng() % 200, rng);
    const std::span<const std::string> ids = group.identifiers;
    for (int i = 0, n = int(rng() % 64); i < n; ++i) {
        const std::string& id = ids[rng() % ids.size()];
        // At a sector's start, just before a sector's end (where the end searches look) or anywhere.
        const u32 where = u32(rng() % 3);
        const size_t at = where == 0   ? (rng() % sectors) * sectorSize
                          : where == 1 ? (1 + rng() % sectors) * sectorSize - id.size() - rng() % 24
                                       : rng() % disk.size();
        if (at + id.size() + 8 > disk.size()) continue;
        std::memcpy(disk.data() + at, id.data(), id.size());
        if (rng() % 2) PutLength(disk, at + id.size(), rng);
    }
    std::vector<u8> sector(disk.begin(), disk.begin() + sectorSize);
    // The file at the device's start or a few sectors in; now and then the reads fail from a
    // sector on, as when the ring no longer holds it.
    const u64 lead = rng() % 4 ? 0 : 1 + rng() % 8;
    std::vector<u8> bytes(size_t(lead * sectorSize));
    FillDisk(bytes, rng);
    bytes.insert(bytes.end(), disk.begin(), disk.end());
    testutil::MemoryDevice device(std::move(bytes), sectorSize);
    if (rng() % 6 == 0) device.failFrom = rng() % (lead + sectors + 1);
    CRawFileInfo record;
    record.startSector = lead;
    const bool recognised = analyser->CheckFileHeader(sector.data(), u32(sector.size()), record) != 0;
    if (!recognised && rng() % 2) return fuzzverdict::Verdict::Ran(false);
    if (group.boundedHeaderSizes && record.size > StatedSizeBound(cls)) {
        return Fail("header states a size past the bound", cls, record.size);
    }
    record.size = 0;
    analyser->AnalyseFileSize(record, &device);
    if (record.size > StatedSizeBound(cls)) return Fail("walk states a size past the bound", cls, record.size);
    return fuzzverdict::Verdict::Ran(true);
}

// The containers group, kept as the default run of the suite's short run.
inline fuzzverdict::Verdict Run(u64 seed) { return RunGroup(Groups()[0], seed); }

}  // namespace rawfamilyfuzz
