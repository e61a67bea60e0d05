#include "core/Strings.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "core/Shell.h"
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

namespace {
std::string ReadText(const std::string& path, const char* key) {
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
}  // namespace

std::string GetLocalizedString(const char* key) {
    if (!key) return std::string();
    return ReadText(GetLanguageFilePath(), key);
}

bool FormatConversions(const std::string& format, std::string* out) {
    std::string sig;
    for (size_t i = 0; i < format.size(); ++i) {
        if (format[i] != '%') continue;
        if (++i >= format.size()) return false;
        if (format[i] == '%') continue;
        // flags, width and precision
        while (i < format.size() && std::strchr("-+ #0'", format[i])) ++i;
        auto number = [&]() {
            if (i < format.size() && format[i] == '*') {
                sig += "i,";
                ++i;
                return;
            }
            while (i < format.size() && format[i] >= '0' && format[i] <= '9') ++i;
        };
        number();
        if (i < format.size() && format[i] == '.') {
            ++i;
            number();
        }
        std::string length;
        while (i < format.size() && std::strchr("hlLqjzt", format[i])) length.push_back(format[i++]);
        if (i >= format.size()) return false;
        const char c = format[i];
        if (std::strchr("diouxXc", c)) {
            if (length == "l") sig += "li,";
            else if (length == "ll" || length == "q" || length == "j") sig += "lli,";
            else if (length == "z" || length == "t") sig += "zi,";
            else if (length.empty() || length == "h" || length == "hh") sig += "i,";
            else return false;
        } else if (std::strchr("eEfFgGaA", c)) {
            if (length == "L") sig += "Lf,";
            else if (length.empty() || length == "l") sig += "f,";
            else return false;
        } else if (c == 's') {
            if (!length.empty()) return false;
            sig += "s,";
        } else if (c == 'p') {
            sig += "p,";
        } else {
            return false;  // %n and anything unknown
        }
    }
    if (out) *out = sig;
    return true;
}

std::string FormatLocalized(const char* key, const char* expected, ...) {
    std::string wanted;
    if (!key || !expected || !FormatConversions(expected, &wanted)) return std::string();
    std::string text = GetLocalizedString(key);
    std::string sig;
    if (!FormatConversions(text, &sig) || sig != wanted) {
        const std::string english = ReadText(GetModuleDir() + "English.dat", key);
        std::string englishSig;
        WriteLog("[%s:%d] text %s does not take its arguments\r\n", "FormatLocalized", 0, key);
        if (english.empty() || !FormatConversions(english, &englishSig) || englishSig != wanted) return text;
        text = english;
    }
    va_list ap;
    va_start(ap, expected);
    va_list copy;
    va_copy(copy, ap);
    const int n = std::vsnprintf(nullptr, 0, text.c_str(), copy);
    va_end(copy);
    std::string out;
    if (n > 0) {
        out.resize(static_cast<size_t>(n) + 1);
        std::vsnprintf(out.data(), out.size(), text.c_str(), ap);
        out.resize(static_cast<size_t>(n));
    }
    va_end(ap);
    return out;
}
