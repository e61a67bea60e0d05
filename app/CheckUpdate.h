#pragma once
// The update check: a waiting animation while its worker runs, then the result. The check
// contacts nothing; it always ends on "already the newest version". The worker never touches the
// dialog: it posts what it found, and the interface thread takes it over.
#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "app/ui/HomeBaseDialog.h"
#include "app/ui/UiResources.h"

class CheckUpdate : public HomeBaseDialog {
public:
    static constexpr int kItemDownload = 800;
    static constexpr int kItemClose = 801;
    static constexpr int kResultImage = 268;
    static constexpr int kAnimationImage = 600;
    static constexpr int kAnimationFrames = 12;
    static constexpr int kFrameWidth = 347;
    static constexpr int kFrameHeight = 30;
    static constexpr u32 kAnimationTimer = 1;
    static constexpr u32 kAnimationMs = 100;
    // The worker's result, posted to the dialog.
    static constexpr u32 WM_UPDATE_CHECKED = WM_USER + 0x101;

    explicit CheckUpdate(HWND owner);
    ~CheckUpdate() override;

    bool OnCommand(WPARAM wParam, LPARAM lParam) override;
    LRESULT OnMessage(u32 message, WPARAM wParam, LPARAM lParam) override;
    int DrawBackground(ui::Dc* dc) override;
    int DrawContent(ui::Dc* dc) override;

    bool IsAnimating() const { return animating_; }
    int Frame() const { return frame_; }
    const std::string& ResultText() const { return resultText_; }
    int ResultImageId() const { return resultImageId_; }
    // The worker has posted its result (tests wait for it without turning the event loop).
    bool ResultPosted() const { return resultPosted_.load(); }

protected:
    bool OnInitDialog() override;

private:
    struct WorkerResult {
        std::string resultText;
        std::string okText;
        int imageId = 0;
        bool updateFound = false;
        std::string downloadLink;
    };
    void Worker();
    void TakeResult();
    void JoinWorker();

    bool updateFound_ = false;
    bool animating_ = true;
    int frame_ = 0;
    UiCtrl::UiItem* download_ = nullptr;
    UiCtrl::UiItem* close_ = nullptr;
    std::string resultText_;
    std::string downloadLink_;
    PictureHandle resultImage_ = nullptr;
    int resultImageId_ = 0;
    PictureHandle frames_ = nullptr;
    std::mutex resultLock_;
    std::unique_ptr<WorkerResult> pending_;  // the worker's result until the interface thread takes it
    std::atomic<bool> resultPosted_{false};
    std::thread worker_;
};
