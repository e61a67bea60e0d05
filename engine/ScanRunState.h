#pragma once
// The run state of one scan as a progress sink keeps it: going on or stopped, paused, and the
// percent and time left worked out from the scan's steps. The scan thread, the read-ahead thread
// and the thread that pauses, continues or stops all meet here under one lock, so a pause can
// never be lost between a check and a wait: every thread that asks whether to go on is held
// until a continue or a stop.
#include <condition_variable>
#include <mutex>

#include "platform/Types.h"

class ScanRunState {
public:
    // Above this percent a scan can no longer be stopped or paused.
    static constexpr int kLastStoppablePercent = 95;
    // Without a step for this long, a shown clock counts down by itself.
    static constexpr u64 kQuietStepMs = 1000;

    struct Snapshot {
        u32 state = 0;  // kProgressStopped, kProgressRunning or kProgressPaused
        int percent = 0;
        i32 secondsLeft = 0;
        u64 startTick = 0;
        u64 pauseTick = 0;  // 0 unless paused
        u64 steps = 0;      // progress steps taken since the start
        u32 waiting = 0;    // threads held by the pause right now
    };

    // A scan begins: running, not paused, nothing done. expectedSeconds is what a complete scan
    // of the device is thought to take.
    void Start(u64 now, u64 expectedSeconds);
    // Only a running scan below the last stoppable percent pauses; true when this call paused it.
    bool Pause(u64 now);
    // Only a paused scan continues; the paused time moves the start on, so it is not counted as
    // scan time. True when this call continued it.
    bool Continue(u64 now);
    // Stopped, and every thread held by a pause is let go (it reads the stop).
    void Stop();
    // The pause point: holds the caller while paused. True to go on, false once stopped.
    bool WaitWhilePaused();

    u32 GetState() const;
    bool IsRunning() const { return GetState() != 0; }
    Snapshot Get() const;

    // A phase ended: the percent goes to the top, the start is set if it was not, and a pause
    // is let go.
    void PhaseDone(u64 now);
    // A step of done out of total. -1 when done is above total or total is 0 (nothing changes);
    // else 0. The percent never goes back within a scan. A deleted-file scan's time left comes
    // from its own pace; any other scan's from the expected duration.
    int UpdatePercent(u64 done, u64 total, bool deletedFileScan, u64 now);
    // True once per quiet second without a step: the caller counts its clock down by one.
    bool TakeQuietSecond(u64 now);

private:
    mutable std::mutex m_lock;
    std::condition_variable m_resumed;
    bool m_goOn = false;
    bool m_paused = false;
    int m_percent = 0;
    i32 m_secondsLeft = 0;
    u64 m_startTick = 0;
    u64 m_pauseTick = 0;
    u64 m_lastStepTick = 0;
    u64 m_smoothedSpeed = 0;
    u64 m_expectedSeconds = 0;
    u64 m_steps = 0;
    u32 m_waiting = 0;
};
