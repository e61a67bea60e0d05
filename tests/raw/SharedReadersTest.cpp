// The small readers the analysers share: byte search, text end markers, MP4 boxes, text
// conversion, MPEG audio headers, ID3 sizes, RAR blocks and ZIP records.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "ImageDevice.h"
#include "RawTestBytes.h"
#include "engine/RawFileInfo.h"
#include "raw/ArchiveRecords.h"
#include "raw/MpegAudioHeader.h"
#include "raw/RawTextConvert.h"
#include "raw/ReadWindow.h"

namespace {

const u8* Bytes(const char* s) { return reinterpret_cast<const u8*>(s); }

TEST(SharedReaders, FindBytesGzipAndCrc) {
    const char* text = "abcabcd";
    EXPECT_EQ(FindBytes(Bytes(text), 7, Bytes("abcd"), 4), Bytes(text) + 3);
    EXPECT_EQ(FindBytes(Bytes(text), 7, Bytes("abcabcd"), 7), Bytes(text)) << "a pattern as long as the buffer";
    EXPECT_EQ(FindBytes(Bytes(text), 6, Bytes("abcd"), 4), nullptr);
    EXPECT_EQ(FindBytes(Bytes(text), 0, Bytes("a"), 1), nullptr);
    EXPECT_EQ(FindBytes(Bytes(text), 7, Bytes("a"), 0), nullptr);
    EXPECT_EQ(FindBytes(Bytes(text), 7, Bytes("d"), 1), Bytes(text) + 6) << "a one-byte pattern in the last byte";
    EXPECT_EQ(FindBytes(Bytes(text), 7, Bytes("cd"), 2), Bytes(text) + 5) << "its first byte seen earlier, unmatched";
    EXPECT_EQ(FindBytes(Bytes(text), 7, Bytes("cx"), 2), nullptr);
    const u8 gzip[10] = {0x1F, 0x8B, 8, 0, 0, 0, 0, 0, 0, 3};
    EXPECT_TRUE(IsGzipHeader(gzip));
    u8 bad[10];
    std::memcpy(bad, gzip, 10);
    bad[9] = 14;
    EXPECT_FALSE(IsGzipHeader(bad));
    EXPECT_EQ(Crc32Buffer(Bytes("123456789"), 9), 0xCBF43926u);
    i64 size = 0;
    const u8 big[8] = {0x12, 0x34, 0x56, 0x78, 0, 0, 0x10, 0};
    EXPECT_TRUE(ReadBigEndianSize(big, size));
    EXPECT_EQ(size, 0x1000);
    const u8 highBit[8] = {0, 0, 0, 1, 0x80, 0, 0, 0};
    EXPECT_FALSE(ReadBigEndianSize(highBit, size));
}

TEST(SharedReaders, TextEndMarkersAndMp4BoxesSetTheSize) {
    testutil::MemoryDevice device(512, 64);
    // An HTML text over three sectors, its end marker in upper case, zero padding after it.
    std::string html(1300, 'x');
    html += "</HTML>\n";
    device.Put(512, std::vector<u8>(html.begin(), html.end()));
    TextEndMarker marker;
    std::memcpy(marker.text, "</html>", 7);
    marker.length = 7;
    marker.searchBound = 0x100000;
    CRawFileInfo record;
    record.startSector = 1;
    EXPECT_EQ(FindTextEndMarker(record, &device, marker, 0), 1u);
    EXPECT_EQ(record.size, html.size() - 1);

    // ftyp, moov, mdat, then a box of no known type ends the walk at its position.
    std::vector<u8> mp4;
    auto box = [&](u32 size, const char* type) {
        rawtest::Put32(mp4, size, true);
        mp4.insert(mp4.end(), type, type + 4);
        mp4.resize(mp4.size() + size - 8, 0x22);
    };
    box(24, "ftyp");
    box(100, "moov");
    box(3000, "mdat");
    box(40, "junk");
    device.Put(20 * 512, mp4);
    CRawFileInfo movie;
    movie.startSector = 20;
    EXPECT_EQ(WalkMp4Boxes(movie, &device), 1u);
    EXPECT_EQ(movie.size, 3124u);
}

TEST(TextConvert, Utf8AndUtf16BothWays) {
    u16 units[8] = {};
    EXPECT_EQ(Utf8ToUtf16(Bytes("\xC3\xA9"), 2, units, 8), 1u);
    EXPECT_EQ(units[0], 0x00E9);
    EXPECT_EQ(Utf8ToUtf16(Bytes("\xF0\x9F\x98\x80"), 4, units, 8), 2u);
    EXPECT_EQ(units[0], 0xD83D);
    EXPECT_EQ(units[1], 0xDE00);
    EXPECT_EQ(Utf8ToUtf16(Bytes("a\x80"), 2, units, 8), 0u) << "a continuation byte as a lead";
    EXPECT_EQ(Utf8ToUtf16(Bytes("a\xC3"), 2, units, 8), 1u) << "a sequence cut by the source's end";
    EXPECT_EQ(Utf8ToUtf16(Bytes("\xC3\x28"), 2, units, 8), 0u);
    EXPECT_EQ(Utf8ToUtf16(Bytes("abc"), 3, units, 2), 2u) << "a full target";

    const u16 wide[] = {'A', 0xE9, 0x20AC, 0xD83D, 0xDE00};
    u8 out[16] = {};
    EXPECT_EQ(Utf16ToUtf8(wide, 5, out, sizeof(out)), 10u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(out), 10), "A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80");
    EXPECT_EQ(Utf16ToUtf8(wide, 5, out, 5), 3u) << "stops before a sequence that does not fit";
    EXPECT_EQ(Utf16ToUtf8(wide + 3, 1, out, sizeof(out)), 0u) << "a lone high surrogate at the end";

