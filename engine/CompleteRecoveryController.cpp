#include "engine/CompleteRecoveryController.h"

#include <algorithm>
#include <cmath>
#include <new>
#include <unordered_map>

#include "devices/CachedStorageDevice.h"
#include "devices/ScanOptions.h"
#include "devices/StorageDevice.h"
#include "engine/DataRunList.h"
#include "engine/DirectoryTreeBuilder.h"
#include "engine/FileNode.h"
#include "engine/FileProperties.h"
#include "engine/FileSystemNode.h"
#include "engine/FileSystemPlugins.h"
#include "engine/FsServices.h"
#include "engine/LostFileCollector.h"
#include "engine/RawFileInfoPool.h"
#include "engine/ScanRunState.h"
#include "engine/SearchedPartitionInfo.h"

namespace {

constexpr u64 kLargestImpliedCluster = 16777216;  // 2^24 sectors

// What the plug-in row of a candidate's code says of the nodes its tree carries.
struct CandidateRow {
    u32 nodeCode = 0;
    bool appliesToNodes = false;
};

CandidateRow RowOfCandidate(const std::vector<FileSystemPlugin>& rows, const CSearchedPartitionInfo* c) {
    const u32 code = c->GetFileSystemCode();
    for (const FileSystemPlugin& row : rows) {
        if (!row.Covers(code)) continue;
        return {row.treeNodeCode != kTreeNodeCodeOwn ? row.treeNodeCode : code, row.candidatesApplyToNodes};
    }
    return {code, false};
}

void OfferNode(CSearchedPartitionInfo* c, const CandidateRow& row, CFileNode* node) {
    if (row.appliesToNodes && node->GetFileSystemType() == row.nodeCode) c->ApplyToFileNode(node);
}

// The cluster size, in sectors, that a file's size and cluster total imply: the power of two p
// from 2 to 2^24 with p / 2 < n <= p; 0 when n is 1 or less or above 2^24.
u64 ImpliedSectorsPerCluster(u64 size, u64 clusters) {
    const double n = std::ceil(static_cast<double>(size) / static_cast<double>(clusters) / 512.0);
    if (!(n > 1.0) || n > static_cast<double>(kLargestImpliedCluster)) return 0;
    u64 p = 2;
    while (static_cast<double>(p) < n) p <<= 1;
    return p;
}

}  // namespace

CCompleteRecoveryController::CCompleteRecoveryController() = default;

CCompleteRecoveryController::~CCompleteRecoveryController() {
    {
        std::lock_guard<std::mutex> lk(m_searchLock);
        m_searches.clear();
    }
    // The trees go first: they name candidates that the retired searches own.
    if (m_builder) m_builder->Release();
    m_builder = nullptr;
    for (IDirecotryTreeBuilder* b : m_earlierBuilders) b->Release();
    m_earlierBuilders.clear();
    m_retired.clear();
}

u32 CCompleteRecoveryController::Initialize(IRecoveryFilter* filter) {
    if (!filter) return 0;
    m_filter = filter;
    m_pool.reset(new (std::nothrow) CRawFileInfoPool());
    return m_pool ? 1 : 0;
}

void CCompleteRecoveryController::SetFileSystem(u32 fsCode, const char* name) {
    m_fsCode = fsCode;
    if (name) m_displayName = name;
}

u32 CCompleteRecoveryController::BlockSectorsFor(u32 sectorSize) {
    const u32 size = sectorSize == 0 ? 512 : sectorSize;
    const u32 sectors = kBlockBytes / size;
    return sectors == 0 ? kFallbackBlockSectors : sectors;
}

void CCompleteRecoveryController::CreateSearches(std::vector<std::unique_ptr<ICompleteFileSystemSearchController>>& out) {
    // A row without a deep search leaves its file system out.
    for (ICompleteFileSystemSearchController* search : CreateDeepSearches(GetScanOptions())) out.emplace_back(search);
}

void CCompleteRecoveryController::Send(u32 type, u64 total, u64 done) {
    if (!m_progress) return;
    m_record.Type = type;
    m_record.Total = total;
    m_record.Done = done;
    m_progress->OnProgress(&m_record);
}

size_t CCompleteRecoveryController::GetSearchCount() const {
    std::lock_guard<std::mutex> lk(m_searchLock);
    return m_searches.size();
}

std::vector<FoundPartitionSummary> CCompleteRecoveryController::GetFoundPartitions() const {
    std::lock_guard<std::mutex> lk(m_searchLock);
    return m_found;
}

void CCompleteRecoveryController::RetireSearches() {
    std::lock_guard<std::mutex> lk(m_searchLock);
    for (auto& s : m_searches) m_retired.push_back(std::move(s));
    m_searches.clear();
}

