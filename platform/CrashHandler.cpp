#include "platform/CrashHandler.h"

#include <execinfo.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/sysinfo.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <ucontext.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "platform/NamedEvent.h"

namespace {

constexpr int kSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT};
constexpr size_t kAltStackSize = 64 * 1024;
constexpr int kMaxFrames = 64;
constexpr size_t kPathMax = 1024;

struct CrashState {
    CrashHandlerSetup setup;
    std::unique_ptr<NamedEvent> crashEvent;
    std::unique_ptr<NamedEvent> memoryEvent;
    char reportPrefix[kPathMax] = {0};
};

CrashState* g_state = nullptr;
std::atomic<int> g_reportCounter{0};
std::atomic<bool> g_inCrash{false};

// ---- formatting without allocation ----

class Line {
public:
    void Text(const char* s) {
        while (*s && len_ < sizeof(buf_) - 1) buf_[len_++] = *s++;
    }
    void Hex(std::uintptr_t v, int minDigits) {
        char tmp[2 * sizeof(v)];
        int n = 0;
        do {
            tmp[n++] = "0123456789abcdef"[v & 0xF];
            v >>= 4;
        } while (v && n < static_cast<int>(sizeof(tmp)));
        for (int i = n; i < minDigits && len_ < sizeof(buf_) - 1; ++i) buf_[len_++] = '0';
        while (n > 0 && len_ < sizeof(buf_) - 1) buf_[len_++] = tmp[--n];
    }
    void Dec(long long v) {
        char tmp[24];
        int n = 0;
        const bool negative = v < 0;
        unsigned long long u = negative ? 0ull - static_cast<unsigned long long>(v) : static_cast<unsigned long long>(v);
        do {
            tmp[n++] = static_cast<char>('0' + u % 10);
            u /= 10;
        } while (u && n < 23);
        if (negative) Text("-");
        while (n > 0 && len_ < sizeof(buf_) - 1) buf_[len_++] = tmp[--n];
    }
    // Right-aligned in a field, as "%4lld".
    void DecWidth(long long v, int width) {
        Line digits;
        digits.Dec(v);
        for (size_t i = digits.len_; i < static_cast<size_t>(width); ++i) Text(" ");
        buf_[len_] = 0;
        Text(digits.Str());
    }
    const char* Str() {
        buf_[len_] = 0;
        return buf_;
    }
    void WriteTo(int fd) {
        Text("\n");
        size_t done = 0;
        while (done < len_) {
            const ssize_t n = ::write(fd, buf_ + done, len_ - done);
            if (n <= 0) break;
            done += static_cast<size_t>(n);
        }
        len_ = 0;
    }

private:
    char buf_[512];
    size_t len_ = 0;
};

const char* SignalName(int sig) {
    switch (sig) {
    case SIGSEGV: return "SIGSEGV";
    case SIGBUS: return "SIGBUS";
    case SIGFPE: return "SIGFPE";
    case SIGILL: return "SIGILL";
    case SIGABRT: return "SIGABRT";
    default: return "signal";
    }
}

std::uintptr_t InstructionAddress(void* context) {
    if (!context) return 0;
    auto* uc = static_cast<ucontext_t*>(context);
#if defined(__x86_64__)
    return static_cast<std::uintptr_t>(uc->uc_mcontext.gregs[REG_RIP]);
#elif defined(__i386__)
    return static_cast<std::uintptr_t>(uc->uc_mcontext.gregs[REG_EIP]);
#elif defined(__aarch64__)
    return static_cast<std::uintptr_t>(uc->uc_mcontext.pc);
#else
    (void)uc;
    return 0;
#endif
}

void WriteMemoryStatus(int fd) {
    constexpr unsigned long long kMegabyte = 1048576;
    Line line;
    struct sysinfo info {};
    if (::sysinfo(&info) != 0) {
        line.Text("Failed to query memory status.");
        line.WriteTo(fd);
        std::memset(&info, 0, sizeof(info));
    }
    const unsigned long long unit = info.mem_unit ? info.mem_unit : 1;
    const unsigned long long totalPhys = info.totalram * unit;
    const unsigned long long availPhys = (info.freeram + info.bufferram) * unit;
    const unsigned long long totalPage = totalPhys + info.totalswap * unit;
    const unsigned long long availPage = availPhys + info.freeswap * unit;
    line.Text("Memory status:");
    line.WriteTo(fd);
    line.Text("Total physical memory:");
    line.DecWidth(static_cast<long long>(totalPhys / kMegabyte), 4);
    line.Text(" MB\tAvailable physical memory:");
    line.DecWidth(static_cast<long long>(availPhys / kMegabyte), 4);
    line.Text(" MB");
    line.WriteTo(fd);
    line.Text("Total   page    files:");
    line.DecWidth(static_cast<long long>(totalPage / kMegabyte), 4);
    line.Text(" MB\tAvailable    page   files:");
    line.DecWidth(static_cast<long long>(availPage / kMegabyte), 4);
    line.Text(" MB");
    line.WriteTo(fd);
}

