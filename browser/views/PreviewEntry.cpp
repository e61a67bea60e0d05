#include "browser/views/PreviewEntry.h"

#include <QApplication>
#include <QGuiApplication>
#include <QThread>
#include <QWidget>
#include <cstdio>
#include <unistd.h>

#include "browser/model/BrowserSkin.h"
#include "browser/model/ListModel.h"
#include "browser/preview/PreviewTemp.h"
#include "browser/preview/PreviewViewer.h"
#include "browser/model/UsageEvents.h"
#include "engine/FileNode.h"
#include "engine/FileProperties.h"
#include "engine/FileRecoverCallback.h"
#include "engine/HeldFile.h"
#include "engine/Progress.h"
#include "engine/RecoveryController.h"
#include "engine/RecoveryGraph.h"
#include "platform/ProgramDir.h"

namespace FileSelCtrl {

namespace {

constexpr i32 kGoOn = 0;

PreviewViewer g_viewer;

// The writer's callback for a preview copy: nothing to report, never cancelled.
class CFileSelDefRecoveryCB : public IFileRecoverCallback {
public:
    i32 OnBegin(u32, u64) override { return kGoOn; }
    i32 OnFilesDone(u32) override { return kGoOn; }
    i32 OnBytesDone(u64) override { return kGoOn; }
    i32 OnStep(u32) override { return kGoOn; }
    i32 OnFileName(const char*) override { return kGoOn; }
    i32 IsCancelled() override { return kGoOn; }
};

void ReplaceTail(std::string& path, const std::string& from, const std::string& to) {
    if (path.size() >= from.size() && path.compare(path.size() - from.size(), from.size(), from) == 0) {
        path.replace(path.size() - from.size(), from.size(), to);
    }
}

}  // namespace

std::string CheckPreviewable(const IFileProperties* p) {
    const BrowserSkin& s = Skin();
    if (!p || p->GetSize() == 0) return s.canNotPreview;
    if (p->GetAttributes() & kAttrEfsEncrypted) return s.previewEncrypt;
    if ((p->GetValidFields() & kValidSize) && static_cast<i64>(p->GetSize()) > kMaxPreviewBytes) return s.fileTooLarge;
    return {};
}

void PauseScanForPreview() { RecoveryGraph::Instance().PauseScan(true); }

void ResumeScanAfterPreview() {
    RecoveryGraph& session = RecoveryGraph::Instance();
    if (session.GetPausedBySession() == 0) return;
    session.PauseScan(false);
    session.SetSkipTip(0);
}

bool IsScanPausedForPreview() { return RecoveryGraph::Instance().GetPausedBySession() != 0; }

CSimpleWaitCursor::CSimpleWaitCursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }
CSimpleWaitCursor::~CSimpleWaitCursor() { QApplication::restoreOverrideCursor(); }

CUIWaitProc::CUIWaitProc() {
    m_window = QApplication::activeWindow();
    if (m_window) m_window->setEnabled(false);
}
CUIWaitProc::~CUIWaitProc() {
    if (m_window) m_window->setEnabled(true);
}

void SetPreviewViewer(PreviewViewer viewer) { g_viewer = std::move(viewer); }

void DeleteTempCopies(const std::string& path) {
    if (path.empty()) return;
    std::remove(path.c_str());
    std::string doc = path;
    ReplaceTail(doc, ".tmp", ".doc");
    if (doc != path) std::remove(doc.c_str());
    std::string xls = doc;
    ReplaceTail(xls, ".doc", ".xls");
    if (xls != doc) std::remove(xls.c_str());
}

void PumpWindowMessages() {
    QCoreApplication* app = QCoreApplication::instance();
    if (!app || QThread::currentThread() != app->thread()) return;
    QCoreApplication::processEvents(QEventLoop::AllEvents);
}

std::string PreviewFile(CFileNode* node, IStorageDevice* device) {
    const IFileProperties* p = node ? node->GetFileProperties() : nullptr;
    std::string refusal = CheckPreviewable(p);
    if (!refusal.empty()) return refusal;
    if (!device) return Skin().canNotPreview;
    const std::string temp = NewPreviewTempName();
    if (temp.empty()) return Skin().canNotPreview;
    SetCurrentRecoveryController(RecoveryGraph::Instance().GetController());
    // The list's loader and picture work wait while the file is copied; a pause that was
    // already on (a scan adding files) stays on.
    const bool loadingPaused = CFileListData::GetCurrent().DataCache().IsPaused();
    CFileListData::PauseLoading(true);
    PauseScanForPreview();
    const bool paused = IsScanPausedForPreview();
    if (paused) StatsEvent(kUsagePreviewPausedScan);
    // Taken once the scan stands paused (a paused scan places its files best), before the window
    // turns again: while the file is copied and shown the scan may replace or drop its tree.
    const HeldFile file = CHeldFile::Take(node);
    CFileSelDefRecoveryCB callback;
    const bool copied = file && CopyForPreview(&callback, device, file->Node(), temp, true);
    if (!loadingPaused) CFileListData::PauseLoading(false);
    if (copied) StatsEvent(kUsagePreviewCopied);
    std::string message;
    if (!copied) {
        message = Skin().canNotPreview;
    } else {
        const std::string name = file->Name();
        if (g_viewer) g_viewer(file->Node(), name, temp);
        else ShowFoundFile(file, name, temp, paused, QApplication::activeWindow());
    }
    DeleteTempCopies(temp);
    RemovePreviewTemp(temp);
    ResumeScanAfterPreview();
    StatsEvent(kUsagePreviewEnded);
    return message;
}

}  // namespace FileSelCtrl
