#include "browser/model/NodeManager.h"

#include <algorithm>
#include <unordered_set>

#include "browser/model/BrowserConfig.h"
#include "browser/model/BrowserSkin.h"
#include "browser/model/FileSelCtrlSink.h"
#include "browser/model/ListModel.h"
#include "core/Shell.h"
#include "engine/FileNode.h"
#include "engine/FileProperties.h"
#include "engine/FileSystemNode.h"
#include "engine/SavedResult.h"
#include "platform/Sync.h"
#include "platform/Time.h"

namespace FileSelCtrl {

namespace {
// The walk of a whole tree is marked at its start and its end in the program's log.
constexpr const char* kAddFileSystemNode = "FileSelCtrl::CFileVirtualNodeManager::AddFileSystemNode";
// Nodes travel in batches of this size; the UI thread looks at the clock every kClockStride.
constexpr size_t kBatchSize = 4096;
constexpr size_t kClockStride = 256;
// How long a removal waits for the UI thread between checks that the window still exists.
constexpr u32 kRemoveWaitSliceMs = 50;
// A search text must fit the name field of the search criteria with its two stars.
constexpr size_t kMaxSearchText = kMaxPath - 3;
constexpr const char* kForbiddenInSearch = "\\/:\"<>|";
}  // namespace

CFileVirtualNodeManager& CFileVirtualNodeManager::Instance() {
    static CFileVirtualNodeManager manager;
    return manager;
}

CFileVirtualNodeManager::CFileVirtualNodeManager() {
    CreateRoots();
    SetNodeHost(this);
}

CFileVirtualNodeManager::~CFileVirtualNodeManager() {
    if (NodeHost() == this) SetNodeHost(nullptr);
    ReleaseRoots();
}

void CFileVirtualNodeManager::CreateRoots() {
    if (!m_pathRoot) m_pathRoot = new CSystemRootNode("Root");
    if (!m_typeRoot) {
        m_typeRoot = new CFileTypeNode(kIconFolder, nullptr, Skin().typeAll, false, true, kCategoryRoot, kInsertLast);
        m_typeRoot->Build();
        m_typeRoot->StoreCheckState(kImageChecked);
    }
    if (!m_dateRoot) {
        m_dateRoot = new CFileTimeNode(kIconFolder, nullptr, Skin().dateRoot, false, DateKind::Root, kInsertLast);
        m_dateRoot->Build();
        m_dateRoot->StoreCheckState(kImageChecked);
    }
}

void CFileVirtualNodeManager::ReleaseRoots() {
    m_current = nullptr;
    for (CBindingNode** root : {reinterpret_cast<CBindingNode**>(&m_pathRoot), reinterpret_cast<CBindingNode**>(&m_typeRoot),
                                reinterpret_cast<CBindingNode**>(&m_dateRoot)}) {
        if (*root) {
            (*root)->Clear();
            (*root)->Release();
            *root = nullptr;
        }
    }
}

void CFileVirtualNodeManager::Relabel() {
    if (m_typeRoot) m_typeRoot->RelabelTypeTree();
    if (m_dateRoot) m_dateRoot->RelabelDateTree();
    for (u32 kind : {kTreeKindType, kTreeKindDate}) {
        if (ITreeObserver* o = ObserverOf(kind)) {
            o->OnBeginReset();
            o->OnEndReset();
        }
    }
    if (ITreeObserver* o = ObserverOf(kTreeKindPath)) o->OnNodeChanged(m_pathRoot);
}

void CFileVirtualNodeManager::SetObservers(ITreeObserver* pathTree, ITreeObserver* typeTree) {
    m_pathObserver = pathTree;
    m_typeObserver = typeTree;
}

void CFileVirtualNodeManager::SetObserver(u32 treeKind, ITreeObserver* observer) {
    if (treeKind == kTreeKindPath) m_pathObserver = observer;
    if (treeKind == kTreeKindType) m_typeObserver = observer;
    if (treeKind == kTreeKindDate) m_dateObserver = observer;
}

CBindingNode* CFileVirtualNodeManager::RootOf(u32 treeKind) const {
    if (treeKind == kTreeKindType) return m_typeRoot;
    if (treeKind == kTreeKindDate) return m_dateRoot;
    return m_pathRoot;
}

void CFileVirtualNodeManager::RefreshTreeStates(u32 treeKind) {
    if (CBindingNode* root = RootOf(treeKind)) root->RefreshCheckStates();
    if (ITreeObserver* o = ObserverOf(treeKind)) o->OnBuildEnded();
}

ITreeObserver* CFileVirtualNodeManager::ObserverOf(u32 kind) const {
    if (kind == kTreeKindPath) return m_pathObserver;
    if (kind == kTreeKindType) return m_typeObserver;
    if (kind == kTreeKindDate) return m_dateObserver;
    return nullptr;
}

void CFileVirtualNodeManager::SetUiWindow(HWND window) {
    std::lock_guard<std::mutex> guard(m_queueLock);
    m_uiWindow = window;
    m_uiThread = window ? CurrentThreadId() : 0;
    m_drainPosted = false;
}

bool CFileVirtualNodeManager::OnUiThread() const { return m_uiWindow && CurrentThreadId() == m_uiThread; }

bool CFileVirtualNodeManager::UiAlive() const { return m_uiWindow && IsWindow(m_uiWindow); }

// ---- the delivering side

void CFileVirtualNodeManager::Enqueue(Delivery&& d) {
    HWND post = nullptr;
    {
        std::lock_guard<std::mutex> guard(m_queueLock);
        d.generation = m_generation.load();
        m_queue.push_back(std::move(d));
        if (m_uiWindow && !m_drainPosted.exchange(true)) post = m_uiWindow;
    }
    // Posted outside the lock: the UI thread takes the same lock when it drains.
    if (post) PostMessage(post, WM_FILETREE_INSERTNODE, 0, 0);
}

void CFileVirtualNodeManager::QueueNode(CFileNode* node) {
    HWND post = nullptr;
    {
        std::lock_guard<std::mutex> guard(m_queueLock);
        if (m_queue.empty() || m_queue.back().kind != Kind::Nodes || m_queue.back().taken ||
            m_queue.back().nodes.size() >= kBatchSize) {
            Delivery d;
            d.kind = Kind::Nodes;
            d.generation = m_generation.load();
            d.nodes.reserve(kBatchSize);
            m_queue.push_back(std::move(d));
        }
        m_queue.back().nodes.push_back(node);
        if (m_uiWindow && !m_drainPosted.exchange(true)) post = m_uiWindow;
    }
    if (post) PostMessage(post, WM_FILETREE_INSERTNODE, 0, 0);
}

bool CFileVirtualNodeManager::AddNode(CFileNode* node) {
    if (!node || !m_filter.Match(node)) return false;
    QueueNode(node);
    return true;
}

void CFileVirtualNodeManager::AddFileSystemNode(CFileNode* root, NodeCallback callback, void* context, bool walk) {
    if (!root) return;
    Delivery d;
    d.kind = walk ? Kind::WalkedTree : Kind::Tree;
    d.node = root;
    Enqueue(std::move(d));
    if (!walk) return;
    WriteRunToLog(kAddFileSystemNode, __LINE__);
    std::deque<CFileNode*> queue{root};
    while (!queue.empty()) {
        CFileNode* node = queue.front();
        queue.pop_front();
        for (CFileNode* c = node->GetFirstChild(); c; c = c->GetNextSibling()) queue.push_back(c);
        if (node != root) AddNode(node);
        if (callback && !callback(node, context)) break;
    }
    WriteRunToLog(kAddFileSystemNode, __LINE__);
}

void CFileVirtualNodeManager::SetRootText(const char* text) {
    Delivery d;
    d.kind = Kind::RootText;
    d.text = text ? text : "";
    Enqueue(std::move(d));
}

void CFileVirtualNodeManager::SelectNode(CFileNode* node) {
    if (!node) return;
    Delivery d;
    d.kind = Kind::Select;
    d.node = node;
    Enqueue(std::move(d));
}

u64 CFileVirtualNodeManager::SetBuildState(bool building) {
    Delivery d;
    d.kind = Kind::BuildState;
    d.flag = building;
    d.ask = TakeBuildAsk();
    const u64 ask = d.ask;
    if (!ApplyAtOnce(d)) Enqueue(std::move(d));
    return ask;
}

bool CFileVirtualNodeManager::ApplyAtOnce(Delivery& d) {
    if (!OnUiThread()) return false;
    std::unique_lock<std::recursive_timed_mutex> drain(m_drainLock, std::try_to_lock);
    if (!drain.owns_lock()) return false;
    {
        std::lock_guard<std::mutex> guard(m_queueLock);
        if (!m_queue.empty()) return false;
        d.generation = m_generation.load();
    }
    Apply(d, ~0ULL);
    return true;
}

bool CFileVirtualNodeManager::RemoveFileSystemNode(CFileNode* root) {
    if (!root) return false;
    {
        // A tree the browser never took (or let go of in a ClearAll) with nothing queued that
        // could refer to it: nothing to wait for, so a UI thread that waits for this thread
        // cannot lock up with it.
        std::lock_guard<std::mutex> guard(m_queueLock);
        if (m_queue.empty() && std::find(m_searchRoots.begin(), m_searchRoots.end(), root) == m_searchRoots.end()) {
            m_filter.ForgetCache();
            return false;
        }
    }
    auto done = std::make_shared<Event>(true, false);
    Delivery d;
    d.kind = Kind::Remove;
    d.node = root;
    d.done = done;
    Enqueue(std::move(d));
    if (OnUiThread() || !UiAlive()) {
        // The lists go with the tree anyway; a loader reading it lets go at once.
        if (OnUiThread()) CFileListData::StopLoaders();
        std::lock_guard<std::recursive_timed_mutex> guard(m_drainLock);
        while (!done->IsSet() && ProcessPending(kInfinite)) {
        }
    } else {
        while (done->Wait(kRemoveWaitSliceMs) != kWaitObject0) {
            if (!UiAlive()) {
                std::lock_guard<std::recursive_timed_mutex> guard(m_drainLock);
                while (!done->IsSet() && ProcessPending(kInfinite)) {
                }
                break;
            }
        }
    }
    // A running search lets go of the trees before the caller frees this one; the filter's
    // cache must not answer for a node that a later tree may reuse the address of.
    std::unique_lock<std::shared_mutex> hold(m_treeUse);
    m_filter.ForgetCache();
    return false;
}

void CFileVirtualNodeManager::Search(const std::string& text) {
    const bool acceptable = text.size() <= kMaxSearchText && text.find_first_of(kForbiddenInSearch) == std::string::npos;
    SearchWith(SettingsForText(text), acceptable);
}

void CFileVirtualNodeManager::Search(const FileSearchSettings& settings) { SearchWith(settings, true); }

void CFileVirtualNodeManager::SearchWith(const FileSearchSettings& settings, bool acceptable) {
    std::vector<CFileNode*> hits;
    u64 generation = 0;
    u64 removals = 0;
    const CFileSearchCriteria criteria(settings);
    if (acceptable && criteria.IsValid()) {
        std::shared_lock<std::shared_mutex> hold(m_treeUse);
        std::vector<CFileNode*> roots;
        {
            std::lock_guard<std::mutex> guard(m_queueLock);
            roots = m_searchRoots;
            generation = m_generation.load();
            removals = m_removals.load();
        }
        std::deque<CFileNode*> folders(roots.begin(), roots.end());
        while (!folders.empty()) {
            CFileNode* node = folders.front();
            folders.pop_front();
            for (CFileNode* c = node->GetFirstChild(); c; c = c->GetNextSibling()) {
                if (IsScanFolder(c)) {
                    folders.push_back(c);
                } else if (criteria.Match(c->GetFileProperties()) && m_filter.Match(c)) {
                    hits.push_back(c);
                }
            }
        }
    } else {
        generation = m_generation.load();
        removals = m_removals.load();
    }
    Delivery d;
    d.kind = Kind::SearchHits;
    d.nodes = std::move(hits);
    d.removals = removals;
    HWND post = nullptr;
    {
        std::lock_guard<std::mutex> guard(m_queueLock);
        d.generation = generation;
        m_queue.push_back(std::move(d));
        if (m_uiWindow && !m_drainPosted.exchange(true)) post = m_uiWindow;
    }
    if (post) PostMessage(post, WM_FILETREE_INSERTNODE, 0, 0);
}

bool CFileVirtualNodeManager::ExportScanResult(IRSData* stream, IDIRBuildCallback* callback) {
    if (!stream || !callback) return false;
    std::shared_lock<std::shared_mutex> hold(m_treeUse);
    std::vector<CFileSystemNode*> roots;
    auto take = [&roots](CFileNode* root) {
        if (!root || !root->IsFileSystemNode()) return;
        auto* tree = static_cast<CFileSystemNode*>(root);
        if (std::find(roots.begin(), roots.end(), tree) == roots.end()) roots.push_back(tree);
    };
    {
        std::lock_guard<std::mutex> guard(m_queueLock);
        for (CFileNode* root : m_searchRoots) take(root);
        // A tree delivered last may still wait for the UI thread: it is shown all the same.
        for (const Delivery& d : m_queue)
            if ((d.kind == Kind::Tree || d.kind == Kind::WalkedTree) && d.generation == m_generation.load()) take(d.node);
    }
    return SaveScanTrees(roots, stream, callback);
}

// ---- the UI side

bool CFileVirtualNodeManager::HasPending() {
    std::lock_guard<std::mutex> guard(m_queueLock);
    return !m_queue.empty();
}

void CFileVirtualNodeManager::ResumeDrain() {
    HWND post = nullptr;
    {
        std::lock_guard<std::mutex> guard(m_queueLock);
        if (!m_queue.empty() && m_uiWindow && !m_drainPosted.exchange(true)) post = m_uiWindow;
    }
    if (post) PostMessage(post, WM_FILETREE_INSERTNODE, 0, 0);
}

bool CFileVirtualNodeManager::ProcessPending(u32 budgetMs) {
    std::unique_lock<std::recursive_timed_mutex> drain(m_drainLock, std::defer_lock);
    if (OnUiThread()) {
        // A list loader reads the trees: the UI thread does not wait for it; the loader asks
        // for this drain again when it lets go.
        if (!drain.try_lock()) {
            m_drainPosted = false;
            return true;
        }
    } else {
        drain.lock();
    }
    const u64 deadline = budgetMs == kInfinite ? ~0ULL : GetTickCount64Ms() + budgetMs;
    m_drainPosted = false;
    for (;;) {
        Delivery* d = nullptr;
        {
            std::lock_guard<std::mutex> guard(m_queueLock);
            if (m_queue.empty()) return false;
            d = &m_queue.front();
            d->taken = true;
        }
        // Only this thread pops; the front stays put while the deliverer appends behind it
        // (a deque keeps references to its elements valid across push_back).
        const bool finished = Apply(*d, deadline);
        if (finished) {
            std::shared_ptr<Event> done;
            {
                std::lock_guard<std::mutex> guard(m_queueLock);
                done = std::move(m_queue.front().done);
                m_queue.pop_front();
            }
            if (done) done->Set();
        }
        if (!finished || GetTickCount64Ms() >= deadline) {
            std::lock_guard<std::mutex> guard(m_queueLock);
            const bool more = !m_queue.empty();
            if (more && m_uiWindow && !m_drainPosted.exchange(true)) {
                PostMessage(m_uiWindow, WM_FILETREE_INSERTNODE, 0, 0);
            }
            return more;
        }
    }
}

bool CFileVirtualNodeManager::Apply(Delivery& d, u64 deadline) {
    if (d.generation != m_generation.load() && d.kind != Kind::Remove) return true;  // emptied since
    switch (d.kind) {
        case Kind::Nodes: {
            std::vector<CFileNode*> rows;
            std::vector<CFileVirtualNode*> touched;
            while (d.cursor < d.nodes.size()) {
                BindNode(d.nodes[d.cursor++], rows, touched);
                if (d.cursor % kClockStride == 0 && GetTickCount64Ms() >= deadline) break;
            }
            if (!rows.empty()) CFileListData::FolderModel().AddFileNodes(rows);
            AfterBatch(touched);
            return d.cursor >= d.nodes.size();
        }
        case Kind::Tree:
            m_pathRoot->RegisterScanRoot(d.node);
            {
                std::lock_guard<std::mutex> guard(m_queueLock);
                m_searchRoots.push_back(d.node);
            }
            if (m_current == m_pathRoot) ShowFolder(m_pathRoot);
            return true;
        case Kind::WalkedTree: {
            if (!m_populated) {
                // The first walked tree replaces whatever the browser showed; the chosen
                // folders stay, since the scan added them for this very tree.
                ResetNodes();
                m_current = m_currentTreeKind == kTreeKindPath ? static_cast<CBindingNode*>(m_pathRoot) : m_typeRoot;
                m_populated = true;
            }
            if (CSystemDirectory* folder = m_pathRoot->AddSystemDirectory(d.node)) {
                if (m_pathObserver) m_pathObserver->OnChildAdded(m_pathRoot, folder);
                if (m_current == m_pathRoot) CFileListData::FolderModel().AddFolderNode(folder);
                folder->Release();
            }
            std::lock_guard<std::mutex> guard(m_queueLock);
            if (std::find(m_searchRoots.begin(), m_searchRoots.end(), d.node) == m_searchRoots.end()) {
                m_searchRoots.push_back(d.node);
            }
            return true;
        }
        case Kind::Remove:
            ApplyRemove(d.node);
            return true;
        case Kind::RootText:
            m_pathRoot->SetName(d.text);
            if (m_pathObserver) m_pathObserver->OnNodeChanged(m_pathRoot);
            return true;
        case Kind::Select:
            if (CBindingNode* b = m_pathRoot->FindFolderBinding(d.node)) {
                if (m_pathObserver && b->HasTreeItem()) m_pathObserver->OnNodeChanged(b);
            }
            return true;
        case Kind::BuildState:
            m_building = d.flag;
            // No pictures are made while the scan adds files; they follow its end.
            CFileListData::PauseLoading(d.flag);
            if (d.flag) {
                if (!m_current) ShowFolder(m_currentTreeKind == kTreeKindPath ? static_cast<CBindingNode*>(m_pathRoot) : m_typeRoot);
            } else {
                m_pathRoot->RefreshCheckStates();
                m_typeRoot->RefreshCheckStates();
                m_dateRoot->RefreshCheckStates();
                if (m_current) CFileListData::FolderModel().RefreshChecks();
                if (m_pathObserver) m_pathObserver->OnBuildEnded();
                if (m_typeObserver) m_typeObserver->OnBuildEnded();
                if (m_dateObserver) m_dateObserver->OnBuildEnded();
                if (m_sink) m_sink->OnCheckChanged(m_pathRoot->GetCheckState() != kImageUnchecked);
                if (m_idleListener) m_idleListener(true, d.ask);
            }
            return true;
        case Kind::SearchHits: {
            if (m_searchListener) m_searchListener();
            CFileListData& search = CFileListData::SearchModel();
            // No picture is made of a hit before the list holds them all.
            search.SetSearching(true);
            search.Clear();
            // A tree removed since the search read it may have taken some hits with it.
            if (d.removals == m_removals.load()) search.AddFileNodes(d.nodes);
            search.SetSearching(false);
            return true;
        }
    }
    return true;
}

void CFileVirtualNodeManager::BindNode(CFileNode* node, std::vector<CFileNode*>& rows, std::vector<CFileVirtualNode*>& touched) {
    CBindingNode* parent = nullptr;
    CBindingNode* made = m_pathRoot->AddScanNode(node, &parent);
    if (made) {
        if (m_pathObserver) m_pathObserver->OnChildAdded(parent, made);
        // Nodes go to the folder list only, whatever list is on screen.
        if (parent == m_current) CFileListData::FolderModel().AddFolderNode(made);
        made->Release();
    } else if (parent && parent == m_current && !IsScanFolder(node)) {
        rows.push_back(node);
    }
    if (parent) parent->Release();
    if (!IsScanFolder(node)) ClassifyNode(node, rows, touched);
}

void CFileVirtualNodeManager::ClassifyNode(CFileNode* node, std::vector<CFileNode*>& rows, std::vector<CFileVirtualNode*>& touched) {
    std::vector<CFileVirtualNode*> took;
    m_typeRoot->ClassifyFile(node, took);
    CFileVirtualNode* dated = nullptr;
    m_dateRoot->AddFile(node, &dated);
    if (dated) took.push_back(dated);
    for (CFileVirtualNode* bucket : took) {
        Reveal(bucket);
        if (bucket == m_current) rows.push_back(node);
        // Buckets are few: a short list beats a set at a million files.
        if (std::find(touched.begin(), touched.end(), bucket) == touched.end()) touched.push_back(bucket);
        bucket->Release();
    }
}

void CFileVirtualNodeManager::Reveal(CFileVirtualNode* bucket) {
    // A shown bucket's ancestors are shown: the common case costs one test.
    if (bucket->IsRevealed()) return;
    // From the top down, so that a window knows the parent before its child arrives.
    std::vector<CFileVirtualNode*> chain;
    for (CBindingNode* n = bucket; n && n->GetParent(); n = n->GetParent()) chain.push_back(static_cast<CFileVirtualNode*>(n));
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
        CFileVirtualNode* node = *it;
        if (!node->Reveal()) continue;
        if (ITreeObserver* o = ObserverOf(node->GetTreeKind())) o->OnChildAdded(node->GetParent(), node);
        if (node->GetParent() == m_current) CFileListData::FolderModel().AddFolderNode(node);
    }
}

