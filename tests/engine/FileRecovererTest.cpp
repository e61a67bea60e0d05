#include <gtest/gtest.h>
#include <dirent.h>
#include <limits.h>
#include <unistd.h>
#include <sys/stat.h>

#include <fcntl.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <random>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "Lznt1Chunks.h"
#include "engine/HeadlessSinks.h"
#include "TestUtil.h"
#include "devices/StorageDevice.h"
#include "engine/DataRunList.h"
#include "engine/FileNode.h"
#include "engine/FileRecoverCallback.h"
#include "engine/FileRecoverer.h"
#include "engine/FileRecovererCopy.h"
#include "engine/FileSystemNode.h"
#include "engine/RecoverNames.h"
#include "engine/RecoveryController.h"
#include "fs/ntfs/NTFSFileProperties.h"
#include "platform/Sync.h"
#include "platform/Text.h"
#include "platform/Time.h"

namespace {
using Bytes = std::vector<u8>;

// A read-only device in memory; sectors marked bad fail their reads after scribbling on the
// buffer, as a real failed transfer may; sectors marked skipped read as zeros with success, as a
// disk's bad area does while reads skip bad sectors, and only HasUnreadSectors tells.
class MemoryDevice : public IStorageDevice {
public:
    MemoryDevice(size_t sectors, u32 sectorSize) : m_data(sectors * sectorSize), m_sectorSize(sectorSize) {
        for (size_t i = 0; i < m_data.size(); ++i) m_data[i] = u8((i * 131 + i / 977) & 0xFF);
    }
    u32 Read(void* buffer, u64 first, u64 count) override {
        if (first > GetTotalSectors() || count > GetTotalSectors() - first) return 0;
        for (u64 s = first; s < first + count; ++s) {
            if (bad.count(s) != 0) {
                std::memset(buffer, 0xEE, count * m_sectorSize);
                return 0;
            }
        }
        std::memcpy(buffer, m_data.data() + first * m_sectorSize, count * m_sectorSize);
        if (HasUnreadSectors(first, count)) std::memset(buffer, 0, count * m_sectorSize);
        return 1;
    }
    bool HasUnreadSectors(u64 first, u64 count) override {
        return IStorageDevice::HasUnreadSectors(first, count) ||
               skipped.lower_bound(first) != skipped.lower_bound(first + count);
    }
    u64 GetTotalSectors() override { return m_data.size() / m_sectorSize; }
    u32 GetSectorSize() override { return m_sectorSize; }
    u32 Open() override { return 1; }
    u32 Close() override { return 1; }

    u8* At(u64 sector) { return m_data.data() + sector * m_sectorSize; }
    Bytes Get(u64 sector, size_t bytes) const {
        const auto* p = m_data.data() + sector * m_sectorSize;
        return Bytes(p, p + bytes);
    }
    std::set<u64> bad;
    std::set<u64> skipped;

private:
    Bytes m_data;
    u32 m_sectorSize;
};

struct Recorder : CountingRecoverCallback {
    i32 OnBytesDone(u64 n) override {
        bytes += n;
        if (slowBytes) SleepMs(30);
        return cancelAfterBytes != 0 && bytes >= cancelAfterBytes ? kRecoverCancel : 0;
    }
    i32 OnStep(u32 n) override {
        steps.push_back(n);
        return 0;
    }
    i32 OnFileName(const char* name) override {
        names.push_back(name);
        return cancelAtName == name ? kRecoverCancel : 0;
    }

