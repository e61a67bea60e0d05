#pragma once
// The browser's skinned scroll bars: drawn from the skin's slider strips (normal, hover,
// pressed) at the skin's bar size, in place of the system's bars of every tree and list. The
// scroll area keeps its own ranges and page sizes; only the drawing and the size change.
#include <QAbstractScrollArea>
#include <QScrollBar>
#include <QStyle>

#include "platform/Types.h"

namespace FileSelCtrl {

// Cells of the slider strips.
enum ScrollCell : int {
    kCellDown = 0,
    kCellUp = 1,
    kCellVThumb = 2,
    kCellVTrack = 3,
    kCellRight = 5,
    kCellLeft = 6,
    kCellHThumb = 7,
    kCellHTrack = 8,
};

// The thumb is never drawn shorter than this.
constexpr int kMinThumbLength = 6;

// Where a bar's pieces lie, in bar coordinates: square arrows at both ends, the channel between
// them, and the thumb as long as the page's share of the whole span.
struct ScrollBarGeometry {
    QRect firstArrow;
    QRect secondArrow;
    QRect channel;
    QRect thumb;
};
// The bar's range as the scroll area keeps it: maximum is the last first-visible position (the
// whole span less one page), so the span is maximum - minimum + page.
ScrollBarGeometry LayOutScrollBar(bool vertical, int barLength, int partSize, int minimum, int maximum, int page, int position);

class CFileSelScrollBar : public QScrollBar {
    Q_OBJECT
public:
    CFileSelScrollBar(Qt::Orientation orientation, QWidget* parent);
    QSize sizeHint() const override;
    int PartSize() const { return m_partSize; }
    // The rectangle of a part as the bar lays it out (and hit-tests it).
    QRect PartRect(QStyle::SubControl part) const;

    // The part the left button went down on, while it is held.
    QStyle::SubControl PressedPart() const { return m_pressed; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void leaveEvent(QEvent* event) override;

private:
    QStyle::SubControl HitTest(QPoint at) const;

    int m_partSize;
    QStyle::SubControl m_hover = QStyle::SC_None;
    QStyle::SubControl m_pressed = QStyle::SC_None;
};

// Puts skinned bars on a tree or list; true when both were installed.
bool InstallSkinnedScrollBars(QAbstractScrollArea* area);

}  // namespace FileSelCtrl
