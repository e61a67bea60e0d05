#pragma once
// What the NTFS, NTFS deep and FAT deep mutation loops share: their options, the report that
// names the input under way when a sanitizer or the per-input time limit ends the run, the
// loading of seed images, the input loop itself, and the road of a deep search from the block
// loop to the recovery of the tree it built. Header-only, like the roads that use it.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "bench/fuzz/NtfsFuzzRoad.h"
#include "engine/FileSystemNode.h"
#include "engine/RawFileInfoPool.h"
#include "engine/SearchedPartitionInfo.h"

// Present only in a sanitizer build.
extern "C" void __sanitizer_set_death_callback(void (*callback)()) __attribute__((weak));

namespace fuzzharness {

struct Options {
    std::string fixtures = "build/fixtures";
    std::string scratch;
    u64 first = 0;
    u64 count = 1000;
    int onlyImage = -1;  // -1: the seed number picks the image
    u32 seconds = 0;     // 0: no limit on the whole run
    u32 timeout = 60;    // per input
};

// Reads "--option value" pairs over the defaults already in `options`; an unknown option is said
// on stderr and gives false.
inline bool ParseOptions(const char* program, int argc, char** argv, Options& options) {
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string a = argv[i], v = argv[i + 1];
        if (a == "--fixtures") options.fixtures = v;
        else if (a == "--scratch") options.scratch = v;
        else if (a == "--first") options.first = std::strtoull(v.c_str(), nullptr, 10);
        else if (a == "--count") options.count = std::strtoull(v.c_str(), nullptr, 10);
        else if (a == "--image") options.onlyImage = std::atoi(v.c_str());
        else if (a == "--seconds") options.seconds = u32(std::strtoul(v.c_str(), nullptr, 10));
        else if (a == "--timeout") options.timeout = u32(std::strtoul(v.c_str(), nullptr, 10));
        else {
            std::fprintf(stderr, "%s: unknown option %s\n", program, a.c_str());
            return false;
        }
    }
    return true;
}

// The input under way, for the reports of signal handlers and sanitizer callbacks.
inline const char* g_program = "fuzz";
inline volatile sig_atomic_t g_image = -1;
inline volatile u64 g_seed = 0;

inline void SayInput(const char* why) {
    char line[160];
    const int n = std::snprintf(line, sizeof(line), "\n%s: %s on input image %d seed %llu\n", g_program, why,
                                int(g_image), static_cast<unsigned long long>(g_seed));
    if (n > 0) (void)!::write(2, line, size_t(n));
}

inline void OnSanitizerReport() { SayInput("sanitizer report"); }

inline void OnTimeout(int) {
    SayInput("timeout");
    std::abort();
}

// Names `program` in the reports and has the sanitizers and the per-input alarm report the input.
inline void WatchInputs(const char* program) {
    g_program = program;
    if (__sanitizer_set_death_callback != nullptr) __sanitizer_set_death_callback(OnSanitizerReport);
    ::signal(SIGALRM, OnTimeout);
}

// `length` bytes of the file from `offset` (0: to its end).
inline bool LoadFile(const std::string& path, std::vector<u8>& out, u64 offset = 0, u64 length = 0) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in) return false;
    const u64 size = u64(in.tellg());
    if (offset > size) return false;
    if (length == 0) length = size - offset;
    if (length > size - offset) return false;
    out.resize(size_t(length));
    in.seekg(std::streamoff(offset));
    return bool(in.read(reinterpret_cast<char*>(out.data()), std::streamsize(length)));
}

// Reads the options and has the inputs watched; false for an unknown option.
inline bool StartHarness(const char* program, int argc, char** argv, Options& options) {
    if (!ParseOptions(program, argc, argv, options)) return false;
    WatchInputs(program);
    return true;
}

// The whole file of every seed image (a Seed names its `file`) from options.fixtures; a file that
// cannot be read is said on stderr and gives false.
template <typename Seed, size_t N>
bool LoadSeedImages(const Options& options, const Seed (&seeds)[N], std::vector<std::vector<u8>>& out) {
    out.assign(N, {});
    for (size_t s = 0; s < N; ++s) {
        if (!LoadFile(options.fixtures + "/" + seeds[s].file, out[s])) {
            std::fprintf(stderr, "%s: cannot read %s in %s\n", g_program, seeds[s].file, options.fixtures.c_str());
            return false;
        }
    }
    return true;
}

