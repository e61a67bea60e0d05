// Saved scan-result contents: trees, folder list and volume written to a real ".rsf" and read
// back, the limits and cancels of the transfer, and damaged sections that must fail with the
// stream's codes and leave nothing allocated (the sanitizer build reports leaks).
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <future>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "SavedSections.h"
#include "TestUtil.h"
#include "devices/DiskDescription.h"
#include "devices/DiskDevice.h"
#include "devices/VolumeRecord.h"
#include "engine/FileSystemNode.h"
#include "engine/RawFileProperties.h"
#include "engine/RecoveryGraph.h"
#include "engine/SavedResult.h"
#include "engine/SavedResultTransfer.h"
#include "support/MemoryStream.h"

namespace {

IFileProperties* Raw(const std::string& name, bool folder, u64 size = 0) {
    auto* p = static_cast<CRAWFileProperties*>(CreateRAWFileProperties().release());
    p->SetName(name.c_str());
    if (folder) {
        p->SetAttributes(kAttrDirectory);
    } else {
        p->SetExtent(100, size);
    }
    return p;
}

CFileNode* Node(CFileNode* parent, const std::string& name, bool folder, u64 size = 0) {
    CFileNode* n = CreateFileNode().release();
    n->SetFileProperties(Raw(name, folder, size));
    // Linked at the front: callers add children last to first.
    parent->AddChild(n);
    return n;
}

CFileSystemNode* Root(const char* label, u64 start) {
    CFileSystemNode* root = CreateFileSystemNode().release();
    root->SetFileSystemType(kFsRaw);
    root->SetPartitionGeometry(start, 8);
    root->SetVolumeLabel(label);
    root->SetFileProperties(Raw("RAW", true));
    return root;
}

// root: docs/ (b.txt, a.txt), empty/, nested root "inner" (x.bin), c.jpg -- in that child order.
CFileSystemNode* SampleTree(const char* label) {
    CFileSystemNode* root = Root(label, 2048);
    Node(root, "c.jpg", false, 3000);
    CFileSystemNode* inner = Root("inner", 4096);
    Node(inner, "x.bin", false, 10);
    root->AddChild(inner);
    Node(root, "empty", true);
    CFileNode* docs = Node(root, "docs", true);
    Node(docs, "a.txt", false, 5);
    Node(docs, "b.txt", false, 700);
    return root;
}

// The sample tree as a load gives it back: each folder's children in the reverse of their saved order.
constexpr const char* kSampleTreeLoaded = "RAW*[c.jpg(3000) RAW*[x.bin(10) ] empty docs[a.txt(5) b.txt(700) ] ]";

// "name(size)[children]" of a subtree in child order; a file-system node is marked with '*'.
std::string Shape(const CFileNode* n) {
    std::string s = n->GetFileProperties() ? n->GetFileProperties()->GetName() : "?";
    if (n->IsFileSystemNode()) s += "*";
    if (n->GetFileProperties() && !(n->GetFileProperties()->GetAttributes() & kAttrDirectory)) {
        s += "(" + std::to_string(n->GetFileProperties()->GetSize()) + ")";
    }
    if (n->GetFirstChild()) {
        s += "[";
        for (const CFileNode* c = n->GetFirstChild(); c; c = c->GetNextSibling()) s += Shape(c) + " ";
        s += "]";
    }
    return s;
}

struct Cancelling : FooDIRBuildCallback {
    i32 cancelAtPos = -1;   // SetPos answers -1 from this position on
    i32 cancelAfter = -1;   // IsCancelled answers -1 after this many calls
    i32 calls = 0;
    i32 SetPos(i32 p) override { return cancelAtPos >= 0 && p >= cancelAtPos ? -1 : 0; }
    i32 IsCancelled() override { return cancelAfter >= 0 && ++calls > cancelAfter ? -1 : 0; }
};

std::string WriteTrees(const testutil::TempDir& dir, const std::vector<CFileSystemNode*>& roots,
                       IDIRBuildCallback* callback, bool* saved = nullptr) {
    const std::string path = dir.File("trees.rsf");
    CRSDataEx out(1);
    EXPECT_TRUE(out.Open(path.c_str(), 1));
    out.WriteHeader(MakeScanResultHeader(1));
    const bool ok = SaveScanTrees(roots, &out, callback);
    if (saved) *saved = ok;
    out.EndSection();
    out.Close();
    return path;
}

u32 LoadCode(const std::string& path, std::vector<CFileSystemNode*>& roots, IDIRBuildCallback* callback) {
    CRSDataEx in(0);
    EXPECT_TRUE(in.Open(path.c_str(), 0));
    try {
        return LoadScanTrees(&in, roots, callback) ? 100 : 101;
    } catch (const IRSException& e) {
        return e.GetCode();
    }
}

TEST(SavedTrees, RoundTripKeepsShapeRootsAndPropertiesAndReversesEachFoldersChildren) {
    testutil::TempDir dir;
    std::vector<CFileSystemNode*> roots{SampleTree("first"), SampleTree("second")};
    FooDIRBuildCallback none;
    bool saved = false;
    const std::string path = WriteTrees(dir, roots, &none, &saved);
    ASSERT_TRUE(saved);

    std::vector<CFileSystemNode*> loaded;
    ASSERT_EQ(LoadCode(path, loaded, &none), 100u);
    ASSERT_EQ(loaded.size(), 2u);
    for (size_t i = 0; i < 2; ++i) {
        EXPECT_STREQ(loaded[i]->GetVolumeLabel(), roots[i]->GetVolumeLabel());
        u64 start = 0;
        u32 spc = 0;
        loaded[i]->GetPartitionGeometry(start, spc);
        EXPECT_EQ(start, 2048u);
        EXPECT_EQ(spc, 8u);
        EXPECT_EQ(loaded[i]->GetFileSystemType(), static_cast<u32>(kFsRaw));
    }
    EXPECT_EQ(Shape(roots[0]), "RAW*[docs[b.txt(700) a.txt(5) ] empty RAW*[x.bin(10) ] c.jpg(3000) ]");
    EXPECT_EQ(Shape(loaded[0]), kSampleTreeLoaded);
    EXPECT_EQ(Shape(loaded[1]), kSampleTreeLoaded);
    for (CFileSystemNode* r : roots) DestroySavedTree(r);
    for (CFileSystemNode* r : loaded) DestroySavedTree(r);
}

TEST(SavedTrees, LimitsAndCancels) {
    testutil::TempDir dir;
    FooDIRBuildCallback none;
    // Seven trees are refused, six are written; no roots at all are refused.
    std::vector<CFileSystemNode*> roots;
    for (int i = 0; i < 7; ++i) roots.push_back(SampleTree("t"));
    bool saved = true;
    WriteTrees(dir, roots, &none, &saved);
    EXPECT_FALSE(saved);
    std::vector<CFileSystemNode*> six(roots.begin(), roots.begin() + 6);
    WriteTrees(dir, six, &none, &saved);
    EXPECT_TRUE(saved);
    WriteTrees(dir, {}, &none, &saved);
    EXPECT_FALSE(saved);

    // A cancel while saving throws code 0.
    Cancelling onSave;
    onSave.cancelAfter = 3;
    EXPECT_THROW(
        {
            try {
                WriteTrees(dir, six, &onSave);
            } catch (const IRSException& e) {
                EXPECT_EQ(e.GetCode(), static_cast<u32>(kRSCancelled));
                throw;
            }
        },
        IRSException);

    // Between folders a load's cancel is code 0, between nodes code 1; nothing is handed back.
    const std::string path = WriteTrees(dir, six, &none);
    Cancelling betweenFolders;
    betweenFolders.cancelAtPos = 44;
    std::vector<CFileSystemNode*> loaded;
    EXPECT_EQ(LoadCode(path, loaded, &betweenFolders), static_cast<u32>(kRSCancelled));
    EXPECT_TRUE(loaded.empty());
    Cancelling betweenNodes;
    betweenNodes.cancelAfter = 5;
    EXPECT_EQ(LoadCode(path, loaded, &betweenNodes), static_cast<u32>(kRSCancelledLoad));
    EXPECT_TRUE(loaded.empty());
    for (CFileSystemNode* r : roots) DestroySavedTree(r);
}

TEST(SavedFolderList, PiecesEndedBySemicolons) {
    struct Case {
        std::string stored;
        std::vector<std::string> expected;
    };
    const Case cases[] = {
        {"/home/a/;/srv/b/;", {"/home/a/", "/srv/b/"}},
        {"/home/a/;/srv/b/", {"/home/a/"}},
        {"", {}},
        {";", {}},             // a length of 1 holds no path
        {";;", {"", ""}},
        {std::string("/x\0y;", 5), {"/x"}},
    };
    testutil::TempDir dir;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.stored);
        const std::string path = testutil::WriteSection(dir, "f.rsf", kSavedFolderListSection, [&](IRSData* s) {
            s->WriteU32(static_cast<u32>(c.stored.size()));
            if (!c.stored.empty()) s->Write(c.stored.data(), static_cast<u32>(c.stored.size()));
        });
        CRSDataEx in(0);
        ASSERT_TRUE(in.Open(path.c_str(), 0));
        EXPECT_EQ(ReadFolderList(&in), c.expected);
    }
    // What WriteFolderList writes reads back.
    const std::string path = dir.File("w.rsf");
    {
        CRSDataEx out(1);
        ASSERT_TRUE(out.Open(path.c_str(), 1));
        out.WriteHeader(MakeScanResultHeader(1));
        WriteFolderList(&out, {"/a/", "/b c/"});
        out.Close();
    }
    CRSDataEx in(0);
    ASSERT_TRUE(in.Open(path.c_str(), 0));
    EXPECT_EQ(ReadFolderList(&in), (std::vector<std::string>{"/a/", "/b c/"}));
}

