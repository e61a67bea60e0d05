#include "browser/views/ListCtrl.h"

#include <QApplication>
#include <QContextMenuEvent>
#include <QDateTime>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLocale>
#include <QMenu>
#include <QPainter>
#include <QStyledItemDelegate>
#include <cstdio>

#include "browser/model/BindingNode.h"
#include "browser/model/BrowserConfig.h"
#include "browser/model/BrowserSkin.h"
#include "browser/model/FileSelCtrl.h"
#include "browser/views/HeaderCtrl.h"
#include "browser/views/Icons.h"
#include "browser/views/ScrollBar.h"
#include "browser/model/NodeManager.h"
#include "browser/model/UsageEvents.h"
#include "engine/FileNode.h"
#include "engine/FileProperties.h"

namespace FileSelCtrl {

namespace {
constexpr u32 kCompressedText = 0xFF0000;
constexpr u32 kEncryptedText = 0x00A000;
constexpr u32 kEmptyListText = 0x696969;
constexpr int kHeaderFormatLeft = 0;
constexpr int kMinNameWidth = 120;
constexpr int kSelectFirstMs = 100;

u16 AttributesOf(const FileList_Item& row) {
    const IFileProperties* p = row.fileNode ? row.fileNode->GetFileProperties() : nullptr;
    return p ? p->GetAttributes() : 0;
}
// Draws a cell as usual, then tells the view whether the cell's text had to be cut: the view
// keeps the whole text of each cut cell for its tip.
// Also draws the selected row in the skin's colour with the row's own text colour,
// and the deleted-file mark over a deleted file's picture.
class CellTipDelegate : public QStyledItemDelegate {
public:
    explicit CellTipDelegate(CFileListCtrl* view) : QStyledItemDelegate(view), m_view(view) {}
    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override {
        QStyleOptionViewItem cell(option);
        initStyleOption(&cell, index);
        // Rows are chosen whole: the focus frame of one cell is not drawn.
        if (cell.state & QStyle::State_Selected) cell.backgroundBrush = FromColour(Skin().listSelected);
        cell.state &= ~(QStyle::State_Selected | QStyle::State_HasFocus);
        const QWidget* widget = option.widget;
        QStyle* style = widget ? widget->style() : QApplication::style();
        style->drawControl(QStyle::CE_ItemViewItem, &cell, painter, widget);
        if (index.column() == kColumnName && index.data(kRoleDeleted).toBool()) {
            const QImage& lost = SkinImage(kLostFileImage);
            const QRect picture = style->subElementRect(QStyle::SE_ItemViewItemDecoration, &cell, widget);
            if (!lost.isNull()) {
                painter->drawPixmap(picture.left(), picture.top() + kLostMarkDrop,
                                    StripImage(lost, 0, lost.height(), Skin().checkStateMask, true));
            }
        }
        const QString text = index.data(Qt::DisplayRole).toString();
        // Room left for the text beside the check box and the icon in the name column.
        const int reserved = index.column() == kColumnName ? 2 * m_view->iconSize().width() + kNameTextInset : kTextInset;
        if (!text.isEmpty() && QFontMetrics(option.font).horizontalAdvance(text) > option.rect.width() - reserved)
            m_view->AddCellTip(index.row(), index.column(), option.rect, text);
        else
            m_view->RemoveCellTip(CFileListCtrl::CellKey(index.row(), index.column()));
    }

private:
    static constexpr int kLostMarkDrop = 3;
    static constexpr int kNameTextInset = 12;
    static constexpr int kTextInset = 8;
    CFileListCtrl* m_view;
};

}  // namespace

std::string FormatSizeText(u64 bytes) {
    constexpr double kKiB = 1024.0;
    constexpr u64 kMiB = 1024ull * 1024;
    constexpr u64 kGiB = kMiB * 1024;
    char text[32];
    if (bytes > kGiB)
        std::snprintf(text, sizeof(text), "%.2f GB", static_cast<double>(bytes) / static_cast<double>(kGiB));
    else if (bytes > kMiB)
        std::snprintf(text, sizeof(text), "%.2f MB", static_cast<double>(bytes) / static_cast<double>(kMiB));
    else
        std::snprintf(text, sizeof(text), "%.2f KB", static_cast<double>(bytes) / kKiB);
    return text;
}

std::string FormatDateText(const FileList_Item& row) {
    if (!row.icon) return {};
    if (row.dateStatus != DateStatus::Valid) return Skin().textUnknown;
    // The value already is a wall-clock time: read it without moving it between time zones.
    const QDateTime when = QDateTime::fromSecsSinceEpoch(row.date, Qt::UTC);
    if (!when.isValid()) return "Invalid DateTime";
    const QLocale& locale = InterfaceLocale();
    QString dateFormat = locale.dateFormat(QLocale::ShortFormat);
    // Short formats often carry a two-digit year; a recovered file may be decades old.
    if (!dateFormat.contains(QLatin1String("yyyy"))) dateFormat.replace(QLatin1String("yy"), QLatin1String("yyyy"));
    // The short time with its seconds, as the language writes a file's time.
    QString timeFormat = locale.timeFormat(QLocale::ShortFormat);
    if (!timeFormat.contains(QLatin1String("ss"))) timeFormat.replace(QLatin1String("mm"), QLatin1String("mm:ss"));
    return (locale.toString(when.date(), dateFormat) + QLatin1Char(' ') + locale.toString(when.time(), timeFormat))
        .toStdString();
}

// ---- CFileListQtModel

CFileListQtModel::CFileListQtModel(QObject* parent) : QAbstractTableModel(parent) {
    CFileListData::GetCurrent().AttachView(this);
    m_count = CFileListData::GetCurrent().ShownCount();
}

CFileListQtModel::~CFileListQtModel() {
    for (CFileListData* m : {&CFileListData::FolderModel(), &CFileListData::SearchModel()}) {
        if (m->View() == this) m->AttachView(nullptr);
    }
}

int CFileListQtModel::rowCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : m_count; }

