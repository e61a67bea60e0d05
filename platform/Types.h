#pragma once
// Fixed-width types and the few Windows-shaped value types the program keeps on Linux.
#include <cstddef>
#include <cstdint>
#include <cstring>

using u8 = std::uint8_t;
using u16 = std::uint16_t;
using u32 = std::uint32_t;
using u64 = std::uint64_t;
using i8 = std::int8_t;
using i16 = std::int16_t;
using i32 = std::int32_t;
using i64 = std::int64_t;

// 100-nanosecond intervals since 1601-01-01 UTC: the program's time type throughout.
using FILETIME64 = u64;

// A 16-byte GUID as stored on disk (little-endian first three fields).
struct MGUID {
    u32 Data1;
    u16 Data2;
    u16 Data3;
    u8 Data4[8];
};
static_assert(sizeof(MGUID) == 16, "GUID layout");

inline bool operator==(const MGUID& a, const MGUID& b) { return std::memcmp(&a, &b, sizeof(MGUID)) == 0; }

// Window messages keep their Windows numbers.
constexpr u32 WM_NULL_MSG = 0x0000;
constexpr u32 WM_TIMER_MSG = 0x0113;
constexpr u32 WM_COMMAND_MSG = 0x0111;
constexpr u32 WM_USER_MSG = 0x0400;

constexpr u32 kMaxPath = 260;

// Little-endian field access for on-disk structures; every caller bounds-checks first.
inline u16 ReadLE16(const void* p) { u16 v; std::memcpy(&v, p, 2); return v; }
inline u32 ReadLE32(const void* p) { u32 v; std::memcpy(&v, p, 4); return v; }
inline u64 ReadLE64(const void* p) { u64 v; std::memcpy(&v, p, 8); return v; }
inline void WriteLE16(void* p, u16 v) { std::memcpy(p, &v, 2); }
inline void WriteLE32(void* p, u32 v) { std::memcpy(p, &v, 4); }
inline void WriteLE64(void* p, u64 v) { std::memcpy(p, &v, 8); }
inline u16 ReadBE16(const void* p) { const u8* b = static_cast<const u8*>(p); return u16((b[0] << 8) | b[1]); }
inline u32 ReadBE32(const void* p) {
    const u8* b = static_cast<const u8*>(p);
    return (u32(b[0]) << 24) | (u32(b[1]) << 16) | (u32(b[2]) << 8) | u32(b[3]);
}
inline u64 ReadBE64(const void* p) {
    const u8* b = static_cast<const u8*>(p);
    return (u64(ReadBE32(b)) << 32) | ReadBE32(b + 4);
}
