#include "engine/HeldFile.h"

#include <new>

#include "engine/FileProperties.h"
#include "engine/FileRecovererCopy.h"
#include "engine/RecoveryGraph.h"

namespace {
// The root a held file's node lies under; it marks the node as held.
class CHeldRoot final : public CFileSystemNode {};
}  // namespace

std::shared_ptr<const CHeldFile> CHeldFile::Take(CFileNode* node) {
    const IFileProperties* properties = node != nullptr ? node->GetFileProperties() : nullptr;
    if (properties == nullptr || (properties->GetAttributes() & kAttrDirectory) != 0) return nullptr;
    std::shared_ptr<CHeldFile> held(new (std::nothrow) CHeldFile);
    FileSystemNodePtr root(new (std::nothrow) CHeldRoot);
    // The copy holds one more reference to the properties: they outlive the tree's node.
    TreeNodePtr file = CloneTreeNode(node);
    if (!held || !root || !file) return nullptr;
    u64 start = 0;
    u32 sectorsPerCluster = 0;
    RecoveryGraph& session = RecoveryGraph::Instance();
    {
        // A release of the scan frees its controller only once no reader holds the trees.
        const ScanThreads::TreeReader reader = session.HoldTrees();
        const std::lock_guard<std::mutex> placing(FilePlacementLock());
        if (!FoundFileSource(session.GetController(), node, start, sectorsPerCluster)) {
            start = 0;
            sectorsPerCluster = 0;
        }
    }
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

std::string CHeldFile::Name() const {
    const char* name = Properties()->GetName();
    return name != nullptr ? name : "";
}

bool CHeldFile::IsFileOf(const CFileNode* node) const {
    return node != nullptr && node->GetFileProperties() == Properties();
}

bool CHeldFile::IsHeldNode(const CFileNode* node) {
    return node != nullptr && dynamic_cast<const CHeldRoot*>(node->GetParent()) != nullptr;
}
