#pragma once
// The warning before files are recovered while a scan is paused for it, with a check item that
// keeps it from showing again (Config.dat "ShowTip"). IDOK goes on with the recovery.
#include "app/ui/HomeBaseDialog.h"

class RecoveryTipInScanDlg : public HomeBaseDialog {
public:
    enum ItemId { kItemGoOn = 800, kItemCancel = 801, kItemDontShow = 802 };
    static constexpr int kPicture = 293;
    explicit RecoveryTipInScanDlg(HWND owner);
    bool OnCommand(WPARAM wParam, LPARAM lParam) override;
    int DrawContent(ui::Dc* dc) override;

protected:
    bool OnInitDialog() override;
};
