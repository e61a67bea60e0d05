// The RAW search's format analysers end to end, one row per file type of the carving fixture:
// the complete scan of the scan driver must find each file at its place on the disk, file it
// under its type's folder with the name its analyser gives, and recover it starting with the
// original's bytes and with the length the analyser computes (the exact length where the format
// states its end, whole sectors where the analyser rounds). Other analyser families add their
// own rows in files of their own.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "E2ESupport.h"
#include "Manifest.h"
#include "TestUtil.h"

namespace {

constexpr u64 kSector = 512;

enum class Length {
    Exact,          // the format gives its end
    WholeSectors,   // the analyser rounds up to the device's sectors
    Stated,         // the analyser's own rule gives a different length, stated in the row
};

struct Row {
    const char* path;    // in the manifest
    const char* folder;  // the type's description
    const char* name;    // the recovered file's name
    Length length;
    u64 stated = 0;  // Length::Stated only
};

std::ostream& operator<<(std::ostream& os, const Row& r) { return os << r.path; }

const Row kRows[] = {
    // Sized from their header.
    {"/CHORU28.AU", "AU file", "Morvenda_000.AU", Length::Exact},
    {"/ENGINE.BMP", "Bitmap file", "Morvenda_000.BMP", Length::Exact},
    {"/RECOR32.MKV", "MKV file", "Morvenda_000.MKV", Length::Exact},
    // Audio and video containers.
    {"/DSC59628.WAV", "WAVE Multimedia file", "Morvenda_000.WAV", Length::WholeSectors},
    {"/FILE2862.AVI", "Audio Video Interleave file", "Morvenda_000.AVI", Length::WholeSectors},
    {"/SPRING.AIF", "AIForAIFF file", "Morvenda_000.AIFF", Length::Exact},
    {"/FILE4307.WMV", "Windows Media Video", "Morvenda_000.WMV", Length::Exact},
    {"/SERVER.OGG", "Ogg file", "Morvenda_000.OGG", Length::Exact},
    {"/SPRING.MPG", "MPG file", "Morvenda_000.MPG", Length::Exact},
    {"/FILE5910.MID", "Musical Instrument Digital Interface file", "Morvenda_000.MID", Length::Exact},
    // Box-structured video, Flash video and MP3; the MP3 is named after the title of its tag.
    {"/REQUE65.MP4", "MP4 Multimedia file", "Morvenda_000.MP4", Length::Exact},
    {"/DSC45534.3GP", "3GP Multimedia file", "Morvenda_000.3GP", Length::Exact},
    {"/RECOR99.MOV", "MOV Multimedia file", "Morvenda_000.MOV", Length::Exact},
    {"/CONCERT.FLV", "Flash Video", "Morvenda_000.FLV", Length::Exact},
    {"/FILE4749.MP3", "MP3 Music file", "Invoice Beach Camera000.MP3", Length::Exact},
    // Archives; the office packages by their part names, named after their first entry.
    {"/SUPPL18.ZIP", "Zip compression file", "account_04.svg000.ZIP", Length::Exact},
    {"/WINTE30.CAB", "Cabinet file", "Morvenda_000.CAB", Length::Exact},
    {"/FOREC89.DOCX", "Microsoft DOCX file", "_rels_.rels000.DOCX", Length::Exact},
    {"/SECTOR.XLSX", "Microsoft XLSX file", "_rels_.rels000.XLSX", Length::Exact},
    {"/PAYMENT.PPTX", "Microsoft PPTX file", "_rels_.rels000.PPTX", Length::Exact},
    // Compound files go to the Word analyser, which sizes them from their first directory sector:
    // five 512-byte units past its number, two more than these files' directories end at.
    {"/DSC27973.DOC", "Microsoft Word Document", "Morvenda_000.DOC", Length::Stated, (43 + 5) * kSector},
    {"/RESPONSE.XLS", "Microsoft Word Document", "Morvenda_001.DOC", Length::Stated, (50 + 5) * kSector},
    {"/VIOLI59.PPT", "Microsoft Word Document", "Morvenda_002.DOC", Length::Stated, (918 + 5) * kSector},
};

struct Scan {
    std::unique_ptr<testutil::TempDir> tmp;
    std::string image;
    std::string out;
    int exitCode = -1;
    std::vector<u8> disk;
    std::vector<testutil::ManifestFile> manifest;
};

// One complete scan serves every row.
const Scan& CompleteScan() {
    static const Scan scan = [] {
        Scan s;
        s.tmp = std::make_unique<testutil::TempDir>();
        s.image = testutil::FixturePath("carve-mix.img");
        s.out = s.tmp->File("recovered");
        const std::string cwd = s.tmp->File("cwd");
        mkdir(cwd.c_str(), 0755);
        e2e::Untouched untouched({s.image}, cwd);
        s.exitCode = e2e::RunDriver({"--image", s.image, "--mode", "complete", "--volume", "disk:0", "--recover", s.out,
                                     "--json", s.tmp->File("report.json")},
                                    cwd, s.tmp->File("driver.log"));
        untouched.Expect();
        s.disk = testutil::ReadFileBytes(s.image);
        s.manifest = testutil::LoadManifest("carve-mix.json", 1);
        return s;
    }();
    return scan;
}

class CarveFamiliesE2E : public ::testing::TestWithParam<Row> {};

TEST_P(CarveFamiliesE2E, FoundAtItsOffsetTypedSizedAndRecoveredFromTheOriginalsBytes) {
    const Row& row = GetParam();
    const Scan& scan = CompleteScan();
    ASSERT_EQ(scan.exitCode, 0);
    const auto it = std::find_if(scan.manifest.begin(), scan.manifest.end(),
                                 [&](const testutil::ManifestFile& f) { return f.path == row.path; });
    ASSERT_NE(it, scan.manifest.end()) << row.path << " is not in the manifest";
    ASSERT_EQ(it->runs.size(), 1u);
    const u64 offset = it->runs[0].first;
    ASSERT_EQ(offset % kSector, 0u);

    const std::string written = e2e::LostFilePath(scan.out, row.folder, row.name);
    ASSERT_TRUE(testutil::FileExists(written)) << "missing " << written;
    const std::vector<u8> bytes = testutil::ReadFileBytes(written);
    const u64 expected = row.length == Length::Exact          ? it->size
                         : row.length == Length::WholeSectors ? (it->size + kSector - 1) / kSector * kSector
                                                              : row.stated;
    EXPECT_EQ(bytes.size(), expected) << row.path << " (original " << it->size << " bytes)";
    // The recovered bytes are the disk's from the manifest's offset on, so it was found there and
    // starts with the original file.
    ASSERT_GE(scan.disk.size(), offset + bytes.size());
    EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), scan.disk.begin() + static_cast<long>(offset)))
        << row.path << " was not recovered from offset " << offset;
    ASSERT_GE(bytes.size(), it->size);
    EXPECT_EQ(testutil::Sha256Hex(bytes.data(), it->size), it->sha256);
}

