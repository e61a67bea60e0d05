#pragma once
// Profile (INI) files with the semantics callers rely on: sections and keys match without regard
// to case, a missing file or key gives the default, and a write creates the file, section or key.
// Files are UTF-8 text; a leading UTF-8 byte-order mark is ignored.
#include <string>
#include <vector>

#include "platform/Types.h"

// Copies the value (or the default) into out, cut to outSize-1 bytes at a character boundary;
// returns the number of bytes copied.
u32 GetPrivateProfileString(const char* section, const char* key, const char* defaultValue, char* out,
                            u32 outSize, const char* fileName);
std::string GetProfileString(const std::string& section, const std::string& key, const std::string& defaultValue,
                             const std::string& fileName);
// The leading decimal number of the value (an optional sign, then digits); the default when the
// key is missing; 0 when the value does not start with a number.
int GetPrivateProfileInt(const char* section, const char* key, int defaultValue, const char* fileName);
// A null value deletes the key; a null key deletes the section. Returns false when the file
// cannot be written.
bool WritePrivateProfileString(const char* section, const char* key, const char* value, const char* fileName);
// Key names of a section, in file order.
std::vector<std::string> GetProfileKeys(const std::string& section, const std::string& fileName);
