#pragma once
// The pane beside the file list: the chosen file's picture (made from a copy recovered on a
// worker of its own) or its icon, with name, size, type or dimension, and creation date. A newer
// choice cancels the older worker, which then stores nothing.
#include <QImage>
#include <QPixmap>
#include <QPointer>
#include <QWidget>
#include <atomic>
#include <functional>
#include <memory>
#include <string>

#include "engine/HeldFile.h"
#include "platform/Types.h"

class IStorageDevice;

namespace FileSelCtrl {

class FileList_Item;

constexpr i64 kPanePictureLimit = 52428800;  // 50 MiB: larger files show their icon
constexpr double kPaneFrameWidth = 240.0;
constexpr double kPaneFrameHeight = 220.0;
constexpr int kPaneIconFrame = 120;
constexpr int kPaneReserve = 27;
// The gap below the reserve before the texts under the frame.
constexpr int kPaneTextGap = 30;

class CWndPreview;

// The work order of one worker. It holds a reference to its row until it is cancelled (the row
// goes back then, on the UI thread, so that a worker left inside a read holds none) or goes.
struct Preview_Item {
    Preview_Item() = default;
    Preview_Item(const Preview_Item&) = delete;
    Preview_Item& operator=(const Preview_Item&) = delete;
    ~Preview_Item();
    // UI thread: the user has moved on; the worker stores nothing and stops at its next step.
    void Cancel();
    std::atomic<bool> cancelled{false};
    std::atomic<FileList_Item*> item{nullptr};  // a reference held
    QPointer<CWndPreview> pane;
    IStorageDevice* device = nullptr;
    // The row's file, held: the copy goes on safely when the scan replaces the row's tree.
    HeldFile file;
    std::string name;
    u64 size = 0;
};

// Decodes what the pane shows of a recovered copy of the named file: the embedded picture of a
// large JPEG first.
QImage LoadPanePicture(const std::string& copyPath, const std::string& name, u64 fileSize);

class CWndPreview : public QWidget {
    Q_OBJECT
public:
    explicit CWndPreview(QWidget* parent);
    ~CWndPreview() override;

    void SetItem(FileList_Item* item);
    void ClearItem();
    void SetListLoaded(bool loaded);
    // Tells whether the list beside the pane shows rows: only an empty list is "empty".
    void SetListHasRows(std::function<bool()> hasRows) { m_listHasRows = std::move(hasRows); }
    void Refresh();
    // The shown item's lines again, in the language just chosen (its date and type follow it).
    void ApplyLanguage();

    bool HasPicture() const { return !m_picture.isNull(); }
    QSize PictureSize() const { return m_picture.size(); }
    double Scale() const { return m_scale; }
    QRect FrameRect() const { return m_frame; }
    QRect LabelRect() const { return m_labelRect; }
    QRect ValueRect() const { return m_valueRect; }
    QString ValueText() const { return m_values; }
    QString LabelText() const { return m_labels; }
    // A line of the value block as drawn, cut with an ellipsis only when it does not fit: 0 the
    // name, then the value lines.
    QString ShownLine(int line) const;
    // The one line drawn in place of an item (loading, or an empty folder); empty when none is.
    QString MessageText() const;
    FileList_Item* Item() const { return m_item; }
    // What the pane draws for an item without a picture: its type's icon, or for a folder or a
    // volume its tree node's picture, and the pixmap drawn (a folder's and a volume's unscaled).
    i32 IconIndex() const;
    QPixmap IconPixmap() const;
    // Which side a picture is fitted to first: the width (the default) or the height.
    void SetFitWidthFirst(bool widthFirst);
    // Work orders not done yet, over all panes: waiting, copying, or handed back and not yet shown.
    static int LiveWorkers();

signals:
    void openRequested(FileList_Item* item);

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    bool event(QEvent* event) override;

private:
    void LoadItem();
    void StartWorker();
public:
    // UI thread: the worker's picture, kept only for the current work order.
    void OnPictureReady(const std::shared_ptr<Preview_Item>& work, QImage picture);

private:
    void BuildTexts(const QString& middleLabel, const QString& middleValue);
    void Layout();

    FileList_Item* m_item = nullptr;
    std::shared_ptr<Preview_Item> m_work;
    QImage m_picture;
    double m_scale = 1.0;
    bool m_listLoaded = true;
    std::function<bool()> m_listHasRows;
    bool m_showMessage = true;
    bool m_infoReady = false;
    bool m_fitWidthFirst = true;
    QString m_labels, m_nameLine, m_values, m_tip;
    QRect m_frame, m_labelRect, m_valueRect;
    int m_labelWidth = 0, m_valueWidth = 0, m_labelHeight = 0;
};

}  // namespace FileSelCtrl