    u64 cancelAfterBytes = 0;
    bool slowBytes = false;
    std::string cancelAtName;
    std::vector<u32> steps;
    std::vector<std::string> names;
};

constexpr u64 kFileTime2020 = 132223104000000000ULL;  // 2020-01-01T00:00:00Z

CNTFSFileProperties* Props(const std::string& name, u64 size, u16 attributes,
                           const std::vector<DataRunExtent>& runs = {}, u64 mtime = 0, u64 atime = 0) {
    NTFSFilePropertiesData d;
    d.name = name;
    d.nameLength = u16(name.size() + 1);
    d.size = size;
    d.attributes = attributes;
    d.modificationTime = mtime;
    d.accessTime = atime;
    auto* p = CreateNTFSFileProperties().release();
    p->SetData(d);
    if (!runs.empty()) {
        CNoneResidentNTFSDataRunList list;
        for (const DataRunExtent& e : runs) list.AddExtent(e);
        p->SetRunList(&list);
    }
    return p;
}

Bytes MftRecordWith(u32 type, const Bytes& value, std::optional<std::pair<u8, u8>> run = std::nullopt);

// A tree that frees its nodes.
struct Tree {
    explicit Tree(u64 start, u32 spc, const char* rootName = "NTFS") {
        root = CreateFileSystemNode().release();
        root->SetFileSystemType(3);
        root->SetPartitionGeometry(start, spc);
        root->SetFileProperties(CreateNTFSFolderProperties(rootName));
    }
    ~Tree() {
        for (CFileNode* n : nodes) DeleteFileNode(n);
        DeleteFileSystemNode(root);
    }
    CFileNode* Add(CFileNode* parent, IFileProperties* properties, u8 state = kChecked) {
        CFileNode* n = CreateFileNode().release();
        n->SetFileProperties(properties);
        n->SetCheckState(state);
        parent->AddChild(n);
        nodes.push_back(n);
        return n;
    }
    CFileNode* Folder(CFileNode* parent, const std::string& name, u8 state = kChecked) {
        return Add(parent, Props(name, 0, kAttrDirectory), state);
    }
    CFileSystemNode* root;
    std::vector<CFileNode*> nodes;
};

std::set<std::string> List(const std::string& dir) {
    std::set<std::string> names;
    if (DIR* d = ::opendir(dir.c_str())) {
        while (dirent* e = ::readdir(d)) {
            const std::string n = e->d_name;
            if (n != "." && n != "..") names.insert(n);
        }
        ::closedir(d);
    }
    return names;
}

bool ValidUtf8(const std::string& s) {
    for (char16_t c : Utf8ToUtf16(s)) {
        if (c == 0xFFFD) return false;
    }
    return true;
}

TEST(RecoverNames, CleaningAndBounds) {
    EXPECT_EQ(CleanTopFolderName("x:y"), "x#y");
    EXPECT_EQ(CleanTopFolderName("a:?\\/|*><\"b"), "a#########b");
    EXPECT_EQ(CleanFileName("a/b.txt"), "a_b.txt");
    EXPECT_EQ(CleanFileName("a\\b:c"), "a\\b:c");  // only '/' separates paths here
    // Control characters are legal in a Linux name but break every listing that shows one.
    EXPECT_EQ(CleanFileName("line\nbreak\r\t\x1b[31m\x7f.txt"), "line_break___[31m_.txt");
    EXPECT_EQ(CleanSubfolderName("a\x01" "b"), "a_b");
    EXPECT_EQ(CleanTopFolderName("v\nol"), "v#ol");
    EXPECT_EQ(CleanFileName("\xC3\xA9t\xC3\xA9 \"q\" <a|b>?*.txt"), "\xC3\xA9t\xC3\xA9 \"q\" <a|b>?*.txt");
    EXPECT_EQ(CleanSubfolderName("../x"), ".._x");
    EXPECT_EQ(CleanFileName("."), "_");
    EXPECT_EQ(CleanSubfolderName(".."), "__");
    EXPECT_EQ(CleanTopFolderName(".."), "__");
    EXPECT_EQ(CleanFileName(nullptr), "_");
    EXPECT_EQ(CleanFileName(""), "_");

    std::string longName;
    for (int i = 0; i < 200; ++i) longName += "\xC3\xA9";  // 400 bytes of 'é'
    const std::string cut = CleanFileName((longName + ".txt").c_str());
    EXPECT_LE(cut.size(), kMaxNameComponent);
    EXPECT_EQ(cut.substr(cut.size() - 4), ".txt");
    EXPECT_TRUE(ValidUtf8(cut));
    const std::string top = CleanTopFolderName(longName.c_str());
    EXPECT_LE(top.size(), kMaxNameComponent);
    EXPECT_TRUE(ValidUtf8(top));

    EXPECT_EQ(UniqueFileVariant("name.ext", 0), "name_000.ext");
    EXPECT_EQ(UniqueFileVariant("name.ext", 1), "name_001.ext");
    EXPECT_EQ(UniqueFileVariant("name", 0), "name_000");
    EXPECT_EQ(UniqueFolderVariant("dir", 12), "dir_012");
    const std::string variant = UniqueFileVariant(cut, 5);
    EXPECT_LE(variant.size(), kMaxNameComponent);
    EXPECT_EQ(variant.substr(variant.size() - 8), "_005.txt");
    EXPECT_TRUE(ValidUtf8(variant));
    EXPECT_LE(UniqueFolderVariant(top, 7).size(), kMaxNameComponent);
}

TEST(FileRecoverer, FolderWalkNamesSelectionAndUniqueness) {
    MemoryDevice device(4096, 512);
    Tree tree(0, 1, "x:y");
    Tree* t = &tree;
    t->Add(t->root, Props("a/b.txt", 700, kAttrArchive, {{10, 2}}));
    t->Add(t->root, Props("dup.txt", 10, kAttrArchive, {{20, 1}}));
    t->Add(t->root, Props("dup.txt", 11, kAttrArchive, {{21, 1}}));
    t->Add(t->root, Props("noext", 5, kAttrArchive, {{22, 1}}));
    t->Add(t->root, Props("noext", 6, kAttrArchive, {{23, 1}}));
    t->Add(t->root, Props("..", 3, kAttrArchive, {{24, 1}}));
    CFileNode* partly = t->Folder(t->root, "Part/ly", kPartlyChecked);
    t->Add(partly, Props("in.bin", 512, kAttrArchive, {{30, 1}}));
    t->Add(partly, Props("out.bin", 512, kAttrArchive, {{31, 1}}), kUnchecked);
    CFileNode* unchecked = t->Folder(t->root, "Skipped", kUnchecked);
    t->Add(unchecked, Props("never.bin", 512, kAttrArchive, {{32, 1}}));

    testutil::TempDir temp;
    const std::string target = temp.File("target");
    Recorder recorder;
    char out[520] = {};
    CFileRecoverer first;
    ASSERT_EQ(first.RecoverFolder(&recorder, &device, tree.root, target.c_str(), out, sizeof out), kRecoverOk);
    EXPECT_EQ(std::string(out), target + "/x#y");
    EXPECT_EQ(List(temp.Path()), std::set<std::string>{"target"});
    EXPECT_EQ(List(target), std::set<std::string>{"x#y"});

    const std::string top = target + "/x#y";
    EXPECT_EQ(List(top), (std::set<std::string>{"a_b.txt", "dup.txt", "dup_000.txt", "noext", "noext_000", "__",
                                                "Part_ly"}));
    EXPECT_EQ(List(top + "/Part_ly"), std::set<std::string>{"in.bin"});
    EXPECT_EQ(testutil::ReadFileBytes(top + "/a_b.txt"), device.Get(10, 700));
    EXPECT_EQ(testutil::ReadFileBytes(top + "/Part_ly/in.bin"), device.Get(30, 512));
    EXPECT_EQ(recorder.files, 7u);

    // A second recovery never touches the first: a new top folder.
    CFileRecoverer second;
    ASSERT_EQ(second.RecoverFolder(nullptr, &device, tree.root, (target + "/").c_str(), out, sizeof out), kRecoverOk);
    EXPECT_EQ(std::string(out), target + "/x#y_000");
    EXPECT_EQ(List(target), (std::set<std::string>{"x#y", "x#y_000"}));
}

TEST(FileRecoverer, DotFolderAndDotFileStayInside) {
    MemoryDevice device(512, 512);
    Tree tree(0, 1);
    CFileNode* dots = tree.Folder(tree.root, "..");
    tree.Add(dots, Props("inside.txt", 4, kAttrArchive, {{33, 1}}));
    tree.Add(tree.root, Props(".", 3, kAttrArchive, {{24, 1}}));
    testutil::TempDir temp;
    char out[520] = {};
    CFileRecoverer job;
    ASSERT_EQ(job.RecoverFolder(nullptr, &device, tree.root, temp.Path().c_str(), out, sizeof out), kRecoverOk);
    EXPECT_EQ(List(temp.Path()), std::set<std::string>{"NTFS"});
    EXPECT_EQ(List(temp.Path() + "/NTFS"), (std::set<std::string>{"__", "_"}));
    EXPECT_EQ(testutil::ReadFileBytes(temp.Path() + "/NTFS/__/inside.txt"), device.Get(33, 4));
}

TEST(FileRecoverer, FragmentedSparseUnreadableTimesAndReadOnly) {
    MemoryDevice device(2048, 512);
    const u64 start = 100;
    const u32 spc = 2;
    Tree tree(start, spc);
    const u64 size = 6 * 1024 - 300;
    const u64 mtime = kFileTime2020 + 12345678;
    const u64 atime = kFileTime2020 + 99990000;
    CFileNode* node = tree.Add(
        tree.root, Props("frag.bin", size, kAttrArchive | kAttrHidden | 0x01, {{10, 3}, {-1, 2}, {40, 1}}, mtime, atime));
    device.bad.insert(start + 40 * spc + 1);  // the last cluster's second sector cannot be read

    Bytes expected;
    const Bytes a = device.Get(start + 10 * spc, 3 * 1024);
    expected.insert(expected.end(), a.begin(), a.end());
    expected.resize(expected.size() + 2048, 0);
    // The cluster's first sector is kept; the one that cannot be read is zeros, not the device's
    // scribbles.
    const Bytes readable = device.Get(start + 40 * spc, 512);
    expected.insert(expected.end(), readable.begin(), readable.end());
    expected.resize(size, 0);

    testutil::TempDir temp;
    const std::string path = temp.File("frag.bin");
    Recorder recorder;
    CFileRecoverer job;
    // An unreadable sector keeps the file, with zeros in its place, but never as recovered.
    EXPECT_FALSE(job.RecoverFile(&recorder, &device, node, path.c_str(), false));
    EXPECT_EQ(job.GetResult(), kRecoverIncomplete);
    EXPECT_EQ(job.GetCounts().incomplete, 1u);
    EXPECT_EQ(job.GetCounts().written, 0u);
    EXPECT_EQ(recorder.files, 0u);
    // Times first: reading the file may move its access time.
    struct stat st;
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0222, 0u);
    EXPECT_EQ(FileTimeFromUnix(st.st_mtim.tv_sec, u32(st.st_mtim.tv_nsec)), mtime);
    EXPECT_EQ(FileTimeFromUnix(st.st_atim.tv_sec, u32(st.st_atim.tv_nsec)), atime);
    EXPECT_EQ(testutil::ReadFileBytes(path), expected);
    EXPECT_EQ(recorder.bytes, size);
    EXPECT_EQ(recorder.names, std::vector<std::string>{"frag.bin"});