void CFileVirtualNodeManager::AfterBatch(std::vector<CFileVirtualNode*>& touched) {
    if (touched.empty()) return;
    // The labels carry the counts: every bucket that took files and its ancestors redraw.
    std::vector<CBindingNode*> changed;
    for (CBindingNode* n : touched) {
        for (; n; n = n->GetParent()) {
            if (std::find(changed.begin(), changed.end(), n) != changed.end()) break;
            changed.push_back(n);
        }
    }
    for (CBindingNode* n : changed) {
        if (ITreeObserver* o = ObserverOf(n->GetTreeKind())) o->OnNodeChanged(n);
    }
    if (m_current && m_current->GetTreeKind() != kTreeKindPath) CFileListData::FolderModel().RefreshFolderNames();
}

void CFileVirtualNodeManager::ResetNodes() {
    if (m_pathObserver) m_pathObserver->OnBeginReset();
    if (m_typeObserver) m_typeObserver->OnBeginReset();
    if (m_dateObserver) m_dateObserver->OnBeginReset();
    m_current = nullptr;
    CFileListData::ClearAll();
    m_pathRoot->Clear();
    m_typeRoot->Clear();
    m_typeRoot->StoreCheckState(kImageChecked);
    m_dateRoot->Clear();
    m_dateRoot->StoreCheckState(kImageChecked);
    if (m_dateObserver) m_dateObserver->OnEndReset();
    {
        std::lock_guard<std::mutex> guard(m_queueLock);
        m_searchRoots.clear();
    }
    if (m_pathObserver) m_pathObserver->OnEndReset();
    if (m_typeObserver) m_typeObserver->OnEndReset();
}

