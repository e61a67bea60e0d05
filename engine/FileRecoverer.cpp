#include "engine/FileRecoverer.h"

#include <sys/stat.h>
#include <sys/types.h>

#include <cerrno>
#include <cstdint>
#include <cinttypes>
#include <cstdio>
#include <string>
#include <system_error>
#include <thread>
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

// Makes folder/name, or the first of folder/name_000, name_001, ... that does not exist yet;
// made receives the path. False for any other error.
bool MakeUniqueDirectory(const std::string& folder, const std::string& name, std::string& made) {
    std::string path = Join(folder, name);
    if (::mkdir(path.c_str(), 0777) == 0) {
        made = path;
        return true;
    }
    int error = errno;
    for (u32 i = 0; error == EEXIST && i < kUniqueFolderTries; ++i) {
        path = Join(folder, UniqueFolderVariant(name, i));
        if (::mkdir(path.c_str(), 0777) == 0) {
            made = path;
            return true;
        }
        error = errno;
    }
    return false;
}

// Creates the first free variant name_000.ext, name_001.ext, ... in folder; 0 or the errno
// (EEXIST when all 1000 are taken).
int MakeUniqueFileName(const std::string& folder, const std::string& name, std::string& path) {
    int error = EEXIST;
    for (u32 i = 0; i < kUniqueFileTries; ++i) {
        const std::string candidate = Join(folder, UniqueFileVariant(name, i));
        error = CreateNewFile(candidate);
        if (error == 0) {
            path = candidate;
            return 0;
        }
        if (error != EEXIST) return error;
    }
    return error;
}

// Creates the target file in folder (in base when there is none), never over an existing file.
bool CreateTargetFile(const std::string& base, const std::string* folder, const std::string& name, std::string& path) {
    const std::string& where = folder != nullptr ? *folder : base;
    path = Join(where, name);
    int error = CreateNewFile(path);
    if (error == EEXIST) error = MakeUniqueFileName(where, name, path);
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
u32 WalkFolder(RecoverReadContext& context, const std::string& base, CFileNode* folder, const std::string& directory,
               RecoverCounts& counts) {
    struct Frame {
        CFileNode* next;
        bool hasDirectory;
        std::string directory;
    };
    std::vector<Frame> stack;
    stack.push_back({folder->GetFirstChild(), true, directory});
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
            const bool hasDirectory =
                frame.hasDirectory &&
                MakeUniqueDirectory(frame.directory, CleanSubfolderName(properties->GetName()), made);
            stack.push_back({child->GetFirstChild(), hasDirectory, std::move(made)});
            continue;
        }

        const std::string name = CleanFileName(properties->GetName());
        if (context.callback != nullptr && context.callback->OnFileName(name.c_str()) == kRecoverCancel) {
            return kRecoverCancelled;
        }
        std::string path;
        if (!CreateTargetFile(base, frame.hasDirectory ? &frame.directory : nullptr, name, path)) {
            ++counts.failed;
            LogInfo("Failed to recover file: %s", name.c_str());
            continue;
        }
        const u32 result = RecoverOneFile(context, child, path);
        CountFile(counts, result, context, SizeOf(child));
        // The file made for it goes again unless something of the file's own is in it.
        if ((result == kRecoverFailed || result == kRecoverCancelled) && !context.complete) ::unlink(path.c_str());
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
            m_result = RecoverOneFile(context, m_fileNode, m_targetPath);
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

    std::string top;
    if (!MakeUniqueDirectory(base, CleanTopFolderName(folder->GetFileProperties()->GetName()), top)) {
        m_result = kRecoverFailed;
        return m_result;
    }
    RecoverReadContext context;
    context.callback = callback;
    context.device = SourceDevice(device, folder);
    try {
        m_result = WalkFolder(context, base, folder, top, m_counts);
    } catch (...) {
        m_result = kRecoverFailed;
    }
    if (outPath != nullptr && outSize > 0) CopyUtf8Bounded(outPath, outSize, top);
    return m_result;
}
