// The PDF analyser: the end marker in the sector where the document stops, Illustrator texts
// and documents it cannot read.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "AnalyserTestDevice.h"
#include "raw/FilePDFAnalyser.h"

namespace {

std::vector<u8> Bytes(const std::string& s) { return std::vector<u8>(s.begin(), s.end()); }

TEST(PdfAnalyser, EndMarkerIllustratorFilesAndDamage) {
    struct Case {
        const char* what;
        std::string text;
        u8 after;
        u32 type;
        u64 size;
    };
    const std::string pdf = "%PDF-1.7\n1 0 obj\n<<>>\nendobj\n" + std::string(1500, 'q') + "\nstartxref\n9\n%%EOF\n";
    std::string incremental = "%PDF-1.4\n" + std::string(1100, 'q') + "%%EOF\n";
    incremental += std::string(1024 - incremental.size() % 512 + 512, 'u') + "%%EOF\n";
    const std::string ai = "%!PS-Adobe-3.0\n%%Creator: Adobe Illustrator(R) 24\n" + std::string(1000, 'i') + "%%EOF\n";
    const std::vector<Case> cases = {
        {"two bytes past the marker", pdf, 0, FilePDFAnalyser::kType, pdf.size() + 1},
        {"an update's first marker is passed over", incremental, 0, FilePDFAnalyser::kType, incremental.size() + 1},
        {"Illustrator text", ai, 0, FilePDFAnalyser::kTypeIllustrator, ai.size() + 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FilePDFAnalyser analyser;
        std::vector<u8> bytes = Bytes(c.text);
        bytes[4] = '-';  // the header check's dash, also in the Illustrator text
        CRawFileInfo record;
        record.startSector = rawtest::kFileSector;
        testutil::MemoryDevice device(512, 16);
        device.Put(rawtest::kFileSector * 512, bytes);
        EXPECT_EQ(analyser.AnalyseFileSize(record, &device), 1u);
        EXPECT_EQ(record.fileType == 0 ? FilePDFAnalyser::kType : record.fileType, c.type);
        EXPECT_EQ(record.size, c.size);
    }
    FilePDFAnalyser analyser;
    CRawFileInfo record;
    const std::vector<u8> notPdf = Bytes("%PDF1.4");
    EXPECT_EQ(analyser.CheckFileHeader(notPdf.data(), u32(notPdf.size()), record), 0u);
    EXPECT_EQ(analyser.AnalyseFileSize(record, nullptr), 0u);
    EXPECT_EQ(record.size, 0u);
    EXPECT_EQ(FilePDFAnalyser::HasPdfStructureText("x\ntrailr\n"), 1u);
    EXPECT_EQ(FilePDFAnalyser::HasPdfStructureText("trailer"), 0u);
    EXPECT_EQ(FilePDFAnalyser::HasPdfStructureText(nullptr), 0u);
}

}  // namespace
