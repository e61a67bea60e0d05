#pragma once
// The directory trees the tree builder fills. A tree links each entry under the folder whose id
// equals the entry's parent id as soon as that folder is linked itself, keeps the others as
// orphans until their parent arrives, and finally gathers the orphans that never found a parent
// under "LostFiles". CPartitionTree holds the entries of one file system or partition candidate
// of a complete scan; CQuickScanTree holds the deleted entries of one volume and the folders that
// lead to them.
//
// A tree owns every node it holds. Each node sits in exactly one of the tree's containers; a
// node linked below "LostFiles" stays in its orphan map.
#include <list>
#include <map>
#include <vector>

#include "engine/LostFilesBuilder.h"
#include "platform/Types.h"

class CFileNode;
class CFileSystemNode;
class CSearchedPartitionInfo;
class IDirectoryTree;
class IRecoveryFilter;
class IStorageDevice;

using NodeMultimap = std::multimap<u64, CFileNode*>;

// A node is a folder when its properties carry attribute 0x10; a node without properties is none.
bool IsFolderNode(const CFileNode* node);
// The properties' state has bit 0 set.
bool IsDeletedNode(const CFileNode* node);
// Removes the entry (key, node) from the map; false when it is not there.
bool EraseNodeEntry(NodeMultimap& map, u64 key, const CFileNode* node);

// The linking both trees share: the folder index, the orphan maps and the attaching of waiting
// children, over each tree's own way of locating a node.
class CLinkingTree {
public:
    CLinkingTree() = default;
    virtual ~CLinkingTree();
    CLinkingTree(const CLinkingTree&) = delete;
    CLinkingTree& operator=(const CLinkingTree&) = delete;

    CFileSystemNode* GetRoot() const { return m_root; }
    u32 GetCode() const { return m_code; }
    bool IsShown() const { return m_shown != 0; }
    void SetShown(bool shown) { m_shown = shown ? 1 : 0; }
    CFileNode* GetLostFilesFolder() const { return m_lostFiles.get(); }

    const NodeMultimap& GetFolderIndex() const { return m_folderIndex; }
    const NodeMultimap& GetOrphanFolders() const { return m_orphanFolders; }
    const NodeMultimap& GetOrphanFiles() const { return m_orphanFiles; }

protected:
    // 1 linked, 0 the parent is not linked (the node is not placed), -1 refused.
    virtual int Locate(CFileNode* node, std::vector<CFileNode*>* output) = 0;

    // The folder of the node's parent id to link under: with several folders of that id, the
    // first created no later than the node (both with properties), else the first. Null when no
    // folder of that id is linked.
    CFileNode* ChooseParent(const CFileNode* node) const;
    // Links the orphans waiting for a just-linked folder, and theirs in turn, breadth-first.
    void AttachWaitingChildren(CFileNode* folder, std::vector<CFileNode*>* output);
    void KeepAsOrphan(CFileNode* node);

    u32 m_code = kFsUnknown;
    CFileSystemNode* m_root = nullptr;
    TreeNodePtr m_lostFiles;
    NodeMultimap m_folderIndex;
    NodeMultimap m_orphanFolders;
    NodeMultimap m_orphanFiles;
    u32 m_shown = 0;
    LostFilesBuilder m_lostFilesBuilder;
};

class CPartitionTree : public CLinkingTree {
public:
    CPartitionTree();
    ~CPartitionTree() override;

    // False for code 9 or a root that is not a file-system node; else the root is kept and
    // indexed by its id.
    bool Init(u32 code, CFileSystemNode* root);
    // 1 linked, 0 kept as orphan, -1 refused (the caller deletes the node).
    int AddNode(CFileNode* node, std::vector<CFileNode*>* output);
    // Files an entry of the signature search in the tree's RAW sub-tree: 1 taken, 0 refused (a
    // null node, one without RAW properties, or no sub-tree could be made; the caller keeps it).
    u32 InsertNode(CFileNode* node);
    // Builds the "LostFiles" folder once (never for a RAW tree) and hangs it below the root.
    void AttachLostFiles(std::vector<CFileNode*>* output);
    // Drops the empty type folders of the RAW sub-tree and hangs its root below the tree's root;
    // 0 when there is no sub-tree.
    u32 AttachRawSubTree();
    // Makes `root` the tree's root and deletes the entries the tree held before, except those in
    // root's subtree; then removes the files of that subtree the filter refuses. The tree owns the
    // subtree afterwards. False for a null or non-file-system root.
    bool ApplyFilter(CFileSystemNode* root, IRecoveryFilter* filter);

