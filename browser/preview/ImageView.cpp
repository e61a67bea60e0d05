#include "browser/preview/ImageView.h"

#include <QImageReader>
#include <QPainter>
#include <QScrollBar>
#include <QWheelEvent>
#include <algorithm>

#include "browser/model/BrowserSkin.h"

namespace FileSelCtrl {

namespace {
constexpr QRgb kFrameTopLeft = 0xFFE8E8E8;
constexpr QRgb kFrameBottomRight = 0xFFFFFFFF;
}  // namespace

QImage LoadPictureBounded(const std::string& path) {
    QImageReader reader(QString::fromStdString(path));
    reader.setAllocationLimit(kMaxDecodeMiB);
    reader.setAutoTransform(false);
    const QSize size = reader.size();
    // A reader that cannot tell the size up front decodes within the allocation limit anyway.
    if (size.isValid()) {
        if (size.isEmpty() || size.width() > kMaxDecodeSide || size.height() > kMaxDecodeSide ||
            static_cast<qint64>(size.width()) * size.height() > kMaxDecodePixels)
            return {};
    }
    QImage image = reader.read();
    if (image.isNull() || image.width() <= 0 || image.height() <= 0) return {};
    return image.convertToFormat(QImage::Format_ARGB32);
}

// ---- CScrollWnd

CScrollWnd::CScrollWnd(QWidget* parent) : QAbstractScrollArea(parent) {
    connect(horizontalScrollBar(), &QScrollBar::valueChanged, this, [this](int v) { OnHorzPosChanged(v); });
    connect(verticalScrollBar(), &QScrollBar::valueChanged, this, [this](int v) { OnVertPosChanged(v); });
}

void CScrollWnd::SetContentSize(int width, int height) {
    m_contentWidth = width;
    m_contentHeight = height;
    UpdateScrollBars();
}

void CScrollWnd::SetSteps(int horizontal, int vertical) {
    m_hStep = std::max(1, horizontal);
    m_vStep = std::max(1, vertical);
    UpdateScrollBars();
}

void CScrollWnd::UpdateScrollBars() {
    // A bar shows unless the window is wider (taller) than a content that has a size; the
    // window's whole area counts, so that showing a bar does not hide it again.
    const QSize area = size();
    const bool hideHorizontal = area.width() > m_contentWidth && m_contentWidth != 0;
    const bool hideVertical = area.height() > m_contentHeight && m_contentHeight != 0;
    setHorizontalScrollBarPolicy(hideHorizontal ? Qt::ScrollBarAlwaysOff : Qt::ScrollBarAlwaysOn);
    setVerticalScrollBarPolicy(hideVertical ? Qt::ScrollBarAlwaysOff : Qt::ScrollBarAlwaysOn);
    const QSize view = viewport()->size();
    horizontalScrollBar()->setRange(0, std::max(0, m_contentWidth - view.width()));
    verticalScrollBar()->setRange(0, std::max(0, m_contentHeight - view.height()));
    horizontalScrollBar()->setPageStep(m_hStep);
    verticalScrollBar()->setPageStep(m_vStep);
    horizontalScrollBar()->setSingleStep(1);
    verticalScrollBar()->setSingleStep(1);
}

void CScrollWnd::resizeEvent(QResizeEvent* event) {
    QAbstractScrollArea::resizeEvent(event);
    UpdateScrollBars();
}

// The wheel moves by its raw delta (120 a notch), never past the last page.
void CScrollWnd::wheelEvent(QWheelEvent* event) {
    QScrollBar* bar = verticalScrollBar();
    if (bar->maximum() > 0) bar->setValue(std::clamp(bar->value() - event->angleDelta().y(), bar->minimum(), bar->maximum()));
    event->accept();
}

// ---- CImageWindow

CImageWindow::CImageWindow(QWidget* parent) : CScrollWnd(parent), m_message(QString::fromStdString(Skin().imageFormatWarning)) {
    setFrameShape(QFrame::NoFrame);
    UpdateScrollBars();
}

bool CImageWindow::LoadImage(const std::string& path) {
    FreePicture();
    m_picture = LoadPictureBounded(path);
    if (m_picture.isNull()) return false;
    SetContentSize(m_picture.width(), m_picture.height());
    SetSteps(viewport()->width(), viewport()->height());
    return true;
}

void CImageWindow::FreePicture() {
    m_picture = QImage();
    m_scrollX = m_scrollY = 0;
    SetContentSize(-1, -1);
}

void CImageWindow::SetFitMode(bool fit) {
    m_fit = fit;
    ApplyScrollPolicy();
    viewport()->update();
}

// A fitted picture (or none) has nothing to scroll; at its own size the bars follow it.
void CImageWindow::ApplyScrollPolicy() {
    if (m_fit || m_picture.isNull()) {
        SetContentSize(-1, -1);
        return;
    }
    SetContentSize(m_picture.width(), m_picture.height());
    SetSteps(viewport()->width(), viewport()->height());
}

void CImageWindow::OnVertPosChanged(int position) {
    m_scrollY = position;
    viewport()->update();
}

void CImageWindow::OnHorzPosChanged(int position) {
    m_scrollX = position;
    viewport()->update();
}

QRect CImageWindow::TargetRect(QSize client) const {
    const int cw = client.width(), ch = client.height();
    const int pw = m_picture.width(), ph = m_picture.height();
    if (m_fit && (pw > cw || ph > ch) && cw > 0 && ch > 0) {
        const float rx = static_cast<float>(pw) / static_cast<float>(cw);
        const float ry = static_cast<float>(ph) / static_cast<float>(ch);
        if (ry < rx) {
            const int d = static_cast<int>(ry * static_cast<float>(ch) / rx);
            return QRect(1, (ch - d) / 2 + 1, cw - 2, d - 2);
        }
        const int d = static_cast<int>(rx * static_cast<float>(cw) / ry);
        return QRect((cw - d) / 2 + 1, 1, d - 2, ch - 2);
    }
    const int w = std::min(pw - (m_fit ? 0 : m_scrollX), cw);
    const int h = std::min(ph - (m_fit ? 0 : m_scrollY), ch);
    return QRect(w < cw ? (cw - w) / 2 : 0, h < ch ? (ch - h) / 2 : 0, w, h);
}

void CImageWindow::paintEvent(QPaintEvent*) {
    QPainter p(viewport());
    const QRect client = viewport()->rect();
    p.fillRect(client, Qt::white);
    if (m_picture.isNull()) {
        p.setPen(Qt::black);
        p.drawText(client, Qt::AlignCenter | Qt::TextSingleLine, m_message);
    } else {
        const QRect target = TargetRect(client.size());
        const bool scaled = m_fit && (m_picture.width() > client.width() || m_picture.height() > client.height());
        if (scaled) {
            p.setRenderHint(QPainter::SmoothPixmapTransform);
            p.drawImage(target, m_picture, m_picture.rect());
        } else {
            const int sx = m_fit ? 0 : m_scrollX, sy = m_fit ? 0 : m_scrollY;
            p.drawImage(target.topLeft(), m_picture, QRect(sx, sy, target.width(), target.height()));
        }
    }
    p.setPen(QColor::fromRgb(kFrameTopLeft));
    p.drawLine(client.topLeft(), client.topRight());
    p.drawLine(client.topLeft(), client.bottomLeft());
    p.setPen(QColor::fromRgb(kFrameBottomRight));
    p.drawLine(client.bottomLeft(), client.bottomRight());
    p.drawLine(client.topRight(), client.bottomRight());
}

void CImageWindow::resizeEvent(QResizeEvent* event) {
    CScrollWnd::resizeEvent(event);
    if (m_picture.isNull()) return;
    if (m_fit) {
        SetContentSize(-1, -1);
    } else {
        ApplyScrollPolicy();
        m_scrollX = horizontalScrollBar()->value();
        m_scrollY = verticalScrollBar()->value();
    }
}

}  // namespace FileSelCtrl
