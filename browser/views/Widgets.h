#pragma once
// Small widgets of the browser: the image button of the command bar, the tab strip of the left
// view and the command bar of the right view.
#include <QAbstractButton>
#include <QWidget>
#include <functional>
#include <string>
#include <vector>

#include "browser/views/ToolTip.h"
#include "platform/Types.h"

namespace FileSelCtrl {

constexpr int ID_VIEW_LARGEICONS = 4011;
constexpr int ID_VIEW_DETAILS = 4012;
constexpr int ID_VIEW_PREVIEWPANE = 4013;
constexpr int ID_VIEW_SEARCH = 4014;

// A button drawn from a strip of four images: normal, hover, pressed or checked, disabled.
class CButtonEx : public QAbstractButton {
    Q_OBJECT
public:
    CButtonEx(int id, QWidget* parent);
    void SetStrip(const QImage& strip, int imageWidth);
    void SetPressed(bool pressed);
    bool IsPressed() const { return m_checked; }
    int Id() const { return m_id; }
    // Which strip image the button shows now.
    int ImageIndex() const;
    void SetTipText(const QString& text) { m_tip.SetText(text); }
    CFileSelToolTip& Tip() { return m_tip; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;

private:
    int m_id;
    QImage m_strip;
    int m_imageWidth = 0;
    bool m_hover = false;
    bool m_checked = false;
    CFileSelToolTip m_tip;
};

// Tab ids.
constexpr u32 kTabPath = 1;
constexpr u32 kTabType = 2;
constexpr u32 kTabSearch = 4;

class CWndTabCtrl : public QWidget {
    Q_OBJECT
public:
    explicit CWndTabCtrl(QWidget* parent);
    // False when a tab with the id exists.
    bool AddTab(const std::string& text, u32 id, bool closable);
    void SetTexts(const std::vector<std::string>& texts);
    bool RemoveSearchTab();
    bool Select(u32 id);
    int CurrentId() const;
    int TabCount() const { return static_cast<int>(m_tabs.size()); }
    // The tab's horizontal extent, for tests and clicks.
    bool TabExtent(u32 id, int& left, int& right) const;
    // The id of the tab under the mouse, -1 when none; whether the mouse is on its cross.
    int HoveredId() const;
    bool IsCrossHovered() const { return m_crossHover; }
    // The colour a tab's caption and its cross are drawn in now.
    QColor CaptionColour(u32 id) const;
    QColor CrossColour(u32 id) const;

signals:
    void selectTree(u32 id);
    void closeSearch();

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void leaveEvent(QEvent* event) override;

private:
    struct Tab {
        std::string text;
        int left = 0;
        int right = 0;
        bool closable = false;
        u32 id = 0;
    };
    void Layout();
    int TabAt(int x, int y) const;
    bool OnCross(const Tab& tab, int x, int y) const;

    int IndexOf(u32 id) const;
    void SetHover(int index, bool onCross);

    std::vector<Tab> m_tabs;
    int m_current = -1;
    int m_pressed = -1;
    int m_hover = -1;
    bool m_crossHover = false;
};

class CWndRightCommand : public QWidget {
    Q_OBJECT
public:
    explicit CWndRightCommand(QWidget* parent);
    void ApplyLanguage();
    // Enabled when no scan runs: the view buttons work and the preview pane shows.
    void ResetCommands(bool enable);
    CButtonEx* Button(int id) const;
    // Runs a command as if its button was clicked.
    void OnCommand(int id);

signals:
    void showPreviewPane(bool on);
    void setViewMode(bool details);
    void openSearch();

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void Press(int id);
    std::vector<CButtonEx*> m_buttons;  // search, large icons, details, preview pane
};

}  // namespace FileSelCtrl
