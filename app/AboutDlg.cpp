#include "app/AboutDlg.h"

#include <unistd.h>

#include "core/VersionInfo.h"
#include "app/ui/SkinItems.h"

namespace {
constexpr COLORREF kTextColor = 0x212121;
constexpr COLORREF kWhite = 0xFFFFFF;
// Not one line: the labels and the version stand at the top of their places, level with the
// link beside them.
constexpr u32 kLabelFlags = DT_VCENTER | DT_END_ELLIPSIS;
// The maker's line; the same in every language.
constexpr const char* kCopyrightLine = "Copyright \u00A9 2026 Morvenda. All rights reserved.";
}  // namespace

std::string ProgramFilePath() {
    char buf[4096];
    const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof(buf) - 1);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

AboutDlg::AboutDlg(HWND owner) : HomeBaseDialog(kPopupTemplate, owner, 0) { setModal(true); }

bool AboutDlg::OnInitDialog() {
    HomeBaseDialog::OnInitDialog();
    ApplySkinSize("About");
    LayoutCaption();  // the strip follows the size from the skin
    UiCtrl::LoadSkinItems(ClientItems(), "About", Handle());
    setWindowTitle(ui::FromUtf8(UiResources::Instance().GetString("MenuAbout")));
    banner_ = UiResources::Instance().LoadImageFromResource(kResTypeBitmap, kBannerImage);
    ReadVersionStrings(ProgramFilePath().c_str(), &copyright_, &version_);
    return true;
}

// Unlike the other dialogs, the box is white only at its foot, under the copyright line; the
// banner and the version stand on the base colour.
int AboutDlg::DrawBackground(ui::Dc* dc) {
    if (!dc) return 0;
    const RECT c = ClientRect();
    dc->FillRect(ui::MakeRect(c.left + 1, c.bottom - kDialogFootHeight, c.right - 1, c.bottom), kWhite);
    return 0;
}

int AboutDlg::DrawContent(ui::Dc* dc) {
    if (!dc) return 0;
    UiResources& res = UiResources::Instance();
    const QFont oldFont = dc->Font();
    const COLORREF oldColor = dc->SetTextColor(kTextColor);
    dc->SetFont(*res.GetFont(16, 600, false));
    res.DrawImage(dc, banner_, 1, 0, 522, 84, 0);
    dc->DrawText(res.GetString("Version"), ui::MakeRect(155, 95, 260, 115), kLabelFlags);
    dc->DrawText(res.GetString("Homepage"), ui::MakeRect(135, 135, 260, 165), kLabelFlags);
    dc->SetFont(*res.GetFont(16, 100, false));
    dc->DrawText(version_, ui::MakeRect(260, 95, 450, 115), kLabelFlags);
    dc->DrawText(kCopyrightLine, ui::MakeRect(55, 200, 450, 250), DT_CENTER | DT_WORDBREAK);
    dc->SetTextColor(oldColor);
    dc->SetFont(oldFont);
    return 0;
}
