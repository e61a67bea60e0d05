// The deleted-file scan of FAT and exFAT volumes end to end: the driver lists the fixtures'
// volumes, scans each and recovers what the walk from the root found. What it wrote is compared
// with the reach files: every reachable deleted file whose data is intact comes back under its
// folder path with the name its entry carries now, its content and its modification time.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <map>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "E2ESupport.h"
#include "Manifest.h"
#include "TestUtil.h"
#include "ToolImage.h"
#include "platform/ProgramDir.h"

namespace {

struct Disk {
    const char* image;
    std::vector<int> partitions;  // the FAT and exFAT ones
};
const Disk kDisks[] = {
    {"fat16-basic", {1}}, {"fat32-basic", {1}}, {"exfat-basic", {1}}, {"mbr-disk", {1, 6}}, {"gpt-disk", {2}},
};

std::string Upper(std::string s) {
    for (char& c : s) c = char(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

std::string Strip(const std::string& path) { return path.empty() || path[0] != '/' ? path : path.substr(1); }

// Where the recovery puts a deleted file: its folder's path, then the name the scan shows
// (compared through testutil::PathKey).
std::string RecoveredPath(const testutil::ExpectedFile& f) {
    const std::string path = Strip(f.path);
    const size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "" : path.substr(0, slash + 1);
    return folder + testutil::ScanName(f.nameOnDisk);
}

// The scan `mode` ("deleted" or "complete") of the one volume of `image`, its files recovered to `out`.
e2e::DriverRun ScanImage(const std::string& image, const std::string& mode, const std::string& out,
                         const std::string& cwd) {
    return e2e::RunDriverRun({"--image", image, "--mode", mode, "--volume", mode == "deleted" ? "0" : "disk:0",
                              "--recover", out, "--json", out + ".json"},
                             cwd, out + ".log");
}

class FatScanE2E : public ::testing::Test {
protected:
    // One run over every disk; the tests look at its report and what it wrote.
    static void SetUpTestSuite() {
        tmp_ = new testutil::TempDir;
        cwd_ = tmp_->File("cwd");
        out_ = tmp_->File("recovered");
        ASSERT_TRUE(MakeDirectories(cwd_));
        std::vector<std::string> images;
        std::vector<std::string> args;
        for (const Disk& d : kDisks) {
            images.push_back(testutil::FixturePath(std::string(d.image) + ".img"));
            args.push_back("--image");
            args.push_back(e2e::ImageArg(d.image));
        }
        untouched_ = new e2e::Untouched(images, cwd_);
        for (const char* a : {"--mode", "deleted", "--recover"}) args.push_back(a);
        args.push_back(out_);
        args.push_back("--json");
        args.push_back(tmp_->File("report.json"));
        // FAT times are the local time of the machine that wrote them, here one in UTC.
        run_ = new e2e::DriverRun(e2e::RunDriverRun(args, cwd_, tmp_->File("driver.log"), {"TZ=UTC"}));
        report_ = &run_->report;
    }
    static void TearDownTestSuite() {
        delete run_;
        delete untouched_;
        delete tmp_;
    }
    void SetUp() override {
        ASSERT_EQ((*report_)["volumes"].kind, e2e::Json::Array);
        // Only the deleted files whose data was written over are counted incomplete, and say so.
        ASSERT_EQ(run_->status, run_->incomplete.empty() ? 0 : 1);
    }

    static testutil::TempDir* tmp_;
    static std::string cwd_;
    static std::string out_;
    static e2e::Untouched* untouched_;
    static e2e::DriverRun* run_;
    static const e2e::Json* report_;
};

testutil::TempDir* FatScanE2E::tmp_ = nullptr;
std::string FatScanE2E::cwd_;
std::string FatScanE2E::out_;
e2e::Untouched* FatScanE2E::untouched_ = nullptr;
e2e::DriverRun* FatScanE2E::run_ = nullptr;
const e2e::Json* FatScanE2E::report_ = nullptr;

TEST_F(FatScanE2E, VolumeListNamesEachFileSystemAndLabel) {
    for (size_t disk = 0; disk < std::size(kDisks); ++disk) {
        const std::vector<testutil::ManifestPartition> partitions =
            testutil::LoadPartitions(std::string(kDisks[disk].image) + ".json");
        ASSERT_FALSE(partitions.empty());
        for (const testutil::ManifestPartition& p : partitions) {
            SCOPED_TRACE(std::string(kDisks[disk].image) + " partition " + std::to_string(p.index));
            const e2e::Json* volume = e2e::FindVolume(*report_, disk, p.startSector);
            ASSERT_NE(volume, nullptr);
            EXPECT_EQ((*volume)["fs"].text, Upper(p.fs));
            EXPECT_EQ((*volume)["label"].text, p.label);
            // An NTFS volume ends where its boot sector says, one sector before its partition.
            if (p.fs != "NTFS") {
                EXPECT_EQ(u64((*volume)["sectors"].number), p.sectors);
            }
        }
    }
}

TEST_F(FatScanE2E, RecoversEveryReachableDeletedFileAndNoLiveOne) {
    u64 expectedTotal = 0;
    for (size_t disk = 0; disk < std::size(kDisks); ++disk) {
        const std::string image = kDisks[disk].image;
        const std::vector<testutil::ManifestPartition> partitions = testutil::LoadPartitions(image + ".json");
        for (int part : kDisks[disk].partitions) {
            SCOPED_TRACE(image + " partition " + std::to_string(part));
            const testutil::ManifestPartition* partition = nullptr;
            for (const testutil::ManifestPartition& p : partitions) {
                if (p.index == part) partition = &p;
            }
            ASSERT_NE(partition, nullptr);
            const e2e::Json* volume = e2e::FindVolume(*report_, disk, partition->startSector);
            ASSERT_NE(volume, nullptr);
            const int index = int((*volume)["index"].number);
            const e2e::Json* scan = e2e::FindScan(*report_, index);
            ASSERT_NE(scan, nullptr);
            ASSERT_EQ((*scan)["trees"].items.size(), 1u);
            EXPECT_EQ((*scan)["trees"].items[0]["fs"].text, Upper(partition->fs));

            const std::string volumeDir = out_ + "/" + std::to_string(index);
            const std::vector<std::string> tops = e2e::ListEntries(volumeDir);
            ASSERT_EQ(tops.size(), 1u);
            const std::string top = volumeDir + "/" + tops[0];
            const std::vector<std::string> written = e2e::ListFiles(top);
            std::map<std::string, std::string> writtenByKey;
            for (const std::string& w : written) writtenByKey[testutil::PathKey(w)] = w;

            std::set<std::string> reachable;
            for (const testutil::ExpectedFile& f : testutil::LoadDeletedFiles(image, part)) {
                if (f.reachable) reachable.insert(testutil::PathKey(RecoveredPath(f)));
            }
            std::set<std::string> live;
            for (const testutil::ManifestFile& f : testutil::LoadManifest(image + ".json", part)) {
                if (f.live) live.insert(testutil::PathKey(Strip(f.path)));
            }
            // The scan shows deleted entries only, and the walk from the root reaches no others.
            for (const std::string& w : written) {
                EXPECT_TRUE(reachable.count(testutil::PathKey(w))) << "not a reachable deleted file: " << w;
                EXPECT_FALSE(live.count(testutil::PathKey(w))) << "a live file was recovered: " << w;
            }

            // Every deleted file the walk reaches is written with its entry's time; those whose data
            // is intact with their content.
            for (const testutil::ExpectedFile& f : testutil::LoadDeletedFiles(image, part)) {
                if (!f.reachable) continue;
                auto it = writtenByKey.find(testutil::PathKey(RecoveredPath(f)));
                ASSERT_NE(it, writtenByKey.end()) << "not recovered: " << f.path << " as " << RecoveredPath(f);
                const std::string& path = it->second;
                // Within the two seconds of a FAT time (exFAT keeps the odd second too).
                const i64 mtime = e2e::ModificationTime(top + "/" + path);
                EXPECT_LE(std::llabs(mtime - testutil::ParseUtc(f.mtime)), 1) << path << " " << f.mtime;
                if (!f.intact) continue;
                ++expectedTotal;
                EXPECT_EQ(testutil::Sha256File(top + "/" + path), f.sha256) << path;
            }
        }
    }
    EXPECT_GE(expectedTotal, 13u);  // 3 + 4 + 3 on the single volumes, 1 + 0 + 2 on the disks
    std::vector<std::string> manifests;
    for (const Disk& d : kDisks) manifests.push_back(d.image);
    e2e::ExpectRecoveredAsManifests(*run_, out_, manifests);
}

TEST_F(FatScanE2E, LeavesTheImagesAndEverythingOutsideTheRecoveryFolderAlone) { untouched_->Expect(); }

// Deleted files whose first bytes are the real-world variants of their types' headers, which the
// carving analysers do not all accept, copied into fat32-basic's root and a folder and deleted
// there: where they are is what their entries say, and nothing suggests otherwise. Each comes
// back exact and whole, in both scans.
TEST(FatScanHeaderVariantsE2E, DeletedFilesOfUnacceptedHeaderVariantsComeBackWhole) {
    const std::string missing = testutil::MissingTools({"mmd", "mcopy", "mdel"});
    if (!missing.empty()) GTEST_SKIP() << "needs the package mtools; missing: " << missing;
    const auto bytes = [](std::string head) {
        for (int i = 0; i < 12 * 256; ++i) head.push_back(char(i % 256));
        return head;
    };
    const std::map<std::string, std::string> kFiles = {
        {"MPEG2.MP3", bytes(std::string("\xff\xf3\x90\x64", 4) + std::string(200, '\0'))},
        {"ARCH.GZ", bytes(std::string("\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\x03", 10))},
        {"ARCH5.RAR", bytes(std::string("Rar!\x1a\x07\x01\x00", 8) + std::string(16, '\0'))},
        {"WIDE.MOV", bytes(std::string("\0\0\0\x08wide\0\0\x13\x88mdat", 16))},
        {"BOM.HTM", bytes("\xef\xbb\xbf<html><body>hi</body></html>")},
        {"HEAD.HTM", bytes("<HEAD><TITLE>x</TITLE></HEAD>")},
        {"SPIFF.JPG", bytes(std::string("\xff\xd8\xff\xe8\x00\x1eSPIFF\x00", 12))},
        {"EMPTY.ZIP", bytes(std::string("PK\x05\x06", 4) + std::string(18, '\0'))},
        {"MOVIE.MKV", bytes(std::string("\x1a\x45\xdf\xa3\x9f\x42\x86\x81\x01", 9) + "matroska")},
    };
    testutil::TempDir tmp;
    const std::string image = tmp.File("variants.img");
    ASSERT_TRUE(testutil::WriteFileBytes(image, testutil::ReadFileBytes(testutil::FixturePath("fat32-basic.img"))));
    ASSERT_TRUE(testutil::RunQuiet("mmd -i " + image + " ::/VARIANTS"));
    // All copied before any is deleted: a deleted entry's slot takes the next file.
    for (const char* step : {"mcopy -i ", "mdel -i "}) {
        for (const auto& [name, content] : kFiles) {
            const std::string source = tmp.File(name);
            ASSERT_TRUE(testutil::WriteFileBytes(source, std::vector<u8>(content.begin(), content.end())));
            for (const std::string to : {"::/", "::/VARIANTS/"}) {
                const std::string from = std::string(step) == "mdel -i " ? "" : source + " ";
                ASSERT_TRUE(testutil::RunQuiet(step + image + " " + from + to + name)) << step << name;
            }
        }
    }
    ASSERT_TRUE(MakeDirectories(tmp.File("cwd")));
    for (const char* mode : {"deleted", "complete"}) {
        SCOPED_TRACE(mode);
        const std::string out = tmp.File(std::string("out-") + mode);
        const e2e::DriverRun run = ScanImage(image, mode, out, tmp.File("cwd"));
        // The tools wrote over free clusters, some of them the fixture's deleted files' data.
        e2e::ExpectRecoveredAsManifests(run, out, {"fat32-basic"}, {.deleted = true});
        std::map<std::string, size_t> whole;  // by the name the scan shows, "#" and the rest
        for (const std::string& f : e2e::ListFiles(out)) {
            const std::string name = e2e::LastComponent(f);
            const auto it = std::find_if(kFiles.begin(), kFiles.end(),
                                         [&](const auto& k) { return e2e::NameStandsFor(name, k.first); });
            const std::string folder = e2e::LastComponent(f.substr(0, f.rfind('/')));
            if (it == kFiles.end() || (folder != "VARIANTS" && folder.rfind("FAT32", 0) != 0)) continue;
            EXPECT_EQ(testutil::ReadFileText(out + "/" + f), it->second) << f;
            EXPECT_EQ(run.incomplete.count(out + "/" + f), 0u) << f << " counted incomplete";
            ++whole[it->first];
        }
        for (const auto& [name, content] : kFiles) EXPECT_EQ(whole[name], 2u) << name;
    }
}

// Clears the high word of the first cluster of every deleted file entry in the folders the root of
// the FAT32 image lists, as Windows does when it deletes a file: the entries keep only the low 16
// bits of where their files begin.
void ClearDeletedHighWords(std::vector<u8>& image) {
    const auto le16 = [&](size_t at) { return u32(image.at(at)) | u32(image.at(at + 1)) << 8; };
    const auto le32 = [&](size_t at) { return le16(at) | le16(at + 2) << 16; };
    const u64 sectorBytes = le16(11);
    const u64 clusterBytes = sectorBytes * image.at(13);
    const u64 fat = le16(14) * sectorBytes;
    const u64 data = fat + u64(image.at(16)) * le32(36) * sectorBytes;
    const auto entries = [&](u32 first) {
        std::vector<size_t> at;
        for (u32 c = first; c >= 2 && c < 0x0FFFFFF8 && at.size() < 1u << 16; c = le32(fat + 4 * c) & 0x0FFFFFFF) {
            for (u64 i = 0; i < clusterBytes; i += 32) at.push_back(size_t(data + (c - 2) * clusterBytes + i));
        }
        return at;
    };
    for (const size_t folder : entries(le32(44))) {
        if (image[folder] == 0 || image[folder] == 0xE5 || image[folder] == '.' || (image[folder + 11] & 0x10) == 0 ||
            image[folder + 11] == 0x0F) {
            continue;
        }
        for (const size_t e : entries(le16(folder + 26) | le16(folder + 20) << 16)) {
            if (image[e] == 0xE5 && image[e + 11] != 0x0F) image[e + 20] = image[e + 21] = 0;
        }
    }
}

// A 48 MiB FAT32 stick of 512-byte clusters, written with mtools.
class MtoolsStick {
public:
    MtoolsStick() : image_(tmp_.File("stick.img")) {
        made_ = testutil::WriteFileBytes(image_, std::vector<u8>(size_t(48) << 20, 0)) &&
                testutil::RunQuiet("mkfs.fat -F 32 -S 512 -s 1 " + image_);
    }
    bool Made() const { return made_; }
    const std::string& Image() const { return image_; }
    testutil::TempDir& Tmp() { return tmp_; }
    // An mtools command on the stick ("mmd", "::/A").
    bool Run(const std::string& tool, const std::string& arguments) {
        return testutil::RunQuiet(tool + " -i " + image_ + " " + arguments);
    }
    // Copies `content` to `to` ("::/path"); a copy that keeps an old time keeps its source's,
    // 2015-06-01, as both of its times.
    bool Copy(const std::string& to, const std::string& content, bool keepOldTime = false) {
        const std::string source = tmp_.File(to.substr(to.rfind('/') + 1));
        return testutil::WriteFileBytes(source, std::vector<u8>(content.begin(), content.end())) &&
               (!keepOldTime || testutil::RunQuiet("touch -d 2015-06-01 " + source)) &&
               Run(keepOldTime ? "mcopy -m" : "mcopy", source + " " + to);
    }
    // The next free cluster unknown: the next file written takes the first free one.
    bool ForgetNextFree() {
        std::vector<u8> bytes = testutil::ReadFileBytes(image_);
        const size_t info = size_t(bytes.at(48) | bytes.at(49) << 8) * (bytes.at(11) | bytes.at(12) << 8);
        std::fill_n(bytes.begin() + std::ptrdiff_t(info + 0x1EC), 4, u8(0xFF));
        return testutil::WriteFileBytes(image_, bytes);
    }
    bool ClearHighWords() {
        std::vector<u8> bytes = testutil::ReadFileBytes(image_);
        ClearDeletedHighWords(bytes);
        return testutil::WriteFileBytes(image_, bytes);
    }

private:
    testutil::TempDir tmp_;
    std::string image_;
    bool made_ = false;
};

// A stick as people fill it and Windows empties it: a file written first, a large one after it, so
// that two folders' files lie past cluster 65,535, pictures and text among them; half of each
// folder deleted with the high word of each deleted entry cleared, the first file deleted too.
// Every deleted file comes back exact and whole in both scans: the files written around each, its
// folder and its type's header tell where it begins.
TEST(FatScanWindowsDeleteE2E, DeletedFilesWhoseHighWordWasClearedComeBackWhole) {
    const std::string missing = testutil::MissingTools({"mkfs.fat", "mmd", "mcopy", "mdel"});
    if (!missing.empty()) GTEST_SKIP() << "needs the packages dosfstools and mtools; missing: " << missing;
    u32 seed = 1;
    const auto bytes = [&seed](size_t n, bool picture) {
        const std::string jfif("\xff\xd8\xff\xe0\x00\x10JFIF\x00\x01\x01\x00\x00\x01\x00\x01\x00\x00", 20);
        std::string b = picture ? jfif : std::string();
        while (b.size() + 4 < n) {
            const size_t chunk = std::min<size_t>(n - b.size() - 4, 60000);
            if (picture) b += std::string{'\xff', '\xfe', char(chunk >> 8), char(chunk & 0xFF)};
            for (size_t i = picture ? 2 : 0; i < chunk; ++i) {
                seed = seed * 1103515245u + 12345u;
                b.push_back(picture ? char(0x20 + (seed >> 16) % 0xD0) : char('a' + (seed >> 16) % 26));
            }
        }
        if (picture) b += "\xff\xd9";
        return b;
    };
    MtoolsStick stick;
    ASSERT_TRUE(stick.Made());
    testutil::TempDir& tmp = stick.Tmp();
    const std::string& image = stick.Image();
    std::map<std::string, std::string> written;  // "::/path" -> content
    std::vector<std::string> deleted;
    const auto copy = [&](const std::string& to, const std::string& content) {
        ASSERT_TRUE(stick.Copy(to, content)) << to;
        written[to] = content;
    };
    ASSERT_NO_FATAL_FAILURE(copy("::/FIRST.TXT", bytes(3000, false)));
    ASSERT_NO_FATAL_FAILURE(copy("::/FILL.BIN", bytes(size_t(34) << 20, false)));
    deleted.push_back("::/FIRST.TXT");
    for (const char* folder : {"A", "B"}) {
        ASSERT_TRUE(stick.Run("mmd", "::/" + std::string(folder)));
        for (int f = 0; f < 8; ++f) {
            const bool picture = f % 3 == 0;
            const std::string to = "::/" + std::string(folder) + "/F" + std::to_string(f) + (picture ? ".JPG" : ".TXT");
            ASSERT_NO_FATAL_FAILURE(copy(to, bytes(size_t(600 + 4111 * f), picture)));
            if (f % 2 == 1) deleted.push_back(to);
        }
    }
    for (const std::string& name : deleted) ASSERT_TRUE(stick.Run("mdel", name));
    ASSERT_TRUE(stick.ClearHighWords());

    ASSERT_TRUE(MakeDirectories(tmp.File("cwd")));
    for (const char* mode : {"deleted", "complete"}) {
        SCOPED_TRACE(mode);
        const std::string out = tmp.File(std::string("out-") + mode);
        const e2e::DriverRun run = ScanImage(image, mode, out, tmp.File("cwd"));
        EXPECT_EQ(run.status, 0) << "no deleted file is counted incomplete";
        const std::vector<std::string> files = e2e::ListFiles(out);
        for (const std::string& name : deleted) {
            const std::string folder = name.substr(3, name.rfind('/') > 2 ? name.rfind('/') - 3 : 0);
            const auto it = std::find_if(files.begin(), files.end(), [&](const std::string& f) {
                const std::string parent = f.substr(0, f.rfind('/'));
                return e2e::NameStandsFor(e2e::LastComponent(f), name.substr(name.rfind('/') + 1)) &&
                       (folder.empty() ? e2e::LastComponent(parent).rfind("FAT32", 0) == 0
                                       : e2e::LastComponent(parent) == folder);
            });
            ASSERT_NE(it, files.end()) << name;
            EXPECT_TRUE(testutil::ReadFileText(out + "/" + *it) == written[name]) << name << " written as another's";
            EXPECT_EQ(run.incomplete.count(out + "/" + *it), 0u) << name << " counted incomplete";
        }
    }
}

// A file deleted below cluster 65,536 whose clusters a new file took, nothing written around it
// left, beside a folder deleted as mtools deletes (the high words kept) whose file lies past
// 65,535 over the cluster of the old file's low word at high word 1, and that the walk reads
// after it: the old file began where its entry says and is counted incomplete, never written with
// the folder's file's bytes and counted whole; the other deleted files come back exact and whole.
TEST(FatScanWindowsDeleteE2E, AFileWhoseClustersANewFileTookIsNotMovedOntoAnothers) {
    const std::string missing = testutil::MissingTools({"mkfs.fat", "mmd", "mcopy", "mdel"});
    if (!missing.empty()) GTEST_SKIP() << "needs the packages dosfstools and mtools; missing: " << missing;
    MtoolsStick stick;
    ASSERT_TRUE(stick.Made());
    testutil::TempDir& tmp = stick.Tmp();
    const std::string& image = stick.Image();
    ASSERT_TRUE(stick.Run("mmd", "::/NEW"));
    ASSERT_TRUE(stick.Copy("::/OLD.TXT", std::string(3000, 'o')));
    ASSERT_TRUE(stick.Copy("::/FILL.BIN", std::string(size_t(31) << 20, 'f')));
    ASSERT_TRUE(stick.Run("mmd", "::/TREE"));
    ASSERT_TRUE(stick.Copy("::/TREE/BIG.TXT", std::string(size_t(8) << 20, 'b')));
    ASSERT_TRUE(stick.Copy("::/TREE/AFTER.TXT", std::string(5000, 'a')));
    for (const char* name : {"::/TREE/BIG.TXT", "::/TREE/AFTER.TXT", "::/OLD.TXT", "::/FILL.BIN"}) {
        ASSERT_TRUE(stick.Run("mdel", name));
    }
    // The new file takes the first free cluster, the old file's. Of another size than the old
    // file: one of its size and times at its cluster would be the entry a move of it left.
    ASSERT_TRUE(stick.ForgetNextFree());
    ASSERT_TRUE(stick.Copy("::/NEW/NEW.BIN", std::string(2900, 'n')));

    ASSERT_TRUE(MakeDirectories(tmp.File("cwd")));
    for (const char* mode : {"deleted", "complete"}) {
        SCOPED_TRACE(mode);
        const std::string out = tmp.File(std::string("out-") + mode);
        const e2e::DriverRun run = ScanImage(image, mode, out, tmp.File("cwd"));
        std::map<std::string, size_t> found;
        for (const std::string& f : e2e::ListFiles(out)) {
            const std::string name = e2e::LastComponent(f);
            const std::string text = testutil::ReadFileText(out + "/" + f);
            const bool whole = run.incomplete.count(out + "/" + f) == 0;
            for (const auto& [original, size, fill] : {std::tuple<const char*, size_t, char>{"OLD.TXT", 3000, 'o'},
                                                      {"FILL.BIN", size_t(31) << 20, 'f'},
                                                      {"BIG.TXT", size_t(8) << 20, 'b'},
                                                      {"AFTER.TXT", 5000, 'a'}}) {
                if (!e2e::NameStandsFor(name, original)) continue;
                ++found[original];
                const bool exact = text == std::string(size, fill);
                if (std::string(original) == "OLD.TXT") {
                    EXPECT_FALSE(whole) << f << " counted whole with bytes not its own";
                } else {
                    EXPECT_TRUE(exact && whole) << f << (exact ? " counted incomplete" : " written as another's");
                }
            }
        }
        for (const char* name : {"OLD.TXT", "FILL.BIN", "BIG.TXT", "AFTER.TXT"}) EXPECT_EQ(found[name], 1u) << name;
    }
}

// A file deleted past cluster 65,535 and another copied over its clusters and deleted too, both
// entries' high words cleared: the estimate puts both at the same cluster, and nothing orders
// them (the second a copy that kept its source's old times, or written in the same second).
// Neither may come back whole with the other's bytes.
TEST(FatScanWindowsDeleteE2E, TwoDeletedFilesOnOneClusterAreNeverWholeWithTheOthersBytes) {
    const std::string missing = testutil::MissingTools({"mkfs.fat", "mmd", "mcopy", "mdel", "touch"});
    if (!missing.empty()) GTEST_SKIP() << "needs the packages dosfstools and mtools; missing: " << missing;
    for (const bool keptOldTimes : {true, false}) {
        SCOPED_TRACE(keptOldTimes ? "the copy kept its source's old times" : "written in the same second");
        MtoolsStick stick;
        ASSERT_TRUE(stick.Made());
        testutil::TempDir& tmp = stick.Tmp();
        const std::string& image = stick.Image();
        const std::map<std::string, char> fills = {{"A.DAT", 'a'}, {"B.DAT", 'b'}};
        ASSERT_TRUE(stick.Copy("::/FILL.BIN", std::string(size_t(34) << 20, 'f')));
        ASSERT_TRUE(stick.Run("mmd", "::/DOCS") && stick.Run("mmd", "::/NEW"));
        // Live files written before them in both folders place both where they lie.
        ASSERT_TRUE(stick.Copy("::/DOCS/KEEP1.TXT", std::string(3000, 'k')));
        ASSERT_TRUE(stick.Copy("::/NEW/KEEP2.BIN", std::string(20000, 'l')));
        ASSERT_TRUE(stick.Copy("::/DOCS/A.DAT", std::string(40000, 'a')));
        ASSERT_TRUE(stick.Run("mdel", "::/DOCS/A.DAT"));
        // The copy takes the first free cluster, A's.
        ASSERT_TRUE(stick.ForgetNextFree());
        ASSERT_TRUE(stick.Copy("::/NEW/B.DAT", std::string(40000, 'b'), keptOldTimes));
        ASSERT_TRUE(stick.Run("mdel", "::/NEW/B.DAT"));
        ASSERT_TRUE(stick.ClearHighWords());

        ASSERT_TRUE(MakeDirectories(tmp.File("cwd")));
        for (const char* mode : {"deleted", "complete"}) {
            SCOPED_TRACE(mode);
            const std::string out = tmp.File(std::string("out-") + mode);
            const e2e::DriverRun run = ScanImage(image, mode, out, tmp.File("cwd"));
            size_t found = 0;
            for (const std::string& f : e2e::ListFiles(out)) {
                const std::string folder = e2e::LastComponent(f.substr(0, f.rfind('/')));
                const std::string name = folder == "DOCS" ? "A.DAT" : "B.DAT";
                if (!e2e::NameStandsFor(e2e::LastComponent(f), name)) continue;
                ++found;
                const bool whole = run.incomplete.count(out + "/" + f) == 0;
                const bool exact = testutil::ReadFileText(out + "/" + f) == std::string(40000, fills.at(name));
                EXPECT_TRUE(exact || !whole) << f << " counted whole with bytes not its own";
            }
            EXPECT_EQ(found, 2u);
        }
    }
}

}  // namespace
