// Speed of the complete scan with the RAW signature search. The benchmark makes (once) a 1 GiB
// image of mixed files laid out sector by sector as a wiped disk leaves them (incompressible
// data, text, JPEG photos, runs of zeros), then, on the page-cached image, times a plain
// sequential read and the complete scan with every deep search built so far, once with the RAW
// search and once without, and prints the rates, their ratios to the read and the peak memory.
//
//   raw_scan_bench [--content mixed|dense] [--image PATH] [--size-mib N] [--runs N]
//
// --content dense makes the image with bench/raw/make-dense-image.sh instead: real files of the
// carved kinds made by tools (photos, documents, archives, sound, the tool-made samples of the
// tests) back to back with a few volumes among them, as a camera card or a documents disk is. Most
// of its sectors belong to found files whose length the search has to measure.
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "bench/ScanBench.h"
#include "devices/ScanOptions.h"

namespace {

constexpr size_t kSector = 512;
constexpr size_t kMiB = 1 << 20;

// A JFIF photo: its segments, then scan data without marker bytes, then the end marker.
std::vector<u8> Photo(std::mt19937& rng, size_t entropy) {
    std::vector<u8> j = {0xFF, 0xD8, 0xFF, 0xE0, 0, 16, 'J', 'F', 'I', 'F', 0, 1, 1, 0, 0, 1, 0, 1, 0, 0,
                         0xFF, 0xDB, 0, 67, 0};
    for (int i = 0; i < 64; ++i) j.push_back(u8(1 + i));
    const u8 frame[] = {0xFF, 0xC0, 0, 17, 8, 0x07, 0x80, 0x0A, 0x00, 3, 1, 0x22, 0, 2, 0x11, 1, 3, 0x11, 1};
    j.insert(j.end(), std::begin(frame), std::end(frame));
    const u8 scan[] = {0xFF, 0xDA, 0, 12, 3, 1, 0, 2, 0x11, 3, 0x11, 0, 0x3F, 0};
    j.insert(j.end(), std::begin(scan), std::end(scan));
    for (size_t i = 0; i < entropy; ++i) j.push_back(u8(rng() % 255));
    j.insert(j.end(), {0xFF, 0xD9});
    return j;
}

// Files one after another, each from a sector boundary: a quarter photos, the rest random data,
// text and zero runs.
bool MakeImage(const std::string& image, size_t sizeMiB) {
    std::printf("making %s (%zu MiB of mixed files)...\n", image.c_str(), sizeMiB);
    std::fflush(stdout);
    std::mt19937 rng(20261207);
    std::vector<u8> disk(sizeMiB * kMiB, 0);
    size_t at = kMiB;
    size_t photos = 0;
    const std::string words = "the quick brown fox jumps over the lazy dog while the scan reads on ";
    while (at + kMiB < disk.size()) {
        const u32 kind = rng() % 4;
        size_t length = 4096 + rng() % (512 * 1024);
        if (kind == 0) {
            const std::vector<u8> photo = Photo(rng, length);
            std::copy(photo.begin(), photo.end(), disk.begin() + long(at));
            length = photo.size();
            ++photos;
        } else if (kind == 1) {
            for (size_t i = 0; i < length; ++i) disk[at + i] = u8(rng());
        } else if (kind == 2) {
            for (size_t i = 0; i < length; ++i) disk[at + i] = u8(words[i % words.size()]);
        }
        at += (length + kSector - 1) / kSector * kSector;
    }
    const int fd = ::open(image.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) return false;
    const bool ok = ::write(fd, disk.data(), disk.size()) == static_cast<ssize_t>(disk.size());
    ::close(fd);
    std::printf("  %zu photos\n", photos);
    return ok;
}

// The dense image comes from the script beside this file, run with the tools it names.
bool MakeDenseImage(const std::string& image, size_t sizeMiB) {
    const std::string script = std::string(MORVENDA_SOURCE_DIR) + "/bench/raw/make-dense-image.sh";
    std::printf("making %s with %s...\n", image.c_str(), script.c_str());
    std::fflush(stdout);
    const std::string command = "'" + script + "' '" + image + "' " + std::to_string(sizeMiB);
    const int status = std::system(command.c_str());
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

double PeakRssMiB() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_maxrss) / 1024.0;
}

