#pragma once
// The browser's trees: the path tree and the file-type tree, each a tree view over the binding
// nodes of its root. Children are handed to the view lazily: a folder shows its first child so
// that it can be opened, and the rest when the user opens it.
#include <QAbstractItemModel>
#include <QTreeView>
#include <vector>

#include "browser/model/NodeManager.h"

namespace FileSelCtrl {

constexpr int kPathTreeControlId = 0x7F0;
constexpr int kTypeTreeControlId = 0x7F1;

// The picture of a type tree's root or category (from the skin's type strip), or of an extension
// the system has no picture for; null for other nodes.
QIcon TypeTreePicture(const CBindingNode* node);

class CFileTreeModel : public QAbstractItemModel, public ITreeObserver {
    Q_OBJECT
public:
    CFileTreeModel(CBindingNode* root, u32 treeKind, QObject* parent = nullptr);

    QModelIndex index(int row, int column, const QModelIndex& parent = QModelIndex()) const override;
    QModelIndex parent(const QModelIndex& child) const override;
    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    bool hasChildren(const QModelIndex& parent = QModelIndex()) const override;
    bool canFetchMore(const QModelIndex& parent) const override;
    void fetchMore(const QModelIndex& parent) override;
    QVariant data(const QModelIndex& index, int role) const override;
    bool setData(const QModelIndex& index, const QVariant& value, int role) override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

    QModelIndex IndexOf(CBindingNode* node) const;
    static CBindingNode* NodeOf(const QModelIndex& index);
    CBindingNode* Root() const { return m_root; }
    // Whether check clicks count (no scan adding to the trees).
    void SetIdle(bool idle) { m_idle = idle; }
    bool IsIdle() const { return m_idle; }

    // ITreeObserver
    void OnChildAdded(CBindingNode* parent, CBindingNode* child) override;
    void OnNodeChanged(CBindingNode* node) override;
    void OnBeginReset() override;
    void OnEndReset() override;
    void OnBuildEnded() override;
    u32 TreeKind() const override { return m_treeKind; }
    void SetRefreshPending() override { m_refreshPending = true; }
    bool IsRefreshPending() const { return m_refreshPending; }
    void RefreshCheckImages(bool recompute) override;

    // Every shown item draws again (names and check boxes).
    void RefreshAll();

signals:
    void buildEnded();
    // The user checked or unchecked an item of this tree.
    void checkClicked();

private:
    // Whether a click on the root's box counts while the root shows no child item.
    bool RootHasFiles() const;

    CBindingNode* m_root;
    u32 m_treeKind;
    // No check clicks until the browser says no scan adds to the trees.
    bool m_idle = false;
    // Set when items are inserted and by checks made elsewhere; cleared by the next refresh.
    bool m_refreshPending = false;
};

class CFileTreeCtrl : public QTreeView {
    Q_OBJECT
public:
    CFileTreeCtrl(u32 treeKind, QWidget* parent);
    ~CFileTreeCtrl() override;
    CFileTreeModel* TreeModel() const { return m_model; }
    u32 GetTreeKind() const { return m_treeKind; }
    // Selects the node's item (opening its ancestors) and lists it.
    void SelectNodeItem(CBindingNode* node);
    void SetBuildState(bool idle);
    // Lists the selected node, or selects the root first.
    void ShowSelected();

    // Registers the window with the node manager for its kind (the date tree nowhere: nothing
    // shows it) and shows the root.
    virtual void InitTree();
    // Every item below the root goes; the root is shown again, unchecked.
    void ResetItems();
    // While no scan runs: the check boxes follow the nodes again, recomputed from the files when
    // asked or when items or checks elsewhere changed since the last refresh.
    void RefreshCheckImages(bool recompute) { m_model->RefreshCheckImages(recompute); }
    // The items' names again (a new language); the root's listing follows when it is shown.
    void RefreshNames();
    void SetRefreshPending() { m_model->SetRefreshPending(); }
    bool IsRefreshPending() const { return m_model->IsRefreshPending(); }

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    // Items are drawn as in an enabled window: behind a modal dialog (the window disabled) the
    // tree stays readable.
    void initViewItemOption(QStyleOptionViewItem* option) const override;

private:
    static std::vector<CFileTreeCtrl*>& LiveTrees();
    void OnSelected(const QModelIndex& current);
    void OnBuildEnded();
    // Whether a point lies on the item's check box.
    bool OnCheckBox(const QModelIndex& index, QPoint at) const;
    // A left click on a check box while checks count: the item is checked or unchecked, the
    // click goes no further. False for any other click.
    bool ToggleCheckAt(QMouseEvent* event);

    u32 m_treeKind;
    CFileTreeModel* m_model;
    // A check click was handled at its press: its release is not the view's.
    bool m_checkClickHeld = false;
};

// The tree by path, by file type and by modified date.
class CFilePathTreeCtrl : public CFileTreeCtrl {
    Q_OBJECT
public:
    explicit CFilePathTreeCtrl(QWidget* parent) : CFileTreeCtrl(kTreeKindPath, parent) {}
};

class CFileTypeTreeCtrl : public CFileTreeCtrl {
    Q_OBJECT
public:
    explicit CFileTypeTreeCtrl(QWidget* parent) : CFileTreeCtrl(kTreeKindType, parent) {}
};

class CFileTimeTreeCtrl : public CFileTreeCtrl {
    Q_OBJECT
public:
    explicit CFileTimeTreeCtrl(QWidget* parent) : CFileTreeCtrl(kTreeKindDate, parent) {}
};

}  // namespace FileSelCtrl
