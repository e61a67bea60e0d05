#include "app/dialogs/ExportFlow.h"

#include <QDir>
#include <QFileDialog>
#include <QMimeDatabase>
#include <filesystem>

#include "app/dialogs/DeviceLostWatch.h"
#include "app/dialogs/ExportProgress.h"
#include "app/dialogs/ExportResult.h"
#include "app/dialogs/ExportTarget.h"
#include "app/dialogs/SelExportPathDlg.h"
#include "app/dialogs/WarmTipDlg.h"
#include "app/ui/MessageBox.h"
#include "app/ui/UiResources.h"
#include "browser/model/ListModel.h"
#include "engine/FileNode.h"
#include "engine/FileProperties.h"
#include "core/Shell.h"
#include "core/Strings.h"
#include "engine/RecoveryGraph.h"
#include "platform/Stats.h"
#include "platform/Time.h"
#include "platform/ui/Window.h"

namespace {

constexpr u32 kStatsRecoveryAfterStop = 0x210D;
constexpr u32 kStatsRecoveryInPause = 0x210B;
constexpr u32 kStatsRecoverySeconds = 0x300E;
constexpr u64 kMsPerSecond = 1000;

// Runs the progress dialog of a recovery, told to the statistics as the recovery's start (by
// whether the scan stands paused for it or has ended) and the seconds it took.
void RunMeasured(ExportProgress& progress) {
    StatsEvent(RecoveryGraph::Instance().GetPausedBySession() != 0 ? kStatsRecoveryInPause : kStatsRecoveryAfterStop);
    const u64 start = GetTickCount64Ms();
    progress.DoModal();
    StatsValue(kStatsRecoverySeconds, (GetTickCount64Ms() - start) / kMsPerSecond);
}

// The ending of a name with its dot; empty when the name has none (a leading dot starts a name).
std::string EndingOf(const std::string& name) {
    const size_t dot = name.rfind('.');
    return dot == std::string::npos || dot == 0 ? std::string() : name.substr(dot);
}

// Shows the outcome of one run of the progress dialog (it returns only once its worker has
// ended, so the counts are final), and the tip after a run that gave the files back: a tip
// thanking the user for files that did not come back would contradict the result just shown.
void ShowOutcome(HWND owner, const ExportProgress& progress, const std::string& folder) {
    ExportResult result(owner);
    result.targetPath = folder;
    result.counts = progress.Counts();
    result.fileCount = progress.FileCount();
    const RecoveryOutcome outcome = JudgeRecovery(progress.Result(), result.counts, result.fileCount);
    result.success = outcome == RecoveryOutcome::kCompleted;
    result.stopped = outcome == RecoveryOutcome::kStopped;
    result.DoModal();
    if (result.success) ShowWarmTipIfWanted(ui::WindowCore::WidgetFromHandle(owner));
}

// The save dialog's filter: the file's type by its ending, then every file.
QString SaveFilter(const std::string& name, const std::string& ending) {
    const QString all = QStringLiteral("All Files (*.*)");
    if (ending.empty()) return all;
    const QString pattern = QStringLiteral("*") + QString::fromStdString(ending);
    QString type = QMimeDatabase().mimeTypeForFile(QString::fromStdString(name), QMimeDatabase::MatchExtension).comment();
    if (type.isEmpty()) type = QString::fromStdString(ending.substr(1)).toUpper();
    return QStringLiteral("%1 (%2);;%3").arg(type, pattern, all);
}

}  // namespace

std::string WithOwnEnding(const std::string& chosen, const std::string& fileName) {
    const std::string leaf = std::filesystem::path(chosen).filename().string();
    if (!EndingOf(leaf).empty()) return chosen;
    return chosen + EndingOf(fileName);
}

