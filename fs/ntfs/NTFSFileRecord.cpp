#include "fs/ntfs/NTFSFileRecord.h"

#include <algorithm>
#include <cstring>
#include <unordered_set>

#include "devices/StorageDevice.h"

using namespace ntfs;

namespace {
// An attribute list names one entry per attribute of a file; even a badly fragmented file stays
// far below this, and a larger allocation size read from disk is taken as damage.
constexpr u64 kMaxAttributeListBytes = 1u << 20;
}  // namespace

bool CNTFSFileRecord::Init(const u8* bytes, u32 length, u64 recordSector, IStorageDevice* device,
                           const NTFSExtensionRecordList* extensions) {
    m_record.clear();
    m_extensions.clear();
    m_sector = ~u64(0);
    m_device = nullptr;
    if (!ValidateFileRecord(bytes, length)) return false;
    const u32 span = RecordSpan(bytes, length);
    // A stride whose end does not carry the sequence number was torn or overwritten: the record
    // mixes old and new bytes, and its names and runs cannot be trusted.
    if (!CheckFileRecordFixups(bytes, span)) return false;
    m_record.assign(bytes, bytes + span);
    ApplyFileRecordFixups(m_record.data(), span);
    m_sector = recordSector;
    m_device = device;
    if (extensions != nullptr) {
        for (const NTFSExtensionRecordLocation& loc : *extensions) {
            Extension e;
            e.sector = loc.sector;
            e.recordNumber = loc.recordNumber;
            m_extensions.push_back(std::move(e));
        }
    }
    return true;
}

void CNTFSFileRecord::LoadExtension(Extension& e) {
    if (e.tried) return;
    e.tried = true;
    if (i64(e.sector) < 0 || m_device == nullptr || m_record.empty()) return;
    const u32 sectorSize = m_device->GetSectorSize();
    if (sectorSize == 0) return;
    // Extension records have the size of their base record.
    const u32 size = GetRecordLength();
    const u32 sectors = (size + sectorSize - 1) / sectorSize;
    std::vector<u8> buffer(size_t(sectors) * sectorSize);
    if (m_device->Read(buffer.data(), e.sector, sectors) == 0) return;
    const u32 length = u32(buffer.size());
    if (!ValidateFileRecord(buffer.data(), length)) return;
    const u32 span = RecordSpan(buffer.data(), length);
    buffer.resize(span);
    if (!ApplyFileRecordFixups(buffer.data(), span)) return;
    // A slot reused by another file must not lend its attributes to this one.
    if (!RecordIsExtension(buffer.data())) return;
    if (RecordIsNewerLayout(m_record.data()) && RecordBaseRecordNumber(buffer.data()) != GetRecordNumber()) return;
    e.image = std::move(buffer);
}

const u8* CNTFSFileRecord::FindAttribute(u32 type, u32 n, u32* offset, u64* sector) {
    if (m_record.empty()) return nullptr;
    const u32 length = GetRecordLength();
    const i32 off = FindRecordAttributeOffset(m_record.data(), length, type, n);
    if (off >= 0) {
        if (offset) *offset = u32(off);
        if (sector) *sector = m_sector;
        return m_record.data() + off;
    }
    u32 before = CountRecordAttributes(m_record.data(), length, type);
    for (Extension& e : m_extensions) {
        LoadExtension(e);
        if (e.image.empty()) continue;
        const u32 elen = u32(e.image.size());
        const u32 count = CountRecordAttributes(e.image.data(), elen, type);
        if (before + count > n) {
            const i32 eoff = FindRecordAttributeOffset(e.image.data(), elen, type, n - before);
            if (eoff < 0) return nullptr;
            if (offset) *offset = u32(eoff);
            if (sector) *sector = e.sector;
            return e.image.data() + eoff;
        }
        before += count;
    }
    return nullptr;
}

