#include "engine/DirectoryTreeBuilder.h"

#include <algorithm>
#include <memory>
#include <new>
#include <set>

#include "devices/StorageDevice.h"
#include "engine/DirectoryTree.h"
#include "engine/FileNode.h"
#include "engine/FileProperties.h"
#include "engine/FileSystemNode.h"
#include "engine/PartitionTree.h"
#include "engine/Progress.h"
#include "engine/RecoveryFilter.h"
#include "engine/SearchedPartitionInfo.h"
#include "platform/Log.h"
#include "platform/Time.h"

namespace {

constexpr const char* kFinishSearch = "CDirectoryTreeBuilder::FinishSearch";
constexpr const char* kCreateNewTree = "CDirectoryTreeBuilder::CreateNewFileSystemTree";
constexpr const char* kSelectTrees = "CDirectoryTreeBuilder::GetSelPartitonAndSystemTree";
constexpr const char* kFinishBuild = "CDirectoryTreeBuilder::FinishBuild";

int Tick() { return static_cast<int>(GetTickCountMs()); }

// Candidate codes compared with tree codes: every FAT variant counts as FAT32.
u32 NormalisedCode(u32 code) {
    if (IsFatCode(code)) return kFsFat32;
    return FileSystemTypeName(code) ? code : kFsUnknown;
}

}  // namespace

IDirecotryTreeBuilder* CreateDirectoryTreeBuilder() { return new (std::nothrow) CDirectoryTreeBuilder(); }

CDirectoryTreeBuilder::~CDirectoryTreeBuilder() {
    for (CPartitionTree* t : m_trees) delete t;
    delete m_quickTree;
}

u32 CDirectoryTreeBuilder::Init(const char* rootName, IDirectoryTree* consumer, IRecoveryFilter* filter, u32 mode,
                                IStorageDevice* device, u32 lostDataReason) {
    if (!rootName || !consumer || !filter || !device) return 0;
    m_rootName = rootName;
    m_consumer = consumer;
    m_filter = filter;
    m_mode = mode;
    m_device = device;
    if (m_mode == kBuilderQuickMode && !m_quickTree) {
        m_quickTree = new (std::nothrow) CQuickScanTree();
        if (!m_quickTree) return 0;
    }
    const u64 sectors = device->GetTotalSectors();
    // A file is measured against the volume it was found on: on an image cut short that is
    // longer than the device, and a file reaching past the image's end is still the volume's,
    // listed for the writer to count what it cannot read.
    const u64 volumeSectors = std::max(sectors, device->GetVolumeSectors());
    u64 volumeBytes = 0;
    if (__builtin_mul_overflow(volumeSectors, u64(device->GetSectorSize()), &volumeBytes)) volumeBytes = ~u64(0);
    m_volumeBytes = volumeBytes;
    m_evaluation.Init(sectors, lostDataReason);
    m_consumer->SetRootText(m_rootName.c_str());
    return 1;
}

bool CDirectoryTreeBuilder::IsTooLarge(CFileNode* node) const {
    const IFileProperties* p = node->GetFileProperties();
    // Compared unsigned: a size read from a damaged record with its top bit set is no smaller
    // than the volume either.
    return !p || p->GetSize() >= m_volumeBytes;
}

CPartitionTree* CDirectoryTreeBuilder::FindTree(CSearchedPartitionInfo* partition) const {
    for (CPartitionTree* t : m_trees) {
        if (t->GetPartition() == partition) return t;
    }
    return nullptr;
}

CPartitionTree* CDirectoryTreeBuilder::FindTreeOfKind(u32 treeKind) const {
    if (treeKind == kTreeKindExt) return nullptr;
    for (CPartitionTree* t : m_trees) {
        const CFileSystemNode* root = t->GetRoot();
        if (root && TreeKindOfFsCode(root->GetFileSystemType()) == treeKind) return t;
    }
    return nullptr;
}

void CDirectoryTreeBuilder::ShowLinked(CLinkingTree* tree, const std::vector<CFileNode*>& linked, bool showing) {
    if (!tree->IsShown() && tree->GetRoot()) {
        m_consumer->AddFileSystemNode(tree->GetRoot(), false);
        tree->SetShown(true);
    }
    if (showing && !linked.empty()) m_consumer->AddNodes(linked, 0);
}

