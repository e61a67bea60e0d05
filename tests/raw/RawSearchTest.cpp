// The RAW search's machinery: the ring of scanned blocks, the controller's per-sector matching
// and its sizing of pending files through the ring, and the read window the analysers walk with.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "ImageDevice.h"
#include "RawTestBytes.h"
#include "devices/BufferStorageDevice.h"
#include "devices/ScanOptions.h"
#include "engine/Progress.h"
#include "engine/RawFileInfo.h"
#include "engine/RawFileInfoPool.h"
#include "raw/AnalyserRegistry.h"
#include "raw/AnalyserTables.h"
#include "raw/FileJPGAnalyser.h"
#include "raw/FileTextDrawingAnalysers.h"
#include "raw/RAWSearchController.h"
#include "raw/ReadWindow.h"

namespace {

using testutil::MemoryDevice;

constexpr u32 kSector = 512;
constexpr u32 kBlockSectors = 8;

// Sector s holds the bytes of its number, so any read shows where it came from.
std::unique_ptr<MemoryDevice> NumberedDevice(u64 sectors) {
    auto d = std::make_unique<MemoryDevice>(kSector, sectors);
    for (u64 s = 0; s < sectors; ++s) std::memcpy(d->data.data() + s * kSector, &s, sizeof(s));
    return d;
}

u64 SectorNumberAt(const std::vector<u8>& buffer, u64 index) {
    u64 s;
    std::memcpy(&s, buffer.data() + index * kSector, sizeof(s));
    return s;
}

TEST(SectorRing, FillsServesReadsInsideTheWindowInOrderAndPassesTheRestToTheDevice) {
    auto device = NumberedDevice(400);
    CBufferStorageDevice ring;
    std::vector<u8> buffer(kSector * 40);
    EXPECT_EQ(ring.Read(buffer.data(), 0, 1), 0u) << "before Init";
    ASSERT_TRUE(ring.Init(device.get(), 0, kSector, kBlockSectors, 20));
    for (u32 b = 0; b < 25; ++b) {
        EXPECT_EQ(ring.IsFull(), b >= 20 ? 1u : 0u) << b;
        ASSERT_EQ(device->Read(buffer.data(), u64(b) * kBlockSectors, kBlockSectors), 1u);
        ring.AppendBlock(buffer.data());
        // While it fills, the ring serves what it holds from the start.
        if (b == 3) {
            const u64 before = device->reads;
            ASSERT_EQ(ring.Read(buffer.data(), 5, 20), 1u);
            EXPECT_EQ(device->reads, before);
            for (u64 i = 0; i < 20; ++i) EXPECT_EQ(SectorNumberAt(buffer, i), 5 + i);
        }
    }
    // Five blocks dropped out: the window is sectors 40 to 199, its oldest sectors at the head.
    EXPECT_EQ(ring.GetWindowFirst(), 40u);
    EXPECT_EQ(ring.GetHeldSectors(), 160u);
    EXPECT_EQ(ring.GetTotalSectors(), 400u);
    struct Case {
        u64 first, count;
        bool fromRing;
        bool inOnePiece;  // lies in the ring one sector after another, so a reader may look in place
    };
    const Case cases[] = {
        {40, 1, true, true},     // oldest
        {199, 1, true, true},    // newest
        {150, 30, true, false},  // crosses the ring's physical end (position 160 of 160)
        {80, 40, true, true},
        {190, 20, false, false},  // begins inside, ends beyond: the device reads it whole
        {30, 15, false, false},   // begins before the window
        {250, 5, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.first);
        const u64 before = device->reads;
        ASSERT_EQ(ring.Read(buffer.data(), c.first, c.count), 1u);
        EXPECT_EQ(device->reads - before, c.fromRing ? 0u : 1u);
        for (u64 i = 0; i < c.count; ++i) EXPECT_EQ(SectorNumberAt(buffer, i), c.first + i);
        const u8* inPlace = ring.Peek(c.first, c.count);
        ASSERT_EQ(inPlace != nullptr, c.inOnePiece);
        if (inPlace) {
            EXPECT_EQ(std::memcmp(inPlace, buffer.data(), c.count * kSector), 0);
        }
    }
    EXPECT_EQ(ring.Peek(40, 0), nullptr);
    CBufferStorageDevice zeroSized;
    EXPECT_FALSE(zeroSized.Init(nullptr, 0, 0, 0, 20));
    EXPECT_EQ(zeroSized.GetSectorSize(), 512u);
    EXPECT_EQ(ring.Close(), 1u);
    EXPECT_EQ(ring.Read(buffer.data(), 100, 1), 0u);
}

// A device whose one block cannot be read.
class BadBlockDevice : public MemoryDevice {
public:
    using MemoryDevice::MemoryDevice;
    u32 Read(void* buffer, u64 first, u64 count) override {
        if (first == badFirst && count == kBlockSectors) return 0;
        return MemoryDevice::Read(buffer, first, count);
    }
    u64 badFirst = ~0ULL;
};

// Says no to every header after spoiling the record it was handed.
class SpoilingAnalyser : public IRawFileAnalyser {
public:
    u32 CheckFileHeader(const u8*, u32, CRawFileInfo& record) override {
        record.size = 4321;
        record.fileType = 99;
        record.SetNameText("spoilt");
        return 0;
    }
};

CRawFileAnalyserRegistry& TestRegistry() {
    static CRawFileAnalyserRegistry registry([](RawAnalyserClass cls) -> IRawFileAnalyser* {
        if (cls == RawAnalyserClass::JPG) return new FileJPGAnalyser();
        if (cls == RawAnalyserClass::PNG) return new SpoilingAnalyser();
        return nullptr;
    });
    return registry;
}

class CountingProgress : public IProgress {
public:
    i32 OnProgress(const ProgressInfo*) override { return 1; }
    u32 Continued() override { return ++asked > stopAfter ? 0 : 1; }
    u32 GetState() override { return kProgressRunning; }
    u64 asked = 0;
    u64 stopAfter = ~0ULL;
};

class RawSearch : public ::testing::Test {
protected:
    void Start(u64 sectors) {
        device = std::make_unique<BadBlockDevice>(kSector, sectors);
        search = std::make_unique<CRAWSearchController>(TestRegistry());
    }
    void Begin() {
        search->SetDevice(device.get());
        search->SetBlockSectorCount(kBlockSectors);
        search->BeginSearch();
        search->SetFoundFilePool(&pool);
    }
    void Scan(u64 firstBlock, u64 lastBlock) {
        for (u64 b = firstBlock; b <= lastBlock; ++b) search->SearchBlock(b * kBlockSectors, kBlockSectors);
    }
    const CRawFileInfo* At(u64 sector) const {
        for (const auto& r : pool.GetRecords()) {
            if (r->startSector == sector) return r.get();
        }
        return nullptr;
    }
    void TearDown() override { GetScanOptions().SetStopRequested(0); }

