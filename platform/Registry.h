#pragma once
// The registry stands in as an INI file "registry.ini" in the user's configuration folder:
// one section per key path, values by name.
#include <string>

bool RegistryReadString(const std::string& keyPath, const std::string& valueName, std::string& out);
bool RegistryReadDword(const std::string& keyPath, const std::string& valueName, unsigned int& out);
bool RegistryWriteString(const std::string& keyPath, const std::string& valueName, const std::string& value);
std::string RegistryFilePath();

// Values carry their type in their stored form, as exported registry files write them:
// "dword:0000000a" a DWORD, "hex:01,02" binary data, anything else a string.
enum class RegistryValueType { kString, kDword, kBinary };
RegistryValueType RegistryTypeOf(const std::string& storedValue);
// A string value of at most maxBytes - 1 bytes (the buffer a caller would read it into, its
// terminator included). A missing value, one of another type, or one that does not fit is refused.
bool RegistryReadBoundedString(const std::string& keyPath, const std::string& valueName, size_t maxBytes,
                               std::string& out);
