#include "browser/views/Container.h"

#include <QApplication>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPainter>

#include "browser/model/BrowserConfig.h"
#include "browser/model/BrowserSkin.h"
#include "browser/model/FileSelCtrlSink.h"
#include "browser/model/NodeManager.h"
#include "browser/views/HeaderCtrl.h"
#include "browser/views/Icons.h"
#include "browser/views/PreviewEntry.h"
#include "browser/views/SearchDlg.h"
#include "engine/FileNode.h"
#include "engine/FileProperties.h"
#include "engine/RecoveryGraph.h"

namespace FileSelCtrl {

namespace {
constexpr int kLeftViewId = 3021;
constexpr int kRightViewId = 3022;
constexpr int kSearchStripWidth = 500;

MessageFunction g_message;

void Tell(const std::string& text) {
    if (g_message) {
        g_message(text);
    } else {
        QMessageBox::information(nullptr, QString(), QString::fromStdString(text));
    }
}
}  // namespace

void SetBrowserMessageFunction(MessageFunction f) { g_message = std::move(f); }

void LoadConfig() { LoadBrowserSkin(CFileSelCtrlConfig::Instance().GetXmlPath(), Skin()); }

int ClampContainerSplitter(int position, int w, int s, int r) {
    if (w <= 0) return position;
    if (w - s - position - 1 >= r) return std::max(position, kMinPaneWidth);
    return w - s - r - 1;
}

int ContainerLeftWidth(bool fromSplitter, int position, int current, int w, int s, int r) {
    if (fromSplitter) {
        if (position < kMinPaneWidth || w - s - position - 1 < r) return current;
        return position;
    }
    return current == 0 ? kFirstLeftWidth : current;
}

int ClampPaneSplitter(int position, int w) {
    if (w - position >= kMinPreviewWidth) return std::max(position, kMinPaneWidth);
    return w - kMinPreviewWidth;
}

// ---- CSplitterHandle

CSplitterHandle::CSplitterHandle(QWidget* parent, std::function<int(int)> clamp, std::function<void(int)> drop)
    : QWidget(parent), m_clamp(std::move(clamp)), m_drop(std::move(drop)) {
    setCursor(Qt::SplitHCursor);
    setMouseTracking(true);
}

void CSplitterHandle::PlaceAt(int x, int top, int height) {
    m_gap = x;
    if (m_dragging) return;
    setGeometry(x - kGrip, top, Skin().splitterWidth + 2 * kGrip, std::max(0, height));
    raise();
}

int CSplitterHandle::PointerGap(const QMouseEvent* event) const {
    return m_clamp(x() + event->position().toPoint().x() - m_grabOffset);
}

void CSplitterHandle::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) return QWidget::mousePressEvent(event);
    m_dragging = true;
    m_grabOffset = x() + event->position().toPoint().x() - m_gap;
    m_dragGap = m_gap;
    update();
}

void CSplitterHandle::mouseMoveEvent(QMouseEvent* event) {
    if (!m_dragging) return;
    const int gap = PointerGap(event);
    if (gap == m_dragGap) return;
    m_dragGap = gap;
    // The bar follows the pointer; the views stay where they are until the drop.
    move(gap - kGrip, y());
    update();
}

void CSplitterHandle::mouseReleaseEvent(QMouseEvent* event) {
    if (!m_dragging || event->button() != Qt::LeftButton) return QWidget::mouseReleaseEvent(event);
    m_dragging = false;
    const int gap = PointerGap(event);
    update();
    if (m_drop) m_drop(gap);
    PlaceAt(m_gap, y(), height());
}

void CSplitterHandle::paintEvent(QPaintEvent*) {
    if (!m_dragging) return;
    // The tracking bar: as wide as the grip, so a one-pixel gap is seen moving.
    QPainter p(this);
    p.fillRect(rect().adjusted(1, 0, -1, 0), QColor(Qt::darkGray));
}

// ---- CWndLeftView

CWndLeftView::CWndLeftView(QWidget* parent) : QWidget(parent) {
    m_tabs = new CWndTabCtrl(this);
    m_pathTree = new CFilePathTreeCtrl(this);
    m_typeTree = new CFileTypeTreeCtrl(this);
    m_pathTree->hide();
    m_typeTree->hide();
    const auto& names = Skin().treeNames;
    m_tabs->AddTab(names[0], kTabPath, false);
    m_tabs->AddTab(names[1], kTabType, false);
    m_tabs->Select(kTabPath);
    connect(m_tabs, &CWndTabCtrl::selectTree, this, &CWndLeftView::SelectTree);
    connect(m_tabs, &CWndTabCtrl::closeSearch, this, &CWndLeftView::CloseSearch);
    SelectTree(kTabPath);
}

