// The RAW signature search end to end: the scan driver's complete scan of a disk whose file
// system is gone carves the JPEG photos by their signatures, sizes them by their end marker,
// names them after the camera of their Exif block and recovers them byte for byte. The photos
// come from real tools (ImageMagick, libjpeg's cjpeg) and sit in an image larger than the
// search's ring of 20 blocks, so most are sized while the scan still runs.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "E2ESupport.h"
#include "Manifest.h"
#include "TestUtil.h"

namespace {

constexpr const char* kLostRoot = "更多丢失文件";
constexpr const char* kJpegFolder = "JPEG Graphics file";
constexpr u64 kMiB = 1024 * 1024;
constexpr u64 kSector = 512;
constexpr u64 kBlock = 4 * kMiB;
constexpr u64 kImageBytes = 25 * kBlock;  // more than the 20 blocks of the ring and the one scanned

std::string RecoveredJpegFolder(const std::string& out) {
    return out + "/0/" + kLostRoot + "/" + kJpegFolder;
}

int RunComplete(const std::string& image, const testutil::TempDir& tmp, const std::string& out) {
    const std::string cwd = tmp.File("cwd");
    mkdir(cwd.c_str(), 0755);
    return e2e::RunDriver({"--image", image, "--mode", "complete", "--volume", "disk:0", "--recover", out, "--json",
                           tmp.File("report.json")},
                          cwd, tmp.File("driver.log"));
}

TEST(RawCarveE2E, CarveMixJpegIsFoundSizedNamedFromItsExifAndRecoveredExactly) {
    testutil::TempDir tmp;
    const std::string image = testutil::FixturePath("carve-mix.img");
    e2e::Untouched untouched({image}, tmp.File("cwd"));
    const std::string out = tmp.File("recovered");
    ASSERT_EQ(RunComplete(image, tmp, out), 0);
    untouched.Expect();

    const std::vector<testutil::ManifestFile> files = testutil::LoadManifest("carve-mix.json", 1);
    const testutil::ManifestFile* jpeg = nullptr;
    for (const testutil::ManifestFile& f : files) {
        if (f.path == "/HARBOUR.JPG") jpeg = &f;
    }
    ASSERT_NE(jpeg, nullptr);
    ASSERT_EQ(jpeg->runs.size(), 1u);
    // The camera model of its Exif block names it; it is the first (and only) JPEG of the disk.
    const std::string written = RecoveredJpegFolder(out) + "/K5 Mark II000.JPG";
    ASSERT_TRUE(testutil::FileExists(written)) << "missing " << written;
    const std::vector<u8> bytes = testutil::ReadFileBytes(written);
    EXPECT_EQ(bytes.size(), jpeg->size);
    EXPECT_EQ(testutil::Sha256File(written), jpeg->sha256);
    // What it recovered is the manifest's range of the image, so it was found at that offset.
    const std::vector<u8> disk = testutil::ReadFileBytes(image);
    ASSERT_GE(disk.size(), jpeg->runs[0].first + jpeg->size);
    EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), disk.begin() + static_cast<long>(jpeg->runs[0].first)));
}

// ---------------------------------------------------------------- photos made by real tools

bool HaveTool(const char* name) {
    return std::system((std::string("command -v ") + name + " >/dev/null 2>&1").c_str()) == 0;
}

bool RunTool(const std::string& command) { return std::system(command.c_str()) == 0; }

void PutLE16(std::vector<u8>& v, u16 x) {
    v.push_back(u8(x));
    v.push_back(u8(x >> 8));
}
void PutLE32(std::vector<u8>& v, u32 x) {
    for (int i = 0; i < 4; ++i) v.push_back(u8(x >> (8 * i)));
}

