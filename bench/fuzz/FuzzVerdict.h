#pragma once
// What one fuzz input did: whether it reached the code under test past its first gate, and which
// rule it broke, if any. The long mutation loops stop on a broken rule (the seed replays it); the
// seeded short runs of the suite count inputs, the ones that ran and the ones that failed, so that
// a rule broken in the plain build fails the test there too, and a road that no longer reaches
// its code shows. Header-only.
#include <cstdio>
#include <string>

#include "platform/Types.h"

namespace fuzzverdict {

struct Verdict {
    bool ran = false;     // past the first gate (a header recognised, a block parsed)
    std::string failure;  // the rule broken; empty when none was

    static Verdict Ran(bool ran) { return Verdict{ran, std::string()}; }
    static Verdict Broke(std::string what) { return Verdict{true, std::move(what)}; }
    bool Failed() const { return !failure.empty(); }
};

// The seeded short runs' account of their inputs.
struct Tally {
    u64 inputs = 0;
    u64 ran = 0;
    u64 failed = 0;
    std::string firstFailure;

    void Add(const Verdict& v, u64 seed) {
        ++inputs;
        ran += v.ran ? 1 : 0;
        if (!v.Failed()) return;
        if (failed++ == 0) firstFailure = "seed " + std::to_string(seed) + ": " + v.failure;
    }
};

// The long loops' answer to a broken rule: say it with the seed, then stop.
inline void StopOnFailure(const char* program, const Verdict& v, u64 seed) {
    if (!v.Failed()) return;
    std::fprintf(stderr, "%s: seed %llu: %s\n", program, static_cast<unsigned long long>(seed), v.failure.c_str());
    std::abort();
}

}  // namespace fuzzverdict
