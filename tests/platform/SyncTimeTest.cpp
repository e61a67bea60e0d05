#include <gtest/gtest.h>

#include <atomic>
#include <ctime>
#include <thread>

#include "platform/Sync.h"
#include "platform/Time.h"

TEST(Sync, ManualEventReleasesAllWaitersAutoEventOne) {
    Event manual(true, false);
    EXPECT_EQ(manual.Wait(10), kWaitTimeout);
    std::atomic<int> woke{0};
    std::thread a([&] { manual.Wait(); ++woke; });
    std::thread b([&] { manual.Wait(); ++woke; });
    manual.Set();
    a.join();
    b.join();
    EXPECT_EQ(woke.load(), 2);
    EXPECT_TRUE(manual.IsSet());

    Event autoReset(false, true);
    EXPECT_EQ(autoReset.Wait(0), kWaitObject0);
    EXPECT_EQ(autoReset.Wait(10), kWaitTimeout);
}

TEST(Sync, CriticalSectionIsReentrantAndNamedMutexesShareByName) {
    CriticalSection cs;
    {
        CsGuard g1(cs);
        CsGuard g2(cs);
    }
    NamedMutex m1("File1a2b");
    NamedMutex m2("File1a2b");
    ASSERT_EQ(m1.Wait(0), kWaitObject0);
    ASSERT_EQ(m1.Wait(0), kWaitObject0);  // the owner may take it again
    u32 other = 0;
    std::thread t([&] { other = m2.Wait(20); });
    t.join();
    EXPECT_EQ(other, kWaitTimeout);
    m1.Release();
    m1.Release();
    std::thread t2([&] {
        other = m2.Wait(1000);
        m2.Release();
    });
    t2.join();
    EXPECT_EQ(other, kWaitObject0);
}

TEST(Time, FileTimeAndDosConversions) {
    EXPECT_EQ(FileTimeFromUnix(0), kFileTimeUnixEpoch);
    i64 s;
    u32 ns;
    FileTimeToUnix(FileTimeFromUnix(1700000000, 123456700), s, ns);
    EXPECT_EQ(s, 1700000000);
    EXPECT_EQ(ns, 123456700u);
    // 2019-04-17 02:55:44 as a DOS date/time gives that wall-clock reading, no zone applied.
    const u16 date = static_cast<u16>(((2019 - 1980) << 9) | (4 << 5) | 17);
    const u16 time = static_cast<u16>((2 << 11) | (55 << 5) | (44 / 2));
    u64 ft = 0;
    ASSERT_TRUE(DosDateTimeToFileTime(date, time, ft));
    LocalTime cal{};
    ASSERT_TRUE(FileTimeToCalendar(ft, cal));
    EXPECT_EQ(cal.year, 2019);
    EXPECT_EQ(cal.month, 4);
    EXPECT_EQ(cal.day, 17);
    EXPECT_EQ(cal.hour, 2);
    EXPECT_EQ(cal.minute, 55);
    EXPECT_EQ(cal.second, 44);
    EXPECT_FALSE(DosDateTimeToFileTime(static_cast<u16>((13 << 5) | 1), 0, ft));  // month 13
    EXPECT_FALSE(DosDateTimeToFileTime(static_cast<u16>(1 << 5), 0, ft));         // day 0
    EXPECT_FALSE(FileTimeToCalendar(0xFFFFFFFFFFFFFFFFULL, cal));
}

// Every date a DOS entry can hold, days 29 to 31 of short months included (they run on into the
// next month), gives the time the C library's timegm gives it.
TEST(Time, DosDatesAgreeWithTheCLibraryOverTheirWholeRange) {
    constexpr int kDosEpochYear = 1980;
    constexpr int kDosYears = 128;
    const u16 time = static_cast<u16>((23 << 11) | (59 << 5) | (58 / 2));
    u64 mismatches = 0;
    for (int y = 0; y < kDosYears; ++y) {
        for (int m = 1; m <= 12; ++m) {
            for (int d = 1; d <= 31; ++d) {
                const u16 date = static_cast<u16>((y << 9) | (m << 5) | d);
                u64 ft = 0;
                ASSERT_TRUE(DosDateTimeToFileTime(date, time, ft));
                tm t{};
                t.tm_year = kDosEpochYear + y - 1900;
                t.tm_mon = m - 1;
                t.tm_mday = d;
                t.tm_hour = 23;
                t.tm_min = 59;
                t.tm_sec = 58;
                if (ft != FileTimeFromUnix(static_cast<i64>(timegm(&t)))) ++mismatches;
            }
        }
    }
    EXPECT_EQ(mismatches, 0u);
}
