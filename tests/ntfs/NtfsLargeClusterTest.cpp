// NTFS clusters above 64 KiB (128 KiB to 2 MiB): the boot sector's negative power-of-two
// sectors per cluster, and volumes made here by mkntfs and written through ntfs-3g, recognised,
// scanned and read back.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "NtfsTestSupport.h"
#include "QuickSearchTestSupport.h"
#include "TestUtil.h"
#include "ToolImage.h"
#include "devices/VolumeAnalyzerSet.h"
#include "engine/FsServices.h"
#include "engine/RSData.h"
#include "fs/ntfs/NTFSDBR.h"
#include "fs/ntfs/NTFSLogFile.h"
#include "fs/ntfs/NTFSVolume.h"
#include "platform/Log.h"

using testutil::RecordedNode;

namespace {
std::vector<u8> BootSector(u8 sectorsPerClusterByte, u16 bytesPerSector) {
    std::vector<u8> b(512, 0);
    std::memcpy(b.data() + 3, "NTFS    ", 8);
    WriteLE16(b.data() + 11, bytesPerSector);
    b[13] = sectorsPerClusterByte;
    WriteLE64(b.data() + 40, 1u << 20);
    WriteLE64(b.data() + 48, 4);
    b[64] = 0xF6;
    b[510] = 0x55;
    b[511] = 0xAA;
    return b;
}

TEST(NtfsLargeClusters, SectorsPerClusterByteAndTheLargestCluster) {
    struct Case {
        u8 byte;
        u16 bytesPerSector;
        u32 sectorsPerCluster;  // 0: the boot sector is refused
    };
    const Case cases[] = {
        {8, 512, 8},       {128, 512, 128},     {3, 512, 0},        {0, 512, 0},
        {0xF8, 512, 256},  {0xF5, 512, 2048},   {0xF4, 512, 4096},  {0xFF, 512, 2},
        {0xF3, 512, 0},    {0x81, 512, 0},      {0xF4, 1024, 0},    {0xF7, 4096, 512},
        {0xF6, 4096, 0},   {128, 16384, 128},   {128, 32768, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "byte " << int(c.byte) << ", " << c.bytesPerSector << "-byte sectors");
        const std::vector<u8> sector = BootSector(c.byte, c.bytesPerSector);
        EXPECT_EQ(IsValidNTFSDBR(sector.data()), c.sectorsPerCluster != 0);
        CNTFSDBR dbr;
        if (c.sectorsPerCluster == 0) continue;
        ASSERT_TRUE(dbr.SetDBRData(sector.data()));
        EXPECT_EQ(dbr.GetSectorsPerCluster(), c.sectorsPerCluster);
        EXPECT_EQ(dbr.GetFileRecordSize(), 1024u);
    }
    for (u32 sectors = 1; sectors <= 4096; sectors <<= 1) {
        EXPECT_EQ(DecodeNtfsSectorsPerCluster(EncodeNtfsSectorsPerCluster(sectors)), sectors);
    }
    EXPECT_EQ(EncodeNtfsSectorsPerCluster(3), 0);
    EXPECT_EQ(EncodeNtfsSectorsPerCluster(8192), 0);
}

// A saved $MFT location keeps its one byte of sectors per cluster: clusters above 128 sectors
// are written in the boot sector's encoding, and the byte of an older save still reads.
TEST(NtfsLargeClusters, SavedMftLocationKeepsLargeClusters) {
    testutil::TempDir dir;
    const std::string path = dir.File("location.bin");
    for (u32 sectorsPerCluster : {8u, 256u, 4096u}) {
        SCOPED_TRACE(sectorsPerCluster);
        NTFSMFTLocation location;
        location.SetSectorsPerCluster(sectorsPerCluster);
        location.GetRuns().push_back(NTFSRun{4, 0, 1});
        const MGUID section{7, 7, 7, {1, 2, 3, 4, 5, 6, 7, 8}};
        {
            CRSDataEx out(1);
            ASSERT_TRUE(out.Open(path.c_str(), 1));
            ASSERT_TRUE(out.WriteHeader(MakeScanResultHeader(1)));
            out.BeginSection(section);
            location.Save(&out);
            out.EndSection();
            out.Close();
        }
        CRSDataEx in(0);
        ASSERT_TRUE(in.Open(path.c_str(), 0));
        in.BeginSection(section);
        NTFSMFTLocation loaded;
        loaded.Load(&in);
        EXPECT_EQ(loaded.GetSectorsPerCluster(), sectorsPerCluster);
        EXPECT_TRUE(RunListsEqual(loaded.GetRuns(), location.GetRuns()));
    }
}

// The journal places a record by its cluster and the 512-byte block inside it; a cluster above
// 4 KiB holds a record every kilobyte, up to its end.
TEST(NtfsLargeClusters, JournalTargetsRecordsInsideLargeClusters) {
    struct Case {
        u64 vcn;
        u16 block;
        u32 sectorsPerCluster;
        u32 sectorSize;
        u64 record;
    };
    const u64 none = ~u64(0);
    const Case cases[] = {
        {5, 4, 8, 512, 22},            {40, 0, 2, 512, 40},         // 4 KiB and smaller, as they were
        {1, 4, 256, 512, 130},         {0, 10, 256, 512, 5},        // 128 KiB: 128 records a cluster
        {2, 254, 256, 512, 383},       {1, 3, 256, 512, none},      // an odd block starts no record
        {0, 256, 256, 512, none},      {3, 0, 4096, 512, 6144},     // past the cluster; 2 MiB
        {1, 4, 32, 4096, 130},         {1, 4, 16, 512, 10},         // 4096-byte sectors; 8 KiB
    };
    for (const Case& c : cases) {
        EXPECT_EQ(CNTFSLogFileParser::TargetRecordNumber(c.vcn, c.block, c.sectorsPerCluster, c.sectorSize), c.record)
            << c.vcn << " / " << c.block << " / " << c.sectorsPerCluster << " x " << c.sectorSize;
    }
}

std::vector<u8> Content(size_t size, u32 seed) {
    std::vector<u8> out(size);
    u32 x = seed * 2654435761u + 7;
    for (u8& b : out) {
        x = x * 1664525u + 1013904223u;
        b = u8(x >> 24);
    }
    return out;
}

bool WriteFile(const std::string& path, const std::vector<u8>& data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data.data()), std::streamsize(data.size()));
    out.close();
    return bool(out);
}

