// Mutation-loop fuzzing of the device layer and the saved-result stream. Run it from the
// sanitizer build:
//
//   dev_fuzz disks|stream|compress|all --fixtures DIR [--seed S] [--iterations N] [--seconds T]
//            [--work DIR]
//
// disks:    mbr-disk.img, gpt-disk.img and made-up small disks with damaged tables and boot
//           sectors, enumerated through MORVENDA_DISKS (dynamic-disk check, table analysis with
//           the file-system analysers, volume collection, unpartitioned areas).
// stream:   records of the quick-search trees of ntfs-basic.img and fat16-basic.img, damaged in
//           the section's logical content (and now and then in the stored chunks) and loaded.
// compress: bzip2, zlib and LZMA streams damaged and decompressed.
// Each iteration's seed is base + index; the one running is kept in WORK/dev_fuzz.current, so a
// crash or a hang (an iteration over 20 s aborts) can be replayed with --seed and --iterations 1.
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "bench/fuzz/devFuzzCompress.h"
#include "bench/fuzz/devFuzzDisks.h"
#include "bench/fuzz/devFuzzStream.h"
#include "engine/Progress.h"
#include "fs/fat/FatQuickSearch.h"
#include "fs/ntfs/NTFSQuickSearch.h"
#include "plugins/Plugins.h"

namespace {

constexpr unsigned kIterationSeconds = 20;
volatile sig_atomic_t g_mode = 0;
volatile u64 g_seed = 0;

void OnAlarm(int) {
    char line[128];
    const int n = std::snprintf(line, sizeof line, "dev_fuzz: iteration over %u s (mode %d seed %" PRIu64 ")\n",
                                kIterationSeconds, static_cast<int>(g_mode), static_cast<u64>(g_seed));
    if (n > 0) (void)!::write(2, line, static_cast<size_t>(n));
    std::abort();
}

std::vector<u8> ReadAll(const std::string& path) {
    std::vector<u8> out;
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return out;
    u8 buf[1 << 16];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.insert(out.end(), buf, buf + n);
    std::fclose(f);
    return out;
}

struct Options {
    std::string mode = "all";
    std::string fixtures;
    std::string work = "/dev/shm";
    u64 seed = 1;
    u64 iterations = ~0ull;
    u64 seconds = 60;
};

}  // namespace

