#pragma once
// The fixtures' ground truth: the files of a manifest (NAME.json), the deleted files of a FAT or
// exFAT partition as a walk from the root meets them (NAME.reach.json), and the time formats
// they use.
#include <string>
#include <utility>
#include <vector>

#include "platform/Types.h"

namespace testutil {

struct ManifestPartition {
    int index = 0;
    std::string fs;  // "NTFS", "FAT16", "FAT32", "exFAT", ...
    std::string label;
    u64 startSector = 0;
    u64 sectors = 0;
};
// The partitions of the manifest "NAME.json".
std::vector<ManifestPartition> LoadPartitions(const std::string& name);

struct ManifestFile {
    int partition = 0;
    std::string path;
    u64 size = 0;
    std::string sha256;
    bool live = false;
    bool intact = false;
    bool metadataPresent = false;
    std::string mtime;
    bool fragmented = false;
    bool compressed = false;
    bool sparse = false;
    bool resident = false;
    u64 mftRecordOffset = 0;
    std::vector<std::pair<u64, u64>> runs;  // byte offset in the image, length
};
// The files of one partition of the manifest "NAME.json".
std::vector<ManifestFile> LoadManifest(const std::string& name, int partition);

struct ExpectedFile {
    int partition = 0;
    std::string path;
    std::string sha256;
    bool reachable = false;
    std::string nameOnDisk;  // 0xE5 shown as U+00E5
    bool intact = false;
    bool live = false;
    u64 size = 0;
    std::string mtime;
};
// The deleted files of a partition, from NAME.reach.json joined with NAME.json.
std::vector<ExpectedFile> LoadDeletedFiles(const std::string& image, int partition);
// The name a FAT scan gives an entry: the deletion mark U+00E5 at the start shows as '#'.
std::string ScanName(const std::string& nameOnDisk);
// Folders without a long name show their 8.3 name, upper-case ("src" is "SRC"): a key of a path
// whose folders compare without regard to ASCII case and whose last name compares exactly.
std::string PathKey(const std::string& path);

// Byte ranges with adjacent ones joined, as a manifest lists a file's runs.
std::vector<std::pair<u64, u64>> MergeRanges(const std::vector<std::pair<u64, u64>>& ranges);
// A test-name suffix for a fixture: the image's name up to its first '.', '-' as '_'.
std::string FixtureTestName(const std::string& image);

// "YYYY-MM-DDTHH:MM:SSZ" of a FILETIME.
std::string FileTimeToIsoUtc(u64 fileTime);
// Seconds since 1970 of a manifest time "YYYY-MM-DDTHH:MM:SSZ"; -1 when it is not one.
i64 ParseUtc(const std::string& text);

}  // namespace testutil
