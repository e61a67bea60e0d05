#pragma once
// Clocks and time conversions. FILETIME values (100 ns since 1601, UTC) are the program's times.
#include <ctime>

#include "platform/Types.h"

// Milliseconds from a steady clock, wrapping at 2^32 like the Windows tick count.
u32 GetTickCountMs();
u64 GetTickCount64Ms();

struct LocalTime {
    u16 year, month, dayOfWeek, day, hour, minute, second, milliseconds;
};
LocalTime GetLocalTimeNow();

constexpr u64 kFileTimeUnixEpoch = 116444736000000000ULL;  // 1970-01-01 in FILETIME units

u64 FileTimeFromUnix(i64 seconds, u32 nanoseconds = 0);
// Seconds and nanoseconds since 1970 for a FILETIME (times before 1970 give negative seconds).
void FileTimeToUnix(u64 fileTime, i64& seconds, u32& nanoseconds);
u64 FileTimeNow();

// A DOS date and time (2-second steps) as a local FILETIME, no zone applied; false when the
// fields are out of range.
bool DosDateTimeToFileTime(u16 dosDate, u16 dosTime, u64& fileTime);
// Days from 1970-01-01 to the proleptic Gregorian date; a day past its month's end counts on.
i64 DaysFromCivil(i64 year, u32 month, u32 day);
// Local FILETIME <-> UTC FILETIME through the machine's time zone.
u64 LocalFileTimeToFileTime(u64 localFileTime);
u64 FileTimeToLocalFileTime(u64 fileTime);
// Calendar fields of a FILETIME in UTC; false when it is out of range.
bool FileTimeToCalendar(u64 fileTime, LocalTime& out);
