#include "platform/Errors.h"

#include <cerrno>

namespace {
thread_local u32 t_lastError = 0;
}

u32 Win32FromErrno(int err) {
    switch (err) {
        case 0: return win32::kSuccess;
        case ENOENT: return win32::kFileNotFound;
        case ENOTDIR: return win32::kPathNotFound;
        case EMFILE:
        case ENFILE: return win32::kTooManyOpenFiles;
        case EACCES:
        case EPERM:
        case EROFS: return win32::kAccessDenied;
        case EBADF: return win32::kInvalidHandle;
        case ENOMEM: return win32::kNotEnoughMemory;
        case ENOMEDIUM:
        case EBUSY:
        case EAGAIN: return win32::kNotReady;
        case EIO: return win32::kIoDevice;
        case ENXIO:
        case ENODEV: return win32::kDeviceNotConnected;
        case ESPIPE: return win32::kSeek;
        case EEXIST: return win32::kFileExists;
        case EINVAL: return win32::kInvalidParameter;
        case ENOSPC: return win32::kDiskFull;
        case ENOTSUP: return win32::kNotSupported;
        case ERANGE:
        case EOVERFLOW: return win32::kInsufficientBuffer;
        default: return win32::kGenFailure;
    }
}

u32 GetLastErrorCode() { return t_lastError; }
void SetLastErrorCode(u32 code) { t_lastError = code; }
u32 SetLastErrorFromErrno() {
    t_lastError = Win32FromErrno(errno);
    return t_lastError;
}
