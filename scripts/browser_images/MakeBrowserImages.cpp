// Draws the file browser's skin images into res/Res/ (shared by every language folder): the
// check-state strip, the command-bar button strips, the arrow and lost-file strips, the category
// icons and the scroll thumbs. Run scripts/browser_images/make.sh after changing a drawing.
// Strips that the browser masks use magenta (0xFF00FF) for the transparent parts.
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <cstdio>
#include <functional>

namespace {

const QColor kMask(0xFF, 0x00, 0xFF);
const QColor kFrame(0x6B, 0x7B, 0x8F);
const QColor kAccent(0x2F, 0x6F, 0xB7);
const QColor kGlyph(0x4A, 0x55, 0x63);

QImage Strip(int w, int h, int count, QColor fill) {
    QImage img(w * count, h, QImage::Format_RGB32);
    img.fill(fill);
    return img;
}

bool Save(const QImage& img, const QString& folder, const char* name) {
    const QString path = folder + "/" + name;
    if (!img.save(path, "BMP")) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
        return false;
    }
    return true;
}

// Images 0 (unused), 1 unchecked, 2 partly checked, 3 checked; 16 x 16 each, 12 x 12 boxes.
QImage CheckStates() {
    QImage img = Strip(16, 16, 4, kMask);
    QPainter p(&img);
    for (int i = 1; i < 4; ++i) {
        const QRect box(i * 16 + 2, 2, 11, 11);
        p.setPen(kFrame);
        p.setBrush(Qt::white);
        p.drawRect(box);
        if (i == 2) p.fillRect(box.adjusted(3, 3, -2, -2), kAccent);
        if (i == 3) {
            p.setRenderHint(QPainter::Antialiasing);
            p.setPen(QPen(kAccent, 2));
            p.drawPolyline(QPolygonF({QPointF(i * 16 + 4.5, 8), QPointF(i * 16 + 7, 10.5), QPointF(i * 16 + 11, 4.5)}));
            p.setRenderHint(QPainter::Antialiasing, false);
        }
    }
    return img;
}

// Four 27 x 20 states: normal, hover, pressed, disabled, each with the same glyph.
QImage Button(const std::function<void(QPainter&, QColor)>& glyph) {
    const int w = 27, h = 20;
    QImage img = Strip(w, h, 4, QColor(0xF1, 0xF7, 0xFF));
    QPainter p(&img);
    const QColor backs[4] = {QColor(0xF1, 0xF7, 0xFF), QColor(0xFF, 0xFF, 0xFF), QColor(0xD6, 0xE4, 0xF5), QColor(0xEE, 0xEE, 0xEE)};
    const QColor borders[4] = {QColor(0xC9, 0xD3, 0xDF), kAccent, kAccent, QColor(0xD0, 0xD0, 0xD0)};
    for (int i = 0; i < 4; ++i) {
        p.save();
        p.translate(i * w, 0);
        p.fillRect(0, 0, w, h, backs[i]);
        p.setPen(borders[i]);
        p.drawRect(0, 0, w - 1, h - 1);
        glyph(p, i == 3 ? QColor(0xB0, 0xB0, 0xB0) : (i == 2 ? kAccent : kGlyph));
        p.restore();
    }
    return img;
}

void IconsGlyph(QPainter& p, QColor c) {
    for (int y : {4, 11})
        for (int x : {7, 15}) p.fillRect(x, y, 5, 5, c);
}
void ListGlyph(QPainter& p, QColor c) {
    for (int y : {5, 9, 13}) {
        p.fillRect(7, y, 2, 2, c);
        p.fillRect(10, y, 10, 2, c);
    }
}
void PaneGlyph(QPainter& p, QColor c) {
    p.setPen(c);
    p.drawRect(6, 4, 14, 11);
    p.fillRect(14, 5, 6, 10, c);
}
void SearchGlyph(QPainter& p, QColor c) {
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(c, 1.6));
    p.setBrush(Qt::NoBrush);
    p.drawEllipse(QPointF(12, 9), 4, 4);
    p.drawLine(QPointF(15, 12), QPointF(19, 16));
}

// The header's sort arrows: 0 none, 1 ascending, 2 descending; 12 x 12 each.
QImage Arrows() {
    QImage img = Strip(12, 12, 3, kMask);
    QPainter p(&img);
    p.setPen(Qt::NoPen);
    p.setBrush(kGlyph);
    p.drawPolygon(QPolygon({QPoint(14, 6), QPoint(22, 6), QPoint(18, 2)}));
    p.drawPolygon(QPolygon({QPoint(26, 2), QPoint(34, 2), QPoint(30, 6)}));
    return img;
}

QImage LostFile() {
    QImage img = Strip(9, 9, 1, kMask);
    QPainter p(&img);
    p.setPen(QColor(0xB0, 0x20, 0x20));
    p.setBrush(QColor(0xE0, 0x40, 0x40));
    p.drawEllipse(0, 0, 8, 8);
    p.setPen(Qt::white);
    p.drawLine(2, 2, 6, 6);
    p.drawLine(6, 2, 2, 6);
    return img;
}

// Category icons in the order of the type tree: all, email, graphics, audio, video, document,
// other.
QImage Categories(int size, QColor background) {
    const QColor colours[7] = {QColor(0x5B, 0x6B, 0x7F), QColor(0xD9, 0x8C, 0x1F), QColor(0x2E, 0x9E, 0x5B), QColor(0x8E, 0x44, 0xAD),
                               QColor(0xC0, 0x39, 0x2B), QColor(0x2F, 0x6F, 0xB7), QColor(0x7F, 0x8C, 0x8D)};
    QImage img = Strip(size, size, 7, background);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    const double m = size / 8.0;
    for (int i = 0; i < 7; ++i) {
        p.setPen(colours[i].darker(130));
        p.setBrush(colours[i]);
        p.drawRoundedRect(QRectF(i * size + m, m, size - 2 * m, size - 2 * m), m, m);
    }
    return img;
}

