// The place page's pictures: the 30 x 30 icon of each tile kind, plain and selected, the mark
// of the selected tile and the refresh button of the volumes' title strip. Included by
// MakeUiImages.cpp, which writes them with the others.
#pragma once
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <map>

namespace place_images {

constexpr int kIcon = 30;

enum Kind { kOther = 0, kSystem = 1, kRemovable = 2, kLost = 3, kDocuments = 4, kDesktop = 5 };

struct Palette {
    QColor ink, body, light;
};

inline Palette Colours(bool selected) {
    // Selected: the green of the tile's frame; plain: slate.
    return selected ? Palette{QColor(0x0E, 0x8A, 0x5A), QColor(0xC8, 0xF5, 0xE4), QColor(0x1F, 0xD2, 0x80)}
                    : Palette{QColor(0x5A, 0x66, 0x70), QColor(0xE6, 0xEA, 0xEE), QColor(0x9A, 0xA6, 0xB0)};
}

inline QImage Blank() {
    QImage img(kIcon, kIcon, QImage::Format_ARGB32);
    img.fill(Qt::transparent);
    return img;
}

// A disk drive seen from the front: a rounded box with a slot and a light.
inline void Drive(QPainter& p, const Palette& c, QColor lamp, bool dashed) {
    const QRectF body(3.5, 9.5, 23, 13);
    p.setPen(QPen(c.ink, 1.6, dashed ? Qt::DashLine : Qt::SolidLine));
    p.setBrush(dashed ? QColor(0xF6, 0xF6, 0xF6) : c.body);
    p.drawRoundedRect(body, 3, 3);
    p.setPen(QPen(c.ink, 1.4, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(7.5, 19), QPointF(16.5, 19));
    p.setPen(Qt::NoPen);
    p.setBrush(lamp);
    p.drawEllipse(QPointF(22.5, 18.5), 1.9, 1.9);
}

inline QImage Icon(Kind kind, bool selected) {
    QImage img = Blank();
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing, true);
    const Palette c = Colours(selected);
    switch (kind) {
    case kOther: Drive(p, c, c.light, false); break;
    case kSystem: {
        Drive(p, c, c.light, false);
        // Four panes over the drive: the one the system runs from.
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(0x2F, 0x8F, 0xD8));
        for (int i = 0; i < 4; ++i) p.drawRect(QRectF(11 + (i % 2) * 4.4, 2.5 + (i / 2) * 3.4, 3.6, 2.8));
        break;
    }
    case kRemovable: {
        // A stick: a body and its plug.
        p.setPen(QPen(c.ink, 1.6));
        p.setBrush(c.body);
        p.drawRoundedRect(QRectF(6.5, 10.5, 17, 12), 2.5, 2.5);
        p.setBrush(QColor(0xFD, 0xFD, 0xFD));
        p.drawRect(QRectF(23.5, 13, 4, 7));
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(0xE0, 0x90, 0x20));
        p.drawEllipse(QPointF(11, 16.5), 1.9, 1.9);
        break;
    }
    case kLost: {
        Drive(p, c, QColor(0xC8, 0xC8, 0xC8), true);
        // A question mark above: a place no table points to any more.
        p.setPen(QPen(selected ? c.ink : QColor(0xE0, 0x90, 0x20), 1.8, Qt::SolidLine, Qt::RoundCap));
        p.setBrush(Qt::NoBrush);
        QPainterPath q;
        q.moveTo(12.5, 4.2);
        q.cubicTo(12.5, 1.6, 17.5, 1.6, 17.5, 4.2);
        q.cubicTo(17.5, 6.0, 15, 6.0, 15, 7.6);
        p.drawPath(q);
        break;
    }
    case kDocuments:
    case kDesktop: {
        if (kind == kDesktop) {
            // A screen on its foot.
            p.setPen(QPen(c.ink, 1.6));
            p.setBrush(c.body);
            p.drawRoundedRect(QRectF(3.5, 5.5, 23, 15), 2, 2);
            p.drawLine(QPointF(15, 21), QPointF(15, 24.5));
            p.drawLine(QPointF(10, 25), QPointF(20, 25));
        } else {
            // A folder with a sheet in it.
            QPainterPath folder;
            folder.moveTo(3.5, 8.5);
            folder.lineTo(11.5, 8.5);
            folder.lineTo(13.5, 11);
            folder.lineTo(26.5, 11);
            folder.lineTo(26.5, 24.5);
            folder.lineTo(3.5, 24.5);
            folder.closeSubpath();
            p.setPen(QPen(c.ink, 1.6));
            p.setBrush(selected ? c.body : QColor(0xF8, 0xE3, 0xA8));
            p.drawPath(folder);
            p.setBrush(QColor(0xFD, 0xFD, 0xFD));
            p.drawRect(QRectF(9.5, 5.5, 11, 8));
        }
        break;
    }
    }
    return img;
}

