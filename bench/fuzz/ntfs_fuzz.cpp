// Mutation-loop fuzzer of the NTFS road. Build it in the sanitizer build with -DMORVENDA_FUZZ=ON
// and run, for example:
//   ASAN_OPTIONS=hard_rss_limit_mb=2048:max_allocation_size_mb=1024:allocator_may_return_null=0
//   ntfs_fuzz --fixtures BUILD/fixtures --scratch /tmp/ntfsfuzz --first 0 --count 100000 --seconds 600
// Every input is (seed image, seed number): the same pair gives the same mutated image, so a
// report's "input" line replays with --first SEED --count 1 --image INDEX. A hang beyond the
// per-input time limit aborts with the input named.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "NtfsFuzzRoad.h"
#include "platform/Log.h"
#include "plugins/Plugins.h"

// Present only in a sanitizer build.
extern "C" void __sanitizer_set_death_callback(void (*callback)()) __attribute__((weak));

namespace {

struct SeedImage {
    const char* file;
    u64 offset;  // bytes
    u64 length;  // bytes; 0: to the end
    u32 sectorSize;
};

const SeedImage kSeeds[] = {
    {"ntfs-basic.img", 0, 0, 512},
    {"sector4k.img", 0, 0, 4096},
    {"mbr-disk.img", 77824ull * 512, 24576ull * 512, 512},
    {"gpt-disk.img", 2048ull * 512, 40960ull * 512, 512},
};

volatile sig_atomic_t g_image = -1;
volatile u64 g_seed = 0;

void SayInput(const char* why) {
    char line[160];
    const int n = std::snprintf(line, sizeof(line), "\nntfs_fuzz: %s on input image %d seed %llu\n", why, int(g_image),
                                static_cast<unsigned long long>(g_seed));
    if (n > 0) (void)!::write(2, line, size_t(n));
}

void OnDeath() { SayInput("sanitizer report"); }

void OnFatal(int signal) {
    SayInput(signal == SIGABRT ? "abort" : "fatal signal");
    ::signal(signal, SIG_DFL);
    ::raise(signal);
}

void OnAlarm(int) {
    SayInput("timeout");
    std::abort();
}

bool Load(const std::string& folder, const SeedImage& seed, std::vector<u8>& out) {
    std::ifstream in(folder + "/" + seed.file, std::ios::binary | std::ios::ate);
    if (!in) return false;
    const u64 size = u64(in.tellg());
    if (seed.offset > size) return false;
    const u64 length = seed.length != 0 ? seed.length : size - seed.offset;
    if (length > size - seed.offset) return false;
    out.resize(length);
    in.seekg(std::streamoff(seed.offset));
    return bool(in.read(reinterpret_cast<char*>(out.data()), std::streamsize(length)));
}

}  // namespace

int main(int argc, char** argv) {
    std::string fixtures = "build/fixtures", scratch = "/tmp/ntfs_fuzz";
    u64 first = 0, count = 1000;
    int onlyImage = -1;
    u32 seconds = 0, timeout = 30;
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
            std::fprintf(stderr, "ntfs_fuzz: unknown option %s\n", a.c_str());
            return 1;
        }
    }
    if (__sanitizer_set_death_callback != nullptr) __sanitizer_set_death_callback(OnDeath);
    RegisterAllPlugins();
    ::signal(SIGALRM, OnAlarm);
    ::signal(SIGABRT, OnFatal);

    const size_t seedCount = sizeof(kSeeds) / sizeof(kSeeds[0]);
    std::vector<std::vector<u8>> clean(seedCount);
    std::vector<ntfsfuzz::ImageMap> maps(seedCount);
    for (size_t s = 0; s < seedCount; ++s) {
        if (!Load(fixtures, kSeeds[s], clean[s])) {
            std::fprintf(stderr, "ntfs_fuzz: cannot read %s in %s\n", kSeeds[s].file, fixtures.c_str());
            return 1;
        }
        maps[s] = ntfsfuzz::MapImage(clean[s], kSeeds[s].sectorSize);
        if (maps[s].logPages.empty()) ntfsfuzz::PlantJournal(clean[s], maps[s]);
        std::printf("%s: %zu records, %zu journal pages, %zu compressed ranges, %zu attribute lists\n",
                    kSeeds[s].file, maps[s].records.size(), maps[s].logPages.size(), maps[s].compressedData.size(),
                    maps[s].attributeLists.size());
    }

    // The input under way, for reports the sanitizers end without calling back.
    const int inputFile = ::open((scratch + ".input").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const auto start = std::chrono::steady_clock::now();
    std::vector<u8> work;
    u64 done = 0, written = 0, found = 0, searchErrors = 0, recognised = 0;
    for (u64 n = 0; n < count; ++n) {
        const u64 seed = first + n;
        const size_t s = onlyImage >= 0 ? size_t(onlyImage) % seedCount : size_t(seed % seedCount);
        g_image = int(s);
        g_seed = seed;
        if (inputFile >= 0) {
            char line[64];
            const int len = std::snprintf(line, sizeof(line), "image %d seed %llu\n", int(s),
                                          static_cast<unsigned long long>(seed));
            if (len > 0) (void)!::pwrite(inputFile, line, size_t(len), 0);
        }
        work = clean[s];
        ntfsfuzz::Mutator mutator(maps[s], seed * 0x9E3779B97F4A7C15ull + s);
        mutator.Mutate(work);
        ntfsfuzz::BufferDevice device(work, kSeeds[s].sectorSize);
        ::alarm(timeout);
        const auto inputStart = std::chrono::steady_clock::now();
        const ntfsfuzz::RoadResult r = ntfsfuzz::RunRoad(&device, scratch + "." + std::to_string(::getpid()));
        ::alarm(0);
        // Inputs far slower than the rest point at walks that are bounded only loosely.
        const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - inputStart).count();
        if (took > 2.0) {
            std::printf("slow input: image %zu seed %llu took %.1f s\n", s, static_cast<unsigned long long>(seed), took);
        }
        ++done;
        written += r.filesWritten;
        found += r.foundNodes;
        searchErrors += r.searchResult != 0;
        recognised += r.fsCode == kFsNtfs;
        const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (done % 50 == 0) {
            std::printf("%llu inputs, %.0f s: %llu nodes found, %llu files written, %llu searches refused, %llu "
                        "recognised\n",
                        static_cast<unsigned long long>(done), elapsed, static_cast<unsigned long long>(found),
                        static_cast<unsigned long long>(written), static_cast<unsigned long long>(searchErrors),
                        static_cast<unsigned long long>(recognised));
            std::fflush(stdout);
        }
        if (seconds != 0 && elapsed >= seconds) break;
    }
    std::printf("done: %llu inputs from seed %llu\n", static_cast<unsigned long long>(done),
                static_cast<unsigned long long>(first));
    return 0;
}