    // The preview reuses its path: a read-only copy there is replaced; once the sector reads,
    // the file is whole.
    device.bad.clear();
    const Bytes last = device.Get(start + 40 * spc, 1024);
    std::copy(last.begin(), last.begin() + long(size - 5 * 1024), expected.begin() + 5 * 1024);
    CFileRecoverer again;
    EXPECT_TRUE(again.RecoverFile(&recorder, &device, node, path.c_str(), false));
    EXPECT_EQ(testutil::ReadFileBytes(path), expected);
    EXPECT_EQ(recorder.steps, (std::vector<u32>{0, 0}));
    EXPECT_EQ(again.GetCounts().written, 1u);
}

using testutil::RepeatChunk;

Bytes Repeat(const char* three, size_t n) {
    Bytes out(n);
    for (size_t i = 0; i < n; ++i) out[i] = u8(three[i % 3]);
    return out;
}

TEST(FileRecoverer, OnlyWholeFilesCountAsRecoveredAndFailuresLeaveNothing) {
    MemoryDevice device(64, 512);
    Tree tree(0, 1);
    // Sector 40: a compressed chunk whose header announces more bytes than its unit holds.
    device.At(40)[0] = 0xFF;
    device.At(40)[1] = 0xBF;
    // Sector 33: one stored chunk of 510 bytes.
    device.At(33)[0] = 0xFD;
    device.At(33)[1] = 0x31;
    // Sector 35: a compressed chunk that expands to a whole 4096 bytes.
    const Bytes chunk = RepeatChunk("abc", 4093);
    std::memcpy(device.At(35), chunk.data(), chunk.size());
    // Sectors 62-63, the last two: an MFT record holding 100 bytes of resident data.
    const Bytes resident(100, 'r'), record = MftRecordWith(0x80, resident);
    std::memcpy(device.At(62), record.data(), record.size());
    // Sectors 16-17 and the first two bytes of 18 read as zeros, as a failing disk's copy gives
    // unreadable sectors.
    std::memset(device.At(16), 0, 2 * 512 + 2);
    struct Case {
        const char* name;
        u64 size;
        std::vector<DataRunExtent> runs;
        u32 result;
        size_t keptBytes;  // of a kept file
        u16 attributes = kAttrArchive;
        // The kept file's bytes when they are not what the device holds of its first extent.
        Bytes content = {};
        u64 residentIn = 0;  // the sector of the record holding its resident data
    };
    auto zeros = [](size_t n) { return Bytes(n, 0); };
    auto join = [](Bytes a, const Bytes& b) { return a.insert(a.end(), b.begin(), b.end()), a; };
    const u16 packed = kAttrArchive | kAttrCompressed;
    const Bytes lost = join(zeros(8192), device.Get(44, 8192));  // a unit of zeros, then a whole one
    const Case cases[] = {
        {"whole.bin", 1000, {{10, 2}}, kRecoverOk, 1000},
        {"sparse.bin", 2048, {{-1, 4}}, kRecoverOk, 2048},
        // A first cluster of 0 and a size: nothing to read.
        {"noruns.bin", 5000, {}, kRecoverFailed, 0},
        // Extents that end before the size: the file stops where they do.
        {"short.bin", 4096, {{20, 2}}, kRecoverIncomplete, 1024},
        // The same with a size past any free space (a found file cut at the device's end): it
        // needs room only for what its extents reach.
        {"claims.bin", u64(1) << 50, {{20, 2}}, kRecoverIncomplete, 1024},
        // Half past the device's end (a cut image): zeros for what is not there.
        {"cut.bin", 4096, {{60, 8}}, kRecoverIncomplete, 4096},
        {"gone.bin", 2048, {{100, 4}}, kRecoverFailed, 0},
        {"unread.bin", 512, {{30, 1}}, kRecoverFailed, 0},
        // A bad area the device answers with zeros: nothing of it is the file's.
        {"skipped.bin", 512, {{31, 1}}, kRecoverFailed, 0},
        {"halfskipped.bin", 1024, {{20, 1}, {31, 1}}, kRecoverIncomplete, 1024},
        // One sector that fails and one unread inside a step: every other sector is kept.
        {"onebad.bin", 4096, {{26, 8}}, kRecoverIncomplete, 4096, kAttrArchive,
         join(join(device.Get(26, 2048), zeros(1024)), device.Get(32, 1024))},
        // The compressed road cuts an extent into units: a unit past the first one of an extent
        // outside the volume takes no cluster counted from its start.
        {"packed-outside.bin", 16384, {{10, 8}, {kOutsideVolumeExtentStart, 24}}, kRecoverIncomplete, 16384, packed},
        // A damaged compression unit is zeros; the unit after it is kept.
        {"packed-damaged.bin", 16384, {{40, 1}, {-1, 15}, {44, 16}}, kRecoverIncomplete, 16384, packed, lost},
        // So is a unit stored in fewer clusters than it holds whose chunks stop at a zero header
        // at once, before other bytes, or a whole cluster before its end: it lost chunks.
        {"zero-first.bin", 16384, {{16, 1}, {-1, 15}, {44, 16}}, kRecoverIncomplete, 16384, packed, lost},
        {"zero-amid.bin", 16384, {{33, 1}, {18, 1}, {-1, 14}, {44, 16}}, kRecoverIncomplete, 16384, packed, lost},
        {"zero-tail.bin", 16384, {{33, 1}, {16, 2}, {-1, 13}, {44, 16}}, kRecoverIncomplete, 16384, packed, lost},
        // Compressed chunks with a hole after them: the chunks before it are kept.
        {"packed-hole.bin", 8192, {{35, 1}, {30, 1}, {-1, 14}}, kRecoverIncomplete, 8192, packed,
         join(Repeat("abc", 4096), zeros(4096))},
        // Only the data's last chunk is short: a short one before a hole is damaged, and nothing
        // else is left of the file.
        {"packed-short.bin", 8192, {{33, 1}, {30, 1}, {-1, 14}}, kRecoverFailed, 0, packed},
        // A record wholly inside a disk cut short, which the read of it reaches past.
        {"resident.txt", 100, {}, kRecoverOk, 100, kAttrArchive, resident, 62},
        // A damaged record claiming an exabyte of sparse data.
        {"huge.bin", u64(1) << 60, {{-1, u64(1) << 51}}, kRecoverFailed, 0},
    };
    // Sector 30 fails its reads, 31 reads as zeros that the device reports unread (a request
    // that meets it comes back wholly as zeros, as a disk's does).
    device.bad.insert(30);
    device.skipped.insert(31);
    for (const Case& c : cases) {
        CNTFSFileProperties* p = Props(c.name, c.size, c.attributes, c.runs);
        CResidentNTFSDataRunList list;  // the data in the record at residentIn
        list.SetResidentData(c.residentIn, 1, 56 + 24);
        p->SetRecordSector(c.residentIn);
        if (c.residentIn != 0) p->SetRunList(&list);
        tree.Add(tree.root, p);
    }

    testutil::TempDir temp;
    std::set<std::string> kept;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CFileNode* node = nullptr;
        for (CFileNode* n : tree.nodes) {
            if (std::string(n->GetFileProperties()->GetName()) == c.name) node = n;
        }
        // Saved over a file of the user's: only a whole copy replaces it, with the file's own
        // permission bits; anything less leaves it as it was, nothing beside it, and fails.
        const std::string path = temp.File(c.name);
        ASSERT_TRUE(testutil::WriteFileBytes(path, {'m', 'i', 'n', 'e'}));
        ASSERT_EQ(::chmod(path.c_str(), 0640), 0);
        CFileRecoverer job;
        EXPECT_EQ(job.RecoverFile(nullptr, &device, node, path.c_str(), false), c.result == kRecoverOk);
        EXPECT_EQ(job.GetResult(), c.result == kRecoverOk ? kRecoverOk : kRecoverFailed);
        EXPECT_EQ(job.GetCounts().failed, c.result == kRecoverOk ? 0u : 1u);
        struct stat st {};
        ASSERT_EQ(::stat(path.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0640u);
        std::set<std::string> beside(kept);
        beside.insert(c.name);
        EXPECT_EQ(List(temp.Path()), beside);
        if (c.result != kRecoverOk) {
            EXPECT_EQ(testutil::ReadFileBytes(path), (Bytes{'m', 'i', 'n', 'e'}));
            ::unlink(path.c_str());
            if (c.result == kRecoverFailed) continue;
            // Where nothing stands, an incomplete copy is kept for what it holds.
            CFileRecoverer fresh;
            EXPECT_FALSE(fresh.RecoverFile(nullptr, &device, node, path.c_str(), false));
            EXPECT_EQ(fresh.GetResult(), kRecoverIncomplete);
        }
        kept.insert(c.name);
        // What the device holds of the extent, then zeros.
        Bytes expected = c.content;
        if (expected.empty() && c.runs[0].start >= 0) {
            const u64 first = u64(c.runs[0].start);
            const u64 readable = std::min(device.GetTotalSectors() - first, c.runs[0].length) * 512;
            expected = device.Get(first, size_t(std::min<u64>(readable, c.keptBytes)));
        }
        expected.resize(c.keptBytes, 0);
        EXPECT_EQ(testutil::ReadFileBytes(path), expected);
    }

    // The folder walk counts each kind apart and leaves no empty or partial file of a failure.
    Recorder recorder;
    char out[520] = {};
    CFileRecoverer walk;
    ASSERT_EQ(walk.RecoverFolder(&recorder, &device, tree.root, temp.File("walk").c_str(), out, sizeof out),
              kRecoverOk);
    const RecoverCounts& counts = walk.GetCounts();
    EXPECT_EQ(counts.written, 3u);
    EXPECT_EQ(counts.incomplete, 11u);
    EXPECT_EQ(counts.failed, 6u);
    EXPECT_EQ(counts.noSpace, 1u);
    EXPECT_EQ(counts.bytes, 1000u + 2048u + 100u);
    EXPECT_EQ(recorder.files, 3u);
    EXPECT_EQ(List(out), kept);
    kept.insert("walk");
    EXPECT_EQ(List(temp.Path()), kept) << "a temporary copy stayed";
    // The room the writer judged each file by, as the destination check counts it: what the
    // extents reach, however large the stated size; nothing for a file without extents. Sums of
    // sizes from the disk stop at all ones instead of wrapping.
    EXPECT_EQ(CheckedRecoveryBytes(tree.root, &device),
              1000u + 2048u + 1024u + 1024u + 4096u + 2048u + 512u + 512u + 1024u + 4096u + 16384u + 16384u + 2 * 8192u +
                  3 * 16384u + 100u + (u64(1) << 60));
    for (int i = 0; i < 2; ++i) tree.Add(tree.root, Props("wraps.bin", u64(1) << 63, kAttrArchive, {{-1, u64(1) << 54}}));
    EXPECT_EQ(CheckedRecoveryBytes(tree.root, &device), ~u64(0));
    tree.root->RecountStatistics();
    SelectionStatistics stats;
    tree.root->GetStatistics(&stats);
    EXPECT_EQ(stats.checkedBytes, ~u64(0));

    // A folder is made for files that stay: one whose every file failed, however deep, leaves
    // nothing, while a checked folder without files is made for its own sake.
    Tree folders(0, 1);
    auto gone = [] { return Props("gone.bin", 2048, kAttrArchive, {{100, 4}}); };
    CFileNode* failing = folders.Folder(folders.root, "failing");
    folders.Add(folders.Folder(folders.Folder(failing, "a"), "b"), Props("unread.bin", 512, kAttrArchive, {{30, 1}}));
    folders.Add(failing, gone());
    CFileNode* mixed = folders.Folder(folders.root, "mixed");
    folders.Add(folders.Folder(mixed, "failing"), gone());
    folders.Add(mixed, Props("whole.bin", 1000, kAttrArchive, {{10, 2}}));
    CFileNode* holding = folders.Folder(folders.root, "holding");
    folders.Folder(holding, "empty");
    folders.Add(holding, gone());
    auto below = [](const std::string& root) {
        std::set<std::string> paths;
        for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
            paths.insert(std::filesystem::relative(entry.path(), root).string());
        }
        return paths;
    };
    CFileRecoverer some;
    ASSERT_EQ(some.RecoverFolder(nullptr, &device, folders.root, temp.File("some").c_str(), out, sizeof out),
              kRecoverOk);
    EXPECT_EQ(some.GetCounts().failed, 4u);
    EXPECT_EQ(below(temp.File("some")),
              (std::set<std::string>{"NTFS", "NTFS/mixed", "NTFS/mixed/whole.bin", "NTFS/holding",
                                     "NTFS/holding/empty"}));
    // Nothing stays: no folder at all, not even the top one.
    for (CFileNode* folder : {mixed, holding}) folder->SetCheckState(kUnchecked);
    CFileRecoverer none;
    ASSERT_EQ(none.RecoverFolder(nullptr, &device, folders.root, temp.File("none").c_str(), out, sizeof out),
              kRecoverOk);
    EXPECT_EQ(none.GetCounts().failed, 2u);
    EXPECT_EQ(below(temp.File("none")), std::set<std::string>{});
    EXPECT_STREQ(out, "");
}

