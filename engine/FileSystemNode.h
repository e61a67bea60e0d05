#pragma once
// The root of one directory tree: the file system's code, partition geometry and volume label,
// and the selection statistics of the whole tree.
#include <atomic>

#include "engine/FileNode.h"
#include "engine/FileProperties.h"

// a + b, all ones when the sum passes 2^64: sizes come from the disk, and a total that wrapped
// would pass for a small one.
inline u64 SaturatingAdd(u64 a, u64 b) {
    u64 sum = 0;
    return __builtin_add_overflow(a, b, &sum) ? ~u64(0) : sum;
}

// The same for a running total that other threads read and add to.
inline void AddSaturating(std::atomic<u64>& total, u64 add) {
    u64 seen = total.load();
    while (!total.compare_exchange_weak(seen, SaturatingAdd(seen, add))) {
    }
}

// Selection statistics of a tree; saved in results, so the layout is fixed.
struct SelectionStatistics {
    u32 files = 0;  // non-folder nodes
    u32 checkedFiles = 0;
    u64 bytes = 0;
    u64 checkedBytes = 0;
    u32 compressedFiles = 0;  // attribute 0x800
    u32 checkedCompressedFiles = 0;
    u32 encryptedFiles = 0;  // attribute 0x4000
    u32 checkedEncryptedFiles = 0;
};
static_assert(sizeof(SelectionStatistics) == 40, "selection statistics layout");

// What a counting walk gathers, and the state it gives every node when setStates is on.
struct StatisticsWalkContext {
    StatisticsWalkContext(u32 setStatesSwitch, u8 stateToSet) : setStates(setStatesSwitch), state(stateToSet) {}
    SelectionStatistics statistics;
    u32 setStates;
    u8 state;
};

constexpr u32 kVolumeInfoSize = 264;
constexpr u32 kMaxVolumeLabel = 40;

class CFileSystemNode : public CFileNode {
public:
    CFileSystemNode() = default;
    ~CFileSystemNode() override;

    // A copy of the root's ids, statistics, volume information, geometry, code and label, with
    // new root properties for its code.
    CFileNode* Clone() const override;
    bool IsFileSystemNode() const override { return true; }
    bool GetPartitionGeometry(u64& startSector, u32& sectorsPerCluster) const override;
    u32 GetFileSystemType() const override { return m_fileSystemCode; }
    // Statistics (checked counters as 0), start sector, sectors per cluster, code, label length,
    // label bytes; returns 1.
    u32 Save(IRSData* stream) const override;
    u32 Load(IRSData* stream) override;

    virtual void SetPartitionGeometry(u64 startSector, u32 sectorsPerCluster);
    virtual void SetFileSystemType(u32 code);
    virtual u32 GetVolumeInfo(void* out) const;        // copies 264 bytes out, 1
    virtual u32 SetVolumeInfo(const void* info);       // copies 264 bytes in, 1
    // Flips the check state of a node of this tree, and with it (unless thisNodeOnly) the whole
    // subtree, the ancestors' states and the roots' statistics; returns 1.
    virtual u32 ToggleCheck(CFileNode* node, bool thisNodeOnly);
    // SetFlag on the node's properties; 0 for a null node or one without properties.
    virtual u32 SetNodeFlag(CFileNode* node, u8 flag);
    virtual u32 GetStatistics(SelectionStatistics* out) const;
    // Counts the statistics of the whole tree again; returns 1.
    virtual u32 RecountStatistics();

    // Keeps at most 40 characters; null removes the label.
    void SetVolumeLabel(const char* label);
    const char* GetVolumeLabel() const { return m_label; }
    u32 GetVolumeLabelLength() const { return m_labelLength; }

private:
    SelectionStatistics m_statistics;
    u8 m_volumeInfo[kVolumeInfoSize] = {};
    u64 m_partitionStart = 0;
    u32 m_sectorsPerCluster = 0;
    u32 m_fileSystemCode = kFsUnknown;
    char* m_label = nullptr;
    u32 m_labelLength = 0;
};

using FileSystemNodePtr = TreeNodeHandle<CFileSystemNode>;

// A new root without code or properties, or null when memory runs out.
FileSystemNodePtr CreateFileSystemNode();
FileSystemNodePtr CreateFileSystemNodeObject();
void DeleteFileSystemNode(CFileSystemNode* node);

// The folder properties of a root of the node's code, named by the code's type name ("FAT12",
// "NTFS", "RAW", ...), of the class of the code's plug-in row; null for a code without a row.
PropertiesRef<> CreateRootFileProperties(const CFileSystemNode& node);

// The folder state that a folder's children give: 0 without any child in state 2 or 1, 2 when
// every child is in state 2, else 1.
u8 DeriveFolderCheckState(const CFileNode* folder);
// Counts one node into the context, then sets its state when the context says so.
void CountFileNode(StatisticsWalkContext* context, CFileNode* node);
// Breadth-first from start (inclusive), without recursion.
void WalkSubtree(CFileNode* start, StatisticsWalkContext* context);
u32 CountSubtree(CFileNode* start, SelectionStatistics* out, bool setState, u8 state);
