#include "fs/fat/ExFatDeepSearch.h"

#include <algorithm>
#include <iterator>
#include <cstdio>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <unordered_map>
#include <unordered_set>
#include <new>
#include <numeric>

#include "devices/PartitionDevice.h"
#include "devices/StorageDevice.h"
#include "engine/DirectoryTreeBuilder.h"
#include "engine/FileNode.h"
#include "engine/FileProperties.h"
#include "engine/FileSystemNode.h"
#include "engine/Progress.h"
#include "engine/RSData.h"
#include "fs/fat/ExFatBlockTree.h"
#include "fs/fat/ExFatChainTally.h"
#include "fs/fat/ExFatFileProperties.h"
#include "fs/fat/ExFatQuickSearch.h"
#include "fs/fat/ExFatVolume.h"
#include "fs/fat/FatDeepSearch.h"
#include "fs/fat/FatQuickSearch.h"
#include "platform/Log.h"
#include "platform/Text.h"

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
constexpr u32 kFatStartMedia = 0xFFFFFFF8u;
constexpr u32 kFatStartSecond = 0xFFFFFFFFu;
constexpr u32 kFatEntryBytes = 4;
// Both boot regions (main and backup, twelve sectors each) stand before the FAT.
constexpr u64 kBootRegionsSectors = 24;
constexpr u32 kStandInFatCount = 1;
constexpr u8 kStandInDrive = 0x80;
constexpr u8 kStandInUnknownUse = 0xFF;
constexpr u16 kStandInRevision = 0x0100;
// FAT starts tried below a heap, nearest first.
constexpr size_t kFatStartsTried = 16;
// An up-case table begins with the identity of the first characters.
constexpr u16 kUpcaseLead[] = {0, 1, 2, 3, 4, 5, 6, 7};
// Sectors of the root cluster read for its label entry.
constexpr u32 kLabelSectors = 8;

void PutLE(u8* p, u64 value, u32 bytes) {
    for (u32 i = 0; i < bytes; ++i) p[i] = u8(value >> (8 * i));
}

bool IsUpcaseStart(const u8* p) {
    for (u32 i = 0; i < std::size(kUpcaseLead); ++i) {
        if (ReadLE16(p + 2 * i) != kUpcaseLead[i]) return false;
    }
    return true;
}

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
    // A tree never taken (a walk that ended early) goes with everything linked below its root.
    ~CTreeCollector() override { DestroySubtree(m_root.release()); }
    u32 Init(const char*, IDirectoryTree*, IRecoveryFilter*, u32, IStorageDevice*, u32) override { return 1; }
    u32 ApplyFilter(CFileSystemNode*, CSearchedPartitionInfo*) override { return 0; }
    u32 AddFileSystemTree(CFileSystemNode* root) override {
        if (m_root != nullptr || root == nullptr) return 0;
        m_root.reset(root);
        m_folders[root->GetId()] = root;
        return 1;
    }
    u32 AddFileNode(CFileNode*, CSearchedPartitionInfo*) override { return 0; }
    u32 AddFoundFileNode(CFileNode* node, u32, u32* error) override {
        if (error) *error = 0;
        if (node == nullptr || m_root == nullptr) return 0;
        auto parent = m_folders.find(node->GetParentId());
        CFileNode* holder = parent != m_folders.end() ? parent->second : m_root.get();
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
    CFileSystemNode* GetTreeRoot(CSearchedPartitionInfo*) override { return m_root.get(); }
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
        CFileSystemNode* root = m_root.release();
        m_folders.clear();
        return root;
    }

private:
    FileSystemNodePtr m_root;
    std::map<u64, CFileNode*> m_folders;
};

TreeNodePtr MakeLostFolder(const char* name, u64 id, u64 parentId) {
    PropertiesRef<CExFatFileProperties> p(NewExFatFileProperties());
    TreeNodePtr node = CreateFileNode();
    if (!p || !node) return nullptr;
    SetFolderPropertiesName(p.get(), name);
    p->SetState(kFatLostFolderState);
    node->SetFileProperties(p.release());
    node->SetId(id);
    node->SetParentId(parentId);
    return node;
}

// Hands the sets of the block tree to the collector in the tree's order, each folder before what
// it lists; the lost folders it names stand below "Lost Folders" first.
void PlaceBlockTree(const ExFatBlockTree& tree, const CExFatPartition& partition, CExFatQuickSearch& walk,
                    CTreeCollector& collector, CFileSystemNode& root) {
    if (!tree.lostFolders.empty()) {
        CFileNode* lostFolders = MakeLostFolder(kFatLostFoldersName, kFatLostFoldersId, root.GetId()).release();
        if (lostFolders == nullptr) return;
        collector.AddFolder(lostFolders, &root);
        for (u32 cluster : tree.lostFolders) {
            char name[32];
            std::snprintf(name, sizeof(name), "DIR%u", unsigned(NextLostFolderNumber()));
            CFileNode* dir = MakeLostFolder(name, partition.ClusterToSector(cluster), kFatLostFoldersId).release();
            if (dir == nullptr) return;
            collector.AddFolder(dir, lostFolders);
        }
    }
    for (const ExFatPlacedSet& placed : tree.placed) {
        const u64 parentId = placed.displacedParent < tree.sets.size()
                                 ? walk.DisplacedFolderId(tree.sets[placed.displacedParent])
                                 : partition.ClusterToSector(placed.parent);
        walk.HandOverSet(tree.sets[placed.set], parentId, placed.deleted, placed.displaced);
    }
}

}  // namespace

bool IsExFatEntrySetStart(const u8* p) {
    return IsEntryOfType(p[0], kFileEntry) && IsEntryOfType(p[kEntrySize], kStreamEntry) &&
           IsEntryOfType(p[2 * kEntrySize], kNameEntry) && p[1] >= 2;
}

u32 CExFatSearchedPartitionInfo::TestFileNode(CFileNode* node) {
    ICompleteFileSystemSearchController* owner = GetSearchController();
    return owner != nullptr ? owner->TestFileNode(node, this) : 0;
}

u32 CExFatSearchedPartitionInfo::ApplyToFileNode(CFileNode* node) {
    ICompleteFileSystemSearchController* owner = GetSearchController();
    return owner != nullptr ? owner->ApplyToFileNode(node, this) : 0;
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
    {
        // A look from a paused preview of an earlier search may still be reading them.
        const auto lk = m_looks.Hold();
        m_boots.clear();
        m_setStarts.clear();
        m_fatStarts.clear();
        m_candidates.clear();
        m_looks.Begin();
    }
    m_turnedAway.fill(0);
    m_firstTurnedAway.fill(0);
    m_block.clear();
    m_walker = ExFatBlockWalker();
    m_walkerReady = false;
    m_dirBlocks.clear();
    m_blockOwners.clear();
    m_claimedBlocks.clear();
    m_guestOf.clear();
    m_upcaseStarts.clear();
    m_hints.Clear();
    m_handOut = true;
    m_sinkSet = false;
    if (!m_builder) return;
    PropertiesRef<CExFatFileProperties> p(NewExFatFileProperties());
    SetFolderPropertiesName(p.get(), FileSystemTypeName(kFsExFat));
    AddProvisionalRoot(std::move(p), kFsExFat, kProvisionalRootId);
}

