#pragma once
// A recovery callback that counts the files and bytes the writer reports and never cancels; tests
// derive from it to record or cancel more. Header-only, so that the support library needs no
// engine code.
#include "engine/FileRecoverCallback.h"

namespace testutil {

struct CountingRecoverCallback : IFileRecoverCallback {
    i32 OnBegin(u32, u64) override { return 0; }
    i32 OnFilesDone(u32 n) override {
        files += n;
        return 0;
    }
    i32 OnBytesDone(u64 n) override {
        bytes += n;
        return 0;
    }
    i32 OnStep(u32) override { return 0; }
    i32 OnFileName(const char*) override { return 0; }
    i32 IsCancelled() override { return 0; }

    u32 files = 0;
    u64 bytes = 0;
};

}  // namespace testutil
