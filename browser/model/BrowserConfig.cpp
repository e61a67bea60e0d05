#include "browser/model/BrowserConfig.h"

#include <QLocale>
#include <QMimeDatabase>
#include <QString>
#include <tinyxml.h>

#include <algorithm>
#include <cstdio>

#include "platform/ProgramDir.h"
#include "platform/Profile.h"

namespace FileSelCtrl {

namespace {
const char* const kLanguageFolders[kLanguageCount] = {"/Eng", "/Jpn", "/Ger", "/Fra", "/Spa", "/Por(Br)"};
constexpr const char* kSettingsFile = "Languange.ini";
constexpr const char* kSection = "Language";
constexpr const char* kKey = "Id";
constexpr i32 kFirstThemeIcon = 16;
// The locale of each language id, in the order of the language folders.
const char* const kLanguageLocales[kLanguageCount] = {"en_US", "ja_JP", "de_DE", "fr_FR", "es_ES", "pt_BR"};
constexpr const char* kFolderKeyPrefix = "d:";
constexpr const char* kFileKeyPrefix = "f:";
}  // namespace

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
    static CFileSelCtrlConfig config(GetProgramDir() + "Res", GetUserConfigDir() + kSettingsFile);
    return config;
}

CFileSelCtrlConfig::CFileSelCtrlConfig(std::string resourceFolder, std::string userSettingsPath)
    : m_resourceFolder(std::move(resourceFolder)), m_userSettingsPath(std::move(userSettingsPath)) {
    // A user's choice wins over the shipped default; the shipped file stays read-only.
    const std::string shipped = m_resourceFolder + "/" + kSettingsFile;
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

std::string CFileSelCtrlConfig::GetResourcePath() const { return m_resourceFolder + m_languageFolder; }

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
        m_drive->typeName = QMimeDatabase().mimeTypeForName("inode/mount-point").comment().toStdString();
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
        record.typeName = db.mimeTypeForName("inode/directory").comment().toStdString();
        return;
    }
    const std::string key = mapKey.substr(std::char_traits<char>::length(kFileKeyPrefix));
    // Asked by name only: no file is touched.
    const QString probe = key.empty() ? QStringLiteral("1") : QStringLiteral("1.") + QString::fromStdString(key);
    const QMimeType type = db.mimeTypeForFile(probe, QMimeDatabase::MatchExtension);
    if (type.isValid() && !type.isDefault()) {
        record.typeName = type.comment().toStdString();
        const std::string icon = type.iconName().toStdString();
        auto known = m_iconIndexes.find(icon);
        if (known == m_iconIndexes.end()) {
            const i32 index = kFirstThemeIcon + static_cast<i32>(m_iconIndexes.size());
            known = m_iconIndexes.emplace(icon, index).first;
            m_iconNames[index] = icon;
        }
        record.iconIndex = known->second;
    } else {
        record.typeName = key.empty() ? std::string("File") : QString::fromStdString(key).toUpper().toStdString() + " File";
    }
}

void CFileSelIconManager::ApplyLanguage(int id) {
    if (id < 0 || id >= kLanguageCount) return;
    std::lock_guard<std::mutex> guard(m_lock);
    // Under the lock, so no lookup reads a type name while the locale changes.
    QLocale::setDefault(QLocale(QString::fromLatin1(kLanguageLocales[id])));
    for (auto& [mapKey, record] : m_records) NameRecord(mapKey, *record);
    if (m_drive) m_drive->typeName = QMimeDatabase().mimeTypeForName("inode/mount-point").comment().toStdString();
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
