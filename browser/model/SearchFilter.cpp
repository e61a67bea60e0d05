#include "browser/model/SearchFilter.h"

#include <utility>

#include "browser/model/BrowserConfig.h"
#include "engine/FileProperties.h"

namespace FileSelCtrl {

namespace {

// A wildcard's run: any characters but the ones a file name cannot hold.
constexpr const char* kAnyRun = R"([^/\x2A\x3F:"<>|]*)";
constexpr const char* kAnyOne = R"([^/\x2A\x3F:"<>|]{1})";
// The attribute bits the filter compares.
constexpr u32 kComparedAttributes = 0x1 | 0x2 | 0x4 | 0x8 | 0x10 | 0x20 | 0x40 | 0x400 | 0x800;
constexpr const char* kPassEverything[] = {"**.**", "***"};

void ReplaceAll(std::string& text, const std::string& from, const std::string& to) {
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) text.replace(at, from.size(), to);
}

// Every character that means something to the expression syntax, as a hexadecimal escape.
std::string EscapeSpecials(std::string text) {
    static const std::pair<const char*, const char*> kEscapes[] = {
        {"[", R"(\x5B)"}, {"]", R"(\x5D)"}, {"{", R"(\x7B)"}, {"}", R"(\x7D)"}, {"(", R"(\x28)"}, {")", R"(\x29)"},
        {"+", R"(\x2B)"}, {"|", R"(\x7C)"}, {"^", R"(\x5E)"}, {"$", R"(\x24)"}, {"-", R"(\x2D)"},
    };
    // Backslashes cannot reach here (the typed text refuses them); a pattern built in code may
    // still hold one, and it must stay a plain character.
    ReplaceAll(text, "\\", R"(\x5C)");
    for (const auto& [from, to] : kEscapes) {
        std::string out;
        out.reserve(text.size());
        for (size_t i = 0; i < text.size(); ++i) {
            // Leave the escapes made just before alone: they start with a backslash.
            if (text[i] == '\\' && i + 3 < text.size() && text[i + 1] == 'x') {
                out.append(text, i, 4);
                i += 3;
                continue;
            }
            if (text[i] == from[0]) {
                out += to;
            } else {
                out += text[i];
            }
        }
        text = std::move(out);
    }
    return text;
}

// '.', '*' and '?' outside the escapes made before.
std::string TranslateWildcards(const std::string& text, bool translateQuestion) {
    std::string out;
    out.reserve(text.size() * 4);
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 3 < text.size() && text[i + 1] == 'x') {
            out.append(text, i, 4);
            i += 3;
        } else if (text[i] == '.') {
            out += R"(\x2e)";
        } else if (text[i] == '*') {
            out += kAnyRun;
        } else if (text[i] == '?' && translateQuestion) {
            out += kAnyOne;
        } else {
            out += text[i];
        }
    }
    return out;
}

bool Compile(const std::string& expression, bool caseSensitive, boost::regex& out) {
    try {
        out.assign(expression, caseSensitive ? boost::regex::perl : boost::regex::perl | boost::regex::icase);
        return true;
    } catch (const boost::regex_error&) {
        return false;
    }
}

bool FullMatch(const boost::regex& re, const std::string& name) {
    try {
        return boost::regex_match(name, re);
    } catch (const std::runtime_error&) {
        return false;  // an expression too complex for this name
    }
}

bool HasNonAscii(const std::string& text) {
    for (char c : text) {
        if (static_cast<unsigned char>(c) >= 0x80) return true;
    }
    return false;
}

// The regex engine folds case byte by byte, which leaves every capital outside ASCII as it is:
// a case-blind comparison lower-cases both sides by Unicode rules first. Plain ASCII names, the
// common case, skip the conversion.
std::string FoldedForMatch(const std::string& text, bool caseSensitive) {
    return caseSensitive || !HasNonAscii(text) ? text : LowerUtf8(text);
}

}  // namespace

FileSearchSettings SettingsForText(const std::string& typed) {
    FileSearchSettings s;
    s.namePattern = "*" + LowerUtf8(typed) + "*";
    return s;
}

bool IsAcceptableSearchText(const std::string& text) {
    static const boost::regex kAcceptable(R"(^[^\x5c/:"<>|]+$)");
    return !text.empty() && text.size() < kSearchNameField - 2 && boost::regex_match(text, kAcceptable);
}

// ---- FileNamePatternEx

