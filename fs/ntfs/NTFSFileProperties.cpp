#include "fs/ntfs/NTFSFileProperties.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#include "devices/StorageDevice.h"
#include "engine/CompactRunList.h"
#include "engine/DataRunList.h"
#include "engine/DataRunReader.h"
#include "engine/FileNode.h"
#include "engine/RSData.h"
#include "fs/ntfs/CommonFileRecordInfo.h"

using namespace ntfs;

namespace {
u64 SatAdd(u64 a, u64 b) { return a > ~u64(0) - b ? ~u64(0) : a + b; }
u64 SatMul(u64 a, u64 b) { return (b != 0 && a > ~u64(0) / b) ? ~u64(0) : a * b; }

constexpr u16 kStandardAttributesKept = 0x01 | 0x02 | 0x04 | 0x20 | 0x400;
// The extents of one run, answering their clusters. Of a volume of volumeClusters clusters (0:
// unknown) the run keeps what lies inside; what reaches past the end (the volume found on an
// image that stops short of it, or a damaged run) or starts at a cluster no volume has stays in
// the file as clusters that cannot be read, never as a hole of zeros, and as long as the run
// says (a run's length has at most 32 bits), so that the runs after it keep their places in the
// file.
u64 AddRunExtents(IDataRunList& list, const NTFSRun& r, u64 volumeClusters) {
    if (r.lcn == kSparseLCN) {
        list.AddExtent({kSparseExtentStart, r.count});
        return r.count;
    }
    const u64 end = volumeClusters != 0 ? volumeClusters : u64(INT64_MAX);
    if (r.lcn < end && r.count <= end - r.lcn) {
        list.AddExtent({i64(r.lcn), r.count});
        return r.count;
    }
    const u64 inside = r.lcn < end ? end - r.lcn : 0;
    if (inside != 0) list.AddExtent({i64(r.lcn), inside});
    list.AddExtent({kOutsideVolumeExtentStart, r.count - inside});
    return r.count;
}

// Clusters the data needs that the runs do not reach, while the attribute's allocated size says
// they are the file's (an extent lost with its extension record, or runs read with another
// volume's cluster size): they stay in the file as clusters that cannot be read, so that the file
// keeps its own size and its missing bytes never pass for read ones. No more than a volume of
// volumeClusters clusters (0: unknown) holds.
u64 AddMissingTail(IDataRunList& list, u64 covered, u64 size, u64 allocatedBytes, u64 bytesPerCluster,
                   u64 volumeClusters) {
    const u64 needed = size / bytesPerCluster + (size % bytesPerCluster != 0 ? 1 : 0);
    const u64 allocated = allocatedBytes / bytesPerCluster;
    u64 missing = std::min(needed, allocated);
    if (missing <= covered) return 0;
    missing -= covered;
    if (volumeClusters != 0) missing = std::min(missing, volumeClusters);
    list.AddExtent({kOutsideVolumeExtentStart, missing});
    return missing;
}
}  // namespace

CNTFSFileProperties::~CNTFSFileProperties() { delete m_extensions; }

void CNTFSFileProperties::SetData(NTFSFilePropertiesData& block) {
    ReplaceName(block.name.data(), block.name.size(), block.nameLength);
    m_size = block.size;
    m_attributes = block.attributes;
    m_creationTime = block.creationTime;
    m_modificationTime = block.modificationTime;
    m_accessTime = block.accessTime;
    m_state = block.state;
    m_recordSector = block.recordSector;
    if (m_runs != block.runList) delete m_runs;
    m_runs = block.runList;
    block.runList = nullptr;
    m_recordNumber = block.recordNumber;
    m_initializedSize = block.initializedSize;
}

void CNTFSFileProperties::SetExtensionRecords(NTFSExtensionRecordList* list) {
    if (list == m_extensions) return;
    delete m_extensions;
    m_extensions = list;
}

void CNTFSFileProperties::CopyExtensionRecords(NTFSExtensionRecordList& to) const {
    if (m_extensions != nullptr) to.insert(to.end(), m_extensions->begin(), m_extensions->end());
}

void CNTFSFileProperties::SetRunList(IDataRunList* list) {
    if (list != nullptr) ReplaceRuns(list);
}

void CNTFSFileProperties::Save(IRSData* stream) const {
    SaveHead(stream);
    stream->WriteU64(m_recordSector);
    SaveRuns(stream);
    const u64 count = m_extensions != nullptr ? m_extensions->size() : 0;
    stream->WriteU64(count);
    if (m_extensions != nullptr) {
        for (const NTFSExtensionRecordLocation& e : *m_extensions) {
            stream->WriteU64(e.sector);
            stream->WriteU64(e.recordNumber);
        }
    }
}

