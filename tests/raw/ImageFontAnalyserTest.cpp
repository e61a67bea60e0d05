// The image and font analysers: files laid out chunk by chunk or block by block, sized exactly
// where their format marks the end, and refused or bounded where headers are damaged or cut.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "AnalyserTestDevice.h"
#include "RawTestBytes.h"
#include "raw/FileImageAnalysers.h"

namespace {

using rawtest::Analyse;
using rawtest::Put16;
using rawtest::Put32;

void PutText(std::vector<u8>& v, const std::string& t) { v.insert(v.end(), t.begin(), t.end()); }

void PngChunk(std::vector<u8>& v, const std::string& type, u32 length, u32 declared) {
    Put32(v, declared, true);
    PutText(v, type);
    v.insert(v.end(), length, 0x5A);
    Put32(v, 0x12345678, true);
}

std::vector<u8> MakePng(u32 width, u32 height, bool withEnd, u32 dataBytes = 3000) {
    std::vector<u8> v = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
    Put32(v, 13, true);
    PutText(v, "IHDR");
    Put32(v, width, true);
    Put32(v, height, true);
    v.insert(v.end(), {8, 2, 0, 0, 0});
    Put32(v, 0, true);
    PngChunk(v, "IDAT", dataBytes, dataBytes);
    if (withEnd) PngChunk(v, "IEND", 0, 0);
    return v;
}

// A GIF of one image: optional global table, optional comment extension, `stray` bytes before
// the image descriptor and `imageBytes` of LZW data in sub-blocks of at most 255 bytes.
std::vector<u8> MakeGif(char version, bool globalTable, size_t stray, size_t imageBytes) {
    std::vector<u8> v;
    PutText(v, std::string("GIF8") + version + "a");
    Put16(v, 16, false);
    Put16(v, 16, false);
    v.push_back(globalTable ? 0x81 : 0x00);  // 4-entry table when present
    v.insert(v.end(), {0, 0});
    if (globalTable) v.insert(v.end(), 12, 0x33);
    v.insert(v.end(), {0x21, 0xFE, 3, 'a', 'b', 'c', 0});
    v.insert(v.end(), stray, 0x44);
    v.push_back(0x2C);
    v.insert(v.end(), 8, 0);
    v.push_back(0x00);
    v.push_back(2);  // LZW code size
    for (size_t left = imageBytes; left > 0;) {
        const size_t n = std::min<size_t>(left, 255);
        v.push_back(u8(n));
        v.insert(v.end(), n, 0x66);
        left -= n;
    }
    v.push_back(0);
    v.push_back(0x3B);
    return v;
}

std::vector<u8> MakePsd(u16 channels, u32 height, u32 width, u16 depth, u16 compression, u16 version = 1) {
    std::vector<u8> v;
    PutText(v, "8BPS");
    Put16(v, version, true);
    v.insert(v.end(), 6, 0);
    Put16(v, channels, true);
    Put32(v, height, true);
    Put32(v, width, true);
    Put16(v, depth, true);
    Put16(v, 3, true);
    Put32(v, 0, true);  // colour-mode data
    Put32(v, 0, true);  // image resources
    Put32(v, 0, true);  // layers and masks
    Put16(v, compression, true);
    return v;
}

TEST(ImageAnalysers, PngIsSizedToItsEndChunkOrRefused) {
    struct Case {
        const char* what;
        std::vector<u8> bytes;
        u8 after;
        u32 result;
        u64 size;
    };
    std::vector<u8> huge = MakePng(20, 10, false);
    PngChunk(huge, "zTXt", 0, 0x2000000);  // a length beyond the walk's limit after image data
    std::vector<u8> noData = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
    Put32(noData, 13, true);
    PutText(noData, "IHDR");
    Put32(noData, 4, true);
    Put32(noData, 4, true);
    noData.insert(noData.end(), 9, 0);
    PngChunk(noData, "tEXt", 0, 0x2000000);
    const std::vector<Case> cases = {
        {"complete", MakePng(20, 10, true), 0x00, 1, 3000 + 33 + 12 + 12},
        {"zero width", MakePng(0, 10, true), 0x00, 0, 0},
        {"negative height", MakePng(20, 0x80000000u, true), 0x00, 0, 0},
        {"cut before its end chunk", MakePng(20, 10, false), 0x00, 0, 0},
        {"huge chunk after image data", huge, 0x00, 1, 3000 + 33 + 12},
        {"huge chunk before any image data", noData, 0x00, 0, 0},
        {"image data, then a length beyond the limit", MakePng(20, 10, false), 0xFF, 1, 3000 + 33 + 12},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FilePNGAnalyser png;
        const rawtest::Analysed a = Analyse(png, c.bytes, c.after);
        ASSERT_EQ(a.header, 1u);
        EXPECT_EQ(a.fileType, FilePNGAnalyser::kType);
        EXPECT_EQ(a.result, c.result);
        EXPECT_EQ(a.size, c.size);
    }
}

TEST(ImageAnalysers, GifWalksBlocksResynchronisesAndRefusesDamage) {
    struct Case {
        const char* what;
        std::vector<u8> bytes;
        u32 result;
        bool exact;
    };
    std::vector<u8> cut = MakeGif('9', true, 0, 3000);
    cut.resize(1500);
    const std::vector<Case> cases = {
        {"89a with a global table", MakeGif('9', true, 0, 3000), 1, true},
        {"87a without a global table", MakeGif('7', false, 0, 600), 1, true},
        {"stray bytes within reach", MakeGif('7', false, 1000, 100), 1, true},
        {"too many stray bytes", MakeGif('7', false, 1100, 100), 0, false},
        {"cut inside the image data", cut, 0, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FileGIFAnalyser gif;
        const rawtest::Analysed a = Analyse(gif, c.bytes, 0, 0);
        ASSERT_EQ(a.header, 1u);
        EXPECT_EQ(a.result, c.result);
        if (c.exact) {
            EXPECT_EQ(a.size, c.bytes.size());
        }
    }
    std::vector<u8> wrongVersion = MakeGif('8', false, 0, 10);
    FileGIFAnalyser gif;
    CRawFileInfo record;
    EXPECT_EQ(gif.CheckFileHeader(wrongVersion.data(), u32(wrongVersion.size()), record), 0u);
}

TEST(ImageAnalysers, PsdIsSizedByItsImageDataInSixtyFourBits) {
    struct Case {
        const char* what;
        std::vector<u8> bytes;
        u32 result;
        u64 size;
    };
    std::vector<u8> rle = MakePsd(3, 4, 10, 8, 1);
    for (int row = 0; row < 12; ++row) Put16(rle, u16(5 + row), true);
    std::vector<u8> rleCut = MakePsd(56, 30000, 10, 8, 1);  // row counts beyond what the device holds
    const std::vector<Case> cases = {
        {"raw 8-bit RGB 100 x 100", MakePsd(3, 100, 100, 8, 0), 1, 30040},
        // 16 x 30000 x 30000 x 56 channels overflows 32 bits many times over.
        {"raw product beyond 32 bits", MakePsd(56, 30000, 30000, 16, 0), 1, 40 + u64(56) * 30000 * 30000 * 16 / 8},
        {"RLE row counts", rle, 1, 40 + 24 + (12 * 5 + 66)},
        {"RLE counts cut by the device's end", rleCut, 0, 0},
        {"version 2", MakePsd(3, 10, 10, 8, 0, 2), 0, 0},
        // Fields no version-1 header holds: damage, whose product would run past 64 bits.
        {"largest fields of all", MakePsd(0xFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFF, 0), 0, 0},
        {"no channels", MakePsd(0, 10, 10, 8, 0), 0, 0},
        {"57 channels", MakePsd(57, 10, 10, 8, 0), 0, 0},
        {"height 30001", MakePsd(3, 30001, 10, 8, 0), 0, 0},
        {"width 0", MakePsd(3, 10, 0, 8, 0), 0, 0},
        {"depth 24", MakePsd(3, 10, 10, 24, 0), 0, 0},
        {"largest raw image", MakePsd(56, 30000, 30000, 32, 0), 1, 40 + u64(56) * 30000 * 30000 * 32 / 8},
        {"unknown compression", MakePsd(3, 10, 10, 8, 7), 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FilePSDAnalyser psd;
        const rawtest::Analysed a = Analyse(psd, c.bytes, 0, 2);
        ASSERT_EQ(a.header, 1u);
        EXPECT_EQ(a.result, c.result);
        EXPECT_EQ(a.size, c.size);
    }
}

TEST(ImageAnalysers, PhotoPaintAndFoveonLayouts) {
    // A Photo-Paint file: object table at 316 with two entries, the last object at 1000 whose data
    // block points (at 2000) past a table giving the end as 4000 + 96.
    std::vector<u8> cpt(4096, 0);
    std::memcpy(cpt.data(), "CPT9FILE", 8);
    auto put = [&cpt](size_t at, u32 v) { std::memcpy(cpt.data() + at, &v, 4); };
    put(52, 316);
    put(40, 2);
    put(316 + 8, 1000);
    put(1000 + 32, 0);
    put(1060, 2008);
    put(1064, 1);
    put(2000, 4000);
    put(2004, 96);
    FileCPTAnalyser cptAnalyser;
    rawtest::Analysed a = Analyse(cptAnalyser, cpt);
    ASSERT_EQ(a.header, 1u);
    EXPECT_EQ(a.result, 1u);
    EXPECT_EQ(a.size, 4096u);
    put(40, 0);  // an empty object table has no last object
    FileCPTAnalyser empty;
    a = Analyse(empty, cpt);
    EXPECT_EQ(a.result, 0u);
    put(40, 0x40000000);  // a last entry far beyond the device
    FileCPTAnalyser far;
    a = Analyse(far, cpt);
    EXPECT_EQ(a.result, 0u);

    for (u32 sector : {512u, 4096u}) {
        SCOPED_TRACE(sector);
        std::vector<u8> x3f(3 * sector, 0x21);
        std::memcpy(x3f.data(), "FOVb", 4);
        std::memcpy(x3f.data() + 2 * sector - 4, "SECd", 4);  // the second sector ends with it
        FileX3FAnalyser fov;
        a = Analyse(fov, x3f, 0, 4, sector);
        EXPECT_EQ(a.result, 1u);
        EXPECT_EQ(a.size, 2 * sector - 4 + 76);
        std::vector<u8> inside(sector + 100, 0x21);
        std::memcpy(inside.data(), "FOVb", 4);
        std::memcpy(inside.data() + sector + 40, "SECd", 4);
        FileX3FAnalyser fov2;
        a = Analyse(fov2, inside, 0, 4, sector);
        EXPECT_EQ(a.size, sector + 40 + 76);
    }
}

std::vector<u8> MakeIco(u16 kind, u16 images, u32 bytes, u8 reserved = 0) {
    std::vector<u8> v = {0, 0};
    Put16(v, kind, false);
    Put16(v, images, false);
    for (u16 i = 0; i < images && i < 20; ++i) {
        v.insert(v.end(), {16, 16, 0, reserved});
        Put16(v, 1, false);
        Put16(v, 32, false);
        Put32(v, bytes, false);
        Put32(v, 6 + 16 * images, false);
    }
    v.resize(512, 0);
    return v;
}

std::vector<u8> MakeTtf(const std::vector<std::string>& tags) {
    std::vector<u8> v = {0, 1, 0, 0};
    Put16(v, u16(tags.size()), true);
    v.insert(v.end(), 6, 0);
    for (const std::string& tag : tags) {
        PutText(v, tag);
        Put32(v, 0, true);
        Put32(v, 0x1000, true);
        Put32(v, 101, true);  // padded to 104
    }
    v.resize(512, 0);
    return v;
}

TEST(ImageAnalysers, HeaderSizedIconsMetafilesAndFonts) {
    struct Case {
        const char* what;
        IRawFileAnalyser* analyser;
        std::vector<u8> sector;
        u32 header;
        u64 size;
        u32 type;
    };
    FileICOAnalyser ico;
    FileWMFAnalyser wmf;
    FileTTFAnalyser ttf;
    std::vector<u8> plain = {1, 0, 9, 0, 0, 3};
    Put32(plain, 5000, false);
    plain.resize(512, 0);
    std::vector<u8> plainParams = plain;
    plainParams[16] = 1;
    std::vector<u8> placeable = {0xD7, 0xCD, 0xC6, 0x9A, 0, 0};
    placeable.resize(22, 0);
    placeable[6] = 0x10;
    placeable[14] = 0x60;
    u16 sum = 0;
    for (int i = 0; i < 10; ++i) sum ^= ReadLE16(placeable.data() + 2 * i);
    placeable[20] = u8(sum);
    placeable[21] = u8(sum >> 8);
    Put32(placeable, 0x00090001, false);
    placeable.insert(placeable.end(), {0, 3});
    Put32(placeable, 700, false);
    placeable.resize(512, 0);
    std::vector<u8> badSum = placeable;
    badSum[20] ^= 1;
    const std::vector<std::string> known = {"cmap", "glyf", "head", "hhea", "hmtx", "loca", "maxp", "name", "post"};
    const std::vector<std::string> mostlyUnknown = {"cmap", "glyf", "head", "name", "ZZZ1", "ZZZ2",
                                                    "ZZZ3", "ZZZ4", "ZZZ5", "ZZZ6"};
    std::vector<u8> hugeTable = MakeTtf(known);
    hugeTable[12 + 12] = 0xF0;  // a table of almost 4 GiB
    const std::vector<Case> cases = {
        {"icon of one 300-byte image", &ico, MakeIco(1, 1, 300), 1, 322, FileICOAnalyser::kType},
        {"cursor", &ico, MakeIco(2, 2, 100), 1, 6 + 2 * 116, FileICOAnalyser::kTypeCursor},
        {"17 images", &ico, MakeIco(1, 17, 100), 0, 0, 0},
        {"no images", &ico, MakeIco(1, 0, 100), 0, 0, 0},
        {"image beyond its limit", &ico, MakeIco(1, 1, 0xA00001), 0, 0, FileICOAnalyser::kType},
        {"reserved byte set", &ico, MakeIco(1, 1, 300, 1), 0, 0, FileICOAnalyser::kType},
        {"more than 1 MiB in all", &ico, MakeIco(1, 16, 0x10000), 0, 0, FileICOAnalyser::kType},
        {"plain metafile", &wmf, plain, 1, 10000, FileWMFAnalyser::kType},
        {"plain metafile with parameters", &wmf, plainParams, 0, 0, 0},
        {"placeable metafile", &wmf, placeable, 1, 1422, FileWMFAnalyser::kType},
        {"placeable metafile, wrong checksum", &wmf, badSum, 0, 0, 0},
        {"font of nine known tables", &ttf, MakeTtf(known), 1, 12 + 16 * 9 + 9 * 104, FileTTFAnalyser::kType},
        {"font of ten tables, four known", &ttf, MakeTtf(mostlyUnknown), 0, 0, 0},
        {"font of no tables", &ttf, MakeTtf({}), 0, 0, 0},
        {"font with a table longer than any file searched", &ttf, hugeTable, 0, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        CRawFileInfo record;
        EXPECT_EQ(c.analyser->CheckFileHeader(c.sector.data(), u32(c.sector.size()), record), c.header);
        EXPECT_EQ(record.size, c.size);
        EXPECT_EQ(record.fileType, c.type);
    }
}

}  // namespace
