#pragma once
// One file or folder of a directory tree. Nodes are linked as parent, first child and next
// sibling; a node holds one reference to its properties. Destroying a node destroys neither its
// children nor its siblings: the owner of a tree destroys every node of it.
#include <atomic>
#include <functional>
#include <memory>

#include "devices/FileSystemCode.h"
#include "platform/Types.h"

class IFileProperties;
class IRSData;

constexpr u64 kUnknownNodeId = ~0ULL;

// Check states.
constexpr u8 kUnchecked = 0;
constexpr u8 kPartlyChecked = 1;
constexpr u8 kChecked = 2;

class CFileNode {
public:
    CFileNode() = default;
    CFileNode(const CFileNode&) = delete;
    CFileNode& operator=(const CFileNode&) = delete;
    virtual ~CFileNode();

    // A new node with the same ids, record sector and properties (one more reference), no links,
    // no search record, checked.
    virtual CFileNode* Clone() const;
    virtual bool IsFileSystemNode() const { return false; }
    // The geometry of the nearest file-system root above; none: 0, 0 and false.
    virtual bool GetPartitionGeometry(u64& startSector, u32& sectorsPerCluster) const;
    // The code of the nearest file-system root from this node up; none: 9.
    virtual u32 GetFileSystemType() const;
    // A plain node has no saved form: 0. File-system roots write theirs and answer 1.
    virtual u32 Save(IRSData* stream) const;
    virtual u32 Load(IRSData* stream);

    // The window's summary thread counts the checks while the user changes them.
    void SetCheckState(u8 state) { m_checkState.store(state, std::memory_order_relaxed); }
    u8 GetCheckState() const { return m_checkState.load(std::memory_order_relaxed); }
    void SetRecordSector(u64 sector) { m_recordSector = sector; }
    u64 GetRecordSector() const { return m_recordSector; }
    void SetParentId(u64 id) { m_parentId = id; }
    u64 GetParentId() const { return m_parentId; }
    void SetId(u64 id) { m_id = id; }
    u64 GetId() const { return m_id; }
    void SetSearchRecord(void* record) { m_searchRecord = record; }
    void* GetSearchRecord() const { return m_searchRecord; }
    // Takes over the caller's reference; the old pointer is overwritten without release.
    void SetFileProperties(IFileProperties* properties) { m_properties = properties; }
    IFileProperties* GetFileProperties() const { return m_properties; }

    CFileNode* GetParent() const { return m_parent; }
    CFileNode* GetFirstChild() const { return m_firstChild; }
    CFileNode* GetNextSibling() const { return m_nextSibling; }
    // Links the child at the front of this node's children.
    void AddChild(CFileNode* child);
    // Unlinks a child of this node; false when it is not one.
    bool RemoveChild(CFileNode* child);

protected:
    CFileNode* m_parent = nullptr;
    CFileNode* m_firstChild = nullptr;
    CFileNode* m_nextSibling = nullptr;
    IFileProperties* m_properties = nullptr;
    void* m_searchRecord = nullptr;
    u64 m_parentId = kUnknownNodeId;
    u64 m_id = kUnknownNodeId;
    u64 m_recordSector = 0;
    std::atomic<u8> m_checkState{kChecked};
};

// Destroy one node through its virtual destructor; nothing for null.
void DeleteFileNode(CFileNode* node);
void DestroyTreeNode(CFileNode* node);
// Unlinks the node from its parent and destroys it with everything below it, without recursion:
// for a subtree whose nodes belong to nobody else (a tree the builder refused, a walker's own).
void DestroySubtree(CFileNode* root);

struct TreeNodeDeleter {
    void operator()(CFileNode* node) const { DestroyTreeNode(node); }
};
// Owns one node that is not linked into a tree yet (a factory's result, a clone). Handing it to
// a tree or builder that takes it is `.release()` at the call, so the transfer shows; when the
// taker refuses the node, the handle still owns it and destroys it.
template <class Node = CFileNode>
using TreeNodeHandle = std::unique_ptr<Node, TreeNodeDeleter>;
using TreeNodePtr = TreeNodeHandle<CFileNode>;

// A new unlinked node, or null when memory runs out.
TreeNodePtr CreateFileNode();
TreeNodePtr CreateFileNodeObject();
// The node's Clone in a handle (null for a null node or when memory runs out).
TreeNodePtr CloneTreeNode(const CFileNode* node);

class IDataRunList;
class IFileProperties;
// Calls fn(properties, runs) for every live file and folder of the volume below root that has a
// run list; volumes found inside it are passed over, since they count their clusters from their
// own start and their files are no live files of this one.
void ForEachLiveRunList(const CFileNode& root,
                        const std::function<void(const IFileProperties&, const IDataRunList&)>& fn);
