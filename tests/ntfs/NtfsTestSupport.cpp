#include "NtfsTestSupport.h"

#include <algorithm>
#include <cstring>
#include <cstdlib>
#include <ctime>

#include "TestUtil.h"
#include "engine/CompactRunList.h"
#include "engine/DataRunList.h"
#include "engine/DataRunReader.h"
#include "engine/FileNode.h"
#include "fs/ntfs/NTFSDeepSearch.h"

namespace ntfstest {

CSearchedNTFSPartitionInfo* BestCandidate(CNTFSSearchController& search) {
    std::vector<CSearchedPartitionInfo*> candidates;
    search.GetSearchedPartitions(candidates);
    CSearchedNTFSPartitionInfo* best = nullptr;
    for (CSearchedPartitionInfo* c : candidates) {
        auto* ntfs = static_cast<CSearchedNTFSPartitionInfo*>(c);
        if (!best || ntfs->GetBootScore() > best->GetBootScore()) best = ntfs;
    }
    return best;
}

VolumeListing::~VolumeListing() {
    for (auto& [n, f] : files) {
        if (f.properties) f.properties->Release();
    }
}

const WalkedFile* VolumeListing::Find(const std::string& path, bool deleted) const {
    for (const auto& [n, f] : files) {
        if (f.path != path || (f.properties->GetAttributes() & kAttrDirectory)) continue;
        if (((f.properties->GetState() & kStateDeleted) != 0) == deleted) return &f;
    }
    return nullptr;
}

const WalkedFile* VolumeListing::FindDeletedByName(const std::string& path) const {
    const std::string name = path.substr(path.rfind('/') + 1);
    const WalkedFile* found = nullptr;
    for (const auto& [n, f] : files) {
        if ((f.properties->GetState() & kStateDeleted) == 0 || name != f.properties->GetName()) continue;
        if (found != nullptr) return nullptr;
        found = &f;
    }
    return found;
}

std::unique_ptr<VolumeListing> ListVolume(IStorageDevice& device, u64 partitionStart) {
    auto v = std::make_unique<VolumeListing>();
    v->partitionStart = partitionStart;
    v->sectorSize = device.GetSectorSize();
    std::vector<u8> boot(v->sectorSize);
    if (v->sectorSize < 512 || !device.Read(boot.data(), partitionStart, 1)) return v;
    CNTFSDBR dbr;
    if (!dbr.SetDBRData(boot.data()) || !dbr.HasUsableFileRecordSize(v->sectorSize)) return v;
    if (dbr.GetBytesPerSector() != v->sectorSize) return v;
    v->sectorsPerCluster = dbr.GetSectorsPerCluster();
    v->bytesPerCluster = u64(v->sectorsPerCluster) * v->sectorSize;
    v->recordSize = dbr.GetFileRecordSize();
    v->volumeClusters = dbr.GetTotalSectors() / v->sectorsPerCluster;
    const u8 sectorsPerRecord = u8(v->recordSize / v->sectorSize);

    std::vector<u8> buffer(v->recordSize);
    const u64 mftSector = partitionStart + dbr.GetMFTCluster() * v->sectorsPerCluster;
    if (!device.Read(buffer.data(), mftSector, sectorsPerRecord)) return v;
    CNTFSFileRecord mft;
    if (!mft.Init(buffer.data(), v->recordSize, mftSector, &device, nullptr)) return v;
    NTFSRunList mftRuns;
    u64 mftSize = 0;
    if (!CollectUnnamedDataRuns(mft, mftRuns, true, &mftSize) || mftRuns.empty()) return v;
    SortRunsByVCN(mftRuns);
    ClipRunsToVolume(mftRuns, v->volumeClusters);
    v->opened = true;

    const u64 records = std::min<u64>(mftSize / v->recordSize, 1u << 20);
    for (u64 n = 0; n < records; ++n) {
        const u64 sector = ComputeRecordSector(n, v->sectorsPerCluster, partitionStart, mftRuns, sectorsPerRecord);
        if (sector == ~u64(0) || !device.Read(buffer.data(), sector, sectorsPerRecord)) continue;
        ++v->recordsRead;
        if (!ValidateFileRecord(buffer.data(), v->recordSize)) {
            ++v->recordsSkipped;
            continue;
        }
        NTFSExtensionRecordList* extensions =
            CNTFSFileRecord::LocateExtensionRecords(buffer.data(), v->recordSize, sector, v->sectorsPerCluster,
                                                    partitionStart, &device, mftRuns, sectorsPerRecord);
        CNTFSFileRecord record;
        if (!record.Init(buffer.data(), v->recordSize, sector, &device, extensions) ||
            RecordIsExtension(record.GetRecord())) {
            if (!record.HasRecord()) ++v->recordsSkipped;
            delete extensions;
            continue;
        }
        WalkedFile f;
        f.recordNumber = n;
        f.sector = sector;
        f.properties = MakeNTFSFileProperties(sector, record, v->bytesPerCluster, &f.parent, v->volumeClusters).release();
        if (f.properties == nullptr) {
            delete extensions;
            continue;
        }
        f.properties->SetExtensionRecords(extensions);
        v->files[n] = f;
    }

    for (auto& [n, f] : v->files) {
        std::string path;
        u64 at = n;
        for (int depth = 0; depth < 64 && at != 5; ++depth) {
            auto it = v->files.find(at);
            if (it == v->files.end()) {
                path = "?" + path;
                break;
            }
            path = "/" + std::string(it->second.properties->GetName()) + path;
            at = it->second.parent;
        }
        f.path = path;
    }
    return v;
}

bool ReadFileData(IStorageDevice& device, const VolumeListing& volume, const WalkedFile& file, std::vector<u8>& out) {
    out.clear();
    const u64 size = file.properties->GetSize();
    std::unique_ptr<IDataRunList> list(file.properties->CreateDataRunList());
    if (!list) return size == 0;
    if (list->IsResident()) {
        CFileNode* node = CreateFileNode().release();
        file.properties->AddRef();
        node->SetFileProperties(file.properties);
        out.resize(volume.recordSize);
        u64 got = 0;
        const bool ok = ReadNTFSResidentData(node, &device, got, out.data(), u32(out.size()));
        DeleteFileNode(node);
        out.resize(ok ? got : 0);
        return ok;
    }
    const u64 clusterBytes = volume.bytesPerCluster;
    std::vector<u8> cluster(clusterBytes);
    for (size_t i = 0; i < list->GetExtentCount() && out.size() < size; ++i) {
        const DataRunExtent& e = list->GetExtent(i);
        for (u64 c = 0; c < e.length && out.size() < size; ++c) {
            if (e.start == kSparseExtentStart) {
                std::fill(cluster.begin(), cluster.end(), 0);
            } else if (e.start < 0) {
                return false;
            } else if (!device.Read(cluster.data(), volume.partitionStart + (u64(e.start) + c) * volume.sectorsPerCluster,
                                    volume.sectorsPerCluster)) {
                return false;
            }
            out.insert(out.end(), cluster.begin(), cluster.end());
        }
    }
    if (out.size() < size) return false;
    out.resize(size);
    return true;
}

std::vector<std::pair<u64, u64>> AllocatedRanges(const VolumeListing& volume, const WalkedFile& file, u64 limit) {
    std::vector<std::pair<u64, u64>> ranges;
    std::unique_ptr<IDataRunList> list(file.properties->CreateDataRunList());
    if (!list || list->IsResident()) return ranges;
    u64 position = 0;
    for (size_t i = 0; i < list->GetExtentCount() && position < limit; ++i) {
        const DataRunExtent& e = list->GetExtent(i);
        const u64 extentBytes = e.length * volume.bytesPerCluster;
        const u64 len = std::min(extentBytes, limit - position);
        position += extentBytes;
        if (e.start < 0 || len == 0) continue;  // a hole, or clusters outside the volume
        const u64 at = volume.partitionStart * volume.sectorSize + u64(e.start) * volume.bytesPerCluster;
        if (!ranges.empty() && ranges.back().first + ranges.back().second == at) {
            ranges.back().second += len;
        } else {
            ranges.emplace_back(at, len);
        }
    }
    return ranges;
}


}  // namespace ntfstest

