// The complete scan of a disk whose file system is gone carves the image, font, archive, text,
// drawing and document files by their signatures: each is found where the disk holds it, typed
// into its own folder and recovered from its first byte with the length its format yields.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "E2ESupport.h"
#include "Manifest.h"
#include "TestUtil.h"

namespace {

constexpr const char* kLostRoot = "更多丢失文件";
constexpr size_t kPrefixBytes = 64;

constexpr u64 kOriginalSize = 0;
constexpr u64 kToTheDiskEnd = ~u64(0);

struct Row {
    const char* path;    // in the manifest
    const char* folder;  // the file type's description
    u64 size;            // the length the analyser computes, where it is not the original's
};

// The recovered file of a folder that begins like the original, empty when none does.
std::string FindRecovered(const std::string& folder, const std::vector<u8>& original) {
    for (const std::string& name : e2e::ListEntries(folder)) {
        const std::vector<u8> bytes = testutil::ReadFileBytes(folder + "/" + name);
        const size_t n = std::min({kPrefixBytes, bytes.size(), original.size()});
        if (n > 0 && std::equal(bytes.begin(), bytes.begin() + long(n), original.begin())) return folder + "/" + name;
    }
    return std::string();
}

TEST(CarveImagesDocsE2E, CarveMixFilesAreFoundTypedSizedAndRecovered) {
    // Lengths that are not the original's: the end markers of PDF and SVG count a two-byte
    // line end where the files have one; the RTF ends after its last closing brace (before the
    // line feed); HTML and GZ end with the sector of their end tag, respectively of the first
    // zero tail after the member; the TAR walk stops after the first empty block, before the
    // archive's padding; the text EPS has no Illustrator end comment, so its search runs to the
    // end of the disk.
    const std::vector<Row> rows = {
        {"/SUMMARY.PNG", "Portable Network Graphic file", kOriginalSize},
        {"/IMG_1906.GIF", "GIF graphics file", kOriginalSize},
        {"/DSC53835.PSD", "Adobe Photoshop file", kOriginalSize},
        {"/DSC43430.ICO", "Icon file", kOriginalSize},
        {"/FILE2572.TTF", "True Type Font file", kOriginalSize},
        {"/FILE1484.HTML", "HTML Documents file", 3072},
        {"/IMG_1358.GZ", "GZIP compression file", 5632},
        {"/PHOTO.TAR", "TAR archive file", 215040},
        {"/DSC23897.RTF", "Rich Text Document", 5371},
        {"/FILE0736.SVG", "ScalableVectorGraphics", 2417},
        {"/DSC23516.EPS", "Encapsulated Postscript file", kToTheDiskEnd},
        {"/FILE3468.PDF", "Adobe Portable Document", 3181},
        {"/DSC53358.TIF", "Tagged Image File", kOriginalSize},
    };
    testutil::TempDir tmp;
    const std::string image = testutil::FixturePath("carve-mix.img");
    const std::string cwd = tmp.File("cwd");
    mkdir(cwd.c_str(), 0755);
    e2e::Untouched untouched({image}, cwd);
    const std::string out = tmp.File("recovered");
    ASSERT_EQ(e2e::RunDriver({"--image", image, "--mode", "complete", "--volume", "disk:0", "--recover", out,
                              "--json", tmp.File("report.json")},
                             cwd, tmp.File("driver.log")),
              0);
    untouched.Expect();

    std::map<std::string, testutil::ManifestFile> manifest;
    for (const testutil::ManifestFile& f : testutil::LoadManifest("carve-mix.json", 1)) manifest[f.path] = f;
    const std::vector<u8> disk = testutil::ReadFileBytes(image);
    const std::string lost = out + "/0/" + kLostRoot + "/";
    for (const Row& row : rows) {
        SCOPED_TRACE(row.path);
        ASSERT_TRUE(manifest.count(row.path));
        const testutil::ManifestFile& file = manifest[row.path];
        ASSERT_EQ(file.runs.size(), 1u);
        const u64 at = file.runs[0].first;
        ASSERT_LE(at + file.size, disk.size());
        const std::vector<u8> original(disk.begin() + long(at), disk.begin() + long(at + file.size));
        const std::string written = FindRecovered(lost + row.folder, original);
        ASSERT_FALSE(written.empty()) << "nothing in " << row.folder << " begins like " << row.path;
        const std::vector<u8> bytes = testutil::ReadFileBytes(written);
        // Whatever its length, the recovered file is the disk's bytes from the manifest's offset.
        ASSERT_LE(at + bytes.size(), disk.size());
        EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), disk.begin() + long(at)));
        if (row.size == kOriginalSize) {
            EXPECT_EQ(bytes.size(), file.size);
            EXPECT_EQ(testutil::Sha256File(written), file.sha256);
        } else if (row.size == kToTheDiskEnd) {
            EXPECT_EQ(bytes.size(), disk.size() - at);
        } else {
            EXPECT_EQ(bytes.size(), row.size);
        }
    }
}

}  // namespace
