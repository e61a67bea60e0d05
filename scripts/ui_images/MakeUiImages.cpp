// Draws the program's interface images by resource id into res/images/ and writes the Qt
// resource list app/ui/UiImages.qrc. Run scripts/ui_images/make.sh after changing a drawing.
// Images that the skin draws with white as the transparent colour keep pure white out of their
// opaque parts (0xFDFDFD stands in for white).
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QTextStream>
#include <cstdio>
#include <functional>
#include <map>

#include "PlaceImages.h"
#include "ShellImages.h"

namespace {

const QColor kTealDark(0x01, 0x6D, 0x53);
const QColor kTeal(0x05, 0x7D, 0x5F);
const QColor kGreen(0x1F, 0xD2, 0x80);
const QColor kMint(0xB2, 0xF3, 0xE3);
const QColor kNearWhite(0xFD, 0xFD, 0xFD);

QImage Canvas(int w, int h) {
    QImage img(w, h, QImage::Format_ARGB32);
    img.fill(Qt::transparent);
    return img;
}

void Smooth(QPainter& p) {
    p.setRenderHint(QPainter::Antialiasing, true);
    p.setRenderHint(QPainter::TextAntialiasing, true);
}

QImage RoundButton(int w, int h, QColor fill, QColor border, double radius = 4.0) {
    QImage img = Canvas(w, h);
    QPainter p(&img);
    Smooth(p);
    p.setPen(QPen(border, 1));
    p.setBrush(fill);
    p.drawRoundedRect(QRectF(0.5, 0.5, w - 1.0, h - 1.0), radius, radius);
    return img;
}

// A caption glyph on a square cell: a hover/press backdrop then the glyph lines.
QImage CaptionGlyph(int size, QColor glyph, QColor backdrop, const std::function<void(QPainter&, double)>& draw) {
    QImage img = Canvas(size, size);
    QPainter p(&img);
    Smooth(p);
    if (backdrop.alpha() > 0) {
        p.setPen(Qt::NoPen);
        p.setBrush(backdrop);
        p.drawRoundedRect(QRectF(3, 3, size - 6, size - 6), 4, 4);
    }
    p.setPen(QPen(glyph, 1.6, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(Qt::NoBrush);
    draw(p, size / 2.0);
    return img;
}

void CloseGlyph(QPainter& p, double c) {
    const double d = 5.0;
    p.drawLine(QPointF(c - d, c - d), QPointF(c + d, c + d));
    p.drawLine(QPointF(c - d, c + d), QPointF(c + d, c - d));
}
void MaxGlyph(QPainter& p, double c) { p.drawRect(QRectF(c - 5.5, c - 5.5, 11, 11)); }
void RestoreGlyph(QPainter& p, double c) {
    p.drawRect(QRectF(c - 6, c - 3, 9, 9));
    QPainterPath back;
    back.moveTo(c - 3, c - 3);
    back.lineTo(c - 3, c - 6);
    back.lineTo(c + 6, c - 6);
    back.lineTo(c + 6, c + 3);
    back.lineTo(c + 3, c + 3);
    p.drawPath(back);
}
void MinGlyph(QPainter& p, double c) { p.drawLine(QPointF(c - 6, c + 4), QPointF(c + 6, c + 4)); }
void MenuGlyph(QPainter& p, double c) {
    for (int i = -1; i <= 1; ++i) p.drawLine(QPointF(c - 6, c + i * 4.5), QPointF(c + 6, c + i * 4.5));
}
void ImportGlyph(QPainter& p, double c) {
    p.drawLine(QPointF(c, c - 7), QPointF(c, c + 3));
    p.drawLine(QPointF(c - 4, c - 1), QPointF(c, c + 3));
    p.drawLine(QPointF(c + 4, c - 1), QPointF(c, c + 3));
    p.drawLine(QPointF(c - 7, c + 3), QPointF(c - 7, c + 7));
    p.drawLine(QPointF(c - 7, c + 7), QPointF(c + 7, c + 7));
    p.drawLine(QPointF(c + 7, c + 7), QPointF(c + 7, c + 3));
}

QImage CheckBox(bool checked) {
    QImage img = Canvas(13, 13);
    QPainter p(&img);
    Smooth(p);
    if (checked) {
        p.setPen(QPen(kTeal, 1));
        p.setBrush(kGreen.darker(115));
        p.drawRoundedRect(QRectF(0.5, 0.5, 12, 12), 2.5, 2.5);
        p.setPen(QPen(kNearWhite, 1.7, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        QPainterPath tick;
        tick.moveTo(3.2, 6.8);
        tick.lineTo(5.5, 9.0);
        tick.lineTo(9.8, 4.0);
        p.drawPath(tick);
    } else {
        p.setPen(QPen(QColor(0x9A, 0xA5, 0xA2), 1));
        p.setBrush(kNearWhite);
        p.drawRoundedRect(QRectF(0.5, 0.5, 12, 12), 2.5, 2.5);
    }
    return img;
}

QImage AppIcon(int size) {
    QImage img = Canvas(size, size);
    QPainter p(&img);
    Smooth(p);
    p.setPen(Qt::NoPen);
    p.setBrush(kGreen.darker(110));
    p.drawRoundedRect(QRectF(2, 2, size - 4, size - 4), size * 0.2, size * 0.2);
    // A disk with a circular "bring back" arrow.
    const double c = size / 2.0;
    p.setPen(QPen(kNearWhite, size * 0.08, Qt::SolidLine, Qt::RoundCap));
    p.setBrush(Qt::NoBrush);
    const QRectF arc(c - size * 0.25, c - size * 0.25, size * 0.5, size * 0.5);
    p.drawArc(arc, 60 * 16, 290 * 16);
    QPainterPath head;
    head.moveTo(c + size * 0.20, c - size * 0.30);
    head.lineTo(c + size * 0.14, c - size * 0.13);
    head.lineTo(c + size * 0.31, c - size * 0.17);
    p.setBrush(kNearWhite);
    p.setPen(Qt::NoPen);
    p.drawPath(head);
    p.drawEllipse(QPointF(c, c), size * 0.06, size * 0.06);
    return img;
}

QImage MessageIcon() {
    QImage img = Canvas(54, 54);
    QPainter p(&img);
    Smooth(p);
    p.setPen(Qt::NoPen);
    p.setBrush(kMint);
    p.drawEllipse(QRectF(1, 1, 52, 52));
    p.setBrush(kGreen.darker(118));
    p.drawEllipse(QRectF(7, 7, 40, 40));
    p.setBrush(kNearWhite);
    p.drawEllipse(QPointF(27, 17.5), 3.1, 3.1);
    p.drawRoundedRect(QRectF(24.3, 23, 5.4, 16), 2.5, 2.5);
    return img;
}

// A warning mark: an amber disc holding an exclamation mark, for the notes and failed outcomes
// of the dialogs. Scales from a 16-pixel note to a dialog's picture.
QImage WarningMark(int size) {
    QImage img = Canvas(size, size);
    QPainter p(&img);
    Smooth(p);
    const double s = size;
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0xF6, 0xD3, 0x8A));
    p.drawEllipse(QRectF(0.5, 0.5, s - 1, s - 1));
    p.setBrush(QColor(0xE0, 0x8A, 0x12));
    p.drawEllipse(QRectF(s * 0.1, s * 0.1, s * 0.8, s * 0.8));
    p.setBrush(kNearWhite);
    p.drawRoundedRect(QRectF(s * 0.44, s * 0.24, s * 0.12, s * 0.34), s * 0.05, s * 0.05);
    p.drawEllipse(QPointF(s * 0.5, s * 0.7), s * 0.075, s * 0.075);
    return img;
}

// The thank-you picture after a recovery: it fills the whole dialog (540 x 345), a soft band
// with a tick badge on the left, clear of the texts that start 170 pixels in, and a grey strip at
// the bottom under the check box and the close button.
QImage ThankYouPicture() {
    constexpr int kW = 540, kH = 345, kItemBand = 300;
    QImage img(kW, kH, QImage::Format_ARGB32);
    QPainter p(&img);
    Smooth(p);
    QLinearGradient g(0, 0, 0, kItemBand);
    g.setColorAt(0, QColor(0xB2, 0xF0, 0xDF));
    g.setColorAt(1, QColor(0xF4, 0xFC, 0xF9));
    p.fillRect(QRect(0, 0, kW, kItemBand), g);
    p.fillRect(QRect(0, kItemBand, kW, kH - kItemBand), QColor(0xF1, 0xF1, 0xF1));
    p.fillRect(QRect(0, kItemBand, kW, 1), QColor(0xE3, 0xE8, 0xE6));
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0xD6, 0xF7, 0xEE));
    p.drawEllipse(QPointF(90, 110), 60, 60);
    p.setBrush(QColor(0x2D, 0xA4, 0x6E));
    p.drawEllipse(QPointF(90, 110), 51, 51);
    p.setPen(QPen(kNearWhite, 13, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    QPainterPath tick;
    tick.moveTo(63, 114);
    tick.lineTo(82, 132);
    tick.lineTo(119, 92);
    p.setBrush(Qt::NoBrush);
    p.drawPath(tick);
    return img;
}

QImage PageBand(int w, int h) {
    QImage img(w, h, QImage::Format_ARGB32);
    QPainter p(&img);
    QLinearGradient g(0, 0, 0, h);
    g.setColorAt(0, QColor(0xF3, 0xF6, 0xF5));
    g.setColorAt(1, QColor(0xFB, 0xFC, 0xFC));
    p.fillRect(img.rect(), g);
    p.fillRect(QRect(0, 0, w, 1), QColor(0xE3, 0xE8, 0xE6));
    return img;
}

}  // namespace

int main(int argc, char** argv) {
    QGuiApplication app(argc, argv);
    if (argc < 3) {
        std::fprintf(stderr, "usage: MakeUiImages <images dir> <qrc file>\n");
        return 2;
    }
    const QString outDir = QString::fromLocal8Bit(argv[1]);
    const QString qrcPath = QString::fromLocal8Bit(argv[2]);
    QDir().mkpath(outDir);
    std::map<int, QImage> images;
    // Ids that name the file of another id.
    std::map<int, int> aliases;

    // Program icon.
    images[245] = AppIcon(64);

    // Popup caption items: normal, hover, pressed (also disabled).
    images[550] = CaptionGlyph(30, kTealDark, Qt::transparent, CloseGlyph);
    images[549] = CaptionGlyph(30, QColor(0xFD, 0xFD, 0xFD), QColor(0xE0, 0x5A, 0x4F), CloseGlyph);
    images[551] = CaptionGlyph(30, QColor(0xFD, 0xFD, 0xFD), QColor(0xB8, 0x43, 0x3A), CloseGlyph);

    // Main caption items: normal, over, click, disable per glyph.
    const QColor glyph(0xFD, 0xFD, 0xFD);
    const QColor hover(255, 255, 255, 60);
    const QColor press(0, 0, 0, 45);
    const QColor faded(255, 255, 255, 110);
    struct Set {
        int base;
        void (*draw)(QPainter&, double);
    };
    for (const Set& s : {Set{560, CloseGlyph}, Set{564, MaxGlyph}, Set{568, RestoreGlyph}, Set{572, MinGlyph},
                         Set{576, MenuGlyph}, Set{584, ImportGlyph}}) {
        images[s.base] = CaptionGlyph(30, glyph, Qt::transparent, s.draw);
        images[s.base + 1] = CaptionGlyph(30, glyph, s.draw == CloseGlyph ? QColor(0xE0, 0x5A, 0x4F) : hover, s.draw);
        images[s.base + 2] = CaptionGlyph(30, glyph, s.draw == CloseGlyph ? QColor(0xB8, 0x43, 0x3A) : press, s.draw);
        images[s.base + 3] = CaptionGlyph(30, faded, Qt::transparent, s.draw);
    }

    // Tick boxes.
    images[193] = CheckBox(false);
    images[195] = CheckBox(true);

    // Push buttons. Accent: mint with a teal edge; plain: near-white with a grey edge.
    const QColor accentFill(0xD6, 0xF7, 0xEE), accentEdge(0x3F, 0xB8, 0x93);
    const QColor plainFill(0xFD, 0xFD, 0xFD), plainEdge(0xC4, 0xCB, 0xC9);
    const QColor offFill(0xEE, 0xEF, 0xEF), offEdge(0xDA, 0xDD, 0xDC);
    for (int base : {530, 199}) {  // disabled, hover, normal, pressed (530..533 / 199..201 + 202)
        const int w = base == 530 ? 110 : 80, h = base == 530 ? 40 : 28;
        if (base == 530) images[530] = RoundButton(w, h, offFill, offEdge);
        images[base == 530 ? 531 : 199] = RoundButton(w, h, QColor(0xC4, 0xF2, 0xE4), accentEdge);
        images[base == 530 ? 532 : 200] = RoundButton(w, h, accentFill, accentEdge);
        images[base == 530 ? 533 : 201] = RoundButton(w, h, QColor(0xA8, 0xE6, 0xD3), QColor(0x2D, 0x9A, 0x78));
    }
    {  // disabled, hover, normal, pressed
        const int w = 80, h = 28;
        images[202] = RoundButton(w, h, offFill, offEdge);
        images[203] = RoundButton(w, h, QColor(0xF1, 0xF6, 0xF4), QColor(0xA9, 0xB6, 0xB2));
        images[204] = RoundButton(w, h, plainFill, plainEdge);
        images[205] = RoundButton(w, h, QColor(0xE2, 0xE9, 0xE7), QColor(0x95, 0xA3, 0x9F));
    }

    // The preview's bitmap buttons: Recovery (348 disabled, 349 hover, 350 normal, 351 pressed),
    // wide enough for its longest translation, and the disabled look of Close (its others are
    // 199 to 201).
    {
        constexpr int kRecoveryWidth = 130, kHeight = 28;
        images[348] = RoundButton(kRecoveryWidth, kHeight, offFill, offEdge);
        images[349] = RoundButton(kRecoveryWidth, kHeight, QColor(0xC4, 0xF2, 0xE4), accentEdge);
        images[350] = RoundButton(kRecoveryWidth, kHeight, accentFill, accentEdge);
        images[351] = RoundButton(kRecoveryWidth, kHeight, QColor(0xA8, 0xE6, 0xD3), QColor(0x2D, 0x9A, 0x78));
        images[198] = RoundButton(80, kHeight, offFill, offEdge);
    }

    // The same Recovery button in German, whose word is the longest of the preview's captions
    // (383 disabled, 384 hover, 385 normal, 386 pressed).
    {
        constexpr int kGermanRecoveryWidth = 156, kHeight = 28;
        images[383] = RoundButton(kGermanRecoveryWidth, kHeight, offFill, offEdge);
        images[384] = RoundButton(kGermanRecoveryWidth, kHeight, QColor(0xC4, 0xF2, 0xE4), accentEdge);
        images[385] = RoundButton(kGermanRecoveryWidth, kHeight, accentFill, accentEdge);
        images[386] = RoundButton(kGermanRecoveryWidth, kHeight, QColor(0xA8, 0xE6, 0xD3), QColor(0x2D, 0x9A, 0x78));
    }

    // The skin strip of the owner-drawn button: the close item of the preview's warning strip in
    // frames of 28 x 28 for the states out (just left), hover, normal and disabled.
    {
        constexpr int kFrame = 28;
        const QColor ink(0x6B, 0x55, 0x2E);
        const QImage cells[4] = {CaptionGlyph(kFrame, ink, Qt::transparent, CloseGlyph),
                                 CaptionGlyph(kFrame, kNearWhite, QColor(0xE0, 0x5A, 0x4F), CloseGlyph),
                                 CaptionGlyph(kFrame, ink, Qt::transparent, CloseGlyph),
                                 CaptionGlyph(kFrame, QColor(0x6B, 0x55, 0x2E, 90), Qt::transparent, CloseGlyph)};
        QImage strip = Canvas(4 * kFrame, kFrame);
        QPainter p(&strip);
        for (int i = 0; i < 4; ++i) p.drawImage(i * kFrame, 0, cells[i]);
        p.end();
        images[492] = strip;
    }

    // Message-box icon and the page pictures.
    images[361] = MessageIcon();
    images[269] = WarningMark(16);
    images[293] = WarningMark(65);
    // The preview's warning strip: its picture is 24 pixels square.
    images[493] = WarningMark(24);
    // The thank-you picture, one id per interface language (494 + the language's number); the
    // picture holds no words, so every language's id names the one file.
    images[494] = ThankYouPicture();
    for (int language = 1; language <= 6; ++language) aliases[494 + language] = 494;
    images[525] = PageBand(900, 570);
    images[541] = PageBand(900, 50);

    // The program shell's own images.
    shell_images::Add(images);
    place_images::Add(images);

    QFile qrc(qrcPath);
    if (!qrc.open(QIODevice::WriteOnly | QIODevice::Truncate)) return 1;
    QTextStream out(&qrc);
    const QString rel = QFileInfo(qrcPath).absoluteDir().relativeFilePath(QDir(outDir).absolutePath());
    out << "<!DOCTYPE RCC>\n<RCC version=\"1.0\">\n<qresource prefix=\"/images\">\n";
    for (const auto& [id, img] : images) {
        const QString name = QString::number(id) + QStringLiteral(".png");
        if (!img.save(outDir + QLatin1Char('/') + name, "PNG")) return 1;
        out << "  <file alias=\"" << name << "\">" << rel << '/' << name << "</file>\n";
        for (const auto& [alias, base] : aliases) {
            if (base == id) out << "  <file alias=\"" << alias << ".png\">" << rel << '/' << name << "</file>\n";
        }
    }
    out << "</qresource>\n</RCC>\n";
    return 0;
}