void CExFatCompleteSearch::ClassifySector(u64 sector, const u8* p) {
    if (!m_walkerReady && m_device != nullptr) {
        m_walker.SetGeometry(m_device->GetTotalSectors(), m_sectorSize);
        m_walker.SetHintList(&m_hints);
        if (m_builder != nullptr) {
            m_walker.SetSetSink([this](const ExFatEntrySet& set) { HandOutSet(set); });
            m_sinkSet = true;
        }
        m_walkerReady = true;
        m_droppedBlocks = 0;
        m_spent = 0;
        m_linksCounted = 0;
        m_overBudget = false;
    }
    // The builder refused a set: no more are made.
    if (!m_handOut && m_sinkSet) {
        m_walker.SetSetSink(nullptr);
        m_sinkSet = false;
    }
    // Cheap byte tests first: most sectors are file data and end the current block.
    if (p[0] != 0 && p[3] == 'E' && IsExFatBootSector(p, m_sectorSize)) {
        {
            const auto lk = m_looks.Hold();
            if (MayKeep(kExFatBootSightings, m_boots.size(), sector)) {
                ExFatBootSighting b;
                b.sector = sector;
                std::memcpy(b.bytes.data(), p, b.bytes.size());
                m_boots.push_back(b);
            }
        }
        // The volume's directory blocks come after its boot sector.
        m_walker.AdmitVolumeLength(CExFatBootSector(p).GetAddressableLength());
        WalkFolderSector(sector, nullptr);
        return;
    }
    if (p[0] != 0 && ReadLE32(p) == kFatStartMedia && ReadLE32(p + 4) == kFatStartSecond) {
        {
            const auto lk = m_looks.Hold();
            if (MayKeep(kExFatFatStarts, m_fatStarts.size(), sector)) m_fatStarts.push_back(sector);
        }
        WalkFolderSector(sector, nullptr);
        return;
    }
    if (p[0] == 0) {
        if (IsUpcaseStart(p) && MayKeep(kExFatUpcaseStarts, m_upcaseStarts.size(), sector)) {
            m_upcaseStarts.push_back(sector);
        }
        WalkFolderSector(sector, nullptr);
        return;
    }
    if (IsEntryOfType(p[0], kFileEntry) && IsExFatEntrySetStart(p)) {
        const auto lk = m_looks.Hold();
        if (MayKeep(kExFatSetStarts, m_setStarts.size(), sector)) m_setStarts.push_back(sector);
    }
    WalkFolderSector(sector, p);
}

void CExFatCompleteSearch::WalkFolderSector(u64 sector, const u8* p) {
    // Once the folder data kept has spent its budget, blocks are no longer kept; those found
    // after are counted, so that the loss is told.
    std::vector<ExFatDirectoryBlock>& out = m_overBudget ? m_overflowBlocks : m_dirBlocks;
    const size_t before = out.size();
    if (p != nullptr) {
        m_walker.WalkSector(sector, p, out);
    } else {
        m_walker.FinishBlock(out);
    }
    if (m_overBudget) {
        m_droppedBlocks += m_overflowBlocks.size();
        m_overflowBlocks.clear();
    } else if (out.size() != before || m_walker.GetCutSetLinks().size() != m_linksCounted) {
        SpendOnNewBlocks(before, sector);
    }
}

void CExFatCompleteSearch::SpendOnNewBlocks(size_t keptBefore, u64 sector) {
    for (size_t i = keptBefore; i < m_dirBlocks.size(); ++i) {
        const ExFatDirectoryBlock& b = m_dirBlocks[i];
        m_spent += kBlockWeight + u64(b.setCount) * kSetWeight + u64(b.nameUnits) * kNameUnitWeight;
    }
    const auto& links = m_walker.GetCutSetLinks();
    for (; m_linksCounted < links.size(); ++m_linksCounted) {
        m_spent += kCutLinkWeight + links[m_linksCounted].set.name.size() * kNameUnitWeight;
    }
    if (m_spent < m_budget) return;
    m_overBudget = true;
    // The sets of the blocks not kept are not shown while scanning either: no tree will hold them.
    m_walker.CountBlocksOnly();
    m_sinkSet = false;
    ReleaseTrace("exFAT folder data past %llu bytes (%zu blocks) not kept, from sector %llu on: their entries are "
                 "not listed",
                 static_cast<unsigned long long>(m_budget), m_dirBlocks.size(), static_cast<unsigned long long>(sector));
}

namespace {
// What each kind of sighting is called in the log.
constexpr const char* kSightingKindNames[kExFatSightingKinds] = {"boot sectors kept", "FAT starts kept",
                                                                  "up-case table starts kept", "entry-set starts kept"};

// Counts, for boot sectors, the set starts that lie on a cluster boundary of their heap: one sort
// per cluster size, then two binary searches per boot sector, where walking every start in each
// boot sector's heap would cost boot sectors times starts.
class SetStartVotes {
public:
    // `starts` sorted.
    explicit SetStartVotes(const std::vector<u64>& starts) : m_starts(starts) {}
    // The starts in [heap, end) that lie a whole number of clusters of `sectorsPerCluster` from
    // `heap`. Cheapest when the calls come ordered by cluster size.
    u64 Count(u64 heap, u64 end, u64 sectorsPerCluster);

private:
    const std::vector<u64>& m_starts;
    // The starts ordered by their offset within a cluster of m_clusterSectors, then by sector.
    std::vector<u64> m_byOffset;
    u64 m_clusterSectors = 0;
};

u64 SetStartVotes::Count(u64 heap, u64 end, u64 sectorsPerCluster) {
    if (sectorsPerCluster == 0 || heap >= end) return 0;
    if (sectorsPerCluster != m_clusterSectors) {
        m_clusterSectors = sectorsPerCluster;
        m_byOffset = m_starts;
        // A stable sort keeps each offset's starts in sector order.
        std::stable_sort(m_byOffset.begin(), m_byOffset.end(),
                         [c = m_clusterSectors](u64 a, u64 b) { return a % c < b % c; });
    }
    // The starts at the heap's offset within a cluster lie together, in sector order.
    using Key = std::pair<u64, u64>;
    const auto before = [c = m_clusterSectors](u64 start, const Key& key) { return Key{start % c, start} < key; };
    const u64 offset = heap % m_clusterSectors;
    const auto first = std::lower_bound(m_byOffset.begin(), m_byOffset.end(), Key{offset, heap}, before);
    const auto last = std::lower_bound(first, m_byOffset.end(), Key{offset, end}, before);
    return u64(last - first);
}
}  // namespace

bool CExFatCompleteSearch::MayKeep(ExFatSightingKind kind, size_t kept, u64 sector) {
    if (kept < m_caps[kind]) return true;
    if (m_turnedAway[kind]++ == 0) {
        m_firstTurnedAway[kind] = sector;
        ReleaseTrace("exFAT deep search: %s reached its cap of %zu at sector %llu", kSightingKindNames[kind],
                     m_caps[kind], static_cast<unsigned long long>(sector));
    }
    return false;
}

void CExFatCompleteSearch::LogTurnedAway() const {
    for (size_t kind = 0; kind < kExFatSightingKinds; ++kind) {
        if (m_turnedAway[kind] == 0) continue;
        ReleaseTrace("exFAT deep search: %s: %llu past the cap of %zu turned away, from sector %llu on",
                     kSightingKindNames[kind], static_cast<unsigned long long>(m_turnedAway[kind]), m_caps[kind],
                     static_cast<unsigned long long>(m_firstTurnedAway[kind]));
    }
}

bool CExFatCompleteSearch::RootListsBitmap(const ExFatBootSighting& b, u64 start) {
    const CExFatBootSector boot(b.bytes.data());
    const u32 root = boot.GetRootCluster();
    if (root < kFirstCluster) return false;
    const u64 sector = start + boot.GetClusterHeapOffset() + u64(root - kFirstCluster) * boot.GetSectorsPerCluster();
    std::vector<u8> buffer;
    if (!ReadSector(sector, buffer)) return false;
    const ExFatWalkLimits limits = ExFatWalkLimits::Make(
        boot.GetVolumeLength(), Log2Floor(m_sectorSize), Log2Floor(m_sectorSize) + Log2Floor(boot.GetSectorsPerCluster()));
    for (size_t at = 0; at + kEntrySize <= buffer.size(); at += kEntrySize) {
        if (buffer[at] == kExFatBitmapEntry && CheckExFatBitmapEntry(buffer.data() + at, limits)) return true;
    }
    return false;
}

bool CExFatCompleteSearch::FatStartAt(u64 sector) {
    std::vector<u8> buffer;
    if (!ReadSector(sector, buffer)) return false;
    return std::memcmp(buffer.data(), kFatMedia, sizeof(kFatMedia)) == 0;
}

void CExFatCompleteSearch::EndSearch() {
    m_walker.SetSetSink(nullptr);
    LogTurnedAway();
    if (m_device != nullptr) {
        WalkFolderSector(m_device->GetTotalSectors(), nullptr);
        if (m_droppedBlocks != 0) {
            ReleaseTrace("exFAT deep search: %llu folder blocks dropped past the budget of %llu bytes, %zu kept",
                         static_cast<unsigned long long>(m_droppedBlocks), static_cast<unsigned long long>(m_budget),
                         m_dirBlocks.size());
        }
        m_walker.DropUnjoinedCuts();
        {
            // A paused preview makes its candidates from the sightings under their lock.
            const auto lk = m_looks.Hold();
            std::sort(m_boots.begin(), m_boots.end(), [](const auto& a, const auto& b) { return a.sector < b.sector; });
            std::sort(m_setStarts.begin(), m_setStarts.end());
            std::sort(m_fatStarts.begin(), m_fatStarts.end());
        }
        // Until the search has ended a preview gets candidates made from the sightings, so the
        // list below may be made and changed without the lock.
        m_candidates = MakeBootCandidates([this](u64 sector) { return FatStartAt(sector); },
                                          [this](const ExFatBootSighting& b, u64 start) { return RootListsBitmap(b, start); });
        m_layoutReadsLeft = kMaxLayoutReads;
        AddDirectoryCandidates();
        ShareOutBlocks();
        SeatGuests();
        if (m_pool != nullptr) {
            for (auto& c : m_candidates) CountTypeMatches(m_hints, *m_pool, *c, c->GetHeapStart());
        }
    }
    m_looks.End();
}

