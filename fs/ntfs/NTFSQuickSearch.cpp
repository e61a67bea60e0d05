#include "fs/ntfs/NTFSQuickSearch.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <set>

#include "devices/FileSystemCode.h"
#include "devices/StorageDevice.h"
#include "engine/DirectoryTreeBuilder.h"
#include "engine/FileNode.h"
#include "engine/FileSystemNode.h"
#include "engine/Progress.h"
#include "fs/ntfs/CommonFileRecordInfo.h"
#include "fs/ntfs/NTFSDBR.h"
#include "fs/ntfs/NTFSFileProperties.h"
#include "platform/Log.h"

using namespace ntfs;

namespace {
constexpr u64 kReparsePointId = u64(-10);
// Passes over the $MFT's attribute list; each pass places at least one more extension record.
constexpr u32 kMaxExtensionPasses = 4096;
// Records past the walk's dense table by more than this are noted aside, so that a damaged run
// list that numbers records far out allocates nothing for the gap.
constexpr u64 kDenseSlotReach = 1u << 16;

bool MulFits(u64 a, u64 b, u64& out) {
    if (b != 0 && a > ~u64(0) / b) return false;
    out = a * b;
    return true;
}

// Characters of a UTF-8 text (its bytes that do not continue a sequence).
size_t Utf8Length(const char* text) {
    size_t n = 0;
    for (const char* p = text; *p != 0; ++p) {
        if ((u8(*p) & 0xC0) != 0x80) ++n;
    }
    return n;
}

// A damaged run list may name the same part of the $MFT twice; the walk reads each part once.
void DropOverlappingRuns(NTFSRunList& runs) {
    NTFSRunList kept;
    u64 next = 0;
    for (const NTFSRun& r : runs) {
        if (r.count == 0) continue;
        if (!kept.empty() && r.vcn < next) continue;
        kept.push_back(r);
        next = r.vcn + r.count < r.vcn ? ~u64(0) : r.vcn + r.count;
    }
    runs.swap(kept);
}
}  // namespace

CNTFSQuickSearch::CNTFSQuickSearch()
    : m_folderLinks(
          &m_logFile, [this](u64 record, u16 named) { return LookUpFolder(record, named); },
          [this](u64 id, u64 parent, PropertiesRef<CNTFSFileProperties> properties) {
              u32 status = 0;
              AddRecordNode(id, parent, std::move(properties), &status);
          }) {}

IQuickFileSystemSearchController* CreateNTFSQuickSearch() { return new (std::nothrow) CNTFSQuickSearch(); }

void CNTFSQuickSearch::SetGeometry(IStorageDevice* device, u32 sectorsPerCluster, u64 volumeClusters) {
    m_device = device;
    m_sectorSize = device != nullptr ? device->GetSectorSize() : 512;
    m_sectorsPerCluster = sectorsPerCluster != 0 ? sectorsPerCluster : 1;
    m_volumeClusters = volumeClusters;
}

