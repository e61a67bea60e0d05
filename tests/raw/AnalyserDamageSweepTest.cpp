// Seeded sweeps of damaged files through every image, font, archive, document and camera-raw
// analyser: random bytes behind each registered signature, cut at random places, on devices of
// 512- and 4096-byte sectors. Each run must end, read nothing outside its buffers (the sanitizer
// build runs this too) and leave a length no walk bound allows it to pass.
#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <set>
#include <vector>

#include "AnalyserTestDevice.h"
#include "raw/AnalyserTables.h"
#include "raw/ReadWindow.h"

namespace {

using C = RawAnalyserClass;

constexpr u32 kSeedsPerClass = 60;

// Header fields a few formats are refused without, written over the random bytes.
void Shape(C cls, std::vector<u8>& v, std::mt19937_64& random) {
    auto put = [&v](size_t at, const char* text) { std::memcpy(v.data() + at, text, std::strlen(text)); };
    switch (cls) {
        case C::TAR: put(257, "ustar"); break;
        case C::LZH: put(2, random() % 2 ? "-lh5-" : "-lh0-"); break;
        case C::PNG: put(4, "\r\n\x1a\n"); put(12, "IHDR"); break;
        case C::GIF: put(4, random() % 2 ? "9a" : "7a"); break;
        case C::CPT: put(4, "FILE"); v[52] = 0x3C; v[53] = 1; v[54] = v[55] = 0; break;
        case C::RTF: v[4] = 'f'; break;
        case C::EPS: put(0, "%!PS-Adobe"); break;
        case C::SVG: put(0, "<?xml version=\"1.0\"?><svg "); break;
        case C::DXF: put(0, "  0\r\nSECTION\r\n  2\r\nHEADER\r\n"); break;
        case C::DWG: put(0, random() % 2 ? "AC1015" : "AC1018"); v[6] = v[7] = 0; break;
        case C::PDF: v[4] = '-'; break;
        case C::PSP: put(0, "Paint Shop Pro Image File\n\x1a"); std::memset(v.data() + 27, 0, 5); put(36, "~BK"); v[39] = 0; break;
        case C::HTM: put(0, "<html"); break;
        case C::MDB: v[2] = v[3] = 0; put(4, "Standard Jet DB"); v[19] = 0; break;
        case C::UnicodeHTM: v[2] = '<'; v[3] = 0; break;
        case C::ICO:
            v[2] = 1; v[3] = 0; v[4] = u8(1 + random() % 3); v[5] = 0;
            for (int i = 0; i < 3; ++i) {
                for (int at : {3, 7, 10, 11, 14, 15}) v[6 + 16 * i + at] = 0;
            }
            break;
        case C::WMF: v[16] = v[17] = 0; break;
        case C::TTF:
            v[4] = 0; v[5] = u8(1 + random() % 4);
            for (int i = 0; i < 4; ++i) put(12 + 16 * i, i % 2 ? "glyf" : "cmap");
            break;
        case C::GZ: v[2] = 8; v[3] = u8(random() % 32); v[8] = 2; v[9] = 3; break;
        case C::CRW: put(4, std::string("\0\0HEAPCCDR\x02", 11).c_str()); v[4] = v[5] = 0; put(6, "HEAPCCDR"); v[14] = 2; break;
        default: break;
    }
}

std::vector<u8> Signature(C cls) {
    for (const Signature4Entry& e : Signature4Assignments()) {
        if (e.cls == cls) return {e.bytes[0], e.bytes[1], e.bytes[2], e.bytes[3]};
    }
    for (const Signature2Entry& e : Signature2Inserts()) {
        if (e.cls == cls) return {e.bytes[0], e.bytes[1]};
    }
    return {};
}

TEST(AnalyserDamageSweep, DamagedFilesEndWithinTheirBounds) {
    const C classes[] = {C::PNG, C::GIF, C::PSD, C::CPT, C::X3F, C::ICO, C::WMF, C::TTF, C::LZH, C::TAR,
                         C::MDB, C::GZ,  C::HTM, C::UnicodeHTM, C::RTF, C::EPS, C::SVG, C::DXF, C::DWG,
                         C::PDF, C::TIF, C::CRW, C::PSP, C::PST};
    // The largest length any of these searches may give: a header's own 32-bit sums, or a walk
    // that steps past its bound by one 32-bit length at most.
    const u64 largest = 4 * LargestFileOffset() + (u64(1) << 33);
    std::mt19937_64 random(20261207);
    for (C cls : classes) {
        SCOPED_TRACE(GetRawAnalyserClassInfo(cls).name);
        u32 matched = 0;
        for (u32 seed = 0; seed < kSeedsPerClass; ++seed) {
            const u32 sector = seed % 4 == 3 ? 4096 : 512;
            std::vector<u8> file(size_t(sector) * (1 + random() % 24));
            for (u8& b : file) b = u8(random());
            // Runs of zeros end sectors the way the end searches look for.
            for (size_t at = sector - 64; at < file.size(); at += sector * (1 + random() % 3)) {
                std::fill(file.begin() + long(at), file.begin() + long(at + 64), 0);
            }
            const std::vector<u8> signature = Signature(cls);
            std::copy(signature.begin(), signature.end(), file.begin());
            Shape(cls, file, random);
            // Small directory and chunk fields keep walks inside the file more often.
            for (int k = 0; k < 8; ++k) file[4 + random() % (sector - 8)] = u8(random() % 4);
            file.resize(std::max<size_t>(sector, random() % (file.size() + 1)));
            std::unique_ptr<IRawFileAnalyser> analyser(CreateRawFileAnalyser(cls));
            ASSERT_NE(analyser, nullptr);
            const rawtest::Analysed a = rawtest::Analyse(*analyser, file, u8(random() % 2 ? 0 : random()),
                                                         random() % 4, sector);
            matched += a.header != 0;
            EXPECT_LE(a.size, largest) << "seed " << seed;
        }
        EXPECT_GT(matched, 0u);
    }
}

}  // namespace
