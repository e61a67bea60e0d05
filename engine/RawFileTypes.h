#pragma once
// The file types of the RAW search, indexed 0 ("Raw") to 115. Analysers write these numbers into
// found-file records; lost-file naming, the NTFS extension map and the file-type hints rely on
// the same numbering.
#include "platform/Types.h"

constexpr u32 kRawFileTypeCount = 116;
constexpr u32 kRawFileTypeDescriptionSize = 80;  // zero-padded
constexpr u32 kRawFileTypeExtensionSize = 9;     // zero-padded, without the dot

extern const char FileTypeDescriptions[kRawFileTypeCount][kRawFileTypeDescriptionSize];
extern const char FileTypeExtensions[kRawFileTypeCount][kRawFileTypeExtensionSize];

// The description and extension of a type; an empty text for a number outside the tables, which
// a record may carry when an analyser never set its type.
const char* RawFileTypeDescription(u32 type);
const char* RawFileTypeExtension(u32 type);