    CSearchedPartitionInfo* GetPartition() const { return m_partition; }
    void SetPartition(CSearchedPartitionInfo* partition) { m_partition = partition; }
    CPartitionTree* GetRawSubTree() const { return m_rawSubTree; }

    // Entries held: folder index, orphan folders, linked files, orphan files.
    u64 GetNodeCount() const;
    // By position in that order; null past the end.
    CFileNode* GetNodeAt(u64 position) const;
    template <typename F>
    void ForEachNode(F&& f) const {
        for (auto& e : m_folderIndex) f(e.second);
        for (auto& e : m_orphanFolders) f(e.second);
        for (CFileNode* n : m_linkedFiles) f(n);
        for (auto& e : m_orphanFiles) f(e.second);
    }
    const std::vector<CFileNode*>& GetLinkedFiles() const { return m_linkedFiles; }

protected:
    int Locate(CFileNode* node, std::vector<CFileNode*>* output) override;

private:
    void DeleteAllNodes();

    std::vector<CFileNode*> m_linkedFiles;
    // Nodes of a filtered-in subtree that are owned but deliberately not indexed (exFAT).
    std::vector<CFileNode*> m_unindexed;
    CSearchedPartitionInfo* m_partition = nullptr;
    CPartitionTree* m_rawSubTree = nullptr;
};

class CQuickScanTree : public CLinkingTree {
public:
    CQuickScanTree();
    ~CQuickScanTree() override;

    // False for a null device or root, code 9, or a root that is not a file-system node, and
    // when the tree already has a root.
    bool SetRoot(u32 code, CFileSystemNode* root, IStorageDevice* device, IDirectoryTree* consumer);
    // An entry the builder did not hold back: a deleted entry is linked (bringing in the live
    // folders that lead to it), a live folder is kept aside as a possible ancestor, a live file
    // is deleted. 1 when the node was linked.
    u32 AddNode(CFileNode* node, std::vector<CFileNode*>* output);
    // An entry the builder held back (recycle-bin content): linked whatever its state. Nonzero
    // when linked.
    u32 AddHeldNode(CFileNode* node, std::vector<CFileNode*>* output);
    // Frees the folders kept aside and gathers the remaining orphans under "LostFiles" below the
    // root. 1 when a "LostFiles" folder was made.
    u32 FinishBuild(std::vector<CFileNode*>* output);

    const NodeMultimap& GetFileIndex() const { return m_fileIndex; }
    const NodeMultimap& GetExistingFolders() const { return m_existingFolders; }

    // Recycle-bin pairing stops once this many entries wait for their companion.
    static constexpr size_t kMaxPairingList = 200000;

protected:
    int Locate(CFileNode* node, std::vector<CFileNode*>* output) override;

private:
    // Locates with the parent chosen by `parent` (null: not linked).
    int LinkUnder(CFileNode* node, CFileNode* parent, std::vector<CFileNode*>* output);
    // exFAT recycle-bin entries prefer a parent folder that lies inside a recycle bin.
    CFileNode* ChooseExFatHeldParent(const CFileNode* node) const;
    // Links the live folders from the root down to the node's parent, then the node. False (and
    // nothing changed) when the chain does not reach the root.
    bool BringInAncestors(CFileNode* node, std::vector<CFileNode*>* output);
    void PairRecycledEntry(CFileNode* node);

    NodeMultimap m_fileIndex;
    NodeMultimap m_existingFolders;
    IStorageDevice* m_device = nullptr;
    std::list<CFileNode*> m_pairingList;
    IDirectoryTree* m_consumer = nullptr;
};
