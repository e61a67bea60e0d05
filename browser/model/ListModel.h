#pragma once
// The rows the list views show: the child folders and files of the opened folder (the folder
// model) or the hits of a search (the search model). Both models live on the UI thread; the
// views ask for row N when they draw.
#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "browser/model/ListLoader.h"
#include "browser/model/XUnknown.h"
#include "platform/Types.h"
#include "platform/WindowPost.h"

class CFileNode;

namespace FileSelCtrl {

struct IconRecord;
class CBindingNode;

// Sort columns.
enum ListColumn : u32 { kColumnName = 0, kColumnDate = 1, kColumnType = 2, kColumnSize = 3, kColumnQuality = 4 };

enum class DateStatus : u8 { Valid = 0, Invalid = 1, Null = 2 };

constexpr u32 kDefaultQuality = 2;
// Names of this many bytes or more are shown cut, with a "~1" tail.
constexpr size_t kMaxRowName = 260;
constexpr size_t kRowNameKeep = 256;

class FileList_Item : public XUnknown {
public:
    // A file row; null for a folder.
    static FileList_Item* ForFile(CFileNode* node);
    static FileList_Item* ForFolder(CBindingNode* folder);

    std::string name;
    i64 date = 0;  // local calendar time, seconds since 1970
    DateStatus dateStatus = DateStatus::Invalid;
    const IconRecord* icon = nullptr;
    u64 size = 0;
    CBindingNode* folderNode = nullptr;
    CFileNode* fileNode = nullptr;
    u32 quality = kDefaultQuality;
    i32 drawnIndex = -1;

    // 1 unchecked, 2 partly, 3 checked, read from the node.
    u32 GetCheckState() const;
    // Checked: the file's byte 2 / the folder's image 3, and the folder's subtree with it.
    void SetCheckState(bool checked);
    bool IsFolderRow() const { return folderNode != nullptr; }
};

// Posted by a list model to its view; handled on the UI thread.
// wParam: the first changed index; lParam: the row count the view is to show.
constexpr u32 WM_FILELIST_UPDATEHEADER = WM_USER_MSG + 1034;
// wParam: the index of a row to redraw.
constexpr u32 WM_FILELIST_PREVIEWITEM = WM_USER_MSG + 1035;
// lParam: the row whose picture is ready (compared, never followed: it may be gone).
constexpr u32 WM_FILELIST_PREVIEWREADY = WM_USER_MSG + 1036;
// wParam: the index of the row to select.
constexpr u32 WM_FILELIST_SELECTITEM = WM_USER_MSG + 1037;
// The list may be empty: the preview pane follows.
constexpr u32 WM_FILELIST_CHECKEMPTY = WM_USER_MSG + 1038;

// What a list model tells the view attached to it. The On... calls come on the UI thread; any
// thread may post.
class IFileListView {
public:
    virtual ~IFileListView() = default;
    virtual void OnRowsReset() = 0;
    virtual void OnRowsAppended(int first, int last) = 0;
    virtual void OnRowsChanged(int first, int last) = 0;
    virtual void OnHeaderCheck(u32 state) = 0;
    // Queues the message for the UI thread; safe from any thread while the view is attached.
    virtual void PostListMessage(u32 message, WPARAM wParam, LPARAM lParam) = 0;
    // The report (details) view is drawn from rows; the icon view wants the index of a changed row.
    virtual bool IsReportKind() const { return true; }
    // Shows no rows and forgets its cell tips until the model's count is shown again.
    virtual void ResetItems() = 0;
    // While not ready an empty list says it is loading and takes no check clicks.
    virtual void SetReady(bool ready) = 0;
};

// The thumbnail work the icon view does for a model's rows, as the model steers it.
class IThumbnailQueue {
public:
    virtual ~IThumbnailQueue() = default;
    virtual void Hold() = 0;
    virtual void Resume() = 0;
    virtual void ClearQueue() = 0;
};

// A list model's thumbnail worker as the loaders see it: the pause and hold flags and the queue
// of the worker that the icon view attaches.
class CFileListDataCache {
public:
    // ---- UI thread
    void AttachWorker(IThumbnailQueue* worker);
    // ---- any thread
    // Stops taking rows (the running one is given up) and forgets the queue.
    void Hold();
    // Takes rows again, unless paused.
    void Resume();
    void ClearQueue();
    void SetPaused(bool paused);
    bool IsPaused() const { return m_paused.load(); }
    bool IsHeld() const { return m_hold.load(); }

private:
    std::mutex m_lock;  // keeps the worker attached while it is steered
    IThumbnailQueue* m_worker = nullptr;
    std::atomic<bool> m_paused{false};
    std::atomic<bool> m_hold{false};
};

class CFileListData {
public:
    static CFileListData& FolderModel();
    static CFileListData& SearchModel();
    static CFileListData& GetCurrent();
    static bool IsSearchShown();
    // Makes the search (true) or folder model current; the view moves to it.
    static void SelectModel(bool search, bool clearBoth);
    static void ClearAll();
    // Both models' loaders stop adding rows (before the tree they read changes).
    static void StopLoaders();
    // Pauses (true) or resumes both models' thumbnail workers; resuming tells the view whether
    // the folder list has rows.
    static void PauseLoading(bool pause);

    CFileListData() : m_loader(this) {}
    ~CFileListData();
    CFileListData(const CFileListData&) = delete;
    CFileListData& operator=(const CFileListData&) = delete;

