#include "app/ui/UiLanguage.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QPointer>
#include <QTranslator>
#include <memory>

#include "browser/model/BrowserConfig.h"
#include "core/Settings.h"
#include "platform/Log.h"
#include "platform/Text.h"

namespace {
constexpr u32 kEnglish = 0;
// The toolkit's texts ship as "qtbase_<language>.qm".
constexpr const char* kToolkitCatalog = "qtbase";
// Owned by the application object, so it goes with it; replaced at each switch.
QPointer<QTranslator> g_toolkitTranslator;
}  // namespace

u32 GetUiLanguage() { return static_cast<u32>(ConfigLanguage()); }

int SetUiLanguage(u32 number, const char* fileName) {
    if (number > 5) return -1;
    return ConfigStoreLanguage(static_cast<int>(number), fileName);
}

int GetLanguageFileName(char* out) {
    const std::string name = ConfigLanguageFileName();
    if (!out) return static_cast<int>(name.size());
    return static_cast<int>(CopyUtf8Bounded(out, kMaxPath, name));
}

std::string ToolkitTranslationFolder() { return QLibraryInfo::path(QLibraryInfo::TranslationsPath).toStdString(); }

std::string ToolkitTranslationFile() {
    return g_toolkitTranslator ? g_toolkitTranslator->filePath().toStdString() : std::string();
}

bool ApplyToolkitLanguage(u32 number) {
    QCoreApplication* app = QCoreApplication::instance();
    if (!app) return false;
    if (g_toolkitTranslator) {
        QCoreApplication::removeTranslator(g_toolkitTranslator);
        delete g_toolkitTranslator;
    }
    if (number == kEnglish || number >= static_cast<u32>(FileSelCtrl::kLanguageCount)) return true;
    const QLocale locale(QString::fromLatin1(FileSelCtrl::LanguageLocaleName(static_cast<int>(number))));
    auto translator = std::make_unique<QTranslator>();
    const QString folder = QString::fromStdString(ToolkitTranslationFolder());
    if (!translator->load(locale, QString::fromLatin1(kToolkitCatalog), QStringLiteral("_"), folder)) {
        LogError("The toolkit's translation %s_%s.qm is not in %s: its dialogs stay in English\r\n", kToolkitCatalog,
                 locale.name().toUtf8().constData(), folder.toUtf8().constData());
        return false;
    }
    translator->setParent(app);
    g_toolkitTranslator = translator.release();
    QCoreApplication::installTranslator(g_toolkitTranslator);
    return true;
}
