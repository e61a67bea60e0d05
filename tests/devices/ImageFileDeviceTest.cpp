// Compressed disk images read as devices: every compression and part layout gives back the
// fixture's bytes, reads at block edges and past the end behave, and damaged indexes, part lists
// and block tables are refused with an error that names the fault.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "CompressedImage.h"
#include "TestUtil.h"
#include "devices/ImageFileDevice.h"

namespace {

using testutil::CompressedImageLayout;

// The first 12 MiB of a FAT16 fixture, partly file data: enough for 96 blocks.
std::vector<u8> Sample() {
    std::vector<u8> raw = testutil::ReadFileBytes(testutil::FixturePath("fat16-basic.img"));
    raw.resize(12u << 20);
    // No block is all zeros, so a block read as zeros is never taken for the right one.
    for (size_t at = 100; at < raw.size(); at += 512 * kImageBlockSectors) raw[at] = 0xEE;
    return raw;
}

std::vector<u8> ReadAllSectors(CImageFileDeviceWithDecompress& d) {
    const u32 ss = d.GetSectorSize();
    std::vector<u8> out(d.GetTotalSectors() * ss);
    // In pieces that do not line up with blocks.
    for (u64 s = 0; s < d.GetTotalSectors();) {
        const u64 n = std::min<u64>(333, d.GetTotalSectors() - s);
        EXPECT_EQ(d.Read(out.data() + s * ss, s, n), 1u) << "sector " << s << ": " << d.Error();
        s += n;
    }
    return out;
}

TEST(CompressedImage, EveryCompressionAndPartLayoutReadsBackTheBytes) {
    const std::vector<u8> raw = Sample();
    struct Case {
        const char* what;
        CompressedImageLayout layout;
    };
    const Case cases[] = {
        {"stored, one part", {0, 512, 1, 0}},
        {"bzip2, three parts", {kCompressionBzip2, 512, 3, 0}},
        {"zlib, one part", {kCompressionZlib, 512, 1, 0}},
        {"zlib, five parts, some blocks kept raw", {kCompressionZlib, 512, 5, 4}},
        {"LZMA, two parts", {kCompressionLzma, 512, 2, 0}},
        {"zlib, 4096-byte sectors", {kCompressionZlib, 4096, 2, 0}},
    };
    testutil::TempDir dir;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string index = dir.File(std::string("image") + std::to_string(&c - cases) + ".idx");
        ASSERT_TRUE(testutil::WriteCompressedImage(raw, index, c.layout));
        CImageFileDeviceWithDecompress d(index.c_str());
        EXPECT_EQ(d.Error(), "");
        EXPECT_TRUE(d.CheckImageFiles());
        EXPECT_EQ(d.GetSectorSize(), c.layout.sectorSize);
        const u64 blockBytes = u64(c.layout.sectorSize) * kImageBlockSectors;
        EXPECT_EQ(d.GetTotalSectors(), (raw.size() + blockBytes - 1) / blockBytes * kImageBlockSectors);
        std::vector<u8> back = ReadAllSectors(d);
        back.resize(raw.size());
        EXPECT_TRUE(back == raw);

        // Ten sectors from 250 cross a block edge; a read past the end gives the sectors there
        // and zeros after them; a read that starts past the end is refused.
        const u32 ss = c.layout.sectorSize;
        std::vector<u8> ten(10 * ss);
        ASSERT_EQ(d.Read(ten.data(), 250, 10), 1u);
        EXPECT_EQ(std::memcmp(ten.data(), raw.data() + 250ull * ss, ten.size()), 0);
        const u64 total = d.GetTotalSectors();
        std::vector<u8> tail(8 * ss, 0xAA);
        ASSERT_EQ(d.Read(tail.data(), total - 2, 8), 1u);
        EXPECT_EQ(std::count(tail.begin() + 2 * ss, tail.end(), 0), static_cast<long>(6 * ss));
        EXPECT_EQ(d.Read(tail.data(), total + 1, 1), 0u);
    }
}

// Writes a good zlib image of three parts, damages one of its files and opens it.
struct Damaged {
    const char* what;
    std::function<void(const std::string& index)> damage;
    bool opens;            // the index is accepted (reads then fail, or the files check fails)
    bool filesComplete;    // CheckImageFiles
    const char* error;     // a piece of the error text
};

void PatchU32(const std::string& path, u64 offset, u32 value) {
    std::vector<u8> b = testutil::ReadFileBytes(path);
    ASSERT_GE(b.size(), offset + 4);
    WriteLE32(b.data() + offset, value);
    ASSERT_TRUE(testutil::WriteFileBytes(path, b));
}

