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
#include <string>
#include <vector>

#include "FuzzHarness.h"
#include "NtfsFuzzRoad.h"
#include "plugins/Plugins.h"

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

void OnFatal(int signal) {
    fuzzharness::SayInput(signal == SIGABRT ? "abort" : "fatal signal");
    ::signal(signal, SIG_DFL);
    ::raise(signal);
}

}  // namespace

int main(int argc, char** argv) {
    fuzzharness::Options options;
    options.scratch = "/tmp/ntfs_fuzz";
    options.timeout = 30;
    if (!fuzzharness::StartHarness("ntfs_fuzz", argc, argv, options)) return 1;
    RegisterAllPlugins();
    ::signal(SIGABRT, OnFatal);

    const size_t seedCount = sizeof(kSeeds) / sizeof(kSeeds[0]);
    std::vector<std::vector<u8>> clean(seedCount);
    std::vector<ntfsfuzz::ImageMap> maps(seedCount);
    for (size_t s = 0; s < seedCount; ++s) {
        const SeedImage& seed = kSeeds[s];
        if (!fuzzharness::LoadFile(options.fixtures + "/" + seed.file, clean[s], seed.offset, seed.length)) {
            std::fprintf(stderr, "ntfs_fuzz: cannot read %s in %s\n", seed.file, options.fixtures.c_str());
            return 1;
        }
        maps[s] = ntfsfuzz::MapImage(clean[s], seed.sectorSize);
        if (maps[s].logPages.empty()) ntfsfuzz::PlantJournal(clean[s], maps[s]);
        std::printf("%s: %zu records, %zu journal pages, %zu compressed ranges, %zu attribute lists\n", seed.file,
                    maps[s].records.size(), maps[s].logPages.size(), maps[s].compressedData.size(),
                    maps[s].attributeLists.size());
    }

    // The input under way, for reports the sanitizers end without calling back.
    const int inputFile = ::open((options.scratch + ".input").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<u8> work;
    u64 written = 0, found = 0, searchErrors = 0, recognised = 0;
    auto run = [&](u64 seed, size_t s) {
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
        ::alarm(options.timeout);
        const auto inputStart = std::chrono::steady_clock::now();
        const ntfsfuzz::RoadResult r = ntfsfuzz::RunRoad(&device, options.scratch + "." + std::to_string(::getpid()));
        ::alarm(0);
        // Inputs far slower than the rest point at walks that are bounded only loosely.
        const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - inputStart).count();
        if (took > 2.0) {
            std::printf("slow input: image %zu seed %llu took %.1f s\n", s, static_cast<unsigned long long>(seed),
                        took);
        }
        written += r.filesWritten;
        found += r.foundNodes;
        searchErrors += r.searchResult != 0;
        recognised += r.fsCode == kFsNtfs;
    };
    fuzzharness::RunInputs(options, seedCount, 50, run, [&](u64 done, double elapsed) {
        std::printf("%llu inputs, %.0f s: %llu nodes found, %llu files written, %llu searches refused, %llu "
                    "recognised\n",
                    static_cast<unsigned long long>(done), elapsed, static_cast<unsigned long long>(found),
                    static_cast<unsigned long long>(written), static_cast<unsigned long long>(searchErrors),
                    static_cast<unsigned long long>(recognised));
    });
    return 0;
}
