// Mutation-loop fuzzer of the format analysers of the RAW search, group by group (containers,
// images-fonts, tiff-raw, archive-db-html, text-drawing, documents). Build it in the sanitizer
// build with -DMORVENDA_FUZZ=ON:
//   raw_family_fuzz --first 0 --count 1000000 --seconds 600 [--group NAME]
// Every seed runs through every chosen group. An input is its seed and group: a report's input
// replays with --first SEED --count 1 --group NAME. A walk that does not end within a few
// seconds is reported with its seed and group.
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "RawFamilyFuzzRoad.h"

namespace {

constexpr unsigned kHangSeconds = 20;

std::atomic<u64> g_seed{0};
std::atomic<const char*> g_group{""};

// Async-signal-safe: only write(2) and abort.
void ReportHang(int) {
    char text[96];
    char digits[24];
    int n = 0;
    u64 seed = g_seed.load();
    do {
        digits[n++] = char('0' + seed % 10);
        seed /= 10;
    } while (seed != 0);
    size_t at = 0;
    const char* lead = "raw_family_fuzz: no end of walk, seed ";
    for (const char* c = lead; *c; ++c) text[at++] = *c;
    while (n > 0) text[at++] = digits[--n];
    const char* group = g_group.load();
    text[at++] = ' ';
    for (const char* c = group; *c && at + 2 < sizeof(text); ++c) text[at++] = *c;
    text[at++] = '\n';
    if (write(2, text, at) < 0) {
    }
    std::abort();
}

}  // namespace

int main(int argc, char** argv) {
    u64 first = 0, count = 100000;
    double seconds = 60;
    std::string only;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string a = argv[i];
        const char* v = argv[i + 1];
        if (a == "--first") first = std::strtoull(v, nullptr, 10);
        else if (a == "--count") count = std::strtoull(v, nullptr, 10);
        else if (a == "--seconds") seconds = std::strtod(v, nullptr);
        else if (a == "--group") only = v;
        else {
            std::fprintf(stderr, "raw_family_fuzz: unknown option %s\n", a.c_str());
            return 1;
        }
    }
    std::vector<const rawfamilyfuzz::Group*> groups;
    for (const rawfamilyfuzz::Group& g : rawfamilyfuzz::Groups()) {
        if (only.empty() || only == g.name) groups.push_back(&g);
    }
    if (groups.empty()) {
        std::fprintf(stderr, "raw_family_fuzz: no group named %s\n", only.c_str());
        return 1;
    }
    signal(SIGALRM, ReportHang);
    const auto start = std::chrono::steady_clock::now();
    u64 done = 0;
    for (u64 seed = first; seed < first + count; ++seed, ++done) {
        for (const rawfamilyfuzz::Group* g : groups) {
            g_seed = seed;
            g_group = g->name;
            alarm(kHangSeconds);
            fuzzverdict::StopOnFailure("raw_family_fuzz", rawfamilyfuzz::RunGroup(*g, seed), seed);
        }
        if (std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() > seconds) break;
    }
    alarm(0);
    std::printf("raw_family_fuzz: %llu seeds from seed %llu in %zu group(s)%s%s, no fault\n",
                static_cast<unsigned long long>(done), static_cast<unsigned long long>(first), groups.size(),
                only.empty() ? "" : ": ", only.c_str());
    return 0;
}