void CNTFSFileProperties::Load(IRSData* stream) {
    delete m_extensions;
    m_extensions = nullptr;
    m_flag = 0;
    LoadHead(stream, SavedName::AsSaved);
    m_recordSector = stream->ReadU64();
    LoadRuns(stream);
    const u64 count = stream->ReadU64();
    if (count > 0) {
        if (count > (~u64(0) >> 4)) throw CRSException(kRSEndOfData);
        stream->CheckReadable(count * 16);
        auto* list = new NTFSExtensionRecordList();
        list->reserve(size_t(count));
        try {
            for (u64 i = 0; i < count; ++i) {
                NTFSExtensionRecordLocation e;
                e.sector = stream->ReadU64();
                e.recordNumber = stream->ReadU64();
                list->push_back(e);
            }
        } catch (...) {
            delete list;
            throw;
        }
        m_extensions = list;
    }
}

PropertiesRef<CNTFSFileProperties> CreateNTFSFileProperties() {
    return PropertiesRef<CNTFSFileProperties>(new (std::nothrow) CNTFSFileProperties);
}

CNTFSFileProperties* LoadNTFSFileProperties(IRSData* stream) {
    return LoadNewFileProperties(CreateNTFSFileProperties(), stream);
}

void SetFolderPropertiesName(CNTFSFileProperties* properties, const char* name) {
    if (properties == nullptr) return;
    properties->SetName(name);
    properties->SetAttributes(kAttrDirectory);
}

IFileProperties* CreateNTFSFolderProperties(const char* name) {
    PropertiesRef<CNTFSFileProperties> properties = CreateNTFSFileProperties();
    SetFolderPropertiesName(properties.get(), name);
    return properties.release();
}

