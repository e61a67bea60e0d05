#include "app/ui/SkinItems.h"

#include <tinyxml.h>

#include <QDesktopServices>
#include <QUrl>
#include <cstdlib>

#include "core/Shell.h"

namespace UiCtrl {

namespace {

UiResources& Res() { return UiResources::Instance(); }

PictureHandle Bitmap(int id) { return id ? Res().LoadImageFromResource(kResTypeBitmap, id) : nullptr; }

COLORREF HexColor(const TiXmlElement* e, const char* name) {
    const char* v = e ? e->Attribute(name) : nullptr;
    return v ? static_cast<COLORREF>(std::strtoul(v, nullptr, 16)) : 0;
}

COLORREF DecColor(const TiXmlElement* e, const char* name) {
    const char* v = e ? e->Attribute(name) : nullptr;
    return v ? static_cast<COLORREF>(std::strtoul(v, nullptr, 10)) : 0;
}

std::string Localized(const std::string& key) { return key.empty() ? std::string() : Res().GetString(key.c_str()); }

// The push button's default pictures: every construction overwrites them for its style.
struct ButtonDefaults {
    int plain[4] = {204, 203, 205, 202};   // normal, hover, pressed, disabled
    int accent[4] = {200, 199, 201, 202};
};
ButtonDefaults g_buttonDefaults;
int g_sliceWidth = 0;

PictureHandle g_tickOn = nullptr;
PictureHandle g_tickOff = nullptr;

}  // namespace

int LoadSkinItems(ItemMap& items, const char* elementName, HWND owner) {
    return LoadSkinItemsFrom(items, FindWindowResource(elementName), owner);
}

int LoadSkinItemsFrom(ItemMap& items, const TiXmlElement* element, HWND owner) {
    if (!element) return -1;
    for (const TiXmlElement* e = element->FirstChildElement(); e; e = e->NextSiblingElement()) {
        const int id = SkinInt(e, "id");
        if (id == 0) continue;
        const RECT rect = ui::MakeRect(SkinInt(e, "left"), SkinInt(e, "top"), SkinInt(e, "right"), SkinInt(e, "bottom"));
        const int userDefine = SkinInt(e, "dUserDefine");
        const int type = SkinInt(e, "type");
        std::unique_ptr<UiItem> item;
        switch (type) {
        case 2: item = std::make_unique<UiCheckBtnWithoutWnd>(); break;
        case 3: item = std::make_unique<UiBtnWithoutWnd>(userDefine); break;
        case 4: item = std::make_unique<UILinkItem>(); break;
        case 5: item = std::make_unique<UIStaticItem>(); break;
        case 6: item = std::make_unique<UIPicButton>(); break;
        case 7: item = std::make_unique<UiCheckBtn>(); break;
        default: continue;
        }
        item->CreateFromSkin(owner, id, rect, e);
        item->SetType(type);
        if (const char* caption = e->Attribute("caption")) item->SetCaption(caption);
        items[id] = std::move(item);  // one item per id: the later element wins
    }
    return 0;
}

void DrawGradientRect(ui::Dc* dc, int left, int top, int right, int bottom, bool vertical, COLORREF topColor,
                      COLORREF bottomColor) {
    if (!dc) return;
    dc->GradientFill(ui::MakeRect(left, top, right, bottom), vertical, topColor, bottomColor);
}

// ---- picture toggle ----

int UiCheckBtnWithoutWnd::Draw(ui::Dc* dc) {
    if (!dc) return 0;
    const RECT inner = ui::MakeRect(rect_.left + 1, rect_.top + 1, rect_.right - 1, rect_.bottom - 1);
    PictureHandle pic = normal_;
    if (state_ == kStateHover) {
        dc->FrameRect(rect_, 0xFBD6B8);
        dc->FillRect(inner, 0xFFF8F3);
        pic = over_;
    } else if (state_ == kStatePressed || (radio_ && checked_)) {
        dc->FrameRect(rect_, 0xDDAC84);
        dc->FillRect(inner, 0xFFF5ED);
        pic = over_;
    }
    if (checked_ && press_) pic = press_;
    Res().DrawImage(dc, pic, rect_.left, rect_.top, rect_.right, rect_.bottom, 0xFFFFFF);
    return 1;
}

bool UiCheckBtnWithoutWnd::CreateFromSkin(HWND owner, int id, const RECT& rect, const TiXmlElement* element) {
    Setup(owner, id, 2, rect.left, rect.top, rect.right, rect.bottom);
    key1_ = SkinString(element, "caption1");
    key2_ = SkinString(element, "caption2");
    text1_ = Localized(key1_);
    text2_ = Localized(key2_);
    normal_ = Bitmap(SkinInt(element, "normal"));
    over_ = Bitmap(SkinInt(element, "over"));
    radio_ = SkinInt(element, "radio") != 0;
    root_ = element && element->Attribute("root") ? SkinInt(element, "root") != 0 : true;
    press_ = Bitmap(SkinInt(element, "press"));
    normal2_ = Bitmap(SkinInt(element, "normal"));
    return true;
}

int UiCheckBtnWithoutWnd::OnMouseLBtnDown(WPARAM, LPARAM) {
    checked_ = !checked_;
    ui::PostCommand(owner_, id_, 0);
    return 1;
}

bool UiCheckBtnWithoutWnd::ApplyLanguage() {
    text1_ = Localized(key1_);
    text2_ = Localized(key2_);
    return true;
}

// ---- push button ----

UiBtnWithoutWnd::UiBtnWithoutWnd(int style) : style_((style == 0 || style == 2) ? style : 1) {
    static const int kStyle1Plain[4] = {385, 384, 386, 383};
    static const int kStyle1Accent[4] = {532, 531, 533, 530};
    static const int kOtherPlain[4] = {204, 203, 205, 202};
    static const int kOtherAccent[4] = {200, 199, 201, 202};
    for (int i = 0; i < 4; ++i) {
        g_buttonDefaults.plain[i] = style_ == 1 ? kStyle1Plain[i] : kOtherPlain[i];
        g_buttonDefaults.accent[i] = style_ == 1 ? kStyle1Accent[i] : kOtherAccent[i];
    }
}

int UiBtnWithoutWnd::SliceWidth() { return g_sliceWidth; }

int UiBtnWithoutWnd::Draw(ui::Dc* dc) {
    if (!visible_ || !dc) return 0;
    if (!enabled_) state_ = kStateDisabled;
    const int s = (state_ >= 0 && state_ <= 3) ? state_ : 0;
    PictureHandle pic = nullptr;
    COLORREF text = 0;
    if (style_ == 1) {
        pic = pictures_[s] ? pictures_[s] : Bitmap(g_buttonDefaults.accent[s]);
        text = s < 3 ? 0x5F7D05 : 0xBEBEBE;
    } else {
        pic = pictures_[s] ? pictures_[s] : Bitmap(g_buttonDefaults.plain[s]);
        if (s < 3) {
            text = colors_[s] ? colors_[s] : (style_ == 2 ? 0xFFFFFF : 0x000000);
        } else {
            text = colors_[3] ? colors_[3] : 0xBEBEBE;
            pic = Bitmap(g_buttonDefaults.plain[3]);
        }
    }
    if (g_sliceWidth == 0) g_sliceWidth = style_ == 1 ? 110 : (style_ == 2 ? 120 : 80);
    const int W = g_sliceWidth;
    const int H = style_ == 1 ? 40 : (style_ == 2 ? 60 : 28);
    const int width = rect_.Width();
    if (pic) {
        if (width <= W + 16 || style_ == 2) {
            Res().DrawImage(dc, pic, rect_.left, rect_.top, rect_.right, rect_.bottom, 0);
        } else {
            // Three slices: a fixed left end, a middle repeated in 20-pixel pieces, a 5-pixel right end.
            const QImage strip = pic->scaled(W, H, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
            const int h = rect_.Height();
            dc->BlitImage(strip, rect_.left, rect_.top, 25, h, 0, 0);
            int x = rect_.left + 25;
            const int end = rect_.right - 5;
            for (int pieces = 0; x < end && pieces < width - 30; ++pieces) {
                const int w = (x + 20 > end) ? end - x : 20;
                dc->BlitImage(strip, x, rect_.top, w, h, 25, 0);
                x += w;
            }
            dc->BlitImage(strip, end, rect_.top, 5, h, W - 5, 0);
        }
    }
    const bool accent = style_ == 1;
    dc->SetFont(*Res().GetFont(style_ == 2 ? 30 : 16, accent ? 600 : 500, false));
    dc->SetTextColor(text);
    RECT r = rect_;
    if (colors_[0] != 0) r.left += 20;
    dc->DrawText(text_, r, DT_CENTER | DT_VCENTER | DT_SINGLELINE);
    return 1;
}

bool UiBtnWithoutWnd::CreateFromSkin(HWND owner, int id, const RECT& rect, const TiXmlElement* element) {
    Setup(owner, id, 3, rect.left, rect.top, rect.right, rect.bottom);
    text_ = Localized(SkinString(element, "caption"));
    default_ = SkinInt(element, "default");
    const int normal = SkinInt(element, "normal");
    const int over = SkinInt(element, "over");
    if (normal && over) {
        pictures_[0] = Bitmap(normal);
        pictures_[1] = Bitmap(over);
        pictures_[2] = Bitmap(SkinInt(element, "click"));
        pictures_[3] = Bitmap(SkinInt(element, "disable"));
    }
    colors_[0] = DecColor(element, "nColor");
    colors_[1] = DecColor(element, "hColor");
    colors_[2] = DecColor(element, "pColor");
    colors_[3] = DecColor(element, "dColor");
    return true;
}

int UiBtnWithoutWnd::OnMouseLBtnUp(WPARAM, LPARAM) {
    if (!enabled_) return 0;
    ui::PostCommand(owner_, id_, 0);
    return 1;
}

bool UiBtnWithoutWnd::ApplyLanguage() {
    if (!caption_.empty()) text_ = Localized(caption_);
    return true;
}

// ---- link ----

UILinkItem::UILinkItem() = default;

void UILinkItem::FitToText() {
    rect_.right = rect_.left + ui::WholeLineWidth(*Res().GetFont(16, 500, true), text_);
    if (maxRight_ != 0 && rect_.right > maxRight_) rect_.right = maxRight_;
}

int UILinkItem::Draw(ui::Dc* dc) {
    if (!visible_ || !dc) return 0;
    COLORREF c = color_;
    if (state_ == kStateHover) c = 0xFF8A00;
    else if (state_ == kStatePressed) c = 0x985404;
    dc->SetTextColor(c);
    dc->SetFont(*Res().GetFont(16, 500, true));
    dc->DrawText(text_, rect_, DT_END_ELLIPSIS | DT_VCENTER | DT_SINGLELINE);
    return 1;
}

bool UILinkItem::SetState(int state, ui::Dc*) {
    if (state == kStateHover && state_ == kStateNormal) savedCursor_ = ui::SetWindowCursor(owner_, ui::CursorShape::Hand);
    else if (state == kStateNormal && state_ == kStateHover) ui::SetWindowCursor(owner_, savedCursor_);
    state_ = state;
    return false;
}

bool UILinkItem::CreateFromSkin(HWND owner, int id, const RECT& rect, const TiXmlElement* element) {
    Setup(owner, id, 4, rect.left, rect.top, rect.right, rect.bottom);
    color_ = HexColor(element, "color");
    text_ = Localized(SkinString(element, "caption"));
    link_ = Localized(SkinString(element, "url"));
    maxRight_ = SkinInt(element, "MaxRight");
    if (text_.empty() && !link_.empty()) text_ = link_;
    FitToText();
    return true;
}

int UILinkItem::OnMouseLBtnUp(WPARAM, LPARAM) {
    ui::PostCommand(owner_, id_, 0);
    if (!link_.empty()) {
        const bool opened = QDesktopServices::openUrl(QUrl(ui::FromUtf8(link_)));
        WriteLog("[%s:%d] goto %s\r\n", "UiCtrl::UILinkItem::OnMouseLBtnUp", opened ? 42 : 2, link_.c_str());
    }
    return 1;
}

bool UILinkItem::ApplyLanguage() {
    if (!caption_.empty()) text_ = Localized(caption_);
    FitToText();
    return true;
}

// ---- label ----

void UIStaticItem::SetText(const std::string& text) {
    text_ = text;
    // Measured with the font it is drawn with, so the label never ends in an ellipsis.
    rect_.right = rect_.left + ui::WholeLineWidth(*Res().GetFont(16, 500, false), text_);
    textRect_ = ui::MakeRect(rect_.left, rect_.top, rect_.right, rect_.bottom);
}

int UIStaticItem::Draw(ui::Dc* dc) {
    if (!visible_ || !dc) return 0;
    dc->SetTextColor(color_);
    dc->SetFont(*Res().GetFont(16, 500, false));
    dc->DrawText(text_, rect_, DT_END_ELLIPSIS | DT_VCENTER | DT_SINGLELINE);
    return 1;
}

bool UIStaticItem::CreateFromSkin(HWND owner, int id, const RECT& rect, const TiXmlElement* element) {
    Setup(owner, id, 5, rect.left, rect.top, rect.right, rect.bottom);
    color_ = HexColor(element, "color");
    SetText(Localized(SkinString(element, "caption")));
    return true;
}

bool UIStaticItem::ApplyLanguage() {
    if (!caption_.empty()) SetText(Localized(caption_));
    return true;
}

// ---- picture button ----

int UIPicButton::Draw(ui::Dc* dc) {
    if (!visible_ || !dc) return 0;
    PictureHandle pic = nullptr;
    switch (state_) {
    case kStateHover: pic = enabled_ ? pictures_[1] : pictures_[3]; break;
    case kStatePressed: pic = pictures_[2]; break;
    case kStateDisabled: pic = pictures_[3]; break;
    default: pic = enabled_ ? pictures_[0] : pictures_[3]; break;
    }
    Res().DrawImage(dc, pic, rect_.left, rect_.top, rect_.right, rect_.bottom, 0xFFFFFF);
    return 1;
}

bool UIPicButton::CreateFromSkin(HWND owner, int id, const RECT& rect, const TiXmlElement* element) {
    Setup(owner, id, 6, rect.left, rect.top, rect.right, rect.bottom);
    SetImages(SkinInt(element, "normal"), SkinInt(element, "over"), SkinInt(element, "click"), SkinInt(element, "disable"));
    return true;
}

int UIPicButton::OnMouseLBtnUp(WPARAM, LPARAM) {
    if (!enabled_ || !visible_) return 0;
    SetState(kStateHover);
    ui::PostCommand(owner_, id_, 0);
    return 1;
}

void UIPicButton::SetImages(int normal, int over, int click, int disable) {
    pictures_[0] = Bitmap(normal);
    pictures_[1] = Bitmap(over);
    pictures_[2] = Bitmap(click);
    pictures_[3] = Bitmap(disable);
}

// ---- check box ----

UiCheckBtn::UiCheckBtn() {
    if (!g_tickOn) g_tickOn = Bitmap(195);
    if (!g_tickOff) g_tickOff = Bitmap(193);
}

int UiCheckBtn::Draw(ui::Dc* dc) {
    if (!visible_ || !dc) return 0;
    Res().DrawImage(dc, checked_ ? g_tickOn : g_tickOff, rect_.left, rect_.top, rect_.left + 13, rect_.top + 13, 0);
    dc->SetTextColor(0x686868);
    dc->SetFont(*Res().GetFont(16, 400, false));
    dc->DrawText(text_, ui::MakeRect(rect_.left + 21, rect_.top - 2, rect_.right, rect_.bottom), DT_LEFT | DT_SINGLELINE);
    return 1;
}

bool UiCheckBtn::CreateFromSkin(HWND owner, int id, const RECT& rect, const TiXmlElement* element) {
    Setup(owner, id, 7, rect.left, rect.top, rect.right, rect.bottom);
    text_ = Localized(SkinString(element, "caption"));
    return true;
}

int UiCheckBtn::OnMouseLBtnUp(WPARAM, LPARAM lParam) {
    if (!enabled_) return 0;
    const int x = GET_X_LPARAM(lParam);
    const int y = GET_Y_LPARAM(lParam);
    if (!ui::MakeRect(rect_.left, rect_.top, rect_.left + 160, rect_.top + 16).Contains(x, y)) return 0;
    checked_ = !checked_;
    ui::PostCommand(owner_, id_, checked_ ? 1 : 0);
    ui::InvalidateWindowRect(owner_, rect_);
    return 1;
}

bool UiCheckBtn::ApplyLanguage() {
    if (!caption_.empty()) text_ = Localized(caption_);
    return true;
}

}  // namespace UiCtrl
