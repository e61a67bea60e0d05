#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "ImageDevice.h"
#include "SavedSections.h"
#include "TestUtil.h"
#include "devices/StorageDevice.h"
#include "engine/CompactRunList.h"
#include "engine/DataRunList.h"
#include "engine/DataRunReader.h"
#include "engine/FileNode.h"
#include "engine/FileSystemNode.h"
#include "engine/RSData.h"
#include "engine/RawFileProperties.h"
#include "engine/RawFileInfo.h"

namespace {

using Bytes = std::vector<u8>;
const MGUID kSection = {0x0BADF00D, 0x1234, 0x5678, {9, 8, 7, 6, 5, 4, 3, 2}};

using testutil::MemoryDevice;

// Properties that count their destructions.
class CountedProperties : public CRAWFileProperties {
public:
    explicit CountedProperties(int* destroyed) : m_destroyed(destroyed) {}
    ~CountedProperties() override { ++*m_destroyed; }

private:
    int* m_destroyed;
};

std::string WriteSection(const testutil::TempDir& dir, const IFileProperties& properties) {
    return testutil::WriteSection(dir, "props.rsf", kSection, [&](IRSData* out) { properties.Save(out); });
}
Bytes SectionBytes(const std::string& path, u32 size) { return testutil::SectionBytes(path, kSection, size); }
// The saved form of RAW properties named "f" of `size` bytes over the runs, in a new file.
std::string WriteRawSection(const testutil::TempDir& dir, u64 size, const CCompactRunList& runs) {
    return testutil::WriteSection(dir, "p.rsf", kSection, [&](IRSData* out) {
        out->WriteU8(2);
        out->Write("f", 2);
        out->WriteU64(size);
        out->WriteU16(0x20);
        out->WriteU8(0);
        runs.Save(out);
    });
}

}  // namespace

TEST(FileModelRawProperties, NamesAttributesAndFolders) {
    CRAWFileProperties p;
    EXPECT_EQ(p.GetName(), nullptr);
    EXPECT_EQ(p.GetNameLength(), 0u);
    EXPECT_EQ(p.GetFileSystemKind(), 3u);
    EXPECT_EQ(p.GetValidFields(), 0x1CFu);
    EXPECT_EQ(p.CreateDataRunList(), nullptr);
    p.SetName("abc");
    EXPECT_STREQ(p.GetName(), "abc");
    EXPECT_EQ(p.GetNameLength(), 4u);
    EXPECT_EQ(p.SetFlag(7), 1);
    EXPECT_EQ(p.GetFlag(), 7);
    FILETIME64 t = 123;
    p.GetCreationTime(t);
    EXPECT_EQ(t, 0u);
    std::string extra = "x";
    p.GetExtraName(extra);
    EXPECT_EQ(extra, "");

    // A name too long for the 8-bit length is cut to 254 bytes, never inside a character.
    std::string longName(253, 'a');
    longName += "\xC3\xA9\xC3\xA9";  // two 2-byte characters: the first ends at byte 255
    p.SetRawFileName(longName.c_str());
    EXPECT_EQ(p.GetNameLength(), 254u);
    EXPECT_EQ(std::string(p.GetName()), std::string(253, 'a'));
    p.SetRawFileName(nullptr);
    EXPECT_EQ(p.GetName(), nullptr);

    SetFolderPropertiesName(&p, "LostFiles");
    EXPECT_STREQ(p.GetName(), "LostFiles");
    EXPECT_EQ(p.GetAttributes(), 0x10);
    SetFolderPropertiesName(static_cast<CRAWFileProperties*>(nullptr), "x");  // nothing happens

    // Renamed on another thread while read here: every read pairs a name with its own length
    // (what a saved result writes), and a name read before stays readable.
    const char* const before = p.GetName();
    const std::string names[] = {"a", std::string(40, 'b'), std::string(200, 'c')};
    constexpr int kRenames = 3000;
    std::thread renamer([&p, &names] {
        for (int i = 0; i < kRenames; ++i) p.SetRawFileName(names[i % 3].c_str());
    });
    int mismatched = 0, foreign = 0;
    for (int i = 0; i < 20000; ++i) {
        const CFilePropertiesBase::NameView name = p.CurrentName();
        if (name.text == nullptr || name.length != std::strlen(name.text) + 1) ++mismatched;
        if (name.text != nullptr && name.text != std::string("LostFiles") && name.text != names[0] &&
            name.text != names[1] && name.text != names[2]) {
            ++foreign;
        }
    }
    renamer.join();
    EXPECT_EQ(mismatched, 0);
    EXPECT_EQ(foreign, 0);
    EXPECT_STREQ(before, "LostFiles");
    EXPECT_EQ(p.CurrentName().length, names[(kRenames - 1) % 3].size() + 1);
}

