#pragma once
// The printf-style trace calls of the logging library. Lines are appended to "MorvendaTrace.log"
// in the user's state folder; nothing depends on a result. Formats are standard printf formats
// (64-bit values with PRIu64/%llu).
#include <cstdarg>
#include <cstddef>
#include <string>

#include "platform/Types.h"

// A log file that would grow past this size is first renamed to NAME.1 (replacing the older
// one) and started afresh, so that each log keeps at most twice this on disk.
inline constexpr u64 kLogFileLimitBytes = u64(4) << 20;

void LogInfo(const char* format, ...) __attribute__((format(printf, 1, 2)));
void LogError(const char* format, ...) __attribute__((format(printf, 1, 2)));
void ReleaseTrace(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Per-entry detail (every file a folder walk meets): written only while the environment
// variable MORVENDA_DEBUG_TRACE is 1, for it would open the log once per found file.
void DebugTrace(const char* format, ...) __attribute__((format(printf, 1, 2)));
bool DebugTraceEnabled();

// Where the log FILE lives: the user's state folder, never the program's folder, which may be
// read-only and holds only what ships with the program.
std::string LogFilePath(const char* fileName);
// Appends bytes to the log FILE in one write, rotating it first when it is full.
void AppendToLogFile(const char* fileName, const char* data, size_t size);
// Appends one formatted line, prefixed with the local time "%02d:%02d:%02d:%03d ", to the log
// FILE (for the program's own traces such as Morvenda.log).
void AppendTimedLine(const char* fileName, const char* format, va_list args);
// Silences every log file (tests that would otherwise write many lines).
void SetLoggingEnabled(bool enabled);
