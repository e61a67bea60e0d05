// exFAT entry sets cut where a folder's cluster ends: the deep search's block walker keeps the
// head (the entries before the cut) and the tail (the secondaries that begin another cluster),
// joins them again when the set's checksum and every entry check out, and ties the two blocks,
// whichever of them lies first on the disk. A folder's block ends where its cluster is followed
// by data, so that the cut falls where the cluster ends.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ExFatSets.h"
#include "fs/fat/ExFatBlockFinder.h"
#include "platform/Types.h"

namespace {

constexpr u32 kEntry = 32;
constexpr u32 kEntriesPerSector = 16;
constexpr u64 kDeviceSectors = 1u << 20;
constexpr u32 kSectorSize = 512;

// A whole in-use set of a file named `name` (ASCII) at `cluster`, without a FAT chain.
std::vector<u8> MakeSet(const std::string& name, u32 cluster) {
    return testutil::MakeExFatSet(name, cluster, 1000, testutil::kExFatAttrArchive, true);
}

// `slots` entries of whole sets of three and four entries (short and long names).
std::vector<u8> Filler(u32 slots, u32& cluster) {
    std::vector<u8> out;
    const u32 longSets = slots % 3;
    for (u32 i = 0; i < longSets; ++i, ++cluster) {
        const std::vector<u8> s = MakeSet("a longer name of entry " + std::to_string(i), cluster);
        out.insert(out.end(), s.begin(), s.end());
    }
    for (u32 i = 0; i < (slots - 4 * longSets) / 3; ++i, ++cluster) {
        const std::vector<u8> s = MakeSet("short " + std::to_string(i), cluster);
        out.insert(out.end(), s.begin(), s.end());
    }
    return out;
}

struct CutCase {
    const char* name;
    u32 headEntries;  // entries of the cut set before the cut
    u64 headSector;
    u64 tailSector;
    bool damagedTail;  // a name character of the tail changed after the checksum was taken
    u32 nameLength = 37;  // 37: three name entries; 226 to 255: a set of 18 or 19 entries
};

const CutCase kCases[] = {
    {"CutAfterTheFileEntry", 1, 100, 300, false},
    {"CutAfterTheStreamEntry", 2, 100, 300, false},
    {"CutAfterTheFirstName", 3, 100, 300, false},
    {"TailBeforeItsHead", 2, 300, 100, false},
    {"DamagedTailStaysApart", 2, 100, 300, true},
    // The tails of the longest names go on into their block's second sector.
    {"NineteenEntriesCutAfterTheFileEntry", 1, 100, 300, false, 255},
    {"NineteenEntriesCutAfterTheStreamEntry", 2, 100, 300, false, 241},
    {"EighteenEntriesCutAfterTheFileEntry", 1, 100, 300, false, 226},
    {"NineteenEntriesTailBeforeItsHead", 1, 300, 100, false, 250},
    {"NineteenEntriesDamagedLastNameStaysApart", 1, 100, 300, true, 255},
};

class ExFatCutSets : public ::testing::TestWithParam<CutCase> {};

TEST_P(ExFatCutSets, HeadAndTailAreJoinedAndTheirBlocksTied) {
    const CutCase& t = GetParam();
    std::string cutName = "the set that the end of a cluster cut";
    while (cutName.size() < t.nameLength) cutName += " and its name goes on";
    cutName.resize(t.nameLength);
    u32 cluster = 40;
    const std::vector<u8> cut = MakeSet(cutName, 90);
    ASSERT_GT(cut.size(), t.headEntries * kEntry);

    std::vector<u8> head = Filler(kEntriesPerSector - t.headEntries, cluster);
    head.insert(head.end(), cut.begin(), cut.begin() + t.headEntries * kEntry);
    ASSERT_EQ(head.size(), kEntriesPerSector * kEntry);

    // The tail's block: two sectors of one folder cluster.
    std::vector<u8> tail(cut.begin() + t.headEntries * kEntry, cut.end());
    if (t.damagedTail) tail[tail.size() - kEntry + 2] ^= 1;
    const std::vector<u8> after = MakeSet("after the cut", 95);
    tail.insert(tail.end(), after.begin(), after.end());
    tail.resize(2 * kEntriesPerSector * kEntry, 0);

    ExFatBlockWalker walker;
    walker.SetGeometry(kDeviceSectors, kSectorSize);
    std::vector<ExFatDirectoryBlock> blocks;
    // Each block is ended by the data that follows it, the one that lies first walked first.
    for (bool walkHead : {t.headSector < t.tailSector, t.headSector > t.tailSector}) {
        const std::vector<u8>& bytes = walkHead ? head : tail;
        const u64 first = walkHead ? t.headSector : t.tailSector;
        for (u64 s = 0; s * kSectorSize < bytes.size(); ++s) walker.WalkSector(first + s, bytes.data() + s * kSectorSize, blocks);
        walker.FinishBlock(blocks);
    }
    ASSERT_EQ(blocks.size(), 2u);
    for (const ExFatDirectoryBlock& b : blocks) {
        const u32 expected = b.firstSector == t.headSector ? kExFatBlockEndsCut : kExFatBlockBeginsWithTail;
        EXPECT_EQ(b.flags & (kExFatBlockEndsCut | kExFatBlockBeginsWithTail), expected) << "block at " << b.firstSector;
    }

    const std::vector<ExFatCutSetLink>& links = walker.GetCutSetLinks();
    if (t.damagedTail) {
        EXPECT_TRUE(links.empty());
        return;
    }
    ASSERT_EQ(links.size(), 1u);
    EXPECT_EQ(links[0].headBlock, t.headSector);
    EXPECT_EQ(links[0].tailBlock, t.tailSector);
    EXPECT_EQ(links[0].set.name, cutName);
    EXPECT_EQ(links[0].set.firstCluster, 90u);
    EXPECT_EQ(links[0].set.position, t.headSector);
}

// A device full of halves that never match (overwritten folders, look-alike data) costs each new
// half a bounded number of tries, and a pair that matches after more than 16,384 of them (as on a
// large device) is still joined.
TEST(ExFatCutSetStores, AMatchAfterTwentyThousandUnmatchedPairsIsJoinedAndTriesStayBounded) {
    constexpr u32 kTriesPerHalf = 64;
    constexpr u32 unmatchedPairs = 20000;
    u32 cluster = 40;
    ExFatBlockWalker walker;
    walker.SetGeometry(kDeviceSectors, kSectorSize);
    std::vector<ExFatDirectoryBlock> blocks;
    auto walkAlone = [&](u64 sector, std::vector<u8> bytes) {
        bytes.resize(kEntriesPerSector * kEntry, 0);
        walker.WalkSector(sector, bytes.data(), blocks);
        walker.FinishBlock(blocks);
    };
    // A head's and a tail's sets; heads and tails of different files never check out.
    auto cutHalves = [&](u64 headSector, const std::vector<u8>& headSet, const std::vector<u8>& tailSet) {
        std::vector<u8> head = Filler(kEntriesPerSector - 1, cluster);
        head.insert(head.end(), headSet.begin(), headSet.begin() + kEntry);
        walkAlone(headSector, head);
        walkAlone(headSector + 2, std::vector<u8>(tailSet.begin() + kEntry, tailSet.end()));
    };
    for (u32 i = 0; i < unmatchedPairs; ++i) {
        cutHalves(10 * i + 1, MakeSet("head " + std::to_string(i), cluster), MakeSet("tail " + std::to_string(i), cluster + 1));
        cluster += 2;
    }
    EXPECT_TRUE(walker.GetCutSetLinks().empty());
    EXPECT_LE(walker.PartnersTried(), u64(2) * unmatchedPairs * kTriesPerHalf);

    const u64 end = 10 * u64(unmatchedPairs);
    const std::vector<u8> whole = MakeSet("one set cut in two", 77);
    cutHalves(end + 5, whole, whole);
    ASSERT_EQ(walker.GetCutSetLinks().size(), 1u);
    EXPECT_EQ(walker.GetCutSetLinks()[0].headBlock, end + 5);
    EXPECT_EQ(walker.GetCutSetLinks()[0].tailBlock, end + 7);
    EXPECT_EQ(walker.GetCutSetLinks()[0].set.name, "one set cut in two");
}

INSTANTIATE_TEST_SUITE_P(Cases, ExFatCutSets, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<CutCase>& info) { return std::string(info.param.name); });