u32 CNTFSQuickSearch::Search(IStorageDevice* device, IProgress* progress) {
    if (device == nullptr || progress == nullptr) return kNtfsQuickNoDeviceOrProgress;
    const u32 sectorSize = device->GetSectorSize();
    const u64 deviceSectors = device->GetTotalSectors();
    m_partition = CSearchedPartitionInfo(sectorSize);
    m_partition.SetFileSystemCode(kFsNtfs);
    m_partition.SetSectorsPerCluster(1);
    m_partition.SetPartitionStart(0);
    m_partition.SetTotalSectors(deviceSectors != 0 ? deviceSectors - 1 : 0);
    m_device = device;
    m_progress = progress;
    m_mftRuns.clear();
    m_slots.clear();
    m_sparseSlots.clear();
    m_folderLinks.Reset();
    if (sectorSize < 512 || sectorSize % 512 != 0) return kNtfsQuickNoBootSector;

    // One sector of the device, whatever its size; the boot sector is its first 512 bytes.
    std::vector<u8> sector(std::max<u32>(sectorSize, CNTFSDBR::kSize), 0);
    device->Read(sector.data(), 0, 1);
    CNTFSDBR dbr;
    if (!dbr.SetDBRData(sector.data())) return kNtfsQuickNoBootSector;
    // Records are read in whole sectors with the stride the boot sector gives; a size that is
    // not one this program can read would misplace every record after the first.
    if (!dbr.HasUsableFileRecordSize(sectorSize)) {
        LogError("NTFS boot sector gives an unusable MFT record size %u (sector size %u)\n", dbr.GetFileRecordSize(),
                 sectorSize);
        return kNtfsQuickNoBootSector;
    }
    const u32 sectorsPerCluster = dbr.GetSectorsPerCluster();
    m_partition.SetSectorsPerCluster(sectorsPerCluster);
    u64 volumeSectors = dbr.GetTotalSectors();
    if (volumeSectors == 0) volumeSectors = deviceSectors;
    SetGeometry(device, sectorsPerCluster, volumeSectors / sectorsPerCluster);
    const u32 recordSize = dbr.GetFileRecordSize();

    NTFSMFTLocation location;
    if (!LocateMFT(dbr, location)) return kNtfsQuickNoMFT;

    char label[100] = {};
    const bool hasLabel = ReadQuickVolumeLabel(location.GetMFTStartSector(), recordSize, label, sizeof(label)) &&
                          label[0] != 0;
    if (!AddRootNode(hasLabel ? label : nullptr, 0, sectorsPerCluster)) return kNtfsQuickRootRefused;

    m_mftRuns = location.GetRuns();
    SortRunsByVCN(m_mftRuns);
    ClipRunsToVolume(m_mftRuns, m_volumeClusters);
    // A boot sector may claim more than the device holds; records past the device's end cannot
    // be read, and walking a damaged run of billions of clusters there would never end.
    ClipRunsToVolume(m_mftRuns, deviceSectors / sectorsPerCluster + (deviceSectors % sectorsPerCluster != 0 ? 1 : 0));
    DropOverlappingRuns(m_mftRuns);

    m_claims = std::make_unique<CNtfsClaims>();
    m_mftRecordsInUse =
        ReadMftRecordBitmap(*device, location.GetMFTStartSector(), recordSize / sectorSize, 0, sectorsPerCluster);
    m_deletedFiles.clear();
    m_logFile.Open(device, &m_mftRuns, sectorsPerCluster, 0);
    m_logFile.Parse();
    const u32 status = WalkMFT(m_mftRuns, recordSize / sectorSize);
    WeighClaims();
    return status;
}

NtfsClaimVolume CNTFSQuickSearch::ClaimVolume() const {
    NtfsClaimVolume volume;
    volume.start = 0;
    volume.sectorsPerCluster = m_sectorsPerCluster;
    volume.sectorSize = m_sectorSize;
    return volume;
}

void CNTFSQuickSearch::WeighClaims() {
    if (m_claims) {
        // The deleted files claim their runs as the walk left them, the journal's salvage applied.
        for (const DeletedFile& d : m_deletedFiles) {
            m_claims->AddFile(*d.properties, d.recordSector, d.lsn, false, ClaimVolume());
        }
        m_claims->Weigh("NTFS deleted-file scan");
    }
    m_deletedFiles.clear();
    m_claims.reset();
}

bool CNTFSQuickSearch::LocateMFT(const CNTFSDBR& dbr, NTFSMFTLocation& location) {
    const u32 recordSize = dbr.GetFileRecordSize();
    if (m_sectorSize == 0 || recordSize < m_sectorSize) return false;
    // Both copies are read with the device's own sectors, so that a mirror on a large-sector
    // device is read with the same stride as the $MFT.
    const u32 sectorsPerRecord = recordSize / m_sectorSize;
    u64 sector = 0;
    if (MulFits(dbr.GetMFTCluster(), dbr.GetSectorsPerCluster(), sector) &&
        ReadMFTRecordZero(sector, sectorsPerRecord, location)) {
        return true;
    }
    location = NTFSMFTLocation();
    return MulFits(dbr.GetMFTMirrCluster(), dbr.GetSectorsPerCluster(), sector) &&
           ReadMFTRecordZero(sector, sectorsPerRecord, location);
}