PropertiesRef<CNTFSFileProperties> MakeNTFSFileProperties(u64 recordSector, CNTFSFileRecord& record, u64 bytesPerCluster,
                                            u64* parent, u64 volumeClusters, u16* parentSequence,
                                            const NtfsFolderKnown* folderKnown,
                                            std::vector<NtfsFolderReference>* namedFolders) {
    if (!record.HasRecord()) return {};
    NTFSFilePropertiesData data;

    const std::vector<NTFSFileNameInfo> names = record.ReadFileNames();
    const NTFSFileNameInfo* chosen = ChooseShownName(names, folderKnown);
    if (chosen == nullptr) return {};
    const NTFSFileNameInfo* folder = ChooseFolderName(names, folderKnown);
    if (parent != nullptr && folder->parentRecord != kNtfsNoParentReference) *parent = folder->parentRecord;
    if (parentSequence != nullptr) *parentSequence = folder->parentSequence;
    if (namedFolders != nullptr) *namedFolders = NamedUserFolders(names);

    // A 0 character ends a name.
    u32 units = 0;
    while (units < chosen->nameLength && ReadLE16(chosen->name + 2 * units) != 0) ++units;
    if (units == 0) return {};
    if (chosen->flags & kFileNameFlagDirectory) data.attributes |= kAttrDirectory;
    data.name = NTFSNameToString(chosen->name, units);
    if (data.name.empty()) return {};
    data.nameLength = u16(std::min<size_t>(data.name.size(), 0xFFFF));

    data.creationTime = chosen->creationTime;
    data.modificationTime = chosen->modificationTime;
    data.accessTime = chosen->accessTime;
    data.size = chosen->dataSize;

    NTFSStandardInfo si;
    if (ReadStandardInformation(record.FindAttribute(kAttrStandardInformation, 0, nullptr, nullptr), si)) {
        data.creationTime = si.creationTime;
        data.modificationTime = si.modificationTime;
        data.accessTime = si.accessTime;
        data.attributes |= u16(si.attributes & kStandardAttributesKept);
    }

    data.recordSector = recordSector;
    if (!record.IsInUse()) data.state |= kStateDeleted;

    NTFSRunList runs;
    IDataRunList* list = nullptr;
    u64 allocatedBytes = 0;  // the attribute's own word on its clusters
    for (u32 i = 0;; ++i) {
        u32 offset = 0;
        u64 sector = 0;
        const u8* a = record.FindAttribute(kAttrData, i, &offset, &sector);
        if (a == nullptr) break;
        if (AttrNameLength(a) != 0) continue;
        if (AttrFlags(a) & kAttrFlagCompressed) data.attributes |= kAttrCompressed;
        if (AttrFlags(a) & kAttrFlagEncrypted) data.attributes |= kAttrEfsEncrypted;
        if (!AttrIsNonResident(a)) {
            auto* resident = new CResidentNTFSDataRunList();
            resident->SetResidentData(sector, 1, offset + AttrValueOffset(a));
            list = resident;
            data.size = AttrValueLength(a);
            break;
        }
        u64 dataSize = 0, firstVCN = 0;
        if (DecodeAttributeRuns(a, &dataSize, &firstVCN, runs) && firstVCN == 0) {
            if (i64(data.size) <= 0 || data.size < dataSize) data.size = dataSize;
            // Only the first extent's header carries the sizes of the whole stream.
            data.initializedSize = AttrInitializedSize(a);
            allocatedBytes = AttrAllocatedSize(a);
        }
    }

    if (list == nullptr) {
        SortRunsByVCN(runs);
        auto* nonResident = new CNoneResidentNTFSDataRunList();
        u64 total = 0, expectedVCN = 0;
        for (const NTFSRun& r : runs) {
            // An extent that is missing (its extension record is gone) leaves clusters that cannot
            // be read, so the later extents keep their places in the file and its bytes are not
            // taken for zeros of its own.
            if (r.vcn > expectedVCN) {
                nonResident->AddExtent({kOutsideVolumeExtentStart, r.vcn - expectedVCN});
                total = SatAdd(total, r.vcn - expectedVCN);
            }
            total = SatAdd(total, AddRunExtents(*nonResident, r, volumeClusters));
            expectedVCN = std::max(expectedVCN, SatAdd(r.vcn, r.count));
        }
        if (i64(data.size) <= 0) data.size = 0;
        if (bytesPerCluster != 0 && bytesPerCluster % 512 == 0) {
            total = SatAdd(total, AddMissingTail(*nonResident, total, data.size, allocatedBytes, bytesPerCluster,
                                                 volumeClusters));
            const u64 allocated = SatMul(total, bytesPerCluster);
            data.size = std::min(data.size, allocated);
            if (data.size == 0) data.size = allocated;
        }
        list = nonResident;
    }
    data.runList = CCompactRunList::Create(list);
    delete list;

    if ((data.attributes & kAttrCompressed) && (data.attributes & kAttrEfsEncrypted)) {
        data.attributes &= u16(~kAttrCompressed);
    }
    data.recordNumber = record.GetRecordNumber();

    PropertiesRef<CNTFSFileProperties> properties = CreateNTFSFileProperties();
    if (!properties) {
        delete data.runList;
        return {};
    }
    properties->SetData(data);
    return properties;
}

void FixNegativeSize(CNTFSFileProperties* properties, u32 sectorsPerCluster, u32 bytesPerSector) {
    if (properties == nullptr || i64(properties->GetSize()) >= 0) return;
    std::unique_ptr<IDataRunList> list(properties->CreateDataRunList());
    if (!list || list->IsResident()) return;
    u64 total = 0;
    for (size_t i = 0; i < list->GetExtentCount(); ++i) total = SatAdd(total, list->GetExtent(i).length);
    properties->SetSize(SatMul(SatMul(total, sectorsPerCluster), bytesPerSector == 0 ? 512 : bytesPerSector));
}

namespace {
// The sectors read at a record for it: more than the largest record takes.
constexpr u32 kRecordReadSectors = 16;

CNTFSFileProperties* NodeProperties(CFileNode* node) {
    if (node == nullptr || node->IsFileSystemNode()) return nullptr;
    IFileProperties* p = node->GetFileProperties();
    if (p == nullptr || (p->GetAttributes() & kAttrDirectory) != 0) return nullptr;
    return dynamic_cast<CNTFSFileProperties*>(p);
}

// The first attribute of a type that is unnamed (or any, when named ones count too).
const u8* FirstAttribute(CNTFSFileRecord& record, u32 type, bool unnamedOnly, u32* offset, u64* sector) {
    for (u32 i = 0;; ++i) {
        const u8* a = record.FindAttribute(type, i, offset, sector);
        if (a == nullptr) return nullptr;
        if (!unnamedOnly || AttrNameLength(a) == 0) return a;
    }
}
}  // namespace

