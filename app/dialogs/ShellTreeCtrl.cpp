#include "app/dialogs/ShellTreeCtrl.h"

#include <QDir>
#include <QFileIconProvider>
#include <QFontMetrics>
#include <QStorageInfo>

#include "devices/VolumeEnumerator.h"
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

}  // namespace

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

QStandardItem* CShellTreeCtrl::AddPlace(const QString& text, const QString& path) {
    static const QFileIconProvider icons;
    auto* item = new QStandardItem(icons.icon(QFileIconProvider::Folder), text);
    item->setData(path, kPathRole);
    if (HasSubfolders(path)) {
        auto* placeholder = new QStandardItem();
        placeholder->setData(true, kPlaceholderRole);
        item->appendRow(placeholder);
    }
    return item;
}

void CShellTreeCtrl::Populate() {
    model_.clear();
    const QString home = QDir::homePath();
    model_.appendRow(AddPlace(QDir(home).dirName() + " (" + home + ")", home));
    for (const QStorageInfo& volume : QStorageInfo::mountedVolumes()) {
        if (!IsUserVolume(volume)) continue;
        const QString name = volume.displayName() == volume.rootPath() ? volume.rootPath()
                                                                       : volume.displayName() + " (" + volume.rootPath() + ")";
        model_.appendRow(AddPlace(VolumeRowText(name, volume.rootPath()), volume.rootPath()));
    }
}

QString CShellTreeCtrl::VolumeRowText(QString name, const QString& mountPoint) const {
    const QFontMetrics metrics(font());
    do name += ' ';
    while (metrics.horizontalAdvance(name) < kLabelWidth);
    return name + FreeSpaceText(mountPoint);
}

void CShellTreeCtrl::Fill(QStandardItem* item) {
    if (!item || item->rowCount() != 1 || !item->child(0)->data(kPlaceholderRole).toBool()) return;
    item->removeRow(0);
    const QString path = item->data(kPathRole).toString();
    // Hidden folders are listed too: they are what gave the folder its expand button.
    const QFileInfoList folders =
        QDir(path).entryInfoList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden, QDir::Name | QDir::IgnoreCase);
    for (const QFileInfo& folder : folders) item->appendRow(AddPlace(folder.fileName(), folder.absoluteFilePath()));
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