bool CNTFSQuickSearch::ReadMFTRecordZero(u64 sector, u32 sectorsPerRecord, NTFSMFTLocation& location) {
    if (m_device == nullptr || sectorsPerRecord == 0) return false;
    const u32 length = sectorsPerRecord * m_sectorSize;
    std::vector<u8> buffer(length, 0);
    if (m_device->Read(buffer.data(), sector, sectorsPerRecord) == 0) return false;
    if (!ValidateFileRecord(buffer.data(), length) || !IsNamedSystemRecordRaw(buffer.data(), length, u"$MFT")) {
        return false;
    }
    CNTFSFileRecord record;
    if (!record.Init(buffer.data(), length, sector, m_device, nullptr)) return false;
    if (record.FindAttribute(kAttrAttributeList, 0, nullptr, nullptr) != nullptr) {
        LogInfo("MFT file record has 0x20 attribute, MFT start sector is %lld\n", static_cast<long long>(sector));
        CompleteMFTRunsFromExtensions(buffer.data(), length, sector, sectorsPerRecord, location);
        // Without any run the walk would list nothing and call that a success.
        return !location.GetRuns().empty();
    }
    return location.LoadFromRecord(record, sector);
}

void CNTFSQuickSearch::CompleteMFTRunsFromExtensions(const u8* record, u32 length, u64 sector,
                                                     u32 sectorsPerRecord, NTFSMFTLocation& location) {
    NTFSRunList& runs = location.GetRuns();
    runs.clear();
    CollectUnnamedDataRunsRaw(record, length, runs, false, nullptr);
    if (m_device == nullptr || m_sectorSize == 0 || m_sectorSize > kMaxRecordSize) return;

    const u32 sectors = kMaxRecordSize / m_sectorSize;
    const u32 extensionLength = std::min<u32>(sectorsPerRecord * m_sectorSize, kMaxRecordSize);
    std::vector<u8> buffer(kMaxRecordSize);
    std::set<u64> done{0};
    // An extension record may hold the runs that place the next one, so the list is walked
    // again until a pass places nothing new.
    for (u32 pass = 0; pass < kMaxExtensionPasses; ++pass) {
        std::unique_ptr<NTFSExtensionRecordList> list(CNTFSFileRecord::LocateExtensionRecords(
            record, length, sector, m_sectorsPerCluster, 0, m_device, runs, u8(sectorsPerRecord)));
        if (!list) break;
        bool placed = false;
        for (const NTFSExtensionRecordLocation& e : *list) {
            if (!done.insert(e.recordNumber).second) continue;
            placed = true;
            std::fill(buffer.begin(), buffer.end(), 0);
            if (m_device->Read(buffer.data(), e.sector, sectors) == 0) continue;
            if (!ValidateFileRecord(buffer.data(), kMaxRecordSize)) continue;
            // A slot reused by another file must not lend its runs to the $MFT.
            if (!RecordIsExtension(buffer.data()) || RecordBaseRecordNumber(buffer.data()) != 0) continue;
            CollectUnnamedDataRunsRaw(buffer.data(), extensionLength, runs, false, nullptr);
        }
        if (!placed) break;
    }
    SortRunsByVCN(runs);
}

bool CNTFSQuickSearch::ReadQuickVolumeLabel(u64 mftStartSector, u32 recordSize, char* label, u32 labelSize) {
    if (label == nullptr || labelSize == 0) return false;
    label[0] = 0;
    if (i64(mftStartSector) < 0 || m_device == nullptr) return false;
    if (!IsUsableFileRecordSize(recordSize, m_sectorSize)) return false;
    // $Volume is record 3: three records past record 0, whatever the record size.
    const u32 sectorsPerRecord = recordSize / m_sectorSize;
    std::vector<u8> buffer(recordSize, 0);
    if (m_device->Read(buffer.data(), mftStartSector + 3ull * sectorsPerRecord, sectorsPerRecord) == 0) return false;
    ReadVolumeNameFromRecord(buffer.data(), recordSize, label, labelSize);
    return true;
}

