#pragma once
// A statistics sink for tests: it keeps the usage events the program reports, in order, and
// drops the rest.
#include <vector>

#include "platform/Stats.h"

namespace testutil {

class EventRecorder : public IQuorvelSink {
public:
    void RecordEvent(u32 code) override { events.push_back(code); }
    void RecordValue(u32, u64) override {}
    void RecordText(u32, const char*) override {}
    void RecordPair(u32, u32) override {}
    void Reserved5() override {}
    void Reserved6() override {}
    void Reserved7() override {}
    void RecordDiskTable(const void*, u32) override {}
    std::vector<u32> events;
};

}  // namespace testutil