struct ScanResult {
    double seconds = 0;
    u64 files = 0;
};

ScanResult Scan(const std::string& image, u32 scanRaw) {
    GetScanOptions().SetScanRaw(scanRaw);
    // The sink the scan driver uses: its go-on query is what the search asks sector by sector.
    CHeadlessProgress progress;
    progress.DoStart();
    scanbench::ScanRun run;
    if (!scanbench::TimedCompleteScan("raw_scan_bench", image, &progress, run)) return {};
    return {run.seconds, run.treeFiles};
}

}  // namespace

int main(int argc, char** argv) {
    std::string image;
    std::string content = "mixed";
    size_t sizeMiB = 1024;
    u32 runs = 3;
    auto option = [&](const std::string& a, const std::string& v) {
        if (a == "--image") image = v;
        else if (a == "--content") content = v;
        else if (a == "--size-mib") sizeMiB = std::strtoul(v.c_str(), nullptr, 10);
        else if (a == "--runs") runs = u32(std::strtoul(v.c_str(), nullptr, 10));
        else return false;
        return true;
    };
    if (!scanbench::ReadOptions("raw_scan_bench", argc, argv, option)) return 1;
    if (content != "mixed" && content != "dense") {
        std::fprintf(stderr, "raw_scan_bench: --content must be mixed or dense\n");
        return 1;
    }
    const bool dense = content == "dense";
    if (image.empty()) {
        // The dense image's name changes with what the script puts in it, so that an image kept
        // from an earlier script is not taken for it.
        image = scanbench::TempPath(std::string(dense ? "morvenda-raw-dense-rm-" : "morvenda-raw-bench-") +
                                    std::to_string(sizeMiB) + "M.img");
        const auto make = [&] { return dense ? MakeDenseImage(image, sizeMiB) : MakeImage(image, sizeMiB); };
        if (!scanbench::KeepOrMakeImage("raw_scan_bench", image, make)) return 1;
    }
    scanbench::ScanImageAsDisk(image);

    u64 bytes = 0;
    scanbench::SequentialRead(image, bytes);
    double bestRead = 1e9, bestRaw = 1e9, bestPlain = 1e9;
    u64 files = 0;
    for (u32 r = 0; r < runs; ++r) {
        bestRead = std::min(bestRead, scanbench::SequentialRead(image, bytes));
        const ScanResult withRaw = Scan(image, 1);
        const ScanResult without = Scan(image, 0);
        if (withRaw.seconds <= 0 || without.seconds <= 0) return 1;
        bestRaw = std::min(bestRaw, withRaw.seconds);
        bestPlain = std::min(bestPlain, without.seconds);
        files = withRaw.files;
    }
    const double gb = double(bytes) / 1e9;
    std::printf("image: %s (%s, %.0f MiB), best of %u runs\n", image.c_str(), content.c_str(),
                double(bytes) / double(kMiB), runs);
    std::printf("sequential read:                 %.3f s  %.2f GB/s\n", bestRead, gb / bestRead);
    std::printf("complete scan without RAW:       %.3f s  %.2f GB/s  (ratio to the read %.2f)\n", bestPlain,
                gb / bestPlain, bestRead / bestPlain);
    std::printf("complete scan with RAW search:   %.3f s  %.2f GB/s  (ratio to the read %.2f)\n", bestRaw,
                gb / bestRaw, bestRead / bestRaw);
    std::printf("carving costs %.2f times the scan without it\n", bestRaw / bestPlain);
    std::printf("files in the result tree: %llu\n", static_cast<unsigned long long>(files));
    std::printf("peak resident memory: %.1f MiB\n", PeakRssMiB());
    return 0;
}