// Answers -1 to the n-th poll.
struct CancelAtPoll : CountingRecoverCallback {
    i32 IsCancelled() override { return ++polls == cancelAt ? kRecoverCancel : 0; }
    int polls = 0;
    int cancelAt = 1;
};

TEST(FileRecoverer, EncryptedRestoreKeepsItsInputUntilTheStreamIsWhole) {
    testutil::TempDir temp;
    const std::string path = temp.File("secret.doc");
    Bytes written(kEfsFileHeaderSize + 40 + 3 * 65536 + 100, 0x5A);
    BuildEfsFileHeader(written.data(), 40);
    ASSERT_TRUE(testutil::WriteFileBytes(path, written));
    MemoryDevice device(8, 512);
    RecoverReadContext context;
    context.device = &device;

    // A cancel between two blocks is a cancel; the written file stays as it was, no stream stays.
    CancelAtPoll cancel;
    cancel.cancelAt = 2;
    context.callback = &cancel;
    RecoverTarget target = RecoverTarget::AtPath(path);
    EXPECT_EQ(RestoreEfsFile(context, target, 3 * 65536 + 100), kRecoverCancelled);
    EXPECT_EQ(testutil::ReadFileBytes(path), written);
    EXPECT_EQ(List(temp.Path()), std::set<std::string>{"secret.doc"});

    // No temporary name to be had: a failure that leaves the written file and both names alone.
    ASSERT_TRUE(testutil::WriteFileBytes(path + ".EFS", {1}));
    ASSERT_TRUE(testutil::WriteFileBytes(temp.File("$~EFS~#1.$EFS"), {2}));
    context.callback = nullptr;
    EXPECT_EQ(RestoreEfsFile(context, target, 3 * 65536 + 100), kRecoverFailed);
    EXPECT_EQ(testutil::ReadFileBytes(path), written);
    EXPECT_EQ(testutil::ReadFileBytes(path + ".EFS"), Bytes{1});
    EXPECT_EQ(testutil::ReadFileBytes(temp.File("$~EFS~#1.$EFS")), Bytes{2});
}

