// Views over a disk (512-byte sectors, partition windows), dynamic-disk detection and the disk
// description.
#include <sys/stat.h>

#include <cerrno>
#include <fstream>
#include <memory>

#include "DiskDeviceTestSupport.h"
#include "devices/DiskDevice.h"
#include "devices/PartitionDevice.h"
#include "devices/SimulateDevice.h"

using namespace disktest;

namespace {

class DiskViewTest : public DiskTableTest {};

TEST_F(DiskViewTest, FourKSectorDiskHasA512ByteView) {
    const std::string path = testutil::FixturePath("sector4k.img");
    const std::vector<u8> file = ReadWholeFile(path);
    UseDisks(path + "@4096");
    CDiskDevice disk(0);
    ASSERT_TRUE(disk.IsOpen());
    ASSERT_EQ(disk.GetSectorSize(), 4096u);
    ASSERT_EQ(disk.GetTotalSectors(), file.size() / 4096);

    IStorageDevice* view = disk.Get512ByteSectorDevice();
    ASSERT_NE(view, nullptr);
    EXPECT_NE(view, &disk);
    EXPECT_EQ(view, disk.Get512ByteSectorDevice());  // made once
    EXPECT_EQ(view->GetInnerDevice(), &disk);
    EXPECT_EQ(view->GetSectorSize(), 512u);
    EXPECT_EQ(view->GetTotalSectors(), disk.GetTotalSectors() * 8);
    EXPECT_EQ(view->Get512ByteSectorDevice(), view);

    std::vector<u8> buf(512);
    ASSERT_EQ(view->Read(buf.data(), 9, 1), 1u);
    EXPECT_EQ(0, std::memcmp(buf.data(), file.data() + 4096 + 512, 512));
    // A run that crosses inner sectors, read again from the held sector.
    std::vector<u8> run(512 * 20);
    ASSERT_EQ(view->Read(run.data(), 5, 20), 1u);
    EXPECT_EQ(0, std::memcmp(run.data(), file.data() + 5 * 512, run.size()));
    // Past the end the inner read fails and so does the view's.
    GetScanOptions().SetSkipBadSectors(0);
    EXPECT_EQ(view->Read(buf.data(), view->GetTotalSectors(), 1), 0u);
}

TEST_F(DiskViewTest, ViewOfA512ByteDiskIsTheDiskItself) {
    UseDisks(testutil::FixturePath("fat12-small.img"));
    CDiskDevice disk(0);
    EXPECT_EQ(disk.Get512ByteSectorDevice(), &disk);
}

TEST_F(DiskViewTest, ViewOfADiskWithoutSectorSizeHasNoSectors) {
    UseDisks("/nonexistent/none.img");
    CDiskDevice disk(0);
    ASSERT_FALSE(disk.IsOpen());
    IStorageDevice* view = disk.Get512ByteSectorDevice();
    ASSERT_NE(view, nullptr);
    EXPECT_EQ(view->GetTotalSectors(), 0u);
    u8 buf[512];
    EXPECT_EQ(view->Read(buf, 9, 1), 0u);

    CSimulateStorageDevice orphan(nullptr);
    EXPECT_EQ(orphan.GetTotalSectors(), 0u);
    EXPECT_EQ(orphan.Read(buf, 0, 1), 0u);
}

TEST_F(DiskViewTest, PartitionWindowClipsAndZeroFills) {
    testutil::TempDir dir;
    const std::string path = MakePatternImage(dir, "disk.img", 512 * 200);
    UseDisks(path);
    CDiskDevice disk(0);
    CBasicPartitionDevice part(&disk, 100, 50);
    EXPECT_EQ(part.GetStartSector(), 100u);
    EXPECT_EQ(part.GetTotalSectors(), 50u);
    EXPECT_EQ(part.GetSectorSize(), 512u);
    EXPECT_EQ(part.Open(), 1u);

    std::vector<u8> buf(512 * 10, 0xCC);
    ASSERT_EQ(part.Read(buf.data(), 0, 10), 1u);
    EXPECT_TRUE(MatchesPattern(buf.data(), 100 * 512, buf.size()));
    // Crossing the end: the parent's data up to it, zeros after.
    std::fill(buf.begin(), buf.end(), 0xCC);
    ASSERT_EQ(part.Read(buf.data(), 45, 10), 1u);
    EXPECT_TRUE(MatchesPattern(buf.data(), 145 * 512, 5 * 512));
    EXPECT_TRUE(AllZero(buf.data() + 5 * 512, 5 * 512));
    // Starting at or after the end, a negative start, or more sectors than the window: refused.
    EXPECT_EQ(part.Read(buf.data(), 50, 1), 0u);
    EXPECT_EQ(part.Read(buf.data(), u64(-1), 1), 0u);
    std::vector<u8> big(512 * 51);
    EXPECT_EQ(part.Read(big.data(), 0, 51), 0u);

    CBasicPartitionDevice orphan(nullptr, 0, 10);
    EXPECT_EQ(orphan.GetSectorSize(), 512u);
    EXPECT_EQ(orphan.Read(buf.data(), 0, 1), 0u);
}

// --- Dynamic-disk detection over images built here ---

struct ImageBuilder {
    std::vector<u8> bytes;
    explicit ImageBuilder(u64 sectors) : bytes(sectors * 512, 0) {}
    void Entry(u64 tableSector, int index, u8 type, u32 start) {
        u8* e = bytes.data() + tableSector * 512 + 446 + 16 * index;
        e[4] = type;
        WriteLE32(e + 8, start);
        bytes[tableSector * 512 + 510] = 0x55;
        bytes[tableSector * 512 + 511] = 0xAA;
    }
    void GptName(int index, const char16_t* name) {
        u8* e = bytes.data() + 2 * 512 + 128 * (index % 4) + (index >= 4 ? 512 : 0);
        for (int i = 0; name[i]; ++i) WriteLE16(e + 56 + 2 * i, static_cast<u16>(name[i]));
    }
    bool IsDynamic(const testutil::TempDir& dir, const std::string& name) const {
        const std::string path = dir.File(name);
        testutil::WriteFileBytes(path, bytes);
        ::setenv("MORVENDA_DISKS", path.c_str(), 1);
        CDiskDevice disk(0);
        return disk.IsOpen() && disk.IsDynamicDisk();
    }
};

TEST_F(DiskViewTest, DynamicDiskFromAnMbrEntryAnywhereInTheExtendedChain) {
    testutil::TempDir dir;
    ImageBuilder plain(4096);
    plain.Entry(0, 0, 0x07, 63);
    plain.Entry(0, 1, 0x0F, 1000);
    plain.Entry(1000, 0, 0x07, 63);
    plain.Entry(1000, 1, 0x05, 500);  // next EBR at 1000 + 500
    plain.Entry(1500, 0, 0x07, 63);
    EXPECT_FALSE(plain.IsDynamic(dir, "plain.img"));

    ImageBuilder deep = plain;
    deep.Entry(1500, 1, 0x42, 100);
    EXPECT_TRUE(deep.IsDynamic(dir, "deep.img"));

    ImageBuilder first(4096);
    first.Entry(0, 3, 0x42, 63);
    EXPECT_TRUE(first.IsDynamic(dir, "first.img"));

    // Chains that point back at an earlier table, or at themselves, end.
    ImageBuilder loop = plain;
    loop.Entry(1500, 1, 0x05, 0);  // back to the first EBR
    EXPECT_FALSE(loop.IsDynamic(dir, "loop.img"));
    ImageBuilder self(4096);
    self.Entry(0, 0, 0x85, 0);
    EXPECT_FALSE(self.IsDynamic(dir, "self.img"));
    // A chain off the end of the disk ends too.
    ImageBuilder off(4096);
    off.Entry(0, 0, 0x0F, 0xFFFFFFF0u);
    EXPECT_FALSE(off.IsDynamic(dir, "off.img"));

    // Fewer than 7 sectors: never dynamic.
    ImageBuilder tiny(6);
    tiny.Entry(0, 0, 0x42, 1);
    EXPECT_FALSE(tiny.IsDynamic(dir, "tiny.img"));
}

TEST_F(DiskViewTest, DynamicGptDiskNeedsBothLdmPartitionsAmongTheFirstFour) {
    testutil::TempDir dir;
    ImageBuilder both(4096);
    both.Entry(0, 0, 0xEE, 1);
    both.GptName(0, u"Microsoft reserved partition");
    both.GptName(1, u"LDM metadata partition");
    both.GptName(3, u"LDM data partition");
    EXPECT_TRUE(both.IsDynamic(dir, "both.img"));
    // Sector 6 holds nothing the detection looks at: a bad sector there hides no LDM partition.
    GetScanOptions().SetSkipBadSectors(0);
    AddDiskReadFault({0, 6 * 512, 7 * 512, EIO, -1});
    EXPECT_TRUE(both.IsDynamic(dir, "both-bad6.img"));
    ClearDiskReadFaults();

    ImageBuilder metadataOnly(4096);
    metadataOnly.Entry(0, 0, 0xEE, 1);
    metadataOnly.GptName(1, u"LDM metadata partition");
    EXPECT_FALSE(metadataOnly.IsDynamic(dir, "meta.img"));

    ImageBuilder fifth(4096);
    fifth.Entry(0, 0, 0xEE, 1);
    fifth.GptName(0, u"LDM metadata partition");
    fifth.GptName(4, u"LDM data partition");
    EXPECT_FALSE(fifth.IsDynamic(dir, "fifth.img"));

    // Without the protective entry the names do not count.
    ImageBuilder unprotected = both;
    unprotected.Entry(0, 0, 0x07, 1);
    EXPECT_FALSE(unprotected.IsDynamic(dir, "unprotected.img"));
}

// --- Description ---

TEST_F(DiskViewTest, ImageDescriptionIsAFixedRecord) {
    const std::string path = testutil::FixturePath("gpt-disk.img");
    UseDisks(path);
    CDiskDevice disk(0);
    DiskDescription d;
    std::memset(&d, 0x5A, sizeof(d));
    ASSERT_TRUE(disk.GetDiskDescription(&d));
    EXPECT_EQ(d.busType, 0u);
    EXPECT_STREQ(d.vendor, "Morvenda");
    EXPECT_STREQ(d.product, "Disk image");
    EXPECT_STREQ(d.revision, "");
    EXPECT_STREQ(d.serialNumber, "gpt-disk.img");
    EXPECT_STREQ(d.busName, "");
    // Unused bytes of the stored record are zero.
    EXPECT_EQ(d.vendor[kDiskTextSize - 1], 0);

    UseDisks("/nonexistent/none.img");
    CDiskDevice missing(0);
    EXPECT_FALSE(missing.GetDiskDescription(&d));
}

std::vector<u8> Descriptor(u32 size, u32 bus) {
    std::vector<u8> d(size, 0);
    WriteLE32(d.data(), 40);
    WriteLE32(d.data() + 4, size);
    WriteLE32(d.data() + 28, bus);
    return d;
}

void PutText(std::vector<u8>& d, u32 field, u32 offset, const std::string& text) {
    std::memcpy(d.data() + offset, text.c_str(), text.size() + 1);
    WriteLE32(d.data() + field, offset);
}

TEST(DiskDescriptionTest, DescriptorTextsAreTidiedAndBounded) {
    std::vector<u8> d = Descriptor(200, 7);
    PutText(d, 12, 40, "  WDC  ");
    PutText(d, 16, 60, "My Passport 25E2    ");
    PutText(d, 20, 90, "4005");
    PutText(d, 24, 100, "   WX11A   ");
    DiskDescription out;
    ParseStorageDescriptor(d.data(), static_cast<u32>(d.size()), &out);
    EXPECT_EQ(out.busType, 7u);
    EXPECT_STREQ(out.busName, "USB Device");
    EXPECT_STREQ(out.vendor, "WDC ");
    EXPECT_STREQ(out.product, "My Passport 25E2 ");
    EXPECT_STREQ(out.revision, "4005");
    EXPECT_STREQ(out.serialNumber, "WX11A ");

    // Offsets past the returned bytes are ignored; 0xFFFFFFFF means no serial; a text that runs
    // to the end of the buffer is cut there.
    std::vector<u8> bad = Descriptor(64, 3);
    WriteLE32(bad.data() + 12, 5000);
    WriteLE32(bad.data() + 16, 0xFFFFFF00u);
    WriteLE32(bad.data() + 24, 0xFFFFFFFFu);
    std::memset(bad.data() + 50, 'A', 14);
    WriteLE32(bad.data() + 20, 50);
    ParseStorageDescriptor(bad.data(), static_cast<u32>(bad.size()), &out);
    EXPECT_STREQ(out.busName, "ATA Bus");
    EXPECT_STREQ(out.vendor, "");
    EXPECT_STREQ(out.product, "");
    EXPECT_STREQ(out.serialNumber, "");
    EXPECT_STREQ(out.revision, "AAAAAAAAAAAAAA");

    // Texts longer than the field are cut to 259 characters.
    std::vector<u8> longText = Descriptor(1000, 99);
    PutText(longText, 16, 40, std::string(600, 'x'));
    ParseStorageDescriptor(longText.data(), 1000, &out);
    EXPECT_EQ(std::strlen(out.product), 259u);
    EXPECT_STREQ(out.busName, "");

    // Too short to hold the header: an empty record.
    ParseStorageDescriptor(d.data(), 20, &out);
    EXPECT_EQ(out.busType, 0u);
    EXPECT_STREQ(out.product, "");
}

TEST_F(DiskViewTest, BlockDeviceOfTheSystemTable) {
    ::unsetenv("MORVENDA_DISKS");
    const std::vector<DiskTableEntry> table = GetDiskTable();
    for (const DiskTableEntry& e : table) {
        EXPECT_FALSE(e.isImage);
        EXPECT_NE(e.sysName.rfind("ram", 0), 0u);
        EXPECT_NE(e.sysName.rfind("zram", 0), 0u);
    }
    // The first disk of the table that this process may open.
    std::unique_ptr<CDiskDevice> opened;
    size_t index = 0;
    for (; index < table.size() && index <= 19; ++index) {
        opened = std::make_unique<CDiskDevice>(static_cast<i32>(index));
        if (opened->IsOpen()) break;
    }
    if (!opened || !opened->IsOpen()) GTEST_SKIP() << "no block device can be opened here";
    CDiskDevice& disk = *opened;

    const std::string sys = "/sys/block/" + table[index].sysName;
    std::ifstream logical(sys + "/queue/logical_block_size");
    std::ifstream size(sys + "/size");
    u64 sectorSize = 0, size512 = 0;
    ASSERT_TRUE(logical >> sectorSize);
    ASSERT_TRUE(size >> size512);
    EXPECT_EQ(disk.GetSectorSize(), sectorSize);
    EXPECT_EQ(disk.GetTotalSectors(), size512 * 512 / sectorSize);
    std::vector<u8> buf(disk.GetSectorSize());
    EXPECT_EQ(disk.Read(buf.data(), 0, 1), 1u);

    DiskDescription d;
    ASSERT_TRUE(disk.GetDiskDescription(&d));
    EXPECT_STREQ(d.busName, BusTypeName(d.busType));
    EXPECT_TRUE(d.busType == 0 || d.busType == 1 || d.busType == 3 || d.busType == 7);

    u8* layout = nullptr;
    ASSERT_TRUE(disk.QueryWithGrowingBuffer(&layout, kIoctlDiskGetDriveLayoutEx));
    EXPECT_LE(ReadLE32(layout + 4), 128u);
    delete[] layout;
}

}  // namespace
