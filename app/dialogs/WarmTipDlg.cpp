#include "app/dialogs/WarmTipDlg.h"

#include <QDesktopServices>
#include <QUrl>

#include "core/Settings.h"
#include "core/Shell.h"
#include "app/ui/SkinItems.h"
#include "app/ui/UiLanguage.h"
#include "app/ui/UiResources.h"

namespace {

bool DesktopOpenUrl(const std::string& url) { return QDesktopServices::openUrl(QUrl(ui::FromUtf8(url))); }

WarmTipDlg::UrlOpener& Opener() {
    static WarmTipDlg::UrlOpener opener = DesktopOpenUrl;
    return opener;
}

const RECT kTitleRect = {170, 70, 520, 100};
const RECT kTextRect = {170, 104, 520, 250};
constexpr COLORREF kTitleColour = 0x3A6A1E;
constexpr COLORREF kTextColour = 0x333333;
constexpr COLORREF kLinkColour = 0xC07020;

int XOf(LPARAM lParam) { return GET_X_LPARAM(lParam); }
int YOf(LPARAM lParam) { return GET_Y_LPARAM(lParam); }

}  // namespace

void WarmTipDlg::SetUrlOpener(UrlOpener opener) { Opener() = opener ? opener : DesktopOpenUrl; }

WarmTipDlg::WarmTipDlg(QWidget* parent) : ui::Dialog(parent) {
    setWindowFlags(Qt::Dialog | Qt::FramelessWindowHint);
    setAttribute(Qt::WA_OpaquePaintEvent);
    setModal(true);
}

bool WarmTipDlg::OnInitDialog() {
    UiCtrl::LoadSkinItems(items_, "WarmTip", Handle());
    setFixedSize(kWidth, kHeight);
    setWindowTitle(ui::FromUtf8(UiResources::Instance().GetString("caption")));
    return true;
}

UiCtrl::UiItem* WarmTipDlg::GetItem(int id) {
    auto it = items_.find(id);
    return it == items_.end() ? nullptr : it->second.get();
}

bool WarmTipDlg::PreTranslateMessage(u32 message, WPARAM wParam, LPARAM) {
    return message == WM_KEYDOWN && (wParam == VK_ESCAPE || wParam == VK_RETURN);
}

LRESULT WarmTipDlg::OnMessage(u32 message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_PAINT: Paint(PaintDc()); return 0;
    case WM_COMMAND:
        switch (LOWORD(wParam)) {
        case kItemDontShow:
            ConfigWriteInt("ShowWarm", lParam != 0 ? 0 : 1);
            return 0;
        case kItemClose: EndDialog(IDOK); return 0;
        default: return 0;
        }
    case WM_MOUSEMOVE: MouseMove(wParam, lParam); return 0;
    case WM_LBUTTONDOWN: LButtonDown(wParam, lParam); return 0;
    case WM_LBUTTONUP: LButtonUp(wParam, lParam); return 0;
    case WM_MOUSELEAVE: MouseLeave(); return 0;
    default: return ui::Dialog::OnMessage(message, wParam, lParam);
    }
}

void WarmTipDlg::Paint(ui::Dc* dc) {
    if (!dc) return;
    UiResources& res = UiResources::Instance();
    dc->FillRect(ui::MakeRect(0, 0, kWidth, kHeight), 0xFFFFFF);
    if (PictureHandle picture = res.LoadImageFromResource(kResTypeBitmap, kFirstPicture + static_cast<int>(GetUiLanguage())))
        res.DrawImage(dc, picture, 0, 0, kWidth, kHeight, 0);
    dc->SetFont(*res.GetFont(20, 600, false));
    dc->SetTextColor(kTitleColour);
    dc->DrawText(res.GetString("WarmTipTitle"), kTitleRect, DT_LEFT | DT_VCENTER | DT_SINGLELINE);
    dc->SetFont(*res.GetFont(15, 400, false));
    dc->SetTextColor(kTextColour);
    dc->DrawText(res.GetString("WarmTipText"), kTextRect, DT_LEFT | DT_WORDBREAK);
    dc->SetFont(*res.GetFont(15, 400, true));
    dc->SetTextColor(kLinkColour);
    dc->DrawText(res.GetString("WarmTipLink"), kLinkRect, DT_LEFT | DT_VCENTER | DT_SINGLELINE);
    for (auto& [id, item] : items_) item->Draw(dc);
}

void WarmTipDlg::MouseMove(WPARAM wParam, LPARAM lParam) {
    if (!tracking_) {
        TrackMouseLeave();
        tracking_ = true;
    }
    UiCtrl::UiItem* item = UiCtrl::HitTestItems(items_, XOf(lParam), YOf(lParam));
    if (item && item == hover_) {
        item->OnMouseMove(wParam, lParam);
    } else if (!item) {
        if (hover_) {
            hover_->SetState(UiCtrl::kStateNormal);
            hover_ = nullptr;
            Invalidate();
        }
    } else {
        if (hover_) hover_->SetState(UiCtrl::kStateNormal);
        hover_ = item;
        item->SetState(UiCtrl::kStateHover);
        Invalidate();
    }
    const bool overLink = kLinkRect.Contains(XOf(lParam), YOf(lParam));
    if (overLink != handCursor_) {
        SetCursorShape(overLink ? ui::CursorShape::Hand : ui::CursorShape::Arrow);
        handCursor_ = overLink;
    }
}

void WarmTipDlg::MouseLeave() {
    tracking_ = false;
    if (hover_) {
        hover_->SetState(UiCtrl::kStateNormal);
        hover_ = nullptr;
        Invalidate();
    }
}

void WarmTipDlg::LButtonDown(WPARAM wParam, LPARAM lParam) {
    if (UiCtrl::UiItem* item = UiCtrl::HitTestItems(items_, XOf(lParam), YOf(lParam))) {
        item->SetState(UiCtrl::kStatePressed);
        item->OnMouseLBtnDown(wParam, lParam);
    }
    Invalidate();
}

void WarmTipDlg::LButtonUp(WPARAM wParam, LPARAM lParam) {
    if (UiCtrl::UiItem* item = UiCtrl::HitTestItems(items_, XOf(lParam), YOf(lParam))) {
        item->OnMouseLBtnUp(wParam, lParam);
        Invalidate();
        return;
    }
    if (kLinkRect.Contains(XOf(lParam), YOf(lParam))) {
        const std::string url = UiResources::Instance().GetString("TBUrl");
        Opener()(url);
        WriteLog("[%s:%d] goto %s\r\n", "WarmTipDlg::OnMouseLBtnUp", __LINE__, url.c_str());
    }
}

void ShowWarmTipIfWanted(QWidget* parent) {
    if (ConfigShowWarm() != 1) return;
    WarmTipDlg tip(parent);
    tip.DoModal();
}