void CWndLeftView::SelectTree(u32 id) {
    CFileVirtualNodeManager& manager = CFileVirtualNodeManager::Instance();
    if (id == kTabPath || id == kTabType) {
        CFileTreeCtrl* tree = id == kTabPath ? m_pathTree : m_typeTree;
        if (tree == m_current && !m_searchShown) return;
        CFileListData::SelectModel(false, false);
        if (m_searchShown) {
            m_searchShown = false;
            m_collapsed = false;
            emit searchLayout(false);
        }
        if (m_current && m_current != tree) m_current->hide();
        m_current = tree;
        m_lastTree = id;
        manager.SetCurrentTreeKind(tree->GetTreeKind());
        // Checks made in the other tree changed the files under this one's boxes.
        if (!manager.IsBuilding()) manager.RefreshTreeStates(tree->GetTreeKind());
        tree->setGeometry(0, Skin().stripHeight, width(), std::max(0, height() - Skin().stripHeight));
        tree->show();
        tree->ShowSelected();
        m_tabs->Select(id);
        return;
    }
    if (id == kTabSearch) {
        CFileListData::SelectModel(true, false);
        m_searchShown = true;
        m_collapsed = true;
        emit searchLayout(true);
        m_tabs->Select(kTabSearch);
    }
}

void CWndLeftView::ShowSearchTab() {
    m_tabs->AddTab(Skin().treeNames[3], kTabSearch, true);
    if (!m_searchShown) SelectTree(kTabSearch);
}

void CWndLeftView::CloseSearch() {
    const bool removed = m_tabs->RemoveSearchTab();
    if (IFileSelCtrlSink* sink = CFileVirtualNodeManager::Instance().Sink()) sink->Reserved1();
    if (!removed) return;
    const u32 back = m_lastTree;
    m_current = nullptr;
    SelectTree(back);
}

void CWndLeftView::ApplyLanguage() {
    const auto& n = Skin().treeNames;
    std::vector<std::string> texts{n[0], n[1]};
    if (m_tabs->TabCount() > 2) texts.push_back(n[3]);
    m_tabs->SetTexts(texts);
    // The trees' names follow at once, and so do the folder rows listed from them.
    m_pathTree->RefreshNames();
    m_typeTree->RefreshNames();
    if (!CFileListData::IsSearchShown()) CFileListData::FolderModel().RefreshFolderNames();
    // The new names came with a fresh tree model: the folder on screen is selected again.
    CBindingNode* shown = CFileVirtualNodeManager::Instance().CurrentFolder();
    if (m_current && shown && shown->GetTreeKind() == m_current->GetTreeKind() && !CFileListData::IsSearchShown())
        m_current->SelectNodeItem(shown);
}

void CWndLeftView::resizeEvent(QResizeEvent*) {
    const int t = Skin().stripHeight;
    m_tabs->setGeometry(0, 0, width(), t);
    if (!m_collapsed) {
        m_pathTree->setGeometry(0, t, width(), std::max(0, height() - t));
        m_typeTree->setGeometry(0, t, width(), std::max(0, height() - t));
    }
}

// ---- CWndRightView