INSTANTIATE_TEST_SUITE_P(CarveMix, CarveFamiliesE2E, ::testing::ValuesIn(kRows),
                         [](const ::testing::TestParamInfo<Row>& info) {
                             std::string name;
                             for (const char* c = info.param.path; *c; ++c) {
                                 if (std::isalnum(static_cast<unsigned char>(*c))) name.push_back(*c);
                             }
                             return name;
                         });

// ---------------------------------------------------------------- files made by real tools

bool HaveTool(const char* name) { return std::system((std::string("command -v ") + name + " >/dev/null 2>&1").c_str()) == 0; }

struct Planted {
    const char* what;
    std::string command;  // writes the file named at its end
    u64 offset;
    const char* folder;
    const char* name;
    Length length;
    size_t cutTo = 0;  // nonzero: only this many bytes of the file are on the disk
};

TEST(CarveFamiliesToolFiles, BackToBackAcrossABlockAndCutShortTheyComeBackFromTheirOffsets) {
    if (!HaveTool("convert") || !HaveTool("zip") || !HaveTool("python3")) GTEST_SKIP() << "ImageMagick, zip and python3";
    testutil::TempDir tmp;
    constexpr u64 kMiB = 1024 * 1024;
    constexpr u64 kBlock = 4 * kMiB;
    const std::string py = "python3 -c \"import sys,math,";
    const std::string tone = "frames=b''.join(int(8000*math.sin(i/9)).to_bytes(2,'big',signed=True) for i in range(";
    const std::string texts = "cd " + tmp.Path() + " && seq 1 4000 > notes_a.txt && seq 9 7000 > notes_b.txt && zip -q - notes_a.txt notes_b.txt >";
    std::vector<Planted> planted = {
        {"bitmap", "convert -seed 4 -size 300x200 plasma:fractal BMP3:", kMiB, "Bitmap file", "Morvenda_000.BMP",
         Length::Exact},
        // Laid straight after the bitmap, in the sector where it ends.
        {"wave after the bitmap",
         py + "wave; w=wave.open(sys.argv[1],'wb'); w.setnchannels(1); w.setsampwidth(2); w.setframerate(8000); " +
             "w.writeframes(bytes(range(256))*90); w.close()\"",
         0, "WAVE Multimedia file", "Morvenda_000.WAV", Length::WholeSectors},
        {"zip over a block boundary", texts, kBlock - 2048, "Zip compression file", "notes_a.txt000.ZIP", Length::Exact},
        {"aiff", py + "aifc; w=aifc.open(sys.argv[1],'wb'); w.setnchannels(1); w.setsampwidth(2); w.setframerate(8000); " +
                     tone + "6000)); w.writeframes(frames); w.close()\"",
         6 * kMiB, "AIForAIFF file", "Morvenda_000.AIFF", Length::Exact},
        {"au", py + "sunau; w=sunau.open(sys.argv[1],'wb'); w.setnchannels(1); w.setsampwidth(2); w.setframerate(8000); " +
                   tone + "5000)); w.writeframes(frames); w.close()\"",
         7 * kMiB, "AU file", "Morvenda_000.AU", Length::Exact},
        // Its header still states the whole length: the recovered file is that long, its first
        // part the bytes that survived.
        {"wave cut short",
         py + "wave; w=wave.open(sys.argv[1],'wb'); w.setnchannels(1); w.setsampwidth(2); w.setframerate(8000); " +
             "w.writeframes(bytes(range(256))*200); w.close()\"",
         8 * kMiB + 3 * kSector, "WAVE Multimedia file", "Morvenda_001.WAV", Length::WholeSectors, 20000},
    };
    std::vector<e2e::PlantedFile> files;
    for (size_t i = 0; i < planted.size(); ++i) {
        const std::string path = tmp.File("made" + std::to_string(i));
        const std::string& make = planted[i].command;
        // ImageMagick takes the format as a prefix of the path.
        const std::string command =
            make + (make.back() == ':' ? "" : " ") + path;
        ASSERT_EQ(std::system((command + " 2>/dev/null").c_str()), 0) << command;
        files.push_back({testutil::ReadFileBytes(path), planted[i].offset, planted[i].cutTo});
        ASSERT_GT(files.back().bytes.size(), kSector) << planted[i].what;
    }
    files[1].offset = (files[0].offset + files[0].bytes.size()) / kSector * kSector + kSector;
    ASSERT_GT(files[2].offset + files[2].bytes.size(), kBlock);

    const std::string image = tmp.File("tools.img");
    ASSERT_TRUE(e2e::WritePlantedImage(image, files, 10 * kMiB));
    const std::string out = tmp.File("recovered");
    const std::string cwd = tmp.File("cwd");
    mkdir(cwd.c_str(), 0755);
    ASSERT_EQ(e2e::RunDriver({"--image", image, "--mode", "complete", "--volume", "disk:0", "--recover", out}, cwd,
                             tmp.File("driver.log")),
              0);
    const std::vector<u8> disk = testutil::ReadFileBytes(image);
    for (size_t i = 0; i < planted.size(); ++i) {
        const Planted& p = planted[i];
        SCOPED_TRACE(p.what);
        const u64 size = files[i].bytes.size();
        e2e::ExpectCarved(e2e::LostFilePath(out, p.folder, p.name), files[i],
                          p.length == Length::Exact ? size : (size + kSector - 1) / kSector * kSector, disk);
    }
}

}  // namespace
