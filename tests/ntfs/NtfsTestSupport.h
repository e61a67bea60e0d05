#pragma once
// Shared pieces of the NTFS tests: a read-only image device with a chosen sector size, a small
// reader for the fixture manifests, and an MFT walk that turns every record of a volume into
// properties with a path, as a volume listing would.
#include <fcntl.h>
#include <unistd.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "devices/StorageDevice.h"
#include "fs/ntfs/NTFSFileProperties.h"

namespace ntfstest {

class CImageDevice : public IStorageDevice {
public:
    CImageDevice(const std::string& path, u32 sectorSize) : m_sectorSize(sectorSize) {
        m_fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (m_fd >= 0) {
            const off_t end = ::lseek(m_fd, 0, SEEK_END);
            m_total = end > 0 ? u64(end) / sectorSize : 0;
        }
    }
    ~CImageDevice() override {
        if (m_fd >= 0) ::close(m_fd);
    }
    bool IsOpen() const { return m_fd >= 0; }
    u32 Read(void* buffer, u64 first, u64 count) override {
        ++reads;
        if (m_fd < 0 || first >= m_total || count > m_total - first) return 0;
        const u64 bytes = count * m_sectorSize;
        u64 done = 0;
        while (done < bytes) {
            const ssize_t n = ::pread(m_fd, static_cast<u8*>(buffer) + done, bytes - done, off_t(first * m_sectorSize + done));
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

// ---- manifest ----
struct JsonValue {
    enum Kind { Null, Bool, Number, String, Array, Object } kind = Null;
    bool boolean = false;
    double number = 0;
    std::string text;
    std::vector<JsonValue> items;
    std::map<std::string, JsonValue> members;

    const JsonValue& operator[](const std::string& key) const;
    bool Has(const std::string& key) const { return members.count(key) != 0; }
};
bool ParseJson(const std::string& text, JsonValue& out);

struct ManifestFile {
    int partition = 0;
    std::string path;
    u64 size = 0;
    std::string sha256;
    bool live = false;
    bool intact = false;
    bool metadataPresent = false;
    std::string mtime;
    bool compressed = false;
    bool sparse = false;
    bool resident = false;
    u64 mftRecordOffset = 0;
    std::vector<std::pair<u64, u64>> runs;  // byte offset in the image, length
};
std::vector<ManifestFile> LoadManifest(const std::string& name, int partition);

// ---- volume walk ----
struct WalkedFile {
    u64 recordNumber = 0;
    u64 sector = 0;
    u64 parent = ~u64(0);
    CNTFSFileProperties* properties = nullptr;  // one reference, released by the listing
    std::string path;
};

struct VolumeListing {
    bool opened = false;
    u64 partitionStart = 0;
    u32 sectorSize = 0;
    u8 sectorsPerCluster = 0;
    u64 bytesPerCluster = 0;
    u32 recordSize = 0;
    u64 volumeClusters = 0;
    u64 recordsRead = 0;
    u64 recordsSkipped = 0;
    std::map<u64, WalkedFile> files;  // by record number
    ~VolumeListing();

    // Files (not folders) by path; deleted ones under "deleted:" + path.
    const WalkedFile* Find(const std::string& path, bool deleted) const;
    // A deleted file by the last component of its path, when exactly one deleted file has it.
    const WalkedFile* FindDeletedByName(const std::string& path) const;
};

// Opens the NTFS volume at partitionStart as the volume analyser will (refusing unusable
// geometry), walks every MFT record and makes properties and paths.
std::unique_ptr<VolumeListing> ListVolume(IStorageDevice& device, u64 partitionStart);

// The file's bytes through its runs (holes as zeros); resident data from its record.
bool ReadFileData(IStorageDevice& device, const VolumeListing& volume, const WalkedFile& file, std::vector<u8>& out);
// Byte ranges (in the image) of the file's allocated runs up to `limit` bytes of the file,
// adjacent ones merged.
std::vector<std::pair<u64, u64>> AllocatedRanges(const VolumeListing& volume, const WalkedFile& file,
                                                 u64 limit = ~u64(0));
// "YYYY-MM-DDTHH:MM:SSZ" of a FILETIME.
std::string FileTimeToIsoUtc(u64 fileTime);

}  // namespace ntfstest

namespace ntfstest {
// Builds MFT records byte by byte for the unit tests, protected by update-sequence fixups.
class RecordBuilder {
public:
    explicit RecordBuilder(u32 size = 1024) : m_size(size) {}
    RecordBuilder& InUse(bool inUse) { m_flags = u16((m_flags & ~1) | (inUse ? 1 : 0)); return *this; }
    RecordBuilder& Directory() { m_flags |= 2; return *this; }
    RecordBuilder& Number(u32 n) { m_number = n; return *this; }
    RecordBuilder& BaseReference(u64 ref) { m_base = ref; return *this; }
    // Returns the offset of the attribute within the record.
    u32 Resident(u32 type, const std::vector<u8>& value, const std::u16string& name = u"", u16 flags = 0);
    u32 NonResident(u32 type, const std::vector<u8>& pairs, u64 firstVCN, u64 lastVCN, u64 allocated, u64 dataSize,
                    u64 initialized, u16 flags = 0, const std::u16string& name = u"");
    u32 FileName(u64 parent, const std::u16string& name, u8 nameSpace = 1, u64 dataSize = 0, u32 flags = 0,
                 u64 mtime = 0);
    u32 StandardInformation(u64 mtime, u32 attributes);
    // Raw bytes appended as they are (for malformed attributes).
    u32 Raw(const std::vector<u8>& bytes);
    // The record, protected (stride ends hold the sequence number) unless told otherwise.
    std::vector<u8> Build(bool protect = true) const;
    static u32 FirstAttributeOffset(u32 size) { return (48 + 2 * (size / 512 + 1) + 7) & ~7u; }

private:
    u32 m_size;
    u16 m_flags = 1;
    u32 m_number = 0;
    u64 m_base = 0;
    std::vector<u8> m_attrs;
};
}  // namespace ntfstest
