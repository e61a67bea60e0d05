#pragma once
// The strip across the top of the result page while a scan runs and after it ended: status,
// animation, progress bar with percent and time left, pause / continue / stop, and when the scan
// is over what it found with the buttons that lead on. It is the scan's progress sink: the scan
// thread reports to it and blocks in it while the user has paused.
//
// Threads: OnProgress, Continued and GetState run on the scan thread and only touch the run
// state, which holds go-on, pause, percent and time left under its own lock; items and texts
// change on the user-interface thread alone (the 10 ms timer draws what the run state holds). A
// control call from another thread (the session's release thread stopping a scan) changes the
// run state and posts the item work to the strip.
#include <atomic>
#include <string>

#include "app/ui/UiSdkWndBase.h"
#include "engine/Progress.h"
#include "engine/RecoveryGraph.h"
#include "engine/ScanRunState.h"

namespace UiCtrl {

class RecoveryProgressWnd : public UiSdkWndBase, public IProgress, public IProgressControl {
public:
    enum ItemId { kItemStop = 400, kItemPause = 401, kItemDeepScan = 403, kItemContinue = 404, kItemRecover = 406, kItemHome = 407, kItemSaveScan = 408 };
    static constexpr int kStripHeight = 80;
    // While a scan runs: the title's place and the animation's (or the paused picture's).
    static constexpr RECT kTitleRect = {66, 18, 784, 36};
    static constexpr RECT kPictureRect = {16, 20, 66, 70};
    static constexpr int kTimerId = 1;
    static constexpr u32 kTimerMs = 10;
    // Above this percent the scan can no longer be stopped or paused.
    static constexpr int kLastStoppablePercent = 95;
    // The strip's own message: item work asked for from another thread.
    static constexpr u32 kMsgSyncItems = WM_USER + 4150;
    // Posted by the scan thread at its pause point: wParam the Continues counted when it saw the
    // user's pause. The view is made idle on the user-interface thread, and only while no
    // Continue came since: a Continue makes the ask stale.
    static constexpr u32 kMsgPauseReached = WM_USER + 4152;

    RecoveryProgressWnd();
    ~RecoveryProgressWnd() override;

    int Create(HWND parent, void* instance, RECT rect, u32 style) override;
    int ApplyLanguage() override;
    LRESULT WndProc(u32 message, WPARAM wParam, LPARAM lParam) override;
    int OnSize(WPARAM wParam, LPARAM lParam) override;
    int OnMouseMove(WPARAM wParam, LPARAM lParam) override;
    int OnMouseLeave(WPARAM wParam, LPARAM lParam) override;
    int DrawBackground(ui::Dc* dc) override;
    int DrawBorder(ui::Dc* dc) override;

    // IProgress (scan thread).
    i32 OnProgress(const ProgressInfo* record) override;
    u32 Continued() override;
    u32 GetState() override;
    ScanRunState* RunState() override { return &run_; }
    // IProgressControl.
    void DoPause() override;
    void DoContinue() override;
    i32 DoStop(bool ask) override;

    void DoStart();
    // The scanned disk went away: a running scan stops without a question and ends there, told
    // as stopped; a scan that could not finish offers no deep scan and starts none.
    void StopForLostDevice();
    // Whether the disk of the scanned volume no longer answers.
    static bool ScannedDiskGone();
    bool StoppedForLostDevice() const { return deviceLost_; }
    // -1 when done is above total or total is 0; else 0.
    int UpdatePercent(u64 done, u64 total);
    // Scan thread: only posts the finish message to the strip itself.
    void OnScanFinished();
    int OnScanFinishedMsg();
    void ShowFinishButtons();

    int Percent() const { return run_.Get().percent; }
    i32 SecondsLeft() const { return run_.Get().secondsLeft; }
    const std::string& TimeLeftText() const { return timeLeftText_; }
    bool UserStopped() const { return userStopped_; }
    // The key of the title the strip shows now.
    const char* TitleKey() const;
    bool OfferDeepScan() const { return offerDeepScan_; }
    void SetOfferDeepScan(bool offer) { offerDeepScan_ = offer; }
    bool IsRunningOrTimed() const { return run_.IsRunning() || timerRunning_; }
    // Scans started on the strip so far: a short scan may start and end between two looks at
    // the strip, its start stays counted.
    u64 RunsStarted() const { return runsStarted_; }
    u64 StartTick() const { return run_.Get().startTick; }
    // Ticks of the strip's timer so far: a test waits on them in place of the clock.
    u64 TimerTicks() const { return timerTicks_; }
    void SetFoundText(const std::string& text) { foundText_ = text; }
    const std::string& FoundText() const { return foundText_; }
    void SetSelectedText(const std::string& text) { selectedText_ = text; }
    const std::string& SelectedText() const { return selectedText_; }
    // Width of the finish buttons (home, recover) for an interface language.
    static void FinishButtonWidths(u32 language, int* home, int* recover);
    // The milliseconds the strip estimates and counts down by; tests set a clock of their own to
    // estimate over a time they choose (nullptr: the system's steady clock).
    using Clock = u64 (*)();
    static void SetClock(Clock clock);

private:
    void OnCommand(int id, LPARAM lParam);
    void OnTimer();
    // The scan thread holds at the user's pause (kMsgPauseReached).
    void OnPauseReached(u64 continues);
    // Item visibility and enabling from the atomic state (UI thread).
    void SyncItems();
    void ShowItem(int id, bool show, bool enable);
    std::string FoundFilesText() const;
    // The deep scan is offered after a scan of a volume that found files, until it is started.
    bool DeepScanOffered() const;
    // The pause tooltip and the page's tip go when a scan ends or is stopped.
    void HideScanTips();
    void UpdateTooltip(int x, int y);
    // The tooltip shown follows the item under the pointer when pause and continue swap places.
    void RefreshTooltip();

    ScanRunState run_;
    // The user's Continues so far, counted on the user-interface thread.
    std::atomic<u64> continues_{0};
    bool userStopped_ = false;
    bool deviceLost_ = false;
    bool offerDeepScan_ = true;
    bool timerRunning_ = false;
    bool tooltipShown_ = false;
    bool finishAsked_ = false;
    // The stop question is open, and the scan ended meanwhile: the end is shown once it is
    // answered, and the answer then changes nothing.
    bool stopQuestionOpen_ = false;
    bool finishWaiting_ = false;
    int pointerX_ = -1;
    int pointerY_ = -1;
    u64 startedAt_ = 0;
    int frame_ = 0;
    int countdown_ = 0;
    u64 timerTicks_ = 0;
    u64 runsStarted_ = 0;
    std::string timeLeftText_;
    std::string foundText_;
    std::string selectedText_;
    RECT bar_{};
};

}  // namespace UiCtrl
