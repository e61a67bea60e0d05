#include "app/KnownFolders.h"

#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

namespace {
struct Library {
    const char* name;
    KnownFolder folder;
};
constexpr Library kLibraries[] = {
    {"Documents", KnownFolder::kDocuments},
    {"Music", KnownFolder::kMusic},
    {"Pictures", KnownFolder::kPictures},
    {"Videos", KnownFolder::kVideos},
};

QStandardPaths::StandardLocation Location(KnownFolder f) {
    switch (f) {
    case KnownFolder::kDesktop: return QStandardPaths::DesktopLocation;
    case KnownFolder::kDocuments: return QStandardPaths::DocumentsLocation;
    case KnownFolder::kMusic: return QStandardPaths::MusicLocation;
    case KnownFolder::kPictures: return QStandardPaths::PicturesLocation;
    case KnownFolder::kVideos: return QStandardPaths::MoviesLocation;
    }
    return QStandardPaths::HomeLocation;
}
}  // namespace

std::string KnownFolderPath(KnownFolder folder) {
    const QString path = QStandardPaths::writableLocation(Location(folder));
    if (path.isEmpty()) return std::string();
    const QFileInfo info(path);
    if (!info.isDir()) return std::string();
    return QDir::cleanPath(info.absoluteFilePath()).toStdString();
}

int AddLibraryFolders(const std::string& libraryName, std::map<std::string, int>& out) {
    for (const Library& lib : kLibraries) {
        if (libraryName != lib.name) continue;
        const std::string path = KnownFolderPath(lib.folder);
        if (path.empty()) return -1;
        ++out[path];
        return 0;
    }
    return -1;
}

int ResolveKnownFolder(std::map<std::string, int>& out) {
    if (QStandardPaths::writableLocation(QStandardPaths::HomeLocation).isEmpty()) return -1;
    int added = 0;
    for (const Library& lib : kLibraries)
        if (AddLibraryFolders(lib.name, out) == 0) ++added;
    return added > 0 ? 0 : -3;
}