CWndRightView::CWndRightView(QWidget* parent) : QWidget(parent) {
    m_command = new CWndRightCommand(this);
    m_list = new CFileListCtrl(this);
    m_icons = new CFileIconView(m_list->ListModel(), this);
    m_icons->List()->SetDeviceSource([] {
        IStorageDevice* device = nullptr;
        if (IFileSelCtrlSink* sink = CFileVirtualNodeManager::Instance().Sink()) sink->GetSourceDevice(&device);
        return device;
    });
    connect(m_list->ListModel(), &CFileListQtModel::headerCheckChanged, m_icons, [this](u32 state) { m_icons->SetHeaderCheck(state); });
    m_icons->hide();
    m_preview = new CWndPreview(this);
    m_preview->hide();
    m_splitter = new CSplitterHandle(this, [this](int x) { return ClampPaneSplitter(x, width()); },
                                     [this](int x) { DropSplitter(x); });
    m_splitter->hide();
    m_list->SetOpenHandler([this](FileList_Item* row) { OpenItem(row); });
    m_list->SetRecoverHandler([](CFileNode* node) {
        IFileSelCtrlSink* sink = CFileVirtualNodeManager::Instance().Sink();
        if (!sink) return;
        // A running scan waits while the file is written, paused by the session as the
        // browser's (the recovery tells the user so first); one the user paused stays paused.
        RecoveryGraph& session = RecoveryGraph::Instance();
        const bool pausedBefore = session.GetPausedBySession() != 0;
        session.PauseScan(true);
        // Taken from the row on screen once the scan stands paused (a paused scan places its
        // files best): the recovery's dialogs turn the window, and the scan may end meanwhile.
        if (const HeldFile file = CHeldFile::Take(node)) sink->RecoverNode(file);
        if (!pausedBefore) session.PauseScan(false);
    });
    // The pane shows the row chosen in the view on screen; the hidden view's choice is only
    // carried over when the views are switched.
    connect(m_list->selectionModel(), &QItemSelectionModel::currentRowChanged, this, [this](const QModelIndex& i) {
        if (m_details) ShowInPane(i.row());
    });
    connect(m_icons->List()->selectionModel(), &QItemSelectionModel::currentRowChanged, this, [this](const QModelIndex& i) {
        if (!m_details) ShowInPane(i.row());
    });
    // A click on the row the view marks already shows it too: a new listing empties the pane
    // while a view may keep its mark. A Ctrl+click that took the mark away shows nothing.
    connect(m_list, &QAbstractItemView::clicked, this, [this](const QModelIndex& i) {
        if (m_details && m_list->selectionModel()->isRowSelected(i.row(), QModelIndex())) ShowInPane(i.row());
    });
    connect(m_icons->List(), &QAbstractItemView::clicked, this, [this](const QModelIndex& i) {
        if (!m_details && m_icons->List()->selectionModel()->isSelected(i)) ShowInPane(i.row());
    });
    // A row deselected (Ctrl+click) stays current: with no row chosen the pane is empty, and the
    // current row chosen again comes back to it.
    connect(m_list->selectionModel(), &QItemSelectionModel::selectionChanged, this, [this] {
        if (m_details) FollowSelection(m_list);
    });
    connect(m_icons->List()->selectionModel(), &QItemSelectionModel::selectionChanged, this, [this] {
        if (!m_details) FollowSelection(m_icons->List());
    });
    // Sorted, the chosen place holds another row: the pane shows that one.
    connect(m_list->ListModel(), &CFileListQtModel::sorted, this, [this] {
        QAbstractItemView* shown = m_details ? static_cast<QAbstractItemView*>(m_list) : m_icons->List();
        const QModelIndex chosen = shown->currentIndex();
        if (chosen.isValid() && shown->selectionModel()->isSelected(chosen)) ShowInPane(chosen.row());
    });
    // A new listing clears the pane; its first row comes back to it once chosen.
    connect(m_list->ListModel(), &QAbstractItemModel::modelReset, m_preview, &CWndPreview::ClearItem);
    connect(m_list->ListModel(), &CFileListQtModel::checkEmpty, m_preview, [this](bool hasRows) {
        if (!hasRows) m_preview->ClearItem();
    });
    m_preview->SetListHasRows([this] { return m_list->model() && m_list->model()->rowCount() > 0; });
    connect(m_list->ListModel(), &QAbstractItemModel::rowsInserted, m_preview, qOverload<>(&QWidget::update));
    // The picture of the previewed row is ready: the pane shows it again.
    connect(m_list->ListModel(), &CFileListQtModel::rowPictureReady, m_preview, [this](quintptr row) {
        FileList_Item* shown = m_preview->Item();
        if (!row || row != reinterpret_cast<quintptr>(shown)) return;
        shown->AddRef();
        RefHolder<FileList_Item> keep(shown);
        m_preview->ClearItem();
        m_preview->SetItem(keep.get());
    });
    connect(m_icons->List(), &QListView::activated, this, [this](const QModelIndex& i) {
        RefHolder<FileList_Item> row(CFileListData::GetCurrent().GetItem(i.row()));
        // A folder still filling is not entered, as in the details list.
        if (!row || (!m_icons->List()->IsReady() && (row->IsFolderRow() || IsScanFolder(row->fileNode)))) return;
        OpenItem(row.get());
    });
    connect(m_preview, &CWndPreview::openRequested, this, &CWndRightView::OpenItem);
    connect(m_command, &CWndRightCommand::showPreviewPane, this, &CWndRightView::ShowPreviewPane);
    connect(m_command, &CWndRightCommand::setViewMode, this, &CWndRightView::SetViewMode);
    connect(m_command, &CWndRightCommand::openSearch, this, [this] {
        RunSearchDialog(window(), [](const std::string& text) {
            // The page that holds the browser runs the search and waits for it in its wait box;
            // a browser on its own searches in the background. Posted, so that the dialog ends on
            // its own time whatever the search takes: the text stays here until the page has
            // taken it (one search dialog is open at a time).
            static std::string posted;
            posted = text;
            HWND page = RecoveryGraph::Instance().GetPageWindow();
            if (page && PostMessage(page, WM_UI_DO_SEARCH, reinterpret_cast<WPARAM>(posted.c_str()), 0)) return;
            SearchRunner().Start(text);
        });
    });
}

