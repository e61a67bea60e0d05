#pragma once
// The standard contents of two NTFS metadata files, as a fresh format writes them: the attribute
// definitions ($AttrDef) and the upper-case table ($UpCase). The deep search counts the sectors
// of a device that equal them as evidence of a volume.
#include "platform/Types.h"

constexpr u32 kNtfsAttrDefTemplateSize = 2560;   // sixteen 160-byte entries: five 512-byte sectors
constexpr u32 kNtfsUpCaseTemplateSize = 131072;  // 65536 UTF-16 units: 256 pages of 512 bytes
constexpr u32 kNtfsTemplatePageSize = 512;

// Built once on first use; valid for the program's life.
const u8* NtfsAttrDefTemplate();
const u8* NtfsUpCaseTemplate();
