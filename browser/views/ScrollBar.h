#pragma once
// The browser's skinned scroll bars: drawn from the skin's slider strips (normal, hover,
// pressed) at the skin's bar size, in place of the system's bars of every tree and list. The
// scroll area keeps its own ranges and page sizes; only the drawing and the size change.
#include <QAbstractScrollArea>
#include <QScrollBar>
#include <QStyle>

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

class CFileSelScrollBar : public QScrollBar {
    Q_OBJECT
public:
    CFileSelScrollBar(Qt::Orientation orientation, QWidget* parent);
    QSize sizeHint() const override;
    int PartSize() const { return m_partSize; }
    // The rectangle of a part as the bar lays it out (and hit-tests it).
    QRect PartRect(QStyle::SubControl part) const;

protected:
    void paintEvent(QPaintEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void leaveEvent(QEvent* event) override;

private:
    int m_partSize;
    QStyle::SubControl m_hover = QStyle::SC_None;
};

// Puts skinned bars on a tree or list; true when both were installed.
bool InstallSkinnedScrollBars(QAbstractScrollArea* area);

}  // namespace FileSelCtrl