// Runs the inputs options.first on, options.count of them or until options.seconds have passed:
// run(seed, image) takes one input (the image is picked by the seed unless options.onlyImage
// names one), report(done, elapsedSeconds) is called after every `reportEvery` inputs.
template <typename Run, typename Report>
void RunInputs(const Options& options, size_t imageCount, u64 reportEvery, Run run, Report report) {
    const auto start = std::chrono::steady_clock::now();
    u64 done = 0;
    for (u64 n = 0; n < options.count; ++n) {
        const u64 seed = options.first + n;
        const size_t image =
            options.onlyImage >= 0 ? size_t(options.onlyImage) % imageCount : size_t(seed % imageCount);
        g_image = int(image);
        g_seed = seed;
        run(seed, image);
        ++done;
        const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (done % reportEvery == 0) {
            report(done, elapsed);
            std::fflush(stdout);
        }
        if (options.seconds != 0 && elapsed >= options.seconds) break;
    }
    std::printf("done: %llu inputs from seed %llu\n", static_cast<unsigned long long>(done),
                static_cast<unsigned long long>(options.first));
}

inline void SayDeepProgress(u64 done, double elapsed, u64 chosen, u64 written) {
    std::printf("%llu inputs, %.0f s: %llu partitions chosen, %llu files written\n",
                static_cast<unsigned long long>(done), elapsed, static_cast<unsigned long long>(chosen),
                static_cast<unsigned long long>(written));
}

// Recovers the tree below `root` into `scratch` (bounded by `limits`), removes what it wrote and
// answers how many files it wrote.
inline u64 RecoverTree(IStorageDevice* device, CFileSystemNode* root, const std::string& scratch,
                       const ntfsfuzz::Limits& limits) {
    ::mkdir(scratch.c_str(), 0700);
    ntfsfuzz::BoundedCallback callback(limits.maxFileBytes, limits.maxPassBytes);
    CFileRecoverer recoverer;
    char made[1040] = {};
    recoverer.RecoverFolder(&callback, device, root, scratch.c_str(), made, sizeof(made));
    ntfsfuzz::RemoveTree(scratch);
    return callback.files;
}

struct DeepResult {
    size_t candidates = 0;
    size_t chosen = 0;
    u64 reported = 0;   // nodes the builder held when the block loop ended
    u64 treeFiles = 0;  // files of the chosen partition's tree
    u64 filesWritten = 0;
    u64 startSector = ~0ull;
};

// One pass of a deep search over the device in blocks of `blockSectors`, then what the complete
// scan does after its block loop: the evaluation of the candidates, the trees and lost files of
// the chosen ones; then the recovery of the first chosen one's tree (bounded), which
// beforeRecovery(root, candidate) may look at first.
template <typename Search, typename BeforeRecovery>
DeepResult RunDeepRoad(IStorageDevice* device, u32 blockSectors, u32 lostDataReason, const std::string& scratch,
                       const ntfsfuzz::Limits& limits, BeforeRecovery beforeRecovery) {
    DeepResult result;
    testutil::AcceptAllFilter filter(0x40);
    testutil::SilentTree view;
    IDirecotryTreeBuilder* builder = CreateDirectoryTreeBuilder();
    if (!builder || builder->Init("disk", &view, &filter, kBuilderCompleteMode, device, lostDataReason) != 1) {
        if (builder) builder->Release();
        return result;
    }
    CRawFileInfoPool pool;
    {
        Search search;
        search.SetDevice(device);
        search.SetBlockSectorCount(blockSectors);
        search.SetDirectoryTreeBuilder(builder);
        search.BeginSearch();
        search.SetFoundFilePool(&pool);
        const u64 total = device->GetTotalSectors();
        for (u64 first = 0; first < total; first += blockSectors) {
            search.SearchBlock(first, std::min<u64>(blockSectors, total - first));
        }
        search.EndSearch();
        result.reported = builder->GetNodeCount();
        std::vector<CSearchedPartitionInfo*> candidates;
        search.GetSearchedPartitions(candidates);
        result.candidates = candidates.size();
        for (CSearchedPartitionInfo* c : candidates) builder->AddEvaluationItem(c);
        builder->FinishSearch();
        std::vector<CSearchedPartitionInfo*> chosen;
        builder->HasEvaluationItem(&chosen);
        result.chosen = chosen.size();
        for (CSearchedPartitionInfo* c : chosen) {
            std::vector<CSearchedPartitionInfo*> one{c};
            search.BuildFileSystemTrees(one);
            builder->BuildLostFilesFolder(c);
            search.CollectLostFiles(one);
        }
        builder->FinishBuild();
        if (!chosen.empty()) {
            result.startSector = chosen[0]->GetPartitionStart();
            if (CFileSystemNode* root = builder->GetTreeRoot(chosen[0])) {
                CheckWholeTree(root);
                result.treeFiles = CountTree(root).files;
                beforeRecovery(root, chosen[0]);
                result.filesWritten = RecoverTree(device, root, scratch, limits);
            }
        }
        // The trees name the search's candidates: they go before the search.
        builder->Release();
    }
    return result;
}

}  // namespace fuzzharness
