// The found-partition tree on records made byte by byte: every file stands in the tree of its own
// volume and is read with that volume's geometry, and a file whose clusters the volume in use
// holds is never counted whole.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "ImageDevice.h"
#include "NtfsTestSupport.h"
#include "engine/FileSystemNode.h"
#include "fs/ntfs/NTFSDeepSearch.h"
#include "fs/ntfs/NTFSFileRecord.h"
#include "fs/ntfs/NTFSFoundTree.h"
#include "fs/ntfs/NTFSRecord.h"

namespace {

using ntfstest::RecordBuilder;

constexpr u32 kSector = 512;
constexpr u64 kDiskSectors = 8192;
// The chosen volume starts at sector 0 with 1024-byte clusters; its $MFT of 64 records lies at
// cluster 16, and the records of the others lie outside it.
constexpr u32 kSpc = 2;
constexpr u64 kMftLcn = 16;
constexpr u64 kMftSector = kMftLcn * kSpc;
constexpr u16 kNoFlags = 0;

// One run of `clusters` clusters at `lcn`.
std::vector<u8> Run(u64 clusters, u64 lcn) {
    std::vector<u8> pairs = {0x42, u8(clusters), u8(clusters >> 8), u8(lcn), u8(lcn >> 8), u8(lcn >> 16), u8(lcn >> 24)};
    pairs.push_back(0);
    return pairs;
}

std::vector<u8> File(u32 number, u64 parent, const std::u16string& name, u64 lcn, u64 clusters, u64 clusterBytes,
                     bool inUse = true, u64 lsn = 0x1000, u64 created = 0) {
    RecordBuilder b;
    b.Number(number).InUse(inUse).LogSequenceNumber(lsn);
    b.StandardInformation(created, 0x20);
    const u64 size = clusters * clusterBytes - 100;
    b.FileName(parent, name, 1, size);
    b.NonResident(0x80, Run(clusters, lcn), 0, clusters - 1, clusters * clusterBytes, size, size);
    return b.Build();
}

// A folder; with indexClusterBytes, one index block at `lcn` tells its cluster size.
std::vector<u8> Folder(u32 number, u64 parent, const std::u16string& name, u64 indexClusterBytes = 0, u64 lcn = 0) {
    RecordBuilder b;
    b.Number(number).Directory();
    b.FileName(parent, name, 1, 0, ntfs::kFileNameFlagDirectory);
    if (indexClusterBytes != 0) {
        const u64 clusters = std::max<u64>(1, 4096 / indexClusterBytes);
        b.NonResident(ntfs::kAttrIndexAllocation, Run(clusters, lcn), 0, clusters - 1, clusters * indexClusterBytes,
                      4096, 4096, 0, u"$I30");
    }
    return b.Build();
}

std::vector<u8> ResidentFile(u32 number, u64 parent, const std::u16string& name) {
    RecordBuilder b;
    b.Number(number);
    b.FileName(parent, name, 1, 10);
    b.Resident(0x80, std::vector<u8>(10, 'r'));
    return b.Build();
}

// An $MFT of 64 records at `lcn` for clusters of `clusterBytes`; `inUse`, when given, is its
// bitmap of records in use.
// `formatted` is its creation time: of the $MFTs of volumes formatted over one another, the
// later one's volume is the newer.
std::vector<u8> Mft(u64 lcn, u64 clusterBytes, std::vector<u8> inUse = {}, u64 formatted = 0) {
    RecordBuilder b;
    b.StandardInformation(formatted, 0x06);
    b.FileName(5, u"$MFT", 3);
    const u64 clusters = 64 * 1024 / clusterBytes;
    b.NonResident(0x80, Run(clusters, lcn), 0, clusters - 1, 64 * 1024, 64 * 1024, 64 * 1024);
    if (!inUse.empty()) b.Resident(0xB0, inUse);
    return b.Build();
}

struct Record {
    u64 sector;
    std::vector<u8> bytes;
};
struct Expect {
    std::string path;  // below the volume folder
    u64 start;
    u32 spc;
    u16 state;  // of kStateClustersTaken and kStateContentUnconfirmed
    bool present = true;
};
struct Row {
    const char* what;
    std::vector<Record> records;
    std::vector<std::pair<u64, u32>> candidates;  // start, sectors per cluster
    std::vector<Record> mfts;  // $MFT records, each where it was found
    std::vector<Expect> expect;
};

// The node at `path` (names joined by '/') below `root`; null when there is none.
CFileNode* Find(CFileNode* root, const std::string& path) {
    CFileNode* at = root;
    size_t from = 0;
    while (at != nullptr && from <= path.size()) {
        const size_t slash = std::min(path.find('/', from), path.size());
        const std::string part = path.substr(from, slash - from);
        CFileNode* next = nullptr;
        for (CFileNode* c = at->GetFirstChild(); c; c = c->GetNextSibling()) {
            if (c->GetFileProperties() && part == c->GetFileProperties()->GetName()) next = c;
        }
        at = next;
        from = slash + 1;
    }
    return at;
}

TEST(NtfsFoundTree, EachFileStandsInItsOwnVolumeAndLosesNothingToAnother) {
    const std::string guest4k = "NTFS at sector 0, 4096-byte clusters/";
    const std::string guest2k = "NTFS at sector 0, 2048-byte clusters/";
    const u16 taken = kStateClustersTaken, guessed = kStateContentUnconfirmed;
    // The chosen volume's $MFT holds a live file at cluster 400 (record 40); found records lie
    // from sector 1000 on.
    const Record mft{kMftSector, Mft(kMftLcn, 1024)};
    const Record live{kMftSector + 2 * 40, File(40, 5, u"live.bin", 400, 4, 1024)};
    const auto old = [](u64 sector, u32 number, const char16_t* name, u64 lcn) {
        return Record{sector, File(number, 5, name, lcn, 2, 1024)};
    };
    // A deleted record of the chosen volume's $MFT, of two 1024-byte clusters at `lcn`.
    const auto deleted = [](u32 number, const char16_t* name, u64 lcn, u64 lsn) {
        return Record{kMftSector + 2 * number, File(number, 5, name, lcn, 2, 1024, false, lsn)};
    };
    // Volumes formatted at sector 0 before the chosen one: 4096-byte clusters first ($MFT at
    // cluster 512, sector 4096), then 2048-byte clusters ($MFT at cluster 1536, sector 6144); the
    // chosen volume was formatted last.
    constexpr u64 kFirstMft = 4096, kSecondMft = 6144;
    const Record first{kFirstMft, Mft(512, 4096, {}, 1)};
    const Record second{kSecondMft, Mft(1536, 2048, {}, 2)};
    const Record chosenLast{kMftSector, Mft(kMftLcn, 1024, {}, 3)};
    const auto ofFirst = [](u32 number, const char16_t* name, u64 lcn, bool inUse) {
        return Record{kFirstMft + 2 * number, File(number, 5, name, lcn, 2, 4096, inUse)};
    };
    const auto ofSecond = [](u32 number, const char16_t* name, u64 lcn, bool inUse) {
        return Record{kSecondMft + 2 * number, File(number, 5, name, lcn, 2, 2048, inUse)};
    };
    const Row rows[] = {
        {"a record of the chosen volume's own cluster size", {old(1000, 70, u"a.bin", 600)}, {}, {},
         {{"Other lost files/a.bin", 0, kSpc, kNoFlags}}},
        {"a record of 4096-byte clusters that nothing places", {{1000, File(70, 5, u"b.bin", 50, 2, 4096)}}, {}, {},
         {{guest4k + "Other lost files/b.bin", 0, 8, guessed}}},
        // b.bin would lie at sectors 400-415, over the deleted a.bin's 400-403.
        {"a file of a volume that nothing places takes no sectors from another",
         {{1000, File(70, 5, u"b.bin", 50, 2, 4096)}, {1002, File(71, 5, u"a.bin", 200, 2, 1024, false)}}, {}, {},
         {{guest4k + "Other lost files/b.bin", 0, 8, guessed}, {"Other lost files/a.bin", 0, kSpc, kNoFlags}}},
        {"a record of 4096-byte clusters that a candidate places", {{1000, File(70, 5, u"b.bin", 50, 2, 4096)}},
         {{0, 8}}, {}, {{guest4k + "Other lost files/b.bin", 0, 8, kNoFlags}}},
        // Record 30 of an $MFT at cluster 100 of 4096 bytes lies 107 x 8 + 4 sectors into its volume.
        {"a record of 4096-byte clusters an $MFT numbers", {{1200, File(30, 5, u"c.bin", 50, 2, 4096)}}, {},
         {{3000, Mft(100, 4096)}},
         {{"NTFS at sector 340, 4096-byte clusters/Other lost files/c.bin", 340, 8, kNoFlags}}},
        {"records that tell no cluster size follow the folder below them",
         {{1000, Folder(80, 5, u"F")}, {1002, Folder(81, 80, u"G", 4096, 60)}, {1004, ResidentFile(82, 80, u"r.txt")},
          {1006, File(83, 81, u"x.bin", 61, 1, 4096)}},
         {{0, 8}}, {},
         {{guest4k + "Other lost files/F/G/x.bin", 0, 8, kNoFlags},
          {guest4k + "Other lost files/F/r.txt", 0, 8, kNoFlags}}},
        {"found records on clusters a live file holds", {mft, live, old(1000, 70, u"o1.bin", 401), old(1002, 71, u"o2.bin", 600)},
         {}, {mft},
         {{"live.bin", 0, kSpc, kNoFlags}, {"Other lost files/o1.bin", 0, kSpc, taken},
          {"Other lost files/o2.bin", 0, kSpc, kNoFlags}}},
        {"deleted records of the volume on clusters a live file holds",
         {mft, live, {kMftSector + 2 * 41, File(41, 5, u"d.bin", 402, 1, 1024, false)},
          {kMftSector + 2 * 42, File(42, 5, u"e.bin", 700, 1, 1024, false)}},
         {}, {mft},
         {{"d.bin", 0, kSpc, taken}, {"e.bin", 0, kSpc, kNoFlags}}},
        {"an older volume's record in use where the $MFT's bitmap has none",
         {{kMftSector, Mft(kMftLcn, 1024, {0xFF, 0x00, 0x00, 0x00, 0x00, 0x01})}, live,
          {kMftSector + 2 * 43, File(43, 5, u"s.bin", 403, 1, 1024)}},
         {}, {{kMftSector, Mft(kMftLcn, 1024, {0xFF, 0x00, 0x00, 0x00, 0x00, 0x01})}},
         {{"live.bin", 0, kSpc, kNoFlags}, {"Other lost files/s.bin", 0, kSpc, taken}}},
        // Sectors 1400-1403 (x.bin) and 1402-1405 (y.bin); 1600-1603 and 1602-1605.
        {"two deleted files on one cluster: the one deleted last keeps it, in either order",
         {mft, deleted(44, u"x.bin", 700, 0x2000), deleted(45, u"y.bin", 701, 0x3000),
          deleted(46, u"p.bin", 800, 0x5000), deleted(47, u"q.bin", 801, 0x4000)},
         {}, {mft},
         {{"x.bin", 0, kSpc, taken}, {"y.bin", 0, kSpc, kNoFlags}, {"p.bin", 0, kSpc, kNoFlags},
          {"q.bin", 0, kSpc, taken}}},
        {"two deleted files on one cluster with nothing to order them",
         {mft, deleted(44, u"x.bin", 700, 0x2000), deleted(45, u"y.bin", 701, 0x2000)}, {}, {mft},
         {{"x.bin", 0, kSpc, taken}, {"y.bin", 0, kSpc, taken}}},
        // old.bin: sectors 800-815; the newer volume's deleted new.bin: 808-811.
        {"a newer volume's deleted file over a file of the volume it was formatted over",
         {chosenLast, first, ofFirst(40, u"old.bin", 100, true), ofFirst(41, u"apart.bin", 300, false),
          deleted(44, u"new.bin", 404, 0x10)},
         {}, {chosenLast, first},
         {{guest4k + "old.bin", 0, 8, taken}, {guest4k + "apart.bin", 0, 8, kNoFlags},
          {"new.bin", 0, kSpc, kNoFlags}}},
        // a1.bin 800-815 under b2.bin 800-807; c2.bin 1200-1207 under d3.bin 1204-1207; the
        // first volume's deleted e1.bin 1600-1615 under the second's live f2.bin 1608-1615.
        {"three volumes formatted over one another, each weighed against every older one",
         {chosenLast, first, second, ofFirst(40, u"a1.bin", 100, true), ofSecond(40, u"b2.bin", 200, false),
          ofSecond(41, u"c2.bin", 300, true), deleted(44, u"d3.bin", 602, 0x10), ofFirst(41, u"e1.bin", 200, false),
          ofSecond(42, u"f2.bin", 402, true), ofFirst(42, u"z1.bin", 500, true)},
         {}, {chosenLast, first, second},
         {{guest4k + "a1.bin", 0, 8, taken}, {guest2k + "b2.bin", 0, 4, kNoFlags}, {guest2k + "c2.bin", 0, 4, taken},
          {"d3.bin", 0, kSpc, kNoFlags}, {guest4k + "e1.bin", 0, 8, taken}, {guest2k + "f2.bin", 0, 4, kNoFlags},
          {guest4k + "z1.bin", 0, 8, kNoFlags}}},
        // Neither $MFT tells when it was formatted (as mkntfs leaves them): the files made on each
        // do. The chosen volume's live w.bin (800-803) was made before the other's deleted
        // v.bin (800-807).
        {"volumes whose $MFTs tell no time, ordered by their files' creation",
         {mft, {kFirstMft, Mft(512, 4096)}, {kMftSector + 2 * 40, File(40, 5, u"w.bin", 400, 2, 1024, true, 0x10, 5)},
          {kFirstMft + 2 * 40, File(40, 5, u"v.bin", 100, 2, 4096, false, 0x10, 9)}},
         {}, {mft, {kFirstMft, Mft(512, 4096)}},
         {{"w.bin", 0, kSpc, taken}, {guest4k + "v.bin", 0, 8, kNoFlags}}},
        {"a copy of a record in its volume's mirror",
         {mft, {kMftSector + 2 * 2, File(2, 5, u"m.bin", 500, 1, 1024)}, {4000 + 2 * 2, File(2, 5, u"m.bin", 500, 1, 1024)}},
         {}, {mft, {4000, Mft(kMftLcn, 1024)}},
         {{"m.bin", 0, kSpc, kNoFlags}, {"Other lost files/m.bin", 0, kSpc, kNoFlags, false},
          {"NTFS at sector 3968, 1024-byte clusters/m.bin", 3968, kSpc, kNoFlags, false}}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        testutil::MemoryDevice device(kSector, kDiskSectors);
        std::vector<NtfsRecordRun> runs;
        for (const Record& r : row.records) {
            device.Put(r.sector * kSector, r.bytes);
            runs.push_back({r.sector, 1});
        }
        CNTFSSearchController search;
        for (const auto& [start, spc] : row.candidates) {
            auto c = std::make_unique<CSearchedNTFSPartitionInfo>(kSector);
            c->SetPartitionStart(start);
            c->SetSectorsPerCluster(spc);
            c->SetTotalSectors(kDiskSectors - start);
            search.GetCandidates().Insert(std::move(c));
        }
        std::vector<std::unique_ptr<NTFSMFTLocation>> locations;
        std::vector<NTFSMftRecordDetail> details;
        for (const Record& m : row.mfts) {
            device.Put(m.sector * kSector, m.bytes);
            CNTFSFileRecord record;
            ASSERT_TRUE(record.Init(m.bytes.data(), u32(m.bytes.size()), m.sector, &device, nullptr));
            locations.emplace_back(NTFSMFTLocation::CreateFromRecord(record, m.sector));
            ASSERT_NE(locations.back(), nullptr);
            locations.back()->SetSectorsPerRecord(2);
            details.push_back({locations.back().get(), nullptr});
        }
        CSearchedNTFSPartitionInfo chosen(kSector);
        chosen.SetPartitionStart(0);
        chosen.SetSectorsPerCluster(kSpc);
        chosen.SetTotalSectors(kDiskSectors);
        chosen.SetClusterCount(kDiskSectors / kSpc);
        chosen.SetMftNumbering(1);
        NTFSFoundTreeInput input;
        input.partition = &chosen;
        input.mftDetails = &details;
        input.recordRuns = &runs;
        input.device = &device;
        input.search = &search;
        FileSystemNodePtr root = BuildFoundPartitionTree(input);
        ASSERT_NE(root, nullptr);
        for (const Expect& e : row.expect) {
            SCOPED_TRACE(e.path);
            CFileNode* node = Find(root.get(), e.path);
            ASSERT_EQ(node != nullptr, e.present);
            if (!e.present) continue;
            u64 start = ~u64(0);
            u32 spc = 0;
            ASSERT_TRUE(node->GetPartitionGeometry(start, spc));
            EXPECT_EQ(start, e.start);
            EXPECT_EQ(spc, e.spc);
            EXPECT_EQ(node->GetFileProperties()->GetState() & (kStateClustersTaken | kStateContentUnconfirmed),
                      e.state);
        }
        DestroySubtree(root.release());
    }
}

}  // namespace
