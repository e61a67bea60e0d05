#include "platform/Log.h"

#include <cstdio>
#include <mutex>
#include <string>

#include "platform/ProgramDir.h"
#include "platform/Time.h"

namespace {
std::mutex g_logLock;
bool g_enabled = true;

void Append(const char* fileName, const char* level, const char* format, va_list args) {
    char text[4096];
    vsnprintf(text, sizeof(text), format, args);
    const LocalTime t = GetLocalTimeNow();
    std::lock_guard<std::mutex> lk(g_logLock);
    if (!g_enabled) return;
    const std::string path = GetProgramDir() + fileName;
    FILE* f = std::fopen(path.c_str(), "ab");
    if (!f) return;
    std::fprintf(f, "%02d:%02d:%02d:%03d %s%s", t.hour, t.minute, t.second, t.milliseconds, level, text);
    const size_t n = std::char_traits<char>::length(text);
    if (n == 0 || text[n - 1] != '\n') std::fputc('\n', f);
    std::fclose(f);
}
}  // namespace

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
MORVENDA_LOG_FN(DebugTrace, "[debug] ")
