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
#include <memory>
#include <string>
#include <vector>

#include "E2ESupport.h"
#include "Manifest.h"
#include "TestUtil.h"

namespace {

constexpr const char* kLostRoot = "更多丢失文件";
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

    const std::string written = scan.out + "/0/" + kLostRoot + "/" + row.folder + "/" + row.name;
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

}  // namespace
