#include "app/dialogs/ExportProgress.h"

#include <cstring>
#include <ctime>
#include <filesystem>

#include "core/Shell.h"
#include "app/dialogs/PercentBar.h"
#include "app/ui/MessageBox.h"
#include "app/ui/SkinItems.h"
#include "app/ui/UiResources.h"
#include "engine/FileProperties.h"
#include "engine/FileRecovererCopy.h"
#include "engine/FileSystemNode.h"
#include "engine/RecoveryController.h"
#include "engine/RecoveryGraph.h"
#include "platform/Stats.h"
#include "platform/WindowPost.h"

namespace {
using percentbar::kPercentFull;
constexpr size_t kOutPathSize = 520;
constexpr u32 kStatsCancelConfirmed = 8707;
std::atomic<ExportProgress::WorkerStartHook> g_startHook{nullptr};
std::atomic<ExportProgress::FileDoneHook> g_fileDoneHook{nullptr};
}  // namespace

ExportProgress::ExportProgress(HWND owner) : HomeBaseDialog(kPopupTemplate, owner, 0) { setModal(true); }

ExportProgress::~ExportProgress() {
    // The worker ends right after it posts its end; this only waits when the dialog is torn
    // down early.
    if (worker_.joinable()) {
        cancel_.store(1);
        worker_.join();
    }
}

bool ExportProgress::OnInitDialog() {
    HomeBaseDialog::OnInitDialog();
    ApplySkinSize("ExportProgress");
    LayoutCaption();
    if (UiCtrl::UiItem* close = GetCaptionItem(kCmdClose)) close->SetVisible(false);
    UiCtrl::LoadSkinItems(ClientItems(), "ExportProgress", Handle());
    setWindowTitle(ui::FromUtf8(UiResources::Instance().GetString("caption")));
    SetTimer(kTimerId, kTimerMs);
    worker_ = std::thread([this] { Work(); });
    return true;
}

std::string ExportProgress::RecoveredFolderName(const std::tm& local) {
    char name[64];
    std::snprintf(name, sizeof name, "Recovered data %02d-%02d-%04d at %02d_%02d_%02d", local.tm_mon + 1, local.tm_mday,
                  local.tm_year + 1900, local.tm_hour, local.tm_min, local.tm_sec);
    return name;
}

void ExportProgress::SetWorkerStartHook(WorkerStartHook hook) { g_startHook.store(hook); }
void ExportProgress::SetFileDoneHook(FileDoneHook hook) { g_fileDoneHook.store(hook); }

void ExportProgress::Work() {
    if (WorkerStartHook hook = g_startHook.load()) hook(this);
    RecoveryGraph& session = RecoveryGraph::Instance();
    IStorageDevice* device = session.GetFirstVolumeDevice();
    SetCurrentRecoveryController(session.GetController());
    const u32 result = singleFile ? WriteSingleFile(device) : WriteCheckedFiles(device);
    result_.store(result);
    PostMessage(Handle(), WM_COMMAND, kCmdExportDone, 0);
}

void ExportProgress::AddCounts(const RecoverCounts& c) {
    std::lock_guard<std::mutex> lock(countsLock_);
    counts_.written += c.written;
    counts_.incomplete += c.incomplete;
    counts_.failed += c.failed;
    counts_.noSpace += c.noSpace;
    counts_.bytes = SaturatingAdd(counts_.bytes, c.bytes);
}

u32 ExportProgress::WriteSingleFile(IStorageDevice* device) {
    CFileNode* node = singleFile->Node();
    const IFileProperties* p = singleFile->Properties();
    // The bar's total is what the writer will write, not the size the disk states.
    OnBegin(1, RecoveryBytes(node, RecoverySourceDevice(device, node)));
    if (const char* name = p->GetName()) OnFileName(name);
    CFileRecoverer writer;
    writer.RecoverFile(this, device, node, targetPath.c_str(), false);
    AddCounts(writer.GetCounts());
    // A file that came back incomplete is told by the counts; the job itself only ends or stops.
    const u32 result = writer.GetResult();
    return result == kRecoverIncomplete ? kRecoverOk : result;
}