std::vector<NTFSFileNameInfo> CNTFSFileRecord::ReadFileNames() {
    std::vector<NTFSFileNameInfo> names;
    if (m_record.empty()) return names;
    ReadRecordFileNames(m_record.data(), GetRecordLength(), names);
    for (Extension& e : m_extensions) {
        LoadExtension(e);
        if (!e.image.empty()) ReadRecordFileNames(e.image.data(), u32(e.image.size()), names);
    }
    return names;
}

bool CNTFSFileRecord::IsInUse() const { return !m_record.empty() && RecordIsInUse(m_record.data()); }

u64 CNTFSFileRecord::GetRecordNumber() const { return m_record.empty() ? 0 : RecordNumberField(m_record.data()); }

NTFSExtensionRecordList* CNTFSFileRecord::LocateExtensionRecords(const u8* bytes, u32 length, u64 recordSector,
                                                                 u32 sectorsPerCluster, u64 partitionStart,
                                                                 IStorageDevice* device, const NTFSRunList& mftRuns,
                                                                 u8 sectorsPerRecord) {
    if (!ValidateFileRecord(bytes, length)) return nullptr;
    const u32 span = RecordSpan(bytes, length);
    std::vector<u8> record(bytes, bytes + span);
    ApplyFileRecordFixups(record.data(), span);
    const u8* attr = FindRecordAttribute(record.data(), span, kAttrAttributeList, 0);
    if (attr == nullptr) return nullptr;

    std::vector<u8> nonResident;
    const u8* list = nullptr;
    u64 listLength = 0;
    if (!AttrIsNonResident(attr)) {
        u32 valueLength = 0;
        list = AttrResidentValue(attr, &valueLength);
        listLength = valueLength;
    } else {
        const u64 initialized = AttrInitializedSize(attr), allocated = AttrAllocatedSize(attr);
        if (initialized == 0 || initialized > allocated || allocated > kMaxAttributeListBytes) return nullptr;
        u32 pairsLength = 0;
        const u8* pairs = AttrMappingPairs(attr, &pairsLength);
        if (pairs == nullptr) return nullptr;
        nonResident.assign(size_t(allocated), 0);
        if (!ReadNonResidentAttributeData(pairs, pairsLength, nonResident.data(), allocated, partitionStart,
                                          sectorsPerCluster, device)) {
            return nullptr;
        }
        list = nonResident.data();
        listLength = initialized;
    }
    if (list == nullptr) return nullptr;

    NTFSExtensionRecordList found;
    std::unordered_set<u64> seen;
    u64 pos = 0;
    while (pos + 24 <= listLength) {
        const u8* entry = list + pos;
        const u32 type = ReadLE32(entry);
        const u16 entryLength = ReadLE16(entry + 4);
        if (type == 0 || entryLength == 0) break;
        if (entryLength < 24) break;  // cannot hold its own fields: the rest is not trusted
        const u64 number = u64(ReadLE32(entry + 16)) | (u64(ReadLE16(entry + 20)) << 32);
        if (seen.insert(number).second) {
            NTFSExtensionRecordLocation loc;
            loc.recordNumber = number;
            found.push_back(loc);
        }
        pos += entryLength;
    }

    auto* result = new NTFSExtensionRecordList();
    for (NTFSExtensionRecordLocation& loc : found) {
        loc.sector = ComputeRecordSector(loc.recordNumber, sectorsPerCluster, partitionStart, mftRuns, sectorsPerRecord);
        if (loc.sector == recordSector || loc.sector == ~u64(0)) continue;
        result->push_back(loc);
    }
    if (result->empty()) {
        delete result;
        return nullptr;
    }
    return result;
}

u32 GetSectorsPerClusterFromMFTRecord(CNTFSFileRecord& record) {
    NTFSRunList runs;
    u64 size = 0;
    CollectUnnamedDataRuns(record, runs, false, &size);
    const u64 total = TotalRunClusters(runs);
    if (total == 0 || total > 0xFFFFFFFFull) return 0;
    return GuessSectorsPerCluster(size, u32(total));
}

