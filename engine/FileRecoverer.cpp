#include "engine/FileRecoverer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <dirent.h>
#include <signal.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <set>
#include <cinttypes>
#include <cstdio>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <random>
#include <vector>

#include "devices/StorageDevice.h"
#include "engine/FileNode.h"
#include "engine/FileProperties.h"
#include "engine/FileRecoverCallback.h"
#include "engine/FileRecovererCopy.h"
#include "engine/FileSystemNode.h"
#include "engine/RecoverNames.h"
#include "platform/Errors.h"
#include "platform/Log.h"
#include "platform/Sync.h"
#include "platform/Text.h"

namespace {
constexpr u32 kUniqueFileTries = 1000;
constexpr u32 kUniqueFolderTries = 10000;
constexpr u32 kTemporaryNameTries = 100;
// A copy waiting for another copy of the same file asks in these steps whether it is still
// wanted, and says in the log every so often that it still waits.
constexpr u32 kFileLockSliceMs = 50;
constexpr u32 kFileLockStallLogMs = 10000;
// Open folders the walk keeps at most besides the chosen one: a deeper chain closes its upper
// folders and opens each again from its child on the way back, so any depth fits the process's
// share of open files.
constexpr size_t kOpenFolderHandles = 64;

std::atomic<RecoverMessagePump> g_pump{nullptr};

std::string Join(const std::string& folder, const std::string& name) {
    if (!folder.empty() && folder.back() == '/') return folder + name;
    return folder + "/" + name;
}

// Creates every missing folder of the path.
void MakeSureDirectoryPathExists(const std::string& path) {
    for (size_t i = 1; i <= path.size(); ++i) {
        if (i == path.size() || path[i] == '/') ::mkdir(path.substr(0, i).c_str(), 0777);
    }
}

// The folder the user chose (followed, as the user named it).
OwnedFd OpenChosenFolder(const std::string& path) {
    return OwnedFd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
}

// The file system's identity of an open folder, to know it again when it is reopened.
struct FolderId {
    dev_t device = 0;
    ino_t inode = 0;
    bool operator==(const FolderId&) const = default;
};

bool IdOf(int fd, FolderId& id) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) return false;
    id = {st.st_dev, st.st_ino};
    return true;
}

