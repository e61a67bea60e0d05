#pragma once
// One MFT record's place in a directory tree: which record it is, where it was read and which
// folder it belongs to. The quick search, the deep search and the found-partition tree share it.
#include <functional>
#include <memory>
#include <vector>

#include "platform/Types.h"

class IFileProperties;

// The MFT record of the root folder: the tree's top, and the parent the root names for itself.
constexpr u64 kNtfsRootFolderRecord = 5;
// A parent reference whose 48 bits are all ones names no folder.
constexpr u64 kNtfsNoParentReference = 0xFFFFFFFFFFFFull;

struct NTFSFileNameInfo;
// Whether a scan knows the folder a name's reference points at (its record number, and the
// sequence number the record had when the name was made): a folder record it read is that folder.
using NtfsFolderKnown = std::function<bool(u64 record, u16 sequence)>;
// A folder a name's reference points at.
struct NtfsFolderReference {
    u64 record = ~u64(0);
    u16 sequence = 0;
    bool operator==(const NtfsFolderReference&) const = default;
};
// The name whose folder a file stands in, of all its names (as the record and its extension
// records hold them). They are weighed in one order: the name the record is known by
// (ChooseRecordName), the other of its first two, then the rest. Without `known` the first of
// them whose reference names a user folder (the root or above; a reference below the root, which
// only the metadata files name, or all ones is damaged), else the known name; so a file with
// names in several folders keeps each name with its own folder. With `known`, where the names
// name more than one folder, the first whose folder the scan knows (the root always): a file
// whose folder is gone stands in the folder of another of its names, and is lost only when no
// name's folder is known. Null when no name was read.
const NTFSFileNameInfo* ChooseFolderName(const std::vector<NTFSFileNameInfo>& names,
                                         const NtfsFolderKnown* known = nullptr);
// The name a file is shown by: the one whose folder it stands in (ChooseFolderName, with the same
// `known`), so that a file with names in several folders (hard links) never takes one name's
// folder with another's name; where that is a short (DOS) name, the long name of the same link.
// Null when no name was read.
const NTFSFileNameInfo* ChooseShownName(const std::vector<NTFSFileNameInfo>& names,
                                        const NtfsFolderKnown* known = nullptr);
// Every user folder (the root or above) the names name, each once, in the order of the names.
std::vector<NtfsFolderReference> NamedUserFolders(const std::vector<NTFSFileNameInfo>& names);

class CCommonFileRecordInfo {
public:
    CCommonFileRecordInfo() = default;
    ~CCommonFileRecordInfo();
    CCommonFileRecordInfo(const CCommonFileRecordInfo&) = delete;
    CCommonFileRecordInfo& operator=(const CCommonFileRecordInfo&) = delete;

    // Reads the record's directory flag, its own number (only the newer header layout carries
    // it) and the folder of the name the record is known by (ChooseFolderName over the names the
    // record itself holds). The bytes are not changed. False when they are not a valid record;
    // the sector is taken in any case.
    bool FillFromRecord(const u8* bytes, u32 length, u64 sector);

    u32 GetDirectoryFlag() const { return m_directory; }
    bool IsInUse() const { return m_inUse; }
    // The record's own sequence number, and the one its parent reference names (0: not told).
    u16 GetSequence() const { return m_sequence; }
    u16 GetParentSequence() const { return m_parentSequence; }
    void SetDirectoryFlag(u32 flag) { m_directory = flag; }
    u64 GetRecordSector() const { return m_sector; }
    void SetRecordSector(u64 sector) { m_sector = sector; }
    // -1 (all ones) when unknown.
    u64 GetParentRecord() const { return m_parent; }
    void SetParentRecord(u64 parent) { m_parent = parent; }
    // The folder of the name the record's properties carry, which may lie in an extension record:
    // a user folder (5 or more) replaces the one read here, so that a file with several names
    // keeps one name's name and folder; any other fills in only what is unknown. All ones changes
    // nothing.
    void SetNamedFolder(u64 parent, u16 sequence);
    // The user folders the file's names name, where there are several (hard links in several
    // folders): a scan that finds no folder of the one it stands in may still know another.
    // Empty when its names name one folder or none.
    const std::vector<NtfsFolderReference>& GetNamedFolders() const;
    void SetNamedFolders(std::vector<NtfsFolderReference> folders);
    u64 GetRecordNumber() const { return m_recordNumber; }
    void SetRecordNumber(u64 number) { m_recordNumber = number; }
    // The info holds one reference; a new one replaces (and releases) the old.
    IFileProperties* GetProperties() const { return m_properties; }
    void SetProperties(IFileProperties* properties);
    void ReleaseProperties();

private:
    u32 m_directory = 0;
    bool m_inUse = false;
    u16 m_sequence = 0;
    u16 m_parentSequence = 0;
    u64 m_sector = 0;
    u64 m_parent = ~u64(0);
    // Held apart: only files with names in several folders have them.
    std::unique_ptr<std::vector<NtfsFolderReference>> m_namedFolders;
    IFileProperties* m_properties = nullptr;
    u64 m_recordNumber = ~u64(0);
};

// NTFS raises a record's sequence number when it frees the record and keeps it when the record
// is taken again, and a file's parent reference carries the sequence number its folder had. A
// deleted file that names its folder's record with a sequence number the record no longer shows
// belonged to a folder that was deleted and whose record another folder took: it must not be
// filed there.
// A deleted folder's record shows one more than its files name (the same, for drivers that do
// not raise it); a sequence number of 0 on either side tells nothing.
bool FolderSequenceMatches(u16 named, u16 folderSequence, bool folderInUse);

// The id a deleted record names for a folder whose record was taken by another folder. Node ids
// of records are 48-bit numbers, so no node of a live folder has it, while every file of the
// lost folder names the same one.
u64 StaleFolderId(u64 folderRecord, u16 namedSequence);
// The folder record a stale id names; ~0 for any other id.
u64 StaleFolderRecord(u64 id);
