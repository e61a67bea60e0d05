#pragma once
// Names of the files and folders the writer makes. Names come from the scanned disk, so they
// are made safe before they become path components: no separator, no "." or "..", never empty,
// at most 255 bytes (cut at a UTF-8 character boundary).
#include <string>

#include "platform/Types.h"

constexpr size_t kMaxNameComponent = 255;

// The top folder of a recovery: each of : ? \ / | * > < " and every control character becomes
// '#'.
std::string CleanTopFolderName(const char* name);
// A file's name: '/' and every control character (below 0x20, and 0x7F) become '_'; everything
// else a Linux folder can hold is kept.
std::string CleanFileName(const char* name);
// A subfolder's name: as a file's name.
std::string CleanSubfolderName(const char* name);
// The component bounded to `limit` bytes at a character boundary; a short extension (the part
// from the last '.', up to 32 bytes) is kept and the part before it cut.
std::string BoundNameComponent(const std::string& name, size_t limit = kMaxNameComponent);
// The i-th unique variant of a file name, "%s_%03d%s" of the name without its extension, i and
// the extension (the part from the last '.'), bounded like every component.
std::string UniqueFileVariant(const std::string& name, u32 i);
// The i-th unique variant of a folder name, "%s_%03d", bounded.
std::string UniqueFolderVariant(const std::string& name, u32 i);