// An Exif block (little-endian) with make, model and the time of the shot, and, when a thumbnail
// is given, a second directory that carries it.
std::vector<u8> MakeExifBlock(const std::string& make, const std::string& model, const std::string& when,
                              const std::vector<u8>& thumbnail) {
    struct Entry {
        u16 tag, format;
        u32 count, value;
    };
    const std::string makeZ = make + '\0', modelZ = model + '\0', whenZ = when + '\0';
    const u32 ifd0 = 8, ifd0Entries = 3;
    const u32 ifd0End = ifd0 + 2 + 12 * ifd0Entries + 4;
    const u32 makeAt = ifd0End, modelAt = makeAt + u32(makeZ.size());
    const u32 exifIfd = modelAt + u32(modelZ.size());
    const u32 exifEnd = exifIfd + 2 + 12 + 4;
    const u32 whenAt = exifEnd;
    const u32 ifd1 = thumbnail.empty() ? 0 : whenAt + u32(whenZ.size());
    const u32 ifd1End = ifd1 + 2 + 12 * 2 + 4;
    std::vector<u8> t = {'E', 'x', 'i', 'f', 0, 0, 'I', 'I', 42, 0};
    PutLE32(t, ifd0);
    auto directory = [&](const std::vector<Entry>& entries, u32 next) {
        PutLE16(t, u16(entries.size()));
        for (const Entry& e : entries) {
            PutLE16(t, e.tag);
            PutLE16(t, e.format);
            PutLE32(t, e.count);
            PutLE32(t, e.value);
        }
        PutLE32(t, next);
    };
    directory({{0x010F, 2, u32(makeZ.size()), makeAt}, {0x0110, 2, u32(modelZ.size()), modelAt},
               {0x8769, 4, 1, exifIfd}},
              ifd1);
    t.insert(t.end(), makeZ.begin(), makeZ.end());
    t.insert(t.end(), modelZ.begin(), modelZ.end());
    directory({{0x9003, 2, u32(whenZ.size()), whenAt}}, 0);
    t.insert(t.end(), whenZ.begin(), whenZ.end());
    if (!thumbnail.empty()) {
        directory({{0x0201, 4, 1, ifd1End}, {0x0202, 4, 1, u32(thumbnail.size())}}, 0);
        t.insert(t.end(), thumbnail.begin(), thumbnail.end());
    }
    return t;
}

// A camera-style file: the Exif segment straight after the start marker, in place of the JFIF
// segment the tool wrote.
std::vector<u8> AsCameraFile(const std::vector<u8>& jfif, const std::vector<u8>& exif) {
    const size_t app0End = 4 + ((size_t(jfif[4]) << 8) | jfif[5]);
    std::vector<u8> out = {0xFF, 0xD8, 0xFF, 0xE1, u8((exif.size() + 2) >> 8), u8(exif.size() + 2)};
    out.insert(out.end(), exif.begin(), exif.end());
    out.insert(out.end(), jfif.begin() + static_cast<long>(app0End), jfif.end());
    return out;
}

struct Planted {
    std::string what;
    u64 offset = 0;
    std::vector<u8> expected;  // the bytes the carver must recover
    std::string nameText;      // before the counter; "Morvenda_" without Exif
};

class RawCarveToolImages : public ::testing::Test {
protected:
    void SetUp() override {
        if (!HaveTool("convert") || !HaveTool("cjpeg")) GTEST_SKIP() << "ImageMagick and cjpeg are needed";
    }

    std::vector<u8> Make(const std::string& name, const std::string& command) {
        const std::string path = tmp_.File(name);
        EXPECT_TRUE(RunTool(command + " " + path + " 2>/dev/null")) << command;
        return testutil::ReadFileBytes(path);
    }

    testutil::TempDir tmp_;
};