TEST(CompressedImage, DamagedIndexPartListAndBlockTableAreRefusedClearly) {
    const std::vector<u8> raw = Sample();
    const u32 blocks = static_cast<u32>(raw.size() / (512 * kImageBlockSectors));
    auto table = [](u32 block) { return kImageBlockTableOffset + 4ull * block; };
    const Damaged cases[] = {
        {"59 parts overrun the header", [](const std::string& i) { PatchU32(i, kImagePartCountOffset, 59); }, false,
         false, "59 parts"},
        {"no parts", [](const std::string& i) { PatchU32(i, kImagePartCountOffset, 0); }, false, false, "0 parts"},
        {"parts hold other than the block count",
         [](const std::string& i) { PatchU32(i, kImageBlocksPerPartOffset, 5); }, false, false, "the header says"},
        {"block table cut short",
         [&](const std::string& i) {
             std::vector<u8> b = testutil::ReadFileBytes(i);
             b.resize(table(blocks - 3));
             ASSERT_TRUE(testutil::WriteFileBytes(i, b));
         },
         false, false, "cut short"},
        {"a block ending before its start", [&](const std::string& i) { PatchU32(i, table(7), 3); }, true, true,
         "before its start"},
        {"a stored length longer than a block can be",
         [&](const std::string& i) { PatchU32(i, table(1), 0x7FFFFFF0); }, true, true, "more than"},
        {"a part line missing",
         [](const std::string& i) {
             const std::string list = CImageFile::PartListPath(i);
             std::vector<u8> b = testutil::ReadFileBytes(list);
             const std::string text(b.begin(), b.end());
             const std::string cut = text.substr(0, text.rfind("\r\n", text.size() - 3) + 2);
             ASSERT_TRUE(testutil::WriteFileBytes(list, std::vector<u8>(cut.begin(), cut.end())));
         },
         true, false, "cannot be opened"},
        {"a part file missing", [](const std::string& i) { std::remove((i + ".part2").c_str()); }, true, false,
         "cannot be opened"},
        {"a part file cut short",
         [](const std::string& i) {
             std::vector<u8> b = testutil::ReadFileBytes(i + ".part1");
             b.resize(b.size() / 2);
             ASSERT_TRUE(testutil::WriteFileBytes(i + ".part1", b));
         },
         true, true, "ends before block"},
        {"a compressed block damaged",
         [](const std::string& i) {
             std::vector<u8> b = testutil::ReadFileBytes(i + ".part0");
             for (size_t k = kImageHeaderSize; k < kImageHeaderSize + 64; ++k) b[k] ^= 0x5A;
             ASSERT_TRUE(testutil::WriteFileBytes(i + ".part0", b));
         },
         true, true, "does not decompress"},
    };
    testutil::TempDir dir;
    for (const Damaged& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string index = dir.File("d" + std::to_string(&c - cases) + ".idx");
        ASSERT_TRUE(testutil::WriteCompressedImage(raw, index, {kCompressionZlib, 512, 3, 0}));
        c.damage(index);
        CImageFileDeviceWithDecompress d(index.c_str());
        EXPECT_EQ(d.CheckImageFiles(), c.filesComplete);
        if (!c.opens) {
            EXPECT_EQ(d.GetTotalSectors(), 0u);
            EXPECT_NE(d.Error().find(c.error), std::string::npos) << d.Error();
            continue;
        }
        ASSERT_EQ(d.GetTotalSectors(), u64(blocks) * kImageBlockSectors);
        // Reading everything fails somewhere, and only there: the rest still comes back.
        std::vector<u8> all(d.GetTotalSectors() * 512);
        EXPECT_EQ(d.Read(all.data(), 0, d.GetTotalSectors()), 0u);
        EXPECT_NE(d.Error().find(c.error), std::string::npos) << d.Error();
        size_t same = 0;
        for (size_t b = 0; b < blocks; ++b) {
            const size_t at = b * 512 * kImageBlockSectors;
            same += std::memcmp(all.data() + at, raw.data() + at, 512 * kImageBlockSectors) == 0 ? 1 : 0;
        }
        EXPECT_GE(same, blocks / 3);
        EXPECT_LT(same, blocks);
    }
    // No index at all, and a path without an extension (no part list).
    CImageFileDeviceWithDecompress missing(dir.File("absent.idx").c_str());
    EXPECT_EQ(missing.GetTotalSectors(), 0u);
    EXPECT_FALSE(missing.CheckImageFiles());
    EXPECT_NE(missing.Error().find("cannot open"), std::string::npos);
    EXPECT_EQ(CImageFile::PartListPath("/a.b/image"), "");
    EXPECT_EQ(CImageFile::PartListPath("/a/image.idx"), "/a/image.edp");
}

TEST(CompressedImage, PartListLinesKeepTheirCharacters) {
    testutil::TempDir dir;
    struct Case {
        std::string text;
        std::vector<std::string> lines;
    };
    const std::string longLine(300, 'x');
    const Case cases[] = {
        {"/a/p0\r\n/a/p1\r\n", {"/a/p0", "/a/p1"}},
        {"/a/p0\n/a/p1", {"/a/p0", "/a/p1"}},  // LF alone, and a last line without its end
        {"/a/ab\r\n", {"/a/ab"}},
        {longLine + "\r\n/a/p1\r\n", {longLine.substr(0, kImagePartLineMax), "/a/p1"}},
    };
    for (const Case& c : cases) {
        const std::string list = dir.File("l.edp");
        ASSERT_TRUE(testutil::WriteFileBytes(list, std::vector<u8>(c.text.begin(), c.text.end())));
        std::vector<std::string> lines;
        ASSERT_TRUE(CImageFile::ReadPartList(list, 10, lines));
        EXPECT_EQ(lines, c.lines);
    }
}

}  // namespace
