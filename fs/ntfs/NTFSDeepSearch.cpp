#include "fs/ntfs/NTFSDeepSearch.h"

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <limits>
#include <new>
#include <optional>

#include "devices/CachedStorageDevice.h"
#include "devices/ScanOptions.h"
#include "devices/StorageDevice.h"
#include "engine/DirectoryTreeBuilder.h"
#include "engine/FileNode.h"
#include "engine/FileSystemNode.h"
#include "engine/RawFileInfoPool.h"
#include "fs/ntfs/CommonFileRecordInfo.h"
#include "fs/ntfs/NTFSDBR.h"
#include "fs/ntfs/NTFSFileProperties.h"
#include "fs/ntfs/NTFSFoundVolumes.h"
#include "fs/ntfs/NTFSRecord.h"
#include "platform/Log.h"

namespace {

constexpr u32 kUnit = 512;
constexpr u64 kReparsePointId = u64(-10);
constexpr u16 kAttrReparse = 0x400;
constexpr u32 kNoTreeReasonLow = kErrorNoTreeOfKind & 0xFFFF;

// INDX header fields.
constexpr u32 kIndexLsn = 8;
constexpr u32 kIndexVcn = 16;
constexpr u32 kIndexHeader = 24;  // the node header: entries offset, in-use size, allocated size
constexpr u16 kEntryLast = 2;
constexpr u16 kEntrySubnodeOnly = 1;
constexpr u32 kEntryKeyEnd = 72;  // an entry must hold its key's sizes (real size at 64)

// Restart page: "RSTR", update sequence at offset 30, the journal's name at offset 144.
constexpr u32 kRestartUsn = 30;
constexpr u32 kRestartNameOffset = 144;

// Sectors the step timers of the search carry where no one sector stands for the step.
constexpr i64 kNoStepSector = 0;
constexpr i64 kEndStepSector = -1;

// Times one step of the search for the debug trace: a step that takes long names itself, and its
// sector when it has one, there. Nothing is timed while the debug trace is off.
class NtfsStepTimer {
public:
    NtfsStepTimer(const char* label, std::optional<i64> sector)
        : m_label(label), m_sector(sector), m_on(DebugTraceEnabled()) {
        if (m_on) m_start = std::chrono::steady_clock::now();
    }
    NtfsStepTimer(const NtfsStepTimer&) = delete;
    NtfsStepTimer& operator=(const NtfsStepTimer&) = delete;
    ~NtfsStepTimer() {
        if (!m_on) return;
        std::string line;
        if (FormatNtfsStepTime(m_label, m_sector, ElapsedMs(m_start), line)) DebugTrace("%s", line.c_str());
    }

private:
    static u64 ElapsedMs(std::chrono::steady_clock::time_point since) {
        const auto elapsed = std::chrono::steady_clock::now() - since;
        return u64(std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count());
    }

    const char* m_label;
    std::optional<i64> m_sector;
    bool m_on;
    std::chrono::steady_clock::time_point m_start{};
};

bool FixupsHold(const u8* r, u32 sectors, u16 usn) {
    for (u32 i = 1; i <= sectors; ++i) {
        if (ReadLE16(r + i * kUnit - 2) != usn) return false;
    }
    return true;
}

}  // namespace

bool FormatNtfsStepTime(const char* label, std::optional<i64> sector, u64 elapsedMs, std::string& line) {
    if (elapsedMs <= kNtfsSlowStepMs) return false;
    const unsigned ms = unsigned(std::min<u64>(elapsedMs, std::numeric_limits<u32>::max()));
    char text[512];
    if (sector) {
        std::snprintf(text, sizeof(text), "%s curSector %" PRId64 " dwElapsedTime %u \n", label,
                      static_cast<int64_t>(*sector), ms);
    } else {
        std::snprintf(text, sizeof(text), "%s dwElapsedTime %u \n", label, ms);
    }
    line = text;
    return true;
}

