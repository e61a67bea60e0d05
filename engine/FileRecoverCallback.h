#pragma once
// Progress and cancellation of the recovered-file writer: the export-progress dialog and the
// browser's previews implement it. Every operation answers -1 to cancel, 0 to go on.
#include "platform/Types.h"

class IFileRecoverCallback {
public:
    // The caller announces the job itself; the writer never calls it.
    virtual i32 OnBegin(u32 fileCount, u64 totalBytes) = 0;
    // 1 after each file is written and its times set.
    virtual i32 OnFilesDone(u32 n) = 0;
    // After each block of data written.
    virtual i32 OnBytesDone(u64 n) = 0;
    // Once per written file: the bytes written beyond the file's size (encrypted files only).
    virtual i32 OnStep(u32 n) = 0;
    // Before each file.
    virtual i32 OnFileName(const char* name) = 0;
    // Polled during long steps (compression units, encrypted-file restore).
    virtual i32 IsCancelled() = 0;

protected:
    // Never deleted through this interface.
    ~IFileRecoverCallback() = default;
};

constexpr i32 kRecoverCancel = -1;
