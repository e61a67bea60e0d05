// How long the FAT deep search takes to confirm its boot-sector candidates by the folder starts
// seen on the device, the step that ran in boots x folder starts before. N FAT32 boot sectors each
// claim the device from where they stand, then F sectors begin like folders ("." naming cluster
// 5), all inside every boot sector's data area: the shape a device full of copied boot sectors
// and folder look-alikes gives. Doubling N and F together should about double the time.
//
//   micro_bench --benchmark_filter=FatBootVotes
#include <benchmark/benchmark.h>

#include <vector>

#include "fs/fat/FatDeepSearch.h"

namespace {

constexpr u32 kSectorSize = 512;
constexpr u16 kReserved = 32;
constexpr u32 kSectorsPerFat = 20000;
constexpr u32 kRootCluster = 2;
constexpr u64 kGap = 40000;  // sectors between the boot sectors and the folder starts
constexpr u32 kFolderCluster = 5;

void FatBootVotes(benchmark::State& state) {
    const u64 boots = u64(state.range(0));
    const u64 folders = u64(state.range(1));
    const u64 deviceSectors = boots + kGap + folders + 1000;
    std::vector<FatBootSighting> bootSightings;
    for (u64 i = 0; i < boots; ++i) {
        // Each its own length, so that none is another's backup.
        bootSightings.push_back(
            {i, kFsFat32, 1, kReserved, 2, kSectorsPerFat, u32(deviceSectors - i), kRootCluster});
    }
    std::vector<FatFolderStart> folderStarts;
    for (u64 j = 0; j < folders; ++j) folderStarts.push_back({boots + kGap + j, kFolderCluster, 0});
    const FatStartTest everyFatStart = [](u64) { return true; };
    for (auto _ : state) {
        auto candidates = MakeFatCandidates(bootSightings, folderStarts, deviceSectors, kSectorSize, everyFatStart);
        benchmark::DoNotOptimize(candidates.data());
    }
    state.SetComplexityN(i64(boots + folders));
}

}  // namespace

BENCHMARK(FatBootVotes)
    ->Args({1000, 250000})
    ->Args({2000, 500000})
    ->Args({4000, 1000000})
    ->Args({8000, 2000000})
    ->Unit(benchmark::kMillisecond)
    ->Complexity();