bool IsNTFSRestartPage(const u8* p, u32 length) {
    if (length < ntfslog::kPageSize || std::memcmp(p, "RSTR", 4) != 0) return false;
    static const u8 kName[] = {'N', 0, 'T', 0, 'F', 0, 'S', 0};
    if (std::memcmp(p + kRestartNameOffset, kName, sizeof(kName)) != 0) return false;
    return FixupsHold(p, ntfslog::kPageSize / kUnit, ReadLE16(p + kRestartUsn));
}

bool CheckIndexRecord(const u8* record, u32 n, u64* parent) {
    if (n < kIndexHeader + 16 || std::memcmp(record, "INDX", 4) != 0) return false;
    const u32 entriesOffset = ReadLE32(record + kIndexHeader);
    const u32 inUse = ReadLE32(record + kIndexHeader + 4);
    const u32 allocated = ReadLE32(record + kIndexHeader + 8);
    const u16 usaOffset = ReadLE16(record + 4);
    const u16 usaCount = ReadLE16(record + 6);
    if (allocated > n || inUse > allocated || usaCount >= 17 || usaCount == 0) return false;
    if (u32(usaCount - 1) > n / kUnit || u64(usaCount - 1) != (u64(allocated) + entriesOffset) / kUnit) return false;
    if (usaOffset < 40 || usaOffset > 256 || usaOffset + 2u * usaCount > n) return false;
    const u32 sectors = usaCount - 1u;
    const u16 usn = ReadLE16(record + usaOffset);
    if (!FixupsHold(record, sectors, usn)) return false;

    // The entries are walked on a fixed-up copy; the caller's bytes stay as read.
    u8 copy[16 * kUnit];
    const u32 span = std::min<u32>(n, sizeof(copy));
    std::memcpy(copy, record, span);
    for (u32 i = 1; i <= sectors; ++i) std::memcpy(copy + i * kUnit - 2, copy + usaOffset + 2 * i, 2);

    const u64 begin = u64(kIndexHeader) + entriesOffset;
    const u64 end = std::min<u64>(begin + inUse, span);
    u64 first = ~u64(0);
    for (u64 at = begin; at + 16 <= end;) {
        const u8* e = copy + at;
        const u16 length = ReadLE16(e + 8);
        const u16 flags = ReadLE16(e + 12);
        if (length == 0 || (flags & kEntryLast) != 0) break;
        if (flags != kEntrySubnodeOnly) {
            if (at + kEntryKeyEnd > end) return false;
            if (ReadLE64(e + 64) > ReadLE64(e + 56)) return false;
            const u64 reference = ReadLE64(e + 16) & 0xFFFFFFFFFFFFull;
            const u64 withSequence = reference | (u64(ReadLE16(e + 22)) << 48);
            if (first == ~u64(0)) {
                first = withSequence;
            } else if (withSequence != first) {
                return false;
            }
        }
        at += length;
    }
    if (parent) *parent = first == ~u64(0) ? ~u64(0) : (first & 0xFFFFFFFFull);
    return true;
}

ICompleteFileSystemSearchController* CreateNTFSSearchController() {
    return new (std::nothrow) CNTFSSearchController();
}

CNTFSSearchController::CNTFSSearchController()
    : m_folderLinks(nullptr, [this](u64 record, u16 named) { return LookUpSeenFolder(record, named); }, nullptr) {
    m_context.candidates = &m_candidates;
}

CNTFSSearchController::~CNTFSSearchController() { FreeCollectors(); }

void CNTFSSearchController::FreeCollectors() {
    m_fileRecords.reset();
    m_attrDef.reset();
    m_upCase.reset();
    m_restart.reset();
}

void CNTFSSearchController::GetSearchedPartitions(std::vector<CSearchedPartitionInfo*>& out) {
    std::vector<CSearchedPartitionInfo*> all;
    m_candidates.HandOut(all);
    std::vector<const CSearchedNTFSPartitionInfo*> ntfs;
    for (CSearchedPartitionInfo* c : all) {
        if (c != nullptr && c->GetKind() == 0) ntfs.push_back(static_cast<const CSearchedNTFSPartitionInfo*>(c));
    }
    // A volume formatted over stands in the tree of the one formatted over it, read with its own
    // geometry; it is not offered as a partition of its own.
    for (CSearchedPartitionInfo* c : all) {
        if (c == nullptr || c->GetKind() != 0 ||
            !StandsInsideVolumeFormattedOver(*static_cast<const CSearchedNTFSPartitionInfo*>(c), ntfs)) {
            out.push_back(c);
        }
    }
}

