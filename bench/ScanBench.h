#pragma once
// What the complete-scan benchmarks share: their "--option value" reading, the image they make
// once under $TMPDIR and keep, the plain sequential read they measure the scan against, and one
// timed complete scan of that image as disk 0.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "devices/DiskDevice.h"
#include "engine/CompleteRecoveryController.h"
#include "engine/FileSystemNode.h"
#include "engine/HeadlessSinks.h"
#include "engine/Progress.h"
#include "engine/RecoveryFilter.h"
#include "platform/Log.h"
#include "plugins/Plugins.h"

namespace scanbench {

using Clock = std::chrono::steady_clock;

inline double Seconds(Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double>(b - a).count();
}

// Hands every "--option value" pair to option(name, value), which answers whether it knows the
// option; an unknown one is said on stderr and gives false.
inline bool ReadOptions(const char* program, int argc, char** argv,
                        const std::function<bool(const std::string&, const std::string&)>& option) {
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string a = argv[i], v = argv[i + 1];
        if (!option(a, v)) {
            std::fprintf(stderr, "%s: unknown option %s\n", program, a.c_str());
            return false;
        }
    }
    return true;
}

// `name` in $TMPDIR, or in /tmp without one.
inline std::string TempPath(const std::string& name) {
    const char* tmp = std::getenv("TMPDIR");
    return std::string(tmp && *tmp ? tmp : "/tmp") + "/" + name;
}

// The image kept from an earlier run, or one make() writes now; a failed one is removed and said
// on stderr.
inline bool KeepOrMakeImage(const char* program, const std::string& image, const std::function<bool()>& make) {
    struct stat st {};
    if (::stat(image.c_str(), &st) == 0 || make()) return true;
    std::fprintf(stderr, "%s: could not make %s\n", program, image.c_str());
    ::unlink(image.c_str());
    return false;
}

// The scans read the image as disk 0, with the engine's log off.
inline void ScanImageAsDisk(const std::string& image) {
    SetLoggingEnabled(false);
    RegisterAllPlugins();
    ::setenv("MORVENDA_DISKS", image.c_str(), 1);
}

// A plain sequential read of the whole file in 4 MiB pieces: its seconds, and its length in
// `bytes`.
inline double SequentialRead(const std::string& image, u64& bytes) {
    const int fd = ::open(image.c_str(), O_RDONLY);
    if (fd < 0) return 0;
    std::vector<u8> buffer(4 << 20);
    bytes = 0;
    const auto start = Clock::now();
    for (;;) {
        const ssize_t n = ::read(fd, buffer.data(), buffer.size());
        if (n <= 0) break;
        bytes += u64(n);
    }
    const auto end = Clock::now();
    ::close(fd);
    return Seconds(start, end);
}

struct ScanRun {
    double seconds = 0;
    u64 treeFiles = 0;
    size_t partitions = 0;
    ReadAheadStatistics readAhead;
};

// One complete scan of disk 0 (`image`) for every file type, timed; false, said on stderr, when the disk
// does not open or the scan answers an error.
inline bool TimedCompleteScan(const char* program, const std::string& image, IProgress* progress, ScanRun& run) {
    CDiskDevice disk(0);
    if (!disk.Open()) {
        std::fprintf(stderr, "%s: cannot open %s\n", program, image.c_str());
        return false;
    }
    CRecoveryFilter filter;
    filter.SetFileTypeMask(kFileTypeMaskAll);
    CHeadlessDirectoryTree tree;
    auto controller = std::make_unique<CCompleteRecoveryController>();
    controller->Initialize(&filter);
    const auto start = Clock::now();
    const u32 result = controller->Run(&disk, progress, &tree, "bench", 0);
    const auto end = Clock::now();
    if (result != 0) {
        std::fprintf(stderr, "%s: the scan answered 0x%x\n", program, result);
        return false;
    }
    run.seconds = Seconds(start, end);
    run.partitions = controller->GetFoundPartitions().size();
    run.readAhead = controller->GetReadAheadStatistics();
    run.treeFiles = 0;
    for (CFileSystemNode* root : tree.Roots()) run.treeFiles += CountTree(root).files;
    return true;
}

}  // namespace scanbench