TEST(FileModelRawProperties, ExtentOfAFoundFile) {
    CRAWFileProperties p;
    CRawFileInfo record;
    record.startSector = 5000;
    record.size = 1025;
    EXPECT_EQ(p.SetExtent(record), 1u);
    EXPECT_EQ(p.GetSize(), 1025u);
    std::unique_ptr<IDataRunList> runs(p.CreateDataRunList());
    ASSERT_TRUE(runs);
    ASSERT_EQ(runs->GetExtentCount(), 1u);
    EXPECT_EQ(runs->GetExtent(0).start, 5000);
    EXPECT_EQ(runs->GetExtent(0).length, 3u);
    p.SetExtent(7, ~0ULL);  // the sector count of the largest size does not overflow
    runs.reset(p.CreateDataRunList());
    EXPECT_EQ(runs->GetExtent(0).length, 1ULL << 55);
}

TEST(FileModelRawProperties, ReferencesFreeExactlyOnce) {
    int destroyed = 0;
    auto* p = new CountedProperties(&destroyed);
    EXPECT_EQ(p->GetRefCount(), 1u);
    CFileNode* node = CreateFileNode().release();
    node->SetFileProperties(p);  // the node takes over the first reference
    CFileNode* copy = node->Clone();
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(copy->GetFileProperties(), p);
    EXPECT_EQ(p->GetRefCount(), 2u);
    for (int i = 0; i < 300; ++i) p->AddRef();  // more holders than a byte counts
    for (int i = 0; i < 300; ++i) p->Release();
    DeleteFileNode(node);
    EXPECT_EQ(destroyed, 0);
    DestroyTreeNode(copy);
    EXPECT_EQ(destroyed, 1);
}

TEST(FileModelRawProperties, SavedFormRoundTripsByteForByte) {
    testutil::TempDir dir;
    CRAWFileProperties p;
    p.SetRawFileName("abc");
    p.SetAttributes(0x20);
    p.SetState(1);
    p.SetFlag(9);
    p.SetExtent(0x1234, 1000);
    const std::string path = WriteSection(dir, p);
    const Bytes expected = {4, 'a', 'b', 'c', 0, 0xE8, 0x03, 0, 0, 0, 0, 0, 0, 0x20, 0, 1,
                            // compact run list: 5 bytes of pairs {0x1234, 2}, resident offset 0
                            5, 0, 0, 0, 0x21, 0x02, 0x34, 0x12, 0x00, 0, 0};
    EXPECT_EQ(SectionBytes(path, static_cast<u32>(expected.size())), expected);

    CRSDataEx in(0);
    ASSERT_TRUE(in.Open(path.c_str(), 0));
    in.BeginSection(kSection);
    const PropertiesRef<> loaded(LoadRAWFileProperties(&in));
    ASSERT_TRUE(loaded);
    EXPECT_STREQ(loaded->GetName(), "abc");
    EXPECT_EQ(loaded->GetNameLength(), 4u);
    EXPECT_EQ(loaded->GetSize(), 1000u);
    EXPECT_EQ(loaded->GetAttributes(), 0x20);
    EXPECT_EQ(loaded->GetState(), 1);
    EXPECT_EQ(loaded->GetFlag(), 0);  // the flag is not saved
    testutil::TempDir again;
    EXPECT_EQ(SectionBytes(WriteSection(again, *loaded), static_cast<u32>(expected.size())), expected);
}

