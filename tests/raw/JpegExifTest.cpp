// The EXIF reader and the JPEG analyser: Exif blocks of either byte order and their damaged
// forms, header recognition, the three roads to the end marker and the names photos get.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "ImageDevice.h"
#include "RawTestBytes.h"
#include "engine/RawFileInfo.h"
#include "raw/ExifReader.h"
#include "raw/FileJPGAnalyser.h"

namespace {

using rawtest::ExifTagValue;
using rawtest::MakeExif;
using rawtest::MakeJpeg;

constexpr u16 kAscii = 2, kShort = 3, kLong = 4;

u32 Parse(const std::vector<u8>& block, ExifInfo& info) { return ParseExifBlock(block.data(), block.size(), info); }

TEST(ExifReader, BlocksOfEitherByteOrderFillCameraAndTime) {
    for (bool big : {true, false}) {
        SCOPED_TRACE(big ? "MM" : "II");
        const std::vector<u8> block = MakeExif(big, {{0x010F, kAscii, 0, 0, "Canon"},
                                                     {0x0110, kAscii, 0, 0, "Canon EOS 5D"},
                                                     {0x0112, kShort, 1, 6, ""},
                                                     {0x8827, kShort, 1, 4, ""},
                                                     {0x9003, kAscii, 0, 0, "2019:03:04 05:06:07"}});
        ExifInfo info;
        ASSERT_EQ(Parse(block, info), 1u) << ExifLastError();
        EXPECT_STREQ(info.cameraMake, "Canon");
        EXPECT_STREQ(info.cameraModel, "Canon EOS 5D");
        EXPECT_STREQ(info.dateTime, "2019:03:04 05:06:07");
        EXPECT_EQ(info.orientation, 6);
        EXPECT_EQ(info.isoEquivalent, 800) << "ISO values below 50 are scaled by 200";
    }
}

TEST(ExifReader, DamagedBlocksStopWithTheirErrorText) {
    struct Case {
        const char* what;
        std::vector<u8> block;
        u32 result;
        const char* error;
    };
    std::vector<u8> badHeader = MakeExif(false, {});
    badHeader[4] = 1;
    std::vector<u8> badOrder = MakeExif(false, {});
    badOrder[6] = 'X';
    std::vector<u8> badMagic = MakeExif(true, {});
    badMagic[9] = 43;
    // The table's last entry would end past the block.
    std::vector<u8> shortTable = MakeExif(false, {{0x0112, kShort, 1, 1, ""}});
    shortTable.resize(shortTable.size() - 6);
    // The table ends the block exactly: there is no room for a next-directory link, and none is read.
    std::vector<u8> noLink = MakeExif(false, {{0x8827, kShort, 1, 100, ""}});
    noLink.resize(noLink.size() - 4);
    const Case cases[] = {
        {"header", badHeader, 0, "Incorrect Exif header"},
        {"byte order", badOrder, 0, "Invalid Exif alignment marker."},
        {"magic", badMagic, 0, "Invalid Exif start (1)"},
        {"first directory at 16", MakeExif(false, {}, 16), 1, nullptr},
        {"first directory at 20", MakeExif(false, {}, 20), 0, "Suspicious offset of first IFD value"},
        {"first directory at 4", MakeExif(false, {}, 4), 0, "Suspicious offset of first IFD value"},
        {"format 13", MakeExif(false, {{0x010F, 13, 1, 0, ""}}), 0, "Illegal format code in EXIF dir"},
        {"value past the end", MakeExif(false, {{0x927C, 7, 100, 20, ""}}), 0, "Illegal pointer offset value in EXIF."},
        // 2^30 longs are 2^32 bytes: a 32-bit product would wrap to 0 and pass.
        {"count overflowing 32 bits", MakeExif(true, {{0x927C, kLong, 0x40000000, 8, ""}}), 0,
         "Illegal pointer offset value in EXIF."},
        {"directory linking to itself", MakeExif(false, {{0x8769, kLong, 1, 8, ""}}), 0, nullptr},
        {"link to the very end", MakeExif(false, {{0x8769, kLong, 1, 26, ""}}), 0, "Illegal subdirectory link"},
        {"next directory past the end", MakeExif(false, {}, 8, 400), 0, "Illegal subdirectory link"},
        {"table past the end", shortTable, 0, "Illegally sized directory"},
        {"table up to the end", noLink, 1, nullptr},
        {"orientation 9", MakeExif(false, {{0x0112, kShort, 1, 9, ""}}), 1, "Undefined rotation value"},
        // The ISO scaling of a value read as the most negative signed long must not overflow.
        {"ISO at the signed limit", MakeExif(false, {{0x8827, 9, 1, 0x80000000u, ""}}), 1, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ExifInfo info;
        EXPECT_EQ(Parse(c.block, info), c.result);
        if (c.error) {
            EXPECT_STREQ(ExifLastError(), c.error);
        }
        EXPECT_EQ(info.orientation, 0);
    }
}

std::vector<u8> ExifApp(const std::string& make, const std::string& model, const std::string& when) {
    return MakeExif(false, {{0x010F, kAscii, 0, 0, make}, {0x0110, kAscii, 0, 0, model}, {0x9003, kAscii, 0, 0, when}});
}

TEST(JpegAnalyser, HeaderChecksAcceptTheFourStarts) {
    struct Case {
        std::vector<u8> start;
        u32 result;
    };
    const Case cases[] = {
        {{0xFF, 0xD8, 0xFF, 0xE0, 0, 16, 'J', 'F', 'I', 'F'}, 1},
        {{0xFF, 0xD8, 0xFF, 0xE0, 0, 16, 'j', 'f', 'i', 'f'}, 1},
        {{0xFF, 0xD8, 0xFF, 0xE1, 0, 16, 'E', 'x', 'i', 'f'}, 1},
        {{0xFF, 0xD8, 0xFF, 0xDB, 0, 67, 0, 1, 2, 3}, 1},
        {{0xFF, 0xD8, 0xFF, 0xEE, 0, 14, 'A', 'd', 'o', 'b'}, 1},
        {{0xFF, 0xD8, 0xFF, 0xE1, 0, 16, 'h', 't', 't', 'p'}, 0},
        {{0xFF, 0xD8, 0xFF, 0xE2, 0, 16, 'I', 'C', 'C', '_'}, 0},
    };
    FileJPGAnalyser analyser;
    for (const Case& c : cases) {
        std::vector<u8> sector(512, 0);
        std::copy(c.start.begin(), c.start.end(), sector.begin());
        CRawFileInfo record;
        EXPECT_EQ(analyser.CheckFileHeader(sector.data(), u32(sector.size()), record), c.result);
        EXPECT_EQ(record.fileType, c.result ? FileJPGAnalyser::kTypeJpeg : 0u);
    }
}

TEST(JpegAnalyser, EachRoadFindsTheEndAndExifNamesThePhoto) {
    struct Case {
        const char* what;
        std::vector<u8> jpeg;
        std::string name;
        std::string when;
        bool nonzeroAfter;  // the sector after the photo holds other data
    };
    // Sized so that FF D9 are the last two bytes of the second sector.
    std::vector<u8> sectorEnd = MakeJpeg(rawtest::Jfif(), 0xE0, 0);
    sectorEnd = MakeJpeg(rawtest::Jfif(), 0xE0, 1024 - sectorEnd.size());
    const Case cases[] = {
        {"JFIF", MakeJpeg(rawtest::Jfif(), 0xE0, 5000), "", "", false},
        {"plain", MakeJpeg({}, 0, 2000), "", "", false},
        {"progressive plain", MakeJpeg({}, 0, 2000, 0xC2), "", "", false},
        {"Exif", MakeJpeg(ExifApp("Kestrin", "Field/Cam:7", "2021:01:02 03:04:05"), 0xE1, 3000), "FieldCam7",
         "2021:01:02 03:04:05", false},
        {"Exif model with <", MakeJpeg(ExifApp("Kestrin", "<unknown>", "2021:01:02 03:04:05"), 0xE1, 300),
         "Kestrin", "2021:01:02 03:04:05", false},
        {"end marker closing a sector", sectorEnd, "", "", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        testutil::MemoryDevice device(512, 64);
        device.Put(4 * 512, c.jpeg);
        if (c.nonzeroAfter) device.Put(4 * 512 + c.jpeg.size(), std::vector<u8>(512, 0x55));
        FileJPGAnalyser analyser;
        CRawFileInfo record;
        record.startSector = 4;
        ASSERT_EQ(analyser.AnalyseFileSize(record, &device), 1u);
        EXPECT_EQ(record.size, c.jpeg.size());
        EXPECT_EQ(record.fileType, FileJPGAnalyser::kTypeJpeg);
        EXPECT_EQ(record.nameText, c.name);
        EXPECT_EQ(record.secondText, c.when);
        EXPECT_EQ(analyser.GetInfoText1(), c.name);
        EXPECT_EQ(analyser.GetInfoText2(), c.when);
    }
    EXPECT_EQ(sectorEnd.size(), 1024u);
}

TEST(JpegAnalyser, PlainFramesOtherThanEightBitColourAreRefused) {
    for (auto [precision, components] : {std::pair<u8, u8>{12, 3}, {8, 1}}) {
        testutil::MemoryDevice device(512, 16);
        device.Put(0, MakeJpeg({}, 0, 100, 0xC0, precision, components));
        FileJPGAnalyser analyser;
        CRawFileInfo record;
        EXPECT_EQ(analyser.AnalyseFileSize(record, &device), 0u);
        EXPECT_EQ(record.size, 0u);
    }
}

}  // namespace
