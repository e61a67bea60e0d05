#pragma once
// Whether a folder can take a recovery: it exists, a new file can be made in it, it does not lie
// on a disk being scanned, and it has room for the checked files. Nothing of the user's is
// touched: the probe is a file of a fresh unique name, made new and removed at once.
#include <optional>
#include <string>
#include <vector>

#include "platform/Types.h"

enum class ExportTargetCheck {
    kOk,
    kInvalid,      // too short, missing, not a folder, or no file can be made there
    kOnScannedDisk,
    kNoSpace,
};

struct ExportTargetQuery {
    std::string folder;
    std::vector<std::string> scannedDisks;  // disk paths (block devices or images) being read
    u64 checkedBytes = 0;
    // Free bytes of the folder's file system; none when they could not be read, and a folder
    // whose room cannot be known is not one to fill.
    std::optional<u64> freeBytes;
    // Whether a file can be made there is asked before whether there is room: the destination
    // dialog's order, where a read-only medium (which reports no room) is refused as unusable.
    // Otherwise room comes first: in a full folder the probe may fail too, and that is not the
    // reason.
    bool probeFirst = false;
    // Replaceable in tests; the default reads /proc/self/mountinfo and /sys.
    bool (*onDisk)(const std::string& folder, const std::string& disk) = nullptr;
};

ExportTargetCheck CheckExportTarget(const ExportTargetQuery& query);
// The language key of a refusal's message; empty for kOk.
const char* ExportTargetMessageKey(ExportTargetCheck check);

class CFileNode;

// What the scan session holds: the disks its selected volumes read, and the bytes a recovery of
// all its checked files writes (what their extents reach, not the sizes they state).
std::vector<std::string> SessionScannedDisks();
u64 SessionCheckedBytes();
// The bytes a recovery of one found file of the session writes.
u64 SessionFileBytes(CFileNode* node);
// The free bytes of the folder's file system for freeBytes of a query, read as the writer reads
// them; none when they cannot be read or the file system holds less than a usable destination.
std::optional<u64> FolderFreeBytes(const std::string& folder);
