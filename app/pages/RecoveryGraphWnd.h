#pragma once
// The page the main window shows once a scan starts: the progress strip across its top, the found
// trees below it, and the tip box. It starts scans and deep scans through the scan session,
// reacts to their end (offering or starting the complete scan), freezes the view while a phase is
// finished, follows the checked files, and reacts to a lost device, going home and closing.
#include <atomic>
#include <ctime>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "app/pages/RecoveryProgressWnd.h"
#include "browser/model/FileSelCtrl.h"
#include "browser/model/FileSelCtrlSink.h"
#include "app/pages/Tip3StepWnd.h"
#include "app/ui/UiSdkWndBase.h"
#include "platform/Sync.h"

namespace UiCtrl {

class RecoveryGraphWnd : public UiSdkWndBase, public IFileSelCtrlSink {
public:
    enum ItemId { kItemHome = 203, kItemRecover = 205 };
    enum ScanKind { kScanDeleted = 0, kScanLostPartition = 1, kScanCompleteA = 2, kScanCompleteB = 3 };
    static constexpr u32 kSelectionWaitMs = 1000;

    RecoveryGraphWnd();
    ~RecoveryGraphWnd() override;

    int Create(HWND parent, void* instance, RECT rect, u32 style) override;
    int DoStartScan(int kind);
    int DoDeepScan();
    int Tip2Quit();
    int LostDevice();
    int ApplyLanguage() override;
    LRESULT WndProc(u32 message, WPARAM wParam, LPARAM lParam) override;
    int OnSize(WPARAM wParam, LPARAM lParam) override;
    int DrawBorder(ui::Dc* dc) override;
    int DrawBackground(ui::Dc* dc) override;

    // IFileSelCtrlSink.
    void OnCheckChanged(bool somethingChecked) override;
    void Reserved1() override {}
    IStorageDevice* GetSourceDevice(IStorageDevice** out) override;
    void RecoverNode(const HeldFile& file) override;

    // Answers whether an existing file of that path may be replaced.
    using ConfirmReplace = std::function<bool(const std::string& path)>;
    enum SaveTargetCheck { kSaveTargetOk = 0, kSaveTargetInvalid = -4, kSaveTargetKept = -5 };
    // kSaveTargetInvalid when the folder cannot take a new file, kSaveTargetKept when the file
    // exists and is not to be replaced; kSaveTargetOk otherwise. Nothing existing is opened.
    static int CheckSaveTarget(const std::string& path, const ConfirmReplace& confirmReplace);
    // The proposed path of a saved result: the folder, then the scan's name and the local time.
    static std::string MakeSaveScanName(const std::string& folder, const std::string& scanName, const std::tm& local);
    // The folder saved results are proposed in (made when missing), with a trailing '/'.
    static std::string SaveScanFolder();

    // Saves the session's result to the path (".rsf" appended when it lacks it) through the
    // export window, then says how it went unless it was cancelled. 0 when saved; -4 for a path
    // that cannot be written, -5 for an existing file that is kept, -3 when the save failed.
    int SaveScanResultTo(const std::string& path, const ConfirmReplace& confirmReplace);
    // Empties the browser and the strip's texts, releases the session's trees and clears its
    // choice: before a saved result is loaded, after a load that failed, and on going home.
    void ClearScanState();
    // The name saved results are proposed under (the place scanned); emptied on going home.
    void SetScanName(const std::string& name) { scanName_ = name; }

    enum SearchResult { kSearchDone = 0, kSearchNoBrowser = -1, kSearchNoThread = -2 };
    // Called on the search thread before it searches, while the page waits in its box; tests
    // hold a search there.
    using SearchStartHook = void (*)(RecoveryGraphWnd* page);
    static void SetSearchStartHook(SearchStartHook hook);
    // A name search over the found files: it runs on the search thread while the page waits in
    // the wait box, which closes when the search ends. The hits reach the search list through
    // the browser's queue.
    int OnDoSearch(const std::string& text);
    // Before a recovery while the scan is paused for it: the tip that warns of it, unless the
    // session asks to skip it this once or the user turned it off. The skip is used up either
    // way. False when the user declined.
    bool ConfirmRecoveryInPause();

    RecoveryProgressWnd& Progress() { return progress_; }
    TipInfoWnd& Tip() { return tip_; }
    FileSelCtrl::CFileSelCtrl* Browser() const { return browser_; }
    u32 Busy() const { return busy_.load(); }
    bool SomethingChecked() const { return somethingChecked_.load() != 0; }

private:
    void OnCommand(int id, LPARAM lParam);
    void OnScanFinished();
    void GoHome();
    int DoFreeze(u32 count);
    void DoUnFreeze();
    void OnSelectionChanged(bool checked);
    void SelectedFileTip();
    // What the recovery dialogs answered (IDOK, IDCANCEL), -1 when the user declined the tip of
    // a paused scan, kRecoverySourceGone when the scanned disk is gone.
    static constexpr int kRecoverySourceGone = -6;
    int OnRecovery(const HeldFile& file = nullptr);
    int DoSaveScanResult();
    void ClearBrowser();
    void SearchThread();

    RecoveryProgressWnd progress_;
    FileSelCtrl::CFileSelCtrl* browser_ = nullptr;  // the process-wide facade; its window is the page's child
    std::atomic<u32> busy_{0};
    std::string searchText_;
    TipInfoWnd tip_;
    Event selectionEvent_{false, false};
    std::atomic<u32> somethingChecked_{0};
    std::mutex selectedTextLock_;
    std::string selectedText_;  // the latest summary of the selection thread
    std::atomic<bool> quitting_{false};
    bool quitDone_ = false;
    std::thread selectionThread_;
    std::thread searchThread_;
    std::string scanName_;
    // The modal dialog of a save or a recovery running now, told when the scanned device goes.
    HWND openDialog_ = nullptr;
};

}  // namespace UiCtrl
