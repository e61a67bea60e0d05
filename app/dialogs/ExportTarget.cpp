#include "app/dialogs/ExportTarget.h"

#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <random>

#include "devices/DiskDevice.h"
#include "devices/VolumeEnumerator.h"
#include "devices/VolumeRecord.h"
#include "engine/FileRecovererCopy.h"
#include "engine/FileSystemNode.h"
#include "engine/RecoveryController.h"
#include "engine/RecoveryGraph.h"
#include "platform/MountSource.h"
#include "platform/Mounts.h"

namespace {

constexpr size_t kMinPathLength = 2;
constexpr int kProbeAttempts = 8;

bool DefaultOnDisk(const std::string& folder, const std::string& disk) { return IsFolderOnDisk(folder, disk); }

// Makes a new file of a name nobody uses in folder and removes it; true when that worked.
bool ProbeWritable(const std::filesystem::path& folder) {
    std::random_device rd;
    std::mt19937_64 gen(rd());
    for (int i = 0; i < kProbeAttempts; ++i) {
        const std::filesystem::path probe = folder / (".morvenda-probe-" + std::to_string(gen()) + ".tmp");
        const int fd = ::open(probe.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd >= 0) {
            ::close(fd);
            ::unlink(probe.c_str());
            return true;
        }
        if (errno != EEXIST) return false;
    }
    return false;
}

}  // namespace

ExportTargetCheck CheckExportTarget(const ExportTargetQuery& query) {
    if (query.folder.size() < kMinPathLength) return ExportTargetCheck::kInvalid;
    std::error_code ec;
    const std::filesystem::path folder(query.folder);
    if (!std::filesystem::is_directory(folder, ec)) return ExportTargetCheck::kInvalid;
    auto onDisk = query.onDisk ? query.onDisk : DefaultOnDisk;
    for (const std::string& disk : query.scannedDisks)
        if (!disk.empty() && onDisk(query.folder, disk)) return ExportTargetCheck::kOnScannedDisk;
    // The folder's file system needs room beyond the files' own bytes (their entries), so files
    // that would fill it to the last byte do not fit; a full one takes not even their folders.
    const bool room = query.freeBytes && query.checkedBytes < *query.freeBytes;
    if (query.probeFirst && !ProbeWritable(folder)) return ExportTargetCheck::kInvalid;
    if (!room) return ExportTargetCheck::kNoSpace;
    if (!query.probeFirst && !ProbeWritable(folder)) return ExportTargetCheck::kInvalid;
    return ExportTargetCheck::kOk;
}

const char* ExportTargetMessageKey(ExportTargetCheck check) {
    switch (check) {
    case ExportTargetCheck::kOk: return "";
    case ExportTargetCheck::kInvalid: return "ExportPathInvalid";
    case ExportTargetCheck::kOnScannedDisk: return "DontSaveInSrc";
    case ExportTargetCheck::kNoSpace: return "NoSpaceAvailiable";
    }
    return "ExportPathInvalid";
}

std::vector<std::string> SessionScannedDisks() {
    std::vector<std::string> disks;
    VolumeRecord* volume = RecoveryGraph::Instance().GetFirstVolume();
    if (!volume) return disks;
    if (volume->imagePath[0] != '\0') disks.emplace_back(volume->imagePath);
    for (u32 i = 0; i < volume->ExtentCount(); ++i) {
        CDiskDevice* disk = volume->extents[i].disk;
        if (disk && disk != StoredDiskPlaceholder()) disks.push_back(disk->GetPath());
    }
    return disks;
}

u64 SessionCheckedBytes() {
    RecoveryGraph& session = RecoveryGraph::Instance();
    // The writer places each file through the scan's mode, as the recovery will.
    SetCurrentRecoveryController(session.GetController());
    IStorageDevice* device = session.GetFirstVolumeDevice();
    u64 total = 0;
    for (CFileSystemNode* root : session.GetTreeRoots()) total = SaturatingAdd(total, CheckedRecoveryBytes(root, device));
    return total;
}

u64 SessionFileBytes(CFileNode* node) {
    RecoveryGraph& session = RecoveryGraph::Instance();
    SetCurrentRecoveryController(session.GetController());
    return RecoveryBytes(node, RecoverySourceDevice(session.GetFirstVolumeDevice(), node));
}

std::optional<u64> FolderFreeBytes(const std::string& folder) {
    const OwnedFd fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return fd.IsOpen() ? FolderFreeBytesAt(fd.Get()) : std::nullopt;
}