std::vector<std::unique_ptr<CExFatSearchedPartitionInfo>> CExFatCompleteSearch::MakeBootCandidates(
    const std::function<bool(u64)>& fatStartAt,
    const std::function<bool(const ExFatBootSighting&, u64 start)>& confirmUnvoted) {
    const u64 deviceSectors = m_device->GetTotalSectors();
    auto sightingAt = [&](u64 sector) -> const ExFatBootSighting* {
        auto it = std::lower_bound(m_boots.begin(), m_boots.end(), sector,
                                   [](const ExFatBootSighting& b, u64 s) { return b.sector < s; });
        return it != m_boots.end() && it->sector == sector ? &*it : nullptr;
    };
    // Where each boot sector puts its volume.
    struct Placed {
        const ExFatBootSighting* boot;
        u64 start;
        u32 flags;
        bool fat;
        u64 heap;
        u64 end;
        u64 spc;
        u64 votes;
    };
    std::vector<Placed> placed;
    for (const ExFatBootSighting& b : m_boots) {
        // The backup boot sector twelve sectors after an identical main one.
        if (b.sector >= kBackupBootOffset) {
            const ExFatBootSighting* main = sightingAt(b.sector - kBackupBootOffset);
            if (main != nullptr && SameBootSector(*main, b)) continue;
        }
        const CExFatBootSector boot(b.bytes.data());
        u64 start = b.sector;
        u32 flags = kExFatFlagBoot;
        bool fat = fatStartAt(start + boot.GetFatOffset());
        if (!fat && b.sector >= kBackupBootOffset && fatStartAt(b.sector - kBackupBootOffset + boot.GetFatOffset())) {
            // Only the backup survived: the volume starts twelve sectors earlier.
            start = b.sector - kBackupBootOffset;
            flags = kExFatFlagBackupBoot;
            fat = true;
        } else {
            const ExFatBootSighting* backup = sightingAt(b.sector + kBackupBootOffset);
            if (backup != nullptr && SameBootSector(*backup, b)) flags |= kExFatFlagBackupBoot;
        }
        if (start >= deviceSectors) continue;
        const u64 end = start + std::min<u64>(boot.GetVolumeLength(), deviceSectors - start);
        placed.push_back({&b, start, flags, fat, start + boot.GetClusterHeapOffset(), end, boot.GetSectorsPerCluster(), 0});
    }
    // The votes, counted by cluster size: a boot sector's are the entry sets that begin clusters
    // of its heap.
    {
        std::vector<Placed*> bySize;
        for (Placed& p : placed) bySize.push_back(&p);
        std::stable_sort(bySize.begin(), bySize.end(), [](const Placed* a, const Placed* b) { return a->spc < b->spc; });
        SetStartVotes votes(m_setStarts);
        for (Placed* p : bySize) p->votes = votes.Count(p->heap, p->end, p->spc);
    }
    std::map<u64, std::unique_ptr<CExFatSearchedPartitionInfo>> byStart;
    u64 unconfirmed = 0;  // boot sectors whose confirmation the caps may have turned away
    u64 firstUnconfirmed = 0;
    for (const Placed& p : placed) {
        const ExFatBootSighting& b = *p.boot;
        const CExFatBootSector boot(b.bytes.data());
        const u64 start = p.start;
        u32 flags = p.flags;
        if (byStart.count(start) != 0) continue;
        if (p.fat) flags |= kExFatFlagFatSeen;
        if (boot.GetFatCount() > 1 && fatStartAt(start + boot.GetFatOffset() + boot.GetFatLength())) {
            flags |= kExFatFlagSecondFatSeen;
        }
        const u64 total = p.end - start;
        if (p.heap >= p.end || p.spc == 0) continue;
        if (!p.fat && p.votes == 0) {
            // A boot sector that neither its FAT nor a folder confirms is a copy inside some
            // file, unless what would confirm it was turned away by a cap: then its own root
            // directory must.
            const bool setStartsLost = m_turnedAway[kExFatSetStarts] != 0 && m_firstTurnedAway[kExFatSetStarts] < p.end;
            const bool fatLost =
                m_turnedAway[kExFatFatStarts] != 0 && m_firstTurnedAway[kExFatFatStarts] <= start + boot.GetFatOffset();
            if (!setStartsLost && !fatLost) continue;
            if (!confirmUnvoted(b, start)) {
                if (unconfirmed++ == 0) firstUnconfirmed = b.sector;
                continue;
            }
            ReleaseTrace("exFAT boot sector at sector %llu: the sightings that would confirm it were turned away past "
                         "their cap; its root directory confirms the volume",
                         static_cast<unsigned long long>(b.sector));
        }
        if (p.votes != 0) flags |= kExFatFlagFromEntrySets;

        auto c = std::make_unique<CExFatSearchedPartitionInfo>(m_sectorSize);
        c->SetFileSystemCode(kFsExFat);
        c->SetSectorsPerCluster(u32(p.spc));
        c->SetPartitionStart(start);
        c->SetFoundStart(start);
        c->SetTotalSectors(total);
        c->SetBoot(b.bytes.data());
        c->SetFlags(flags);
        c->SetEvidenceCount(p.votes);
        c->SetBootScore(ExFatCandidateScore(flags));
        c->SetSearchController(this);
        byStart.emplace(start, std::move(c));
    }
    if (unconfirmed != 0) {
        ReleaseTrace("exFAT deep search: %llu boot sectors from sector %llu on, whose confirming sightings may have "
                     "been turned away past their cap, dropped: neither their FAT nor their root directory confirms "
                     "them",
                     static_cast<unsigned long long>(unconfirmed), static_cast<unsigned long long>(firstUnconfirmed));
    }
    std::vector<std::unique_ptr<CExFatSearchedPartitionInfo>> out;
    for (auto& [start, c] : byStart) out.push_back(std::move(c));
    return out;
}

void CExFatCompleteSearch::HandOutSet(const ExFatEntrySet& set) {
    if (!m_handOut || m_builder == nullptr) return;
    TreeNodePtr node = CreateFileNode();
    PropertiesRef<CExFatFileProperties> p(NewExFatFileProperties());
    if (!node || !p) return;
    p->SetName(set.name.c_str());
    p->SetFirstCluster(set.firstCluster);
    p->SetAttributes(set.attributes);
    p->SetCreationTime(ExFatTimeToFileTime(set.createTime));
    p->SetModificationTime(ExFatTimeToFileTime(set.modifyTime));
    p->SetAccessTime(ExFatTimeToFileTime(set.accessTime));
    p->SetSize(set.dataLength);
    p->SetState(set.inUse != 0 ? 0 : kStateDeleted);
    p->SetChainFlag(set.inUse == 0 || set.noFatChain != 0 ? 1 : 0);
    node->SetFileProperties(p.release());
    // Which volume the set belongs to is not known yet: it hangs below the provisional root, and
    // its own sector places it on a candidate when it is looked at before the trees exist.
    node->SetRecordSector(set.position);
    node->SetId(set.position);
    node->SetParentId(kProvisionalRootId);
    u32 error = 0;
    if (m_builder->AddFoundFileNode(node.get(), kTreeKindExFat, &error) != 0) {
        node.release();
        return;
    }
    ReleaseTrace("exFAT entries found from sector %llu on are not shown while scanning: refused (0x%x)",
                 static_cast<unsigned long long>(set.position), unsigned(error));
    m_handOut = false;
}

