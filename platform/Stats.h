#pragma once
// The optional user-experience statistics library. It is looked up at run time in the program
// directory: "libravlin.so" takes notes (QuorvelNoteA), "libr2avlin.so" hands out the event sink
// (QuorvelAcquire). We ship neither; without them every call here does nothing. Each library is
// loaded at most once per process, and a failed load is not retried.
#include "platform/Types.h"

// The event sink the statistics library hands out. Slots 5 to 7 belong to the library and are
// never called by the program; the disk table goes to the eighth operation.
class IQuorvelSink {
public:
    virtual void RecordEvent(u32 code) = 0;
    virtual void RecordValue(u32 code, u64 value) = 0;
    virtual void RecordText(u32 code, const char* text) = 0;
    virtual void RecordPair(u32 first, u32 second) = 0;
    virtual void Reserved5() = 0;
    virtual void Reserved6() = 0;
    virtual void Reserved7() = 0;
    virtual void RecordDiskTable(const void* entries, u32 count) = 0;

protected:
    ~IQuorvelSink() = default;
};

// QuorvelNoteA(code, text) of libravlin.so; skipped without the library or the export.
void StatsNoteText(u32 code, const char* text);
// The sink of libr2avlin.so, acquired once; null without the library or the export.
IQuorvelSink* StatsSink();
// Without the library, events go to this sink instead (the trace log's, or a test's); null to
// drop them again.
void SetStatsFallbackSink(IQuorvelSink* sink);
// Conveniences over the sink; each is skipped without one, and anything the library throws is
// swallowed: nothing in the program depends on the statistics.
void StatsEvent(u32 code);
void StatsValue(u32 code, u64 value);
void StatsText(u32 code, const char* text);
void StatsPair(u32 first, u32 second);
void StatsDiskTable(const void* entries, u32 count);
