#include "Json.h"

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "TestUtil.h"
#include "platform/Types.h"

namespace testutil {

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
        if (i >= s.size() || s[i] != '"') return false;
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
    // Members and items up to the closing bracket; `one` reads a member or an item.
    template <typename F>
    bool List(char close, F one) {
        ++i;
        Skip();
        if (i < s.size() && s[i] == close) return ++i, true;
        for (;;) {
            if (!one()) return false;
            Skip();
            if (i >= s.size()) return false;
            if (s[i] == ',') {
                ++i;
                continue;
            }
            return s[i++] == close;
        }
    }
    bool Value(Json& v, int depth) {
        if (depth > 64) return false;
        Skip();
        if (i >= s.size()) return false;
        const char c = s[i];
        if (c == '{') {
            v.kind = Json::Object;
            return List('}', [&] {
                Skip();
                std::string key;
                if (!Str(key)) return false;
                Skip();
                if (i >= s.size() || s[i++] != ':') return false;
                return Value(v.members[key], depth + 1);
            });
        }
        if (c == '[') {
            v.kind = Json::Array;
            return List(']', [&] {
                v.items.emplace_back();
                return Value(v.items.back(), depth + 1);
            });
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

Json LoadFixtureJson(const std::string& name) {
    const std::string path = FixturePath(name);
    Json root;
    if (!ReadJsonFile(path, root)) throw MissingFixture("fixture \"" + name + "\" is not valid JSON: " + path);
    return root;
}

}  // namespace testutil