BitmapVerdict CExFatCompleteSearch::ProbeBitmap(u64 sector, const ExFatDirectoryBlock& root, u32 rootCluster) {
    std::vector<u8> buffer;
    if (!ReadSector(sector, buffer)) return BitmapVerdict::Unknown;
    bool checked = false;
    const ExFatRootEntries& entries = root.RootEntries();
    for (u32 cluster : {entries.bitmapCluster, entries.upcaseCluster, rootCluster}) {
        const u64 bit = u64(cluster) - 2;
        if (cluster < 2 || bit / 8 >= buffer.size()) continue;
        if ((buffer[bit / 8] & (1u << (bit % 8))) == 0) return BitmapVerdict::Disagrees;
        checked = true;
    }
    return checked ? BitmapVerdict::Agrees : BitmapVerdict::Unknown;
}

u64 CExFatCompleteSearch::FindFatOf(const ExFatInferredVolume& volume, u32 fatLength) {
    auto below = std::lower_bound(m_fatStarts.begin(), m_fatStarts.end(), volume.heapStart);
    std::vector<u8> buffer;
    const u32 entriesPerSector = m_sectorSize / kFatEntryBytes;
    for (size_t tried = 0; below != m_fatStarts.begin() && tried < kFatStartsTried; ++tried) {
        const u64 fat = *--below;
        if (fat + fatLength > volume.heapStart) continue;
        // The FAT entries of the bitmap's and the root's first clusters are in use on a live volume.
        bool inUse = true;
        for (u32 cluster : {volume.bitmapCluster, volume.rootCluster}) {
            if (!ReadSector(fat + cluster / entriesPerSector, buffer)) {
                inUse = false;
                break;
            }
            if (ReadLE32(buffer.data() + (cluster % entriesPerSector) * kFatEntryBytes) == 0) inUse = false;
        }
        if (inUse) return fat;
    }
    return 0;
}

void CExFatCompleteSearch::AddDirectoryCandidates() {
    const u64 deviceSectors = m_device->GetTotalSectors();
    std::sort(m_upcaseStarts.begin(), m_upcaseStarts.end());
    const ExFatPartitionFinder finder(deviceSectors, m_sectorSize);
    const std::vector<ExFatInferredVolume> volumes =
        finder.Find(m_dirBlocks, m_upcaseStarts, [this](u64 sector, const ExFatDirectoryBlock& root, u32 rootCluster) {
            return ProbeBitmap(sector, root, rootCluster);
        });
    for (const ExFatInferredVolume& v : volumes) AddInferredCandidate(v, 0);

    // Volumes whose root directory is gone too: the layouts their other folders agree on, among
    // the blocks no volume found so far reaches or places.
    std::vector<ExFatKnownLayout> known;
    for (const auto& c : m_candidates) {
        ExFatKnownLayout k;
        k.heapStart = c->GetHeapStart();
        k.sectorsPerCluster = c->GetSectorsPerCluster();
        k.volumeEnd = c->GetPartitionStart() + c->GetTotalSectors();
        k.volumeStart = c->GetPartitionStart();
        const u32 flags = c->GetFlags();
        k.evidence = ((flags & kExFatFlagBoot) != 0 ? kExFatEvidenceMainBoot : 0) |
                     ((flags & kExFatFlagBackupBoot) != 0 ? kExFatEvidenceBackupBoot : 0) |
                     ((flags & kExFatFlagFromDirectoryBlocks) != 0 ? kExFatEvidenceRootBlock : 0);
        known.push_back(k);
    }
    std::vector<bool> knownBlocks(m_dirBlocks.size(), false);
    const ExFatBlockOwners owners(m_dirBlocks, m_walker.GetCutSetLinks(), deviceSectors, m_sectorSize);
    for (const ExFatOwnerLayout& layout : OwnerLayouts()) {
        const std::vector<ExFatBlockFit> fits = owners.Fits(layout);
        for (size_t i = 0; i < fits.size(); ++i) knownBlocks[i] = knownBlocks[i] || fits[i] >= ExFatBlockFit::Placed;
    }
    ExFatBlockRules rules(m_dirBlocks, deviceSectors, m_sectorSize);
    rules.SetCutSetLinks(m_walker.GetCutSetLinks());
    rules.SetKnownBlocks(std::move(knownBlocks));
    ExFatLayoutEvidence evidence;
    evidence.fatStarts = &m_fatStarts;
    evidence.upcaseStarts = &m_upcaseStarts;
    evidence.read = [this](const ExFatDirectoryBlock& block, u64 heap, u64 spc) { return LayoutReadsConfirm(block, heap, spc); };
    rules.SetLayoutEvidence(std::move(evidence));
    std::vector<ExFatBlockLayout> layouts = rules.Find(known);
    if (rules.UndecidedBlocks() != 0) {
        ReleaseTrace("exFAT deep search: %llu lone folders, from sector %llu on, whose files' lengths allow several "
                     "cluster sizes and of which nothing else on the device confirms one, are not listed",
                     static_cast<unsigned long long>(rules.UndecidedBlocks()),
                     static_cast<unsigned long long>(rules.FirstUndecidedSector()));
    }
    for (ExFatBlockLayout& l : layouts) {
        if (l.heapStart >= deviceSectors || l.sectorsPerCluster == 0) continue;
        ExFatInferredVolume v;
        v.heapStart = l.heapStart;
        v.sectorsPerCluster = u32(l.sectorsPerCluster);
        // The walk does not read the stand-in root. Folders written as one extent leave their
        // FAT entries free, but a formatted volume chains its first heap cluster (the bitmap).
        v.rootCluster = kFirstCluster;
        v.bitmapCluster = kFirstCluster;
        v.clusterCount = (deviceSectors - l.heapStart) / l.sectorsPerCluster;
        v.blocks = l.claimed.size();
        AddInferredCandidate(v, kExFatFlagRootUnknown, std::move(l.claimed));
    }
}

void CExFatCompleteSearch::AddInferredCandidate(const ExFatInferredVolume& v, u32 extraFlags, std::vector<u64> claimed) {
    const u64 deviceSectors = m_device->GetTotalSectors();
    bool known = false;
    const u64 heapEnd = v.heapStart + std::min<u64>(v.clusterCount, (deviceSectors - v.heapStart) / v.sectorsPerCluster) *
                                          v.sectorsPerCluster;
    for (const auto& c : m_candidates) {
        // A layout of a volume found already is that volume; one that reaches further may be a
        // longer volume formatted at that start before it, whose folders past the end the blocks'
        // owners give it.
        if (c->GetHeapStart() == v.heapStart && c->GetSectorsPerCluster() == v.sectorsPerCluster &&
            heapEnd <= c->GetPartitionStart() + c->GetTotalSectors()) {
            c->SetFlags(c->GetFlags() | kExFatFlagFromEntrySets);
            known = true;
        }
    }
    if (known) return;
    const u64 fatBytes = (v.clusterCount + 2) * kFatEntryBytes;
    const u64 fatLength = (fatBytes + m_sectorSize - 1) / m_sectorSize;
    if (fatLength > 0xFFFFFFFFu) return;
    const u64 fat = FindFatOf(v, u32(fatLength));
    std::array<u8, CExFatSearchedPartitionInfo::kBootBytes> boot{};
    u64 start = 0;
    u64 length = 0;
    // A volume whose boot region and FAT check out further on is not part of this one, unless it
    // is the content of one of this one's files (a stored disk image).
    u64 limit = ~u64(0);
    std::vector<ExFatFileSpan> files;
    bool filesListed = false;
    for (const auto& other : m_candidates) {
        const u64 otherStart = other->GetPartitionStart();
        if (!IsCheckedBootVolume(*other) || otherStart <= v.heapStart || otherStart >= limit) continue;
        if (!filesListed) {
            files = FileSpansOf(v.heapStart, v.sectorsPerCluster);
            filesListed = true;
        }
        if (!LiesInFile(files, otherStart, otherStart + other->GetTotalSectors())) limit = otherStart;
    }
    if (!MakeExFatStandInBoot(v, fat, u32(fatLength), m_sectorSize, limit, deviceSectors, boot, start, length)) return;
    auto c = std::make_unique<CExFatSearchedPartitionInfo>(m_sectorSize);
    const u32 flags =
        kExFatFlagFromDirectoryBlocks | kExFatFlagFromEntrySets | extraFlags | (fat != 0 ? kExFatFlagFatSeen : 0);
    c->SetFileSystemCode(kFsExFat);
    c->SetSectorsPerCluster(v.sectorsPerCluster);
    c->SetPartitionStart(start);
    c->SetFoundStart(start);
    c->SetTotalSectors(length);
    c->SetBoot(boot.data());
    c->SetFlags(flags);
    c->SetEvidenceCount(v.blocks);
    c->SetBootScore(ExFatCandidateScore(flags));
    c->SetSearchController(this);
    std::sort(claimed.begin(), claimed.end());
    if (!claimed.empty()) m_claimedBlocks[c.get()] = std::move(claimed);
    m_candidates.push_back(std::move(c));
}

