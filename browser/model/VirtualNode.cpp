#include "browser/model/VirtualNode.h"

#include <tinyxml.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cctype>
#include <cstring>
#include <ctime>
#include <unordered_map>

#include "browser/model/BrowserConfig.h"
#include "browser/model/BrowserSkin.h"
#include "browser/model/ListModel.h"
#include "engine/FileNode.h"
#include "engine/FileProperties.h"
#include "platform/Time.h"

namespace FileSelCtrl {

namespace {

constexpr int kYearsShown = 10;
constexpr int kMonthsPerYear = 12;
constexpr int kCalendarBaseYear = 1900;

const std::array<const char*, kMonthsPerYear> kMonthTexts = {"01 Janurary", "02 Feberary", "03 March",     "04 April",
                                                             "05 May",      "06 June",     "07 July",      "08 Augest",
                                                             "09 September", "10 October", "11 November", "12 December"};

// The category elements of the file type list, by category id.
const char* CategoryElement(u32 category) {
    switch (category) {
        case kCategoryGraphics: return "Graphics";
        case kCategoryAudio: return "Audio";
        case kCategoryDocument: return "Document";
        case kCategoryVideo: return "Video";
        case kCategoryEmail: return "Email";
        default: return nullptr;
    }
}

std::string TypeText(u32 index) {
    const BrowserSkin& s = Skin();
    switch (index) {
        case kCategoryRoot: return s.typeAll;
        case kCategoryGraphics: return s.typeGraphics;
        case kCategoryAudio: return s.typeAudio;
        case kCategoryDocument: return s.typeDocument;
        case kCategoryVideo: return s.typeVideo;
        case kCategoryEmail: return s.typeEmail;
        default: return s.typeOther;
    }
}

u8 ImageToByte(u32 image) { return static_cast<u8>(std::clamp<u32>(image, kImageUnchecked, kImageChecked) - 1); }

bool IsCurrent(const CBindingNode* node) { return NodeHost() && NodeHost()->IsCurrentFolder(node); }
void RefreshTree(CBindingNode* node) {
    if (NodeHost()) NodeHost()->RefreshTreeItem(node);
}

// Midnight of a calendar day in the same local-seconds scale as the files' times.
i64 LocalMidnight(int year, int month0) {
    std::tm t{};
    t.tm_year = year - kCalendarBaseYear + month0 / kMonthsPerYear;
    t.tm_mon = month0 % kMonthsPerYear;
    t.tm_mday = 1;
    return static_cast<i64>(timegm(&t));
}

bool IsScanFile(const CFileNode* node) {
    const IFileProperties* p = node ? node->GetFileProperties() : nullptr;
    return p && !(p->GetAttributes() & kAttrDirectory);
}

}  // namespace

bool LocalModifiedTime(const CFileNode* node, i64& out) {
    const IFileProperties* p = node ? node->GetFileProperties() : nullptr;
    if (!p) return false;
    FILETIME64 modified = 0;
    p->GetModificationTime(modified);
    if (modified == 0) return false;
    // The zone's offset changes only on whole hours: one conversion per hour of file times
    // instead of one per file (the trees sort a million files on the UI thread).
    static std::unordered_map<i64, i64> offsets;
    constexpr size_t kMaxCachedHours = 1 << 16;
    constexpr i64 kHour = 3600;
    i64 seconds = 0;
    u32 nanoseconds = 0;
    FileTimeToUnix(modified, seconds, nanoseconds);
    const i64 hour = seconds >= 0 ? seconds / kHour : (seconds - kHour + 1) / kHour;
    if (auto it = offsets.find(hour); it != offsets.end()) {
        out = seconds + it->second;
        return true;
    }
    i64 local = 0;
    if (!FileTimeToLocalSeconds(modified, local)) return false;
    if (offsets.size() >= kMaxCachedHours) offsets.clear();
    offsets.emplace(hour, local - seconds);
    out = local;
    return true;
}

namespace {

// The extension of a name in lower case, without the dot; false without a dot.
bool LowerExtension(const char* name, std::string& out) {
    if (!name) return false;
    const char* dot = std::strrchr(name, '.');
    if (!dot) return false;
    out.assign(dot + 1);
    for (char c : out) {
        if (static_cast<unsigned char>(c) >= 0x80) {
            out = LowerUtf8(out);
            return true;
        }
    }
    for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return true;
}

}  // namespace

// ---- CFileVirtualNode

CFileVirtualNode::CFileVirtualNode(std::string name, i32 image, CBindingNode* parent, u32 treeKind, bool holdsEntries,
                                   u32 insertPosition)
    : CBindingNode(parent, treeKind), m_name(std::move(name)), m_image(image), m_holdsEntries(holdsEntries),
      m_insertPosition(insertPosition) {}

CFileVirtualNode::~CFileVirtualNode() { ReleaseEntries(); }

std::string CFileVirtualNode::GetName() const { return m_name + " (" + std::to_string(GetEntryCount()) + ")"; }

void CFileVirtualNode::Clear() {
    m_entries.clear();
    ResetEntries();
    m_checkImage = kImageUnchecked;
    m_shown.clear();
    m_revealed = false;
    // The window's view of the node goes too: a bucket that shows again starts closed, with
    // no rows it no longer has.
    SetTreeItem(false);
    SetShownChildren(0);
    SetOpened(false);
    for (CFileVirtualNode* child : m_children) child->Clear();
}

void CFileVirtualNode::ReleaseEntries() {
    for (CFileVirtualNode* child : m_children) child->Release();
    m_children.clear();
    m_shown.clear();
    m_entries.clear();
}

void CFileVirtualNode::CollectItems(std::vector<CFileNode*>& out) const {
    for (const auto& [root, files] : m_entries) out.insert(out.end(), files.begin(), files.end());
}

void CFileVirtualNode::AddEntry(CFileNode* node) {
    const CFileNode* key = node;
    while (key && !key->IsFileSystemNode()) key = key->GetParent();
    m_entries[key].push_back(node);
    CBindingNode::AddEntry();
}

CFileVirtualNode* CFileVirtualNode::FindBucket(const CFileNode* node) const {
    for (CFileVirtualNode* child : m_children) {
        if (child->HoldsEntries()) {
            if (child->Classify(node)) return child;
        } else if (CFileVirtualNode* found = child->FindBucket(node)) {
            return found;
        }
    }
    return nullptr;
}

u32 CFileVirtualNode::TakeEntriesOf(const CFileNode* fsRoot) {
    auto it = m_entries.find(fsRoot);
    if (it == m_entries.end()) return 0;
    const u32 n = static_cast<u32>(it->second.size());
    m_entries.erase(it);
    RemoveEntries(n);
    return n;
}

u32 CFileVirtualNode::DetachRootEntries(const CFileNode* fsRoot) {
    if (!m_holdsEntries) {
        u32 total = 0;
        for (CFileVirtualNode* child : m_children) total += child->DetachRootEntries(fsRoot);
        RemoveEntries(total);
        return total;
    }
    return GetEntryCount() ? TakeEntriesOf(fsRoot) : 0;
}

void CFileVirtualNode::DetachRoot(const CFileNode* fsRoot) {
    u32 total = 0;
    for (CFileVirtualNode* child : m_children) total += child->DetachRootEntries(fsRoot);
    RemoveEntries(total);
}

bool CFileVirtualNode::Reveal() {
    auto* parent = dynamic_cast<CFileVirtualNode*>(m_parent);
    if (m_revealed || !parent) return false;
    m_revealed = true;
    std::vector<CBindingNode*>& shown = parent->m_shown;
    size_t at = shown.size();
    if (m_insertPosition == kInsertFirst) {
        at = 0;
    } else if (m_insertPosition == kInsertSorted) {
        at = 0;
        while (at < shown.size()) {
            const auto* sibling = static_cast<const CFileVirtualNode*>(shown[at]);
            if (sibling->GetChildState() == kInsertLast || m_name < sibling->BaseName()) break;
            ++at;
        }
    }
    shown.insert(shown.begin() + static_cast<std::ptrdiff_t>(at), this);
    for (size_t i = at; i < shown.size(); ++i) shown[i]->SetRow(static_cast<u32>(i));
    return true;
}

void CFileVirtualNode::RebuildShown() {
    std::vector<CBindingNode*> kept;
    for (CBindingNode* b : m_shown) {
        auto* child = static_cast<CFileVirtualNode*>(b);
        if (child->GetEntryCount() == 0) {
            child->Clear();
            continue;
        }
        child->SetRow(static_cast<u32>(kept.size()));
        kept.push_back(child);
        child->RebuildShown();
    }
    m_shown = std::move(kept);
}

u32 CFileVirtualNode::ComputeCheckState() const {
    u32 state = kImageUnchecked;
    bool seen = false;
    for (const CFileVirtualNode* child : m_children) {
        if (child->GetEntryCount() == 0) continue;
        const u32 image = child->GetCheckState();
        if (!seen) {
            state = image;
            seen = true;
            if (image == kImagePartly) return kImagePartly;
        } else if (image != state) {
            return kImagePartly;
        }
    }
    for (const auto& [root, files] : m_entries) {
        for (const CFileNode* file : files) {
            const u32 image = file->GetCheckState() + 1u;
            if (!seen) {
                state = image;
                seen = true;
            }
            if (image == kImagePartly || image != state) return kImagePartly;
        }
    }
    return state;
}

void CFileVirtualNode::SetCheck(u32 image, bool fromChildren, bool notify) {
    if (!fromChildren) {
        for (CFileVirtualNode* child : m_children) child->SetCheck(image, false, false);
        for (auto& [root, files] : m_entries) {
            for (CFileNode* file : files) file->SetCheckState(ImageToByte(image));
        }
        if (notify && NodeHost()) {
            std::vector<CFileNode*> files;
            CollectSubtreeItems(files);
            NodeHost()->FilesCheckedElsewhere(files);
        }
    }
    const u32 s = ComputeCheckState();
    if (s == GetCheckState()) return;
    StoreCheckState(s);
    RefreshTree(this);
    if (m_parent && notify) m_parent->SetCheck(image, true, notify);
}

void CFileVirtualNode::RefreshItem(u32 image, bool recurse, bool notify) {
    if (notify && m_parent && IsCurrent(m_parent) && NodeHost()) NodeHost()->RefreshRowOf(this);
    StoreCheckState(image);
    if (!recurse) return;
    for (CFileVirtualNode* child : m_children) {
        child->RefreshItem(image, true, false);
        if (child->HasTreeItem()) RefreshTree(child);
    }
    for (auto& [root, files] : m_entries) {
        for (CFileNode* file : files) file->SetCheckState(ImageToByte(image));
    }
    if (m_parent && notify) m_parent->UpdateCheckUpwards();
    if (notify && NodeHost()) {
        // The recovery and the counts read the path tree's folders: they follow at once.
        std::vector<CFileNode*> files;
        CollectSubtreeItems(files);
        NodeHost()->FilesCheckedElsewhere(files);
    }
    if (IsCurrent(this) && NodeHost()) NodeHost()->RefreshAllRows();
}

void CFileVirtualNode::CollectSubtreeItems(std::vector<CFileNode*>& out) const {
    CollectItems(out);
    for (const CFileVirtualNode* child : m_children) child->CollectSubtreeItems(out);
}

void CFileVirtualNode::RefreshCheckStates() {
    for (CFileVirtualNode* child : m_children) child->RefreshCheckStates();
    // A root without files keeps its own state: it is what the user set on the empty tree.
    if (m_parent || GetEntryCount()) StoreCheckState(ComputeCheckState());
}

// ---- CFileVirtualDisplayNode

CFileVirtualDisplayNode::CFileVirtualDisplayNode(CFileVirtualDisplayNode* owner, std::string name)
    : CFileVirtualNode(std::move(name), owner->GetImage(), owner, owner->GetTreeKind(), true, kInsertLast),
      m_pageCounter(kNotPaging) {}

void CFileVirtualDisplayNode::Clear() {
    CFileVirtualNode::Clear();
    if (m_pageCounter != kNotPaging) {
        m_pageCounter = 0;
        m_currentPage = nullptr;
    }
}

CFileVirtualDisplayNode* CFileVirtualDisplayNode::NewPage(CFileVirtualDisplayNode* owner) {
    const i64 n = ++owner->m_pageCounter;
    char name[64];
    std::snprintf(name, sizeof(name), "%04lld - %04lld", static_cast<long long>(n * kPageSize),
                  static_cast<long long>(n * kPageSize + kPageSize - 1));
    auto* page = new CFileVirtualDisplayNode(owner, name);
    owner->AppendChild(page);
    return page;
}

bool CFileVirtualDisplayNode::AddEntryPaged(CFileNode* node, CFileVirtualNode** out) {
    CFileVirtualDisplayNode* target = this;
    while (target->m_currentPage) {
        target->CBindingNode::AddEntry();
        target = target->m_currentPage;
    }
    target->AddEntry(node);
    if (out) {
        target->AddRef();
        *out = target;
    }
    if (target->GetEntryCount() >= kPageSize) {
        if (target->IsPage()) {
            auto* owner = static_cast<CFileVirtualDisplayNode*>(target->GetParent());
            owner->m_currentPage = NewPage(owner);
        } else {
            target->m_currentPage = NewPage(target);
        }
    }
    return true;
}

u32 CFileVirtualDisplayNode::DetachRootEntries(const CFileNode* fsRoot) {
    if (!m_holdsEntries || IsPage()) return CFileVirtualNode::DetachRootEntries(fsRoot);
    u32 total = GetEntryCount() ? TakeEntriesOf(fsRoot) : 0;
    for (CFileVirtualNode* page : m_children) {
        const u32 n = page->DetachRootEntries(fsRoot);
        total += n;
        RemoveEntries(n);
    }
    m_currentPage = m_children.empty() ? nullptr : static_cast<CFileVirtualDisplayNode*>(m_children.back());
    return total;
}

// ---- CFileTypeNode

CFileTypeNode::CFileTypeNode(i32 image, CBindingNode* parent, std::string name, bool holdsEntries, bool catchAll, u32 category,
                             u32 insertPosition)
    : CFileVirtualDisplayNode(std::move(name), image, parent, kTreeKindType, holdsEntries, insertPosition),
      m_catchAll(catchAll), m_category(category) {}

void CFileTypeNode::Build() { BuildFrom(CFileSelCtrlConfig::Instance().GetFileTypePath()); }

void CFileTypeNode::BuildFrom(const std::string& fileTypePath) {
    if (m_parent || !m_children.empty()) return;
    TiXmlDocument doc;
    const TiXmlElement* root = doc.LoadFile(fileTypePath.c_str(), TIXML_ENCODING_UNKNOWN) ? doc.FirstChildElement() : nullptr;
    for (u32 id = kCategoryGraphics; id <= kCategoryOther; ++id) {
        const bool other = id == kCategoryOther;
        auto* category = new CFileTypeNode(kIconFolder, this, TypeText(id), other, other, id, other ? kInsertLast : kInsertFirst);
        AppendChild(category);
        const char* element = CategoryElement(id);
        const TiXmlElement* list = root && element ? root->FirstChildElement(element) : nullptr;
        for (const TiXmlElement* e = list ? list->FirstChildElement() : nullptr; e; e = e->NextSiblingElement()) {
            const TiXmlNode* text = e->FirstChild();
            if (text && text->ToText() && e->GetText()) category->AddExtension(e->GetText());
        }
    }
}

void CFileTypeNode::AddExtension(const std::string& text) {
    const std::string extension = LowerUtf8(text);
    const IconRecord* icon = CFileSelIconManager::Instance().GetFileIcon("1." + extension);
    const i32 image = icon && icon->iconIndex != kIconGenericFile ? icon->iconIndex : m_image;
    auto* node = new CFileTypeNode(image, this, extension, true, false, m_category, kInsertLast);
    AppendChild(node);
    m_extensions.emplace(extension, node);  // a repeated extension: the first node keeps the key
}

bool CFileTypeNode::Classify(const CFileNode* node) const {
    if (m_catchAll) return true;
    const std::string name = LowerUtf8(ScanNodeName(node));
    const size_t dot = name.rfind('.');
    if (dot == std::string::npos) return false;
    const std::string extension = name.substr(dot + 1);
    // An extension's own bucket has no map: it takes the files of its name.
    if (m_holdsEntries && m_extensions.empty()) return extension == m_name;
    return m_extensions.count(extension) != 0;
}

void CFileTypeNode::ClassifyFile(CFileNode* node, std::vector<CFileVirtualNode*>& out) {
    if (m_parent || !IsScanFile(node) || m_children.empty()) return;
    static std::string extension;  // UI thread only; kept for its buffer
    const bool noExtension = !LowerExtension(node->GetFileProperties()->GetName(), extension);
    if (noExtension) extension.clear();
    CFileVirtualNode* other = m_children.back();
    bool matched = false;
    for (CFileVirtualNode* child : m_children) {
        if (child == other && matched) break;
        if (static_cast<CFileTypeNode*>(child)->Match(noExtension, extension, node, out)) {
            if (!matched) CBindingNode::AddEntry();
            matched = true;
        }
    }
}

bool CFileTypeNode::Match(bool noExtension, const std::string& extension, CFileNode* node, std::vector<CFileVirtualNode*>& out) {
    if (!m_holdsEntries && m_extensions.empty()) {
        for (CFileVirtualNode* child : m_children) {
            if (static_cast<CFileTypeNode*>(child)->Match(noExtension, extension, node, out)) {
                CBindingNode::AddEntry();
                return true;
            }
        }
        return false;
    }
    CFileTypeNode* target = nullptr;
    if (!noExtension && !m_holdsEntries) {
        auto it = m_extensions.find(extension);
        if (it != m_extensions.end()) target = it->second;
    }
    if (!target && !m_catchAll) return false;
    CFileVirtualNode* took = nullptr;
    if (target) {
        CBindingNode::AddEntry();
        target->AddEntryPaged(node, &took);
    } else {
        AddEntryPaged(node, &took);
    }
    if (took) out.push_back(took);
    return true;
}

void CFileTypeNode::RelabelTypeTree() {
    if (m_parent) return;
    SetName(TypeText(kCategoryRoot));
    // Categories move to the top as they receive their first files: each takes its own name,
    // whatever its place in the list.
    for (CFileVirtualNode* child : m_children) {
        if (const auto* category = dynamic_cast<const CFileTypeNode*>(child)) child->SetName(TypeText(category->Category()));
    }
}

// ---- CFileTimeNode

CFileTimeNode::CFileTimeNode(i32 image, CBindingNode* parent, std::string name, bool holdsEntries, DateKind kind, u32 insertPosition)
    : CFileVirtualDisplayNode(std::move(name), image, parent, kTreeKindDate, holdsEntries, insertPosition), m_kind(kind) {}

void CFileTimeNode::Build() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    if (!localtime_r(&now, &local)) return BuildAt(-1);
    BuildAt(static_cast<i64>(now) + local.tm_gmtoff);
}

