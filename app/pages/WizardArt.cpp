#include "app/pages/WizardArt.h"

#include <QPainterPath>
#include <cmath>

namespace UiCtrl::art {
namespace {
QColor C(COLORREF c) { return ui::ColorFromRef(c); }
QRectF F(const RECT& r) { return QRectF(r.left, r.top, r.right - r.left, r.bottom - r.top); }
constexpr double kPi = 3.14159265358979323846;
// Below this radius (a spinner of a dozen pixels) the spokes are drawn thinner, or they run
// together into a blot.
constexpr double kSmallSpinnerRadius = 6.0;
constexpr double kSmallSpokeWidth = 1.2;
constexpr double kSpokeWidth = 2.0;
}  // namespace

void DrawSpinner(ui::Dc* dc, const RECT& r, int frame, int frames) {
    if (!dc || frames <= 0) return;
    QPainter* p = dc->Painter();
    p->save();
    p->setRenderHint(QPainter::Antialiasing, true);
    const QRectF f = F(r);
    const QPointF c = f.center();
    const double radius = std::min(f.width(), f.height()) / 2.0 - 1.0;
    const double width = radius < kSmallSpinnerRadius ? kSmallSpokeWidth : std::max(kSpokeWidth, radius / 5.0);
    // The spokes' round ends stay inside the rectangle too.
    const double outer = radius - width / 2.0;
    const double inner = outer * 0.5;
    for (int i = 0; i < kSpinnerFrames; ++i) {
        const double a = 2.0 * kPi * i / kSpinnerFrames - kPi / 2.0;
        const int age = ((frame * kSpinnerFrames / frames) - i + kSpinnerFrames) % kSpinnerFrames;
        QColor col = C(kAccent);
        col.setAlpha(255 - age * 18);
        p->setPen(QPen(col, width, Qt::SolidLine, Qt::RoundCap));
        p->drawLine(QPointF(c.x() + inner * std::cos(a), c.y() + inner * std::sin(a)),
                    QPointF(c.x() + outer * std::cos(a), c.y() + outer * std::sin(a)));
    }
    p->restore();
}

void DrawTypeSymbol(ui::Dc* dc, const RECT& r, TypeSymbol symbol, bool active) {
    if (!dc) return;
    QPainter* p = dc->Painter();
    p->save();
    p->setRenderHint(QPainter::Antialiasing, true);
    const QRectF f = F(r).adjusted(6, 6, -6, -6);
    const QColor ink = active ? C(kAccent) : QColor(0x9a, 0x9a, 0x9a);
    const QColor fill = active ? QColor(0xe8, 0xf4, 0xd8) : QColor(0xf0, 0xf0, 0xf0);
    p->setPen(QPen(ink, 2.5));
    p->setBrush(fill);
    switch (symbol) {
    case TypeSymbol::AllTypes: {
        const double w = f.width() / 2 - 3, h = f.height() / 2 - 3;
        for (int i = 0; i < 4; ++i)
            p->drawRoundedRect(QRectF(f.left() + (i % 2) * (w + 6), f.top() + (i / 2) * (h + 6), w, h), 4, 4);
        break;
    }
    case TypeSymbol::Photo: {
        p->drawRoundedRect(f.adjusted(0, 6, 0, -6), 5, 5);
        QPainterPath hill;
        hill.moveTo(f.left() + 4, f.bottom() - 10);
        hill.lineTo(f.left() + f.width() * 0.4, f.top() + f.height() * 0.45);
        hill.lineTo(f.left() + f.width() * 0.65, f.bottom() - 16);
        hill.lineTo(f.left() + f.width() * 0.8, f.top() + f.height() * 0.6);
        hill.lineTo(f.right() - 4, f.bottom() - 10);
        p->setBrush(Qt::NoBrush);
        p->drawPath(hill);
        p->setBrush(ink);
        p->drawEllipse(QPointF(f.right() - 12, f.top() + 16), 4, 4);
        break;
    }
    case TypeSymbol::Music: {
        p->setBrush(ink);
        const double s = f.width();
        p->drawEllipse(QPointF(f.left() + s * 0.28, f.bottom() - s * 0.18), s * 0.14, s * 0.11);
        p->drawEllipse(QPointF(f.left() + s * 0.75, f.bottom() - s * 0.28), s * 0.14, s * 0.11);
        p->drawLine(QPointF(f.left() + s * 0.41, f.bottom() - s * 0.18), QPointF(f.left() + s * 0.41, f.top() + s * 0.12));
        p->drawLine(QPointF(f.left() + s * 0.88, f.bottom() - s * 0.28), QPointF(f.left() + s * 0.88, f.top() + s * 0.02));
        p->drawLine(QPointF(f.left() + s * 0.41, f.top() + s * 0.12), QPointF(f.left() + s * 0.88, f.top() + s * 0.02));
        break;
    }
    case TypeSymbol::Document: {
        const QRectF page = f.adjusted(f.width() * 0.15, 0, -f.width() * 0.15, 0);
        p->drawRoundedRect(page, 3, 3);
        for (int i = 1; i <= 4; ++i) {
            const double y = page.top() + page.height() * i / 5.5 + 4;
            p->drawLine(QPointF(page.left() + 7, y), QPointF(page.right() - 7, y));
        }
        break;
    }
    case TypeSymbol::Video: {
        const QRectF body = f.adjusted(0, f.height() * 0.2, -f.width() * 0.3, -f.height() * 0.2);
        p->drawRoundedRect(body, 4, 4);
        QPainterPath lens;
        lens.moveTo(body.right() + 2, body.center().y());
        lens.lineTo(f.right(), body.top() + 2);
        lens.lineTo(f.right(), body.bottom() - 2);
        lens.closeSubpath();
        p->drawPath(lens);
        break;
    }
    case TypeSymbol::Other: {
        p->drawEllipse(f.adjusted(4, 4, -4, -4));
        p->setBrush(ink);
        const QPointF c = f.center();
        for (int i = -1; i <= 1; ++i) p->drawEllipse(QPointF(c.x() + i * f.width() * 0.22, c.y()), 3.5, 3.5);
        break;
    }
    }
    p->restore();
}

void DrawDoneMark(ui::Dc* dc, const RECT& r) {
    if (!dc) return;
    QPainter* p = dc->Painter();
    p->save();
    p->setRenderHint(QPainter::Antialiasing, true);
    const QRectF f = F(r).adjusted(3, 3, -3, -3);
    p->setPen(Qt::NoPen);
    p->setBrush(C(kAccent));
    p->drawEllipse(f);
    p->setPen(QPen(Qt::white, 4, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    QPainterPath tick;
    tick.moveTo(f.left() + f.width() * 0.27, f.center().y());
    tick.lineTo(f.left() + f.width() * 0.45, f.top() + f.height() * 0.68);
    tick.lineTo(f.left() + f.width() * 0.75, f.top() + f.height() * 0.32);
    p->setBrush(Qt::NoBrush);
    p->drawPath(tick);
    p->restore();
}

void DrawPauseMark(ui::Dc* dc, const RECT& r) {
    if (!dc) return;
    QPainter* p = dc->Painter();
    p->save();
    p->setRenderHint(QPainter::Antialiasing, true);
    const QRectF f = F(r).adjusted(3, 3, -3, -3);
    p->setPen(QPen(QColor(0xe0, 0x90, 0x20), 3));
    p->setBrush(Qt::NoBrush);
    p->drawEllipse(f);
    p->setPen(Qt::NoPen);
    p->setBrush(QColor(0xe0, 0x90, 0x20));
    const double w = f.width() * 0.12, h = f.height() * 0.4;
    p->drawRect(QRectF(f.center().x() - w * 1.8, f.center().y() - h / 2, w, h));
    p->drawRect(QRectF(f.center().x() + w * 0.8, f.center().y() - h / 2, w, h));
    p->restore();
}

void DrawStoppedMark(ui::Dc* dc, const RECT& r) {
    if (!dc) return;
    const QColor grey(0x80, 0x80, 0x80);
    QPainter* p = dc->Painter();
    p->save();
    p->setRenderHint(QPainter::Antialiasing, true);
    const QRectF f = F(r).adjusted(3, 3, -3, -3);
    p->setPen(QPen(grey, 3));
    p->setBrush(Qt::NoBrush);
    p->drawEllipse(f);
    p->setPen(Qt::NoPen);
    p->setBrush(grey);
    const double side = f.width() * 0.34;
    p->drawRect(QRectF(f.center().x() - side / 2, f.center().y() - side / 2, side, side));
    p->restore();
}

void DrawCheckMark(ui::Dc* dc, int x, int y, bool checked) {
    if (!dc) return;
    QPainter* p = dc->Painter();
    p->save();
    p->setRenderHint(QPainter::Antialiasing, true);
    const QRectF f(x, y, 18, 18);
    p->setPen(QPen(checked ? C(kAccent) : QColor(0xb0, 0xb0, 0xb0), 2));
    p->setBrush(checked ? C(kAccent) : QColor(Qt::white));
    p->drawEllipse(f);
    if (checked) {
        p->setPen(QPen(Qt::white, 2.2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        QPainterPath tick;
        tick.moveTo(x + 5, y + 9);
        tick.lineTo(x + 8, y + 12.5);
        tick.lineTo(x + 13.5, y + 6);
        p->setBrush(Qt::NoBrush);
        p->drawPath(tick);
    }
    p->restore();
}

}  // namespace UiCtrl::art
