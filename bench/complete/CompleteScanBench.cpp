// Speed and memory of the complete scan on a large volume. The benchmark makes (once) a 1 GiB
// image of the chosen file system filled with tens of thousands of files, then, on the
// page-cached image, times a plain sequential read of the file and the complete scan with every
// deep search, and prints both rates, their ratio and the peak resident memory. Speed is
// measured here and nowhere else.
//
//   complete_scan_bench [--fs ntfs|fat32|exfat] [--image PATH] [--files N] [--size-mib N] [--runs N]
//
// Without --image the image is made under $TMPDIR (or /tmp) as morvenda-bench-<files>-<size>M.img
// (NTFS) or morvenda-bench-<fs>-<files>-<size>M.img and kept for later runs; making it needs
// mkntfs and ntfs-3g, mkfs.fat and mcopy, or mkfs.exfat and mount.exfat-fuse, and fusermount.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "bench/ScanBench.h"

namespace {

using scanbench::Clock;

long PeakRssKiB() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

int Run(const std::string& command) {
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Writes `files` files of 1 to 24 KiB (one in 97 of 256 to 512 KiB) into folders of 500 below
// root: about 660 MiB for 40000 files.
bool WriteFiles(const std::string& root, u32 files) {
    std::mt19937 rng(20261207);
    std::vector<char> data(1 << 20);
    for (char& c : data) c = static_cast<char>(rng());
    bool ok = true;
    for (u32 i = 0; i < files && ok; ++i) {
        const std::string folder = root + "/dir" + std::to_string(i / 500);
        if (i % 500 == 0) ::mkdir(folder.c_str(), 0755);
        const size_t size = (i % 97 == 0) ? (256u << 10) + rng() % (256u << 10) : 1024 + rng() % (23u << 10);
        const std::string path = folder + "/file" + std::to_string(i) + (i % 3 == 0 ? ".jpg" : ".txt");
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd < 0) {
            std::perror(path.c_str());
            return false;
        }
        const size_t at = rng() % (data.size() - size);
        ok = ::write(fd, data.data() + at, size) == static_cast<ssize_t>(size);
        if (!ok) std::perror(path.c_str());
        ::close(fd);
    }
    return ok;
}

bool Step(const char* what, bool ok) {
    if (!ok) std::fprintf(stderr, "complete_scan_bench: %s failed\n", what);
    return ok;
}

bool MakeImage(const std::string& image, const std::string& fs, u32 files, u32 sizeMiB) {
    const std::string mount = image + ".mnt";
    std::printf("making %s: %s, %u MiB, %u files...\n", image.c_str(), fs.c_str(), sizeMiB, files);
    std::fflush(stdout);
    if (!Step("truncate", Run("truncate -s " + std::to_string(sizeMiB) + "M '" + image + "'") == 0)) return false;
    if (fs == "fat32") {
        // mtools fills the image without a mount: the files are made beside it and copied in.
        if (!Step("mkfs.fat", Run("mkfs.fat -F 32 -n BENCH '" + image + "' >/dev/null") == 0)) return false;
        ::mkdir(mount.c_str(), 0700);
        bool ok = WriteFiles(mount, files);
        ok = ok && Step("mcopy", Run("mcopy -s -Q -i '" + image + "' '" + mount + "'/* ::/") == 0);
        Run("rm -rf '" + mount + "'");
        return ok;
    }
    const bool exfat = fs == "exfat";
    const std::string format = exfat ? "mkfs.exfat -c 4096 -L BENCH '" + image + "' >/dev/null 2>&1"
                                     : "mkntfs -Q -F -q -L BENCH '" + image + "' >/dev/null 2>&1";
    if (!Step(exfat ? "mkfs.exfat" : "mkntfs", Run(format) == 0)) return false;
    ::mkdir(mount.c_str(), 0700);
    // exfat-fuse mounts only block devices: the image is attached to a loop device first.
    std::string source = image;
    const std::string loopFile = image + ".loop";
    if (exfat) {
        if (!Step("losetup", Run("losetup -f --show '" + image + "' > '" + loopFile + "'") == 0)) return false;
        source.clear();
        if (FILE* f = std::fopen(loopFile.c_str(), "r")) {
            char line[256] = {};
            if (std::fgets(line, sizeof(line), f)) source = line;
            std::fclose(f);
        }
        ::unlink(loopFile.c_str());
        while (!source.empty() && (source.back() == '\n' || source.back() == '\r')) source.pop_back();
        if (!Step("losetup output", !source.empty())) return false;
    }
    const std::string mountCommand = (exfat ? "mount.exfat-fuse '" : "ntfs-3g '") + source + "' '" + mount + "'";
    bool ok = Step(exfat ? "mount.exfat-fuse" : "ntfs-3g", Run(mountCommand) == 0);
    if (ok) {
        ok = WriteFiles(mount, files);
        Run("sync");
        Run("fusermount -u '" + mount + "' || umount '" + mount + "'");
    }
    if (exfat) Run("losetup -d '" + source + "'");
    ::rmdir(mount.c_str());
    return ok;
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
    std::string fs = "ntfs";
    u32 files = 40000, sizeMiB = 1024, runs = 3;
    auto option = [&](const std::string& a, const std::string& v) {
        if (a == "--image") image = v;
        else if (a == "--fs") fs = v;
        else if (a == "--files") files = u32(std::strtoul(v.c_str(), nullptr, 10));
        else if (a == "--size-mib") sizeMiB = u32(std::strtoul(v.c_str(), nullptr, 10));
        else if (a == "--runs") runs = u32(std::strtoul(v.c_str(), nullptr, 10));
        else return false;
        return true;
    };
    if (!scanbench::ReadOptions("complete_scan_bench", argc, argv, option)) return 1;
    if (fs != "ntfs" && fs != "fat32" && fs != "exfat") {
        std::fprintf(stderr, "complete_scan_bench: --fs must be ntfs, fat32 or exfat\n");
        return 1;
    }
    if (image.empty()) {
        image = scanbench::TempPath("morvenda-bench-" + (fs == "ntfs" ? "" : fs + "-") + std::to_string(files) + "-" +
                                    std::to_string(sizeMiB) + "M.img");
        if (!scanbench::KeepOrMakeImage("complete_scan_bench", image,
                                        [&] { return MakeImage(image, fs, files, sizeMiB); })) {
            return 1;
        }
    }
    scanbench::ScanImageAsDisk(image);

    // The first pass brings the file into the page cache.
    u64 bytes = 0;
    scanbench::SequentialRead(image, bytes);
    const long rssBefore = PeakRssKiB();
    double bestRead = 1e9, bestScan = 1e9, bestLoop = 1e9;
    u64 treeFiles = 0, found = 0;
    ReadAheadStatistics readAhead;
    for (u32 r = 0; r < runs; ++r) {
        bestRead = std::min(bestRead, scanbench::SequentialRead(image, bytes));
        TimingProgress progress;
        scanbench::ScanRun run;
        if (!scanbench::TimedCompleteScan("complete_scan_bench", image, &progress, run)) return 1;
        bestScan = std::min(bestScan, run.seconds);
        bestLoop = std::min(bestLoop, scanbench::Seconds(progress.loopStart, progress.loopEnd));
        found = run.partitions;
        readAhead = run.readAhead;
        treeFiles = run.treeFiles;
    }
    const double mib = double(bytes) / (1024.0 * 1024.0);
    const double readRate = double(bytes) / bestRead / 1e9;
    const double loopRate = double(bytes) / bestLoop / 1e9;
    const double scanRate = double(bytes) / bestScan / 1e9;
    std::printf("image: %s (%s, %.0f MiB), best of %u runs\n", image.c_str(), fs.c_str(), mib, runs);
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