int CFileListQtModel::columnCount(const QModelIndex& parent) const {
    if (parent.isValid()) return 0;
    int n = 0;
    // Columns are shown up to the first one without width.
    while (n < kColumnCount && Skin().columns[n].width > 0) ++n;
    return n;
}

QVariant CFileListQtModel::data(const QModelIndex& index, int role) const {
    RefHolder<FileList_Item> row(CFileListData::GetCurrent().GetItem(index.row()));
    const int column = index.column();
    if (!row) {
        // A row the loader has not reached yet.
        if (role == Qt::DisplayRole && column == kColumnName && index.row() < m_count) return QString::fromStdString(Skin().rowLoadingTip);
        return {};
    }
    switch (role) {
        case Qt::DisplayRole:
            switch (column) {
                case kColumnName:
                    return QString::fromStdString(row->name);
                case kColumnDate:
                    return QString::fromStdString(FormatDateText(*row));
                case kColumnType:
                    return row->icon ? QString::fromStdString(row->icon->TypeName()) : QString();
                case kColumnSize:
                    return row->IsFolderRow() ? QString() : QString::fromStdString(FormatSizeText(row->size));
                default:
                    return {};
            }
        case Qt::DecorationRole:
            if (column != kColumnName) return {};
            return IconForIndex(row->icon ? row->icon->iconIndex : (row->IsFolderRow() ? kIconFolder : kIconGenericFile));
        case Qt::CheckStateRole:
            if (column != kColumnName) return {};
            return CheckStateOfImage(row->GetCheckState());
        case Qt::ForegroundRole: {
            const u16 attributes = AttributesOf(*row);
            if (attributes & kAttrCompressed) return FromColour(kCompressedText);
            if (attributes & kAttrEfsEncrypted) return FromColour(kEncryptedText);
            return FromColour(Skin().listTextColour);
        }
        case Qt::BackgroundRole:
            return FromColour(index.row() & 1 ? Skin().listBackground2 : Skin().listBackground1);
        case kRoleDeleted: {
            const IFileProperties* p = row->fileNode ? row->fileNode->GetFileProperties() : nullptr;
            return p && !row->IsFolderRow() && (p->GetState() & kStateDeleted) != 0;
        }
        case Qt::TextAlignmentRole:
            return column == kColumnSize ? int(Qt::AlignRight | Qt::AlignVCenter) : int(Qt::AlignLeft | Qt::AlignVCenter);
        default:
            return {};
    }
}

bool CFileListQtModel::setData(const QModelIndex& index, const QVariant& value, int role) {
    if (role != Qt::CheckStateRole || index.column() != kColumnName || !m_ready) return false;
    CFileListData::GetCurrent().SetItemCheck(index.row(), value.toInt() == Qt::Checked);
    return true;
}

Qt::ItemFlags CFileListQtModel::flags(const QModelIndex& index) const {
    if (!index.isValid()) return Qt::NoItemFlags;
    Qt::ItemFlags f = Qt::ItemIsEnabled | Qt::ItemIsSelectable;
    if (index.column() == kColumnName && m_ready) f |= Qt::ItemIsUserCheckable;
    return f;
}

