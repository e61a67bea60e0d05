#pragma once
// The modal window in which one found file is looked at after its copy was made: as a picture,
// as text and as hex, in tabs, with a button that recovers the file for real. While the preview
// holds a running scan paused, a warning strip says so.
#include <QDialog>
#include <QElapsedTimer>
#include <QTabBar>
#include <functional>
#include <string>

#include "engine/HeldFile.h"
#include "platform/Types.h"

class QLabel;
class QPushButton;
class QScrollBar;
class QAbstractButton;
class CButtonPlus;
class CMsBtn;

namespace FileSelCtrl {

class CImageWindow;
class CFilePreViewEdit;
class CHexFilePreViewEdit;
class CTextFilePreViewEdit;

// The flat grey tab strip of the preview window.
class CXPTabCtrl : public QTabBar {
    Q_OBJECT
public:
    explicit CXPTabCtrl(QWidget* parent = nullptr);
    // The rectangle a tab's text is written into, from its top left corner on.
    static QRect TabTextRect(const QRect& tab);

protected:
    void paintEvent(QPaintEvent* event) override;
};

// The strip laid over the bottom of the preview while the scan is paused: the warning picture of
// bitmap 493, one line of text and a close button, the owner-drawn button over the frames of
// bitmap 492.
class CWarningDialog : public QWidget {
    Q_OBJECT
public:
    enum ControlId { kCloseButton = 1005 };
    static constexpr int kCloseBitmap = 492;
    static constexpr int kCloseFrames = 4;
    static constexpr int kPictureBitmap = 493;

    explicit CWarningDialog(QWidget* parent);
    // The text of the browser's configuration (empty when it has none).
    static QString ConfiguredText();
    void Reposition(const QRect& area);
    QString Text() const;
    CMsBtn* CloseButton() const { return m_close; }
    QPixmap Picture() const;

signals:
    void confirmed();

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QLabel* m_picture;
    QLabel* m_text;
    CMsBtn* m_close;
    QSize m_closeFrame;  // one frame of the close button's bitmap
};

enum class PreviewMode : i32 { Picture = 0, NotPicture = 1 };

class CFilePreViewDlg : public QDialog {
    Q_OBJECT
public:
    // warnPaused: the preview paused a running scan. The window holds the file for as long as
    // it is open, whatever the scan does with its tree meanwhile.
    CFilePreViewDlg(QWidget* parent, HeldFile file, const std::string& displayName, const std::string& tempPath,
                    PreviewMode mode, bool warnPaused);
    ~CFilePreViewDlg() override;

    // Where "Recovery" hands the file once the window has closed.
    std::function<void(const HeldFile&)> recoverNode;

    enum class Page { Picture, Text, Hex };
    Page CurrentPage() const;
    void SelectTab(int index);
    CXPTabCtrl* Tabs() const { return m_tabs; }
    CImageWindow* Image() const { return m_image; }
    CTextFilePreViewEdit* TextView() const { return m_text; }
    CHexFilePreViewEdit* HexView() const { return m_hex; }
    QScrollBar* ScrollBar() const { return m_scroll; }
    QPushButton* BestFitButton() const { return m_bestFit; }
    QPushButton* ActualSizeButton() const { return m_actualSize; }
    QAbstractButton* RecoveryButton() const;
    QAbstractButton* CloseButton() const;
    CWarningDialog* Warning() const { return m_warningShown ? m_warning : nullptr; }
    void SetMaximised(bool maximise);
    const std::string& TempPath() const { return m_tempPath; }

protected:
    void resizeEvent(QResizeEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void accept() override;

private:
    void LoadViews();
    void ShowPage(Page page);
    void RefreshPage(bool now);
    void ScrollTo(int line);
    void OnScrollKey(int key);
    CFilePreViewEdit* ActiveEdit() const;

    HeldFile m_file;
    std::string m_tempPath;
    std::string m_displayName;
    PreviewMode m_mode;
    int m_viewKind = 0;
    Page m_shown = Page::Picture;
    CTextFilePreViewEdit* m_text;
    CHexFilePreViewEdit* m_hex;
    CXPTabCtrl* m_tabs;
    QScrollBar* m_scroll;
    CImageWindow* m_image;
    QWidget* m_pictureStrip;
    QPushButton* m_bestFit;
    QPushButton* m_actualSize;
    CButtonPlus* m_recovery;
    CButtonPlus* m_close;
    CWarningDialog* m_warning = nullptr;
    bool m_warningShown = false;
    QElapsedTimer m_lastRefresh;
    bool m_refreshPending = false;
};

}  // namespace FileSelCtrl
