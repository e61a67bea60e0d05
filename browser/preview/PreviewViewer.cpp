#include "browser/preview/PreviewViewer.h"

#include <tinyxml.h>

#include <QApplication>
#include <QMessageBox>
#include <cctype>

#include "browser/model/BrowserConfig.h"
#include "browser/model/BrowserSkin.h"
#include "browser/model/FileSelCtrlSink.h"
#include "browser/model/NodeManager.h"
#include "browser/preview/OfficeRtf.h"
#include "browser/preview/PreviewDialog.h"

namespace FileSelCtrl {

namespace {
PreviewMessage g_message;
PreviewDialogRunner g_runner;

void Tell(const QString& text, bool warning, QWidget* parent) {
    if (g_message) return g_message(text, warning);
    if (warning) QMessageBox::warning(parent, QApplication::applicationDisplayName(), text);
    else QMessageBox::information(parent, QApplication::applicationDisplayName(), text);
}

void Run(QDialog& dialog) {
    // The main window is disabled while a preview runs; its preview windows are not.
    dialog.setEnabled(true);
    if (g_runner) return g_runner(dialog);
    dialog.exec();
}

std::string LowerEnding(const std::string& name) {
    const size_t dot = name.rfind('.');
    std::string ending = dot == std::string::npos ? std::string() : name.substr(dot);
    for (char& c : ending) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return ending;
}
}  // namespace

void SetPreviewMessageFunction(PreviewMessage f) { g_message = std::move(f); }
void SetPreviewDialogRunner(PreviewDialogRunner runner) { g_runner = std::move(runner); }

QString PreviewWndText(const char* attribute, const QString& fallback) {
    TiXmlDocument doc;
    if (!doc.LoadFile(CFileSelCtrlConfig::Instance().GetXmlPath().c_str())) return fallback;
    const TiXmlElement* root = doc.RootElement();
    const TiXmlElement* preview = root ? root->FirstChildElement("PreviewWnd") : nullptr;
    const char* text = preview ? preview->Attribute(attribute) : nullptr;
    return text ? QString::fromUtf8(text) : fallback;
}

void ShowFoundFile(const HeldFile& file, const std::string& name, const std::string& tempPath, bool pausedScan,
                   QWidget* parent) {
    if (IsRtfFile(tempPath)) {
        CRtfPreviewerDlg dialog(parent);
        if (dialog.Load(tempPath, name)) return Run(dialog);
    }
    const std::string ending = LowerEnding(name);
    const bool newFormat = ending == ".docx" || ending == ".xlsx";
    if (newFormat || OldOfficeDocumentKind(tempPath) != OfficeKind::None) {
        if (!OpenInDocumentViewer(tempPath, name))
            Tell(PreviewWndText("NoDocumentViewer", QStringLiteral("No program to show this document is installed.")), false,
                 parent);
        return;
    }
    if (ending == ".doc" || ending == ".xls") Tell(QString::fromStdString(Skin().notSupportOffice), true, parent);
    CFilePreViewDlg dialog(parent, file, name, tempPath, IsImageName(name) ? PreviewMode::Picture : PreviewMode::NotPicture,
                           pausedScan);
    dialog.recoverNode = [](const HeldFile& chosen) {
        if (IFileSelCtrlSink* sink = CFileVirtualNodeManager::Instance().Sink()) sink->RecoverNode(chosen);
    };
    Run(dialog);
}

}  // namespace FileSelCtrl
