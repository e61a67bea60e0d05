// Recycle-bin folders, the pairing of $I/$R entries and the original names kept in $I files.
#include <gtest/gtest.h>

#include <cstring>
#include <list>
#include <random>
#include <string>
#include <vector>

#include "ImageDevice.h"
#include "devices/StorageDevice.h"
#include "engine/FileNode.h"
#include "engine/FileSystemNode.h"
#include "engine/RawFileProperties.h"
#include "engine/RecycleBin.h"

namespace {
using testutil::MemoryDevice;

// Owns a small tree and frees every node of it.
class Tree {
public:
    Tree() {
        root = CreateFileSystemNode().release();
        root->SetPartitionGeometry(0, 1);
        root->SetFileSystemType(2);
        nodes.push_back(root);
    }
    ~Tree() {
        for (CFileNode* node : nodes) DestroyTreeNode(node);
    }
    CFileNode* Add(CFileNode* parent, const char* name, u16 attributes, u64 startSector = 0, u64 size = 0) {
        auto* properties = static_cast<CRAWFileProperties*>(CreateRAWFileProperties().release());
        properties->SetRawFileName(name);
        properties->SetAttributes(attributes);
        if (size != 0) properties->SetExtent(startSector, size);
        CFileNode* node = CreateFileNode().release();
        node->SetFileProperties(properties);
        if (parent != nullptr) parent->AddChild(node);
        nodes.push_back(node);
        return node;
    }
    CFileNode* File(CFileNode* parent, const char* name) { return Add(parent, name, 0x20); }
    CFileNode* Folder(CFileNode* parent, const char* name) { return Add(parent, name, 0x10); }

    CFileSystemNode* root;
    std::vector<CFileNode*> nodes;
};

const char* NameOf(CFileNode* node) { return node->GetFileProperties()->GetName(); }

void PutU16(std::vector<u8>& out, const std::u16string& text) {
    for (char16_t c : text) {
        out.push_back(static_cast<u8>(c & 0xFF));
        out.push_back(static_cast<u8>(c >> 8));
    }
}

// Version 1: version, size, deletion time, then the path in a 260-character field.
std::vector<u8> InfoFileV1(const std::u16string& path) {
    std::vector<u8> out(24, 0);
    WriteLE64(out.data(), 1);
    WriteLE64(out.data() + 8, 0x5C3A);  // a size whose bytes read as ":\" must not confuse the walk
    WriteLE64(out.data() + 16, 0x01D9A0B0C0D0E0F0ull);
    PutU16(out, path);
    out.resize(24 + 520, 0);
    return out;
}

// Version 2: version, size, deletion time, path length in characters (with its zero), the path.
std::vector<u8> InfoFileV2(const std::u16string& path) {
    std::vector<u8> out(28, 0);
    WriteLE64(out.data(), 2);
    WriteLE64(out.data() + 8, 123456);
    WriteLE64(out.data() + 16, 0x01DA000000000000ull);
    WriteLE32(out.data() + 24, static_cast<u32>(path.size() + 1));
    PutU16(out, path);
    out.push_back(0);
    out.push_back(0);
    return out;
}

std::string Extract(const std::vector<u8>& bytes, bool moreData = false) {
    // An exact-size copy, so that any read past the data is caught by the address sanitizer.
    std::unique_ptr<u8[]> exact(new u8[bytes.size() + 1]);
    if (!bytes.empty()) std::memcpy(exact.get(), bytes.data(), bytes.size());
    return ExtractRecycledFileName(bytes.empty() ? nullptr : exact.get(), bytes.size(), moreData);
}
}  // namespace

