#include "browser/views/ToolTip.h"

#include <QCursor>
#include <QGuiApplication>
#include <QMouseEvent>
#include <QPainter>
#include <QPropertyAnimation>
#include <QScreen>

namespace FileSelCtrl {

namespace {
const QColor kTipBackground(226, 231, 167);
constexpr double kTipOpacity = 200.0 / 255.0;
constexpr int kPadX = 5;
constexpr int kPadY = 2;
constexpr int kCursorGapX = 8;
constexpr int kCursorGapY = 16;
}  // namespace

QPoint TipPosition(QPoint pt, QSize tip, QSize screen) {
    int x = pt.x() + kCursorGapX;
    int y = pt.y() + kCursorGapY;
    const bool pastRight = x + tip.width() > screen.width();
    const bool pastBottom = y + tip.height() > screen.height();
    if (pastRight) {
        x = pt.x() + kCursorGapX - tip.width();
        if (pastBottom) {
            x = pt.x() - tip.width();
            y = pt.y() - tip.height() - 1;
        }
    } else if (pastBottom) {
        y = pt.y() - tip.height() - 1;
    }
    return {x, y};
}

CFileSelToolTip::CFileSelToolTip() : QWidget(nullptr, Qt::ToolTip | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint) {
    setAttribute(Qt::WA_ShowWithoutActivating);
    setWindowOpacity(kTipOpacity);
    m_hoverTimer.setSingleShot(true);
    m_hoverTimer.setInterval(kTipHoverMs);
    connect(&m_hoverTimer, &QTimer::timeout, this, &CFileSelToolTip::OnHover);
}

CFileSelToolTip::~CFileSelToolTip() {
    if (m_owner) m_owner->removeEventFilter(this);
}

void CFileSelToolTip::FollowCutCells(std::function<bool(QPoint, QString&, QRect&)> cutAt) {
    textAt = cutAt;
    keepOnMove = [this, cutAt](QPoint at) {
        QString text;
        QRect area;
        if (!cutAt(at, text, area)) return false;
        Show(text, area);
        return true;
    };
}

bool CFileSelToolTip::Create(QWidget* owner, TipMode mode, const QString& text) {
    if (!owner) return false;
    m_owner = owner;
    m_mode = mode;
    m_text = text;
    setFont(owner->font());
    owner->setMouseTracking(true);
    owner->installEventFilter(this);
    return true;
}

void CFileSelToolTip::Show(const QString& text, const QRect& trigger) {
    m_text = text;
    m_trigger = trigger;
    const QRect measured = QFontMetrics(font()).boundingRect(QRect(), Qt::AlignLeft, text);
    const QSize size(measured.width() + 2 * kPadX, measured.height() + 2 * kPadY);
    QSize screen(4096, 4096);
    if (QScreen* s = QGuiApplication::primaryScreen()) screen = s->size();
    const QPoint at = TipPosition(QCursor::pos(), size, screen);
    const bool wasShown = IsShown();
    m_closing = false;
    setGeometry(QRect(at, size));
    if (wasShown) {
        update();
        return;
    }
    show();
    raise();
    Animate(true);
}

void CFileSelToolTip::Hide() {
    m_hoverTimer.stop();
    if (!isVisible() || m_closing) return;
    m_closing = true;
    Animate(false);
}

void CFileSelToolTip::Animate(bool opening) {
    const QRect full = geometry();
    const QRect centre(full.center(), QSize(1, 1));
    auto* animation = new QPropertyAnimation(this, "geometry", this);
    animation->setDuration(kTipAnimationMs);
    animation->setStartValue(opening ? centre : full);
    animation->setEndValue(opening ? full : centre);
    if (!opening) {
        connect(animation, &QPropertyAnimation::finished, this, [this, full] {
            if (m_closing) {
                QWidget::hide();
                setGeometry(full);
                m_closing = false;
            }
        });
    }
    animation->start(QAbstractAnimation::DeleteWhenStopped);
}

void CFileSelToolTip::OnHover() {
    if (m_mode != TipMode::Hover || !m_owner || !textAt) return;
    QString text;
    QRect area;
    if (textAt(m_lastMouse, text, area) && !text.isEmpty()) Show(text, area);
}

bool CFileSelToolTip::eventFilter(QObject* watched, QEvent* event) {
    if (watched != m_owner) return false;
    switch (event->type()) {
        case QEvent::MouseButtonPress:
        case QEvent::MouseButtonRelease:
        case QEvent::MouseButtonDblClick:
        case QEvent::Wheel:
            Hide();
            break;
        case QEvent::MouseMove: {
            m_lastMouse = static_cast<QMouseEvent*>(event)->position().toPoint();
            if (IsShown()) {
                if (m_mode == TipMode::Hover && !m_trigger.contains(m_lastMouse)) {
                    if (!keepOnMove || !keepOnMove(m_lastMouse)) Hide();
                }
            } else if (m_mode == TipMode::Immediate) {
                if (!m_shownOnce && !m_text.isEmpty()) {
                    m_shownOnce = true;
                    Show(m_text, QRect());
                }
            } else {
                m_hoverTimer.start();
            }
            break;
        }
        case QEvent::Leave:
            m_shownOnce = false;
            Hide();
            break;
        default:
            break;
    }
    return false;
}

void CFileSelToolTip::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.fillRect(rect(), kTipBackground);
    p.setPen(QColor(0x50, 0x50, 0x50));
    p.drawRect(rect().adjusted(0, 0, -1, -1));
    p.setPen(Qt::black);
    p.drawText(rect().adjusted(kPadX + 1, kPadY + 1, 0, 0), Qt::AlignLeft | Qt::AlignTop, m_text);
}

}  // namespace FileSelCtrl
