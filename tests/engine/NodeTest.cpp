#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "SavedSections.h"
#include "TestUtil.h"
#include "engine/DirectoryTreeBuilder.h"
#include "engine/FileSystemNode.h"
#include "engine/RSData.h"
#include "engine/RawFileProperties.h"

namespace {

using Bytes = std::vector<u8>;
const MGUID kSection = {0xC0FFEE00, 0x4321, 0x8765, {1, 1, 2, 3, 5, 8, 13, 21}};

IFileProperties* File(const char* name, u64 size, u16 attributes = 0x20) {
    auto* p = new CRAWFileProperties;
    p->SetRawFileName(name);
    p->SetExtent(0, size);
    p->SetAttributes(attributes);
    return p;
}

IFileProperties* Folder(const char* name) {
    auto* p = new CRAWFileProperties;
    SetFolderPropertiesName(p, name);
    return p;
}

CFileNode* Add(CFileNode* parent, IFileProperties* properties) {
    CFileNode* n = CreateFileNode().release();
    n->SetFileProperties(properties);
    parent->AddChild(n);
    return n;
}

// Frees every node below root (root itself excluded), without recursion.
void FreeChildren(CFileNode* root) {
    std::vector<CFileNode*> all;
    for (CFileNode* c = root->GetFirstChild(); c != nullptr; c = c->GetNextSibling()) all.push_back(c);
    for (size_t i = 0; i < all.size(); ++i) {
        for (CFileNode* c = all[i]->GetFirstChild(); c != nullptr; c = c->GetNextSibling()) all.push_back(c);
    }
    for (CFileNode* n : all) DestroyTreeNode(n);
}

SelectionStatistics Stats(const CFileSystemNode& root) {
    SelectionStatistics s;
    root.GetStatistics(&s);
    return s;
}

bool Same(const SelectionStatistics& a, const SelectionStatistics& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// A RAW root holding: folder A {f1 10 bytes, f2 20 bytes compressed and encrypted, folder B {f3 5 bytes}}, f4 7 bytes.
struct SampleTree {
    SampleTree() {
        root.SetFileSystemType(6);
        root.SetFileProperties(CreateRootFileProperties(root).release());
        a = Add(&root, Folder("A"));
        f4 = Add(&root, File("f4", 7));
        f1 = Add(a, File("f1", 10));
        f2 = Add(a, File("f2", 20, 0x20 | 0x800 | 0x4000));
        b = Add(a, Folder("B"));
        f3 = Add(b, File("f3", 5));
        root.RecountStatistics();
    }
    ~SampleTree() { FreeChildren(&root); }
    // The root's statistics must always equal a fresh count of the tree.
    void ExpectConsistent() {
        SelectionStatistics fresh;
        CountSubtree(&root, &fresh, false, 0);
        EXPECT_TRUE(Same(Stats(root), fresh));
    }
    CFileSystemNode root;
    CFileNode *a, *b, *f1, *f2, *f3, *f4;
};

}  // namespace

TEST(NodeLinks, ChildrenGoToTheFrontAndUnlink) {
    CFileNode parent;
    CFileNode a, b, c, stranger;
    EXPECT_EQ(a.GetCheckState(), 2);
    EXPECT_EQ(a.GetId(), ~0ULL);
    EXPECT_EQ(a.GetParentId(), ~0ULL);
    EXPECT_EQ(a.GetRecordSector(), 0u);
    parent.AddChild(&a);
    parent.AddChild(&b);
    parent.AddChild(&c);
    EXPECT_EQ(parent.GetFirstChild(), &c);
    EXPECT_EQ(c.GetNextSibling(), &b);
    EXPECT_EQ(b.GetNextSibling(), &a);
    EXPECT_EQ(a.GetParent(), &parent);
    EXPECT_FALSE(parent.RemoveChild(&stranger));
    EXPECT_FALSE(parent.RemoveChild(nullptr));
    EXPECT_EQ(parent.GetFirstChild(), &c);
    EXPECT_TRUE(parent.RemoveChild(&b));
    EXPECT_EQ(c.GetNextSibling(), &a);
    EXPECT_EQ(b.GetParent(), nullptr);
    EXPECT_EQ(b.GetNextSibling(), nullptr);
    EXPECT_TRUE(parent.RemoveChild(&c));
    EXPECT_EQ(parent.GetFirstChild(), &a);
    EXPECT_TRUE(parent.RemoveChild(&a));
    EXPECT_EQ(parent.GetFirstChild(), nullptr);
}

TEST(NodeLinks, FileSystemAndGeometryComeFromTheNearestRoot) {
    CFileNode loose;
    u64 start = 1;
    u32 spc = 1;
    EXPECT_EQ(loose.GetFileSystemType(), 9u);
    EXPECT_FALSE(loose.GetPartitionGeometry(start, spc));
    EXPECT_EQ(start, 0u);
    EXPECT_EQ(spc, 0u);

    CFileSystemNode root;
    EXPECT_EQ(root.GetFileSystemType(), 9u);
    root.SetFileSystemType(3);
    root.SetPartitionGeometry(2048, 8);
    CFileNode folder, file;
    root.AddChild(&folder);
    folder.AddChild(&file);
    EXPECT_EQ(file.GetFileSystemType(), 3u);
    ASSERT_TRUE(file.GetPartitionGeometry(start, spc));
    EXPECT_EQ(start, 2048u);
    EXPECT_EQ(spc, 8u);
    ASSERT_TRUE(root.GetPartitionGeometry(start, spc));
    folder.RemoveChild(&file);
    root.RemoveChild(&folder);
}

TEST(NodeCheckStates, FolderRule) {
    CFileNode folder, x, y;
    EXPECT_EQ(DeriveFolderCheckState(&folder), 0);
    folder.AddChild(&x);
    folder.AddChild(&y);
    const std::pair<std::pair<u8, u8>, u8> cases[] = {
        {{2, 2}, 2}, {{2, 0}, 1}, {{1, 0}, 1}, {{0, 0}, 0}, {{1, 1}, 1}, {{2, 1}, 1}};
    for (const auto& [states, expected] : cases) {
        x.SetCheckState(states.first);
        y.SetCheckState(states.second);
        EXPECT_EQ(DeriveFolderCheckState(&folder), expected) << int(states.first) << "," << int(states.second);
    }
    folder.RemoveChild(&x);
    folder.RemoveChild(&y);
}

TEST(NodeCheckStates, TogglesUpdateAncestorsAndStatistics) {
    SampleTree t;
    // Folders are never counted; a compressed, encrypted file counts once in each counter.
    SelectionStatistics s = Stats(t.root);
    EXPECT_EQ(s.files, 4u);
    EXPECT_EQ(s.checkedFiles, 4u);
    EXPECT_EQ(s.bytes, 42u);
    EXPECT_EQ(s.checkedBytes, 42u);
    EXPECT_EQ(s.compressedFiles, 1u);
    EXPECT_EQ(s.checkedCompressedFiles, 1u);
    EXPECT_EQ(s.encryptedFiles, 1u);
    EXPECT_EQ(s.checkedEncryptedFiles, 1u);

    t.root.ToggleCheck(t.f3, false);
    EXPECT_EQ(t.f3->GetCheckState(), 0);
    EXPECT_EQ(t.b->GetCheckState(), 0);  // its only child is unchecked
    EXPECT_EQ(t.a->GetCheckState(), 1);
    EXPECT_EQ(t.root.GetCheckState(), 1);
    EXPECT_EQ(Stats(t.root).checkedFiles, 3u);
    EXPECT_EQ(Stats(t.root).checkedBytes, 37u);
    t.ExpectConsistent();

    t.root.ToggleCheck(t.f2, false);
    EXPECT_EQ(Stats(t.root).checkedCompressedFiles, 0u);
    EXPECT_EQ(Stats(t.root).checkedEncryptedFiles, 0u);
    EXPECT_EQ(Stats(t.root).checkedBytes, 17u);
    t.ExpectConsistent();

    // Toggling a partly checked folder checks its whole subtree; the root gains the files that
    // were unchecked.
    EXPECT_EQ(t.a->GetCheckState(), 1);
    t.root.ToggleCheck(t.a, false);
    for (CFileNode* n : {t.a, t.b, t.f1, t.f2, t.f3}) EXPECT_EQ(n->GetCheckState(), 2);
    EXPECT_EQ(t.root.GetCheckState(), 2);
    EXPECT_TRUE(Same(Stats(t.root), s));
    t.ExpectConsistent();

    // Unchecking the root empties every checked counter and leaves the totals.
    t.root.ToggleCheck(&t.root, false);
    s = Stats(t.root);
    EXPECT_EQ(s.files, 4u);
    EXPECT_EQ(s.bytes, 42u);
    EXPECT_EQ(s.checkedFiles + s.checkedBytes + s.checkedCompressedFiles + s.checkedEncryptedFiles, 0u);
    for (CFileNode* n : {t.a, t.b, t.f1, t.f2, t.f3, t.f4}) EXPECT_EQ(n->GetCheckState(), 0);
    t.ExpectConsistent();

    // This node only: its state flips, nothing else moves.
    t.root.ToggleCheck(t.f1, true);
    EXPECT_EQ(t.f1->GetCheckState(), 2);
    EXPECT_EQ(t.a->GetCheckState(), 0);
    EXPECT_EQ(Stats(t.root).checkedFiles, 0u);
}

TEST(NodeCheckStates, RandomTogglesKeepStatisticsAndFolderStatesExact) {
    SampleTree t;
    std::vector<CFileNode*> nodes = {&t.root, t.a, t.b, t.f1, t.f2, t.f3, t.f4};
    std::mt19937 random(1234);
    for (int i = 0; i < 300; ++i) {
        t.root.ToggleCheck(nodes[random() % nodes.size()], false);
        t.ExpectConsistent();
        for (CFileNode* folder : {t.b, t.a}) EXPECT_EQ(folder->GetCheckState(), DeriveFolderCheckState(folder));
    }
}

TEST(NodeCheckStates, SingleFileOfTenBytes) {
    CFileSystemNode root;
    CFileNode* file = Add(&root, File("x", 10));
    root.RecountStatistics();
    root.ToggleCheck(file, false);
    const SelectionStatistics s = Stats(root);
    EXPECT_EQ(s.files, 1u);
    EXPECT_EQ(s.checkedFiles, 0u);
    EXPECT_EQ(s.bytes, 10u);
    EXPECT_EQ(s.checkedBytes, 0u);
    EXPECT_EQ(root.SetNodeFlag(file, 5), 1u);
    EXPECT_EQ(root.SetNodeFlag(nullptr, 5), 0u);
    CFileNode bare;
    EXPECT_EQ(root.SetNodeFlag(&bare, 5), 0u);
    FreeChildren(&root);
}

TEST(NodeCheckStates, DeepAndWideTreesNeedNoRecursion) {
    constexpr int kDepth = 200000;
    CFileSystemNode root;
    root.SetFileSystemType(6);
    CFileNode* folder = &root;
    for (int i = 0; i < kDepth; ++i) folder = Add(folder, Folder("d"));
    CFileNode* leaf = Add(folder, File("leaf", 3));
    for (int i = 0; i < 1000; ++i) Add(&root, File("w", 1));
    root.RecountStatistics();
    EXPECT_EQ(Stats(root).files, 1001u);
    EXPECT_EQ(leaf->GetFileSystemType(), 6u);

    root.ToggleCheck(leaf, false);
    EXPECT_EQ(root.GetFirstChild()->GetNextSibling()->GetCheckState(), 2);
    EXPECT_EQ(Stats(root).checkedFiles, 1000u);
    EXPECT_EQ(folder->GetCheckState(), 0);
    EXPECT_EQ(root.GetCheckState(), 1);
    root.ToggleCheck(&root, false);  // partly checked: everything becomes checked
    EXPECT_EQ(leaf->GetCheckState(), 2);
    EXPECT_EQ(Stats(root).checkedFiles, 1001u);
    EXPECT_EQ(Stats(root).checkedBytes, 1003u);
    FreeChildren(&root);
}

TEST(NodeCheckStates, UncheckingALoadedRootDoesNotWrapItsCounters) {
    testutil::TempDir dir;
    const std::string path = testutil::WriteSection(dir, "root.rsf", kSection, [](IRSData* s) {
        CFileSystemNode saved;
        CFileNode* f = Add(&saved, File("f", 9));
        saved.RecountStatistics();
        saved.Save(s);
        FreeChildren(&saved);
        (void)f;
    });
    CRSDataEx in(0);
    ASSERT_TRUE(in.Open(path.c_str(), 0));
    in.BeginSection(kSection);
    CFileSystemNode root;
    root.Load(&in);
    CFileNode* f = Add(&root, File("f", 9));
    EXPECT_EQ(Stats(root).checkedFiles, 0u);  // not yet recounted
    root.ToggleCheck(f, false);
    EXPECT_EQ(Stats(root).checkedFiles, 0u);
    EXPECT_EQ(Stats(root).checkedBytes, 0u);
    FreeChildren(&root);
}

TEST(NodeRoots, LabelsRootPropertiesAndClones) {
    CFileSystemNode root;
    root.SetVolumeLabel(std::string(50, 'L').c_str());
    EXPECT_EQ(std::string(root.GetVolumeLabel()), std::string(40, 'L'));
    EXPECT_EQ(root.GetVolumeLabelLength(), 40u);
    // Cut where no character is split.
    std::string accented(39, 'a');
    accented += "\xC3\xA9";
    root.SetVolumeLabel(accented.c_str());
    EXPECT_EQ(std::string(root.GetVolumeLabel()), std::string(39, 'a'));
    root.SetVolumeLabel(nullptr);
    EXPECT_EQ(root.GetVolumeLabel(), nullptr);

    for (u32 code : {4u, 5u, 9u, 100u}) {
        root.SetFileSystemType(code);
        EXPECT_EQ(CreateRootFileProperties(root).release(), nullptr) << code;
    }
    root.SetFileSystemType(3);
    IFileProperties* ntfs = CreateRootFileProperties(root).release();
    ASSERT_NE(ntfs, nullptr);
    EXPECT_STREQ(ntfs->GetName(), "NTFS");
    EXPECT_EQ(ntfs->GetAttributes() & 0x10, 0x10);
    EXPECT_EQ(ntfs->GetFileSystemKind(), 0u);
    ntfs->Release();
    root.SetFileSystemType(6);
    IFileProperties* raw = CreateRootFileProperties(root).release();
    ASSERT_NE(raw, nullptr);
    EXPECT_STREQ(raw->GetName(), "RAW");
    EXPECT_EQ(raw->GetAttributes(), 0x10);
    EXPECT_EQ(raw->GetFileSystemKind(), 3u);
    root.SetFileProperties(raw);

    u8 info[kVolumeInfoSize];
    for (u32 i = 0; i < kVolumeInfoSize; ++i) info[i] = static_cast<u8>(i * 7);
    EXPECT_EQ(root.SetVolumeInfo(info), 1u);
    root.SetVolumeLabel("Data");
    root.SetPartitionGeometry(63, 1);
    root.SetId(5);
    root.SetParentId(4);
    root.SetRecordSector(99);
    root.SetCheckState(1);
    CFileNode* child = Add(&root, File("c", 3));
    root.RecountStatistics();

    CFileNode* clone = root.Clone();
    ASSERT_NE(clone, nullptr);
    ASSERT_TRUE(clone->IsFileSystemNode());
    auto* copy = static_cast<CFileSystemNode*>(clone);
    EXPECT_EQ(copy->GetId(), 5u);
    EXPECT_EQ(copy->GetParentId(), 4u);
    EXPECT_EQ(copy->GetRecordSector(), 99u);
    EXPECT_EQ(copy->GetCheckState(), 2);
    EXPECT_EQ(copy->GetFirstChild(), nullptr);
    EXPECT_STREQ(copy->GetVolumeLabel(), "Data");
    EXPECT_NE(copy->GetVolumeLabel(), root.GetVolumeLabel());
    EXPECT_EQ(copy->GetFileSystemType(), 6u);
    EXPECT_TRUE(Same(Stats(*copy), Stats(root)));
    u8 out[kVolumeInfoSize] = {};
    copy->GetVolumeInfo(out);
    EXPECT_EQ(std::memcmp(out, info, kVolumeInfoSize), 0);
    ASSERT_NE(copy->GetFileProperties(), nullptr);
    EXPECT_NE(copy->GetFileProperties(), root.GetFileProperties());  // new root properties
    EXPECT_STREQ(copy->GetFileProperties()->GetName(), "RAW");
    DeleteFileSystemNode(copy);
    FreeChildren(&root);
    (void)child;
}

TEST(NodeRoots, SavedFormRoundTripsByteForByte) {
    testutil::TempDir dir;
    // Statistics {5, 3, 100, 60, 1, 1, 0, 0} are saved with the checked counters as 0.
    const std::string path = testutil::WriteSection(dir, "root.rsf", kSection, [](IRSData* s) {
        const u32 stats[] = {5, 3};
        s->WriteU32(stats[0]);
        s->WriteU32(stats[1]);
        s->WriteU64(100);
        s->WriteU64(60);
        s->WriteU32(1);
        s->WriteU32(1);
        s->WriteU32(0);
        s->WriteU32(0);
        s->WriteU64(2048);
        s->WriteU32(8);
        s->WriteU32(3);
        s->WriteU32(4);
        s->Write("Data", 4);
    });
    CFileSystemNode root;
    {
        CRSDataEx in(0);
        ASSERT_TRUE(in.Open(path.c_str(), 0));
        in.BeginSection(kSection);
        EXPECT_EQ(root.Load(&in), 1u);
    }
    EXPECT_EQ(Stats(root).checkedFiles, 3u);  // loaded as saved
    EXPECT_STREQ(root.GetVolumeLabel(), "Data");
    EXPECT_EQ(root.GetFileSystemType(), 3u);

    testutil::TempDir again;
    const std::string saved =
        testutil::WriteSection(again, "root.rsf", kSection, [&](IRSData* s) { EXPECT_EQ(root.Save(s), 1u); });
    Bytes expected = {5, 0, 0, 0, 0, 0, 0, 0, 100, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                      1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                      0, 8, 0, 0, 0, 0, 0, 0, 8, 0, 0, 0, 3, 0, 0, 0, 4, 0, 0, 0, 'D', 'a', 't', 'a'};
    EXPECT_EQ(testutil::SectionBytes(saved, kSection, static_cast<u32>(expected.size())), expected);

    // Without a label: length 0 and no bytes; a plain node saves nothing.
    root.SetVolumeLabel(nullptr);
    CFileNode plain;
    testutil::TempDir third;
    const std::string unlabeled = testutil::WriteSection(third, "root.rsf", kSection, [&](IRSData* s) {
        EXPECT_EQ(plain.Save(s), 0u);
        root.Save(s);
    });
    expected.resize(expected.size() - 4);
    expected[expected.size() - 4] = 0;
    EXPECT_EQ(testutil::SectionBytes(unlabeled, kSection, static_cast<u32>(expected.size())), expected);
}

TEST(NodeRoots, LabelLengthIsCheckedBeforeAllocating) {
    testutil::TempDir dir;
    const std::string path = testutil::WriteSection(dir, "root.rsf", kSection, [](IRSData* s) {
        for (int i = 0; i < 10; ++i) s->WriteU32(0);  // statistics
        s->WriteU64(0);
        s->WriteU32(1);
        s->WriteU32(6);
        s->WriteU32(0xFFFFFFF0u);  // a label length far beyond the section
        s->Write("abc", 3);
    });
    CRSDataEx in(0);
    ASSERT_TRUE(in.Open(path.c_str(), 0));
    in.BeginSection(kSection);
    CFileSystemNode root;
    root.SetVolumeLabel("old");
    try {
        root.Load(&in);
        FAIL() << "a label length beyond the section must throw";
    } catch (const IRSException& e) {
        EXPECT_EQ(e.GetCode(), 5u);
    }
    EXPECT_EQ(root.GetVolumeLabel(), nullptr);
}

// The owning handles: a copy of a properties handle holds a reference of its own, release hands
// the reference on, and a node a builder refuses stays with its handle. The sanitizer build checks
// that nothing is left behind.
TEST(NodeHandles, PropertiesReferencesAreCountedThroughTheHandle) {
    PropertiesRef<CRAWFileProperties> first = CreateRAWFileProperties();
    ASSERT_TRUE(first);
    EXPECT_EQ(first->GetRefCount(), 1u);
    {
        const PropertiesRef<CRAWFileProperties> copy = first;
        EXPECT_EQ(first->GetRefCount(), 2u);
        TreeNodePtr node = CreateFileNode();
        ASSERT_TRUE(node);
        node->SetFileProperties(PropertiesRef<CRAWFileProperties>(copy).release());
        EXPECT_EQ(first->GetRefCount(), 3u);
        const TreeNodePtr clone = CloneTreeNode(node.get());
        ASSERT_TRUE(clone);
        EXPECT_EQ(clone->GetFileProperties(), first.get());
        EXPECT_EQ(first->GetRefCount(), 4u);
    }
    EXPECT_EQ(first->GetRefCount(), 1u);
    PropertiesRef<> widened = std::move(first);
    EXPECT_FALSE(first);
    ASSERT_TRUE(widened);
    IFileProperties* handedOn = widened.release();
    EXPECT_FALSE(widened);
    EXPECT_EQ(handedOn->GetRefCount(), 1u);
    widened.reset(handedOn);
    EXPECT_FALSE(CloneTreeNode(nullptr));
}

TEST(NodeHandles, ANodeTheBuilderRefusesStaysWithItsHandle) {
    struct BuilderRelease {
        void operator()(IDirecotryTreeBuilder* b) const { b->Release(); }
    };
    std::unique_ptr<IDirecotryTreeBuilder, BuilderRelease> builder(CreateDirectoryTreeBuilder());
    ASSERT_TRUE(builder);
    // Not initialised: without a filter the builder takes nothing, and says so.
    FileSystemNodePtr root = CreateFileSystemNode();
    TreeNodePtr node = CreateFileNode();
    ASSERT_TRUE(root && node);
    node->SetFileProperties(File("kept.txt", 10));
    u32 error = 0;
    if (builder->AddFoundFileNode(node.get(), 0, &error) != 0) node.release();
    if (builder->AddFileNode(node.get(), nullptr) != 0) node.release();
    if (builder->AddFileSystemTree(root.get()) != 0) root.release();
    EXPECT_TRUE(node);
    EXPECT_TRUE(root);
    EXPECT_STREQ(node->GetFileProperties()->GetName(), "kept.txt");
    const TreeNodePtr rootClone = CloneTreeNode(root.get());
    ASSERT_TRUE(rootClone);
    EXPECT_TRUE(rootClone->IsFileSystemNode());
}
