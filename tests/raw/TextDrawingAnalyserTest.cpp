// The text and drawing analysers: end markers found in the sector where the file stops (also
// across a sector boundary), headers that give the length, and damaged or cut files that are
// refused or end where the search stopped.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "AnalyserTestDevice.h"
#include "RawTestBytes.h"
#include "raw/FileTextDrawingAnalysers.h"

namespace {

using rawtest::Analyse;

std::vector<u8> Bytes(const std::string& s) { return std::vector<u8>(s.begin(), s.end()); }

TEST(TextDrawingAnalysers, RtfEndsWhereItsBracesBalance) {
    struct Case {
        const char* what;
        std::string text;
        u8 after;
        u32 result;
        u64 size;
        u64 missing;  // closing braces its own bytes still owe where the walk lost its end
    };
    const std::string body = "{\\rtf1{\\fonttbl{\\f0 Serif;}}{\\b bold} text}";
    const std::vector<Case> cases = {
        {"balanced, then a zero byte", body + "\n", 0x00, 1, body.size(), 0},
        {"cut inside a group", body.substr(0, 20), 0x00, 0, 20, 3},
        {"cut, then text that never closes", body.substr(0, 20), 'a', 0, 0, 3},
        // Byte 5 is never examined: a brace there does not count.
        {"brace in the skipped byte", "{\\rtf{1}}}", 0x00, 1, 8, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FileRTFAnalyser rtf;
        const rawtest::Analysed a = Analyse(rtf, Bytes(c.text), c.after, 2);
        ASSERT_EQ(a.header, 1u);
        EXPECT_EQ(a.result, c.result);
        EXPECT_EQ(a.record.missingBytes, c.missing);
        if (c.after == 0) {
            EXPECT_EQ(a.size, c.size);
        } else {
            // Runs out at the end of the device, having read no byte twice.
            EXPECT_LE(a.size, (rawtest::kFileSector + 3) * 512u);
        }
    }
}

// The walks pass over whole window spans at a time: their ends must come out the same wherever
// they fall against the 64 KiB windows and the 8-byte steps inside them.
TEST(TextDrawingAnalysers, RtfAndEpsEndsFallingOnAndAcrossWindowEdges) {
    constexpr size_t kWindow = 128 * 512;
    for (size_t end : {kWindow - 1, kWindow, kWindow + 1, 2 * kWindow + 7, 2 * kWindow + 8}) {
        SCOPED_TRACE(end);
        // Groups open and close all along; the outer one closes at byte `end`.
        std::string text = "{\\rtf1 ";
        while (text.size() + 16 < end) text += (text.size() % 4096 < 16) ? "{\\b x}" : "text of the letter ";
        text.resize(end, 'z');
        text += "}";
        FileRTFAnalyser rtf;
        const rawtest::Analysed a = Analyse(rtf, Bytes(text), 0, 2);
        EXPECT_EQ(a.result, 1u);
        EXPECT_EQ(a.size, end + 1);
        // A zero byte inside the group past a window edge ends the walk there, refused.
        std::string cut = text.substr(0, end);
        cut[end - 1] = '\0';
        FileRTFAnalyser cutRtf;
        const rawtest::Analysed c = Analyse(cutRtf, Bytes(cut), 'a', 2);
        EXPECT_EQ(c.result, 0u);
        EXPECT_EQ(c.size, end - 1);
    }
    // Sectors of zeros up to the end comment, which lies in a later window or straddles the first
    // window's last sector and the next: each zero sector is searched, the comment found once.
    for (size_t at : {3 * kWindow + 100, kWindow - 10}) {
        SCOPED_TRACE(at);
        std::string text = "%!PS-Adobe-3.0\n";
        text.resize(at, '\0');
        text += "%AI9_PrivateDataEnd\r\n";
        FileEPSAnalyser eps;
        const rawtest::Analysed a = Analyse(eps, Bytes(text));
        EXPECT_EQ(a.result, 1u);
        EXPECT_EQ(a.size, text.size());
    }
}

std::vector<u8> EpsBinary(u8 k2, u8 k3, u32 psAt, u32 psLength) {
    std::vector<u8> v = {0xC5, 0xD0, 0xD3, 0xC6};
    rawtest::Put32(v, psAt, false);
    rawtest::Put32(v, psLength, false);
    rawtest::Put32(v, 5000, false);
    rawtest::Put32(v, 100, false);
    rawtest::Put32(v, 6000, false);
    rawtest::Put32(v, 200, false);
    v.insert(v.end(), {0xFF, 0xFF, k2, k3});
    v.resize(512, 0);
    return v;
}

TEST(TextDrawingAnalysers, EpsBinaryHeadersAndTheIllustratorEndComment) {
    struct Case {
        const char* what;
        std::vector<u8> sector;
        u32 header;
        u64 size;
    };
    const std::vector<Case> cases = {
        {"metafile and TIFF preview", EpsBinary(0x25, 0x21, 30, 4000), 1, 5000 + 100 + 6000 + 200},
        {"PostScript section alone", EpsBinary(0x49, 0x49, 30, 4000), 1, 4030},
        {"unknown kind", EpsBinary(0x12, 0x34, 30, 4000), 0, 0},
        {"section longer than any file searched", EpsBinary(0x49, 0x49, 30, 0xF0000000u), 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FileEPSAnalyser eps;
        CRawFileInfo record;
        EXPECT_EQ(eps.CheckFileHeader(c.sector.data(), u32(c.sector.size()), record), c.header);
        EXPECT_EQ(record.size, c.size);
    }
    // The end comment in the text's last sector, and split across a sector boundary.
    for (size_t cut : {900u, 1024u - 8u}) {
        SCOPED_TRACE(cut);
        std::string text = "%!PS-Adobe-3.0\n" + std::string(cut - 15, 'p');
        text += "%AI9_PrivateDataEnd\r\n";
        FileEPSAnalyser eps;
        const rawtest::Analysed a = Analyse(eps, Bytes(text));
        ASSERT_EQ(a.header, 1u);
        EXPECT_EQ(a.result, 1u);
        EXPECT_EQ(a.size, text.size());
    }
    // Without it the search stops at the disk's end, never beyond.
    FileEPSAnalyser plain;
    const rawtest::Analysed a = Analyse(plain, Bytes("%!PS-Adobe-3.0 EPSF-3.0\n%%EOF\n"), 0, 6);
    EXPECT_EQ(a.result, 1u);
    EXPECT_EQ(a.size, 7 * 512u);
}

TEST(TextDrawingAnalysers, SvgEndsAfterItsClosingTag) {
    const std::string head = "<?xml version=\"1.0\"?>\n<svg xmlns=\"http://www.w3.org/2000/svg\">\n";
    struct Case {
        const char* what;
        size_t filler;
        u64 size;
    };
    const std::vector<Case> cases = {
        {"tag inside a sector", 300, 0},
        // The line feed and "</sv" end the first sector: the file is sized to the end of the next.
        {"tag across the boundary", 512 - head.size() - 5, 1024},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string text = head + std::string(c.filler, 's') + "\n</svg>\r\n";
        FileSVGAnalyser svg;
        const rawtest::Analysed a = Analyse(svg, Bytes(text));
        ASSERT_EQ(a.header, 1u);
        EXPECT_EQ(a.result, 1u);
        EXPECT_EQ(a.size, c.size ? c.size : text.size());
    }
    FileSVGAnalyser svg;
    EXPECT_EQ(Analyse(svg, Bytes("<?xml version=\"1.0\"?>\n<html></html>")).header, 0u);
    CRawFileInfo record;
    EXPECT_EQ(svg.AnalyseFileSize(record, nullptr), 0u);
}

TEST(TextDrawingAnalysers, DxfEndsAfterItsEofGroup) {
    const std::string text = "  0\r\nSECTION\r\n  2\r\nHEADER\r\n" + std::string(700, 'd') + "  0\r\nEOF\r\n";
    FileDXFAnalyser dxf;
    rawtest::Analysed a = Analyse(dxf, Bytes(text));
    ASSERT_EQ(a.header, 1u);
    EXPECT_EQ(a.size, text.size());
    FileDXFAnalyser other;
    EXPECT_EQ(Analyse(other, Bytes("  0\r\nSECTION\r\n  2\r\nTABLES\r\n")).header, 0u);
}

std::vector<u8> DwgR2000(u32 records, u32 lastPosition, u32 lastSize, bool sentinel) {
    std::vector<u8> v(2048, 0x10);
    std::memcpy(v.data(), "AC1015\0\0", 8);
    const u32 image = 1000;
    std::memcpy(v.data() + 13, &image, 4);
    std::memcpy(v.data() + 21, &records, 4);
    for (u32 i = 0; i < records && i < 100; ++i) {
        u8* r = v.data() + 25 + 9 * i;
        r[0] = u8(i);
        const u32 position = i + 1 == records ? lastPosition : 100 * (i + 1);
        const u32 size = i + 1 == records ? lastSize : 50;
        std::memcpy(r + 1, &position, 4);
        std::memcpy(r + 5, &size, 4);
    }
    const u8 mark[16] = {0x1F, 0x25, 0x6D, 0x07, 0xD4, 0x36, 0x28, 0x28,
                         0x9D, 0x57, 0xCA, 0x3F, 0x9D, 0x44, 0x10, 0x2B};
    if (sentinel) std::memcpy(v.data() + image, mark, 16);
    return v;
}

TEST(TextDrawingAnalysers, DwgIsSizedByVersion) {
    struct Case {
        const char* what;
        std::vector<u8> bytes;
        u32 result;
        u64 size;
    };
    std::vector<u8> r12(600, 0x10);
    std::memcpy(r12.data(), "AC1009\0\0", 8);
    const std::vector<Case> cases = {
        {"R2000 with five records", DwgR2000(5, 40000, 1200, true), 1, 41200},
        {"R2000 without its sentinel", DwgR2000(5, 40000, 1200, false), 0, 0},
        {"R2000 with 101 records", DwgR2000(101, 40000, 1200, true), 0, 0},
        {"R2000 whose last record is empty", DwgR2000(3, 40000, 0, true), 0, 0},
        {"R12", r12, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FileDWGAnalyser dwg;
        const rawtest::Analysed a = Analyse(dwg, c.bytes);
        ASSERT_EQ(a.header, 1u);
        EXPECT_EQ(a.fileType, FileDWGAnalyser::kType);
        EXPECT_EQ(a.result, c.result);
        EXPECT_EQ(a.size, c.size);
    }
    // R2004: the block of the header found again near the end gives the length.
    const u8 block[16] = {0x68, 0x40, 0xF8, 0xF7, 0x92, 0x2A, 0xB5, 0xEF,
                          0x18, 0xDD, 0x0B, 0xF1, 0xF1, 0xBB, 0xE9, 0xEB};
    std::vector<u8> r2004(3000, 0x10);
    std::memcpy(r2004.data(), "AC1018\0\0", 8);
    std::memcpy(r2004.data() + 128, block, 16);
    std::memcpy(r2004.data() + 2600, block, 16);
    r2004.resize(3072, 0);
    FileDWGAnalyser dwg;
    const rawtest::Analysed a = Analyse(dwg, r2004);
    EXPECT_EQ(a.result, 1u);
    EXPECT_EQ(a.size, 2600u + 108);
    std::vector<u8> notDwg(512, 0);
    std::memcpy(notDwg.data(), "AC1099\0\0", 8);
    FileDWGAnalyser other;
    CRawFileInfo record;
    EXPECT_EQ(other.CheckFileHeader(notDwg.data(), u32(notDwg.size()), record), 0u);
}

}  // namespace
