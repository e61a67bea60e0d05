// Recovers the live files of the NTFS fixtures through the writer, from nodes made of their own
// MFT records, and compares every file with the manifest.
#include <gtest/gtest.h>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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
        CNTFSFileProperties* p = MakeNTFSFileProperties(sector, record, bytesPerCluster, &parent, volumeClusters);
        if (p == nullptr) {
            delete extensions;
            continue;
        }
        p->SetExtensionRecords(extensions);
        live[n] = {p, parent};
    }

    tree->root = CreateFileSystemNode();
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
        CFileNode* node = CreateFileNode();
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

}  // namespace
