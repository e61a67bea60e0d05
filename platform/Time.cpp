#include "platform/Time.h"

#include <chrono>
#include <cstdint>

u64 GetTickCount64Ms() {
    using namespace std::chrono;
    return static_cast<u64>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

u32 GetTickCountMs() { return static_cast<u32>(GetTickCount64Ms()); }

LocalTime GetLocalTimeNow() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    tm t{};
    localtime_r(&ts.tv_sec, &t);
    LocalTime lt{};
    lt.year = static_cast<u16>(t.tm_year + 1900);
    lt.month = static_cast<u16>(t.tm_mon + 1);
    lt.dayOfWeek = static_cast<u16>(t.tm_wday);
    lt.day = static_cast<u16>(t.tm_mday);
    lt.hour = static_cast<u16>(t.tm_hour);
    lt.minute = static_cast<u16>(t.tm_min);
    lt.second = static_cast<u16>(t.tm_sec);
    lt.milliseconds = static_cast<u16>(ts.tv_nsec / 1000000);
    return lt;
}

u64 FileTimeFromUnix(i64 seconds, u32 nanoseconds) {
    const i64 ticks = seconds * 10000000LL + nanoseconds / 100;
    if (ticks < -static_cast<i64>(kFileTimeUnixEpoch)) return 0;
    return static_cast<u64>(static_cast<i64>(kFileTimeUnixEpoch) + ticks);
}

void FileTimeToUnix(u64 fileTime, i64& seconds, u32& nanoseconds) {
    // A time read from a damaged disk may lie beyond the signed range no real FILETIME reaches:
    // it is taken as the largest one rather than overflowing.
    const u64 clamped = fileTime > static_cast<u64>(INT64_MAX) ? static_cast<u64>(INT64_MAX) : fileTime;
    const i64 rel = static_cast<i64>(clamped) - static_cast<i64>(kFileTimeUnixEpoch);
    i64 s = rel / 10000000LL;
    i64 r = rel % 10000000LL;
    if (r < 0) {
        r += 10000000LL;
        --s;
    }
    seconds = s;
    nanoseconds = static_cast<u32>(r * 100);
}

u64 FileTimeNow() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return FileTimeFromUnix(ts.tv_sec, static_cast<u32>(ts.tv_nsec));
}

bool DosDateTimeToFileTime(u16 dosDate, u16 dosTime, u64& fileTime) {
    const int day = dosDate & 0x1F;
    const int month = (dosDate >> 5) & 0x0F;
    const int year = 1980 + ((dosDate >> 9) & 0x7F);
    const int sec = (dosTime & 0x1F) * 2;
    const int min = (dosTime >> 5) & 0x3F;
    const int hour = (dosTime >> 11) & 0x1F;
    if (day < 1 || month < 1 || month > 12 || hour > 23 || min > 59 || sec > 59) return false;
    // Like its Windows namesake this gives a local FILETIME: callers move it to UTC themselves.
    // The day count is plain arithmetic (a day past its month's end runs on into the next, as
    // timegm has it): the deep searches convert every entry they meet.
    constexpr i64 kSecondsPerDay = 86400;
    fileTime = FileTimeFromUnix(DaysFromCivil(year, month, day) * kSecondsPerDay + hour * 3600 + min * 60 + sec);
    return true;
}

i64 DaysFromCivil(i64 year, u32 month, u32 day) {
    // Years counted from March, so that the leap day ends a year; eras of 400 years repeat.
    constexpr i64 kDaysPerEra = 146097;
    constexpr i64 kYearsPerEra = 400;
    constexpr i64 kEpochShift = 719468;  // days from 0000-03-01 to 1970-01-01
    year -= month <= 2 ? 1 : 0;
    const i64 era = (year >= 0 ? year : year - (kYearsPerEra - 1)) / kYearsPerEra;
    const i64 yearOfEra = year - era * kYearsPerEra;
    const i64 dayOfYear = (153 * (month > 2 ? i64(month) - 3 : i64(month) + 9) + 2) / 5 + i64(day) - 1;
    const i64 dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * kDaysPerEra + dayOfEra - kEpochShift;
}

namespace {
i64 ZoneOffsetSeconds(i64 utcSeconds) {
    time_t tt = static_cast<time_t>(utcSeconds);
    tm local{};
    localtime_r(&tt, &local);
    return local.tm_gmtoff;
}
}  // namespace

u64 LocalFileTimeToFileTime(u64 localFileTime) {
    i64 s;
    u32 ns;
    FileTimeToUnix(localFileTime, s, ns);
    const i64 off = ZoneOffsetSeconds(s);
    return FileTimeFromUnix(s - off, ns);
}

u64 FileTimeToLocalFileTime(u64 fileTime) {
    i64 s;
    u32 ns;
    FileTimeToUnix(fileTime, s, ns);
    return FileTimeFromUnix(s + ZoneOffsetSeconds(s), ns);
}

bool FileTimeToCalendar(u64 fileTime, LocalTime& out) {
    if (fileTime >= 0x8000000000000000ULL) return false;
    i64 s;
    u32 ns;
    FileTimeToUnix(fileTime, s, ns);
    time_t tt = static_cast<time_t>(s);
    tm t{};
    if (!gmtime_r(&tt, &t)) return false;
    out.year = static_cast<u16>(t.tm_year + 1900);
    out.month = static_cast<u16>(t.tm_mon + 1);
    out.dayOfWeek = static_cast<u16>(t.tm_wday);
    out.day = static_cast<u16>(t.tm_mday);
    out.hour = static_cast<u16>(t.tm_hour);
    out.minute = static_cast<u16>(t.tm_min);
    out.second = static_cast<u16>(t.tm_sec);
    out.milliseconds = static_cast<u16>(ns / 1000000);
    return true;
}
