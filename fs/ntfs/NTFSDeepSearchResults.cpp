// What the NTFS deep search does for the partitions the evaluation chose: the tree of the first,
// the lost files of each, re-reading single nodes through a candidate, and its saved lists.
#include <algorithm>
#include <memory>
#include <vector>

#include "devices/StorageDevice.h"
#include "engine/DataRunList.h"
#include "engine/DirectoryTreeBuilder.h"
#include "engine/FileNode.h"
#include "engine/FileSystemNode.h"
#include "engine/LostFileCollector.h"
#include "engine/RSData.h"
#include "engine/RawFileInfoPool.h"
#include "fs/ntfs/CommonFileRecordInfo.h"
#include "fs/ntfs/NTFSDeepSearch.h"
#include "fs/ntfs/NTFSFileProperties.h"
#include "fs/ntfs/NTFSFoundTree.h"
#include "fs/ntfs/NTFSRecord.h"

namespace {

constexpr u32 kReReadSectors = 128;
constexpr u64 kReparsePointId = u64(-10);
constexpr u16 kAttrReparse = 0x400;
constexpr u64 kTopBit = u64(1) << 63;

CSearchedNTFSPartitionInfo* AsNtfs(CSearchedPartitionInfo* c) {
    return c && c->GetKind() == 0 && c->GetFileSystemCode() == kFsNtfs ? static_cast<CSearchedNTFSPartitionInfo*>(c)
                                                                            : nullptr;
}

// The clusters the tree's live files use: their runs up to their size and, for NTFS files, the
// cluster of their MFT record (of deleted ones too: the $MFT still holds it). A deleted file's
// clusters are free and may hold another file since. The files of a volume formatted over this
// one, or this one over it, count their clusters with their own volume's geometry.
std::unique_ptr<CClusterUseMap> MarkTreeClustersUsed(CFileSystemNode* root, CSearchedNTFSPartitionInfo& c,
                                                     u32 sectorSize) {
    u64 start = 0;
    u32 spc = 0;
    if (!root || !root->GetPartitionGeometry(start, spc) || spc == 0) return nullptr;
    u64 clusters = c.GetClusterCount();
    if (clusters == kNtfsUnknown) clusters = c.GetTotalSectors() / spc;
    clusters = std::min(clusters, kMaxVolumeUseClusters);
    std::unique_ptr<CClusterUseMap> map = CreateClusterUseMap(start, spc, sectorSize, clusters);
    if (!map) return nullptr;
    // Each node with the geometry of the volume folder it stands in.
    std::vector<std::pair<CFileNode*, std::pair<u64, u32>>> stack{{root, {start, spc}}};
    while (!stack.empty()) {
        auto [n, geometry] = stack.back();
        stack.pop_back();
        if (n != root && n->IsFileSystemNode()) {
            u64 ownStart = 0;
            u32 ownSpc = 0;
            if (n->GetPartitionGeometry(ownStart, ownSpc) && ownSpc != 0) geometry = {ownStart, ownSpc};
        }
        for (CFileNode* k = n->GetFirstChild(); k; k = k->GetNextSibling()) stack.emplace_back(k, geometry);
        const IFileProperties* p = n->GetFileProperties();
        if (!p || n->IsFileSystemNode()) continue;
        std::unique_ptr<IDataRunList> runs(p->CreateDataRunList());
        if (runs && !runs->IsResident() && (p->GetState() & kStateDeleted) == 0) {
            map->MarkExtents(*runs, p->GetSize(), geometry.first, geometry.second);
        }
        if (p->GetFileSystemKind() == kPropertiesNtfs) map->MarkRecord(n->GetRecordSector());
    }
    return map;
}

}  // namespace

u32 CNTFSSearchController::BuildFileSystemTrees(std::vector<CSearchedPartitionInfo*>& chosen) {
    if (chosen.empty() || !m_builder) return 0;
    CSearchedNTFSPartitionInfo* first = AsNtfs(chosen.front());
    if (!first) return 0;
    NTFSFoundTreeInput input;
    input.partition = first;
    input.mftDetails = &m_mftDetails;
    input.recordRuns = &m_recordRuns;
    input.device = m_device;
    input.treeId = m_treeCounter++;
    input.builder = m_builder;
    input.search = this;
    // The root carries a whole subtree: one the builder refuses goes with DestroySubtree.
    CFileSystemNode* root = BuildFoundPartitionTree(input).release();
    if (!root) return 0;
    if (m_builder->ApplyFilter(root, chosen.front()) == 0) {
        DestroySubtree(root);
        return 0;
    }
    return 1;
}

u32 CNTFSSearchController::CollectLostFiles(std::vector<CSearchedPartitionInfo*>& chosen) {
    if (!m_builder || !m_pool || m_pool->IsEmpty()) return 0;
    for (CSearchedPartitionInfo* c : chosen) {
        CFileSystemNode* root = m_builder->GetTreeRoot(c);
        CSearchedNTFSPartitionInfo* ntfs = AsNtfs(c);
        if (!root || !ntfs) continue;
        const std::unique_ptr<CClusterUseMap> used =
            MarkTreeClustersUsed(root, *ntfs, m_context.geometry.sectorSize);
        if (!used) continue;
        LostFileCollector collector;
        collector.KeepToFreeClusters(used->GetStartSector(), used->GetSectorsPerCluster(), used->GetClusterCount(),
                                     [&used](u64 cluster) { return used->IsUsed(cluster); });
        collector.Collect(m_device, *m_pool, m_builder, c, used.get());
    }
    return 1;
}

