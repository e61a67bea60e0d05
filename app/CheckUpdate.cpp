#include "app/CheckUpdate.h"

#include <QDesktopServices>
#include <QUrl>
#include <mutex>

#include "core/Shell.h"
#include "core/Strings.h"
#include "app/ui/SkinItems.h"

namespace {
constexpr COLORREF kTextColor = 0x212121;
constexpr int kTextFontSize = 17;
constexpr int kTextFontWeight = 500;
constexpr int kAnimationTop = 100;
}  // namespace

CheckUpdate::CheckUpdate(HWND owner) : HomeBaseDialog(kPopupTemplate, owner, 0) { setModal(true); }

CheckUpdate::~CheckUpdate() { JoinWorker(); }

bool CheckUpdate::OnInitDialog() {
    HomeBaseDialog::OnInitDialog();
    ApplySkinSize("CheckUpdate");
    LayoutCaption();
    UiCtrl::LoadSkinItems(ClientItems(), "CheckUpdate", Handle());
    setWindowTitle(ui::FromUtf8(UiResources::Instance().GetString("MenuUpdate")));
    download_ = GetClientItem(kItemDownload);
    if (download_) download_->SetVisible(false);
    close_ = GetClientItem(kItemClose);
    frames_ = UiResources::Instance().LoadImageFromResource(kResTypeBitmap, kAnimationImage);
    SetTimer(kAnimationTimer, kAnimationMs);
    worker_ = std::thread([this] { Worker(); });
    return true;
}

void CheckUpdate::Worker() {
    auto result = std::make_unique<WorkerResult>();
    GetLocalizedString("UpgradeIni");
    result->resultText = GetLocalizedString("AlreadyBeNewest");
    result->imageId = kResultImage;
    result->okText = GetLocalizedString("OK");
    {
        std::lock_guard<std::mutex> lk(resultLock_);
        pending_ = std::move(result);
    }
    PostMessage(Handle(), WM_UPDATE_CHECKED, 0, 0);
    resultPosted_.store(true);
}

void CheckUpdate::TakeResult() {
    std::unique_ptr<WorkerResult> result;
    {
        std::lock_guard<std::mutex> lk(resultLock_);
        result = std::move(pending_);
    }
    if (!result) return;
    resultText_ = result->resultText;
    resultImageId_ = result->imageId;
    resultImage_ = UiResources::Instance().LoadImageFromResource(kResTypeBitmap, resultImageId_);
    if (auto* button = dynamic_cast<UiCtrl::UiBtnWithoutWnd*>(download_)) button->SetText(result->okText);
    updateFound_ = result->updateFound;
    downloadLink_ = result->downloadLink;
    KillTimer(kAnimationTimer);
    animating_ = false;
    Invalidate();
    if (updateFound_ && !downloadLink_.empty()) ui::PostCommand(Handle(), IDOK);
}

void CheckUpdate::JoinWorker() {
    if (worker_.joinable()) worker_.join();
}

LRESULT CheckUpdate::OnMessage(u32 message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_UPDATE_CHECKED) {
        TakeResult();
        return 0;
    }
    if (message == WM_TIMER && wParam == kAnimationTimer) {
        frame_ = (frame_ + 1) % kAnimationFrames;
        Invalidate();
        return 0;
    }
    return HomeBaseDialog::OnMessage(message, wParam, lParam);
}

bool CheckUpdate::OnCommand(WPARAM wParam, LPARAM lParam) {
    const int id = LOWORD(wParam);
    switch (id) {
    case kCmdClose:
    case kItemClose:
        EndDialog(IDCANCEL);
        JoinWorker();
        return true;
    case kItemDownload:
        if (!downloadLink_.empty()) {
            const bool opened = QDesktopServices::openUrl(QUrl(ui::FromUtf8(downloadLink_)));
            WriteLog("[%s:%d] goto %s\r\n", "CheckUpdate::OnCommand", opened ? 42 : 2, downloadLink_.c_str());
        }
        EndDialog(IDOK);
        JoinWorker();
        return true;
    case IDOK:
        EndDialog(IDOK);
        JoinWorker();
        return true;
    default:
        return HomeBaseDialog::OnCommand(wParam, lParam);
    }
}

int CheckUpdate::DrawBackground(ui::Dc* dc) {
    PaintWhiteClientArea(Handle(), dc);
    return 0;
}

int CheckUpdate::DrawContent(ui::Dc* dc) {
    if (!dc) return 0;
    UiResources& res = UiResources::Instance();
    if (resultImage_ && resultImageId_ != 0) {
        const bool own = resultImageId_ == kResultImage;
        res.DrawImage(dc, resultImage_, 34, 45, 34 + (own ? 80 : 86), 45 + (own ? 91 : 97), 0);
    } else if (animating_ && frames_) {
        const int left = (ClientRect().Width() - kFrameWidth) / 2;
        dc->BlitImage(*frames_, left, kAnimationTop, kFrameWidth, kFrameHeight, frame_ * kFrameWidth, 0);
    }
    const QFont oldFont = dc->Font();
    const COLORREF oldColor = dc->SetTextColor(kTextColor);
    dc->SetFont(*res.GetFont(kTextFontSize, kTextFontWeight, false));
    const std::string text = resultText_.empty() ? res.GetString("Wait4Down") : resultText_;
    dc->DrawText(text, ui::MakeRect(96, 55, 450, 90), DT_WORDBREAK);
    dc->SetTextColor(oldColor);
    dc->SetFont(oldFont);
    return 0;
}
