// Mutation-loop fuzzing of the saved-result contents. Run it from the sanitizer build:
//
//   saved_fuzz --fixtures DIR [--seed S] [--iterations N] [--seconds T] [--work DIR] [--max-rss-mib M]
//
// Each iteration either damages the folder-list, volume and trees sections of a real result (the
// quick-search trees of ntfs-basic.img and fat16-basic.img) and loads them as the import does, or
// writes such a result and damages its stored form (chunk headers, compressed chunks, chunks
// forged to inflate to one value and repeated, section lengths) before loading it, or
// damages a compressed disk image of fat16-basic.img (its index, block table, part list or parts)
// and reads it whole, or damages the VBLK area of a dynamic disk group and joins, parses and links
// its records. The seed
// of the running iteration is kept in WORK/saved_fuzz.current, so a crash or a hang (an iteration
// over 20 s aborts) can be replayed with --seed and --iterations 1. A run whose peak resident
// memory passes M MiB (1024 unless given) exits with 1.
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "bench/fuzz/savedFuzz.h"
#include "fs/fat/FatQuickSearch.h"
#include "fs/ntfs/NTFSQuickSearch.h"
#include "plugins/Plugins.h"

namespace {

constexpr unsigned kIterationSeconds = 20;
volatile u64 g_seed = 0;

void OnAlarm(int) {
    char line[96];
    const int n = std::snprintf(line, sizeof line, "saved_fuzz: iteration over %u s (seed %" PRIu64 ")\n",
                                kIterationSeconds, static_cast<u64>(g_seed));
    if (n > 0) (void)!::write(2, line, static_cast<size_t>(n));
    std::abort();
}

}  // namespace

int main(int argc, char** argv) {
    std::string fixtures;
    std::string work = "/dev/shm";
    u64 seed = 1;
    u64 iterations = ~0ull;
    u64 seconds = 60;
    u64 mostResidentMiB = 1024;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string k = argv[i];
        const std::string v = argv[i + 1];
        if (k == "--fixtures") fixtures = v;
        else if (k == "--work") work = v;
        else if (k == "--seed") seed = std::strtoull(v.c_str(), nullptr, 10);
        else if (k == "--iterations") iterations = std::strtoull(v.c_str(), nullptr, 10);
        else if (k == "--seconds") seconds = std::strtoull(v.c_str(), nullptr, 10);
        else if (k == "--max-rss-mib") mostResidentMiB = std::strtoull(v.c_str(), nullptr, 10);
    }
    if (fixtures.empty()) {
        std::fprintf(stderr, "saved_fuzz: --fixtures DIR is needed\n");
        return 2;
    }
    ::signal(SIGALRM, OnAlarm);
    RegisterAllPlugins();
    const savedfuzz::Sections seeds[] = {
        savedfuzz::SeedSections(fixtures + "/ntfs-basic.img",
                                std::unique_ptr<IQuickFileSystemSearchController>(CreateNTFSQuickSearch())),
        savedfuzz::SeedSections(fixtures + "/fat16-basic.img", std::make_unique<CFATQuickSearch>()),
    };
    for (const auto& s : seeds) {
        if (s.trees.empty()) {
            std::fprintf(stderr, "saved_fuzz: a seed image gave no tree\n");
            return 2;
        }
    }
    const std::string tag = std::to_string(::getpid());
    const std::string path = work + "/saved_fuzz_" + tag + ".rsf";
    const std::vector<u8> raw = testutil::ReadImageFile(fixtures + "/fat16-basic.img");
    const savedfuzz::ImageSeed images[] = {
        savedfuzz::MakeImageSeed(raw, work + "/saved_fuzz_" + tag + "_z.idx", kCompressionZlib),
        savedfuzz::MakeImageSeed(raw, work + "/saved_fuzz_" + tag + "_b.idx", kCompressionBzip2),
    };
    const std::string current = work + "/saved_fuzz.current";
    const std::vector<u8> ldmArea = savedfuzz::LdmSeedArea();
    const std::string scratch = work + "/saved_fuzz_" + tag + "_chunk.rsf";
    u64 done = 0, loadedTrees = 0, failures = 0, imagesRead = 0, completeVolumes = 0, storedRounds = 0;
    const auto started = std::chrono::steady_clock::now();
    for (u64 i = 0; i < iterations; ++i) {
        if (std::chrono::steady_clock::now() - started > std::chrono::seconds(seconds)) break;
        g_seed = seed + i;
        if (FILE* f = std::fopen(current.c_str(), "w")) {
            std::fprintf(f, "%" PRIu64 "\n", seed + i);
            std::fclose(f);
        }
        devfuzz::Rng rng(seed + i);
        ::alarm(kIterationSeconds);
        const u64 road = rng.Below(4);
        if (road == 0) {
            completeVolumes += savedfuzz::FuzzLdm(rng, ldmArea).complete;
        } else if (road == 1 && rng.OneIn(2)) {
            imagesRead += savedfuzz::FuzzImage(rng, images[rng.Below(2)]).readAll ? 1 : 0;
        } else if (road == 3) {
            const savedfuzz::Outcome o = savedfuzz::FuzzStoredChunks(rng, seeds[rng.Below(2)], path, scratch);
            loadedTrees += o.roots;
            failures += o.failures;
            ++storedRounds;
        } else {
            const savedfuzz::Outcome o = savedfuzz::FuzzSections(rng, seeds[rng.Below(2)], path);
            loadedTrees += o.roots;
            failures += o.failures;
        }
        ::alarm(0);
        ++done;
    }
    ::unlink(path.c_str());
    ::unlink(scratch.c_str());
    for (const auto& image : images) {
        for (const std::string& p : image.paths) ::unlink(p.c_str());
    }
    std::printf("saved_fuzz: %" PRIu64 " iterations (%" PRIu64 " with damaged stored chunks), %" PRIu64
                " trees loaded, %" PRIu64 " loads failed cleanly, %" PRIu64 " damaged images read whole, %" PRIu64
                " complete volumes in damaged databases\n",
                done, storedRounds, loadedTrees, failures, imagesRead, completeVolumes);
    // Loads of files of a few megabytes must take memory of that order: a peak past the bound
    // means some length read from a file was trusted beyond what the file holds.
    struct rusage usage {};
    const u64 peakMiB = ::getrusage(RUSAGE_SELF, &usage) == 0 ? static_cast<u64>(usage.ru_maxrss) / 1024 : 0;
    std::printf("saved_fuzz: peak resident memory %" PRIu64 " MiB (bound %" PRIu64 " MiB)\n", peakMiB, mostResidentMiB);
    if (peakMiB > mostResidentMiB) {
        std::fprintf(stderr, "saved_fuzz: peak resident memory %" PRIu64 " MiB is past %" PRIu64 " MiB\n", peakMiB,
                     mostResidentMiB);
        return 1;
    }
    return 0;
}
