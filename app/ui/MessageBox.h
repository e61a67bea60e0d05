#pragma once
// The program's own message box, skinned from the element "MessageBox" of Resource.xml.
#include <string>

#include "app/ui/HomeBaseDialog.h"
#include "app/ui/UiResources.h"

class QZMMessageBox : public HomeBaseDialog {
public:
    static constexpr int kIdFirst = 501;   // ends with 1 (OK, yes)
    static constexpr int kIdSecond = 500;  // ends with 2 (cancel, no)
    static constexpr int kIdThird = 502;   // ends with 3

    QZMMessageBox(HWND owner, COLORREF textColor);
    // A null caption takes the localized "caption" text.
    void SetContent(const char* caption, const std::string& text, u32 kind);
    void SetButtonTexts(const std::string& first, const std::string& second, const std::string& third);
    void SetFirstButtonText(const std::string& first);

    bool OnCommand(WPARAM wParam, LPARAM lParam) override;
    int DrawBackground(ui::Dc* dc) override;
    int DrawContent(ui::Dc* dc) override;

    const std::string& Text() const { return text_; }
    const std::string& CaptionText() const { return caption_; }
    // The rectangle the message was last drawn into (client coordinates).
    RECT LastTextRect() const { return lastTextRect_; }

protected:
    bool OnInitDialog() override;

private:
    std::string text_;
    std::string caption_;
    u32 kind_ = 0;
    PictureHandle icon_ = nullptr;
    std::string buttonTexts_[3];
    COLORREF textColor_ = 0;
    RECT lastTextRect_;
};

// What the box answers for its first button (OK, yes).
constexpr int kMessageBoxFirstButton = 1;

// Builds the box, runs it modally and answers the button chosen: 1, 2 or 3.
int ShowMessageBox(HWND owner, const char* text, const char* caption, u32 kind, COLORREF textColor = 0);
