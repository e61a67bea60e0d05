#include "browser/preview/PreviewPane.h"

#include <QApplication>
#include <QFontMetrics>
#include <QLinearGradient>
#include <QMouseEvent>
#include <QPainter>
#include <QToolTip>
#include <algorithm>
#include <cmath>

#include "browser/model/BindingNode.h"
#include "browser/model/BrowserConfig.h"
#include "browser/model/BrowserSkin.h"
#include "browser/model/ListModel.h"
#include "browser/model/FileSelCtrlSink.h"
#include "browser/model/NodeManager.h"
#include "browser/preview/EmbeddedJpeg.h"
#include "browser/preview/ImageView.h"
#include "browser/preview/PreviewTemp.h"
#include "browser/preview/PreviewWorkers.h"
#include "browser/views/Icons.h"
#include "browser/views/ListCtrl.h"
#include "engine/FileNode.h"
#include "engine/FileProperties.h"
#include "engine/FileRecoverCallback.h"

namespace FileSelCtrl {

namespace {
constexpr i32 kGoOn = 0;
constexpr int kShadowInner = 2;
constexpr int kShadowOuter = 4;
constexpr int kShadowSquare = 60;
constexpr QRgb kShadowGrey = 0xFFB6B6B6;
constexpr int kIconSize = 48;
// Room enough for any line the pane measures.
constexpr qreal kMeasureRoom = 10000;

// The pane's recovery callback: the copy stops as soon as the user has moved on.
class CancellableCallback : public IFileRecoverCallback {
public:
    explicit CancellableCallback(const std::atomic<bool>& cancelled) : m_cancelled(cancelled) {}
    i32 OnBegin(u32, u64) override { return Go(); }
    i32 OnFilesDone(u32) override { return Go(); }
    i32 OnBytesDone(u64) override { return Go(); }
    i32 OnStep(u32) override { return Go(); }
    i32 OnFileName(const char*) override { return Go(); }
    i32 IsCancelled() override { return Go(); }

private:
    i32 Go() const { return m_cancelled.load() ? kRecoverCancel : kGoOn; }
    const std::atomic<bool>& m_cancelled;
};

// One order: its own temporary copy of the held file, decoded and removed; the picture goes to
// the UI thread. The row's tree may be replaced meanwhile: the worker reads only the held file.
bool RunWorker(const std::shared_ptr<Preview_Item>& work) {
    QImage picture;
    const std::string temp = NewPreviewTempName();
    if (!temp.empty()) {
        CancellableCallback callback(work->cancelled);
        if (CopyForPreview(&callback, work->device, work->file->Node(), temp, false) && !work->cancelled.load())
            picture = LoadPanePicture(temp, work->name, work->size);
        RemovePreviewTemp(temp);
    }
    return CPreviewWorkers::Instance().HandBack(*work, [work, picture = std::move(picture)]() mutable {
        if (work->pane && !work->cancelled.load()) work->pane->OnPictureReady(work, std::move(picture));
        CPreviewWorkers::Instance().Delivered();
    });
}

QString Q(const std::string& s) { return QString::fromStdString(s); }
}  // namespace

Preview_Item::~Preview_Item() {
    if (FileList_Item* row = item.exchange(nullptr)) row->Release();
}

void Preview_Item::Cancel() {
    cancelled.store(true);
    if (FileList_Item* row = item.exchange(nullptr)) row->Release();
}

QImage LoadPanePicture(const std::string& copyPath, const std::string& name, u64 fileSize) {
    // Only a large JPEG carries a smaller picture worth showing instead: any other picture may
    // hold the same byte runs in its pixels, and would be replaced by garbage or nothing.
    if (WantsEmbeddedJpeg(name, fileSize)) {
        const std::string jpeg = copyPath + ".jpg";
        ExtractEmbeddedJpeg(copyPath, jpeg);
        // The extractor's own copy never stays behind, whatever happened.
        std::remove(jpeg.c_str());
    }
    return LoadPictureBounded(copyPath);
}

CWndPreview::CWndPreview(QWidget* parent) : QWidget(parent) {
    setMouseTracking(true);
    setFont(SkinFont(Skin().previewFont));
}

CWndPreview::~CWndPreview() { ClearItem(); }

int CWndPreview::LiveWorkers() { return CPreviewWorkers::Instance().Orders(); }

void CWndPreview::SetItem(FileList_Item* item) {
    if (item && item == m_item) return;
    ClearItem();
    if (!item) {
        m_showMessage = true;
        m_infoReady = true;
        update();
        return;
    }
    item->AddRef();
    m_item = item;
    m_infoReady = false;
    if (isVisible()) LoadItem();
}

void CWndPreview::ClearItem() {
    m_picture = QImage();
    if (m_work) m_work->Cancel();
    m_work.reset();
    if (m_item) m_item->Release();
    m_item = nullptr;
    m_showMessage = true;
    update();
}

void CWndPreview::SetListLoaded(bool loaded) {
    m_listLoaded = loaded;
    if (!loaded) {
        ClearItem();
        m_showMessage = true;
    }
    if (m_showMessage) update();
}

void CWndPreview::Refresh() {
    if (!m_item) update();
}

void CWndPreview::LoadItem() {
    if (m_infoReady) return;
    if (!m_item) {
        ClearItem();
        m_showMessage = true;
        m_infoReady = true;
        update();
        return;
    }
    if (m_item->fileNode && m_listLoaded && static_cast<i64>(m_item->size) < kPanePictureLimit) StartWorker();
    const QString type = m_item->icon ? Q(m_item->icon->TypeName()) : QString();
    BuildTexts(Q(Skin().textType), type);
    m_showMessage = false;
    Layout();
    update();
    m_infoReady = true;
}

void CWndPreview::StartWorker() {
    const IFileProperties* p = m_item->fileNode->GetFileProperties();
    const std::string name = p && p->GetName() ? p->GetName() : m_item->name;
    // Only pictures are copied out.
    if (!IsImageName(name)) return;
    IFileSelCtrlSink* sink = CFileVirtualNodeManager::Instance().Sink();
    IStorageDevice* device = nullptr;
    if (sink) sink->GetSourceDevice(&device);
    if (!device) return;
    // Taken here, on the UI thread, while the row's tree is sure to live.
    HeldFile file = CHeldFile::Take(m_item->fileNode);
    if (!file) return;
    auto work = std::make_shared<Preview_Item>();
    m_item->AddRef();
    work->item = m_item;
    work->pane = this;
    work->device = device;
    work->file = std::move(file);
    work->name = name;
    work->size = m_item->size;
    m_work = work;
    // Without a worker the pane shows the type's icon, as for any file it cannot copy.
    if (!CPreviewWorkers::Instance().Submit(std::move(work), &RunWorker)) m_work.reset();
}

void CWndPreview::OnPictureReady(const std::shared_ptr<Preview_Item>& work, QImage picture) {
    if (work != m_work || picture.isNull() || !m_item) return;
    m_picture = std::move(picture);
    m_scale = std::max(m_picture.height() / kPaneFrameHeight, m_picture.width() / kPaneFrameWidth);
    BuildTexts(Q(Skin().textDimension), QStringLiteral("%1 x %2").arg(m_picture.width()).arg(m_picture.height()));
    m_showMessage = false;
    Layout();
    update();
}

void CWndPreview::ApplyLanguage() {
    // The skin of the language names the pane's own face (Meiryo UI for Japanese).
    setFont(SkinFont(Skin().previewFont));
    if (m_item && m_infoReady && !m_showMessage) {
        if (HasPicture())
            BuildTexts(Q(Skin().textDimension), QStringLiteral("%1 x %2").arg(m_picture.width()).arg(m_picture.height()));
        else
            BuildTexts(Q(Skin().textType), m_item->icon ? Q(m_item->icon->TypeName()) : QString());
        Layout();
    }
    update();
}

void CWndPreview::BuildTexts(const QString& middleLabel, const QString& middleValue) {
    const BrowserSkin& s = Skin();
    const bool file = m_item->icon != nullptr && !m_item->IsFolderRow();
    const QString size = file ? Q(FormatSizeText(m_item->size)) : QString();
    QString date = file ? Q(FormatDateText(*m_item)) : QString();
    if (file && date.isEmpty()) date = Q(s.textUnknown);
    // A folder or a volume has no size, type or date of its own: its lines stay, left blank, so
    // that the pane reads the same for every row.
    m_labels = QStringLiteral("%1: \n%2: \n%3: \n%4: ").arg(Q(s.textFilename), Q(s.textSize), middleLabel, Q(s.textCreation));
    m_nameLine = QStringLiteral("   ") + Q(m_item->name);
    m_values = file ? QStringLiteral("   %1\n   %2\n   %3").arg(size, middleValue, date) : QStringLiteral("   \n   \n   ");
    m_tip = file ? QStringLiteral("%1\n%2\n%3\n%4").arg(Q(m_item->name), size, middleValue, date) : Q(m_item->name);
    // Measured to the pixel above: a width rounded down is a fraction too narrow for its own
    // text, and a name that fits would be drawn cut.
    const QFontMetricsF fm(font());
    const QRectF labels = fm.boundingRect(QRectF(0, 0, kMeasureRoom, kMeasureRoom), 0, m_labels);
    const QRectF values = fm.boundingRect(QRectF(0, 0, kMeasureRoom, kMeasureRoom), 0, m_values);
    m_labelWidth = static_cast<int>(std::ceil(labels.width()));
    m_labelHeight = static_cast<int>(std::ceil(labels.height()));
    m_valueWidth = static_cast<int>(std::ceil(std::max(values.width(), fm.horizontalAdvance(m_nameLine))));
}

QString CWndPreview::ShownLine(int line) const {
    const QString text = line == 0 ? m_nameLine : m_values.section('\n', line - 1, line - 1);
    return QFontMetricsF(font()).elidedText(text, Qt::ElideRight, m_valueRect.width());
}

i32 CWndPreview::IconIndex() const {
    if (!m_item) return kIconGenericFile;
    if (m_item->icon && !m_item->IsFolderRow()) return m_item->icon->iconIndex;
    // A folder or a volume is drawn by the picture its tree node has (a volume: the drive's).
    return m_item->folderNode ? m_item->folderNode->GetImage() : kIconFolder;
}

QPixmap CWndPreview::IconPixmap() const {
    const QIcon icon = IconForIndex(IconIndex());
    const bool file = m_item && m_item->icon && !m_item->IsFolderRow();
    if (file) return icon.pixmap(QSize(kIconSize, kIconSize));
    // A folder's or a volume's picture at a size it was drawn in: the largest that fits the
    // large-icon square, so nothing is scaled.
    QSize best;
    for (const QSize& size : icon.availableSizes())
        if (size.width() <= kIconSize && size.height() <= kIconSize && size.width() * size.height() > best.width() * best.height()) best = size;
    if (!best.isValid()) best = icon.actualSize(QSize(kIconSize, kIconSize));
    return icon.pixmap(best);
}

void CWndPreview::SetFitWidthFirst(bool widthFirst) {
    m_fitWidthFirst = widthFirst;
    Layout();
    update();
}

void CWndPreview::Layout() {
    if (m_labels.isEmpty()) return;
    const int cw = width(), ch = height();
    const int L = m_labelHeight, R = kPaneReserve;
    int fw = kPaneIconFrame, fh = kPaneIconFrame;
    const int fitHeight = ch - R - L - 50;
    if (!m_picture.isNull() && m_fitWidthFirst && cw > 22 && ch > 20) {
        const double pw = m_picture.width(), ph = m_picture.height();
        double factor = m_scale / ((cw - 22) / kPaneFrameWidth);
        if (pw / factor > pw) factor = 1.0;
        double dw = pw / factor, dh = ph / factor;
        if (dh > ch - 20) {
            dh = ch - 20;
            dw = pw / (factor * (ph / factor) / (ch - 20));
        }
        fw = std::max(1, static_cast<int>(dw));
        fh = std::max(1, static_cast<int>(dh));
    } else if (!m_picture.isNull() && !m_fitWidthFirst && fitHeight > 0 && cw > 20) {
        const double pw = m_picture.width(), ph = m_picture.height();
        double factor = m_scale / (fitHeight / kPaneFrameHeight);
        if (ph / factor > ph) factor = 1.0;
        double dw = pw / factor, dh = ph / factor;
        if (dw > cw - 20) {
            dh = dh * (cw - 20) / dw;
            dw = cw - 20;
        }
        fw = std::max(1, static_cast<int>(dw));
        fh = std::max(1, static_cast<int>(dh));
    }
    if (fh > ch - R - L - kPaneTextGap) {
        m_labelRect = m_valueRect = QRect();
        const int top = fh <= ch - R - kPaneTextGap ? (ch - R - fh - kPaneTextGap) / 2 : (ch - fh) / 2;
        m_frame = QRect((cw - fw) / 2, top, fw, fh);
        return;
    }
    m_frame = QRect((cw - fw) / 2, (ch - R - L - fh - kPaneTextGap) / 2, fw, fh);
    // The texts stand the reserve and a gap below the frame: frame, gap and texts are centred
    // together, as the frame's top above counts them.
    const int y = m_frame.top() + fh + R + kPaneTextGap;
    if (m_labelWidth + m_valueWidth <= cw) {
        const int left = (cw - m_labelWidth - m_valueWidth) / 2;
        m_labelRect = QRect(left, y, m_labelWidth, L);
        m_valueRect = QRect(left + m_labelWidth, y, m_valueWidth, L);
    } else {
        m_labelRect = QRect(0, y, m_labelWidth, L);
        m_valueRect = QRect(m_labelWidth + 1, y, std::max(0, cw - m_labelWidth - 1), L);
    }
}

QString CWndPreview::MessageText() const {
    if (!m_showMessage && m_item) return {};
    if (!m_listLoaded) return Q(Skin().tipOfLoading);
    // A loaded list with rows, none of them chosen, is not an empty folder: the pane stays blank.
    if (m_listHasRows && m_listHasRows()) return {};
    return Q(Skin().emptyDir);
}

void CWndPreview::paintEvent(QPaintEvent*) {
    QPainter p(this);
    const BrowserSkin& s = Skin();
    p.fillRect(rect(), Qt::white);
    p.setPen(FromColour(s.previewText));
    if (m_showMessage || !m_item) {
        p.drawText(rect(), Qt::AlignCenter | Qt::TextSingleLine, MessageText());
        return;
    }
    if (m_picture.isNull()) {
        p.setPen(FromColour(s.previewIconBorder));
        p.drawRect(m_frame.adjusted(0, 0, -1, -1));
        const QPixmap icon = IconPixmap();
        // Centred in the frame's square at the size the picture has: never stretched.
        const QPoint at(m_frame.left() + (kPaneIconFrame - icon.width()) / 2, m_frame.top() + (kPaneIconFrame - icon.height()) / 2);
        p.drawPixmap(at, icon);
    } else {
        // A soft shadow under and beside the picture.
        const QRect f = m_frame;
        QLinearGradient shade(f.bottomRight() - QPoint(kShadowSquare, kShadowSquare), f.bottomRight());
        shade.setColorAt(0, QColor::fromRgb(kShadowGrey));
        shade.setColorAt(1, Qt::white);
        p.setPen(Qt::NoPen);
        p.setBrush(shade);
        p.drawPolygon(QPolygon({QPoint(f.left() - kShadowInner, f.bottom() - kShadowInner), QPoint(f.right() - kShadowInner, f.bottom() - kShadowInner),
                                QPoint(f.right() + kShadowOuter, f.bottom() + kShadowOuter), QPoint(f.left() + kShadowOuter, f.bottom() + kShadowOuter)}));
        p.drawPolygon(QPolygon({QPoint(f.right() - kShadowInner, f.top() - kShadowInner), QPoint(f.right() - kShadowInner, f.bottom() - kShadowInner),
                                QPoint(f.right() + kShadowOuter, f.bottom() + kShadowOuter), QPoint(f.right() + kShadowOuter, f.top() + kShadowOuter)}));
        p.setRenderHint(QPainter::SmoothPixmapTransform);
        p.drawImage(m_frame, m_picture);
    }
    if (m_labelRect.isEmpty()) return;
    p.setPen(FromColour(s.previewText));
    p.drawText(m_labelRect, Qt::AlignLeft | Qt::AlignTop, m_labels);
    const QFontMetrics fm(font());
    const int lines = m_values.isEmpty() ? 1 : static_cast<int>(m_values.count('\n')) + 2;
    for (int i = 0; i < lines; ++i)
        p.drawText(m_valueRect.left(), m_valueRect.top() + i * fm.lineSpacing(), m_valueRect.width(), fm.height(), Qt::AlignLeft,
                   ShownLine(i));
}

void CWndPreview::resizeEvent(QResizeEvent*) { Layout(); }

void CWndPreview::showEvent(QShowEvent*) { LoadItem(); }

void CWndPreview::mouseDoubleClickEvent(QMouseEvent*) {
    if (m_item) emit openRequested(m_item);
}

// A cut-off text shows whole in a tip over the value block.
bool CWndPreview::event(QEvent* e) {
    if (e->type() == QEvent::ToolTip) {
        auto* help = static_cast<QHelpEvent*>(e);
        if (!m_valueRect.isEmpty() && m_valueWidth > m_valueRect.width() + 1 && m_valueRect.contains(help->pos()))
            QToolTip::showText(help->globalPos(), m_tip, this, m_valueRect);
        else
            QToolTip::hideText();
        return true;
    }
    return QWidget::event(e);
}

}  // namespace FileSelCtrl
