#include "FatTestSupport.h"

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>

#include "TestUtil.h"
#include "engine/DataRunList.h"
#include "engine/FileNode.h"
#include "engine/FileProperties.h"
#include "engine/FileSystemNode.h"
#include "engine/PartitionTree.h"

namespace fattest {

// ---- builder ----
RecordingBuilder::~RecordingBuilder() {
    for (CFileNode* node : nodes) DestroyTreeNode(node);
    DestroyTreeNode(root);
}

u32 RecordingBuilder::AddFileSystemTree(CFileSystemNode* r) {
    ++rootsOffered;
    if (refuseRoot) return 0;
    DestroyTreeNode(root);
    root = r;
    return 1;
}

u32 RecordingBuilder::AddFoundFileNode(CFileNode* node, u32 treeKind, u32* error) {
    if (error != nullptr) *error = 0;
    nodes.push_back(node);
    treeKinds.push_back(treeKind);
    return 1;
}

std::string RecordingBuilder::PathOf(const CFileNode* node) const {
    std::string path;
    for (int steps = 0; node != nullptr && steps < 64; ++steps) {
        const IFileProperties* p = node->GetFileProperties();
        path = "/" + std::string(p && p->GetName() ? p->GetName() : "?") + path;
        const u64 parent = node->GetParentId();
        if (parent == 0) return path;
        const CFileNode* up = nullptr;
        for (const CFileNode* n : nodes) {
            const IFileProperties* np = n->GetFileProperties();
            if (n->GetId() == parent && np && (np->GetAttributes() & kAttrDirectory)) {
                up = n;
                if ((np->GetState() & 1) == 0) break;  // a live folder of that cluster wins
            }
        }
        node = up;
    }
    return "?" + path;
}

const CFileNode* RecordingBuilder::FindByPath(const std::string& path) const {
    for (const CFileNode* n : nodes) {
        if (PathOf(n) == path) return n;
    }
    return nullptr;
}

i32 CountingProgress::OnProgress(const ProgressInfo* record) {
    if (record == nullptr || record->Total == 0) return -1;
    reported.push_back(record->Done);
    return i32(Continued());
}

u32 CountingProgress::Continued() {
    ++continuedCalls;
    return continuedCalls >= stopAfter ? 0 : 1;
}

std::string NameOf(const CFileNode* n) {
    const IFileProperties* p = n->GetFileProperties();
    return p && p->GetName() ? p->GetName() : "";
}

std::string Folder(const std::string& path) { return path.substr(0, path.rfind('/')); }

void CollectPaths(const CFileNode* root, std::map<std::string, const CFileNode*>& out,
                  const std::function<std::string(const std::string&)>& key) {
    std::vector<std::pair<const CFileNode*, std::string>> stack{{root, ""}};
    while (!stack.empty()) {
        auto [node, path] = stack.back();
        stack.pop_back();
        for (const CFileNode* c = node->GetFirstChild(); c != nullptr; c = c->GetNextSibling()) {
            const std::string p = path + "/" + NameOf(c);
            out.emplace(key(p), c);
            stack.push_back({c, p});
        }
    }
}

void ExpectDeletedAsManifest(IStorageDevice& volume, const RecordingBuilder& builder, const CFileNode& node,
                             const ExpectedFile& e) {
    const IFileProperties* p = node.GetFileProperties();
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->GetState() & kStateDeleted, kStateDeleted);
    EXPECT_EQ(p->GetSize(), e.size);
    FILETIME64 mtime = 0;
    p->GetModificationTime(mtime);
    EXPECT_EQ(testutil::FileTimeToIsoUtc(mtime), e.mtime);
    if (!e.intact) return;
    std::vector<u8> data;
    ASSERT_TRUE(ReadThroughRuns(volume, *builder.root, node, data));
    EXPECT_EQ(testutil::Sha256Hex(data.data(), data.size()), e.sha256);
}

QuickTree::~QuickTree() {
    if (builder != nullptr) builder->Release();
}

void BuildQuickTree(IStorageDevice* volume, std::unique_ptr<IQuickFileSystemSearchController> search,
                    bool builderProgress,
                    QuickTree& out) {
    out.builder = CreateDirectoryTreeBuilder();
    ASSERT_NE(out.builder, nullptr);
    ASSERT_EQ(out.builder->Init("Volume", &out.consumer, &out.filter, kBuilderQuickMode, volume, 0), 1u);
    if (builderProgress) out.builder->SetProgress(&out.progress);
    search->SetDirectoryTreeBuilder(out.builder);
    ASSERT_EQ(search->Search(volume, &out.progress), 0u);
    search.reset();
    out.builder->FinishSearch();
    out.builder->FinishBuild();
    out.root = static_cast<CDirectoryTreeBuilder*>(out.builder)->GetQuickTree()->GetRoot();
    ASSERT_NE(out.root, nullptr);
}

bool ReadThroughRuns(IStorageDevice& device, const CFileSystemNode& root, const CFileNode& node, std::vector<u8>& out) {
    u64 start = 0;
    u32 spc = 0;
    if (!root.GetPartitionGeometry(start, spc)) return false;
    const IFileProperties* p = node.GetFileProperties();
    if (p == nullptr) return false;
    std::unique_ptr<IDataRunList> runs(p->CreateDataRunList());
    if (!runs) return false;
    const u32 sectorSize = device.GetSectorSize();
    const u64 size = p->GetSize();
    out.clear();
    for (DataRunExtent* e = runs->GetFirstExtent(); e != nullptr && out.size() < size; e = runs->GetNextExtent()) {
        if (e->start < 0) return false;
        std::vector<u8> chunk(e->length * spc * sectorSize);
        if (!device.Read(chunk.data(), start + u64(e->start) * spc, e->length * spc)) return false;
        out.insert(out.end(), chunk.begin(), chunk.end());
    }
    if (out.size() < size) return false;
    out.resize(size);
    return true;
}

}  // namespace fattest
