#pragma once
// The icon view: every row of the current list as a 132 by 136 cell with its thumbnail (or its
// icon), a name strip with the check box, and a drop shadow; above it the "Select all" bar. The
// rows come from the details view's model, so both views show the same list.
#include <QListView>
#include <QPixmap>
#include <QWidget>
#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <unordered_map>

#include "browser/model/BindingNode.h"
#include "browser/model/ListModel.h"
#include "browser/views/ToolTip.h"

class IStorageDevice;

namespace FileSelCtrl {

class CThumbnailWorker;

constexpr int kIconViewControlId = 3033;
constexpr int kIconCellWidth = 132;
constexpr int kIconCellHeight = 136;
constexpr int kIconPictureHeight = 106;
// The gap the shadow and the next cell keep.
constexpr int kIconCellGap = 8;

// The "Select all" bar: one check box for every row of the current list.
class CFileIconCommand : public QWidget {
    Q_OBJECT
public:
    explicit CFileIconCommand(QWidget* parent);
    void SetCheckImage(u32 image);
    u32 CheckImage() const { return m_checkImage; }
    void SetActive(bool active) { m_active = active; }
    bool IsActive() const { return m_active; }
    // Checking not allowed: the box shows unchecked, keeps so and takes no clicks.
    void SetEnabledCheck(bool enabled);
    void ApplySkin();
    QRect CheckRect() const;

signals:
    void checkAll(bool checked);

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;

private:
    u32 m_checkImage = kImageUnchecked;
    bool m_active = false;
    bool m_enabled = true;
};

class CFileIconCtrl : public QListView {
    Q_OBJECT
public:
    CFileIconCtrl(QAbstractItemModel* model, QWidget* parent);
    ~CFileIconCtrl() override;

    void SetReady(bool ready) { m_ready = ready; }
    bool IsReady() const { return m_ready; }
    // The cell of a row and its parts, in viewport coordinates.
    QRect CellRect(int row) const;
    static QRect CheckBoxRect(const QRect& cell);
    // The thumbnail of a file, null when none is made yet.
    QPixmap Thumbnail(const CFileNode* node) const;
    CThumbnailWorker& Worker() { return *m_worker; }
    // Where the pictures are read from (the scan's source device), asked of the sink per listing.
    void SetDeviceSource(std::function<IStorageDevice*()> source) { m_deviceSource = std::move(source); }
    // Draws one cell (the delegate's work).
    void PaintCell(QPainter& p, const QRect& itemRect, int row, bool selected);

    // The cell tips: a name the drawing had to shorten keeps its whole text and its strip,
    // by row; hovering over that strip shows the name.
    void AddCellTip(int item, const QRect& rect, const QString& text);
    void RemoveCellTip(int item);
    size_t CellTipCount() const { return m_cellTips.size(); }
    const CFileSelToolTip& Tip() const { return m_tip; }
    // The whole name under a point when its drawing cut it, and where it was drawn.
    bool CutCellText(QPoint at, QString& text, QRect& area) const;

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    void OnReset();
    void TakeThumbnails();

    struct CellTip {
        QRect rect;
        QString text;
    };

    std::unique_ptr<CThumbnailWorker> m_worker;
    CFileSelToolTip m_tip;
    std::map<int, CellTip> m_cellTips;
    std::unordered_map<const CFileNode*, QPixmap> m_thumbnails;
    std::function<IStorageDevice*()> m_deviceSource;
    IStorageDevice* m_device = nullptr;
    bool m_deviceAsked = false;
    bool m_ready = false;
    std::atomic<bool> m_takePosted{false};
};

// The bar and the view, laid out one above the other.
class CFileIconView : public QWidget {
    Q_OBJECT
public:
    CFileIconView(QAbstractItemModel* model, QWidget* parent);
    CFileIconCtrl* List() const { return m_list; }
    CFileIconCommand* Bar() const { return m_bar; }
    // Keeps the bar's box on the list's overall check state.
    void SetHeaderCheck(u32 state) { m_bar->SetCheckImage(state); }
    void ApplySkin() { m_bar->ApplySkin(); }

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    CFileIconCommand* m_bar;
    CFileIconCtrl* m_list;
};

}  // namespace FileSelCtrl
