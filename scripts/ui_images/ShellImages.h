// The images of the program shell: the About banner, the update check's result picture and its
// waiting animation. Included by MakeUiImages.cpp, which writes them with the others.
#pragma once
#include <QFont>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <cmath>
#include <map>

namespace shell_images {

inline QImage AboutBanner() {
    const int w = 521, h = 84;
    QImage img(w, h, QImage::Format_ARGB32);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing, true);
    p.setRenderHint(QPainter::TextAntialiasing, true);
    QLinearGradient g(0, 0, w, h);
    g.setColorAt(0, QColor(0x1F, 0xA8, 0x74));
    g.setColorAt(1, QColor(0x0E, 0x6E, 0x56));
    p.fillRect(img.rect(), g);
    // Concentric arcs on the right: a platter seen from above.
    p.setBrush(Qt::NoBrush);
    for (int i = 0; i < 5; ++i) {
        p.setPen(QPen(QColor(255, 255, 255, 26 + i * 8), 2));
        const double r = 26 + i * 14;
        p.drawEllipse(QPointF(w - 70, h / 2.0), r, r);
    }
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0xFD, 0xFD, 0xFD));
    p.drawEllipse(QPointF(w - 70, h / 2.0), 7, 7);
    QFont title(QStringLiteral("DejaVu Sans"));
    title.setPixelSize(26);
    title.setBold(true);
    p.setFont(title);
    p.setPen(QColor(0xFD, 0xFD, 0xFD));
    p.drawText(QRect(24, 10, 380, 40), Qt::AlignLeft | Qt::AlignVCenter, QStringLiteral("Morvenda"));
    QFont sub(QStringLiteral("DejaVu Sans"));
    sub.setPixelSize(15);
    p.setFont(sub);
    p.setPen(QColor(0xD8, 0xF5, 0xEA));
    p.drawText(QRect(25, 46, 380, 24), Qt::AlignLeft | Qt::AlignVCenter, QStringLiteral("Data Recovery"));
    return img;
}

// A tick in a round badge: the check found nothing newer. The badge keeps to the left of the
// picture, clear of the text that starts 62 pixels into it.
inline QImage UpToDate() {
    QImage img(80, 91, QImage::Format_ARGB32);
    img.fill(Qt::transparent);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing, true);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0xD6, 0xF7, 0xEE));
    p.drawEllipse(QPointF(28, 30), 27, 27);
    p.setBrush(QColor(0x1F, 0xB0, 0x80));
    p.drawEllipse(QPointF(28, 30), 20, 20);
    p.setPen(QPen(QColor(0xFD, 0xFD, 0xFD), 4.5, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    QPainterPath tick;
    tick.moveTo(19, 30);
    tick.lineTo(26, 37);
    tick.lineTo(38, 23);
    p.drawPath(tick);
    return img;
}

// Twelve frames of 347 x 30 side by side: a band of dots with a travelling highlight.
inline QImage WaitAnimation() {
    const int fw = 347, fh = 30, frames = 12, dots = 12;
    QImage img(fw * frames, fh, QImage::Format_ARGB32);
    img.fill(Qt::transparent);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing, true);
    p.setPen(Qt::NoPen);
    const double step = fw / static_cast<double>(dots);
    for (int f = 0; f < frames; ++f) {
        for (int d = 0; d < dots; ++d) {
            const int dist = (d - f + dots) % dots;
            const double fade = dist < 4 ? 1.0 - dist * 0.25 : 0.0;
            const QColor base(0xC4, 0xE8, 0xDC);
            const QColor lit(0x1F, 0xB0, 0x80);
            const QColor c(static_cast<int>(base.red() + (lit.red() - base.red()) * fade),
                           static_cast<int>(base.green() + (lit.green() - base.green()) * fade),
                           static_cast<int>(base.blue() + (lit.blue() - base.blue()) * fade));
            p.setBrush(c);
            const double r = 4.0 + 2.0 * fade;
            p.drawEllipse(QPointF(f * fw + step * (d + 0.5), fh / 2.0), r, r);
        }
    }
    return img;
}

inline void Add(std::map<int, QImage>& images) {
    images[320] = AboutBanner();
    images[268] = UpToDate();
    images[600] = WaitAnimation();
}

}  // namespace shell_images
