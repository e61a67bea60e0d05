// FAT and exFAT volumes made here by the system's own tools (mkfs.vfat and mtools, mkfs.exfat
// and the exFAT FUSE driver): short names in the case the system showed them, and deleted
// exFAT files whose FAT chain the driver freed, read back whole.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "FatTestSupport.h"
#include "TestUtil.h"
#include "ToolImage.h"
#include "engine/DataRunList.h"
#include "engine/FileNode.h"
#include "engine/FileProperties.h"
#include "fs/fat/ExFatQuickSearch.h"
#include "fs/fat/FatDirEntry.h"
#include "fs/fat/FatFileProperties.h"
#include "fs/fat/FatQuickSearch.h"
#include "platform/Log.h"

using namespace fattest;
using testutil::DistinctBytes;
using testutil::FuseMount;
using testutil::LoopDevice;
using testutil::MissingTools;
using testutil::RunQuiet;
using testutil::TempDir;

namespace {
bool WriteFile(const std::string& path, const std::vector<u8>& data, bool append = false) {
    std::ofstream out(path, std::ios::binary | (append ? std::ios::app : std::ios::trunc));
    out.write(reinterpret_cast<const char*>(data.data()), std::streamsize(data.size()));
    out.close();
    return bool(out);
}

const CFileNode* FindNamed(const RecordingBuilder& builder, const std::string& name) {
    for (const CFileNode* n : builder.nodes) {
        if (NameOf(n) == name) return n;
    }
    return nullptr;
}

u64 ClustersCovered(const CFileNode& node) {
    std::unique_ptr<IDataRunList> runs(node.GetFileProperties()->CreateDataRunList());
    u64 clusters = 0;
    for (size_t i = 0; runs && i < runs->GetExtentCount(); ++i) clusters += runs->GetExtent(i).length;
    return clusters;
}

// The names of the live entries of a FAT16 root directory, as the properties built from each
// run of entries (long-name pieces, then the short entry) carry them.
std::vector<std::string> RootDirectoryNames(const std::vector<u8>& image) {
    const u32 bytesPerSector = ReadLE16(image.data() + 11);
    const u32 reserved = ReadLE16(image.data() + 14);
    const u32 fats = image[16];
    const u32 rootEntries = ReadLE16(image.data() + 17);
    const u32 sectorsPerFat = ReadLE16(image.data() + 22);
    const u64 root = u64(reserved + fats * sectorsPerFat) * bytesPerSector;
    std::vector<std::string> names;
    u64 runStart = root;
    for (u64 at = root; at < root + u64(rootEntries) * kFatDirEntrySize; at += kFatDirEntrySize) {
        const u8* entry = image.data() + at;
        if (entry[0] == 0) break;
        if (entry[0] == kFatDeletedMark) {
            runStart = at + kFatDirEntrySize;
            continue;
        }
        if (CFATDirEntry(entry).IsLongNameEntry()) continue;
        CFATFileProperties* p = CreateFATFilePropertiesFromEntries(image.data() + runStart,
                                                                   u32(at + kFatDirEntrySize - runStart)).release();
        if (p != nullptr) {
            names.emplace_back(p->GetName());
            p->Release();
        }
        runStart = at + kFatDirEntrySize;
    }
    return names;
}

class ToolMadeImage : public ::testing::Test {
protected:
    void SetUp() override { SetLoggingEnabled(false); }
    void TearDown() override { SetLoggingEnabled(true); }
};

// mtools stores an 8.3 name that is all lower case in one or both of its parts in capitals with
// the lower-case flags, as the system that made the format does; the names come back as the
// user wrote them, live and deleted alike.
TEST_F(ToolMadeImage, FatShortNamesKeepTheCaseTheirFlagsGive) {
    const std::string missing = MissingTools({"mkfs.vfat", "mcopy", "mdel"});
    if (!missing.empty()) GTEST_SKIP() << "needs the packages dosfstools and mtools; missing: " << missing;
    TempDir dir;
    const std::string image = dir.File("lower.img");
    ASSERT_TRUE(RunQuiet("mkfs.vfat -F 16 -C " + image + " 16384")) << "mkfs.vfat failed";

    struct NameCase {
        const char* written;  // the name given to mtools
        const char* shown;    // the name the scan gives
        bool deleted;
    };
    const NameCase cases[] = {
        {"backup", "backup", false},          {"report.txt", "report.txt", false},
        {"DATA.txt", "DATA.txt", false},      {"notes.TXT", "notes.TXT", false},
        {"README.TXT", "README.TXT", false},  {"MixedCase.txt", "MixedCase.txt", false},
        {"gone.doc", "#one.doc", true},       {"archive", "#rchive", true},
        {"OLD.txt", "#LD.txt", true},         {"KEEP.TXT", "#EEP.TXT", true},
    };
    std::map<std::string, std::vector<u8>> contents;
    u32 seed = 1;
    for (const NameCase& c : cases) {
        const std::vector<u8> data = DistinctBytes(3000 + 517 * seed, seed);
        ++seed;
        const std::string source = dir.File(std::string("src-") + c.written);
        ASSERT_TRUE(WriteFile(source, data));
        ASSERT_TRUE(RunQuiet("mcopy -i " + image + " " + source + " ::" + c.written)) << c.written;
        contents[c.shown] = data;
    }
    for (const NameCase& c : cases) {
        if (c.deleted) {
            ASSERT_TRUE(RunQuiet("mdel -i " + image + " ::" + c.written)) << c.written;
        }
    }

    const std::vector<u8> bytes = testutil::ReadFileBytes(image);
    ASSERT_GT(bytes.size(), 512u);
    const std::vector<std::string> live = RootDirectoryNames(bytes);
    std::vector<std::string> expectedLive;
    for (const NameCase& c : cases) {
        if (!c.deleted) expectedLive.emplace_back(c.shown);
    }
    EXPECT_EQ(live, expectedLive);

    testutil::ImageDevice device(image, 512);
    ASSERT_TRUE(device.IsOpen());
    RecordingBuilder builder;
    CountingProgress progress;
    CFATQuickSearch search;
    search.SetDirectoryTreeBuilder(&builder);
    ASSERT_EQ(search.Search(&device, &progress), 0u);
    ASSERT_NE(builder.root, nullptr);
    for (const NameCase& c : cases) {
        if (!c.deleted) continue;
        SCOPED_TRACE(c.shown);
        const CFileNode* node = FindNamed(builder, c.shown);
        ASSERT_NE(node, nullptr);
        std::vector<u8> data;
        ASSERT_TRUE(ReadThroughRuns(device, *builder.root, *node, data));
        EXPECT_EQ(data, contents[c.shown]);
    }
}

// Case flags at the entry level: each part follows its own flag, accented capitals included; a
// volume label is shown as stored whatever its flag byte holds.
TEST(FatShortNameCase, EachPartFollowsItsFlagAndALabelIsShownAsStored) {
    struct EntryCase {
        const char* raw;  // 11 bytes of name and extension
        u8 attributes;
        u8 flags;
        bool noDot;
        const char* shown;
    };
    const EntryCase cases[] = {
        {"BACKUP     ", 0x20, 0x08, false, "backup"},
        {"REPORT  TXT", 0x20, 0x18, false, "report.txt"},
        {"REPORT  TXT", 0x20, 0x10, false, "REPORT.txt"},
        {"\x90T\x90     TXT", 0x20, 0x08, false, "\xC3\xA9t\xC3\xA9.TXT"},  // ÉTÉ -> été
        {"\xE5OO     TXT", 0x20, 0x18, false, "#oo.txt"},
        {"MY DISK    ", kFatAttrVolumeLabel, 0x18, true, "MY DISK"},
    };
    for (const EntryCase& c : cases) {
        std::vector<u8> entry(kFatDirEntrySize, 0);
        std::memcpy(entry.data(), c.raw, 11);
        entry[11] = c.attributes;
        entry[kFatCaseFlagsOffset] = c.flags;
        EXPECT_EQ(FatShortNameText(entry.data(), c.noDot), c.shown) << c.raw;
    }
}

// A file that was fragmented, cut back to its first piece and grown again in place keeps its
// FAT chain; the driver frees that chain when the file is deleted. What the chain no longer
// names follows on contiguously, so such a file comes back whole. A file deleted while still
// fragmented comes back at its full length with its first piece intact.
TEST_F(ToolMadeImage, DeletedExFatFilesWithFreedChainsComeBackAtFullLength) {
    const std::string missing = MissingTools({"mkfs.exfat", "mount.exfat-fuse", "losetup", "umount"});
    if (!missing.empty()) {
        GTEST_SKIP() << "needs the packages exfatprogs, exfat-fuse and mount (losetup, umount); missing: " << missing;
    }
    TempDir dir;
    const std::string image = dir.File("exfat.img");
    const std::string mountPoint = dir.File("mnt");
    std::filesystem::create_directories(mountPoint);
    ASSERT_TRUE(RunQuiet("truncate -s 32M " + image)) << "cannot make the image file";
    constexpr u32 kCluster = 4096;
    ASSERT_TRUE(RunQuiet("mkfs.exfat -c " + std::to_string(kCluster) + " " + image)) << "mkfs.exfat failed";

    std::vector<u8> healed, fragmented, plain;
    {
        LoopDevice loop(image);
        ASSERT_FALSE(loop.Path().empty()) << "no loop device for " << image;
        FuseMount mount({"mount.exfat-fuse", "-d", loop.Path(), mountPoint}, mountPoint);
        ASSERT_TRUE(mount.IsMounted()) << "mount.exfat-fuse could not mount " << loop.Path();
        const std::string healedPath = mountPoint + "/healed.bin";
        const std::string blockerPath = mountPoint + "/blocker.bin";
        const std::string fragmentedPath = mountPoint + "/fragmented.bin";
        const std::string wallPath = mountPoint + "/wall.bin";

        // healed: two clusters, a neighbour, two more clusters (now a chain), cut back to two,
        // the neighbour deleted, then grown into the clusters that follow.
        healed = DistinctBytes(2 * kCluster, 11);
        ASSERT_TRUE(WriteFile(healedPath, healed));
        ASSERT_TRUE(WriteFile(blockerPath, DistinctBytes(kCluster, 12)));
        ASSERT_TRUE(WriteFile(healedPath, DistinctBytes(2 * kCluster, 13), true));
        std::filesystem::resize_file(healedPath, healed.size());
        std::filesystem::remove(blockerPath);
        const std::vector<u8> tail = DistinctBytes(3 * kCluster + 1000, 14);
        ASSERT_TRUE(WriteFile(healedPath, tail, true));
        healed.insert(healed.end(), tail.begin(), tail.end());

        // fragmented: two clusters, a neighbour that stays, three more clusters after it.
        fragmented = DistinctBytes(2 * kCluster, 21);
        ASSERT_TRUE(WriteFile(fragmentedPath, fragmented));
        ASSERT_TRUE(WriteFile(wallPath, DistinctBytes(kCluster, 22)));
        const std::vector<u8> more = DistinctBytes(2 * kCluster + 3000, 23);
        ASSERT_TRUE(WriteFile(fragmentedPath, more, true));
        fragmented.insert(fragmented.end(), more.begin(), more.end());

        plain = DistinctBytes(5 * kCluster + 77, 31);
        ASSERT_TRUE(WriteFile(mountPoint + "/plain.bin", plain));

        for (const char* name : {"healed.bin", "fragmented.bin", "plain.bin"}) {
            std::filesystem::remove(mountPoint + "/" + name);
        }
        ASSERT_TRUE(mount.Unmount()) << "the exFAT driver did not end cleanly";
    }

    testutil::ImageDevice device(image, 512);
    ASSERT_TRUE(device.IsOpen());
    RecordingBuilder builder;
    CountingProgress progress;
    CExFatQuickSearch search;
    search.SetDirectoryTreeBuilder(&builder);
    ASSERT_EQ(search.Search(&device, &progress), 0u);
    ASSERT_NE(builder.root, nullptr);

    for (const auto& [name, original] : {std::pair<const char*, const std::vector<u8>*>{"healed.bin", &healed},
                                         {"plain.bin", &plain}}) {
        SCOPED_TRACE(name);
        const CFileNode* node = FindNamed(builder, name);
        ASSERT_NE(node, nullptr);
        EXPECT_EQ(node->GetFileProperties()->GetState() & kStateDeleted, kStateDeleted);
        std::vector<u8> data;
        ASSERT_TRUE(ReadThroughRuns(device, *builder.root, *node, data));
        EXPECT_EQ(testutil::Sha256Hex(data.data(), data.size()),
                  testutil::Sha256Hex(original->data(), original->size()));
    }

    const CFileNode* node = FindNamed(builder, "fragmented.bin");
    ASSERT_NE(node, nullptr);
    EXPECT_EQ(ClustersCovered(*node), (fragmented.size() + kCluster - 1) / kCluster);
    std::vector<u8> data;
    ASSERT_TRUE(ReadThroughRuns(device, *builder.root, *node, data));
    ASSERT_EQ(data.size(), fragmented.size());
    EXPECT_TRUE(std::equal(fragmented.begin(), fragmented.begin() + 2 * kCluster, data.begin()));
}
}  // namespace
