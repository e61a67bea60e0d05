// Dynamic volumes: the five layouts mapped over member devices (stripes, rotating parity and its
// rebuild, mirror fall-back), the LDM records joined, parsed and linked from damaged areas, and a
// written disk group (MBR and GPT disks) read back through the enumeration's dynamic volumes.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "DiskDeviceTestSupport.h"
#include "LdmGroup.h"
#include "TestUtil.h"
#include "devices/DiskDevice.h"
#include "devices/DynamicVolumeDevice.h"
#include "devices/LdmDatabase.h"
#include "devices/VolumeEnumerator.h"

namespace {

bool Touches(const std::set<u64>& sectors, u64 first, u64 count) {
    return sectors.lower_bound(first) != sectors.lower_bound(first + count);
}

// Sectors filled with (device tag, sector number); reads of sectors listed in `bad` fail, and a
// read that touches a sector listed in `unread` comes back wholly as zeros, as a disk answers a
// request that meets its bad area.
class PatternDevice : public IStorageDevice {
public:
    PatternDevice(u8 tag, u64 total, u32 sectorSize = 512) : m_tag(tag), m_total(total), m_size(sectorSize) {}
    u32 Read(void* buffer, u64 first, u64 count) override {
        u8* out = static_cast<u8*>(buffer);
        for (u64 i = 0; i < count; ++i) {
            if (first + i >= m_total || bad.count(first + i)) return 0;
            Fill(out + i * m_size, first + i);
        }
        if (Touches(unread, first, count)) std::memset(buffer, 0, count * m_size);
        return 1;
    }
    u64 GetTotalSectors() override { return m_total; }
    u32 GetSectorSize() override { return m_size; }
    u32 Open() override { return 1; }
    u32 Close() override { return 1; }
    void Fill(u8* sector, u64 n) const {
        for (u32 k = 0; k < m_size; k += 8) {
            WriteLE64(sector + k, (u64(m_tag) << 56) | n);
        }
    }
    bool HasUnreadSectors(u64 first, u64 count) override {
        return IStorageDevice::HasUnreadSectors(first, count) || Touches(unread, first, count);
    }
    std::set<u64> bad;
    std::set<u64> unread;  // read as zeros, as a disk gives its bad areas

private:
    u8 m_tag;
    u64 m_total;
    u32 m_size;
};

// Sectors held in memory, with the same damage as PatternDevice's.
class BytesDevice : public IStorageDevice {
public:
    explicit BytesDevice(std::vector<u8> b) : bytes(std::move(b)) {}
    u32 Read(void* out, u64 first, u64 count) override {
        if (first > GetTotalSectors() || count > GetTotalSectors() - first || Touches(bad, first, count)) return 0;
        std::memcpy(out, bytes.data() + first * 512, count * 512);
        if (Touches(unread, first, count)) std::memset(out, 0, count * 512);
        return 1;
    }
    bool HasUnreadSectors(u64 first, u64 count) override {
        return IStorageDevice::HasUnreadSectors(first, count) || Touches(unread, first, count);
    }
    u64 GetTotalSectors() override { return bytes.size() / 512; }
    u32 GetSectorSize() override { return 512; }
    u32 Open() override { return 1; }
    u32 Close() override { return 1; }
    std::vector<u8> bytes;
    std::set<u64> bad, unread;
};

// The columns of a RAID-5 volume of `columns` members holding `volume`, stripes of kStripe
// sectors, parity rotating from the last column leftwards.
std::vector<std::vector<u8>> Raid5Columns(const std::vector<u8>& volume, u64 columns) {
    constexpr u64 kS = 128;
    const u64 rows = volume.size() / 512 / kS / (columns - 1);
    std::vector<std::vector<u8>> out(columns, std::vector<u8>(rows * kS * 512));
    for (u64 row = 0; row < rows; ++row) {
        const u64 parity = (columns - 1) - row % columns;
        for (u64 d = 0; d < columns - 1; ++d) {
            const u8* src = volume.data() + ((row * (columns - 1) + d) * kS) * 512;
            std::memcpy(out[(d + parity + 1) % columns].data() + row * kS * 512, src, kS * 512);
            for (u64 k = 0; k < kS * 512; ++k) out[parity][row * kS * 512 + k] ^= src[k];
        }
    }
    return out;
}

u64 SectorTag(const u8* sector) { return ReadLE64(sector); }
u64 Tag(u8 device, u64 sector) { return (u64(device) << 56) | sector; }

DynamicExtent Extent(IStorageDevice* disk, u64 diskStart, u64 offset, u64 length, u32 column = 0) {
    DynamicExtent e;
    e.disk = disk;
    e.diskStart = diskStart;
    e.offsetInVolume = offset;
    e.length = length;
    e.column = column;
    return e;
}

LdmVolumeInfo Info(u64 total) {
    LdmVolumeInfo info;
    info.totalSectors = total;
    return info;
}

std::vector<u64> ReadTags(IStorageDevice* d, u64 first, u64 count, u32* result = nullptr) {
    std::vector<u8> buffer(count * d->GetSectorSize(), 0xCC);
    const u32 r = d->Read(buffer.data(), first, count);
    if (result) *result = r;
    std::vector<u64> tags;
    for (u64 i = 0; i < count; ++i) tags.push_back(SectorTag(buffer.data() + i * d->GetSectorSize()));
    return tags;
}

TEST(DynamicVolumeDevice, StripesSpansAndSimpleVolumesMapToTheirMembers) {
    PatternDevice a(1, 100000), b(2, 100000), c(3, 100000);
    // Three columns of 1000 sectors each, starting at member sectors 10, 20 and 30.
    auto striped = CreateStripedVolumeDevice(
        kDynamicStriped, Info(3000), {Extent(&a, 10, 0, 1000, 0), Extent(&b, 20, 0, 1000, 1), Extent(&c, 30, 0, 1000, 2)});
    ASSERT_TRUE(striped);
    struct Case {
        u64 volumeSector;
        u64 tag;
    };
    const Case stripes[] = {
        {0, Tag(1, 10)}, {127, Tag(1, 137)}, {128, Tag(2, 20)}, {256, Tag(3, 30)}, {384, Tag(1, 10 + 128)},
        {511, Tag(1, 10 + 255)}, {2999, Tag(3, 30 + 7 * 128 + 55)},
    };
    for (const Case& k : stripes) EXPECT_EQ(ReadTags(striped.get(), k.volumeSector, 1)[0], k.tag) << k.volumeSector;
    // A read across stripes, and one running past the end: data, then zeros.
    const std::vector<u64> across = ReadTags(striped.get(), 126, 4);
    EXPECT_EQ(across, (std::vector<u64>{Tag(1, 136), Tag(1, 137), Tag(2, 20), Tag(2, 21)}));
    u32 r = 0;
    const std::vector<u64> tail = ReadTags(striped.get(), 2996, 10, &r);
    EXPECT_EQ(r, 1u);
    EXPECT_EQ(tail[3], Tag(3, 30 + 7 * 128 + 55));
    EXPECT_EQ(tail[4], 0u);
    EXPECT_EQ(ReadTags(striped.get(), 3001, 1, &r)[0], 0u);
    EXPECT_EQ(r, 0u);

    // A stripe beyond what the member holds is not read from the disk after it.
    auto shortColumn = CreateStripedVolumeDevice(kDynamicStriped, Info(1024),
                                                 {Extent(&a, 0, 0, 256, 0), Extent(&b, 0, 0, 100, 1)});
    ReadTags(shortColumn.get(), 128 + 99, 1, &r);
    EXPECT_EQ(r, 1u);
    ReadTags(shortColumn.get(), 128 + 100, 1, &r);
    EXPECT_EQ(r, 0u);

    auto spanned = CreateSpannedVolumeDevice(kDynamicSpanned, Info(300),
                                             {Extent(&a, 500, 0, 100), Extent(&b, 7, 100, 200)});
    ASSERT_TRUE(spanned);
    EXPECT_EQ(ReadTags(spanned.get(), 98, 4), (std::vector<u64>{Tag(1, 598), Tag(1, 599), Tag(2, 7), Tag(2, 8)}));
    auto simple = CreateSimpleVolumeDevice(kDynamicSimple, Info(50), {Extent(&c, 1000, 0, 50)});
    ASSERT_TRUE(simple);
    EXPECT_EQ(ReadTags(simple.get(), 49, 1)[0], Tag(3, 1049));

    // What a member could not read, or a member that is missing, is unread through the volume
    // too, at the volume sectors it maps to.
    b.unread = {21};
    c.unread = {1049};
    EXPECT_TRUE(striped->HasUnreadSectors(126, 4));
    EXPECT_FALSE(striped->HasUnreadSectors(0, 128));
    EXPECT_FALSE(striped->HasUnreadSectors(130, 126));
    EXPECT_TRUE(spanned->HasUnreadSectors(114, 1));
    EXPECT_FALSE(spanned->HasUnreadSectors(0, 114));
    EXPECT_TRUE(simple->HasUnreadSectors(49, 1));
    EXPECT_FALSE(simple->HasUnreadSectors(0, 49));
    auto halfGone = CreateSpannedVolumeDevice(kDynamicSpanned, Info(300), {Extent(&a, 500, 0, 100), Extent(nullptr, 7, 100, 200)});
    ASSERT_TRUE(halfGone);
    EXPECT_FALSE(halfGone->HasUnreadSectors(0, 100));
    EXPECT_TRUE(halfGone->HasUnreadSectors(99, 2));

    // Factories refuse volumes that cannot be read at all.
    EXPECT_FALSE(CreateSimpleVolumeDevice(kDynamicSimple, Info(50), {Extent(nullptr, 0, 0, 50)}));
    EXPECT_FALSE(CreateStripedVolumeDevice(kDynamicStriped, Info(50), {Extent(nullptr, 0, 0, 50)}));
    EXPECT_FALSE(CreateSpannedVolumeDevice(kDynamicSpanned, Info(50), {}));
    // Nor members of two sector sizes, which cannot share one buffer; the log says which.
    PatternDevice large(4, 1000, 4096);
    auto half = [](auto* d) { return CreateSimpleVolumeDevice(kDynamicMirror, Info(9), {Extent(d, 0, 0, 9)}); };
    EXPECT_FALSE(CreateMirrorVolumeDevice(kDynamicMirror, Info(9), half(&a), half(&large)));
    disktest::LogMark log;
    EXPECT_FALSE(CreateStripedVolumeDevice(
        kDynamicStriped, Info(27), {Extent(nullptr, 0, 0, 9), Extent(&a, 0, 0, 9, 1), Extent(&large, 0, 0, 9, 2)}));
    const std::string said = log.Since();
    EXPECT_NE(said.find("member 1 has 512-byte sectors, member 2 4096-byte sectors"), std::string::npos) << said;
}

TEST(DynamicVolumeDevice, Raid5RotatesParityAndRebuildsAMissingMember) {
    // Members whose sectors are random-ish, and a parity member computed from them, so that a
    // rebuild can be checked byte for byte.
    constexpr u64 kRows = 6, kS = 128, kN = 3;
    std::vector<u8> volume((kN - 1) * kRows * kS * 512);
    for (size_t i = 0; i < volume.size(); ++i) volume[i] = static_cast<u8>((i * 2654435761u) >> 13);
    const std::vector<std::vector<u8>> members = Raid5Columns(volume, kN);
    BytesDevice m0(members[0]), m1(members[1]), m2(members[2]);
    IStorageDevice* all[] = {&m0, &m1, &m2};
    const u64 total = volume.size() / 512;
    for (int missing = -1; missing < 3; ++missing) {
        SCOPED_TRACE(missing);
        std::vector<DynamicExtent> extents;
        for (u32 c = 0; c < kN; ++c) {
            extents.push_back(Extent(c == static_cast<u32>(missing) ? nullptr : all[c], 0, 0, kRows * kS, c));
        }
        auto raid = CreateRaid5VolumeDevice(kDynamicRaid5, Info(total), extents);
        ASSERT_TRUE(raid);
        std::vector<u8> back(volume.size());
        // In odd pieces, so that chunks begin inside stripes.
        for (u64 s = 0; s < total; s += 77) {
            const u64 n = std::min<u64>(77, total - s);
            ASSERT_EQ(raid->Read(back.data() + s * 512, s, n), 1u) << s;
        }
        EXPECT_TRUE(back == volume);
    }
    // Two members missing, or one member in all, is refused.
    EXPECT_FALSE(CreateRaid5VolumeDevice(kDynamicRaid5, Info(total),
                                         {Extent(&m0, 0, 0, kRows * kS, 0), Extent(nullptr, 0, 0, kRows * kS, 1),
                                          Extent(nullptr, 0, 0, kRows * kS, 2)}));
    EXPECT_FALSE(CreateRaid5VolumeDevice(kDynamicRaid5, Info(100), {Extent(&m0, 0, 0, 100, 0)}));
}

TEST(DynamicVolumeDevice, MirrorRecognisesItsVolume) {
    PatternDevice a(1, 1000), b(2, 1000);
    auto mirror = CreateMirrorVolumeDevice(kDynamicMirror, Info(200),
                                           CreateSimpleVolumeDevice(kDynamicMirror, Info(200), {Extent(&a, 0, 0, 200)}),
                                           CreateSimpleVolumeDevice(kDynamicMirror, Info(200), {Extent(&b, 0, 0, 200)}));
    ASSERT_TRUE(mirror);
    auto again = CreateMirrorVolumeDevice(kDynamicMirror, Info(200),
                                          CreateSimpleVolumeDevice(kDynamicMirror, Info(200), {Extent(&a, 0, 0, 200)}),
                                          CreateSimpleVolumeDevice(kDynamicMirror, Info(200), {Extent(&b, 0, 0, 200)}));
    EXPECT_TRUE(mirror->IsSameVolume(again.get()));
    auto other = CreateSimpleVolumeDevice(kDynamicMirror, Info(200), {Extent(&a, 1, 0, 200)});
    EXPECT_FALSE(mirror->IsSameVolume(other.get()));
    EXPECT_FALSE(CreateMirrorVolumeDevice(kDynamicMirror, Info(1), nullptr, nullptr));
}

// A volume over members of which some cannot give some sectors: a bad area (read as zeros and
// reported unread), sectors whose reads fail, a missing disk. Every sector that one member, or
// the parity with the other columns, can give comes back as the volume without damage gives it;
// what none can give is zeros, reported unread where the members report it, and a read that
// fails where they do not.
TEST(DynamicVolumeDevice, WhatAMemberCannotGiveComesFromTheOthersOrIsReportedUnread) {
    // Two disks of tagged sectors, and a RAID-5 group of three columns whose parity is right.
    constexpr u64 kS = 128, kRows = 4, kMember = kS * kRows;
    PatternDevice d0(1, kMember), d1(2, kMember), copy0(1, kMember);
    std::vector<u8> raidVolume(2 * kMember * 512);
    for (u64 v = 0; v < 2 * kMember; ++v) d0.Fill(raidVolume.data() + v * 512, 0x100000 + v);
    const std::vector<std::vector<u8>> columns = Raid5Columns(raidVolume, 3);
    BytesDevice c0(columns[0]), c1(columns[1]), c2(columns[2]);

    auto simple = [](IStorageDevice* disk) {
        return CreateSimpleVolumeDevice(kDynamicMirror, Info(kMember), {Extent(disk, 0, 0, kMember)});
    };
    auto raid5 = [&](IStorageDevice* third) {
        return CreateRaid5VolumeDevice(kDynamicRaid5, Info(2 * kMember),
                                       {Extent(&c0, 0, 0, kMember, 0), Extent(&c1, 0, 0, kMember, 1),
                                        Extent(third, 0, 0, kMember, 2)});
    };
    const auto mirror = CreateMirrorVolumeDevice(kDynamicMirror, Info(kMember), simple(&d0), simple(&copy0));
    const auto mirrorOverGap = CreateMirrorVolumeDevice(
        kDynamicMirror, Info(kMember),
        CreateSpannedVolumeDevice(kDynamicMirror, Info(kMember),
                                  {Extent(&d0, 0, 0, 100), Extent(nullptr, 0, 100, kMember - 100)}),
        simple(&copy0));
    const auto raid = raid5(&c2), degraded = raid5(nullptr);
    const auto spanned =
        CreateSpannedVolumeDevice(kDynamicSpanned, Info(300), {Extent(&d0, 400, 0, 100), Extent(&d1, 7, 100, 200)});
    struct Case {
        const char* what;
        std::function<void()> damage;
        IStorageDevice* volume;
        IStorageDevice* healthy;  // a volume of the same bytes, read before the damage
        u64 first, count;         // the read
        u32 result;
        SectorRanges zeros;  // volume sectors that read as zeros: reported unread when the read succeeds
    };
    const Case cases[] = {
        {"mirror: a bad area on one half or both", [&] { d0.unread = {10, 11, 80}, copy0.unread = {11, 80, 81}; },
         mirror.get(), mirror.get(), 0, 100, 1, {{11, 1}, {80, 1}}},
        {"mirror: a first half spanning a missing disk", [] {}, mirrorOverGap.get(), mirror.get(), 90, 40, 1, {}},
        {"mirror: a sector both halves fail to read", [&] { d0.bad = {5, 70}, copy0.bad = {70}; }, mirror.get(),
         mirror.get(), 0, 100, 0, {{70, 1}}},
        {"RAID-5: a bad area on a present member", [&] { c1.unread = {3, 130}; }, raid.get(), raid.get(), 0,
         2 * kMember, 1, {}},
        {"RAID-5: a bad area beside a missing member", [&] { c1.unread = {3}; }, degraded.get(), raid.get(), 0,
         2 * kMember, 1, {{kS + 3, 1}}},
        {"RAID-5: a failed read beside a missing member", [&] { c0.bad = {kS + 5}; }, degraded.get(), raid.get(), 0,
         2 * kMember, 0, {{2 * kS + 5, 1}, {3 * kS + 5, 1}}},
        {"spanned: a bad sector just past the join", [&] { d1.unread = {7}; }, spanned.get(), spanned.get(), 90, 20, 1,
         {{100, 1}}},
        {"spanned: a failed sector just before the join", [&] { d0.bad = {499}; }, spanned.get(), spanned.get(), 90,
         20, 0, {{99, 1}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(c.volume != nullptr && c.healthy != nullptr);
        for (PatternDevice* d : {&d0, &d1, &copy0}) d->bad.clear(), d->unread.clear();
        for (BytesDevice* d : {&c0, &c1, &c2}) d->bad.clear(), d->unread.clear();
        std::vector<u8> got(c.count * 512, 0xCC), expected(c.count * 512);
        ASSERT_EQ(c.healthy->Read(expected.data(), c.first, c.count), 1u);
        for (const SectorRange& z : c.zeros) std::memset(expected.data() + (z.first - c.first) * 512, 0, z.count * 512);
        c.damage();
        EXPECT_EQ(c.volume->Read(got.data(), c.first, c.count), c.result);
        for (u64 i = 0; i < c.count; ++i) {
            EXPECT_EQ(std::memcmp(got.data() + i * 512, expected.data() + i * 512, 512), 0) << "sector " << c.first + i;
        }
        SectorRanges unread;
        FindUnreadSectors(*c.volume, c.first, c.count, unread);
        EXPECT_EQ(unread, c.result != 0 ? c.zeros : SectorRanges{});
    }
}

// ---- the database ----

std::vector<u8> VblkArea(const std::vector<std::vector<u8>>& slots, size_t sectors = 8) {
    std::vector<u8> area(sectors * 512, 0);
    for (size_t i = 0; i < slots.size(); ++i) std::memcpy(area.data() + i * 128, slots[i].data(), 128);
    return area;
}

TEST(LdmDatabase, FragmentsJoinOnlyInOrderAndWithinTheirCount) {
    u32 seq = 1;
    ldmtest::Data longName;
    longName.Num(7).Str(std::string(250, 'n')).Str("gen");
    const auto three = ldmtest::Fragments(9, seq, kVblkVolume, 0, longName);
    ASSERT_EQ(three.size(), 3u);
    const auto small = ldmtest::Fragments(10, seq, kVblkDisk, 0, ldmtest::Data().Num(3).Str("Disk1").Str("g"));

    struct Case {
        const char* what;
        std::vector<std::vector<u8>> slots;
        size_t records;
    };
    std::vector<u8> swelled = three[0];
    ldmtest::PutBE(swelled.data() + 20, 104 + 2 * 112 + 1, 4);  // one byte more than three fragments hold
    std::vector<u8> smallOfThree = small[0];
    ldmtest::PutBE(smallOfThree.data() + 14, 3, 2);  // a short record that claims three fragments
    std::vector<u8> huge = three[0];
    ldmtest::PutBE(huge.data() + 20, 0xFFFFFFF0, 4);
    // A record that claims 60000 fragments' worth of data, which the area does not hold.
    std::vector<u8> claim = three[0];
    ldmtest::PutBE(claim.data() + 14, 60000, 2);
    ldmtest::PutBE(claim.data() + 20, 104 + 59999 * 112, 4);
    std::vector<u8> sameGroup = small[0];
    ldmtest::PutBE(sameGroup.data() + 8, 9, 4);  // the group of the three-fragment record
    const Case cases[] = {
        {"in order", {three[0], three[1], three[2], small[0]}, 2},
        {"fragment 2 before fragment 1", {three[0], three[2], three[1], small[0]}, 1},
        {"a fragment missing", {three[0], three[2], small[0]}, 1},
        {"a length the fragments cannot hold", {swelled, three[1], three[2]}, 0},
        {"a length that would wrap", {huge, three[1], three[2]}, 0},
        {"a short record is whole in its first fragment", {smallOfThree}, 1},
        {"more fragments claimed than the area has", {claim, three[1], three[2]}, 0},
        {"a second first fragment of one group", {three[0], sameGroup, three[1], three[2], small[0]}, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::vector<u8> area = VblkArea(c.slots);
        const auto records = ParseVblkRecords(area.data(), area.size());
        ASSERT_EQ(records.size(), c.records);
        if (c.records == 2) {
            const LdmDatabase db = BuildDatabase(records, 512);
            ASSERT_EQ(db.volumes.size(), 1u);
            EXPECT_EQ(db.volumes[0].id, 7u);
            EXPECT_EQ(db.volumes[0].name.size(), kLdmVolumeNameSize - 1);  // cut to its field
        }
    }
}

TEST(LdmDatabase, RecordsLinkByIdWithoutLoopsAndCompletenessIsJudged) {
    u32 seq = 1;
    u32 group = 1;
    std::vector<std::vector<u8>> slots;
    auto add = [&](u8 type, u8 flags, const ldmtest::Data& d) {
        for (auto& s : ldmtest::Fragments(group++, seq, type, flags, d)) slots.push_back(s);
    };
    auto volume = [](u64 id, u8 kind) {
        return ldmtest::Data().Num(id).Str("V").Str("gen").Byte(0).Zero(14).Byte(kind).Zero(6).Num(1).Zero(16).Num(
            1000).Zero(4).Byte(7).Zero(16);
    };
    auto component = [](u64 id, u8 layout, u64 parent) {
        return ldmtest::Data().Num(id).Str("C").Str("ACTIVE").Byte(layout).Zero(4).Num(1).Zero(16).Num(parent).Byte(0);
    };
    auto partition = [](u64 id, u64 parent, u64 disk) {
        return ldmtest::Data().Num(id).Str("P").Zero(12).BE(100, 8).BE(0, 8).Num(1000).Num(parent).Num(disk);
    };
    add(kVblkDisk, 0, ldmtest::Data().Num(2).Str("Disk1").Str("guid-1").Str(""));
    add(kVblkVolume, 0, volume(10, 3));
    add(kVblkVolume, 0, volume(10, 3));  // the same id twice
    add(kVblkComponent, 0, component(11, 2, 10));
    add(kVblkComponent, 0, component(11, 2, 10));  // and a component met twice
    add(kVblkPartition, 0, partition(12, 11, 2));
    add(kVblkVolume, 0, volume(20, 3));
    add(kVblkComponent, 0, component(21, 4, 20));  // layout 4 makes no volume
    add(kVblkPartition, 0, partition(22, 21, 2));
    add(kVblkVolume, 0, volume(30, 3));
    add(kVblkComponent, 0, component(31, 2, 30));
    add(kVblkPartition, 0, partition(32, 31, 99));  // a disk that has no record
    add(kVblkComponent, 0, component(41, 2, 77));   // a parent that is no volume
    add(kVblkVolume, 0, volume(50, 9));             // a kind that is not built
    add(kVblkComponent, 0, component(51, 2, 50));
    add(kVblkPartition, 0, partition(52, 51, 2));
    const std::vector<u8> area = VblkArea(slots, 16);
    const LdmDatabase db = BuildDatabase(ParseVblkRecords(area.data(), area.size()), 512);
    ASSERT_EQ(db.volumes.size(), 5u);
    std::map<u64, int> complete;
    for (const LdmVolumeRecord& v : db.volumes) complete[v.id] += IsVolumeComplete(db, v) ? 1 : 0;
    EXPECT_EQ(complete[10], 2);
    EXPECT_EQ(complete[20], 0);
    EXPECT_EQ(complete[30], 0);
    EXPECT_EQ(complete[50], 0);
    EXPECT_EQ(db.volumes[0].components.size(), 2u);
    EXPECT_EQ(db.partitions[0].start, 100u);

    // Sizes and starts follow the disk's sector size.
    const LdmDatabase big = BuildDatabase(ParseVblkRecords(area.data(), area.size()), 4096);
    EXPECT_EQ(big.partitions[0].size, 125u);
    EXPECT_EQ(big.volumes[0].size, 125u);
}

class LdmGroupTest : public disktest::DiskTableTest {
protected:
    void SetUp() override {
        DiskTableTest::SetUp();
        paths = ldmtest::WriteStandardGroup(dir.Path(), MORVENDA_FIXTURES_DIR);
        ASSERT_EQ(paths.size(), 3u);
    }

    // The dynamic volumes of the first `count` disks, by name of their volume.
    std::vector<CollectedDynamicVolume> Collect(size_t count, const std::vector<std::string>& images = {}) {
        std::string list;
        for (size_t i = 0; i < count; ++i) list += (i ? ":" : "") + (images.empty() ? paths[i] : images[i]);
        UseDisks(list);
        disks.clear();
        std::vector<CDiskDevice*> raw;
        for (size_t i = 0; i < count; ++i) {
            disks.push_back(std::make_unique<CDiskDevice>(static_cast<i32>(i)));
            EXPECT_EQ(disks.back()->Open(), 1u);
            raw.push_back(disks.back().get());
        }
        std::vector<CollectedDynamicVolume> out;
        CollectDynamicVolumes(raw, out);
        return out;
    }

    static bool SameAsFixture(IStorageDevice* device, const char* name, u64* firstDifference) {
        std::vector<u8> expected;
        for (const ldmtest::StandardVolume& s : ldmtest::StandardVolumes()) {
            if (std::string(s.name) == name) expected = ldmtest::StandardContent(s, MORVENDA_FIXTURES_DIR);
        }
        if (expected.empty()) return false;
        std::vector<u8> chunk(1024 * 512);
        for (u64 s = 0; s * 512 < expected.size(); s += 1024) {
            const u64 n = std::min<u64>(1024, expected.size() / 512 - s);
            if (!device->Read(chunk.data(), s, n)) return *firstDifference = s, false;
            if (std::memcmp(chunk.data(), expected.data() + s * 512, n * 512) != 0) {
                for (u64 k = 0; k < n; ++k) {
                    if (std::memcmp(chunk.data() + k * 512, expected.data() + (s + k) * 512, 512) != 0) {
                        *firstDifference = s + k;
                        break;
                    }
                }
                return false;
            }
        }
        return true;
    }

    testutil::TempDir dir;
    std::vector<std::string> paths;
    std::vector<std::unique_ptr<CDiskDevice>> disks;
};

TEST_F(LdmGroupTest, EveryVolumeOfTheGroupIsListedOnceAndReadsItsFileSystem) {
    const std::vector<CollectedDynamicVolume> volumes = Collect(3);
    for (const auto& d : disks) EXPECT_TRUE(d->IsDynamicDisk());
    ASSERT_EQ(volumes.size(), ldmtest::StandardVolumes().size());
    for (const ldmtest::StandardVolume& s : ldmtest::StandardVolumes()) {
        SCOPED_TRACE(s.name);
        const CollectedDynamicVolume* found = nullptr;
        for (const auto& v : volumes) {
            if (std::string(v.typeName) == s.typeName) found = &v;
        }
        ASSERT_NE(found, nullptr);
        u64 expectedSectors = 0;
        for (const ldmtest::Member& m : s.members) expectedSectors += m.length;
        if (s.layout == ldmtest::Layout::kMirror) expectedSectors = s.members[0].length;
        if (s.layout == ldmtest::Layout::kRaid5) expectedSectors = expectedSectors / 3 * 2;
        EXPECT_EQ(found->totalSectors, expectedSectors);
        EXPECT_EQ(found->device->GetTotalSectors(), expectedSectors);
        u64 at = 0;
        EXPECT_TRUE(SameAsFixture(found->device.get(), s.name, &at)) << "first differing sector " << at;
        EXPECT_EQ(found->members.size(), s.members.size());
        // Linux gives no letter: the volume's drive hint names it, when it has one.
        EXPECT_EQ(found->driveLetter, s.driveHint[0]);
    }
}

TEST_F(LdmGroupTest, WithADiskMissingParityRebuildsAndTheMirrorReadsItsOtherHalf) {
    const std::vector<CollectedDynamicVolume> volumes = Collect(2);  // the third disk is gone
    std::map<std::string, const CollectedDynamicVolume*> byType;
    for (const auto& v : volumes) byType[v.typeName] = &v;
    u64 at = 0;
    ASSERT_TRUE(byType.count("RAID5"));
    EXPECT_EQ(byType["RAID5"]->totalSectors, 131072u);  // from the NTFS boot sector
    EXPECT_TRUE(SameAsFixture(byType["RAID5"]->device.get(), "Parity", &at)) << at;
    ASSERT_TRUE(byType.count("MIRROR"));
    EXPECT_TRUE(SameAsFixture(byType["MIRROR"]->device.get(), "Mirror", &at)) << at;
    EXPECT_TRUE(SameAsFixture(byType["SPANNED"]->device.get(), "Span", &at)) << at;
    // The striped volume keeps its present column; the absent one reads as zeros.
    ASSERT_TRUE(byType.count("STRIPPED"));
    EXPECT_FALSE(SameAsFixture(byType["STRIPPED"]->device.get(), "Stripe", &at));
    EXPECT_EQ(at / 128 % 2, 1u);
}

// A group on disks of 4096 bytes a sector whose first disk, holding the first member of every
// volume, is absent: each volume has the present members' sector size and reads what its layout
// keeps (a missing stripe or span as zeros).
TEST_F(LdmGroupTest, OnDisksOf4096ByteSectorsWithTheFirstMemberAbsentEachVolumeReads) {
    constexpr u64 kSs = 4096, kL = 6 * kStripeBytes / kSs, kStripe = kStripeBytes / kSs;
    using ldmtest::Layout;
    std::vector<ldmtest::Volume> volumes = {
        {"V0", Layout::kStriped, {}, {{0, 0, kL}, {1, 0, kL}}, 7, ""},
        {"V1", Layout::kSpanned, {}, {{0, kL, kL}, {1, kL, kL}}, 7, ""},
        {"V2", Layout::kRaid5, {}, {{0, 2 * kL, kL}, {1, 2 * kL, kL}, {2, 0, kL}}, 7, ""}};
    std::vector<ldmtest::Disk> group;
    for (int i = 0; i < 3; ++i) group.push_back({dir.File("4k" + std::to_string(i)), false, 3 * kL + 2200, false});
    for (size_t k = 0; k < volumes.size(); ++k) {
        volumes[k].content.resize(2 * kL * kSs);
        for (u64 s = 0; s < 2 * kL; ++s) WriteLE64(volumes[k].content.data() + s * kSs, Tag(u8(k + 1), s));
    }
    ASSERT_TRUE(ldmtest::GroupWriter(group, volumes, kSs).Write());
    const auto listed = Collect(2, {group[1].path + "@4096", group[2].path + "@4096"});
    ASSERT_EQ(listed.size(), volumes.size());
    for (size_t k = 0; k < volumes.size(); ++k) {
        SCOPED_TRACE(listed[k].typeName);
        ASSERT_EQ(listed[k].device->GetSectorSize(), kSs);
        const std::vector<u64> got = ReadTags(listed[k].device.get(), 0, 2 * kL);
        for (u64 i = 0; i < got.size(); ++i) {
            const bool gone = k == 0 ? i / kStripe % 2 == 0 : k == 1 && i < kL;
            EXPECT_EQ(got[i], gone ? 0 : Tag(u8(k + 1), i)) << i;
        }
    }
}

TEST(LdmDatabase, GptEntriesThatCannotBeWalkedAreRefused) {
    testutil::TempDir dir;
    const std::vector<std::string> paths = ldmtest::WriteStandardGroup(dir.Path(), MORVENDA_FIXTURES_DIR);
    ASSERT_EQ(paths.size(), 3u);
    const std::vector<u8> gpt = testutil::ReadFileBytes(paths[1]);
    struct Case {
        const char* what;
        u32 offset;
        u32 value;
        bool found;
    };
    const Case cases[] = {
        {"as written", 80, 128, true},
        {"entry size 0", 84, 0, false},
        {"entry size above the sector", 84, 1024, false},
        {"more than 128 entries", 80, 129, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<u8> bytes = gpt;
        WriteLE32(bytes.data() + 512 + c.offset, c.value);
        BytesDevice disk(bytes);
        PrivHead head;
        EXPECT_EQ(ReadPrivHead(&disk, head), c.found);
        if (c.found) {
            EXPECT_EQ(head.diskGuid, ldmtest::DiskGuid(1));
        }
    }
}

}  // namespace
