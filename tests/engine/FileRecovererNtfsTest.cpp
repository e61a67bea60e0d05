// Recovers the live files of the NTFS fixtures through the writer, from nodes made of their own
// MFT records, and compares every file with the manifest.
#include <gtest/gtest.h>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <ctime>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "ImageDevice.h"
#include "Manifest.h"
#include "engine/HeadlessSinks.h"
#include "TestUtil.h"
#include "devices/StorageDevice.h"
#include "engine/FileNode.h"
#include "engine/FileRecoverCallback.h"
#include "engine/FileRecoverer.h"
#include "engine/FileSystemNode.h"
#include "fs/ntfs/NTFSDBR.h"
#include "fs/ntfs/NTFSFileProperties.h"
#include "fs/ntfs/NTFSFileRecord.h"
#include "fs/ntfs/NTFSRecord.h"
#include "fs/ntfs/NTFSRunList.h"

namespace {

// The live files of a single-volume fixture.
std::vector<testutil::ManifestFile> LiveFiles(const std::string& manifest) {
    std::vector<testutil::ManifestFile> live;
    for (const testutil::ManifestFile& f : testutil::LoadManifest(manifest, 1)) {
        if (f.live) live.push_back(f);
    }
    return live;
}

// The live records of a volume as a tree under a root of the volume's geometry, as a scan of
// the volume builds it.
struct VolumeTree {
    CFileSystemNode* root = nullptr;
    std::vector<CFileNode*> nodes;
    ~VolumeTree() {
        for (CFileNode* n : nodes) DeleteFileNode(n);
        if (root != nullptr) DeleteFileSystemNode(root);
    }
};

std::unique_ptr<VolumeTree> BuildTree(IStorageDevice& device) {
    auto tree = std::make_unique<VolumeTree>();
    const u32 sectorSize = device.GetSectorSize();
    std::vector<u8> boot(sectorSize);
    CNTFSDBR dbr;
    if (!device.Read(boot.data(), 0, 1) || !dbr.SetDBRData(boot.data())) return tree;
    const u8 spc = dbr.GetSectorsPerCluster();
    const u64 bytesPerCluster = u64(spc) * sectorSize;
    const u32 recordSize = dbr.GetFileRecordSize();
    const u8 sectorsPerRecord = u8(recordSize / sectorSize);
    const u64 volumeClusters = dbr.GetTotalSectors() / spc;

    std::vector<u8> buffer(recordSize);
    const u64 mftSector = dbr.GetMFTCluster() * spc;
    CNTFSFileRecord mft;
    if (!device.Read(buffer.data(), mftSector, sectorsPerRecord) ||
        !mft.Init(buffer.data(), recordSize, mftSector, &device, nullptr)) {
        return tree;
    }
    NTFSRunList mftRuns;
    u64 mftSize = 0;
    if (!CollectUnnamedDataRuns(mft, mftRuns, true, &mftSize)) return tree;
    SortRunsByVCN(mftRuns);

    struct Live {
        CNTFSFileProperties* properties;
        u64 parent;
    };
    std::map<u64, Live> live;
    for (u64 n = 16; n < mftSize / recordSize; ++n) {
        const u64 sector = ComputeRecordSector(n, spc, 0, mftRuns, sectorsPerRecord);
        if (sector == ~u64(0) || !device.Read(buffer.data(), sector, sectorsPerRecord)) continue;
        if (!ValidateFileRecord(buffer.data(), recordSize)) continue;
        NTFSExtensionRecordList* extensions = CNTFSFileRecord::LocateExtensionRecords(
            buffer.data(), recordSize, sector, spc, 0, &device, mftRuns, sectorsPerRecord);
        CNTFSFileRecord record;
        if (!record.Init(buffer.data(), recordSize, sector, &device, extensions) || !record.IsInUse() ||
            RecordIsExtension(record.GetRecord())) {
            delete extensions;
            continue;
        }
        u64 parent = ~u64(0);
        CNTFSFileProperties* p = MakeNTFSFileProperties(sector, record, bytesPerCluster, &parent, volumeClusters).release();
        if (p == nullptr) {
            delete extensions;
            continue;
        }
        p->SetExtensionRecords(extensions);
        live[n] = {p, parent};
    }

    tree->root = CreateFileSystemNode().release();
    tree->root->SetFileSystemType(3);
    tree->root->SetPartitionGeometry(0, spc);
    tree->root->SetFileProperties(CreateNTFSFolderProperties("NTFS"));
    // Only records whose parent chain reaches the root folder (record 5) enter the tree.
    std::map<u64, CFileNode*> made = {{5, tree->root}};
    std::function<CFileNode*(u64, int)> place = [&](u64 n, int depth) -> CFileNode* {
        if (auto it = made.find(n); it != made.end()) return it->second;
        auto it = live.find(n);
        if (it == live.end() || depth > 64) return nullptr;
        CFileNode* parent = place(it->second.parent, depth + 1);
        if (parent == nullptr) return nullptr;
        CFileNode* node = CreateFileNode().release();
        it->second.properties->AddRef();
        node->SetFileProperties(it->second.properties);
        node->SetId(n);
        parent->AddChild(node);
        tree->nodes.push_back(node);
        made[n] = node;
        return node;
    };
    for (auto& [n, l] : live) place(n, 0);
    for (auto& [n, l] : live) l.properties->Release();
    return tree;
}

void CountFiles(const std::string& dir, size_t& count) {
    DIR* d = ::opendir(dir.c_str());
    if (d == nullptr) return;
    while (dirent* e = ::readdir(d)) {
        const std::string n = e->d_name;
        if (n == "." || n == "..") continue;
        struct stat st;
        const std::string path = dir + "/" + n;
        if (::lstat(path.c_str(), &st) != 0) continue;
        if (S_ISDIR(st.st_mode)) {
            CountFiles(path, count);
        } else {
            ++count;
        }
    }
    ::closedir(d);
}

void RecoverVolume(const std::string& image, const std::string& manifest, u32 sectorSize) {
    const std::string imagePath = testutil::FixturePath(image);
    const std::string imageHash = testutil::Sha256File(imagePath);
    const std::vector<testutil::ManifestFile> files = LiveFiles(manifest);
    ASSERT_FALSE(files.empty());

    testutil::ImageDevice device(imagePath, sectorSize);
    std::unique_ptr<VolumeTree> tree = BuildTree(device);
    ASSERT_NE(tree->root, nullptr);

    testutil::TempDir temp;
    const std::string target = temp.File("out");
    CountingRecoverCallback counter;
    char made[520] = {};
    CFileRecoverer job;
    ASSERT_EQ(job.RecoverFolder(&counter, &device, tree->root, target.c_str(), made, sizeof made), kRecoverOk);
    ASSERT_EQ(std::string(made), target + "/NTFS");

    size_t written = 0;
    CountFiles(made, written);
    EXPECT_EQ(written, files.size());
    EXPECT_EQ(counter.files, files.size());

    u64 manifestBytes = 0;
    for (const testutil::ManifestFile& f : files) {
        SCOPED_TRACE(f.path);
        const std::string path = std::string(made) + f.path;
        struct stat st;
        ASSERT_EQ(::stat(path.c_str(), &st), 0);
        EXPECT_EQ(u64(st.st_size), f.size);
        EXPECT_EQ(i64(st.st_mtim.tv_sec), testutil::ParseUtc(f.mtime));
        EXPECT_EQ(testutil::Sha256File(path), f.sha256);
        manifestBytes += f.size;
    }
    EXPECT_EQ(counter.bytes, manifestBytes);

    // Nothing beside the target folder, and the image is as it was.
    DIR* d = ::opendir(temp.Path().c_str());
    std::set<std::string> names;
    while (dirent* e = ::readdir(d)) names.insert(e->d_name);
    ::closedir(d);
    EXPECT_EQ(names, (std::set<std::string>{".", "..", "out"}));
    EXPECT_EQ(testutil::Sha256File(imagePath), imageHash);
}

TEST(FileRecovererNtfs, EveryLiveFileOfNtfsBasic) {
    const std::vector<testutil::ManifestFile> files = LiveFiles("ntfs-basic.json");
    int compressed = 0, sparse = 0, fragmented = 0, resident = 0;
    for (const testutil::ManifestFile& f : files) {
        compressed += f.compressed;
        sparse += f.sparse;
        fragmented += f.fragmented;
        resident += f.resident;
    }
    // The volume holds every kind of NTFS file the writer handles.
    EXPECT_EQ(compressed, 3);
    EXPECT_GE(sparse, 1);
    EXPECT_GE(fragmented, 1);
    EXPECT_GE(resident, 1);
    RecoverVolume("ntfs-basic.img", "ntfs-basic.json", 512);
}

TEST(FileRecovererNtfs, EveryLiveFileOfA4kSectorVolume) { RecoverVolume("sector4k.img", "sector4k.json", 4096); }

// The nodes of a tree by their paths ("/Documents/a.txt").
std::map<std::string, CFileNode*> NodesByPath(const VolumeTree& tree) {
    std::map<std::string, CFileNode*> out;
    for (CFileNode* n : tree.nodes) {
        std::string path;
        for (CFileNode* p = n; p != nullptr && p != tree.root; p = p->GetParent()) {
            path = "/" + std::string(p->GetFileProperties()->GetName()) + path;
        }
        out[path] = n;
    }
    return out;
}

// Sets the initialized size of the unnamed non-resident $DATA of the file record at byte
// `offset` of the image file, undoing and redoing the record's update-sequence protection.
bool LowerInitializedSize(const std::string& image, u64 offset, u32 recordSize, u64 initialized) {
    std::vector<u8> r(recordSize);
    const int fd = ::open(image.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) return false;
    bool ok = ::pread(fd, r.data(), r.size(), off_t(offset)) == ssize_t(r.size()) && std::memcmp(r.data(), "FILE", 4) == 0;
    const u16 usa = ReadLE16(r.data() + 4);
    const u16 count = ReadLE16(r.data() + 6);
    ok = ok && count >= 2 && usa + 2u * count <= recordSize && (count - 1) * 512u <= recordSize;
    for (u16 i = 1; ok && i < count; ++i) {
        u8* end = r.data() + i * 512 - 2;
        ok = std::memcmp(end, r.data() + usa, 2) == 0;
        std::memcpy(end, r.data() + usa + 2 * i, 2);
    }
    bool patched = false;
    for (u32 at = ReadLE16(r.data() + 20); ok && at + 64 <= recordSize;) {
        const u8* a = r.data() + at;
        const u32 type = ReadLE32(a), length = ReadLE32(a + 4);
        if (type == 0xFFFFFFFF || length < 16 || length > recordSize - at) break;
        if (type == 0x80 && a[8] != 0 && a[9] == 0 && ReadLE64(a + 16) == 0) {
            WriteLE64(r.data() + at + 56, initialized);
            patched = true;
            break;
        }
        at += length;
    }
    const u16 usn = u16(ReadLE16(r.data() + usa) + 1);
    WriteLE16(r.data() + usa, usn);
    for (u16 i = 1; ok && i < count; ++i) {
        u8* end = r.data() + i * 512 - 2;
        std::memcpy(r.data() + usa + 2 * i, end, 2);
        WriteLE16(end, usn);
    }
    ok = ok && patched && ::pwrite(fd, r.data(), r.size(), off_t(offset)) == ssize_t(r.size());
    ::close(fd);
    return ok;
}

TEST(FileRecovererNtfs, DataPastTheInitializedSizeIsWrittenAsZeros) {
    testutil::TempDir temp;
    const std::string image = testutil::CopyFixture(temp, "ntfs-basic.img");
    const u32 recordSize = 1024;

    // A plain, a compressed and a sparse file of the volume, each given an initialized size
    // that ends inside a cluster.
    std::map<std::string, u64> lowered;
    {
        testutil::ImageDevice device(image, 512);
        std::unique_ptr<VolumeTree> tree = BuildTree(device);
        ASSERT_NE(tree->root, nullptr);
        const std::map<std::string, CFileNode*> nodes = NodesByPath(*tree);
        bool plain = false, compressed = false, sparse = false;
        for (const testutil::ManifestFile& f : LiveFiles("ntfs-basic.json")) {
            if (f.resident || f.size < 20000) continue;
            bool& taken = f.compressed ? compressed : f.sparse ? sparse : plain;
            if (taken) continue;
            auto it = nodes.find(f.path);
            ASSERT_NE(it, nodes.end()) << f.path;
            const auto* p = static_cast<const CNTFSFileProperties*>(it->second->GetFileProperties());
            const u64 initialized = f.size / 3 + 7;
            ASSERT_TRUE(LowerInitializedSize(image, p->GetRecordSector() * 512, recordSize, initialized)) << f.path;
            lowered[f.path] = initialized;
            taken = true;
        }
        ASSERT_TRUE(plain && compressed && sparse);
    }

    std::string made[2];
    for (int i = 0; i < 2; ++i) {
        testutil::ImageDevice device(i == 0 ? testutil::FixturePath("ntfs-basic.img") : image, 512);
        std::unique_ptr<VolumeTree> tree = BuildTree(device);
        ASSERT_NE(tree->root, nullptr);
        char out[520] = {};
        CFileRecoverer job;
        ASSERT_EQ(job.RecoverFolder(nullptr, &device, tree->root, temp.File(std::to_string(i)).c_str(), out, sizeof out),
                  kRecoverOk);
        EXPECT_EQ(job.GetCounts().failed + job.GetCounts().incomplete, 0u);
        made[i] = out;
    }
    int changed = 0;
    for (const auto& [path, initialized] : lowered) {
        SCOPED_TRACE(path);
        const std::vector<u8> whole = testutil::ReadFileBytes(made[0] + path);
        std::vector<u8> expected(whole.begin(), whole.begin() + long(initialized));
        expected.resize(whole.size(), 0);
        EXPECT_EQ(testutil::ReadFileBytes(made[1] + path), expected);
        changed += expected != whole;
    }
    EXPECT_GE(changed, 2);  // the stale bytes were not zeros already
}

}  // namespace
