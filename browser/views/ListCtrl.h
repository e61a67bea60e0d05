#pragma once
// The details view: one row per entry of the current list model, with a check box, the icon and
// the columns name, date, type and size; stripes, sorting by every column both ways, Enter and
// double click to open, and the right-click menu with Recovery and Preview.
#include <QAbstractTableModel>
#include <QTableView>
#include <QTimer>
#include <functional>
#include <map>

#include "browser/model/ListModel.h"
#include "browser/views/ToolTip.h"

namespace FileSelCtrl {

constexpr int kReportViewControlId = 3032;
constexpr int ID_FILESEL_RECOVERY = 1023;
constexpr int ID_FILESEL_PREVIEW = 1024;
constexpr int kRowHeight = 32;
// The model's answer whether a row is a deleted file (its state says so).
constexpr int kRoleDeleted = Qt::UserRole + 1;
// The deleted-file mark drawn over the picture of such a row.
constexpr const char* kLostFileImage = "LostFile.bmp";
// A double click this far from the left edge is on the check box, not the row.
constexpr int kCheckZoneRight = 32;
// The views take at most this many new rows per handled notice, the rest on the next one: a
// view lays out each row it is given, and a million at once would hold the UI thread for
// longer than a slice.
constexpr int kMaxRowsShownPerNotice = 131072;

// "0.49 KB", "1024.00 KB", "1.50 MB", "1.00 GB": KB up to one MiB, MB up to one GiB, each bound
// itself still in the smaller unit.
std::string FormatSizeText(u64 bytes);
// The row's date as the interface language writes it: short date with a four-digit year, then
// the short time with seconds; "Unknown" without a valid date, empty without an icon record.
std::string FormatDateText(const FileList_Item& row);

class CFileListQtModel : public QAbstractTableModel, public IFileListView {
    Q_OBJECT
public:
    explicit CFileListQtModel(QObject* parent = nullptr);
    ~CFileListQtModel() override;

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    bool setData(const QModelIndex& index, const QVariant& value, int role) override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
    void sort(int column, Qt::SortOrder order) override;

    void OnRowsReset() override;
    void OnRowsAppended(int first, int last) override;
    void OnRowsChanged(int first, int last) override;
    void OnHeaderCheck(u32 state) override;
    void PostListMessage(u32 message, WPARAM wParam, LPARAM lParam) override;
    bool IsReportKind() const override { return m_reportKind; }
    void ResetItems() override;
    void SetReportKind(bool report) { m_reportKind = report; }
    // The model's posted notices, on the UI thread.
    void OnListMessage(u32 message, WPARAM wParam, LPARAM lParam);
    u32 HeaderCheck() const { return m_headerCheck; }
    void SetReady(bool ready) override;
    bool IsReady() const { return m_ready; }
    // Titles and cells again: dates and type names follow the interface language.
    void Relabel() {
        emit headerDataChanged(Qt::Horizontal, 0, columnCount() - 1);
        if (m_count > 0) emit dataChanged(index(0, 0), index(m_count - 1, columnCount() - 1), {Qt::DisplayRole});
    }

signals:
    // The list's overall check state (1, 2, 3) for the header box and the select-all bar.
    void headerCheckChanged(u32 state);
    // A row's picture is ready; row is compared with the previewed row, never followed.
    void rowPictureReady(quintptr row);
    void selectRowAsked(int index);
    // The list finished loading or may be empty: the preview pane follows.
    void checkEmpty(bool hasRows);
    void readyChanged(bool ready);
    // The rows were sorted; the views' marks stayed in place.
    void sorted();

private:
    // Shows up to kMaxRowsShownPerNotice more of the model's rows; a notice of its own follows
    // for the rest.
    void ShowMoreRows(int shown);

    int m_count = 0;
    u32 m_headerCheck = 1;
    // Set while no scan adds to the list: until then checks and Enter are not taken.
    bool m_ready = false;
    bool m_reportKind = true;
};

class CFileListCtrl : public QTableView {
    Q_OBJECT
public:
    explicit CFileListCtrl(QWidget* parent);
    CFileListQtModel* ListModel() const { return m_model; }
    // The selected row (one reference for the caller), or null.
    FileList_Item* SelectedRow() const;
    void SelectRow(int index);
    // Selects the first row when nothing is selected and the row is there.
    void SelectFirstRow();
    // The first row on screen and one past the last a page holds.
    int GetFirstVisible() const;
    int GetVisibleEnd() const;
    // What opening a row does (the right view's OpenItem).
    void SetOpenHandler(std::function<void(FileList_Item*)> handler) { m_open = std::move(handler); }
    void SetRecoverHandler(std::function<void(CFileNode*)> handler) { m_recover = std::move(handler); }
    // Runs a menu command as if chosen.
    void OnCommand(int id);
    // The skin's fonts, titles and column widths.
    void ApplyColumns();
    // The fonts and titles of the language just chosen; the widths stay as the user left them.
    void ApplyLanguage();

    // The cell tips: every cell whose text the drawing had to shorten keeps its whole text and
    // where it was drawn; hovering over that place shows the text.
    static constexpr int kCellKeySubItemShift = 24;
    static u32 CellKey(int item, int subItem) {
        return static_cast<u32>(item) + (static_cast<u32>(subItem) << kCellKeySubItemShift);
    }
    void AddCellTip(int item, int subItem, const QRect& rect, const QString& text);
    void RemoveCellTip(u32 key);
    size_t CellTipCount() const { return m_cellTips.size(); }
    // The whole text of the cell at a point when its drawing cut it, and where it was drawn.
    bool CutCellText(QPoint at, QString& text, QRect& area) const;

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    void OpenSelected();
    // The row stripes from top down to the viewport's end, the first band that of row index.
    void PaintStripes(QPainter& p, int top, int index);

    struct CellTip {
        QRect rect;
        QString text;
    };

    CFileListQtModel* m_model;
    CFileSelToolTip m_tip;
    std::map<u32, CellTip> m_cellTips;
    QTimer m_selectFirst;
    std::function<void(FileList_Item*)> m_open;
    std::function<void(CFileNode*)> m_recover;
};

}  // namespace FileSelCtrl
