#include "fs/ntfs/NTFSTakenFolders.h"

#include <utility>

#include "fs/ntfs/CommonFileRecordInfo.h"
#include "fs/ntfs/NTFSFileProperties.h"
#include "fs/ntfs/NTFSLogFile.h"

namespace {
}  // namespace

CTakenFolderLinker::CTakenFolderLinker(const CNTFSLogFileParser* journal, LookUpFolder lookUp,
                                       AddLostFolder addFolder)
    : m_journal(journal), m_lookUp(std::move(lookUp)), m_addFolder(std::move(addFolder)) {}

bool CTakenFolderLinker::NeedsCheck(u64 parent, u16 namedSequence, bool inUse) {
    // A live record is filed where its folder says, and the root folder is never taken by another.
    return !inUse && parent != ~u64(0) && parent != kNtfsRootFolderRecord && namedSequence != 0;
}

u64 CTakenFolderLinker::ParentId(u64 parent, u16 namedSequence, bool inUse) {
    return ParentId(parent, namedSequence, inUse, 0);
}

u64 CTakenFolderLinker::ParentId(u64 parent, u16 namedSequence, bool inUse, u32 depth) {
    if (!NeedsCheck(parent, namedSequence, inUse) || !m_lookUp) return parent;
    if (m_lookUp(parent, namedSequence) != FolderLook::kTaken) return parent;
    const u64 id = StaleFolderId(parent, namedSequence);
    // A folder the journal never saw is looked for once, however many files name it.
    if (m_journal == nullptr || depth >= kMaxLoggedFolderDepth || !m_looked.insert(id).second) return id;
    const NTFSLoggedFolder* folder = m_journal->FindFolder(parent, namedSequence);
    if (folder == nullptr || !folder->properties) return id;
    PropertiesRef<CNTFSFileProperties> properties = folder->properties;
    properties->SetState(properties->GetState() | kStateDeleted);
    // The lost folder stood in a folder whose record may have been taken too.
    const u64 grandparent = ParentId(folder->parent, folder->parentSequence, false, depth + 1);
    if (m_addFolder) m_addFolder(id, grandparent, std::move(properties));
    return id;
}