    void AttachView(IFileListView* view);
    IFileListView* View() const { return m_view; }

    // The row with one reference added, or null past the end.
    FileList_Item* GetItem(int index) const;
    FileList_Item* FindByFileNode(const CFileNode* node) const;
    int GetCount() const;
    // The rows a view shows: while a folder loads, the count it will have (rows not there yet
    // are blank), else the row count.
    int ShownCount() const;
    int IndexOfFileNode(const CFileNode* node) const;
    int IndexOfFolderNode(const CBindingNode* node) const;

    // Lists the folder: its bound child folders, then its files (for the root: the files
    // directly in every registered tree) that pass the filter. With a view attached the rows
    // are made by the loader thread and reach the view as posted notices; without one, here.
    void ShowFolder(CBindingNode* folder);
    bool IsLoading() const { return m_loading.load(); }
    CFileListDataUICache& Loader() { return m_loader; }
    CFileListDataCache& DataCache() { return m_dataCache; }
    // The worker's notice that a row's picture is ready (any thread).
    void NotifyRowChanged(const FileList_Item* row);
    // The view checks whether the list is empty and the preview pane follows.
    void NotifyCheckEmpty();
    bool AddFileNode(CFileNode* node);
    bool AddFolderNode(CBindingNode* folder);
    // Adds many rows with one notice to the view.
    void AddFileNodes(const std::vector<CFileNode*>& nodes);
    void RemoveFolderNode(const CBindingNode* folder);
    void Clear();

    // Sorts with one strict weak ordering per column and direction.
    void Sort(bool ascending, u32 column);
    u32 SortColumn() const { return m_sortColumn; }
    bool SortAscending() const { return m_sortAscending; }
    bool IsSorted() const { return m_sorted; }
    // The rows keep their order but no longer claim a column's.
    void ForgetSort() { m_sorted = false; }

    // The rows' check sum: 0 unchecked, 1 partly, 2 checked per row.
    u32 CheckSum() const;
    // 1 when nothing is checked (and for an empty list), 3 when all are, else 2.
    u32 GetCheckState() const;
    void SetItemCheck(int index, bool checked);
    void CheckAll(bool checked);
    // The rows follow their nodes again (after a check changed elsewhere).
    void RefreshChecks();
    // The view shows every row again, the check sum is taken anew from the rows, the first row
    // is selected (or the preview pane shows it has none) and the header box follows.
    void RecountChecks();
    // Around a search that fills this list: before it (true) the thumbnail worker holds and the
    // view empties, without tips, ready for the hits; after it (false) the worker goes on and
    // the header box follows the hits.
    void SetSearching(bool searching);
    void RefreshRow(const CBindingNode* folder);
    void RefreshFolderNames();

    // How many bytes the rows take (the rows, their names, the lookups).
    size_t MemoryUse() const;

    // ---- the loader (its thread)
    // Empties the rows for the request's folder.
    void BeginLoad(const CFileListDataUICache::UICache_Item& request);
    void SetExpectedCount(const CFileListDataUICache::UICache_Item& request, size_t count);
    // Takes the rows [first, last) over, whose check shares add up to checkShare (read on the
    // loader's thread, so the UI thread never walks a long list for its header box); false (and
    // the rows released) once the request is abandoned.
    bool AppendRows(const CFileListDataUICache::UICache_Item& request, FileList_Item* const* first, FileList_Item* const* last,
                    u32 checkShare);
    // False when the request was abandoned.
    bool EndLoad(const CFileListDataUICache::UICache_Item& request);
    // ---- UI thread: after this the request adds no row.
    void CancelLoad(CFileListDataUICache::UICache_Item& request);

private:
    void Append(FileList_Item* row);
    void Notify(int oldCount);
    void ClearRows();
    void SortLocked(bool ascending, u32 column);
    void Post(u32 message, WPARAM wParam, LPARAM lParam);
    // The row's part of the check sum: 0 unchecked, 1 partly, 2 checked.
    static u32 CheckShare(const FileList_Item* row) { return row->GetCheckState() - 1u; }
    u32 CountCheckSum() const;
    // A check changed beyond what the kept sum followed: the sum is counted when asked.
    void ForgetCheckSum() { m_checkSumKnown = false; }

    // Guards the rows, both maps and the view pointer; the loader thread appends under it.
    mutable std::recursive_mutex m_lock;

    std::vector<FileList_Item*> m_rows;
    std::unordered_map<const CFileNode*, FileList_Item*> m_fileMap;
    std::unordered_map<const CBindingNode*, FileList_Item*> m_folderMap;
    u32 m_sortColumn = kColumnName;
    bool m_sortAscending = true;
    bool m_sorted = false;
    // The check sum as the rows were listed or last recounted, kept up to date by the changes
    // made through this list; once a check changes elsewhere it is counted from the rows.
    u32 m_checkSum = 0;
    bool m_checkSumKnown = true;
    IFileListView* m_view = nullptr;
    std::atomic<bool> m_loading{false};
    size_t m_expected = 0;
    CFileListDataCache m_dataCache;
    CFileListDataUICache m_loader;  // last: its threads are joined before the rows go
};

// The local calendar time of a FILETIME; false for zero or a time that does not convert.
bool FileTimeToLocalSeconds(u64 fileTime, i64& out);

}  // namespace FileSelCtrl
