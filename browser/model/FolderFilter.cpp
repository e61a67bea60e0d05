#include "browser/model/FolderFilter.h"

#include "browser/model/BrowserConfig.h"
#include "engine/FileNode.h"
#include "engine/FileProperties.h"

namespace FileSelCtrl {

namespace {

bool IsFolder(const CFileNode* node) {
    const IFileProperties* p = node->GetFileProperties();
    return p && (p->GetAttributes() & kAttrDirectory);
}

std::string ComparedForm(std::string path) {
    if (path.size() >= 2 && path[1] == ':') path.erase(0, 2);
    for (char& c : path) {
        if (c == '\\') c = '/';
    }
    if (path.empty() || path.front() != '/') path.insert(path.begin(), '/');
    if (path.back() != '/') path += '/';
    return LowerUtf8(path);
}

}  // namespace

CFileSelFilter::CFileSelFilter(const std::string& p) : path(ComparedForm(p)) {}

void CFolderFilter::AddDirectory(const std::string& path) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_chosen.emplace_back(path);
}

void CFolderFilter::Clear() {
    std::lock_guard<std::mutex> guard(m_lock);
    m_chosen.clear();
    m_cache.clear();
}

void CFolderFilter::ForgetCache() {
    std::lock_guard<std::mutex> guard(m_lock);
    m_cache.clear();
}

bool CFolderFilter::IsEmpty() {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_chosen.empty();
}

std::vector<std::string> CFolderFilter::Paths() {
    std::lock_guard<std::mutex> guard(m_lock);
    std::vector<std::string> out;
    for (const CFileSelFilter& f : m_chosen) out.push_back(f.path);
    return out;
}

bool CFolderFilter::Match(const CFileNode* node) {
    if (!node) return false;
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_chosen.empty()) return true;
    if (IsFolder(node)) return MatchFolder(node) != nullptr;
    const CFileNode* parent = node->GetParent();
    if (!parent) return false;
    const CFileSelFilterItem* item = MatchFolder(parent);
    return item && item->inside;
}

const CFileSelFilterItem* CFolderFilter::MatchFolder(const CFileNode* folder) {
    // The chain from the folder up to the first cached ancestor (or the root), walked without
    // recursion so that a deep or damaged chain cannot exhaust the stack.
    std::vector<const CFileNode*> chain;
    const CFileSelFilterItem* known = nullptr;
    for (const CFileNode* n = folder; n; n = n->GetParent()) {
        auto it = m_cache.find(n);
        if (it != m_cache.end()) {
            known = &it->second;
            break;
        }
        chain.push_back(n);
        if (!n->GetParent()) {
            if (!n->IsFileSystemNode()) return nullptr;
            known = &m_cache.emplace(n, CFileSelFilterItem{"/", false}).first->second;
            chain.pop_back();
            break;
        }
    }
    if (!known) return nullptr;
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
        const IFileProperties* p = (*it)->GetFileProperties();
        const char* name = p ? p->GetName() : nullptr;
        const std::string path = LowerUtf8(known->path + (name ? name : "") + "/");
        const CFileSelFilter* first = nullptr;
        for (const CFileSelFilter& chosen : m_chosen) {
            if (chosen.path.compare(0, path.size(), path) == 0) {
                first = &chosen;
                break;
            }
        }
        if (!first) return nullptr;
        known = &m_cache.emplace(*it, CFileSelFilterItem{path, first->path == path}).first->second;
    }
    return known;
}

}  // namespace FileSelCtrl
