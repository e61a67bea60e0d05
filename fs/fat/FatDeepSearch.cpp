#include "fs/fat/FatDeepSearch.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <new>

#include "devices/CachedStorageDevice.h"
#include "devices/PartitionDevice.h"
#include "devices/StorageDevice.h"
#include "engine/DirectoryTreeBuilder.h"
#include "engine/FileNode.h"
#include "engine/FileProperties.h"
#include "engine/FileSystemNode.h"
#include "engine/LostFileCollector.h"
#include "engine/Progress.h"
#include "engine/RSData.h"
#include "engine/RawFileInfoPool.h"
#include "fs/fat/FatDBR.h"
#include "fs/fat/FatDirEntry.h"
#include "fs/fat/FatFileProperties.h"
#include "fs/fat/FatQuickSearch.h"
#include "fs/fat/FatTable.h"
#include "platform/Log.h"

namespace {

constexpr u32 kBootSignatureOffset = 510;
constexpr u32 kEntryNameLength = 11;
constexpr u32 kEntryAttributeOffset = 11;
constexpr u32 kEntryClusterHighOffset = 20;
constexpr u32 kEntryClusterLowOffset = 26;
constexpr u64 kBackupBootOffset = 6;
constexpr u64 kProvisionalRootId = 0;
constexpr u32 kFirstCluster = 2;

u32 EntryCluster(const u8* e) {
    u16 high = 0;
    u16 low = 0;
    std::memcpy(&high, e + kEntryClusterHighOffset, sizeof(high));
    std::memcpy(&low, e + kEntryClusterLowOffset, sizeof(low));
    return (u32(high) << 16) | low;
}

bool IsDotEntryNamed(const u8* e, u32 dots) {
    for (u32 i = 0; i < kEntryNameLength; ++i) {
        if (e[i] != (i < dots ? '.' : ' ')) return false;
    }
    return (e[kEntryAttributeOffset] & kAttrDirectory) != 0;
}

u32 BootFlagOf(u32 fsCode) {
    switch (fsCode) {
        case kFsFat12: return kFatFlagBootFat12;
        case kFsFat16: return kFatFlagBootFat16;
        default: return kFatFlagBootFat32;
    }
}

bool SameGeometry(const FatBootSighting& a, const FatBootSighting& b) {
    return a.fsCode == b.fsCode && a.sectorsPerCluster == b.sectorsPerCluster &&
           a.reservedSectors == b.reservedSectors && a.fatCount == b.fatCount && a.sectorsPerFat == b.sectorsPerFat &&
           a.totalSectors == b.totalSectors && a.root == b.root;
}

// The walker asks whether to go on; the complete scan stops between blocks, not here.
class CGoOnProgress : public IProgress {
public:
    i32 OnProgress(const ProgressInfo* record) override { return record != nullptr && record->Total != 0 ? 1 : -1; }
    u32 Continued() override { return 1; }
    u32 GetState() override { return 1; }
};

}  // namespace

u64 CandidateScore(u32 fsCode, u32 flags) {
    constexpr u64 kBoth = 50;
    constexpr u64 kOne = 45;
    constexpr u64 kNone = 10;
    auto grade = [&](u32 a, u32 b) {
        const bool hasA = (flags & a) != 0;
        const bool hasB = (flags & b) != 0;
        return hasA && hasB ? kBoth : (hasA || hasB ? kOne : kNone);
    };
    const u64 fats = grade(kFatFlagFat1Seen, kFatFlagFat2Seen);
    if (fsCode == kFsFat32) return fats + grade(kFatFlagBootFat32, kFatFlagBackupBootFat32);
    return fats + ((flags & (kFatFlagBootFat12 | kFatFlagBootFat16)) != 0 ? kBoth : kNone);
}

bool IsFatFolderStart(const u8* sector, u32& cluster, u32& parent) {
    if (sector[0] != '.' || sector[1] != ' ' || sector[kFatDirEntrySize] != '.' || sector[kFatDirEntrySize + 1] != '.') {
        return false;
    }
    if (!IsDotEntryNamed(sector, 1) || !IsDotEntryNamed(sector + kFatDirEntrySize, 2)) return false;
    cluster = EntryCluster(sector);
    parent = EntryCluster(sector + kFatDirEntrySize);
    return cluster >= kFirstCluster && cluster != parent;
}

