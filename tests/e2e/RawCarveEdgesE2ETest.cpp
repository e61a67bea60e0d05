// Carved files at the edges of what the scan reads, through the scan driver's complete scan of a
// disk made byte by byte: a ZIP whose header states more bytes than the disk holds after it (cut
// at the disk's end: written as far as the disk goes and counted incomplete, so the run fails),
// and an SVG whose opening tag lies past the 4 MiB block its first sector is read in.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "E2ESupport.h"
#include "TestUtil.h"

namespace {

constexpr u64 kMiB = 1024 * 1024;
constexpr u64 kSector = 512;
constexpr int kNotAllRecovered = 1;

struct RunResult {
    int status = -1;
    e2e::Json report;
    std::string log;
};

RunResult RunComplete(const testutil::TempDir& tmp, const std::string& image, const std::string& out) {
    RunResult r;
    r.status = e2e::RunDriver({"--image", image, "--mode", "complete", "--volume", "disk:0", "--lost-reason", "1",
                               "--recover", out, "--json", tmp.File("report.json")},
                              tmp.Path(), tmp.File("run.log"));
    r.log = testutil::ReadFileText(tmp.File("run.log"));
    EXPECT_TRUE(testutil::ReadJsonFile(tmp.File("report.json"), r.report)) << r.log;
    return r;
}

u64 Count(const RunResult& r, const char* what) { return u64(r.report["recovered"][what].number); }

// The local header of a ZIP entry whose stored data claims 9 MiB, with no name: more than either
// disk holds after it, yet little enough that the writer's free-space check passes on a machine
// with a small temporary folder.
std::vector<u8> ZipHeaderClaimingMoreThanTheDisk() {
    return {0x50, 0x4B, 0x03, 0x04, 0x14, 0x00, 0x00, 0x00, 0x08, 0x00, 0x05, 0x61, 0x45, 0xB2, 0x82,
            0x23, 0x1B, 0xFE, 0x00, 0x00, 0x90, 0x00, 0xB4, 0x81, 0xE1, 0x4C, 0x00, 0x00, 0x00, 0x00};
}

TEST(RawCarveEdgesE2E, AZipCutShortOfItsStatedSizeIsWrittenAsFarAsTheDiskGoesAndCountedIncomplete) {
    struct Case {
        const char* what;
        u64 diskBytes;
        u64 offset;
    };
    const Case cases[] = {
        // Smaller than the search's ring: the file is sized in the lost-file pass.
        {"1 MiB disk, header at sector 100", 1 * kMiB, 100 * kSector},
        // Larger than the ring: sized in the block loop, at the disk's last block.
        {"100 MiB disk, header in the last block", 100 * kMiB, 97 * kMiB + 100 * kSector},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        testutil::TempDir tmp;
        const std::string image = tmp.File("disk.img");
        const e2e::PlantedFile zip{ZipHeaderClaimingMoreThanTheDisk(), c.offset};
        ASSERT_TRUE(e2e::WritePlantedImage(image, {zip}, c.diskBytes));
        const std::string out = tmp.File("out");
        const RunResult r = RunComplete(tmp, image, out);
        EXPECT_EQ(r.status, kNotAllRecovered) << r.log;
        EXPECT_EQ(Count(r, "incomplete"), 1u) << r.log;
        EXPECT_EQ(Count(r, "files"), 0u);
        EXPECT_EQ(Count(r, "failed"), 0u);
        EXPECT_NE(r.log.find("1 incomplete"), std::string::npos) << r.log;
        // What the disk holds from the header on, and nothing made up past its end.
        const std::vector<u8> disk = testutil::ReadFileBytes(image);
        e2e::ExpectCarved(e2e::LostFilePath(out, "Zip compression file", "Morvenda_000.ZIP"), zip,
                          c.diskBytes - c.offset, disk);
        EXPECT_EQ(e2e::ListFiles(out).size(), 1u);
    }
}

// An SVG file with the XML declaration, a comment of 1,450 bytes and its opening tag at byte
// 1,501: the tag lies in the file's fourth sector.
std::vector<u8> SvgWithLateTag() {
    std::string text = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!-- " + std::string(1452, 'x') + " -->\n";
    text += "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"10\" height=\"10\"><rect width=\"5\" height=\"5\"/>";
    text += "<!--" + std::string(3000, 'y') + "--></svg>\n";
    return std::vector<u8>(text.begin(), text.end());
}

TEST(RawCarveEdgesE2E, AnSvgIsFoundWhereverInABlockItStarts) {
    constexpr u64 kBlockSectors = 8192;  // the complete scan's 4 MiB blocks
    const u64 starts[] = {600, kBlockSectors - 3, kBlockSectors - 2, kBlockSectors - 1, kBlockSectors,
                          2 * kBlockSectors - 2};
    for (const u64 start : starts) {
        SCOPED_TRACE(start);
        testutil::TempDir tmp;
        const std::string image = tmp.File("disk.img");
        const e2e::PlantedFile svg{SvgWithLateTag(), start * kSector};
        ASSERT_TRUE(e2e::WritePlantedImage(image, {svg}, 12 * kMiB));
        const std::string out = tmp.File("out");
        const RunResult r = RunComplete(tmp, image, out);
        EXPECT_EQ(r.status, 0) << r.log;
        EXPECT_EQ(Count(r, "files"), 1u) << r.log;
        const std::string written = e2e::LostFilePath(out, "ScalableVectorGraphics", "Morvenda_000.SVG");
        ASSERT_TRUE(testutil::FileExists(written)) << r.log;
        // The file has no end tag the search knows; it is carved as far as the format's bound.
        const std::vector<u8> disk = testutil::ReadFileBytes(image);
        e2e::ExpectCarved(written, svg, testutil::ReadFileBytes(written).size(), disk);
        EXPECT_GE(testutil::ReadFileBytes(written).size(), svg.bytes.size());
    }
}

}  // namespace