    u8 page[16] = {};
    EXPECT_EQ(Utf8ToCodePage(Bytes("caf\xC3\xA9"), 5, page, sizeof(page)), 5u);
    EXPECT_EQ(CodePageToUtf8(Bytes("\xFF"), 1, page, sizeof(page)), 0u);

    u32 code = 0;
    EXPECT_EQ(Utf8DecodeChar(Bytes("\xF0\x9F\x98\x80"), 4, code), 4u);
    EXPECT_EQ(code, 0x1F600u - 0x10000u);
    EXPECT_EQ(Utf8DecodeChar(Bytes("\xF0\x9F"), 2, code), 0u) << "runs past the bytes given";

    EXPECT_EQ(Utf8Compare("abc", "abd", ~size_t(0)), -1);
    EXPECT_EQ(Utf8Compare("abc", "abcd", 3), -1) << "a tie of the compared part: the longer is greater";
    EXPECT_EQ(Utf8Compare("abc", "abc", 2), 0);
    size_t chars = 0, bytes = 0;
    Utf8CountChars("a\xE2\x82\xAC", chars, bytes, 100);
    EXPECT_EQ(bytes, 4u);
    EXPECT_EQ(chars, 2u);
    EXPECT_STREQ(XCharError(7).what(), "XCharError:7");
}

TEST(MpegAudio, HeadersFrameLengthsAndId3Sizes) {
    struct Case {
        u8 header[4];
        u32 valid;
        u32 bitrate, rate, layer, length;
    };
    const Case cases[] = {
        {{0xFF, 0xFB, 0x90, 0x64}, 1, 128, 44100, 3, 417},   // MPEG 1 layer III
        {{0xFF, 0xFB, 0x92, 0x64}, 1, 128, 44100, 3, 418},   // padded
        {{0xFF, 0xF3, 0x40, 0xC4}, 1, 32, 22050, 3, 104},    // MPEG 2 layer III, mono
        {{0xFF, 0xFD, 0xB4, 0x04}, 1, 224, 48000, 2, 672},   // MPEG 1 layer II, stereo
        {{0xFF, 0xFD, 0xB4, 0xC4}, 0, 0, 0, 0, 0},           // 224 kbit/s in mono: not allowed in layer II
        {{0xFF, 0xEB, 0x90, 0x64}, 0, 0, 0, 0, 0},           // reserved version
        {{0xFF, 0xF9, 0x90, 0x64}, 0, 0, 0, 0, 0},           // reserved layer
        {{0xFF, 0xFB, 0xF0, 0x64}, 0, 0, 0, 0, 0},           // bitrate index 15
        {{0xFF, 0xFB, 0x9C, 0x64}, 0, 0, 0, 0, 0},           // rate code 3
        {{0xFF, 0xFB, 0x90, 0x66}, 0, 0, 0, 0, 0},           // emphasis 2
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(std::vector<u8>(c.header, c.header + 4)));
        MpegFrameHeader h;
        ASSERT_EQ(ParseMpegFrameHeader(c.header, h), c.valid);
        if (!c.valid) continue;
        EXPECT_EQ(h.bitrate, c.bitrate);
        EXPECT_EQ(h.sampleRate, c.rate);
        EXPECT_EQ(h.layer, c.layer);
        EXPECT_EQ(MpegFrameLength(h), c.length);
    }
    MpegFrameHeader a, b;
    ASSERT_EQ(ParseMpegFrameHeader(cases[0].header, a), 1u);
    ASSERT_EQ(ParseMpegFrameHeader(cases[1].header, b), 1u);
    EXPECT_TRUE(MpegSameStream(a, b));
    ASSERT_EQ(ParseMpegFrameHeader(cases[2].header, b), 1u);
    EXPECT_FALSE(MpegSameStream(a, b));
    u32 size = 0;
    const u8 id3[4] = {0, 0, 2, 1};
    EXPECT_EQ(Id3SyncSafeSize(id3, size), 1u);
    EXPECT_EQ(size, 257u);
    const u8 badId3[4] = {0, 0x80, 0, 0};
    EXPECT_EQ(Id3SyncSafeSize(badId3, size), 0u);
}

