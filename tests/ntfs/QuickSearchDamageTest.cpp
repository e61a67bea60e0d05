// The deleted-file scan over damaged copies of a volume: a bad record is skipped and the rest of
// the volume is still listed; a bad boot sector refuses the volume; nothing crashes or hangs.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <set>

#include "TreeStubs.h"
#include "QuickSearchTestSupport.h"
#include "TestUtil.h"
#include "engine/DirectoryTree.h"
#include "engine/DirectoryTreeBuilder.h"
#include "engine/FileSystemNode.h"
#include "engine/PartitionTree.h"
#include "engine/RecoveryFilter.h"
#include "fs/ntfs/NTFSRecord.h"

using namespace quicktest;
using testutil::RecordedNode;

namespace {

constexpr u32 kSector = 512;
constexpr u32 kRecord = 1024;

void Patch(const std::string& path, u64 offset, const std::vector<u8>& bytes) {
    std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
    ASSERT_TRUE(f.good());
    f.seekp(std::streamoff(offset));
    f.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    ASSERT_TRUE(f.good());
}

std::vector<u8> ReadAt(const std::string& path, u64 offset, u32 length) {
    std::ifstream f(path, std::ios::binary);
    std::vector<u8> out(length);
    f.seekg(std::streamoff(offset));
    f.read(reinterpret_cast<char*>(out.data()), length);
    return out;
}

std::vector<u8> LE(u64 v, u32 bytes) {
    std::vector<u8> out(bytes);
    for (u32 i = 0; i < bytes; ++i) out[i] = u8(v >> (8 * i));
    return out;
}

// A writable copy of ntfs-basic with what the clean scan found in it.
class DamagedVolume : public ::testing::Test {
protected:
    void SetUp() override {
        path = testutil::CopyFixture(dir, "ntfs-basic.img");
        const std::vector<u8> boot = ReadAt(path, 0, kSector);
        mftByte = ReadLE64(boot.data() + 48) * boot[13] * kSector;
        clean = Scan();
        ASSERT_EQ(clean->result, 0u);
        ASSERT_GT(clean->builder.nodes.size(), 50u);
    }

    std::unique_ptr<QuickRun> Scan() {
        testutil::ImageDevice device(path, kSector);
        return RunQuickSearch(&device);
    }

    u64 RecordOf(const std::string& name) const {
        for (const RecordedNode& n : clean->builder.nodes) {
            if (n.name == name) return n.id;
        }
        ADD_FAILURE() << name;
        return 0;
    }
    u64 RecordByte(u64 number) const { return mftByte + number * kRecord; }

    // Offset (inside the record) of the n-th attribute of a type, found on a fixed-up copy.
    i32 AttributeOffset(u64 number, u32 type, u32 n) {
        std::vector<u8> r = ReadAt(path, RecordByte(number), kRecord);
        ApplyFileRecordFixups(r.data(), kRecord);
        return FindRecordAttributeOffset(r.data(), kRecord, type, n);
    }

    static bool Has(const QuickRun& run, const std::string& name) {
        for (const RecordedNode& n : run.builder.nodes) {
            if (n.name == name) return true;
        }
        return false;
    }
    // Every node of the clean scan but the named ones is found again.
    void ExpectRestListed(const QuickRun& run, const std::set<std::string>& missing) {
        for (const RecordedNode& n : clean->builder.nodes) {
            if (missing.count(n.name)) {
                EXPECT_FALSE(Has(run, n.name)) << n.name;
            } else {
                EXPECT_TRUE(Has(run, n.name)) << n.name;
            }
        }
    }

