#include "platform/Registry.h"

#include <cstdlib>

#include "platform/ProgramDir.h"
#include "platform/Profile.h"

std::string RegistryFilePath() { return GetUserConfigDir() + "registry.ini"; }

bool RegistryReadString(const std::string& keyPath, const std::string& valueName, std::string& out) {
    const std::string missing = "\x01missing\x01";
    const std::string v = GetProfileString(keyPath, valueName, missing, RegistryFilePath());
    if (v == missing) return false;
    out = v;
    return true;
}

bool RegistryReadDword(const std::string& keyPath, const std::string& valueName, unsigned int& out) {
    std::string v;
    if (!RegistryReadString(keyPath, valueName, v) || v.empty()) return false;
    char* end = nullptr;
    const unsigned long n = std::strtoul(v.c_str(), &end, 0);
    if (end == v.c_str()) return false;
    out = static_cast<unsigned int>(n);
    return true;
}

bool RegistryWriteString(const std::string& keyPath, const std::string& valueName, const std::string& value) {
    return WritePrivateProfileString(keyPath.c_str(), valueName.c_str(), value.c_str(), RegistryFilePath().c_str());
}

RegistryValueType RegistryTypeOf(const std::string& storedValue) {
    if (storedValue.rfind("dword:", 0) == 0) return RegistryValueType::kDword;
    if (storedValue.rfind("hex:", 0) == 0 || storedValue.rfind("hex(", 0) == 0) return RegistryValueType::kBinary;
    return RegistryValueType::kString;
}

bool RegistryReadBoundedString(const std::string& keyPath, const std::string& valueName, size_t maxBytes,
                               std::string& out) {
    std::string v;
    if (!RegistryReadString(keyPath, valueName, v)) return false;
    if (RegistryTypeOf(v) != RegistryValueType::kString) return false;
    if (maxBytes == 0 || v.size() >= maxBytes) return false;
    out = v;
    return true;
}
