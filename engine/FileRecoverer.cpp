#include "engine/FileRecoverer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
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

// Creates the target file in the open folder, never over an existing file or through a link:
// the name, or the first free variant name_000.ext, name_001.ext, ...
bool CreateTargetFile(int folder, const std::string& folderPath, const std::string& name, RecoverTarget& target) {
    int error = target.Create(folder, name, Join(folderPath, name));
    for (u32 i = 0; error == EEXIST && i < kUniqueFileTries; ++i) {
        const std::string variant = UniqueFileVariant(name, i);
        error = target.Create(folder, variant, Join(folderPath, variant));
    }
    if (error != 0) {
        ReleaseTrace("Error code:%d", int(Win32FromErrno(error)));
        return false;
    }
    return true;
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

// One folder of the walk: the next child to visit, the folder made for it (none: its files go to
// the chosen folder), and how much of the shared path string is its own.
struct WalkFrame {
    CFileNode* next = nullptr;
    bool made = false;
    OwnedFd handle;  // closed for a made folder far above the deepest
    FolderId id;
    size_t pathLength = 0;
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

// The checked children of folder, depth first in sibling order, written into the top folder made
// for it (in the chosen folder itself where a folder could not be made). 0 when every child was
// visited, 2 cancelled. The walk keeps one path for the log and a fixed number of open folders,
// so its memory grows with the depth alone.
u32 WalkFolder(RecoverReadContext& context, int chosen, const std::string& chosenPath, CFileNode* folder,
               const std::string& top, OwnedFd topHandle, RecoverCounts& counts) {
    std::string path = top;
    std::vector<WalkFrame> stack;
    {
        WalkFrame first;
        first.next = folder->GetFirstChild();
        first.made = IdOf(topHandle.Get(), first.id);
        first.handle = std::move(topHandle);
        first.pathLength = path.size();
        stack.push_back(std::move(first));
    }
    while (!stack.empty()) {
        WalkFrame& frame = stack.back();
        CFileNode* child = frame.next;
        if (child == nullptr) {
            WalkFrame done = std::move(stack.back());
            stack.pop_back();
            if (stack.empty()) break;
            WalkFrame& parent = stack.back();
            path.resize(parent.pathLength);
            // A folder moved away meanwhile is not entered again: its files go to the chosen one.
            if (parent.made && !parent.handle.IsOpen() && !(done.handle.IsOpen() && Reopen(parent, done))) {
                LogInfo("Folder moved during the recovery: %s", path.c_str());
                parent.made = false;
            }
            continue;
        }
        frame.next = child->GetNextSibling();
        IFileProperties* properties = child->GetFileProperties();
        if (properties == nullptr || child->GetCheckState() == kUnchecked) continue;

        if ((properties->GetAttributes() & kAttrDirectory) != 0) {
            WalkFrame next;
            next.next = child->GetFirstChild();
            std::string made;
            next.made = frame.made &&
                        MakeUniqueDirectory(frame.handle.Get(), CleanSubfolderName(properties->GetName()), made,
                                            next.handle) &&
                        IdOf(next.handle.Get(), next.id);
            if (next.made) path = Join(path, made);
            next.pathLength = path.size();
            // The frame reference does not survive the push.
            stack.push_back(std::move(next));
            if (stack.back().made && stack.size() > kOpenFolderHandles) {
                stack[stack.size() - 1 - kOpenFolderHandles].handle.Reset();
            }
            continue;
        }

        const std::string name = CleanFileName(properties->GetName());
        if (context.callback != nullptr && context.callback->OnFileName(name.c_str()) == kRecoverCancel) {
            return kRecoverCancelled;
        }
        RecoverTarget target;
        const bool inFolder = frame.made;
        if (!CreateTargetFile(inFolder ? frame.handle.Get() : chosen, inFolder ? path : chosenPath, name, target)) {
            ++counts.failed;
            LogInfo("Failed to recover file: %s", name.c_str());
            continue;
        }
        const u32 result = RecoverOneFile(context, child, target);
        CountFile(counts, result, context, SizeOf(child));
        // The file made for it goes again unless something of the file's own is in it.
        if ((result == kRecoverFailed || result == kRecoverCancelled) && !context.complete) target.Remove();
        if (result == kRecoverCancelled) return kRecoverCancelled;
        if (result == kRecoverFailed) LogInfo("Failed to recover file: %s", name.c_str());
    }
    return kRecoverOk;
}

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

// A temporary file beside the caller's path, for the copy to be written into before it takes
// the path's place; nobody else can open it meanwhile.
int CreateTemporaryBeside(int folder, const std::string& folderPath, RecoverTarget& target) {
    std::random_device seed;
    std::mt19937_64 random(seed());
    int error = EEXIST;
    for (u32 i = 0; error == EEXIST && i < kTemporaryNameTries; ++i) {
        char name[48];
        std::snprintf(name, sizeof name, ".morvenda-%016" PRIx64 ".part", u64(random()));
        error = target.Create(folder, name, Join(folderPath, name), kPrivateFileMode);
    }
    return error;
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
    int moved = replace ? ::renameat(folder, target.name.c_str(), folder, leaf.c_str())
                        : ::renameat2(folder, target.name.c_str(), folder, leaf.c_str(), RENAME_NOREPLACE);
    if (moved != 0 && !replace && (errno == EINVAL || errno == ENOSYS)) {
        // A file system or kernel without the no-replace rename: a hard link is made only where
        // nothing is.
        moved = ::linkat(folder, target.name.c_str(), folder, leaf.c_str(), 0);
        if (moved == 0 && ::unlinkat(folder, target.name.c_str(), 0) != 0) {
            LogInfo("The copy is in place as %s, but its second name %s could not be removed, Error code:%d",
                    targetPath.c_str(), target.name.c_str(), int(Win32FromErrno(errno)));
        }
    }
    if (moved != 0) {
        LogInfo("Cannot put the file in place: %s, Error code:%d", targetPath.c_str(), int(Win32FromErrno(errno)));
        return false;
    }
    return true;
}
}  // namespace

void SetRecoverMessagePump(RecoverMessagePump pump) { g_pump.store(pump); }

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
    // Two threads never write the same node at once (a preview and a recovery, say).
    char name[32];
    std::snprintf(name, sizeof name, "File%" PRIxPTR, reinterpret_cast<uintptr_t>(m_fileNode));
    NamedMutex mutex(name);
    mutex.Wait(kInfinite);

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
    if (leaf.empty() || !folder.IsOpen() || CreateTemporaryBeside(folder.Get(), folderPath, target) != 0) {
        LogInfo("Cannot write beside %s", targetPath.c_str());
        return kRecoverFailed;
    }
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
    const std::string base = targetPath != nullptr ? targetPath : "";
    std::string top;
    OwnedFd topHandle;
    if (targetFolder < 0 ||
        !MakeUniqueDirectory(targetFolder, CleanTopFolderName(folder->GetFileProperties()->GetName()), top, topHandle)) {
        m_result = kRecoverFailed;
        return m_result;
    }
    top = Join(base, top);
    RecoverReadContext context;
    context.callback = callback;
    context.device = RecoverySourceDevice(device, folder);
    try {
        m_result = WalkFolder(context, targetFolder, base, folder, top, std::move(topHandle), m_counts);
    } catch (...) {
        m_result = kRecoverFailed;
    }
    if (outPath != nullptr && outSize > 0) CopyUtf8Bounded(outPath, outSize, top);
    return m_result;
}
