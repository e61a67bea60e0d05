#include "browser/model/BrowserSkin.h"

#include <tinyxml.h>

#include <cstdlib>

#include "platform/Text.h"

namespace FileSelCtrl {

namespace {

// Field sizes of the configuration file's values, terminator included.
constexpr size_t kFileNameField = 30;
constexpr size_t kFaceField = 20;
constexpr size_t kTipField = 30;
constexpr size_t kTreeNameField = 20;
constexpr size_t kTypeNameField = 30;
constexpr size_t kColumnNameField = 20;
constexpr size_t kShortTextField = 20;
constexpr size_t kSearchTipField = 120;

const TiXmlElement* Child(const TiXmlElement* parent, const char* name) {
    return parent ? parent->FirstChildElement(name) : nullptr;
}

void FileName(const TiXmlElement* e, const char* attr, std::string& out) {
    if (const char* v = e->Attribute(attr)) out = FitField(v, kFileNameField);
}

// Unguarded texts are cut to their field; guarded ones ignore a value that does not fit.
void Text(const TiXmlElement* e, const char* attr, size_t field, bool guarded, std::string& out) {
    const char* v = e->Attribute(attr);
    if (!v) return;
    if (guarded && std::strlen(v) >= field) return;
    out = FitField(v, field);
}

void Integer(const TiXmlElement* e, const char* attr, int& out) {
    const char* v = e->Attribute(attr);
    out = v ? std::atoi(v) : 0;
}

void ColourValue(const TiXmlElement* e, const char* attr, Colour& out) {
    int v = 0;
    Integer(e, attr, v);
    out = static_cast<Colour>(v) & 0xFFFFFF;
}

void ArgbValue(const TiXmlElement* e, const char* attr, Argb& out) {
    Colour c = 0;
    ColourValue(e, attr, c);
    out = OpaqueArgb(c);
}

void Font(const TiXmlElement* e, FontSpec& font) {
    if (const char* face = e->Attribute("Font")) font.face = FitField(face, kFaceField);
    Integer(e, "FontNumber", font.points);
    Integer(e, "CharSet", font.charSet);
    Integer(e, "CharWeight", font.weight);
}

void ElementText(const TiXmlElement* parent, const char* name, size_t field, std::string& out) {
    const TiXmlElement* e = Child(parent, name);
    if (!e || !e->GetText()) return;
    const std::string v = e->GetText();
    if (v.size() >= field) return;
    out = v;
}

void ReadPublicResource(const TiXmlElement* root, BrowserSkin& s) {
    const TiXmlElement* pub = Child(root, "PublicResource");
    if (!pub) return;
    if (const TiXmlElement* e = Child(pub, "CheckState")) {
        FileName(e, "FileName", s.checkStateFile);
        ColourValue(e, "crMask", s.checkStateMask);
        Integer(e, "ItemWidth", s.checkStateWidth);
    }
    if (const TiXmlElement* e = Child(pub, "ViewButton")) {
        FileName(e, "PreviewView", s.previewViewFile);
        Text(e, "PreviewViewTip", kTipField, true, s.previewViewTip);
        FileName(e, "IconView", s.iconViewFile);
        Text(e, "IconViewTip", kTipField, true, s.iconViewTip);
        FileName(e, "ReportView", s.reportViewFile);
        Text(e, "ReportViewTip", kTipField, true, s.reportViewTip);
        FileName(e, "SplitterView", s.splitterViewFile);
        Text(e, "SplitterViewTip", kTipField, true, s.splitterViewTip);
        Integer(e, "ButtonWidth", s.buttonWidth);
        Integer(e, "ButtonHeight", s.buttonHeight);
    }
    if (const TiXmlElement* e = Child(pub, "Arrow")) {
        FileName(e, "FileName", s.arrowFile);
        ColourValue(e, "crMask", s.arrowMask);
        Integer(e, "ItemWidth", s.arrowWidth);
    }
    if (const TiXmlElement* e = Child(pub, "TreeType")) {
        FileName(e, "FileName", s.treeTypeFile);
        ColourValue(e, "crMask", s.treeTypeMask);
        Integer(e, "ItemWidth", s.treeTypeWidth);
        FileName(e, "FileName32", s.treeTypeFile32);
        Integer(e, "ItemWidth32", s.treeTypeWidth32);
    }
    if (const TiXmlElement* e = Child(pub, "SplitterBar")) {
        ColourValue(e, "Color", s.splitterColour);
        Integer(e, "Width", s.splitterWidth);
    }
    if (const TiXmlElement* e = Child(pub, "CommandCtrl")) {
        ColourValue(e, "ColorTop", s.commandTop);
        ColourValue(e, "ColorBottom", s.commandBottom);
        Integer(e, "Width", s.stripHeight);
    }
    if (const TiXmlElement* e = Child(pub, "ScrollBar")) {
        Integer(e, "SBSize", s.scrollBarSize);
        FileName(e, "Normal", s.scrollNormal);
        FileName(e, "Hover", s.scrollHover);
        FileName(e, "Click", s.scrollClick);
    }
}

void ReadTrees(const TiXmlElement* root, BrowserSkin& s) {
    if (const TiXmlElement* e = Child(root, "TreeName")) {
        for (int i = 0; i < kTreeNameCount; ++i) {
            const std::string attr = "TreeName" + std::to_string(i);
            Text(e, attr.c_str(), kTreeNameField, false, s.treeNames[i]);
        }
    }
    if (const TiXmlElement* outer = Child(root, "TypeTree")) {
        const TiXmlElement* e = Child(outer, "TypeTree");
        if (!e) e = outer;
        Text(e, "All", kTypeNameField, false, s.typeAll);
        Text(e, "Ema", kTypeNameField, false, s.typeEmail);
        Text(e, "Gra", kTypeNameField, false, s.typeGraphics);
        Text(e, "Aud", kTypeNameField, false, s.typeAudio);
        Text(e, "Vid", kTypeNameField, false, s.typeVideo);
        Text(e, "Doc", kTypeNameField, false, s.typeDocument);
        Text(e, "Oth", kTypeNameField, false, s.typeOther);
        Text(e, "Date", kTypeNameField, false, s.dateRoot);
    }
    if (const TiXmlElement* e = Child(root, "TabCtrl")) {
        ArgbValue(e, "crChNormal", s.tabCaptionNormal);
        ArgbValue(e, "crChSelected", s.tabCaptionSelected);
        ArgbValue(e, "crFillSelected", s.tabFillSelected);
        ArgbValue(e, "crFillNormal", s.tabFillNormal);
        ArgbValue(e, "crItemBorder", s.tabItemBorder);
        ArgbValue(e, "crClose", s.tabClose);
        ArgbValue(e, "crFillCloseHover", s.tabFillCloseHover);
        Font(e, s.tabFont);
    }
}

void ReadLists(const TiXmlElement* root, BrowserSkin& s) {
    const TiXmlElement* list = Child(root, "FileListCtrl");
    if (!list) return;
    Font(list, s.listFont);
    ColourValue(list, "CharColor", s.listTextColour);
    ColourValue(list, "crBackground1", s.listBackground1);
    ColourValue(list, "crBackground2", s.listBackground2);
    ColourValue(list, "crSelected", s.listSelected);
    for (int i = 0; i < kColumnCount; ++i) {
        const std::string name = "Column" + std::to_string(i + 1);
        if (const TiXmlElement* c = Child(list, name.c_str())) {
            Text(c, "Name", kColumnNameField, false, s.columns[i].name);
            Integer(c, "Width", s.columns[i].width);
        }
    }
    if (const TiXmlElement* h = Child(list, "HeaderCtrl")) {
        Font(h, s.headerFont);
        ColourValue(h, "CharColor", s.headerTextColour);
        ColourValue(h, "crNormal", s.headerNormal);
        ColourValue(h, "crHover", s.headerHover);
        ColourValue(h, "crItemBorder", s.headerItemBorder);
        ColourValue(h, "crClickBorder", s.headerClickBorder);
    }
    if (const TiXmlElement* e = Child(list, "IconView")) {
        Text(e, "SelectAll", kShortTextField, false, s.selectAll);
        Integer(e, "Height", s.iconBarHeight);
        ColourValue(e, "crBG1", s.iconBackground1);
        ColourValue(e, "crBG2", s.iconBackground2);
        ColourValue(e, "crBorder", s.iconBorder);
    }
    if (const TiXmlElement* e = Child(list, "Tag")) {
        const char* const keys[kQualityCount] = {"Bad", "Low", "Half", "High"};
        for (int i = 0; i < kQualityCount; ++i) Text(e, keys[i], kShortTextField, false, s.quality[i]);
    }
    if (const TiXmlElement* e = Child(list, "Menu")) {
        Text(e, "Recovery", kShortTextField + 1, false, s.menuRecovery);
        Text(e, "Preview", kShortTextField + 1, false, s.menuPreview);
    }
}

void ReadPreview(const TiXmlElement* root, BrowserSkin& s) {
    if (const TiXmlElement* e = Child(root, "RightCommand")) Integer(e, "ButtonPos", s.buttonPos);
    if (const TiXmlElement* e = Child(root, "SearchDlg")) {
        Text(e, "SearchTextTip", kSearchTipField, false, s.searchTextTip);
        Text(e, "Search", kShortTextField, false, s.searchButton);
        Text(e, "Cancel", kShortTextField, false, s.searchCancel);
    }
    const TiXmlElement* p = Child(root, "PreviewWnd");
    if (!p) return;
    if (const char* face = p->Attribute("Font"); face && std::strlen(face) < kFaceField) s.previewFont.face = face;
    Integer(p, "FontNumber", s.previewFont.points);
    Integer(p, "CharSet", s.previewFont.charSet);
    Integer(p, "CharWeight", s.previewFont.weight);
    ColourValue(p, "crCharNormal", s.previewText);
    ColourValue(p, "crIconBorder", s.previewIconBorder);
    const TiXmlElement* t = Child(p, "TextResource");
    if (!t) return;
    ElementText(t, "TipOfLoading", 60, s.tipOfLoading);
    ElementText(t, "TipOfLoading", 60, s.rowLoadingTip);
    ElementText(t, "Filename", 20, s.textFilename);
    ElementText(t, "Size", 20, s.textSize);
    ElementText(t, "Dimension", 20, s.textDimension);
    ElementText(t, "Creation", 30, s.textCreation);
    ElementText(t, "Type", 20, s.textType);
    ElementText(t, "Unknown", 20, s.textUnknown);
    ElementText(t, "CanNotPreview", 80, s.canNotPreview);
    ElementText(t, "CanNotPreview", 80, s.imageFormatWarning);
    ElementText(t, "PreviewEncrypt", 80, s.previewEncrypt);
    ElementText(t, "FileTooLarge", 120, s.fileTooLarge);
    ElementText(t, "NotSupportOffice", 140, s.notSupportOffice);
    ElementText(t, "EmptyDir", 60, s.emptyDir);
    ElementText(t, "FilePreview", 40, s.filePreview);
    ElementText(t, "TextPreview", 20, s.textPreview);
    ElementText(t, "HexPreview", 20, s.hexPreview);
    ElementText(t, "ImgPreview", 20, s.imgPreview);
    ElementText(t, "ButRecovery", 20, s.butRecovery);
    ElementText(t, "ButClose", 20, s.butClose);
    ElementText(t, "LostPartition", 50, s.lostPartition);
}

}  // namespace

std::string FitField(const std::string& value, size_t fieldSize) {
    if (fieldSize == 0) return {};
    return std::string(Utf8Prefix(value, fieldSize - 1));
}

BrowserSkin& Skin() {
    static BrowserSkin skin;
    return skin;
}

void ReadBrowserSkin(const TiXmlElement* root, BrowserSkin& skin) {
    if (!root) return;
    ReadPublicResource(root, skin);
    ReadTrees(root, skin);
    ReadLists(root, skin);
    ReadPreview(root, skin);
}

bool LoadBrowserSkin(const std::string& xmlPath, BrowserSkin& skin) {
    skin = BrowserSkin();
    TiXmlDocument doc;
    if (!doc.LoadFile(xmlPath.c_str(), TIXML_ENCODING_UTF8)) return false;
    ReadBrowserSkin(doc.FirstChildElement(), skin);
    return true;
}

}  // namespace FileSelCtrl
