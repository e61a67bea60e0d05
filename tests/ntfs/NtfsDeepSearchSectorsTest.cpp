// The NTFS deep search's sector tests on hand-made bytes, its carries over block ends, and what
// it does with the candidates and nodes afterwards.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "ImageDevice.h"
#include "NtfsTestSupport.h"
#include "RecordingBuilder.h"
#include "TestUtil.h"
#include "engine/DataRunList.h"
#include "engine/FileNode.h"
#include "engine/FileProperties.h"
#include "fs/ntfs/CommonFileRecordInfo.h"
#include "fs/ntfs/NTFSDeepSearch.h"
#include "fs/ntfs/NTFSFileProperties.h"
#include "fs/ntfs/NTFSFoundTree.h"

namespace {

using testutil::ImageDevice;

constexpr u16 kUsn = 7;

// Sets the search over the device with blocks of that many sectors, reporting to the builder,
// and begins it.
void BeginOver(CNTFSSearchController& search, IStorageDevice& device, testutil::RecordingBuilder& builder,
               u32 blockSectors) {
    search.SetDevice(&device);
    search.SetBlockSectorCount(blockSectors);
    search.SetDirectoryTreeBuilder(&builder);
    search.BeginSearch();
}

// A 4096-byte INDX record of folder `parent` with `entries` file-name entries, fixed up.
std::vector<u8> MakeIndexRecord(u64 parent, int entries) {
    std::vector<u8> r(4096, 0);
    std::memcpy(r.data(), "INDX", 4);
    WriteLE16(r.data() + 4, 40);
    WriteLE16(r.data() + 6, 9);
    WriteLE64(r.data() + 8, 0x1234);
    WriteLE64(r.data() + 16, 3);  // VCN
    WriteLE32(r.data() + 24, 40);
    u32 at = 64;
    for (int i = 0; i < entries; ++i) {
        u8* e = r.data() + at;
        WriteLE16(e + 8, 0x68);
        WriteLE16(e + 10, 0x52);
        WriteLE64(e + 16, parent | (u64(1) << 48));
        WriteLE64(e + 56, 4096);
        WriteLE64(e + 64, 100);
        at += 0x68;
    }
    WriteLE16(r.data() + at + 8, 16);
    WriteLE16(r.data() + at + 12, 2);
    WriteLE32(r.data() + 28, at + 16 - 64);
    WriteLE32(r.data() + 32, 4072);
    WriteLE16(r.data() + 40, kUsn);
    for (u32 s = 1; s <= 8; ++s) {
        std::memcpy(r.data() + 40 + 2 * s, r.data() + s * 512 - 2, 2);
        WriteLE16(r.data() + s * 512 - 2, kUsn);
    }
    return r;
}

TEST(NtfsDeepSearchSectors, IndexRecordsAreCheckedInsideTheirOwnBytes) {
    struct Case {
        const char* what;
        void (*edit)(std::vector<u8>&);
        u32 length;
        bool valid;
    };
    const Case cases[] = {
        {"sound", [](std::vector<u8>&) {}, 4096, true},
        {"an entry of another folder", [](std::vector<u8>& r) { WriteLE64(r.data() + 64 + 0x68 + 16, 99); }, 4096,
         false},
        {"a real size above the allocated one", [](std::vector<u8>& r) { WriteLE64(r.data() + 64 + 64, 5000); },
         4096, false},
        {"a broken update sequence", [](std::vector<u8>& r) { WriteLE16(r.data() + 3 * 512 - 2, 8); }, 4096, false},
        {"an update sequence of 17 entries", [](std::vector<u8>& r) { WriteLE16(r.data() + 6, 17); }, 4096, false},
        {"more sectors than the window holds", [](std::vector<u8>&) {}, 1024, false},
        // An entry whose length leads far past the record: the walk stops, nothing is read there.
        {"a huge entry length", [](std::vector<u8>& r) { WriteLE16(r.data() + 64 + 8, 0xFFF0); }, 4096, true},
        {"entries past the record", [](std::vector<u8>& r) { WriteLE32(r.data() + 24, 0x7FFFFFF0); }, 4096,
         false},
        {"not INDX", [](std::vector<u8>& r) { r[0] = 'J'; }, 4096, false},
    };
    for (const Case& t : cases) {
        SCOPED_TRACE(t.what);
        std::vector<u8> r = MakeIndexRecord(70, 3);
        t.edit(r);
        // The record at the very end of its buffer, so that a read past it is a read past the
        // allocation.
        std::vector<u8> exact(r.begin(), r.begin() + t.length);
        const std::vector<u8> before = exact;
        u64 parent = 0;
        EXPECT_EQ(CheckIndexRecord(exact.data(), t.length, &parent), t.valid);
        if (t.valid) {
            EXPECT_EQ(parent, 70u);
        }
        EXPECT_EQ(exact, before) << "the bytes stay as read";
    }
}

TEST(NtfsDeepSearchSectors, RestartPagesNeedTheirNameAndSoundUpdateSequence) {
    std::vector<u8> page(4096, 0);
    std::memcpy(page.data(), "RSTR", 4);
    WriteLE16(page.data() + 30, kUsn);
    const char16_t name[] = u"NTFS";
    for (int i = 0; i < 4; ++i) WriteLE16(page.data() + 144 + 2 * i, name[i]);
    for (u32 s = 1; s <= 8; ++s) WriteLE16(page.data() + s * 512 - 2, kUsn);
    EXPECT_TRUE(IsNTFSRestartPage(page.data(), 4096));
    EXPECT_FALSE(IsNTFSRestartPage(page.data(), 3584));  // the last 7 sectors of a block
    std::vector<u8> noName = page;
    noName[144] = 'X';
    EXPECT_FALSE(IsNTFSRestartPage(noName.data(), 4096));
    std::vector<u8> broken = page;
    WriteLE16(broken.data() + 8 * 512 - 2, 1);
    EXPECT_FALSE(IsNTFSRestartPage(broken.data(), 4096));
}

struct Outcome {
    size_t reported = 0;
    std::vector<std::pair<u64, u64>> runs;
    u64 start = 0, total = 0, confirmations = 0, attrDef = 0, upCase = 0;
    u32 evidence = 0;
    size_t candidates = 0;
};

Outcome Search(IStorageDevice& device, u32 blockSectors) {
    testutil::RecordingBuilder builder;
    CNTFSSearchController search;
    BeginOver(search, device, builder, blockSectors);
    const u64 total = device.GetTotalSectors();
    for (u64 first = 0; first < total; first += blockSectors) {
        search.SearchBlock(first, std::min<u64>(blockSectors, total - first));
    }
    search.EndSearch();
    Outcome o;
    o.reported = builder.nodes.size();
    for (const NtfsRecordRun& r : search.GetRecordRuns()) o.runs.emplace_back(r.firstSector, r.count);
    o.candidates = search.GetCandidates().Size();
    const CSearchedNTFSPartitionInfo* best = ntfstest::BestCandidate(search);
    if (best) {
        o.start = best->GetPartitionStart();
        o.total = best->GetTotalSectors();
        o.confirmations = best->GetIndexConfirmations();
        o.evidence = best->GetEvidence();
        o.attrDef = best->GetAttrDefMatches();
        o.upCase = best->GetUpCaseMatches();
    }
    return o;
}

// Records, index records and pages cut by a block's end are completed from the next block: the
// search sees the same whatever the block length.
TEST(NtfsDeepSearchSectors, BlockLengthsThatCutRecordsFindTheSame) {
    ImageDevice device(testutil::FixturePath("ntfs-basic.img"), 512);
    ASSERT_TRUE(device.IsOpen());
    const Outcome whole = Search(device, 8192);
    EXPECT_GT(whole.reported, 60u);
    EXPECT_GT(whole.confirmations, 0u);
    for (u32 block : {9u, 17u, 1000u, 4097u}) {
        SCOPED_TRACE(block);
        const Outcome cut = Search(device, block);
        EXPECT_EQ(cut.reported, whole.reported);
        EXPECT_EQ(cut.runs, whole.runs);
        EXPECT_EQ(cut.start, whole.start);
        EXPECT_EQ(cut.total, whole.total);
        EXPECT_EQ(cut.evidence, whole.evidence);
        EXPECT_EQ(cut.confirmations, whole.confirmations);
        EXPECT_EQ(cut.attrDef, whole.attrDef);
        EXPECT_EQ(cut.upCase, whole.upCase);
    }
}

TEST(NtfsDeepSearchSectors, ANewSearchForgetsARecordCutByTheLastBlock) {
    ImageDevice device(testutil::FixturePath("ntfs-basic.img"), 512);
    u64 record = 0;
    {
        CNTFSSearchController probe;
        testutil::RecordingBuilder builder;
        BeginOver(probe, device, builder, 8192);
        probe.SearchBlock(0, 8192);
        ASSERT_FALSE(probe.GetRecordRuns().empty());
        const NtfsRecordRun& last = probe.GetRecordRuns().back();
        record = last.firstSector + 2 * (last.count - 1);
    }
    for (bool again : {false, true}) {
        SCOPED_TRACE(again);
        testutil::RecordingBuilder builder;
        CNTFSSearchController search;
        BeginOver(search, device, builder, 64);
        search.SearchBlock(record, 1);  // the record's first half, at a block's end
        if (again) search.BeginSearch();
        search.SearchBlock(record + 1, 1);
        EXPECT_EQ(builder.nodes.size(), again ? 0u : 1u);
    }
}

TEST(NtfsDeepSearchSectors, AFileTheBuilderRefusesIsFreedAndEndsLiveReporting) {
    ImageDevice device(testutil::FixturePath("ntfs-basic.img"), 512);
    testutil::RecordingBuilder builder;
    builder.refuseNodeAt = 0;
    builder.refuseError = kErrorNoTreeOfKind;
    CNTFSSearchController search;
    BeginOver(search, device, builder, 8192);
    search.SearchBlock(0, 8192);
    EXPECT_FALSE(search.IsLiveReporting());
    EXPECT_EQ(builder.addFoundCalls, 1u);
    EXPECT_TRUE(builder.nodes.empty());
    // The records are still kept for the tree of the partition.
    EXPECT_FALSE(search.GetRecordRuns().empty());
}

// A builder that has taken all but `room` entries of the running tree's cap before the search.
struct NearlyFullBuilder : testutil::RecordingBuilder {
    u64 room = kMaxCompleteNodes;
    u64 GetFoundEntryCount() override { return kMaxCompleteNodes - room + addFoundCalls; }
};

// The tree shown while the device is read files a deleted file under a folder of the number it
// names only when that folder's record shows it is its folder (by sequence number), whether the
// folder's record lies before the file's on the device or after it; a folder whose record a new
// folder took leaves the file with its stale id, as the finished trees do. A file held back waits
// as part of the tree: the tree and what it holds back stay within one cap.
TEST(NtfsDeepSearchSectors, TheTreeShownWhileScanningFilesADeletedFileAsTheFinishedTree) {
    constexpr u32 kFolderRecord = 66;
    constexpr u16 kFolderSequence = 3;  // the new folder's: the lost one's files name 2
    const struct {
        const char* what;
        bool folderFirst;
        bool own;             // the file names the folder's sequence: it is shown there at once
        bool noTree = false;  // the builder has no NTFS tree: nothing held is handed
        u32 room = 2;         // entries the tree takes before its cap
    } rows[] = {
        {"folder first, the file's own", true, true},
        {"file first, the file's own", false, true},
        {"folder first, taken by a new folder", true, false},
        {"file first, taken by a new folder", false, false},
        {"file first, no tree", false, false, true},
        {"file first, room for one", false, true, false, 1},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        const u64 parent = row.own ? kFolderRecord : StaleFolderId(kFolderRecord, 2);
        ntfstest::RecordBuilder folder;
        folder.Number(kFolderRecord).Sequence(kFolderSequence).Directory();
        folder.StandardInformation(0, 0x10);
        folder.FileName(5, u"B", 1, 0, 0x10000000);
        ntfstest::RecordBuilder file;
        file.Number(70).InUse(false);
        file.StandardInformation(0, 0x20);
        file.FileName(kFolderRecord | (u64(row.own ? kFolderSequence : 2) << 48), u"f1.bin", 1, 10);
        file.Resident(0x80, std::vector<u8>(10, 'x'));
        testutil::MemoryDevice device(512, 256);
        device.Put((row.folderFirst ? 100 : 102) * 512, folder.Build());
        device.Put((row.folderFirst ? 102 : 100) * 512, file.Build());

        NearlyFullBuilder builder;
        builder.room = row.room;
        if (row.noTree) {
            builder.refuseNodeAt = 0;
            builder.refuseError = kErrorNoTreeOfKind;
        }
        CNTFSSearchController search;
        BeginOver(search, device, builder, 256);
        search.SearchBlock(0, 256);
        auto shown = [&builder] {
            std::vector<u64> parents;
            for (const testutil::RecordedNode& n : builder.nodes) {
                if (n.name == "f1.bin") parents.push_back(n.parentId);
            }
            return parents;
        };
        EXPECT_EQ(shown(), row.own && row.room >= 2 ? std::vector<u64>{parent} : std::vector<u64>{});
        search.EndSearch();
        EXPECT_EQ(shown(), row.noTree ? std::vector<u64>{} : std::vector<u64>{parent});
        // Only the folder was offered when there is no tree; only the held file when it filled
        // the tree.
        EXPECT_EQ(builder.addFoundCalls, row.noTree ? 1u : std::min(2u, row.room));
    }
}

TEST(NtfsDeepSearchSectors, SingleIndexCandidatesArePrunedFromFiftyOn) {
    for (u32 count : {49u, 50u}) {
        SCOPED_TRACE(count);
        CNTFSSearchController search;
        // Single INDX candidates, and one that an INDX record confirmed.
        for (u32 i = 0; i + 1 < count; ++i) {
            auto c = std::make_unique<CSearchedNTFSPartitionInfo>(512);
            c->SetPartitionStart(1000 + i);
            c->SetSectorsPerCluster(8);
            c->SetEvidence(ntfsev::kIndexRecord);
            search.GetCandidates().Insert(std::move(c));
        }
        auto confirmed = std::make_unique<CSearchedNTFSPartitionInfo>(512);
        confirmed->SetPartitionStart(5000);
        confirmed->SetSectorsPerCluster(8);
        confirmed->SetEvidence(ntfsev::kIndexRecord);
        confirmed->AddIndexConfirmation();
        search.GetCandidates().Insert(std::move(confirmed));
        search.EndSearch();
        std::vector<CSearchedPartitionInfo*> left;
        search.GetSearchedPartitions(left);
        EXPECT_EQ(left.size(), count < 50 ? count : 1u);
        for (CSearchedPartitionInfo* c : left) EXPECT_EQ(c->GetSearchController(), &search);
    }
}

// A node of an NTFS file with the given parent, recorded at `sector`.
CFileNode* MakeNode(u64 parent, u64 sector, u8 flag) {
    CFileNode* node = CreateFileNode().release();
    CNTFSFileProperties* p = CreateNTFSFileProperties().release();
    NTFSFilePropertiesData data;
    data.name = "x.txt";
    data.nameLength = 6;
    data.size = 10;
    p->SetData(data);
    p->SetFlag(flag);
    node->SetFileProperties(p);
    node->SetParentId(parent);
    node->SetId(1234);
    node->SetRecordSector(sector);
    return node;
}

TEST(NtfsDeepSearchSectors, NodesAreCheckedAndReReadThroughTheCandidate) {
    ImageDevice device(testutil::FixturePath("ntfs-basic.img"), 512);
    testutil::RecordingBuilder builder;
    CNTFSSearchController search;
    BeginOver(search, device, builder, 8192);
    for (u64 first = 0; first < device.GetTotalSectors(); first += 8192) search.SearchBlock(first, 8192);
    search.EndSearch();
    CSearchedNTFSPartitionInfo* best = ntfstest::BestCandidate(search);
    ASSERT_NE(best, nullptr);
    const u64 mft = best->GetMftSector();
    ASSERT_NE(mft, kNtfsUnknown);
    const u64 userRecord = mft + 2 * 64;  // the first record a fresh volume gives a user file

    struct Case {
        u64 parent;
        u64 sector;
        u8 flag;
        u32 answer;
        u64 parentAfter;
    };
    const Case cases[] = {
        {5, 10, 0, 1, kUnknownNodeId},  // at the root, yet in no $MFT of the candidate
        {5, mft + 80, 0, 1, 5},
        {77, 10, 0, 1, 77},
        {5, 10, 1, 0, 5},               // re-read, but no record there: unchanged
    };
    for (const Case& t : cases) {
        CFileNode* node = MakeNode(t.parent, t.sector, t.flag);
        EXPECT_EQ(best->ApplyToFileNode(node), t.answer);
        EXPECT_EQ(node->GetParentId(), t.parentAfter);
        EXPECT_EQ(node->GetId(), 1234u);
        DestroyTreeNode(node);
    }
    // A flagged node at a real record takes the record's number, parent and properties.
    CFileNode* node = MakeNode(77, userRecord, 1);
    EXPECT_EQ(best->ApplyToFileNode(node), 1u);
    EXPECT_NE(node->GetId(), 1234u);
    EXPECT_STRNE(node->GetFileProperties()->GetName(), "x.txt");
    DestroyTreeNode(node);
}

TEST(NtfsDeepSearchSectors, PruningDropsEmptyFilesAndTheFoldersTheyLeaveEmpty) {
    auto folder = [](const char* name) {
        CFileNode* n = CreateFileNode().release();
        n->SetFileProperties(CreateNTFSFolderProperties(name));
        return n;
    };
    auto file = [](u64 size) {
        CFileNode* n = CreateFileNode().release();
        CNTFSFileProperties* p = CreateNTFSFileProperties().release();
        NTFSFilePropertiesData data;
        data.name = "f";
        data.nameLength = 2;
        data.size = size;
        p->SetData(data);
        n->SetFileProperties(p);
        return n;
    };
    CFileNode* lost = folder(kOtherLostFilesName);
    CFileNode* onlyEmpty = folder("a");
    CFileNode* kept = folder("b");
    CFileNode* nested = folder("c");
    lost->AddChild(file(0));
    lost->AddChild(onlyEmpty);
    onlyEmpty->AddChild(file(0));
    onlyEmpty->AddChild(nested);
    nested->AddChild(file(0));
    lost->AddChild(kept);
    CFileNode* data = file(10);
    kept->AddChild(data);
    PruneEmptyTreeNodes(lost);
    std::vector<const CFileNode*> left;
    for (const CFileNode* c = lost->GetFirstChild(); c; c = c->GetNextSibling()) left.push_back(c);
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(left[0], kept);
    EXPECT_EQ(kept->GetFirstChild(), data);
    DestroySubtree(lost);
}

TEST(NtfsDeepSearchSectors, ClusterUseCountsClustersOfTheDevicesOwnSectorSize) {
    struct Case {
        u32 sectorSize;
        u64 size;
        u64 used;  // clusters of the record (at sector 5) and of the run at cluster 10
    };
    // One sector per cluster: a 1024-byte record spans two 512-byte clusters, one 4096-byte one;
    // 5000 bytes take ten 512-byte clusters (the run has four) or two 4096-byte ones.
    for (const Case& t : {Case{512, 5000, 2 + 4}, Case{4096, 5000, 1 + 2}}) {
        SCOPED_TRACE(t.sectorSize);
        CClusterUseMap map(0, 1, t.sectorSize, 100);
        map.MarkRecord(5);
        CNoneResidentNTFSDataRunList runs;
        runs.AppendExtent(u64(kSparseExtentStart), 1000000000000ull);  // a hole takes no cluster
        runs.AppendExtent(10, 4);
        map.MarkExtents(runs, t.size + 1000000000000ull * t.sectorSize);
        EXPECT_EQ(map.CountUsed(), t.used);
        EXPECT_TRUE(map.IsUsed(10));
        EXPECT_FALSE(map.IsUsed(100));
    }
}

}  // namespace