// Sections whose counts and lengths lie: each load fails with the stream's code, allocates
// nothing for the claimed length, and frees what it had made.
TEST(SavedDamage, WrongLengthsInEverySectionFailWithTheirCodes) {
    testutil::TempDir dir;
    FooDIRBuildCallback none;
    CFileSystemNode* sample = SampleTree("s");
    testutil::MemoryStream good;
    {
        good.WriteU32(1);
        good.WriteI32(kSavedTagFileSystemNode);
        sample->Save(&good);
        SaveFileProperties(sample->GetFileProperties(), &good);
        good.WriteI32(kSavedTagPlainNode);
        SaveFileProperties(sample->GetFirstChild()->GetFileProperties(), &good);
        good.WriteI32(kSavedTagEndOfFolder);
    }
    DestroySavedTree(sample);
    const std::vector<u8> trees = good.bytes;
    // Offsets inside the trees section: tree count at 0, root record from 8; its label length
    // is the u32 after 56 bytes of statistics and geometry.
    constexpr size_t kLabelLength = 8 + 56;
    struct Case {
        const char* what;
        MGUID section;
        std::function<void(std::vector<u8>&)> damage;
        u32 code;
    };
    const size_t kindAt = kLabelLength + 4 + ReadLE32(trees.data() + kLabelLength);
    auto setU32 = [](size_t at, u32 v) { return [at, v](std::vector<u8>& b) { WriteLE32(b.data() + at, v); }; };
    const Case cases[] = {
        {"folder list longer than its section", kSavedFolderListSection,
         [](std::vector<u8>& b) { b = {0xFF, 0xFF, 0xFF, 0xFF, 'a', ';'}; }, kRSEndOfData},
        {"folder list length that would wrap", kSavedFolderListSection,
         [](std::vector<u8>& b) { b = {0xF9, 0xFF, 0xFF, 0xFF}; }, kRSEndOfData},
        {"volume record cut short", kSavedVolumeSection, [](std::vector<u8>& b) { b.resize(1000); }, kRSEndOfData},
        {"tree count above the trees", kSavedTreesSection, setU32(0, 0x7FFFFFFF), kRSEndOfData},
        {"root label longer than the section", kSavedTreesSection, setU32(kLabelLength, 0xFFFFFF00), kRSEndOfData},
        {"unknown properties kind", kSavedTreesSection, setU32(kindAt, 77), kRSEndOfData},
        {"trees cut inside the last folder", kSavedTreesSection, [](std::vector<u8>& b) { b.resize(b.size() - 4); },
         kRSEndOfData},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<u8> content;
        if (c.section == kSavedVolumeSection) {
            VolumeRecord r;
            u8 stored[kVolumeRecordSize];
            StoreVolumeRecord(r, stored);
            content.assign(stored, stored + kVolumeRecordSize);
        } else if (c.section == kSavedTreesSection) {
            content = trees;
        }
        c.damage(content);
        const std::string path = testutil::WriteSection(dir, "d.rsf", c.section, [&](IRSData* s) {
            if (!content.empty()) s->Write(content.data(), static_cast<u32>(content.size()));
        });
        CRSDataEx in(0);
        ASSERT_TRUE(in.Open(path.c_str(), 0));
        u32 code = 100;
        std::vector<CFileSystemNode*> roots;
        std::vector<std::unique_ptr<ReopenedImageVolume>> images;
        try {
            if (c.section == kSavedFolderListSection) ReadFolderList(&in);
            if (c.section == kSavedVolumeSection) ReadDeviceList(&in, {}, images);
            if (c.section == kSavedTreesSection) LoadScanTrees(&in, roots, &none);
        } catch (const IRSException& e) {
            code = e.GetCode();
        }
        EXPECT_EQ(code, c.code);
        EXPECT_TRUE(roots.empty());
        // Every other section is missing from this file.
        for (const MGUID* other : {&kSavedFolderListSection, &kSavedVolumeSection, &kSavedTreesSection}) {
            if (*other == c.section) continue;
            EXPECT_THROW(in.BeginSection(*other), IRSException);
        }
    }
    // Cut at every length, the intact trees section loads or fails, never more.
    for (size_t cut = 0; cut < trees.size(); ++cut) {
        std::vector<u8> content(trees.begin(), trees.begin() + static_cast<long>(cut));
        const std::string path = testutil::WriteSection(dir, "t.rsf", kSavedTreesSection, [&](IRSData* s) {
            if (!content.empty()) s->Write(content.data(), static_cast<u32>(content.size()));
        });
        std::vector<CFileSystemNode*> roots;
        EXPECT_EQ(LoadCode(path, roots, &none), static_cast<u32>(kRSEndOfData)) << cut;
        EXPECT_TRUE(roots.empty());
    }
}

