#pragma once
// Read-only devices for the tests and the fuzz harnesses: an image file with a chosen sector size,
// and bytes in memory. Header-only.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "devices/StorageDevice.h"

namespace testutil {

class ImageDevice : public IStorageDevice {
public:
    ImageDevice(const std::string& path, u32 sectorSize) : m_sectorSize(sectorSize) {
        m_fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (m_fd >= 0) {
            const off_t end = ::lseek(m_fd, 0, SEEK_END);
            m_total = end > 0 ? u64(end) / sectorSize : 0;
        }
    }
    ~ImageDevice() override {
        if (m_fd >= 0) ::close(m_fd);
    }
    bool IsOpen() const { return m_fd >= 0; }
    u32 Read(void* buffer, u64 first, u64 count) override {
        ++reads;
        if (m_fd < 0 || first >= m_total || count > m_total - first) return 0;
        const u64 bytes = count * m_sectorSize;
        u64 done = 0;
        while (done < bytes) {
            const ssize_t n =
                ::pread(m_fd, static_cast<u8*>(buffer) + done, bytes - done, off_t(first * m_sectorSize + done));
            if (n <= 0) return 0;
            done += u64(n);
        }
        return 1;
    }
    u64 GetTotalSectors() override { return m_total; }
    u32 GetSectorSize() override { return m_sectorSize; }
    u32 Open() override { return m_fd >= 0 ? 1 : 0; }
    u32 Close() override { return 1; }

    u64 reads = 0;

private:
    int m_fd = -1;
    u32 m_sectorSize;
    u64 m_total = 0;
};

// Bytes in memory as a device; reads outside fail, as a disk's would.
class MemoryDevice : public IStorageDevice {
public:
    MemoryDevice(std::vector<u8> bytes, u32 sectorSize) : data(std::move(bytes)), m_sectorSize(sectorSize) {}
    // A zeroed device of `sectors` sectors.
    MemoryDevice(u32 sectorSize, u64 sectors) : data(size_t(sectorSize * sectors), 0), m_sectorSize(sectorSize) {}
    u32 Read(void* buffer, u64 first, u64 count) override {
        ++reads;
        readStarts.push_back(first);
        const u64 total = GetTotalSectors();
        if (failReads || first >= total || count > total - first) return 0;
        if (first + count > failFrom) return 0;
        if (first < failEnd && first + count > failBegin) return 0;
        std::memcpy(buffer, data.data() + first * m_sectorSize, size_t(count * m_sectorSize));
        return 1;
    }
    u64 GetTotalSectors() override { return data.size() / m_sectorSize; }
    u32 GetSectorSize() override { return m_sectorSize; }
    u32 Open() override { return 1; }
    u32 Close() override { return 1; }
    void Put(u64 offset, const std::vector<u8>& bytes) {
        std::copy(bytes.begin(), bytes.end(), data.begin() + long(offset));
    }

    std::vector<u8> data;
    u64 failFrom = ~0ULL;  // reads touching this sector or later fail
    // Reads touching [failBegin, failEnd) fail, as a bad stretch of a card does.
    u64 failBegin = 0;
    u64 failEnd = 0;
    bool failReads = false;  // every read fails
    u64 reads = 0;
    std::vector<u64> readStarts;  // the first sector of each read, in order

private:
    u32 m_sectorSize;
};

}  // namespace testutil
