#pragma once
// The description of a physical disk (bus, vendor, product, revision, serial). Saved results store
// it whole and compare it byte for byte with live disks, so the layout is fixed.
#include "platform/Types.h"

constexpr u32 kDiskTextSize = 260;

#pragma pack(push, 1)
struct DiskDescription {
    u32 busType;                        // STORAGE_BUS_TYPE numbering
    char vendor[kDiskTextSize];         // NUL-terminated
    char product[kDiskTextSize];
    char revision[kDiskTextSize];
    char serialNumber[kDiskTextSize];
    char busName[kDiskTextSize];        // from the bus type, empty for unknown types
};
#pragma pack(pop)
static_assert(sizeof(DiskDescription) == 1304, "DiskDescription is a stored layout");

// Bus types the description distinguishes (STORAGE_BUS_TYPE values).
namespace bus_type {
constexpr u32 kUnknown = 0;
constexpr u32 kScsi = 1;
constexpr u32 kAtapi = 2;
constexpr u32 kAta = 3;
constexpr u32 k1394 = 4;
constexpr u32 kSsa = 5;
constexpr u32 kFibre = 6;
constexpr u32 kUsb = 7;
constexpr u32 kRaid = 8;
}  // namespace bus_type

// The bus name for a bus type, "" for a type without one.
const char* BusTypeName(u32 busType);