void CNTFSSearchController::SetDevice(IStorageDevice* device) {
    m_device = device;
    m_cache = dynamic_cast<CStorageDeviceWithCache*>(device);
    m_context.device = device;
    m_context.bounds.totalSectors = device ? device->GetTotalSectors() : 0;
}

void CNTFSSearchController::BeginSearch() {
    if (!m_device) return;
    m_block.clear();
    const u32 sectorSize = m_device->GetSectorSize();
    m_context.geometry = NTFSScanGeometry::For(sectorSize);
    m_context.bounds.sectorSize = m_context.geometry.sectorSize;
    m_context.bounds.totalSectors = m_device->GetTotalSectors();
    FreeCollectors();
    m_attrDef = std::make_unique<CNTFSTemplateSectorCollector>(CNTFSTemplateSectorCollector::Kind::kAttrDef, m_context);
    m_upCase = std::make_unique<CNTFSTemplateSectorCollector>(CNTFSTemplateSectorCollector::Kind::kUpCase, m_context);
    m_restart = std::make_unique<CNTFSRestartPageCollector>(m_context);
    m_fileRecords = std::make_unique<CNTFSFileRecordCollector>(m_context, m_mftRecords, m_mirrorRecords,
                                                               m_mftRecordRuns, m_mftDetails);
    try {
        m_block.assign((size_t(m_blockSectors) + kWindowSectors) * m_context.geometry.sectorSize, 0);
    } catch (const std::bad_alloc&) {
        m_block.clear();
    }
    SetScanSectorSize(m_context.geometry.sectorSize);
    m_fileCarry = FileCarry();
    m_indexCarry = IndexCarry();
    m_liveReporting = true;
    m_seenFolders.clear();
    m_heldRecords.clear();
    m_folderLinks.Reset();

    if (!m_builder) return;
    FileSystemNodePtr root = CreateFileSystemNode();
    PropertiesRef<CNTFSFileProperties> properties = CreateNTFSFileProperties();
    if (!root || !properties) return;
    NTFSFilePropertiesData data;
    data.name = "NTFS";
    data.nameLength = static_cast<u16>(data.name.size());
    data.attributes = kAttrDirectory;
    properties->SetData(data);
    root->SetFileProperties(properties.release());
    root->SetPartitionGeometry(0, 0);
    root->SetFileSystemType(kFsNtfs);
    root->SetId(kNtfsRootFolderRecord);
    if (m_builder->AddFileSystemTree(root.get()) != 0) root.release();
}

u32 CNTFSSearchController::SearchBlock(u64 first, u64 count) {
    if (!m_device || m_block.empty() || !m_fileRecords || count == 0) return 0;
    const u32 ss = m_context.geometry.sectorSize;
    count = std::min<u64>(count, m_blockSectors);
    // The block the cache holds is looked at where it lies; any other device is read.
    const u8* block = m_cache ? m_cache->PeekCurrentBlock(first, count) : nullptr;
    if (!block) {
        if (m_device->Read(m_block.data(), first, count) == 0) {
            // The records of an unreadable block are not there to be found.
            std::memset(m_block.data(), 0, size_t(count) * ss);
        }
        block = m_block.data();
    }
    const bool bootAnalysis = GetScanOptions().GetBootSectorAnalysis() != 0;
    for (u64 i = 0; i < count; ++i) {
        const u64 sector = first + i;
        const u8* p = block + i * ss;
        const u32 window = static_cast<u32>(std::min<u64>(kWindowSectors, count - i)) * ss;
        if (IsValidNTFSDBR(p)) {
            if (bootAnalysis) {
                const NtfsStepTimer timer("AnalyzeNTFSDBRSector", i64(sector));
                AnalyzeNTFSDBRSector(sector, p);
            }
        } else if (p[0] == 'R' && IsNTFSRestartPage(p, window)) {
            const NtfsStepTimer timer("AnalyzeRSTRRecord", i64(sector));
            m_restart->AnalyzeRSTRRecord(sector);
        } else {
            AnalyzeIndexSector(sector, p, window);
        }
        AnalyzeNTFSFileRecordSector(sector, p, window);
        m_attrDef->OnSector(p, sector);
        m_upCase->OnSector(p, sector);
    }
    m_restart->LogPagePass(block, first, count);
    return 1;
}