// The identification block keeps the description and at most one block's worth of sector 0, with
// the partition table cleared, whatever the disk's sector size.
TEST(SavedVolume, DiskIdentificationFitsItsBlockForEverySectorSize) {
    const std::string image = testutil::FixturePath("mbr-disk.img");
    const std::vector<u8> bytes = testutil::ReadFileBytes(image);
    const char* old = std::getenv("MORVENDA_DISKS");
    const std::string saved = old ? old : "";
    // Images declare at most 4096-byte sectors; only a block device could have larger ones.
    for (u32 sectorSize : {512u, 4096u}) {
        SCOPED_TRACE(sectorSize);
        ::setenv("MORVENDA_DISKS", (image + "@" + std::to_string(sectorSize)).c_str(), 1);
        CDiskDevice disk(0);
        ASSERT_EQ(disk.Open(), 1u);
        ASSERT_EQ(disk.GetSectorSize(), sectorSize);
        std::vector<u8> block(kDiskIdentificationSize + 64, 0xEE);  // bytes after the block stay
        ASSERT_TRUE(BuildDiskIdentification(&disk, block.data()));
        DiskDescription d{};
        ASSERT_TRUE(disk.GetDiskDescription(&d));
        EXPECT_EQ(std::memcmp(block.data(), &d, sizeof d), 0);
        const u32 kept = std::min(sectorSize, kDiskIdentificationSectorMax);
        std::vector<u8> expected(bytes.begin(), bytes.begin() + kept);
        std::fill(expected.begin() + kPartitionTableOffset, expected.begin() + kPartitionTableOffset + kPartitionTableSize, 0);
        EXPECT_EQ(std::memcmp(block.data() + kDiskIdentificationSectorOffset, expected.data(), kept), 0);
        EXPECT_EQ(std::count(block.begin() + kDiskIdentificationSize, block.end(), 0xEE), 64);
    }
    if (old) {
        ::setenv("MORVENDA_DISKS", saved.c_str(), 1);
    } else {
        ::unsetenv("MORVENDA_DISKS");
    }
}

