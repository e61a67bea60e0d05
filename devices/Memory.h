#pragma once
// The program's allocation functions. Allocation never returns null: running out of memory logs
// the memory state and throws OutOfMemoryException, which carries the program's out-of-memory code.
// It derives from std::bad_alloc so the standard library and Qt handle it as they handle any
// failed allocation. The global operator new and delete of every program linking this library are
// AllocOrRaise and FreeMemory.
#include <cstddef>
#include <new>

#include "platform/Types.h"

constexpr u32 kOutOfMemoryExceptionCode = 0xE0000001u;

class OutOfMemoryException : public std::bad_alloc {
public:
    u32 Code() const noexcept { return kOutOfMemoryExceptionCode; }
    const char* what() const noexcept override { return "out of memory (0xE0000001)"; }
};

// Returns a block of at least `bytes` bytes (a valid block for 0); throws OutOfMemoryException.
void* AllocOrRaise(size_t bytes);
// Releases a block of AllocOrRaise; null is allowed.
void FreeMemory(void* block) noexcept;

// Test seam: every allocation of at least `minBytes` bytes fails as if the heap were exhausted;
// 0 turns the seam off.
void SetAllocationFailureThreshold(size_t minBytes);
