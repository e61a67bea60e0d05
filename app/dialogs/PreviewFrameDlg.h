#pragma once
// The skinned window a found file's preview runs in: the caption strip with its close item and
// the file's name as the title, the browser's preview window filling the client area. The
// preview stays the browser's; the frame only hosts it for as long as it runs.
#include <QDialog>

#include "app/ui/HomeBaseDialog.h"

class PreviewFrameDlg : public HomeBaseDialog {
public:
    // content: the preview, owned by the caller; parent: the window it was opened over.
    PreviewFrameDlg(QDialog& content, QWidget* parent);
    ~PreviewFrameDlg() override;

    QDialog& Content() const { return content_; }
    LRESULT OnMessage(u32 message, WPARAM wParam, LPARAM lParam) override;

protected:
    bool OnInitDialog() override;

private:
    void LayoutContent();

    QDialog& content_;
};

// Makes the browser run its preview window inside this frame.
void InstallPreviewFrame();
// The browser's messages about a preview (a file it cannot show, a document that is none) come
// in the program's own message box, owned by the browser's window, with the program's title as
// caption: the information icon, or the warning icon where the viewer warns.
void InstallBrowserMessages(HWND browserWindow);
