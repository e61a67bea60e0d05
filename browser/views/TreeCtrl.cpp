#include "browser/views/TreeCtrl.h"

#include <QApplication>
#include <QHeaderView>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QStyle>
#include <QStyledItemDelegate>
#include <deque>
#include <utility>
#include <map>

#include "browser/model/BrowserConfig.h"
#include "browser/model/BrowserSkin.h"
#include "browser/model/FileSelCtrl.h"
#include "browser/model/VirtualNode.h"
#include "browser/model/ListModel.h"
#include "browser/views/Icons.h"
#include "browser/views/ScrollBar.h"
#include "browser/model/UsageEvents.h"
#include "engine/FileNode.h"

namespace FileSelCtrl {

CFileTreeModel::CFileTreeModel(CBindingNode* root, u32 treeKind, QObject* parent)
    : QAbstractItemModel(parent), m_root(root), m_treeKind(treeKind) {
    if (m_root) {
        m_root->SetTreeItem(true);
        m_root->SetOpened(true);
        const auto* children = m_root->GetChildren();
        const u32 count = children ? static_cast<u32>(children->size()) : 0;
        m_root->SetShownChildren(count);
        for (u32 i = 0; i < count; ++i) (*children)[i]->SetTreeItem(true);
    }
}

QIcon TypeTreePicture(const CBindingNode* node) {
    const auto* type = dynamic_cast<const CFileTypeNode*>(node);
    if (!type) return {};
    // The root and the categories show their own pictures of the skin's type strip; an
    // extension the system has no picture for kept its category's.
    const bool grouping = !type->GetParent() || !type->GetParent()->GetParent();
    if (!grouping && type->GetImage() != kIconFolder) return {};
    const u32 index = type->GetParent() ? type->Category() : kCategoryRoot;
    static std::map<u32, QIcon> pictures;
    auto it = pictures.find(index);
    if (it != pictures.end()) return it->second;
    const BrowserSkin& s = Skin();
    const QPixmap piece = StripImage(SkinImage(s.treeTypeFile), static_cast<int>(index), s.treeTypeWidth, s.treeTypeMask, true);
    if (piece.isNull()) return {};
    return pictures.emplace(index, QIcon(piece)).first->second;
}

CBindingNode* CFileTreeModel::NodeOf(const QModelIndex& index) {
    return index.isValid() ? static_cast<CBindingNode*>(index.internalPointer()) : nullptr;
}

QModelIndex CFileTreeModel::IndexOf(CBindingNode* node) const {
    if (!node || !node->HasTreeItem()) return {};
    if (node == m_root || !node->GetParent()) return createIndex(0, 0, node);
    return createIndex(static_cast<int>(node->GetParent()->DisplayRow(node)), 0, node);
}

QModelIndex CFileTreeModel::index(int row, int column, const QModelIndex& parent) const {
    if (column != 0 || row < 0 || !m_root) return {};
    if (!parent.isValid()) return row == 0 ? createIndex(0, 0, m_root) : QModelIndex();
    CBindingNode* p = NodeOf(parent);
    if (static_cast<u32>(row) >= p->ShownChildren()) return {};
    CBindingNode* child = p->DisplayChild(static_cast<u32>(row));
    return child ? createIndex(row, 0, child) : QModelIndex();
}

QModelIndex CFileTreeModel::parent(const QModelIndex& child) const {
    CBindingNode* node = NodeOf(child);
    if (!node || node == m_root || !node->GetParent()) return {};
    return IndexOf(node->GetParent());
}

int CFileTreeModel::rowCount(const QModelIndex& parent) const {
    if (!parent.isValid()) return m_root ? 1 : 0;
    if (parent.column() != 0) return 0;
    return static_cast<int>(NodeOf(parent)->ShownChildren());
}

int CFileTreeModel::columnCount(const QModelIndex&) const { return 1; }

bool CFileTreeModel::hasChildren(const QModelIndex& parent) const {
    if (!parent.isValid()) return m_root != nullptr;
    const auto* children = NodeOf(parent)->GetChildren();
    return children && !children->empty();
}

bool CFileTreeModel::canFetchMore(const QModelIndex& parent) const {
    CBindingNode* node = NodeOf(parent);
    if (!node) return false;
    const auto* children = node->GetChildren();
    return children && children->size() > node->ShownChildren();
}

void CFileTreeModel::fetchMore(const QModelIndex& parent) {
    CBindingNode* node = NodeOf(parent);
    if (!node) return;
    node->SetOpened(true);
    const auto* children = node->GetChildren();
    if (!children || children->size() <= node->ShownChildren()) return;
    const int first = static_cast<int>(node->ShownChildren());
    const int last = static_cast<int>(children->size()) - 1;
    beginInsertRows(parent, first, last);
    for (int i = first; i <= last; ++i)
        if (CBindingNode* child = node->DisplayChild(static_cast<u32>(i))) child->SetTreeItem(true);
    node->SetShownChildren(static_cast<u32>(children->size()));
    endInsertRows();
}

QVariant CFileTreeModel::data(const QModelIndex& index, int role) const {
    CBindingNode* node = NodeOf(index);
    if (!node) return {};
    switch (role) {
        case Qt::DisplayRole:
            return QString::fromStdString(node->GetName());
        case Qt::DecorationRole:
            if (m_treeKind == kTreeKindType) {
                const QIcon picture = TypeTreePicture(node);
                if (!picture.isNull()) return picture;
            }
            return IconForIndex(node->GetImage());
        case Qt::CheckStateRole:
            return CheckStateOfImage(node->GetCheckState());
        default:
            return {};
    }
}

bool CFileTreeModel::setData(const QModelIndex& index, const QVariant&, int role) {
    CBindingNode* node = NodeOf(index);
    if (!node || role != Qt::CheckStateRole || !m_idle) return false;
    if (node == m_root && rowCount(index) == 0 && !RootHasFiles()) return false;
    // A partly checked folder becomes unchecked, like an unchecked one becomes checked.
    const u32 image = node->GetCheckState() == kImageUnchecked ? kImageChecked : kImageUnchecked;
    node->RefreshItem(image, true, true);
    OnNodeChanged(node);
    emit checkClicked();
    CFileVirtualNodeManager& manager = CFileVirtualNodeManager::Instance();
    // The clicked tree's own root: the other tree's folder states are stale until its next
    // refresh, and would keep telling the page that something is checked.
    if (m_root->GetCheckState() == kImageUnchecked) {
        manager.ReportCheckState(true, false);
    } else if (manager.Sink()) {
        manager.ReportCheckState(false, true);
    }
    CFileListData::FolderModel().RefreshChecks();
    return true;
}

bool CFileTreeModel::RootHasFiles() const {
    // An empty type or date tree has nothing to check; the path tree's root counts once a tree
    // it holds has an entry, shown or not.
    if (m_treeKind != kTreeKindPath || !m_root) return false;
    if (const CFileNode* scanNode = m_root->GetFileNode()) return scanNode->GetFirstChild() != nullptr;
    if (const std::vector<CFileNode*>* trees = m_root->GetScanRoots()) {
        for (const CFileNode* tree : *trees) {
            if (tree && tree->GetFirstChild()) return true;
        }
    }
    return false;
}

Qt::ItemFlags CFileTreeModel::flags(const QModelIndex& index) const {
    if (!index.isValid()) return Qt::NoItemFlags;
    Qt::ItemFlags f = Qt::ItemIsEnabled | Qt::ItemIsSelectable;
    if (m_idle) f |= Qt::ItemIsUserCheckable;
    return f;
}

void CFileTreeModel::OnChildAdded(CBindingNode* parent, CBindingNode* child) {
    if (!parent || !child || !parent->HasTreeItem()) return;
    const auto* children = parent->GetChildren();
    if (!children) return;
    // An opened folder shows every new child at once; a closed one only its first, so that it
    // shows that it can be opened.
    // A child put in among the shown ones (inserted first or sorted) always shows, and moves
    // its later siblings down.
    const u32 row = parent->DisplayRow(child);
    const bool show = parent->IsOpened() || parent->ShownChildren() == 0 || row < parent->ShownChildren();
    if (!show || row > parent->ShownChildren()) return;
    if (row < parent->ShownChildren()) {
        // The node list moved already: the view's held indexes follow their nodes to the new
        // rows (each index carries its node).
        emit layoutAboutToBeChanged();
        child->SetTreeItem(true);
        parent->SetShownChildren(parent->ShownChildren() + 1);
        const QModelIndexList held = persistentIndexList();
        QModelIndexList moved;
        moved.reserve(held.size());
        for (const QModelIndex& i : held) moved.push_back(IndexOf(NodeOf(i)));
        changePersistentIndexList(held, moved);
        emit layoutChanged();
        return;
    }
    beginInsertRows(IndexOf(parent), static_cast<int>(row), static_cast<int>(row));
    child->SetTreeItem(true);
    parent->SetShownChildren(parent->ShownChildren() + 1);
    endInsertRows();
}

void CFileTreeModel::OnNodeChanged(CBindingNode* node) {
    const QModelIndex i = IndexOf(node);
    if (!i.isValid()) return;
    emit dataChanged(i, i);
    // Folder states fold upwards: the ancestors' boxes may have changed with it.
    for (QModelIndex p = i.parent(); p.isValid(); p = p.parent()) emit dataChanged(p, p);
}

void CFileTreeModel::OnBeginReset() { beginResetModel(); }

void CFileTreeModel::RefreshAll() {
    // Every shown item: the root and, below it, the items the view was given.
    std::deque<QModelIndex> queue{index(0, 0)};
    while (!queue.empty()) {
        const QModelIndex i = queue.front();
        queue.pop_front();
        if (!i.isValid()) continue;
        emit dataChanged(i, i);
        for (int r = 0; r < rowCount(i); ++r) queue.push_back(index(r, 0, i));
    }
}

void CFileTreeModel::OnEndReset() {
    // Every node that is left starts closed again; the root shows its children.
    std::deque<CBindingNode*> queue{m_root};
    while (!queue.empty()) {
        CBindingNode* node = queue.front();
        queue.pop_front();
        node->SetTreeItem(false);
        node->SetOpened(false);
        node->SetShownChildren(0);
        if (const auto* children = node->GetChildren()) {
            for (CBindingNode* c : *children) queue.push_back(c);
        }
    }
    if (m_root) {
        m_root->SetTreeItem(true);
        m_root->SetOpened(true);
        if (const auto* children = m_root->GetChildren()) {
            m_root->SetShownChildren(static_cast<u32>(children->size()));
            for (CBindingNode* c : *children) c->SetTreeItem(true);
        }
    }
    endResetModel();
}

void CFileTreeModel::OnBuildEnded() {
    emit layoutChanged();
    emit buildEnded();
}

// ---- CFileTreeCtrl

CFileTreeCtrl::CFileTreeCtrl(u32 treeKind, QWidget* parent) : QTreeView(parent), m_treeKind(treeKind) {
    CFileVirtualNodeManager& manager = CFileVirtualNodeManager::Instance();
    CBindingNode* root = manager.RootOf(treeKind);
    m_model = new CFileTreeModel(root, treeKind, this);
    setModel(m_model);
    setStyle(SkinCheckStyle());
    setHeaderHidden(true);
    setUniformRowHeights(true);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setFrameShape(QFrame::NoFrame);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    header()->setSectionResizeMode(QHeaderView::ResizeToContents);
    header()->setStretchLastSection(true);
    setExpanded(m_model->index(0, 0), true);
    connect(selectionModel(), &QItemSelectionModel::currentChanged, this,
            [this](const QModelIndex& current, const QModelIndex&) { OnSelected(current); });
    connect(m_model, &CFileTreeModel::buildEnded, this, &CFileTreeCtrl::OnBuildEnded);
    setFont(SkinFont(Skin().listFont));
    // A window disabled behind a modal dialog (a preview, a recovery) greys its children: the
    // tree's labels would fade into a grey ground. It keeps its own colours instead.
    QPalette keep = palette();
    for (int role = 0; role < QPalette::NColorRoles; ++role) {
        const auto r = static_cast<QPalette::ColorRole>(role);
        keep.setColor(QPalette::Disabled, r, keep.color(QPalette::Active, r));
    }
    setPalette(keep);
    InstallSkinnedScrollBars(this);
    // New items and checks made in another tree make the next refresh recompute the states.
    connect(m_model, &QAbstractItemModel::rowsInserted, m_model, &CFileTreeModel::SetRefreshPending);
    connect(m_model, &CFileTreeModel::checkClicked, this, [this] {
        for (CFileTreeCtrl* other : LiveTrees()) {
            if (other != this) other->SetRefreshPending();
        }
    });
    LiveTrees().push_back(this);
    CFileTreeCtrl::InitTree();
}

CFileTreeCtrl::~CFileTreeCtrl() {
    auto& trees = LiveTrees();
    trees.erase(std::remove(trees.begin(), trees.end(), this), trees.end());
    CFileVirtualNodeManager::Instance().SetObserver(m_treeKind, nullptr);
}

std::vector<CFileTreeCtrl*>& CFileTreeCtrl::LiveTrees() {
    static std::vector<CFileTreeCtrl*> trees;
    return trees;
}

void CFileTreeCtrl::InitTree() {
    CFileVirtualNodeManager::Instance().SetObserver(m_treeKind, m_model);
    setExpanded(m_model->index(0, 0), true);
}

void CFileTreeCtrl::ResetItems() {
    m_model->OnBeginReset();
    m_model->OnEndReset();
    setExpanded(m_model->index(0, 0), true);
}

void CFileTreeModel::RefreshCheckImages(bool recompute) {
    if (!m_idle) return;
    if (m_root && (recompute || m_refreshPending)) m_root->RefreshCheckStates();
    m_refreshPending = false;
    if (rowCount() > 0) RefreshAll();
}

void CFileTreeCtrl::RefreshNames() {
    m_model->RefreshAll();
    CFileVirtualNodeManager& manager = CFileVirtualNodeManager::Instance();
    if (m_model->Root() == manager.CurrentFolder() && !CFileListData::IsSearchShown()) manager.ShowFolder(m_model->Root());
}

void CFileTreeCtrl::OnSelected(const QModelIndex& current) {
    CBindingNode* node = CFileTreeModel::NodeOf(current);
    // While the page empties or freezes the view, a selection lists nothing.
    if (!node || !isVisible() || IsViewBusy()) return;
    CFileVirtualNodeManager& manager = CFileVirtualNodeManager::Instance();
    // The item of the folder on screen becoming current again (focus, a reset) lists nothing anew.
    if (node == manager.CurrentFolder() && !CFileListData::IsSearchShown()) return;
    manager.ShowFolder(node);
}

void CFileTreeCtrl::ShowSelected() {
    QModelIndex current = currentIndex();
    if (!current.isValid()) {
        current = m_model->index(0, 0);
        setCurrentIndex(current);
    }
    if (CBindingNode* node = CFileTreeModel::NodeOf(current)) CFileVirtualNodeManager::Instance().ShowFolder(node);
}

void CFileTreeCtrl::SelectNodeItem(CBindingNode* node) {
    if (!node) return;
    // Open the chain from the top so that the node has an item.
    std::vector<CBindingNode*> chain;
    for (CBindingNode* n = node; n; n = n->GetParent()) chain.push_back(n);
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
        const QModelIndex i = m_model->IndexOf(*it);
        if (!i.isValid()) break;
        if (*it != node) {
            if (m_model->canFetchMore(i)) m_model->fetchMore(i);
            expand(i);
        }
    }
    const QModelIndex target = m_model->IndexOf(node);
    if (!target.isValid()) return;
    setCurrentIndex(target);
    scrollTo(target);
    // The selection lists the node already unless it was selected before (or the tree hidden).
    if (CFileVirtualNodeManager::Instance().CurrentFolder() != node) CFileVirtualNodeManager::Instance().ShowFolder(node);
}

