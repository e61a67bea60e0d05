#pragma once
// The folder tree of the destination dialog: the home folder and every mounted volume that can
// take files, each volume labelled with its free space. Folders are filled when first expanded;
// the chosen folder's path goes to the owner through a callback.
#include <QStandardItemModel>
#include <QTreeView>
#include <functional>
#include <string>
#include <vector>

// A mounted volume the tree offers.
struct DestinationVolume {
    QString name;        // the system's label for it, or its mount point
    QString mountPoint;
    bool removable = false;  // on a disk the system marks removable (a USB stick, a card)
};

// The user's mounted volumes that can take files: writable, not the system's own machinery.
std::vector<DestinationVolume> MountedDestinationVolumes();

class CShellTreeCtrl : public QTreeView {
public:
    using SelChanged = std::function<void(const std::string& path)>;
    static constexpr int kPathRole = Qt::UserRole + 1;
    static constexpr int kLinkRole = Qt::UserRole + 3;  // true for a folder that is a symbolic link
    static constexpr int kLabelWidth = 160;  // pixels the volume name is padded to before its free space

    explicit CShellTreeCtrl(QWidget* parent);
    void SetSelChangedCallback(SelChanged callback) { callback_ = std::move(callback); }
    // Rebuilds the top level: the home folder, then the volumes (the system's mounted ones
    // unless given).
    void Populate();
    void Populate(const std::vector<DestinationVolume>& volumes);
    // A volume's row: its name ("Removable (" + its mount point + ")" for a removable one)
    // padded to kLabelWidth, then its free space of its total.
    QString VolumeRowText(const DestinationVolume& volume) const;
    // Selects the item of path when it is a top-level place or below an expanded one.
    bool SelectPath(const std::string& path);
    std::string SelectedPath() const;

private:
    QStandardItem* AddPlace(const QString& text, const QString& path, bool link = false);
    void Fill(QStandardItem* item);

    QStandardItemModel model_;
    SelChanged callback_;
};
