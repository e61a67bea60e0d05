#include "engine/ScanRunState.h"

#include "engine/Progress.h"

namespace {
constexpr int kFullPercent = 100;
constexpr i64 kMsPerSecond = 1000;
// A complete scan's time left is its expected duration scaled down by this share.
constexpr double kExpectedShare = 0.6;
// Smoothed speed = (stored x 4 + new) x 2 / 10.
constexpr u64 kOldSpeedWeight = 4;
constexpr u64 kSpeedScaleNumerator = 2;
constexpr u64 kSpeedScaleDenominator = 10;
}  // namespace

void ScanRunState::Start(u64 now, u64 expectedSeconds) {
    {
        std::lock_guard<std::mutex> lk(m_lock);
        m_goOn = true;
        m_paused = false;
        m_percent = 0;
        m_secondsLeft = 0;
        m_startTick = now;
        m_pauseTick = 0;
        m_lastStepTick = now;
        m_smoothedSpeed = 0;
        m_expectedSeconds = expectedSeconds;
        m_steps = 0;
    }
    m_resumed.notify_all();
}

bool ScanRunState::Pause(u64 now) {
    std::lock_guard<std::mutex> lk(m_lock);
    // Near the end the scan finishes its phase with the view frozen: nobody could continue it.
    if (!m_goOn || m_paused || m_percent > kLastStoppablePercent) return false;
    m_paused = true;
    m_pauseTick = now;
    return true;
}

bool ScanRunState::Continue(u64 now) {
    {
        std::lock_guard<std::mutex> lk(m_lock);
        if (!m_goOn || !m_paused) return false;
        m_paused = false;
        if (m_pauseTick != 0 && m_pauseTick < now) m_startTick += now - m_pauseTick;
        m_pauseTick = 0;
    }
    m_resumed.notify_all();
    return true;
}

void ScanRunState::Stop() {
    {
        std::lock_guard<std::mutex> lk(m_lock);
        m_goOn = false;
        m_paused = false;
        m_pauseTick = 0;
    }
    m_resumed.notify_all();
}

bool ScanRunState::WaitWhilePaused() {
    std::unique_lock<std::mutex> lk(m_lock);
    if (m_paused) {
        ++m_waiting;
        m_resumed.wait(lk, [this] { return !m_paused; });
        --m_waiting;
    }
    return m_goOn;
}

u32 ScanRunState::GetState() const {
    std::lock_guard<std::mutex> lk(m_lock);
    if (!m_goOn) return kProgressStopped;
    return m_paused ? kProgressPaused : kProgressRunning;
}

ScanRunState::Snapshot ScanRunState::Get() const {
    std::lock_guard<std::mutex> lk(m_lock);
    Snapshot s;
    s.state = !m_goOn ? kProgressStopped : (m_paused ? kProgressPaused : kProgressRunning);
    s.percent = m_percent;
    s.secondsLeft = m_secondsLeft;
    s.startTick = m_startTick;
    s.pauseTick = m_pauseTick;
    s.steps = m_steps;
    s.waiting = m_waiting;
    return s;
}

void ScanRunState::PhaseDone(u64 now) {
    {
        std::lock_guard<std::mutex> lk(m_lock);
        m_lastStepTick = now;
        m_percent = kFullPercent;
        if (m_startTick == 0 || m_startTick > now) m_startTick = now;
        // A pause that came just before the phase ended is let go: the view freezes for the
        // end of the phase, and a frozen view offers no way to continue.
        if (m_paused) {
            m_paused = false;
            if (m_pauseTick != 0 && m_pauseTick < now) m_startTick += now - m_pauseTick;
            m_pauseTick = 0;
        }
    }
    m_resumed.notify_all();
}

int ScanRunState::UpdatePercent(u64 done, u64 total, bool deletedFileScan, u64 now) {
    if (total == 0 || done > total) return -1;
    std::lock_guard<std::mutex> lk(m_lock);
    ++m_steps;
    m_lastStepTick = now;
    const int p = static_cast<int>(static_cast<i64>(done) * kFullPercent / static_cast<i64>(total));
    if (p > m_percent) m_percent = p;
    if (m_startTick == 0 || m_startTick > now) m_startTick = now;
    if (done == 0) return 0;
    const i64 elapsed = static_cast<i64>(now - m_startTick);
    const i64 remaining = static_cast<i64>(total - done);
    const i64 secs = elapsed * remaining / static_cast<i64>(done) / kMsPerSecond;
    if (secs <= 0) return 0;
    u64 speed = static_cast<u64>(remaining / secs);
    if (m_smoothedSpeed != 0) speed = (m_smoothedSpeed * kOldSpeedWeight + speed) * kSpeedScaleNumerator / kSpeedScaleDenominator;
    m_smoothedSpeed = speed;
    if (deletedFileScan) {
        m_secondsLeft = static_cast<i32>(secs);
        return 0;
    }
    const i64 es = elapsed / kMsPerSecond;
    const i64 whole = es * static_cast<i64>(total) / static_cast<i64>(done);
    if (whole == 0) return 0;
    const double e = static_cast<double>(m_expectedSeconds);
    const double left = (e - e * static_cast<double>(es) / static_cast<double>(whole)) * kExpectedShare;
    m_secondsLeft = left > 0 ? static_cast<i32>(left) : 0;
    return 0;
}

bool ScanRunState::TakeQuietSecond(u64 now) {
    std::lock_guard<std::mutex> lk(m_lock);
    if (now - m_lastStepTick < kQuietStepMs) return false;
    m_lastStepTick = now;
    return true;
}