TEST(FileModelRawProperties, WithoutRunsAndDamagedNames) {
    testutil::TempDir dir;
    CRAWFileProperties folder;
    SetFolderPropertiesName(&folder, "JPG");
    const std::string path = WriteSection(dir, folder);
    const Bytes expected = {4, 'J', 'P', 'G', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x10, 0, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(SectionBytes(path, static_cast<u32>(expected.size())), expected);
    {
        CRSDataEx in(0);
        ASSERT_TRUE(in.Open(path.c_str(), 0));
        in.BeginSection(kSection);
        IFileProperties* loaded = LoadRAWFileProperties(&in);
        EXPECT_EQ(loaded->CreateDataRunList(), nullptr);
        EXPECT_STREQ(loaded->GetName(), "JPG");
        loaded->Release();
    }
    // A name whose saved bytes lack the zero is still a terminated string; a record cut short
    // throws and frees what was made.
    testutil::TempDir dir2;
    const std::string damaged = dir2.File("damaged.rsf");
    {
        CRSDataEx out(1);
        ASSERT_TRUE(out.Open(damaged.c_str(), 1));
        ASSERT_TRUE(out.WriteHeader(MakeScanResultHeader(1)));
        out.BeginSection(kSection);
        const u8 record[] = {3, 'x', 'y', 'z', 1, 0, 0, 0, 0, 0, 0, 0, 0x20, 0, 0, 0, 0, 0, 0, 0, 0,
                             200, 'q'};
        out.Write(record, sizeof record);
        out.EndSection();
        out.Close();
    }
    CRSDataEx in(0);
    ASSERT_TRUE(in.Open(damaged.c_str(), 0));
    in.BeginSection(kSection);
    IFileProperties* first = LoadRAWFileProperties(&in);
    EXPECT_STREQ(first->GetName(), "xyz");
    first->Release();
    EXPECT_THROW(LoadRAWFileProperties(&in), IRSException);
}

TEST(FileModelDataRunReader, ReadsClustersThroughExtentsWithHolesAndLimits) {
    // 64 sectors of 512 bytes, each byte the sector number; the partition starts at sector 8 and
    // has 2 sectors per cluster.
    Bytes image(64 * 512);
    for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<u8>(i / 512);
    MemoryDevice device(image, 512);

    CFileSystemNode root;
    root.SetPartitionGeometry(8, 2);
    auto* properties = new CRAWFileProperties;
    // Clusters: 3 (sectors 14-15), a hole of 2 clusters, then 1..2 (sectors 10-13).
    CRAWDataRunList runs;
    runs.AddExtent({3, 1});
    runs.AddExtent({-1, 2});
    runs.AddExtent({1, 2});
    CFileNode* node = CreateFileNode().release();
    node->SetFileProperties(properties);
    root.AddChild(node);
    std::unique_ptr<CCompactRunList> compact(CCompactRunList::Create(&runs));
    ASSERT_TRUE(compact);

    // A RAW object keeps one extent of its own; give it these runs and a size of 4.5 clusters
    // (4608 bytes) through its saved form.
    testutil::TempDir dir;
    const std::string path = WriteRawSection(dir, 4608, *compact);
    {
        CRSDataEx in(0);
        ASSERT_TRUE(in.Open(path.c_str(), 0));
        in.BeginSection(kSection);
        properties->Load(&in);
    }

    CDataRunReader reader;
    ASSERT_TRUE(reader.OpenNode(&device, node));
    Bytes out(5000, 0xAA);
    u32 done = 0;
    ASSERT_TRUE(reader.Read(0, out.data(), 5000, &done));
    EXPECT_EQ(done, 4608u);  // clamped to the size
    Bytes expected;
    for (u8 s : {14, 15}) expected.insert(expected.end(), 512, s);
    expected.insert(expected.end(), 2048, 0);  // the hole reads as zeros
    for (u8 s : {10, 11, 12}) expected.insert(expected.end(), 512, s);
    EXPECT_EQ(Bytes(out.begin(), out.begin() + 4608), expected);
    EXPECT_EQ(out[4608], 0xAA);
    // Nothing was read for the hole, least of all the sector before the partition.
    for (u64 s : device.readStarts) EXPECT_GE(s, 8u);
    EXPECT_EQ(device.readStarts, (std::vector<u64>{14, 10, 12}));

    // Reads inside a cluster and across a hole boundary.
    ASSERT_TRUE(reader.Read(1000, out.data(), 1100, &done));
    EXPECT_EQ(done, 1100u);
    EXPECT_EQ(Bytes(out.begin(), out.begin() + 1100), Bytes(expected.begin() + 1000, expected.begin() + 2100));
    ASSERT_TRUE(reader.Read(4607, out.data(), 10, &done));
    EXPECT_EQ(done, 1u);
    EXPECT_EQ(out[0], 12);
    EXPECT_FALSE(reader.Read(4608, out.data(), 1, &done));
    device.failReads = true;
    EXPECT_FALSE(reader.Read(0, out.data(), 10, &done));
    device.failReads = false;

    // Opening needs a device, a node with properties, a size, runs and a geometry.
    EXPECT_FALSE(reader.Open(nullptr, node, 0, 1));
    EXPECT_FALSE(reader.Open(&device, node, 0, 0));
    CFileNode orphan;
    EXPECT_FALSE(reader.OpenNode(&device, &orphan));
    orphan.SetFileProperties(new CRAWFileProperties);
    EXPECT_FALSE(reader.Open(&device, &orphan, 0, 1));  // size 0
    static_cast<CRAWFileProperties*>(orphan.GetFileProperties())->SetExtent(0, 0);
    EXPECT_FALSE(reader.Open(&device, &orphan, 0, 1));
    reader.Close();
    EXPECT_FALSE(reader.Read(0, out.data(), 1, &done));

    root.RemoveChild(node);
    DeleteFileNode(node);
}

TEST(FileModelDataRunReader, ReadsLiveFilesOfTheNtfsFixture) {
    const std::string imagePath = testutil::FixturePath("ntfs-basic.img");
    ASSERT_TRUE(testutil::FileExists(imagePath));
    MemoryDevice device(testutil::ReadFileBytes(imagePath), 512);
    constexpr u64 kCluster = 4096;

    // Files of several runs (one with a run before its predecessor) and a single-run file, as
    // the manifest records them: [byte offset in the image, bytes of data].
    struct Case {
        const char* path;
        u64 size;
        std::vector<std::pair<u64, u64>> runs;
        const char* sha256;
    };
    const Case cases[] = {
        {"/New/backup-84.iso.part", 3883008,
         {{17629184, 2625536}, {52559872, 458752}, {53227520, 454656}, {57389056, 307200}, {15810560, 36864}},
         "ba2b8bac884263f1da9ff90be14cb0fc542830ed66808ecbb55decfa31548952"},
        {"/Projects/client_supplier_232.txt", 424000, {{38285312, 147456}, {57696256, 276544}},
         "51113c769857e363ea2a8488a8ed6baeb4a938c0f73867a39c8594c954a76a9d"},
        {"/Documents/KITCH67.TXT", 20000, {{38506496, 20000}},
         "3c707d3cd2e290702d87f5651b4c68c6d0fc6f5f896f65387ee3cb10b03fcf12"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        CRAWDataRunList runs;
        for (const auto& [offset, bytes] : c.runs) runs.AppendExtent(offset / kCluster, (bytes + kCluster - 1) / kCluster);
        std::unique_ptr<CCompactRunList> compact(CCompactRunList::Create(&runs));
        ASSERT_TRUE(compact);

        testutil::TempDir dir;
        const std::string path = WriteRawSection(dir, c.size, *compact);
        CRSDataEx in(0);
        ASSERT_TRUE(in.Open(path.c_str(), 0));
        in.BeginSection(kSection);
        CFileSystemNode root;
        root.SetPartitionGeometry(0, kCluster / 512);
        CFileNode* node = CreateFileNode().release();
        node->SetFileProperties(LoadRAWFileProperties(&in));
        root.AddChild(node);

        CDataRunReader reader;
        ASSERT_TRUE(reader.OpenNode(&device, node));
        Bytes data;
        Bytes chunk(100000);
        u32 done = 0;
        // Odd-sized reads cross cluster and run boundaries.
        while (data.size() < c.size && reader.Read(data.size(), chunk.data(), 99991, &done) && done > 0) {
            data.insert(data.end(), chunk.begin(), chunk.begin() + done);
        }
        ASSERT_EQ(data.size(), c.size);
        EXPECT_EQ(testutil::Sha256Hex(data.data(), data.size()), c.sha256);
        root.RemoveChild(node);
        DeleteFileNode(node);
    }
}
