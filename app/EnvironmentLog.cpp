#include "app/EnvironmentLog.h"

#include <sys/sysinfo.h>
#include <sys/utsname.h>

#include <QLocale>
#include <cstdlib>
#include <fstream>

#include "platform/Log.h"
#include "platform/Stats.h"

namespace {
constexpr u32 kStatsCountry = 8198;
constexpr unsigned long long kMegabyte = 1048576;

std::string OsReleaseName() {
    for (const char* path : {"/etc/os-release", "/usr/lib/os-release"}) {
        std::ifstream in(path);
        std::string line;
        while (std::getline(in, line)) {
            if (line.rfind("PRETTY_NAME=", 0) != 0) continue;
            std::string v = line.substr(12);
            if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
                v = v.substr(1, v.size() - 2);
            return v;
        }
    }
    return std::string();
}
}  // namespace

bool DescribeOperatingSystem(OsDescription* out) {
    utsname u {};
    if (::uname(&u) != 0) return false;
    OsDescription d;
    d.name = OsReleaseName();
    if (d.name.empty()) d.name = u.sysname;
    d.edition = std::string(u.sysname) + " " + u.release;
    const std::string machine = u.machine;
    if (machine == "x86_64" || machine == "aarch64" || machine == "ppc64le" || machine == "s390x" ||
        machine == "riscv64")
        d.extra = "64-bit";
    else if (machine.size() == 4 && machine[0] == 'i' && machine.substr(2) == "86")
        d.extra = "32-bit";
    d.servicePack = u.version;
    char* end = nullptr;
    d.major = static_cast<int>(std::strtol(u.release, &end, 10));
    if (end && *end == '.') d.minor = static_cast<int>(std::strtol(end + 1, nullptr, 10));
    *out = d;
    return true;
}

void LogOperatingSystem() {
    OsDescription d;
    if (!DescribeOperatingSystem(&d)) {
        LogInfo("Unsupported operating system!");
        return;
    }
    LogInfo("OS - %s %s %s %s (%d %d %d %d)", d.name.c_str(), d.edition.c_str(), d.extra.c_str(), d.servicePack.c_str(),
            d.major, d.minor, d.productType, d.suiteMask);
    const QString country = QLocale::territoryToString(QLocale::system().territory());
    StatsText(kStatsCountry, country.toUtf8().constData());
}

void LogMemoryStatus() {
    struct sysinfo info {};
    if (::sysinfo(&info) != 0) {
        LogInfo("Failed to query memory status.");
        info = {};
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

void LogEnvironment() {
    LogOperatingSystem();
    LogMemoryStatus();
}
