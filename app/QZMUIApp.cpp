#include "app/QZMUIApp.h"

#include <QApplication>
#include <QMessageBox>
#include <QSocketNotifier>
#include <memory>

#include "app/AboutDlg.h"
#include "app/EnvironmentLog.h"
#include "app/QZMUIDlg.h"
#include "plugins/Plugins.h"
#include "core/Shell.h"
#include "core/VersionInfo.h"
#include "app/ui/MessageBox.h"
#include "app/ui/UiLanguage.h"
#include "app/ui/UiResources.h"
#include "browser/model/UsageEvents.h"
#include "browser/preview/PreviewTemp.h"
#include "browser/preview/PreviewWorkers.h"
#include "devices/VolumeEnumerator.h"
#include "engine/RecoveryGraph.h"
#include "platform/DeviceWatch.h"
#include "platform/SingleInstance.h"
#include "platform/Stats.h"

namespace {
constexpr u32 kStatsExit = 8448;
constexpr u32 kStatsVersion = 8199;
}  // namespace

CQZMUIApp::CQZMUIApp(const char* buildDate, const char* buildTime) : buildDate_(buildDate), buildTime_(buildTime) {}

int SetUpLanguage() {
    char file[kMaxPath] = {0};
    GetUiLanguageFile(file);
    const u32 number = GetUiLanguage();
    SetUiLanguage(number, file);
    UiResources::Instance().SetLanguage(static_cast<int>(number), file);
    return static_cast<int>(number);
}

void BringToFront(CQZMUIDlg& dialog) {
    if (dialog.isMinimized()) dialog.showNormal();
    dialog.show();
    dialog.raise();
    dialog.activateWindow();
    QApplication::alert(&dialog);
}

int CheckAlreadyRunning(bool alreadyRunning) {
    if (!alreadyRunning) return 1;
    ShowMessageBox(nullptr, UiResources::Instance().GetString("AlreadyRun").c_str(), nullptr, MB_ICONINFORMATION);
    InstanceBeacon::Send(kMainWindowClass, kRaiseRequest);
    return 0;
}

void ReleaseScanAtExit() {
    RecoveryGraph& session = RecoveryGraph::Instance();
    session.SetStopRequested(1);
    session.StopScan();
    session.CloseScanThread();
    session.ReleaseController(true);
}

int CQZMUIApp::InitInstance() {
    if (!FindWindowResource("ShowAd")) {
        QMessageBox::critical(nullptr, QStringLiteral("Morvenda Runtime Error"), QStringLiteral("Please Reinstall Morvenda"));
        return 0;
    }
    const int language = SetUpLanguage();
    // Without the statistics library the usage events go to the trace log.
    FileSelCtrl::InstallTraceStatsSink();

    // The lock is held until the process ends; the kernel lets go of it however the process ends.
    static InstanceLock lock(kInstanceMutexName);
    const InstanceLock::Result held = lock.TryAcquire();
    if (CheckAlreadyRunning(held == InstanceLock::Result::kHeldElsewhere) == 0) return 0;

    // Copies a crash cut off are removed once one instance runs again.
    FileSelCtrl::RemovePreviewTempsLeftBehind();
    UiResources::SetFontFace(language);
    // The file systems must be known before the enumeration names the volumes.
    RegisterAllPlugins();
    EnumCollectPartition::GetInstance();
    LogEnvironment();
    const std::string module = ProgramFilePath();
    std::string copyright, version;
    ReadVersionStrings(module.c_str(), &copyright, &version);
    WriteLog("%s %s build on %s %s\r\n", module.c_str(), version.c_str(), buildDate_, buildTime_);

    int result = 0;
    {
        CQZMUIDlg dialog;
        InstanceBeacon beacon(kMainWindowClass);
        std::unique_ptr<QSocketNotifier> notifier;
        if (held == InstanceLock::Result::kAcquired && beacon.Listen()) {
            notifier = std::make_unique<QSocketNotifier>(beacon.Descriptor(), QSocketNotifier::Read);
            QObject::connect(notifier.get(), &QSocketNotifier::activated, [&beacon, &dialog]() {
                if (beacon.AcceptRequest() == kRaiseRequest) BringToFront(dialog);
            });
        }
        DeviceWatcher watcher(dialog.Handle());
        watcher.Start();
        result = dialog.DoModal();
        // The pane's copies end first: one inside a read of a disk that hangs is waited for only
        // a short while (it holds what it reads and hands nothing back), so the window goes.
        FileSelCtrl::CPreviewWorkers::Instance().Stop(FileSelCtrl::kPreviewWorkersExitWaitMs);
        watcher.Stop();
        notifier.reset();

        StatsEvent(kStatsExit);
        StatsText(kStatsVersion, version.c_str());
        if (dialog.WizardUsed()) ReportStatsExtendTable();
    }
    ReleaseScanAtExit();
    return result;
}
