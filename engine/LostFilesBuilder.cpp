#include "engine/LostFilesBuilder.h"

#include <unordered_set>

#include "engine/FileNode.h"
#include "engine/FileProperties.h"
#include "engine/FileSystemNode.h"
#include "engine/FileSystemPlugins.h"

namespace {

// True when candidate is folder itself or one of the folders it already hangs below. The walk is
// bounded by the number of orphans plus one level for the "LostFiles" folder, so a damaged link
// chain cannot keep it going.
bool IsSelfOrAncestor(const CFileNode* candidate, const CFileNode* folder, size_t bound) {
    const CFileNode* n = folder;
    for (size_t steps = 0; n && steps <= bound; ++steps, n = n->GetParent()) {
        if (n == candidate) return true;
    }
    return false;
}

}  // namespace

void LostFilesBuilder::Init(u32 fsCode, OrphanMap* orphanFolders, OrphanMap* orphanFiles) {
    m_code = fsCode;
    m_orphanFolders = orphanFolders;
    m_orphanFiles = orphanFiles;
}

PropertiesRef<> LostFilesBuilder::CreateFolderProperties(u32 fsCode, const char* name) {
    return ::CreateFolderProperties(fsCode, name);
}

TreeNodePtr LostFilesBuilder::Build(std::vector<CFileNode*>* output) {
    if (!m_orphanFolders || !m_orphanFiles) return nullptr;
    PropertiesRef<> properties = CreateFolderProperties(m_code, kLostFilesFolderName);
    if (!properties) return nullptr;
    TreeNodePtr lost = CreateFileNode();
    if (!lost) return nullptr;
    lost->SetFileProperties(properties.release());

    // Nodes for the consumer: folders that received children go in front (the last one first),
    // then every node linked, each once.
    std::vector<CFileNode*> fronts;
    std::vector<CFileNode*> linked;
    std::unordered_set<CFileNode*> reported;
    const size_t bound = m_orphanFolders->size() + m_orphanFiles->size() + 1;

    for (auto& entry : *m_orphanFolders) {
        CFileNode* folder = entry.second;
        const u64 id = folder->GetId();
        bool received = false;
        auto folders = m_orphanFolders->equal_range(id);
        for (auto it = folders.first; it != folders.second; ++it) {
            CFileNode* child = it->second;
            if (child->GetParent() || child == folder || IsSelfOrAncestor(child, folder, bound)) continue;
            folder->AddChild(child);
            received = true;
            if (output && reported.insert(child).second) linked.push_back(child);
        }
        auto files = m_orphanFiles->equal_range(id);
        for (auto it = files.first; it != files.second; ++it) {
            CFileNode* child = it->second;
            if (child->GetParent()) continue;
            folder->AddChild(child);
            received = true;
            if (output && reported.insert(child).second) linked.push_back(child);
        }
        if (received && output && reported.insert(folder).second) fronts.push_back(folder);
    }

    for (auto& entry : *m_orphanFolders) {
        if (entry.second->GetParent()) continue;
        lost->AddChild(entry.second);
        if (output && reported.insert(entry.second).second) linked.push_back(entry.second);
    }
    for (auto& entry : *m_orphanFiles) {
        if (entry.second->GetParent()) continue;
        lost->AddChild(entry.second);
        if (output && reported.insert(entry.second).second) linked.push_back(entry.second);
    }

    if (!lost->GetFirstChild()) return nullptr;
    if (output) {
        std::vector<CFileNode*> block;
        block.reserve(1 + fronts.size() + linked.size());
        block.push_back(lost.get());
        block.insert(block.end(), fronts.rbegin(), fronts.rend());
        block.insert(block.end(), linked.begin(), linked.end());
        output->insert(output->begin(), block.begin(), block.end());
    }
    return lost;
}
