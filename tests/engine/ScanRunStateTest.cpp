// The run state a scan's progress sink keeps: a pause holds every thread that asks whether to go
// on until a continue or a stop, paused time is not scan time, and near the end (or at the end of
// a phase, when the view freezes) no pause can hold the scan.
#include <gtest/gtest.h>

#include <thread>

#include "engine/Progress.h"
#include "engine/ScanRunState.h"

namespace {

TEST(ScanRunState, APauseHoldsEveryAskingThreadUntilAContinueOrAStop) {
    for (const bool stop : {false, true}) {
        SCOPED_TRACE(stop ? "stop" : "continue");
        ScanRunState run;
        run.Start(1000, 60);
        ASSERT_TRUE(run.Pause(2000));
        EXPECT_FALSE(run.Pause(2100));  // already paused
        EXPECT_EQ(run.GetState(), kProgressPaused);
        bool answers[2] = {};
        std::thread scan([&] { answers[0] = run.WaitWhilePaused(); });
        std::thread readAhead([&] { answers[1] = run.WaitWhilePaused(); });
        // Both are held: the state says so before anything lets them go.
        while (run.Get().waiting < 2) std::this_thread::yield();
        if (stop) {
            run.Stop();
        } else {
            EXPECT_TRUE(run.Continue(5000));
        }
        scan.join();
        readAhead.join();
        EXPECT_EQ(answers[0], !stop);
        EXPECT_EQ(answers[1], !stop);
        EXPECT_EQ(run.Get().waiting, 0u);
        EXPECT_EQ(run.GetState(), stop ? kProgressStopped : kProgressRunning);
        // Paused time does not count: the start moved on by the 3 s paused.
        if (!stop) {
            EXPECT_EQ(run.Get().startTick, 4000u);
        }
        EXPECT_FALSE(run.Continue(6000));  // nothing paused any more
    }
}

TEST(ScanRunState, NoPauseNearTheEndOrOverAPhaseEndAndNoneOnceStopped) {
    ScanRunState run;
    EXPECT_FALSE(run.Pause(10));  // no scan yet
    run.Start(1000, 60);
    EXPECT_EQ(run.UpdatePercent(96, 100, true, 1500), 0);
    EXPECT_FALSE(run.Pause(1600));
    run.Start(2000, 60);
    ASSERT_TRUE(run.Pause(2100));
    run.PhaseDone(2500);
    EXPECT_EQ(run.GetState(), kProgressRunning);
    EXPECT_TRUE(run.WaitWhilePaused());
    EXPECT_EQ(run.Get().percent, 100);
    run.Stop();
    EXPECT_FALSE(run.Pause(3000));
    EXPECT_FALSE(run.WaitWhilePaused());
}

TEST(ScanRunState, StepsRaiseThePercentOnlyAndBadStepsChangeNothing) {
    ScanRunState run;
    run.Start(0, 60);
    const struct {
        u64 done, total;
        int answer, percent;
    } steps[] = {{40, 100, 0, 40}, {30, 100, 0, 40}, {50, 0, -1, 40}, {120, 100, -1, 40}, {0, 100, 0, 40}, {90, 100, 0, 90}};
    for (const auto& s : steps) {
        EXPECT_EQ(run.UpdatePercent(s.done, s.total, true, 1000), s.answer) << s.done << "/" << s.total;
        EXPECT_EQ(run.Get().percent, s.percent) << s.done << "/" << s.total;
    }
    EXPECT_EQ(run.Get().steps, 4u);  // the refused ones are not steps
}

}  // namespace
