#pragma once
// Where a deleted record is filed when the folder its parent reference names may have been
// deleted, and its record taken by a new folder. The deleted-file scan, the found-partition tree
// and the tree shown while a complete scan runs all file such records through this one step.
#include <algorithm>
#include <functional>
#include <unordered_set>

#include "engine/FileProperties.h"
#include "fs/ntfs/CommonFileRecordInfo.h"
#include "platform/Types.h"

class CNTFSFileProperties;
class CNTFSLogFileParser;

// Lost folders the journal names inside lost folders are brought back at most this deep.
constexpr u32 kMaxLoggedFolderDepth = 64;

class CTakenFolderLinker {
public:
    // What the caller knows of the folder records of one number, for a sequence number a
    // reference names.
    enum class FolderLook {
        kNone,     // no folder record of that number is known
        kBelongs,  // one of them is the folder the reference names
        kTaken,    // every one of them is another folder that took the record since
    };
    using LookUpFolder = std::function<FolderLook(u64 record, u16 namedSequence)>;
    // A lost folder the journal gives back: its stale id, the id of its own folder, its
    // properties (marked deleted). The folders it stood in come first.
    using AddLostFolder = std::function<void(u64 id, u64 parentId, PropertiesRef<CNTFSFileProperties> properties)>;

    // Without a journal (null) no lost folder is given back.
    CTakenFolderLinker(const CNTFSLogFileParser* journal, LookUpFolder lookUp, AddLostFolder addFolder);

    // Whether the record's folder may be another than its number says: only a deleted record
    // that names a folder other than the root, with a sequence number.
    static bool NeedsCheck(u64 parent, u16 namedSequence, bool inUse);

    // The id the record's node names for its folder: the parent number, unless every folder
    // record of that number is a folder that took it since; then the stale id of the lost
    // folder, which the journal's image of that folder (when it holds one) brings back once,
    // named as it was, in the folder it stood in.
    u64 ParentId(u64 parent, u16 namedSequence, bool inUse);
    // Forgets which lost folders were looked for, for a new walk.
    void Reset() { m_looked.clear(); }

private:
    u64 ParentId(u64 parent, u16 namedSequence, bool inUse, u32 depth);

    const CNTFSLogFileParser* m_journal;
    LookUpFolder m_lookUp;
    AddLostFolder m_addFolder;
    // Stale ids whose folder was looked for in the journal.
    std::unordered_set<u64> m_looked;
};

// What the folder records of one number, [first, last) of a map from record numbers, are for a
// reference that names `namedSequence`; `stateOf(record)` gives a record's sequence number and
// whether it is in use.
template <typename Iterator, typename StateOf>
CTakenFolderLinker::FolderLook LookUpFolderAmong(Iterator first, Iterator last, u16 namedSequence, StateOf stateOf) {
    using FolderLook = CTakenFolderLinker::FolderLook;
    if (first == last) return FolderLook::kNone;
    // Records of several volumes, or old copies, may share the number: any of them may be it.
    const bool belongs = std::any_of(first, last, [&](const auto& entry) {
        const auto [sequence, inUse] = stateOf(entry.second);
        return FolderSequenceMatches(namedSequence, sequence, inUse);
    });
    return belongs ? FolderLook::kBelongs : FolderLook::kTaken;
}