void CNTFSSearchController::AnalyzeNTFSDBRSector(u64 sector, const u8* p) {
    CNTFSDBR dbr;
    if (!dbr.SetDBRData(p)) return;
    const u64 total = dbr.GetTotalSectors();
    const u32 spc = dbr.GetSectorsPerCluster();
    if (total <= sector) {
        NTFSCandidatePtr c = MakeCandidateFromDBR(dbr, static_cast<i64>(sector - total), ntfsev::kBackupBootSector,
                                                  m_context.bounds);
        if (c) {
            bool backup = false;
            bool sameKey = false;
            {
                const NtfsStepTimer timer("IsBackupDBR(__int64 i64CurSector, CNTFSDBR *pDBR)", kNoStepSector);
                m_candidates.ForSameKey(c->GetPartitionStart(), spc, [&](CSearchedNTFSPartitionInfo& item) {
                    sameKey = true;
                    const bool hadBoot = (item.GetEvidence() & ntfsev::kBootSector) != 0;
                    if (hadBoot ||
                        (item.GetTotalSectors() == c->GetTotalSectors() && item.GetSerial() == c->GetSerial())) {
                        backup = true;
                    }
                    item.AddEvidence(ntfsev::kBackupBootSector);
                });
            }
            if (backup) {
                // The backup copy of a volume already seen: the hypothesis its primary boot
                // sector made of being a backup itself is void.
                const u64 start = c->GetPartitionStart();
                if (start >= total) {
                    CSearchedNTFSPartitionInfo probe;
                    probe.SetPartitionStart(start - total);
                    probe.SetSectorsPerCluster(spc);
                    m_candidates.MergeEvidence(probe, 0, ntfsev::kBackupBootSector);
                }
                return;
            }
            // The boot sector's size is the volume's: candidates made from records reach to the
            // device's end or to a rounded $Bitmap, so they take it.
            const NtfsStepTimer timer("AdjustPartitionSizeAccordingtoDBR", kNoStepSector);
            m_candidates.ForSameKey(c->GetPartitionStart(), spc, [&](CSearchedNTFSPartitionInfo& item) {
                if (item.GetEvidence() & ntfsev::kBootSector) return;
                item.SetTotalSectors(c->GetTotalSectors());
                item.SetClusterCount(c->GetClusterCount());
                item.SetSerial(c->GetSerial());
            });
            if (!sameKey) m_candidates.Insert(std::move(c));
        }
    }
    m_candidates.Insert(MakeCandidateFromDBR(dbr, static_cast<i64>(sector), ntfsev::kBootSector, m_context.bounds));
}

void CNTFSSearchController::AnalyzeIndexSector(u64 sector, const u8* p, u32 window) {
    const u32 ss = m_context.geometry.sectorSize;
    const u32 recordSectors = std::max<u32>(1, kIndexRecordSize / ss);
    if (!m_indexCarry.active) {
        if (window < kIndexRecordSize && std::memcmp(p, "INDX", 4) == 0) {
            std::memcpy(m_indexCarry.bytes, p, window);
            m_indexCarry.active = true;
            m_indexCarry.sector = sector;
            m_indexCarry.held = window / ss;
            return;
        }
    } else {
        const u64 held = m_indexCarry.held;
        if (sector > m_indexCarry.sector && sector < m_indexCarry.sector + held) return;
        m_indexCarry.active = false;
        const u32 missing = recordSectors - m_indexCarry.held;
        if (sector == m_indexCarry.sector + held && window >= missing * ss) {
            std::memcpy(m_indexCarry.bytes + size_t(m_indexCarry.held) * ss, p, size_t(missing) * ss);
            AnalyzeIndexRecord(m_indexCarry.sector, m_indexCarry.bytes, kIndexRecordSize);
            return;
        }
    }
    if (p[0] == 'I' && std::memcmp(p, "INDX", 4) == 0) AnalyzeIndexRecord(sector, p, window);
}

