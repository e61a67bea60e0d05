#include "engine/HeldFile.h"

#include <new>

#include "engine/DataRunList.h"
#include "engine/FileProperties.h"
#include "engine/FileRecovererCopy.h"
#include "engine/RecoveryGraph.h"

namespace {
// The root a held file's node lies under; it marks the node as held and leads to its held file.
class CHeldRoot final : public CFileSystemNode {
public:
    explicit CHeldRoot(const CHeldFile* held) : m_held(held) {}
    const CHeldFile* Held() const { return m_held; }

private:
    const CHeldFile* m_held;
};

const CHeldRoot* HeldRootOf(const CFileNode* node) {
    return node != nullptr ? dynamic_cast<const CHeldRoot*>(node->GetParent()) : nullptr;
}
}  // namespace

std::shared_ptr<const CHeldFile> CHeldFile::Take(CFileNode* node) {
    const IFileProperties* properties = node != nullptr ? node->GetFileProperties() : nullptr;
    if (properties == nullptr || (properties->GetAttributes() & kAttrDirectory) != 0) return nullptr;
    std::shared_ptr<CHeldFile> held(new (std::nothrow) CHeldFile);
    FileSystemNodePtr root(new (std::nothrow) CHeldRoot(held.get()));
    // The copy holds one more reference to the properties: they outlive the tree's node.
    TreeNodePtr file = CloneTreeNode(node);
    if (!held || !root || !file) return nullptr;
    u64 start = 0;
    u32 sectorsPerCluster = 0;
    RecoveryGraph& session = RecoveryGraph::Instance();
    {
        // A release of the scan frees its controller only once no reader holds the trees.
        const ScanThreads::TreeReader reader = session.HoldTrees();
        // The place and the extents under the one lock a scan that moves a file takes: a
        // paused complete scan may give the file new extents when it places it.
        const std::lock_guard<std::mutex> placing(FilePlacementLock());
        if (!FoundFileSource(session.GetController(), node, start, sectorsPerCluster)) {
            start = 0;
            sectorsPerCluster = 0;
        }
        const std::unique_ptr<IDataRunList> runs(properties->CreateDataRunList());
        held->m_runs.reset(CCompactRunList::Create(runs.get()));
    }
    // A rename leaves the name it replaces readable (see the properties' GetName): this copy is
    // the held file's own from here on.
    const char* name = properties->GetName();
    held->m_name = name != nullptr ? name : "";
    root->SetFileSystemType(node->GetFileSystemType());
    root->SetPartitionGeometry(start, sectorsPerCluster);
    held->m_file = file.release();
    root->AddChild(held->m_file);
    held->m_root = std::move(root);
    held->m_volume = session.HoldFirstVolume();
    return held;
}

CHeldFile::~CHeldFile() {
    // The root and the one node below it are the held file's own.
    if (m_root) DestroySubtree(m_root.release());
}

bool CHeldFile::IsFileOf(const CFileNode* node) const {
    return node != nullptr && node->GetFileProperties() == Properties();
}

bool CHeldFile::IsHeldNode(const CFileNode* node) { return HeldRootOf(node) != nullptr; }

std::unique_ptr<IDataRunList> CHeldFile::RunsOf(const CFileNode* node) {
    if (const CHeldRoot* root = HeldRootOf(node)) {
        const CCompactRunList* runs = root->Held()->m_runs.get();
        return std::unique_ptr<IDataRunList>(runs != nullptr ? runs->Expand() : nullptr);
    }
    const IFileProperties* properties = node != nullptr ? node->GetFileProperties() : nullptr;
    return std::unique_ptr<IDataRunList>(properties != nullptr ? properties->CreateDataRunList() : nullptr);
}

std::string CHeldFile::NameOf(const CFileNode* node) {
    if (const CHeldRoot* root = HeldRootOf(node)) return root->Held()->m_name;
    const IFileProperties* properties = node != nullptr ? node->GetFileProperties() : nullptr;
    const char* name = properties != nullptr ? properties->GetName() : nullptr;
    return name != nullptr ? name : "";
}
