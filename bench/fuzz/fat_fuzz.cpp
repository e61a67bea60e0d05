// A mutation loop over the FAT and exFAT fixture volumes: each case mutates one volume with a
// seeded generator and runs it through the analysers, the deleted-file scan, the tree builder
// and the writer. Cases are numbered from --start; a case that outlives --timeout seconds aborts
// the run with its number, so that `--start N --cases 1` replays it.
//
//   fat_fuzz --fixtures DIR [--start N] [--cases N] [--seconds N] [--timeout S] [--only NAME]
//            [--out DIR]
//
// Build it in a sanitizer tree (-DMORVENDA_FUZZ=ON -DMORVENDA_SANITIZE=ON) and run it with
// MORVENDA_PROGRAM_DIR=<build>/bin/ and ASAN_OPTIONS=hard_rss_limit_mb=2048:malloc_limit_mb=1024,
// e.g. `fat_fuzz --fixtures <build>/fixtures --seconds 900 --start 1000000000`. FATFUZZ_VERBOSE=1
// prints each case's scan and recovery counts. Recovered files go to a folder under /dev/shm that
// is emptied after every case.
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "bench/fuzz/fat_road.h"
#include "fs/fat/FatRevise.h"
#include "platform/Log.h"
#include "plugins/Plugins.h"

namespace {
std::atomic<u64> g_caseStart{0};
std::atomic<u64> g_case{0};
std::atomic<bool> g_done{false};

u64 NowMs() {
    return u64(std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::steady_clock::now().time_since_epoch())
                   .count());
}
}  // namespace

int main(int argc, char** argv) {
    std::string fixtures;
    std::string out = "/dev/shm/fat_fuzz_out." + std::to_string(::getpid());
    std::string only;
    u64 start = 1;
    u64 cases = ~0ULL;
    u64 seconds = 60;
    u64 timeout = 10;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string a = argv[i];
        const char* v = argv[i + 1];
        if (a == "--fixtures") fixtures = v;
        else if (a == "--start") start = std::strtoull(v, nullptr, 10);
        else if (a == "--cases") cases = std::strtoull(v, nullptr, 10);
        else if (a == "--seconds") seconds = std::strtoull(v, nullptr, 10);
        else if (a == "--timeout") timeout = std::strtoull(v, nullptr, 10);
        else if (a == "--only") only = v;
        else if (a == "--out") out = v;
    }
    if (fixtures.empty()) {
        std::fprintf(stderr, "usage: fat_fuzz --fixtures DIR [--start N] [--cases N] [--seconds N]\n");
        return 2;
    }
    SetLoggingEnabled(false);
    RegisterAllPlugins();

    std::vector<fatfuzz::Seed> seeds;
    for (const fatfuzz::SeedSource& src : fatfuzz::SeedSources()) {
        fatfuzz::Seed s;
        s.name = src.name;
        if (!fatfuzz::LoadVolume(fixtures + "/" + src.image, src.offset, src.length, s.bytes)) {
            std::fprintf(stderr, "cannot read %s\n", src.image);
            return 2;
        }
        if (!fatfuzz::Describe(s)) {
            std::fprintf(stderr, "%s: not laid out\n", src.name);
            continue;
        }
        if (s.name == "fat16") {
            fatfuzz::Seed bin = s;
            bin.name = "fat16-recycled";
            bin.bytes = fatfuzz::PlantRecycleBin(s);
            if (!bin.bytes.empty() && fatfuzz::Describe(bin)) seeds.push_back(std::move(bin));
        }
        seeds.push_back(std::move(s));
    }
    if (!only.empty()) {
        std::erase_if(seeds, [&](const fatfuzz::Seed& s) { return s.name != only; });
    }
    if (seeds.empty()) return 2;
    std::printf("revise analysers: %zu\n", GetFatReviseAnalysers().size());
    for (const auto& s : seeds) {
        std::printf("seed %-15s %9zu bytes, %6zu entries, %7llu clusters\n", s.name.c_str(), s.bytes.size(),
                    s.entries.size(), (unsigned long long)s.clusterCount);
    }

    std::thread watchdog([timeout] {
        while (!g_done.load()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            const u64 began = g_caseStart.load();
            if (began != 0 && NowMs() - began > timeout * 1000) {
                std::fprintf(stderr, "TIMEOUT in case %llu\n", (unsigned long long)g_case.load());
                std::fflush(stderr);
                std::abort();
            }
        }
    });

    std::vector<std::vector<u8>> work;
    for (const auto& s : seeds) work.push_back(s.bytes);
    const u64 began = NowMs();
    u64 ran = 0;
    u64 maxNodes = 0;
    u64 files = 0;
    std::vector<u64> scanned(seeds.size(), 0);
    for (u64 n = 0; n < cases; ++n) {
        const u64 c = start + n;
        if (NowMs() - began > seconds * 1000) break;
        const size_t which = size_t(c % seeds.size());
        g_case = c;
        g_caseStart = NowMs();
        const fatfuzz::RoadResult r =
            fatfuzz::RunCase(seeds[which], work[which], c * 0x9E3779B97F4A7C15ULL, out, 64ull << 20);
        for (u64 k = 0; k < 20; ++k) fatfuzz::RunParsers(c * 1000 + k);
        g_caseStart = 0;
        if (std::getenv("FATFUZZ_VERBOSE") != nullptr) {
            std::printf("case %llu %s: fs %u, search %#x, files %llu folders %llu deleted %llu, recovered %llu (%llu bytes)\n",
                        (unsigned long long)c, seeds[which].name.c_str(), r.fsCode, r.searchResult,
                        (unsigned long long)r.counts.files, (unsigned long long)r.counts.folders,
                        (unsigned long long)r.counts.deleted, (unsigned long long)r.recoveredFiles,
                        (unsigned long long)r.recoveredBytes);
        }
        ++ran;
        if (r.searchResult == 0) ++scanned[which];
        files += r.recoveredFiles;
        maxNodes = std::max<u64>(maxNodes, r.counts.files + r.counts.folders);
        if (ran % 500 == 0) {
            std::printf("%llu cases (last %llu), %.0f s, %llu files recovered, max nodes %llu\n",
                        (unsigned long long)ran, (unsigned long long)c, double(NowMs() - began) / 1000.0,
                        (unsigned long long)files, (unsigned long long)maxNodes);
            std::fflush(stdout);
        }
    }
    g_done = true;
    watchdog.join();
    std::printf("done: %llu cases from %llu in %.0f s\n", (unsigned long long)ran, (unsigned long long)start,
                double(NowMs() - began) / 1000.0);
    for (size_t i = 0; i < seeds.size(); ++i) {
        std::printf("  %-15s scans that ran: %llu\n", seeds[i].name.c_str(), (unsigned long long)scanned[i]);
    }
    std::error_code ec;
    std::filesystem::remove_all(out, ec);
    return 0;
}
