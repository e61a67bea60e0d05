#include "app/dialogs/SelExportPathDlg.h"

#include <QDir>

#include "core/Shell.h"
#include "app/dialogs/ShellTreeCtrl.h"
#include "app/ui/MessageBox.h"
#include "app/ui/SkinItems.h"
#include "app/ui/UiResources.h"

namespace {
const RECT kTreeRect = {23, 17, 563, 241};
const RECT kTreeBorder = {20, 15, 562, 241};
constexpr COLORREF kBorderColour = 0xC4C4C4;
constexpr COLORREF kWarningColour = 0x545454;
}  // namespace

std::string& LastExportDestination() {
    static std::string last;
    return last;
}

SelExportPathDlg::SelExportPathDlg(HWND owner) : HomeBaseDialog(kPopupTemplate, owner, 0) { setModal(true); }

bool SelExportPathDlg::OnInitDialog() {
    HomeBaseDialog::OnInitDialog();
    ApplySkinSize("SelExportPath");
    LayoutCaption();
    UiCtrl::LoadSkinItems(ClientItems(), "SelExportPath", Handle());
    setWindowTitle(ui::FromUtf8(UiResources::Instance().GetString("caption")));
    tree_ = new CShellTreeCtrl(this);
    tree_->setGeometry(ClientToWindowX(kTreeRect.left), ClientToWindowY(kTreeRect.top), kTreeRect.right - kTreeRect.left,
                       kTreeRect.bottom - kTreeRect.top);
    tree_->setStyleSheet("QTreeView { background: white; border: none; }");
    tree_->SetSelChangedCallback([this](const std::string& path) { path_ = path; });
    tree_->Populate();
    if (!tree_->SelectPath(LastExportDestination())) tree_->SelectPath(QDir::homePath().toStdString());
    tree_->show();
    return true;
}

ExportTargetCheck SelExportPathDlg::Validate() {
    ExportTargetQuery query;
    query.folder = path_;
    query.scannedDisks = SessionScannedDisks();
    query.checkedBytes = SessionCheckedBytes();
    query.freeBytes = FolderFreeBytes(path_);
    query.probeFirst = true;
    const ExportTargetCheck check = CheckExportTarget(query);
    if (check != ExportTargetCheck::kOk) {
        WriteLog("[%s:%d] refused %s: %s\r\n", "SelExportPathDlg::Validate", __LINE__, path_.c_str(),
                 ExportTargetMessageKey(check));
        if (!quiet_)
            ShowMessageBox(nullptr, UiResources::Instance().GetString(ExportTargetMessageKey(check)).c_str(), nullptr,
                           MB_ICONWARNING);
    }
    return check;
}

bool SelExportPathDlg::OnCommand(WPARAM wParam, LPARAM lParam) {
    switch (LOWORD(wParam)) {
    case kItemCancel: EndDialog(IDCANCEL); return true;
    case kItemOk:
        if (Validate() == ExportTargetCheck::kOk) {
            LastExportDestination() = path_;
            EndDialog(IDOK);
        }
        return true;
    default: break;
    }
    return HomeBaseDialog::OnCommand(wParam, lParam);
}

int SelExportPathDlg::DrawBackground(ui::Dc* dc) {
    if (!dc) return 0;
    // White first: the grey under the tree then shows as its border, left of it and above it.
    PaintWhiteClientArea(Handle(), dc);
    dc->FillRect(kTreeBorder, kBorderColour);
    return 0;
}

int SelExportPathDlg::DrawContent(ui::Dc* dc) {
    if (!dc) return 0;
    UiResources& res = UiResources::Instance();
    const int top = kTreeRect.bottom + 9;
    if (PictureHandle p = res.LoadImageFromResource(kResTypeBitmap, kWarningPicture)) res.DrawImage(dc, p, 22, top, 38, top + 16, 0xFFFFFF);
    dc->SetFont(*res.GetFont(16, 100, false));
    dc->SetTextColor(kWarningColour);
    dc->DrawText(res.GetString("DontSaveInSrc"), ui::MakeRect(40, top - 2, ClientRect().right - 20, top + 38),
                 DT_LEFT | DT_WORDBREAK | DT_END_ELLIPSIS);
    return 0;
}
