#pragma once
// Properties of the files found by signature and of the folders that hold them.
#include "engine/FilePropertiesBase.h"

class CRawFileInfo;

class CRAWFileProperties : public CFilePropertiesBase {
public:
    CRAWFileProperties() = default;

    void SetName(const char* name) override { SetRawFileName(name); }
    // The times of a file found by signature stay 0, though the mask claims the creation time.
    u32 GetValidFields() const override { return 0x1CF; }
    // Name length, name with its zero, size, attributes, state, then the compact run list.
    void Save(IRSData* stream) const override;
    u32 GetFileSystemKind() const override { return kPropertiesRaw; }
    void Load(IRSData* stream) override;

    // Replaces the name; the stored length counts the terminating zero. A name longer than 254
    // bytes is cut (at a character boundary) to fit the 8-bit length.
    void SetRawFileName(const char* name);
    // One extent {start sector, (size + 511) >> 9 sectors} over the record's bytes on the device;
    // the size is the record's stated size, which is larger for a file cut at the device's end.
    // Returns 1.
    u32 SetExtent(const CRawFileInfo& record);
    u32 SetExtent(u64 startSector, u64 size);
};

// A new RAW properties object (reference count 1), null when memory runs out.
PropertiesRef<CRAWFileProperties> CreateRAWFileProperties();
// A new RAW properties object filled from a saved form (the stream throws on failure; the
// object is then freed).
IFileProperties* LoadRAWFileProperties(IRSData* stream);
// Makes the properties a folder (attributes 0x10) of the given name; a null object is left alone.
void SetFolderPropertiesName(CRAWFileProperties* properties, const char* name);
// New RAW folder properties of the given name (count 1), or null when memory runs out; the
// code is that of the tree (always RAW).
IFileProperties* CreateRAWFolderProperties(u32 fsCode, const char* name);
