#pragma once
// The details view's column header, painted in the skin's colours: hover and pressed columns,
// the sort arrow on the column last clicked (ascending, then descending on the next click), and
// the check box in the name column that checks or unchecks every row of the current list.
#include <QHeaderView>
#include <vector>

#include "browser/model/BindingNode.h"

namespace FileSelCtrl {

enum SortArrow : u32 { kArrowNone = 0, kArrowAscending = 1, kArrowDescending = 2 };
// A column cannot be dragged narrower than this.
constexpr int kMinColumnWidth = 80;

class CHeaderCtrlEx : public QHeaderView {
    Q_OBJECT
public:
    explicit CHeaderCtrlEx(QWidget* parent);

    // Column 0 carries the check box.
    void SetCheckImage(u32 image);
    u32 CheckImage() const { return m_checkImage; }
    // The box takes clicks only once the list is ready.
    void SetCheckAllowed(bool allowed) { m_checkAllowed = allowed; }
    bool IsCheckAllowed() const { return m_checkAllowed; }
    // Checking not allowed at all: the box shows unchecked, keeps so and takes no clicks.
    void SetCheckColumnEnabled(bool enabled);
    void ClearSortArrow();
    // The arrow follows the shown list's own order, so that a new listing or the search list
    // never shows an arrow its rows do not keep.
    u32 SortArrowOf(int section) const;
    QRect CheckRect(int section) const;

signals:
    void sortRequest(int column, bool ascending);
    void checkAll(bool checked);

protected:
    void paintSection(QPainter* painter, const QRect& rect, int logicalIndex) const override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    void OnClicked(int section);

    int m_hover = -1;
    int m_pressed = -1;
    u32 m_checkImage = kImageUnchecked;
    bool m_checkAllowed = false;
    bool m_checkEnabled = true;
};

}  // namespace FileSelCtrl