void CNTFSSearchController::AnalyzeIndexRecord(u64 sector, const u8* record, u32 length) {
    u64 parent = 0;
    if (!CheckIndexRecord(record, length, &parent) || parent == ~u64(0) || parent == kNtfsRootFolderRecord) return;
    NtfsIndexSighting s;
    s.sector = sector;
    s.vcn = ReadLE64(record + kIndexVcn);
    s.lsn = ReadLE64(record + kIndexLsn);
    s.parent = static_cast<u32>(parent);
    auto range = m_indexedFolders.equal_range(s.parent);
    for (auto it = range.first; it != range.second; ++it) ProposeFromFolder(*it->second, s);
    if (m_indexSightings.size() < kNtfsMaxSightings) m_indexSightings.emplace(s.parent, s);
}

void CNTFSSearchController::ProposeFromFolder(const CIndexedFolderRecord& folder, const NtfsIndexSighting& s) {
    const u64 lcn = folder.LookupLCN(s.vcn);
    if (lcn == kSparseLCN) return;
    m_candidates.ConfirmOrInsert(CreateNTFSPartitionFromRecord(s.sector, lcn, folder.GetSectorsPerCluster(),
                                                               ntfsev::kIndexRecord, m_context.bounds));
}

void CNTFSSearchController::AnalyzeNTFSFileRecordSector(u64 sector, const u8* p, u32 window) {
    const u32 ss = m_context.geometry.sectorSize;
    if (m_fileCarry.active) {
        m_fileCarry.active = false;
        if (sector == m_fileCarry.sector + 1 && ss == kUnit) {
            std::memcpy(m_fileCarry.bytes + kUnit, p, kUnit);
            AnalyzeFileRecord(m_fileCarry.sector, m_fileCarry.bytes, ntfs::kMinRecordSize);
            return;
        }
    }
    if (window < ntfs::kMinRecordSize && IsValidFileRecordHeader(p, kUnit)) {
        std::memcpy(m_fileCarry.bytes, p, kUnit);
        m_fileCarry.active = true;
        m_fileCarry.sector = sector;
        return;
    }
    AnalyzeFileRecord(sector, p, std::min<u32>(window, std::max<u32>(ntfs::kMinRecordSize, ss)));
}

void CNTFSSearchController::AnalyzeFileRecord(u64 sector, const u8* raw, u32 length) {
    const NtfsStepTimer timer("AnalyzeNTFSFileRecordSector begin", i64(sector));
    if (raw[0] != 'F' || !ValidateFileRecord(raw, length)) {
        m_fileRecords->Feed(sector, raw, nullptr, length);
        return;
    }
    u8 fixed[ntfs::kMaxRecordSize];
    const u32 span = std::min<u32>(RecordSpan(raw, length), sizeof(fixed));
    std::memcpy(fixed, raw, span);
    ApplyFileRecordFixups(fixed, span);
    m_fileRecords->Feed(sector, raw, fixed, span);

    if (IsFolderWithIndexAllocation(fixed, span)) {
        const NtfsStepTimer folderTimer("AnalyzeFolderFileRecordHavingIndexAllocation", i64(sector));
        FoundFolderWithIndexAllocation(sector, raw, fixed, span);
    } else if (IsLogFileRecord(fixed, span)) {
        m_restart->OnLogFileRecord(fixed, span, sector);
    } else if (IsAttrDefRecord(fixed, span)) {
        m_attrDef->OnRecord(fixed, span, sector);
    } else if (IsUpCaseRecord(fixed, span)) {
        m_upCase->OnRecord(fixed, span, sector);
    } else {
        FoundOtherRecord(sector, raw, fixed, span);
    }
}

