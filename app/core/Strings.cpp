#include "app/core/Strings.h"

#include <mutex>

#include "app/core/Shell.h"
#include "platform/Profile.h"
#include "platform/Text.h"

namespace {
std::mutex g_langLock;
std::string g_langPath;
bool g_langSet = false;
}  // namespace

int SetLanguageFile(const char* fileName) {
    if (!fileName) return -1;
    std::lock_guard<std::mutex> lk(g_langLock);
    g_langPath = std::string(Utf8Prefix(GetModuleDir() + fileName, 259));
    g_langSet = true;
    return static_cast<int>(g_langPath.size());
}

std::string GetLanguageFilePath() {
    std::lock_guard<std::mutex> lk(g_langLock);
    if (!g_langSet) {
        g_langPath = GetModuleDir() + "English.dat";
        g_langSet = true;
    }
    return g_langPath;
}

std::string GetLocalizedString(const char* key) {
    if (!key) return std::string();
    const std::string path = GetLanguageFilePath();
    std::string value = std::string(Utf8Prefix(GetProfileString("string", key, "", path), 1023));
    std::string out;
    out.reserve(value.size());
    for (size_t i = 0; i < value.size(); ++i) {
        if (value[i] == '\\' && i + 1 < value.size() && value[i + 1] == 'n') {
            out.push_back('\n');
            ++i;
        } else {
            out.push_back(value[i]);
        }
    }
    return out;
}
