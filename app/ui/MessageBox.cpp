#include "app/ui/MessageBox.h"

#include <QApplication>
#include <QPainter>
#include <QPainterPath>

#include "app/ui/SkinItems.h"

namespace {
constexpr COLORREF kDefaultTextColor = 0x212121;
constexpr int kButtonGap = 10;
constexpr u32 kIconMask = 0xF0;
constexpr int kInformationImage = 361;
const RECT kIconRect = ui::MakeRect(31, 39, 85, 93);
// The pictures drawn for questions and warnings, in the round style of the information picture.
const QColor kQuestionColor(0x2f, 0x80, 0xd8);
const QColor kWarningColor(0xf0, 0xa0, 0x20);

// A round picture of the colour with one white sign in it.
void DrawSignPicture(ui::Dc* dc, const RECT& r, const QColor& color, const QString& sign, bool triangle) {
    QPainter* p = dc->Painter();
    p->save();
    p->setRenderHint(QPainter::Antialiasing, true);
    const QRectF f(r.left + 4, r.top + 4, r.right - r.left - 8, r.bottom - r.top - 8);
    p->setPen(Qt::NoPen);
    p->setBrush(color);
    if (triangle) {
        QPainterPath path;
        path.moveTo(f.center().x(), f.top());
        path.lineTo(f.right(), f.bottom() - f.height() * 0.08);
        path.lineTo(f.left(), f.bottom() - f.height() * 0.08);
        path.closeSubpath();
        QPen round(color, 6, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
        p->setPen(round);
        p->drawPath(path);
    } else {
        p->drawEllipse(f);
    }
    QFont font = p->font();
    font.setBold(true);
    font.setPixelSize(static_cast<int>(f.height() * (triangle ? 0.55 : 0.62)));
    p->setFont(font);
    p->setPen(Qt::white);
    const QRectF text = triangle ? f.adjusted(0, f.height() * 0.22, 0, 0) : f;
    p->drawText(text, Qt::AlignCenter, sign);
    p->restore();
}
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
    icon_ = res.LoadImageFromResource(kResTypeBitmap, kInformationImage);
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
    // The style's picture: a question and a warning must not look like a notice.
    switch (kind_ & kIconMask) {
    case MB_ICONQUESTION: DrawSignPicture(dc, kIconRect, kQuestionColor, QStringLiteral("?"), false); break;
    case MB_ICONWARNING: DrawSignPicture(dc, kIconRect, kWarningColor, QStringLiteral("!"), true); break;
    default: res.DrawImage(dc, icon_, kIconRect.left, kIconRect.top, kIconRect.right, kIconRect.bottom, 0); break;
    }
    return 0;
}

int ShowMessageBox(HWND owner, const char* text, const char* caption, u32 kind, COLORREF textColor) {
    QZMMessageBox box(owner, textColor);
    box.SetContent(caption, text ? std::string(text) : std::string(), kind);
    const int r = box.DoModal();
    return (r >= 1 && r <= 3) ? r : 2;
}