// Makes `name` in the open folder and opens what was made, never through a link.
bool MakeFolderAt(int parent, const std::string& name, OwnedFd& made, int& error) {
    if (::mkdirat(parent, name.c_str(), 0777) != 0) {
        error = errno;
        return false;
    }
    made = OwnedFd(::openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    error = made.IsOpen() ? 0 : errno;
    return made.IsOpen();
}

// Makes name, or the first of name_000, name_001, ... that does not exist yet, in the open
// folder; made receives the name and handle. False for any other error.
bool MakeUniqueDirectory(int parent, const std::string& name, std::string& made, OwnedFd& handle) {
    int error = 0;
    if (MakeFolderAt(parent, name, handle, error)) {
        made = name;
        return true;
    }
    for (u32 i = 0; error == EEXIST && i < kUniqueFolderTries; ++i) {
        const std::string variant = UniqueFolderVariant(name, i);
        if (MakeFolderAt(parent, variant, handle, error)) {
            made = variant;
            return true;
        }
    }
    return false;
}

// Tries `name`, then name_000.ext, name_001.ext, ... while `place` answers EEXIST: 0 or the last
// errno, which the log is told.
template <class Place>
int WithFreeName(const std::string& name, Place place) {
    int error = place(name);
    for (u32 i = 0; error == EEXIST && i < kUniqueFileTries; ++i) error = place(UniqueFileVariant(name, i));
    if (error != 0) ReleaseTrace("Error code:%d", int(Win32FromErrno(error)));
    return error;
}

// Creates the target file in the open folder, never over an existing file or through a link:
// the name, or the first free variant of it.
bool CreateTargetFile(int folder, const std::string& folderPath, const std::string& name, RecoverTarget& target) {
    return WithFreeName(name, [&](const std::string& free) {
               return target.Create(folder, free, Join(folderPath, free));
           }) == 0;
}

// Gives the file `from` of the open folder `fromFolder` the name `to` in `toFolder`, never over
// anything that stands there: 0, or the errno (EEXIST where the name is taken). A file system or
// kernel without the no-replace rename gets a hard link, made only where nothing is; one without
// hard links either (exFAT through FUSE) the plain rename, where nothing stood just before.
int RenameNoReplace(int fromFolder, const std::string& from, int toFolder, const std::string& to,
                    const std::string& toPath) {
    if (::renameat2(fromFolder, from.c_str(), toFolder, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
    if (errno != EINVAL && errno != ENOSYS) return errno;
    if (::linkat(fromFolder, from.c_str(), toFolder, to.c_str(), 0) == 0) {
        if (::unlinkat(fromFolder, from.c_str(), 0) != 0) {
            LogInfo("The copy is in place as %s, but its second name %s could not be removed, Error code:%d",
                    toPath.c_str(), from.c_str(), int(Win32FromErrno(errno)));
        }
        return 0;
    }
    if (errno != EPERM && errno != EOPNOTSUPP && errno != ENOSYS) return errno;
    struct stat standing {};
    if (::fstatat(toFolder, to.c_str(), &standing, AT_SYMLINK_NOFOLLOW) == 0) return EEXIST;
    if (errno != ENOENT) return errno;
    return ::renameat(fromFolder, from.c_str(), toFolder, to.c_str()) == 0 ? 0 : errno;
}

u64 SizeOf(CFileNode* node) {
    const IFileProperties* properties = node != nullptr ? node->GetFileProperties() : nullptr;
    return properties != nullptr ? properties->GetSize() : 0;
}

void CountFile(RecoverCounts& counts, u32 result, const RecoverReadContext& context, u64 size) {
    if (result == kRecoverOk || (result == kRecoverCancelled && context.complete)) {
        ++counts.written;
        counts.bytes = SaturatingAdd(counts.bytes, size);
    } else if (result == kRecoverIncomplete) {
        ++counts.incomplete;
    } else if (result == kRecoverFailed) {
        ++counts.failed;
        if (context.noSpace) ++counts.noSpace;
    }
}

// The temporary files of the copies going on, by path. Never destroyed: a copy left inside a
// read when the program ended may still finish while the process's statics go.
struct UnfinishedCopies {
    std::mutex lock;
    std::set<std::string> paths;
};

void RemoveUnfinishedCopiesAtExit() { RemoveUnfinishedCopies(); }

UnfinishedCopies& Unfinished() {
    static UnfinishedCopies* const copies = [] {
        auto* made = new UnfinishedCopies;
        std::atexit(RemoveUnfinishedCopiesAtExit);
        return made;
    }();
    return *copies;
}

// A temporary file known from its making until the copy leaves the scope that made it: by then
// it has taken its place or was removed. One that never leaves (a read that hangs) is removed at exit.
class UnfinishedCopy {
public:
    explicit UnfinishedCopy(const RecoverTarget& target) : m_path(target.path) {
        UnfinishedCopies& copies = Unfinished();
        std::lock_guard<std::mutex> hold(copies.lock);
        copies.paths.insert(m_path);
    }
    ~UnfinishedCopy() {
        UnfinishedCopies& copies = Unfinished();
        std::lock_guard<std::mutex> hold(copies.lock);
        copies.paths.erase(m_path);
    }
    UnfinishedCopy(const UnfinishedCopy&) = delete;
    UnfinishedCopy& operator=(const UnfinishedCopy&) = delete;

private:
    const std::string m_path;
};

// A temporary file in the open folder, for a copy to be written into before it takes its place;
// with the private mode nobody else can open it meanwhile. Its name holds the process's id.
int CreateTemporaryIn(int folder, const std::string& folderPath, RecoverTarget& target, u32 mode) {
    std::random_device seed;
    std::mt19937_64 random(seed());
    int error = EEXIST;
    for (u32 i = 0; error == EEXIST && i < kTemporaryNameTries; ++i) {
        char name[64];
        std::snprintf(name, sizeof name, "%s%d-%016" PRIx64 ".part", kTemporaryCopyPrefix, static_cast<int>(::getpid()),
                      u64(random()));
        error = target.Create(folder, name, Join(folderPath, name), mode);
    }
    return error;
}

// The process id after the prefix in "<prefix><pid>-...", or 0.
pid_t PidInName(const std::string& name, const std::string& prefix) {
    if (name.compare(0, prefix.size(), prefix) != 0) return 0;
    // Nine digits stay within a pid_t; the system's pids have seven at most.
    constexpr size_t kMaxPidDigits = 9;
    pid_t pid = 0;
    size_t at = prefix.size();
    for (; at < name.size() && at - prefix.size() < kMaxPidDigits && name[at] >= '0' && name[at] <= '9'; ++at)
        pid = pid * 10 + (name[at] - '0');
    return at > prefix.size() && at < name.size() && name[at] == '-' ? pid : 0;
}

// Where a folder of the walk stands. Its folder is made only once a file in it or below it
// stays, so that files that cannot be read leave no folder behind; below a folder that could not
// be made (or was moved away meanwhile) files go to the chosen folder.
enum class FolderState { kPending, kMade, kRefused };

// One folder of the walk: the next child to visit, its folder's name (wanted, then made) and
// handle, and how much of the shared path string lies above it.
struct WalkFrame {
    CFileNode* next = nullptr;
    std::string name;
    FolderState state = FolderState::kPending;
    bool kept = false;      // something written stays in it or below it
    bool filesMet = false;  // a checked file was met in it or below it
    OwnedFd handle;         // closed for a made folder far above the deepest
    FolderId id;
    // The length of the path above it, once it is made; it stays when the folder is refused
    // later (moved away), so that leaving it still cuts its name off the path.
    static constexpr size_t kNotMade = std::string::npos;
    size_t parentLength = kNotMade;
};

// Opens the made folder of `frame` again from its child's open handle, and only when ".." is
// still the folder that was made.
bool Reopen(WalkFrame& frame, const WalkFrame& child) {
    OwnedFd parent(::openat(child.handle.Get(), "..", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    FolderId id;
    if (!parent.IsOpen() || !IdOf(parent.Get(), id) || !(id == frame.id)) return false;
    frame.handle = std::move(parent);
    return true;
}

// The checked children of a folder, depth first in sibling order, written into a top folder in
// the chosen one, named after the folder. A folder is made once the first file in it or below it
// stays: until then its files are written under a temporary name in the chosen folder and the
// first that stays is moved in. A folder made for a file that could not be put in place goes
// again; a checked folder that holds no files at all is made for its own sake. The walk keeps one
// path for the log and a fixed number of open folders, so its memory grows with the depth alone.
class FolderWalk {
public:
    FolderWalk(RecoverReadContext& context, int chosen, const std::string& chosenPath, RecoverCounts& counts)
        : m_context(context), m_chosen(chosen), m_chosenPath(chosenPath), m_counts(counts) {}

    // 0 when every child was visited, 1 when the top folder could not be made, 2 cancelled.
    u32 Run(CFileNode* folder) {
        u32 result = kRecoverFailed;
        try {
            result = Walk(folder);
        } catch (...) {
            Unwind();
            throw;
        }
        Unwind();
        return result;
    }
    // The top folder made and left, empty when none is.
    const std::string& TopPath() const { return m_topPath; }

private:
    u32 Walk(CFileNode* folder) {
        m_path = m_chosenPath;
        Enter(folder->GetFirstChild(), CleanTopFolderName(folder->GetFileProperties()->GetName()));
        while (!m_stack.empty()) {
            WalkFrame& frame = m_stack.back();
            CFileNode* child = frame.next;
            if (child == nullptr) {
                if (frame.state == FolderState::kPending && !frame.filesMet) {
                    if (!MakeFolders()) return kRecoverFailed;
                    KeepFolders();
                }
                Leave();
                continue;
            }
            frame.next = child->GetNextSibling();
            IFileProperties* properties = child->GetFileProperties();
            if (properties == nullptr || child->GetCheckState() == kUnchecked) continue;
            if ((properties->GetAttributes() & kAttrDirectory) != 0) {
                // The frame reference does not survive the push.
                Enter(child->GetFirstChild(), CleanSubfolderName(properties->GetName()));
                continue;
            }
            frame.filesMet = true;
            const u32 result = WriteFile(child, *properties);
            if (result != kRecoverOk) return result;
        }
        return kRecoverOk;
    }

    void Enter(CFileNode* first, std::string name) {
        WalkFrame next;
        next.next = first;
        next.name = std::move(name);
        if (!m_stack.empty() && m_stack.back().state == FolderState::kRefused) next.state = FolderState::kRefused;
        m_stack.push_back(std::move(next));
    }

    // 0 also for a file that failed (counted); 1 when the top folder could not be made, 2 cancelled.
    u32 WriteFile(CFileNode* child, const IFileProperties& properties) {
        const std::string name = CleanFileName(properties.GetName());
        if (m_context.callback != nullptr && m_context.callback->OnFileName(name.c_str()) == kRecoverCancel) {
            return kRecoverCancelled;
        }
        // In a folder not made yet the file is written under a temporary name in the chosen folder
        // and moved into its own once it stays: a file that cannot be read makes no folder.
        const WalkFrame& frame = m_stack.back();
        const bool staged = frame.state == FolderState::kPending;
        const bool inFolder = frame.state == FolderState::kMade;
        RecoverTarget target;
        if (staged ? CreateTemporaryIn(m_chosen, m_chosenPath, target, kNewFileMode) != 0
                   : !CreateTargetFile(inFolder ? frame.handle.Get() : m_chosen, inFolder ? m_path : m_chosenPath,
                                       name, target)) {
            ++m_counts.failed;
            LogInfo("Failed to recover file: %s", name.c_str());
            return kRecoverOk;
        }
        std::optional<UnfinishedCopy> unfinished;
        if (staged) {
            unfinished.emplace(target);
            target.path = PendingPath(name);
        }
        u32 result = RecoverOneFile(m_context, child, target);
        // The file made for it goes again unless something of the file's own is in it.
        const bool stays = !((result == kRecoverFailed || result == kRecoverCancelled) && !m_context.complete);
        if (stays && staged) {
            if (!MakeFolders()) {
                target.Remove();
                ++m_counts.failed;
                return kRecoverFailed;
            }
            if (!PlaceStaged(target, name)) {
                result = kRecoverFailed;
                m_context.complete = false;
            }
        }
        CountFile(m_counts, result, m_context, SizeOf(child));
        if (result == kRecoverFailed || (result == kRecoverCancelled && !m_context.complete)) {
            target.Remove();
        } else {
            KeepFolders();
        }
        if (result == kRecoverFailed) LogInfo("Failed to recover file: %s", name.c_str());
        return result == kRecoverCancelled ? kRecoverCancelled : kRecoverOk;
    }

    // Where a staged file is meant to go, for the log: the folders not made yet by their names.
    std::string PendingPath(const std::string& name) const {
        std::string path = m_path;
        for (const WalkFrame& frame : m_stack) {
            if (frame.state == FolderState::kPending) path = Join(path, frame.name);
        }
        return Join(path, name);
    }

    // Moves a staged file into the deepest folder (the chosen one below a folder that could not
    // be made), under its name or the first free variant of it.
    bool PlaceStaged(const RecoverTarget& target, const std::string& name) {
        const WalkFrame& frame = m_stack.back();
        const bool inFolder = frame.state == FolderState::kMade;
        const int folder = inFolder ? frame.handle.Get() : m_chosen;
        const std::string& folderPath = inFolder ? m_path : m_chosenPath;
        // Only the file written is moved, never what was put in its name's place meanwhile.
        if (!NamesOpenFile(target.folder, target.name, target.file.Get())) {
            LogInfo("The copy of %s is no longer where it was written", target.path.c_str());
            return false;
        }
        return WithFreeName(name, [&](const std::string& free) {
                   return RenameNoReplace(m_chosen, target.name, folder, free, Join(folderPath, free));
               }) == 0;
    }

    // Makes the folders still pending, from the highest down. False only when the top folder
    // cannot be made: nothing of the job can be written then.
    bool MakeFolders() {
        size_t first = m_stack.size();
        while (first > 0 && m_stack[first - 1].state == FolderState::kPending) --first;
        for (size_t i = first; i < m_stack.size(); ++i) {
            WalkFrame& frame = m_stack[i];
            std::string made;
            if (!MakeUniqueDirectory(i == 0 ? m_chosen : m_stack[i - 1].handle.Get(), frame.name, made, frame.handle) ||
                !IdOf(frame.handle.Get(), frame.id)) {
                if (i == 0) return false;
                for (size_t j = i; j < m_stack.size(); ++j) m_stack[j].state = FolderState::kRefused;
                return true;
            }
            frame.state = FolderState::kMade;
            frame.name = std::move(made);
            frame.parentLength = m_path.size();
            m_path = Join(m_path, frame.name);
            if (i == 0) m_topPath = m_path;
            if (i >= kOpenFolderHandles) m_stack[i - kOpenFolderHandles].handle.Reset();
        }
        return true;
    }

    // Something stays in the deepest folder made: it and every folder above it stay.
    void KeepFolders() {
        for (size_t i = m_stack.size(); i > 0 && m_stack[i - 1].state == FolderState::kMade && !m_stack[i - 1].kept;
             --i) {
            m_stack[i - 1].kept = true;
        }
    }

    // Ends the deepest folder: the path and the folder above are as before it, and a made folder
    // of which nothing stays is taken away (one that someone else put something in stays).
    void Leave() {
        WalkFrame done = std::move(m_stack.back());
        m_stack.pop_back();
        if (done.parentLength != WalkFrame::kNotMade) m_path.resize(done.parentLength);
        WalkFrame* parent = m_stack.empty() ? nullptr : &m_stack.back();
        if (parent != nullptr) {
            parent->filesMet = parent->filesMet || done.filesMet;
            // A folder moved away meanwhile is not entered again: its files go to the chosen one.
            if (parent->state == FolderState::kMade && !parent->handle.IsOpen() &&
                !(done.handle.IsOpen() && Reopen(*parent, done))) {
                LogInfo("Folder moved during the recovery: %s", m_path.c_str());
                parent->state = FolderState::kRefused;
            }
        }
        if (done.state != FolderState::kMade || done.kept) return;
        if (parent == nullptr) {
            if (RemoveFolderIfEmpty(m_chosen, done.name, done.handle.Get())) m_topPath.clear();
        } else if (parent->state == FolderState::kMade) {
            RemoveFolderIfEmpty(parent->handle.Get(), done.name, done.handle.Get());
        }
    }

    // After the last child, a cancel or a failure: every folder still open is left.
    void Unwind() {
        while (!m_stack.empty()) Leave();
    }

    RecoverReadContext& m_context;
    const int m_chosen;
    const std::string& m_chosenPath;
    RecoverCounts& m_counts;
    std::vector<WalkFrame> m_stack;
    std::string m_path;  // of the deepest folder made
    std::string m_topPath;
};

// The folder and name parts of the caller's path ("." for a bare name).
void SplitPath(const std::string& path, std::string& folder, std::string& leaf) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        folder = ".";
        leaf = path;
    } else {
        folder = slash == 0 ? "/" : path.substr(0, slash);
        leaf = path.substr(slash + 1);
    }
}

// The permission bits a new file of this process gets: the umask is read, never set, as setting
// it to learn it would change it for every thread meanwhile.
// The program never changes its umask, so it is read once.
mode_t NewFileMode() {
    static const mode_t umask = [] {
        constexpr mode_t kUsualUmask = 022;
        mode_t found = kUsualUmask;
        if (std::FILE* status = std::fopen("/proc/self/status", "re")) {
            char line[128];
            unsigned value = 0;
            while (std::fgets(line, sizeof line, status) != nullptr) {
                if (std::sscanf(line, "Umask: %o", &value) == 1) {
                    found = mode_t(value);
                    break;
                }
            }
            std::fclose(status);
        }
        return found;
    }();
    return kNewFileMode & ~umask & 0777;
}

// Gives the written copy the name `leaf` in its folder. Over a file that stands there only when
// `replace` is set, and then with that file's permission bits (a preview's private placeholder
// stays private, a user's file stays as open as it was); where nothing stood, with those of a new
// file. A read-only recovered file stays read-only.
bool PutInPlace(int folder, const RecoverTarget& target, const std::string& leaf, bool replace,
                const std::string& targetPath) {
    struct stat existing {};
    const bool exists = ::fstatat(folder, leaf.c_str(), &existing, AT_SYMLINK_NOFOLLOW) == 0;
    if (exists && !replace) {
        LogInfo("Incomplete copy not put over %s: the file there stays", targetPath.c_str());
        return false;
    }
    mode_t mode = exists && S_ISREG(existing.st_mode) ? existing.st_mode & 0777 : NewFileMode();
    struct stat own {};
    if (::fstat(target.file.Get(), &own) == 0 && (own.st_mode & 0222) == 0) mode &= ~mode_t(0222);
    if (::fchmod(target.file.Get(), mode) != 0) {
        LogInfo("Cannot set the permissions of %s, Error code:%d", targetPath.c_str(), int(Win32FromErrno(errno)));
        return false;
    }
    int error = 0;
    if (!replace) {
        error = RenameNoReplace(folder, target.name, folder, leaf, targetPath);
    } else if (::renameat(folder, target.name.c_str(), folder, leaf.c_str()) != 0) {
        error = errno;
    }
    if (error != 0) {
        LogInfo("Cannot put the file in place: %s, Error code:%d", targetPath.c_str(), int(Win32FromErrno(error)));
        return false;
    }
    return true;
}

}  // namespace

void SetRecoverMessagePump(RecoverMessagePump pump) { g_pump.store(pump); }

size_t RemoveUnfinishedCopies() {
    UnfinishedCopies& copies = Unfinished();
    std::lock_guard<std::mutex> hold(copies.lock);
    size_t removed = 0;
    for (const std::string& path : copies.paths) removed += ::unlink(path.c_str()) == 0;
    copies.paths.clear();
    return removed;
}

size_t UnfinishedCopyCount() {
    UnfinishedCopies& copies = Unfinished();
    std::lock_guard<std::mutex> hold(copies.lock);
    return copies.paths.size();
}

size_t RemoveFilesOfEndedProcesses(const std::string& folder, const std::vector<std::string>& prefixes) {
    DIR* listing = ::opendir(folder.c_str());
    if (listing == nullptr) return 0;
    const int dir = ::dirfd(listing);
    size_t removed = 0;
    while (const dirent* entry = ::readdir(listing)) {
        const std::string name = entry->d_name;
        pid_t pid = 0;
        for (const std::string& prefix : prefixes)
            if ((pid = PidInName(name, prefix)) != 0) break;
        // A process that runs, this one or another instance, still owns its files.
        if (pid <= 0 || pid == ::getpid() || ::kill(pid, 0) == 0 || errno != ESRCH) continue;
        struct stat st {};
        if (::fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode)) continue;
        if (::unlinkat(dir, name.c_str(), 0) == 0) {
            ++removed;
            LogInfo("Removed %s%s, left by the ended process %d", Join(folder, "").c_str(), name.c_str(), static_cast<int>(pid));
        }
    }
    ::closedir(listing);
    return removed;
}

bool CFileRecoverer::RecoverFile(IFileRecoverCallback* callback, IStorageDevice* device, CFileNode* node,
                                 const char* targetPath, bool background) {
    m_callback = callback;
    m_device = device;
    m_fileNode = node;
    m_targetPath = targetPath;
    if (!background) {
        RecoverFileLocked();
        return m_result == kRecoverOk;
    }
    m_done = 0;
    m_workerResult = 0;
    std::thread worker;
    try {
        worker = std::thread([this] {
            m_workerResult = RecoverFileLocked() ? 1 : 0;
            m_done.store(1);
        });
    } catch (const std::system_error&) {
        return false;
    }
    for (;;) {
        SleepMs(10);
        if (m_done.load() != 0) break;
        if (RecoverMessagePump pump = g_pump.load()) pump();
    }
    worker.join();
    return m_result == kRecoverOk;
}

bool CFileRecoverer::RecoverFileLocked() {
    // Two threads never write the same file at once (a preview and a recovery, say). A file is
    // known by its properties, which every copy of its node shares (a held file's, a replacing
    // tree's) and which stay alive while any of them is written.
    const void* file = m_fileNode != nullptr && m_fileNode->GetFileProperties() != nullptr
                           ? static_cast<const void*>(m_fileNode->GetFileProperties())
                           : static_cast<const void*>(m_fileNode);
    char name[32];
    std::snprintf(name, sizeof name, "File%" PRIxPTR, reinterpret_cast<uintptr_t>(file));
    NamedMutex mutex(name);
    // The other copy may be inside a read of a disk that hangs: the wait ends when this one is
    // no longer wanted, before anything is made.
    m_counts = RecoverCounts();
    for (u32 waited = 0; mutex.Wait(kFileLockSliceMs) != kWaitObject0; waited += kFileLockSliceMs) {
        if (m_callback != nullptr && m_callback->IsCancelled() == kRecoverCancel) {
            m_result = kRecoverCancelled;
            return false;
        }
        if (waited % kFileLockStallLogMs == 0 && waited != 0)
            LogInfo("Still waiting for another copy of %s to end", m_targetPath != nullptr ? m_targetPath : "");
    }

    RecoverReadContext context;
    context.callback = m_callback;
    context.device = RecoverySourceDevice(m_device, m_fileNode);
    m_result = kRecoverFailed;
    m_counts = RecoverCounts();
    if (m_targetPath != nullptr && m_targetPath[0] != 0) {
        try {
            m_result = RecoverToPath(context, m_targetPath);
        } catch (...) {
            m_result = kRecoverFailed;
        }
        CountFile(m_counts, m_result, context, SizeOf(m_fileNode));
    }
    if (m_result == kRecoverFailed) LogInfo("Failed to recover file :%s", m_targetPath != nullptr ? m_targetPath : "");
    mutex.Release();
    return m_result == kRecoverOk;
}

u32 CFileRecoverer::RecoverToPath(RecoverReadContext& context, const std::string& targetPath) {
    // The copy is written under a temporary name beside the path and takes the path's place only
    // once it is kept. Only a whole copy replaces a file that stands there: a failed, cancelled or
    // incomplete one leaves that file as it was, and an incomplete one is kept only where nothing
    // stood.
    std::string folderPath;
    std::string leaf;
    SplitPath(targetPath, folderPath, leaf);
    const OwnedFd folder = OpenChosenFolder(folderPath);
    RecoverTarget target;
    if (leaf.empty() || !folder.IsOpen() ||
        CreateTemporaryIn(folder.Get(), folderPath, target, kPrivateFileMode) != 0) {
        LogInfo("Cannot write beside %s", targetPath.c_str());
        return kRecoverFailed;
    }
    const UnfinishedCopy unfinished(target);
    u32 result = RecoverOneFile(context, m_fileNode, target);
    const bool whole = result == kRecoverOk || (result == kRecoverCancelled && context.complete);
    if (whole || result == kRecoverIncomplete) {
        if (PutInPlace(folder.Get(), target, leaf, whole, targetPath)) return result;
        result = kRecoverFailed;
        context.complete = false;
    }
    target.Remove();
    return result;
}

u32 CFileRecoverer::RecoverFolder(IFileRecoverCallback* callback, IStorageDevice* device, CFileNode* folder,
                                  const char* targetFolder, char* outPath, u32 outSize) {
    m_result = kRecoverOk;
    m_counts = RecoverCounts();
    if (targetFolder == nullptr || targetFolder[0] == 0) {
        m_result = kRecoverFailed;
        return m_result;
    }
    std::string base = targetFolder;
    if (base.back() != '/') base += '/';
    MakeSureDirectoryPathExists(base);
    if (folder == nullptr || folder->GetFileProperties() == nullptr || folder->GetCheckState() == kUnchecked) {
        return m_result;
    }
    const OwnedFd chosen = OpenChosenFolder(base);
    if (!chosen.IsOpen()) {
        m_result = kRecoverFailed;
        return m_result;
    }
    return RecoverFolderAt(callback, device, folder, chosen.Get(), base.c_str(), outPath, outSize);
}

u32 CFileRecoverer::RecoverFolderAt(IFileRecoverCallback* callback, IStorageDevice* device, CFileNode* folder,
                                    int targetFolder, const char* targetPath, char* outPath, u32 outSize) {
    m_callback = callback;
    m_device = device;
    m_folderNode = folder;
    m_targetFolder = targetPath;
    m_outPath = outPath;
    m_outSize = outSize;
    m_result = kRecoverOk;
    m_counts = RecoverCounts();
    if (folder == nullptr || folder->GetFileProperties() == nullptr || folder->GetCheckState() == kUnchecked) {
        return m_result;
    }
    if (targetFolder < 0) {
        m_result = kRecoverFailed;
        return m_result;
    }
    const std::string base = targetPath != nullptr ? targetPath : "";
    RecoverReadContext context;
    context.callback = callback;
    context.device = RecoverySourceDevice(device, folder);
    FolderWalk walk(context, targetFolder, base, m_counts);
    try {
        m_result = walk.Run(folder);
    } catch (...) {
        m_result = kRecoverFailed;
    }
    if (outPath != nullptr && outSize > 0) CopyUtf8Bounded(outPath, outSize, walk.TopPath());
    return m_result;
}