std::vector<std::unique_ptr<CFATSearchedPartitionInfo>> MakeFatCandidates(const std::vector<FatBootSighting>& boots,
                                                                          const std::vector<FatFolderStart>& folders,
                                                                          u64 deviceSectors, u32 sectorSize,
                                                                          const FatStartTest& fatStartAt) {
    std::map<u64, std::unique_ptr<CFATSearchedPartitionInfo>> byStart;
    auto sightingAt = [&](u64 sector) -> const FatBootSighting* {
        auto it = std::lower_bound(boots.begin(), boots.end(), sector,
                                   [](const FatBootSighting& b, u64 s) { return b.sector < s; });
        return it != boots.end() && it->sector == sector ? &*it : nullptr;
    };
    for (const FatBootSighting& b : boots) {
        if (b.sectorsPerCluster == 0 || b.totalSectors == 0) continue;
        const bool fat32 = b.fsCode == kFsFat32;
        // A FAT32 boot sector six sectors after an identical one is that volume's backup.
        if (fat32 && b.sector >= kBackupBootOffset) {
            const FatBootSighting* primary = sightingAt(b.sector - kBackupBootOffset);
            if (primary != nullptr && SameGeometry(*primary, b)) continue;
        }
        u64 start = b.sector;
        u32 flags = BootFlagOf(b.fsCode);
        bool fat1 = fatStartAt(start + b.reservedSectors);
        if (!fat1 && fat32 && b.sector >= kBackupBootOffset && fatStartAt(b.sector - kBackupBootOffset + b.reservedSectors)) {
            // Only the backup survived: the volume starts six sectors earlier.
            start = b.sector - kBackupBootOffset;
            flags = kFatFlagBackupBootFat32;
            fat1 = true;
        } else if (fat32) {
            const FatBootSighting* backup = sightingAt(b.sector + kBackupBootOffset);
            if (backup != nullptr && SameGeometry(*backup, b)) flags |= kFatFlagBackupBootFat32;
        }
        if (start >= deviceSectors || byStart.count(start) != 0) continue;
        const bool fat2 = b.fatCount > 1 && fatStartAt(start + b.reservedSectors + b.sectorsPerFat);
        if (fat1) flags |= kFatFlagFat1Seen | kFatFlagFat1Usable;
        if (fat2) flags |= kFatFlagFat2Seen | kFatFlagFat2Usable;

        const u64 total = std::min<u64>(b.totalSectors, deviceSectors - start);
        const u64 dataOffset =
            u64(b.reservedSectors) + u64(b.fatCount) * b.sectorsPerFat + (fat32 ? 0 : u64(b.root));
        if (dataOffset >= total) continue;
        const u64 dataStart = start + dataOffset;
        const u64 end = start + total;

        u64 votes = 0;
        auto it = std::lower_bound(folders.begin(), folders.end(), dataStart,
                                   [](const FatFolderStart& f, u64 s) { return f.sector < s; });
        for (; it != folders.end() && it->sector < end; ++it) {
            const u64 offset = it->sector - dataStart;
            if (offset % b.sectorsPerCluster == 0 && offset / b.sectorsPerCluster + kFirstCluster == it->cluster) ++votes;
        }
        // A boot sector that neither a FAT copy nor a folder confirms is a copy inside some file.
        if (!fat1 && !fat2 && votes == 0) continue;
        if (votes != 0) flags |= kFatFlagFromDirectory;

        auto c = std::unique_ptr<CFATSearchedPartitionInfo>(CreateFATSearchedPartitionInfo(sectorSize));
        if (!c) break;
        c->SetFileSystemCode(b.fsCode);
        c->SetSectorsPerCluster(b.sectorsPerCluster);
        c->SetPartitionStart(start);
        c->SetFoundStart(start);
        c->SetTotalSectors(total);
        c->SetFirstDataSector(dataStart);
        c->SetReservedSectors(b.reservedSectors);
        c->SetSectorsPerFat(b.sectorsPerFat);
        c->SetClusterCount(u32(std::min<u64>((total - dataOffset) / b.sectorsPerCluster, 0xFFFFFFFFu)));
        c->SetRoot(b.root);
        c->SetFlags(flags);
        c->SetEvidenceCount(votes);
        c->SetBootScore(CandidateScore(b.fsCode, flags));
        byStart.emplace(start, std::move(c));
    }
    std::vector<std::unique_ptr<CFATSearchedPartitionInfo>> out;
    for (auto& [start, c] : byStart) out.push_back(std::move(c));
    return out;
}

