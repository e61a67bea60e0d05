// Speed and memory of the complete scan on a large NTFS volume. The benchmark makes (once) a
// 1 GiB image formatted by mkntfs and filled through ntfs-3g with tens of thousands of files,
// then, on the page-cached image, times a plain sequential read of the file and the complete
// scan with the NTFS deep search, and prints both rates, their ratio and the peak resident
// memory. Speed is measured here and nowhere else.
//
//   complete_scan_bench [--image PATH] [--files N] [--size-mib N] [--runs N]
//
// Without --image the image is made under $TMPDIR (or /tmp) as morvenda-bench-<files>-<size>M.img and
// kept for later runs; making it needs mkntfs, ntfs-3g and fusermount.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "devices/DiskDevice.h"
#include "engine/CompleteRecoveryController.h"
#include "engine/DirectoryTreeBuilder.h"
#include "engine/FileSystemNode.h"
#include "engine/HeadlessSinks.h"
#include "engine/Progress.h"
#include "engine/RecoveryFilter.h"
#include "platform/Log.h"
#include "plugins/Plugins.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point a, Clock::time_point b) { return std::chrono::duration<double>(b - a).count(); }

long PeakRssKiB() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

int Run(const std::string& command) {
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool Exists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

// Writes `files` files of 1 to 24 KiB (one in 97 of 256 to 512 KiB) into folders of 500 through
// ntfs-3g: about 660 MiB for 40000 files.
bool MakeImage(const std::string& image, u32 files, u32 sizeMiB) {
    const std::string mount = image + ".mnt";
    std::printf("making %s: %u MiB, %u files (mkntfs, ntfs-3g)...\n", image.c_str(), sizeMiB, files);
    std::fflush(stdout);
    auto step = [](const char* what, bool ok) {
        if (!ok) std::fprintf(stderr, "complete_scan_bench: %s failed\n", what);
        return ok;
    };
    if (!step("truncate", Run("truncate -s " + std::to_string(sizeMiB) + "M '" + image + "'") == 0)) return false;
    if (!step("mkntfs", Run("mkntfs -Q -F -q -L BENCH '" + image + "' >/dev/null 2>&1") == 0)) return false;
    ::mkdir(mount.c_str(), 0700);
    if (!step("ntfs-3g", Run("ntfs-3g '" + image + "' '" + mount + "'") == 0)) return false;
    std::mt19937 rng(20261207);
    std::vector<char> data(1 << 20);
    for (char& c : data) c = static_cast<char>(rng());
    bool ok = true;
    for (u32 i = 0; i < files && ok; ++i) {
        const std::string folder = mount + "/dir" + std::to_string(i / 500);
        if (i % 500 == 0) ::mkdir(folder.c_str(), 0755);
        const size_t size = (i % 97 == 0) ? (256u << 10) + rng() % (256u << 10) : 1024 + rng() % (23u << 10);
        const std::string path = folder + "/file" + std::to_string(i) + (i % 3 == 0 ? ".jpg" : ".txt");
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd < 0) {
            std::perror(path.c_str());
            ok = false;
            break;
        }
        const size_t at = rng() % (data.size() - size);
        ok = ::write(fd, data.data() + at, size) == static_cast<ssize_t>(size);
        if (!ok) std::perror(path.c_str());
        ::close(fd);
    }
    Run("sync");
    Run("fusermount -u '" + mount + "' || umount '" + mount + "'");
    ::rmdir(mount.c_str());
    return ok;
}

// A plain sequential read of the whole file in 4 MiB pieces.
double SequentialRead(const std::string& image, u64& bytes) {
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

// Counts the records and keeps the time of the block loop's end.
class TimingProgress : public IProgress {
public:
    i32 OnProgress(const ProgressInfo* r) override {
        if (r->Type == kProgressPhaseBegins) loopStart = Clock::now();
        if (r->Type == kProgressPhaseDone) loopEnd = Clock::now();
        return 1;
    }
    u32 Continued() override { return 1; }
    u32 GetState() override { return kProgressRunning; }
    Clock::time_point loopStart, loopEnd;
};

}  // namespace

