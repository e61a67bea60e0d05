#pragma once
// Painting in the Windows manner over QPainter: COLORREF colours, fonts made like CreateFont,
// DrawText with its flags, colour-key transparent images and gradient fills.
#include <QFont>
#include <QImage>
#include <QPainter>
#include <functional>
#include <string>

#include "platform/ui/WinDefs.h"

namespace ui {

QColor ColorFromRef(COLORREF c);
COLORREF RefFromColor(const QColor& c);
QRect ToQRect(const RECT& r);
RECT FromQRect(const QRect& r);
RECT MakeRect(int left, int top, int right, int bottom);
QString FromUtf8(const std::string& s);

// The interface's font face for a language number: "Meiryo UI" for Japanese (1), else "Arial".
const char* InterfaceFontFace(int languageNumber);

// A font as CreateFont makes it: a positive height is the cell height (ascent plus descent),
// a negative one the character height; weights are 100..900.
QFont MakeFont(const std::string& face, int height, int weight, bool underline);

// Measures like DrawText with DT_CALCRECT on a screen context: the rectangle's right and bottom
// are set to fit the text; returns the text height.
int MeasureText(const QFont& font, const std::string& text, RECT& rect, u32 flags);

// The least width a single line of the text needs to be drawn whole, also with an ellipsis
// flag (eliding may want a pixel more than the line's advance).
int WholeLineWidth(const QFont& font, const std::string& text);

// A text DrawText drew, with the room it needed laid out whole: cut when it is wider than its
// rectangle on a line (a word breaking nowhere, a single line cut or shortened with an
// ellipsis) or has more lines than the rectangle's height holds.
struct DrawnText {
    std::string text;
    RECT rect;
    int neededWidth = 0;
    int neededHeight = 0;
    std::string fontFamily;
    bool cut = false;
};
using DrawnTextObserver = std::function<void(const DrawnText&)>;
// Every clipped DrawText of a text is reported while an observer is set (empty: none); returns
// the one set before. Interface thread only: the window tests check each language's texts so.
DrawnTextObserver SetDrawnTextObserver(DrawnTextObserver observer);

// The image scaled to the size with every pixel of the key colour made transparent.
QImage ColorKeyed(const QImage& image, const QSize& size, COLORREF key);

class Dc {
public:
    explicit Dc(QPainter* painter);
    QPainter* Painter() const { return painter_; }

    void FillRect(const RECT& r, COLORREF color);
    void FrameRect(const RECT& r, COLORREF color);
    void Line(int x0, int y0, int x1, int y1, COLORREF color);
    // Two-colour gradient from the top (left) edge to the bottom (right) edge.
    void GradientFill(const RECT& r, bool vertical, COLORREF from, COLORREF to);

    void SetFont(const QFont& font);
    const QFont& Font() const { return font_; }
    COLORREF SetTextColor(COLORREF color);
    COLORREF TextColor() const { return textColor_; }

    // Draws the text (UTF-8) in the rectangle; with DT_CALCRECT only measures and updates the
    // rectangle. Returns the height of the text.
    int DrawText(const std::string& text, RECT& rect, u32 flags);
    int DrawText(const std::string& text, const RECT& rect, u32 flags) {
        RECT r = rect;
        return DrawText(text, r, flags);
    }

    // The whole image stretched into the rectangle; a nonzero key colour is drawn transparent.
    void DrawImage(const QImage& image, const RECT& dst, COLORREF transparentKey = 0);
    // Copies a part of an image unscaled (BitBlt with SRCCOPY).
    void BlitImage(const QImage& image, int dstX, int dstY, int width, int height, int srcX, int srcY);

    void ExcludeClip(const RECT& r);

private:
    QPainter* painter_;
    QFont font_;
    COLORREF textColor_ = 0;
};

}  // namespace ui
