#include "app/pages/RecoveryProgressWnd.h"

#include <QCursor>
#include <algorithm>
#include <cstdio>

#include "core/Strings.h"
#include "app/pages/WizardArt.h"
#include "app/ui/HomeBaseDialog.h"
#include "app/ui/MessageBox.h"
#include "app/ui/UiLanguage.h"
#include "devices/ScanOptions.h"
#include "devices/StorageDevice.h"
#include "devices/VolumeEnumerator.h"
#include "devices/VolumeRecord.h"
#include "engine/DirectoryTree.h"
#include "core/Shell.h"
#include "platform/Stats.h"
#include "platform/Time.h"

namespace UiCtrl {
namespace {
constexpr int kAnimationFrames = 36;
constexpr int kFirstAnimationImage = 401;
constexpr int kFallbackAnimationImage = 218;
constexpr int kPausedImage = 267;
constexpr int kFinishedImage = 225;
// The expected duration of a complete scan: 60 MiB a second, plus a minute.
constexpr u64 kExpectedBytesPerSecond = 62914560;
constexpr u64 kExpectedExtraSeconds = 60;
constexpr u64 kMiB = 1048576;
constexpr u64 kGiB = 1073741824;
constexpr u64 kFoundInGigabytesAbove = 10 * kGiB;
// How long after a start the strip trusts a scan thread to exist.
constexpr u64 kNoScanGraceMs = 500;
constexpr int kDeepScanWidth = 150;
// The save item fits its text, never narrower than this, with this much room beside the text.
constexpr int kSaveScanMinWidth = 100;
constexpr int kSaveScanPadding = 28;
constexpr int kFinishItemGap = 5;
constexpr int kButtonFontHeight = 16;
// The result page's command that saves the scan result.
constexpr int kCmdSaveScan = 206;
constexpr COLORREF kTitleColor = 0x333333;
constexpr COLORREF kGreyText = 0x686868;
// Statistics events of the strip.
constexpr u32 kStatsStopClicked = 0x2109;
constexpr u32 kStatsStopSeconds = 0x3006;
constexpr u32 kStatsPaused = 0x2300;
constexpr u32 kStatsPauseSeconds = 0x3005;
constexpr u32 kStatsContinued = 0x210F;
constexpr u32 kStatsFinished = 0x210A;
constexpr u32 kStatsFinishSeconds = 0x3007;

std::string Localized(const char* key) { return UiResources::Instance().GetString(key); }
std::atomic<RecoveryProgressWnd::Clock> g_clock{nullptr};
u64 Now() {
    const RecoveryProgressWnd::Clock clock = g_clock.load();
    return clock ? clock() : GetTickCount64Ms();
}
}  // namespace

void RecoveryProgressWnd::SetClock(Clock clock) { g_clock.store(clock); }

RecoveryProgressWnd::RecoveryProgressWnd() : UiSdkWndBase("RecoveryProgress", false, false, 0) {}

RecoveryProgressWnd::~RecoveryProgressWnd() {
    // A scan thread blocked in Continued must not outlive the event it waits on.
    run_.Stop();
    RecoveryGraph::Instance().CloseScanThread();
}

int RecoveryProgressWnd::Create(HWND parent, void* instance, RECT rect, u32 style) {
    UiSdkWndBase::Create(parent, instance, rect, style);
    LoadSkinItems(items_, "RecoveryProgress", GetHwnd());
    ShowItem(kItemRecover, false, true);
    ShowItem(kItemHome, false, true);
    ShowItem(kItemSaveScan, false, false);
    ShowItem(kItemDeepScan, false, true);
    ShowItem(kItemContinue, false, true);
    ShowItem(kItemStop, false, true);
    ShowItem(kItemPause, false, true);
    return OnSize(0, 0);
}

void RecoveryProgressWnd::ShowItem(int id, bool show, bool enable) {
    if (UiItem* item = GetItem(id)) {
        item->SetVisible(show);
        if (item->IsEnabled() != enable) item->Enable(enable);
    }
}

// ---- the scan thread's side ----

i32 RecoveryProgressWnd::OnProgress(const ProgressInfo* record) {
    if (!record || record->Total == 0) return -1;
    if (record->Type == kProgressPhaseDone) {
        PostMessage(RecoveryGraph::Instance().GetPageWindow(), WM_UI_FREEZE_VIEW, 1,
                    static_cast<LPARAM>(static_cast<u32>(record->Total)));
        run_.PhaseDone(Now());
    } else if (record->Type != kProgressScanEnded && record->Done > 0) {
        UpdatePercent(record->Done, record->Total);
    }
    return static_cast<i32>(Continued());
}

int RecoveryProgressWnd::UpdatePercent(u64 done, u64 total) {
    return run_.UpdatePercent(done, total, RecoveryGraph::Instance().GetScanMode() == kScanModeDeleted, Now());
}

u32 RecoveryProgressWnd::Continued() {
    RecoveryGraph& session = RecoveryGraph::Instance();
    // Counted before the state is read: a Continue after the read leaves this ask behind.
    const u64 continues = continues_.load();
    if (run_.GetState() == kProgressPaused && session.GetPausedBySession() == 0 && session.GetDirectoryTree()) {
        WriteRunToLog("UiCtrl::RecoveryProgressWnd::Continued", __LINE__);
        // The user paused: the view becomes idle once this thread holds, after what it
        // delivered so far. Told from here, the ask could reach the view after the user's
        // Continue and leave it idle for the rest of the scan.
        PostMessage(GetHwnd(), kMsgPauseReached, static_cast<WPARAM>(continues), 0);
        WriteRunToLog("UiCtrl::RecoveryProgressWnd::Continued", __LINE__);
    }
    return run_.WaitWhilePaused() ? 1 : 0;
}

void RecoveryProgressWnd::OnPauseReached(u64 continues) {
    RecoveryGraph& session = RecoveryGraph::Instance();
    if (continues != continues_.load() || run_.GetState() != kProgressPaused || session.GetPausedBySession() != 0) return;
    if (IDirectoryTree* view = session.GetDirectoryTree()) view->SetBuildState(false);
}

u32 RecoveryProgressWnd::GetState() { return run_.GetState(); }

void RecoveryProgressWnd::OnScanFinished() { PostMessage(GetHwnd(), WM_UI_SCAN_FINISHED, 0, 0); }

// ---- the user-interface side ----

void RecoveryProgressWnd::DoStart() {
    u64 expected = kExpectedExtraSeconds;
    // A scan of folders alone has no device to measure: the fixed minute stands.
    if (IStorageDevice* device = RecoveryGraph::Instance().GetFirstVolumeDevice())
        expected = device->GetTotalSectors() * device->GetSectorSize() / kExpectedBytesPerSecond + kExpectedExtraSeconds;
    const u64 now = Now();
    run_.Start(now, expected);
    ++runsStarted_;
    ShowFinishButtons();
    if (auto* core = dynamic_cast<ui::WindowCore*>(Widget())) {
        core->KillTimer(kTimerId);
        timerRunning_ = core->SetTimer(kTimerId, kTimerMs);
    }
    timeLeftText_ = Localized("CalcTime");
    countdown_ = 0;
    ShowItem(kItemPause, true, true);
    ShowItem(kItemStop, true, true);
    ShowItem(kItemContinue, false, true);
    ShowItem(kItemDeepScan, false, true);
    startedAt_ = now;
    finishAsked_ = false;
    frame_ = 0;
    userStopped_ = false;
    deviceLost_ = false;
    tooltipShown_ = false;
    foundText_.clear();
    selectedText_.clear();
    if (HWND parent = RecoveryGraph::Instance().GetPageWindow()) SendMessage(parent, WM_UI_REFRESH_FILES, 0, 0);
    if (IDirectoryTree* view = RecoveryGraph::Instance().GetDirectoryTree()) view->SetBuildState(true);
    Invalidate();
}

void RecoveryProgressWnd::DoPause() {
    // Only a running scan pauses: a pause after the end or a stop must not revive it.
    if (!run_.Pause(Now())) return;
    if (RecoveryGraph::Instance().GetPausedBySession() != 0) return;
    if (!ui::OnUiThread()) {
        PostMessage(GetHwnd(), kMsgSyncItems, 0, 0);
        return;
    }
    ShowItem(kItemContinue, true, true);
    ShowItem(kItemPause, false, true);
    Invalidate();
    StatsEvent(kStatsPaused);
    const ScanRunState::Snapshot state = run_.Get();
    StatsValue(kStatsPauseSeconds, static_cast<u32>((state.pauseTick - state.startTick) / 1000));
}

void RecoveryProgressWnd::DoContinue() {
    // Paused time is not scan time: the run state moves the start on by it.
    if (!run_.Continue(Now())) return;
    continues_.fetch_add(1);
    RecoveryGraph& session = RecoveryGraph::Instance();
    if (session.GetPausedBySession() == 0)
        if (IDirectoryTree* view = session.GetDirectoryTree()) view->SetBuildState(true);
    if (!ui::OnUiThread()) {
        PostMessage(GetHwnd(), kMsgSyncItems, 0, 0);
        return;
    }
    ShowItem(kItemContinue, false, true);
    ShowItem(kItemPause, true, true);
    if (HWND parent = session.GetPageWindow()) {
        SendMessage(parent, WM_UI_REFRESH_FILES, 0, 0);
        PostMessage(parent, WM_UI_SELECTION_CHANGED, 0, 0);
    }
    Invalidate();
    StatsEvent(kStatsContinued);
}

i32 RecoveryProgressWnd::DoStop(bool ask) {
    if (run_.IsRunning() && ask) {
        if (stopQuestionOpen_) return -1;
        stopQuestionOpen_ = true;
        QZMMessageBox box(nullptr, 0);
        box.SetContent(nullptr, Localized("Sure2Stop"), MB_YESNO | MB_ICONWARNING);
        box.SetFirstButtonText(Localized("Stop"));
        const int answer = box.DoModal();
        stopQuestionOpen_ = false;
        // A scan that ended while the question was open completed: there is nothing left to
        // stop, whatever the answer, and its end is shown now.
        if (finishWaiting_) {
            finishWaiting_ = false;
            OnScanFinishedMsg();
            return -1;
        }
        // The scan thread has ended and its finish is on its way: a stop now would only relabel
        // a completed scan as stopped.
        if (answer != kMessageBoxFirstButton || !RecoveryGraph::Instance().IsScanRunning()) return -1;
    }
    run_.Stop();
    GetScanOptions().SetStopRequested(1);
    if (!ui::OnUiThread()) {
        PostMessage(GetHwnd(), kMsgSyncItems, 0, 0);
        return 0;
    }
    SyncItems();
    HideScanTips();
    Invalidate();
    return 0;
}

bool RecoveryProgressWnd::ScannedDiskGone() {
    const VolumeRecord* volume = RecoveryGraph::Instance().GetFirstVolume();
    // Only a volume read from a disk of the table can lose it.
    return volume && volume->device && volume->extents[0].disk && !GetFirstDiskGeometry(volume);
}

void RecoveryProgressWnd::StopForLostDevice() {
    // A scan that had ended before the disk went stays as it ended.
    if (run_.IsRunning() || timerRunning_) deviceLost_ = true;
    DoStop(false);
}

void RecoveryProgressWnd::SyncItems() {
    const ScanRunState::Snapshot state = run_.Get();
    const bool running = state.state != kProgressStopped;
    const bool pausedByUser = state.state == kProgressPaused && RecoveryGraph::Instance().GetPausedBySession() == 0;
    if (!running) {
        for (int id : {kItemStop, kItemPause, kItemContinue}) ShowItem(id, false, false);
        return;
    }
    const bool stoppable = state.percent <= kLastStoppablePercent;
    ShowItem(kItemStop, true, stoppable);
    ShowItem(kItemPause, !pausedByUser, stoppable);
    ShowItem(kItemContinue, pausedByUser, true);
}

int RecoveryProgressWnd::OnScanFinishedMsg() {
    if (QWidget* w = Widget()) w->show();
    RecoveryGraph& session = RecoveryGraph::Instance();
    if (!run_.IsRunning() && !timerRunning_ && session.GetScanMode() != kScanModeRestored) return 0;
    if (stopQuestionOpen_) {
        // Behind the open question the strip keeps showing the run; the view is let go now all
        // the same, or a wait box opened behind the question would wait for the answer for ever.
        finishWaiting_ = true;
        if (HWND parent = session.GetPageWindow()) PostMessage(parent, WM_UI_FREEZE_VIEW, 0, 0);
        return 0;
    }
    // The scan's own reads may meet a missing disk before the watcher tells the page: a scan that
    // ends on a disk that is gone was stopped by it, whatever it found until then.
    if (session.GetScanMode() != kScanModeRestored && ScannedDiskGone()) deviceLost_ = true;
    run_.Stop();
    if (auto* core = dynamic_cast<ui::WindowCore*>(Widget())) core->KillTimer(kTimerId);
    timerRunning_ = false;
    // A stopped scan thread ends without its count pass: what the trees kept is what was found.
    if ((userStopped_ || GetScanOptions().GetStopRequested() != 0) && !session.IsScanRunning()) session.CountFoundFilesFromTrees();
    ShowFinishButtons();
    const u32 seconds = static_cast<u32>((Now() - run_.Get().startTick) / 1000);
    if (!userStopped_ && !deviceLost_ && session.GetScanMode() != kScanModeRestored) {
        StatsEvent(kStatsFinished);
        StatsValue(kStatsFinishSeconds, seconds);
    }
    if (IDirectoryTree* view = session.GetDirectoryTree()) view->SetBuildState(false);
    HWND parent = session.GetPageWindow();
    if (parent) SendMessage(parent, WM_UI_REFRESH_FILES, 0, 0);
    for (int id : {kItemPause, kItemStop, kItemContinue}) ShowItem(id, false, false);
    HideScanTips();
    foundText_ = FoundFilesText();
    ShowItem(kItemDeepScan, DeepScanOffered(), true);
    Invalidate();
    if (parent) {
        PostMessage(parent, WM_UI_FREEZE_VIEW, 0, 0);
        PostMessage(parent, WM_UI_SCAN_FINISHED, 0, 0);
    }
    return 1;
}

std::string RecoveryProgressWnd::FoundFilesText() const {
    const RecoveryGraph& session = RecoveryGraph::Instance();
    const u64 bytes = session.GetFoundFileBytes();
    const bool gb = bytes > kFoundInGigabytesAbove;
    const double size = static_cast<double>(bytes) / static_cast<double>(gb ? kGiB : kMiB);
    std::string text = FormatLocalized("FoundFileTip", "%llu%.2f%s", static_cast<unsigned long long>(session.GetFoundFileCount()),
                                       size, gb ? "GB" : "MB");
    if (const u64 more = session.GetSecondFoundFileCount(); more > 0) {
        // The language files keep no leading blank: the line puts it between the two texts.
        text += ' ';
        text += FormatLocalized("FoundFileTip1", "%llu", static_cast<unsigned long long>(more));
    }
    return text;
}

bool RecoveryProgressWnd::DeepScanOffered() const {
    // A loaded result has no volume being scanned to search more deeply, whatever the flag says.
    RecoveryGraph& session = RecoveryGraph::Instance();
    // Nor has a disk that went away, during the scan or after it (nothing is chosen then).
    return offerDeepScan_ && !deviceLost_ && session.GetScanMode() != kScanModeRestored && session.GetFoundFileCount() != 0 &&
           session.GetFirstVolume() != nullptr;
}

void RecoveryProgressWnd::HideScanTips() {
    if (tooltipShown_) UpdateTooltip(-1, -1);
    // The page's tip (the pause and deep-scan notes) belongs to a running scan alone.
    if (HWND page = RecoveryGraph::Instance().GetPageWindow()) PostMessage(page, WM_COMMAND, kItemContinue, 0);
}

void RecoveryProgressWnd::FinishButtonWidths(u32 language, int* home, int* recover) {
    static const int kWidths[6][2] = {{120, 120}, {108, 118}, {118, 108}, {148, 68}, {128, 88}, {168, 88}};
    const int* w = language < 6 ? kWidths[language] : kWidths[0];
    *home = w[0];
    *recover = w[1];
}

void RecoveryProgressWnd::ShowFinishButtons() {
    UiItem* recover = GetItem(kItemRecover);
    UiItem* home = GetItem(kItemHome);
    if (!recover || !home) return;
    UiItem* save = GetItem(kItemSaveScan);
    if (run_.IsRunning() || timerRunning_) {
        recover->SetVisible(false);
        home->SetVisible(false);
        if (save) save->SetVisible(false);
        ShowItem(kItemDeepScan, false, true);
        return;
    }
    for (int id : {kItemPause, kItemStop, kItemContinue}) ShowItem(id, false, false);
    ShowItem(kItemDeepScan, DeepScanOffered(), true);
    recover->SetVisible(true);
    home->SetVisible(true);
    // Only a result that holds files is worth saving.
    ShowItem(kItemSaveScan, true, RecoveryGraph::Instance().GetFoundFileCount() != 0);
    const int cx = ClientRect().Width();
    if (cx <= 0) return;
    int homeWidth = 0, recoverWidth = 0;
    FinishButtonWidths(GetUiLanguage(), &homeWidth, &recoverWidth);
    const int recoverRight = cx - 20;
    recover->SetRect(ui::MakeRect(recoverRight - recoverWidth, 15, recoverRight, 65));
    const int homeRight = recoverRight - recoverWidth - 5;
    home->SetRect(ui::MakeRect(homeRight - homeWidth, 15, homeRight, 65));
    int leftmost = homeRight - homeWidth;
    if (save) {
        RECT text{};
        ui::MeasureText(*UiResources::Instance().GetFont(kButtonFontHeight, 500, false), Localized("BtnSaveScan"), text, DT_SINGLELINE);
        const int saveWidth = std::max(kSaveScanMinWidth, text.Width() + kSaveScanPadding);
        const int saveRight = leftmost - kFinishItemGap;
        save->SetRect(ui::MakeRect(saveRight - saveWidth, 15, saveRight, 65));
        leftmost = saveRight - saveWidth;
    }
    if (UiItem* deep = GetItem(kItemDeepScan)) {
        const int deepRight = leftmost - 15;
        deep->SetRect(ui::MakeRect(deepRight - kDeepScanWidth, 20, deepRight, 60));
    }
}

int RecoveryProgressWnd::ApplyLanguage() {
    for (auto& [id, item] : items_) item->ApplyLanguage();
    bar_ = RECT{};
    OnSize(0, 0);
    ShowFinishButtons();
    if (!run_.IsRunning() && !timerRunning_ && !foundText_.empty()) foundText_ = FoundFilesText();
    if (run_.IsRunning()) timeLeftText_ = run_.Get().secondsLeft == 0 ? Localized("CalcTime") : timeLeftText_;
    selectedText_.clear();
    Invalidate();
    return 0;
}

int RecoveryProgressWnd::OnSize(WPARAM wParam, LPARAM lParam) {
    UiSdkWndBase::OnSize(wParam, lParam);
    const int cx = ClientRect().Width();
    if (cx <= 0) return 0;
    if (UiItem* stop = GetItem(kItemStop)) stop->SetRect(ui::MakeRect(cx - 110, 24, cx - 30, 52));
    for (int id : {kItemPause, kItemContinue})
        if (UiItem* item = GetItem(id)) item->SetRect(ui::MakeRect(cx - 200, 24, cx - 120, 52));
    bar_ = ui::MakeRect(66, 38, cx - 210, 46);
    ShowFinishButtons();
    Invalidate();
    return 1;
}

void RecoveryProgressWnd::OnTimer() {
    ++timerTicks_;
    frame_ = (frame_ + 1) % kAnimationFrames;
    const ScanRunState::Snapshot state = run_.Get();
    // A scan thread that ended without its finish message (a scan mode this build cannot run,
    // a controller that failed to start) must not leave the strip running for ever.
    if (state.state != kProgressStopped && !finishAsked_ && Now() - startedAt_ > kNoScanGraceMs &&
        !RecoveryGraph::Instance().IsScanRunning()) {
        finishAsked_ = true;
        PostMessage(GetHwnd(), WM_UI_SCAN_FINISHED, 0, 0);
    }
    if (state.state == kProgressRunning) {
        const i32 s = state.secondsLeft;
        if (s != 0) {
            int hours = s / 3600, minutes = (s / 60) % 60, seconds = s % 60;
            if (run_.TakeQuietSecond(Now())) {
                if (--countdown_ < 0) countdown_ = 59;
                seconds = countdown_;
            } else {
                countdown_ = seconds;
            }
            char text[32];
            std::snprintf(text, sizeof text, "   %02d:%02d:%02d", hours, minutes, seconds);
            timeLeftText_ = text;
        }
    }
    SyncItems();
    RECT r = ClientRect();
    r.top += 10;
    r.bottom += 10;
    if (r.right > 690) r.right = 690;
    if (auto* core = dynamic_cast<ui::WindowCore*>(Widget())) core->InvalidateRect(r);
    // The buttons may have changed state with the percent.
    if (state.percent > kLastStoppablePercent) Invalidate();
}

void RecoveryProgressWnd::OnCommand(int id, LPARAM lParam) {
    HWND page = RecoveryGraph::Instance().GetPageWindow();
    switch (id) {
    case kItemStop:
        if (lParam != 0) {
            userStopped_ = false;
            DoStop(false);
        } else {
            // Stopped by the user only once the question was answered with a stop of a scan
            // that still ran.
            if (DoStop(true) != 0) break;
            userStopped_ = true;
            StatsEvent(kStatsStopClicked);
            StatsValue(kStatsStopSeconds, static_cast<u32>((Now() - run_.Get().startTick) / 1000));
        }
        break;
    case kItemPause:
        DoPause();
        RefreshTooltip();
        if (page) PostMessage(page, WM_COMMAND, kItemPause, 0);
        break;
    case kItemDeepScan:
        if (page) SendMessage(page, WM_COMMAND, 204, 0);
        offerDeepScan_ = false;
        Invalidate();
        break;
    case kItemContinue:
        DoContinue();
        RefreshTooltip();
        if (page) PostMessage(page, WM_COMMAND, kItemContinue, 0);
        break;
    case kItemRecover:
        if (page) SendMessage(page, WM_COMMAND, 205, 0);
        Invalidate();
        break;
    case kItemHome:
        if (page) SendMessage(page, WM_COMMAND, 203, 0);
        Invalidate();
        break;
    case kItemSaveScan:
        if (page) SendMessage(page, WM_COMMAND, kCmdSaveScan, 0);
        Invalidate();
        break;
    default:
        break;
    }
}

LRESULT RecoveryProgressWnd::WndProc(u32 message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_COMMAND:
        OnCommand(LOWORD(wParam), lParam);
        return 0;
    case WM_TIMER:
        if (wParam == kTimerId) OnTimer();
        return 0;
    case WM_UI_SCAN_FINISHED:
        return OnScanFinishedMsg();
    case kMsgPauseReached:
        OnPauseReached(static_cast<u64>(wParam));
        return 0;
    case kMsgSyncItems:
        SyncItems();
        RefreshTooltip();
        Invalidate();
        return 0;
    default:
        return UiSdkWndBase::WndProc(message, wParam, lParam);
    }
}