std::vector<ExFatOwnerLayout> CExFatCompleteSearch::OwnerLayouts() const {
    std::vector<ExFatOwnerLayout> layouts;
    for (const auto& c : m_candidates) {
        const CExFatBootSector boot(c->GetBoot().data());
        const u32 flags = c->GetFlags();
        ExFatOwnerLayout l;
        l.heapStart = c->GetHeapStart();
        l.sectorsPerCluster = c->GetSectorsPerCluster();
        l.volumeStart = c->GetPartitionStart();
        l.volumeEnd = l.volumeStart + c->GetTotalSectors();
        l.clusterCount = boot.GetClusterCount();
        l.rootCluster = (flags & kExFatFlagRootUnknown) == 0 ? boot.GetRootCluster() : 0;
        if (IsCheckedBootVolume(*c)) {
            l.strength = ExFatLayoutStrength::CheckedBoot;
        } else if ((flags & (kExFatFlagBoot | kExFatFlagBackupBoot)) != 0) {
            l.strength = ExFatLayoutStrength::BootSector;
        } else if ((flags & kExFatFlagRootUnknown) == 0) {
            l.strength = ExFatLayoutStrength::RootBlock;
        }
        if (auto claimed = m_claimedBlocks.find(c.get()); claimed != m_claimedBlocks.end()) l.placed = claimed->second;
        layouts.push_back(std::move(l));
    }
    return layouts;
}

void CExFatCompleteSearch::ShareOutBlocks() {
    const ExFatBlockOwners owners(m_dirBlocks, m_walker.GetCutSetLinks(), m_device->GetTotalSectors(), m_sectorSize);
    const ExFatFileTailWitness tails = [this](const ExFatDirectoryBlock& block, u64 heap, u64 spc) {
        return FileTailsFit(block, heap, spc);
    };
    // Each round drops at least one candidate, so the rounds end.
    while (true) {
        m_blockOwners = owners.Assign(OwnerLayouts(), tails);
        const std::vector<bool> holdsFiles = CandidatesOwningFiles();
        std::vector<std::unique_ptr<CExFatSearchedPartitionInfo>> kept;
        for (size_t k = 0; k < m_candidates.size(); ++k) {
            std::unique_ptr<CExFatSearchedPartitionInfo>& c = m_candidates[k];
            const bool guessed = (c->GetFlags() & (kExFatFlagBoot | kExFatFlagBackupBoot)) == 0;
            if (!guessed || holdsFiles[k]) {
                kept.push_back(std::move(c));
                continue;
            }
            ReleaseTrace("exFAT layout found from folders (heap at sector %llu, %u sectors per cluster) dropped: it "
                         "owns no folder with a file, its folders fitting other volumes at least as well",
                         static_cast<unsigned long long>(c->GetHeapStart()), unsigned(c->GetSectorsPerCluster()));
            m_claimedBlocks.erase(c.get());
        }
        if (kept.size() == m_candidates.size()) {
            m_candidates = std::move(kept);
            break;
        }
        m_candidates = std::move(kept);
    }
    for (const auto& c : m_candidates) {
        if ((c->GetFlags() & kExFatFlagFromDirectoryBlocks) == 0) continue;
        const CExFatBootSector boot(c->GetBoot().data());
        ReleaseTrace("exFAT volume found from its folders: heap at sector %llu, %u sectors per cluster, root cluster %u",
                     static_cast<unsigned long long>(c->GetHeapStart()), unsigned(c->GetSectorsPerCluster()),
                     (c->GetFlags() & kExFatFlagRootUnknown) != 0 ? 0u : unsigned(boot.GetRootCluster()));
    }
}

std::vector<bool> CExFatCompleteSearch::CandidatesOwningFiles() const {
    std::vector<bool> owning(m_candidates.size(), false);
    for (size_t i = 0; i < m_blockOwners.size(); ++i) {
        if (m_blockOwners[i] != ExFatBlockOwners::kNoOwner && m_dirBlocks[i].setCount != 0) owning[m_blockOwners[i]] = true;
    }
    return owning;
}

void CExFatCompleteSearch::SeatGuests() {
    const std::vector<bool> ownsFiles = CandidatesOwningFiles();
    const std::vector<ExFatOwnerLayout> layouts = OwnerLayouts();
    // The files each candidate's folders list, found once it is asked about.
    std::map<const CExFatSearchedPartitionInfo*, std::vector<ExFatFileSpan>> files;
    const auto filesOf = [&](const CExFatSearchedPartitionInfo& c) -> const std::vector<ExFatFileSpan>& {
        auto it = files.find(&c);
        if (it == files.end()) it = files.emplace(&c, FileSpansOf(c.GetHeapStart(), c.GetSectorsPerCluster())).first;
        return it->second;
    };
    // Strongest first: its own structures, then the folders it holds, then the order found.
    std::vector<size_t> order(m_candidates.size());
    std::iota(order.begin(), order.end(), size_t(0));
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
        if (layouts[a].strength != layouts[b].strength) return layouts[a].strength > layouts[b].strength;
        return m_candidates[a]->GetEvidenceCount() > m_candidates[b]->GetEvidenceCount();
    });
    for (size_t at = 0; at < order.size(); ++at) {
        const CExFatSearchedPartitionInfo& guest = *m_candidates[order[at]];
        if (!ownsFiles[order[at]]) continue;
        const u64 start = guest.GetPartitionStart();
        const u64 end = start + guest.GetTotalSectors();
        for (size_t h = 0; h < at; ++h) {
            CExFatSearchedPartitionInfo* host = m_candidates[order[h]].get();
            const u64 hostStart = host->GetPartitionStart();
            const u64 hostEnd = hostStart + host->GetTotalSectors();
            if (m_guestOf.count(host) != 0 || hostStart >= end || hostEnd <= start) continue;
            // A volume stored in a file of the other is that file's content, not a volume
            // formatted over it.
            if (LiesInFile(filesOf(*host), start, end) || LiesInFile(filesOf(guest), hostStart, hostEnd)) {
                continue;
            }
            m_guestOf.emplace(&guest, host);
            ReleaseTrace("exFAT volume of heap sector %llu stands in the tree of the volume of heap sector %llu, which "
                         "overlaps it: each holds its own folders",
                         static_cast<unsigned long long>(guest.GetHeapStart()),
                         static_cast<unsigned long long>(host->GetHeapStart()));
            break;
        }
    }
}

bool CExFatCompleteSearch::ReadForLayouts(u64 sector, std::vector<u8>& buffer) {
    if (m_layoutReadsLeft == 0) return false;
    if (--m_layoutReadsLeft == 0) {
        ReleaseTrace("exFAT deep search: the %llu sector reads that weigh layouts by their files are spent; further "
                     "layouts are weighed by their folders alone",
                     static_cast<unsigned long long>(kMaxLayoutReads));
    }
    return ReadSector(sector, buffer);
}

u32 CExFatCompleteSearch::FileTailsFit(const ExFatDirectoryBlock& block, u64 heap, u64 spc) {
    const u64 clusterBytes = spc * m_sectorSize;
    const u64 deviceSectors = m_device->GetTotalSectors();
    std::vector<u8> sector;
    u32 read = 0;
    u32 fit = 0;
    for (const ExFatDirectoryBlock::Extent& f : block.files) {
        // A file that fills its last sector leaves nothing to tell; one of several clusters in a
        // chain ends where its chain says.
        if (f.directory || f.length % m_sectorSize == 0 || (!f.contiguous && f.length > clusterBytes)) continue;
        if (read == kTailFilesRead) break;
        if (f.firstCluster < kFirstCluster) continue;
        const u64 at = heap + u64(f.firstCluster - kFirstCluster) * spc + (f.length - 1) / m_sectorSize;
        if (at >= deviceSectors) continue;
        ++read;
        if (!ReadForLayouts(at, sector)) continue;
        const size_t last = size_t((f.length - 1) % m_sectorSize);
        const bool holdsData = std::any_of(sector.begin(), sector.begin() + i64(last) + 1, [](u8 b) { return b != 0; });
        const bool zerosAfter = std::all_of(sector.begin() + i64(last) + 1, sector.begin() + m_sectorSize, [](u8 b) { return b == 0; });
        fit += holdsData && zerosAfter ? 1 : 0;
    }
    return fit;
}