int main(int argc, char** argv) {
    std::string image;
    u32 files = 40000, sizeMiB = 1024, runs = 3;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string a = argv[i], v = argv[i + 1];
        if (a == "--image") image = v;
        else if (a == "--files") files = u32(std::strtoul(v.c_str(), nullptr, 10));
        else if (a == "--size-mib") sizeMiB = u32(std::strtoul(v.c_str(), nullptr, 10));
        else if (a == "--runs") runs = u32(std::strtoul(v.c_str(), nullptr, 10));
        else {
            std::fprintf(stderr, "complete_scan_bench: unknown option %s\n", a.c_str());
            return 1;
        }
    }
    if (image.empty()) {
        const char* tmp = std::getenv("TMPDIR");
        image = std::string(tmp && *tmp ? tmp : "/tmp") + "/morvenda-bench-" + std::to_string(files) + "-" +
                std::to_string(sizeMiB) + "M.img";
        if (!Exists(image) && !MakeImage(image, files, sizeMiB)) {
            std::fprintf(stderr, "complete_scan_bench: could not make %s\n", image.c_str());
            ::unlink(image.c_str());
            return 1;
        }
    }
    SetLoggingEnabled(false);
    RegisterAllPlugins();
    ::setenv("MORVENDA_DISKS", image.c_str(), 1);

    // The first pass brings the file into the page cache.
    u64 bytes = 0;
    SequentialRead(image, bytes);
    const long rssBefore = PeakRssKiB();
    double bestRead = 1e9, bestScan = 1e9, bestLoop = 1e9;
    u64 treeFiles = 0, found = 0;
    ReadAheadStatistics readAhead;
    for (u32 r = 0; r < runs; ++r) {
        bestRead = std::min(bestRead, SequentialRead(image, bytes));

        CDiskDevice disk(0);
        if (!disk.Open()) {
            std::fprintf(stderr, "complete_scan_bench: cannot open %s\n", image.c_str());
            return 1;
        }
        CRecoveryFilter filter;
        filter.SetFileTypeMask(kFileTypeMaskAll);
        CHeadlessDirectoryTree tree;
        TimingProgress progress;
        auto controller = std::make_unique<CCompleteRecoveryController>();
        controller->Initialize(&filter);
        const auto start = Clock::now();
        const u32 result = controller->Run(&disk, &progress, &tree, "bench", 0);
        const auto end = Clock::now();
        if (result != 0) {
            std::fprintf(stderr, "complete_scan_bench: the scan answered 0x%x\n", result);
            return 1;
        }
        bestScan = std::min(bestScan, Seconds(start, end));
        bestLoop = std::min(bestLoop, Seconds(progress.loopStart, progress.loopEnd));
        found = controller->GetFoundPartitions().size();
        readAhead = controller->GetReadAheadStatistics();
        treeFiles = 0;
        for (CFileSystemNode* root : tree.Roots()) treeFiles += CountTree(root).files;
    }
    const double mib = double(bytes) / (1024.0 * 1024.0);
    const double readRate = double(bytes) / bestRead / 1e9;
    const double loopRate = double(bytes) / bestLoop / 1e9;
    const double scanRate = double(bytes) / bestScan / 1e9;
    std::printf("image: %s (%.0f MiB), best of %u runs\n", image.c_str(), mib, runs);
    std::printf("sequential read:          %.3f s  %.2f GB/s\n", bestRead, readRate);
    std::printf("complete scan, block loop: %.3f s  %.2f GB/s\n", bestLoop, loopRate);
    std::printf("complete scan, whole run:  %.3f s  %.2f GB/s  (ratio to the read %.2f)\n", bestScan, scanRate,
                scanRate / readRate);
    std::printf("read-ahead: %llu blocks ready, %llu read on demand, %.3f s waited\n",
                static_cast<unsigned long long>(readAhead.queuedBlocks),
                static_cast<unsigned long long>(readAhead.directBlocks), double(readAhead.waitMicroseconds) / 1e6);
    std::printf("found %llu partition(s), %llu files in the tree\n", static_cast<unsigned long long>(found),
                static_cast<unsigned long long>(treeFiles));
    std::printf("peak resident memory: %.1f MiB (%.1f MiB before the scans)\n", double(PeakRssKiB()) / 1024.0,
                double(rssBefore) / 1024.0);
    return 0;
}
