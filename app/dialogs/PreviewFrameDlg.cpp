#include "app/dialogs/PreviewFrameDlg.h"

#include "app/CrashFilter.h"
#include "app/ui/MessageBox.h"
#include "browser/views/Container.h"

#include "browser/preview/PreviewDialog.h"
#include "browser/preview/PreviewViewer.h"

PreviewFrameDlg::PreviewFrameDlg(QDialog& content, QWidget* parent) : HomeBaseDialog(kPreviewTemplate, nullptr, 0), content_(content) {
    if (parent) setParent(parent->window(), windowFlags());
    setModal(true);
}

PreviewFrameDlg::~PreviewFrameDlg() {
    // The preview goes back to its owner, who destroys it.
    if (content_.parentWidget() == this) {
        content_.hide();
        content_.setParent(nullptr);
    }
}

bool PreviewFrameDlg::OnInitDialog() {
    HomeBaseDialog::OnInitDialog();
    ApplySkinSize("Preview");
    LayoutCaption();
    setWindowTitle(content_.windowTitle());
    content_.setParent(this, Qt::Widget);
    // Its Recovery and Close buttons end the frame with the preview's result.
    QObject::connect(&content_, &QDialog::finished, this, [this](int result) { EndDialog(result); });
    LayoutContent();
    content_.show();
    return true;
}

void PreviewFrameDlg::LayoutContent() {
    const RECT c = ClientRect();
    content_.setGeometry(ClientToWindowX(c.left), ClientToWindowY(c.top), c.Width(), c.Height());
}

LRESULT PreviewFrameDlg::OnMessage(u32 message, WPARAM wParam, LPARAM lParam) {
    const LRESULT result = HomeBaseDialog::OnMessage(message, wParam, lParam);
    if (message == WM_SIZE && content_.parentWidget() == this) LayoutContent();
    return result;
}

void InstallPreviewFrame() {
    FileSelCtrl::SetPreviewDialogRunner([](QDialog& dialog) {
        // Only the file preview is framed; the other viewers run as they are.
        if (!qobject_cast<FileSelCtrl::CFilePreViewDlg*>(&dialog)) {
            dialog.exec();
            return;
        }
        PreviewFrameDlg frame(dialog, dialog.parentWidget());
        frame.DoModal();
    });
}

void InstallBrowserMessages(HWND browserWindow) {
    auto show = [browserWindow](const std::string& text, u32 icon) {
        ShowMessageBox(browserWindow, text.c_str(), kProgramTitle, icon);
    };
    FileSelCtrl::SetBrowserMessageFunction([show](const std::string& text) { show(text, MB_ICONINFORMATION); });
    FileSelCtrl::SetPreviewMessageFunction(
        [show](const QString& text, bool warning) { show(text.toStdString(), warning ? MB_ICONWARNING : MB_ICONINFORMATION); });
}
