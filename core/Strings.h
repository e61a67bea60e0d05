#pragma once
// Localized texts by key from section "string" of the current language file. The lookup is
// thread-safe: the window code and the scan thread both ask for texts.
#include <string>

// Sets the current language file to the program directory followed by fileName (at most 259
// characters); returns the length of the stored path, or -1 for a null name.
int SetLanguageFile(const char* fileName);
std::string GetLanguageFilePath();
// The text for the key with "\n" pairs turned into line breaks; empty for a null or missing key.
std::string GetLocalizedString(const char* key);

// The conversions of a printf format, one letter group each, in argument order: "i" an int
// (d, i, u, o, x, X, c and a '*' width or precision), "li"/"lli"/"zi" the longer integers, "f"
// a double, "Lf" a long double, "s" a string, "p" a pointer; "%%" takes nothing. A format that
// cannot be used safely (%n, an unknown conversion, a '%' at the end) gives false.
bool FormatConversions(const std::string& format, std::string* out);

// A localized text used as a printf format, formatted only with arguments it matches: `expected`
// is a format with the conversions the caller passes (the compiler checks the arguments against
// it). A translation whose conversions differ (a stray '%', one too many or too few, another
// type) is not used as a format: the English text of the key takes its place when that matches,
// else the text is returned as it stands, unformatted.
std::string FormatLocalized(const char* key, const char* expected, ...) __attribute__((format(printf, 2, 3)));
