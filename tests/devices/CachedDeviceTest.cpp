// The read-ahead cache in front of a scanned device: blocks handed out in order, short last
// blocks, reads inside, across and before the current block, a start position, and blocks the
// device cannot give.
#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>
#include <thread>
#include <vector>

#include "TestUtil.h"
#include "devices/CachedStorageDevice.h"

namespace {

// Every sector holds its own number in each 4-byte word; reads are counted per thread.
class PatternDevice : public IStorageDevice {
public:
    PatternDevice(u32 sectorSize, u64 sectors) : m_size(sectorSize), m_total(sectors) {}
    u32 Read(void* buffer, u64 first, u64 count) override {
        {
            std::lock_guard<std::mutex> lk(m_lock);
            reads.emplace_back(std::this_thread::get_id(), first);
        }
        if (first >= m_total || count > m_total - first) return 0;
        if (first < failUntil && first + count > failFrom) return 0;
        u8* out = static_cast<u8*>(buffer);
        for (u64 s = 0; s < count; ++s) {
            for (u32 w = 0; w < m_size; w += 4) WriteLE32(out + s * m_size + w, static_cast<u32>(first + s));
        }
        return 1;
    }
    u64 GetTotalSectors() override { return m_total; }
    u32 GetSectorSize() override { return m_size; }
    u32 Open() override { return 1; }
    u32 Close() override { return 1; }

    size_t ReadsBy(std::thread::id id) {
        std::lock_guard<std::mutex> lk(m_lock);
        return size_t(std::count_if(reads.begin(), reads.end(), [&](const auto& r) { return r.first == id; }));
    }

