#include "core/Settings.h"

#include <cstring>
#include <filesystem>

#include "core/Shell.h"
#include "platform/ProgramDir.h"
#include "platform/Profile.h"
#include "platform/Registry.h"
#include "platform/Stats.h"

const char* const kLanguageRegistryKey = "SOFTWARE\\Morvenda\\Data recovery\\Language";
const char* const kLanguageRegistryValue = "Language";

namespace {
const char* const kSection = "register";
constexpr u32 kStatsRegistryLanguage = 8200;

struct LanguageEntry {
    int number;
    const char* registryText;
    const char* file;
};
const LanguageEntry kLanguages[] = {
    {0, "English", "English.dat"},   {1, "Japanese", "Japanese.dat"},
    {2, "Deutsch", "Deutsch.dat"},   {3, "French", "French.dat"},
    {4, "Spanish", "Spanish.dat"},   {5, "BrazilianPortuguese", "Portuguesa(Br).dat"},
};

void FirstRunStep() {
    if (ConfigReadInt("ReadReg", 0) != 0) return;
    ConfigWriteString("ReadReg", "1");
    std::string text;
    // The installer writes a short string; anything else there (another type, a text longer
    // than the value's buffer) is not a language choice.
    if (!RegistryReadBoundedString(kLanguageRegistryKey, kLanguageRegistryValue, kMaxPath, text)) return;
    StatsNoteText(kStatsRegistryLanguage, text.c_str());
    // The installer's order of comparison; case-sensitive.
    static const int order[] = {2, 1, 0, 3, 4, 5};
    for (int n : order) {
        if (text == kLanguages[n].registryText) {
            ConfigWriteInt("Language", n);
            ConfigWriteString("LanguageName", kLanguages[n].file);
            return;
        }
    }
}

bool Exists(const std::string& path) {
    std::error_code ec;
    return std::filesystem::is_regular_file(path, ec);
}

// Until the user changes a setting, the shipped defaults are all there is.
std::string ConfigReadPath() {
    const std::string user = ConfigFilePath();
    return Exists(user) ? user : ShippedConfigFilePath();
}

// The first change starts the user's file from the shipped defaults, so that the keys the user
// never touched keep the values the program ships with.
void SeedUserConfig(const std::string& user) {
    if (Exists(user)) return;
    const std::string shipped = ShippedConfigFilePath();
    if (!Exists(shipped)) return;
    std::error_code ec;
    std::filesystem::copy_file(shipped, user, ec);
}
}  // namespace

std::string ConfigFilePath() { return GetUserConfigDir() + "Config.dat"; }

std::string ShippedConfigFilePath() { return FormatPathString("%sConfig.dat", GetModuleDir().c_str()); }

int ConfigReadInt(const char* key, int defaultValue) {
    return GetPrivateProfileInt(kSection, key, defaultValue, ConfigReadPath().c_str());
}

std::string ConfigReadString(const char* key, const char* defaultValue) {
    return GetProfileString(kSection, key, defaultValue ? defaultValue : "", ConfigReadPath());
}

bool ConfigWriteInt(const char* key, int value) { return ConfigWriteString(key, std::to_string(value).c_str()); }

bool ConfigWriteString(const char* key, const char* value) {
    const std::string user = ConfigFilePath();
    SeedUserConfig(user);
    return WritePrivateProfileString(kSection, key, value, user.c_str());
}

int ConfigLanguage() { return ConfigReadInt("Language", 0); }
int ConfigScanRaw() { return ConfigReadInt("ScanRaw", 1); }
int ConfigRevise() { return ConfigReadInt("bRevise", 1); }
int ConfigShowTip() { return ConfigReadInt("ShowTip", 1); }
int ConfigShowWarm() { return ConfigReadInt("ShowWarm", 1); }
int ConfigCanSwitchLanguage() { return ConfigReadInt("CanSwitchLanguage", 1); }

std::string ConfigLanguageFileName() {
    FirstRunStep();
    return ConfigReadString("LanguageName", "English.dat");
}

int ConfigStoreLanguage(int number, const char* fileName) {
    if (number > 5 || number < 0 || !fileName) return -1;
    ConfigWriteString("LanguageName", fileName);
    ConfigWriteInt("Language", number);
    return 0;
}

const char* LanguageFileForNumber(int number) {
    if (number < 0 || number > 5) return nullptr;
    return kLanguages[number].file;
}