    testutil::TempDir dir;
    std::string path;
    u64 mftByte = 0;
    std::unique_ptr<QuickRun> clean;
};

TEST_F(DamagedVolume, RecordWithBrokenFixupIsSkipped) {
    const u64 number = RecordOf("index_summary_375.docx");
    Patch(path, RecordByte(number) + 510, {0xAD, 0xDE});
    std::unique_ptr<QuickRun> run = Scan();
    EXPECT_EQ(run->result, 0u);
    ExpectRestListed(*run, {"index_summary_375.docx"});
}

TEST_F(DamagedVolume, RecordWithAttributeLengthPastItsEndIsSkipped) {
    const u64 a = RecordOf("analysis_guitar_487.csv");
    const u64 b = RecordOf("HARVEST.HTML");
    // The first attribute claims 1 MiB; in the other record the $FILE_NAME runs past the record.
    const i32 first = AttributeOffset(a, ntfs::kAttrStandardInformation, 0);
    ASSERT_GT(first, 0);
    Patch(path, RecordByte(a) + u32(first) + 4, LE(1u << 20, 4));
    const i32 name = AttributeOffset(b, ntfs::kAttrFileName, 0);
    ASSERT_GT(name, 0);
    Patch(path, RecordByte(b) + u32(name) + 4, LE(kRecord - u32(name) + 8, 4));
    std::unique_ptr<QuickRun> run = Scan();
    EXPECT_EQ(run->result, 0u);
    ExpectRestListed(*run, {"analysis_guitar_487.csv", "HARVEST.HTML"});
}

TEST_F(DamagedVolume, RunsBeyondTheVolumeAreCut) {
    const u64 volumeClusters = 131072 / 8;
    const u64 number = RecordOf("São Größe-24.doc");
    const i32 data = AttributeOffset(number, ntfs::kAttrData, 0);
    ASSERT_GT(data, 0);
    const std::vector<u8> head = ReadAt(path, RecordByte(number) + u32(data), 64);
    ASSERT_NE(head[8], 0);  // non-resident
    const u16 pairs = ReadLE16(head.data() + 32);
    // 4 clusters at cluster 0x7FFFFF, far past the volume's end.
    Patch(path, RecordByte(number) + u32(data) + pairs, {0x31, 0x04, 0xFF, 0xFF, 0x7F, 0x00});

    // The $MFT's own run claims 2^31 clusters: the walk reads no further than the volume.
    const i32 mftData = AttributeOffset(0, ntfs::kAttrData, 0);
    ASSERT_GT(mftData, 0);
    const u16 mftPairs = ReadLE16(ReadAt(path, RecordByte(0) + u32(mftData) + 32, 2).data());
    Patch(path, RecordByte(0) + u32(mftData) + mftPairs, {0x14, 0xFF, 0xFF, 0xFF, 0x7F, 0x04, 0x00, 0x00});

    std::unique_ptr<QuickRun> run = Scan();
    EXPECT_EQ(run->result, 0u);
    ExpectRestListed(*run, {});
    for (const RecordedNode& n : run->builder.nodes) {
        for (const DataRunExtent& e : n.runs) {
            if (e.start < 0) continue;
            EXPECT_LE(u64(e.start) + e.length, volumeClusters) << n.name;
        }
    }
    for (const RecordedNode& n : run->builder.nodes) {
        if (n.name != "São Größe-24.doc") continue;
        ASSERT_FALSE(n.runs.empty());
        // Clusters that cannot be read, never a hole that reads as zeros.
        for (const DataRunExtent& e : n.runs) EXPECT_EQ(e.start, kOutsideVolumeExtentStart);
    }
    // The $MFT was walked up to the volume's end, not through 2^31 clusters.
    ASSERT_FALSE(run->progress.reports.empty());
    EXPECT_GT(run->progress.reports.back().Total, 100000u);
    EXPECT_LE(run->progress.reports.back().Total, 131072u);
}

// ---- through the real builder ----
struct TreeFile {
    std::string name;
    bool taken = false;  // its clusters held by another file
};
// The files of the volume's quick tree by record number.
std::map<u64, TreeFile> QuickTreeFiles(const std::string& path) {
    std::map<u64, TreeFile> files;
    testutil::ImageDevice device(path, kSector);
    testutil::AcceptAllFilter filter(0x40);
    testutil::SilentTree view;
    IDirecotryTreeBuilder* builder = CreateDirectoryTreeBuilder();
    if (builder->Init("scan", &view, &filter, kBuilderQuickMode, &device, 0) != 1u) return files;
    CountingProgress progress;
    CNTFSQuickSearch search;
    search.SetDirectoryTreeBuilder(builder);
    search.Search(&device, &progress);
    builder->FinishSearch();
    builder->FinishBuild();
    CQuickScanTree* tree = static_cast<CDirectoryTreeBuilder*>(builder)->GetQuickTree();
    std::vector<CFileNode*> stack{tree ? tree->GetRoot() : nullptr};
    // A cycle among the nodes would never end the walk: the volume has far fewer.
    constexpr size_t kMostNodes = 100000;
    for (size_t visited = 0; !stack.empty() && visited < kMostNodes; ++visited) {
        CFileNode* n = stack.back();
        stack.pop_back();
        if (n == nullptr) continue;
        for (CFileNode* c = n->GetFirstChild(); c != nullptr; c = c->GetNextSibling()) stack.push_back(c);
        const IFileProperties* p = n->GetFileProperties();
        if (p && (p->GetAttributes() & kAttrDirectory) == 0) {
            files[n->GetId()] = {p->GetName() ? p->GetName() : "", (p->GetState() & kStateClustersTaken) != 0};
        }
    }
    builder->Release();
    return files;
}

TEST_F(DamagedVolume, ParentCyclesEndTheWalk) {
    // deep -> level5 -> nested -> deep, and Music is its own parent; a file inside each is
    // marked deleted so that the quick tree has to look for its folders.
    const u64 deep = RecordOf("deep"), level5 = RecordOf("level5"), music = RecordOf("Music");
    auto setParent = [&](u64 record, u64 parent) {
        for (u32 i = 0; i < 2; ++i) {
            const i32 a = AttributeOffset(record, ntfs::kAttrFileName, i);
            if (a <= 0) continue;
            const u16 value = ReadLE16(ReadAt(path, RecordByte(record) + u32(a) + 20, 2).data());
            Patch(path, RecordByte(record) + u32(a) + value, LE(parent, 6));
        }
    };
    setParent(deep, level5);
    setParent(music, music);
    for (const char* name : {"DSC87136.PDF", "FILE1990.MID"}) {
        const u64 n = RecordOf(name);
        const std::vector<u8> flags = ReadAt(path, RecordByte(n) + 22, 2);
        Patch(path, RecordByte(n) + 22, {u8(flags[0] & ~1), flags[1]});
    }

    std::unique_ptr<QuickRun> run = Scan();
    EXPECT_EQ(run->result, 0u);
    ExpectRestListed(*run, {});

    std::set<std::string> names;
    for (const auto& [record, file] : QuickTreeFiles(path)) names.insert(file.name);
    EXPECT_EQ(names.count("DSC87136.PDF"), 1u);
    EXPECT_EQ(names.count("FILE1990.MID"), 1u);
}

// ---- clusters two deleted files claim ----
TEST_F(DamagedVolume, OfTwoDeletedFilesOnOneClusterTheOneDeletedLastKeepsIt) {
    // A deleted file whose clusters are its own is copied over another deleted file's record: two
    // deleted records on the same clusters, whose log sequence numbers tell which was deleted last.
    const std::map<u64, TreeFile> before = QuickTreeFiles(path);
    u64 kept = 0, copy = 0;
    for (const RecordedNode& n : clean->builder.nodes) {
        if (!n.IsDeleted() || n.IsFolder() || n.resident || n.runs.empty() || n.size == 0) continue;
        const auto it = before.find(n.id);
        if (it == before.end() || it->second.taken) continue;
        (kept == 0 ? kept : copy) = n.id;
        if (copy != 0) break;
    }
    ASSERT_NE(copy, 0u);
    Patch(path, RecordByte(copy), ReadAt(path, RecordByte(kept), kRecord));
    struct Row {
        u64 keptLsn, copyLsn;
        bool keptTaken, copyTaken;
    };
    // Equal numbers and the same times prove no order: both are counted incomplete.
    for (const Row& r : {Row{0x2000, 0x3000, true, false}, Row{0x3000, 0x2000, false, true},
                         Row{0x2000, 0x2000, true, true}}) {
        SCOPED_TRACE(testing::Message() << std::hex << r.keptLsn << " " << r.copyLsn);
        Patch(path, RecordByte(kept) + 8, LE(r.keptLsn, 8));
        Patch(path, RecordByte(copy) + 8, LE(r.copyLsn, 8));
        std::map<u64, TreeFile> after = QuickTreeFiles(path);
        ASSERT_EQ(after.count(kept) + after.count(copy), 2u);
        EXPECT_EQ(after[kept].taken, r.keptTaken);
        EXPECT_EQ(after[copy].taken, r.copyTaken);
        // Every other file stays as the clean volume had it.
        for (const auto& [record, file] : before) {
            if (record == kept || record == copy || after.count(record) == 0) continue;
            EXPECT_EQ(after[record].taken, file.taken) << file.name;
        }
    }
}

// ---- the boot sector ----
TEST_F(DamagedVolume, AbsurdBootSectorGeometryRefusesTheVolume) {
    const std::vector<u8> original = ReadAt(path, 0, kSector);
    struct Case {
        u32 offset;
        u8 value;
    };
    // Record sizes of 127 clusters, 2^40 bytes, 512 bytes and 8 KiB; clusters of 3 and 0 sectors.
    for (const Case& c : {Case{64, 0x7F}, Case{64, u8(-40)}, Case{64, u8(-9)}, Case{64, u8(-13)}, Case{13, 3},
                          Case{13, 0}}) {
        SCOPED_TRACE(testing::Message() << c.offset << "=" << int(c.value));
        std::vector<u8> boot = original;
        boot[c.offset] = c.value;
        Patch(path, 0, boot);
        std::unique_ptr<QuickRun> run = Scan();
        EXPECT_EQ(run->result, kNtfsQuickNoBootSector);
        EXPECT_TRUE(run->builder.roots.empty());
        EXPECT_TRUE(run->builder.nodes.empty());
    }
}

TEST_F(DamagedVolume, WipedBootSectorFailsEvenWithItsBackupIntact) {
    Patch(path, 0, std::vector<u8>(kSector, 0));
    std::unique_ptr<QuickRun> run = Scan();
    EXPECT_EQ(run->result, kNtfsQuickNoBootSector);
}

TEST_F(DamagedVolume, GarbageMFTClusterIsScannedThroughTheMirror) {
    Patch(path, 48, LE(1, 8));
    std::unique_ptr<QuickRun> run = Scan();
    EXPECT_EQ(run->result, 0u);
    ASSERT_EQ(run->builder.roots.size(), 1u);
    EXPECT_EQ(run->builder.roots[0].name, "Fixtures NTFS");
    ExpectRestListed(*run, {});

    // Neither copy: the volume has no $MFT.
    Patch(path, 56, LE(2, 8));
    run = Scan();
    EXPECT_EQ(run->result, kNtfsQuickNoMFT);
    EXPECT_TRUE(run->builder.roots.empty());
}

}  // namespace
