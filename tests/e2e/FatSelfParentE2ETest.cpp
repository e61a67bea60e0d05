// FAT32 volumes made with mkfs.vfat and mtools whose folders' ".." entries were overwritten with
// the folder's own cluster (such folders were refused, and their files lost): the complete scan
// still finds the volume from those folders when its boot sector and FATs are gone, and reads
// every folder from its first cluster when the root is gone. Such a ".." costs the folder its
// place under its parent, nothing more.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "E2ESupport.h"
#include "TestUtil.h"
#include "ToolImage.h"
#include "platform/ProgramDir.h"
#include "platform/Types.h"

namespace {

using testutil::RunQuiet;

constexpr u64 kSector = 512;

std::string FolderOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? "" : path.substr(0, slash);
}

// Every file comes back with its bytes, once. With the root gone, each folder comes back whole
// from its first cluster on: the top ones under "Lost Folders", the others under the parent
// whose entry names them. Without a FAT a folder's later clusters are read apart from its first
// one, so a long name cut at a cluster's end comes back as the short name: there the bytes alone
// tell the files apart.
TEST(FatSelfParentE2E, EveryFileComesBackFromFoldersWhoseDotDotNamesThemselves) {
    const std::string missing = testutil::MissingTools({"mkfs.vfat", "mcopy", "truncate"});
    if (!missing.empty()) GTEST_SKIP() << "needs the packages dosfstools, mtools and coreutils; missing: " << missing;
    const struct {
        const char* what;
        std::vector<std::string> folders;  // below the root, each holding `files` files; "": the root
        u32 files;
        bool headGone;  // boot sector, its backup and both FATs zeroed; else the root's first cluster
    } cases[] = {
        {"boot sector and FATs gone", {"A", "B", "C", ""}, 57, true},
        {"root gone", {"A", "B", "C", "A/X", "A/X/Y", "B/Z"}, 30, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        testutil::TempDir tmp;
        const std::string image = tmp.File("volume.img");
        const std::string source = tmp.File("source");
        std::map<std::string, std::string> hashByPath;  // "A/X/name" -> content hash
        u32 seed = 0;
        for (const std::string& f : c.folders) {
            const std::string folder = source + (f.empty() ? "/root" : "/tree/" + f);
            ASSERT_TRUE(MakeDirectories(folder));
            for (u32 i = 0; i < c.files; ++i, ++seed) {
                const std::string name = "file " + std::to_string(seed) + " with a long name.bin";
                const std::vector<u8> bytes = testutil::DistinctBytes(400 + seed * 37 % 5000, seed);
                ASSERT_TRUE(testutil::WriteFileBytes(folder + "/" + name, bytes));
                hashByPath[(f.empty() ? "" : f + "/") + name] = testutil::Sha256Hex(bytes.data(), bytes.size());
            }
        }
        ASSERT_TRUE(RunQuiet("truncate -s 64M " + image + " && mkfs.vfat -F 32 -s 1 " + image + " && cd " + source +
                             "/tree && mcopy -s -i " + image + " * ::/"));
        if (testutil::FileExists(source + "/root")) {
            ASSERT_TRUE(RunQuiet("cd " + source + "/root && mcopy -i " + image + " * ::/"));
        }

        std::vector<u8> bytes = testutil::ReadFileBytes(image);
        ASSERT_EQ(bytes.size(), 64u << 20);
        // Sector of cluster 2; one sector per cluster.
        const u64 dataStart = ReadLE16(&bytes[14]) + u64(bytes[16]) * ReadLE32(&bytes[36]);
        size_t pointed = 0;  // folders whose ".." now names their own first cluster
        for (u64 at = dataStart * kSector; at + kSector <= bytes.size(); at += kSector) {
            u8* s = bytes.data() + at;
            if (std::memcmp(s, ".          ", 11) != 0 || std::memcmp(s + 32, "..         ", 11) != 0) continue;
            std::memcpy(s + 32 + 20, s + 20, 2);
            std::memcpy(s + 32 + 26, s + 26, 2);
            ++pointed;
        }
        ASSERT_EQ(pointed, c.folders.size() - size_t(std::count(c.folders.begin(), c.folders.end(), "")));
        const u64 root = (dataStart + ReadLE32(&bytes[44]) - 2) * kSector;
        const u64 from = c.headGone ? 0 : root;
        const u64 to = c.headGone ? dataStart * kSector : root + kSector;
        std::fill(bytes.begin() + long(from), bytes.begin() + long(to), u8(0));
        ASSERT_TRUE(testutil::WriteFileBytes(image, bytes));

        const std::string out = tmp.File("out");
        const std::string cwd = tmp.File("cwd");
        ASSERT_TRUE(MakeDirectories(cwd));
        ASSERT_EQ(e2e::RunDriver({"--image", image, "--mode", "complete", "--volume", "disk:0", "--recover", out}, cwd,
                                 tmp.File("run.log")),
                  0);
        std::multimap<std::string, std::string> found;  // content hash -> path below "<volume>/FAT32/"
        for (const std::string& f : e2e::ListFiles(out)) {
            const size_t fat = f.find("/FAT32/");
            found.emplace(testutil::Sha256File(out + "/" + f), fat == std::string::npos ? f : f.substr(fat + 7));
        }
        std::map<std::string, std::set<std::string>> placesOf;  // source folder -> where its files came back
        for (const auto& [path, hash] : hashByPath) {
            EXPECT_EQ(found.count(hash), 1u) << path;
            const auto it = found.find(hash);
            if (c.headGone || it == found.end()) continue;
            EXPECT_EQ(e2e::LastComponent(it->second), e2e::LastComponent(path));
            placesOf[FolderOf(path)].insert(FolderOf(it->second));
        }
        for (const std::string& f : c.headGone ? std::vector<std::string>{} : c.folders) {
            ASSERT_EQ(placesOf[f].size(), 1u) << f << " is split";
            const std::string place = *placesOf[f].begin();
            if (f.find('/') == std::string::npos) {
                EXPECT_EQ(FolderOf(place), "Lost Folders") << f;  // its entry was in the root
            } else {
                EXPECT_EQ(place, *placesOf[FolderOf(f)].begin() + "/" + e2e::LastComponent(f)) << f;
            }
        }
    }
}

}  // namespace