namespace ntfstest {
namespace {
void Put16(std::vector<u8>& b, size_t at, u16 v) { WriteLE16(b.data() + at, v); }
void Put32(std::vector<u8>& b, size_t at, u32 v) { WriteLE32(b.data() + at, v); }
void Put64(std::vector<u8>& b, size_t at, u64 v) { WriteLE64(b.data() + at, v); }
size_t Align8(size_t v) { return (v + 7) & ~size_t(7); }
}  // namespace

u32 RecordBuilder::Raw(const std::vector<u8>& bytes) {
    const u32 at = FirstAttributeOffset(m_size) + u32(m_attrs.size());
    m_attrs.insert(m_attrs.end(), bytes.begin(), bytes.end());
    return at;
}

u32 RecordBuilder::Resident(u32 type, const std::vector<u8>& value, const std::u16string& name, u16 flags) {
    const size_t nameOff = 24, valueOff = Align8(nameOff + 2 * name.size());
    std::vector<u8> a(Align8(valueOff + value.size()), 0);
    Put32(a, 0, type);
    Put32(a, 4, u32(a.size()));
    a[9] = u8(name.size());
    Put16(a, 10, u16(nameOff));
    Put16(a, 12, flags);
    Put32(a, 16, u32(value.size()));
    Put16(a, 20, u16(valueOff));
    for (size_t i = 0; i < name.size(); ++i) Put16(a, nameOff + 2 * i, u16(name[i]));
    std::copy(value.begin(), value.end(), a.begin() + long(valueOff));
    return Raw(a);
}

u32 RecordBuilder::NonResident(u32 type, const std::vector<u8>& pairs, u64 firstVCN, u64 lastVCN, u64 allocated,
                               u64 dataSize, u64 initialized, u16 flags, const std::u16string& name) {
    const size_t nameOff = 64, pairsOff = Align8(nameOff + 2 * name.size());
    std::vector<u8> a(Align8(pairsOff + pairs.size()), 0);
    Put32(a, 0, type);
    Put32(a, 4, u32(a.size()));
    a[8] = 1;
    a[9] = u8(name.size());
    Put16(a, 10, u16(nameOff));
    Put16(a, 12, flags);
    Put64(a, 16, firstVCN);
    Put64(a, 24, lastVCN);
    Put16(a, 32, u16(pairsOff));
    Put64(a, 40, allocated);
    Put64(a, 48, dataSize);
    Put64(a, 56, initialized);
    for (size_t i = 0; i < name.size(); ++i) Put16(a, nameOff + 2 * i, u16(name[i]));
    std::copy(pairs.begin(), pairs.end(), a.begin() + long(pairsOff));
    return Raw(a);
}

u32 RecordBuilder::FileName(u64 parent, const std::u16string& name, u8 nameSpace, u64 dataSize, u32 flags,
                            u64 mtime) {
    std::vector<u8> v(66 + 2 * name.size(), 0);
    // A reference without a sequence number gets 1.
    Put64(v, 0, (parent >> 48) != 0 ? parent : parent | (u64(1) << 48));
    Put64(v, 8, mtime);
    Put64(v, 16, mtime);
    Put64(v, 32, mtime);
    Put64(v, 48, dataSize);
    Put32(v, 56, flags);
    v[64] = u8(name.size());
    v[65] = nameSpace;
    for (size_t i = 0; i < name.size(); ++i) Put16(v, 66 + 2 * i, u16(name[i]));
    return Resident(0x30, v);
}

u32 RecordBuilder::StandardInformation(u64 mtime, u32 attributes) {
    std::vector<u8> v(72, 0);
    Put64(v, 0, mtime);
    Put64(v, 8, mtime);
    Put64(v, 16, mtime);
    Put64(v, 24, mtime);
    Put32(v, 32, attributes);
    return Resident(0x10, v);
}

std::vector<u8> RecordBuilder::Build(bool protect) const {
    std::vector<u8> r(m_size, 0);
    const u32 count = m_size / 512 + 1;
    const u32 first = FirstAttributeOffset(m_size);
    std::memcpy(r.data(), "FILE", 4);
    Put16(r, 4, 48);
    Put16(r, 6, u16(count));
    Put64(r, 8, m_lsn);
    Put16(r, 16, m_sequence);
    Put16(r, 18, 1);
    Put16(r, 20, u16(first));
    Put16(r, 22, m_flags);
    const size_t kept = std::min(m_attrs.size(), size_t(m_size - first));
    const size_t end = first + kept;
    std::copy(m_attrs.begin(), m_attrs.begin() + long(kept), r.begin() + first);
    if (end + 8 <= m_size) Put32(r, end, 0xFFFFFFFF);
    Put32(r, 24, u32(std::min<size_t>(end + 8, m_size)));
    Put32(r, 28, m_size);
    Put64(r, 32, m_base);
    Put16(r, 40, 8);
    Put32(r, 44, m_number);
    const u16 usn = 0x0203;
    Put16(r, 48, usn);
    for (u32 i = 0; i + 1 < count; ++i) {
        const size_t slot = (i + 1) * 512 - 2;
        Put16(r, 48 + 2 * (i + 1), ReadLE16(r.data() + slot));
        if (protect) Put16(r, slot, usn);
    }
    return r;
}
}  // namespace ntfstest
