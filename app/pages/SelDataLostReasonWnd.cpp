#include "app/pages/SelDataLostReasonWnd.h"

#include "core/Shell.h"
#include "engine/RecoveryGraph.h"
#include "platform/Stats.h"

namespace UiCtrl {
namespace {
constexpr u32 kStatsReason = 12289;
}

SelDataLostReasonWnd::SelDataLostReasonWnd() : UiSdkWndBase("SelDataLostReasonWnd", true, false, 0) {}

int SelDataLostReasonWnd::Create(HWND parent, void* instance, RECT rect, u32 style) {
    UiSdkWndBase::Create(parent, instance, rect, style);
    LoadSkinItems(items_, "DataLostReason", GetHwnd());
    OnCommand(kFirstReason);
    return 0;
}

int SelDataLostReasonWnd::ApplyLanguage() {
    for (auto& [id, item] : items_) item->ApplyLanguage();
    Invalidate();
    return 0;
}

void SelDataLostReasonWnd::OnCommand(int id) {
    if (id >= kFirstNavigation) {
        if (QWidget* w = Widget())
            if (auto* parent = dynamic_cast<ui::WindowCore*>(w->parentWidget()))
                PostMessage(parent->Handle(), WM_COMMAND, static_cast<WPARAM>(id), reinterpret_cast<LPARAM>(GetHwnd()));
        return;
    }
    if (id < kFirstReason || id > kLastReason) return;
    if (auto* old = dynamic_cast<UiCheckBtnWithoutWnd*>(GetItem(kFirstReason + reason_))) old->SetChecked(false);
    reason_ = id - kFirstReason;
    RecoveryGraph::Instance().SetReason(static_cast<u32>(reason_));
    if (auto* chosen = dynamic_cast<UiCheckBtnWithoutWnd*>(GetItem(id))) chosen->SetChecked(true);
    WriteLog("%s SelDataLostReason %d\r\n", "UiCtrl::SelDataLostReasonWnd::OnCommand", reason_);
    StatsValue(kStatsReason, static_cast<u32>(reason_));
    Invalidate();
}

LRESULT SelDataLostReasonWnd::WndProc(u32 message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_COMMAND) {
        OnCommand(LOWORD(wParam));
        return 0;
    }
    return UiSdkWndBase::WndProc(message, wParam, lParam);
}

}  // namespace UiCtrl