TEST_F(RawCarveToolImages, EveryPlantedPhotoComesBackAtItsOffsetWithItsSizeAndName) {
    const std::string plasma = "convert -seed 7 -size 640x480 plasma:fractal";
    const std::vector<u8> baseline = Make("baseline.jpg", plasma + " -quality 90");
    const std::vector<u8> progressive = Make("progressive.jpg", plasma + " -interlace JPEG -quality 85");
    const std::vector<u8> restarts =
        Make("restart.ppm.jpg", "convert -seed 3 -size 400x300 plasma:fractal ppm:- | cjpeg -restart 1 -quality 80 >");
    const std::vector<u8> thumb = Make("thumb.jpg", "convert -seed 5 -size 80x60 plasma:fractal -quality 70");
    // Noise compresses badly: this one runs over a block boundary of the scan.
    const std::vector<u8> large = Make("large.jpg", "convert -seed 9 -size 1200x900 xc:gray +noise Random -quality 92");
    const std::string exifPath = tmp_.File("exif.app1");
    ASSERT_TRUE(testutil::WriteFileBytes(exifPath, MakeExifBlock("Kestrin", "Field/Cam:7", "2022:05:06 07:08:09", {})));
    const std::vector<u8> withExif = Make("exif.jpg", "convert " + tmp_.File("baseline.jpg") + " -profile APP1:" + exifPath);
    const std::vector<u8> camera =
        AsCameraFile(baseline, MakeExifBlock("Kestrin", "Lumo <X>", "2023:01:02 03:04:05", thumb));
    for (const auto* v : {&baseline, &progressive, &restarts, &thumb, &large, &withExif}) ASSERT_GT(v->size(), 1000u);
    ASSERT_EQ(restarts[0], 0xFF);
    const u8 progressiveFrame[] = {0xFF, 0xC2};
    ASSERT_NE(progressive.end(), std::search(progressive.begin(), progressive.end(), std::begin(progressiveFrame),
                                             std::end(progressiveFrame)));
    ASSERT_GT(large.size(), 512 * 1024u);
    const u8 restartInterval[] = {0xFF, 0xDD};
    ASSERT_NE(restarts.end(), std::search(restarts.begin(), restarts.end(), std::begin(restartInterval),
                                          std::end(restartInterval)));

    auto roundUp = [](u64 x) { return (x + kSector - 1) / kSector * kSector; };
    std::vector<Planted> planted;
    planted.push_back({"baseline", 1 * kMiB, baseline, "Morvenda_"});
    planted.push_back({"progressive", 2 * kMiB, progressive, "Morvenda_"});
    planted.push_back({"restart markers", 3 * kMiB, restarts, "Morvenda_"});
    // Back to back: each starts in the sector after the one before ends.
    planted.push_back({"JFIF with Exif", 5 * kMiB, withExif, "FieldCam7"});
    planted.push_back({"camera with thumbnail", roundUp(5 * kMiB + withExif.size()), camera, "Kestrin"});
    planted.push_back({"over a block boundary", 2 * kBlock - 256 * 1024, large, "Morvenda_"});
    // Cut in half: nothing ends it, so its end search runs to width x height x 3 bytes.
    const std::vector<u8> cut(baseline.begin(), baseline.begin() + static_cast<long>(baseline.size() / 2));
    planted.push_back({"truncated", 16 * kMiB, cut, "Morvenda_"});
    // Found while the ring fills, found when it is full, found in the last block.
    planted.push_back({"middle", 50 * kMiB + 7 * kSector, baseline, "Morvenda_"});
    planted.push_back({"after the ring filled", 22 * kBlock + kSector, withExif, "FieldCam7"});
    planted.push_back({"last block", kImageBytes - kMiB, camera, "Kestrin"});

    const std::string image = tmp_.File("photos.img");
    {
        std::ofstream f(image, std::ios::binary);
        ASSERT_TRUE(f.good());
        for (const Planted& p : planted) {
            f.seekp(static_cast<std::streamoff>(p.offset));
            f.write(reinterpret_cast<const char*>(p.expected.data()), static_cast<std::streamsize>(p.expected.size()));
        }
        f.seekp(static_cast<std::streamoff>(kImageBytes - 1));
        f.put(0);
    }
    // The truncated photo's size is the one its end search reaches: 640 x 480 x 3, on a sector end.
    Planted& truncated = planted[6];
    truncated.expected.resize(roundUp(640 * 480 * 3), 0);

    const std::string out = tmp_.File("recovered");
    ASSERT_EQ(RunComplete(image, tmp_, out), 0);
    const std::vector<std::string> written = e2e::ListFiles(RecoveredJpegFolder(out));
    EXPECT_EQ(written.size(), planted.size());
    // Names count the JPEGs in the order of their sectors.
    for (size_t i = 0; i < planted.size(); ++i) {
        const Planted& p = planted[i];
        char counter[24];
        std::snprintf(counter, sizeof(counter), "%03zu", i);
        const std::string path = RecoveredJpegFolder(out) + "/" + p.nameText + counter + ".JPG";
        SCOPED_TRACE(p.what + " -> " + path);
        ASSERT_TRUE(testutil::FileExists(path));
        const std::vector<u8> got = testutil::ReadFileBytes(path);
        EXPECT_EQ(got.size(), p.expected.size());
        EXPECT_TRUE(got == p.expected);
    }
}

}  // namespace
