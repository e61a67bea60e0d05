// A fixed run of the device-layer fuzzing roads, so every build keeps exercising them: damaged
// partition tables (made-up disks and the MBR and GPT fixtures) through the disk table, the
// dynamic-disk check, the table analysis and the volume collection; damaged compressed streams
// through each decompressor.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "TestUtil.h"
#include "bench/fuzz/devFuzzCompress.h"
#include "bench/fuzz/devFuzzDisks.h"

namespace {

class DisksVariableScope {
public:
    DisksVariableScope() {
        const char* old = std::getenv("MORVENDA_DISKS");
        hadOld_ = old != nullptr;
        if (old) old_ = old;
    }
    ~DisksVariableScope() {
        if (hadOld_) setenv("MORVENDA_DISKS", old_.c_str(), 1);
        else unsetenv("MORVENDA_DISKS");
    }

private:
    bool hadOld_ = false;
    std::string old_;
};

// The first `limit` bytes of a file (all of it by default), read in one piece.
std::vector<u8> ReadHead(const std::string& path, size_t limit = ~size_t(0)) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    const size_t size = std::min<size_t>(static_cast<size_t>(in.tellg()), limit);
    std::vector<u8> bytes(size);
    in.seekg(0);
    in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(size));
    return bytes;
}

void ExpectSound(const devfuzz::EnumerationOutcome& outcome, u64 seed) {
    for (const std::string& v : outcome.violations) ADD_FAILURE() << "seed " << seed << ": " << v;
}

TEST(DeviceFuzzSmoke, DamagedMadeUpDisksEnumerateSoundly) {
    DisksVariableScope scope;
    testutil::TempDir dir;
    // Boot sectors for the partitions to start with: a FAT16 and an NTFS one from the fixtures.
    std::vector<std::vector<u8>> boots;
    for (const char* name : {"fat16-basic.img", "ntfs-basic.img"}) {
        boots.push_back(ReadHead(testutil::FixturePath(name), 16 * 512));
    }
    size_t volumes = 0;
    size_t areas = 0;
    for (u64 seed = 1; seed <= 60; ++seed) {
        devfuzz::Rng rng(seed);
        std::vector<devfuzz::HotSector> hot;
        // One disk in four is large enough for unpartitioned areas.
        const u64 total = rng.OneIn(4) ? 0x32000 + rng.Below(0x40000) : 2048 + rng.Below(4096);
        std::vector<u8> image = devfuzz::MakeSyntheticDisk(rng, 512, total, boots, &hot);
        devfuzz::WorkDisk work(dir.File("synthetic.img"), std::move(image), 512, total);
        if (rng.OneIn(2)) devfuzz::DamageHotSectors(rng, work, hot, 512, 4);
        const devfuzz::EnumerationOutcome outcome = devfuzz::EnumerateDisks(work.Path());
        ExpectSound(outcome, seed);
        volumes += outcome.volumes;
        areas += outcome.areas;
    }
    EXPECT_GT(volumes, 0u);  // the made-up tables do list partitions
    EXPECT_GT(areas, 0u);
}

TEST(DeviceFuzzSmoke, DamagedFixtureTablesEnumerateSoundly) {
    DisksVariableScope scope;
    testutil::TempDir dir;
    // Without the file-system analysers (a higher library) each table entry is listed as it is.
    for (const auto& [name, partitions] : {std::pair<const char*, size_t>{"mbr-disk.img", 3},
                                           std::pair<const char*, size_t>{"gpt-disk.img", 2}}) {
        SCOPED_TRACE(name);
        std::vector<u8> bytes = ReadHead(testutil::FixturePath(name));
        const std::vector<devfuzz::HotSector> hot = devfuzz::FindHotSectors(bytes, 512);
        ASSERT_GT(hot.size(), 3u);
        devfuzz::WorkDisk work(dir.File(name), std::move(bytes), 512);
        const size_t intact = devfuzz::EnumerateDisks(work.Path()).volumes;
        EXPECT_EQ(intact, partitions);
        for (u64 seed = 1; seed <= 25; ++seed) {
            devfuzz::Rng rng(seed);
            devfuzz::DamageHotSectors(rng, work, hot, 512, 6);
            ExpectSound(devfuzz::EnumerateDisks(work.Path() + (rng.OneIn(8) ? "@4096" : "")), seed);
            work.Restore();
        }
    }
}

TEST(DeviceFuzzSmoke, DamagedCompressedStreamsDecompressWithinBounds) {
    std::vector<u8> plain(20000);
    devfuzz::Rng fill(7);
    for (size_t i = 0; i < plain.size(); ++i) plain[i] = static_cast<u8>(i % 251 < 120 ? i % 13 : fill.Next());
    for (u32 type : {kCompressionBzip2, kCompressionZlib, kCompressionLzma}) {
        SCOPED_TRACE(type);
        const std::vector<u8> packed = devfuzz::CompressAll(type, plain);
        ASSERT_FALSE(packed.empty());
        devfuzz::Rng rng(type);
        EXPECT_EQ(devfuzz::DecompressBounded(rng, type, packed, 1u << 20), plain.size());
        for (u64 seed = 1; seed <= 30; ++seed) {
            devfuzz::Rng r(seed * 31 + type);
            std::vector<u8> bytes = packed;
            devfuzz::MutateStream(r, bytes, 1 + static_cast<u32>(r.Below(6)));
            // Damage may change what comes out, never how much can: no more than was asked for.
            EXPECT_LE(devfuzz::DecompressBounded(r, type, bytes, 1u << 20), (1u << 20) + 8192u);
        }
    }
}

}  // namespace