bool WriteReport(const CrashInfo& info) {
    if (!g_state || !g_state->reportPrefix[0]) return false;
    Line path;
    path.Text(g_state->reportPrefix);
    path.Dec(g_reportCounter.fetch_add(1));
    path.Text(".dmp");
    const int fd = ::open(path.Str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    Line line;
    line.Text("Morvenda crash report");
    line.WriteTo(fd);
    line.Text("Signal: ");
    line.Dec(info.signal);
    line.Text(" (");
    line.Text(SignalName(info.signal));
    line.Text(")");
    line.WriteTo(fd);
    line.Text("Exception Code: ");
    line.Hex(info.code, 8);
    if (info.outOfMemory) line.Text(" (out of memory)");
    line.WriteTo(fd);
    line.Text("Address: 0x");
    line.Hex(info.address, 8);
    line.WriteTo(fd);
    if (info.senderPid != 0) {
        line.Text("Sent by process: ");
        line.Dec(info.senderPid);
        line.WriteTo(fd);
    } else if (info.signal == SIGSEGV || info.signal == SIGBUS) {
        line.Text("Fault address: 0x");
        line.Hex(info.faultAddress, 8);
        line.WriteTo(fd);
    }
    line.Text("Process: ");
    line.Dec(::getpid());
    line.Text(" Thread: ");
    line.Dec(static_cast<long long>(::syscall(SYS_gettid)));
    line.WriteTo(fd);
    WriteMemoryStatus(fd);
    line.Text("Backtrace:");
    line.WriteTo(fd);
    void* frames[kMaxFrames];
    const int n = ::backtrace(frames, kMaxFrames);
    ::backtrace_symbols_fd(frames, n, fd);
    ::fsync(fd);
    ::close(fd);
    return true;
}

[[noreturn]] void EndProcess(int sig) {
    ::signal(sig, SIG_DFL);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, sig);
    ::sigprocmask(SIG_UNBLOCK, &set, nullptr);
    ::raise(sig);
    ::_exit(128 + sig);
}

void RunCrashPath(const CrashInfo& info) {
    if (!g_state) return;
    const CrashHandlerSetup& setup = g_state->setup;
    NamedEvent* event = g_state->crashEvent.get();
    if (info.outOfMemory) {
        // The notice itself needs memory; when it fails, the report must still be written.
        try {
            if (setup.outOfMemoryNotice) setup.outOfMemoryNotice();
        } catch (...) {
        }
        if (setup.useMemoryEvent && setup.useMemoryEvent()) event = g_state->memoryEvent.get();
    }
    // From here on the path is bounded: a report or a log that hangs ends the process.
    ::alarm(setup.timeLimitSeconds ? setup.timeLimitSeconds : 1);
    const bool written = WriteReport(info);
    if (event) event->Signal();
    try {
        if (setup.logCrash) setup.logCrash(info, written);
    } catch (...) {
    }
    ::alarm(0);
}

void OnSignal(int sig, siginfo_t* si, void* context) {
    if (g_inCrash.exchange(true)) EndProcess(sig);  // a crash inside the crash path
    CrashInfo info;
    info.signal = sig;
    info.code = CrashCodeForSignal(sig, si ? si->si_code : 0);
    info.address = InstructionAddress(context);
    // A signal sent by kill() carries its sender, not a fault.
    if (si && si->si_code <= 0) info.senderPid = si->si_pid;
    else info.faultAddress = si ? reinterpret_cast<std::uintptr_t>(si->si_addr) : 0;
    RunCrashPath(info);
    EndProcess(sig);
}

void OnTerminate() {
    if (g_inCrash.exchange(true)) EndProcess(SIGABRT);
    CrashInfo info;
    info.signal = SIGABRT;
    info.code = kCodeFatalAppExit;
    if (std::exception_ptr e = std::current_exception()) {
        info.code = kCodeCppException;
        if (g_state && g_state->setup.classifyException)
            info.code = g_state->setup.classifyException(e, &info.outOfMemory);
    }
    info.address = reinterpret_cast<std::uintptr_t>(__builtin_return_address(0));
    RunCrashPath(info);
    EndProcess(SIGABRT);
}

}  // namespace

u32 CrashCodeForSignal(int sig, int siCode) {
    switch (sig) {
    case SIGSEGV: return kCodeAccessViolation;
    case SIGBUS: return kCodeInPageError;
    case SIGILL: return kCodeIllegalInstruction;
    case SIGFPE:
        if (siCode == FPE_INTDIV) return kCodeIntegerDivideByZero;
        if (siCode == FPE_INTOVF) return kCodeIntegerOverflow;
        return kCodeFloatInvalid;
    case SIGABRT: return kCodeFatalAppExit;
    default: return 0;
    }
}

std::string NextCrashReportPath() {
    if (!g_state) return std::string();
    return std::string(g_state->reportPrefix) + std::to_string(g_reportCounter.load()) + ".dmp";
}

void InstallCrashHandler(const CrashHandlerSetup& setup) {
    auto state = std::make_unique<CrashState>();
    state->setup = setup;
    // Opened now: a crashing process may not be able to make them any more.
    if (!setup.crashEventName.empty()) state->crashEvent = std::make_unique<NamedEvent>(setup.crashEventName);
    if (!setup.memoryCrashEventName.empty())
        state->memoryEvent = std::make_unique<NamedEvent>(setup.memoryCrashEventName);
    const std::string prefix = setup.reportFolder + "Qzmdump";
    if (prefix.size() < kPathMax) std::memcpy(state->reportPrefix, prefix.c_str(), prefix.size() + 1);
    // The first backtrace loads the unwinder; that must not happen inside a handler.
    void* frames[2];
    ::backtrace(frames, 2);

    delete g_state;  // a second installation replaces the first; the old one is no longer reached
    g_state = state.release();

    static bool stackReady = false;
    if (!stackReady) {
        stackReady = true;
        // An overflowing stack has no room left for the handler.
        static char* altStack = static_cast<char*>(std::malloc(kAltStackSize));
        if (altStack) {
            stack_t ss {};
            ss.ss_sp = altStack;
            ss.ss_size = kAltStackSize;
            ::sigaltstack(&ss, nullptr);
        }
    }
    struct sigaction sa {};
    sa.sa_sigaction = OnSignal;
    sa.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&sa.sa_mask);
    for (int sig : kSignals) ::sigaction(sig, &sa, nullptr);
    std::set_terminate(OnTerminate);
}
