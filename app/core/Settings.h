#pragma once
// The user settings in "Config.dat" beside the program, section "register".
#include <string>

std::string ConfigFilePath();
int ConfigReadInt(const char* key, int defaultValue);
std::string ConfigReadString(const char* key, const char* defaultValue);
bool ConfigWriteInt(const char* key, int value);
bool ConfigWriteString(const char* key, const char* value);

// Named readers with the program's defaults.
int ConfigLanguage();             // "Language", 0
int ConfigScanRaw();              // "ScanRaw", 1
int ConfigRevise();               // "bRevise", 1
int ConfigShowTip();              // "ShowTip", 1
int ConfigShowWarm();             // "ShowWarm", 1
int ConfigCanSwitchLanguage();    // "CanSwitchLanguage", 1

// The language file name, after the first-run step that may take the language from the registry.
std::string ConfigLanguageFileName();
// Writes "LanguageName" and "Language"; -1 (nothing written) for a number above 5, else 0.
int ConfigStoreLanguage(int number, const char* fileName);
// The language file of a language number 0..5, or null.
const char* LanguageFileForNumber(int number);

// Registry key and value of the installer's language choice.
extern const char* const kLanguageRegistryKey;
extern const char* const kLanguageRegistryValue;
