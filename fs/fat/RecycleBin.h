#pragma once
// Recycle-bin folders and the names of recycled files. A recycled file sits in the bin under a
// generated name ("$R" + six characters + its extension) beside an information file of the same
// name beginning "$I", whose data holds the file's original full path (UTF-16) after a short
// header: version 1 keeps it in a fixed 260-character field at byte 24, version 2 gives its
// length at byte 24 and the text from byte 28.
#include <string>

#include "engine/FsServices.h"
#include "platform/Types.h"

// Bytes of an information file that are looked at for the original path.
constexpr u32 kRecycleInfoReadSize = 1024;

// The last component of the drive path ("X:\...") held in an information file's first bytes,
// converted to the system code page; empty when the data holds none. `moreData` tells that the
// file continues beyond `size`: a name that reaches the end of the data is then cut short and is
// not used.
std::string ExtractRecycledFileName(const u8* data, size_t size, bool moreData);
