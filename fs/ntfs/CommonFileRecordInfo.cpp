#include "fs/ntfs/CommonFileRecordInfo.h"

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
}  // namespace

const NTFSFileNameInfo* ChooseFolderName(const NTFSFileNameInfo* first, const NTFSFileNameInfo* second,
                                         const NtfsFolderKnown* known) {
    const NTFSFileNameInfo* chosen = ChooseRecordName(first, second);
    if (chosen == nullptr) return nullptr;
    const NTFSFileNameInfo* other = chosen == first ? second : first;
    // The long and the short name of one link share their folder: only a second link is asked about.
    if (known != nullptr && *known && other != nullptr && other->parentRecord != chosen->parentRecord) {
        const auto stands = [&](const NTFSFileNameInfo& name) {
            return name.parentRecord == kNtfsRootFolderRecord ||
                   (NamesUserFolder(name) && (*known)(name.parentRecord, name.parentSequence));
        };
        if (stands(*other) && !stands(*chosen)) return other;
    }
    if (NamesUserFolder(*chosen)) return chosen;
    return other != nullptr && NamesUserFolder(*other) ? other : chosen;
}

const NTFSFileNameInfo* ChooseShownName(const NTFSFileNameInfo* first, const NTFSFileNameInfo* second,
                                        const NtfsFolderKnown* known) {
    const NTFSFileNameInfo* recordName = ChooseRecordName(first, second);
    const NTFSFileNameInfo* folder = ChooseFolderName(first, second, known);
    if (folder == recordName) return recordName;
    const bool shortFormOfKnown =
        folder->nameSpace == kFileNameSpaceDos && recordName->nameSpace == kFileNameSpaceWin32;
    return shortFormOfKnown ? recordName : folder;
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

    NTFSFileNameInfo first, second;
    const bool hasFirst = ReadFileNameAttribute(FindRecordAttribute(record, span, kAttrFileName, 0), first);
    const bool hasSecond = ReadFileNameAttribute(FindRecordAttribute(record, span, kAttrFileName, 1), second);
    const NTFSFileNameInfo* folder = ChooseFolderName(hasFirst ? &first : nullptr, hasSecond ? &second : nullptr);
    m_parent = ~u64(0);
    m_parentSequence = 0;
    m_otherParent = ~u64(0);
    m_otherParentSequence = 0;
    // The folder entries below 5 are the metadata files, never a user folder.
    if (folder != nullptr && folder->parentRecord >= kNtfsRootFolderRecord) {
        m_parent = folder->parentRecord;
        m_parentSequence = folder->parentSequence;
    }
    const NTFSFileNameInfo* other = folder == &first ? (hasSecond ? &second : nullptr) : (hasFirst ? &first : nullptr);
    if (other != nullptr && NamesUserFolder(*other) && other->parentRecord != m_parent) {
        m_otherParent = other->parentRecord;
        m_otherParentSequence = other->parentSequence;
    }
    return true;
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
