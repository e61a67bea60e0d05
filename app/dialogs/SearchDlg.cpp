#include "app/dialogs/SearchDlg.h"

#include <QLineEdit>
#include <QPalette>
#include <QTimer>

#include "app/ui/SkinItems.h"
#include "app/ui/UiResources.h"
#include "browser/model/BrowserSkin.h"

namespace {
// In client coordinates: the edit, the grey frame around it and the line above it.
const RECT kEditRect = {30, 67, 380, 84};
const RECT kEditFrame = {27, 62, 379, 84};
const RECT kTipRect = {27, 22, 379, 54};
// The grey of the edit's face and of the frame around it.
constexpr COLORREF kEditGrey = 0xC4C4C4;
constexpr int kEditFontHeight = 17;
constexpr int kEditFontWeight = 500;
constexpr int kTipFontHeight = 16;
constexpr int kTipFontWeight = 700;
}  // namespace

SearchDlg::SearchDlg(FileSelCtrl::SearchHandler search)
    : HomeBaseDialog(kPopupTemplate, nullptr, 0), search_(std::move(search)), endTimer_(new QTimer(this)) {
    setModal(true);
    // The window goes on taking its messages meanwhile (repaints, the search's own).
    endTimer_->setSingleShot(true);
    endTimer_->setInterval(kEndAfterSearchMs);
    QObject::connect(endTimer_, &QTimer::timeout, this, [this] { EndDialog(FileSelCtrl::kSearchDlgResult); });
}

bool SearchDlg::Searching() const { return endTimer_->isActive(); }
int SearchDlg::EndDelay() const { return endTimer_->interval(); }
void SearchDlg::SetEndDelay(int ms) { endTimer_->setInterval(ms); }

bool SearchDlg::OnInitDialog() {
    HomeBaseDialog::OnInitDialog();
    ApplySkinSize("SearchDlg");
    LayoutCaption();
    UiCtrl::LoadSkinItems(ClientItems(), "SearchDlg", Handle());
    setWindowTitle(ui::FromUtf8(UiResources::Instance().GetString("caption")));
    // The texts are the browser's, in the interface language.
    const FileSelCtrl::BrowserSkin& skin = FileSelCtrl::Skin();
    if (auto* search = dynamic_cast<UiCtrl::UiBtnWithoutWnd*>(GetClientItem(kItemSearch))) {
        search->SetText(skin.searchButton);
        search->Enable(false);
    }
    if (auto* cancel = dynamic_cast<UiCtrl::UiBtnWithoutWnd*>(GetClientItem(kItemCancel))) cancel->SetText(skin.searchCancel);
    edit_ = new QLineEdit(this);
    edit_->setGeometry(ClientToWindowX(kEditRect.left), ClientToWindowY(kEditRect.top), kEditRect.right - kEditRect.left,
                       kEditRect.bottom - kEditRect.top);
    edit_->setFont(*UiResources::Instance().GetFont(kEditFontHeight, kEditFontWeight, false));
    edit_->setFrame(false);
    // The field is grey while it takes text; disabled once the search runs, it keeps the
    // system's disabled look.
    QPalette face = edit_->palette();
    for (QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive}) face.setColor(group, QPalette::Base, ui::ColorFromRef(kEditGrey));
    edit_->setPalette(face);
    edit_->setMaxLength(FileSelCtrl::kSearchTextLimit);
    QObject::connect(edit_, &QLineEdit::textChanged, this, [this] { OnTextChanged(); });
    edit_->show();
    edit_->setFocus();
    return true;
}

void SearchDlg::OnTextChanged() {
    text_ = edit_->text().toStdString();
    if (UiCtrl::UiItem* search = GetClientItem(kItemSearch)) search->Enable(!text_.empty());
    update();
}

bool SearchDlg::OnCommand(WPARAM wParam, LPARAM lParam) {
    switch (LOWORD(wParam)) {
    case kItemSearch:
        // One search per dialog: a second press while it waits to end hands on nothing more.
        if (Searching()) return true;
        text_ = edit_ ? edit_->text().toStdString() : std::string();
        if (text_.empty()) return true;
        if (edit_) edit_->setEnabled(false);
        // The half second runs from the press, whatever the handler takes.
        endTimer_->start();
        if (search_) search_(text_);
        return true;
    case kItemCancel:
    case kCmdClose:
        endTimer_->stop();
        EndDialog(FileSelCtrl::kSearchDlgResult);
        return true;
    default: break;
    }
    return HomeBaseDialog::OnCommand(wParam, lParam);
}

int SearchDlg::DrawBackground(ui::Dc* dc) {
    if (!dc) return 0;
    PaintWhiteClientArea(Handle(), dc);
    if (edit_ && edit_->isVisible()) dc->FrameRect(kEditFrame, kEditGrey);
    return 0;
}

int SearchDlg::DrawContent(ui::Dc* dc) {
    if (!dc) return 0;
    dc->SetFont(*UiResources::Instance().GetFont(kTipFontHeight, kTipFontWeight, false));
    dc->SetTextColor(0x000000);
    RECT tip = kTipRect;
    dc->DrawText(FileSelCtrl::Skin().searchTextTip, tip, DT_VCENTER | DT_SINGLELINE);
    return 0;
}

void InstallSearchDialog() {
    FileSelCtrl::SetSearchDialog([](QWidget*, const FileSelCtrl::SearchHandler& search) {
        SearchDlg dialog(search);
        dialog.DoModal();
    });
}