u32 CCompleteRecoveryController::Run(IStorageDevice* device, IProgress* progress, IDirectoryTree* consumer,
                                     const char* displayName, u32 lostDataReason) {
    if (!device || !progress || !consumer) return kErrCompleteMissingArgument;
    m_record = ProgressInfo();
    m_progress = progress;
    Send(kProgressUpdate, 1, 0);
    m_device = device;
    if (displayName) m_displayName = displayName;
    {
        std::lock_guard<std::mutex> lk(m_searchLock);
        m_found.clear();
    }

    // One controller may scan several volumes: the trees of an earlier run stay on screen, and
    // each run needs a pool of its own.
    if (m_builder) m_earlierBuilders.push_back(m_builder);
    m_builder = nullptr;
    if (!m_pool) m_pool.reset(new (std::nothrow) CRawFileInfoPool());
    m_builder = CreateDirectoryTreeBuilder();
    if (!m_builder || !m_pool) {
        m_pool.reset();
        return kErrCompleteNoBuilder;
    }
    if (!m_builder->Init(m_displayName.c_str(), consumer, m_filter, kBuilderCompleteMode, device, lostDataReason)) {
        m_builder->Release();
        m_builder = nullptr;
        m_pool.reset();
        return kErrCompleteBuilderRefused;
    }
    m_builder->SetProgress(progress);

    std::vector<std::unique_ptr<ICompleteFileSystemSearchController>> searches;
    CreateSearches(searches);
    {
        std::lock_guard<std::mutex> lk(m_searchLock);
        m_searches = std::move(searches);
    }

    const u32 blockSectors = BlockSectorsFor(device->GetSectorSize());
    auto cached = std::make_unique<CStorageDeviceWithCache>(device);
    cached->SetCacheSize(blockSectors);
    // While the user has paused, the read-ahead holds as the block loop does: no block is read.
    if (ScanRunState* run = progress->RunState()) cached->SetReadGate([run] { return run->WaitWhilePaused(); });
    cached->StartCacheThread();

    for (auto& search : m_searches) {
        search->SetDevice(cached.get());
        search->SetBlockSectorCount(blockSectors);
        search->SetDirectoryTreeBuilder(m_builder);
        search->BeginSearch();
        search->SetFoundFilePool(m_pool.get());
        search->SetGlobalParameter(progress);
    }

    const u32 result = BlockLoop(*cached, device->GetTotalSectors() - 1, progress);
    if (result == 0 && m_stop.load() == 0) FinishingPass(device);
    for (auto& search : m_searches) search->SetGlobalParameter(nullptr);

    cached->StopCacheThread();
    m_readAhead = {cached->GetQueuedHits(), cached->GetDirectLoads(), cached->GetWaitMicroseconds()};
    Send(kProgressScanEnded, 1, 1);

    RetireSearches();
    m_pool.reset();
    cached.reset();
    return result;
}

u32 CCompleteRecoveryController::BlockLoop(CStorageDeviceWithCache& cached, u64 lastSector, IProgress* progress) {
    if (!progress) return kErrCompleteNoProgress;
    if (static_cast<i64>(lastSector) < 0) return kErrCompleteNoSectors;
    const u64 blockSectors = BlockSectorsFor(cached.GetSectorSize());
    const u64 total = cached.GetTotalSectors();
    if (lastSector >= total) lastSector = total - 1;
    const u64 firstBlock = 0;
    const u64 lastBlock = lastSector / blockSectors;

    Send(kProgressPhaseBegins, lastBlock - firstBlock + 1, 0);
    m_record.Type = kProgressUpdate;
    u64 done = 0;
    for (u64 b = firstBlock; b <= lastBlock; ++b) {
        if (progress->Continued() == 0) return 0;
        cached.SetCurCacheBlock(static_cast<u32>(b));
        const u64 first = b * blockSectors;
        const u64 count = std::min<u64>(blockSectors, lastSector - first + 1);
        for (auto& search : m_searches) search->SearchBlock(first, count);
        ++done;
        ProgressInfo copy = m_record;
        copy.Done = static_cast<u64>(static_cast<double>(done) * kBlockLoopShare);
        progress->OnProgress(&copy);
    }
    return 0;
}

