#pragma once
// Opening one file of the list for a preview: the checks, the scan paused meanwhile, the copy
// to a temporary file, the viewer, and the temporary copies removed.
#include <functional>
#include <string>

#include "platform/Types.h"

class CFileNode;
class QWidget;
class IFileProperties;
class IStorageDevice;

namespace FileSelCtrl {

constexpr i64 kMaxPreviewBytes = 0x6400000;  // 100 MiB

// The message the checks give for a file, empty when it can be previewed.
std::string CheckPreviewable(const IFileProperties* properties);

// A preview pauses a running scan while it copies and shows the file, through the scan session:
// its flag says the pause is the browser's (the progress strip goes on saying "Searching", the
// scan thread leaves the windows as they are), and resuming continues only a scan the browser
// paused. The warning strip of the preview spares a recovery started from it the tip; the end of
// the preview takes that back.
void PauseScanForPreview();
void ResumeScanAfterPreview();
bool IsScanPausedForPreview();

// The application's wait cursor for a scope, and the main window disabled for a scope.
class CSimpleWaitCursor {
public:
    CSimpleWaitCursor();
    ~CSimpleWaitCursor();
    CSimpleWaitCursor(const CSimpleWaitCursor&) = delete;
    CSimpleWaitCursor& operator=(const CSimpleWaitCursor&) = delete;
};

class CUIWaitProc {
public:
    CUIWaitProc();
    ~CUIWaitProc();
    CUIWaitProc(const CUIWaitProc&) = delete;
    CUIWaitProc& operator=(const CUIWaitProc&) = delete;

private:
    QWidget* m_window = nullptr;
};

// What shows a copied file: the node, its name and the temporary copy. Without one (nullptr) the
// preview windows do (rich text, the desktop's document viewer, the preview dialog).
using PreviewViewer = std::function<void(CFileNode* node, const std::string& name, const std::string& tempPath)>;
void SetPreviewViewer(PreviewViewer viewer);

// Copies the file out of the scan and shows it; the message to tell the user, empty when the
// viewer ran. The window goes on while the file is copied (the writer's wait pumps its messages,
// see PumpWindowMessages): the scan may replace the file's tree meanwhile, so the copy and the
// viewer work on the file held (the node is read only when the call begins).
std::string PreviewFile(CFileNode* node, IStorageDevice* device);

// What the writer's wait for a preview's copy runs every 10 ms on the UI thread: the window's
// messages, so that it repaints and answers while a big file comes off a slow disk. The browser
// installs it when it is created.
void PumpWindowMessages();

// Removes a temporary copy and the ".doc" and ".xls" names an office viewer may have made of it.
void DeleteTempCopies(const std::string& path);

}  // namespace FileSelCtrl
