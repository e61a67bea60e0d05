#include "app/dialogs/ExportResult.h"

#include <QProcess>

#include "core/Shell.h"
#include "app/dialogs/SelExportPathDlg.h"
#include "app/pages/WizardArt.h"
#include "app/ui/SkinItems.h"
#include "app/ui/UiResources.h"
#include "platform/Stats.h"

namespace {

bool DesktopOpen(const std::string& folder) {
    return QProcess::startDetached(QStringLiteral("xdg-open"), {ui::FromUtf8(folder)});
}

FolderOpener& Opener() {
    static FolderOpener opener = DesktopOpen;
    return opener;
}

const RECT kTitleRect = {68, 68, 450, 88};
constexpr int kFailureDrop = 12;
// The path's label and link, and the result picture, at their rows whatever the skin says.
constexpr int kPathTop = 100;
constexpr int kPathBottom = 120;
constexpr int kPictureTop = 70;
constexpr int kPictureBottom = 118;
constexpr int kLinkGap = 4;
const RECT kDetailRect = {68, 124, 450, 156};
constexpr COLORREF kNoteText = 0x545454;
constexpr u32 kStatsPathLink = 8708;

}  // namespace

void SetFolderOpener(FolderOpener opener) { Opener() = opener ? opener : DesktopOpen; }
bool OpenFolder(const std::string& folder) { return !folder.empty() && Opener()(folder); }

bool ExportSucceeded(u32 writerResult, const RecoverCounts& counts) {
    return writerResult == kRecoverOk && counts.failed == 0 && counts.incomplete == 0;
}

RecoveryOutcome JudgeRecovery(u32 writerResult, const RecoverCounts& counts, u64 fileCount) {
    // A stop that came after every file had its turn (the question was still open when the
    // writer finished) stopped nothing: the run is judged as if it had not been asked for.
    const bool everyFileDone = fileCount > 0 && counts.written + counts.incomplete + counts.failed >= fileCount;
    if (writerResult == kRecoverCancelled && !everyFileDone) return RecoveryOutcome::kStopped;
    const u32 result = writerResult == kRecoverCancelled ? kRecoverOk : writerResult;
    // Files were given and not one of them came back: nothing was recovered, whatever the
    // writer's own word for the run.
    if (fileCount > 0 && counts.written == 0) return RecoveryOutcome::kFailed;
    return ExportSucceeded(result, counts) ? RecoveryOutcome::kCompleted : RecoveryOutcome::kFailed;
}

ExportResult::ExportResult(HWND owner) : HomeBaseDialog(kPopupTemplate, owner, 0) { setModal(true); }

bool ExportResult::OnInitDialog() {
    HomeBaseDialog::OnInitDialog();
    ApplySkinSize("ExportResult");
    LayoutCaption();
    UiCtrl::LoadSkinItems(ClientItems(), "ExportResult", Handle());
    setWindowTitle(ui::FromUtf8(UiResources::Instance().GetString("caption")));
    if (targetPath.empty()) targetPath = LastExportDestination();
    // Something written is worth showing even when not all of it came through.
    const bool wroteSomething = counts.written + counts.incomplete > 0;
    showPath_ = success || wroteSomething;
    if (!success)
        if (auto* picture = dynamic_cast<UiCtrl::UIPicButton*>(GetClientItem(kItemPicture)))
            picture->SetImages(kFailurePicture, kFailurePicture, kFailurePicture, kFailurePicture);
    auto* label = dynamic_cast<UiCtrl::UIStaticItem*>(GetClientItem(kItemPathLabel));
    auto* link = dynamic_cast<UiCtrl::UILinkItem*>(GetClientItem(kItemPathLink));
    if (label && link) {
        // The link starts right after the label's text and is as wide as the path.
        RECT r = link->GetRect();
        r.left = label->GetTextRect().right + kLinkGap;
        link->SetRect(r);
        link->SetText(targetPath);
    }
    for (UiCtrl::UiItem* item : {static_cast<UiCtrl::UiItem*>(label), static_cast<UiCtrl::UiItem*>(link)}) {
        if (!item) continue;
        if (!showPath_) item->SetVisible(false);
        RECT r = item->GetRect();
        r.top = kPathTop;
        r.bottom = kPathBottom;
        item->SetRect(r);
    }
    if (UiCtrl::UiItem* picture = GetClientItem(kItemPicture)) {
        RECT r = picture->GetRect();
        r.top = kPictureTop;
        r.bottom = kPictureBottom;
        picture->SetRect(r);
    }
    if (success) {
        WriteLog("[%s:%d] open %s\r\n", "ExportResult::OnInitDialog", __LINE__, targetPath.c_str());
        OpenFolder(targetPath);
    }
    return true;
}

bool ExportResult::OnCommand(WPARAM wParam, LPARAM lParam) {
    switch (LOWORD(wParam)) {
    case kCmdClose: EndDialog(IDCANCEL); return true;
    case kItemDone: EndDialog(IDOK); return true;
    case kItemPathLink:
        OpenFolder(targetPath);
        StatsEvent(kStatsPathLink);
        return true;
    default: break;
    }
    return HomeBaseDialog::OnCommand(wParam, lParam);
}

int ExportResult::DrawBackground(ui::Dc* dc) {
    if (dc) PaintWhiteClientArea(Handle(), dc);
    return 0;
}

std::string ExportResult::DetailText() const {
    UiResources& res = UiResources::Instance();
    std::string text;
    char line[256];
    if (stopped && !success) {
        std::snprintf(line, sizeof line, res.GetString("RecoveryStoppedCount").c_str(),
                      static_cast<unsigned long long>(counts.written), static_cast<unsigned long long>(fileCount));
        text = line;
    }
    const u64 notWhole = counts.failed + counts.incomplete;
    if (notWhole > 0) {
        std::snprintf(line, sizeof line, res.GetString("RecoveryNotWhole").c_str(), static_cast<unsigned long long>(notWhole),
                      static_cast<unsigned long long>(fileCount));
        if (!text.empty()) text += ' ';
        text += line;
    }
    return text;
}

int ExportResult::DrawContent(ui::Dc* dc) {
    if (!dc) return 0;
    UiResources& res = UiResources::Instance();
    dc->SetFont(*res.GetFont(17, 600, false));
    dc->SetTextColor(0x000000);
    RECT title = kTitleRect;
    // Alone, the failure title sits lower; with the folder line below it, it keeps its place.
    if (!success && !showPath_) {
        title.top += kFailureDrop;
        title.bottom += kFailureDrop;
    }
    const char* titleKey = success ? "RecoveryCompleted" : (stopped ? "RecoveryStopped" : "RecoveryFailed");
    // Not a single line: a line break in the language file's text breaks the title too (and
    // its first line stands at the top).
    dc->DrawText(res.GetString(titleKey), title, DT_LEFT | DT_VCENTER);
    dc->SetFont(*res.GetFont(14, 400, false));
    // A stop is the user's own doing; files that could not be recovered whole are a warning.
    dc->SetTextColor(counts.failed + counts.incomplete > 0 ? UiCtrl::art::kWarningText : kNoteText);
    dc->DrawText(DetailText(), kDetailRect, DT_LEFT | DT_WORDBREAK);
    return 0;
}
