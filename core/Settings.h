#pragma once
// The user settings in "Config.dat", section "register". The program ships its defaults in the
// Config.dat beside it; what the user changes goes to the Config.dat of the user's configuration
// folder, which starts as a copy of the shipped one and is read instead of it from then on.
#include <string>

// The user's Config.dat, read when it exists and written by every change.
std::string ConfigFilePath();
// The Config.dat that ships beside the program; never written.
std::string ShippedConfigFilePath();
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
