#include "platform/ui/Dc.h"

#include <QFontMetrics>
#include <QLinearGradient>
#include <QStringList>
#include <QTextBoundaryFinder>
#include <algorithm>
#include <cmath>

namespace ui {

namespace {
// The most pixels eliding may want beyond a line's advance before it keeps the line whole.
constexpr int kWholeLineSlack = 8;
}  // namespace

QColor ColorFromRef(COLORREF c) { return QColor(GetRValue(c), GetGValue(c), GetBValue(c)); }

COLORREF RefFromColor(const QColor& c) {
    return RGB(static_cast<u8>(c.red()), static_cast<u8>(c.green()), static_cast<u8>(c.blue()));
}

QRect ToQRect(const RECT& r) { return QRect(r.left, r.top, r.right - r.left, r.bottom - r.top); }

RECT FromQRect(const QRect& r) { return MakeRect(r.left(), r.top(), r.left() + r.width(), r.top() + r.height()); }

RECT MakeRect(int left, int top, int right, int bottom) {
    RECT r;
    r.left = left;
    r.top = top;
    r.right = right;
    r.bottom = bottom;
    return r;
}

QString FromUtf8(const std::string& s) { return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size())); }

const char* InterfaceFontFace(int languageNumber) {
    constexpr int kJapanese = 1;
    return languageNumber == kJapanese ? "Meiryo UI" : "Arial";
}

QFont MakeFont(const std::string& face, int height, int weight, bool underline) {
    QFont f(FromUtf8(face));
    // A cell height holds the ascent and the descent, about 1.15 em for the program's faces.
    int pixels = height > 0 ? static_cast<int>(std::lround(height / 1.15)) : (height < 0 ? -height : 12);
    f.setPixelSize(std::max(1, pixels));
    if (weight <= 0) weight = 400;
    f.setWeight(static_cast<QFont::Weight>(std::clamp(weight, 100, 900)));
    f.setUnderline(underline);
    f.setStyleStrategy(QFont::PreferAntialias);
    return f;
}

namespace {

Qt::Alignment HorizontalAlign(u32 flags) {
    if (flags & DT_CENTER) return Qt::AlignHCenter;
    if (flags & DT_RIGHT) return Qt::AlignRight;
    return Qt::AlignLeft;
}

// The line without the spaces it ends with: they take no room at a line's end.
QString TrimmedEnd(const QString& line) {
    qsizetype end = line.size();
    while (end > 0 && line[end - 1] == QLatin1Char(' ')) --end;
    return line.left(end);
}

// The lines the text occupies, after word breaking and eliding, as DrawText lays them out.
QStringList LayoutLines(const QFontMetrics& fm, const QString& text, int width, u32 flags) {
    QStringList out;
    if (flags & DT_SINGLELINE) {
        QString line = text;
        line.replace(QLatin1Char('\r'), QString()).replace(QLatin1Char('\n'), QLatin1Char(' '));
        if (flags & DT_END_ELLIPSIS) line = fm.elidedText(line, Qt::ElideRight, std::max(0, width));
        out << line;
        return out;
    }
    QString t = text;
    t.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    const QStringList paragraphs = t.split(QLatin1Char('\n'));
    for (const QString& para : paragraphs) {
        if (!(flags & DT_WORDBREAK)) {
            out << ((flags & DT_END_ELLIPSIS) ? fm.elidedText(para, Qt::ElideRight, std::max(0, width)) : para);
            continue;
        }
        // Break where the text allows a line to end: after the spaces between words, and
        // between the characters of scripts written without spaces (Japanese, Chinese). A piece
        // wider than the line stays whole on its own line.
        // Measured as the drawn width is (rounded up), so a line that was kept fits.
        const QFontMetricsF fmf(fm);
        QString line;
        QTextBoundaryFinder breaks(QTextBoundaryFinder::Line, para);
        qsizetype from = 0;
        while (from < para.size()) {
            qsizetype to = breaks.toNextBoundary();
            if (to <= from) to = para.size();
            const QString piece = para.mid(from, to - from);
            from = to;
            const QString candidate = line + piece;
            if (!line.isEmpty() && std::ceil(fmf.horizontalAdvance(TrimmedEnd(candidate))) > width) {
                out << TrimmedEnd(line);
                line = piece;
            } else {
                line = candidate;
            }
        }
        out << TrimmedEnd(line);
    }
    return out;
}

int LayoutHeight(const QFontMetrics& fm, int lines) { return lines * fm.height(); }

// Rounded up from the fractional advances: a width rounded down is narrower than the text,
// and drawing the text into it would cut it with an ellipsis.
int LayoutWidth(const QFont& font, const QStringList& lines) {
    const QFontMetricsF fm(font);
    int w = 0;
    for (const QString& l : lines) w = std::max(w, static_cast<int>(std::ceil(fm.horizontalAdvance(l))));
    return w;
}

DrawnTextObserver& TextObserver() {
    static DrawnTextObserver observer;
    return observer;
}

// Tells the observer what the text needs laid out without shortening. A single line is held
// only to the width: its line height includes leading the glyphs do not need.
void ReportDrawn(const QFontMetrics& fm, const QFont& font, const std::string& text, const RECT& rect, u32 flags) {
    const DrawnTextObserver& observer = TextObserver();
    if (!observer || text.empty() || (flags & DT_NOCLIP)) return;
    const QStringList whole = LayoutLines(fm, FromUtf8(text), rect.Width(), flags & ~DT_END_ELLIPSIS);
    const int width = LayoutWidth(font, whole);
    const int height = LayoutHeight(fm, static_cast<int>(whole.size()));
    const bool tooTall = !(flags & DT_SINGLELINE) && whole.size() > 1 && height > rect.Height();
    // Eliding may shorten a line whose advance just fits: what is drawn decides.
    const bool elided = (flags & DT_END_ELLIPSIS) && LayoutLines(fm, FromUtf8(text), rect.Width(), flags) != whole;
    observer(DrawnText{text, rect, width, height, font.family().toStdString(), width > rect.Width() || tooTall || elided});
}

}  // namespace