void CNTFSSearchController::FoundFolderWithIndexAllocation(u64 sector, const u8* raw, const u8* fixed, u32 length) {
    auto folder = std::make_unique<CIndexedFolderRecord>();
    if (folder->FromRecord(fixed, length, sector) && folder->GetFolderNumber() != kNtfsRootFolderRecord &&
        folder->GetSectorsPerCluster() != 0) {
        const u64 number = folder->GetFolderNumber();
        auto range = m_indexSightings.equal_range(number);
        {
            const NtfsStepTimer timer("BuildPartitionInfoAccordingtoFolderFileRecordHavingIndexAllocation",
                                      kNoStepSector);
            for (auto it = range.first; it != range.second; ++it) {
                const NtfsStepTimer proposal(
                    "BuildPartitionInfoAccordingtoFileRecord(pIndexRecordInfo->u64Sector, s64ClusterNO)", std::nullopt);
                ProposeFromFolder(*folder, it->second);
            }
        }
        if (m_indexedFolders.size() < kNtfsMaxSightings) m_indexedFolders.emplace(number, std::move(folder));
    }
    // The folder is a record of its volume's tree whether or not it can place index records.
    if (m_liveReporting && !RecordIsExtension(fixed)) ReportFoundFile(sector, raw, length);
    AddRecordSector(sector, true);
}

void CNTFSSearchController::FoundOtherRecord(u64 sector, const u8* raw, const u8* fixed, u32 length) {
    if (RecordIsExtension(fixed) || m_restart->IsFull()) return;
    if (m_liveReporting) ReportFoundFile(sector, raw, length);
    AddRecordSector(sector, false);
    const u8* nameAttr = FindRecordAttribute(fixed, length, ntfs::kAttrFileName, 0);
    NTFSFileNameInfo name;
    if (!nameAttr || !ReadFileNameAttribute(nameAttr, name)) return;
    const u8* data = FindRecordAttribute(fixed, length, ntfs::kAttrData, 0);
    if (!data || !AttrIsNonResident(data)) return;
    NTFSRunList runs;
    u32 pairsLength = 0;
    const u8* pairs = AttrMappingPairs(data, &pairsLength);
    if (!pairs || !DecodeRunsChecked(runs, pairs, pairsLength)) return;
    const u64 lcn = LookupLCN(runs, 0);
    if (lcn == kSparseLCN) return;
    const std::string text = NTFSNameToString(name.name, name.nameLength);
    m_typeHints.AddFromAnsiName(text.c_str(), static_cast<u8>(std::min<size_t>(text.size(), 255)), lcn, sector);
}

void CNTFSSearchController::AddRecordSector(u64 sector, bool newRun) {
    const u64 stride = m_context.geometry.recordStride;
    if (!newRun && !m_recordRuns.empty()) {
        NtfsRecordRun& last = m_recordRuns.back();
        if (sector == last.firstSector + stride * last.count) {
            ++last.count;
            return;
        }
    }
    m_recordRuns.push_back({sector, 1});
}

void CNTFSSearchController::ReportFoundFile(u64 sector, const u8* raw, u32 length) {
    if (!m_builder) return;
    CCommonFileRecordInfo info;
    TreeNodePtr node = MakeRecordNode(raw, length, sector, nullptr, nullptr, info);
    if (!node) return;
    // Held records wait as part of the running tree: with them it takes no more than its cap,
    // and past it a record is dropped as the tree drops what comes past its cap.
    if (m_builder->GetFoundEntryCount() + m_heldRecords.size() >= kMaxCompleteNodes) return;
    const u64 parent = node->GetParentId();
    HeldRecord record = Hold(std::move(node), info);
    if (CTakenFolderLinker::NeedsCheck(parent, record.namedSequence, info.IsInUse()) &&
        LookUpSeenFolder(parent, record.namedSequence) != CTakenFolderLinker::FolderLook::kBelongs) {
        m_heldRecords.emplace(parent, std::move(record));
        return;
    }
    HandToTree(std::move(record));
}

