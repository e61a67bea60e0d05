#pragma once
// What support staff read first in a log: the operating system and the memory of the machine.
#include <string>

#include "platform/Types.h"

struct OsDescription {
    std::string name;         // the distribution, e.g. "Debian GNU/Linux 12 (bookworm)"
    std::string edition;      // kernel name and release
    std::string extra;        // "64-bit" or "32-bit"
    std::string servicePack;  // the kernel's build text
    int major = 0;
    int minor = 0;
    int productType = 1;  // a workstation
    u32 suiteMask = 0;
};
// False when the system cannot be described.
bool DescribeOperatingSystem(OsDescription* out);

void LogEnvironment();
void LogOperatingSystem();
// Three lines: "Memory status:", physical memory, and memory plus swap as the page-file figures.
void LogMemoryStatus();