void CFileVirtualNodeManager::ApplyRemove(CFileNode* root) {
    {
        // Together, so that a search reads either the tree and the old count or neither.
        std::lock_guard<std::mutex> guard(m_queueLock);
        m_removals.fetch_add(1);
        m_searchRoots.erase(std::remove(m_searchRoots.begin(), m_searchRoots.end(), root), m_searchRoots.end());
    }
    if (m_pathObserver) m_pathObserver->OnBeginReset();
    // The lists may hold rows of the tree (the shown folder, search hits): they go first.
    CFileListData::ClearAll();
    bool currentGoes = false;
    if (m_current && m_current != m_pathRoot && m_current->GetTreeKind() == kTreeKindPath) {
        const CBindingNode* top = m_current;
        while (top->GetParent() && top->GetParent() != m_pathRoot) top = top->GetParent();
        const CFileNode* n = top->GetFileNode();
        while (n && !n->IsFileSystemNode()) n = n->GetParent();
        currentGoes = n == root;
    }
    if (currentGoes) m_current = m_pathRoot;
    for (CBindingNode* removed : m_pathRoot->DetachRoot(root)) removed->Release();
    if (m_pathObserver) m_pathObserver->OnEndReset();
    for (u32 kind : {kTreeKindType, kTreeKindDate}) {
        auto* tree = static_cast<CFileVirtualNode*>(RootOf(kind));
        ITreeObserver* o = ObserverOf(kind);
        if (o) o->OnBeginReset();
        tree->DetachRoot(root);
        tree->RebuildShown();
        if (o) o->OnEndReset();
    }
    // A bucket that lost its last file has no item any more: its tree's root is listed instead.
    if (m_current && m_current->GetTreeKind() != kTreeKindPath && m_current->GetParent() && m_current->IsEmpty()) {
        m_current = RootOf(m_current->GetTreeKind());
    }
    if (m_current) CFileListData::FolderModel().ShowFolder(m_current);
}

