#include "app/dialogs/ExportFlow.h"

#include "app/dialogs/ExportProgress.h"
#include "app/dialogs/ExportResult.h"
#include "app/dialogs/SelExportPathDlg.h"
#include "app/dialogs/WarmTipDlg.h"

int RunExportDialogs(HWND owner) {
    SelExportPathDlg folder(owner);
    if (folder.DoModal() != IDOK) return IDCANCEL;
    ExportProgress progress(owner);
    progress.targetPath = folder.GetPath();
    progress.DoModal();
    ExportResult result(owner);
    result.targetPath = progress.targetPath;
    result.success = ExportSucceeded(progress.Result(), progress.Counts());
    result.fileCount = progress.FileCount();
    result.counts = progress.Counts();
    result.DoModal();
    ShowWarmTipIfWanted(ui::WindowCore::WidgetFromHandle(owner));
    return IDOK;
}