u32 ExportProgress::WriteCheckedFiles(IStorageDevice* device) {
    const std::vector<CFileSystemNode*> roots = RecoveryGraph::Instance().GetTreeRoots();
    if (roots.empty()) return kRecoverFailed;
    u64 files = 0, bytes = 0;
    for (CFileSystemNode* root : roots) {
        root->RecountStatistics();
        SelectionStatistics stats;
        root->GetStatistics(&stats);
        files += stats.checkedFiles;
        bytes = SaturatingAdd(bytes, CheckedRecoveryBytes(root, device));
    }
    OnBegin(static_cast<u32>(files), bytes);
    // Stopped before the first file (the disk went while the window came up): no folder is made
    // for files that were never read.
    if (CancelAnswer() != 0) return kRecoverCancelled;
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    const std::string name = RecoveredFolderName(local);
    const std::string folderPath = (std::filesystem::path(targetPath) / name).string();
    // Made and opened once, never through a link: every tree goes through this handle, whatever
    // becomes of the folder's name while they are written.
    int error = 0;
    const OwnedFd folder = MakeRecoveryFolder(targetPath, name, false, error);
    if (!folder.IsOpen()) {
        WriteLog("[%s:%d] cannot make %s: %s\r\n", "ExportProgress::Work", __LINE__, folderPath.c_str(),
                 std::strerror(error));
        return kRecoverFailed;
    }
    const std::string chosen = targetPath;
    targetPath = folderPath;
    u32 result = kRecoverOk;
    for (CFileSystemNode* root : roots) {
        if (result != kRecoverOk) break;
        if (root->GetCheckState() == 0) continue;
        CFileRecoverer writer;
        char out[kOutPathSize] = {};
        result = writer.RecoverFolderAt(this, device, root, folder.Get(), targetPath.c_str(), out, sizeof out);
        AddCounts(writer.GetCounts());
    }
    // A run of which nothing stays leaves no folder: the result then names the folder chosen.
    if (RemoveRecoveryFolderIfEmpty(chosen, name, folder.Get())) targetPath = chosen;
    return result;
}

RecoverCounts ExportProgress::Counts() const {
    std::lock_guard<std::mutex> lock(countsLock_);
    return counts_;
}

// Posted rather than asked here: the question's own loop must not run inside the close event.
void ExportProgress::reject() { PostMessage(Handle(), WM_COMMAND, kItemCancel, 0); }

bool ExportProgress::OnCommand(WPARAM wParam, LPARAM lParam) {
    switch (LOWORD(wParam)) {
    case kCmdClose:  // hidden, but a close command that reaches the dialog is still only a request
    case kItemCancel: {
        // Asked once at a time; a run that ended meanwhile needs no answer.
        if (asking_ || cancel_.load() != 0 || !worker_.joinable()) return true;
        asking_ = true;
        const bool yes = confirmCancel_ ? confirmCancel_()
                                        : ShowMessageBox(nullptr, UiResources::Instance().GetString("ConfirmCancel").c_str(),
                                                         nullptr, MB_YESNO | MB_ICONQUESTION) == kMessageBoxFirstButton;
        asking_ = false;
        if (yes) {
            cancel_.store(1);
            StatsEvent(kStatsCancelConfirmed);
        }
        return true;
    }
    case kCmdDeviceLost:
        // Nothing left to ask about: the disk the files come from is gone. The dialog ends once
        // the writer has stopped at its next callback.
        cancel_.store(1);
        return true;
    case kCmdExportDone:
        if (worker_.joinable()) worker_.join();
        EndDialog(result_.load() == kRecoverCancelled ? IDCANCEL : IDOK);
        return true;
    default: break;
    }
    return HomeBaseDialog::OnCommand(wParam, lParam);
}

LRESULT ExportProgress::OnMessage(u32 message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_TIMER && wParam == kTimerId) {
        // The name changes with every file; repainting on the timer keeps a run of small
        // files from flooding the window with paints.
        shownPercent_ = percent_.load();
        Invalidate();
        return 0;
    }
    return HomeBaseDialog::OnMessage(message, wParam, lParam);
}

int ExportProgress::DrawBackground(ui::Dc* dc) {
    if (dc) PaintWhiteClientArea(Handle(), dc);
    return 0;
}

int ExportProgress::DrawContent(ui::Dc* dc) {
    if (!dc) return 0;
    UiResources& res = UiResources::Instance();
    dc->SetFont(*res.GetFont(16, 100, false));
    dc->SetTextColor(0x212121);
    // The language's text carries its own separation from the name (a blank where the
    // language wants one). Not a single line: it is drawn from the rectangle's top, and a line
    // break in a name breaks it.
    dc->DrawText(res.GetString("RecoveryFile") + CurrentName(), percentbar::kTextRect, DT_LEFT | DT_VCENTER | DT_END_ELLIPSIS);
    percentbar::Draw(dc, shownPercent_);
    return 0;
}

std::string ExportProgress::CurrentName() const {
    std::lock_guard<std::mutex> lock(nameLock_);
    return currentName_;
}

i32 ExportProgress::OnBegin(u32 fileCount, u64 totalBytes) {
    fileCount_.store(fileCount);
    totalBytes_.store(totalBytes);
    return 0;
}

i32 ExportProgress::OnFilesDone(u32 n) {
    const u64 done = filesDone_ += n;
    if (FileDoneHook hook = g_fileDoneHook.load()) hook(this, done);
    return CancelAnswer();
}

i32 ExportProgress::OnBytesDone(u64 n) {
    const u64 total = totalBytes_.load();
    if (total != 0) {
        const u64 done = bytesDone_ += n;
        percent_.store(static_cast<int>(std::min<u64>(done, total) * kPercentFull / total));
    }
    return CancelAnswer();
}

i32 ExportProgress::OnStep(u32) { return CancelAnswer(); }

i32 ExportProgress::OnFileName(const char* name) {
    if (name) {
        std::lock_guard<std::mutex> lock(nameLock_);
        currentName_ = name;
    }
    return CancelAnswer();
}

i32 ExportProgress::IsCancelled() { return CancelAnswer(); }