CNTFSSearchController::HeldRecord CNTFSSearchController::Hold(TreeNodePtr node, const CCommonFileRecordInfo& info) {
    HeldRecord record;
    record.node = std::move(node);
    record.namedSequence = info.GetParentSequence();
    record.folder = info.GetDirectoryFlag() != 0;
    record.number = info.GetRecordNumber();
    record.sequence = info.GetSequence();
    record.inUse = info.IsInUse();
    return record;
}

CTakenFolderLinker::FolderLook CNTFSSearchController::LookUpSeenFolder(u64 record, u16 namedSequence) const {
    const auto range = m_seenFolders.equal_range(record);
    return LookUpFolderAmong(range.first, range.second, namedSequence,
                             [](const SeenFolder& f) { return std::pair(f.sequence, f.inUse); });
}

bool CNTFSSearchController::HandOne(HeldRecord& record) {
    u32 error = 0;
    if (m_builder->AddFoundFileNode(record.node.get(), kTreeKindNtfs, &error) == 0) {
        // Without an NTFS tree no later record can be shown either.
        if ((error & 0xFFFF) == kNoTreeReasonLow) m_liveReporting = false;
        return false;
    }
    record.node.release();
    if (record.folder && record.number != ~u64(0) && m_seenFolders.size() < kMaxCompleteNodes) {
        m_seenFolders.emplace(record.number, SeenFolder{record.sequence, record.inUse});
    }
    return true;
}

void CNTFSSearchController::LetGoFor(const HeldRecord& folder, std::vector<HeldRecord>& pending) {
    if (!folder.folder || folder.number == ~u64(0) || m_heldRecords.empty()) return;
    auto range = m_heldRecords.equal_range(folder.number);
    for (auto it = range.first; it != range.second;) {
        if (FolderSequenceMatches(it->second.namedSequence, folder.sequence, folder.inUse)) {
            pending.push_back(std::move(it->second));
            it = m_heldRecords.erase(it);
        } else {
            ++it;
        }
    }
}

void CNTFSSearchController::HandToTree(HeldRecord record) {
    if (!HandOne(record)) return;
    // Records a folder lets go of may be folders that let go of more: walked without recursion.
    std::vector<HeldRecord> pending;
    LetGoFor(record, pending);
    while (!pending.empty() && m_liveReporting) {
        HeldRecord next = std::move(pending.back());
        pending.pop_back();
        if (HandOne(next)) LetGoFor(next, pending);
    }
}

void CNTFSSearchController::ReleaseHeldRecords() {
    if (m_heldRecords.empty()) return;
    // The held folders count among the folders, as every record does in the finished trees.
    for (const auto& held : m_heldRecords) {
        const HeldRecord& r = held.second;
        if (r.folder && r.number != ~u64(0)) m_seenFolders.emplace(r.number, SeenFolder{r.sequence, r.inUse});
    }
    std::unordered_multimap<u64, HeldRecord> held;
    held.swap(m_heldRecords);
    for (auto& [named, record] : held) {
        if (!m_liveReporting || !m_builder) break;
        record.node->SetParentId(m_folderLinks.ParentId(named, record.namedSequence, false));
        HandOne(record);
    }
}

TreeNodePtr CNTFSSearchController::MakeFoundFileNode(const u8* raw, u32 length, u64 sector,
                                                    CSearchedNTFSPartitionInfo* candidate,
                                                    const NTFSMFTLocation* mft) {
    CCommonFileRecordInfo info;
    return MakeRecordNode(raw, length, sector, candidate, mft, info);
}