    std::unique_ptr<BadBlockDevice> device;
    std::unique_ptr<CRAWSearchController> search;
    CRawFileInfoPool pool;
};

TEST_F(RawSearch, PendingFilesAreSizedThroughTheRingOnceItIsFullAndTheRingKeepsItsPlaceOverABadBlock) {
    const std::vector<u8> early = rawtest::MakeJpeg(rawtest::Jfif(), 0xE0, 3000);
    const std::vector<u8> late = rawtest::MakeJpeg(rawtest::Jfif(), 0xE0, 1500);
    Start(30 * kBlockSectors);
    device->Put(3 * kSector, early);
    device->Put(26 * kBlockSectors * kSector, late);
    // Block 5 cannot be read: the ring must still count it, or sector 3 would be looked for at
    // the wrong place once the window moves.
    device->badFirst = 5 * kBlockSectors;
    Begin();
    Scan(0, 19);
    ASSERT_NE(At(3), nullptr);
    EXPECT_EQ(At(3)->size, 0u);
    EXPECT_EQ(search->GetPendingCount(), 1u);
    EXPECT_EQ(search->GetRing().IsFull(), 1u);

    // The 21st block sizes the waiting file from memory: the only device read is the block's own.
    device->readStarts.clear();
    Scan(20, 20);
    EXPECT_EQ(search->GetPendingCount(), 0u);
    EXPECT_EQ(At(3)->size, early.size());
    EXPECT_EQ(At(3)->fileType, FileJPGAnalyser::kTypeJpeg);
    EXPECT_EQ(device->readStarts, std::vector<u64>{20 * kBlockSectors});

    // Found once the ring is full: sized at the device's last block at the latest.
    // Near the device's end: the window reads what is left of it.
    Scan(21, 29);
    ASSERT_NE(At(26 * kBlockSectors), nullptr);
    EXPECT_EQ(At(26 * kBlockSectors)->size, late.size());
    EXPECT_EQ(search->GetRing().GetWindowFirst(), 10u * kBlockSectors);
    search->EndSearch();
    EXPECT_EQ(pool.GetCount(), 2u);
}

TEST_F(RawSearch, FewerThan21BlocksLeaveFilesUnsizedAndAFailedCheckLeavesNothingInTheNextRecord) {
    const std::vector<u8> jpeg = rawtest::MakeJpeg(rawtest::Jfif(), 0xE0, 700);
    Start(4 * kBlockSectors);
    device->Put(1 * kSector, {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A});
    device->Put(2 * kSector, jpeg);
    // Zero first four bytes are never matched, whatever follows.
    device->Put(10 * kSector + 4, jpeg);
    Begin();
    Scan(0, 3);
    search->EndSearch();
    ASSERT_EQ(pool.GetCount(), 1u);
    const CRawFileInfo* r = At(2);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->size, 0u);
    EXPECT_EQ(r->fileType, FileJPGAnalyser::kTypeJpeg);
    EXPECT_EQ(r->nameText, "");
    EXPECT_EQ(r->analyserTypeId, FileJPGAnalyser::kTypeJpeg);
    EXPECT_NE(r->analyser, nullptr);
}