QVariant CFileListQtModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || section < 0 || section >= kColumnCount) return {};
    if (role == Qt::DisplayRole) return QString::fromStdString(Skin().columns[section].name);
    if (role == Qt::TextAlignmentRole) return int(Qt::AlignLeft | Qt::AlignVCenter) + kHeaderFormatLeft;
    return {};
}

void CFileListQtModel::sort(int column, Qt::SortOrder order) {
    if (column < 0) return;
    // The rows change places under the views' marks, which stay where they are: the list is
    // chosen from by place. The row now at the chosen place goes to the preview pane.
    emit layoutAboutToBeChanged();
    CFileListData::GetCurrent().Sort(order == Qt::AscendingOrder, static_cast<u32>(column));
    emit layoutChanged();
    ShowMoreRows(CFileListData::GetCurrent().ShownCount());
    emit sorted();
}

void CFileListQtModel::OnRowsReset() {
    beginResetModel();
    m_count = 0;
    endResetModel();
    ShowMoreRows(CFileListData::GetCurrent().ShownCount());
}

void CFileListQtModel::ResetItems() {
    beginResetModel();
    m_count = 0;
    endResetModel();
}

void CFileListQtModel::SetReady(bool ready) {
    m_ready = ready;
    emit readyChanged(ready);
}

void CFileListQtModel::ShowMoreRows(int shown) {
    if (shown <= m_count) return;
    const int to = std::min(shown, m_count + kMaxRowsShownPerNotice);
    beginInsertRows(QModelIndex(), m_count, to - 1);
    m_count = to;
    endInsertRows();
    if (to < shown) PostListMessage(WM_FILELIST_UPDATEHEADER, static_cast<WPARAM>(to), static_cast<LPARAM>(shown));
}

void CFileListQtModel::OnRowsAppended(int first, int last) {
    if (first != m_count) {
        OnRowsReset();
        return;
    }
    ShowMoreRows(last + 1);
}

void CFileListQtModel::OnRowsChanged(int first, int last) {
    if (m_count == 0 || first > last) return;
    emit dataChanged(index(std::max(first, 0), 0), index(std::min(last, m_count - 1), columnCount() - 1));
}

void CFileListQtModel::PostListMessage(u32 message, WPARAM wParam, LPARAM lParam) {
    // Dropped by Qt when this model is gone before the UI thread gets to it.
    QMetaObject::invokeMethod(this, [this, message, wParam, lParam] { OnListMessage(message, wParam, lParam); }, Qt::QueuedConnection);
}

void CFileListQtModel::OnListMessage(u32 message, WPARAM wParam, LPARAM lParam) {
    CFileListData& list = CFileListData::GetCurrent();
    if (list.View() != this) return;  // meant for the model this view has left
    switch (message) {
        case WM_FILELIST_UPDATEHEADER: {
            // Notices may be overtaken by later changes: the view follows the model's count now.
            const int shown = list.ShownCount();
            if (shown < m_count) {
                OnRowsReset();
            } else {
                ShowMoreRows(shown);
            }
            OnRowsChanged(static_cast<int>(wParam), m_count - 1);
            // The check state reads every row: once the load is over, not per batch.
            if (!list.IsLoading()) OnHeaderCheck(list.GetCheckState());
            break;
        }
        case WM_FILELIST_PREVIEWITEM:
            OnRowsChanged(static_cast<int>(wParam), static_cast<int>(wParam));
            break;
        case WM_FILELIST_PREVIEWREADY:
            emit rowPictureReady(static_cast<quintptr>(lParam));
            break;
        case WM_FILELIST_SELECTITEM:
            emit selectRowAsked(static_cast<int>(wParam));
            break;
        case WM_FILELIST_CHECKEMPTY:
            emit checkEmpty(list.GetCount() > 0);
            break;
        default:
            break;
    }
}

void CFileListQtModel::OnHeaderCheck(u32 state) {
    if (state == m_headerCheck) return;
    m_headerCheck = state;
    emit headerCheckChanged(state);
}

// ---- CFileListCtrl

