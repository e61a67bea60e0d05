// A mutation loop over the FAT and exFAT deep searches: each input is a fixture volume behind a
// gap on a disk in memory (its boot sector wiped or not), damaged by a seeded mutator, read by
// the FAT or exFAT deep search in blocks of a length of its own, evaluated, built into a tree
// with its lost folders and recovered. Every tenth input also merges made-up sightings into
// candidates. An input is named by its image and seed, so `--image I --first S --count 1`
// replays it.
//
//   fat_deep_fuzz [--fixtures DIR] [--scratch DIR] [--first N] [--count N] [--image I]
//                 [--seconds N] [--timeout S]
//
// Build it in a sanitizer tree (-DMORVENDA_FUZZ=ON -DMORVENDA_SANITIZE=ON).
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "FatDeepFuzzRoad.h"

extern "C" void __sanitizer_set_death_callback(void (*callback)()) __attribute__((weak));

namespace {

struct SeedImage {
    const char* file;
    u64 leadSectors;
    bool wipeBoot;
    bool exfat;
};

const SeedImage kSeeds[] = {
    {"fat16-basic.img", 2048, true, false},
    {"fat32-basic.img", 63, false, false},
    {"fat32-basic.img", 2048, true, false},
    {"exfat-basic.img", 2048, true, true},
    {"fat12-small.img", 0, false, false},
};

const u32 kBlockSectors[] = {1, 7, 64, 1000, 8192};

volatile sig_atomic_t g_image = -1;
volatile u64 g_seed = 0;

void SayInput(const char* why) {
    char line[160];
    const int n = std::snprintf(line, sizeof(line), "\nfat_deep_fuzz: %s on input image %d seed %llu\n", why,
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
    std::string fixtures = "build/fixtures", scratch = "/tmp/fat_deep_fuzz";
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
            std::fprintf(stderr, "fat_deep_fuzz: unknown option %s\n", a.c_str());
            return 1;
        }
    }
    if (__sanitizer_set_death_callback != nullptr) __sanitizer_set_death_callback(OnDeath);
    ::signal(SIGALRM, OnAlarm);

    const size_t seedCount = sizeof(kSeeds) / sizeof(kSeeds[0]);
    std::vector<std::vector<u8>> volumes(seedCount);
    for (size_t s = 0; s < seedCount; ++s) {
        if (!Load(fixtures + "/" + kSeeds[s].file, volumes[s])) {
            std::fprintf(stderr, "fat_deep_fuzz: cannot read %s in %s\n", kSeeds[s].file, fixtures.c_str());
            return 1;
        }
    }
    const auto start = std::chrono::steady_clock::now();
    u64 done = 0, chosen = 0, written = 0;
    for (u64 n = 0; n < count; ++n) {
        const u64 seed = first + n;
        const size_t s = onlyImage >= 0 ? size_t(onlyImage) % seedCount : size_t(seed % seedCount);
        g_image = int(s);
        g_seed = seed;
        const SeedImage& seedImage = kSeeds[s];
        std::vector<u8> disk = fatdeepfuzz::MakeDisk(volumes[s], seedImage.leadSectors, seedImage.wipeBoot);
        fatdeepfuzz::DeepMutator(seed * 0x9E3779B97F4A7C15ull + s).Mutate(disk, size_t(seedImage.leadSectors) * 512);
        ntfsfuzz::BufferDevice device(disk, fatdeepfuzz::kSectorBytes);
        const u32 block = kBlockSectors[seed % (sizeof(kBlockSectors) / sizeof(kBlockSectors[0]))];
        const std::string out = scratch + "." + std::to_string(::getpid());
        ::alarm(timeout);
        const fatdeepfuzz::DeepResult r =
            seedImage.exfat ? fatdeepfuzz::RunDeepRoad<CExFatCompleteSearch>(&device, block, out)
                            : fatdeepfuzz::RunDeepRoad<CFatCompleteSearch>(&device, block, out);
        if (seed % 10 == 0) fatdeepfuzz::MergeMadeUpSightings(seed, device.GetTotalSectors());
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
