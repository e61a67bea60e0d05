#pragma once
// Where the browser's resources lie (the resource folder beside the program and the language
// folder under it), and the per-extension and per-folder icon records the lists and trees show.
#include <array>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/Types.h"

class QLocale;

namespace FileSelCtrl {

// Browser language ids: English, Japanese, German, French, Spanish, Brazilian Portuguese.
constexpr int kLanguageCount = 6;

class CFileSelCtrlConfig {
public:
    // The program's: resource folder "Res" in the program folder, language read from
    // "Languange.ini" (the user's copy in the configuration folder first, then the shipped one).
    static CFileSelCtrlConfig& Instance();

    // An empty resource folder stands for "Res" in the program folder as it is at each use.
    CFileSelCtrlConfig(std::string resourceFolder, std::string userSettingsPath);
    virtual ~CFileSelCtrlConfig() = default;

    // False when the id is the current one; otherwise keeps it, writes it to the user's settings
    // file and, for a known id, switches the language folder.
    bool SetLanguage(int id);
    int GetLanguage() const { return m_languageId; }
    // Resource folder + language folder + "/FileSelCtrl.xml".
    std::string GetXmlPath() const;
    // Resource folder + language folder: where skin images are looked for first.
    std::string GetResourcePath() const;
    std::string GetResourceFolder() const;
    // The one place FileType.xml is read from.
    std::string GetFileTypePath() const { return GetResourceFolder() + "/FileType.xml"; }

    // The language folder of an id ("/Eng" ...), empty outside 0..5.
    static const char* LanguageFolder(int id);

private:
    std::string m_resourceFolder;
    std::string m_userSettingsPath;
    std::string m_languageFolder;
    int m_languageId = 0;
};

// Icon indexes every record can carry; other indexes name entries of the icon-name table.
constexpr i32 kIconGenericFile = 0;
constexpr i32 kIconFolder = 1;
constexpr i32 kIconDrive = 2;

// The interface language (0..5) type names and dates are given in; any thread may ask.
int InterfaceLanguage();
// The locale name of a language id ("de_DE"); English for an id out of range.
const char* LanguageLocaleName(int language);
// The locale of the interface language, kept apart from the process's default locale, which
// number and text handling elsewhere goes by.
const QLocale& InterfaceLocale();

// Written once when the record is made, then only read (also by the loader thread's sort).
struct IconRecord {
    i32 iconIndex = kIconGenericFile;
    // The type name in each interface language.
    std::array<std::string, kLanguageCount> typeNames;
    const std::string& TypeName() const { return typeNames[static_cast<size_t>(InterfaceLanguage())]; }
};

class CFileSelIconManager {
public:
    static CFileSelIconManager& Instance();
    CFileSelIconManager() = default;
    virtual ~CFileSelIconManager() = default;

    // The record of the name's extension (the part after the last dot of the last path part,
    // lower-cased; empty without a dot). Never null: unknown types get a generic record.
    const IconRecord* GetFileIcon(const std::string& fileName);
    // The record of a folder path (lower-cased, with a trailing separator).
    const IconRecord* GetFolderIcon(const std::string& folderPath);
    // The record of a partition or drive.
    const IconRecord* GetDriveIcon();
    // The icon-theme name of an index, empty for the fixed ones.
    std::string IconName(i32 index);
    void Clear();
    // Makes the language (0..5) the one type names and dates are given in; ids outside are
    // ignored.
    void ApplyLanguage(int id);

    // The lower-cased extension of a name as used for keys.
    static std::string ExtensionKey(const std::string& fileName);

private:
    const IconRecord* Lookup(const std::string& key, bool folder);
    // The type names of a key; caller holds the lock.
    void NameRecord(const std::string& mapKey, IconRecord& record);

    std::mutex m_lock;
    std::map<std::string, std::unique_ptr<IconRecord>> m_records;
    std::map<std::string, i32> m_iconIndexes;  // icon-theme name -> index
    std::map<i32, std::string> m_iconNames;
    std::unique_ptr<IconRecord> m_drive;
};

// The picture extensions of FileType.xml's "Graphics" list, lower-cased; read from the one
// FileType.xml path of the configuration. Empty when the file or the list is missing.
std::vector<std::string> LoadImageExtensions(const std::string& fileTypePath);
// Whether the name's extension (after the last dot, cut at a tab, lower-cased) is one of the
// picture extensions (loaded once from the configuration's FileType.xml).
bool IsImageName(const std::string& name);
bool IsImageName(const std::string& name, const std::vector<std::string>& extensions);

// Lower-cases UTF-8 text (every script, not only ASCII).
std::string LowerUtf8(const std::string& text);

}  // namespace FileSelCtrl
