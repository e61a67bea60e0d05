#include "app/pages/SelFileTypeWnd.h"

#include <QDesktopServices>
#include <QUrl>

#include "core/Shell.h"
#include "app/pages/Tip3StepWnd.h"
#include "app/pages/WizardArt.h"
#include "engine/RecoveryGraph.h"
#include "platform/Stats.h"

namespace UiCtrl {
namespace {
constexpr int kBackgroundPicture = 525;
constexpr u32 kStatsShare = 8718;
constexpr int CMD_NEXT = 200;

struct TypeToggle {
    int id;
    u32 mask;
    art::TypeSymbol symbol;
};
// In the order next reads them.
constexpr TypeToggle kTypes[] = {
    {SelFileTypeWnd::kItemPhotos, SelFileTypeWnd::kMaskPhotos, art::TypeSymbol::Photo},
    {SelFileTypeWnd::kItemMusic, SelFileTypeWnd::kMaskMusic, art::TypeSymbol::Music},
    {SelFileTypeWnd::kItemDocuments, SelFileTypeWnd::kMaskDocuments, art::TypeSymbol::Document},
    {SelFileTypeWnd::kItemVideos, SelFileTypeWnd::kMaskVideos, art::TypeSymbol::Video},
    {SelFileTypeWnd::kItemOther, SelFileTypeWnd::kMaskOther, art::TypeSymbol::Other},
};
const char* const kShareKeys[] = {"FACEBOOK", "TWITER", "GOOGLE"};

UiCheckBtnWithoutWnd* Toggle(UiSdkWndBase& page, int id) { return dynamic_cast<UiCheckBtnWithoutWnd*>(page.GetItem(id)); }
}  // namespace

SelFileTypeWnd::SelFileTypeWnd() : UiSdkWndBase("SelFileTypeWnd", false, false, 0) {}

int SelFileTypeWnd::Create(HWND parent, void* instance, RECT rect, u32 style) {
    UiSdkWndBase::Create(parent, instance, rect, style);
    LoadSkinItems(items_, "SelFileType", GetHwnd());
    Tip3StepWnd::SetFileTypePage(GetHwnd());
    Reset();
    return 0;
}

void SelFileTypeWnd::Reset() {
    if (auto* all = Toggle(*this, kItemAllTypes)) all->SetChecked(true);
    allTypes_ = false;
    OnCommand(kItemAllTypes);
}

u32 SelFileTypeWnd::ChosenMask() const {
    u32 mask = 0;
    for (const TypeToggle& t : kTypes) {
        auto* item = Toggle(const_cast<SelFileTypeWnd&>(*this), t.id);
        if (allTypes_ || (item && item->IsChecked())) mask |= t.mask;
    }
    return mask;
}

void SelFileTypeWnd::OnCommand(int id) {
    if (id == kItemNext) {
        RecoveryGraph::Instance().SetFileTypeMask(ChosenMask());
        if (QWidget* w = Widget())
            if (auto* parent = dynamic_cast<ui::WindowCore*>(w->parentWidget()))
                PostMessage(parent->Handle(), WM_COMMAND, CMD_NEXT, reinterpret_cast<LPARAM>(GetHwnd()));
        return;
    }
    if (id >= kItemShareFirst && id <= kItemShareLast) {
        const std::string url = UiResources::Instance().GetString(kShareKeys[id - kItemShareFirst]);
        if (!url.empty()) {
            const bool opened = QDesktopServices::openUrl(QUrl(QString::fromStdString(url)));
            WriteLog("[%s:%d] goto %s\r\n", "UiCtrl::SelFileTypeWnd::OnCommand", opened ? 42 : 2, url.c_str());
            StatsEvent(kStatsShare);
        }
        // Sharing is no choice of file types: the page's choice stays as it was.
        return;
    }
    if (id == kItemAllTypes) {
        for (const TypeToggle& t : kTypes)
            if (auto* item = Toggle(*this, t.id)) item->SetChecked(false);
        allTypes_ = !allTypes_;
    } else {
        allTypes_ = false;
    }
    int n = 0;
    for (const TypeToggle& t : kTypes)
        if (auto* item = Toggle(*this, t.id); item && item->IsChecked()) ++n;
    UiItem* next = GetItem(kItemNext);
    auto* all = Toggle(*this, kItemAllTypes);
    if (allTypes_) {
        if (all) all->SetChecked(true);
        choiceMade_ = true;
    } else {
        if (all) all->SetChecked(false);
        choiceMade_ = n > 0;
    }
    if (next && next->IsEnabled() != choiceMade_) next->Enable(choiceMade_);
    Tip3StepWnd::SetChoiceMade(choiceMade_);
    Invalidate();
}

int SelFileTypeWnd::ApplyLanguage() {
    for (auto& [id, item] : items_) item->ApplyLanguage();
    Invalidate();
    return 0;
}

LRESULT SelFileTypeWnd::WndProc(u32 message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_COMMAND) {
        OnCommand(LOWORD(wParam));
        return 0;
    }
    return UiSdkWndBase::WndProc(message, wParam, lParam);
}

