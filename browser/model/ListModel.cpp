#include "browser/model/ListModel.h"

#include <algorithm>
#include <ctime>

#include "browser/model/BindingNode.h"
#include "browser/model/BrowserConfig.h"
#include "browser/model/NodeManager.h"
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
            const std::string& at = a->icon ? a->icon->typeName : a->name;
            const std::string& bt = b->icon ? b->icon->typeName : b->name;
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
    FolderModel().Clear();
    SearchModel().Clear();
}

CFileListData::~CFileListData() {
    for (FileList_Item* row : m_rows) row->Release();
}

FileList_Item* CFileListData::GetItem(int index) const {
    if (index < 0 || index >= GetCount()) return nullptr;
    FileList_Item* row = m_rows[static_cast<size_t>(index)];
    row->AddRef();
    return row;
}

int CFileListData::IndexOfFileNode(const CFileNode* node) const {
    auto it = m_fileMap.find(node);
    if (it == m_fileMap.end()) return -1;
    auto pos = std::find(m_rows.begin(), m_rows.end(), it->second);
    return pos == m_rows.end() ? -1 : static_cast<int>(pos - m_rows.begin());
}

int CFileListData::IndexOfFolderNode(const CBindingNode* node) const {
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
    if (!node || m_fileMap.count(node)) return false;
    FileList_Item* row = FileList_Item::ForFile(node);
    if (!row) return false;
    const int old = GetCount();
    Append(row);
    Notify(old);
    return true;
}

void CFileListData::AddFileNodes(const std::vector<CFileNode*>& nodes) {
    const int old = GetCount();
    m_rows.reserve(m_rows.size() + nodes.size());
    for (CFileNode* node : nodes) {
        if (!node || m_fileMap.count(node)) continue;
        if (FileList_Item* row = FileList_Item::ForFile(node)) Append(row);
    }
    Notify(old);
}

bool CFileListData::AddFolderNode(CBindingNode* folder) {
    if (!folder || m_folderMap.count(folder)) return false;
    const int old = GetCount();
    Append(FileList_Item::ForFolder(folder));
    Notify(old);
    return true;
}

void CFileListData::RemoveFolderNode(const CBindingNode* folder) {
    auto it = m_folderMap.find(folder);
    if (it == m_folderMap.end()) return;
    FileList_Item* row = it->second;
    m_folderMap.erase(it);
    m_rows.erase(std::find(m_rows.begin(), m_rows.end(), row));
    row->Release();
    if (m_view) {
        m_view->OnRowsReset();
        m_view->OnHeaderCheck(GetCheckState());
    }
}

void CFileListData::Clear() {
    for (FileList_Item* row : m_rows) row->Release();
    m_rows.clear();
    m_rows.shrink_to_fit();
    m_fileMap.clear();
    m_folderMap.clear();
    m_sorted = false;
    if (m_view) {
        m_view->OnRowsReset();
        m_view->OnHeaderCheck(GetCheckState());
    }
}

void CFileListData::ShowFolder(CBindingNode* folder) {
    IFileListView* view = m_view;
    m_view = nullptr;  // one reset notice for the whole listing
    Clear();
    if (folder) {
        if (const auto* children = folder->GetChildren()) {
            for (CBindingNode* child : *children) {
                if (!m_folderMap.count(child)) Append(FileList_Item::ForFolder(child));
            }
        }
        std::vector<CFileNode*> bucket;
        folder->CollectItems(bucket);
        m_rows.reserve(m_rows.size() + bucket.size());
        for (CFileNode* file : bucket) {
            if (!m_fileMap.count(file)) {
                if (FileList_Item* row = FileList_Item::ForFile(file)) Append(row);
            }
        }
        std::vector<CFileNode*> sources;
        if (const auto* roots = folder->GetScanRoots()) sources = *roots;
        if (CFileNode* own = folder->GetFileNode()) sources.push_back(own);
        CFileVirtualNodeManager& manager = CFileVirtualNodeManager::Instance();
        size_t expected = m_rows.size();
        for (CFileNode* source : sources) {
            for (CFileNode* c = source->GetFirstChild(); c; c = c->GetNextSibling()) ++expected;
        }
        m_rows.reserve(expected);
        m_fileMap.reserve(expected);
        for (CFileNode* source : sources) {
            for (CFileNode* c = source->GetFirstChild(); c; c = c->GetNextSibling()) {
                if (IsScanFolder(c) || m_fileMap.count(c) || !manager.Filter().Match(c)) continue;
                if (FileList_Item* row = FileList_Item::ForFile(c)) Append(row);
            }
        }
    }
    m_view = view;
    if (m_sorted) Sort(m_sortAscending, m_sortColumn);
    if (m_view) {
        m_view->OnRowsReset();
        m_view->OnHeaderCheck(GetCheckState());
    }
}

void CFileListData::Sort(bool ascending, u32 column) {
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
    if (m_view) m_view->OnRowsReset();
}

u32 CFileListData::CheckSum() const {
    u32 sum = 0;
    for (const FileList_Item* row : m_rows) sum += row->GetCheckState() - 1u;
    return sum;
}

u32 CFileListData::GetCheckState() const {
    const u32 sum = CheckSum();
    if (sum == 0) return kImageUnchecked;
    return sum == 2u * static_cast<u32>(m_rows.size()) ? kImageChecked : kImagePartly;
}

void CFileListData::SetItemCheck(int index, bool checked) {
    if (index < 0 || index >= GetCount()) return;
    FileList_Item* row = m_rows[static_cast<size_t>(index)];
    if ((row->GetCheckState() == kImageChecked) == checked && !row->IsFolderRow()) return;
    row->SetCheckState(checked);
    CFileVirtualNodeManager& manager = CFileVirtualNodeManager::Instance();
    if (!g_searchShown) {
        if (CBindingNode* folder = manager.CurrentFolder()) folder->UpdateCheckUpwards();
    } else if (row->fileNode) {
        manager.UpdateFolderOf(row->fileNode);
    }
    if (m_view) {
        m_view->OnRowsChanged(index, index);
        m_view->OnHeaderCheck(GetCheckState());
    }
    manager.ReportCheckState(true, true);
}

void CFileListData::CheckAll(bool checked) {
    CFileVirtualNodeManager& manager = CFileVirtualNodeManager::Instance();
    const u32 image = checked ? kImageChecked : kImageUnchecked;
    if (g_searchShown) {
        for (FileList_Item* row : m_rows) {
            row->SetCheckState(checked);
            if (row->fileNode) manager.UpdateFolderOf(row->fileNode);
        }
    } else {
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
    if (!m_view) return;
    if (!m_rows.empty()) m_view->OnRowsChanged(0, GetCount() - 1);
    m_view->OnHeaderCheck(GetCheckState());
}

void CFileListData::RefreshRow(const CBindingNode* folder) {
    if (!m_view) return;
    const int index = IndexOfFolderNode(folder);
    if (index >= 0) m_view->OnRowsChanged(index, index);
    m_view->OnHeaderCheck(GetCheckState());
}

void CFileListData::RefreshFolderNames() {
    for (FileList_Item* row : m_rows) {
        if (row->folderNode) row->name = row->folderNode->GetName();
    }
    RefreshChecks();
}

size_t CFileListData::MemoryUse() const {
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

}  // namespace FileSelCtrl