void CFileTreeCtrl::SetBuildState(bool idle) { m_model->SetIdle(idle); }

void CFileTreeCtrl::OnBuildEnded() {
    // The scan stopped: open the first tree so that its top folders show.
    const QModelIndex root = m_model->index(0, 0);
    expand(root);
    const QModelIndex first = m_model->index(0, 0, root);
    if (first.isValid()) {
        if (CBindingNode* n = CFileTreeModel::NodeOf(first); n && n->IsSystemFolder()) {
            if (m_model->canFetchMore(first)) m_model->fetchMore(first);
            expand(first);
        }
    }
    viewport()->update();
}

void CFileTreeCtrl::keyPressEvent(QKeyEvent* event) {
    // Enter opens the selected folder, as a double click would.
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        const QModelIndex i = currentIndex();
        if (i.isValid()) {
            if (m_model->canFetchMore(i)) m_model->fetchMore(i);
            setExpanded(i, !isExpanded(i));
        }
        return;
    }
    QTreeView::keyPressEvent(event);
}

void CFileTreeCtrl::initViewItemOption(QStyleOptionViewItem* option) const {
    QTreeView::initViewItemOption(option);
    option->state |= QStyle::State_Enabled;
}

bool CFileTreeCtrl::OnCheckBox(const QModelIndex& index, QPoint at) const {
    if (!index.isValid()) return false;
    // Where the item's delegate draws its box, as it draws it.
    struct Options : QStyledItemDelegate {
        using QStyledItemDelegate::initStyleOption;
    } options;
    QStyleOptionViewItem option;
    initViewItemOption(&option);
    option.rect = visualRect(index);
    options.initStyleOption(&option, index);
    if (!(option.features & QStyleOptionViewItem::HasCheckIndicator)) return false;
    // The whole of the check image counts, also where it overhangs the style's box.
    const QRect indicator = style()->subElementRect(QStyle::SE_ItemViewItemCheckIndicator, &option, this);
    return indicator.united(SkinCheckImageRect(indicator)).contains(at);
}