void RecoveryProgressWnd::UpdateTooltip(int x, int y) {
    auto* main = dynamic_cast<HomeBaseDialog*>(Widget() ? Widget()->window() : nullptr);
    if (!main) return;
    const char* key = nullptr;
    if (UiItem* item = HitTestItems(items_, x, y)) {
        if (item->Id() == kItemPause) key = "PauseTip";
        else if (item->Id() == kItemContinue) key = "ContinueTip";
        else if (item->Id() == kItemStop) key = "StopTip";
    }
    if (key) {
        const QPoint at = Widget()->mapTo(main, QPoint(x, y));
        main->ShowCaptionTip(at.x(), at.y() - 10, 1, Localized(key), 0);
        tooltipShown_ = true;
    } else if (tooltipShown_) {
        main->ShowCaptionTip(0, 0, 0, std::string(), 1);
        tooltipShown_ = false;
    }
}

void RecoveryProgressWnd::RefreshTooltip() {
    if (tooltipShown_) UpdateTooltip(pointerX_, pointerY_);
}

int RecoveryProgressWnd::OnMouseMove(WPARAM wParam, LPARAM lParam) {
    pointerX_ = GET_X_LPARAM(lParam);
    pointerY_ = GET_Y_LPARAM(lParam);
    UpdateTooltip(pointerX_, pointerY_);
    return UiSdkWndBase::OnMouseMove(wParam, lParam);
}

