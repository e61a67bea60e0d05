// Mutation-loop fuzzer of the RAW search's readers: damaged Exif blocks, damaged JPEG files walked
// to their end marker on disks of 512- and 4096-byte sectors, and random bytes through the text
// converters and archive record readers. Build it in the sanitizer build with -DMORVENDA_FUZZ=ON:
//   raw_fuzz --first 0 --count 1000000 --seconds 600
// An input is its seed: a report's seed replays with --first SEED --count 1.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "RawFuzzRoad.h"

int main(int argc, char** argv) {
    u64 first = 0, count = 100000;
    double seconds = 60;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string a = argv[i];
        const char* v = argv[i + 1];
        if (a == "--first") first = std::strtoull(v, nullptr, 10);
        else if (a == "--count") count = std::strtoull(v, nullptr, 10);
        else if (a == "--seconds") seconds = std::strtod(v, nullptr);
        else {
            std::fprintf(stderr, "raw_fuzz: unknown option %s\n", a.c_str());
            return 1;
        }
    }
    const auto start = std::chrono::steady_clock::now();
    u64 done = 0;
    for (u64 seed = first; seed < first + count; ++seed, ++done) {
        fuzzverdict::StopOnFailure("raw_fuzz", rawfuzz::RunExif(seed), seed);
        fuzzverdict::StopOnFailure("raw_fuzz", rawfuzz::RunJpegWalk(seed), seed);
        fuzzverdict::StopOnFailure("raw_fuzz", rawfuzz::RunText(seed), seed);
        if (std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() > seconds) break;
    }
    std::printf("raw_fuzz: %llu inputs from seed %llu, no fault\n", static_cast<unsigned long long>(done),
                static_cast<unsigned long long>(first));
    return 0;
}