TEST(RecycleBinFolders, NamesAndAncestors) {
    Tree tree;
    CFileNode* bin = tree.Folder(tree.root, "$Recycle.Bin");
    CFileNode* sid = tree.Folder(bin, "S-1-5-21-1004336348-1177238915-682003330-1001");
    CFileNode* info = tree.File(sid, "$IAB12CD.docx");
    CFileNode* docs = tree.Folder(tree.root, "Documents");
    CFileNode* plain = tree.File(docs, "report.docx");
    CFileNode* oldBin = tree.Folder(tree.root, "RECYCLER");
    CFileNode* oldEntry = tree.File(tree.Folder(oldBin, "S-1-5-21-1-2-3-500"), "Dc1.txt");
    CFileNode* fatBin = tree.Folder(tree.root, "$RECYCLE.BI0");
    CFileNode* lower = tree.Folder(tree.root, "$recycle.bin");
    CFileNode* recycled = tree.Folder(tree.root, "Recycled");
    CFileNode* fileNamedLikeBin = tree.File(tree.root, "Recycler");
    CFileNode* nearMiss = tree.Folder(tree.root, "$Recycle.Bin2");

    for (CFileNode* node : {bin, oldBin, fatBin, lower, recycled}) EXPECT_TRUE(IsRecycleBinFolder(node)) << NameOf(node);
    for (CFileNode* node : {sid, docs, fileNamedLikeBin, nearMiss}) EXPECT_FALSE(IsRecycleBinFolder(node)) << NameOf(node);
    EXPECT_FALSE(IsRecycleBinFolder(nullptr));

    EXPECT_TRUE(IsInRecycleBin(info));
    EXPECT_TRUE(IsInRecycleBin(sid));
    EXPECT_TRUE(IsInRecycleBin(bin));
    EXPECT_TRUE(IsInRecycleBin(oldEntry));
    EXPECT_FALSE(IsInRecycleBin(plain));
    EXPECT_FALSE(IsInRecycleBin(tree.root));
    EXPECT_FALSE(IsInRecycleBin(nullptr));

    CFileNode* bare = CreateFileNode().release();  // no properties
    EXPECT_FALSE(IsRecycleBinFolder(bare));
    EXPECT_FALSE(IsInRecycleBin(bare));
    DestroyTreeNode(bare);
}

TEST(RecycleBinFolders, InfoFileNames) {
    Tree tree;
    for (const char* name : {"$IAB12CD.txt", "#IAB12CD.txt", "$I", "$IZ"})
        EXPECT_TRUE(IsRecycleBinInfoFile(tree.File(tree.root, name))) << name;
    for (const char* name : {"$RAB12CD.txt", "$iab12cd.txt", "$", "I", "INFO2", "desktop.ini", "", "AI.txt"})
        EXPECT_FALSE(IsRecycleBinInfoFile(tree.File(tree.root, name))) << name;
    EXPECT_FALSE(IsRecycleBinInfoFile(nullptr));
}

TEST(RecycleBinPairs, InfoAndDataFilesFindEachOther) {
    Tree tree;
    CFileNode* sid = tree.Folder(tree.Folder(tree.root, "$Recycle.Bin"), "S-1-5-21-1-2-3-1001");
    CFileNode* infoA = tree.File(sid, "$IAB12CD.txt");
    CFileNode* dataA = tree.File(sid, "$RAB12CD.txt");
    CFileNode* dataB = tree.File(sid, "$R0QX7Z1.jpg");
    CFileNode* infoB = tree.File(sid, "$i0qx7z1.JPG");  // any letter case pairs, except the 'I' test
    CFileNode* infoC = tree.File(sid, "$IEEEEEE.pdf");
    CFileNode* deletedData = tree.File(sid, "#REEEEEE.pdf");
    CFileNode* dataC = tree.File(sid, "$REEEEEE.PDF");

    std::list<CFileNode*> pending;
    EXPECT_EQ(FindRecycleBinPair(pending, infoA), nullptr);
    EXPECT_EQ(FindRecycleBinPair(pending, dataB), nullptr);
    EXPECT_EQ(pending.size(), 2u);
    EXPECT_EQ(FindRecycleBinPair(pending, dataA), infoA);
    EXPECT_EQ(pending, std::list<CFileNode*>{dataB});
    // "$i..." is not an info file, so it looks for an 'R' twin: "$R0QX7Z1.jpg" with 'R' kept.
    EXPECT_EQ(FindRecycleBinPair(pending, infoB), nullptr);
    EXPECT_EQ(pending.size(), 2u);
    EXPECT_EQ(FindRecycleBinPair(pending, infoC), nullptr);
    // A deleted data entry shows '#' first and does not pair with "$I".
    EXPECT_EQ(FindRecycleBinPair(pending, deletedData), nullptr);
    EXPECT_EQ(pending.size(), 4u);
    EXPECT_EQ(FindRecycleBinPair(pending, dataC), infoC);
    EXPECT_EQ(pending.size(), 3u);

    // Names without '$' or '#' are kept only while the list is empty.
    std::list<CFileNode*> fresh;
    CFileNode* ini = tree.File(sid, "desktop.ini");
    EXPECT_EQ(FindRecycleBinPair(fresh, ini), nullptr);
    EXPECT_EQ(FindRecycleBinPair(fresh, tree.File(sid, "other.txt")), nullptr);
    EXPECT_EQ(fresh, std::list<CFileNode*>{ini});
    EXPECT_EQ(FindRecycleBinPair(fresh, nullptr), nullptr);
    EXPECT_EQ(FindRecycleBinPair(fresh, tree.File(sid, "")), nullptr);
    EXPECT_EQ(fresh.size(), 1u);
}

