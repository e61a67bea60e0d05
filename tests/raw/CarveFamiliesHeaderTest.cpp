// The header checks of the header-sized, container, media, archive and document analysers over
// one 512-byte sector each, or more where the search holds it (the sanitizer build catches a check
// that reads past what it is handed): what each accepts, the type and size it gives, damaged fields included.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "RawTestBytes.h"
#include "engine/RawFileInfo.h"
#include "raw/FileArchiveAnalysers.h"
#include "raw/FileBoxVideoAnalysers.h"
#include "raw/FileCompoundAnalysers.h"
#include "raw/FileHeaderSizedAnalysers.h"
#include "raw/FileMediaContainerAnalysers.h"
#include "raw/ReadWindow.h"

namespace {

using rawtest::Put16;
using rawtest::Put32;
using Sector = std::vector<u8>;
constexpr size_t kSector = 512;

Sector With(std::initializer_list<std::pair<size_t, std::vector<u8>>> parts, size_t held = kSector) {
    Sector s(held, 0);
    for (const auto& [at, bytes] : parts) std::copy(bytes.begin(), bytes.end(), s.begin() + static_cast<long>(at));
    return s;
}
std::vector<u8> Text(const std::string& t) { return std::vector<u8>(t.begin(), t.end()); }
std::vector<u8> LE32(u32 x) { std::vector<u8> v; Put32(v, x, false); return v; }
std::vector<u8> LE16(u16 x) { std::vector<u8> v; Put16(v, x, false); return v; }
std::vector<u8> BE32(u32 x) { std::vector<u8> v; Put32(v, x, true); return v; }
std::vector<u8> BE16(u16 x) { std::vector<u8> v; Put16(v, x, true); return v; }

constexpr u64 kUnchanged = ~u64(0);

struct HeaderCase {
    const char* what;
    std::function<IRawFileAnalyser*()> make;
    Sector sector;
    u32 result;
    u32 type;  // the record's file type afterwards (it starts at 0)
    u64 size;  // kUnchanged: the record's size is left as it was
};

std::ostream& operator<<(std::ostream& os, const HeaderCase& c) { return os << c.what; }

template <class A>
std::function<IRawFileAnalyser*()> Make() {
    return [] { return new A(); };
}

Sector Mkv(std::vector<u8> ebmlSize, size_t segmentAt, u32 segmentSizeLow, size_t held = kSector) {
    Sector s = With({{0, {0x1A, 0x45, 0xDF, 0xA3}}}, held);
    std::copy(ebmlSize.begin(), ebmlSize.end(), s.begin() + 4);
    if (segmentAt + 12 <= held) {
        const u8 id[] = {0x18, 0x53, 0x80, 0x67};
        std::copy(std::begin(id), std::end(id), s.begin() + static_cast<long>(segmentAt));
        s[segmentAt + 4] = 0x01;
        const std::vector<u8> low = BE32(segmentSizeLow);
        std::copy(low.begin(), low.end(), s.begin() + static_cast<long>(segmentAt + 8));
    } else if (segmentAt + 4 <= held) {
        const u8 id[] = {0x18, 0x53, 0x80, 0x67};
        std::copy(std::begin(id), std::end(id), s.begin() + static_cast<long>(segmentAt));
    }
    return s;
}

Sector Chm(u64 size) {
    const std::vector<u8> g1 = {0x10, 0xFD, 0x01, 0x7C, 0xAA, 0x7B, 0xD0, 0x11, 0x9E, 0x0C, 0x00, 0xA0, 0xC9, 0x22, 0xE6, 0xEC};
    std::vector<u8> g2 = g1;
    g2[0] = 0x11;
    std::vector<u8> sz = LE32(u32(size));
    const std::vector<u8> hi = LE32(u32(size >> 32));
    sz.insert(sz.end(), hi.begin(), hi.end());
    return With({{0, Text("ITSF")}, {8, LE32(0x60)}, {24, g1}, {40, g2}, {96, LE32(0x1FE)}, {104, sz}});
}

Sector Riff(const char* form, const char* chunk) { return With({{0, Text("RIFF")}, {8, Text(form)}, {12, Text(chunk)}}); }
Sector Brand(const char* brand) { return With({{0, BE32(0x20)}, {4, Text(std::string("ftyp") + brand)}}); }

const HeaderCase kCases[] = {
    {"EMF with its size", Make<FileEMFAnalyser>(), With({{40, LE32(0x464D4520)}, {48, LE32(9000)}}), 1, 26, 9000},
    {"EMF with a reserved field set", Make<FileEMFAnalyser>(), With({{40, LE32(0x464D4520)}, {48, LE32(9000)}, {58, LE16(1)}}), 0, 0, kUnchanged},
    {"EMF stating no size", Make<FileEMFAnalyser>(), With({{40, LE32(0x464D4520)}}), 0, 0, kUnchanged},
    {"SWF plain", Make<FileSWFAnalyser>(), With({{0, Text("FWS")}, {3, {4}}, {4, LE32(5000)}}), 1, 62, 5000},
    {"SWF compressed version 6", Make<FileSWFAnalyser>(), With({{0, Text("CWS")}, {3, {6}}, {4, LE32(5000)}}), 1, 62, 5008},
    {"SWF compressed version 5", Make<FileSWFAnalyser>(), With({{0, Text("CWS")}, {3, {5}}, {4, LE32(5000)}}), 0, 0, kUnchanged},
    {"SWF stating size 0 is queued", Make<FileSWFAnalyser>(), With({{0, Text("FWS")}}), 1, 62, 0},
    {"BMP info header 40", Make<FileBMPAnalyser>(), With({{0, Text("BM")}, {2, LE32(230454)}, {14, LE32(40)}}), 1, 11, 230454},
    {"BMP info header 108", Make<FileBMPAnalyser>(), With({{0, Text("BM")}, {2, LE32(230454)}, {14, LE32(108)}}), 0, 11, 0},
    {"BMP reserved field set", Make<FileBMPAnalyser>(), With({{0, Text("BM")}, {6, LE16(1)}, {14, LE32(40)}}), 0, 0, kUnchanged},
    {"3DS", Make<File3DSAnalyser>(), With({{0, LE16(0x4D4D)}, {2, LE32(7000)}, {16, LE16(0x3D3D)}, {18, LE32(6000)}}), 1, 1, 7000},
    {"3DS editor larger than the file", Make<File3DSAnalyser>(),
     With({{0, LE16(0x4D4D)}, {2, LE32(7000)}, {16, LE16(0x3D3D)}, {18, LE32(8000)}}), 0, 1, kUnchanged},
    {"MRW", Make<FileMRWAnalyser>(), With({{4, BE32(1000)}, {24, BE16(100)}, {26, BE16(200)}, {32, {12}}}), 1, 102,
     1000 + 8 + 100 * 200 * 12 / 8},
    {"CHM with a 64-bit size", Make<FileCHMAnalyser>(), Chm(0x123456789ULL), 1, 14, 0x123456789ULL},
    {"CHM with a field that must be 0 set", Make<FileCHMAnalyser>(),
     [] { Sector s = Chm(4096); s[112] = 1; return s; }(), 0, 0, kUnchanged},
    {"MKV", Make<FileMKVAnalyser>(), Mkv({0xA3}, 4 + 1 + 0x23, 47000), 1, 96, 40 + 12 + 47000},
    {"MKV with a two-byte EBML size", Make<FileMKVAnalyser>(), Mkv({0x40, 0x30}, 4 + 2 + 0x30, 100), 1, 96, 54 + 12 + 100},
    {"MKV whose Segment size field passes the disk's end", Make<FileMKVAnalyser>(), Mkv({0x41, 0xF0}, 4 + 2 + 0x1F0, 100), 0, 0, kUnchanged},
    {"MKV whose Segment begins at byte 512", Make<FileMKVAnalyser>(), Mkv({0x41, 0xFA}, 512, 100, 524), 1, 96, 512 + 12 + 100},
    {"MKV at byte 512 handed part of its size field", Make<FileMKVAnalyser>(), Mkv({0x41, 0xFA}, 512, 100, 520), 0, 0, kUnchanged},
    {"MKV whose Segment begins at byte 513", Make<FileMKVAnalyser>(), Mkv({0x41, 0xFB}, 513, 100, 2048), 0, 0, kUnchanged},
    {"MKV whose Segment lies past the sector", Make<FileMKVAnalyser>(), Mkv({0x42, 0x00}, 600, 0), 0, 0, kUnchanged},
    {"MKV with an EBML size of 2^56", Make<FileMKVAnalyser>(), Mkv({0x01, 1, 0, 0, 0, 0, 0, 0}, 600, 0), 0, 0, kUnchanged},
    {"MKV with a zero size byte", Make<FileMKVAnalyser>(), Mkv({0x00}, 600, 0), 0, 0, kUnchanged},
    {"AU", Make<FileAUAnalyser>(), With({{0, Text(".snd")}, {4, BE32(44)}, {8, BE32(16000)}}), 1, 9, 16044},
    {"AU of unknown length", Make<FileAUAnalyser>(), With({{0, Text(".snd")}, {4, BE32(44)}, {8, BE32(0xFFFFFFFF)}}), 0, 9, 0},
    {"AU with a data offset inside its header", Make<FileAUAnalyser>(), With({{0, Text(".snd")}, {4, BE32(20)}, {8, BE32(10)}}), 0, 9, 0},

    {"RIFF wave", Make<FileRIFFAnalyser>(), Riff("WAVE", "fmt "), 1, 67, 0},
    {"RIFF wave whose first chunk is a list", Make<FileRIFFAnalyser>(), Riff("WAVE", "LIST"), 1, 59, 0},
    {"RIFF video", Make<FileRIFFAnalyser>(), Riff("AVI ", "LIST"), 1, 10, 0},
    {"RIFF cursor", Make<FileRIFFAnalyser>(), Riff("ACON", "anih"), 1, 4, 0},
    {"RIFF drawing in lower case", Make<FileRIFFAnalyser>(), Riff("cdr8", "vrsn"), 1, 13, 0},
    {"RIFF metafile compared exactly", Make<FileRIFFAnalyser>(),
     With({{0, Text("RIFF")}, {8, Text("CMX1")}, {20, Text("{Corel Binary Meta File}")}}), 1, 16, 0},
    {"AIFF", Make<CFileAIFAnalyzer>(), With({{0, Text("FORM")}, {8, Text("AIFC")}}), 1, 80, kUnchanged},
    {"FORM that is no AIFF", Make<CFileAIFAnalyzer>(), With({{0, Text("FORM")}, {8, Text("ILBM")}}), 0, 0, kUnchanged},
    {"RealMedia whose MDPR ends the first kilobyte", Make<FileRM_RMVBAnalyser>(),
     With({{0, Text(".RMF")}, {1020, Text("MDPR")}, {1168, Text("Video Stream")}}, 2048), 1, 95, kUnchanged},
    {"MIDI", Make<FileMIDAnalyser>(), With({{0, Text("MThd")}, {4, BE32(6)}, {8, BE16(1)}, {10, BE16(2)}}), 1, 38, kUnchanged},
    {"MIDI format 3", Make<FileMIDAnalyser>(), With({{0, Text("MThd")}, {4, BE32(6)}, {8, BE16(3)}, {10, BE16(2)}}), 0, 0, kUnchanged},
    {"MIDI without tracks", Make<FileMIDAnalyser>(), With({{0, Text("MThd")}, {4, BE32(6)}}), 0, 0, kUnchanged},
    {"MPEG-2 program stream", Make<FileMPGAnalyser>(), With({{0, {0, 0, 1, 0xBA, 0x44, 0x00, 0x04, 0x00}}}), 1, 109, kUnchanged},
    {"MPEG pack with an unknown clock", Make<FileMPGAnalyser>(), With({{0, {0, 0, 1, 0xBA, 0x44, 0x00, 0x04, 0x05}}}), 0, 0, kUnchanged},

    {"MOV takes an unlisted brand", Make<FileMOVAnalyser>(), Brand("qt  "), 1, 42, kUnchanged},
    {"MOV takes 3GP brand 5", Make<FileMOVAnalyser>(), Brand("3gp5"), 1, 42, kUnchanged},
    {"MOV leaves ISO media to MP4", Make<FileMOVAnalyser>(), Brand("ISOM"), 0, 0, kUnchanged},
    {"MP4 ISO brand", Make<FileMP4Analyser>(), Brand("isom"), 1, 44, 0},
    {"MP4 audio brand", Make<FileMP4Analyser>(), Brand("M4A "), 1, 45, 0},
    {"3GP brand 4", Make<File3GPAnalyser>(), Brand("3gp4"), 1, 2, 0},
    {"3GP refuses a QuickTime brand", Make<File3GPAnalyser>(), Brand("qt  "), 0, 0, kUnchanged},
    {"FLV leaves the record alone", Make<FileFLVAnalyser>(), With({{0, Text("FLV")}}), 1, 0, kUnchanged},
    {"MP3 tag version 3", Make<FileMP3Analyser>(), With({{0, Text("ID3")}, {3, {3}}}), 1, 43, kUnchanged},
    {"MP3 tag version 2", Make<FileMP3Analyser>(), With({{0, Text("ID3")}, {3, {2}}}), 0, 0, kUnchanged},
    {"MP3 frame without a tag", Make<FileMP3Analyser>(), With({{0, {0xFF, 0xFB, 0x90, 0x00}}}), 0, 0, kUnchanged},

    {"CAB", Make<FileCABAnalyser>(), With({{0, Text("MSCF")}, {8, LE32(5504)}, {24, LE16(0x0103)}}), 1, 12, 5504},
    {"CAB with no size", Make<FileCABAnalyser>(), With({{0, Text("MSCF")}, {24, LE16(0x0103)}}), 0, 12, 0},
    {"CAB of another version", Make<FileCABAnalyser>(), With({{0, Text("MSCF")}, {8, LE32(5504)}, {24, LE16(0x0102)}}), 0, 12, 0},
    {"RAR marker", Make<FileRARAnalyser>(), With({{0, {'R', 'a', 'r', '!', 0x1A, 0x07, 0x00}}}), 1, 58, kUnchanged},
    {"RAR 5 marker", Make<FileRARAnalyser>(), With({{0, {'R', 'a', 'r', '!', 0x1A, 0x07, 0x01}}}), 0, 0, kUnchanged},
    {"StuffIt types nothing yet", Make<FileSITAnalyser>(), With({{0, Text("StuffIt ")}}), 1, 0, kUnchanged},
    {"bzip2 disk image", Make<FileDMGAnalyser>(), With({{0, Text("BZh11AY&SY")}}), 1, 113, kUnchanged},
    {"bzip2 of another block size", Make<FileDMGAnalyser>(), With({{0, Text("BZh91AY&SY")}}), 0, 0, kUnchanged},

    {"compound file to the Word analyser", Make<FileLowDocAnalyser>(),
     With({{0, {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1}}, {48, LE32(43)}}), 1, 23, 48 * 512},
    {"compound file with the largest directory number", Make<FileLowDocAnalyser>(),
     With({{0, {0xD0, 0xCF, 0x11, 0xE0}}, {48, LE32(0xFFFFFFFF)}}), 1, 23, (0xFFFFFFFFULL + 5) * 512},
    {"Word 6 document", Make<FileLowDocAnalyser>(), With({{0, {0xDB, 0xA5, 0x2D, 0x00}}, {292, LE32(20000)}, {296, LE16(100)}}), 1,
     23, 20480},
    {"compound file", Make<FileOLEAnalyser>(), With({{0, {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1}}}), 1, 48, kUnchanged},
    {"Money", Make<FileMNYAnalyser>(), With({{4, Text("MSISAM Database")}}), 1, 40, 0x100000},
    {"OneNote with its size", Make<FileONEAnalyser>(),
     With({{4, {0x8C, 0xD8, 0xA7, 0x4D, 0xAE, 0xB1, 0x53, 0x78, 0xD0, 0x29, 0x96, 0xD3}}, {196, LE32(70000)}}), 1, 49, 70000},
    {"OneNote stating 0", Make<FileONEAnalyser>(),
     With({{4, {0x8C, 0xD8, 0xA7, 0x4D, 0xAE, 0xB1, 0x53, 0x78, 0xD0, 0x29, 0x96, 0xD3}}}), 1, 49, 0x300000},
    {"OneNote stating more than 1 GiB", Make<FileONEAnalyser>(),
     With({{4, {0x8C, 0xD8, 0xA7, 0x4D, 0xAE, 0xB1, 0x53, 0x78, 0xD0, 0x29, 0x96, 0xD3}}, {196, LE32(0x40000001)}}), 1, 49, 0x300000},
    {"WordPerfect document", Make<FileWPDAnalyser>(), With({{8, {1, 0x0A, 2, 1}}, {14, {0, 2, 5, 0}}, {20, LE32(3000)}}), 1, 68, 3000},
    {"WordPerfect graphics", Make<FileWPDAnalyser>(), With({{8, {1, 0x16, 2, 0}}, {14, {0, 0, 3, 0}}, {20, LE32(3000)}}), 1, 69, 3000},
    {"WordPerfect of another product", Make<FileWPDAnalyser>(), With({{8, {1, 0x0B, 2, 1}}, {14, {0, 2, 5, 0}}}), 0, 0, kUnchanged},
    {"mail store", Make<FileDBXAnalyser>(), With({{0, Text("JMF6")}, {4, {3, 0, 0x10, 0}}, {124, LE32(65536)}}), 1, 21, 65536},
    {"mail store of another kind", Make<FileDBXAnalyser>(), With({{0, Text("JMF6")}, {4, {4, 0, 0x10, 0}}}), 0, 0, kUnchanged},
    {"help file", Make<FileHLPAnalyser>(), With({{0, {0x3F, 0x5F, 3, 0}}, {4, LE32(600)}, {12, LE32(9000)}}), 1, 32, 9000},
    {"help file smaller than a sector", Make<FileHLPAnalyser>(), With({{0, {0x3F, 0x5F, 3, 0}}, {12, LE32(511)}}), 0, 0, kUnchanged},
    {"help file ending before its directory", Make<FileHLPAnalyser>(),
     With({{0, {0x3F, 0x5F, 3, 0}}, {4, LE32(9001)}, {12, LE32(9000)}}), 0, 0, kUnchanged},
};

class CarveFamilyHeaders : public ::testing::TestWithParam<HeaderCase> {};

TEST_P(CarveFamilyHeaders, AcceptTypeAndStateTheSizeFromOneSector) {
    const HeaderCase& c = GetParam();
    std::unique_ptr<IRawFileAnalyser> analyser(c.make());
    ASSERT_GE(c.sector.size(), kSector);
    CRawFileInfo record;
    record.size = 12345;  // what a check that leaves the size alone keeps
    const u32 result = analyser->CheckFileHeader(c.sector.data(), u32(c.sector.size()), record);
    EXPECT_EQ(result, c.result);
    EXPECT_EQ(record.fileType, c.type);
    EXPECT_EQ(record.size, c.size == kUnchanged ? 12345u : c.size);
}

INSTANTIATE_TEST_SUITE_P(Formats, CarveFamilyHeaders, ::testing::ValuesIn(kCases));

TEST(CarveFamilyHeaders, MrwSizeProductIsComputedWideAndCutToTheLargestOffset) {
    FileMRWAnalyser mrw;
    CRawFileInfo record;
    // 255 x 65535 x 65535 bits: more than 32 bits hold, and more than a walk may reach.
    const Sector s = With({{4, BE32(1000)}, {24, BE16(0xFFFF)}, {26, BE16(0xFFFF)}, {32, {0xFF}}});
    EXPECT_EQ(mrw.CheckFileHeader(s.data(), u32(s.size()), record), 1u);
    EXPECT_EQ(record.size, LargestFileOffset());
}

}  // namespace
