#pragma once
// Reads a found file's bytes through its extents, cluster by cluster.
#include "platform/Types.h"

class CFileNode;
class IStorageDevice;

class CDataRunReader {
public:
    CDataRunReader() = default;
    ~CDataRunReader() { Close(); }
    CDataRunReader(const CDataRunReader&) = delete;
    CDataRunReader& operator=(const CDataRunReader&) = delete;

    // Fails for a null device or node, a cluster size of 0, a node without properties, a file
    // of size 0 or one without runs.
    bool Open(IStorageDevice* device, CFileNode* node, u64 partitionStart, u32 sectorsPerCluster);
    // As Open, with the geometry of the node's file-system root.
    bool OpenNode(IStorageDevice* device, CFileNode* node);
    // Reads up to length bytes at offset, clamped to the file size; false for an offset at or
    // beyond the end and when a device read fails. Sparse extents read as zeros.
    bool Read(u64 offset, void* out, u32 length, u32* done);
    // Reads from the value of a resident NTFS attribute.
    bool ReadResident(u64 offset, void* out, u32 length, u32* done);
    void Close();

private:
    IStorageDevice* m_device = nullptr;
    CFileNode* m_node = nullptr;
    u32 m_clusterSize = 0;
    u32 m_sectorsPerCluster = 0;
    u64 m_fileSize = 0;
    u64 m_partitionStart = 0;
    u8* m_buffer = nullptr;  // 8 clusters
};
