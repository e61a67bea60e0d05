#include "core/Shell.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "platform/Log.h"
#include "platform/ProgramDir.h"
#include "platform/Sync.h"
#include "platform/Text.h"
#include "platform/Time.h"

const std::string& GetModuleDir() { return GetProgramDir(); }

int WriteLog(const char* format, ...) {
    char line[2048] = {0};
    const LocalTime t = GetLocalTimeNow();
    int n = std::snprintf(line, sizeof(line), "%02d:%02d:%02d:%03d ", t.hour, t.minute, t.second, t.milliseconds);
    char message[2001];
    va_list ap;
    va_start(ap, format);
    std::vsnprintf(message, sizeof(message), format, ap);
    va_end(ap);
    n += std::snprintf(line + n, sizeof(line) - static_cast<size_t>(n), "%s", message);
    AppendToLogFile("Morvenda.log", line, static_cast<size_t>(n));
    return n;
}

int WriteRunToLog(const char* function, int line) {
    return WriteLog("P[%04d]:T[%04d] run to %s %d\r\n", static_cast<int>(CurrentProcessId()), static_cast<int>(CurrentThreadId()),
                    function, line);
}

char* FormatPath(char* out, const char* format, ...) {
    char buf[4096];
    va_list ap;
    va_start(ap, format);
    std::vsnprintf(buf, sizeof(buf), format, ap);
    va_end(ap);
    CopyUtf8Bounded(out, kMaxPath, buf);
    return out;
}

std::string FormatPathString(const char* format, ...) {
    char buf[4096];
    va_list ap;
    va_start(ap, format);
    std::vsnprintf(buf, sizeof(buf), format, ap);
    va_end(ap);
    return std::string(Utf8Prefix(buf, kMaxPath - 1));
}

bool GuidEquals(const MGUID& a, const MGUID& b) { return std::memcmp(&a, &b, sizeof(MGUID)) == 0; }

void AsciiToLower(char* s) {
    if (!s) return;
    for (; *s; ++s)
        if (*s >= 'A' && *s <= 'Z') *s = static_cast<char>(*s - 'A' + 'a');
}