TreeNodePtr CNTFSSearchController::MakeRecordNode(const u8* raw, u32 length, u64 sector,
                                                 CSearchedNTFSPartitionInfo* candidate, const NTFSMFTLocation* mft,
                                                 CCommonFileRecordInfo& info) {
    if (!ValidateFileRecord(raw, length)) return nullptr;
    u8 fixed[ntfs::kMaxRecordSize];
    const u32 span = std::min<u32>(RecordSpan(raw, length), sizeof(fixed));
    std::memcpy(fixed, raw, span);
    ApplyFileRecordFixups(fixed, span);
    if (RecordIsExtension(fixed) || IsSystemMetadataRecord(fixed, span)) return nullptr;

    CNTFSFileRecord record;
    if (!record.Init(raw, length, sector, m_device, nullptr)) return nullptr;
    const u32 ss = m_context.geometry.sectorSize;
    const u64 spc = candidate ? candidate->GetSectorsPerCluster() : 0;
    const u64 volumeClusters =
        candidate && candidate->GetClusterCount() != kNtfsUnknown ? candidate->GetClusterCount() : 0;
    u64 parent = ~u64(0);
    u16 parentSequence = 0;
    PropertiesRef<CNTFSFileProperties> properties =
        MakeNTFSFileProperties(sector, record, spc * ss, &parent, volumeClusters, &parentSequence);
    if (!properties) return nullptr;

    info.FillFromRecord(raw, length, sector);
    info.SetNamedFolder(parent, parentSequence);
    u64 number = info.GetRecordNumber();
    if (candidate && mft && spc != 0 && sector >= candidate->GetPartitionStart()) {
        const u64 offset = sector - candidate->GetPartitionStart();
        const u64 vcn = LookupVCN(mft->GetRuns(), offset / spc);
        const u64 perRecord = std::max<u32>(1, mft->GetSectorsPerRecord());
        if (vcn != kSparseLCN) {
            const u64 inMft = vcn * spc + offset % spc;
            number = inMft % perRecord == 0 ? inMft / perRecord : ~u64(0);
        }
    }
    TreeNodePtr node = CreateFileNode();
    if (!node) return nullptr;
    node->SetRecordSector(sector);
    node->SetId((properties->GetAttributes() & kAttrReparse) != 0 ? kReparsePointId : number);
    node->SetFileProperties(properties.release());
    node->SetParentId(info.GetParentRecord());
    return node;
}

void CNTFSSearchController::EndSearch() {
    const NtfsStepTimer timer("EndSearch", kEndStepSector);
    if (m_fileRecords) m_fileRecords->Flush();
    ReleaseHeldRecords();
    m_seenFolders.clear();
    // A look from a paused preview may come while the candidates are scored and pruned; until
    // the set is settled it gets copies.
    const size_t total = m_candidates.Size();
    const u64 numbering = GetScanOptions().GetNtfsCandidateValues();
    m_candidates.Sweep([&](CSearchedNTFSPartitionInfo& c, size_t place) {
        if (m_attrDef) m_attrDef->Fill(c);
        if (m_upCase) m_upCase->Fill(c);
        if (m_restart) m_restart->Fill(c);
        if (c.GetMftSector() != kNtfsUnknown) c.SetMftNumbering(numbering);
        const u64 score = c.ComputeScore();
        c.SetBootScore(score);
        if (total > kNtfsUnprunedCandidates && place >= kNtfsUnprunedCandidates && score <= kNtfsPrunedScore) {
            return false;
        }
        c.SetFoundStart(c.GetPartitionStart());
        if (m_pool) m_typeHints.CountRawTypeMatches(m_pool->GetIndex(), c);
        // Its own TestFileNode and ApplyToFileNode reach this search from now on.
        c.SetSearchController(this);
        return true;
    });
    if (m_candidates.Size() >= kNtfsIndexOnlyPruneCount) {
        m_candidates.Sweep([](CSearchedNTFSPartitionInfo& c, size_t) {
            return c.GetEvidence() != ntfsev::kIndexRecord || c.GetRawTypeMatches() != 0 ||
                   c.GetIndexConfirmations() != 0;
        });
    }
    m_candidates.Settle();
    m_block.clear();
    m_block.shrink_to_fit();
    FreeCollectors();
    m_mirrorRecords.clear();
    m_mftRecordRuns.clear();
    m_indexSightings.clear();
    m_indexedFolders.clear();
    m_typeHints.Clear();
}
