#pragma once
// The scan driver: opens disk images as the platform's disks, runs the real enumeration, scans
// the chosen volumes through the scan session with headless sinks, and optionally recovers every
// found file. Benchmarks and end-to-end tests use it; its command line and JSON stay stable.
//
//   scan_driver --image PATH[@SECTORSIZE] [--image ...] --mode deleted|complete
//               [--volume INDEX|all|none|disk:N] [--recover DIR] [--json FILE] [--save FILE.rsf]
//   scan_driver --image PATH[@SECTORSIZE] [--image ...] --load FILE.rsf [--recover DIR] [--json FILE]
//
// Exit status 0 only when every requested scan ran to its end and every found file was written
// whole; 1 otherwise, with a line on stderr for each reason.
#include <string>
#include <utility>
#include <vector>

#include "devices/FileSystemCode.h"
#include "platform/Types.h"

struct VolumeRecord;

namespace driver {

struct Options {
    std::vector<std::pair<std::string, u32>> images;  // path, declared sector size (0: none)
    std::string mode;
    std::string volume = "all";
    std::string recoverDir;
    std::string jsonPath;
    std::string savePath;  // the result of each scan is saved here (see SavedResultPath)
    std::string loadPath;  // a saved result is loaded instead of scanning
};

// Empty when the options are usable, else what is wrong with them.
std::string ParseOptions(int argc, char** argv, Options& out);

struct VolumeInfo {
    u32 index = 0;
    i32 disk = -1;
    std::string kind;  // "basic", "dynamic", "unpartitioned", "disk" or "image" (a loaded result's)
    u64 startSector = 0;
    u64 sectors = 0;
    u32 sectorSize = 0;
    u32 fsCode = kFsUnknown;
    std::string fs;
    std::string label;
    std::string letter;
};

struct TreeInfo {
    std::string name;
    std::string fs;
    u64 files = 0;
    u64 folders = 0;
    u64 deleted = 0;
};

// A partition the complete scan found and chose.
struct FoundPartitionInfo {
    u64 startSector = 0;
    u64 sectors = 0;
    std::string fs;
    std::string label;
    double score = 0;
};

struct ScanInfo {
    u32 volume = 0;
    std::string mode;
    double seconds = 0;
    bool finished = false;
    std::vector<TreeInfo> trees;
    std::vector<FoundPartitionInfo> foundPartitions;  // complete scans only
};

struct RecoveredInfo {
    u64 files = 0;       // written whole
    u64 failed = 0;      // nothing written
    u64 incomplete = 0;  // written with data missing, not counted as recovered
    u64 noSpace = 0;     // of the failed: larger than the free space of the folder
    u64 bytes = 0;
    double seconds = 0;
};

struct Report {
    std::vector<VolumeInfo> volumes;
    std::vector<ScanInfo> scans;
    RecoveredInfo recovered;
};

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;

// Runs the whole job; the exit status of the program.
int Run(const Options& options, Report& report);

// --save and --load (DriverSaved.cpp). The file a scan of `volume` is saved to: the path as given
// when one volume is scanned, else with ".INDEX" before its extension.
std::string SavedResultPath(const std::string& path, u32 volume, bool several);
// Saves the session's result; false (with the reason on stderr) when it failed.
bool SaveSessionResult(const std::string& path);
// Loads a saved result into the session, matching its volume among `live` (in place-page order);
// the index of the matched record in `live`, live.size() for a re-opened disk-image volume (the
// session's first volume), or -1 with the reason on stderr.
i32 LoadSessionResult(const std::string& path, const std::vector<VolumeRecord*>& live);

std::string FsName(u32 fsCode);
std::string ToJson(const Report& report);
void PrintVolumes(const Report& report);
void PrintSummary(const Report& report, bool recovering);

}  // namespace driver
