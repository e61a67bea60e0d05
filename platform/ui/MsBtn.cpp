#include "platform/ui/MsBtn.h"

#include "platform/ui/ButtonResources.h"

namespace {
constexpr int kIconMargin = 6;
constexpr int kIconTextGap = 4;
constexpr int kFontHeight = 16;
constexpr int kFontWeight = 400;

QImage Greyed(const QImage& icon) {
    QImage g = icon.convertToFormat(QImage::Format_ARGB32);
    for (int y = 0; y < g.height(); ++y) {
        QRgb* row = reinterpret_cast<QRgb*>(g.scanLine(y));
        for (int x = 0; x < g.width(); ++x) {
            const int v = 128 + qGray(row[x]) / 3;
            row[x] = qRgba(v, v, v, qAlpha(row[x]) / 2);
        }
    }
    return g;
}
}  // namespace

CMsBtn::CMsBtn(QWidget* parent, int controlId, u32 style) : ui::OwnerDrawButton(parent, controlId, style) {
    // The system's button colours.
    colors_[kBkOut] = 0xF0F0F0;
    colors_[kTextOut] = 0x000000;
    colors_[kBkHover] = 0xF0F0F0;
    colors_[kTextHover] = 0x000000;
    colors_[kBkNormal] = 0xF0F0F0;
    colors_[kTextNormal] = 0x000000;
    colors_[kBkDisabled] = 0xF0F0F0;
    colors_[kTextDisabled] = 0x6D6D6D;
    checkBox_ = (style & BS_CHECKBOX_BIT) != 0;
}

void CMsBtn::SetBkColors(COLORREF hover, COLORREF out, COLORREF normal, COLORREF disabled) {
    SetLayerColors(kBkOut, hover, out, normal, disabled);
}

void CMsBtn::SetTextColors(COLORREF hover, COLORREF out, COLORREF normal, COLORREF disabled) {
    SetLayerColors(kTextOut, hover, out, normal, disabled);
}

void CMsBtn::SetLayerColors(ColorIndex outSlot, COLORREF hover, COLORREF out, COLORREF normal, COLORREF disabled) {
    // Each state holds a background and a text slot; the states stand in this order.
    constexpr int kSlotsPerState = kTextOut - kBkOut + 1;
    const COLORREF byState[] = {out, hover, normal, disabled};
    int slot = outSlot;
    for (COLORREF color : byState) {
        colors_[slot] = color;
        slot += kSlotsPerState;
    }
    update();
}

bool CMsBtn::SetColor(int index, COLORREF color) {
    if (index < 0 || index >= 8) return false;
    colors_[index] = color;
    update();
    return true;
}

int CMsBtn::SetIcons(int hoverIconId, int normalIconId) {
    const QImage* h = ui::ButtonBitmap(hoverIconId);
    const QImage* n = ui::ButtonBitmap(normalIconId);
    if (!h || !n) {
        hoverIcon_ = QImage();
        normalIcon_ = QImage();
        return 0;
    }
    hoverIcon_ = *h;
    normalIcon_ = *n;
    update();
    return 1;
}

bool CMsBtn::SetIconAlign(int align) {
    if (align < 0 || align > 1) return false;
    iconAlign_ = align;
    update();
    return true;
}

void CMsBtn::SetTextOffset(bool on) { textOffset_ = on; }

void CMsBtn::SetFocusColor(COLORREF color) {
    focusColor_ = color;
    update();
}

void CMsBtn::SetSkin(const RECT& out, const RECT& hover, const RECT& normal, const RECT& disabled) {
    skinId_ = kSkinBitmap;
    skinRects_[0] = out;
    skinRects_[1] = hover;
    skinRects_[2] = normal;
    skinRects_[3] = disabled;
    update();
}

void CMsBtn::SetChecked(bool checked) {
    if (!checkBox_) return;
    checked_ = checked;
    update();
}

void CMsBtn::SetTooltipText(const std::string& text) {
    tooltip_ = text;
    setToolTip(ui::FromUtf8(text));
}

void CMsBtn::SetTransparent(bool on) {
    transparent_ = on;
    parentBackground_ = QImage();
    update();
}

void CMsBtn::OnClicked() {
    if (checkBox_) {
        checked_ = !checked_;
        update();
    }
}

