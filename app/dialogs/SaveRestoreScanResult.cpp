#include "app/dialogs/SaveRestoreScanResult.h"

#include <algorithm>
#include <atomic>

#include "core/Shell.h"
#include "app/dialogs/PercentBar.h"
#include "app/ui/SkinItems.h"
#include "app/ui/UiResources.h"
#include "engine/BrowserServices.h"
#include "engine/RecoveryGraph.h"
#include "platform/WindowPost.h"

namespace {
using percentbar::kPercentFull;
constexpr int kLogLineCancel = 67;
constexpr int kLogLineDone = 80;
std::atomic<SaveRestoreScanResult::WorkerStartHook> g_startHook{nullptr};

void LogCommand(int line) { WriteRunToLog("SaveRestoreScanResult::OnCommand", line); }
}  // namespace

SaveRestoreScanResult::SaveRestoreScanResult(HWND owner, u32 direction, std::string path)
    : HomeBaseDialog(kPopupTemplate, owner, 0),
      direction_(direction),
      path_(path),
      transfer_(direction, std::move(path)) {
    setModal(true);
}

SaveRestoreScanResult::~SaveRestoreScanResult() {
    // The window only ends once the worker has posted its end; this waits only when the window
    // goes without having run (or its run was torn down), and then a cancelled worker is quick.
    if (worker_.joinable()) {
        transfer_.Cancel();
        worker_.join();
    }
}

void SaveRestoreScanResult::SetWorkerStartHook(WorkerStartHook hook) { g_startHook.store(hook); }

bool SaveRestoreScanResult::OnInitDialog() {
    HomeBaseDialog::OnInitDialog();
    ApplySkinSize("SaveRestoreScanResult");
    LayoutCaption();
    if (UiCtrl::UiItem* close = GetCaptionItem(kCmdClose)) close->SetVisible(false);
    UiCtrl::LoadSkinItems(ClientItems(), "SaveRestoreScanResult", Handle());
    UiResources& res = UiResources::Instance();
    setWindowTitle(ui::FromUtf8(res.GetString("caption")));
    progressText_ = res.GetString(direction_ != ScanResultTransfer::kImport ? "Export" : "Import");
    // A restored tree's count walk stops when this is set; a new run starts it clear.
    RecoveryGraph::Instance().SetCancelCount(0);
    // The trees go out of the browser and come back through it.
    ScanResultTransfer::Hooks hooks;
    if (direction_ == ScanResultTransfer::kImport) {
        hooks.addFolderFilter = [](const std::string& folder) { AddFilterDirectory(folder.c_str()); };
        hooks.loadTrees = &ImportScanResultFile;
    } else {
        hooks.saveTrees = &ExportBrowserScanResult;
    }
    transfer_.SetHooks(std::move(hooks));
    transfer_.SetNotifyWindow(Handle());
    SetTimer(kTimerId, kTimerMs);
    try {
        worker_ = std::thread([this] { Work(); });
    } catch (const std::exception&) {
        WriteLog("[%s:%d] no worker thread for %s\r\n", "SaveRestoreScanResult::OnInitDialog", __LINE__, path_.c_str());
        PostMessage(Handle(), WM_COMMAND, CMD_EXPORT_DONE, 0);
    }
    return true;
}

void SaveRestoreScanResult::Work() {
    if (WorkerStartHook hook = g_startHook.load()) hook(this);
    // Posts CMD_EXPORT_DONE to this window as its last step.
    transfer_.Run();
}

void SaveRestoreScanResult::reject() { PostMessage(Handle(), WM_COMMAND, kItemCancel, 0); }

bool SaveRestoreScanResult::OnCommand(WPARAM wParam, LPARAM lParam) {
    switch (LOWORD(wParam)) {
    case kItemCancel:
    case kCmdClose:
        // Also what a lost device sends: the worker stops at its next progress report.
        cancelled_ = true;
        transfer_.Cancel();
        if (UiCtrl::UiItem* cancel = GetClientItem(kItemCancel)) cancel->Enable(false);
        return true;
    case CMD_EXPORT_DONE:
        if (worker_.joinable()) worker_.join();
        KillTimer(kTimerId);
        EndDialog(transfer_.Succeeded() ? kSucceeded : kFailed);
        LogCommand(kLogLineDone);
        return true;
    default: break;
    }
    return HomeBaseDialog::OnCommand(wParam, lParam);
}

LRESULT SaveRestoreScanResult::OnMessage(u32 message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_TIMER && wParam == kTimerId) {
        if (transfer_.Range() <= 0) return 0;
        const int percent = std::clamp(transfer_.Percentage(), 0, kPercentFull);
        if (percent != shownPercent_) {
            shownPercent_ = percent;
            if (percent > kCancelHiddenAbovePercent)
                if (UiCtrl::UiItem* cancel = GetClientItem(kItemCancel)) cancel->SetVisible(false);
            Invalidate();
        }
        return 0;
    }
    return HomeBaseDialog::OnMessage(message, wParam, lParam);
}

int SaveRestoreScanResult::DrawBackground(ui::Dc* dc) {
    if (dc) PaintWhiteClientArea(Handle(), dc);
    return 0;
}

int SaveRestoreScanResult::DrawContent(ui::Dc* dc) {
    if (!dc) return 0;
    UiResources& res = UiResources::Instance();
    const QFont previousFont = dc->Font();
    dc->SetFont(*res.GetFont(16, 100, false));
    const COLORREF previousColour = dc->SetTextColor(kTextColour);
    dc->DrawText(progressText_, percentbar::kTextRect, DT_SINGLELINE | DT_VCENTER | DT_END_ELLIPSIS);
    dc->SetTextColor(previousColour);
    dc->SetFont(previousFont);
    percentbar::Draw(dc, shownPercent_);
    return 0;
}
