#pragma once
// The last stop of a failing process: handlers for SIGSEGV, SIGBUS, SIGFPE, SIGILL and SIGABRT,
// and the terminate handler that an exception escaping every catch (the program's out-of-memory
// exception among them) ends in. The path tells an outside watcher through a named event and
// writes a text crash report (signal, exception code, addresses, memory status, backtrace).
//
// Everything the path needs is prepared at installation; on a signal it uses only calls that are
// safe there, and the caller's own hooks run after the report is on disk, under a time limit.
#include <cstdint>
#include <exception>
#include <string>

#include "platform/Types.h"

// Exception codes the crash path reports, in the numbering the support tools know.
constexpr u32 kCodeAccessViolation = 0xC0000005u;
constexpr u32 kCodeInPageError = 0xC0000006u;
constexpr u32 kCodeIllegalInstruction = 0xC000001Du;
constexpr u32 kCodeFloatInvalid = 0xC0000090u;
constexpr u32 kCodeIntegerDivideByZero = 0xC0000094u;
constexpr u32 kCodeIntegerOverflow = 0xC0000095u;
constexpr u32 kCodeFatalAppExit = 0x40000015u;
constexpr u32 kCodeCppException = 0xE06D7363u;

struct CrashInfo {
    int signal = 0;           // the signal, or SIGABRT for an escaped exception
    u32 code = 0;             // exception code
    std::uintptr_t address = 0;       // the instruction that failed (0 when unknown)
    std::uintptr_t faultAddress = 0;  // the data address of SIGSEGV and SIGBUS
    int senderPid = 0;                // a signal another process sent (kill)
    bool outOfMemory = false;
};

struct CrashHandlerSetup {
    std::string reportFolder;     // with a trailing '/'; reports are "Qzmdump%d.dmp" in it
    std::string crashEventName;
    std::string memoryCrashEventName;
    // The code of an exception that escaped every catch, and whether it is the program's own
    // out-of-memory exception.
    u32 (*classifyException)(std::exception_ptr e, bool* outOfMemory) = nullptr;
    // Whether an out-of-memory crash signals the memory-crash event in place of the crash event.
    bool (*useMemoryEvent)() = nullptr;
    // Explains the out-of-memory case to the user and waits for the answer; runs first, outside
    // any signal handler (the exception path only).
    void (*outOfMemoryNotice)() = nullptr;
    // The log lines of the crash; runs after the report and the event, under the time limit.
    void (*logCrash)(const CrashInfo& info, bool reportWritten) = nullptr;
    unsigned timeLimitSeconds = 10;
};

// Installs the handlers (once per process; a second call replaces the setup).
void InstallCrashHandler(const CrashHandlerSetup& setup);
// The report the next crash writes ("Qzmdump%d.dmp" with the process's running count).
std::string NextCrashReportPath();
// The exception code reported for a signal and its si_code.
u32 CrashCodeForSignal(int signal, int siCode);