void CFileVirtualNodeManager::ClearAll() {
    {
        std::lock_guard<std::mutex> guard(m_queueLock);
        // Removals still waiting are answered: nothing of their trees is left after this.
        for (Delivery& d : m_queue) {
            if (d.done) d.done->Set();
        }
        m_queue.clear();
        m_generation.fetch_add(1);
    }
    CFileListData::StopLoaders();
    std::lock_guard<std::recursive_timed_mutex> drain(m_drainLock);
    ResetNodes();
    m_filter.Clear();
    m_populated = false;
    m_building = false;
}

void CFileVirtualNodeManager::ShowFolder(CBindingNode* folder) {
    m_current = folder;
    CFileListData::FolderModel().ShowFolder(folder);
}

void CFileVirtualNodeManager::ReportCheckState(bool recount, bool value) {
    if (recount) {
        // The path tree follows every check at once, wherever it was made; the type tree learns
        // of checks made in the search list only at its next refresh, so while that list shows
        // the path root answers, without a walk of the whole tree for one check.
        const bool pathAnswers = m_currentTreeKind == kTreeKindPath || CFileListData::IsSearchShown();
        if (pathAnswers && m_pathRoot) value = m_pathRoot->GetCheckState() != kImageUnchecked;
        if (!pathAnswers && m_currentTreeKind == kTreeKindType && m_typeRoot) value = m_typeRoot->GetCheckState() != kImageUnchecked;
    }
    if (m_sink) m_sink->OnCheckChanged(value);
}

