#include "E2ESupport.h"

#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace e2e {

namespace {

struct Parser {
    const std::string& s;
    size_t i = 0;

    void Skip() {
        while (i < s.size() && (s[i] == ' ' || s[i] == '\n' || s[i] == '\r' || s[i] == '\t')) ++i;
    }
    bool Literal(const char* word) {
        const size_t n = std::char_traits<char>::length(word);
        if (s.compare(i, n, word) != 0) return false;
        i += n;
        return true;
    }
    static void PutUtf8(std::string& out, u32 cp) {
        if (cp < 0x80) {
            out += char(cp);
        } else if (cp < 0x800) {
            out += char(0xC0 | (cp >> 6));
            out += char(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += char(0xE0 | (cp >> 12));
            out += char(0x80 | ((cp >> 6) & 0x3F));
            out += char(0x80 | (cp & 0x3F));
        } else {
            out += char(0xF0 | (cp >> 18));
            out += char(0x80 | ((cp >> 12) & 0x3F));
            out += char(0x80 | ((cp >> 6) & 0x3F));
            out += char(0x80 | (cp & 0x3F));
        }
    }
    bool Hex4(u32& out) {
        if (i + 4 > s.size()) return false;
        out = u32(std::strtoul(s.substr(i, 4).c_str(), nullptr, 16));
        i += 4;
        return true;
    }
    bool Str(std::string& out) {
        if (s[i] != '"') return false;
        ++i;
        while (i < s.size() && s[i] != '"') {
            char c = s[i++];
            if (c != '\\') {
                out += c;
                continue;
            }
            if (i >= s.size()) return false;
            c = s[i++];
            switch (c) {
                case 'n': out += '\n'; break;
                case 't': out += '\t'; break;
                case 'r': out += '\r'; break;
                case 'b': out += '\b'; break;
                case 'f': out += '\f'; break;
                case 'u': {
                    u32 cp = 0;
                    if (!Hex4(cp)) return false;
                    if (cp >= 0xD800 && cp < 0xDC00 && s.compare(i, 2, "\\u") == 0) {
                        i += 2;
                        u32 low = 0;
                        if (!Hex4(low)) return false;
                        cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
                    }
                    PutUtf8(out, cp);
                    break;
                }
                default: out += c;
            }
        }
        if (i >= s.size()) return false;
        ++i;
        return true;
    }
    bool Value(Json& v, int depth) {
        if (depth > 64) return false;
        Skip();
        if (i >= s.size()) return false;
        const char c = s[i];
        if (c == '{') {
            v.kind = Json::Object;
            ++i;
            Skip();
            if (i < s.size() && s[i] == '}') return ++i, true;
            for (;;) {
                Skip();
                std::string key;
                if (i >= s.size() || !Str(key)) return false;
                Skip();
                if (i >= s.size() || s[i++] != ':') return false;
                if (!Value(v.members[key], depth + 1)) return false;
                Skip();
                if (i >= s.size()) return false;
                if (s[i] == ',') {
                    ++i;
                    continue;
                }
                return s[i++] == '}';
            }
        }
        if (c == '[') {
            v.kind = Json::Array;
            ++i;
            Skip();
            if (i < s.size() && s[i] == ']') return ++i, true;
            for (;;) {
                v.items.emplace_back();
                if (!Value(v.items.back(), depth + 1)) return false;
                Skip();
                if (i >= s.size()) return false;
                if (s[i] == ',') {
                    ++i;
                    continue;
                }
                return s[i++] == ']';
            }
        }
        if (c == '"') {
            v.kind = Json::String;
            return Str(v.text);
        }
        if (Literal("true")) return v.kind = Json::Bool, v.boolean = true, true;
        if (Literal("false")) return v.kind = Json::Bool, true;
        if (Literal("null")) return true;
        char* end = nullptr;
        v.number = std::strtod(s.c_str() + i, &end);
        if (end == s.c_str() + i) return false;
        v.kind = Json::Number;
        i = size_t(end - s.c_str());
        return true;
    }
};

std::string Quote(const std::string& a) {
    std::string out = "'";
    for (char c : a) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

}  // namespace

const Json& Json::operator[](const std::string& key) const {
    static const Json kNull;
    auto it = members.find(key);
    return it == members.end() ? kNull : it->second;
}

bool ParseJson(const std::string& text, Json& out) {
    Parser p{text};
    if (!p.Value(out, 0)) return false;
    p.Skip();
    return p.i == text.size();
}

bool ReadJsonFile(const std::string& path, Json& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::stringstream ss;
    ss << in.rdbuf();
    return ParseJson(ss.str(), out);
}

int RunDriver(const std::vector<std::string>& args, const std::string& cwd, const std::string& log) {
    std::string command = "cd " + Quote(cwd) + " && " + Quote(std::string(MORVENDA_BINARY_DIR) + "/bin/scan_driver");
    for (const std::string& a : args) command += " " + Quote(a);
    command += " > " + Quote(log) + " 2>&1";
    const int status = std::system(command.c_str());
    if (status == -1 || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

std::vector<std::string> ListFiles(const std::string& root) {
    std::vector<std::string> out;
    std::error_code ec;
    for (auto it = std::filesystem::recursive_directory_iterator(root, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
        if (it->is_regular_file()) out.push_back(std::filesystem::relative(it->path(), root).string());
    }
    return out;
}

std::vector<std::string> ListEntries(const std::string& folder) {
    std::vector<std::string> out;
    std::error_code ec;
    for (auto it = std::filesystem::directory_iterator(folder, ec);
         !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
        out.push_back(it->path().filename().string());
    }
    return out;
}

i64 ParseUtc(const std::string& text) {
    std::tm tm{};
    int y, mo, d, h, mi, s;
    if (std::sscanf(text.c_str(), "%d-%d-%dT%d:%d:%dZ", &y, &mo, &d, &h, &mi, &s) != 6) return -1;
    tm.tm_year = y - 1900;
    tm.tm_mon = mo - 1;
    tm.tm_mday = d;
    tm.tm_hour = h;
    tm.tm_min = mi;
    tm.tm_sec = s;
    return static_cast<i64>(timegm(&tm));
}

i64 ModificationTime(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return -1;
    return static_cast<i64>(st.st_mtime);
}

}  // namespace e2e
