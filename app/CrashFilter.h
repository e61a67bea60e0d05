#pragma once
// The program's crash filter over the platform's crash handler: the watcher's named events, the
// report folder, the out-of-memory notice and the log lines of a crash.
#include <string>

#include "platform/CrashHandler.h"

constexpr const char* kCrashEventName = "QZM_Crash_{FC1A0E29-3523-4152-B110-3340363E5DB7}";
constexpr const char* kMemoryCrashEventName = "QZM_Memory_Crash_{c3d61a40-a3e6-402b-b373-fd90d30893c8}";
// The title of the program's system message boxes.
constexpr const char* kProgramTitle = "Morvenda Data Recovery";

struct CrashFilterOptions {
    std::string reportFolder;  // empty: the user's state folder
    std::string crashEventName = kCrashEventName;
    std::string memoryCrashEventName = kMemoryCrashEventName;
    void (*outOfMemoryNotice)() = nullptr;  // null: ShowOutOfMemoryNotice
};

void InstallCrashFilter(const CrashFilterOptions& options = CrashFilterOptions());

// The code of an exception that escaped every catch: the program's out-of-memory code for its
// out-of-memory exception (and any failed allocation), the C++ exception code otherwise.
u32 ClassifyEscapedException(std::exception_ptr e, bool* outOfMemory);

// Shows the localized "WithoutMem" in a system message box and waits for the user. From a thread
// other than the interface's, the interface thread shows it while this one waits; when that
// thread does not take it up within a few seconds (it may be waiting for this one), the text goes
// to the standard error instead.
void ShowOutOfMemoryNotice();
