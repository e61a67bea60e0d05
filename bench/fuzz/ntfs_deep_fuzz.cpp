// Mutation-loop fuzzer of the NTFS deep search: damaged boot sectors, FILE and INDX records,
// journal restart and log pages on a disk that holds a volume behind a gap, read in blocks whose
// length cuts records at block ends, then evaluated, built into a found-partition tree and
// recovered. Build it in the sanitizer build with -DMORVENDA_FUZZ=ON and run, for example:
//   ntfs_deep_fuzz --fixtures BUILD/fixtures --scratch /tmp/deepfuzz --first 0 --count 100000 --seconds 600
// Every input is (seed image, seed number): the same pair gives the same disk, so a report's
// "input" line replays with --first SEED --count 1 --image INDEX.
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "NtfsDeepFuzzRoad.h"

extern "C" void __sanitizer_set_death_callback(void (*callback)()) __attribute__((weak));

namespace {

struct SeedImage {
    const char* file;
    u32 sectorSize;
    u64 leadSectors;
    bool wipeBoot;
};

const SeedImage kSeeds[] = {
    {"ntfs-basic.img", 512, 2048, true},
    {"sector4k.img", 4096, 256, false},
    {"ntfs-basic.img", 512, 0, false},
};

// Block lengths that cut records at block ends in different places, and the scan's own.
const u32 kBlockSectors[] = {9, 17, 64, 1000, 8192};

volatile sig_atomic_t g_image = -1;
volatile u64 g_seed = 0;

void SayInput(const char* why) {
    char line[160];
    const int n = std::snprintf(line, sizeof(line), "\nntfs_deep_fuzz: %s on input image %d seed %llu\n", why,
                                int(g_image), static_cast<unsigned long long>(g_seed));
    if (n > 0) (void)!::write(2, line, size_t(n));
}
void OnDeath() { SayInput("sanitizer report"); }
void OnAlarm(int) {
    SayInput("timeout");
    std::abort();
}

bool Load(const std::string& path, std::vector<u8>& out) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in) return false;
    out.resize(size_t(in.tellg()));
    in.seekg(0);
    return bool(in.read(reinterpret_cast<char*>(out.data()), std::streamsize(out.size())));
}

}  // namespace

int main(int argc, char** argv) {
    std::string fixtures = "build/fixtures", scratch = "/tmp/ntfs_deep_fuzz";
    u64 first = 0, count = 1000;
    int onlyImage = -1;
    u32 seconds = 0, timeout = 60;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string a = argv[i], v = argv[i + 1];
        if (a == "--fixtures") fixtures = v;
        else if (a == "--scratch") scratch = v;
        else if (a == "--first") first = std::strtoull(v.c_str(), nullptr, 10);
        else if (a == "--count") count = std::strtoull(v.c_str(), nullptr, 10);
        else if (a == "--image") onlyImage = std::atoi(v.c_str());
        else if (a == "--seconds") seconds = u32(std::strtoul(v.c_str(), nullptr, 10));
        else if (a == "--timeout") timeout = u32(std::strtoul(v.c_str(), nullptr, 10));
        else {
            std::fprintf(stderr, "ntfs_deep_fuzz: unknown option %s\n", a.c_str());
            return 1;
        }
    }
    if (__sanitizer_set_death_callback != nullptr) __sanitizer_set_death_callback(OnDeath);
    ::signal(SIGALRM, OnAlarm);

    const size_t seedCount = sizeof(kSeeds) / sizeof(kSeeds[0]);
    std::vector<std::vector<u8>> volumes(seedCount);
    std::vector<ntfsfuzz::ImageMap> maps(seedCount);
    for (size_t s = 0; s < seedCount; ++s) {
        if (!Load(fixtures + "/" + kSeeds[s].file, volumes[s])) {
            std::fprintf(stderr, "ntfs_deep_fuzz: cannot read %s in %s\n", kSeeds[s].file, fixtures.c_str());
            return 1;
        }
        maps[s] = ntfsfuzz::MapImage(volumes[s], kSeeds[s].sectorSize);
    }
    const auto start = std::chrono::steady_clock::now();
    u64 done = 0, chosen = 0, written = 0;
    for (u64 n = 0; n < count; ++n) {
        const u64 seed = first + n;
        const size_t s = onlyImage >= 0 ? size_t(onlyImage) % seedCount : size_t(seed % seedCount);
        g_image = int(s);
        g_seed = seed;
        const SeedImage& seedImage = kSeeds[s];
        std::vector<u8> disk = ntfsdeepfuzz::MakeDisk(volumes[s], seedImage.sectorSize, seedImage.leadSectors,
                                                      seedImage.wipeBoot);
        ntfsdeepfuzz::DeepMutator mutator(maps[s], seed * 0x9E3779B97F4A7C15ull + s);
        mutator.Mutate(disk, size_t(seedImage.leadSectors) * seedImage.sectorSize, volumes[s].size(),
                       seedImage.sectorSize);
        ntfsfuzz::BufferDevice device(disk, seedImage.sectorSize);
        const u32 block = kBlockSectors[seed % (sizeof(kBlockSectors) / sizeof(kBlockSectors[0]))];
        ::alarm(timeout);
        const ntfsdeepfuzz::DeepResult r =
            ntfsdeepfuzz::RunDeepRoad(&device, block, scratch + "." + std::to_string(::getpid()));
        ::alarm(0);
        ++done;
        chosen += r.chosen;
        written += r.filesWritten;
        const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (done % 20 == 0) {
            std::printf("%llu inputs, %.0f s: %llu partitions chosen, %llu files written\n",
                        static_cast<unsigned long long>(done), elapsed, static_cast<unsigned long long>(chosen),
                        static_cast<unsigned long long>(written));
            std::fflush(stdout);
        }
        if (seconds != 0 && elapsed >= seconds) break;
    }
    std::printf("done: %llu inputs from seed %llu\n", static_cast<unsigned long long>(done),
                static_cast<unsigned long long>(first));
    return 0;
}
