// The TIFF analyser and the CIFF raw analyser: files sized by the farthest data their directories
// point to, typed by their camera maker, and damaged directories that end the walk.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "AnalyserTestDevice.h"
#include "RawTestBytes.h"
#include "raw/FileTIFAnalyser.h"

namespace {

using rawtest::Analyse;
using rawtest::Put16;
using rawtest::Put32;

struct Tag {
    u16 tag;
    u16 type;
    u32 count;
    u32 value;
};

// A TIFF of one directory at `ifdAt` with a 1000-byte strip at 8, make and model texts stored
// after the directory; `entries` overrides the declared entry count.
std::vector<u8> MakeTiff(bool big, const std::string& make, const std::string& model, u32 ifdAt = 1008,
                         std::vector<Tag> extra = {}, int entries = -1) {
    std::vector<u8> v;
    if (big) {
        v = {'M', 'M'};
    } else {
        v = {'I', 'I'};
    }
    Put16(v, 42, big);
    Put32(v, ifdAt, big);
    v.resize(ifdAt, 0x37);
    std::vector<Tag> tags = {{0x0111, 4, 1, 8}, {0x0117, 4, 1, 1000}};
    const std::string makeZ = make + '\0', modelZ = model + '\0';
    const u32 n = u32(tags.size() + extra.size() + 2);
    u32 textAt = ifdAt + 2 + 12 * n + 4;
    tags.push_back({0x010F, 2, u32(makeZ.size()), textAt});
    tags.push_back({0x0110, 2, u32(modelZ.size()), textAt + u32(makeZ.size())});
    tags.insert(tags.end(), extra.begin(), extra.end());
    Put16(v, u16(entries < 0 ? n : u32(entries)), big);
    for (const Tag& t : tags) {
        Put16(v, t.tag, big);
        Put16(v, t.type, big);
        Put32(v, t.count, big);
        Put32(v, t.value, big);
    }
    Put32(v, 0, big);
    v.insert(v.end(), makeZ.begin(), makeZ.end());
    v.insert(v.end(), modelZ.begin(), modelZ.end());
    return v;
}

TEST(TiffAnalyser, SizedByItsFarthestDataAndTypedByMaker) {
    struct Case {
        const char* what;
        std::vector<u8> bytes;
        u32 type;
        u64 size;  // 0: the file's own length
        std::string name;
    };
    std::vector<u8> withStripOnly = MakeTiff(false, "Abcde", "Cdefg", 1008);
    const std::vector<Case> cases = {
        {"plain TIFF, little-endian", MakeTiff(false, "Scanner Works", "S1000"), 64, 0, "S1000"},
        {"plain TIFF, big-endian", MakeTiff(true, "Scanner Works", "S1000"), 64, 0, "S1000"},
        {"NIKON in mixed case", MakeTiff(false, "Nikon Corporation", "D1000"), 77, 0, "D1000"},
        {"Sony DSC-R1", MakeTiff(false, "SONY", "DSC-R1"), 84, 0, "DSC-R1"},
        {"other Sony", MakeTiff(false, "SONY", "ILCE-7"), 85, 0, "ILCE-7"},
        {"Kodak DCS Pro SLR/n", MakeTiff(false, "EASTMAN KODAK", "DCS Pro SLR/n"), 97, 0, "DCS Pro SLR_n"},
        {"other Kodak", MakeTiff(false, "KODAK", "Z1000"), 98, 0, "Z1000"},
        {"Pentax", MakeTiff(true, "PENTAX", "K5 II"), 104, 0, "K5 II"},
        {"DNG of any maker", MakeTiff(false, "NIKON", "D1000", 1008, {{0xC612, 1, 4, 0x01}}), 64, 0, "D1000"},
        // The strip's end lies before the directory, whose texts end the file.
        {"strip before the directory", withStripOnly, 64, 0, "Cdefg"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FileTIFAnalyser tif;
        const rawtest::Analysed a = Analyse(tif, c.bytes, 0x00);
        ASSERT_EQ(a.header, 1u);
        EXPECT_EQ(a.result, 1u);
        EXPECT_EQ(a.fileType, c.type);
        EXPECT_EQ(a.size, c.size ? c.size : c.bytes.size());
        EXPECT_EQ(a.record.nameText, c.name);
        EXPECT_EQ(tif.GetInfoText1(), c.name);
    }
}

TEST(TiffAnalyser, DamagedDirectoriesEndTheWalk) {
    struct Case {
        const char* what;
        std::vector<u8> bytes;
        u64 size;
    };
    // The strip alone ends at 1008 when its directory cannot be walked.
    const std::vector<Case> cases = {
        {"513 entries", MakeTiff(false, "NIKON", "D1000", 1008, {}, 513), 0},
        {"no entries", MakeTiff(false, "NIKON", "D1000", 1008, {}, 0), 0},
        {"directory beyond the bound", MakeTiff(false, "NIKON", "D1000", 1008), 0},
        {"strip table far beyond the device", MakeTiff(false, "xxxxx", "yyyyy", 1008, {{0x0111, 4, 0x40000000, 0x10}}), 0},
        {"sub-directory loop", MakeTiff(false, "xxxxx", "yyyyy", 1008, {{0x8769, 4, 1, 1008}}), 0},
    };
    for (size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE(c.what);
        std::vector<u8> bytes = c.bytes;
        if (i == 2) {
            const u32 far = 0xF0000000u;
            std::memcpy(bytes.data() + 4, &far, 4);
        }
        FileTIFAnalyser tif;
        const rawtest::Analysed a = Analyse(tif, bytes, 0x00);
        EXPECT_EQ(a.result, 1u);
        EXPECT_EQ(a.fileType, FileTIFAnalyser::kType);
        EXPECT_LE(a.size, bytes.size() + 12 * 8);
    }
    FileTIFAnalyser tif;
    CRawFileInfo record;
    EXPECT_EQ(tif.AnalyseFileSize(record, nullptr), 0u);
    std::vector<u8> fuji(512, 0);
    std::memcpy(fuji.data(), "FUJIFILMCCD-RAX ", 16);
    EXPECT_EQ(tif.CheckFileHeader(fuji.data(), u32(fuji.size()), record), 0u);
}

std::vector<u8> MakeCrw(u8 kind, size_t recordAt, size_t total) {
    std::vector<u8> v(total, 0x31);
    const u8 head[] = {'I', 'I', 0x1A, 0, 0, 0, 'H', 'E', 'A', 'P', 'C', 'C', 'D', 'R', 2};
    std::memcpy(v.data(), head, sizeof(head));
    const u8 end[] = {0x07, 0x28, kind, 0, 0, 0};
    std::memcpy(v.data() + recordAt, end, sizeof(end));
    std::fill(v.end() - 4, v.end(), 0);  // the closing sector ends in a zero word
    return v;
}

TEST(CrwAnalyser, ClosingRecordEndsTheFile) {
    struct Case {
        const char* what;
        std::vector<u8> bytes;
        u64 size;
    };
    const std::vector<Case> cases = {
        {"B2 record 100 bytes into the closing sector", MakeCrw(0xB2, 1024 + 100, 1536), 1024 + 100 + 60},
        {"A8 record", MakeCrw(0xA8, 600, 1024), 600 + 70},
        {"E4 record", MakeCrw(0xE4, 700, 1024), 700 + 50},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FileCRWAnalyser crw;
        const rawtest::Analysed a = Analyse(crw, c.bytes, 0x00);
        ASSERT_EQ(a.header, 1u);
        EXPECT_EQ(a.result, 1u);
        EXPECT_EQ(a.fileType, FileCRWAnalyser::kType);
        EXPECT_EQ(a.size, c.size);
    }
    // Without a closing record the file falls back to its default length.
    std::vector<u8> none = MakeCrw(0x11, 700, 1024);
    FileCRWAnalyser crw;
    EXPECT_EQ(Analyse(crw, none, 0x00).size, 52428800u);
    std::vector<u8> wrong = MakeCrw(0xB2, 700, 1024);
    wrong[14] = 3;
    FileCRWAnalyser other;
    EXPECT_EQ(Analyse(other, wrong).header, 0u);
}

}  // namespace