TEST_F(RawSearch, TheScansProgressAndStopFlagEndTheSectorLoop) {
    const std::vector<u8> jpeg = rawtest::MakeJpeg(rawtest::Jfif(), 0xE0, 100);
    Start(2 * kBlockSectors);
    device->Put(1 * kSector, jpeg);
    device->Put(6 * kSector, jpeg);
    CountingProgress progress;
    progress.stopAfter = 0;  // stopped before the block's first sector
    search->SetGlobalParameter(&progress);
    Begin();
    Scan(0, 0);
    EXPECT_EQ(pool.GetCount(), 0u);
    EXPECT_EQ(RawContinueCheck(), 0u);
    search->EndSearch();
    EXPECT_EQ(RawContinueCheck(), 1u) << "the search's end lets go of the scan's progress";

    CRawFileInfoPool other;
    auto second = std::make_unique<CRAWSearchController>(TestRegistry());
    second->SetDevice(device.get());
    second->SetBlockSectorCount(kBlockSectors);
    second->BeginSearch();
    second->SetFoundFilePool(&other);
    GetScanOptions().SetStopRequested(1);
    second->SearchBlock(0, kBlockSectors);
    EXPECT_EQ(other.GetCount(), 0u);
}

TEST_F(RawSearch, AFileWaitsUntilTheBlocksAfterItAreInTheRingAndTheLastBlockSizesEveryFile) {
    // Blocks of 16 sectors: the lag of 16 blocks then holds more than a read window.
    constexpr u32 kBig = 16;
    const std::vector<u8> jpeg = rawtest::MakeJpeg(rawtest::Jfif(), 0xE0, 1500);
    const u64 waiting = 22 * kBig + 1;
    const u64 inLastBlock = 59 * kBig + 3;
    Start(60 * kBig);
    device->Put(waiting * kSector, jpeg);
    device->Put(inLastBlock * kSector, jpeg);
    search->SetDevice(device.get());
    search->SetBlockSectorCount(kBig);
    search->BeginSearch();
    search->SetFoundFilePool(&pool);
    auto scan = [&](u64 first, u64 last) {
        for (u64 b = first; b <= last; ++b) search->SearchBlock(b * kBig, kBig);
    };
    const u64 sizedAt = 22 + CRAWSearchController::kSizingLagBlocks;
    scan(0, sizedAt - 1);
    ASSERT_NE(At(waiting), nullptr);
    EXPECT_EQ(At(waiting)->size, 0u) << "the blocks after it are not all scanned yet";
    device->readStarts.clear();
    scan(sizedAt, sizedAt);
    EXPECT_EQ(At(waiting)->size, jpeg.size());
    EXPECT_EQ(device->readStarts, std::vector<u64>{sizedAt * kBig}) << "the walk read the ring in place";
    scan(sizedAt + 1, 59);
    ASSERT_NE(At(inLastBlock), nullptr);
    EXPECT_EQ(At(inLastBlock)->size, jpeg.size());
    EXPECT_EQ(search->GetPendingCount(), 0u);
    search->EndSearch();
}

