#pragma once
// The preview dialog's picture page: the recovered copy decoded once into a private image (the
// file is not held open), drawn fitted into the window or at its own size with scroll bars.
#include <QAbstractScrollArea>
#include <QImage>
#include <string>

#include "platform/Types.h"

namespace FileSelCtrl {

// Pictures larger than this are not decoded: a damaged header must not make the preview take
// gigabytes of memory.
constexpr int kMaxDecodeSide = 16384;
constexpr qint64 kMaxDecodePixels = 64LL * 1024 * 1024;
constexpr int kMaxDecodeMiB = 256;

// Decodes the file at path into 32-bit ARGB, within the bounds above; a null image when the
// file is no picture, is damaged beyond a partial decode, or is too large.
QImage LoadPictureBounded(const std::string& path);

// A scrolled window: content size, steps, and the positions told to the subclass.
class CScrollWnd : public QAbstractScrollArea {
    Q_OBJECT
public:
    explicit CScrollWnd(QWidget* parent = nullptr);
    // -1 x -1: nothing to scroll.
    void SetContentSize(int width, int height);
    void SetSteps(int horizontal, int vertical);
    // Shows or hides each bar by the content's size against the window's, then sets the ranges.
    void UpdateScrollBars();

protected:
    virtual void OnVertPosChanged(int) {}
    virtual void OnHorzPosChanged(int) {}
    void wheelEvent(QWheelEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

    int m_contentWidth = -1;
    int m_contentHeight = -1;
    int m_hStep = 10;
    int m_vStep = 10;
};

class CImageWindow : public CScrollWnd {
    Q_OBJECT
public:
    explicit CImageWindow(QWidget* parent = nullptr);
    bool LoadImage(const std::string& path);
    void SetFitMode(bool fit);
    bool IsFitMode() const { return m_fit; }
    bool HasPicture() const { return !m_picture.isNull(); }
    void FreePicture();
    void SetMessage(const QString& text) { m_message = text; }
    const QImage& Picture() const { return m_picture; }
    // Where paint puts the picture in a client area of that size: the destination rectangle.
    QRect TargetRect(QSize client) const;
    int ScrollX() const { return m_scrollX; }
    int ScrollY() const { return m_scrollY; }

protected:
    void OnVertPosChanged(int position) override;
    void OnHorzPosChanged(int position) override;
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void ApplyScrollPolicy();

    bool m_fit = true;
    QString m_message;
    QImage m_picture;
    int m_scrollX = 0;
    int m_scrollY = 0;
};

}  // namespace FileSelCtrl
