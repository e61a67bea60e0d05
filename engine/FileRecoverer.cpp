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
#include <vector>

#include "devices/FileSystemCode.h"
#include "devices/StorageDevice.h"
#include "engine/FileNode.h"
#include "engine/FileProperties.h"
#include "engine/FileRecoverCallback.h"
#include "engine/FileRecovererCopy.h"
#include "engine/RecoverNames.h"
#include "platform/Errors.h"
#include "platform/Log.h"
#include "platform/Sync.h"
#include "platform/Text.h"

namespace {
constexpr u32 kUniqueFileTries = 1000;
constexpr u32 kUniqueFolderTries = 10000;
// Deeper folders than this cannot be made anyway (their paths pass PATH_MAX); the bound keeps a
// damaged tree from driving the walk without end.
constexpr size_t kMaxFolderDepth = 2048;

std::atomic<RecoverMessagePump> g_pump{nullptr};

std::string Join(const std::string& folder, const std::string& name) {
    if (!folder.empty() && folder.back() == '/') return folder + name;
    return folder + "/" + name;
}

// The scanned device, or its 512-byte-sector view for the EXT file systems, whose structures
// are addressed in 512-byte units.
IStorageDevice* SourceDevice(IStorageDevice* device, CFileNode* node) {
    if (device == nullptr || node == nullptr) return device;
    const u32 code = node->GetFileSystemType();
    if (IsExtCode(code)) return device->Get512ByteSectorDevice();
    return device;
}

// Creates every missing folder of the path.
void MakeSureDirectoryPathExists(const std::string& path) {
    for (size_t i = 1; i <= path.size(); ++i) {
        if (i == path.size() || path[i] == '/') ::mkdir(path.substr(0, i).c_str(), 0777);
    }
}

// An open folder below the recovery folder, closed when it goes. Every folder and file the
// writer makes is made relative to one, and none is reached through a symbolic link: a link that
// stands where a folder is to be made is passed over like any other name already taken.
class FolderHandle {
public:
    FolderHandle() = default;
    explicit FolderHandle(int fd) : m_fd(fd) {}
    FolderHandle(FolderHandle&& other) noexcept : m_fd(std::exchange(other.m_fd, -1)) {}
    FolderHandle& operator=(FolderHandle&& other) noexcept {
        if (this != &other) {
            Close();
            m_fd = std::exchange(other.m_fd, -1);
        }
        return *this;
    }
    FolderHandle(const FolderHandle&) = delete;
    FolderHandle& operator=(const FolderHandle&) = delete;
    ~FolderHandle() { Close(); }
    int Get() const { return m_fd; }
    bool IsOpen() const { return m_fd >= 0; }

private:
    void Close() {
        if (m_fd >= 0) ::close(m_fd);
        m_fd = -1;
    }
    int m_fd = -1;
};

// The recovery folder the user chose (followed, as the user named it).
FolderHandle OpenChosenFolder(const std::string& path) {
    return FolderHandle(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
}

// Makes `name` in the open folder and opens what was made, never through a link.
bool MakeFolderAt(const FolderHandle& parent, const std::string& name, FolderHandle& made, int& error) {
    if (::mkdirat(parent.Get(), name.c_str(), 0777) != 0) {
        error = errno;
        return false;
    }
    made = FolderHandle(::openat(parent.Get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    error = made.IsOpen() ? 0 : errno;
    return made.IsOpen();
}

// Makes folder/name, or the first of folder/name_000, name_001, ... that does not exist yet;
// made receives its path and handle. False for any other error.
bool MakeUniqueDirectory(const FolderHandle& parent, const std::string& folder, const std::string& name,
                         std::string& made, FolderHandle& handle) {
    int error = 0;
    if (MakeFolderAt(parent, name, handle, error)) {
        made = Join(folder, name);
        return true;
    }
    for (u32 i = 0; error == EEXIST && i < kUniqueFolderTries; ++i) {
        const std::string variant = UniqueFolderVariant(name, i);
        if (MakeFolderAt(parent, variant, handle, error)) {
            made = Join(folder, variant);
            return true;
        }
    }
    return false;
}

// Creates the first free variant name_000.ext, name_001.ext, ... in the folder; 0 or the errno
// (EEXIST when all 1000 are taken).
int MakeUniqueFileName(const FolderHandle& handle, const std::string& name, std::string& made) {
    int error = EEXIST;
    for (u32 i = 0; i < kUniqueFileTries; ++i) {
        const std::string variant = UniqueFileVariant(name, i);
        error = CreateNewFileAt(handle.Get(), variant);
        if (error == 0) {
            made = variant;
            return 0;
        }
        if (error != EEXIST) return error;
    }
    return error;
}

// Creates the target file in the open folder, never over an existing file or through a link;
// the target names it through that folder.
bool CreateTargetFile(const FolderHandle& handle, const std::string& folder, const std::string& name,
                      RecoverTarget& target) {
    target.folder = handle.Get();
    target.name = name;
    int error = CreateNewFileAt(handle.Get(), name);
    if (error == EEXIST) error = MakeUniqueFileName(handle, name, target.name);
    if (error != 0) {
        ReleaseTrace("Error code:%d", int(Win32FromErrno(error)));
        return false;
    }
    target.path = Join(folder, target.name);
    return true;
}

u64 SizeOf(CFileNode* node) {
    const IFileProperties* properties = node != nullptr ? node->GetFileProperties() : nullptr;
    return properties != nullptr ? properties->GetSize() : 0;
}

void CountFile(RecoverCounts& counts, u32 result, const RecoverReadContext& context, u64 size) {
    if (result == kRecoverOk || (result == kRecoverCancelled && context.complete)) {
        ++counts.written;
        counts.bytes += size;
    } else if (result == kRecoverIncomplete) {
        ++counts.incomplete;
    } else if (result == kRecoverFailed) {
        ++counts.failed;
        if (context.noSpace) ++counts.noSpace;
    }
}

// The checked children of folder, depth first in sibling order, written under directory (in
// base itself where a folder could not be made). 0 when every child was visited, 2 cancelled.
u32 WalkFolder(RecoverReadContext& context, const std::string& base, const FolderHandle& baseHandle, CFileNode* folder,
               const std::string& directory, FolderHandle topHandle, RecoverCounts& counts) {
    struct Frame {
        CFileNode* next;
        bool hasDirectory;
        std::string directory;
        FolderHandle handle;
    };
    std::vector<Frame> stack;
    stack.push_back({folder->GetFirstChild(), true, directory, std::move(topHandle)});
    while (!stack.empty()) {
        Frame& frame = stack.back();
        CFileNode* child = frame.next;
        if (child == nullptr) {
            stack.pop_back();
            continue;
        }
        frame.next = child->GetNextSibling();
        IFileProperties* properties = child->GetFileProperties();
        if (properties == nullptr || child->GetCheckState() == kUnchecked) continue;

        if ((properties->GetAttributes() & kAttrDirectory) != 0) {
            if (stack.size() >= kMaxFolderDepth) {
                LogInfo("Folder too deep, skipped: %s", properties->GetName() != nullptr ? properties->GetName() : "");
                continue;
            }
            std::string made;
            FolderHandle handle;
            const bool hasDirectory =
                frame.hasDirectory && MakeUniqueDirectory(frame.handle, frame.directory,
                                                          CleanSubfolderName(properties->GetName()), made, handle);
            // The frame reference does not survive the push.
            stack.push_back({child->GetFirstChild(), hasDirectory, std::move(made), std::move(handle)});
            continue;
        }

        const std::string name = CleanFileName(properties->GetName());
        if (context.callback != nullptr && context.callback->OnFileName(name.c_str()) == kRecoverCancel) {
            return kRecoverCancelled;
        }
        RecoverTarget target;
        const bool inFolder = frame.hasDirectory;
        if (!CreateTargetFile(inFolder ? frame.handle : baseHandle, inFolder ? frame.directory : base, name, target)) {
            ++counts.failed;
            LogInfo("Failed to recover file: %s", name.c_str());
            continue;
        }
        const u32 result = RecoverOneFile(context, child, target);
        CountFile(counts, result, context, SizeOf(child));
        // The file made for it goes again unless something of the file's own is in it.
        if ((result == kRecoverFailed || result == kRecoverCancelled) && !context.complete) {
            ::unlinkat(target.folder, target.name.c_str(), 0);
        }
        if (result == kRecoverCancelled) return kRecoverCancelled;
        if (result == kRecoverFailed) LogInfo("Failed to recover file: %s", name.c_str());
    }
    return kRecoverOk;
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
    context.device = SourceDevice(m_device, m_fileNode);
    m_result = kRecoverFailed;
    m_counts = RecoverCounts();
    if (m_targetPath != nullptr) {
        try {
            m_result = RecoverOneFile(context, m_fileNode, RecoverTarget::AtPath(m_targetPath));
        } catch (...) {
            m_result = kRecoverFailed;
        }
        CountFile(m_counts, m_result, context, SizeOf(m_fileNode));
    }
    if (m_result == kRecoverFailed) LogInfo("Failed to recover file :%s", m_targetPath != nullptr ? m_targetPath : "");
    mutex.Release();
    return m_result == kRecoverOk;
}

u32 CFileRecoverer::RecoverFolder(IFileRecoverCallback* callback, IStorageDevice* device, CFileNode* folder,
                                  const char* targetFolder, char* outPath, u32 outSize) {
    m_callback = callback;
    m_device = device;
    m_folderNode = folder;
    m_targetFolder = targetFolder;
    m_outPath = outPath;
    m_outSize = outSize;
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

    const FolderHandle baseHandle = OpenChosenFolder(base);
    std::string top;
    FolderHandle topHandle;
    if (!baseHandle.IsOpen() ||
        !MakeUniqueDirectory(baseHandle, base, CleanTopFolderName(folder->GetFileProperties()->GetName()), top,
                             topHandle)) {
        m_result = kRecoverFailed;
        return m_result;
    }
    RecoverReadContext context;
    context.callback = callback;
    context.device = SourceDevice(device, folder);
    try {
        m_result = WalkFolder(context, base, baseHandle, folder, top, std::move(topHandle), m_counts);
    } catch (...) {
        m_result = kRecoverFailed;
    }
    if (outPath != nullptr && outSize > 0) CopyUtf8Bounded(outPath, outSize, top);
    return m_result;
}
