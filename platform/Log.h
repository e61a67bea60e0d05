#pragma once
// The printf-style trace calls of the logging library. Lines are appended to "MorvendaTrace.log"
// in the program directory; nothing depends on a result. Formats are standard printf formats
// (64-bit values with PRIu64/%llu).
#include <cstdarg>

void LogInfo(const char* format, ...) __attribute__((format(printf, 1, 2)));
void LogError(const char* format, ...) __attribute__((format(printf, 1, 2)));
void ReleaseTrace(const char* format, ...) __attribute__((format(printf, 1, 2)));
void DebugTrace(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Appends one formatted line, prefixed with the local time "%02d:%02d:%02d:%03d ", to the file
// FILE in the program directory (for the program's own traces such as Morvenda.log).
void AppendTimedLine(const char* fileName, const char* format, va_list args);
// Silences every log file (tests that would otherwise write many lines).
void SetLoggingEnabled(bool enabled);
