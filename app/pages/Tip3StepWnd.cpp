#include "app/pages/Tip3StepWnd.h"

#include <QApplication>
#include <QMenu>
#include <cstdlib>

#include "app/pages/WizardArt.h"
#include "app/ui/UiResources.h"

namespace UiCtrl {
namespace {
constexpr int kStepPictureFirst = 500;  // JPEG 500: step one, 501: step two
constexpr int kTipIcon = 361;
constexpr COLORREF kTipFrame = 0x80D21F;
// The top of the tip's text, and of a short one.
constexpr int kTextTop = 30;
constexpr int kShortTextTop = 40;
constexpr int CMD_NEXT = 200;
// A number, the same in every language file when it is there at all.
const char* const kDelayKey = "delayTime";
constexpr int CMD_BACK = 201;
constexpr int CMD_START_SCAN = 202;

HWND g_strip = nullptr;
HWND g_fileTypePage = nullptr;
HWND g_placePage = nullptr;
bool g_choiceMade = true;
bool g_scanEnabled = false;

std::string Localized(const char* key) { return UiResources::Instance().GetString(key); }
}  // namespace

HWND Tip3StepWnd::Strip() { return g_strip; }
void Tip3StepWnd::SetFileTypePage(HWND page) { g_fileTypePage = page; }
void Tip3StepWnd::SetPlacePage(HWND page) { g_placePage = page; }
void Tip3StepWnd::SetChoiceMade(bool made) {
    g_choiceMade = made;
    if (g_strip) ui::InvalidateWindow(g_strip);
}
bool Tip3StepWnd::ChoiceMade() { return g_choiceMade; }
void Tip3StepWnd::SetScanEnabled(bool enabled) {
    g_scanEnabled = enabled;
    if (g_strip) ui::InvalidateWindow(g_strip);
}

Tip3StepWnd::Tip3StepWnd() : UiSdkWndBase("Tip3StepWnd", true, false, 0) { SetScreenCopy(ScreenCopy::kWholeFromX1); }

Tip3StepWnd::~Tip3StepWnd() {
    if (g_strip == GetHwnd()) g_strip = nullptr;
}

int Tip3StepWnd::Create(HWND parent, void* instance, RECT rect, u32 style) {
    shown_ = rect;
    UiSdkWndBase::Create(parent, instance, ui::MakeRect(rect.left, rect.top, rect.left, rect.top), style);
    LoadSkinItems(items_, "Step1and2", GetHwnd());
    g_strip = GetHwnd();
    Collapse();
    ApplyCounter();
    return 0;
}

void Tip3StepWnd::Expand() {
    if (QWidget* w = Widget()) {
        w->setGeometry(ui::ToQRect(shown_));
        w->show();
        w->raise();
        OnSize(0, 0);
    }
}

void Tip3StepWnd::Collapse() {
    // An empty strip would still cover the page's top edge: it goes out of sight as well.
    if (QWidget* w = Widget()) {
        w->setGeometry(shown_.left, shown_.top, 0, 0);
        w->hide();
    }
}

void Tip3StepWnd::ApplyCounter() {
    if (UiItem* next = GetItem(kItemNext)) {
        next->SetVisible(counter_ == 0);
        if (next->IsEnabled() != g_choiceMade) next->Enable(g_choiceMade);
    }
    for (int id : {kItemBack, kItemScan})
        if (UiItem* item = GetItem(id)) item->SetVisible(counter_ != 0);
    if (UiItem* scan = GetItem(kItemScan); scan && scan->IsEnabled() != g_scanEnabled) scan->Enable(g_scanEnabled);
}

void Tip3StepWnd::Show() {
    ++counter_;
    if (counter_ == 1) Expand();
    ApplyCounter();
    Invalidate();
}

void Tip3StepWnd::Hide() {
    if (counter_ > 0) --counter_;
    if (counter_ == 0) Collapse();
    ApplyCounter();
    Invalidate();
}

int Tip3StepWnd::ApplyLanguage() {
    for (auto& [id, item] : items_) item->ApplyLanguage();
    Invalidate();
    return 0;
}

void Tip3StepWnd::OnCommand(int id) {
    switch (id) {
    case kItemNext:
        Expand();
        if (g_fileTypePage) PostMessage(g_fileTypePage, WM_COMMAND, CMD_NEXT, reinterpret_cast<LPARAM>(GetHwnd()));
        break;
    case kItemBack:
        Collapse();
        if (g_placePage) PostMessage(g_placePage, WM_COMMAND, CMD_BACK, reinterpret_cast<LPARAM>(GetHwnd()));
        break;
    case kItemScan:
        if (g_placePage) PostMessage(g_placePage, WM_COMMAND, CMD_START_SCAN, reinterpret_cast<LPARAM>(GetHwnd()));
        break;
    default:
        break;
    }
}

LRESULT Tip3StepWnd::WndProc(u32 message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_COMMAND && LOWORD(wParam) >= kItemNext) {
        OnCommand(LOWORD(wParam));
        return 0;
    }
    return UiSdkWndBase::WndProc(message, wParam, lParam);
}