// A folder cluster of eight sectors followed by one sector of another kind: data that begins
// with a benign entry type (one data sector in 25) is no directory sector, and does not make the
// folder's block look larger than its cluster.
TEST(ExFatBlockWalkerEnds, DataAfterAFolderClusterIsNotTakenIntoItsBlock) {
    constexpr u64 kFolder = 1000;
    constexpr u32 kFolderSectors = 8;
    struct Case {
        const char* name;
        std::vector<u8> lead;  // the first bytes of the sector after the cluster; the rest is data
        bool setsFollow;       // whole sets follow the lead instead of data
        u32 blockSectors;
    };
    const Case cases[] = {
        {"DeletedVendorEntryThenData", {0x60, 0x4C, 0x05, 0xA1}, false, kFolderSectors},
        {"VolumeGuidEntryThenData", {0xA0}, false, kFolderSectors},
        {"Zeros", {0x00}, false, kFolderSectors},
        {"VendorEntryThenSetsOfTheFolder", {0xE0}, true, kFolderSectors + 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        u32 cluster = 40;
        ExFatBlockWalker walker;
        walker.SetGeometry(kDeviceSectors, kSectorSize);
        std::vector<ExFatDirectoryBlock> blocks;
        for (u32 s = 0; s < kFolderSectors; ++s) walker.WalkSector(kFolder + s, Filler(kEntriesPerSector, cluster).data(), blocks);
        std::vector<u8> after(kEntriesPerSector * kEntry);
        // Data bytes that begin no entry of any kind, wherever an entry would begin.
        for (size_t i = 0; i < after.size(); ++i) after[i] = u8(0x0B + i % 7);
        if (c.setsFollow) {
            const std::vector<u8> sets = Filler(kEntriesPerSector - 1, cluster);
            std::copy(sets.begin(), sets.end(), after.begin() + kEntry);
        }
        std::copy(c.lead.begin(), c.lead.end(), after.begin());
        if (c.lead == std::vector<u8>{0x00}) std::fill(after.begin(), after.end(), u8(0));
        walker.WalkSector(kFolder + kFolderSectors, after.data(), blocks);
        walker.FinishBlock(blocks);
        ASSERT_EQ(blocks.size(), 1u);
        EXPECT_EQ(blocks[0].firstSector, kFolder);
        EXPECT_EQ(blocks[0].sectorCount, c.blockSectors);
    }
}

}  // namespace
