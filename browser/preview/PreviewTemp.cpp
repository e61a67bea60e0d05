#include "browser/preview/PreviewTemp.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCoreApplication>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <mutex>
#include <set>

#include "engine/FileRecoverer.h"
#include "platform/ProgramDir.h"

namespace FileSelCtrl {

namespace {
constexpr unsigned kMaxNameTries = 1000;
// The names the previews' copies begin with, before the process's id.
constexpr const char* kPreviewPrefix = "~@!preview-";


struct Registry {
    std::mutex lock;
    std::set<std::string> live;
    bool exitHooked = false;
};

// Removes what is left when the process ends.
struct ExitSweep {
    ~ExitSweep() { RemoveAllPreviewTemps(); }
};

Registry& Live() {
    // Never destroyed: a worker may remove its copy after the process's statics went (one left
    // inside a read of a disk that hangs when the program ended).
    static Registry* const registry = new Registry;
    static const ExitSweep sweep;
    return *registry;
}

void RemoveAtExit() { RemoveAllPreviewTemps(); }
}  // namespace

std::string NewPreviewTempName(const std::string& ending) {
    static std::atomic<unsigned> counter{0};
    const std::string folder = GetUserCacheDir();
    for (unsigned tries = 0; tries < kMaxNameTries; ++tries) {
        char name[64];
        std::snprintf(name, sizeof(name), "%s%d-%u", kPreviewPrefix, static_cast<int>(::getpid()), counter.fetch_add(1));
        const std::string path = folder + name + ending;
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0) {
            if (errno == EEXIST) continue;
            return {};
        }
        ::close(fd);
        Registry& r = Live();
        std::lock_guard<std::mutex> hold(r.lock);
        r.live.insert(path);
        if (!r.exitHooked && QCoreApplication::instance()) {
            qAddPostRoutine(RemoveAtExit);
            r.exitHooked = true;
        }
        return path;
    }
    return {};
}

void RemovePreviewTemp(const std::string& path) {
    if (path.empty()) return;
    ::chmod(path.c_str(), S_IRUSR | S_IWUSR);
    ::unlink(path.c_str());
    Registry& r = Live();
    std::lock_guard<std::mutex> hold(r.lock);
    r.live.erase(path);
}

void RemoveAllPreviewTemps() {
    Registry& r = Live();
    std::lock_guard<std::mutex> hold(r.lock);
    for (const std::string& path : r.live) ::unlink(path.c_str());
    r.live.clear();
}

size_t RemovePreviewTempsLeftBehind() {
    return RemoveFilesOfEndedProcesses(GetUserCacheDir(), {kPreviewPrefix, kThumbnailTempPrefix, kTemporaryCopyPrefix});
}

size_t LivePreviewTempCount() {
    Registry& r = Live();
    std::lock_guard<std::mutex> hold(r.lock);
    return r.live.size();
}

bool CopyForPreview(IFileRecoverCallback* callback, IStorageDevice* device, CFileNode* node, const std::string& path,
                    bool background) {
    if (path.empty()) return false;
    // The writer puts a copy with unread parts only where nothing stands: the name's empty
    // placeholder makes way, in the user's private cache folder, so that such a copy is shown
    // as the recovery keeps it.
    ::unlink(path.c_str());
    CFileRecoverer recoverer;
    const bool whole = recoverer.RecoverFile(callback, device, node, path.c_str(), background);
    const bool kept = whole || recoverer.GetResult() == kRecoverIncomplete;
    // What is shown is the user's alone, whichever way the copy took its place.
    if (kept) ::chmod(path.c_str(), S_IRUSR | S_IWUSR);
    return kept;
}

}  // namespace FileSelCtrl