// A file's bytes through the runs the scan recorded, holes as zeros.
bool ReadRecordedRuns(IStorageDevice& device, const RecordedNode& node, u32 sectorsPerCluster, std::vector<u8>& out) {
    const u32 sectorSize = device.GetSectorSize();
    const u64 clusterBytes = u64(sectorsPerCluster) * sectorSize;
    std::vector<u8> cluster(clusterBytes);
    out.clear();
    for (const DataRunExtent& e : node.runs) {
        for (u64 k = 0; k < e.length && out.size() < node.size; ++k) {
            if (e.start < 0) {
                std::fill(cluster.begin(), cluster.end(), 0);
            } else if (!device.Read(cluster.data(), (u64(e.start) + k) * sectorsPerCluster, sectorsPerCluster)) {
                return false;
            }
            out.insert(out.end(), cluster.begin(), cluster.end());
        }
    }
    if (out.size() < node.size) return false;
    out.resize(node.size);
    return true;
}

class NtfsLargeClusterVolume : public ::testing::TestWithParam<u32> {
protected:
    void SetUp() override { SetLoggingEnabled(false); }
    void TearDown() override { SetLoggingEnabled(true); }
};

// mkntfs makes the volume with the cluster size given; ntfs-3g writes files of one cluster, of
// several, a resident one and one that is then deleted. The analyser and the boot-sector
// classifier recognise the volume with its size, and the deleted-file scan walks the $MFT and
// reads every non-resident file back through its runs.
TEST_P(NtfsLargeClusterVolume, IsRecognisedScannedAndReadBack) {
    const u32 clusterBytes = GetParam();
    const std::string missing = testutil::MissingTools({"mkntfs", "ntfs-3g", "umount"});
    if (!missing.empty()) GTEST_SKIP() << "needs the packages ntfs-3g and mount (umount); missing: " << missing;
    testutil::TempDir dir;
    const std::string image = dir.File("ntfs.img");
    const std::string mountPoint = dir.File("mnt");
    std::filesystem::create_directories(mountPoint);
    const u64 imageBytes = std::max<u64>(64ull << 20, u64(clusterBytes) * 96);
    ASSERT_TRUE(testutil::RunQuiet("truncate -s " + std::to_string(imageBytes) + " " + image));
    ASSERT_TRUE(testutil::RunQuiet("mkntfs -F -Q -q -c " + std::to_string(clusterBytes) + " " + image))
        << "mkntfs refused clusters of " << clusterBytes << " bytes";

    struct File {
        const char* name;
        size_t size;
        bool deleted;
        std::vector<u8> data;
    };
    std::vector<File> files = {
        {"one-cluster.bin", clusterBytes - 100, false, {}},
        {"three-clusters.bin", 2 * size_t(clusterBytes) + 4321, false, {}},
        {"resident.txt", 300, false, {}},
        {"deleted.bin", size_t(clusterBytes) + 777, true, {}},
    };
    {
        testutil::FuseMount mount({"ntfs-3g", "-o", "no_detach", image, mountPoint}, mountPoint);
        ASSERT_TRUE(mount.IsMounted()) << "ntfs-3g could not mount " << image;
        u32 seed = 1;
        for (File& f : files) {
            f.data = Content(f.size, seed++);
            ASSERT_TRUE(WriteFile(mountPoint + "/" + f.name, f.data)) << f.name;
        }
        for (const File& f : files) {
            if (f.deleted) std::filesystem::remove(mountPoint + "/" + f.name);
        }
        ASSERT_TRUE(mount.Unmount()) << "ntfs-3g did not end cleanly";
    }

    testutil::ImageDevice device(image, 512);
    ASSERT_TRUE(device.IsOpen());
    const u32 sectorsPerCluster = clusterBytes / 512;
    std::vector<u8> boot(512);
    ASSERT_TRUE(device.Read(boot.data(), 0, 1));
    CNTFSDBR dbr;
    ASSERT_TRUE(dbr.SetDBRData(boot.data()));
    EXPECT_EQ(dbr.GetSectorsPerCluster(), sectorsPerCluster);

    std::unique_ptr<IVolume> analyser(CreateNTFSVolumeAnalyzer(&device, 0));
    ASSERT_NE(analyser, nullptr);
    EXPECT_EQ(analyser->GetFileSystemType(), 3u);
    EXPECT_EQ(analyser->GetTotalSectors(), dbr.GetTotalSectors());
    EXPECT_GE(analyser->GetTotalSectors(), imageBytes / 512 - sectorsPerCluster);
    EXPECT_EQ(ClassifyNTFSBootSector(boot.data(), 512), 3u);

    std::unique_ptr<quicktest::QuickRun> run = quicktest::RunQuickSearch(&device);
    ASSERT_EQ(run->result, 0u);
    const testutil::RecordingBuilder& b = run->builder;
    ASSERT_EQ(b.roots.size(), 1u);
    EXPECT_EQ(b.roots[0].sectorsPerCluster, sectorsPerCluster);
    for (const File& f : files) {
        SCOPED_TRACE(f.name);
        const RecordedNode* node = nullptr;
        for (const RecordedNode& n : b.nodes) {
            if (n.name == f.name && n.IsDeleted() == f.deleted) node = &n;
        }
        ASSERT_NE(node, nullptr);
        EXPECT_EQ(node->size, f.size);
        if (node->resident) continue;
        std::vector<u8> data;
        ASSERT_TRUE(ReadRecordedRuns(device, *node, sectorsPerCluster, data));
        EXPECT_EQ(testutil::Sha256Hex(data.data(), data.size()), testutil::Sha256Hex(f.data.data(), f.data.size()));
    }
}

INSTANTIATE_TEST_SUITE_P(ClusterSizes, NtfsLargeClusterVolume, ::testing::Values(131072u, 2097152u),
                         [](const auto& info) { return std::to_string(info.param / 1024) + "KiB"; });
}  // namespace
