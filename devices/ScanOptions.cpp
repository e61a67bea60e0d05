#include "devices/ScanOptions.h"

#include <cstdio>

#include "platform/Text.h"

namespace {
constexpr size_t kNameLimit = 254;
}

ScanOptions::ScanOptions() {
    for (u32 type = 1; type <= kFileTypeCount; ++type) m_enabledFileTypes.insert(type);
}

void ScanOptions::SetFoundPartitionNaming(const std::string& label, i32 driveLetter) {
    m_namingLabel = std::string(Utf8Prefix(label, kNameLimit));
    m_namingDriveLetter = driveLetter == 0 ? -1 : driveLetter;
}

std::string ScanOptions::GetFoundPartitionName(const char* fileSystemName, int number) const {
    const std::string fs(Utf8Prefix(fileSystemName ? fileSystemName : "", kNameLimit));
    const bool hasLetter = m_namingDriveLetter != -1;
    const bool hasLabel = !m_namingLabel.empty();
    const char letter = static_cast<char>(m_namingDriveLetter);
    char text[1024];
    if (hasLetter && hasLabel)
        std::snprintf(text, sizeof(text), "%c:(%s - %s %d)", letter, m_namingLabel.c_str(), fs.c_str(), number);
    else if (hasLabel)
        std::snprintf(text, sizeof(text), "%s(%s %d)", m_namingLabel.c_str(), fs.c_str(), number);
    else if (hasLetter)
        std::snprintf(text, sizeof(text), "%c:(%s %d)", letter, fs.c_str(), number);
    else
        std::snprintf(text, sizeof(text), "%s %d", fs.c_str(), number);
    return std::string(Utf8Prefix(text, kNameLimit));
}

ScanOptions& GetScanOptions() {
    static ScanOptions options;
    return options;
}