void CFileTimeNode::BuildAt(i64 nowLocal) {
    if (m_parent || !m_children.empty()) return;
    int year = -1;
    int month = -1;
    const std::time_t t = static_cast<std::time_t>(nowLocal);
    std::tm cal{};
    if (nowLocal >= 0 && gmtime_r(&t, &cal)) {
        year = cal.tm_year + kCalendarBaseYear;
        month = cal.tm_mon + 1;
    }
    if (year > 0) {
        for (int i = 0; i < kYearsShown; ++i) AddYear(year - i, month, i == 0, nowLocal);
    }
    AppendChild(new CFileTimeNode(kIconFolder, this, Skin().typeOther, true, DateKind::CatchAll, kInsertLast));
}

void CFileTimeNode::AddYear(int year, int currentMonth, bool current, i64 now) {
    auto* node = new CFileTimeNode(kIconFolder, this, std::to_string(year), false, current ? DateKind::Open : DateKind::Closed, kInsertSorted);
    node->m_start = LocalMidnight(year, 0);
    node->m_end = LocalMidnight(year, kMonthsPerYear);
    if (node->m_end <= node->m_start) node->m_end = now;
    const int months = current ? currentMonth : kMonthsPerYear;
    for (int m = 0; m < months; ++m) {
        const bool open = current && m == months - 1;
        auto* month = new CFileTimeNode(kIconFolder, node, kMonthTexts[static_cast<size_t>(m)], true, open ? DateKind::Open : DateKind::Closed,
                                        kInsertSorted);
        month->m_start = LocalMidnight(year, m);
        month->m_end = LocalMidnight(year, m + 1);
        node->AppendChild(month);
    }
    AppendChild(node);
}

