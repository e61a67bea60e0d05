#pragma once
// The window shown while a scan result is saved to a ".rsf" file or loaded from one. The transfer
// itself runs on a worker thread; the window only draws the worker's position on a timer, turns
// the cancel button (and a lost device) into a cancel request, and ends when the worker posts
// that it is done: with kSucceeded when the transfer is complete, kFailed otherwise.
#include <string>
#include <thread>

#include "app/ui/HomeBaseDialog.h"
#include "engine/SavedResultTransfer.h"

class SaveRestoreScanResult : public HomeBaseDialog {
public:
    enum Result { kSucceeded = 1, kFailed = 2 };
    enum ItemId { kItemCancel = CMD_DEVICE_LOST };
    static constexpr u32 kTimerId = 1;
    static constexpr u32 kTimerMs = 100;
    // The cancel button goes once the transfer is past its middle: what is left is short.
    static constexpr int kCancelHiddenAbovePercent = 50;
    static constexpr COLORREF kTextColour = RGB(0x61, 0x61, 0x61);

    // direction: ScanResultTransfer::kExport or kImport.
    SaveRestoreScanResult(HWND owner, u32 direction, std::string path);
    ~SaveRestoreScanResult() override;

    const std::string& Path() const { return path_; }
    // Set when the cancel button or a lost device stopped the transfer.
    bool Cancelled() const { return cancelled_; }
    // The restored trees an import handed to the session and the browser.
    u32 Delivered() const { return transfer_.Delivered(); }
    bool Succeeded() const { return transfer_.Succeeded(); }
    const std::string& ProgressText() const { return progressText_; }
    // The percentage the bar was last drawn for.
    int ShownPercent() const { return shownPercent_; }
    ScanResultTransfer& Transfer() { return transfer_; }

    bool OnCommand(WPARAM wParam, LPARAM lParam) override;
    LRESULT OnMessage(u32 message, WPARAM wParam, LPARAM lParam) override;
    int DrawBackground(ui::Dc* dc) override;
    int DrawContent(ui::Dc* dc) override;

    // Called on the worker before the transfer starts; tests hold a run there.
    using WorkerStartHook = void (*)(SaveRestoreScanResult* dialog);
    static void SetWorkerStartHook(WorkerStartHook hook);

protected:
    bool OnInitDialog() override;
    // Closing the window asks the worker to stop; the window ends when the worker has.
    void reject() override;

private:
    void Work();

    u32 direction_;
    std::string path_;
    ScanResultTransfer transfer_;
    std::thread worker_;
    bool cancelled_ = false;
    int shownPercent_ = 0;
    std::string progressText_;
};
