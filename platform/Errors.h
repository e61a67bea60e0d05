#pragma once
// Win32 error codes that the program tests, and a thread-local last error fed from errno.
#include "platform/Types.h"

namespace win32 {
constexpr u32 kSuccess = 0;
constexpr u32 kFileNotFound = 2;
constexpr u32 kPathNotFound = 3;
constexpr u32 kTooManyOpenFiles = 4;
constexpr u32 kAccessDenied = 5;
constexpr u32 kInvalidHandle = 6;
constexpr u32 kNotEnoughMemory = 8;
constexpr u32 kNotReady = 21;
constexpr u32 kCrc = 23;
constexpr u32 kSeek = 25;
constexpr u32 kSectorNotFound = 27;
constexpr u32 kWriteFault = 29;
constexpr u32 kReadFault = 30;
constexpr u32 kGenFailure = 31;
constexpr u32 kSharingViolation = 32;
constexpr u32 kHandleEof = 38;
constexpr u32 kNotSupported = 50;
constexpr u32 kFileExists = 80;
constexpr u32 kInvalidParameter = 87;
constexpr u32 kDiskFull = 112;
constexpr u32 kInsufficientBuffer = 122;
constexpr u32 kAlreadyExists = 183;
constexpr u32 kNoMediaInDrive = 1112;
constexpr u32 kIoDevice = 1117;
constexpr u32 kDeviceNotConnected = 1167;
}  // namespace win32

// Maps an errno value to the Win32 code callers test (ENOMEDIUM and EBUSY read as "not ready").
u32 Win32FromErrno(int err);

u32 GetLastErrorCode();
void SetLastErrorCode(u32 code);
// Sets the last error from the current errno and returns the mapped code.
u32 SetLastErrorFromErrno();