CFileListCtrl::CFileListCtrl(QWidget* parent) : QTableView(parent) {
    m_model = new CFileListQtModel(this);
    setModel(m_model);
    setStyle(SkinCheckStyle());
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setShowGrid(false);
    setWordWrap(false);
    setFrameShape(QFrame::NoFrame);
    auto* header = new CHeaderCtrlEx(this);
    setHorizontalHeader(header);
    connect(header, &CHeaderCtrlEx::sortRequest, this,
            [this](int column, bool ascending) { m_model->sort(column, ascending ? Qt::AscendingOrder : Qt::DescendingOrder); });
    connect(header, &CHeaderCtrlEx::checkAll, this, [](bool checked) {
        QApplication::setOverrideCursor(Qt::WaitCursor);
        CFileListData::GetCurrent().CheckAll(checked);
        QApplication::restoreOverrideCursor();
    });
    connect(m_model, &CFileListQtModel::headerCheckChanged, header, &CHeaderCtrlEx::SetCheckImage);
    // The header's box takes clicks only while the list is ready.
    header->SetCheckAllowed(m_model->IsReady());
    connect(m_model, &CFileListQtModel::readyChanged, header, &CHeaderCtrlEx::SetCheckAllowed);
    InstallSkinnedScrollBars(this);
    verticalHeader()->hide();
    verticalHeader()->setDefaultSectionSize(kRowHeight);
    verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    setTextElideMode(Qt::ElideRight);
    setIconSize(QSize(16, 16));
    ApplyColumns();
    // A new listing shows its first row in the preview pane once it has settled.
    m_selectFirst.setSingleShot(true);
    m_selectFirst.setInterval(kSelectFirstMs);
    connect(&m_selectFirst, &QTimer::timeout, this, [this] {
        SelectFirstRow();
    });
    connect(m_model, &QAbstractItemModel::modelReset, &m_selectFirst, qOverload<>(&QTimer::start));
    connect(m_model, &CFileListQtModel::readyChanged, &m_selectFirst, [this](bool ready) {
        if (ready) m_selectFirst.start();
    });
    // A folder that finished loading shows its first row; an empty one leaves the pane empty.
    connect(m_model, &CFileListQtModel::checkEmpty, this, [this](bool hasRows) {
        if (hasRows) SelectFirstRow();
    });
    connect(m_model, &CFileListQtModel::selectRowAsked, this, &CFileListCtrl::SelectRow);
    // Each drawing of a cell says whether its text was cut; a new listing starts without tips.
    setItemDelegate(new CellTipDelegate(this));
    connect(m_model, &QAbstractItemModel::modelReset, this, [this] { m_cellTips.clear(); });
    connect(m_model, &QAbstractItemModel::layoutChanged, this, [this] { m_cellTips.clear(); });
    m_tip.Create(viewport(), TipMode::Hover, QString());
    m_tip.FollowCutCells([this](QPoint at, QString& text, QRect& area) { return CutCellText(at, text, area); });
}

bool CFileListCtrl::CutCellText(QPoint at, QString& text, QRect& area) const {
    const QModelIndex i = indexAt(at);
    if (!i.isValid()) return false;
    const auto tip = m_cellTips.find(CellKey(i.row(), i.column()));
    if (tip == m_cellTips.end() || !tip->second.rect.contains(at)) return false;
    text = tip->second.text;
    area = tip->second.rect;
    return true;
}

void CFileListCtrl::AddCellTip(int item, int subItem, const QRect& rect, const QString& text) {
    m_cellTips[CellKey(item, subItem)] = CellTip{rect, text};
}

void CFileListCtrl::RemoveCellTip(u32 key) { m_cellTips.erase(key); }

void CFileListCtrl::ApplyLanguage() {
    setFont(SkinFont(Skin().listFont));
    horizontalHeader()->setFont(SkinFont(Skin().headerFont));
    m_model->Relabel();
}

void CFileListCtrl::ApplyColumns() {
    ApplyLanguage();
    for (int i = 0; i < m_model->columnCount(); ++i) setColumnWidth(i, Skin().columns[i].width);
    // Every column keeps its own width, the name one wide enough to read; a list narrower than
    // the columns scrolls sideways.
    horizontalHeader()->setMinimumSectionSize(kMinColumnWidth);
}

FileList_Item* CFileListCtrl::SelectedRow() const {
    const QModelIndex current = currentIndex();
    if (!current.isValid() || !selectionModel()->isRowSelected(current.row(), QModelIndex())) return nullptr;
    return CFileListData::GetCurrent().GetItem(current.row());
}

void CFileListCtrl::SelectRow(int index) {
    if (index < 0 || index >= m_model->rowCount()) return;
    selectRow(index);
    scrollTo(m_model->index(index, 0));
}

void CFileListCtrl::OpenSelected() {
    RefHolder<FileList_Item> row(SelectedRow());
    if (!row) return;
    if (!m_model->IsReady() && (row->IsFolderRow() || IsScanFolder(row->fileNode))) return;
    if (m_open) m_open(row.get());
}

void CFileListCtrl::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        if (m_model->IsReady()) OpenSelected();
        return;
    }
    QTableView::keyPressEvent(event);
}

void CFileListCtrl::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton && indexAt(event->pos()).isValid())
        ReportItemClick(CFileVirtualNodeManager::Instance().CurrentTreeKind());
    QTableView::mousePressEvent(event);
}

