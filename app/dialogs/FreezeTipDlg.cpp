#include "app/dialogs/FreezeTipDlg.h"

#include "core/Shell.h"
#include "core/Strings.h"
#include "app/pages/WizardArt.h"
#include "app/ui/UiResources.h"

namespace {
constexpr int kWidth = 450;
constexpr int kHeight = 110;
constexpr int kSearchHeight = 70;
constexpr int kFontHeight = 17;
constexpr int kFirstPicture = 441;
}  // namespace

FreezeTipDlg::FreezeTipDlg(QWidget* parent) : ui::Dialog(parent) {
    setWindowFlags(Qt::Dialog | Qt::FramelessWindowHint);
    setModal(true);
}

bool FreezeTipDlg::OnInitDialog() {
    resize(kWidth, kHeight);
    WriteLog("%s\r\n", "FreezeTipDlg::OnInitDialog");
    SetTimer(kTimerId, kTimerMs);
    UiResources& res = UiResources::Instance();
    if (count_ == kSearchCount) {
        textRect_ = ui::MakeRect(75, 25, 440, 50);
        pictureRect_ = ui::MakeRect(8, 2, 73, 67);
        shown_ = callerText_.empty() ? res.GetString("Wait4Search") : callerText_;
        RECT measure = textRect_;
        ui::MeasureText(*res.GetFont(kFontHeight, 500, false), shown_, measure, DT_WORDBREAK);
        resize(std::max(kWidth, measure.right + 10), kSearchHeight);
    } else {
        textRect_ = ui::MakeRect(73, 25, 440, 100);
        pictureRect_ = ui::MakeRect(8, 15, 73, 80);
        shown_ = FormatLocalized(key_.c_str(), "%d", count_);
    }
    if (QWidget* p = parentWidget()) move(p->window()->geometry().center() - rect().center());
    return true;
}

bool FreezeTipDlg::PreTranslateMessage(u32 message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_KEYDOWN && (wParam == VK_ESCAPE || wParam == VK_RETURN)) return true;
    return ui::Dialog::PreTranslateMessage(message, wParam, lParam);
}

LRESULT FreezeTipDlg::OnMessage(u32 message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_TIMER:
        if (wParam != kTimerId) return 0;
        if (flag_ && flag_->load() == 0) {
            WriteLog("%s\r\n", "FreezeTipDlg::OnTimer");
            KillTimer(kTimerId);
            EndDialog(1);
            return 0;
        }
        frame_ = (frame_ + 1) % kFrames;
        Invalidate();
        return 0;
    case WM_ERASEBKGND:
        return 1;
    case WM_PAINT:
        Paint(PaintDc());
        return 0;
    default:
        return ui::Dialog::OnMessage(message, wParam, lParam);
    }
}

void FreezeTipDlg::Paint(ui::Dc* dc) {
    if (!dc) return;
    UiResources& res = UiResources::Instance();
    const RECT c = ui::MakeRect(0, 0, width(), height());
    dc->FillRect(c, 0xFFFFFF);
    dc->FrameRect(c, 0x000000);
    dc->SetFont(*res.GetFont(kFontHeight, 500, false));
    dc->SetTextColor(0x000000);
    RECT text = textRect_;
    text.right = std::min<int>(text.right, c.right - 10);
    dc->DrawText(shown_, text, DT_LEFT | DT_WORDBREAK);
    if (PictureHandle p = res.LoadImageFromResource(kResTypeBitmap, kFirstPicture + frame_))
        res.DrawImage(dc, p, pictureRect_.left, pictureRect_.top, pictureRect_.right, pictureRect_.bottom, 0xFFFFFF);
    else
        UiCtrl::art::DrawSpinner(dc, ui::MakeRect(pictureRect_.left + 12, pictureRect_.top + 12, pictureRect_.right - 12,
                                                 pictureRect_.bottom - 12),
                                 frame_, kFrames);
}