TEST(RecycleBinInfoData, BothVersionsGiveTheOriginalName) {
    EXPECT_EQ(Extract(InfoFileV1(u"C:\\Users\\Ann\\Documents\\report.docx")), "report.docx");
    EXPECT_EQ(Extract(InfoFileV2(u"D:\\Photos\\2023\\IMG_0042.JPG")), "IMG_0042.JPG");
    EXPECT_EQ(Extract(InfoFileV2(u"E:\\Musik\\Gr\u00FC\u00DFe.mp3")), "Gr\xC3\xBC\xC3\x9F" "e.mp3");
    EXPECT_EQ(Extract(InfoFileV2(u"C:\\top.txt")), "top.txt");
    // An unpaired surrogate converts to '_'.
    std::u16string odd = u"C:\\x";
    odd.push_back(static_cast<char16_t>(0xDC00));
    EXPECT_EQ(Extract(InfoFileV2(odd)), "x_");
}

TEST(RecycleBinInfoData, MalformedAndTruncatedDataGiveNoName) {
    const std::vector<u8> v2 = InfoFileV2(u"C:\\Users\\Ann\\Documents\\report.docx");
    EXPECT_EQ(Extract({}), "");
    EXPECT_EQ(Extract(std::vector<u8>(27, 0x5C)), "");                       // no drive path
    EXPECT_EQ(Extract(InfoFileV2(u"\\\\server\\share\\a.txt")), "");         // not a drive path
    EXPECT_EQ(Extract(InfoFileV2(u"report.docx")), "");                      // no backslash
    EXPECT_EQ(Extract(InfoFileV2(u"C:\\Folder\\")), "");                     // empty last component
    EXPECT_EQ(Extract(std::vector<u8>(v2.begin(), v2.begin() + 30)), "");    // cut before the drive
    // Cut inside the name while the file goes on: the piece is not a name.
    EXPECT_EQ(Extract(std::vector<u8>(v2.begin(), v2.end() - 8), true), "");
    // The same data as a whole (damaged) file: the name runs to its end.
    EXPECT_EQ(Extract(std::vector<u8>(v2.begin(), v2.end() - 8)), "report.d");
    // An odd byte count leaves the last byte out.
    std::vector<u8> oddSize = v2;
    oddSize.push_back(0x41);
    EXPECT_EQ(Extract(oddSize), "report.docx");
}

TEST(RecycleBinInfoData, LongPathsAndRandomBytesStayInBounds) {
    // A version-2 path longer than the 1024 bytes looked at: the last backslash seen is a folder's.
    std::u16string longPath = u"C:\\";
    for (int i = 0; i < 80; ++i) longPath += u"folder" + std::u16string(1, char16_t(u'A' + i % 26)) + u"\\";
    longPath += u"final.txt";
    std::vector<u8> data = InfoFileV2(longPath);
    ASSERT_GT(data.size(), kRecycleInfoReadSize);
    std::vector<u8> firstPart(data.begin(), data.begin() + kRecycleInfoReadSize);
    EXPECT_EQ(Extract(firstPart, true), "");
    // Only the first 1024 bytes are looked at even when more are given.
    EXPECT_EQ(Extract(data), "");

    std::mt19937 random(1234);
    for (int round = 0; round < 2000; ++round) {
        std::vector<u8> bytes(random() % 1100);
        for (u8& b : bytes) {
            const u32 r = random() % 8;
            b = r == 0 ? 0x5C : r == 1 ? 0x3A : r == 2 ? 0 : static_cast<u8>(random());
        }
        const std::string name = Extract(bytes, random() % 2 == 0);
        EXPECT_EQ(name.find('\0'), std::string::npos);
    }
}

