#include "browser/views/Widgets.h"

#include "browser/model/UsageEvents.h"

#include <QEnterEvent>
#include <QLinearGradient>
#include <QMouseEvent>
#include <QPainter>

#include "browser/model/BrowserSkin.h"
#include "browser/views/Icons.h"

namespace FileSelCtrl {

namespace {
enum StripImageIndex { kImageNormal = 0, kImageHover = 1, kImagePressed = 2, kImageDisabled = 3 };
constexpr int kTabStart = 6;
constexpr int kTabPadding = 20;
constexpr int kCloseRoom = 20;
constexpr int kTabTop = 3;
constexpr QRgb kSelectedUnderline = qRgb(117, 126, 136);

void PaintStrip(QPainter& p, const QRect& r) {
    QLinearGradient g(0, 0, 0, r.height());
    g.setColorAt(0, FromColour(Skin().commandTop));
    g.setColorAt(1, FromColour(Skin().commandBottom));
    p.fillRect(r, g);
}
}  // namespace

// ---- CButtonEx

CButtonEx::CButtonEx(int id, QWidget* parent) : QAbstractButton(parent), m_id(id) {
    setFixedSize(Skin().buttonWidth, Skin().buttonHeight);
    setCursor(Qt::PointingHandCursor);
    m_tip.Create(this, TipMode::Immediate, QString());
}

void CButtonEx::SetStrip(const QImage& strip, int imageWidth) {
    m_strip = strip;
    m_imageWidth = imageWidth;
    update();
}

void CButtonEx::SetPressed(bool pressed) {
    m_checked = pressed;
    update();
}

int CButtonEx::ImageIndex() const {
    if (m_checked || isDown()) return kImagePressed;
    if (!isEnabled()) return kImageDisabled;
    return m_hover ? kImageHover : kImageNormal;
}

void CButtonEx::paintEvent(QPaintEvent*) {
    QPainter p(this);
    const QPixmap image = StripImage(m_strip, ImageIndex(), m_imageWidth, 0, false);
    if (!image.isNull()) {
        p.drawPixmap(0, 0, image);
        return;
    }
    p.setPen(QColor(150, 150, 150));
    p.setBrush(m_checked ? QColor(210, 220, 235) : QColor(245, 245, 245));
    p.drawRect(rect().adjusted(0, 0, -1, -1));
}

void CButtonEx::enterEvent(QEnterEvent* event) {
    m_hover = true;
    update();
    QAbstractButton::enterEvent(event);
}

void CButtonEx::leaveEvent(QEvent* event) {
    m_hover = false;
    update();
    QAbstractButton::leaveEvent(event);
}

// ---- CWndTabCtrl

CWndTabCtrl::CWndTabCtrl(QWidget* parent) : QWidget(parent) {
    setFont(SkinFont(Skin().tabFont));
    // The tab under the mouse lights up, so moves count without a button held.
    setMouseTracking(true);
}

bool CWndTabCtrl::AddTab(const std::string& text, u32 id, bool closable) {
    for (const Tab& t : m_tabs) {
        if (t.id == id) return false;
    }
    m_tabs.push_back(Tab{text, 0, 0, closable, id});
    Layout();
    update();
    return true;
}

void CWndTabCtrl::SetTexts(const std::vector<std::string>& texts) {
    for (size_t i = 0; i < m_tabs.size() && i < texts.size(); ++i) m_tabs[i].text = texts[i];
    Layout();
    update();
}

void CWndTabCtrl::Layout() {
    const QFontMetrics metrics(font());
    int x = kTabStart;
    for (Tab& t : m_tabs) {
        t.left = x;
        t.right = x + metrics.horizontalAdvance(QString::fromStdString(t.text)) + kTabPadding + (t.closable ? kCloseRoom : 0);
        x = t.right + 1;
    }
}

bool CWndTabCtrl::RemoveSearchTab() {
    for (size_t i = 0; i < m_tabs.size(); ++i) {
        if (m_tabs[i].id != kTabSearch) continue;
        if (m_current == static_cast<int>(i)) {
            m_current = -1;
        } else if (m_current > static_cast<int>(i)) {
            --m_current;
        }
        m_tabs.erase(m_tabs.begin() + static_cast<std::ptrdiff_t>(i));
        m_hover = -1;
        m_crossHover = false;
        Layout();
        update();
        return true;
    }
    return false;
}

bool CWndTabCtrl::Select(u32 id) {
    for (size_t i = 0; i < m_tabs.size(); ++i) {
        if (m_tabs[i].id == id) {
            m_current = static_cast<int>(i);
            update();
            return true;
        }
    }
    return false;
}

int CWndTabCtrl::CurrentId() const { return m_current >= 0 ? static_cast<int>(m_tabs[static_cast<size_t>(m_current)].id) : -1; }

bool CWndTabCtrl::TabExtent(u32 id, int& left, int& right) const {
    for (const Tab& t : m_tabs) {
        if (t.id == id) {
            left = t.left;
            right = t.right;
            return true;
        }
    }
    return false;
}

int CWndTabCtrl::TabAt(int x, int y) const {
    for (size_t i = 0; i < m_tabs.size(); ++i) {
        if (m_tabs[i].left < x && x < m_tabs[i].right && y > kTabTop) return static_cast<int>(i);
    }
    return -1;
}

bool CWndTabCtrl::OnCross(const Tab& t, int x, int y) const {
    return t.closable && t.right - 15 < x && x < t.right - 5 && y >= 8 && y <= 16;
}

int CWndTabCtrl::IndexOf(u32 id) const {
    for (size_t i = 0; i < m_tabs.size(); ++i) {
        if (m_tabs[i].id == id) return static_cast<int>(i);
    }
    return -1;
}

int CWndTabCtrl::HoveredId() const { return m_hover >= 0 ? static_cast<int>(m_tabs[static_cast<size_t>(m_hover)].id) : -1; }

QColor CWndTabCtrl::CaptionColour(u32 id) const {
    const int i = IndexOf(id);
    const bool lit = i >= 0 && (i == m_current || i == m_hover);
    return FromArgb(lit ? Skin().tabCaptionSelected : Skin().tabCaptionNormal);
}

QColor CWndTabCtrl::CrossColour(u32 id) const {
    const int i = IndexOf(id);
    return FromArgb(i >= 0 && i == m_hover && m_crossHover ? Skin().tabCaptionSelected : Skin().tabCaptionNormal);
}

void CWndTabCtrl::SetHover(int index, bool onCross) {
    if (index == m_hover && onCross == m_crossHover) return;
    m_hover = index;
    m_crossHover = onCross;
    update();
}

void CWndTabCtrl::mouseMoveEvent(QMouseEvent* event) {
    const QPoint pt = event->position().toPoint();
    const int hit = TabAt(pt.x(), pt.y());
    SetHover(hit, hit >= 0 && OnCross(m_tabs[static_cast<size_t>(hit)], pt.x(), pt.y()));
}

void CWndTabCtrl::leaveEvent(QEvent*) { SetHover(-1, false); }

void CWndTabCtrl::mousePressEvent(QMouseEvent* event) {
    m_pressed = TabAt(event->position().toPoint().x(), event->position().toPoint().y());
}

void CWndTabCtrl::mouseReleaseEvent(QMouseEvent* event) {
    const QPoint pt = event->position().toPoint();
    const int hit = TabAt(pt.x(), pt.y());
    if (hit < 0 || hit != m_pressed) return;
    const Tab tab = m_tabs[static_cast<size_t>(hit)];
    m_pressed = -1;
    if (OnCross(tab, pt.x(), pt.y())) {
        if (tab.id == kTabSearch) emit closeSearch();
        update();
        return;
    }
    if (hit == m_current) return;
    m_current = hit;
    update();
    emit selectTree(tab.id);
}

void CWndTabCtrl::paintEvent(QPaintEvent*) {
    QPainter p(this);
    const int w = width();
    const int h = height();
    PaintStrip(p, rect());
    p.setPen(FromArgb(Skin().tabItemBorder));
    const int tabsEnd = m_tabs.empty() ? kTabStart : m_tabs.back().right + 1;
    p.drawPolyline(QPolygon({QPoint(kTabStart, h - 1), QPoint(0, h - 1), QPoint(0, 0), QPoint(w - 1, 0)}));
    p.drawLine(w - 1, h - 1, tabsEnd, h - 1);
    for (size_t i = 0; i < m_tabs.size(); ++i) {
        const Tab& t = m_tabs[i];
        const bool selected = static_cast<int>(i) == m_current;
        if (selected) {
            // The strip's gradient shows through: the underline alone marks the chosen tab.
            p.setPen(QPen(QColor(kSelectedUnderline), 3));
            p.drawLine(t.left, h - 3, t.right - 1, h - 3);
        } else {
            p.setPen(FromArgb(Skin().tabItemBorder));
            p.drawLine(t.left - 1, h - 1, t.right, h - 1);
        }
        p.setPen(CaptionColour(t.id));
        const QRect text(t.left + 1, kTabTop, t.right - t.left - 2 - (t.closable ? kCloseRoom : 0), h - 1 - kTabTop);
        p.drawText(text, Qt::AlignCenter, QString::fromStdString(t.text));
        if (t.closable) {
            p.setPen(CrossColour(t.id));
            p.drawLine(t.right - 12, 10, t.right - 6, 16);
            p.drawLine(t.right - 6, 10, t.right - 12, 16);
        }
    }
}

// ---- CWndRightCommand

CWndRightCommand::CWndRightCommand(QWidget* parent) : QWidget(parent) {
    for (int id : {ID_VIEW_SEARCH, ID_VIEW_LARGEICONS, ID_VIEW_DETAILS, ID_VIEW_PREVIEWPANE}) {
        auto* b = new CButtonEx(id, this);
        connect(b, &QAbstractButton::clicked, this, [this, id] { OnCommand(id); });
        m_buttons.push_back(b);
    }
    Button(ID_VIEW_DETAILS)->SetPressed(true);
    ApplyLanguage();
}

CButtonEx* CWndRightCommand::Button(int id) const {
    for (CButtonEx* b : m_buttons) {
        if (b->Id() == id) return b;
    }
    return nullptr;
}

void CWndRightCommand::ApplyLanguage() {
    const BrowserSkin& s = Skin();
    const struct {
        int id;
        const std::string& file;
        const std::string& tip;
    } table[] = {{ID_VIEW_LARGEICONS, s.iconViewFile, s.iconViewTip},
                 {ID_VIEW_DETAILS, s.reportViewFile, s.reportViewTip},
                 {ID_VIEW_PREVIEWPANE, s.splitterViewFile, s.splitterViewTip},
                 {ID_VIEW_SEARCH, s.previewViewFile, s.previewViewTip}};
    for (const auto& row : table) {
        CButtonEx* b = Button(row.id);
        b->SetStrip(SkinImage(row.file), s.buttonWidth);
        b->SetTipText(QString::fromStdString(row.tip));
    }
}

void CWndRightCommand::Press(int id) {
    for (int other : {ID_VIEW_LARGEICONS, ID_VIEW_DETAILS, ID_VIEW_PREVIEWPANE}) Button(other)->SetPressed(other == id);
}

void CWndRightCommand::OnCommand(int id) {
    CButtonEx* b = Button(id);
    if (!b || !b->isEnabled()) return;
    switch (id) {
        case ID_VIEW_LARGEICONS:
            Press(id);
            emit showPreviewPane(false);
            emit setViewMode(false);
            StatsEvent(kUsageViewLargeIcons);
            break;
        case ID_VIEW_DETAILS:
            Press(id);
            emit showPreviewPane(false);
            emit setViewMode(true);
            StatsEvent(kUsageViewDetails);
            break;
        case ID_VIEW_PREVIEWPANE:
            Press(id);
            emit showPreviewPane(true);
            emit setViewMode(true);
            StatsEvent(kUsageViewPreviewPane);
            break;
        case ID_VIEW_SEARCH:
            emit openSearch();
            break;
        default:
            break;
    }
}

void CWndRightCommand::ResetCommands(bool enable) {
    Press(enable ? ID_VIEW_PREVIEWPANE : ID_VIEW_DETAILS);
    emit showPreviewPane(enable);
    emit setViewMode(true);
    for (int id : {ID_VIEW_LARGEICONS, ID_VIEW_PREVIEWPANE, ID_VIEW_SEARCH}) {
        CButtonEx* b = Button(id);
        b->setEnabled(enable);
        if (!enable) b->SetPressed(false);
    }
}

void CWndRightCommand::resizeEvent(QResizeEvent*) {
    const int y = (height() - Skin().buttonHeight) / 2;
    const int x0 = width() - Skin().buttonPos;
    for (size_t i = 0; i < m_buttons.size(); ++i) {
        m_buttons[i]->move(x0 + static_cast<int>(i) * (Skin().buttonWidth + 1), y);
    }
}

void CWndRightCommand::paintEvent(QPaintEvent*) {
    QPainter p(this);
    PaintStrip(p, rect());
    p.setPen(FromArgb(Skin().tabItemBorder));
    const int w = width();
    const int h = height();
    p.drawPolyline(QPolygon({QPoint(0, 0), QPoint(w - 1, 0), QPoint(w - 1, h - 1), QPoint(0, h - 1)}));
}

}  // namespace FileSelCtrl
