#pragma once
// The step strip across the top of the wizard (which step the user is at, with its own next,
// back and scan buttons) and the tip box the result page shows for a while.
#include <string>

#include "app/ui/UiSdkWndBase.h"

namespace UiCtrl {

class Tip3StepWnd : public UiSdkWndBase {
public:
    enum ItemId { kItemNext = 100, kItemBack = 101, kItemScan = 102 };
    Tip3StepWnd();
    ~Tip3StepWnd() override;
    int Create(HWND parent, void* instance, RECT rect, u32 style) override;
    void Show();
    void Hide();
    int ApplyLanguage() override;
    LRESULT WndProc(u32 message, WPARAM wParam, LPARAM lParam) override;
    int DrawBorder(ui::Dc* dc) override;
    int DrawBackground(ui::Dc* dc) override;
    int Counter() const { return counter_; }
    // The pages the strip's buttons talk to; the choice flag of the file-type page.
    static HWND Strip();
    static void SetFileTypePage(HWND page);
    static void SetPlacePage(HWND page);
    static void SetChoiceMade(bool made);
    static bool ChoiceMade();
    // Whether the place page would start a scan now; the strip's scan button follows it.
    static void SetScanEnabled(bool enabled);

private:
    void OnCommand(int id);
    void Collapse();
    void Expand();
    void ApplyCounter();

    int counter_ = 0;
    RECT shown_{};
};

class TipInfoWnd : public UiSdkWndBase {
public:
    static constexpr int kWidth = 436;
    static constexpr int kHeight = 128;
    static constexpr int kTimerId = 1;
    static constexpr int kDefaultDelaySeconds = 8;
    // Texts of fewer characters than this sit lower in the box.
    static constexpr int kShortText = 98;
    TipInfoWnd();
    int Create(HWND parent, void* instance, RECT rect, u32 style) override;
    // -1 before the box has a back buffer or for a null key; else 0.
    int ShowWithDelay(const char* key);
    void Hide();
    int ApplyLanguage() override;
    LRESULT WndProc(u32 message, WPARAM wParam, LPARAM lParam) override;
    int DrawBorder(ui::Dc* dc) override;
    int DrawBackground(ui::Dc* dc) override;
    bool IsShown() const;
    // How often the box was shown so far: it hides itself after its delay, so a test waits on
    // this rather than on its being shown.
    u64 TimesShown() const { return timesShown_; }
    const std::string& Text() const { return text_; }
    // Where the text starts: lower for a short text, counted in characters whatever their bytes.
    int TextTop() const;
    // The delay of the tip shown last, in seconds: the language's "delayTime", or the default.
    int DelaySeconds() const { return delaySeconds_; }

private:
    bool timerRunning_ = false;
    int delaySeconds_ = kDefaultDelaySeconds;
    u64 timesShown_ = 0;
    std::string key_;
    std::string text_;
};

}  // namespace UiCtrl
