#include "platform/Stats.h"

#include <dlfcn.h>

#include <atomic>
#include <mutex>
#include <string>

#include "platform/ProgramDir.h"

namespace {
using NoteFn = void (*)(u32, const char*);
using AcquireFn = IQuorvelSink* (*)();

void* OpenLibrary(const char* name) {
    const std::string path = GetProgramDir() + name;
    return dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
}

NoteFn NoteFunction() {
    static std::once_flag once;
    static NoteFn fn = nullptr;
    std::call_once(once, [] {
        if (void* lib = OpenLibrary("libravlin.so")) fn = reinterpret_cast<NoteFn>(dlsym(lib, "QuorvelNoteA"));
    });
    return fn;
}

std::atomic<IQuorvelSink*> g_fallback{nullptr};

template <typename Call>
void WithSink(Call call) {
    IQuorvelSink* sink = StatsSink();
    if (!sink) sink = g_fallback.load();
    if (!sink) return;
    try {
        call(sink);
    } catch (...) {
    }
}
}  // namespace

void StatsNoteText(u32 code, const char* text) {
    NoteFn fn = NoteFunction();
    if (!fn) return;
    try {
        fn(code, text ? text : "");
    } catch (...) {
    }
}

IQuorvelSink* StatsSink() {
    static std::once_flag once;
    static IQuorvelSink* sink = nullptr;
    std::call_once(once, [] {
        void* lib = OpenLibrary("libr2avlin.so");
        if (!lib) return;
        auto acquire = reinterpret_cast<AcquireFn>(dlsym(lib, "QuorvelAcquire"));
        if (!acquire) return;
        try {
            sink = acquire();
        } catch (...) {
            sink = nullptr;
        }
    });
    return sink;
}

void SetStatsFallbackSink(IQuorvelSink* sink) { g_fallback = sink; }

void StatsEvent(u32 code) { WithSink([&](IQuorvelSink* s) { s->RecordEvent(code); }); }
void StatsValue(u32 code, u64 value) { WithSink([&](IQuorvelSink* s) { s->RecordValue(code, value); }); }
void StatsText(u32 code, const char* text) { WithSink([&](IQuorvelSink* s) { s->RecordText(code, text ? text : ""); }); }
void StatsPair(u32 first, u32 second) { WithSink([&](IQuorvelSink* s) { s->RecordPair(first, second); }); }
void StatsDiskTable(const void* entries, u32 count) {
    WithSink([&](IQuorvelSink* s) { s->RecordDiskTable(entries, count); });
}
