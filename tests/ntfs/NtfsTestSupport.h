#pragma once
// Shared pieces of the NTFS tests: an MFT walk that turns every record of a volume into
// properties with a path, as a volume listing would, and a builder of MFT records. The image
// device and the fixtures' manifests come from the shared test support.
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "ImageDevice.h"
#include "Json.h"
#include "Manifest.h"
#include "devices/StorageDevice.h"
#include "fs/ntfs/NTFSFileProperties.h"

class CNTFSSearchController;
class CSearchedNTFSPartitionInfo;

namespace ntfstest {

using testutil::FileTimeToIsoUtc;
using testutil::ImageDevice;
using testutil::Json;
using testutil::LoadManifest;
using testutil::ManifestFile;
using testutil::ParseJson;

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
    u32 sectorsPerCluster = 0;
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

// The candidate of the highest score that a search hands out after its EndSearch; none when it
// has none.
CSearchedNTFSPartitionInfo* BestCandidate(CNTFSSearchController& search);
}  // namespace ntfstest

namespace ntfstest {
// Builds MFT records byte by byte for the unit tests, protected by update-sequence fixups.
class RecordBuilder {
public:
    explicit RecordBuilder(u32 size = 1024) : m_size(size) {}
    RecordBuilder& InUse(bool inUse) { m_flags = u16((m_flags & ~1) | (inUse ? 1 : 0)); return *this; }
    RecordBuilder& Directory() { m_flags |= 2; return *this; }
    RecordBuilder& Number(u32 n) { m_number = n; return *this; }
    RecordBuilder& Sequence(u16 sequence) { m_sequence = sequence; return *this; }
    RecordBuilder& BaseReference(u64 ref) { m_base = ref; return *this; }
    RecordBuilder& LogSequenceNumber(u64 lsn) { m_lsn = lsn; return *this; }
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
    u16 m_sequence = 1;
    u32 m_number = 0;
    u64 m_base = 0;
    u64 m_lsn = 0x1000;
    std::vector<u8> m_attrs;
};
// The candidate of the highest score that a search hands out after its EndSearch; none when it
// has none.
CSearchedNTFSPartitionInfo* BestCandidate(CNTFSSearchController& search);
}  // namespace ntfstest