int WholeLineWidth(const QFont& font, const std::string& text) {
    const QFontMetrics fm(font);
    const QString line = FromUtf8(text);
    int width = LayoutWidth(font, QStringList{line});
    // Eliding measures a little differently from the advance; a few pixels settle it.
    for (int extra = 0; extra < kWholeLineSlack && fm.elidedText(line, Qt::ElideRight, width) != line; ++extra) ++width;
    return width;
}

int MeasureText(const QFont& font, const std::string& text, RECT& rect, u32 flags) {
    const QFontMetrics fm(font);
    const QStringList lines = LayoutLines(fm, FromUtf8(text), rect.Width(), flags & ~DT_END_ELLIPSIS);
    const int h = LayoutHeight(fm, static_cast<int>(lines.size()));
    const int w = LayoutWidth(font, lines);
    rect.right = rect.left + w;
    rect.bottom = rect.top + h;
    return h;
}

DrawnTextObserver SetDrawnTextObserver(DrawnTextObserver observer) {
    DrawnTextObserver old = std::move(TextObserver());
    TextObserver() = std::move(observer);
    return old;
}

QImage ColorKeyed(const QImage& image, const QSize& size, COLORREF key) {
    if (image.isNull() || size.isEmpty()) return QImage();
    QImage scaled = (image.size() == size) ? image : image.scaled(size, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    QImage out = scaled.convertToFormat(QImage::Format_ARGB32);
    const QRgb k = qRgb(GetRValue(key), GetGValue(key), GetBValue(key));
    for (int y = 0; y < out.height(); ++y) {
        QRgb* row = reinterpret_cast<QRgb*>(out.scanLine(y));
        for (int x = 0; x < out.width(); ++x)
            if (qAlpha(row[x]) == 255 && (row[x] & 0xFFFFFF) == (k & 0xFFFFFF)) row[x] = 0;
    }
    return out;
}

Dc::Dc(QPainter* painter) : painter_(painter) {
    if (painter_) font_ = painter_->font();
}

void Dc::FillRect(const RECT& r, COLORREF color) {
    if (!painter_ || r.Width() <= 0 || r.Height() <= 0) return;
    painter_->fillRect(ToQRect(r), ColorFromRef(color));
}

void Dc::FrameRect(const RECT& r, COLORREF color) {
    if (!painter_ || r.Width() <= 0 || r.Height() <= 0) return;
    const QColor c = ColorFromRef(color);
    painter_->fillRect(QRect(r.left, r.top, r.Width(), 1), c);
    painter_->fillRect(QRect(r.left, r.bottom - 1, r.Width(), 1), c);
    painter_->fillRect(QRect(r.left, r.top, 1, r.Height()), c);
    painter_->fillRect(QRect(r.right - 1, r.top, 1, r.Height()), c);
}

void Dc::Line(int x0, int y0, int x1, int y1, COLORREF color) {
    if (!painter_) return;
    painter_->save();
    painter_->setRenderHint(QPainter::Antialiasing, false);
    painter_->setPen(QPen(ColorFromRef(color), 1));
    // LineTo leaves out the last point.
    if (y0 == y1 && x1 != x0) x1 += (x1 > x0) ? -1 : 1;
    else if (x0 == x1 && y1 != y0) y1 += (y1 > y0) ? -1 : 1;
    painter_->drawLine(x0, y0, x1, y1);
    painter_->restore();
}

void Dc::GradientFill(const RECT& r, bool vertical, COLORREF from, COLORREF to) {
    if (!painter_ || r.Width() <= 0 || r.Height() <= 0) return;
    QLinearGradient g(QPointF(r.left, r.top), vertical ? QPointF(r.left, r.bottom) : QPointF(r.right, r.top));
    g.setColorAt(0, ColorFromRef(from));
    g.setColorAt(1, ColorFromRef(to));
    painter_->fillRect(ToQRect(r), QBrush(g));
}

void Dc::SetFont(const QFont& font) {
    font_ = font;
    if (painter_) painter_->setFont(font);
}

COLORREF Dc::SetTextColor(COLORREF color) {
    const COLORREF old = textColor_;
    textColor_ = color;
    return old;
}

int Dc::DrawText(const std::string& text, RECT& rect, u32 flags) {
    if (flags & DT_CALCRECT) return MeasureText(font_, text, rect, flags);
    if (!painter_) return 0;
    const QFontMetrics fm(font_);
    ReportDrawn(fm, font_, text, rect, flags);
    const QStringList lines = LayoutLines(fm, FromUtf8(text), rect.Width(), flags);
    const int total = LayoutHeight(fm, static_cast<int>(lines.size()));
    int y = rect.top;
    if (flags & DT_SINGLELINE) {
        if (flags & DT_VCENTER) y = rect.top + (rect.Height() - total) / 2;
        else if (flags & DT_BOTTOM) y = rect.bottom - total;
    }
    painter_->save();
    painter_->setFont(font_);
    painter_->setPen(ColorFromRef(textColor_));
    if (!(flags & DT_NOCLIP)) painter_->setClipRect(ToQRect(rect), Qt::IntersectClip);
    const Qt::Alignment h = HorizontalAlign(flags);
    for (const QString& line : lines) {
        const QRect lineRect(rect.left, y, std::max(rect.Width(), 0), fm.height());
        painter_->drawText(lineRect, static_cast<int>(h | Qt::AlignTop | Qt::TextDontClip), line);
        y += fm.height();
    }
    painter_->restore();
    return total;
}

void Dc::DrawImage(const QImage& image, const RECT& dst, COLORREF transparentKey) {
    if (!painter_ || image.isNull() || dst.Width() <= 0 || dst.Height() <= 0) return;
    const QRect target = ToQRect(dst);
    painter_->save();
    painter_->setRenderHint(QPainter::SmoothPixmapTransform, true);
    if (transparentKey != 0) {
        painter_->drawImage(target.topLeft(), ColorKeyed(image, target.size(), transparentKey));
    } else {
        painter_->drawImage(target, image);
    }
    painter_->restore();
}

void Dc::BlitImage(const QImage& image, int dstX, int dstY, int width, int height, int srcX, int srcY) {
    if (!painter_ || image.isNull() || width <= 0 || height <= 0) return;
    painter_->drawImage(QPoint(dstX, dstY), image, QRect(srcX, srcY, width, height));
}

void Dc::ExcludeClip(const RECT& r) {
    if (!painter_) return;
    QRegion clip = painter_->hasClipping() ? painter_->clipRegion()
                                           : QRegion(QRect(0, 0, painter_->device()->width(), painter_->device()->height()));
    painter_->setClipRegion(clip.subtracted(QRegion(ToQRect(r))));
}

}  // namespace ui
