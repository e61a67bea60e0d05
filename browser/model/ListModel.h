#pragma once
// The rows the list views show: the child folders and files of the opened folder (the folder
// model) or the hits of a search (the search model). Both models live on the UI thread; the
// views ask for row N when they draw.
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "browser/model/XUnknown.h"
#include "platform/Types.h"

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

// What a list model tells the view attached to it.
class IFileListView {
public:
    virtual ~IFileListView() = default;
    virtual void OnRowsReset() = 0;
    virtual void OnRowsAppended(int first, int last) = 0;
    virtual void OnRowsChanged(int first, int last) = 0;
    virtual void OnHeaderCheck(u32 state) = 0;
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

    CFileListData() = default;
    ~CFileListData();
    CFileListData(const CFileListData&) = delete;
    CFileListData& operator=(const CFileListData&) = delete;

    void AttachView(IFileListView* view) { m_view = view; }
    IFileListView* View() const { return m_view; }

    // The row with one reference added, or null past the end.
    FileList_Item* GetItem(int index) const;
    int GetCount() const { return static_cast<int>(m_rows.size()); }
    int IndexOfFileNode(const CFileNode* node) const;
    int IndexOfFolderNode(const CBindingNode* node) const;

    // Lists the folder: its bound child folders, then its files (for the root: the files
    // directly in every registered tree) that pass the filter.
    void ShowFolder(CBindingNode* folder);
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
    void RefreshRow(const CBindingNode* folder);
    void RefreshFolderNames();

    // How many bytes the rows take (the rows, their names, the lookups).
    size_t MemoryUse() const;

private:
    void Append(FileList_Item* row);
    void Notify(int oldCount);

    std::vector<FileList_Item*> m_rows;
    std::unordered_map<const CFileNode*, FileList_Item*> m_fileMap;
    std::unordered_map<const CBindingNode*, FileList_Item*> m_folderMap;
    u32 m_sortColumn = kColumnName;
    bool m_sortAscending = true;
    bool m_sorted = false;
    IFileListView* m_view = nullptr;
};

// The local calendar time of a FILETIME; false for zero or a time that does not convert.
bool FileTimeToLocalSeconds(u64 fileTime, i64& out);

}  // namespace FileSelCtrl