TEST(FileRecoverer, DataPastTheInitializedSizeIsZeros) {
    // 512-byte clusters; each file's initialized size ends inside a cluster.
    MemoryDevice device(1024, 512);
    Tree tree(0, 1);
    struct Case {
        const char* name;
        u64 size;
        u64 initialized;
        u16 attributes;
        std::vector<DataRunExtent> runs;
    };
    const Case cases[] = {
        {"plain.bin", 3000, 1000, kAttrArchive, {{10, 6}}},
        {"beyond.bin", 3000, 5000, kAttrArchive, {{10, 6}}},  // larger than the size: the size holds
        {"none.bin", 1500, 0, kAttrArchive, {{10, 3}}},
        {"holes.bin", 3072, 1500, kAttrArchive | kAttrSparse, {{-1, 2}, {30, 4}}},
        {"packed.bin", 8192 + 600, 8192 + 100, kAttrArchive | kAttrCompressed, {{100, 16}, {200, 2}}},
    };
    testutil::TempDir temp;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        NTFSFilePropertiesData d;
        d.name = c.name;
        d.nameLength = u16(d.name.size() + 1);
        d.size = c.size;
        d.attributes = c.attributes;
        d.initializedSize = c.initialized;
        CNTFSFileProperties* p = CreateNTFSFileProperties().release();
        p->SetData(d);
        CNoneResidentNTFSDataRunList list;
        for (const DataRunExtent& e : c.runs) list.AddExtent(e);
        p->SetRunList(&list);
        CFileNode* node = tree.Add(tree.root, p);

        Bytes data;
        for (const DataRunExtent& e : c.runs) {
            const Bytes b = e.start < 0 ? Bytes(e.length * 512, 0) : device.Get(u64(e.start), e.length * 512);
            data.insert(data.end(), b.begin(), b.end());
        }
        data.resize(c.size);
        Bytes expected(data.begin(), data.begin() + long(std::min(c.initialized, c.size)));
        expected.resize(c.size, 0);

        CFileRecoverer job;
        ASSERT_TRUE(job.RecoverFile(nullptr, &device, node, temp.File(c.name).c_str(), false));
        EXPECT_EQ(testutil::ReadFileBytes(temp.File(c.name)), expected);
    }
}

TEST(FileRecoverer, CompressedUnitsOfEveryKind) {
    // 512-byte clusters: a unit is 16 clusters, 8 KiB, two chunks.
    MemoryDevice device(1024, 512);
    Tree tree(0, 1);
    Bytes packed = RepeatChunk("abc", 4093);
    const Bytes second = RepeatChunk("xyz", 4093);
    packed.insert(packed.end(), second.begin(), second.end());
    // The slack after the unit's two chunks holds stray bytes: no byte of the unit's.
    std::memset(device.At(50), 0x5A, 512);
    std::memcpy(device.At(50), packed.data(), packed.size());

    const u64 size = 3 * 8192 + 3 * 512 - 100;
    // Unit 1: one cluster of chunks + 15 sparse; unit 2: 16 plain clusters in two extents;
    // unit 3: wholly sparse; then 3 plain clusters the runs leave unclosed.
    CFileNode* node = tree.Add(tree.root, Props("c.txt", size, kAttrArchive | kAttrCompressed,
                                                {{50, 1}, {-1, 15}, {100, 6}, {200, 10}, {-1, 16}, {300, 3}}));
    Bytes expected = Repeat("abc", 4096);
    const Bytes x = Repeat("xyz", 4096);
    expected.insert(expected.end(), x.begin(), x.end());
    for (auto [s, n] : {std::pair<u64, u64>{100, 6}, {200, 10}}) {
        const Bytes b = device.Get(s, n * 512);
        expected.insert(expected.end(), b.begin(), b.end());
    }
    expected.resize(expected.size() + 8192, 0);
    const Bytes tail = device.Get(300, 3 * 512);
    expected.insert(expected.end(), tail.begin(), tail.end());
    expected.resize(size);

    testutil::TempDir temp;
    Recorder recorder;
    CFileRecoverer job;
    ASSERT_TRUE(job.RecoverFile(&recorder, &device, node, temp.File("c.txt").c_str(), false));
    EXPECT_EQ(testutil::ReadFileBytes(temp.File("c.txt")), expected);
    EXPECT_EQ(job.GetResult(), kRecoverOk);
    EXPECT_EQ(recorder.bytes, size);
}

// A unit of compressed and stored chunks in turn at cluster 10 and the file's last unit, one short
// stored chunk ending on a sector's end, at cluster 40, each with other bytes than zeros after its
// zero header and a spare cluster: whole; with any sector of their chunks zeroed, incomplete, every
// byte its own or zero (zeros may take the last chunk's final bytes without a trace).
TEST(FileRecoverer, ACompressionUnitWithAZeroedSectorAnywhereIsNeverCountedWhole) {
    for (u32 spc : {1u, 2u, 4u, 8u}) {
        SCOPED_TRACE(spc);
        const u32 unitBytes = 16 * 512 * spc, cluster = 512 * spc;
        MemoryDevice device(128 * spc, 512);
        Bytes stream, expected, last = {0xFD, 0x31}, lastData = Repeat("xyz", 510);
        last.insert(last.end(), lastData.begin(), lastData.end());
        for (u32 k = 0; k < unitBytes / 4096; ++k) {
            Bytes chunk = testutil::LongChunk(640 + 72 * k, k, expected);
            if (k % 2 == 1) chunk = {0xFF, 0x3F};  // stored: the bytes as they are
            if (k % 2 == 1) chunk.insert(chunk.end(), expected.end() - 4096, expected.end());
            stream.insert(stream.end(), chunk.begin(), chunk.end());
        }
        expected.insert(expected.end(), lastData.begin(), lastData.end());
        const u64 used = (stream.size() + 2 + cluster - 1) / cluster;
        for (const auto& [sector, chunks, clusters] : {std::tuple(10 * spc, stream, used + 1), {40 * spc, last, 2}}) {
            std::memset(device.At(sector), 0x5A, clusters * cluster);
            std::memcpy(device.At(sector), chunks.data(), chunks.size());
            std::memset(device.At(sector) + chunks.size(), 0, 2);
        }
        Tree tree(0, spc);
        CFileNode* node = tree.Add(tree.root, Props("u.bin", unitBytes + 510, kAttrArchive | kAttrCompressed,
                                                    {{10, used + 1}, {-1, 15 - used}, {40, 2}, {-1, 14}}));
        const auto recover = [&] {
            testutil::TempDir temp;
            CFileRecoverer job;
            job.RecoverFile(nullptr, &device, node, temp.File("u.bin").c_str(), false);
            return std::pair(job.GetResult(), testutil::ReadFileBytes(temp.File("u.bin")));
        };
        EXPECT_EQ(recover(), std::pair(kRecoverOk, expected));
        // Each sector of the first unit's chunks but the one where they end, then the last unit's.
        for (u64 s = 10 * spc, end = s + stream.size() / 512; s <= end; ++s) {
            const u64 at = s == end ? 40 * spc : s;
            const Bytes kept = device.Get(at, 512);
            std::memset(device.At(at), 0, 512);
            const auto [result, out] = recover();
            EXPECT_EQ(result, kRecoverIncomplete) << at;
            ASSERT_EQ(out.size(), expected.size());
            for (size_t i = 0; i < out.size(); ++i) ASSERT_TRUE(out[i] == 0 || out[i] == expected[i]) << at << " " << i;
            std::memcpy(device.At(at), kept.data(), 512);
        }
    }
}

TEST(FileRecoverer, CompressedFileNeedsSmallClusters) {
    MemoryDevice device(1024, 512);
    for (u32 spc : {16u, 9u}) {
        Tree tree(0, spc);
        CFileNode* node = tree.Add(tree.root, Props("big.txt", 4096, kAttrArchive | kAttrCompressed, {{2, 16}}));
        testutil::TempDir temp;
        CFileRecoverer job;
        EXPECT_FALSE(job.RecoverFile(nullptr, &device, node, temp.File("big.txt").c_str(), false));
        EXPECT_EQ(job.GetResult(), kRecoverFailed);
        EXPECT_TRUE(testutil::ReadFileBytes(temp.File("big.txt")).empty());
    }
}

