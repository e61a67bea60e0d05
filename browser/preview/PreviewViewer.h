#pragma once
// Which viewer shows a copied file: rich text in its copy-limited window, Word and Excel
// documents in the desktop's viewer, everything else in the preview window.
#include <QDialog>
#include <QString>
#include <functional>
#include <string>

#include "engine/HeldFile.h"

class QWidget;

namespace FileSelCtrl {

// Shows the copy at tempPath of the found file named name; pausedScan: the preview paused a
// running scan (the preview window then says so).
void ShowFoundFile(const HeldFile& file, const std::string& name, const std::string& tempPath, bool pausedScan,
                   QWidget* parent);

// An attribute of the element "PreviewWnd" of the browser's configuration, the fallback when the
// file, the element or the attribute is missing.
QString PreviewWndText(const char* attribute, const QString& fallback);

// How the viewers talk to the user and run their windows; tests replace both, nullptr puts the
// message box and the modal run back.
using PreviewMessage = std::function<void(const QString& text, bool warning)>;
void SetPreviewMessageFunction(PreviewMessage f);
using PreviewDialogRunner = std::function<void(QDialog& dialog)>;
void SetPreviewDialogRunner(PreviewDialogRunner runner);

}  // namespace FileSelCtrl