void SelFileTypeWnd::DrawToggle(ui::Dc* dc, int id) {
    auto* item = Toggle(*this, id);
    if (!item || !item->IsVisible()) return;
    const RECT r = item->GetRect();
    // Each toggle as its own flag says: in the all-types state only "all types" is checked.
    const bool checked = item->IsChecked();
    const bool hover = item->GetState() == kStateHover;
    dc->FillRect(r, checked ? 0xF3FAEE : (hover ? 0xFAFAFA : 0xFFFFFF));
    dc->FrameRect(r, checked ? art::kAccent : (hover ? 0xB8B8B8 : art::kFrameGrey));
    art::TypeSymbol symbol = art::TypeSymbol::AllTypes;
    for (const TypeToggle& t : kTypes)
        if (t.id == id) symbol = t.symbol;
    const int iconSize = 56;
    const int cx = (r.left + r.right) / 2;
    art::DrawTypeSymbol(dc, ui::MakeRect(cx - iconSize / 2, r.top + 16, cx + iconSize / 2, r.top + 16 + iconSize), symbol, checked);
    art::DrawCheckMark(dc, r.right - 26, r.top + 8, checked);
    UiResources& res = UiResources::Instance();
    dc->SetFont(*res.GetFont(17, 700, false));
    dc->SetTextColor(0x333333);
    dc->DrawText(item->Text1(), ui::MakeRect(r.left + 6, r.top + 78, r.right - 6, r.top + 100),
                 DT_CENTER | DT_VCENTER | DT_SINGLELINE | DT_END_ELLIPSIS);
    dc->SetFont(*res.GetFont(14, 400, false));
    dc->SetTextColor(0x808080);
    dc->DrawText(item->Text2(), ui::MakeRect(r.left + 10, r.top + 102, r.right - 10, r.bottom - 4), DT_CENTER | DT_WORDBREAK);
}

int SelFileTypeWnd::DrawBackground(ui::Dc* dc) {
    if (!dc) return 0;
    UiResources& res = UiResources::Instance();
    const RECT c = ClientRect();
    if (PictureHandle p = res.LoadImageFromResource(kResTypeBitmap, kBackgroundPicture)) {
        // The picture goes under the items: they are drawn again on top of it.
        res.DrawImage(dc, p, 0, 0, c.right, c.bottom, 0xFFFFFF);
        for (auto& [id, item] : items_)
            if (id >= kItemNext) item->Draw(dc);
    }
    dc->SetFont(*res.GetFont(24, 700, false));
    dc->SetTextColor(0x333333);
    dc->DrawText(res.GetString("FileTypeTitle"), ui::MakeRect(40, 24, c.right - 40, 58), DT_LEFT | DT_VCENTER | DT_SINGLELINE | DT_END_ELLIPSIS);
    dc->SetFont(*res.GetFont(16, 400, false));
    dc->SetTextColor(0x808080);
    dc->DrawText(res.GetString("FileTypeHint"), ui::MakeRect(40, 58, c.right - 40, 82), DT_LEFT | DT_VCENTER | DT_SINGLELINE | DT_END_ELLIPSIS);
    for (int id : {kItemAllTypes, kItemPhotos, kItemMusic, kItemDocuments, kItemVideos, kItemOther}) DrawToggle(dc, id);
    return 0;
}

}  // namespace UiCtrl
