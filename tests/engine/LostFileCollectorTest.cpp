// The lost-file pass: files found by signature become nodes under "更多丢失文件", one folder per
// file type, with names made from the analyser's text or "Morvenda" and a counter per type.
#include <gtest/gtest.h>

#include <strings.h>

#include <array>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "ImageDevice.h"
#include "TreeStubs.h"
#include "devices/ScanOptions.h"
#include "engine/FileNode.h"
#include "engine/FileProperties.h"
#include "engine/FileSystemNode.h"
#include "engine/LostFileCollector.h"
#include "engine/RawFileInfoPool.h"
#include "engine/RawFileProperties.h"
#include "engine/FileSystemPlugins.h"
#include "engine/RawFileInfo.h"
#include "engine/RawFileTypes.h"

namespace {

u32 TypeOf(const char* extension) {
    for (u32 t = 0; t < kRawFileTypeCount; ++t) {
        if (strcasecmp(RawFileTypeExtension(t), extension) == 0) return t;
    }
    return 0;
}

// Keeps what it is handed; refuses the node with the given index.
class InsertingBuilder : public testutil::NullTreeBuilder {
public:
    ~InsertingBuilder() override {
        for (CFileNode* n : nodes) DestroyTreeNode(n);
    }
    u32 InsertNode(CFileNode* node, CSearchedPartitionInfo* partition) override {
        if (long(calls++) == refuseAt) return 0;
        partitions.push_back(partition);
        nodes.push_back(node);
        return 1;
    }
    const CFileNode* Named(const std::string& name) const {
        for (const CFileNode* n : nodes) {
            const IFileProperties* p = n->GetFileProperties();
            if (p && p->GetName() && name == p->GetName()) return n;
        }
        return nullptr;
    }
    std::vector<CFileNode*> nodes;
    std::vector<CSearchedPartitionInfo*> partitions;
    long refuseAt = -1;
    u32 calls = 0;
};

// Measures the found files of unknown size as the signature search would: the record at sector
// 400 is 4096 bytes long and has a text, the others cannot be measured.
class MeasuringRow {
public:
    MeasuringRow() {
        FileSystemPlugin row;
        row.name = kName;
        row.measureFoundFile = [](CRawFileInfo& record, IStorageDevice*, std::string& text1, std::string& text2) {
            if (record.startSector != 400) return false;
            record.size = 4096;
            text1 = "Take:5 ";
            text2.clear();
            return true;
        };
        RegisterFileSystemPlugin(row);
    }
    ~MeasuringRow() { UnregisterFileSystemPlugin(kName); }

private:
    static constexpr const char* kName = "lost-file measurer";
};

std::unique_ptr<CRawFileInfo> Record(u64 sector, u64 size, u32 type, const std::string& text = "") {
    auto r = std::make_unique<CRawFileInfo>();
    r->startSector = sector;
    r->size = size;
    r->fileType = type;
    if (!text.empty()) r->SetNameText(text);
    return r;
}

class RawSwitch {
public:
    explicit RawSwitch(u32 on) : m_old(GetScanOptions().GetScanRaw()) { GetScanOptions().SetScanRaw(on); }
    ~RawSwitch() { GetScanOptions().SetScanRaw(m_old); }

private:
    u32 m_old;
};

TEST(LostFileCollector, FilesEachTypeInItsFolderWithNumberedNames) {
    RawSwitch raw(1);
    const u32 jpg = TypeOf("jpg");
    const u32 mp3 = TypeOf("mp3");
    ASSERT_NE(jpg, 0u);
    ASSERT_NE(mp3, 0u);
    MeasuringRow measurer;
    CRawFileInfoPool pool;
    pool.Add(Record(100, 5000, jpg));
    pool.Add(Record(200, 700, mp3, "My Song "));
    pool.Add(Record(300, 1234, jpg));
    pool.Add(Record(400, 0, mp3));
    pool.Add(Record(500, 0, jpg));  // stays of unknown size: left out
    pool.Add(Record(600, 10, jpg, "a/b:c"));

    InsertingBuilder builder;
    LostFileCollector collector;
    testutil::MemoryDevice device(512, 1000);
    ASSERT_TRUE(collector.Collect(&device, pool, &builder, nullptr, nullptr));

    ASSERT_FALSE(builder.nodes.empty());
    const CFileNode* root = builder.nodes[0];
    ASSERT_TRUE(root->IsFileSystemNode());
    EXPECT_STREQ(root->GetFileProperties()->GetName(), kMoreLostFilesFolderName);
    EXPECT_EQ(root->GetId(), 0u);
    EXPECT_EQ(root->GetFileSystemType(), 6u);

    struct Expected {
        std::string name;
        u32 parent;
        u64 id;
        u64 size;
    };
    const std::string j = std::string(".") + RawFileTypeExtension(jpg);
    const std::string m = std::string(".") + RawFileTypeExtension(mp3);
    const Expected files[] = {
        {"Morvenda_000" + j, jpg, 2001, 5000},
        {"My Song000" + m, mp3, 2002, 700},
        {"Morvenda_001" + j, jpg, 2003, 1234},
        {"Take_5001" + m, mp3, 2004, 4096},
        {"a_b_c002" + j, jpg, 2005, 10},
    };
    for (const Expected& e : files) {
        const CFileNode* n = builder.Named(e.name);
        ASSERT_NE(n, nullptr) << e.name;
        EXPECT_EQ(n->GetParentId(), e.parent) << e.name;
        EXPECT_EQ(n->GetId(), e.id) << e.name;
        EXPECT_EQ(n->GetFileProperties()->GetSize(), e.size) << e.name;
        EXPECT_EQ(n->GetFileProperties()->GetAttributes(), kAttrArchive);
    }
    const CFileNode* jpgFolder = builder.Named(LostFileCollector::FileTypeFolderName(jpg));
    ASSERT_NE(jpgFolder, nullptr);
    EXPECT_EQ(jpgFolder->GetId(), jpg);
    EXPECT_EQ(jpgFolder->GetParentId(), 0u);
    EXPECT_EQ(jpgFolder->GetFileProperties()->GetAttributes(), kAttrDirectory);
    // The root, two folders and five files.
    EXPECT_EQ(builder.nodes.size(), 1u + 2u + 5u);
}

TEST(LostFileCollector, DoesNothingWithoutTheRawSearchAndStopsWhenRefused) {
    const u32 jpg = TypeOf("jpg");
    CRawFileInfoPool pool;
    pool.Add(Record(100, 5000, jpg));
    pool.Add(Record(200, 5000, jpg));
    {
        RawSwitch raw(0);
        InsertingBuilder builder;
        LostFileCollector collector;
        EXPECT_FALSE(collector.Collect(nullptr, pool, &builder, nullptr, nullptr));
        EXPECT_TRUE(builder.nodes.empty());
    }
    RawSwitch raw(1);
    for (long refuse : {0L, 1L, 2L}) {
        InsertingBuilder builder;
        builder.refuseAt = refuse;  // the root, the folder, the first file
        LostFileCollector collector;
        EXPECT_FALSE(collector.Collect(nullptr, pool, &builder, nullptr, nullptr)) << refuse;
        EXPECT_EQ(builder.nodes.size(), size_t(refuse)) << refuse;
    }
}

TEST(LostFileCollector, NamesAreBoundedAtACharacterBoundaryAndSanitised) {
    const u32 jpg = TypeOf("jpg");
    LostFileCollector collector;
    std::string text;
    for (int i = 0; i < 200; ++i) text += "é";  // 400 bytes
    const std::string name = collector.MakeRawFileName(jpg, text);
    EXPECT_LE(name.size(), LostFileCollector::kMaxStoredName);
    EXPECT_EQ(name.substr(name.size() - 7), std::string("000.") + RawFileTypeExtension(jpg));
    const std::string head = name.substr(0, name.size() - 7);
    EXPECT_EQ(head.size() % 2, 0u) << "a character was cut in two";

    EXPECT_EQ(LostFileCollector::SanitizeFileNameText("x\\y/z:?\"<>|*\r\n  "), "x_y_z_________");
    EXPECT_EQ(LostFileCollector::SanitizeFileNameText(""), "");
    std::string s = "a--b--";
    LostFileCollector::ReplaceAll(s, "-", "_");
    EXPECT_EQ(s, "a__b__");
}

// The pass after chosen partitions: a file whose first sector lies in a partition's sectors is
// that partition's to file; the rest are filed as without any, and a pass with nothing left to
// file adds no root beside the partitions' trees. A partition's own pass files only what begins
// in a cluster of its volume that no live file uses; one of which a later sector lies in a live
// file's cluster holds that file's bytes there and is counted incomplete. Found files never weigh
// against each other, and nothing outside a volume's clusters weighs at all.
TEST(LostFileCollector, FilesOnlyWhatStartsOutsideTheRangesLeftOut) {
    RawSwitch raw(1);
    const u32 jpg = TypeOf("jpg");
    constexpr u64 kTop = ~u64(0);
    struct Case {
        const char* what;
        std::vector<std::pair<u64, u64>> leftOut;  // first sector, sectors
        std::vector<u64> sectors;                  // of the found files, in pool order
        std::vector<u64> expected;                 // the sectors filed, in order
        std::array<u64, 3> volume = {};            // first sector, sectors per cluster, clusters; 0s: none
        std::set<u64> used = {};                   // the volume's clusters in use
        std::set<u64> taken = {};                  // the filed files counted incomplete, by sector
    };
    const Case cases[] = {
        {"both edges of a range", {{1000, 500}}, {999, 1000, 1499, 1500}, {999, 1500}},
        {"two ranges, the gap between", {{100, 100}, {300, 100}}, {150, 250, 350, 400}, {250, 400}},
        {"a range running past 2^64", {{kTop - 10, 100}}, {5, kTop - 11, kTop - 10, kTop}, {5, kTop - 11}},
        {"an empty range holds nothing", {{1000, 0}, {2000, 10}}, {1000, 2005}, {1000}},
        {"everything inside", {{0, 5000}}, {0, 4999}, {}},
        // Clusters of 8 sectors from sector 100 on, cluster 25 (sectors 300 to 307) in use.
        {"a volume's free clusters", {}, {99, 100, 300, 307, 308, 899, 900}, {100, 308, 899}, {100, 8, 100}, {25}},
        {"a volume without a cluster size", {}, {100, 500}, {}, {100, 0, 100}},
        {"a range left out of a volume", {{100, 8}}, {100, 108}, {108}, {100, 8, 100}},
        // Each file is 8 sectors long.
        {"a live cluster after a free one", {}, {292, 293, 296, 308}, {292, 293, 296, 308}, {100, 8, 100}, {25},
         {293, 296}},
        {"a live file inside a found one", {}, {100, 104, 108}, {100, 108}, {100, 4, 100}, {1}, {100}},
        {"a file found inside another", {}, {100, 101, 104}, {100, 101, 104}, {100, 8, 100}, {}},
        // Cluster 100 lies past the volume's end: whatever its number is given to there is no file of
        // this volume.
        {"past the volume's end", {}, {890, 896}, {890, 896}, {100, 8, 100}, {100}, {}},
        {"a range left out weighs nothing", {{300, 8}}, {296}, {296}, {}, {}, {}},
    };
    for (const Case& c : cases) {
        CRawFileInfoPool pool;
        // The name text tells which record a node was made from.
        for (u64 sector : c.sectors) pool.Add(Record(sector, 4096, jpg, "s" + std::to_string(sector) + "_"));
        InsertingBuilder builder;
        LostFileCollector collector;
        std::vector<u64> asked;  // the clusters the volume was asked about
        for (const auto& [first, sectors] : c.leftOut) collector.LeaveOut(first, sectors);
        if (c.volume[1] != 0 || c.volume[2] != 0) {
            collector.KeepToFreeClusters(c.volume[0], u32(c.volume[1]), c.volume[2], [&](u64 cluster) {
                asked.push_back(cluster);
                return c.used.count(cluster) != 0;
            });
        }
        // No device: nothing bounds the sizes, so only the ranges decide.
        ASSERT_TRUE(collector.Collect(nullptr, pool, &builder, nullptr, nullptr)) << c.what;
        if (c.expected.empty()) {
            EXPECT_TRUE(builder.nodes.empty()) << c.what;
            continue;
        }
        // The root, the type's folder, then the files.
        ASSERT_EQ(builder.nodes.size(), 2 + c.expected.size()) << c.what;
        EXPECT_STREQ(builder.nodes[0]->GetFileProperties()->GetName(), kMoreLostFilesFolderName) << c.what;
        for (size_t i = 0; i < c.expected.size(); ++i) {
            const std::string name = "s" + std::to_string(c.expected[i]) + "_" + std::to_string(1000 + i).substr(1) +
                                     "." + RawFileTypeExtension(jpg);  // the counter: 000, 001, ...
            const IFileProperties* p = builder.nodes[2 + i]->GetFileProperties();
            EXPECT_STREQ(p->GetName(), name.c_str()) << c.what;
            EXPECT_EQ((p->GetState() & kStateClustersTaken) != 0, c.taken.count(c.expected[i]) != 0)
                << c.what << ": the file at sector " << c.expected[i];
        }
        // The first cluster of each record is asked to place it, and the clusters the filed
        // files cover once more to weigh them, however many files cover them.
        std::map<u64, size_t> times, starts;
        for (u64 sector : c.sectors) {
            if (c.volume[1] != 0 && sector >= c.volume[0]) ++starts[(sector - c.volume[0]) / c.volume[1]];
        }
        for (u64 cluster : asked) EXPECT_LE(++times[cluster], starts[cluster] + 1) << c.what << ": cluster " << cluster;
    }
}

// A file found outside every partition that runs into one holds, where a live file or folder of
// that partition's tree lies, that file's bytes: it is counted incomplete. Deleted files of the
// tree and the files of a volume found inside it take nothing.
TEST(LostFileCollector, AFileRunningIntoAPartitionWeighsAgainstItsTree) {
    RawSwitch raw(1);
    const u32 jpg = TypeOf("jpg");
    // The partition from sector 1000 on, one sector a cluster; its tree's files by first sector.
    FileSystemNodePtr root = CreateFileSystemNode();
    ASSERT_TRUE(root);
    root->SetPartitionGeometry(1000, 1);
    // One cluster of 512 bytes for each, whatever size it states.
    struct Sized : CRAWFileProperties {
        using CRAWFileProperties::SetSize;
    };
    const auto child = [](CFileNode& parent, u64 cluster, u64 size, u16 attributes, u8 state) {
        TreeNodePtr node = CreateFileNode();
        PropertiesRef<Sized> p(new Sized);
        p->SetExtent(cluster, 512);
        p->SetSize(size);
        p->SetAttributes(attributes);
        p->SetState(state);
        node->SetFileProperties(p.release());
        parent.AddChild(node.release());
    };
    child(*root, 0, 512, kAttrArchive, 0);               // sector 1000
    child(*root, 100, 0, kAttrDirectory, 0);             // a folder stating no size: sector 1100
    child(*root, 200, 512, kAttrArchive, kStateDeleted);  // sector 1200, deleted
    FileSystemNodePtr inner = CreateFileSystemNode();
    inner->SetPartitionGeometry(0, 1);
    child(*inner, 1300, 512, kAttrArchive, 0);  // read with the tree's geometry it would hold 2300
    root->AddChild(inner.release());

    CRawFileInfoPool pool;
    // Each 4096 bytes, 8 sectors long; the name tells the sector. Only the tree's first sectors
    // are left out, so that files beside each of its files are filed.
    for (u64 sector : {992, 993, 1096, 1196, 2296}) {
        pool.Add(Record(sector, 4096, jpg, "s" + std::to_string(sector) + "_"));
    }
    InsertingBuilder builder;
    LostFileCollector collector;
    collector.LeaveOut(1000, 8, root.get());
    ASSERT_TRUE(collector.Collect(nullptr, pool, &builder, nullptr, nullptr));
    std::map<std::string, bool> taken;
    for (const CFileNode* n : builder.nodes) {
        const IFileProperties* p = n->GetFileProperties();
        if ((p->GetAttributes() & kAttrDirectory) != 0) continue;
        taken[p->GetName()] = (p->GetState() & kStateClustersTaken) != 0;
    }
    const std::string e = std::string(".") + RawFileTypeExtension(jpg);
    const std::map<std::string, bool> expected = {{"s992_000" + e, false},
                                                  {"s993_001" + e, true},
                                                  {"s1096_002" + e, true},
                                                  {"s1196_003" + e, false},
                                                  {"s2296_004" + e, false}};
    EXPECT_EQ(taken, expected);
    DestroySubtree(root.release());
}

}  // namespace
