#include "browser/views/ScrollBar.h"

#include <QMouseEvent>
#include <QPainter>
#include <QStyleOptionSlider>

#include "browser/model/BrowserSkin.h"
#include "browser/views/Icons.h"

namespace FileSelCtrl {

namespace {

constexpr int kDefaultPartSize = 9;

// A cell of a strip, or null when the strip is missing or too short.
QPixmap Cell(const std::string& file, int index, int size) {
    const QImage& strip = SkinImage(file);
    if (strip.isNull() || size <= 0 || (index + 1) * size > strip.width() || strip.height() < size) return {};
    return QPixmap::fromImage(strip.copy(index * size, 0, size, size));
}

// Draws a thumb cell stretched to the rectangle: the ends as they are, the middle row or column
// repeated, so that the rounded ends keep their shape.
void DrawStretched(QPainter& p, const QPixmap& cell, const QRect& to, bool vertical) {
    if (cell.isNull() || to.isEmpty()) return;
    const int s = cell.width();
    const int end = s / 2;
    if (vertical) {
        if (to.height() < s) {
            p.drawPixmap(to, cell);
            return;
        }
        p.drawPixmap(QRect(to.left(), to.top(), to.width(), end), cell, QRect(0, 0, s, end));
        p.drawPixmap(QRect(to.left(), to.top() + end, to.width(), to.height() - 2 * end), cell, QRect(0, end, s, 1));
        p.drawPixmap(QRect(to.left(), to.bottom() - end + 1, to.width(), end), cell, QRect(0, s - end, s, end));
    } else {
        if (to.width() < s) {
            p.drawPixmap(to, cell);
            return;
        }
        p.drawPixmap(QRect(to.left(), to.top(), end, to.height()), cell, QRect(0, 0, end, s));
        p.drawPixmap(QRect(to.left() + end, to.top(), to.width() - 2 * end, to.height()), cell, QRect(end, 0, 1, s));
        p.drawPixmap(QRect(to.right() - end + 1, to.top(), end, to.height()), cell, QRect(s - end, 0, end, s));
    }
}

}  // namespace

CFileSelScrollBar::CFileSelScrollBar(Qt::Orientation orientation, QWidget* parent)
    : QScrollBar(orientation, parent), m_partSize(Skin().scrollBarSize > 0 ? Skin().scrollBarSize : kDefaultPartSize) {
    setMouseTracking(true);
}

QSize CFileSelScrollBar::sizeHint() const {
    return orientation() == Qt::Vertical ? QSize(m_partSize, 3 * m_partSize) : QSize(3 * m_partSize, m_partSize);
}

QRect CFileSelScrollBar::PartRect(QStyle::SubControl part) const {
    QStyleOptionSlider option;
    initStyleOption(&option);
    return style()->subControlRect(QStyle::CC_ScrollBar, &option, part, this);
}

void CFileSelScrollBar::paintEvent(QPaintEvent*) {
    const BrowserSkin& s = Skin();
    const bool vertical = orientation() == Qt::Vertical;
    QPainter p(this);
    const QPixmap track = Cell(s.scrollNormal, vertical ? kCellVTrack : kCellHTrack, m_partSize);
    if (track.isNull()) {
        p.fillRect(rect(), palette().window());
    } else {
        p.drawPixmap(rect(), track);
    }
    const QStyle::SubControl pressed = isSliderDown() ? QStyle::SC_ScrollBarSlider : QStyle::SC_None;
    auto fileOf = [&](QStyle::SubControl part) -> const std::string& {
        if (part == pressed) return s.scrollClick;
        return part == m_hover ? s.scrollHover : s.scrollNormal;
    };
    const struct {
        QStyle::SubControl part;
        int cell;
    } arrows[] = {{QStyle::SC_ScrollBarSubLine, vertical ? kCellUp : kCellLeft}, {QStyle::SC_ScrollBarAddLine, vertical ? kCellDown : kCellRight}};
    for (const auto& a : arrows) {
        const QRect r = PartRect(a.part);
        const QPixmap cell = Cell(fileOf(a.part), a.cell, m_partSize);
        if (!cell.isNull() && !r.isEmpty()) p.drawPixmap(r.topLeft() + QPoint((r.width() - m_partSize) / 2, (r.height() - m_partSize) / 2), cell);
    }
    if (maximum() > minimum()) {
        DrawStretched(p, Cell(fileOf(QStyle::SC_ScrollBarSlider), vertical ? kCellVThumb : kCellHThumb, m_partSize),
                      PartRect(QStyle::SC_ScrollBarSlider), vertical);
    }
}

void CFileSelScrollBar::mouseMoveEvent(QMouseEvent* event) {
    QStyleOptionSlider option;
    initStyleOption(&option);
    const QStyle::SubControl hover = style()->hitTestComplexControl(QStyle::CC_ScrollBar, &option, event->position().toPoint(), this);
    if (hover != m_hover) {
        m_hover = hover;
        update();
    }
    QScrollBar::mouseMoveEvent(event);
}

void CFileSelScrollBar::leaveEvent(QEvent* event) {
    if (m_hover != QStyle::SC_None) {
        m_hover = QStyle::SC_None;
        update();
    }
    QScrollBar::leaveEvent(event);
}

bool InstallSkinnedScrollBars(QAbstractScrollArea* area) {
    if (!area) return false;
    area->setVerticalScrollBar(new CFileSelScrollBar(Qt::Vertical, area));
    area->setHorizontalScrollBar(new CFileSelScrollBar(Qt::Horizontal, area));
    return true;
}

}  // namespace FileSelCtrl