std::unique_ptr<CNTFSFileRecord> LoadNodeMFTRecord(CFileNode* node, IStorageDevice* device) {
    CNTFSFileProperties* properties = NodeProperties(node);
    if (properties == nullptr || device == nullptr) return nullptr;
    const u32 sectorSize = device->GetSectorSize();
    if (sectorSize == 0) return nullptr;
    const u64 sector = properties->GetRecordSector();
    // Read as the writer reads a file's sectors: every sector the device gives is kept, so a
    // record that lies wholly inside a disk image cut short, or beside a bad area, is found
    // although the window reaches past them.
    std::vector<u8> buffer(size_t(kRecordReadSectors) * sectorSize);
    SectorRanges unread;
    ReadEverySector(*device, buffer.data(), sector, kRecordReadSectors, unread);
    auto record = std::make_unique<CNTFSFileRecord>();
    if (!record->Init(buffer.data(), u32(buffer.size()), sector, device, properties->GetExtensionRecords())) {
        return nullptr;
    }
    // Zeros in place of a sector of the record itself are no record's bytes.
    const u64 recordSectors = (u64(record->GetRecordLength()) + sectorSize - 1) / sectorSize;
    if (!unread.empty() && unread.front().first < sector + recordSectors) return nullptr;
    return record;
}

bool ReadNTFSResidentData(CFileNode* node, IStorageDevice* device, u64& size, void* buffer, u32 capacity) {
    std::unique_ptr<CNTFSFileRecord> record = LoadNodeMFTRecord(node, device);
    if (!record || buffer == nullptr) return false;
    const u8* a = FirstAttribute(*record, kAttrData, true, nullptr, nullptr);
    u32 valueLength = 0;
    const u8* value = AttrResidentValue(a, &valueLength);
    if (value == nullptr || valueLength > capacity) return false;
    std::memcpy(buffer, value, valueLength);
    size = valueLength;
    return true;
}

bool ReadNTFSLoggedUtilityStream(CFileNode* node, IStorageDevice* device, u64& size, void* buffer, u32 capacity,
                                 u64& unreadBytes) {
    unreadBytes = 0;
    std::unique_ptr<CNTFSFileRecord> record = LoadNodeMFTRecord(node, device);
    if (!record || buffer == nullptr) return false;
    const u8* a = FirstAttribute(*record, kAttrLoggedUtilityStream, false, nullptr, nullptr);
    if (a == nullptr) return false;
    u64 partitionStart = 0;
    u32 sectorsPerCluster = 0;
    if (!node->GetPartitionGeometry(partitionStart, sectorsPerCluster)) return false;
    u8* out = static_cast<u8*>(buffer);

    if (!AttrIsNonResident(a)) {
        u32 valueLength = 0;
        const u8* value = AttrResidentValue(a, &valueLength);
        if (value == nullptr || valueLength > capacity || valueLength < 8) return false;
        std::memcpy(out, value, valueLength);
        if (ReadLE64(out) != valueLength) return false;
        size = valueLength;
        return true;
    }

    u32 pairsLength = 0;
    const u8* pairs = AttrMappingPairs(a, &pairsLength);
    const u64 sectorSize = device->GetSectorSize();
    if (pairs == nullptr || sectorsPerCluster == 0 || sectorSize == 0) return false;
    NTFSRunList runs;
    DecodeNTFSDataRuns(pairs, pairsLength, runs);
    u64 done = 0;
    std::vector<std::pair<u64, u64>> unread;  // offset and length in the stream, in bytes
    for (const NTFSRun& r : runs) {
        const u64 sectors = SatMul(r.count, sectorsPerCluster);
        const u64 bytes = SatMul(sectors, sectorSize);
        if (bytes > capacity - done) break;
        if (r.lcn == kSparseLCN) {
            std::memset(out + done, 0, bytes);
        } else if (sectors != 0) {
            // The key stream is worthless with holes in it, yet a bad sector in it must not pass as
            // a whole stream: what the device could not give is counted, so the file is incomplete.
            SectorRanges missing;
            const u64 first = partitionStart + r.lcn * sectorsPerCluster;
            ReadEverySector(*device, out + done, first, sectors, missing);
            for (const SectorRange& m : missing) {
                unread.emplace_back(done + (m.first - first) * sectorSize, m.count * sectorSize);
            }
        }
        done += bytes;
    }
    const u64 length = std::min<u64>(AttrInitializedSize(a), capacity);
    if (length < 8 || length > done) return false;
    if (ReadLE64(out) != AttrDataSize(a)) return false;
    for (const auto& [offset, bytes] : unread) {
        if (offset < length) unreadBytes += std::min(bytes, length - offset);
    }
    size = length;
    return true;
}