int RecoveryProgressWnd::OnMouseLeave(WPARAM wParam, LPARAM lParam) {
    pointerX_ = pointerY_ = -1;
    UpdateTooltip(-1, -1);
    return UiSdkWndBase::OnMouseLeave(wParam, lParam);
}

const char* RecoveryProgressWnd::TitleKey() const {
    RecoveryGraph& session = RecoveryGraph::Instance();
    const ScanRunState::Snapshot state = run_.Get();
    if (session.GetScanMode() == kScanModeRestored) return "ImportOk";
    if (state.state != kProgressStopped || timerRunning_)
        return (session.GetPausedBySession() != 0 || state.state != kProgressPaused) ? "Searching" : "Pause";
    return userStopped_ || deviceLost_ ? "ScanStopped" : "ScanCompleted";
}

int RecoveryProgressWnd::DrawBorder(ui::Dc* dc) {
    const RECT c = ClientRect();
    dc->FillRect(c, 0xFFFFFF);
    dc->Line(0, c.bottom - 1, c.right, c.bottom - 1, art::kFrameGrey);
    return 0;
}

int RecoveryProgressWnd::DrawBackground(ui::Dc* dc) {
    if (!dc) return 0;
    UiResources& res = UiResources::Instance();
    RecoveryGraph& session = RecoveryGraph::Instance();
    const ScanRunState::Snapshot state = run_.Get();
    const bool running = state.state != kProgressStopped || timerRunning_;
    const char* title = TitleKey();
    const int right = bar_.right > 66 ? bar_.right : ClientRect().right - 210;
    dc->SetFont(*res.GetFont(18, 700, false));
    dc->SetTextColor(kTitleColor);
    if (running) {
        // Never under the buttons beside the bar, where a narrow page has them.
        dc->DrawText(Localized(title), ui::MakeRect(kTitleRect.left, kTitleRect.top, std::min<int>(kTitleRect.right, right), kTitleRect.bottom),
                     DT_LEFT | DT_VCENTER | DT_SINGLELINE | DT_END_ELLIPSIS);
        const RECT pic = kPictureRect;
        const bool pausedByUser = state.state == kProgressPaused && session.GetPausedBySession() == 0;
        if (pausedByUser) {
            if (PictureHandle p = res.LoadImageFromResource(kResTypeBitmap, kPausedImage)) res.DrawImage(dc, p, pic.left, pic.top, pic.right, pic.bottom, 0xFFFFFF);
            else art::DrawPauseMark(dc, pic);
        } else if (PictureHandle p = res.LoadImageFromResource(kResTypeBitmap, kFirstAnimationImage + frame_)) {
            res.DrawImage(dc, p, pic.left, pic.top, pic.right, pic.bottom, 0xFFFFFF);
        } else if (PictureHandle f = res.LoadImageFromResource(kResTypeBitmap, kFallbackAnimationImage)) {
            res.DrawImage(dc, f, pic.left, pic.top, pic.right, pic.bottom, 0xFFFFFF);
        } else {
            art::DrawSpinner(dc, pic, frame_, kAnimationFrames);
        }
        const int pct = state.percent;
        const RECT bar = ui::MakeRect(66, 38, right, 46);
        const int done = bar.Width() * pct / 100;
        dc->FillRect(bar, 0xFFFFFF);
        dc->FillRect(ui::MakeRect(bar.left, bar.top, bar.left + done, bar.bottom), art::kBarDone);
        dc->FrameRect(ui::MakeRect(bar.left - 1, bar.top - 1, bar.right + 1, bar.bottom + 1), art::kFrameGrey);
        dc->SetFont(*res.GetFont(15, 500, false));
        dc->SetTextColor(kGreyText);
        const std::string under = pct < 96 ? Localized("LeftTime") + " " + timeLeftText_ : Localized("ReConsultTree");
        dc->DrawText(under, ui::MakeRect(66, 50, right - 60, 70), DT_LEFT | DT_VCENTER | DT_SINGLELINE | DT_END_ELLIPSIS);
        char pctText[16];
        std::snprintf(pctText, sizeof pctText, "%d%%", pct);
        dc->DrawText(pctText, ui::MakeRect(right - 60, 50, right, 70), DT_RIGHT | DT_VCENTER | DT_SINGLELINE);
        return 0;
    }
    const RECT mark = ui::MakeRect(10, 18, 56, 64);
    if (PictureHandle p = res.LoadImageFromResource(kResTypeBitmap, kFinishedImage)) res.DrawImage(dc, p, mark.left, mark.top, mark.right, mark.bottom, 0xFFFFFF);
    else if (userStopped_ || deviceLost_) art::DrawStoppedMark(dc, mark);  // a stopped scan did not succeed
    else art::DrawDoneMark(dc, mark);
    const int left = 66;
    const RECT home = GetItem(kItemHome) ? GetItem(kItemHome)->GetRect() : ui::MakeRect(ClientRect().right, 0, 0, 0);
    UiItem* deep = GetItem(kItemDeepScan);
    const bool offer = deep && deep->IsVisible();
    const int textRight = (offer ? deep->GetRect().left : home.left) - 10;
    dc->DrawText(Localized(title), ui::MakeRect(left, 4, textRight, 26), DT_LEFT | DT_VCENTER | DT_SINGLELINE | DT_END_ELLIPSIS);
    dc->SetFont(*res.GetFont(15, 500, false));
    dc->SetTextColor(kGreyText);
    dc->DrawText(foundText_, ui::MakeRect(left, 26, textRight, 44), DT_LEFT | DT_VCENTER | DT_SINGLELINE | DT_END_ELLIPSIS);
    if (offer) {
        dc->SetFont(*res.GetFont(14, 500, false));
        dc->SetTextColor(art::kAccent);
        dc->DrawText(Localized("DeepScanTip"), ui::MakeRect(left, 44, textRight, 61), DT_LEFT | DT_VCENTER | DT_SINGLELINE | DT_END_ELLIPSIS);
        dc->DrawText(Localized("DeepScanTip2"), ui::MakeRect(left, 61, textRight, 78), DT_LEFT | DT_VCENTER | DT_SINGLELINE | DT_END_ELLIPSIS);
    } else if (deviceLost_) {
        // Why the scan ended, in place of the selection: the files found stay on a disk that is
        // gone.
        dc->SetTextColor(art::kWarningText);
        dc->DrawText(Localized("LostDevice"), ui::MakeRect(left, 46, textRight, 68), DT_LEFT | DT_VCENTER | DT_SINGLELINE | DT_END_ELLIPSIS);
    } else {
        dc->DrawText(selectedText_, ui::MakeRect(left, 46, textRight, 68), DT_LEFT | DT_VCENTER | DT_SINGLELINE | DT_END_ELLIPSIS);
    }
    return 0;
}

}  // namespace UiCtrl
