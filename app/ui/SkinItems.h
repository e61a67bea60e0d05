#pragma once
// The skin items that pages, strips and dialogs read from Resource.xml: push buttons, check
// boxes, picture toggles, links, labels and picture buttons.
#include <string>

#include "app/ui/UiItem.h"
#include "app/ui/UiResources.h"
#include "platform/ui/Window.h"

namespace UiCtrl {

// Fills the map from the children of the Resource.xml element; -1 when it does not exist.
int LoadSkinItems(ItemMap& items, const char* elementName, HWND owner);
// The same from an element already at hand.
int LoadSkinItemsFrom(ItemMap& items, const TiXmlElement* element, HWND owner);

void DrawGradientRect(ui::Dc* dc, int left, int top, int right, int bottom, bool vertical, COLORREF topColor,
                      COLORREF bottomColor);

// type 2: a picture that toggles on press; its texts are drawn by the page.
class UiCheckBtnWithoutWnd : public UiItem {
public:
    int Draw(ui::Dc* dc) override;
    bool CreateFromSkin(HWND owner, int id, const RECT& rect, const TiXmlElement* element) override;
    int OnMouseLBtnDown(WPARAM wParam, LPARAM lParam) override;
    bool ApplyLanguage() override;
    bool IsChecked() const { return checked_; }
    void SetChecked(bool checked) { checked_ = checked; }
    const std::string& Text1() const { return text1_; }
    const std::string& Text2() const { return text2_; }

private:
    std::string text1_, text2_;
    PictureHandle normal_ = nullptr;
    PictureHandle over_ = nullptr;
    bool checked_ = false;
    bool radio_ = false;
    bool root_ = true;
    std::string key1_, key2_;
    PictureHandle press_ = nullptr;
    PictureHandle normal2_ = nullptr;
};

// type 3: a push button drawn from a picture strip with its text on top.
class UiBtnWithoutWnd : public UiItem {
public:
    explicit UiBtnWithoutWnd(int style);
    int Draw(ui::Dc* dc) override;
    bool CreateFromSkin(HWND owner, int id, const RECT& rect, const TiXmlElement* element) override;
    int OnMouseLBtnUp(WPARAM wParam, LPARAM lParam) override;
    bool ApplyLanguage() override;
    void SetText(const std::string& text) { text_ = text; }
    const std::string& Text() const { return text_; }
    int Style() const { return style_; }
    // The process-wide slice width, fixed by the first button drawn (0 before).
    static int SliceWidth();

private:
    std::string text_;
    int default_ = 0;
    PictureHandle pictures_[4] = {nullptr, nullptr, nullptr, nullptr};  // normal, over, click, disable
    COLORREF colors_[4] = {0, 0, 0, 0};                                  // normal, hover, pressed, disabled
    int style_;
};

// type 4: an underlined link that posts its command and opens its address.
class UILinkItem : public UiItem {
public:
    UILinkItem();
    int Draw(ui::Dc* dc) override;
    bool SetState(int state, ui::Dc* dc = nullptr) override;
    bool CreateFromSkin(HWND owner, int id, const RECT& rect, const TiXmlElement* element) override;
    int OnMouseLBtnUp(WPARAM wParam, LPARAM lParam) override;
    bool ApplyLanguage() override;
    void FitToText();
    // A text set at run time (a folder's path); the item's width follows it up to MaxRight.
    void SetText(const std::string& text) {
        text_ = text;
        FitToText();
    }
    const std::string& Text() const { return text_; }
    const std::string& Link() const { return link_; }

private:
    std::string text_;
    std::string link_;
    ui::CursorShape savedCursor_ = ui::CursorShape::Arrow;
    COLORREF color_ = 0;
    int maxRight_ = 0;
};

// type 5: a label.
class UIStaticItem : public UiItem {
public:
    int Draw(ui::Dc* dc) override;
    bool CreateFromSkin(HWND owner, int id, const RECT& rect, const TiXmlElement* element) override;
    bool ApplyLanguage() override;
    void SetText(const std::string& text);
    RECT GetTextRect() const { return textRect_; }
    const std::string& Text() const { return text_; }
    void SetColor(COLORREF c) { color_ = c; }

private:
    std::string text_;
    RECT textRect_;
    COLORREF color_ = 0;
};

// type 6: a button made of four pictures.
class UIPicButton : public UiItem {
public:
    int Draw(ui::Dc* dc) override;
    bool CreateFromSkin(HWND owner, int id, const RECT& rect, const TiXmlElement* element) override;
    int OnMouseLBtnUp(WPARAM wParam, LPARAM lParam) override;
    void SetImages(int normal, int over, int click, int disable);

private:
    PictureHandle pictures_[4] = {nullptr, nullptr, nullptr, nullptr};  // normal, over, click, disable
};

// type 7: a check box with its text.
class UiCheckBtn : public UiItem {
public:
    UiCheckBtn();
    int Draw(ui::Dc* dc) override;
    bool CreateFromSkin(HWND owner, int id, const RECT& rect, const TiXmlElement* element) override;
    int OnMouseLBtnUp(WPARAM wParam, LPARAM lParam) override;
    bool ApplyLanguage() override;
    bool IsChecked() const { return checked_; }
    void SetChecked(bool checked) { checked_ = checked; }
    const std::string& Text() const { return text_; }

private:
    std::string text_;
    bool checked_ = false;
};

}  // namespace UiCtrl