TEST(FileRecoverer, AFileOfOneDamagedCompressedUnitHasNothingOfItsOwn) {
    MemoryDevice device(1024, 512);
    Tree tree(0, 1);
    // The chunk header announces 4098 bytes; the unit holds 512. The unit is zeros, and nothing
    // else is left of the file: it fails.
    std::memset(device.At(60), 0x41, 512);
    device.At(60)[0] = 0xFF;
    device.At(60)[1] = 0xBF;
    CFileNode* node = tree.Add(tree.root, Props("bad.txt", 8192, kAttrArchive | kAttrCompressed, {{60, 1}, {-1, 15}}));
    testutil::TempDir temp;
    CFileRecoverer job;
    EXPECT_FALSE(job.RecoverFile(nullptr, &device, node, temp.File("bad.txt").c_str(), false));
    EXPECT_EQ(job.GetResult(), kRecoverFailed);

    // Random unit contents: each file either decodes or fails, and nothing reads or writes past
    // its buffers.
    std::mt19937 rng(77);
    for (int round = 0; round < 200; ++round) {
        const u32 used = 1 + rng() % 15;
        for (u32 s = 0; s < used; ++s) {
            for (u32 i = 0; i < 512; ++i) device.At(70 + s)[i] = u8(rng());
        }
        device.At(70)[1] |= 0x80;
        Tree t(0, 1);
        CFileNode* n = t.Add(t.root, Props("r.txt", 8192, kAttrArchive | kAttrCompressed, {{70, used}, {-1, 16 - used}}));
        CFileRecoverer r;
        r.RecoverFile(nullptr, &device, n, temp.File("r.txt").c_str(), false);
        EXPECT_NE(r.GetResult(), kRecoverCancelled);
        if (r.GetResult() == kRecoverOk) {
            EXPECT_EQ(testutil::ReadFileBytes(temp.File("r.txt")).size(), 8192u);
        }
    }
}

TEST(FileRecoverer, EmptyFilesAndRefusals) {
    MemoryDevice device(64, 512);
    Tree tree(0, 1);
    testutil::TempDir temp;
    CFileNode* empty = tree.Add(tree.root, Props("empty.txt", 0, kAttrArchive));
    CFileRecoverer job;
    EXPECT_TRUE(job.RecoverFile(nullptr, &device, empty, temp.File("empty.txt").c_str(), false));
    EXPECT_TRUE(testutil::FileExists(temp.File("empty.txt")));

    CFileNode* noRuns = tree.Add(tree.root, Props("lost.txt", 10, kAttrArchive));
    EXPECT_FALSE(job.RecoverFile(nullptr, &device, noRuns, temp.File("lost.txt").c_str(), false));
    EXPECT_FALSE(testutil::FileExists(temp.File("lost.txt")));
    CFileNode* folder = tree.Folder(tree.root, "dir");
    EXPECT_FALSE(job.RecoverFile(nullptr, &device, folder, temp.File("dir").c_str(), false));
    EXPECT_FALSE(job.RecoverFile(nullptr, &device, nullptr, temp.File("none").c_str(), false));
    EXPECT_FALSE(job.RecoverFile(nullptr, nullptr, empty, temp.File("nodevice").c_str(), false));

    // A node with no file-system root above it has no geometry.
    CFileNode* orphan = CreateFileNode().release();
    orphan->SetFileProperties(Props("o.txt", 1, kAttrArchive, {{1, 1}}));
    EXPECT_FALSE(job.RecoverFile(nullptr, &device, orphan, temp.File("o.txt").c_str(), false));
    EXPECT_EQ(job.GetResult(), kRecoverFailed);
    DeleteFileNode(orphan);

    // A root whose node is unchecked writes nothing and succeeds.
    tree.root->SetCheckState(kUnchecked);
    char out[64] = "untouched";
    EXPECT_EQ(job.RecoverFolder(nullptr, &device, tree.root, temp.File("t").c_str(), out, sizeof out), kRecoverOk);
    EXPECT_TRUE(List(temp.File("t")).empty());
    EXPECT_STREQ(out, "untouched");
}

TEST(FileRecoverer, CancelFromTheCallback) {
    MemoryDevice device(1024, 512);
    Tree tree(0, 1);
    CFileNode* big = tree.Add(tree.root, Props("big.bin", 300000, kAttrArchive, {{0, 600}}));
    tree.Add(tree.root, Props("stop.bin", 10, kAttrArchive, {{1, 1}}));
    testutil::TempDir temp;

    Recorder onBytes;
    onBytes.cancelAfterBytes = 65536;
    CFileRecoverer job;
    EXPECT_FALSE(job.RecoverFile(&onBytes, &device, big, temp.File("big.bin").c_str(), false));
    EXPECT_EQ(job.GetResult(), kRecoverCancelled);
    EXPECT_FALSE(testutil::FileExists(temp.File("big.bin")));  // no half file stays

    // The walk meets stop.bin first (children are in front-insertion order).
    Recorder onName;
    onName.cancelAtName = "stop.bin";
    EXPECT_EQ(job.RecoverFolder(&onName, &device, tree.root, temp.File("walk").c_str(), nullptr, 0), kRecoverCancelled);
    EXPECT_EQ(onName.files, 0u);
}

struct FixedController : IRecoveryController {
    u32 GetType() override { return 0; }
    u32 Initialize(IRecoveryFilter*) override { return 1; }
    u32 Run(IStorageDevice*, IProgress*, IDirectoryTree*, const char*, u32) override { return 0; }
    void Release() override {}
    void SetFileSystem(u32, const char*) override {}
    u32 GetFileSource(CFileNode*, u64& start, u32& spc) override {
        start = 500;
        spc = 1;
        return 1;
    }
    void Stop() override {}
};

TEST(FileRecoverer, CurrentControllerPlacesThePartition) {
    MemoryDevice device(1024, 512);
    Tree tree(0, 4);  // what the node's own root says is overridden by the scan mode
    CFileNode* node = tree.Add(tree.root, Props("f.bin", 1000, kAttrArchive, {{5, 2}}));
    FixedController controller;
    SetCurrentRecoveryController(&controller);
    testutil::TempDir temp;
    CFileRecoverer job;
    const bool ok = job.RecoverFile(nullptr, &device, node, temp.File("f.bin").c_str(), false);
    SetCurrentRecoveryController(nullptr);
    ASSERT_TRUE(ok);
    EXPECT_EQ(testutil::ReadFileBytes(temp.File("f.bin")), device.Get(505, 1000));
}

std::atomic<int> g_pumped{0};
void CountPump() { ++g_pumped; }

TEST(FileRecoverer, BackgroundCopyPumpsWhileItRuns) {
    MemoryDevice device(1024, 512);
    Tree tree(0, 1);
    CFileNode* node = tree.Add(tree.root, Props("bg.bin", 4 * 65536, kAttrArchive, {{0, 512}}));
    testutil::TempDir temp;
    Recorder slow;
    slow.slowBytes = true;
    g_pumped = 0;
    SetRecoverMessagePump(&CountPump);
    CFileRecoverer job;
    const bool ok = job.RecoverFile(&slow, &device, node, temp.File("bg.bin").c_str(), true);
    SetRecoverMessagePump(nullptr);
    ASSERT_TRUE(ok);
    EXPECT_GT(g_pumped.load(), 0);
    EXPECT_EQ(testutil::ReadFileBytes(temp.File("bg.bin")), device.Get(0, 4 * 65536));

    // Without a pump the caller only waits.
    CFileRecoverer quiet;
    EXPECT_TRUE(quiet.RecoverFile(nullptr, &device, node, temp.File("bg2.bin").c_str(), true));
}