void CDirectoryTreeBuilder::DropTree(CPartitionTree* tree) {
    if (tree->IsShown() && tree->GetRoot()) m_consumer->RemoveFileSystemNode(tree->GetRoot());
    delete tree;
}

u32 CDirectoryTreeBuilder::ApplyFilter(CFileSystemNode* root, CSearchedPartitionInfo* partition) {
    CPartitionTree* tree = FindTree(partition);
    if (!tree || !root || !root->IsFileSystemNode()) return 0;
    // The old root goes with the entries it held; the consumer must let go of it first.
    if (tree->IsShown() && tree->GetRoot() && tree->GetRoot() != root) {
        m_consumer->RemoveFileSystemNode(tree->GetRoot());
        tree->SetShown(false);
    }
    return tree->ApplyFilter(root, m_filter) ? 1 : 0;
}

u32 CDirectoryTreeBuilder::AddFileSystemTree(CFileSystemNode* root) {
    if (!root || !root->IsFileSystemNode()) return 0;
    if (m_mode == kBuilderQuickMode) {
        if (!m_quickTree) return 0;
        return m_quickTree->SetRoot(root->GetFileSystemType(), root, m_device, m_consumer) ? 1 : 0;
    }
    if (m_searchFinished) {
        m_ignoredRoots.emplace_back(root);
        return 1;
    }
    std::unique_ptr<CPartitionTree> tree(new (std::nothrow) CPartitionTree());
    if (!tree || !tree->Init(root->GetFileSystemType(), root)) return 0;
    m_trees.push_back(tree.release());
    return 1;
}

u32 CDirectoryTreeBuilder::AddFileNode(CFileNode* node, CSearchedPartitionInfo* partition) {
    if (!m_filter) return 0;
    if (!m_filter->Accept(node)) {
        DestroyTreeNode(node);
        return 1;
    }
    CPartitionTree* tree = FindTree(partition);
    if (!tree) return 0;
    if (tree->AddNode(node, nullptr) == -1) {
        DestroyTreeNode(node);
    } else {
        ++m_nodeCount;
    }
    return 1;
}

u32 CDirectoryTreeBuilder::AddFoundFileNode(CFileNode* node, u32 treeKind, u32* error) {
    if (error) *error = 0;
    if (m_progress) m_progress->Continued();
    if (!node || !m_filter || !m_consumer) return 0;
    if (!m_filter->Accept(node) || IsTooLarge(node)) {
        DestroyTreeNode(node);
        return 1;
    }
    if (m_mode == kBuilderQuickMode) return AddQuickNode(node);

    m_consumer->OnFileFound(node);
    ++m_nodeCount;
    if (!IsFolderNode(node)) ++m_fileCount;
    if (m_nodeCount > kMaxCompleteNodes) {
        DestroyTreeNode(node);
        return 1;
    }
    CPartitionTree* tree = FindTreeOfKind(treeKind);
    if (!tree) {
        if (error) *error = kErrorNoTreeOfKind;
        return 0;
    }
    std::vector<CFileNode*> linked;
    const int result = tree->AddNode(node, &linked);
    if (result == 1) {
        ShowLinked(tree, linked, !m_searchFinished);
    } else if (result == -1) {
        DestroyTreeNode(node);
    }
    return 1;
}

u32 CDirectoryTreeBuilder::InsertNode(CFileNode* node, CSearchedPartitionInfo* partition) {
    if (!node) return 0;
    if (!node->IsFileSystemNode() && m_filter && !m_filter->Accept(node)) {
        DestroyTreeNode(node);
        return 1;
    }
    if (!partition) {
        // The trees of chosen partitions are not this one: files found outside every partition
        // get a tree of their own beside them.
        CPartitionTree* tree = FindTree(nullptr);
        if (!tree) {
            tree = new (std::nothrow) CPartitionTree();
            if (!tree) return 0;
            m_trees.push_back(tree);
        }
        if (node->IsFileSystemNode()) {
            if (!tree->Init(kFsRaw, static_cast<CFileSystemNode*>(node))) return 0;
        } else if (tree->AddNode(node, nullptr) == -1) {
            DestroyTreeNode(node);
        }
    } else {
        CPartitionTree* tree = FindTree(partition);
        if (!tree) return 0;
        if (node->IsFileSystemNode() && tree->GetRoot()) node->SetParentId(tree->GetRoot()->GetId());
        if (!tree->InsertNode(node)) return 0;
    }
    ++m_nodeCount;
    return 1;
}