std::vector<u8> RarBlock(u8 type, u16 headerSize, u32 dataSize, u32 unpacked, u8 host) {
    std::vector<u8> b = {0, 0, type, 0, 0};
    rawtest::Put16(b, headerSize, false);
    rawtest::Put32(b, dataSize, false);
    rawtest::Put32(b, unpacked, false);
    b.push_back(host);
    b.resize(32, 0);
    return b;
}

TEST(ArchiveRecords, RarBlocksAreCheckedAndMeasured) {
    struct Case {
        std::vector<u8> block;
        bool valid;
        u64 size;
    };
    const Case cases[] = {
        {RarBlock(0x73, 13, 0, 0, 0), true, 13},
        {RarBlock(0x73, 9, 0, 0, 0), false, 0},  // an archive header is at least 10 bytes
        {RarBlock(0x74, 40, 0xFFFFFFF0u, 0xFFFFFFF0u, 2), true, 40ull + 0xFFFFFFF0u},
        {RarBlock(0x74, 40, 100, 50, 2), false, 0},  // packed larger than unpacked
        {RarBlock(0x74, 40, 10, 50, 5), false, 0},   // unknown host system
        {RarBlock(0x7B, 7, 0, 0, 0), false, 0},
        {RarBlock(0x7B, 20, 4, 0, 0), true, 24},
        {RarBlock(0x76, 30, 9, 0, 0), true, 30},
        {RarBlock(0x71, 30, 9, 0, 0), false, 0},
    };
    for (const Case& c : cases) {
        u64 size = 0;
        EXPECT_EQ(RarBlockSize(c.block.data(), c.block.size(), size), c.valid) << int(c.block[2]);
        if (c.valid) {
            EXPECT_EQ(size, c.size) << int(c.block[2]);
        }
    }
    EXPECT_FALSE(RarBlockIsValid(cases[2].block.data(), 10)) << "too short for its fields";
}

std::vector<u8> ZipLocal(const std::string& name, const std::string& content) {
    std::vector<u8> r;
    rawtest::Put32(r, kZipLocalHeader, false);
    r.resize(18, 0);
    rawtest::Put32(r, u32(content.size()), false);
    rawtest::Put32(r, u32(content.size()), false);
    rawtest::Put16(r, u16(name.size()), false);
    rawtest::Put16(r, 0, false);
    r.insert(r.end(), name.begin(), name.end());
    r.insert(r.end(), content.begin(), content.end());
    return r;
}

TEST(ArchiveRecords, ZipRecordsAreMeasuredAndTypedByTheirNames) {
    std::vector<u8> central;
    rawtest::Put32(central, kZipCentralHeader, false);
    central.resize(28, 0);
    rawtest::Put16(central, 5, false);   // name
    rawtest::Put16(central, 3, false);   // extra
    rawtest::Put16(central, 11, false);  // comment
    central.resize(46 + 5 + 3 + 11, 'c');
    u64 length = 0;
    u32 type = 72;
    ASSERT_TRUE(ZipRecordIsValid(central.data(), central.size()));
    ASSERT_TRUE(ZipRecordLength(central.data(), central.size(), length, false, type));
    EXPECT_EQ(length, central.size()) << "the comment is part of the record";

    struct Case {
        std::string name, content;
        bool office;
        u32 before, after;
    };
    const Case cases[] = {
        {"word/document.xml", "", true, 72, 73},
        {"xl/_rels/workbook.xml.rels", "", true, 72, 74},
        {"ppt/_rels/presentation.xml.rels", "", true, 72, 75},
        {"mimetype", "application/epub+zip", false, 72, 114},
        {"mimetype", "application/zip", false, 72, 72},
        {"Index/Slide1.iwa", "", false, 72, 111},
        {"buildVersionHistory.plist", "<array><string>pages-trunk", false, 72, 110},
        {"Index/DocumentStylesheet.iwa", "..layout-style-..", false, 72, 110},
        {"Index/DocumentStylesheet.iwa", "....", false, 72, 112},
        {"numbers/x", "", false, 110, 110},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::vector<u8> local = ZipLocal(c.name, c.content);
        u32 t = c.before;
        ASSERT_TRUE(ZipRecordIsValid(local.data(), local.size()));
        ASSERT_TRUE(ZipRecordLength(local.data(), local.size(), length, c.office, t));
        EXPECT_EQ(length, local.size());
        EXPECT_EQ(t, c.after);
    }
    std::vector<u8> badMethod = ZipLocal("a", "");
    badMethod[8] = 11;
    EXPECT_FALSE(ZipRecordIsValid(badMethod.data(), badMethod.size()));
    EXPECT_FALSE(ZipRecordLength(badMethod.data(), 20, length, false, type)) << "shorter than its fixed part";
}

}  // namespace