bool CNTFSVolumeReader::GetVolumeLabel(u64 partitionStart, const CNTFSDBR& dbr, char* out, u32 outSize) {
    if (out == nullptr || outSize == 0) return false;
    out[0] = 0;
    if (m_device == nullptr) return false;
    const u32 sectorSize = m_device->GetSectorSize();
    const u32 recordSize = dbr.GetFileRecordSize();
    if (!IsUsableFileRecordSize(recordSize, sectorSize)) return false;
    const u32 sectorsPerRecord = recordSize / sectorSize;
    const u64 sector = partitionStart + dbr.GetMFTCluster() * dbr.GetSectorsPerCluster() + 3ull * sectorsPerRecord;
    const u32 count = 2 * sectorsPerRecord;
    std::vector<u8> buffer(size_t(count) * sectorSize);
    if (m_device->Read(buffer.data(), sector, count) == 0) return false;
    ReadVolumeNameFromRecord(buffer.data(), recordSize, out, outSize);
    return true;
}

bool CIndexedFolderRecord::FromRecord(const u8* record, u32 length, u64 sector) {
    if (record == nullptr || RecordSpan(record, length) < kRecordHeaderSize || RecordIsExtension(record)) return false;

    u64 folder = ~u64(0);
    u32 valueLength = 0;
    const u8* root = AttrResidentValue(FindRecordAttribute(record, length, kAttrIndexRoot, 0), &valueLength);
    if (root != nullptr && valueLength >= 32) {
        const u8* node = root + 16;
        const u64 nodeBytes = valueLength - 16;
        const u64 limit = std::min<u64>(ReadLE32(node + 4), nodeBytes);
        u64 pos = ReadLE32(node);
        bool first = true;
        while (pos + 16 <= limit) {
            const u8* e = node + pos;
            const u32 entryLength = ReadLE16(e + 8);
            const u32 keyLength = ReadLE16(e + 10);
            const u16 flags = ReadLE16(e + 12);
            if (entryLength == 0 || (flags & 2) != 0) break;
            if (pos + entryLength > limit || 16u + keyLength > entryLength) {
                folder = ~u64(0);
                break;
            }
            const u8* key = e + 16;
            if ((flags & 1) == 0) {
                if (keyLength < 66 || key[64] == 0 || 66u + 2u * key[64] > keyLength ||
                    !IsValidNTFSFileName(key + 66, key[64])) {
                    folder = ~u64(0);
                    break;
                }
            }
            if (keyLength >= 8) {
                const u64 parent = ReadLE64(key) & 0xFFFFFFFFFFFFull;
                if (first) {
                    folder = parent;
                    first = false;
                } else if (parent != folder) {
                    folder = ~u64(0);
                    break;
                }
            }
            pos += entryLength;
        }
    }

    const u8* ia = FindRecordAttribute(record, length, kAttrIndexAllocation, 0);
    if (ia == nullptr || !AttrIsNonResident(ia) || AttrLength(ia) < 1) return false;
    u32 pairsLength = 0;
    const u8* pairs = AttrMappingPairs(ia, &pairsLength);
    NTFSRunList runs;
    if (pairs == nullptr || !DecodeRunsChecked(runs, pairs, pairsLength) || runs.empty()) return false;
    const u32 spc = GuessSectorsPerClusterFromAttribute(ia);
    if (spc == 0) return false;

    m_runs = std::move(runs);
    m_sectorsPerCluster = spc;
    m_sector = sector;
    m_lsn = RecordLogSequenceNumber(record);
    if (RecordIsNewerLayout(record)) {
        m_newerLayout = 1;
        m_headerRecordNumber = RecordNumberField(record);
        if (folder == ~u64(0)) folder = m_headerRecordNumber;
    }
    m_folderNumber = folder;
    return folder != 5 && folder != ~u64(0);
}
