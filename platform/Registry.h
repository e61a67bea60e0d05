#pragma once
// The registry stands in as an INI file "registry.ini" in the user's configuration folder:
// one section per key path, values by name.
#include <string>

bool RegistryReadString(const std::string& keyPath, const std::string& valueName, std::string& out);
bool RegistryReadDword(const std::string& keyPath, const std::string& valueName, unsigned int& out);
bool RegistryWriteString(const std::string& keyPath, const std::string& valueName, const std::string& value);
std::string RegistryFilePath();
