// The length walks of the container, media, archive and compound-file analysers over small files
// laid out the way their formats are, on a memory disk: each is sized as its format says; cut
// short, damaged by seeded mutations or stating absurd lengths, each still ends, with a size no
// larger than its bound.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "EventRecorder.h"
#include "ImageDevice.h"
#include "bench/fuzz/RawFamilyFuzzRoad.h"
#include "RawTestBytes.h"
#include "engine/RawFileInfo.h"
#include "raw/FileArchiveAnalysers.h"
#include "raw/FileBoxVideoAnalysers.h"
#include "raw/FileCompoundAnalysers.h"
#include "raw/FileMediaContainerAnalysers.h"
#include "raw/RawScanState.h"
#include "raw/ReadWindow.h"

namespace {

using rawtest::Put16;
using rawtest::Put32;
using Bytes = std::vector<u8>;
constexpr u32 kSector = 512;

void Add(Bytes& v, const std::string& t) { v.insert(v.end(), t.begin(), t.end()); }
void Add(Bytes& v, std::initializer_list<u8> b) { v.insert(v.end(), b); }
void Zeros(Bytes& v, size_t n) { v.insert(v.end(), n, 0); }
void Fill(Bytes& v, size_t n, u8 seed) {
    for (size_t i = 0; i < n; ++i) v.push_back(u8(0x20 + (seed + i * 7) % 90));
}
void PadTo(Bytes& v, size_t n) {
    if (v.size() < n) v.resize(n, 0);
}

// ---------------------------------------------------------------- sample files

Bytes Riff(u32 length) {
    Bytes v;
    Add(v, "RIFF");
    Put32(v, length, false);
    Add(v, "WAVEfmt ");
    Fill(v, length - 8, 1);
    return v;
}

Bytes Aiff() {
    Bytes v;
    Add(v, "FORM");
    Put32(v, 3000, true);
    Add(v, "AIFF");
    Fill(v, 2996, 2);
    return v;
}

const u8 kAsfHeaderId[] = {0x30, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11, 0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE, 0x6C};
const u8 kAsfDataId[] = {0x36, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11, 0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE, 0x6C};
const u8 kAsfIndexId[] = {0x90, 0x08, 0x00, 0x33, 0xB1, 0xE5, 0xCF, 0x11, 0x89, 0xF4, 0x00, 0xA0, 0xC9, 0x03, 0x49, 0xCB};
const u8 kAsfPropsId[] = {0x91, 0x07, 0xDC, 0xB7, 0xB7, 0xA9, 0xCF, 0x11, 0x8E, 0xE6, 0x00, 0xC0, 0x0C, 0x20, 0x53, 0x65};
const u8 kAsfAudioId[] = {0x40, 0x9E, 0x69, 0xF8, 0x4D, 0x5B, 0xCF, 0x11, 0xA8, 0xFD, 0x00, 0x80, 0x5F, 0x5C, 0x44, 0x2B};

void AsfObject(Bytes& v, const u8* id, u64 size, u8 seed) {
    v.insert(v.end(), id, id + 16);
    for (int i = 0; i < 8; ++i) v.push_back(u8(size >> (8 * i)));
    Fill(v, size - 24, seed);
}

Bytes Asf(bool withIndex) {
    Bytes v;
    v.insert(v.end(), kAsfHeaderId, kAsfHeaderId + 16);
    Bytes props(kAsfPropsId, kAsfPropsId + 16);
    Zeros(props, 8);
    props.insert(props.end(), kAsfAudioId, kAsfAudioId + 16);
    Zeros(props, 40);
    const u64 headerSize = 30 + props.size();
    for (int i = 0; i < 8; ++i) v.push_back(u8(headerSize >> (8 * i)));
    Zeros(v, 6);
    v.insert(v.end(), props.begin(), props.end());
    AsfObject(v, kAsfDataId, 5000, 3);
    if (withIndex) AsfObject(v, kAsfIndexId, 300, 4);
    return v;
}

void RmChunk(Bytes& v, const char* id, u32 size) {
    Add(v, id);
    Put32(v, size, true);
    Fill(v, size - 8, 5);
}
Bytes RealMedia() {
    Bytes v;
    RmChunk(v, ".RMF", 18);
    RmChunk(v, "PROP", 50);
    RmChunk(v, "MDPR", 80);
    RmChunk(v, "DATA", 900);
    RmChunk(v, "INDX", 40);
    return v;
}
// Its stream header lies past the first sector; the index chunk that ends it gives its length.
Bytes RealMediaVideo() {
    Bytes v;
    for (const auto& [id, size] : {std::pair{".RMF", 18u}, {"CONT", 548u}, {"MDPR", 80u}, {"DATA", 900u}}) RmChunk(v, id, size);
    std::memcpy(v.data() + 18 + 548 + 20, "Video Stream", 12);
    Add(v, {'I', 'N', 'D', 'X', 0, 0, 0, 0x14, 0, 0, 0, 0, 0, 0, 0, 2, 0, 0, 0, 0});
    return v;
}

void OggPage(Bytes& v, std::initializer_list<u8> lacing) {
    Add(v, "OggS");
    Zeros(v, 22);
    v.push_back(u8(lacing.size()));
    v.insert(v.end(), lacing);
    for (u8 l : lacing) Fill(v, l, l);
}
Bytes Ogg() {
    Bytes v;
    OggPage(v, {30});
    OggPage(v, {255, 255, 10});
    OggPage(v, {});
    OggPage(v, {200, 7});
    return v;
}

Bytes Mpeg() {
    Bytes v;
    for (int pack = 0; pack < 3; ++pack) {
        Add(v, {0, 0, 1, 0xBA, 0x21, 0x00, 0x01, 0x00, 0x01, 0x80, 0x00, 0x01});
        Add(v, {0, 0, 1, 0xE0});
        Put16(v, 700, true);
        Fill(v, 700, u8(pack));
    }
    Add(v, {0, 0, 1, 0xB9});
    return v;  // the end code's length field is the zeros after it
}

Bytes Midi() {
    Bytes v;
    Add(v, "MThd");
    Add(v, {0, 0, 0, 6, 0, 1, 0, 2, 0, 96});
    for (u32 len : {40u, 1200u}) {
        Add(v, "MTrk");
        Put32(v, len, true);
        Fill(v, len, 9);
    }
    return v;
}

Bytes Ape(u32 headerBytes, u64 frameBytes, bool tag) {
    Bytes v;
    Add(v, "MAC ");
    Put16(v, 3990, false);
    Zeros(v, 2);
    for (u32 x : {52u, headerBytes, 0u, 0u}) Put32(v, x, false);
    Put32(v, u32(frameBytes), false);
    Put32(v, u32(frameBytes >> 32), false);
    Put32(v, 0, false);
    if (frameBytes < 100000) {
        Fill(v, 52 + headerBytes + frameBytes - v.size(), 6);
        if (tag) {
            Add(v, "APETAGEX");
            Fill(v, 24, 7);
        }
    }
    return v;
}

void Box(Bytes& v, const char* type, u32 size) {
    Put32(v, size, true);
    Add(v, type);
    Fill(v, size - 8, 8);
}
Bytes Mp4() {
    Bytes v;
    Put32(v, 24, true);
    Add(v, "ftypisom");
    Fill(v, 12, 1);
    Box(v, "moov", 300);
    Box(v, "free", 16);
    Box(v, "mdat", 2000);
    return v;
}
Bytes Mov(bool wideMdat) {
    Bytes v;
    Put32(v, 20, true);
    Add(v, "ftypqt  ");
    Fill(v, 8, 1);
    Box(v, "wide", 8);
    if (wideMdat) {
        Put32(v, 1, true);
        Add(v, "mdat");
        Zeros(v, 4);
        Put32(v, 1016, true);
        Fill(v, 1000, 2);
    } else {
        Box(v, "mdat", 1016);
    }
    Box(v, "moov", 400);
    return v;
}

Bytes Flv() {
    Bytes v;
    Add(v, {'F', 'L', 'V', 1, 5, 0, 0, 0, 9, 0, 0, 0, 0});
    for (auto [kind, data] : {std::pair<u8, u32>{18, 300}, {9, 2000}, {8, 417}, {9, 1500}}) {
        v.push_back(kind);
        Add(v, {u8(data >> 16), u8(data >> 8), u8(data)});
        Zeros(v, 7);
        Fill(v, data, kind);
        Put32(v, data + 11, true);
    }
    return v;
}

void Id3Frame(Bytes& v, const char* id, const Bytes& data) {
    Add(v, id);
    Put32(v, u32(data.size()), true);
    Zeros(v, 2);
    v.insert(v.end(), data.begin(), data.end());
}
// A tag with title and year, `frames` frames of 417 bytes and, when asked, an ID3v1 trailer that
// ends a sector.
Bytes Mp3(u32 frames, bool trailer) {
    Bytes tag;
    Id3Frame(tag, "TIT2", {0, 'H', 'a', 'r', 'b', 'o', 'u', 'r'});
    Bytes utf16 = {1, 0xFF, 0xFE};
    for (char c : std::string("2021")) Add(utf16, {u8(c), 0});
    Id3Frame(tag, "TYER", utf16);
    Bytes v = {'I', 'D', '3', 3, 0, 0, 0, 0, 0, u8(tag.size())};
    v.insert(v.end(), tag.begin(), tag.end());
    for (u32 f = 0; f < frames; ++f) {
        Add(v, {0xFF, 0xFB, 0x90, 0x00});
        Fill(v, 413, u8(f));
    }
    if (trailer) {
        PadTo(v, (v.size() + 128 + kSector - 1) / kSector * kSector - 128);
        Add(v, "TAG");
        Fill(v, 125, 3);
    }
    return v;
}

void ZipLocal(Bytes& v, const std::string& name, u32 dataBytes) {
    Put32(v, 0x04034B50, false);
    Add(v, {20, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
    Put32(v, dataBytes, false);
    Put32(v, dataBytes, false);
    Put16(v, u16(name.size()), false);
    Put16(v, 0, false);
    Add(v, name);
    Fill(v, dataBytes, 4);
}
void ZipCentral(Bytes& v, const std::string& name) {
    Put32(v, 0x02014B50, false);
    Zeros(v, 24);
    Put16(v, u16(name.size()), false);
    Zeros(v, 16);
    Add(v, name);
}
Bytes Zip(const std::vector<std::string>& names) {
    Bytes v;
    for (const std::string& n : names) ZipLocal(v, n, 700);
    for (const std::string& n : names) ZipCentral(v, n);
    Put32(v, 0x06054B50, false);
    Zeros(v, 18);
    return v;
}

Bytes Rar() {
    Bytes v = {'R', 'a', 'r', '!', 0x1A, 0x07, 0x00};
    Add(v, {0, 0, 0x73, 0, 0, 13, 0});
    Zeros(v, 6);
    Add(v, {0, 0, 0x74, 0, 0x80, 40, 0});
    Put32(v, 900, false);
    Put32(v, 1800, false);
    v.push_back(2);
    Zeros(v, 40 - 16);
    Fill(v, 900, 5);
    Add(v, {0xC4, 0x3D, 0x7B, 0x00, 0x40, 0x07, 0x00});
    return v;
}

Bytes StuffIt(u32 length) {
    Bytes v;
    Add(v, "StuffIt (c)1997-2002 Aladdin Systems, Inc., http://www.aladdinsys.com/StuffIt/\r\n");
    PadTo(v, 84);
    Put32(v, length, true);
    Fill(v, 400, 1);
    return v;
}

Bytes Dmg() {
    Bytes v;
    Add(v, "BZh11AY&SY");
    Fill(v, 3 * kSector - 10, 2);
    Add(v, "koly");
    Fill(v, 200, 3);
    PadTo(v, 4 * kSector);
    return v;
}

// A compound file of one FAT sector (unit 1) whose last used entry is `lastUsed`, directory at
// unit 2 with the given entry names.
Bytes Compound(u32 lastUsed, const std::vector<std::string>& names, u32 fatSectors = 1) {
    Bytes v = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
    PadTo(v, 48);
    Put32(v, 1, false);  // first directory sector
    PadTo(v, 68);
    Put32(v, 0xFFFFFFFE, false);  // no DIFAT chain
    PadTo(v, 76);
    for (u32 i = 0; i < 109; ++i) Put32(v, i < fatSectors ? 0 : 0xFFFFFFFF, false);
    PadTo(v, kSector);
    for (u32 i = 0; i < 128; ++i) Put32(v, i <= lastUsed ? i + 1 : 0xFFFFFFFF, false);
    for (const std::string& n : names) {
        Bytes entry;
        for (char c : n) Add(entry, {u8(c), 0});
        PadTo(entry, 128);
        v.insert(v.end(), entry.begin(), entry.end());
    }
    PadTo(v, 3 * kSector);
    return v;
}

// ---------------------------------------------------------------- the table

struct WalkCase {
    const char* what;
    std::function<IRawFileAnalyser*()> make;
    Bytes file;
    u32 result;
    u64 size;
    u32 type;  // after the walk; kKeep: the header check's
    std::string name = {};
};
std::ostream& operator<<(std::ostream& os, const WalkCase& c) { return os << c.what; }

constexpr u32 kKeep = ~0u;

template <class A>
std::function<IRawFileAnalyser*()> Make() {
    return [] { return new A(); };
}

const std::vector<WalkCase>& Cases() {
    static const std::vector<WalkCase> cases = [] {
        std::vector<WalkCase> c;
        c.push_back({"RIFF whose header ends a sector", Make<FileRIFFAnalyser>(), Riff(4088), 1, 4096, kKeep});
        // The chunk length leaves out the 8-byte header: a length of whole sectors still needs
        // one more sector for the file's last 8 bytes.
        c.push_back({"RIFF of a whole number of sectors", Make<FileRIFFAnalyser>(), Riff(4096), 1, 4608, kKeep});
        c.push_back({"AIFF", Make<CFileAIFAnalyzer>(), Aiff(), 1, 3008, kKeep});
        c.push_back({"ASF with its index", Make<FileASFAnalyser>(), Asf(true), 1, Asf(true).size(), 7});
        c.push_back({"ASF without an index", Make<FileASFAnalyser>(), Asf(false), 1, Asf(false).size(), 7});
        c.push_back({"RealMedia chunks", Make<FileRM_RMVBAnalyser>(), RealMedia(), 1, RealMedia().size(), kKeep});
        c.push_back({"RealMedia with video", Make<FileRM_RMVBAnalyser>(), RealMediaVideo(), 1, RealMediaVideo().size(), 95});
        c.push_back({"Ogg pages, one without segments", Make<CFileOggAnalyser>(), Ogg(), 1, Ogg().size(), kKeep});
        c.push_back({"MPEG program stream", Make<FileMPGAnalyser>(), Mpeg(), 1, Mpeg().size() + 2, 109});
        c.push_back({"MIDI with two tracks", Make<FileMIDAnalyser>(), Midi(), 1, Midi().size(), kKeep});
        c.push_back({"APE with a tag footer", Make<CFileAPEAnalyser>(), Ape(100, 3000, true), 1, 52 + 100 + 3000 + 32, kKeep});
        // Descriptor fields near their limits add up without wrapping, to the bound.
        c.push_back({"APE stating 2^64 - 1 frame bytes", Make<CFileAPEAnalyser>(), Ape(0xFFFFFFFF, ~u64(0), false), 1,
                     LargestFileOffset() * 10, kKeep});
        c.push_back({"MP4 boxes", Make<FileMP4Analyser>(), Mp4(), 1, Mp4().size(), kKeep});
        c.push_back({"QuickTime boxes", Make<FileMOVAnalyser>(), Mov(false), 1, Mov(false).size(), kKeep});
        c.push_back({"QuickTime with a 64-bit mdat", Make<FileMOVAnalyser>(), Mov(true), 1, 28, kKeep});
        c.push_back({"FLV followed by zeros", Make<FileFLVAnalyser>(), Flv(), 1, Flv().size(), 90});
        c.push_back({"MP3 with an ID3v1 trailer ending a sector", Make<FileMP3Analyser>(), Mp3(6, true), 1,
                     Mp3(6, true).size(), kKeep, "Harbour"});
        c.push_back({"MP3 frames followed by zeros", Make<FileMP3Analyser>(), Mp3(4, false), 1, Mp3(4, false).size(), kKeep,
                     "Harbour"});
        c.push_back({"MP3 tag without audio", Make<FileMP3Analyser>(), Mp3(0, false), 0, 0, kKeep});
        c.push_back({"ZIP", Make<FileZIPAnalyser>(), Zip({"a.txt", "b.txt"}), 1, Zip({"a.txt", "b.txt"}).size(), 72, "a.txt"});
        c.push_back({"office package whose content types come last", Make<FileZIPAnalyser>(),
                     Zip({"_rels/.rels", "word/document.xml", "[Content_Types].xml"}), 1,
                     Zip({"_rels/.rels", "word/document.xml", "[Content_Types].xml"}).size(), 73, "_rels_.rels"});
        c.push_back({"drawing stored as ZIP", Make<FileZIPAnalyser>(), Zip({"content/riffData.cdr"}), 1,
                     Zip({"content/riffData.cdr"}).size(), 13, "content_riffData.cdr"});
        c.push_back({"RAR with its end block", Make<FileRARAnalyser>(), Rar(), 1, Rar().size(), kKeep});
        c.push_back({"StuffIt 5", Make<FileSITAnalyser>(), StuffIt(5000), 1, 5000, 92});
        c.push_back({"StuffIt 5 with bit 31 of its length set", Make<FileSITAnalyser>(), StuffIt(0x80000000u), 1,
                     LargestFileOffset() * 10, 92});
        c.push_back({"disk image with its koly block", Make<FileDMGAnalyser>(), Dmg(), 1, 3 * kSector + 512, 113});
        c.push_back({"compound Word file", Make<FileOLEAnalyser>(), Compound(40, {"Root Entry", "WordDocument"}), 1, 21504, 23});
        c.push_back({"compound workbook", Make<FileOLEAnalyser>(), Compound(40, {"Root Entry", "Workbook"}), 1, 21504, 71});
        c.push_back({"compound Visio drawing", Make<FileOLEAnalyser>(), Compound(40, {"Root Entry", "VisioDocument"}), 1,
                     21504 + 1024, 66});
        c.push_back({"compound file of office graphics", Make<FileOLEAnalyser>(),
                     Compound(40, {"Root Entry", "PerfectOffice_MAIN", "PerfectOffice_OBJECTS", "x"}), 1, 21504, 69});
        c.push_back({"compound file under 6144 bytes", Make<FileOLEAnalyser>(), Compound(5, {"Root Entry", "WordDocument"}), 0,
                     0, kKeep});
        c.push_back({"compound file without a FAT sector", Make<FileOLEAnalyser>(),
                     Compound(40, {"Root Entry", "WordDocument"}, 0), 0, 0, kKeep});
        return c;
    }();
    return cases;
}

struct Outcome {
    u32 result = 0;
    CRawFileInfo record;
};

// The file at sector 0 of a disk that has room after it; the header check first, as the search does.
Outcome Analyse(const WalkCase& c, const Bytes& file, size_t diskBytes) {
    testutil::MemoryDevice device(kSector, (std::max(diskBytes, file.size()) + kSector - 1) / kSector + 1);
    device.Put(0, file);
    std::unique_ptr<IRawFileAnalyser> analyser(c.make());
    Outcome o;
    Bytes sector(file.begin(), file.begin() + std::min<size_t>(file.size(), kSector));
    sector.resize(kSector, 0);
    analyser->CheckFileHeader(sector.data(), u32(sector.size()), o.record);
    o.record.size = 0;
    o.result = analyser->AnalyseFileSize(o.record, &device);
    return o;
}

// The largest any walk may state: the RAR walk's bound, plus one last block.
u64 LargestStatedSize() { return LargestFileOffset() * 200 + (u64(1) << 33); }

class CarveFamilyWalks : public ::testing::TestWithParam<WalkCase> {};

TEST_P(CarveFamilyWalks, SizeTheFileAsItsFormatSays) {
    const WalkCase& c = GetParam();
    const Outcome o = Analyse(c, c.file, c.file.size() + 64 * 1024);
    EXPECT_EQ(o.result, c.result);
    EXPECT_EQ(o.record.size, c.size);
    if (c.type != kKeep) {
        EXPECT_EQ(o.record.fileType, c.type);
    }
    if (!c.name.empty()) {
        EXPECT_EQ(o.record.nameText, c.name);
    }
}

TEST_P(CarveFamilyWalks, CutShortOrDamagedTheyStillEndWithinTheirBound) {
    const WalkCase& c = GetParam();
    std::mt19937_64 rng(std::hash<std::string>()(c.what));
    constexpr int kRuns = 60;
    for (int run = 0; run < kRuns; ++run) {
        Bytes file = c.file;
        // Cut the file anywhere; then damage a few bytes, preferring the first sector's fields.
        if (run % 3 == 0) file.resize(1 + rng() % file.size());
        const int hits = 1 + int(rng() % 6);
        for (int h = 0; h < hits && !file.empty(); ++h) {
            const size_t span = rng() % 2 ? std::min<size_t>(file.size(), 128) : file.size();
            const size_t at = rng() % span;
            switch (rng() % 3) {
                case 0: file[at] = u8(rng()); break;
                case 1: file[at] = 0xFF; break;
                default: file[at] = 0; break;
            }
        }
        const Outcome o = Analyse(c, file, run % 2 ? file.size() : file.size() + 16 * 1024);
        EXPECT_LE(o.record.size, LargestStatedSize()) << c.what << " run " << run;
    }
}

// The stream an analyser sized last swallows a pack header inside it (0) in the same scan only: not
// in another (1), outside any (2), by another analyser (3), or once one went away (4). Each walk reports.
TEST(CarveFamilyWalks, TheMpegStreamSizedLastSwallowsThePackHeadersInsideItInItsOwnScan) {
    Bytes disk = Mpeg();
    PadTo(disk, 8 * kSector);
    testutil::MemoryDevice device(kSector, 16);
    device.Put(0, disk);
    device.Put(2 * kSector, Mpeg());  // a pack header the signature pass finds inside the first stream
    testutil::EventRecorder stats;
    SetStatsFallbackSink(&stats);
    for (const int which : {0, 1, 2, 3, 4}) {
        SCOPED_TRACE(which);
        FileMPGAnalyser mpg, other;
        const auto scan = std::make_shared<CRawScanState>();
        CRawFileInfo first, inner;
        first.startSector = 0;
        first.scan = scan;
        inner.startSector = 2;
        inner.scan = which == 1 ? std::make_shared<CRawScanState>() : which == 2 ? nullptr : scan;
        ASSERT_EQ(mpg.AnalyseFileSize(first, &device), 1u);
        ASSERT_GT(first.size, 2u * kSector);
        if (which == 4) FileMPGAnalyser{};
        EXPECT_EQ((which == 3 ? other : mpg).AnalyseFileSize(inner, &device), which == 0 ? 0u : 1u);
        EXPECT_EQ(inner.size == 0, which == 0) << inner.size;
    }
    SetStatsFallbackSink(nullptr);
    EXPECT_EQ(stats.events, std::vector<u32>(9, FileMPGAnalyser::kWalkEvent));  // none of the swallowed header
}

TEST(CarveFamilyWalks, ZipEntriesWhoseLengthsPassFourGigabytesEndTheWalk) {
    // Two records whose lengths add up past 2^32: summed in 32 bits the walk would come back to
    // the start and go round again.
    Bytes v;
    ZipLocal(v, "a", 16);
    const size_t second = v.size();
    ZipLocal(v, "b", 16);
    const u32 wrap = u32(0x100000000ULL - second - 30 - 1);
    std::memcpy(v.data() + second + 18, &wrap, 4);
    WalkCase c{"wrapping ZIP", Make<FileZIPAnalyser>(), v, 1, 0, kKeep};
    const Outcome o = Analyse(c, v, v.size() + 4096);
    EXPECT_EQ(o.result, 1u);
    EXPECT_GE(o.record.size, second);
    EXPECT_LE(o.record.size, LargestStatedSize());
}

// A short seeded run of the family fuzzer (bench/fuzz/raw_family_fuzz for long ones).
TEST(CarveFamilyFuzzShortRun, HeaderChecksAndWalksOverStrewnIdentifiers) {
    constexpr u64 kSeeds = 1500;
    fuzzverdict::Tally tally;
    for (u64 seed = 0; seed < kSeeds; ++seed) tally.Add(rawfamilyfuzz::Run(seed), seed);
    EXPECT_EQ(tally.inputs, kSeeds);
    EXPECT_EQ(tally.failed, 0u) << tally.firstFailure;
    // Half the seeds whose header is refused stop there; the rest walk.
    EXPECT_GE(tally.ran, kSeeds / 2);
}

INSTANTIATE_TEST_SUITE_P(Formats, CarveFamilyWalks, ::testing::ValuesIn(Cases()));

}  // namespace