u32 CExFatCompleteSearch::LayoutReadsConfirm(const ExFatDirectoryBlock& block, u64 heap, u64 spc) {
    u32 score = FileTailsFit(block, heap, spc);
    const u64 deviceSectors = m_device->GetTotalSectors();
    const u64 clusters = (deviceSectors - heap) / spc;
    if (m_pool != nullptr) {
        // A signature match weighs as two files' tails: it names the type the file's name gives.
        constexpr u32 kSignatureWeight = 2;
        score += u32(std::min<u64>(CountHintsFoundAt(m_hints, *m_pool, block.firstSector, block.firstSector + block.sectorCount,
                                                     heap, spc, clusters),
                                   kTailFilesRead)) *
                 kSignatureWeight;
    }
    // The allocation bitmap begins the heap; a live volume marks its own first cluster, the
    // folder's cluster and its live files' first clusters as in use.
    const u64 own = (block.firstSector - heap) / spc + kFirstCluster;
    std::vector<u32> inUse{kFirstCluster, u32(std::min<u64>(own, kExFatChainEnd))};
    for (const ExFatDirectoryBlock::Extent& f : block.files) {
        if (inUse.size() == kTailFilesRead) break;
        inUse.push_back(f.firstCluster);
    }
    const u64 bitmapSectors = (clusters / 8 + m_sectorSize - 1) / m_sectorSize;
    std::vector<u8> sector;
    for (u32 cluster : inUse) {
        if (cluster < kFirstCluster || cluster >= kExFatChainEnd) return score;
        const u64 byte = (cluster - kFirstCluster) / 8;
        if (byte / m_sectorSize >= bitmapSectors || !ReadForLayouts(heap + byte / m_sectorSize, sector)) return score;
        if ((sector[byte % m_sectorSize] & (1u << ((cluster - kFirstCluster) % 8))) == 0) return score;
    }
    return score + ExFatLayoutEvidence::kStructureWeight;
}

