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
