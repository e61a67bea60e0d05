#include "app/dialogs/ExportResult.h"

#include <QProcess>

#include "core/Shell.h"
#include "app/dialogs/SelExportPathDlg.h"
#include "app/ui/SkinItems.h"
#include "app/ui/UiResources.h"

namespace {

bool DesktopOpen(const std::string& folder) {
    return QProcess::startDetached(QStringLiteral("xdg-open"), {ui::FromUtf8(folder)});
}

FolderOpener& Opener() {
    static FolderOpener opener = DesktopOpen;
    return opener;
}

const RECT kTitleRect = {68, 40, 450, 60};
constexpr int kFailureDrop = 12;
const RECT kPathRect = {68, 68, 450, 106};
const RECT kDetailRect = {68, 112, 450, 148};
// The failure picture, left of the title.
const RECT kPictureRect = {14, 40, 62, 88};

}  // namespace

void SetFolderOpener(FolderOpener opener) { Opener() = opener ? opener : DesktopOpen; }
bool OpenFolder(const std::string& folder) { return !folder.empty() && Opener()(folder); }

bool ExportSucceeded(u32 writerResult, const RecoverCounts& counts) {
    return writerResult == kRecoverOk && counts.failed == 0 && counts.incomplete == 0;
}

ExportResult::ExportResult(HWND owner) : HomeBaseDialog(kPopupTemplate, owner, 0) { setModal(true); }

bool ExportResult::OnInitDialog() {
    HomeBaseDialog::OnInitDialog();
    ApplySkinSize("ExportResult");
    LayoutCaption();
    UiCtrl::LoadSkinItems(ClientItems(), "ExportResult", Handle());
    setWindowTitle(ui::FromUtf8(UiResources::Instance().GetString("caption")));
    if (targetPath.empty()) targetPath = LastExportDestination();
    // Something written is worth showing even when not all of it came through.
    const bool wroteSomething = counts.written + counts.incomplete > 0;
    showPath_ = success || wroteSomething;
    if (!showPath_)
        if (UiCtrl::UiItem* item = GetClientItem(kItemPathLink)) item->SetVisible(false);
    if (success) {
        WriteLog("[%s:%d] open %s\r\n", "ExportResult::OnInitDialog", __LINE__, targetPath.c_str());
        OpenFolder(targetPath);
    }
    return true;
}

bool ExportResult::OnCommand(WPARAM wParam, LPARAM lParam) {
    switch (LOWORD(wParam)) {
    case kCmdClose: EndDialog(IDCANCEL); return true;
    case kItemDone: EndDialog(IDOK); return true;
    case kItemPathLink: OpenFolder(targetPath); return true;
    default: break;
    }
    return HomeBaseDialog::OnCommand(wParam, lParam);
}

int ExportResult::DrawBackground(ui::Dc* dc) {
    if (dc) PaintWhiteClientArea(Handle(), dc);
    return 0;
}

int ExportResult::DrawContent(ui::Dc* dc) {
    if (!dc) return 0;
    UiResources& res = UiResources::Instance();
    dc->SetFont(*res.GetFont(17, 600, false));
    dc->SetTextColor(0x000000);
    RECT title = kTitleRect;
    // Alone, the failure title sits lower; with the folder line below it, it keeps its place.
    if (!success && !showPath_) {
        title.top += kFailureDrop;
        title.bottom += kFailureDrop;
    }
    if (!success)
        if (PictureHandle picture = res.LoadImageFromResource(kResTypeBitmap, kFailurePicture))
            res.DrawImage(dc, picture, kPictureRect.left, kPictureRect.top, kPictureRect.right, kPictureRect.bottom, 0xFFFFFF);
    dc->DrawText(res.GetString(success ? "RecoveryCompleted" : "RecoveryFailed"), title, DT_LEFT | DT_VCENTER | DT_SINGLELINE);
    if (showPath_) {
        dc->SetFont(*res.GetFont(14, 400, false));
        dc->SetTextColor(0x545454);
        dc->DrawText(res.GetString("RecoveredTo") + " " + targetPath, kPathRect, DT_LEFT | DT_WORDBREAK | DT_END_ELLIPSIS);
    }
    const u64 notWhole = counts.failed + counts.incomplete;
    if (notWhole > 0) {
        char text[256];
        std::snprintf(text, sizeof text, res.GetString("RecoveryNotWhole").c_str(), static_cast<unsigned long long>(notWhole),
                      static_cast<unsigned long long>(fileCount));
        dc->SetFont(*res.GetFont(14, 400, false));
        dc->SetTextColor(0x3030C0);
        dc->DrawText(text, kDetailRect, DT_LEFT | DT_WORDBREAK);
    }
    return 0;
}