std::vector<ExFatFileSpan> CExFatCompleteSearch::FileSpansOf(u64 heapStart, u64 spc) const {
    std::vector<ExFatFileSpan> spans;
    const u64 clusterBytes = spc * m_sectorSize;
    if (spc == 0) return spans;
    for (auto it = FirstExFatBlockFrom(m_dirBlocks, heapStart); it != m_dirBlocks.end(); ++it) {
        if ((it->firstSector - heapStart) % spc != 0) continue;
        for (const ExFatDirectoryBlock::Extent& f : it->files) {
            if (f.directory || f.firstCluster < kFirstCluster) continue;
            // Without its chain only the first cluster of a fragmented file is known.
            const u64 clusters = f.contiguous ? (f.length + clusterBytes - 1) / clusterBytes : 1;
            const u64 first = heapStart + u64(f.firstCluster - kFirstCluster) * spc;
            spans.push_back({first, first + clusters * spc, f.length, it->firstSector});
        }
    }
    std::sort(spans.begin(), spans.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    return spans;
}

bool CExFatCompleteSearch::LiesInFile(const std::vector<ExFatFileSpan>& files, u64 start, u64 end) const {
    // Files of one volume do not overlap: the few that begin last before `start` decide.
    constexpr size_t kSpansLookedBack = 64;
    const u64 volumeBytes = (end - start) * m_sectorSize;
    auto it = std::upper_bound(files.begin(), files.end(), start, [](u64 s, const ExFatFileSpan& f) { return s < f.first; });
    for (size_t looked = 0; it != files.begin() && looked < kSpansLookedBack; ++looked) {
        --it;
        // The folders of the volume inside count their clusters from its own heap.
        const bool listedInside = it->listedAt >= start && it->listedAt < end;
        if (!listedInside && start < it->end && it->bytes >= volumeBytes) return true;
    }
    return false;
}

bool IsCheckedBootVolume(const CExFatSearchedPartitionInfo& c) {
    const u32 flags = c.GetFlags();
    return (flags & (kExFatFlagBoot | kExFatFlagBackupBoot)) != 0 && (flags & kExFatFlagFatSeen) != 0;
}

u64 ExFatCandidateScore(u32 flags) {
    constexpr u64 kBoth = 50;
    constexpr u64 kOne = 45;
    constexpr u64 kNone = 10;
    auto grade = [&](u32 a, u32 b) {
        const bool hasA = (flags & a) != 0;
        const bool hasB = (flags & b) != 0;
        return hasA && hasB ? kBoth : (hasA || hasB ? kOne : kNone);
    };
    return grade(kExFatFlagBoot, kExFatFlagBackupBoot) + grade(kExFatFlagFatSeen, kExFatFlagSecondFatSeen);
}

bool MakeExFatStandInBoot(const ExFatInferredVolume& v, u64 fatSector, u32 fatLength, u32 sectorSize, u64 limit,
                          u64 deviceSectors, std::array<u8, 512>& boot, u64& volumeStart, u64& volumeLength) {
    if (v.sectorsPerCluster == 0 || sectorSize < 512) return false;
    if (fatSector == 0) {
        // No FAT: one sector before the heap stands in for it, and the walk is told not to read it.
        fatLength = 1;
        fatSector = v.heapStart > fatLength ? v.heapStart - fatLength : 0;
    }
    if (fatSector < kBootRegionsSectors || fatLength == 0) return false;
    volumeStart = fatSector - kBootRegionsSectors;
    const u64 heapOffset = v.heapStart - volumeStart;
    if (kBootRegionsSectors + fatLength > heapOffset || heapOffset > 0xFFFFFFFFu || volumeStart >= limit ||
        volumeStart >= deviceSectors) {
        return false;
    }
    u64 clusters = std::min<u64>(v.clusterCount, kExFatChainEnd - 2);
    const u64 ownLength = std::min(heapOffset + clusters * v.sectorsPerCluster, limit - volumeStart);
    if (ownLength <= heapOffset) return false;
    clusters = std::min(clusters, (ownLength - heapOffset) / v.sectorsPerCluster);
    if (clusters == 0) return false;
    volumeLength = std::min(ownLength, deviceSectors - volumeStart);
    if (volumeLength <= heapOffset) return false;

    boot.fill(0);
    boot[0] = 0xEB;
    boot[1] = 0x76;
    boot[2] = 0x90;
    std::memcpy(boot.data() + 3, "EXFAT   ", 8);
    PutLE(boot.data() + 64, volumeStart, 8);
    PutLE(boot.data() + 72, ownLength, 8);
    PutLE(boot.data() + 80, kBootRegionsSectors, 4);
    PutLE(boot.data() + 84, fatLength, 4);
    PutLE(boot.data() + 88, heapOffset, 4);
    PutLE(boot.data() + 92, clusters, 4);
    PutLE(boot.data() + 96, v.rootCluster, 4);
    PutLE(boot.data() + 104, kStandInRevision, 2);
    boot[108] = u8(Log2Floor(sectorSize));
    boot[109] = u8(Log2Floor(v.sectorsPerCluster));
    boot[110] = kStandInFatCount;
    boot[111] = kStandInDrive;
    boot[112] = kStandInUnknownUse;
    boot[510] = 0x55;
    boot[511] = 0xAA;
    return IsExFatBootSector(boot.data(), sectorSize);
}

u32 CExFatCompleteSearch::ApplyToFileNode(CFileNode* node, CSearchedPartitionInfo* candidate) {
    if (m_looks.Ended() || node == nullptr || candidate == nullptr) return 1;
    IFileProperties* p = node->GetFileProperties();
    if (p == nullptr || p->GetFileSystemKind() != kPropertiesExFat || (p->GetAttributes() & kAttrDirectory) != 0) {
        return 1;
    }
    auto* exfat = static_cast<CExFatFileProperties*>(p);
    const u64 clusterBytes = u64(candidate->GetSectorsPerCluster()) * candidate->GetSectorSize();
    const u64 size = p->GetSize();
    const u32 firstCluster = exfat->GetFirstCluster();
    if (clusterBytes == 0 || size == 0 || firstCluster < kFirstCluster || firstCluster >= kExFatChainEnd) return 1;
    // No FAT is known before the trees are built: of a live file whose clusters its FAT chain
    // orders, only the first is known to be its own, and the writer counts the rest unread.
    const u64 clusters = exfat->GetChainFlag() == 0 ? 1 : (size + clusterBytes - 1) / clusterBytes;
    auto runs = std::make_unique<CExFatDataRunList>();
    runs->AppendClusterRun({i64(firstCluster - kFirstCluster), clusters});
    exfat->SetRunList(runs.release());
    return 1;
}

void CExFatCompleteSearch::GetSearchedPartitions(std::vector<CSearchedPartitionInfo*>& out) {
    // A pause is noticed between steps of the scan thread, which may still be adding a sighting
    // or ending the search.
    const auto lk = m_looks.Hold();
    // The loop is paused on its own thread: the boot sectors and FAT starts seen so far make the
    // candidates, and the device is not read.
    const u64 seen = m_boots.size() + m_fatStarts.size() + m_setStarts.size();
    const bool copied = m_looks.HandOutCopies(out, seen, [this] {
        std::vector<std::unique_ptr<CExFatSearchedPartitionInfo>> made;
        if (m_device == nullptr) return made;
        // The device is not read: a volume whose evidence the caps may have turned away is kept
        // for the look.
        return MakeBootCandidates(
            [this](u64 sector) { return std::binary_search(m_fatStarts.begin(), m_fatStarts.end(), sector); },
            [](const ExFatBootSighting&, u64) { return true; });
    });
    if (copied) return;
    for (auto& c : m_candidates) {
        if (m_guestOf.count(c.get()) == 0) out.push_back(c.get());
    }
}

u32 CExFatCompleteSearch::BuildFileSystemTrees(std::vector<CSearchedPartitionInfo*>& chosen) {
    if (chosen.empty() || !m_builder || !m_device) return 0;
    CExFatSearchedPartitionInfo* c = FindOwnCandidate(m_candidates, chosen.front());
    if (!c) return 0;
    CFileSystemNode* root = BuildTreeOf(c);
    if (root == nullptr) return 0;
    // The volumes formatted over this one, or this one over them, stand inside its tree, each
    // read with its own layout.
    for (const auto& guest : m_candidates) {
        const auto host = m_guestOf.find(guest.get());
        if (host == m_guestOf.end() || host->second != c) continue;
        CFileSystemNode* inner = BuildTreeOf(guest.get());
        if (inner == nullptr) continue;
        char name[kGuestNameBytes];
        const unsigned long long clusterBytes = u64(guest->GetSectorsPerCluster()) * m_sectorSize;
        u64 start = 0;
        if (KnownStartOf(*guest, start)) {
            std::snprintf(name, sizeof(name), "%s at sector %llu, %llu-byte clusters", FileSystemTypeName(kFsExFat),
                          static_cast<unsigned long long>(start), clusterBytes);
        } else {
            std::snprintf(name, sizeof(name), "%s at an unknown sector, heap at sector %llu, %llu-byte clusters",
                          FileSystemTypeName(kFsExFat), static_cast<unsigned long long>(guest->GetHeapStart()), clusterBytes);
        }
        if (IFileProperties* p = inner->GetFileProperties()) p->SetName(name);
        inner->SetParentId(root->GetId());
        root->AddChild(inner);
    }
    // A refused tree is still wholly ours: its folders and files go with its root.
    if (m_builder->ApplyFilter(root, c) == 0) {
        DestroySubtree(root);
        return 0;
    }
    return 1;
}

CFileSystemNode* CExFatCompleteSearch::BuildTreeOf(CExFatSearchedPartitionInfo* c) {
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
    // The search only places the volume and makes its root: the tree comes from the blocks.
    walk.SetRootKnown(false);
    walk.SetFatUsable(FatIsTheVolumes(*c, *walked));
    // The root directory a volume's own boot region and FAT place lists that volume's bitmap; a
    // volume inside another's tree may have lost both to it.
    walk.SetBitmapTrusted(IsCheckedBootVolume(*c) && m_guestOf.count(c) == 0);
    walk.SetLayoutGuessed((c->GetFlags() & (kExFatFlagBoot | kExFatFlagBackupBoot)) == 0 &&
                          (c->GetFlags() & kExFatFlagFromDirectoryBlocks) != 0);
    CGoOnProgress progress;
    const u32 result = walk.Search(walked, &progress);
    CFileSystemNode* root = collector.GetTreeRoot(nullptr);
    CExFatPartition* partition = walk.GetPartition();
    if (result != kExFatQuickDone || root == nullptr || partition == nullptr) {
        ReleaseTrace("exFAT tree of the volume at sector %llu not built: 0x%x", static_cast<unsigned long long>(start),
                     unsigned(result));
        return nullptr;
    }

    const u64 heap = c->GetHeapStart();
    const u64 spc = c->GetSectorsPerCluster();
    ExFatTreeGeometry geometry;
    geometry.heapStart = heap;
    geometry.sectorsPerCluster = spc;
    geometry.end = start + c->GetTotalSectors();
    geometry.volumeSectors = CExFatBootSector(c->GetBoot().data()).GetAddressableLength();
    geometry.sectorSize = m_sectorSize;
    geometry.clusterCount = partition->GetClusterCount();
    geometry.rootCluster = (c->GetFlags() & kExFatFlagRootUnknown) == 0 ? partition->m_rootCluster : 0;
    ExFatFatReader fat;
    if (partition->m_fat.IsOpen()) fat = [partition](u32 cluster) { return partition->m_fat.GetEntry(cluster); };
    // The tree takes the blocks of its heap the volume owns: a volume stored in one of its files,
    // or formatted over it, or formatted at its start before it, lists its own clusters, and read
    // as this volume's folders its entries would give files the bytes of this volume's clusters.
    // The others' blocks are moved aside while this tree is built, and back after: the blocks can
    // take gigabytes, and a copy of the others would double them.
    const u32 own = u32(std::find_if(m_candidates.begin(), m_candidates.end(), [c](const auto& k) { return k.get() == c; }) -
                        m_candidates.begin());
    const bool shared = m_blockOwners.size() == m_dirBlocks.size();
    const auto owned = [&](size_t block) { return !shared || m_blockOwners[block] == own; };
    std::vector<ExFatDirectoryBlock> storedBlocks;
    std::vector<u32> storedOwners;
    std::vector<ExFatCutSetLink> ownLinks;
    const size_t heapFirst = size_t(FirstExFatBlockFrom(m_dirBlocks, heap) - m_dirBlocks.begin());
    size_t heapEnd = heapFirst;
    while (heapEnd < m_dirBlocks.size() && m_dirBlocks[heapEnd].firstSector < geometry.end) ++heapEnd;
    const bool others = !std::all_of(m_blockOwners.begin() + std::ptrdiff_t(std::min(heapFirst, m_blockOwners.size())),
                                     m_blockOwners.begin() + std::ptrdiff_t(std::min(heapEnd, m_blockOwners.size())),
                                     [own](u32 owner) { return owner == own; });
    if (shared && others) {
        for (const ExFatCutSetLink& link : m_walker.GetCutSetLinks()) {
            const auto at = [&](u64 sector) {
                auto it = FirstExFatBlockFrom(m_dirBlocks, sector);
                return it != m_dirBlocks.end() && it->firstSector == sector ? size_t(it - m_dirBlocks.begin()) : ~size_t(0);
            };
            const size_t head = at(link.headBlock);
            const size_t tail = at(link.tailBlock);
            if (head != ~size_t(0) && tail != ~size_t(0) && owned(head) && owned(tail)) ownLinks.push_back(link);
        }
        size_t kept = heapFirst;
        for (size_t i = heapFirst; i < heapEnd; ++i) {
            if (owned(i)) {
                if (kept != i) {
                    m_dirBlocks[kept] = std::move(m_dirBlocks[i]);
                    m_blockOwners[kept] = m_blockOwners[i];
                }
                ++kept;
            } else {
                storedBlocks.push_back(std::move(m_dirBlocks[i]));
                storedOwners.push_back(m_blockOwners[i]);
            }
        }
        m_dirBlocks.erase(m_dirBlocks.begin() + std::ptrdiff_t(kept), m_dirBlocks.begin() + std::ptrdiff_t(heapEnd));
        m_blockOwners.erase(m_blockOwners.begin() + std::ptrdiff_t(kept), m_blockOwners.begin() + std::ptrdiff_t(heapEnd));
        ReleaseTrace("exFAT tree of the volume at sector %llu: %zu folder blocks in its heap left to the volumes they "
                     "fit better",
                     static_cast<unsigned long long>(start), storedBlocks.size());
    }
    const ExFatBlockTree tree = BuildExFatBlockTree(
        m_dirBlocks, storedBlocks.empty() ? m_walker.GetCutSetLinks() : ownLinks, geometry,
        [this](u64 sector, u64 count, u8* out) { return m_device->Read(out, sector, count) != 0; }, fat);
    PlaceBlockTree(tree, *partition, walk, collector, *root);
    walk.FinishHandOver();
    if (!storedBlocks.empty()) {
        // Back in their places, for the trees of other candidates.
        const size_t kept = heapFirst + (heapEnd - heapFirst - storedBlocks.size());
        std::vector<ExFatDirectoryBlock> merged;
        std::vector<u32> mergedOwners;
        merged.reserve(heapEnd - heapFirst);
        mergedOwners.reserve(heapEnd - heapFirst);
        for (size_t a = heapFirst, b = 0; a < kept || b < storedBlocks.size();) {
            const bool fromKept = b == storedBlocks.size() || (a < kept && m_dirBlocks[a].firstSector < storedBlocks[b].firstSector);
            merged.push_back(std::move(fromKept ? m_dirBlocks[a] : storedBlocks[b]));
            mergedOwners.push_back(fromKept ? m_blockOwners[a++] : storedOwners[b++]);
        }
        m_dirBlocks.erase(m_dirBlocks.begin() + std::ptrdiff_t(heapFirst), m_dirBlocks.begin() + std::ptrdiff_t(kept));
        m_dirBlocks.insert(m_dirBlocks.begin() + std::ptrdiff_t(heapFirst), std::make_move_iterator(merged.begin()),
                           std::make_move_iterator(merged.end()));
        m_blockOwners.erase(m_blockOwners.begin() + std::ptrdiff_t(heapFirst), m_blockOwners.begin() + std::ptrdiff_t(kept));
        m_blockOwners.insert(m_blockOwners.begin() + std::ptrdiff_t(heapFirst), mergedOwners.begin(), mergedOwners.end());
    }
    if (m_droppedBlocks != 0) {
        ReleaseTrace("exFAT tree of the volume at sector %llu may lack the entries of %llu folder blocks dropped "
                     "past the budget of %llu bytes",
                     static_cast<unsigned long long>(start), static_cast<unsigned long long>(m_droppedBlocks),
                     static_cast<unsigned long long>(m_budget));
    }

    // The label entry stands among the first entries of the root directory.
    const u32 labelSectors = std::min(partition->m_sectorsPerCluster, kLabelSectors);
    std::vector<u8> rootEntries(size_t(labelSectors) * m_sectorSize, 0);
    if (partition->IsHeapCluster(partition->m_rootCluster) &&
        walked->Read(rootEntries.data(), partition->ClusterToSector(partition->m_rootCluster), labelSectors) != 0) {
        char16_t label[CExFatVolumeAnalyer::kLabelUnits] = {};
        const ExFatWalkLimits limits = ExFatWalkLimits::Make(c->GetTotalSectors(), Log2Floor(m_sectorSize),
                                                             Log2Floor(m_sectorSize * partition->m_sectorsPerCluster));
        CollectExFatLabel(rootEntries.data(), u32(rootEntries.size()), label, CExFatVolumeAnalyer::kLabelUnits, limits);
        if (label[0] != 0) root->SetVolumeLabel(Utf16ToUtf8(std::u16string(label)).c_str());
    }

    root = collector.TakeRoot();
    // The walk placed the heap on the volume; the writer reads the device.
    root->SetPartitionGeometry(heap, u32(spc));
    return root;
}

bool CExFatCompleteSearch::KnownStartOf(const CExFatSearchedPartitionInfo& c, u64& start) const {
    start = c.GetPartitionStart();
    if ((c.GetFlags() & (kExFatFlagBoot | kExFatFlagBackupBoot)) != 0) return true;
    // Found from its folders: its stand-in boot sector places the volume by its heap alone. A
    // volume whose boot region and FAT check out, over whose sectors this heap lies, and whose
    // FAT is the only one that begins between its start and this heap, with room after it for
    // this volume's FAT, was formatted over this one at this one's start: formatting there, it
    // wrote its boot region and FAT where this one's were.
    const CExFatBootSector own(c.GetBoot().data());
    const u64 heap = c.GetHeapStart();
    const u64 ownFatSectors = ((u64(own.GetClusterCount()) + kFirstCluster) * kFatEntryBytes + m_sectorSize - 1) / m_sectorSize;
    for (const auto& k : m_candidates) {
        if (k.get() == &c || !IsCheckedBootVolume(*k)) continue;
        const CExFatBootSector boot(k->GetBoot().data());
        const u64 kStart = k->GetPartitionStart();
        const u64 fat = kStart + boot.GetFatOffset();
        if (heap < kStart || heap >= kStart + k->GetTotalSectors() || fat + ownFatSectors > heap) continue;
        const u64 secondFat = boot.GetFatCount() > 1 ? fat + boot.GetFatLength() : fat;
        const auto from = std::lower_bound(m_fatStarts.begin(), m_fatStarts.end(), kStart);
        const auto to = std::lower_bound(m_fatStarts.begin(), m_fatStarts.end(), heap);
        if (std::all_of(from, to, [&](u64 f) { return f == fat || f == secondFat; })) {
            start = kStart;
            return true;
        }
    }
    return false;
}

bool CExFatCompleteSearch::FatIsTheVolumes(const CExFatSearchedPartitionInfo& c, IStorageDevice& volume) {
    const u32 flags = c.GetFlags();
    if ((flags & (kExFatFlagFromDirectoryBlocks | kExFatFlagFatSeen)) == kExFatFlagFromDirectoryBlocks) return false;
    if (IsCheckedBootVolume(c)) return true;
    const CExFatBootSector boot(c.GetBoot().data());
    ExFatFatCache cache;
    cache.Open(&volume, boot.GetFatOffset(), boot.GetFatLength(), boot.GetClusterCount());
    if (!cache.IsOpen()) return false;
    // The chains of the volume's own folders tell: from its root down where the root is known
    // (another volume's folders in its heap are not its own), else every folder it owns.
    const u32 own = u32(std::find_if(m_candidates.begin(), m_candidates.end(), [&c](const auto& k) { return k.get() == &c; }) -
                        m_candidates.begin());
    const bool rootKnown = (flags & kExFatFlagRootUnknown) == 0;
    std::vector<ExFatBlockFit> fits;
    if (rootKnown && own < m_candidates.size()) {
        const ExFatBlockOwners owners(m_dirBlocks, m_walker.GetCutSetLinks(), m_device->GetTotalSectors(), m_sectorSize);
        fits = owners.Fits(OwnerLayouts()[own]);
    }
    std::vector<const ExFatDirectoryBlock*> blocks;
    for (size_t i = 0; i < m_dirBlocks.size(); ++i) {
        const bool owned = m_blockOwners.size() != m_dirBlocks.size() || m_blockOwners[i] == own;
        const bool reached = !rootKnown || (i < fits.size() && fits[i] == ExFatBlockFit::Reached);
        if (owned && reached) blocks.push_back(&m_dirBlocks[i]);
    }
    const ExFatChainTally tally =
        TallyExFatChains(blocks, rootKnown ? boot.GetRootCluster() : 0, [&cache](u32 cluster) { return cache.GetEntry(cluster); },
                         u64(boot.GetSectorsPerCluster()) * m_sectorSize, boot.GetClusterCount());
    const bool placedByBoot = (flags & (kExFatFlagBoot | kExFatFlagBackupBoot)) != 0;
    if (IsExFatVolumesOwnFat(tally, placedByBoot)) return true;
    // A volume whose folders call for no chain loses nothing without its FAT.
    if (tally.broken == 0) return false;
    ReleaseTrace("exFAT volume of heap sector %llu: the FAT at sector %llu holds %llu of the chains its folders call for "
                 "and breaks %llu: not its own, so its files' chains are not known",
                 static_cast<unsigned long long>(c.GetHeapStart()),
                 static_cast<unsigned long long>(c.GetPartitionStart() + boot.GetFatOffset()),
                 static_cast<unsigned long long>(tally.held), static_cast<unsigned long long>(tally.broken));
    return false;
}

ICompleteFileSystemSearchController* CreateExFatCompleteSearch() { return new (std::nothrow) CExFatCompleteSearch; }