// A protected 1024-byte MFT record holding one resident attribute or, with `run` set, one
// non-resident attribute of `value.size()` bytes whose one run of run->second clusters starts at
// cluster run->first (value is then only its size).
Bytes MftRecordWith(u32 type, const Bytes& value, std::optional<std::pair<u8, u8>> run) {
    Bytes r(1024, 0);
    auto put16 = [&](size_t at, u16 v) { WriteLE16(r.data() + at, v); };
    auto put32 = [&](size_t at, u32 v) { WriteLE32(r.data() + at, v); };
    std::memcpy(r.data(), "FILE", 4);
    put16(4, 48);
    put16(6, 3);
    WriteLE64(r.data() + 8, 0x1000);
    put16(16, 1);
    put16(18, 1);
    put16(20, 56);
    put16(22, 1);
    u32 length = u32((24 + value.size() + 7) & ~size_t(7));
    put32(56, type);
    if (run) {
        length = 72;
        r[56 + 8] = 1;
        WriteLE64(r.data() + 56 + 24, run->second - 1u);
        put16(56 + 32, 64);
        for (size_t at : {40, 48, 56}) WriteLE64(r.data() + 56 + at, value.size());
        const u8 pairs[] = {0x11, run->second, run->first, 0};
        std::memcpy(r.data() + 56 + 64, pairs, sizeof pairs);
    } else {
        put32(56 + 16, u32(value.size()));
        put16(56 + 10, 24);
        put16(56 + 20, 24);
        std::memcpy(r.data() + 56 + 24, value.data(), value.size());
    }
    put32(56 + 4, length);
    const u32 end = 56 + length;
    put32(end, 0xFFFFFFFF);
    put32(24, end + 8);
    put32(28, 1024);
    put16(40, 8);
    put32(44, 40);
    put16(48, 0x0203);
    for (u32 i = 0; i < 2; ++i) {
        const size_t slot = (i + 1) * 512 - 2;
        put16(48 + 2 * (i + 1), ReadLE16(r.data() + slot));
        put16(slot, 0x0203);
    }
    return r;
}

TEST(FileRecoverer, EncryptedFileIsWrittenAsItsRawBackupStream) {
    MemoryDevice device(1024, 512);
    Bytes metadata(40);
    for (size_t i = 0; i < metadata.size(); ++i) metadata[i] = u8(0xA0 + i);
    WriteLE64(metadata.data(), metadata.size());
    const Bytes record = MftRecordWith(0x100, metadata);
    std::memcpy(device.At(200), record.data(), record.size());

    Tree tree(0, 1);
    CNTFSFileProperties* p = Props("secret.doc", 1000, kAttrArchive | kAttrEfsEncrypted, {{50, 2}});
    p->SetRecordSector(200);
    CFileNode* node = tree.Add(tree.root, p);

    testutil::TempDir temp;
    const std::string path = temp.File("secret.doc");
    Recorder recorder;
    CFileRecoverer job;
    ASSERT_TRUE(job.RecoverFile(&recorder, &device, node, path.c_str(), false));
    EXPECT_EQ(recorder.steps, std::vector<u32>{24});
    EXPECT_EQ(List(temp.Path()), std::set<std::string>{"secret.doc"});  // the temporary stream is gone

    const Bytes out = testutil::ReadFileBytes(path);
    ASSERT_EQ(out.size(), 66u + 40u + 42u + 512u + 1024u);
    EXPECT_EQ(ReadLE32(out.data()), 0x100u);
    EXPECT_EQ(std::memcmp(out.data() + 4, u"ROBS", 8), 0);
    EXPECT_EQ(ReadLE32(out.data() + 50), 56u);
    EXPECT_EQ(std::memcmp(out.data() + 54, u"GURE", 8), 0);
    EXPECT_EQ(Bytes(out.begin() + 66, out.begin() + 106), metadata);
    const u8* stream = out.data() + 106;
    EXPECT_EQ(ReadLE32(stream), 42u);
    EXPECT_EQ(std::memcmp(stream + 28, u"::$DATA", 14), 0);
    const u8* block = stream + 42;
    EXPECT_EQ(ReadLE32(block), 1024u + 512u);
    EXPECT_EQ(ReadLE16(block + 18), 0);
    EXPECT_EQ(ReadLE32(block + 28), 1000u);
    EXPECT_EQ(ReadLE32(block + 32), 1000u);
    EXPECT_EQ(ReadLE32(block + 44), 1024u);
    EXPECT_EQ(Bytes(block + 512, block + 512 + 1024), device.Get(50, 1024));

    // A name that would collide with the temporary stream is left alone.
    testutil::WriteFileBytes(path + ".EFS", {1, 2, 3});
    CFileRecoverer again;
    ASSERT_TRUE(again.RecoverFile(nullptr, &device, node, path.c_str(), false));
    EXPECT_EQ(testutil::ReadFileBytes(path + ".EFS"), (Bytes{1, 2, 3}));
    EXPECT_EQ(testutil::ReadFileBytes(path).size(), out.size());

    // A key stream on the volume with a sector the disk could not give is written with zeros
    // there, and the file is counted incomplete rather than whole: it cannot be decrypted.
    const Bytes outside = MftRecordWith(0x100, Bytes(1024), std::pair<u8, u8>{100, 2});
    std::memcpy(device.At(210), outside.data(), outside.size());
    WriteLE64(device.At(100), 1024);
    device.skipped.insert(101);
    p->SetRecordSector(210);
    CFileRecoverer holed;
    EXPECT_FALSE(holed.RecoverFile(nullptr, &device, node, temp.File("holed.doc").c_str(), false));
    EXPECT_EQ(holed.GetResult(), kRecoverIncomplete);
    const Bytes keyed = testutil::ReadFileBytes(temp.File("holed.doc"));
    ASSERT_GE(keyed.size(), 66u + 1024u);
    EXPECT_EQ(Bytes(keyed.begin() + 66, keyed.begin() + 66 + 512), device.Get(100, 512));
    EXPECT_EQ(Bytes(keyed.begin() + 66 + 512, keyed.begin() + 66 + 1024), Bytes(512, 0));

    // Its record in the last two sectors of a disk cut short, which the read of it reaches past.
    std::memcpy(device.At(1022), record.data(), record.size());
    p->SetRecordSector(1022);
    ASSERT_TRUE(CFileRecoverer().RecoverFile(nullptr, &device, node, temp.File("end.doc").c_str(), false));
    EXPECT_EQ(testutil::ReadFileBytes(temp.File("end.doc")), out);
}

