#include "browser/model/BrowserConfig.h"

#include <QLocale>
#include <QMimeDatabase>
#include <QStandardPaths>
#include <QString>
#include <tinyxml.h>

#include <algorithm>
#include <atomic>
#include <cstdio>

#include "platform/ProgramDir.h"
#include "platform/Profile.h"

namespace FileSelCtrl {

namespace {
const char* const kLanguageFolders[kLanguageCount] = {"/Eng", "/Jpn", "/Ger", "/Fra", "/Spa", "/Por(Br)"};
constexpr const char* kSettingsFile = "Languange.ini";
constexpr const char* kResourceFolderName = "Res";
constexpr const char* kSection = "Language";
constexpr const char* kKey = "Id";
constexpr i32 kFirstThemeIcon = 16;
// The locale of each language id, in the order of the language folders.
const char* const kLanguageLocales[kLanguageCount] = {"en_US", "ja_JP", "de_DE", "fr_FR", "es_ES", "pt_BR"};
constexpr const char* kFolderKeyPrefix = "d:";
constexpr const char* kFileKeyPrefix = "f:";
constexpr const char* kFolderType = "inode/directory";
constexpr const char* kDriveType = "inode/mount-point";

std::atomic<int> g_interfaceLanguage{0};

std::string Trimmed(const char* text) { return text ? QString::fromUtf8(text).trimmed().toStdString() : std::string(); }

// A type's comment in each interface language. The database itself answers only in the
// process's default locale, so the comments are read from the type's own file of the shared
// database; without that file every language gets the database's answer.
std::array<std::string, kLanguageCount> TypeComments(const QMimeType& type) {
    std::array<std::string, kLanguageCount> out;
    out.fill(type.comment().toStdString());
    const QString file = QStandardPaths::locate(QStandardPaths::GenericDataLocation, QStringLiteral("mime/%1.xml").arg(type.name()));
    TiXmlDocument doc;
    if (file.isEmpty() || !doc.LoadFile(file.toStdString().c_str(), TIXML_ENCODING_UTF8) || !doc.RootElement()) return out;
    std::string plain;
    std::map<std::string, std::string> byLanguage;
    for (const TiXmlElement* c = doc.RootElement()->FirstChildElement("comment"); c; c = c->NextSiblingElement("comment")) {
        const char* language = c->Attribute("xml:lang");
        if (!language) plain = Trimmed(c->GetText());
        else byLanguage.emplace(language, Trimmed(c->GetText()));
    }
    for (int id = 0; id < kLanguageCount; ++id) {
        std::string& name = out[static_cast<size_t>(id)];
        if (!plain.empty()) name = plain;
        // "pt_BR", then "pt", then the untranslated comment.
        const std::string locale = kLanguageLocales[id];
        for (const std::string& tag : {locale, locale.substr(0, locale.find('_'))}) {
            auto it = byLanguage.find(tag);
            if (it != byLanguage.end() && !it->second.empty()) {
                name = it->second;
                break;
            }
        }
    }
    return out;
}
}  // namespace

int InterfaceLanguage() { return g_interfaceLanguage.load(std::memory_order_relaxed); }

const char* LanguageLocaleName(int language) {
    return kLanguageLocales[language >= 0 && language < kLanguageCount ? language : 0];
}

const QLocale& InterfaceLocale() {
    static const std::array<QLocale, kLanguageCount> locales = [] {
        std::array<QLocale, kLanguageCount> out;
        for (int id = 0; id < kLanguageCount; ++id) out[static_cast<size_t>(id)] = QLocale(QString::fromLatin1(kLanguageLocales[id]));
        return out;
    }();
    return locales[static_cast<size_t>(InterfaceLanguage())];
}

std::string LowerUtf8(const std::string& text) {
    // Most names are ASCII: lower them without a round trip through UTF-16.
    if (std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; })) {
        std::string out(text);
        for (char& c : out) {
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        }
        return out;
    }
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())).toLower().toStdString();
}

const char* CFileSelCtrlConfig::LanguageFolder(int id) {
    return id >= 0 && id < kLanguageCount ? kLanguageFolders[id] : "";
}

CFileSelCtrlConfig& CFileSelCtrlConfig::Instance() {
    // The program folder is asked whenever a path is made: a window test runs the program from
    // a folder of its own, and a later test of the same process from another one.
    static CFileSelCtrlConfig config(std::string(), GetUserConfigDir() + kSettingsFile);
    return config;
}

std::string CFileSelCtrlConfig::GetResourceFolder() const {
    return m_resourceFolder.empty() ? GetProgramDir() + kResourceFolderName : m_resourceFolder;
}

CFileSelCtrlConfig::CFileSelCtrlConfig(std::string resourceFolder, std::string userSettingsPath)
    : m_resourceFolder(std::move(resourceFolder)), m_userSettingsPath(std::move(userSettingsPath)) {
    // A user's choice wins over the shipped default; the shipped file stays read-only.
    const std::string shipped = GetResourceFolder() + "/" + kSettingsFile;
    int id = GetPrivateProfileInt(kSection, kKey, m_languageId, shipped.c_str());
    if (!m_userSettingsPath.empty()) id = GetPrivateProfileInt(kSection, kKey, id, m_userSettingsPath.c_str());
    m_languageId = id;
    m_languageFolder = LanguageFolder(id);
}

bool CFileSelCtrlConfig::SetLanguage(int id) {
    if (id == m_languageId) return false;
    m_languageId = id;
    if (!m_userSettingsPath.empty()) {
        char text[16];
        std::snprintf(text, sizeof(text), "%d", id);
        WritePrivateProfileString(kSection, kKey, text, m_userSettingsPath.c_str());  // a failure keeps the choice for this run
    }
    if (id >= 0 && id < kLanguageCount) m_languageFolder = kLanguageFolders[id];
    return true;
}