int Tip3StepWnd::DrawBorder(ui::Dc* dc) {
    ApplyCounter();
    const RECT c = ClientRect();
    dc->FillRect(c, 0xFFFFFF);
    if (counter_ == 0) return 0;
    UiResources& res = UiResources::Instance();
    const int picture = kStepPictureFirst + (counter_ == 0 ? 0 : 1);
    if (PictureHandle p = res.LoadImageFromResource(kResTypeJpeg, picture)) {
        res.DrawImage(dc, p, 0, 0, c.right, c.bottom, 0);
        return 0;
    }
    // The two steps as numbered marks joined by a line; the current one in the accent colour.
    const char* steps[2] = {"StepChooseTypes", "StepChoosePlace"};
    const int centres[2] = {60, 330};
    {
        RECT first = ui::MakeRect(centres[0] + 22, 20, centres[0] + 250, 50);
        ui::MeasureText(*res.GetFont(16, 500, false), Localized(steps[0]), first, DT_SINGLELINE);
        if (first.right + 10 < centres[1] - 24) dc->Line(first.right + 10, 35, centres[1] - 24, 35, art::kFrameGrey);
    }
    for (int i = 0; i < 2; ++i) {
        const bool current = (i == 1) == (counter_ >= 1);
        const RECT mark = ui::MakeRect(centres[i] - 16, 19, centres[i] + 16, 51);
        QPainter* p = dc->Painter();
        p->save();
        p->setRenderHint(QPainter::Antialiasing, true);
        p->setPen(Qt::NoPen);
        p->setBrush(ui::ColorFromRef(current ? art::kAccent : 0xC8C8C8));
        p->drawEllipse(ui::ToQRect(mark));
        p->restore();
        dc->SetFont(*res.GetFont(17, 700, false));
        dc->SetTextColor(0xFFFFFF);
        dc->DrawText(std::to_string(i + 1), mark, DT_CENTER | DT_VCENTER | DT_SINGLELINE);
        dc->SetFont(*res.GetFont(16, current ? 700 : 500, false));
        dc->SetTextColor(current ? 0x333333 : 0x909090);
        dc->DrawText(Localized(steps[i]), ui::MakeRect(centres[i] + 22, 20, i == 0 ? centres[1] - 30 : centres[i] + 250, 50),
                     DT_LEFT | DT_VCENTER | DT_SINGLELINE | DT_END_ELLIPSIS);
    }
    dc->Line(0, c.bottom - 1, c.right, c.bottom - 1, 0xE6E6E6);
    return 0;
}

int Tip3StepWnd::DrawBackground(ui::Dc*) { return 0; }

// ---- tip box ----

TipInfoWnd::TipInfoWnd() : UiSdkWndBase("TipInfoWnd", true, false, 0) { SetScreenCopy(ScreenCopy::kWhole); }

int TipInfoWnd::Create(HWND parent, void* instance, RECT rect, u32 style) {
    UiSdkWndBase::Create(parent, instance, rect, style);
    LoadSkinItems(items_, "TipInfoWnd", GetHwnd());
    return 0;
}

bool TipInfoWnd::IsShown() const { return Widget() && Widget()->isVisible(); }

int TipInfoWnd::ShowWithDelay(const char* key) {
    if (QWidget* popup = QApplication::activePopupWidget()) popup->close();
    QWidget* w = Widget();
    if (!w || ClientRect().Width() < 1 || !key) return -1;
    key_ = key;
    text_ = Localized(key);
    w->resize(kWidth, kHeight);
    OnSize(0, 0);
    w->show();
    w->raise();
    ++timesShown_;
    const std::string delayText = Localized(kDelayKey);
    int delay = std::atoi(delayText.c_str());
    if (delayText.empty() || delay <= 0) delay = kDefaultDelaySeconds;
    delaySeconds_ = delay;
    if (auto* core = dynamic_cast<ui::WindowCore*>(w)) {
        core->KillTimer(kTimerId);
        timerRunning_ = core->SetTimer(kTimerId, static_cast<u32>(delay) * 1000);
    }
    Invalidate();
    return 0;
}

void TipInfoWnd::Hide() {
    if (auto* core = dynamic_cast<ui::WindowCore*>(Widget())) core->KillTimer(kTimerId);
    timerRunning_ = false;
    if (QWidget* w = Widget()) w->hide();
}

int TipInfoWnd::ApplyLanguage() {
    for (auto& [id, item] : items_) item->ApplyLanguage();
    if (!key_.empty()) text_ = Localized(key_.c_str());
    Invalidate();
    return 0;
}

LRESULT TipInfoWnd::WndProc(u32 message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_TIMER && wParam == kTimerId) {
        Hide();
        return 0;
    }
    if (message == WM_COMMAND) {
        Hide();
        return 0;
    }
    return UiSdkWndBase::WndProc(message, wParam, lParam);
}

int TipInfoWnd::DrawBorder(ui::Dc* dc) {
    // The frame colour under a white face one pixel smaller: a one-pixel frame round the box.
    const RECT c = ClientRect();
    dc->FillRect(c, kTipFrame);
    dc->FillRect(ui::MakeRect(c.left + 1, c.top + 1, c.right - 1, c.bottom - 1), 0xFFFFFF);
    return 0;
}

int TipInfoWnd::TextTop() const { return ui::FromUtf8(text_).size() < kShortText ? kShortTextTop : kTextTop; }

int TipInfoWnd::DrawBackground(ui::Dc* dc) {
    UiResources& res = UiResources::Instance();
    const RECT c = ClientRect();
    if (PictureHandle icon = res.LoadImageFromResource(kResTypeBitmap, kTipIcon)) res.DrawImage(dc, icon, 24, 30, 78, 84, 0);
    dc->SetFont(*res.GetFont(17, 500, false));
    dc->SetTextColor(0x000000);
    dc->DrawText(text_, ui::MakeRect(88, TextTop(), c.right - 15, 110), DT_LEFT | DT_WORDBREAK);
    return 0;
}

}  // namespace UiCtrl
