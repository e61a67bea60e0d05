#include "platform/Log.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>

#include "platform/ProgramDir.h"
#include "platform/Time.h"

namespace {
std::mutex g_logLock;
bool g_enabled = true;

// Caller holds g_logLock.
void AppendLocked(const char* fileName, const char* data, size_t size) {
    if (!g_enabled || size == 0) return;
    const std::string path = LogFilePath(fileName);
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0 && u64(st.st_size) + size > kLogFileLimitBytes) {
        std::rename(path.c_str(), (path + ".1").c_str());
    }
    FILE* f = std::fopen(path.c_str(), "ab");
    if (!f) return;
    std::fwrite(data, 1, size, f);
    std::fclose(f);
}

void Append(const char* fileName, const char* level, const char* format, va_list args) {
    char text[4096];
    vsnprintf(text, sizeof(text), format, args);
    const LocalTime t = GetLocalTimeNow();
    char prefix[64];
    std::snprintf(prefix, sizeof(prefix), "%02d:%02d:%02d:%03d %s", t.hour, t.minute, t.second, t.milliseconds,
                  level);
    std::string line = std::string(prefix) + text;
    if (line.back() != '\n') line.push_back('\n');
    std::lock_guard<std::mutex> lk(g_logLock);
    AppendLocked(fileName, line.data(), line.size());
}
}  // namespace

std::string LogFilePath(const char* fileName) { return GetUserStateDir() + fileName; }

void AppendToLogFile(const char* fileName, const char* data, size_t size) {
    std::lock_guard<std::mutex> lk(g_logLock);
    AppendLocked(fileName, data, size);
}

void SetLoggingEnabled(bool enabled) {
    std::lock_guard<std::mutex> lk(g_logLock);
    g_enabled = enabled;
}

void AppendTimedLine(const char* fileName, const char* format, va_list args) { Append(fileName, "", format, args); }

#define MORVENDA_LOG_FN(name, level)              \
    void name(const char* format, ...) {          \
        va_list ap;                               \
        va_start(ap, format);                     \
        Append("MorvendaTrace.log", level, format, ap); \
        va_end(ap);                               \
    }

MORVENDA_LOG_FN(LogInfo, "[info] ")
MORVENDA_LOG_FN(LogError, "[error] ")
MORVENDA_LOG_FN(ReleaseTrace, "[trace] ")

bool DebugTraceEnabled() {
    static const bool enabled = [] {
        const char* value = std::getenv("MORVENDA_DEBUG_TRACE");
        return value != nullptr && std::string(value) == "1";
    }();
    return enabled;
}

void DebugTrace(const char* format, ...) {
    if (!DebugTraceEnabled()) return;
    va_list ap;
    va_start(ap, format);
    Append("MorvendaTrace.log", "[debug] ", format, ap);
    va_end(ap);
}
