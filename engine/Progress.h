#pragma once
// The progress sink every scan reports to and asks whether to go on; the progress page
// implements it.
#include "platform/Types.h"

class ScanRunState;

// ProgressInfo::Type values.
constexpr u32 kProgressPhaseBegins = 0;
constexpr u32 kProgressUpdate = 2;
constexpr u32 kProgressPhaseDone = 3;
constexpr u32 kProgressScanEnded = 4;

// Senders clear the whole record before its first use and reuse one record for a run.
struct ProgressInfo {
    u32 Type = 0;
    u64 Total = 0;
    u64 Done = 0;
    u32 Detail = 0;  // search-specific; the scan modes leave it 0
    char Reserved[256] = {};
};

// GetState answers.
constexpr u32 kProgressStopped = 0;
constexpr u32 kProgressRunning = 1;
constexpr u32 kProgressPaused = 2;

class IProgress {
public:
    virtual ~IProgress() = default;
    // -1 for a null record or a Total of 0; otherwise the answer of Continued.
    virtual i32 OnProgress(const ProgressInfo* record) = 0;
    // The pause point: blocks while the user has paused; 1 to go on, 0 once stopped.
    virtual u32 Continued() = 0;
    // 0 no scan or stopped, 1 running, 2 paused.
    virtual u32 GetState() = 0;
    // The run state behind the answers, for a helper thread of the scan (the read-ahead) that
    // must hold while paused too; null when the sink keeps none.
    virtual ScanRunState* RunState() { return nullptr; }
};
