#include "app/dialogs/ShellTreeCtrl.h"

#include <QDir>
#include <QFileIconProvider>
#include <QFontMetrics>
#include <QPainter>
#include <QStorageInfo>

#include "devices/VolumeEnumerator.h"
#include "platform/Disks.h"
#include "platform/ui/Dc.h"

namespace {

// Placeholder child that gives an unfilled folder its expand button.
constexpr int kPlaceholderRole = Qt::UserRole + 2;

// The volume's free-of-total text in the interface language, as the place page shows it; empty
// when the volume cannot be measured.
QString FreeSpaceText(const QString& mountPoint) {
    std::string text;
    return GetFreeOfText(mountPoint.toStdString(), nullptr, &text) == 0 ? ui::FromUtf8(text) : QString();
}

bool HasSubfolders(const QString& path) {
    return !QDir(path).entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden, QDir::NoSort).isEmpty();
}

// Volumes of the system's own machinery (proc, sysfs, tmpfs of the run directories, snaps)
// take no recovered files.
bool IsUserVolume(const QStorageInfo& volume) {
    if (!volume.isValid() || !volume.isReady() || volume.isReadOnly()) return false;
    const QByteArray device = volume.device();
    const QString root = volume.rootPath();
    if (!device.startsWith("/dev/") && !volume.fileSystemType().startsWith("fuse")) return false;
    if (device.startsWith("/dev/loop") && root.startsWith("/snap")) return false;
    return !root.startsWith("/boot") && !root.startsWith("/proc") && !root.startsWith("/sys");
}

// The folder icon with the small box and arrow that mark a link, at the bottom left.
QIcon LinkedFolderIcon(const QIcon& folder) {
    constexpr int kSide = 16;
    constexpr int kBox = 8;
    QPixmap pixmap = folder.pixmap(kSide, kSide);
    if (pixmap.isNull()) {
        pixmap = QPixmap(kSide, kSide);
        pixmap.fill(Qt::transparent);
    }
    QPainter p(&pixmap);
    const QRect box(0, kSide - kBox, kBox - 1, kBox - 1);
    p.fillRect(box, Qt::white);
    p.setPen(QColor(0x40, 0x40, 0x40));
    p.drawRect(box);
    p.setPen(QPen(QColor(0x10, 0x50, 0xC0), 1.5));
    const QPointF from(box.left() + 2, box.bottom() - 1.5), to(box.right() - 1.5, box.top() + 2);
    p.drawLine(from, to);
    p.drawLine(to, to + QPointF(-3, 0));
    p.drawLine(to, to + QPointF(0, 3));
    return QIcon(pixmap);
}

}  // namespace

std::vector<DestinationVolume> MountedDestinationVolumes() {
    std::vector<DestinationVolume> out;
    for (const QStorageInfo& volume : QStorageInfo::mountedVolumes()) {
        if (!IsUserVolume(volume)) continue;
        DestinationVolume v;
        v.mountPoint = volume.rootPath();
        v.name = volume.displayName() == volume.rootPath() ? volume.rootPath() : volume.displayName() + " (" + volume.rootPath() + ")";
        v.removable = IsOnRemovableDisk(volume.device().toStdString());
        out.push_back(std::move(v));
    }
    return out;
}

CShellTreeCtrl::CShellTreeCtrl(QWidget* parent) : QTreeView(parent) {
    setModel(&model_);
    setHeaderHidden(true);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setSelectionMode(QAbstractItemView::SingleSelection);
    connect(this, &QTreeView::expanded, this, [this](const QModelIndex& index) { Fill(model_.itemFromIndex(index)); });
    connect(selectionModel(), &QItemSelectionModel::currentChanged, this, [this](const QModelIndex& index) {
        if (callback_ && index.isValid()) callback_(index.data(kPathRole).toString().toStdString());
    });
}

QStandardItem* CShellTreeCtrl::AddPlace(const QString& text, const QString& path, bool link) {
    static const QFileIconProvider icons;
    static const QIcon folder = icons.icon(QFileIconProvider::Folder);
    static const QIcon linkedFolder = LinkedFolderIcon(folder);
    auto* item = new QStandardItem(link ? linkedFolder : folder, text);
    item->setData(path, kPathRole);
    item->setData(link, kLinkRole);
    if (HasSubfolders(path)) {
        auto* placeholder = new QStandardItem();
        placeholder->setData(true, kPlaceholderRole);
        item->appendRow(placeholder);
    }
    return item;
}

void CShellTreeCtrl::Populate() { Populate(MountedDestinationVolumes()); }

void CShellTreeCtrl::Populate(const std::vector<DestinationVolume>& volumes) {
    model_.clear();
    const QString home = QDir::homePath();
    model_.appendRow(AddPlace(QDir(home).dirName() + " (" + home + ")", home));
    for (const DestinationVolume& volume : volumes) model_.appendRow(AddPlace(VolumeRowText(volume), volume.mountPoint));
}

QString CShellTreeCtrl::VolumeRowText(const DestinationVolume& volume) const {
    QString name = volume.removable ? "Removable (" + volume.mountPoint + ")" : volume.name;
    const QFontMetrics metrics(font());
    do name += ' ';
    while (metrics.horizontalAdvance(name) < kLabelWidth);
    return name + FreeSpaceText(volume.mountPoint);
}

void CShellTreeCtrl::Fill(QStandardItem* item) {
    if (!item || item->rowCount() != 1 || !item->child(0)->data(kPlaceholderRole).toBool()) return;
    item->removeRow(0);
    const QString path = item->data(kPathRole).toString();
    // Hidden folders are listed too: they are what gave the folder its expand button.
    const QFileInfoList folders =
        QDir(path).entryInfoList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden, QDir::Name | QDir::IgnoreCase);
    for (const QFileInfo& folder : folders) item->appendRow(AddPlace(folder.fileName(), folder.absoluteFilePath(), folder.isSymLink()));
}

bool CShellTreeCtrl::SelectPath(const std::string& path) {
    const QString wanted = ui::FromUtf8(path);
    for (int row = 0; row < model_.rowCount(); ++row) {
        if (model_.item(row)->data(kPathRole).toString() == wanted) {
            setCurrentIndex(model_.index(row, 0));
            return true;
        }
    }
    return false;
}

std::string CShellTreeCtrl::SelectedPath() const {
    const QModelIndex index = currentIndex();
    return index.isValid() ? index.data(kPathRole).toString().toStdString() : std::string();
}
