#include "app/ui/UiResources.h"

#include <tinyxml.h>

#include <QFile>
#include <cstdio>
#include <cstdlib>
#include <strings.h>

#include "app/ui/UiLanguage.h"
#include "core/Shell.h"
#include "core/Strings.h"
#include "platform/ui/ButtonResources.h"

// Qt keeps resources of a static library out of the link unless something refers to them
// (and the reference must sit outside any namespace).
static void InitImageResources() {
    static bool done = false;
    if (done) return;
    done = true;
    Q_INIT_RESOURCE(UiImages);
}

namespace {
const char* g_fontFace = "Arial";

u64 FontKey(int height, int weight, bool underline) {
    u64 high = static_cast<u32>(height);
    if (underline) high |= 0x80000000u;
    u64 key = (high << 32) | static_cast<u32>(weight);
    if (weight < 0) key |= 0xFFFFFFFF00000000ull;
    return key;
}

struct SkinDocument {
    std::unique_ptr<TiXmlDocument> doc;
    const TiXmlElement* root = nullptr;
};
SkinDocument g_skin;
}  // namespace

UiResources::UiResources() {
    InitImageResources();
    // The owner-drawn buttons below the program (the browser's too) draw from these.
    ui::ButtonResources buttons;
    buttons.bitmap = [](int id) { return UiResources::Instance().LoadImageFromResource(kResTypeBitmap, id); };
    buttons.font = [](int height, int weight) { return *UiResources::Instance().GetFont(height, weight, false); };
    ui::SetButtonResources(buttons);
}

UiResources& UiResources::Instance() {
    static UiResources* instance = new UiResources;  // lives until the process ends
    return *instance;
}

const char* UiResources::FontFace() { return g_fontFace; }

void UiResources::SetFontFace(int languageNumber) { g_fontFace = ui::InterfaceFontFace(languageNumber); }

int UiResources::SetLanguage(int languageNumber, const char* fileName) {
    if (!fileName) return -1;
    SetFontFace(languageNumber);
    ApplyToolkitLanguage(static_cast<u32>(languageNumber));
    for (auto& [key, entry] : fonts_) {
        retiredFonts_.push_back(std::move(entry.font));
        entry.font = std::make_unique<QFont>(ui::MakeFont(g_fontFace, entry.height, entry.weight, entry.underline));
    }
    return SetLanguageFile(fileName);
}

std::string UiResources::GetString(const char* key) const {
    if (!key) return std::string();
    const std::string path = GetLanguageFilePath();
    std::lock_guard<std::mutex> lk(stringsLock_);
    if (path != stringsPath_) {
        strings_.clear();
        stringsPath_ = path;
    }
    auto it = strings_.find(key);
    if (it == strings_.end()) it = strings_.emplace(key, GetLocalizedString(key)).first;
    return it->second;
}

FontHandle UiResources::GetFont(int height, int weight, bool underline) {
    const u64 key = FontKey(height, weight, underline);
    auto it = fonts_.find(key);
    if (it != fonts_.end()) return it->second.font.get();
    FontEntry e{height, weight, underline, std::make_unique<QFont>(ui::MakeFont(g_fontFace, height, weight, underline))};
    FontHandle h = e.font.get();
    fonts_.emplace(key, std::move(e));
    return h;
}

PictureHandle UiResources::LoadImageFromResource(int type, int id) {
    char key[32];
    std::snprintf(key, sizeof(key), "%d:%d", type, id);
    auto it = images_.find(key);
    if (it != images_.end()) return it->second.get();
    if (id <= 0 || id > 0xFFFF) return nullptr;
    // Bitmaps and JPEG resources share one numbering in our resource file.
    const QString base = QStringLiteral(":/images/%1").arg(id);
    auto image = std::make_unique<QImage>();
    for (const char* ext : {".png", ".jpg", ".bmp"}) {
        const QString path = base + QLatin1String(ext);
        if (QFile::exists(path) && image->load(path)) break;
    }
    if (image->isNull()) return nullptr;  // not cached: the next call tries again
    PictureHandle h = image.get();
    images_.emplace(key, std::move(image));
    return h;
}

int UiResources::DrawImage(ui::Dc* dc, PictureHandle picture, int left, int top, int right, int bottom,
                           COLORREF transparent) {
    if (!dc || !dc->Painter() || !picture) return -2;
    if (picture->isNull()) return -3;
    dc->DrawImage(*picture, ui::MakeRect(left, top, right, bottom), transparent);
    return 1;
}

const TiXmlElement* FindWindowResource(const char* elementName) {
    if (!elementName) return nullptr;
    if (!g_skin.root) {
        auto doc = std::make_unique<TiXmlDocument>();
        const std::string path = FormatPathString("%sResource.xml", GetModuleDir().c_str());
        if (!doc->LoadFile(path.c_str(), TIXML_ENCODING_UTF8) || doc->Error()) return nullptr;
        const TiXmlElement* root = doc->RootElement();
        if (!root || strcasecmp(root->Value(), "Resource") != 0) return nullptr;
        g_skin.root = root;
        g_skin.doc = std::move(doc);
    }
    return g_skin.root->FirstChildElement(elementName);
}

int SkinInt(const TiXmlElement* element, const char* name) {
    if (!element || !name) return 0;
    const char* v = element->Attribute(name);
    return v ? std::atoi(v) : 0;
}

std::string SkinString(const TiXmlElement* element, const char* name) {
    if (!element || !name) return std::string();
    const char* v = element->Attribute(name);
    return v ? std::string(v) : std::string();
}