class SavedTransfer : public ::testing::Test {
protected:
    void SetUp() override {
        session.SelectVolume(-1, nullptr);
        volume.fsCode = kFsRaw;
        volume.SetLabel("Saved");
    }
    void TearDown() override {
        session.ReleaseController(true);
        session.SelectVolume(-1, nullptr);
    }
    RecoveryGraph& session = RecoveryGraph::Instance();
    testutil::TempDir dir;
    VolumeRecord volume;  // no extents: nothing to identify
};

TEST_F(SavedTransfer, ExportThenImportRestoresFoldersVolumeAndTrees) {
    std::vector<CFileSystemNode*> roots{SampleTree("one"), SampleTree("two")};
    session.SelectVolume(3, &volume);
    const std::string path = dir.File("result.rsf");
    ScanResultTransfer out(ScanResultTransfer::kExport, path);
    ScanResultTransfer::Hooks hooks;
    hooks.exportRoots = [&] { return roots; };
    out.SetHooks(hooks);
    ASSERT_TRUE(out.Start());
    out.Join();
    ASSERT_TRUE(out.Succeeded());
    EXPECT_EQ(out.Percentage(), 100);

    session.SelectVolume(-1, nullptr);
    std::vector<std::string> filtered;
    ScanResultTransfer in(ScanResultTransfer::kImport, path);
    ScanResultTransfer::Hooks back;
    VolumeRecord other;
    other.fsCode = kFsNtfs;
    back.liveVolumes = [&] { return std::vector<VolumeRecord*>{&other, &volume}; };
    back.addFolderFilter = [&](const std::string& f) { filtered.push_back(f); };
    in.SetHooks(back);
    ASSERT_TRUE(in.Run());
    EXPECT_EQ(session.GetScanMode(), kScanModeRestored);
    EXPECT_EQ(session.GetFirstVolume(), &volume);
    EXPECT_TRUE(filtered.empty());  // the folder list of a session not in the deleted-file mode is empty
    const std::vector<CFileSystemNode*> restored = session.GetTreeRoots();
    ASSERT_EQ(restored.size(), 2u);
    EXPECT_EQ(Shape(restored[0]), kSampleTreeLoaded);
    EXPECT_STREQ(restored[1]->GetVolumeLabel(), "two");

    // A result of chosen folders hands each folder to the session and the browser's filter.
    const std::string withFolders = dir.File("folders.rsf");
    {
        CRSDataEx w(1);
        ASSERT_TRUE(w.Open(withFolders.c_str(), 1));
        w.WriteHeader(MakeScanResultHeader(1));
        WriteFolderList(&w, {"/data/photos/", "/srv/music/"});
        WriteDeviceList(&w, &volume);
        FooDIRBuildCallback none;
        ASSERT_TRUE(SaveScanTrees({roots[0]}, &w, &none));
        w.Close();
    }
    ScanResultTransfer again(ScanResultTransfer::kImport, withFolders);
    again.SetHooks(back);
    ASSERT_TRUE(again.Run());
    EXPECT_EQ(filtered, (std::vector<std::string>{"/data/photos/", "/srv/music/"}));
    EXPECT_EQ(session.GetTreeRoots().size(), 1u);  // the earlier restored trees were released
    for (CFileSystemNode* r : roots) DestroySavedTree(r);
}

