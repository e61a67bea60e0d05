#include "browser/model/ListLoader.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>

#include "browser/model/BindingNode.h"
#include "browser/model/ListModel.h"
#include "browser/model/NodeManager.h"
#include "engine/FileNode.h"

namespace FileSelCtrl {

CFileListDataUICache::UICache_Item::UICache_Item(CFileListDataUICache* owner, CBindingNode* node)
    : cache(owner), folder(node) {
    if (folder) folder->AddRef();
}

CFileListDataUICache::UICache_Item::~UICache_Item() {
    if (folder) folder->Release();
}

CFileListDataUICache::~CFileListDataUICache() {
    Stop();
    WaitIdle();
}

void CFileListDataUICache::ReapFinished() {
    if (IsRunning()) return;  // an abandoned thread still ends; joined once all have
    for (std::thread& t : m_threads) t.join();
    m_threads.clear();
}

void CFileListDataUICache::Start(CBindingNode* folder) {
    if (!m_owner || !folder) return;
    Stop();
    ReapFinished();
    auto* request = new UICache_Item(this, folder);
    m_current = request;
    request->AddRef();  // the thread's
    m_running.fetch_add(1, std::memory_order_acq_rel);
    try {
        m_threads.emplace_back(&CFileListDataUICache::LoaderProc, request);
    } catch (const std::system_error&) {
        // No thread to be had: the folder is listed here rather than not at all.
        m_current = nullptr;
        m_running.fetch_sub(1, std::memory_order_acq_rel);
        Load(request);
        request->Release();
        request->Release();
    }
}

void CFileListDataUICache::Stop() {
    if (!m_current) return;
    // The thread holds the thumbnail worker while it loads and lets go when it ends, abandoned
    // or not: a hold set here could outlive every load and leave the worker stopped.
    m_owner->CancelLoad(*m_current);
    m_current->Release();
    m_current = nullptr;
}

void CFileListDataUICache::StopAndClear() {
    Stop();
    m_owner->DataCache().ClearQueue();
}

void CFileListDataUICache::WaitIdle() {
    // The loader only ever posts to the UI thread, so joining it needs no message pump.
    for (std::thread& t : m_threads) t.join();
    m_threads.clear();
}

void CFileListDataUICache::LoadNow(CBindingNode* folder) {
    if (!m_owner || !folder) return;
    Stop();
    auto* request = new UICache_Item(this, folder);
    Load(request);
    request->Release();
}

void CFileListDataUICache::LoaderProc(UICache_Item* request) {
    setpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)), kLoaderNiceness);
    CFileListDataUICache* cache = request->cache;
    cache->Load(request);
    request->Release();
    cache->m_running.fetch_sub(1, std::memory_order_acq_rel);
}

void CFileListDataUICache::Load(UICache_Item* request) {
    CFileListData& owner = *m_owner;
    owner.DataCache().ClearQueue();
    owner.DataCache().Hold();

    // The tree stays put while it is read: binding waits for this lock on the UI thread (it
    // skips its turn rather than block). Waiting for it, the loader keeps an eye on its cancel
    // flag, since the holder may be the very thread that abandons this request.
    CFileVirtualNodeManager& manager = CFileVirtualNodeManager::Instance();
    std::unique_lock<std::recursive_timed_mutex> tree(manager.TreeLock(), std::defer_lock);
    while (!tree.try_lock_for(std::chrono::milliseconds(kLoaderLockWaitMs))) {
        if (request->IsCancelled()) {
            owner.DataCache().ClearQueue();
            owner.DataCache().Resume();
            return;
        }
    }
    owner.BeginLoad(*request);
    CBindingNode* folder = request->folder;
    std::vector<CBindingNode*> children;
    std::vector<CFileNode*> sources;
    std::vector<CFileNode*> entries;
    if (!request->IsCancelled()) {
        if (const auto* c = folder->GetChildren()) children = *c;
        if (const auto* roots = folder->GetScanRoots()) sources = *roots;
        if (CFileNode* own = folder->GetFileNode()) sources.push_back(own);
        folder->CollectItems(entries);
    }
    if (!request->IsCancelled()) {
        // The view sizes its scroll bar once, before the rows arrive.
        size_t expected = children.size();
        if (folder->IsFolder()) expected += entries.size();
        for (CFileNode* source : sources) {
            for (CFileNode* c = source->GetFirstChild(); c; c = c->GetNextSibling()) ++expected;
        }
        owner.SetExpectedCount(*request, expected);
    }

    std::vector<FileList_Item*> batch;
    batch.reserve(kLoaderBatchRows);
    u32 batchShare = 0;
    // Hands the batch to the model; false once the request is abandoned.
    auto flush = [&] {
        const bool taken = batch.empty() || owner.AppendRows(*request, batch.data(), batch.data() + batch.size(), batchShare);
        batch.clear();
        batchShare = 0;
        return taken;
    };
    auto add = [&](FileList_Item* row) {
        if (!row) return true;
        // The check states are read here, so that the header box of a long list costs the UI
        // thread nothing.
        batchShare += row->GetCheckState() - 1u;
        batch.push_back(row);
        return batch.size() < kLoaderBatchRows || flush();
    };
    for (CBindingNode* child : children) {
        if (request->IsCancelled()) break;
        if (!add(FileList_Item::ForFolder(child))) break;
    }
    for (CFileNode* file : entries) {
        if (request->IsCancelled()) break;
        if (!add(FileList_Item::ForFile(file))) break;
    }
    for (CFileNode* source : sources) {
        for (CFileNode* c = source->GetFirstChild(); c && !request->IsCancelled(); c = c->GetNextSibling()) {
            if (IsScanFolder(c) || !manager.Filter().Match(c)) continue;
            if (!add(FileList_Item::ForFile(c))) break;
        }
    }
    if (request->IsCancelled()) {
        for (FileList_Item* row : batch) row->Release();
        batch.clear();
    } else {
        flush();
    }
    if (!owner.EndLoad(*request)) owner.DataCache().ClearQueue();
    owner.DataCache().Resume();
    tree.unlock();
    // Deliveries that arrived while the tree was held were left waiting.
    manager.ResumeDrain();
}

}  // namespace FileSelCtrl