int main(int argc, char** argv) {
    Options o;
    if (argc > 1) o.mode = argv[1];
    for (int i = 2; i + 1 < argc; i += 2) {
        const std::string k = argv[i];
        const std::string v = argv[i + 1];
        if (k == "--fixtures") o.fixtures = v;
        else if (k == "--work") o.work = v;
        else if (k == "--seed") o.seed = std::strtoull(v.c_str(), nullptr, 10);
        else if (k == "--iterations") o.iterations = std::strtoull(v.c_str(), nullptr, 10);
        else if (k == "--seconds") o.seconds = std::strtoull(v.c_str(), nullptr, 10);
    }
    if (o.fixtures.empty()) {
        std::fprintf(stderr, "dev_fuzz: --fixtures DIR is needed\n");
        return 2;
    }
    const std::string tag = std::to_string(::getpid());
    const std::string programDir = o.work + "/dev_fuzz_prog_" + tag + "/";
    std::system(("mkdir -p " + programDir).c_str());
    ::setenv("MORVENDA_PROGRAM_DIR", programDir.c_str(), 1);
    ::signal(SIGALRM, OnAlarm);
    RegisterAllPlugins();

    const bool all = o.mode == "all";
    const bool doDisks = all || o.mode == "disks";
    const bool doStream = all || o.mode == "stream";
    const bool doCompress = all || o.mode == "compress";

    // Disk seeds.
    std::vector<std::unique_ptr<devfuzz::WorkDisk>> disks;
    std::vector<std::vector<devfuzz::HotSector>> hots;
    std::vector<std::vector<u8>> boots;
    if (doDisks) {
        for (const char* name : {"mbr-disk.img", "gpt-disk.img"}) {
            std::vector<u8> bytes = ReadAll(o.fixtures + "/" + name);
            if (bytes.empty()) continue;
            hots.push_back(devfuzz::FindHotSectors(bytes, 512));
            disks.push_back(std::make_unique<devfuzz::WorkDisk>(o.work + "/dev_fuzz_" + tag + "_" + name,
                                                                std::move(bytes), 512));
            std::printf("seed %s: %zu hot sectors\n", name, hots.back().size());
        }
        for (const char* name : {"fat16-basic.img", "ntfs-basic.img", "fat32-basic.img", "exfat-basic.img"}) {
            std::vector<u8> bytes = ReadAll(o.fixtures + "/" + name);
            // The boot area: enough for the analysers to find their first structures.
            if (bytes.size() > 64 * 512) bytes.resize(64 * 512);
            if (!bytes.empty()) boots.push_back(std::move(bytes));
        }
    }
    // Stream seeds.
    std::vector<std::vector<u8>> streamSeeds;
    if (doStream) {
        streamSeeds.push_back(devfuzz::TreeRecords(o.fixtures + "/ntfs-basic.img", std::unique_ptr<IQuickFileSystemSearchController>(CreateNTFSQuickSearch())));
        streamSeeds.push_back(devfuzz::TreeRecords(o.fixtures + "/fat16-basic.img", std::make_unique<CFATQuickSearch>()));
        for (const auto& s : streamSeeds) std::printf("stream seed: %zu bytes\n", s.size());
    }
    // Compressed seeds.
    std::vector<std::pair<u32, std::vector<u8>>> packed;
    if (doCompress) {
        std::vector<u8> plain = ReadAll(o.fixtures + "/fat16-basic.img");
        if (plain.size() > 200000) plain.resize(200000);
        for (u32 type : {kCompressionBzip2, kCompressionZlib, kCompressionLzma}) {
            packed.emplace_back(type, devfuzz::CompressAll(type, plain));
            std::printf("compressed type %u: %zu bytes\n", type, packed.back().second.size());
        }
    }

    const std::string savedPath = o.work + "/dev_fuzz_" + tag + ".rsf";
    const std::string syntheticPath = o.work + "/dev_fuzz_" + tag + "_synthetic.img";
    const std::string currentPath = o.work + "/dev_fuzz.current";
    std::map<std::string, u64> counts;
    const auto started = std::chrono::steady_clock::now();
    u64 done = 0;
    for (u64 i = 0; i < o.iterations; ++i) {
        const double elapsed =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        if (elapsed > static_cast<double>(o.seconds)) break;
        const u64 seed = o.seed + i;
        g_seed = seed;
        if (FILE* f = std::fopen(currentPath.c_str(), "w")) {
            std::fprintf(f, "%s %" PRIu64 "\n", o.mode.c_str(), seed);
            std::fclose(f);
        }
        devfuzz::Rng rng(seed);
        std::vector<int> modes;
        if (doDisks) modes.push_back(0);
        if (doStream) modes.push_back(1);
        if (doCompress) modes.push_back(2);
        const int mode = modes[rng.Below(modes.size())];
        g_mode = mode;
        ::alarm(kIterationSeconds);
        if (mode == 0) {
            devfuzz::EnumerationOutcome outcome;
            if (!disks.empty() && !rng.OneIn(3)) {
                const size_t which = rng.Below(disks.size());
                devfuzz::DamageHotSectors(rng, *disks[which], hots[which], 512, 6);
                std::string variable = disks[which]->Path();
                if (rng.OneIn(10)) variable += "@4096";
                outcome = devfuzz::EnumerateDisks(variable);
                disks[which]->Restore();
                ++counts[which == 0 ? "disks.mbr" : "disks.gpt"];
            } else {
                std::vector<devfuzz::HotSector> hot;
                // Now and then a disk large enough for unpartitioned areas (over 0x32000 sectors).
                const u64 total = rng.OneIn(4) ? 0x32000 + rng.Below(0x100000) : 2048 + rng.Below(30000);
                std::vector<u8> image = devfuzz::MakeSyntheticDisk(rng, 512, total, boots, &hot);
                {
                    devfuzz::WorkDisk work(syntheticPath, std::move(image), 512, total);
                    if (rng.OneIn(2)) devfuzz::DamageHotSectors(rng, work, hot, 512, 4);
                    outcome = devfuzz::EnumerateDisks(work.Path());
                }
                ++counts["disks.synthetic"];
            }
            counts["volumes"] += outcome.volumes;
            counts["areas"] += outcome.areas;
            if (!outcome.violations.empty()) {
                std::fprintf(stderr, "dev_fuzz: seed %" PRIu64 ": %s\n", seed, outcome.violations.front().c_str());
                std::abort();
            }
        } else if (mode == 1) {
            const auto& seedBytes = streamSeeds[rng.Below(streamSeeds.size())];
            const devfuzz::LoadOutcome outcome = devfuzz::FuzzSavedContent(rng, seedBytes, savedPath);
            ++counts["stream"];
            counts["stream.records"] += outcome.records;
            counts["stream.properties"] += outcome.properties;
            counts["stream.threw"] += outcome.threw ? 1 : 0;
        } else {
            const auto& p = packed[rng.Below(packed.size())];
            std::vector<u8> bytes = p.second;
            if (!rng.OneIn(10)) devfuzz::MutateStream(rng, bytes, 1 + static_cast<u32>(rng.Below(6)));
            counts["compress.bytes"] += devfuzz::DecompressBounded(rng, p.first, bytes, 64ull << 20);
            ++counts["compress"];
        }
        ::alarm(0);
        ++done;
        if (done % 500 == 0) {
            std::printf("%" PRIu64 " iterations, %.0f s\n", done,
                        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
            std::fflush(stdout);
        }
    }
    std::printf("done: %" PRIu64 " iterations\n", done);
    for (const auto& [k, v] : counts) std::printf("  %s: %" PRIu64 "\n", k.c_str(), v);
    ::unlink(savedPath.c_str());
    std::system(("rm -rf " + programDir).c_str());
    return 0;
}