TEST_F(SavedTransfer, FailedExportsLeaveNoFile) {
    std::vector<CFileSystemNode*> roots;
    for (int i = 0; i < 7; ++i) roots.push_back(SampleTree("t"));
    struct Case {
        const char* what;
        size_t trees;
        bool selectVolume;
        bool cancel;
        TransferStop stop;
    };
    const Case cases[] = {
        {"seven trees", 7, true, false, TransferStop::kTreeExportFailed},
        {"no volume", 1, false, false, TransferStop::kNoSelectedVolume},
        {"cancelled", 6, true, true, TransferStop::kTreeExportFailed},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        session.SelectVolume(-1, nullptr);
        if (c.selectVolume) session.SelectVolume(0, &volume);
        const std::string path = dir.File("x.rsf");
        ScanResultTransfer out(ScanResultTransfer::kExport, path);
        ScanResultTransfer::Hooks hooks;
        hooks.exportRoots = [&] { return std::vector<CFileSystemNode*>(roots.begin(), roots.begin() + c.trees); };
        out.SetHooks(hooks);
        if (c.cancel) out.Cancel();
        EXPECT_FALSE(out.Run());
        EXPECT_EQ(out.StoppedAt(), c.stop);
        EXPECT_NE(::access(path.c_str(), F_OK), 0);
    }
    session.SetCancelCount(0);
    for (CFileSystemNode* r : roots) DestroySavedTree(r);
}

