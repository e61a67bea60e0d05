#include "browser/views/HeaderCtrl.h"

#include <QLinearGradient>
#include <QMouseEvent>
#include <QPainter>

#include "browser/model/BrowserSkin.h"
#include "browser/model/ListModel.h"
#include "browser/views/Icons.h"

namespace FileSelCtrl {

namespace {

constexpr int kCheckLeft = 15;
constexpr int kCheckTopNudge = 2;
constexpr int kCaptionAfterCheck = 16;
constexpr int kCaptionLeft = 6;
constexpr int kPressGradient = 6;
constexpr QRgb kBottomLine = qRgb(236, 236, 236);

}  // namespace

CHeaderCtrlEx::CHeaderCtrlEx(QWidget* parent) : QHeaderView(Qt::Horizontal, parent) {
    setSectionsClickable(true);
    setMouseTracking(true);
    setHighlightSections(false);
    setSortIndicatorShown(false);
    setMinimumSectionSize(kMinColumnWidth);
    connect(this, &QHeaderView::sectionClicked, this, &CHeaderCtrlEx::OnClicked);
}

QRect CHeaderCtrlEx::CheckRect(int section) const {
    const int side = Skin().checkStateWidth;
    const int left = sectionViewportPosition(section);
    return QRect(left + kCheckLeft, (height() - side) / 2 + kCheckTopNudge, side, side);
}

void CHeaderCtrlEx::SetCheckImage(u32 image) {
    // While checking is off the box stays unchecked, whatever the rows show meanwhile.
    if (!m_checkEnabled || image == m_checkImage) return;
    m_checkImage = image;
    viewport()->update();
}

void CHeaderCtrlEx::SetCheckColumnEnabled(bool enabled) {
    // Switched off while a scan adds files, the box shows unchecked and takes no clicks; the
    // one who switches it on again gives it the list's state.
    if (!enabled) m_checkImage = kImageUnchecked;
    m_checkEnabled = enabled;
    viewport()->update();
}

void CHeaderCtrlEx::ClearSortArrow() {
    CFileListData::GetCurrent().ForgetSort();
    viewport()->update();
}

u32 CHeaderCtrlEx::SortArrowOf(int section) const {
    const CFileListData& list = CFileListData::GetCurrent();
    if (!list.IsSorted() || list.SortColumn() != static_cast<u32>(section)) return kArrowNone;
    return list.SortAscending() ? kArrowAscending : kArrowDescending;
}

void CHeaderCtrlEx::OnClicked(int section) {
    // The clicked column takes the arrow, ascending first; a second click turns it round.
    const bool ascending = SortArrowOf(section) != kArrowAscending;
    emit sortRequest(section, ascending);
    viewport()->update();
}

void CHeaderCtrlEx::paintSection(QPainter* painter, const QRect& rect, int logicalIndex) const {
    const BrowserSkin& s = Skin();
    QPainter& p = *painter;
    p.save();
    const QRect r = rect.adjusted(0, 0, -1, -1);
    if (logicalIndex == m_pressed) {
        p.fillRect(rect, FromColour(s.headerHover));
        QLinearGradient top(0, r.top() + 1, 0, r.top() + 1 + kPressGradient);
        top.setColorAt(0, FromColour(s.headerClickBorder));
        top.setColorAt(1, FromColour(s.headerHover));
        p.fillRect(QRect(r.left() + 1, r.top() + 1, r.width() - 1, kPressGradient), top);
        p.setPen(FromColour(s.headerClickBorder));
        p.drawRect(r);
    } else if (logicalIndex == m_hover) {
        p.fillRect(rect, FromColour(s.headerHover));
        p.setPen(FromColour(s.headerItemBorder));
        p.drawRect(r);
    } else {
        p.fillRect(rect, FromColour(s.headerNormal));
        p.setPen(FromColour(s.headerItemBorder));
        p.drawLine(r.right(), r.top(), r.right(), r.bottom());
        p.setPen(QColor(kBottomLine));
        p.drawLine(r.left(), r.bottom(), r.right(), r.bottom());
    }
    int captionLeft = rect.left() + kCaptionLeft;
    if (logicalIndex == 0) {
        const QPixmap box = StripImage(SkinImage(s.checkStateFile), static_cast<int>(m_checkImage), s.checkStateWidth, s.checkStateMask, true);
        if (!box.isNull()) {
            p.drawPixmap(rect.left() + kCheckLeft, rect.top() + (rect.height() - s.checkStateWidth) / 2 + kCheckTopNudge, box);
            captionLeft = rect.left() + kCheckLeft + s.checkStateWidth + kCaptionAfterCheck - kCheckLeft;
        }
    }
    if (const u32 arrowImage = SortArrowOf(logicalIndex); arrowImage != kArrowNone) {
        const QPixmap arrow = StripImage(SkinImage(s.arrowFile), static_cast<int>(arrowImage), s.arrowWidth, s.arrowMask, true);
        if (!arrow.isNull()) p.drawPixmap(rect.left() + (rect.width() - arrow.width()) / 2, rect.top(), arrow);
    }
    p.setPen(FromColour(s.headerTextColour));
    p.setFont(font());
    const QString caption = model() ? model()->headerData(logicalIndex, Qt::Horizontal, Qt::DisplayRole).toString() : QString();
    const QRect text(captionLeft, rect.top(), std::max(0, rect.right() - captionLeft), rect.height());
    p.drawText(text, Qt::AlignLeft | Qt::AlignVCenter, fontMetrics().elidedText(caption, Qt::ElideRight, text.width()));
    p.restore();
}

void CHeaderCtrlEx::paintEvent(QPaintEvent* event) {
    QPainter(viewport()).fillRect(viewport()->rect(), FromColour(Skin().headerNormal));
    QHeaderView::paintEvent(event);
    // The empty stretch right of the last column keeps the bottom line.
    const int end = count() > 0 ? sectionViewportPosition(count() - 1) + sectionSize(count() - 1) : 0;
    if (end < viewport()->width()) {
        QPainter p(viewport());
        p.fillRect(QRect(end, 0, viewport()->width() - end, height()), FromColour(Skin().headerNormal));
        p.setPen(QColor(kBottomLine));
        p.drawLine(end, height() - 1, viewport()->width(), height() - 1);
    }
}

void CHeaderCtrlEx::mousePressEvent(QMouseEvent* event) {
    const QPoint at = event->position().toPoint();
    const int section = logicalIndexAt(at);
    if (section == 0 && m_checkAllowed && m_checkEnabled && CheckRect(0).contains(at) && event->button() == Qt::LeftButton) {
        // A partly checked list unchecks, as an unchecked one checks.
        m_checkImage = m_checkImage == kImageUnchecked ? kImageChecked : kImageUnchecked;
        viewport()->update();
        emit checkAll(m_checkImage == kImageChecked);
        return;
    }
    // A press on a divider starts a resize and presses no column.
    const int left = section >= 0 ? sectionViewportPosition(section) : 0;
    const int margin = style()->pixelMetric(QStyle::PM_HeaderGripMargin, nullptr, this);
    const bool onDivider = section < 0 || at.x() < left + margin || at.x() > left + sectionSize(section) - margin;
    m_pressed = onDivider ? -1 : section;
    viewport()->update();
    QHeaderView::mousePressEvent(event);
}

void CHeaderCtrlEx::mouseMoveEvent(QMouseEvent* event) {
    const int section = logicalIndexAt(event->position().toPoint());
    if (section != m_hover) {
        m_hover = section;
        viewport()->update();
    }
    QHeaderView::mouseMoveEvent(event);
}

void CHeaderCtrlEx::mouseReleaseEvent(QMouseEvent* event) {
    m_pressed = -1;
    viewport()->update();
    QHeaderView::mouseReleaseEvent(event);
}

void CHeaderCtrlEx::leaveEvent(QEvent* event) {
    m_hover = -1;
    m_pressed = -1;
    viewport()->update();
    QHeaderView::leaveEvent(event);
}

}  // namespace FileSelCtrl
