#include "fs/ntfs/CommonFileRecordInfo.h"

#include <algorithm>
#include <cstring>

#include "engine/FileProperties.h"
#include "fs/ntfs/NTFSRecord.h"

using namespace ntfs;

namespace {
constexpr u32 kRecordNumberBits = 48;
constexpr u64 kLargestFolderRecord = (u64(1) << kRecordNumberBits) - 256;

bool NamesUserFolder(const NTFSFileNameInfo& name) {
    return name.parentRecord >= kNtfsRootFolderRecord && name.parentRecord != kNtfsNoParentReference;
}

// The name weighed at place `place` (ChooseFolderName): the name the record is known by, the
// other of the first two, then the rest as the record holds them.
const NTFSFileNameInfo& WeighedName(const std::vector<NTFSFileNameInfo>& names, size_t place) {
    if (place >= 2) return names[place];
    const size_t known = size_t(ChooseRecordName(names) - names.data());
    return names[place == 0 ? known : 1 - known];
}

bool NamesSeveralFolders(const std::vector<NTFSFileNameInfo>& names) {
    for (const NTFSFileNameInfo& name : names) {
        if (name.parentRecord != names.front().parentRecord) return true;
    }
    return false;
}
}  // namespace

const NTFSFileNameInfo* ChooseFolderName(const std::vector<NTFSFileNameInfo>& names, const NtfsFolderKnown* known) {
    if (names.empty()) return nullptr;
    // The long and the short name of one link share their folder: the scan is asked only about
    // a file whose names lie in several folders.
    if (known != nullptr && *known && NamesSeveralFolders(names)) {
        for (size_t place = 0; place < names.size(); ++place) {
            const NTFSFileNameInfo& name = WeighedName(names, place);
            if (name.parentRecord == kNtfsRootFolderRecord ||
                (NamesUserFolder(name) && (*known)(name.parentRecord, name.parentSequence))) {
                return &name;
            }
        }
    }
    for (size_t place = 0; place < names.size(); ++place) {
        const NTFSFileNameInfo& name = WeighedName(names, place);
        if (NamesUserFolder(name)) return &name;
    }
    return &WeighedName(names, 0);
}

const NTFSFileNameInfo* ChooseShownName(const std::vector<NTFSFileNameInfo>& names, const NtfsFolderKnown* known) {
    const NTFSFileNameInfo* folder = ChooseFolderName(names, known);
    if (folder == nullptr || folder->nameSpace != kFileNameSpaceDos) return folder;
    // A short name is the alias of the long name of its link, in the same folder.
    for (const NTFSFileNameInfo& name : names) {
        if (name.nameSpace == kFileNameSpaceWin32 && name.parentRecord == folder->parentRecord) return &name;
    }
    // None there: the long name's own reference is damaged, and the name the record is known by
    // is that long name when it is one.
    const NTFSFileNameInfo* recordName = ChooseRecordName(names);
    return recordName->nameSpace == kFileNameSpaceWin32 ? recordName : folder;
}

std::vector<NtfsFolderReference> NamedUserFolders(const std::vector<NTFSFileNameInfo>& names) {
    std::vector<NtfsFolderReference> folders;
    for (const NTFSFileNameInfo& name : names) {
        const NtfsFolderReference folder{name.parentRecord, name.parentSequence};
        if (NamesUserFolder(name) && std::find(folders.begin(), folders.end(), folder) == folders.end()) {
            folders.push_back(folder);
        }
    }
    return folders;
}

CCommonFileRecordInfo::~CCommonFileRecordInfo() { ReleaseProperties(); }

void CCommonFileRecordInfo::SetProperties(IFileProperties* properties) {
    if (properties == m_properties) return;
    ReleaseProperties();
    m_properties = properties;
}

void CCommonFileRecordInfo::ReleaseProperties() {
    if (m_properties != nullptr) m_properties->Release();
    m_properties = nullptr;
}

bool CCommonFileRecordInfo::FillFromRecord(const u8* bytes, u32 length, u64 sector) {
    m_sector = sector;
    if (!ValidateFileRecord(bytes, length)) return false;
    // The fixups are applied to a private copy so that the caller's bytes stay as read.
    u8 record[kMaxRecordSize];
    const u32 span = RecordSpan(bytes, length);
    std::memcpy(record, bytes, span);
    ApplyFileRecordFixups(record, span);

    m_directory = RecordIsDirectory(record) ? 1 : 0;
    m_inUse = RecordIsInUse(record);
    m_sequence = RecordSequenceNumber(record);
    if (RecordIsNewerLayout(record)) m_recordNumber = RecordNumberField(record);

    std::vector<NTFSFileNameInfo> names;
    ReadRecordFileNames(record, span, names);
    const NTFSFileNameInfo* folder = ChooseFolderName(names);
    m_parent = ~u64(0);
    m_parentSequence = 0;
    // The folder entries below 5 are the metadata files, never a user folder.
    if (folder != nullptr && folder->parentRecord >= kNtfsRootFolderRecord) {
        m_parent = folder->parentRecord;
        m_parentSequence = folder->parentSequence;
    }
    return true;
}

const std::vector<NtfsFolderReference>& CCommonFileRecordInfo::GetNamedFolders() const {
    static const std::vector<NtfsFolderReference> kNone;
    return m_namedFolders ? *m_namedFolders : kNone;
}

void CCommonFileRecordInfo::SetNamedFolders(std::vector<NtfsFolderReference> folders) {
    if (folders.size() > 1) {
        m_namedFolders = std::make_unique<std::vector<NtfsFolderReference>>(std::move(folders));
    } else {
        m_namedFolders.reset();
    }
}

void CCommonFileRecordInfo::SetNamedFolder(u64 parent, u16 sequence) {
    if (parent == ~u64(0)) return;
    if (parent >= kNtfsRootFolderRecord) {
        m_parent = parent;
        m_parentSequence = sequence;
    } else if (m_parent == ~u64(0)) {
        m_parent = parent;
    }
}

bool FolderSequenceMatches(u16 named, u16 folderSequence, bool folderInUse) {
    if (named == 0 || folderSequence == 0 || named == folderSequence) return true;
    if (folderInUse) return false;
    // Counting on from the highest number skips 0.
    const u16 beforeFreed = folderSequence == 1 ? u16(0xFFFF) : u16(folderSequence - 1);
    return named == beforeFreed;
}

u64 StaleFolderId(u64 folderRecord, u16 namedSequence) {
    // Far above any real record number the top ids are the program's own (unknown, reparse
    // point, the lost-files folders); such a reference names nothing that can be found.
    if (folderRecord >= kLargestFolderRecord) return ~u64(0);
    return (u64(namedSequence) << kRecordNumberBits) | folderRecord;
}

u64 StaleFolderRecord(u64 id) {
    const u64 record = id & ((u64(1) << kRecordNumberBits) - 1);
    return (id >> kRecordNumberBits) != 0 && record < kLargestFolderRecord ? record : ~u64(0);
}