TEST_F(SavedTransfer, ImportsThatCannotMatchStopWhereTheyFail) {
    session.SelectVolume(0, &volume);
    const std::string path = dir.File("r.rsf");
    std::vector<CFileSystemNode*> roots{SampleTree("one")};
    {
        ScanResultTransfer out(ScanResultTransfer::kExport, path);
        ScanResultTransfer::Hooks hooks;
        hooks.exportRoots = [&] { return roots; };
        out.SetHooks(hooks);
        ASSERT_TRUE(out.Run());
    }
    DestroySavedTree(roots[0]);
    VolumeRecord changed = volume;
    changed.fsCode = kFsNtfs;
    struct Case {
        const char* what;
        std::string path;
        std::vector<VolumeRecord*> live;
        TransferStop stop;
    };
    const std::string notRsf = dir.File("plain.txt");
    {
        FILE* f = std::fopen(notRsf.c_str(), "wb");
        std::fputs("not a saved result", f);
        std::fclose(f);
    }
    const Case cases[] = {
        {"missing file", dir.File("absent.rsf"), {&volume}, TransferStop::kImportFileNotOpened},
        {"not a saved result", notRsf, {&volume}, TransferStop::kHeaderInvalid},
        {"volume now of another file system", path, {&changed}, TransferStop::kNoMatchingVolume},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ScanResultTransfer in(ScanResultTransfer::kImport, c.path);
        ScanResultTransfer::Hooks hooks;
        hooks.liveVolumes = [&] { return c.live; };
        in.SetHooks(hooks);
        EXPECT_FALSE(in.Run());
        EXPECT_EQ(in.StoppedAt(), c.stop);
    }
}

// A loaded result names the index of its disk image: whatever stands at that path that is not a
// regular file (a FIFO that would block the load for ever, a device, a folder) is not opened, and
// the volume is simply not found.
TEST(SavedResult, AVolumeOnAnImageOpensOnlyRegularFiles) {
    testutil::TempDir dir;
    const std::string fifo = dir.File("disk.idx");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    for (const std::string& index : {fifo, std::string("/dev/zero"), dir.Path()}) {
        SCOPED_TRACE(index);
        VolumeRecord record;
        record.source = 1;
        record.fsCode = kFsFat16;
        std::strncpy(record.imagePath, index.c_str(), sizeof record.imagePath - 1);
        record.AddExtent(0, 2048, nullptr);
        testutil::MemoryStream stream;
        u8 stored[kVolumeRecordSize];
        StoreVolumeRecord(record, stored);
        stream.Write(stored, kVolumeRecordSize);
        std::vector<std::unique_ptr<ReopenedImageVolume>> images;
        auto load = std::async(std::launch::async, [&] { return ReadDeviceList(&stream, {}, images); });
        // A watchdog, not a timing: a load that blocks is released by opening the FIFO's other end.
        if (load.wait_for(std::chrono::seconds(30)) != std::future_status::ready) {
            ADD_FAILURE() << "the load blocked on " << index;
            const int writer = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
            if (writer >= 0) ::close(writer);
        }
        EXPECT_EQ(load.get(), nullptr);
        EXPECT_TRUE(images.empty());
    }
}

}  // namespace