bool CFileTreeCtrl::ToggleCheckAt(QMouseEvent* event) {
    const QModelIndex index = indexAt(event->pos());
    if (event->button() != Qt::LeftButton || !m_model->IsIdle() || !OnCheckBox(index, event->pos())) return false;
    m_model->setData(index, QVariant(), Qt::CheckStateRole);
    // The button's release that follows belongs to this click too.
    m_checkClickHeld = true;
    event->accept();
    return true;
}

void CFileTreeCtrl::mousePressEvent(QMouseEvent* event) {
    if (indexAt(event->pos()).isValid()) ReportItemClick(m_treeKind);
    // A click on the check box checks or unchecks the item, and neither chooses nor opens it.
    if (ToggleCheckAt(event)) return;
    QTreeView::mousePressEvent(event);
}

void CFileTreeCtrl::mouseDoubleClickEvent(QMouseEvent* event) {
    // Two quick clicks on the box toggle it twice.
    if (ToggleCheckAt(event)) return;
    QTreeView::mouseDoubleClickEvent(event);
}

void CFileTreeCtrl::mouseReleaseEvent(QMouseEvent* event) {
    if (std::exchange(m_checkClickHeld, false)) {
        event->accept();
        return;
    }
    QTreeView::mouseReleaseEvent(event);
}

}  // namespace FileSelCtrl