FileNamePatternEx::FileNamePatternEx(const std::string& text, bool caseSensitive, bool noAutoWildcard, u32 mode)
    : m_source(text), m_caseSensitive(caseSensitive) {
    std::string t = FoldedForMatch(text, caseSensitive);
    if (mode == kPatternAutoWildcard && t.find('*') == std::string::npos && !noAutoWildcard) {
        if (t.empty() || t[0] != '?') t.insert(t.begin(), '*');
        t += '*';
    }
    static const boost::regex kRuns(R"((\*+\?+)|(\?+\*+)|(\*+))");
    t = boost::regex_replace(t, kRuns, "*");
    if (!t.empty() && t.back() == '?' && (mode == kPatternAutoWildcard || (mode == kPatternTypedName && t.find('.') == std::string::npos))) {
        t.back() = '*';
    }
    m_expression = TranslateWildcards(EscapeSpecials(t), true);
    m_valid = Compile(m_expression, caseSensitive, m_regex);
}

bool FileNamePatternEx::Matches(const std::string& name) const {
    return m_valid && FullMatch(m_regex, FoldedForMatch(name, m_caseSensitive));
}

// ---- FileNamePattern

FileNamePattern::FileNamePattern(const std::string& text) {
    std::string t = text.empty() ? std::string("*") : FoldedForMatch(text, false);
    std::vector<std::string> tokens;
    size_t start = 0;
    for (;;) {
        const size_t semi = t.find(';', start);
        tokens.push_back(t.substr(start, semi == std::string::npos ? std::string::npos : semi - start));
        if (semi == std::string::npos) break;
        start = semi + 1;
    }
    // Empty tokens at the ends are dropped; those between two separators stay.
    if (tokens.size() > 1 && tokens.front().empty()) tokens.erase(tokens.begin());
    if (tokens.size() > 1 && tokens.back().empty()) tokens.pop_back();
    std::string joined;
    for (size_t i = 0; i < tokens.size(); ++i) {
        if (i) joined += '|';
        joined += "(*" + tokens[i] + "$)";
    }
    std::string out;
    for (char c : joined) {
        if (c == '.') {
            out += R"(\x2e)";
        } else if (c == '*') {
            out += kAnyRun;
        } else {
            out += c;
        }
    }
    m_expression = out;
    m_valid = Compile(m_expression, false, m_regex);
}

bool FileNamePattern::Matches(const std::string& name) const { return m_valid && FullMatch(m_regex, FoldedForMatch(name, false)); }

// ---- CFileAttributeFilter

bool CFileAttributeFilter::Match(const IFileProperties* properties) const {
    if (!properties || !(properties->GetValidFields() & kValidAttributes)) return false;
    if (m_mask == kAllAttributes) return true;
    return (properties->GetAttributes() & m_mask & kComparedAttributes) != 0;
}

// ---- CFileSearchCriteria

CFileSearchCriteria::CFileSearchCriteria(FileSearchSettings settings)
    : m_settings(std::move(settings)),
      m_name(m_settings.namePattern, m_settings.caseSensitive, false, kPatternTypedName),
      m_list(m_settings.listPattern),
      m_attributes(m_settings.includeAllAttributes ? kAllAttributes : kSearchExcludedAttribute),
      m_everything(m_settings.namePattern == kPassEverything[0] || m_settings.namePattern == kPassEverything[1]) {
    if (m_settings.rangeStart > m_settings.rangeEnd) std::swap(m_settings.rangeStart, m_settings.rangeEnd);
}

bool CFileSearchCriteria::Match(const IFileProperties* p) const {
    if (!p) return false;
    const u32 flags = m_settings.flags;
    if ((flags & kSearchExcludeAttributes) && !m_settings.includeAllAttributes && m_attributes.Match(p)) return false;
    const char* raw = p->GetName();
    const std::string name = raw ? raw : "";
    if (name.empty()) return false;
    if (!m_everything && !m_name.Matches(name)) return false;
    if ((flags & kSearchListPattern) && !m_list.Matches(name)) return false;
    if (flags & kSearchDateRange) {
        FILETIME64 t = 0;
        u32 needed = 0;
        switch (m_settings.dateKind) {
            case kSearchModified: p->GetModificationTime(t), needed = kValidModificationTime; break;
            case kSearchCreated: p->GetCreationTime(t), needed = kValidCreationTime; break;
            case kSearchAccessed: p->GetAccessTime(t), needed = kValidAccessTime; break;
            default: return false;
        }
        if (!(p->GetValidFields() & needed) || t < m_settings.rangeStart || t > m_settings.rangeEnd) return false;
    }
    if (flags & kSearchSizeRange) {
        if (!(p->GetValidFields() & kValidSize)) return false;
        if (m_settings.sizeKind == kSearchAtMost) return p->GetSize() <= m_settings.sizeLimit;
        if (m_settings.sizeKind == kSearchAtLeast) return p->GetSize() >= m_settings.sizeLimit;
        return false;
    }
    return true;
}

}  // namespace FileSelCtrl
