// The scan driver's job: disks from images, the real enumeration, one session scan per chosen
// volume, and the recovery of what each scan found before the next scan releases it.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "Driver.h"
#include "devices/DiskDevice.h"
#include "devices/VolumeEnumerator.h"
#include "devices/VolumeRecord.h"
#include "engine/CompleteRecoveryController.h"
#include "engine/FileProperties.h"
#include "engine/FileRecoverCallback.h"
#include "engine/FileRecoverer.h"
#include "engine/FileRecovererCopy.h"
#include "engine/FileSystemNode.h"
#include "engine/HeadlessSinks.h"
#include "engine/RecoveryController.h"
#include "engine/RecoveryGraph.h"
#include "platform/Disks.h"
#include "platform/MountSource.h"
#include "platform/ProgramDir.h"
#include "plugins/Plugins.h"
#include "platform/Time.h"

namespace driver {

namespace {

constexpr u32 kEnumerationWaitMs = 600000;
constexpr char kUnpartitionedKind[] = "unpartitioned";
constexpr char kWholeDiskKind[] = "disk";
// More digits than this name no volume or disk the driver could list.
constexpr size_t kMaxIndexDigits = 9;

// A volume or disk number as typed: digits only (no sign, no blank), else false.
bool ParseIndex(const std::string& text, size_t& out) {
    if (text.empty() || text.size() > kMaxIndexDigits || text.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    out = static_cast<size_t>(std::strtoul(text.c_str(), nullptr, 10));
    return true;
}

struct Candidate {
    VolumeInfo info;
    VolumeRecord* record = nullptr;
};

i32 DiskIndexOf(const VolumeRecord& record, const std::vector<std::unique_ptr<CDiskDevice>>& disks) {
    const CDiskDevice* disk = record.extents[0].disk;
    if (!disk) return -1;
    for (size_t i = 0; i < disks.size(); ++i) {
        if (disks[i].get() == disk) return static_cast<i32>(i);
    }
    return disk->GetDiskNumber();
}

VolumeInfo Describe(u32 index, const VolumeRecord& record, const char* kind,
                    const std::vector<std::unique_ptr<CDiskDevice>>& disks) {
    VolumeInfo v;
    v.index = index;
    v.disk = DiskIndexOf(record, disks);
    v.kind = kind;
    v.startSector = record.extents[0].firstSector;
    if (record.device) {
        v.sectors = record.device->GetTotalSectors();
        v.sectorSize = record.device->GetSectorSize();
    } else {
        for (u32 i = 0; i < record.ExtentCount(); ++i) v.sectors += record.extents[i].sectorCount;
    }
    v.fsCode = record.fsCode;
    // An unpartitioned area holds no file system the table vouches for: its record's code is only
    // a placeholder, and no name is shown for it.
    v.fs = std::strcmp(kind, kUnpartitionedKind) == 0 ? std::string() : FsName(record.fsCode);
    v.label.assign(record.label, strnlen(record.label, sizeof(record.label)));
    if (record.driveLetter) v.letter = std::string(1, record.driveLetter);
    return v;
}

std::string DisksVariable(const Options& options) {
    std::string value;
    for (const auto& [path, sectorSize] : options.images) {
        if (!value.empty()) value += ':';
        value += path;
        if (sectorSize) value += "@" + std::to_string(sectorSize);
    }
    return value;
}

bool MakeFolder(const std::string& path) {
    if (MakeDirectories(path)) return true;
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Disk N as one volume of unknown file system, as --volume disk:N scans it and a result saved
// from such a scan names it.
std::unique_ptr<VolumeRecord> WholeDiskRecord(CDiskDevice* disk, size_t number) {
    auto record = std::make_unique<VolumeRecord>();
    record->device = disk;
    record->kind = kVolumeKindBasic;
    record->fsCode = kFsUnknown;
    record->AddExtent(0, disk->GetTotalSectors(), disk);
    record->SetLabel(("Disk " + std::to_string(number)).c_str());
    return record;
}

std::string RootName(CFileSystemNode* root) {
    const IFileProperties* p = root->GetFileProperties();
    if (p && p->GetName()) return p->GetName();
    return root->GetVolumeLabel() ? root->GetVolumeLabel() : "";
}

// Waits for the scan's finish message; false when the scan thread ended without one (no
// controller for the mode, or one that refused to start).
bool WaitForScan(RecoveryGraph& session, CHeadlessProgress& progress) {
    for (;;) {
        if (progress.WaitForFinish(100)) return true;
        if (!session.IsScanRunning()) return progress.WaitForFinish(0);
    }
}

// One line on stderr saying what went wrong.
__attribute__((format(printf, 1, 2))) void Complain(const char* format, ...) {
    std::fputs("scan_driver: ", stderr);
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    std::fputc('\n', stderr);
}

// Empty when the path can be scanned as a disk, else why not. A disk needs one whole sector at
// least: an image shorter than that would list as a disk of 0 sectors whose scan ends at once.
std::string CheckImage(const std::string& path, u32 sectorSize) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return "cannot read image " + path + ": " + std::strerror(errno);
    if (S_ISDIR(st.st_mode)) return path + " is a folder, not a disk image";
    if (!S_ISREG(st.st_mode) && !S_ISBLK(st.st_mode)) return path + " is neither a regular file nor a block device";
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return "cannot read image " + path + ": " + std::strerror(errno);
    // A block device's size is where its end lies, not what stat says.
    const off_t bytes = ::lseek(fd, 0, SEEK_END);
    const int seekError = errno;
    ::close(fd);
    if (bytes < 0) return "cannot read image " + path + ": " + std::strerror(seekError);
    const u32 sector = sectorSize != 0 ? sectorSize : kMinImageSectorSize;  // an image declares none: 512
    if (static_cast<u64>(bytes) < sector) {
        return "image " + path + " holds " + std::to_string(bytes) + " byte(s), less than one sector of " +
               std::to_string(sector) + ": nothing to scan";
    }
    return std::string();
}

// Makes the volume's folder in the recovery folder and opens it, once for all its trees: it must
// be a folder of its own there, not a symbolic link that would send every file elsewhere, and
// what becomes of its name later changes nothing of where the trees go.
OwnedFd OpenVolumeFolder(const std::string& recoverDir, const std::string& name) {
    if (!MakeFolder(recoverDir)) {
        Complain("cannot make the recovery folder %s", recoverDir.c_str());
        return OwnedFd();
    }
    const std::string folder = recoverDir + "/" + name;
    int error = 0;
    OwnedFd opened = MakeRecoveryFolder(recoverDir, name, true, error);
    if (error == ELOOP || error == ENOTDIR) {
        struct stat st {};
        const bool link = ::lstat(folder.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
        Complain("the recovery folder %s is %s: nothing is written through it", folder.c_str(),
                 link ? "a symbolic link" : "not a folder");
    } else if (!opened.IsOpen()) {
        Complain("cannot make the recovery folder %s: %s", folder.c_str(), std::strerror(error));
    }
    return opened;
}

void RecoverTrees(const std::vector<CFileSystemNode*>& roots, IStorageDevice* device, const std::string& recoverDir,
                  const std::string& name, RecoveredInfo& out) {
    const std::string path = recoverDir + "/" + name;
    struct stat before {};
    const bool existed = ::lstat(path.c_str(), &before) == 0;
    const OwnedFd folder = OpenVolumeFolder(recoverDir, name);
    if (!folder.IsOpen()) {
        for (CFileSystemNode* root : roots) out.failed += CountTree(root).files;
        return;
    }
    const u64 start = GetTickCount64Ms();
    for (CFileSystemNode* root : roots) {
        CheckWholeTree(root);
        const u64 attempted = CountTree(root).files;
        CFileRecoverer recoverer;
        recoverer.RecoverFolderAt(nullptr, device, root, folder.Get(), path.c_str(), nullptr, 0);
        const RecoverCounts& counts = recoverer.GetCounts();
        out.files += counts.written;
        out.bytes = SaturatingAdd(out.bytes, counts.bytes);
        out.incomplete += counts.incomplete;
        out.noSpace += counts.noSpace;
        // A file the walk never reached (no folder for it) was not written either.
        const u64 met = counts.written + counts.incomplete + counts.failed;
        out.failed += counts.failed + (attempted > met ? attempted - met : 0);
    }
    // The volume's folder made for this run goes again when nothing of it stayed.
    if (!existed) RemoveRecoveryFolderIfEmpty(recoverDir, name, folder.Get());
    out.seconds += static_cast<double>(GetTickCount64Ms() - start) / 1000.0;
}

// The trees of the scan (or the loaded result) into the report, and their files recovered.
void ReportAndRecover(const Options& options, RecoveryGraph& session, CHeadlessDirectoryTree& tree,
                      const Candidate& c, ScanInfo& scan, Report& report) {
    const std::vector<CFileSystemNode*> roots = tree.Roots();
    for (CFileSystemNode* root : roots) {
        const TreeCounts counts = CountTree(root);
        scan.trees.push_back({RootName(root), FsName(root->GetFileSystemType()), counts.files, counts.folders,
                              counts.deleted});
    }
    if (!options.recoverDir.empty() && !roots.empty()) {
        SetCurrentRecoveryController(session.GetController());
        RecoverTrees(roots, c.record->device, options.recoverDir, std::to_string(c.info.index), report.recovered);
    }
    report.scans.push_back(scan);
}

}  // namespace

std::string FsName(u32 fsCode) {
    const char* name = FileSystemTypeName(fsCode);
    return name ? name : "UNKNOWN";
}

int Run(const Options& options, Report& report) {
    for (const auto& image : options.images) {
        const std::string problem = CheckImage(image.first, image.second);
        if (!problem.empty()) {
            Complain("%s", problem.c_str());
            return kExitFailed;
        }
        // Writing there would change the disk being read, and what is read from it.
        if (!options.recoverDir.empty() && IsFolderOnDisk(options.recoverDir, image.first)) {
            Complain("the recovery folder %s lies on a file system of the scanned disk %s; choose a folder on "
                     "another disk",
                     options.recoverDir.c_str(), image.first.c_str());
            return kExitFailed;
        }
    }
    // The disk table is read when the enumeration starts: the images must be declared first.
    ::setenv("MORVENDA_DISKS", DisksVariable(options).c_str(), 1);
    RegisterAllPlugins();

    EnumCollectPartition& enumeration = EnumCollectPartition::Instance();
    if (!enumeration.WaitDone(kEnumerationWaitMs)) {
        Complain("the volume enumeration did not finish");
        return kExitFailed;
    }
    const auto& disks = enumeration.Disks();

    // In the order of the place page: the volumes, then the unpartitioned areas.
    std::vector<Candidate> candidates;
    for (VolumeRecord* r : enumeration.Volumes()) {
        if (!r) continue;
        const char* kind = r->kind == kVolumeKindDynamic ? "dynamic" : "basic";
        candidates.push_back({Describe(static_cast<u32>(candidates.size()), *r, kind, disks), r});
    }
    for (VolumeRecord* r : enumeration.UnpartitionedAreas()) {
        if (!r) continue;
        candidates.push_back({Describe(static_cast<u32>(candidates.size()), *r, kUnpartitionedKind, disks), r});
    }

    // "disk:N": the whole disk as one volume of unknown file system, listed after the others.
    std::unique_ptr<VolumeRecord> diskRecord;
    std::vector<size_t> chosen;
    std::string refusal;
    if (options.volume == "all") {
        for (size_t i = 0; i < candidates.size(); ++i) chosen.push_back(i);
        // A load finds its own volume, a whole disk among them: the disk needs no volume listed.
        if (chosen.empty() && options.loadPath.empty()) {
            refusal = "no volume found on the image(s): nothing scanned (--volume disk:N scans a whole disk)";
        }
    } else if (options.volume == "none") {
        // Only the list is asked for.
    } else if (options.volume.rfind("disk:", 0) == 0) {
        const std::string n = options.volume.substr(5);
        size_t disk = 0;
        if (!ParseIndex(n, disk) || disk >= disks.size() || !disks[disk]) {
            refusal = "no disk " + n + " (" + std::to_string(disks.size()) + " disk(s) open): nothing scanned";
        } else {
            diskRecord = WholeDiskRecord(disks[disk].get(), disk);
            candidates.push_back(
                {Describe(static_cast<u32>(candidates.size()), *diskRecord, kWholeDiskKind, disks), diskRecord.get()});
            chosen.push_back(candidates.size() - 1);
        }
    } else {
        size_t index = 0;
        if (!ParseIndex(options.volume, index) || index >= candidates.size()) {
            refusal = "no volume " + options.volume + " (" + std::to_string(candidates.size()) +
                      " volume(s) found): nothing scanned";
        } else {
            chosen.push_back(index);
        }
    }
    for (const Candidate& c : candidates) report.volumes.push_back(c.info);
    PrintVolumes(report);
    if (!refusal.empty()) {
        Complain("%s", refusal.c_str());
        return kExitFailed;
    }
    if (chosen.empty() && options.loadPath.empty()) return kExitOk;

    RecoveryGraph& session = RecoveryGraph::Instance();
    // Nothing is on screen to linger on: the finish comes as soon as the scan ends.
    session.SetShortScanPauseMs(0);
    CHeadlessProgress progress;
    CHeadlessDirectoryTree tree;
    session.SetProgress(&progress, &progress, progress.GetWindow());
    session.SetDirectoryTree(&tree);
    session.SetFileTypeMask(kFileTypeMaskAll);
    session.SetReason(options.lostReason);

    int status = kExitOk;
    std::vector<std::unique_ptr<VolumeRecord>> wholeDisks;
    if (!options.loadPath.empty()) {
        std::vector<VolumeRecord*> live;
        for (const Candidate& c : candidates) live.push_back(c.record);
        // A result saved after --volume disk:N names a whole disk: each disk is one more volume
        // the result may match, listed only when it does.
        if (!diskRecord) {
            for (size_t d = 0; d < disks.size(); ++d) {
                if (disks[d]) wholeDisks.push_back(WholeDiskRecord(disks[d].get(), d));
            }
        }
        for (const auto& w : wholeDisks) live.push_back(w.get());
        const i32 index = LoadSessionResult(options.loadPath, live);
        if (index < 0) {
            session.SetDirectoryTree(nullptr);
            session.SetProgress(nullptr, nullptr, nullptr);
            session.SelectVolume(-1, nullptr);
            return kExitFailed;
        }
        if (static_cast<size_t>(index) >= candidates.size()) {
            const bool image = static_cast<size_t>(index) == live.size();
            VolumeRecord* record = image ? session.GetFirstVolume() : live[static_cast<size_t>(index)];
            candidates.push_back({Describe(static_cast<u32>(candidates.size()), *record, image ? "image" : kWholeDiskKind, disks),
                                  record});
            report.volumes.push_back(candidates.back().info);
        }
        chosen.clear();
        chosen.push_back(std::min(static_cast<size_t>(index), candidates.size() - 1));
    }
    for (size_t i : chosen) {
        const Candidate& c = candidates[i];
        ScanInfo scan;
        scan.volume = c.info.index;
        if (!options.loadPath.empty()) {
            scan.mode = "loaded";
            scan.finished = true;
            ReportAndRecover(options, session, tree, c, scan, report);
            continue;
        }
        tree.Clear();
        session.SelectVolume(-1, nullptr);
        session.SelectVolume(static_cast<i32>(c.info.index), c.record);
        progress.DoStart();
        scan.mode = options.mode;
        const u64 start = GetTickCount64Ms();
        if (session.DoScan(options.mode == "complete" ? kScanModeComplete : kScanModeDeleted) != 0) {
            Complain("the scan of volume %u could not start", c.info.index);
            status = kExitFailed;
            report.scans.push_back(scan);
            continue;
        }
        scan.finished = WaitForScan(session, progress);
        if (!scan.finished) {
            Complain("the scan of volume %u (%s) ended without a result", c.info.index, c.info.fs.c_str());
            status = kExitFailed;
        }
        // The session holds the finish message back for a few seconds after a short scan; the
        // scan itself ended with its last end record.
        const u64 end = progress.LastEndTick() >= start ? progress.LastEndTick() : GetTickCount64Ms();
        scan.seconds = static_cast<double>(end - start) / 1000.0;
        if (auto* complete = dynamic_cast<CCompleteRecoveryController*>(session.GetController())) {
            for (const FoundPartitionSummary& f : complete->GetFoundPartitions()) {
                scan.foundPartitions.push_back({f.startSector, f.sectors, FsName(f.fsCode), f.label, f.score});
            }
        }
        if (!options.savePath.empty() &&
            !SaveSessionResult(SavedResultPath(options.savePath, c.info.index, chosen.size() > 1))) {
            status = kExitFailed;
        }
        ReportAndRecover(options, session, tree, c, scan, report);
    }

    session.ReleaseController(true);
    session.SetDirectoryTree(nullptr);
    session.SetProgress(nullptr, nullptr, nullptr);
    session.SelectVolume(-1, nullptr);
    const bool recovering = !options.recoverDir.empty();
    PrintSummary(report, recovering);

    const RecoveredInfo& r = report.recovered;
    if (recovering && r.noSpace != 0) {
        Complain("NoSpaceAvailiable: %llu file(s) larger than the free space under %s",
                 static_cast<unsigned long long>(r.noSpace), options.recoverDir.c_str());
    }
    if (recovering && (r.failed != 0 || r.incomplete != 0)) {
        Complain("%llu of %llu file(s) not recovered: %llu failed, %llu incomplete",
                 static_cast<unsigned long long>(r.failed + r.incomplete),
                 static_cast<unsigned long long>(r.files + r.failed + r.incomplete),
                 static_cast<unsigned long long>(r.failed), static_cast<unsigned long long>(r.incomplete));
        status = kExitFailed;
    }
    return status;
}

}  // namespace driver