int CWndRightView::MinWidth() const {
    return m_previewShown ? m_preview->width() + Skin().splitterWidth + kMinPaneWidth : kMinPaneWidth;
}

void CWndRightView::ShowPreviewPane(bool on) {
    if (on == m_previewShown) return;
    if (on && ensurePreviewRoom) ensurePreviewRoom();
    m_previewShown = on;
    m_preview->setVisible(on);
    Layout();
    // The narrower icon view may have lost its chosen cell from sight.
    if (!m_details && m_icons->isVisible()) {
        CFileIconCtrl* icons = m_icons->List();
        if (icons->currentIndex().isValid()) icons->scrollTo(icons->currentIndex());
    }
}

void CWndRightView::FollowSelection(QAbstractItemView* view) {
    QItemSelectionModel* chosen = view->selectionModel();
    if (!chosen->hasSelection()) {
        m_preview->ClearItem();
        return;
    }
    const QModelIndex current = view->currentIndex();
    if (current.isValid() && chosen->isSelected(current)) ShowInPane(current.row());
}

void CWndRightView::ShowInPane(int row) {
    RefHolder<FileList_Item> item(CFileListData::GetCurrent().GetItem(row));
    m_preview->SetItem(item.get());
}

void CWndRightView::SetViewMode(bool details) {
    if (details == m_details && (details ? m_list->isVisible() || !isVisible() : m_icons->isVisible())) return;
    // The two views share the rows but each keeps its own choice: the row chosen in the view
    // being left is chosen, and shown, in the other.
    QAbstractItemView* from = m_details ? static_cast<QAbstractItemView*>(m_list) : m_icons->List();
    const QModelIndex chosen = from->currentIndex();
    const int row = chosen.isValid() && from->selectionModel()->isSelected(chosen) ? chosen.row() : -1;
    m_details = details;
    m_list->ListModel()->SetReportKind(details);
    m_list->setVisible(details);
    m_icons->setVisible(!details);
    Layout();
    if (row >= 0 && details) {
        m_list->SelectRow(row);
    } else if (row >= 0) {
        CFileIconCtrl* icons = m_icons->List();
        const QModelIndex at = icons->model()->index(row, 0);
        icons->selectionModel()->setCurrentIndex(at, QItemSelectionModel::ClearAndSelect);
        icons->scrollTo(at);
    }
    // The view now on screen may mark a row it took while hidden, which its change signal did
    // not bring to the pane then: the pane shows what the view marks.
    QAbstractItemView* shown = details ? static_cast<QAbstractItemView*>(m_list) : m_icons->List();
    if (shown->currentIndex().isValid()) ShowInPane(shown->currentIndex().row());
}

void CWndRightView::SetIdle(bool idle) {
    m_idle = idle;
    // While a scan adds files (or the browser was just reset) the lists are not ready: checks,
    // Enter and the select-all boxes wait, and an empty list says it is loading.
    CFileListQtModel* model = m_list->ListModel();
    model->SetReady(idle);
    m_icons->List()->SetReady(idle);
    // The header's box and the select-all box are switched together: off, they show unchecked
    // until checking is on again, and then the list's check state, as the rows and the tree do.
    CFileIconCommand* bar = m_icons->Bar();
    auto* header = static_cast<CHeaderCtrlEx*>(m_list->horizontalHeader());
    bar->SetActive(idle);
    bar->SetEnabledCheck(idle);
    header->SetCheckColumnEnabled(idle);
    bar->SetCheckImage(model->HeaderCheck());
    header->SetCheckImage(model->HeaderCheck());
    m_preview->SetListLoaded(idle);
    m_command->ResetCommands(idle);
}

