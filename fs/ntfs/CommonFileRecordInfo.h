#pragma once
// One MFT record's place in a directory tree: which record it is, where it was read and which
// folder it belongs to. The quick search, the deep search and the found-partition tree share it.
#include "platform/Types.h"

class IFileProperties;

class CCommonFileRecordInfo {
public:
    CCommonFileRecordInfo() = default;
    ~CCommonFileRecordInfo();
    CCommonFileRecordInfo(const CCommonFileRecordInfo&) = delete;
    CCommonFileRecordInfo& operator=(const CCommonFileRecordInfo&) = delete;

    // Reads the record's directory flag, its own number (only the newer header layout carries
    // it) and its parent folder. The bytes are not changed. False when they are not a valid
    // record; the sector is taken in any case.
    bool FillFromRecord(const u8* bytes, u32 length, u64 sector);

    u32 GetDirectoryFlag() const { return m_directory; }
    void SetDirectoryFlag(u32 flag) { m_directory = flag; }
    u64 GetRecordSector() const { return m_sector; }
    void SetRecordSector(u64 sector) { m_sector = sector; }
    // -1 (all ones) when unknown.
    u64 GetParentRecord() const { return m_parent; }
    void SetParentRecord(u64 parent) { m_parent = parent; }
    u64 GetRecordNumber() const { return m_recordNumber; }
    void SetRecordNumber(u64 number) { m_recordNumber = number; }
    // The info holds one reference; a new one replaces (and releases) the old.
    IFileProperties* GetProperties() const { return m_properties; }
    void SetProperties(IFileProperties* properties);
    void ReleaseProperties();

private:
    u32 m_directory = 0;
    u64 m_sector = 0;
    u64 m_parent = ~u64(0);
    IFileProperties* m_properties = nullptr;
    u64 m_recordNumber = ~u64(0);
};
