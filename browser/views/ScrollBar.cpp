#include "browser/views/ScrollBar.h"

#include <QApplication>
#include <QMouseEvent>
#include <QPainter>
#include <QPointer>
#include <QProxyStyle>
#include <QStyleOptionSlider>
#include <algorithm>

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

// Draws a thumb cell stretched to the rectangle in three slices: its first row (or column) once,
// its middle stretched over the rest, its last row once, so the rounded ends keep their shape.
void DrawStretched(QPainter& p, const QPixmap& cell, const QRect& to, bool vertical) {
    if (cell.isNull() || to.isEmpty()) return;
    const int s = cell.width();
    const int extent = vertical ? to.height() : to.width();
    if (extent < 2 || s < 3) {
        p.drawPixmap(to, cell);
        return;
    }
    if (vertical) {
        p.drawPixmap(QRect(to.left(), to.top(), to.width(), 1), cell, QRect(0, 0, s, 1));
        p.drawPixmap(QRect(to.left(), to.top() + 1, to.width(), extent - 2), cell, QRect(0, 1, s, s - 2));
        p.drawPixmap(QRect(to.left(), to.bottom(), to.width(), 1), cell, QRect(0, s - 1, s, 1));
    } else {
        p.drawPixmap(QRect(to.left(), to.top(), 1, to.height()), cell, QRect(0, 0, 1, s));
        p.drawPixmap(QRect(to.left() + 1, to.top(), extent - 2, to.height()), cell, QRect(1, 0, s - 2, s));
        p.drawPixmap(QRect(to.right(), to.top(), 1, to.height()), cell, QRect(s - 1, 0, 1, s));
    }
}

// The skinned bars' geometry for the toolkit too: its clicks, drags and hit tests then use the
// same arrows, channel and thumb the bar draws.
class CScrollBarStyle : public QProxyStyle {
public:
    QRect subControlRect(ComplexControl control, const QStyleOptionComplex* option, SubControl part, const QWidget* widget) const override {
        const auto* bar = qobject_cast<const CFileSelScrollBar*>(widget);
        const auto* slider = qstyleoption_cast<const QStyleOptionSlider*>(option);
        if (control != CC_ScrollBar || !bar || !slider) return QProxyStyle::subControlRect(control, option, part, widget);
        const bool vertical = slider->orientation == Qt::Vertical;
        const ScrollBarGeometry g = LayOutScrollBar(vertical, vertical ? slider->rect.height() : slider->rect.width(), bar->PartSize(),
                                                    slider->minimum, slider->maximum, slider->pageStep, slider->sliderPosition);
        switch (part) {
            case SC_ScrollBarSubLine: return g.firstArrow;
            case SC_ScrollBarAddLine: return g.secondArrow;
            case SC_ScrollBarGroove: return g.channel;
            case SC_ScrollBarSlider: return g.thumb;
            case SC_ScrollBarSubPage:
                return vertical ? QRect(g.channel.left(), g.channel.top(), g.channel.width(), g.thumb.top() - g.channel.top())
                                : QRect(g.channel.left(), g.channel.top(), g.thumb.left() - g.channel.left(), g.channel.height());
            case SC_ScrollBarAddPage:
                return vertical ? QRect(g.channel.left(), g.thumb.bottom() + 1, g.channel.width(), g.channel.bottom() - g.thumb.bottom())
                                : QRect(g.thumb.right() + 1, g.channel.top(), g.channel.right() - g.thumb.right(), g.channel.height());
            default: return QProxyStyle::subControlRect(control, option, part, widget);
        }
    }
    int pixelMetric(PixelMetric metric, const QStyleOption* option, const QWidget* widget) const override {
        if (metric == PM_ScrollBarSliderMin) return kMinThumbLength;
        if (const auto* bar = qobject_cast<const CFileSelScrollBar*>(widget); bar && metric == PM_ScrollBarExtent) return bar->PartSize();
        return QProxyStyle::pixelMetric(metric, option, widget);
    }
};

QStyle* ScrollBarStyle() {
    static QPointer<QStyle> style;
    if (!style) {
        style = new CScrollBarStyle();
        style->setParent(qApp);
    }
    return style;
}

}  // namespace

ScrollBarGeometry LayOutScrollBar(bool vertical, int barLength, int partSize, int minimum, int maximum, int page, int position) {
    const int size = std::max(0, partSize);
    const int length = std::max(0, barLength - 2 * size);
    auto along = [vertical, size](int from, int extent) {
        return vertical ? QRect(0, from, size, extent) : QRect(from, 0, extent, size);
    };
    ScrollBarGeometry g;
    g.firstArrow = along(0, size);
    g.secondArrow = along(size + length, size);
    g.channel = along(size, length);
    // In the system's terms the span runs to the last line, page included.
    const i64 span = static_cast<i64>(maximum) - minimum + std::max(page, 0);
    if (span <= 0 || maximum <= minimum) {
        g.thumb = along(size, 0);
        return g;
    }
    const int thumb = static_cast<int>(std::min<i64>(length, std::max<i64>(kMinThumbLength, static_cast<i64>(page) * length / span)));
    const i64 freeRange = static_cast<i64>(maximum) - minimum;
    i64 offset = 0;
    if (freeRange > 0) {
        offset = (static_cast<i64>(std::clamp(position, minimum, maximum)) - minimum) * (length - thumb) / freeRange;
        if (offset + thumb > length) offset = length - thumb;
    }
    g.thumb = along(size + static_cast<int>(std::max<i64>(0, offset)), thumb);
    return g;
}

CFileSelScrollBar::CFileSelScrollBar(Qt::Orientation orientation, QWidget* parent)
    : QScrollBar(orientation, parent), m_partSize(Skin().scrollBarSize > 0 ? Skin().scrollBarSize : kDefaultPartSize) {
    setStyle(ScrollBarStyle());
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
    const QStyle::SubControl pressed = isSliderDown() ? QStyle::SC_ScrollBarSlider : m_pressed;
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

QStyle::SubControl CFileSelScrollBar::HitTest(QPoint at) const {
    QStyleOptionSlider option;
    initStyleOption(&option);
    return style()->hitTestComplexControl(QStyle::CC_ScrollBar, &option, at, this);
}

void CFileSelScrollBar::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) {
        m_pressed = HitTest(event->position().toPoint());
        update();
    }
    QScrollBar::mousePressEvent(event);
}

void CFileSelScrollBar::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton && m_pressed != QStyle::SC_None) {
        m_pressed = QStyle::SC_None;
        update();
    }
    QScrollBar::mouseReleaseEvent(event);
}

void CFileSelScrollBar::mouseMoveEvent(QMouseEvent* event) {
    const QStyle::SubControl hover = HitTest(event->position().toPoint());
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
