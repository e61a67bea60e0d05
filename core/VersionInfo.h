#pragma once
// The version strings a program file carries. Ours are compiled into the section
// ".morvenda_version" of the executable: a text block with a list of translations and, for each,
// its strings ("ProductVersion", "LegalCopyright", ...), read back from the file the way a
// version resource is read.
#include <string>

constexpr const char* kVersionSectionName = ".morvenda_version";

// 0 after reading, -1 for a null path, -2 when the file carries no version block. The texts of
// the first translation that has a copyright are taken (else those of the last translation); a
// missing value gives an empty text.
int ReadVersionStrings(const char* modulePath, std::string* copyright, std::string* version);
// The same over a block's text; false when the block holds no translation.
bool ParseVersionBlock(const std::string& block, std::string* copyright, std::string* version);
// The bytes of a named section of an ELF file, at most maxBytes; false when the file is no ELF
// file, has no such section, or the section does not fit the file or the limit.
bool ReadElfSection(const char* path, const char* sectionName, size_t maxBytes, std::string* out);

// The version block compiled into this program.
const char* CompiledVersionBlock();
// The product version and copyright compiled into this program.
const char* ProductVersionText();