const std::vector<const NTFSMFTLocation*>& CNTFSSearchController::CandidateMfts(CSearchedNTFSPartitionInfo* c) {
    if (c == m_currentCandidate) return m_candidateMfts;
    m_candidateMfts.clear();
    m_currentCandidate = c;
    const u64 start = c->GetPartitionStart();
    const u64 spc = std::max<u32>(1, c->GetSectorsPerCluster());
    for (const auto& loc : m_mftRecords) {
        const u64 sector = loc->GetMFTStartSector();
        if (sector < start || (sector - start) % spc != 0 || (sector - start) / spc != loc->GetLCNOfFirstCluster()) {
            continue;
        }
        u64 high = 0;
        for (const NTFSRun& r : loc->GetRuns()) {
            if (r.lcn != kSparseLCN && r.count) high = std::max(high, r.lcn + r.count - 1);
        }
        if (static_cast<unsigned __int128>(high) * spc < c->GetTotalSectors()) m_candidateMfts.push_back(loc.get());
    }
    return m_candidateMfts;
}

u32 CNTFSSearchController::ApplyToFileNode(CFileNode* node, CSearchedPartitionInfo* candidate) {
    CSearchedNTFSPartitionInfo* c = AsNtfs(candidate);
    if (!c || !node) return 0;
    const std::vector<const NTFSMFTLocation*>& mfts = CandidateMfts(c);
    const u64 start = c->GetPartitionStart();
    const u64 spc = std::max<u32>(1, c->GetSectorsPerCluster());
    const NTFSMFTLocation* holder = nullptr;
    if (node->GetRecordSector() >= start) {
        const u64 cluster = (node->GetRecordSector() - start) / spc;
        for (const NTFSMFTLocation* m : mfts) {
            if (ContainsLCN(m->GetRuns(), cluster)) {
                holder = m;
                break;
            }
        }
    }
    IFileProperties* p = node->GetFileProperties();
    if (!p || (p->GetFlag() == 0 && p->GetSize() < kTopBit)) {
        if (node->GetParentId() == kNtfsRootFolderRecord && !holder) node->SetParentId(kUnknownNodeId);
        return 1;
    }
    if (!m_device) return 0;
    const u32 ss = m_context.geometry.sectorSize;
    std::vector<u8> buffer(size_t(kReReadSectors) * ss, 0);
    if (m_device->Read(buffer.data(), node->GetRecordSector(), kReReadSectors) == 0) return 0;
    const u32 length = static_cast<u32>(buffer.size());
    if (!ValidateFileRecord(buffer.data(), length) || RecordIsExtension(buffer.data())) return 0;
    const bool numbering = (c->GetMftNumbering() & 0xFFFFFFFFu) != 0;
    TreeNodePtr fresh = MakeFoundFileNode(buffer.data(), std::min<u32>(length, ntfs::kMaxRecordSize),
                                         node->GetRecordSector(), c, numbering ? holder : nullptr);
    if (fresh) {
        const bool reparse = (p->GetAttributes() & kAttrReparse) != 0;
        node->SetId(reparse ? kReparsePointId : fresh->GetId());
        // A folder the tree found taken by another stays named by its stale id.
        const u64 parent = fresh->GetParentId();
        node->SetParentId(StaleFolderRecord(node->GetParentId()) == parent ? node->GetParentId() : parent);
        // The node lets its old properties go and takes over the fresh node's reference.
        const PropertiesRef<> old(p);
        node->SetFileProperties(fresh->GetFileProperties());
        fresh->SetFileProperties(nullptr);
    }
    return 1;
}

u32 CNTFSSearchController::SaveState(IRSData* stream) {
    if (!stream) return 0;
    stream->WriteU64(m_mftRecords.size());
    for (const auto& loc : m_mftRecords) loc->Save(stream);
    stream->WriteU64(m_recordRuns.size());
    for (const NtfsRecordRun& r : m_recordRuns) {
        stream->WriteU64(r.firstSector);
        stream->WriteU64(r.count);
    }
    return 1;
}

u32 CNTFSSearchController::LoadState(IRSData* stream) {
    if (!stream) return 0;
    // Counts come from a file: read entry by entry, so a damaged count ends with the stream.
    std::vector<std::unique_ptr<NTFSMFTLocation>> mfts;
    const u64 mftCount = stream->ReadU64();
    for (u64 i = 0; i < mftCount && i < kNtfsMaxSightings; ++i) {
        auto loc = std::make_unique<NTFSMFTLocation>();
        loc->Load(stream);
        mfts.push_back(std::move(loc));
    }
    std::vector<NtfsRecordRun> runs;
    const u64 runCount = stream->ReadU64();
    for (u64 i = 0; i < runCount && i < kNtfsMaxSightings * 4; ++i) {
        NtfsRecordRun r;
        r.firstSector = stream->ReadU64();
        r.count = stream->ReadU64();
        runs.push_back(r);
    }
    m_mftRecords = std::move(mfts);
    m_recordRuns = std::move(runs);
    m_mftDetails.clear();
    for (const auto& loc : m_mftRecords) m_mftDetails.push_back({loc.get(), std::make_unique<CNTFSLogFileParser>()});
    m_currentCandidate = nullptr;
    m_candidateMfts.clear();
    return 1;
}
