#include "app/dialogs/RecoveryTipInScanDlg.h"

#include "core/Settings.h"
#include "app/ui/SkinItems.h"
#include "app/ui/UiResources.h"
#include "platform/Profile.h"

RecoveryTipInScanDlg::RecoveryTipInScanDlg(HWND owner) : HomeBaseDialog(kPopupTemplate, owner, 0) { setModal(true); }

bool RecoveryTipInScanDlg::OnInitDialog() {
    HomeBaseDialog::OnInitDialog();
    ApplySkinSize("RecoveryTipInScan");
    LayoutCaption();
    UiCtrl::LoadSkinItems(ClientItems(), "RecoveryTipInScan", Handle());
    setWindowTitle(ui::FromUtf8(UiResources::Instance().GetString("caption")));
    return true;
}

bool RecoveryTipInScanDlg::OnCommand(WPARAM wParam, LPARAM lParam) {
    switch (LOWORD(wParam)) {
    case kItemGoOn: EndDialog(IDOK); return true;
    case kItemCancel: EndDialog(IDCANCEL); return true;
    case kItemDontShow:
        // Written when the check changes: a later cancel keeps the choice.
        WritePrivateProfileString("register", "ShowTip", lParam != 0 ? "0" : "1", ConfigFilePath().c_str());
        break;
    default: break;
    }
    return HomeBaseDialog::OnCommand(wParam, lParam);
}

int RecoveryTipInScanDlg::DrawContent(ui::Dc* dc) {
    if (!dc) return 0;
    UiResources& res = UiResources::Instance();
    if (PictureHandle p = res.LoadImageFromResource(kResTypeBitmap, kPicture)) res.DrawImage(dc, p, 30, 40, 95, 105, 0xFFFFFF);
    else if (PictureHandle icon = res.LoadImageFromResource(kResTypeBitmap, 361)) res.DrawImage(dc, icon, 35, 45, 89, 99, 0);
    dc->SetFont(*res.GetFont(17, 500, false));
    dc->SetTextColor(0x000000);
    dc->DrawText(res.GetString("RecoveryTipInScan"), ui::MakeRect(110, 40, ClientRect().right - 25, 130), DT_LEFT | DT_WORDBREAK);
    return 0;
}