bool CNTFSQuickSearch::AddRootNode(const char* label, u64 firstSector, u32 sectorsPerCluster) {
    if (m_builder == nullptr) return false;
    FileSystemNodePtr root = CreateFileSystemNode();
    PropertiesRef<CNTFSFileProperties> properties = CreateNTFSFileProperties();
    if (!root || !properties) return false;
    NTFSFilePropertiesData data;
    data.name = label != nullptr ? label : "NTFS";
    data.nameLength = u16(std::min<size_t>(data.name.size(), 0xFFFF));
    data.attributes = kAttrDirectory;
    properties->SetData(data);
    root->SetFileProperties(properties.release());
    root->SetPartitionGeometry(firstSector, sectorsPerCluster);
    root->SetFileSystemType(kFsNtfs);
    if (label != nullptr) {
        const size_t characters = Utf8Length(label);
        if (characters >= 1 && characters <= 64) root->SetVolumeLabel(label);
    }
    root->SetId(kNtfsRootFolderRecord);
    if (m_builder->AddFileSystemTree(root.get()) == 0) return false;
    root.release();
    return true;
}

void CNTFSQuickSearch::ReportProgress(u64 total, u64 done, u32 status) {
    if (m_progress == nullptr) return;
    ProgressInfo info;
    info.Type = kProgressUpdate;
    info.Total = total;
    info.Done = done;
    info.Detail = status;
    m_progress->OnProgress(&info);
}

u32 CNTFSQuickSearch::WalkMFT(const NTFSRunList& runs, u32 sectorsPerRecord) {
    if (m_device == nullptr || m_progress == nullptr || sectorsPerRecord == 0) return 0;
    const u32 sectorSize = m_sectorSize;
    std::unique_ptr<u8[]> buffer(new (std::nothrow) u8[size_t(kBatchSectors) * sectorSize]);
    if (!buffer) return kNtfsQuickNoBatchBuffer;
    std::vector<u64> deviceSectors(kBatchSectors), mftSectors(kBatchSectors);

    u64 total = 0;
    for (const NTFSRun& r : runs) {
        u64 sectors = 0;
        if (r.lcn == kSparseLCN || !MulFits(r.count, m_sectorsPerCluster, sectors)) continue;
        total = total > ~u64(0) - sectors ? ~u64(0) : total + sectors;
    }
    ReportProgress(total, 0, 0);

    u32 status = 0;
    u32 filled = 0;
    u64 done = 0;
    bool stopped = false;
    for (const NTFSRun& r : runs) {
        u64 first = 0, sectors = 0, position = 0;
        // A hole (or a run cut off at the volume's end) has no records to read; the records after
        // it keep their numbers through their place in the $MFT.
        if (r.lcn == kSparseLCN || !MulFits(r.lcn, m_sectorsPerCluster, first) ||
            !MulFits(r.count, m_sectorsPerCluster, sectors) || !MulFits(r.vcn, m_sectorsPerCluster, position)) {
            continue;
        }
        for (u64 offset = 0; offset < sectors;) {
            if (m_progress->Continued() == 0) {
                stopped = true;
                break;
            }
            const u32 take = u32(std::min<u64>(kBatchSectors - filled, sectors - offset));
            u8* target = buffer.get() + size_t(filled) * sectorSize;
            // A piece the device cannot give is analysed as zeros (no record) and the walk goes on.
            if (m_device->Read(target, first + offset, take) == 0) std::memset(target, 0, size_t(take) * sectorSize);
            for (u32 k = 0; k < take; ++k) {
                deviceSectors[filled + k] = first + offset + k;
                mftSectors[filled + k] = position + offset + k;
            }
            filled += take;
            offset += take;
            if (filled == kBatchSectors) {
                status = AnalyzeRecordBatch(buffer.get(), kBatchSectors, sectorsPerRecord, mftSectors.data(),
                                            deviceSectors.data());
                done += kBatchSectors;
                filled = 0;
                ReportProgress(total, done, status);
            }
        }
        if (stopped) break;
    }
    if (!stopped && m_progress->Continued() != 0) {
        status = AnalyzeRecordBatch(buffer.get(), filled, sectorsPerRecord, mftSectors.data(), deviceSectors.data());
    }
    ReportProgress(total, total, status);
    return status;
}

