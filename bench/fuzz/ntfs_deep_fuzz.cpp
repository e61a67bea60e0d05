// Mutation-loop fuzzer of the NTFS deep search: damaged boot sectors, FILE and INDX records,
// journal restart and log pages on a disk that holds a volume behind a gap, read in blocks whose
// length cuts records at block ends, then evaluated, built into a found-partition tree and
// recovered. Build it in the sanitizer build with -DMORVENDA_FUZZ=ON and run, for example:
//   ntfs_deep_fuzz --fixtures BUILD/fixtures --scratch /tmp/deepfuzz --first 0 --count 100000 --seconds 600
// Every input is (seed image, seed number): the same pair gives the same disk, so a report's
// "input" line replays with --first SEED --count 1 --image INDEX.
#include <unistd.h>

#include <string>
#include <vector>

#include "NtfsDeepFuzzRoad.h"

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

}  // namespace

int main(int argc, char** argv) {
    fuzzharness::Options options;
    options.scratch = "/tmp/ntfs_deep_fuzz";
    if (!fuzzharness::StartHarness("ntfs_deep_fuzz", argc, argv, options)) return 1;

    const size_t seedCount = sizeof(kSeeds) / sizeof(kSeeds[0]);
    std::vector<std::vector<u8>> volumes;
    if (!fuzzharness::LoadSeedImages(options, kSeeds, volumes)) return 1;
    std::vector<ntfsfuzz::ImageMap> maps(seedCount);
    for (size_t s = 0; s < seedCount; ++s) maps[s] = ntfsfuzz::MapImage(volumes[s], kSeeds[s].sectorSize);
    u64 chosen = 0, written = 0;
    auto run = [&](u64 seed, size_t s) {
        const SeedImage& seedImage = kSeeds[s];
        std::vector<u8> disk = ntfsdeepfuzz::MakeDisk(volumes[s], seedImage.sectorSize, seedImage.leadSectors,
                                                      seedImage.wipeBoot);
        ntfsdeepfuzz::DeepMutator mutator(maps[s], seed * 0x9E3779B97F4A7C15ull + s);
        mutator.Mutate(disk, size_t(seedImage.leadSectors) * seedImage.sectorSize, volumes[s].size(),
                       seedImage.sectorSize);
        ntfsfuzz::BufferDevice device(disk, seedImage.sectorSize);
        const u32 block = kBlockSectors[seed % (sizeof(kBlockSectors) / sizeof(kBlockSectors[0]))];
        ::alarm(options.timeout);
        const ntfsdeepfuzz::DeepResult r =
            ntfsdeepfuzz::RunDeepRoad(&device, block, options.scratch + "." + std::to_string(::getpid()));
        ::alarm(0);
        chosen += r.chosen;
        written += r.filesWritten;
    };
    fuzzharness::RunInputs(options, seedCount, 20, run, [&](u64 done, double elapsed) {
        fuzzharness::SayDeepProgress(done, elapsed, chosen, written);
    });
    return 0;
}
