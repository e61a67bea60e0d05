#pragma once
// The directory-tree builder: every scan makes one. The file-system searches hand it each entry
// they find; it filters the entries through the scan's category filter, links them into
// directory trees and shows them to the user while the scan runs.
//
// Quick mode (the deleted-file scan of one known volume) fills a single CQuickScanTree; entries
// inside a recycle bin are held back until FinishSearch, where recycled files get back the names
// they had before. Complete mode keeps provisional trees per file system, lets the candidate
// evaluation choose partitions, and makes one tree per chosen partition candidate.
//
// A partition is identified by the address of its candidate record (CSearchedPartitionInfo); 0
// stands for the first tree. The builder owns its trees and their nodes until it is released.
#include <map>
#include <string>
#include <vector>

#include "devices/FileSystemCode.h"
#include "engine/CandidateEvaluation.h"
#include "engine/FileSystemNode.h"
#include "platform/Types.h"

class CFileNode;
class CFileSystemNode;
class CLinkingTree;
class CPartitionTree;
class CQuickScanTree;
class CSearchedPartitionInfo;
class IDirectoryTree;
class IProgress;
class IRecoveryFilter;
class IStorageDevice;

// Builder modes given to Init.
constexpr u32 kBuilderQuickMode = 0;
constexpr u32 kBuilderCompleteMode = 1;

// AddFoundFileNode: no tree of the entry's kind exists (the entry stays with the caller).
constexpr u32 kErrorNoTreeOfKind = 0x12A0014;
// Complete mode drops entries beyond this many.
constexpr u32 kMaxCompleteNodes = 3000000;
// The tree selection stops counting a candidate's files past this total.
constexpr u64 kMaxSelectionFileCount = 7000000;

using FileNodeIdMap = std::map<u64, CFileNode*>;

class IDirecotryTreeBuilder {
public:
    virtual ~IDirecotryTreeBuilder() = default;
    // 0 for a null name, consumer, filter or device; otherwise 1.
    virtual u32 Init(const char* rootName, IDirectoryTree* consumer, IRecoveryFilter* filter, u32 mode,
                     IStorageDevice* device, u32 lostDataReason) = 0;
    // Makes `root` the root of the partition's tree and drops the files the filter refuses; 0
    // when the partition has no tree.
    virtual u32 ApplyFilter(CFileSystemNode* root, CSearchedPartitionInfo* partition) = 0;
    // A search starts a file system. Quick mode: the volume's root; complete mode: a provisional
    // tree (ignored, yet kept, once the search is finished). 0 when refused (the caller keeps it).
    virtual u32 AddFileSystemTree(CFileSystemNode* root) = 0;
    // Links a node into the partition's tree without showing it. 0 when there is no such tree
    // (the caller keeps the node); a node the filter or the tree refuses is deleted.
    virtual u32 AddFileNode(CFileNode* node, CSearchedPartitionInfo* partition) = 0;
    // The main entry for found entries; 0 with *error set when the node was not taken.
    virtual u32 AddFoundFileNode(CFileNode* node, u32 treeKind, u32* error) = 0;
    // Files an entry of the signature search (a lost-file root or folder or file). 0 when not
    // taken (the caller keeps the node). A null partition files it under the one tree that
    // belongs to no partition, made on first use beside the partitions' trees.
    virtual u32 InsertNode(CFileNode* node, CSearchedPartitionInfo* partition) = 0;
    virtual u32 AddEvaluationItem(CSearchedPartitionInfo* candidate) = 0;
    // Appends the chosen candidates; 1 when any was appended.
    virtual u32 HasEvaluationItem(std::vector<CSearchedPartitionInfo*>* chosen) = 0;
    virtual u32 FinishSearch() = 0;
    // Complete mode: the partition's tree gathers its orphans under "LostFiles".
    virtual u32 BuildLostFilesFolder(CSearchedPartitionInfo* partition) = 0;
    virtual u32 FinishBuild() = 0;
    // Complete mode: entries reported that are not folders.
    virtual u64 GetNodeCount() = 0;
    // Complete mode: every entry reported, folders too: what the running tree's cap
    // (kMaxCompleteNodes) counts. A search that holds entries back before reporting them counts
    // those against the same cap.
    virtual u64 GetFoundEntryCount() { return 0; }
    virtual CFileSystemNode* GetTreeRoot(CSearchedPartitionInfo* partition) = 0;
    virtual u32 GetTag() = 0;
    // Nonzero suppresses the complete-mode tree selection and FinishBuild.
    virtual void SetTag(u32 tag) = 0;
    virtual void Release() = 0;
    virtual void SetProgress(IProgress* progress) = 0;
    virtual IRecoveryFilter* GetFilter() = 0;
};

// A new builder, or null when memory runs out.
IDirecotryTreeBuilder* CreateDirectoryTreeBuilder();

