#pragma once
// The borderless wait box shown while the result view is frozen for the end of a scan phase or
// while a file-name search runs. It watches a 32-bit flag that another thread or a later
// message clears, and closes itself within one 10 ms tick of that.
#include <atomic>
#include <string>

#include "platform/ui/Window.h"

class FreezeTipDlg : public ui::Dialog {
public:
    static constexpr int kSearchCount = -1;
    static constexpr int kTimerId = 1;
    static constexpr u32 kTimerMs = 10;
    static constexpr int kFrames = 36;

    explicit FreezeTipDlg(QWidget* parent = nullptr);
    void SetWatchedFlag(const std::atomic<u32>* flag) { flag_ = flag; }
    void SetCount(int count) { count_ = count; }
    void SetTextKey(const std::string& key) { key_ = key; }
    void SetCallerText(const std::string& text) { callerText_ = text; }
    const std::string& ShownText() const { return shown_; }

    LRESULT OnMessage(u32 message, WPARAM wParam, LPARAM lParam) override;
    bool PreTranslateMessage(u32 message, WPARAM wParam, LPARAM lParam) override;

protected:
    bool OnInitDialog() override;
    void reject() override {}

private:
    void Paint(ui::Dc* dc);

    int count_ = 0;
    const std::atomic<u32>* flag_ = nullptr;
    std::string callerText_;
    std::string key_;
    std::string shown_;
    RECT textRect_{};
    RECT pictureRect_{};
    int frame_ = 0;
};