// An SVG file whose opening tag lies `tagAt` bytes into it: the header check looks for it past
// the file's first sector, as far as the bytes that follow on the device go, wherever in a block
// the file starts.
std::vector<u8> SvgWithTagAt(size_t tagAt) {
    std::string text = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!-- ";
    text += std::string(tagAt - text.size() - 5, 'x') + " -->\n";
    text += "<svg xmlns=\"http://www.w3.org/2000/svg\"><rect width=\"5\" height=\"5\"/></svg>\n";
    return std::vector<u8>(text.begin(), text.end());
}

TEST(RawSearchLookAhead, AHeaderCheckSeesPastTheBlocksEndButNotPastTheDevicesEnd) {
    constexpr u32 kBlock = 16;
    constexpr u64 kBlocks = 4;
    static CRawFileAnalyserRegistry svgOnly([](RawAnalyserClass cls) -> IRawFileAnalyser* {
        return cls == RawAnalyserClass::SVG ? new FileSVGAnalyser() : nullptr;
    });
    struct Case {
        const char* what;
        u32 sectorSize;
        u64 start;  // sector
        size_t tagAt;
        bool found;
    };
    const Case cases[] = {
        {"two sectors before the block's end", 512, kBlock - 2, 1501, true},
        {"in the last sector, the tag at the look-ahead's end", 512, kBlock - 1, 2043, true},
        {"in the last sector, the tag past the look-ahead", 512, kBlock - 1, 2044, false},
        {"in a middle block's last sectors", 512, 3 * kBlock - 2, 1501, true},
        {"in the device's last sector, the tag inside it", 512, kBlocks * kBlock - 1, 100, true},
        {"in the device's last sector, the tag past its end", 512, kBlocks * kBlock - 1, 1501, false},
        {"large sectors, the block's last", 4096, kBlock - 1, 1501, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        MemoryDevice device(c.sectorSize, kBlocks * kBlock);
        const std::vector<u8> svg = SvgWithTagAt(c.tagAt);
        const u64 room = device.data.size() - c.start * c.sectorSize;
        device.Put(c.start * c.sectorSize, std::vector<u8>(svg.begin(), svg.begin() + long(std::min<u64>(room, svg.size()))));
        CRawFileInfoPool pool;
        CRAWSearchController search(svgOnly);
        search.SetDevice(&device);
        search.SetBlockSectorCount(kBlock);
        search.BeginSearch();
        search.SetFoundFilePool(&pool);
        for (u64 b = 0; b < kBlocks; ++b) search.SearchBlock(b * kBlock, kBlock);
        search.EndSearch();
        ASSERT_EQ(pool.GetCount(), c.found ? 1u : 0u);
        if (c.found) {
            EXPECT_EQ(pool.GetRecords()[0]->startSector, c.start);
            EXPECT_EQ(pool.GetRecords()[0]->fileType, FileSVGAnalyser::kType);
        }
    }
}

TEST(ReadWindowTest, OverTheRingAWindowPointsIntoItAndReadsOnlyWhatItDoesNotHold) {
    auto device = NumberedDevice(400);
    CBufferStorageDevice ring;
    ASSERT_TRUE(ring.Init(device.get(), 0, kSector, kBlockSectors, 20));
    std::vector<u8> block(kBlockSectors * kSector);
    for (u64 b = 0; b < 20; ++b) {
        ASSERT_EQ(device->Read(block.data(), b * kBlockSectors, kBlockSectors), 1u);
        ring.AppendBlock(block.data());
    }
    const u64 reads = device->reads;
    ReadWindow w;
    ReadWindowOpen(w, &ring, 10);
    u32 available = 0;
    const u8* p = ReadWindowGetBytes(w, 3 * kSector, &available);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p, ring.Peek(10, kReadWindowBufferSectors) + 3 * kSector);
    EXPECT_EQ(available, (kReadWindowBufferSectors - 3) * kSector);
    EXPECT_EQ(device->reads, reads);
    // Sectors 138 to 266: the ring ends at 159, so the window is read from the device.
    p = ReadWindowGetBytes(w, 128 * kSector);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(device->reads, reads + 1);
    u64 s;
    std::memcpy(&s, p + 30 * kSector, sizeof(s));
    EXPECT_EQ(s, 168u);
    // Back in the ring, after the shared buffer was used.
    p = ReadWindowGetBytes(w, 0);
    ASSERT_NE(p, nullptr);
    std::memcpy(&s, p, sizeof(s));
    EXPECT_EQ(s, 10u);
    EXPECT_EQ(device->reads, reads + 1);
}