// The scroll bar's strip: nine square cells of 9 pixels. Vertical bar: 0 down arrow, 1 up
// arrow, 2 thumb, 3 track; horizontal bar: 5 right arrow, 6 left arrow, 7 thumb, 8 track; 4 is
// unused. The thumb cells are drawn stretched along the bar from their middle row and column.
QImage ScrollStrip(QColor thumb, QColor glyph) {
    constexpr int kCell = 9;
    QImage img = Strip(kCell, kCell, 9, QColor(0xF4, 0xF4, 0xF4));
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    p.setBrush(glyph);
    auto cell = [](int i) { return i * kCell; };
    p.drawPolygon(QPolygon({QPoint(cell(0) + 2, 3), QPoint(cell(0) + 7, 3), QPoint(cell(0) + 4, 6)}));  // down
    p.drawPolygon(QPolygon({QPoint(cell(1) + 2, 6), QPoint(cell(1) + 7, 6), QPoint(cell(1) + 4, 3)}));  // up
    p.drawPolygon(QPolygon({QPoint(cell(5) + 3, 2), QPoint(cell(5) + 3, 7), QPoint(cell(5) + 6, 4)}));  // right
    p.drawPolygon(QPolygon({QPoint(cell(6) + 6, 2), QPoint(cell(6) + 6, 7), QPoint(cell(6) + 3, 4)}));  // left
    p.setBrush(thumb);
    p.drawRoundedRect(QRectF(cell(2) + 1, 0.5, 7, 8), 3, 3);
    p.drawRoundedRect(QRectF(cell(7) + 0.5, 1, 8, 7), 3, 3);
    return img;
}

// ---- Preview window: the picture buttons "Best Fit" and "Actual Size", four 24 x 24 states
// side by side (normal, hover, pressed, disabled).
QImage PictureButton(const std::function<void(QPainter&, QColor)>& glyph) {
    const int side = 24;
    QImage img = Strip(side, side, 4, Qt::white);
    QPainter p(&img);
    const QColor backs[4] = {Qt::white, QColor(0xF1, 0xF7, 0xFF), QColor(0xD6, 0xE4, 0xF5), Qt::white};
    for (int i = 0; i < 4; ++i) {
        p.save();
        p.translate(i * side, 0);
        p.fillRect(0, 0, side, side, backs[i]);
        glyph(p, i == 3 ? QColor(0xB8, 0xB8, 0xB8) : (i == 0 ? kGlyph : kAccent));
        p.restore();
    }
    return img;
}
void BestFitGlyph(QPainter& p, QColor c) {
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(c, 1.5));
    p.setBrush(Qt::NoBrush);
    p.drawRect(QRectF(7.5, 7.5, 9, 9));
    const QPointF corners[4] = {{3, 3}, {21, 3}, {21, 21}, {3, 21}};
    for (const QPointF& corner : corners) {
        const QPointF inward((12 - corner.x()) / 3, (12 - corner.y()) / 3);
        p.drawLine(corner, corner + inward);
        p.drawLine(corner + inward, corner + inward - QPointF(inward.x(), 0) * 0.6);
        p.drawLine(corner + inward, corner + inward - QPointF(0, inward.y()) * 0.6);
    }
}
void ActualSizeGlyph(QPainter& p, QColor c) {
    p.setPen(QPen(c, 1.5));
    p.drawRect(QRectF(2.5, 4.5, 19, 15));
    QFont f("DejaVu Sans");
    f.setPixelSize(10);
    f.setBold(true);
    p.setFont(f);
    p.drawText(QRect(2, 4, 20, 16), Qt::AlignCenter, "1:1");
}

}  // namespace

int main(int argc, char** argv) {
    QGuiApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: MakeBrowserImages OUTPUT_FOLDER\n");
        return 2;
    }
    const QString out = QString::fromLocal8Bit(argv[1]);
    bool ok = Save(CheckStates(), out, "CheckState.bmp");
    ok &= Save(Button(IconsGlyph), out, "view_row.bmp");
    ok &= Save(Button(ListGlyph), out, "view_list.bmp");
    ok &= Save(Button(PaneGlyph), out, "view_preview.bmp");
    ok &= Save(Button(SearchGlyph), out, "preview.bmp");
    ok &= Save(Arrows(), out, "Arrange.bmp");
    ok &= Save(LostFile(), out, "LostFile.bmp");
    ok &= Save(Categories(16, kMask), out, "icon_type.bmp");
    ok &= Save(Categories(32, Qt::white), out, "icon_type_32.bmp");
    ok &= Save(ScrollStrip(QColor(0xC4, 0xCC, 0xD6), QColor(0x9B, 0xA4, 0xB0)), out, "slider_normal.bmp");
    ok &= Save(ScrollStrip(QColor(0x9F, 0xAD, 0xBF), QColor(0x6B, 0x7B, 0x8F)), out, "slider_hover.bmp");
    ok &= Save(ScrollStrip(QColor(0x7A, 0x8B, 0xA1), QColor(0x4A, 0x55, 0x63)), out, "slider_press.bmp");
    ok &= Save(PictureButton(BestFitGlyph), out, "bestfit.bmp");
    ok &= Save(PictureButton(ActualSizeGlyph), out, "actualsize.bmp");
    return ok ? 0 : 1;
}
