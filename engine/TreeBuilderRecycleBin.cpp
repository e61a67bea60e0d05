// Quick mode of the tree builder: deleted entries go to the quick tree as they are found, while
// recycle-bin content is held back until the search is over, so that recycled files can be named
// from their info files once all of them are known.
#include <algorithm>
#include <cstring>
#include <iterator>

#include "devices/StorageDevice.h"
#include "engine/DataRunReader.h"
#include "engine/DirectoryTree.h"
#include "engine/DirectoryTreeBuilder.h"
#include "engine/FileNode.h"
#include "engine/FileProperties.h"
#include "engine/FileSystemNode.h"
#include "engine/RecycleBin.h"
#include "engine/PartitionTree.h"
#include "platform/Text.h"

namespace {

const char* NameOf(const CFileNode* node) {
    const IFileProperties* p = node ? node->GetFileProperties() : nullptr;
    const char* name = p ? p->GetName() : nullptr;
    return name ? name : "";
}

// The text that recycle-bin info files keep is at most this many UTF-16 units long.
constexpr size_t kInfoUnits = 512;

}  // namespace

bool IsNtfsRepairMetadataPath(CFileNode* node) {
    if (!node || !node->GetFileProperties()) return false;
    const char* name = NameOf(node);
    if (std::strlen(name) < 2 || (name[0] != '$' && name[0] != '#') || name[1] != 'R') return false;
    return std::strstr("$RmMetadata$Reparse$Repair", name) == nullptr;
}

void RestoreRecycleBinName(IStorageDevice* device, CFileNode* entry, CFileNode* info, u64 partitionStart,
                           u32 sectorsPerCluster) {
    if (!entry || !entry->GetFileProperties()) return;
    CDataRunReader reader;
    if (!reader.Open(device, info, partitionStart, sectorsPerCluster)) return;
    u8 bytes[kInfoUnits * 2] = {};
    u32 done = 0;
    if (!reader.Read(0, bytes, sizeof(bytes), &done) || done == 0) return;

    auto unit = [&](size_t i) { return ReadLE16(bytes + 2 * i); };
    size_t slash = kInfoUnits;
    for (size_t i = kInfoUnits; i-- > 0;) {
        if (unit(i) == u'\\') {
            slash = i;
            break;
        }
    }
    if (slash == kInfoUnits) return;
    // A drive path: a colon directly followed by a backslash, the last backslash at the latest
    // (so that a file deleted from a drive's top folder, "C:\name", is named too).
    bool drivePath = false;
    for (size_t i = 0; i < slash; ++i) {
        if (unit(i) == u':' && unit(i + 1) == u'\\') {
            drivePath = true;
            break;
        }
    }
    if (!drivePath) return;
    size_t end = slash + 1;
    while (end < kInfoUnits && unit(end) != 0) ++end;
    if (end == slash + 1) return;
    const std::string name = Utf16LeToUtf8(bytes + 2 * (slash + 1), end - slash - 1);
    if (!name.empty()) entry->GetFileProperties()->SetName(name.c_str());
}

bool CDirectoryTreeBuilder::ShouldHold(CFileNode* node) const {
    if (IsInRecycleBin(node) || IsRecycleBinInfoFile(node) || IsNtfsRepairMetadataPath(node)) return true;
    return m_heldFolderIds.find(node->GetParentId()) != m_heldFolderIds.end();
}

u32 CDirectoryTreeBuilder::AddQuickNode(CFileNode* node) {
    if (!m_quickTree) return 0;
    if (ShouldHold(node)) {
        TreeNodePtr held(node);
        if (!held->GetFileProperties()) return 1;
        if (IsFolderNode(node)) {
            m_heldFolderIds.emplace(node->GetId(), node);
            m_heldFolders.push_back(std::move(held));
        } else if (std::strncmp(NameOf(node), "$I", 2) == 0) {
            m_heldInfoFiles.push_back(std::move(held));
        } else {
            m_heldFiles.push_back(std::move(held));
        }
        return 1;
    }
    if (IsDeletedNode(node)) m_consumer->OnFileFound(node);
    std::vector<CFileNode*> linked;
    if (m_quickTree->AddNode(node, &linked) == 1) ShowLinked(m_quickTree, linked, true);
    return 1;
}

void CDirectoryTreeBuilder::NameRecycledEntry(CFileNode* entry) {
    const IFileProperties* p = entry->GetFileProperties();
    const char* name = NameOf(entry);
    if (!p || std::strncmp(name, "$R", 2) != 0 || IsRecycleBinFolder(entry)) return;
    for (auto it = m_heldInfoFiles.begin(); it != m_heldInfoFiles.end(); ++it) {
        CFileNode* info = it->get();
        const IFileProperties* ip = info->GetFileProperties();
        if (!ip) continue;
        // Name lengths of NTFS and RAW names count the terminating zero, so the comparison then
        // covers the end of the shorter name too.
        const u32 n = std::min(p->GetNameLength(), ip->GetNameLength());
        if (n < 2 || std::strncmp(name + 2, NameOf(info) + 2, n - 2) != 0) continue;
        u64 start = 0;
        u32 spc = 0;
        if (m_quickTree && m_quickTree->GetRoot()) m_quickTree->GetRoot()->GetPartitionGeometry(start, spc);
        RestoreRecycleBinName(m_device, entry, info, start, spc);
        // The info file has served its purpose and never enters a tree.
        m_heldInfoFiles.erase(it);
        return;
    }
}

void CDirectoryTreeBuilder::FinishQuickSearch() {
    // Parents before children: a recycle bin's folders carry smaller parent ids than the entries
    // below them as a rule.
    std::stable_sort(m_heldFolders.begin(), m_heldFolders.end(), [](const TreeNodePtr& a, const TreeNodePtr& b) {
        return static_cast<i64>(a->GetParentId()) < static_cast<i64>(b->GetParentId());
    });
    // Files are linked even when no folder was held: they may sit in a recycle-bin folder the
    // tree brings in through its ancestors.
    std::vector<TreeNodePtr> entries;
    entries.reserve(m_heldFolders.size() + m_heldFiles.size());
    std::move(m_heldFolders.begin(), m_heldFolders.end(), std::back_inserter(entries));
    std::move(m_heldFiles.begin(), m_heldFiles.end(), std::back_inserter(entries));
    m_heldFolders.clear();
    m_heldFiles.clear();
    m_heldFolderIds.clear();

    for (TreeNodePtr& entry : entries) {
        NameRecycledEntry(entry.get());
        if (!m_quickTree) continue;
        // The quick tree keeps every held entry it is handed, linked or as an orphan.
        std::vector<CFileNode*> linked;
        if (m_quickTree->AddHeldNode(entry.release(), &linked) != 0) ShowLinked(m_quickTree, linked, true);
    }
    m_heldInfoFiles.clear();
}