TEST(ReadWindowTest, WindowsOverlapByASectorFallBackAtTheDeviceEndAndRefuseLargeSectors) {
    auto device = NumberedDevice(300);
    ReadWindow w;
    ReadWindowOpen(w, device.get(), 10);
    u32 available = 0;
    const u8* p = ReadWindowGetBytes(w, 0, &available);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(available, kReadWindowBufferSectors * kSector);
    EXPECT_EQ(device->readStarts.back(), 10u);
    const u64 reads = device->reads;
    // The last sector of the window and the one past it read from one pointer, without a read.
    p = ReadWindowGetBytes(w, 127 * kSector + 100, &available);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(device->reads, reads);
    EXPECT_EQ(available, 2 * kSector - 100);
    u64 s;
    std::memcpy(&s, p + kSector - 100, sizeof(s));
    EXPECT_EQ(s, 10u + 128);
    // The next window starts 128 sectors on.
    p = ReadWindowGetBytes(w, 128 * kSector);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(device->readStarts.back(), 138u);

    // 300 - 172 = exactly 128 sectors left: they are read, the 129th reads as zeros.
    ReadWindowOpen(w, device.get(), 172);
    p = ReadWindowGetBytes(w, 0);
    ASSERT_NE(p, nullptr);
    std::memcpy(&s, p + 127 * kSector, sizeof(s));
    EXPECT_EQ(s, 299u);
    std::memcpy(&s, p + 128 * kSector, sizeof(s));
    EXPECT_EQ(s, 0u);
    ReadWindowOpen(w, device.get(), 250);
    p = ReadWindowGetBytes(w, 49 * kSector);
    ASSERT_NE(p, nullptr);
    std::memcpy(&s, p, sizeof(s));
    EXPECT_EQ(s, 299u);
    EXPECT_EQ(ReadWindowGetBytes(w, 128 * kSector), nullptr) << "wholly past the device's end";

    MemoryDevice large(8192, 40);
    ReadWindowOpen(w, &large, 0);
    EXPECT_EQ(ReadWindowGetBytes(w, 0), nullptr) << "sectors larger than the shared buffer allows";
}

}  // namespace