// A folder deeper than the longest path: each of its files is made, written, given its
// attributes and times, turned into its encrypted stream and, when it fails, removed, all
// through its folder.
TEST(FileRecoverer, FilesPastTheLongestPathAreWrittenAndRemovedThroughTheirFolder) {
    constexpr int kLevels = 18;
    MemoryDevice device(1024, 512);
    Bytes metadata(40, 0x3C);
    WriteLE64(metadata.data(), metadata.size());
    const Bytes record = MftRecordWith(0x100, metadata);
    std::memcpy(device.At(200), record.data(), record.size());
    device.bad.insert(30);

    Tree tree(0, 1);
    CFileNode* deepest = tree.root;
    std::string deep;  // the deepest folder's path below the top folder
    for (int level = 0; level < kLevels; ++level) {
        std::string name = "level " + std::to_string(level) + " ";
        name.resize(250, 'x');
        deep += name + "/";
        deepest = tree.Folder(deepest, name);
    }
    const u64 mtime = kFileTime2020 + 4242;
    CNTFSFileProperties* secret = Props("secret.doc", 1000, kAttrArchive | kAttrEfsEncrypted, {{50, 2}});
    secret->SetRecordSector(200);
    IFileProperties* const files[] = {
        Props("plain.bin", 1000, kAttrArchive | 0x01, {{10, 2}}, mtime),
        Props("plain.bin", 700, kAttrArchive, {{12, 2}}),  // written as plain_000.bin
        Props("unread.bin", 512, kAttrArchive, {{30, 1}}),  // fails and leaves nothing
        secret,
    };
    // A child added goes first: added backwards, the walk meets the files in order.
    for (auto f = std::rbegin(files); f != std::rend(files); ++f) tree.Add(deepest, *f);

    testutil::TempDir temp;
    char out[520] = {};
    CFileRecoverer walk;
    ASSERT_EQ(walk.RecoverFolder(nullptr, &device, tree.root, temp.Path().c_str(), out, sizeof out), kRecoverOk);
    EXPECT_EQ(walk.GetCounts().written, 3u);
    EXPECT_EQ(walk.GetCounts().failed, 1u);
    ASSERT_GT(std::string(out).size() + 1 + deep.size(), size_t(PATH_MAX));

    // Nothing else stands there: no failed file, no temporary stream.
    const std::map<std::string, Bytes> written = testutil::ReadFilesBelow(out);
    std::set<std::string> names;
    for (const auto& [path, bytes] : written) names.insert(path);
    EXPECT_EQ(names, (std::set<std::string>{deep + "plain.bin", deep + "plain_000.bin", deep + "secret.doc"}));
    EXPECT_EQ(written.at(deep + "plain.bin"), device.Get(10, 1000));
    EXPECT_EQ(written.at(deep + "plain_000.bin"), device.Get(12, 700));
    const Bytes& stream = written.at(deep + "secret.doc");
    ASSERT_EQ(stream.size(), 66u + 40u + 42u + 512u + 1024u);
    EXPECT_EQ(Bytes(stream.end() - 1024, stream.end()), device.Get(50, 1024));
    // Read-only and its time, set through the folder too.
    const int fd = testutil::OpenBelow(out, deep + "plain.bin");
    struct stat st {};
    ASSERT_EQ(::fstat(fd, &st), 0);
    ::close(fd);
    EXPECT_EQ(st.st_mode & 0222, 0u);
    EXPECT_EQ(FileTimeFromUnix(st.st_mtim.tv_sec, u32(st.st_mtim.tv_nsec)), mtime);
}

// Puts a link in place when a file is announced for the n-th time.
struct LinkSwap : CountingRecoverCallback {
    i32 OnFileName(const char*) override { return ++calls == swapAtCall ? (swap(), 0) : 0; }
    int calls = 0, swapAtCall = 0;
    std::function<void()> swap;
};

// The file made for a recovered file is written through the handle it was made with: a link put
// in its place before the data comes receives nothing, in a folder already made as in the
// chosen folder, where the first file of a folder not made yet is written, and such a link is
// never moved into the recovered tree.
TEST(FileRecoverer, ALinkPutInTheNewFilesPlaceReceivesNothing) {
    MemoryDevice device(64, 512);
    testutil::TempDir temp;
    const std::string outside = temp.File("outside.txt");
    ASSERT_TRUE(testutil::WriteFileBytes(outside, {'o', 'w', 'n'}));
    struct Case {
        const char* name;
        bool firstInItsFolder;
        std::set<std::string> left;  // in the top folder: the link stays where it was put
    };
    const Case cases[] = {{"after another file", false, {"first.bin", "a.bin"}}, {"first in its folder", true, {}}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Tree tree(0, 1);
        tree.Add(tree.root, Props("a.bin", 1000, kAttrArchive, {{10, 2}}));
        if (!c.firstInItsFolder) tree.Add(tree.root, Props("first.bin", 512, kAttrArchive, {{12, 1}}));
        const std::string chosen = temp.File(c.name);
        LinkSwap swap;
        swap.swapAtCall = c.firstInItsFolder ? 2 : 4;  // the writer's own announcement, after the file is made
        swap.swap = [&] {
            std::string made = chosen + "/NTFS/a.bin";
            for (const std::string& name : List(chosen)) {
                if (name.rfind(".morvenda-", 0) == 0) made = chosen + "/" + name;
            }
            ASSERT_EQ(::unlink(made.c_str()), 0);
            ASSERT_EQ(::symlink(outside.c_str(), made.c_str()), 0);
        };
        CFileRecoverer walk;
        ASSERT_EQ(walk.RecoverFolder(&swap, &device, tree.root, chosen.c_str(), nullptr, 0), kRecoverOk);
        EXPECT_EQ(testutil::ReadFileBytes(outside), (Bytes{'o', 'w', 'n'}));
        EXPECT_EQ(List(chosen + "/NTFS"), c.left);
    }
}

// Trees recovered one after another into a folder opened once: a link put where its name was,
// after the first tree, sends the next tree nowhere else.
TEST(FileRecoverer, EveryTreeGoesIntoTheFolderOpenedOnceWhateverBecomesOfItsName) {
    MemoryDevice device(64, 512);
    Tree first(0, 1, "first");
    Tree second(0, 1, "second");
    first.Add(first.root, Props("1.bin", 512, kAttrArchive, {{10, 1}}));
    second.Add(second.root, Props("2.bin", 512, kAttrArchive, {{11, 1}}));
    testutil::TempDir temp;
    const std::string volume = temp.File("0");
    ASSERT_EQ(::mkdir(volume.c_str(), 0777), 0);
    ASSERT_EQ(::mkdir(temp.File("elsewhere").c_str(), 0777), 0);
    const int folder = ::open(volume.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    ASSERT_GE(folder, 0);
    LinkSwap swap;
    swap.swapAtCall = 1;
    swap.swap = [&] {
        ASSERT_EQ(::rename(volume.c_str(), temp.File("moved").c_str()), 0);
        ASSERT_EQ(::symlink(temp.File("elsewhere").c_str(), volume.c_str()), 0);
    };
    for (Tree* tree : {&first, &second}) {
        CFileRecoverer job;
        EXPECT_EQ(job.RecoverFolderAt(&swap, &device, tree->root, folder, volume.c_str(), nullptr, 0), kRecoverOk);
    }
    ::close(folder);
    EXPECT_EQ(List(temp.File("elsewhere")), std::set<std::string>{});
    EXPECT_EQ(testutil::ReadFileBytes(temp.File("moved/second/2.bin")), device.Get(11, 512));
}

// A chain deeper than the folders the walk keeps open: each file after a deep subfolder still
// lands in its own folder, which is opened again on the way back.
TEST(FileRecoverer, AChainDeeperThanTheOpenFoldersComesBackInPlace) {
    MemoryDevice device(64, 512);
    Tree tree(0, 1);
    CFileNode* folder = tree.root;
    std::set<std::string> expected;
    for (std::string below; below.size() < 2 * 150; below += "d/") {
        // Added first, listed last: the file comes after the subfolder's whole chain.
        tree.Add(folder, Props("f", 512, kAttrArchive, {{10, 1}}));
        expected.insert(below + "f");
        folder = tree.Folder(folder, "d");
    }
    testutil::TempDir temp;
    char out[520] = {};
    CFileRecoverer walk;
    ASSERT_EQ(walk.RecoverFolder(nullptr, &device, tree.root, temp.Path().c_str(), out, sizeof out), kRecoverOk);
    std::set<std::string> written;
    for (const auto& [path, bytes] : testutil::ReadFilesBelow(out)) written.insert(path);
    EXPECT_EQ(written, expected);
}
}  // namespace
