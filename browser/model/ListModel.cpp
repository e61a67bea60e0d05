#include "browser/model/ListModel.h"

#include <algorithm>
#include <ctime>

#include "browser/model/BindingNode.h"
#include "browser/model/BrowserConfig.h"
#include "browser/model/NodeManager.h"
#include "browser/model/UsageEvents.h"
#include "engine/FileNode.h"
#include "engine/FileProperties.h"
#include "platform/Time.h"

namespace FileSelCtrl {

namespace {

bool g_searchShown = false;

// One total order per column: the column's key, then the name, then the node, so that equal
// keys still order strictly. Descending is the exact reverse.
int CompareKey(const FileList_Item* a, const FileList_Item* b, u32 column) {
    auto three = [](auto x, auto y) { return x < y ? -1 : (y < x ? 1 : 0); };
    switch (column) {
        case kColumnDate: {
            const bool av = a->dateStatus == DateStatus::Valid;
            const bool bv = b->dateStatus == DateStatus::Valid;
            if (av != bv) return av ? -1 : 1;  // dated rows first
            return av ? three(a->date, b->date) : 0;
        }
        case kColumnType: {
            const std::string& at = a->icon ? a->icon->TypeName() : a->name;
            const std::string& bt = b->icon ? b->icon->TypeName() : b->name;
            return at.compare(bt) < 0 ? -1 : (at == bt ? 0 : 1);
        }
        case kColumnSize:
            return three(a->size, b->size);
        case kColumnQuality:
            return three(b->quality, a->quality);  // the better quality first
        default:
            return 0;
    }
}

bool Less(const FileList_Item* a, const FileList_Item* b, u32 column) {
    int c = column == kColumnName ? 0 : CompareKey(a, b, column);
    if (c == 0) c = a->name.compare(b->name);
    if (c == 0) {
        const void* ak = a->fileNode ? static_cast<const void*>(a->fileNode) : a->folderNode;
        const void* bk = b->fileNode ? static_cast<const void*>(b->fileNode) : b->folderNode;
        return std::less<const void*>()(ak, bk);
    }
    return c < 0;
}

}  // namespace

bool FileTimeToLocalSeconds(u64 fileTime, i64& out) {
    if (fileTime == 0) return false;
    i64 seconds = 0;
    u32 nanoseconds = 0;
    FileTimeToUnix(fileTime, seconds, nanoseconds);
    const std::time_t t = static_cast<std::time_t>(seconds);
    std::tm local{};
    if (!localtime_r(&t, &local)) return false;
    out = seconds + local.tm_gmtoff;
    return true;
}

// ---- FileList_Item

FileList_Item* FileList_Item::ForFile(CFileNode* node) {
    const IFileProperties* p = node ? node->GetFileProperties() : nullptr;
    if (!p || (p->GetAttributes() & kAttrDirectory)) return nullptr;
    auto* row = new FileList_Item();
    row->fileNode = node;
    const char* name = p->GetName();
    row->name = name ? name : "";
    if (row->name.size() >= kMaxRowName) row->name = row->name.substr(0, kRowNameKeep) + "~1";
    FILETIME64 modified = 0;
    p->GetModificationTime(modified);
    row->dateStatus = FileTimeToLocalSeconds(modified, row->date) ? DateStatus::Valid : DateStatus::Invalid;
    row->icon = CFileSelIconManager::Instance().GetFileIcon(row->name);
    row->size = p->GetSize();
    return row;
}

FileList_Item* FileList_Item::ForFolder(CBindingNode* folder) {
    if (!folder) return nullptr;
    auto* row = new FileList_Item();
    row->folderNode = folder;
    row->name = folder->GetName();
    row->icon = folder->GetIconRecord();
    return row;
}

u32 FileList_Item::GetCheckState() const {
    if (folderNode) return folderNode->GetCheckState();
    return fileNode ? fileNode->GetCheckState() + 1u : kImageUnchecked;
}

void FileList_Item::SetCheckState(bool checked) {
    if (folderNode) {
        folderNode->RefreshItem(checked ? kImageChecked : kImageUnchecked, true, true);
    } else if (fileNode) {
        fileNode->SetCheckState(checked ? kChecked : kUnchecked);
    }
}

// ---- CFileListData

CFileListData& CFileListData::FolderModel() {
    static CFileListData model;
    return model;
}

CFileListData& CFileListData::SearchModel() {
    static CFileListData model;
    return model;
}

CFileListData& CFileListData::GetCurrent() { return g_searchShown ? SearchModel() : FolderModel(); }

bool CFileListData::IsSearchShown() { return g_searchShown; }

void CFileListData::SelectModel(bool search, bool clearBoth) {
    if (clearBoth) {
        FolderModel().Clear();
        SearchModel().Clear();
    }
    CFileListData& from = GetCurrent();
    CFileListData& to = search ? SearchModel() : FolderModel();
    g_searchShown = search;
    if (&from != &to) {
        to.m_view = from.m_view;
        from.m_view = nullptr;
    }
    if (to.m_view) {
        to.m_view->OnRowsReset();
        to.m_view->OnHeaderCheck(to.GetCheckState());
    }
}

void CFileListData::ClearAll() {
    for (CFileListData* model : {&FolderModel(), &SearchModel()}) {
        model->m_loader.StopAndClear();
        model->Clear();
        model->m_dataCache.ClearQueue();
    }
    FolderModel().m_loader.WaitIdle();
    SearchModel().m_loader.WaitIdle();
}

void CFileListData::StopLoaders() {
    FolderModel().m_loader.Stop();
    SearchModel().m_loader.Stop();
}

void CFileListData::PauseLoading(bool pause) {
    for (CFileListData* model : {&FolderModel(), &SearchModel()}) {
        model->m_dataCache.SetPaused(pause);
        if (pause) {
            model->m_dataCache.Hold();
        } else {
            model->m_dataCache.Resume();
        }
    }
    if (!pause) FolderModel().NotifyCheckEmpty();
}

CFileListData::~CFileListData() {
    m_loader.Stop();
    m_loader.WaitIdle();
    for (FileList_Item* row : m_rows) row->Release();
}

void CFileListData::AttachView(IFileListView* view) {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    m_view = view;
}

void CFileListData::Post(u32 message, WPARAM wParam, LPARAM lParam) {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    if (m_view) m_view->PostListMessage(message, wParam, lParam);
}

int CFileListData::GetCount() const {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    return static_cast<int>(m_rows.size());
}

int CFileListData::ShownCount() const {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    return static_cast<int>(std::max(m_rows.size(), m_loading.load() ? m_expected : size_t{0}));
}

FileList_Item* CFileListData::GetItem(int index) const {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    if (index < 0 || index >= GetCount()) return nullptr;
    FileList_Item* row = m_rows[static_cast<size_t>(index)];
    row->AddRef();
    return row;
}

FileList_Item* CFileListData::FindByFileNode(const CFileNode* node) const {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    auto it = m_fileMap.find(node);
    if (it == m_fileMap.end()) return nullptr;
    it->second->AddRef();
    return it->second;
}

void CFileListData::NotifyRowChanged(const FileList_Item* row) {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    if (!row || !m_view) return;
    if (m_view->IsReportKind()) {
        Post(WM_FILELIST_PREVIEWREADY, 0, reinterpret_cast<LPARAM>(row));
    } else if (row->drawnIndex >= 0) {
        Post(WM_FILELIST_PREVIEWITEM, static_cast<WPARAM>(row->drawnIndex), 0);
    }
}

void CFileListData::NotifyCheckEmpty() { Post(WM_FILELIST_CHECKEMPTY, 0, 0); }

int CFileListData::IndexOfFileNode(const CFileNode* node) const {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    auto it = m_fileMap.find(node);
    if (it == m_fileMap.end()) return -1;
    auto pos = std::find(m_rows.begin(), m_rows.end(), it->second);
    return pos == m_rows.end() ? -1 : static_cast<int>(pos - m_rows.begin());
}

int CFileListData::IndexOfFolderNode(const CBindingNode* node) const {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    auto it = m_folderMap.find(node);
    if (it == m_folderMap.end()) return -1;
    auto pos = std::find(m_rows.begin(), m_rows.end(), it->second);
    return pos == m_rows.end() ? -1 : static_cast<int>(pos - m_rows.begin());
}

void CFileListData::Append(FileList_Item* row) {
    m_rows.push_back(row);
    if (row->fileNode) m_fileMap.emplace(row->fileNode, row);
    if (row->folderNode) m_folderMap.emplace(row->folderNode, row);
}

void CFileListData::Notify(int oldCount) {
    if (m_view && GetCount() > oldCount) {
        m_view->OnRowsAppended(oldCount, GetCount() - 1);
        m_view->OnHeaderCheck(GetCheckState());
    }
}

bool CFileListData::AddFileNode(CFileNode* node) {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    if (!node || m_fileMap.count(node)) return false;
    FileList_Item* row = FileList_Item::ForFile(node);
    if (!row) return false;
    const int old = GetCount();
    Append(row);
    m_checkSum += CheckShare(row);
    Notify(old);
    return true;
}

void CFileListData::AddFileNodes(const std::vector<CFileNode*>& nodes) {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    const int old = GetCount();
    m_rows.reserve(m_rows.size() + nodes.size());
    for (CFileNode* node : nodes) {
        if (!node || m_fileMap.count(node)) continue;
        if (FileList_Item* row = FileList_Item::ForFile(node)) {
            Append(row);
            m_checkSum += CheckShare(row);
        }
    }
    Notify(old);
}

bool CFileListData::AddFolderNode(CBindingNode* folder) {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    if (!folder || m_folderMap.count(folder)) return false;
    const int old = GetCount();
    FileList_Item* row = FileList_Item::ForFolder(folder);
    Append(row);
    m_checkSum += CheckShare(row);
    Notify(old);
    return true;
}

void CFileListData::RemoveFolderNode(const CBindingNode* folder) {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    auto it = m_folderMap.find(folder);
    if (it == m_folderMap.end()) return;
    FileList_Item* row = it->second;
    m_folderMap.erase(it);
    m_rows.erase(std::find(m_rows.begin(), m_rows.end(), row));
    const u32 share = CheckShare(row);
    if (share <= m_checkSum) {
        m_checkSum -= share;
    } else {
        ForgetCheckSum();  // the row changed since it was counted
    }
    row->Release();
    if (m_view) {
        m_view->OnRowsReset();
        m_view->OnHeaderCheck(GetCheckState());
    }
}

void CFileListData::ClearRows() {
    for (FileList_Item* row : m_rows) row->Release();
    m_rows.clear();
    m_rows.shrink_to_fit();
    m_fileMap.clear();
    m_folderMap.clear();
    m_checkSum = 0;
    m_checkSumKnown = true;
}

void CFileListData::Clear() {
    m_loader.Stop();
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    ClearRows();
    m_sorted = false;
    if (m_view) {
        m_view->OnRowsReset();
        m_view->OnHeaderCheck(GetCheckState());
    }
}

void CFileListData::ShowFolder(CBindingNode* folder) {
    m_loader.Stop();
    {
        std::lock_guard<std::recursive_mutex> guard(m_lock);
        ClearRows();
        m_expected = 0;
        m_sorted = false;
        if (m_view) {
            m_view->OnRowsReset();
            m_view->OnHeaderCheck(GetCheckState());
        }
    }
    if (!folder) return;
    if (m_view) {
        m_loading = true;
        m_loader.Start(folder);
    } else {
        m_loader.LoadNow(folder);
    }
}

void CFileListData::BeginLoad(const CFileListDataUICache::UICache_Item& request) {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    if (request.IsCancelled()) return;
    // Rows bound since the folder was opened are read again from the tree.
    ClearRows();
    m_expected = 0;
    Post(WM_FILELIST_UPDATEHEADER, 0, 0);
}

void CFileListData::SetExpectedCount(const CFileListDataUICache::UICache_Item& request, size_t count) {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    if (request.IsCancelled()) return;
    m_expected = count;
    m_rows.reserve(count);
    m_fileMap.reserve(count);
    Post(WM_FILELIST_UPDATEHEADER, 0, static_cast<LPARAM>(ShownCount()));
}

bool CFileListData::AppendRows(const CFileListDataUICache::UICache_Item& request, FileList_Item* const* first,
                               FileList_Item* const* last, u32 checkShare) {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    if (request.IsCancelled()) {
        for (auto* it = first; it != last; ++it) (*it)->Release();
        return false;
    }
    const size_t old = m_rows.size();
    for (auto* it = first; it != last; ++it) {
        FileList_Item* row = *it;
        if ((row->fileNode && m_fileMap.count(row->fileNode)) || (row->folderNode && m_folderMap.count(row->folderNode))) {
            checkShare -= std::min(checkShare, CheckShare(row));
            row->Release();
        } else {
            Append(row);
        }
    }
    m_checkSum += checkShare;
    Post(WM_FILELIST_UPDATEHEADER, old, static_cast<LPARAM>(ShownCount()));
    return true;
}

bool CFileListData::EndLoad(const CFileListDataUICache::UICache_Item& request) {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    if (request.IsCancelled()) return false;
    // A sort chosen while the rows arrived covers them all now.
    if (m_sorted) SortLocked(m_sortAscending, m_sortColumn);
    m_loading = false;
    m_expected = 0;
    Post(WM_FILELIST_UPDATEHEADER, 0, static_cast<LPARAM>(m_rows.size()));
    Post(WM_FILELIST_CHECKEMPTY, 0, 0);
    return true;
}

void CFileListData::CancelLoad(CFileListDataUICache::UICache_Item& request) {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    request.cancel.store(1, std::memory_order_release);
    m_loading = false;
    m_expected = 0;
}

void CFileListData::Sort(bool ascending, u32 column) {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    SortLocked(ascending, column);
    // Drawn again; the view's marks stay where they are.
    if (m_view && !m_rows.empty()) m_view->OnRowsChanged(0, static_cast<int>(m_rows.size()) - 1);
    if (column <= kColumnSize) StatsEvent(kUsageSortByColumn + column);
}

void CFileListData::SortLocked(bool ascending, u32 column) {
    m_sortColumn = column;
    m_sortAscending = ascending;
    m_sorted = true;
    if (column <= kColumnQuality) {
        if (ascending) {
            std::sort(m_rows.begin(), m_rows.end(), [column](const FileList_Item* a, const FileList_Item* b) { return Less(a, b, column); });
        } else {
            std::sort(m_rows.begin(), m_rows.end(), [column](const FileList_Item* a, const FileList_Item* b) { return Less(b, a, column); });
        }
    }
    for (FileList_Item* row : m_rows) row->drawnIndex = -1;
}

u32 CFileListData::CountCheckSum() const {
    u32 sum = 0;
    for (const FileList_Item* row : m_rows) sum += CheckShare(row);
    return sum;
}

u32 CFileListData::CheckSum() const {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    return m_checkSumKnown ? m_checkSum : CountCheckSum();
}

u32 CFileListData::GetCheckState() const {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    const u32 sum = CheckSum();
    if (sum == 0) return kImageUnchecked;
    return sum == 2u * static_cast<u32>(m_rows.size()) ? kImageChecked : kImagePartly;
}

void CFileListData::SetItemCheck(int index, bool checked) {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    if (index < 0 || index >= GetCount()) return;
    FileList_Item* row = m_rows[static_cast<size_t>(index)];
    if ((row->GetCheckState() == kImageChecked) == checked && !row->IsFolderRow()) return;
    const u32 before = CheckShare(row);
    row->SetCheckState(checked);
    // Only this row's nodes changed: the sum moves by its share.
    m_checkSum = m_checkSum + CheckShare(row) - std::min(before, m_checkSum);
    CFileVirtualNodeManager& manager = CFileVirtualNodeManager::Instance();
    manager.MarkTreesForRefresh();
    CBindingNode* folder = g_searchShown ? nullptr : manager.CurrentFolder();
    if (folder) folder->UpdateCheckUpwards();
    // A file listed in a search or under a type bucket: its folder in the path tree follows at
    // once, for the recovery enters only the folders that are not unchecked.
    if (row->fileNode && (!folder || folder->GetTreeKind() != kTreeKindPath)) manager.UpdateFolderOf(row->fileNode);
    if (m_view) {
        m_view->OnRowsChanged(index, index);
        m_view->OnHeaderCheck(GetCheckState());
    }
    manager.ReportCheckState(true, true);
}

void CFileListData::CheckAll(bool checked) {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    CFileVirtualNodeManager& manager = CFileVirtualNodeManager::Instance();
    const u32 image = checked ? kImageChecked : kImageUnchecked;
    if (g_searchShown || manager.CurrentFolder()) manager.MarkTreesForRefresh();
    if (g_searchShown) {
        // One pass over the hits, then each folder they lie in once.
        std::vector<CFileNode*> files;
        files.reserve(m_rows.size());
        for (FileList_Item* row : m_rows) {
            row->SetCheckState(checked);
            if (row->fileNode) files.push_back(row->fileNode);
        }
        manager.UpdateFoldersOf(files);
        m_checkSum = checked ? 2u * static_cast<u32>(m_rows.size()) : 0;
    } else {
        // Rows the folder filter hides part of may stay partly checked.
        ForgetCheckSum();
        CBindingNode* folder = manager.CurrentFolder();
        if (!folder) return;
        folder->RefreshItem(image, true, true);
        // Files listed under the root belong to the registered trees: the root's own store
        // covers them, and a folder's covers its files.
        folder->UpdateCheckUpwards();
    }
    if (m_view) {
        m_view->OnRowsChanged(0, GetCount() - 1);
        m_view->OnHeaderCheck(GetCheckState());
    }
    manager.ReportCheckState(true, checked);
}

void CFileListData::RefreshChecks() {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    ForgetCheckSum();
    if (!m_view) return;
    if (!m_rows.empty()) m_view->OnRowsChanged(0, GetCount() - 1);
    m_view->OnHeaderCheck(GetCheckState());
}

void CFileListData::RefreshRow(const CBindingNode* folder) {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    ForgetCheckSum();
    if (!m_view) return;
    const int index = IndexOfFolderNode(folder);
    if (index >= 0) m_view->OnRowsChanged(index, index);
    m_view->OnHeaderCheck(GetCheckState());
}

void CFileListData::RecountChecks() {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    Post(WM_FILELIST_UPDATEHEADER, 0, static_cast<LPARAM>(ShownCount()));
    m_checkSum = CountCheckSum();
    m_checkSumKnown = true;
    if (!m_view) return;
    if (m_rows.empty()) {
        Post(WM_FILELIST_CHECKEMPTY, 0, 0);
    } else {
        Post(WM_FILELIST_SELECTITEM, 0, 0);
    }
    m_view->OnHeaderCheck(GetCheckState());
}

void CFileListData::SetSearching(bool searching) {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    if (searching) {
        m_dataCache.Hold();
        if (!m_view) return;
        m_view->ResetItems();
        m_view->SetReady(true);
        return;
    }
    m_dataCache.Resume();
    if (!m_view) return;
    m_view->OnHeaderCheck(GetCheckState());
    // The view shows the hits, however they were added.
    Post(WM_FILELIST_UPDATEHEADER, 0, static_cast<LPARAM>(ShownCount()));
}

void CFileListData::RefreshFolderNames() {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    for (FileList_Item* row : m_rows) {
        if (row->folderNode) row->name = row->folderNode->GetName();
    }
    RefreshChecks();
}

size_t CFileListData::MemoryUse() const {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    // An unordered_map node: the value pair plus the next pointer and the cached hash.
    constexpr size_t kHashNode = 2 * sizeof(void*) + sizeof(void*) + sizeof(size_t);
    size_t bytes = m_rows.capacity() * sizeof(FileList_Item*);
    for (const FileList_Item* row : m_rows) {
        bytes += sizeof(FileList_Item);
        if (row->name.capacity() > 15) bytes += row->name.capacity() + 1;
    }
    bytes += (m_fileMap.size() + m_folderMap.size()) * kHashNode;
    bytes += (m_fileMap.bucket_count() + m_folderMap.bucket_count()) * sizeof(void*);
    return bytes;
}

// ---- CFileListDataCache

void CFileListDataCache::AttachWorker(IThumbnailQueue* worker) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_worker = worker;
}

void CFileListDataCache::Hold() {
    m_hold = true;
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_worker) m_worker->Hold();
}

void CFileListDataCache::Resume() {
    m_hold = false;
    if (m_paused) return;
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_worker) m_worker->Resume();
}

void CFileListDataCache::ClearQueue() {
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_worker) m_worker->ClearQueue();
}

void CFileListDataCache::SetPaused(bool paused) { m_paused = paused; }

}  // namespace FileSelCtrl