void CFileVirtualNodeManager::MarkTreesForRefresh() {
    const bool search = CFileListData::IsSearchShown();
    for (u32 kind : {kTreeKindPath, kTreeKindType}) {
        if (!search && kind == m_currentTreeKind) continue;
        if (ITreeObserver* o = ObserverOf(kind)) o->SetRefreshPending();
    }
}

void CFileVirtualNodeManager::UpdateFolderOf(const CFileNode* file) {
    if (!file || !m_pathRoot) return;
    if (CBindingNode* folder = m_pathRoot->FindFolderBinding(file->GetParent())) {
        if (folder != m_pathRoot) {
            folder->UpdateCheckUpwards();
        } else {
            m_pathRoot->UpdateCheckUpwards();
        }
        RefreshTreeItem(folder);
    }
}

void CFileVirtualNodeManager::UpdateFoldersOf(const std::vector<CFileNode*>& files) {
    if (!m_pathRoot || files.empty()) return;
    std::unordered_set<const CFileNode*> scanFolders;
    for (const CFileNode* file : files) {
        if (file) scanFolders.insert(file->GetParent());
    }
    // By depth below the root, so that a folder is recomputed after every touched folder below
    // it, and once however many of them there are.
    std::vector<std::vector<CBindingNode*>> byDepth;
    std::unordered_set<const CBindingNode*> queued;
    auto queue = [&](CBindingNode* node, size_t depth) {
        if (!queued.insert(node).second) return;
        if (byDepth.size() <= depth) byDepth.resize(depth + 1);
        byDepth[depth].push_back(node);
    };
    for (const CFileNode* scanFolder : scanFolders) {
        CBindingNode* folder = m_pathRoot->FindFolderBinding(scanFolder);
        if (!folder) continue;
        size_t depth = 0;
        for (const CBindingNode* up = folder->GetParent(); up; up = up->GetParent()) ++depth;
        queue(folder, depth);
    }
    bool rootTouched = false;
    for (size_t depth = byDepth.size(); depth-- > 0;) {
        for (size_t i = 0; i < byDepth[depth].size(); ++i) {
            CBindingNode* folder = byDepth[depth][i];
            if (folder == m_pathRoot) {
                rootTouched = true;
            } else if (folder->TakeComputedState() && folder->GetParent()) {
                queue(folder->GetParent(), depth - 1);
            }
        }
    }
    // The root's state is read from its children; the trees registered whole follow their files.
    if (rootTouched) m_pathRoot->UpdateCheckUpwards();
}