u32 CDirectoryTreeBuilder::AddEvaluationItem(CSearchedPartitionInfo* candidate) { return m_evaluation.Add(candidate); }

u32 CDirectoryTreeBuilder::HasEvaluationItem(std::vector<CSearchedPartitionInfo*>* chosen) {
    if (!chosen) return 0;
    const size_t before = chosen->size();
    m_evaluation.GetChosen(chosen);
    return chosen->size() > before ? 1 : 0;
}

u32 CDirectoryTreeBuilder::BuildLostFilesFolder(CSearchedPartitionInfo* partition) {
    if (m_mode == kBuilderQuickMode) return 0;
    CPartitionTree* tree = FindTree(partition);
    if (!tree) return 0;
    tree->AttachLostFiles(nullptr);
    return tree->GetLostFilesFolder() ? 1 : 0;
}

CFileSystemNode* CDirectoryTreeBuilder::GetTreeRoot(CSearchedPartitionInfo* partition) {
    CPartitionTree* tree = FindTree(partition);
    return tree ? tree->GetRoot() : nullptr;
}

u32 CDirectoryTreeBuilder::FinishSearch() {
    m_searchFinished = 1;
    if (m_mode == kBuilderQuickMode) FinishQuickSearch();
    if (m_tag != 0 || m_mode == kBuilderQuickMode) return 1;

    m_nodeCount = 0;
    m_selected.clear();
    GetSelPartitonAndSystemTree(m_selected);
    if (m_trees.empty()) {
        LogError("%s isn't find match file system tree", kFinishSearch);
        return 1;
    }

    std::vector<CPartitionTree*> newTrees;
    std::set<CSearchedPartitionInfo*> served;
    for (size_t i = 0; i < m_trees.size(); ++i) {
        CPartitionTree* old = m_trees[i];
        // A candidate gets one tree, even when it was selected for more than one old tree.
        std::vector<CSearchedPartitionInfo*> candidates;
        for (CSearchedPartitionInfo* c : m_selected) {
            if (NormalisedCode(c->GetFileSystemCode()) == old->GetCode() && served.insert(c).second) {
                candidates.push_back(c);
            }
        }
        LogError("%s prepare to create %d new file system tree", kFinishSearch, static_cast<int>(old->GetCode()));
        if (!CreateNewFileSystemTree(old, candidates, newTrees)) {
            LogError("%s call CreateNewFileSystemTree failed", kFinishSearch);
            // The consumer must not keep roots of trees that go away.
            for (size_t j = i; j < m_trees.size(); ++j) DropTree(m_trees[j]);
            break;
        }
        LogError("%s finish to create new file system tree", kFinishSearch);
        delete old;
    }
    m_trees = std::move(newTrees);
    return 1;
}

void CDirectoryTreeBuilder::GetSelPartitonAndSystemTree(std::vector<CSearchedPartitionInfo*>& selected) {
    std::vector<CSearchedPartitionInfo*> chosen;
    m_evaluation.GetChosen(&chosen);
    if (chosen.empty()) {
        LogError("%s hasn't searchPartition", kSelectTrees);
        for (CPartitionTree* t : m_trees) DropTree(t);
        m_trees.clear();
        return;
    }

    LogError("%s start computer file count : %d", kSelectTrees, Tick());
    u64 total = 0;
    std::map<CSearchedPartitionInfo*, CPartitionTree*> pairs;
    for (CSearchedPartitionInfo* c : chosen) {
        const u32 code = NormalisedCode(c->GetFileSystemCode());
        for (CPartitionTree* t : m_trees) {
            if (total >= kMaxSelectionFileCount) break;
            if (t->GetCode() != code) continue;
            u64 count = 0;
            t->ForEachNode([&](CFileNode* n) {
                if (c->TestFileNode(n)) ++count;
            });
            total += count;
            if (total < kMaxSelectionFileCount) {
                pairs.emplace(c, t);
                selected.push_back(c);
            }
        }
    }
    LogError("%s end computer file count : %d", kSelectTrees, Tick());

    if (pairs.empty()) {
        CSearchedPartitionInfo* first = chosen.front();
        const u32 code = NormalisedCode(first->GetFileSystemCode());
        for (CPartitionTree* t : m_trees) {
            if (t->GetRoot() && t->GetRoot()->GetFileSystemType() == code) {
                pairs.emplace(first, t);
                break;
            }
        }
        selected.push_back(first);
    }

    std::set<CPartitionTree*> pairing;
    for (auto& p : pairs) pairing.insert(p.second);
    LogError("%s prepart to remove file sytem node: %d", kSelectTrees, Tick());
    std::vector<CPartitionTree*> kept;
    for (CPartitionTree* t : m_trees) {
        if (pairing.count(t)) {
            kept.push_back(t);
            continue;
        }
        LogError("%s begin remove file sytem node: %d", kSelectTrees, Tick());
        DropTree(t);
        LogError("%s finish remove file sytem node: %d", kSelectTrees, Tick());
    }
    m_trees = std::move(kept);
    LogError("%s finish to remove file sytem node: %d", kSelectTrees, Tick());
}

