#pragma once
// The browser's thin tree over the scan's found-file trees: one binding node per folder the user
// can see, one folder node per file-system tree, one root. Files have no binding node; their
// check state is the scan node's check byte, so what the user checks is what the writer walks.
//
// Binding nodes are built, changed and read on the UI thread only: the delivering thread hands
// scan nodes over through the node manager's queue and never touches these objects.
#include <map>
#include <string>
#include <vector>

#include "browser/model/XUnknown.h"
#include "platform/Types.h"

class CFileNode;

namespace FileSelCtrl {

struct IconRecord;
class CBindingNode;

// Check images: the scan node's check byte + 1.
constexpr u32 kImageUnchecked = 1;
constexpr u32 kImagePartly = 2;
constexpr u32 kImageChecked = 3;

// Tree kinds of nodes and tree windows.
constexpr u32 kTreeKindType = 0;
constexpr u32 kTreeKindDate = 1;
constexpr u32 kTreeKindPath = 2;

// Where a tree window inserts a node among its siblings.
constexpr u32 kInsertSorted = 0;
constexpr u32 kInsertFirst = 1;
constexpr u32 kInsertLast = 2;

// What the nodes need of the browser around them while their check states change: the folder
// filter, the current folder, the tree item and the rows of the shown list.
class INodeHost {
public:
    virtual ~INodeHost() = default;
    virtual bool Passes(const CFileNode* node) = 0;
    virtual bool IsCurrentFolder(const CBindingNode* node) = 0;
    virtual void RefreshTreeItem(CBindingNode* node) = 0;
    // The list row of a folder node changed its check.
    virtual void RefreshRowOf(CBindingNode* node) = 0;
    // Every row of the shown list follows its node again.
    virtual void RefreshAllRows() = 0;
    // The files' checks changed outside the path tree (the type tree, its lists, the search
    // list): the path tree's folders over them take their states from what they hold again.
    virtual void FilesCheckedElsewhere(const std::vector<CFileNode*>& /*files*/) {}
};
void SetNodeHost(INodeHost* host);
INodeHost* NodeHost();

bool IsScanFolder(const CFileNode* node);
// The display name of a scan node: its properties' name, empty without one.
std::string ScanNodeName(const CFileNode* node);

class CBindingNode : public XUnknown {
public:
    CBindingNode(CBindingNode* parent, u32 treeKind) : m_parent(parent), m_treeKind(treeKind) {}

    virtual std::string GetName() const { return {}; }
    CBindingNode* GetParent() const { return m_parent; }
    virtual u32 GetChildState() const { return kInsertLast; }
    virtual i32 GetImage() const { return 0; }
    virtual bool IsSystemFolder() const { return false; }
    virtual void Clear() {}
    virtual bool IsFolder() const { return false; }
    virtual const IconRecord* GetIconRecord() const { return nullptr; }
    virtual const std::vector<CBindingNode*>* GetChildren() const { return nullptr; }
    // The tree window's order of the children, which may differ from GetChildren's: the child
    // the window shows at a row, null past the last; and the row of one of the children.
    virtual CBindingNode* DisplayChild(u32 row) const;
    virtual u32 DisplayRow(const CBindingNode* child) const { return child->Row(); }
    virtual const std::vector<CFileNode*>* GetScanRoots() const { return nullptr; }
    virtual CFileNode* GetFileNode() const { return nullptr; }
    virtual bool IsEmpty() const { return false; }
    virtual void SetCheck(u32 image, bool fromChildren, bool notify);
    virtual void UpdateCheckUpwards();
    // Takes the state its children give it (the node alone, not its ancestors); false when it
    // had it already.
    bool TakeComputedState();
    virtual void RefreshItem(u32 image, bool recurse, bool notify);
    virtual u32 GetCheckState() const = 0;
    virtual u32 ComputeCheckState() const { return kImageUnchecked; }
    virtual void StoreCheckState(u32 /*image*/) {}
    virtual void RefreshCheckStates() {}
    virtual bool HasChildKey(const CFileNode* /*node*/) const { return false; }
    // The files a bucket lists itself (the type and date trees); scan folders list their own.
    virtual void CollectItems(std::vector<CFileNode*>& /*out*/) const {}

    u32 GetTreeKind() const { return m_treeKind; }
    u32 GetEntryCount() const { return m_entryCount; }
    void AddEntry() { ++m_entryCount; }
    void RemoveEntry() {
        if (m_entryCount) --m_entryCount;
    }
    void RemoveEntries(u32 n) { m_entryCount = n >= m_entryCount ? 0 : m_entryCount - n; }
    void ResetEntries() { m_entryCount = 0; }

    // The tree window's side: whether the node has an item, its row under its parent (where
    // the parent keeps it: see DisplayRow), how many of its children the window has been shown
    // and whether it asked for all of them.
    bool HasTreeItem() const { return m_hasItem; }
    void SetTreeItem(bool has) { m_hasItem = has; }
    u32 Row() const { return m_row; }
    void SetRow(u32 row) { m_row = row; }
    // Whether the parent keeps it among its children put last (by its GetChildState then).
    bool IsPutLast() const { return m_putLast; }
    void SetPutLast(bool last) { m_putLast = last; }
    u32 ShownChildren() const { return m_shown; }
    void SetShownChildren(u32 n) { m_shown = n; }
    bool IsOpened() const { return m_opened; }
    void SetOpened(bool opened) { m_opened = opened; }

protected:
    CBindingNode* m_parent;

private:
    u32 m_entryCount = 0;
    u32 m_treeKind;
    u32 m_row = 0;
    u32 m_shown = 0;
    bool m_hasItem = false;
    bool m_opened = false;
    bool m_putLast = false;
};

class CDirectoryNode : public CBindingNode {
public:
    CDirectoryNode(CBindingNode* parent, CFileNode* scanNode);
    ~CDirectoryNode() override;

