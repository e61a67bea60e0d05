#pragma once
// Properties of the files found by signature and of the folders that hold them.
#include "engine/FileProperties.h"

class CCompactRunList;
class CRawFileInfo;

class CRAWFileProperties : public IFileProperties {
public:
    CRAWFileProperties() = default;
    ~CRAWFileProperties() override;

    u32 GetNameLength() const override { return m_nameLength; }
    void SetName(const char* name) override { SetRawFileName(name); }
    const char* GetName() const override { return m_name; }
    u64 GetSize() const override { return m_size; }
    u16 GetAttributes() const override { return m_attributes; }
    void GetExtraName(std::string& out) const override { out.clear(); }
    void GetCreationTime(FILETIME64& out) const override { out = 0; }
    void GetModificationTime(FILETIME64& out) const override { out = 0; }
    void GetAccessTime(FILETIME64& out) const override { out = 0; }
    u16 GetState() const override { return m_state; }
    u8 SetState(u8 state) override { m_state = state; return m_state; }
    IDataRunList* CreateDataRunList() const override;
    u32 GetValidFields() const override { return 0x1CF; }
    u8 GetFlag() const override { return m_flag; }
    u8 SetFlag(u8 flag) override { m_flag = flag; return 1; }
    // Name length, name with its zero, size, attributes, state, then the compact run list.
    void Save(IRSData* stream) const override;
    u32 GetFileSystemKind() const override { return kPropertiesRaw; }
    void Load(IRSData* stream) override;

    // Replaces the name; the stored length counts the terminating zero. A name longer than 254
    // bytes is cut (at a character boundary) to fit the 8-bit length.
    void SetRawFileName(const char* name);
    void SetAttributes(u16 attributes) { m_attributes = attributes; }
    // The record's size and one extent {start sector, (size + 511) >> 9 sectors}; returns 1.
    u32 SetExtent(const CRawFileInfo& record);
    u32 SetExtent(u64 startSector, u64 size);
    const CCompactRunList* GetRunList() const { return m_runs; }

private:
    // Small fields first: they sit in the padding after the base's reference count.
    u8 m_nameLength = 0;  // strlen + 1, 0 while no name is set
    u8 m_flag = 0;
    u8 m_state = 0;
    u16 m_attributes = 0;
    char* m_name = nullptr;
    u64 m_size = 0;
    CCompactRunList* m_runs = nullptr;
};

// A new RAW properties object (reference count 1), null when memory runs out.
IFileProperties* CreateRAWFileProperties();
// A new RAW properties object filled from a saved form (the stream throws on failure; the
// object is then freed).
IFileProperties* LoadRAWFileProperties(IRSData* stream);
