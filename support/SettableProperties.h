#pragma once
// File properties whose every field a test or a benchmark sets directly: the stand-in for the
// properties a file-system scan makes. The name length counts the terminating zero, as NTFS
// names do.
#include <string>

#include "engine/FileProperties.h"

namespace testutil {

class SettableProperties : public IFileProperties {
public:
    u32 GetNameLength() const override { return static_cast<u32>(name.size() + 1); }
    void SetName(const char* n) override { name = n ? n : ""; }
    const char* GetName() const override { return name.c_str(); }
    u64 GetSize() const override { return size; }
    u16 GetAttributes() const override { return attributes; }
    void GetExtraName(std::string& out) const override { out.clear(); }
    void GetCreationTime(FILETIME64& out) const override { out = created; }
    void GetModificationTime(FILETIME64& out) const override { out = modified; }
    void GetAccessTime(FILETIME64& out) const override { out = accessed; }
    u16 GetState() const override { return state; }
    u8 SetState(u8 s) override {
        state = s;
        return s;
    }
    IDataRunList* CreateDataRunList() const override { return nullptr; }
    u32 GetValidFields() const override { return validFields; }
    u8 GetFlag() const override { return 0; }
    u8 SetFlag(u8) override { return 0; }
    void Save(IRSData*) const override {}
    u32 GetFileSystemKind() const override { return kind; }
    void Load(IRSData*) override {}

    std::string name;
    u64 size = 0;
    u16 attributes = kAttrArchive;
    FILETIME64 created = 0;
    FILETIME64 modified = 0;
    FILETIME64 accessed = 0;
    u8 state = 0;
    u32 validFields = 0xFF;
    u32 kind = kPropertiesNtfs;
};

}  // namespace testutil