CFatCompleteSearch::CFatCompleteSearch() = default;
CFatCompleteSearch::~CFatCompleteSearch() = default;

void CFatCompleteSearch::SetDevice(IStorageDevice* device) {
    m_device = device;
    m_cache = dynamic_cast<CStorageDeviceWithCache*>(device);
    m_sectorSize = device != nullptr ? device->GetSectorSize() : 512;
}

void CFatCompleteSearch::BeginSearch() {
    m_boots.clear();
    m_folders.clear();
    m_candidates.clear();
    m_block.clear();
    if (!m_builder) return;
    // The builder pairs the chosen FAT candidates with a tree of their kind.
    CFileSystemNode* root = CreateFileSystemNode();
    CFATFileProperties* p = NewFATFileProperties();
    if (!root || !p) {
        DestroyTreeNode(root);
        if (p) p->Release();
        return;
    }
    p->SetName(FileSystemTypeName(kFsFat32));
    p->SetAttributes(u16(p->GetAttributes() | kAttrDirectory));
    root->SetFileProperties(p);
    root->SetPartitionGeometry(0, 0);
    root->SetFileSystemType(kFsFat32);
    root->SetId(kProvisionalRootId);
    if (m_builder->AddFileSystemTree(root) == 0) DestroyTreeNode(root);
}

void CFatCompleteSearch::ClassifySector(u64 sector, const u8* p) {
    if (p[kBootSignatureOffset] == 0x55 && p[kBootSignatureOffset + 1] == 0xAA) {
        CFATDBR dbr(p, m_sectorSize);
        if (dbr.IsValid() && m_boots.size() < kMaxBootSightings) {
            FatBootSighting b;
            b.sector = sector;
            b.fsCode = dbr.GetFATType();
            b.sectorsPerCluster = dbr.GetSectorsPerCluster();
            b.reservedSectors = dbr.GetReservedSectors();
            b.fatCount = dbr.GetFATCount();
            b.sectorsPerFat = dbr.GetFATSize();
            b.totalSectors = dbr.GetTotalSectors();
            b.root = b.fsCode == kFsFat32 ? dbr.GetRootCluster() : u32(CFATVolumeReader::RootRegionSectors(dbr));
            m_boots.push_back(b);
            return;
        }
    }
    u32 cluster = 0;
    u32 parent = 0;
    if (p[0] == '.' && IsFatFolderStart(p, cluster, parent) && m_folders.size() < kMaxFolderStarts) {
        m_folders.push_back({sector, cluster, parent});
    }
}

u32 CFatCompleteSearch::SearchBlock(u64 first, u64 count) {
    if (!m_device || count == 0 || m_sectorSize < 512) return 0;
    const u8* block = m_cache ? m_cache->PeekCurrentBlock(first, count) : nullptr;
    if (!block) {
        try {
            m_block.resize(size_t(count) * m_sectorSize);
        } catch (const std::bad_alloc&) {
            return 0;
        }
        if (m_device->Read(m_block.data(), first, count) == 0) return 0;
        block = m_block.data();
    }
    for (u64 i = 0; i < count; ++i) ClassifySector(first + i, block + i * m_sectorSize);
    return 1;
}

bool CFatCompleteSearch::FatStartAt(u64 sector) {
    if (!m_device || sector >= m_device->GetTotalSectors()) return false;
    std::vector<u8> buffer(m_sectorSize, 0);
    if (m_device->Read(buffer.data(), sector, 1) == 0) return false;
    u32 code = kFsUnknown;
    return IsFATStartSector(buffer.data(), m_sectorSize, code);
}

void CFatCompleteSearch::EndSearch() {
    if (!m_device) return;
    // Sightings arrive in ascending order; loaded ones may not.
    std::sort(m_boots.begin(), m_boots.end(), [](const auto& a, const auto& b) { return a.sector < b.sector; });
    std::sort(m_folders.begin(), m_folders.end(), [](const auto& a, const auto& b) { return a.sector < b.sector; });
    m_candidates = MakeFatCandidates(m_boots, m_folders, m_device->GetTotalSectors(), m_sectorSize,
                                     [this](u64 sector) { return FatStartAt(sector); });
    for (auto& c : m_candidates) c->SetSearchController(this);
}

