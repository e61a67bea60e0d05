#include "fs/ntfs/CommonFileRecordInfo.h"

#include <cstring>

#include "engine/FileProperties.h"
#include "fs/ntfs/NTFSRecord.h"

using namespace ntfs;

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
    if (RecordIsNewerLayout(record)) m_recordNumber = RecordNumberField(record);

    // The folder entries below 5 are the metadata files, never a user folder.
    NTFSFileNameInfo first, second;
    const bool hasFirst = ReadFileNameAttribute(FindRecordAttribute(record, span, kAttrFileName, 0), first);
    const bool hasSecond = ReadFileNameAttribute(FindRecordAttribute(record, span, kAttrFileName, 1), second);
    if (hasSecond && second.parentRecord >= 5) {
        m_parent = second.parentRecord;
    } else if (hasFirst && first.parentRecord >= 5) {
        m_parent = first.parentRecord;
    } else {
        m_parent = ~u64(0);
    }
    return true;
}