void CCompleteRecoveryController::FinishingPass(IStorageDevice* device) {
    if (m_searches.empty()) return;
    Send(kProgressPhaseDone, m_builder->GetNodeCount(), kFinishingDone);
    // The finishing steps are pause points too: a pause holds them. A stopped scan still
    // builds the trees of what it found so far, so the answer does not end them.
    auto holdWhilePaused = [this] {
        if (m_progress) m_progress->Continued();
    };
    for (auto& search : m_searches) {
        holdWhilePaused();
        search->EndSearch();
    }
    // A chosen candidate builds its tree through the search that proposed it.
    std::unordered_map<CSearchedPartitionInfo*, ICompleteFileSystemSearchController*> proposedBy;
    for (auto& search : m_searches) {
        std::vector<CSearchedPartitionInfo*> candidates;
        search->GetSearchedPartitions(candidates);
        for (CSearchedPartitionInfo* c : candidates) {
            proposedBy.emplace(c, search.get());
            m_builder->AddEvaluationItem(c);
        }
    }
    m_builder->FinishSearch();
    std::vector<CSearchedPartitionInfo*> chosen;
    m_builder->HasEvaluationItem(&chosen);

    holdWhilePaused();
    if (chosen.empty()) {
        LostFileCollector collector;
        collector.Collect(device, *m_pool, m_builder, nullptr, nullptr);
    } else {
        // A partition's own collection decides about the files found inside it; what lies
        // outside every partition it built (unpartitioned space, a file system none of the
        // searches knows) would otherwise be dropped, so it becomes lost files as without any.
        LostFileCollector outside;
        for (CSearchedPartitionInfo* c : chosen) {
            holdWhilePaused();
            const auto proposer = proposedBy.find(c);
            if (proposer == proposedBy.end()) continue;
            ICompleteFileSystemSearchController* search = proposer->second;
            std::vector<CSearchedPartitionInfo*> one{c};
            search->BuildFileSystemTrees(one);
            m_builder->BuildLostFilesFolder(c);
            search->CollectLostFiles(one);
            outside.LeaveOut(c->GetPartitionStart(), c->GetTotalSectors(), m_builder->GetTreeRoot(c));
        }
        holdWhilePaused();
        outside.Collect(device, *m_pool, m_builder, nullptr, nullptr);
    }
    m_builder->FinishBuild();

    std::vector<FoundPartitionSummary> found;
    for (CSearchedPartitionInfo* c : chosen) {
        FoundPartitionSummary f;
        f.startSector = c->GetPartitionStart();
        f.sectors = c->GetTotalSectors();
        f.sectorsPerCluster = c->GetSectorsPerCluster();
        f.fsCode = c->GetFileSystemCode();
        f.score = c->GetScore();
        if (CFileSystemNode* root = m_builder->GetTreeRoot(c)) {
            if (root->GetVolumeLabel()) f.label = root->GetVolumeLabel();
        }
        found.push_back(f);
    }
    std::lock_guard<std::mutex> lk(m_searchLock);
    m_found = std::move(found);
}

bool CCompleteRecoveryController::NodeFitsCandidate(CFileNode* node, CSearchedPartitionInfo* c) {
    if (!node || !c) return false;
    if (node->GetFileSystemType() != c->GetFileSystemCode()) return false;
    const u64 start = c->GetFoundStart();
    const u64 total = c->GetTotalSectors();
    const u64 record = node->GetRecordSector();
    if (!(start < record && record < start + total)) return false;
    const IFileProperties* p = node->GetFileProperties();
    if (!p) return false;
    std::unique_ptr<IDataRunList> runs(p->CreateDataRunList());
    if (!runs) return false;
    const u64 s = c->GetSectorsPerCluster();
    u64 clusters = 0;
    for (size_t i = 0; i < runs->GetExtentCount(); ++i) {
        const DataRunExtent& e = runs->GetExtent(i);
        if (e.start < 0) return false;
        const unsigned __int128 first = static_cast<unsigned __int128>(static_cast<u64>(e.start)) * s;
        const unsigned __int128 length = static_cast<unsigned __int128>(e.length) * s;
        if (first >= total || first + length - (length ? 1 : 0) >= total) return false;
        clusters += e.length;
    }
    if (s % 2 != 0) return false;
    if (clusters >= 2) return ImpliedSectorsPerCluster(p->GetSize(), clusters) == s;
    return true;
}

u32 CCompleteRecoveryController::GetFileSource(CFileNode* node, u64& startSector, u32& sectorsPerCluster) {
    std::lock_guard<std::mutex> lk(m_searchLock);
    if (m_searches.empty() || !node) return 0;
    if (!m_progress || m_progress->GetState() != kProgressPaused || IsExtCode(node->GetFileSystemType())) {
        return node->GetPartitionGeometry(startSector, sectorsPerCluster) ? 1 : 0;
    }
    std::vector<CSearchedPartitionInfo*> candidates;
    for (auto& s : m_searches) s->GetSearchedPartitions(candidates);
    if (candidates.empty()) return 0;
    const std::vector<FileSystemPlugin> rows = FileSystemPlugins();
    std::vector<CandidateRow> candidateRows;
    candidateRows.reserve(candidates.size());
    for (CSearchedPartitionInfo* c : candidates) candidateRows.push_back(RowOfCandidate(rows, c));
    for (size_t i = 0; i < candidates.size(); ++i) {
        CSearchedPartitionInfo* c = candidates[i];
        OfferNode(c, candidateRows[i], node);
        if (NodeFitsCandidate(node, c)) {
            startSector = c->GetClusterAreaStart();
            sectorsPerCluster = c->GetSectorsPerCluster();
            return 1;
        }
    }
    for (size_t i = 0; i < candidates.size(); ++i) {
        CSearchedPartitionInfo* c = candidates[i];
        if (candidateRows[i].nodeCode != node->GetFileSystemType()) continue;
        OfferNode(c, candidateRows[i], node);
        startSector = c->GetClusterAreaStart();
        sectorsPerCluster = c->GetSectorsPerCluster();
        return 1;
    }
    startSector = 0;
    sectorsPerCluster = 1;
    return 0;
}
