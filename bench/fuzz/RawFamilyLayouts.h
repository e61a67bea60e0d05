#pragma once
// Plausible skeletons of the image, font, TIFF, camera-raw, archive, database, text, drawing and
// document formats for the family fuzzer: each writes the header fields its analyser checks and
// a chain of records whose lengths mostly lead to the next record and now and then are absurd,
// so that the walks get deep before the strewn identifiers and lengths lead them astray.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <random>
#include <string_view>
#include <vector>

#include "platform/Types.h"
#include "raw/AnalyserTables.h"

namespace rawfamilyfuzz {

using Rng = std::mt19937_64;
using namespace std::string_view_literals;

// The disk under construction; every write is cut at its end.
struct Disk {
    std::vector<u8>& bytes;
    Rng& rng;
    u64 sectorSize;

    u64 Size() const { return bytes.size(); }
    void Put(u64 at, std::string_view s) {
        if (at >= bytes.size()) return;
        std::memmove(bytes.data() + at, s.data(), std::min<u64>(s.size(), bytes.size() - at));
    }
    void PutInt(u64 at, u64 value, u32 width, bool big) {
        for (u32 i = 0; i < width && at + i < bytes.size(); ++i) {
            bytes[at + i] = u8(big ? value >> (8 * (width - 1 - i)) : value >> (8 * i));
        }
    }
    // A record length: mostly one that keeps the next record on the disk, at times an absurd one.
    u32 Length(u32 typical) {
        static const u32 kAbsurd[] = {0, 1, 0x7FFFFFFF, 0x80000000u, 0xFFFFFFF0u, 0xFFFFFFFFu};
        switch (rng() % 10) {
            case 0: return kAbsurd[rng() % std::size(kAbsurd)];
            case 1: return u32(rng());
            default: return u32(rng() % (typical + 1));
        }
    }
    // A length of a field that many records repeat: absurd only now and then.
    u32 FewAbsurd(u32 typical) { return rng() % 16 ? u32(rng() % (typical + 1)) : Length(typical); }
    // A header field: mostly in the range `from` to `to`, at times anything.
    u32 Field(u32 from, u32 to) { return rng() % 8 ? from + u32(rng() % (to - from + 1)) : u32(rng()); }
    // An offset on the disk, at times one past it.
    u32 Offset() { return rng() % 8 ? u32(rng() % Size()) : u32(rng()); }
    template <class T, size_t N>
    const T& Pick(const T (&items)[N]) {
        return items[rng() % N];
    }
};

// A chain of records: the marker at `markerAt`, the length at `lengthAt`, the next record
// `overhead` plus that length on. Returns where the chain ends.
struct ChainRule {
    u32 markerAt;
    u32 lengthAt;
    u32 lengthWidth;
    bool big;
    u64 overhead;
};
template <size_t N>
u64 LayChain(Disk& d, u64 p, const ChainRule& rule, const std::string_view (&markers)[N], u32 typical) {
    for (u32 i = 0, n = 1 + u32(d.rng() % 12); i < n && p < d.Size(); ++i) {
        const u32 length = d.Length(typical);
        d.Put(p + rule.markerAt, d.Pick(markers));
        d.PutInt(p + rule.lengthAt, length, rule.lengthWidth, rule.big);
        p += rule.overhead + length;
    }
    return p;
}

inline void LayPng(Disk& d) {
    static const std::string_view kChunks[] = {"IDAT"sv, "IDAT"sv, "tEXt"sv, "IEND"sv, "PLTE"sv};
    const u32 ihdr = d.rng() % 4 ? 13 : d.Length(64);
    d.Put(0, "\x89PNG\r\n\x1A\n"sv);
    d.PutInt(8, ihdr, 4, true);
    d.Put(12, "IHDR"sv);
    d.PutInt(16, d.Field(1, 4000), 4, true);
    d.PutInt(20, d.Field(1, 4000), 4, true);
    LayChain(d, 8 + 12 + u64(ihdr), {4, 0, 4, true, 12}, kChunks, 3000);
}

// Sub-blocks of a GIF image or extension: a length byte and that many bytes, a zero at the end.
inline u64 LayGifSubBlocks(Disk& d, u64 p) {
    for (u32 i = 0, n = u32(d.rng() % 6); i < n; ++i) {
        const u8 length = u8(d.rng());
        d.PutInt(p, length, 1, false);
        p += 1 + length;
    }
    if (d.rng() % 8) d.PutInt(p, 0, 1, false);
    return p + 1;
}

inline void LayGif(Disk& d) {
    d.Put(0, d.rng() % 2 ? "GIF89a"sv : "GIF87a"sv);
    const u8 flags = u8(d.rng());
    d.PutInt(10, flags, 1, false);
    u64 p = 13 + ((flags & 0x80) ? 3ull << ((flags & 7) + 1) : 0);
    for (u32 i = 0, n = u32(d.rng() % 8); i < n && p < d.Size(); ++i) {
        if (d.rng() % 2) {
            d.Put(p, "!\xF9"sv);
            p = LayGifSubBlocks(d, p + 2);
        } else {
            const u8 image = u8(d.rng() % 4 ? d.rng() & 0x7F : d.rng());
            d.Put(p, ","sv);
            d.PutInt(p + 9, image, 1, false);
            p += 10 + ((image & 0x80) ? 3ull << ((image & 7) + 1) : 0);
            d.PutInt(p, 8, 1, false);
            p = LayGifSubBlocks(d, p + 1);
        }
        if (d.rng() % 6 == 0) p += d.rng() % 1100;  // stray bytes to resynchronise over
    }
    d.Put(p, ";"sv);
}

inline void LayPsd(Disk& d) {
    static const u16 kDepths[] = {1, 8, 8, 16, 32};
    d.PutInt(4, d.rng() % 8 ? 1 : d.rng(), 2, true);
    d.PutInt(6, 0, 6, true);
    d.PutInt(12, d.Field(1, 5), 2, true);
    d.PutInt(14, d.Field(1, 300), 4, true);
    d.PutInt(18, d.Field(1, 300), 4, true);
    d.PutInt(22, d.rng() % 8 ? d.Pick(kDepths) : d.rng(), 2, true);
    u64 p = 26;
    for (int section = 0; section < 3; ++section) {
        const u32 length = d.FewAbsurd(2000);
        d.PutInt(p, length, 4, true);
        p += 4 + u64(length);
    }
    d.PutInt(p, d.rng() % 3, 2, true);
}

inline void LayCpt(Disk& d) {
    d.Put(4, "FILE"sv);
    d.PutInt(52, 316, 4, false);
    const u32 count = d.rng() % 4 ? 1 + u32(d.rng() % 20) : d.Length(100);
    d.PutInt(40, count, 4, false);
    const u64 last = 316 + 8ull * (u64(count) - 1);
    const u32 object = d.Offset();
    d.PutInt(last, object, 4, false);
    const u32 k = d.Length(500);
    d.PutInt(u64(object) + 32, k, 4, false);
    if (d.rng() % 2) d.PutInt(u64(object) + 60, k, 4, false);
    const u64 q = u64(object) + 60 + (d.rng() % 2 ? k : 0);
    const u32 a = d.Offset();
    d.PutInt(q, a, 4, false);
    d.PutInt(q + 4, d.rng() % 3 ? d.rng() : 0, 4, false);
    d.PutInt(u64(a) - 8, d.Offset(), 4, false);
    d.PutInt(u64(a) - 4, d.Length(4000), 4, false);
}

inline void LayIco(Disk& d) {
    const u32 images = d.rng() % 4 ? 1 + u32(d.rng() % 16) : u32(d.rng() % 64);
    d.PutInt(2, 1 + d.rng() % 2, 2, false);
    d.PutInt(4, images, 2, false);
    for (u32 i = 0; i < images && i < 32; ++i) {
        const u64 entry = 6 + 16ull * i;
        d.PutInt(entry + 3, d.rng() % 64 ? 0 : d.rng(), 1, false);
        d.PutInt(entry + 6, d.rng() % 64 ? 32 : d.rng(), 2, false);
        d.PutInt(entry + 8, d.FewAbsurd(0x8000), 4, false);
        d.PutInt(entry + 12, d.FewAbsurd(0x8000), 4, false);
    }
}

inline void LayWmf(Disk& d) {
    if (d.rng() % 2) {
        d.Put(0, "\x01\x00\x09\x00"sv);
        d.PutInt(6, d.Length(0x10000), 4, false);
        d.PutInt(16, d.rng() % 4 ? 0 : d.rng(), 2, false);
        return;
    }
    d.Put(0, "\xD7\xCD\xC6\x9A\x00\x00"sv);
    d.PutInt(16, 0, 4, false);
    u16 checksum = 0;
    for (u32 i = 0; i < 10; ++i) checksum ^= u16(d.bytes[2 * i] | d.bytes[2 * i + 1] << 8);
    d.PutInt(20, d.rng() % 8 ? checksum : u16(d.rng()), 2, false);
    d.PutInt(22, 0x00090001, 4, false);
    d.PutInt(28, d.Length(0x10000), 4, false);
    d.PutInt(38, 0, 2, false);
}

inline void LayTtf(Disk& d) {
    static const std::string_view kTags[] = {"cmap"sv, "glyf"sv, "head"sv, "hhea"sv, "loca"sv, "name"sv,
                                             "post"sv, "OS/2"sv, "DSIG"sv, "GSUB"sv, "xxxx"sv};
    const u32 tables = d.rng() % 4 ? 1 + u32(d.rng() % 31) : u32(d.rng() % 64);
    d.PutInt(4, tables, 2, true);
    for (u32 i = 0; i < tables && i < 31; ++i) {
        const u64 entry = 12 + 16ull * i;
        d.Put(entry, d.Pick(kTags));
        d.PutInt(entry + 8, d.Offset(), 4, true);
        d.PutInt(entry + 12, d.FewAbsurd(20000), 4, true);
    }
}

// One TIFF directory at `at` whose entries name the tags the walk handles; offsets point at the
// other directories, at data on the disk or anywhere.
inline void LayTiffDirectory(Disk& d, u64 at, bool big, const std::vector<u32>& directories) {
    static const u16 kTags[] = {0x010F, 0x0110, 0x0111, 0x0117, 0x0132, 0x0144, 0x0145, 0x014A, 0x0201,
                                0x0202, 0x0280, 0x83BB, 0x8769, 0x935C, 0x9003, 0x927C, 0xC612, 0xC634, 0x0100};
    static const std::string_view kMakes[] = {"NIKON CORP"sv, "Canon"sv, "SONY"sv, "Panasonic"sv, "LEICA"sv,
                                              "EASTMAN KODAK"sv, "SEIKO EPSON"sv, "Hasselblad"sv, "PENTAX"sv};
    const u32 n = d.rng() % 8 ? 1 + u32(d.rng() % 24) : u32(d.rng() % 0x10000);
    d.PutInt(at, n, 2, big);
    for (u32 i = 0; i < n && i < 40; ++i) {
        const u64 e = at + 2 + 12ull * i;
        const u16 tag = d.Pick(kTags);
        const u16 type = u16(d.rng() % 4 ? 3 + (d.rng() % 2) : d.rng() % 14);
        d.PutInt(e, tag, 2, big);
        d.PutInt(e + 2, type, 2, big);
        d.PutInt(e + 4, d.rng() % 3 ? 1 + d.rng() % 8 : d.Length(5000), 4, big);
        const bool directory = tag == 0x014A || tag == 0x8769 || tag == 0x927C;
        const u32 value = directory && !directories.empty() && d.rng() % 4 ? directories[d.rng() % directories.size()]
                                                                           : d.Offset();
        d.PutInt(e + 8, value, 4, big);
        if (tag == 0x010F && d.rng() % 2) d.Put(value, d.Pick(kMakes));
        if ((tag == 0x0111 || tag == 0x0201) && d.rng() % 4 == 0) d.Put(value, "\xFF\xD8\xFF\xE1"sv);
    }
    const u32 next = directories.empty() || d.rng() % 3 == 0 ? (d.rng() % 2 ? 0 : d.Offset())
                                                            : directories[d.rng() % directories.size()];
    d.PutInt(at + 2 + 12ull * std::min<u32>(n, 40), next, 4, big);
}

inline void LayTiff(Disk& d) {
    const bool big = d.bytes[0] == 'M';
    const u32 kind = u32(d.rng() % 6);
    u64 base = 0;
    if (kind == 0) {  // RAF: the TIFF structure 160 bytes in, a header of (offset, length) pairs before it
        d.Put(0, "FUJIFILMCCD-RAW 0201"sv);
        for (u64 at : {84, 88, 92, 96, 100, 104}) d.PutInt(at, at % 8 == 4 ? d.Offset() : d.Length(20000), 4, true);
        d.PutInt(132, d.rng() % 3 ? 0 : d.Length(5000), 4, true);
        base = 160;
        d.Put(base, big ? "MM\x00\x2A"sv : "II\x2A\x00"sv);
    }
    std::vector<u32> directories;
    for (u32 i = 0, n = 1 + u32(d.rng() % 5); i < n; ++i) {
        const u64 room = std::max<u64>(1, d.Size() - std::min<u64>(d.Size(), base + 16));
        directories.push_back(u32((d.rng() % room) & ~u64(1)) + 8);
    }
    d.PutInt(base + 4, directories[0], 4, big);
    for (u32 at : directories) LayTiffDirectory(d, base + at, big, directories);
}

inline void LayCrw(Disk& d) {
    static const std::string_view kKinds[] = {"CCDR"sv, "TIFP"sv, "ARCH"sv};
    d.Put(4, "\x00\x00HEAP"sv);
    d.Put(10, d.Pick(kKinds));
    d.PutInt(14, d.rng() % 8 ? 2 : d.rng(), 1, false);
}

inline void LayLzh(Disk& d) {
    static const std::string_view kMethods[] = {"-lh5-"sv, "-lh0-"sv, "-lh5-"sv, "-lhd-"sv};
    u64 p = 0;
    for (u32 i = 0, n = 1 + u32(d.rng() % 10); i < n && p < d.Size(); ++i) {
        const u8 header = u8(d.rng() % 4 ? 20 + d.rng() % 40 : d.rng());
        const u32 packed = d.Length(5000);
        d.PutInt(p, header, 1, false);
        d.Put(p + 2, d.Pick(kMethods));
        d.PutInt(p + 7, packed, 4, false);
        p += 2 + u64(header) + packed;
    }
}

inline void LayTar(Disk& d) {
    // Members are rounded to the device's sectors; now and then to the 512 bytes of a TAR block.
    const u64 sector = d.rng() % 4 ? d.sectorSize : 512;
    u64 p = 0;
    for (u32 i = 0, n = 1 + u32(d.rng() % 10); i < n && p < d.Size(); ++i) {
        const u64 member = d.rng() % 4 ? d.rng() % 20000 : d.rng() % (u64(1) << 33);
        char octal[12];
        std::snprintf(octal, sizeof(octal), "%011llo", static_cast<unsigned long long>(member));
        if (d.rng() % 8 == 0) octal[d.rng() % 11] = char(d.rng() % 2 ? '9' : d.rng());
        d.Put(p, d.rng() % 4 ? "usr/file.txt"sv : "\x90name"sv);
        d.Put(p + 124, std::string_view(octal, 11));
        if (d.rng() % 8) d.Put(p + 257, "ustar"sv);
        p += 512 + (member + sector - 1) / sector * sector;
    }
}

inline void LayMdb(Disk& d) {
    d.Put(4, d.rng() % 2 ? "Standard Jet DB\0"sv : "Standard ACE DB\0"sv);
    for (u64 page = 4096; page < d.Size(); page += 4096) d.PutInt(page, d.rng() % 6 ? 1 + d.rng() % 255 : 0, 1, false);
}

inline void LayGz(Disk& d) {
    const u8 flags = u8(d.rng() % 4 ? d.rng() & 0x1E : d.rng());
    d.Put(0, "\x1F\x8B\x08"sv);
    d.PutInt(3, flags, 1, false);
    d.PutInt(8, d.rng() % 2 ? 2 : 4, 1, false);
    d.PutInt(9, d.rng() % 4 ? 3 : d.rng(), 1, false);
    u64 p = 10;
    if (flags & 4) {
        const u32 extra = d.rng() % 4 ? d.rng() % 300 : u16(d.rng());
        d.PutInt(p, extra, 2, false);
        p += 2 + extra;
    }
    for (u32 text : {8u, 16u}) {
        if (!(flags & text)) continue;
        const u64 length = d.rng() % 4 ? d.rng() % 300 : d.rng() % d.Size();
        for (u64 i = 0; i < length && p + i < d.Size(); ++i) d.bytes[p + i] = u8('a' + d.rng() % 26);
        p += length;
        if (d.rng() % 8) d.PutInt(p, 0, 1, false);
        ++p;
    }
}

// A UTF-16 little-endian text.
inline void PutWide(Disk& d, u64 at, std::string_view text) {
    for (size_t i = 0; i < text.size(); ++i) d.PutInt(at + 2 * i, u8(text[i]), 2, false);
}

inline void LayHtml(Disk& d, bool wide) {
    if (!wide) {
        d.Put(0, d.rng() % 2 ? "<html><body>"sv : "<!DOCTYPE HTML PUBLIC>"sv);
        return;
    }
    d.Put(0, "\xFF\xFE"sv);
    PutWide(d, 2, d.rng() % 2 ? "<HTML>"sv : "<!-- x --><html>"sv);
    for (u32 i = 0, n = u32(d.rng() % 4); i < n; ++i) PutWide(d, 2 * (d.rng() % (d.Size() / 2)), "</html>"sv);
}

inline void LayEps(Disk& d) {
    if (d.rng() % 2) {
        d.Put(0, "%!PS-Adobe-3.0 EPSF-3.0\n"sv);
        return;
    }
    static const std::string_view kKinds[] = {"\xFF\xFF\x25\x21"sv, "\xFF\xFF\x00\x00"sv, "\xFF\xFF\x49\x49"sv,
                                              "\xFF\xFF\x49\x4A"sv};
    d.Put(0, "\xC5\xD0\xD3\xC6"sv);
    for (u64 at = 4; at < 28; at += 4) d.PutInt(at, d.Length(100000), 4, false);
    d.Put(28, d.Pick(kKinds));
}

inline void LayDwg(Disk& d) {
    static const std::string_view kVersions[] = {"AC1018"sv, "AC1015"sv, "AC1014"sv, "AC1013"sv,
                                                 "AC1009"sv, "AC1012"sv, "AC1021"sv, "AC1024"sv};
    static constexpr std::string_view kSentinel = "\x1F\x25\x6D\x07\xD4\x36\x28\x28\x9D\x57\xCA\x3F\x9D\x44\x10\x2B"sv;
    static constexpr std::string_view kR2004 = "\x68\x40\xF8\xF7\x92\x2A\xB5\xEF\x18\xDD\x0B\xF1\xF1\xBB\xE9\xEB"sv;
    const std::string_view version = d.Pick(kVersions);
    d.Put(0, version);
    d.Put(6, "\0\0"sv);
    const u32 records = d.rng() % 4 ? 1 + u32(d.rng() % 100) : u32(d.rng());
    const u32 image = d.rng() % 4 ? 25 + 9 * std::min<u32>(records, 100) + u32(d.rng() % 64) : d.Offset();
    d.PutInt(21, records, 4, false);
    d.PutInt(13, image, 4, false);
    for (u32 i = 0; i < records && i < 100; ++i) {
        d.PutInt(25 + 9ull * i + 1, d.Offset(), 4, false);
        d.PutInt(25 + 9ull * i + 5, d.Length(20000), 4, false);
    }
    d.Put(image, kSentinel);
    const bool r2004 = version == "AC1018"sv;
    if (r2004 || d.rng() % 2) d.Put(128, r2004 && d.rng() % 8 ? kR2004 : std::string_view("0123456789ABCDEF"));
    // Copies of the block and of the version near sector ends, where the end search looks.
    for (u32 i = 0, n = u32(d.rng() % 4); i < n; ++i) {
        d.Put(d.rng() % d.Size(), std::string_view(reinterpret_cast<const char*>(d.bytes.data() + 128), 16));
    }
    for (u32 i = 0, n = u32(d.rng() % 3); i < n; ++i) d.Put(d.rng() % d.Size(), version);
}

inline void LayPdf(Disk& d) {
    if (d.rng() % 3 == 0) {
        d.Put(0, "%!PS-Adobe-3.0\n%%Creator: Adobe Illustrator(R) 13\n"sv);
        d.PutInt(d.rng() % 1100, 0, 1, false);
        return;
    }
    d.Put(0, "%PDF-1.4\n1 0 obj << /Linearized 1 /L "sv);
}

inline void LayPsp(Disk& d) {
    static const std::string_view kMarkers[] = {"~BK\0"sv, "~BK\0"sv, "~BK\0"sv, "~FL\0"sv};
    d.Put(0, std::string_view("Paint Shop Pro Image File\n\x1A\0\0\0\0\0", 32));
    LayChain(d, 36, {0, 6, 4, false, 10}, kMarkers, 3000);
}

inline void LayPst(Disk& d) {
    static const u8 kVersions[] = {14, 23, 15, 0};
    d.PutInt(10, d.Pick(kVersions), 1, false);
    d.PutInt(168, d.Length(0x1000000), 4, false);
    d.PutInt(184, d.Length(0x1000000), 4, false);
}

inline void LayJpg(Disk& d) {
    static const std::string_view kMarkers[] = {"\xFF\xE1"sv, "\xFF\xDB"sv, "\xFF\xC0"sv, "\xFF\xC4"sv,
                                                "\xFF\xDA"sv, "\xFF\xFE"sv, "\xFF\xD9"sv};
    LayChain(d, 2, {0, 2, 2, true, 2}, kMarkers, 3000);
}

// The skeleton of the class's format over the signature already in place; nothing for the
// classes whose analysers read no more than their signature's sector.
inline void Lay(RawAnalyserClass cls, Disk& d) {
    using C = RawAnalyserClass;
    switch (cls) {
        case C::PNG: LayPng(d); break;
        case C::GIF: LayGif(d); break;
        case C::PSD: LayPsd(d); break;
        case C::CPT: LayCpt(d); break;
        case C::ICO: LayIco(d); break;
        case C::WMF: LayWmf(d); break;
        case C::TTF: LayTtf(d); break;
        case C::TIF: LayTiff(d); break;
        case C::CRW: LayCrw(d); break;
        case C::LZH: LayLzh(d); break;
        case C::TAR: LayTar(d); break;
        case C::MDB: LayMdb(d); break;
        case C::GZ: LayGz(d); break;
        case C::HTM: LayHtml(d, false); break;
        case C::UnicodeHTM: LayHtml(d, true); break;
        case C::RTF: d.Put(0, "{\\rtf1\\ansi "sv); break;
        case C::EPS: LayEps(d); break;
        case C::SVG: d.Put(0, "<?xml version=\"1.0\"?>\n<svg xmlns=\"x\">\n"sv); break;
        case C::DXF: d.Put(0, "  0\r\nSECTION\r\n  2\r\nHEADER\r\n"sv); break;
        case C::DWG: LayDwg(d); break;
        case C::PDF: LayPdf(d); break;
        case C::PSP: LayPsp(d); break;
        case C::PST: LayPst(d); break;
        case C::JPG: LayJpg(d); break;
        default: break;  // X3F lives on its strewn directory markers
    }
}

}  // namespace rawfamilyfuzz