    std::string GetName() const override;
    u32 GetChildState() const override;
    i32 GetImage() const override;
    void Clear() override;
    bool IsFolder() const override { return true; }
    const IconRecord* GetIconRecord() const override;
    const std::vector<CBindingNode*>* GetChildren() const override { return &m_children; }
    CFileNode* GetFileNode() const override { return m_scanNode; }
    void SetCheck(u32 image, bool fromChildren, bool notify) override;
    void RefreshItem(u32 image, bool recurse, bool notify) override;
    u32 GetCheckState() const override;
    u32 ComputeCheckState() const override;
    void StoreCheckState(u32 image) override;
    void RefreshCheckStates() override;
    bool HasChildKey(const CFileNode* node) const override { return m_childMap.count(node) != 0; }
    // As the tree window inserts them by their GetChildState: each child to come first above
    // the ones before it (the newest first), then the children to come last in their order.
    CBindingNode* DisplayChild(u32 row) const override;
    u32 DisplayRow(const CBindingNode* child) const override;

    // Binds a direct scan child: a folder gets a new child node (returned with one reference for
    // the caller); a file only counts. parentOut gets this node with one reference.
    CBindingNode* AddFileNode(CFileNode* node, CBindingNode** parentOut);
    CBindingNode* FindChild(const CFileNode* scanNode) const;
    // Takes a child out of the list and the map and releases it; rows of later children move up.
    void RemoveChild(CBindingNode* child);

protected:
    void Append(CBindingNode* child, const CFileNode* key);

    std::vector<CBindingNode*> m_children;
    std::map<const CFileNode*, CBindingNode*> m_childMap;
    CFileNode* m_scanNode;

private:
    // The children by where the window puts them, each in arrival order (no references held);
    // a child's Row is its place in its group.
    std::vector<CBindingNode*> m_putFirst;
    std::vector<CBindingNode*> m_putLast;
};

// The folder of one whole file-system tree, numbered from 1 in arrival order.
class CSystemDirectory : public CDirectoryNode {
public:
    CSystemDirectory(CBindingNode* root, CFileNode* fsRoot, u32 partitionNumber)
        : CDirectoryNode(root, fsRoot), m_partitionNumber(partitionNumber) {}
    std::string GetName() const override;
    i32 GetImage() const override;
    bool IsSystemFolder() const override { return true; }
    const IconRecord* GetIconRecord() const override;
    u32 GetPartitionNumber() const { return m_partitionNumber; }

private:
    u32 m_partitionNumber;
};

class CSystemRootNode : public CDirectoryNode {
public:
    explicit CSystemRootNode(std::string name);
    ~CSystemRootNode() override;

    std::string GetName() const override { return m_name; }
    void SetName(std::string name) { m_name = std::move(name); }
    i32 GetImage() const override;
    void Clear() override;
    const std::vector<CFileNode*>* GetScanRoots() const override { return &m_scanRoots; }
    void SetCheck(u32 image, bool fromChildren, bool notify) override;
    void UpdateCheckUpwards() override;
    void RefreshItem(u32 image, bool recurse, bool notify) override;
    u32 GetCheckState() const override;
    u32 ComputeCheckState() const override;
    void StoreCheckState(u32 image) override;
    void RefreshCheckStates() override;
    bool HasChildKey(const CFileNode* node) const override;

    // A tree registered whole, without a walk: its top folders hang straight under the root.
    void RegisterScanRoot(CFileNode* fsRoot);
    // The folder of a tree that arrives with a walk (one reference for the caller), or null when
    // the tree has one already.
    CSystemDirectory* AddSystemDirectory(CFileNode* fsRoot);
    // The binding of a scan folder: the root itself for a registered tree's root, else the node
    // found by climbing to the tree's root and descending the child maps; null when a step is
    // missing.
    CBindingNode* FindFolderBinding(const CFileNode* folder);
    // Binds a scan node below its folder's binding; null parent when its folder is unknown.
    CBindingNode* AddScanNode(CFileNode* node, CBindingNode** parentOut);
    // Takes out every binding of the tree and forgets the tree; the removed top-level children
    // are handed to the caller (one reference each) so that the tree window can drop them.
    std::vector<CBindingNode*> DetachRoot(const CFileNode* fsRoot);
    bool HoldsTree(const CFileNode* fsRoot) const;
    std::vector<CFileNode*> TreeRoots() const;
    u32 PartitionCounter() const { return m_partitionCounter; }

private:
    std::vector<CFileNode*> m_scanRoots;
    std::string m_name;
    u32 m_partitionCounter = 0;
    // The last folder looked up: files of one folder arrive together.
    const CFileNode* m_lastFolder = nullptr;
    CBindingNode* m_lastBinding = nullptr;
};

// A root of the trees that are not built here (file type, modified date): a name and a check
// state of its own.
class CNamedRootNode : public CBindingNode {
public:
    CNamedRootNode(std::string name, u32 treeKind) : CBindingNode(nullptr, treeKind), m_name(std::move(name)) {}
    std::string GetName() const override { return m_name; }
    void SetName(std::string name) { m_name = std::move(name); }
    bool IsFolder() const override { return true; }
    u32 GetCheckState() const override { return m_image; }
    void StoreCheckState(u32 image) override { m_image = image; }
    void RefreshItem(u32 image, bool recurse, bool notify) override;

private:
    std::string m_name;
    u32 m_image = kImageChecked;
};

// The file-system name of a tree's code for the partition folder's label.
const char* FileSystemLabel(u32 code);

}  // namespace FileSelCtrl