u32 CNTFSQuickSearch::AnalyzeRecordBatch(const u8* buffer, u32 n, u32 sectorsPerRecord, const u64* mftSectors,
                                         const u64* deviceSectors) {
    u32 status = 0;
    if (buffer == nullptr || sectorsPerRecord == 0) return status;
    const u32 sectorSize = m_sectorSize;
    u8 fixed[kMaxRecordSize];
    // A folder record of the number a name points at, read already or read ahead, with its sequence.
    m_sectorsPerRecord = sectorsPerRecord;
    const NtfsFolderKnown folderKnown = [this](u64 folder, u16 sequence) {
        return LookUpFolder(folder, sequence) == CTakenFolderLinker::FolderLook::kBelongs;
    };
    for (u32 i = 0; i < n; i += sectorsPerRecord) {
        const u8* bytes = buffer + size_t(i) * sectorSize;
        const u32 length = std::min(sectorsPerRecord, n - i) * sectorSize;
        const u64 recordNumber = mftSectors[i] / sectorsPerRecord;
        const u64 sector = deviceSectors[i];

        if (!ValidateFileRecord(bytes, length)) {
            NoteRecord(recordNumber, nullptr);
            continue;
        }
        const u32 span = RecordSpan(bytes, length);
        std::memcpy(fixed, bytes, span);
        ApplyFileRecordFixups(fixed, span);
        NoteRecord(recordNumber, fixed);
        // Every record in use holds its clusters, metadata files' and extension records' as well.
        if (m_claims && RecordIsInUse(fixed) && MftBitmapClaims(m_mftRecordsInUse, recordNumber)) {
            m_claims->AddRecordInUse(fixed, span, ClaimVolume());
        }
        if (IsSystemMetadataRecord(fixed, span) || RecordIsExtension(fixed)) continue;

        CCommonFileRecordInfo info;
        if (!info.FillFromRecord(bytes, length, sector)) continue;
        info.SetRecordNumber(recordNumber);

        NTFSExtensionRecordList* extensions = CNTFSFileRecord::LocateExtensionRecords(
            bytes, length, sector, m_sectorsPerCluster, 0, m_device, m_mftRuns, u8(sectorsPerRecord));
        CNTFSFileRecord record;
        if (!record.Init(bytes, length, sector, m_device, extensions)) {
            delete extensions;
            continue;
        }
        u64 parent = ~u64(0);
        u16 parentSequence = 0;
        PropertiesRef<CNTFSFileProperties> properties =
            MakeNTFSFileProperties(sector, record, u64(m_sectorsPerCluster) * sectorSize, &parent, m_volumeClusters,
                                   &parentSequence, &folderKnown);
        info.SetNamedFolder(parent, parentSequence);
        if (!properties) {
            delete extensions;
            continue;
        }
        if (properties->GetSize() == 0 && info.GetDirectoryFlag() == 0 && (properties->GetState() & kStateDeleted)) {
            m_logFile.ApplyToRecord(record.GetRecord(), properties.get(), info.GetParentRecord(), extensions);
        }
        FixNegativeSize(properties.get(), m_sectorsPerCluster, m_sectorSize);
        properties->SetExtensionRecords(extensions);
        if (m_claims && (properties->GetState() & kStateDeleted) != 0) {
            m_deletedFiles.push_back({properties, sector, RecordLogSequenceNumber(fixed)});
        }

        const u64 parentId =
            LinkedParentId(info.GetParentRecord(), info.GetParentSequence(), info.IsInUse(), sectorsPerRecord);
        if (AddRecordNode(info.GetRecordNumber(), parentId, std::move(properties), &status) == 0) {
            return status;
        }
    }
    return status;
}