u32 CDirectoryTreeBuilder::CreateNewFileSystemTree(CPartitionTree* oldTree,
                                                   const std::vector<CSearchedPartitionInfo*>& candidates,
                                                   std::vector<CPartitionTree*>& newTrees) {
    LogError("%s prepare to create new file system tree root:%d", kCreateNewTree, Tick());
    CFileSystemNode* oldRoot = oldTree->GetRoot();
    for (CSearchedPartitionInfo* c : candidates) {
        if (!oldRoot) return 0;
        std::unique_ptr<CPartitionTree> tree(new (std::nothrow) CPartitionTree());
        if (!tree) return 0;
        TreeNodePtr cloned = CloneTreeNode(oldRoot);
        if (!cloned || !cloned->IsFileSystemNode()) return 0;
        FileSystemNodePtr clone(static_cast<CFileSystemNode*>(cloned.release()));
        const u32 cloneCode = clone->GetFileSystemType();
        if (!IsExtCode(cloneCode)) {
            clone->SetPartitionGeometry(c->GetPartitionStart(), c->GetSectorsPerCluster());
            clone->SetFileSystemType(c->GetFileSystemCode());
            const char* name = FileSystemTypeName(c->GetFileSystemCode());
            if (name && clone->GetFileProperties()) clone->GetFileProperties()->SetName(name);
        }
        // A tree without a root could neither be shown nor free the clone.
        if (!tree->Init(c->GetFileSystemCode(), clone.get())) return 0;
        clone.release();
        tree->SetPartition(c);
        newTrees.push_back(tree.release());
    }
    LogError("%s finish to create new file system tree root:%d", kCreateNewTree, Tick());
    LogError("%s prepare to notify UI to remove system node:%d", kCreateNewTree, Tick());
    if (oldTree->IsShown() && oldRoot) {
        m_consumer->RemoveFileSystemNode(oldRoot);
        oldTree->SetShown(false);
    }
    LogError("%s finish to notify UI to remove system node:%d", kCreateNewTree, Tick());
    return 1;
}

u32 CDirectoryTreeBuilder::FinishBuild() {
    if (m_tag != 0 || !m_consumer) return 0;
    if (m_mode == kBuilderQuickMode) {
        if (!m_quickTree) return 0;
        std::vector<CFileNode*> added;
        m_quickTree->FinishBuild(&added);
        if (CFileSystemNode* root = m_quickTree->GetRoot()) {
            if (!m_quickTree->IsShown()) {
                m_consumer->AddFileSystemNode(root, false);
                m_quickTree->SetShown(true);
            }
            m_consumer->AddNodes(added, 1);
        }
        return 1;
    }
    for (CPartitionTree* t : m_trees) {
        LogError("%s begin build raw file node:%d", kFinishBuild, Tick());
        t->AttachRawSubTree();
        LogError("%s finish build raw file node:%d", kFinishBuild, Tick());
        LogError("%s begin show file system node:%d", kFinishBuild, Tick());
        if (t->GetRoot()) {
            m_consumer->AddFileSystemNode(t->GetRoot(), true);
            t->SetShown(true);
        }
        LogError("%s finish show file system node:%d", kFinishBuild, Tick());
    }
    return 1;
}
