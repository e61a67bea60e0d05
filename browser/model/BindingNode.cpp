#include "browser/model/BindingNode.h"

#include <algorithm>
#include <cstdio>

#include "browser/model/BrowserConfig.h"
#include "browser/model/BrowserSkin.h"
#include "engine/FileNode.h"
#include "engine/FileProperties.h"

namespace FileSelCtrl {

namespace {

INodeHost* g_host = nullptr;

// Folds check images: the first one is kept, any difference makes the result partly checked.
struct CheckFold {
    u32 kept = kImageUnchecked;
    bool seen = false;
    bool mixed = false;
    void Take(u32 image) {
        if (!seen) {
            kept = image;
            seen = true;
        } else if (image != kept) {
            mixed = true;
        }
    }
    bool Done() const { return mixed || (seen && kept == kImagePartly); }
    u32 Result() const { return mixed ? kImagePartly : kept; }
};

bool Passes(const CFileNode* node) { return !g_host || g_host->Passes(node); }
bool IsCurrent(const CBindingNode* node) { return g_host && g_host->IsCurrentFolder(node); }
void RefreshTree(CBindingNode* node) {
    if (g_host) g_host->RefreshTreeItem(node);
}
void RefreshRow(CBindingNode* node) {
    if (g_host && node->GetParent() && IsCurrent(node->GetParent())) g_host->RefreshRowOf(node);
}
void RefreshRows() {
    if (g_host) g_host->RefreshAllRows();
}

u8 ImageToByte(u32 image) { return static_cast<u8>(std::clamp<u32>(image, kImageUnchecked, kImageChecked) - 1); }

// A scan folder's own state from its direct children: none 0, all alike theirs, else partly.
void ApplyScanFolderRule(CFileNode* folder) {
    const CFileNode* c = folder->GetFirstChild();
    if (!c) {
        folder->SetCheckState(kUnchecked);
        return;
    }
    const u8 first = c->GetCheckState();
    for (; c; c = c->GetNextSibling()) {
        if (c->GetCheckState() != first) {
            folder->SetCheckState(kPartlyChecked);
            return;
        }
    }
    folder->SetCheckState(first);
}

void SetFilesOf(CFileNode* folder, u32 image) {
    if (!folder) return;
    for (CFileNode* c = folder->GetFirstChild(); c; c = c->GetNextSibling()) {
        if (!IsScanFolder(c)) c->SetCheckState(ImageToByte(image));
    }
}

}  // namespace

void SetNodeHost(INodeHost* host) { g_host = host; }
INodeHost* NodeHost() { return g_host; }

bool IsScanFolder(const CFileNode* node) {
    const IFileProperties* p = node ? node->GetFileProperties() : nullptr;
    return p && (p->GetAttributes() & kAttrDirectory);
}

std::string ScanNodeName(const CFileNode* node) {
    const IFileProperties* p = node ? node->GetFileProperties() : nullptr;
    const char* name = p ? p->GetName() : nullptr;
    return name ? name : "";
}

const char* FileSystemLabel(u32 code) {
    static const char* const kNames[] = {"FAT12", "FAT16", "FAT32", "NTFS", "EXT2", "EXT3", "RAW", "EXFAT", "UNKNOWN"};
    return code < sizeof(kNames) / sizeof(kNames[0]) ? kNames[code] : "UNKNOWN";
}

// ---- CBindingNode

CBindingNode* CBindingNode::DisplayChild(u32 row) const {
    const std::vector<CBindingNode*>* children = GetChildren();
    return children && row < children->size() ? (*children)[row] : nullptr;
}

void CBindingNode::SetCheck(u32 image, bool fromChildren, bool /*notify*/) {
    const u32 target = fromChildren ? ComputeCheckState() : image;
    if (GetCheckState() == target) return;
    StoreCheckState(target);
    RefreshTree(this);
    if (fromChildren && m_parent) m_parent->SetCheck(image, true, true);
}

void CBindingNode::UpdateCheckUpwards() {
    if (TakeComputedState() && m_parent) m_parent->UpdateCheckUpwards();
}

bool CBindingNode::TakeComputedState() {
    const u32 target = ComputeCheckState();
    if (target == GetCheckState()) return false;
    RefreshItem(target, false, false);
    RefreshRow(this);
    RefreshTree(this);
    return true;
}

void CBindingNode::RefreshItem(u32 /*image*/, bool /*recurse*/, bool notify) {
    if (notify && m_parent) m_parent->UpdateCheckUpwards();
    if (IsCurrent(this)) RefreshRows();
}

// ---- CDirectoryNode

CDirectoryNode::CDirectoryNode(CBindingNode* parent, CFileNode* scanNode)
    : CBindingNode(parent, kTreeKindPath), m_scanNode(scanNode) {}

CDirectoryNode::~CDirectoryNode() { CDirectoryNode::Clear(); }

std::string CDirectoryNode::GetName() const { return ScanNodeName(m_scanNode); }

u32 CDirectoryNode::GetChildState() const {
    if (!m_scanNode || !m_scanNode->GetParent()) return kInsertFirst;
    return m_scanNode->IsFileSystemNode() ? kInsertLast : kInsertFirst;
}

i32 CDirectoryNode::GetImage() const {
    const IconRecord* r = GetIconRecord();
    return r ? r->iconIndex : 0;
}

const IconRecord* CDirectoryNode::GetIconRecord() const {
    return CFileSelIconManager::Instance().GetFolderIcon(CFileSelCtrlConfig::Instance().GetResourcePath());
}

void CDirectoryNode::Clear() {
    // Depth first without recursion through the stack of the caller's tree: each child clears
    // its own children before it is released. A child a tree window still holds survives.
    for (CBindingNode* child : m_children) {
        child->Clear();
        child->Release();
    }
    m_children.clear();
    m_childMap.clear();
    m_putFirst.clear();
    m_putLast.clear();
}

void CDirectoryNode::Append(CBindingNode* child, const CFileNode* key) {
    child->SetPutLast(child->GetChildState() == kInsertLast);
    std::vector<CBindingNode*>& group = child->IsPutLast() ? m_putLast : m_putFirst;
    child->SetRow(static_cast<u32>(group.size()));
    group.push_back(child);
    m_children.push_back(child);
    if (key) m_childMap[key] = child;
}

CBindingNode* CDirectoryNode::DisplayChild(u32 row) const {
    const size_t first = m_putFirst.size();
    if (row < first) return m_putFirst[first - 1 - row];
    return row - first < m_putLast.size() ? m_putLast[row - first] : nullptr;
}

u32 CDirectoryNode::DisplayRow(const CBindingNode* child) const {
    const u32 first = static_cast<u32>(m_putFirst.size());
    return child->IsPutLast() ? first + child->Row() : first - 1 - child->Row();
}

CBindingNode* CDirectoryNode::FindChild(const CFileNode* scanNode) const {
    auto it = m_childMap.find(scanNode);
    return it == m_childMap.end() ? nullptr : it->second;
}

void CDirectoryNode::RemoveChild(CBindingNode* child) {
    auto it = std::find(m_children.begin(), m_children.end(), child);
    if (it == m_children.end()) return;
    m_children.erase(it);
    std::vector<CBindingNode*>& group = child->IsPutLast() ? m_putLast : m_putFirst;
    auto at = std::find(group.begin(), group.end(), child);
    if (at != group.end()) {
        for (at = group.erase(at); at != group.end(); ++at) (*at)->SetRow((*at)->Row() - 1);
    }
    for (auto m = m_childMap.begin(); m != m_childMap.end(); ++m) {
        if (m->second == child) {
            m_childMap.erase(m);
            break;
        }
    }
    RemoveEntry();
    child->Clear();
    child->Release();
}

CBindingNode* CDirectoryNode::AddFileNode(CFileNode* node, CBindingNode** parentOut) {
    if (!node) return nullptr;
    CBindingNode* made = nullptr;
    if (IsScanFolder(node)) {
        if (FindChild(node)) return nullptr;  // delivered twice: already bound
        auto* child = new CDirectoryNode(this, node);
        Append(child, node);
        child->AddRef();
        made = child;
    }
    if (parentOut) {
        AddRef();
        *parentOut = this;
    }
    AddEntry();
    return made;
}

u32 CDirectoryNode::GetCheckState() const {
    if (m_scanNode) return m_scanNode->GetCheckState() + 1u;
    CheckFold fold;
    for (CBindingNode* child : m_children) {
        if (!Passes(child->GetFileNode())) continue;
        fold.Take(child->GetCheckState());
        if (fold.Done()) return kImagePartly;
    }
    return fold.Result();
}

u32 CDirectoryNode::ComputeCheckState() const {
    CheckFold fold;
    fold.kept = m_scanNode ? m_scanNode->GetCheckState() + 1u : kImageUnchecked;
    for (CBindingNode* child : m_children) {
        if (!Passes(child->GetFileNode())) continue;
        fold.Take(child->GetCheckState());
        if (fold.Done()) return kImagePartly;
    }
    if (m_scanNode) {
        for (const CFileNode* c = m_scanNode->GetFirstChild(); c; c = c->GetNextSibling()) {
            if (!Passes(c)) continue;
            fold.Take(c->GetCheckState() + 1u);
            if (fold.mixed) return kImagePartly;
        }
    }
    return fold.Result();
}

void CDirectoryNode::StoreCheckState(u32 image) {
    if (m_scanNode) m_scanNode->SetCheckState(ImageToByte(image));
}

void CDirectoryNode::SetCheck(u32 image, bool fromChildren, bool notify) {
    u32 target = image;
    if (fromChildren) {
        target = ComputeCheckState();
    } else {
        SetFilesOf(m_scanNode, image);
        for (CBindingNode* child : m_children) child->SetCheck(image, false, false);
    }
    if (GetCheckState() == target) return;
    StoreCheckState(target);
    RefreshTree(this);
    if (m_parent && notify) m_parent->SetCheck(image, true, notify);
}

void CDirectoryNode::RefreshItem(u32 image, bool recurse, bool notify) {
    if (m_scanNode) {
        StoreCheckState(image);
        if (notify) RefreshRow(this);
        RefreshTree(this);
        if (recurse) SetFilesOf(m_scanNode, image);
    }
    if (!recurse) return;
    for (CBindingNode* child : m_children) {
        child->RefreshItem(image, true, false);
        if (IsCurrent(child)) RefreshRows();
    }
    if (notify && m_parent) m_parent->UpdateCheckUpwards();
    if (IsCurrent(this)) RefreshRows();
}

void CDirectoryNode::RefreshCheckStates() {
    for (CBindingNode* child : m_children) child->RefreshCheckStates();
    if (!m_scanNode) return;
    const u32 target = ComputeCheckState();
    if (target == GetCheckState()) return;
    // An empty folder keeps its own state.
    if (target == kImageUnchecked && !m_scanNode->GetFirstChild()) return;
    StoreCheckState(target);
    RefreshTree(this);
}

// ---- CSystemDirectory

std::string CSystemDirectory::GetName() const {
    char text[128];
    std::snprintf(text, sizeof(text), "%s%u(%s)", Skin().lostPartition.c_str(), m_partitionNumber,
                  FileSystemLabel(m_scanNode ? m_scanNode->GetFileSystemType() : ~0u));
    return text;
}

i32 CSystemDirectory::GetImage() const { return m_parent ? m_parent->GetImage() : kIconDrive; }

const IconRecord* CSystemDirectory::GetIconRecord() const { return CFileSelIconManager::Instance().GetDriveIcon(); }

// ---- CSystemRootNode

CSystemRootNode::CSystemRootNode(std::string name) : CDirectoryNode(nullptr, nullptr), m_name(std::move(name)) {}

CSystemRootNode::~CSystemRootNode() { m_scanRoots.clear(); }

i32 CSystemRootNode::GetImage() const { return kIconDrive; }

void CSystemRootNode::Clear() {
    m_scanRoots.clear();
    m_lastFolder = nullptr;
    m_lastBinding = nullptr;
    CDirectoryNode::Clear();
    m_partitionCounter = 0;
}

bool CSystemRootNode::HasChildKey(const CFileNode* node) const {
    return node && std::find(m_scanRoots.begin(), m_scanRoots.end(), node->GetParent()) != m_scanRoots.end();
}

u32 CSystemRootNode::GetCheckState() const {
    CheckFold fold;
    for (CBindingNode* child : m_children) {
        if (!Passes(child->GetFileNode())) continue;
        fold.Take(child->GetCheckState());
        if (fold.Done()) return kImagePartly;
    }
    for (const CFileNode* root : m_scanRoots) {
        for (const CFileNode* c = root->GetFirstChild(); c; c = c->GetNextSibling()) {
            if (!Passes(c)) continue;
            fold.Take(c->GetCheckState() + 1u);
            if (fold.Done()) return kImagePartly;
        }
    }
    return fold.Result();
}

u32 CSystemRootNode::ComputeCheckState() const {
    CheckFold fold;
    for (CBindingNode* child : m_children) {
        fold.Take(child->GetCheckState());
        if (fold.Done()) return kImagePartly;
    }
    for (const CFileNode* root : m_scanRoots) {
        for (const CFileNode* c = root->GetFirstChild(); c; c = c->GetNextSibling()) {
            fold.Take(c->GetCheckState() + 1u);
            if (fold.mixed) return kImagePartly;
        }
    }
    return fold.Result();
}

void CSystemRootNode::StoreCheckState(u32 image) {
    for (CFileNode* root : m_scanRoots) {
        root->SetCheckState(ImageToByte(image));
        SetFilesOf(root, image);
    }
}

void CSystemRootNode::SetCheck(u32 image, bool fromChildren, bool /*notify*/) {
    CDirectoryNode::SetCheck(image, fromChildren, false);
    for (CFileNode* root : m_scanRoots) {
        if (!fromChildren) SetFilesOf(root, image);
        ApplyScanFolderRule(root);
    }
    RefreshTree(this);
}

void CSystemRootNode::UpdateCheckUpwards() {
    RefreshTree(this);
    for (CFileNode* root : m_scanRoots) ApplyScanFolderRule(root);
}

void CSystemRootNode::RefreshItem(u32 image, bool recurse, bool notify) {
    if (recurse) StoreCheckState(image);
    CDirectoryNode::RefreshItem(image, recurse, notify);
    RefreshTree(this);
}

void CSystemRootNode::RefreshCheckStates() {
    for (CBindingNode* child : m_children) child->RefreshCheckStates();
    for (CFileNode* root : m_scanRoots) ApplyScanFolderRule(root);
    RefreshTree(this);
}

void CSystemRootNode::RegisterScanRoot(CFileNode* fsRoot) {
    if (!fsRoot || std::find(m_scanRoots.begin(), m_scanRoots.end(), fsRoot) != m_scanRoots.end()) return;
    m_scanRoots.push_back(fsRoot);
    m_partitionCounter = 0;
}

CSystemDirectory* CSystemRootNode::AddSystemDirectory(CFileNode* fsRoot) {
    if (!fsRoot || FindChild(fsRoot)) return nullptr;
    auto* folder = new CSystemDirectory(this, fsRoot, ++m_partitionCounter);
    Append(folder, fsRoot);
    folder->AddRef();
    return folder;
}

CBindingNode* CSystemRootNode::FindFolderBinding(const CFileNode* folder) {
    if (!folder) return nullptr;
    if (folder == m_lastFolder) return m_lastBinding;
    std::vector<const CFileNode*> chain;
    CBindingNode* binding = nullptr;
    // Bounded by the tree's depth; a loop in a damaged chain ends at the node count limit.
    constexpr size_t kMaxDepth = 4096;
    for (const CFileNode* n = folder; n && chain.size() < kMaxDepth; n = n->GetParent()) {
        if (std::find(m_scanRoots.begin(), m_scanRoots.end(), n) != m_scanRoots.end()) {
            binding = this;
            break;
        }
        if (!n->GetParent()) {
            binding = n->IsFileSystemNode() ? FindChild(n) : nullptr;
            break;
        }
        chain.push_back(n);
    }
    for (auto it = chain.rbegin(); binding && it != chain.rend(); ++it) {
        auto* dir = dynamic_cast<CDirectoryNode*>(binding);
        binding = dir ? dir->FindChild(*it) : nullptr;
    }
    if (binding) {
        m_lastFolder = folder;
        m_lastBinding = binding;
    }
    return binding;
}

CBindingNode* CSystemRootNode::AddScanNode(CFileNode* node, CBindingNode** parentOut) {
    if (parentOut) *parentOut = nullptr;
    if (!node) return nullptr;
    auto* parent = dynamic_cast<CDirectoryNode*>(FindFolderBinding(node->GetParent()));
    if (!parent) return nullptr;
    return parent->AddFileNode(node, parentOut);
}

bool CSystemRootNode::HoldsTree(const CFileNode* fsRoot) const {
    return std::find(m_scanRoots.begin(), m_scanRoots.end(), fsRoot) != m_scanRoots.end() || FindChild(fsRoot);
}

std::vector<CFileNode*> CSystemRootNode::TreeRoots() const {
    if (!m_scanRoots.empty()) return m_scanRoots;
    std::vector<CFileNode*> out;
    for (CBindingNode* child : m_children) {
        if (child->GetFileNode()) out.push_back(child->GetFileNode());
    }
    return out;
}

std::vector<CBindingNode*> CSystemRootNode::DetachRoot(const CFileNode* fsRoot) {
    std::vector<CBindingNode*> removed;
    m_lastFolder = nullptr;
    m_lastBinding = nullptr;
    for (CBindingNode* child : m_children) {
        const CFileNode* n = child->GetFileNode();
        while (n && !n->IsFileSystemNode()) n = n->GetParent();
        if (n == fsRoot) removed.push_back(child);
    }
    for (CBindingNode* child : removed) {
        child->AddRef();
        RemoveChild(child);
    }
    auto it = std::find(m_scanRoots.begin(), m_scanRoots.end(), fsRoot);
    if (it != m_scanRoots.end()) {
        for (const CFileNode* c = fsRoot->GetFirstChild(); c; c = c->GetNextSibling()) {
            if (!IsScanFolder(c)) RemoveEntry();
        }
        m_scanRoots.erase(it);
    }
    return removed;
}

// ---- CNamedRootNode

void CNamedRootNode::RefreshItem(u32 image, bool recurse, bool notify) {
    StoreCheckState(image);
    RefreshTree(this);
    CBindingNode::RefreshItem(image, recurse, notify);
}

}  // namespace FileSelCtrl