ReplaceAnswer AskReplace(HWND owner, HWND* openDialog, const std::string& path) {
    std::error_code ec;
    // A link there is replaced as the link it is, so it is asked about as well.
    if (!std::filesystem::exists(std::filesystem::symlink_status(path, ec))) return ReplaceAnswer::kNothingThere;
    const std::string name = std::filesystem::path(path).filename().string();
    QZMMessageBox question(owner, 0);
    question.SetContent(nullptr, FormatLocalized("ReplaceRsf", "%s", name.c_str()), MB_YESNO | MB_ICONQUESTION);
    int answer = 0;
    bool lost = false;
    {
        OpenDialogSlot open(openDialog, question.Handle());
        answer = question.DoModal();
        // The page empties its slot when it tells the dialog there that the device is gone.
        lost = openDialog != nullptr && *openDialog != question.Handle();
    }
    if (lost) return ReplaceAnswer::kDeviceLost;
    return answer == kMessageBoxFirstButton ? ReplaceAnswer::kReplace : ReplaceAnswer::kKeep;
}

int RunExportDialogs(HWND owner, const ExportFlowHost& host) {
    SelExportPathDlg folder(owner);
    int chosen = IDCANCEL;
    {
        OpenDialogSlot open(host.openDialog, folder.Handle());
        chosen = folder.DoModal();
    }
    if (chosen != IDOK) return IDCANCEL;
    ExportProgress progress(owner);
    progress.targetPath = folder.GetPath();
    {
        // The writer has the disk to itself: the list's loader and picture work wait. A pause
        // that was on already (a scan adding files) stays on.
        const bool pause = host.pauseListLoading && !FileSelCtrl::CFileListData::GetCurrent().DataCache().IsPaused();
        if (pause) FileSelCtrl::CFileListData::PauseLoading(true);
        OpenDialogSlot open(host.openDialog, progress.Handle());
        RunMeasured(progress);
        if (pause) FileSelCtrl::CFileListData::PauseLoading(false);
    }
    ShowOutcome(owner, progress, progress.targetPath);
    return IDOK;
}

int RunSingleFileExport(HWND owner, const HeldFile& file, const ExportFlowHost& host) {
    // The file is held: the scan may replace its tree while the dialogs are open.
    if (!file) return IDCANCEL;
    const std::string name = file->Name();
    const std::string ending = EndingOf(name);
    const std::string start = LastExportDestination().empty() ? QDir::homePath().toStdString() : LastExportDestination();

    QFileDialog dialog(ui::WindowCore::WidgetFromHandle(owner), QString(),
                       QString::fromStdString((std::filesystem::path(start) / name).string()), SaveFilter(name, ending));
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    // The program asks about the path it writes, once: the dialog's own question, where a
    // dialog asks one, may be about the name before its ending.
    dialog.setOption(QFileDialog::DontConfirmOverwrite, true);
    if (!ending.empty()) dialog.setDefaultSuffix(QString::fromStdString(ending.substr(1)));
    auto* watch = new DeviceLostWatch(&dialog);  // owned by the dialog
    std::string path;
    for (;;) {
        int answer = QDialog::Rejected;
        {
            OpenDialogSlot open(host.openDialog, watch->Handle());
            answer = dialog.exec();
        }
        if (answer != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return IDCANCEL;
        path = WithOwnEnding(dialog.selectedFiles().front().toStdString(), name);
        const ReplaceAnswer replace = AskReplace(owner, host.openDialog, path);
        if (replace == ReplaceAnswer::kDeviceLost) return IDCANCEL;
        if (replace != ReplaceAnswer::kKeep) break;
    }
    const std::filesystem::path chosen(path);
    const std::string folder = chosen.has_parent_path() ? chosen.parent_path().string() : std::string(".");

    ExportTargetQuery query;
    query.folder = folder;
    query.scannedDisks = SessionScannedDisks();
    query.checkedBytes = SessionFileBytes(file->Node());
    query.freeBytes = FolderFreeBytes(folder);
    const ExportTargetCheck check = CheckExportTarget(query);
    if (check != ExportTargetCheck::kOk) {
        WriteLog("[%s:%d] refused %s: %s\r\n", "RunSingleFileExport", __LINE__, path.c_str(), ExportTargetMessageKey(check));
        ShowMessageBox(owner, UiResources::Instance().GetString(ExportTargetMessageKey(check)).c_str(), nullptr,
                       MB_ICONWARNING);
        return -4;
    }
    LastExportDestination() = folder;

    ExportProgress progress(owner);
    progress.targetPath = path;
    progress.singleFile = file;
    {
        OpenDialogSlot open(host.openDialog, progress.Handle());
        RunMeasured(progress);
    }
    ShowOutcome(owner, progress, folder);
    return IDOK;
}