void CWndRightView::ApplyLanguage() {
    m_list->ApplyLanguage();
    m_icons->ApplySkin();
    m_command->ApplyLanguage();
    m_preview->ApplyLanguage();
}

void CWndRightView::OpenItem(FileList_Item* row) {
    // The window turns while a preview copies its file: a second open meanwhile (the main window
    // is disabled, but not every platform holds its input back) is refused while the first runs.
    static bool previewing = false;
    if (!row || previewing) return;
    if (row->IsFolderRow()) {
        if (selectFolder) selectFolder(row->folderNode);
        return;
    }
    CFileNode* node = row->fileNode;
    CSimpleWaitCursor wait;
    std::string refusal = CheckPreviewable(node ? node->GetFileProperties() : nullptr);
    if (!refusal.empty()) return Tell(refusal);
    IFileSelCtrlSink* sink = CFileVirtualNodeManager::Instance().Sink();
    IStorageDevice* device = nullptr;
    if (sink) sink->GetSourceDevice(&device);
    if (!device) return Tell(Skin().canNotPreview);
    std::string message;
    {
        CUIWaitProc disabled;
        previewing = true;
        message = PreviewFile(node, device);
        previewing = false;
    }
    if (!message.empty()) Tell(message);
}

void CWndRightView::resizeEvent(QResizeEvent*) { Layout(); }

void CWndRightView::Layout() {
    const int w = width();
    const int h = height();
    const int t = Skin().stripHeight;
    const int s = Skin().splitterWidth;
    if (w <= 0 || h <= 0) return;
    // Width gained or lost by the window goes to the list; the pane stays as wide as it is.
    m_listWidth = std::max(kMinPaneWidth, w - m_paneWidth);
    m_command->setGeometry(0, 0, w, t);
    const int listWidth = m_previewShown ? m_listWidth : w;
    m_list->setGeometry(0, t, listWidth, h - t);
    m_icons->setGeometry(0, t, listWidth, h - t);
    if (m_previewShown) m_preview->setGeometry(listWidth + s, t, w - listWidth - s, h - t);
    m_splitter->setVisible(m_previewShown);
    if (m_previewShown) m_splitter->PlaceAt(listWidth, t, h - t);
}

void CWndRightView::DropSplitter(int position) {
    const int w = width();
    // Outside the limits the layout stays as it is.
    if (position < kMinPaneWidth || w - position < kMinPreviewWidth) return;
    m_paneWidth = w - position;
    Layout();
}

// ---- CFileSelCtrlContainer

CFileSelCtrlContainer::CFileSelCtrlContainer() {
    LoadConfig();
    setAutoFillBackground(true);
    QPalette pal = palette();
    pal.setColor(QPalette::Window, FromColour(Skin().splitterColour));
    setPalette(pal);
    m_left = new CWndLeftView(this);
    m_right = new CWndRightView(this);
    m_left->setObjectName(QString::number(kLeftViewId));
    m_right->setObjectName(QString::number(kRightViewId));
    m_right->selectFolder = [this](CBindingNode* folder) {
        if (CFileTreeCtrl* tree = m_left->CurrentTree()) tree->SelectNodeItem(folder);
    };
    m_right->ensurePreviewRoom = [this] { EnsurePreviewRoom(); };
    m_splitter = new CSplitterHandle(
        this, [this](int x) { return ClampContainerSplitter(x, width(), Skin().splitterWidth, m_right->MinWidth()); },
        [this](int x) { DropSplitter(x); });
    QObject::connect(m_left, &CWndLeftView::searchLayout, [this](bool on) { SetSearchLayout(on); });
    setCursor(Qt::SplitHCursor);
    m_left->setCursor(Qt::ArrowCursor);
    m_right->setCursor(Qt::ArrowCursor);
    CFileVirtualNodeManager::Instance().SetUiWindow(Handle());
    CFileVirtualNodeManager::Instance().SetIdleListener([this](bool idle, u64 ask) { AskIdle(idle, ask); });
}

CFileSelCtrlContainer::~CFileSelCtrlContainer() {
    CFileVirtualNodeManager& manager = CFileVirtualNodeManager::Instance();
    manager.SetIdleListener(nullptr);
    manager.SetUiWindow(nullptr);
}