LRESULT CMsBtn::OnMessage(u32 message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_MOUSEMOVE:
        if (!tracking_) {
            tracking_ = true;
            TrackMouseHover(10);
            TrackMouseLeave();
        }
        return 0;
    case WM_MOUSEHOVER:
        if (!checkBox_) {
            hover_ = true;
            justLeft_ = false;
            update();
        }
        return 0;
    case WM_MOUSELEAVE:
        tracking_ = false;
        if (hover_ && !checkBox_) {
            hover_ = false;
            justLeft_ = true;
            update();
        }
        return 0;
    default:
        return ui::OwnerDrawButton::OnMessage(message, wParam, lParam);
    }
}

void CMsBtn::DrawItem(ui::Dc* dc, const RECT& rect, u32 itemState, u32) {
    const bool pressed = (itemState & ODS_SELECTED) || (checkBox_ && checked_);
    const bool disabled = (itemState & ODS_DISABLED) != 0;
    // Background.
    if (transparent_ && parentWidget()) {
        if (parentBackground_.isNull()) {
            parentBackground_ = QImage(size(), QImage::Format_ARGB32_Premultiplied);
            parentBackground_.fill(Qt::transparent);
            // Only the parent's own background: its children (this button) are not drawn again.
            parentWidget()->render(&parentBackground_, QPoint(), QRegion(geometry()), QWidget::DrawWindowBackground);
        }
        dc->Painter()->drawImage(QPoint(0, 0), parentBackground_);
    } else {
        COLORREF bk = colors_[kBkNormal];
        if (disabled) bk = colors_[kBkDisabled];
        else if (justLeft_) bk = colors_[kBkOut];
        else if (hover_ && !pressed) bk = colors_[kBkHover];
        dc->FillRect(rect, bk);
    }
    const std::string text = WindowText();
    if (!normalIcon_.isNull()) DrawTheIcon(dc, !text.empty(), rect, pressed, disabled);
    if (skinId_) {
        if (const QImage* skin = ui::ButtonBitmap(skinId_)) {
            const RECT& src = disabled ? skinRects_[3] : justLeft_ ? skinRects_[0] : (hover_ && !pressed) ? skinRects_[1] : skinRects_[2];
            dc->BlitImage(*skin, rect.left, rect.top, std::min(src.Width(), rect.Width()), std::min(src.Height(), rect.Height()),
                          src.left, src.top);
        }
    }
    if (!text.empty()) DrawTheText(dc, text, rect, pressed, disabled);
}

int CMsBtn::IconLeft(const RECT& rect, bool hasText) const {
    if (iconAlign_ == 1) return rect.left + kIconMargin;
    int total = normalIcon_.width();
    if (hasText) {
        RECT t = rect;
        ui::MeasureText(ui::ButtonFont(*this, kFontHeight, kFontWeight), WindowText(), t, DT_SINGLELINE);
        total += kIconTextGap + t.Width();
    }
    return rect.left + (rect.Width() - total) / 2;
}

void CMsBtn::DrawTheIcon(ui::Dc* dc, bool hasText, const RECT& rect, bool pressed, bool disabled) {
    const QImage& icon = (hover_ || pressed || checked_) && !hoverIcon_.isNull() ? hoverIcon_ : normalIcon_;
    if (icon.isNull()) return;
    const int y = rect.top + (rect.Height() - icon.height()) / 2;
    dc->Painter()->drawImage(QPoint(IconLeft(rect, hasText), y), disabled ? Greyed(icon) : icon);
}

void CMsBtn::DrawTheText(ui::Dc* dc, const std::string& text, const RECT& rect, bool pressed, bool disabled) {
    RECT r = rect;
    if (pressed && textOffset_ && !checkBox_) {
        r.left += offset_.x();
        r.right += offset_.x();
        r.top += offset_.y();
        r.bottom += offset_.y();
    }
    dc->SetFont(ui::ButtonFont(*this, kFontHeight, kFontWeight));
    u32 align = DT_CENTER;
    if (!normalIcon_.isNull()) {
        // Beside a centred icon the text follows it; beside a left icon it centres in the rest.
        r.left = IconLeft(rect, true) + normalIcon_.width() + kIconTextGap + (r.left - rect.left);
        if (iconAlign_ == 0) align = DT_LEFT;
    }
    RECT m = r;
    dc->DrawText(text, m, DT_CALCRECT | DT_WORDBREAK | align);
    const int h = m.Height();
    RECT place = ui::MakeRect(r.left, r.top + (r.Height() - h) / 2, r.right, r.top + (r.Height() - h) / 2 + h);
    COLORREF c = colors_[kTextNormal];
    if (disabled) c = colors_[kTextDisabled];
    else if (justLeft_) c = colors_[kTextOut];
    else if (hover_ && !pressed) c = colors_[kTextHover];
    dc->SetTextColor(c);
    dc->DrawText(text, place, DT_WORDBREAK | align);
}