// Names of the held-back recycle-bin entries: "$R..." data files and '#' variants, but not the
// NTFS repair metadata folder "$RmMetadata" and the names inside it.
bool IsNtfsRepairMetadataPath(CFileNode* node);

// Gives `entry` the last component of the original path stored in the recycle-bin info file
// `info` (read through its runs with the given geometry). Nothing changes when the file cannot
// be read or holds no drive path.
void RestoreRecycleBinName(IStorageDevice* device, CFileNode* entry, CFileNode* info, u64 partitionStart,
                           u32 sectorsPerCluster);

class CDirectoryTreeBuilder : public IDirecotryTreeBuilder {
public:
    CDirectoryTreeBuilder() = default;
    ~CDirectoryTreeBuilder() override;

    u32 Init(const char* rootName, IDirectoryTree* consumer, IRecoveryFilter* filter, u32 mode,
             IStorageDevice* device, u32 lostDataReason) override;
    u32 ApplyFilter(CFileSystemNode* root, CSearchedPartitionInfo* partition) override;
    u32 AddFileSystemTree(CFileSystemNode* root) override;
    u32 AddFileNode(CFileNode* node, CSearchedPartitionInfo* partition) override;
    u32 AddFoundFileNode(CFileNode* node, u32 treeKind, u32* error) override;
    u32 InsertNode(CFileNode* node, CSearchedPartitionInfo* partition) override;
    u32 AddEvaluationItem(CSearchedPartitionInfo* candidate) override;
    u32 HasEvaluationItem(std::vector<CSearchedPartitionInfo*>* chosen) override;
    u32 FinishSearch() override;
    u32 BuildLostFilesFolder(CSearchedPartitionInfo* partition) override;
    u32 FinishBuild() override;
    u64 GetNodeCount() override { return m_fileCount; }
    u64 GetFoundEntryCount() override { return m_nodeCount; }
    CFileSystemNode* GetTreeRoot(CSearchedPartitionInfo* partition) override;
    u32 GetTag() override { return m_tag; }
    void SetTag(u32 tag) override { m_tag = tag; }
    void Release() override { delete this; }
    void SetProgress(IProgress* progress) override { m_progress = progress; }
    IRecoveryFilter* GetFilter() override { return m_filter; }

    // For inspection.
    bool IsQuickMode() const { return m_mode == kBuilderQuickMode; }
    CQuickScanTree* GetQuickTree() const { return m_quickTree; }
    const std::vector<CPartitionTree*>& GetTrees() const { return m_trees; }
    u32 GetAcceptedNodeCount() const { return m_nodeCount; }
    size_t GetHeldCount() const { return m_heldFiles.size() + m_heldFolders.size() + m_heldInfoFiles.size(); }

private:
    bool IsTooLarge(CFileNode* node) const;
    CPartitionTree* FindTree(CSearchedPartitionInfo* partition) const;
    CPartitionTree* FindTreeOfKind(u32 treeKind) const;
    // Shows the root when it was not shown yet, then the nodes just linked when showing.
    void ShowLinked(CLinkingTree* tree, const std::vector<CFileNode*>& linked, bool showing);
    // Removes a shown root from the consumer, then deletes the tree.
    void DropTree(CPartitionTree* tree);

    u32 AddQuickNode(CFileNode* node);
    bool ShouldHold(CFileNode* node) const;
    void FinishQuickSearch();
    void NameRecycledEntry(CFileNode* entry);

    void GetSelPartitonAndSystemTree(std::vector<CSearchedPartitionInfo*>& selected);
    u32 CreateNewFileSystemTree(CPartitionTree* oldTree, const std::vector<CSearchedPartitionInfo*>& candidates,
                                std::vector<CPartitionTree*>& newTrees);

    std::string m_rootName;
    IDirectoryTree* m_consumer = nullptr;
    IRecoveryFilter* m_filter = nullptr;
    CEvaluation m_evaluation;
    std::vector<CPartitionTree*> m_trees;
    std::vector<CSearchedPartitionInfo*> m_selected;
    u32 m_nodeCount = 0;
    u32 m_fileCount = 0;
    u32 m_searchFinished = 0;
    u32 m_tag = 0;
    u32 m_mode = kBuilderQuickMode;
    IStorageDevice* m_device = nullptr;
    // What no file of the scanned volume can reach: larger sizes come from damaged entries.
    u64 m_volumeBytes = 0;
    CQuickScanTree* m_quickTree = nullptr;
    IProgress* m_progress = nullptr;
    // Held entries are the builder's until they reach a tree.
    std::vector<TreeNodePtr> m_heldFiles;
    std::vector<TreeNodePtr> m_heldFolders;
    std::vector<TreeNodePtr> m_heldInfoFiles;
    FileNodeIdMap m_heldFolderIds;  // ids of m_heldFolders, not owning
    // Roots handed in after the search finished: the builder answered that it took them, so it
    // keeps them until it goes.
    std::vector<FileSystemNodePtr> m_ignoredRoots;
};
