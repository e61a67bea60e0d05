#include "app/pages/RecoveryGraphWnd.h"

#include <fcntl.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QFileDialog>
#include <QThread>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <system_error>

#include "core/Settings.h"
#include "core/Shell.h"
#include "core/Strings.h"
#include "app/QZMUIDlg.h"
#include "app/dialogs/FreezeTipDlg.h"
#include "app/dialogs/PreviewFrameDlg.h"
#include "app/dialogs/DeviceLostWatch.h"
#include "app/dialogs/ExportFlow.h"
#include "app/dialogs/RecoveryTipInScanDlg.h"
#include "app/dialogs/SaveRestoreScanResult.h"
#include "app/dialogs/SearchDlg.h"
#include "app/ui/MessageBox.h"
#include "app/ui/UiLanguage.h"
#include "browser/views/Container.h"
#include "devices/ScanOptions.h"
#include "devices/VolumeEnumerator.h"
#include "engine/RecoveryGraph.h"
#include "platform/ProgramDir.h"
#include "platform/Stats.h"

namespace UiCtrl {

namespace {
constexpr int CMD_GO_HOME = 203;
constexpr int CMD_DEEP_SCAN = 204;
constexpr int CMD_RECOVER = 205;
constexpr int CMD_SAVE_SCAN = 206;
constexpr int kCmdPauseTip = 401;
constexpr int kCmdHideTip = 404;
constexpr u32 kMsgSelectedText = WM_USER + 4151;
constexpr u32 kStatsDeepScan = 0x2112;
constexpr u32 kStatsSaveScan = 0x2200;
constexpr u64 kKiB = 1024;
constexpr u64 kMiB = 1048576;
constexpr u64 kGiB = 1073741824;
constexpr int kUniqueNameAttempts = 8;
constexpr const char* kRsfEnding = ".rsf";

std::string Localized(const char* key) { return UiResources::Instance().GetString(key); }

std::atomic<RecoveryGraphWnd::SearchStartHook> g_searchStartHook{nullptr};

// Calls fn with the browser's view-clearing flag set, as every emptying of the view and every
// freeze does.
template <class Fn>
auto WithViewBusy(Fn fn) {
    struct Busy {
        Busy() { FileSelCtrl::SetViewBusy(true); }
        ~Busy() { FileSelCtrl::SetViewBusy(false); }
    } busy;
    return fn();
}

// A new empty file beside `target` under a name of its own (created exclusively, so nothing
// existing is ever opened); its path, or empty when the folder cannot take a new file.
std::string CreateUniqueBeside(const std::string& target, const char* tag) {
    const std::filesystem::path path(target);
    const std::filesystem::path folder = path.has_parent_path() ? path.parent_path() : std::filesystem::path(".");
    std::random_device rd;
    for (int attempt = 0; attempt < kUniqueNameAttempts; ++attempt) {
        const std::string unique = (folder / ("." + path.filename().string() + tag + std::to_string(rd()))).string();
        const int fd = ::open(unique.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) {
            ::close(fd);
            return unique;
        }
        if (errno != EEXIST) break;
    }
    return std::string();
}

// The path with ".rsf" appended unless it already ends so (in any case).
std::string WithRsfEnding(const std::string& path) {
    if (path.size() >= 5) {
        std::string ending = path.substr(path.size() - 4);
        std::transform(ending.begin(), ending.end(), ending.begin(), [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; });
        if (ending == kRsfEnding) return path;
    }
    return path + kRsfEnding;
}

// Keeps the user interface answering while the scan thread finishes: its last messages reach
// windows of this thread.
void PumpUntilScanEnds() {
    RecoveryGraph& session = RecoveryGraph::Instance();
    while (session.IsScanRunning()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::yieldCurrentThread();
    }
}
}  // namespace

RecoveryGraphWnd::RecoveryGraphWnd() : UiSdkWndBase("RecoveryGraphWnd", false, false, 0) {}

RecoveryGraphWnd::~RecoveryGraphWnd() {
    quitting_.store(true);
    selectionEvent_.Set();
    if (selectionThread_.joinable()) selectionThread_.join();
    if (searchThread_.joinable()) searchThread_.join();
    RecoveryGraph& session = RecoveryGraph::Instance();
    if (browser_ && session.GetDirectoryTree() == browser_) session.SetDirectoryTree(nullptr);
    session.CloseScanThread();
    if (browser_) {
        // The facade owns its window, a child of this page's: it goes before the page's window does.
        ClearBrowser();
        browser_->SetSink(nullptr);
        FileSelCtrl::CFileSelCtrl::DestroyInstance();
        browser_ = nullptr;
    }
    if (session.GetProgress() == &progress_) session.SetProgress(nullptr, nullptr, nullptr);
    if (session.GetPageWindow() == GetHwnd()) session.SetPageWindow(nullptr);
}

int RecoveryGraphWnd::Create(HWND parent, void* instance, RECT rect, u32 style) {
    UiSdkWndBase::Create(parent, instance, rect, style);
    const RECT c = ClientRect();
    progress_.Create(GetHwnd(), instance, ui::MakeRect(0, 0, c.right, RecoveryProgressWnd::kStripHeight), WS_CHILD | WS_VISIBLE);
    RecoveryGraph& session = RecoveryGraph::Instance();
    session.SetPageWindow(GetHwnd());
    session.SetProgress(&progress_, &progress_, progress_.GetHwnd());
    tip_.Create(GetHwnd(), instance,
                ui::MakeRect((c.Width() - TipInfoWnd::kWidth) / 2, (c.Height() - TipInfoWnd::kHeight) / 2,
                             (c.Width() + TipInfoWnd::kWidth) / 2, (c.Height() + TipInfoWnd::kHeight) / 2),
                WS_CHILD);
    if (QWidget* t = tip_.Widget()) t->hide();
    LoadSkinItems(items_, "RecoveryGraphWnd", GetHwnd());
    if (UiItem* recover = GetItem(kItemRecover)) recover->Enable(false);
    browser_ = FileSelCtrl::CFileSelCtrl::GetInstance();
    if (browser_) {
        browser_->Create(Widget(), ui::MakeRect(1, RecoveryProgressWnd::kStripHeight, c.right - 1, c.bottom));
        session.SetDirectoryTree(browser_);
        browser_->SetLanguage(static_cast<int>(GetUiLanguage()));
        browser_->SetSink(this);
        InstallSearchDialog();
        InstallPreviewFrame();
        if (browser_->Container()) InstallBrowserMessages(browser_->Container()->Handle());
    }
    for (int id : {kItemHome, kItemRecover})
        if (UiItem* item = GetItem(id)) item->SetVisible(false);
    selectionThread_ = std::thread([this] { SelectedFileTip(); });
    OnSize(0, 0);
    return 0;
}

int RecoveryGraphWnd::OnSize(WPARAM wParam, LPARAM lParam) {
    UiSdkWndBase::OnSize(wParam, lParam);
    const RECT c = ClientRect();
    if (c.Width() <= 0) return 0;
    if (UiItem* home = GetItem(kItemHome)) home->SetRect(ui::MakeRect(c.right - 270, c.bottom - 39, c.right - 150, c.bottom - 7));
    if (UiItem* recover = GetItem(kItemRecover))
        recover->SetRect(ui::MakeRect(c.right - 140, c.bottom - 39, c.right - 20, c.bottom - 7));
    if (QWidget* strip = progress_.Widget()) strip->setGeometry(0, 0, c.Width(), RecoveryProgressWnd::kStripHeight);
    if (QWidget* tip = tip_.Widget())
        tip->move((c.Width() - TipInfoWnd::kWidth) / 2, (c.Height() - TipInfoWnd::kHeight) / 2);
    if (browser_) browser_->MoveWindow(ui::MakeRect(1, RecoveryProgressWnd::kStripHeight, c.right - 1, c.bottom));
    if (tip_.Widget()) tip_.Widget()->raise();
    return 1;
}

int RecoveryGraphWnd::DrawBorder(ui::Dc* dc) {
    dc->FillRect(ClientRect(), 0xFFFFFF);
    return 0;
}

int RecoveryGraphWnd::DrawBackground(ui::Dc*) { return 0; }

void RecoveryGraphWnd::ClearBrowser() {
    if (browser_) WithViewBusy([this] { browser_->ClearAll(); });
}

int RecoveryGraphWnd::DoStartScan(int kind) {
    u32 mode = kScanModeDeleted;
    switch (kind) {
    case kScanDeleted: mode = kScanModeDeleted; break;
    case kScanLostPartition:
        mode = kScanModeComplete;
        tip_.ShowWithDelay("TipLostPartitonScan");
        break;
    case kScanCompleteA:
    case kScanCompleteB: mode = kScanModeComplete; break;
    default: mode = kScanModeDeleted; break;
    }
    RecoveryGraph& session = RecoveryGraph::Instance();
    // The new scan releases the old trees: the view lets go of them first.
    ClearBrowser();
    if (session.GetDirectoryTree() == nullptr && browser_) session.SetDirectoryTree(browser_);
    GetScanOptions().SetStopRequested(0);
    session.DoScan(mode, [this] { progress_.DoStart(); });
    for (int id : {kItemRecover, kItemHome})
        if (UiItem* item = GetItem(id)) {
            item->Enable(false);
            item->SetVisible(false);
        }
    progress_.SetSelectedText(std::string());
    return 0;
}

int RecoveryGraphWnd::DoDeepScan() {
    WriteLog("%s %d\r\n", "UiCtrl::RecoveryGraphWnd::DoDeepScan", __LINE__);
    // Nothing chosen is left once the disk was told gone: a scan of nothing would only empty the
    // browser of what was found on it, which stays ready to recover.
    if (!RecoveryGraph::Instance().GetFirstVolume()) {
        WriteLog("[%s:%d] no volume chosen to scan: the deep scan does not start\r\n", "UiCtrl::RecoveryGraphWnd::DoDeepScan", __LINE__);
        return -1;
    }
    progress_.SetOfferDeepScan(false);
    for (int id : {RecoveryProgressWnd::kItemRecover, RecoveryProgressWnd::kItemHome})
        if (UiItem* item = progress_.GetItem(id)) item->SetVisible(false);
    ClearBrowser();
    RecoveryGraph& session = RecoveryGraph::Instance();
    session.ReleaseController(true);
    session.SetDirectoryTree(browser_);
    GetScanOptions().SetStopRequested(0);
    WriteLog("%s %d\r\n", "RecoveryGraph::DoScan", __LINE__);
    session.DoScan(kScanModeComplete, [this] { progress_.DoStart(); });
    progress_.SetSelectedText(std::string());
    for (int id : {kItemRecover, kItemHome})
        if (UiItem* item = GetItem(id)) {
            item->Enable(false);
            item->SetVisible(false);
        }
    Invalidate();
    tip_.ShowWithDelay("TipDeep");
    StatsEvent(kStatsDeepScan);
    return 0;
}

void RecoveryGraphWnd::OnScanFinished() {
    RecoveryGraph& session = RecoveryGraph::Instance();
    // A scan that ended on a disk that went away takes the lost disk's road, once, as when the
    // watcher tells of it first.
    if (progress_.StoppedForLostDevice() && session.GetNothingSelected() != 1) LostDevice();
    // Recovering needs something checked.
    if (UiItem* recover = progress_.GetItem(RecoveryProgressWnd::kItemRecover)) recover->Enable(somethingChecked_.load() != 0);
    // A scan stopped by the user or by a disk that went away ends where it stopped.
    const bool stopped = progress_.UserStopped() || progress_.StoppedForLostDevice();
    if (session.GetScanMode() == kScanModeDeleted && !stopped) {
        if (session.GetFoundFileCount() == 0) {
            WriteLog("%s %d\r\n", "UiCtrl::RecoveryGraphWnd::OnScanFinished", __LINE__);
            DoDeepScan();
            return;
        }
        ShowMessageBox(GetHwnd(), Localized("canDeepScan").c_str(), nullptr, MB_ICONINFORMATION);
    }
    if (UiItem* home = GetItem(kItemHome)) home->Enable(true);
    for (int id : {kItemHome, kItemRecover})
        if (UiItem* item = GetItem(id)) item->SetVisible(false);
    Invalidate();
}

void RecoveryGraphWnd::GoHome() {
    progress_.SetOfferDeepScan(true);
    busy_.store(0);
    ClearScanState();
    tip_.Hide();
}

void RecoveryGraphWnd::ClearScanState() {
    WriteLog("%s %d\r\n", "UiCtrl::RecoveryGraphWnd::Static_ClearUiOnGoHome", __LINE__);
    for (int id : {RecoveryProgressWnd::kItemRecover, RecoveryProgressWnd::kItemHome})
        if (UiItem* item = progress_.GetItem(id)) item->SetVisible(false);
    progress_.SetFoundText(std::string());
    progress_.SetSelectedText(std::string());
    SendMessage(GetHwnd(), WM_UI_REFRESH_FILES, 0, 0);
    // The view lets go of the trees before the release frees them.
    ClearBrowser();
    WriteLog("%s %d\r\n", "UiCtrl::RecoveryGraphWnd::Static_ClearUiOnGoHome", __LINE__);
    RecoveryGraph& session = RecoveryGraph::Instance();
    session.ReleaseController(false);
    session.SelectVolume(0, static_cast<VolumeRecord*>(nullptr));
    scanName_.clear();
    openDialog_ = nullptr;
}

int RecoveryGraphWnd::DoFreeze(u32 count) {
    tip_.Hide();
    if (busy_.load() == 1) return 0;
    busy_.store(1);
    WriteLog("%s %d\r\n", "UiCtrl::RecoveryGraphWnd::DoFreeze", __LINE__);
    FreezeTipDlg wait(nullptr);
    wait.SetWatchedFlag(&busy_);
    wait.SetCount(static_cast<int>(count));
    wait.SetTextKey(progress_.UserStopped() || progress_.StoppedForLostDevice() ? "Wait4Stoped" : "Wait4Freeze");
    return wait.DoModal();
}

void RecoveryGraphWnd::DoUnFreeze() {
    if (busy_.load() == 0) return;
    WriteLog("%s %d\r\n", "UiCtrl::RecoveryGraphWnd::DoUnFreeze", __LINE__);
    busy_.store(0);
}

void RecoveryGraphWnd::OnSelectionChanged(bool checked) {
    somethingChecked_.store(checked ? 1 : 0);
    selectionEvent_.Set();
    if (UiItem* recover = GetItem(kItemRecover)) recover->Enable(checked);
    if (UiItem* recover = progress_.GetItem(RecoveryProgressWnd::kItemRecover)) recover->Enable(checked);
    progress_.Invalidate();
    Invalidate();
}

// Off the user-interface thread: the summary of what is checked, counted from the checks of
// every tree of the session as a recovery of them counts them.
void RecoveryGraphWnd::SelectedFileTip() {
    RecoveryGraph& session = RecoveryGraph::Instance();
    // Counted again at the next wait's end while a scan kept the trees busy: the scan's end may
    // tell the checks before its trees are free, and the line must not stay as it was.
    bool countAgain = false;
    while (!quitting_.load() && session.GetStopRequested() == 0) {
        if (selectionEvent_.Wait(kSelectionWaitMs) != kWaitObject0 && !countAgain) continue;
        if (quitting_.load()) break;
        countAgain = false;
        std::string text;
        u64 files = 0, bytes = 0;
        // A scan still building its trees shows no line.
        const bool checked = somethingChecked_.load() != 0;
        if (checked) countAgain = !session.CountCheckedInTrees(files, bytes);
        if (checked && !countAgain) {
            const u32 count = static_cast<u32>(files);
            const char* unit = bytes <= kMiB ? "KB" : (bytes <= kGiB ? "MB" : "GB");
            const double size = static_cast<double>(bytes) / static_cast<double>(bytes <= kMiB ? kKiB : (bytes <= kGiB ? kMiB : kGiB));
            text = FormatLocalized("SelectedFileTip", "%u%.2f%s", count, size, unit);
        }
        // The text waits here rather than in the message: a message still queued when the window
        // goes would take its text with it.
        {
            std::lock_guard<std::mutex> lock(selectedTextLock_);
            selectedText_ = std::move(text);
        }
        PostMessage(GetHwnd(), kMsgSelectedText, 0, 0);
    }
}

void RecoveryGraphWnd::OnCheckChanged(bool somethingChecked) {
    PostMessage(GetHwnd(), WM_UI_SELECTION_CHANGED, somethingChecked ? 1 : 0, 0);
}

IStorageDevice* RecoveryGraphWnd::GetSourceDevice(IStorageDevice** out) {
    IStorageDevice* device = RecoveryGraph::Instance().GetFirstVolumeDevice();
    if (out) *out = device;
    return device;
}

void RecoveryGraphWnd::RecoverNode(const HeldFile& file) { OnRecovery(file); }

int RecoveryGraphWnd::OnRecovery(const HeldFile& file) {
    WriteLog("%s %d\r\n", "UiCtrl::RecoveryGraphWnd::OnRecovery", __LINE__);
    if (!file && RecoveryGraph::Instance().GetTreeRoots().empty()) return 0;
    // The disk the files were found on went away: no file can be read, so no folder is made
    // and no file written; the user is told so, and how to come back to the files.
    if (RecoveryGraph::Instance().GetFirstVolumeDevice() == nullptr) {
        ShowMessageBox(GetHwnd(), Localized("RecoverLostDevice").c_str(), nullptr, MB_ICONWARNING);
        return kRecoverySourceGone;
    }
    if (!ConfirmRecoveryInPause()) return -1;
    // One file from the browser goes to a name of the user's choosing; the command bar's
    // Recover takes everything checked.
    ExportFlowHost host;
    host.openDialog = &openDialog_;
    // The result page's own recover command does not pause a running scan, so the list would
    // go on loading beside the writer.
    host.pauseListLoading = !file && browser_ && RecoveryGraph::Instance().GetPausedBySession() == 0;
    const int ran = file ? RunSingleFileExport(GetHwnd(), file, host) : RunExportDialogs(GetHwnd(), host);
    // Going home reports the extension table only when no recovery ran since the last time.
    if (ran == IDOK)
        if (auto* main = dynamic_cast<CQZMUIDlg*>(Widget()->parentWidget())) main->SetRecoveryRan();
    return ran;
}

bool RecoveryGraphWnd::ConfirmRecoveryInPause() {
    RecoveryGraph& session = RecoveryGraph::Instance();
    if (session.GetPausedBySession() == 0) return true;
    const bool ask = session.GetSkipTip() == 0 && ConfigShowTip() == 1;
    session.SetSkipTip(0);
    if (!ask) return true;
    RecoveryTipInScanDlg tip(GetHwnd());
    return tip.DoModal() == IDOK;
}

int RecoveryGraphWnd::OnDoSearch(const std::string& text) {
    if (!browser_) return kSearchNoBrowser;
    // One search at a time: a search that ended has let go of the busy flag already.
    if (searchThread_.joinable()) searchThread_.join();
    searchText_ = text;
    busy_.store(1);
    auto wait = std::make_unique<FreezeTipDlg>(Widget());
    wait->SetWatchedFlag(&busy_);
    wait->SetCount(FreezeTipDlg::kSearchCount);
    try {
        searchThread_ = std::thread([this] { SearchThread(); });
    } catch (const std::system_error& e) {
        WriteLog("[%s:%d] cannot start the search thread: %s\r\n", "UiCtrl::RecoveryGraphWnd::OnDoSearch", __LINE__, e.what());
        wait.reset();
        // Left set, the flag would keep every later freeze from showing.
        busy_.store(0);
        return kSearchNoThread;
    }
    WriteLog("%s %d\r\n", "UiCtrl::RecoveryGraphWnd::OnDoSearch", __LINE__);
    wait->DoModal();
    WriteLog("%s %d\r\n", "UiCtrl::RecoveryGraphWnd::OnDoSearch", __LINE__);
    // The box closes once the flag drops, which is the thread's last step.
    searchThread_.join();
    return kSearchDone;
}

void RecoveryGraphWnd::SetSearchStartHook(SearchStartHook hook) { g_searchStartHook.store(hook); }

// Off the user-interface thread: the search reads the trees under the browser's own lock.
void RecoveryGraphWnd::SearchThread() {
    WriteLog("%s %d\r\n", "UiCtrl::RecoveryGraphWnd::SearchThread", __LINE__);
    if (SearchStartHook hook = g_searchStartHook.load()) hook(this);
    if (browser_) browser_->Search(searchText_);
    busy_.store(0);
    WriteLog("%s %d\r\n", "UiCtrl::RecoveryGraphWnd::SearchThread", __LINE__);
}

int RecoveryGraphWnd::CheckSaveTarget(const std::string& path, const ConfirmReplace& confirmReplace) {
    if (path.size() < 2) return kSaveTargetInvalid;
    std::error_code ec;
    if (std::filesystem::exists(path, ec) && !(confirmReplace && confirmReplace(path))) return kSaveTargetKept;
    // The probe is a new file of its own beside the target: an existing file is never opened.
    const std::string probe = CreateUniqueBeside(path, ".probe-");
    if (probe.empty()) return kSaveTargetInvalid;
    ::unlink(probe.c_str());
    return kSaveTargetOk;
}

std::string RecoveryGraphWnd::SaveScanFolder() {
    // The user's own state folder: the program's folder is not the user's to write.
    const std::string folder = GetUserStateDir() + "SaveScan/";
    MakeDirectories(folder);
    return folder;
}

std::string RecoveryGraphWnd::MakeSaveScanName(const std::string& folder, const std::string& scanName, const std::tm& local) {
    std::string name = scanName;
    // A place's name may hold a '/', which a file name cannot.
    std::replace(name.begin(), name.end(), '/', '_');
    char stamp[64];
    std::snprintf(stamp, sizeof stamp, "_%02d-%02d-%04d at %02d_%02d_%02d", local.tm_mon + 1, local.tm_mday,
                  local.tm_year + 1900, local.tm_hour, local.tm_min, local.tm_sec);
    std::string path = folder;
    if (!path.empty() && path.back() != '/') path += '/';
    return path + name + stamp;
}

int RecoveryGraphWnd::DoSaveScanResult() {
    StatsEvent(kStatsSaveScan);
    WriteLog("%s %d\r\n", "UiCtrl::RecoveryGraphWnd::DoSaveScanResult", __LINE__);
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    const std::filesystem::path proposed(MakeSaveScanName(SaveScanFolder(), scanName_, local));
    QFileDialog dialog(Widget(), QString(), ui::FromUtf8(proposed.parent_path().string()), ui::FromUtf8(Localized("rsfDesc")));
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setDefaultSuffix(QStringLiteral("rsf"));
    // The program asks about the path it writes, once: the dialog's own question, where a
    // dialog asks one, may be about the name before its ending.
    dialog.setOption(QFileDialog::DontConfirmOverwrite, true);
    dialog.selectFile(ui::FromUtf8(proposed.filename().string()));
    int chosenAnswer = QDialog::Rejected;
    {
        auto* watch = new DeviceLostWatch(&dialog);  // owned by the dialog
        OpenDialogSlot open(&openDialog_, watch->Handle());
        chosenAnswer = dialog.exec();
    }
    if (chosenAnswer != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return -1;
    const std::string chosen = dialog.selectedFiles().constFirst().toStdString();
    return SaveScanResultTo(chosen, [this](const std::string& path) {
        return AskReplace(GetHwnd(), &openDialog_, path) == ReplaceAnswer::kReplace;
    });
}

int RecoveryGraphWnd::SaveScanResultTo(const std::string& chosen, const ConfirmReplace& confirmReplace) {
    const std::string path = chosen.size() < 2 ? chosen : WithRsfEnding(chosen);
    const int check = CheckSaveTarget(path, confirmReplace);
    if (check == kSaveTargetKept) return kSaveTargetKept;
    // The result is written under a name of its own beside the target and takes the target's
    // name only once complete: a failed or cancelled save leaves an existing file as it was.
    const std::string partial = check == kSaveTargetOk ? CreateUniqueBeside(path, ".part-") : std::string();
    if (partial.empty()) {
        ShowMessageBox(GetHwnd(), Localized("ExportPathInvalid").c_str(), nullptr, MB_ICONWARNING);
        return kSaveTargetInvalid;
    }
    bool saved = false;
    bool cancelled = false;
    bool diskUnnamed = false;
    {
        SaveRestoreScanResult window(GetHwnd(), ScanResultTransfer::kExport, partial);
        OpenDialogSlot open(&openDialog_, window.Handle());
        saved = window.DoModal() == SaveRestoreScanResult::kSucceeded;
        cancelled = window.Cancelled();
        diskUnnamed = window.Transfer().StoppedAt() == TransferStop::kNoSelectedVolume;
    }
    if (saved && std::rename(partial.c_str(), path.c_str()) != 0) {
        WriteLog("[%s:%d] cannot rename %s to %s: %s\r\n", "UiCtrl::RecoveryGraphWnd::SaveScanResultTo", __LINE__,
                 partial.c_str(), path.c_str(), std::strerror(errno));
        saved = false;
    }
    if (!saved) ::unlink(partial.c_str());
    if (cancelled) return saved ? 0 : -3;
    if (saved) {
        ShowMessageBox(GetHwnd(), Localized("ExportOk").c_str(), nullptr, MB_ICONINFORMATION);
        return 0;
    }
    // A result that would not find its disk again when loaded is not written: the user is told why.
    const std::string failed = Localized("ExportFailed") + (diskUnnamed ? "\n" + Localized("ExportNoDisk") : std::string());
    ShowMessageBox(GetHwnd(), failed.c_str(), nullptr, MB_ICONWARNING);
    return -3;
}

int RecoveryGraphWnd::Tip2Quit() {
    if (quitDone_) return 0;
    quitDone_ = true;
    RecoveryGraph& session = RecoveryGraph::Instance();
    session.SetDirectoryTree(nullptr);
    session.StopScan();
    progress_.DoStop(false);
    WriteLog("%s %d\r\n", "UiCtrl::RecoveryGraphWnd::Tip2Quit", __LINE__);
    if (browser_) {
        PumpUntilScanEnds();
        ClearBrowser();
    }
    quitting_.store(true);
    selectionEvent_.Set();
    WriteLog("%s %d\r\n", "UiCtrl::RecoveryGraphWnd::Tip2Quit", __LINE__);
    return 0;
}

int RecoveryGraphWnd::LostDevice() {
    RecoveryGraph& session = RecoveryGraph::Instance();
    VolumeRecord* volume = session.GetFirstVolume();
    if (!volume) return -2;
    if (GetFirstDiskGeometry(volume)) return 0;
    if (!Widget() || !Widget()->isVisible()) return -4;
    if (session.GetNothingSelected() == 1) return 0;
    // What was found stays counted: the scan's end tells it, and must not take the stop for a
    // scan that found nothing.
    session.ForgetLostVolumes();
    progress_.StopForLostDevice();
    session.StopScan();
    if (openDialog_ && IsWindow(openDialog_)) PostMessage(openDialog_, WM_COMMAND, CMD_DEVICE_LOST, 0);
    openDialog_ = nullptr;
    // A scan that had ended offers no deep scan of the disk any more.
    progress_.ShowFinishButtons();
    progress_.Invalidate();
    ShowMessageBox(GetHwnd(), Localized("LostDevice").c_str(), nullptr, MB_ICONWARNING);
    PumpUntilScanEnds();
    return 0;
}

int RecoveryGraphWnd::ApplyLanguage() {
    progress_.ApplyLanguage();
    tip_.ApplyLanguage();
    for (auto& [id, item] : items_) item->ApplyLanguage();
    selectionEvent_.Set();
    if (browser_) browser_->SetLanguage(static_cast<int>(GetUiLanguage()));
    OnSize(0, 0);
    return 0;
}

void RecoveryGraphWnd::OnCommand(int id, LPARAM lParam) {
    switch (id) {
    case CMD_DEEP_SCAN: DoDeepScan(); break;
    case CMD_RECOVER: OnRecovery(); break;
    case CMD_SAVE_SCAN: DoSaveScanResult(); break;
    case CMD_GO_HOME:
        GoHome();
        if (QWidget* w = Widget())
            if (auto* parent = dynamic_cast<ui::WindowCore*>(w->parentWidget())) PostMessage(parent->Handle(), WM_COMMAND, CMD_GO_HOME, reinterpret_cast<LPARAM>(GetHwnd()));
        break;
    case kCmdPauseTip: tip_.ShowWithDelay("Sure2Pause"); break;
    case kCmdHideTip: tip_.Hide(); break;
    default:
        if (QWidget* w = Widget())
            if (auto* parent = dynamic_cast<ui::WindowCore*>(w->parentWidget())) PostMessage(parent->Handle(), WM_COMMAND, static_cast<WPARAM>(id), lParam);
        break;
    }
}

LRESULT RecoveryGraphWnd::WndProc(u32 message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_COMMAND:
        OnCommand(LOWORD(wParam), lParam);
        return 0;
    case WM_UI_SCAN_FINISHED:
        OnScanFinished();
        return 0;
    case WM_UI_REFRESH_FILES:
        // A new scan, a pause, a stop or going home: the search hits belong to the trees before.
        if (browser_) browser_->CloseSearch();
        return 0;
    case WM_UI_FREEZE_VIEW:
        if (RecoveryGraph::Instance().GetStopRequested() != 0) return 0;
        // Set for the whole freeze, the wait box's run included.
        if (wParam == 1) return WithViewBusy([&] { return DoFreeze(static_cast<u32>(lParam)); });
        WithViewBusy([this] { DoUnFreeze(); });
        return 0;
    case WM_UI_SELECTION_CHANGED:
        OnSelectionChanged(wParam != 0);
        return 0;
    case WM_UI_DO_SEARCH:
        if (wParam == 0) return kSearchNoBrowser;
        return OnDoSearch(reinterpret_cast<const char*>(wParam));
    case kMsgSelectedText: {
        std::string text;
        {
            std::lock_guard<std::mutex> lock(selectedTextLock_);
            text = selectedText_;
        }
        progress_.SetSelectedText(text);
        if (UiItem* recover = GetItem(kItemRecover)) recover->Enable(somethingChecked_.load() != 0);
        progress_.Invalidate();
        return 0;
    }
    default:
        return UiSdkWndBase::WndProc(message, wParam, lParam);
    }
}

}  // namespace UiCtrl
