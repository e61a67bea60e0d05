// The NTFS volume analyser on the fixture volumes, on unreadable geometry, and through the
// volume enumeration's registration.
#include <gtest/gtest.h>

#include <cstring>

#include "QuickSearchTestSupport.h"
#include "TestUtil.h"
#include "devices/PartitionTable.h"
#include "devices/VolumeAnalyzerSet.h"
#include "fs/ntfs/NTFSVolume.h"
#include "fs/ntfs/NtfsFactories.h"

using namespace quicktest;

namespace {

std::string Label(IVolume& v) {
    char label[101] = {};
    v.GetVolumeLabel(label, 100);
    return label;
}

u64 BootSectorTotal(testutil::ImageDevice& device, u64 first) {
    std::vector<u8> sector(device.GetSectorSize());
    if (device.Read(sector.data(), first, 1) == 0) return 0;
    return ReadLE64(sector.data() + 40);
}

TEST(NtfsVolumeAnalyzer, RecognisesTheFixtureVolumes) {
    struct Case {
        const char* image;
        u32 sectorSize;
        u64 first;
        u32 code;
        const char* label;
    };
    for (const Case& c : {Case{"ntfs-basic.img", 512, 0, 3, "Fixtures NTFS"}, Case{"sector4k.img", 4096, 0, 3, "NTFS 4K"},
                          Case{"mbr-disk.img", 512, 77824, 3, "Logical NTFS"}, Case{"gpt-disk.img", 512, 2048, 3, "GPT NTFS"},
                          Case{"mbr-disk.img", 512, 2048, 9, ""}, Case{"gpt-disk.img", 512, 43008, 9, ""}}) {
        SCOPED_TRACE(std::string(c.image) + " @" + std::to_string(c.first));
        testutil::ImageDevice device(testutil::FixturePath(c.image), c.sectorSize);
        ASSERT_TRUE(device.IsOpen());
        CNtfsVolumeAnalyze volume(&device, c.first);
        EXPECT_EQ(volume.GetFileSystemType(), c.code);
        EXPECT_EQ(Label(volume), c.label);
        EXPECT_EQ(volume.GetTotalSectors(), c.code == 3 ? BootSectorTotal(device, c.first) : 0u);
        if (c.code == 3) {
            EXPECT_GT(volume.GetTotalSectors(), 0u);
        }
    }
}

TEST(NtfsVolumeAnalyzer, LabelCopyIsBoundedBySize) {
    testutil::ImageDevice device(testutil::FixturePath("ntfs-basic.img"), 512);
    CNtfsVolumeAnalyze volume(&device, 0);
    char out[16];
    std::memset(out, 'Z', sizeof(out));
    volume.GetVolumeLabel(out, 5);
    EXPECT_EQ(std::string(out, 5), "Fixtu");
    EXPECT_EQ(out[5], 'Z');
}

std::vector<u8> BootSector(u16 bytesPerSector, u8 recordSizeCode) {
    std::vector<u8> s(512, 0);
    std::memcpy(s.data() + 3, "NTFS    ", 8);
    WriteLE16(s.data() + 11, bytesPerSector);
    s[13] = 8;
    WriteLE64(s.data() + 40, 100000);
    WriteLE64(s.data() + 48, 4);
    WriteLE64(s.data() + 56, 2);
    s[64] = recordSizeCode;
    s[510] = 0x55;
    s[511] = 0xAA;
    return s;
}

TEST(NtfsVolumeAnalyzer, UnreadableRecordSizesAreRefused) {
    // 2^40-byte records, 127-cluster records, 512-byte records, and records smaller than the
    // device's 8 KiB sectors (whose whole sector is read into a buffer of its own size).
    struct Case {
        u32 sectorSize;
        u8 code;
    };
    for (const Case& c : {Case{512, u8(-40)}, Case{512, 0x7F}, Case{512, u8(-9)}, Case{8192, u8(-12)}}) {
        SCOPED_TRACE(int(c.code));
        MemoryDevice device(c.sectorSize, 64);
        device.Put(0, BootSector(u16(c.sectorSize), c.code));
        CNtfsVolumeAnalyze volume(&device, 0);
        EXPECT_EQ(volume.GetFileSystemType(), 9u);
        EXPECT_EQ(volume.GetTotalSectors(), 0u);
        EXPECT_EQ(ClassifyNTFSBootSector(device.data.data(), c.sectorSize), 9u);
    }
    MemoryDevice sound(512, 64);
    sound.Put(0, BootSector(512, u8(-10)));
    CNtfsVolumeAnalyze volume(&sound, 0);
    EXPECT_EQ(volume.GetFileSystemType(), 3u);
    EXPECT_EQ(volume.GetTotalSectors(), 100000u);
    EXPECT_EQ(Label(volume), "");  // record 3 cannot be read: no label, still NTFS
}

TEST(NtfsVolumeAnalyzer, PlugsIntoTheVolumeEnumeration) {
    RegisterNtfsPlugin();
    testutil::ImageDevice device(testutil::FixturePath("mbr-disk.img"), 512);
    {
        VolumeAnalyzerSet set(&device, 77824);
        IVolume* recognised = set.GetRecognized();
        ASSERT_NE(recognised, nullptr);
        EXPECT_EQ(recognised->GetFileSystemType(), 3u);
        EXPECT_EQ(Label(*recognised), "Logical NTFS");
    }
    std::vector<u8> boot(512);
    ASSERT_EQ(device.Read(boot.data(), 77824, 1), 1u);
    EXPECT_EQ(BootSectorFileSystemCode(boot.data(), 512), 3u);
    RegisterVolumeAnalyzer(VolumeAnalyzerSlot::kNtfs, nullptr);
    RegisterBootSectorClassifier(VolumeAnalyzerSlot::kNtfs, nullptr);
}

}  // namespace
