#include "engine/RecoveryControllers.h"

#include <new>
#include <vector>

#include "engine/CompleteRecoveryController.h"
#include "engine/DirectoryTreeBuilder.h"
#include "engine/FileNode.h"
#include "engine/FileSystemNode.h"
#include "engine/FileSystemPlugins.h"
#include "engine/FsServices.h"
#include "engine/PartitionTree.h"
#include "engine/Progress.h"
#include "engine/SearchedPartitionInfo.h"

IRecoveryController* CreateRecoveryController(u32 scanMode) {
    switch (scanMode) {
        case kControllerDeletedScan:
            return new (std::nothrow) CDeletedRecoveryController();
        case kControllerCompleteScan:
            return new (std::nothrow) CCompleteRecoveryController();
        default:
            return nullptr;
    }
}

CDeletedRecoveryController::~CDeletedRecoveryController() {
    for (EarlierRun& run : m_earlierRuns) {
        delete run.search;
        if (run.builder) run.builder->Release();
    }
    m_earlierRuns.clear();
    delete m_quickSearch;
    m_quickSearch = nullptr;
    if (m_builder) m_builder->Release();
    m_builder = nullptr;
    m_filter = nullptr;
    m_device = nullptr;
}

u32 CDeletedRecoveryController::Initialize(IRecoveryFilter* filter) {
    if (!filter) return 0;
    m_filter = filter;
    return 1;
}

void CDeletedRecoveryController::SetFileSystem(u32 fsCode, const char* name) {
    m_fsCode = fsCode;
    if (name) m_displayName = name;
}

IQuickFileSystemSearchController* CDeletedRecoveryController::CreateQuickSearch() {
    return ::CreateQuickSearch(m_fsCode);
}

u32 CDeletedRecoveryController::Run(IStorageDevice* device, IProgress* progress, IDirectoryTree* consumer,
                                    const char* displayName, u32 /*lostDataReason*/) {
    // A scan without its device, sink or consumer did not run: that is an error, not success.
    if (!device || !progress || !consumer) return kErrCompleteMissingArgument;

    ProgressInfo info;
    info.Type = kProgressUpdate;
    info.Total = 1;
    info.Done = 0;
    progress->OnProgress(&info);

    if (displayName) m_displayName = displayName;
    m_device = device;

    // The session runs every chosen volume through one controller. The trees of an earlier
    // volume are still shown, so its builder and search are kept, not overwritten.
    if (m_builder || m_quickSearch) {
        m_earlierRuns.push_back({m_builder, m_quickSearch});
        m_builder = nullptr;
        m_quickSearch = nullptr;
    }
    m_builder = CreateDirectoryTreeBuilder();
    if (!m_builder) return kErrDeletedNoBuilder;

    m_builder->SetProgress(progress);
    if (!m_builder->Init(m_displayName.c_str(), consumer, m_filter, kBuilderQuickMode, device, 0)) {
        return kErrDeletedBuilderRefused;
    }

    m_quickSearch = CreateQuickSearch();
    if (!m_quickSearch) {
        info = ProgressInfo();
        info.Type = kProgressScanEnded;
        info.Total = 1;
        info.Done = 1;
        progress->OnProgress(&info);
        return kErrDeletedNoQuickSearch;
    }

    m_quickSearch->SetDirectoryTreeBuilder(m_builder);
    const u32 result = m_quickSearch->Search(device, progress);
    // A failed or stopped search never shows its partial tree.
    if (result == 0 && m_stop.load() == 0) {
        m_builder->FinishSearch();
        m_builder->FinishBuild();
    }

    info = ProgressInfo();
    info.Type = kProgressScanEnded;
    info.Total = 1;
    info.Done = 1;
    progress->OnProgress(&info);
    return result;
}

u32 CDeletedRecoveryController::GetFileSource(CFileNode* node, u64& startSector, u32& sectorsPerCluster) {
    if (!node) return 0;
    IQuickFileSystemSearchController* search = FindSearchOf(node);
    if (!search) return node->GetPartitionGeometry(startSector, sectorsPerCluster) ? 1 : 0;
    std::vector<CSearchedPartitionInfo*> partitions;
    search->GetSearchedPartitions(partitions);
    if (partitions.empty() || !partitions.front()) return 0;
    startSector = partitions.front()->GetPartitionStart();
    sectorsPerCluster = partitions.front()->GetSectorsPerCluster();
    return 1;
}

IQuickFileSystemSearchController* CDeletedRecoveryController::FindSearchOf(CFileNode* node) const {
    if (m_earlierRuns.empty()) return m_quickSearch;
    // The top of the node's tree; the walk is bounded so that a damaged link cannot hang it.
    const CFileNode* top = node;
    for (u32 steps = 0; top->GetParent() && steps < 1000000; ++steps) top = top->GetParent();
    auto rootOf = [](IDirecotryTreeBuilder* builder) -> const CFileNode* {
        auto* b = dynamic_cast<CDirectoryTreeBuilder*>(builder);
        return b && b->GetQuickTree() ? b->GetQuickTree()->GetRoot() : nullptr;
    };
    if (rootOf(m_builder) == top) return m_quickSearch;
    for (const EarlierRun& run : m_earlierRuns) {
        if (rootOf(run.builder) == top) return run.search;
    }
    return m_quickSearch;
}