LRESULT CFileSelCtrlContainer::OnMessage(u32 message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_FILETREE_INSERTNODE:
            CFileVirtualNodeManager::Instance().ProcessPending(kDrainSliceMs);
            return 1;
        case WM_FILESEL_LAYOUT:
            RecalcLayout(false, 0);
            return 1;
        case WM_SIZE:
            RecalcLayout(false, 0);
            return 0;
        case WM_LBUTTONDOWN:
            m_dragging = true;
            return 0;
        case WM_LBUTTONUP:
            if (m_dragging) {
                m_dragging = false;
                DropSplitter(GET_X_LPARAM(lParam));
            }
            return 0;
        case WM_FILESEL_RECOVERNODE:
            // Another window hands a node of a tree on screen over for recovery.
            if (lParam != 0) {
                if (IFileSelCtrlSink* sink = CFileVirtualNodeManager::Instance().Sink()) {
                    if (const HeldFile file = CHeldFile::Take(reinterpret_cast<CFileNode*>(lParam))) sink->RecoverNode(file);
                }
            }
            return 0;
        case WM_FILESEL_RESETCOMMANDS:
            m_right->Commands()->ResetCommands(wParam != 0);
            return 1;
        case WM_FILESEL_SETIDLE:
            if (static_cast<u64>(lParam) == CFileVirtualNodeManager::Instance().LatestBuildAsk()) ApplyIdle(wParam != 0);
            return 1;
        default:
            return ui::WindowOf<QWidget>::OnMessage(message, wParam, lParam);
    }
}

void CFileSelCtrlContainer::ApplyLanguage() {
    LoadConfig();
    CFileVirtualNodeManager::Instance().Relabel();
    m_left->ApplyLanguage();
    m_right->ApplyLanguage();
    update();
}

void CFileSelCtrlContainer::SetIdle(bool idle) {
    // Set directly, it overtakes every ask still on its way.
    CFileVirtualNodeManager::Instance().TakeBuildAsk();
    ApplyIdle(idle);
}

void CFileSelCtrlContainer::AskIdle(bool idle, u64 ask) {
    if (ui::OnUiThread()) {
        if (ask == CFileVirtualNodeManager::Instance().LatestBuildAsk()) ApplyIdle(idle);
        return;
    }
    // The trees, lists, boxes and buttons are widgets: changed from a scan thread while the UI
    // thread paints or lays them out, they corrupt the memory both threads share.
    PostMessage(Handle(), WM_FILESEL_SETIDLE, idle ? 1 : 0, static_cast<LPARAM>(ask));
}

void CFileSelCtrlContainer::ApplyIdle(bool idle) {
    m_left->PathTree()->SetBuildState(idle);
    m_left->TypeTree()->SetBuildState(idle);
    m_right->SetIdle(idle);
}

void CFileSelCtrlContainer::ResetRightView() { m_right->Preview()->ClearItem(); }

void CFileSelCtrlContainer::RepaintLists() {
    m_right->Details()->viewport()->update();
    m_right->Icons()->List()->viewport()->update();
}

void CFileSelCtrlContainer::SetSearchLayout(bool on) {
    if (on == m_searchLayout) return;
    m_searchLayout = on;
    if (on) {
        m_splitter->hide();
        m_right->setGeometry(0, 0, width(), std::max(0, height() - 1));
        m_left->setGeometry(0, 0, kSearchStripWidth, Skin().stripHeight);
        m_left->raise();
    } else {
        RecalcLayout(false, 0);
    }
}

void CFileSelCtrlContainer::EnsurePreviewRoom() {
    const int s = Skin().splitterWidth;
    if (width() - m_leftWidth - s < kPreviewRoom) RecalcLayout(true, width() - s - kPreviewRoom);
}

void CFileSelCtrlContainer::RecalcLayout(bool fromSplitter, int position) {
    const int w = width();
    const int h = height();
    if (w <= 0 || h <= 0) return;
    const int s = Skin().splitterWidth;
    m_leftWidth = ContainerLeftWidth(fromSplitter, position, m_leftWidth, w, s, m_right->MinWidth());
    if (m_searchLayout) {
        m_splitter->hide();
        m_right->setGeometry(0, 0, w, h - 1);
        return;
    }
    m_left->setGeometry(0, 0, m_leftWidth, h - 1);
    m_right->setGeometry(m_leftWidth + s, 0, w - m_leftWidth - s, h - 1);
    m_splitter->show();
    m_splitter->PlaceAt(m_leftWidth, 0, h);
}

void CFileSelCtrlContainer::DropSplitter(int x) {
    // The drop takes the pointer's place as it is: a place outside the limits leaves the layout.
    RecalcLayout(true, x);
}


}  // namespace FileSelCtrl
