#include "app/dialogs/SelExportPathDlg.h"

#include <QDir>

#include "core/Shell.h"
#include "app/dialogs/ShellTreeCtrl.h"
#include "app/ui/MessageBox.h"
#include "app/ui/SkinItems.h"
#include "app/ui/UiLanguage.h"
#include "app/ui/UiResources.h"
#include "platform/Stats.h"

namespace {
constexpr RECT kTreeRect = {23, 17, 563, 241};
constexpr RECT kTreeBorder = {20, 15, 562, 241};
constexpr COLORREF kBorderColour = 0xC4C4C4;
constexpr COLORREF kWarningColour = 0x545454;
constexpr u32 kStatsDestination = 12300;
// The warning line under the tree; a language whose text is laid out in two fixed lines splits
// it after seven eighths of its characters.
constexpr int kNoteTop = kTreeRect.bottom + 9;
constexpr int kNoteLeft = 40;
constexpr int kNoteRight = 570;
constexpr int kNoteLineHeight = 20;
constexpr u32 kTwoLineNoteLanguage = 4;

// The text cut after its first (characters x 7 / 8) characters, never inside a character.
std::pair<std::string, std::string> SplitAtSevenEighths(const std::string& text) {
    const QString all = ui::FromUtf8(text);
    const qsizetype characters = all.toUcs4().size();
    qsizetype cut = 0;
    for (qsizetype n = 0; n < characters * 7 / 8; ++n) cut += all.at(cut).isHighSurrogate() ? 2 : 1;
    return {all.left(cut).toStdString(), all.mid(cut).toStdString()};
}
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
        return check;
    }
    StatsText(kStatsDestination, path_.c_str());
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
    if (PictureHandle p = res.LoadImageFromResource(kResTypeBitmap, kWarningPicture))
        res.DrawImage(dc, p, 22, kNoteTop, 38, kNoteTop + 16, 0xFFFFFF);
    dc->SetFont(*res.GetFont(16, 100, false));
    dc->SetTextColor(kWarningColour);
    const std::string note = res.GetString("DontSaveInSrc");
    if (GetUiLanguage() == kTwoLineNoteLanguage) {
        const auto [first, rest] = SplitAtSevenEighths(note);
        // Not single-line: each line stands at the top of its place, as the dialogs' other notes.
        constexpr u32 kLine = DT_LEFT | DT_VCENTER | DT_END_ELLIPSIS;
        dc->DrawText(first, ui::MakeRect(kNoteLeft, kNoteTop, kNoteRight, kNoteTop + kNoteLineHeight), kLine);
        dc->DrawText(rest, ui::MakeRect(kNoteLeft, kNoteTop + kNoteLineHeight, kNoteRight, kNoteTop + 2 * kNoteLineHeight), kLine);
        return 0;
    }
    // The other languages' texts are longer than one line: they wrap in the same two lines.
    dc->DrawText(note, ui::MakeRect(kNoteLeft, kNoteTop - 2, ClientRect().right - 20, kNoteTop + 2 * kNoteLineHeight - 2),
                 DT_LEFT | DT_WORDBREAK | DT_END_ELLIPSIS);
    return 0;
}
