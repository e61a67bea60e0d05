#include "browser/views/IconCtrl.h"

#include <QApplication>
#include <QLinearGradient>
#include <QMouseEvent>
#include <QPainter>
#include <QScrollBar>
#include <QStyledItemDelegate>

#include "browser/model/BindingNode.h"
#include "browser/model/BrowserConfig.h"
#include "browser/model/BrowserSkin.h"
#include "browser/model/FileSelCtrl.h"
#include "browser/model/NodeManager.h"
#include "browser/model/UsageEvents.h"
#include "browser/views/Icons.h"
#include "browser/views/ListCtrl.h"
#include "browser/views/ScrollBar.h"
#include "browser/views/ThumbnailWorker.h"
#include "engine/FileNode.h"
#include "engine/FileProperties.h"

namespace FileSelCtrl {

namespace {

constexpr int kStripLeft = 20;
constexpr int kStripTop = 107;
constexpr int kStripHeight = 29;
constexpr int kCheckLeft = 4;
constexpr int kIconSize = 48;
constexpr int kFolderIconSize = 32;
constexpr int kLostLeft = 2;
constexpr int kLostTop = 95;
constexpr QRgb kFrameColour = qRgb(194, 194, 194);
constexpr QRgb kShadowColour = qRgb(209, 209, 209);
constexpr QRgb kShadowOuterColour = qRgb(240, 240, 240);
constexpr QRgb kEmptyTextColour = qRgb(105, 105, 105);
constexpr QRgb kCompressedColour = qRgb(0, 0, 255);
constexpr QRgb kEncryptedColour = qRgb(0, 160, 0);
constexpr int kEmptyTextTop = 5;
constexpr int kBarCheckLeft = 20;
constexpr int kBarTextLeft = 37;
constexpr u16 kStateDeletedBit = 0x1;
constexpr int kNameStripMargin = 2;

QPixmap CheckPixmap(u32 image) {
    const BrowserSkin& s = Skin();
    return StripImage(SkinImage(s.checkStateFile), static_cast<int>(image), s.checkStateWidth, s.checkStateMask, true);
}

class CIconDelegate : public QStyledItemDelegate {
public:
    explicit CIconDelegate(CFileIconCtrl* view) : QStyledItemDelegate(view), m_view(view) {}
    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override {
        m_view->PaintCell(*painter, option.rect, index.row(), option.state & (QStyle::State_Selected | QStyle::State_HasFocus));
    }
    QSize sizeHint(const QStyleOptionViewItem&, const QModelIndex&) const override {
        return QSize(kIconCellWidth + kIconCellGap, kIconCellHeight + kIconCellGap);
    }
    // The cell's only box is the one drawn in its name strip, which the view handles itself; the
    // toolkit's own box would sit, undrawn, on the picture and take the clicks meant to choose it.
    bool editorEvent(QEvent*, QAbstractItemModel*, const QStyleOptionViewItem&, const QModelIndex&) override { return false; }

private:
    CFileIconCtrl* m_view;
};

}  // namespace

// ---- CFileIconCommand

CFileIconCommand::CFileIconCommand(QWidget* parent) : QWidget(parent) { ApplySkin(); }

void CFileIconCommand::ApplySkin() {
    setFont(SkinFont(Skin().headerFont));
    setFixedHeight(Skin().iconBarHeight);
    update();
}

QRect CFileIconCommand::CheckRect() const {
    const int side = Skin().checkStateWidth;
    return QRect(kBarCheckLeft, (height() - side) / 2, side, side);
}

void CFileIconCommand::SetCheckImage(u32 image) {
    // While checking is off the box stays unchecked, as the header's does.
    if (!m_enabled || image == m_checkImage) return;
    m_checkImage = image;
    update();
}

void CFileIconCommand::SetEnabledCheck(bool enabled) {
    // Off, the box shows unchecked until checking is on again, and takes no clicks.
    if (!enabled) m_checkImage = kImageUnchecked;
    m_enabled = enabled;
    update();
}

void CFileIconCommand::paintEvent(QPaintEvent*) {
    const BrowserSkin& s = Skin();
    QPainter p(this);
    QLinearGradient fill(0, 0, 0, height());
    fill.setColorAt(0, FromColour(s.iconBackground1));
    fill.setColorAt(1, FromColour(s.iconBackground2));
    p.fillRect(rect(), fill);
    p.setPen(FromColour(s.iconBorder));
    p.drawLine(0, height() - 1, width(), height() - 1);
    const QPixmap box = CheckPixmap(m_checkImage);
    if (!box.isNull()) p.drawPixmap(CheckRect().topLeft(), box);
    p.setPen(FromColour(s.headerTextColour));
    const QRect text(kBarTextLeft, 0, std::max(0, width() - kBarTextLeft), height());
    p.drawText(text, Qt::AlignLeft | Qt::AlignVCenter,
               fontMetrics().elidedText(QString::fromStdString(s.selectAll), Qt::ElideRight, text.width()));
}

void CFileIconCommand::mousePressEvent(QMouseEvent* event) {
    if (m_active && m_enabled && CheckRect().contains(event->position().toPoint())) {
        // A partly checked list unchecks, as an unchecked one checks.
        m_checkImage = m_checkImage == kImageUnchecked ? kImageChecked : kImageUnchecked;
        repaint();
        emit checkAll(m_checkImage == kImageChecked);
    }
    // The bar keeps its clicks: passed on, the container would take them for a splitter drag.
    event->accept();
}

// ---- CFileIconCtrl

CFileIconCtrl::CFileIconCtrl(QAbstractItemModel* model, QWidget* parent) : QListView(parent) {
    setModel(model);
    setItemDelegate(new CIconDelegate(this));
    setViewMode(QListView::ListMode);
    setFlow(QListView::LeftToRight);
    setWrapping(true);
    setResizeMode(QListView::Adjust);
    setUniformItemSizes(true);
    setMovement(QListView::Static);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
    setFrameShape(QFrame::NoFrame);
    setFont(SkinFont(Skin().listFont));
    InstallSkinnedScrollBars(this);
    m_worker = std::make_unique<CThumbnailWorker>([this] {
        // The worker's side: only a posted call crosses to the UI thread.
        if (!m_takePosted.exchange(true)) QMetaObject::invokeMethod(this, [this] { TakeThumbnails(); }, Qt::QueuedConnection);
    });
    // The list models steer the worker: held while rows are cleared or loaded, paused while a
    // scan adds files.
    CFileListData::FolderModel().DataCache().AttachWorker(m_worker.get());
    CFileListData::SearchModel().DataCache().AttachWorker(m_worker.get());
    if (CFileListData::FolderModel().DataCache().IsPaused()) m_worker->Hold();
    connect(model, &QAbstractItemModel::modelReset, this, &CFileIconCtrl::OnReset);
    // Sorted, the cells hold other rows: their cut names are measured anew.
    connect(model, &QAbstractItemModel::layoutChanged, this, [this] { m_cellTips.clear(); });
    if (auto* list = qobject_cast<CFileListQtModel*>(model)) connect(list, &CFileListQtModel::readyChanged, this, &CFileIconCtrl::SetReady);
    m_tip.Create(viewport(), TipMode::Hover, QString());
    m_tip.FollowCutCells([this](QPoint at, QString& text, QRect& area) { return CutCellText(at, text, area); });
    // Pictures of cells scrolled past are not worth waiting for.
    connect(verticalScrollBar(), &QScrollBar::valueChanged, this, [this] { m_worker->ClearQueue(); });
}

CFileIconCtrl::~CFileIconCtrl() {
    CFileListData::FolderModel().DataCache().AttachWorker(nullptr);
    CFileListData::SearchModel().DataCache().AttachWorker(nullptr);
    m_worker.reset();  // joined before the window goes
}

void CFileIconCtrl::OnReset() {
    // The rows may go with their trees: the worker lets go of every node first.
    CFileListDataCache& cache = CFileListData::GetCurrent().DataCache();
    // A hold the list set (a search filling it) outlasts the reset.
    const bool held = cache.IsHeld();
    cache.Hold();
    m_thumbnails.clear();
    // A new listing starts without the old one's tips.
    m_cellTips.clear();
    m_deviceAsked = false;
    m_device = nullptr;
    if (!held) cache.Resume();
}

void CFileIconCtrl::TakeThumbnails() {
    m_takePosted = false;
    auto results = m_worker->TakeResults();
    CFileListData& list = CFileListData::GetCurrent();
    for (auto& r : results) {
        m_thumbnails[r.node] = QPixmap::fromImage(r.image);
        RefHolder<FileList_Item> row(list.FindByFileNode(r.node));
        list.NotifyRowChanged(row.get());
    }
    viewport()->update();
}

QPixmap CFileIconCtrl::Thumbnail(const CFileNode* node) const {
    auto it = m_thumbnails.find(node);
    return it == m_thumbnails.end() ? QPixmap() : it->second;
}

QRect CFileIconCtrl::CellRect(int row) const {
    const QRect item = visualRect(model()->index(row, 0));
    if (!item.isValid()) return {};
    const int x0 = item.left() + (item.width() - kIconCellWidth) / 2;
    return QRect(x0, item.top(), kIconCellWidth, kIconCellHeight);
}

QRect CFileIconCtrl::CheckBoxRect(const QRect& cell) {
    const int side = Skin().checkStateWidth;
    return QRect(cell.left() + kCheckLeft, cell.top() + kStripTop + (kStripHeight - side) / 2, side, side);
}

void CFileIconCtrl::PaintCell(QPainter& p, const QRect& itemRect, int index, bool selected) {
    const BrowserSkin& s = Skin();
    const int x0 = itemRect.left() + (itemRect.width() - kIconCellWidth) / 2;
    const int top = itemRect.top();
    const QRect cell(x0, top, kIconCellWidth, kIconCellHeight);
    p.fillRect(QRect(x0, top, kIconCellWidth, kIconPictureHeight), Qt::white);
    p.fillRect(QRect(x0, top + kStripTop, kIconCellWidth, kStripHeight), selected ? FromColour(s.listSelected) : QColor(Qt::white));
    RefHolder<FileList_Item> row(CFileListData::GetCurrent().GetItem(index));
    if (row) {
        if (!row->IsFolderRow() && row->fileNode) {
            const QPixmap thumb = Thumbnail(row->fileNode);
            if (!thumb.isNull()) {
                p.drawPixmap((kIconCellWidth - thumb.width()) / 2 + x0 + 1, (kIconPictureHeight - thumb.height()) / 2 + top + 1, thumb);
            } else {
                const QPixmap icon = IconForIndex(row->icon ? row->icon->iconIndex : kIconGenericFile).pixmap(kIconSize, kIconSize);
                p.drawPixmap((kIconCellWidth - icon.width()) / 2 + x0, (kIconPictureHeight - icon.height()) / 2 + top, icon);
                if (row->size < kMaxThumbnailSource && IsImageName(row->name)) {
                    if (!m_deviceAsked) {
                        m_device = m_deviceSource ? m_deviceSource() : nullptr;
                        m_deviceAsked = true;
                    }
                    m_worker->Enqueue(row->fileNode, m_device);
                }
            }
            const IFileProperties* props = row->fileNode->GetFileProperties();
            const QImage& lost = SkinImage(kLostFileImage);
            if (props && (props->GetState() & kStateDeletedBit) && !lost.isNull()) {
                p.drawPixmap(x0 + kLostLeft, top + kLostTop, StripImage(lost, 0, lost.height(), s.checkStateMask, true));
            }
            row->drawnIndex = index;
        } else {
            const QPixmap icon = IconForIndex(row->icon ? row->icon->iconIndex : kIconFolder).pixmap(kFolderIconSize, kFolderIconSize);
            p.drawPixmap((kIconCellWidth - kFolderIconSize) / 2 + x0, (kIconPictureHeight - kFolderIconSize) / 2 + top, icon);
        }
    }
    p.setPen(QColor(kFrameColour));
    p.drawRect(cell.adjusted(0, 0, -1, -1));
    p.drawLine(x0, top + kIconPictureHeight, x0 + kIconCellWidth, top + kIconPictureHeight);
    p.setPen(QColor(kShadowColour));
    p.drawLine(x0 + 2, top + kIconCellHeight + 1, x0 + kIconCellWidth - 1, top + kIconCellHeight + 1);
    p.setPen(QColor(kShadowOuterColour));
    p.drawLine(x0 + 3, top + kIconCellHeight + 2, x0 + kIconCellWidth - 2, top + kIconCellHeight + 2);
    if (!row) return;
    const IFileProperties* props = row->fileNode ? row->fileNode->GetFileProperties() : nullptr;
    const u16 attributes = props ? props->GetAttributes() : 0;
    QColor text = FromColour(s.listTextColour);
    if (attributes & kAttrCompressed) {
        text = QColor(kCompressedColour);
    } else if (attributes & kAttrEfsEncrypted) {
        text = QColor(kEncryptedColour);
    }
    p.setPen(text);
    p.setFont(font());
    const QRect strip(x0 + kStripLeft, top + kStripTop, kIconCellWidth - kStripLeft, kStripHeight);
    const QString name = QString::fromStdString(row->name);
    const int room = strip.width() - kNameStripMargin;
    if (p.fontMetrics().horizontalAdvance(name) > room) {
        AddCellTip(index, strip, name);
    } else {
        RemoveCellTip(index);
    }
    p.drawText(strip, Qt::AlignLeft | Qt::AlignVCenter, p.fontMetrics().elidedText(name, Qt::ElideRight, room));
    const QPixmap box = CheckPixmap(row->GetCheckState());
    if (!box.isNull()) p.drawPixmap(CheckBoxRect(cell).topLeft(), box);
}

void CFileIconCtrl::AddCellTip(int item, const QRect& rect, const QString& text) { m_cellTips[item] = CellTip{rect, text}; }

void CFileIconCtrl::RemoveCellTip(int item) { m_cellTips.erase(item); }

bool CFileIconCtrl::CutCellText(QPoint at, QString& text, QRect& area) const {
    const QModelIndex i = indexAt(at);
    if (!i.isValid()) return false;
    const auto tip = m_cellTips.find(i.row());
    if (tip == m_cellTips.end() || !tip->second.rect.contains(at)) return false;
    text = tip->second.text;
    area = tip->second.rect;
    return true;
}

void CFileIconCtrl::keyPressEvent(QKeyEvent* event) {
    // Enter opens nothing while the list is filling, as in the details list; a double click is
    // another event and keeps its own rule.
    if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) && !m_ready) {
        event->accept();
        return;
    }
    QListView::keyPressEvent(event);
}