void CFileVirtualNodeManager::RefreshTreeItem(CBindingNode* node) {
    if (!node) return;
    if (ITreeObserver* o = ObserverOf(node->GetTreeKind())) o->OnNodeChanged(node);
}

void CFileVirtualNodeManager::RefreshRowOf(CBindingNode* node) { CFileListData::FolderModel().RefreshRow(node); }

void CFileVirtualNodeManager::RefreshAllRows() { CFileListData::FolderModel().RefreshChecks(); }

void CFileVirtualNodeManager::CountChecked(u64& files, u64& bytes, u64& allFiles) {
    files = bytes = allFiles = 0;
    if (!m_pathRoot) return;
    std::deque<const CFileNode*> queue;
    for (CFileNode* root : m_pathRoot->TreeRoots()) queue.push_back(root);
    while (!queue.empty()) {
        const CFileNode* node = queue.front();
        queue.pop_front();
        for (const CFileNode* c = node->GetFirstChild(); c; c = c->GetNextSibling()) {
            if (IsScanFolder(c)) {
                queue.push_back(c);
                continue;
            }
            if (!m_filter.Match(c)) continue;
            ++allFiles;
            if (c->GetCheckState() == kChecked) {
                ++files;
                if (const IFileProperties* p = c->GetFileProperties()) bytes += p->GetSize();
            }
        }
    }
}

}  // namespace FileSelCtrl
