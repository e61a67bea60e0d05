// The end-marker search of RealMedia files with a video stream: one scan of the device serves
// every sighting, and each sighting still gets the size the sector-by-sector walk from its own
// start gives (checked against that walk, written here as the format's rule states it, on disks
// with markers inside sectors, across sector starts, in sectors that do not end in zeros, near
// the device's end and nowhere), while the device's sectors are read about once in all. A file
// walked alone, outside any scan, gets the same size.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "ImageDevice.h"
#include "devices/ScanOptions.h"
#include "engine/RawFileInfo.h"
#include "raw/FileMediaContainerAnalysers.h"
#include "raw/ReadWindow.h"
#include "raw/RawScanState.h"
#include "raw/RealMediaIndexScan.h"

namespace {

constexpr u32 kSector = 512;
constexpr u64 kBoundFactor = 20;
using Marker = CRmIndexMarkerScan;
// The last index chunk of a clip: "INDX", 20 bytes long, version 0, no entries, stream number 2,
// no further index.
constexpr u8 kIndexEnd[] = {'I', 'N', 'D', 'X', 0x00, 0x00, 0x00, 0x14, 0x00, 0x00,
                            0x00, 0x00, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x00};
static_assert(sizeof(kIndexEnd) == Marker::kMarkerBytes);

// A RealMedia header whose media properties name a video stream.
std::vector<u8> VideoHeader() {
    std::vector<u8> h(kSector, 0x11);
    std::memcpy(h.data(), ".RMF", 4);
    std::memcpy(h.data() + 40, "MDPR", 4);
    std::memcpy(h.data() + 80, "Video Stream", 12);
    return h;
}

// The walk as the format's rule gives it: sector by sector from the file's start, in windows of
// 128 sectors (129 read, zeros past the device's end), a window that starts at the end reads
// nothing.
u64 ReferenceSize(const std::vector<u8>& disk, u64 start, u32& result) {
    const u64 total = disk.size() / kSector;
    const u64 bound = GetScanOptions().GetSizeUnit() * kBoundFactor;
    auto byteAt = [&](u64 offset) -> u8 { return offset < disk.size() ? disk[offset] : 0; };
    auto readable = [&](u64 p) { return start + (p / kSector) / kReadWindowSectors * kReadWindowSectors < total; };
    u64 p = 0;
    bool failed = false;
    while (p <= bound) {
        if (!readable(p)) {
            failed = true;
            break;
        }
        std::vector<u8> sector(kSector);
        for (u32 i = 0; i < kSector; ++i) sector[i] = byteAt(start * kSector + p + i);
        if (ReadLE32(sector.data() + kSector - 4) != 0) {
            p += kSector;
            continue;
        }
        if (const u8* m = FindBytes(sector.data(), kSector, kIndexEnd, Marker::kMarkerBytes)) {
            p += u64(m - sector.data()) + Marker::kMarkerBytes;
            break;
        }
        const u64 from = p > Marker::kLookBack ? p - Marker::kLookBack : p;
        std::vector<u8> around(Marker::kAroundBytes);
        for (u32 i = 0; i < Marker::kAroundBytes; ++i) around[i] = byteAt(start * kSector + from + i);
        if (FindBytes(around.data(), Marker::kAroundBytes, kIndexEnd, Marker::kMarkerBytes)) {
            p += kSector;
            break;
        }
        p += kSector;
    }
    if (failed && p > 0) p -= kSector;
    result = p == 0 ? 0 : 1;
    return p;
}

struct Disk {
    std::vector<u8> bytes;
    std::vector<u64> sightings;
};

// A disk of `sectors` sectors: stale bytes, sectors that end in zeros, video headers and
// markers of both kinds, some in sectors whose last word is not zero.
Disk RandomDisk(std::mt19937& rng, u64 sectors) {
    Disk d;
    d.bytes.resize(sectors * kSector);
    for (u8& b : d.bytes) b = u8(rng() % 7 == 0 ? 'I' : rng());
    auto pick = [&](u64 n) { return u64(rng() % n); };
    for (u64 s = 0; s < sectors; ++s) {
        if (pick(3) == 0) std::memset(d.bytes.data() + s * kSector + kSector - 4, 0, 4);
    }
    const u64 markers = pick(6);
    for (u64 i = 0; i < markers; ++i) {
        const u64 at = pick(sectors * kSector - Marker::kMarkerBytes);
        std::memcpy(d.bytes.data() + at, kIndexEnd, Marker::kMarkerBytes);
        // Mostly in (or across the start of) a sector that ends in zeros.
        const u64 sector = std::min<u64>((at + Marker::kMarkerBytes - 1) / kSector, sectors - 1);
        if (pick(4) != 0) std::memset(d.bytes.data() + sector * kSector + kSector - 4, 0, 4);
    }
    const u64 sightings = 1 + pick(5);
    for (u64 i = 0; i < sightings; ++i) d.sightings.push_back(pick(sectors));
    std::sort(d.sightings.begin(), d.sightings.end());
    d.sightings.erase(std::unique(d.sightings.begin(), d.sightings.end()), d.sightings.end());
    for (u64 s : d.sightings) {
        const std::vector<u8> h = VideoHeader();
        std::copy(h.begin(), h.begin() + 100, d.bytes.begin() + long(s * kSector));
    }
    return d;
}

TEST(RealMediaIndexScan, EverySightingGetsTheSizeOfItsOwnWalk) {
    std::mt19937 rng(37);
    for (int trial = 0; trial < 300; ++trial) {
        SCOPED_TRACE(trial);
        const u64 sectors = 2 + rng() % 700;
        const Disk d = RandomDisk(rng, sectors);
        testutil::MemoryDevice device(d.bytes, kSector);
        FileRM_RMVBAnalyser rm;
        const auto scan = std::make_shared<CRawScanState>();
        for (u64 s : d.sightings) {
            SCOPED_TRACE(s);
            CRawFileInfo record;
            record.startSector = s;
            record.scan = scan;
            ASSERT_EQ(rm.CheckFileHeader(d.bytes.data() + s * kSector, kSector, record), 1u);
            ASSERT_EQ(record.fileType, FileRM_RMVBAnalyser::kTypeVariable);
            const u32 result = rm.AnalyseFileSize(record, &device);
            u32 expectedResult = 0;
            const u64 expected = ReferenceSize(d.bytes, s, expectedResult);
            EXPECT_EQ(result, expectedResult);
            // Outside a scan the file is walked alone, to the same end.
            CRawFileInfo alone;
            alone.startSector = s;
            EXPECT_EQ(rm.AnalyseFileSize(alone, &device), expectedResult);
            if (expectedResult != 0) {
                EXPECT_EQ(record.size, expected);
                EXPECT_EQ(alone.size, expected);
            }
        }
    }
}

// Markers placed where the walks' edge cases lie: across a sector's start, across the device's
// end, at the start of a 128-sector window, in the file's own first sector (with nothing before
// it) and in a sector whose last word is not zero.
TEST(RealMediaIndexScan, MarkersAtTheEdgesOfSectorsWindowsAndTheDevice) {
    struct Case {
        const char* what;
        u64 sectors;
        u64 start;
        i64 markerAt;       // byte offset on the disk; -1: none
        bool zeroLastWord;  // of the sector the marker ends in
    };
    const Case cases[] = {
        {"inside a later sector", 400, 10, 60 * kSector + 100, true},
        {"across a sector's start", 400, 10, 61 * kSector - 10, true},
        {"across the start of the file's window 1", 400, 10, (10 + 128) * kSector - 8, true},
        {"in a sector that does not end in zeros", 400, 10, 60 * kSector + 100, false},
        {"in the file's first sector", 400, 10, 10 * kSector + 200, true},
        {"across the file's first sector's start", 400, 10, 10 * kSector - 8, true},
        {"across the device's end", 301, 10, 301 * kSector - 16, false},
        {"nowhere, the device ends inside a window", 301, 10, -1, true},
        {"nowhere, the device ends on a window edge", 266, 10, -1, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<u8> disk(c.sectors * kSector, 0x5A);
        if (c.markerAt >= 0) {
            // Past the device's end the walk reads zeros, which is what the marker ends in.
            const size_t kept = std::min<size_t>(Marker::kMarkerBytes, disk.size() - size_t(c.markerAt));
            std::memcpy(disk.data() + c.markerAt, kIndexEnd, kept);
            const u64 endSector = (u64(c.markerAt) + Marker::kMarkerBytes - 1) / kSector;
            if (c.zeroLastWord) std::memset(disk.data() + endSector * kSector + kSector - 4, 0, 4);
        }
        const std::vector<u8> h = VideoHeader();
        std::copy(h.begin(), h.begin() + 100, disk.begin() + long(c.start * kSector));
        testutil::MemoryDevice device(disk, kSector);
        u32 expectedResult = 0;
        const u64 expected = ReferenceSize(disk, c.start, expectedResult);
        // Through the scan the sightings share, and walked alone as outside a scan.
        for (const bool shared : {true, false}) {
            SCOPED_TRACE(shared ? "shared scan" : "own walk");
            FileRM_RMVBAnalyser rm;
            CRawFileInfo record;
            record.startSector = c.start;
            if (shared) record.scan = std::make_shared<CRawScanState>();
            rm.CheckFileHeader(disk.data() + c.start * kSector, kSector, record);
            EXPECT_EQ(rm.AnalyseFileSize(record, &device), expectedResult);
            EXPECT_EQ(record.size, expected);
        }
    }
}

// Many false sightings ahead of one file: the device is read about once, not once per sighting
// (each sighting reads its own first window, the shared scan the rest once).
TEST(RealMediaIndexScan, ManySightingsReadTheDeviceAboutOnce) {
    constexpr u64 kSectors = 4096;
    constexpr u64 kSightings = 200;
    std::vector<u8> disk(kSectors * kSector, 0x3C);
    const u64 markerSector = kSectors - 50;
    std::memcpy(disk.data() + markerSector * kSector + 64, kIndexEnd, Marker::kMarkerBytes);
    std::memset(disk.data() + markerSector * kSector + kSector - 4, 0, 4);
    const std::vector<u8> h = VideoHeader();
    for (u64 i = 0; i < kSightings; ++i) {
        std::copy(h.begin(), h.begin() + 100, disk.begin() + long((i * 7 + 3) * kSector));
    }
    testutil::MemoryDevice device(disk, kSector);
    FileRM_RMVBAnalyser rm;
    const auto scan = std::make_shared<CRawScanState>();
    for (u64 i = 0; i < kSightings; ++i) {
        CRawFileInfo record;
        record.startSector = i * 7 + 3;
        record.scan = scan;
        rm.CheckFileHeader(disk.data() + record.startSector * kSector, kSector, record);
        ASSERT_EQ(rm.AnalyseFileSize(record, &device), 1u);
        EXPECT_EQ(record.size, (markerSector - record.startSector) * kSector + 64 + Marker::kMarkerBytes);
    }
    const u64 windows = kSectors / kReadWindowSectors + 1;
    EXPECT_LE(device.reads, windows + 2 * kSightings);
}

}  // namespace