void CFileIconCtrl::mousePressEvent(QMouseEvent* event) {
    const QPoint at = event->position().toPoint();
    const QModelIndex i = indexAt(at);
    if (i.isValid() && event->button() == Qt::LeftButton) ReportItemClick(CFileVirtualNodeManager::Instance().CurrentTreeKind());
    if (i.isValid() && m_ready) {
        const QRect cell = CellRect(i.row());
        if (cell.contains(at) && CheckBoxRect(cell).contains(at)) {
            RefHolder<FileList_Item> row(CFileListData::GetCurrent().GetItem(i.row()));
            if (row) {
                QApplication::setOverrideCursor(Qt::WaitCursor);
                CFileListData::GetCurrent().SetItemCheck(i.row(), row->GetCheckState() != kImageChecked);
                QApplication::restoreOverrideCursor();
                viewport()->update(cell);
            }
            return;
        }
    }
    QListView::mousePressEvent(event);
}

void CFileIconCtrl::paintEvent(QPaintEvent* event) {
    // While the page empties or freezes the view no cell is drawn.
    if (IsViewBusy()) {
        QPainter(viewport()).fillRect(viewport()->rect(), viewport()->palette().base());
        return;
    }
    QListView::paintEvent(event);
    if (model()->rowCount() != 0) return;
    QPainter p(viewport());
    p.setPen(QColor(kEmptyTextColour));
    const QRect area = viewport()->rect().adjusted(0, kEmptyTextTop, 0, 0);
    const std::string& text = m_ready ? Skin().emptyDir : Skin().tipOfLoading;
    p.drawText(area, Qt::AlignHCenter | Qt::AlignTop, fontMetrics().elidedText(QString::fromStdString(text), Qt::ElideRight, area.width()));
}

// ---- CFileIconView

CFileIconView::CFileIconView(QAbstractItemModel* model, QWidget* parent) : QWidget(parent) {
    m_bar = new CFileIconCommand(this);
    m_list = new CFileIconCtrl(model, this);
    connect(m_bar, &CFileIconCommand::checkAll, this, [](bool checked) {
        QApplication::setOverrideCursor(Qt::WaitCursor);
        CFileListData::GetCurrent().CheckAll(checked);
        QApplication::restoreOverrideCursor();
    });
}

void CFileIconView::resizeEvent(QResizeEvent*) {
    const int bar = Skin().iconBarHeight;
    m_bar->setGeometry(0, 0, width(), bar);
    m_list->setGeometry(0, bar, width(), std::max(0, height() - bar));
}

}  // namespace FileSelCtrl