u32 CNTFSQuickSearch::AddRecordNode(u64 recordNumber, u64 parent, PropertiesRef<CNTFSFileProperties> properties,
                                    u32* status) {
    if (!properties) return 1;
    TreeNodePtr node = CreateFileNode();
    if (!node) return 0;
    // Files inside a reparse point (a junction or mount point) must not be linked under it.
    node->SetId((properties->GetAttributes() & kAttrReparsePoint) != 0 ? kReparsePointId : recordNumber);
    node->SetParentId(parent);
    node->SetFileProperties(properties.release());
    u32 error = 0;
    const u32 taken = m_builder != nullptr ? m_builder->AddFoundFileNode(node.get(), kTreeKindNtfs, &error) : 0;
    if (status != nullptr) *status = error;
    if (taken != 0) node.release();
    return taken;
}

void CNTFSQuickSearch::NoteRecord(u64 number, const u8* fixed) {
    RecordSlot slot;
    slot.flags = kSlotSeen;
    if (fixed != nullptr && !RecordIsExtension(fixed)) {
        slot.sequence = RecordSequenceNumber(fixed);
        if (RecordIsDirectory(fixed)) slot.flags |= kSlotFolder;
        if (RecordIsInUse(fixed)) slot.flags |= kSlotInUse;
    }
    if (number < m_slots.size()) {
        m_slots[number] = slot;
    } else if (number - m_slots.size() < kDenseSlotReach) {
        m_slots.resize(number + 1);
        m_slots[number] = slot;
    } else {
        m_sparseSlots[number] = slot;
    }
}

const CNTFSQuickSearch::RecordSlot* CNTFSQuickSearch::FindSlot(u64 number) const {
    if (number < m_slots.size() && m_slots[number].flags != 0) return &m_slots[number];
    auto it = m_sparseSlots.find(number);
    return it != m_sparseSlots.end() ? &it->second : nullptr;
}

const CNTFSQuickSearch::RecordSlot* CNTFSQuickSearch::ReadSlotAhead(u64 number, u32 sectorsPerRecord) {
    if (m_device == nullptr || sectorsPerRecord == 0 || sectorsPerRecord > kMaxRecordSize / m_sectorSize) return nullptr;
    const u64 sector = ComputeRecordSector(number, m_sectorsPerCluster, 0, m_mftRuns, u8(sectorsPerRecord));
    if (sector == kSparseLCN) return nullptr;
    const u32 length = sectorsPerRecord * m_sectorSize;
    u8 bytes[kMaxRecordSize] = {};
    // Noted as seen whatever it holds, so that a folder number many deleted files name is read once.
    RecordSlot& slot = m_sparseSlots[number];
    slot.flags = kSlotSeen;
    if (m_device->Read(bytes, sector, sectorsPerRecord) == 0 || !ValidateFileRecord(bytes, length)) return &slot;
    ApplyFileRecordFixups(bytes, RecordSpan(bytes, length));
    if (RecordIsExtension(bytes)) return &slot;
    slot.sequence = RecordSequenceNumber(bytes);
    slot.flags |= (RecordIsDirectory(bytes) ? kSlotFolder : 0) | (RecordIsInUse(bytes) ? kSlotInUse : 0);
    return &slot;
}

CTakenFolderLinker::FolderLook CNTFSQuickSearch::LookUpFolder(u64 record, u16 namedSequence) {
    const RecordSlot* slot = FindSlot(record);
    if (slot == nullptr) slot = ReadSlotAhead(record, m_sectorsPerRecord);
    if (slot == nullptr || (slot->flags & kSlotFolder) == 0) return CTakenFolderLinker::FolderLook::kNone;
    return FolderSequenceMatches(namedSequence, slot->sequence, (slot->flags & kSlotInUse) != 0)
               ? CTakenFolderLinker::FolderLook::kBelongs
               : CTakenFolderLinker::FolderLook::kTaken;
}

u64 CNTFSQuickSearch::LinkedParentId(u64 parent, u16 parentSequence, bool inUse, u32 sectorsPerRecord) {
    m_sectorsPerRecord = sectorsPerRecord;
    return m_folderLinks.ParentId(parent, parentSequence, inUse);
}