TEST(RecycleBinRename, ReadsTheInfoFileThroughItsRuns) {
    MemoryDevice device(512, 64);
    const std::vector<u8> v2 = InfoFileV2(u"C:\\Users\\Ann\\Pictures\\beach.png");
    std::memcpy(device.data.data() + 10 * 512, v2.data(), v2.size());
    const std::vector<u8> v1 = InfoFileV1(u"C:\\Documents and Settings\\Bob\\notes.txt");
    std::memcpy(device.data.data() + 20 * 512, v1.data(), v1.size());

    Tree tree;
    CFileNode* sid = tree.Folder(tree.Folder(tree.root, "$Recycle.Bin"), "S-1-5-21-1-2-3-1001");
    CFileNode* info2 = tree.Add(sid, "$I4F2A9B.png", 0x20, 10, v2.size());
    CFileNode* data2 = tree.Add(sid, "$R4F2A9B.png", 0x20, 30, 4000);
    CFileNode* info1 = tree.Add(sid, "$IXYZ123.txt", 0x20, 20, v1.size());
    CFileNode* data1 = tree.Add(sid, "$RXYZ123.txt", 0x20, 40, 10);

    RestoreRecycledFileName(&device, data2, info2);
    EXPECT_STREQ(NameOf(data2), "beach.png");
    EXPECT_STREQ(NameOf(info2), "$I4F2A9B.png");
    RestoreRecycledFileName(&device, data1, info1);
    EXPECT_STREQ(NameOf(data1), "notes.txt");
}

TEST(RecycleBinRename, DamagedInfoFilesChangeNothing) {
    MemoryDevice device(512, 8);
    const std::vector<u8> v2 = InfoFileV2(u"C:\\Users\\Ann\\Pictures\\beach.png");
    std::memcpy(device.data.data() + 2 * 512, v2.data(), v2.size());

    Tree tree;
    CFileNode* bin = tree.Folder(tree.root, "$Recycle.Bin");
    CFileNode* data = tree.Add(bin, "$R4F2A9B.png", 0x20, 6, 100);
    CFileNode* empty = tree.Add(bin, "$I000000.png", 0x20);              // size 0, no runs
    CFileNode* beyond = tree.Add(bin, "$I111111.png", 0x20, 7, 4096);    // runs past the device
    CFileNode* cut = tree.Add(bin, "$I222222.png", 0x20, 2, v2.size() - 10);
    CFileNode* good = tree.Add(bin, "$I4F2A9B.png", 0x20, 2, v2.size());
    CFileNode* bare = CreateFileNode().release();
    tree.nodes.push_back(bare);

    for (CFileNode* info : {empty, beyond, bare}) {
        RestoreRecycledFileName(&device, data, info);
        EXPECT_STREQ(NameOf(data), "$R4F2A9B.png");
    }
    RestoreRecycledFileName(nullptr, data, good);
    RestoreRecycledFileName(&device, bare, good);
    RestoreRecycledFileName(&device, data, nullptr);
    EXPECT_STREQ(NameOf(data), "$R4F2A9B.png");
    device.failReads = true;
    RestoreRecycledFileName(&device, data, good);
    EXPECT_STREQ(NameOf(data), "$R4F2A9B.png");
    device.failReads = false;

    // A recorded size that ends inside the path is read only that far.
    const u64 readsBefore = device.reads;
    RestoreRecycledFileName(&device, data, cut);
    EXPECT_GT(device.reads, readsBefore);
    RestoreRecycledFileName(&device, data, good);
    EXPECT_STREQ(NameOf(data), "beach.png");
}