// The mark of the selected tile: a tick in a green disc.
inline QImage SelectedMark() {
    QImage img = Blank();
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing, true);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0x1F, 0xD2, 0x80));
    p.drawEllipse(QPointF(15, 12.5), 9.5, 9.5);
    p.setPen(QPen(QColor(0xFD, 0xFD, 0xFD), 2.4, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(Qt::NoBrush);
    QPainterPath tick;
    tick.moveTo(10.5, 12.8);
    tick.lineTo(13.8, 16);
    tick.lineTo(19.5, 9.2);
    p.drawPath(tick);
    return img;
}

// The refresh button of the volumes' title strip, 24 pixels square: a circling arrow in the
// title's green, on a round backdrop when the pointer is over it or presses it, grey when off.
enum class RefreshState { kNormal, kOver, kClick, kDisable };

inline QImage RefreshButton(RefreshState state) {
    constexpr int kSize = 24;
    QImage img(kSize, kSize, QImage::Format_ARGB32);
    img.fill(Qt::transparent);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing, true);
    const QColor green(0x05, 0x82, 0x63);
    QColor ink = state == RefreshState::kDisable ? QColor(0xB4, 0xB8, 0xB6) : green;
    if (state == RefreshState::kOver || state == RefreshState::kClick) {
        p.setPen(Qt::NoPen);
        p.setBrush(state == RefreshState::kOver ? QColor(0xDD, 0xF5, 0xEC) : QColor(0xB8, 0xE8, 0xD6));
        p.drawEllipse(QRectF(0.5, 0.5, kSize - 1.0, kSize - 1.0));
        if (state == RefreshState::kClick) ink = ink.darker(125);
    }
    // Three quarters of a circle, open at the upper right, with the arrow's head at its end.
    const QRectF ring(6, 6, 12, 12);
    p.setPen(QPen(ink, 2.0, Qt::SolidLine, Qt::RoundCap));
    p.setBrush(Qt::NoBrush);
    p.drawArc(ring, 60 * 16, 285 * 16);
    QPainterPath head;
    head.moveTo(14.2, 4.2);
    head.lineTo(19.6, 6.2);
    head.lineTo(15.2, 9.8);
    head.closeSubpath();
    p.setPen(QPen(ink, 1.0, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(ink);
    p.drawPath(head);
    return img;
}

inline void Add(std::map<int, QImage>& images) {
    // Icon and selected icon by kind, as the tiles look them up.
    const int ids[6][2] = {{226, 283}, {254, 286}, {287, 288}, {253, 285}, {252, 284}, {250, 282}};
    for (int kind = 0; kind < 6; ++kind) {
        images[ids[kind][0]] = Icon(static_cast<Kind>(kind), false);
        images[ids[kind][1]] = Icon(static_cast<Kind>(kind), true);
    }
    images[547] = SelectedMark();
    images[588] = RefreshButton(RefreshState::kNormal);
    images[589] = RefreshButton(RefreshState::kOver);
    images[590] = RefreshButton(RefreshState::kClick);
    images[591] = RefreshButton(RefreshState::kDisable);
}

}  // namespace place_images