    u64 failFrom = ~0ULL;
    u64 failUntil = 0;
    std::vector<std::pair<std::thread::id, u64>> reads;

private:
    std::mutex m_lock;
    u32 m_size;
    u64 m_total;
};

// Whether every sector of buffer holds the numbers first, first + 1, ...
bool HoldsSectors(const std::vector<u8>& buffer, u32 sectorSize, u64 first, u64 count) {
    for (u64 s = 0; s < count; ++s) {
        if (ReadLE32(buffer.data() + s * sectorSize) != static_cast<u32>(first + s)) return false;
        if (ReadLE32(buffer.data() + s * sectorSize + sectorSize - 4) != static_cast<u32>(first + s)) return false;
    }
    return true;
}

TEST(CachedDevice, HandsOutEveryBlockInOrderWithAShortLastBlock) {
    struct Case {
        u32 sectorSize;
        u64 sectors;
        u32 blockSectors;
    };
    for (const Case& t : {Case{512, 1000 * 13 + 7, 1000}, Case{4096, 64 * 3, 64}, Case{512, 100, 1000}}) {
        SCOPED_TRACE(t.sectors);
        PatternDevice inner(t.sectorSize, t.sectors);
        CStorageDeviceWithCache cache(&inner);
        EXPECT_EQ(cache.GetSectorSize(), t.sectorSize);
        EXPECT_EQ(cache.GetTotalSectors(), t.sectors);
        ASSERT_EQ(cache.SetCacheSize(t.blockSectors), 1u);
        cache.StartCacheThread();
        const u64 blocks = (t.sectors + t.blockSectors - 1) / t.blockSectors;
        std::vector<u8> buffer(size_t(t.blockSectors) * t.sectorSize);
        for (u64 b = 0; b < blocks; ++b) {
            ASSERT_EQ(cache.SetCurCacheBlock(static_cast<u32>(b)), 1u);
            const u64 first = b * t.blockSectors;
            const u64 n = std::min<u64>(t.blockSectors, t.sectors - first);
            ASSERT_EQ(cache.Read(buffer.data(), first, n), 1u);
            EXPECT_TRUE(HoldsSectors(buffer, t.sectorSize, first, n)) << "block " << b;
        }
        // Every block came from the read-ahead, none was read twice.
        EXPECT_EQ(cache.GetQueuedHits(), blocks);
        EXPECT_EQ(cache.GetDirectLoads(), 0u);
        EXPECT_EQ(inner.ReadsBy(std::this_thread::get_id()), 0u);
        // A block at or past the end is refused and the current block stays.
        EXPECT_EQ(cache.SetCurCacheBlock(static_cast<u32>(blocks)), 0u);
        EXPECT_EQ(cache.GetCurrentBlock(), blocks - 1);
        cache.StopCacheThread();
    }
}

TEST(CachedDevice, ReadsOutsideTheCurrentBlockGoToTheDevice) {
    PatternDevice inner(512, 5000);
    CStorageDeviceWithCache cache(&inner);
    ASSERT_EQ(cache.SetCacheSize(1000), 1u);
    std::vector<u8> buffer(3000 * 512);
    const auto me = std::this_thread::get_id();

    // Before any block: straight to the device.
    ASSERT_EQ(cache.Read(buffer.data(), 4990, 10), 1u);
    EXPECT_TRUE(HoldsSectors(buffer, 512, 4990, 10));
    EXPECT_EQ(inner.ReadsBy(me), 1u);

    cache.StartCacheThread();
    ASSERT_EQ(cache.SetCurCacheBlock(0), 1u);
    ASSERT_EQ(cache.SetCurCacheBlock(1), 1u);
    const size_t before = inner.ReadsBy(me);
    // Inside the block: from memory.
    ASSERT_EQ(cache.Read(buffer.data(), 1100, 900), 1u);
    EXPECT_TRUE(HoldsSectors(buffer, 512, 1100, 900));
    EXPECT_EQ(inner.ReadsBy(me), before);
    // Into the next block: the tail from the device.
    ASSERT_EQ(cache.Read(buffer.data(), 1990, 20), 1u);
    EXPECT_TRUE(HoldsSectors(buffer, 512, 1990, 20));
    EXPECT_EQ(inner.ReadsBy(me), before + 1);
    // Starting before it: the head from the device, then the block, then the tail.
    ASSERT_EQ(cache.Read(buffer.data(), 990, 1020), 1u);
    EXPECT_TRUE(HoldsSectors(buffer, 512, 990, 1020));
    // Past the device's end: refused.
    EXPECT_EQ(cache.Read(buffer.data(), 4999, 2), 0u);
    cache.StopCacheThread();
}

TEST(CachedDevice, SectorsTheDeviceCannotGiveAreZerosReportedUnreadAndTheRestOfTheirBlockIsKept) {
    PatternDevice inner(512, 4000);
    inner.failFrom = 2400;
    inner.failUntil = 3000;  // block 2 from its sector 400 on
    CStorageDeviceWithCache cache(&inner);
    ASSERT_EQ(cache.SetCacheSize(1000), 1u);
    cache.StartCacheThread();
    std::vector<u8> buffer(1000 * 512, 0xAB);
    for (u32 b = 0; b < 3; ++b) ASSERT_EQ(cache.SetCurCacheBlock(b), 1u) << b;
    ASSERT_EQ(cache.Read(buffer.data(), 2000, 1000), 1u);
    EXPECT_TRUE(HoldsSectors(buffer, 512, 2000, 400));
    EXPECT_TRUE(std::all_of(buffer.begin() + 400 * 512, buffer.end(), [](u8 v) { return v == 0; }));
    EXPECT_FALSE(cache.HasUnreadSectors(2000, 400));
    EXPECT_TRUE(cache.HasUnreadSectors(2399, 2));
    EXPECT_TRUE(cache.HasUnreadSectors(2999, 1));
    ASSERT_EQ(cache.SetCurCacheBlock(3), 1u);
    ASSERT_EQ(cache.Read(buffer.data(), 3000, 1000), 1u);
    EXPECT_TRUE(HoldsSectors(buffer, 512, 3000, 1000));
    EXPECT_FALSE(cache.HasUnreadSectors(2000, 2000));
    cache.StopCacheThread();
}

TEST(CachedDevice, ReadAheadBeginsAtTheConfiguredPosition) {
    testutil::TempDir tmp;
    const std::string ini = tmp.File("config.ini");
    const std::string text = "[main]\npos=2048\n";
    ASSERT_TRUE(testutil::WriteFileBytes(ini, std::vector<u8>(text.begin(), text.end())));
    CStorageDeviceWithCache::SetStartPositionFile(ini);
    PatternDevice inner(512, 6000);
    CStorageDeviceWithCache cache(&inner);
    EXPECT_EQ(cache.ReadStartPosition(), 2048u);
    ASSERT_EQ(cache.SetCacheSize(1000), 1u);
    cache.StartCacheThread();
    std::vector<u8> buffer(1000 * 512);
    // Blocks before the start position are read directly; the rest come from the read-ahead,
    // which begins on the block boundary below the position.
    for (u32 b = 0; b < 6; ++b) {
        ASSERT_EQ(cache.SetCurCacheBlock(b), 1u);
        ASSERT_EQ(cache.Read(buffer.data(), b * 1000ull, 1000), 1u);
        EXPECT_TRUE(HoldsSectors(buffer, 512, b * 1000ull, 1000)) << b;
    }
    EXPECT_EQ(cache.GetDirectLoads(), 2u);
    EXPECT_EQ(cache.GetQueuedHits(), 4u);
    cache.StopCacheThread();
    CStorageDeviceWithCache::SetStartPositionFile("");
    EXPECT_EQ(cache.ReadStartPosition(), 0u);
}

TEST(CachedDevice, WithoutAnInnerDeviceNothingIsRead) {
    CStorageDeviceWithCache cache(nullptr);
    u8 sector[512];
    EXPECT_EQ(cache.Open(), 0u);
    EXPECT_EQ(cache.GetSectorSize(), 512u);
    EXPECT_EQ(cache.GetTotalSectors(), 0u);
    EXPECT_EQ(cache.Read(sector, 0, 1), 0u);
    EXPECT_EQ(cache.SetCurCacheBlock(0), 0u);
    cache.StartCacheThread();
    cache.StopCacheThread();
}

}  // namespace