void CFatCompleteSearch::GetSearchedPartitions(std::vector<CSearchedPartitionInfo*>& out) {
    for (auto& c : m_candidates) out.push_back(c.get());
}

u32 CFatCompleteSearch::BuildFileSystemTrees(std::vector<CSearchedPartitionInfo*>& chosen) {
    if (chosen.empty() || !m_builder || !m_device) return 0;
    CSearchedPartitionInfo* chosenOne = chosen.front();
    CFATSearchedPartitionInfo* c = nullptr;
    for (auto& own : m_candidates) {
        if (own.get() == chosenOne) c = own.get();
    }
    if (!c) return 0;
    const u64 start = c->GetPartitionStart();
    const u64 spc = c->GetSectorsPerCluster();
    CBasicPartitionDevice volume(m_device, start, c->GetTotalSectors());

    FatWalkOptions options;
    options.keepTree = true;
    const u64 dataStart = c->GetFirstDataSector();
    const u64 end = start + c->GetTotalSectors();
    for (const FatFolderStart& f : m_folders) {
        if (f.sector < dataStart || f.sector >= end || spc == 0) continue;
        const u64 offset = f.sector - dataStart;
        if (offset % spc == 0 && offset / spc + kFirstCluster == f.cluster) options.folderStarts.push_back({f.cluster, f.parent});
    }

    CFATQuickSearch walk;
    walk.SetDirectoryTreeBuilder(m_builder);
    walk.SetWalkOptions(std::move(options));
    CGoOnProgress progress;
    const u32 result = walk.Search(&volume, &progress);
    CFileSystemNode* root = walk.TakeTree();
    if (result != kFatQuickDone || !root) {
        ReleaseTrace("FAT tree of the volume at sector %llu not built: 0x%x", static_cast<unsigned long long>(start),
                     unsigned(result));
        DestroyTreeNode(root);
        return 0;
    }
    // The walk placed the data area on the volume; the writer reads the device.
    root->SetPartitionGeometry(start + walk.GetRecord().GetFirstDataSector(), u32(spc));
    root->SetFileSystemType(c->GetFileSystemCode());

    std::vector<u8> sector(m_sectorSize, 0);
    for (u64 at : {u64(0), kBackupBootOffset}) {
        if (volume.Read(sector.data(), at, 1) == 0) continue;
        CFATDBR dbr(sector.data(), m_sectorSize);
        if (!dbr.IsValid()) continue;
        char label[12] = {};
        CFATVolumeReader reader(&volume);
        if (reader.GetVolumeLabel(0, dbr, label)) root->SetVolumeLabel(label);
        break;
    }
    if (m_builder->ApplyFilter(root, c) == 0) {
        DestroyTreeNode(root);
        return 0;
    }
    return 1;
}

u32 CFatCompleteSearch::CollectLostFiles(std::vector<CSearchedPartitionInfo*>& chosen) {
    if (!m_builder || !m_pool || m_pool->IsEmpty() || !m_device) return 0;
    for (CSearchedPartitionInfo* c : chosen) {
        if (!m_builder->GetTreeRoot(c)) continue;
        LostFileCollector collector;
        collector.Collect(m_device, *m_pool, m_builder, c, nullptr);
    }
    return 1;
}

u32 CFatCompleteSearch::SaveState(IRSData* stream) {
    if (!stream) return 0;
    stream->WriteU64(m_folders.size());
    for (const FatFolderStart& f : m_folders) {
        stream->WriteU64(f.sector);
        stream->WriteU32(f.cluster);
        stream->WriteU32(f.parent);
    }
    return 1;
}

u32 CFatCompleteSearch::LoadState(IRSData* stream) {
    if (!stream) return 0;
    // The count comes from a file: records are read one by one, so a damaged count ends with the
    // stream instead of sizing a vector.
    std::vector<FatFolderStart> folders;
    const u64 count = stream->ReadU64();
    for (u64 i = 0; i < count && i < kMaxFolderStarts; ++i) {
        FatFolderStart f;
        f.sector = stream->ReadU64();
        f.cluster = stream->ReadU32();
        f.parent = stream->ReadU32();
        folders.push_back(f);
    }
    m_folders = std::move(folders);
    return 1;
}

ICompleteFileSystemSearchController* CreateFatCompleteSearch() { return new (std::nothrow) CFatCompleteSearch; }