void CFileListCtrl::mouseDoubleClickEvent(QMouseEvent* event) {
    const QModelIndex i = indexAt(event->pos());
    if (!i.isValid()) return;
    // Two quick clicks on the check box toggle it twice; they open nothing.
    if (event->pos().x() <= kCheckZoneRight) return;
    ReportItemClick(CFileVirtualNodeManager::Instance().CurrentTreeKind());
    SelectRow(i.row());
    OpenSelected();
}

void CFileListCtrl::contextMenuEvent(QContextMenuEvent* event) {
    const QModelIndex i = indexAt(event->pos());
    if (i.isValid()) selectRow(i.row());
    RefHolder<FileList_Item> row(SelectedRow());
    if (!row || row->IsFolderRow() || IsScanFolder(row->fileNode)) return;
    QMenu menu(this);
    QAction* recovery = menu.addAction(QString::fromStdString(FitField(Skin().menuRecovery, 21)));
    QAction* preview = menu.addAction(QString::fromStdString(FitField(Skin().menuPreview, 21)));
    recovery->setData(ID_FILESEL_RECOVERY);
    preview->setData(ID_FILESEL_PREVIEW);
    int command = 0;
    connect(&menu, &QMenu::triggered, &menu, [&command](QAction* a) { command = a->data().toInt(); });
    menu.exec(event->globalPos());
    if (command) OnCommand(command);
}

void CFileListCtrl::OnCommand(int id) {
    RefHolder<FileList_Item> row(SelectedRow());
    if (!row) return;
    if (id == ID_FILESEL_RECOVERY) {
        if (row->IsFolderRow() || IsScanFolder(row->fileNode)) return;
        if (m_recover) m_recover(row->fileNode);
    } else if (id == ID_FILESEL_PREVIEW) {
        if (m_open) m_open(row.get());
    }
}

void CFileListCtrl::paintEvent(QPaintEvent* event) {
    if (IsViewBusy()) {
        // While the page empties or freezes the view no row is drawn: the stripes alone.
        QPainter p(viewport());
        PaintStripes(p, 0, 0);
        return;
    }
    {
        // Each row's band runs the whole width, also right of the last column; the chosen row
        // in the skin's colour.
        QPainter bands(viewport());
        const int rows = m_model->rowCount();
        for (int row = std::max(0, rowAt(0)); row >= 0 && row < rows; ++row) {
            const int top = rowViewportPosition(row);
            if (top >= viewport()->height()) break;
            const bool chosen = selectionModel()->isRowSelected(row, QModelIndex());
            const u32 colour = chosen ? Skin().listSelected : (row & 1 ? Skin().listBackground2 : Skin().listBackground1);
            bands.fillRect(0, top, viewport()->width(), rowHeight(row), FromColour(colour));
        }
    }
    QTableView::paintEvent(event);
    // The stripes go on below the last row, in step with the rows above.
    QPainter p(viewport());
    const int count = m_model->rowCount();
    int top = 0;
    int first = 0;
    if (count > 0) {
        const QRect last = visualRect(m_model->index(count - 1, 0));
        top = last.bottom() + 1;
        first = count;
    }
    PaintStripes(p, top, first);
    if (count != 0) return;
    p.setPen(FromColour(kEmptyListText));
    const std::string& text = m_model->IsReady() ? Skin().emptyDir : Skin().tipOfLoading;
    p.drawText(QRect(0, 0, viewport()->width(), kRowHeight), Qt::AlignCenter, QString::fromStdString(text));
}

void CFileListCtrl::PaintStripes(QPainter& p, int top, int index) {
    for (; top < viewport()->height(); ++index, top += kRowHeight)
        p.fillRect(0, top, viewport()->width(), kRowHeight, FromColour(index & 1 ? Skin().listBackground2 : Skin().listBackground1));
}

void CFileListCtrl::SelectFirstRow() {
    if (selectionModel()->hasSelection()) return;
    // While a folder loads its first rows may not be there yet: the end of the load comes back.
    RefHolder<FileList_Item> first(CFileListData::GetCurrent().GetItem(0));
    if (!first) return;
    SelectRow(0);
    scrollTo(m_model->index(0, 0));
}

int CFileListCtrl::GetFirstVisible() const {
    const int row = rowAt(0);
    return row < 0 ? 0 : row;
}

int CFileListCtrl::GetVisibleEnd() const {
    return GetFirstVisible() + std::max(1, viewport()->height() / std::max(1, verticalHeader()->defaultSectionSize()));
}

}  // namespace FileSelCtrl
