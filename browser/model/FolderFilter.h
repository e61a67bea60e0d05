#pragma once
// The chosen folders of a folder scan: the browser shows only what lies on the way to and in
// them. An empty filter shows everything. Answers for folders are cached; the cache has its own
// lock, since the delivering thread, the UI thread and the search thread all ask.
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/Types.h"

class CFileNode;

namespace FileSelCtrl {

// One chosen folder path in compared form: lower-cased, '/' separators, leading and trailing
// '/', no drive.
struct CFileSelFilter {
    explicit CFileSelFilter(const std::string& path);
    std::string path;
};

// A cached answer for a folder that passed.
struct CFileSelFilterItem {
    std::string path;  // from the file-system root, "/" for the root itself, ends in '/'
    bool inside = false;
};

class CFolderFilter {
public:
    virtual ~CFolderFilter() = default;

    // Drops a drive part ("C:"), turns '\' into '/', appends a separator and keeps the path.
    void AddDirectory(const std::string& path);
    bool Match(const CFileNode* node);
    void Clear();
    // Forgets the cached answers (the nodes they were kept for may be gone) but keeps the paths.
    void ForgetCache();
    bool IsEmpty();
    std::vector<std::string> Paths();

private:
    const CFileSelFilterItem* MatchFolder(const CFileNode* folder);

    std::mutex m_lock;
    std::vector<CFileSelFilter> m_chosen;
    std::map<const CFileNode*, CFileSelFilterItem> m_cache;
};

}  // namespace FileSelCtrl
