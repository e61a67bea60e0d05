#include "engine/DataRunReader.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

#include "devices/StorageDevice.h"
#include "engine/DataRunList.h"
#include "engine/FileNode.h"
#include "engine/FileProperties.h"
#include "engine/FileSystemPlugins.h"

namespace {
constexpr u32 kBufferClusters = 8;
// The largest cluster of any file system the program reads (exFAT allows 32 MiB).
constexpr u64 kMaxClusterSize = 32ULL << 20;
}  // namespace

bool CDataRunReader::Open(IStorageDevice* device, CFileNode* node, u64 partitionStart, u32 sectorsPerCluster) {
    Close();
    m_partitionStart = partitionStart;
    m_sectorsPerCluster = sectorsPerCluster;
    if (device == nullptr || node == nullptr) return false;
    const u64 clusterSize = static_cast<u64>(device->GetSectorSize()) * sectorsPerCluster;
    if (clusterSize == 0 || clusterSize > kMaxClusterSize) return false;
    m_clusterSize = static_cast<u32>(clusterSize);
    IFileProperties* properties = node->GetFileProperties();
    if (properties == nullptr) return false;
    m_fileSize = properties->GetSize();
    if (m_fileSize == 0) return false;
    std::unique_ptr<IDataRunList> runs(properties->CreateDataRunList());
    if (!runs) return false;
    m_buffer = new (std::nothrow) u8[clusterSize * kBufferClusters];
    if (m_buffer == nullptr) return false;
    m_device = device;
    m_node = node;
    return true;
}

bool CDataRunReader::OpenNode(IStorageDevice* device, CFileNode* node) {
    if (node == nullptr) return false;
    u64 start = 0;
    u32 sectorsPerCluster = 0;
    if (!node->GetPartitionGeometry(start, sectorsPerCluster)) return false;
    return Open(device, node, start, sectorsPerCluster);
}

bool CDataRunReader::Read(u64 offset, void* out, u32 length, u32* done) {
    if (m_device == nullptr || m_node == nullptr || m_buffer == nullptr || out == nullptr || done == nullptr) return false;
    if (offset >= m_fileSize) return false;
    if (length > m_fileSize - offset) length = static_cast<u32>(m_fileSize - offset);
    *done = 0;
    IFileProperties* properties = m_node->GetFileProperties();
    if (properties == nullptr) return false;
    std::unique_ptr<IDataRunList> runs(properties->CreateDataRunList());
    if (!runs) return false;
    if (runs->IsResident()) {
        runs.reset();
        return ReadResident(offset, out, length, done);
    }

    u8* dest = static_cast<u8*>(out);
    u64 cluster = offset / m_clusterSize;
    const u64 lastCluster = (offset + length) / m_clusterSize;
    u64 base = 0;  // the file cluster at which the current extent begins
    for (const DataRunExtent* e = runs->GetFirstExtent(); e != nullptr && base <= lastCluster && length > 0;
         e = runs->GetNextExtent()) {
        // Extents from a damaged record may add up past the 64-bit range: stop there.
        const u64 end = base + e->length < base ? ~0ULL : base + e->length;
        while (length > 0 && cluster >= base && cluster < end) {
            const u32 within = static_cast<u32>(offset % m_clusterSize);
            const u32 n = std::min(m_clusterSize - within, length);
            if (e->start == kSparseExtentStart) {
                // A hole: no clusters are allocated, the data are zeros.
                std::memset(dest, 0, n);
            } else {
                // Any other negative start, or a sector past the 64-bit range, is damage.
                if (e->start < 0) return false;
                u64 fileCluster = 0;
                u64 sector = 0;
                if (__builtin_add_overflow(static_cast<u64>(e->start), cluster - base, &fileCluster) ||
                    __builtin_mul_overflow(fileCluster, static_cast<u64>(m_sectorsPerCluster), &sector) ||
                    __builtin_add_overflow(sector, m_partitionStart, &sector)) {
                    return false;
                }
                if (m_device->Read(m_buffer, sector, m_sectorsPerCluster) == 0) return false;
                std::memcpy(dest, m_buffer + within, n);
            }
            dest += n;
            offset += n;
            length -= n;
            *done += n;
            ++cluster;
        }
        base = end;
    }
    return true;
}

bool CDataRunReader::ReadResident(u64 offset, void* out, u32 length, u32* done) {
    if (m_buffer == nullptr || out == nullptr || done == nullptr) return false;
    const u32 capacity = m_clusterSize * kBufferClusters;
    u64 size = 0;
    if (!ReadResidentData(m_node, m_device, size, m_buffer, capacity)) return false;
    size = std::min<u64>(size, capacity);
    if (size <= offset) return false;
    const u32 n = static_cast<u32>(std::min<u64>(length, size - offset));
    std::memcpy(out, m_buffer + offset, n);
    *done = n;
    return true;
}

void CDataRunReader::Close() {
    delete[] m_buffer;
    m_buffer = nullptr;
    m_device = nullptr;
    m_node = nullptr;
}