bool CFileTimeNode::InRange(bool valid, i64 t) const {
    if (!valid) return m_kind == DateKind::CatchAll;
    switch (m_kind) {
        case DateKind::Open: return t >= m_start;
        case DateKind::CatchAll: return true;
        default: return t >= m_start && t < m_end;
    }
}

bool CFileTimeNode::Classify(const CFileNode* node) const {
    i64 t = 0;
    const bool valid = LocalModifiedTime(node, t);
    return InRange(valid, t);
}

bool CFileTimeNode::MatchDate(bool valid, i64 t, CFileNode* node, CFileVirtualNode** out) {
    if (!InRange(valid, t)) return false;
    if (m_holdsEntries) return AddEntryPaged(node, out);
    for (CFileVirtualNode* child : m_children) {
        if (static_cast<CFileTimeNode*>(child)->MatchDate(valid, t, node, out)) {
            CBindingNode::AddEntry();
            return true;
        }
    }
    return false;
}

void CFileTimeNode::AddFile(CFileNode* node, CFileVirtualNode** out) {
    if (m_kind != DateKind::Root || !IsScanFile(node)) return;
    i64 t = 0;
    const bool valid = LocalModifiedTime(node, t);
    for (CFileVirtualNode* child : m_children) {
        if (static_cast<CFileTimeNode*>(child)->MatchDate(valid, t, node, out)) {
            CBindingNode::AddEntry();
            return;
        }
    }
}

void CFileTimeNode::RelabelDateTree() {
    if (m_parent) return;
    SetName(Skin().dateRoot);
    for (CFileVirtualNode* child : m_children) {
        if (child->HoldsEntries()) {
            child->SetName(Skin().typeOther);
            continue;
        }
        size_t m = 0;
        for (CFileVirtualNode* month : child->AllChildren()) {
            if (m < kMonthTexts.size()) month->SetName(kMonthTexts[m++]);
        }
    }
}

}  // namespace FileSelCtrl