std::string CFileSelCtrlConfig::GetXmlPath() const { return GetResourcePath() + "/FileSelCtrl.xml"; }

std::string CFileSelCtrlConfig::GetResourcePath() const { return GetResourceFolder() + m_languageFolder; }

CFileSelIconManager& CFileSelIconManager::Instance() {
    static CFileSelIconManager manager;
    return manager;
}

std::string CFileSelIconManager::ExtensionKey(const std::string& fileName) {
    const size_t slash = fileName.find_last_of("/\\");
    const std::string base = slash == std::string::npos ? fileName : fileName.substr(slash + 1);
    const size_t dot = base.rfind('.');
    if (dot == std::string::npos) return {};
    return LowerUtf8(base.substr(dot + 1));
}

const IconRecord* CFileSelIconManager::GetFileIcon(const std::string& fileName) {
    return Lookup(ExtensionKey(fileName), false);
}

const IconRecord* CFileSelIconManager::GetFolderIcon(const std::string& folderPath) {
    std::string key = LowerUtf8(folderPath);
    if (key.empty() || key.back() != '/') key += '/';
    return Lookup(key, true);
}

const IconRecord* CFileSelIconManager::GetDriveIcon() {
    std::lock_guard<std::mutex> guard(m_lock);
    if (!m_drive) {
        m_drive = std::make_unique<IconRecord>();
        m_drive->iconIndex = kIconDrive;
        m_drive->typeNames = TypeComments(QMimeDatabase().mimeTypeForName(QString::fromLatin1(kDriveType)));
    }
    return m_drive.get();
}

const IconRecord* CFileSelIconManager::Lookup(const std::string& key, bool folder) {
    std::lock_guard<std::mutex> guard(m_lock);
    const std::string mapKey = (folder ? kFolderKeyPrefix : kFileKeyPrefix) + key;
    auto it = m_records.find(mapKey);
    if (it != m_records.end()) return it->second.get();
    auto record = std::make_unique<IconRecord>();
    NameRecord(mapKey, *record);
    const IconRecord* result = record.get();
    m_records.emplace(mapKey, std::move(record));
    return result;
}

void CFileSelIconManager::NameRecord(const std::string& mapKey, IconRecord& record) {
    QMimeDatabase db;
    if (mapKey.rfind(kFolderKeyPrefix, 0) == 0) {
        record.iconIndex = kIconFolder;
        record.typeNames = TypeComments(db.mimeTypeForName(QString::fromLatin1(kFolderType)));
        return;
    }
    const std::string key = mapKey.substr(std::char_traits<char>::length(kFileKeyPrefix));
    // Asked by name only: no file is touched.
    const QString probe = key.empty() ? QStringLiteral("1") : QStringLiteral("1.") + QString::fromStdString(key);
    const QMimeType type = db.mimeTypeForFile(probe, QMimeDatabase::MatchExtension);
    if (type.isValid() && !type.isDefault()) {
        record.typeNames = TypeComments(type);
        const std::string icon = type.iconName().toStdString();
        auto known = m_iconIndexes.find(icon);
        if (known == m_iconIndexes.end()) {
            const i32 index = kFirstThemeIcon + static_cast<i32>(m_iconIndexes.size());
            known = m_iconIndexes.emplace(icon, index).first;
            m_iconNames[index] = icon;
        }
        record.iconIndex = known->second;
    } else {
        record.typeNames.fill(key.empty() ? std::string("File") : QString::fromStdString(key).toUpper().toStdString() + " File");
    }
}

void CFileSelIconManager::ApplyLanguage(int id) {
    // Records are never renamed: the loader thread may be sorting rows by their names.
    if (id >= 0 && id < kLanguageCount) g_interfaceLanguage.store(id, std::memory_order_relaxed);
}

std::string CFileSelIconManager::IconName(i32 index) {
    std::lock_guard<std::mutex> guard(m_lock);
    auto it = m_iconNames.find(index);
    return it == m_iconNames.end() ? std::string() : it->second;
}

void CFileSelIconManager::Clear() {
    std::lock_guard<std::mutex> guard(m_lock);
    m_records.clear();
    m_drive.reset();
}

std::vector<std::string> LoadImageExtensions(const std::string& fileTypePath) {
    std::vector<std::string> out;
    TiXmlDocument doc;
    if (!doc.LoadFile(fileTypePath.c_str(), TIXML_ENCODING_UTF8)) return out;
    const TiXmlElement* root = doc.FirstChildElement();
    const TiXmlElement* graphics = root ? root->FirstChildElement("Graphics") : nullptr;
    for (const TiXmlElement* e = graphics ? graphics->FirstChildElement() : nullptr; e; e = e->NextSiblingElement()) {
        if (e->GetText()) out.push_back(LowerUtf8(e->GetText()));
    }
    return out;
}

bool IsImageName(const std::string& name, const std::vector<std::string>& extensions) {
    const size_t dot = name.rfind('.');
    if (dot == std::string::npos) return false;
    std::string ext = name.substr(dot + 1);
    const size_t tab = ext.find('\t');
    if (tab != std::string::npos) ext.resize(tab);
    ext = LowerUtf8(ext);
    return std::find(extensions.begin(), extensions.end(), ext) != extensions.end();
}

bool IsImageName(const std::string& name) {
    static const std::vector<std::string> extensions = LoadImageExtensions(CFileSelCtrlConfig::Instance().GetFileTypePath());
    return IsImageName(name, extensions);
}

}  // namespace FileSelCtrl
