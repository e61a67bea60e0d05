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
#include <unistd.h>

#include <string>
#include <vector>

#include "FatDeepFuzzRoad.h"

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

}  // namespace

int main(int argc, char** argv) {
    fuzzharness::Options options;
    options.scratch = "/tmp/fat_deep_fuzz";
    if (!fuzzharness::StartHarness("fat_deep_fuzz", argc, argv, options)) return 1;

    const size_t seedCount = sizeof(kSeeds) / sizeof(kSeeds[0]);
    std::vector<std::vector<u8>> volumes;
    if (!fuzzharness::LoadSeedImages(options, kSeeds, volumes)) return 1;
    u64 chosen = 0, written = 0;
    auto run = [&](u64 seed, size_t s) {
        const SeedImage& seedImage = kSeeds[s];
        std::vector<u8> disk = fatdeepfuzz::MakeDisk(volumes[s], seedImage.leadSectors, seedImage.wipeBoot);
        fatdeepfuzz::DeepMutator(seed * 0x9E3779B97F4A7C15ull + s).Mutate(disk, size_t(seedImage.leadSectors) * 512);
        ntfsfuzz::BufferDevice device(disk, fatdeepfuzz::kSectorBytes);
        const u32 block = kBlockSectors[seed % (sizeof(kBlockSectors) / sizeof(kBlockSectors[0]))];
        const std::string out = options.scratch + "." + std::to_string(::getpid());
        ::alarm(options.timeout);
        const fatdeepfuzz::DeepResult r =
            seedImage.exfat ? fatdeepfuzz::RunDeepRoad<CExFatCompleteSearch>(&device, block, out)
                            : fatdeepfuzz::RunDeepRoad<CFatCompleteSearch>(&device, block, out);
        if (seed % 10 == 0) fatdeepfuzz::MergeMadeUpSightings(seed, device.GetTotalSectors());
        ::alarm(0);
        chosen += r.chosen;
        written += r.filesWritten;
    };
    fuzzharness::RunInputs(options, seedCount, 20, run, [&](u64 done, double elapsed) {
        fuzzharness::SayDeepProgress(done, elapsed, chosen, written);
    });
    return 0;
}
