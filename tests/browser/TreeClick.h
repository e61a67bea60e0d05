#pragma once
// Clicks a user makes in the browser's trees, lists and tab strip: a tab by its caption's place,
// an item's check box where the view draws it.
#include <QStyledItemDelegate>
#include <QTest>

#include "browser/views/TreeCtrl.h"
#include "browser/views/Widgets.h"

namespace browsertest {

inline void ClickTab(FileSelCtrl::CWndTabCtrl* tabs, u32 id) {
    int left = 0, right = 0;
    if (!tabs->TabExtent(id, left, right)) return;
    QTest::mouseClick(tabs, Qt::LeftButton, {}, QPoint((left + right) / 2, tabs->height() / 2));
}

// Where a tree's or list's delegate puts an item's check box.
inline QRect CheckBoxOf(QAbstractItemView* tree, const QModelIndex& index) {
    struct Options : QStyledItemDelegate {
        using QStyledItemDelegate::initStyleOption;
    } options;
    QStyleOptionViewItem option;
    option.initFrom(tree->viewport());
    option.rect = tree->visualRect(index);
    option.decorationSize = tree->iconSize().isValid() ? tree->iconSize() : QSize(16, 16);
    option.font = tree->font();
    options.initStyleOption(&option, index);
    return tree->style()->subElementRect(QStyle::SE_ItemViewItemCheckIndicator, &option, tree);
}

inline void ClickCheckBox(QAbstractItemView* tree, const QModelIndex& index) {
    tree->scrollTo(index);
    QTest::mouseClick(tree->viewport(), Qt::LeftButton, {}, CheckBoxOf(tree, index).center());
}

}  // namespace browsertest
