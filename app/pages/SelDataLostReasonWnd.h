#pragma once
// Why the data was lost, as four exclusive choices. The main window keeps the page hidden and
// resets it on going home; the reason it stores is the scan session's lost-data value.
#include "app/ui/UiSdkWndBase.h"

namespace UiCtrl {

class SelDataLostReasonWnd : public UiSdkWndBase {
public:
    static constexpr int kFirstReason = 100;
    static constexpr int kLastReason = 103;
    static constexpr int kFirstNavigation = 200;
    SelDataLostReasonWnd();
    int Create(HWND parent, void* instance, RECT rect, u32 style) override;
    int ApplyLanguage() override;
    LRESULT WndProc(u32 message, WPARAM wParam, LPARAM lParam) override;
    void OnCommand(int id);
    int Reason() const { return reason_; }

private:
    int reason_ = 0;
};

}  // namespace UiCtrl
