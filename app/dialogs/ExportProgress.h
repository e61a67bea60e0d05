#pragma once
// Runs one recovery of the checked files into a new folder under the chosen one: the writer
// works on a worker thread, this dialog paints the current file name and the bar from what the
// writer reports, and closes when the worker posts that it has ended (every end posts it).
#include <atomic>
#include <mutex>
#include <string>
#include <thread>

#include "app/ui/HomeBaseDialog.h"
#include "engine/FileRecoverCallback.h"
#include "engine/FileRecoverer.h"
#include "engine/HeldFile.h"
#include "engine/SavedResultTransfer.h"

class ExportProgress : public HomeBaseDialog, public IFileRecoverCallback {
public:
    // The cancel item has a number of its own: CMD_DEVICE_LOST (500) is the result page telling
    // the dialog that the scanned disk went away, which stops the writer without a question.
    enum ItemId { kCmdDeviceLost = CMD_DEVICE_LOST, kCmdExportDone = 501, kItemCancel = 502 };
    static constexpr u32 kTimerId = 1;
    static constexpr u32 kTimerMs = 100;

    explicit ExportProgress(HWND owner);
    ~ExportProgress() override;

    // Set before DoModal: the chosen folder. After it: the folder made for the files.
    std::string targetPath;
    // Set before DoModal to recover this one file instead of the checked ones; targetPath is
    // then the file to write, as the user chose it. Held, so that the scan may replace its tree
    // while it is written.
    HeldFile singleFile;

    u64 FilesDone() const { return filesDone_.load(); }
    u64 FileCount() const { return fileCount_.load(); }
    bool CancelRequested() const { return cancel_.load() != 0; }
    // The writer's result word (kRecoverOk, kRecoverFailed, kRecoverCancelled) and its counts.
    u32 Result() const { return result_.load(); }
    // A copy taken under the lock the worker adds under: whole after the dialog has returned.
    RecoverCounts Counts() const;
    std::string CurrentName() const;
    int Percent() const { return percent_.load(); }
    // Asks the worker to stop at its next callback; the dialog closes once it has.
    void RequestCancel() { cancel_.store(1); }
    // Tests answer the cancel question themselves.
    void SetConfirmCancel(bool (*confirm)()) { confirmCancel_ = confirm; }

    bool OnCommand(WPARAM wParam, LPARAM lParam) override;
    LRESULT OnMessage(u32 message, WPARAM wParam, LPARAM lParam) override;
    int DrawBackground(ui::Dc* dc) override;
    int DrawContent(ui::Dc* dc) override;

    i32 OnBegin(u32 fileCount, u64 totalBytes) override;
    i32 OnFilesDone(u32 n) override;
    i32 OnBytesDone(u64 n) override;
    i32 OnStep(u32 n) override;
    i32 OnFileName(const char* name) override;
    i32 IsCancelled() override;

    // Called on the worker before it writes anything; tests hold a run there.
    using WorkerStartHook = void (*)(ExportProgress* dialog);
    static void SetWorkerStartHook(WorkerStartHook hook);
    // Called on the worker after each file written whole, with the files done so far, before the
    // writer learns whether to go on; tests hold a run there.
    using FileDoneHook = void (*)(ExportProgress* dialog, u64 filesDone);
    static void SetFileDoneHook(FileDoneHook hook);

    // The folder name of a recovery made at the given local time.
    static std::string RecoveredFolderName(const std::tm& local);

protected:
    bool OnInitDialog() override;
    // The window system's close (its close button, Alt+F4, Escape) asks as the cancel item asks;
    // the dialog still ends only once the worker has.
    void reject() override;

private:
    void Work();
    u32 WriteCheckedFiles(IStorageDevice* device);
    u32 WriteSingleFile(IStorageDevice* device);
    void AddCounts(const RecoverCounts& c);
    i32 CancelAnswer() const { return cancel_.load() > 0 ? kRecoverCancel : 0; }

    std::thread worker_;
    std::atomic<int> percent_{0};
    int shownPercent_ = 0;
    std::atomic<u32> result_{kRecoverOk};
    std::atomic<int> cancel_{0};
    mutable std::mutex nameLock_;
    std::string currentName_;
    std::atomic<u64> fileCount_{0};
    std::atomic<u64> totalBytes_{0};
    std::atomic<u64> bytesDone_{0};
    std::atomic<u64> filesDone_{0};
    mutable std::mutex countsLock_;
    RecoverCounts counts_;
    bool (*confirmCancel_)() = nullptr;
    bool asking_ = false;  // the cancel question is open
};
