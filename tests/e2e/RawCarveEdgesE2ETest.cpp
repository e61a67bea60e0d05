// An SVG whose opening tag lies past the 4 MiB block its first sector is read in, through the scan
// driver's complete scan of a disk made byte by byte: found when it starts in a block's last two
// sectors, in the first block or a later one.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "E2ESupport.h"
#include "TestUtil.h"

namespace {

constexpr u64 kSector = 512;

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
    for (const u64 start : {kBlockSectors - 2, kBlockSectors - 1, 2 * kBlockSectors - 2}) {
        SCOPED_TRACE(start);
        testutil::TempDir tmp;
        const std::string image = tmp.File("disk.img");
        const e2e::PlantedFile svg{SvgWithLateTag(), start * kSector};
        ASSERT_TRUE(e2e::WritePlantedImage(image, {svg}, 12 * 1024 * 1024));
        const std::string out = tmp.File("out");
        EXPECT_EQ(e2e::RunDriver({"--image", image, "--mode", "complete", "--volume", "disk:0", "--lost-reason", "1",
                                  "--recover", out},
                                 tmp.Path(), tmp.File("run.log")),
                  0)
            << testutil::ReadFileText(tmp.File("run.log"));
        EXPECT_EQ(e2e::ListFiles(out).size(), 1u);
        const std::string written = e2e::LostFilePath(out, "ScalableVectorGraphics", "Morvenda_000.SVG");
        ASSERT_TRUE(testutil::FileExists(written)) << testutil::ReadFileText(tmp.File("run.log"));
        // The file has no end tag the search knows; it is carved as far as the format's bound.
        const u64 size = testutil::ReadFileBytes(written).size();
        EXPECT_GE(size, svg.bytes.size());
        e2e::ExpectCarved(written, svg, size, testutil::ReadFileBytes(image));
    }
}

}  // namespace
