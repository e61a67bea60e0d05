#pragma once
// The browser's top window with its left view (tabs and trees) and right view (command bar,
// lists, preview pane) side by side behind a draggable splitter.
#include <QListView>
#include <QWidget>
#include <atomic>
#include <functional>

#include "browser/model/BindingNode.h"
#include "browser/preview/PreviewPane.h"
#include "browser/views/IconCtrl.h"
#include "browser/views/ListCtrl.h"
#include "browser/views/TreeCtrl.h"
#include "browser/views/Widgets.h"
#include "platform/ui/Window.h"

namespace FileSelCtrl {

constexpr u32 WM_FILESEL_LAYOUT = WM_USER_MSG + 1024;
constexpr u32 WM_FILESEL_RECOVERNODE = WM_USER_MSG + 1050;
constexpr u32 WM_FILESEL_RESETCOMMANDS = WM_USER_MSG + 1056;
// Posted by AskIdle off the UI thread: wParam the idle state, lParam the number of the ask.
constexpr u32 WM_FILESEL_SETIDLE = WM_USER_MSG + 1057;
// How long the UI thread binds delivered nodes at one time before it lets other events run.
constexpr u32 kDrainSliceMs = 20;
constexpr int kMinPaneWidth = 55;
constexpr int kFirstLeftWidth = 200;
constexpr int kPreviewRoom = 296;
constexpr int kMinPreviewWidth = 240;

// The container's splitter and layout rules, with W the client width, S the splitter width and
// R the right view's least width.
int ClampContainerSplitter(int position, int clientWidth, int splitterWidth, int rightMinWidth);
// The list/pane splitter's limits in a right view W wide: the list at least 55 pixels, the pane
// at least 240.
int ClampPaneSplitter(int position, int clientWidth);
// The left width a layout gives: 0 (first layout) becomes 200; a splitter position outside the
// limits keeps the current width.
int ContainerLeftWidth(bool fromSplitter, int position, int current, int clientWidth, int splitterWidth, int rightMinWidth);

// A vertical splitter bar over the gap between two views: the resize cursor over the gap's
// whole length and a few pixels either side of it (the skin's gap is one pixel), a bar that
// follows the pointer while it is dragged, and the drop handed on where it was let go.
class CSplitterHandle : public QWidget {
    Q_OBJECT
public:
    // clamp: the allowed gap position for a wanted one; drop: the position let go at.
    CSplitterHandle(QWidget* parent, std::function<int(int)> clamp, std::function<void(int)> drop);
    // The gap at x, S pixels wide, from top down for height pixels (parent coordinates).
    void PlaceAt(int x, int top, int height);
    bool IsDragging() const { return m_dragging; }
    // How far either side of the gap the handle reaches.
    static constexpr int kGrip = 3;

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    int PointerGap(const QMouseEvent* event) const;

    std::function<int(int)> m_clamp;
    std::function<void(int)> m_drop;
    int m_gap = 0;        // the gap's x in the parent while not dragging
    int m_dragGap = 0;    // where the bar is drawn while dragging
    int m_grabOffset = 0; // the pointer's distance from the gap when pressed
    bool m_dragging = false;
};

class CWndLeftView : public QWidget {
    Q_OBJECT
public:
    explicit CWndLeftView(QWidget* parent);
    void SelectTree(u32 id);
    void ShowSearchTab();
    void CloseSearch();
    void ApplyLanguage();
    CFileTreeCtrl* PathTree() const { return m_pathTree; }
    CFileTreeCtrl* TypeTree() const { return m_typeTree; }
    CWndTabCtrl* Tabs() const { return m_tabs; }
    CFileTreeCtrl* CurrentTree() const { return m_current; }
    bool IsCollapsed() const { return m_collapsed; }

signals:
    void searchLayout(bool on);

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    CWndTabCtrl* m_tabs;
    CFileTreeCtrl* m_pathTree;
    CFileTreeCtrl* m_typeTree;
    CFileTreeCtrl* m_current = nullptr;
    u32 m_lastTree = kTabPath;
    bool m_searchShown = false;
    bool m_collapsed = false;
};

using MessageFunction = std::function<void(const std::string& text)>;
// How the browser tells the user something (a message box by default; tests replace it).
void SetBrowserMessageFunction(MessageFunction f);

class CWndRightView : public QWidget {
    Q_OBJECT
public:
    explicit CWndRightView(QWidget* parent);
    void ShowPreviewPane(bool on);
    void SetViewMode(bool details);
    void OpenItem(FileList_Item* row);
    void SetIdle(bool idle);
    void ApplyLanguage();
    int MinWidth() const;
    bool IsPreviewShown() const { return m_previewShown; }
    bool IsDetails() const { return m_details; }
    CFileListCtrl* Details() const { return m_list; }
    CFileIconView* Icons() const { return m_icons; }
    CWndRightCommand* Commands() const { return m_command; }
    CWndPreview* Preview() const { return m_preview; }
    CSplitterHandle* Splitter() const { return m_splitter; }
    int ListWidth() const { return m_listWidth; }
    // A drag of the list/pane splitter let go with the list this wide.
    void DropSplitter(int position);
    std::function<void(CBindingNode*)> selectFolder;
    std::function<void()> ensurePreviewRoom;

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    void Layout();
    // The pane takes a row of the current list, or its empty state for none.
    void ShowInPane(int row);
    // The pane after a change of the view's choice: empty when nothing is chosen.
    void FollowSelection(QAbstractItemView* view);

    CWndRightCommand* m_command;
    CFileListCtrl* m_list;
    CFileIconView* m_icons;
    CWndPreview* m_preview;
    CSplitterHandle* m_splitter;
    bool m_previewShown = false;
    bool m_details = true;
    bool m_idle = true;
    int m_listWidth = 0;
    int m_paneWidth = kMinPreviewWidth;  // the pane keeps its width; the list takes the rest
};

class CFileSelCtrlContainer : public ui::WindowOf<QWidget> {
public:
    CFileSelCtrlContainer();
    ~CFileSelCtrlContainer() override;

    LRESULT OnMessage(u32 message, WPARAM wParam, LPARAM lParam) override;
    void ApplyLanguage();
    void SetSearchLayout(bool on);
    void EnsurePreviewRoom();
    // Idle when no scan adds to the trees. UI thread.
    void SetIdle(bool idle);
    // The same for the build-state ask numbered `ask`, from any thread (the scan's own): the
    // windows follow on the UI thread, unless a later ask overtook this one meanwhile.
    void AskIdle(bool idle, u64 ask);
    void ResetRightView();
    // The lists draw their rows again (the view-clearing flag dropped).
    void RepaintLists();
    CWndLeftView* Left() const { return m_left; }
    CWndRightView* Right() const { return m_right; }
    int LeftWidth() const { return m_leftWidth; }
    CSplitterHandle* Splitter() const { return m_splitter; }
    // A splitter drag released at x.
    void DropSplitter(int x);

private:
    void RecalcLayout(bool fromSplitter, int position);
    void ApplyIdle(bool idle);

    CWndLeftView* m_left;
    CWndRightView* m_right;
    CSplitterHandle* m_splitter;
    int m_leftWidth = 0;
    bool m_searchLayout = false;
    bool m_dragging = false;
};

// Loads FileSelCtrl.xml of the current language into the skin values.
void LoadConfig();

}  // namespace FileSelCtrl
