#include "app/ui/MessageBox.h"

#include <QApplication>

#include "app/ui/SkinItems.h"

namespace {
constexpr COLORREF kDefaultTextColor = 0x212121;
constexpr int kButtonGap = 10;
// Every kind of message shows the program's own picture: the kind chooses the buttons only.
constexpr int kProgramImage = 361;
const RECT kIconRect = ui::MakeRect(31, 39, 85, 93);
}  // namespace

QZMMessageBox::QZMMessageBox(HWND owner, COLORREF textColor)
    : HomeBaseDialog(kPopupTemplate, owner, 0), textColor_(textColor) {
    setModal(true);
}

void QZMMessageBox::SetContent(const char* caption, const std::string& text, u32 kind) {
    // A menu left open would sit above the box.
    if (QWidget* popup = QApplication::activePopupWidget()) popup->close();
    caption_ = caption ? std::string(caption) : UiResources::Instance().GetString("caption");
    text_ = text;
    kind_ = kind;
    setWindowTitle(ui::FromUtf8(caption_));
}

void QZMMessageBox::SetButtonTexts(const std::string& first, const std::string& second, const std::string& third) {
    buttonTexts_[0] = first;
    buttonTexts_[1] = second;
    buttonTexts_[2] = third;
}

void QZMMessageBox::SetFirstButtonText(const std::string& first) { buttonTexts_[0] = first; }

bool QZMMessageBox::OnInitDialog() {
    ApplySkinSize("MessageBox");
    HomeBaseDialog::OnInitDialog();
    UiCtrl::LoadSkinItems(ClientItems(), "MessageBox", Handle());
    auto* first = dynamic_cast<UiCtrl::UiBtnWithoutWnd*>(GetClientItem(kIdFirst));
    auto* second = dynamic_cast<UiCtrl::UiBtnWithoutWnd*>(GetClientItem(kIdSecond));
    UiResources& res = UiResources::Instance();
    if (first && second && !buttonTexts_[0].empty() && !buttonTexts_[1].empty() && !buttonTexts_[2].empty()) {
        // Three buttons in one row: the two skin buttons make room for the third at the right.
        const RECT r1 = first->GetRect();
        const RECT r2 = second->GetRect();
        const int shift = r2.Width() + kButtonGap;
        first->SetRect(ui::MakeRect(r1.left - shift, r1.top, r1.right - shift, r1.bottom));
        second->SetRect(ui::MakeRect(r2.left - shift, r2.top, r2.right - shift, r2.bottom));
        first->SetText(buttonTexts_[0]);
        second->SetText(buttonTexts_[1]);
        auto third = std::make_unique<UiCtrl::UiBtnWithoutWnd>(second->Style());
        third->Setup(Handle(), kIdThird, 3, r2.left, r2.top, r2.right, r2.bottom);
        third->SetText(buttonTexts_[2]);
        ClientItems()[kIdThird] = std::move(third);
    } else if (first) {
        if (kind_ & MB_YESNO) {
            first->SetText(buttonTexts_[0].empty() ? res.GetString("YES") : buttonTexts_[0]);
            if (second) second->SetText(buttonTexts_[1].empty() ? res.GetString("NO") : buttonTexts_[1]);
        } else {
            if (!buttonTexts_[0].empty()) first->SetText(buttonTexts_[0]);
            if (second && !buttonTexts_[1].empty()) second->SetText(buttonTexts_[1]);
        }
        first->SetVisible(true);
        const bool two = (kind_ & MB_OKCANCEL) || (kind_ & MB_YESNO);
        if (second) {
            second->SetVisible(two);
            if (!two) first->SetRect(second->GetRect());
        }
    }
    icon_ = res.LoadImageFromResource(kResTypeBitmap, kProgramImage);
    raise();
    activateWindow();
    return true;
}

bool QZMMessageBox::OnCommand(WPARAM wParam, LPARAM lParam) {
    switch (LOWORD(wParam)) {
    case kIdFirst: EndDialog(1); return true;
    case kIdSecond: EndDialog(2); return true;
    case kIdThird: EndDialog(3); return true;
    case kCmdClose: EndDialog(buttonTexts_[2].empty() ? 2 : 3); return true;
    default: return HomeBaseDialog::OnCommand(wParam, lParam);
    }
}

int QZMMessageBox::DrawBackground(ui::Dc* dc) {
    PaintWhiteClientArea(Handle(), dc);
    return 0;
}

int QZMMessageBox::DrawContent(ui::Dc* dc) {
    if (!dc) return 0;
    UiResources& res = UiResources::Instance();
    const QFont oldFont = dc->Font();
    dc->SetFont(*res.GetFont(17, 100, false));
    const COLORREF oldColor = dc->SetTextColor(textColor_ ? textColor_ : kDefaultTextColor);
    RECT measure = ui::MakeRect(96, 45, 381, 135);
    dc->DrawText(text_, measure, DT_CALCRECT | DT_WORDBREAK | DT_VCENTER);
    // A single line sits in the narrow band level with the icon.
    lastTextRect_ = measure.bottom < 75 ? ui::MakeRect(96, 55, 381, 75) : ui::MakeRect(96, 45, 381, 135);
    dc->DrawText(text_, lastTextRect_, DT_WORDBREAK | DT_VCENTER);
    dc->SetFont(oldFont);
    dc->SetTextColor(oldColor);
    res.DrawImage(dc, icon_, kIconRect.left, kIconRect.top, kIconRect.right, kIconRect.bottom, 0);
    return 0;
}

int ShowMessageBox(HWND owner, const char* text, const char* caption, u32 kind, COLORREF textColor) {
    QZMMessageBox box(owner, textColor);
    box.SetContent(caption, text ? std::string(text) : std::string(), kind);
    const int r = box.DoModal();
    return (r >= 1 && r <= 3) ? r : 2;
}
