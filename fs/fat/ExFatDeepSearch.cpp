#include "fs/fat/ExFatDeepSearch.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <new>

#include "devices/PartitionDevice.h"
#include "devices/StorageDevice.h"
#include "engine/DirectoryTreeBuilder.h"
#include "engine/FileNode.h"
#include "engine/FileProperties.h"
#include "engine/FileSystemNode.h"
#include "engine/Progress.h"
#include "engine/RSData.h"
#include "fs/fat/ExFatFileProperties.h"
#include "fs/fat/ExFatQuickSearch.h"
#include "fs/fat/ExFatVolume.h"
#include "fs/fat/FatDeepSearch.h"
#include "fs/fat/FatQuickSearch.h"
#include "platform/Log.h"

namespace {

constexpr u64 kBackupBootOffset = 12;
constexpr u64 kProvisionalRootId = 0;
constexpr u32 kEntrySize = 32;
constexpr u8 kFileEntry = 0x85;
constexpr u8 kStreamEntry = 0xC0;
constexpr u8 kNameEntry = 0xC1;
constexpr u8 kInUseBit = 0x80;
constexpr u32 kFirstCluster = 2;
constexpr u8 kFatMedia[8] = {0xF8, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
constexpr u64 kScoreBoth = 50;
constexpr u64 kScoreOne = 45;
constexpr u64 kScoreNone = 10;

// The volume flags and the share of the heap in use change without the backup boot sector.
constexpr u32 kVolumeFlagsOffset = 106;
constexpr u32 kVolumeFlagsBytes = 2;
constexpr u32 kPercentInUseOffset = 112;

bool SameBootSector(const ExFatBootSighting& a, const ExFatBootSighting& b) {
    for (size_t i = 0; i < a.bytes.size(); ++i) {
        const bool volatileField =
            (i >= kVolumeFlagsOffset && i < kVolumeFlagsOffset + kVolumeFlagsBytes) || i == kPercentInUseOffset;
        if (!volatileField && a.bytes[i] != b.bytes[i]) return false;
    }
    return true;
}

bool IsEntryOfType(u8 type, u8 inUseType) { return type == inUseType || type == u8(inUseType & ~kInUseBit); }

// Takes what the exFAT walker hands over and links it into one tree by the ids it gives: a
// folder's id is the sector of its first cluster, and its entries name that as their parent.
class CTreeCollector : public IDirecotryTreeBuilder {
public:
    ~CTreeCollector() override { DestroyTreeNode(m_root); }

    u32 Init(const char*, IDirectoryTree*, IRecoveryFilter*, u32, IStorageDevice*, u32) override { return 1; }
    u32 ApplyFilter(CFileSystemNode*, CSearchedPartitionInfo*) override { return 0; }
    u32 AddFileSystemTree(CFileSystemNode* root) override {
        if (m_root != nullptr || root == nullptr) return 0;
        m_root = root;
        m_folders[root->GetId()] = root;
        return 1;
    }
    u32 AddFileNode(CFileNode*, CSearchedPartitionInfo*) override { return 0; }
    u32 AddFoundFileNode(CFileNode* node, u32, u32* error) override {
        if (error) *error = 0;
        if (node == nullptr || m_root == nullptr) return 0;
        auto parent = m_folders.find(node->GetParentId());
        CFileNode* holder = parent != m_folders.end() ? parent->second : m_root;
        holder->AddChild(node);
        const IFileProperties* p = node->GetFileProperties();
        if (p != nullptr && (p->GetAttributes() & kAttrDirectory) != 0) m_folders.emplace(node->GetId(), node);
        return 1;
    }
    u32 InsertNode(CFileNode*, CSearchedPartitionInfo*) override { return 0; }
    u32 AddEvaluationItem(CSearchedPartitionInfo*) override { return 0; }
    u32 HasEvaluationItem(std::vector<CSearchedPartitionInfo*>*) override { return 0; }
    u32 FinishSearch() override { return 0; }
    u32 BuildLostFilesFolder(CSearchedPartitionInfo*) override { return 0; }
    u32 FinishBuild() override { return 0; }
    u64 GetNodeCount() override { return m_folders.size(); }
    CFileSystemNode* GetTreeRoot(CSearchedPartitionInfo*) override { return m_root; }
    u32 GetTag() override { return 0; }
    void SetTag(u32) override {}
    void Release() override {}
    void SetProgress(IProgress*) override {}
    IRecoveryFilter* GetFilter() override { return nullptr; }

    // Places a folder the caller made below `parent` (a folder of the tree).
    void AddFolder(CFileNode* folder, CFileNode* parent) {
        parent->AddChild(folder);
        m_folders[folder->GetId()] = folder;
    }
    CFileSystemNode* TakeRoot() {
        CFileSystemNode* root = m_root;
        m_root = nullptr;
        m_folders.clear();
        return root;
    }

private:
    CFileSystemNode* m_root = nullptr;
    std::map<u64, CFileNode*> m_folders;
};

CFileNode* MakeLostFolder(const char* name, u64 id, u64 parentId) {
    CExFatFileProperties* p = NewExFatFileProperties();
    CFileNode* node = CreateFileNode();
    if (p == nullptr || node == nullptr) {
        if (p != nullptr) p->Release();
        DestroyTreeNode(node);
        return nullptr;
    }
    SetFolderPropertiesName(p, name);
    p->SetState(kFatLostFolderState);
    node->SetFileProperties(p);
    node->SetId(id);
    node->SetParentId(parentId);
    return node;
}

}  // namespace

bool IsExFatEntrySetStart(const u8* p) {
    return IsEntryOfType(p[0], kFileEntry) && IsEntryOfType(p[kEntrySize], kStreamEntry) &&
           IsEntryOfType(p[2 * kEntrySize], kNameEntry) && p[1] >= 2;
}

void CExFatSearchedPartitionInfo::SetBoot(const u8* bytes) { std::memcpy(m_boot.data(), bytes, kBootBytes); }

u64 CExFatSearchedPartitionInfo::GetHeapStart() const {
    return GetPartitionStart() + CExFatBootSector(m_boot.data()).GetClusterHeapOffset();
}

void CExFatSearchedPartitionInfo::Save(IRSData* stream) {
    if (stream == nullptr) return;
    CSearchedPartitionInfo::Save(stream);
    stream->Write(m_boot.data(), kBootBytes);
    stream->WriteU32(m_flags);
}

void CExFatSearchedPartitionInfo::Load(IRSData* stream) {
    if (stream == nullptr) return;
    CSearchedPartitionInfo::Load(stream);
    stream->Read(m_boot.data(), kBootBytes);
    m_flags = stream->ReadU32();
}

CExFatCompleteSearch::CExFatCompleteSearch() = default;
CExFatCompleteSearch::~CExFatCompleteSearch() = default;

void CExFatCompleteSearch::BeginSearch() {
    m_boots.clear();
    m_setStarts.clear();
    m_candidates.clear();
    m_block.clear();
    if (!m_builder) return;
    CExFatFileProperties* p = NewExFatFileProperties();
    SetFolderPropertiesName(p, FileSystemTypeName(kFsExFat));
    AddProvisionalRoot(p, kFsExFat, kProvisionalRootId);
}

void CExFatCompleteSearch::ClassifySector(u64 sector, const u8* p) {
    if (p[3] == 'E' && IsExFatBootSector(p, m_sectorSize)) {
        if (m_boots.size() < kMaxBootSightings) {
            ExFatBootSighting b;
            b.sector = sector;
            std::memcpy(b.bytes.data(), p, b.bytes.size());
            m_boots.push_back(b);
        }
        return;
    }
    if (IsEntryOfType(p[0], kFileEntry) && IsExFatEntrySetStart(p) && m_setStarts.size() < kMaxSetStarts) {
        m_setStarts.push_back(sector);
    }
}

bool CExFatCompleteSearch::FatStartAt(u64 sector) {
    std::vector<u8> buffer;
    if (!ReadSector(sector, buffer)) return false;
    return std::memcmp(buffer.data(), kFatMedia, sizeof(kFatMedia)) == 0;
}

void CExFatCompleteSearch::EndSearch() {
    if (!m_device) return;
    std::sort(m_boots.begin(), m_boots.end(), [](const auto& a, const auto& b) { return a.sector < b.sector; });
    std::sort(m_setStarts.begin(), m_setStarts.end());
    const u64 deviceSectors = m_device->GetTotalSectors();
    auto sightingAt = [&](u64 sector) -> const ExFatBootSighting* {
        auto it = std::lower_bound(m_boots.begin(), m_boots.end(), sector,
                                   [](const ExFatBootSighting& b, u64 s) { return b.sector < s; });
        return it != m_boots.end() && it->sector == sector ? &*it : nullptr;
    };
    std::map<u64, std::unique_ptr<CExFatSearchedPartitionInfo>> byStart;
    for (const ExFatBootSighting& b : m_boots) {
        // The backup boot sector twelve sectors after an identical main one.
        if (b.sector >= kBackupBootOffset) {
            const ExFatBootSighting* main = sightingAt(b.sector - kBackupBootOffset);
            if (main != nullptr && SameBootSector(*main, b)) continue;
        }
        const CExFatBootSector boot(b.bytes.data());
        u64 start = b.sector;
        u32 flags = kExFatFlagBoot;
        bool fat = FatStartAt(start + boot.GetFatOffset());
        if (!fat && b.sector >= kBackupBootOffset && FatStartAt(b.sector - kBackupBootOffset + boot.GetFatOffset())) {
            // Only the backup survived: the volume starts twelve sectors earlier.
            start = b.sector - kBackupBootOffset;
            flags = kExFatFlagBackupBoot;
            fat = true;
        } else {
            const ExFatBootSighting* backup = sightingAt(b.sector + kBackupBootOffset);
            if (backup != nullptr && SameBootSector(*backup, b)) flags |= kExFatFlagBackupBoot;
        }
        if (start >= deviceSectors || byStart.count(start) != 0) continue;
        if (fat) flags |= kExFatFlagFatSeen;
        const u64 total = std::min<u64>(boot.GetVolumeLength(), deviceSectors - start);
        const u64 heap = start + boot.GetClusterHeapOffset();
        const u64 end = start + total;
        const u64 spc = boot.GetSectorsPerCluster();
        if (heap >= end || spc == 0) continue;
        u64 votes = 0;
        for (auto it = std::lower_bound(m_setStarts.begin(), m_setStarts.end(), heap);
             it != m_setStarts.end() && *it < end; ++it) {
            if ((*it - heap) % spc == 0) ++votes;
        }
        // A boot sector that neither its FAT nor a folder confirms is a copy inside some file.
        if (!fat && votes == 0) continue;
        if (votes != 0) flags |= kExFatFlagFromEntrySets;

        auto c = std::make_unique<CExFatSearchedPartitionInfo>(m_sectorSize);
        c->SetFileSystemCode(kFsExFat);
        c->SetSectorsPerCluster(u32(spc));
        c->SetPartitionStart(start);
        c->SetFoundStart(start);
        c->SetTotalSectors(total);
        c->SetBoot(b.bytes.data());
        c->SetFlags(flags);
        c->SetEvidenceCount(votes);
        const bool bothBoots = (flags & kExFatFlagBoot) != 0 && (flags & kExFatFlagBackupBoot) != 0;
        c->SetBootScore((fat ? kScoreBoth : kScoreNone) + (bothBoots ? kScoreBoth : kScoreOne));
        c->SetSearchController(this);
        byStart.emplace(start, std::move(c));
    }
    for (auto& [start, c] : byStart) m_candidates.push_back(std::move(c));
}

void CExFatCompleteSearch::GetSearchedPartitions(std::vector<CSearchedPartitionInfo*>& out) {
    for (auto& c : m_candidates) out.push_back(c.get());
}

u32 CExFatCompleteSearch::BuildFileSystemTrees(std::vector<CSearchedPartitionInfo*>& chosen) {
    if (chosen.empty() || !m_builder || !m_device) return 0;
    CExFatSearchedPartitionInfo* c = FindOwnCandidate(m_candidates, chosen.front());
    if (!c) return 0;
    const u64 start = c->GetPartitionStart();
    CBasicPartitionDevice volume(m_device, start, c->GetTotalSectors());
    std::unique_ptr<CBootOverlayDevice> standIn;
    IStorageDevice* walked = &volume;
    if ((c->GetFlags() & kExFatFlagBoot) == 0) {
        std::vector<u8> boot(m_sectorSize, 0);
        std::memcpy(boot.data(), c->GetBoot().data(), c->GetBoot().size());
        standIn = std::make_unique<CBootOverlayDevice>(&volume, std::move(boot));
        walked = standIn.get();
    }

    CTreeCollector collector;
    CExFatQuickSearch walk;
    walk.SetDirectoryTreeBuilder(&collector);
    CGoOnProgress progress;
    const u32 result = walk.Search(walked, &progress);
    CFileSystemNode* root = collector.GetTreeRoot(nullptr);
    CExFatPartition* partition = walk.GetPartition();
    if (result != kExFatQuickDone || root == nullptr || partition == nullptr) {
        ReleaseTrace("exFAT tree of the volume at sector %llu not built: 0x%x", static_cast<unsigned long long>(start),
                     unsigned(result));
        return 0;
    }

    // Entry sets at the start of clusters no walk read: folders whose own entry is gone.
    const u64 heap = c->GetHeapStart();
    const u64 spc = c->GetSectorsPerCluster();
    const u64 end = start + c->GetTotalSectors();
    CFileNode* lostFolders = nullptr;
    for (auto it = std::lower_bound(m_setStarts.begin(), m_setStarts.end(), heap);
         it != m_setStarts.end() && *it < end; ++it) {
        if ((*it - heap) % spc != 0) continue;
        const u64 cluster = (*it - heap) / spc + kFirstCluster;
        if (cluster > 0xFFFFFFFFu || !partition->IsHeapCluster(u32(cluster)) || walk.WasClusterRead(u32(cluster))) {
            continue;
        }
        if (lostFolders == nullptr) {
            lostFolders = MakeLostFolder(kFatLostFoldersName, kFatLostFoldersId, root->GetId());
            if (lostFolders == nullptr) break;
            collector.AddFolder(lostFolders, root);
        }
        char name[32];
        std::snprintf(name, sizeof(name), "DIR%u", unsigned(NextLostFolderNumber()));
        CFileNode* dir = MakeLostFolder(name, partition->ClusterToSector(u32(cluster)), kFatLostFoldersId);
        if (dir == nullptr) break;
        collector.AddFolder(dir, lostFolders);
        walk.WalkOrphanFolder(u32(cluster));
    }

    root = collector.TakeRoot();
    // The walk placed the heap on the volume; the writer reads the device.
    root->SetPartitionGeometry(heap, u32(spc));
    if (m_builder->ApplyFilter(root, c) == 0) {
        DestroyTreeNode(root);
        return 0;
    }
    return 1;
}

u32 CExFatCompleteSearch::SaveState(IRSData* stream) {
    if (!stream) return 0;
    stream->WriteU64(m_setStarts.size());
    for (u64 s : m_setStarts) stream->WriteU64(s);
    return 1;
}

u32 CExFatCompleteSearch::LoadState(IRSData* stream) {
    if (!stream) return 0;
    std::vector<u64> starts;
    const u64 count = stream->ReadU64();
    for (u64 i = 0; i < count && i < kMaxSetStarts; ++i) starts.push_back(stream->ReadU64());
    m_setStarts = std::move(starts);
    return 1;
}

ICompleteFileSystemSearchController* CreateExFatCompleteSearch() { return new (std::nothrow) CExFatCompleteSearch; }
