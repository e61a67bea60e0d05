#pragma once
// A child button window that paints a flat background in state colours (or a piece of a skin
// bitmap), an optional icon and its text, with hover tracking and an optional check-box mode.
#include <QImage>
#include <string>

#include "platform/ui/OwnerDrawButton.h"

class CMsBtn : public ui::OwnerDrawButton {
public:
    // Colour slots: background at even places, text at odd places, for the states out (just
    // left), hover, normal and disabled.
    enum ColorIndex {
        kBkOut = 0, kTextOut = 1, kBkHover = 2, kTextHover = 3,
        kBkNormal = 4, kTextNormal = 5, kBkDisabled = 6, kTextDisabled = 7,
    };
    static constexpr int kSkinBitmap = 492;

    // A style with bit 2 set makes a check box.
    CMsBtn(QWidget* parent, int controlId, u32 style = 0);

    void SetBkColors(COLORREF hover, COLORREF out, COLORREF normal, COLORREF disabled);
    void SetTextColors(COLORREF hover, COLORREF out, COLORREF normal, COLORREF disabled);
    // false for an index of 8 or more (nothing changes).
    bool SetColor(int index, COLORREF color);
    COLORREF GetColor(int index) const { return (index >= 0 && index < 8) ? colors_[index] : 0; }
    // Loads two icons by resource id; 0 (and no icons) when either fails.
    int SetIcons(int hoverIconId, int normalIconId);
    // 0 or 1; false for anything else.
    bool SetIconAlign(int align);
    void SetTextOffset(bool on);
    void SetFocusColor(COLORREF color);
    void SetSkin(const RECT& out, const RECT& hover, const RECT& normal, const RECT& disabled);
    void SetChecked(bool checked);
    bool IsChecked() const { return checked_; }
    bool IsCheckBox() const { return checkBox_; }
    bool IsHover() const { return hover_; }
    void SetTooltipText(const std::string& text);
    void SetTransparent(bool on);

    LRESULT OnMessage(u32 message, WPARAM wParam, LPARAM lParam) override;

    virtual void DrawTheText(ui::Dc* dc, const std::string& text, const RECT& rect, bool pressed, bool disabled);
    virtual void DrawTheIcon(ui::Dc* dc, bool hasText, const RECT& rect, bool pressed, bool disabled);

protected:
    void DrawItem(ui::Dc* dc, const RECT& rect, u32 itemState, u32 itemAction) override;
    void OnClicked() override;
    int IconLeft(const RECT& rect, bool hasText) const;

private:
    // The four state colours of the background (outSlot kBkOut) or of the text (kTextOut).
    void SetLayerColors(ColorIndex outSlot, COLORREF hover, COLORREF out, COLORREF normal, COLORREF disabled);

    QImage parentBackground_;
    QImage hoverIcon_;
    QImage normalIcon_;
    bool hover_ = false;
    bool justLeft_ = false;
    bool transparent_ = false;
    bool tracking_ = false;
    bool checkBox_ = false;
    bool checked_ = false;
    bool textOffset_ = true;
    QPoint offset_{1, 1};
    int iconAlign_ = 0;
    COLORREF colors_[8];
    COLORREF focusColor_ = 0x646464;
    int skinId_ = 0;
    RECT skinRects_[4];  // out, hover, normal, disabled
    std::string tooltip_;
};
