#pragma once
// What the browser's search tests every found file against: a name typed with wildcards, and
// optional filters by a list of name endings, a date range, a size limit and attributes.
// Wildcards become regular expressions whose special characters are escaped, so that a name
// like "a+b" finds itself and nothing else. Names are UTF-8 throughout.
#include <boost/regex.hpp>
#include <string>

#include "platform/Types.h"

class IFileProperties;

namespace FileSelCtrl {

enum SearchFlag : u32 {
    kSearchListPattern = 0x1,
    kSearchDateRange = 0x2,
    kSearchSizeRange = 0x4,
    kSearchExcludeAttributes = 0x8,
};
enum SearchDateKind : u32 { kSearchModified = 1, kSearchCreated = 2, kSearchAccessed = 4 };
enum SearchSizeKind : u32 { kSearchAtMost = 1, kSearchAtLeast = 2 };
enum PatternMode : u32 { kPatternAutoWildcard = 1, kPatternTypedName = 2 };

constexpr size_t kSearchNameField = 260;
constexpr size_t kSearchListField = 600;
// The attribute the exclusion filter tests (and the mask that passes everything).
constexpr u32 kSearchExcludedAttribute = 0x40;
constexpr u32 kAllAttributes = 0xFFFFFFFF;

struct FileSearchSettings {
    std::string namePattern;
    u32 flags = 0;
    std::string listPattern;
    u32 dateKind = 0;
    FILETIME64 rangeStart = 0;
    FILETIME64 rangeEnd = 0;
    u32 sizeKind = 0;
    u64 sizeLimit = 0;
    bool caseSensitive = false;
    bool includeAllAttributes = true;
};

// The settings of a search for typed text: "*text*" in lower case, any case, every attribute.
FileSearchSettings SettingsForText(const std::string& typed);

class FileNamePatternEx {
public:
    FileNamePatternEx(const std::string& text, bool caseSensitive, bool noAutoWildcard, u32 mode);
    bool Matches(const std::string& name) const;
    // The expression built from the text (for tests and messages).
    const std::string& Expression() const { return m_expression; }
    bool IsValid() const { return m_valid; }

private:
    std::string m_source;
    std::string m_expression;
    boost::regex m_regex;
    bool m_caseSensitive = false;
    bool m_valid = false;
};

class FileNamePattern {
public:
    explicit FileNamePattern(const std::string& text);
    bool Matches(const std::string& name) const;
    const std::string& Expression() const { return m_expression; }
    bool IsValid() const { return m_valid; }

private:
    std::string m_expression;
    boost::regex m_regex;
    bool m_valid = false;
};

class IFileFilter {
public:
    virtual ~IFileFilter() = default;
    virtual bool Match(const IFileProperties* properties) const = 0;
};

class CFileAttributeFilter : public IFileFilter {
public:
    explicit CFileAttributeFilter(u32 mask) : m_mask(mask) {}
    bool Match(const IFileProperties* properties) const override;

private:
    u32 m_mask;
};

class CFileSearchCriteria {
public:
    explicit CFileSearchCriteria(FileSearchSettings settings);
    // Whether the file passes every active test.
    bool Match(const IFileProperties* properties) const;
    // False when an expression could not be built (the search then finds nothing).
    bool IsValid() const { return m_name.IsValid() && (!(m_settings.flags & kSearchListPattern) || m_list.IsValid()); }

private:
    FileSearchSettings m_settings;
    FileNamePatternEx m_name;
    FileNamePattern m_list;
    CFileAttributeFilter m_attributes;
    bool m_everything;
};

// The characters a typed search text may not hold.
bool IsAcceptableSearchText(const std::string& text);

}  // namespace FileSelCtrl
