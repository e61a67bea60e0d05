#include "platform/Profile.h"

#include <strings.h>

#include <cstdlib>
#include <fstream>
#include <mutex>
#include <sstream>

#include "platform/Text.h"

namespace {
// Profile reads come from the UI thread and the scan thread; writes replace the file whole.
std::mutex g_profileLock;

std::vector<std::string> ReadLines(const std::string& fileName) {
    std::vector<std::string> lines;
    std::ifstream in(fileName, std::ios::binary);
    if (!in) return lines;
    std::string line;
    bool first = true;
    while (std::getline(in, line)) {
        if (first && line.size() >= 3 && static_cast<unsigned char>(line[0]) == 0xEF &&
            static_cast<unsigned char>(line[1]) == 0xBB && static_cast<unsigned char>(line[2]) == 0xBF)
            line.erase(0, 3);
        first = false;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

std::string Trim(const std::string& s) {
    size_t b = 0, e = s.size();
    while (b < e && (s[b] == ' ' || s[b] == '\t')) ++b;
    while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t')) --e;
    return s.substr(b, e - b);
}

bool SectionName(const std::string& line, std::string& name) {
    const std::string t = Trim(line);
    if (t.size() < 2 || t.front() != '[') return false;
    const auto close = t.find(']');
    if (close == std::string::npos) return false;
    name = Trim(t.substr(1, close - 1));
    return true;
}

bool KeyValue(const std::string& line, std::string& key, std::string& value) {
    const std::string t = Trim(line);
    if (t.empty() || t[0] == ';') return false;
    const auto eq = t.find('=');
    if (eq == std::string::npos) return false;
    key = Trim(t.substr(0, eq));
    value = Trim(t.substr(eq + 1));
    if (value.size() >= 2 && ((value.front() == '"' && value.back() == '"') ||
                              (value.front() == '\'' && value.back() == '\'')))
        value = value.substr(1, value.size() - 2);
    return true;
}

bool Same(const std::string& a, const char* b) { return strcasecmp(a.c_str(), b) == 0; }

bool Lookup(const std::string& fileName, const char* section, const char* key, std::string& value) {
    std::string current;
    bool in = false;
    for (const auto& line : ReadLines(fileName)) {
        std::string name, k, v;
        if (SectionName(line, name)) {
            in = Same(name, section);
            continue;
        }
        if (in && KeyValue(line, k, v) && Same(k, key)) {
            value = v;
            return true;
        }
    }
    return false;
}
}  // namespace

std::string GetProfileString(const std::string& section, const std::string& key, const std::string& defaultValue,
                             const std::string& fileName) {
    std::lock_guard<std::mutex> lk(g_profileLock);
    std::string v;
    return Lookup(fileName, section.c_str(), key.c_str(), v) ? v : defaultValue;
}

u32 GetPrivateProfileString(const char* section, const char* key, const char* defaultValue, char* out,
                            u32 outSize, const char* fileName) {
    if (!out || outSize == 0) return 0;
    const std::string v = GetProfileString(section ? section : "", key ? key : "", defaultValue ? defaultValue : "",
                                           fileName ? fileName : "");
    return static_cast<u32>(CopyUtf8Bounded(out, outSize, v));
}

int GetPrivateProfileInt(const char* section, const char* key, int defaultValue, const char* fileName) {
    std::lock_guard<std::mutex> lk(g_profileLock);
    std::string v;
    if (!Lookup(fileName ? fileName : "", section ? section : "", key ? key : "", v)) return defaultValue;
    return static_cast<int>(std::strtol(v.c_str(), nullptr, 10));
}

std::vector<std::string> GetProfileKeys(const std::string& section, const std::string& fileName) {
    std::lock_guard<std::mutex> lk(g_profileLock);
    std::vector<std::string> keys;
    bool in = false;
    for (const auto& line : ReadLines(fileName)) {
        std::string name, k, v;
        if (SectionName(line, name)) {
            in = Same(name, section.c_str());
            continue;
        }
        if (in && KeyValue(line, k, v)) keys.push_back(k);
    }
    return keys;
}

bool WritePrivateProfileString(const char* section, const char* key, const char* value, const char* fileName) {
    if (!section || !fileName) return false;
    std::lock_guard<std::mutex> lk(g_profileLock);
    struct Block {
        std::string name;  // empty for the lines before the first section
        std::vector<std::string> lines;
    };
    std::vector<Block> blocks(1);
    for (const auto& line : ReadLines(fileName)) {
        std::string name;
        if (SectionName(line, name)) blocks.push_back({name, {line}});
        else blocks.back().lines.push_back(line);
    }
    Block* target = nullptr;
    for (size_t i = 1; i < blocks.size(); ++i)
        if (Same(blocks[i].name, section)) {
            target = &blocks[i];
            break;
        }
    if (!key) {
        if (target) target->lines.clear();
    } else {
        bool done = false;
        if (target) {
            for (size_t i = 1; i < target->lines.size() && !done; ++i) {
                std::string k, v;
                if (KeyValue(target->lines[i], k, v) && Same(k, key)) {
                    if (value) target->lines[i] = k + "=" + value;
                    else target->lines.erase(target->lines.begin() + static_cast<long>(i));
                    done = true;
                }
            }
        }
        if (!done && value) {
            if (!target) {
                blocks.push_back({section, {std::string("[") + section + "]"}});
                target = &blocks.back();
            }
            size_t at = target->lines.size();
            while (at > 1 && Trim(target->lines[at - 1]).empty()) --at;
            target->lines.insert(target->lines.begin() + static_cast<long>(at), std::string(key) + "=" + value);
        }
    }
    const std::string tmp = std::string(fileName) + ".tmp";
    {
        std::ofstream o(tmp, std::ios::binary | std::ios::trunc);
        if (!o) return false;
        for (const auto& b : blocks)
            for (const auto& l : b.lines) o << l << "\r\n";
        if (!o) return false;
    }
    return std::rename(tmp.c_str(), fileName) == 0;
}
