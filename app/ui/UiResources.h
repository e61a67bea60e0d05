#pragma once
// The process-wide source of the interface's localized texts, fonts and images, and the reader
// of the skin file Resource.xml.
#include <QFont>
#include <QImage>
#include <map>
#include <mutex>
#include <memory>
#include <string>
#include <vector>

#include "platform/ui/Dc.h"

class TiXmlElement;

// Resource types of the program's images: bitmaps (RT_BITMAP) and the "JPEG" type.
constexpr int kResTypeBitmap = 2;
constexpr int kResTypeJpeg = 0x4A504547;  // 'JPEG'

using FontHandle = const QFont*;
using PictureHandle = const QImage*;

class UiResources {
public:
    static UiResources& Instance();

    // Sets the font face for the language, re-creates every cached font with it and points the
    // texts at the language file (program directory + name). -1 for a null name, else the length
    // of the language file path.
    int SetLanguage(int languageNumber, const char* fileName);
    // The text of the key in section "string" of the language file; empty for null or missing.
    std::string GetString(const char* key) const;
    // A cached font of the interface face; the same handle for the same request until the
    // next language switch.
    FontHandle GetFont(int height, int weight, bool underline);
    // A cached picture of the program's resources, or null.
    PictureHandle LoadImageFromResource(int type, int id);
    // Stretches the picture into the rectangle; a nonzero colour is drawn transparent.
    // 1 on success, -2 without a device context or picture, -3 when rendering fails.
    int DrawImage(ui::Dc* dc, PictureHandle picture, int left, int top, int right, int bottom, COLORREF transparent);

    // "Meiryo UI" for language 1, "Arial" for the others.
    static const char* FontFace();
    static void SetFontFace(int languageNumber);

private:
    UiResources();
    struct FontEntry {
        int height;
        int weight;
        bool underline;
        std::unique_ptr<QFont> font;
    };
    std::map<std::string, std::unique_ptr<QImage>> images_;
    // The texts of the language file in use, as read once: windows ask for them on every paint,
    // and a paint must not read a file. Threads other than the interface's ask too.
    mutable std::mutex stringsLock_;
    mutable std::string stringsPath_;
    mutable std::map<std::string, std::string> strings_;
    std::map<u64, FontEntry> fonts_;
    // Fonts replaced by a language switch stay alive: a window may still hold the old handle.
    std::vector<std::unique_ptr<QFont>> retiredFonts_;
};

// The first child element of the Resource.xml root with that name, or null. The file is loaded
// once; a failed load is tried again on the next call.
const TiXmlElement* FindWindowResource(const char* elementName);
// Integer attribute, 0 when missing (the skin's rule for every number).
int SkinInt(const TiXmlElement* element, const char* name);
std::string SkinString(const TiXmlElement* element, const char* name);
