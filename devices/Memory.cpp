#include "devices/Memory.h"

#include <sys/sysinfo.h>

#include <atomic>
#include <cstdlib>

#include "platform/Log.h"

namespace {

std::atomic<size_t> g_failThreshold{0};
// Logging allocates; when that allocation fails too, the nested failure raises without logging.
thread_local bool t_reportingFailure = false;

constexpr unsigned long long kMegabyte = 1048576;

void LogMemoryState(size_t bytes) {
    LogInfo("Failed to alloc 0x%08zx bytes", bytes);
    struct sysinfo info {};
    if (::sysinfo(&info) != 0) {
        LogInfo("Failed to query memory status.");
        return;
    }
    const unsigned long long unit = info.mem_unit ? info.mem_unit : 1;
    const unsigned long long totalPhys = info.totalram * unit;
    const unsigned long long availPhys = (info.freeram + info.bufferram) * unit;
    // The page-file figures are the commit limit: memory plus swap.
    const unsigned long long totalPage = totalPhys + info.totalswap * unit;
    const unsigned long long availPage = availPhys + info.freeswap * unit;
    LogInfo("Memory status:");
    LogInfo("Total physical memory:%4lld MB\tAvailable physical memory:%4lld MB",
            static_cast<long long>(totalPhys / kMegabyte), static_cast<long long>(availPhys / kMegabyte));
    LogInfo("Total   page    files:%4lld MB\tAvailable    page   files:%4lld MB",
            static_cast<long long>(totalPage / kMegabyte), static_cast<long long>(availPage / kMegabyte));
}

}  // namespace

void SetAllocationFailureThreshold(size_t minBytes) { g_failThreshold.store(minBytes, std::memory_order_relaxed); }

void* AllocOrRaise(size_t bytes) {
    const size_t threshold = g_failThreshold.load(std::memory_order_relaxed);
    if (threshold == 0 || bytes < threshold) {
        if (void* block = std::malloc(bytes == 0 ? 1 : bytes)) return block;
    }
    if (!t_reportingFailure) {
        t_reportingFailure = true;
        try {
            LogMemoryState(bytes);
        } catch (...) {
        }
        t_reportingFailure = false;
    }
    throw OutOfMemoryException();
}

void FreeMemory(void* block) noexcept { std::free(block); }

// The program's global allocation. Every form that pairs with the plain ones is replaced, so
// no block crosses between this heap and another allocator's bookkeeping.
void* operator new(size_t bytes) { return AllocOrRaise(bytes); }
void* operator new[](size_t bytes) { return AllocOrRaise(bytes); }
void* operator new(size_t bytes, const std::nothrow_t&) noexcept {
    try {
        return AllocOrRaise(bytes);
    } catch (...) {
        return nullptr;
    }
}
void* operator new[](size_t bytes, const std::nothrow_t&) noexcept {
    try {
        return AllocOrRaise(bytes);
    } catch (...) {
        return nullptr;
    }
}
void operator delete(void* block) noexcept { FreeMemory(block); }
void operator delete[](void* block) noexcept { FreeMemory(block); }
void operator delete(void* block, size_t) noexcept { FreeMemory(block); }
void operator delete[](void* block, size_t) noexcept { FreeMemory(block); }
void operator delete(void* block, const std::nothrow_t&) noexcept { FreeMemory(block); }
void operator delete[](void* block, const std::nothrow_t&) noexcept { FreeMemory(block); }
