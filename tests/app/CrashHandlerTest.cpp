// The crash path in a child process: a real SIGSEGV and the program's out-of-memory exception
// escaping a thread, each leaving its report, its log lines and its named event.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <fstream>
#include <iomanip>
#include <sstream>
#include <thread>

#include "TestUtil.h"
#include "app/CrashFilter.h"
#include "devices/Memory.h"
#include "devices/ScanOptions.h"
#include "platform/NamedEvent.h"
#include "platform/ProgramDir.h"

namespace {

std::string ReadAll(const std::string& path) {
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// Names of this process's own: tests running side by side must not see each other's crashes.
struct Events {
    std::string crash = "MorvendaTestCrash_" + std::to_string(::getpid());
    std::string memory = "MorvendaTestMemoryCrash_" + std::to_string(::getpid());
    Events() { Remove(); }
    ~Events() { Remove(); }
    void Remove() {
        NamedEvent::Remove(crash);
        NamedEvent::Remove(memory);
    }
};

std::string g_noticeFolder;
bool g_noticeFails = false;
// The notice records whether any report existed when it ran: it must come first. A notice that
// fails (it needs memory too) must not keep the report from being written.
void RecordingNotice() {
    const bool reportThere = testutil::FileExists(g_noticeFolder + "/Qzmdump0.dmp");
    std::ofstream(g_noticeFolder + "/notice.txt") << (reportThere ? "after report" : "before report");
    if (g_noticeFails) throw OutOfMemoryException();
}

void InstallForChild(const std::string& folder, const Events& events) {
    ::setenv("XDG_STATE_HOME", folder.c_str(), 1);  // the trace log goes under the report's folder
    g_noticeFolder = folder;
    CrashFilterOptions options;
    options.reportFolder = folder;
    options.crashEventName = events.crash;
    options.memoryCrashEventName = events.memory;
    options.outOfMemoryNotice = RecordingNotice;
    InstallCrashFilter(options);
}

class CrashPath : public ::testing::Test {
protected:
    void SetUp() override { // Forked without a new start: the child writes where the parent looks.
        GTEST_FLAG_SET(death_test_style, "fast"); }
    testutil::TempDir dir;
    Events events;
};

TEST_F(CrashPath, SegmentationFaultWritesReportLogsAndSignalsTheCrashEvent) {
    NamedEvent crash(events.crash);
    NamedEvent memory(events.memory);
    // Below the lowest address a process may map: writing there always faults.
    constexpr std::uintptr_t kFaultAddress = 0x1008;
    EXPECT_EXIT(
        {
            InstallForChild(dir.Path(), events);
            *reinterpret_cast<volatile int*>(kFaultAddress) = 1;
        },
        ::testing::KilledBySignal(SIGSEGV), "");

    const std::string report = ReadAll(dir.File("Qzmdump0.dmp"));
    EXPECT_NE(report.find("Signal: 11 (SIGSEGV)"), std::string::npos) << report;
    EXPECT_NE(report.find("Exception Code: c0000005"), std::string::npos) << report;
    std::ostringstream fault;
    fault << "Fault address: 0x" << std::hex << std::setw(8) << std::setfill('0') << kFaultAddress;
    EXPECT_NE(report.find(fault.str()), std::string::npos) << report;
    EXPECT_NE(report.find("Total physical memory:"), std::string::npos);
    const size_t trace = report.find("Backtrace:\n");
    ASSERT_NE(trace, std::string::npos);
    EXPECT_GT(report.size(), trace + 12) << "a backtrace has frames";
    EXPECT_FALSE(testutil::FileExists(dir.File("notice.txt"))) << "only the out-of-memory case explains itself";

    const std::string log = ReadAll(dir.File("Morvenda/MorvendaTrace.log"));
    EXPECT_NE(log.find("Caught an excetpion! Exception Code:c0000005 Address:"), std::string::npos) << log;
    EXPECT_NE(log.find("Memory status:"), std::string::npos);
    EXPECT_TRUE(crash.Wait(0));
    EXPECT_FALSE(memory.Wait(0));
}

// Runs in the child: the allocation fails on a worker thread and nothing catches it.
void EscapeOutOfMemory(bool rawSearch) {
    GetScanOptions().SetScanRaw(rawSearch ? 1 : 0);
    SetAllocationFailureThreshold(size_t(1) << 20);
    std::thread t([] { AllocOrRaise(size_t(64) << 20); });
    t.join();
}

TEST_F(CrashPath, OutOfMemoryIsExplainedFirstAndSignalsTheMemoryEventWhileTheRawSearchIsOn) {
    struct Case {
        bool rawSearch;
        bool noticeFails;
        bool memoryEvent;
    };
    for (const Case c : {Case{true, false, true}, Case{false, false, false}, Case{true, true, true}}) {
        SCOPED_TRACE(std::string(c.rawSearch ? "raw search on" : "raw search off") + (c.noticeFails ? ", notice fails" : ""));
        g_noticeFails = c.noticeFails;
        testutil::TempDir child;
        NamedEvent crash(events.crash);
        NamedEvent memory(events.memory);
        EXPECT_EXIT(
            {
                InstallForChild(child.Path(), events);
                EscapeOutOfMemory(c.rawSearch);
            },
            ::testing::KilledBySignal(SIGABRT), "");
        EXPECT_EQ(ReadAll(child.File("notice.txt")), "before report");
        const std::string report = ReadAll(child.File("Qzmdump0.dmp"));
        EXPECT_NE(report.find("Exception Code: e0000001 (out of memory)"), std::string::npos) << report;
        const std::string log = ReadAll(child.File("Morvenda/MorvendaTrace.log"));
        EXPECT_NE(log.find("Caught an excetpion! Exception Code:e0000001"), std::string::npos) << log;
        EXPECT_EQ(memory.Wait(0), c.memoryEvent);
        EXPECT_EQ(crash.Wait(0), !c.memoryEvent);
    }
    g_noticeFails = false;
}

TEST(CrashCodes, SignalsMapToTheCodesSupportKnows) {
    const struct {
        int signal;
        int siCode;
        u32 code;
    } cases[] = {
        {SIGSEGV, SEGV_MAPERR, kCodeAccessViolation}, {SIGBUS, BUS_ADRERR, kCodeInPageError},
        {SIGILL, ILL_ILLOPC, kCodeIllegalInstruction}, {SIGFPE, FPE_INTDIV, kCodeIntegerDivideByZero},
        {SIGFPE, FPE_INTOVF, kCodeIntegerOverflow},     {SIGFPE, FPE_FLTINV, kCodeFloatInvalid},
        {SIGABRT, 0, kCodeFatalAppExit},
    };
    for (const auto& c : cases) EXPECT_EQ(CrashCodeForSignal(c.signal, c.siCode), c.code) << c.signal;

    bool oom = false;
    EXPECT_EQ(ClassifyEscapedException(std::make_exception_ptr(OutOfMemoryException()), &oom), kOutOfMemoryExceptionCode);
    EXPECT_TRUE(oom);
    EXPECT_EQ(ClassifyEscapedException(std::make_exception_ptr(std::runtime_error("x")), &oom), kCodeCppException);
    EXPECT_FALSE(oom);
}

}  // namespace
